#include "shell/forms.h"

#include <QComboBox>
#include <QCompleter>
#include <QCoreApplication>
#include <QFont>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>

int listIndex(const QComboBox *list)
{
    return list->findText(list->currentText(), Qt::MatchExactly | Qt::MatchCaseSensitive);
}

void makePlainList(QComboBox *list)
{
    if (!list->isEditable()) {
        // A line edit that already has a completer keeps the list from building its default
        // one (a model and dozens of connections) that would be removed at once below; and
        // unlike setEditable() this leaves the drop-down to be built when it first opens.
        static QPointer<QCompleter> idle;
        if (!idle)
            idle = new QCompleter(QCoreApplication::instance());
        auto *edit = new QLineEdit(list);
        edit->setPalette(list->palette());
        edit->setCompleter(idle);
        list->setLineEdit(edit);
    }
    list->setInsertPolicy(QComboBox::NoInsert);
    list->setCompleter(nullptr);
}

QString nothingSent(const QString &why)
{
    return QStringLiteral("Nothing sent: ") + why;
}

QString notInList(const QComboBox *list)
{
    return QStringLiteral("\"%1\" is not in the list").arg(list->currentText());
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

namespace {
const QString ProgramTitle = QStringLiteral("TessalineApp");
}

void showWarning(QWidget *parent, const QString &text)
{
    QMessageBox::warning(parent, ProgramTitle, text, QMessageBox::Ok);
}

void showPortNotAvailable(QWidget *parent)
{
    showWarning(parent, QStringLiteral("SELECTED PORT NOT AVAILABLE!"));
}

void showPortLost(QWidget *parent, const QString &message)
{
    auto *box
        = new QMessageBox(QMessageBox::Warning, ProgramTitle, message, QMessageBox::Ok, parent);
    box->setObjectName(QStringLiteral("PortLost"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}
