#pragma once

#include <QStringListModel>

// Which device a port number opens, and what the system knows of it.
namespace PortMap {

// The folder that holds ports/: its entries COMn lead to devices.
QString portsFolder();

// The device of port number n: COMn on Windows. Elsewhere the entry ports/COMn when it exists
// (a link that leads nowhere too: the operator chose it), else the settings file's [Ports]
// COMn=PATH (a bare name is taken in /dev), else /dev/ttyS(n-1). Empty for n < 1.
QString devicePath(int number);

// "<device> — <what it is>" for port number n, as the port list's tooltips show it: the device
// a USB adapter reports (description, maker, serial number), "no such device", a pseudo
// terminal, and whether it is open here, another program's terminal or closed to this user.
QString describe(int number);

// "<device>: permission denied — <how to get access>" when the device exists and this user
// may not read and write it; empty otherwise.
QString permissionProblem(const QString &device);

} // namespace PortMap

// The items of a port list ("COM1", ...) with their devices described as tooltips, looked up
// when shown so that an adapter plugged in meanwhile shows.
class PortListModel : public QStringListModel
{
    Q_OBJECT
public:
    using QStringListModel::QStringListModel;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
};
