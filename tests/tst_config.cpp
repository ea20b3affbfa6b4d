// The configuration window on real widgets and a real pty: the port handed over from the main
// window and back, the load from the settings file, the bytes of every button and what the
// virtual module keeps of them, a missing port, and a close in the middle of "Send".
#include "cfgsupport.h"
#include "display/frames.h"
#include "link/commport.h"
#include "link/ticktimer.h"
#include "shell/frmmain.h"
#include "shell/modvariables.h"
#include "sim/lcdbus.h"
#include "sim/simport.h"

#include <QAction>
#include <QElapsedTimer>
#include <QLabel>

using namespace TestSupport;
using namespace CfgSupport;
using namespace Qt::StringLiterals;

namespace {

const Protocol::Frame Select100 = Frames::SelectDevice(100);
const QStringList StoredTexts
    = u"Hello||Line three|Caf\u00e9|Exactly sixteen!|seventeen chars..|Twenty characters...|8"_s
          .split(u'|');

// What "Send" puts on the line for these texts.
QByteArray storeTexts(const QStringList &texts, bool startup)
{
    QByteArray bytes;
    for (int n = 1; n <= 8; ++n)
        bytes += Frames::StoreText(quint8(n), Ansi::encode(texts[n - 1]));
    return bytes + (startup ? Frames::StartupScreenOn() : Frames::StartupScreenOff());
}

// A list as the operator finds it: "count:first..last=current".
QString seen(QComboBox *list)
{
    return u"%1:%2..%3=%4"_s.arg(list->count())
        .arg(list->itemText(0), list->itemText(list->count() - 1), list->currentText());
}

// The main window started from a settings file, and a line on COM1 (module 100 on it if asked).
struct Bench
{
    LcdBus bus;
    SimPort pty;
    modVariables vars;
    std::unique_ptr<frmMain> w;
    frmCfg *cfg = nullptr;

    explicit Bench(const QByteArray &ini, bool module = false)
        : pty(module ? &bus : nullptr)
    {
        writeSettings(ini);
        pty.open(1, QString(), SimPort::Existing::Replace); // replaces a link left by a crash
        w = std::make_unique<frmMain>(vars);
    }
    template<typename T = QAbstractButton> T *get(const QString &name)
    {
        return child<T>(cfg, name);
    }
    QComboBox *list(const QString &name) { return get<QComboBox>(name); }
    // The status line: what the last command did, and the port with the module.
    QString status()
    {
        return get<QLabel>("StatusPanel1")->text() + " | " + get<QLabel>("StatusPanel2")->text();
    }
    QLineEdit *box(int i) { return get<QLineEdit>("TxtPL_" + QString::number(i)); }
    QAbstractButton *connectButton() { return child<QAbstractButton>(w.get(), "cmdConnect"); }
    void click(const QString &name) { get(name)->click(); }
    void act(const QString &steps) { CfgSupport::act(cfg, steps); }
    // The main window connects to COM1 at this rate and hands the port over. False when the
    // window does not come up, or a message box did.
    bool configure(const QString &rate = u"4800"_s)
    {
        MessageBoxCatcher boxes;
        choose(child<QComboBox>(w.get(), "cboComm"), "COM1");
        choose(child<QComboBox>(w.get(), "cboBaud"), rate);
        if (connectButton()->text() == QLatin1String("Connect"))
            connectButton()->click();
        child<QAction>(w.get(), "mnuCfg")->trigger();
        cfg = cfgWindow();
        return pty.isOpen() && cfg && cfg->isVisible() && boxes.texts.isEmpty();
    }
};

} // namespace

class tst_config : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { removeSettings(); }
    void handOverAndLoad();
    void buttons();
    void portGone();
    void closeDuringSend();
};

void tst_config::handOverAndLoad()
{
    QStringList texts = StoredTexts;
    Bench b(iniFile(texts, rowsWith({{10, 17}})));
    QByteArray line;
    for (const QString rate : {"4800", "9600"}) {
        QVERIFY(b.configure(rate));
        // The main window let go of the port first; the window holds the same one.
        QVERIFY(!b.w->MSComm1().isOpen());
        QCOMPARE(b.connectButton()->text(), u"Connect"_s);
        QCOMPARE(b.cfg->MSComm1().commPort(), 1);
        QCOMPARE(b.cfg->MSComm1().settings(), rate + ",n,8,1");
        line += Select100;
        QTRY_COMPARE(b.pty.received(), line);
        QCOMPARE(b.status(),
                 "Sent: SelectDevice 100 | COM1 " + rate + u",n,8,1 \u00b7 module 100"_s);
        {
            MessageBoxCatcher boxes;
            b.connectButton()->click();
            QCOMPARE(boxes.texts, QStringList {"SELECTED PORT NOT AVAILABLE!"});
        }
        // The status line sits below the controls, which keep their places; every control
        // explains itself.
        QCOMPARE(b.get<QWidget>("StatusBar1")->y(), 538);
        QCOMPARE(b.cfg->height(), 538 + b.get<QWidget>("StatusBar1")->height());
        QCOMPARE(b.get<QWidget>("Frame3")->geometry(), QRect(40, 304, 409, 209));
        QCOMPARE(withoutToolTip(b.cfg), QStringList());
        // Loaded afresh from the file, the controls as designed, the lists filled once.
        QCOMPARE(seen(b.list("cboUCH")) + ' ' + seen(b.list("cboUID")),
                 u"8:1..8=1 32:101..132=101"_s);
        for (int i = 0; i < 8; ++i) {
            QCOMPARE(seen(b.list(u"cboIO_%1"_s.arg(i))), u"2:OUTPUT..INPUT=OUTPUT"_s);
            QCOMPARE(b.box(i)->text(), texts[i].left(20));
            QCOMPARE(b.box(i)->maxLength(), 20); // nor can a longer one be typed
            QCOMPARE(b.get<QLabel>("lblrow" + QString::number(i + 1))->text(), u"0x00"_s);
        }
        QVERIFY(!b.get("optBaud48")->isChecked() && !b.get("optBaud96")->isChecked()
                && !b.get("Check1")->isChecked());
        const QList<int> rows {b.vars.CharTable[10], b.vars.CharTable[63]}; // UCHAR2R3, UCHAR8R8
        QCOMPARE(rows, rate == "4800" ? QList<int>({17, 88}) : QList<int>({5, 255}));

        // The operator changes everything; the next opening shows none of it.
        b.act("cboUID=abc,cboIO_3=INPUT,cboIO_5=typed,cboUCH=5,TxtPL_2=edited,optBaud96,Check1,"
              "bitmapr1_16");

        // Closing releases the port and sends and writes nothing: the next bytes on the line
        // are the main window's.
        const QByteArray file = readSettings();
        b.cfg->close();
        QVERIFY(!b.cfg->MSComm1().isOpen());
        QCOMPARE(readSettings(), file);
        choose(child<QComboBox>(b.w.get(), "cboComm"), "COM1");
        b.connectButton()->click();
        QVERIFY(b.w->MSComm1().isOpen());
        b.w->SendFrame(b.vars.putFrame(Frames::DeselectDevice()));
        line += Frames::DeselectDevice();
        QTRY_COMPARE(b.pty.received(), line);
        b.connectButton()->click();

        texts[0] = "Changed";
        texts[1] = "abcdefghijklmnopqrstuvwxyz"; // longer than a box: cut to 20
        writeSettings(iniFile(texts, rowsWith({{10, 5}, {63, 255}})));
    }
}

void tst_config::buttons()
{
    const QStringList shortTexts
        = {"1", "", "abc", "Caf\u00e9", "fifteen chars..", " ", "x\U0001F600", "Z"};
    QStringList fullTexts;
    for (int n = 1; n <= 8; ++n)
        fullTexts << u"Twenty characters %1"_s.arg(n, 2, 10, QLatin1Char('0'));
    fullTexts[7] = "Twenty characters \u00e98";
    Bench b(iniFile(shortTexts, rowsWith()), true);
    LcdModule &module = b.bus.module(0);

    // The main window's own trace, which the configuration window must leave alone.
    b.connectButton()->click();
    b.w->SendFrame(b.vars.putFrame(Select100));
    QTRY_COMPARE(child<QLabel>(b.w.get(), "lblRxData")->text(), u"EE 64 "_s);
    QVERIFY(b.configure());
    QTRY_COMPARE(b.pty.received(), Select100 + Select100);

    // Directions as 'O' or 'I' for the lines 1 to 8.
    const auto io = [](const char *lines) {
        QString steps;
        for (int i = 0; i < 8; ++i)
            steps += u"cboIO_%1=%2,"_s.arg(i).arg(lines[i] == 'O' ? "OUTPUT" : "INPUT");
        return steps + "cmdSetIO";
    };
    // Steps, the bytes they send, and the status line then. No rate chosen, or an address
    // typed over: nothing goes out, not even what an earlier frame left in the buffer, and the
    // status line says why. A direction typed over counts as INPUT.
    b.vars.TxBuffer.fill(0x55);
    b.pty.clearReceived();
    const std::tuple<QString, QByteArray, QString> cases[] = {
        {"cmdSetBaud", {}, "Nothing sent: choose 4800 or 9600 first"},
        {"cboUID=abc,cmdSetUID", {}, R"(Nothing sent: "abc" is not in the list)"},
        {"cboUID=150,cmdSetUID", {}, R"(Nothing sent: "150" is not in the list)"},
        {"cboIO_2=OUTPUT ,cboIO_7=output,cmdSetIO", "\xfe\x31\x7b",
         "Sent: SetIoDirection outputs 1 2 4 5 6 7"},
        {"optBaud96,cmdSetBaud", "\xfe\xff", "Sent: SetBaud9600"},
        {"cboUID=132,cmdSetUID", "\xfe\x30\x84",
         u"Sent: SetUid 132 \u00b7 the module now answers at 132"_s},
        {"cboUID=,cmdSetUID", {}, R"(Nothing sent: "" is not in the list)"},
        {"cboUID=101,cmdSetUID", "\xfe\x30\x65",
         u"Sent: SetUid 101 \u00b7 the module now answers at 101"_s},
        {io("IIIIIIII"), {"\xfe\x31\x00", 3}, "Sent: SetIoDirection outputs none"},
        {io("OIIIIIII"), "\xfe\x31\x01", "Sent: SetIoDirection outputs 1"},
        {io("OOOOOOOO"), "\xfe\x31\xff", "Sent: SetIoDirection outputs 1 2 3 4 5 6 7 8"},
        {io("OIIIIIIO"), "\xfe\x31\x81", "Sent: SetIoDirection outputs 1 8"},
    };
    for (const auto &[steps, bytes, status] : cases) {
        b.act(steps);
        QCOMPARE(b.get<QLabel>("StatusPanel1")->text(), status);
        if (!bytes.isEmpty()) { // a refused step sent nothing before these bytes
            QTRY_COMPARE(b.pty.received(), bytes);
            b.pty.clearReceived();
        }
    }
    QCOMPARE(b.get<QLabel>("StatusPanel2")->text(), u"COM1 4800,n,8,1 \u00b7 module 101"_s);

    // "Send": eight texts, ten ticks after each (seen at the line), the start-up frame last
    // with no wait, short texts padded in their boxes by the bytes that went out.
    QElapsedTimer clock;
    QList<qint64> arrival;
    connect(&b.pty, &SimPort::chunkReceived, this, [&](const QByteArray &chunk) {
        arrival.insert(arrival.size(), chunk.size(), clock.elapsed());
    });
    for (bool full : {false, true}) {
        const QStringList &texts = full ? fullTexts : shortTexts;
        for (int i = 0; i < 8; ++i)
            b.box(i)->setText(texts[i]);
        b.get("Check1")->setChecked(full);
        b.pty.clearReceived();
        arrival.clear();
        clock.start();
        b.click("cmdSetPT");
        const int frame = full ? 22 : 18;
        QVERIFY(b.pty.received().size() <= 8 * frame); // the handler did not wait on the last
        QTRY_COMPARE(b.pty.received(), storeTexts(texts, full));
        QCOMPARE(b.pty.received().size(), full ? 178 : 146);
        for (int n = 1; n <= 8; ++n) {
            QVERIFY2(arrival[n * frame] - arrival[n * frame - 1] >= 9 * TickTimer::Interval,
                     qPrintable(u"after text %1"_s.arg(n)));
            const int spaces = qMax(0, 16 - int(Ansi::encode(texts[n - 1]).size()));
            QCOMPARE(b.box(n - 1)->text(), texts[n - 1] + QString(spaces, QLatin1Char(' ')));
            QCOMPARE(module.text(n), Frames::StoreText(0, Ansi::encode(texts[n - 1])).bytes.mid(2));
        }
        QCOMPARE(module.startupScreen(), full);
        QCOMPARE(b.get<QLabel>("StatusPanel1")->text(),
                 u"Sent: 8 stored texts and start-up screen "_s + (full ? "on" : "off"));
    }

    // 254, 103 stands alone once the line pauses after it: the speed, not the head of text 3.
    b.pty.clearReceived();
    b.act("optBaud48,cmdSetBaud");
    QTRY_COMPARE(module.baud(), 4800);
    QCOMPARE(b.pty.received(), QByteArray("\xfe\x67"));
    QCOMPARE(module.text(3), Ansi::encode(fullTexts[2]));

    b.pty.clearReceived();
    b.click("cmdSave");
    QTRY_COMPARE(b.pty.received(), QByteArray("\xfe\x20"));
    QCOMPARE(b.get<QLabel>("StatusPanel1")->text(), u"Saved to EEPROM"_s);
    QCOMPARE(module.saveCount(), 1);
    QVERIFY(module.eeprom() == module.settings());
    const LcdSettings &saved = module.eeprom(); // address, speed, directions, start-up screen
    QCOMPARE((QList<int> {saved.address, saved.baud, saved.directions, saved.startupScreen}),
             (QList<int> {101, 4800, 0x81, 1}));
    QCOMPARE(int(b.vars.DeviceAddress), 100); // the program keeps the old address

    // The character upload: 254, 100 and the table loaded at the opening, 66 bytes.
    b.pty.clearReceived();
    b.click("cmdSendBitmap");
    const QByteArray table(reinterpret_cast<const char *>(b.vars.CharTable.data()), 64);
    QTRY_COMPARE(b.pty.received(), QByteArray::fromHex("fe64") + table);
    QCOMPARE(b.get<QLabel>("StatusPanel1")->text(), u"Uploaded 8 characters"_s);
    QCOMPARE(module.userChars(), table);

    QCOMPARE(child<QLabel>(b.w.get(), "lblTxData")->text(), u"EF 64 "_s);
    QCOMPARE(child<QLabel>(b.w.get(), "lblRxData")->text(), u"EE 64 "_s);
}

void tst_config::portGone()
{
    // The adapter goes between the connection and the opening: a message, and the window opens
    // without a port and says so; its buttons send nothing and say why, and characters can
    // still be drawn and saved.
    Bench b(iniFile(StoredTexts, rowsWith()));
    act(b.w.get(), "cboComm=COM1,cmdConnect");
    QVERIFY(b.w->MSComm1().isOpen());
    QVERIFY(QFile::remove(b.pty.linkPath())); // its link stays, leading nowhere
    QVERIFY(QFile::link(SettingsFolder() + "ports/gone", b.pty.linkPath()));
    const auto configure = [&b] {
        MessageBoxCatcher boxes;
        child<QAction>(b.w.get(), "mnuCfg")->trigger();
        return boxes.texts;
    };
    QCOMPARE(configure(), QStringList {"SELECTED PORT NOT AVAILABLE!"});
    b.cfg = cfgWindow();
    QVERIFY(b.cfg && b.cfg->isVisible() && !b.cfg->MSComm1().isOpen());
    QCOMPARE(child<QLabel>(b.w.get(), "StatusPanel2")->text(),
             u"COM1 released; Configure LCD could not open it"_s);
    const QString again = "no port. Connect in the main window, then choose Configure LCD again";
    QCOMPARE(b.status(), "COM1 could not be opened: " + again + " | no port");
    const std::pair<QString, QString> steps[] = {
        {"optBaud96,cmdSetBaud", "Nothing sent: " + again},
        {"cmdSetUID,cmdSetIO,cmdSetPT,cmdSave", "Nothing sent: " + again},
        {"cmdSendBitmap", "Nothing sent: " + again},
        {"cboUCH=x,cmdLoadBitmap", R"(Editor cleared: "x" is not in the list)"},
        {"cmdSaveBitmap", R"(Nothing saved: "x" is not in the list)"},
        {"cboUCH=2,bitmapr3_1,cmdSaveBitmap", "Saved character 2; Set Bitmap to LCD uploads it"},
        {"cmdClr,cmdLoadBitmap", "Loaded character 2 into the editor"},
    };
    for (const auto &[step, status] : steps) {
        b.act(step);
        QCOMPARE(b.status(), status + " | no port");
    }
    QCOMPARE(b.get<QLabel>("lblrow3")->text(), u"0x01"_s);
    QCOMPARE(ReadIniValue("UDC", "UCHAR2R3"), u"1"_s);

    // The adapter back, "Configure LCD" hands the port over to the open window again, which
    // keeps what the operator typed and selects module 100.
    b.box(0)->setText("typed");
    QVERIFY(QFile::remove(b.pty.linkPath()));
    QVERIFY(QFile::link(b.pty.slavePath(), b.pty.linkPath()));
    act(b.w.get(), "cmdConnect");
    QVERIFY(b.w->MSComm1().isOpen());
    QCOMPARE(configure(), QStringList());
    QVERIFY(b.cfg->MSComm1().isOpen() && !b.w->MSComm1().isOpen());
    QTRY_COMPARE(b.pty.received(), Select100);
    QCOMPARE(b.status(), u"Sent: SelectDevice 100 | COM1 4800,n,8,1 \u00b7 module 100"_s);
    QCOMPARE(child<QLabel>(b.w.get(), "StatusPanel2")->text(), u"COM1 handed to Configure LCD"_s);
    QCOMPARE(b.box(0)->text(), u"typed"_s);
    b.click("cmdSave");
    QTRY_COMPARE(b.pty.received(), Select100 + Frames::SaveToEeprom());
}

void tst_config::closeDuringSend()
{
    Bench b(iniFile(StoredTexts, rowsWith()));
    const QByteArray all = storeTexts(StoredTexts, false);
    QByteArray line;
    // Closed once the second text has reached the line; then closed and opened again inside
    // the wait after the first text. Either way the old "Send" stops.
    for (bool reopen : {false, true}) {
        QVERIFY(b.configure());
        line += Select100;
        QTRY_COMPARE(b.pty.received(), line);
        const qsizetype closeAt = line.size() + (reopen ? 18 : 36);
        bool closed = false;
        bool reopened = false;
        auto watch = connect(&b.pty, &SimPort::chunkReceived, this, [&] {
            if (!closed && b.pty.received().size() >= closeAt) {
                closed = true;
                QTimer::singleShot(0, b.cfg, [&] {
                    b.cfg->close();
                    reopened = reopen && b.configure();
                });
            }
        });
        b.click("cmdSetPT");
        disconnect(watch);
        QVERIFY(closed);
        QCOMPARE(reopened, reopen);
        QCOMPARE(b.cfg->MSComm1().isOpen(), reopen);
        line += all.left(reopen ? 18 : 36);
    }
    // The window opened again is clean, and a whole "Send" follows its selection alone.
    line += Select100;
    QCOMPARE(b.box(0)->text(), StoredTexts[0]);
    b.click("cmdSetPT");
    line += all;
    QTRY_COMPARE(b.pty.received(), line);

    // Closing the main window during "Send" ends the program's event loop: the configuration
    // window closes with it, its "Send" stops, and both ports are released.
    b.w->show();
    QTimer guard; // a loop that does not end fails the test rather than hanging it
    connect(&guard, &QTimer::timeout, this, [] { QCoreApplication::exit(1); });
    guard.start(10000);
    const qsizetype closeAt = line.size() + 36;
    bool closing = false;
    auto watch = connect(&b.pty, &SimPort::chunkReceived, this, [&] {
        if (!closing && b.pty.received().size() >= closeAt) {
            closing = true;
            QTimer::singleShot(0, b.w.get(), [&] { b.w->close(); });
        }
    });
    QTimer::singleShot(0, b.cfg, [&] { b.click("cmdSetPT"); });
    QCOMPARE(QApplication::exec(), 0);
    disconnect(watch);
    QVERIFY(!b.w->isVisible() && !b.cfg->isVisible());
    QVERIFY(!b.w->MSComm1().isOpen() && !b.cfg->MSComm1().isOpen());
    // The next bytes on the line are the main window's, once connected again.
    b.connectButton()->click();
    b.w->SendFrame(b.vars.putFrame(Frames::DeselectDevice()));
    QTRY_COMPARE(b.pty.received(), line + all.left(36) + Frames::DeselectDevice().bytes);
}

QTEST_MAIN(tst_config)
#include "tst_config.moc"
