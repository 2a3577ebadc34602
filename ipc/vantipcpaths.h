#pragma once

// Where local-socket endpoints and private folders live on this host. A Unix socket's address holds a
// path of limited length (108 bytes on Linux), so a long temporary folder can leave no room for a name.

#include <QString>
#include <QStringList>

namespace VantHelper {

// Longest path, in bytes without the terminating zero, that a local socket's address holds here.
int maxLocalSocketPathBytes();

// The path at which an endpoint of the full name sFullName lives: an absolute name as it is, any other
// in the temporary folder (the rule QLocalServer and QLocalSocket follow).
QString localSocketPath(const QString& sFullName);

// True when an endpoint of the full name sFullName fits the socket path limit.
bool fitsLocalSocket(const QString& sFullName);

// The clear error for an endpoint path that does not fit.
QString socketPathTooLongError(const QString& sPath);

// The user's runtime folder when the host has one for this user (absolute, a real folder owned by the
// user, not a symbolic link), else empty.
QString userRuntimeDir(const QString& sRuntimeDir);

// Where the bridge's private folder of image files goes: the temporary folder (sTempDir, else /tmp).
// Never the user's runtime folder: that is a small RAM disk on most desktops, and pages are large.
QString privateFolderBase(const QString& sTempDir);

// Places for a private socket folder, shortest-lived first: the user's runtime folder, the temporary
// folder, /tmp.
QStringList socketFolderCandidates();

// Makes a private folder (owner only) in the first of lstCandidates where an endpoint of the file name
// sEndpointFile fits, and returns its path. Empty, with *psError set, when it fits nowhere or no folder
// can be made.
QString makeSocketFolder(const QString& sEndpointFile, const QStringList& lstCandidates, QString* psError);

} // namespace VantHelper
