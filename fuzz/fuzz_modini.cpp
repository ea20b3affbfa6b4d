// The settings file's reader and writer on any file content, then any reads and writes.
//
// Input: two bytes (little-endian), the length of the file content that follows; then
// operations: flags (bit 0 write, else read; bits 1 and 2 also through a file; bit 3 also a
// batch with the next byte's known key), section, key, value length, value. A name byte below
// 0xF0 picks a known name, 0xF0 + n takes n input bytes. A write changes bytes within the key's
// line only (adding at most a header, the key's line and an unbroken last line's CRLF), reads
// back, changes no other key, is repeated without change, never refuses a clean name and value,
// gives through a file what it gives in memory, and equals as a batch the writes one by one.
#include "link/ansi.h"
#include "link/initext.h"
#include "link/modini.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

const char *const Sections[] = {"Settings", "LCD", "UDC", "udc", " LCD ", "Other", "[x"};
const char *const Keys[]
    = {"CommPort", "Setting",  "UID",      "PT1",    "PT8",    "UCHAR1R1", "UCHAR1R8",
       "UCHAR4R4", "UCHAR8R8", "uchar8r8", " PT2\t", "Orphan", ";c",       "k=v"};

QByteArray before, section, key, value; // of the operation being checked

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "modini: %s\n  section %s key %s value %s\n  file %s\n", what,
                     section.toHex().constData(), key.toHex().constData(),
                     value.toHex().constData(), before.toHex().constData());
        std::abort();
    }
}

// A caller's name as the file compares it: spaces around it go, ASCII case does not count.
QByteArray nameOf(QByteArray name)
{
    while (name.startsWith(' '))
        name.remove(0, 1);
    while (name.endsWith(' '))
        name.chop(1);
    return name.toLower();
}

// What a reader gives back for a written value: blanks around it and one pair of matching
// quotes go, and at most 254 bytes stay.
QByteArray readBack(QByteArray v)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\v'; };
    while (!v.isEmpty() && blank(v.front()))
        v.remove(0, 1);
    while (!v.isEmpty() && blank(v.back()))
        v.chop(1);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.mid(1, v.size() - 2);
    return v.left(IniText::MaxValue);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t p = 0;
    const auto byte = [&] { return p < size ? data[p++] : uint8_t(0); };
    const auto bytes = [&](size_t n) {
        n = std::min(n, size - p);
        p += n;
        return QByteArray(reinterpret_cast<const char *>(data + p - n), qsizetype(n));
    };
    // A known name, or raw bytes, which are then looked up after each write as well.
    const auto name = [&](const char *const *known, size_t count, QByteArrayList &used) {
        const uint8_t b = byte();
        return b < 0xF0 ? QByteArray(known[b % count]) : used.emplace_back(bytes(b & 0x0F));
    };
    // Line breaks, a CR LF pair counted once.
    const auto breaks
        = [](const QByteArray &b) { return b.count('\n') + b.count('\r') - b.count("\r\n"); };
    const size_t length = byte() | size_t(byte()) << 8;
    QByteArray content = QByteArray("").append(bytes(length)); // empty: a file, not a missing one
    QByteArrayList sections(std::begin(Sections), std::end(Sections));
    QByteArrayList keys(std::begin(Keys), std::end(Keys));

    for (int ops = 0; p < size && ops < 64; ++ops) {
        const uint8_t flags = byte();
        const qsizetype knownNames = sections.size() + keys.size();
        before = content;
        section = name(Sections, std::size(Sections), sections);
        key = name(Keys, std::size(Keys), keys);
        if (!(flags & 1)) {
            value = IniText::read(content, section, key);
            check(value.size() <= IniText::MaxValue && breaks(value) == 0,
                  "a value read holds a line break or is too long");
            continue;
        }
        value = bytes(byte());
        // The program's own names and any value without a line break or NUL must be taken.
        const bool clean = sections.size() + keys.size() == knownNames && nameOf(section) != "[x"
            && !nameOf(key).startsWith(';') && !key.contains('=') && !key.contains('\t')
            && breaks(value) == 0 && !value.contains('\0');
        const QByteArray after = IniText::write(content, section, key, value);
        check(!after.isNull() || !clean, "a clean write was refused");
        if (flags & 8) {
            const QByteArray other = Keys[byte() % std::size(Keys)];
            check(IniText::write(content, section, {{key, value}, {other, value}})
                      == (after.isNull() ? after : IniText::write(after, section, other, value)),
                  "a batch differs from its writes one by one");
        }
        if ((flags & 6) == 6) {
            // A memory file system where there is one: thousands of files are written a second.
            static QTemporaryDir folder(QString(QDir("/dev/shm").exists() ? "/dev/shm" : "/tmp")
                                        + "/fuzz_modini");
            const QString path = folder.filePath("tessaline.ini");
            QFile file(path);
            check(file.open(QIODevice::WriteOnly) && file.write(before) == before.size(),
                  "cannot prepare the file");
            file.close();
            const QString s = Ansi::decode(section), k = Ansi::decode(key);
            check(
                writeIniFile(path, s, k, Ansi::decode(value)) == !after.isNull()
                    && file.open(QIODevice::ReadOnly)
                    && file.readAll() == (after.isNull() ? before : after)
                    && (after.isNull() || readIniFile(path, s, k) == Ansi::decode(readBack(value))),
                "the file holds or reads back something else");
        }
        if (after.isNull())
            continue;
        qsizetype head = 0, tail = 0;
        const qsizetype shorter = std::min(before.size(), after.size());
        while (head < shorter && before[head] == after[head])
            ++head;
        while (tail < shorter - head
               && before[before.size() - 1 - tail] == after[after.size() - 1 - tail])
            ++tail;
        const QByteArray removed = before.mid(head, before.size() - tail - head);
        const QByteArray added = after.mid(head, after.size() - tail - head);
        const bool closedLast = tail == 0 && !before.isEmpty() && breaks(before.right(1)) == 0
            && added.endsWith("\r\n");
        check(breaks(removed) == 0, "a line break outside the key's line was removed");
        check(removed.isEmpty() || breaks(added) == closedLast, "a value split its line");
        check(breaks(added) <= 3, "more than the key's line was added");
        check(IniText::read(after, section, key) == readBack(value),
              "the key reads back otherwise");
        check(IniText::write(after, section, key, value) == after,
              "writing again changed the file");
        for (const QByteArray &s : sections) {
            for (const QByteArray &k : keys)
                check((nameOf(s) == nameOf(section) && nameOf(k) == nameOf(key))
                          || IniText::read(before, s, k) == IniText::read(after, s, k),
                      "another key changed its value");
        }
        content = after;
    }
    return 0;
}
