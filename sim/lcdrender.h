#pragma once

#include "sim/lcdbus.h"

#include <QByteArray>
#include <QtGlobal>

#include <array>

// What a module's display shows, dot by dot: the character codes of the display through the
// built-in font or the user-defined characters, the cursor and the backlight. Qt Core only, so
// the pictures can be checked without a window.
namespace LcdRender {

constexpr int DotColumns = 5;
constexpr int DotRows = 8;
constexpr int CursorDotRow = DotRows - 1; // the built-in font leaves it to the cursor
constexpr int CellCount = LcdModule::Rows * LcdModule::Columns;

// The dots of one character cell, top row first; bits 4 to 0 are the dots from left to right,
// as in the row bytes of a user-defined character.
using Glyph = std::array<quint8, DotRows>;

// The built-in font: printable ASCII, the Latin-1 letters and signs of 160 to 255 and the
// letters and signs of Windows-1252 in 128 to 159 (the code page the control panel sends).
// Any other code shows a hollow box. Rows 0 to 6 only.
Glyph fontGlyph(quint8 code);

// A code as the module shows it: 0 to 7 are the user-defined characters 1 to 8, taken from the
// module's 64 row bytes (bits 5 to 7 are ignored, missing bytes are blank rows); the rest come
// from the font.
Glyph glyph(quint8 code, const QByteArray &userChars);

// The display at one moment. The blinking cursor and the flashing backlight alternate between
// two phases: in the "on" phase the cursor cell is a full block and a flashing backlight is
// lit; in the other the cell shows its character and the backlight is dark.
struct Screen
{
    bool backlit = true;
    std::array<Glyph, CellCount> cells {};

    const Glyph &cell(int row, int column) const
    {
        return cells[size_t(row * LcdModule::Columns + column)];
    }
    bool dot(int row, int column, int dotRow, int dotColumn) const;
    int litDots(int row, int column) const;
};

bool backlightLit(LcdModule::Backlight backlight, bool phaseOn);
Screen render(const LcdModule &module, bool phaseOn);

} // namespace LcdRender
