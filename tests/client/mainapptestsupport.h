#pragma once

// What the main application's tests share: a private temporary folder for the
// bridges they start, the small frame every scan uses, and the comparison of a
// decoded page with the simulated scanner's pattern.

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QString>
#include <QTemporaryDir>

#include "pelirand/twainsession.h"
#include "sources/sim/simscanner.h"
#include "twain/twain.h"

namespace mainapptest {

// Bound for anything that waits on a child process: generous enough for a
// loaded machine running sanitizer builds.
constexpr int kWaitMs = 120000;

// Half an inch by an eighth at 100 dpi: 50 x 13 pixels, so that rows of every
// depth need padding somewhere.
constexpr int kWidth = 50;
constexpr int kHeight = 13;

constexpr char kReportPrefix[] = "sanitizer-report";

// How a pelirand-scan run ended: its exit code (-1 when it did not end
// normally) and what it printed on each stream.
struct ScanRun
{
    int iExit = -1;
    QString sOut;
    QString sErr;
};

// Waits for a started pelirand-scan and collects what it printed; one that does
// not end within kWaitMs is killed and said so in sErr.
inline ScanRun finishScan(QProcess& process)
{
    ScanRun run;
    if (!process.waitForFinished(kWaitMs)) {
        process.kill();
        process.waitForFinished(kWaitMs);
        run.sErr = QStringLiteral("did not end");
        return run;
    }
    run.iExit = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.sOut = QString::fromUtf8(process.readAllStandardOutput());
    run.sErr = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// Gives this process and the bridges it starts a temporary folder of their own
// (local sockets, the bridges' private folders and their image files); call
// once before any bridge. In a sanitizer build the child processes write what
// the sanitizers report (leaks included) to files there.
// pelirand-scan's own messages among its standard error (the lines it starts
// with its name); the rest are the lines it tells people while scanning.
inline QStringList scanMessages(const QString& sErr)
{
    QStringList lstMessages;
    for (const QString& sLine : sErr.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (sLine.startsWith(QLatin1String("pelirand-scan: ")))
            lstMessages.append(sLine);
    }
    return lstMessages;
}

inline QString useTemporaryTmpDir()
{
    static QTemporaryDir s_tmp;
    qputenv("TMPDIR", QFile::encodeName(s_tmp.path()));
    qunsetenv("XDG_RUNTIME_DIR");
    // Read by the children only: this process's sanitizers have read their options already.
    const QByteArray logPath = ":log_path=" + QFile::encodeName(s_tmp.path()) + '/' + kReportPrefix;
    qputenv("ASAN_OPTIONS", qgetenv("ASAN_OPTIONS") + logPath);
    qputenv("UBSAN_OPTIONS", qgetenv("UBSAN_OPTIONS") + logPath);
    return s_tmp.path();
}

// What the children's sanitizers reported since the last call; the reports are removed.
inline QString takeSanitizerReports()
{
    QString sReports;
    QDir dir(qEnvironmentVariable("TMPDIR"));
    for (const QString& sName :
         dir.entryList({QLatin1String(kReportPrefix) + QLatin1Char('*')}, QDir::Files)) {
        QFile file(dir.filePath(sName));
        if (file.open(QIODevice::ReadOnly))
            sReports += QString::fromLocal8Bit(file.readAll());
        file.remove();
    }
    return sReports;
}

// The environment for a child the test makes crash: the sanitizers report to
// its standard error, not to the files that fail a test.
inline QProcessEnvironment crashingChildEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& sName : {QStringLiteral("ASAN_OPTIONS"), QStringLiteral("UBSAN_OPTIONS")}) {
        QString sOptions = env.value(sName);
        sOptions.remove(QRegularExpression(QStringLiteral(":log_path=[^:]*")));
        env.insert(sName, sOptions);
    }
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":detect_leaks=0"));
    return env;
}

// Temporary image files the bridges left in the temporary folder, their
// private folders included.
inline QStringList bridgeTemporaries()
{
    QStringList lst;
    QDirIterator it(qEnvironmentVariable("TMPDIR"), {QStringLiteral("pelirand.*")},
                    QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        lst << it.next();
    return lst;
}

// The processes whose environment names this temporary folder (a main application and the bridge it
// started, say).
inline QList<qint64> processesUsing(const QString& sTmp)
{
    QList<qint64> lstPids;
    const QByteArray needle = "TMPDIR=" + QFile::encodeName(sTmp) + '\0';
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& sEntry : entries) {
        bool bPid = false;
        const qint64 pid = sEntry.toLongLong(&bPid);
        if (!bPid)
            continue;
        QFile environ(QStringLiteral("/proc/%1/environ").arg(sEntry));
        if (environ.open(QIODevice::ReadOnly) && ('\0' + environ.readAll()).contains('\0' + needle))
            lstPids.append(pid);
    }
    return lstPids;
}

// Opens the DSM and the simulated scanner with the small frame.
inline pelirand::TwainResult openScanner(pelirand::TwainSession& session)
{
    pelirand::TwainResult result = session.openDsm();
    if (!result)
        return result;
    result = session.openSource(QString::fromLatin1(simscanner::kProductName));
    if (!result)
        return result;
    QByteArray layout = pelirand::imageLayout(0, 0, 0.5, 0.125);
    return session.call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, layout);
}

// The colour the scanner gives pixel (x, y) of a page, for a pixel type.
inline QRgb expectedPixel(int iPage, int iPixelType, int x, int y)
{
    const TW_UINT32 p = TW_UINT32(iPage);
    switch (iPixelType) {
    case TWPT_BW:
        return simscanner::isWhite(p, x, y) ? qRgb(255, 255, 255) : qRgb(0, 0, 0);
    case TWPT_GRAY: {
        const int g = simscanner::grey8(p, x, y);
        return qRgb(g, g, g);
    }
    case TWPT_PALETTE: {
        const TW_UINT32 i = simscanner::paletteIndex(p, x, y);
        return qRgb(simscanner::paletteColour(i, 0), simscanner::paletteColour(i, 1),
                    simscanner::paletteColour(i, 2));
    }
    default:
        return qRgb(simscanner::rgb8(p, x, y, 0), simscanner::rgb8(p, x, y, 1), simscanner::rgb8(p, x, y, 2));
    }
}

// Empty when the image is the page the scanner rendered; else the first difference.
inline QString compareWithPage(const QImage& image, int iPage, int iPixelType, int iWidth = kWidth,
                               int iHeight = kHeight)
{
    if (image.isNull())
        return QStringLiteral("no image");
    if (image.width() != iWidth || image.height() != iHeight)
        return QStringLiteral("%1 x %2 pixels").arg(image.width()).arg(image.height());
    for (int y = 0; y < iHeight; ++y) {
        for (int x = 0; x < iWidth; ++x) {
            const QRgb want = expectedPixel(iPage, iPixelType, x, y);
            const QRgb got = image.pixel(x, y) | 0xFF000000u;
            if (got != want)
                return QStringLiteral("pixel (%1, %2) is %3, the page has %4")
                    .arg(x)
                    .arg(y)
                    .arg(got, 8, 16, QLatin1Char('0'))
                    .arg(want, 8, 16, QLatin1Char('0'));
        }
    }
    return QString();
}

// A stand-in for the bridge executable: a shell script with the given body.
inline QString writeScript(const QTemporaryDir& dir, const QByteArray& body)
{
    const QString sName = dir.filePath(QStringLiteral("fake-bridge"));
    QFile file(sName);
    if (!file.open(QIODevice::WriteOnly) || file.write("#!/bin/sh\n" + body + "\n") < 0)
        return QString();
    file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
    return sName;
}

} // namespace mainapptest
