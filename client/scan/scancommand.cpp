#include "client/scan/scancommand.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <cmath>
#include <cstring>
#include <memory>

#include <unistd.h>

#include "client/scan/scanlisting.h"
#include "client/scan/scanprogress.h"
#include "twain/twain.h"

#include <pelirand/sanetwain.h>

namespace pelirand {

namespace {

// After the first signal the scan waits this long for the batch to end.
constexpr int kInterruptWaitMs = 5000;
// The wait for the batch in slices, so that a signal is seen between two.
constexpr int kWaitSliceMs = 200;

} // namespace

ScanCommand::ScanCommand() : m_session(m_bridge), m_output(m_options)
{
    m_session.setCollectImages(false);
    // Pages are written from the bridge's files where they lie.
    m_session.setMapImages(true);
    connect(&m_session, &TwainSession::imageReceived, this, [this](const Image& image) {
        m_output.pageReceived(image);
        // Once the handler has returned: the session is still in the page's transfer here.
        if (!m_output.writeError().isEmpty() && !m_bStoppedForWrite) {
            m_bStoppedForWrite = true;
            QMetaObject::invokeMethod(this, &ScanCommand::on_writeFailed, Qt::QueuedConnection);
        }
    });
    connect(&m_session, &TwainSession::imageFailed, this,
            [this](int iPage, const QString& sWhy) { m_output.pageFailed(iPage, sWhy); });
    connect(&m_signals, &ScanSignals::received, this, &ScanCommand::on_signal);
}

ScanCommand::~ScanCommand() = default;

void ScanCommand::on_signal(int iSignal)
{
    if (m_iSignal != 0) {
        std::fprintf(stderr, "pelirand-scan: received signal %d again, ending at once\n", iSignal);
        return;
    }
    m_iSignal = iSignal;
    if (m_pProgress)
        m_pProgress->stop();
    std::fprintf(stderr, "pelirand-scan: received signal %d (%s), cancelling the scan\n", iSignal,
                 strsignal(iSignal));
    std::fflush(stderr);
    if (m_session.state() >= 5 && !m_bridge.hasEndedUnexpectedly()) {
        const TwainResult r = m_session.cancel(CancelScope::RestOfBatch);
        if (!r)
            verbose(QStringLiteral("the cancel was not taken: %1").arg(r.message()));
        else
            m_bCancelledIdle = r.hasState() && r.state() == 5;
    }
}

void ScanCommand::on_writeFailed()
{
    if (m_iSignal != 0 || m_session.state() < 5 || m_bridge.hasEndedUnexpectedly())
        return;
    verbose(QStringLiteral("a page could not be written: ending the batch"));
    const TwainResult r = m_session.cancel(CancelScope::RestOfBatch);
    if (!r)
        verbose(QStringLiteral("the cancel was not taken: %1").arg(r.message()));
}

void ScanCommand::removeBridgeLeftovers()
{
    // A bridge that was killed could not remove what it had not reported
    // yet (an image being written) nor its server's socket. Only its own
    // kinds of names, made since it started, are taken.
    const QDir dir(m_bridge.bridgeTempPath());
    const QFileInfoList entries =
        dir.entryInfoList({QStringLiteral("pelirand.*")}, QDir::Files | QDir::System);
    for (const QFileInfo& entry : entries) {
        if (entry.lastModified().toMSecsSinceEpoch() + 1000 >= m_bridgeStartMs && !entry.isSymLink())
            QFile::remove(entry.filePath());
    }
    if (!m_bridge.bridgeName().isEmpty()) {
        // Its server's socket carries its name, with the organisation and version around it.
        const QFileInfoList sockets = dir.entryInfoList(
            {QLatin1Char('*') + m_bridge.bridgeName() + QLatin1Char('*')}, QDir::System | QDir::Files);
        for (const QFileInfo& socket : sockets) {
            if (!socket.isSymLink())
                QFile::remove(socket.filePath());
        }
    }
}

int ScanCommand::interrupted()
{
    std::fprintf(stderr, "pelirand-scan: cancelled by signal %d; %d %s written\n", m_iSignal,
                 m_output.written(), m_output.written() == 1 ? "page was" : "pages were");
    return kExitSignalBase + m_iSignal;
}

int ScanCommand::fail(int iExit, const QString& sWhy)
{
    if (m_pProgress)
        m_pProgress->stop();
    return scanFailure(iExit, sWhy);
}

int ScanCommand::failSetting(const QString& sWhat, const TwainResult& result, const QString& sAllowed)
{
    if (result.kind() == TwainResult::BridgeLost)
        return fail(kExitBridge, m_bridge.endReason().isEmpty() ? result.message() : m_bridge.endReason());
    QString sWhy = QStringLiteral("the source refused %1: %2").arg(sWhat, result.returnCodeName());
    if (result.hasConditionCode())
        sWhy += QStringLiteral(", condition %1").arg(result.conditionCodeName());
    if (result.kind() == TwainResult::Refused)
        sWhy = QStringLiteral("%1: %2").arg(sWhat, result.reason());
    if (!sAllowed.isEmpty())
        sWhy += QStringLiteral("; it allows %1").arg(sAllowed);
    return fail(kExitSetting, sWhy);
}

void ScanCommand::verbose(const QString& sLine)
{
    scanVerbose(m_options.bVerbose, sLine);
}

int ScanCommand::run(const QStringList& lstArguments)
{
    const int iParsed = parseScanOptions(lstArguments, m_options);
    if (iParsed >= 0)
        return iParsed;

    // People's lines: on standard output, or standard error when that lists the files; none when quiet.
    m_pOut = m_options.bQuiet ? nullptr : m_options.bPrintFiles || m_options.bToStdout ? stderr : stdout;
    if (m_options.bToStdout && !m_options.bList && !m_options.bOptions) {
        QString sError;
        m_options.sOutputDir = m_output.makeStdoutFolder(sError);
        if (m_options.sOutputDir.isEmpty())
            return fail(kExitOutput,
                        QStringLiteral("cannot make a temporary folder for the file: %1").arg(sError));
    }
    m_signals.install();
    if (!m_options.sBridge.isEmpty())
        m_bridge.setProgram(m_options.sBridge);
    if (!m_options.sDevice.isEmpty()) {
        // The SANE source opens the device named here when it is opened.
        QProcessEnvironment env = m_bridge.processEnvironment();
        env.insert(QLatin1String(sanesource::kDeviceVariable), m_options.sDevice);
        m_bridge.setProcessEnvironment(env);
    }
    m_bridge.setForwardStandardError(m_options.bVerbose);
    m_bridge.setCallTimeout(m_options.iCallTimeoutSeconds * 1000);
    verbose(QStringLiteral("starting %1").arg(m_bridge.program()));
    m_bridgeStartMs = QDateTime::currentMSecsSinceEpoch();
    const bool bStarted = m_bridge.start();
    m_signals.setBridgeProcess(m_bridge.processId());
    if (!bStarted) {
        m_bridge.stop();
        m_signals.setBridgeProcess(0);
        if (m_iSignal)
            return interrupted();
        return fail(kExitBridge,
                    QStringLiteral("the bridge could not be started: %1").arg(m_bridge.lastError()));
    }
    verbose(QStringLiteral("the bridge said hello as %1").arg(m_bridge.bridgeName()));

    const TwainResult opened = m_session.openDsm(m_options.dsm);
    int iExit = kExitOk;
    if (!opened) {
        if (opened.kind() == TwainResult::BridgeLost)
            iExit = fail(kExitBridge, m_bridge.endReason());
        else if (opened.operation().startsWith(QLatin1String("loading")))
            iExit = fail(kExitNoDsm,
                         m_options.dsm == DsmFile::Twain32
                             ? QStringLiteral("no TWAIN Data Source Manager: the bridge could not load TWAIN_32.dll "
                                              "(it looks beside itself first)")
                             : QStringLiteral("no TWAIN Data Source Manager: the bridge could not load TWAINDSM.dll "
                                              "(it looks beside itself first), the installed libtwaindsm.so "
                                              "nor its own DSM (lib/pelirand/libpelirand-dsm.so); "
                                              "install the pelirand package again, which holds that DSM"));
        else
            iExit =
                fail(kExitNoDsm,
                     QStringLiteral("the TWAIN Data Source Manager did not open: %1").arg(opened.message()));
    } else if (!m_iSignal) {
        ScanListing listing(m_session, m_bridge, m_options);
        iExit = m_options.bList      ? listing.listSources()
                : m_options.bOptions ? listing.listCapabilities()
                                     : scan();
    }

    // Leaving: whatever is open is closed; the bridge unloads the DSM as it quits.
    if (!m_bridge.hasEndedUnexpectedly())
        m_session.close();
    m_bridge.stop();
    const bool bKilled = m_bridge.hasEndedUnexpectedly();
    m_signals.setBridgeProcess(0);
    if (bKilled)
        removeBridgeLeftovers();
    // With -o -, what was written, also by a cancelled run, goes out, and its folder goes.
    const int iCopied = m_output.copyToStdout();
    if (iExit == kExitOk)
        iExit = iCopied;
    if (m_iSignal)
        return interrupted();
    return iExit;
}

TwainResult ScanCommand::waitForScan(BatchResult& batch, bool& bTimedOut)
{
    const qint64 nTimeoutMs = qint64(m_options.iTimeoutSeconds) * 1000;
    QElapsedTimer waited;
    waited.start();
    qint64 nInterruptedAt = -1;
    for (;;) {
        const TwainResult r = m_session.waitForBatch(batch, kWaitSliceMs);
        if (r || r.kind() == TwainResult::BridgeLost || m_session.state() < 5)
            return r;
        if (m_iSignal) {
            if (m_bCancelledIdle)
                return r;
            if (nInterruptedAt < 0)
                nInterruptedAt = waited.elapsed();
            // The source never started its batch (a dialog nobody answers): the scan ends without it.
            if (waited.elapsed() - nInterruptedAt >= kInterruptWaitMs)
                return r;
        } else if (nTimeoutMs > 0 && waited.elapsed() >= nTimeoutMs) {
            bTimedOut = true;
            return r;
        }
    }
}

QString ScanCommand::dialogUnseen()
{
    int iView = Bridge::DialogUnknown;
    const bool bFront = bool(m_bridge.showLastGui(&iView));
    switch (iView) {
    case Bridge::DialogOnDisplay:
        return QString();
    case Bridge::DialogNoDisplay:
        return QStringLiteral("the bridge has no display (DISPLAY and WAYLAND_DISPLAY are unset, or "
                              "QT_QPA_PLATFORM names offscreen or minimal)");
    case Bridge::DialogNotDrawn:
        return bFront ? QStringLiteral("no display shows the source's window (it draws no window of its own)")
                      : QStringLiteral("no window of it appeared");
    default:
        // A bridge that does not tell: a dialog it can bring to the front is taken as seen.
        return bFront ? QString() : QStringLiteral("no window of it appeared");
    }
}

int ScanCommand::applySettings()
{
    const ScanOptions& o = m_options;
    TwainResult r = m_session.setCapability(ICAP_XFERMECH, TWTY_UINT16, o.mechanism);
    if (!r)
        return failSetting(QStringLiteral("the transfer mechanism %1").arg(mechanismName(o.mechanism)), r);
    bool bDepthDone = false;
    if (o.iPixelType >= 0) {
        // With its bit depth: a source may keep the depth of the type it had.
        r = m_session.setPixelType(quint16(o.iPixelType), o.iBitDepth);
        const bool bDepthRefused = !r && r.operation().contains(QLatin1String("ICAP_BITDEPTH"));
        if (bDepthRefused && o.iBitDepth <= 0)
            return failSetting(
                QStringLiteral("the usual bit depth of the pixel type %1").arg(pixelTypeName(o.iPixelType)),
                r);
        if (bDepthRefused) {
            // Said below, with the depths the source allows.
        } else if (!r)
            return failSetting(QStringLiteral("the pixel type %1").arg(pixelTypeName(o.iPixelType)), r,
                               allowedValues(ICAP_PIXELTYPE));
        else
            bDepthDone = true;
    }
    if (o.iBitDepth > 0 && !bDepthDone) {
        r = m_session.setCapability(ICAP_BITDEPTH, TWTY_UINT16, o.iBitDepth);
        if (!r) {
            // Bit depths belong to the pixel type in force: say which one that is.
            QString sAllowed = allowedValues(ICAP_BITDEPTH);
            double pixelType = -1;
            if (m_session.capability(ICAP_PIXELTYPE, TWTY_UINT16, pixelType)) {
                const QString sType = pixelTypeName(int(pixelType));
                sAllowed =
                    QStringLiteral("%1 with the pixel type %2%3")
                        .arg(sAllowed.isEmpty() ? QStringLiteral("other bit depths") : sAllowed, sType,
                             o.iPixelType < 0 ? QStringLiteral(" (the source's default; choose another "
                                                               "with -t)")
                                              : QString());
            }
            return failSetting(QStringLiteral("the bit depth %1").arg(o.iBitDepth), r, sAllowed);
        }
    }
    if (o.resolution > 0) {
        r = m_session.setCapability(ICAP_UNITS, TWTY_UINT16, TWUN_INCHES);
        if (!r)
            return failSetting(QStringLiteral("inches as units"), r);
        for (quint16 cap : {quint16(ICAP_XRESOLUTION), quint16(ICAP_YRESOLUTION)}) {
            // A value between the source's steps is refused here rather than rounded by the source unseen.
            Capability allowed;
            if (m_session.getCapability(cap, allowed, MSG_GET) && !allowed.allows(o.resolution))
                return fail(kExitSetting,
                            QStringLiteral("the source does not offer the resolution %1 dpi; it "
                                           "allows %2")
                                .arg(o.resolution)
                                .arg(allowedValues(cap)));
            r = m_session.setCapability(cap, TWTY_FIX32, o.resolution);
            if (!r)
                return failSetting(QStringLiteral("the resolution %1 dpi").arg(o.resolution), r,
                                   allowedValues(cap));
            double actual = 0;
            if (m_session.capability(cap, TWTY_FIX32, actual) && std::fabs(actual - o.resolution) > 1e-3)
                return fail(kExitSetting,
                            QStringLiteral("the source set %1 dpi instead of %2 dpi; it allows %3")
                                .arg(actual)
                                .arg(o.resolution)
                                .arg(allowedValues(cap)));
        }
    }
    r = m_session.setCapability(CAP_XFERCOUNT, TWTY_INT16, o.iPages);
    if (!r)
        return failSetting(o.iPages < 0 ? QStringLiteral("all pages")
                                        : QStringLiteral("a page count of %1").arg(o.iPages),
                           r);
    if (o.mechanism == TWSX_FILE) {
        // The source writes into a folder of ours; each page is then written as asked.
        // 16-bit grey needs TIFF: a 16-bit BMP would be read as 5-5-5 RGB.
        const bool bTiff = o.iBitDepth == 16 && o.iPixelType == TWPT_GRAY;
        r = m_session.setFileTransfer(m_output.sourceFilesFolder() +
                                          (bTiff ? QStringLiteral("/page.tif") : QStringLiteral("/page.bmp")),
                                      bTiff ? TWFF_TIFF : TWFF_BMP);
        if (!r)
            return failSetting(bTiff ? QStringLiteral("TIFF files for the file transfer")
                                     : QStringLiteral("BMP files for the file transfer"),
                               r);
    }
    return -1;
}

QString ScanCommand::allowedValues(quint16 cap)
{
    Capability all;
    if (!m_session.getCapability(cap, all, MSG_GET))
        return QString();
    if (all.containerType == TWON_RANGE)
        return QStringLiteral("%1 to %2%3")
            .arg(valueText(cap, all.minValue), valueText(cap, all.maxValue),
                 // A step of 1 goes without saying for whole numbers, not for fractional ones.
                 all.stepSize.toDouble() > 1 || (all.itemType == TWTY_FIX32 && all.stepSize.toDouble() > 0)
                     ? QStringLiteral(" in steps of %1").arg(valueText(0, all.stepSize))
                     : QString());
    if (all.containerType == TWON_ENUMERATION)
        return all.allowedText();
    return QString();
}

void ScanCommand::printSettingsInForce()
{
    if (!m_options.bVerbose)
        return;
    QStringList lstSettings;
    for (quint16 cap : {quint16(ICAP_XFERMECH), quint16(ICAP_PIXELTYPE), quint16(ICAP_BITDEPTH),
                        quint16(ICAP_XRESOLUTION), quint16(ICAP_YRESOLUTION), quint16(ICAP_UNITS),
                        quint16(CAP_XFERCOUNT), quint16(CAP_FEEDERENABLED), quint16(ICAP_COMPRESSION)}) {
        Capability value;
        if (m_session.getCapability(cap, value, MSG_GETCURRENT))
            lstSettings.append(
                QStringLiteral("%1 %2").arg(capabilityIdName(cap), valueText(cap, value.current())));
    }
    verbose(QStringLiteral("settings in force, as the source reads them back: %1")
                .arg(lstSettings.join(QStringLiteral(", "))));
}

int ScanCommand::scan()
{
    const ScanOptions& o = m_options;
    const int iOpened = openScanSource(m_session, m_bridge, o);
    if (iOpened >= 0)
        return iOpened;
    TwainResult r;

    // Only a file transfer needs a folder for the source's files; it goes on every way out of here.
    // Inside the bridge's private folder: should this process be killed, the bridge or a later start
    // removes it with that folder.
    std::unique_ptr<QTemporaryDir> pSourceFiles;
    if (o.mechanism == TWSX_FILE) {
        pSourceFiles.reset(new QTemporaryDir(m_bridge.bridgeTempPath() + QStringLiteral("/files-XXXXXX")));
        if (!pSourceFiles->isValid())
            pSourceFiles.reset(new QTemporaryDir);
        if (!pSourceFiles->isValid())
            return fail(kExitOutput, QStringLiteral("cannot make a temporary folder for the source's files"));
        m_output.setSourceFilesFolder(pSourceFiles->path());
    }
    const int iSettings = applySettings();
    if (iSettings >= 0)
        return iSettings;
    printSettingsInForce();
    // Made only once the source has taken every setting.
    const bool bMadeFolder = !QFileInfo::exists(o.sOutputDir);
    if (!QDir().mkpath(o.sOutputDir))
        return fail(kExitOutput, QStringLiteral("cannot make the folder %1").arg(o.sOutputDir));
    m_output.setOutputFolder(QFileInfo(o.sOutputDir).absoluteFilePath());

    ScanProgress progress(m_pOut, m_pOut && isatty(fileno(m_pOut)) != 0, o.iPages);
    m_pProgress = &progress;
    m_output.setProgress(&progress);
    if (m_pOut)
        std::fprintf(m_pOut, "Scanning with %s into %s\n", qUtf8Printable(m_session.source().productName),
                     qUtf8Printable(m_output.shownPath(m_output.outputFolder())));
    if (m_pOut)
        std::fflush(m_pOut);
    progress.start();
    BatchResult batch;
    bool bTimedOut = false;
    r = m_iSignal ? TwainResult::refused(QStringLiteral("scanning"), QStringLiteral("cancelled"))
                  : m_session.enable(o.bDialog);
    if (r && o.bDialog) {
        // Waiting for a dialog nobody can see would end only with the time-out.
        const QString sWhy = dialogUnseen();
        if (!sWhy.isEmpty()) {
            progress.stop();
            m_pProgress = nullptr;
            m_output.setProgress(nullptr);
            m_session.disable();
            // Nothing was scanned: a folder made for this run goes again (rmdir leaves a non-empty one).
            if (bMadeFolder)
                QDir().rmdir(m_output.outputFolder());
            return fail(kExitSetting, QStringLiteral("the source's dialog cannot be seen here: %1 (scan "
                                                     "without --dialog)")
                                          .arg(sWhy));
        }
    }
    if (r) {
        if (o.bDialog)
            progress.note(QStringLiteral("Start the scan in the source's dialog."));
        r = waitForScan(batch, bTimedOut);
    }
    progress.stop();
    m_pProgress = nullptr;
    m_output.setProgress(nullptr);
    // The pages that arrived are a complete document, however the scan ended.
    m_output.finish();
    if (m_iSignal) {
        // What was kept; run() ends the bridge and gives the signal's status.
        m_output.printSummary(m_pOut, progress.seconds());
        return kExitIncomplete;
    }
    if (!r) {
        if (r.kind() == TwainResult::BridgeLost) {
            reportQuirks(batch);
            return failBridge();
        }
        if (r.operation().contains(QLatin1String("MSG_ENABLEDS")))
            return fail(kExitIncomplete, QStringLiteral("the source did not start: %1").arg(r.message()));
        if (bTimedOut && o.bDialog && progress.pages() == 0)
            return fail(kExitTimeout, QStringLiteral("nobody started a scan in the source's dialog within %1 "
                                                     "seconds (--timeout)")
                                          .arg(o.iTimeoutSeconds));
        return fail(bTimedOut ? kExitTimeout : kExitIncomplete,
                    QStringLiteral("the scan did not end within %1 seconds (%2 pages arrived)")
                        .arg(o.iTimeoutSeconds)
                        .arg(m_output.received()));
    }
    m_session.disable();

    m_output.printSummary(m_pOut, progress.seconds());
    reportQuirks(batch);
    return scanResult(batch);
}

int ScanCommand::scanResult(const BatchResult& batch)
{
    const ScanOptions& o = m_options;
    if (!batch.transferred) {
        return fail(kExitIncomplete,
                    batch.closeMessage == MSG_CLOSEDSOK
                        ? QStringLiteral("the source's dialog was closed with OK before a scan")
                        : QStringLiteral("the source's dialog was closed before a scan"));
    }
    if (!m_output.bridgeError().isEmpty())
        return fail(kExitBridgeWrite, m_output.bridgeError());
    if (!m_output.writeError().isEmpty())
        return fail(kExitOutput, m_output.notWritten() > 1 ? QStringLiteral("%1 (%2 pages not written)")
                                                                 .arg(m_output.writeError())
                                                                 .arg(m_output.notWritten())
                                                           : m_output.writeError());
    if (batch.transferFailed()) {
        QString sWhy = QStringLiteral("the source stopped after %1 of %2 pages")
                           .arg(batch.imageCount)
                           .arg(o.iPages > 0 ? QString::number(o.iPages) : QStringLiteral("all"));
        if (batch.hasConditionCode)
            sWhy += QStringLiteral(": condition %1 (%2)")
                        .arg(conditionCodeName(batch.conditionCode))
                        .arg(batch.conditionCode);
        return fail(kExitIncomplete, sWhy);
    }
    for (const QString& sFault : qAsConst(batch.sourceFaults)) {
        // A page the scanner botched or cancelled is a page the user does not have.
        if (sFault.startsWith(QLatin1String("page ")) || sFault.contains(QLatin1String("pages were dropped")))
            return fail(kExitIncomplete, QStringLiteral("%1; %2").arg(sFault, m_output.pagesKept()));
    }
    if (!m_output.pageLost().isEmpty())
        return fail(kExitIncomplete, m_output.pageLost());
    if (o.iPages > 0 && batch.imageCount < o.iPages)
        return fail(kExitIncomplete, QStringLiteral("only %1 of %2 pages arrived: the source had no more")
                                         .arg(batch.imageCount)
                                         .arg(o.iPages));
    if (batch.imageCount == 0)
        return fail(kExitIncomplete, QStringLiteral("the source delivered no page"));
    return kExitOk;
}

int ScanCommand::failBridge()
{
    return fail(kExitBridge, QStringLiteral("%1; %2").arg(m_bridge.endReason(), m_output.pagesKept()));
}

void ScanCommand::reportQuirks(const BatchResult& batch)
{
    // One line each, in words a user understands, for what the scanner did wrong.
    QStringList lstLines = batch.sourceFaults;
    double actual = 0;
    if (m_session.readBack(ICAP_XFERMECH, actual) && quint16(actual) != m_options.mechanism)
        lstLines.append(QStringLiteral("the scanner accepted %1 transfers but used %2 transfers")
                            .arg(mechanismName(m_options.mechanism), mechanismName(int(actual))));
    if (m_options.iPages > 0 && batch.imageCount > m_options.iPages)
        lstLines.append(QStringLiteral("the scanner ignored the page count of %1 and sent %2 pages")
                            .arg(m_options.iPages)
                            .arg(batch.imageCount));
    if (!m_pOut)
        return;
    for (const QString& sLine : qAsConst(lstLines))
        std::fprintf(m_pOut, "%s; %s\n", qUtf8Printable(sLine), qUtf8Printable(m_output.pagesKept()));
    std::fflush(m_pOut);
}

} // namespace pelirand
