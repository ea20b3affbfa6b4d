// The main window's receive path on any bytes from the line, in any reads, with selections and
// frames sent in between.
//
// The port is modelled as the serial layer behaves: bytes wait until at least two are there
// (the receive threshold), then the handler reads everything that waits as one block. Input:
// records of one head byte and data. Head bits 0-5: the data's length; bit 6: first a
// selection of the address in the next byte (DeviceAddress set, ReplyReceived cleared, traces
// emptied); bit 7: first a frame sent (traces emptied). Checked after every block:
// - a block counts exactly when it starts with 238 and the selected address,
// - a counted block adds "EE" and the address in two upper-case hex digits, each followed by a
//   space, and nothing else; ReplyReceived is set by it and never cleared by the handler,
// - the received-data trace is always the replies counted since the last frame, in order.
// The bus log reads the same blocks: every byte lands in a row, in order, the replies (238 and
// an address 100..132, wherever the blocks cut them) are exactly its SelectReply rows, and it
// reads the stream alike in one piece.
#include "buslog/buslog.h"
#include "link/receive.h"
#include "shell/modvariables.h"

#include <cstdio>
#include <cstdlib>

namespace {

void check(bool ok, const char *what, const QByteArray &block)
{
    if (ok)
        return;
    std::fprintf(stderr, "receive: %s, block %s\n", what, block.toHex(' ').constData());
    std::abort();
}

QString expectedTrace(quint8 address)
{
    char text[8];
    std::snprintf(text, sizeof text, "EE %02X ", address);
    return QString::fromLatin1(text);
}

// The rows of a log, as "id:bytes" one after the other.
QByteArray rowsOf(const BusLog &log)
{
    QByteArray rows;
    for (quint64 n = log.first(); n < log.end(); ++n) {
        const BusLog::Row &row = log.row(n);
        rows += QByteArray::number(int(row.id)) + ':' + row.bytes.toHex() + ' ';
    }
    return rows;
}

// The log of a stream against a plain reading of it: every byte kept in order (none beyond a
// row's bound here), and a reply wherever 238 and an address stand, scanning from the start.
void checkLog(const BusLog &log, const QByteArray &stream)
{
    QByteArray kept;
    int replies = 0;
    for (quint64 n = log.first(); n < log.end(); ++n) {
        const BusLog::Row &row = log.row(n);
        check(row.omitted == 0 || row.bytes.size() == BusLog::KeptBytes, "row bound", row.bytes);
        kept += row.bytes;
        if (row.id == Protocol::FrameId::SelectReply) {
            check(row.bytes.size() == 2 && quint8(row.bytes[0]) == 238, "reply row", row.bytes);
            ++replies;
        }
    }
    int expected = 0;
    for (qsizetype i = 0; i + 1 < stream.size(); ++i) {
        if (quint8(stream[i]) == 238 && quint8(stream[i + 1]) >= 100
            && quint8(stream[i + 1]) <= 132) {
            ++expected;
            ++i;
        }
    }
    check(replies == expected, "replies in the log", stream);
    bool omitted = false;
    for (quint64 n = log.first(); n < log.end(); ++n)
        omitted = omitted || log.row(n).omitted > 0;
    check(omitted || kept == stream, "bytes in the log", stream);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    modVariables vars;
    vars.DeviceAddress = 100;
    QString rxLabel; // lblRxData
    QByteArray replies; // the replies the label must show
    QByteArray waiting; // in the port, below the threshold
    qint64 now = 0;
    BusLog log; // the blocks as read
    log.setClock([&now] { return now; });
    QByteArray read; // every byte read, in order

    size_t p = 0;
    while (p < size) {
        const uint8_t head = data[p++];
        if ((head & 0x40) && p < size) {
            vars.DeviceAddress = data[p++];
            vars.ReplyReceived = false;
        }
        if (head & 0xC0) {
            rxLabel.clear();
            replies.clear();
        }
        const size_t length = std::min<size_t>(head & 0x3F, size - p);
        waiting.append(reinterpret_cast<const char *>(data + p), qsizetype(length));
        p += length;
        if (waiting.size() < 2)
            continue;

        const QByteArray block = waiting;
        waiting.clear();
        const bool flagBefore = vars.ReplyReceived;
        const quint8 address = vars.DeviceAddress;
        const QString trace = ReceiveBlock(vars, block);
        log.received(1, BusLog::Window::Main, block);
        read += block;
        const bool reply = quint8(block[0]) == 238 && quint8(block[1]) == address;

        check(vars.DeviceAddress == address, "the handler changed DeviceAddress", block);
        check(vars.ReplyReceived == (flagBefore || reply), "ReplyReceived", block);
        check(trace == (reply ? expectedTrace(address) : QString()), "trace text", block);
        rxLabel += trace;
        if (reply)
            replies += block.left(2);
        check(QByteArray::fromHex(rxLabel.toLatin1()) == replies, "received-data trace", block);
        check(rxLabel.size() == replies.size() * 3, "received-data trace length", block);
    }
    // The line goes quiet: a 238 still waiting for its address becomes a row too.
    now += BusLog::PauseMs + 1;
    log.settle();
    check(!log.waiting(), "a frame left open", read);
    checkLog(log, read);
    BusLog whole;
    whole.setClock([&now] { return now; });
    whole.received(1, BusLog::Window::Main, read);
    now += BusLog::PauseMs + 1;
    whole.settle();
    check(rowsOf(whole) == rowsOf(log), "the log depends on how the line is read", read);

    // Blocks too short to tell count for nothing.
    for (qsizetype n = 0; n < 2; ++n) {
        const bool flag = vars.ReplyReceived;
        check(ReceiveBlock(vars, waiting.left(n)).isEmpty() && vars.ReplyReceived == flag,
              "a short block counted", waiting.left(n));
    }
    return 0;
}
