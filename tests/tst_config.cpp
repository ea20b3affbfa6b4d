// The configuration window with its character editor, on real widgets, a pty and a virtual
// module: the port handed over and back, the load from the settings file, every button's bytes at
// the pty master and what the module keeps, the editor, the character table and its keys in the
// settings file, a window without a port, and closes during "Send".
#include "bench.h"
#include "chars/cellwidgets.h"

#include <QRegularExpression>

#include <csignal>
#include <sys/resource.h>

using namespace Bench;
using namespace Qt::StringLiterals;

namespace {

const QByteArray Select100("\xef\x64");
const QString Cleared = u"00 00 00 00 00 00 00 00"_s;
const QString NoPort = u"no port. Connect in the main window, then choose Configure LCD again"_s;

int defaultRow(int i) // row r of character k, at (k - 1) * 8 + r - 1, holds k * 10 + r
{
    return (i / 8 + 1) * 10 + i % 8 + 1;
}

// A settings file for COM1 at this rate: address 100, the texts as PT1..., then the 64
// "UCHARkRr" values (the default row where none is given) after an operator's comment.
QByteArray settings(const QByteArray &rate, const QStringList &texts,
                    const QMap<int, QByteArray> &rows = {})
{
    QByteArray file
        = "[Settings]\r\nCommPort=1\r\nSetting=" + rate + ",n,8,1\r\n[LCD]\r\nUID=100\r\n";
    for (int n = 1; n <= texts.size(); ++n)
        file += "PT" + QByteArray::number(n) + '=' + texts[n - 1].toLatin1() + "\r\n";
    file += "[UDC]\r\n; mine\r\n";
    for (int i = 0; i < 64; ++i)
        file += u"UCHAR%1R%2="_s.arg(i / 8 + 1).arg(i % 8 + 1).toLatin1()
            + rows.value(i, QByteArray::number(defaultRow(i))) + "\r\n";
    return file;
}

// "Set Bitmap to LCD" of this table on the line.
QByteArray upload(const QByteArray &table)
{
    return "\xfe\x64" + table;
}

// The status line: what the last command did, and the port with the module.
QString status(Windows &w)
{
    return w.cfgGet<QLabel>("StatusPanel1")->text() + " | "
        + w.cfgGet<QLabel>("StatusPanel2")->text();
}

// The editor's rows as the operator reads them: each caption without its "0x", or "?" and the
// caption when its cells (black when set, light green when clear; 16 leftmost) disagree.
QString editor(Windows &w)
{
    QStringList rows;
    for (int r = 1; r <= 8; ++r) {
        const QString caption = w.cfgGet<QLabel>(u"lblrow%1"_s.arg(r))->text();
        bool agree = caption.size() == 4 && caption.startsWith("0x");
        for (int weight : {16, 8, 4, 2, 1}) {
            const QRgb c = w.cfgGet<PixelCell>(u"bitmapr%1_%2"_s.arg(r).arg(weight))->color().rgb();
            const bool set = caption.mid(2).toInt(nullptr, 16) & weight;
            agree = agree && c == (set ? qRgb(0, 0, 0) : qRgb(0x80, 0xFF, 0x80));
        }
        rows << (agree ? caption.mid(2) : '?' + caption);
    }
    return rows.join(' ');
}

QLineEdit *box(Windows &w, int i)
{
    return w.cfgGet<QLineEdit>(u"TxtPL_%1"_s.arg(i));
}

} // namespace

class tst_config : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { removeSettings(); }
    void openings();
    void commands();
    void withoutPort();
    void closeDuringSend();
};

// Each opening after the main window let go of the port: the same port at the same speed, 239,
// 100 alone, the controls as designed and loaded afresh from the settings file (the character
// table seen in its upload), the frames where they are described; closing sends nothing.
void tst_config::openings()
{
    // Row values as an operator may write them (the second opening), "text:value": a number
    // from 0 to 255 with blanks, a "+" or leading zeros; anything else loads as 0, named once.
    const QStringList forms = u"255:255,+5:5,007:7, 7 :7,0255:255,00000000017:17,256,-1,-0,abc,,"
                              "12x,99999999999999999999,+,++1,0x1F,1 2,3.5"_s.split(',');
    QStringList texts = u"UCHAR2R1=5||Line three|Caf\u00e9|Exactly sixteen!|seventeen chars..|"
                        "Twenty characters...|8"_s.split('|');
    writeSettings(settings("4800", texts));
    QTest::failOnWarning(QRegularExpression("UCHAR"));
    Windows w;
    QByteArray table;
    for (int i = 0; i < 64; ++i)
        table += char(defaultRow(i));
    for (const QString rate : {"4800", "9600"}) {
        w.pty.clearReceived();
        QVERIFY(w.configure(rate));
        QVERIFY(!w.main->MSComm1().isOpen());
        QCOMPARE(w.get<QAbstractButton>("cmdConnect")->text(), u"Connect"_s);
        QCOMPARE(w.pty.lineBaud(), rate.toInt());
        QTRY_COMPARE(w.pty.received(), Select100);
        QCOMPARE(status(w),
                 "Sent: SelectDevice 100 | COM1 " + rate + u",n,8,1 \u00b7 module 100"_s);
        {
            MessageBoxCatcher boxes;
            w.act("cmdConnect");
            QCOMPARE(boxes.texts, QStringList {"SELECTED PORT NOT AVAILABLE!"});
        }
        // The status line below the controls, which keep their places; every control explained.
        QCOMPARE(w.cfgGet("StatusBar1")->y(), 538);
        QCOMPARE(w.cfg()->height(), 538 + w.cfgGet("StatusBar1")->height());
        QCOMPARE(w.cfgGet("Frame3")->geometry(), QRect(40, 304, 409, 209));
        for (int column = 0; column < 5; ++column)
            QCOMPARE(w.cfgGet("Frame2")->childAt(28 + 8 * column, 44),
                     w.cfgGet(u"bitmapr3_%1"_s.arg(16 >> column)));
        QCOMPARE(withoutToolTip(w.cfg()), QStringList());

        // Lists filled once, as "count:first..last=current"; the texts cut to the boxes' 20.
        QStringList lists;
        for (const QComboBox *list : w.cfg()->findChildren<QComboBox *>())
            lists << u"%1:%2..%3=%4"_s.arg(list->count())
                         .arg(list->itemText(0), list->itemText(list->count() - 1),
                              list->currentText());
        lists.sort();
        QCOMPARE(lists.join(' '),
                 u"2:OUTPUT..INPUT=OUTPUT "_s.repeated(8) + "32:101..132=101 8:1..8=1");
        for (int i = 0; i < 8; ++i) {
            QCOMPARE(box(w, i)->text(), texts[i].left(20));
            QCOMPARE(box(w, i)->maxLength(), 20);
        }
        QCOMPARE(editor(w), Cleared);
        QVERIFY(!w.cfgGet<QAbstractButton>("optBaud48")->isChecked()
                && !w.cfgGet<QAbstractButton>("optBaud96")->isChecked()
                && !w.cfgGet<QAbstractButton>("Check1")->isChecked());
        w.cfgAct("cmdSendBitmap");
        QTRY_COMPARE(w.pty.received(), Select100 + upload(table));

        // The operator changes everything; closing sends and writes nothing, the next opening
        // shows none of it, and the next bytes on the line are the main window's.
        w.cfgAct("cboUID=abc,cboIO_3=INPUT,cboIO_5=typed,cboUCH=5,TxtPL_2=edited,optBaud96,"
                 "Check1,bitmapr1_16");
        const QByteArray file = readSettings();
        w.cfg()->close();
        QVERIFY(!w.cfg()->MSComm1().isOpen());
        QCOMPARE(readSettings(), file);
        w.connect(rate);
        w.select(100);
        QTRY_COMPARE(w.pty.received(), Select100 + upload(table) + Select100);
        w.act("cmdConnect");
        if (rate == "9600")
            break;

        texts[0] = "Changed";
        texts[1] = "abcdefghijklmnopqrstuvwxyz";
        QMap<int, QByteArray> rows;
        for (int i = 0; i < forms.size(); ++i) {
            rows[i] = forms[i].section(':', 0, 0).toLatin1();
            table[i] = char(forms[i].section(':', 1).toInt());
            if (!forms[i].contains(':'))
                QTest::ignoreMessage(
                    QtWarningMsg,
                    QRegularExpression(u"\\] UCHAR%1R%2 "_s.arg(i / 8 + 1).arg(i % 8 + 1)));
        }
        writeSettings(settings("9600", texts, rows));
    }
}

// Every button in turn, with module 100 behind the line: the bytes at the pty master, the status
// line and the editor after each step, and what the module keeps.
void tst_config::commands()
{
    const QStringList texts = u"UCHAR2R1=5||Line three|8"_s.split('|');
    writeSettings(settings("4800", texts, {{10, "255"}, {11, "229"}}));
    const QByteArray original = readSettings();
    Windows w({100});
    const LcdModule &module = w.bus.module(0);
    // The main window's own traces, which the configuration window leaves alone.
    w.connect("4800");
    w.select(100);
    QCOMPARE(w.text("lblRxData"), u"EE 64 "_s);
    QVERIFY(w.configure());
    QTRY_COMPARE(w.pty.received(), Select100 + Select100);
    w.pty.clearReceived();
    w.vars.TxBuffer.fill(0x55); // a refused step sends not even what an earlier frame left

    QByteArray loaded, saved;
    for (int i = 0; i < 64; ++i)
        loaded += char(i == 10 ? 255 : i == 11 ? 229 : defaultRow(i));
    saved = QByteArray(loaded).replace(8, 8, "\x1f\x0f\x1f\x1f\x1f\x1f\x1f\x1f");
    const auto io = [](const char *lines) { // 'O' or 'I' for the lines 1 to 8
        QString steps;
        for (int i = 0; i < 8; ++i)
            steps += u"cboIO_%1=%2,"_s.arg(i).arg(lines[i] == 'O' ? "OUTPUT" : "INPUT");
        return steps + "cmdSetIO";
    };
    const QString uid = u"Sent: SetUid %1 \u00b7 the module now answers at %1"_s;
    // Steps, the bytes they send, the status line then and the editor's rows (unchecked when
    // empty). A direction typed over counts as INPUT; 255 in the table shows five pixels, 229
    // (bits 7 to 5 set) the last three, and both go up as stored until a save.
    const std::tuple<QString, QByteArray, QString, QString> steps[] = {
        {"cmdSetBaud", {}, "Nothing sent: choose 4800 or 9600 first", {}},
        {"cboUID=abc,cmdSetUID", {}, R"(Nothing sent: "abc" is not in the list)", {}},
        {"cboUID=100,cmdSetUID", {}, R"(Nothing sent: "100" is not in the list)", {}},
        {"cboUID=,cmdSetUID", {}, R"(Nothing sent: "" is not in the list)", {}},
        {"cboIO_2=OUTPUT_,cboIO_7=output,cmdSetIO",
         "\xfe\x31\x7b",
         "Sent: SetIoDirection outputs 1 2 4 5 6 7",
         {}},
        {"optBaud96,cmdSetBaud", "\xfe\xff", "Sent: SetBaud9600", {}},
        {"cboUID=132,cmdSetUID", "\xfe\x30\x84", uid.arg(132), {}},
        {"cboUID=101,cmdSetUID", "\xfe\x30\x65", uid.arg(101), {}},
        {io("IIIIIIII"), {"\xfe\x31\x00", 3}, "Sent: SetIoDirection outputs none", {}},
        {io("OOOOOOOO"), "\xfe\x31\xff", "Sent: SetIoDirection outputs 1 2 3 4 5 6 7 8", {}},
        {io("OIIIIIIO"), "\xfe\x31\x81", "Sent: SetIoDirection outputs 1 8", {}},
        {"bitmapr1_16", {}, {}, "10 00 00 00 00 00 00 00"},
        {"bitmapr1_16,bitmapr1_1,bitmapr3_8,bitmapr3_2", {}, {}, "01 00 0A 00 00 00 00 00"},
        {"cmdSet,bitmapr8_1", {}, {}, "1F 1F 1F 1F 1F 1F 1F 1E"},
        {"cmdClr", {}, {}, Cleared},
        {"cboUCH=2,cmdLoadBitmap",
         {},
         "Loaded character 2 into the editor",
         "15 16 1F 05 19 1A 1B 1C"},
        {"cmdSendBitmap", upload(loaded), "Uploaded 8 characters", {}},
        {"cmdSet,bitmapr2_16,cmdSendBitmap", upload(loaded), {}, "1F 0F 1F 1F 1F 1F 1F 1F"},
        {"cboUCH=1,cboUCH=3,cboUCH=2,cmdSaveBitmap",
         {},
         "Saved character 2; Set Bitmap to LCD uploads it",
         "1F 0F 1F 1F 1F 1F 1F 1F"},
        {"cmdClr,cmdSendBitmap", upload(saved), "Uploaded 8 characters", Cleared},
        {"cmdLoadBitmap", {}, {}, "1F 0F 1F 1F 1F 1F 1F 1F"},
        {"cmdSet,cboUCH=9,cmdSaveBitmap", {}, R"(Nothing saved: "9" is not in the list)", {}},
        {"cmdLoadBitmap", {}, R"(Editor cleared: "9" is not in the list)", Cleared},
        {"cboUCH=_1,cmdSet,cmdSaveBitmap,cmdSendBitmap", upload(saved), {}, {}},
    };
    for (const auto &[step, bytes, said, rows] : steps) {
        w.cfgAct(step);
        if (!said.isEmpty())
            QCOMPARE(w.cfgGet<QLabel>("StatusPanel1")->text(), said);
        if (!rows.isEmpty())
            QCOMPARE(editor(w), rows);
        if (!bytes.isEmpty()) { // nothing went out before these bytes
            QTRY_COMPARE(w.pty.received(), bytes);
            w.pty.clearReceived();
        }
    }
    QCOMPARE(w.cfgGet<QLabel>("StatusPanel2")->text(), u"COM1 4800,n,8,1 \u00b7 module 101"_s);
    QCOMPARE(module.userChars(), saved);
    // Saved under 2 alone: its eight keys, in row order, and no other byte of the file.
    QByteArray file = original;
    for (int r = 1; r <= 8; ++r) {
        const QByteArray key = "\nUCHAR2R" + QByteArray::number(r) + '=';
        const qsizetype at = file.indexOf(key) + key.size();
        file.replace(at, file.indexOf('\r', at) - at, r == 2 ? "15" : "31");
    }
    QCOMPARE(readSettings(), file);

    // A save that does not fit (a full disk, as a file-size limit) is told and writes no row.
    rlimit limit;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = limit;
    small.rlim_cur = rlim_t(file.size() / 2);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    {
        MessageBoxCatcher boxes;
        w.cfgAct("cboUCH=5,cmdSet,cmdSaveBitmap");
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::signal(SIGXFSZ, handler);
        QCOMPARE(boxes.texts, QStringList {"Character 5 was not saved to the settings file."});
    }
    QCOMPARE(readSettings(), file);
    QCOMPARE(w.cfgGet<QLabel>("StatusPanel1")->text(),
             u"Character 5 is not saved in the settings file"_s);

    // "Send", with short texts and then with texts of 20: each text padded to 16 bytes on the
    // line and in its box, the next text only after the 10 ticks in which the module stored it,
    // the start-up flag last with no wait.
    QStringList twenty;
    for (int n = 1; n <= 8; ++n)
        twenty << u"Twenty characters %1"_s.arg(n, 2, 10, QLatin1Char('0'));
    twenty[7] = u"Twenty characters \u00e98"_s;
    const QStringList shortTexts {
        "1", "", "abc", u"Caf\u00e9"_s, "fifteen chars..", " ", u"x\U0001F600"_s, "Z"};
    const QByteArrayList shortBytes {"1", "", "abc", "Caf\xe9", "fifteen chars..", " ", "x?", "Z"};
    for (bool full : {false, true}) {
        QByteArray line;
        QByteArrayList raw, stored;
        for (int i = 0; i < 8; ++i) {
            box(w, i)->setText(full ? twenty[i] : shortTexts[i]);
            raw << (full ? twenty[i].toLatin1() : shortBytes[i]);
            stored << raw[i].leftJustified(16);
            line += QByteArray("\xfe") + char(101 + i) + stored[i];
        }
        w.cfgGet<QAbstractButton>("Check1")->setChecked(full);
        QStringList waited; // at the padding of boxes 2 to 8: ticks counted, previous text kept
        QObject watch;
        for (int i = 1; i < 8; ++i) {
            connect(box(w, i), &QLineEdit::textChanged, &watch, [&, i] {
                waited << QString::number(w.vars.TickCount)
                        + (module.text(i) == stored[i - 1] ? '+' : '-');
            });
        }
        w.cfgAct("cmdSetPT");
        QVERIFY(w.pty.received().size() <= line.size()); // no wait after the last frame
        QTRY_COMPARE(w.pty.received(), line + (full ? "\xfe\x0f" : "\xfe\x10"));
        w.pty.clearReceived();
        QCOMPARE(waited.join(' '), full ? QString() : u"10+ 10+ 10+ 10+ 10+ 10+ 10+"_s);
        for (int i = 0; i < 8; ++i) {
            QCOMPARE(box(w, i)->text(),
                     (full ? twenty[i] : shortTexts[i])
                         + QString(stored[i].size() - raw[i].size(), ' '));
            QCOMPARE(module.text(i + 1), stored[i]);
        }
        QCOMPARE(module.startupScreen(), full);
        QCOMPARE(w.cfgGet<QLabel>("StatusPanel1")->text(),
                 u"Sent: 8 stored texts and start-up screen "_s + (full ? "on" : "off"));
    }

    // 254, 103 stands alone once the line pauses: the speed, not the head of text 3.
    w.cfgAct("optBaud48,cmdSetBaud");
    QTRY_COMPARE(module.baud(), 4800);
    QCOMPARE(w.pty.received(), QByteArray("\xfe\x67"));
    QCOMPARE(module.text(3), twenty[2].toLatin1());
    w.cfgAct("cmdSave");
    QTRY_COMPARE(w.pty.received(), QByteArray("\xfe\x67\xfe\x20"));
    QCOMPARE(w.cfgGet<QLabel>("StatusPanel1")->text(), u"Saved to EEPROM"_s);
    QCOMPARE(module.saveCount(), 1);
    const LcdSettings &eeprom = module.eeprom();
    QCOMPARE((QList<int> {eeprom.address, eeprom.baud, eeprom.directions, eeprom.startupScreen}),
             (QList<int> {101, 4800, 0x81, 1}));
    QVERIFY(module.eeprom() == module.settings()); // the texts and characters too
    QCOMPARE(int(w.vars.DeviceAddress), 100); // the program keeps the old address
    QCOMPARE(w.text("lblTxData") + w.text("lblRxData"), u"EF 64 EE 64 "_s);
}

// The adapter gone between the connection and the opening: a message, and the window opens
// without a port and says so; its buttons send nothing and say why, characters can still be
// drawn and saved. With the adapter back, "Configure LCD" hands the port to the open window.
void tst_config::withoutPort()
{
    writeSettings(settings("4800", {"Hello"}));
    Windows w;
    w.connect("4800");
    QVERIFY(w.main->MSComm1().isOpen());
    QVERIFY(QFile::remove(w.pty.linkPath())); // its link stays, leading nowhere
    QVERIFY(QFile::link(SettingsFolder() + "ports/gone", w.pty.linkPath()));
    {
        MessageBoxCatcher boxes;
        w.act("mnuCfg");
        QCOMPARE(boxes.texts, QStringList {"SELECTED PORT NOT AVAILABLE!"});
    }
    QVERIFY(w.cfg() && w.cfg()->isVisible() && !w.cfg()->MSComm1().isOpen());
    QCOMPARE(w.text("StatusPanel2"), u"COM1 released; Configure LCD could not open it"_s);
    QCOMPARE(status(w), "COM1 could not be opened: " + NoPort + " | no port");
    const std::pair<QString, QString> steps[] = {
        {"optBaud96,cmdSetBaud", "Nothing sent: " + NoPort},
        {"cmdSetUID,cmdSetIO,cmdSetPT,cmdSave", "Nothing sent: " + NoPort},
        {"cmdSendBitmap", "Nothing sent: " + NoPort},
        {"cboUCH=x,cmdLoadBitmap", R"(Editor cleared: "x" is not in the list)"},
        {"cboUCH=2,bitmapr3_1,cmdSaveBitmap", "Saved character 2; Set Bitmap to LCD uploads it"},
        {"cmdClr,cmdLoadBitmap", "Loaded character 2 into the editor"},
    };
    for (const auto &[step, said] : steps) {
        w.cfgAct(step);
        QCOMPARE(status(w), said + " | no port");
    }
    QCOMPARE(editor(w), u"00 00 01 00 00 00 00 00"_s);
    QVERIFY(readSettings().contains("\nUCHAR2R3=1\r\n"));

    box(w, 0)->setText("typed");
    QVERIFY(QFile::remove(w.pty.linkPath()));
    QVERIFY(QFile::link(w.pty.slavePath(), w.pty.linkPath()));
    w.act("cmdConnect");
    QVERIFY(w.configure());
    QVERIFY(!w.main->MSComm1().isOpen());
    QTRY_COMPARE(w.pty.received(), Select100);
    QCOMPARE(status(w), u"Sent: SelectDevice 100 | COM1 4800,n,8,1 \u00b7 module 100"_s);
    QCOMPARE(w.text("StatusPanel2"), u"COM1 handed to Configure LCD"_s);
    QCOMPARE(box(w, 0)->text(), u"typed"_s);
    w.cfgAct("cmdSave");
    QTRY_COMPARE(w.pty.received(), Select100 + "\xfe\x20");
}

// A close stops "Send": once the second text reached the line, or inside the wait after the
// first with the window opened again at once. Closing the main window during "Send" closes both
// windows, stops the rest, releases both ports and ends the program's event loop.
void tst_config::closeDuringSend()
{
    const QStringList texts = u"Hello|two|three|four|five|six|seven|eight"_s.split('|');
    writeSettings(settings("4800", texts));
    QByteArray all;
    for (int n = 1; n <= 8; ++n)
        all += QByteArray("\xfe") + char(100 + n) + texts[n - 1].toLatin1().leftJustified(16);
    Windows w;
    QByteArray line;
    const auto closeAt = [&](qsizetype at, const std::function<void()> &close) {
        auto watch = std::make_shared<QMetaObject::Connection>();
        *watch = connect(&w.pty, &SimPort::chunkReceived, this, [&, at, close, watch] {
            if (w.pty.received().size() >= at) {
                disconnect(*watch);
                QTimer::singleShot(0, this, close);
            }
        });
    };
    for (bool reopen : {false, true}) {
        QVERIFY(w.configure());
        line += Select100;
        QTRY_COMPARE(w.pty.received(), line);
        bool reopened = false;
        closeAt(line.size() + (reopen ? 18 : 36), [&] {
            w.cfg()->close();
            reopened = reopen && w.configure();
        });
        w.cfgAct("cmdSetPT");
        QCOMPARE(reopened, reopen);
        QCOMPARE(w.cfg()->MSComm1().isOpen(), reopen);
        line += all.left(reopen ? 18 : 36);
    }
    // The window opened again is clean, and a whole "Send" follows its selection alone.
    QCOMPARE(box(w, 0)->text(), texts[0]);
    w.cfgAct("cmdSetPT");
    line += Select100 + all + "\xfe\x10";
    QTRY_COMPARE(w.pty.received(), line);

    w.main->show();
    QTimer guard; // a loop that does not end fails the test rather than hanging it
    connect(&guard, &QTimer::timeout, this, [] { QCoreApplication::exit(1); });
    guard.start(10000);
    closeAt(line.size() + 36, [&] { w.main->close(); });
    QTimer::singleShot(0, this, [&] { w.cfgAct("cmdSetPT"); });
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(!w.main->isVisible() && !w.cfg()->isVisible());
    QVERIFY(!w.main->MSComm1().isOpen() && !w.cfg()->MSComm1().isOpen());
    // The next bytes on the line are the main window's, once connected again.
    w.connect("4800");
    w.select(100);
    QTRY_COMPARE(w.pty.received(), line + all.left(36) + Select100);
}

QTEST_MAIN(tst_config)
#include "tst_config.moc"
