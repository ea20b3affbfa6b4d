#include "link/receive.h"

#include "display/frames.h"
#include "link/hextrace.h"
#include "shell/modvariables.h"

QString ReceiveBlock(modVariables &vars, const QByteArray &block)
{
    if (!Frames::isSelectReply(block, vars.DeviceAddress))
        return {};
    vars.ReplyReceived = true;
    return HexTrace(block.left(2));
}
