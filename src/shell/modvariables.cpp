#include "shell/modvariables.h"

#include <algorithm>

int modVariables::putFrame(const QByteArray &frame)
{
    if (frame.size() > TxBufferSize)
        return 0;
    std::copy(frame.begin(), frame.end(), TxBuffer.begin());
    return int(frame.size());
}
