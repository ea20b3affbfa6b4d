#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <array>

// The frames of the wire protocol between the program and the LCD modules, built by name.
// Frames have no marker, length or checksum: the first byte, and after the command prefix the
// opcode, tell them apart.
namespace Frames {

constexpr quint8 CommandPrefix = 254; // 0xFE, opens a command frame
constexpr quint8 SelectCode = 239; // 0xEF, SelectDevice
constexpr quint8 DeselectCode = 234; // 0xEA, DeselectDevice
constexpr quint8 ReplyCode = 238; // 0xEE, first byte of SelectReply
constexpr quint8 TextBase = 100; // predefined text n travels as 100 + n
constexpr int StoreTextMin = 16; // shorter stored texts are padded with spaces
constexpr int StoreTextMax = 20;
constexpr int UploadLength = 66;

// Opcodes after CommandPrefix.
enum Opcode : quint8 {
    OpBacklightOn = 6,
    OpBacklightOff = 7,
    OpLoadBitmaps = 8,
    OpBacklightFlash = 11,
    OpAllOutputsOn = 12,
    OpAllOutputsOff = 13,
    OpStartupScreenOn = 15,
    OpStartupScreenOff = 16,
    OpSaveToEeprom = 32,
    OpSetUid = 48,
    OpSetIoDirection = 49,
    OpCursorPosition = 50,
    OpSetOutput = 51,
    OpShowText = 52,
    OpUploadChars = 100,
    OpSetBaud4800 = 103,
    OpSetBaud9600 = 255,
};

constexpr quint8 OutputOn = 72; // 'H'
constexpr quint8 OutputOff = 73; // 'I'

// One-byte frames of the character stream.
QByteArray UserCharCode(quint8 n); // n = 0..7
QByteArray CursorHomeCode(); // 11
QByteArray NextLineCode(); // 12
QByteArray ClearCode(); // 13
QByteArray TextChar(quint8 ch); // 32..255

// Command frames.
QByteArray CursorType(quint8 t); // 1 underscore, 2 blinking, 3 hidden
QByteArray BacklightOn();
QByteArray BacklightOff();
QByteArray LoadBitmaps();
QByteArray BacklightFlash();
QByteArray AllOutputsOn();
QByteArray AllOutputsOff();
QByteArray StartupScreenOn();
QByteArray StartupScreenOff();
QByteArray SaveToEeprom();
QByteArray SetUid(quint8 address); // 101..132
QByteArray SetIoDirection(quint8 mask); // bit i set: line i + 1 is an output
QByteArray CursorPosition(quint8 row, quint8 column); // 0..3, 0..19
QByteArray SetOutput(quint8 output, bool on); // 0..7
QByteArray ShowText(quint8 n, quint8 row); // text 1..8 on row 0..3
QByteArray UploadChars(const std::array<quint8, 64> &table);
QByteArray StoreTextHead(quint8 n); // 254, 100 + n: the part sent before the text
// The whole StoreText frame: head, then the text padded with spaces to 16 and cut at 20 bytes.
QByteArray StoreText(quint8 n, const QByteArray &text);
QByteArray SetBaud4800();
QByteArray SetBaud9600();

// Selection.
QByteArray SelectDevice(quint8 address);
QByteArray DeselectDevice();
QByteArray SelectReply(quint8 address); // sent by a module

// A received chunk is a reply when it starts with 238 and the expected address.
bool isSelectReply(const QByteArray &chunk, quint8 address);

} // namespace Frames
