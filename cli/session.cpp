#include "cli/session.h"

#include "display/frames.h"
#include "link/commport.h"
#include "link/hextrace.h"
#include "link/portlink.h"
#include "link/receive.h"
#include "link/ticktimer.h"
#include "shell/modvariables.h"

#include <cstdio>

namespace {

// Bytes that a stalled device has not taken after this long are given up, so that a script
// never hangs on a line.
constexpr int DrainTicks = 5000 / TickTimer::Interval;

void printLine(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

Session::Session(const Call &call, modVariables &vars)
    : m_call(call)
    , m_vars(vars)
    , m_address(call.address)
{
    if (!call.dryRun) {
        m_link = new PortLink(vars, BusLog::Window::Main, this);
        connect(m_link, &PortLink::received, this, &Session::received);
        connect(m_link, &PortLink::lost, this, [this](const QString &why) { m_lost = why; });
    }
}

Session::~Session() = default;

int Session::run()
{
    if (m_link && !open())
        return 2;
    for (const Step &step : m_call.steps) {
        if (const int status = perform(step))
            return finish(status);
    }
    return finish(0);
}

QString Session::portName() const
{
    return m_call.device.isEmpty() ? QStringLiteral("COM%1").arg(m_call.port) : m_call.device;
}

// The reasons are the windows' where they have one: another program's terminal, a device this
// user may not use (with how to get access).
bool Session::open()
{
    CommPort &port = m_link->port();
    port.setRThreshold(2); // as the main window: a reply is two bytes
    port.setSettings(QStringLiteral("%1,n,8,1").arg(m_call.baud));
    if (m_call.device.isEmpty())
        port.setCommPort(m_call.port);
    else
        port.setDevice(m_call.device);
    if (m_link->open())
        return true;
    const QString device = port.device();
    const QString where = device.isEmpty() || device == port.name()
        ? port.name()
        : port.name() + " (" + device + ")";
    QString why;
    switch (port.openError()) {
    case CommPort::OpenError::Terminal:
    case CommPort::OpenError::Permission:
        why = m_link->stateText();
        if (why.startsWith(device + QLatin1Char(':')))
            why = why.mid(device.size() + 1).trimmed();
        else if (why.startsWith(device + QStringLiteral(" is ")))
            why = why.mid(device.size() + 4);
        break;
    case CommPort::OpenError::NoDevice:
        why = QStringLiteral("no such device");
        break;
    case CommPort::OpenError::InUse:
        why = QStringLiteral("open already");
        break;
    case CommPort::OpenError::NoNumber:
        why = QStringLiteral("names no device");
        break;
    default:
        why = port.openErrorText().isEmpty() ? QStringLiteral("cannot be opened")
                                             : port.openErrorText();
        break;
    }
    printLine(stderr, QStringLiteral("tessaline-cli: cannot open %1: %2").arg(where, why));
    return false;
}

int Session::perform(const Step &step)
{
    using Kind = Step::Kind;
    switch (step.kind) {
    case Kind::Select:
        m_selected = exchange(quint8(m_address));
        if (!m_lost.isEmpty())
            return lost();
        return m_selected ? 0 : noAnswer();
    case Kind::Deselect:
        Selection::deselectExchange(*this);
        m_selected = false;
        return m_lost.isEmpty() ? 0 : lost();
    case Kind::Scan: {
        Selection::scanBus(
            *this, [this](int) { return m_lost.isEmpty(); },
            [](quint8 address) { printLine(stdout, QString::number(address)); });
        // As after "Find Modules": the module followed before selected again, else none.
        if (m_lost.isEmpty()) {
            if (m_selected)
                m_selected = exchange(quint8(m_address));
            else
                Selection::deselectExchange(*this);
        }
        return m_lost.isEmpty() ? 0 : lost();
    }
    default:
        break;
    }
    if (const int status = selected())
        return status;
    switch (step.kind) {
    case Kind::StoreTexts:
        storeTexts(step.frames);
        break;
    case Kind::SetBaud:
        // The module hears only its new speed after this frame: the line follows once the frame
        // is out and the pause has ended it, and the next command selects the module again.
        sendFrames(step.frames);
        if (pause() && m_link)
            m_link->port().setSettings(QStringLiteral("%1,n,8,1").arg(step.value));
        m_selected = false;
        break;
    case Kind::SetUid:
        sendFrames(step.frames);
        m_address = step.value;
        m_selected = false;
        break;
    default:
        sendFrames(step.frames);
        break;
    }
    return m_lost.isEmpty() ? 0 : lost();
}

int Session::selected()
{
    if (m_selected || m_call.noSelect)
        return 0;
    m_selected = exchange(quint8(m_address));
    if (!m_lost.isEmpty())
        return lost();
    return m_selected ? 0 : noAnswer();
}

int Session::noAnswer()
{
    printLine(stderr,
              QStringLiteral("tessaline-cli: no answer from module %1 on %2")
                  .arg(m_address)
                  .arg(portName()));
    return 3;
}

// A dry run takes every selection as answered.
bool Session::exchange(quint8 address)
{
    return Selection::selectExchange(*this, address) || m_call.dryRun;
}

// Each frame in a write of its own, as each control sends one.
void Session::sendFrames(const QList<Protocol::Frame> &frames)
{
    for (const Protocol::Frame &frame : frames) {
        if (!m_lost.isEmpty())
            return;
        SendFrame(m_vars.putFrame(frame));
    }
}

// As "Send": each text's head, its text in one write, ten ticks; then the start-up screen.
void Session::storeTexts(const QList<Protocol::Frame> &frames)
{
    for (const Protocol::Frame &frame : frames) {
        if (!m_lost.isEmpty())
            return;
        if (frame.id != Protocol::FrameId::StoreText) {
            SendFrame(m_vars.putFrame(frame));
            continue;
        }
        m_vars.putFrame(frame);
        SendFrame(2);
        if (m_link)
            m_link->writeString(frame.bytes.mid(2));
        WaitTicks(Bus::ReplyTicks);
    }
}

void Session::SendFrame(int n)
{
    if (m_link && !m_link->sendBuffer(n))
        return;
    m_quiet = false;
    if (m_call.verbose || m_call.dryRun) {
        for (const Protocol::Frame &frame : std::as_const(m_vars.TxFrames))
            print(frame);
    }
}

void Session::WaitTicks(int n)
{
    if (!m_link)
        return;
    m_link->WaitTicks(n);
    m_quiet = true;
}

bool Session::pause()
{
    if (!m_link)
        return true;
    CommPort &port = m_link->port();
    for (int ticks = 0; port.isOpen() && port.bytesWaiting() > 0 && ticks < DrainTicks; ++ticks)
        m_link->WaitTicks(1);
    if (!port.isOpen())
        return false;
    if (port.bytesWaiting() > 0) {
        m_lost = QStringLiteral("%1: the device took no output for %2 s; %3 bytes not sent")
                     .arg(portName())
                     .arg(DrainTicks * TickTimer::Interval / 1000)
                     .arg(port.bytesWaiting());
        return false;
    }
    port.drain();
    WaitTicks(Bus::ReplyTicks);
    return m_lost.isEmpty();
}

// The last bytes reach the module before the port closes (closing sets the line's speed back to
// what it was, and a reader may not have taken them yet).
int Session::finish(int status)
{
    if (m_link && m_link->port().isOpen() && !m_quiet && !pause() && status == 0)
        return lost();
    return status;
}

int Session::lost()
{
    printLine(stderr, QStringLiteral("tessaline-cli: ") + m_lost);
    return 2;
}

// As the main window's receive handler: a block that starts with the reply of the selected
// address counts; the rest is dropped.
void Session::received()
{
    const QByteArray block = m_link->readAll();
    if (!ReceiveBlock(m_vars, block).isEmpty() && m_call.verbose)
        print({Protocol::FrameId::SelectReply, block.left(2)});
}

// The frame's hex as the trace writes it, then what it means.
void Session::print(const Protocol::Frame &frame)
{
    printLine(stdout, HexTrace(frame.bytes) + Protocol::describe(frame));
}
