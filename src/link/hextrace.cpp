#include "link/hextrace.h"

namespace {
constexpr char Digits[] = "0123456789ABCDEF";
}

QString HexTrace(quint8 byte)
{
    const char text[] = {Digits[byte >> 4], Digits[byte & 0xF], ' '};
    return QString::fromLatin1(text, 3);
}

QString HexTrace(const QByteArray &bytes)
{
    QString out;
    out.reserve(bytes.size() * 3);
    for (char c : bytes)
        out += HexTrace(quint8(c));
    return out;
}
