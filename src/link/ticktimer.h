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
    // Waits nest: a click during a wait runs its handler inside it, and that handler may wait
    // in its turn. Each level holds a stack frame of event handling, so a storm of clicks
    // faster than the waits would nest without end; beyond this depth no new wait starts.
    static constexpr int MaxNesting = 8;

    TickTimer(modVariables &vars, QObject *parent = nullptr);

    // Returns once TickCount reaches n, counted from 0. Blocks in the event loop between
    // events; a handler run meanwhile may wait in its turn (the waits then end together).
    // Returns at once, having waited for nothing, when mayWait() is false.
    void WaitTicks(int n);
    bool isActive() const { return m_timer.isActive(); }

    // False once MaxNesting waits are running, in any window: a handler that would wait must
    // then not start at all (nothing sent).
    static bool mayWait();

private:
    modVariables &m_vars;
    QTimer m_timer;
};
