// tessaline-cli as a process against virtual modules on a pty: the bytes that each group of
// commands puts on the line and what the modules make of them, the exit statuses and their
// messages, a dry run without any port, and a provision run beside what the configuration window
// sends for the same profile, which it exported and imports again.
#include "bench.h"

#include <QProcess>
#include <QSignalSpy>

using namespace Qt::StringLiterals;

namespace {

// A file beside the test program; beside its copy of tessaline-cli stands no settings file, so
// the copy reads the test's own.
QString testFile(const QString &name)
{
    return QCoreApplication::applicationDirPath() + '/' + name;
}

// Runs a program (the copy of tessaline-cli by default) while this test's event loop serves the
// line: its exit status (-1 when it did not end by itself), stdout and stderr.
std::tuple<int, QString, QString> run(const QStringList &arguments,
                                      const QString &program = testFile("tessaline-cli"))
{
    QProcess process;
    QSignalSpy done(&process, &QProcess::finished);
    process.start(program, arguments);
    const bool ended = done.wait(30000) && process.exitStatus() == QProcess::NormalExit;
    return {ended ? process.exitCode() : -1, QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

// The settings file of port, speed and address ("1 9600 100"), a text and rows 10 to 73.
QByteArray settingsFile(const QString &setting)
{
    const QStringList s = setting.split(' ');
    std::array<int, 64> rows;
    std::iota(rows.begin(), rows.end(), 10);
    return Bench::iniFile({"Hello"}, rows, s[0].toInt(), s[1].toLatin1())
        .replace("UID=100", "UID=" + s[2].toLatin1());
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
    const QString libraries = std::get<1>(run({testFile("tessaline-cli")}, "ldd"));
    QVERIFY2(libraries.contains("libQt6SerialPort") && !libraries.contains("libQt6Gui"),
             qPrintable(libraries));
    // The README's profile, and one with a wrong value.
    QFile lobby(TESSALINE_SOURCE "/docs/lobby-profile.ini"), bad(testFile("bad-profile.ini"));
    QFile::remove(testFile("lobby-profile.ini"));
    QVERIFY(lobby.copy(testFile("lobby-profile.ini")) && lobby.open(QIODevice::ReadOnly)
            && bad.open(QIODevice::WriteOnly | QIODevice::Truncate));
    bad.write(lobby.readAll().replace("IO3=OUTPUT", "IO3=up"));
}

void tst_cli::commands_data()
{
    // The command line ({name} a test's file, {} an empty word); the exit status; the bytes on
    // the line ("-": not looked at); what the program said (a pattern of stdout, of stderr on a
    // failure; the other says nothing); what the modules keep (a pattern of their description);
    // the settings file's port, speed and address | the modules (address@speed).
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("said");
    QTest::addColumn<QString>("kept");
    QTest::addColumn<QString>("setup");
    const auto row = [](const char *name, const QString &arguments, int status,
                        const QByteArray &line, const QString &said = {}, const QString &kept = {},
                        const char *setup = "1 9600 100|100") {
        QTest::newRow(name) << arguments << status << line << said << kept << setup;
    };
    const QString usage = R"(\nusage: tessaline-cli \[--port N .*\n)";
    QByteArray scan, chars; // SelectDevice 100 to 132; the settings file's rows 10 to 73
    for (int i = 0; i < 64; ++i) {
        scan += i < 33 ? "ef" + QByteArray::number(100 + i, 16) : "";
        chars += QByteArray::number(10 + i + 256, 16).mid(1);
    }

    // Port, speed and address from the settings file as the windows read them.
    row("defaults", "clear", 0, "ef69 0d", "", "module 105: selected=yes baud=4800",
        "1 4800 105|105@4800");
    row("display commands",
        u"clear home next-line cursor blinking position 2 19 backlight off output 5 off outputs "
        "on show-text 8 3 char 1 load-chars text --at 1,14 \"Caf\u00e9 \u20ac\""_s,
        0, "ef64 0d 0b 0c fe02 fe320213 fe07 fe330549 fe0c fe346c03 00 fe08 fe32010e 436166e92080",
        "",
        R"(backlight=off cursor=blinking@2,0 outputs=FF directions=FF startup=off saves=0 )"
        R"(loads=1 garbled=0 display="                    "/"              Caf\\XE9 \\X80"/)");
    row("verbose selection", "-v select deselect", 0, "ef64 ea",
        "EF 64 SelectDevice 100\nEE 64 SelectReply 100\nEA DeselectDevice\n", "selected=no");
    // After the search the bus has no module selected, as before it; the next command selects.
    row("scan", "scan clear", 0, scan + " ea ef69 0d", "100\n105\n132\n",
        "module 105: selected=yes", "1 9600 105|99 100 105 132");
    row("directions, characters, save",
        "set-io out in IN in input in in OUTPUT upload-chars save-eeprom", 0,
        "ef64 fe3181 fe64" + chars + " fe20", "",
        "directions=81 startup=off saves=1 loads=0 garbled=0");
    row("stored texts", u"store-texts Hi {} Caf\u00e9 x {} {} {} \"Twenty characters...\" on"_s, 0,
        "-", "",
        R"(startup=on saves=0 .* texts="Hi              ","                ","Caf\\XE9)"
        R"(            ","x               ",.*,"Twenty characters...")");
    // The module hears only its new speed, and answers at its new address.
    row("new speed and address", "set-baud 4800 set-uid 117 text X", 0,
        "ef64 fe67 ef64 fe3075 ef75 58", "", "module 117: selected=yes baud=4800 .*@0,1");
    // No answer, no port, bad arguments and files: nothing sent that the call did not get to.
    row("no answer", "--address 101 clear home", 3, "ef65",
        "tessaline-cli: no answer from module 101 on COM1\n");
    row("no port", "clear", 2, "",
        R"(tessaline-cli: cannot open COM2 \(/.*/ports/COM2\): no such device\n)", "",
        "2 9600 100|100");
    row("control character", "text \"a\tb\"", 1, "",
        R"(tessaline-cli: text holds a control character \(code 9\), which no key sends)" + usage);
    row("bad profile", "provision {bad-profile.ini}", 1, "",
        R"(tessaline-cli: /.*/bad-profile.ini: \[Module\] IO3 = "up" is neither OUTPUT nor INPUT\n)");
    // A dry run prints the frames in the order of provisioning and opens no port: COM3 has none.
    row("dry provision", "-n provision {lobby-profile.ini}", 0, "",
        "EF 64 SelectDevice 100\n(FE 6[5-9A-C] .* StoreText [1-8] .*\n){8}FE 0F StartupScreenOn\n"
        "FE 64 04 0E 0E 0E 1F 00 04 00 00 01 .* UploadChars 1: 04 0E .*\n"
        "FE 31 0F SetIoDirection outputs 1 2 3 4\nFE 20 SaveToEeprom\nFE 67 SetBaud4800\n"
        "EF 64 SelectDevice 100\nFE 30 69 SetUid 105\nEF 69 SelectDevice 105\nFE 20 SaveToEeprom\n",
        "", "3 9600 100|100");
}

void tst_cli::commands()
{
    QFETCH(QString, arguments);
    QFETCH(int, status);
    QFETCH(QByteArray, line);
    QFETCH(QString, said);
    QFETCH(QString, kept);
    QFETCH(QString, setup);
    const QByteArray file = settingsFile(setup.section('|', 0, 0));
    Bench::writeSettings(file);
    LcdBus bus(QList<quint8> {});
    for (const QString &m : setup.section('|', 1).split(' '))
        bus.addModule(quint8(m.section('@', 0, 0).toInt()))
            .setBaud(m.contains('@') ? m.section('@', 1).toInt() : 9600);
    SimPort pty(&bus);
    pty.setSpeedChecked(true); // a module hears only its own speed
    QVERIFY(pty.open(1, QString(), SimPort::Existing::Replace));
    QFile::remove(SettingsFolder() + "ports/COM2"); // leads nowhere
    QVERIFY(QFile::link(SettingsFolder() + "ports/gone", SettingsFolder() + "ports/COM2"));

    QStringList words = QProcess::splitCommand(arguments);
    static const QRegularExpression name(uR"(\{([\w.-]+)\})"_s);
    for (QString &w : words)
        w = w == "{}"_L1 ? QString() : w.replace(name, testFile("\\1"));
    const auto [code, out, err] = run(words);
    QCOMPARE(code, status);
    QCOMPARE(status ? out : err, QString());
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(said))
                 .match(status ? err : out)
                 .hasMatch(),
             qPrintable(out + err));
    // Every byte is on the line before the program ends; the settings file is never written.
    if (line != "-")
        QCOMPARE(pty.received().toHex(), QByteArray::fromHex(line).toHex());
    QVERIFY2(QRegularExpression(kept).match(bus.describe()).hasMatch(), qPrintable(bus.describe()));
    QCOMPARE(Bench::readSettings(), file);
}

// The configuration window exports its settings as a profile and sends them with its buttons;
// provision sends the same frames in the same order, with the selections that show the module
// still answering after its speed and its address changed, and a second save to keep them.
// Imported again, the profile gives the window back as it was, the settings file unchanged.
void tst_cli::provisionLikeWindow()
{
    Bench::writeSettings(settingsFile("1 9600 100"));
    const QByteArray file = Bench::readSettings();
    Bench::Windows b; // a bare line: only the bytes count here
    QVERIFY(b.configure("9600"));
    QTRY_COMPARE(b.pty.received(), QByteArray::fromHex("ef64"));
    b.cfgAct(
        u"TxtPL_0=___Centred,TxtPL_2=Caf\u00e9,TxtPL_3=\"quoted\",TxtPL_7=Twenty_characters...,"
        "Check1,cboIO_1=INPUT,cboIO_4=INPUT,cboIO_6=typed,cboUID=117,optBaud48"_s);
    const QString profile = testFile("exported.ini"), again = testFile("again.ini");
    QFile::remove(profile);
    QFile::remove(again);
    QVERIFY(b.cfg()->exportProfile(profile));
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
    QCOMPARE(run({"--port", "1", "provision", profile}), std::make_tuple(0, QString(), QString()));
    QCOMPARE(b.pty.received().toHex(' '),
             ("\xef\x64" + window.chopped(3) + "\xef\x64" + window.right(3) + "\xef\x75\xfe\x20")
                 .toHex(' '));
    const LcdModule &module = bus.module(0);
    QCOMPARE(module.describe().section(" garbled", 0, 0),
             "module 117: selected=yes baud=4800 backlight=on cursor=underscore@0,0 outputs=00 "
             "directions=AD startup=on saves=2 loads=0");
    QCOMPARE(module.text(1) + module.text(4) + module.text(8) + module.userChars(),
             "   Centred      \"quoted\"        Twenty characters..." + window.mid(152, 64));
    QVERIFY(module.eeprom() == module.settings());

    // A faulty profile changes nothing and says why; the exported one fills the window opened
    // afresh, so that it exports the same again, and the character table.
    b.pty.setBus(nullptr);
    QVERIFY(b.configure("9600"));
    b.vars.CharTable.fill(0);
    QVERIFY(!b.cfg()->importProfile(testFile("bad-profile.ini")));
    QCOMPARE(b.cfgGet<QLabel>("StatusPanel1")->text(),
             uR"(Nothing imported: [Module] IO3 = "up" is neither OUTPUT nor INPUT)"_s);
    QCOMPARE(b.cfgGet<QComboBox>("cboUID")->currentText(), u"101"_s);
    QCOMPARE(b.vars.CharTable, decltype(b.vars.CharTable) {});
    QVERIFY(b.cfg()->importProfile(profile) && b.cfg()->exportProfile(again));
    QCOMPARE(QByteArray((const char *)b.vars.CharTable.data(), 64), module.userChars());
    QFile first(profile), second(again);
    QVERIFY(first.open(QIODevice::ReadOnly) && second.open(QIODevice::ReadOnly));
    QCOMPARE(second.readAll(), first.readAll());
    QCOMPARE(Bench::readSettings(), file);
}

QTEST_MAIN(tst_cli)
#include "tst_cli.moc"
