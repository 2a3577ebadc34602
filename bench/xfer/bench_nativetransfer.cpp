// A native 600-dpi A4 RGB page from the simulated scanner through DoTransfer
// into a file, as the application writes it, against write() of the same
// bytes in the same run; and the process's peak memory beside the image size.
//
// DoTransfer's time includes the scanner rendering its page inside
// DAT_IMAGENATIVEXFER; that part is shown on its own, so the engine's share
// (normalisation, emission, the receiver's write) can be set against write().

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench/benchsupport.h"
#include "diag/log.h"
#include "tests/xfer/scannersession.h"
#include "xfer/twainxfer.h"

namespace {

constexpr int kWidth = 4960;
constexpr int kHeight = 7016;
constexpr int kPages = 5;

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    QString sLogPath = dir.filePath(QStringLiteral("bench.log"));
    g_pLogFilePath = &sLogPath;
    qputenv("TMPDIR", QFile::encodeName(dir.path()));

    ScannerSession session;
    if (!session.open() || !session.setU16(ICAP_XFERMECH, TWSX_NATIVE) || !session.setPixels(TWPT_RGB, 24) ||
        !session.setFrame(kWidth, kHeight, 600) || !session.setU32(simscanner::SIMCAP_FEEDERPAGES, kPages)) {
        std::fprintf(stderr, "cannot set up the simulated scanner\n");
        return 1;
    }
    CTwainXFer xfer(&session.io());

    // The receiver writes the block to a temporary file, as the application does.
    QElapsedTimer clock;
    double msWrite = 0;
    qint64 nImageSize = 0;
    QObject::connect(&xfer, &CTwainXFer::si_ImageInMemory, [&](void* hImage, qint64 nSize, bool&) {
        QElapsedTimer t;
        t.start();
        QTemporaryFile file;
        file.setAutoRemove(true);
        if (file.open()) {
            const char* p = static_cast<const char*>(GlobalLock(hImage));
            file.write(p, nSize);
            file.close();
            GlobalUnlock(hImage);
        }
        nImageSize = nSize;
        msWrite += double(t.nsecsElapsed()) / 1e6;
    });
    double msSource = 0;
    long nPeakInSource = 0;
    long nRssAfterSource = 0;
    long nEnginePeakAbove = 0;
    session.io().hook = [&](TW_UINT16 dat, TW_UINT16 msg, bool bDone) {
        if (dat != DAT_IMAGENATIVEXFER || msg != MSG_GET)
            return;
        if (!bDone) {
            clock.restart();
            return;
        }
        msSource += double(clock.nsecsElapsed()) / 1e6;
        nPeakInSource = peakRssKiB();
        nRssAfterSource = currentRssKiB();
        resetPeakRss();
    };

    if (!session.startScan()) {
        std::fprintf(stderr, "the scanner did not get ready\n");
        return 1;
    }
    std::vector<double> total, source, engine, writes;
    long nPeakWhole = 0;
    const long nRssBefore = currentRssKiB();
    for (int i = 0; i < kPages; ++i) {
        msSource = msWrite = 0;
        resetPeakRss();
        const long nRssStart = currentRssKiB();
        QElapsedTimer t;
        t.start();
        if (xfer.DoTransfer() != TWRC_SUCCESS) {
            std::fprintf(stderr, "DoTransfer failed\n");
            return 1;
        }
        const double ms = double(t.nsecsElapsed()) / 1e6;
        const long nPeakInEngine = peakRssKiB();
        nEnginePeakAbove = std::max(nEnginePeakAbove, nPeakInEngine - nRssAfterSource);
        nPeakWhole = std::max(nPeakWhole, std::max(nPeakInSource, nPeakInEngine) - nRssStart);
        total.push_back(ms);
        source.push_back(msSource);
        engine.push_back(ms - msSource);
        writes.push_back(msWrite);
        xfer.DoEndXfer();
    }

    // Baseline: write() of the same bytes to a new file in the same folder.
    std::vector<char> bytes(size_t(nImageSize), '\x5A');
    std::vector<double> baseline;
    for (int i = 0; i < kPages; ++i) {
        const QString sPath = dir.filePath(QStringLiteral("baseline.bin"));
        QElapsedTimer t;
        t.start();
        writeAll(sPath, bytes.data(), bytes.size());
        baseline.push_back(double(t.nsecsElapsed()) / 1e6);
        QFile::remove(sPath);
    }

    const double mb = double(nImageSize) / (1024.0 * 1024.0);
    std::printf("Native transfer, 600-dpi A4 RGB (%d x %d), DIB of %lld bytes (%.1f MiB), median of %d pages\n",
                kWidth, kHeight, static_cast<long long>(nImageSize), mb, kPages);
    std::printf("  DoTransfer into a file   %8.1f ms\n", median(total));
    std::printf("    the scanner's own part %8.1f ms (rendering the page inside DAT_IMAGENATIVEXFER)\n",
                median(source));
    std::printf(
        "    the engine's part      %8.1f ms (normalisation, emission, the receiver's write %.1f ms)\n",
        median(engine), median(writes));
    std::printf("  write() baseline         %8.1f ms\n", median(baseline));
    std::printf("  ratio, engine's part     %8.2f x write() (aim: within 1.5)\n",
                median(engine) / median(baseline));
    std::printf("  ratio, whole DoTransfer  %8.2f x write()\n", median(total) / median(baseline));
    std::printf(
        "  image %.1f MiB; peak memory above the start of a DoTransfer: %.1f MiB in all, %.1f MiB above\n"
        "  what the source had handed over (normalisation, emission, write)\n",
        mb, double(nPeakWhole) / 1024.0, double(nEnginePeakAbove) / 1024.0);
    std::printf(
        "  process peak (VmHWM) since the last page's source call %.1f MiB, resident before the batch "
        "%.1f MiB, after it %.1f MiB\n",
        double(peakRssKiB()) / 1024.0, double(nRssBefore) / 1024.0, double(currentRssKiB()) / 1024.0);
    return 0;
}
