// The user-defined characters on real widgets: the pixel editor, the table's load, save and
// upload, and the settings file's "UDC" keys.
#include "cfgsupport.h"
#include "chars/cellwidgets.h"
#include "chars/charpanel.h"
#include "shell/modvariables.h"

#include <QLabel>
#include <QPushButton>

#include <csignal>
#include <sys/resource.h>

using namespace TestSupport;
using namespace CfgSupport;
using namespace Qt::StringLiterals;

namespace {
QStringList warnings;
void collectWarnings(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtWarningMsg)
        warnings << text;
}

template<typename A> QByteArray bytes(const A &array, int from = 0, int count = 64)
{
    return QByteArray(reinterpret_cast<const char *>(array.data()) + from, count);
}

// A panel as the configuration window holds it, with the frames it sends kept in order.
struct Editor
{
    MessageBoxCatcher boxes; // a box never blocks a test, and what it said is kept
    modVariables vars;
    CharPanel panel;
    QList<QByteArray> sent;

    Editor()
    {
        panel.attach(vars, [this](int n) { sent << bytes(vars.TxBuffer, 0, n); });
        panel.show();
    }
    PixelCell *cell(int r, int weight)
    {
        return child<PixelCell>(&panel, u"bitmapr%1_%2"_s.arg(r).arg(weight));
    }
    void click(int r, int weight) { QTest::mouseClick(cell(r, weight), Qt::LeftButton); }
    void press(const char *name)
    {
        QTest::mouseClick(child<QPushButton>(&panel, name), Qt::LeftButton);
    }
    void position(const QString &text) { choose(child<QComboBox>(&panel, "cboUCH"), text); }
    // Steps in order: "=text" picks the position, "row/weight" clicks a pixel, a name a button.
    void run(const QString &steps)
    {
        for (const QString &step : steps.split(',')) {
            if (step.startsWith('='))
                position(step.mid(1));
            else if (step.contains('/'))
                click(step.section('/', 0, 0).toInt(), step.section('/', 1).toInt());
            else
                press(qPrintable(step));
        }
    }
    QByteArray rows() const { return bytes(panel.editorRows(), 0, 8); }
    // Row r as the operator sees it: its label, then its cells from the left, '#' for black and
    // '.' for light green.
    QString seen(int r)
    {
        QString s = child<QLabel>(&panel, u"lblrow%1"_s.arg(r))->text() + ' ';
        for (int w : {16, 8, 4, 2, 1}) {
            const QRgb c = cell(r, w)->color().rgb();
            s += c == qRgb(0, 0, 0) ? '#' : c == qRgb(0x80, 0xFF, 0x80) ? '.' : '?';
        }
        return s;
    }
    QStringList snapshot()
    {
        QStringList s {QString::fromLatin1(rows().toHex())};
        for (int r = 1; r <= 8; ++r)
            s << seen(r);
        auto *list = child<QComboBox>(&panel, "cboUCH");
        return s << list->currentText() << QString::number(list->count());
    }
};
} // namespace

class tst_chars : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { removeSettings(); }
    void editor();
    void saveAndLoad();
    void loadCharTable();
};

void tst_chars::editor()
{
    Editor e;
    QVERIFY(QTest::qWaitForWindowExposed(&e.panel));
    const QStringList opening = e.snapshot();
    QCOMPARE(e.seen(1), u"0x00 ....."_s);
    // Columns from the left are the weights 16, 8, 4, 2, 1, where the operator sees them.
    const int weights[] = {16, 8, 4, 2, 1};
    for (int column = 0; column < 5; ++column)
        QCOMPARE(e.panel.childAt(28 + 8 * column, 44), e.cell(3, weights[column]));

    // Same cell twice: colour and byte back.
    e.click(1, 16);
    QCOMPARE(e.seen(1), u"0x10 #...."_s);
    QCOMPARE(e.panel.grab().toImage().pixelColor(28, 28), QColor(Qt::black));
    e.click(1, 16);
    QCOMPARE(e.snapshot(), opening);
    e.click(1, 1);
    QCOMPARE(e.seen(1), u"0x01 ....#"_s);
    for (int w : {16, 8, 4, 2})
        e.click(1, w);
    QCOMPARE(e.seen(1), u"0x1F #####"_s);
    e.run("3/8,3/2");
    QCOMPARE(e.seen(3), u"0x0A .#.#."_s);
    QCOMPARE(e.rows(), QByteArray::fromHex("1f000a0000000000"));

    // Each opening starts clean, the list filled once; a first click shows its weight alone.
    e.position("x");
    e.panel.reset();
    QCOMPARE(e.snapshot(), opening);
    e.click(5, 4);
    QCOMPARE(e.seen(5), u"0x04 ..#.."_s);
    QCOMPARE(e.rows(), QByteArray::fromHex("0000000004000000"));

    e.press("cmdSet");
    QCOMPARE(e.rows(), QByteArray(8, 31));
    QCOMPARE(e.seen(4), u"0x1F #####"_s);
    e.click(8, 1);
    QCOMPARE(e.seen(8), u"0x1E ####."_s);
    e.run("cmdSet,cmdClr");
    QCOMPARE(e.snapshot(), opening);
    QVERIFY(e.sent.isEmpty()); // the editor alone touches neither the table nor the line
    QCOMPARE(bytes(e.vars.CharTable), QByteArray(64, 0));
}

void tst_chars::saveAndLoad()
{
    // An operator's file: comments, other sections, character 2 among other keys.
    QByteArray before
        = "; Tessaline\r\n[Settings]\r\nCommPort=1\r\n[UDC]\r\n; mine\r\nUCHAR1R8=7\r\n";
    for (int r = 1; r <= 8; ++r)
        before += "UCHAR2R" + QByteArray::number(r) + (r == 3 ? "=255\r\n" : "=5\r\n");
    before += "UCHAR3R1=9\r\n\r\n[LCD]\r\nPT1=UCHAR2R1=5\r\n";
    writeSettings(before);
    Editor e;
    LoadCharTable(e.vars.CharTable);
    QByteArray table = bytes(e.vars.CharTable);

    // A stored 255 shows all five pixels and "0x1F"; the upload keeps 255 until a save.
    e.run("=2,cmdLoadBitmap");
    QCOMPARE(e.rows(), QByteArray::fromHex("05051f0505050505"));
    QCOMPARE(e.seen(3), u"0x1F #####"_s);
    QCOMPARE(e.seen(4), u"0x05 ..#.#"_s);
    e.press("cmdSendBitmap");
    QCOMPARE(e.sent.value(0), QByteArray::fromHex("fe64") + table);
    QCOMPARE(quint8(table[10]), quint8(255));
    // Drawing alone changes no byte of the upload.
    e.run("cmdSet,2/16,cmdSendBitmap");
    QCOMPARE(e.sent.value(1), e.sent[0]);

    // Chosen 1, then 3, then 2: saved under 2 alone, its eight keys in row order, no other
    // byte of the file changed.
    e.run("=1,=3,=2,cmdSaveBitmap");
    table.replace(8, 8, QByteArray::fromHex("1f0f1f1f1f1f1f1f"));
    QCOMPARE(bytes(e.vars.CharTable), table);
    e.press("cmdSendBitmap");
    QCOMPARE(e.sent.value(2), QByteArray::fromHex("fe64") + table);
    QByteArray expected = before;
    expected.replace(expected.indexOf("UCHAR2R1"), 8 * 12 + 2,
                     "UCHAR2R1=31\r\nUCHAR2R2=15\r\nUCHAR2R3=31\r\nUCHAR2R4=31\r\n"
                     "UCHAR2R5=31\r\nUCHAR2R6=31\r\nUCHAR2R7=31\r\nUCHAR2R8=31\r\n");
    QCOMPARE(readSettings(), expected);
    // Load after the save shows the saved picture, whatever was drawn since.
    e.run("cmdClr,cmdLoadBitmap");
    QCOMPARE(e.seen(2), u"0x0F .####"_s);
    QCOMPARE(e.rows(), table.mid(8, 8));

    // Saved twice: still one line per key, with the later values.
    e.run("cmdClr,8/1,cmdSaveBitmap");
    const QByteArray twice = readSettings();
    for (int r = 1; r <= 8; ++r)
        QCOMPARE(twice.count("\nUCHAR2R" + QByteArray::number(r) + "="), 1);
    QVERIFY(twice.contains("UCHAR2R7=0\r\nUCHAR2R8=1\r\nUCHAR3R1=9"));

    // No position chosen: Load only clears, Save writes nothing anywhere.
    table = bytes(e.vars.CharTable);
    for (const QString &text : {u"9"_s, QString(), u" 1"_s, u"01"_s}) {
        e.run("cmdSet,=" + text + ",cmdSaveBitmap,cmdLoadBitmap");
        QCOMPARE(e.rows(), QByteArray(8, 0));
        QCOMPARE(e.seen(1), u"0x00 ....."_s);
    }
    QCOMPARE(bytes(e.vars.CharTable), table);
    QCOMPARE(readSettings(), twice);

    // A save that does not fit (a full disk, as a file-size limit that the first three new
    // lines would fit in) is told once and writes no row at all.
    const QByteArray full = readSettings();
    rlimit saved;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = rlim_t(full.size() + 40);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    e.run("=5,cmdSet,cmdSaveBitmap");
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    QCOMPARE(e.boxes.texts, QStringList {"Character 5 was not saved to the settings file."});
    QCOMPARE(e.boxes.titles, QStringList {"TessalineApp"});
    QCOMPARE(readSettings(), full);
    // Into a missing file: a new file with only these eight keys.
    removeSettings();
    e.run("cmdClr,1/4");
    e.press("cmdSaveBitmap");
    QCOMPARE(readSettings(),
             QByteArray("[UDC]\r\nUCHAR5R1=4\r\nUCHAR5R2=0\r\nUCHAR5R3=0\r\nUCHAR5R4=0\r\n"
                        "UCHAR5R5=0\r\nUCHAR5R6=0\r\nUCHAR5R7=0\r\nUCHAR5R8=0\r\n"));
    QCOMPARE(e.boxes.texts.size(), 1);
}

void tst_chars::loadCharTable()
{
    // Row values as an operator may write them, and what loads: a whole number from 0 to 255
    // with blanks around it, a leading "+" and leading zeros; anything else loads as 0 and is
    // named once in a warning (-1 here), as is every missing key.
    const struct
    {
        const char *text;
        int loaded;
    } rows[] = {{"255", 255},
                {"0", 0},
                {" 7 ", 7},
                {"+5", 5},
                {"007", 7},
                {"00000000017", 17},
                {"0255", 255},
                {"\"\t+9 \"", 9},
                {"\v8\v", 8},
                {"000000000000000000000031", 31},
                {"256", -1},
                {"-1", -1},
                {"-0", -1},
                {"abc", -1},
                {"", -1},
                {"12x", -1},
                {"99999999999999999999", -1},
                {"3.5", -1},
                {"+", -1},
                {"++1", -1},
                {"+ 1", -1},
                {"1 2", -1},
                {"0x1F", -1},
                {"00000000000000000000256", -1}};
    QByteArray file = "[UDC]\r\n", expected;
    QStringList named;
    for (const auto &r : rows) {
        const int i = int(&r - rows);
        const QString key = charKey(i / 8 + 1, i % 8 + 1);
        file += key.toLatin1() + '=' + r.text + "\r\n";
        expected += char(qMax(r.loaded, 0));
        if (r.loaded < 0)
            named << key;
    }
    writeSettings(file);
    std::array<quint8, 64> table;
    table.fill(9);
    const QtMessageHandler previous = qInstallMessageHandler(collectWarnings);
    LoadCharTable(table);
    qInstallMessageHandler(previous);
    QCOMPARE(bytes(table, 0, int(std::size(rows))), expected);
    QCOMPARE(bytes(table, int(std::size(rows)), 64 - int(std::size(rows))),
             QByteArray(64 - int(std::size(rows)), 0));
    QCOMPARE(warnings.size(), named.size() + 64 - int(std::size(rows)));
    for (const QString &key : named)
        QCOMPARE(warnings.filter(key + ' ').size(), 1);
}

QTEST_MAIN(tst_chars)
#include "tst_chars.moc"
