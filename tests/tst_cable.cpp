// A pulled cable: the pty's master end closed under the program while the main window or the
// configuration window holds the port, in the middle of a frame, during a selection's wait and
// in the middle of "Send". Nothing crashes or hangs, the loss is handled, and a new device on the
// same port number works afterwards.
#include "cfgsupport.h"
#include "display/frames.h"
#include "link/commport.h"
#include "sim/lcdbus.h"
#include "testsupport.h"

#include <QSerialPort>

using namespace CfgSupport;
using namespace TestSupport;

namespace {

// Pulls the cable once `count` bytes of the port's writes have gone out: the rest of the frame
// being written then meets a line that is gone.
void pullAfter(CommPort &port, SimPort &pty, qint64 count)
{
    auto *serial = port.findChild<QSerialPort *>();
    QVERIFY(serial);
    auto written = std::make_shared<qint64>(0);
    auto link = std::make_shared<QMetaObject::Connection>();
    *link = QObject::connect(serial, &QSerialPort::bytesWritten, &pty, [=, &pty](qint64 n) {
        if ((*written += n) >= count) {
            QObject::disconnect(*link);
            pty.closeMaster();
        }
    });
}

// Module 100 selected on a new line behind the same port number.
void connectAndSelect(MainBench &b, LcdBus &bus)
{
    b.pty.setBus(&bus);
    QVERIFY(b.openLine());
    b.connectPort();
    QVERIFY(b.state().startsWith("Disconnect select=1 cfg=1"));
    b.select("100");
    QCOMPARE(b.text("StatusPanel1"), "Device 100 Connected");
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
    MessageBoxCatcher boxes; // no message box may open
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
}

void tst_cable::cleanup()
{
    removeSettings();
    QCOMPARE(std::exchange(boxes.texts, {}), QStringList());
}

void tst_cable::mainWindow_data()
{
    // Bytes of "Set Cursor Position" out before the pull; 0: pulled while idle after connecting;
    // -1: during the wait of "Select Device".
    QTest::addColumn<int>("pullAt");
    for (int pullAt : {0, 1, 2, 3, -1})
        QTest::addRow("pull at %d", pullAt) << pullAt;
}

void tst_cable::mainWindow()
{
    QFETCH(int, pullAt);
    LcdBus bus({100});
    MainBench b(&bus, pullAt == 0);
    if (pullAt != 0)
        connectAndSelect(b, bus);
    if (pullAt == 0) { // before any traffic: only the hang-up tells
        b.pty.closeMaster();
    } else if (pullAt > 0) {
        pullAfter(b.window->MSComm1(), b.pty, pullAt);
        b.press("cmdCurPos", "cboRow=2,cboColumn=19");
        QVERIFY(!b.pty.isOpen()); // pulled while the frame was being written
    } else {
        // The module is gone before it can answer; the wait still ends.
        QObject pulling;
        connect(&b.pty, &SimPort::chunkReceived, &pulling, [&b] { b.pty.closeMaster(); });
        b.click("cmdSelect");
        QCOMPARE(b.text("StatusPanel1"), "Device Not Found");
    }
    // Back in the closed state, saying so; commands send nothing and change no trace.
    QTRY_COMPARE(b.state(), QString("Connect select=0 cfg=0 commands=%1").arg(pullAt != 0));
    QVERIFY(!b.window->MSComm1().isOpen());
    QVERIFY2(b.text("StatusPanel2").startsWith("COM1 lost"), qPrintable(b.text("StatusPanel2")));
    const QString trace = b.text("lblTxData");
    b.click("cmdCtrl_2");
    QCOMPARE(b.text("lblTxData"), trace);

    // A new device on the same number: connect, select, drive.
    LcdBus fresh({100});
    connectAndSelect(b, fresh);
    b.press("cmdCurPos", "cboRow=2,cboColumn=19");
    QCOMPARE(b.text("lblTxData"), "FE 32 02 13 ");
    QTRY_COMPARE(b.pty.received(), Frames::SelectDevice(100) + Frames::CursorPosition(2, 19));
    QTRY_COMPARE(fresh.module(0).cursorColumn(), 19);
    QCOMPARE(fresh.module(0).cursorRow(), 2);
}

void tst_cable::configWindow_data()
{
    // Bytes out before the pull, or (negative) the stored text that had reached the module
    // when the pull came during "Send".
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("pullAt");
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
    MainBench b(&bus);
    b.get<QAction>("mnuCfg")->trigger();
    frmCfg *cfg = cfgWindow();
    QVERIFY(cfg && cfg->MSComm1().isOpen());
    QTRY_COMPARE(b.pty.received(), Frames::SelectDevice(100));

    auto pulling = std::make_unique<QObject>();
    if (pullAt > 0) {
        pullAfter(cfg->MSComm1(), b.pty, pullAt);
    } else {
        connect(&b.pty, &SimPort::paused, pulling.get(), [&b, &bus, pullAt] {
            if (bus.module(0).text(-pullAt).size() > 0)
                b.pty.closeMaster();
        });
    }
    act(cfg, button); // returns: "Send" does not wait on a dead line forever
    QVERIFY(!b.pty.isOpen()); // pulled while the frame was being written, or during Send
    QTRY_VERIFY(!cfg->MSComm1().isOpen());
    // The operator is told, in a box that does not stop the window.
    QTRY_COMPARE(boxes.texts.size(), 1);
    QVERIFY2(boxes.texts.front().startsWith("COM1 lost"), qPrintable(boxes.texts.front()));
    boxes.texts.clear();
    if (pullAt < 0) {
        QCOMPARE(bus.module(0).text(-pullAt), QByteArray(16, ' '));
        QVERIFY(bus.module(0).text(1 - pullAt).isEmpty()); // nothing after the pull reached it
    }

    // The window stays usable: its buttons send nothing now, and it closes.
    act(cfg, "cmdSave,cmdSetIO,cmdSendBitmap,cmdSetPT");
    QVERIFY(cfg->close());

    // A new device on the same number: the main window connects, and the configuration window
    // opens on it again.
    pulling.reset();
    LcdBus fresh({100});
    b.pty.setBus(&fresh);
    QVERIFY(b.openLine());
    b.click("cmdConnect");
    QCOMPARE(b.state(), "Disconnect select=1 cfg=1 commands=0");
    b.get<QAction>("mnuCfg")->trigger();
    QVERIFY(cfg->isVisible() && cfg->MSComm1().isOpen());
    act(cfg, "optBaud48,cmdSave");
    QTRY_COMPARE(b.pty.received(), Frames::SelectDevice(100) + Frames::SaveToEeprom());
    QCOMPARE(fresh.module(0).saveCount(), 1);
    cfg->close();
}

QTEST_MAIN(tst_cable)
#include "tst_cable.moc"
