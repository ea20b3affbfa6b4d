#pragma once

// An independent reading of the wire protocol for the checks of a byte stream: it walks the
// bytes that reached the line, frame by frame, from the protocol's frame table alone (it shares
// no code with the program or the virtual module), and says where a byte belongs to no frame.
//
// Frames carry no length, so one fact of the line is needed besides the bytes: a pause (the
// line went quiet) ends a stored text, and ends any other frame cut short. A lone 239 or 254
// ended by a pause is a typed character.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

class FrameWalker
{
public:
    enum Kind {
        UserChar, // 0..7
        Control, // 11, 12, 13
        TextChar, // 32..255
        Deselect, // 234
        Select, // 239, address
        Command, // 254, opcode without arguments
        CommandArgs, // 254, opcode, fixed arguments
        Upload, // 254, 100, 64 bytes
        StoreText, // 254, 101..108, 16..20 text bytes
        Bad, // no frame of the protocol (or one with an argument out of range)
    };
    struct Frame
    {
        Kind kind;
        qsizetype start;
        QByteArray bytes;
        QString why; // for Bad
    };

    // strict: arguments must lie in the ranges the program produces. Otherwise a frame is only
    // delimited, the way a module must read it (unknown opcodes end after the opcode).
    explicit FrameWalker(bool strict = true)
        : m_strict(strict)
    { }

    void push(quint8 b)
    {
        if (m_cur.isEmpty())
            m_start = m_offset;
        ++m_offset;
        m_cur.append(char(b));
        if (m_cur.size() == 1) {
            if (b <= 7)
                finish(UserChar);
            else if (b >= 11 && b <= 13)
                finish(Control);
            else if (b == 234)
                finish(Deselect);
            else if (b < 32)
                finish(Bad, QStringLiteral("byte %1 starts no frame").arg(b));
            else if (b != 239 && b != 254)
                finish(TextChar);
        } else if (quint8(m_cur[0]) == 239) {
            // 99 is what "Select Device" sends with no address chosen: no module has it.
            const bool known = !m_strict || (b >= 99 && b <= 132);
            finish(Select, known ? QString() : QStringLiteral("select address %1").arg(b));
        } else if (m_cur.size() == 2) {
            opcode(b);
        } else if (m_text && m_cur.size() == 22) {
            finish(StoreText);
        } else if (!m_text && --m_need == 0) {
            finish(m_cur.size() == 66 ? Upload : CommandArgs, arguments());
        }
    }

    void push(const QByteArray &bytes)
    {
        for (char c : bytes)
            push(quint8(c));
    }

    // The line went quiet.
    void pause()
    {
        if (m_cur.size() == 1)
            finish(TextChar); // 239 or 254 typed, then nothing
        else if (m_text && m_cur.size() == 2 && quint8(m_cur[1]) == 103)
            finish(Command); // SetBaud4800 alone
        else if (m_text && (m_cur.size() - 2 >= 16 || !m_strict))
            finish(StoreText);
        else if (!m_cur.isEmpty())
            finish(Bad, QStringLiteral("frame cut by a pause after %1 bytes").arg(m_cur.size()));
    }

    bool inFrame() const { return !m_cur.isEmpty(); }
    QByteArray pending() const { return m_cur; } // the frame begun and not yet ended
    const QList<Frame> &frames() const { return m_frames; }

private:
    void opcode(quint8 op)
    {
        // Cursor types, backlight on, off, flash, load bitmaps, all outputs on, off, start-up
        // screen on, off, save to EEPROM, 9600 baud.
        static const QByteArray plain = QByteArray::fromHex("010203060708"
                                                            "0b0c0d0f1020ff");
        // UID and I/O directions take one byte; cursor position, output and show text two.
        m_need = op == 48 || op == 49 ? 1 : op >= 50 && op <= 52 ? 2 : op == 100 ? 64 : 0;
        m_text = op >= 101 && op <= 108; // a stored text, or 4800 baud (103) when none follows
        if (plain.contains(char(op)))
            finish(Command);
        else if (!m_need && !m_text)
            finish(Bad, QStringLiteral("unknown opcode %1").arg(op));
    }

    // Why the arguments are out of range, or empty.
    QString arguments() const
    {
        const auto at = [this](int i) { return int(quint8(m_cur[i])); };
        const int op = m_strict ? at(1) : 0;
        if (op == 48 && (at(2) < 101 || at(2) > 132))
            return QStringLiteral("UID %1").arg(at(2));
        if (op == 50 && (at(2) > 3 || at(3) > 19))
            return QStringLiteral("cursor position %1,%2").arg(at(2)).arg(at(3));
        if (op == 51 && (at(2) > 7 || (at(3) != 72 && at(3) != 73)))
            return QStringLiteral("output %1 state %2").arg(at(2)).arg(at(3));
        if (op == 52 && (at(2) < 101 || at(2) > 108 || at(3) > 3))
            return QStringLiteral("show text %1 row %2").arg(at(2)).arg(at(3));
        return {};
    }

    void finish(Kind kind, const QString &why = QString())
    {
        m_frames.append({why.isEmpty() ? kind : Bad, m_start, m_cur, why});
        m_cur.clear();
        m_need = 0;
        m_text = false;
    }

    bool m_strict;
    QList<Frame> m_frames;
    QByteArray m_cur;
    qsizetype m_start = 0;
    qsizetype m_offset = 0;
    int m_need = 0;
    bool m_text = false;
};
