// tessaline-cli as a process against virtual modules on a pty: the bytes that each group of
// commands puts on the line and what the modules make of them, the exit statuses and their
// messages, a dry run without any port, and a provision run beside what the configuration window
// sends for the same profile, which it exported and imports again.
#include "cfgsupport.h"
#include "display/frames.h"
#include "link/commport.h"
#include "sim/lcdbus.h"

#include <QAction>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>

using namespace TestSupport;
using namespace CfgSupport;
using namespace Qt::StringLiterals;

namespace {

// The copy that the test runs: beside it stands no settings file, so it takes the test's own,
// as the windows of the test do.
QString program()
{
    return QCoreApplication::applicationDirPath() + "/tessaline-cli";
}

QString testFile(const QString &name)
{
    return QCoreApplication::applicationDirPath() + '/' + name;
}

// Words separated by blanks; a quoted word may hold blanks or be empty. {name} stands for the
// test's file of that name, {lobby} for the README's example profile.
QStringList words(const QString &line)
{
    QStringList out;
    static const QRegularExpression word("\"([^\"]*)\"|(\\S+)");
    for (auto it = word.globalMatch(line); it.hasNext();) {
        const auto m = it.next();
        QString w = m.hasCaptured(1) ? m.captured(1) : m.captured(2);
        w.replace("{lobby}", TESSALINE_SOURCE "/docs/lobby-profile.ini");
        static const QRegularExpression file(R"(\{([\w.-]+)\})");
        if (const auto f = file.match(w); f.hasMatch())
            w.replace(f.captured(0), testFile(f.captured(1)));
        out << w;
    }
    return out;
}

struct Run
{
    int status = -1;
    QString out;
    QString err;
};

// Runs the program while this test's event loop serves the line.
Run cli(const QStringList &arguments)
{
    QProcess process;
    QSignalSpy done(&process, &QProcess::finished);
    process.start(program(), arguments);
    Run run;
    if (!done.wait(30000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    if (process.exitStatus() == QProcess::NormalExit)
        run.status = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// Port, speed and address of the settings file, its texts and its characters (rowsWith()).
QByteArray settingsFile(int port, int rate, int address)
{
    return iniFile({"Hello"}, rowsWith(), port, QByteArray::number(rate))
        .replace("UID=100", "UID=" + QByteArray::number(address));
}

QByteArray table(const Rows &rows)
{
    QByteArray bytes;
    for (int row : rows)
        bytes += char(row);
    return bytes;
}

} // namespace

class tst_cli : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup() { removeSettings(); }
    void commands_data();
    void commands();
    void provisionLikeWindow();
};

void tst_cli::initTestCase()
{
    QFile::remove(program());
    QVERIFY(QFile::copy(TESSALINE_CLI, program()));
    // No toolkit beyond Qt Core and SerialPort: it runs where there is no display.
    QProcess ldd;
    ldd.start("ldd", {program()});
    QVERIFY(ldd.waitForFinished());
    const QString libraries = QString::fromLocal8Bit(ldd.readAllStandardOutput());
    QVERIFY(libraries.contains("libQt6SerialPort") && libraries.contains("libQt6Core"));
    QVERIFY2(!libraries.contains("libQt6Gui") && !libraries.contains("libQt6Widgets"),
             qPrintable(libraries));

    const auto write = [](const QString &name, const QByteArray &content) {
        QFile file(testFile(name));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    };
    write("chars.ini", iniFile({}, rowsWith({{9, 255}})));
    write("bad-chars.ini", iniFile({}, rowsWith()).replace("UCHAR2R3=23", "UCHAR2R3=x"));
    QFile lobby(TESSALINE_SOURCE "/docs/lobby-profile.ini");
    QVERIFY(lobby.open(QIODevice::ReadOnly));
    write("bad-profile.ini", lobby.readAll().replace("IO3=OUTPUT", "IO3=up"));
}

void tst_cli::commands_data()
{
    // The settings file's port, speed and address; the modules on the bus (address@speed);
    // the command line; the exit status; the bytes on the line; what the program printed on
    // stdout and stderr (patterns); what the module keeps (part of its description).
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("modules");
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::addColumn<QString>("kept");
    const auto row
        = [](const char *name, const QString &settings, const QString &modules,
             const QString &arguments, int status, const QByteArray &line, const QString &out = {},
             const QString &err = {}, const QString &kept = {}) {
              QTest::newRow(name) << settings << modules << arguments << status << line << out
                                  << err << kept;
          };
    const QString usage = R"(\nusage: tessaline-cli \[--port N .*\n)";
    const QByteArray select100 = Frames::SelectDevice(100);
    QByteArray scan;
    for (int a = 100; a <= 132; ++a)
        scan += Frames::SelectDevice(quint8(a));
    QByteArray texts;
    const QStringList stored
        = {"Hi", "", u"Caf\u00e9 \u20ac"_s, "x", "", "", "", "Twenty characters..."};
    for (int n = 1; n <= 8; ++n)
        texts += Frames::StoreText(quint8(n), Ansi::encode(stored[n - 1]));

    // The README's example, and text in the code page with the position before it.
    row("text", "1 9600 100", "100", "--port 1 --baud 9600 --address 100 text Hello --at 1,0", 0,
        QByteArray::fromHex("ef64 fe320100 48656c6c6f"), {}, {},
        R"(display="                    "/"Hello               ")");
    row("text in the code page", "1 9600 100", "100",
        u"--port 1 --baud 9600 text --at 2,14 \"Caf\u00e9 \u20ac\""_s, 0,
        QByteArray::fromHex("ef64 fe32020e 436166e92080"), {}, {},
        R"(/"              Caf\XE9 \X80"/)");
    // Port, speed and address from the settings file as the windows read them.
    row("defaults", "1 4800 105", "105@4800", "clear", 0, QByteArray::fromHex("ef69 0d"), {}, {},
        "module 105: selected=yes baud=4800");
    row("display commands", "1 9600 100", "100",
        "clear home next-line cursor blinking position 2 19 backlight off output 5 off "
        "outputs on show-text 8 3 char 1 load-chars",
        0, QByteArray::fromHex("ef64 0d 0b 0c fe02 fe320213 fe07 fe330549 fe0c fe346c03 00 fe08"),
        {}, {},
        R"(backlight=off cursor=blinking@3,0 outputs=FF directions=FF startup=off saves=0 loads=1 garbled=0 display="                    "/"                    "/"                   \X00")");
    row("verbose selection", "1 9600 100", "100", "-v select deselect", 0,
        QByteArray::fromHex("ef64 ea"),
        "EF 64 SelectDevice 100\nEE 64 SelectReply 100\nEA DeselectDevice\n", {},
        "module 100: selected=no");
    // After the search the bus has no module selected, as before it; the next command selects.
    row("scan", "1 9600 105", "99 100 105 132", "scan clear", 0,
        scan + QByteArray::fromHex("ea ef69 0d"), "100\n105\n132\n", {},
        "module 105: selected=yes");
    row("directions and save", "1 9600 100", "100",
        "set-io out in IN in input in in OUTPUT save-eeprom", 0,
        QByteArray::fromHex("ef64 fe3181 fe20"), {}, {}, "directions=81 startup=off saves=1");
    row("stored texts", "1 9600 100", "100",
        u"store-texts Hi \"\" \"Caf\u00e9 \u20ac\" x \"\" \"\" \"\" \"Twenty characters...\" on"_s,
        0, select100 + texts + Frames::StartupScreenOn().bytes, {}, {},
        R"(startup=on saves=0 loads=0 garbled=0 display="                    "/"                    "/"                    "/"                    " texts="Hi              ","                ","Caf\XE9 \X80          ","x               ","                ","                ","                ","Twenty characters...")");
    row("characters of the settings file", "1 9600 100", "100", "upload-chars", 0,
        select100 + Frames::UploadChars({}).bytes.left(2) + table(rowsWith()), {}, {},
        "chars=" + table(rowsWith()).toHex().toUpper());
    row("characters of a file", "1 9600 100", "100", "upload-chars {chars.ini} load-chars", 0,
        select100 + Frames::UploadChars({}).bytes.left(2) + table(rowsWith({{9, 255}}))
            + Frames::LoadBitmaps().bytes);
    // The module answers at its new address, and hears only its new speed.
    row("new address", "1 9600 100", "100", "set-uid 117 clear", 0,
        QByteArray::fromHex("ef64 fe3075 ef75 0d"), {}, {}, "module 117: selected=yes");
    row("new speed", "1 9600 100", "100", "set-baud 4800 text X", 0,
        QByteArray::fromHex("ef64 fe67 ef64 58"), {}, {},
        R"(baud=4800 backlight=on cursor=underscore@0,1 outputs=00 directions=FF startup=off saves=0 loads=0 garbled=0 display="X )");
    row("provision", "1 9600 100", "100", "provision {lobby}", 0, "-", {}, {},
        R"(module 105: selected=yes baud=4800 backlight=on cursor=underscore@0,0 outputs=00 directions=0F startup=on saves=2 )");

    // No answer, no port, bad arguments and files: nothing sent that the call did not get to.
    row("no answer", "1 9600 100", "100", "--address 101 clear home", 3, Frames::SelectDevice(101),
        {}, "tessaline-cli: no answer from module 101 on COM1\n");
    row("wrong speed", "1 9600 100", "100", "--baud 4800 select", 3, select100, {},
        "tessaline-cli: no answer from module 100 on COM1\n", "garbled=2");
    row("no selection", "1 9600 100", "100", "--address 101 --no-select clear", 0,
        Frames::ClearCode(), {}, {}, "module 100: selected=no");
    row("no device", "1 9600 100", "100", "--device /nonexistent/tty clear", 2, {}, {},
        "tessaline-cli: cannot open /nonexistent/tty: no such device\n");
    row("no port", "2 9600 100", "100", "clear", 2, {}, {},
        R"(tessaline-cli: cannot open COM2 \(/.*/ports/COM2\): no such device\n)");
    row("bad number", "1 9600 100", "100", "clear position 4 1", 1, {}, {},
        R"(tessaline-cli: ROW must be a number from 0 to 3, not "4")" + usage);
    row("bad word", "1 9600 100", "100", "backlight dim", 1, {}, {},
        R"(tessaline-cli: backlight must be on\|off\|flash, not "dim")" + usage);
    row("control character", "1 9600 100", "100", "text \"a\tb\"", 1, {}, {},
        R"(tessaline-cli: text holds a control character \(code 9\), which no key sends)" + usage);
    row("two lines", "1 9600 100", "100", "--port 1 --device /dev/null clear", 1, {}, {},
        "tessaline-cli: --port and --device name the line twice" + usage);
    row("no command", "1 9600 100", "100", "--verbose", 1, {}, {},
        "tessaline-cli: no command given" + usage);
    row("bad characters", "1 9600 100", "100", "clear upload-chars {bad-chars.ini}", 1, {}, {},
        R"(tessaline-cli: /.*/bad-chars.ini: \[UDC\] UCHAR2R3 = "x" is not a number from 0 to 255\n)");
    row("bad profile", "1 9600 100", "100", "provision {bad-profile.ini}", 1, {}, {},
        R"(tessaline-cli: /.*/bad-profile.ini: \[Module\] IO3 = "up" is neither OUTPUT nor INPUT\n)");

    // A dry run prints the frames and opens no port: COM3 has none.
    row("dry run", "3 9600 100", "100", "--dry-run --address 101 text Hi set-baud 4800 save-eeprom",
        0, {},
        "EF 65 SelectDevice 101\n48 TextChar \"H\"\n69 TextChar \"i\"\nFE 67 SetBaud4800\n"
        "EF 65 SelectDevice 101\nFE 20 SaveToEeprom\n");
    row("dry provision", "3 9600 100", "100", "-n provision {lobby}", 0, {},
        "EF 64 SelectDevice 100\n(FE 6[5-9A-C] .* StoreText [1-8] .*\n){8}FE 0F StartupScreenOn\n"
        "FE 64 04 0E 0E 0E 1F 00 04 00 00 01 .* UploadChars 1: 04 0E .*\n"
        "FE 31 0F SetIoDirection outputs 1 2 3 4\nFE 20 SaveToEeprom\nFE 67 SetBaud4800\n"
        "EF 64 SelectDevice 100\nFE 30 69 SetUid 105\nEF 69 SelectDevice 105\n"
        "FE 20 SaveToEeprom\n");
}

void tst_cli::commands()
{
    QFETCH(QString, settings);
    QFETCH(QString, modules);
    QFETCH(QString, arguments);
    QFETCH(int, status);
    QFETCH(QByteArray, line);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(QString, kept);

    const QStringList s = settings.split(' ');
    const QByteArray file = settingsFile(s[0].toInt(), s[1].toInt(), s[2].toInt());
    writeSettings(file);
    LcdBus bus(QList<quint8> {});
    for (const QString &m : modules.split(' ')) {
        LcdModule &module = bus.addModule(quint8(m.section('@', 0, 0).toInt()));
        if (m.contains('@'))
            module.setBaud(m.section('@', 1).toInt());
    }
    SimPort pty(&bus);
    pty.setSpeedChecked(true); // a module hears only its own speed
    QVERIFY(pty.open(1, QString(), SimPort::Existing::Replace));
    // COM2 leads nowhere.
    QFile::remove(SettingsFolder() + "ports/COM2");
    QVERIFY(QFile::link(SettingsFolder() + "ports/gone", SettingsFolder() + "ports/COM2"));

    const Run run = cli(words(arguments));
    QCOMPARE(run.status, status);
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(out)).match(run.out).hasMatch(),
             qPrintable(run.out));
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(err)).match(run.err).hasMatch(),
             qPrintable(run.err));
    // Every byte is on the line before the program ends ("-": bytes checked elsewhere).
    if (line != "-")
        QCOMPARE(pty.received().toHex(' '), line.toHex(' '));
    QVERIFY2(bus.describe().contains(kept), qPrintable(bus.describe()));
    QCOMPARE(readSettings(), file); // never written
}

// The configuration window exports its settings as a profile and sends them with its buttons;
// provision sends the same frames in the same order, with the selections that show the module
// still answering after its speed and its address changed, and a second save to keep them.
// Imported again, the profile gives the window back as it was.
void tst_cli::provisionLikeWindow()
{
    writeSettings(settingsFile(1, 9600, 100));
    const QByteArray file = readSettings();
    MainBench b; // a bare line: only the bytes count here
    b.get<QAction>("mnuCfg")->trigger();
    frmCfg *cfg = cfgWindow();
    QVERIFY(cfg && cfg->MSComm1().isOpen());
    QTRY_COMPARE(b.pty.received(), Frames::SelectDevice(100).bytes);
    const QString steps = u"TxtPL_0=   Centred,TxtPL_2=Caf\u00e9,TxtPL_3=\"quoted\","
                          "TxtPL_7=Twenty characters...,Check1,cboIO_1=INPUT,cboIO_4=INPUT,"
                          "cboIO_6=typed,cboUID=117,optBaud48"_s;
    act(cfg, steps);
    const QString profile = testFile("exported.ini");
    QFile::remove(profile);
    QVERIFY(cfg->exportProfile(profile));
    QCOMPARE(child<QLabel>(cfg, "StatusPanel1")->text(), u"Exported the profile exported.ini"_s);

    b.pty.clearReceived();
    act(cfg, "cmdSetPT,cmdSendBitmap,cmdSetIO,cmdSave,cmdSetBaud,cmdSetUID");
    QTRY_COMPARE(b.pty.received().size(), 8 * 18 + 4 + 2 + 66 + 3 + 2 + 2 + 3);
    const QByteArray window = b.pty.received();
    QVERIFY(window.endsWith(QByteArray::fromHex("fe20 fe67 fe3075")));

    // The same profile, by the command line, to a module that hears only its own speed.
    cfg->close();
    LcdBus bus({100});
    b.pty.setBus(&bus);
    b.pty.setSpeedChecked(true);
    b.pty.clearReceived();
    const Run run = cli({"--port", "1", "provision", profile});
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out + run.err, QString());
    const QByteArray select100 = Frames::SelectDevice(100);
    QCOMPARE(b.pty.received().toHex(' '),
             (select100 + window.chopped(3) + select100 + window.right(3)
              + Frames::SelectDevice(117).bytes + Frames::SaveToEeprom().bytes)
                 .toHex(' '));
    const LcdModule &module = bus.module(0);
    QCOMPARE(module.describe().section(" garbled", 0, 0),
             "module 117: selected=yes baud=4800 backlight=on cursor=underscore@0,0 outputs=00 "
             "directions=AD startup=on saves=2 loads=0");
    QCOMPARE(module.text(1), QByteArray("   Centred      "));
    QCOMPARE(module.text(4), QByteArray("\"quoted\"        "));
    QCOMPARE(module.text(8), QByteArray("Twenty characters..."));
    QCOMPARE(module.userChars(), table(rowsWith()));
    QVERIFY(module.eeprom() == module.settings());

    // Imported into the window opened afresh: the same controls, so the same profile again;
    // the characters go into the table, the settings file keeps its own. A faulty profile
    // changes nothing and says why.
    const auto charTable
        = [&b] { return QByteArray(reinterpret_cast<const char *>(b.vars.CharTable.data()), 64); };
    b.pty.setBus(nullptr);
    b.click("cmdConnect");
    b.get<QAction>("mnuCfg")->trigger();
    b.vars.CharTable.fill(0);
    QVERIFY(!cfg->importProfile(testFile("bad-profile.ini")));
    QCOMPARE(child<QLabel>(cfg, "StatusPanel1")->text(),
             uR"(Nothing imported: [Module] IO3 = "up" is neither OUTPUT nor INPUT)"_s);
    QCOMPARE(child<QComboBox>(cfg, "cboUID")->currentText(), u"101"_s);
    QCOMPARE(charTable(), QByteArray(64, 0));
    QVERIFY(cfg->importProfile(profile));
    QCOMPARE(charTable(), table(rowsWith()));
    const QString again = testFile("again.ini");
    QFile::remove(again);
    QVERIFY(cfg->exportProfile(again));
    QFile first(profile), second(again);
    QVERIFY(first.open(QIODevice::ReadOnly) && second.open(QIODevice::ReadOnly));
    QCOMPARE(second.readAll(), first.readAll());
    QCOMPARE(readSettings(), file);
}

QTEST_MAIN(tst_cli)
#include "tst_cli.moc"
