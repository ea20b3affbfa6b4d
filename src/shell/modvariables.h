#pragma once

#include "buslog/buslog.h"
#include "display/protocol.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <array>

// The program-wide variables shared by both windows. One instance lives for the whole run.
struct modVariables
{
    static constexpr int TxBufferSize = 71;
    static constexpr int CharTableSize = Bus::CharTableSize;

    std::array<quint8, TxBufferSize> TxBuffer {}; // the frame being sent, from byte 0
    qint16 TickCount = 0; // ticks counted during a wait
    bool ReplyReceived = false; // a valid SelectReply arrived
    quint8 DeviceAddress = 0; // address of the module being or last selected
    QString CommPortText; // port number as decimal text, "1" for COM1
    QString PortSettings; // the port's settings text, as in 9600,n,8,1
    std::array<quint8, CharTableSize> CharTable {}; // 8 user-defined characters, 8 rows each

    // What TxBuffer holds, frame by frame, as its sender built it: the send routines name what
    // they write by it.
    QList<Protocol::Frame> TxFrames;
    BusLog busLog; // every frame in and out, from the program's start

    // Writes frames into TxBuffer from byte 0, one after the other, and returns their length
    // for the send call. Frames longer than the buffer together are refused with length 0.
    int putFrames(const QList<Protocol::Frame> &frames);
    int putFrame(const Protocol::Frame &frame) { return putFrames({frame}); }
};
