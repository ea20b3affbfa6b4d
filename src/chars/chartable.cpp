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

bool ParseCharTable(std::array<quint8, 64> &table, const QStringList &values,
                    const std::function<void(const QString &)> &problem)
{
    bool whole = true;
    for (int i = 0; i < int(table.size()); ++i) {
        const QString key = charKey(i / RowsPerCharacter + 1, i % RowsPerCharacter + 1);
        const QString text = values.value(i);
        quint8 value = 0;
        if (!parseByte(text, value)) {
            value = 0;
            whole = false;
            problem(text.isEmpty()
                        ? QStringLiteral("[UDC] %1 is missing or empty").arg(key)
                        : QStringLiteral("[UDC] %1 = \"%2\" is not a number from 0 to 255")
                              .arg(key, text));
        }
        table[size_t(i)] = value;
    }
    return whole;
}

void LoadCharTable(std::array<quint8, 64> &table, const QStringList &values)
{
    ParseCharTable(table, values, [](const QString &problem) {
        qWarning("settings file: %s; loaded as 0", qPrintable(problem));
    });
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
