// The bridge's start and end, and pelirand-scan's end, against a bare Qt process measured in the same
// run. It prints its figures and ratios; it is not a test.
//
// - start to greeting: from starting the process to its greeting frame at our server, the bridge
//   against bench_greeter (Qt Core and Network, one local socket, one frame); the shared libraries
//   mapped at that moment;
// - the end: from closing the connection (the main application is gone) to the process's end;
// - pelirand-scan --list: from its last line to its end (stopping the bridge included), against a
//   bare Qt process that prints a line and ends.
//
//   bench_start [--starts N]   (aims: greeting 10 ms at most, pelirand-scan's own end 5 ms at most)

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <vector>

#include "bench/benchsupport.h"
#include "ipc/vantipcwire.h"
#include "protocol/naming.h"

namespace {

constexpr int kWaitMs = 30000;

struct Start
{
    double greetMs = 0;
    double endMs = 0;
    int nLibraries = 0;
};

// The shared libraries a process has mapped.
int mappedLibraries(qint64 pid)
{
    QFile maps(QStringLiteral("/proc/%1/maps").arg(pid));
    if (!maps.open(QIODevice::ReadOnly))
        return 0;
    QSet<QByteArray> files;
    for (const QByteArray& line : maps.readAll().split('\n')) {
        const int nPath = line.indexOf('/');
        if (nPath >= 0 && line.contains(".so"))
            files.insert(line.mid(nPath));
    }
    return files.size();
}

QProcessEnvironment environment(const QString& sTmp)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), sTmp);
    env.insert(QStringLiteral("HOME"), sTmp);
    env.insert(QStringLiteral("PELIRAND_LOG"), sTmp + QStringLiteral("/bridge.log"));
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    return env;
}

// Starts sProgram with the name of our server and times its greeting and, once we close the
// connection, its end.
bool startOnce(const QString& sProgram, const QString& sTmp, int iRound, Start& result)
{
    const QString sName = protocol::clientServerName(QCoreApplication::applicationPid(), quint32(iRound), 0);
    QLocalServer server;
    if (!server.listen(sTmp + QLatin1Char('/') + VantHelper::makeServerName(sName, protocol::serverVersion())))
        return false;
    QProcess process;
    process.setProcessEnvironment(environment(sTmp));
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    process.start(sProgram, {sName});
    if (!process.waitForStarted(kWaitMs) || !server.waitForNewConnection(kWaitMs))
        return false;
    QLocalSocket* pPeer = server.nextPendingConnection();
    qint32 nLength = 0;
    if (VantHelper::waitForFrame(pPeer, &nLength, kWaitMs) != VantHelper::FrameWait::Ready)
        return false;
    result.greetMs = double(clock.nsecsElapsed()) / 1e6;
    result.nLibraries = mappedLibraries(process.processId());
    clock.start();
    pPeer->abort();
    server.close();
    if (!process.waitForFinished(kWaitMs))
        return false;
    result.endMs = double(clock.nsecsElapsed()) / 1e6;
    return true;
}

bool benchStarts(const QString& sBin, const QString& sTmp, int nStarts)
{
    std::vector<double> bridgeGreet, bridgeEnd, bareGreet, bareEnd;
    int nBridgeLibraries = 0;
    int nBareLibraries = 0;
    for (int i = 0; i < nStarts; ++i) {
        Start bridge, bare;
        if (!startOnce(sBin + QStringLiteral("/pelirand"), sTmp, 2 * i, bridge) ||
            !startOnce(sBin + QStringLiteral("/bench_greeter"), sTmp, 2 * i + 1, bare))
            return false;
        bridgeGreet.push_back(bridge.greetMs);
        bridgeEnd.push_back(bridge.endMs);
        bareGreet.push_back(bare.greetMs);
        bareEnd.push_back(bare.endMs);
        nBridgeLibraries = bridge.nLibraries;
        nBareLibraries = bare.nLibraries;
    }
    const double g = median(bridgeGreet), gb = median(bareGreet);
    const double e = median(bridgeEnd), eb = median(bareEnd);
    std::printf("bridge start to greeting: %.1f ms (aim: 10 ms at most), %d libraries mapped; bare Qt greeter "
                "%.1f ms, %d libraries; ratio %.2f\n",
                g, nBridgeLibraries, gb, nBareLibraries, gb > 0 ? g / gb : 0);
    std::printf("bridge end once the main application is gone: %.1f ms; bare Qt greeter %.1f ms; ratio %.2f\n", e,
                eb, eb > 0 ? e / eb : 0);
    return true;
}

// From the last bytes a program prints to its end.
bool lastLineToEnd(const QString& sProgram, const QStringList& lstArgs, const QString& sTmp, double& ms)
{
    QProcess process;
    process.setProcessEnvironment(environment(sTmp));
    process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    qint64 nLastOutputNs = -1;
    QEventLoop loop;
    QObject::connect(&process, &QProcess::readyReadStandardOutput, [&] {
        process.readAllStandardOutput();
        nLastOutputNs = clock.nsecsElapsed();
    });
    QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    QTimer::singleShot(kWaitMs, &loop, &QEventLoop::quit);
    process.start(sProgram, lstArgs);
    loop.exec();
    if (process.state() != QProcess::NotRunning || process.exitCode() != 0 || nLastOutputNs < 0) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    ms = double(clock.nsecsElapsed() - nLastOutputNs) / 1e6;
    return true;
}

bool benchScanEnd(const QString& sBin, const QString& sTmp, int nStarts)
{
    std::vector<double> scanEnd, bareEnd;
    for (int i = 0; i < nStarts; ++i) {
        double scan = 0, bare = 0;
        if (!lastLineToEnd(sBin + QStringLiteral("/pelirand-scan"), {QStringLiteral("--list")}, sTmp, scan) ||
            !lastLineToEnd(sBin + QStringLiteral("/bench_greeter"), {QStringLiteral("--print")}, sTmp, bare))
            return false;
        scanEnd.push_back(scan);
        bareEnd.push_back(bare);
    }
    const double s = median(scanEnd), b = median(bareEnd);
    std::printf("pelirand-scan --list, last line to its end (the bridge stopped): %.1f ms, %.1f ms of its own "
                "(aim: 5 ms at most); a bare Qt process %.1f ms; ratio %.2f\n",
                s, s - b, b, b > 0 ? s / b : 0);
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int nIndex = args.indexOf(QStringLiteral("--starts"));
    const int nStarts = nIndex >= 0 ? qMax(1, args.value(nIndex + 1).toInt()) : 15;
    // Short: endpoint paths must fit a socket address.
    QTemporaryDir tmp(QStringLiteral("/tmp/bst-XXXXXX"));
    if (!tmp.isValid())
        return 1;
    const QString sBin = QCoreApplication::applicationDirPath();
    if (!benchStarts(sBin, tmp.path(), nStarts)) {
        std::fprintf(stderr, "bench_start: a start failed\n");
        return 1;
    }
    if (!benchScanEnd(sBin, tmp.path(), nStarts)) {
        std::fprintf(stderr, "bench_start: pelirand-scan --list failed\n");
        return 1;
    }
    return 0;
}
