// The settings file's reader and writer on any file content, then any reads and writes.
//
// Input: two bytes (little-endian) give the length of the file content that follows; then
// operations of four bytes and a value: flags (bit 0 write, else read; bits 1 and 2 also through
// a real file), section, key, value length. A section or key byte below 0xF0 picks a known name,
// 0xF0 + n takes the next n input bytes as the name. Each write is checked:
// - every byte outside the changed line stays: the bytes removed hold no line break, and at
//   most a new section header and the key's line are added (and the CRLF that the file's last
//   line gets when it had none),
// - the key reads back as written, and no other key changes its value,
// - writing the same value again changes nothing,
// - a clean name and value are never refused; through a file, the file holds exactly what the
//   in-memory writer made, or is left as it was;
// - with flag bit 3, the key and the next known key go in one batch, which must give what the
//   two writes one after the other give.
#include "link/ansi.h"
#include "link/initext.h"
#include "link/modini.h"

#include <QByteArrayList>
#include <QDir>
#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

const char *const Sections[] = {"Settings", "LCD", "UDC", "udc", " LCD ", "Other", "[x"};
const char *const Keys[] = {
    "CommPort", "Setting",  "UID",      "PT1",    "PT8",    "UCHAR1R1", "UCHAR1R8",
    "UCHAR4R4", "UCHAR8R8", "uchar8r8", " PT2\t", "Orphan", ";c",       "k=v",
};

[[noreturn]] void fail(const char *what, const QByteArray &before, const QByteArray &section,
                       const QByteArray &key, const QByteArray &value)
{
    std::fprintf(stderr, "modini: %s\n  section %s key %s value %s\n  file %s\n", what,
                 section.toHex().constData(), key.toHex().constData(), value.toHex().constData(),
                 before.toHex().constData());
    std::abort();
}

// The file's blanks; a caller's names lose spaces only.
bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\v';
}

bool lineBreak(char c)
{
    return c == '\r' || c == '\n';
}

QByteArray trimmedName(const QByteArray &name)
{
    qsizetype b = 0;
    qsizetype e = name.size();
    while (b < e && name[b] == ' ')
        ++b;
    while (e > b && name[e - 1] == ' ')
        --e;
    return name.mid(b, e - b).toLower();
}

// What a reader gives back for a written value: blanks around it go, one pair of matching
// quotes goes, and at most 254 bytes stay.
QByteArray readBack(const QByteArray &value)
{
    QByteArray v = value;
    while (!v.isEmpty() && blank(v.front()))
        v.remove(0, 1);
    while (!v.isEmpty() && blank(v.back()))
        v.chop(1);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.mid(1, v.size() - 2);
    return v.left(IniText::MaxValue);
}

// Line breaks in bytes, a CR LF pair counted once.
int breaks(const QByteArray &bytes)
{
    int n = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\n'
            || (bytes[i] == '\r' && (i + 1 == bytes.size() || bytes[i + 1] != '\n')))
            ++n;
    }
    return n;
}

class Input
{
public:
    Input(const uint8_t *data, size_t size)
        : d(data)
        , n(size)
    { }
    bool atEnd() const { return p >= n; }
    uint8_t byte() { return p < n ? d[p++] : 0; }
    QByteArray bytes(size_t count)
    {
        count = std::min(count, n - p);
        const QByteArray out(reinterpret_cast<const char *>(d + p), qsizetype(count));
        p += count;
        return out;
    }
    // A known name, or raw bytes; known says which.
    QByteArray name(const char *const *known, size_t count, bool *isKnown)
    {
        const uint8_t b = byte();
        *isKnown = b < 0xF0;
        return *isKnown ? QByteArray(known[b % count]) : bytes(b & 0x0F);
    }

private:
    const uint8_t *d;
    size_t n;
    size_t p = 0;
};

QString tempFolder;

void removeTempFolder()
{
    QDir(tempFolder).removeRecursively();
}

QString tempFile()
{
    static const QString path = [] {
        // A memory file system where there is one: thousands of files are written a second.
        QByteArray pattern = QDir(QStringLiteral("/dev/shm")).exists() ? "/dev/shm" : "/tmp";
        pattern += "/fuzz_modini.XXXXXX";
        const char *dir = ::mkdtemp(pattern.data());
        if (!dir)
            std::abort();
        tempFolder = QString::fromLocal8Bit(dir);
        std::atexit(removeTempFolder);
        return tempFolder + QStringLiteral("/tessaline.ini");
    }();
    return path;
}

void checkThroughFile(const QByteArray &before, const QByteArray &after, const QByteArray &s,
                      const QByteArray &k, const QByteArray &v)
{
    const QString path = tempFile();
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || file.write(before) != before.size())
            fail("cannot prepare the file", before, s, k, v);
    }
    const bool written = writeIniFile(path, Ansi::decode(s), Ansi::decode(k), Ansi::decode(v));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail("the file is gone", before, s, k, v);
    const QByteArray now = file.readAll();
    if (written != !after.isNull())
        fail("file writer and text writer disagree", before, s, k, v);
    if (now != (written ? after : before))
        fail("the file holds something else", before, s, k, v);
    if (written
        && readIniFile(path, Ansi::decode(s), Ansi::decode(k))
            != Ansi::decode(IniText::read(after, s, k)))
        fail("the file reads back otherwise", before, s, k, v);
}

void checkWrite(const QByteArray &before, const QByteArray &after, const QByteArray &s,
                const QByteArray &k, const QByteArray &v, bool clean,
                const QByteArrayList &sections, const QByteArrayList &keys)
{
    if (after.isNull()) {
        if (clean)
            fail("a clean write was refused", before, s, k, v);
        return;
    }
    // The smallest changed region.
    qsizetype head = 0;
    const qsizetype shorter = std::min(before.size(), after.size());
    while (head < shorter && before[head] == after[head])
        ++head;
    qsizetype tail = 0;
    while (tail < shorter - head
           && before[before.size() - 1 - tail] == after[after.size() - 1 - tail])
        ++tail;
    const QByteArray removed = before.mid(head, before.size() - tail - head);
    const QByteArray added = after.mid(head, after.size() - tail - head);
    for (char c : removed) {
        if (lineBreak(c))
            fail("a line break outside the key's line was removed", before, s, k, v);
    }
    const bool closedLast
        = tail == 0 && !before.isEmpty() && !lineBreak(before.back()) && added.endsWith("\r\n");
    if (!removed.isEmpty() && breaks(added) != (closedLast ? 1 : 0))
        fail("a changed value split its line", before, s, k, v);
    if (breaks(added) > 3) // at most: the last line's break, a new header, the key's line
        fail("more than the key's line was added", before, s, k, v);

    if (IniText::read(after, s, k) != readBack(v))
        fail("the key does not read back as written", before, s, k, v);
    if (IniText::write(after, s, k, v) != after)
        fail("writing the same value again changed the file", before, s, k, v);

    const QByteArray ts = trimmedName(s);
    const QByteArray tk = trimmedName(k);
    for (const QByteArray &ps : sections) {
        for (const QByteArray &pk : keys) {
            if (trimmedName(ps) == ts && trimmedName(pk) == tk)
                continue;
            if (IniText::read(before, ps, pk) != IniText::read(after, ps, pk))
                fail("another key changed its value", before, s + " / " + ps, k + " / " + pk, v);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    const size_t length = in.byte() | size_t(in.byte()) << 8;
    QByteArray content = in.bytes(length);
    if (content.isNull())
        content = QByteArray(""); // an empty file, not a missing one

    // Every name used so far, looked up after each write.
    QByteArrayList sections;
    for (const char *s : Sections)
        sections << s;
    QByteArrayList keys;
    for (const char *k : Keys)
        keys << k;

    for (int ops = 0; !in.atEnd() && ops < 64; ++ops) {
        const uint8_t flags = in.byte();
        bool knownSection = false;
        bool knownKey = false;
        const QByteArray s = in.name(Sections, std::size(Sections), &knownSection);
        const QByteArray k = in.name(Keys, std::size(Keys), &knownKey);
        if (!knownSection)
            sections << s;
        if (!knownKey)
            keys << k;

        if (!(flags & 1)) {
            const QByteArray value = IniText::read(content, s, k);
            if (value.size() > IniText::MaxValue || value.contains('\r') || value.contains('\n'))
                fail("a value read holds a line break or is too long", content, s, k, value);
            continue;
        }
        const QByteArray v = in.bytes(in.byte());
        // The program's own names and any value without a line break or NUL must be taken.
        const bool clean = knownSection && knownKey && trimmedName(s) != "[x"
            && !trimmedName(k).startsWith(';') && !k.contains('=') && !k.contains('\t')
            && !v.contains('\r') && !v.contains('\n') && !v.contains('\0');
        const QByteArray after = IniText::write(content, s, k, v);
        checkWrite(content, after, s, k, v, clean, sections, keys);
        if (flags & 8) {
            const QByteArray other = Keys[in.byte() % std::size(Keys)];
            const QByteArray twice = after.isNull() ? after : IniText::write(after, s, other, v);
            if (IniText::write(content, s, {{k, v}, {other, v}}) != twice)
                fail("a batch differs from its writes one by one", content, s, k + " / " + other,
                     v);
        }
        if ((flags & 6) == 6)
            checkThroughFile(content, after, s, k, v);
        if (!after.isNull())
            content = after;
    }
    return 0;
}
