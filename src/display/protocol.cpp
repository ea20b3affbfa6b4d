#include "display/protocol.h"

#include "link/ansi.h"

#include <QStringList>

#include <iterator>
#include <utility>

namespace Protocol {

namespace {

// Every frame of the protocol. first/opcode give ranges as [low, high]; -1 where there is none.
struct Row
{
    FrameLayout layout;
    int lastFirst;
    int lastOpcode;
};

constexpr int P = CommandPrefix;
const Row Table[] = {
    {{FrameId::UserCharCode, "UserCharCode", 0, -1, 0}, LastUserChar, -1},
    {{FrameId::CursorHomeCode, "CursorHomeCode", 11, -1, 0}, 11, -1},
    {{FrameId::NextLineCode, "NextLineCode", 12, -1, 0}, 12, -1},
    {{FrameId::ClearCode, "ClearCode", 13, -1, 0}, 13, -1},
    {{FrameId::TextChar, "TextChar", FirstPrintable, -1, 0}, 255, -1},
    {{FrameId::CursorType, "CursorType", P, 1, 0}, P, 3},
    {{FrameId::BacklightOn, "BacklightOn", P, 6, 0}, P, 6},
    {{FrameId::BacklightOff, "BacklightOff", P, 7, 0}, P, 7},
    {{FrameId::LoadBitmaps, "LoadBitmaps", P, 8, 0}, P, 8},
    {{FrameId::BacklightFlash, "BacklightFlash", P, 11, 0}, P, 11},
    {{FrameId::AllOutputsOn, "AllOutputsOn", P, 12, 0}, P, 12},
    {{FrameId::AllOutputsOff, "AllOutputsOff", P, 13, 0}, P, 13},
    {{FrameId::StartupScreenOn, "StartupScreenOn", P, 15, 0}, P, 15},
    {{FrameId::StartupScreenOff, "StartupScreenOff", P, 16, 0}, P, 16},
    {{FrameId::SaveToEeprom, "SaveToEeprom", P, 32, 0}, P, 32},
    {{FrameId::SetUid, "SetUid", P, 48, 1}, P, 48},
    {{FrameId::SetIoDirection, "SetIoDirection", P, 49, 1}, P, 49},
    {{FrameId::CursorPosition, "CursorPosition", P, 50, 2}, P, 50},
    {{FrameId::SetOutput, "SetOutput", P, 51, 2}, P, 51},
    {{FrameId::ShowText, "ShowText", P, 52, 2}, P, 52},
    {{FrameId::UploadChars, "UploadChars", P, 100, Bus::CharTableSize}, P, 100},
    // Its text of 16 to 20 bytes follows; 103 alone, ended by a pause, is SetBaud4800.
    {{FrameId::StoreText, "StoreText", P, TextBase + 1, 0}, P, TextBase + Bus::Texts},
    {{FrameId::SetBaud4800, "SetBaud4800", P, 103, 0}, P, 103},
    {{FrameId::SetBaud9600, "SetBaud9600", P, 255, 0}, P, 255},
    {{FrameId::SelectDevice, "SelectDevice", SelectCode, -1, 1}, SelectCode, -1},
    {{FrameId::DeselectDevice, "DeselectDevice", DeselectCode, -1, 0}, DeselectCode, -1},
    {{FrameId::SelectReply, "SelectReply", ReplyCode, -1, 1}, ReplyCode, -1},
    {{FrameId::Unknown, "unknown", -1, -1, 0}, -1, -1},
};
static_assert(std::size(Table) == size_t(FrameId::Unknown) + 1, "one row per frame");

// The command frame of an opcode; stored texts (and 103, which may be one) are not looked up.
const Row *command(quint8 opcode)
{
    for (const Row &row : Table) {
        if (row.layout.first == P && row.layout.id != FrameId::StoreText
            && opcode >= row.layout.opcode && opcode <= row.lastOpcode)
            return &row;
    }
    return nullptr;
}

// A one-byte frame of the character stream, or Unknown.
FrameId single(quint8 byte)
{
    for (const Row &row : Table) {
        if (row.layout.opcode < 0 && row.layout.arguments == 0 && byte >= row.layout.first
            && byte <= row.lastFirst)
            return row.layout.id;
    }
    return FrameId::Unknown;
}

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString quoted(const QByteArray &bytes)
{
    return QLatin1Char('"') + Ansi::decode(bytes) + QLatin1Char('"');
}

bool within(int value, int low, int high)
{
    return value >= low && value <= high;
}

} // namespace

const FrameLayout &layout(FrameId id)
{
    return Table[size_t(id)].layout;
}

QByteArray bytesOf(const QList<Frame> &frames)
{
    QByteArray out;
    for (const Frame &f : frames)
        out += f.bytes;
    return out;
}

QString describe(const Frame &frame)
{
    const QByteArray &b = frame.bytes;
    const QString name = QLatin1String(Protocol::name(frame.id));
    const auto at = [&b](int i) { return i < b.size() ? int(quint8(b[i])) : 0; };
    const auto minimum = layout(frame.id).arguments + (layout(frame.id).opcode >= 0 ? 2 : 1);
    if (frame.id == FrameId::Unknown || b.size() < minimum)
        return QStringLiteral("unknown ") + hex(b);
    switch (frame.id) {
    case FrameId::UserCharCode:
        return QStringLiteral("%1 %2").arg(name).arg(at(0));
    case FrameId::TextChar:
        return name + QLatin1Char(' ') + quoted(b);
    case FrameId::CursorType: {
        static const char *const types[] = {"underscore", "blinking", "hidden"};
        return name + QLatin1Char(' ') + QLatin1String(types[at(1) - 1]);
    }
    case FrameId::SetUid:
    case FrameId::SelectDevice:
    case FrameId::SelectReply:
        return QStringLiteral("%1 %2").arg(name).arg(at(b.size() - 1));
    case FrameId::SetIoDirection: {
        QStringList outputs;
        for (int line = 0; line < Bus::Lines; ++line) {
            if (at(2) & (1 << line))
                outputs << QString::number(line + 1);
        }
        return QStringLiteral("%1 outputs %2")
            .arg(name, outputs.isEmpty() ? QStringLiteral("none") : outputs.join(QLatin1Char(' ')));
    }
    case FrameId::CursorPosition:
        return QStringLiteral("%1 row %2, column %3").arg(name).arg(at(2)).arg(at(3));
    case FrameId::SetOutput:
        return QStringLiteral("%1 %2 %3")
            .arg(name)
            .arg(at(2))
            .arg(at(3) == OutputOn        ? QStringLiteral("on")
                     : at(3) == OutputOff ? QStringLiteral("off")
                                          : QStringLiteral("state %1").arg(at(3)));
    case FrameId::ShowText:
        return QStringLiteral("%1 %2 on row %3").arg(name).arg(at(2) - TextBase).arg(at(3));
    case FrameId::UploadChars: {
        QStringList characters;
        for (int k = 0; k < Bus::Characters; ++k)
            characters << QStringLiteral("%1: %2").arg(k + 1).arg(
                hex(b.mid(2 + k * Bus::CharacterRows, Bus::CharacterRows)));
        return name + QLatin1Char(' ') + characters.join(QStringLiteral(" | "));
    }
    case FrameId::StoreText:
        return QStringLiteral("%1 %2 %3").arg(name).arg(at(1) - TextBase).arg(quoted(b.mid(2)));
    default:
        return name;
    }
}

bool argumentsInRange(const Frame &frame)
{
    const QByteArray &b = frame.bytes;
    const auto at = [&b](int i) { return i < b.size() ? int(quint8(b[i])) : -1; };
    switch (frame.id) {
    case FrameId::Unknown:
        return false;
    case FrameId::SelectDevice:
    case FrameId::SelectReply:
        return within(at(1), Bus::FirstAddress, Bus::LastAddress);
    case FrameId::SetUid:
        return within(at(2), Bus::FirstUid, Bus::LastAddress);
    case FrameId::CursorPosition:
        return within(at(2), 0, Bus::Rows - 1) && within(at(3), 0, Bus::Columns - 1);
    case FrameId::SetOutput:
        return within(at(2), 0, Bus::Lines - 1) && (at(3) == OutputOn || at(3) == OutputOff);
    case FrameId::ShowText:
        return within(at(2), TextBase + 1, TextBase + Bus::Texts)
            && within(at(3), 0, Bus::Rows - 1);
    case FrameId::StoreText:
        return within(int(b.size()) - 2, StoreTextMin, StoreTextMax);
    default:
        return true;
    }
}

std::optional<Frame> Decoder::finish(FrameId id)
{
    Frame frame {id, m_bytes};
    m_bytes.clear();
    m_id = FrameId::Unknown;
    m_need = 0;
    return frame;
}

std::optional<Frame> Decoder::push(quint8 byte)
{
    m_bytes.append(char(byte));
    if (m_bytes.size() == 1) {
        if (byte == SelectCode) {
            m_id = FrameId::SelectDevice;
            m_need = 1;
            return std::nullopt;
        }
        if (byte == CommandPrefix)
            return std::nullopt; // the opcode tells
        return finish(byte == DeselectCode ? FrameId::DeselectDevice : single(byte));
    }
    if (quint8(m_bytes[0]) == CommandPrefix && m_bytes.size() == 2) {
        if (byte > TextBase && byte <= TextBase + Bus::Texts) {
            m_id = FrameId::StoreText;
            m_need = StoreTextMax;
            return std::nullopt;
        }
        const Row *row = command(byte);
        if (!row || row->layout.arguments == 0)
            return finish(row ? row->layout.id : FrameId::Unknown);
        m_id = row->layout.id;
        m_need = row->layout.arguments;
        return std::nullopt;
    }
    return --m_need == 0 ? finish(m_id) : std::nullopt;
}

QList<Frame> Decoder::framesOf(const QByteArray &bytes)
{
    QList<Frame> frames;
    Decoder decoder;
    for (char c : bytes) {
        if (const auto f = decoder.push(quint8(c)))
            frames << *f;
    }
    if (const auto f = decoder.pause())
        frames << *f;
    return frames;
}

std::optional<Frame> Decoder::pause()
{
    if (m_bytes.isEmpty())
        return std::nullopt;
    if (m_id == FrameId::StoreText && m_bytes.size() > 2)
        return finish(FrameId::StoreText);
    if (m_id == FrameId::StoreText && quint8(m_bytes[1]) == 103)
        return finish(FrameId::SetBaud4800);
    return finish(FrameId::Unknown);
}

std::optional<Frame> ReplyDecoder::push(quint8 byte)
{
    if (!std::exchange(m_open, byte == ReplyCode)) {
        if (m_open)
            return std::nullopt;
        return Frame {FrameId::Unknown, QByteArray(1, char(byte))};
    }
    if (m_open) // 238 238: the first is no reply, the second may open one
        return Frame {FrameId::Unknown, QByteArray(1, char(ReplyCode))};
    const bool address = within(byte, Bus::FirstAddress, Bus::LastAddress);
    return Frame {address ? FrameId::SelectReply : FrameId::Unknown,
                  QByteArray(1, char(ReplyCode)) + char(byte)};
}

std::optional<Frame> ReplyDecoder::pause()
{
    if (!std::exchange(m_open, false))
        return std::nullopt;
    return Frame {FrameId::Unknown, QByteArray(1, char(ReplyCode))};
}

} // namespace Protocol
