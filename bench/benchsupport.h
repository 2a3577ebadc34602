#pragma once

// Timing, file and memory helpers shared by the benchmarks.

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <vector>

// Median of the samples; 0 for none.
inline double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

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
    return median(times);
}

// Runs the program to the end, its standard output into sOut (or nowhere);
// false, with its error output, if it failed or had not ended after msBound.
// A run that did not end is tried again while nTries allows: SANE's test
// backend now and then hangs scanimage at a page's end (its reader thread
// cancelled inside the allocator), which is not what is measured.
inline bool runProgram(const QString& sProgram, const QStringList& lstArgs, const QProcessEnvironment& env,
                       const QString& sOut, QByteArray* pError, int msBound, int nTries = 1)
{
    for (int nTry = 1;; ++nTry) {
        QProcess process;
        process.setProcessEnvironment(env);
        process.setStandardOutputFile(sOut.isEmpty() ? QProcess::nullDevice() : sOut);
        process.start(sProgram, lstArgs);
        const bool bEnded = process.waitForFinished(msBound);
        if (bEnded && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
            return true;
        if (!bEnded) {
            process.kill();
            process.waitForFinished(5000);
            if (nTry < nTries)
                continue;
        }
        if (pError)
            *pError = sProgram.toUtf8() + ": " +
                      (bEnded ? process.readAllStandardError()
                              : QByteArray("no end after ") + QByteArray::number(msBound / 1000) + " s");
        return false;
    }
}

// The write() baseline: the bytes into a new file with plain system calls.
inline bool writeAll(const QString& sPath, const char* pData, std::size_t nBytes)
{
    const int fd = ::open(QFile::encodeName(sPath).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return false;
    while (nBytes > 0) {
        const ssize_t n = ::write(fd, pData, nBytes);
        if (n <= 0)
            break;
        pData += n;
        nBytes -= std::size_t(n);
    }
    return ::close(fd) == 0 && nBytes == 0;
}

// A field of /proc/self/status in KiB ("VmHWM", "VmRSS"); -1 if unreadable.
inline long statusKiB(const char* pField)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(pField) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// The process's peak resident memory in KiB.
inline long peakRssKiB()
{
    return statusKiB("VmHWM");
}

inline long currentRssKiB()
{
    return statusKiB("VmRSS");
}

// Linux resets the peak to the current size on request.
inline bool resetPeakRss()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

// SANE's test backend as the only one, with one device and a bed as large as
// A4, configured in sConfigDir; the environment the programs run in: that
// configuration, and a HOME (where the bridge writes its log) with a
// Documents folder.
inline QProcessEnvironment saneTestEnvironment(const QString& sConfigDir, const QString& sHome)
{
    auto write = [](const QString& sPath, const QByteArray& text) {
        QFile file(sPath);
        return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
    };
    write(sConfigDir + QStringLiteral("/dll.conf"), "test\n");
    write(sConfigDir + QStringLiteral("/test.conf"), "number_of_devices 1\ngeometry_max 300\n");
    QDir(sHome).mkpath(QStringLiteral("Documents"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SANE_CONFIG_DIR"), sConfigDir);
    env.insert(QStringLiteral("HOME"), sHome);
    return env;
}
