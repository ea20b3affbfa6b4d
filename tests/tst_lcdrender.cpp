// What the virtual module's display shows, dot by dot, without a window: the font, the
// user-defined characters, the cursor types and the backlight. (tst_lcdbus renders the states a
// random byte stream leaves behind.)
#include "sim/lcdbus.h"
#include "sim/lcdrender.h"

#include <QtTest>

using namespace LcdRender;

class tst_lcdrender : public QObject
{
    Q_OBJECT
private slots:
    void font();
    void userCharactersAndCursor();
};

void tst_lcdrender::font()
{
    // Every printable code has a glyph of its own, not the box of a code without one, within
    // five dots and above the cursor's row; spaces are blank.
    const Glyph box = fontGlyph(0x7F);
    QVERIFY(fontGlyph(0x81) == box && fontGlyph(31) == box);
    QVERIFY(fontGlyph(' ') == Glyph {} && fontGlyph(0xA0) == Glyph {});
    QHash<QByteArray, int> seen;
    for (int code = 33; code <= 0xFF; ++code) {
        if (code > 126 && code < 0xA1
            && !QByteArray("\x80\x8A\x8C\x8E\x9A\x9C\x9E\x9F").contains(char(code)))
            continue;
        const Glyph g = fontGlyph(quint8(code));
        const QByteArray key(reinterpret_cast<const char *>(g.data()), DotRows);
        QVERIFY2(key.count('\0') < DotRows && g != box && g[CursorDotRow] == 0,
                 qPrintable(QString::number(code)));
        for (quint8 row : g)
            QCOMPARE(row & ~0x1F, 0);
        QVERIFY2(!seen.contains(key),
                 qPrintable(QString("%1 looks like %2").arg(code).arg(seen.value(key))));
        seen.insert(key, code);
    }
}

void tst_lcdrender::userCharactersAndCursor()
{
    // Codes 0 to 7 show the characters 1 to 8 from their row bytes, bits 5 to 7 left out;
    // higher codes never come from the table; missing rows are blank.
    QByteArray table(64, '\0'), shown;
    for (int i = 0; i < 64; ++i)
        table[i] = char(i * 37);
    for (quint8 code = 0; code < 8; ++code)
        shown += QByteArray(reinterpret_cast<const char *>(glyph(code, table).data()), DotRows);
    for (char &row : table)
        row &= 0x1F;
    QCOMPARE(shown, table);
    QCOMPARE(glyph('A', QByteArray(64, char(0x1F))), fontGlyph('A'));
    QCOMPARE(glyph(0, QByteArray("\x01\x02", 2)), (Glyph {1, 2, 0, 0, 0, 0, 0, 0}));

    // On the display: bit 4 is the leftmost dot.
    LcdModule lcd;
    lcd.uploadChars(QByteArray(1, char(0x10)) + QByteArray(63, char(0x01)));
    lcd.writeCode(0);
    lcd.writeCode('A');
    lcd.setCursorType(LcdModule::Hidden);
    Screen s = render(lcd, true);
    QVERIFY(s.dot(0, 0, 0, 0) && !s.dot(0, 0, 0, 4) && s.dot(0, 0, 1, 4) && !s.dot(0, 0, 1, 0));
    QCOMPARE(s.cell(0, 1), fontGlyph('A'));
    QCOMPARE(s.litDots(0, 2), 0);

    // Underscore: the eighth dot row of the cursor's cell, in both phases, added to its
    // character. Blinking: the whole cell in one phase, the character in the other.
    lcd.setCursorType(LcdModule::Underscore);
    lcd.setCursorPosition(0, 1);
    Glyph underscored = fontGlyph('A');
    underscored[7] = 0x1F;
    QVERIFY(render(lcd, true).cell(0, 1) == underscored
            && render(lcd, false).cell(0, 1) == underscored);
    QVERIFY(!render(lcd, true).dot(0, 1, 7, 5)); // the gap to the next character
    lcd.setCursorType(LcdModule::Blinking);
    QCOMPARE(render(lcd, true).litDots(0, 1), 40);
    QCOMPARE(render(lcd, false).cell(0, 1), fontGlyph('A'));

    // The backlight: lit, dark (the characters still shown), or flashing with the phases.
    QVERIFY(render(lcd, true).backlit && render(lcd, false).backlit);
    lcd.setBacklight(LcdModule::BacklightOff);
    QVERIFY(!render(lcd, true).backlit && !render(lcd, false).backlit);
    QCOMPARE(render(lcd, false).cell(0, 1), fontGlyph('A'));
    lcd.setBacklight(LcdModule::BacklightFlashing);
    QVERIFY(render(lcd, true).backlit && !render(lcd, false).backlit);
}

QTEST_MAIN(tst_lcdrender)
#include "tst_lcdrender.moc"
