#include "display/selection.h"

#include "display/frames.h"
#include "shell/modvariables.h"

namespace Selection {

bool selectExchange(FrameLink &link, quint8 address)
{
    modVariables &v = link.vars();
    v.DeviceAddress = address;
    link.SendFrame(v.putFrame(Frames::SelectDevice(address)));
    // No reply can be handled between the write and the wait: replies come in during it.
    v.ReplyReceived = false;
    link.WaitTicks(Bus::ReplyTicks);
    return v.ReplyReceived;
}

bool deselectExchange(FrameLink &link)
{
    modVariables &v = link.vars();
    link.SendFrame(v.putFrame(Frames::DeselectDevice()));
    link.WaitTicks(Bus::ReplyTicks);
    return v.ReplyReceived;
}

int scanBus(FrameLink &link, const std::function<bool(int)> &next,
            const std::function<void(quint8)> &answered)
{
    int tried = 0;
    for (int a = Bus::FirstAddress; a <= Bus::LastAddress && next(a); ++a) {
        if (selectExchange(link, quint8(a)))
            answered(quint8(a));
        ++tried;
    }
    return tried;
}

} // namespace Selection
