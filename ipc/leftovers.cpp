#include "ipc/leftovers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "ipc/vantipcserver.h"
#include "protocol/naming.h"

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#endif

namespace VantHelper {

#ifdef Q_OS_UNIX

namespace {

// Folders inside a left-over are not expected; a deeper tree is left for a person to look at.
constexpr int kMaxDepth = 8;

bool isOurs(const struct stat& st)
{
    return st.st_uid == ::geteuid();
}

bool isYoung(const struct stat& st)
{
    const time_t now = std::time(nullptr);
    // A time in the future counts as young: the clock may have been set back.
    return st.st_mtime > now - kLeftoverGraceSecs;
}

bool processGone(qint64 pid)
{
    // EPERM: a process of another user has that id now; what it names may still be ours, so it stays.
    return pid > 0 && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

// Removes the folder sName in the folder iParent with everything in it, through descriptors only so
// that no link is followed on the way. iFolder is the folder, opened (and closed here).
bool removeOpenedTree(int iParent, const char* pszName, int iFolder, int iDepth)
{
    DIR* pDir = ::fdopendir(iFolder);
    if (!pDir) {
        ::close(iFolder);
        return false;
    }
    const int iDir = ::dirfd(pDir);
    while (const dirent* pEntry = ::readdir(pDir)) {
        const char* pszEntry = pEntry->d_name;
        if (qstrcmp(pszEntry, ".") == 0 || qstrcmp(pszEntry, "..") == 0)
            continue;
        struct stat st;
        if (::fstatat(iDir, pszEntry, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (iDepth >= kMaxDepth)
                continue;
            const int iSub = ::openat(iDir, pszEntry, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (iSub >= 0)
                removeOpenedTree(iDir, pszEntry, iSub, iDepth + 1);
        } else {
            ::unlinkat(iDir, pszEntry, 0);
        }
    }
    ::closedir(pDir);
    return ::unlinkat(iParent, pszName, AT_REMOVEDIR) == 0;
}

bool removeFile(int iParent, const QByteArray& name)
{
    return ::unlinkat(iParent, name.constData(), 0) == 0;
}

// An endpoint nobody answers at any more.
bool endpointLeftOver(const QString& sPath, const struct stat& st)
{
    if (!S_ISSOCK(st.st_mode))
        return false;
    const QString sServer =
        protocol::serverOfEndpoint(QFileInfo(sPath).fileName(), protocol::serverVersion());
    const qint64 owner = protocol::clientNameOwner(sServer);
    if (owner > 0)
        return processGone(owner);
    if (!protocol::isBridgeServerName(sServer) || isYoung(st))
        return false;
    return !VantIPCServer::liveServerAt(sPath);
}

int sweepFolder(int iFolder, const QString& sFolder, int iDepth);

// Removes the entry sName of the folder iFolder (path sFolder) when it is a left-over of ours.
bool sweepEntry(int iFolder, const QString& sFolder, const QString& sName, int iDepth)
{
    const QByteArray name = QFile::encodeName(sName);
    struct stat st;
    if (::fstatat(iFolder, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !isOurs(st))
        return false;
    const QString sPath = sFolder + QLatin1Char('/') + sName;

    if (S_ISDIR(st.st_mode) && protocol::isBridgeServerName(sName)) {
        if (isYoung(st))
            return false;
        const int iDir = ::openat(iFolder, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (iDir < 0)
            return false;
        // The lock of a living bridge refuses; taken, it keeps a second sweep away while this one works.
        struct stat held;
        if (::flock(iDir, LOCK_EX | LOCK_NB) != 0 || ::fstat(iDir, &held) != 0 || !isOurs(held)) {
            ::close(iDir);
            return false;
        }
        return removeOpenedTree(iFolder, name.constData(), iDir, 0);
    }
    if (S_ISDIR(st.st_mode) && protocol::isSocketFolderName(sName) && iDepth == 0) {
        const bool bYoung = isYoung(st);
        const int iDir = ::openat(iFolder, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (iDir < 0)
            return false;
        sweepFolder(iDir, sPath, iDepth + 1);
        ::close(iDir);
        // Empty now, and not a folder someone is just making: it goes.
        return !bYoung && ::unlinkat(iFolder, name.constData(), AT_REMOVEDIR) == 0;
    }
    if (endpointLeftOver(sPath, st))
        return removeFile(iFolder, name);
    if (S_ISREG(st.st_mode) && sName.endsWith(QLatin1String(".stderr"))) {
        const qint64 owner = protocol::clientNameOwner(sName);
        return owner > 0 && processGone(owner) && removeFile(iFolder, name);
    }
    return false;
}

int sweepFolder(int iFolder, const QString& sFolder, int iDepth)
{
    // The names first: removing while reading a folder may skip entries.
    QStringList lstNames;
    const int iList = ::dup(iFolder);
    if (iList < 0)
        return 0;
    DIR* pDir = ::fdopendir(iList);
    if (!pDir) {
        ::close(iList);
        return 0;
    }
    const QLatin1String prefix = protocol::namePrefix();
    const QString sEndpointHead = protocol::organisation() + QLatin1Char('.') + prefix;
    while (const dirent* pEntry = ::readdir(pDir)) {
        // Cheap on a crowded /tmp: only our names are looked at more closely.
        const QString sName = QFile::decodeName(pEntry->d_name);
        if (sName.startsWith(prefix) || sName.startsWith(sEndpointHead))
            lstNames.append(sName);
    }
    ::closedir(pDir);
    int nRemoved = 0;
    for (const QString& sName : qAsConst(lstNames)) {
        if (sweepEntry(iFolder, sFolder, sName, iDepth))
            ++nRemoved;
    }
    return nRemoved;
}

} // namespace

int holdPrivateFolder(const QString& sPath)
{
    const int iHandle = ::open(QFile::encodeName(sPath).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (iHandle < 0)
        return -1;
    if (::flock(iHandle, LOCK_EX | LOCK_NB) != 0) {
        ::close(iHandle);
        return -1;
    }
    return iHandle;
}

void releasePrivateFolder(int iHandle)
{
    if (iHandle >= 0)
        ::close(iHandle);
}

int sweepLeftovers(const QStringList& lstFolders)
{
    QStringList lstSeen;
    int nRemoved = 0;
    for (const QString& sGiven : lstFolders) {
        const QString sFolder = QDir::cleanPath(sGiven);
        if (sFolder.isEmpty() || lstSeen.contains(sFolder))
            continue;
        lstSeen.append(sFolder);
        const int iFolder =
            ::open(QFile::encodeName(sFolder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (iFolder < 0)
            continue;
        nRemoved += sweepFolder(iFolder, sFolder, 0);
        ::close(iFolder);
    }
    return nRemoved;
}

#else

int holdPrivateFolder(const QString&)
{
    return -1;
}

void releasePrivateFolder(int) {}

int sweepLeftovers(const QStringList&)
{
    return 0;
}

#endif

} // namespace VantHelper
