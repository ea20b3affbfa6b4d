#include "link/ansi.h"

#include <QList>

namespace {

// Code points of the bytes 0x80-0x9F; the rest of the page equals Latin-1.
constexpr char16_t High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

} // namespace

namespace Ansi {

quint8 toByte(char32_t ch)
{
    if (ch < 0x80 || (ch >= 0xA0 && ch <= 0xFF))
        return quint8(ch);
    for (int i = 0; i < 32; ++i) {
        if (High[i] == ch)
            return quint8(0x80 + i);
    }
    return '?';
}

QByteArray encode(const QString &text)
{
    QByteArray out;
    out.reserve(text.size());
    for (char32_t ch : text.toUcs4())
        out.append(char(toByte(ch)));
    return out;
}

QString decode(const QByteArray &bytes)
{
    QString out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const quint8 b = quint8(c);
        out.append(QChar(b >= 0x80 && b < 0xA0 ? High[b - 0x80] : char16_t(b)));
    }
    return out;
}

} // namespace Ansi
