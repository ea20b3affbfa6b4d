// The configuration window and its character editor on a pty with a virtual module, and the line
// under hostile use: a pulled cable and closed windows in the middle of a command, a storm of
// clicks inside waits, a device that stops reading for a while, a flood that nobody reads.
#include "bench.h"
#include "chars/cellwidgets.h"
#include "framewalker.h"
#include "link/portmap.h"
#include "link/ticktimer.h"

#include <QRegularExpression>
#include <QSerialPort>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace Bench;
using namespace Qt::StringLiterals;

namespace {

const QString Cleared = u"00 00 00 00 00 00 00 00"_s;
const QString NoPort = u"no port. Connect in the main window, then choose Configure LCD again"_s;

// A settings file for COM1 at this rate: address 100, the texts, an operator's comment, and the
// rows UCHARkRr, k * 10 + r unless `rows` holds a text for (k - 1) * 8 + r - 1.
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
            + rows.value(i, QByteArray::number((i / 8 + 1) * 10 + i % 8 + 1)) + "\r\n";
    return file;
}

// "Set Bitmap to LCD" on the line, in hex, for a table of these rows (the others as settings()).
QString upload(const QMap<int, QByteArray> &rows = {})
{
    QByteArray bytes = "\xfe\x64";
    for (int i = 0; i < 64; ++i)
        bytes += char(rows.value(i, QByteArray::number((i / 8 + 1) * 10 + i % 8 + 1)).toInt());
    return QString::fromLatin1(bytes.toHex());
}

QString status(Windows &w)
{
    return w.cfgGet<QLabel>("StatusPanel1")->text() + " | "
        + w.cfgGet<QLabel>("StatusPanel2")->text();
}

// The editor's rows as the operator reads them: each caption without its "0x", or "?" and the
// caption when its cells (black when set, light green when clear; 16 leftmost) disagree.
QString editor(Windows &w)
{
    QString rows;
    for (int r = 1; r <= 8; ++r) {
        const QString caption = w.cfgGet<QLabel>(u"lblrow%1"_s.arg(r))->text();
        bool agree = caption.size() == 4 && caption.startsWith("0x");
        for (int weight : {16, 8, 4, 2, 1})
            agree &= w.cfgGet<PixelCell>(u"bitmapr%1_%2"_s.arg(r).arg(weight))->color()
                == (caption.mid(2).toInt(nullptr, 16) & weight ? Qt::black : QColor(0x80FF80));
        rows += (agree ? caption.mid(2) : '?' + caption) + ' ';
    }
    return rows.trimmed();
}

QLineEdit *box(Windows &w, int i)
{
    return w.cfgGet<QLineEdit>(u"TxtPL_%1"_s.arg(i));
}

// Steps in the configuration window, then (where not empty) the bytes at the pty master since
// the last row with bytes, in hex, the status line's first part, and the editor's rows.
struct Row
{
    QString steps, hex, said, rows;
};
void run(Windows &w, const QList<Row> &table)
{
    for (const Row &row : table) {
        w.cfgAct(row.steps);
        if (!row.said.isEmpty())
            QCOMPARE(w.cfgGet<QLabel>("StatusPanel1")->text(), row.said);
        if (!row.rows.isEmpty())
            QCOMPARE(editor(w), row.rows);
        if (!row.hex.isEmpty()) {
            QTRY_COMPARE(QString::fromLatin1(w.pty.received().toHex()), row.hex);
            w.pty.clearReceived();
        }
    }
}

// A raw pty linked as ports/COM2 whose master the test reads and writes itself; its slave held
// open, so that the master never reads a hang-up.
struct HandLine
{
    HandLine()
    {
        char name[256] = {};
        QFile::remove(link);
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0 || !QFile::link(name, link))
            qFatal("no pty");
        ::fcntl(master, F_SETFL, O_NONBLOCK);
    }
    ~HandLine()
    {
        ::close(master);
        ::close(slave);
        QFile::remove(link);
    }
    int master = -1, slave = -1;
    QString link = PortMap::portsFolder() + "COM2";
};

qint64 residentKiB()
{
    QFile status("/proc/self/status");
    status.open(QIODevice::ReadOnly);
    const QByteArray text = status.readAll();
    return text.mid(text.indexOf("VmRSS:") + 6).trimmed().split(' ').front().toLongLong();
}

} // namespace

class tst_config : public QObject
{
    Q_OBJECT
private slots:
    void init() { writeSettings(iniFile({}, {}, 1, "9600")); }
    void cleanup() { removeSettings(); }
    void openings();
    void commands();
    void interrupted_data();
    void interrupted();
    void clickStorm_data();
    void clickStorm();
    void stalledAndFlooded();
};

// Each opening after the main window let go of the port: its port and speed, 239, 100 alone, the
// controls as designed and loaded afresh from the settings file; closing sends nothing.
void tst_config::openings()
{
    // Row values as an operator may write them (the second opening), "text:value": a number
    // from 0 to 255 with blanks, a "+" or leading zeros; anything else loads as 0, named once.
    const QStringList forms = u"255:255,+5:5,007:7, 7 :7,0255:255,00000000017:17,256,-1,-0,abc,,"
                              "12x,99999999999999999999,+,++1,0x1F,1 2,3.5"_s.split(',');
    QStringList texts = u"UCHAR2R1=5||Line three|Caf\u00e9|Exactly sixteen!|seventeen chars..|"
                        "abcdefghijklmnopqrstuvwxyz|8"_s.split('|');
    writeSettings(settings("4800", texts));
    QTest::failOnWarning(QRegularExpression("UCHAR"));
    Windows w;
    QMap<int, QByteArray> table;
    for (const QString rate : {"4800", "9600"}) {
        w.pty.clearReceived();
        QVERIFY(w.configure(rate));
        QVERIFY(!w.main->MSComm1().isOpen());
        QCOMPARE(w.pty.lineBaud(), rate.toInt());
        QCOMPARE(status(w),
                 "Sent: SelectDevice 100 | COM1 " + rate + u",n,8,1 \u00b7 module 100"_s);
        MessageBoxCatcher boxes;
        w.act("cmdConnect");
        QCOMPARE(boxes.texts, QStringList {"SELECTED PORT NOT AVAILABLE!"});
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
        for (int i = 0; i < 8; ++i)
            QCOMPARE(box(w, i)->text(), texts[i].left(20));
        QVERIFY(!w.cfgGet<QAbstractButton>("optBaud48")->isChecked()
                && !w.cfgGet<QAbstractButton>("optBaud96")->isChecked()
                && !w.cfgGet<QAbstractButton>("Check1")->isChecked());
        // The operator changes everything; the next opening shows none of it.
        run(w,
            {{"", "ef64", "", Cleared},
             {"cmdSendBitmap", upload(table), "Uploaded 8 characters", ""},
             {"cboUID=132,cmdSetUID", "fe3084", "", ""}});
        w.cfgAct("cboUID=abc,cboIO_3=INPUT,cboIO_5=typed,cboUCH=5,TxtPL_2=edited,optBaud96,"
                 "Check1,bitmapr1_16");
        const QByteArray file = readSettings();
        w.cfg()->close();
        QCOMPARE(readSettings(), file);
        w.connect(rate);
        w.select(100);
        QTRY_COMPARE(w.pty.received(), QByteArray("\xef\x64"));
        w.act("cmdConnect");

        texts[0] = "Changed";
        QMap<int, QByteArray> rows;
        for (int i = 0; i < forms.size() && rate == "4800"; ++i) {
            rows[i] = forms[i].section(':', 0, 0).toLatin1();
            table[i] = forms[i].section(':', 1).toLatin1();
            if (!forms[i].contains(':'))
                QTest::ignoreMessage(
                    QtWarningMsg,
                    QRegularExpression(u"\\] UCHAR%1R%2 "_s.arg(i / 8 + 1).arg(i % 8 + 1)));
        }
        writeSettings(settings("9600", texts, rows));
    }
}

// Every button with module 100 on the line, what the module and the settings file keep; then
// the window without a port.
void tst_config::commands()
{
    const QStringList inFile {"UCHAR2R1=5", "", "Line three"};
    const QMap<int, QByteArray> loaded {{10, "255"}, {11, "229"}}; // character 2, rows 3 and 4
    QMap<int, QByteArray> drawn;
    for (int i = 8; i < 16; ++i)
        drawn[i] = i == 9 ? "15" : "31";
    writeSettings(settings("4800", inFile, loaded));
    Windows w({100});
    const LcdModule &module = w.bus.module(0);
    MessageBoxCatcher boxes;
    QVERIFY(w.configure());
    run(w, {{"", "ef64", "", ""}});
    w.vars.TxBuffer.fill(0x55); // a refused step sends not even what an earlier frame left

    const QString uid = u"Sent: SetUid %1 \u00b7 the module now answers at %1"_s;
    const QString saved = upload(drawn);
    // A direction typed over counts as INPUT; 255 in the table shows five pixels, 229 (bits 7 to
    // 5 set) the last three, and both go up as stored until a save.
    run(w,
        {{"cmdSetBaud", "", "Nothing sent: choose 4800 or 9600 first", ""},
         {"cboUID=abc,cmdSetUID", "", R"(Nothing sent: "abc" is not in the list)", ""},
         {"cboUID=,cmdSetUID", "", R"(Nothing sent: "" is not in the list)", ""},
         {"cboIO_2=OUTPUT_,cboIO_7=output,cmdSetIO", "fe317b",
          "Sent: SetIoDirection outputs 1 2 4 5 6 7", ""},
         {"optBaud96,cmdSetBaud", "feff", "Sent: SetBaud9600", ""},
         {"cboUID=132,cmdSetUID", "fe3084", uid.arg(132), ""},
         {"cboUID=101,cmdSetUID", "fe3065", uid.arg(101), ""},
         {"cboIO_0=INPUT,cboIO_1=INPUT,cboIO_3=INPUT,cboIO_4=INPUT,cboIO_5=INPUT,cboIO_6=INPUT,"
          "cmdSetIO",
          "fe3100", "Sent: SetIoDirection outputs none", ""},
         {"cboIO_0=OUTPUT,cboIO_7=OUTPUT,cmdSetIO", "fe3181", "Sent: SetIoDirection outputs 1 8",
          ""},
         {"bitmapr1_16", "", "", "10 00 00 00 00 00 00 00"},
         {"bitmapr1_16,bitmapr1_1,bitmapr3_8,bitmapr3_2", "", "", "01 00 0A 00 00 00 00 00"},
         {"cmdSet,bitmapr8_1", "", "", "1F 1F 1F 1F 1F 1F 1F 1E"},
         {"cmdClr", "", "", Cleared},
         {"cboUCH=2,cmdLoadBitmap", "", "Loaded character 2 into the editor",
          "15 16 1F 05 19 1A 1B 1C"},
         {"cmdSendBitmap", upload(loaded), "Uploaded 8 characters", ""},
         {"cmdSet,bitmapr2_16,cmdSendBitmap", upload(loaded), "", "1F 0F 1F 1F 1F 1F 1F 1F"},
         {"cboUCH=1,cboUCH=3,cboUCH=2,cmdSaveBitmap", "",
          "Saved character 2; Set Bitmap to LCD uploads it", ""},
         {"cmdClr,cmdSendBitmap", saved, "", Cleared},
         {"cmdLoadBitmap", "", "", "1F 0F 1F 1F 1F 1F 1F 1F"},
         {"cmdSet,cboUCH=9,cmdSaveBitmap", "", R"(Nothing saved: "9" is not in the list)", ""},
         {"cmdLoadBitmap", "", R"(Editor cleared: "9" is not in the list)", Cleared},
         {"cboUCH=_1,cmdSet,cmdSaveBitmap,cmdSendBitmap", saved, "", ""}});
    QCOMPARE(status(w).section(" | ", 1), u"COM1 4800,n,8,1 \u00b7 module 101"_s);
    QCOMPARE(module.userChars().toHex(), saved.mid(4).toLatin1());
    // Saved under 2 alone: its eight keys in place, and no other byte of the file.
    const QByteArray file = settings("4800", inFile, drawn);
    QCOMPARE(readSettings(), file);

    // A save that does not fit (a full disk, as a file-size limit) is told and writes no row.
    rlimit limit;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit small {rlim_t(file.size() / 2), limit.rlim_max};
    std::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails instead
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    w.cfgAct("cboUCH=5,cmdSet,cmdSaveBitmap");
    ::setrlimit(RLIMIT_FSIZE, &limit);
    QCOMPARE(boxes.texts, QStringList {"Character 5 was not saved to the settings file."});
    QCOMPARE(readSettings(), file);
    QCOMPARE(status(w).section(" | ", 0, 0), u"Character 5 is not saved in the settings file"_s);

    // "Send": each text padded to 16 bytes on the line and in its box (a character beyond 16 bits
    // fills two places there, one byte on the line), the next only after the 10 ticks in which
    // the module stored it, the start-up flag last with no wait.
    const QStringList texts
        = u"1||abc|Caf\u00e9|fifteen chars..| |x\U0001F600|Twenty characters \u00e98"_s.split('|');
    QByteArray line;
    QByteArrayList raw, stored;
    for (int i = 0; i < 8; ++i) {
        box(w, i)->setText(texts[i]);
        raw << texts[i].toLatin1().replace("??", "?");
        stored << raw[i].leftJustified(16);
        line += QByteArray("\xfe") + char(101 + i) + stored[i];
    }
    QStringList waited; // at the padding of boxes 2 to 7: ticks counted, previous text kept
    QObject watch;
    for (int i = 1; i < 8; ++i) {
        connect(box(w, i), &QLineEdit::textChanged, &watch, [&, i] {
            waited << QString::number(w.vars.TickCount)
                    + (module.text(i) == stored[i - 1] ? '+' : '-');
        });
    }
    w.cfgAct("Check1,cmdSetPT");
    QVERIFY(w.pty.received().size() <= line.size()); // no wait after the last frame
    run(w, {{"", (line + "\xfe\x0f").toHex(), "Sent: 8 stored texts and start-up screen on", ""}});
    QCOMPARE(waited.join(' '), u"10+ 10+ 10+ 10+ 10+ 10+"_s);
    for (int i = 0; i < 8; ++i) {
        QCOMPARE(box(w, i)->text(), texts[i] + QString(stored[i].size() - raw[i].size(), ' '));
        QCOMPARE(module.text(i + 1), stored[i]);
    }
    // 254, 103 stands alone once the line pauses: the speed, not the head of a text.
    run(w, {{"optBaud48,cmdSetBaud", "fe67", "Sent: SetBaud4800", ""}});
    QTRY_COMPARE(module.baud(), 4800);
    run(w, {{"cmdSave", "fe20", "Saved to EEPROM", ""}});
    QCOMPARE(module.saveCount(), 1);
    const LcdSettings &eeprom = module.eeprom();
    QCOMPARE((QList<int> {eeprom.address, eeprom.baud, eeprom.directions, eeprom.startupScreen}),
             (QList<int> {101, 4800, 0x81, 1}));
    QVERIFY(module.eeprom() == module.settings()); // the texts and characters too

    // The adapter gone before the opening: the window opens without a port, its buttons say why
    // they send nothing, characters are drawn and saved; with the adapter back, "Configure LCD"
    // hands the port to the open window.
    w.cfg()->close();
    w.connect("4800");
    QVERIFY(QFile::remove(w.pty.linkPath())); // its link stays, leading nowhere
    QVERIFY(QFile::link(SettingsFolder() + "ports/gone", w.pty.linkPath()));
    w.act("mnuCfg");
    QCOMPARE(boxes.texts.value(1), u"SELECTED PORT NOT AVAILABLE!"_s);
    QCOMPARE(w.text("StatusPanel2"), u"COM1 released; Configure LCD could not open it"_s);
    QCOMPARE(status(w), "COM1 could not be opened: " + NoPort + " | no port");
    run(w,
        {{"optBaud96,cmdSetBaud", "", "Nothing sent: " + NoPort, ""},
         {"cmdSetUID,cmdSetIO,cmdSetPT,cmdSave", "", "Nothing sent: " + NoPort, ""},
         {"cmdSendBitmap", "", "Nothing sent: " + NoPort, ""},
         {"cboUCH=2,bitmapr3_1,cmdSaveBitmap", "",
          "Saved character 2; Set Bitmap to LCD uploads it", ""},
         {"cmdClr,cmdLoadBitmap", "", "", "00 00 01 00 00 00 00 00"}});
    QVERIFY(readSettings().contains("\nUCHAR2R3=1\r\n"));
    box(w, 0)->setText("typed");
    QVERIFY(QFile::remove(w.pty.linkPath()));
    QVERIFY(QFile::link(w.pty.slavePath(), w.pty.linkPath()));
    QVERIFY(w.configure());
    QCOMPARE(status(w), u"Sent: SelectDevice 100 | COM1 4800,n,8,1 \u00b7 module 100"_s);
    QCOMPARE(w.text("StatusPanel2"), u"COM1 handed to Configure LCD"_s);
    QCOMPARE(box(w, 0)->text(), u"typed"_s);
    run(w, {{"cmdSave", "ef64fe20", "", ""}});
    QCOMPARE(boxes.texts.size(), 2);
}

void tst_config::interrupted_data()
{
    // Steps in the main window, or after "cfg:" in the configuration window; interrupted after
    // this many bytes of the window's writes, at once (0), as the selection's frame arrives (-1)
    // or in the wait after stored text n (-n); by a pull, a close (and opening), or a quit.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<int>("at");
    QTest::addColumn<QString>("how");
    QTest::newRow("pulled, main window idle after a selection") << QString() << 0 << "pull";
    QTest::newRow("pulled, Set Cursor Position after 2 bytes")
        << "cboRow=2,cboColumn=19,cmdCurPos" << 2 << "pull";
    QTest::newRow("pulled, in the wait of Select") << "cmdSelect" << -1 << "pull";
    QTest::newRow("pulled, upload after 10 bytes") << "cfg:cmdSendBitmap" << 10 << "pull";
    QTest::newRow("pulled, Set UID after the prefix") << "cfg:cmdSetUID" << 1 << "pull";
    QTest::newRow("pulled, Send in the first head") << "cfg:cmdSetPT" << 1 << "pull";
    QTest::newRow("pulled, Send in the third head") << "cfg:cmdSetPT" << 37 << "pull";
    QTest::newRow("pulled, Send waiting after text 3") << "cfg:cmdSetPT" << -3 << "pull";
    QTest::newRow("closed, Send after text 2") << "cfg:cmdSetPT" << 36 << "close";
    QTest::newRow("closed and opened, Send after text 1") << "cfg:cmdSetPT" << 18 << "reopen";
    QTest::newRow("main window closed, Send after text 2") << "cfg:cmdSetPT" << 36 << "quit";
}

// Nothing crashes or hangs, the command stops where it was, a pulled cable is reported; then
// (on a new device after a pull) both windows work, their bytes the next on the line.
void tst_config::interrupted()
{
    QFETCH(QString, steps);
    QFETCH(int, at);
    QFETCH(QString, how);
    const bool cfg = steps.startsWith("cfg:");
    Windows w({100});
    w.connect();
    w.select(100);
    QVERIFY(!cfg || w.configure());
    QByteArray line = QByteArray("\xef\x64").repeated(1 + cfg);
    bool reopened = false, done = false;
    qint64 written = 0;
    const auto interrupt = [&](bool now) {
        if (done || !now)
            return;
        done = true;
        if (how == "pull")
            return w.pty.closeMaster();
        QTimer::singleShot(0, this, [&] {
            how == "quit" ? w.main->close() : w.cfg()->close();
            reopened = how == "reopen" && w.configure();
        });
    };
    QObject trigger;
    connect(cfg ? &w.cfg()->MSComm1() : &w.main->MSComm1(), &CommPort::bytesWritten, &trigger,
            [&](qint64 n) { interrupt(at > 0 && (written += n) >= at); });
    connect(&w.pty, &SimPort::chunkReceived, &trigger, [&] { interrupt(at == -1); });
    connect(&w.pty, &SimPort::paused, &trigger,
            [&] { interrupt(at < -1 && !w.bus.module(0).text(-at).isEmpty()); });
    interrupt(at == 0); // before any traffic: only the hang-up tells
    MessageBoxCatcher boxes;
    QTimer::singleShot(0, this, [&] {
        cfg ? w.cfgAct(steps.mid(4)) : w.act(steps);
        QCoreApplication::exit(0); // not quit(), which closes every window
    });
    QCOMPARE(QApplication::exec(), 0);
    if (how == "pull" && cfg) {
        // Told in a box that does not stop the window.
        QTRY_COMPARE(boxes.texts, QStringList {u"COM1: the device was unplugged or closed"_s});
        QCOMPARE(status(w), u"COM1: the device was unplugged or closed | no port"_s);
        if (at < 0) // nothing after the pull reached the module
            QCOMPARE(w.bus.module(0).text(3) + w.bus.module(0).text(4), QByteArray(16, ' '));
    } else if (how == "pull") {
        // Back in the closed state, saying so, with no box.
        QTRY_COMPARE(w.state(), u"Connect select=0 cfg=0 commands=1"_s);
        QCOMPARE(w.text("StatusPanel2"), u"COM1: the device was unplugged or closed"_s);
        if (at == -1)
            QCOMPARE(w.text("StatusPanel1"), u"Device Not Found"_s);
        QCOMPARE(boxes.texts, QStringList());
    } else {
        // Stopped where it was closed; only a window opened again holds the port.
        for (int n = 1; n <= at / 18; ++n)
            line += "\xfe" + QByteArray(1, char(100 + n)) + QByteArray(16, ' ');
        line += reopened ? "\xef\x64" : "";
        QTRY_COMPARE(w.pty.received(), line);
        QCOMPARE(w.cfg()->MSComm1().isOpen() && w.cfg()->isVisible(), how == "reopen");
        QVERIFY(!w.main->isVisible() && !w.main->MSComm1().isOpen() && boxes.texts.isEmpty());
        w.cfg()->close();
    }

    // Afterwards (a new device after a pull): connect, select, configure.
    LcdBus fresh({100});
    if (how == "pull") {
        w.pty.setBus(&fresh);
        QVERIFY(w.openLine());
        line.clear();
    }
    w.connect();
    w.select(100);
    QCOMPARE(w.text("StatusPanel1"), u"Device 100 Connected"_s);
    QVERIFY(w.configure());
    w.cfgAct("cmdSave");
    QTRY_COMPARE(w.pty.received(), line + QByteArray::fromHex("ef64ef64fe20"));
    QCOMPARE(w.pty.bus()->module(0).saveCount(), 1);
}

void tst_config::clickStorm_data()
{
    // Select, Deselect and "Send" in turn: clicks, and milliseconds between them (0: nested).
    QTest::addColumn<int>("clicks");
    QTest::addColumn<int>("interval");
    QTest::newRow("nested past the bound") << 40 << 0;
    QTest::newRow("a storm") << 1000 << 1;
}

// Clicks inside waits nest up to a bound; a click past it sends nothing and starts no wait.
// Every click below the bound is carried out whole.
void tst_config::clickStorm()
{
    QFETCH(int, clicks);
    QFETCH(int, interval);
    // The configuration window on COM1 with module 100 (texts of 20 end their frames without a
    // pause), the main window on COM2 with module 105.
    Windows w({100});
    QVERIFY(w.configure("9600"));
    for (int i = 0; i < 8; ++i)
        w.cfgAct(u"TxtPL_%1=%2"_s.arg(i).arg(QString(20, QChar('a' + i))));
    LcdBus mainBus({105});
    SimPort mainLine(&mainBus);
    QVERIFY(mainLine.open(2, QString(), SimPort::Existing::Replace));
    w.act("cboComm=COM2,cmdConnect");
    QTRY_COMPARE(w.pty.received(), QByteArray("\xef\x64"));
    w.pty.clearReceived();

    QWidget *const cycle[] = {w.get("cmdSelect"), w.get("cmdDeselect"), w.cfgGet("cmdSetPT")};
    int made = 0, inside = 0, refused = 0;
    QObject chain;
    std::function<void()> next = [&] {
        if (made == clicks)
            return;
        w.act(made % 2 ? "cboAddr=105" : "cboAddr=100");
        QTimer::singleShot(interval, &chain, next);
        refused += !TickTimer::mayWait();
        ++inside;
        qobject_cast<QAbstractButton *>(cycle[made++ % 3])->click();
        --inside;
    };
    next();
    QTRY_VERIFY_WITH_TIMEOUT(made == clicks && inside == 0, 120000);

    // Afterwards a selection works; it and a last frame of "Configure LCD" end both lines.
    w.select(105);
    QCOMPARE(w.text("StatusPanel1"), u"Device 105 Connected"_s);
    w.cfgAct("cmdSave");
    QTRY_VERIFY(mainLine.received().endsWith("\xef\x69"));
    QTRY_VERIFY(w.pty.received().endsWith("\xfe\x20"));

    // Whole frames on both lines, one exchange or one whole "Send" for each click carried out.
    int exchanges = -1, sends = 0, texts = 0, startups = 0; // less the selection afterwards
    for (const QByteArray &bytes : {mainLine.received(), w.pty.received()}) {
        FrameWalker walker;
        walker.push(bytes);
        walker.pause();
        for (const FrameWalker::Frame &f : walker.frames()) {
            QVERIFY2(!f.bad(), qPrintable(u"at %1: %2"_s.arg(f.start).arg(f.why)));
            exchanges += f.id == Protocol::FrameId::SelectDevice
                || f.id == Protocol::FrameId::DeselectDevice;
            texts += f.id == Protocol::FrameId::StoreText;
            sends += f.bytes.startsWith("\xfe\x65");
            startups += f.bytes == "\xfe\x10";
        }
    }
    QCOMPARE(exchanges + sends, made - refused);
    QCOMPARE(texts, 8 * sends);
    QCOMPARE(startups, sends);
    QCOMPARE(refused > 0, clicks > 2); // the storms reached the bound
}

// A module that stops reading is slow, not gone: what it does not take waits in the program,
// which says so, and goes out whole and in order once it reads again. Bytes that nothing reads
// (the configuration window reads nothing) are dropped: a flood leaves the memory as it was.
void tst_config::stalledAndFlooded()
{
    Windows w;
    HandLine line;
    QByteArray received, expected;
    qint64 flooding = 0; // bytes still to write toward the program
    QSocketNotifier reader(line.master, QSocketNotifier::Read);
    QSocketNotifier writer(line.master, QSocketNotifier::Write);
    connect(&reader, &QSocketNotifier::activated, this, [&] {
        char chunk[4096];
        for (ssize_t n; (n = ::read(line.master, chunk, sizeof chunk)) > 0;)
            received.append(chunk, n);
    });
    connect(&writer, &QSocketNotifier::activated, this, [&] {
        static const QByteArray block(64 * 1024, '\x55');
        for (ssize_t n = 1; n > 0 && flooding > 0; flooding -= qMax<ssize_t>(n, 0))
            n = ::write(line.master, block.constData(), size_t(qMin(flooding, block.size())));
        writer.setEnabled(flooding > 0);
    });
    reader.setEnabled(false); // the writer stops itself while there is no flood
    w.act("cboComm=COM2,cboBaud=9600,cmdConnect");
    const QString open = "COM2 9600,n,8,1 on " + QFile::symLinkTarget(line.link);
    QCOMPARE(w.text("StatusPanel2"), open);
    for (int i = 0; w.main->MSComm1().bytesWaiting() < 100 && i < 20000; ++i) {
        const QByteArray block = QByteArray::number(i).rightJustified(67, '.');
        expected += block;
        w.main->MSComm1().write(block); // one write, as a stored text goes; later ones wait behind
    }
    QCOMPARE(w.text("StatusPanel2"), open + ": output waiting for the device");
    reader.setEnabled(true);
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), expected.size(), 30000);
    QVERIFY(received == expected);
    QTRY_COMPARE(w.text("StatusPanel2"), open);
    QCOMPARE(w.state(), u"Disconnect select=1 cfg=1 commands=0"_s);

    received.clear();
    w.act("mnuCfg");
    QTRY_COMPARE(received, QByteArray("\xef\x64"));
    const qint64 idle = residentKiB();
    qint64 peak = idle;
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, this, [&peak] { peak = qMax(peak, residentKiB()); });
    sampler.start(10);
    flooding = qint64(64) << 20;
    writer.setEnabled(true);
    QTRY_VERIFY_WITH_TIMEOUT(flooding == 0, 300000);
    peak = qMax(peak, residentKiB());
    // AddressSanitizer and Valgrind hold freed memory back on purpose.
    if (!qEnvironmentVariableIsSet("ASAN_OPTIONS") && !qgetenv("LD_PRELOAD").contains("vgpreload"))
        QVERIFY2(peak - idle < 10 * 1024, qPrintable(u"%1 -> %2 KiB"_s.arg(idle).arg(peak)));
    QTRY_COMPARE(w.cfg()->MSComm1().findChild<QSerialPort *>()->bytesAvailable(), 0);
    w.cfgAct("cmdSave");
    QTRY_COMPARE(received, QByteArray("\xef\x64\xfe\x20"));
}

QTEST_MAIN(tst_config)
#include "tst_config.moc"
