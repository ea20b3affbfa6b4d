#include "display/frames.h"
#include "sim/lcdbus.h"

#include <QRandomGenerator>
#include <QTest>

using namespace Frames;

namespace {

QByteArray bytes(std::initializer_list<int> list)
{
    QByteArray out;
    for (int b : list)
        out.append(char(b));
    return out;
}

QByteArray padded(const QByteArray &text)
{
    return text + QByteArray(LcdModule::Columns - text.size(), ' ');
}

} // namespace

class tst_LcdBus : public QObject
{
    Q_OBJECT

private slots:
    void selection();
    void framesReachOnlySelected();
    void textAndCursor();
    void storeAndShowText();
    void baud4800OrText3();
    void uploadLoadAndSave();
    void outputsAndDirections();
    void randomStream();
};

void tst_LcdBus::selection()
{
    LcdBus bus({100, 105});
    LcdModule &m100 = bus.module(0);
    LcdModule &m105 = bus.module(1);
    QCOMPARE(bus.feed(SelectDevice(105)), bytes({238, 105}));
    QVERIFY(m105.isSelected() && !m100.isSelected());
    QCOMPARE(bus.feed(SelectDevice(100)), bytes({238, 100}));
    QVERIFY(m100.isSelected() && !m105.isSelected());
    QCOMPARE(bus.feed(SelectDevice(101)), QByteArray());
    QVERIFY(!m100.isSelected() && !m105.isSelected());

    // Split across reads it still answers; a pause in between breaks it.
    QCOMPARE(bus.feed(bytes({239})), QByteArray());
    QCOMPARE(bus.feed(bytes({105})), bytes({238, 105}));
    QCOMPARE(bus.feed(DeselectDevice()), QByteArray());
    QVERIFY(!m105.isSelected());
    bus.feed(bytes({239}));
    bus.pause();
    QCOMPARE(bus.feed(bytes({105})), QByteArray());

    // SetUid takes effect at once: the old address is silent, the new one answers.
    bus.feed(SelectDevice(100) + SetUid(117));
    QCOMPARE(bus.feed(SelectDevice(100)), QByteArray());
    QCOMPARE(bus.feed(SelectDevice(117)), bytes({238, 117}));
    QCOMPARE(bus.moduleByAddress(117), &m100);

    const QStringList lines = bus.describe().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[0].startsWith("module 117: selected=yes baud=9600"), qPrintable(lines[0]));
    QVERIFY2(lines[1].startsWith("module 105: selected=no"), qPrintable(lines[1]));
}

void tst_LcdBus::framesReachOnlySelected()
{
    LcdBus bus({100, 105});
    LcdModule &m100 = bus.module(0);
    LcdModule &m105 = bus.module(1);
    const QString before100 = m100.describe();

    bus.feed(SelectDevice(105) + "Hi" + BacklightOff() + AllOutputsOn() + StartupScreenOn());
    QCOMPARE(m105.row(0), padded("Hi"));
    QCOMPARE(m105.backlight(), LcdModule::BacklightOff);
    QCOMPARE(m105.outputs(), quint8(0xFF));
    QVERIFY(m105.startupScreen());
    QCOMPARE(m100.describe(), before100);

    // Nobody selected: frames are read and dropped.
    bus.feed(DeselectDevice());
    const QString before105 = m105.describe();
    bus.feed("xyz" + ClearCode() + BacklightFlash() + SetUid(120));
    QCOMPARE(m100.describe(), before100);
    QCOMPARE(m105.describe(), before105);

    // Frame boundaries are kept for everyone: selection bytes inside an upload for nobody, or
    // inside a text for 105, are data.
    std::array<quint8, 64> table {};
    table[10] = SelectCode;
    table[11] = 100;
    bus.feed(UploadChars(table));
    QVERIFY(!m100.isSelected());
    const QByteArray text = bytes({239, 100, 234, 254, 50, 0, 0});
    bus.feed(SelectDevice(105) + StoreTextHead(2) + text);
    bus.pause();
    QVERIFY(!m100.isSelected() && m105.isSelected());
    QCOMPARE(m105.text(2), text);
}

void tst_LcdBus::textAndCursor()
{
    LcdBus bus;
    LcdModule &m = bus.module(0);
    bus.feed(SelectDevice(100));

    // User characters 0..7 are written; other control codes do nothing.
    bus.feed("AB" + bytes({0, 7, 8, 9, 10, 14, 31}));
    QCOMPARE(m.row(0), padded(bytes({'A', 'B', 0, 7})));
    // Past column 19 the text wraps to the next row, and from row 3 to row 0.
    bus.feed("0123456789abcdefg");
    QCOMPARE(m.row(0), bytes({'A', 'B', 0, 7}) + "0123456789abcdef");
    QCOMPARE(m.row(1), padded("g"));
    bus.feed(CursorPosition(3, 19) + "!?");
    QCOMPARE(m.at(3, 19), quint8('!'));
    QCOMPARE(m.at(0, 0), quint8('?'));

    bus.feed(CursorPosition(2, 4) + NextLineCode() + "n" + NextLineCode() + "o");
    QCOMPARE(m.at(3, 0), quint8('n'));
    QCOMPARE(m.at(0, 0), quint8('o'));
    bus.feed(CursorPosition(1, 5) + CursorHomeCode() + "h");
    QCOMPARE(m.at(0, 0), quint8('h'));
    QCOMPARE(m.cursorColumn(), 1);

    // Out of range positions leave the cursor, and each is one 4-byte frame.
    bus.feed(CursorPosition(4, 0) + CursorPosition(0, 20) + CursorPosition(255, 255) + "Z");
    QCOMPARE(m.at(0, 1), quint8('Z'));
    // Unknown opcodes take two bytes.
    bus.feed(bytes({254, 0, 'a', 254, 4, 'b', 254, 200, 'c'}));
    QCOMPARE(m.row(0).left(5), QByteArray("hZabc"));

    bus.feed(ClearCode() + bytes({200, 238, 255}));
    QCOMPARE(m.row(0), padded(bytes({200, 238, 255})));
    for (int r = 1; r < LcdModule::Rows; ++r)
        QCOMPARE(m.row(r), padded(""));
    // 234 typed as a character deselects the module.
    bus.feed(TextChar(234) + "x");
    QCOMPARE(m.row(0), padded(bytes({200, 238, 255})));

    bus.feed(SelectDevice(100) + CursorType(2));
    QCOMPARE(m.cursorType(), LcdModule::Blinking);
    bus.feed(CursorType(3));
    QCOMPARE(m.cursorType(), LcdModule::Hidden);
}

void tst_LcdBus::storeAndShowText()
{
    LcdBus bus;
    LcdModule &m = bus.module(0);
    bus.feed(SelectDevice(100));

    // As the program sends them: padded to 16, up to 20, each followed by a wait.
    bus.feed(StoreText(1, "abc"));
    bus.pause();
    bus.feed(StoreText(8, "Twenty characters ok"));
    bus.pause();
    QCOMPARE(m.text(1), QByteArray("abc") + QByteArray(13, ' '));
    QCOMPARE(m.text(8), QByteArray("Twenty characters ok"));

    // The text ends after 20 bytes: the 21st is a character on the display.
    bus.feed(StoreTextHead(4) + "ABCDEFGHIJKLMNOPQRSTU");
    QCOMPARE(m.text(4), QByteArray("ABCDEFGHIJKLMNOPQRST"));
    QCOMPARE(m.row(0), padded("U"));
    // A pause ends a shorter text, even one split across reads.
    bus.feed(StoreTextHead(5) + "Sho");
    bus.feed("rt");
    bus.pause();
    QCOMPARE(m.text(5), QByteArray("Short"));

    // Written from the start of the row, the cursor stays; a shorter text leaves the rest.
    bus.feed(CursorPosition(1, 7) + ShowText(8, 2) + ShowText(5, 2) + ShowText(1, 3));
    QCOMPARE(m.row(2), QByteArray("Shorty characters ok"));
    QCOMPARE(m.row(3), padded("abc"));
    QCOMPARE(m.cursorRow(), 1);
    QCOMPARE(m.cursorColumn(), 7);

    const QString before = m.describe();
    bus.feed(bytes({254, 52, 100, 0, 254, 52, 109, 0, 254, 52, 101, 4}) + ShowText(6, 0));
    QCOMPARE(m.describe(), before);
}

void tst_LcdBus::baud4800OrText3()
{
    LcdBus bus;
    LcdModule &m = bus.module(0);
    bus.feed(SelectDevice(100));

    // Followed by text, even in a later read: stored text 3.
    bus.feed(SetBaud4800());
    bus.feed("Third text here!");
    bus.pause();
    QCOMPARE(m.text(3), QByteArray("Third text here!"));
    QCOMPARE(m.baud(), 9600);

    // Followed by quiet: the speed.
    bus.feed(SetBaud4800());
    bus.pause();
    QCOMPARE(m.baud(), 4800);
    QCOMPARE(m.text(3), QByteArray("Third text here!"));
    bus.feed(SetBaud9600());
    QCOMPARE(m.baud(), 9600);
}

void tst_LcdBus::uploadLoadAndSave()
{
    LcdBus bus;
    LcdModule &m = bus.module(0);
    bus.feed(SelectDevice(100));

    std::array<quint8, 64> table;
    for (int i = 0; i < 64; ++i)
        table[size_t(i)] = quint8(254 - i); // frame-opening bytes among the data
    const QByteArray data(reinterpret_cast<const char *>(table.data()), 64);
    bus.feed(UploadChars(table) + "k");
    QCOMPARE(m.userChars(), data);
    QCOMPARE(m.row(0), padded("k"));

    // Cut short by a pause: dropped, and the line is back in step.
    bus.feed(UploadChars({}).left(40));
    bus.pause();
    bus.feed("m");
    QCOMPARE(m.userChars(), data);
    QCOMPARE(m.row(0), padded("km"));

    // Load Bitmap takes the characters from the EEPROM, where nothing was saved yet.
    bus.feed(LoadBitmaps());
    QCOMPARE(m.bitmapLoadCount(), 1);
    QCOMPARE(m.userChars(), QByteArray(64, '\0'));

    bus.feed(UploadChars(table) + SetUid(110) + SetIoDirection(0x81) + StartupScreenOn()
             + StoreText(1, "first"));
    bus.pause();
    bus.feed(SaveToEeprom());
    QCOMPARE(m.saveCount(), 1);
    const LcdSettings saved = m.settings();
    QVERIFY(m.eeprom() == saved);
    QCOMPARE(saved.address, quint8(110));
    QCOMPARE(saved.chars, data);

    bus.feed(UploadChars({}) + SetIoDirection(0) + LoadBitmaps());
    QVERIFY(m.eeprom() == saved);
    QCOMPARE(m.userChars(), data);
    QCOMPARE(m.directions(), quint8(0));
    m.powerCycle();
    QVERIFY(m.settings() == saved);
    QCOMPARE(m.row(0), padded("first"));
}

void tst_LcdBus::outputsAndDirections()
{
    LcdBus bus;
    LcdModule &m = bus.module(0);
    bus.feed(SelectDevice(100));
    QCOMPARE(m.outputs(), quint8(0));
    QCOMPARE(m.directions(), quint8(0xFF));

    bus.feed(AllOutputsOn() + SetOutput(3, false));
    QCOMPARE(m.outputs(), quint8(0xF7));
    bus.feed(AllOutputsOff() + SetOutput(0, true) + SetOutput(5, true));
    QCOMPARE(m.outputs(), quint8(0x21));
    // A state byte other than H or I, or an output past 7: no change, frame used up.
    bus.feed(bytes({254, 51, 0, 'h', 254, 51, 8, 'H'}) + "q");
    QCOMPARE(m.outputs(), quint8(0x21));
    QCOMPARE(m.row(0), padded("q"));

    bus.feed(SetIoDirection(0x81));
    QCOMPARE(m.directions(), quint8(0x81));
}

void tst_LcdBus::randomStream()
{
    LcdBus bus({100, 105, 132});
    QRandomGenerator rng(20240611);
    // Frame-opening bytes and addresses are likelier than in plain noise.
    const QByteArray favourites = bytes({239, 234, 254, 100, 105, 132, 50, 52, 103, 101});
    for (int round = 0; round < 4000; ++round) {
        QByteArray chunk;
        for (int i = int(rng.bounded(1, 120)); i > 0; --i) {
            chunk.append(rng.bounded(3) == 0 ? favourites.at(int(rng.bounded(favourites.size())))
                                             : char(rng.bounded(256)));
        }
        const QByteArray answers = bus.feed(chunk);
        QCOMPARE(answers.size() % 2, 0);
        if (rng.bounded(4) == 0) {
            bus.pause();
            QVERIFY(!bus.inFrame());
        }
        for (int k = 0; k < bus.moduleCount(); ++k) {
            const LcdModule &m = bus.module(k);
            QVERIFY(m.cursorRow() >= 0 && m.cursorRow() < LcdModule::Rows);
            QVERIFY(m.cursorColumn() >= 0 && m.cursorColumn() < LcdModule::Columns);
            QVERIFY(m.cursorType() >= LcdModule::Underscore && m.cursorType() <= LcdModule::Hidden);
            QVERIFY(m.baud() == 4800 || m.baud() == 9600);
            QCOMPARE(m.userChars().size(), 64);
            for (int n = 1; n <= 8; ++n)
                QVERIFY(m.text(n).size() <= StoreTextMax);
        }
    }
    // The stream did reach every module.
    for (int k = 0; k < bus.moduleCount(); ++k)
        QVERIFY(bus.module(k).row(0) != padded("") || bus.module(k).row(1) != padded(""));
}

QTEST_APPLESS_MAIN(tst_LcdBus)
#include "tst_lcdbus.moc"
