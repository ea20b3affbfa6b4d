#include "display/frames.h"

namespace Frames {

namespace {

QByteArray bytes(std::initializer_list<quint8> list)
{
    QByteArray out;
    out.reserve(int(list.size()));
    for (quint8 b : list)
        out.append(char(b));
    return out;
}

QByteArray command(quint8 opcode)
{
    return bytes({CommandPrefix, opcode});
}

} // namespace

QByteArray UserCharCode(quint8 n)
{
    return bytes({n});
}
QByteArray CursorHomeCode()
{
    return bytes({11});
}
QByteArray NextLineCode()
{
    return bytes({12});
}
QByteArray ClearCode()
{
    return bytes({13});
}
QByteArray TextChar(quint8 ch)
{
    return bytes({ch});
}

QByteArray CursorType(quint8 t)
{
    return command(t);
}
QByteArray BacklightOn()
{
    return command(OpBacklightOn);
}
QByteArray BacklightOff()
{
    return command(OpBacklightOff);
}
QByteArray LoadBitmaps()
{
    return command(OpLoadBitmaps);
}
QByteArray BacklightFlash()
{
    return command(OpBacklightFlash);
}
QByteArray AllOutputsOn()
{
    return command(OpAllOutputsOn);
}
QByteArray AllOutputsOff()
{
    return command(OpAllOutputsOff);
}
QByteArray StartupScreenOn()
{
    return command(OpStartupScreenOn);
}
QByteArray StartupScreenOff()
{
    return command(OpStartupScreenOff);
}
QByteArray SaveToEeprom()
{
    return command(OpSaveToEeprom);
}
QByteArray SetBaud4800()
{
    return command(OpSetBaud4800);
}
QByteArray SetBaud9600()
{
    return command(OpSetBaud9600);
}

QByteArray SetUid(quint8 address)
{
    return bytes({CommandPrefix, OpSetUid, address});
}

QByteArray SetIoDirection(quint8 mask)
{
    return bytes({CommandPrefix, OpSetIoDirection, mask});
}

QByteArray CursorPosition(quint8 row, quint8 column)
{
    return bytes({CommandPrefix, OpCursorPosition, row, column});
}

QByteArray SetOutput(quint8 output, bool on)
{
    return bytes({CommandPrefix, OpSetOutput, output, on ? OutputOn : OutputOff});
}

QByteArray ShowText(quint8 n, quint8 row)
{
    return bytes({CommandPrefix, OpShowText, quint8(TextBase + n), row});
}

QByteArray UploadChars(const std::array<quint8, 64> &table)
{
    QByteArray out = command(OpUploadChars);
    out.append(reinterpret_cast<const char *>(table.data()), int(table.size()));
    return out;
}

QByteArray StoreTextHead(quint8 n)
{
    return command(quint8(TextBase + n));
}

QByteArray StoreText(quint8 n, const QByteArray &text)
{
    QByteArray body = text.left(StoreTextMax);
    if (body.size() < StoreTextMin)
        body.append(StoreTextMin - body.size(), ' ');
    return StoreTextHead(n) + body;
}

QByteArray SelectDevice(quint8 address)
{
    return bytes({SelectCode, address});
}
QByteArray DeselectDevice()
{
    return bytes({DeselectCode});
}
QByteArray SelectReply(quint8 address)
{
    return bytes({ReplyCode, address});
}

bool isSelectReply(const QByteArray &chunk, quint8 address)
{
    return chunk.size() >= 2 && quint8(chunk[0]) == ReplyCode && quint8(chunk[1]) == address;
}

} // namespace Frames
