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

// A numeric setting as the windows take it: the value when it is a whole number within
// [low, high], else the fallback, with a warning naming the key.
int setting(const char *key, const QString &text, int low, int high, int fallback)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (ok && value >= low && value <= high)
        return value;
    std::fprintf(stderr,
                 "tessaline-cli: settings key %s holds \"%s\", not a number from %d to %d;"
                 " using %d\n",
                 key, qPrintable(text), low, high, fallback);
    return fallback;
}

// What the command line leaves open, from the settings file as the windows read it at start-up.
// Read only, and only what is needed: the file is never written.
void fillDefaults(Call &call)
{
    const bool port = !call.dryRun && call.device.isEmpty() && !call.port;
    const bool baud = !call.dryRun && !call.baud;
    if (!port && !baud && call.address)
        return;
    const QStringList values
        = ReadIniValues({{QStringLiteral("Settings"), QStringLiteral("CommPort")},
                         {QStringLiteral("Settings"), QStringLiteral("Setting")},
                         {QStringLiteral("LCD"), QStringLiteral("UID")}});
    if (port)
        call.port = setting("CommPort", values[0], 1, 20, 1);
    if (baud)
        call.baud = values[1].left(4) == QLatin1String("9600") ? 9600 : 4800;
    if (!call.address)
        call.address = setting("UID", values[2], 100, 132, 100);
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
