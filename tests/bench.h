#pragma once

// The test bench of the windows: the test program's own settings file, a pty linked as
// ports/COM1 with virtual modules behind it (or none: the test answers), the main window and the
// configuration window that it opens; controls by name in either window, one step language for
// both, and the message boxes that a handler opens.

#include "chars/chartable.h"
#include "config/frmcfg.h"
#include "link/ansi.h"
#include "link/commport.h"
#include "link/modini.h"
#include "shell/frmmain.h"
#include "shell/modvariables.h"
#include "sim/lcdbus.h"
#include "sim/simport.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include <array>
#include <memory>

namespace Bench {

// A test's settings file and ports/ are in its own configuration folder (no tessaline.ini stands
// beside a test program), never in the user's: set before anything asks for them.
inline const bool OwnConfigFolder = qputenv("XDG_CONFIG_HOME", TESSALINE_TEST_CONFIG);

inline void writeSettings(const QByteArray &content)
{
    QVERIFY(QDir().mkpath(SettingsFolder()));
    QFile file(IniPath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

inline QByteArray readSettings()
{
    QFile file(IniPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline void removeSettings()
{
    QFile::remove(IniPath());
}

// A settings file: port, rate, address 100, the texts as PT1..., and the 64 "UCHARkRr" rows,
// row r of character k at (k - 1) * 8 + r - 1.
inline QByteArray iniFile(const QStringList &texts, const std::array<int, 64> &rows, int port = 1,
                          const QByteArray &rate = "4800")
{
    QByteArray file = "[Settings]\r\nCommPort=" + QByteArray::number(port) + "\r\nSetting=" + rate
        + ",n,8,1\r\n[LCD]\r\nUID=100\r\n";
    for (int n = 1; n <= texts.size(); ++n)
        file += "PT" + QByteArray::number(n) + '=' + Ansi::encode(texts[n - 1]) + "\r\n";
    file += "[UDC]\r\n";
    for (int i = 0; i < 64; ++i)
        file += charKey(i / 8 + 1, i % 8 + 1).toLatin1() + '=' + QByteArray::number(rows[size_t(i)])
            + "\r\n";
    return file;
}

template<typename T = QWidget> T *child(QObject *parent, const QString &name)
{
    T *found = parent->findChild<T *>(name);
    if (!found)
        qFatal("no control %s", qPrintable(name));
    return found;
}

// Does in a window what the steps say, in order, as the operator would: "name=text" picks the
// item of that text in a list (any other text is typed over it) or types the text into a text
// box; a bare name clicks a button or triggers a menu command. "_" in a text is a blank.
inline void act(QWidget *window, const QString &steps)
{
    for (const QString &step : steps.split(',', Qt::SkipEmptyParts)) {
        const QString name = step.section('=', 0, 0);
        const QString text = step.section('=', 1).replace('_', ' ');
        if (auto *list = window->findChild<QComboBox *>(name)) {
            const int index = list->findText(text);
            if (index >= 0)
                list->setCurrentIndex(index);
            else
                list->setEditText(text);
        } else if (auto *box = window->findChild<QLineEdit *>(name)) {
            box->setText(text);
        } else if (auto *action = window->findChild<QAction *>(name)) {
            action->trigger();
        } else {
            QTest::mouseClick(child<QAbstractButton>(window, name), Qt::LeftButton);
        }
    }
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

// The main window with a pty linked as ports/COM1 behind it, carrying virtual modules at the
// addresses given (none: a bare line that the test answers), started from the settings file
// that stands (writeSettings() before, or none).
struct Windows
{
    explicit Windows(const QList<quint8> &modules = {})
        : bus(modules)
        , pty(modules.isEmpty() ? nullptr : &bus)
    {
        if (!openLine())
            qFatal("pty: %s", qPrintable(pty.errorString()));
        main = std::make_unique<frmMain>(vars);
    }
    // A new line on COM1, in place of one that a killed run left; received() starts empty.
    bool openLine()
    {
        pty.clearReceived();
        return pty.open(1, QString(), SimPort::Existing::Replace);
    }

    // Steps in the main window, and in the configuration window.
    void act(const QString &steps) { Bench::act(main.get(), steps); }
    void cfgAct(const QString &steps) { Bench::act(cfg(), steps); }
    // Connects COM1 at a rate, and selects a module.
    void connect(const QString &rate = QStringLiteral("9600"))
    {
        act("cboComm=COM1,cboBaud=" + rate + ",cmdConnect");
    }
    void select(int address) { act("cboAddr=" + QString::number(address) + ",cmdSelect"); }
    // Connects when not connected and hands the port to the configuration window: false when
    // the window did not come up with the port, or a message box opened.
    bool configure(const QString &rate = QStringLiteral("4800"))
    {
        MessageBoxCatcher boxes;
        if (get<QAbstractButton>("cmdConnect")->text() == QLatin1String("Connect"))
            connect(rate);
        act("mnuCfg");
        return cfg() && cfg()->isVisible() && cfg()->MSComm1().isOpen() && boxes.texts.isEmpty();
    }

    // A control of the main window, or of the configuration window.
    template<typename T = QWidget> T *get(const QString &name)
    {
        return child<T>(main.get(), name);
    }
    template<typename T = QWidget> T *cfgGet(const QString &name) { return child<T>(cfg(), name); }
    QString text(const QString &label) { return get<QLabel>(label)->text(); }
    bool enabled(const QString &name) { return get(name)->isEnabled(); }
    // Connect caption, Select Device panel, Configure LCD and command panel, in one line.
    QString state()
    {
        return QStringLiteral("%1 select=%2 cfg=%3 commands=%4")
            .arg(get<QAbstractButton>("cmdConnect")->text())
            .arg(enabled("Frame2"))
            .arg(get<QAction>("mnuCfg")->isEnabled())
            .arg(enabled("Frame3"));
    }
    frmCfg *cfg() const
    {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (auto *window = qobject_cast<frmCfg *>(widget))
                return window;
        }
        return nullptr;
    }

    LcdBus bus;
    SimPort pty;
    modVariables vars;
    std::unique_ptr<frmMain> main;
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

} // namespace Bench
