#include "chars/editorrows.h"

namespace {
bool isWeight(int weight)
{
    return weight == 1 || weight == 2 || weight == 4 || weight == 8 || weight == 16;
}
} // namespace

QString RowCaption(quint8 row)
{
    return QStringLiteral("0x")
        + QString::number(row, 16).toUpper().rightJustified(2, QLatin1Char('0'));
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
