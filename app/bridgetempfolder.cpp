#include "app/bridgetempfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <sys/types.h>
#endif

#include "ipc/leftovers.h"
#include "protocol/naming.h"

BridgeTempFolder::~BridgeTempFolder()
{
    cleanUp();
    VantHelper::releasePrivateFolder(m_iHold);
}

BridgeTempFolder::Made BridgeTempFolder::create(const QString& sBase, const QString& sName, QString* psError)
{
    const QString sPath = QDir::cleanPath(sBase + QLatin1Char('/') + sName);
#ifdef Q_OS_UNIX
    // Made with its final permissions at once: nobody else may look in even for a moment.
    if (::mkdir(QFile::encodeName(sPath).constData(), 0700) != 0) {
        const int iErr = errno;
        if (psError)
            *psError = QString::fromLocal8Bit(std::strerror(iErr));
        return iErr == EEXIST ? Made::Exists : Made::Failed;
    }
#else
    if (QFileInfo::exists(sPath))
        return Made::Exists;
    if (!QDir().mkdir(sPath)) {
        if (psError)
            *psError = QStringLiteral("cannot make the folder");
        return Made::Failed;
    }
#endif
    m_sPath = sPath;
    m_iHold = VantHelper::holdPrivateFolder(sPath);
    return Made::Ok;
}

QString BridgeTempFolder::fileTemplate() const
{
    return protocol::imageFileTemplate(m_sPath);
}

void BridgeTempFolder::markTold(const QString& sFileName)
{
    if (m_sPath.isEmpty())
        return;
    m_setTold.insert(QFileInfo(sFileName).absoluteFilePath());
}

qint64 BridgeTempFolder::cleanUp()
{
    if (m_sPath.isEmpty())
        return 0;
    qint64 nRemoved = 0;
    QDir dir(m_sPath);
    // Symbolic links are listed as themselves and removed as links, never followed.
    const QFileInfoList lstEntries =
        dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : lstEntries) {
        if (m_setTold.contains(entry.absoluteFilePath()))
            continue;
        if (entry.isDir() && !entry.isSymLink()) {
            QDir(entry.absoluteFilePath()).removeRecursively();
            continue;
        }
        const qint64 nSize = entry.isSymLink() ? 0 : entry.size();
        if (QFile::remove(entry.absoluteFilePath()))
            nRemoved += nSize;
    }
    // Fails while a file the main application was told about is still there: it is the main
    // application's to take away, and the folder stays for it.
    if (dir.rmdir(m_sPath)) {
        m_sPath.clear();
        VantHelper::releasePrivateFolder(m_iHold);
        m_iHold = -1;
    }
    return nRemoved;
}
