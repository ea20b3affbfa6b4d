#include "link/ticktimer.h"

#include "shell/modvariables.h"

#include <QCoreApplication>

namespace {
int nesting = 0; // waits running, in every window: they nest on the one thread's stack
}

TickTimer::TickTimer(modVariables &vars, QObject *parent)
    : QObject(parent)
    , m_vars(vars)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(Interval);
    connect(&m_timer, &QTimer::timeout, this, [this] { ++m_vars.TickCount; });
}

bool TickTimer::mayWait()
{
    return nesting < MaxNesting;
}

void TickTimer::WaitTicks(int n)
{
    if (!mayWait())
        return;
    ++nesting;
    m_vars.TickCount = 0;
    m_timer.start();
    while (m_vars.TickCount < n) {
        // Sleeps until an event comes; the timer's tick is one.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    m_timer.stop();
    --nesting;
}
