#include "ipc/vantipcpaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#endif

#include "protocol/naming.h"

namespace VantHelper {

int maxLocalSocketPathBytes()
{
#ifdef Q_OS_UNIX
    return int(sizeof(sockaddr_un::sun_path)) - 1;
#else
    // Named pipes: far beyond any name used here.
    return 256;
#endif
}

QString localSocketPath(const QString& sFullName)
{
#ifdef Q_OS_UNIX
    if (sFullName.startsWith(QLatin1Char('/')))
        return sFullName;
    return QDir::tempPath() + QLatin1Char('/') + sFullName;
#else
    return sFullName;
#endif
}

bool fitsLocalSocket(const QString& sFullName)
{
    return QFile::encodeName(localSocketPath(sFullName)).size() <= maxLocalSocketPathBytes();
}

QString socketPathTooLongError(const QString& sPath)
{
    return QStringLiteral(
               "the temporary folder path is too long for a local socket: %1 (%2 bytes, at most %3)")
        .arg(sPath)
        .arg(QFile::encodeName(sPath).size())
        .arg(maxLocalSocketPathBytes());
}

QString userRuntimeDir(const QString& sRuntimeDir)
{
#ifdef Q_OS_UNIX
    if (sRuntimeDir.isEmpty() || !sRuntimeDir.startsWith(QLatin1Char('/')))
        return QString();
    struct stat st;
    if (::lstat(QFile::encodeName(sRuntimeDir).constData(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        st.st_uid != ::geteuid() || ::access(QFile::encodeName(sRuntimeDir).constData(), W_OK | X_OK) != 0)
        return QString();
    return QDir::cleanPath(sRuntimeDir);
#else
    Q_UNUSED(sRuntimeDir);
    return QString();
#endif
}

QString privateFolderBase(const QString& sTempDir)
{
    return QDir::cleanPath(sTempDir.isEmpty() ? QStringLiteral("/tmp") : sTempDir);
}

QStringList socketFolderCandidates()
{
    QStringList lst;
    const QString sRuntime = userRuntimeDir(qEnvironmentVariable("XDG_RUNTIME_DIR"));
    if (!sRuntime.isEmpty())
        lst << sRuntime;
    lst << QDir::cleanPath(QDir::tempPath());
#ifdef Q_OS_UNIX
    lst << QStringLiteral("/tmp");
#endif
    lst.removeDuplicates();
    return lst;
}

QString makeSocketFolder(const QString& sEndpointFile, const QStringList& lstCandidates, QString* psError)
{
#ifdef Q_OS_UNIX
    const QString sPattern = protocol::socketFolderPattern();
    QString sFirstTried;
    for (const QString& sCandidate : lstCandidates) {
        const QString sTemplate = QDir::cleanPath(sCandidate) + sPattern;
        const QString sEndpoint = sTemplate + QLatin1Char('/') + sEndpointFile;
        if (sFirstTried.isEmpty())
            sFirstTried = sEndpoint;
        if (QFile::encodeName(sEndpoint).size() > maxLocalSocketPathBytes())
            continue;
        QByteArray path = QFile::encodeName(sTemplate);
        // mkdtemp makes the folder for the owner only.
        if (::mkdtemp(path.data()))
            return QFile::decodeName(path);
    }
    if (psError)
        *psError = socketPathTooLongError(sFirstTried.isEmpty() ? sEndpointFile : sFirstTried);
    return QString();
#else
    Q_UNUSED(sEndpointFile);
    Q_UNUSED(lstCandidates);
    if (psError)
        *psError = QStringLiteral("no private socket folder on this host");
    return QString();
#endif
}

} // namespace VantHelper
