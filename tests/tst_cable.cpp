// A pulled cable: the pty's master end closed under the program while the main window or the
// configuration window holds the port, in the middle of a frame, during a selection's wait and
// in the middle of "Send". Nothing crashes or hangs, the loss is handled, and a new device on the
// same port number works afterwards.
#include "config/frmcfg.h"
#include "display/frames.h"
#include "link/commport.h"
#include "shell/frmmain.h"
#include "shell/modvariables.h"
#include "sim/lcdbus.h"
#include "sim/simport.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QRadioButton>
#include <QSerialPort>

using namespace TestSupport;

namespace {

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
    QTest::mouseClick(child<QAbstractButton>(window, name), Qt::LeftButton);
}

QString text(QWidget *window, const char *name)
{
    return child<QLabel>(window, name)->text();
}

bool openLine(SimPort &pty)
{
    return pty.open(1, QString(), SimPort::Existing::Replace);
}

// Pulls the cable once `count` bytes of the port's writes have gone out: the rest of the frame
// being written then meets a line that is gone.
void pullAfter(CommPort &port, SimPort &pty, qint64 count)
{
    auto *serial = port.findChild<QSerialPort *>();
    QVERIFY(serial);
    auto written = std::make_shared<qint64>(0);
    auto link = std::make_shared<QMetaObject::Connection>();
    *link = QObject::connect(serial, &QSerialPort::bytesWritten, &pty, [=, &pty](qint64 n) {
        *written += n;
        if (*written >= count) {
            QObject::disconnect(*link);
            pty.closeMaster();
        }
    });
}

// The main window connected to COM1 with module 100 selected.
void connectAndSelect(frmMain &w, SimPort &pty)
{
    choose(child<QComboBox>(&w, "cboComm"), "COM1");
    choose(child<QComboBox>(&w, "cboBaud"), "9600");
    click(&w, "cmdConnect");
    QCOMPARE(child<QAbstractButton>(&w, "cmdConnect")->text(), QStringLiteral("Disconnect"));
    choose(child<QComboBox>(&w, "cboAddr"), "100");
    pty.clearReceived();
    click(&w, "cmdSelect");
    QCOMPARE(text(&w, "StatusPanel1"), QStringLiteral("Device 100 Connected"));
}

// The main window back in its closed state after the loss, telling the operator so.
void checkLost(frmMain &w)
{
    QTRY_COMPARE(child<QAbstractButton>(&w, "cmdConnect")->text(), QStringLiteral("Connect"));
    QVERIFY(!w.MSComm1().isOpen());
    QVERIFY(!child<QGroupBox>(&w, "Frame2")->isEnabled());
    QVERIFY(!child<QAction>(&w, "mnuCfg")->isEnabled());
    QVERIFY2(text(&w, "StatusPanel2").startsWith("COM1 lost"),
             qPrintable(text(&w, "StatusPanel2")));
}

} // namespace

class tst_cable : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void mainWindow_data();
    void mainWindow();
    void configWindow_data();
    void configWindow();

private:
    std::unique_ptr<MessageBoxCatcher> boxes;
};

void tst_cable::init()
{
    QByteArray file
        = "[Settings]\r\nCommPort=1\r\nSetting=9600,n,8,1\r\n[LCD]\r\nUID=100\r\n[UDC]\r\n";
    for (int k = 1; k <= 8; ++k) {
        for (int r = 1; r <= 8; ++r)
            file += QStringLiteral("UCHAR%1R%2=%3\r\n").arg(k).arg(r).arg(k + r).toLatin1();
    }
    writeSettings(file);
    boxes = std::make_unique<MessageBoxCatcher>();
}

void tst_cable::cleanup()
{
    boxes.reset();
    removeSettings();
}

void tst_cable::mainWindow_data()
{
    QTest::addColumn<int>("pullAt"); // bytes of "Set Cursor Position" out before the pull; -1:
                                     // during the wait of "Select Device"
    QTest::newRow("after the prefix") << 1;
    QTest::newRow("after the opcode") << 2;
    QTest::newRow("after the row") << 3;
    QTest::newRow("during a selection") << -1;
}

void tst_cable::mainWindow()
{
    QFETCH(int, pullAt);
    LcdBus bus({100});
    SimPort pty(&bus);
    QVERIFY(openLine(pty));
    modVariables vars;
    frmMain w(vars);
    connectAndSelect(w, pty);

    choose(child<QComboBox>(&w, "cboRow"), "2");
    choose(child<QComboBox>(&w, "cboColumn"), "19");
    if (pullAt > 0) {
        pullAfter(w.MSComm1(), pty, pullAt);
        click(&w, "cmdCurPos");
        QVERIFY(!pty.isOpen()); // pulled while the frame was being written
    } else {
        // The module is gone before it can answer; the wait still ends.
        connect(&pty, &SimPort::chunkReceived, &pty, [&pty] { pty.closeMaster(); });
        click(&w, "cmdSelect");
        QCOMPARE(text(&w, "StatusPanel1"), QStringLiteral("Device Not Found"));
    }
    checkLost(w);
    QVERIFY(boxes->texts.isEmpty());

    // Commands on the lost port send nothing and change no trace.
    const QString trace = text(&w, "lblTxData");
    click(&w, "cmdCtrl_2");
    QCOMPARE(text(&w, "lblTxData"), trace);

    // A new device on the same number: connect, select, drive.
    LcdBus fresh({100});
    SimPort line(&fresh);
    QVERIFY(openLine(line));
    connectAndSelect(w, line);
    click(&w, "cmdCurPos");
    QCOMPARE(text(&w, "lblTxData"), QStringLiteral("FE 32 02 13 "));
    QTRY_COMPARE(line.received(), Frames::SelectDevice(100) + Frames::CursorPosition(2, 19));
    QCOMPARE(fresh.module(0).cursorRow(), 2);
    QCOMPARE(fresh.module(0).cursorColumn(), 19);
    QVERIFY(boxes->texts.isEmpty());
}

void tst_cable::configWindow_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("pullAt"); // bytes out before the pull, or the stored texts
                                     // that reached the module (negative) during "Send"
    QTest::newRow("upload, after 10 bytes") << "cmdSendBitmap" << 10;
    QTest::newRow("UID, after the prefix") << "cmdSetUID" << 1;
    QTest::newRow("Send, in the first head") << "cmdSetPT" << 1;
    QTest::newRow("Send, in a text") << "cmdSetPT" << 2 * 18 + 5;
    QTest::newRow("Send, waiting after text 3") << "cmdSetPT" << -3;
}

void tst_cable::configWindow()
{
    QFETCH(QString, button);
    QFETCH(int, pullAt);
    LcdBus bus({100});
    SimPort pty(&bus);
    QVERIFY(openLine(pty));
    modVariables vars;
    frmMain w(vars);
    choose(child<QComboBox>(&w, "cboComm"), "COM1");
    click(&w, "cmdConnect");
    child<QAction>(&w, "mnuCfg")->trigger();
    frmCfg *cfg = cfgWindow();
    QVERIFY(cfg && cfg->MSComm1().isOpen());
    QTRY_COMPARE(pty.received(), Frames::SelectDevice(100));

    if (pullAt > 0) {
        pullAfter(cfg->MSComm1(), pty, pullAt);
        click(cfg, qPrintable(button));
        QVERIFY(!pty.isOpen()); // pulled while the frame was being written
    } else {
        connect(&pty, &SimPort::paused, &pty, [&pty, &bus, pullAt] {
            if (bus.module(0).text(-pullAt).size() > 0)
                pty.closeMaster();
        });
        click(cfg, qPrintable(button)); // returns: "Send" does not wait on a dead line forever
        QVERIFY(!pty.isOpen());
    }
    QTRY_VERIFY(!cfg->MSComm1().isOpen());
    QVERIFY(boxes->texts.isEmpty());
    if (pullAt < 0) {
        QCOMPARE(bus.module(0).text(-pullAt), QByteArray(16, ' '));
        QVERIFY(bus.module(0).text(1 - pullAt).isEmpty()); // nothing after the pull reached it
    }

    // The window stays usable: its buttons send nothing now, and it closes.
    for (const char *name : {"cmdSave", "cmdSetIO", "cmdSendBitmap", "cmdSetPT"})
        click(cfg, name);
    QVERIFY(cfg->close());
    QVERIFY(!cfg->isVisible());

    // A new device on the same number: the main window connects, and the configuration window
    // opens on it again.
    LcdBus fresh({100});
    SimPort line(&fresh);
    QVERIFY(openLine(line));
    click(&w, "cmdConnect");
    QCOMPARE(child<QAbstractButton>(&w, "cmdConnect")->text(), QStringLiteral("Disconnect"));
    child<QAction>(&w, "mnuCfg")->trigger();
    QVERIFY(cfg->isVisible() && cfg->MSComm1().isOpen());
    child<QRadioButton>(cfg, "optBaud48")->click();
    click(cfg, "cmdSave");
    QTRY_COMPARE(line.received(), Frames::SelectDevice(100) + Frames::SaveToEeprom());
    QCOMPARE(fresh.module(0).saveCount(), 1);
    QVERIFY(boxes->texts.isEmpty());
    cfg->close();
}

QTEST_MAIN(tst_cable)
#include "tst_cable.moc"
