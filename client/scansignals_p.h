#pragma once

// What pelirand-scan needs from the system around its requests to end and its
// standard streams. Each system has its own implementation, with ScanCommand's
// installSignalHandlers(), removeSignalHandlers() and on_signal()
// (scansignals_unix.cpp, scansignals_win.cpp). Not an installed header.

#include <QFile>
#include <QString>

#include <cstdio>

namespace pelirand {

// The bridge's process id while it runs (0: none): a second request, or the
// bound after the first, ends it at once.
void watchBridgeForEndRequests(qint64 iPid);

// A request's readable name ("Interrupt").
const char* endRequestName(int iSignal);

// The rest of the open file to standard output, bytes unchanged: empty, or
// why not all of it went out (a reader that went away is reported, never a
// signal that ends the process).
QString copyFileToStdout(QFile& file);

// True when the stream is a terminal (a console on Windows).
bool isTerminal(std::FILE* pStream);

} // namespace pelirand
