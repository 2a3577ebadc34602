// The bridge's process on POSIX systems: a process group of its own.
#include "client/bridgeprocess_p.h"

#include <QFile>
#include <QFileInfo>

#include <dlfcn.h>
#include <unistd.h>

namespace pelirand {

BridgeProcess::BridgeProcess(QObject* parent) : QProcess(parent) {}

void BridgeProcess::setupChildProcess()
{
    ::setpgid(0, 0);
}

QString libraryDirPath()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&libraryDirPath), &info) != 0 && info.dli_fname)
        return QFileInfo(QFile::decodeName(info.dli_fname)).canonicalPath();
    return QString();
}

bool isOwnedByUser(const QFileInfo& info)
{
    return info.ownerId() == ::geteuid();
}

} // namespace pelirand
