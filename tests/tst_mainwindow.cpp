// The main window against virtual modules on a real pty: start-up from the settings file, the
// devices behind the port numbers, connect and disconnect with every refusal, replies in and the
// tick wait, selection, every control of the command panel, typed keys, "Find Modules".
#include "bench.h"
#include "link/portlink.h"
#include "link/portmap.h"
#include "link/ticktimer.h"

#include <QClipboard>
#include <QInputMethodEvent>
#include <QListWidget>
#include <QMenuBar>
#include <QSerialPort>
#include <QToolTip>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Bench;

class tst_mainwindow : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { removeSettings(); }
    void startup();
    void connectAndDisconnect();
    void receive();
    void selection();
    void commands();
    void typing();
    void findModules();
};

// The addresses of the modules that the bus has selected now.
static QString selectedModules(const LcdBus &bus)
{
    QStringList selected;
    for (int i = 0; i < bus.moduleCount(); ++i) {
        if (bus.module(i).isSelected())
            selected << QString::number(bus.module(i).address());
    }
    return selected.join(' ');
}

void tst_mainwindow::startup()
{
    // CommPort Setting UID ("-" empty, "~" no such key, "none" no settings file), then the
    // lists' texts ("-" nothing selected) and DeviceAddress.
    const QString table = R"(
        1     9600,n,8,1  100   COM1   9600  100  100
        3     4800,n,8,1  132   COM3   4800  132  132
        20    9600        105   COM20  9600  105  105
        0     960         99    -      4800  -    99
        2     -           -     COM2   4800  100  100
        x3    9600,n,8,1  abc   COM1   9600  100  100
        21    9600,n,8,1  133   COM1   9600  100  100
        -1    9600,n,8,1  98    COM1   9600  100  100
        -     ~           356   COM1   4800  100  100
        ~     9600,n,8,1  ~     COM1   9600  100  100
        none  none        none  COM1   4800  100  100)";
    for (const QStringList &c : rows(table)) {
        const auto value
            = [&](int i) { return QString(c[i]).remove(QRegularExpression("^([-~]|none)$")); };
        const auto key = [&](const char *name, int i) {
            return c[i] == "~" ? QByteArray() : name + ('=' + value(i).toLatin1()) + "\r\n";
        };
        if (c[0] == "none")
            removeSettings();
        else
            writeSettings("[Settings]\r\n" + key("CommPort", 0) + key("Setting", 1) + "[LCD]\r\n"
                          + key("UID", 2));
        Windows w;
        QStringList seen = c.mid(0, 3) << "->";
        for (const char *list : {"cboComm", "cboBaud", "cboAddr"})
            seen << w.get<QComboBox>(list)->currentText().replace(QRegularExpression("^$"), "-");
        QCOMPARE(seen.join(' ') + ' ' + QString::number(w.vars.DeviceAddress) + ' '
                     + w.vars.CommPortText + '|' + w.vars.PortSettings,
                 (c.mid(0, 3) << "->" << c.mid(3)).join(' ') + ' ' + value(0) + '|' + value(1));
    }

    // Without a file (the last row): everything closed and empty, every control explained, the
    // menu in its order, and the menu bar showing its command's tooltip.
    Windows w;
    QCOMPARE(w.state() + ' ' + w.main->windowTitle() + " |" + w.text("lblTxData")
                 + w.text("lblRxData") + w.text("StatusPanel1") + '|' + w.text("StatusPanel2"),
             "Connect select=0 cfg=0 commands=0 Tessaline 20x4 Chars RS485 LCD ||Port closed");
    QCOMPARE(withoutToolTip(w.main.get()), QStringList());
    auto *bar = w.get<QMenuBar>("menubar");
    QStringList menu;
    for (const QAction *action : bar->actions())
        menu << action->text();
    QCOMPARE(menu.join('|'), "Configure LCD|Bus Log|Find Modules");
    w.main->show();
    const QPoint at = bar->actionGeometry(bar->actions().first()).center();
    QHelpEvent help(QEvent::ToolTip, at, bar->mapToGlobal(at));
    QApplication::sendEvent(bar, &help);
    QVERIFY(QToolTip::text().startsWith("Takes over the port of the main window"));
}

void tst_mainwindow::connectAndDisconnect()
{
    Windows w({100});
    SimPort other;
    QVERIFY(other.open(9, QString(), SimPort::Existing::Replace));
    const QString ports = PortMap::portsFolder(), device = w.pty.slavePath();
    const QByteArray slave = QFile::encodeName(device);
    const auto place = [&](QString text) {
        return text.replace("<dev>", device)
            .replace("<other>", other.slavePath())
            .replace("<ports>", ports);
    };
    // A number opens its ports/ link, else its [Ports] entry ("-" none), else /dev/ttyS(n-1):
    // the device its item's tooltip names, and what the tooltip says of it ("*" whatever).
    const QString devices = R"(
        2  -          <other>  <other>       pseudo terminal
        3  <dev>      <other>  <dev>         pseudo terminal
        4  -          ttyNone  /dev/ttyNone  no such device
        6  -          -        /dev/ttyS5    *
        7  <ports>no  <other>  <ports>no     no such device)";
    QByteArray ini = "[Ports]\r\n";
    for (const QStringList &c : rows(devices)) {
        QFile::remove(ports + "COM" + c[0]);
        QVERIFY(c[1] == "-" || QFile::link(place(c[1]), ports + "COM" + c[0]));
        if (c[2] != "-")
            ini += "COM" + c[0].toLatin1() + '=' + QFile::encodeName(place(c[2])) + "\r\n";
    }
    writeSettings(ini);
    const auto tip = [&](int n) {
        return w.get<QComboBox>("cboComm")->itemData(n - 1, Qt::ToolTipRole).toString();
    };
    for (const QStringList &c : rows(devices)) {
        const QString said = c.mid(4).join(' ');
        QVERIFY2(tip(c[0].toInt()).startsWith(place(c[3]) + " \u2014 ")
                     && (said == "*" || tip(c[0].toInt()).endsWith(said)),
                 qPrintable(tip(c[0].toInt())));
    }

    // What stands before the steps: another port of this program holds the device ("held"), a
    // process has it as its controlling terminal ("ctty"), the user may not open it ("denied"),
    // the configuration window closes ("cfgclose"). Then the steps, and what follows: a message
    // box ("!"), CommPortText and PortSettings, state() without its names, the second panel.
    const QString table = R"(
    -        | cboBaud=4800,cmdConnect               |   | 1 4800,n,8,1 | Disconnect 1 1 0 | COM1 4800,n,8,1 on <dev>
    -        | cboAddr=100,cmdSelect,cmdConnect      |   | 1 4800,n,8,1 | Connect 0 0 1 | Port closed
    -        | cboComm=COM7,cboBaud=9600,cmdConnect  | ! | 7 9600,n,8,1 | Connect 0 0 1 | Port closed
    -        | cboComm=COM1,cboBaud=fast,cmdConnect  | ! | 7 9600,n,8,1 | Connect 0 0 1 | Port closed
    -        | cboComm=COM99,cboBaud=4800,cmdConnect | ! | 0 4800,n,8,1 | Connect 0 0 1 | Port closed
    held     | cboComm=COM1,cmdConnect               | ! | 1 4800,n,8,1 | Connect 0 0 1 | Port closed
    held     | cboComm=COM3,cmdConnect               | ! | 3 4800,n,8,1 | Connect 0 0 1 | Port closed
    ctty     | cboComm=COM1,cmdConnect               | ! | 1 4800,n,8,1 | Connect 0 0 1 | <dev> is the terminal of tst_mainwindow (process <pid>), not a module
    denied   | cmdConnect                            | ! | 1 4800,n,8,1 | Connect 0 0 1 | <dev>: permission denied — add your user to the group dialout
    -        | cmdConnect,mnuCfg                     |   | 1 4800,n,8,1 | Connect 0 0 1 | COM1 handed to Configure LCD
    -        | cmdConnect                            | ! | 1 4800,n,8,1 | Connect 0 0 1 | COM1 is held by the Configure LCD window
    cfgclose | -                                     |   | 1 4800,n,8,1 | Connect 0 0 1 | COM1 free to connect again
    -        | cboComm=COM2,cmdConnect               |   | 2 4800,n,8,1 | Disconnect 1 1 1 | COM2 4800,n,8,1 on <other>
    -        | cmdConnect,cboComm=COM3,cmdConnect,cboAddr=100,cmdSelect | | 3 4800,n,8,1 | Disconnect 1 1 1 | COM3 4800,n,8,1 on <dev>)";
    for (const QStringList &c : rows(table)) {
        std::unique_ptr<CommPort> held;
        pid_t owner = 0;
        struct stat before;
        if (c[0] == "held") {
            held = std::make_unique<CommPort>();
            held->setCommPort(1);
            QVERIFY(held->setSettings("9600,n,8,1") && held->open());
        } else if (c[0] == "ctty" && (owner = ::fork()) == 0) { // a session of its own
            ::setsid();
            ::open(slave.constData(), O_RDWR); // its controlling terminal from now on
            for (;;)
                ::pause();
        } else if (c[0] == "denied") { // for the steps the test is nobody; root opens anything
            const group *dialout = ::getgrnam("dialout");
            QVERIFY(dialout && ::stat(slave.constData(), &before) == 0);
            QVERIFY(::chown(slave.constData(), 0, dialout->gr_gid) == 0);
            QVERIFY(::chmod(slave.constData(), 0660) == 0 && ::seteuid(65534) == 0);
        } else if (c[0] == "cfgclose") {
            QVERIFY(w.cfg() && w.cfg()->close());
        }
        if (owner)
            QTRY_VERIFY(
                tip(1).contains(QString("the terminal of tst_mainwindow (process %1)").arg(owner)));
        MessageBoxCatcher boxes;
        if (c[1] != "-")
            w.act(c[1]);
        if (c[0] == "denied") {
            QVERIFY(::seteuid(0) == 0);
            QVERIFY(::chown(slave.constData(), before.st_uid, before.st_gid) == 0);
            QVERIFY(::chmod(slave.constData(), before.st_mode & 07777) == 0);
        }
        if (owner)
            QVERIFY(::kill(owner, SIGKILL) == 0 && ::waitpid(owner, nullptr, 0) == owner);
        const QString seen
            = QStringList {(boxes.titles + boxes.texts).join(": "),
                           w.vars.CommPortText + ' ' + w.vars.PortSettings,
                           w.state().remove(QRegularExpression("\\w+=")), w.text("StatusPanel2")}
                  .join(" | ");
        QCOMPARE(c[0] + ' ' + c[1] + " -> " + seen,
                 c[0] + ' ' + c[1] + " -> "
                     + place(c.mid(2).join(" | "))
                           .replace("<pid>", QString::number(owner))
                           .replace("!", "TessalineApp: SELECTED PORT NOT AVAILABLE!"));
    }
    // The first panel kept what the selection said; nothing reached the line but the two
    // selections and the one of the configuration window at its opening.
    QCOMPARE(w.text("StatusPanel1"), "Device 100 Connected");
    QCOMPARE(tip(3), device + " \u2014 pseudo terminal, open in this program");
    QTRY_COMPARE(w.pty.received().toHex(), "ef64ef64ef64");
    for (const QStringList &c : rows(devices))
        QFile::remove(ports + "COM" + c[0]);
}

// Chunks written one by one ("," apart) with an address selected: the received trace after them
// and the reply flag, set exactly when the trace shows a reply. Then a wait.
void tst_mainwindow::receive()
{
    const QString table = R"(
        ee64       100  EE 64
        ee6407     100  EE 64
        ee65       100
        ee69       105  EE 69
        ee64,ee64  100  EE 64 EE 64
        00ee64     100
        ee,64      100  EE 64)";
    for (const QStringList &c : rows(table)) {
        Windows w;
        w.connect();
        w.vars.DeviceAddress = quint8(c[1].toInt());
        auto *serial = w.main->MSComm1().findChild<QSerialPort *>();
        QSignalSpy blocks(&w.main->MSComm1(), &CommPort::received);
        int pending = 0, handled = 0;
        for (const QString &chunk : c[0].split(',')) {
            QVERIFY(w.pty.write(QByteArray::fromHex(chunk.toLatin1())));
            if ((pending += chunk.size() / 2) < 2) { // below the threshold: waits unread
                QTRY_COMPARE(serial->bytesAvailable(), qint64(pending));
                continue;
            }
            pending = 0;
            ++handled;
            QTRY_COMPARE(blocks.count(), handled);
        }
        const QString trace = c.mid(2).join(' ');
        QCOMPARE(c[0] + ": " + w.text("lblRxData") + (w.vars.ReplyReceived ? "flag" : ""),
                 c[0] + ": " + (trace.isEmpty() ? "" : trace + " flag"));
    }

    // A reply as the wait starts is handled inside it; the wait still counts its ten ticks from
    // zero, and its timer stops with it.
    Windows w;
    w.connect();
    w.vars.DeviceAddress = 100;
    w.vars.TickCount = 20; // as another window's wait may leave it
    QTimer::singleShot(0, [&] { w.pty.write(QByteArray::fromHex("ee64")); });
    w.main->WaitTicks(10);
    QCOMPARE(QString("%1 %2 %3")
                 .arg(w.vars.ReplyReceived)
                 .arg(w.vars.TickCount)
                 .arg(w.main->findChild<PortLink *>()->timer().isActive()),
             "1 10 0");
}

void tst_mainwindow::selection()
{
    Windows w({100, 105});
    w.connect();
    QObject hook; // the test answers a selection of 120 with 105's reply, which is none
    connect(&w.pty, &SimPort::chunkReceived, &hook, [&] {
        if (w.pty.received().endsWith("\xef\x78"))
            w.pty.write("\xee\x69");
    });
    // Steps; steps done during their wait; then the bytes at the master, the first status panel,
    // both traces, the command panel, the modules selected.
    const QString table = R"(
    cboAddr=105,cmdSelect | -                     | ef69     | Device 105 Connected | EF 69 | EE 69 | 1 | 105
    cboAddr=120,cmdSelect | -                     | ef78     | Device Not Found     | EF 78 |       | 1 |
    cmdDeselect           | -                     | ea       | No Response          | EA    |       | 1 |
    cboAddr=10,cmdSelect  | -                     | ef63     | Device Not Found     | EF 63 |       | 1 |
    cboAddr=100,cmdSelect | cboAddr=105,cmdSelect | ef64ef69 | Device 105 Connected | EF 69 | EE 69 | 1 | 105
    cmdDeselect           | cmdBackLight_1        | eafe07   | Disconnected         | FE 07 |       | 0 |
    cmdDeselect           | -                     | ea       | Disconnected         | EA    |       | 0 |
    cboAddr=132,cmdSelect | -                     | ef84     | Device Not Found     | EF 84 |       | 0 |
    cboAddr=100,cmdSelect | -                     | ef64     | Device 100 Connected | EF 64 | EE 64 | 1 | 100)";
    for (const QStringList &c : rows(table)) {
        w.pty.clearReceived();
        if (c[1] != "-")
            QTimer::singleShot(30, &hook, [&w, inner = c[1]] { w.act(inner); });
        w.act(c[0]);
        QTRY_COMPARE(w.pty.received().toHex(), c[2].toLatin1());
        const QString seen
            = QStringList {w.text("StatusPanel1"), w.text("lblTxData").trimmed(),
                           w.text("lblRxData").trimmed(), QString::number(w.enabled("Frame3")),
                           selectedModules(w.bus)}
                  .join(" | ");
        QCOMPARE(c.mid(0, 2).join(' ') + " -> " + seen,
                 c.mid(0, 2).join(' ') + " -> " + c.mid(3).join(" | "));
    }

    // Selections nested until no wait may start, eight deep: the one beyond is refused, and
    // says so.
    w.pty.clearReceived();
    int clicks = 0;
    std::function<void()> clickAgain = [&] {
        if (++clicks <= 9) {
            QTimer::singleShot(0, this, clickAgain);
            w.select(100);
        }
    };
    clickAgain();
    QCOMPARE(w.text("StatusPanel2"), "Nothing sent: too many waits running; try again");
    QTRY_COMPARE(w.pty.received(), QByteArray::fromHex("ef64").repeated(8));
}

// Each control's frame at the master and in the transmit trace; a list whose text names no item
// sends nothing, leaves the traces and says so in the second status panel until the next frame.
void tst_mainwindow::commands()
{
    // Steps ("_" a blank), then the frame's bytes, or "!" and the second panel's reason.
    const QString table = R"(
        cmdCtrl_0                          | 0b
        cmdCtrl_1                          | 0c
        cmdCtrl_2                          | 0d
        cmdSetCursor                       | fe01
        cboCursor=Hidden,cmdSetCursor      | fe03
        cboCursor=Big,cmdSetCursor         | !"Big" is not in the list
        cboRow=2,cboColumn=19,cmdCurPos    | fe320213
        cboRow=4,cboColumn=1,cmdCurPos     | !"4" is not in the list
        cboColumn=20,cmdCurPos             | !"20" is not in the list
        cboRow=1,cboColumn=7,cmdClrRow     | fe320100 2020202020202020202020202020202020202020 fe320100
        cboRow=x,cmdClrRow                 | !"x" is not in the list
        cboRow=2,cboColumn=5,cmdClrCol     | fe32000520 fe32010520 fe32020520 fe32030520 fe320205
        cboColumn=,cmdClrCol               | !"" is not in the list
        cmdBackLight_0                     | fe06
        cmdBackLight_1                     | fe07
        cmdBLFlash                         | fe0b
        cmdLoadCC                          | fe08
        cmdCC_0                            | 00
        cmdCC_7                            | 07
        cmdPT                              | fe346500
        cboPT=8,cboRow1=3,cmdPT            | fe346c03
        cboPT=9,cmdPT                      | !"9" is not in the list
        cboRow1=_1,cmdPT                   | !" 1" is not in the list
        cmdOut_0                           | fe0c
        cmdOut_1                           | fe0d
        cmdout1                            | fe330048
        cboOutput=5,cboSta=OFF,cmdout1     | fe330549
        cboOutput=7,cboSta=ON,cmdout1      | fe330748
        cboSta=on,cmdout1                  | !"on" is not in the list
        cboOutput=8,cmdout1                | !"8" is not in the list
        cmdConnect,cmdCtrl_2               | !the port is closed)";
    for (const QStringList &c : rows(table)) {
        Windows w;
        w.connect();
        w.get("Frame3")->setEnabled(true); // as after an answered selection
        w.get<QLabel>("lblTxData")->setText("before");
        w.get<QLabel>("lblRxData")->setText("EE 64 ");
        w.act(c[0]);
        const bool refused = c[1].startsWith('!');
        const QString open = "COM1 9600,n,8,1 on " + w.pty.slavePath();
        const QByteArray frame = QByteArray::fromHex(c[1].toLatin1());
        QCOMPARE(c[0] + " -> " + w.text("lblTxData") + '|' + w.text("lblRxData") + '|'
                     + w.text("StatusPanel2"),
                 c[0] + " -> "
                     + (refused ? "before|EE 64 |Nothing sent: " + c[1].mid(1)
                                : frame.toHex(' ').toUpper() + " ||" + open));
        if (refused) { // nothing on the line: a later frame arrives alone, and ends the message
            w.act(w.main->MSComm1().isOpen() ? "cmdBLFlash" : "cmdConnect,cmdBLFlash");
            QCOMPARE(w.text("StatusPanel2"), open);
        }
        QTRY_COMPARE(w.pty.received().toHex(), refused ? "fe0b" : frame.toHex());
    }
}

// Typed keys and input-method commits at the "Send Text" box: each character goes out as it
// arrives, in the code page; the box shows the last one.
void tst_mainwindow::typing()
{
    Windows w;
    w.connect();
    w.main->show();
    w.main->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.main.get()));
    // A list takes typed text as it is: no completion to an item that starts alike, no item
    // added on Return.
    auto *list = w.get<QComboBox>("cboAddr");
    list->setFocus();
    list->lineEdit()->clear();
    QTest::keyClicks(list->lineEdit(), "10");
    QTest::keyClick(list->lineEdit(), Qt::Key_Return);
    QCOMPARE(list->currentText() + ' ' + QString::number(list->count()), "10 33");

    w.get("Frame3")->setEnabled(true);
    auto *box = w.get<QLineEdit>("txtASCIIInput");
    box->setFocus();
    // A key with its text ("key"), a key that makes no character ("code", its Qt::Key name), an
    // input method's commit, a paste; the box afterwards ("-" empty), the bytes sent. Codes that
    // also open frames go out unchanged, a character the code page lacks as "?".
    const QString table = R"(
        key     A          A   41
        key     B          B   42
        code    Return     -
        key     B          B   42
        code    Backspace  -
        key     ïêþ€中     中  efeafe803f
        code    Shift      中
        code    Left       中
        code    Tab        中
        code    Delete     中
        code    F1         中
        commit  é          é   e9
        commit  ^          ^   5e
        commit  àé         é   e0e9
        commit  中         中  3f
        code    Return     -
        paste   Zed        Z   5a)";
    QByteArray sent;
    for (const QStringList &c : rows(table)) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, c[1]);
        QInputMethodEvent input;
        input.setCommitString(c[1]);
        QGuiApplication::clipboard()->setText(c[1]);
        if (c[0] == "code")
            QTest::keyClick(
                box, Qt::Key(QMetaEnum::fromType<Qt::Key>().keyToValue(qPrintable("Key_" + c[1]))));
        else if (c[0] == "paste")
            box->paste();
        else
            QApplication::sendEvent(box, c[0] == "key" ? static_cast<QEvent *>(&press) : &input);
        sent += c.value(3).toLatin1();
        QCOMPARE(c.join(' ') + " -> " + (box->text().isEmpty() ? "-" : box->text()),
                 c.join(' ') + " -> " + c[2]);
        QTRY_COMPARE(w.pty.received().toHex(), sent);
    }
}

void tst_mainwindow::findModules()
{
    // Modules on the bus; selections before ("-" a deselection); what happens while an address
    // is tried (a click on "Select Device" through the window system, a cancel, a pulled cable);
    // the addresses found; the closing exchange; the status then; an address chosen afterwards.
    // 99, 133 and 255 lie outside the range; two modules at one address count once.
    const QString table = R"(
    99 100 105 132 133 255 | 105     | click 101  | 100 105 132 | ef69 | Device 105 Connected | 132
    100 105 132            | 105     | cancel 103 | 100         | ef69 | Device 105 Connected | 100
    105                    | 105 107 | cancel 105 | 105         | ea   | No Response          | 0
    105 105                | 105 -   | cancel 106 | 105         | ea   | Disconnected         | 0
                           |         | cancel 100 |             | ea   | No Response          | 0
    100 105 132            | 105     | pull 110   | 100 105     |      |                      | 0)";
    const QByteArray settings = "[Settings]\r\nCommPort=1\r\n; kept\r\n[LCD]\r\nUID=100\r\n";
    for (const QStringList &c : rows(table)) {
        writeSettings(settings);
        QList<quint8> modules;
        for (const QString &a : c[0].split(' ', Qt::SkipEmptyParts))
            modules << quint8(a.toInt());
        Windows w(modules);
        w.connect();
        for (const QString &step : c[1].split(' ', Qt::SkipEmptyParts))
            w.act(step == "-" ? "cmdDeselect" : "cboAddr=" + step + ",cmdSelect");
        const QString before = w.get<QComboBox>("cboAddr")->currentText();
        const bool commands = w.enabled("Frame3");
        w.pty.clearReceived();
        w.main->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.main.get()));

        const QString action = c[2].section(' ', 0, 0);
        const int stopAt = c[2].section(' ', 1).toInt();
        QSignalSpy lost(w.main->findChild<PortLink *>(), &PortLink::lost);
        const auto dialog = [&] { return w.main->findChild<QDialog *>("frmFind"); };
        QObject hooks;
        connect(&w.pty, &SimPort::chunkReceived, &hooks, [&] {
            if (!w.pty.received().endsWith("\xef" + QByteArray(1, char(stopAt))))
                return;
            QVERIFY(dialog() && dialog()->isModal() && dialog()->isVisible());
            auto *button = w.get("cmdSelect"); // blocked by the dialog: nothing sent
            if (action == "click")
                QTest::mouseClick(w.main->windowHandle(), Qt::LeftButton, {},
                                  button->mapTo(w.main.get(), button->rect().center()));
            else if (action == "pull")
                w.pty.closeMaster();
            else
                w.act("cmdCancel");
        });
        w.act("mnuFind");

        // SelectDevice for each address tried, in order, then the closing exchange alone.
        QByteArray sent;
        for (int a = 100; a <= (action == "click" ? 132 : stopAt); ++a)
            sent += "\xef" + QByteArray(1, char(a));
        QTRY_COMPARE(w.pty.received().toHex(), sent.toHex() + c[4].toLatin1());
        if (action == "pull") { // the loss told, the dialog gone, the window closed
            QCOMPARE(lost.count(), 1);
            QTRY_VERIFY(!dialog());
            QCOMPARE(w.state() + QString::number(w.get<QAction>("mnuFind")->isEnabled()),
                     "Connect select=0 cfg=0 commands=10");
            continue;
        }

        // What answered; the module followed before selected again, or none; the main window's
        // state, its address list and the settings file as they were.
        auto *list = child<QListWidget>(dialog(), "lstFound");
        QStringList found;
        for (int i = 0; i < list->count(); ++i)
            found << list->item(i)->text();
        QCOMPARE(QStringList({found.join(' '), selectedModules(w.bus), w.text("StatusPanel1"),
                              w.text("lblTxData"), w.get<QComboBox>("cboAddr")->currentText(),
                              QString::number(w.enabled("Frame3"))})
                     .join(" | "),
                 QStringList({c[3], c[4] == "ef69" ? "105" : "", c[5],
                              QByteArray::fromHex(c[4].toLatin1()).toHex(' ').toUpper() + ' ',
                              before, QString::number(commands && c[5] != "Disconnected")})
                     .join(" | "));
        QCOMPARE(readSettings(), settings);
        if (c[6] == "0") {
            w.act("cmdCancel"); // "Close" now
            QTRY_VERIFY(!dialog());
            continue;
        }

        // A double-click on an address selects it through "Select Device".
        w.pty.clearReceived();
        const QPoint spot
            = list->visualItemRect(list->findItems(c[6], Qt::MatchExactly)[0]).center();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, spot);
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, spot);
        QTRY_COMPARE(w.text("StatusPanel1"), "Device " + c[6] + " Connected");
        QCOMPARE(w.get<QComboBox>("cboAddr")->currentText() + ' ' + selectedModules(w.bus),
                 c[6] + ' ' + c[6]);
        QCOMPARE(w.pty.received().toHex(), "ef" + QByteArray::number(c[6].toInt(), 16));
        QVERIFY(!dialog());
    }
}

QTEST_MAIN(tst_mainwindow)
#include "tst_mainwindow.moc"
