#pragma once

// Test fixtures that must look old: what a process left behind an hour ago.

#include <QFile>
#include <QString>

#include <sys/time.h>

namespace testfiles {

// Sets a path's access and modification times back by an hour, without following a link.
inline bool setBackAnHour(const QString& sPath)
{
    struct timeval times[2];
    gettimeofday(&times[0], nullptr);
    times[0].tv_sec -= 3600;
    times[1] = times[0];
    return ::lutimes(QFile::encodeName(sPath).constData(), times) == 0;
}

} // namespace testfiles
