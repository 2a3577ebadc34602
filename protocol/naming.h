#pragma once

// How the bridge and the main application name what they leave on disk and listen at, so that each can
// find (and clean up after) the other:
// - the servers: the bridge's own "pelirand" and eight hex digits; the library's "pelirandscan", its
//   process id, "x" and twelve hex digits;
// - a server's endpoint: the organisation, the program name and the version, separated by points, in
//   the folder the program name carries if it has one;
// - the bridge's private folder, named after its server, and its image files "pelirand." and six
//   random characters in it;
// - a private folder for endpoints where the temporary folder's path is too long: "pelirand-" and six
//   random characters;
// - the library's copy of a bridge's standard error: the library's server name and ".stderr".
// Every name begins with "pelirand": a folder or file of another name is never taken for ours. The
// names also tell whose a left-over is (the library's carry its process id), so that a later start can
// remove what a process that was killed left behind.

#include <QChar>
#include <QLatin1String>
#include <QString>
#include <QStringList>

namespace protocol {

// What every name of ours begins with.
inline QLatin1String namePrefix()
{
    return QLatin1String("pelirand");
}

// The version both servers listen under.
inline QString serverVersion()
{
    return QStringLiteral("1.0");
}

// The organisation in an endpoint's name and in the settings store.
inline QString organisation()
{
    return QStringLiteral("vantora-software");
}

// The bridge's server, from 32 random bits.
inline QString bridgeServerName(quint32 random)
{
    return namePrefix() + QStringLiteral("%1").arg(random, 8, 16, QLatin1Char('0'));
}

// The main application's server: unique per process (pid) and per bridge (two times 24 random bits).
inline QString clientServerName(qint64 pid, quint32 random1, quint32 random2)
{
    return namePrefix() + QStringLiteral("scan%1x%2%3")
                              .arg(pid, 0, 16)
                              .arg(random1 & 0xFFFFFFu, 6, 16, QLatin1Char('0'))
                              .arg(random2 & 0xFFFFFFu, 6, 16, QLatin1Char('0'));
}

// The endpoint a server of program name sServerPrg and version sVersion listens at. A program name
// with a folder (absolute) names the endpoint in that folder.
inline QString endpointName(const QString& sServerPrg, const QString& sVersion)
{
    const int nSlash =
        sServerPrg.startsWith(QLatin1Char('/')) ? sServerPrg.lastIndexOf(QLatin1Char('/')) : -1;
    return sServerPrg.left(nSlash + 1) + organisation() + QLatin1Char('.') + sServerPrg.mid(nSlash + 1) +
           QLatin1Char('.') + sVersion;
}

// Whether a folder's own name can be the bridge's private folder.
inline bool isBridgeFolderName(const QString& sName)
{
    return sName.startsWith(namePrefix());
}

namespace detail {

inline bool isLowerHex(const QString& s)
{
    for (const QChar c : s) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return !s.isEmpty();
}

} // namespace detail

// Whether sName is exactly a bridge server's name (and so its private folder's): the prefix and eight
// hex digits.
inline bool isBridgeServerName(const QString& sName)
{
    return sName.size() == namePrefix().size() + 8 && sName.startsWith(namePrefix()) &&
           detail::isLowerHex(sName.mid(namePrefix().size()));
}

// The process id a name of the library's carries (its server, the files named after it), else 0.
inline qint64 clientNameOwner(const QString& sName)
{
    const QString sPrefix = namePrefix() + QStringLiteral("scan");
    if (!sName.startsWith(sPrefix))
        return 0;
    const int nEnd = sName.indexOf(QLatin1Char('x'), sPrefix.size());
    const QString sPid = sName.mid(sPrefix.size(), nEnd - sPrefix.size());
    if (nEnd < 0 || sPid.size() > 8 || !detail::isLowerHex(sPid))
        return 0;
    return sPid.toLongLong(nullptr, 16);
}

// The server name an endpoint's file name (as endpointName() makes it, without a folder) carries, else
// empty.
inline QString serverOfEndpoint(const QString& sFileName, const QString& sVersion)
{
    const QString sHead = organisation() + QLatin1Char('.');
    const QString sTail = QLatin1Char('.') + sVersion;
    if (!sFileName.startsWith(sHead) || !sFileName.endsWith(sTail) ||
        sFileName.size() <= sHead.size() + sTail.size())
        return QString();
    return sFileName.mid(sHead.size(), sFileName.size() - sHead.size() - sTail.size());
}

// QTemporaryFile's template for an image file in the folder sFolder.
inline QString imageFileTemplate(const QString& sFolder)
{
    return sFolder + QLatin1Char('/') + namePrefix() + QStringLiteral(".XXXXXX");
}

// Name filters that match the bridge's image files (QDir::entryInfoList).
inline QStringList imageFileFilters()
{
    return {namePrefix() + QStringLiteral(".*")};
}

// The name of a private endpoint folder: mkdtemp's template, appended to its parent's path.
inline QString socketFolderPattern()
{
    return QLatin1Char('/') + namePrefix() + QStringLiteral("-XXXXXX");
}

// Whether a path lies in a private endpoint folder.
inline bool inSocketFolder(const QString& sPath)
{
    return sPath.contains(QLatin1Char('/') + namePrefix() + QLatin1Char('-'));
}

// Whether sName is exactly a private endpoint folder's name as socketFolderPattern() makes it.
inline bool isSocketFolderName(const QString& sName)
{
    const QString sHead = namePrefix() + QLatin1Char('-');
    return sName.size() == sHead.size() + 6 && sName.startsWith(sHead);
}

} // namespace protocol
