// The pty end of the virtual modules: bytes both ways unchanged, a selection answered, pauses
// told to the bus, modules that hear only their own speed, and the ports/COM<n> link made,
// refused, replaced and removed.
#include "display/frames.h"
#include "sim/lcdbus.h"
#include "sim/simport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <termios.h>
#include <unistd.h>

using namespace Frames;

namespace {

// The program's end of the line: the slave opened by path with plain POSIX calls, and what
// arrives on it collected by the event loop.
struct ProgramEnd
{
    int fd;
    QSocketNotifier notifier;
    QByteArray data;
    bool hungUp = false;

    explicit ProgramEnd(const QString &path)
        : fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK))
        , notifier(fd, QSocketNotifier::Read)
    {
        QObject::connect(&notifier, &QSocketNotifier::activated, &notifier, [this] {
            char buf[256];
            ssize_t n;
            while ((n = ::read(fd, buf, sizeof buf)) > 0)
                data.append(buf, int(n));
            hungUp = n == 0 || (n < 0 && errno != EAGAIN);
            notifier.setEnabled(!hungUp);
        });
    }
    ~ProgramEnd() { ::close(fd); }
    bool send(const QByteArray &bytes)
    {
        return ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }
    // The speed, as a serial port sets it on its end of the line.
    bool setSpeed(speed_t speed)
    {
        termios tio;
        return ::tcgetattr(fd, &tio) == 0 && ::cfsetspeed(&tio, speed) == 0
            && ::tcsetattr(fd, TCSANOW, &tio) == 0;
    }
};

} // namespace

class tst_SimPort : public QObject
{
    Q_OBJECT
private slots:
    void line();
    void speeds();
    void linkLifetime();
};

void tst_SimPort::line()
{
    QTemporaryDir dir;
    LcdBus bus({100, 105});
    SimPort port(&bus);
    QVERIFY2(port.open(3, dir.path()), qPrintable(port.errorString()));
    QCOMPARE(QFileInfo(dir.filePath("ports/COM3")).symLinkTarget(), port.slavePath());
    ProgramEnd program(port.linkPath());
    QVERIFY(program.fd >= 0);
    QSignalSpy pauses(&port, &SimPort::paused);

    // Every byte value arrives unchanged: the line is raw (no echo, no CR/LF mapping).
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    QVERIFY(program.send(all));
    QTRY_COMPARE(port.received(), all);
    // Only the last bytes are kept when asked.
    port.setReceivedLimit(100);
    QVERIFY(program.send(all));
    QTRY_COMPARE(port.received(), all.right(100));
    port.setReceivedLimit(0);
    port.clearReceived();

    // A selection is answered on the line, an unknown address is not; commands reach the bus.
    QVERIFY(program.send(SelectDevice(105) + SelectDevice(101) + SelectDevice(100) + "Hi"));
    QTRY_COMPARE(program.data, SelectReply(105) + SelectReply(100));
    QVERIFY(port.received().isEmpty());
    QVERIFY(bus.module(0).isSelected() && !bus.module(1).isSelected());
    // A text ends with the quiet after it; 254,103 and quiet is the speed, not text 3.
    QVERIFY(program.send(QByteArray::fromHex("fe65") + "Hello"));
    QVERIFY(pauses.wait());
    QCOMPARE(bus.module(0).text(1), QByteArray("Hello"));
    QVERIFY(program.send(SetBaud4800()));
    QVERIFY(pauses.wait());
    QVERIFY(bus.module(0).baud() == 4800 && bus.module(0).text(3).isEmpty());
    QCOMPARE(bus.module(0).row(0), QByteArray("Hi                  "));

    // Bytes toward the program arrive as written; a pulled cable: the program sees the line
    // go, the link is still there.
    program.data.clear();
    QVERIFY(port.write(QByteArray("\xEE\x64\x0D\x0A\x00", 5)));
    QTRY_COMPARE(program.data, QByteArray("\xEE\x64\x0D\x0A\x00", 5));
    port.closeMaster();
    QVERIFY(!port.isOpen() && !port.write("x"));
    QTRY_VERIFY(program.hungUp);
    QVERIFY(QFileInfo(port.linkPath()).isSymLink());
}

void tst_SimPort::speeds()
{
    // Module 105 listens at 4800 baud, 100 at 9600, the speed of a fresh line.
    QTemporaryDir dir;
    LcdBus bus({100, 105});
    bus.module(1).setBaud(4800);
    SimPort port(&bus);
    port.setSpeedChecked(true);
    QVERIFY(port.open(2, dir.path()));
    ProgramEnd program(port.linkPath());
    QSignalSpy pauses(&port, &SimPort::paused);
    QCOMPARE(port.lineBaud(), 9600);
    bool inFrame = false; // after the last chunk read
    connect(&port, &SimPort::chunkReceived, &port, [&] { inFrame = bus.inFrame(); });

    // Each hears only its own speed; bytes at a speed nobody has reach no parser (an upload
    // head would leave it inside a frame).
    const struct
    {
        speed_t speed;
        QByteArray bytes;
        QByteArray answers;
        bool inFrame;
    } steps[] = {
        {B9600, SelectDevice(105) + SelectDevice(100) + "A", SelectReply(100), false},
        {B4800, SelectDevice(105) + QByteArray::fromHex("fe65") + "Slow", SelectReply(105), true},
        {B19200, QByteArray::fromHex("fe64") + QByteArray(8, '\0'), {}, false},
        {B9600, SelectDevice(100) + "B", SelectReply(100), false},
    };
    qint64 garbled[2] = {};
    for (const auto &step : steps) {
        QVERIFY(program.setSpeed(step.speed));
        program.data.clear();
        QVERIFY(program.send(step.bytes));
        QVERIFY(pauses.wait());
        QCOMPARE(inFrame, step.inFrame);
        QTRY_COMPARE(program.data, step.answers);
        garbled[0] += step.speed == B9600 ? 0 : step.bytes.size();
        garbled[1] += step.speed == B4800 ? 0 : step.bytes.size();
    }
    QCOMPARE(port.lineBaud(), 9600);
    QCOMPARE(bus.module(0).garbledCount(), garbled[0]);
    QCOMPARE(bus.module(1).garbledCount(), garbled[1]);
    // The text ended with the pause after it, for the module that heard it only.
    QVERIFY(bus.module(0).text(1).isEmpty() && bus.module(1).text(1) == "Slow");
    QCOMPARE(bus.module(0).row(0).trimmed() + '|' + bus.module(1).row(0).trimmed(),
             QByteArray("AB|"));
}

void tst_SimPort::linkLifetime()
{
    QTemporaryDir dir;
    const QString link = dir.filePath("ports/COM4");
    {
        SimPort first;
        QVERIFY(first.open(4, dir.path()));
        QVERIFY(QFileInfo::exists(link + ".lock"));
        // The link leads to a live pty: refused, and the link is untouched.
        SimPort second;
        QVERIFY(!second.open(4, dir.path()));
        QVERIFY(second.errorString().contains("in use") && !second.isOpen());
        QCOMPARE(QFileInfo(link).symLinkTarget(), first.slavePath());
        // Unless asked to replace it; the first port's close then leaves the new link alone.
        QVERIFY(second.open(4, dir.path(), SimPort::Existing::Replace));
        first.close();
        QCOMPARE(QFileInfo(link).symLinkTarget(), second.slavePath());
    }
    QVERIFY(!QFileInfo(link).isSymLink() && !QFileInfo::exists(link));
    QVERIFY(!QFileInfo::exists(link + ".lock"));

    // What else may stand there: a pty link that no live port holds (its run died) is taken
    // over; an adapter's link, present or not, a file or a folder is refused, and stays.
    const auto none = [&] { return true; };
    const auto ptyLink = [&] { return QFile::link("/dev/pts/4093", link); };
    const auto adapter = [&] { return QFile::link("/dev/null", link); };
    const auto unplugged = [&] { return QFile::link(dir.filePath("gone/ttyUSB0"), link); };
    const auto file = [&] { return QFile(link).open(QIODevice::WriteOnly); };
    const auto folder = [&] { return QDir().mkdir(link); };
    const struct
    {
        std::function<bool()> make;
        SimPort::Existing existing;
        const char *refusal; // empty: opens
    } cases[] = {
        {none, SimPort::Existing::Refuse, ""},
        {ptyLink, SimPort::Existing::Refuse, ""},
        {adapter, SimPort::Existing::Refuse, "leads to /dev/null"},
        {unplugged, SimPort::Existing::Refuse, "gone/ttyUSB0, not to a virtual module"},
        {file, SimPort::Existing::Refuse, "is a file"},
        {folder, SimPort::Existing::Refuse, "is a folder"},
        {unplugged, SimPort::Existing::Replace, ""},
        {file, SimPort::Existing::Replace, ""},
        {folder, SimPort::Existing::Replace, "is a folder"},
    };
    for (const auto &c : cases) {
        QVERIFY(c.make());
        const QFileInfo before(link);
        SimPort port;
        const bool opened = port.open(4, dir.path(), c.existing);
        const QString what = port.errorString();
        QVERIFY2(opened == !*c.refusal && what.contains(c.refusal), qPrintable(what));
        if (opened)
            QCOMPARE(QFileInfo(link).symLinkTarget(), port.slavePath());
        else
            QVERIFY(QFileInfo(link).isSymLink() == before.isSymLink()
                    && QFileInfo::exists(link) == before.exists()
                    && !QFileInfo::exists(link + ".lock"));
        port.close();
        if (!opened)
            QVERIFY(QFile::remove(link) || QDir().rmdir(link));
        QVERIFY(!QFileInfo::exists(link) && !QFileInfo(link).isSymLink());
    }

    // The folder must be there, and its ports/ must be a folder.
    SimPort port;
    QVERIFY(!port.open(4, dir.filePath("absent")));
    QVERIFY(port.errorString().contains("No such file")
            && !QFileInfo::exists(dir.filePath("absent")));
    QTemporaryDir other;
    QVERIFY(QFile(other.filePath("ports")).open(QIODevice::WriteOnly));
    QVERIFY(!port.open(4, other.path()));
    QVERIFY2(port.errorString().endsWith("ports is not a folder"), qPrintable(port.errorString()));
}

QTEST_GUILESS_MAIN(tst_SimPort)
#include "tst_simport.moc"
