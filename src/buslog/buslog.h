#pragma once

#include "display/protocol.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <vector>

class QIODevice;

// The record of every frame that went out on or came in from a port of the program, from its
// start, whether anybody looks at it or not: one row per frame, numbered from the start. It
// keeps the latest Capacity rows and at most KeptBytes bytes of each, so its memory is bounded
// by its row count whatever arrives.
class BusLog
{
public:
    enum class Window : quint8 { Main, Config };
    enum class Direction : quint8 { Out, In };
    enum class Format { Text, Csv };

    static constexpr int Capacity = 100000;
    static constexpr int KeptBytes = 66; // the longest frame; a longer run keeps its first bytes
    // Bytes from a port further apart than this belong to different frames: a reply cut
    // between reads is one frame, a 238 followed by silence is none.
    static constexpr int PauseMs = 50;
    // Typed characters this close to the one before share a row, up to a display row.
    static constexpr int TypingMs = 1000;
    static constexpr int TypedRowMax = 20;

    struct Row
    {
        // Milliseconds since the epoch: an outgoing frame when its last byte was handed to the
        // device, an incoming one when its first byte was read.
        qint64 ms = 0;
        qint64 sincePrevious = -1; // -1: no row before it
        quint64 omitted = 0; // bytes of the row beyond the kept ones
        int port = 0; // 1 for COM1
        Window window = Window::Main;
        Direction direction = Direction::Out;
        Protocol::FrameId id = Protocol::FrameId::Unknown;
        QByteArray bytes; // at most KeptBytes
    };

    // Capacity rows at most; tests take fewer.
    explicit BusLog(int capacity = Capacity);
    BusLog(const BusLog &) = delete;
    BusLog &operator=(const BusLog &) = delete;

    // Frames a window wrote to port `port`, named as their sender built them; the last byte has
    // just been handed to the device.
    void sent(int port, Window window, const QList<Protocol::Frame> &frames);
    // Bytes a window read from port `port`, as they arrived: decoded into frames across reads;
    // bytes that form none are kept as unknown rows, never dropped.
    void received(int port, Window window, const QByteArray &bytes);
    // Ends the incoming frames begun on a line that has been quiet for PauseMs since.
    void settle();
    // True while incoming bytes wait for the rest of their frame.
    bool waiting() const;

    quint64 first() const { return m_first; } // number of the oldest row kept
    quint64 end() const { return m_end; } // one past the newest row
    const Row &row(quint64 number) const;
    int capacity() const { return m_capacity; }
    // Rows that fell off the front of the full log since the start or the last clear.
    quint64 dropped() const { return m_dropped; }
    // Forgets every row, and the bytes that wait for the rest of a frame.
    void clear();
    quint64 clears() const { return m_clears; }
    // Changes when the newest row grows (typed characters, a run of unknown bytes).
    quint64 tailRevision() const { return m_tailRevision; }

    // Called once at the first change after setObserver() or observed(), so that a window
    // can gather changes and look at them later, at its own pace.
    void setObserver(std::function<void()> changed);
    void observed() { m_armed = bool(m_changed); }
    // Milliseconds since the epoch; tests set their own clock.
    void setClock(std::function<qint64()> clock);

    // A row as a person reads it.
    static QString time(const Row &row); // hh:mm:ss.mmm, local time
    static QString bytesText(const Row &row); // EF 64, as the trace writes them
    static QString meaning(const Row &row); // SelectDevice 100, Text "Hello", unknown EE 41
    enum Column { Time, SincePrevious, Port, WindowName, DirectionName, Bytes, Meaning, Columns };
    static QString column(const Row &row, int column);
    static QStringList columns(const Row &row); // every column, in order
    static QStringList headers();
    // One line of the rows in the format (text: columns separated by tabs; CSV: quoted where
    // needed), ended by a line break.
    static QString line(const Row &row, Format format);
    // Writes the given rows (numbers of this log) one a line, CSV with a line of headers first.
    bool write(QIODevice &device, Format format, const std::vector<quint64> &numbers) const;

private:
    struct Stream
    {
        int port;
        Window window;
        Protocol::ReplyDecoder decoder;
        qint64 firstMs = 0; // first byte of the frame begun
        qint64 lastMs = 0; // last byte read
    };
    Stream &stream(int port, Window window);
    void endFrame(Stream &stream);
    void add(Direction direction, const Stream &stream, qint64 ms, const Protocol::Frame &frame);
    bool extend(Direction direction, const Stream &stream, qint64 ms, const Protocol::Frame &frame);
    void append(Direction direction, const Stream &stream, qint64 ms, const Protocol::Frame &frame);
    void changed();

    int m_capacity;
    std::vector<Row> m_rows; // a ring: row n at (n - m_base) % m_capacity
    quint64 m_base = 0;
    quint64 m_first = 0;
    quint64 m_end = 0;
    quint64 m_dropped = 0;
    quint64 m_clears = 0;
    quint64 m_tailRevision = 0;
    qint64 m_tailMs = 0; // last byte of the newest row
    qint64 m_lastMs = -1; // time of the newest row, for the next row's interval
    std::vector<Stream> m_streams;
    std::function<void()> m_changed;
    bool m_armed = false;
    std::function<qint64()> m_clock;
};
