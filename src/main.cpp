#include "link/modini.h"
#include "shell/forms.h"
#include "shell/frmmain.h"
#include "shell/modvariables.h"

#include <QApplication>
#include <QProxyStyle>

#include <cstdio>

namespace {

// The application's style less one icon: the menu bar's overflow button, which shows only when
// the menus do not fit (the one command always does), reads its icon when the bar is built,
// and that read loads every image-format plugin just to turn down a PNG.
class PanelStyle : public QProxyStyle
{
public:
    using QProxyStyle::QProxyStyle;
    QIcon standardIcon(StandardPixmap icon, const QStyleOption *option,
                       const QWidget *widget) const override
    {
        if (icon == SP_ToolBarHorizontalExtensionButton)
            return {};
        return QProxyStyle::standardIcon(icon, option, widget);
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // The desktop entry that shows its name and icon for the program's windows.
    QGuiApplication::setDesktopFileName(QStringLiteral("tessaline"));
    // On the style that the platform or the user chose.
    QApplication::setStyle(new PanelStyle(QApplication::style()->name()));
    // Every line edit lays out its text once in the application's font before it takes its
    // window's; with the windows' font here too, the platform's default face is never loaded.
    QApplication::setFont(formFont());
    // First start without a settings file: the user's copy of the template. Without one the
    // program runs on the fallbacks of a missing file.
    if (!CreateSettingsFile())
        std::fprintf(stderr, "tessaline: cannot create the settings file %s from %s\n",
                     qPrintable(IniPath()), qPrintable(TemplatePath()));
    modVariables vars;
    frmMain window(vars);
    window.show();
    return app.exec();
}
