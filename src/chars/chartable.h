#pragma once

#include <QString>
#include <QtGlobal>

#include <array>

// The eight user-defined characters: the editor's row arithmetic and the table's keys in the
// settings file. Character k (1..8), pixel row r (1..8) is table element (k - 1) * 8 + (r - 1);
// bits 4..0 of a row byte are its pixels from left to right (weights 16, 8, 4, 2, 1).

// The row label's text: "0x" and two upper-case hexadecimal digits.
QString RowCaption(quint8 row);
// The settings-file key of character k, row r in section "UDC": "UCHAR3R5".
QString charKey(int character, int row);

// Fills all 64 bytes of the table from section "UDC", "UCHAR1R1" first .. "UCHAR8R8" last.
// A value missing, empty, not a number, or outside 0-255 loads as 0 with one warning line on
// stderr naming the key.
void LoadCharTable(std::array<quint8, 64> &table);

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
