// The tessaline-sim program as a separate process: the main window drives it over its pty, and
// what its modules keep is read back through its "state" query. Also: a second one on the same
// port refuses, the link goes at SIGINT, SIGTERM and SIGHUP, and bad bytes do not stop it.
#include "shell/frmmain.h"
#include "shell/modvariables.h"
#include "testsupport.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <csignal>
#include <unistd.h>

using namespace TestSupport;

namespace {

constexpr int Timeout = 10000;

QString linkPath(int port = 1)
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/ports/COM%1").arg(port);
}

// One tessaline-sim with its ports/ link in this test program's folder.
class Sim
{
public:
    explicit Sim(const QStringList &options = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        m_process.setProcessEnvironment(env);
        m_process.setProgram(QStringLiteral(TESSALINE_SIM));
        m_process.setArguments(
            QStringList {QStringLiteral("--folder"), QCoreApplication::applicationDirPath()}
            + options);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process,
                         [this] { m_out += m_process.readAllStandardOutput(); });
        m_process.start();
    }
    ~Sim()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(Timeout))
                m_process.kill();
        }
    }

    QProcess &process() { return m_process; }
    QStringList lines() const
    {
        QStringList all = QString::fromUtf8(m_out).split(QLatin1Char('\n'));
        all.removeLast(); // the part after the last line break
        return all;
    }

    // The "ready" line, once it came; empty when the program did not get that far.
    QString waitReady()
    {
        const auto ready = [this] {
            return lines().filter(QRegularExpression(QStringLiteral("^ready "))).value(0);
        };
        (void)QTest::qWaitFor([&] { return !ready().isEmpty() || !isRunning(); }, Timeout);
        return ready();
    }
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }

    // Asks for the modules' state; their lines by address, empty when no answer came.
    QMap<int, QString> state()
    {
        const int before = int(lines().size());
        m_process.write("state\n");
        const auto answered = [&] { return lines().mid(before).contains(QStringLiteral("end")); };
        if (!QTest::qWaitFor(answered, Timeout))
            return {};
        QMap<int, QString> modules;
        static const QRegularExpression head(QStringLiteral("^module (\\d+): "));
        for (const QString &line : lines().mid(before)) {
            if (line == QLatin1String("end"))
                break;
            const QRegularExpressionMatch m = head.match(line);
            if (m.hasMatch())
                modules.insert(m.captured(1).toInt(), line);
        }
        return modules;
    }

    // The fields of a module's state line (display="..."/"...", cursor=blinking@2,6, ...).
    QMap<QString, QString> fields(int address)
    {
        static const QRegularExpression field(QStringLiteral("(\\w+)=((?:\"[^\"]*\"[/,]?)+|\\S+)"));
        QMap<QString, QString> result;
        auto it = field.globalMatch(state().value(address));
        while (it.hasNext()) {
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
            [&] {
                value = fields(address).value(key);
                return value == expected || !isRunning();
            },
            Timeout);
        return value;
    }

private:
    QProcess m_process;
    QByteArray m_out;
};

// The display field of a state line: four rows of 20 in quotes, other than printable ASCII as
// \xHH.
QString display(const QByteArray &r0, const QByteArray &r1, const QByteArray &r2,
                const QByteArray &r3)
{
    QStringList rows;
    for (const QByteArray &r : {r0, r1, r2, r3}) {
        QString row = QStringLiteral("\"");
        for (char c : r.leftJustified(20, ' ')) {
            const quint8 b = quint8(c);
            row += b >= 32 && b < 127 && b != '"' && b != '\\'
                ? QString(QChar(b))
                : QStringLiteral("\\x%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
        }
        rows << row + QLatin1Char('"');
    }
    return rows.join(QLatin1Char('/'));
}

// The main window of the control panel, connected.
struct Panel
{
    explicit Panel(int port = 1)
    {
        window = std::make_unique<frmMain>(vars);
        choose(get<QComboBox>("cboComm"), QStringLiteral("COM%1").arg(port));
        choose(get<QComboBox>("cboBaud"), "9600");
        click("cmdConnect");
    }
    template<typename T = QWidget> T *get(const QString &name)
    {
        return child<T>(window.get(), name);
    }
    void click(const QString &button)
    {
        QTest::mouseClick(get<QPushButton>(button), Qt::LeftButton);
    }
    void select(const QString &address)
    {
        choose(get<QComboBox>("cboAddr"), address);
        click("cmdSelect");
    }
    void type(const QString &text)
    {
        auto *box = get<QLineEdit>("txtASCIIInput");
        box->setFocus();
        QTest::keyClicks(box, text);
    }
    QString status() { return get<QLabel>("StatusPanel1")->text(); }

    modVariables vars;
    std::unique_ptr<frmMain> window;
};

} // namespace

class tst_simproc : public QObject
{
    Q_OBJECT
private slots:
    void init() { removeSettings(); }
    void cleanup() { removeSettings(); }
    void mainWindowSession();
    void secondOnSamePort();
    void signalRemovesLink_data();
    void signalRemovesLink();
    void badInput();
    void configurationWindow();
};

void tst_simproc::mainWindowSession()
{
    Sim sim({"--port", "1", "--address", "100", "--address", "105"});
    const QString ready = sim.waitReady();
    QVERIFY2(ready.startsWith(QLatin1String("ready COM1 /dev/")), qPrintable(ready));
    QCOMPARE(QFileInfo(linkPath()).symLinkTarget(), ready.section(QLatin1Char(' '), 2));

    Panel panel;
    panel.select("100");
    QCOMPARE(panel.status(), QStringLiteral("Device 100 Connected"));
    QCOMPARE(panel.get<QLabel>("lblRxData")->text(), QStringLiteral("EE 64 "));

    panel.type("Hello");
    choose(panel.get<QComboBox>("cboRow"), "2");
    choose(panel.get<QComboBox>("cboColumn"), "5");
    panel.click("cmdCurPos");
    panel.type("X");
    panel.click("cmdCC_2");
    choose(panel.get<QComboBox>("cboCursor"), "Blinking");
    panel.click("cmdSetCursor");
    choose(panel.get<QComboBox>("cboOutput"), "3");
    choose(panel.get<QComboBox>("cboSta"), "ON");
    panel.click("cmdout1");
    panel.click("cmdBLFlash");

    QCOMPARE(sim.await(100, "backlight", "flashing"), QStringLiteral("flashing"));
    const QMap<QString, QString> lcd = sim.fields(100);
    QCOMPARE(lcd.value("display"), display("Hello", "", "     X\x02", ""));
    QCOMPARE(lcd.value("cursor"), QStringLiteral("blinking@2,7"));
    QCOMPARE(lcd.value("outputs"), QStringLiteral("08"));
    QCOMPARE(lcd.value("selected"), QStringLiteral("yes"));
    const QMap<QString, QString> other = sim.fields(105);
    QCOMPARE(other.value("selected"), QStringLiteral("no"));
    QCOMPARE(other.value("display"), display("", "", "", ""));
    QCOMPARE(other.value("outputs"), QStringLiteral("00"));

    // The other module: only it follows now.
    panel.select("105");
    QCOMPARE(panel.status(), QStringLiteral("Device 105 Connected"));
    panel.type("Z");
    panel.click("cmdOut_0");
    QCOMPARE(sim.await(105, "outputs", "FF"), QStringLiteral("FF"));
    QCOMPARE(sim.fields(105).value("display"), display("Z", "", "", ""));
    QCOMPARE(sim.fields(100).value("selected"), QStringLiteral("no"));
    QCOMPARE(sim.fields(100).value("outputs"), QStringLiteral("08"));
}

void tst_simproc::secondOnSamePort()
{
    Sim first({"--port", "1"});
    const QString ready = first.waitReady();
    QVERIFY(!ready.isEmpty());
    const QString slave = ready.section(QLatin1Char(' '), 2);

    Sim second({"--port", "1", "--address", "105"});
    QVERIFY(second.process().waitForFinished(Timeout));
    QCOMPARE(second.process().exitStatus(), QProcess::NormalExit);
    QVERIFY(second.process().exitCode() != 0);
    const QString error = QString::fromLocal8Bit(second.process().readAllStandardError());
    QVERIFY2(error.contains(QLatin1String("COM1")) && error.contains(QLatin1String("in use")),
             qPrintable(error));
    QVERIFY(second.lines().isEmpty());

    // The first keeps its link and its line.
    QCOMPARE(QFileInfo(linkPath()).symLinkTarget(), slave);
    QCOMPARE(first.state().keys(), QList<int> {100});
    Panel panel;
    panel.select("100");
    QCOMPARE(panel.status(), QStringLiteral("Device 100 Connected"));

    // An operator's link to an adapter stays, plugged in or not.
    for (const char *adapter : {"/dev/null", "/dev/ttyUSB97"}) {
        QFile::remove(linkPath(6));
        QVERIFY(QFile::link(QString::fromLatin1(adapter), linkPath(6)));
        Sim refused({"--port", "6"});
        QVERIFY(refused.process().waitForFinished(Timeout));
        QVERIFY(refused.process().exitCode() != 0);
        QVERIFY(QString::fromLocal8Bit(refused.process().readAllStandardError())
                    .contains(QLatin1String(adapter)));
        QCOMPARE(QFileInfo(linkPath(6)).symLinkTarget(), QString::fromLatin1(adapter));
    }
    QFile::remove(linkPath(6));

    // Options that make no sense stop it before it takes a port.
    for (const QStringList &bad :
         {QStringList {"--port", "0"}, QStringList {"--port", "3", "--address", "256"}}) {
        Sim wrong(bad);
        QVERIFY(wrong.process().waitForFinished(Timeout));
        QVERIFY2(wrong.process().exitCode() != 0, qPrintable(bad.join(' ')));
    }
    QVERIFY(!QFileInfo(linkPath(3)).isSymLink());
}

void tst_simproc::signalRemovesLink_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

void tst_simproc::signalRemovesLink()
{
    QFETCH(int, signal);
    Sim sim({"--port", "4"});
    QVERIFY(!sim.waitReady().isEmpty());
    QVERIFY(QFileInfo(linkPath(4)).isSymLink());
    QVERIFY(::kill(pid_t(sim.process().processId()), signal) == 0);
    QVERIFY(sim.process().waitForFinished(Timeout));
    QCOMPARE(sim.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.process().exitCode(), 0);
    QVERIFY(!QFileInfo(linkPath(4)).isSymLink());
    QVERIFY(!QFileInfo::exists(linkPath(4)));
}

void tst_simproc::badInput()
{
    Sim sim({"--port", "5", "--address", "100", "--address", "101"});
    QVERIFY(!sim.waitReady().isEmpty());
    // The terminal is raw already: the bytes arrive as written.
    QFile line(linkPath(5));
    QVERIFY(line.open(QIODevice::ReadWrite | QIODevice::Unbuffered));

    // A text longer than 20 characters: the first 20 are the text, the rest is typed.
    line.write(QByteArray::fromHex("ef64fe65") + QByteArray(20, 'T') + "tail");
    QCOMPARE(sim.await(100, "texts", R"("TTTTTTTTTTTTTTTTTTTT","","","","","","","")"),
             QStringLiteral(R"("TTTTTTTTTTTTTTTTTTTT","","","","","","","")"));
    QCOMPARE(sim.await(100, "display", display("tail", "", "", "")), display("tail", "", "", ""));

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
    QCOMPARE(sim.state().keys(), (QList<int> {100, 101}));

    // Still on the line: once the broken frames are done with, a selection and text work.
    const QString ok = display("OK", "", "", "");
    QString shown;
    (void)QTest::qWaitFor(
        [&] {
            line.write(QByteArray::fromHex("ef640d") + "OK");
            shown = sim.fields(100).value("display");
            return shown == ok;
        },
        Timeout);
    QCOMPARE(shown, ok);
    QVERIFY(sim.isRunning());
}

void tst_simproc::configurationWindow()
{
    // The settings file gives the texts and characters the window loads.
    QByteArray ini = "[Settings]\r\nCommPort=7\r\nSetting=9600,n,8,1\r\n[LCD]\r\nUID=100\r\n"
                     "PT1=Tessaline\r\nPT3=Twenty characters!!\r\n[UDC]\r\n";
    QByteArray rows;
    for (int k = 1; k <= 8; ++k) {
        for (int r = 1; r <= 8; ++r) {
            rows += char((k * 3 + r) & 0x1F);
            ini += QStringLiteral("UCHAR%1R%2=%3\r\n")
                       .arg(k)
                       .arg(r)
                       .arg((k * 3 + r) & 0x1F)
                       .toLatin1();
        }
    }
    writeSettings(ini);
    Sim sim({"--port", "7", "--address", "100", "--address", "105"});
    QVERIFY(!sim.waitReady().isEmpty());

    Panel panel(7);
    child<QAction>(panel.window.get(), "mnuCfg")->trigger();
    QWidget *cfg = nullptr;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String("frmCfg") && w->isVisible())
            cfg = w;
    }
    QVERIFY(cfg);
    QCOMPARE(sim.await(100, "selected", "yes"), QStringLiteral("yes"));

    child<QLineEdit>(cfg, "TxtPL_1")->setText("Edited");
    child<QCheckBox>(cfg, "Check1")->setChecked(true);
    child<QAbstractButton>(cfg, "cmdSetPT")->click();
    choose(child<QComboBox>(cfg, "cboIO_1"), "INPUT");
    choose(child<QComboBox>(cfg, "cboIO_3"), "INPUT");
    child<QAbstractButton>(cfg, "cmdSetIO")->click();
    child<QAbstractButton>(cfg, "cmdSendBitmap")->click();
    child<QAbstractButton>(cfg, "cmdSave")->click();
    choose(child<QComboBox>(cfg, "cboUID"), "117");
    child<QAbstractButton>(cfg, "cmdSetUID")->click();

    QCOMPARE(sim.await(117, "saves", "1"), QStringLiteral("1"));
    const QMap<QString, QString> lcd = sim.fields(117);
    const QString blank = QStringLiteral("\"                \"");
    QCOMPARE(lcd.value("texts"),
             QStringList({"\"Tessaline       \"", "\"Edited          \"", "\"Twenty characters!!\"",
                          blank, blank, blank, blank, blank})
                 .join(QLatin1Char(',')));
    QCOMPARE(lcd.value("startup"), QStringLiteral("on"));
    QCOMPARE(lcd.value("directions"), QStringLiteral("F5"));
    QCOMPARE(lcd.value("chars"), QString::fromLatin1(rows.toHex().toUpper()));
    QVERIFY(!sim.state().contains(100));
    QCOMPARE(sim.fields(105).value("saves"), QStringLiteral("0")); // it was not selected

    // Back in the main window the module answers at its new address.
    cfg->close();
    panel.click("cmdConnect");
    panel.select("117");
    QCOMPARE(panel.status(), QStringLiteral("Device 117 Connected"));
    QCOMPARE(panel.get<QLabel>("lblRxData")->text(), QStringLiteral("EE 75 "));
}

QTEST_MAIN(tst_simproc)
#include "tst_simproc.moc"
