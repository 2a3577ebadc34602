// pelirand-scan against scanimage, the whole run as a user starts it: the
// same device (SANE's test backend), the same settings and the same output
// format, timed in the same run. A4 pages in colour, grey and black and white
// into PNM, PNG, JPEG, TIFF and PDF; a batch of ten pages from the test
// device's feeder; listing the devices and their options. For each job the
// median wall time of both, their ratio, both files' sizes, whether the
// pixels are the same (lossless formats), and the peak resident memory of
// scanimage, of pelirand-scan and of its bridge.
//
// Peak memory is each process's VmHWM, read from /proc every millisecond or
// two while it runs (a process's last millisecond is not seen); the run that
// samples it is one of the timed runs.
//
// It fails only when a program fails; it skips itself (exit 0, with a
// message) where scanimage or SANE's test backend is missing.
//
//   bench_scanimage [--runs N] [--batch-runs N] [--dpi 300,600] [--quick] [--budget S]
//
// --quick: colour at every format, grey and black and white into PNG and
// PDF only. --budget: no job starts after S seconds (default 200), so that a
// slow machine shortens the table instead of overrunning.

#include "bench/benchsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// VmHWM of a process in KiB, -1 once it is gone.
long peakKiBOf(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", int(pid));
    QFile status(QString::fromLatin1(path));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = status.readAll();
    const int at = text.indexOf("VmHWM:");
    return at < 0 ? -1 : text.mid(at + 6, text.indexOf('\n', at) - at - 6).trimmed().split(' ').value(0).toLong();
}

// The children of a process (the bridge of pelirand-scan).
std::vector<pid_t> childrenOf(pid_t pid)
{
    char path[80];
    std::snprintf(path, sizeof path, "/proc/%d/task/%d/children", int(pid), int(pid));
    QFile file(QString::fromLatin1(path));
    std::vector<pid_t> out;
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray& word : file.readAll().simplified().split(' '))
            if (!word.isEmpty())
                out.push_back(pid_t(word.toInt()));
    }
    return out;
}

struct Outcome
{
    bool ok = false;
    double ms = 0;
    // Sampled peaks in KiB (-1: not sampled): the program, and the largest of its children.
    long ownKiB = -1;
    long childKiB = -1;
    QByteArray error;
};

// Runs the program to its end in its own process group, its standard output
// into sOut (or nowhere); the group is killed when it has not ended after
// msBound. Memory is sampled when bSample is set.
Outcome runOnce(const QString& sProgram, const QStringList& lstArgs, const std::vector<QByteArray>& env,
                const QString& sOut, const QString& sErrFile, bool bSample, int msBound)
{
    Outcome outcome;
    std::vector<QByteArray> argv{QFile::encodeName(sProgram)};
    for (const QString& arg : lstArgs)
        argv.push_back(arg.toLocal8Bit());
    std::vector<char*> pArgv, pEnv;
    for (QByteArray& a : argv)
        pArgv.push_back(a.data());
    pArgv.push_back(nullptr);
    std::vector<QByteArray> envCopy = env;
    for (QByteArray& e : envCopy)
        pEnv.push_back(e.data());
    pEnv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const QByteArray out = sOut.isEmpty() ? QByteArray("/dev/null") : QFile::encodeName(sOut);
    const QByteArray err = QFile::encodeName(sErrFile);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);

    QElapsedTimer timer;
    timer.start();
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, pArgv[0], &actions, &attr, pArgv.data(), pEnv.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        outcome.error = sProgram.toUtf8() + ": " + QByteArray(std::strerror(rc));
        return outcome;
    }
    int status = 0;
    bool bKilled = false;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR) {
            outcome.error = sProgram.toUtf8() + ": lost";
            return outcome;
        }
        if (bSample) {
            outcome.ownKiB = std::max(outcome.ownKiB, peakKiBOf(pid));
            for (pid_t child : childrenOf(pid))
                outcome.childKiB = std::max(outcome.childKiB, peakKiBOf(child));
        }
        if (!bKilled && timer.elapsed() > msBound) {
            ::kill(-pid, SIGKILL);
            bKilled = true;
        }
        const timespec pause{0, bSample ? 1000000 : 250000};
        nanosleep(&pause, nullptr);
    }
    outcome.ms = double(timer.nsecsElapsed()) / 1e6;
    // Whatever the program left in its group goes with it.
    ::kill(-pid, SIGKILL);
    if (bKilled) {
        outcome.error = sProgram.toUtf8() + ": no end after " + QByteArray::number(msBound / 1000) + " s";
        return outcome;
    }
    outcome.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!outcome.ok) {
        QFile errors(sErrFile);
        errors.open(QIODevice::ReadOnly);
        outcome.error = sProgram.toUtf8() + ": " + errors.readAll().trimmed().right(400);
    }
    return outcome;
}

// SANE's test backend now and then stalls scanimage at a page's end (its
// reader thread cancelled inside the allocator): such a run is tried again.
Outcome runProgram2(const QString& sProgram, const QStringList& lstArgs, const std::vector<QByteArray>& env,
                    const QString& sOut, const QString& sErrFile, bool bSample, int msBound)
{
    Outcome o = runOnce(sProgram, lstArgs, env, sOut, sErrFile, bSample, msBound);
    if (!o.ok && o.error.contains("no end after"))
        o = runOnce(sProgram, lstArgs, env, sOut, sErrFile, bSample, msBound);
    return o;
}

std::vector<QByteArray> envList(const QProcessEnvironment& env)
{
    std::vector<QByteArray> out;
    for (const QString& entry : env.toStringList())
        out.push_back(entry.toLocal8Bit());
    return out;
}

// Every file in a folder (and its subfolders), by name.
QStringList filesIn(const QString& sDir)
{
    QStringList out;
    QDir dir(sDir);
    for (const QFileInfo& info : dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        if (info.isDir())
            out += filesIn(info.filePath());
        else
            out.append(info.filePath());
    }
    return out;
}

qint64 bytesOf(const QStringList& files)
{
    qint64 n = 0;
    for (const QString& f : files)
        n += QFileInfo(f).size();
    return n;
}

// "yes" when both files hold the same pixels, "NO" when not, "-" when either cannot be read.
const char* samePixels(const QString& a, const QString& b)
{
    QImage ia(a), ib(b);
    if (ia.isNull() || ib.isNull())
        return "-";
    if (ia.size() != ib.size())
        return "NO";
    ia = ia.convertToFormat(QImage::Format_RGB32);
    ib = ib.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < ia.height(); ++y) {
        if (std::memcmp(ia.constScanLine(y), ib.constScanLine(y), size_t(ia.width()) * 4) != 0)
            return "NO";
    }
    return "yes";
}

struct Mode
{
    const char* name;
    QStringList sane;  // scanimage's options
    QStringList ours;  // pelirand-scan's
};

QString mib(long kib)
{
    return kib < 0 ? QStringLiteral("?") : QString::number(kib / 1024.0, 'f', 1);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int runs = 3;
    int batchRuns = 1;
    bool quick = false;
    int budgetS = 200;
    QList<int> resolutions{300};
    const QStringList args = QCoreApplication::arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--dpi") && i + 1 < args.size()) {
            resolutions.clear();
            for (const QString& dpi : args[++i].split(QLatin1Char(',')))
                resolutions.append(std::max(25, dpi.toInt()));
        } else if (args[i] == QLatin1String("--runs") && i + 1 < args.size()) {
            runs = std::max(1, args[++i].toInt());
        } else if (args[i] == QLatin1String("--batch-runs") && i + 1 < args.size()) {
            batchRuns = std::max(0, args[++i].toInt());
        } else if (args[i] == QLatin1String("--quick")) {
            quick = true;
        } else if (args[i] == QLatin1String("--budget") && i + 1 < args.size()) {
            budgetS = std::max(1, args[++i].toInt());
        } else {
            std::fprintf(stderr, "usage: bench_scanimage [--runs N] [--batch-runs N] [--dpi 300,600] [--quick] "
                                 "[--budget S]\n");
            return 2;
        }
    }
    const QString scan = QCoreApplication::applicationDirPath() + QStringLiteral("/pelirand-scan");
    const QString scanimage = QStandardPaths::findExecutable(QStringLiteral("scanimage"));
    if (scanimage.isEmpty()) {
        std::printf("bench_scanimage: skipped: no scanimage (sane-utils) to compare with\n");
        return 0;
    }
    if (!QFileInfo::exists(scan)) {
        std::fprintf(stderr, "bench_scanimage: no %s\n", qPrintable(scan));
        return 2;
    }
    QTemporaryDir config, work, home;
    QProcessEnvironment penv = saneTestEnvironment(config.path(), home.path());
    penv.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral(".config")));
    penv.remove(QStringLiteral("PELIRAND_LOG"));
    penv.remove(QStringLiteral("PELIRAND_DEFAULT_SOURCE"));
    penv.remove(QStringLiteral("QT_QPA_PLATFORM"));
    penv.remove(QStringLiteral("PELIRAND_SANE_OPTIONS"));
    const QString picture = QStringLiteral("Color pattern");
    const std::vector<QByteArray> envFlatbed = envList(penv), envFeeder = envFlatbed;
    const QString errFile = work.filePath(QStringLiteral("stderr.txt"));

    // Is the test backend there?
    {
        const QString list = work.filePath(QStringLiteral("list.txt"));
        const Outcome o = runOnce(scanimage, {QStringLiteral("-L")}, envFlatbed, list, errFile, false, 30000);
        QFile f(list);
        f.open(QIODevice::ReadOnly);
        if (!o.ok || !f.readAll().contains("test:0")) {
            std::printf("bench_scanimage: skipped: SANE's test backend (libsane1) does not answer: %s\n",
                        o.error.constData());
            return 0;
        }
    }

    bool allOk = true;
    QByteArray firstError;
    QElapsedTimer sinceStart;
    sinceStart.start();
    bool spent = false;
    // False, once, with a note, when the time budget is spent: the jobs left are not run.
    auto inBudget = [&] {
        if (!spent && sinceStart.elapsed() > qint64(budgetS) * 1000) {
            spent = true;
            std::printf("(the jobs left are not run: the budget of %d s is spent)\n", budgetS);
        }
        return !spent;
    };
    // Times both programs nRuns times (the first run sampling memory); the medians.
    struct Pair
    {
        double sane = 0, ours = 0;
        long saneKiB = -1, scanKiB = -1, bridgeKiB = -1;
    };
    auto pair = [&](int nRuns, const std::function<void()>& clear, const QStringList& saneArgs, const QString& saneOut,
                    const QStringList& ourArgs, const std::vector<QByteArray>& env) {
        Pair p;
        std::vector<double> sane, ours;
        for (int i = 0; i < nRuns; ++i) {
            if (clear)
                clear();
            // Alternating which goes first spreads the machine's moods over both.
            for (int k = 0; k < 2; ++k) {
                const bool bSane = (k == 0) == (i % 2 == 0);
                const Outcome o = bSane ? runProgram2(scanimage, saneArgs, env, saneOut, errFile, i == 0, 60000)
                                        : runOnce(scan, ourArgs, env, QString(), errFile, i == 0, 90000);
                if (!o.ok) {
                    allOk = false;
                    if (firstError.isEmpty())
                        firstError = o.error;
                    return p;
                }
                (bSane ? sane : ours).push_back(o.ms);
                if (i == 0 && bSane)
                    p.saneKiB = o.ownKiB;
                if (i == 0 && !bSane) {
                    p.scanKiB = o.ownKiB;
                    p.bridgeKiB = o.childKiB;
                }
            }
        }
        p.sane = median(sane);
        p.ours = median(ours);
        return p;
    };
    auto ratio = [](const Pair& p) { return p.sane > 0 ? p.ours / p.sane : 0.0; };

    std::printf("pelirand-scan against scanimage on SANE's test backend (\"%s\", A4), median of %d runs;\n"
                "ratio = pelirand-scan's time / scanimage's; peak memory (VmHWM) in MiB\n\n",
                qPrintable(picture), runs);
    std::printf("%-22s %9s %9s %6s %10s %10s %5s %6s %6s %6s\n", "job", "scanimage", "ours", "ratio", "KiB sane",
                "KiB ours", "same", "sane", "scan", "bridge");

    // The same words on both sides; black and white is the test device's 1-bit grey.
    const QList<Mode> modes{
        {"colour", {QStringLiteral("--mode"), QStringLiteral("Color"), QStringLiteral("--depth"), QStringLiteral("8")},
         {QStringLiteral("--mode"), QStringLiteral("Color")}},
        {"grey", {QStringLiteral("--mode"), QStringLiteral("Gray"), QStringLiteral("--depth"), QStringLiteral("8")},
         {QStringLiteral("--mode"), QStringLiteral("Gray")}},
        {"bw", {QStringLiteral("--mode"), QStringLiteral("Gray"), QStringLiteral("--depth"), QStringLiteral("1")},
         {QStringLiteral("--mode"), QStringLiteral("Lineart")}},
    };
    const QStringList formats{QStringLiteral("pnm"), QStringLiteral("png"), QStringLiteral("jpeg"),
                              QStringLiteral("tiff"), QStringLiteral("pdf")};
    const QString out = work.filePath(QStringLiteral("out"));
    auto clearOut = [&] { QDir(out).removeRecursively(); };
    for (int dpi : resolutions) {
        for (const Mode& mode : modes) {
            for (const QString& format : formats) {
                if (quick && qstrcmp(mode.name, "colour") != 0 && format != QLatin1String("png") &&
                    format != QLatin1String("pdf"))
                    continue;
                if (!inBudget())
                    break;
                const QString saneFile = work.filePath(QStringLiteral("scanimage.") + format);
                QStringList saneArgs{QStringLiteral("-d"), QStringLiteral("test:0"), QStringLiteral("--resolution"),
                                     QString::number(dpi), QStringLiteral("-x"), QStringLiteral("210"),
                                     QStringLiteral("-y"), QStringLiteral("297"), QStringLiteral("--test-picture"),
                                     picture, QStringLiteral("--format=") + format};
                saneArgs += mode.sane;
                QStringList ourArgs{QStringLiteral("-d"), QStringLiteral("test:0"), QStringLiteral("--resolution"),
                                    QString::number(dpi), QStringLiteral("-x"), QStringLiteral("210"),
                                    QStringLiteral("-y"), QStringLiteral("297"), QStringLiteral("--sane-option"),
                                    QStringLiteral("test-picture=") + picture, QStringLiteral("-n"),
                                    QStringLiteral("1"), QStringLiteral("--format"), format, QStringLiteral("-o"), out,
                                    QStringLiteral("--name"), QStringLiteral("page"), QStringLiteral("-q")};
                ourArgs += mode.ours;
                const Pair p = pair(runs, clearOut, saneArgs, saneFile, ourArgs, envFlatbed);
                if (!allOk)
                    break;
                const QStringList ours = filesIn(out);
                const bool lossless = format == QLatin1String("pnm") || format == QLatin1String("png") ||
                                      format == QLatin1String("tiff");
                const char* same = lossless && ours.size() == 1 ? samePixels(saneFile, ours.value(0)) : "-";
                const QString job = QStringLiteral("%1 %2 dpi %3").arg(QLatin1String(mode.name)).arg(dpi).arg(format);
                std::printf("%-22s %6.0f ms %6.0f ms %5.2fx %10lld %10lld %5s %6s %6s %6s\n", qPrintable(job), p.sane,
                            p.ours, ratio(p), QFileInfo(saneFile).size() / 1024, bytesOf(ours) / 1024, same,
                            qPrintable(mib(p.saneKiB)), qPrintable(mib(p.scanKiB)), qPrintable(mib(p.bridgeKiB)));
                std::fflush(stdout);
            }
            if (!allOk)
                break;
        }
    }

    // Ten grey pages from the feeder: scanimage's batch (a file a page, one
    // PDF), pelirand-scan's run (a file a page, one TIFF, one PDF).
    const int batchDpi = resolutions.value(0);
    for (const QString& format : {QStringLiteral("pnm"), QStringLiteral("tiff"), QStringLiteral("pdf")}) {
        if (!allOk || batchRuns == 0 || !inBudget())
            break;
        const QString saneDir = work.filePath(QStringLiteral("batch"));
        auto clearBoth = [&] {
            clearOut();
            QDir(saneDir).removeRecursively();
            QDir().mkpath(saneDir);
        };
        const QString ext = format == QLatin1String("tiff") ? QStringLiteral("tif") : format;
        const QStringList saneArgs{QStringLiteral("-d"), QStringLiteral("test:0"), QStringLiteral("--resolution"),
                                   QString::number(batchDpi), QStringLiteral("-x"), QStringLiteral("210"),
                                   QStringLiteral("-y"), QStringLiteral("297"), QStringLiteral("--test-picture"),
                                   picture, QStringLiteral("--mode"), QStringLiteral("Gray"), QStringLiteral("--depth"),
                                   QStringLiteral("8"), QStringLiteral("--source"),
                                   QStringLiteral("Automatic Document Feeder"), QStringLiteral("--format=") + format,
                                   QStringLiteral("--batch=") + saneDir + QStringLiteral("/p%d.") + ext};
        const QStringList ourArgs{QStringLiteral("-d"), QStringLiteral("test:0"), QStringLiteral("--resolution"),
                                  QString::number(batchDpi), QStringLiteral("-x"), QStringLiteral("210"),
                                  QStringLiteral("-y"), QStringLiteral("297"), QStringLiteral("--sane-option"),
                                  QStringLiteral("test-picture=") + picture, QStringLiteral("--mode"),
                                  QStringLiteral("Gray"), QStringLiteral("--feeder"), QStringLiteral("--format"),
                                  format, QStringLiteral("-o"), out, QStringLiteral("--name"), QStringLiteral("page"),
                                  QStringLiteral("-q")};
        const Pair p = pair(batchRuns, clearBoth, saneArgs, QString(), ourArgs, envFeeder);
        if (!allOk)
            break;
        const QStringList saneFiles = filesIn(saneDir), ours = filesIn(out);
        const QString job = QStringLiteral("feeder grey %1 %2").arg(batchDpi).arg(format);
        std::printf("%-22s %6.0f ms %6.0f ms %5.2fx %10lld %10lld %5s %6s %6s %6s   (files: %d and %d)\n",
                    qPrintable(job), p.sane, p.ours, ratio(p), bytesOf(saneFiles) / 1024, bytesOf(ours) / 1024, "-",
                    qPrintable(mib(p.saneKiB)), qPrintable(mib(p.scanKiB)), qPrintable(mib(p.bridgeKiB)),
                    int(saneFiles.size()), int(ours.size()));
        std::fflush(stdout);
    }

    // Listing: the devices, and the test device's options.
    if (allOk && inBudget()) {
        const int listRuns = std::max(3, runs);
        const Pair list = pair(listRuns, nullptr, {QStringLiteral("-L")}, QString(), {QStringLiteral("-L")},
                               envFlatbed);
        if (allOk)
            std::printf("%-22s %6.0f ms %6.0f ms %5.2fx %10s %10s %5s %6s %6s %6s\n", "--list / -L", list.sane,
                        list.ours, ratio(list), "", "", "", qPrintable(mib(list.saneKiB)),
                        qPrintable(mib(list.scanKiB)), qPrintable(mib(list.bridgeKiB)));
        const Pair options =
            allOk ? pair(listRuns, nullptr, {QStringLiteral("-d"), QStringLiteral("test:0"), QStringLiteral("-A")},
                         QString(), {QStringLiteral("-d"), QStringLiteral("test:0"), QStringLiteral("-A")},
                         envFlatbed)
                  : Pair();
        if (allOk)
            std::printf("%-22s %6.0f ms %6.0f ms %5.2fx %10s %10s %5s %6s %6s %6s\n", "-A", options.sane,
                        options.ours, ratio(options), "", "", "", qPrintable(mib(options.saneKiB)),
                        qPrintable(mib(options.scanKiB)), qPrintable(mib(options.bridgeKiB)));
    }
    if (!allOk) {
        std::fprintf(stderr, "bench_scanimage: a run failed: %s\n", firstError.constData());
        return 1;
    }
    std::printf("\naims: a page within 1.2x scanimage's time, the feeder's batch within 1.0x, --list and -A\n"
                "within 2x; pelirand-scan and its bridge at most 32 MiB each. pelirand-scan's times\n"
                "include starting its bridge and the page's way through it; scanimage writes one\n"
                "uncompressed TIFF a page, pelirand-scan one Deflate TIFF for the run.\n");
    return 0;
}
