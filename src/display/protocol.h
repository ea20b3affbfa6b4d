#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <optional>

// The bus and its modules, as every part of the program counts them.
namespace Bus {

constexpr int Ports = 20; // the program's port list: COM1 to COM20
constexpr int FirstAddress = 100; // the addresses a module can be selected at
constexpr int LastAddress = 132;
constexpr int FirstUid = 101; // the addresses SetUid gives a module
constexpr int ReplyTicks = 10; // the wait for a SelectReply, and after each stored text
constexpr int Rows = 4; // the display
constexpr int Columns = 20;
constexpr int Lines = 8; // outputs, P2 I/O lines
constexpr int Texts = 8; // stored texts
constexpr int Characters = 8; // user-defined characters of 8 pixel rows each
constexpr int CharacterRows = 8;
constexpr int CharTableSize = Characters * CharacterRows;

} // namespace Bus

// The wire protocol between the program and the modules: one table of its frames (names, first
// bytes, opcodes, argument layouts), their text for a person, and the reading of a byte stream
// into frames. Frames carry no marker, length or checksum: the first byte, and after the command
// prefix the opcode, tell them apart.
namespace Protocol {

constexpr quint8 CommandPrefix = 254; // 0xFE, opens a command frame
constexpr quint8 SelectCode = 239; // 0xEF, SelectDevice
constexpr quint8 DeselectCode = 234; // 0xEA, DeselectDevice
constexpr quint8 ReplyCode = 238; // 0xEE, first byte of SelectReply
constexpr quint8 LastUserChar = 7; // one-byte frames 0..7 show a user-defined character
constexpr quint8 FirstPrintable = 32; // one-byte frames 32..255 are typed characters
constexpr quint8 TextBase = 100; // stored text n travels as 100 + n
constexpr int StoreTextMin = 16; // shorter stored texts are padded with spaces
constexpr int StoreTextMax = 20;
constexpr quint8 OutputOn = 72; // 'H'
constexpr quint8 OutputOff = 73; // 'I'

enum class FrameId : quint8 {
    UserCharCode,
    CursorHomeCode,
    NextLineCode,
    ClearCode,
    TextChar,
    CursorType,
    BacklightOn,
    BacklightOff,
    LoadBitmaps,
    BacklightFlash,
    AllOutputsOn,
    AllOutputsOff,
    StartupScreenOn,
    StartupScreenOff,
    SaveToEeprom,
    SetUid,
    SetIoDirection,
    CursorPosition,
    SetOutput,
    ShowText,
    UploadChars,
    StoreText,
    SetBaud4800,
    SetBaud9600,
    SelectDevice,
    DeselectDevice,
    SelectReply,
    Unknown, // bytes that form no frame
};

// How a frame is laid out. One-byte frames have no opcode; command frames start with
// CommandPrefix and their opcode; the arguments follow.
struct FrameLayout
{
    FrameId id;
    const char *name;
    qint16 first; // the first byte; -1 for a range (UserCharCode, TextChar)
    qint16 opcode; // the byte after CommandPrefix; -1 for none, or a range (CursorType, StoreText)
    quint8 arguments; // fixed argument bytes after the first byte and the opcode
};

const FrameLayout &layout(FrameId id);
inline const char *name(FrameId id)
{
    return layout(id).name;
}

// A frame as its sender built it: which frame, and its bytes.
struct Frame
{
    FrameId id = FrameId::Unknown;
    QByteArray bytes;

    bool operator==(const Frame &other) const { return id == other.id && bytes == other.bytes; }
    // Where only bytes count (a line, a buffer), a frame is its bytes.
    operator const QByteArray &() const { return bytes; }
};

// The bytes of several frames, one after the other.
QByteArray bytesOf(const QList<Frame> &frames);

// What a frame means, in the protocol's terms: "SelectDevice 105", "CursorPosition row 2,
// column 5", "StoreText 3 "Hello"", "unknown EE 41".
QString describe(const Frame &frame);

// True when every argument lies in the range the program produces (rows 0..3, columns 0..19,
// outputs 0..7 with H or I, texts 1..8, UIDs 101..132, a 16..20-byte stored text).
bool argumentsInRange(const Frame &frame);

// Reads the byte stream toward the modules frame by frame, as a module reads it. Only one fact
// of the line besides the bytes is needed: a pause (the line went quiet) ends a stored text,
// makes 254, 103 alone SetBaud4800, and drops any other frame cut short.
class Decoder
{
public:
    // Takes one byte; gives the frame it completes. Bytes that start no frame (8 to 10, 14 to
    // 31) and unknown opcodes (with their prefix) come back as Unknown.
    std::optional<Frame> push(quint8 byte);
    // The line went quiet: a stored text or SetBaud4800 ends; any other frame begun is dropped
    // and comes back as Unknown.
    std::optional<Frame> pause();
    // True between the first and the last byte of a frame.
    bool inFrame() const { return !m_bytes.isEmpty(); }
    QByteArray pending() const { return m_bytes; }
    // The frames of bytes sent in one go, followed by a pause.
    static QList<Frame> framesOf(const QByteArray &bytes);

private:
    std::optional<Frame> finish(FrameId id);

    QByteArray m_bytes; // the frame begun; at most 66 bytes
    FrameId m_id = FrameId::Unknown; // what it will be, once its opcode is known
    int m_need = 0; // bytes still expected
};

// Reads the byte stream from the modules. Its one frame is SelectReply: 238 and an address
// 100..132, whole however the bytes were cut into reads. Every other byte is Unknown; a 238 not
// followed by an address comes back with the byte after it ("unknown EE 41"), unless that byte
// is another 238, which may still open a reply.
class ReplyDecoder
{
public:
    // Takes one byte; gives the frame it completes or the bytes it shows to be no frame.
    std::optional<Frame> push(quint8 byte);
    // The line went quiet: a 238 waiting for its address is no reply.
    std::optional<Frame> pause();
    bool inFrame() const { return m_open; }

private:
    bool m_open = false; // a 238 came and waits for its address
};

} // namespace Protocol
