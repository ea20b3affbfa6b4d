#include "shell/frmmain.h"
#include "shell/modvariables.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    modVariables vars;
    frmMain window(vars);
    window.show();
    return app.exec();
}
