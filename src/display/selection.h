#pragma once

#include <QtGlobal>

#include <functional>

struct modVariables;

// What the select exchange needs of whoever runs it, a window or the command line: the
// program-wide variables, the send routine with which it writes TxBuffer, and the tick wait
// during which replies come in.
class FrameLink
{
public:
    virtual modVariables &vars() = 0;
    virtual void SendFrame(int n) = 0;
    virtual void WaitTicks(int n) = 0;

protected:
    ~FrameLink() = default;
};

// Device selection on the bus, without a window: the exchanges of "Select Device" and
// "Deselect Device", and the search of "Find Modules".
namespace Selection {

// SelectDevice for the address (which becomes DeviceAddress), ReplyReceived cleared, the full
// wait. True when a module at that address answered. The caller checks TickTimer::mayWait().
bool selectExchange(FrameLink &link, quint8 address);

// DeselectDevice and the full wait. ReplyReceived is not cleared first: it still holds the
// outcome of the last selection, and that is what comes back.
bool deselectExchange(FrameLink &link);

// The select exchange for every address from 100 to 132 in turn, each run to its end. Before
// each address `next(address)` may stop the search (false); `answered(address)` hears of each
// module that answered. Returns how many addresses were tried.
int scanBus(FrameLink &link, const std::function<bool(int)> &next,
            const std::function<void(quint8)> &answered);

} // namespace Selection
