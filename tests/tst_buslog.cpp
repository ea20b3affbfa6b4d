// The bus log: what the record makes of frames sent and bytes received (replies cut between
// reads, foreign replies, garbage, typed characters sharing a row), its bound, and its window
// against the virtual module: a short session of both windows, the rows against the bytes at the
// pty master, then filter, copy, save and clear.
#include "bench.h"
#include "buslog/buslogmodel.h"
#include "buslog/buslogwindow.h"
#include "display/frames.h"

#include <QCheckBox>
#include <QClipboard>
#include <QTableView>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;
using Window = BusLog::Window;

namespace {

// The frames of bytes as a module reads them.
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
    // Steps: o:HEX / c:HEX the main / configuration window sends the frames of these bytes (one
    // frame per byte for a run of text), i:HEX / j:HEX the main / configuration window reads
    // these bytes, +N N ms pass. The line goes quiet at the end. Rows: "interval window
    // direction meaning", "-" for no interval.
    const auto row = [](const char *name, const char *steps, const QString &rows) {
        QTest::newRow(name) << steps << rows;
    };
    row("reply", "o:ef64 +20 i:ee64", "- main out SelectDevice 100|20 main in SelectReply 100");
    row("reply cut between reads", "o:ef64 +20 i:ee +5 i:64",
        "- main out SelectDevice 100|20 main in SelectReply 100");
    row("foreign replies", "i:ee69 +3 i:ee85 +3 i:eeee64",
        "- main in SelectReply 105|3 main in unknown EE 85 EE|3 main in SelectReply 100");
    row("reply and a byte after it", "i:ee6407", "- main in SelectReply 100|0 main in unknown 07");
    row("garbage in runs", "i:4142 +10 i:43 +100 i:44",
        "- main in unknown 41 42 43|110 main in unknown 44");
    row("238 and silence", "i:41ee +60 i:64", "- main in unknown 41 EE|60 main in unknown 64");
    row("238 at the end", "i:41ee", "- main in unknown 41 EE");
    row("a frame sent ends the reply begun", "i:ee +1 o:ea +2 i:64",
        "- main in unknown EE|1 main out DeselectDevice|2 main in unknown 64");
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

void tst_buslog::record()
{
    QFETCH(QString, steps);
    QFETCH(QString, rows);
    BusLog log;
    qint64 now = 1000;
    log.setClock([&now] { return now; });
    QByteArray line[2][2]; // [window][direction]: every byte, as it went
    for (const QString &step : steps.split(' ')) {
        const QByteArray hex = QByteArray::fromHex(step.mid(2).toLatin1());
        const Window window = step[0] == 'c' || step[0] == 'j' ? Window::Config : Window::Main;
        const bool out = QStringLiteral("oct").contains(step[0]);
        if (step[0] == '+')
            now += step.mid(1).toInt();
        else if (step[0] == 't')
            for (char c : hex)
                log.sent(1, window, {Frames::TextChar(quint8(c))});
        else if (out)
            log.sent(1, window, framesOf(hex));
        else
            log.received(1, window, hex);
        if (step[0] != '+')
            line[int(window)][out ? 0 : 1] += hex;
    }
    now += BusLog::PauseMs + 1;
    log.settle();
    QVERIFY(!log.waiting());
    QStringList seen;
    QByteArray logged[2][2];
    for (quint64 n = log.first(); n < log.end(); ++n) {
        const QStringList c = BusLog::columns(log.row(n));
        seen << (c[BusLog::SincePrevious].isEmpty() ? u"-"_s : c[BusLog::SincePrevious]) + ' '
                + c[BusLog::WindowName] + ' ' + c[BusLog::DirectionName] + ' ' + c[BusLog::Meaning];
        const BusLog::Row &r = log.row(n);
        QVERIFY(r.omitted == 0 && r.port == 1);
        logged[int(r.window)][int(r.direction)] += r.bytes;
    }
    QCOMPARE(seen.join('|'), rows);
    // Every byte in a row of its own window and direction, in order; none left out.
    for (int w = 0; w < 4; ++w)
        QCOMPARE(logged[w / 2][w % 2].toHex(), line[w / 2][w % 2].toHex());
}

// 100,000 + n frames keep the last 100,000, and the window says how many dropped; a flood is
// one row that keeps its first bytes and counts the rest.
void tst_buslog::bound()
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

// Both windows against a virtual module, the log window open: its rows, as an operator reads
// them, hold the bytes at the pty master both ways, each frame named as its window built it.
void tst_buslog::session()
{
    std::array<int, 64> rows;
    std::iota(rows.begin(), rows.end(), 0);
    Bench::writeSettings(Bench::iniFile({}, rows, 1, "9600"));
    Bench::Windows b({105});
    // The record's clock stands still: a reply cut between reads is one frame however slowly
    // the reads come.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    b.vars.busLog.setClock([now] { return now; });
    QByteArray answers;
    connect(&b.pty, &SimPort::answered, this, [&answers](const QByteArray &a) { answers += a; });
    b.connect();
    b.select(105);
    QTest::keyClicks(b.get("txtASCIIInput"), "Hi");
    b.act("cboRow=2,cboColumn=5,cmdCurPos,mnuBusLog");
    b.pty.write(QByteArray::fromHex("41ee")); // a foreign peer's bytes, a reply cut among them
    QTRY_VERIFY(b.vars.busLog.waiting());
    b.pty.write(QByteArray::fromHex("6942"));
    QTRY_COMPARE(b.vars.busLog.end(), 7u);
    QVERIFY(b.configure()); // its frames, which it does not trace
    b.cfgAct("cmdSetUID,cmdSave,cmdSendBitmap");
    b.cfg()->close();
    b.connect();
    b.select(105);
    BusLogWindow *w = nullptr;
    for (QWidget *window : QApplication::topLevelWidgets())
        w = w ? w : qobject_cast<BusLogWindow *>(window);
    QVERIFY(w && w->isVisible() && w->windowTitle() == "Bus Log"_L1);
    auto *view = Bench::child<QTableView>(w, "tblLog");
    const auto shown = [view](int column) {
        QStringList cells;
        for (int r = 0; r < view->model()->rowCount(); ++r)
            cells << view->model()->index(r, column).data().toString();
        return cells;
    };
    QTRY_COMPARE(shown(BusLog::Meaning).size(), 13);
    QCOMPARE(shown(BusLog::WindowName).join(' ').count("configuration"), 4);
    QCOMPARE(
        shown(BusLog::Meaning).join('|').left(193),
        u"SelectDevice 105|SelectReply 105|Text \"Hi\"|CursorPosition row 2, column 5|unknown "
        "41|SelectReply 105|unknown 42|SelectDevice 100|SetUid 101|SaveToEeprom|UploadChars 1: "
        "00 01 02 03 04 05 06 07 |"_s);
    QByteArray out, in;
    for (int r = 0; r < 13; ++r) {
        (shown(BusLog::DirectionName)[r] == "out"_L1 ? out : in)
            += QByteArray::fromHex(shown(BusLog::Bytes)[r].toLatin1());
        QVERIFY(
            QRegularExpression(u"^\\d\\d:\\d\\d:\\d\\d\\.\\d{3}$"_s).match(shown(0)[r]).hasMatch());
        QCOMPARE(shown(BusLog::SincePrevious)[r].isEmpty(), r == 0);
    }
    QCOMPARE(shown(BusLog::Port).join(' '), QStringList(13, "COM1").join(' '));
    QCOMPARE(out.toHex(' '), b.pty.received().toHex(' '));
    QCOMPARE(in.toHex(' '), (answers.left(2) + "\x41\xee\x69\x42" + answers.mid(2)).toHex(' '));

    // Filters: a direction, a text in any column (case ignored), both.
    Bench::child<QCheckBox>(w, "chkOut")->setChecked(false);
    QCOMPARE(shown(BusLog::Meaning).join('|'),
             u"SelectReply 105|unknown 41|SelectReply 105|unknown 42|SelectReply 105"_s);
    Bench::act(w, "txtFilter=unknown");
    QTRY_COMPARE(shown(BusLog::Meaning).join('|'), u"unknown 41|unknown 42"_s);
    Bench::child<QCheckBox>(w, "chkOut")->setChecked(true);
    Bench::act(w, "txtFilter=selectdevice");
    QTRY_COMPARE(shown(BusLog::Meaning).join('|'),
                 u"SelectDevice 105|SelectDevice 100|SelectDevice 105"_s);
    Bench::act(w, "txtFilter=configuration");
    QTRY_COMPARE(shown(BusLog::Meaning).size(), 4);

    // Copy the rows selected (Ctrl+C in the list); save the rows shown, as CSV and as text.
    view->selectRow(1);
    QTest::keyClick(view, Qt::Key_Down, Qt::ShiftModifier);
    QTest::keySequence(view, QKeySequence::Copy);
    const QStringList copied = QGuiApplication::clipboard()->text().split('\n');
    QCOMPARE(copied.size(), 3);
    QCOMPARE(
        copied[0].section('\t', 2) + copied[1].section('\t', 2),
        u"COM1\tconfiguration\tout\tFE 30 65\tSetUid 101COM1\tconfiguration\tout\tFE 20\tSaveToEeprom"_s);
    QTemporaryDir dir;
    QString error;
    QVERIFY(w->saveTo(dir.filePath("log.csv"), BusLog::Format::Csv, &error));
    Bench::act(w, "txtFilter=");
    QTRY_COMPARE(shown(BusLog::Meaning).size(), 13);
    QVERIFY(w->saveTo(dir.filePath("log.txt"), BusLog::Format::Text));
    const auto lines = [&dir](const char *name) {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>();
    };
    QCOMPARE(lines("log.txt").size(), 14); // and the empty rest after the last line break
    QCOMPARE(lines("log.txt")[2].split('\t').mid(2).join('\t'),
             "COM1\tmain\tout\t48 69\tText \"Hi\"");
    QCOMPARE(lines("log.csv").size(), 6);
    QCOMPARE(lines("log.csv")[0], "Time,+ms,Port,Window,Dir,Bytes,Meaning\r");
    QVERIFY(lines("log.csv")[2].endsWith(",COM1,configuration,out,FE 30 65,SetUid 101\r"));
    QVERIFY(!w->saveTo(dir.filePath("none/log.txt"), BusLog::Format::Text, &error)
            && !error.isEmpty());

    // Cleared, the log goes on with what comes next.
    Bench::act(w, "cmdClear");
    QCOMPARE(shown(BusLog::Meaning).size(), 0);
    QTest::keyClicks(b.get("txtASCIIInput"), "!");
    QTRY_COMPARE(shown(BusLog::Meaning).join('|') + shown(BusLog::SincePrevious).join('|'),
                 u"TextChar \"!\""_s);
    QCOMPARE(Bench::child<QLabel>(w, "lblCount")->text(),
             u"1 of 1 rows shown \u00b7 0 dropped (the log keeps the latest 100000)"_s);
    Bench::removeSettings();
}

QTEST_MAIN(tst_buslog)
#include "tst_buslog.moc"
