// The virtual modules: one table of byte streams and what the modules then hold and show, a
// random stream, their window, and tessaline-sim as a process on its pty.
#include "bench.h"
#include "sim/lcdrender.h"
#include "sim/lcdview.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTemporaryDir>

#include <csignal>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace LcdRender;

namespace {

constexpr int Timeout = 10000;

// "xx*n" written out as n times the hex byte xx.
QString expand(QString text)
{
    static const QRegularExpression run("([0-9a-fA-F]{2})\\*(\\d+)");
    for (QRegularExpressionMatch m; (m = run.match(text)).hasMatch();)
        text.replace(m.capturedStart(), m.capturedLength(),
                     m.captured(1).repeated(m.captured(2).toInt()));
    return text;
}

// Bytes written as hex, xx*n and 'text'.
QByteArray bytes(const QString &notation)
{
    const QStringList parts = notation.split('\'');
    QByteArray out;
    for (qsizetype i = 0; i < parts.size(); ++i)
        out += i % 2 ? parts[i].toLatin1() : QByteArray::fromHex(expand(parts[i]).toLatin1());
    return out;
}

// Feeds the bus, "/" between two reads, "|" where the line goes quiet; the answers in hex.
QString feed(LcdBus &bus, const QString &stream)
{
    QByteArray answers;
    const QStringList quiet = stream.split('|');
    for (qsizetype i = 0; i < quiet.size(); ++i) {
        for (const QString &read : quiet[i].split('/'))
            answers += bus.feed(bytes(read));
        if (i + 1 < quiet.size())
            bus.pause();
    }
    return answers.toHex();
}

// The fields of a module's line of LcdBus::describe(), and address, rows and text1 to text8.
QMap<QString, QString> fields(const QString &line)
{
    static const QRegularExpression field("(\\w+)=((?:\"[^\"]*\"[/,]?)+|\\S+)"),
        quoted("\"([^\"]*?) *\"");
    QMap<QString, QString> f;
    for (auto it = field.globalMatch(line); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        f.insert(m.captured(1), m.captured(2));
    }
    QStringList rows; // and then the texts
    for (auto it = quoted.globalMatch(f.value("display") + f.value("texts")); it.hasNext();)
        rows << it.next().captured(1);
    for (int n = 1; n <= 8; ++n)
        f.insert(u"text%1"_s.arg(n), rows.value(3 + n));
    f.insert("rows", rows.mid(0, 4).join('|'));
    f.insert("address", line.section(':', 0, 0).mid(7));
    return f;
}

QString glyphHex(const Glyph &g)
{
    return QByteArray(reinterpret_cast<const char *>(g.data()), DotRows).toHex();
}

// "i.key=value ..." as module i of the bus has them, blanks shown as "_". Keys onN and offN
// are the dots of the top row's cell N and the backlight in the on and off phases of the blink.
QString look(const LcdBus &bus, const QString &checks)
{
    const QStringList lines = bus.describe().split('\n');
    QStringList seen;
    for (const QString &check : checks.split(' ', Qt::SkipEmptyParts)) {
        const QString name = check.section('=', 0, 0), key = name.section('.', 1);
        const int k = name.section('.', 0, 0).toInt();
        const Screen s = render(bus.module(k), key.startsWith("on"));
        const QString dots = glyphHex(s.cell(0, key.mid(key.startsWith("on") ? 2 : 3).toInt()));
        seen << name + '='
                + (key.contains(QRegularExpression("^o(n|ff)\\d"))
                       ? dots + (s.backlit ? "lit" : "dark")
                       : fields(lines.value(k)).value(key).replace(' ', '_'));
    }
    return seen.join(' ');
}

QString linkPath(int port)
{
    return SettingsFolder() + u"ports/COM%1"_s.arg(port);
}

// The program's end of a line, opened by path; what comes back is collected.
struct Line
{
    int fd;
    QSocketNotifier notifier;
    QByteArray data;

    explicit Line(const QString &path)
        : fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY))
        , notifier(fd, QSocketNotifier::Read)
    {
        QObject::connect(&notifier, &QSocketNotifier::activated, &notifier, [this] {
            char buf[4096];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            data.append(buf, int(qMax<ssize_t>(n, 0)));
            notifier.setEnabled(n > 0);
        });
    }
    ~Line() { ::close(fd); }
    bool send(const QByteArray &b) { return ::write(fd, b.data(), size_t(b.size())) == b.size(); }
    bool setSpeed(speed_t speed)
    {
        termios tio;
        return ::tcgetattr(fd, &tio) == 0 && ::cfsetspeed(&tio, speed) == 0
            && ::tcsetattr(fd, TCSANOW, &tio) == 0;
    }
};

// One tessaline-sim with its ports/ link in this test program's settings folder.
struct Sim
{
    QProcess process;
    QString out;

    // Offscreen or with no display; AddressSanitizer's quarantine small for the flood.
    explicit Sim(const QString &options, bool display = true, const QStringList &wrapper = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.remove(name);
        env.insert("QT_QPA_PLATFORM", display ? "offscreen" : "");
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":quarantine_size_mb=1");
        process.setProcessEnvironment(env);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                         [this] { out += QString::fromUtf8(process.readAllStandardOutput()); });
        const QStringList arguments = wrapper
            + QStringList {TESSALINE_SIM, "--folder", SettingsFolder()}
            + options.split(' ', Qt::SkipEmptyParts);
        process.start(arguments.first(), arguments.mid(1));
    }
    ~Sim()
    {
        process.terminate();
        if (!process.waitForFinished(Timeout))
            process.kill();
    }
    // The terminal of the "ready" line; empty when the program did not get there.
    QString waitReady()
    {
        static const QRegularExpression ready("^ready COM\\d+ (.*)$",
                                              QRegularExpression::MultilineOption);
        (void)QTest::qWaitFor(
            [&] { return out.contains(ready) || process.state() == QProcess::NotRunning; },
            Timeout);
        return ready.match(out).captured(1);
    }
    QString finish()
    {
        (void)process.waitForFinished(Timeout);
        return QString::fromLocal8Bit(process.readAllStandardError());
    }
    // The fields of the module's line in the answer to "state"; none when no such module.
    QMap<QString, QString> fields(int address)
    {
        const qsizetype before = out.size();
        process.write("state\n");
        (void)QTest::qWaitFor([&] { return out.indexOf("\nend\n", before) >= 0; }, Timeout);
        const qsizetype at = out.indexOf(u"module %1: "_s.arg(address), before);
        return at < 0 ? QMap<QString, QString>()
                      : ::fields(out.mid(at, out.indexOf('\n', at) - at));
    }
    // Asks again until the field reads as expected (the line and stdin are read in no order).
    QString await(int address, const QString &key, const QString &expected)
    {
        QString value;
        (void)QTest::qWaitFor([&] { return (value = fields(address).value(key)) == expected; },
                              Timeout);
        return value;
    }
};

} // namespace

class tst_sim : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        // Links, locks and EEPROM files that an earlier run may have left.
        QDir ports(SettingsFolder() + "ports");
        for (const QString &name : ports.entryList(QDir::Files | QDir::System))
            ports.remove(name);
    }
    void frames();
    void randomStream();
    void window();
    void program();
    void refusals();
    void eepromFiles();
    void speedAndFlood();
};

void tst_sim::frames()
{
    // What a stream does to modules 100 and 105: answers, then "i.key=value" of module i.
    // clang-format off
    const char *const rows[] = {
        "only the selected module acts; ef69 'Hi' fe07 fe0c fe0f; ee69 0.selected=no 0.rows=||| "
            "0.backlight=on 0.outputs=00 1.selected=yes 1.rows=Hi||| 1.backlight=off 1.outputs=FF 1.startup=on",
        "an address nobody has deselects all; ef64 ef65 'xyz' 0d fe0b fe3078; ee64 0.selected=no "
            "1.selected=no 0.rows=||| 0.backlight=on 0.address=100",
        "a selection split by a read and by a pause; ef/69 ea ef|69; ee69 1.selected=no 1.rows=|||",
        "selection bytes inside an upload and a text are data; fe64 00*10 ef64 00*52 ef69 fe66 "
            "ef64eafe320000|; ee69 0.selected=no 1.selected=yes 1.text2=\\XEFd\\XEA\\XFE2\\X00\\X00",
        "a new address at once, the old one silent; ef64 fe3075 fe3181 ef64 ef75; ee64ee75 "
            "0.address=117 0.directions=81 0.selected=yes",
        "text wraps past column 19 and row 3, codes 0 to 7 are characters, other controls nothing; "
            "ef64 'AB' 00 07 08 09 0a 0e 1f '0123456789abcdefg' fe32 03 13 '!?'; ee64 "
            "0.rows=?B\\X00\\X070123456789abcdef|g||___________________! 0.cursor=underscore@0,1",
        "next line from row 3 to row 0, home, clear; ef64 'x' 0d fe32 02 04 0c 'n' 0c 'o' "
            "fe32 01 05 0b 'h'; ee64 0.rows=h|||n 0.cursor=underscore@0,1",
        "positions out of range and unknown opcodes are frames of their own; ef64 'h' fe32 04 00 "
            "fe32 00 14 fe32 ff ff 'Z' fe00 61 fe04 62 fec8 63; ee64 0.rows=hZabc|||",
        "234 typed deselects; ef64 fe02 c8eeff ea 'x'; ee64 0.rows=\\XC8\\XEE\\XFF||| 0.selected=no "
            "0.cursor=blinking@0,3",
        "a stored text ends after 20 bytes; ef64 fe68 'ABCDEFGHIJKLMNOPQRSTU'; ee64 "
            "0.text4=ABCDEFGHIJKLMNOPQRST 0.rows=U|||",
        "a pause ends a shorter text however read; ef64 fe69 'Sho'/'rt'|; ee64 0.text5=Short 0.rows=|||",
        "254,103 and text is text 3, and quiet the speed; ef64 fe67/'Third'|fe67|; ee64 "
            "0.text3=Third 0.baud=4800",
        "an upload whole, and one cut short by a pause; ef64 fe64 fe*32 ef*32 'k' fe64 00*38|'m'; "
            "ee64 0.chars=FE*32EF*32 0.rows=km|||",
        "outputs all and one by one, a wrong state or output using up the frame; ef64 fe0c fe33 03 49 "
            "ef69 fe0d fe33 00 48 fe33 05 48 fe33 00 68 fe33 08 48 'q'; ee64ee69 0.outputs=F7 "
            "1.outputs=21 1.rows=q|||",
        "save, load, show text, flash; ef64 fe64 01*64 fe20 fe64 02*64 fe08 fe6a 'Door'| fe34 6a 02 "
            "fe0b; ee64 0.chars=01*64 0.saves=1 0.loads=1 0.text6=Door 0.rows=||Door| 0.backlight=flashing",
        "user character 1 shown from its rows, bits 5 to 7 left out; ef64 fe64 f0e1d2c3b4a59687 00*56 "
            "fe03 00; ee64 0.on0=1001120314051607lit",
        "the blinking cursor, a block and then its character; ef64 'A' fe32 00 00 fe02; ee64 "
            "0.on0=1f1f1f1f1f1f1f1flit 0.off0=0e1111111f111100lit",
        "the underscore in both phases, the hidden cursor; ef64 'AB' fe32 00 01 fe01 ef69 'A' fe32 00 00 "
            "fe03; ee64ee69 0.on1=1e11111e11111e1flit 0.off1=1e11111e11111e1flit 1.on0=0e1111111f111100lit",
        "backlight off, and flashing; ef64 'A' fe07 ef69 fe0b; ee64ee69 0.on0=0e1111111f111100dark "
            "1.on0=000000000000001flit 1.off0=000000000000001fdark",
    };
    // clang-format on
    for (const QString row : rows) {
        LcdBus bus({100, 105});
        const QString expected = expand(row.section("; ", 2));
        const QString answers = feed(bus, row.section("; ", 1, 1));
        QCOMPARE(answers + ' ' + look(bus, expected.section(' ', 1)), expected);
    }
}

void tst_sim::randomStream()
{
    // Frame-opening bytes and addresses likelier than in plain noise: answers come whole, a
    // pause closes every frame, and every module stays in range.
    LcdBus bus({100, 105, 132});
    QRandomGenerator rng(20240611);
    for (int round = 0; round < 6000; ++round) {
        QByteArray chunk;
        for (int i = int(rng.bounded(1, 120)); i > 0; --i)
            chunk += rng.bounded(3) ? char(rng.bounded(256))
                                    : "\xEF\xEA\xFE\x64\x69\x84\x32\x67"[rng.bounded(8)];
        QVERIFY(bus.feed(chunk).size() % 2 == 0
                && (rng.bounded(4) || (bus.pause(), !bus.inFrame())));
        const LcdModule &m = bus.module(round % 3);
        QVERIFY(m.cursorRow() >= 0 && m.cursorRow() < 4 && m.cursorColumn() >= 0
                && m.cursorColumn() < 20 && m.cursorType() >= LcdModule::Underscore
                && m.cursorType() <= LcdModule::Hidden && (m.baud() == 4800 || m.baud() == 9600)
                && m.userChars().size() == 64 && m.text(rng.bounded(1, 9)).size() <= 20);
    }
    QVERIFY(look(bus, "0.rows 1.rows 2.rows").count("=|||") == 0);
}

void tst_sim::window()
{
    // Module 105's values, then its new address and longer values, which move nothing.
    LcdBus bus({100, 105});
    SimWindow w(bus);
    w.setPort(3, "/dev/pts/7");
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QWidget *view = w.moduleView(1);
    const auto places = [&] {
        QCoreApplication::sendPostedEvents();
        QList<QPoint> all;
        for (QWidget *child : w.findChildren<QWidget *>())
            all << child->mapTo(&w, QPoint());
        return all;
    };
    const QList<QPoint> fresh = places();
    const auto shown = [&](const QString &labels) {
        QString all = view->property("title").toString() + '|';
        for (const QString &name : labels.split(' '))
            all += Bench::child<QLabel>(name == "line" ? &w : view, name)->text() + '|';
        for (Lamp *lamp : view->findChildren<Lamp *>())
            all += QString::number(lamp->isLit() * 2 + lamp->isDriven());
        return all;
    };
    feed(bus,
         "ef69 fe64 00*32 18 00*31 'Hi' 04 fe03 fe310f fe33 01 48 fe33 06 48 fe66 'Door "
         "open'|fe67|");
    w.refresh();
    QCOMPARE(shown("speed cursor text_2 direction_3 direction_4"),
             u"Module 105|4800 baud|hidden at row 0, column 3|Door open|out|in|313110020"_s);
    QVERIFY(!Bench::child<Lamp>(w.moduleView(0), "selectedLamp")->isLit());
    feed(bus, "fe3078 fe02 fe0b fe32 03 13 fe3100 ef64 fe0c" + u"fe20 fe08 "_s.repeated(3000));
    bus.module(0).countGarbled(Q_INT64_C(1) << 40);
    w.refresh();
    QCOMPARE(shown("line"),
             u"Module 120|COM3: ports/COM3 \u2192 /dev/pts/7    modules at 100, "
             "120|102000020"_s);
    QCOMPARE(places(), fresh);

    // The dots of 'H', larger in a larger window; the cursor blinks, the backlight flashes.
    auto *display = Bench::child<LcdCells>(view, "display");
    const auto dot = [&](int dotRow, int dotColumn) {
        const QRect r = display->dotRect(0, 0, dotRow, dotColumn);
        return display->grab().toImage().pixel(r.center())
            == LcdCells::dotColor(display->isBacklit(), true).rgb();
    };
    QVERIFY(dot(0, 0) && !dot(0, 1) && dot(3, 2));
    feed(bus, "ef78 fe32 00 03");
    const int width = display->dotRect(0, 0, 0, 0).width();
    w.resize(w.width() * 2, w.height() * 2);
    QTRY_VERIFY(display->dotRect(0, 0, 0, 0).width() >= 2 * width);
    QVERIFY(display->rect().contains(display->dotRect(3, 19, 7, 4)) && dot(0, 0) && !dot(0, 1));
    const auto cursorLit = [&] { return glyphHex(display->cells().at(3)) == "1f1f1f1f1f1f1f1f"; };
    QTRY_VERIFY(cursorLit() && display->isBacklit());
    QTRY_VERIFY(!cursorLit() && !display->isBacklit());
}

void tst_sim::program()
{
    // Both windows, on COM7 at 9600 as the settings file says; what the modules keep.
    std::array<int, 64> rows;
    QByteArray table;
    for (int i = 0; i < 64; ++i)
        table += char(rows[size_t(i)] = (i + 11) & 0x1F);
    Bench::writeSettings(Bench::iniFile({"Tessaline", "", "Twenty characters!!"}, rows, 7, "9600"));
    Sim sim("--port 7 --address 100 --address 105 --address 132");
    QVERIFY2(QFileInfo(linkPath(7)).symLinkTarget() == sim.waitReady(), qPrintable(sim.out));
    modVariables vars;
    frmMain w(vars);
    Bench::act(&w, "cmdConnect,cboAddr=132,cmdSelect,cboAddr=100,cmdSelect");
    QCOMPARE(Bench::child<QLabel>(&w, "StatusPanel1")->text() + ' '
                 + Bench::child<QLabel>(&w, "lblRxData")->text(),
             u"Device 100 Connected EE 64 "_s);
    QTest::keyClicks(Bench::child<QLineEdit>(&w, "txtASCIIInput"), "Hello");
    Bench::act(&w, "cboOutput=3,cboSta=ON,cmdout1,cmdBLFlash");
    QCOMPARE(sim.await(100, "backlight", "flashing"), u"flashing"_s);
    QCOMPARE(sim.fields(100).value("rows") + sim.fields(100).value("outputs")
                 + sim.fields(132).value("selected"),
             u"Hello|||08no"_s);

    Bench::act(&w, "mnuCfg");
    for (QWidget *cfg : QApplication::topLevelWidgets()) {
        if (qobject_cast<frmCfg *>(cfg))
            Bench::act(cfg,
                       "TxtPL_1=Edited,Check1,cmdSetPT,cboIO_1=INPUT,cboIO_3=INPUT,cmdSetIO,"
                       "cmdSendBitmap,cmdSave,cboUID=117,cmdSetUID");
    }
    QCOMPARE(sim.await(117, "saves", "1"), u"1"_s);
    auto saved = sim.fields(117);
    QCOMPARE(QStringList({saved["text1"], saved["text2"], saved["text3"], saved["text4"],
                          saved["startup"], saved["directions"], saved["chars"]})
                 .join('|'),
             "Tessaline|Edited|Twenty characters!!||on|F5|" + table.toHex().toUpper());
    QVERIFY(sim.fields(100).isEmpty() && sim.fields(105).value("saves") == "0");
}

void tst_sim::refusals()
{
    // A live one on COM1; an operator's links to an adapter, plugged in or not; a folder on a
    // read-only file system, in a mount namespace of the program's own.
    Sim first("--port 1");
    const QString slave = first.waitReady(), readOnly = AppFolder() + "read-only";
    QVERIFY(QFile::link("/dev/null", linkPath(6)) && QFile::link("/dev/ttyUSB97", linkPath(8)));
    QVERIFY(slave.startsWith("/dev/") && QDir().mkpath(readOnly));
    const QStringList mountReadOnly
        = {"unshare", "--mount", "sh", "-c", "mount -t tmpfs -o ro tmpfs \"$0\" && exec \"$@\"",
           readOnly};

    // Bad options stop it before it needs a display; a taken port, an adapter's and a folder
    // where no link can be made stop it, saying why. Nothing is made, every link stays.
    const struct
    {
        QString options, message;
        bool display;
        QStringList wrapper = {};
    } cases[] = {
        {"--port 21", "from 1 to 20", false},
        {"--port 3 --address 256", "from 0 to 255", false},
        {"--port 3 --address 100 --address 100", "--address 100 is given twice", false},
        {"--port 3 --colour red", "Unknown option 'colour'", false},
        {"--port 3 --folder " + AppFolder() + "none/deeper", "none/deeper does not exist", false},
        {"--port 3 --folder " + IniPath(), "tessaline.ini is not a folder", false},
        {"--port 3 --folder " + readOnly, "Read-only file system", true, mountReadOnly},
        {"--port 1 --address 105", "COM1 is in use by another tessaline-sim", true},
        {"--port 6", "COM6 leads to /dev/null", true},
        {"--port 8", "COM8 leads to /dev/ttyUSB97", true},
    };
    Bench::writeSettings("");
    for (const auto &c : cases) {
        Sim sim(c.options, c.display, c.wrapper);
        const QString error = sim.finish();
        QVERIFY2(sim.process.exitStatus() == QProcess::NormalExit && sim.process.exitCode() != 0
                     && error.contains(c.message) && sim.out.isEmpty(),
                 qPrintable(error));
    }
    QCOMPARE(QFileInfo(linkPath(1)).symLinkTarget() + QFileInfo(linkPath(6)).symLinkTarget()
                 + QFileInfo(linkPath(8)).symLinkTarget(),
             slave + "/dev/null/dev/ttyUSB97");
    QVERIFY(!QFileInfo(linkPath(3)).isSymLink() && !QFileInfo::exists(AppFolder() + "none"));
    QCOMPARE(first.fields(100).value("selected"), u"no"_s);

    Sim help("--help", false);
    QVERIFY(help.finish().isEmpty() && help.process.exitCode() == 0);
    QVERIFY2(help.out.contains("--port <n>") && help.out.contains("--fresh"), qPrintable(help.out));

    // A caught signal ends it with its link removed; a fault of its own too, as the crash it
    // is. SIGKILL cannot be caught: the link stays, and the next one takes it over.
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, SIGRTMIN + 3, SIGSEGV,
                       SIGABRT, SIGKILL}) {
        Sim sim("--port 4");
        QVERIFY(!sim.waitReady().isEmpty() && QFileInfo(linkPath(4)).isSymLink());
        QVERIFY(::kill(pid_t(sim.process.processId()), signal) == 0);
        sim.finish();
        const bool caught = signal != SIGSEGV && signal != SIGABRT && signal != SIGKILL;
        QVERIFY2(QFileInfo(linkPath(4)).isSymLink() == (signal == SIGKILL)
                     && (caught ? sim.process.exitStatus() == QProcess::NormalExit
                                 && sim.process.exitCode() == 0
                                : sim.process.exitStatus() == QProcess::CrashExit),
                 qPrintable(QString::number(signal)));
    }
    Sim next("--port 4");
    const QString terminal = next.waitReady();
    QVERIFY2(terminal.startsWith("/dev/pts/") && QFileInfo(linkPath(4)).symLinkTarget() == terminal,
             qPrintable(next.out));
    QCOMPARE(next.fields(100).value("baud"), u"9600"_s);
}

// Each module starts from its EEPROM of the last run, showing texts 1 to 4 at start-up;
// --fresh starts blank, and a file cut short or another program's is reported and ignored.
void tst_sim::eepromFiles()
{
    {
        Sim sim("--port 2 --address 100 --address 105");
        QVERIFY(!sim.waitReady().isEmpty());
        Line line(linkPath(2));
        QVERIFY(line.send(bytes("ef64 fe3075 fe310f fe0f fe64 07*64 fe65 'Kept'")));
        QCOMPARE(sim.await(117, "text1", "Kept"), u"Kept"_s);
        QVERIFY(line.send(bytes("fe66 '20 characters, here!' fe67")));
        QCOMPARE(sim.await(117, "baud", "4800"), u"4800"_s);
        // The module now hears 4800 only.
        QVERIFY(line.setSpeed(B4800) && line.send(bytes("fe20 fe65 'Not saved'")));
        QCOMPARE(sim.await(117, "text1", "Not saved"), u"Not saved"_s);
    }
    const QString file = linkPath(2) + "-100.eeprom";
    QFile f(file);
    QVERIFY(!QFileInfo::exists(linkPath(2) + "-105.eeprom") && f.open(QIODevice::ReadOnly));
    const QByteArray saved = f.readAll();
    f.close();
    const struct
    {
        QByteArray content;
        QString options, state, warning;
    } cases[] = {
        {saved, "", "117 4800 0F Kept|20 characters, here!|| 07*64", ""},
        {saved, "--fresh", "100 9600 FF ||| 00*64", ""},
        {saved.chopped(40), "", "100 9600 FF ||| 00*64", "cut short"},
        {"[Settings]\nCommPort=1\n", "", "100 9600 FF ||| 00*64", "not an EEPROM file"},
    };
    for (const auto &c : cases) {
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(f.write(c.content) == c.content.size() && f.flush());
        f.close();
        Sim sim("--port 2 --address 100 --address 105 " + c.options);
        QVERIFY(!sim.waitReady().isEmpty());
        QStringList state;
        for (const char *key : {"baud", "directions", "rows", "chars"})
            state << sim.fields(c.state.left(3).toInt()).value(key);
        QCOMPARE(c.state.left(4) + state.join(' ') + sim.fields(105).value("baud"),
                 expand(c.state) + "9600");
        sim.process.terminate();
        const QString error = sim.finish();
        QVERIFY2(error.contains(file) == !c.warning.isEmpty() && error.contains(c.warning),
                 qPrintable(error));
    }
}

// A module at another speed understands nothing and counts it; only the addressed module
// answers. A flood, its answers unread, is read whole and the program keeps its size.
void tst_sim::speedAndFlood()
{
    Sim sim("--port 3 --address 100 --address 105 --address 132");
    QVERIFY(!sim.waitReady().isEmpty());
    Line line(linkPath(3));
    QVERIFY(line.setSpeed(B4800) && line.send(bytes("ef64 ef69")));
    QCOMPARE(sim.await(105, "garbled", "4"), u"4"_s);
    QVERIFY(line.setSpeed(B9600) && line.send(bytes("ef65 ef63 ef84")));
    QCOMPARE(sim.await(132, "selected", "yes"), u"yes"_s);
    QTRY_COMPARE(line.data, bytes("ee84"));
    for (int address : {100, 105, 132})
        QCOMPARE(sim.fields(address)["selected"] + sim.fields(address)["garbled"],
                 address == 132 ? "yes4" : "no4");

    // 3 MiB settle the allocator (and a sanitizer's caches); 24 MiB more leave the peak.
    line.notifier.setEnabled(false);
    const QByteArray block = bytes("ef64").repeated(8192) + QByteArray(32768, 'x');
    QFile status(u"/proc/%1/status"_s.arg(sim.process.processId()));
    static const QRegularExpression vmPeak("VmHWM:\\s*(\\d+)");
    qint64 peak[2] = {};
    for (int k = 0; k < 2; ++k) {
        for (int i = 0; i < (k ? 512 : 64); ++i)
            QVERIFY(line.send(block));
        const QString last = k ? u"done"_s : u"idle"_s;
        QVERIFY(line.send("\r" + last.toLatin1()));
        QCOMPARE(sim.await(100, "rows", last + "|||"), last + "|||");
        peak[k] = status.open(QIODevice::ReadOnly)
            ? vmPeak.match(status.readAll()).captured(1).toLongLong()
            : -1;
        status.close();
    }
    QVERIFY2(peak[0] > 0 && peak[1] - peak[0] < 4096,
             qPrintable(u"VmHWM %1 -> %2 KiB"_s.arg(peak[0]).arg(peak[1])));
}

QTEST_MAIN(tst_sim)
#include "tst_sim.moc"
