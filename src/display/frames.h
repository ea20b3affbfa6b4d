#pragma once

#include "display/protocol.h"

#include <array>

// The frames of the wire protocol, built by name with their arguments: each gives the frame's
// name and bytes, so that whoever sends it can say what went out.
namespace Frames {

using Protocol::Frame;

// One-byte frames of the character stream.
Frame UserCharCode(quint8 n); // n = 0..7
Frame CursorHomeCode(); // 11
Frame NextLineCode(); // 12
Frame ClearCode(); // 13
Frame TextChar(quint8 ch); // 32..255

// Command frames.
Frame CursorType(quint8 t); // 1 underscore, 2 blinking, 3 hidden
Frame BacklightOn();
Frame BacklightOff();
Frame LoadBitmaps();
Frame BacklightFlash();
Frame AllOutputsOn();
Frame AllOutputsOff();
Frame StartupScreenOn();
Frame StartupScreenOff();
Frame SaveToEeprom();
Frame SetUid(quint8 address); // 101..132
Frame SetIoDirection(quint8 mask); // bit i set: line i + 1 is an output
Frame CursorPosition(quint8 row, quint8 column); // 0..3, 0..19
Frame SetOutput(quint8 output, bool on); // 0..7
Frame ShowText(quint8 n, quint8 row); // text 1..8 on row 0..3
Frame UploadChars(const std::array<quint8, Bus::CharTableSize> &table);
// Stored text n = 1..8: the head 254, 100 + n, then the text padded with spaces to 16 bytes
// and cut at 20.
Frame StoreText(quint8 n, const QByteArray &text);
Frame SetBaud4800();
Frame SetBaud9600();

// Selection.
Frame SelectDevice(quint8 address);
Frame DeselectDevice();
Frame SelectReply(quint8 address); // sent by a module

// A received chunk is a reply when it starts with 238 and the expected address.
bool isSelectReply(const QByteArray &chunk, quint8 address);

} // namespace Frames
