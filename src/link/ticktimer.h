#pragma once

#include <QObject>
#include <QTimer>

struct modVariables;

// A window's Timer1 and its wait. Each tick adds one to the program-wide TickCount; the wait
// handles every event of the program while it counts.
class TickTimer : public QObject
{
    Q_OBJECT
public:
    // 15 ms: ten ticks cover the select exchange at 4800 baud, a USB adapter's latency and
    // the module's answer.
    static constexpr int Interval = 15;

    TickTimer(modVariables &vars, QObject *parent = nullptr);

    // Returns once TickCount reaches n, counted from 0. Blocks in the event loop between
    // events; a handler run meanwhile may wait in its turn (the waits then end together).
    void WaitTicks(int n);
    bool isActive() const { return m_timer.isActive(); }

private:
    modVariables &m_vars;
    QTimer m_timer;
};
