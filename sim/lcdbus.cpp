#include "sim/lcdbus.h"

#include "display/frames.h"
#include "display/protocol.h"

#include <QStringList>

#include <cctype>

namespace {

// Printable ASCII stays, the rest (and the quote and backslash) become \xHH.
QString escaped(const QByteArray &bytes)
{
    QString out;
    for (char c : bytes) {
        const quint8 b = quint8(c);
        if (b >= 32 && b < 127 && b != '"' && b != '\\')
            out.append(QChar(b));
        else
            out.append(QStringLiteral("\\x%1").arg(b, 2, 16, QLatin1Char('0')).toUpper());
    }
    return out;
}

QString hexByte(quint8 b)
{
    return QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
}

} // namespace

bool LcdSettings::operator==(const LcdSettings &other) const
{
    return address == other.address && baud == other.baud && directions == other.directions
        && startupScreen == other.startupScreen && texts == other.texts && chars == other.chars;
}

namespace {

constexpr char ImageTitle[] = "tessaline-sim EEPROM 1";

QByteArrayList imageKeys()
{
    QByteArrayList keys = {"address", "baud", "directions", "startup"};
    for (int n = 1; n <= LcdSettings::TextCount; ++n)
        keys << "text" + QByteArray::number(n);
    return keys << "chars";
}

std::optional<LcdSettings> rejected(QString *why, const QString &reason)
{
    if (why)
        *why = reason;
    return std::nullopt;
}

// Hex digits only, and an even number of them: fromHex() would skip anything else.
bool isHex(const QByteArray &value)
{
    for (char c : value) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return value.size() % 2 == 0;
}

} // namespace

QByteArray LcdSettings::image() const
{
    QByteArrayList values = {QByteArray::number(address), QByteArray::number(baud),
                             QByteArray::number(directions, 16).toUpper().rightJustified(2, '0'),
                             startupScreen ? "on" : "off"};
    for (const QByteArray &text : texts)
        values << text.toHex().toUpper();
    values << chars.toHex().toUpper();
    const QByteArrayList keys = imageKeys();
    QByteArray out = QByteArray(ImageTitle) + '\n';
    for (int i = 0; i < keys.size(); ++i)
        out += keys[i] + ' ' + values[i] + '\n';
    return out;
}

std::optional<LcdSettings> LcdSettings::fromImage(const QByteArray &image, QString *why)
{
    if (image.size() > MaxImageSize || !image.startsWith(QByteArray(ImageTitle) + '\n'))
        return rejected(why, QStringLiteral("not an EEPROM file of tessaline-sim"));
    QByteArrayList lines = image.split('\n');
    lines.removeFirst();
    const QByteArrayList keys = imageKeys();
    if (lines.size() != keys.size() + 1 || !lines.last().isEmpty())
        return rejected(why, QStringLiteral("cut short or too long"));

    LcdSettings s;
    bool ok = true;
    for (int i = 0; i < keys.size(); ++i) {
        const qsizetype space = lines[i].indexOf(' ');
        const QByteArray key = lines[i].left(space);
        const QByteArray value = space < 0 ? QByteArray() : lines[i].mid(space + 1);
        if (key != keys[i])
            return rejected(why, QStringLiteral("line %1 is not \"%2\"").arg(i + 2).arg(keys[i]));
        if (key == "address") {
            const uint a = value.toUInt(&ok);
            ok = ok && a <= 255;
            s.address = quint8(a);
        } else if (key == "baud") {
            s.baud = value.toInt(&ok);
            ok = ok && (s.baud == 4800 || s.baud == 9600);
        } else if (key == "directions") {
            s.directions = quint8(value.toUInt(&ok, 16));
            ok = ok && value.size() == 2;
        } else if (key == "startup") {
            ok = value == "on" || value == "off";
            s.startupScreen = value == "on";
        } else if (key == "chars") {
            s.chars = QByteArray::fromHex(value);
            ok = isHex(value) && s.chars.size() == CharBytes;
        } else {
            QByteArray &text = s.texts[size_t(i - 4)];
            text = QByteArray::fromHex(value);
            ok = isHex(value) && text.size() <= TextMax;
        }
        if (!ok)
            return rejected(
                why,
                QStringLiteral("%1 \"%2\" is out of range")
                    .arg(QString::fromLatin1(key), QString::fromLatin1(value.left(40))));
    }
    return s;
}

LcdModule::LcdModule(quint8 address)
{
    m_settings.address = address;
    m_eeprom = m_settings;
    m_display.fill(' ');
}

quint8 LcdModule::at(int row, int column) const
{
    if (row < 0 || row >= Rows || column < 0 || column >= Columns)
        return ' ';
    return m_display[size_t(row * Columns + column)];
}

QByteArray LcdModule::row(int row) const
{
    if (row < 0 || row >= Rows)
        return {};
    return QByteArray(reinterpret_cast<const char *>(m_display.data()) + row * Columns, Columns);
}

QByteArray LcdModule::text(int n) const
{
    if (n < 1 || n > LcdSettings::TextCount)
        return {};
    return m_settings.texts[size_t(n - 1)];
}

const char *LcdModule::cursorName(CursorType type)
{
    switch (type) {
    case Underscore:
        return "underscore";
    case Blinking:
        return "blinking";
    case Hidden:
        return "hidden";
    }
    return "";
}

const char *LcdModule::backlightName(Backlight backlight)
{
    switch (backlight) {
    case BacklightOn:
        return "on";
    case BacklightOff:
        return "off";
    case BacklightFlashing:
        return "flashing";
    }
    return "";
}

QString LcdModule::describe() const
{
    QStringList rows;
    for (int r = 0; r < Rows; ++r)
        rows << QLatin1Char('"') + escaped(row(r)) + QLatin1Char('"');
    QStringList texts;
    for (const QByteArray &t : m_settings.texts)
        texts << QLatin1Char('"') + escaped(t) + QLatin1Char('"');
    return QStringLiteral("module %1: selected=%2 baud=%3 backlight=%4 cursor=%5@%6,%7 "
                          "outputs=%8 directions=%9 startup=%10 saves=%11 loads=%12 "
                          "garbled=%13 display=%14 texts=%15 chars=%16")
        .arg(m_settings.address)
        .arg(QLatin1String(m_selected ? "yes" : "no"))
        .arg(m_settings.baud)
        .arg(QLatin1String(backlightName(m_backlight)))
        .arg(QLatin1String(cursorName(m_cursorType)))
        .arg(m_row)
        .arg(m_column)
        .arg(hexByte(m_outputs), hexByte(m_settings.directions),
             QLatin1String(m_settings.startupScreen ? "on" : "off"))
        .arg(m_saves)
        .arg(m_bitmapLoads)
        .arg(m_garbled)
        .arg(rows.join(QLatin1Char('/')), texts.join(QLatin1Char(',')),
             QString::fromLatin1(m_settings.chars.toHex().toUpper()));
}

void LcdModule::writeCode(quint8 code)
{
    m_display[size_t(m_row * Columns + m_column)] = code;
    if (++m_column == Columns) {
        m_column = 0;
        m_row = (m_row + 1) % Rows;
    }
}

void LcdModule::cursorHome()
{
    m_row = 0;
    m_column = 0;
}

void LcdModule::nextLine()
{
    m_row = (m_row + 1) % Rows;
    m_column = 0;
}

void LcdModule::clearDisplay()
{
    m_display.fill(' ');
    cursorHome();
}

void LcdModule::setCursorType(quint8 type)
{
    if (type >= Underscore && type <= Hidden)
        m_cursorType = CursorType(type);
}

void LcdModule::setCursorPosition(int row, int column)
{
    if (row < 0 || row >= Rows || column < 0 || column >= Columns)
        return;
    m_row = row;
    m_column = column;
}

void LcdModule::showText(int n, int row)
{
    if (row < 0 || row >= Rows)
        return;
    const QByteArray t = text(n).left(Columns);
    for (int c = 0; c < t.size(); ++c)
        m_display[size_t(row * Columns + c)] = quint8(t[c]);
}

void LcdModule::loadBitmaps()
{
    m_settings.chars = m_eeprom.chars;
    ++m_bitmapLoads;
}

void LcdModule::setOutput(int output, bool on)
{
    if (output < 0 || output > 7)
        return;
    const quint8 bit = quint8(1u << output);
    m_outputs = on ? quint8(m_outputs | bit) : quint8(m_outputs & ~bit);
}

void LcdModule::saveToEeprom()
{
    m_eeprom = m_settings;
    ++m_saves;
}

void LcdModule::powerUp(const LcdSettings &eeprom)
{
    m_eeprom = eeprom;
    powerCycle();
}

void LcdModule::setBaud(int baud)
{
    if (baud == 4800 || baud == 9600)
        m_settings.baud = baud;
}

void LcdModule::uploadChars(const QByteArray &data)
{
    if (data.size() == LcdSettings::CharBytes)
        m_settings.chars = data;
}

void LcdModule::storeText(int n, const QByteArray &text)
{
    if (n >= 1 && n <= LcdSettings::TextCount)
        m_settings.texts[size_t(n - 1)] = text.left(Protocol::StoreTextMax);
}

void LcdModule::powerCycle()
{
    m_settings = m_eeprom;
    m_display.fill(' ');
    cursorHome();
    m_cursorType = Underscore;
    m_backlight = BacklightOn;
    m_outputs = 0;
    m_selected = false;
    if (m_settings.startupScreen) {
        for (int r = 0; r < Rows; ++r)
            showText(r + 1, r);
    }
}

LcdBus::LcdBus(const QList<quint8> &addresses)
{
    for (quint8 a : addresses)
        addModule(a);
}

LcdModule &LcdBus::addModule(quint8 address)
{
    m_modules.emplace_back(address);
    return m_modules.back();
}

LcdModule *LcdBus::moduleByAddress(quint8 address)
{
    for (LcdModule &m : m_modules) {
        if (m.address() == address)
            return &m;
    }
    return nullptr;
}

const LcdModule *LcdBus::moduleByAddress(quint8 address) const
{
    return const_cast<LcdBus *>(this)->moduleByAddress(address);
}

QByteArray LcdBus::feed(const QByteArray &bytes)
{
    QByteArray answers;
    for (char c : bytes) {
        if (const auto frame = m_decoder.push(quint8(c)))
            answers += perform(*frame);
    }
    return answers;
}

void LcdBus::pause()
{
    // A stored text ends here; any other frame cut short by the pause, an upload among them, is
    // dropped.
    if (const auto frame = m_decoder.pause())
        perform(*frame);
}

QString LcdBus::describe() const
{
    QStringList lines;
    for (const LcdModule &m : m_modules)
        lines << m.describe();
    return lines.join(QLatin1Char('\n'));
}

QByteArray LcdBus::feedAt(const QByteArray &bytes, int lineBaud)
{
    bool heard = false;
    for (LcdModule &m : m_modules) {
        m.setListening(m.baud() == lineBaud);
        if (!m.isListening())
            m.countGarbled(bytes.size());
        heard = heard || m.isListening();
    }
    return heard ? feed(bytes) : QByteArray();
}

template<typename F> void LcdBus::forSelected(F f)
{
    for (LcdModule &m : m_modules) {
        if (m.isSelected())
            f(m);
    }
}

QByteArray LcdBus::perform(const Protocol::Frame &frame)
{
    using namespace Protocol;
    const QByteArray &b = frame.bytes;
    const auto arg = [&b](int i) { return quint8(b.at(i)); };
    QByteArray answer;
    switch (frame.id) {
    case FrameId::SelectDevice:
        for (LcdModule &m : m_modules) {
            m.setSelected(m.address() == arg(1));
            if (m.isSelected())
                answer += Frames::SelectReply(arg(1)).bytes;
        }
        break;
    case FrameId::DeselectDevice:
        for (LcdModule &m : m_modules)
            m.setSelected(false);
        break;
    case FrameId::UserCharCode:
    case FrameId::TextChar:
        forSelected([&](LcdModule &m) { m.writeCode(arg(0)); });
        break;
    case FrameId::CursorHomeCode:
        forSelected([](LcdModule &m) { m.cursorHome(); });
        break;
    case FrameId::NextLineCode:
        forSelected([](LcdModule &m) { m.nextLine(); });
        break;
    case FrameId::ClearCode:
        forSelected([](LcdModule &m) { m.clearDisplay(); });
        break;
    case FrameId::CursorType:
        forSelected([&](LcdModule &m) { m.setCursorType(arg(1)); });
        break;
    case FrameId::BacklightOn:
    case FrameId::BacklightOff:
    case FrameId::BacklightFlash: {
        const auto light = frame.id == FrameId::BacklightOn ? LcdModule::BacklightOn
            : frame.id == FrameId::BacklightOff             ? LcdModule::BacklightOff
                                                            : LcdModule::BacklightFlashing;
        forSelected([light](LcdModule &m) { m.setBacklight(light); });
        break;
    }
    case FrameId::LoadBitmaps:
        forSelected([](LcdModule &m) { m.loadBitmaps(); });
        break;
    case FrameId::AllOutputsOn:
    case FrameId::AllOutputsOff:
        forSelected([&](LcdModule &m) { m.setAllOutputs(frame.id == FrameId::AllOutputsOn); });
        break;
    case FrameId::StartupScreenOn:
    case FrameId::StartupScreenOff:
        forSelected(
            [&](LcdModule &m) { m.setStartupScreen(frame.id == FrameId::StartupScreenOn); });
        break;
    case FrameId::SaveToEeprom:
        forSelected([](LcdModule &m) { m.saveToEeprom(); });
        break;
    case FrameId::SetBaud4800:
    case FrameId::SetBaud9600:
        forSelected(
            [&](LcdModule &m) { m.setBaud(frame.id == FrameId::SetBaud4800 ? 4800 : 9600); });
        break;
    case FrameId::SetUid:
        forSelected([&](LcdModule &m) { m.setAddress(arg(2)); });
        break;
    case FrameId::SetIoDirection:
        forSelected([&](LcdModule &m) { m.setDirections(arg(2)); });
        break;
    case FrameId::CursorPosition:
        forSelected([&](LcdModule &m) { m.setCursorPosition(arg(2), arg(3)); });
        break;
    case FrameId::SetOutput:
        // Only the two state letters mean anything; another byte leaves the output alone.
        if (arg(3) == OutputOn || arg(3) == OutputOff)
            forSelected([&](LcdModule &m) { m.setOutput(arg(2), arg(3) == OutputOn); });
        break;
    case FrameId::ShowText:
        forSelected([&](LcdModule &m) { m.showText(arg(2) - TextBase, arg(3)); });
        break;
    case FrameId::UploadChars:
        forSelected([&](LcdModule &m) { m.uploadChars(b.mid(2)); });
        break;
    case FrameId::StoreText:
        forSelected([&](LcdModule &m) { m.storeText(arg(1) - TextBase, b.mid(2)); });
        break;
    case FrameId::SelectReply:
    case FrameId::Unknown:
        break; // no frame a module acts on
    }
    return answer;
}
