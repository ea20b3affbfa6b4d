#pragma once

// The bytes that reached the line read frame by frame on the protocol's one table: where each
// frame starts, and which bytes form no frame or (strict) carry arguments the program never
// produces. A pause ends a stored text and any frame cut short; a lone 239 or 254 that a pause
// ends is a typed character.

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
        const bool typed = begun == "\xef" || begun == "\xfe";
        if (const auto frame = m_decoder.pause())
            add(typed ? Protocol::Frame {Protocol::FrameId::TextChar, begun} : *frame);
    }
    bool inFrame() const { return m_decoder.inFrame(); }
    QByteArray pending() const { return m_decoder.pending(); }
    const QList<Frame> &frames() const { return m_frames; }

private:
    void add(const Protocol::Frame &f)
    {
        // 99 is what "Select Device" sends for a typed address: no module has it.
        const bool unselectable = f.bytes == "\xef\x63";
        QString why = f.id == Protocol::FrameId::Unknown ? QStringLiteral("no frame") : QString();
        if (why.isEmpty() && m_strict && !unselectable && !Protocol::argumentsInRange(f))
            why = Protocol::describe(f) + QStringLiteral(" out of range");
        m_frames.append({f.id, m_offset - f.bytes.size(), f.bytes, why});
    }

    bool m_strict;
    Protocol::Decoder m_decoder;
    QList<Frame> m_frames;
    qsizetype m_offset = 0;
};
