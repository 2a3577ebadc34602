#ifndef PELIRAND_DIAG_LOGFILE_P_H
#define PELIRAND_DIAG_LOGFILE_P_H

// The log's open file, kept open between lines. One per process; not
// thread-safe: the log lock serialises every call. Each system has its own
// implementation (logfile_unix.cpp, logfile_win.cpp).
//
// The log names every scanned file: only its owner may read it. The path may be
// a symbolic link or something else than a file placed by someone else: neither
// is followed nor waited on, only a regular file is written to.

#include <QByteArray>
#include <QString>

namespace logfile {

// Opens sPath for appending, creating it when missing, and keeps it open in
// place of the file open before. bFresh empties it and makes it owner-only (the
// first line of a run). False with sError set; nothing is open then.
bool open(const QString& sPath, bool bFresh, QString& sError);

// True while sPath still names the open file: a log rotated, removed or
// replaced meanwhile is opened afresh, so each line lands where the path points.
bool isOpenAt(const QString& sPath);

void close();

// All bytes in one write (continued after a short one). False with the
// system's reason in sError.
bool write(const QByteArray& bytes, QString& sError);

} // namespace logfile

#endif
