#pragma once

#include <QByteArray>
#include <QString>

// The trace text of the main window: each byte as two upper-case hex digits and a space.
QString HexTrace(quint8 byte);
QString HexTrace(const QByteArray &bytes);
