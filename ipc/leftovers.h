#pragma once

// What bridges and main applications leave on disk when they are killed, and its removal by a later
// start. Each kind of left-over tells whether its owner still lives:
// - a bridge's private folder ("pelirand" and eight hex digits) is held, with a lock on the folder,
//   for as long as its bridge runs (holdPrivateFolder); the lock goes with the process, however it ends;
// - an endpoint is live while a server answers at it;
// - the library's names carry its process id (protocol/naming.h);
// - a private endpoint folder is left over once every endpoint in it is.
// Only entries of the current user are touched, symbolic links are never followed (a link is removed
// as a link), and a folder or endpoint made within the last kLeftoverGraceSecs is left alone: its
// owner may be between making it and taking its lock or listening. Unix only; elsewhere nothing is
// held and nothing removed.

#include <QString>
#include <QStringList>

namespace VantHelper {

constexpr int kLeftoverGraceSecs = 10;

// Marks the folder sPath as in use by this process until releasePrivateFolder (or the process's end).
// Returns the handle to release, or -1 where the folder cannot be held.
int holdPrivateFolder(const QString& sPath);
void releasePrivateFolder(int iHandle);

// Removes from each of lstFolders (not recursively, but left-over folders with all they hold) what
// processes of this user left behind. Returns the number of entries removed at the top level.
int sweepLeftovers(const QStringList& lstFolders);

} // namespace VantHelper
