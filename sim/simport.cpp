#include "sim/simport.h"

#include "link/modini.h"
#include "sim/lcdbus.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace {

QString systemError(const QString &what)
{
    return what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

// The target a symbolic link names, or empty when the path is no link.
QString linkTarget(const QString &path)
{
    char buf[4096];
    const ssize_t n = ::readlink(QFile::encodeName(path).constData(), buf, sizeof buf - 1);
    return n > 0 ? QFile::decodeName(QByteArray(buf, int(n))) : QString();
}

// The lock beside a link, taken without waiting; -1 with errno EWOULDBLOCK when a live port
// holds it. Its last holder may remove the file between our open and flock: only a lock on
// the file still at the path counts.
int takeLock(const QByteArray &path)
{
    for (;;) {
        const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return -1;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            errno = error;
            return -1;
        }
        struct stat held, there;
        if (::fstat(fd, &held) == 0 && ::stat(path.constData(), &there) == 0
            && held.st_dev == there.st_dev && held.st_ino == there.st_ino)
            return fd;
        ::close(fd);
    }
}

constexpr std::pair<speed_t, int> Speeds[] = {
    {B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
    {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200},
};

} // namespace

SimPort::SimPort(LcdBus *bus, QObject *parent)
    : QObject(parent)
    , m_bus(bus)
    , m_pauseTimer(new QTimer(this))
{
    m_pauseTimer->setSingleShot(true);
    m_pauseTimer->setInterval(PauseMs);
    connect(m_pauseTimer, &QTimer::timeout, this, &SimPort::linePaused);
}

SimPort::~SimPort()
{
    close();
}

bool SimPort::fail(const QString &message)
{
    m_error = message;
    return false;
}

bool SimPort::open(int number, const QString &folder, Existing existing)
{
    close();
    m_error.clear();
    // The settings file's folder is the program's own: made when missing. A folder given is
    // the caller's and must exist.
    const QString base = folder.isEmpty() ? SettingsFolder() : folder;
    if (folder.isEmpty())
        QDir().mkpath(base);
    const QString ports = QDir(base).filePath(QStringLiteral("ports"));
    if (::mkdir(QFile::encodeName(ports).constData(), 0755) != 0 && errno != EEXIST)
        return fail(systemError(QStringLiteral("cannot create %1").arg(ports)));
    if (!QFileInfo(ports).isDir())
        return fail(QStringLiteral("%1 is not a folder").arg(ports));
    const QString link = ports + QStringLiteral("/COM%1").arg(number);
    if (!claimLink(link, existing))
        return false;

    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        releaseLock();
        return fail(systemError(QStringLiteral("openpty")));
    }
    char name[256];
    termios tio;
    static_assert(StartBaud == 9600, "a fresh line's speed is B9600");
    const bool ok = ::ttyname_r(slave, name, sizeof name) == 0 && ::tcgetattr(slave, &tio) == 0
        && (::cfmakeraw(&tio), ::cfsetspeed(&tio, B9600) == 0)
        && ::tcsetattr(slave, TCSANOW, &tio) == 0
        && ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK) == 0
        && ::fcntl(master, F_SETFD, FD_CLOEXEC) == 0 && ::fcntl(slave, F_SETFD, FD_CLOEXEC) == 0;
    if (!ok || ::symlink(name, QFile::encodeName(link).constData()) != 0) {
        const QString error = ok ? systemError(QStringLiteral("cannot link %1").arg(link))
                                 : systemError(QStringLiteral("pty"));
        ::close(master);
        ::close(slave);
        releaseLock();
        return fail(error);
    }

    m_master = master;
    m_slave = slave;
    m_slavePath = QFile::decodeName(name);
    m_linkPath = link;
    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &SimPort::readMaster);
    m_writeNotifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &SimPort::flushOutput);
    return true;
}

// The one rule for what may already stand at the link's place. Takes the lock beside it, and
// lets go of it again on a refusal.
bool SimPort::claimLink(const QString &link, Existing existing)
{
    m_lockPath = link + QStringLiteral(".lock");
    m_lock = takeLock(QFile::encodeName(m_lockPath));
    const bool held = m_lock < 0 && errno == EWOULDBLOCK;
    if (m_lock < 0 && (!held || existing == Existing::Refuse)) {
        const QString error = held
            ? QStringLiteral("%1 is in use by another tessaline-sim").arg(link)
            : systemError(QStringLiteral("cannot lock %1").arg(m_lockPath));
        m_lockPath.clear();
        return fail(error);
    }
    // Held by a live port but Existing::Replace: the link is taken without the lock.

    const QFileInfo entry(link);
    const QString target = linkTarget(link);
    QString refusal;
    if (entry.isSymLink()) {
        // A link that an operator made to an adapter stays, even while the adapter is
        // unplugged; one to a pty that no live port holds was left by a run that died.
        if (existing == Existing::Refuse && !target.startsWith(QLatin1String("/dev/pts/")))
            refusal = QStringLiteral("%1 leads to %2, not to a virtual module").arg(link, target);
    } else if (entry.isDir()) {
        refusal = QStringLiteral("%1 is a folder").arg(link);
    } else if (entry.exists() && existing == Existing::Refuse) {
        refusal = QStringLiteral("%1 is a file, not a link").arg(link);
    }
    if (refusal.isEmpty() && (entry.exists() || entry.isSymLink())
        && ::unlink(QFile::encodeName(link).constData()) != 0)
        refusal = systemError(QStringLiteral("cannot remove %1").arg(link));
    if (refusal.isEmpty())
        return true;
    releaseLock();
    return fail(refusal);
}

void SimPort::releaseLock()
{
    if (m_lock >= 0) {
        // Removed while held, so that a port that opened the file meanwhile sees it is gone.
        ::unlink(QFile::encodeName(m_lockPath).constData());
        ::close(m_lock);
    }
    m_lock = -1;
    m_lockPath.clear();
}

void SimPort::closeMaster()
{
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
    m_pauseTimer->stop();
    m_pending.clear();
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
    m_master = -1;
    m_slave = -1;
}

void SimPort::close()
{
    closeMaster();
    // Only our own link goes; one that another port put there since stays.
    if (!m_linkPath.isEmpty() && linkTarget(m_linkPath) == m_slavePath)
        QFile::remove(m_linkPath);
    m_linkPath.clear();
    m_slavePath.clear();
    releaseLock();
}

int SimPort::lineBaud() const
{
    termios tio;
    if (m_slave < 0 || ::tcgetattr(m_slave, &tio) != 0)
        return 0;
    for (const auto &[code, baud] : Speeds) {
        if (code == ::cfgetospeed(&tio))
            return baud;
    }
    return 0;
}

bool SimPort::write(const QByteArray &bytes)
{
    if (m_master < 0)
        return false;
    m_pending += bytes.left(qMax(0, MaxPending - int(m_pending.size())));
    flushOutput();
    return true;
}

void SimPort::flushOutput()
{
    while (!m_pending.isEmpty() && m_master >= 0) {
        const ssize_t n = ::write(m_master, m_pending.constData(), size_t(m_pending.size()));
        if (n > 0) {
            m_pending.remove(0, int(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            // The program has not read what is on the line yet: go on once there is room.
            m_writeNotifier->setEnabled(true);
            return;
        } else {
            m_pending.clear();
        }
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
}

void SimPort::readMaster()
{
    // Bounded, so that a flood neither grows the buffer nor keeps the event loop from the rest.
    m_chunk.resize(ReadChunk);
    qsizetype size = 0;
    while (size < ReadChunk) {
        const ssize_t n = ::read(m_master, m_chunk.data() + size, size_t(ReadChunk - size));
        if (n > 0) {
            size += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || errno != EAGAIN)
            m_readNotifier->setEnabled(false); // the line is dead; do not spin on it
        break;
    }
    m_chunk.resize(size);
    if (m_chunk.isEmpty())
        return;

    record(m_chunk);
    QByteArray answers;
    if (m_bus)
        answers = m_speedChecked ? m_bus->feedAt(m_chunk, lineBaud()) : m_bus->feed(m_chunk);
    if (!answers.isEmpty())
        write(answers);
    m_pauseTimer->start();
    emit chunkReceived(m_chunk);
    if (!answers.isEmpty())
        emit answered(answers);
}

void SimPort::record(const QByteArray &chunk)
{
    if (m_receivedLimit <= 0)
        return;
    m_received += chunk;
    if (m_received.size() > m_receivedLimit)
        m_received.remove(0, m_received.size() - m_receivedLimit);
}

void SimPort::linePaused()
{
    if (m_bus)
        m_bus->pause();
    emit paused();
}
