#pragma once

#include <QByteArray>
#include <QString>

// The settings file "tessaline.ini" in the program's folder: private-profile (INI) text in the
// ANSI code page, read and edited in place so that an operator's file keeps its comments,
// order, spacing and line endings. Every call goes to the file; nothing is cached.

// The program's folder, ending in the platform's separator.
QString AppFolder();
// AppFolder() + "tessaline.ini".
QString IniPath();

// The value of a key, or the empty string when the file, section or key is absent or empty.
QString ReadIniValue(const QString &section, const QString &key);
// Sets a key, creating the file and section when missing. False when the write failed or was
// refused (a value, section or key that would break the file's lines); the old file then stays.
bool WriteIniValue(const QString &section, const QString &key, const QString &value);

// The same on any path, for the routines above and for tests.
QString readIniFile(const QString &path, const QString &section, const QString &key);
bool writeIniFile(const QString &path, const QString &section, const QString &key,
                  const QString &value);

// The file format itself, on the file's bytes.
namespace IniText {

constexpr int MaxValue = 254; // longer values are cut

// The value of the first key of that name in the first section of that name, or empty.
QByteArray read(const QByteArray &content, const QByteArray &section, const QByteArray &key);
// The content with the key set; every byte outside the changed or added line stays. A key that
// is there keeps its line up to the blanks after "=" (up to the "=" for a value that starts
// with a blank) and its own line break; the blanks after the old value go with it. Added lines end
// in CRLF. A null array when refused: an empty section or key, a line break or NUL anywhere, "]" in
// the section, "=" in the key or a key that starts like a header or a comment.
QByteArray write(const QByteArray &content, const QByteArray &section, const QByteArray &key,
                 const QByteArray &value);

} // namespace IniText
