// The virtual modules' frame parser on any byte stream, cut into any reads and pauses.
//
// Input: byte 0 picks the modules (1 to 3; bit 7: also describe them) and bytes 1..3 their
// addresses; then records of one head byte and its data: the low 7 bits of the head are the
// data's length, bit 7 a pause after it. The parser reads frames with the protocol's shared
// decoder, so this covers the decoder too. Checked after every byte and every pause:
// - answers come only as whole SelectReply frames, for an address the line just selected and
//   only from modules that have it, one per such module,
// - a frame that ended left in the selected modules what it carries (stored text, characters,
//   address, line directions), and a pause leaves no frame open,
// - every module's state stays within its ranges,
// - reading the same stream in other chunks (same pauses) leaves the same modules.
#include "display/frames.h"
#include "framewalker.h"
#include "sim/lcdbus.h"

#include <cstdio>
#include <cstdlib>

namespace {

void fail(const char *what, qsizetype offset)
{
    std::fprintf(stderr, "lcdbus: %s at byte %lld\n", what, static_cast<long long>(offset));
    std::abort();
}

void check(bool ok, const char *what, qsizetype offset)
{
    if (!ok)
        fail(what, offset);
}

void checkModules(const LcdBus &bus, qsizetype offset)
{
    for (int k = 0; k < bus.moduleCount(); ++k) {
        const LcdModule &m = bus.module(k);
        check(m.cursorRow() >= 0 && m.cursorRow() < LcdModule::Rows, "cursor row", offset);
        check(m.cursorColumn() >= 0 && m.cursorColumn() < LcdModule::Columns, "cursor column",
              offset);
        check(m.cursorType() >= LcdModule::Underscore && m.cursorType() <= LcdModule::Hidden,
              "cursor type", offset);
        check(m.baud() == 4800 || m.baud() == 9600, "baud", offset);
        check(m.userChars().size() == LcdSettings::CharBytes, "character table size", offset);
        check(m.eeprom().chars.size() == LcdSettings::CharBytes, "saved characters", offset);
        for (int r = 0; r < LcdModule::Rows; ++r)
            check(m.row(r).size() == LcdModule::Columns, "row size", offset);
        for (int n = 1; n <= LcdSettings::TextCount; ++n)
            check(m.text(n).size() <= Protocol::StoreTextMax, "stored text length", offset);
    }
}

// What a frame that just ended must have left in every selected module.
void checkFrame(const LcdBus &bus, const FrameWalker::Frame &f, qsizetype offset)
{
    using Protocol::FrameId;
    const auto arg = [&f](int i) { return quint8(f.bytes[i]); };
    for (int k = 0; k < bus.moduleCount(); ++k) {
        const LcdModule &m = bus.module(k);
        if (!m.isSelected())
            continue;
        if (f.id == FrameId::StoreText)
            check(m.text(arg(1) - Protocol::TextBase) == f.bytes.mid(2), "stored text", offset);
        else if (f.id == FrameId::UploadChars)
            check(m.userChars() == f.bytes.mid(2), "uploaded characters", offset);
        else if (f.id == FrameId::SetUid)
            check(m.address() == arg(2), "new address", offset);
        else if (f.id == FrameId::SetIoDirection)
            check(m.directions() == arg(2), "line directions", offset);
    }
}

bool sameModules(const LcdBus &a, const LcdBus &b)
{
    for (int k = 0; k < a.moduleCount(); ++k) {
        const LcdModule &x = a.module(k);
        const LcdModule &y = b.module(k);
        if (x.settings() != y.settings() || x.eeprom() != y.eeprom()
            || x.isSelected() != y.isSelected() || x.cursorRow() != y.cursorRow()
            || x.cursorColumn() != y.cursorColumn() || x.cursorType() != y.cursorType()
            || x.backlight() != y.backlight() || x.outputs() != y.outputs()
            || x.saveCount() != y.saveCount() || x.bitmapLoadCount() != y.bitmapLoadCount())
            return false;
        for (int r = 0; r < LcdModule::Rows; ++r) {
            if (x.row(r) != y.row(r))
                return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    QList<quint8> addresses;
    for (int i = 0; i < 1 + (data[0] & 0x7F) % 3; ++i)
        addresses << quint8(data[1 + i]);
    LcdBus bus(addresses); // fed byte by byte
    LcdBus chunked(addresses); // fed a record at a time
    FrameWalker walker(false);

    size_t p = 4;
    qsizetype offset = 0;
    while (p < size) {
        const uint8_t head = data[p++];
        const size_t length = std::min<size_t>(head & 0x7F, size - p);
        const QByteArray record(reinterpret_cast<const char *>(data + p), qsizetype(length));
        p += length;

        QByteArray answers;
        for (char c : record) {
            // The address byte of a SelectDevice: every module that has the address answers.
            QByteArray expected;
            const bool selecting = walker.pending() == QByteArray(1, char(Protocol::SelectCode));
            const bool deselecting = !walker.inFrame() && quint8(c) == Protocol::DeselectCode;
            if (selecting) {
                for (int k = 0; k < bus.moduleCount(); ++k) {
                    if (bus.module(k).address() == quint8(c))
                        expected += Frames::SelectReply(quint8(c)).bytes;
                }
            }
            const QByteArray answer = bus.feed(QByteArray(1, c));
            const qsizetype ended = walker.frames().size();
            walker.push(quint8(c));
            if (walker.frames().size() > ended)
                checkFrame(bus, walker.frames().constLast(), offset);
            check(answer == expected, "wrong answer", offset);
            // A selection picks exactly the modules of that address; a deselection none.
            for (int k = 0; k < bus.moduleCount(); ++k) {
                const LcdModule &m = bus.module(k);
                if (selecting)
                    check(m.isSelected() == (m.address() == quint8(c)), "selection", offset);
                if (deselecting)
                    check(!m.isSelected(), "deselection", offset);
            }
            answers += answer;
            ++offset;
        }
        check(chunked.feed(record) == answers, "answers depend on how the line is read", offset);
        if (head & 0x80) {
            bus.pause();
            chunked.pause();
            const qsizetype ended = walker.frames().size();
            walker.pause();
            if (walker.frames().size() > ended)
                checkFrame(bus, walker.frames().constLast(), offset);
            check(!bus.inFrame(), "a pause left a frame open", offset);
        }
        checkModules(bus, offset);
    }
    check(sameModules(bus, chunked), "modules depend on how the line is read", offset);
    if (data[0] & 0x80) // now and then, the viewer's text of them
        check(!bus.describe().isEmpty(), "description", offset);
    return 0;
}
