// A random session on both windows against two virtual modules on a pty, with a fixed seed. Each
// action is a row of steps that knows what it must put on the line: after it the bytes at the pty
// master are exactly those, the module that the bus has selected shows what the action set, the
// windows show what they sent, received and drew, and a saved character is in the settings
// file. Afterwards the log window, open all along, holds every byte both ways, in order.
#include "bench.h"

#include "buslog/buslogmodel.h"
#include "buslog/buslogwindow.h"

#include <QCheckBox>
#include <QClipboard>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;

namespace {

// Rows "where|steps|line|kept". Where: m the main window's command panel, s its select panel, c
// the configuration window, o connecting, x disconnecting or handing the port to the
// configuration window, z closing that; upper case for a row taken one time in four, as is an m
// row while the main window has no port. Steps as Bench::act takes them ("key=text" types a key
// into "Send Text"), in which {a-b} picks a number that $1, $2 stand for: as hex bytes in the
// line, as numbers in kept. Line: the bytes in hex ("*": what the window's controls hold). Kept:
// a pattern of the selected module's description (for o: the caption of Connect after).
// clang-format off
const QStringList Table = QString::fromUtf8(
    "m|cmdCtrl_0|0b|@0,0 ;m|cmdCtrl_1|0c|;m|cmdCtrl_2|0d|;m|cmdLoadCC|fe08|;m|cmdCC_{0-7}|$1|;"
    "m|cboCursor=Underscore,cmdSetCursor|fe01|=underscore;m|cboCursor=hidden,cmdSetCursor||;"
    "m|cboCursor=Blinking,cmdSetCursor|fe02|=blinking;m|cboCursor=Hidden,cmdSetCursor|fe03|=hidden;"
    "m|cboRow={0-3},cboColumn={0-19},cmdCurPos|fe32$1$2|@$1,$2 ;m|cboRow=4,cmdCurPos||;"
    "m|cboRow={0-3},cmdClrRow|fe32$1002020202020202020202020202020202020202020fe32$100|@$1,0 ;"
    "m|cboRow={0-3},cboColumn={0-19},cmdClrCol|"
        "fe3200$220fe3201$220fe3202$220fe3203$220fe32$1$2|@$1,$2 ;m|cboColumn=-1,cmdClrCol||;"
    "m|cmdBackLight_0|fe06|light=on;m|cmdBackLight_1|fe07|light=off;m|cmdBLFlash|fe0b|light=flash;"
    "m|cboPT=1,cboRow1={0-3},cmdPT|fe3465$1|;m|cboPT=8,cboRow1={0-3},cmdPT|fe346c$1|;"
    "m|cboPT=9,cmdPT||;m|cmdOut_0|fe0c|outputs=FF;m|cmdOut_1|fe0d|outputs=00;m|cboSta=On,cmdout1||;"
    "m|cboOutput={0-7},cboSta=ON,cmdout1|fe33$148|;m|cboOutput={0-7},cboSta=OFF,cmdout1|fe33$149|;"
    "m|key=A|41|;m|key=\u00e9|e9|;m|key=\u20ac|80|;m|key=\u00ef|ef|;m|key=\u00fe|fe|;"
    "m|key=\u00ea|ea|;m|key=\u4e2d|3f|;m|key=\U0001F600|3f|;m|key=\r||;m|key=\x7f||;"
    "s|cboAddr=100,cmdSelect|ef64|;s|cboAddr=105,cmdSelect|ef69|;s|cmdDeselect|ea|;"
    "s|cboAddr={100-132},cmdSelect|ef$1|;s|cboAddr=abc,cmdSelect|ef63|;c|cmdSave|fe20|;"
    "c|optBaud48,cmdSetBaud|fe67|baud=4800;c|optBaud96,cmdSetBaud|feff|baud=9600;"
    "C|cboUID={106-132},cmdSetUID|fe30$1|^module $1: ;c|cboUID=100,cmdSetUID||;"
    "c|TxtPL_{0-7}=Caf\u00e9||;c|TxtPL_{0-7}=Twenty_characters...||;c|TxtPL_{0-7}=||;c|Check1||;"
    "C|cmdSetPT|*|;c|cboUCH={1-8},cmdLoadBitmap||;c|cboUCH=0,cmdLoadBitmap||;c|cmdSet||;c|cmdClr||;"
    "c|bitmapr{1-8}_1||;c|bitmapr{1-8}_2||;c|bitmapr{1-8}_4||;c|bitmapr{1-8}_8||;"
    "c|bitmapr{1-8}_16||;c|cboUCH={1-8},cmdSaveBitmap||;c|cboUCH=9,cmdSaveBitmap||;"
    "c|cmdSendBitmap|*|;o|cboComm=COM1,cboBaud=9600,cmdConnect||Disconnect;"
    "o|cboComm=COM1,cboBaud=4800,cmdConnect||Disconnect;O|cboComm=COM21,cmdConnect||Connect;"
    "O|cboBaud=96OO,cmdConnect||Connect;x|cmdConnect||;x|mnuCfg|ef64|;z|close||").split(';');
const QStringList Texts = QString::fromUtf8("Tessaline LCD 20x4||Caf\u00e9 5|Exactly sixteen!|"
    "Twenty characters...|Longer than twenty characters|in the middle|8").split('|'); // the file's
// clang-format on

// What the operator set in the configuration window and what the bus has, as the steps go: the
// frames that a control sends follow from it, in the protocol's layout.
struct Model
{
    std::array<int, 64> table {}; // the settings file's characters, and the character table
    std::array<int, 8> editor {};
    int position = 0; // in the editor's character list; -1 for a text that names none
    QList<QByteArray> texts; // in the boxes, as bytes
    bool startup = false;
    QList<int> addresses {100, 105}; // where the modules answer
    int selected = 0; // the module that the bus has selected, 0 for none

    // Takes the steps in; gives the bytes (hex) that the last one sends, where they follow from
    // what the window's controls hold.
    QByteArray take(const QString &steps)
    {
        QByteArray hex;
        for (const QString &step : steps.split(',')) {
            const QString name = step.section('=', 0, 0), text = step.section('=', 1);
            const int n = text.toInt(), k = name.section('_', 1).toInt();
            if (name == "cboUCH"_L1) {
                position = n >= 1 && n <= 8 ? n - 1 : -1;
            } else if (name == "cmdLoadBitmap"_L1) {
                for (int r = 0; r < 8; ++r)
                    editor[r] = position < 0 ? 0 : table[size_t(position * 8 + r)] & 31;
            } else if (name.startsWith("bitmapr"_L1)) {
                editor[size_t(name.mid(7, 1).toInt() - 1)] ^= k;
            } else if (name == "cmdSet"_L1 || name == "cmdClr"_L1) {
                editor.fill(name == "cmdSet"_L1 ? 31 : 0);
            } else if (name == "cmdSaveBitmap"_L1 && position >= 0) {
                std::copy(editor.begin(), editor.end(), table.begin() + position * 8);
            } else if (name.startsWith("TxtPL_"_L1)) {
                texts[k] = text.toLatin1().replace('_', ' ');
            } else if (name == "Check1"_L1) {
                startup = !startup;
            } else if (name == "mnuCfg"_L1) { // the window opens as designed, with the file's texts
                editor.fill(0);
                position = 0;
                texts.clear();
                for (const QString &t : Texts)
                    texts << t.toLatin1().left(20);
                startup = false;
            } else if (name == "cmdSetPT"_L1) { // each text padded to 16 bytes, as the box shows
                for (int t = 0; t < 8; ++t)
                    hex += "fe" + QByteArray::number(101 + t, 16)
                        + (texts[t] = texts[t].leftJustified(16, ' ')).toHex();
                hex += startup ? "fe0f" : "fe10";
            } else if (name == "cmdSendBitmap"_L1) {
                hex = "fe64";
                for (int row : table)
                    hex += QByteArray::number(row + 256, 16).mid(1);
            }
        }
        return hex;
    }
};

} // namespace

class tst_session : public QObject
{
    Q_OBJECT
private slots:
    void randomSession();
};

void tst_session::randomSession()
{
    QRandomGenerator rng(20261206);
    const auto pick = [&rng](int n) { return int(rng.bounded(n)); };
    Model model;
    for (int &v : model.table)
        v = pick(256); // rows across the whole range a file may hold
    Bench::writeSettings(Bench::iniFile(Texts, model.table, 1, "9600"));
    Bench::Windows b({100, 105});
    QByteArray answers, line, cfgLine; // the bytes on the line, those of the configuration window
    connect(&b.pty, &SimPort::answered, this, [&answers](const QByteArray &a) { answers += a; });
    Bench::MessageBoxCatcher boxes;
    b.act("mnuBusLog");
    std::vector<int> taken(size_t(Table.size()));
    for (int done = 0; done < 1200 && !QTest::currentTestFailed();) {
        const int row = pick(int(Table.size()));
        const QStringList f = Table[row].split('|');
        const QChar where = f[0][0].toLower();
        const bool open = b.get<QAbstractButton>("cmdConnect")->text() == "Disconnect"_L1;
        const bool cfg = b.cfg() && b.cfg()->isVisible();
        if (((f[0][0].isUpper() || (where == 'm' && !open)) && pick(4))
            || ((where == 's' || where == 'x') && !open) || ((where == 'c' || where == 'z') && !cfg)
            || (where == 'o' && (open || cfg))
            || (f[1].startsWith("key="_L1) && !b.get("txtASCIIInput")->isEnabled()))
            continue;
        ++done;
        ++taken[size_t(row)];

        // The steps with their picks, the bytes they mean, and the steps done.
        QString steps = f[1], kept = f[3];
        QByteArray hex = f[2].toLatin1();
        static const QRegularExpression range(u"\\{(\\d+)-(\\d+)\\}"_s);
        for (int i = 1; steps.contains(range); ++i) {
            const QRegularExpressionMatch m = range.match(steps);
            const int v
                = m.captured(1).toInt() + pick(m.captured(2).toInt() - m.captured(1).toInt() + 1);
            steps.replace(m.capturedStart(), m.capturedLength(), QString::number(v));
            hex.replace('$' + QByteArray::number(i), QByteArray::number(v + 256, 16).mid(1));
            kept.replace('$' + QString::number(i), QString::number(v));
        }
        const QByteArray meant = model.take(steps);
        hex = hex == "*" ? meant : hex;
        if (where == 'm' && !(open && b.enabled("Frame3")))
            hex.clear(); // nothing goes out of a closed port or a disabled panel
        const qsizetype shown = boxes.texts.size();
        for (const QString &step : steps.split(',')) {
            if (step.startsWith("key="_L1))
                QTest::sendKeyEvent(QTest::Click, b.get("txtASCIIInput"),
                                    step == "key=\r"_L1 ? Qt::Key_Return : Qt::Key_A, step.mid(4),
                                    Qt::NoModifier);
            else if (step == "close"_L1)
                b.cfg()->close();
            else
                Bench::act(where == 'c' ? static_cast<QWidget *>(b.cfg()) : b.main.get(), step);
        }

        // The bytes at the master, the line having gone quiet where a frame needs it.
        const QByteArray want = QByteArray::fromHex(hex);
        line += want;
        cfgLine += where == 'c' || steps == "mnuCfg"_L1 ? want : QByteArray();
        QDeadlineTimer deadline(3000);
        while (b.pty.received().size() < line.size() && !deadline.hasExpired())
            QTest::qWait(1);
        if (b.bus.inFrame()) // a stored text, 254 103 or a typed 239
            QVERIFY(QSignalSpy(&b.pty, &SimPort::paused).wait(2000));
        const QByteArray got = b.pty.received().mid(line.size() - want.size());
        if (got != want)
            QFAIL(qPrintable(u"action %1, %2: %3 on the line, not %4"_s.arg(done).arg(
                steps, got.toHex(' '), want.toHex(' '))));
        QCOMPARE(boxes.texts.size(), shown + (where == 'o' && kept == "Connect"_L1));

        // What the bus has selected now, what the module shows, what the windows show.
        if (steps.endsWith("cmdSelect"_L1)) {
            model.selected = model.addresses.contains(quint8(want[1])) ? quint8(want[1]) : 0;
            QCOMPARE(b.text("StatusPanel1"),
                     model.selected
                         ? "Device " + steps.section('=', 1, 1).section(',', 0, 0) + " Connected"
                         : u"Device Not Found"_s);
            QCOMPARE(b.text("lblRxData"),
                     model.selected ? "EE " + want.toHex().toUpper().right(2) + ' ' : QString());
        } else if (want == "\xea") {
            model.selected = 0;
        } else if (steps == "mnuCfg"_L1) {
            QVERIFY(b.cfg()->isVisible() && b.cfg()->MSComm1().isOpen()
                    && !b.main->MSComm1().isOpen());
            model.selected = model.addresses.contains(100) ? 100 : 0;
        } else if (steps.endsWith("cmdSetUID"_L1) && model.selected && !want.isEmpty()) {
            model.addresses.replace(model.addresses.indexOf(model.selected), quint8(want[2]));
            model.selected = quint8(want[2]);
        }
        if (hex.startsWith("fe64"))
            kept = "chars=" + hex.mid(4).toUpper();
        else if (steps == "cmdSetPT"_L1)
            kept = model.startup ? u"startup=on"_s : u"startup=off"_s;
        QCOMPARE(b.bus.describe().contains("selected=yes"_L1), model.selected != 0);
        if (where == 'o') {
            QCOMPARE(b.get<QAbstractButton>("cmdConnect")->text(), kept);
        } else if (!want.isEmpty() && !kept.isEmpty() && model.selected) {
            const QString module = b.bus.moduleByAddress(quint8(model.selected))->describe();
            QVERIFY2(QRegularExpression(kept).match(module).hasMatch(),
                     qPrintable(kept + " in " + module));
        }
        if ((where == 'm' || where == 's') && !want.isEmpty())
            QCOMPARE(b.text("lblTxData"), QString::fromLatin1(want.toHex(' ').toUpper() + ' '));
        for (int r = 0; b.cfg() && b.cfg()->isVisible() && r < 8; ++r)
            QCOMPARE(b.cfgGet<QLabel>(u"lblrow%1"_s.arg(r + 1))->text(),
                     "0x" + QString::number(model.editor[size_t(r)] + 256, 16).mid(1).toUpper());
        if (steps.endsWith("cmdSaveBitmap"_L1))
            QCOMPARE(Bench::readSettings(), Bench::iniFile(Texts, model.table, 1, "9600"));
    }
    for (size_t row = 0; row < taken.size(); ++row)
        QVERIFY2(taken[row] > 0, qPrintable(Table[int(row)]));

    // The log window, open from the start, as an operator reads it: every byte both ways in
    // order, each window's own, each frame sent named as its bytes read; its filters, copy, save
    // and clear.
    BusLogWindow *w = nullptr;
    for (QWidget *window : QApplication::topLevelWidgets())
        w = w ? w : qobject_cast<BusLogWindow *>(window);
    auto *view = Bench::child<QTableView>(w, "tblLog");
    const auto cell = [view](int r, int c) { return view->model()->index(r, c).data().toString(); };
    const auto shown = [&](int column, int row = -1) { // a column, or a row
        QStringList cells;
        for (int i = 0; i < (row < 0 ? view->model()->rowCount() : int(BusLog::Columns)); ++i)
            cells << (row < 0 ? cell(i, column) : cell(row, i));
        return cells;
    };
    QTRY_COMPARE(quint64(view->model()->rowCount()), b.vars.busLog.end() - b.vars.busLog.first());
    const QStringList directions = shown(BusLog::DirectionName),
                      windows = shown(BusLog::WindowName);
    QByteArray logged[3]; // out, in, out of the configuration window
    for (int r = 0; r < directions.size(); ++r) {
        const QByteArray bytes = QByteArray::fromHex(cell(r, BusLog::Bytes).toLatin1());
        logged[directions[r] == "in"_L1] += bytes;
        logged[2] += windows[r] == "configuration"_L1 && directions[r] == "out"_L1 ? bytes : "";
        Protocol::Decoder decoder;
        std::optional<Protocol::Frame> read;
        for (char c : bytes)
            read = read ? read : decoder.push(quint8(c));
        read = read ? read : decoder.pause();
        const QString meaning = cell(r, BusLog::Meaning);
        if (directions[r] == "out"_L1 && !meaning.startsWith("Text"_L1))
            QCOMPARE(meaning, Protocol::describe(read.value_or(Protocol::Frame {})));
    }
    QCOMPARE(logged[0].toHex(' '), line.toHex(' '));
    QCOMPARE(logged[1].toHex(' '), answers.toHex(' '));
    QCOMPARE(logged[2].toHex(' '), cfgLine.toHex(' '));
    Bench::child<QCheckBox>(w, "chkOut")->setChecked(false);
    QCOMPARE(shown(BusLog::DirectionName), QStringList(directions.count("in"_L1), u"in"_s));
    Bench::child<QCheckBox>(w, "chkOut")->setChecked(true);
    Bench::act(w, "txtFilter=CONFIGURATION");
    QTRY_COMPARE(shown(BusLog::WindowName),
                 QStringList(windows.count("configuration"_L1), u"configuration"_s));
    view->selectRow(1);
    QTest::keyClick(view, Qt::Key_Down, Qt::ShiftModifier);
    QTest::keySequence(view, QKeySequence::Copy);
    QCOMPARE(QGuiApplication::clipboard()->text(),
             shown(0, 1).join('\t') + '\n' + shown(0, 2).join('\t') + '\n');
    QTemporaryDir dir;
    QString error;
    QVERIFY(w->saveTo(dir.filePath("log.csv"), BusLog::Format::Csv, &error));
    QVERIFY(!w->saveTo(dir.filePath("none/log.txt"), BusLog::Format::Text, &error)
            && !error.isEmpty());
    QFile csv(dir.filePath("log.csv"));
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QList<QByteArray> records = csv.readAll().split('\n');
    QCOMPARE(records.size(), view->model()->rowCount() + 2); // and the empty rest after the last
    QCOMPARE(records[0], "Time,+ms,Port,Window,Dir,Bytes,Meaning\r");
    QVERIFY(records[2].startsWith((shown(0, 1).mid(0, BusLog::Meaning).join(',') + ',').toUtf8()));
    Bench::act(w, "cmdClear");
    QCOMPARE(view->model()->rowCount(), 0);
    QCOMPARE(Bench::child<QLabel>(w, "lblCount")->text(),
             u"0 of 0 rows shown \u00b7 0 dropped (the log keeps the latest 100000)"_s);
    Bench::removeSettings();
}

QTEST_MAIN(tst_session)
#include "tst_session.moc"
