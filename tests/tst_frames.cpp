// The wire protocol's frames byte for byte, the reply check, the hex trace and the code page.
#include "display/frames.h"
#include "link/ansi.h"
#include "link/hextrace.h"
#include "shell/modvariables.h"

#include <QtTest>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

} // namespace

class tst_frames : public QObject
{
    Q_OBJECT
private slots:
    void frame_data();
    void frame();
    void storeText_data();
    void storeText();
    void upload();
    void reply_data();
    void reply();
    void trace_data();
    void trace();
    void ansiRoundTrip();
    void ansiEncode_data();
    void ansiEncode();
    void putFrame();
};

void tst_frames::frame_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("bytes");
    using namespace Frames;
    QTest::newRow("UserCharCode 1") << UserCharCode(0) << hex("00");
    QTest::newRow("UserCharCode 8") << UserCharCode(7) << hex("07");
    QTest::newRow("CursorHomeCode") << CursorHomeCode() << hex("0b");
    QTest::newRow("NextLineCode") << NextLineCode() << hex("0c");
    QTest::newRow("ClearCode") << ClearCode() << hex("0d");
    QTest::newRow("TextChar A") << TextChar('A') << hex("41");
    QTest::newRow("TextChar 234") << TextChar(234) << hex("ea");
    QTest::newRow("TextChar 239") << TextChar(239) << hex("ef");
    QTest::newRow("TextChar 254") << TextChar(254) << hex("fe");
    QTest::newRow("CursorType hidden") << CursorType(3) << hex("fe03");
    QTest::newRow("CursorType underscore") << CursorType(1) << hex("fe01");
    QTest::newRow("BacklightOn") << BacklightOn() << hex("fe06");
    QTest::newRow("BacklightOff") << BacklightOff() << hex("fe07");
    QTest::newRow("LoadBitmaps") << LoadBitmaps() << hex("fe08");
    QTest::newRow("BacklightFlash") << BacklightFlash() << hex("fe0b");
    QTest::newRow("AllOutputsOn") << AllOutputsOn() << hex("fe0c");
    QTest::newRow("AllOutputsOff") << AllOutputsOff() << hex("fe0d");
    QTest::newRow("StartupScreenOn") << StartupScreenOn() << hex("fe0f");
    QTest::newRow("StartupScreenOff") << StartupScreenOff() << hex("fe10");
    QTest::newRow("SaveToEeprom") << SaveToEeprom() << hex("fe20");
    QTest::newRow("SetUid 132") << SetUid(132) << hex("fe3084");
    QTest::newRow("SetUid 101") << SetUid(101) << hex("fe3065");
    QTest::newRow("SetIoDirection 1 and 8") << SetIoDirection(129) << hex("fe3181");
    QTest::newRow("CursorPosition 2,19") << CursorPosition(2, 19) << hex("fe320213");
    QTest::newRow("SetOutput 5 off") << SetOutput(5, false) << hex("fe330549");
    QTest::newRow("SetOutput 5 on") << SetOutput(5, true) << hex("fe330548");
    QTest::newRow("ShowText 8 row 3") << ShowText(8, 3) << hex("fe346c03");
    QTest::newRow("ShowText 1 row 0") << ShowText(1, 0) << hex("fe346500");
    QTest::newRow("StoreTextHead 3") << StoreTextHead(3) << hex("fe67");
    QTest::newRow("SetBaud4800") << SetBaud4800() << hex("fe67");
    QTest::newRow("SetBaud9600") << SetBaud9600() << hex("feff");
    QTest::newRow("SelectDevice 100") << SelectDevice(100) << hex("ef64");
    QTest::newRow("SelectDevice 105") << SelectDevice(105) << hex("ef69");
    QTest::newRow("DeselectDevice") << DeselectDevice() << hex("ea");
    QTest::newRow("SelectReply 100") << SelectReply(100) << hex("ee64");
}

void tst_frames::frame()
{
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, bytes);
    QCOMPARE(frame.toHex(' '), bytes.toHex(' '));
}

void tst_frames::storeText_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty") << 1 << QByteArray() << hex("fe65") + QByteArray(16, ' ');
    QTest::newRow("3 chars") << 2 << QByteArray("abc") << hex("fe66") + "abc" + QByteArray(13, ' ');
    QTest::newRow("16 chars") << 8 << QByteArray(16, 'x') << hex("fe6c") + QByteArray(16, 'x');
    QTest::newRow("20 chars") << 4 << QByteArray("12345678901234567890")
                              << hex("fe68") + "12345678901234567890";
    QTest::newRow("cut at 20") << 5 << QByteArray(25, 'z') << hex("fe69") + QByteArray(20, 'z');
}

void tst_frames::storeText()
{
    QFETCH(int, n);
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(Frames::StoreText(quint8(n), text), bytes);
}

void tst_frames::upload()
{
    std::array<quint8, 64> table {};
    for (int i = 0; i < 64; ++i)
        table[i] = quint8(i * 4 + 3); // bits 7-5 travel too
    const QByteArray frame = Frames::UploadChars(table);
    QCOMPARE(frame.size(), 66);
    QCOMPARE(quint8(frame[0]), quint8(254));
    QCOMPARE(quint8(frame[1]), quint8(100));
    for (int i = 0; i < 64; ++i)
        QCOMPARE(quint8(frame[2 + i]), table[i]);
}

void tst_frames::reply_data()
{
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<int>("address");
    QTest::addColumn<bool>("isReply");
    QTest::newRow("reply 100") << hex("ee64") << 100 << true;
    QTest::newRow("reply with more bytes") << hex("ee6407") << 100 << true;
    QTest::newRow("other address") << hex("ee65") << 100 << false;
    QTest::newRow("reply later in block") << hex("00ee64") << 100 << false;
    QTest::newRow("one byte") << hex("ee") << 100 << false;
    QTest::newRow("empty") << QByteArray() << 100 << false;
    QTest::newRow("select, not reply") << hex("ef64") << 100 << false;
}

void tst_frames::reply()
{
    QFETCH(QByteArray, chunk);
    QFETCH(int, address);
    QFETCH(bool, isReply);
    QCOMPARE(Frames::isSelectReply(chunk, quint8(address)), isReply);
}

void tst_frames::trace_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("select") << hex("ef64") << QStringLiteral("EF 64 ");
    QTest::newRow("edges") << hex("00090f10ff") << QStringLiteral("00 09 0F 10 FF ");
    QTest::newRow("letter A") << hex("41") << QStringLiteral("41 ");
    QTest::newRow("show text") << hex("fe346500") << QStringLiteral("FE 34 65 00 ");
    QTest::newRow("nothing") << QByteArray() << QString();
}

void tst_frames::trace()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(HexTrace(bytes), text);
}

void tst_frames::ansiRoundTrip()
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    const QString text = Ansi::decode(all);
    QCOMPARE(text.size(), 256);
    QCOMPARE(Ansi::encode(text), all);
}

void tst_frames::ansiEncode_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("ascii") << QStringLiteral("Hello") << QByteArray("Hello");
    QTest::newRow("euro") << QStringLiteral("\u20ac") << hex("80");
    QTest::newRow("latin-1") << QStringLiteral("\u00ef\u00ea\u00fe\u00e9") << hex("efeafee9");
    QTest::newRow("quotes and dash") << QStringLiteral("\u201c\u2013\u201d") << hex("939694");
    QTest::newRow("outside the page") << QStringLiteral("a\u4e2db") << QByteArray("a?b");
    QTest::newRow("outside the plane") << QString::fromUcs4(U"x\U0001F600") << QByteArray("x?");
}

void tst_frames::ansiEncode()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(Ansi::encode(text), bytes);
}

void tst_frames::putFrame()
{
    modVariables vars;
    vars.TxBuffer.fill(0xAA);
    QCOMPARE(vars.putFrame(Frames::CursorPosition(2, 19)), 4);
    QCOMPARE(vars.TxBuffer[0], quint8(254));
    QCOMPARE(vars.TxBuffer[3], quint8(19));
    QCOMPARE(vars.TxBuffer[4], quint8(0xAA)); // bytes past the frame are not the frame's
    QCOMPARE(vars.putFrame(QByteArray(72, 'x')), 0); // longer than TxBuffer: refused
    QCOMPARE(vars.TxBuffer[0], quint8(254));
}

QTEST_APPLESS_MAIN(tst_frames)
#include "tst_frames.moc"
