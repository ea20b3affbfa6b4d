#pragma once

#include "display/protocol.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <array>
#include <deque>
#include <optional>

// A model of the LCD modules on the RS485 bus: what each module shows and keeps after reading
// the frames of the wire protocol. Qt Core only, so tests and the viewer share it.

// What a module keeps in its EEPROM. SaveToEeprom copies the working settings here.
struct LcdSettings
{
    static constexpr int TextCount = 8;
    static constexpr int CharBytes = 64; // 8 characters x 8 pixel rows
    static constexpr int TextMax = 20; // bytes a stored text keeps

    quint8 address = 100;
    int baud = 9600; // 4800 or 9600
    quint8 directions = 0xFF; // bit set: the line is an output
    bool startupScreen = false; // show texts 1 to 4 on rows 0 to 3 at power-up
    std::array<QByteArray, TextCount> texts; // text n at n - 1; empty until stored
    QByteArray chars = QByteArray(CharBytes, '\0'); // the user-defined characters

    bool operator==(const LcdSettings &other) const;
    bool operator!=(const LcdSettings &other) const { return !(*this == other); }

    // The EEPROM as a small text file: a first line that names it, then one "key value" line
    // per setting in a fixed order, texts and characters in hex.
    QByteArray image() const;
    // The settings of an image, or none (with why) for a file that is cut, corrupt or another
    // program's; never more than MaxImageSize bytes are worth reading.
    static std::optional<LcdSettings> fromImage(const QByteArray &image, QString *why = nullptr);
    static constexpr int MaxImageSize = 1024;
};

// One 20x4 character module.
//
// Start values, as after power-up of a new module: address 100, 9600 baud, not selected,
// display all spaces, underscore cursor at row 0 column 0, backlight on, outputs all off
// (mask 0x00), all eight lines outputs (mask 0xFF), start-up screen off, no stored texts,
// user-defined characters all zero, no save and no bitmap load counted. The EEPROM holds the
// same settings.
class LcdModule
{
public:
    static constexpr int Rows = 4;
    static constexpr int Columns = 20;

    enum CursorType : quint8 { Underscore = 1, Blinking = 2, Hidden = 3 };
    enum Backlight { BacklightOn, BacklightOff, BacklightFlashing };

    explicit LcdModule(quint8 address = 100);

    // State.
    quint8 address() const { return m_settings.address; }
    int baud() const { return m_settings.baud; }
    // Addressed by the last selection and hearing the line: the frames after a selection are
    // its own. A module that does not hear the line is never selected for them.
    bool isSelected() const { return m_selected && m_listening; }
    quint8 at(int row, int column) const; // a space outside the display
    QByteArray row(int row) const; // 20 bytes, empty outside the display
    int cursorRow() const { return m_row; }
    int cursorColumn() const { return m_column; }
    CursorType cursorType() const { return m_cursorType; }
    Backlight backlight() const { return m_backlight; }
    QByteArray userChars() const { return m_settings.chars; }
    QByteArray text(int n) const; // stored text n = 1..8, empty when none or out of range
    bool startupScreen() const { return m_settings.startupScreen; }
    quint8 outputs() const { return m_outputs; } // bit set: output on
    quint8 directions() const { return m_settings.directions; }
    const LcdSettings &settings() const { return m_settings; }
    const LcdSettings &eeprom() const { return m_eeprom; }
    int saveCount() const { return m_saves; }
    int bitmapLoadCount() const { return m_bitmapLoads; }
    // Whether the module hears the line: at another speed than its own it understands nothing,
    // and the bytes it got as garbage are counted.
    bool isListening() const { return m_listening; }
    qint64 garbledCount() const { return m_garbled; }

    static const char *cursorName(CursorType type);
    static const char *backlightName(Backlight backlight);

    // One line: address, selection, speed, backlight, cursor, outputs, counters (saves, bitmap
    // loads, garbled bytes), the four rows, the stored texts and the characters; bytes outside
    // printable ASCII as \xHH.
    QString describe() const;

    // What the frames do. Out-of-range arguments change nothing.
    void setSelected(bool selected)
    {
        if (m_listening)
            m_selected = selected;
    }
    void writeCode(quint8 code); // a character code at the cursor, which then advances
    void cursorHome();
    void nextLine();
    void clearDisplay();
    void setCursorType(quint8 type);
    void setCursorPosition(int row, int column);
    void showText(int n, int row);
    void setBacklight(Backlight backlight) { m_backlight = backlight; }
    void loadBitmaps(); // the user-defined characters again from the EEPROM
    void setAllOutputs(bool on) { m_outputs = on ? 0xFF : 0x00; }
    void setOutput(int output, bool on);
    void setStartupScreen(bool on) { m_settings.startupScreen = on; }
    void saveToEeprom();
    void setAddress(quint8 address) { m_settings.address = address; }
    void setBaud(int baud);
    void setDirections(quint8 mask) { m_settings.directions = mask; }
    void uploadChars(const QByteArray &data); // exactly 64 bytes, else ignored
    void storeText(int n, const QByteArray &text); // at most 20 bytes are kept

    // Power off and on: the working settings come back from the EEPROM, the rest starts
    // afresh, and with the start-up screen on, texts 1 to 4 appear on rows 0 to 3.
    void powerCycle();
    // Power-up with this EEPROM content, as a module that kept it from its last run.
    void powerUp(const LcdSettings &eeprom);

    void setListening(bool listening) { m_listening = listening; }
    void countGarbled(qint64 bytes) { m_garbled += bytes; }

private:
    LcdSettings m_settings;
    LcdSettings m_eeprom;
    std::array<quint8, Rows * Columns> m_display;
    int m_row = 0;
    int m_column = 0;
    CursorType m_cursorType = Underscore;
    Backlight m_backlight = BacklightOn;
    quint8 m_outputs = 0;
    bool m_selected = false;
    bool m_listening = true;
    int m_saves = 0;
    int m_bitmapLoads = 0;
    qint64 m_garbled = 0;
};

// The modules sharing one byte stream. One parser tracks frame boundaries for all of them:
// selection frames go to every module, every other frame to the selected ones only.
class LcdBus
{
public:
    explicit LcdBus(const QList<quint8> &addresses = {100});

    LcdModule &addModule(quint8 address); // references stay valid while the bus lives
    int moduleCount() const { return int(m_modules.size()); }
    LcdModule &module(int index) { return m_modules.at(size_t(index)); }
    const LcdModule &module(int index) const { return m_modules.at(size_t(index)); }
    LcdModule *moduleByAddress(quint8 address); // the first with that address, or null
    const LcdModule *moduleByAddress(quint8 address) const;

    // Reads bytes from the line; returns what the modules answer (SelectReply frames).
    QByteArray feed(const QByteArray &bytes);
    // The same bytes sent at lineBaud: only the modules of that speed hear them, the others
    // count them as garbage; when no module has that speed no parser sees them at all. Each
    // module keeps whether it heard until the next call, so that the pause after a frame goes
    // to the modules that heard it.
    QByteArray feedAt(const QByteArray &bytes, int lineBaud);
    // The line has been quiet: ends a stored text, resolves 254,103 as SetBaud4800 and drops
    // any other partial frame.
    void pause();
    // True between the first and the last byte of a frame.
    bool inFrame() const { return m_decoder.inFrame(); }

    QString describe() const; // LcdModule::describe() of each module, one per line

private:
    // What a whole frame does: a selection to every module, anything else to the selected ones.
    QByteArray perform(const Protocol::Frame &frame);
    template<typename F> void forSelected(F f);

    std::deque<LcdModule> m_modules;
    Protocol::Decoder m_decoder;
};
