// The line under hostile use. A pulled cable (the pty's master end closed under the program) in
// either window: mid-frame, during a selection's wait and at three points of "Send"; reported,
// and a new device on the same port number works afterwards. A storm of clicks inside waits, a
// device that stops reading for a while, and a flood of bytes that nobody reads.
#include "bench.h"
#include "display/frames.h"
#include "framewalker.h"
#include "link/portmap.h"
#include "link/ticktimer.h"

#include <QSerialPort>
#include <QSocketNotifier>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace Bench;
using namespace Qt::StringLiterals;

namespace {

const QString Lost = u"COM1: the device was unplugged or closed"_s;

// Pulls the cable once `count` bytes of the port's writes have gone out: the rest of the frame
// being written then meets a line that is gone.
void pullAfter(CommPort &port, SimPort &pty, qint64 count, QObject *context)
{
    auto written = std::make_shared<qint64>(0);
    QObject::connect(&port, &CommPort::bytesWritten, context, [=, &pty](qint64 n) {
        if ((*written += n) >= count && pty.isOpen())
            pty.closeMaster();
    });
}

// A line that the test serves by hand, linked as ports/COM2: its master is read while `reader`
// is on, and flood() writes toward the program as fast as the line takes bytes.
class HandLine : public QObject
{
public:
    HandLine()
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
        QFile::remove(m_link);
        if (!QFile::link(device, m_link))
            qFatal("cannot link %s", qPrintable(m_link));
        reader = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
        connect(reader, &QSocketNotifier::activated, this, [this] {
            char chunk[4096];
            for (ssize_t n; (n = ::read(m_master, chunk, sizeof chunk)) > 0;)
                received.append(chunk, n);
        });
        m_writer = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
        m_writer->setEnabled(false);
        connect(m_writer, &QSocketNotifier::activated, this, [this] {
            static const QByteArray block(64 * 1024, '\x55');
            for (ssize_t n = 1; n > 0 && flooding > 0; flooding -= qMax<ssize_t>(n, 0))
                n = ::write(m_master, block.constData(), size_t(qMin(flooding, block.size())));
            m_writer->setEnabled(flooding > 0);
        });
    }
    ~HandLine() override
    {
        delete reader;
        delete m_writer;
        ::close(m_master);
        ::close(m_slave);
        QFile::remove(m_link);
    }
    void flood(qint64 total)
    {
        flooding = total;
        m_writer->setEnabled(true);
    }
    // Bytes toward the program that it has not read yet.
    int unread() const
    {
        int n = 0;
        return ::ioctl(m_slave, FIONREAD, &n) == 0 ? n : -1;
    }

    QString device;
    QByteArray received;
    QSocketNotifier *reader = nullptr;
    qint64 flooding = 0; // bytes still to write

private:
    int m_master = -1;
    int m_slave = -1; // held, so that the master never reads a hang-up
    QSocketNotifier *m_writer = nullptr;
    const QString m_link = PortMap::portsFolder() + "COM2";
};

// The program's resident memory.
qint64 residentKiB()
{
    QFile status("/proc/self/status");
    status.open(QIODevice::ReadOnly);
    const QByteArray text = status.readAll();
    return text.mid(text.indexOf("VmRSS:") + 6).trimmed().split(' ').front().toLongLong();
}

// Frames on a line, walked from its bytes; empty when a byte belongs to no frame.
QList<FrameWalker::Frame> framesOf(const QByteArray &line)
{
    FrameWalker walker;
    walker.push(line);
    walker.pause();
    for (const FrameWalker::Frame &f : walker.frames()) {
        if (f.bad())
            return {};
    }
    return walker.frames();
}

} // namespace

class tst_cable : public QObject
{
    Q_OBJECT
private slots:
    void init() { writeSettings(iniFile({}, {}, 1, "9600")); }
    void cleanup() { removeSettings(); }
    void pulled_data();
    void pulled();
    void clickStorm_data();
    void clickStorm();
    void stalledAndFlooded();
};

void tst_cable::pulled_data()
{
    // The steps in the main window, or after "cfg:" in the configuration window; the bytes of
    // their frame out before the pull, 0 for a pull while idle, -1 as soon as the selection's
    // frame arrives, -n once the module stored text n (during the wait after it).
    QTest::addColumn<QString>("steps");
    QTest::addColumn<int>("pullAt");
    const QString cursor = "cboRow=2,cboColumn=19,cmdCurPos";
    QTest::newRow("main, idle after connecting") << QString() << 0;
    QTest::newRow("main, Set Cursor Position after 1 byte") << cursor << 1;
    QTest::newRow("main, Set Cursor Position after 3 bytes") << cursor << 3;
    QTest::newRow("main, during the wait of Select") << "cmdSelect" << -1;
    QTest::newRow("config, upload after 10 bytes") << "cfg:cmdSendBitmap" << 10;
    QTest::newRow("config, Set UID after the prefix") << "cfg:cmdSetUID" << 1;
    QTest::newRow("config, Send in the first head") << "cfg:cmdSetPT" << 1;
    QTest::newRow("config, Send in the third text") << "cfg:cmdSetPT" << 2 * 18 + 5;
    QTest::newRow("config, Send waiting after text 3") << "cfg:cmdSetPT" << -3;
}

void tst_cable::pulled()
{
    QFETCH(QString, steps);
    QFETCH(int, pullAt);
    const bool cfg = steps.startsWith("cfg:");
    Windows w({100});
    w.connect();
    if (pullAt != 0)
        w.select(100);
    QVERIFY(!cfg || w.configure());
    auto pulling = std::make_unique<QObject>();
    if (pullAt > 0)
        pullAfter(cfg ? w.cfg()->MSComm1() : w.main->MSComm1(), w.pty, pullAt, pulling.get());
    else if (pullAt == -1)
        connect(&w.pty, &SimPort::chunkReceived, pulling.get(), [&] { w.pty.closeMaster(); });
    else if (pullAt < 0)
        connect(&w.pty, &SimPort::paused, pulling.get(), [&] {
            if (w.pty.isOpen() && !w.bus.module(0).text(-pullAt).isEmpty())
                w.pty.closeMaster();
        });
    else
        w.pty.closeMaster(); // before any traffic: only the hang-up tells
    MessageBoxCatcher boxes;
    cfg ? w.cfgAct(steps.mid(4)) : w.act(steps); // returns: no wait on a dead line forever
    QVERIFY(!w.pty.isOpen()); // pulled while the frame was being written, or during Send
    if (cfg) {
        // Told in a box that does not stop the window; its buttons send nothing now.
        QTRY_COMPARE(boxes.texts, QStringList {Lost});
        QVERIFY(!w.cfg()->MSComm1().isOpen());
        QCOMPARE(w.cfgGet<QLabel>("StatusPanel1")->text() + " | "
                     + w.cfgGet<QLabel>("StatusPanel2")->text(),
                 Lost + " | no port");
        if (pullAt < 0) { // nothing after the pull reached the module
            QCOMPARE(w.bus.module(0).text(3), QByteArray(16, ' '));
            QVERIFY(w.bus.module(0).text(4).isEmpty());
        }
        w.cfgAct("cmdSave,cmdSetIO,cmdSendBitmap,cmdSetPT");
        QVERIFY(w.cfgGet<QLabel>("StatusPanel1")->text().startsWith("Nothing sent: no port"));
        QVERIFY(w.cfg()->close());
    } else {
        // Back in the closed state, saying so, with no box; commands send nothing.
        QTRY_COMPARE(w.state(), u"Connect select=0 cfg=0 commands=%1"_s.arg(pullAt != 0));
        QCOMPARE(w.text("StatusPanel2"), Lost);
        if (pullAt == -1)
            QCOMPARE(w.text("StatusPanel1"), u"Device Not Found"_s);
        const QString trace = w.text("lblTxData");
        w.act("cmdCtrl_2");
        QCOMPARE(w.text("lblTxData"), trace);
        QCOMPARE(boxes.texts, QStringList());
    }

    // A new device on the same number: connect, select, drive, configure.
    pulling.reset();
    LcdBus fresh({100});
    w.pty.setBus(&fresh);
    QVERIFY(w.openLine());
    w.connect();
    w.select(100);
    QCOMPARE(w.text("StatusPanel1"), u"Device 100 Connected"_s);
    w.act("cboRow=2,cboColumn=19,cmdCurPos");
    QVERIFY(w.configure());
    w.cfgAct("cmdSave");
    QTRY_COMPARE(w.pty.received(), QByteArray::fromHex("ef64fe320213ef64fe20"));
    QCOMPARE(fresh.module(0).cursorRow() * 100 + fresh.module(0).cursorColumn(), 219);
    QCOMPARE(fresh.module(0).saveCount(), 1);
}

void tst_cable::clickStorm_data()
{
    // The buttons clicked in turn, how many clicks, the milliseconds from one to the next (0: each
    // comes inside the wait of the one before), and, where known, the main window's line (with
    // the selection afterwards), status and DeviceAddress after the clicks.
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
    // The configuration window on COM1 with module 100, the main window on COM2 with module 105
    // (a second module's answer in the same block would hide the first).
    Windows w({100});
    QVERIFY(w.configure("9600"));
    // Texts of 20 characters end their frames without a pause on the line.
    for (int i = 0; i < 8; ++i)
        w.cfgAct(u"TxtPL_%1=%2"_s.arg(i).arg(QString(20, QChar('a' + i))));
    LcdBus mainBus({105});
    SimPort mainLine(&mainBus);
    QVERIFY(mainLine.open(2, QString(), SimPort::Existing::Replace));
    w.act("cboComm=COM2,cmdConnect");
    QTRY_COMPARE(w.pty.received(), QByteArray("\xef\x64"));
    w.pty.clearReceived();

    QList<QAbstractButton *> cycle;
    for (const QString &name : buttons.split(','))
        cycle << (name == "cmdSetPT" ? w.cfgGet<QAbstractButton>(name)
                                     : w.get<QAbstractButton>(name));
    int made = 0, inside = 0, refused = 0;
    QObject chain;
    std::function<void()> next = [&] {
        if (made == clicks)
            return;
        QAbstractButton *button = cycle[made % cycle.size()];
        if (button->objectName() == "cmdSelect")
            w.act(made % 2 ? "cboAddr=105" : "cboAddr=100");
        ++made;
        QTimer::singleShot(interval, &chain, next);
        refused += !TickTimer::mayWait();
        ++inside;
        button->click();
        --inside;
    };
    next();
    QTRY_VERIFY_WITH_TIMEOUT(made == clicks && inside == 0, 120000);
    const QString status = w.text("StatusPanel1") + ", " + QString::number(w.vars.DeviceAddress);

    // Afterwards a selection works as ever. Its frame, and a last one of the configuration
    // window, show that every byte before them has arrived.
    w.select(105);
    QCOMPARE(w.text("StatusPanel1"), u"Device 105 Connected"_s);
    w.cfgAct("cmdSave");
    QTRY_VERIFY(mainLine.received().endsWith("\xef\x69"));
    QTRY_VERIFY(w.pty.received().endsWith("\xfe\x20"));
    if (!after.isEmpty())
        QCOMPARE(mainLine.received().toHex() + ", " + status, after);

    // Whole frames on both lines, one exchange or one whole "Send" for each click carried out.
    const QList<FrameWalker::Frame> mainFrames = framesOf(mainLine.received()),
                                    cfgFrames = framesOf(w.pty.received());
    QVERIFY(!mainFrames.isEmpty() && !cfgFrames.isEmpty());
    int exchanges = -1, sends = 0, texts = 0, startups = 0; // less the selection afterwards
    for (const FrameWalker::Frame &f : mainFrames)
        exchanges
            += f.id == Protocol::FrameId::SelectDevice || f.id == Protocol::FrameId::DeselectDevice;
    for (const FrameWalker::Frame &f : cfgFrames) {
        texts += f.id == Protocol::FrameId::StoreText;
        sends += f.bytes.startsWith("\xfe\x65");
        startups += f.bytes == "\xfe\x10";
    }
    QCOMPARE(exchanges + sends, made - refused);
    QCOMPARE(texts, 8 * sends);
    QCOMPARE(startups, sends);
    QCOMPARE(refused > 0, clicks > 2); // the storms reached the bound
}

// A module that stops reading is slow, not gone: what it does not take waits in the program,
// which says so and stays usable, and goes out whole and in order once it reads again. Bytes
// that nothing reads (the configuration window reads nothing) are dropped as they come: a flood
// leaves the program's memory as it was.
void tst_cable::stalledAndFlooded()
{
    Windows w;
    HandLine line;
    w.act("cboComm=COM2,cboBaud=9600,cmdConnect");
    const QString open = "COM2 9600,n,8,1 on " + line.device;
    QCOMPARE(w.text("StatusPanel2"), open);

    line.reader->setEnabled(false);
    QByteArray expected;
    std::array<quint8, 64> table;
    for (int i = 0; w.main->MSComm1().bytesWaiting() == 0 && i < 20000; ++i) {
        for (size_t k = 0; k < table.size(); ++k)
            table[k] = quint8(i * 7 + k); // no byte like its neighbours
        expected += "\xfe\x64" + QByteArray(reinterpret_cast<const char *>(table.data()), 64);
        w.main->SendFrame(w.vars.putFrame(Frames::UploadChars(table)));
    }
    QCOMPARE(w.text("StatusPanel2"), open + ": output waiting for the device");
    w.get("Frame3")->setEnabled(true);
    w.act("cboRow=2,cboColumn=19,cmdCurPos"); // returns at once, its frame queued
    expected += "\xfe\x32\x02\x13";
    QCOMPARE(w.text("lblTxData"), u"FE 32 02 13 "_s);
    line.reader->setEnabled(true);
    QTRY_COMPARE_WITH_TIMEOUT(line.received.size(), expected.size(), 30000);
    QVERIFY(line.received == expected);
    QTRY_COMPARE(w.text("StatusPanel2"), open);
    QCOMPARE(w.state(), u"Disconnect select=1 cfg=1 commands=1"_s);

    line.received.clear();
    w.act("mnuCfg");
    QVERIFY(w.cfg() && w.cfg()->MSComm1().isOpen());
    QTRY_COMPARE(line.received, QByteArray("\xef\x64"));
    const qint64 idle = residentKiB();
    qint64 peak = idle;
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, this, [&peak] { peak = qMax(peak, residentKiB()); });
    sampler.start(10);
    line.flood(qint64(64) << 20);
    QTRY_VERIFY_WITH_TIMEOUT(line.flooding == 0 && line.unread() == 0, 300000);
    peak = qMax(peak, residentKiB());
    // AddressSanitizer and Valgrind hold freed memory back on purpose.
    if (!qEnvironmentVariableIsSet("ASAN_OPTIONS") && !qgetenv("LD_PRELOAD").contains("vgpreload"))
        QVERIFY2(peak - idle < 10 * 1024, qPrintable(u"%1 -> %2 KiB"_s.arg(idle).arg(peak)));
    QCOMPARE(w.cfg()->MSComm1().findChild<QSerialPort *>()->bytesAvailable(), 0);
    w.cfgAct("cmdSave");
    QTRY_COMPARE(line.received, QByteArray("\xef\x64\xfe\x20"));
}

QTEST_MAIN(tst_cable)
#include "tst_cable.moc"
