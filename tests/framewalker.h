#pragma once

// An independent reading of the wire protocol for the checks of the byte stream: it walks the
// bytes that reached the line, frame by frame, from the protocol's frame table alone (it shares
// no code with the program or the virtual module), and says where a byte belongs to no frame.
//
// Frames carry no length, so two facts of the line are needed besides the bytes: a pause (the
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
        if (m_cur.isEmpty()) {
            m_start = m_offset;
            m_cur.append(char(b));
            if (b <= 7)
                finish(UserChar);
            else if (b >= 11 && b <= 13)
                finish(Control);
            else if (b == 234)
                finish(Deselect);
            else if (b == 239 || b == 254)
                m_need = 1; // the address, or the opcode
            else if (b >= 32)
                finish(TextChar);
            else
                finish(Bad, QStringLiteral("byte %1 starts no frame").arg(b));
        } else if (quint8(m_cur[0]) == 239) {
            m_cur.append(char(b));
            // 99 is what "Select Device" sends with no address chosen: no module has it.
            if (m_strict && (b < 99 || b > 132))
                finish(Bad, QStringLiteral("select address %1").arg(b));
            else
                finish(Select);
        } else if (m_cur.size() == 1) {
            m_cur.append(char(b));
            opcode(b);
        } else {
            m_cur.append(char(b));
            if (m_text) {
                if (m_cur.size() - 2 == 20)
                    finish(StoreText);
            } else if (--m_need == 0) {
                finish(m_cur.size() == 66 ? Upload : CommandArgs, arguments());
            }
        }
        ++m_offset;
    }

    void push(const QByteArray &bytes)
    {
        for (char c : bytes)
            push(quint8(c));
    }

    // The line went quiet.
    void pause()
    {
        if (m_cur.isEmpty())
            return;
        if (m_cur.size() == 1)
            finish(TextChar); // 239 or 254 typed, then nothing
        else if (m_text && m_cur.size() == 2 && quint8(m_cur[1]) == 103)
            finish(Command); // SetBaud4800 alone
        else if (m_text && (m_cur.size() - 2 >= 16 || !m_strict))
            finish(StoreText);
        else
            finish(Bad, QStringLiteral("frame cut by a pause after %1 bytes").arg(m_cur.size()));
    }

    bool inFrame() const { return !m_cur.isEmpty(); }
    QByteArray pending() const { return m_cur; } // the frame begun and not yet ended
    qsizetype offset() const { return m_offset; }
    const QList<Frame> &frames() const { return m_frames; }

    // The first frame that is no frame of the protocol, or null.
    const Frame *firstBad() const
    {
        for (const Frame &f : m_frames) {
            if (f.kind == Bad)
                return &f;
        }
        return nullptr;
    }

private:
    void opcode(quint8 op)
    {
        m_text = false;
        switch (op) {
        case 1: // cursor types
        case 2:
        case 3:
        case 6: // backlight on, off
        case 7:
        case 8: // load bitmaps
        case 11: // backlight flash
        case 12: // all outputs on, off
        case 13:
        case 15: // start-up screen on, off
        case 16:
        case 32: // save to EEPROM
        case 255: // 9600 baud
            finish(Command);
            return;
        case 48: // UID
        case 49: // I/O directions
            m_need = 1;
            return;
        case 50: // cursor position
        case 51: // output
        case 52: // show text
            m_need = 2;
            return;
        case 100:
            m_need = 64;
            return;
        default:
            if (op >= 101 && op <= 108) {
                m_text = true; // a stored text, or 4800 baud (103) when no text follows
                return;
            }
            finish(Bad, QStringLiteral("unknown opcode %1").arg(op));
        }
    }

    // Why the arguments are out of range, or empty.
    QString arguments() const
    {
        if (!m_strict)
            return {};
        const auto at = [this](int i) { return int(quint8(m_cur[i])); };
        switch (at(1)) {
        case 48:
            return at(2) >= 101 && at(2) <= 132 ? QString() : QStringLiteral("UID %1").arg(at(2));
        case 50:
            return at(2) <= 3 && at(3) <= 19
                ? QString()
                : QStringLiteral("cursor position %1,%2").arg(at(2)).arg(at(3));
        case 51:
            return at(2) <= 7 && (at(3) == 72 || at(3) == 73)
                ? QString()
                : QStringLiteral("output %1 state %2").arg(at(2)).arg(at(3));
        case 52:
            return at(2) >= 101 && at(2) <= 108 && at(3) <= 3
                ? QString()
                : QStringLiteral("show text %1 row %2").arg(at(2)).arg(at(3));
        default:
            return {};
        }
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
