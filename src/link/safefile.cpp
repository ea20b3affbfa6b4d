#include "link/safefile.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <QByteArrayList>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/xattr.h>
#endif
#else
#include <QSaveFile>
#endif

namespace {

// Where a link leads, as an open() by name would go; empty for a loop.
QString linkTarget(const QString &path)
{
    QFileInfo target(path);
    for (int depth = 0; target.isSymLink(); ++depth) {
        if (depth == 32)
            return {};
        target.setFile(target.symLinkTarget());
    }
    return target.filePath();
}

#ifdef Q_OS_UNIX

class Fd
{
public:
    explicit Fd(int fd)
        : m_fd(fd)
    { }
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

bool readAll(int fd, QByteArray &out)
{
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    out.resize(qsizetype(st.st_size) + 1);
    qsizetype got = 0;
    for (;;) {
        if (got == out.size())
            out.resize(2 * got); // grown since
        const ssize_t n = ::pread(fd, out.data() + got, size_t(out.size() - got), off_t(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        got += n;
    }
    out.resize(got);
    return true;
}

bool writeAll(int fd, const char *data, qsizetype size, qsizetype at)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size_t(size), off_t(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        at += n;
        size -= n;
    }
    return true;
}

bool createFile(const QByteArray &name, const QByteArray &content)
{
    const int fd
        = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0)
        return false;
    bool ok = writeAll(fd, content.constData(), content.size(), 0) && ::fdatasync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok)
        ::unlink(name.constData());
    return ok;
}

#ifdef Q_OS_LINUX
// The names of a file's extended attributes; false when they cannot be listed.
bool attributeNames(int fd, QByteArrayList &names)
{
    names.clear();
    QByteArray list;
    for (;;) {
        const ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size < 0)
            return errno == ENOTSUP; // a file system without them
        list.resize(qsizetype(size));
        const ssize_t got = ::flistxattr(fd, list.data(), size_t(list.size()));
        if (got >= 0) {
            list.resize(qsizetype(got));
            break;
        }
        if (errno != ERANGE)
            return false; // ERANGE: one was added in between
    }
    for (const QByteArray &name : list.split('\0')) {
        if (!name.isEmpty())
            names << name;
    }
    return true;
}

// The same extended attributes on `to` as on `from`, with the same values, and no others: the
// access ACL is one of them, and so are a security label and file capabilities.
bool copyAttributes(int from, int to)
{
    QByteArrayList names, present;
    if (!attributeNames(from, names) || !attributeNames(to, present))
        return false;
    QByteArray value;
    for (const QByteArray &name : names) {
        const ssize_t size = ::fgetxattr(from, name.constData(), nullptr, 0);
        if (size < 0)
            return false;
        value.resize(qsizetype(size));
        if (::fgetxattr(from, name.constData(), value.data(), size_t(size)) != size
            || ::fsetxattr(to, name.constData(), value.constData(), size_t(size), 0) != 0)
            return false;
    }
    for (const QByteArray &name : present) {
        // An ACL that the folder's default ACL gave the new file, for example.
        if (!names.contains(name) && ::fremovexattr(to, name.constData()) != 0)
            return false;
    }
    return true;
}
#endif

// Gives the new file `to` the identity of the old one: owner and group (which clear set-id bits,
// so they come first), mode, then the extended attributes. False when any of it is refused.
bool copyIdentity(int from, int to, const struct stat &old)
{
#ifdef Q_OS_LINUX
    struct stat now;
    if (::fstat(to, &now) != 0)
        return false;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid)
        && ::fchown(to, old.st_uid, old.st_gid) != 0)
        return false;
    if (::fchmod(to, old.st_mode & 07777) != 0 || !copyAttributes(from, to))
        return false;
    // Taken as asked: the kernel drops a set-group-id bit for a group that is not ours.
    return ::fstat(to, &now) == 0 && now.st_uid == old.st_uid && now.st_gid == old.st_gid
        && (now.st_mode & 07777) == (old.st_mode & 07777);
#else
    // Extended attributes cannot be copied here: the file is rewritten in place.
    Q_UNUSED(from);
    Q_UNUSED(to);
    Q_UNUSED(old);
    return false;
#endif
}

enum class Outcome { Done, Failed, Elsewhere };

// The atomic replacement: a temporary file in the same folder with the old file's identity,
// filled, synced and renamed over it. Elsewhere when the folder may not be written or the
// identity cannot be given (nothing has changed then); Failed when the content could not be
// written (a full disk): the old file stays whole and nothing is left beside it.
Outcome replace(const QByteArray &name, int oldFd, const struct stat &old,
                const QByteArray &content)
{
    const qsizetype slash = name.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? "/" : name.left(slash);
    const QByteArray base = name.mid(slash + 1);
    QByteArray temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 16; ++attempt) {
        temp = folder + "/." + base + '.'
            + QByteArray::number(QRandomGenerator::global()->generate(), 36);
        fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
        if (fd < 0 && errno != EEXIST)
            return Outcome::Elsewhere;
    }
    if (fd < 0)
        return Outcome::Elsewhere;
    Fd file(fd);
    const auto discard = [&temp](Outcome outcome) {
        ::unlink(temp.constData());
        return outcome;
    };
    if (!copyIdentity(oldFd, fd, old))
        return discard(Outcome::Elsewhere);
    // The data on disk before the rename, so that a crash leaves the old file or the new one.
    if (!writeAll(fd, content.constData(), content.size(), 0) || ::fdatasync(fd) != 0)
        return discard(Outcome::Failed);
    // A file that is a mount point of its own cannot be renamed over: written in place instead.
    if (::rename(temp.constData(), name.constData()) != 0)
        return discard(Outcome::Elsewhere);
    return Outcome::Done;
}

// The new content written into the file itself. Its new size is reserved first, so that a full
// disk or a size limit refuses the write before a byte changes; a failure after that puts the
// old bytes back (their room is there). Only the bytes from the first difference on are written.
bool overwrite(int fd, const QByteArray &before, const QByteArray &after)
{
    qsizetype from = 0;
    const qsizetype common = qMin(before.size(), after.size());
    while (from < common && before[from] == after[from])
        ++from;
    if (after.size() > before.size()) {
        const int rc
            = ::posix_fallocate(fd, off_t(before.size()), off_t(after.size() - before.size()));
        if (rc != 0 && rc != EOPNOTSUPP && rc != EINVAL && rc != ENOSYS) {
            [[maybe_unused]] const int undone = ::ftruncate(fd, off_t(before.size()));
            return false;
        }
    }
    if (writeAll(fd, after.constData() + from, after.size() - from, from)
        && (after.size() >= before.size() || ::ftruncate(fd, off_t(after.size())) == 0)
        && ::fdatasync(fd) == 0)
        return true;
    writeAll(fd, before.constData() + from, before.size() - from, from);
    [[maybe_unused]] const int undone = ::ftruncate(fd, off_t(before.size()));
    ::fdatasync(fd);
    return false;
}

#endif

} // namespace

namespace SafeFile {

#ifdef Q_OS_UNIX

bool read(const QString &path, QByteArray &content)
{
    // Non-blocking, so that a FIFO is not waited on before it is found to be no file.
    const Fd file(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    return file.get() >= 0 && readAll(file.get(), content);
}

bool rewrite(const QString &path, const std::function<QByteArray(const QByteArray &)> &edit)
{
    const QString target = linkTarget(path);
    if (target.isEmpty())
        return false;
    const QByteArray name = QFile::encodeName(target);
    // Opened for writing too: whoever may not write the file itself gets nothing changed.
    const Fd file(::open(name.constData(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() < 0) {
        if (errno != ENOENT)
            return false;
        const QByteArray content = edit(QByteArray());
        return !content.isNull() && createFile(name, content);
    }
    struct stat st;
    QByteArray before;
    if (::fstat(file.get(), &st) != 0 || !readAll(file.get(), before))
        return false;
    const QByteArray after = edit(before);
    if (after.isNull())
        return false;
    if (after == before)
        return true;
    // A replacement would leave the other links with the old content.
    if (st.st_nlink == 1) {
        const Outcome outcome = replace(name, file.get(), st, after);
        if (outcome != Outcome::Elsewhere)
            return outcome == Outcome::Done;
    }
    return overwrite(file.get(), before, after);
}

bool create(const QString &path, const QByteArray &content)
{
    return createFile(QFile::encodeName(path), content);
}

#else

bool read(const QString &path, QByteArray &content)
{
    if (!QFileInfo(path).isFile())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    content = file.readAll();
    return file.error() == QFileDevice::NoError;
}

bool rewrite(const QString &path, const std::function<QByteArray(const QByteArray &)> &edit)
{
    const QString target = linkTarget(path);
    if (target.isEmpty())
        return false;
    const bool existed = QFileInfo::exists(target);
    QByteArray before;
    if (existed && (!read(target, before) || !QFileInfo(target).isWritable()))
        return false;
    const QByteArray after = edit(before);
    if (after.isNull())
        return false;
    if (existed && after == before)
        return true;
    // The platform's own replacement, written in place where the folder may not be written.
    QSaveFile file(target);
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(after) != after.size() || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

bool create(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    if (file.write(content) == content.size() && file.flush())
        return true;
    file.remove();
    return false;
}

#endif

} // namespace SafeFile
