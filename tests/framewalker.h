#pragma once

// The tests' reading of the bytes that reached the line, frame by frame, on the protocol's one
// table: where each frame starts, and which bytes form no frame or carry arguments that the
// program never produces. A pause (the line went quiet) ends a stored text and any other frame
// cut short; a lone 239 or 254 ended by a pause is a typed character.

#include "display/protocol.h"

#include <QList>
#include <QString>

class FrameWalker
{
public:
    struct Frame
    {
        Protocol::FrameId id;
        qsizetype start; // offset of its first byte in the stream
        QByteArray bytes;
        QString why; // what is wrong with it; empty for a frame of the program
        bool bad() const { return !why.isEmpty(); }
    };

    // strict: arguments must lie in the ranges the program produces. Otherwise frames are only
    // delimited, the way a module reads them.
    explicit FrameWalker(bool strict = true)
        : m_strict(strict)
    { }

    void push(quint8 byte)
    {
        ++m_offset;
        if (const auto frame = m_decoder.push(byte))
            add(*frame);
    }
    void push(const QByteArray &bytes)
    {
        for (char c : bytes)
            push(quint8(c));
    }
    void pause()
    {
        const QByteArray begun = m_decoder.pending();
        if (const auto frame = m_decoder.pause()) {
            const bool typed = begun.size() == 1
                && (quint8(begun[0]) == Protocol::SelectCode
                    || quint8(begun[0]) == Protocol::CommandPrefix);
            add(typed ? Protocol::Frame {Protocol::FrameId::TextChar, begun} : *frame);
        }
    }

    bool inFrame() const { return m_decoder.inFrame(); }
    QByteArray pending() const { return m_decoder.pending(); }
    const QList<Frame> &frames() const { return m_frames; }

private:
    void add(const Protocol::Frame &f)
    {
        // 99 is what "Select Device" sends for a typed address: no module has it.
        const bool unselectable
            = f.id == Protocol::FrameId::SelectDevice && quint8(f.bytes.at(1)) == 99;
        QString why;
        if (f.id == Protocol::FrameId::Unknown)
            why = QStringLiteral("no frame");
        else if (m_strict && !unselectable && !Protocol::argumentsInRange(f))
            why = QStringLiteral("%1 out of range").arg(Protocol::describe(f));
        m_frames.append({f.id, m_offset - f.bytes.size(), f.bytes, why});
    }

    bool m_strict;
    Protocol::Decoder m_decoder;
    QList<Frame> m_frames;
    qsizetype m_offset = 0;
};
