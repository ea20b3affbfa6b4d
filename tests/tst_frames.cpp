// The wire protocol's frames byte for byte with their names, read back as the other end reads
// them; the reply check, the frames in TxBuffer, the hex trace and the code page.
#include "display/frames.h"
#include "link/ansi.h"
#include "link/hextrace.h"
#include "shell/modvariables.h"

#include <QtTest>

class tst_frames : public QObject
{
    Q_OBJECT
private slots:
    void frames();
    void traceAndCodePage();
};

void tst_frames::frames()
{
    using namespace Frames;
    std::array<quint8, 64> table {};
    for (int i = 0; i < 64; ++i)
        table[size_t(i)] = quint8(i * 4 + 3); // bits 7-5 travel too
    const QByteArray digits = "12345678901234567890";
    // Each frame as built: its bytes, and what it means to a person.
    const QList<std::pair<Protocol::Frame, const char *>> built = {
        {UserCharCode(0), "00|UserCharCode 0"},
        {UserCharCode(7), "07|UserCharCode 7"},
        {CursorHomeCode(), "0b|CursorHomeCode"},
        {NextLineCode(), "0c|NextLineCode"},
        {ClearCode(), "0d|ClearCode"},
        {TextChar('A'), "41|TextChar \"A\""},
        {TextChar(0x80), "80|TextChar \"\u20ac\""},
        {TextChar(234), "ea|TextChar \"\u00ea\""},
        {TextChar(239), "ef|TextChar \"\u00ef\""},
        {TextChar(254), "fe|TextChar \"\u00fe\""},
        {CursorType(1), "fe01|CursorType underscore"},
        {CursorType(2), "fe02|CursorType blinking"},
        {CursorType(3), "fe03|CursorType hidden"},
        {BacklightOn(), "fe06|BacklightOn"},
        {BacklightOff(), "fe07|BacklightOff"},
        {LoadBitmaps(), "fe08|LoadBitmaps"},
        {BacklightFlash(), "fe0b|BacklightFlash"},
        {AllOutputsOn(), "fe0c|AllOutputsOn"},
        {AllOutputsOff(), "fe0d|AllOutputsOff"},
        {StartupScreenOn(), "fe0f|StartupScreenOn"},
        {StartupScreenOff(), "fe10|StartupScreenOff"},
        {SaveToEeprom(), "fe20|SaveToEeprom"},
        {SetUid(132), "fe3084|SetUid 132"},
        {SetUid(101), "fe3065|SetUid 101"},
        {SetIoDirection(129), "fe3181|SetIoDirection outputs 1 8"},
        {SetIoDirection(0), "fe3100|SetIoDirection outputs none"},
        {CursorPosition(2, 19), "fe320213|CursorPosition row 2, column 19"},
        {SetOutput(5, false), "fe330549|SetOutput 5 off"},
        {SetOutput(7, true), "fe330748|SetOutput 7 on"},
        {ShowText(8, 3), "fe346c03|ShowText 8 on row 3"},
        {ShowText(1, 0), "fe346500|ShowText 1 on row 0"},
        {StoreText(1, ""), "fe6520202020202020202020202020202020|StoreText 1 \"                \""},
        {StoreText(3, "\xe9"),
         "fe67e9202020202020202020202020202020|StoreText 3 \"\u00e9    "
         "           \""},
        {StoreText(4, digits),
         "fe683132333435363738393031323334353637383930|StoreText 4 \"12345678901234567890\""},
        {StoreText(8, digits + "abc"),
         "fe6c3132333435363738393031323334353637383930|StoreText 8 \"12345678901234567890\""},
        {SetBaud4800(), "fe67|SetBaud4800"},
        {SetBaud9600(), "feff|SetBaud9600"},
        {SelectDevice(100), "ef64|SelectDevice 100"},
        {SelectDevice(132), "ef84|SelectDevice 132"},
        {DeselectDevice(), "ea|DeselectDevice"},
        {SelectReply(105), "ee69|SelectReply 105"},
        {{Protocol::FrameId::Unknown, QByteArray::fromHex("ee41")}, "ee41|unknown EE 41"},
        {UploadChars(table), "fe64"}};
    for (const auto &[frame, expected] : built) {
        if (frame.id != Protocol::FrameId::UploadChars)
            QCOMPARE(frame.bytes.toHex() + '|' + Protocol::describe(frame), QString(expected));
        // The other end reads the same frame from the bytes, but for the typed characters that
        // open other frames.
        Protocol::Decoder decoder;
        Protocol::ReplyDecoder replies;
        std::optional<Protocol::Frame> read;
        for (char c : frame.bytes) {
            read = frame.id == Protocol::FrameId::SelectReply ? replies.push(quint8(c))
                                                              : decoder.push(quint8(c));
        }
        read = read ? read : decoder.pause();
        if (frame.id != Protocol::FrameId::Unknown
            && !QByteArray("\xea\xef\xfe").contains(frame.bytes))
            QCOMPARE(read.value_or(Protocol::Frame {}), frame);
    }
    const Protocol::Frame upload = UploadChars(table);
    QCOMPARE(upload.bytes,
             QByteArray::fromHex("fe64") + QByteArray((const char *)table.data(), 64));
    QVERIFY(
        Protocol::describe(upload).startsWith("UploadChars 1: 03 07 0B 0F 13 17 1B 1F | 2: 23"));

    const struct
    {
        const char *hex;
        bool isReply;
    } replies[] = {{"ee64", true}, {"ee6407", true}, {"ee65", false}, {"00ee64", false},
                   {"ee", false},  {"", false},      {"ef64", false}};
    for (const auto &r : replies)
        QVERIFY2(Frames::isSelectReply(QByteArray::fromHex(r.hex), 100) == r.isReply, r.hex);

    // The frames go to TxBuffer from byte 0, named; frames longer than TxBuffer are refused.
    modVariables vars;
    vars.TxBuffer.fill(0xAA);
    QCOMPARE(vars.putFrames({CursorPosition(2, 19), TextChar('x')}), 5);
    QCOMPARE(QByteArray((const char *)vars.TxBuffer.data(), 6).toHex(), QByteArray("fe32021378aa"));
    QCOMPARE(vars.TxFrames.size(), 2);
    QCOMPARE(
        vars.putFrames({UploadChars(table), CursorPosition(2, 19), TextChar('x'), TextChar('y')}),
        0);
    QCOMPARE(vars.TxBuffer[0], quint8(254));
}

void tst_frames::traceAndCodePage()
{
    QCOMPARE(HexTrace(QByteArray::fromHex("00090f10a5ff")), QStringLiteral("00 09 0F 10 A5 FF "));
    QCOMPARE(HexTrace(QByteArray()), QString());

    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    QCOMPARE(Ansi::decode(all).size(), 256);
    QCOMPARE(Ansi::encode(Ansi::decode(all)), all);
    QCOMPARE(
        Ansi::encode(QStringLiteral("Hi\u20ac\u00ef\u00ea\u00fe\u00e9\u201c\u2013\u201d\u0178")),
        QByteArray::fromHex("486980efeafee99396949f"));
    // Outside the page, in and beyond the 16-bit range.
    QCOMPARE(Ansi::encode(QString::fromUcs4(U"a\u4e2db\U0001F600")), QByteArray("a?b?"));
}

QTEST_APPLESS_MAIN(tst_frames)
#include "tst_frames.moc"
