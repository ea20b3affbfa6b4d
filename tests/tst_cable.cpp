// The line under hostile use. A pulled cable: the pty's master end closed under the program while
// the main window or the configuration window holds the port, in the middle of a frame, during a
// selection's wait and in the middle of "Send"; nothing crashes or hangs, the loss is handled, and
// a new device on the same port number works afterwards. A storm of clicks inside waits, a device
// that stops reading for a while, and a flood of bytes that nobody reads.
#include "cfgsupport.h"
#include "display/frames.h"
#include "framewalker.h"
#include "link/commport.h"
#include "link/portmap.h"
#include "link/ticktimer.h"
#include "sim/lcdbus.h"
#include "testsupport.h"

#include <QSerialPort>
#include <QSocketNotifier>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

using namespace CfgSupport;
using namespace TestSupport;

namespace {

const QString Lost = QStringLiteral("COM1: the device was unplugged or closed");

// Pulls the cable once `count` bytes of the port's writes have gone out: the rest of the frame
// being written then meets a line that is gone.
void pullAfter(CommPort &port, SimPort &pty, qint64 count)
{
    auto written = std::make_shared<qint64>(0);
    auto link = std::make_shared<QMetaObject::Connection>();
    *link = QObject::connect(&port, &CommPort::bytesWritten, &pty, [=, &pty](qint64 n) {
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

// A line that the test serves by hand, linked as ports/COM<n>: its master end is read while its
// reader is on, and a thread of the test may flood it.
class HandLine : public QObject
{
public:
    explicit HandLine(int number)
    {
        char name[256] = {};
        termios raw {};
        if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0
            || ::tcgetattr(m_slave, &raw) != 0)
            qFatal("no pty");
        ::cfmakeraw(&raw);
        ::tcsetattr(m_slave, TCSANOW, &raw);
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        device = QString::fromLocal8Bit(name);
        m_link = PortMap::portsFolder() + QStringLiteral("COM%1").arg(number);
        QFile::remove(m_link);
        if (!QFile::link(device, m_link))
            qFatal("cannot link %s", qPrintable(m_link));
        reader = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
        connect(reader, &QSocketNotifier::activated, this, [this] {
            char chunk[4096];
            for (ssize_t n; (n = ::read(m_master, chunk, sizeof chunk)) > 0;)
                received.append(chunk, n);
        });
    }
    ~HandLine() override
    {
        m_stop = true;
        if (m_flood.joinable())
            m_flood.join();
        delete reader;
        ::close(m_master);
        ::close(m_slave);
        QFile::remove(m_link);
    }
    // Writes `total` bytes toward the program from a thread, as fast as the line takes them.
    void flood(qint64 total)
    {
        m_flood = std::thread([this, total] {
            static const QByteArray block(64 * 1024, '\x55');
            for (qint64 left = total; left > 0 && !m_stop;) {
                const ssize_t n = ::write(m_master, block.constData(),
                                          size_t(qMin<qint64>(left, block.size())));
                if (n > 0) {
                    left -= n;
                } else {
                    pollfd out {m_master, POLLOUT, 0};
                    ::poll(&out, 1, 100);
                }
            }
            flooded = true;
        });
    }
    // Bytes toward the program that it has not read yet.
    int unread() const
    {
        int n = 0;
        return ::ioctl(m_slave, FIONREAD, &n) == 0 ? n : -1;
    }

    QString device;
    QByteArray received; // while the reader is on
    QSocketNotifier *reader = nullptr;
    std::atomic<bool> flooded {false};

private:
    int m_master = -1;
    int m_slave = -1; // held, so that the master never reads a hang-up
    QString m_link;
    std::thread m_flood;
    std::atomic<bool> m_stop {false}; // the test ended before the flood
};

// The program's resident memory.
qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').front().toLongLong();
    }
    return -1;
}

// AddressSanitizer and Valgrind hold freed memory back on purpose: under them the resident size
// says nothing of what the program keeps.
bool plainMemory()
{
#ifdef __SANITIZE_ADDRESS__
    return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return false;
#endif
#endif
    return !qgetenv("LD_PRELOAD").contains("vgpreload");
}

// Frames on a line, walked from its bytes; empty when a byte belongs to no frame.
QList<FrameWalker::Frame> framesOf(const QByteArray &line)
{
    FrameWalker walker;
    walker.push(line);
    walker.pause();
    for (const FrameWalker::Frame &f : walker.frames()) {
        if (f.bad()) {
            qWarning("at %lld: %s", qlonglong(f.start), qPrintable(f.why));
            return {};
        }
    }
    return walker.frames();
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
    void clickStorm_data();
    void clickStorm();
    void stalledLine();

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
    QCOMPARE(b.text("StatusPanel2"), Lost);
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
    QTRY_COMPARE(boxes.texts, QStringList {Lost});
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

void tst_cable::clickStorm_data()
{
    // The buttons clicked in turn, how many clicks, the milliseconds from one to the next (0: each
    // comes inside the wait of the one before), and, where known, the main window's line (with the
    // selection afterwards), status and DeviceAddress after the clicks.
    QTest::addColumn<QString>("buttons");
    QTest::addColumn<int>("clicks");
    QTest::addColumn<int>("interval");
    QTest::addColumn<QString>("after");
    const QString all = "cmdSelect,cmdDeselect,cmdSetPT";
    QTest::newRow("a second selection inside the first")
        << "cmdSelect" << 2 << 0 << "ef64ef69ef69, Device 105 Connected, 105";
    QTest::newRow("nested past the bound") << all << 40 << 0 << QString();
    QTest::newRow("a storm") << all << 1000 << 1 << QString();
}

// Clicks inside waits nest, up to a bound: a click that finds the bound reached sends nothing and
// starts no wait, so the stack stays small however fast the operator clicks. Every click below
// the bound is carried out whole.
void tst_cable::clickStorm()
{
    QFETCH(QString, buttons);
    QFETCH(int, clicks);
    QFETCH(int, interval);
    QFETCH(QString, after);
    // The configuration window on COM1, the main window on COM2 with module 105 (a second
    // module's answer in the same block would hide the first).
    LcdBus cfgBus({100}), mainBus({105});
    MainBench b(&cfgBus);
    b.get<QAction>("mnuCfg")->trigger();
    frmCfg *cfg = cfgWindow();
    QVERIFY(cfg && cfg->MSComm1().isOpen());
    // Texts of 20 characters end their frames without a pause on the line.
    for (int i = 0; i < 8; ++i)
        act(cfg, QStringLiteral("TxtPL_%1=%2").arg(i).arg(QString(20, QChar('a' + i))));
    SimPort mainLine(&mainBus);
    QVERIFY(mainLine.open(2, QString(), SimPort::Existing::Replace));
    b.press("cmdConnect", "cboComm=COM2");
    QTRY_COMPARE(b.pty.received(), Frames::SelectDevice(100));
    b.pty.clearReceived();

    QList<QAbstractButton *> cycle;
    for (const QString &name : buttons.split(','))
        cycle << child<QAbstractButton>(
            name == "cmdSetPT" ? static_cast<QWidget *>(cfg) : b.window.get(), name);
    int made = 0, inside = 0, refused = 0;
    QObject chain;
    std::function<void()> next = [&] {
        if (made == clicks)
            return;
        QAbstractButton *button = cycle[made % cycle.size()];
        if (button->objectName() == "cmdSelect")
            b.set("cboAddr", made % 2 ? "105" : "100");
        ++made;
        QTimer::singleShot(interval, &chain, next);
        refused += !TickTimer::mayWait();
        ++inside;
        button->click();
        --inside;
    };
    next();
    QTRY_VERIFY_WITH_TIMEOUT(made == clicks && inside == 0, 120000);
    const QString status = b.text("StatusPanel1") + ", " + QString::number(b.vars.DeviceAddress);

    // Afterwards a selection works as ever. Its frame, and a last one of the configuration
    // window, show that every byte before them has arrived.
    b.select("105");
    QCOMPARE(b.text("StatusPanel1"), "Device 105 Connected");
    act(cfg, "cmdSave");
    QTRY_VERIFY(mainLine.received().endsWith(Frames::SelectDevice(105).bytes));
    QTRY_VERIFY(b.pty.received().endsWith(Frames::SaveToEeprom().bytes));
    if (!after.isEmpty())
        QCOMPARE(mainLine.received().toHex() + ", " + status, after);

    // Whole frames on both lines, one exchange or one whole "Send" for each click carried out.
    const QList<FrameWalker::Frame> mainFrames = framesOf(mainLine.received()),
                                    cfgFrames = framesOf(b.pty.received());
    QVERIFY(!mainFrames.isEmpty() && !cfgFrames.isEmpty());
    int exchanges = -1, sends = 0, texts = 0, startups = 0; // less the selection afterwards
    for (const FrameWalker::Frame &f : mainFrames)
        exchanges
            += f.id == Protocol::FrameId::SelectDevice || f.id == Protocol::FrameId::DeselectDevice;
    for (const FrameWalker::Frame &f : cfgFrames) {
        texts += f.id == Protocol::FrameId::StoreText;
        sends += f.id == Protocol::FrameId::StoreText && quint8(f.bytes[1]) == 101;
        startups += f.bytes == QByteArray(Frames::StartupScreenOff());
    }
    QCOMPARE(exchanges + sends, made - refused);
    QCOMPARE(texts, 8 * sends);
    QCOMPARE(startups, sends);
    QCOMPARE(refused > 0, clicks > 2); // the storms reached the bound
    cfg->close();
}

// A module that stops reading is slow, not gone: what it does not take waits in the program,
// which says so and stays usable, and goes out whole and in order once it reads again. Bytes
// that nothing reads (the configuration window reads nothing) are dropped as they come: a flood
// leaves the program's memory as it was.
void tst_cable::stalledLine()
{
    MainBench b(nullptr, false);
    HandLine line(2);
    b.press("cmdConnect", "cboComm=COM2,cboBaud=9600");
    const QString open = "COM2 9600,n,8,1 on " + line.device;
    QCOMPARE(b.text("StatusPanel2"), open);

    line.reader->setEnabled(false);
    QByteArray expected;
    std::array<quint8, 64> table;
    for (int i = 0; b.window->MSComm1().bytesWaiting() == 0 && i < 20000; ++i) {
        for (size_t k = 0; k < table.size(); ++k)
            table[k] = quint8(i * 7 + k); // no byte like its neighbours
        expected += Frames::UploadChars(table);
        b.window->SendFrame(b.vars.putFrame(Frames::UploadChars(table)));
    }
    QCOMPARE(b.text("StatusPanel2"), open + ": output waiting for the device");
    b.get<QWidget>("Frame3")->setEnabled(true);
    b.press("cmdCurPos", "cboRow=2,cboColumn=19"); // returns at once, its frame queued
    expected += Frames::CursorPosition(2, 19);
    QCOMPARE(b.text("lblTxData"), "FE 32 02 13 ");
    line.reader->setEnabled(true);
    QTRY_COMPARE_WITH_TIMEOUT(line.received.size(), expected.size(), 30000);
    QVERIFY(line.received == expected);
    QTRY_COMPARE(b.text("StatusPanel2"), open);
    QCOMPARE(b.state(), "Disconnect select=1 cfg=1 commands=1");

    line.received.clear();
    b.get<QAction>("mnuCfg")->trigger();
    frmCfg *cfg = cfgWindow();
    QVERIFY(cfg && cfg->MSComm1().isOpen());
    QTRY_COMPARE(line.received, Frames::SelectDevice(100));
    const qint64 idle = residentKiB();
    qint64 peak = idle;
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, [&peak] { peak = qMax(peak, residentKiB()); });
    sampler.start(10);
    line.flood(qint64(64) << 20);
    QTRY_VERIFY_WITH_TIMEOUT(line.flooded && line.unread() == 0, 300000);
    peak = qMax(peak, residentKiB());
    if (plainMemory())
        QVERIFY2(peak - idle < 10 * 1024, qPrintable(QString("%1 -> %2 KiB").arg(idle).arg(peak)));
    QCOMPARE(cfg->MSComm1().findChild<QSerialPort *>()->bytesAvailable(), 0);
    act(cfg, "cmdSave");
    QTRY_COMPARE(line.received, Frames::SelectDevice(100) + Frames::SaveToEeprom());
    cfg->close();
}

QTEST_MAIN(tst_cable)
#include "tst_cable.moc"
