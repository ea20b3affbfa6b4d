// The user-defined characters on real widgets: the pixel editor, the table's load, save and
// upload, the settings file's "UDC" keys, and the upload at a pty with a virtual module on it.
#include "chars/cellwidgets.h"
#include "chars/charpanel.h"
#include "chars/chartable.h"
#include "display/frames.h"
#include "link/commport.h"
#include "shell/modvariables.h"
#include "sim/lcdbus.h"
#include "sim/simport.h"
#include "testsupport.h"

#include <QDir>
#include <QLabel>
#include <QPushButton>

using namespace TestSupport;

namespace {
const QColor LightGreen(0x80, 0xFF, 0x80);

QByteArray readSettings()
{
    QFile file(IniPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QtMessageHandler previousHandler = nullptr;
QStringList warnings;
void collectWarnings(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtWarningMsg)
        warnings << text;
}
} // namespace

// A panel as the configuration window holds it, with the frames it sends kept in order.
struct Editor
{
    MessageBoxCatcher boxes; // a box never blocks a test, and what it said is kept
    modVariables vars;
    CharPanel panel;
    QList<QByteArray> sent;

    Editor()
    {
        panel.attach(vars, [this](int n) {
            sent << QByteArray(reinterpret_cast<const char *>(vars.TxBuffer.data()), n);
        });
        panel.show();
    }
    PixelCell *cell(int row, int weight)
    {
        return child<PixelCell>(&panel, QStringLiteral("bitmapr%1_%2").arg(row).arg(weight));
    }
    QString label(int row)
    {
        return child<QLabel>(&panel, QStringLiteral("lblrow%1").arg(row))->text();
    }
    void click(int row, int weight) { QTest::mouseClick(cell(row, weight), Qt::LeftButton); }
    void press(const char *button)
    {
        QTest::mouseClick(child<QPushButton>(&panel, button), Qt::LeftButton);
    }
    void position(const QString &text) { choose(child<QComboBox>(&panel, "cboUCH"), text); }
    QByteArray rows() const
    {
        return QByteArray(reinterpret_cast<const char *>(panel.editorRows().data()), 8);
    }
    QByteArray table(int from = 0, int count = 64) const
    {
        return QByteArray(reinterpret_cast<const char *>(vars.CharTable.data()) + from, count);
    }
    // Everything the operator sees and the row bytes, for comparing whole states.
    QStringList snapshot()
    {
        QStringList s;
        for (int r = 1; r <= 8; ++r) {
            s << label(r) << QString::number(panel.editorRows()[size_t(r - 1)]);
            for (int w : {16, 8, 4, 2, 1})
                s << cell(r, w)->color().name();
        }
        auto *list = child<QComboBox>(&panel, "cboUCH");
        s << list->currentText() << QString::number(list->count());
        return s;
    }
};

class tst_chars : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void rowCaption_data();
    void rowCaption();
    void editorClicks();
    void saveKeysAndFile();
    void saveFailure();
    void loadAndUpload();
    void noPosition();
    void loadCharTable();
    void uploadToModule();
};

void tst_chars::cleanup()
{
    QDir().rmdir(IniPath()); // left by a failed save test
    removeSettings();
}

void tst_chars::rowCaption_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("caption");
    QTest::newRow("0") << 0 << "0x00";
    QTest::newRow("10") << 10 << "0x0A";
    QTest::newRow("15") << 15 << "0x0F";
    QTest::newRow("16") << 16 << "0x10";
    QTest::newRow("31") << 31 << "0x1F";
}

void tst_chars::rowCaption()
{
    QFETCH(int, row);
    QFETCH(QString, caption);
    QCOMPARE(RowCaption(quint8(row)), caption);
}

void tst_chars::editorClicks()
{
    Editor e;
    QVERIFY(QTest::qWaitForWindowExposed(&e.panel));
    const QStringList opening = e.snapshot();
    QCOMPARE(e.label(1), QStringLiteral("0x00"));
    QCOMPARE(e.cell(1, 16)->color(), LightGreen);

    // Columns from the left are the weights 16, 8, 4, 2, 1, found where the operator sees them.
    const int weights[] = {16, 8, 4, 2, 1};
    for (int column = 0; column < 5; ++column)
        QCOMPARE(e.panel.childAt(28 + 8 * column, 28 + 8 * 2),
                 static_cast<QWidget *>(e.cell(3, weights[column])));

    // Same cell twice: colour and byte back.
    e.click(1, 16);
    QCOMPARE(e.label(1), QStringLiteral("0x10"));
    QCOMPARE(e.cell(1, 16)->color(), QColor(Qt::black));
    QCOMPARE(e.panel.grab().toImage().pixelColor(28, 28), QColor(Qt::black));
    e.click(1, 16);
    QCOMPARE(e.snapshot(), opening);

    e.click(1, 1);
    QCOMPARE(e.label(1), QStringLiteral("0x01"));
    for (int w : {16, 8, 4, 2})
        e.click(1, w);
    QCOMPARE(e.label(1), QStringLiteral("0x1F"));

    e.click(3, 8);
    e.click(3, 2);
    QCOMPARE(e.label(3), QStringLiteral("0x0A"));
    QCOMPARE(e.rows(), QByteArray::fromHex("1f000a0000000000"));
    for (int r : {2, 4, 5, 6, 7, 8})
        QCOMPARE(e.label(r), QStringLiteral("0x00"));
    QCOMPARE(e.cell(3, 4)->color(), LightGreen);

    // Each opening starts clean, and the list is filled once.
    e.position("x");
    e.panel.reset();
    QCOMPARE(e.snapshot(), opening);
    e.click(5, 4);
    QCOMPARE(e.label(5), QStringLiteral("0x04"));
    QCOMPARE(e.rows(), QByteArray::fromHex("0000000004000000"));

    e.press("cmdSet");
    QCOMPARE(e.rows(), QByteArray(8, 31));
    for (int r = 1; r <= 8; ++r)
        QCOMPARE(e.label(r), QStringLiteral("0x1F"));
    QCOMPARE(e.cell(4, 2)->color(), QColor(Qt::black));
    e.click(8, 1);
    QCOMPARE(e.cell(8, 1)->color(), LightGreen);
    QCOMPARE(e.label(8), QStringLiteral("0x1E"));

    e.press("cmdSet");
    e.press("cmdClr");
    QCOMPARE(e.snapshot(), opening);
    QVERIFY(e.sent.isEmpty()); // the editor alone touches neither the table nor the line
    QCOMPARE(e.table(), QByteArray(64, 0));
}

void tst_chars::saveKeysAndFile()
{
    // An operator's file: comments, other sections, character 3 among other keys.
    QByteArray before = "; Tessaline\r\n[Settings]\r\nCommPort=1\r\nSetting=9600,n,8,1\r\n"
                        "[UDC]\r\n; my characters\r\nUCHAR2R8=7\r\n";
    for (int r = 1; r <= 8; ++r)
        before += "UCHAR3R" + QByteArray::number(r) + "=5\r\n";
    before += "UCHAR4R1=9\r\n\r\n[LCD]\r\nUID=100\r\nPT1=UCHAR3R1=5\r\n";
    writeSettings(before);

    Editor e;
    e.vars.CharTable.fill(3);
    e.press("cmdSet");
    e.click(2, 16); // 15
    e.position("2"); // drawn under 1, chosen 2, then 3: saved under 3 alone
    e.position("3");
    e.press("cmdSaveBitmap");
    const QByteArray rows = QByteArray::fromHex("1f0f1f1f1f1f1f1f");
    QCOMPARE(e.table(16, 8), rows);
    QCOMPARE(e.table(0, 16), QByteArray(16, 3));
    QCOMPARE(e.table(24, 40), QByteArray(40, 3));

    QByteArray expected = before;
    const int at = expected.indexOf("UCHAR3R1");
    expected.replace(at, 8 * 12,
                     "UCHAR3R1=31\r\nUCHAR3R2=15\r\nUCHAR3R3=31\r\nUCHAR3R4=31\r\n"
                     "UCHAR3R5=31\r\nUCHAR3R6=31\r\nUCHAR3R7=31\r\nUCHAR3R8=31\r\n");
    QCOMPARE(readSettings(), expected);

    // Twice: still one line per key, with the later values.
    e.press("cmdClr");
    e.click(8, 1);
    e.press("cmdSaveBitmap");
    const QByteArray twice = readSettings();
    for (int r = 1; r <= 8; ++r)
        QCOMPARE(twice.count("\nUCHAR3R" + QByteArray::number(r) + "="), 1);
    QVERIFY(twice.contains("UCHAR3R7=0\r\nUCHAR3R8=1\r\nUCHAR4R1=9"));

    // Into a missing file: a new file with only these eight keys, in row order.
    removeSettings();
    e.position("8");
    e.press("cmdSaveBitmap");
    QCOMPARE(readSettings(),
             QByteArray("[UDC]\r\nUCHAR8R1=0\r\nUCHAR8R2=0\r\nUCHAR8R3=0\r\n"
                        "UCHAR8R4=0\r\nUCHAR8R5=0\r\nUCHAR8R6=0\r\nUCHAR8R7=0\r\n"
                        "UCHAR8R8=1\r\n"));
    QVERIFY(e.boxes.texts.isEmpty());
}

void tst_chars::saveFailure()
{
    removeSettings();
    QVERIFY(QDir().mkdir(IniPath())); // the settings path cannot be written as a file
    Editor e;
    e.position("5");
    e.click(1, 4);
    e.press("cmdSaveBitmap");
    QCOMPARE(e.boxes.titles, QStringList {"TessalineApp"});
    QCOMPARE(e.boxes.texts,
             QStringList {"Character 5 was not saved to the settings file."}); // once
    QCOMPARE(e.table(32, 8), QByteArray::fromHex("0400000000000000"));
    QVERIFY(QFileInfo(IniPath()).isDir());
    QVERIFY(QDir().rmdir(IniPath()));

    e.press("cmdSaveBitmap");
    QVERIFY(readSettings().contains("UCHAR5R1=4\r\n"));
    QCOMPARE(e.boxes.texts.size(), 1);
}

void tst_chars::loadAndUpload()
{
    writeSettings("[UDC]\r\nUCHAR2R3=255\r\nUCHAR2R4=17\r\n");
    Editor e;
    for (int i = 0; i < 64; ++i)
        e.vars.CharTable[size_t(i)] = quint8(i);
    e.vars.CharTable[10] = 255;
    e.vars.CharTable[11] = 0x91; // bit 7 and pixels 16, 1

    // A stored 255: all five pixels set, the label says 0x1F, the table and the upload keep 255.
    e.position("2");
    e.press("cmdLoadBitmap");
    QCOMPARE(e.rows(), QByteArray::fromHex("08091f110c0d0e0f"));
    QCOMPARE(e.label(3), QStringLiteral("0x1F"));
    QCOMPARE(e.label(4), QStringLiteral("0x11"));
    for (int w : {16, 8, 4, 2, 1})
        QCOMPARE(e.cell(3, w)->color(), QColor(Qt::black));
    QCOMPARE(e.cell(4, 8)->color(), LightGreen);
    e.press("cmdSendBitmap");
    QCOMPARE(e.sent.size(), 1);
    QCOMPARE(e.sent[0], QByteArray::fromHex("fe64") + e.table());
    QCOMPARE(quint8(e.sent[0][12]), quint8(255));

    // Drawing alone changes no byte of the upload.
    e.press("cmdClr");
    e.press("cmdSendBitmap");
    QCOMPARE(e.sent[1], e.sent[0]);

    // Saved, the position holds the pixels only: 31 where 255 was.
    e.press("cmdLoadBitmap");
    e.press("cmdSaveBitmap");
    e.press("cmdSendBitmap");
    QCOMPARE(quint8(e.sent[2][12]), quint8(31));
    QCOMPARE(quint8(e.sent[2][13]), quint8(17));
    QVERIFY(readSettings().contains("UCHAR2R3=31\r\nUCHAR2R4=17\r\n"));

    // Load after save shows the saved picture again, whatever was drawn since.
    e.press("cmdSet");
    e.press("cmdLoadBitmap");
    QCOMPARE(e.rows(), QByteArray::fromHex("08091f110c0d0e0f"));
    QCOMPARE(e.label(1), QStringLiteral("0x08"));
    QCOMPARE(e.cell(1, 8)->color(), QColor(Qt::black));
    QCOMPARE(e.cell(1, 16)->color(), LightGreen);
}

void tst_chars::noPosition()
{
    const QByteArray before = "[UDC]\r\nUCHAR1R1=12\r\n";
    writeSettings(before);
    Editor e;
    e.vars.CharTable[0] = 12;
    const QByteArray table = e.table();
    for (const QString &text : {QString("9"), QString(), QString(" 1"), QString("01")}) {
        e.press("cmdSet");
        e.position(text);
        e.press("cmdSaveBitmap");
        QCOMPARE(e.table(), table);
        QCOMPARE(readSettings(), before);
        e.press("cmdLoadBitmap");
        QCOMPARE(e.rows(), QByteArray(8, 0));
        QCOMPARE(e.label(1), QStringLiteral("0x00"));
        QVERIFY(e.boxes.texts.isEmpty());
    }
}

void tst_chars::loadCharTable()
{
    // Every key present with its own value: element (k - 1) * 8 + (r - 1) holds key k, r.
    QByteArray all = "[UDC]\r\n";
    for (int k = 8; k >= 1; --k)
        for (int r = 1; r <= 8; ++r)
            all += charKey(k, r).toLatin1() + "=" + QByteArray::number(k * 30 + r) + "\r\n";
    writeSettings(all);
    std::array<quint8, 64> table {};
    previousHandler = qInstallMessageHandler(collectWarnings);
    warnings.clear();
    LoadCharTable(table);
    QVERIFY(warnings.isEmpty());
    for (int i = 0; i < 64; ++i)
        QCOMPARE(int(table[size_t(i)]), (i / 8 + 1) * 30 + i % 8 + 1);

    // Without a file: 64 zeros and one warning per key, in reading order.
    removeSettings();
    LoadCharTable(table);
    QCOMPARE(table, (std::array<quint8, 64> {}));
    QCOMPARE(warnings.size(), 64);
    for (int i = 0; i < 64; ++i)
        QVERIFY2(warnings[i].contains(charKey(i / 8 + 1, i % 8 + 1)), qPrintable(warnings[i]));

    // Bad values load as 0 and are named; good ones around them still load.
    writeSettings("[UDC]\r\nUCHAR1R1=256\r\nUCHAR1R2=-1\r\nUCHAR1R3=abc\r\nUCHAR1R4=\r\n"
                  "UCHAR1R5=12x\r\nUCHAR1R6=99999999999999999999\r\nUCHAR1R7=0255\r\n"
                  "UCHAR1R8= 7 \r\nUCHAR2R1=3.5\r\nUCHAR2R2=255\r\n");
    table.fill(9);
    warnings.clear();
    LoadCharTable(table);
    qInstallMessageHandler(previousHandler);
    QCOMPARE(table[6], quint8(255));
    QCOMPARE(table[7], quint8(7));
    QCOMPARE(table[9], quint8(255));
    for (int i : {0, 1, 2, 3, 4, 5, 8})
        QCOMPARE(table[size_t(i)], quint8(0));
    QCOMPARE(warnings.size(), 7 + 54);
    for (const char *key :
         {"UCHAR1R1", "UCHAR1R2", "UCHAR1R3", "UCHAR1R4", "UCHAR1R5", "UCHAR1R6", "UCHAR2R1"})
        QCOMPARE(warnings.filter(QString::fromLatin1(key) + QLatin1Char(' ')).size(), 1);
}

void tst_chars::uploadToModule()
{
    removeSettings();
    LcdBus bus;
    SimPort pty(&bus);
    QVERIFY2(pty.open(1), qPrintable(pty.errorString()));
    CommPort port;
    QVERIFY(port.setSettings(QStringLiteral("9600,n,8,1")));
    port.setCommPort(1);
    QVERIFY(port.open());

    Editor e;
    // The window's SendFrameCfg: TxBuffer bytes one by one, no trace.
    e.panel.attach(e.vars, [&](int n) {
        for (int i = 0; i < n; ++i)
            port.writeByte(e.vars.TxBuffer[size_t(i)]);
    });
    port.write(Frames::SelectDevice(100));
    for (int i = 0; i < 64; ++i)
        e.vars.CharTable[size_t(i)] = quint8(i * 37 % 256);
    e.position("4"); // the whole table goes, whatever is selected
    e.press("cmdSendBitmap");

    const QByteArray table = e.table();
    QTRY_COMPARE(pty.received(), QByteArray::fromHex("ef64fe64") + table);
    QTRY_COMPARE(bus.module(0).userChars(), table);
}

QTEST_MAIN(tst_chars)
#include "tst_chars.moc"
