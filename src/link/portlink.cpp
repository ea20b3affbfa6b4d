#include "link/portlink.h"

#include "link/commport.h"
#include "link/heldports.h"
#include "link/portmap.h"
#include "link/ticktimer.h"
#include "shell/modvariables.h"

#include <utility>

PortLink::PortLink(modVariables &vars, BusLog::Window window, QObject *parent)
    : QObject(parent)
    , m_vars(vars)
    , m_window(window)
    , m_port(new CommPort(this))
    , m_timer(new TickTimer(vars, this))
{
    m_port->setObjectName(QStringLiteral("MSComm1"));
    m_timer->setObjectName(QStringLiteral("Timer1"));
    connect(m_port, &CommPort::received, this, &PortLink::received);
    connect(m_port, &CommPort::unread, this, &PortLink::readAll);
    connect(m_port, &CommPort::outputWaiting, this, &PortLink::stateChanged);
    connect(m_port, &CommPort::lost, this, [this](CommPort::Loss why) {
        m_problem = m_port->name() + QStringLiteral(": ")
            + (why == CommPort::Loss::Gone ? QStringLiteral("the device was unplugged or closed")
                                           : QStringLiteral("the device failed and was closed"));
        emit lost(m_problem);
        emit stateChanged();
    });
}

PortLink::~PortLink() = default;

bool PortLink::openFromSettings()
{
    m_port->close();
    if (!m_port->setSettings(m_vars.PortSettings))
        return false;
    bool isNumber = false;
    const int number = m_vars.CommPortText.trimmed().toInt(&isNumber);
    if (!isNumber)
        return false;
    m_port->setCommPort(number);
    return open();
}

bool PortLink::open()
{
    const bool opened = m_port->open();
    m_problem.clear();
    const QString device = m_port->device();
    if (m_port->openError() == CommPort::OpenError::Permission) {
        m_problem = PortMap::permissionProblem(device);
    } else if (m_port->openError() == CommPort::OpenError::Terminal) {
        const HeldPorts::Owner owner = HeldPorts::terminalOwner(device);
        m_problem = QStringLiteral("%1 is the terminal of %2 (process %3), not a module")
                        .arg(device, owner.name)
                        .arg(owner.pid);
    }
    emit stateChanged();
    return opened;
}

QString PortLink::stateText() const
{
    if (!m_port->isOpen())
        return m_problem.isEmpty() ? QStringLiteral("Port closed") : m_problem;
    QString text
        = QStringLiteral("%1 %2 on %3").arg(m_port->name(), m_port->settings(), m_port->device());
    if (m_port->bytesWaiting() > 0)
        text += QStringLiteral(": output waiting for the device");
    return text;
}

bool PortLink::sendBuffer(int n)
{
    if (!m_port->isOpen() || n < 0 || n > modVariables::TxBufferSize)
        return false;
    for (int i = 0; i < n; ++i)
        m_port->writeByte(m_vars.TxBuffer[size_t(i)]);
    record(QByteArray(reinterpret_cast<const char *>(m_vars.TxBuffer.data()), n));
    return true;
}

bool PortLink::writeString(const QByteArray &bytes)
{
    if (!m_port->isOpen())
        return false;
    m_port->write(bytes);
    record(bytes);
    return true;
}

QByteArray PortLink::readAll()
{
    const QByteArray bytes = m_port->readAll();
    if (!bytes.isEmpty())
        m_vars.busLog.received(m_port->commPort(), m_window, bytes);
    return bytes;
}

void PortLink::WaitTicks(int n)
{
    m_timer->WaitTicks(n);
}

bool PortLink::mayWait()
{
    return TickTimer::mayWait();
}

// Names what was written by the frames its sender put into TxBuffer. A frame of which only the
// head went out waits for its rest; bytes that no sender named are read as a module would.
void PortLink::record(const QByteArray &written)
{
    using Protocol::Frame;
    const auto log = [this](const QList<Frame> &frames) {
        m_vars.busLog.sent(m_port->commPort(), m_window, frames);
    };
    if (m_openWritten > 0) {
        const Frame open = std::exchange(m_open, {});
        const qsizetype head = std::exchange(m_openWritten, 0);
        if (open.bytes.mid(head) == written)
            return log({open});
        log({{Protocol::FrameId::Unknown, open.bytes.left(head)}});
    }
    const QByteArray named = Protocol::bytesOf(m_vars.TxFrames);
    if (named == written)
        return log(m_vars.TxFrames);
    if (m_vars.TxFrames.size() == 1 && !written.isEmpty() && named.startsWith(written)) {
        m_open = m_vars.TxFrames.front();
        m_openWritten = written.size();
        return;
    }
    log(Protocol::Decoder::framesOf(written));
}
