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

// The program's end of the line: the slave opened by path, with plain POSIX calls, and
// whatever arrives on it collected by the event loop.
class ProgramEnd : public QObject
{
public:
    explicit ProgramEnd(const QString &path)
        : fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        if (fd < 0)
            return;
        notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            char buf[256];
            ssize_t n;
            while ((n = ::read(fd, buf, sizeof buf)) > 0)
                data.append(buf, int(n));
            if (n == 0 || (n < 0 && errno != EAGAIN)) {
                hungUp = true;
                notifier->setEnabled(false);
            }
        });
    }
    ~ProgramEnd() override
    {
        delete notifier;
        if (fd >= 0)
            ::close(fd);
    }
    bool send(const QByteArray &bytes)
    {
        return ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }

    int fd;
    QSocketNotifier *notifier = nullptr;
    QByteArray data;
    bool hungUp = false;
};

} // namespace

class tst_SimPort : public QObject
{
    Q_OBJECT

private slots:
    void rawLineBothWays();
    void selectIsAnswered();
    void pauseEndsStoredText();
    void linkLifetime();
};

void tst_SimPort::rawLineBothWays()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    SimPort port;
    QVERIFY2(port.open(3, dir.path()), qPrintable(port.errorString()));
    QVERIFY(port.isOpen());
    QCOMPARE(port.linkPath(), dir.filePath("ports/COM3"));
    const QFileInfo link(port.linkPath());
    QVERIFY(link.isSymLink());
    QCOMPARE(link.symLinkTarget(), port.slavePath());
    QVERIFY(port.slavePath().startsWith("/dev/pts/"));

    ProgramEnd program(port.linkPath());
    QVERIFY(program.fd >= 0);
    QSignalSpy chunks(&port, &SimPort::chunkReceived);

    // Every byte value arrives unchanged: the line is raw (no echo, no CR/LF mapping).
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    QVERIFY(program.send(all));
    QTRY_COMPARE(port.received(), all);
    QByteArray signalled;
    for (const QList<QVariant> &args : chunks)
        signalled += args.first().toByteArray();
    QCOMPARE(signalled, all);

    port.clearReceived();
    QVERIFY(program.send(BacklightOff()));
    QTRY_COMPARE(port.received(), BacklightOff());

    // Bytes injected toward the program, and nothing echoed back at it.
    QVERIFY(port.write(QByteArray("\xEE\x64\x0D\x0A\x00", 5)));
    QTRY_COMPARE(program.data, QByteArray("\xEE\x64\x0D\x0A\x00", 5));

    // A pulled cable: the program sees the line go, the link is still there.
    port.closeMaster();
    QVERIFY(!port.isOpen());
    QVERIFY(!port.write("x"));
    QTRY_VERIFY(program.hungUp);
    QVERIFY(QFileInfo(port.linkPath()).isSymLink());
}

void tst_SimPort::selectIsAnswered()
{
    QTemporaryDir dir;
    LcdBus bus({100, 105});
    SimPort port(&bus);
    QVERIFY2(port.open(1, dir.path()), qPrintable(port.errorString()));
    ProgramEnd program(dir.filePath("ports/COM1"));
    QVERIFY(program.fd >= 0);
    QSignalSpy chunks(&port, &SimPort::chunkReceived);
    QSignalSpy answers(&port, &SimPort::answered);

    QVERIFY(program.send(SelectDevice(105)));
    QTRY_COMPARE(program.data, SelectReply(105));
    QCOMPARE(answers.count(), 1);
    QVERIFY(bus.module(1).isSelected());

    // No module with that address: the chunk is read and nothing comes back.
    program.data.clear();
    chunks.clear();
    QVERIFY(program.send(SelectDevice(101)));
    QVERIFY(chunks.wait());
    QCOMPARE(answers.count(), 1);
    QVERIFY(!bus.module(1).isSelected());

    // Commands go through to the model.
    QVERIFY(program.send(SelectDevice(100) + "Hello" + BacklightFlash()));
    QTRY_COMPARE(program.data, SelectReply(100));
    QTRY_COMPARE(bus.module(0).row(0), QByteArray("Hello               "));
    QCOMPARE(bus.module(0).backlight(), LcdModule::BacklightFlashing);
    QCOMPARE(port.received(),
             SelectDevice(105) + SelectDevice(101) + SelectDevice(100) + "Hello"
                 + BacklightFlash());
}

void tst_SimPort::pauseEndsStoredText()
{
    QTemporaryDir dir;
    LcdBus bus;
    SimPort port(&bus);
    QVERIFY(port.open(2, dir.path()));
    ProgramEnd program(port.linkPath());
    QSignalSpy pauses(&port, &SimPort::paused);

    // As the configuration window sends a text: head and text, then quiet.
    QVERIFY(program.send(SelectDevice(100) + StoreTextHead(1) + "Hello"));
    QVERIFY(pauses.wait());
    QCOMPARE(bus.module(0).text(1), QByteArray("Hello"));
    QVERIFY(!bus.inFrame());

    // 254,103 and quiet is the speed command, not text 3.
    QVERIFY(program.send(SetBaud4800()));
    QVERIFY(pauses.wait());
    QCOMPARE(bus.module(0).baud(), 4800);
    QCOMPARE(bus.module(0).text(3), QByteArray());
}

void tst_SimPort::linkLifetime()
{
    QTemporaryDir dir;
    const QString link = dir.filePath("ports/COM4");
    QString firstSlave;
    {
        SimPort first;
        QVERIFY(first.open(4, dir.path()));
        firstSlave = first.slavePath();

        // The link leads to a live pty: refused, and the link is untouched.
        SimPort second;
        QVERIFY(!second.open(4, dir.path()));
        QVERIFY(!second.errorString().isEmpty());
        QVERIFY(!second.isOpen());
        QCOMPARE(QFileInfo(link).symLinkTarget(), firstSlave);

        // Unless asked to replace it; the first port's close then leaves the new link alone.
        QVERIFY(second.open(4, dir.path(), SimPort::Existing::Replace));
        QCOMPARE(QFileInfo(link).symLinkTarget(), second.slavePath());
        first.close();
        QCOMPARE(QFileInfo(link).symLinkTarget(), second.slavePath());
    }
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(!QFileInfo::exists(link));

    // A link left over from a run that died points nowhere and is simply replaced.
    QVERIFY(QFile::link(dir.filePath("gone/pts"), link));
    SimPort third;
    QVERIFY2(third.open(4, dir.path()), qPrintable(third.errorString()));
    QCOMPARE(QFileInfo(link).symLinkTarget(), third.slavePath());
    // A plain file where the link goes is refused as well.
    QFile file(dir.filePath("ports/COM5"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    SimPort fourth;
    QVERIFY(!fourth.open(5, dir.path()));
    QVERIFY(QFileInfo(dir.filePath("ports/COM5")).isFile());
}

QTEST_GUILESS_MAIN(tst_SimPort)
#include "tst_simport.moc"
