// The virtual modules: the model reading the wire protocol (one table of byte streams and what
// the modules then hold), EEPROM images, a long random stream, what the displays show, the
// window, the pty end of the line, and tessaline-sim as a process, driven by both windows of the
// control panel and by bytes on its line.
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

// Feeds the bus the bytes, "/" between two reads and "|" where the line goes quiet; gives the
// modules' answers in hex.
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

// The fields of a module's line of LcdBus::describe(), as tessaline-sim answers "state", and
// shorter ones: address, rows (trailing blanks gone, rows apart by "|"), text1 to text8.
QMap<QString, QString> fields(const QString &line)
{
    static const QRegularExpression field("(\\w+)=((?:\"[^\"]*\"[/,]?)+|\\S+)"),
        quoted("\"([^\"]*?) *\"");
    QMap<QString, QString> f;
    for (auto it = field.globalMatch(line); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        f.insert(m.captured(1), m.captured(2));
    }
    int n = 0;
    for (auto it = quoted.globalMatch(f.value("texts")); it.hasNext();)
        f.insert(u"text%1"_s.arg(++n), it.next().captured(1));
    QStringList rows;
    for (auto it = quoted.globalMatch(f.value("display")); it.hasNext();)
        rows << it.next().captured(1);
    f.insert("rows", rows.join('|'));
    f.insert("address", line.section(':', 0, 0).mid(7));
    return f;
}

// "i.key=value ..." as module i of the description has them, blanks shown as "_".
QString look(const QString &described, const QString &checks)
{
    const QStringList lines = described.split('\n');
    QStringList seen;
    for (const QString &check : checks.split(' ', Qt::SkipEmptyParts)) {
        const QString name = check.section('=', 0, 0);
        const auto f = fields(lines.value(name.section('.', 0, 0).toInt()));
        seen << name + '=' + f.value(name.section('.', 1)).replace(' ', '_');
    }
    return seen.join(' ');
}

QString glyphHex(const Glyph &g)
{
    return QByteArray(reinterpret_cast<const char *>(g.data()), DotRows).toHex();
}

QString linkPath(int port)
{
    return SettingsFolder() + u"ports/COM%1"_s.arg(port);
}

// The program's end of a line, opened by path as a serial port opens it; what comes back is
// collected by the event loop.
struct Line
{
    int fd;
    QSocketNotifier notifier;
    QByteArray data;
    bool hungUp = false;

    explicit Line(const QString &path)
        : fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY))
        , notifier(fd, QSocketNotifier::Read)
    {
        QObject::connect(&notifier, &QSocketNotifier::activated, &notifier, [this] {
            const int flags = ::fcntl(fd, F_GETFL);
            ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
            char buf[256];
            ssize_t n;
            while ((n = ::read(fd, buf, sizeof buf)) > 0)
                data.append(buf, int(n));
            hungUp = n == 0 || (n < 0 && errno != EAGAIN);
            notifier.setEnabled(!hungUp);
            ::fcntl(fd, F_SETFL, flags);
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

QProcessEnvironment environment(bool display = true)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(name);
    if (display)
        env.insert("QT_QPA_PLATFORM", "offscreen");
    // AddressSanitizer's quarantine would hold every buffer a flood frees: keep it small.
    env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":quarantine_size_mb=1");
    return env;
}

// One tessaline-sim with its ports/ link in this test program's settings folder.
struct Sim
{
    QProcess process;
    QString out;

    explicit Sim(const QString &options, bool display = true, const QStringList &wrapper = {})
    {
        process.setProcessEnvironment(environment(display));
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
    // The terminal of the "ready" line, once it came; empty when the program did not get there.
    QString waitReady()
    {
        static const QRegularExpression ready("^ready COM\\d+ (.*)$",
                                              QRegularExpression::MultilineOption);
        (void)QTest::qWaitFor(
            [&] { return out.contains(ready) || process.state() == QProcess::NotRunning; },
            Timeout);
        return ready.match(out).captured(1);
    }
    // What it said on stderr, once it ended.
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
        const QString line = QRegularExpression(u"^module %1: .*$"_s.arg(address),
                                                QRegularExpression::MultilineOption)
                                 .match(out, before)
                                 .captured();
        return line.isEmpty() ? QMap<QString, QString>() : ::fields(line);
    }
    // Asks again until the field reads as expected (the line and the query on stdin are read
    // in no fixed order), or the time is up; the last value read.
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
    void cleanup() { Bench::removeSettings(); }
    void frames();
    void eepromImage();
    void randomStream();
    void display();
    void window();
    void ptyEnd();
    void program();
    void refusals();
    void signalsAndKill();
    void eepromFiles();
    void speedAndFlood();
};

void tst_sim::frames()
{
    // What a stream does to modules 100 and 105: their answers in hex, then "i.key=value" of
    // module i.
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
        "one output off; ef64 fe0c fe33 03 49; ee64 0.outputs=F7",
        "outputs on, a wrong state or output uses up the frame; ef64 fe0c fe0d fe33 00 48 fe33 05 48 "
            "fe33 00 68 fe33 08 48 'q'; ee64 0.outputs=21 0.rows=q|||",
        "save, load, show text, flash; ef64 fe64 01*64 fe20 fe64 02*64 fe08 fe6a 'Door'| fe34 6a 02 "
            "fe0b; ee64 0.chars=01*64 0.saves=1 0.loads=1 0.text6=Door 0.rows=||Door| 0.backlight=flashing",
    };
    // clang-format on
    for (const QString row : rows) {
        LcdBus bus({100, 105});
        const QString expected = expand(row.section("; ", 2));
        const QString answers = feed(bus, row.section("; ", 1, 1));
        QCOMPARE(answers + ' ' + look(bus.describe(), expected.section(' ', 1)), expected);
    }
}

void tst_sim::eepromImage()
{
    // What a module saved comes back whole from its image, and at power-up: with the start-up
    // screen, texts 1 to 4 on rows 0 to 3.
    LcdBus bus;
    feed(bus,
         "ef64 fe3075 fe310f fe0f fe64 07*64 fe65 'Line' 01 ef 0a 5c| fe66 '20 characters "
         "whole!'| fe67| fe20 'x'");
    const QByteArray image = bus.module(0).eeprom().image();
    LcdModule restarted;
    restarted.powerUp(LcdSettings::fromImage(image).value_or(LcdSettings()));
    const QString saved = expand("0.address=117 0.baud=4800 0.directions=0F 0.startup=on 0.chars="
                                 "07*64 0.rows=Line\\X01\\XEF\\X0A\\X5C|20_characters_whole!||");
    QCOMPARE(look(restarted.describe(), saved), saved);
    QVERIFY(restarted.eeprom() == bus.module(0).eeprom() && bus.module(0).saveCount() == 1);

    // A file cut short, changed or another program's is refused with a reason.
    const auto with = [&](const QByteArray &from, const QByteArray &to) {
        return QByteArray(image).replace(from, to);
    };
    for (const QByteArray &bad :
         {QByteArray(), image.chopped(1), image + "extra 1\n", "[Settings]\r\nCommPort=1\r\n"_ba,
          with("address 117", "address 256"), with("baud 4800", "baud 19200"),
          with("directions 0F", "directions F"), with("startup on", "startup yes"),
          with("text3 \n", "text3 4\n"), with("text3 \n", "text3 " + QByteArray(42, '4') + '\n'),
          with("text3 \n", "text3 4g\n"), with("chars 07", "chars "),
          with("baud 4800\ndirections 0F", "directions 0F\nbaud 4800")}) {
        QString why;
        QVERIFY2(!LcdSettings::fromImage(bad, &why) && !why.isEmpty(), bad.constData());
    }
}

void tst_sim::randomStream()
{
    // Frame-opening bytes and addresses likelier than in plain noise: answers come whole, a
    // pause closes every frame, every module stays in range, and its display shows what it
    // holds, the cursor only adding dots.
    LcdBus bus({100, 105, 132});
    QRandomGenerator rng(20240611);
    const QByteArray favourites = bytes("efeafe64698432346765");
    for (int round = 0; round < 4000; ++round) {
        QByteArray chunk;
        for (int i = int(rng.bounded(1, 120)); i > 0; --i)
            chunk += rng.bounded(3) ? char(rng.bounded(256)) : favourites.at(rng.bounded(10));
        QCOMPARE(bus.feed(chunk).size() % 2, 0);
        if (rng.bounded(4) == 0) {
            bus.pause();
            QVERIFY(!bus.inFrame());
        }
        for (int k = 0; k < bus.moduleCount(); ++k) {
            const LcdModule &m = bus.module(k);
            QVERIFY(m.cursorRow() >= 0 && m.cursorRow() < 4 && m.cursorColumn() >= 0
                    && m.cursorColumn() < 20 && m.cursorType() >= LcdModule::Underscore
                    && m.cursorType() <= LcdModule::Hidden && (m.baud() == 4800 || m.baud() == 9600)
                    && m.userChars().size() == 64 && m.text(rng.bounded(1, 9)).size() <= 20);
            const Screen s = render(m, rng.bounded(2) == 0);
            for (int cell = 0; cell < CellCount; ++cell) {
                const Glyph shown = s.cells[size_t(cell)];
                const Glyph held = glyph(m.at(cell / 20, cell % 20), m.userChars());
                for (int d = 0; d < DotRows; ++d)
                    QCOMPARE(shown[size_t(d)] & held[size_t(d)], held[size_t(d)]);
                QVERIFY(shown == held || cell == m.cursorRow() * 20 + m.cursorColumn());
            }
        }
    }
    QVERIFY(look(bus.describe(), "0.rows 1.rows 2.rows").count("=|||") == 0);
}

void tst_sim::display()
{
    // Every printable code has a glyph of its own within five dots, above the cursor's row, not
    // the box of a code without one; blanks are blank.
    const Glyph box = fontGlyph(0x7F);
    QVERIFY(fontGlyph(0x81) == box && fontGlyph(31) == box);
    QVERIFY(fontGlyph(' ') == Glyph {} && fontGlyph(0xA0) == Glyph {});
    QHash<QString, int> seen;
    for (int code = 33; code <= 0xFF; ++code) {
        if (code > 126 && code < 0xA1 && !bytes("808a8c8e9a9c9e9f").contains(char(code)))
            continue;
        const Glyph g = fontGlyph(quint8(code));
        QVERIFY2(g != Glyph {} && g != box && g[CursorDotRow] == 0 && !seen.contains(glyphHex(g))
                     && std::all_of(g.begin(), g.end(), [](quint8 row) { return row < 32; }),
                 qPrintable(u"%1 like %2"_s.arg(code).arg(seen.value(glyphHex(g)))));
        seen.insert(glyphHex(g), code);
    }

    // A cell of the display after a stream, in the on or off phase of the blink: its dots and
    // whether the panel is lit.
    // clang-format off
    const char *const cells[] = {
        "user character 1 from its rows, bits 5 to 7 left out; fe64 f0e1d2c3b4a59687 00*56 fe03 00; on 0; 1001120314051607 lit",
        "a character under the underscore; 'A' fe32 00 00; off 0; 0e1111111f11111f lit",
        "the blinking cursor; 'A' fe32 00 00 fe02; on 0; 1f1f1f1f1f1f1f1f lit",
        "the blinking cursor off; 'A' fe32 00 00 fe02; off 0; 0e1111111f111100 lit",
        "the hidden cursor; 'AB' fe03; on 1; 1e11111e11111e00 lit",
        "backlight off; 'A' fe07; on 0; 0e1111111f111100 dark",
        "backlight flashing; fe0b; on 0; 000000000000001f lit",
        "backlight flashing off; fe0b; off 0; 000000000000001f dark",
    };
    // clang-format on
    for (const QString c : cells) {
        LcdBus bus;
        feed(bus, "ef64 " + c.section("; ", 1, 1));
        const QStringList where = c.section("; ", 2, 2).split(' ');
        const Screen s = render(bus.module(0), where[0] == "on");
        QCOMPARE(glyphHex(s.cell(0, where[1].toInt())) + (s.backlit ? " lit" : " dark"),
                 c.section("; ", 3));
    }
}

void tst_sim::window()
{
    LcdBus bus({100, 105});
    SimWindow w(bus);
    w.setPort(3, "/dev/pts/7");
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QWidget *second = w.moduleView(1);
    const auto text
        = [&](const QString &name) { return Bench::child<QLabel>(second, name)->text(); };
    // Where every label and lamp stands, once the layouts have settled.
    const auto places = [&] {
        QCoreApplication::sendPostedEvents();
        QList<QPoint> all;
        for (QWidget *child : w.findChildren<QWidget *>())
            all << child->mapTo(&w, QPoint());
        return all;
    };
    const QList<QPoint> fresh = places();

    // Module 105 gets a session; 100 sees only the selections.
    feed(bus,
         "ef69 fe64 00*32 18 00*31 'Hi' 04 fe03 fe310f fe33 01 48 fe33 06 48 fe66 'Door "
         "open'|fe67|");
    w.refresh();
    QString lamps;
    for (int i = 0; i < 8; ++i) {
        const Lamp *output = Bench::child<Lamp>(second, u"output_%1"_s.arg(i));
        lamps += u"%1%2%3 "_s.arg(output->isLit())
                     .arg(output->isDriven())
                     .arg(text(u"direction_%1"_s.arg(i)));
    }
    QCOMPARE(second->property("title").toString() + '|' + text("speed") + '|' + text("selected")
                 + '|' + text("cursor") + '|' + text("text_2") + '|' + lamps,
             "Module 105|4800 baud|selected|hidden at row 0, column 3|Door open|01out 11out 01out "
             "01out 00in 00in 10in 00in ");
    QVERIFY(Bench::child<Lamp>(second, "selectedLamp")->isLit());
    QVERIFY(!Bench::child<Lamp>(w.moduleView(0), "selectedLamp")->isLit());

    // The painted display: the dots of 'H' and of character 5, the panel between two
    // characters, character 5 beside the texts; then the dark panel.
    auto *display = Bench::child<LcdCells>(second, "display");
    const auto at = [&](LcdCells *cells, int column, int dotRow, int dotColumn, int shift = 0) {
        return cells->grab().toImage().pixel(cells->dotRect(0, column, dotRow, dotColumn).center()
                                             + QPoint(shift, 0));
    };
    const QRgb on = LcdCells::dotColor(true, true).rgb(),
               off = LcdCells::dotColor(true, false).rgb();
    QVERIFY(at(display, 0, 0, 0) == on && at(display, 0, 0, 1) == off
            && at(display, 0, 3, 2) == on);
    QVERIFY(at(display, 2, 0, 1) == on && at(display, 2, 0, 4) == off
            && at(display, 2, 1, 1) == off);
    QCOMPARE(at(display, 0, 0, 4, display->pitch()), LcdCells::panelColor(true).rgb());
    auto *chars = Bench::child<LcdCells>(second, "userChars");
    QVERIFY(at(chars, 4, 0, 0) == on && at(chars, 3, 0, 0) == off);
    feed(bus, "fe07");
    w.refresh();
    QCOMPARE(at(display, 0, 0, 0), LcdCells::dotColor(false, true).rgb());

    // A new address shows in the title and the line; nothing moves for longer values.
    feed(bus, "fe3078 fe02 fe0b fe32 03 13 fe3100 ef64 fe0c" + u"fe20 fe08 "_s.repeated(3000));
    bus.module(0).countGarbled(Q_INT64_C(1) << 40);
    w.refresh();
    QCOMPARE(second->property("title").toString() + '|' + Bench::child<QLabel>(&w, "line")->text(),
             u"Module 120|COM3: ports/COM3 \u2192 /dev/pts/7    modules at 100, 120"_s);
    QCOMPARE(places(), fresh);

    // The display grows with the window, in whole dots; the cursor blinks and the backlight
    // flashes on their own.
    feed(bus, "ef78 fe32 00 03");
    const int width = display->dotRect(0, 0, 0, 0).width();
    w.resize(w.width() * 2, w.height() * 2);
    QTRY_VERIFY(display->dotRect(0, 0, 0, 0).width() >= 2 * width);
    QVERIFY(display->rect().contains(display->dotRect(3, 19, 7, 4)));
    QCOMPARE(at(display, 0, 0, 0), LcdCells::dotColor(display->isBacklit(), true).rgb());
    const auto cursorLit = [&] { return glyphHex(display->cells().at(3)) == "1f1f1f1f1f1f1f1f"; };
    QTRY_VERIFY(cursorLit() && display->isBacklit());
    QTRY_VERIFY(!cursorLit() && !display->isBacklit());
}

void tst_sim::ptyEnd()
{
    QTemporaryDir dir;
    LcdBus bus({100, 105});
    SimPort port(&bus), other;
    const QString link = dir.filePath("ports/COM3");
    QVERIFY2(port.open(3, dir.path()), qPrintable(port.errorString()));
    QCOMPARE(QFileInfo(link).symLinkTarget(), port.slavePath());
    Line program(port.linkPath());

    // Every byte value arrives unchanged both ways (no echo, no CR/LF mapping); selections are
    // answered on the line, and a pause reaches the bus.
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    QVERIFY(program.send(all) && port.write(all));
    QTRY_COMPARE(port.received(), all);
    QTRY_COMPARE(program.data, all);
    QVERIFY(program.send(bytes("ef69 ef65 ef64 'Hi' fe65 'Hello'")));
    QTRY_COMPARE(program.data, all + bytes("ee69 ee64"));
    QTRY_COMPARE(look(bus.describe(), "0.rows 0.text1 1.selected"),
                 u"0.rows=Hi||| 0.text1=Hello 1.selected=no"_s);

    // A live port's link is taken over only when asked, and its close then leaves the new one.
    QVERIFY(!other.open(3, dir.path())
            && other.errorString().endsWith("COM3 is in use by another tessaline-sim"));
    QVERIFY(other.open(3, dir.path(), SimPort::Existing::Replace));
    port.close();
    QCOMPARE(QFileInfo(link).symLinkTarget(), other.slavePath());

    // A pulled cable: the program sees the line go, the link stays until the port closes.
    Line second(other.linkPath());
    other.closeMaster();
    QVERIFY(!other.isOpen() && !other.write("x"));
    QTRY_VERIFY(second.hungUp);
    QVERIFY(QFileInfo(link).isSymLink());
    other.close();
    QVERIFY(!QFileInfo(link).isSymLink() && !QFile::exists(link + ".lock"));
    // A folder in the link's place is never replaced.
    QVERIFY(QDir().mkdir(link));
    QVERIFY(!other.open(3, dir.path(), SimPort::Existing::Replace)
            && other.errorString().endsWith("COM3 is a folder"));
}

void tst_sim::program()
{
    std::array<int, 64> rows;
    QByteArray table;
    for (int i = 0; i < 64; ++i)
        table += char(rows[size_t(i)] = (i + 11) & 0x1F);
    Bench::writeSettings(Bench::iniFile({"Tessaline", "", "Twenty characters!!"}, rows, 7, "9600"));
    Sim sim("--port 7 --address 100 --address 105 --address 132 --address 133");
    const QString terminal = sim.waitReady();
    QVERIFY2(terminal.startsWith("/dev/"), qPrintable(sim.out));
    QCOMPARE(QFileInfo(linkPath(7)).symLinkTarget(), terminal);

    // The main window, on COM7 at 9600 as the settings file says. 133 is no item of the address
    // list: typed, it goes out as 99 and nobody answers; 132 and 100 do.
    modVariables vars;
    frmMain w(vars);
    QString status;
    Bench::act(&w, "cmdConnect");
    for (const char *address : {"133", "132", "100"}) {
        Bench::act(&w, u"cboAddr=%1,cmdSelect"_s.arg(address));
        status += Bench::child<QLabel>(&w, "StatusPanel1")->text() + ':'
            + Bench::child<QLabel>(&w, "lblRxData")->text() + '|';
    }
    QCOMPARE(status,
             u"Device Not Found:|Device 132 Connected:EE 84 |Device 100 Connected:EE 64 |"_s);
    QCOMPARE(sim.fields(133).value("selected") + sim.fields(132).value("selected"), u"nono"_s);
    QTest::keyClicks(Bench::child<QLineEdit>(&w, "txtASCIIInput"), "Hello");
    Bench::act(&w, "cboOutput=3,cboSta=ON,cmdout1,cmdBLFlash");
    QCOMPARE(sim.await(100, "backlight", "flashing"), u"flashing"_s);
    QCOMPARE(sim.fields(100).value("rows") + sim.fields(100).value("outputs")
                 + sim.fields(105).value("rows"),
             u"Hello|||08|||"_s);

    // The configuration window: texts, directions, characters, EEPROM, a new address.
    Bench::act(&w, "mnuCfg");
    QWidget *cfg = nullptr;
    for (QWidget *top : QApplication::topLevelWidgets())
        cfg = qobject_cast<frmCfg *>(top) ? top : cfg;
    QVERIFY(cfg);
    Bench::act(cfg,
               "TxtPL_1=Edited,Check1,cmdSetPT,cboIO_1=INPUT,cboIO_3=INPUT,cmdSetIO,"
               "cmdSendBitmap,cmdSave,cboUID=117,cmdSetUID");
    QCOMPARE(sim.await(117, "saves", "1"), u"1"_s);
    const auto saved = sim.fields(117);
    QCOMPARE(QStringList({saved["text1"], saved["text2"], saved["text3"], saved["text4"],
                          saved["startup"], saved["directions"], saved["chars"]})
                 .join('|'),
             "Tessaline|Edited|Twenty characters!!||on|F5|" + table.toHex().toUpper());
    QVERIFY(sim.fields(100).isEmpty());
    QCOMPARE(sim.fields(105).value("saves"), u"0"_s);
}

void tst_sim::refusals()
{
    Sim first("--port 1");
    const QString slave = first.waitReady();
    QVERIFY(slave.startsWith("/dev/"));
    // An operator's links to an adapter, plugged in or not; a folder whose ports is a file; a
    // folder on a read-only file system, in a mount namespace of the program's own.
    QVERIFY(QFile::link("/dev/null", linkPath(6)) && QFile::link("/dev/ttyUSB97", linkPath(8)));
    const QString plain = AppFolder() + "plain", readOnly = AppFolder() + "read-only";
    QVERIFY(QDir().mkpath(plain) && QDir().mkpath(readOnly));
    QVERIFY(QFile(plain + "/ports").open(QIODevice::WriteOnly));
    const QStringList mountReadOnly
        = {"unshare", "--mount", "sh", "-c", "mount -t tmpfs -o ro tmpfs \"$0\" && exec \"$@\"",
           readOnly};

    // Options that make no sense stop it before it needs a display; a taken port, an adapter's
    // port and a folder where the link cannot be made, with a message that says why. Nothing
    // is said ready, nothing is created, and every link stays as it was.
    const struct
    {
        QString options, message;
        bool display;
        QStringList wrapper = {};
    } cases[] = {
        {"--port 0", "from 1 to 20", false},
        {"--port 21", "from 1 to 20", false},
        {"--port 3 --address 256", "from 0 to 255", false},
        {"--port 3 --address 100 --address 100", "--address 100 is given twice", false},
        {"--port 3 --colour red", "Unknown option 'colour'", false},
        {"--port 3 --folder " + AppFolder() + "none/deeper", "none/deeper does not exist", false},
        {"--port 3 --folder " + IniPath(), "tessaline.ini is not a folder", false},
        {"--port 3 --folder " + plain, "plain/ports is not a folder", true},
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

    // Help needs no display either.
    Sim help("--help", false);
    QVERIFY(help.finish().isEmpty() && help.process.exitCode() == 0);
    QVERIFY2(help.out.contains("--port <n>") && help.out.contains("--fresh"), qPrintable(help.out));
}

// A caught signal ends it with its link removed; a fault of its own too, as the crash it is.
// SIGKILL cannot be caught: the link stays, and the next one takes it over.
void tst_sim::signalsAndKill()
{
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, SIGRTMIN + 3, SIGSEGV,
                       SIGABRT, SIGKILL}) {
        Sim sim("--port 4");
        QVERIFY(!sim.waitReady().isEmpty() && QFileInfo(linkPath(4)).isSymLink());
        QVERIFY(::kill(pid_t(sim.process.processId()), signal) == 0);
        sim.finish();
        const bool caught = signal != SIGSEGV && signal != SIGABRT && signal != SIGKILL;
        QCOMPARE(sim.process.exitStatus(), caught ? QProcess::NormalExit : QProcess::CrashExit);
        QVERIFY2(QFileInfo(linkPath(4)).isSymLink() == (signal == SIGKILL)
                     && (!caught || sim.process.exitCode() == 0),
                 qPrintable(QString::number(signal)));
    }
    Sim next("--port 4");
    const QString terminal = next.waitReady();
    QVERIFY2(terminal.startsWith("/dev/pts/"), qPrintable(next.out));
    QCOMPARE(QFileInfo(linkPath(4)).symLinkTarget(), terminal);
    QCOMPARE(next.fields(100).value("baud"), u"9600"_s);
}

// Each module starts from what its EEPROM held when the last run ended, as after a power
// cycle; --fresh starts blank, and a file that is cut or another program's is reported and
// ignored.
void tst_sim::eepromFiles()
{
    const QString file = linkPath(2) + "-100.eeprom";
    {
        Sim sim("--port 2 --address 100 --address 105");
        QVERIFY(!sim.waitReady().isEmpty());
        Line line(linkPath(2));
        QVERIFY(line.send(bytes("ef64 fe3075 fe310f fe0f fe65 'Kept'")));
        QCOMPARE(sim.await(117, "text1", "Kept"), u"Kept"_s);
        QVERIFY(line.send(bytes("fe67")));
        QCOMPARE(sim.await(117, "baud", "4800"), u"4800"_s);
        // The module now hears 4800 only.
        QVERIFY(line.setSpeed(B4800) && line.send(bytes("fe20")));
        QCOMPARE(sim.await(117, "saves", "1"), u"1"_s);
        QVERIFY(line.send(bytes("fe65 'Not saved'")));
        QCOMPARE(sim.await(117, "text1", "Not saved"), u"Not saved"_s);
    }
    QVERIFY(!QFileInfo::exists(linkPath(2) + "-105.eeprom"));
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray saved = f.readAll();
    f.close();
    const struct
    {
        QByteArray content;
        QString options;
        int address;
        QString state, warning;
    } cases[] = {
        {saved, "", 117, "4800 0F Kept|||", ""},
        {saved, "--fresh", 100, "9600 FF |||", ""},
        {saved.chopped(40), "", 100, "9600 FF |||", "cut short"},
        {"[Settings]\nCommPort=1\n", "", 100, "9600 FF |||", "not an EEPROM file"},
    };
    for (const auto &c : cases) {
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate)
                && f.write(c.content) == c.content.size());
        f.close();
        Sim sim("--port 2 --address 100 --address 105 " + c.options);
        QVERIFY(!sim.waitReady().isEmpty());
        const auto m = sim.fields(c.address);
        QCOMPARE(m.value("baud") + ' ' + m.value("directions") + ' ' + m.value("rows")
                     + sim.fields(105).value("baud"),
                 c.state + "9600");
        sim.process.terminate();
        const QString error = sim.finish();
        QVERIFY2(error.contains(file) == !c.warning.isEmpty() && error.contains(c.warning),
                 qPrintable(error));
    }
}

// A module hears only its own speed: at another one it understands nothing, answers nothing,
// and counts what it got; only the addressed module answers. A flood that nobody answers fast
// enough, the answers unread: all of it is read, and the program keeps its size.
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
    QString seen;
    for (int address : {100, 105, 132})
        seen += sim.fields(address).value("selected") + sim.fields(address).value("garbled");
    QCOMPARE(seen, u"no4no4yes4"_s);

    // The first 4 MiB settle the allocator (and a sanitizer's own caches); after them, 32 MiB
    // more leave the peak of its resident size where it was.
    line.notifier.setEnabled(false);
    const QByteArray block = bytes("ef64").repeated(8192) + QByteArray(32768, 'x');
    QFile status(u"/proc/%1/status"_s.arg(sim.process.processId()));
    qint64 peak[2] = {};
    for (int k = 0; k < 2; ++k) {
        for (int i = 0; i < (k ? 512 : 64); ++i)
            QVERIFY(line.send(block));
        const QString last = k ? u"done"_s : u"idle"_s;
        QVERIFY(line.send("\r" + last.toLatin1()));
        QCOMPARE(sim.await(100, "rows", last + "|||"), last + "|||");
        QVERIFY(status.open(QIODevice::ReadOnly));
        peak[k] = QString(status.readAll())
                      .section("VmHWM:", 1)
                      .section("kB", 0, 0)
                      .trimmed()
                      .toLongLong();
        status.close();
    }
    QVERIFY2(peak[0] > 0 && peak[1] - peak[0] < 4096,
             qPrintable(u"VmHWM %1 -> %2 KiB"_s.arg(peak[0]).arg(peak[1])));
}

QTEST_MAIN(tst_sim)
#include "tst_sim.moc"
