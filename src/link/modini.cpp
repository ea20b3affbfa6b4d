#include "link/modini.h"

#include "link/ansi.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstring>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

constexpr char IniName[] = "tessaline.ini";

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool isBreak(char c)
{
    return c == '\r' || c == '\n';
}

// A run of bytes inside the file's content; nothing is copied while scanning.
struct Span
{
    const char *b = nullptr;
    const char *e = nullptr;

    qsizetype size() const { return e - b; }
    bool empty() const { return b == e; }
    const char *find(char c) const
    {
        return empty() ? nullptr : static_cast<const char *>(std::memchr(b, c, size_t(size())));
    }
};

Span trimmed(Span s)
{
    while (s.b < s.e && isBlank(*s.b))
        ++s.b;
    while (s.e > s.b && isBlank(s.e[-1]))
        --s.e;
    return s;
}

Span spanOf(const QByteArray &bytes)
{
    return {bytes.constData(), bytes.constData() + bytes.size()};
}

char lowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c;
}

bool sameName(Span a, Span b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (lowerAscii(a.b[i]) != lowerAscii(b.b[i]))
            return false;
    }
    return true;
}

// One line of the file: its bytes without the line break, and where the next line starts.
// A line ends at CR, LF or CRLF; the last one may end at the end of the content instead.
struct Line
{
    Span text;
    const char *next = nullptr;
    bool broken() const { return next != text.e; } // ends in a line break
};

class LineReader
{
public:
    explicit LineReader(Span content)
        : p(content.b)
        , stop(content.e)
    { }

    bool next(Line &line)
    {
        if (p >= stop)
            return false;
        const char *q = p;
        while (q < stop && !isBreak(*q))
            ++q;
        line.text = {p, q};
        if (q < stop)
            q += (*q == '\r' && q + 1 < stop && q[1] == '\n') ? 2 : 1;
        line.next = p = q;
        return true;
    }

private:
    const char *p;
    const char *stop;
};

enum class Kind { Blank, Section, Comment, Key, Other };

// What a line is, with the section name or the key and value it holds (all trimmed).
struct Parsed
{
    Kind kind = Kind::Blank;
    Span name;
    Span value;
};

Parsed parse(Span text)
{
    Parsed out;
    const Span t = trimmed(text);
    if (t.empty())
        return out;
    if (*t.b == '[') {
        const Span rest {t.b + 1, t.e};
        const char *close = rest.find(']');
        out.kind = Kind::Section;
        out.name = trimmed({rest.b, close ? close : rest.e});
    } else if (*t.b == ';') {
        out.kind = Kind::Comment;
    } else if (const char *eq = t.find('=')) {
        out.kind = Kind::Key;
        out.name = trimmed({t.b, eq});
        out.value = trimmed({eq + 1, t.e});
    } else {
        out.kind = Kind::Other;
    }
    return out;
}

// The header of the first section of that name. Only a line whose first non-blank is "[" can
// be one, so the scan jumps from one "[" to the next instead of walking every line.
bool findSection(Span content, Span section, Line &header)
{
    const char *p = content.b;
    while (const char *open = Span {p, content.e}.find('[')) {
        p = open + 1;
        const char *start = open;
        while (start > content.b && isBlank(start[-1]))
            --start;
        if (start != content.b && !isBreak(start[-1]))
            continue; // inside a line
        const char *n = open + 1;
        while (n < content.e && isBlank(*n))
            ++n;
        if (n == content.e || lowerAscii(*n) != lowerAscii(*section.b))
            continue; // most headers differ at once
        Line rest;
        LineReader({open, content.e}).next(rest);
        if (sameName(parse(rest.text).name, section)) {
            header = {{start, rest.text.e}, rest.next};
            return true;
        }
    }
    return false;
}

// Where a key stands in the file, as far as a writer needs to know.
struct Found
{
    bool section = false; // the first section of that name
    Line header;
    bool key = false; // the first key of that name in it
    Line keyLine;
    bool anyKey = false; // the last key line of that section
    Line lastKey;
};

Found locate(Span content, Span section, Span key)
{
    Found f;
    f.section = findSection(content, section, f.header);
    if (!f.section)
        return f;
    LineReader lines({f.header.next, content.e});
    Line line;
    while (lines.next(line)) {
        const Parsed p = parse(line.text);
        if (p.kind == Kind::Section)
            break;
        if (p.kind == Kind::Key) {
            f.anyKey = true;
            f.lastKey = line;
            if (!f.key && sameName(p.name, key)) {
                f.key = true;
                f.keyLine = line;
            }
        }
    }
    return f;
}

// True when a byte of the set or a NUL (where other readers of the file would stop) is there.
bool hasAny(const QByteArray &bytes, const char *set)
{
    for (char c : bytes) {
        if (c == '\0' || std::strchr(set, c))
            return true;
    }
    return false;
}

// Names and values that would change the file's lines or be read back as something else.
bool acceptable(Span section, Span key, const QByteArray &value)
{
    if (section.empty() || key.empty())
        return false;
    const QByteArray s(section.b, section.size());
    const QByteArray k(key.b, key.size());
    return !hasAny(s, "\r\n]") && !hasAny(k, "\r\n=") && *key.b != '[' && *key.b != ';'
        && !hasAny(value, "\r\n");
}

QByteArray loadRegularFile(const QString &path, bool *ok)
{
    *ok = false;
    // Only a regular file: a folder, a FIFO or a device would fail or block.
    if (!QFileInfo(path).isFile())
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray bytes = file.readAll();
    *ok = file.error() == QFileDevice::NoError;
    return bytes;
}

} // namespace

namespace IniText {

QByteArray read(const QByteArray &content, const QByteArray &section, const QByteArray &key)
{
    const Span s = trimmed(spanOf(section));
    const Span k = trimmed(spanOf(key));
    if (s.empty() || k.empty())
        return {};
    const Span all = spanOf(content);
    Line line;
    if (!findSection(all, s, line))
        return {};
    LineReader lines({line.next, all.e});
    while (lines.next(line)) {
        const Parsed p = parse(line.text);
        if (p.kind == Kind::Section)
            return {}; // the first section of that name lacks the key
        if (p.kind != Kind::Key || !sameName(p.name, k))
            continue;
        Span v = p.value;
        if (v.size() >= 2 && (*v.b == '"' || *v.b == '\'') && v.e[-1] == *v.b) {
            ++v.b;
            --v.e;
        }
        return QByteArray(v.b, qMin(v.size(), qsizetype(MaxValue)));
    }
    return {};
}

QByteArray write(const QByteArray &content, const QByteArray &section, const QByteArray &key,
                 const QByteArray &value)
{
    const Span s = trimmed(spanOf(section));
    const Span k = trimmed(spanOf(key));
    if (!acceptable(s, k, value))
        return {};
    const QByteArray keyLine = QByteArray(k.b, k.size()) + '=' + value;
    const Span all = spanOf(content);
    const Found f = locate(all, s, k);
    const auto at = [&](const char *p) { return qsizetype(p - all.b); };
    QByteArray out = content;

    if (f.key) {
        // The line keeps everything up to the blanks after "=" and its own line break; the
        // blanks that trailed the old value go with it. A value that starts with a blank
        // replaces those blanks too, or every write of it would add its blanks to them.
        const Span line = f.keyLine.text;
        const char *v = line.find('=') + 1;
        while (v < line.e && isBlank(*v) && !(value.size() > 0 && isBlank(value.front())))
            ++v;
        return out.replace(at(v), at(line.e) - at(v), value);
    }
    if (f.section) {
        // Directly after the section's last key line, or after its header when it has none.
        const Line &after = f.anyKey ? f.lastKey : f.header;
        return out.insert(at(after.next),
                          (after.broken() ? QByteArray() : QByteArrayLiteral("\r\n")) + keyLine
                              + "\r\n");
    }
    if (!out.isEmpty() && !isBreak(out.back()))
        out += "\r\n";
    out += '[';
    out.append(s.b, s.size());
    out += "]\r\n" + keyLine + "\r\n";
    return out;
}

} // namespace IniText

QString AppFolder()
{
    // Empty only when there is no application object to ask.
    QString folder = QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
    if (!folder.isEmpty() && !folder.endsWith(QDir::separator()))
        folder += QDir::separator();
    return folder;
}

QString IniPath()
{
    return AppFolder() + QLatin1String(IniName);
}

QString ReadIniValue(const QString &section, const QString &key)
{
    return readIniFile(IniPath(), section, key);
}

bool WriteIniValue(const QString &section, const QString &key, const QString &value)
{
    return writeIniFile(IniPath(), section, key, value);
}

QString readIniFile(const QString &path, const QString &section, const QString &key)
{
    bool ok = false;
    const QByteArray content = loadRegularFile(path, &ok);
    if (!ok)
        return {};
    return Ansi::decode(IniText::read(content, Ansi::encode(section), Ansi::encode(key)));
}

bool writeIniFile(const QString &path, const QString &section, const QString &key,
                  const QString &value)
{
    // A link is edited where it points, as an open() by name would; the link stays a link.
    QFileInfo target(path);
    for (int depth = 0; target.isSymLink(); ++depth) {
        if (depth == 32)
            return false;
        target.setFile(target.symLinkTarget());
    }
    const bool existed = target.exists();
#ifdef Q_OS_UNIX
    const uint owner = existed ? target.ownerId() : 0;
    const uint group = existed ? target.groupId() : 0;
#endif
    QByteArray before;
    if (existed) {
        bool ok = false;
        before = loadRegularFile(target.filePath(), &ok);
        if (!ok || !target.isWritable())
            return false; // never replace a file that could not be read or may not be written
    }

    const QByteArray after
        = IniText::write(before, Ansi::encode(section), Ansi::encode(key), Ansi::encode(value));
    if (after.isNull())
        return false;
    if (existed && after == before)
        return true;

    // A temporary file in the same folder, renamed over the old one: a failed write leaves the
    // old file whole. QSaveFile gives the new file the old one's permissions (a new file gets
    // the umask's), and fails when the folder is missing, as it should.
    QSaveFile file(target.filePath());
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // commit() does not see a failure of its own last flush (a full disk would leave a cut file
    // in place of the old one), so flush first; cancelled, the temporary file goes away.
    if (file.write(after) != after.size() || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    if (!file.commit())
        return false;
#ifdef Q_OS_UNIX
    // It does not keep the owner: an edit made as root must not take the file from its owner.
    if (existed) {
        const QFileInfo now(target.filePath());
        if (now.ownerId() != owner || now.groupId() != group) {
            // Only root may give a file away; when this fails the edit itself still stands.
            const int rc = ::chown(QFile::encodeName(target.filePath()).constData(), owner, group);
            Q_UNUSED(rc);
        }
    }
#endif
    return true;
}
