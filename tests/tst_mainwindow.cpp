// The main window on real widgets and a real pty: start-up from the settings file, connect and
// disconnect, the devices behind the port numbers, frames out with their trace, replies in, and
// the tick wait (waits nested by clicks: tst_cable).
#include "cfgsupport.h"
#include "display/frames.h"
#include "link/commport.h"
#include "link/portmap.h"
#include "shell/forms.h"

#include <QAbstractItemView>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLineEdit>
#include <QMenuBar>
#include <QSerialPort>
#include <QSignalSpy>
#include <QToolTip>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace TestSupport;

class tst_mainwindow : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { removeSettings(); }
    void startup();
    void typedOverLists();
    void connectAndDisconnect();
    void connectFailures();
    void portDevices();
    void sendFrame();
    void receive();
    void waitTicks();
};

void tst_mainwindow::startup()
{
    // CommPort Setting UID, then the lists' texts and DeviceAddress; "-" empty, "~" no such key.
    const QString table = R"(
        1   9600,n,8,1  100    COM1   9600  100  100
        3   4800,n,8,1  132    COM3   4800  132  132
        20  9600        105    COM20  9600  105  105
        0   960         99     -      4800  -    99
        2   -           -      COM2   4800  100  100
        x3  9600,n,8,1  abc    COM1   9600  100  100
        21  9600,n,8,1  133    COM1   9600  100  100
        -1  9600,n,8,1  98     COM1   9600  100  100
        -   ~           356    COM1   4800  100  100
        ~   9600,n,8,1  ~      COM1   9600  100  100)";
    const auto shown = [](MainBench &b) {
        QStringList seen;
        for (const char *list : {"cboComm", "cboBaud", "cboAddr"})
            seen << b.get<QComboBox>(list)->currentText();
        seen << QString::number(b.vars.DeviceAddress);
        return seen.replaceInStrings(QRegularExpression("^$"), "-").join(' ');
    };
    for (const QString &line : table.split('\n', Qt::SkipEmptyParts)) {
        const QStringList c = line.simplified().split(' ');
        const auto value = [&](int i) { return c[i] == "-" || c[i] == "~" ? QString() : c[i]; };
        const auto key = [&](const char *name, int i) {
            return c[i] == "~" ? QByteArray() : name + ('=' + value(i).toLatin1()) + "\r\n";
        };
        writeSettings("[Settings]\r\n" + key("CommPort", 0) + key("Setting", 1) + "[LCD]\r\n"
                      + key("UID", 2));
        MainBench b(nullptr, false);
        QCOMPARE(c.mid(0, 3).join(' ') + "  " + shown(b),
                 c.mid(0, 3).join(' ') + "  " + c.mid(3).join(' '));
        QCOMPARE(b.vars.CommPortText + '|' + b.vars.PortSettings, value(0) + '|' + value(1));
    }

    // An empty, a binary-garbage and a huge settings file: the fallbacks.
    QByteArray garbage, huge = "[Other]\r\n";
    for (quint32 i = 0, x = 12345; i < 100000; ++i)
        garbage.append(char((x = x * 1103515245u + 12345u) >> 16));
    while (huge.size() < 20 * 1024 * 1024)
        huge += "Key" + QByteArray::number(huge.size()) + "=some value that fills the file\r\n";
    for (const QByteArray &content : {QByteArray(), garbage, huge}) {
        writeSettings(content);
        MainBench b(nullptr, false);
        QCOMPARE(shown(b), "COM1 4800 100 100");
    }

    // Without a file: everything closed, no trace.
    removeSettings();
    MainBench b(nullptr, false);
    QCOMPARE(b.state(), "Connect select=0 cfg=0 commands=0");
    QCOMPARE(b.window->windowTitle(), "Tessaline 20x4 Chars RS485 LCD");
    QCOMPARE(b.text("lblTxData") + b.text("StatusPanel1") + b.text("StatusPanel2"), "Port closed");

    // Every control explains itself; the menu bar shows its command's tooltip.
    QCOMPARE(withoutToolTip(b.window.get()), QStringList());
    b.window->show();
    auto *bar = b.get<QMenuBar>("menubar");
    auto *cfg = b.get<QAction>("mnuCfg");
    const QPoint at = bar->actionGeometry(cfg).center();
    QHelpEvent help(QEvent::ToolTip, at, bar->mapToGlobal(at));
    QApplication::sendEvent(bar, &help);
    QVERIFY(cfg->toolTip().startsWith("Takes over the port of the main window"));
    QCOMPARE(QToolTip::text(), cfg->toolTip());
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
    QTest::keyClick(list->lineEdit(), Qt::Key_Return);
    QCOMPARE(list->currentText(), QStringLiteral("10"));
    QCOMPARE(listIndex(list), -1);
    QCOMPARE(list->count(), 33);

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

void tst_mainwindow::connectAndDisconnect()
{
    MainBench b(nullptr, false);
    b.set("cboBaud", "4800");
    b.get<QGroupBox>("Frame3")->setEnabled(true); // as after an answered selection
    b.click("cmdConnect");
    QCOMPARE(b.state(), "Disconnect select=1 cfg=1 commands=1");
    QCOMPARE(b.vars.CommPortText + ' ' + b.vars.PortSettings, "1 4800,n,8,1");
    QCOMPARE(b.text("StatusPanel2"), "COM1 4800,n,8,1 on " + b.pty.slavePath());
    QVERIFY(b.pty.received().isEmpty()); // connecting sends nothing

    b.window->setSelectionStatus("Device 100 Connected");
    b.click("cmdConnect");
    QCOMPARE(b.state(), "Connect select=0 cfg=0 commands=1"); // the command panel untouched
    QCOMPARE(b.text("StatusPanel1") + " / " + b.text("StatusPanel2"),
             "Device 100 Connected / Port closed");

    // "Configure LCD" takes the disconnect branch; the second panel says where the port went,
    // who holds it when Connect fails, and when it is free again.
    b.click("cmdConnect");
    b.get<QAction>("mnuCfg")->trigger();
    QVERIFY(!b.window->MSComm1().isOpen());
    QCOMPARE(b.state(), "Connect select=0 cfg=0 commands=1");
    QStringList said {b.text("StatusPanel2")};
    {
        MessageBoxCatcher boxes;
        b.click("cmdConnect");
        said << boxes.texts << b.text("StatusPanel2");
    }
    frmCfg *cfg = CfgSupport::cfgWindow();
    QVERIFY(cfg && cfg->close());
    said << b.text("StatusPanel2");
    QCOMPARE(
        said,
        (QStringList {"COM1 handed to Configure LCD", "SELECTED PORT NOT AVAILABLE!",
                      "COM1 is held by the Configure LCD window", "COM1 free to connect again"}));
    b.click("cmdConnect");
    QCOMPARE(b.text("StatusPanel2"), "COM1 4800,n,8,1 on " + b.pty.slavePath());
}

void tst_mainwindow::connectFailures()
{
    MainBench b(nullptr, false);
    // Each fails with the message; the values set before the open failed stay set.
    const auto connectFails = [&](const QString &lists, const QString &values) {
        MessageBoxCatcher boxes;
        b.press("cmdConnect", lists);
        QCOMPARE(boxes.titles + boxes.texts,
                 (QStringList {"TessalineApp", "SELECTED PORT NOT AVAILABLE!"}));
        QCOMPARE(b.state(), "Connect select=0 cfg=0 commands=0");
        QCOMPARE(b.vars.CommPortText + ' ' + b.vars.PortSettings, values);
    };
    // No device behind COM7; a rate the port rejects fails before anything is set; a typed port
    // names port 0: none.
    const QString dangling = SettingsFolder() + "ports/COM7";
    QFile::remove(dangling);
    QVERIFY(QFile::link(SettingsFolder() + "ports/no-such-device", dangling));
    connectFails("cboComm=COM7,cboBaud=9600", "7 9600,n,8,1");
    connectFails("cboComm=COM1,cboBaud=fast", "7 9600,n,8,1");
    connectFails("cboComm=COM99,cboBaud=4800", "0 4800,n,8,1");

    // The device held by another port of this program, also through a second name (COM3).
    const QString alias = SettingsFolder() + "ports/COM3";
    QFile::remove(alias);
    QVERIFY(QFile::link(b.pty.slavePath(), alias));
    CommPort other;
    QVERIFY(other.setSettings("9600,n,8,1"));
    other.setCommPort(1);
    QVERIFY(other.open());
    connectFails("cboComm=COM1", "1 4800,n,8,1");
    connectFails("cboComm=COM3", "3 4800,n,8,1");
    other.close();

    // Another program's terminal (a process in a session of its own that took it as its
    // controlling terminal) is never opened, by either window.
    posix_spawn_file_actions_t stdinFromPty;
    posix_spawn_file_actions_init(&stdinFromPty);
    const QByteArray slave = QFile::encodeName(b.pty.slavePath());
    posix_spawn_file_actions_addopen(&stdinFromPty, 0, slave.constData(), O_RDWR, 0);
    char *const argv[] = {const_cast<char *>("setsid"), const_cast<char *>("--ctty"),
                          const_cast<char *>("sleep"), const_cast<char *>("600"), nullptr};
    pid_t owner = 0;
    QCOMPARE(posix_spawnp(&owner, "setsid", &stdinFromPty, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&stdinFromPty);
    const auto running = [owner] {
        QFile comm(QString("/proc/%1/comm").arg(owner));
        return comm.open(QIODevice::ReadOnly) ? comm.readAll() : QByteArray();
    };
    QTRY_COMPARE(running(), "sleep\n"); // the terminal taken, then the program started
    connectFails("cboComm=COM1", "1 4800,n,8,1");
    QCOMPARE(b.text("StatusPanel2"),
             QString("%1 is the terminal of sleep (process %2), not a module")
                 .arg(b.pty.slavePath())
                 .arg(owner));
    {
        MessageBoxCatcher boxes;
        frmCfg cfg(b.vars);
        cfg.Display();
        QCOMPARE(boxes.texts, QStringList {"SELECTED PORT NOT AVAILABLE!"});
        QVERIFY(!cfg.MSComm1().isOpen());
        cfg.close();
    }
    QCOMPARE(::kill(owner, SIGKILL), 0);
    QCOMPARE(::waitpid(owner, nullptr, 0), owner);

    // A device that this user may not read and write: the message, and a line on how to get
    // access. The test drops its effective user for the attempt; root may open anything.
    struct stat before;
    const group *dialout = ::getgrnam("dialout");
    QVERIFY(dialout && ::stat(slave.constData(), &before) == 0);
    QVERIFY(::chown(slave.constData(), 0, dialout->gr_gid) == 0);
    QVERIFY(::chmod(slave.constData(), 0660) == 0);
    QVERIFY(::seteuid(65534) == 0);
    connectFails("cboComm=COM1", "1 4800,n,8,1");
    QVERIFY(::seteuid(0) == 0);
    QCOMPARE(b.text("StatusPanel2"),
             b.pty.slavePath() + ": permission denied \u2014 add your user to the group dialout");
    QVERIFY(::chown(slave.constData(), before.st_uid, before.st_gid) == 0);
    QVERIFY(::chmod(slave.constData(), before.st_mode & 07777) == 0);

    // Each time nothing reached the line: the frame of the first selection comes first.
    b.click("cmdConnect");
    b.select("100");
    QTRY_COMPARE(b.pty.received(), Frames::SelectDevice(100));
    b.click("cmdConnect");
    b.press("cmdConnect", "cboComm=COM3"); // COM3 now free
    QCOMPARE(b.state(), "Disconnect select=1 cfg=1 commands=0");
    QFile::remove(alias);
}

// A port number opens its ports/ link, else the settings file's [Ports] entry, else
// /dev/ttyS(n-1); each item of the port list tells the device and what the system knows of it,
// and the second status panel names the device of the open port.
void tst_mainwindow::portDevices()
{
    MainBench b(nullptr, false);
    SimPort other;
    QVERIFY(other.open(9, QString(), SimPort::Existing::Replace));
    // Port; its ports/ entry and its [Ports] entry ("-" none, "bus" the main bench's pty, "other"
    // a second pty, "nowhere" a link that leads nowhere); the device it opens; what its tooltip
    // says of it ("*": whatever the machine has there).
    const QString table = R"(
        2  bus      other    bus                     pseudo terminal
        3  -        other    other                   pseudo terminal
        4  -        ttyNone  /dev/ttyNone            no such device
        5  nowhere  other    <ports>no-such-device   no such device
        6  -        -        /dev/ttyS5              *)";
    const QString folder = PortMap::portsFolder();
    const auto path = [&](QString name) {
        return name == "bus"    ? b.pty.slavePath()
            : name == "other"   ? other.slavePath()
            : name == "nowhere" ? folder + "no-such-device"
                                : name.replace("<ports>", folder);
    };
    QByteArray ini = "[Ports]\r\n";
    QList<QStringList> rows;
    for (const QString &line : table.split('\n', Qt::SkipEmptyParts)) {
        rows << line.simplified().split(' ');
        const QString link = folder + "COM" + rows.last()[0];
        QFile::remove(link);
        if (rows.last()[1] != "-")
            QVERIFY(QFile::link(path(rows.last()[1]), link));
        if (rows.last()[2] != "-")
            ini += "COM" + rows.last()[0].toLatin1() + '=' + QFile::encodeName(path(rows.last()[2]))
                + "\r\n";
    }
    writeSettings(ini);

    auto *list = b.get<QComboBox>("cboComm");
    for (const QStringList &c : rows) {
        const int number = c[0].toInt();
        const QString device = path(c[3]), said = c.mid(4).join(' ');
        const QString tip = list->itemData(number - 1, Qt::ToolTipRole).toString();
        QVERIFY2(tip.startsWith(device + " \u2014 ") && (said == "*" || tip.endsWith(said)),
                 qPrintable(tip));
        if (said != "pseudo terminal")
            continue;
        SimPort &pty = c[3] == "bus" ? b.pty : other;
        pty.clearReceived();
        b.press("cmdConnect", "cboBaud=9600,cboComm=COM" + c[0]);
        QCOMPARE(b.text("StatusPanel2"), QString("COM%1 9600,n,8,1 on %2").arg(number).arg(device));
        QCOMPARE(list->itemData(number - 1, Qt::ToolTipRole).toString(),
                 device + " \u2014 pseudo terminal, open in this program");
        b.select("100");
        QTRY_COMPARE(pty.received(), Frames::SelectDevice(100));
        b.click("cmdConnect");
    }
    for (const QStringList &c : rows)
        QFile::remove(folder + "COM" + c[0]);
}

void tst_mainwindow::sendFrame()
{
    MainBench b(nullptr, false);
    auto *tx = b.get<QLabel>("lblTxData"), *rx = b.get<QLabel>("lblRxData");
    // A closed port refuses: the traces stay.
    tx->setText("kept");
    b.vars.putFrame(Frames::CursorPosition(2, 19));
    b.window->SendFrame(4);
    QCOMPARE(tx->text(), "kept");

    b.connectPort();
    rx->setText("EE 64 ");
    b.window->SendFrame(4);
    QCOMPARE(tx->text() + '|' + rx->text(), "FE 32 02 13 |");

    // The longest frame, 66 bytes, leaves whole and in order.
    std::array<quint8, 64> table;
    for (int i = 0; i < 64; ++i)
        table[size_t(i)] = quint8(255 - i);
    const QByteArray upload = Frames::UploadChars(table);
    b.vars.putFrame(Frames::UploadChars(table));
    b.window->SendFrame(66);
    QTRY_COMPARE(b.pty.received(), QByteArray::fromHex("fe320213") + upload);
    QCOMPARE(tx->text().size(), 66 * 3);
}

void tst_mainwindow::receive()
{
    // Chunks written one by one ("|" apart), the selected address, the received trace after
    // them; the reply flag is set exactly when the trace shows a reply.
    const struct
    {
        const char *chunks;
        int address;
        const char *trace;
    } rows[] = {{"ee64", 100, "EE 64 "}, {"ee6407", 100, "EE 64 "},          {"ee65", 100, ""},
                {"ee69", 105, "EE 69 "}, {"ee64|ee64", 100, "EE 64 EE 64 "}, {"00ee64", 100, ""},
                {"ee|64", 100, "EE 64 "}};
    for (const auto &r : rows) {
        MainBench b;
        b.vars.DeviceAddress = quint8(r.address);
        auto *serial = b.window->MSComm1().findChild<QSerialPort *>();
        QSignalSpy blocks(&b.window->MSComm1(), &CommPort::received);
        int pending = 0, handled = 0;
        for (const QByteArray &chunk : QByteArray(r.chunks).split('|')) {
            QVERIFY(b.pty.write(QByteArray::fromHex(chunk)));
            if ((pending += chunk.size() / 2) < 2) { // below the threshold: waits unread
                QTRY_COMPARE(serial->bytesAvailable(), qint64(pending));
                continue;
            }
            pending = 0;
            ++handled;
            QTRY_COMPARE(blocks.count(), handled);
        }
        QCOMPARE(QString(r.chunks) + ": " + b.text("lblRxData")
                     + (b.vars.ReplyReceived ? "flag" : ""),
                 QString(r.chunks) + ": " + r.trace + (*r.trace ? "flag" : ""));
    }
}

void tst_mainwindow::waitTicks()
{
    MainBench b;
    b.vars.DeviceAddress = 100;
    // The reply, sent as the wait starts, is handled inside it; the wait still lasts ten ticks.
    QTimer::singleShot(0, [&] { b.pty.write(QByteArray::fromHex("ee64")); });
    QElapsedTimer clock;
    clock.start();
    b.window->WaitTicks(10);
    const qint64 elapsed = clock.elapsed();
    QVERIFY(b.vars.ReplyReceived);
    QVERIFY(b.vars.TickCount >= 10);
    QVERIFY2(elapsed >= 9 * 15, qPrintable(QString::number(elapsed)));
}

QTEST_MAIN(tst_mainwindow)
#include "tst_mainwindow.moc"
