// The bus log: what the record makes of frames sent and bytes received (replies cut between
// reads, foreign replies, garbage, typed characters sharing a row, intervals), its bound, and its
// window against the virtual module: a short session of both windows, the rows against the
// bytes at the pty master, then filter, copy, save and clear.
#include "buslog/buslogmodel.h"
#include "buslog/buslogwindow.h"
#include "cfgsupport.h"
#include "display/frames.h"
#include "sim/lcdbus.h"

#include <QCheckBox>
#include <QClipboard>
#include <QMenuBar>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTableView>
#include <QTemporaryDir>

using namespace TestSupport;
using namespace CfgSupport;
using namespace Qt::StringLiterals;
using Window = BusLog::Window;
using Direction = BusLog::Direction;

namespace {

// Each row as "interval window direction meaning", "-" for no interval.
QStringList rowsOf(const BusLog &log)
{
    QStringList rows;
    for (quint64 n = log.first(); n < log.end(); ++n) {
        const QStringList c = BusLog::columns(log.row(n));
        rows << QStringList {c[BusLog::SincePrevious].isEmpty() ? u"-"_s : c[BusLog::SincePrevious],
                             c[BusLog::WindowName], c[BusLog::DirectionName], c[BusLog::Meaning]}
                    .join(' ');
    }
    return rows;
}

// The frames that bytes make, as a module reads them.
QList<Protocol::Frame> framesOf(const QByteArray &bytes)
{
    QList<Protocol::Frame> frames;
    Protocol::Decoder decoder;
    for (char c : bytes) {
        if (const auto f = decoder.push(quint8(c)))
            frames << *f;
    }
    if (const auto f = decoder.pause())
        frames << *f;
    return frames;
}

BusLogWindow *logWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *found = qobject_cast<BusLogWindow *>(widget))
            return found;
    }
    return nullptr;
}

} // namespace

class tst_buslog : public QObject
{
    Q_OBJECT
private slots:
    void record_data();
    void record();
    void bound();
    void session();
};

void tst_buslog::record_data()
{
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("rows");
    // Steps: o:HEX / c:HEX the main / configuration window sends the frames of these bytes,
    // t:TEXT the main window sends typed characters one by one, i:HEX / j:HEX the main /
    // configuration window reads these bytes, +N N ms pass. The line goes quiet at the end.
    QTest::newRow("reply") << "o:ef64 +20 i:ee64"
                           << "- main out SelectDevice 100|20 main in SelectReply 100";
    QTest::newRow("reply cut between reads")
        << "o:ef64 +20 i:ee +5 i:64"
        << "- main out SelectDevice 100|20 main in SelectReply 100";
    QTest::newRow("foreign replies")
        << "i:ee69 +3 i:ee85 +3 i:eeee64"
        << "- main in SelectReply 105|3 main in unknown EE 85 EE|3 main in SelectReply 100";
    QTest::newRow("reply and a byte after it") << "i:ee6407"
                                               << "- main in SelectReply 100|0 main in unknown 07";
    QTest::newRow("garbage in runs") << "i:4142 +10 i:43 +100 i:44"
                                     << "- main in unknown 41 42 43|110 main in unknown 44";
    QTest::newRow("238 and silence") << "i:41ee +60 i:64"
                                     << "- main in unknown 41 EE|60 main in unknown 64";
    QTest::newRow("238 at the end") << "i:41ee"
                                    << "- main in unknown 41 EE";
    QTest::newRow("a frame sent ends the reply begun")
        << "i:ee +1 o:ea +2 i:64"
        << "- main in unknown EE|1 main out DeselectDevice|2 main in "
           "unknown 64";
    QTest::newRow("each window its own line")
        << "i:ee j:ee +1 i:64 j:65"
        << "- main in SelectReply 100|0 configuration in SelectReply 101";
    QTest::newRow("typed characters") << "t:Hi +300 t:! +1500 t:? o:0b t:a c:41"
                                      << "- main out Text \"Hi!\"|1800 main out TextChar \"?\"|0 "
                                         "main out CursorHomeCode|0 main out TextChar \"a\"|0 "
                                         "configuration out TextChar \"A\"";
    QTest::newRow("a display row of typed characters")
        << "t:12345678901234567890X"
        << "- main out Text \"12345678901234567890\"|0 main out TextChar \"X\"";
    QTest::newRow("frames of one write") << "c:fe32020541fe67"
                                         << "- configuration out CursorPosition row 2, column 5|0 "
                                            "configuration out TextChar \"A\"|0 configuration out "
                                            "SetBaud4800";
}

void tst_buslog::record()
{
    QFETCH(QString, steps);
    QFETCH(QString, rows);
    BusLog log;
    qint64 now = 1000;
    log.setClock([&now] { return now; });
    QByteArray line[2][2]; // [window][direction]: every byte, as it went
    for (const QString &step : steps.split(' ')) {
        const QString arg = step.mid(2);
        const QByteArray hex = QByteArray::fromHex(arg.toLatin1());
        const Window window = step[0] == 'c' || step[0] == 'j' ? Window::Config : Window::Main;
        if (step[0] == '+') {
            now += step.mid(1).toInt();
        } else if (step[0] == 't') {
            for (char c : arg.toLatin1()) {
                log.sent(1, window, {Frames::TextChar(quint8(c))});
                line[0][0] += c;
            }
        } else if (step[0] == 'o' || step[0] == 'c') {
            log.sent(1, window, framesOf(hex));
            line[int(window)][0] += hex;
        } else {
            log.received(1, window, hex);
            line[int(window)][1] += hex;
        }
    }
    now += BusLog::PauseMs + 1;
    log.settle();
    QVERIFY(!log.waiting());
    QCOMPARE(rowsOf(log).join('|'), rows);

    // Every byte in a row of its own window and direction, in order; none left out.
    QByteArray logged[2][2];
    for (quint64 n = log.first(); n < log.end(); ++n) {
        const BusLog::Row &row = log.row(n);
        QCOMPARE(row.omitted, 0u);
        QCOMPARE(row.port, 1);
        logged[int(row.window)][int(row.direction)] += row.bytes;
    }
    for (int w = 0; w < 2; ++w) {
        for (int d = 0; d < 2; ++d)
            QCOMPARE(logged[w][d].toHex(), line[w][d].toHex());
    }
}

// 100,000 + n frames keep the last 100,000; a flood keeps one row; the window counts what was
// dropped and its rows follow the record through drops, growing rows and filters.
void tst_buslog::bound()
{
    BusLog log;
    log.setClock([] { return qint64(0); }); // every read comes at once, however slow the machine
    constexpr int n = 7;
    const auto select = [](quint64 i) { return Frames::SelectDevice(quint8(100 + i % 33)); };
    for (quint64 i = 0; i < BusLog::Capacity + n; ++i)
        log.sent(1, Window::Main, {select(i)});
    QCOMPARE(log.end() - log.first(), quint64(BusLog::Capacity));
    QCOMPARE(log.first(), quint64(n));
    QCOMPARE(log.dropped(), quint64(n));
    QCOMPARE(log.row(log.first()).bytes, select(n).bytes);
    QCOMPARE(log.row(log.end() - 1).bytes, select(BusLog::Capacity + n - 1).bytes);

    BusLogWindow window(log);
    window.show();
    auto *count = child<QLabel>(&window, "lblCount");
    QCOMPARE(window.model().rowCount(), BusLog::Capacity);
    QCOMPARE(window.model().number(0), quint64(n));
    QCOMPARE(count->text(),
             u"100000 of 100000 rows shown \u00b7 7 dropped (the log keeps the "
             "latest 100000)"_s);

    // Hundreds of MB from a peer are one row that keeps its first bytes and counts the rest.
    const QByteArray flood(8 << 20, 'x');
    for (int i = 0; i < 40; ++i)
        log.received(2, Window::Config, flood);
    const BusLog::Row &row = log.row(log.end() - 1);
    QCOMPARE(row.bytes, flood.left(BusLog::KeptBytes));
    QCOMPARE(row.omitted, quint64(40) * flood.size() - BusLog::KeptBytes);
    QTRY_COMPARE(window.model().number(window.model().rowCount() - 1), log.end() - 1);
    QVERIFY(window.model()
                .data(window.model().index(BusLog::Capacity - 1, BusLog::Meaning), Qt::DisplayRole)
                .toString()
                .endsWith(u"and 335544254 more bytes, not kept"_s));

    window.close();

    // Random traffic on a small full record: the rows shown are always those of the record
    // that pass the filter, in order, through drops, growing rows, filters and clears.
    BusLog small(64);
    small.setClock([] { return qint64(0); });
    BusLogWindow shown(small);
    shown.show();
    QRandomGenerator rng(7);
    const QStringList texts = {"", "", "in", "SelectReply", "text \"", "COM2", "unknown EE"};
    QString text;
    bool out = true, in = true;
    for (int round = 0; round < 2000; ++round) {
        for (int k = int(rng.bounded(40)); k > 0; --k) {
            const int what = int(rng.bounded(10));
            const int port = 1 + int(rng.bounded(2));
            if (what < 3)
                small.sent(port, Window::Main, {select(rng.generate())});
            else if (what < 5)
                small.sent(1, Window::Main, {Frames::TextChar(quint8('a' + rng.bounded(26)))});
            else
                small.received(port, Window::Main, QByteArray::fromHex(what < 8 ? "ee" : "64ee41"));
        }
        if (rng.bounded(10) == 0) {
            text = texts[int(rng.bounded(texts.size()))];
            out = rng.bounded(4) != 0;
            in = rng.bounded(4) != 0;
            shown.model().setFilter(out, in, text);
        }
        if (rng.bounded(100) == 0)
            child<QAbstractButton>(&shown, "cmdClear")->click();
        shown.model().refresh();
        std::vector<quint64> expected;
        for (quint64 i = small.first(); i < small.end(); ++i) {
            const BusLog::Row &r = small.row(i);
            if ((r.direction == Direction::Out ? out : in)
                && BusLog::line(r, BusLog::Format::Text).contains(text, Qt::CaseInsensitive))
                expected.push_back(i);
        }
        QVERIFY2(shown.model().numbers() == expected, qPrintable(u"round %1"_s.arg(round)));
    }
    QVERIFY(small.dropped() > 0);

    child<QAbstractButton>(&shown, "cmdClear")->click();
    QCOMPARE(small.end() - small.first(), 0u);
    QCOMPARE(shown.model().rowCount(), 0);
    QCOMPARE(child<QLabel>(&shown, "lblCount")->text(),
             u"0 of 0 rows shown \u00b7 0 dropped (the log keeps the latest 64)"_s);
}

void tst_buslog::session()
{
    writeSettings(iniFile(QStringList(8, u"Text"_s), rowsWith()));
    LcdBus bus({105});
    MainBench b(&bus);
    // The record's clock stands still: the reply cut between reads below is one frame however
    // slowly the reads come.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    b.vars.busLog.setClock([now] { return now; });
    QByteArray answers;
    connect(&b.pty, &SimPort::answered, this, [&answers](const QByteArray &a) { answers += a; });
    const QStringList menu = {"Configure LCD", "Bus Log"};
    for (int i = 0; i < menu.size(); ++i)
        QCOMPARE(b.window->menuBar()->actions().value(i)->text(), menu[i]);

    // Recorded from the start, before anybody looks.
    b.select("105");
    QTest::keyClicks(b.get("txtASCIIInput"), "Hi");
    b.press("cmdCurPos", "cboRow=2,cboColumn=5");
    // A foreign peer's bytes, with a reply cut between two reads among them.
    b.pty.write(QByteArray::fromHex("41ee"));
    QTRY_VERIFY(b.vars.busLog.waiting());
    b.pty.write(QByteArray::fromHex("6942"));
    QTRY_COMPARE(b.vars.busLog.end(), 7u);

    b.get<QAction>("mnuBusLog")->trigger();
    BusLogWindow *w = logWindow();
    QVERIFY(w && w->isVisible());
    QCOMPARE(w->windowTitle(), u"Bus Log"_s);
    auto *view = child<QTableView>(w, "tblLog");
    QCOMPARE(view->model()->rowCount(), 7);

    // The configuration window's frames, which it does not trace, while the log is open.
    b.get<QAction>("mnuCfg")->trigger();
    frmCfg *cfg = cfgWindow();
    QVERIFY(cfg);
    act(cfg, "cmdSetUID,cmdSave,cmdSendBitmap");
    cfg->close();
    b.click("cmdConnect");
    b.select("105");
    QTRY_COMPARE(view->model()->rowCount(), 13);

    // Each frame as its window built it, each received byte read as the modules' stream.
    const Rows rows = rowsWith();
    std::array<quint8, 64> table;
    std::copy(rows.begin(), rows.end(), table.begin());
    const QStringList expected
        = {"main out SelectDevice 105",
           "main in SelectReply 105",
           "main out Text \"Hi\"",
           "main out CursorPosition row 2, column 5",
           "main in unknown 41",
           "main in SelectReply 105",
           "main in unknown 42",
           "configuration out SelectDevice 100",
           "configuration out SetUid 101",
           "configuration out SaveToEeprom",
           "configuration out " + Protocol::describe(Frames::UploadChars(table)),
           "main out SelectDevice 105",
           "main in SelectReply 105"};
    const BusLog &log = b.vars.busLog;
    QStringList seen;
    QByteArray out, in;
    for (int r = 0; r < view->model()->rowCount(); ++r) {
        const auto cell = [&](int c) { return view->model()->index(r, c).data().toString(); };
        seen << cell(BusLog::WindowName) + ' ' + cell(BusLog::DirectionName) + ' '
                + cell(BusLog::Meaning);
        QVERIFY(QRegularExpression(u"^\\d\\d:\\d\\d:\\d\\d\\.\\d{3}$"_s)
                    .match(cell(BusLog::Time))
                    .hasMatch());
        QCOMPARE(cell(BusLog::SincePrevious).isEmpty(), r == 0);
        QCOMPARE(cell(BusLog::Port), u"COM1"_s);
        const BusLog::Row &row = log.row(w->model().number(r));
        QCOMPARE(cell(BusLog::Bytes), QString::fromLatin1(row.bytes.toHex(' ').toUpper()));
        (row.direction == Direction::Out ? out : in) += row.bytes;
    }
    QCOMPARE(seen, expected);
    // The rows hold the bytes at the pty master, both ways.
    QCOMPARE(out.toHex(' '), b.pty.received().toHex(' '));
    QCOMPARE(answers.toHex(), QByteArray("ee69ee69"));
    QCOMPARE(in.toHex(), QByteArray("ee6941ee6942ee69"));

    // Filters: a direction, a text in any column (case ignored), both.
    auto *outBox = child<QCheckBox>(w, "chkOut");
    auto *filter = child<QLineEdit>(w, "txtFilter");
    const auto shown = [&] {
        QStringList texts;
        for (int r = 0; r < view->model()->rowCount(); ++r)
            texts << view->model()->index(r, BusLog::Meaning).data().toString();
        return texts.join('|');
    };
    outBox->setChecked(false);
    QCOMPARE(shown(), u"SelectReply 105|unknown 41|SelectReply 105|unknown 42|SelectReply 105"_s);
    filter->setText("unknown");
    QTRY_COMPARE(shown(), u"unknown 41|unknown 42"_s);
    outBox->setChecked(true);
    filter->setText("selectdevice");
    QTRY_COMPARE(shown(), u"SelectDevice 105|SelectDevice 100|SelectDevice 105"_s);
    filter->setText("configuration");
    QTRY_COMPARE(view->model()->rowCount(), 4);

    // Copy the rows selected (Ctrl+C in the list), save the rows shown.
    view->selectRow(1);
    QTest::keyClick(view, Qt::Key_Down, Qt::ShiftModifier);
    QTest::keySequence(view, QKeySequence::Copy);
    const QString copied = QGuiApplication::clipboard()->text();
    QCOMPARE(copied.count('\n'), 2);
    QCOMPARE(copied.section('\n', 0, 0).section('\t', 2),
             u"COM1\tconfiguration\tout\tFE 30 65\tSetUid 101"_s);
    QTemporaryDir dir;
    QString error;
    QVERIFY(w->saveTo(dir.filePath("log.csv"), BusLog::Format::Csv, &error));
    filter->clear();
    QTRY_COMPARE(view->model()->rowCount(), 13);
    QVERIFY(w->saveTo(dir.filePath("log.txt"), BusLog::Format::Text));
    QFile text(dir.filePath("log.txt"));
    QVERIFY(text.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(text.readAll()).split('\n');
    QCOMPARE(lines.size(), 14); // and the empty rest after the last line break
    QCOMPARE(lines[2].section('\t', 2), u"COM1\tmain\tout\t48 69\tText \"Hi\""_s);
    QFile csv(dir.filePath("log.csv"));
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QList<QByteArray> records = csv.readAll().split('\n');
    QCOMPARE(records.size(), 6);
    QCOMPARE(records[0], "Time,+ms,Port,Window,Dir,Bytes,Meaning\r");
    QVERIFY(records[2].endsWith(",COM1,configuration,out,FE 30 65,SetUid 101\r"));
    QVERIFY(!w->saveTo(dir.filePath("none/log.txt"), BusLog::Format::Text, &error));
    QVERIFY(!error.isEmpty());

    // Cleared, the log goes on with what comes next.
    child<QAbstractButton>(w, "cmdClear")->click();
    QCOMPARE(view->model()->rowCount(), 0);
    QTest::keyClicks(b.get("txtASCIIInput"), "!");
    QTRY_COMPARE(shown(), u"TextChar \"!\""_s);
    QCOMPARE(view->model()->index(0, BusLog::SincePrevious).data().toString(), QString());
    removeSettings();
}

QTEST_MAIN(tst_buslog)
#include "tst_buslog.moc"
