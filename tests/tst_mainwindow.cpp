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
    void selection();
    void commands();
    void typing();
    void findModules();
};

// The addresses of the modules that the bus has selected now.
static QString selectedModules(const LcdBus &bus)
{
    QStringList selected;
    for (int i = 0; i < bus.moduleCount(); ++i)
        selected << (bus.module(i).isSelected() ? QString::number(bus.module(i).address()) : "");
    return selected.join(' ').simplified();
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
        QStringList seen = c.mid(0, 3);
        for (const char *list : {"cboComm", "cboBaud", "cboAddr"})
            seen << w.get<QComboBox>(list)->currentText().replace(QRegularExpression("^$"), "-");
        QCOMPARE(seen.join(' ') + ' ' + QString::number(w.vars.DeviceAddress) + ' '
                     + w.vars.CommPortText + '|' + w.vars.PortSettings,
                 c.join(' ') + ' ' + value(0) + '|' + value(1));
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
    // A number opens its ports/ link, else its [Ports] entry ("-" none), else /dev/ttyS(n-1),
    // as its item's tooltip says with what the system knows of it ("*": whatever is there).
    const QString devices = R"(
        2  -          <other>  <other> — pseudo terminal
        3  <dev>      <other>  <dev> — pseudo terminal
        4  -          ttyNone  /dev/ttyNone — no such device
        6  -          -        /dev/ttyS5 — *
        7  <ports>no  <other>  <ports>no — no such device)";
    QByteArray ini = "[Ports]\r\n";
    for (const QStringList &c : rows(devices)) {
        QFile::remove(ports + "COM" + c[0]);
        QVERIFY(c[1] == "-" || QFile::link(place(c[1]), ports + "COM" + c[0]));
        ini += c[2] == "-" ? "" : "COM" + c[0].toLatin1() + '=' + place(c[2]).toUtf8() + "\r\n";
    }
    writeSettings(ini);
    const auto tip = [&](int n) {
        return w.get<QComboBox>("cboComm")->itemData(n - 1, Qt::ToolTipRole).toString();
    };
    QString tips, said;
    for (const QStringList &c : rows(devices)) {
        const QString tooltip = place(c.mid(3).join(' '));
        tips += tip(c[0].toInt()).left(tooltip.indexOf('*')) + '\n';
        said += QString(tooltip).remove('*') + '\n';
    }
    QCOMPARE(tips, said);

    // What stands before the steps: a process has the device as its controlling terminal
    // ("ctty"), the user may not open it ("denied"), the configuration window closes. Then the
    // steps, and what follows: a message box ("!"), CommPortText and PortSettings, state() without
    // its names, the second panel.
    const QString table = R"(
    -        | cboBaud=4800,cmdConnect               |   | 1 4800,n,8,1 | Disconnect 1 1 0 | COM1 4800,n,8,1 on <dev>
    -        | cboAddr=100,cmdSelect,cmdConnect      |   | 1 4800,n,8,1 | Connect 0 0 1 | Port closed
    -        | cboComm=COM7,cboBaud=9600,cmdConnect  | ! | 7 9600,n,8,1 | Connect 0 0 1 | Port closed
    -        | cboComm=COM1,cboBaud=fast,cmdConnect  | ! | 7 9600,n,8,1 | Connect 0 0 1 | Port closed
    -        | cboComm=COM99,cboBaud=4800,cmdConnect | ! | 0 4800,n,8,1 | Connect 0 0 1 | Port closed
    ctty     | cboComm=COM1,cmdConnect               | ! | 1 4800,n,8,1 | Connect 0 0 1 | <dev> is the terminal of sleep (process <pid>), not a module
    denied   | cmdConnect                            | ! | 1 4800,n,8,1 | Connect 0 0 1 | <dev>: permission denied — add your user to the group dialout
    -        | cmdConnect,mnuCfg                     |   | 1 4800,n,8,1 | Connect 0 0 1 | COM1 handed to Configure LCD
    -        | cmdConnect                            | ! | 1 4800,n,8,1 | Connect 0 0 1 | COM1 is held by the Configure LCD window
    -        | cboComm=COM3,cmdConnect               | ! | 3 4800,n,8,1 | Connect 0 0 1 | COM3 is held by the Configure LCD window
    close    | -                                     |   | 3 4800,n,8,1 | Connect 0 0 1 | COM1 free to connect again
    -        | cboComm=COM2,cmdConnect               |   | 2 4800,n,8,1 | Disconnect 1 1 1 | COM2 4800,n,8,1 on <other>
    -        | cmdConnect,cboComm=COM3,cmdConnect,cboAddr=100,cmdSelect | | 3 4800,n,8,1 | Disconnect 1 1 1 | COM3 4800,n,8,1 on <dev>)";
    for (const QStringList &c : rows(table)) {
        pid_t owner = 0;
        if (c[0] == "ctty" && (owner = ::fork()) == 0) { // a session of its own
            ::setsid();
            ::open(slave.constData(), O_RDWR); // its controlling terminal from now on
            ::execlp("sleep", "sleep", "60", nullptr); // a program of its own, also under Valgrind
            ::_exit(1);
        } else if (c[0] == "denied") { // for the steps the test is nobody; root opens anything
            const group *dialout = ::getgrnam("dialout");
            QVERIFY(dialout && ::chown(slave.constData(), 0, dialout->gr_gid) == 0);
            QVERIFY(::chmod(slave.constData(), 0660) == 0 && ::seteuid(65534) == 0);
        } else if (c[0] == "close") {
            QVERIFY(w.cfg() && w.cfg()->close());
        }
        if (owner)
            QTRY_VERIFY(tip(1).contains(QString("sleep (process %1)").arg(owner)));
        MessageBoxCatcher boxes;
        w.act(QString(c[1]).remove(QRegularExpression("^-$")));
        QVERIFY(::seteuid(0) == 0);
        QVERIFY(!owner || (::kill(owner, SIGKILL) == 0 && ::waitpid(owner, nullptr, 0) == owner));
        const QStringList seen {(boxes.titles + boxes.texts).join(": "),
                                w.vars.CommPortText + ' ' + w.vars.PortSettings,
                                w.state().remove(QRegularExpression("\\w+=")),
                                w.text("StatusPanel2")};
        QCOMPARE((c.mid(0, 2) + seen).join(" | "),
                 place(c.join(" | "))
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

// Selection and deselection against modules at 100 and 105, replies that the test writes for
// other addresses, and steps done during a wait.
void tst_mainwindow::selection()
{
    Windows w({100, 105});
    w.connect();
    // Steps; what happens during their wait (steps, or chunks of bytes that the test writes, 30 ms
    // apart); the bytes at the master, the first status panel, the received trace, the command
    // panel, the modules selected.
    const QString table = R"(
    cboAddr=105,cmdSelect | -                     | ef69     | Device 105 Connected | EE 69       | 1 | 105
    cboAddr=120,cmdSelect | ee69                  | ef78     | Device Not Found     |             | 1 |
    cmdDeselect           | -                     | ea       | No Response          |             | 1 |
    cboAddr=110,cmdSelect | ee6e07                | ef6e     | Device 110 Connected | EE 6E       | 1 |
    cboAddr=111,cmdSelect | ee6f,ee6f             | ef6f     | Device 111 Connected | EE 6F EE 6F | 1 |
    cboAddr=112,cmdSelect | ee,70                 | ef70     | Device 112 Connected | EE 70       | 1 |
    cboAddr=113,cmdSelect | 00ee71                | ef71     | Device Not Found     |             | 1 |
    cboAddr=10,cmdSelect  | -                     | ef63     | Device Not Found     |             | 1 |
    cboAddr=100,cmdSelect | cboAddr=105,cmdSelect | ef64ef69 | Device 105 Connected | EE 69       | 1 | 105
    cmdDeselect           | cmdBackLight_1        | eafe07   | Disconnected         |             | 0 |
    cmdDeselect           | -                     | ea       | Disconnected         |             | 0 |
    cboAddr=132,cmdSelect | -                     | ef84     | Device Not Found     |             | 0 |
    cboAddr=100,cmdSelect | -                     | ef64     | Device 100 Connected | EE 64       | 1 | 100)";
    QObject timers;
    for (const QStringList &c : rows(table)) {
        w.pty.clearReceived();
        const QStringList during = c[1].split(',');
        for (int i = 0; c[1] != "-" && i < during.size(); ++i) {
            QTimer::singleShot(30 * (i + 1), &timers, [&w, step = during[i]] {
                step.startsWith("c") ? w.act(step)
                                     : void(w.pty.write(QByteArray::fromHex(step.toLatin1())));
            });
        }
        w.act(c[0]);
        QTRY_COMPARE(w.pty.received().toHex(), c[2].toLatin1());
        const QStringList seen {w.text("StatusPanel1"), w.text("lblRxData").trimmed(),
                                QString::number(w.enabled("Frame3")), selectedModules(w.bus)};
        QCOMPARE((c.mid(0, 3) + seen).join(" | "), c.join(" | "));
    }
    // Each wait counted its ten ticks from zero, however early the reply came, then stopped.
    QCOMPARE(w.vars.TickCount, 10);
    QVERIFY(!w.main->findChild<PortLink *>()->timer().isActive());

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
    w.act("cboAddr=10"); // a list adds no item on Return
    QTest::keyClick(w.get<QComboBox>("cboAddr")->lineEdit(), Qt::Key_Return);
    QCOMPARE(w.get<QComboBox>("cboAddr")->count(), 33);
    w.get("Frame3")->setEnabled(true);
    auto *box = w.get<QLineEdit>("txtASCIIInput");
    // A key with its text ("key"), a key that makes no character ("code"), an
    // input method's commit, a paste; the box afterwards ("-" empty), the bytes sent. Codes that
    // also open frames go out unchanged, a character the code page lacks as "?", a control
    // character nothing.
    const QString table = R"(
        key     A          A   41
        code    Return     -
        key     B          B   42
        code    Backspace  -
        key     ïêþ€中     中  efeafe803f
        code    F1         中
        code    Tab        中
        code    Left       中
        code    Delete     中
        commit  é          é   e9
        commit  ^          ^   5e
        commit  àé         é   e0e9
        commit  x<DEL>     -   78
        commit  中         中  3f
        code    Return     -
        paste   Zed        Z   5a)";
    QByteArray sent;
    for (const QStringList &c : rows(table)) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, c[1]);
        QInputMethodEvent input;
        input.setCommitString(QString(c[1]).replace("<DEL>", "\x7f"));
        QGuiApplication::clipboard()->setText(c[1]);
        if (c[0] == "code")
            QTest::keyClick(box, QKeySequence(c[1])[0].key());
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
    // is tried (the dialog looked at, a cancel, a pulled cable); the addresses found; the closing
    // exchange; the status then; the modules selected and the command panel; an address chosen
    // afterwards. 99, 133 and 255 lie outside the range; two modules at one address count once.
    const QString table = R"(
    99 100 105 132 133 255 | 105     | look 101   | 100 105 132 | ef69 | Device 105 Connected | 105 1 | 132
    100 105 132            | 105     | cancel 103 | 100         | ef69 | Device 105 Connected | 105 1 | 100
    105                    | 105 107 | cancel 105 | 105         | ea   | No Response          | 1     | 0
    105 105                | 105 -   | cancel 106 | 105         | ea   | Disconnected         | 0     | 0
                           |         | cancel 100 |             | ea   | No Response          | 0     | 0
    100 105 132            | 105     | pull 110   | 100 105     |      |                      |       | 0)";
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
        w.pty.clearReceived();

        const QString action = c[2].section(' ', 0, 0);
        const int stopAt = c[2].section(' ', 1).toInt();
        QSignalSpy lost(w.main->findChild<PortLink *>(), &PortLink::lost);
        const auto dialog = [&] { return w.main->findChild<QDialog *>("frmFind"); };
        QObject hooks;
        connect(&w.pty, &SimPort::chunkReceived, &hooks, [&] {
            if (!w.pty.received().endsWith("\xef" + QByteArray(1, char(stopAt))))
                return;
            QVERIFY(dialog() && dialog()->isModal() && dialog()->isVisible());
            if (action == "pull")
                w.pty.closeMaster();
            else if (action == "cancel")
                w.act("cmdCancel");
        });
        w.act("mnuFind");

        // SelectDevice for each address tried, in order, then the closing exchange alone.
        QByteArray sent;
        for (int a = 100; a <= (action == "look" ? 132 : stopAt); ++a)
            sent += "\xef" + QByteArray(1, char(a));
        QTRY_COMPARE(w.pty.received().toHex(), sent.toHex() + c[4].toLatin1());
        if (action == "pull") { // the loss told, the dialog gone, the window closed
            QCOMPARE(lost.count(), 1);
            QTRY_VERIFY(!dialog());
            QCOMPARE(w.state() + QString::number(w.get<QAction>("mnuFind")->isEnabled()),
                     "Connect select=0 cfg=0 commands=10");
            continue;
        }

        // What answered; the module followed before selected again, or none; the command panel
        // and the settings file as they were.
        auto *list = child<QListWidget>(dialog(), "lstFound");
        QStringList found;
        for (int i = 0; i < list->count(); ++i)
            found << list->item(i)->text();
        const QStringList seen {
            found.join(' '), w.text("lblTxData").remove(' ').toLower(), w.text("StatusPanel1"),
            selectedModules(w.bus) + ' ' + QString::number(w.enabled("Frame3"))};
        QCOMPARE((c.mid(0, 3) + seen).join(" | ").simplified(),
                 c.mid(0, 7).join(" | ").simplified());
        QCOMPARE(readSettings(), settings);
        if (c[7] == "0") {
            w.act("cmdCancel"); // "Close" now
            QTRY_VERIFY(!dialog());
            continue;
        }

        // The address chosen is selected through "Select Device", and the dialog goes.
        w.pty.clearReceived();
        list->setCurrentRow(found.indexOf(c[7]));
        w.act("cmdChoose");
        QTRY_COMPARE(w.text("StatusPanel1") + ' ' + w.get<QComboBox>("cboAddr")->currentText() + ' '
                         + selectedModules(w.bus) + ' ' + w.pty.received().toHex() + ' '
                         + QString::number(!dialog()),
                     "Device " + c[7] + " Connected " + c[7] + ' ' + c[7] + " ef"
                         + QString::number(c[7].toInt(), 16) + " 1");
    }
}

QTEST_MAIN(tst_mainwindow)
#include "tst_mainwindow.moc"
