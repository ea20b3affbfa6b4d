// The configuration window on real widgets and a real pty: the port handed over from the main
// window and back, the load from the settings file, the bytes of every button, the virtual
// module's state after them, and the answers to a missing port, unusable lists and a close
// in the middle of "Send".
#include "config/frmcfg.h"
#include "display/frames.h"
#include "link/ansi.h"
#include "link/commport.h"
#include "link/ticktimer.h"
#include "shell/frmmain.h"
#include "shell/modvariables.h"
#include "sim/lcdbus.h"
#include "sim/simport.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <functional>

using namespace TestSupport;

namespace {

const QStringList StoredTexts = {"Hello",
                                 "",
                                 "Line three",
                                 "Caf\u00e9",
                                 "Exactly sixteen!",
                                 "seventeen chars..",
                                 "Twenty characters...",
                                 "8"};

// A settings file with the port, the eight texts and the 64 row bytes (row r of character
// k holds k * 10 + r unless given otherwise).
QByteArray settingsFile(const QStringList &texts, const QMap<QString, int> &rows = {})
{
    QByteArray file = "[Settings]\r\nCommPort=1\r\nSetting=4800,n,8,1\r\n[LCD]\r\nUID=100\r\n";
    for (int n = 1; n <= texts.size(); ++n)
        file += "PT" + QByteArray::number(n) + "=" + Ansi::encode(texts[n - 1]) + "\r\n";
    file += "[UDC]\r\n";
    for (int k = 1; k <= 8; ++k) {
        for (int r = 1; r <= 8; ++r) {
            const QString key = QStringLiteral("UCHAR%1R%2").arg(k).arg(r);
            file += key.toLatin1() + "=" + QByteArray::number(rows.value(key, k * 10 + r)) + "\r\n";
        }
    }
    return file;
}

QByteArray readSettings()
{
    QFile file(IniPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

frmCfg *cfgWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *cfg = qobject_cast<frmCfg *>(widget))
            return cfg;
    }
    return nullptr;
}

void click(QWidget *window, const char *name)
{
    child<QAbstractButton>(window, name)->click();
}

// A line of this test program's own: a link left by an interrupted run is replaced.
bool openLine(SimPort &pty, int number)
{
    return pty.open(number, QString(), SimPort::Existing::Replace);
}

// The main window connects to COM1 at the given rate and hands the port over. False when the
// window does not come up, or a message box did.
bool configure(frmMain &w, frmCfg *&cfg, const QString &rate = QStringLiteral("4800"))
{
    MessageBoxCatcher boxes;
    choose(child<QComboBox>(&w, "cboComm"), "COM1");
    choose(child<QComboBox>(&w, "cboBaud"), rate);
    if (child<QPushButton>(&w, "cmdConnect")->text() == QLatin1String("Connect"))
        click(&w, "cmdConnect");
    child<QAction>(&w, "mnuCfg")->trigger();
    cfg = cfgWindow();
    return cfg && cfg->isVisible() && boxes.texts.isEmpty();
}

QByteArray storeTexts(const QStringList &texts, bool startup)
{
    QByteArray bytes;
    for (int n = 1; n <= 8; ++n)
        bytes += Frames::StoreText(quint8(n), Ansi::encode(texts[n - 1]));
    return bytes + (startup ? Frames::StartupScreenOn() : Frames::StartupScreenOff());
}

} // namespace

class tst_config : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void portHandOver();
    void load();
    void buttonBytes();
    void sendTexts();
    void moduleState();
    void refusals();
    void withoutPort();
    void closeDuringSend();
};

void tst_config::cleanup()
{
    removeSettings();
}

void tst_config::portHandOver()
{
    writeSettings(settingsFile(StoredTexts));
    const QByteArray fileBefore = readSettings();
    SimPort pty;
    QVERIFY2(openLine(pty, 1), qPrintable(pty.errorString()));
    modVariables vars;
    frmMain w(vars);
    auto *connectButton = child<QPushButton>(&w, "cmdConnect");

    frmCfg *cfg = nullptr;
    QVERIFY(configure(w, cfg));
    QVERIFY(cfg->isVisible());
    QCOMPARE(cfg->windowTitle(), QStringLiteral("Configure LCD"));
    QVERIFY(!cfg->parentWidget());
    QVERIFY(!w.MSComm1().isOpen());
    QCOMPARE(connectButton->text(), QStringLiteral("Connect"));
    QVERIFY(!child<QAction>(&w, "mnuCfg")->isEnabled());
    QVERIFY(cfg->MSComm1().isOpen());
    QCOMPARE(cfg->MSComm1().settings(), QStringLiteral("4800,n,8,1"));
    QCOMPARE(cfg->MSComm1().commPort(), 1);
    QTRY_COMPARE(pty.received(), Frames::SelectDevice(100));

    {
        MessageBoxCatcher boxes;
        click(&w, "cmdConnect");
        QCOMPARE(boxes.texts, QStringList {"SELECTED PORT NOT AVAILABLE!"});
        QCOMPARE(boxes.titles, QStringList {"TessalineApp"});
    }
    QCOMPARE(connectButton->text(), QStringLiteral("Connect"));

    // Closing sends nothing, writes nothing and leaves the main window disconnected.
    cfg->close();
    QVERIFY(!cfg->isVisible());
    QVERIFY(!cfg->MSComm1().isOpen());
    cfg->WaitTicks(5);
    QCOMPARE(pty.received(), Frames::SelectDevice(100));
    QCOMPARE(readSettings(), fileBefore);
    QCOMPARE(connectButton->text(), QStringLiteral("Connect"));
    click(&w, "cmdConnect");
    QCOMPARE(connectButton->text(), QStringLiteral("Disconnect"));
    QVERIFY(w.MSComm1().isOpen());
}

void tst_config::load()
{
    writeSettings(settingsFile(StoredTexts, {{"UCHAR2R3", 17}}));
    SimPort pty;
    QVERIFY(openLine(pty, 1));
    SimPort other;
    QVERIFY(openLine(other, 2));
    modVariables vars;
    frmMain w(vars);

    for (int opening = 1; opening <= 2; ++opening) {
        pty.clearReceived();
        frmCfg *cfg = nullptr;
        QVERIFY(configure(w, cfg, opening == 1 ? "4800" : "9600"));
        QTRY_COMPARE(pty.received(), Frames::SelectDevice(100));
        cfg->WaitTicks(3);
        QCOMPARE(pty.received(), Frames::SelectDevice(100));
        QCOMPARE(cfg->MSComm1().settings(),
                 opening == 1 ? QStringLiteral("4800,n,8,1") : QStringLiteral("9600,n,8,1"));

        auto *uid = child<QComboBox>(cfg, "cboUID");
        auto *uch = child<QComboBox>(cfg, "cboUCH");
        QCOMPARE(uch->count(), 8);
        QCOMPARE(uch->currentText(), QStringLiteral("1"));
        QCOMPARE(uid->count(), 32);
        QCOMPARE(uid->itemText(0), QStringLiteral("101"));
        QCOMPARE(uid->itemText(31), QStringLiteral("132"));
        QCOMPARE(uid->currentText(), QStringLiteral("101"));
        QVERIFY(uid->isEditable());
        for (int i = 0; i < 8; ++i) {
            auto *io = child<QComboBox>(cfg, QStringLiteral("cboIO_%1").arg(i));
            QCOMPARE(io->count(), 2);
            QCOMPARE(io->itemText(1), QStringLiteral("INPUT"));
            QCOMPARE(io->currentText(), QStringLiteral("OUTPUT"));
            auto *text = child<QLineEdit>(cfg, QStringLiteral("TxtPL_%1").arg(i));
            QCOMPARE(text->maxLength(), 20);
            QString expected = StoredTexts[i];
            if (opening == 2 && i == 0)
                expected = "Changed";
            if (opening == 2 && i == 1)
                expected = "abcdefghijklmnopqrstuvwxyz"; // longer than a box: cut below
            QCOMPARE(text->text(), expected.left(20));
            QCOMPARE(child<QLabel>(cfg, QStringLiteral("lblrow%1").arg(i + 1))->text(),
                     QStringLiteral("0x00"));
        }
        QVERIFY(!child<QRadioButton>(cfg, "optBaud48")->isChecked());
        QVERIFY(!child<QRadioButton>(cfg, "optBaud96")->isChecked());
        QVERIFY(!child<QCheckBox>(cfg, "Check1")->isChecked());
        QCOMPARE(int(vars.CharTable[10]), opening == 1 ? 17 : 5);
        QCOMPARE(int(vars.CharTable[63]), opening == 1 ? 88 : 255);
        QCOMPARE(int(vars.CharTable[0]), 11);

        // The operator changes everything; the next opening must not show any of it.
        choose(uid, "abc");
        choose(child<QComboBox>(cfg, "cboIO_3"), "INPUT");
        choose(child<QComboBox>(cfg, "cboIO_5"), "typed");
        choose(uch, "5");
        child<QRadioButton>(cfg, "optBaud96")->click();
        child<QCheckBox>(cfg, "Check1")->setChecked(true);
        child<QLineEdit>(cfg, "TxtPL_2")->setText("edited");
        click(cfg, "bitmapr1_16");
        QCOMPARE(child<QLabel>(cfg, "lblrow1")->text(), QStringLiteral("0x10"));

        if (opening == 1) {
            // Opened again while open: only brought forward; it keeps its port and controls.
            choose(child<QComboBox>(&w, "cboComm"), "COM2");
            click(&w, "cmdConnect");
            QVERIFY(w.MSComm1().isOpen());
            child<QAction>(&w, "mnuCfg")->trigger();
            QVERIFY(!w.MSComm1().isOpen());
            QCOMPARE(cfgWindow(), cfg);
            QCOMPARE(cfg->MSComm1().commPort(), 1);
            QCOMPARE(uid->currentText(), QStringLiteral("abc"));
            cfg->WaitTicks(3);
            QCOMPARE(pty.received(), Frames::SelectDevice(100));
            QVERIFY(other.received().isEmpty());

            cfg->close();
            writeSettings(settingsFile({"Changed", "abcdefghijklmnopqrstuvwxyz", StoredTexts[2],
                                        StoredTexts[3], StoredTexts[4], StoredTexts[5],
                                        StoredTexts[6], StoredTexts[7]},
                                       {{"UCHAR2R3", 5}, {"UCHAR8R8", 255}}));
        }
    }
}

void tst_config::buttonBytes()
{
    writeSettings(settingsFile(StoredTexts));
    SimPort pty;
    QVERIFY(openLine(pty, 1));
    modVariables vars;
    frmMain w(vars);
    // The main window's own trace, which the configuration window must leave alone.
    choose(child<QComboBox>(&w, "cboComm"), "COM1");
    click(&w, "cmdConnect");
    w.SendFrame(vars.putFrame(Frames::SelectDevice(100)));
    QTRY_COMPARE(pty.received(), Frames::SelectDevice(100));
    pty.write(Frames::SelectReply(100));
    QTRY_COMPARE(child<QLabel>(&w, "lblRxData")->text(), QStringLiteral("EE 64 "));
    const QString txTrace = child<QLabel>(&w, "lblTxData")->text();
    const QString rxTrace = child<QLabel>(&w, "lblRxData")->text();
    QCOMPARE(txTrace, QStringLiteral("EF 64 "));

    frmCfg *cfg = nullptr;
    QVERIFY(configure(w, cfg));
    QTRY_COMPARE(pty.received(), Frames::SelectDevice(100) + Frames::SelectDevice(100));
    auto io = [cfg](const QString &directions) { // 'O' or 'I' for lines 1 to 8
        for (int i = 0; i < 8; ++i)
            choose(child<QComboBox>(cfg, QStringLiteral("cboIO_%1").arg(i)),
                   directions[i] == 'O' ? "OUTPUT" : "INPUT");
    };
    const struct
    {
        std::function<void()> set;
        const char *button;
        QByteArray bytes;
    } cases[] = {
        {[&] { child<QRadioButton>(cfg, "optBaud48")->click(); }, "cmdSetBaud", "\xfe\x67"},
        {[&] { child<QRadioButton>(cfg, "optBaud96")->click(); }, "cmdSetBaud", "\xfe\xff"},
        {[&] { choose(child<QComboBox>(cfg, "cboUID"), "132"); }, "cmdSetUID", "\xfe\x30\x84"},
        {[&] { choose(child<QComboBox>(cfg, "cboUID"), "101"); }, "cmdSetUID", "\xfe\x30\x65"},
        {[&] { io("OIIIIIIO"); }, "cmdSetIO", "\xfe\x31\x81"},
        {[&] { io("OOOOOOOO"); }, "cmdSetIO", "\xfe\x31\xff"},
        {[&] { io("IIIIIIII"); }, "cmdSetIO", QByteArray("\xfe\x31\x00", 3)},
        {[&] { io("OIIIIIII"); }, "cmdSetIO", "\xfe\x31\x01"},
        {[] {}, "cmdSave", "\xfe\x20"},
    };
    for (const auto &c : cases) {
        pty.clearReceived();
        c.set();
        click(cfg, c.button);
        QTRY_COMPARE(pty.received(), c.bytes);
    }
    QCOMPARE(child<QAbstractButton>(cfg, "cmdSave")->text(),
             QStringLiteral("Save Settings Onto LCD EEPROM"));

    // The character upload goes through the same port: 254, 100 and the table.
    pty.clearReceived();
    click(cfg, "cmdSendBitmap");
    QTRY_COMPARE(pty.received(), Frames::UploadChars(vars.CharTable));
    QCOMPARE(pty.received().size(), 66);

    QCOMPARE(child<QLabel>(&w, "lblTxData")->text(), txTrace);
    QCOMPARE(child<QLabel>(&w, "lblRxData")->text(), rxTrace);
}

void tst_config::sendTexts()
{
    const QStringList shortTexts
        = {"1", "", "abc", "Caf\u00e9", "fifteen chars..", " ", "x y", "Z"};
    const QStringList fullTexts
        = {"Twenty characters 01", "Twenty characters 02",     "Twenty characters 03",
           "Twenty characters 04", "Twenty characters 05",     "Twenty characters 06",
           "Twenty characters 07", "Twenty characters \u00e98"};
    writeSettings(settingsFile(shortTexts));
    SimPort pty;
    QVERIFY(openLine(pty, 1));
    modVariables vars;
    frmMain w(vars);
    frmCfg *cfg = nullptr;
    QVERIFY(configure(w, cfg));
    QTRY_COMPARE(pty.received(), Frames::SelectDevice(100));

    // Arrival time of every byte, from the chunks as the pty hands them over.
    QElapsedTimer clock;
    QList<qint64> arrival;
    connect(&pty, &SimPort::chunkReceived, this, [&](const QByteArray &chunk) {
        for (int i = 0; i < chunk.size(); ++i)
            arrival << clock.elapsed();
    });

    for (bool full : {false, true}) {
        const QStringList &texts = full ? fullTexts : shortTexts;
        const int textLength = full ? 20 : 16;
        for (int i = 0; i < 8; ++i)
            child<QLineEdit>(cfg, QStringLiteral("TxtPL_%1").arg(i))->setText(texts[i]);
        child<QCheckBox>(cfg, "Check1")->setChecked(full);
        pty.clearReceived();
        arrival.clear();
        clock.start();
        click(cfg, "cmdSetPT");
        // The eighth text went out before the last wait; the final frame follows no wait, so
        // nothing has read it yet when the handler returns.
        QVERIFY2(pty.received().size() < 8 * (textLength + 2) + 2,
                 qPrintable(QString::number(pty.received().size())));
        QTRY_COMPARE(pty.received(), storeTexts(texts, full));
        QCOMPARE(pty.received().size(), full ? 178 : 146);

        // Ten ticks between the end of each text and the next frame.
        const int frame = textLength + 2;
        for (int n = 1; n <= 8; ++n) {
            const qint64 gap = arrival[n * frame] - arrival[n * frame - 1];
            QVERIFY2(gap >= 9 * TickTimer::Interval,
                     qPrintable(QStringLiteral("text %1: %2 ms").arg(n).arg(gap)));
        }
        // Short texts stay padded in their boxes.
        for (int i = 0; i < 8; ++i)
            QCOMPARE(child<QLineEdit>(cfg, QStringLiteral("TxtPL_%1").arg(i))->text(),
                     full ? texts[i] : texts[i].leftJustified(16));
    }
}

void tst_config::moduleState()
{
    writeSettings(settingsFile(StoredTexts));
    LcdBus bus;
    SimPort pty(&bus);
    QVERIFY(openLine(pty, 1));
    modVariables vars;
    frmMain w(vars);
    frmCfg *cfg = nullptr;
    QVERIFY(configure(w, cfg));
    LcdModule &module = bus.module(0);
    QTRY_VERIFY(module.isSelected());

    child<QCheckBox>(cfg, "Check1")->setChecked(true);
    click(cfg, "cmdSetPT");
    QTRY_VERIFY(module.startupScreen());
    for (int n = 1; n <= 8; ++n)
        QCOMPARE(module.text(n), Ansi::encode(StoredTexts[n - 1].leftJustified(16)));

    choose(child<QComboBox>(cfg, "cboIO_1"), "INPUT");
    choose(child<QComboBox>(cfg, "cboIO_6"), "INPUT");
    click(cfg, "cmdSetIO");
    QTRY_COMPARE(int(module.directions()), 0xBD);

    // 254, 103 stands alone once the line pauses after it; it is not the head of text 3.
    child<QRadioButton>(cfg, "optBaud48")->click();
    click(cfg, "cmdSetBaud");
    QTRY_COMPARE(module.baud(), 4800);
    QCOMPARE(module.text(3), Ansi::encode(StoredTexts[2].leftJustified(16)));
    child<QRadioButton>(cfg, "optBaud96")->click();
    click(cfg, "cmdSetBaud");
    QTRY_COMPARE(module.baud(), 9600);
    child<QRadioButton>(cfg, "optBaud48")->click();
    click(cfg, "cmdSetBaud");
    QTRY_COMPARE(module.baud(), 4800);

    click(cfg, "cmdSave");
    QTRY_COMPARE(module.saveCount(), 1);
    QCOMPARE(module.eeprom(), module.settings());
    QCOMPARE(module.eeprom().baud, 4800);
    QCOMPARE(int(module.eeprom().directions), 0xBD);
    QVERIFY(module.eeprom().startupScreen);

    choose(child<QComboBox>(cfg, "cboUID"), "117");
    click(cfg, "cmdSetUID");
    QTRY_COMPARE(int(module.address()), 117);
    QCOMPARE(int(module.eeprom().address), 100); // not saved after the change
    QCOMPARE(int(vars.DeviceAddress), 100); // the program keeps the old address
}

void tst_config::refusals()
{
    writeSettings(settingsFile(StoredTexts));
    SimPort pty;
    QVERIFY(openLine(pty, 1));
    modVariables vars;
    frmMain w(vars);
    frmCfg *cfg = nullptr;
    QVERIFY(configure(w, cfg));
    QTRY_COMPARE(pty.received(), Frames::SelectDevice(100));
    vars.TxBuffer.fill(0x55); // what an earlier frame could have left

    pty.clearReceived();
    click(cfg, "cmdSetBaud"); // neither rate chosen
    for (const char *typed : {"abc", "150", "10", ""}) {
        choose(child<QComboBox>(cfg, "cboUID"), typed);
        click(cfg, "cmdSetUID");
    }
    cfg->WaitTicks(5);
    QCOMPARE(pty.received(), QByteArray());

    // A direction typed over counts as "INPUT".
    choose(child<QComboBox>(cfg, "cboIO_2"), "OUTPUT ");
    choose(child<QComboBox>(cfg, "cboIO_7"), "output");
    click(cfg, "cmdSetIO");
    QTRY_COMPARE(pty.received(), QByteArray("\xfe\x31\x7b"));
}

void tst_config::withoutPort()
{
    writeSettings(settingsFile(StoredTexts));
    SimPort held;
    QVERIFY(openLine(held, 1));
    // The adapter is gone, its link stays. Not a link to a closed pty: another test program
    // running beside this one may get the same pty number at once.
    const QString stale = AppFolder() + "ports/COM2";
    QFile::remove(stale);
    QVERIFY(QFile::link(AppFolder() + "ports/gone", stale));
    const struct
    {
        const char *port;
        const char *settings;
    } cases[] = {{"abc", "9600,n,8,1"},
                 {"", "9600,n,8,1"},
                 {"2", "9600,n,8,1"},
                 {"1", "fast,n,8,1"},
                 {"1", ""}};
    for (const auto &c : cases) {
        modVariables vars;
        vars.CommPortText = c.port;
        vars.PortSettings = c.settings;
        frmCfg cfg(vars);
        {
            MessageBoxCatcher boxes;
            cfg.Display();
            QCOMPARE(boxes.texts, QStringList {"SELECTED PORT NOT AVAILABLE!"});
            QCOMPARE(boxes.titles, QStringList {"TessalineApp"});
        }
        QVERIFY(cfg.isVisible());
        QVERIFY(!cfg.MSComm1().isOpen());
        QCOMPARE(child<QLineEdit>(&cfg, "TxtPL_0")->text(), StoredTexts[0]);
        QCOMPARE(int(vars.CharTable[63]), 88);

        // Its buttons send nothing, and nothing breaks.
        child<QRadioButton>(&cfg, "optBaud96")->click();
        for (const char *button :
             {"cmdSetBaud", "cmdSetUID", "cmdSetIO", "cmdSetPT", "cmdSave", "cmdSendBitmap"})
            click(&cfg, button);
        cfg.WaitTicks(3);
        QCOMPARE(held.received(), QByteArray());

        // Characters can still be drawn and saved.
        choose(child<QComboBox>(&cfg, "cboUCH"), "2");
        click(&cfg, "bitmapr3_1");
        click(&cfg, "cmdSaveBitmap");
        QCOMPARE(ReadIniValue("UDC", "UCHAR2R3"), QStringLiteral("1"));
        QCOMPARE(int(vars.CharTable[10]), 1);
        cfg.close();
    }
}

void tst_config::closeDuringSend()
{
    writeSettings(settingsFile(StoredTexts));
    SimPort pty;
    QVERIFY(openLine(pty, 1));
    modVariables vars;
    frmMain w(vars);
    frmCfg *cfg = nullptr;
    QVERIFY(configure(w, cfg));
    QTRY_COMPARE(pty.received(), Frames::SelectDevice(100));
    pty.clearReceived();

    // Closed as soon as the second text has reached the line.
    bool closing = false;
    auto watch = connect(&pty, &SimPort::chunkReceived, this, [&] {
        if (!closing && pty.received().size() >= 2 * 18) {
            closing = true;
            QTimer::singleShot(0, cfg, [cfg] { cfg->close(); });
        }
    });
    click(cfg, "cmdSetPT");
    disconnect(watch);
    QVERIFY(closing);
    QVERIFY(!cfg->isVisible());
    QVERIFY(!cfg->MSComm1().isOpen());
    w.WaitTicks(20);
    QCOMPARE(pty.received(), storeTexts(StoredTexts, false).left(36));

    // Closed and opened again inside the same wait: the old sequence stops all the same.
    pty.clearReceived();
    QVERIFY(configure(w, cfg));
    QTRY_COMPARE(pty.received(), Frames::SelectDevice(100));
    pty.clearReceived();
    closing = false;
    bool reopened = false;
    watch = connect(&pty, &SimPort::chunkReceived, this, [&] {
        if (!closing && pty.received().size() >= 18) {
            closing = true;
            QTimer::singleShot(0, cfg, [&] {
                cfg->close();
                reopened = configure(w, cfg);
            });
        }
    });
    click(cfg, "cmdSetPT");
    disconnect(watch);
    QVERIFY(closing);
    QVERIFY(reopened);
    QVERIFY(cfg->isVisible());
    QVERIFY(cfg->MSComm1().isOpen());
    w.WaitTicks(20);
    QCOMPARE(pty.received(), storeTexts(StoredTexts, false).left(18) + Frames::SelectDevice(100));

    // The reopened window is clean and a whole "Send" works.
    QCOMPARE(child<QComboBox>(cfg, "cboUID")->count(), 32);
    QCOMPARE(child<QLineEdit>(cfg, "TxtPL_0")->text(), StoredTexts[0]); // unpadded again
    pty.clearReceived();
    click(cfg, "cmdSetPT");
    QTRY_COMPARE(pty.received(), storeTexts(StoredTexts, false));
}

QTEST_MAIN(tst_config)
#include "tst_config.moc"
