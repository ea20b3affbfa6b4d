#include "link/commport.h"

#include "link/modini.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSet>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <poll.h>
#endif

namespace {

// Devices open in this program, by canonical path: root passes the tty's exclusive lock, so
// the program keeps its own list.
QSet<QString> &heldDevices()
{
    static QSet<QString> held;
    return held;
}

QString canonical(const QString &path)
{
    const QString c = QFileInfo(path).canonicalFilePath();
    return c.isEmpty() ? path : c;
}

} // namespace

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
    return true;
}

QString CommPort::devicePath(int number)
{
    if (number < 1)
        return {};
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(number);
#else
    const QString link = SettingsFolder() + QStringLiteral("ports/COM%1").arg(number);
    if (QFileInfo::exists(link) || QFileInfo(link).isSymLink())
        return link;
    return QStringLiteral("/dev/ttyS%1").arg(number - 1);
#endif
}

bool CommPort::open(QString *error)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (isOpen())
        return fail(tr("the port is open already"));
    const QString path = devicePath(m_number);
    if (path.isEmpty())
        return fail(tr("no port number"));
    const QString device = canonical(path);
    if (heldDevices().contains(device))
        return fail(tr("%1 is in use by this program").arg(device));

    static const QSerialPort::Parity parities[]
        = {QSerialPort::NoParity, QSerialPort::EvenParity, QSerialPort::OddParity,
           QSerialPort::MarkParity, QSerialPort::SpaceParity};
    static const QSerialPort::StopBits stops[]
        = {QSerialPort::OneStop, QSerialPort::OneStop, QSerialPort::TwoStop,
           QSerialPort::OneAndHalfStop};
    m_port->setPortName(path);
    if (!m_port->open(QIODevice::ReadWrite))
        return fail(m_port->errorString());
    const bool set = m_port->setBaudRate(m_rate)
        && m_port->setDataBits(QSerialPort::DataBits(m_dataBits))
        && m_port->setParity(parities[m_parity]) && m_port->setStopBits(stops[m_stopBits])
        && m_port->setFlowControl(QSerialPort::NoFlowControl);
    if (!set) {
        const QString why = m_port->errorString();
        m_port->close();
        return fail(why);
    }
    m_held = device;
    heldDevices().insert(device);
    if (m_watch)
        m_watch->start();
    return true;
}

void CommPort::release()
{
    if (!m_held.isEmpty()) {
        heldDevices().remove(m_held);
        m_held.clear();
    }
}

void CommPort::close()
{
    if (m_watch)
        m_watch->stop();
    if (m_port->isOpen())
        m_port->close();
    release();
}

bool CommPort::isOpen() const
{
    return m_port->isOpen();
}

bool CommPort::writeByte(quint8 byte)
{
    return write(QByteArray(1, char(byte)));
}

bool CommPort::write(const QByteArray &bytes)
{
    if (!isOpen())
        return false;
    if (m_port->write(bytes) != bytes.size())
        return false;
    // QSerialPort keeps written bytes until the event loop runs; hand them over now so that a
    // frame is on its way when its handler ends.
    while (m_port->bytesToWrite() > 0) {
        if (!m_port->flush() && !m_port->waitForBytesWritten(1000))
            return false;
    }
    return true;
}

QByteArray CommPort::readAll()
{
    return isOpen() ? m_port->readAll() : QByteArray();
}

void CommPort::onReadyRead()
{
    if (m_threshold > 0 && m_port->bytesAvailable() >= m_threshold)
        emit received();
}

// A terminal whose other end went away (a pty's master closed) reports a hang-up that the
// serial layer reads as "no data" forever; look for it here.
void CommPort::checkHangup()
{
#ifdef Q_OS_UNIX
    if (!m_port->isOpen())
        return;
    pollfd watched {int(m_port->handle()), 0, 0};
    if (::poll(&watched, 1, 0) > 0 && (watched.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        close();
        emit lost(tr("the device hung up"));
    }
#endif
}

void CommPort::onError()
{
    const QSerialPort::SerialPortError code = m_port->error();
    if (code != QSerialPort::ResourceError && code != QSerialPort::PermissionError)
        return;
    if (!m_port->isOpen())
        return;
    const QString why = m_port->errorString();
    m_port->clearError();
    close();
    emit lost(why);
}
