// Driving a module end to end: the main window against the virtual module on a pty. Device
// selection, every control of the command panel, and what the module makes of the frames.
#include "link/commport.h"
#include "shell/frmmain.h"
#include "shell/modvariables.h"
#include "sim/lcdbus.h"
#include "sim/simport.h"
#include "testsupport.h"

#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using namespace TestSupport;

namespace {

// A main window connected to COM1 with the virtual modules of a bus behind it.
struct Bench
{
    explicit Bench(LcdBus *bus)
        : pty(bus)
    {
        removeSettings();
        if (!pty.open(1, QString(), SimPort::Existing::Replace))
            qFatal("pty: %s", qPrintable(pty.errorString()));
        window = std::make_unique<frmMain>(vars);
        choose(child<QComboBox>(window.get(), "cboComm"), "COM1");
        choose(child<QComboBox>(window.get(), "cboBaud"), "9600");
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
    QString tx() { return get<QLabel>("lblTxData")->text(); }
    QString rx() { return get<QLabel>("lblRxData")->text(); }
    QString status() { return get<QLabel>("StatusPanel1")->text(); }
    bool commandsEnabled() { return get<QGroupBox>("Frame3")->isEnabled(); }

    SimPort pty;
    modVariables vars;
    std::unique_ptr<frmMain> window;
};

} // namespace

class tst_drive : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { removeSettings(); }
    void selectAndDeselect();
    void foreignReply();
    void deselectWithoutSelection();
    void commands_data();
    void commands();
    void typing();
    void moduleSession();
    void clickDuringWait();
    void closedPort();
};

void tst_drive::selectAndDeselect()
{
    LcdBus bus({100, 105});
    Bench b(&bus);
    QVERIFY(!b.commandsEnabled());

    b.select("105");
    QCOMPARE(b.status(), QStringLiteral("Device 105 Connected"));
    QVERIFY(b.commandsEnabled());
    QCOMPARE(b.tx(), QStringLiteral("EF 69 "));
    QCOMPARE(b.rx(), QStringLiteral("EE 69 "));
    QCOMPARE(int(b.vars.DeviceAddress), 105);
    QVERIFY(bus.moduleByAddress(105)->isSelected());
    QVERIFY(!bus.moduleByAddress(100)->isSelected());

    // Nobody answers 120: not found, the panel stays as it was, the received trace is empty.
    b.select("120");
    QCOMPARE(b.status(), QStringLiteral("Device Not Found"));
    QVERIFY(b.commandsEnabled());
    QCOMPARE(b.tx(), QStringLiteral("EF 78 "));
    QVERIFY(b.rx().isEmpty());
    QCOMPARE(int(b.vars.DeviceAddress), 120);

    b.select("100");
    QCOMPARE(b.status(), QStringLiteral("Device 100 Connected"));
    b.get<QLabel>("lblRxData")->setText("EE 64 ");
    b.click("cmdDeselect");
    QCOMPARE(b.tx(), QStringLiteral("EA "));
    QVERIFY(b.rx().isEmpty()); // every frame clears the received trace
    QCOMPARE(b.status(), QStringLiteral("Disconnected"));
    QVERIFY(!b.commandsEnabled());
    QVERIFY(!bus.moduleByAddress(100)->isSelected());
    QCOMPARE(b.pty.received(), QByteArray::fromHex("ef69ef78ef64ea"));
}

void tst_drive::foreignReply()
{
    Bench b(nullptr); // a raw line: the test answers
    connect(&b.pty, &SimPort::chunkReceived, this, [&](const QByteArray &chunk) {
        if (chunk == QByteArray::fromHex("ef69"))
            b.pty.write(QByteArray::fromHex("ee6a")); // module 106 answers
    });
    b.select("105");
    QCOMPARE(b.status(), QStringLiteral("Device Not Found"));
    QVERIFY(!b.vars.ReplyReceived);
    QVERIFY(b.rx().isEmpty());
    QVERIFY(!b.commandsEnabled());
}

void tst_drive::deselectWithoutSelection()
{
    LcdBus bus({100});
    Bench b(&bus);
    b.get<QGroupBox>("Frame3")->setEnabled(true);
    b.click("cmdDeselect");
    QCOMPARE(b.status(), QStringLiteral("No Response"));
    QVERIFY(b.commandsEnabled());

    // After an answered selection the flag still holds: "Disconnected" even twice.
    b.select("100");
    b.click("cmdDeselect");
    b.click("cmdDeselect");
    QCOMPARE(b.status(), QStringLiteral("Disconnected"));
}

void tst_drive::commands_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("lists"); // list=text;list=text
    QTest::addColumn<QByteArray>("bytes"); // hex; empty: nothing goes out

    const QByteArray spaces = QByteArray(20, ' ').toHex();
    QTest::newRow("Cursor Home") << "cmdCtrl_0"
                                 << "" << QByteArray("0b");
    QTest::newRow("Next Line") << "cmdCtrl_1"
                               << "" << QByteArray("0c");
    QTest::newRow("Clear") << "cmdCtrl_2"
                           << "" << QByteArray("0d");
    QTest::newRow("Set Cursor underscore") << "cmdSetCursor"
                                           << "" << QByteArray("fe01");
    QTest::newRow("Set Cursor hidden") << "cmdSetCursor"
                                       << "cboCursor=Hidden" << QByteArray("fe03");
    QTest::newRow("Set Cursor typed") << "cmdSetCursor"
                                      << "cboCursor=Big" << QByteArray();
    QTest::newRow("Set Cursor Position") << "cmdCurPos"
                                         << "cboRow=2;cboColumn=19" << QByteArray("fe320213");
    QTest::newRow("Position, row typed") << "cmdCurPos"
                                         << "cboRow=4;cboColumn=1" << QByteArray();
    QTest::newRow("Position, column typed") << "cmdCurPos"
                                            << "cboColumn=20" << QByteArray();
    QTest::newRow("Clear Row") << "cmdClrRow"
                               << "cboRow=1;cboColumn=7"
                               << "fe320100" + spaces + "fe320100";
    QTest::newRow("Clear Row, typed") << "cmdClrRow"
                                      << "cboRow=x" << QByteArray();
    QTest::newRow("Clear Column") << "cmdClrCol"
                                  << "cboRow=2;cboColumn=5"
                                  << QByteArray("fe32000520fe32010520fe32020520fe32030520fe320205");
    QTest::newRow("Clear Column, typed") << "cmdClrCol"
                                         << "cboColumn=" << QByteArray();
    QTest::newRow("Turn ON") << "cmdBackLight_0"
                             << "" << QByteArray("fe06");
    QTest::newRow("Turn OFF") << "cmdBackLight_1"
                              << "" << QByteArray("fe07");
    QTest::newRow("Flashes") << "cmdBLFlash"
                             << "" << QByteArray("fe0b");
    QTest::newRow("Load Bitmap") << "cmdLoadCC"
                                 << "" << QByteArray("fe08");
    QTest::newRow("character 1") << "cmdCC_0"
                                 << "" << QByteArray("00");
    QTest::newRow("character 4") << "cmdCC_3"
                                 << "" << QByteArray("03");
    QTest::newRow("character 8") << "cmdCC_7"
                                 << "" << QByteArray("07");
    QTest::newRow("Predefined Text 8, row 3") << "cmdPT"
                                              << "cboPT=8;cboRow1=3" << QByteArray("fe346c03");
    QTest::newRow("Predefined Text 1, row 0") << "cmdPT"
                                              << "" << QByteArray("fe346500");
    QTest::newRow("Predefined Text typed") << "cmdPT"
                                           << "cboPT=9" << QByteArray();
    QTest::newRow("Predefined row typed") << "cmdPT"
                                          << "cboRow1= 1" << QByteArray();
    QTest::newRow("ON All") << "cmdOut_0"
                            << "" << QByteArray("fe0c");
    QTest::newRow("OFF All") << "cmdOut_1"
                             << "" << QByteArray("fe0d");
    QTest::newRow("SEND 5 OFF") << "cmdout1"
                                << "cboOutput=5;cboSta=OFF" << QByteArray("fe330549");
    QTest::newRow("SEND 5 ON") << "cmdout1"
                               << "cboOutput=5;cboSta=ON" << QByteArray("fe330548");
    QTest::newRow("SEND, state typed") << "cmdout1"
                                       << "cboSta=on" << QByteArray();
    QTest::newRow("SEND, output typed") << "cmdout1"
                                        << "cboOutput=8" << QByteArray();
}

void tst_drive::commands()
{
    QFETCH(QString, button);
    QFETCH(QString, lists);
    QFETCH(QByteArray, bytes);
    Bench b(nullptr);
    b.get<QGroupBox>("Frame3")->setEnabled(true);
    for (const QString &setting : lists.split(';', Qt::SkipEmptyParts)) {
        const QStringList pair = setting.split('=');
        choose(b.get<QComboBox>(pair[0]), pair[1]);
    }
    b.get<QLabel>("lblTxData")->setText("before");
    b.get<QLabel>("lblRxData")->setText("EE 64 ");
    b.click(button);

    const QByteArray frame = QByteArray::fromHex(bytes);
    if (frame.isEmpty()) {
        // Refused: traces unchanged, nothing on the line (a later frame arrives alone).
        QCOMPARE(b.tx(), QStringLiteral("before"));
        QCOMPARE(b.rx(), QStringLiteral("EE 64 "));
        b.click("cmdBLFlash");
        QTRY_COMPARE(b.pty.received(), QByteArray::fromHex("fe0b"));
        return;
    }
    QCOMPARE(b.tx(), QString::fromLatin1(frame.toHex(' ').toUpper() + ' '));
    QVERIFY(b.rx().isEmpty());
    QTRY_COMPARE(b.pty.received().toHex(), frame.toHex());
}

void tst_drive::typing()
{
    Bench b(nullptr);
    b.get<QGroupBox>("Frame3")->setEnabled(true);
    auto *box = b.get<QLineEdit>("txtASCIIInput");
    box->setFocus();

    QTest::keyClick(box, 'A');
    QCOMPARE(box->text(), QStringLiteral("A"));
    QCOMPARE(b.tx(), QStringLiteral("41 "));
    QTest::keyClick(box, 'B');
    QCOMPARE(box->text(), QStringLiteral("B"));
    QCOMPARE(b.tx(), QStringLiteral("42 "));
    QTRY_COMPARE(b.pty.received(), QByteArray("AB"));

    // Enter and Backspace send nothing and leave the box empty.
    QTest::keyClick(box, Qt::Key_Return);
    QVERIFY(box->text().isEmpty());
    QTest::keyClick(box, 'B');
    QTest::keyClick(box, Qt::Key_Backspace);
    QVERIFY(box->text().isEmpty());
    QCOMPARE(b.tx(), QStringLiteral("42 "));

    // Codes that also open frames go out unchanged; the code page maps the rest, and a
    // character it lacks goes out as '?'.
    for (const QChar ch : QString::fromUtf8("\u00ef\u00ea\u00fe\u20ac\u4e2d")) {
        // QTest types ASCII only; a keyboard with these keys sends events like this one.
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(box, &press);
    }
    QCOMPARE(box->text(), QString::fromUtf8("\u4e2d"));
    QCOMPARE(b.tx(), QStringLiteral("3F "));
    QTRY_COMPARE(b.pty.received().toHex(),
                 QByteArray("4142"
                            "42"
                            "ef"
                            "ea"
                            "fe"
                            "80"
                            "3f"));
}

void tst_drive::moduleSession()
{
    LcdBus bus({100});
    LcdModule &lcd = *bus.moduleByAddress(100);
    lcd.storeText(2, "Stored text two");
    Bench b(&bus);
    b.select("100");
    QVERIFY(b.commandsEnabled());
    auto *box = b.get<QLineEdit>("txtASCIIInput");
    box->setFocus();

    b.click("cmdCtrl_2");
    QTest::keyClicks(box, "Hello");
    choose(b.get<QComboBox>("cboRow"), "1");
    choose(b.get<QComboBox>("cboColumn"), "3");
    b.click("cmdCurPos");
    QTest::keyClicks(box, "XY");
    choose(b.get<QComboBox>("cboCursor"), "Blinking");
    b.click("cmdSetCursor");
    choose(b.get<QComboBox>("cboPT"), "2");
    choose(b.get<QComboBox>("cboRow1"), "3");
    b.click("cmdPT");
    b.click("cmdCC_4");
    choose(b.get<QComboBox>("cboOutput"), "6");
    choose(b.get<QComboBox>("cboSta"), "ON");
    b.click("cmdout1");
    b.click("cmdBLFlash");

    QTRY_COMPARE(lcd.row(0), QByteArray("Hello               "));
    QTRY_COMPARE(lcd.outputs(), quint8(0x40));
    QCOMPARE(lcd.row(1), QByteArray("   XY\x04              ", 20));
    QCOMPARE(lcd.row(3), QByteArray("Stored text two     "));
    QCOMPARE(lcd.cursorType(), LcdModule::Blinking);
    QCOMPARE(lcd.backlight(), LcdModule::BacklightFlashing);

    // Clear Row and Clear Column do what they say, and leave the cursor where they started.
    choose(b.get<QComboBox>("cboRow"), "3");
    b.click("cmdClrRow");
    choose(b.get<QComboBox>("cboRow"), "0");
    choose(b.get<QComboBox>("cboColumn"), "1");
    b.click("cmdClrCol");
    b.click("cmdOut_0");
    QTRY_COMPARE(lcd.outputs(), quint8(0xFF));
    QCOMPARE(lcd.row(3), QByteArray(20, ' '));
    QCOMPARE(lcd.row(0), QByteArray("H llo               "));
    QCOMPARE(lcd.row(1), QByteArray("   XY\x04              ", 20));
    QCOMPARE(lcd.cursorRow(), 0);
    QCOMPARE(lcd.cursorColumn(), 1);
    QTest::keyClicks(box, "e");
    QTRY_COMPARE(lcd.row(0), QByteArray("Hello               "));
}

void tst_drive::clickDuringWait()
{
    LcdBus bus({100, 105});
    Bench b(&bus);
    b.get<QGroupBox>("Frame3")->setEnabled(true);

    // A command clicked during the selection's wait goes out inside it.
    QTimer::singleShot(30, this, [&] { b.click("cmdBackLight_1"); });
    b.select("100");
    QCOMPARE(b.pty.received(), QByteArray::fromHex("ef64fe07"));
    QCOMPARE(b.status(), QStringLiteral("Device 100 Connected"));
    QTRY_COMPARE(bus.moduleByAddress(100)->backlight(), LcdModule::BacklightOff);

    // A second selection inside the first: both waits end together, the second address holds.
    QStringList order;
    QTimer::singleShot(30, this, [&] {
        order << "inner";
        b.select("105");
        order << "inner done";
    });
    b.select("100");
    order << "outer done";
    QCOMPARE(order, (QStringList {"inner", "inner done", "outer done"}));
    QCOMPARE(int(b.vars.DeviceAddress), 105);
    QCOMPARE(b.status(), QStringLiteral("Device 105 Connected"));
    QVERIFY(bus.moduleByAddress(105)->isSelected());
    QVERIFY(b.pty.received().endsWith(QByteArray::fromHex("ef64ef69")));
}

void tst_drive::closedPort()
{
    LcdBus bus({100});
    Bench b(&bus);
    b.select("100");
    b.click("cmdConnect"); // disconnect: the command panel keeps its state
    QVERIFY(b.commandsEnabled());
    QCOMPARE(b.status(), QStringLiteral("Device 100 Connected"));
    b.click("cmdBackLight_1");
    b.click("cmdCtrl_2");
    QCOMPARE(b.tx(), QStringLiteral("EF 64 "));
    QCOMPARE(b.rx(), QStringLiteral("EE 64 "));
    QCOMPARE(b.pty.received(), QByteArray::fromHex("ef64"));
}

QTEST_MAIN(tst_drive)
#include "tst_drive.moc"
