// tessaline-sim: virtual LCD modules on a pseudo terminal, linked as ports/COM<n> beside the
// control panel, shown in a window. The link goes when the program ends, by its window, by
// SIGINT, SIGTERM or SIGHUP.
//
// On stdout it prints "ready COM<n> <terminal>" once the link exists. On stdin it answers the
// line "state" with one line per module (LcdBus::describe()) and a line "end", and the line
// "window" with "window <id>", the window's system id; tests and the screenshot tool use them.
#include "sim/lcdbus.h"
#include "sim/lcdview.h"
#include "sim/simport.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

// The handlers only write to a pipe; the event loop reads it and quits, so the link is
// removed by the normal way out.
bool catchSignals()
{
    if (::pipe(signalPipe) != 0)
        return false;
    for (int fd : signalPipe)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(sig, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN); // a reader of stdout that went away is no reason to stop
    return true;
}

// The link and its terminal, for a last look at exit: a program ended by exit() elsewhere (the
// window system's connection lost, for one) still removes its own link.
char exitLink[4096];
char exitTarget[256];

void removeLinkAtExit()
{
    char target[sizeof exitTarget];
    const ssize_t n = ::readlink(exitLink, target, sizeof target - 1);
    if (n > 0 && std::strncmp(target, exitTarget, size_t(n)) == 0 && exitTarget[n] == '\0')
        ::unlink(exitLink);
}

void removeLinkOnExit(const SimPort &line)
{
    const QByteArray link = QFile::encodeName(line.linkPath());
    const QByteArray target = QFile::encodeName(line.slavePath());
    if (link.size() >= int(sizeof exitLink) || target.size() >= int(sizeof exitTarget))
        return;
    std::strcpy(exitLink, link.constData());
    std::strcpy(exitTarget, target.constData());
    std::atexit(removeLinkAtExit);
}

void printLine(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

int fail(const QString &message)
{
    std::fprintf(stderr, "tessaline-sim: %s\n", qPrintable(message));
    return 1;
}

// The queries on stdin, one per line.
class Queries : public QObject
{
public:
    Queries(const LcdBus &bus, const QWidget &window)
        : m_bus(bus)
        , m_window(window)
        , m_notifier(STDIN_FILENO, QSocketNotifier::Read)
    {
        connect(&m_notifier, &QSocketNotifier::activated, this, &Queries::read);
    }

private:
    void read()
    {
        char buf[1024];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            // End of input (or none at all, as in the background): nothing more to answer.
            m_notifier.setEnabled(false);
            return;
        }
        m_pending.append(buf, int(n));
        int end;
        while ((end = m_pending.indexOf('\n')) >= 0) {
            const QByteArray line = m_pending.left(end).trimmed();
            m_pending.remove(0, end + 1);
            answer(line);
        }
        if (m_pending.size() > 4096)
            m_pending.clear(); // no query is that long
    }

    void answer(const QByteArray &query)
    {
        if (query == "state") {
            for (int i = 0; i < m_bus.moduleCount(); ++i)
                printLine(m_bus.module(i).describe());
            printLine(QStringLiteral("end"));
        } else if (query == "window") {
            printLine(QStringLiteral("window %1").arg(m_window.winId()));
        }
    }

    const LcdBus &m_bus;
    const QWidget &m_window;
    QSocketNotifier m_notifier;
    QByteArray m_pending;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tessaline-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Virtual LCD modules for the Tessaline control panel, on a pseudo "
                       "terminal linked as ports/COM<n> beside the control panel."));
    parser.addHelpOption();
    const QCommandLineOption portOption(
        QStringLiteral("port"), QStringLiteral("The port number n of ports/COM<n> (default 1)."),
        QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption addressOption(
        QStringLiteral("address"),
        QStringLiteral("The bus address of a module, 0 to 255; once per module (default one "
                       "module at 100)."),
        QStringLiteral("address"));
    const QCommandLineOption folderOption(
        QStringLiteral("folder"),
        QStringLiteral("The folder whose ports/ gets the link (default this program's folder, "
                       "where the control panel is built too)."),
        QStringLiteral("folder"));
    parser.addOptions({portOption, addressOption, folderOption});
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument %1 (see --help)")
                        .arg(parser.positionalArguments().first()));

    bool ok = false;
    const int port = parser.value(portOption).toInt(&ok);
    if (!ok || port < 1 || port > 99)
        return fail(QStringLiteral("--port wants a number from 1 to 99, not \"%1\"")
                        .arg(parser.value(portOption)));
    QList<quint8> addresses;
    for (const QString &value : parser.values(addressOption)) {
        const int address = value.toInt(&ok);
        if (!ok || address < 0 || address > 255)
            return fail(
                QStringLiteral("--address wants a number from 0 to 255, not \"%1\"").arg(value));
        addresses << quint8(address);
    }
    if (addresses.isEmpty())
        addresses << 100;
    const QString folder = parser.isSet(folderOption)
        ? QDir(parser.value(folderOption)).absolutePath()
        : QCoreApplication::applicationDirPath();

    if (!catchSignals())
        return fail(QStringLiteral("cannot watch for signals"));

    // A link that an operator made to an adapter stays, even while the adapter is unplugged:
    // only a link left by an earlier virtual module (to a pseudo terminal) may be replaced.
    const QFileInfo existing(QDir(folder).filePath(QStringLiteral("ports/COM%1").arg(port)));
    if (existing.isSymLink() && !existing.symLinkTarget().startsWith(QLatin1String("/dev/pts/")))
        return fail(QStringLiteral("cannot take COM%1: %2 leads to %3. Choose another number "
                                   "with --port.")
                        .arg(port)
                        .arg(existing.filePath(), existing.symLinkTarget()));

    LcdBus bus(addresses);
    SimPort line(&bus);
    // Another virtual module (or a device) on that number keeps it: refuse, never replace.
    if (!line.open(port, folder, SimPort::Existing::Refuse))
        return fail(QStringLiteral("cannot take COM%1: %2. Is another tessaline-sim running on "
                                   "it? Choose another number with --port.")
                        .arg(port)
                        .arg(line.errorString()));
    removeLinkOnExit(line);

    SimWindow window(bus);
    QStringList names;
    for (quint8 a : addresses)
        names << QString::number(a);
    window.setWindowTitle(QStringLiteral("Tessaline virtual modules on COM%1").arg(port));
    window.setLine(QStringLiteral("COM%1: ports/COM%1 \u2192 %2    modules at %3")
                       .arg(port)
                       .arg(line.slavePath(), names.join(QStringLiteral(", "))));
    QObject::connect(&line, &SimPort::chunkReceived, &window, &SimWindow::refresh);
    QObject::connect(&line, &SimPort::paused, &window, &SimWindow::refresh);
    window.show();

    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    Queries queries(bus, window);

    printLine(QStringLiteral("ready COM%1 %2").arg(port).arg(line.slavePath()));
    const int status = app.exec();
    line.close();
    return status;
}
