#include "shell/modvariables.h"

#include <algorithm>

int modVariables::putFrames(const QList<Protocol::Frame> &frames)
{
    const QByteArray bytes = Protocol::bytesOf(frames);
    if (bytes.size() > TxBufferSize)
        return 0;
    std::copy(bytes.begin(), bytes.end(), TxBuffer.begin());
    TxFrames = frames;
    return int(bytes.size());
}
