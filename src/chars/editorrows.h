#pragma once

#include <QString>
#include <QtGlobal>

#include <array>

// The pixel editor's row arithmetic: bits 4..0 of a row byte are its pixels from left to right
// (weights 16, 8, 4, 2, 1).

// The row label's text: "0x" and two upper-case hexadecimal digits.
QString RowCaption(quint8 row);

// The editor's eight row bytes, row 1 (top) first. Every byte stays within 0..31.
struct EditorRows
{
    static constexpr quint8 AllSet = 31;

    std::array<quint8, 8> rows {};

    // Flips the pixel of weight 1, 2, 4, 8 or 16 in row 1..8.
    void toggle(int row, int weight);
    void setAll();
    void clear();
};
