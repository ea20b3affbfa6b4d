#include "shell/forms.h"

#include <QComboBox>
#include <QFont>

int listIndex(const QComboBox *list)
{
    return list->findText(list->currentText(), Qt::MatchExactly | Qt::MatchCaseSensitive);
}

void makePlainList(QComboBox *list)
{
    list->setEditable(true);
    list->setInsertPolicy(QComboBox::NoInsert);
    list->setCompleter(nullptr);
}

QFont formFont()
{
    QFont font;
    // Where Tahoma is missing, a face of Arial's metrics keeps the captions inside their
    // controls; the platform's sans-serif comes last.
    font.setFamilies(
        {QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"), QStringLiteral("Arial")});
    font.setPointSizeF(8.25);
    font.setStyleHint(QFont::SansSerif);
    return font;
}
