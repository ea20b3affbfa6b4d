#pragma once

#include <QByteArray>
#include <QString>

struct modVariables;

// The main window's receive handler without its window, for one block read from the port: a
// block that starts with SelectReply for DeviceAddress sets ReplyReceived and gives the trace
// of those two bytes, which the handler adds to the received-data label. Any other block, the
// rest of a block after its first two bytes, and a block too short to tell, change nothing and
// give an empty text.
QString ReceiveBlock(modVariables &vars, const QByteArray &block);
