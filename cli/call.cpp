#include "cli/call.h"

#include "chars/chartable.h"
#include "config/profile.h"
#include "display/frames.h"
#include "link/ansi.h"
#include "link/modini.h"

#include <QFile>
#include <QFileInfo>

#include <functional>
#include <map>

namespace {

constexpr int LastPort = 20; // the windows' port list ends at COM20

// A mistake in the arguments; `usage` when the usage line should follow.
struct Mistake
{
    QString message;
    bool usage = true;
};

Step send(const QList<Protocol::Frame> &frames)
{
    return {Step::Kind::Send, frames};
}

int number(const QString &text, int low, int high, const QString &what)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < low || value > high)
        throw Mistake {QStringLiteral("%1 must be a number from %2 to %3, not \"%4\"")
                           .arg(what)
                           .arg(low)
                           .arg(high)
                           .arg(text)};
    return value;
}

// One of the words, case ignored: its position in the list.
int word(const QString &text, const QStringList &words, const QString &what)
{
    for (int i = 0; i < words.size(); ++i) {
        if (text.compare(words[i], Qt::CaseInsensitive) == 0)
            return i;
    }
    throw Mistake {
        QStringLiteral("%1 must be %2, not \"%3\"").arg(what, words.join(QLatin1Char('|')), text)};
}

int baudRate(const QString &text, const QString &what)
{
    return word(text, {QStringLiteral("4800"), QStringLiteral("9600")}, what) ? 9600 : 4800;
}

bool onOff(const QString &text, const QString &what)
{
    return word(text, {QStringLiteral("on"), QStringLiteral("off")}, what) == 0;
}

// Text as the module gets it: one byte per character in the code page. A control character is
// no key and nothing a stored text can show; it is refused rather than dropped.
QByteArray characters(const QString &text, const QString &what)
{
    for (const char32_t code : text.toUcs4()) {
        if (code <= 31 || code == 127)
            throw Mistake {QStringLiteral("%1 holds a control character (code %2), which no key "
                                          "sends")
                               .arg(what)
                               .arg(quint32(code))};
    }
    return Ansi::encode(text);
}

QList<Protocol::Frame> storeTexts(const std::array<QString, Bus::Texts> &texts, bool startup)
{
    QList<Protocol::Frame> frames;
    for (int n = 1; n <= Bus::Texts; ++n)
        frames << Frames::StoreText(quint8(n), Ansi::encode(texts[size_t(n - 1)]));
    return frames << (startup ? Frames::StartupScreenOn() : Frames::StartupScreenOff());
}

// The characters of a settings file or a profile, every row a number from 0 to 255.
std::array<quint8, Bus::CharTableSize> charactersOf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Mistake {QStringLiteral("cannot read %1: %2").arg(path, file.errorString()), false};
    file.close();
    std::array<quint8, Bus::CharTableSize> table {};
    QString problem;
    ParseCharTable(table, readIniFile(path, CharTableKeys()), [&](const QString &why) {
        if (problem.isEmpty())
            problem = why;
    });
    if (!problem.isEmpty())
        throw Mistake {path + QStringLiteral(": ") + problem, false};
    return table;
}

// The command line, read word by word.
class Reader
{
public:
    explicit Reader(const QStringList &arguments)
        : m_arguments(arguments)
    { }
    bool atEnd() const { return m_next >= m_arguments.size(); }
    QString peek() const { return m_arguments.value(m_next); }
    QString take() { return m_arguments.value(m_next++); }
    // The argument of a command, whatever it looks like ("--" or a command's name included).
    QString argument(const QString &command, const QString &what)
    {
        if (atEnd())
            throw Mistake {QStringLiteral("%1 wants %2").arg(command, what)};
        return take();
    }

private:
    QStringList m_arguments;
    qsizetype m_next = 0;
};

using Command = std::function<void(Reader &, QList<Step> &)>;

const std::map<QString, Command> &commands()
{
    using namespace Frames;
    static const std::map<QString, Command> table = {
        {"select",
         [](Reader &, QList<Step> &s) {
             s << Step {Step::Kind::Select, {}};
         }},
        {"deselect",
         [](Reader &, QList<Step> &s) {
             s << Step {Step::Kind::Deselect, {}};
         }},
        {"scan",
         [](Reader &, QList<Step> &s) {
             s << Step {Step::Kind::Scan, {}};
         }},
        {"text",
         [](Reader &r, QList<Step> &s) {
             QList<Protocol::Frame> frames;
             QString text;
             bool hasText = false;
             // --at before or after the text; the text itself is taken as it is.
             for (int i = 0; i < 2 && !r.atEnd(); ++i) {
                 if (r.peek() == QLatin1String("--at") && frames.isEmpty()) {
                     r.take();
                     const QStringList at = r.argument("text --at", "ROW,COLUMN").split(',');
                     if (at.size() != 2)
                         throw Mistake {QStringLiteral("text --at wants ROW,COLUMN")};
                     frames << CursorPosition(quint8(number(at[0], 0, Bus::Rows - 1, "ROW")),
                                              quint8(number(at[1], 0, Bus::Columns - 1, "COLUMN")));
                 } else if (!hasText) {
                     text = r.take();
                     hasText = true;
                 }
             }
             if (!hasText)
                 throw Mistake {QStringLiteral("text wants STRING")};
             for (const char c : characters(text, QStringLiteral("text")))
                 frames << TextChar(quint8(c));
             s << send(frames);
         }},
        {"clear", [](Reader &, QList<Step> &s) { s << send({ClearCode()}); }},
        {"home", [](Reader &, QList<Step> &s) { s << send({CursorHomeCode()}); }},
        {"next-line", [](Reader &, QList<Step> &s) { s << send({NextLineCode()}); }},
        {"cursor",
         [](Reader &r, QList<Step> &s) {
             const int type = word(r.argument("cursor", "underscore|blinking|hidden"),
                                   {"underscore", "blinking", "hidden"}, "cursor");
             s << send({CursorType(quint8(type + 1))});
         }},
        {"position",
         [](Reader &r, QList<Step> &s) {
             const int row = number(r.argument("position", "ROW COLUMN"), 0, Bus::Rows - 1, "ROW");
             const int column
                 = number(r.argument("position", "COLUMN"), 0, Bus::Columns - 1, "COLUMN");
             s << send({CursorPosition(quint8(row), quint8(column))});
         }},
        {"backlight",
         [](Reader &r, QList<Step> &s) {
             const int light = word(r.argument("backlight", "on|off|flash"), {"on", "off", "flash"},
                                    "backlight");
             s << send({light == 0       ? BacklightOn()
                            : light == 1 ? BacklightOff()
                                         : BacklightFlash()});
         }},
        {"output",
         [](Reader &r, QList<Step> &s) {
             const int output
                 = number(r.argument("output", "N on|off"), 0, Bus::Lines - 1, "output N");
             const bool on = onOff(r.argument("output", "on|off"), "output's state");
             s << send({SetOutput(quint8(output), on)});
         }},
        {"outputs",
         [](Reader &r, QList<Step> &s) {
             s << send({onOff(r.argument("outputs", "on|off"), "outputs") ? AllOutputsOn()
                                                                          : AllOutputsOff()});
         }},
        {"show-text",
         [](Reader &r, QList<Step> &s) {
             const int n = number(r.argument("show-text", "N ROW"), 1, Bus::Texts, "show-text N");
             const int row = number(r.argument("show-text", "ROW"), 0, Bus::Rows - 1, "ROW");
             s << send({ShowText(quint8(n), quint8(row))});
         }},
        {"char",
         [](Reader &r, QList<Step> &s) {
             s << send({UserCharCode(
                 quint8(number(r.argument("char", "N"), 1, Bus::Characters, "char N") - 1))});
         }},
        {"load-chars", [](Reader &, QList<Step> &s) { s << send({LoadBitmaps()}); }},
        {"set-uid",
         [](Reader &r, QList<Step> &s) {
             const int address = number(r.argument("set-uid", "an address"), Bus::FirstUid,
                                        Bus::LastAddress, "set-uid's address");
             s << Step {Step::Kind::SetUid, {SetUid(quint8(address))}, address};
         }},
        {"set-baud",
         [](Reader &r, QList<Step> &s) {
             const int rate = baudRate(r.argument("set-baud", "4800|9600"), "set-baud");
             s << Step {Step::Kind::SetBaud, {rate == 4800 ? SetBaud4800() : SetBaud9600()}, rate};
         }},
        {"set-io",
         [](Reader &r, QList<Step> &s) {
             quint8 mask = 0;
             for (int line = 1; line <= Bus::Lines; ++line) {
                 const QString what = QStringLiteral("line %1's direction").arg(line);
                 const int d = word(r.argument("set-io", "eight directions, out or in"),
                                    {"out", "in", "output", "input"}, what);
                 if (d % 2 == 0)
                     mask |= quint8(1u << (line - 1));
             }
             s << send({SetIoDirection(mask)});
         }},
        {"store-texts",
         [](Reader &r, QList<Step> &s) {
             std::array<QString, Bus::Texts> texts;
             for (int n = 1; n <= Bus::Texts; ++n) {
                 texts[size_t(n - 1)] = r.argument("store-texts", "eight texts and on|off");
                 const QString what = QStringLiteral("text %1").arg(n);
                 if (characters(texts[size_t(n - 1)], what).size() > Protocol::StoreTextMax)
                     throw Mistake {QStringLiteral("%1 is longer than 20 characters").arg(what)};
             }
             const bool startup = onOff(r.argument("store-texts", "on|off"), "start-up screen");
             s << Step {Step::Kind::StoreTexts, storeTexts(texts, startup)};
         }},
        {"upload-chars",
         [](Reader &r, QList<Step> &s) {
             // A file when the next word is one: not a command's name, not an option.
             QString path = IniPath();
             if (!r.atEnd() && !r.peek().startsWith(QLatin1Char('-'))
                 && !commands().count(r.peek()))
                 path = r.take();
             s << send({UploadChars(charactersOf(path))});
         }},
        {"save-eeprom", [](Reader &, QList<Step> &s) { s << send({SaveToEeprom()}); }},
        {"provision",
         [](Reader &r, QList<Step> &s) {
             QString problem;
             if (!provisionSteps(r.argument("provision", "a profile file"), s, problem))
                 throw Mistake {problem, false};
         }},
    };
    return table;
}

// A global option's value: "--port 3" or "--port=3".
QString value(Reader &r, const QString &option, const QString &inline_)
{
    if (!inline_.isNull())
        return inline_;
    if (r.atEnd())
        throw Mistake {QStringLiteral("%1 wants a value").arg(option)};
    return r.take();
}

} // namespace

bool provisionSteps(const QString &path, QList<Step> &steps, QString &problem)
{
    Profile p;
    if (!Profiles::read(path, p, problem)) {
        if (!problem.startsWith(QLatin1String("cannot read")))
            problem = path + QStringLiteral(": ") + problem;
        return false;
    }
    using namespace Frames;
    steps << Step {Step::Kind::StoreTexts, storeTexts(p.texts, p.startupScreen)}
          << send({UploadChars(p.chars)}) << send({SetIoDirection(p.directions)})
          << send({SaveToEeprom()});
    if (p.baud)
        steps << Step {
            Step::Kind::SetBaud, {*p.baud == 4800 ? SetBaud4800() : SetBaud9600()}, *p.baud};
    if (p.uid)
        steps << Step {Step::Kind::SetUid, {SetUid(*p.uid)}, *p.uid};
    if (p.baud || p.uid)
        steps << send({SaveToEeprom()});
    return true;
}

Parsed parseCall(const QStringList &arguments)
{
    Parsed parsed;
    Call &call = parsed.call;
    Reader r(arguments);
    try {
        while (!r.atEnd()) {
            const QString item = r.take();
            if (const auto command = commands().find(item); command != commands().end()) {
                command->second(r, call.steps);
                continue;
            }
            if (!item.startsWith(QLatin1Char('-')))
                throw Mistake {QStringLiteral("unknown command \"%1\"").arg(item)};
            const qsizetype equals = item.indexOf(QLatin1Char('='));
            const QString option = equals < 0 ? item : item.left(equals);
            const QString given = equals < 0 ? QString() : item.mid(equals + 1);
            if (option == QLatin1String("--help") || option == QLatin1String("-h")) {
                parsed.outcome = Parsed::Outcome::Help;
                return parsed;
            } else if (option == QLatin1String("--version")) {
                parsed.outcome = Parsed::Outcome::Version;
                return parsed;
            } else if (option == QLatin1String("--port")) {
                QString port = value(r, option, given);
                if (port.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
                    port = port.mid(3);
                call.port = number(port, 1, LastPort, "--port");
            } else if (option == QLatin1String("--device")) {
                call.device = value(r, option, given);
                if (call.device.isEmpty())
                    throw Mistake {QStringLiteral("--device wants a path")};
                // A path as the shell gives it, not a name in /dev as the serial layer takes it.
                call.device = QFileInfo(call.device).absoluteFilePath();
            } else if (option == QLatin1String("--baud")) {
                call.baud = baudRate(value(r, option, given), "--baud");
            } else if (option == QLatin1String("--address")) {
                call.address = number(value(r, option, given), Bus::FirstAddress, Bus::LastAddress,
                                      "--address");
            } else if (option == QLatin1String("--no-select") && given.isNull()) {
                call.noSelect = true;
            } else if ((option == QLatin1String("--verbose") || option == QLatin1String("-v"))
                       && given.isNull()) {
                call.verbose = true;
            } else if ((option == QLatin1String("--dry-run") || option == QLatin1String("-n"))
                       && given.isNull()) {
                call.dryRun = true;
            } else {
                throw Mistake {QStringLiteral("unknown option \"%1\"").arg(item)};
            }
        }
        if (call.port && !call.device.isEmpty())
            throw Mistake {QStringLiteral("--port and --device name the line twice")};
        if (call.steps.isEmpty())
            throw Mistake {QStringLiteral("no command given")};
    } catch (const Mistake &mistake) {
        parsed.outcome = Parsed::Outcome::Error;
        parsed.error = mistake.message;
        parsed.usage = mistake.usage;
    }
    return parsed;
}

QString usageLine()
{
    return QStringLiteral("usage: tessaline-cli [--port N | --device PATH] [--baud 4800|9600] "
                          "[--address A] [--no-select] [--verbose] [--dry-run] COMMAND "
                          "[ARGUMENT]... [COMMAND [ARGUMENT]...]... (--help lists them)");
}

QString helpText()
{
    return QStringLiteral(
        R"(Usage: tessaline-cli [OPTION]... COMMAND [ARGUMENT]... [COMMAND [ARGUMENT]...]...
Drives and configures the LCD modules of the Tessaline control panel from the command line:
the commands send the frames that the windows' controls send, in the order given, after one
selection of the module that the commands that need one share.

Options (defaults from the settings file, as the windows read it):
  --port N          port number N (COM1 to COM20), mapped to a device as the windows map it
  --device PATH     the serial device itself, instead of a port number
  --baud 4800|9600  the line's speed
  --address A       the module's address, 100 to 132
  --no-select       no selection before the commands that need a selected module
  -v, --verbose     each frame sent and each reply, in hex with its name
  -n, --dry-run     print the frames that would be sent; no port is opened
  -h, --help        this text
  --version         the program's version

Commands:
  select                 select the module; status 3 when it does not answer
  deselect               DeselectDevice
  scan                   print the addresses from 100 to 132 that answer, one a line
  text STRING [--at ROW,COLUMN]
                         STRING as typed keys (Windows-1252), at ROW 0-3, COLUMN 0-19 if given
  clear | home | next-line
  cursor underscore|blinking|hidden
  position ROW COLUMN    ROW 0-3, COLUMN 0-19
  backlight on|off|flash
  output N on|off        output N 0-7
  outputs on|off         all eight outputs
  show-text N ROW        stored text N 1-8 on ROW 0-3
  char N                 user-defined character N 1-8
  load-chars             the module's characters again from its EEPROM
  set-uid A              the module's new address, 101 to 132
  set-baud 4800|9600     the module's new speed; the line follows it
  set-io D1 ... D8       the directions of P2 lines 1 to 8, each out or in
  store-texts T1 ... T8 on|off
                         the eight stored texts and the start-up screen, as "Send" sends them
  upload-chars [FILE]    the eight characters of the settings file, or of FILE
  save-eeprom            the module keeps its settings in its EEPROM
  provision PROFILE      texts, characters, I/O lines, save, then new speed and address

Exit status: 0 done, 1 bad arguments or file, 2 port not opened or lost, 3 no answer from
the module. The settings file is never written.)");
}
