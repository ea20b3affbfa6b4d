#pragma once

#include <QByteArray>
#include <QString>

// The single-byte code page of the settings file, typed keys and stored texts: Windows-1252,
// with its five unassigned bytes mapped to the C1 code points of the same value so that every
// byte 0-255 survives a round trip.
namespace Ansi {

// The byte for one character, or '?' when the code page has none.
quint8 toByte(char32_t ch);
QByteArray encode(const QString &text);
QString decode(const QByteArray &bytes);

} // namespace Ansi
