#include "link/commport.h"

#include "link/heldports.h"
#include "link/portmap.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

CommPort::CommPort(QObject *parent)
    : QObject(parent)
    , m_port(new QSerialPort(this))
{
    connect(m_port, &QSerialPort::readyRead, this, &CommPort::onReadyRead);
    connect(m_port, &QSerialPort::errorOccurred, this, &CommPort::onError);
#ifdef Q_OS_UNIX
    m_watch = new QTimer(this);
    m_watch->setInterval(WatchInterval);
    connect(m_watch, &QTimer::timeout, this, &CommPort::checkHangup);
#endif
}

CommPort::~CommPort()
{
    blockSignals(true); // its link is going too
    close();
}

bool CommPort::setSettings(const QString &text)
{
    static const QRegularExpression form(
        QStringLiteral(R"(^\s*(\d+)\s*,\s*([neoms])\s*,\s*([5-8])\s*,\s*(1|1\.5|2)\s*$)"),
        QRegularExpression::CaseInsensitiveOption);
    const auto m = form.match(text);
    if (!m.hasMatch())
        return false;
    bool ok = false;
    const qint64 rate = m.captured(1).toLongLong(&ok);
    if (!ok || rate <= 0 || rate > 4000000)
        return false;
    m_rate = qint32(rate);
    m_parity = QStringLiteral("neoms").indexOf(m.captured(2).toLower());
    m_dataBits = m.captured(3).toInt();
    const QString stop = m.captured(4);
    m_stopBits = stop == QLatin1String("1") ? 1 : stop == QLatin1String("2") ? 2 : 3;
    m_settings = QStringLiteral("%1,%2,%3,%4")
                     .arg(m_rate)
                     .arg(m.captured(2).toLower())
                     .arg(m_dataBits)
                     .arg(stop);
    return !isOpen() || applySettings();
}

bool CommPort::applySettings()
{
    static const QSerialPort::Parity parities[]
        = {QSerialPort::NoParity, QSerialPort::EvenParity, QSerialPort::OddParity,
           QSerialPort::MarkParity, QSerialPort::SpaceParity};
    static const QSerialPort::StopBits stops[]
        = {QSerialPort::OneStop, QSerialPort::OneStop, QSerialPort::TwoStop,
           QSerialPort::OneAndHalfStop};
    return m_port->setBaudRate(m_rate) && m_port->setDataBits(QSerialPort::DataBits(m_dataBits))
        && m_port->setParity(parities[m_parity]) && m_port->setStopBits(stops[m_stopBits])
        && m_port->setFlowControl(QSerialPort::NoFlowControl);
}

QString CommPort::name() const
{
    return m_path.isEmpty() ? QStringLiteral("COM%1").arg(m_number) : m_path;
}

bool CommPort::open()
{
    const auto fail = [this](OpenError why) {
        m_openError = why;
        return false;
    };
    m_openErrorText.clear();
    if (isOpen())
        return fail(OpenError::InUse);
    const QString path = m_path.isEmpty() ? PortMap::devicePath(m_number) : m_path;
    m_device = HeldPorts::canonical(path);
    if (path.isEmpty())
        return fail(OpenError::NoNumber);
    if (HeldPorts::isHeld(m_device))
        return fail(OpenError::InUse);
    if (HeldPorts::terminalOwner(m_device).pid)
        return fail(OpenError::Terminal);

    m_port->setPortName(path);
    if (!m_port->open(QIODevice::ReadWrite)) {
        m_openErrorText = m_port->errorString();
        if (!PortMap::permissionProblem(m_device).isEmpty())
            return fail(OpenError::Permission);
        return fail(QFileInfo::exists(m_device) ? OpenError::Failed : OpenError::NoDevice);
    }
    if (!applySettings()) {
        m_openErrorText = m_port->errorString();
        m_port->close();
        return fail(OpenError::Failed);
    }
    m_openError = OpenError::None;
    m_held = HeldPorts::hold(m_device);
#ifdef Q_OS_UNIX
    m_writable = new QSocketNotifier(m_port->handle(), QSocketNotifier::Write, this);
    m_writable->setEnabled(false);
    connect(m_writable, &QSocketNotifier::activated, this, &CommPort::writePending);
    m_watch->start();
#endif
    return true;
}

void CommPort::close()
{
    if (m_watch)
        m_watch->stop();
    delete m_writable;
    m_writable = nullptr;
    m_pending.clear();
    setWaiting(false);
    if (m_port->isOpen())
        m_port->close();
    if (m_held)
        HeldPorts::release(m_device);
    m_held = false;
}

bool CommPort::isOpen() const
{
    return m_port->isOpen();
}

bool CommPort::writeByte(quint8 byte)
{
    const char c = char(byte);
    return write(QByteArray::fromRawData(&c, 1));
}

bool CommPort::write(const QByteArray &bytes)
{
    if (!isOpen())
        return false;
#ifdef Q_OS_UNIX
    // Behind bytes that wait, so that the order on the line stays the order of the writes.
    if (!m_pending.isEmpty()) {
        m_pending += bytes;
        return true;
    }
    const qsizetype done = writeNow(bytes.constData(), bytes.size());
    if (done < 0 || !isOpen())
        return false;
    if (done < bytes.size()) {
        // A copy: the caller's bytes may be raw data that does not outlive the call.
        m_pending = QByteArray(bytes.constData() + done, bytes.size() - done);
        setWaiting(true);
    }
    return true;
#else
    return m_port->write(bytes) == bytes.size();
#endif
}

// Writes what the device takes now without blocking: the count written, or -1 when the device
// is lost (the port is closed then).
qsizetype CommPort::writeNow(const char *data, qsizetype size)
{
    qsizetype done = 0;
#ifdef Q_OS_UNIX
    const int fd = int(m_port->handle());
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size_t(size - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break; // full: the rest waits
        } else {
            const int error = n < 0 ? errno : EIO;
            loseDevice(error == EIO || error == ENXIO || error == ENODEV || error == EBADF
                               || error == EPIPE
                           ? Loss::Gone
                           : Loss::Failed);
            return -1;
        }
    }
    if (done > 0)
        emit bytesWritten(done);
#else
    Q_UNUSED(data);
    Q_UNUSED(size);
#endif
    return done;
}

// The device reads again: what waited goes out first.
void CommPort::writePending()
{
    const qsizetype done = writeNow(m_pending.constData(), m_pending.size());
    if (done < 0 || !isOpen())
        return;
    m_pending.remove(0, done);
    if (m_pending.isEmpty())
        setWaiting(false);
}

void CommPort::setWaiting(bool waiting)
{
    if (m_writable)
        m_writable->setEnabled(waiting);
    if (waiting != m_waiting) {
        m_waiting = waiting;
        emit outputWaiting(waiting);
    }
}

bool CommPort::drain()
{
#ifdef Q_OS_UNIX
    if (!isOpen())
        return false;
    int status;
    do {
        status = ::tcdrain(int(m_port->handle()));
    } while (status != 0 && errno == EINTR);
    return status == 0;
#else
    return isOpen() && m_port->flush();
#endif
}

QByteArray CommPort::readAll()
{
    return isOpen() ? m_port->readAll() : QByteArray();
}

void CommPort::onReadyRead()
{
    if (m_threshold <= 0)
        emit unread();
    else if (m_port->bytesAvailable() >= m_threshold)
        emit received();
}

void CommPort::loseDevice(Loss why)
{
    close();
    emit lost(why);
}

// A terminal whose other end went away (a pty's master closed) reports a hang-up that the
// serial layer reads as "no data" forever; look for it here.
void CommPort::checkHangup()
{
#ifdef Q_OS_UNIX
    if (!m_port->isOpen())
        return;
    pollfd watched {int(m_port->handle()), 0, 0};
    if (::poll(&watched, 1, 0) > 0 && (watched.revents & (POLLHUP | POLLERR | POLLNVAL)))
        loseDevice(Loss::Gone);
#endif
}

void CommPort::onError()
{
    const QSerialPort::SerialPortError code = m_port->error();
    if (code != QSerialPort::ResourceError && code != QSerialPort::PermissionError)
        return;
    if (!m_port->isOpen())
        return;
    m_port->clearError();
    loseDevice(code == QSerialPort::ResourceError ? Loss::Gone : Loss::Failed);
}
