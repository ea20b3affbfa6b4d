#pragma once

#include "buslog/buslog.h"

#include <QObject>

class CommPort;
class TickTimer;
struct modVariables;

// One window's link to the bus: its serial port (MSComm1), its tick timer (Timer1), the send
// routine and the wait that both windows share. Every byte written or read is recorded in the
// program's bus log under the frame its sender built.
class PortLink : public QObject
{
    Q_OBJECT
public:
    PortLink(modVariables &vars, BusLog::Window window, QObject *parent = nullptr);
    ~PortLink() override;

    CommPort &port() { return *m_port; }
    const CommPort &port() const { return *m_port; }
    TickTimer &timer() { return *m_timer; }
    modVariables &vars() { return m_vars; }

    // Opens the port with its settings and number as set. False when the device cannot be
    // opened; stateText() then says why where the operator can act on it.
    bool open();
    // Opens the port as the main window last connected it: PortSettings, then the number in
    // CommPortText. False when either is unusable or the device cannot be opened.
    bool openFromSettings();

    // The port's state for the operator: "COM1 9600,n,8,1 on /dev/ttyUSB0", with ": output
    // waiting for the device" while a slow device has not taken every byte; when closed,
    // "Port closed", or why the port was lost or could not be opened.
    QString stateText() const;

    // Writes TxBuffer bytes 0..n-1 to the port, one byte per write. False, with nothing
    // written, on a closed port or a length outside TxBuffer.
    bool sendBuffer(int n);
    // Writes bytes in one write: the text that follows a stored text's head.
    bool writeString(const QByteArray &bytes);
    // All waiting bytes, raw (recorded in the bus log). Bytes that arrive on a port that nobody
    // reads (threshold 0) go this way as they come, so that they never pile up.
    QByteArray readAll();

    // TickTimer::WaitTicks of this window, and whether a wait may start now.
    void WaitTicks(int n);
    static bool mayWait();

signals:
    // At least as many bytes wait as the port's threshold asks for.
    void received();
    // The device went away under the open port; the port is closed already. The message says
    // so for the operator ("COM1: the device was unplugged or closed").
    void lost(const QString &message);
    // stateText() changed: opened, closed, lost, output waiting or no longer.
    void stateChanged();

private:
    void record(const QByteArray &written);

    modVariables &m_vars;
    BusLog::Window m_window;
    CommPort *m_port;
    TickTimer *m_timer;
    // A frame whose first bytes went out through sendBuffer() and whose rest follows in one
    // writeString(): recorded once it is whole.
    Protocol::Frame m_open;
    qsizetype m_openWritten = 0;
    QString m_problem; // why the port is closed, when the operator should know
};
