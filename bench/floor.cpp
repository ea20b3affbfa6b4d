// The floor of any program on this toolkit: one window with a line of text, sized by it, so
// that, as in every window with text, a font is found before the window can be mapped.
// With --empty the window holds nothing and needs no font before the map.
#include <QApplication>
#include <QLabel>

#include <cstring>
#include <memory>

int main(int argc, char *argv[])
{
    const bool empty = argc > 1 && std::strcmp(argv[1], "--empty") == 0;
    QApplication app(argc, argv);
    std::unique_ptr<QWidget> window;
    if (empty) {
        window = std::make_unique<QWidget>();
        window->resize(320, 200);
    } else {
        window = std::make_unique<QLabel>(QStringLiteral("Hello"));
    }
    window->show();
    return app.exec();
}
