#include "buslog/buslog.h"

#include "link/ansi.h"

#include <QDateTime>
#include <QIODevice>

#include <algorithm>
#include <cstring>
#include <limits>

using Protocol::FrameId;

BusLog::BusLog(int capacity)
    : m_capacity(std::max(1, capacity))
    , m_clock([] { return QDateTime::currentMSecsSinceEpoch(); })
{ }

void BusLog::setObserver(std::function<void()> changed)
{
    m_changed = std::move(changed);
    observed();
}

void BusLog::setClock(std::function<qint64()> clock)
{
    m_clock = std::move(clock);
}

BusLog::Stream &BusLog::stream(int port, Window window)
{
    for (Stream &s : m_streams) {
        if (s.port == port && s.window == window)
            return s;
    }
    m_streams.push_back({port, window, {}, 0, 0});
    return m_streams.back();
}

const BusLog::Row &BusLog::row(quint64 number) const
{
    return m_rows[size_t((number - m_base) % quint64(m_capacity))];
}

void BusLog::changed()
{
    if (m_armed) {
        m_armed = false;
        m_changed();
    }
}

void BusLog::sent(int port, Window window, const QList<Protocol::Frame> &frames)
{
    const qint64 now = m_clock();
    Stream &s = stream(port, window);
    // A module answers the frame before; no reply continues across a new one.
    endFrame(s);
    for (const Protocol::Frame &frame : frames)
        add(Direction::Out, s, now, frame);
    changed();
}

void BusLog::received(int port, Window window, const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    const qint64 now = m_clock();
    Stream &s = stream(port, window);
    if (s.decoder.inFrame() && now - s.lastMs > PauseMs)
        endFrame(s);
    const char *data = bytes.constData();
    const qsizetype size = bytes.size();
    for (qsizetype i = 0; i < size;) {
        if (!s.decoder.inFrame()) {
            s.firstMs = now;
            // A run of bytes that open no reply is one piece of unknown bytes (a flood is
            // counted, not copied).
            const void *reply = std::memchr(data + i, Protocol::ReplyCode, size_t(size - i));
            const qsizetype run = reply ? static_cast<const char *>(reply) - (data + i) : size - i;
            if (run > 0) {
                add(Direction::In, s, now,
                    {FrameId::Unknown, QByteArray::fromRawData(data + i, run)});
                i += run;
                continue;
            }
        }
        if (const auto frame = s.decoder.push(quint8(data[i])))
            add(Direction::In, s, s.firstMs, *frame);
        ++i;
    }
    s.lastMs = now;
    changed();
}

void BusLog::endFrame(Stream &s)
{
    if (const auto frame = s.decoder.pause())
        add(Direction::In, s, s.firstMs, *frame);
}

void BusLog::settle()
{
    const qint64 now = m_clock();
    for (Stream &s : m_streams) {
        if (s.decoder.inFrame() && now - s.lastMs > PauseMs)
            endFrame(s);
    }
}

bool BusLog::waiting() const
{
    return std::any_of(m_streams.begin(), m_streams.end(),
                       [](const Stream &s) { return s.decoder.inFrame(); });
}

void BusLog::add(Direction direction, const Stream &s, qint64 ms, const Protocol::Frame &frame)
{
    if (!extend(direction, s, ms, frame))
        append(direction, s, ms, frame);
}

// Typed characters in quick succession share a row, and so do unknown bytes that keep coming:
// the newest row grows when the frame continues it.
bool BusLog::extend(Direction direction, const Stream &s, qint64 ms, const Protocol::Frame &frame)
{
    if (m_end == m_first)
        return false;
    Row &tail = m_rows[size_t((m_end - 1 - m_base) % quint64(m_capacity))];
    if (tail.port != s.port || tail.window != s.window || tail.direction != direction
        || tail.id != frame.id)
        return false;
    const bool typed = direction == Direction::Out && frame.id == FrameId::TextChar
        && ms - m_tailMs <= TypingMs && tail.bytes.size() + frame.bytes.size() <= TypedRowMax;
    const bool unknown
        = direction == Direction::In && frame.id == FrameId::Unknown && ms - m_tailMs <= PauseMs;
    if (!typed && !unknown)
        return false;
    const qsizetype room = std::max<qsizetype>(0, KeptBytes - tail.bytes.size());
    tail.bytes += frame.bytes.left(room);
    tail.omitted += quint64(std::max<qsizetype>(0, frame.bytes.size() - room));
    m_tailMs = ms;
    ++m_tailRevision;
    return true;
}

void BusLog::append(Direction direction, const Stream &s, qint64 ms, const Protocol::Frame &frame)
{
    if (m_end - m_first == quint64(m_capacity)) {
        ++m_first;
        ++m_dropped;
    }
    const size_t slot = size_t((m_end - m_base) % quint64(m_capacity));
    if (slot == m_rows.size()) {
        // Grows by doubling up to the capacity exactly, never beyond.
        if (m_rows.size() == m_rows.capacity())
            m_rows.reserve(std::min(size_t(m_capacity), std::max<size_t>(256, m_rows.size() * 2)));
        m_rows.emplace_back();
    }
    Row &row = m_rows[slot];
    row.ms = ms;
    row.sincePrevious = m_lastMs < 0 ? -1 : ms - m_lastMs;
    row.omitted = quint64(std::max<qsizetype>(0, frame.bytes.size() - KeptBytes));
    row.port = s.port;
    row.window = s.window;
    row.direction = direction;
    row.id = frame.id;
    // A copy of its own: the frame's bytes may be a view of a read buffer.
    row.bytes
        = QByteArray(frame.bytes.constData(), std::min<qsizetype>(frame.bytes.size(), KeptBytes));
    ++m_end;
    m_lastMs = ms;
    m_tailMs = ms;
}

void BusLog::clear()
{
    m_rows.clear();
    for (Stream &s : m_streams)
        s.decoder = {};
    m_base = m_first = m_end;
    m_dropped = 0;
    m_lastMs = -1;
    ++m_clears;
    changed();
}

// Local time. The zone's offset is looked up once per quarter hour of the clock (offsets
// change only at such boundaries): the lookup costs more than the rest of a row's text.
QString BusLog::time(const Row &row)
{
    constexpr qint64 Quarter = 15 * 60 * 1000;
    constexpr qint64 Day = 24 * 60 * 60 * 1000;
    thread_local qint64 slot = std::numeric_limits<qint64>::min();
    thread_local qint64 offset = 0;
    const qint64 start = row.ms - ((row.ms % Quarter) + Quarter) % Quarter;
    if (start != slot) {
        slot = start;
        offset = qint64(QDateTime::fromMSecsSinceEpoch(start).offsetFromUtc()) * 1000;
    }
    const qint64 t = ((row.ms + offset) % Day + Day) % Day;
    const int fields[] = {int(t / 3600000), int(t / 60000 % 60), int(t / 1000 % 60)};
    char text[13];
    for (int i = 0; i < 3; ++i) {
        text[i * 3] = char('0' + fields[i] / 10);
        text[i * 3 + 1] = char('0' + fields[i] % 10);
        text[i * 3 + 2] = i < 2 ? ':' : '.';
    }
    const int ms = int(t % 1000);
    text[9] = char('0' + ms / 100);
    text[10] = char('0' + ms / 10 % 10);
    text[11] = char('0' + ms % 10);
    return QString::fromLatin1(text, 12);
}

QString BusLog::bytesText(const Row &row)
{
    return QString::fromLatin1(row.bytes.toHex(' ').toUpper());
}

QString BusLog::meaning(const Row &row)
{
    QString text = row.id == FrameId::TextChar && row.bytes.size() > 1
        ? QStringLiteral("Text \"%1\"").arg(Ansi::decode(row.bytes))
        : Protocol::describe({row.id, row.bytes});
    if (row.omitted > 0)
        text += QStringLiteral(" \u2026 and %1 more bytes, not kept").arg(row.omitted);
    return text;
}

QStringList BusLog::headers()
{
    return {QStringLiteral("Time"),   QStringLiteral("+ms"), QStringLiteral("Port"),
            QStringLiteral("Window"), QStringLiteral("Dir"), QStringLiteral("Bytes"),
            QStringLiteral("Meaning")};
}

QString BusLog::column(const Row &row, int column)
{
    switch (column) {
    case Time:
        return time(row);
    case SincePrevious:
        return row.sincePrevious < 0 ? QString() : QString::number(row.sincePrevious);
    case Port:
        return QStringLiteral("COM%1").arg(row.port);
    case WindowName:
        return row.window == Window::Main ? QStringLiteral("main")
                                          : QStringLiteral("configuration");
    case DirectionName:
        return row.direction == Direction::Out ? QStringLiteral("out") : QStringLiteral("in");
    case Bytes:
        return bytesText(row);
    case Meaning:
        return meaning(row);
    default:
        return {};
    }
}

QStringList BusLog::columns(const Row &row)
{
    QStringList out;
    for (int c = 0; c < Columns; ++c)
        out << column(row, c);
    return out;
}

namespace {

// A text field keeps to its column and its line: tabs and line breaks (which a stored text may
// hold) are written as escapes.
QString plain(QString field)
{
    return field.replace(QLatin1Char('\t'), QLatin1String("\\t"))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"))
        .replace(QLatin1Char('\r'), QLatin1String("\\r"));
}

QString csv(QString field)
{
    static const QString special = QStringLiteral(",\"\r\n");
    if (std::none_of(field.begin(), field.end(), [](QChar c) { return special.contains(c); })
        && field.trimmed().size() == field.size())
        return field;
    return QLatin1Char('"') + field.replace(QLatin1Char('"'), QLatin1String("\"\""))
        + QLatin1Char('"');
}

QString join(const QStringList &fields, BusLog::Format format)
{
    QStringList out;
    for (const QString &field : fields)
        out << (format == BusLog::Format::Csv ? csv(field) : plain(field));
    return format == BusLog::Format::Csv ? out.join(QLatin1Char(',')) + QLatin1String("\r\n")
                                         : out.join(QLatin1Char('\t')) + QLatin1Char('\n');
}

} // namespace

QString BusLog::line(const Row &row, Format format)
{
    return join(columns(row), format);
}

bool BusLog::write(QIODevice &device, Format format, const std::vector<quint64> &numbers) const
{
    QByteArray chunk;
    if (format == Format::Csv)
        chunk = join(headers(), format).toUtf8();
    for (quint64 n : numbers) {
        if (n < m_first || n >= m_end)
            continue;
        chunk += line(row(n), format).toUtf8();
        if (chunk.size() >= 1 << 16) {
            if (device.write(chunk) != chunk.size())
                return false;
            chunk.clear();
        }
    }
    return device.write(chunk) == chunk.size();
}
