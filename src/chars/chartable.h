#pragma once

#include "link/modini.h"

#include <QStringList>
#include <QtGlobal>

#include <array>
#include <functional>

// The table of the eight user-defined characters in the settings file. Character k (1..8),
// pixel row r (1..8) is table element (k - 1) * 8 + (r - 1) and key "UCHARkRr" of section
// "UDC".

// The settings-file key of character k, row r in section "UDC": "UCHAR3R5".
QString charKey(int character, int row);
// The table's 64 keys, "UCHAR1R1" first .. "UCHAR8R8" last.
QList<IniKey> CharTableKeys();

// Fills all 64 bytes of the table from the values of CharTableKeys(), in that order, and tells
// `problem` of each value that is missing or not a whole number from 0 to 255 (blanks around
// it, a leading "+" and leading zeros allowed), which loads as 0: "[UDC] UCHAR3R5 = "x" is not a
// number from 0 to 255". False when there was any.
bool ParseCharTable(std::array<quint8, 64> &table, const QStringList &values,
                    const std::function<void(const QString &)> &problem);
// Fills all 64 bytes of the table from the values of CharTableKeys(), in that order. A value
// that is not a whole number from 0 to 255 (blanks around it, a leading "+" and leading zeros
// allowed) loads as 0 with one warning line on stderr naming the key; so does a missing one.
void LoadCharTable(std::array<quint8, 64> &table, const QStringList &values);
// The same from one read of the settings file.
void LoadCharTable(std::array<quint8, 64> &table);

// Writes the eight rows of character k (1..8) as their decimal texts, in one replacement of
// the settings file: all eight or, when the write fails, none.
bool SaveCharacterRows(int character, const std::array<quint8, 8> &rows);
