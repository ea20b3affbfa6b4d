#include "link/initext.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

// The blanks around names and values in the file.
bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\v';
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

Span spanOf(const QByteArray &bytes)
{
    return {bytes.constData(), bytes.constData() + bytes.size()};
}

Span trimmed(Span s)
{
    while (s.b < s.e && isBlank(*s.b))
        ++s.b;
    while (s.e > s.b && isBlank(s.e[-1]))
        --s.e;
    return s;
}

// A caller's section or key: only spaces go, a tab stays part of the name.
Span callerName(const QByteArray &name)
{
    Span s = spanOf(name);
    while (s.b < s.e && *s.b == ' ')
        ++s.b;
    while (s.e > s.b && s.e[-1] == ' ')
        --s.e;
    return s;
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

void lowerInto(Span s, std::string &out)
{
    out.assign(s.b, size_t(s.size()));
    for (char &c : out)
        c = lowerAscii(c);
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

// A value as read: one pair of matching quotes goes, and at most MaxValue bytes stay.
QByteArray valueOf(Span v)
{
    if (v.size() >= 2 && (*v.b == '"' || *v.b == '\'') && v.e[-1] == *v.b) {
        ++v.b;
        --v.e;
    }
    return QByteArray(v.b, qMin(v.size(), qsizetype(IniText::MaxValue)));
}

// The header of the first section of that name. Only a line whose first non-blank is "[" can
// be one, so the scan jumps from one "[" to the next instead of walking every line.
bool findSection(Span content, Span section, Line &header)
{
    if (section.empty())
        return false;
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

// A name the file gives back as it was written: not empty, no blank at its edges (the file's
// names lose them), none of the bytes that would end it, and no NUL (other readers stop there).
bool cleanName(Span name, const char *forbidden)
{
    if (name.empty() || isBlank(*name.b) || isBlank(name.e[-1]))
        return false;
    for (const char *c = name.b; c < name.e; ++c) {
        if (*c == '\0' || std::strchr(forbidden, *c))
            return false;
    }
    return true;
}

bool cleanKey(Span key)
{
    return cleanName(key, "\r\n=") && *key.b != '[' && *key.b != ';';
}

bool cleanValue(const QByteArray &value)
{
    for (char c : value) {
        if (c == '\0' || isBreak(c))
            return false;
    }
    return true;
}

} // namespace

namespace IniText {

QByteArray read(const QByteArray &content, const QByteArray &section, const QByteArray &key)
{
    // The many-key read without its lookup table: the first key of that name counts.
    const Span s = callerName(section);
    const Span k = callerName(key);
    const Span all = spanOf(content);
    Line line;
    if (k.empty() || !findSection(all, s, line))
        return {};
    LineReader lines({line.next, all.e});
    while (lines.next(line)) {
        const Parsed p = parse(line.text);
        if (p.kind == Kind::Section)
            break;
        if (p.kind == Kind::Key && sameName(p.name, k))
            return valueOf(p.value);
    }
    return {};
}

QByteArrayList read(const QByteArray &content, const QList<Key> &keys)
{
    QByteArrayList values(keys.size());
    std::vector<bool> asked(size_t(keys.size()));
    const Span all = spanOf(content);
    std::string name;
    for (qsizetype i = 0; i < keys.size(); ++i) {
        if (asked[size_t(i)])
            continue;
        // Every key of this section, by its lower-case name: the places that asked for it.
        const Span section = callerName(keys[i].section);
        std::unordered_map<std::string, std::vector<qsizetype>> wanted;
        for (qsizetype j = i; j < keys.size(); ++j) {
            if (asked[size_t(j)] || !sameName(callerName(keys[j].section), section))
                continue;
            asked[size_t(j)] = true;
            const Span key = callerName(keys[j].key);
            if (!key.empty()) {
                lowerInto(key, name);
                wanted[name].push_back(j);
            }
        }
        Line line;
        if (wanted.empty() || !findSection(all, section, line))
            continue;
        // Up to the next header, or until every key is found; the first of a name counts.
        LineReader lines({line.next, all.e});
        for (size_t left = wanted.size(); left > 0 && lines.next(line);) {
            const Parsed p = parse(line.text);
            if (p.kind == Kind::Section)
                break;
            if (p.kind != Kind::Key)
                continue;
            lowerInto(p.name, name);
            const auto it = wanted.find(name);
            if (it == wanted.end() || it->second.empty())
                continue;
            const QByteArray value = valueOf(p.value);
            for (qsizetype j : it->second)
                values[j] = value;
            it->second.clear();
            --left;
        }
    }
    return values;
}

QByteArray write(const QByteArray &content, const QByteArray &section, const QByteArray &key,
                 const QByteArray &value)
{
    return write(content, section, QList<Entry> {{key, value}});
}

QByteArray write(const QByteArray &content, const QByteArray &section, const QList<Entry> &entries)
{
    struct Edit
    {
        Span key;
        QByteArray value;
        bool found = false;
        Line line;
    };
    const Span s = callerName(section);
    if (!cleanName(s, "\r\n]"))
        return {};
    std::vector<Edit> edits;
    for (const Entry &entry : entries) {
        const Span k = callerName(entry.key);
        if (!cleanKey(k) || !cleanValue(entry.value))
            return {};
        auto same = std::find_if(edits.begin(), edits.end(),
                                 [&](const Edit &e) { return sameName(e.key, k); });
        if (same != edits.end())
            same->value = entry.value;
        else
            edits.push_back({k, entry.value, false, {}});
    }
    const auto keyLine
        = [](const Edit &e) { return QByteArray(e.key.b, e.key.size()) + '=' + e.value + "\r\n"; };

    QByteArray out;
    const Span all = spanOf(content);
    Line header;
    if (!findSection(all, s, header)) {
        // A new section at the end, after a line break of its own.
        out = content.isNull() ? QByteArray("") : content;
        if (edits.empty())
            return out;
        if (!out.isEmpty() && !isBreak(out.back()))
            out += "\r\n";
        out += '[' + QByteArray(s.b, s.size()) + "]\r\n";
        for (const Edit &e : edits)
            out += keyLine(e);
        return out;
    }

    // The first line of each key in the section, in the file's order, and the section's last
    // key line, after which the missing keys go (after the header when it has none).
    std::vector<const Edit *> found;
    Line last = header;
    size_t missing = edits.size();
    LineReader lines({header.next, all.e});
    for (Line line; missing > 0 && lines.next(line);) {
        const Parsed p = parse(line.text);
        if (p.kind == Kind::Section)
            break;
        if (p.kind != Kind::Key)
            continue;
        last = line;
        for (Edit &e : edits) {
            if (!e.found && sameName(p.name, e.key)) {
                e.found = true;
                e.line = line;
                found.push_back(&e);
                --missing;
                break;
            }
        }
    }

    out.reserve(content.size() + 64 * qsizetype(edits.size()));
    const char *pos = all.b;
    bool lastLineBroken = false; // the file's last line, unbroken before, got its CRLF
    for (const Edit *e : found) {
        // The line keeps everything up to the blanks after "=" and its own line break; the
        // blanks that trailed the old value go with it. A value that starts with a blank
        // replaces those blanks too, or every write of it would add its blanks to them.
        const Span text = e->line.text;
        const char *v = text.find('=') + 1;
        const bool blankFirst = !e->value.isEmpty() && isBlank(e->value.front());
        while (v < text.e && isBlank(*v) && !blankFirst)
            ++v;
        out.append(pos, v - pos);
        out += e->value;
        pos = text.e;
        if (!e->line.broken()) {
            out += "\r\n";
            lastLineBroken = true;
        }
    }
    if (missing > 0) {
        out.append(pos, last.next - pos);
        pos = last.next;
        if (!last.broken() && !lastLineBroken)
            out += "\r\n";
        for (const Edit &e : edits) {
            if (!e.found)
                out += keyLine(e);
        }
    }
    out.append(pos, all.e - pos);
    return out;
}

} // namespace IniText
