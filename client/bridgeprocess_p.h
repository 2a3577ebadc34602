#pragma once

// What starting the bridge needs from the system: BridgeProcess's own setup
// and where this library lies. Each system has its own implementation
// (bridgeprocess_unix.cpp, bridgeprocess_win.cpp). Not an installed header.

#include <QFileInfo>
#include <QString>

namespace pelirand {

// The folder this library was loaded from; empty when it cannot be told.
QString libraryDirPath();

// True when the file belongs to the user this process runs as, so that it may
// be removed as one the bridge left behind.
bool isOwnedByUser(const QFileInfo& info);

} // namespace pelirand
