#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// Reading and rewriting a file that an operator owns, keeping what makes it that file: its
// owner, group, mode, ACLs and other extended attributes, and every hard link to it. Neither
// reader nor writer blocks on a FIFO or opens a device: anything but a regular file fails.
namespace SafeFile {

// The whole content of a regular file; false when there is none or the read failed.
bool read(const QString &path, QByteArray &content);

// Sets the file's content to what edit makes of the current one (of an empty one for a missing
// file, which is then created with the mode that the umask allows), in one read and one write.
// A link is followed and stays a link. The new content replaces the file atomically (a
// temporary file beside it, renamed over it) where the replacement can be given the file's
// whole identity, and is written into the file itself elsewhere: a folder that may not be
// written, a file with hard links or attributes that cannot be copied. False, and the file as
// it was, when edit refuses (returns a null array), the file may not be read and written, or
// the write fails: a full disk, a size limit, an I/O error.
bool rewrite(const QString &path, const std::function<QByteArray(const QByteArray &)> &edit);

// A new file with that content; false, and nothing created, when something is there already
// or the write fails.
bool create(const QString &path, const QByteArray &content);

} // namespace SafeFile
