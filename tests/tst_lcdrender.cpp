// What the virtual module's display shows, dot by dot, without a window: the font, the
// user-defined characters, the cursor types and the backlight, and any state a random byte
// stream leaves behind.
#include "display/frames.h"
#include "sim/lcdbus.h"
#include "sim/lcdrender.h"

#include <QRandomGenerator>
#include <QSet>
#include <QtTest>

using namespace LcdRender;

namespace {

QByteArray glyphKey(const Glyph &g)
{
    return QByteArray(reinterpret_cast<const char *>(g.data()), int(g.size()));
}

int litDots(const Glyph &g)
{
    int n = 0;
    for (quint8 row : g)
        n += qPopulationCount(row);
    return n;
}

} // namespace

class tst_lcdrender : public QObject
{
    Q_OBJECT
private slots:
    void font();
    void userCharacters();
    void cursor();
    void backlight();
    void randomState();
};

void tst_lcdrender::font()
{
    QCOMPARE(litDots(fontGlyph(' ')), 0);
    QCOMPARE(litDots(fontGlyph(0xA0)), 0); // no-break space

    // Every printable code has a glyph of its own, within five dots and above the cursor's row,
    // and none of them is the box of a code without a glyph.
    const Glyph box = fontGlyph(0x7F);
    QCOMPARE(fontGlyph(0x81), box);
    QCOMPARE(fontGlyph(31), box);
    QHash<QByteArray, int> seen;
    QList<int> printable;
    for (int code = 33; code <= 126; ++code)
        printable << code;
    for (int code = 0xA1; code <= 0xFF; ++code)
        printable << code;
    for (int code : {0x80, 0x8A, 0x8C, 0x8E, 0x9A, 0x9C, 0x9E, 0x9F})
        printable << code;
    for (int code : printable) {
        const Glyph g = fontGlyph(quint8(code));
        QVERIFY2(litDots(g) > 0, qPrintable(QString::number(code)));
        QVERIFY2(g != box, qPrintable(QString::number(code)));
        QCOMPARE(g[CursorDotRow], quint8(0));
        for (quint8 row : g)
            QCOMPARE(row & ~0x1F, 0);
        const QByteArray key = glyphKey(g);
        QVERIFY2(!seen.contains(key),
                 qPrintable(QStringLiteral("%1 looks like %2").arg(code).arg(seen.value(key))));
        seen.insert(key, code);
    }

    // Letters with a mark keep their letter below it: E acute is E without its second row,
    // e acute is e with the mark on the two free rows, i loses its dot to the mark.
    const Glyph eAcute = fontGlyph(0xE9);
    const Glyph e = fontGlyph('e');
    for (int r = 2; r < 7; ++r)
        QCOMPARE(eAcute[size_t(r)], e[size_t(r)]);
    QCOMPARE(eAcute[0], quint8(0x02));
    QCOMPARE(fontGlyph(0xC9)[0], quint8(0x02));
    QCOMPARE(fontGlyph(0xC9)[1], fontGlyph('E')[0]);
    QCOMPARE(fontGlyph(0xC9)[3], fontGlyph('E')[3]);
    QCOMPARE(fontGlyph(0xC9)[6], fontGlyph('E')[6]);
    QCOMPARE(fontGlyph(0xED)[0], quint8(0x02));
    QCOMPARE(fontGlyph(0xEF)[0], quint8(0x0A)); // i diaeresis: two dots, not three
}

void tst_lcdrender::userCharacters()
{
    // Character k (1 to 8) has its rows at (k - 1) * 8; code k - 1 shows it, all eight rows,
    // with bits 5 to 7 of a row byte ignored.
    QByteArray table(64, '\0');
    for (int k = 1; k <= 8; ++k) {
        for (int r = 0; r < 8; ++r)
            table[(k - 1) * 8 + r] = char(k * 8 + r);
    }
    table[2 * 8 + 7] = char(0xFF);
    table[2 * 8 + 0] = char(0xE0);
    for (quint8 code = 0; code < 8; ++code) {
        const Glyph g = glyph(code, table);
        for (int r = 0; r < 8; ++r) {
            quint8 expected = quint8(((code + 1) * 8 + r) & 0x1F);
            if (code == 2 && r == 7)
                expected = 0x1F;
            if (code == 2 && r == 0)
                expected = 0;
            QCOMPARE(g[size_t(r)], expected);
        }
    }
    // Codes above 7 never come from the table.
    QCOMPARE(glyph(8, QByteArray(64, char(0x1F))), fontGlyph(8));
    QCOMPARE(glyph('A', QByteArray(64, char(0x1F))), fontGlyph('A'));
    // A short table (never uploaded whole) leaves the missing rows blank.
    QCOMPARE(glyph(0, QByteArray("\x01\x02", 2)), (Glyph {1, 2, 0, 0, 0, 0, 0, 0}));
    QCOMPARE(glyph(7, QByteArray()), Glyph {});
}

void tst_lcdrender::cursor()
{
    LcdModule lcd;
    lcd.writeCode('A');
    lcd.setCursorPosition(1, 4);
    // Underscore: the eighth dot row of the cursor's cell, in both phases, nowhere else.
    for (bool phase : {true, false}) {
        const Screen s = render(lcd, phase);
        QCOMPARE(s.cell(1, 4), (Glyph {0, 0, 0, 0, 0, 0, 0, 0x1F}));
        QCOMPARE(s.cell(0, 0), fontGlyph('A'));
        QCOMPARE(s.litDots(0, 1), 0);
        QVERIFY(!s.dot(1, 4, 7, 5)); // the gap to the next character
    }
    // Over a character the underscore adds to it.
    lcd.cursorHome();
    Glyph underscored = fontGlyph('A');
    underscored[7] = 0x1F;
    QCOMPARE(render(lcd, true).cell(0, 0), underscored);

    // Blinking: the whole cell in one phase, the character in the other.
    lcd.setCursorType(LcdModule::Blinking);
    QCOMPARE(render(lcd, true).litDots(0, 0), 40);
    QCOMPARE(render(lcd, false).cell(0, 0), fontGlyph('A'));

    lcd.setCursorType(LcdModule::Hidden);
    QCOMPARE(render(lcd, true).cell(0, 0), fontGlyph('A'));
}

void tst_lcdrender::backlight()
{
    LcdModule lcd;
    lcd.writeCode('8');
    QVERIFY(render(lcd, true).backlit && render(lcd, false).backlit);
    lcd.setBacklight(LcdModule::BacklightOff);
    QVERIFY(!render(lcd, true).backlit && !render(lcd, false).backlit);
    // A dark backlight still shows the characters, as a real panel does in daylight.
    QCOMPARE(render(lcd, true).cell(0, 0), fontGlyph('8'));
    lcd.setBacklight(LcdModule::BacklightFlashing);
    QVERIFY(render(lcd, true).backlit && !render(lcd, false).backlit);
}

void tst_lcdrender::randomState()
{
    // Random bytes, with frames cut short, texts longer than 20 characters and uploads broken
    // off, sometimes followed by a pause: whatever the modules keep, every cell shows the glyph
    // of its code, the cursor only adds dots, and no dot lies outside the 5x8 cell.
    for (quint32 seed : {1u, 2u, 3u, 4u}) {
        QRandomGenerator rng(seed);
        LcdBus bus({100, 101});
        for (int round = 0; round < 300; ++round) {
            QByteArray chunk;
            switch (rng.bounded(5)) {
            case 0:
                chunk = Frames::SelectDevice(quint8(100 + rng.bounded(2)));
                break;
            case 1:
                chunk = Frames::StoreTextHead(quint8(1 + rng.bounded(8)))
                    + QByteArray(int(rng.bounded(30)), char('a' + rng.bounded(26)));
                break;
            case 2:
                chunk = QByteArray::fromHex("fe64") + QByteArray(int(rng.bounded(70)), '\x1f');
                break;
            default:
                for (int i = int(rng.bounded(40)); i > 0; --i)
                    chunk += char(rng.bounded(256));
            }
            bus.feed(chunk);
            if (rng.bounded(3) == 0)
                bus.pause();
            for (int m = 0; m < bus.moduleCount(); ++m) {
                const LcdModule &lcd = bus.module(m);
                for (bool phase : {true, false}) {
                    const Screen s = render(lcd, phase);
                    QCOMPARE(s.backlit, backlightLit(lcd.backlight(), phase));
                    for (int r = 0; r < LcdModule::Rows; ++r) {
                        for (int c = 0; c < LcdModule::Columns; ++c) {
                            const Glyph expected = glyph(lcd.at(r, c), lcd.userChars());
                            const Glyph shown = s.cell(r, c);
                            for (int d = 0; d < DotRows; ++d) {
                                QCOMPARE(shown[size_t(d)] & ~0x1F, 0);
                                QCOMPARE(shown[size_t(d)] & expected[size_t(d)],
                                         expected[size_t(d)]);
                            }
                            const bool atCursor = r == lcd.cursorRow() && c == lcd.cursorColumn();
                            if (!atCursor || lcd.cursorType() == LcdModule::Hidden)
                                QCOMPARE(shown, expected);
                        }
                    }
                }
            }
        }
    }
}

QTEST_MAIN(tst_lcdrender)
#include "tst_lcdrender.moc"
