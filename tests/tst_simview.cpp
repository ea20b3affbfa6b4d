// The window of the virtual modules, offscreen: what it says about each module, the dots it
// paints, and the blinking cursor. (tst_simproc paints random states in the program.)
#include "display/frames.h"
#include "sim/lcdbus.h"
#include "sim/lcdview.h"

#include <QLabel>
#include <QtTest>

using namespace LcdRender;

namespace {

template<typename T> T *find(QWidget *parent, const QString &name)
{
    T *found = parent->findChild<T *>(name);
    if (!found)
        qFatal("no widget %s", qPrintable(name));
    return found;
}

QString label(QWidget *view, const QString &name)
{
    return find<QLabel>(view, name)->text();
}

// The colour in the middle of a dot, comparable with a QColor's rgb().
QRgb pixel(const QImage &image, const QRect &dot)
{
    return image.pixel(dot.center());
}

} // namespace

class tst_simview : public QObject
{
    Q_OBJECT
private slots:
    void window();
};

void tst_simview::window()
{
    LcdBus bus({100, 105});
    SimWindow w(bus);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QWidget *first = w.moduleView(0);
    QWidget *second = w.moduleView(1);

    // Module 105 gets a session; 100 sees only the selections.
    std::array<quint8, 64> table {};
    table[8 * 4 + 0] = 0x18; // character 5: two dots at the top left
    bus.feed(Frames::SelectDevice(105));
    bus.feed(Frames::UploadChars(table) + "Hi" + Frames::UserCharCode(4)
             + Frames::CursorType(LcdModule::Hidden));
    bus.feed(Frames::SetIoDirection(0x0F) + Frames::SetOutput(1, true) + Frames::SetOutput(6, true)
             + Frames::StartupScreenOn());
    // A stored text ends with the pause after it.
    bus.feed(Frames::StoreText(2, "Door open"));
    bus.pause();
    bus.feed(Frames::StoreText(3, QByteArray("\xC4rger \x01", 7)));
    bus.pause();
    bus.feed(Frames::SetBaud4800());
    bus.pause();
    w.refresh();

    QCOMPARE(second->property("title").toString(), QStringLiteral("Module 105"));
    QCOMPARE(label(second, "address"), QStringLiteral("105"));
    QCOMPARE(label(second, "speed"), QStringLiteral("4800 baud"));
    QCOMPARE(label(second, "selected"), QStringLiteral("selected"));
    QCOMPARE(label(first, "selected"), QStringLiteral("not selected"));
    QCOMPARE(label(first, "speed"), QStringLiteral("9600 baud"));
    QVERIFY(find<Lamp>(second, "selectedLamp")->isLit());
    QVERIFY(!find<Lamp>(first, "selectedLamp")->isLit());
    QCOMPARE(label(second, "cursor"), QStringLiteral("hidden at row 0, column 3"));
    for (int i = 0; i < 8; ++i) {
        const Lamp *lamp = find<Lamp>(second, QStringLiteral("output_%1").arg(i));
        QCOMPARE(lamp->isLit(), i == 1 || i == 6);
        QCOMPARE(lamp->isDriven(), i < 4);
        QCOMPARE(label(second, QStringLiteral("direction_%1").arg(i)),
                 i < 4 ? QStringLiteral("out") : QStringLiteral("in"));
        QVERIFY(!find<Lamp>(first, QStringLiteral("output_%1").arg(i))->isLit());
    }
    QVERIFY(label(second, "text_1").isEmpty());
    QCOMPARE(label(second, "text_2"), QStringLiteral("Door open       "));
    QCOMPARE(label(second, "text_3"), QString::fromUtf8("\u00C4rger \u00B7         "));
    QVERIFY(label(second, "startup").contains(QLatin1String("on")));
    QVERIFY(label(first, "startup").endsWith(QLatin1String("off")));

    // The painted display: the dots of 'H' and of character 5, a lit panel.
    auto *display = find<LcdCells>(second, "display");
    QImage image = display->grab().toImage();
    const QRgb on = LcdCells::dotColor(true, true).rgb();
    const QRgb off = LcdCells::dotColor(true, false).rgb();
    QCOMPARE(pixel(image, display->dotRect(0, 0, 0, 0)), on);
    QCOMPARE(pixel(image, display->dotRect(0, 0, 0, 1)), off);
    QCOMPARE(pixel(image, display->dotRect(0, 0, 3, 2)), on); // H's bar
    QCOMPARE(pixel(image, display->dotRect(0, 2, 0, 1)), on); // character 5, left
    QCOMPARE(pixel(image, display->dotRect(0, 2, 0, 4)), off);
    QCOMPARE(pixel(image, display->dotRect(0, 2, 1, 1)), off);
    QCOMPARE(pixel(image, display->dotRect(1, 0, 7, 0)), off);
    // Between two characters is the panel, not a dot.
    const QRect gap
        = display->dotRect(0, 0, 0, 4)
              .translated(display->dotRect(0, 0, 0, 1).left() - display->dotRect(0, 0, 0, 0).left(),
                          0);
    QCOMPARE(pixel(image, gap), LcdCells::panelColor(true).rgb());
    // The uploaded characters are shown beside the texts.
    auto *chars = find<LcdCells>(second, "userChars");
    QCOMPARE(pixel(chars->grab().toImage(), chars->dotRect(0, 4, 0, 0)), on);
    QCOMPARE(pixel(chars->grab().toImage(), chars->dotRect(0, 3, 0, 0)), off);

    // Backlight off: the dark panel, the same characters.
    bus.feed(Frames::BacklightOff());
    w.refresh();
    image = display->grab().toImage();
    QCOMPARE(pixel(image, display->dotRect(0, 0, 0, 0)), LcdCells::dotColor(false, true).rgb());
    QCOMPARE(pixel(image, display->dotRect(0, 0, 0, 1)), LcdCells::dotColor(false, false).rgb());

    // A new address shows in the title; a blinking cursor and a flashing backlight change with
    // the window's own timer.
    bus.feed(Frames::SetUid(120) + Frames::CursorType(LcdModule::Blinking)
             + Frames::BacklightFlash());
    w.refresh();
    QCOMPARE(second->property("title").toString(), QStringLiteral("Module 120"));
    const auto cursorLit = [&] {
        const Glyph g = display->cells().at(3);
        return std::all_of(g.begin(), g.end(), [](quint8 row) { return row == 0x1F; });
    };
    QTRY_VERIFY(cursorLit() && display->isBacklit());
    QTRY_VERIFY(!cursorLit() && !display->isBacklit());
    QTRY_VERIFY(cursorLit());
}

QTEST_MAIN(tst_simview)
#include "tst_simview.moc"
