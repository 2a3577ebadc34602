#include "client/scan/scancommand.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <cmath>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "client/scan/scanlisting.h"
#include "client/scan/scanprogress.h"
#include "twain/twain.h"

#include <pelirand/sanetwain.h>

namespace pelirand {

namespace {

// $XDG_STATE_HOME/pelirand/pelirand-scan.log, else ~/.local/state/pelirand/...; the folder is made.
// Empty when there is no such folder to be had.
QString scanLogFile(const QProcessEnvironment& env)
{
    QString sState = env.value(QStringLiteral("XDG_STATE_HOME"));
    // Relative paths are to be ignored, as for every XDG variable.
    if (sState.isEmpty() || !QDir::isAbsolutePath(sState)) {
        const QString sHome = env.value(QStringLiteral("HOME"), QDir::homePath());
        if (sHome.isEmpty())
            return QString();
        sState = sHome + QStringLiteral("/.local/state");
    }
    const QString sFolder = sState + QStringLiteral("/pelirand");
    if (!QDir().mkpath(sFolder))
        return QString();
    return sFolder + QStringLiteral("/pelirand-scan.log");
}

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
    // The handler has told it on standard error already.
    ++m_nSignals;
    if (m_iSignal != 0)
        return;
    m_iSignal = iSignal;
    if (m_pProgress)
        m_pProgress->stop();
    verbose(QStringLiteral("signal %1 is %2").arg(iSignal).arg(QString::fromLocal8Bit(strsignal(iSignal))));
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

int ScanCommand::interrupted(bool bBridgeKilled)
{
    // A bridge that had to be killed means the scanner never answered the cancel.
    std::fprintf(stderr, "pelirand-scan: cancelled by signal %d; %d %s written%s\n", m_iSignal,
                 m_output.written(), m_output.written() == 1 ? "page was" : "pages were",
                 bBridgeKilled ? "; the scanner did not answer the cancel, so the bridge was ended" : "");
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
    if (result.hasConditionCode() && result.conditionCode() == TWCC_SUCCESS)
        sWhy += QStringLiteral(", the scanner gave no reason");
    else if (result.hasConditionCode())
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

    // People's lines go to standard error, so that standard output carries only what was asked for.
    m_pOut = m_options.bQuiet ? nullptr : stderr;
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
    {
        // The bridge's log goes where programs keep their state, not into the documents folder.
        QProcessEnvironment env = m_bridge.processEnvironment();
        if (env.value(QStringLiteral("PELIRAND_LOG")).isEmpty()) {
            const QString sLog = scanLogFile(env);
            if (!sLog.isEmpty())
                env.insert(QStringLiteral("PELIRAND_LOG"), sLog);
            m_bridge.setProcessEnvironment(env);
        }
    }
    m_bridge.setForwardStandardError(m_options.bVerbose);
    // A call stuck for longer than --timeout is no progress either.
    int iCallTimeout = m_options.iCallTimeoutSeconds;
    if (m_options.iTimeoutSeconds > 0 && (iCallTimeout == 0 || m_options.iTimeoutSeconds < iCallTimeout))
        iCallTimeout = m_options.iTimeoutSeconds;
    m_bridge.setCallTimeout(iCallTimeout * 1000);
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
    // A signal that came while the main thread waited inside a call is still in the pipe.
    if (!m_iSignal && ScanSignals::count() > 0)
        QCoreApplication::processEvents();
    // With -o -, what was written, also by a cancelled run, goes out, and its folder goes.
    const int iCopied = m_output.copyToStdout();
    if (iExit == kExitOk)
        iExit = iCopied;
    if (m_iSignal)
        return interrupted(bKilled);
    return iExit;
}

void ScanCommand::noteProgress()
{
    m_sinceProgress.restart();
}

QString ScanCommand::doingNow() const
{
    // The bridge's transfer loop says which call it is in; people hear what that is.
    const QString sCall = m_bridge.hasHung() ? m_bridge.hungCall() : m_bridge.loopCall();
    const int iPage = m_output.received() + 1;
    if (sCall.contains(QLatin1String("XFER")) && !sCall.contains(QLatin1String("PENDINGXFERS")))
        return QStringLiteral("while transferring page %1").arg(iPage);
    if (sCall.contains(QLatin1String("PENDINGXFERS")))
        return QStringLiteral("while ending page %1").arg(iPage - 1);
    if (sCall.contains(QLatin1String("ENABLEDS")))
        return QStringLiteral("while starting the scan");
    if (sCall.contains(QLatin1String("IMAGEINFO")) || sCall.contains(QLatin1String("IMAGELAYOUT")))
        return QStringLiteral("while starting page %1").arg(iPage);
    if (!sCall.isEmpty())
        return QStringLiteral("in %1").arg(sCall);
    return m_output.received() == 0 ? QStringLiteral("while waiting for the first page")
                                    : QStringLiteral("while waiting for page %1").arg(iPage);
}

TwainResult ScanCommand::waitForScan(BatchResult& batch, bool& bTimedOut)
{
    const qint64 nTimeoutMs = qint64(m_options.iTimeoutSeconds) * 1000;
    QElapsedTimer waited;
    waited.start();
    noteProgress();
    int nNotifications = m_bridge.notificationCount();
    qint64 nInterruptedAt = -1;
    for (;;) {
        const TwainResult r = m_session.waitForBatch(batch, kWaitSliceMs);
        if (r || r.kind() == TwainResult::BridgeLost || m_session.state() < 5)
            return r;
        // Whatever the bridge tells (a page, a block, a message) is progress.
        if (m_bridge.notificationCount() != nNotifications) {
            nNotifications = m_bridge.notificationCount();
            noteProgress();
        }
        if (m_iSignal) {
            if (m_bCancelledIdle)
                return r;
            if (nInterruptedAt < 0)
                nInterruptedAt = waited.elapsed();
            // The source never started its batch (a dialog nobody answers): the scan ends without it.
            if (waited.elapsed() - nInterruptedAt >= kInterruptWaitMs)
                return r;
        } else if (nTimeoutMs > 0 && m_sinceProgress.elapsed() >= nTimeoutMs) {
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

int ScanCommand::setDeviceOptions()
{
    const ScanOptions& o = m_options;
    if (o.lstDeviceOptions.isEmpty())
        return -1;
    if (m_session.source().productName != QLatin1String(sanesource::kProductName))
        return fail(kExitSetting, QStringLiteral("--sane-option sets a SANE device's options, but the source "
                                                 "\"%1\" is not the SANE source (give -d DEVICE)")
                                      .arg(m_session.source().productName));
    for (const QString& sPair : o.lstDeviceOptions) {
        const int iEquals = sPair.indexOf(QLatin1Char('='));
        const QByteArray name = sPair.left(iEquals).toUtf8();
        const QByteArray value = sPair.mid(iEquals + 1).toUtf8();
        sanesource::SANE_TW_OPTION option{};
        std::memcpy(option.Name, name.constData(), size_t(name.size()));
        std::memcpy(option.Value, value.constData(), size_t(value.size()));
        QByteArray block(reinterpret_cast<const char*>(&option), int(sizeof option));
        const TwainResult r = m_session.call(DG_CONTROL, sanesource::SANEDAT_OPTION, MSG_SET, block);
        if (r.kind() == TwainResult::BridgeLost)
            return failBridge();
        if (!r) {
            QString sWhy = r.conditionCode() == TWCC_BADVALUE
                               ? QStringLiteral("the device has no option %1, or refused the value \"%2\"")
                                     .arg(QString::fromUtf8(name), QString::fromUtf8(value))
                               : QStringLiteral("the device refused %1=%2: %3")
                                     .arg(QString::fromUtf8(name), QString::fromUtf8(value),
                                          conditionSentence(r.conditionCode(), o.sDevice));
            if (o.bVerbose)
                sWhy += QStringLiteral(" (%1)").arg(r.message());
            return fail(kExitSetting, sWhy + QStringLiteral("; --options lists the device's options"));
        }
        if (block.size() >= int(sizeof option))
            std::memcpy(&option, block.constData(), sizeof option);
        option.Value[sizeof option.Value - 1] = '\0';
        const QString sTook = QString::fromUtf8(option.Value);
        if (r.returnCode() == TWRC_CHECKSTATUS && m_pOut)
            std::fprintf(m_pOut, "pelirand-scan: the device took %s as %s\n", qUtf8Printable(sPair),
                         qUtf8Printable(sTook));
        verbose(QStringLiteral("device option %1 is %2").arg(QString::fromUtf8(name), sTook));
    }
    return -1;
}

int ScanCommand::setPaperSource()
{
    const ScanOptions& o = m_options;
    if (!o.bFeeder && !o.bFlatbed && !o.bDuplex)
        return -1;
    TwainResult r = m_session.setCapability(CAP_FEEDERENABLED, TWTY_BOOL, o.bFlatbed ? 0 : 1);
    if (r.kind() == TwainResult::BridgeLost)
        return failBridge();
    if (!r && !o.bFlatbed)
        return fail(kExitSetting,
                    plainFailure(r, QStringLiteral("the scanner has no document feeder"), o.bVerbose, o.sDevice)
                        .replace(QLatin1String("the scanner does not support that"),
                                 QLatin1String("the scanner has no document feeder")));
    // A scanner without a feeder scans from its flatbed anyway.
    if (!r)
        verbose(QStringLiteral("the source has no feeder to switch off: %1").arg(r.message()));
    if (o.bDuplex) {
        r = m_session.setCapability(CAP_DUPLEXENABLED, TWTY_BOOL, 1);
        if (r.kind() == TwainResult::BridgeLost)
            return failBridge();
        if (!r) {
            QString sWhy = QStringLiteral("the scanner cannot scan both sides (no duplex feeder)");
            if (o.bVerbose)
                sWhy += QStringLiteral(" (%1)").arg(r.message());
            return fail(kExitSetting, sWhy);
        }
    } else {
        // Single-sided unless asked: a duplex left on from before would double the pages.
        r = m_session.setCapability(CAP_DUPLEXENABLED, TWTY_BOOL, 0);
        if (r.kind() == TwainResult::BridgeLost)
            return failBridge();
    }
    return -1;
}

int ScanCommand::setScanArea()
{
    const ScanOptions& o = m_options;
    if (o.areaLeft < 0 && o.areaTop < 0 && o.areaWidth < 0 && o.areaHeight < 0)
        return -1;
    TwainResult r = m_session.setCapability(ICAP_UNITS, TWTY_UINT16, TWUN_INCHES);
    if (!r)
        return failSetting(QStringLiteral("inches as units"), r);
    // What is not given stays as the source has it (the whole bed by default).
    QByteArray layout(kImageLayoutSize, '\0');
    r = m_session.call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, layout);
    if (r.kind() == TwainResult::BridgeLost)
        return failBridge();
    double left = 0;
    double top = 0;
    double right = 0;
    double bottom = 0;
    if (r && layout.size() >= kImageLayoutSize) {
        left = fromFix32(layout, 0) * 25.4;
        top = fromFix32(layout, 4) * 25.4;
        right = fromFix32(layout, 8) * 25.4;
        bottom = fromFix32(layout, 12) * 25.4;
    }
    double bedWidth = 0;
    double bedHeight = 0;
    if (m_session.capability(ICAP_PHYSICALWIDTH, TWTY_FIX32, bedWidth))
        bedWidth *= 25.4;
    if (m_session.capability(ICAP_PHYSICALHEIGHT, TWTY_FIX32, bedHeight))
        bedHeight *= 25.4;
    if (right <= left)
        right = bedWidth;
    if (bottom <= top)
        bottom = bedHeight;
    // As scanimage: the width and height count from the left and top edges; without them the
    // area reaches as far as it did.
    const double newLeft = o.areaLeft >= 0 ? o.areaLeft : left;
    const double newTop = o.areaTop >= 0 ? o.areaTop : top;
    const double newRight = o.areaWidth > 0 ? newLeft + o.areaWidth : right;
    const double newBottom = o.areaHeight > 0 ? newTop + o.areaHeight : bottom;
    const auto mm = [](double value) { return QString::number(value, 'f', 1); };
    if (newRight <= newLeft || newBottom <= newTop)
        return fail(kExitSetting, QStringLiteral("the scan area is empty: %1 to %2 mm across, %3 to %4 mm down")
                                      .arg(mm(newLeft), mm(newRight), mm(newTop), mm(newBottom)));
    if ((bedWidth > 0 && newRight > bedWidth + 0.05) || (bedHeight > 0 && newBottom > bedHeight + 0.05))
        return fail(kExitSetting, QStringLiteral("the scan area reaches past the scanner's bed, which is %1 x %2 mm")
                                      .arg(mm(bedWidth), mm(bedHeight)));
    layout = imageLayout(newLeft / 25.4, newTop / 25.4, newRight / 25.4, newBottom / 25.4);
    r = m_session.call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, layout);
    if (r.kind() == TwainResult::BridgeLost)
        return failBridge();
    // The source may round the edges to its own steps; what it took is told with --verbose.
    const bool bAdjusted = r.kind() == TwainResult::TwainFailed && r.returnCode() == TWRC_CHECKSTATUS;
    if (bAdjusted && m_session.call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, layout) &&
        layout.size() >= kImageLayoutSize)
        verbose(QStringLiteral("the source took the scan area as %1 to %2 mm across, %3 to %4 mm down")
                    .arg(mm(fromFix32(layout, 0) * 25.4), mm(fromFix32(layout, 8) * 25.4),
                         mm(fromFix32(layout, 4) * 25.4), mm(fromFix32(layout, 12) * 25.4)));
    if (!r && !bAdjusted)
        return fail(kExitSetting, plainFailure(r, QStringLiteral("the scanner refused the scan area"),
                                               o.bVerbose, o.sDevice));
    return -1;
}

int ScanCommand::setLevel(quint16 cap, int iPercent, const char* sWhat)
{
    if (iPercent == ScanOptions::kUnset)
        return -1;
    // TWAIN's scale is -1000 to 1000; the source maps it onto the device's own.
    const TwainResult r = m_session.setCapability(cap, TWTY_FIX32, iPercent * 10.0);
    if (r.kind() == TwainResult::BridgeLost)
        return failBridge();
    if (!r) {
        QString sWhy = QStringLiteral("the scanner has no %1 setting").arg(QLatin1String(sWhat));
        if (r.conditionCode() == TWCC_BADVALUE)
            sWhy = QStringLiteral("the scanner refused the %1 %2").arg(QLatin1String(sWhat)).arg(iPercent);
        if (m_options.bVerbose)
            sWhy += QStringLiteral(" (%1)").arg(r.message());
        return fail(kExitSetting, sWhy);
    }
    return -1;
}

int ScanCommand::applySettings()
{
    const ScanOptions& o = m_options;
    int iStep = setDeviceOptions();
    if (iStep < 0)
        iStep = setPaperSource();
    if (iStep >= 0)
        return iStep;
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
    iStep = setScanArea();
    if (iStep < 0)
        iStep = setLevel(ICAP_BRIGHTNESS, o.iBrightness, "brightness");
    if (iStep < 0)
        iStep = setLevel(ICAP_CONTRAST, o.iContrast, "contrast");
    if (iStep >= 0)
        return iStep;
    // With --batch-prompt each batch is one page from the flatbed.
    r = m_session.setCapability(CAP_XFERCOUNT, TWTY_INT16, o.bBatchPrompt ? 1 : o.iPages);
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
    // A SANE device's own options as they stand now, by the names --sane-option takes.
    QStringList lstDevice;
    for (const ScanListing::DeviceOption& option : ScanListing(m_session, m_bridge, m_options).deviceOptions()) {
        if (!option.sValue.isEmpty())
            lstDevice.append(option.sName + QLatin1Char('=') + option.sValue);
    }
    if (!lstDevice.isEmpty())
        verbose(QStringLiteral("device options in force: %1").arg(lstDevice.join(QStringLiteral(", "))));
}

int ScanCommand::scan()
{
    const ScanOptions& o = m_options;
    const int iOpened = openScanSource(m_session, m_bridge, o);
    if (iOpened >= 0)
        return iOpened;

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
                     qUtf8Printable(m_output.shownPath(o.bOutputFile ? QDir(m_output.outputFolder()).filePath(
                                                                           o.sName + QLatin1Char('.') + o.sExtension)
                                                                     : m_output.outputFolder())));
    if (m_pOut)
        std::fflush(m_pOut);
    progress.start();
    m_bMadeFolder = bMadeFolder;
    BatchResult total;
    int iExit = -1;
    for (bool bFirst = true; iExit < 0; bFirst = false) {
        iExit = runBatch(total, bFirst);
        if (iExit >= 0 || !o.bBatchPrompt)
            break;
        if (o.iPages > 0 && total.imageCount >= o.iPages)
            break;
        progress.pause();
        const bool bNext = promptForNextPage();
        if (!bNext || m_iSignal)
            break;
        progress.resume();
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
    if (iExit >= 0)
        return iExit;
    m_output.printSummary(m_pOut, progress.seconds());
    reportQuirks(total);
    return scanResult(total);
}

int ScanCommand::runBatch(BatchResult& total, bool bFirst)
{
    const ScanOptions& o = m_options;
    BatchResult batch;
    bool bTimedOut = false;
    TwainResult r = m_iSignal ? TwainResult::refused(QStringLiteral("scanning"), QStringLiteral("cancelled"))
                              : m_session.enable(o.bDialog);
    noteProgress();
    if (r && o.bDialog) {
        // Waiting for a dialog nobody can see would end only with the time-out.
        const QString sWhy = dialogUnseen();
        if (!sWhy.isEmpty()) {
            m_pProgress->stop();
            m_pProgress = nullptr;
            m_output.setProgress(nullptr);
            m_session.disable();
            // Nothing was scanned: a folder made for this run goes again (rmdir leaves a non-empty one).
            if (m_bMadeFolder)
                QDir().rmdir(m_output.outputFolder());
            return fail(kExitSetting, QStringLiteral("the source's dialog cannot be seen here: %1 (scan "
                                                     "without --dialog)")
                                          .arg(sWhy));
        }
    }
    if (r) {
        if (o.bDialog)
            m_pProgress->note(QStringLiteral("Start the scan in the source's dialog."));
        r = waitForScan(batch, bTimedOut);
    }
    // What this batch brought counts with the batches before it.
    const int nBefore = total.imageCount;
    total.transferred = total.transferred || batch.transferred;
    total.closeMessage = batch.closeMessage;
    total.endState = batch.endState;
    total.hasConditionCode = batch.hasConditionCode;
    total.conditionCode = batch.conditionCode;
    total.cancelled = batch.cancelled;
    total.imageCount += batch.imageCount;
    total.byteCount += batch.byteCount;
    total.sourceFaults += batch.sourceFaults;
    total.failures += batch.failures;
    if (m_iSignal)
        return -1;
    if (!r) {
        m_pProgress->stop();
        m_output.finish();
        if (r.kind() == TwainResult::BridgeLost) {
            reportQuirks(total);
            // A source stuck inside a call for --timeout: given up, with what it was doing. (A
            // shorter --call-timeout is a hung driver, told as the bridge's end below.)
            const bool bTimeout = o.iTimeoutSeconds > 0 &&
                                  (o.iCallTimeoutSeconds == 0 || o.iTimeoutSeconds < o.iCallTimeoutSeconds);
            if (m_bridge.hasHung() && bTimeout) {
                QString sWhy = QStringLiteral("the scanner did not answer for %1 seconds %2 (--timeout), so the "
                                              "bridge was ended; %3")
                                   .arg(o.iTimeoutSeconds)
                                   .arg(doingNow(), m_output.pagesKept());
                if (o.bVerbose)
                    sWhy += QStringLiteral(" (%1)").arg(m_bridge.endReason());
                return fail(kExitTimeout, sWhy);
            }
            return failBridge();
        }
        if (r.operation().contains(QLatin1String("MSG_ENABLEDS")))
            return fail(kExitIncomplete, plainFailure(r, QStringLiteral("the scanner did not start"), o.bVerbose,
                                                      o.sDevice));
        if (bTimedOut && o.bDialog && m_output.received() == 0)
            return fail(kExitTimeout, QStringLiteral("nobody started a scan in the source's dialog within %1 "
                                                     "seconds (--timeout)")
                                          .arg(o.iTimeoutSeconds));
        return fail(bTimedOut ? kExitTimeout : kExitIncomplete,
                    QStringLiteral("the scan made no progress for %1 seconds %2 (--timeout); %3")
                        .arg(o.iTimeoutSeconds)
                        .arg(doingNow(), m_output.pagesKept()));
    }
    m_session.disable();
    // Later flatbed pages that did not come end the run, with the pages before kept.
    if (!bFirst && (batch.imageCount == 0 || batch.transferFailed()))
        total.imageCount = qMax(total.imageCount, nBefore);
    return -1;
}

bool ScanCommand::promptForNextPage()
{
    // The terminal the person sits at: standard input if it is one, else the process's terminal.
    int fd = STDIN_FILENO;
    int ownFd = -1;
    if (!isatty(fd)) {
        ownFd = ::open("/dev/tty", O_RDONLY | O_CLOEXEC | O_NOCTTY);
        fd = ownFd;
    }
    if (fd < 0) {
        scanFailure(kExitOk, QStringLiteral("--batch-prompt needs a terminal to ask at; the run ends here"));
        return false;
    }
    std::fprintf(stderr, "Page %d done. Put the next page on the glass and press Enter, or any other key to "
                         "finish: ",
                 m_output.received());
    std::fflush(stderr);
    // One key, without waiting for a whole line and without showing it.
    termios saved{};
    const bool bTerminal = tcgetattr(fd, &saved) == 0;
    if (bTerminal) {
        termios raw = saved;
        raw.c_lflag &= ~tcflag_t(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &raw);
    }
    // The event loop runs meanwhile, so a signal ends the wait.
    QEventLoop loop;
    QSocketNotifier notifier(fd, QSocketNotifier::Read);
    char key = 0;
    bool bGot = false;
    connect(&notifier, &QSocketNotifier::activated, &loop, [&] {
        const ssize_t n = ::read(fd, &key, 1);
        bGot = n == 1;
        loop.quit();
    });
    connect(&m_signals, &ScanSignals::received, &loop, &QEventLoop::quit);
    if (!m_iSignal)
        loop.exec();
    if (bTerminal)
        tcsetattr(fd, TCSANOW, &saved);
    if (ownFd >= 0)
        ::close(ownFd);
    std::fputc('\n', stderr);
    return bGot && (key == '\n' || key == '\r');
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
        // In plain words where the condition has them; TWAIN's name with --verbose, or when it has none.
        const QString sSentence =
            batch.hasConditionCode ? conditionSentence(batch.conditionCode, o.sDevice) : QString();
        QString sWhy = QStringLiteral("the source stopped after %1 of %2 pages")
                           .arg(batch.imageCount)
                           .arg(o.iPages > 0 ? QString::number(o.iPages) : QStringLiteral("all"));
        const QString sCondition = batch.hasConditionCode ? QStringLiteral("condition %1 (%2)")
                                                                 .arg(conditionCodeName(batch.conditionCode))
                                                                 .arg(batch.conditionCode)
                                                           : QString();
        if (!sSentence.isEmpty())
            sWhy = QStringLiteral("%1; the scan stopped after %2 of %3 pages%4")
                       .arg(sSentence)
                       .arg(batch.imageCount)
                       .arg(o.iPages > 0 ? QString::number(o.iPages) : QStringLiteral("all"))
                       .arg(o.bVerbose ? QStringLiteral(" (%1)").arg(sCondition) : QString());
        else if (!sCondition.isEmpty())
            sWhy += QStringLiteral(": ") + sCondition;
        return fail(kExitIncomplete, sWhy);
    }
    for (const QString& sFault : qAsConst(batch.sourceFaults)) {
        // A page the scanner botched or cancelled is a page the user does not have.
        if (sFault.startsWith(QLatin1String("page ")) || sFault.contains(QLatin1String("pages were dropped"))) {
            // A network scanner that failed this way has gone away: say so too.
            const QString sHost = saneNetHost(o.sDevice);
            const bool bDeviceError = sFault.contains(QLatin1String("TWCC_OPERATIONERROR")) ||
                                      sFault.contains(QLatin1String("TWCC_CHECKDEVICEONLINE"));
            const QString sLost = !sHost.isEmpty() && bDeviceError
                                      ? QStringLiteral("; ") + conditionSentence(TWCC_OPERATIONERROR, o.sDevice)
                                      : QString();
            return fail(kExitIncomplete, QStringLiteral("%1%2; %3").arg(sFault, sLost, m_output.pagesKept()));
        }
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
