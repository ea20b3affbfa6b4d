// The pty end of the virtual modules: bytes both ways unchanged, a selection answered, pauses
// told to the bus, and the ports/COM<n> link made, refused, replaced and removed.
#include "display/frames.h"
#include "sim/lcdbus.h"
#include "sim/simport.h"

#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
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
};

} // namespace

class tst_SimPort : public QObject
{
    Q_OBJECT
private slots:
    void line();
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

    // A selection is answered on the line, an unknown address is not; commands reach the bus.
    QVERIFY(program.send(SelectDevice(105) + SelectDevice(101) + SelectDevice(100) + "Hi"));
    QTRY_COMPARE(program.data, SelectReply(105) + SelectReply(100));
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

void tst_SimPort::linkLifetime()
{
    QTemporaryDir dir;
    const QString link = dir.filePath("ports/COM4");
    {
        SimPort first;
        QVERIFY(first.open(4, dir.path()));
        // The link leads to a live pty: refused, and the link is untouched.
        SimPort second;
        QVERIFY(!second.open(4, dir.path()));
        QVERIFY(!second.errorString().isEmpty() && !second.isOpen());
        QCOMPARE(QFileInfo(link).symLinkTarget(), first.slavePath());
        // Unless asked to replace it; the first port's close then leaves the new link alone.
        QVERIFY(second.open(4, dir.path(), SimPort::Existing::Replace));
        first.close();
        QCOMPARE(QFileInfo(link).symLinkTarget(), second.slavePath());
    }
    QVERIFY(!QFileInfo(link).isSymLink() && !QFileInfo::exists(link));

    // A link left by a run that died points nowhere and is simply replaced.
    QVERIFY(QFile::link(dir.filePath("gone/pts"), link));
    SimPort third;
    QVERIFY2(third.open(4, dir.path()), qPrintable(third.errorString()));
    QCOMPARE(QFileInfo(link).symLinkTarget(), third.slavePath());
}

QTEST_GUILESS_MAIN(tst_SimPort)
#include "tst_simport.moc"
