// The virtual modules' frame parser on any byte stream, cut into any reads and pauses.
//
// Input: byte 0 picks the modules (1 to 3) and bytes 1..3 their addresses; then records of one head
// byte and its data: the low 7 bits of the head are the data's length, bit 7 a pause after it. The
// parser reads frames with the protocol's shared decoder, so this covers the decoder too. After
// every byte and pause: answers come only as whole SelectReply frames, one from each module that
// has the address just selected; a selection picks exactly those modules; a frame that ended left
// in the selected modules what it carries; a pause leaves no frame open; every module stays within
// its ranges; and reading the stream in other chunks (same pauses) leaves the same modules.
#include "display/frames.h"
#include "framewalker.h"
#include "sim/lcdbus.h"

#include <cstdio>
#include <cstdlib>

namespace {

qsizetype offset = 0; // of the byte being checked

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "lcdbus: %s at byte %lld\n", what, static_cast<long long>(offset));
        std::abort();
    }
}

// What a frame that just ended must have left in every selected module, and the ranges.
void checkModules(const LcdBus &bus, const FrameWalker &walker, qsizetype framesBefore)
{
    using Protocol::FrameId;
    for (int k = 0; k < bus.moduleCount(); ++k) {
        const LcdModule &m = bus.module(k);
        check(m.cursorRow() >= 0 && m.cursorRow() < 4 && m.cursorColumn() >= 0
                  && m.cursorColumn() < 20 && m.cursorType() >= LcdModule::Underscore
                  && m.cursorType() <= LcdModule::Hidden && (m.baud() == 4800 || m.baud() == 9600)
                  && m.userChars().size() == 64 && m.eeprom().chars.size() == 64
                  && m.row(3).size() == 20,
              "a module out of range");
        for (int n = 1; n <= LcdSettings::TextCount; ++n)
            check(m.text(n).size() <= Protocol::StoreTextMax, "stored text length");
        if (walker.frames().size() == framesBefore || !m.isSelected())
            continue;
        const FrameWalker::Frame &f = walker.frames().constLast();
        const QByteArray data = f.bytes.mid(2);
        const quint8 arg = f.bytes.size() > 2 ? quint8(f.bytes[2]) : 0;
        check(f.id != FrameId::StoreText || m.text(quint8(f.bytes[1]) - Protocol::TextBase) == data,
              "stored text");
        check(f.id != FrameId::UploadChars || m.userChars() == data, "uploaded characters");
        check(f.id != FrameId::SetUid || m.address() == arg, "new address");
        check(f.id != FrameId::SetIoDirection || m.directions() == arg, "line directions");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    QList<quint8> addresses;
    for (int i = 0; i < 1 + (data[0] & 0x7F) % 3; ++i)
        addresses << quint8(data[1 + i]);
    LcdBus bus(addresses), chunked(addresses); // fed byte by byte, and a record at a time
    FrameWalker walker(false);
    offset = 0;
    for (size_t p = 4; p < size;) {
        const uint8_t head = data[p++];
        const QByteArray record(reinterpret_cast<const char *>(data + p),
                                qsizetype(std::min<size_t>(head & 0x7F, size - p)));
        p += size_t(record.size());
        QByteArray answers;
        for (char c : record) {
            // The address byte of a SelectDevice: every module that has the address answers.
            const bool selecting = walker.pending() == QByteArray(1, char(Protocol::SelectCode));
            const bool deselecting = !walker.inFrame() && quint8(c) == Protocol::DeselectCode;
            const QByteArray answer = bus.feed(QByteArray(1, c));
            const qsizetype framesBefore = walker.frames().size();
            walker.push(quint8(c));
            QByteArray expected;
            for (int k = 0; k < bus.moduleCount(); ++k) {
                const LcdModule &m = bus.module(k);
                if (selecting && m.address() == quint8(c))
                    expected += Frames::SelectReply(quint8(c)).bytes;
                check(!selecting || m.isSelected() == (m.address() == quint8(c)), "selection");
                check(!deselecting || !m.isSelected(), "deselection");
            }
            check(answer == expected, "wrong answer");
            checkModules(bus, walker, framesBefore);
            answers += answer;
            ++offset;
        }
        check(chunked.feed(record) == answers, "answers depend on how the line is read");
        if (head & 0x80) {
            bus.pause();
            chunked.pause();
            const qsizetype framesBefore = walker.frames().size();
            walker.pause();
            checkModules(bus, walker, framesBefore);
            check(!bus.inFrame(), "a pause left a frame open");
        }
    }
    for (int k = 0; k < bus.moduleCount(); ++k)
        check(bus.module(k).describe() == chunked.module(k).describe()
                  && bus.module(k).eeprom() == chunked.module(k).eeprom(),
              "modules depend on how the line is read");
    return 0;
}
