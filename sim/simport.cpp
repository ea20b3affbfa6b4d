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
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

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

bool isLiveTerminal(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISCHR(st.st_mode);
}

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
    const QString base = folder.isEmpty() ? SettingsFolder() : folder;
    if (!QDir(base).mkpath(QStringLiteral("ports")))
        return fail(QStringLiteral("cannot create %1/ports").arg(base));
    const QString link = QDir(base).filePath(QStringLiteral("ports/COM%1").arg(number));

    const QFileInfo info(link);
    if (info.isSymLink() || info.exists()) {
        if (info.isDir())
            return fail(QStringLiteral("%1 is a folder").arg(link));
        // A link whose terminal is gone is left over from an earlier run.
        const bool live = !info.isSymLink() || isLiveTerminal(link);
        if (live && existing == Existing::Refuse)
            return fail(QStringLiteral("%1 is in use").arg(link));
        if (!QFile::remove(link))
            return fail(QStringLiteral("cannot remove %1").arg(link));
    }

    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return fail(systemError(QStringLiteral("openpty")));
    char name[256];
    termios tio;
    const bool ok = ::ttyname_r(slave, name, sizeof name) == 0 && ::tcgetattr(slave, &tio) == 0
        && (::cfmakeraw(&tio), ::tcsetattr(slave, TCSANOW, &tio) == 0)
        && ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK) == 0
        && ::fcntl(master, F_SETFD, FD_CLOEXEC) == 0 && ::fcntl(slave, F_SETFD, FD_CLOEXEC) == 0;
    if (!ok || ::symlink(name, QFile::encodeName(link).constData()) != 0) {
        const QString error = systemError(ok ? QStringLiteral("symlink") : QStringLiteral("pty"));
        ::close(master);
        ::close(slave);
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
}

bool SimPort::write(const QByteArray &bytes)
{
    if (m_master < 0)
        return false;
    m_pending += bytes;
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
    QByteArray chunk;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n > 0) {
            chunk.append(buf, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || errno != EAGAIN)
            m_readNotifier->setEnabled(false); // the line is dead; do not spin on it
        break;
    }
    if (chunk.isEmpty())
        return;

    m_received += chunk;
    QByteArray answers;
    if (m_bus)
        answers = m_bus->feed(chunk);
    if (!answers.isEmpty())
        write(answers);
    m_pauseTimer->start();
    emit chunkReceived(chunk);
    if (!answers.isEmpty())
        emit answered(answers);
}

void SimPort::linePaused()
{
    if (m_bus)
        m_bus->pause();
    emit paused();
}
