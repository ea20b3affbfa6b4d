#include "chars/chartable.h"

#include "link/modini.h"

namespace {
const QString Section = QStringLiteral("UDC");
constexpr int Characters = 8;
constexpr int RowsPerCharacter = 8;

bool isWeight(int weight)
{
    return weight == 1 || weight == 2 || weight == 4 || weight == 8 || weight == 16;
}

// Only the plain decimal text that a save writes (leading zeros tolerated) is a byte.
bool parseByte(const QString &text, quint8 &value)
{
    if (text.isEmpty() || text.size() > 10)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    const qulonglong number = text.toULongLong();
    if (number > 255)
        return false;
    value = quint8(number);
    return true;
}
} // namespace

QString RowCaption(quint8 row)
{
    return QStringLiteral("0x")
        + QString::number(row, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

QString charKey(int character, int row)
{
    return QStringLiteral("UCHAR%1R%2").arg(character).arg(row);
}

void LoadCharTable(std::array<quint8, 64> &table)
{
    for (int k = 1; k <= Characters; ++k) {
        for (int r = 1; r <= RowsPerCharacter; ++r) {
            const QString key = charKey(k, r);
            const QString text = ReadIniValue(Section, key);
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
            table[size_t((k - 1) * RowsPerCharacter + (r - 1))] = value;
        }
    }
}

void EditorRows::toggle(int row, int weight)
{
    if (row < 1 || row > int(rows.size()) || !isWeight(weight))
        return;
    rows[size_t(row - 1)] ^= quint8(weight);
}

void EditorRows::setAll()
{
    rows.fill(AllSet);
}

void EditorRows::clear()
{
    rows.fill(0);
}
