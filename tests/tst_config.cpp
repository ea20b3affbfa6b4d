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
        {
            MessageBoxCatcher boxes;
            b.connectButton()->click();
            QCOMPARE(boxes.texts, QStringList {"SELECTED PORT NOT AVAILABLE!"});
        }
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

    // No rate chosen, or an address typed over: nothing goes out, not even what an earlier
    // frame left in the buffer. A direction typed over counts as INPUT.
    b.vars.TxBuffer.fill(0x55);
    b.pty.clearReceived();
    b.act("cmdSetBaud,cboUID=abc,cmdSetUID,cboUID=150,cmdSetUID,cboUID=,cmdSetUID,"
          "cboIO_2=OUTPUT ,cboIO_7=output,cmdSetIO");
    QTRY_COMPARE(b.pty.received(), QByteArray("\xfe\x31\x7b"));

    // Directions as 'O' or 'I' for the lines 1 to 8.
    const auto io = [](const char *lines) {
        QString steps;
        for (int i = 0; i < 8; ++i)
            steps += u"cboIO_%1=%2,"_s.arg(i).arg(lines[i] == 'O' ? "OUTPUT" : "INPUT");
        return steps + "cmdSetIO";
    };
    const std::pair<QString, QByteArray> cases[] = {
        {"optBaud96,cmdSetBaud", "\xfe\xff"},     {"cboUID=132,cmdSetUID", "\xfe\x30\x84"},
        {"cboUID=101,cmdSetUID", "\xfe\x30\x65"}, {io("IIIIIIII"), {"\xfe\x31\x00", 3}},
        {io("OIIIIIII"), "\xfe\x31\x01"},         {io("OOOOOOOO"), "\xfe\x31\xff"},
        {io("OIIIIIIO"), "\xfe\x31\x81"},
    };
    for (const auto &[steps, bytes] : cases) {
        b.pty.clearReceived();
        b.act(steps);
        QTRY_COMPARE(b.pty.received(), bytes);
    }

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
    QCOMPARE(module.userChars(), table);

    QCOMPARE(child<QLabel>(b.w.get(), "lblTxData")->text(), u"EF 64 "_s);
    QCOMPARE(child<QLabel>(b.w.get(), "lblRxData")->text(), u"EE 64 "_s);
}

void tst_config::portGone()
{
    // The adapter goes between the connection and the opening: a message, and the window opens
    // without a port; its buttons do nothing, and characters can still be drawn and saved.
    Bench b(iniFile(StoredTexts, rowsWith()));
    act(b.w.get(), "cboComm=COM1,cmdConnect");
    QVERIFY(b.w->MSComm1().isOpen());
    QVERIFY(QFile::remove(b.pty.linkPath())); // its link stays, leading nowhere
    QVERIFY(QFile::link(SettingsFolder() + "ports/gone", b.pty.linkPath()));
    {
        MessageBoxCatcher boxes;
        child<QAction>(b.w.get(), "mnuCfg")->trigger();
        QCOMPARE(boxes.texts, QStringList {"SELECTED PORT NOT AVAILABLE!"});
    }
    b.cfg = cfgWindow();
    QVERIFY(b.cfg && b.cfg->isVisible() && !b.cfg->MSComm1().isOpen());
    b.act("optBaud96,cmdSetBaud,cmdSetUID,cmdSetIO,cmdSetPT,cmdSave,cmdSendBitmap,cboUCH=2,"
          "bitmapr3_1,cmdSaveBitmap");
    QCOMPARE(b.box(0)->text(), StoredTexts[0]);
    QCOMPARE(ReadIniValue("UDC", "UCHAR2R3"), u"1"_s);
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
    QTRY_COMPARE(b.pty.received(), line + all);
}

QTEST_MAIN(tst_config)
#include "tst_config.moc"
