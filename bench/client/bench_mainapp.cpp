// The main application's view of the real bridge, each figure against a
// baseline measured in the same run:
// - a command's round trip (cmdGetNumCommands, and a cmdTwainCmd that reaches
//   the source) against a raw QLocalSocket echo, in another process, of frames
//   of the same sizes;
// - a native 600-dpi A4 RGB page from MSG_ENABLEDS to its bytes in the
//   application's hands, against write() of the same bytes; the bridge's peak
//   memory meanwhile against the image size;
// - the simulated scanner rendering that page into its block, against memcpy()
//   of as many bytes;
// - start-up to the bridge's hello, against starting a process that does nothing;
// - a memory (strip) transfer of an A4 RGB page at 300, 600 and 1200 dpi: the
//   peak memory of the bridge, and of pelirand-scan with its own bridge;
// - a batch of many native A4 600-dpi pages: time per page for the first ten
//   and the last ten, and the bridge's resident memory at both ends.
//
// The bridge writes its log as always, into a temporary home folder.
//
//   bench_mainapp [--rounds N] [--pages N] [--starts N] [--batch N] [--no-1200]
//                 [--only trips,page,render,start,memory,batch]

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>

#include "bench/benchsupport.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "protocol/commandcodes.h"
#include "client/bridge_p.h"
#include "pelirand/twainsession.h"
#include "ipc/vantipccommand.h"
#include "ipc/vantipcwire.h"
#include "sources/sim/simimage.h"
#include "sources/sim/simscanner.h"
#include "twain/twain.h"

using pelirand::BatchResult;
using pelirand::Bridge;
using pelirand::Image;
using pelirand::TwainResult;
using pelirand::TwainSession;

namespace {

// A4 in inches.
constexpr double kA4Width = 210.0 / 25.4;
constexpr double kA4Height = 297.0 / 25.4;

int argValue(const QStringList& args, const QString& sName, int iDefault)
{
    const int i = args.indexOf(sName);
    return i >= 0 && i + 1 < args.size() ? args.at(i + 1).toInt() : iDefault;
}

// --- The echo peer: a child process that answers each frame at once ---------

int runEcho(const QString& sName, int nReplyPayload)
{
    // An echo as any Qt server is written: the event loop reports the bytes,
    // a whole frame is answered at once.
    QLocalServer server;
    QLocalServer::removeServer(sName);
    if (!server.listen(sName))
        return 1;
    QByteArray reply(4 + nReplyPayload, '\0');
    qToLittleEndian<qint32>(nReplyPayload, reply.data());
    QObject::connect(&server, &QLocalServer::newConnection, &server, [&] {
        QLocalSocket* pSocket = server.nextPendingConnection();
        QObject::connect(pSocket, &QLocalSocket::disconnected, qApp, &QCoreApplication::quit);
        QObject::connect(pSocket, &QLocalSocket::readyRead, pSocket, [pSocket, &reply] {
            while (pSocket->bytesAvailable() >= 4) {
                char prefix[4];
                pSocket->peek(prefix, 4);
                const qint32 nLength = qFromLittleEndian<qint32>(prefix);
                if (pSocket->bytesAvailable() < 4 + nLength)
                    return;
                pSocket->read(4 + nLength);
                pSocket->write(reply);
                pSocket->flush();
            }
        });
    });
    std::printf("ready\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

class EchoPeer
{
public:
    bool start(const QString& sName, int nReplyPayload)
    {
        m_process.start(QCoreApplication::applicationFilePath(),
                        {QStringLiteral("--echo"), sName, QString::number(nReplyPayload)});
        if (!m_process.waitForReadyRead(30000))
            return false;
        m_socket.connectToServer(sName);
        return m_socket.waitForConnected(5000);
    }
    ~EchoPeer()
    {
        m_socket.abort();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
    bool roundTrip(const QByteArray& frame)
    {
        m_socket.write(frame);
        m_socket.flush();
        QByteArray payload;
        return VantHelper::readFrame(&m_socket, payload, 30000, true) == VantHelper::FrameWait::Ready;
    }

private:
    QProcess m_process;
    QLocalSocket m_socket;
};

QByteArray frameOf(const QByteArray& payload)
{
    QByteArray frame(4, '\0');
    qToLittleEndian<qint32>(payload.size(), frame.data());
    return frame + payload;
}

// --- Helpers around the bridge -----------------------------------------------

QProcessEnvironment benchEnvironment(const QString& sHome)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), sHome);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), sHome + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), sHome + QStringLiteral("/.local/share"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), sHome + QStringLiteral("/.cache"));
    return env;
}

bool check(const TwainResult& r)
{
    if (!r)
        std::fprintf(stderr, "bench_mainapp: %s\n", qPrintable(r.message()));
    return r.isOk();
}

bool openScanner(TwainSession& session)
{
    return check(session.openDsm()) &&
           check(session.openSource(QString::fromLatin1(simscanner::kProductName)));
}

long procStatusKiB(qint64 pid, const char* key)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

bool resetPeak(qint64 pid)
{
    QFile clear(QStringLiteral("/proc/%1/clear_refs").arg(pid));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

// --- 1. Round trips -----------------------------------------------------------

// Keeps this process and the children it starts from now on to one CPU (and
// back): on a virtual machine a wake-up across CPUs can cost more than the
// whole exchange, and the scheduler places an echo and a bridge differently.
class OneCpu
{
public:
    explicit OneCpu(bool bPin)
    {
        if (!bPin || sched_getaffinity(0, sizeof m_saved, &m_saved) != 0)
            return;
        for (int i = 0; i < CPU_SETSIZE; ++i) {
            if (CPU_ISSET(i, &m_saved)) {
                cpu_set_t one;
                CPU_ZERO(&one);
                CPU_SET(i, &one);
                m_bPinned = sched_setaffinity(0, sizeof one, &one) == 0;
                return;
            }
        }
    }
    ~OneCpu()
    {
        if (m_bPinned)
            sched_setaffinity(0, sizeof m_saved, &m_saved);
    }
    bool pinned() const { return m_bPinned; }

private:
    cpu_set_t m_saved;
    bool m_bPinned = false;
};

int benchRoundTrips(const QString& sHome, int nRounds, bool bOneCpu)
{
    const OneCpu pin(bOneCpu);
    if (bOneCpu && !pin.pinned())
        return 0;
    Bridge bridge;
    bridge.setProcessEnvironment(benchEnvironment(sHome));
    if (!bridge.start()) {
        std::fprintf(stderr, "bench_mainapp: %s\n", qPrintable(bridge.lastError()));
        return 1;
    }
    TwainSession session(bridge);
    if (!openScanner(session))
        return 1;
    const QByteArray identity = session.source().block;

    struct Case
    {
        const char* name;
        VantHelper::VantIPCCommand cmd;
    };
    VantHelper::VantIPCCommand num;
    num.iCmd = cmdGetNumCommands;
    VantHelper::VantIPCCommand status;
    status.iCmd = cmdTwainCmd;
    status.lstParams = {identity, QVariant(uint(DG_CONTROL)), QVariant(uint(DAT_STATUS)),
                        QVariant(uint(MSG_GET)), QByteArray(pelirand::kStatusSize, '\0')};
    const Case cases[] = {{"cmdGetNumCommands", num},
                          {"cmdTwainCmd DG_CONTROL/DAT_STATUS/MSG_GET to the source", status}};

    for (const Case& c : cases) {
        // One trip gives the reply's size for the echo.
        VantHelper::VantIPCCommand probe = c.cmd;
        if (!pelirand::BridgePrivate::get(bridge)->sendCommand(probe, QString::fromLatin1(c.name)))
            return 1;
        const QByteArray request = frameOf(VantHelper::encodeRequest(c.cmd));
        const int nReply = VantHelper::encodeReply(probe).size();
        EchoPeer echo;
        if (!echo.start(QStringLiteral("pelirand-bench-echo-%1").arg(QCoreApplication::applicationPid()),
                        nReply)) {
            std::fprintf(stderr, "bench_mainapp: the echo peer did not start\n");
            return 1;
        }
        // The same frames to the bridge on a raw socket: the bridge's part without the library's.
        QLocalSocket raw;
        raw.connectToServer(VantHelper::makeServerName(bridge.bridgeName(), QStringLiteral("1.0")));
        if (!raw.waitForConnected(5000))
            return 1;
        std::vector<double> bridgeUs, echoUs, rawUs;
        QElapsedTimer timer;
        // Blocks alternate, so that a change in the machine's load touches both alike.
        const int nBlock = 100;
        for (int done = -nBlock; done < nRounds; done += nBlock) {
            for (int i = 0; i < nBlock; ++i) {
                VantHelper::VantIPCCommand cmd = c.cmd;
                timer.start();
                if (!pelirand::BridgePrivate::get(bridge)->sendCommand(cmd, QString::fromLatin1(c.name)))
                    return 1;
                if (done >= 0)
                    bridgeUs.push_back(double(timer.nsecsElapsed()) / 1000.0);
            }
            for (int i = 0; i < nBlock; ++i) {
                timer.start();
                raw.write(request);
                raw.flush();
                QByteArray payload;
                if (VantHelper::readFrame(&raw, payload, 30000, true) != VantHelper::FrameWait::Ready)
                    return 1;
                if (done >= 0)
                    rawUs.push_back(double(timer.nsecsElapsed()) / 1000.0);
            }
            for (int i = 0; i < nBlock; ++i) {
                timer.start();
                if (!echo.roundTrip(request))
                    return 1;
                if (done >= 0)
                    echoUs.push_back(double(timer.nsecsElapsed()) / 1000.0);
            }
        }
        const double b = median(bridgeUs);
        const double e = median(echoUs);
        const double r = median(rawUs);
        const bool bNum = c.cmd.iCmd == cmdGetNumCommands;
        const char* pAim = !bNum ? "2" : bOneCpu ? "1.3" : "1.5";
        std::printf(
            "round trip%s, %s (request %d B, reply %d B): bridge through the library %.1f us, raw "
            "QLocalSocket echo %.1f us, ratio %.2f (aim: within %s); the bridge on a raw socket %.1f us, "
            "ratio %.2f\n",
            bOneCpu ? " on one CPU" : "", c.name, int(request.size()), 4 + nReply, b, e, e > 0 ? b / e : 0,
            pAim, r, e > 0 ? r / e : 0);
        std::fflush(stdout);
    }
    check(session.close());
    bridge.stop();
    return 0;
}

// --- 2. A native A4 page at 600 dpi ---------------------------------------------

// Milliseconds from the bridge's log for the last page: from the bridge taking
// MSG_ENABLEDS to the source's DAT_IMAGENATIVEXFER returning (the page done),
// the source's call itself, and from its return to the file written.
struct LogTimes
{
    double enableToDoneMs = 0;
    double sourceMs = 0;
    double fileMs = 0;
};

bool logBreakdown(const QString& sHome, LogTimes& t)
{
    QFile log(sHome + QStringLiteral("/Documents/vantora-pelirand.log"));
    if (!log.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = log.readAll().split('\n');
    auto timeOf = [](const QByteArray& line) { return line.mid(1, line.indexOf(')') - 1).toDouble(); };
    int iCall = -1;
    for (int i = lines.size() - 1; i >= 0 && iCall < 0; --i) {
        if (lines.at(i).contains("DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET"))
            iCall = i;
    }
    if (iCall < 0)
        return false;
    int iEnable = -1;
    for (int i = iCall; i >= 0 && iEnable < 0; --i) {
        if (lines.at(i).contains("DAT_USERINTERFACE, MSG_ENABLEDS"))
            iEnable = i;
    }
    const double tCall = timeOf(lines.at(iCall));
    double tDone = -1, tFile = -1;
    for (int i = iCall + 1; i < lines.size(); ++i) {
        if (tDone < 0 && lines.at(i).contains("Result = "))
            tDone = timeOf(lines.at(i));
        if (tFile < 0 && lines.at(i).contains("file created"))
            tFile = timeOf(lines.at(i));
    }
    if (iEnable < 0 || tDone < 0 || tFile < 0)
        return false;
    t.enableToDoneMs = tDone - timeOf(lines.at(iEnable));
    t.sourceMs = tDone - tCall;
    t.fileMs = tFile - tDone;
    return true;
}

// Keeps the compiler from dropping stores into memory that is freed unread.
void keep(void* p)
{
    asm volatile("" : : "g"(p) : "memory");
}

// Keeps the compiler from dropping reads whose result is not used.
void keepValue(unsigned n)
{
    asm volatile("" : : "g"(n) : "memory");
}

// The write() + read() baseline: the bytes into a new file and back.
bool writeThenRead(const QString& sPath, const QByteArray& data, double& ms)
{
    QElapsedTimer timer;
    timer.start();
    if (!writeAll(sPath, data.constData(), size_t(data.size())))
        return false;
    const int fd = ::open(QFile::encodeName(sPath).constData(), O_RDONLY);
    if (fd < 0)
        return false;
    std::unique_ptr<char[]> back(new char[size_t(data.size())]);
    size_t nDone = 0;
    while (nDone < size_t(data.size())) {
        const ssize_t n = ::read(fd, back.get() + nDone, size_t(data.size()) - nDone);
        if (n <= 0)
            break;
        nDone += size_t(n);
    }
    ::close(fd);
    ms = double(timer.nsecsElapsed()) / 1e6;
    QFile::remove(sPath);
    return nDone == size_t(data.size());
}

bool setA4(TwainSession& session, int iDpi, quint16 pixelType, quint16 mechanism, int nPages)
{
    QByteArray layout = pelirand::imageLayout(0, 0, kA4Width, kA4Height);
    return check(session.setCapability(ICAP_XFERMECH, TWTY_UINT16, mechanism)) &&
           check(session.setCapability(ICAP_PIXELTYPE, TWTY_UINT16, pixelType)) &&
           check(session.setCapability(ICAP_UNITS, TWTY_UINT16, TWUN_INCHES)) &&
           check(session.setCapability(ICAP_XRESOLUTION, TWTY_FIX32, iDpi)) &&
           check(session.setCapability(ICAP_YRESOLUTION, TWTY_FIX32, iDpi)) &&
           check(session.call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, layout)) &&
           check(session.setCapability(CAP_XFERCOUNT, TWTY_INT16, nPages)) &&
           check(session.setCapability(simscanner::SIMCAP_FEEDERPAGES, TWTY_UINT32, 100000));
}

int benchNativePage(const QString& sHome, int nPages)
{
    Bridge bridge;
    bridge.setProcessEnvironment(benchEnvironment(sHome));
    if (!bridge.start()) {
        std::fprintf(stderr, "bench_mainapp: %s\n", qPrintable(bridge.lastError()));
        return 1;
    }
    // Connected before the session's own slot, so that the announcement is timed before the session reads the
    // file.
    QElapsedTimer clock;
    qint64 nAnnouncedNs = 0;
    QObject::connect(&bridge, &Bridge::imageFileReceived, &bridge, [&] { nAnnouncedNs = clock.nsecsElapsed(); });
    TwainSession session(bridge);
    session.setCollectImages(false);
    if (!openScanner(session) || !setA4(session, 600, TWPT_RGB, TWSX_NATIVE, 1))
        return 1;

    qint64 nInHandNs = 0;
    QByteArray data;
    // With the session mapping the files: the image kept (it holds the
    // mapping), and the time to touch every memory page of it once.
    Image mapped;
    qint64 nTouchNs = 0;
    QObject::connect(&session, &TwainSession::imageReceived, &session, [&](const Image& image) {
        nInHandNs = clock.nsecsElapsed();
        data = image.data;
        if (!image.mapping)
            return;
        mapped = image;
        QElapsedTimer touch;
        touch.start();
        const QByteArray bytes = mapped.bytes();
        unsigned sum = 0;
        for (int i = 0; i < bytes.size(); i += 4096)
            sum += static_cast<unsigned char>(bytes.constData()[i]);
        keepValue(sum);
        nTouchNs = touch.nsecsElapsed();
    });

    const qint64 pid = bridge.processId();
    const QString sWriteTo =
        QDir(bridge.bridgeTempPath()).filePath(QStringLiteral("bench-mainapp-write.bin"));
    std::vector<double> announcedMs, inHandMs, doneToHandMs, writeReadMs, peakRatio, riseRatio, sourceMs,
        fileMs, ownRiseMB;
    for (int i = 0; i < nPages; ++i) {
        const long nRestKiB = procStatusKiB(pid, "VmRSS:");
        data.clear();
        const long nOwnRestKiB = currentRssKiB();
        const bool bPeak = resetPeak(pid);
        const bool bOwnPeak = resetPeakRss();
        clock.start();
        BatchResult batch;
        if (!check(session.enable(false)) || !check(session.waitForBatch(batch)) || batch.imageCount != 1 ||
            data.isEmpty())
            return 1;
        announcedMs.push_back(double(nAnnouncedNs) / 1e6);
        inHandMs.push_back(double(nInHandNs) / 1e6);
        if (bOwnPeak)
            ownRiseMB.push_back(double(peakRssKiB() - nOwnRestKiB) / 1024.0);
        const long nPeakKiB = procStatusKiB(pid, "VmHWM:");
        if (bPeak && nPeakKiB > 0) {
            peakRatio.push_back(double(nPeakKiB) * 1024.0 / double(data.size()));
            riseRatio.push_back(double(nPeakKiB - nRestKiB) * 1024.0 / double(data.size()));
        }
        if (!check(session.disable()))
            return 1;
        LogTimes t;
        if (logBreakdown(sHome, t)) {
            sourceMs.push_back(t.sourceMs);
            fileMs.push_back(t.fileMs);
            doneToHandMs.push_back(double(nInHandNs) / 1e6 - t.enableToDoneMs);
        }
        double ms = 0;
        if (!writeThenRead(sWriteTo, data, ms))
            return 1;
        writeReadMs.push_back(ms);
    }
    const double inHand = median(inHandMs);
    const double baseline = median(writeReadMs);
    std::printf("native A4 page, 600 dpi RGB (%.1f MB DIB): MSG_ENABLEDS to the bytes in hand %.0f ms (file "
                "announced after %.0f ms)\n",
                double(data.size()) / (1024.0 * 1024.0), inHand, median(announcedMs));
    if (!doneToHandMs.empty()) {
        const double doneToHand = median(doneToHandMs);
        std::printf(
            "  the source's XFERDONE to the bytes in the main application's hands %.0f ms, write() + read() "
            "of the same bytes %.0f ms, ratio %.2f (aim: within 1.5)\n",
            doneToHand, baseline, baseline > 0 ? doneToHand / baseline : 0);
        std::printf(
            "  of which, by the bridge's log: the source's DAT_IMAGENATIVEXFER (rendering the page) %.0f ms "
            "(not counted above), the bridge normalising it and writing the file %.0f ms; the library "
            "reading the file %.0f ms\n",
            median(sourceMs), median(fileMs), inHand - median(announcedMs));
    }
    const double readMs = inHand - median(announcedMs);
    const double readRiseMB = ownRiseMB.empty() ? 0 : median(ownRiseMB);

    // The same page with the session mapping the bridge's files (TwainSession::setMapImages).
    session.setMapImages(true);
    std::vector<double> mapMs, touchMs, mappedRiseMB;
    for (int i = 0; i < nPages; ++i) {
        data.clear();
        mapped = Image();
        const long nOwnRestKiB = currentRssKiB();
        const bool bOwnPeak = resetPeakRss();
        clock.start();
        BatchResult batch;
        if (!check(session.enable(false)) || !check(session.waitForBatch(batch)) || batch.imageCount != 1 ||
            mapped.byteCount() == 0)
            return 1;
        mapMs.push_back(double(nInHandNs - nAnnouncedNs) / 1e6);
        touchMs.push_back(double(nTouchNs) / 1e6);
        if (bOwnPeak)
            mappedRiseMB.push_back(double(peakRssKiB() - nOwnRestKiB) / 1024.0);
        if (!check(session.disable()))
            return 1;
    }
    mapped = Image();
    std::printf(
        "  the library's side: reading the file %.0f ms, its process's peak %.1f MB above its resting "
        "size; mapping it instead %.1f ms, then touching every memory page of it %.0f ms, peak %.1f "
        "MB above its resting size (file pages, shared with the page cache)\n",
        readMs, readRiseMB, median(mapMs), median(touchMs), mappedRiseMB.empty() ? 0 : median(mappedRiseMB));
    if (!peakRatio.empty())
        std::printf(
            "bridge's peak memory during that page: %.2f x the image size; its rise above the resting "
            "size %.2f x (aim: below 1.2)\n",
            median(peakRatio), median(riseRatio));
    else
        std::printf("bridge's peak memory: not measurable here (no /proc/PID/clear_refs)\n");
    std::fflush(stdout);
    check(session.close());
    bridge.stop();
    return 0;
}

// --- The simulated scanner's rendering ---------------------------------------------

int benchRender(int nRuns)
{
    simscanner::PageSpec spec;
    spec.width = simscanner::pixelExtent(kA4Width, 600);
    spec.height = simscanner::pixelExtent(kA4Height, 600);
    spec.pixelType = TWPT_RGB;
    spec.bitDepth = 24;
    spec.xdpi = spec.ydpi = 600;
    const simscanner::DibQuirks quirks;
    const size_t nBytes = simscanner::dibSize(spec, quirks);
    std::unique_ptr<char[]> source(new char[nBytes]);
    std::memset(source.get(), 0x5a, nBytes);
    // Each into fresh memory, as a page's block is: both pay for its first touch.
    const double renderMs = medianMs(nRuns, nullptr, [&] {
        std::unique_ptr<TW_UINT8[]> block(new TW_UINT8[nBytes]);
        simscanner::buildDibInto(spec, quirks, block.get());
        keep(block.get());
    });
    const double copyMs = medianMs(nRuns, nullptr, [&] {
        std::unique_ptr<char[]> block(new char[nBytes]);
        std::memcpy(block.get(), source.get(), nBytes);
        keep(block.get());
    });
    std::printf("the simulated scanner rendering the A4 600 dpi RGB page (%.1f MB) into its block: %.1f ms, "
                "memcpy() of as many bytes into fresh memory %.1f ms, ratio %.2f (aim: within 2)\n",
                double(nBytes) / (1024.0 * 1024.0), renderMs, copyMs, copyMs > 0 ? renderMs / copyMs : 0);
    std::fflush(stdout);
    return 0;
}

// --- 3. Start-up --------------------------------------------------------------

int benchStartUp(const QString& sHome, int nStarts)
{
    std::vector<double> helloMs, trivialMs;
    QElapsedTimer timer;
    for (int i = 0; i < nStarts; ++i) {
        {
            Bridge bridge;
            bridge.setProcessEnvironment(benchEnvironment(sHome));
            timer.start();
            if (!bridge.start()) {
                std::fprintf(stderr, "bench_mainapp: %s\n", qPrintable(bridge.lastError()));
                return 1;
            }
            helloMs.push_back(double(timer.nsecsElapsed()) / 1e6);
        }
        // The same steps for a process that does nothing: start it, see it done.
        QProcess trivial;
        timer.start();
        trivial.start(QStringLiteral("/bin/true"), QStringList());
        if (!trivial.waitForFinished(30000))
            return 1;
        trivialMs.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    const double h = median(helloMs);
    const double t = median(trivialMs);
    std::printf(
        "start-up, starting the bridge to its hello (client connected): %.1f ms (aim: 10 ms at most); "
        "starting /bin/true to its end: %.1f ms; ratio %.1f\n",
        h, t, t > 0 ? h / t : 0);
    return 0;
}

// --- 4. A memory transfer, and pelirand-scan ------------------------------------------

// The children of a process (its threads' children, here one thread).
QList<qint64> childrenOf(qint64 pid)
{
    QList<qint64> children;
    QFile file(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray& s : file.readAll().split(' ')) {
            if (!s.trimmed().isEmpty())
                children << s.trimmed().toLongLong();
        }
    }
    return children;
}

// pelirand-scan scanning one page by memory transfer; the peak of it and of its
// bridge, sampled every few milliseconds until it ends (the peak is kept by the
// kernel, so only the last few milliseconds can be missed).
bool scanProcessPeaks(const QString& sHome, const QString& sOut, int iDpi, long& nScanKiB, long& nBridgeKiB,
                      qint64& nImageBytes, const QString& sFormat = QStringLiteral("bmp"))
{
    QProcess scan;
    QProcessEnvironment env = benchEnvironment(sHome);
    scan.setProcessEnvironment(env);
    scan.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    scan.setStandardOutputFile(QProcess::nullDevice());
    scan.start(QCoreApplication::applicationDirPath() + QStringLiteral("/pelirand-scan"),
               {QStringLiteral("-s"), QString::fromLatin1(simscanner::kProductName), QStringLiteral("-m"),
                QStringLiteral("memory"), QStringLiteral("--pixel-type"), QStringLiteral("rgb"), QStringLiteral("-r"),
                QString::number(iDpi), QStringLiteral("-n"), QStringLiteral("1"), QStringLiteral("-f"),
                sFormat, QStringLiteral("-o"), sOut});
    if (!scan.waitForStarted(30000))
        return false;
    const qint64 pid = scan.processId();
    qint64 bridgePid = 0;
    nScanKiB = nBridgeKiB = 0;
    while (!scan.waitForFinished(5)) {
        nScanKiB = std::max(nScanKiB, procStatusKiB(pid, "VmHWM:"));
        if (bridgePid <= 0)
            bridgePid = childrenOf(pid).value(0);
        if (bridgePid > 0)
            nBridgeKiB = std::max(nBridgeKiB, procStatusKiB(bridgePid, "VmHWM:"));
    }
    nImageBytes = 0;
    for (const QFileInfo& file : QDir(sOut).entryInfoList(QDir::Files)) {
        nImageBytes += file.size();
        QFile::remove(file.filePath());
    }
    return scan.exitStatus() == QProcess::NormalExit && scan.exitCode() == 0;
}

int benchMemoryTransfer(const QString& sHome, bool b1200)
{
    Bridge bridge;
    bridge.setProcessEnvironment(benchEnvironment(sHome));
    if (!bridge.start()) {
        std::fprintf(stderr, "bench_mainapp: %s\n", qPrintable(bridge.lastError()));
        return 1;
    }
    TwainSession session(bridge);
    session.setCollectImages(false);
    // As pelirand-scan takes its pages: mapped, not read into this process.
    session.setMapImages(true);
    if (!openScanner(session))
        return 1;
    qint64 nImage = 0;
    QObject::connect(&session, &TwainSession::imageReceived, &session,
                     [&](const Image& image) { nImage = image.byteCount(); });
    const qint64 pid = bridge.processId();
    QTemporaryDir out;
    std::vector<int> dpis = {300, 600};
    if (b1200)
        dpis.push_back(1200);
    for (size_t iStep = 0; iStep < dpis.size(); ++iStep) {
        const int iDpi = dpis[iStep];
        if (!setA4(session, iDpi, TWPT_RGB, TWSX_MEMORY, 1)) {
            std::printf("memory transfer, A4 RGB %d dpi: the scanner does not offer it\n", iDpi);
            dpis.resize(iStep);
            break;
        }
        const long nRestKiB = procStatusKiB(pid, "VmRSS:");
        const long nOwnRestKiB = currentRssKiB();
        const bool bPeak = resetPeak(pid) && resetPeakRss();
        nImage = 0;
        BatchResult batch;
        if (!check(session.enable(false)) || !check(session.waitForBatch(batch)) || batch.imageCount != 1)
            return 1;
        const long nPeakKiB = procStatusKiB(pid, "VmHWM:");
        const long nOwnPeakKiB = peakRssKiB();
        if (!check(session.disable()))
            return 1;
        const double mb = double(nImage) / (1024.0 * 1024.0);
        if (bPeak)
            std::printf(
                "memory transfer, A4 RGB %d dpi (%.1f MB file): the bridge's peak %.1f MB (%.1f MB above "
                "its resting size), the library's process (mapping the file) %.1f MB above its resting size "
                "(aim: a few "
                "MB plus one block buffer)\n",
                iDpi, mb, double(nPeakKiB) / 1024.0, double(nPeakKiB - nRestKiB) / 1024.0,
                double(nOwnPeakKiB - nOwnRestKiB) / 1024.0);
        std::fflush(stdout);
    }
    check(session.close());
    bridge.stop();

    for (int iDpi : dpis) {
        long nScanKiB = 0, nBridgeKiB = 0;
        qint64 nBytes = 0;
        if (!scanProcessPeaks(sHome, out.path(), iDpi, nScanKiB, nBridgeKiB, nBytes)) {
            std::fprintf(stderr, "bench_mainapp: pelirand-scan failed at %d dpi\n", iDpi);
            return 1;
        }
        std::printf("pelirand-scan -m memory -r %d (the scanner's whole bed, %.1f MB BMP written): its peak "
                    "memory %.1f MB, its bridge's %.1f MB\n",
                    iDpi, double(nBytes) / (1024.0 * 1024.0), double(nScanKiB) / 1024.0,
                    double(nBridgeKiB) / 1024.0);
        std::fflush(stdout);
    }
    // A TIFF document (Deflate) takes the rows from the delivered bitmap, without a decoded page.
    {
        long nScanKiB = 0, nBridgeKiB = 0;
        qint64 nBytes = 0;
        if (!scanProcessPeaks(sHome, out.path(), 600, nScanKiB, nBridgeKiB, nBytes, QStringLiteral("tiff"))) {
            std::fprintf(stderr, "bench_mainapp: pelirand-scan -f tiff failed\n");
            return 1;
        }
        std::printf("pelirand-scan -m memory -r 600 -f tiff (%.1f MB TIFF written): its peak memory %.1f MB, "
                    "its bridge's %.1f MB\n",
                    double(nBytes) / (1024.0 * 1024.0), double(nScanKiB) / 1024.0,
                    double(nBridgeKiB) / 1024.0);
        std::fflush(stdout);
    }
    return 0;
}

// --- 5. A long batch -----------------------------------------------------------------

// sTmp: the bridge's temporary folder, or empty for this process's.
int benchBatch(const QString& sHome, int nPages, const QString& sTmp)
{
    if (nPages < 20)
        return 0;
    // Both sides find the sockets in the temporary folder, so both move.
    const QByteArray savedTmp = qgetenv("TMPDIR");
    if (!sTmp.isEmpty())
        qputenv("TMPDIR", QFile::encodeName(sTmp));
    struct Restore
    {
        QByteArray value;
        ~Restore() { qputenv("TMPDIR", value); }
    } restore{savedTmp};
    Bridge bridge;
    bridge.setProcessEnvironment(benchEnvironment(sHome));
    if (!bridge.start()) {
        std::fprintf(stderr, "bench_mainapp: %s\n", qPrintable(bridge.lastError()));
        return 1;
    }
    TwainSession session(bridge);
    session.setCollectImages(false);
    if (!openScanner(session) || !setA4(session, 600, TWPT_RGB, TWSX_NATIVE, nPages))
        return 1;
    const qint64 pid = bridge.processId();
    QElapsedTimer clock;
    std::vector<double> at;
    std::vector<long> rssKiB;
    QObject::connect(&session, &TwainSession::imageReceived, &session, [&](const Image&) {
        at.push_back(double(clock.nsecsElapsed()) / 1e6);
        rssKiB.push_back(procStatusKiB(pid, "VmRSS:"));
    });
    clock.start();
    BatchResult batch;
    if (!check(session.enable(false)) || !check(session.waitForBatch(batch)) || batch.imageCount != nPages ||
        int(at.size()) != nPages)
        return 1;
    check(session.disable());
    check(session.close());
    bridge.stop();
    std::vector<double> first, last;
    for (int i = 1; i < 10; ++i)
        first.push_back(at[size_t(i)] - at[size_t(i - 1)]);
    for (int i = nPages - 9; i < nPages; ++i)
        last.push_back(at[size_t(i)] - at[size_t(i - 1)]);
    const double f = median(first);
    const double l = median(last);
    std::printf(
        "batch of %d native A4 600 dpi RGB pages, images in %s: time per page, pages 1-10 %.0f ms, pages "
        "%d-%d %.0f ms, ratio %.2f (aim: flat); the bridge's resident memory after page 10 %.1f MB, after "
        "page %d %.1f MB\n",
        nPages, sTmp.isEmpty() ? "the temporary folder" : "a RAM-backed folder", f, nPages - 9, nPages, l,
        f > 0 ? l / f : 0, double(rssKiB[9]) / 1024.0, nPages, double(rssKiB.back()) / 1024.0);
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() >= 4 && args.at(1) == QLatin1String("--echo"))
        return runEcho(args.at(2), args.at(3).toInt());

    QTemporaryDir home;
    QTemporaryDir tmp;
    if (!home.isValid() || !tmp.isValid() || !QDir().mkpath(home.filePath(QStringLiteral("Documents"))))
        return 1;
    // The bridge's temporary images and our sockets stay in a folder of their own.
    qputenv("TMPDIR", QFile::encodeName(tmp.path()));

    std::printf("pelirand main application benchmarks (medians; %s; the bridge writes its log as always)\n",
                QT_POINTER_SIZE == 8 ? "64-bit build" : "32-bit build");
    std::fflush(stdout);
    const int nRounds = argValue(args, QStringLiteral("--rounds"), 2000);
    // --only trips,page,render,start,memory,batch runs those parts alone.
    const int iOnly = args.indexOf(QStringLiteral("--only"));
    const QStringList parts = iOnly >= 0 ? args.value(iOnly + 1).split(QLatin1Char(',')) : QStringList();
    auto wanted = [&parts](const char* pName) {
        return parts.isEmpty() || parts.contains(QLatin1String(pName));
    };
    int iResult = 0;
    if (wanted("trips")) {
        iResult = benchRoundTrips(home.path(), nRounds, false);
        if (iResult == 0)
            iResult = benchRoundTrips(home.path(), nRounds, true);
    }
    if (iResult == 0 && wanted("page"))
        iResult = benchNativePage(home.path(), argValue(args, QStringLiteral("--pages"), 5));
    if (iResult == 0 && wanted("render"))
        iResult = benchRender(argValue(args, QStringLiteral("--pages"), 5));
    if (iResult == 0 && wanted("start"))
        iResult = benchStartUp(home.path(), argValue(args, QStringLiteral("--starts"), 20));
    if (iResult == 0 && wanted("memory"))
        iResult = benchMemoryTransfer(home.path(), !args.contains(QStringLiteral("--no-1200")));
    const int nBatch = argValue(args, QStringLiteral("--batch"), 100);
    if (iResult == 0 && wanted("batch"))
        iResult = benchBatch(home.path(), nBatch, QString());
    // The same where the host has a RAM-backed folder, as the bridge's images
    // go to $XDG_RUNTIME_DIR when there is one.
    const QString sRuntime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    QTemporaryDir ram((sRuntime.isEmpty() ? QStringLiteral("/dev/shm") : sRuntime) +
                      QStringLiteral("/bench_mainapp-XXXXXX"));
    if (iResult == 0 && wanted("batch") && ram.isValid())
        iResult = benchBatch(home.path(), nBatch, ram.path());
    return iResult;
}
