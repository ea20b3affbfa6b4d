// tessaline-cli as a process against virtual modules on a pty: the bytes that each group of
// commands puts on the line and what the modules make of them, the exit statuses and their
// messages, a dry run without any port, and a provision run beside what the configuration window
// sends for the same profile, which it exported and imports again.
#include "bench.h"

#include <QProcess>
#include <QSignalSpy>

using namespace Qt::StringLiterals;

namespace {

// The copy that the test runs: beside it stands no settings file, so it takes the test's own.
QString testFile(const QString &name)
{
    return QCoreApplication::applicationDirPath() + '/' + name;
}

struct Run
{
    int status = -1;
    QString out, err;
};

// Runs the program while this test's event loop serves the line.
Run cli(const QStringList &arguments)
{
    QProcess process;
    QSignalSpy done(&process, &QProcess::finished);
    process.start(testFile("tessaline-cli"), arguments);
    Run run;
    if (!done.wait(30000))
        process.kill();
    else if (process.exitStatus() == QProcess::NormalExit)
        run.status = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// Port, speed and address of the settings file, with a text and rows 10 to 73.
QByteArray settingsFile(const QStringList &setting)
{
    std::array<int, 64> rows;
    std::iota(rows.begin(), rows.end(), 10);
    return Bench::iniFile({"Hello"}, rows, setting[0].toInt(), setting[1].toLatin1())
        .replace("UID=100", "UID=" + setting[2].toLatin1());
}

// A stored text as the module's protocol carries it: 254, 100 + n, the text padded to 16.
QByteArray stored(int n, const QByteArray &text)
{
    return "\xfe" + QByteArray(1, char(100 + n)) + text.leftJustified(16, ' ');
}

} // namespace

class tst_cli : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup() { Bench::removeSettings(); }
    void commands_data();
    void commands();
    void provisionLikeWindow();
};

void tst_cli::initTestCase()
{
    QFile::remove(testFile("tessaline-cli"));
    QVERIFY(QFile::copy(TESSALINE_CLI, testFile("tessaline-cli")));
    // No toolkit beyond Qt Core and SerialPort: it runs where there is no display.
    QProcess ldd;
    ldd.start("ldd", {testFile("tessaline-cli")});
    QVERIFY(ldd.waitForFinished());
    const QString libraries = QString::fromLocal8Bit(ldd.readAllStandardOutput());
    QVERIFY2(libraries.contains("libQt6SerialPort") && !libraries.contains("libQt6Gui"),
             qPrintable(libraries));
    std::array<int, 64> rows;
    for (int i = 0; i < 64; ++i)
        rows[size_t(i)] = i * 4 + 3;
    QFile chars(testFile("chars.ini")), bad(testFile("bad-profile.ini"));
    QFile lobby(TESSALINE_SOURCE "/docs/lobby-profile.ini");
    QVERIFY(chars.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && lobby.open(QIODevice::ReadOnly)
            && bad.open(QIODevice::WriteOnly | QIODevice::Truncate));
    chars.write(Bench::iniFile({}, rows));
    bad.write(lobby.readAll().replace("IO3=OUTPUT", "IO3=up"));
}

void tst_cli::commands_data()
{
    // The settings file's port, speed and address, and the modules on the bus (address@speed);
    // the command line ({file} a test's file); the exit status; the bytes on the line ("-": not
    // looked at); what the program printed on stdout and stderr (patterns); what the modules
    // keep (part of their description).
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::addColumn<QString>("kept");
    const auto row = [](const char *name, const char *setup, const QString &arguments, int status,
                        const QByteArray &line, const QString &out, const QString &err,
                        const QString &kept = {}) {
        QTest::newRow(name) << setup << arguments << status << line << out << err << kept;
    };
    const auto hex = [](const char *text) { return QByteArray::fromHex(text); };
    const QString usage = R"(\nusage: tessaline-cli \[--port N .*\n)";
    QByteArray scan, chars;
    for (int a = 100; a <= 132; ++a)
        scan += "\xef" + QByteArray(1, char(a));
    for (int i = 0; i < 64; ++i)
        chars += char(i * 4 + 3);

    row("text at a position, in the code page", "1 9600 100|100",
        u"--port 1 --baud 9600 --address 100 text --at 2,14 \"Caf\u00e9 \u20ac\""_s, 0,
        hex("ef64 fe32020e 436166e92080"), "", "", R"(/"              Caf\XE9 \X80"/)");
    // Port, speed and address from the settings file as the windows read them.
    row("defaults", "1 4800 105|105@4800", "clear", 0, hex("ef69 0d"), "", "",
        "module 105: selected=yes baud=4800");
    row("display commands", "1 9600 100|100",
        "clear home next-line cursor blinking position 2 19 backlight off output 5 off "
        "outputs on show-text 8 3 char 1 load-chars",
        0, hex("ef64 0d 0b 0c fe02 fe320213 fe07 fe330549 fe0c fe346c03 00 fe08"), "", "",
        R"(backlight=off cursor=blinking@3,0 outputs=FF directions=FF startup=off saves=0 loads=1)");
    row("verbose selection", "1 9600 100|100", "-v select deselect", 0, hex("ef64 ea"),
        "EF 64 SelectDevice 100\nEE 64 SelectReply 100\nEA DeselectDevice\n", "",
        "module 100: selected=no");
    // After the search the bus has no module selected, as before it; the next command selects.
    row("scan", "1 9600 105|99 100 105 132", "scan clear", 0, scan + hex("ea ef69 0d"),
        "100\n105\n132\n", "", "module 105: selected=yes");
    row("directions and save", "1 9600 100|100",
        "set-io out in IN in input in in OUTPUT save-eeprom", 0, hex("ef64 fe3181 fe20"), "", "",
        "directions=81 startup=off saves=1");
    row("stored texts", "1 9600 100|100",
        u"store-texts Hi \"\" \"Caf\u00e9\" x \"\" \"\" \"\" \"Twenty characters...\" on"_s, 0,
        hex("ef64") + stored(1, "Hi") + stored(2, "") + stored(3, "Caf\xe9") + stored(4, "x")
            + stored(5, "") + stored(6, "") + stored(7, "") + stored(8, "Twenty characters...")
            + hex("fe0f"),
        "", "", R"(startup=on saves=0)");
    row("characters of a file", "1 9600 100|100", "upload-chars {chars.ini} load-chars", 0,
        hex("ef64 fe64") + chars + hex("fe08"), "", "", "loads=1");
    // The module answers at its new address, and hears only its new speed.
    row("new address", "1 9600 100|100", "set-uid 117 clear", 0, hex("ef64 fe3075 ef75 0d"), "", "",
        "module 117: selected=yes");
    row("new speed", "1 9600 100|100", "set-baud 4800 text X", 0, hex("ef64 fe67 ef64 58"), "", "",
        R"(baud=4800 backlight=on cursor=underscore@0,1)");
    row("provision", "1 9600 100|100", "provision {lobby}", 0, "-", "", "",
        "module 105: selected=yes baud=4800 backlight=on cursor=underscore@0,0 outputs=00 "
        "directions=0F startup=on saves=2 ");

    // No answer, no port, bad arguments and files: nothing sent that the call did not get to.
    row("no answer", "1 9600 100|100", "--address 101 clear home", 3, hex("ef65"), "",
        "tessaline-cli: no answer from module 101 on COM1\n");
    row("no port", "2 9600 100|100", "clear", 2, {}, "",
        R"(tessaline-cli: cannot open COM2 \(/.*/ports/COM2\): no such device\n)");
    row("bad number", "1 9600 100|100", "clear position 4 1", 1, {}, "",
        R"(tessaline-cli: ROW must be a number from 0 to 3, not "4")" + usage);
    row("control character", "1 9600 100|100", "text \"a\tb\"", 1, {}, "",
        R"(tessaline-cli: text holds a control character \(code 9\), which no key sends)" + usage);
    row("bad profile", "1 9600 100|100", "provision {bad-profile.ini}", 1, {}, "",
        R"(tessaline-cli: /.*/bad-profile.ini: \[Module\] IO3 = "up" is neither OUTPUT nor INPUT\n)");
    // A dry run prints the frames and opens no port: COM3 has none.
    row("dry run", "3 9600 100|100", "--dry-run --address 101 text Hi set-baud 4800 save-eeprom", 0,
        {},
        "EF 65 SelectDevice 101\n48 TextChar \"H\"\n69 TextChar \"i\"\nFE 67 SetBaud4800\n"
        "EF 65 SelectDevice 101\nFE 20 SaveToEeprom\n",
        "");
    row("dry provision", "3 9600 100|100", "-n provision {lobby}", 0, {},
        "EF 64 SelectDevice 100\n(FE 6[5-9A-C] .* StoreText [1-8] .*\n){8}FE 0F StartupScreenOn\n"
        "FE 64 04 0E 0E 0E 1F 00 04 00 00 01 .* UploadChars 1: 04 0E .*\n"
        "FE 31 0F SetIoDirection outputs 1 2 3 4\nFE 20 SaveToEeprom\nFE 67 SetBaud4800\n"
        "EF 64 SelectDevice 100\nFE 30 69 SetUid 105\nEF 69 SelectDevice 105\n"
        "FE 20 SaveToEeprom\n",
        "");
}

void tst_cli::commands()
{
    QFETCH(QString, setup);
    QFETCH(QString, arguments);
    QFETCH(int, status);
    QFETCH(QByteArray, line);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(QString, kept);
    const QByteArray file = settingsFile(setup.section('|', 0, 0).split(' '));
    Bench::writeSettings(file);
    LcdBus bus(QList<quint8> {});
    for (const QString &m : setup.section('|', 1).split(' ')) {
        LcdModule &module = bus.addModule(quint8(m.section('@', 0, 0).toInt()));
        module.setBaud(m.contains('@') ? m.section('@', 1).toInt() : 9600);
    }
    SimPort pty(&bus);
    pty.setSpeedChecked(true); // a module hears only its own speed
    QVERIFY(pty.open(1, QString(), SimPort::Existing::Replace));
    // COM2 leads nowhere.
    QFile::remove(SettingsFolder() + "ports/COM2");
    QVERIFY(QFile::link(SettingsFolder() + "ports/gone", SettingsFolder() + "ports/COM2"));

    // Words separated by blanks; a quoted word may hold blanks or be empty.
    QStringList words;
    static const QRegularExpression word(u"\"([^\"]*)\"|(\\S+)"_s), name(uR"(\{([\w.-]+)\})"_s);
    for (auto it = word.globalMatch(arguments); it.hasNext();) {
        const auto m = it.next();
        words << QString(m.hasCaptured(1) ? m.captured(1) : m.captured(2))
                     .replace("{lobby}", TESSALINE_SOURCE "/docs/lobby-profile.ini")
                     .replace(name, testFile("\\1"));
    }
    const Run run = cli(words);
    QCOMPARE(run.status, status);
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(out)).match(run.out).hasMatch(),
             qPrintable(run.out));
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(err)).match(run.err).hasMatch(),
             qPrintable(run.err));
    // Every byte is on the line before the program ends.
    if (line != "-")
        QCOMPARE(pty.received().toHex(' '), line.toHex(' '));
    QVERIFY2(bus.describe().contains(kept), qPrintable(bus.describe()));
    QCOMPARE(Bench::readSettings(), file); // never written
}

// The configuration window exports its settings as a profile and sends them with its buttons;
// provision sends the same frames in the same order, with the selections that show the module
// still answering after its speed and its address changed, and a second save to keep them.
// Imported again, the profile gives the window back as it was.
void tst_cli::provisionLikeWindow()
{
    Bench::writeSettings(settingsFile({"1", "9600", "100"}));
    const QByteArray file = Bench::readSettings();
    Bench::Windows b; // a bare line: only the bytes count here
    QVERIFY(b.configure("9600"));
    QTRY_COMPARE(b.pty.received(), QByteArray::fromHex("ef64"));
    b.cfgAct(
        u"TxtPL_0=___Centred,TxtPL_2=Caf\u00e9,TxtPL_3=\"quoted\",TxtPL_7=Twenty_characters...,"
        "Check1,cboIO_1=INPUT,cboIO_4=INPUT,cboIO_6=typed,cboUID=117,optBaud48"_s);
    const QString profile = testFile("exported.ini"), again = testFile("again.ini");
    QFile::remove(profile);
    QVERIFY(b.cfg()->exportProfile(profile));
    QCOMPARE(Bench::child<QLabel>(b.cfg(), "StatusPanel1")->text(),
             u"Exported the profile exported.ini"_s);
    b.pty.clearReceived();
    b.cfgAct("cmdSetPT,cmdSendBitmap,cmdSetIO,cmdSave,cmdSetBaud,cmdSetUID");
    QTRY_COMPARE(b.pty.received().size(), 8 * 18 + 4 + 2 + 66 + 3 + 2 + 2 + 3);
    const QByteArray window = b.pty.received();
    QVERIFY(window.endsWith(QByteArray::fromHex("fe20 fe67 fe3075")));

    // The same profile by the command line, to a module that hears only its own speed.
    b.cfg()->close();
    LcdBus bus({100});
    b.pty.setBus(&bus);
    b.pty.setSpeedChecked(true);
    b.pty.clearReceived();
    const Run run = cli({"--port", "1", "provision", profile});
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out + run.err, QString());
    QCOMPARE(b.pty.received().toHex(' '),
             ("\xef\x64" + window.chopped(3) + "\xef\x64" + window.right(3) + "\xef\x75\xfe\x20")
                 .toHex(' '));
    const LcdModule &module = bus.module(0);
    QCOMPARE(module.describe().section(" garbled", 0, 0),
             "module 117: selected=yes baud=4800 backlight=on cursor=underscore@0,0 outputs=00 "
             "directions=AD startup=on saves=2 loads=0");
    QCOMPARE(module.text(1) + module.text(4) + module.text(8),
             "   Centred      \"quoted\"        Twenty characters...");
    QCOMPARE(module.userChars(), window.mid(8 * 18 + 4 + 2 + 2, 64));
    QVERIFY(module.eeprom() == module.settings());

    // Imported into the window opened afresh: the same controls, so the same profile again; the
    // characters go into the table, the settings file keeps its own. A faulty profile changes
    // nothing and says why.
    b.pty.setBus(nullptr);
    QVERIFY(b.configure("9600"));
    b.vars.CharTable.fill(0);
    QVERIFY(!b.cfg()->importProfile(testFile("bad-profile.ini")));
    QCOMPARE(Bench::child<QLabel>(b.cfg(), "StatusPanel1")->text(),
             uR"(Nothing imported: [Module] IO3 = "up" is neither OUTPUT nor INPUT)"_s);
    QCOMPARE(b.cfgGet<QComboBox>("cboUID")->currentText(), u"101"_s);
    QCOMPARE(b.vars.CharTable, decltype(b.vars.CharTable) {});
    QVERIFY(b.cfg()->importProfile(profile));
    QCOMPARE(QByteArray((const char *)b.vars.CharTable.data(), 64), module.userChars());
    QFile::remove(again);
    QVERIFY(b.cfg()->exportProfile(again));
    QFile first(profile), second(again);
    QVERIFY(first.open(QIODevice::ReadOnly) && second.open(QIODevice::ReadOnly));
    QCOMPARE(second.readAll(), first.readAll());
    QCOMPARE(Bench::readSettings(), file);
}

QTEST_MAIN(tst_cli)
#include "tst_cli.moc"
