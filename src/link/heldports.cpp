#include "link/heldports.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#ifdef Q_OS_LINUX
#include <sys/stat.h>
#include <sys/sysmacros.h>
#endif

namespace {

QSet<QString> &held()
{
    static QSet<QString> devices;
    return devices;
}

} // namespace

namespace HeldPorts {

QString canonical(const QString &path)
{
    const QString c = QFileInfo(path).canonicalFilePath();
    return c.isEmpty() ? path : c;
}

bool hold(const QString &device)
{
    if (held().contains(device))
        return false;
    held().insert(device);
    return true;
}

void release(const QString &device)
{
    held().remove(device);
}

bool isHeld(const QString &device)
{
    return held().contains(device);
}

// /proc/<pid>/stat gives each process's controlling terminal as its device number (field 7,
// after the command name in parentheses, which may itself hold blanks and parentheses).
Owner terminalOwner(const QString &device)
{
#ifdef Q_OS_LINUX
    struct stat st;
    if (::stat(QFile::encodeName(device).constData(), &st) != 0 || !S_ISCHR(st.st_mode))
        return {};
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &pid : pids) {
        if (pid.isEmpty() || !pid.front().isDigit())
            continue;
        QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!file.open(QIODevice::ReadOnly))
            continue; // the process ended meanwhile
        const QByteArray line = file.read(1024);
        const qsizetype open = line.indexOf('('), close = line.lastIndexOf(')');
        if (open < 0 || close < open)
            continue;
        // state, ppid, pgrp, session, tty_nr
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        if (fields.size() < 5)
            continue;
        const unsigned tty = fields[4].toUInt();
        if (tty == 0)
            continue;
        const unsigned major = (tty >> 8) & 0xfff, minor = (tty & 0xff) | ((tty >> 12) & 0xfff00);
        if (major == ::major(st.st_rdev) && minor == ::minor(st.st_rdev))
            return {pid.toLongLong(), QString::fromLocal8Bit(line.mid(open + 1, close - open - 1))};
    }
#else
    Q_UNUSED(device);
#endif
    return {};
}

} // namespace HeldPorts
