// The tessaline-sim program as a separate process: both windows of the control panel drive it
// over its pty, and what its modules keep is read back through its "state" query. Also: a
// second one on a taken port refuses, a signal removes the link, bad bytes do not stop it.
#include "cfgsupport.h"
#include "shell/frmmain.h"
#include "shell/modvariables.h"

#include <QAction>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <csignal>
#include <unistd.h>

using namespace TestSupport;
using namespace CfgSupport;
using namespace Qt::StringLiterals;

namespace {

constexpr int Timeout = 10000;

QString linkPath(int port)
{
    return SettingsFolder() + u"ports/COM%1"_s.arg(port);
}

// One tessaline-sim with its ports/ link in this test program's settings folder.
struct Sim
{
    QProcess process;
    QString out;

    explicit Sim(const QString &options)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        process.setProcessEnvironment(env);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                         [this] { out += QString::fromUtf8(process.readAllStandardOutput()); });
        process.start(TESSALINE_SIM,
                      QStringList {"--folder", SettingsFolder()} + options.split(' '));
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
        for (int n = 1; n <= 8; ++n) // links that a run killed before its end may have left
            QFile::remove(linkPath(n));
    }
    void cleanup() { removeSettings(); }
    void session();
    void refusals();
    void signalsRemoveLink();
    void badInput();
};

void tst_simproc::session()
{
    Rows rows;
    QByteArray table;
    for (int i = 0; i < 64; ++i)
        table += char(rows[size_t(i)] = (i + 11) & 0x1F);
    writeSettings(iniFile({"Tessaline", "", "Twenty characters!!"}, rows, 7, "9600"));
    Sim sim("--port 7 --address 100 --address 105");
    const QString ready = sim.waitReady();
    QVERIFY2(ready.startsWith("ready COM7 /dev/"), qPrintable(ready));
    QCOMPARE(QFileInfo(linkPath(7)).symLinkTarget(), ready.section(' ', 2));

    // The main window, on COM7 at 9600 as the settings file says.
    modVariables vars;
    frmMain w(vars);
    act(&w, "cmdConnect,cmdSelect");
    QCOMPARE(child<QLabel>(&w, "StatusPanel1")->text(), u"Device 100 Connected"_s);
    QCOMPARE(child<QLabel>(&w, "lblRxData")->text(), u"EE 64 "_s);
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
    // An operator's links to an adapter, plugged in or not.
    QVERIFY(QFile::link("/dev/null", linkPath(6)) && QFile::link("/dev/ttyUSB97", linkPath(8)));
    // A taken port, an adapter's port and options that make no sense: each stops it with a
    // message, before it says it is ready, and every link stays as it was.
    for (const char *options :
         {"--port 1 --address 105", "--port 6", "--port 8", "--port 0", "--port 3 --address 256"}) {
        Sim sim(options);
        QVERIFY(sim.process.waitForFinished(Timeout));
        QCOMPARE(sim.process.exitStatus(), QProcess::NormalExit);
        QVERIFY2(sim.process.exitCode() != 0, options);
        QVERIFY(!sim.process.readAllStandardError().isEmpty());
        QVERIFY(sim.out.isEmpty());
    }
    QCOMPARE(QFileInfo(linkPath(1)).symLinkTarget(), slave);
    QCOMPARE(QFileInfo(linkPath(6)).symLinkTarget(), u"/dev/null"_s);
    QCOMPARE(QFileInfo(linkPath(8)).symLinkTarget(), u"/dev/ttyUSB97"_s);
    QVERIFY(!QFileInfo(linkPath(3)).isSymLink());
    QCOMPARE(first.fields(100).value("selected"), u"no"_s);
}

void tst_simproc::signalsRemoveLink()
{
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        Sim sim("--port 4");
        QVERIFY(!sim.waitReady().isEmpty());
        QVERIFY(QFileInfo(linkPath(4)).isSymLink());
        QVERIFY(::kill(pid_t(sim.process.processId()), signal) == 0);
        QVERIFY(sim.process.waitForFinished(Timeout));
        QCOMPARE(sim.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.process.exitCode(), 0);
        QVERIFY2(!QFileInfo::exists(linkPath(4)) && !QFileInfo(linkPath(4)).isSymLink(),
                 qPrintable(QString::number(signal)));
    }
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

QTEST_MAIN(tst_simproc)
#include "tst_simproc.moc"
