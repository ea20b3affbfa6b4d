#pragma once

// Helpers of the tests around the configuration window: a settings file made of texts and row
// bytes, the file as it stands, steps on a window's controls, and the configuration window that
// the main window opened.

#include "chars/chartable.h"
#include "config/frmcfg.h"
#include "link/ansi.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QLineEdit>

#include <array>

namespace CfgSupport {

using Rows = std::array<int, 64>; // "UCHARkRr" at (k - 1) * 8 + r - 1

// Row r of character k holds k * 10 + r, apart from the changes given as {index, value}.
inline Rows rowsWith(std::initializer_list<std::pair<int, int>> changes = {})
{
    Rows rows;
    for (int i = 0; i < 64; ++i)
        rows[size_t(i)] = (i / 8 + 1) * 10 + i % 8 + 1;
    for (const auto &[index, value] : changes)
        rows[size_t(index)] = value;
    return rows;
}

// Port, rate, address 100, the texts as PT1... and the 64 row bytes.
inline QByteArray iniFile(const QStringList &texts, const Rows &rows, int port = 1,
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

inline QByteArray readSettings()
{
    QFile file(IniPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Does in a window what the steps say, in order: "name=text" picks or types the text in a list
// or text box, a bare name clicks a button.
inline void act(QWidget *window, const QString &steps)
{
    for (const QString &step : steps.split(',')) {
        const QString name = step.section('=', 0, 0);
        const QString text = step.section('=', 1);
        if (auto *list = window->findChild<QComboBox *>(name))
            TestSupport::choose(list, text);
        else if (auto *box = window->findChild<QLineEdit *>(name))
            box->setText(text);
        else
            TestSupport::child<QAbstractButton>(window, name)->click();
    }
}

inline frmCfg *cfgWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *cfg = qobject_cast<frmCfg *>(widget))
            return cfg;
    }
    return nullptr;
}

} // namespace CfgSupport
