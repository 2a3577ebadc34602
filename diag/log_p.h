#ifndef PELIRAND_DIAG_LOG_P_H
#define PELIRAND_DIAG_LOG_P_H

// Seams for the log's own tests; the bridge never calls these.

#include <QMutex>
#include <QtGlobal>

// Monotonic milliseconds; the log measures its prefix against this clock.
using LogClockFn = qint64 (*)();

// nullptr restores the real monotonic clock.
void logTestSetClock(LogClockFn fnClock);

// How long a later line waits for the log lock; a negative value restores 5000 ms.
void logTestSetLockWait(int iMs);

// The log lock itself, so that a test can hold it.
QMutex& logTestLock();

// Forgets this run's file, pending text and skipped count: the next message
// creates the file afresh, as the first message of a process does.
void logTestReset();

#endif
