// tessaline-cli: the control panel's commands from a shell, a script or a cron job, on the
// same frames, selection and settings as the windows, without any window.
#include "cli/call.h"
#include "cli/session.h"
#include "link/modini.h"
#include "shell/modvariables.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

void printLine(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

// What the command line leaves open, from the settings file as the windows read it at start-up.
// Read only, and only what is needed: the file is never written.
void fillDefaults(Call &call)
{
    const bool port = !call.dryRun && call.device.isEmpty() && !call.port;
    const bool baud = !call.dryRun && !call.baud;
    if (!port && !baud && call.address)
        return;
    const StartupSettings settings = ReadStartupSettings();
    if (port)
        call.port = StartupNumber("CommPort", settings.commPort, 1, Bus::Ports, 1);
    if (baud)
        call.baud = settings.baud();
    if (!call.address)
        call.address = StartupNumber("UID", settings.uid, Bus::FirstAddress, Bus::LastAddress,
                                     Bus::FirstAddress);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const Parsed parsed = parseCall(app.arguments().mid(1));
    switch (parsed.outcome) {
    case Parsed::Outcome::Help:
        printLine(stdout, helpText());
        return 0;
    case Parsed::Outcome::Version:
        printLine(stdout, QStringLiteral("tessaline-cli " TESSALINE_VERSION));
        return 0;
    case Parsed::Outcome::Error:
        printLine(stderr, QStringLiteral("tessaline-cli: ") + parsed.error);
        if (parsed.usage)
            printLine(stderr, usageLine());
        return 1;
    case Parsed::Outcome::Run:
        break;
    }
    Call call = parsed.call;
    fillDefaults(call);
    modVariables vars;
    Session session(call, vars);
    return session.run();
}
