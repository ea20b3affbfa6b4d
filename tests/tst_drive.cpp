// Driving a module end to end: the main window against the virtual module on a pty. Device
// selection, every control of the command panel, and what the module makes of the frames.
#include "link/ticktimer.h"
#include "sim/lcdbus.h"
#include "testsupport.h"

#include <QClipboard>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>

using namespace TestSupport;

class tst_drive : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { removeSettings(); }
    void selectAndDeselect();
    void commands();
    void typing();
    void moduleSession();
    void clickDuringWait();
};

void tst_drive::selectAndDeselect()
{
    LcdBus bus({100, 105});
    MainBench b(&bus);
    const auto seen = [&] {
        return QStringList {b.text("StatusPanel1"), b.text("lblTxData"), b.text("lblRxData"),
                            b.enabled("Frame3") ? "on" : "off"}
            .join('|');
    };
    QVERIFY(!b.enabled("Frame3"));
    b.select("105");
    QCOMPARE(seen(), "Device 105 Connected|EF 69 |EE 69 |on");
    QVERIFY(bus.moduleByAddress(105)->isSelected() && !bus.moduleByAddress(100)->isSelected());

    // No module has address 120, and a reply carrying 105 is no reply to it: not found, the
    // panel stays as it was. Deselecting then gets "No Response", and the panel stays.
    bool answered = false;
    connect(&b.pty, &SimPort::chunkReceived, this, [&] {
        if (b.pty.received().endsWith(QByteArray::fromHex("ef78")))
            answered = b.pty.write(QByteArray::fromHex("ee69"));
    });
    b.select("120");
    QVERIFY(answered);
    QCOMPARE(seen(), "Device Not Found|EF 78 ||on");
    b.click("cmdDeselect");
    QCOMPARE(seen(), "No Response|EA ||on");

    // After an answered selection: "Disconnected", even twice, as the flag still holds; every
    // frame clears the received trace.
    b.select("100");
    QCOMPARE(seen(), "Device 100 Connected|EF 64 |EE 64 |on");
    b.click("cmdDeselect");
    QCOMPARE(seen(), "Disconnected|EA ||off");
    QVERIFY(!bus.moduleByAddress(100)->isSelected());
    b.click("cmdDeselect");
    QCOMPARE(seen(), "Disconnected|EA ||off");
    QCOMPARE(b.pty.received(), QByteArray::fromHex("ef69ef78eaef64eaea"));
}

// Each control's frame at the pty and in the transmit trace; a list whose text names no item
// sends nothing, leaves the traces and says so in the second status panel until the next frame.
void tst_drive::commands()
{
    // control, list=text settings ("_" a blank), the frame's bytes ("!text": nothing, text named)
    const QString table = R"(
        cmdCtrl_0       -                       0b
        cmdCtrl_1       -                       0c
        cmdCtrl_2       -                       0d
        cmdSetCursor    -                       fe01
        cmdSetCursor    cboCursor=Hidden        fe03
        cmdSetCursor    cboCursor=Big           !Big
        cmdCurPos       cboRow=2,cboColumn=19   fe320213
        cmdCurPos       cboRow=4,cboColumn=1    !4
        cmdCurPos       cboColumn=20            !20
        cmdClrRow       cboRow=1,cboColumn=7    fe320100 2020202020202020202020202020202020202020 fe320100
        cmdClrRow       cboRow=x                !x
        cmdClrCol       cboRow=2,cboColumn=5    fe32000520 fe32010520 fe32020520 fe32030520 fe320205
        cmdClrCol       cboColumn=              !
        cmdBackLight_0  -                       fe06
        cmdBackLight_1  -                       fe07
        cmdBLFlash      -                       fe0b
        cmdLoadCC       -                       fe08
        cmdCC_0         -                       00
        cmdCC_7         -                       07
        cmdPT           -                       fe346500
        cmdPT           cboPT=8,cboRow1=3       fe346c03
        cmdPT           cboPT=9                 !9
        cmdPT           cboRow1=_1              !_1
        cmdOut_0        -                       fe0c
        cmdOut_1        -                       fe0d
        cmdout1         cboOutput=5,cboSta=OFF  fe330549
        cmdout1         cboOutput=5,cboSta=ON   fe330548
        cmdout1         cboSta=on               !on
        cmdout1         cboSta=OFF_             !OFF_
        cmdout1         cboOutput=8             !8)";
    for (const QString &line : table.split('\n', Qt::SkipEmptyParts)) {
        const QStringList c = line.simplified().split(' ');
        MainBench b;
        b.get<QGroupBox>("Frame3")->setEnabled(true);
        b.get<QLabel>("lblTxData")->setText("before");
        b.get<QLabel>("lblRxData")->setText("EE 64 ");
        b.press(c[0], c[1] == "-" ? QString() : c[1]);
        const bool refused = c[2].startsWith('!');
        const QString portState = "COM1 9600,n,8,1 on " + b.pty.slavePath();
        const QByteArray frame = QByteArray::fromHex(c.mid(2).join("").toLatin1());
        const QString trace = refused ? "before|EE 64 |Nothing sent: \""
                + c[2].mid(1).replace('_', ' ') + "\" is not in the list"
                                      : frame.toHex(' ').toUpper() + " ||" + portState;
        QCOMPARE(line + " -> " + b.text("lblTxData") + '|' + b.text("lblRxData") + '|'
                     + b.text("StatusPanel2"),
                 line + " -> " + trace);
        if (refused) { // nothing on the line: a later frame arrives alone, and ends the message
            b.click("cmdBLFlash");
            QCOMPARE(b.text("StatusPanel2"), portState);
        }
        QTRY_COMPARE(b.pty.received().toHex(), refused ? "fe0b" : frame.toHex());
    }
}

void tst_drive::typing()
{
    MainBench b;
    b.get<QGroupBox>("Frame3")->setEnabled(true);
    auto *box = b.get<QLineEdit>("txtASCIIInput");
    box->setFocus();
    QTest::keyClick(box, 'A');
    QCOMPARE(box->text() + '|' + b.text("lblTxData"), "A|41 ");
    QTest::keyClick(box, 'B');
    QCOMPARE(box->text() + '|' + b.text("lblTxData"), "B|42 ");

    // Enter and Backspace send nothing and leave the box empty.
    QTest::keyClick(box, Qt::Key_Return);
    QVERIFY(box->text().isEmpty());
    QTest::keyClick(box, 'B');
    QTest::keyClick(box, Qt::Key_Backspace);
    QVERIFY(box->text().isEmpty());

    // Codes that also open frames go out unchanged; the code page maps the rest, and a
    // character it lacks goes out as '?'. (QTest types ASCII only; a keyboard with these keys
    // sends events like these.)
    for (const QChar ch : QString::fromUtf8("\u00ef\u00ea\u00fe\u20ac\u4e2d")) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(box, &press);
    }
    QCOMPARE(box->text() + '|' + b.text("lblTxData"), QString::fromUtf8("\u4e2d|3F "));
    QTRY_COMPARE(b.pty.received().toHex(), "414242efeafe803f");

    // Keys that make no character leave the box and send nothing.
    for (const Qt::Key key : {Qt::Key_Shift, Qt::Key_Left, Qt::Key_Tab, Qt::Key_Delete, Qt::Key_F1})
        QTest::keyClick(box, key);
    box->setFocus();
    QCOMPARE(box->text(), QString::fromUtf8("\u4e2d"));

    // A dead key or an input method commits characters instead of pressing keys: each goes
    // out like a typed key, in order, and the box shows the last; a control character sends
    // nothing and empties the box. A paste into the empty box is a character that appears too.
    b.pty.clearReceived();
    QInputMethodEvent deadKey(QString::fromUtf8("\u00b4"), {});
    QApplication::sendEvent(box, &deadKey);
    const QStringList commits {"\u00e9", "^", "\u00e0\u00e9", "x\r", "\u4e2d"};
    QStringList shown;
    for (const QString &commit : commits) {
        QInputMethodEvent input;
        input.setCommitString(commit);
        QApplication::sendEvent(box, &input);
        shown << box->text();
    }
    QCOMPARE(shown.join('|'), QString::fromUtf8("\u00e9|^|\u00e9||\u4e2d"));
    QTest::keyClick(box, Qt::Key_Return);
    QGuiApplication::clipboard()->setText("Zed");
    box->paste();
    QCOMPARE(box->text() + '|' + b.text("lblTxData"), "Z|5A ");
    QTRY_COMPARE(b.pty.received().toHex(), "e95ee0e9783f5a");
}

void tst_drive::moduleSession()
{
    LcdBus bus({100});
    LcdModule &lcd = *bus.moduleByAddress(100);
    lcd.storeText(2, "Stored text two");
    MainBench b(&bus);
    b.select("100");
    QVERIFY(b.enabled("Frame3"));
    auto *box = b.get<QLineEdit>("txtASCIIInput");
    box->setFocus();
    b.click("cmdCtrl_2");
    QTest::keyClicks(box, "Hello");
    b.press("cmdCurPos", "cboRow=1,cboColumn=3");
    QTest::keyClicks(box, "XY");
    b.press("cmdSetCursor", "cboCursor=Blinking");
    b.press("cmdPT", "cboPT=2,cboRow1=3");
    b.click("cmdCC_4");
    b.press("cmdout1", "cboOutput=6,cboSta=ON");
    b.click("cmdBLFlash");
    QTRY_COMPARE(lcd.backlight(), LcdModule::BacklightFlashing);
    QCOMPARE(lcd.row(0) + '|' + lcd.row(1) + '|' + lcd.row(3),
             QByteArray("Hello               |   XY\x04              |Stored text two     "));
    QCOMPARE(lcd.outputs(), quint8(0x40));
    QCOMPARE(lcd.cursorType(), LcdModule::Blinking);

    // Clear Row and Clear Column do what they say, and leave the cursor where they started.
    b.press("cmdClrRow", "cboRow=3");
    b.press("cmdClrCol", "cboRow=0,cboColumn=1");
    b.click("cmdOut_0");
    QTRY_COMPARE(lcd.outputs(), quint8(0xFF));
    QCOMPARE(lcd.row(0) + '|' + lcd.row(1) + '|' + lcd.row(3),
             QByteArray("H llo               |   XY\x04              |") + QByteArray(20, ' '));
    QTest::keyClicks(box, "e");
    QTRY_COMPARE(lcd.row(0), QByteArray("Hello               "));

    // Disconnected, the command panel keeps its state, but its commands are refused.
    b.click("cmdConnect");
    QVERIFY(b.enabled("Frame3"));
    b.click("cmdCtrl_2");
    QTest::keyClicks(box, "x");
    QCOMPARE(b.text("lblTxData") + '|' + b.text("StatusPanel2"),
             "65 |Nothing sent: the port is closed");
}

void tst_drive::clickDuringWait()
{
    LcdBus bus({100, 105});
    MainBench b(&bus);
    b.get<QGroupBox>("Frame3")->setEnabled(true);

    // A command clicked during the selection's wait goes out inside it.
    QTimer::singleShot(30, this, [&] { b.click("cmdBackLight_1"); });
    b.select("100");
    QCOMPARE(b.pty.received(), QByteArray::fromHex("ef64fe07"));
    QCOMPARE(b.text("StatusPanel1"), "Device 100 Connected");
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
    QCOMPARE(b.text("StatusPanel1"), "Device 105 Connected");
    QVERIFY(bus.moduleByAddress(105)->isSelected());
    QVERIFY(b.pty.received().endsWith(QByteArray::fromHex("ef64ef69")));

    // Selections nested until no wait may start: the one beyond is refused, and says so.
    b.pty.clearReceived();
    int clicks = 0;
    std::function<void()> clickAgain = [&] {
        if (++clicks <= TickTimer::MaxNesting + 1) {
            QTimer::singleShot(0, this, clickAgain);
            b.select("100");
        }
    };
    clickAgain();
    QCOMPARE(b.text("StatusPanel2"), "Nothing sent: too many waits running; try again");
    QTRY_COMPARE(b.pty.received(), QByteArray::fromHex("ef64").repeated(TickTimer::MaxNesting));
}

QTEST_MAIN(tst_drive)
#include "tst_drive.moc"
