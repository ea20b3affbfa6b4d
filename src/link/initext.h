#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QList>

// The settings file's format on its bytes: private-profile (INI) lines as the platform's own
// profile functions read and edit them, so that an operator's file keeps its comments, order,
// spacing and line endings.
//
// Names in the file lose the blanks around them (space, tab, vertical tab), and so do values;
// the caller's section and key lose surrounding spaces only, a tab in them is part of the name.
// Section and key names compare without regard to ASCII case.
namespace IniText {

constexpr int MaxValue = 254; // longer values are cut

struct Key
{
    QByteArray section;
    QByteArray key;
};

struct Entry
{
    QByteArray key;
    QByteArray value;
};

// The value of the first key of that name in the first section of that name, or empty.
QByteArray read(const QByteArray &content, const QByteArray &section, const QByteArray &key);
// The same for several keys, in the order asked, with one pass over each section they name.
QByteArrayList read(const QByteArray &content, const QList<Key> &keys);

// The content with the key set; every byte outside the changed or added line stays. A key that
// is there keeps its line up to the blanks after "=" (up to the "=" for a value that starts with
// a blank) and its own line break (a CRLF when it was the file's last line and had none); the
// blanks after the old value go with it. Added lines end in CRLF. A null array when refused: an
// empty section or key, a line break or NUL anywhere, "]" in the section, "=" in the key, a key
// that starts like a header or a comment, or a name with a tab or vertical tab at its edge (the
// file would not give it back).
QByteArray write(const QByteArray &content, const QByteArray &section, const QByteArray &key,
                 const QByteArray &value);
// Several keys of one section in one edit: the bytes that writing them one after another would
// give, or a null array when any of them is refused, and then none is written. A key named twice
// takes the later value.
QByteArray write(const QByteArray &content, const QByteArray &section, const QList<Entry> &entries);

} // namespace IniText
