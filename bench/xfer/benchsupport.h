#pragma once

// Timing and memory figures for the transfer engine's benchmarks.

#include <QElapsedTimer>
#include <QFile>
#include <QString>

#include <algorithm>
#include <functional>
#include <vector>

// Median of nRuns timings of fn, in milliseconds; prepare runs untimed before each.
inline double medianMs(int nRuns, const std::function<void()>& prepare, const std::function<void()>& fn)
{
    std::vector<double> times;
    for (int i = 0; i < nRuns; ++i) {
        if (prepare)
            prepare();
        QElapsedTimer timer;
        timer.start();
        fn();
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// The process's peak resident memory in KiB (VmHWM), and its reset.
inline long peakRssKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

inline long currentRssKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// Linux resets the peak to the current size on request.
inline bool resetPeakRss()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}
