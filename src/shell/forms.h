#pragma once

class QComboBox;
class QFont;
class QString;
class QWidget;

// Helpers that every window and panel shares.

// The selected index of an editable list: the position of the item whose text equals the edit
// text exactly, or -1 when the text names no item. Every list of both windows uses it.
int listIndex(const QComboBox *list);

// Makes a list editable the plain way: typed text is never added as an item and never
// completed to one, so it names an item only when it equals it.
void makePlainList(QComboBox *list);

// What the operator reads when a command sends nothing: "Nothing sent: " and the reason.
QString nothingSent(const QString &why);
// The reason when a list's text names no item, as in: "OFF " is not in the list
QString notInList(const QComboBox *list);

// The windows' font: Tahoma 8.25 pt, or a face of like metrics, or the platform's sans-serif.
QFont formFont();

// A message box that stops its window until the operator answers: a warning titled with the
// program's title, "TessalineApp", and an OK button.
void showWarning(QWidget *parent, const QString &text);
// The message of a port that could not be opened: "SELECTED PORT NOT AVAILABLE!".
void showPortNotAvailable(QWidget *parent);

// The message of a port lost while open, in the same words in both windows. It does not stop
// the window, which may be inside a wait.
void showPortLost(QWidget *parent, const QString &message);
