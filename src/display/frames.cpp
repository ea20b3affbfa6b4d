#include "display/frames.h"

namespace Frames {

using namespace Protocol;

namespace {

Frame frame(FrameId id, std::initializer_list<quint8> list)
{
    Frame out {id, {}};
    out.bytes.reserve(qsizetype(list.size()));
    for (quint8 b : list)
        out.bytes.append(char(b));
    return out;
}

// A one-byte frame, or a command frame with its opcode and arguments, as the table lays it out.
Frame fixed(FrameId id, std::initializer_list<quint8> arguments = {})
{
    const FrameLayout &s = layout(id);
    Frame out = s.opcode >= 0 ? frame(id, {CommandPrefix, quint8(s.opcode)})
                              : frame(id, {quint8(s.first)});
    for (quint8 b : arguments)
        out.bytes.append(char(b));
    return out;
}

} // namespace

Frame UserCharCode(quint8 n)
{
    return frame(FrameId::UserCharCode, {n});
}
Frame CursorHomeCode()
{
    return fixed(FrameId::CursorHomeCode);
}
Frame NextLineCode()
{
    return fixed(FrameId::NextLineCode);
}
Frame ClearCode()
{
    return fixed(FrameId::ClearCode);
}
Frame TextChar(quint8 ch)
{
    return frame(FrameId::TextChar, {ch});
}

Frame CursorType(quint8 t)
{
    return frame(FrameId::CursorType, {CommandPrefix, t});
}
Frame BacklightOn()
{
    return fixed(FrameId::BacklightOn);
}
Frame BacklightOff()
{
    return fixed(FrameId::BacklightOff);
}
Frame LoadBitmaps()
{
    return fixed(FrameId::LoadBitmaps);
}
Frame BacklightFlash()
{
    return fixed(FrameId::BacklightFlash);
}
Frame AllOutputsOn()
{
    return fixed(FrameId::AllOutputsOn);
}
Frame AllOutputsOff()
{
    return fixed(FrameId::AllOutputsOff);
}
Frame StartupScreenOn()
{
    return fixed(FrameId::StartupScreenOn);
}
Frame StartupScreenOff()
{
    return fixed(FrameId::StartupScreenOff);
}
Frame SaveToEeprom()
{
    return fixed(FrameId::SaveToEeprom);
}
Frame SetBaud4800()
{
    return fixed(FrameId::SetBaud4800);
}
Frame SetBaud9600()
{
    return fixed(FrameId::SetBaud9600);
}

Frame SetUid(quint8 address)
{
    return fixed(FrameId::SetUid, {address});
}

Frame SetIoDirection(quint8 mask)
{
    return fixed(FrameId::SetIoDirection, {mask});
}

Frame CursorPosition(quint8 row, quint8 column)
{
    return fixed(FrameId::CursorPosition, {row, column});
}

Frame SetOutput(quint8 output, bool on)
{
    return fixed(FrameId::SetOutput, {output, on ? OutputOn : OutputOff});
}

Frame ShowText(quint8 n, quint8 row)
{
    return fixed(FrameId::ShowText, {quint8(TextBase + n), row});
}

Frame UploadChars(const std::array<quint8, Bus::CharTableSize> &table)
{
    Frame out = fixed(FrameId::UploadChars);
    out.bytes.append(reinterpret_cast<const char *>(table.data()), qsizetype(table.size()));
    return out;
}

Frame StoreText(quint8 n, const QByteArray &text)
{
    Frame out = frame(FrameId::StoreText, {CommandPrefix, quint8(TextBase + n)});
    const QByteArray body = text.left(StoreTextMax);
    out.bytes += body;
    if (body.size() < StoreTextMin)
        out.bytes.append(StoreTextMin - body.size(), ' ');
    return out;
}

Frame SelectDevice(quint8 address)
{
    return fixed(FrameId::SelectDevice, {address});
}
Frame DeselectDevice()
{
    return fixed(FrameId::DeselectDevice);
}
Frame SelectReply(quint8 address)
{
    return fixed(FrameId::SelectReply, {address});
}

bool isSelectReply(const QByteArray &chunk, quint8 address)
{
    return chunk.size() >= 2 && quint8(chunk[0]) == ReplyCode && quint8(chunk[1]) == address;
}

} // namespace Frames
