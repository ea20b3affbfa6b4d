#include "chars/chartable.h"

namespace {
const QString Section = QStringLiteral("UDC");
constexpr int Characters = 8;
constexpr int RowsPerCharacter = 8;

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\v');
}

// A row byte as an operator may write it: a whole number from 0 to 255, with blanks around it,
// a leading "+" and any number of leading zeros.
bool parseByte(const QString &text, quint8 &value)
{
    QStringView t(text);
    while (!t.isEmpty() && isBlank(t.front()))
        t = t.mid(1);
    while (!t.isEmpty() && isBlank(t.back()))
        t.chop(1);
    if (t.startsWith(QLatin1Char('+')))
        t = t.mid(1);
    if (t.isEmpty())
        return false;
    uint number = 0;
    for (const QChar c : t) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        number = number * 10 + uint(c.unicode() - '0');
        if (number > 255)
            return false;
    }
    value = quint8(number);
    return true;
}
} // namespace

QString charKey(int character, int row)
{
    return QStringLiteral("UCHAR%1R%2").arg(character).arg(row);
}

QList<IniKey> CharTableKeys()
{
    QList<IniKey> keys;
    for (int k = 1; k <= Characters; ++k) {
        for (int r = 1; r <= RowsPerCharacter; ++r)
            keys.append({Section, charKey(k, r)});
    }
    return keys;
}

void LoadCharTable(std::array<quint8, 64> &table, const QStringList &values)
{
    for (int i = 0; i < int(table.size()); ++i) {
        const QString key = charKey(i / RowsPerCharacter + 1, i % RowsPerCharacter + 1);
        const QString text = values.value(i);
        quint8 value = 0;
        if (!parseByte(text, value)) {
            value = 0;
            if (text.isEmpty())
                qWarning("settings file: [UDC] %s is missing or empty; loaded as 0",
                         qPrintable(key));
            else
                qWarning("settings file: [UDC] %s = \"%s\" is not a number from 0 to 255; "
                         "loaded as 0",
                         qPrintable(key), qPrintable(text));
        }
        table[size_t(i)] = value;
    }
}

void LoadCharTable(std::array<quint8, 64> &table)
{
    LoadCharTable(table, ReadIniValues(CharTableKeys()));
}

bool SaveCharacterRows(int character, const std::array<quint8, 8> &rows)
{
    QList<IniEntry> entries;
    for (int r = 1; r <= RowsPerCharacter; ++r)
        entries.append({charKey(character, r), QString::number(rows[size_t(r - 1)])});
    return WriteIniValues(Section, entries);
}
