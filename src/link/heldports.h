#pragma once

#include <QString>
#include <QtGlobal>

// The register of devices that are held and must not be opened again: those open in this
// program, through whatever name, and those that are some process's controlling terminal.
namespace HeldPorts {

// A device by its canonical path (links followed), or the path itself when it names nothing.
QString canonical(const QString &path);

// Devices open in this program. Root passes a tty's exclusive lock, so the program keeps its own
// list: hold() is false when the device is held already.
bool hold(const QString &device);
void release(const QString &device);
bool isHeld(const QString &device);

// The process whose controlling terminal the device is (a shell's terminal, say): writing frames
// into it would garble that program's screen and input. pid 0 when there is none.
struct Owner
{
    qint64 pid = 0;
    QString name;
};
Owner terminalOwner(const QString &device);

} // namespace HeldPorts
