// The window of the virtual modules, offscreen: what it says about each module, the dots it
// paints, values that keep their place, a display that grows with the window, and the blinking
// cursor and flashing backlight on its own timer.
#include "display/frames.h"
#include "sim/lcdbus.h"
#include "sim/lcdview.h"

#include <QLabel>
#include <QtTest>

using namespace Frames;

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
    w.setPort(3, "/dev/pts/7");
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QWidget *first = w.moduleView(0);
    QWidget *second = w.moduleView(1);
    const auto text = [](QWidget *view, const QString &name) {
        return view->findChild<QLabel *>(name)->text();
    };
    const auto lamp
        = [](QWidget *view, const QString &name) { return view->findChild<Lamp *>(name); };
    // Where every label and lamp of both views stands, once the layouts have settled.
    const auto places = [&] {
        QCoreApplication::sendPostedEvents();
        QList<QPoint> all;
        for (QWidget *view : {first, second}) {
            for (QWidget *child : view->findChildren<QWidget *>())
                all << child->mapTo(&w, QPoint());
        }
        return all;
    };
    const QList<QPoint> fresh = places();

    // Module 105 gets a session; 100 sees only the selections.
    std::array<quint8, 64> table {};
    table[8 * 4] = 0x18; // character 5: two dots at the top left
    bus.feed(SelectDevice(105) + UploadChars(table) + "Hi" + UserCharCode(4) + CursorType(3)
             + SetIoDirection(0x0F) + SetOutput(1, true) + SetOutput(6, true)
             + StoreText(2, "Door open"));
    bus.pause();
    bus.feed(SetBaud4800());
    bus.pause();
    w.refresh();
    QCOMPARE(
        second->property("title").toString() + '|' + text(second, "speed") + '|'
            + text(second, "selected") + '|' + text(first, "selected") + '|'
            + text(second, "cursor") + '|' + text(second, "text_2"),
        "Module 105|4800 baud|selected|not selected|hidden at row 0, column 3|Door open       ");
    QVERIFY(lamp(second, "selectedLamp")->isLit() && !lamp(first, "selectedLamp")->isLit());
    QCOMPARE(places(), fresh);
    for (int i = 0; i < 8; ++i) {
        const Lamp *output = lamp(second, QString("output_%1").arg(i));
        QCOMPARE(output->isLit(), i == 1 || i == 6);
        QCOMPARE(output->isDriven(), i < 4);
        QCOMPARE(text(second, QString("direction_%1").arg(i)), i < 4 ? "out" : "in");
    }

    // The painted display: the dots of 'H' and of character 5 on a lit panel, the panel between
    // two characters, and character 5 beside the texts.
    auto *display = second->findChild<LcdCells *>("display");
    QImage image = display->grab().toImage();
    const auto at = [&](int row, int column, int dotRow, int dotColumn) {
        return image.pixel(display->dotRect(row, column, dotRow, dotColumn).center());
    };
    const QRgb on = LcdCells::dotColor(true, true).rgb();
    const QRgb off = LcdCells::dotColor(true, false).rgb();
    QVERIFY(at(0, 0, 0, 0) == on && at(0, 0, 0, 1) == off && at(0, 0, 3, 2) == on);
    QVERIFY(at(0, 2, 0, 1) == on && at(0, 2, 0, 4) == off && at(0, 2, 1, 1) == off);
    const int pitch = display->dotRect(0, 0, 0, 1).left() - display->dotRect(0, 0, 0, 0).left();
    QCOMPARE(image.pixel(display->dotRect(0, 0, 0, 4).center() + QPoint(pitch, 0)),
             LcdCells::panelColor(true).rgb());
    auto *chars = second->findChild<LcdCells *>("userChars");
    const QImage charsImage = chars->grab().toImage();
    QCOMPARE(charsImage.pixel(chars->dotRect(0, 4, 0, 0).center()), on);
    QCOMPARE(charsImage.pixel(chars->dotRect(0, 3, 0, 0).center()), off);

    // Backlight off: the dark panel, the same characters.
    bus.feed(BacklightOff());
    w.refresh();
    image = display->grab().toImage();
    QCOMPARE(at(0, 0, 0, 0), LcdCells::dotColor(false, true).rgb());
    QCOMPARE(at(0, 0, 0, 1), LcdCells::dotColor(false, false).rgb());

    // A new address shows in the title and in the line; nothing moves for longer values.
    bus.feed(SetUid(120) + CursorType(2) + BacklightFlash() + CursorPosition(3, 19)
             + SetIoDirection(0) + SelectDevice(100) + AllOutputsOn());
    for (int i = 0; i < 3000; ++i)
        bus.feed(SaveToEeprom() + LoadBitmaps());
    bus.module(0).countGarbled(Q_INT64_C(1) << 40);
    w.refresh();
    QCOMPARE(second->property("title").toString(), QString("Module 120"));
    QCOMPARE(w.findChild<QLabel *>("line")->text(),
             "COM3: ports/COM3 \u2192 /dev/pts/7    modules at 100, 120");
    QCOMPARE(places(), fresh);
    bus.feed(SelectDevice(120) + CursorPosition(0, 3));

    // The display grows with the window, in whole dots.
    const QRect dot = display->dotRect(0, 0, 0, 0);
    w.resize(w.width() * 2, w.height() * 2);
    QTRY_VERIFY(display->dotRect(0, 0, 0, 0).width() >= 2 * dot.width());
    QVERIFY(display->rect().contains(display->dotRect(3, 19, 7, 4)));
    image = display->grab().toImage();
    QCOMPARE(at(0, 0, 0, 0), LcdCells::dotColor(display->isBacklit(), true).rgb());
    QCOMPARE(at(0, 0, 0, 1), LcdCells::dotColor(display->isBacklit(), false).rgb());

    const auto cursorLit = [&] {
        const LcdRender::Glyph g = display->cells().at(3);
        return std::all_of(g.begin(), g.end(), [](quint8 row) { return row == 0x1F; });
    };
    QTRY_VERIFY(cursorLit() && display->isBacklit());
    QTRY_VERIFY(!cursorLit() && !display->isBacklit());
    QTRY_VERIFY(cursorLit());
}

QTEST_MAIN(tst_simview)
#include "tst_simview.moc"
