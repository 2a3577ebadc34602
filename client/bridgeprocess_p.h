#pragma once

// What starting the bridge needs from the system: BridgeProcess's own setup
// and where this library lies. Each system has its own implementation
// (bridgeprocess_unix.cpp, bridgeprocess_win.cpp). Not an installed header.

#include <QFileInfo>
#include <QProcess>
#include <QString>

namespace pelirand {

// The bridge's process, in a process group of its own: a terminal's Ctrl-C
// reaches the application, which can then end the batch in order, instead of
// killing the bridge in the middle of a page. The bridge still ends when the
// application's connection goes away; on Windows also when the application
// ends in any way (the bridge is in a job that ends with the application).
class BridgeProcess : public QProcess
{
public:
    explicit BridgeProcess(QObject* parent = nullptr);

protected:
    void setupChildProcess() override;
};

// The folder this library was loaded from; empty when it cannot be told.
QString libraryDirPath();

// True when the file belongs to the user this process runs as, so that it may
// be removed as one the bridge left behind.
bool isOwnedByUser(const QFileInfo& info);

} // namespace pelirand
