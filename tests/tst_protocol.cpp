// The wire protocol: its frames byte for byte with their names, read back as the other end reads
// them; the hex trace and the code page. The bus log's record of frames sent and bytes received
// (replies cut between reads, foreign replies, garbage, typed characters sharing a row), and its
// bound. (tst_session reads the log window of a session of both windows.)
#include "bench.h"
#include "buslog/buslogmodel.h"
#include "buslog/buslogwindow.h"
#include "display/frames.h"
#include "link/hextrace.h"

using namespace Qt::StringLiterals;
using Window = BusLog::Window;

class tst_protocol : public QObject
{
    Q_OBJECT
private slots:
    void frames();
    void traceAndCodePage();
    void record_data();
    void record();
    void bound();
};

void tst_protocol::frames()
{
    using namespace Frames;
    std::array<quint8, 64> table {};
    for (int i = 0; i < 64; ++i)
        table[size_t(i)] = quint8(i * 4 + 3); // bits 7-5 travel too
    const QByteArray digits = "12345678901234567890";
    // clang-format off
    const QList<Protocol::Frame> built = {
        UserCharCode(0), UserCharCode(7), CursorHomeCode(), NextLineCode(), ClearCode(),
        TextChar('A'), TextChar(0x80), TextChar(234), TextChar(239), TextChar(254),
        CursorType(1), CursorType(2), CursorType(3), BacklightOn(), BacklightOff(), LoadBitmaps(),
        BacklightFlash(), AllOutputsOn(), AllOutputsOff(), StartupScreenOn(), StartupScreenOff(),
        SaveToEeprom(), SetUid(132), SetUid(101), SetIoDirection(129), SetIoDirection(0),
        CursorPosition(2, 19), SetOutput(5, false), SetOutput(7, true), ShowText(8, 3),
        ShowText(1, 0), StoreText(1, ""), StoreText(3, "\xe9"), StoreText(4, digits),
        StoreText(8, digits + "abc"), SetBaud4800(), SetBaud9600(), SelectDevice(100),
        SelectDevice(132), DeselectDevice(), SelectReply(105), UploadChars(table)};
    // Each frame as built: its bytes, and what it means to a person.
    const QStringList expected = {
        "00|UserCharCode 0", "07|UserCharCode 7", "0b|CursorHomeCode", "0c|NextLineCode",
        "0d|ClearCode", "41|TextChar \"A\"", "80|TextChar \"\u20ac\"", "ea|TextChar \"\u00ea\"",
        "ef|TextChar \"\u00ef\"", "fe|TextChar \"\u00fe\"", "fe01|CursorType underscore",
        "fe02|CursorType blinking", "fe03|CursorType hidden", "fe06|BacklightOn",
        "fe07|BacklightOff", "fe08|LoadBitmaps", "fe0b|BacklightFlash", "fe0c|AllOutputsOn",
        "fe0d|AllOutputsOff", "fe0f|StartupScreenOn", "fe10|StartupScreenOff", "fe20|SaveToEeprom",
        "fe3084|SetUid 132", "fe3065|SetUid 101", "fe3181|SetIoDirection outputs 1 8",
        "fe3100|SetIoDirection outputs none",
        "fe320213|CursorPosition row 2, column 19", "fe330549|SetOutput 5 off",
        "fe330748|SetOutput 7 on", "fe346c03|ShowText 8 on row 3", "fe346500|ShowText 1 on row 0",
        "fe6520202020202020202020202020202020|StoreText 1 \"                \"",
        "fe67e9202020202020202020202020202020|StoreText 3 \"\u00e9               \"",
        "fe683132333435363738393031323334353637383930|StoreText 4 \"12345678901234567890\"",
        "fe6c3132333435363738393031323334353637383930|StoreText 8 \"12345678901234567890\"",
        "fe67|SetBaud4800", "feff|SetBaud9600", "ef64|SelectDevice 100", "ef84|SelectDevice 132",
        "ea|DeselectDevice", "ee69|SelectReply 105",
        "fe640307|UploadChars 1: 03 07 0B 0F 13 17 1B 1F | 2: 23 27 2B 2F 33 37 3B 3F | 3: 43"};
    // clang-format on
    QCOMPARE(built.size(), expected.size());
    for (qsizetype i = 0; i < built.size(); ++i) {
        const Protocol::Frame &frame = built[i];
        const bool upload = i == built.size() - 1; // its first bytes, the start of its name
        const QString seen = (upload ? frame.bytes.left(4) : frame.bytes).toHex() + '|'
            + Protocol::describe(frame);
        QVERIFY2(upload ? seen.startsWith(expected[i]) : seen == expected[i], qPrintable(seen));
        // The other end reads the same frame from the bytes, but for the typed characters that
        // open other frames.
        Protocol::Decoder decoder;
        Protocol::ReplyDecoder replies;
        std::optional<Protocol::Frame> read;
        for (char c : frame.bytes)
            read = i == built.size() - 2 ? replies.push(quint8(c)) : decoder.push(quint8(c));
        read = read ? read : decoder.pause();
        if (frame.id != Protocol::FrameId::TextChar || frame.bytes < "\xea")
            QCOMPARE(read.value_or(Protocol::Frame {}), frame);
    }
    QCOMPARE(built.last().bytes.mid(2), QByteArray((const char *)table.data(), 64));
    QCOMPARE(Protocol::describe({Protocol::FrameId::Unknown, "\xee\x41"}), u"unknown EE 41"_s);
}

void tst_protocol::traceAndCodePage()
{
    QCOMPARE(HexTrace(QByteArray::fromHex("00090f10a5ff")), u"00 09 0F 10 A5 FF "_s);
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    QCOMPARE(Ansi::decode(all).size(), 256);
    QCOMPARE(Ansi::encode(Ansi::decode(all)), all);
    QCOMPARE(Ansi::encode(u"Hi\u20ac\u00ef\u00ea\u00fe\u00e9\u201c\u2013\u201d\u0178\u00ff"_s),
             QByteArray::fromHex("486980efeafee99396949fff"));
    // Outside the page, in and beyond the 16-bit range.
    QCOMPARE(Ansi::encode(QString::fromUcs4(U"a\u4e2db\U0001F600")), QByteArray("a?b?"));
}

void tst_protocol::record_data()
{
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("rows");
    // Steps: o:HEX / c:HEX the main / configuration window sends the frames of these bytes,
    // t:HEX the main window sends them as typed characters, i:HEX / j:HEX the main /
    // configuration window reads these bytes, +N N ms pass, clear empties the log. The line goes
    // quiet at the end. Rows: "interval window direction meaning", "-" for no interval.
    const auto row = [](const char *name, const char *steps, const QString &rows) {
        QTest::newRow(name) << steps << rows;
    };
    row("reply cut between reads", "o:ef64 +20 i:ee +5 i:64",
        "- main out SelectDevice 100|20 main in SelectReply 100");
    row("foreign replies", "i:ee69 +3 i:ee85 +3 i:eeee64",
        "- main in SelectReply 105|3 main in unknown EE 85 EE|3 main in SelectReply 100");
    row("reply and a byte after it", "i:ee6407", "- main in SelectReply 100|0 main in unknown 07");
    row("garbage in runs", "i:4142 +10 i:43 +100 i:44",
        "- main in unknown 41 42 43|110 main in unknown 44");
    row("238 and silence", "i:41ee +60 i:64ee", "- main in unknown 41 EE|60 main in unknown 64 EE");
    row("a frame sent ends the reply begun", "i:ee +1 o:ea +2 i:64",
        "- main in unknown EE|1 main out DeselectDevice|2 main in unknown 64");
    row("cleared, with a reply begun", "o:ef64 +20 i:ee clear +5 i:64 o:ea",
        "- main in unknown 64|0 main out DeselectDevice");
    row("each window its own line", "i:ee j:ee +1 i:64 j:65",
        "- main in SelectReply 100|0 configuration in SelectReply 101");
    row("typed characters", "t:4869 +300 t:21 +1500 t:3f o:0b t:61 c:41",
        "- main out Text \"Hi!\"|1800 main out TextChar \"?\"|0 main out CursorHomeCode|0 main "
        "out TextChar \"a\"|0 configuration out TextChar \"A\"");
    row("a display row of typed characters", "t:313233343536373839303132333435363738393058",
        "- main out Text \"12345678901234567890\"|0 main out TextChar \"X\"");
    row("frames of one write", "c:fe32020541fe67",
        "- configuration out CursorPosition row 2, column 5|0 configuration out TextChar "
        "\"A\"|0 configuration out SetBaud4800");
}

void tst_protocol::record()
{
    QFETCH(QString, steps);
    QFETCH(QString, rows);
    BusLog log;
    qint64 now = 1000;
    log.setClock([&now] { return now; });
    for (const QString &step : steps.split(' ')) {
        const QByteArray hex = QByteArray::fromHex(step.mid(2).toLatin1());
        const Window window = step[0] == 'c' || step[0] == 'j' ? Window::Config : Window::Main;
        if (step[0] == '+')
            now += step.mid(1).toInt();
        else if (step == "clear"_L1)
            log.clear();
        else if (step[0] == 't')
            for (char c : hex)
                log.sent(1, window, {Frames::TextChar(quint8(c))});
        else if (step[0] == 'o' || step[0] == 'c')
            log.sent(1, window, Protocol::Decoder::framesOf(hex));
        else
            log.received(1, window, hex);
    }
    now += BusLog::PauseMs + 1;
    log.settle();
    QVERIFY(!log.waiting());
    QStringList seen;
    for (quint64 n = log.first(); n < log.end(); ++n) {
        const QStringList c = BusLog::columns(log.row(n));
        seen << (c[BusLog::SincePrevious].isEmpty() ? u"-"_s : c[BusLog::SincePrevious]) + ' '
                + c[BusLog::WindowName] + ' ' + c[BusLog::DirectionName] + ' ' + c[BusLog::Meaning];
    }
    QCOMPARE(seen.join('|'), rows);
}

// 100,000 + n frames keep the last 100,000, and the window says how many dropped; a flood is
// one row that keeps its first bytes and counts the rest.
void tst_protocol::bound()
{
    BusLog log;
    log.setClock([] { return qint64(0); }); // every read comes at once, however slow the machine
    for (int i = 0; i < BusLog::Capacity + 7; ++i)
        log.sent(1, Window::Main, {Frames::SelectDevice(quint8(100 + i % 33))});
    QCOMPARE(log.end() - log.first(), 100000u);
    QCOMPARE(log.row(log.first()).bytes.toHex() + log.row(log.end() - 1).bytes.toHex(), "ef6bef74");
    BusLogWindow window(log);
    window.show();
    QCOMPARE(Bench::child<QLabel>(&window, "lblCount")->text(),
             u"100000 of 100000 rows shown \u00b7 7 dropped (the log keeps the latest 100000)"_s);
    const QByteArray flood(8 << 20, 'x');
    for (int i = 0; i < 40; ++i)
        log.received(2, Window::Config, flood);
    QCOMPARE(log.row(log.end() - 1).bytes, flood.left(66));
    QTRY_COMPARE(window.model().index(99999, BusLog::Meaning).data().toString().right(36),
                 u"\u2026 and 335544254 more bytes, not kept"_s);
}

QTEST_MAIN(tst_protocol)
#include "tst_protocol.moc"
