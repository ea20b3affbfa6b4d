// tessaline-sim: virtual LCD modules on a pseudo terminal, linked as ports/COM<n> in the control
// panel's settings folder, shown in a window. The link goes when the program ends: by its window,
// by exit, or by any signal that can be caught. Each module keeps its EEPROM in
// ports/COM<n>-<address>.eeprom, named by the address it was started with.
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
#include <QSaveFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

namespace {

constexpr int LastPort = Bus::Ports; // the control panel's port list ends at COM20

struct Options
{
    int port = 1;
    QList<quint8> addresses;
    QString folder;
    bool fresh = false;
};

void printLine(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void warn(const QString &message)
{
    std::fprintf(stderr, "tessaline-sim: %s\n", qPrintable(message));
}

int fail(const QString &message)
{
    warn(message);
    return 1;
}

// The values of the options, checked; an exit status when one is wrong. No folder is the
// control panel's settings folder.
std::optional<int> takeValues(const QString &port, const QStringList &addresses,
                              const QString &folder, Options &options)
{
    bool ok = false;
    options.port = port.toInt(&ok);
    if (!ok || options.port < 1 || options.port > LastPort)
        return fail(QStringLiteral("--port wants a number from 1 to %1, the control panel's "
                                   "COM1 to COM%1, not \"%2\"")
                        .arg(LastPort)
                        .arg(port));
    for (const QString &value : addresses) {
        const int a = value.toInt(&ok);
        if (!ok || a < 0 || a > 255)
            return fail(
                QStringLiteral("--address wants a number from 0 to 255, not \"%1\"").arg(value));
        // The address names the module's EEPROM file.
        if (options.addresses.contains(quint8(a)))
            return fail(QStringLiteral("--address %1 is given twice").arg(a));
        options.addresses << quint8(a);
    }
    if (options.addresses.isEmpty())
        options.addresses << Bus::FirstAddress;

    // Without a folder the link goes where the control panel looks: SimPort makes the settings
    // folder, which needs the application object.
    if (folder.isEmpty())
        return std::nullopt;
    options.folder = QFileInfo(folder).absoluteFilePath();
    if (!QFileInfo(options.folder).isDir())
        return fail(QStringLiteral("--folder %1 %2")
                        .arg(options.folder,
                             QFileInfo::exists(options.folder) ? QStringLiteral("is not a folder")
                                                               : QStringLiteral("does not exist")));
    return std::nullopt;
}

// Reads the command line before any window exists, so that --help and mistakes need no
// display. An exit status when the program ends here.
std::optional<int> readOptions(int argc, char *argv[], Options &options)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Virtual LCD modules for the Tessaline control panel, on a pseudo "
                       "terminal linked as ports/COM<n> in the control panel's settings folder."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral("The port number n of ports/COM<n>, 1 to %1 (default 1).").arg(LastPort),
        QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption address(
        QStringLiteral("address"),
        QStringLiteral("The bus address a module starts with, 0 to 255; once per module "
                       "(default one module at 100)."),
        QStringLiteral("address"));
    const QCommandLineOption folder(
        QStringLiteral("folder"),
        QStringLiteral("An existing folder whose ports/ gets the link (default the control "
                       "panel's settings folder)."),
        QStringLiteral("folder"));
    const QCommandLineOption fresh(
        QStringLiteral("fresh"),
        QStringLiteral("Start every module blank, whatever its EEPROM file holds."));
    parser.addOptions({port, address, folder, fresh});

    if (!parser.parse(arguments))
        return fail(parser.errorText() + QStringLiteral(" (see --help)"));
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        // The parser names the program only through an application object, which needs none.
        const QString name = QFileInfo(arguments.value(0)).fileName();
        printLine(parser.helpText().replace(QStringLiteral("<executable_name>"), name).trimmed());
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument %1 (see --help)")
                        .arg(parser.positionalArguments().first()));
    options.fresh = parser.isSet(fresh);
    return takeValues(parser.value(port), parser.values(address), parser.value(folder), options);
}

// The link and its terminal, for a last look by the handlers of faults and exit(), which cannot
// ask SimPort: only async-signal-safe calls on plain buffers.
char exitLink[4096];
char exitTarget[256];
int signalPipe[2] = {-1, -1};

void removeOwnLink()
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
    std::atexit(removeOwnLink);
}

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

// A fault of the program itself: the link goes now, then the signal does what it would have.
void onFault(int signal)
{
    removeOwnLink();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// Every signal whose default ends the process. Faults end it at once; the others only write to
// a pipe that the event loop reads, so that the link goes the normal way out.
bool catchSignals()
{
    if (::pipe2(signalPipe, O_CLOEXEC) != 0)
        return false;
    QList<int> endings = {SIGHUP,    SIGINT,  SIGQUIT, SIGUSR1,   SIGUSR2, SIGALRM, SIGTERM,
                          SIGSTKFLT, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR};
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        endings << sig;
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    action.sa_handler = onSignal;
    for (int sig : endings)
        ::sigaction(sig, &action, nullptr);
    action.sa_handler = onFault;
    for (int sig : {SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGSYS})
        ::sigaction(sig, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN); // a reader of stdout that went away is no reason to stop
    return true;
}

// Each module's EEPROM in a file beside the link. A module starts from its file, and the file
// is written again whenever the EEPROM changed, as a whole (QSaveFile), so that a crash during
// the write leaves the last one whole.
class EepromFiles
{
public:
    EepromFiles(LcdBus &bus, const QString &link, bool fresh)
        : m_bus(bus)
    {
        for (int i = 0; i < bus.moduleCount(); ++i) {
            LcdModule &module = bus.module(i);
            m_paths << QStringLiteral("%1-%2.eeprom").arg(link).arg(module.address());
            if (!fresh)
                load(module, m_paths.last());
            m_written.push_back(module.eeprom());
        }
    }

    void save()
    {
        for (int i = 0; i < m_bus.moduleCount(); ++i) {
            const LcdSettings &eeprom = m_bus.module(i).eeprom();
            if (eeprom == m_written[size_t(i)])
                continue;
            m_written[size_t(i)] = eeprom;
            QSaveFile file(m_paths[i]);
            const QByteArray image = eeprom.image();
            if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size()
                || !file.commit())
                warn(QStringLiteral("cannot write %1: %2").arg(m_paths[i], file.errorString()));
        }
    }

private:
    static void load(LcdModule &module, const QString &path)
    {
        QFile file(path);
        if (!file.exists())
            return;
        QString why = file.errorString();
        std::optional<LcdSettings> eeprom;
        if (file.open(QIODevice::ReadOnly))
            eeprom = LcdSettings::fromImage(file.read(LcdSettings::MaxImageSize + 1), &why);
        if (eeprom)
            module.powerUp(*eeprom);
        else
            warn(QStringLiteral("%1 is ignored, module %2 starts blank: %3")
                     .arg(path)
                     .arg(module.address())
                     .arg(why));
    }

    LcdBus &m_bus;
    QStringList m_paths;
    std::vector<LcdSettings> m_written;
};

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
    Options options;
    if (const std::optional<int> status = readOptions(argc, argv, options))
        return *status;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tessaline-sim"));
    if (!catchSignals())
        return fail(QStringLiteral("cannot watch for signals"));

    // The line: only modules at the speed the control panel set hear it, and no byte of it is
    // kept beyond its reading.
    LcdBus bus(options.addresses);
    SimPort line(&bus);
    line.setSpeedChecked(true);
    line.setReceivedLimit(0);
    if (!line.open(options.port, options.folder, SimPort::Existing::Refuse))
        return fail(
            QStringLiteral("cannot take COM%1: %2").arg(options.port).arg(line.errorString()));
    removeLinkOnExit(line);
    EepromFiles eeproms(bus, line.linkPath(), options.fresh);

    SimWindow window(bus);
    window.setWindowTitle(QStringLiteral("Tessaline virtual modules on COM%1").arg(options.port));
    window.setPort(options.port, line.slavePath());
    const auto lineChanged = [&] {
        eeproms.save();
        window.lineChanged();
    };
    QObject::connect(&line, &SimPort::chunkReceived, &window, lineChanged);
    QObject::connect(&line, &SimPort::paused, &window, lineChanged);
    window.show();

    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    Queries queries(bus, window);

    printLine(QStringLiteral("ready COM%1 %2").arg(options.port).arg(line.slavePath()));
    const int status = app.exec();
    line.close();
    return status;
}
