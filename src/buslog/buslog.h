#pragma once

#include "display/protocol.h"

#include <QByteArray>
#include <QList>

// The record of every frame that went out on or came in from a port of the program, from its
// start, whether anybody looks at it or not.
class BusLog
{
public:
    enum class Window : quint8 { Main, Config };

    // Frames a window wrote to port `port` (1 for COM1), named as their sender built them; the
    // last byte has just been handed to the device.
    void sent(int port, Window window, const QList<Protocol::Frame> &frames);
    // Bytes a window read from port `port`, as they arrived.
    void received(int port, Window window, const QByteArray &bytes);
};
