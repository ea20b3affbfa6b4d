#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <array>

// The program-wide variables shared by both windows. One instance lives for the whole run.
struct modVariables
{
    static constexpr int TxBufferSize = 71;
    static constexpr int CharTableSize = 64;

    std::array<quint8, TxBufferSize> TxBuffer {}; // the frame being sent, from byte 0
    qint16 TickCount = 0; // ticks counted during a wait
    bool ReplyReceived = false; // a valid SelectReply arrived
    quint8 DeviceAddress = 0; // address of the module being or last selected
    QString CommPortText; // port number as decimal text, "1" for COM1
    QString PortSettings; // the port's settings text, as in 9600,n,8,1
    std::array<quint8, CharTableSize> CharTable {}; // 8 user-defined characters, 8 rows each

    // Writes a frame into TxBuffer from byte 0 and returns its length for the send call.
    // A frame longer than the buffer is refused with length 0.
    int putFrame(const QByteArray &frame);
};
