#include "link/portmap.h"

#include "link/heldports.h"
#include "link/modini.h"

#include <QFileInfo>
#include <QSerialPortInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace {

const QString Dash = QStringLiteral(" \u2014 ");

// What the serial layer knows of a device: "FT232R USB UART (FTDI), serial A50285BI".
QString reported(const QString &device)
{
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        if (info.portName() != device && HeldPorts::canonical(info.systemLocation()) != device)
            continue;
        QString text = info.description();
        if (!info.manufacturer().isEmpty() && !text.contains(info.manufacturer()))
            text += text.isEmpty() ? info.manufacturer()
                                   : QStringLiteral(" (%1)").arg(info.manufacturer());
        if (!info.serialNumber().isEmpty())
            text += (text.isEmpty() ? QString() : QStringLiteral(", ")) + QStringLiteral("serial ")
                + info.serialNumber();
        return text.isEmpty() ? QStringLiteral("serial port") : text;
    }
    return {};
}

// "permission denied — <how to get access>" when the device exists and this user may not read
// and write it; empty otherwise.
QString accessProblem(const QString &device)
{
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(device);
    struct stat st;
    if (::stat(name.constData(), &st) != 0
        || ::faccessat(AT_FDCWD, name.constData(), R_OK | W_OK, AT_EACCESS) == 0 || errno != EACCES)
        return {};
    QString fix = QStringLiteral("ask for read and write access to it");
    // The device's own group, when membership would give both.
    if (st.st_gid != 0 && (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
        group entry;
        group *found = nullptr;
        char buffer[4096];
        if (::getgrgid_r(st.st_gid, &entry, buffer, sizeof buffer, &found) == 0 && found)
            fix = QStringLiteral("add your user to the group %1")
                      .arg(QString::fromLocal8Bit(found->gr_name));
    }
    return QStringLiteral("permission denied") + Dash + fix;
#else
    Q_UNUSED(device);
    return {};
#endif
}

} // namespace

namespace PortMap {

QString portsFolder()
{
    return SettingsFolder() + QStringLiteral("ports/");
}

QString devicePath(int number)
{
    if (number < 1)
        return {};
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(number);
#else
    const QString link = portsFolder() + QStringLiteral("COM%1").arg(number);
    const QFileInfo entry(link);
    if (entry.exists() || entry.isSymLink())
        return link;
    const QString mapped
        = ReadIniValue(QStringLiteral("Ports"), QStringLiteral("COM%1").arg(number)).trimmed();
    if (!mapped.isEmpty())
        return mapped.startsWith(QLatin1Char('/')) ? mapped : QStringLiteral("/dev/") + mapped;
    return QStringLiteral("/dev/ttyS%1").arg(number - 1);
#endif
}

QString describe(int number)
{
    const QString path = devicePath(number);
    if (path.isEmpty())
        return {};
#ifdef Q_OS_UNIX
    // A link is shown by where it leads, also when that is nowhere.
    QString device = HeldPorts::canonical(path);
    if (device == path && QFileInfo(path).isSymLink())
        device = QFileInfo(path).symLinkTarget();
    struct stat st;
    if (::stat(QFile::encodeName(device).constData(), &st) != 0)
        return device + Dash + QStringLiteral("no such device");
    if (!S_ISCHR(st.st_mode))
        return device + Dash + QStringLiteral("not a serial device");
    QString text = reported(device);
    if (text.isEmpty()) {
        // Unix 98 pseudo terminals: majors 136 to 143.
        const unsigned major = ::major(st.st_rdev);
        text = major >= 136 && major <= 143 ? QStringLiteral("pseudo terminal")
                                            : QStringLiteral("terminal, no details known");
    }
    const HeldPorts::Owner owner = HeldPorts::terminalOwner(device);
    if (HeldPorts::isHeld(device))
        text += QStringLiteral(", open in this program");
    else if (owner.pid)
        text += QStringLiteral(", the terminal of %1 (process %2): not a module")
                    .arg(owner.name)
                    .arg(owner.pid);
    else if (const QString problem = accessProblem(device); !problem.isEmpty())
        text += QStringLiteral("; ") + problem;
    return device + Dash + text;
#else
    const QString text = reported(path);
    return path + Dash + (text.isEmpty() ? QStringLiteral("no such device") : text);
#endif
}

QString permissionProblem(const QString &device)
{
    const QString problem = accessProblem(device);
    return problem.isEmpty() ? problem : device + QStringLiteral(": ") + problem;
}

} // namespace PortMap

QVariant PortListModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::ToolTipRole)
        return QStringListModel::data(index, role);
    const QString item = QStringListModel::data(index, Qt::DisplayRole).toString();
    bool isNumber = false;
    const int number = item.mid(3).toInt(&isNumber);
    if (!item.startsWith(QLatin1String("COM")) || !isNumber)
        return {};
    return PortMap::describe(number);
}
