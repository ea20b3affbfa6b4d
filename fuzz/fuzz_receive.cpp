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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    modVariables vars;
    vars.DeviceAddress = 100;
    QString rxLabel; // lblRxData
    QByteArray replies; // the replies the label must show
    QByteArray waiting; // in the port, below the threshold

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
    // Blocks too short to tell count for nothing.
    for (qsizetype n = 0; n < 2; ++n) {
        const bool flag = vars.ReplyReceived;
        check(ReceiveBlock(vars, waiting.left(n)).isEmpty() && vars.ReplyReceived == flag,
              "a short block counted", waiting.left(n));
    }
    return 0;
}
