#pragma once

// Helpers shared by the window tests: the test program's settings file, controls by name, the
// message boxes that a handler opens, and a main window with a pty behind it.

#include "link/modini.h"
#include "shell/frmmain.h"
#include "shell/modvariables.h"
#include "sim/simport.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

namespace TestSupport {

// A test's settings file and ports/ are in its own configuration folder (no tessaline.ini
// stands beside a test program), never in the user's: set before anything asks for them.
inline const bool OwnConfigFolder = qputenv("XDG_CONFIG_HOME", TESSALINE_TEST_CONFIG);

inline void writeSettings(const QByteArray &content)
{
    QVERIFY(QDir().mkpath(SettingsFolder()));
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

// The controls of a window that the operator uses and that have no tooltip: buttons, lists,
// text boxes (not a list's own edit field) and menu commands.
inline QStringList withoutToolTip(QWidget *window)
{
    QStringList missing;
    for (QWidget *w : window->findChildren<QWidget *>()) {
        const bool control = qobject_cast<QAbstractButton *>(w) || qobject_cast<QComboBox *>(w)
            || (w->inherits("QLineEdit") && !w->parent()->inherits("QComboBox"));
        if (control && !w->objectName().startsWith("qt_") && w->toolTip().isEmpty())
            missing << w->objectName();
    }
    for (QAction *action : window->findChildren<QAction *>()) {
        if (!action->objectName().isEmpty() && action->toolTip() == action->text())
            missing << action->objectName();
    }
    return missing;
}

// A main window with a pty linked as ports/COM1 behind it, carrying the bus's modules (none: the
// test answers); connected at 9600 baud unless told otherwise.
struct MainBench
{
    explicit MainBench(LcdBus *bus = nullptr, bool connectNow = true)
        : pty(bus)
    {
        if (!openLine())
            qFatal("pty: %s", qPrintable(pty.errorString()));
        window = std::make_unique<frmMain>(vars);
        if (connectNow)
            connectPort();
    }
    // A new line on COM1; received() starts empty.
    bool openLine()
    {
        pty.clearReceived();
        return pty.open(1, QString(), SimPort::Existing::Replace);
    }
    template<typename T = QWidget> T *get(const QString &name)
    {
        return child<T>(window.get(), name);
    }
    void click(const QString &button)
    {
        QTest::mouseClick(get<QAbstractButton>(button), Qt::LeftButton);
    }
    void set(const QString &list, const QString &text) { choose(get<QComboBox>(list), text); }
    // Sets the lists named in "list=text,list=text" ("_" stands for a blank) and clicks.
    void press(const QString &button, const QString &lists = QString())
    {
        for (const QString &setting : lists.split(',', Qt::SkipEmptyParts))
            set(setting.section('=', 0, 0), setting.section('=', 1).replace('_', ' '));
        click(button);
    }
    void connectPort() { press("cmdConnect", "cboComm=COM1,cboBaud=9600"); }
    void select(const QString &address) { press("cmdSelect", "cboAddr=" + address); }
    QString text(const QString &label) { return get<QLabel>(label)->text(); }
    bool enabled(const QString &name) { return get<QWidget>(name)->isEnabled(); }
    // Connect caption, Select Device panel, Configure LCD and command panel, in one line.
    QString state()
    {
        return QStringLiteral("%1 select=%2 cfg=%3 commands=%4")
            .arg(get<QAbstractButton>("cmdConnect")->text())
            .arg(enabled("Frame2"))
            .arg(get<QAction>("mnuCfg")->isEnabled())
            .arg(enabled("Frame3"));
    }

    SimPort pty;
    modVariables vars;
    std::unique_ptr<frmMain> window;
};

} // namespace TestSupport
