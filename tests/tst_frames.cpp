// The wire protocol's frames byte for byte, the reply check, the hex trace and the code page.
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
    void replyAndTrace();
    void codePage();
};

void tst_frames::frames()
{
    using namespace Frames;
    QByteArrayList frames;
    frames << UserCharCode(0) << UserCharCode(7) << CursorHomeCode() << NextLineCode()
           << ClearCode() << TextChar('A') << TextChar(234) << TextChar(239) << TextChar(254)
           << CursorType(1) << CursorType(3) << BacklightOn() << BacklightOff() << LoadBitmaps()
           << BacklightFlash() << AllOutputsOn() << AllOutputsOff() << StartupScreenOn()
           << StartupScreenOff() << SaveToEeprom() << SetUid(132) << SetUid(101)
           << SetIoDirection(129) << CursorPosition(2, 19) << SetOutput(5, false)
           << SetOutput(5, true) << ShowText(8, 3) << ShowText(1, 0) << StoreTextHead(3)
           << SetBaud4800() << SetBaud9600() << SelectDevice(100) << SelectDevice(105)
           << DeselectDevice() << SelectReply(100);
    QByteArrayList hex;
    for (const QByteArray &frame : frames)
        hex << frame.toHex();
    QCOMPARE(hex.join(' '),
             "00 07 0b 0c 0d 41 ea ef fe fe01 fe03 fe06 fe07 fe08 fe0b fe0c fe0d fe0f fe10 fe20 "
             "fe3084 fe3065 fe3181 fe320213 fe330549 fe330548 fe346c03 fe346500 fe67 fe67 feff "
             "ef64 ef69 ea ee64");

    // Stored texts are padded with spaces to 16 bytes and cut at 20.
    const QByteArray digits = "12345678901234567890";
    QCOMPARE(StoreText(1, ""), "\xfe\x65" + QByteArray(16, ' '));
    QCOMPARE(StoreText(2, "abc"), "\xfe\x66\x61\x62\x63" + QByteArray(13, ' '));
    QCOMPARE(StoreText(4, digits), "\xfe\x68" + digits);
    QCOMPARE(StoreText(5, digits + "abc"), "\xfe\x69" + digits);

    std::array<quint8, 64> table {};
    for (int i = 0; i < 64; ++i)
        table[i] = quint8(i * 4 + 3); // bits 7-5 travel too
    QCOMPARE(UploadChars(table),
             QByteArray::fromHex("fe64") + QByteArray((const char *)table.data(), 64));

    // The frame goes to TxBuffer from byte 0; one longer than TxBuffer is refused.
    modVariables vars;
    vars.TxBuffer.fill(0xAA);
    QCOMPARE(vars.putFrame(CursorPosition(2, 19)), 4);
    QCOMPARE(QByteArray((const char *)vars.TxBuffer.data(), 5).toHex(), QByteArray("fe320213aa"));
    QCOMPARE(vars.putFrame(QByteArray(72, 'x')), 0);
    QCOMPARE(vars.TxBuffer[0], quint8(254));
}

void tst_frames::replyAndTrace()
{
    const struct
    {
        const char *hex;
        bool isReply;
    } replies[] = {{"ee64", true}, {"ee6407", true}, {"ee65", false}, {"00ee64", false},
                   {"ee", false},  {"", false},      {"ef64", false}};
    for (const auto &r : replies)
        QVERIFY2(Frames::isSelectReply(QByteArray::fromHex(r.hex), 100) == r.isReply, r.hex);

    QCOMPARE(HexTrace(QByteArray::fromHex("ef64")), QStringLiteral("EF 64 "));
    QCOMPARE(HexTrace(QByteArray::fromHex("00090f10ff")), QStringLiteral("00 09 0F 10 FF "));
    QCOMPARE(HexTrace(QByteArray()), QString());
}

void tst_frames::codePage()
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    QCOMPARE(Ansi::decode(all).size(), 256);
    QCOMPARE(Ansi::encode(Ansi::decode(all)), all);

    QCOMPARE(Ansi::encode("Hello"), QByteArray("Hello"));
    QCOMPARE(Ansi::encode(QStringLiteral("\u20ac\u00ef\u00ea\u00fe\u00e9\u201c\u2013\u201d")),
             QByteArray::fromHex("80efeafee9939694"));
    QCOMPARE(Ansi::encode(QStringLiteral("a\u4e2db")), QByteArray("a?b")); // outside the page
    QCOMPARE(Ansi::encode(QString::fromUcs4(U"x\U0001F600")), QByteArray("x?"));
}

QTEST_APPLESS_MAIN(tst_frames)
#include "tst_frames.moc"
