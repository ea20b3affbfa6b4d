#include "buslog/buslog.h"

void BusLog::sent(int, Window, const QList<Protocol::Frame> &) { }

void BusLog::received(int, Window, const QByteArray &) { }
