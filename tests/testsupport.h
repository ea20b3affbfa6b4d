#pragma once

// Helpers shared by the window tests: the test program's settings file, controls by name, and
// the message boxes that a handler opens.

#include "link/modini.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

namespace TestSupport {

inline void writeSettings(const QByteArray &content)
{
    QFile file(IniPath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

inline void removeSettings()
{
    QFile::remove(IniPath());
}

template<typename T> T *child(QObject *parent, const QString &name)
{
    T *found = parent->findChild<T *>(name);
    if (!found)
        qFatal("no control %s", qPrintable(name));
    return found;
}

// Picks a list's item by its text, as the operator would; any other text is typed over.
inline void choose(QComboBox *list, const QString &text)
{
    const int index = list->findText(text);
    if (index >= 0)
        list->setCurrentIndex(index);
    else
        list->setEditText(text);
}

// Answers every message box that opens while it lives with OK and keeps what it said.
class MessageBoxCatcher : public QObject
{
public:
    MessageBoxCatcher()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                titles << box->windowTitle();
                texts << box->text();
                box->accept();
            }
        });
        m_timer.start(5);
    }
    QStringList titles;
    QStringList texts;

private:
    QTimer m_timer;
};

} // namespace TestSupport
