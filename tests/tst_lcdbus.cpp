// The virtual modules read the wire protocol, without a line: selection, what the frames do to
// the selected module only, frame boundaries and pauses, and a long random stream after which
// every module is in range and its display shows what it holds.
#include "display/frames.h"
#include "sim/lcdbus.h"
#include "sim/lcdrender.h"

#include <QRandomGenerator>
#include <QTest>

using namespace Frames;
using namespace Protocol;

namespace {

// The head of stored text n, which its text follows.
QByteArray StoreTextHead(int n)
{
    return StoreText(quint8(n), {}).bytes.left(2);
}

// The four rows, '|' between them, trailing spaces left out.
QByteArray rows(const LcdModule &m)
{
    QByteArrayList all;
    for (int r = 0; r < LcdModule::Rows; ++r) {
        QByteArray row = m.row(r);
        while (row.endsWith(' '))
            row.chop(1);
        all << row;
    }
    return all.join('|');
}

} // namespace

class tst_LcdBus : public QObject
{
    Q_OBJECT
private slots:
    void selection();
    void textAndCursor();
    void commands();
    void eeprom();
    void randomStream();
};

void tst_LcdBus::selection()
{
    LcdBus bus({100, 105});
    LcdModule &m100 = bus.module(0);
    LcdModule &m105 = bus.module(1);
    const QString before100 = m100.describe();
    QCOMPARE(bus.feed(SelectDevice(105)), SelectReply(105));
    bus.feed("Hi" + BacklightOff() + AllOutputsOn() + StartupScreenOn());
    QVERIFY(m105.isSelected() && !m100.isSelected());
    QCOMPARE(rows(m105), QByteArray("Hi|||"));
    QVERIFY(m105.backlight() == LcdModule::BacklightOff && m105.outputs() == 0xFF);
    QVERIFY(m105.startupScreen());
    QCOMPARE(m100.describe(), before100);

    // Another address, then one nobody has: frames are read and dropped.
    QCOMPARE(bus.feed(SelectDevice(100)), SelectReply(100));
    QVERIFY(m100.isSelected() && !m105.isSelected());
    QCOMPARE(bus.feed(SelectDevice(101)), QByteArray());
    QVERIFY(!m100.isSelected() && !m105.isSelected());
    const QString before = m100.describe() + m105.describe();
    bus.feed("xyz" + ClearCode() + BacklightFlash() + SetUid(120));
    QCOMPARE(m100.describe() + m105.describe(), before);

    // Split across reads a selection still answers; a pause in between breaks it.
    QCOMPARE(bus.feed(QByteArray::fromHex("ef")), QByteArray());
    QCOMPARE(bus.feed(QByteArray::fromHex("69")), SelectReply(105));
    QCOMPARE(bus.feed(DeselectDevice()), QByteArray());
    QVERIFY(!m105.isSelected());
    bus.feed(QByteArray::fromHex("ef"));
    bus.pause();
    QCOMPARE(bus.feed(QByteArray::fromHex("69")), QByteArray());

    // Frame boundaries hold for everyone: selection bytes inside an upload for nobody, or
    // inside a text for 105, are data.
    std::array<quint8, 64> table {};
    table[10] = SelectCode;
    table[11] = 100;
    const QByteArray text = QByteArray::fromHex("ef64eafe320000");
    bus.feed(UploadChars(table) + SelectDevice(105) + StoreTextHead(2) + text);
    bus.pause();
    QVERIFY(!m100.isSelected() && m105.isSelected());
    QCOMPARE(m105.text(2), text);

    // SetUid takes effect at once: the old address is silent, the new one answers.
    bus.feed(SelectDevice(100) + SetUid(117));
    QCOMPARE(bus.feed(SelectDevice(100) + SelectDevice(117)), SelectReply(117));
    QCOMPARE(bus.moduleByAddress(117), &m100);
}

void tst_LcdBus::textAndCursor()
{
    LcdBus bus;
    LcdModule &m = bus.module(0);
    // User characters 0..7 are written, other control codes nothing; past column 19 the text
    // wraps to the next row, and from row 3 to row 0.
    bus.feed(SelectDevice(100) + "AB" + QByteArray::fromHex("000708090a0e1f")
             + "0123456789abcdefg");
    QCOMPARE(rows(m), QByteArray::fromHex("41420007") + "0123456789abcdef|g||");
    bus.feed(CursorPosition(3, 19) + "!?");
    QVERIFY(m.at(3, 19) == '!' && m.at(0, 0) == '?');
    // 12 goes to the start of the next row, from row 3 to row 0; 11 home; 13 clears.
    bus.feed(ClearCode() + CursorPosition(2, 4) + NextLineCode() + "n" + NextLineCode() + "o");
    QCOMPARE(rows(m), QByteArray("o|||n"));
    bus.feed(CursorPosition(1, 5) + CursorHomeCode() + "h");
    QCOMPARE(rows(m), QByteArray("h|||n"));
    QVERIFY(m.cursorRow() == 0 && m.cursorColumn() == 1);
    // Out of range positions leave the cursor, each one 4-byte frame; unknown opcodes take two.
    bus.feed(CursorPosition(4, 0) + CursorPosition(0, 20) + CursorPosition(255, 255) + "Z");
    bus.feed(QByteArray::fromHex("fe0061fe0462fec863"));
    QCOMPARE(rows(m), QByteArray("hZabc|||n"));
    // 234 typed as a character deselects the module.
    bus.feed(ClearCode() + QByteArray::fromHex("c8eeff") + TextChar(234) + "x");
    QCOMPARE(rows(m), QByteArray::fromHex("c8eeff") + "|||");
    bus.feed(SelectDevice(100) + CursorType(2));
    QCOMPARE(m.cursorType(), LcdModule::Blinking);
}

void tst_LcdBus::commands()
{
    LcdBus bus;
    LcdModule &m = bus.module(0);
    bus.feed(SelectDevice(100));
    // The text ends after 20 bytes: the 21st is a character on the display.
    bus.feed(StoreTextHead(4) + "ABCDEFGHIJKLMNOPQRSTU");
    QCOMPARE(m.text(4) + '|' + rows(m), QByteArray("ABCDEFGHIJKLMNOPQRST|U|||"));
    // A pause ends a shorter text, even one split across reads.
    bus.feed(StoreTextHead(5) + "Sho");
    bus.feed("rt");
    bus.pause();
    QCOMPARE(m.text(5), QByteArray("Short"));

    // 254, 103 followed by text, even in a later read, is stored text 3; followed by quiet,
    // the speed.
    bus.feed(SetBaud4800());
    bus.feed("Third text here!");
    bus.pause();
    QVERIFY(m.text(3) == "Third text here!" && m.baud() == 9600);
    bus.feed(SetBaud4800());
    bus.pause();
    QVERIFY(m.text(3) == "Third text here!" && m.baud() == 4800);
    bus.feed(SetBaud9600());
    QCOMPARE(m.baud(), 9600);

    std::array<quint8, 64> table;
    for (int i = 0; i < 64; ++i)
        table[size_t(i)] = quint8(254 - i); // frame-opening bytes among the data
    const QByteArray data(reinterpret_cast<const char *>(table.data()), 64);
    bus.feed(ClearCode() + UploadChars(table) + "k");
    QCOMPARE(m.userChars(), data);
    // Cut short by a pause: dropped, and the line is back in step.
    bus.feed(UploadChars({}).bytes.left(40));
    bus.pause();
    bus.feed("m");
    QCOMPARE(m.userChars(), data);
    QCOMPARE(rows(m), QByteArray("km|||"));

    // The address and directions change at once.
    bus.feed(SetUid(110) + SetIoDirection(0x81));
    QVERIFY(m.address() == 110 && m.directions() == 0x81);

    // Outputs: all, one by one; a state byte other than H or I, or an output past 7, changes
    // nothing and uses up the frame.
    bus.feed(AllOutputsOn() + SetOutput(3, false));
    QCOMPARE(m.outputs(), quint8(0xF7));
    bus.feed(AllOutputsOff() + SetOutput(0, true) + SetOutput(5, true)
             + QByteArray::fromHex("fe330068fe330848") + "q");
    QCOMPARE(m.outputs(), quint8(0x21));
    QCOMPARE(rows(m), QByteArray("kmq|||"));
}

void tst_LcdBus::eeprom()
{
    // What a module saved comes back whole from its image, and at power-up.
    LcdBus bus;
    LcdModule &m = bus.module(0);
    std::array<quint8, 64> table;
    for (int i = 0; i < 64; ++i)
        table[size_t(i)] = quint8(i * 7);
    bus.feed(SelectDevice(100) + SetUid(117) + SetIoDirection(0x0F) + StartupScreenOn()
             + UploadChars(table) + StoreTextHead(1) + QByteArray("Line\x01\xEF\n\\", 8));
    bus.pause();
    bus.feed(SetBaud4800());
    bus.pause();
    bus.feed(SaveToEeprom() + "x");
    const QByteArray image = m.eeprom().image();
    QCOMPARE(LcdSettings::fromImage(image), m.eeprom());
    LcdModule restarted(100);
    restarted.powerUp(*LcdSettings::fromImage(image));
    QVERIFY(restarted.settings() == m.eeprom() && restarted.eeprom() == m.eeprom());
    QCOMPARE(rows(restarted), QByteArray("Line\x01\xEF\n\\|||", 11));

    // A file cut short, changed or another program's is refused with a reason, never read
    // as settings.
    const auto with = [&](const QByteArray &from, const QByteArray &to) {
        QByteArray changed = image;
        return changed.replace(from, to);
    };
    const QByteArray cases[] = {
        {},
        image.left(image.size() / 2),
        image.chopped(1),
        image + "extra 1\n",
        image + QByteArray(LcdSettings::MaxImageSize, '\n'),
        "[Settings]\r\nCommPort=1\r\n",
        with("address 117", "address 256"),
        with("address 117", "address x"),
        with("baud 4800", "baud 19200"),
        with("directions 0F", "directions F"),
        with("startup on", "startup yes"),
        with("text2 \n", "text2 4\n"),
        with("text2 \n", "text2 " + QByteArray(42, '4') + '\n'),
        with("text2 \n", "text2 4g\n"),
        with("chars 00", "chars "),
        with("baud 4800\ndirections 0F", "directions 0F\nbaud 4800"),
    };
    for (const QByteArray &bad : cases) {
        QString why;
        QVERIFY2(!LcdSettings::fromImage(bad, &why), bad.constData());
        QVERIFY(!why.isEmpty());
    }
    // Any byte changed anywhere: refused, or settings within their ranges.
    QRandomGenerator rng(117);
    for (int round = 0; round < 2000; ++round) {
        QByteArray changed = image;
        changed[int(rng.bounded(image.size()))] = char(rng.bounded(256));
        if (const std::optional<LcdSettings> s = LcdSettings::fromImage(changed))
            QVERIFY(s->chars.size() == 64 && (s->baud == 4800 || s->baud == 9600)
                    && std::all_of(s->texts.begin(), s->texts.end(),
                                   [](const QByteArray &t) { return t.size() <= 20; }));
    }
}

void tst_LcdBus::randomStream()
{
    LcdBus bus({100, 105, 132});
    QRandomGenerator rng(20240611);
    // Frame-opening bytes and addresses are likelier than in plain noise.
    const QByteArray favourites = QByteArray::fromHex("efeafe64698432346765");
    for (int round = 0; round < 4000; ++round) {
        QByteArray chunk;
        for (int i = int(rng.bounded(1, 120)); i > 0; --i)
            chunk += rng.bounded(3) == 0 ? favourites.at(int(rng.bounded(favourites.size())))
                                         : char(rng.bounded(256));
        QCOMPARE(bus.feed(chunk).size() % 2, 0); // whole answers only
        if (rng.bounded(4) == 0) {
            bus.pause();
            QVERIFY(!bus.inFrame());
        }
        for (int k = 0; k < bus.moduleCount(); ++k) {
            const LcdModule &m = bus.module(k);
            int longest = 0;
            for (int n = 1; n <= 8; ++n)
                longest = qMax(longest, int(m.text(n).size()));
            QVERIFY(m.cursorRow() >= 0 && m.cursorRow() < LcdModule::Rows && m.cursorColumn() >= 0
                    && m.cursorColumn() < LcdModule::Columns
                    && m.cursorType() >= LcdModule::Underscore
                    && m.cursorType() <= LcdModule::Hidden && (m.baud() == 4800 || m.baud() == 9600)
                    && m.userChars().size() == 64 && longest <= StoreTextMax);
            // Every cell shows the glyph of its code; the cursor only adds dots, within the
            // five columns of its cell.
            for (bool phase : {true, false}) {
                const LcdRender::Screen s = LcdRender::render(m, phase);
                QCOMPARE(s.backlit, LcdRender::backlightLit(m.backlight(), phase));
                for (int cell = 0; cell < LcdRender::CellCount; ++cell) {
                    const int r = cell / LcdModule::Columns, c = cell % LcdModule::Columns;
                    const LcdRender::Glyph expected = LcdRender::glyph(m.at(r, c), m.userChars());
                    const LcdRender::Glyph shown = s.cell(r, c);
                    for (int d = 0; d < LcdRender::DotRows; ++d)
                        QCOMPARE(shown[size_t(d)] & (~0x1F | expected[size_t(d)]),
                                 expected[size_t(d)]);
                    if (r != m.cursorRow() || c != m.cursorColumn()
                        || m.cursorType() == LcdModule::Hidden)
                        QCOMPARE(shown, expected);
                }
            }
        }
    }
    for (int k = 0; k < bus.moduleCount(); ++k) // the stream did reach every module
        QVERIFY(rows(bus.module(k)) != "|||");
}

QTEST_APPLESS_MAIN(tst_LcdBus)
#include "tst_lcdbus.moc"
