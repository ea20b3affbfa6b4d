// The tessaline-sim program as a separate process: both windows of the control panel drive it
// over its pty, and what its modules keep is read back through its "state" query. Also: what
// it refuses, with or without a display; signals and a killed run's link; its EEPROM files
// across restarts; a line at the wrong speed; bad bytes and a flood.
#include "cfgsupport.h"
#include "display/frames.h"
#include "shell/frmmain.h"
#include "shell/modvariables.h"

#include <QAction>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <csignal>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using namespace Frames;
using namespace TestSupport;
using namespace CfgSupport;
using namespace Qt::StringLiterals;

namespace {

constexpr int Timeout = 10000;

QString linkPath(int port)
{
    return SettingsFolder() + u"ports/COM%1"_s.arg(port);
}

QProcessEnvironment offscreen()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    return env;
}

// A line opened by path, at a speed, as a serial port would set it.
struct Line
{
    int fd;
    explicit Line(int port)
        : fd(::open(QFile::encodeName(linkPath(port)).constData(), O_RDWR | O_NOCTTY))
    { }
    ~Line() { ::close(fd); }
    bool setSpeed(speed_t speed)
    {
        termios tio;
        return ::tcgetattr(fd, &tio) == 0 && ::cfsetspeed(&tio, speed) == 0
            && ::tcsetattr(fd, TCSANOW, &tio) == 0;
    }
    bool send(const QByteArray &bytes)
    {
        return ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }
    // What the modules answered so far, without waiting.
    QByteArray answers()
    {
        const int flags = ::fcntl(fd, F_GETFL);
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        QByteArray all;
        char buf[256];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0)
            all.append(buf, int(n));
        ::fcntl(fd, F_SETFL, flags);
        return all;
    }
};

// A figure of /proc/<pid>/status, in KiB.
qint64 statusKiB(qint64 pid, const QByteArray &key)
{
    QFile status(u"/proc/%1/status"_s.arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// One tessaline-sim with its ports/ link in this test program's settings folder.
struct Sim
{
    QProcess process;
    QString out;

    explicit Sim(const QString &options, const QProcessEnvironment &env = offscreen(),
                 const QStringList &wrapper = {})
    {
        process.setProcessEnvironment(env);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                         [this] { out += QString::fromUtf8(process.readAllStandardOutput()); });
        const QStringList arguments = wrapper
            + QStringList {TESSALINE_SIM, "--folder", SettingsFolder()}
            + options.split(' ', Qt::SkipEmptyParts);
        process.start(arguments.first(), arguments.mid(1));
    }
    ~Sim()
    {
        process.terminate();
        if (!process.waitForFinished(Timeout))
            process.kill();
    }
    bool running() const { return process.state() != QProcess::NotRunning; }
    // The "ready" line, once it came; empty when the program did not get that far.
    QString waitReady()
    {
        static const QRegularExpression ready("^ready .*$", QRegularExpression::MultilineOption);
        (void)QTest::qWaitFor([&] { return out.contains(ready) || !running(); }, Timeout);
        return ready.match(out).captured();
    }
    // The fields of the module's line in the answer to "state" (display="..."/"...",
    // cursor=blinking@2,6, ...); none when no such module answered.
    QMap<QString, QString> fields(int address)
    {
        const qsizetype before = out.size();
        process.write("state\n");
        (void)QTest::qWaitFor([&] { return out.indexOf("\nend\n", before) >= 0; }, Timeout);
        const QRegularExpression line(u"^module %1: .*$"_s.arg(address),
                                      QRegularExpression::MultilineOption);
        static const QRegularExpression field("(\\w+)=((?:\"[^\"]*\"[/,]?)+|\\S+)");
        QMap<QString, QString> result;
        for (auto it = field.globalMatch(line.match(out, before).captured()); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            result.insert(m.captured(1), m.captured(2));
        }
        return result;
    }
    // Asks again until the field reads as expected (the bytes on the line and the query on
    // stdin are read in no fixed order), or the time is up; the last value read.
    QString await(int address, const QString &key, const QString &expected)
    {
        QString value;
        (void)QTest::qWaitFor(
            [&] { return (value = fields(address).value(key)) == expected || !running(); },
            Timeout);
        return value;
    }
};

// The display field of a state line with this text on the top row, in plain ASCII.
QString display(const QString &top = {})
{
    QStringList rows(4, QString(20, ' '));
    rows[0] = top.leftJustified(20);
    return '"' + rows.join("\"/\"") + '"';
}

} // namespace

class tst_simproc : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        // Links, locks and EEPROM files that an earlier run may have left.
        QDir ports(SettingsFolder() + "ports");
        for (const QString &name : ports.entryList(QDir::Files | QDir::System))
            ports.remove(name);
    }
    void cleanup() { removeSettings(); }
    void session();
    void refusals();
    void signalsAndKill();
    void eeprom();
    void speed();
    void badInput();
    void flood();
};

void tst_simproc::session()
{
    Rows rows;
    QByteArray table;
    for (int i = 0; i < 64; ++i)
        table += char(rows[size_t(i)] = (i + 11) & 0x1F);
    writeSettings(iniFile({"Tessaline", "", "Twenty characters!!"}, rows, 7, "9600"));
    Sim sim("--port 7 --address 100 --address 105 --address 132 --address 133");
    const QString ready = sim.waitReady();
    QVERIFY2(ready.startsWith("ready COM7 /dev/"), qPrintable(ready));
    QCOMPARE(QFileInfo(linkPath(7)).symLinkTarget(), ready.section(' ', 2));

    // The main window, on COM7 at 9600 as the settings file says. A module beyond 132 is not
    // found (typed, 133 is no item and goes out as 99); 132 and 100 are.
    modVariables vars;
    frmMain w(vars);
    const auto status = [&] {
        return child<QLabel>(&w, "StatusPanel1")->text() + '|'
            + child<QLabel>(&w, "lblRxData")->text();
    };
    act(&w, "cmdConnect,cboAddr=133,cmdSelect");
    QCOMPARE(status(), u"Device Not Found|"_s);
    act(&w, "cboAddr=132,cmdSelect");
    QCOMPARE(status(), u"Device 132 Connected|EE 84 "_s);
    act(&w, "cboAddr=100,cmdSelect");
    QCOMPARE(status(), u"Device 100 Connected|EE 64 "_s);
    QCOMPARE(sim.fields(133).value("selected") + sim.fields(132).value("selected"), u"nono"_s);
    QTest::keyClicks(child<QLineEdit>(&w, "txtASCIIInput"), "Hello");
    act(&w, "cboOutput=3,cboSta=ON,cmdout1,cmdBLFlash");
    QCOMPARE(sim.await(100, "backlight", "flashing"), u"flashing"_s);
    const QMap<QString, QString> lcd = sim.fields(100);
    QCOMPARE(lcd.value("display"), display("Hello"));
    QCOMPARE(lcd.value("outputs"), u"08"_s);
    QCOMPARE(sim.fields(105).value("display"), display());

    // The configuration window: texts, directions, characters, EEPROM, a new address.
    child<QAction>(&w, "mnuCfg")->trigger();
    frmCfg *cfg = cfgWindow();
    QVERIFY(cfg && cfg->isVisible());
    act(cfg,
        "TxtPL_1=Edited,Check1,cmdSetPT,cboIO_1=INPUT,cboIO_3=INPUT,cmdSetIO,cmdSendBitmap,"
        "cmdSave,cboUID=117,cmdSetUID");
    QCOMPARE(sim.await(117, "saves", "1"), u"1"_s);
    const QMap<QString, QString> saved = sim.fields(117);
    const QString blank = u"\"                \""_s;
    QCOMPARE(saved.value("texts"),
             QStringList({"\"Tessaline       \"", "\"Edited          \"", "\"Twenty characters!!\"",
                          blank, blank, blank, blank, blank})
                 .join(','));
    QCOMPARE(saved.value("startup"), u"on"_s);
    QCOMPARE(saved.value("directions"), u"F5"_s);
    QCOMPARE(saved.value("chars"), QString::fromLatin1(table.toHex().toUpper()));
    QVERIFY(sim.fields(100).isEmpty());
    QCOMPARE(sim.fields(105).value("saves"), u"0"_s); // it was not selected
}

void tst_simproc::refusals()
{
    Sim first("--port 1");
    const QString slave = first.waitReady().section(' ', 2);
    QVERIFY(slave.startsWith("/dev/"));
    // An operator's links to an adapter, plugged in or not; a folder whose ports is a file; a
    // folder on a read-only file system, in a mount namespace of the program's own.
    QVERIFY(QFile::link("/dev/null", linkPath(6)) && QFile::link("/dev/ttyUSB97", linkPath(8)));
    const QString plain = AppFolder() + "plain", readOnly = AppFolder() + "read-only";
    QVERIFY(QDir().mkpath(plain) && QDir().mkpath(readOnly));
    QVERIFY(QFile(plain + "/ports").open(QIODevice::WriteOnly));
    const QStringList mountReadOnly
        = {"unshare", "--mount", "sh", "-c", "mount -t tmpfs -o ro tmpfs \"$0\" && exec \"$@\"",
           readOnly};

    // Options that make no sense stop it before it needs a display; a taken port, an adapter's
    // port and a folder where the link cannot be made, with a message that says why. Nothing
    // is said ready, nothing is created, and every link stays as it was.
    QProcessEnvironment noDisplay = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        noDisplay.remove(name);
    const struct
    {
        QString options;
        QString message;
        bool display;
        QStringList wrapper = {};
    } cases[] = {
        {"--port 0", "from 1 to 20", false},
        {"--port 21", "from 1 to 20", false},
        {"--port 3 --address 256", "from 0 to 255", false},
        {"--port 3 --address 100 --address 100", "--address 100 is given twice", false},
        {"--port 3 --colour red", "Unknown option 'colour'", false},
        {"--port 3 --folder " + AppFolder() + "none/deeper", "none/deeper does not exist", false},
        {"--port 3 --folder " + IniPath(), "tessaline.ini is not a folder", false},
        {"--port 3 --folder " + plain, "plain/ports is not a folder", true},
        {"--port 3 --folder " + readOnly, "Read-only file system", true, mountReadOnly},
        {"--port 1 --address 105", "COM1 is in use by another tessaline-sim", true},
        {"--port 6", "COM6 leads to /dev/null", true},
        {"--port 8", "COM8 leads to /dev/ttyUSB97", true},
    };
    writeSettings("");
    for (const auto &c : cases) {
        Sim sim(c.options, c.display ? offscreen() : noDisplay, c.wrapper);
        QVERIFY(sim.process.waitForFinished(Timeout));
        QCOMPARE(sim.process.exitStatus(), QProcess::NormalExit);
        const QString error = QString::fromLocal8Bit(sim.process.readAllStandardError());
        QVERIFY2(sim.process.exitCode() != 0 && error.contains(c.message), qPrintable(error));
        QVERIFY(!error.contains("another tessaline-sim") || c.message.contains("another"));
        QVERIFY(sim.out.isEmpty());
    }
    QCOMPARE(QFileInfo(linkPath(1)).symLinkTarget(), slave);
    QCOMPARE(QFileInfo(linkPath(6)).symLinkTarget(), u"/dev/null"_s);
    QCOMPARE(QFileInfo(linkPath(8)).symLinkTarget(), u"/dev/ttyUSB97"_s);
    QVERIFY(!QFileInfo(linkPath(3)).isSymLink() && !QFileInfo::exists(AppFolder() + "none"));
    QCOMPARE(first.fields(100).value("selected"), u"no"_s);

    // Help needs no display either.
    Sim help("--help", noDisplay);
    QVERIFY(help.process.waitForFinished(Timeout));
    QCOMPARE(help.process.exitCode(), 0);
    QVERIFY2(help.out.contains("--port <n>") && help.out.contains("--fresh"), qPrintable(help.out));
}

// A caught signal ends it with its link removed; a fault of its own too, as the crash it is.
// SIGKILL cannot be caught: the link stays, and the next one takes it over.
void tst_simproc::signalsAndKill()
{
    for (int signal :
         {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, SIGRTMIN + 3, SIGSEGV, SIGABRT}) {
        Sim sim("--port 4");
        QVERIFY(!sim.waitReady().isEmpty());
        QVERIFY(QFileInfo(linkPath(4)).isSymLink());
        QVERIFY(::kill(pid_t(sim.process.processId()), signal) == 0);
        QVERIFY(sim.process.waitForFinished(Timeout));
        const bool fault = signal == SIGSEGV || signal == SIGABRT;
        QCOMPARE(sim.process.exitStatus(), fault ? QProcess::CrashExit : QProcess::NormalExit);
        QVERIFY(fault || sim.process.exitCode() == 0);
        QVERIFY2(!QFileInfo::exists(linkPath(4)) && !QFileInfo(linkPath(4)).isSymLink(),
                 qPrintable(QString::number(signal)));
    }

    Sim killed("--port 4");
    const QString first = killed.waitReady().section(' ', 2);
    QVERIFY(::kill(pid_t(killed.process.processId()), SIGKILL) == 0);
    QVERIFY(killed.process.waitForFinished(Timeout));
    QCOMPARE(QFileInfo(linkPath(4)).symLinkTarget(), first);
    Sim next("--port 4");
    const QString ready = next.waitReady();
    QVERIFY2(ready.startsWith("ready COM4 /dev/pts/"), qPrintable(ready));
    QCOMPARE(QFileInfo(linkPath(4)).symLinkTarget(), ready.section(' ', 2));
    QCOMPARE(next.fields(100).value("baud"), u"9600"_s);
}

// Each module starts from what its EEPROM held when the last run ended, as after a power
// cycle; --fresh starts blank, and a file that is cut or another program's is reported and
// ignored.
void tst_simproc::eeprom()
{
    const QString file = linkPath(2) + "-100.eeprom";
    {
        Sim sim("--port 2 --address 100 --address 105");
        QVERIFY(!sim.waitReady().isEmpty());
        Line line(2);
        const auto texts = [](const char *first) {
            return '"' + QString(first).leftJustified(16) + '"' + QString(",\"\"").repeated(7);
        };
        QVERIFY(line.send(SelectDevice(100) + SetUid(117) + SetIoDirection(0x0F) + StartupScreenOn()
                          + StoreText(1, "Kept")));
        QCOMPARE(sim.await(117, "texts", texts("Kept")), texts("Kept"));
        QVERIFY(line.send(SetBaud4800()));
        QCOMPARE(sim.await(117, "baud", "4800"), u"4800"_s);
        // The module now listens at 4800 only.
        QVERIFY(line.setSpeed(B4800) && line.send(SaveToEeprom()));
        QCOMPARE(sim.await(117, "saves", "1"), u"1"_s);
        QVERIFY(line.send(StoreText(1, "Not saved")));
        QCOMPARE(sim.await(117, "texts", texts("Not saved")), texts("Not saved"));
    }
    QVERIFY(QFileInfo::exists(file) && !QFileInfo::exists(linkPath(2) + "-105.eeprom"));
    const QByteArray saved = [&] {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();

    const QString blank = display();
    const QString kept = '"' + QString("Kept").leftJustified(20) + "\"/" + display().mid(23);
    const struct
    {
        QByteArray content;
        QString options;
        int address;
        QString baud;
        QString display;
        QString warning;
    } cases[] = {
        {saved, "", 117, "4800", kept, ""},
        {saved, "--fresh", 100, "9600", blank, ""},
        {saved.left(saved.size() - 40), "", 100, "9600", blank, "cut short"},
        {"[Settings]\nCommPort=1\n", "", 100, "9600", blank, "not an EEPROM file"},
    };
    for (const auto &c : cases) {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(c.content);
        f.close();
        Sim sim("--port 2 --address 100 --address 105 " + c.options);
        QVERIFY(!sim.waitReady().isEmpty());
        const QMap<QString, QString> m = sim.fields(c.address);
        QCOMPARE(m.value("baud") + ' ' + m.value("directions") + ' ' + m.value("display"),
                 c.baud + ' ' + (c.address == 117 ? "0F " : "FF ") + c.display);
        QCOMPARE(sim.fields(105).value("baud"), u"9600"_s);
        sim.process.terminate();
        QVERIFY(sim.process.waitForFinished(Timeout));
        const QString error = QString::fromLocal8Bit(sim.process.readAllStandardError());
        QVERIFY2(error.contains(file) == !c.warning.isEmpty() && error.contains(c.warning),
                 qPrintable(error));
    }
}

// A module hears only its own speed: at another one it understands nothing and answers
// nothing, and counts what it got. Only the addressed module answers.
void tst_simproc::speed()
{
    Sim sim("--port 3 --address 100 --address 105 --address 132");
    QVERIFY(!sim.waitReady().isEmpty());
    Line line(3);
    QVERIFY(line.setSpeed(B4800) && line.send(SelectDevice(100) + SelectDevice(105)));
    QCOMPARE(sim.await(105, "garbled", "4"), u"4"_s);
    QVERIFY(line.setSpeed(B9600)
            && line.send(SelectDevice(101) + SelectDevice(99) + SelectDevice(132)));
    QCOMPARE(sim.await(132, "selected", "yes"), u"yes"_s);
    QCOMPARE(line.answers(), QByteArray(SelectReply(132)));
    QString seen;
    for (int address : {100, 105, 132})
        seen += sim.fields(address).value("selected") + sim.fields(address).value("garbled");
    QCOMPARE(seen, u"no4no4yes4"_s);
}

void tst_simproc::badInput()
{
    Sim sim("--port 5 --address 100 --address 101");
    QVERIFY(!sim.waitReady().isEmpty());
    // The terminal is raw already: the bytes arrive as written.
    QFile line(linkPath(5));
    QVERIFY(line.open(QIODevice::ReadWrite | QIODevice::Unbuffered));

    // Random bytes between frames cut short: an upload, a position, a selection.
    QRandomGenerator rng(7);
    for (int round = 0; round < 200; ++round) {
        QByteArray chunk;
        for (int i = int(rng.bounded(300)); i > 0; --i)
            chunk += char(rng.bounded(256));
        chunk += QByteArray::fromHex(
            QByteArrayList {"fe64", "fe32", "ef", "fe6c4142"}.at(int(rng.bounded(4))));
        QCOMPARE(line.write(chunk), chunk.size());
    }
    line.write(QByteArray::fromHex("fe64") + QByteArray(30, '\x1f'));
    QVERIFY(!sim.fields(100).isEmpty() && !sim.fields(101).isEmpty());

    // Still on the line: once the broken frames are done with, a selection and text work.
    QString shown;
    (void)QTest::qWaitFor(
        [&] {
            line.write(QByteArray::fromHex("ef640d") + "OK");
            return (shown = sim.fields(100).value("display")) == display("OK");
        },
        Timeout);
    QCOMPARE(shown, display("OK"));
    QVERIFY(sim.running());
}

// A flood that nobody answers fast enough, the answers unread: all of it is read, and the
// program keeps its size.
void tst_simproc::flood()
{
    QProcessEnvironment env = offscreen();
    // AddressSanitizer's quarantine would hold every freed buffer for a while: keep it small.
    env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":quarantine_size_mb=1");
    Sim sim("--port 5", env);
    QVERIFY(!sim.waitReady().isEmpty());
    Line line(5);
    const QByteArray block = QByteArray(SelectDevice(100)).repeated(8192) + QByteArray(32768, 'x');
    // The first 4 MiB settle the allocator (and a sanitizer's own caches); after them, 32 MiB
    // more cost nothing.
    const struct
    {
        int blocks;
        QString last;
    } floods[] = {{64, "idle"}, {512, "done"}};
    qint64 rss[2] = {}, peak[2] = {};
    for (int k = 0; k < 2; ++k) {
        for (int i = 0; i < floods[k].blocks; ++i)
            QVERIFY(line.send(block));
        QVERIFY(line.send(ClearCode() + floods[k].last.toLatin1()));
        const QString shown = display(floods[k].last);
        QCOMPARE(sim.await(100, "display", shown), shown);
        rss[k] = statusKiB(sim.process.processId(), "VmRSS");
        peak[k] = statusKiB(sim.process.processId(), "VmHWM");
    }
    QVERIFY2(
        rss[0] > 0 && rss[1] - rss[0] < 4096 && peak[1] - peak[0] < 4096,
        qPrintable(
            u"VmRSS %1 -> %2 KiB, VmHWM %3 -> %4 KiB"_s.arg(rss[0]).arg(rss[1]).arg(peak[0]).arg(
                peak[1])));
}

QTEST_MAIN(tst_simproc)
#include "tst_simproc.moc"
