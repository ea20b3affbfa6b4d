// The main window on real widgets and a real pty: start-up from the settings file, connect and
// disconnect, frames out with their trace, replies in, and the tick wait.
#include "link/commport.h"
#include "shell/forms.h"
#include "shell/frmmain.h"
#include "shell/modvariables.h"
#include "sim/simport.h"
#include "testsupport.h"

#include <QAbstractItemView>
#include <QAction>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>

using namespace TestSupport;

class tst_mainwindow : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void startup_data();
    void startup();
    void startupLists();
    void typedOverLists();
    void startupBadFiles_data();
    void startupBadFiles();
    void connectAndDisconnect();
    void connectFailures();
    void portHeldElsewhere();
    void deviceLost();
    void sendFrame();
    void receive_data();
    void receive();
    void waitTicks();

private:
    QByteArray settings(const QByteArray &port, const QByteArray &rate, const QByteArray &uid);
};

void tst_mainwindow::cleanup()
{
    removeSettings();
}

QByteArray tst_mainwindow::settings(const QByteArray &port, const QByteArray &rate,
                                    const QByteArray &uid)
{
    return "[Settings]\r\nCommPort=" + port + "\r\nSetting=" + rate + "\r\n[LCD]\r\nUID=" + uid
        + "\r\n";
}

void tst_mainwindow::startup_data()
{
    QTest::addColumn<QByteArray>("port");
    QTest::addColumn<QByteArray>("rate");
    QTest::addColumn<QByteArray>("uid");
    QTest::addColumn<QString>("comm"); // text shown in cboComm
    QTest::addColumn<QString>("baud");
    QTest::addColumn<QString>("addr");
    QTest::addColumn<int>("address"); // DeviceAddress

    QTest::newRow("delivered") << QByteArray("1") << QByteArray("9600,n,8,1") << QByteArray("100")
                               << "COM1"
                               << "9600"
                               << "100" << 100;
    QTest::newRow("port 3, 4800") << QByteArray("3") << QByteArray("4800,n,8,1")
                                  << QByteArray("105") << "COM3"
                                  << "4800"
                                  << "105" << 105;
    QTest::newRow("9600 alone") << QByteArray("20") << QByteArray("9600") << QByteArray("132")
                                << "COM20"
                                << "9600"
                                << "132" << 132;
    QTest::newRow("three digits") << QByteArray("2") << QByteArray("960") << QByteArray("101")
                                  << "COM2"
                                  << "4800"
                                  << "101" << 101;
    QTest::newRow("rate empty") << QByteArray("2") << QByteArray() << QByteArray("101") << "COM2"
                                << "4800"
                                << "101" << 101;
    QTest::newRow("0 and 99: no selection")
        << QByteArray("0") << QByteArray("9600,n,8,1") << QByteArray("99") << ""
        << "9600"
        << "" << 99;
    QTest::newRow("port not a number")
        << QByteArray("x3") << QByteArray("9600,n,8,1") << QByteArray("100") << "COM1"
        << "9600"
        << "100" << 100;
    QTest::newRow("port too big") << QByteArray("21") << QByteArray("9600,n,8,1")
                                  << QByteArray("100") << "COM1"
                                  << "9600"
                                  << "100" << 100;
    QTest::newRow("port negative")
        << QByteArray("-1") << QByteArray("9600,n,8,1") << QByteArray("100") << "COM1"
        << "9600"
        << "100" << 100;
    QTest::newRow("uid not a number")
        << QByteArray("4") << QByteArray("9600,n,8,1") << QByteArray("abc") << "COM4"
        << "9600"
        << "100" << 100;
    QTest::newRow("uid too big") << QByteArray("4") << QByteArray("9600,n,8,1") << QByteArray("356")
                                 << "COM4"
                                 << "9600"
                                 << "100" << 100;
    QTest::newRow("uid 98") << QByteArray("4") << QByteArray("9600,n,8,1") << QByteArray("98")
                            << "COM4"
                            << "9600"
                            << "100" << 100;
    QTest::newRow("empty values") << QByteArray() << QByteArray() << QByteArray() << "COM1"
                                  << "4800"
                                  << "100" << 100;
}

void tst_mainwindow::startup()
{
    QFETCH(QByteArray, port);
    QFETCH(QByteArray, rate);
    QFETCH(QByteArray, uid);
    QFETCH(QString, comm);
    QFETCH(QString, baud);
    QFETCH(QString, addr);
    QFETCH(int, address);
    writeSettings(settings(port, rate, uid));

    modVariables vars;
    frmMain w(vars);
    QCOMPARE(child<QComboBox>(&w, "cboComm")->currentText(), comm);
    QCOMPARE(child<QComboBox>(&w, "cboComm")->currentIndex(),
             comm.isEmpty() ? -1 : comm.mid(3).toInt() - 1);
    QCOMPARE(child<QComboBox>(&w, "cboBaud")->currentText(), baud);
    QCOMPARE(child<QComboBox>(&w, "cboAddr")->currentText(), addr);
    QCOMPARE(int(vars.DeviceAddress), address);
    QCOMPARE(vars.CommPortText, QString::fromLatin1(port)); // kept as read
    QCOMPARE(vars.PortSettings, QString::fromLatin1(rate));
}

void tst_mainwindow::startupLists()
{
    removeSettings();
    modVariables vars;
    frmMain w(vars);
    const struct
    {
        const char *name;
        int count;
        const char *first;
        const char *shown;
    } lists[] = {{"cboComm", 20, "COM1", "COM1"}, {"cboBaud", 2, "4800", "4800"},
                 {"cboAddr", 33, "100", "100"},   {"cboRow", 4, "0", "0"},
                 {"cboRow1", 4, "0", "0"},        {"cboColumn", 20, "0", "0"},
                 {"cboOutput", 8, "0", "0"},      {"cboPT", 8, "1", "1"},
                 {"cboSta", 2, "ON", "ON"},       {"cboCursor", 3, "Underscore", "Underscore"}};
    for (const auto &l : lists) {
        auto *list = child<QComboBox>(&w, l.name);
        QVERIFY2(list->isEditable(), l.name);
        QCOMPARE(list->count(), l.count);
        QCOMPARE(list->itemText(0), QString::fromLatin1(l.first));
        QCOMPARE(list->currentText(), QString::fromLatin1(l.shown));
    }
    QCOMPARE(child<QComboBox>(&w, "cboAddr")->itemText(32), QStringLiteral("132"));
    QCOMPARE(child<QComboBox>(&w, "cboCursor")->itemText(2), QStringLiteral("Hidden"));
    QCOMPARE(w.windowTitle(), QStringLiteral("Tessaline 20x4 Chars RS485 LCD"));
    QCOMPARE(child<QPushButton>(&w, "cmdConnect")->text(), QStringLiteral("Connect"));
    QVERIFY(!child<QGroupBox>(&w, "Frame2")->isEnabled());
    QVERIFY(!child<QGroupBox>(&w, "Frame3")->isEnabled());
    QVERIFY(!child<QAction>(&w, "mnuCfg")->isEnabled());
    QCOMPARE(child<QAction>(&w, "mnuCfg")->text(), QStringLiteral("Configure LCD"));
    QVERIFY(child<QLabel>(&w, "lblTxData")->text().isEmpty());
    QVERIFY(child<QLabel>(&w, "StatusPanel1")->text().isEmpty());
    QVERIFY(!w.MSComm1().isOpen());
}

// A list takes typed text as it is: no completion to an item that starts alike (typed "10"
// must not select 100), no item added on Return; and its drop-down still picks an item.
void tst_mainwindow::typedOverLists()
{
    modVariables vars;
    frmMain w(vars);
    w.show();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    child<QGroupBox>(&w, "Frame2")->setEnabled(true);
    auto *list = child<QComboBox>(&w, "cboAddr");
    list->setFocus();
    QTRY_VERIFY(list->lineEdit()->hasFocus()); // a completer works only on the focused edit
    list->lineEdit()->clear();
    QTest::keyClicks(list->lineEdit(), "10");
    QCOMPARE(list->currentText(), QStringLiteral("10"));
    QCOMPARE(listIndex(list), -1);
    QTest::keyClick(list->lineEdit(), Qt::Key_Return);
    QCOMPARE(list->count(), 33);
    QCOMPARE(list->currentText(), QStringLiteral("10"));

    list->showPopup();
    QAbstractItemView *view = list->view();
    QTRY_VERIFY(view->isVisible());
    const QModelIndex item = view->model()->index(5, 0);
    view->scrollTo(item);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(item).center());
    QTRY_VERIFY(!view->isVisible());
    QCOMPARE(list->currentText(), QStringLiteral("105"));
    QCOMPARE(listIndex(list), 5);
}

void tst_mainwindow::startupBadFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QByteArray garbage;
    quint32 x = 12345;
    for (int i = 0; i < 100000; ++i) {
        x = x * 1103515245u + 12345u;
        garbage.append(char(x >> 16));
    }
    QTest::newRow("binary garbage") << garbage;
    QByteArray huge = "[Other]\r\n";
    while (huge.size() < 20 * 1024 * 1024)
        huge += "Key" + QByteArray::number(huge.size()) + "=some value that fills the file\r\n";
    QTest::newRow("huge") << huge;
}

void tst_mainwindow::startupBadFiles()
{
    QFETCH(QByteArray, content);
    writeSettings(content);
    modVariables vars;
    frmMain w(vars);
    QCOMPARE(child<QComboBox>(&w, "cboComm")->currentText(), QStringLiteral("COM1"));
    QCOMPARE(child<QComboBox>(&w, "cboAddr")->currentText(), QStringLiteral("100"));
    QCOMPARE(int(vars.DeviceAddress), 100);
}

void tst_mainwindow::connectAndDisconnect()
{
    removeSettings();
    SimPort pty;
    QVERIFY2(pty.open(1, QString(), SimPort::Existing::Replace), qPrintable(pty.errorString()));
    modVariables vars;
    frmMain w(vars);
    auto *connectButton = child<QPushButton>(&w, "cmdConnect");
    choose(child<QComboBox>(&w, "cboComm"), "COM1");
    choose(child<QComboBox>(&w, "cboBaud"), "4800");
    child<QGroupBox>(&w, "Frame3")->setEnabled(true); // as after an answered selection

    QTest::mouseClick(connectButton, Qt::LeftButton);
    QCOMPARE(connectButton->text(), QStringLiteral("Disconnect"));
    QVERIFY(w.MSComm1().isOpen());
    QCOMPARE(w.MSComm1().settings(), QStringLiteral("4800,n,8,1"));
    QCOMPARE(vars.CommPortText, QStringLiteral("1"));
    QCOMPARE(vars.PortSettings, QStringLiteral("4800,n,8,1"));
    QVERIFY(child<QGroupBox>(&w, "Frame2")->isEnabled());
    QVERIFY(child<QAction>(&w, "mnuCfg")->isEnabled());
    QVERIFY(child<QGroupBox>(&w, "Frame3")->isEnabled());
    QCOMPARE(child<QLabel>(&w, "StatusPanel2")->text(), QStringLiteral("COM1 4800,n,8,1"));
    QVERIFY(pty.received().isEmpty()); // connecting sends nothing

    w.setSelectionStatus("Device 100 Connected");
    QTest::mouseClick(connectButton, Qt::LeftButton);
    QCOMPARE(connectButton->text(), QStringLiteral("Connect"));
    QVERIFY(!w.MSComm1().isOpen());
    QVERIFY(!child<QGroupBox>(&w, "Frame2")->isEnabled());
    QVERIFY(!child<QAction>(&w, "mnuCfg")->isEnabled());
    QVERIFY(child<QGroupBox>(&w, "Frame3")->isEnabled()); // untouched by a disconnect
    QCOMPARE(child<QLabel>(&w, "StatusPanel1")->text(), QStringLiteral("Device 100 Connected"));
    QCOMPARE(child<QLabel>(&w, "StatusPanel2")->text(), QStringLiteral("Port closed"));

    // "Configure LCD" takes the disconnect branch.
    QTest::mouseClick(connectButton, Qt::LeftButton);
    QVERIFY(w.MSComm1().isOpen());
    child<QAction>(&w, "mnuCfg")->trigger();
    QVERIFY(!w.MSComm1().isOpen());
    QCOMPARE(connectButton->text(), QStringLiteral("Connect"));
}

void tst_mainwindow::connectFailures()
{
    removeSettings();
    QDir().mkpath(AppFolder() + "ports");
    const QString dangling = AppFolder() + "ports/COM7";
    QFile::remove(dangling);
    QVERIFY(QFile::link(AppFolder() + "ports/no-such-device", dangling));

    modVariables vars;
    frmMain w(vars);
    auto *connectButton = child<QPushButton>(&w, "cmdConnect");
    choose(child<QComboBox>(&w, "cboComm"), "COM7");
    choose(child<QComboBox>(&w, "cboBaud"), "9600");
    {
        MessageBoxCatcher boxes;
        QTest::mouseClick(connectButton, Qt::LeftButton);
        QCOMPARE(boxes.texts, QStringList {"SELECTED PORT NOT AVAILABLE!"});
        QCOMPARE(boxes.titles, QStringList {"TessalineApp"});
    }
    QCOMPARE(connectButton->text(), QStringLiteral("Connect"));
    QVERIFY(!child<QGroupBox>(&w, "Frame2")->isEnabled());
    QVERIFY(!child<QAction>(&w, "mnuCfg")->isEnabled());
    // What was set before the open failed stays set.
    QCOMPARE(vars.CommPortText, QStringLiteral("7"));
    QCOMPARE(vars.PortSettings, QStringLiteral("9600,n,8,1"));

    // A rate the port rejects fails before anything is set.
    choose(child<QComboBox>(&w, "cboComm"), "COM1");
    choose(child<QComboBox>(&w, "cboBaud"), "fast");
    {
        MessageBoxCatcher boxes;
        QTest::mouseClick(connectButton, Qt::LeftButton);
        QCOMPARE(boxes.texts.size(), 1);
    }
    QCOMPARE(vars.CommPortText, QStringLiteral("7"));
    QCOMPARE(vars.PortSettings, QStringLiteral("9600,n,8,1"));

    // A port list without a selection names port 0: no port.
    choose(child<QComboBox>(&w, "cboBaud"), "4800");
    choose(child<QComboBox>(&w, "cboComm"), "COM99");
    {
        MessageBoxCatcher boxes;
        QTest::mouseClick(connectButton, Qt::LeftButton);
        QCOMPARE(boxes.texts.size(), 1);
    }
    QCOMPARE(vars.CommPortText, QStringLiteral("0"));
    QCOMPARE(vars.PortSettings, QStringLiteral("4800,n,8,1"));
    QCOMPARE(connectButton->text(), QStringLiteral("Connect"));
}

void tst_mainwindow::portHeldElsewhere()
{
    removeSettings();
    SimPort pty;
    QVERIFY(pty.open(1, QString(), SimPort::Existing::Replace));
    // A second name for the same device.
    const QString alias = AppFolder() + "ports/COM3";
    QFile::remove(alias);
    QVERIFY(QFile::link(pty.slavePath(), alias));

    CommPort other; // the configuration window's port, say
    QVERIFY(other.setSettings("9600,n,8,1"));
    other.setCommPort(1);
    QVERIFY(other.open());

    modVariables vars;
    frmMain w(vars);
    auto *connectButton = child<QPushButton>(&w, "cmdConnect");
    for (const char *name : {"COM1", "COM3"}) {
        choose(child<QComboBox>(&w, "cboComm"), name);
        MessageBoxCatcher boxes;
        QTest::mouseClick(connectButton, Qt::LeftButton);
        QCOMPARE(boxes.texts, QStringList {"SELECTED PORT NOT AVAILABLE!"});
        QCOMPARE(connectButton->text(), QStringLiteral("Connect"));
    }
    other.close();
    QTest::mouseClick(connectButton, Qt::LeftButton); // COM3 now free
    QCOMPARE(connectButton->text(), QStringLiteral("Disconnect"));
    QFile::remove(alias);
}

void tst_mainwindow::deviceLost()
{
    removeSettings();
    auto pty = std::make_unique<SimPort>();
    QVERIFY(pty->open(1, QString(), SimPort::Existing::Replace));
    modVariables vars;
    frmMain w(vars);
    auto *connectButton = child<QPushButton>(&w, "cmdConnect");
    choose(child<QComboBox>(&w, "cboComm"), "COM1");
    QTest::mouseClick(connectButton, Qt::LeftButton);
    QVERIFY(w.MSComm1().isOpen());

    pty->closeMaster(); // the adapter is pulled out
    QTRY_COMPARE(connectButton->text(), QStringLiteral("Connect"));
    QVERIFY(!w.MSComm1().isOpen());
    QVERIFY(!child<QGroupBox>(&w, "Frame2")->isEnabled());
    QVERIFY(child<QLabel>(&w, "StatusPanel2")->text().startsWith("COM1 lost"));

    // A frame now is refused, and a new device on the same number connects.
    vars.putFrame(QByteArray("A"));
    w.SendFrame(1);
    QVERIFY(child<QLabel>(&w, "lblTxData")->text().isEmpty());
    pty.reset();
    SimPort fresh;
    QVERIFY(fresh.open(1, QString(), SimPort::Existing::Replace));
    QTest::mouseClick(connectButton, Qt::LeftButton);
    QCOMPARE(connectButton->text(), QStringLiteral("Disconnect"));
    w.SendFrame(1);
    QTRY_COMPARE(fresh.received(), QByteArray("A"));
}

void tst_mainwindow::sendFrame()
{
    removeSettings();
    SimPort pty;
    QVERIFY(pty.open(1, QString(), SimPort::Existing::Replace));
    modVariables vars;
    frmMain w(vars);
    auto *tx = child<QLabel>(&w, "lblTxData");
    auto *rx = child<QLabel>(&w, "lblRxData");

    // Closed port: refused, traces kept.
    tx->setText("kept");
    vars.putFrame(QByteArray::fromHex("fe320213"));
    w.SendFrame(4);
    QCOMPARE(tx->text(), QStringLiteral("kept"));

    choose(child<QComboBox>(&w, "cboComm"), "COM1");
    QTest::mouseClick(child<QPushButton>(&w, "cmdConnect"), Qt::LeftButton);
    rx->setText("EE 64 ");
    w.SendFrame(4);
    QCOMPARE(tx->text(), QStringLiteral("FE 32 02 13 "));
    QVERIFY(rx->text().isEmpty());
    QTRY_COMPARE(pty.received(), QByteArray::fromHex("fe320213"));

    vars.TxBuffer = {0, 9, 15, 16, 255};
    w.SendFrame(5);
    QCOMPARE(tx->text(), QStringLiteral("00 09 0F 10 FF "));
    QTRY_COMPARE(pty.received(),
                 QByteArray::fromHex("fe320213"
                                     "00090f10ff"));

    // Nothing to send still empties the traces.
    rx->setText("EE 64 ");
    w.SendFrame(0);
    QVERIFY(tx->text().isEmpty());
    QVERIFY(rx->text().isEmpty());

    // The longest frame, 66 bytes, leaves whole and in order.
    pty.clearReceived();
    QByteArray upload = QByteArray::fromHex("fe64");
    for (int i = 0; i < 64; ++i)
        upload.append(char(255 - i));
    vars.putFrame(upload);
    w.SendFrame(66);
    QTRY_COMPARE(pty.received(), upload);
    QCOMPARE(tx->text().size(), 66 * 3);
}

void tst_mainwindow::receive_data()
{
    QTest::addColumn<QByteArray>("chunks"); // written one by one, '|' apart
    QTest::addColumn<int>("address");
    QTest::addColumn<bool>("flag");
    QTest::addColumn<QString>("trace");
    QTest::newRow("reply") << QByteArray("ee64") << 100 << true << "EE 64 ";
    QTest::newRow("extra byte dropped") << QByteArray("ee6407") << 100 << true << "EE 64 ";
    QTest::newRow("other address") << QByteArray("ee65") << 100 << false << "";
    QTest::newRow("reply 105") << QByteArray("ee69") << 105 << true << "EE 69 ";
    QTest::newRow("two replies") << QByteArray("ee64|ee64") << 100 << true << "EE 64 EE 64 ";
    QTest::newRow("reply after junk in block") << QByteArray("00ee64") << 100 << false << "";
    QTest::newRow("reply in two pieces") << QByteArray("ee|64") << 100 << true << "EE 64 ";
}

void tst_mainwindow::receive()
{
    QFETCH(QByteArray, chunks);
    QFETCH(int, address);
    QFETCH(bool, flag);
    QFETCH(QString, trace);
    removeSettings();
    SimPort pty;
    QVERIFY(pty.open(1, QString(), SimPort::Existing::Replace));
    modVariables vars;
    frmMain w(vars);
    choose(child<QComboBox>(&w, "cboComm"), "COM1");
    QTest::mouseClick(child<QPushButton>(&w, "cmdConnect"), Qt::LeftButton);
    vars.DeviceAddress = quint8(address);
    for (const QByteArray &chunk : chunks.split('|')) {
        QVERIFY(pty.write(QByteArray::fromHex(chunk)));
        w.WaitTicks(3); // the handler runs while the wait processes events
    }
    QCOMPARE(vars.ReplyReceived, flag);
    QCOMPARE(child<QLabel>(&w, "lblRxData")->text(), trace);
}

void tst_mainwindow::waitTicks()
{
    removeSettings();
    SimPort pty;
    QVERIFY(pty.open(1, QString(), SimPort::Existing::Replace));
    modVariables vars;
    frmMain w(vars);
    choose(child<QComboBox>(&w, "cboComm"), "COM1");
    QTest::mouseClick(child<QPushButton>(&w, "cmdConnect"), Qt::LeftButton);
    vars.DeviceAddress = 100;

    // The reply comes in the first tick; the wait still lasts ten.
    QByteArray seenAt;
    QTimer::singleShot(0, [&] { pty.write(QByteArray::fromHex("ee64")); });
    connect(&w.MSComm1(), &CommPort::received, this, [&] { seenAt += char(vars.TickCount); });
    QElapsedTimer clock;
    clock.start();
    w.WaitTicks(10);
    const qint64 elapsed = clock.elapsed();
    QVERIFY(vars.ReplyReceived);
    QVERIFY2(seenAt.size() == 1 && seenAt[0] < 10, seenAt.toHex().constData());
    QVERIFY(vars.TickCount >= 10);
    QVERIFY2(elapsed >= 9 * 15, qPrintable(QString::number(elapsed)));

    // A wait started inside a wait: both end when the inner one has counted its ten ticks.
    QStringList order;
    QTimer::singleShot(40, [&] {
        order << "inner start";
        w.WaitTicks(10);
        order << "inner end";
    });
    w.WaitTicks(10);
    order << "outer end";
    QCOMPARE(order, (QStringList {"inner start", "inner end", "outer end"}));
    QVERIFY(vars.TickCount >= 10);
}

QTEST_MAIN(tst_mainwindow)
#include "tst_mainwindow.moc"
