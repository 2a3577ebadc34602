#include "pelirand/twainsession.h"
#include "client/twainsession_p.h"

#include "client/imagemapping_p.h"
#include <pelirand/sanetwain.h>
#include "sources/sim/simscanner.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include "twain/twain.h"

namespace pelirand {

namespace {

// No DSM lists more sources than this; a longer list means it never ends.
constexpr int kMaxSources = 1000;
// Round trips after a batch while notifications keep arriving.
constexpr int kMaxSettleTrips = 1000;

QString stateText(uint uiState)
{
    return QStringLiteral("state %1").arg(uiState);
}

} // namespace

TwainSession::TwainSession(Bridge& bridge, QObject* parent)
    : QObject(parent), d(new TwainSessionPrivate(this, bridge))
{
    qRegisterMetaType<pelirand::Image>();
    qRegisterMetaType<pelirand::BatchResult>();
    connect(&bridge, &Bridge::messageRelayed, this,
            [this](uint uiMsg, uint uiState) { d->onMessageRelayed(uiMsg, uiState); });
    connect(&bridge, &Bridge::imageFileReceived, this,
            [this](int iId, const QString& sFileName) { d->onImageFileReceived(iId, sFileName); });
    connect(&bridge, &Bridge::sourceFaultsReported, this,
            [this](const QStringList& lstFaults) { d->onSourceFaults(lstFaults); });
    connect(&bridge, &Bridge::imageFailed, this,
            [this](int iPage, const QString& sWhy) { d->onImageFailed(iPage, sWhy); });
}

TwainSession::~TwainSession() = default;

Bridge& TwainSession::bridge()
{
    return d->m_bridge;
}

uint TwainSession::state() const
{
    return d->m_uiState;
}

SourceIdentity TwainSession::source() const
{
    return d->m_source;
}

void TwainSession::setCollectImages(bool collect)
{
    d->m_bCollect = collect;
}

void TwainSession::setMapImages(bool map)
{
    d->m_bMapImages = map;
}

QStringList TwainSession::differences() const
{
    return d->m_lstDifferences;
}

void TwainSessionPrivate::noteState(const TwainResult& result)
{
    if (result.hasState())
        m_uiState = result.state();
}

TwainResult TwainSessionPrivate::needSource(const QString& sOperation) const
{
    if (m_uiState < 4 || !m_source.isValid())
        return TwainResult::refused(sOperation, QStringLiteral("no source is open"));
    return TwainResult::ok(sOperation);
}

void TwainSessionPrivate::addConditionCode(TwainResult& result)
{
    if (result.kind() != TwainResult::TwainFailed || result.hasConditionCode())
        return;
    quint16 cc = 0;
    if (q->conditionCode(cc))
        result.setConditionCode(cc);
}

TwainResult TwainSessionPrivate::sourceCall(quint32 dg, quint16 dat, quint16 msg, const QByteArray& block)
{
    const TwainResult result = commands()->twainCmd(m_source.block, dg, dat, msg, block);
    noteState(result);
    return result;
}

// --- The DSM -------------------------------------------------------------

TwainResult TwainSession::openDsm(DsmFile file)
{
    if (d->m_uiState >= 3)
        return TwainResult::refused(QStringLiteral("opening the DSM"), QStringLiteral("it is already open"));
    if (d->m_uiState < 2) {
        TwainResult loaded = d->commands()->loadDsm(file);
        d->noteState(loaded);
        if (!loaded) {
            if (loaded.kind() == TwainResult::TwainFailed)
                loaded.setReason(QStringLiteral("the bridge found no TWAIN Data Source Manager"));
            return loaded;
        }
        d->m_uiState = qMax(d->m_uiState, 2u);
    }
    const TwainResult opened =
        d->commands()->twainCmd(QByteArray(), DG_CONTROL, DAT_PARENT, MSG_OPENDSM, QByteArray(kParentSize, '\0'));
    d->noteState(opened);
    return opened;
}

TwainResult TwainSession::closeDsm()
{
    TwainResult result = TwainResult::ok(QStringLiteral("closing the DSM"));
    if (d->m_uiState >= 4) {
        result = closeSource();
        if (!result)
            return result;
    }
    if (d->m_uiState == 3) {
        result = d->commands()->twainCmd(QByteArray(), DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM,
                                   QByteArray(kParentSize, '\0'));
        d->noteState(result);
        if (!result)
            return result;
    }
    if (d->m_uiState == 2) {
        result = d->commands()->unloadDsm();
        // The bridge keeps reporting state 2 after unloading; for us the DSM is gone.
        if (result)
            d->m_uiState = 1;
    }
    return result;
}

TwainResult TwainSession::close()
{
    return closeDsm();
}

// --- Sources -------------------------------------------------------------

TwainResult TwainSession::listSources(QList<SourceIdentity>& lstSources)
{
    const QString sOperation = QStringLiteral("listing the sources");
    lstSources.clear();
    if (d->m_uiState < 3)
        return TwainResult::refused(sOperation, QStringLiteral("the DSM is not open"));
    quint16 msg = MSG_GETFIRST;
    while (lstSources.size() < kMaxSources) {
        TwainResult next =
            d->commands()->twainCmd(QByteArray(), DG_CONTROL, DAT_IDENTITY, msg, QByteArray(kIdentitySize, '\0'));
        d->noteState(next);
        if (next.returnCode() == TWRC_ENDOFLIST && next.kind() == TwainResult::TwainFailed)
            return TwainResult::ok(sOperation);
        if (!next)
            return next;
        const SourceIdentity source = SourceIdentity::fromBlock(next.data());
        if (!source.isValid())
            return TwainResult::refused(sOperation, QStringLiteral("the DSM returned a short identity"));
        lstSources.append(source);
        msg = MSG_GETNEXT;
    }
    return TwainResult::refused(sOperation, QStringLiteral("the DSM's list of sources does not end"));
}

TwainResult TwainSession::defaultSource(SourceIdentity& source)
{
    if (d->m_uiState < 3)
        return TwainResult::refused(QStringLiteral("finding the default source"),
                                    QStringLiteral("the DSM is not open"));
    TwainResult result = d->commands()->twainCmd(QByteArray(), DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT,
                                           QByteArray(kIdentitySize, '\0'));
    d->noteState(result);
    if (result) {
        source = SourceIdentity::fromBlock(result.data());
        if (!source.isValid())
            return TwainResult::refused(result.operation(),
                                        QStringLiteral("the DSM returned a short identity"));
    } else if (result.conditionCode() == TWCC_NODS) {
        result.setReason(QStringLiteral("the DSM knows no source"));
    }
    return result;
}

QString TwainSession::simulatedScannerName()
{
    return QString::fromLatin1(simscanner::kProductName);
}

TwainResult TwainSession::scannerSource(SourceIdentity& source)
{
    const QString sOperation = QStringLiteral("finding a scanner");
    if (d->m_uiState != 3)
        return TwainResult::refused(sOperation, d->m_uiState < 3 ? QStringLiteral("the DSM is not open")
                                                              : QStringLiteral("a source is open"));
    // A default the user chose is taken as it is.
    if (!qEnvironmentVariableIsEmpty("PELIRAND_DEFAULT_SOURCE"))
        return defaultSource(source);
    QList<SourceIdentity> lstSources;
    const TwainResult listed = listSources(lstSources);
    if (!listed)
        return listed;
    // None at all: the DSM says so in its own words.
    if (lstSources.isEmpty())
        return defaultSource(source);
    bool bSane = false;
    for (const SourceIdentity& candidate : qAsConst(lstSources)) {
        // Pages, but no scanner behind them: only when asked for by name.
        if (candidate.productName == QLatin1String(simscanner::kProductName))
            continue;
        bSane = bSane || candidate.productName == QLatin1String(sanesource::kProductName);
        const TwainResult opened = openSource(candidate.productName);
        if (opened.kind() == TwainResult::BridgeLost)
            return opened;
        if (opened) {
            const TwainResult closed = closeSource();
            if (!closed)
                return closed;
            source = candidate;
            return TwainResult::ok(sOperation);
        }
    }
    return TwainResult::refused(sOperation, bSane ? QStringLiteral("SANE finds no device")
                                                  : QStringLiteral("no source has a device"));
}

TwainResult TwainSession::openSource(const QString& sProductName)
{
    if (d->m_uiState < 3)
        return TwainResult::refused(QStringLiteral("opening a source"),
                                    QStringLiteral("the DSM is not open"));
    if (d->m_uiState >= 4)
        return TwainResult::refused(QStringLiteral("opening a source"),
                                    QStringLiteral("%1 is already open").arg(d->m_source.productName));

    SourceIdentity target;
    QString sUnknown;
    if (sProductName.isEmpty()) {
        const TwainResult found = defaultSource(target);
        if (!found)
            return found;
    } else {
        QList<SourceIdentity> lstSources;
        const TwainResult listed = listSources(lstSources);
        if (!listed)
            return listed;
        for (int iPass = 0; iPass < 2 && !target.isValid(); ++iPass) {
            const Qt::CaseSensitivity cs = iPass == 0 ? Qt::CaseSensitive : Qt::CaseInsensitive;
            for (const SourceIdentity& source : qAsConst(lstSources)) {
                if (source.productName.compare(sProductName, cs) == 0) {
                    target = source;
                    break;
                }
            }
        }
        if (!target.isValid()) {
            // Let the DSM judge the name as well: it may know sources it does not list.
            target = SourceIdentity::byName(sProductName);
            QStringList lstNames;
            for (const SourceIdentity& source : qAsConst(lstSources))
                lstNames.append(QStringLiteral("\"%1\"").arg(source.productName));
            sUnknown = QStringLiteral("no source is named \"%1\" (the DSM lists %2)")
                           .arg(sProductName, lstNames.isEmpty() ? QStringLiteral("none")
                                                                 : lstNames.join(QStringLiteral(", ")));
        }
    }

    // Addressed to the DSM: no destination, the wanted source in the block.
    TwainResult opened = d->commands()->twainCmd(QByteArray(), DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, target.block);
    d->noteState(opened);
    if (!opened) {
        if (!sUnknown.isEmpty())
            opened.setReason(sUnknown);
        return opened;
    }
    const SourceIdentity actual = SourceIdentity::fromBlock(opened.data());
    d->m_source = actual.isValid() ? actual : target;
    d->m_lstDifferences.clear();
    d->m_hashReadBack.clear();
    return opened;
}

TwainResult TwainSession::closeSource()
{
    TwainResult result = TwainResult::ok(QStringLiteral("closing the source"));
    if (d->m_uiState >= 5) {
        result = disable();
        if (!result)
            return result;
    }
    if (d->m_uiState == 4 && d->m_source.isValid()) {
        QByteArray block = d->m_source.block;
        result = call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, block, false);
        if (result)
            d->m_source = SourceIdentity();
    }
    return result;
}

// --- Capabilities and triplets -------------------------------------------

TwainResult TwainSession::setCapability(quint16 cap, quint16 itemType, double value)
{
    const QString sOperation = QStringLiteral("setting %1 to %2").arg(capabilityName(cap)).arg(value);
    const TwainResult check = d->needSource(sOperation);
    if (!check)
        return check;
    const QByteArray bytes = itemBytes(itemType, value);
    if (bytes.isEmpty())
        return TwainResult::refused(sOperation, QStringLiteral("item type %1 is not a number").arg(itemType));
    TwainResult result = d->commands()->setCapOneValue(d->m_source.block, cap, itemType, bytes);
    result.setOperation(sOperation);
    if (result.kind() == TwainResult::TwainFailed && result.returnCode() == TWRC_CHECKSTATUS)
        result = TwainResult::ok(sOperation, TWRC_CHECKSTATUS);
    d->addConditionCode(result);
    if (result && cap < CAP_CUSTOMBASE) {
        // Some sources accept a value and keep another; what counts is what they have now.
        double actual = 0;
        if (capability(cap, itemType, actual)) {
            d->m_hashReadBack.insert(cap, actual);
            const double tolerance = itemType == TWTY_FIX32 ? 1.0 / 65536 : 0.0;
            if (qAbs(actual - value) > tolerance && result.returnCode() != TWRC_CHECKSTATUS) {
                const QString sDifference = QStringLiteral("%1: asked %2, the source has %3")
                                                .arg(capabilityName(cap))
                                                .arg(value)
                                                .arg(actual);
                d->m_lstDifferences.append(sDifference);
                result.setReason(sDifference);
            }
        }
    }
    return result;
}

bool TwainSession::readBack(quint16 cap, double& value) const
{
    if (!d->m_hashReadBack.contains(cap))
        return false;
    value = d->m_hashReadBack.value(cap);
    return true;
}

TwainResult TwainSession::setPixelType(quint16 pixelType, int iBitDepth)
{
    TwainResult result = setCapability(ICAP_PIXELTYPE, TWTY_UINT16, pixelType);
    if (!result)
        return result;
    int iDepth = iBitDepth;
    if (iDepth <= 0) {
        switch (pixelType) {
        case TWPT_BW:
            iDepth = 1;
            break;
        case TWPT_GRAY:
        case TWPT_PALETTE:
            iDepth = 8;
            break;
        case TWPT_RGB:
            iDepth = 24;
            break;
        default:
            return result; // no usual depth to set
        }
    }
    return setCapability(ICAP_BITDEPTH, TWTY_UINT16, iDepth);
}

TwainResult TwainSession::capability(quint16 cap, quint16 itemType, double& value, quint16 msg)
{
    const QString sOperation = QStringLiteral("reading %1").arg(capabilityName(cap));
    const TwainResult check = d->needSource(sOperation);
    if (!check)
        return check;
    if (itemBytes(itemType, 0).isEmpty())
        return TwainResult::refused(sOperation, QStringLiteral("item type %1 is not a number").arg(itemType));
    TwainResult result = d->commands()->getCapOneValue(d->m_source.block, cap, itemType, msg);
    if (result)
        value = itemValue(itemType, result.data());
    d->addConditionCode(result);
    return result;
}

TwainResult TwainSession::setCapabilityEnum(quint16 cap, quint16 itemType, const QVector<double>& values)
{
    const QString sOperation = QStringLiteral("setting %1").arg(capabilityName(cap));
    const TwainResult check = d->needSource(sOperation);
    if (!check)
        return check;
    QByteArray items;
    for (double value : values) {
        const QByteArray bytes = itemBytes(itemType, value);
        if (bytes.isEmpty())
            return TwainResult::refused(sOperation,
                                        QStringLiteral("item type %1 is not a number").arg(itemType));
        items += bytes;
    }
    TwainResult result = d->commands()->setCapEnum(d->m_source.block, cap, itemType, items);
    if (result.kind() == TwainResult::TwainFailed && result.returnCode() == TWRC_CHECKSTATUS)
        return TwainResult::ok(sOperation, TWRC_CHECKSTATUS);
    d->addConditionCode(result);
    return result;
}

TwainResult TwainSession::capabilityEnum(quint16 cap, QVector<quint16>& values)
{
    const QString sOperation = QStringLiteral("reading %1").arg(capabilityName(cap));
    const TwainResult check = d->needSource(sOperation);
    if (!check)
        return check;
    TwainResult result = d->commands()->getCapEnum(d->m_source.block, cap);
    values.clear();
    if (result) {
        const QByteArray data = result.data();
        for (int i = 0; i + 1 < data.size(); i += 2)
            values.append(readU16(data, i));
    }
    d->addConditionCode(result);
    return result;
}

TwainResult TwainSession::getCapability(quint16 cap, Capability& value, quint16 msg)
{
    const QString sOperation = QStringLiteral("reading %1").arg(capabilityIdName(cap));
    const TwainResult check = d->needSource(sOperation);
    if (!check)
        return check;
    quint16 conType = 0;
    TwainResult result = d->commands()->getCap(d->m_source.block, cap, msg, conType);
    result.setOperation(sOperation);
    d->noteState(result);
    if (!result)
        return result;
    QString sWhy;
    if (!Capability::fromContainer(cap, conType, result.data(), value, &sWhy))
        return TwainResult::refused(sOperation, sWhy);
    return result;
}

TwainResult TwainSession::setFileTransfer(const QString& sFileName, quint16 format)
{
    const TwainResult check = d->needSource(QStringLiteral("setting up the file transfer"));
    if (!check)
        return check;
    return d->sourceCall(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, setupFileXfer(sFileName, format));
}

TwainResult TwainSession::call(quint32 dg, quint16 dat, quint16 msg, QByteArray& block, bool bToSource)
{
    if (bToSource) {
        const TwainResult check = d->needSource(tripletName(dg, dat, msg));
        if (!check)
            return check;
    }
    const TwainResult result =
        d->commands()->twainCmd(bToSource ? d->m_source.block : QByteArray(), dg, dat, msg, block);
    d->noteState(result);
    if (result && !result.data().isEmpty())
        block = result.data();
    return result;
}

TwainResult TwainSession::conditionCode(quint16& cc)
{
    const bool bSource = d->m_uiState >= 4 && d->m_source.isValid();
    const TwainResult result = d->commands()->twainCmd(bSource ? d->m_source.block : QByteArray(), DG_CONTROL,
                                                 DAT_STATUS, MSG_GET, QByteArray(kStatusSize, '\0'));
    if (result)
        cc = readU16(result.data(), 0);
    return result;
}

// --- Scanning ------------------------------------------------------------

TwainResult TwainSession::enable(bool bShowUI, bool bModalUI)
{
    const QString sOperation = tripletName(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS);
    const TwainResult check = d->needSource(sOperation);
    if (!check)
        return check;
    if (d->m_uiState != 4)
        return TwainResult::refused(sOperation,
                                    QStringLiteral("the source is in %1").arg(stateText(d->m_uiState)));
    // Files of a file transfer are the caller's; those of every other mechanism are temporary.
    double mechanism = TWSX_NATIVE;
    d->m_mechanism =
        capability(ICAP_XFERMECH, TWTY_UINT16, mechanism) ? quint16(mechanism) : quint16(TWSX_NATIVE);
    d->m_bShowUI = bShowUI;
    d->m_bModalUI = bModalUI;
    d->m_current = BatchResult();
    const TwainResult result =
        d->sourceCall(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, userInterface(bShowUI, bModalUI));
    // The source shows its dialog after all when it cannot scan without.
    if (result.kind() == TwainResult::TwainFailed && result.returnCode() == TWRC_CHECKSTATUS)
        return TwainResult::ok(sOperation, TWRC_CHECKSTATUS);
    return result;
}

TwainResult TwainSession::cancel(CancelScope scope)
{
    const QString sOperation = scope == CancelScope::RestOfBatch ? QStringLiteral("cancelling the batch")
                                                                 : QStringLiteral("cancelling the page");
    if (d->m_uiState < 5 || !d->m_source.isValid())
        return TwainResult::ok(sOperation);
    TwainResult result = d->commands()->endBatch(scope == CancelScope::RestOfBatch);
    result.setOperation(sOperation);
    if (result.kind() == TwainResult::BridgeLost)
        return result;
    if (result.hasState() && !d->m_bSettling)
        d->m_uiState = result.state();
    if (result)
        d->m_current.cancelled = true;
    return result;
}

TwainResult TwainSessionPrivate::endTransfers()
{
    TwainResult result = TwainResult::ok(QStringLiteral("ending the transfers"));
    if (m_uiState == 7) {
        result = sourceCall(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, QByteArray(kPendingXfersSize, '\0'));
        if (!result)
            return result;
    }
    if (m_uiState == 6)
        result = sourceCall(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, QByteArray(kPendingXfersSize, '\0'));
    return result;
}

TwainResult TwainSession::disable()
{
    const QString sOperation = tripletName(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS);
    if (d->m_uiState >= 6) {
        const TwainResult ended = d->endTransfers();
        if (!ended)
            return ended;
    }
    if (d->m_uiState != 5)
        return TwainResult::ok(sOperation);
    TwainResult result =
        d->sourceCall(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, userInterface(d->m_bShowUI, d->m_bModalUI));
    if (!result && result.kind() == TwainResult::TwainFailed && result.conditionCode() == TWCC_SEQERROR) {
        // A source whose announcement of its pages never arrived (a DSM that
        // took no callback) holds them already: they are dropped, then it is disabled.
        const TwainResult reset =
            d->sourceCall(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, QByteArray(kPendingXfersSize, '\0'));
        if (reset && d->m_uiState == 5)
            result = d->sourceCall(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS,
                                userInterface(d->m_bShowUI, d->m_bModalUI));
    }
    return result;
}

TwainResult TwainSession::waitForBatch(BatchResult& result, int iTimeoutMs)
{
    const QString sOperation = QStringLiteral("waiting for the source's images");
    if (d->m_lstFinished.isEmpty()) {
        if (d->m_bridge.hasEndedUnexpectedly()) {
            result = d->m_current;
            d->m_current = BatchResult();
            return TwainResult::bridgeLost(sOperation, d->m_bridge.endReason());
        }
        if (d->m_uiState < 5 && !d->m_bSettling)
            return TwainResult::refused(sOperation, QStringLiteral("the source is not enabled"));

        QEventLoop loop;
        connect(this, &TwainSession::batchEnded, &loop, &QEventLoop::quit);
        connect(&d->m_bridge, &Bridge::endedUnexpectedly, &loop, &QEventLoop::quit);
        QTimer timer;
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        if (iTimeoutMs >= 0)
            timer.start(iTimeoutMs);
        // A bridge stuck in a TWAIN call of its transfer loop answers nothing:
        // a round trip bounded by the call timeout finds out.
        // Checked every so often across calls, however short the caller's waits.
        QTimer watchdog;
        if (d->m_bridge.callTimeout() > 0) {
            const int iEveryMs = qBound(100, d->m_bridge.callTimeout() / 2, 5000);
            connect(&watchdog, &QTimer::timeout, this, [this, iEveryMs] {
                if (d->m_bSettling || d->m_bridge.hasEndedUnexpectedly())
                    return;
                if (d->m_lastWatch.isValid() && d->m_lastWatch.elapsed() < iEveryMs)
                    return;
                d->m_lastWatch.start();
                d->m_bridge.watchTransferLoop();
            });
            watchdog.start(qMin(iEveryMs, 50));
        }
        d->m_bWaiting = true;
        d->updateActivity();
        while (d->m_lstFinished.isEmpty() && !d->m_bridge.hasEndedUnexpectedly() &&
               (iTimeoutMs < 0 || timer.isActive()))
            loop.exec();
        watchdog.stop();
        d->m_bWaiting = false;
        d->updateActivity();
        if (d->m_lstFinished.isEmpty()) {
            if (d->m_bridge.hasEndedUnexpectedly()) {
                // What arrived before stays the caller's, also what is still queued.
                QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
                result = d->m_current;
                d->m_current = BatchResult();
                return TwainResult::bridgeLost(sOperation, d->m_bridge.endReason());
            }
            return TwainResult::refused(sOperation,
                                        QStringLiteral("no batch ended within %1 ms").arg(iTimeoutMs));
        }
    }
    result = d->m_lstFinished.takeFirst();
    return TwainResult::ok(sOperation);
}

void TwainSessionPrivate::updateActivity()
{
    commands()->setActivity(
        m_bWaiting ? QStringLiteral("the batch of transfers (%1 images received)").arg(m_current.imageCount)
                   : QString());
}

void TwainSessionPrivate::onMessageRelayed(uint uiMsg, uint uiState)
{
    m_uiState = uiState;
    if (uiMsg == 0) {
        // The end of a batch; files of a file transfer follow from the bridge's event loop.
        m_current.transferred = true;
        m_current.endState = uiState;
        if (!m_bSettling) {
            m_bSettling = true;
            QTimer::singleShot(0, q, [this] { settleBatch(); });
        }
        return;
    }
    emit q->sourceMessageReceived(uiMsg, uiState);
    if (uiMsg != MSG_CLOSEDSREQ && uiMsg != MSG_CLOSEDSOK)
        return;
    BatchResult closeRequest;
    closeRequest.closeMessage = uiMsg;
    closeRequest.endState = uiState;
    if (m_bSettling) {
        // After the batch it follows.
        m_lstAfterBatch.append(closeRequest);
        return;
    }
    m_lstFinished.append(closeRequest);
    emit q->batchEnded(closeRequest);
}

void TwainSessionPrivate::settleBatch()
{
    // Every file the bridge reports after the batch's message it sends before
    // it reads our next request from its event loop: a round trip in which no
    // notification arrives means none is outstanding.
    // Bounded, in case a source never stops talking.
    for (int i = 0; i < kMaxSettleTrips; ++i) {
        const int nBefore = commands()->notificationCount();
        if (!commands()->getNumCommands())
            break;
        if (commands()->notificationCount() == nBefore)
            break;
    }
    // Queued behind the signals of every notification counted so far.
    QMetaObject::invokeMethod(q, [this] { finishBatch(); }, Qt::QueuedConnection);
}

void TwainSessionPrivate::finishBatch()
{
    BatchResult result = m_current;
    m_current = BatchResult();
    if (result.transferFailed() && !m_bridge.hasEndedUnexpectedly()) {
        quint16 cc = 0;
        if (q->conditionCode(cc)) {
            result.hasConditionCode = true;
            result.conditionCode = cc;
        }
        // The bridge stops the batch at the failed transfer; the source can
        // only go on once the transfers are ended.
        endTransfers();
    }
    m_bSettling = false;
    m_lstFinished.append(result);
    emit q->batchEnded(result);
    const QList<BatchResult> lstAfter = m_lstAfterBatch;
    m_lstAfterBatch.clear();
    for (const BatchResult& after : lstAfter) {
        m_lstFinished.append(after);
        emit q->batchEnded(after);
    }
}

void TwainSessionPrivate::onSourceFaults(const QStringList& lstFaults)
{
    m_current.sourceFaults += lstFaults;
}

bool fileIsInFolder(const QString& sFileName, const QString& sFolder)
{
    // Compared with symbolic links and ".." resolved on both sides: a name that climbs out of the
    // folder, or a link that leads out of it, is not in it.
    const QFileInfo file(sFileName);
    const QFileInfo folder(sFolder);
    if (sFolder.isEmpty() || !file.isAbsolute() || !file.isFile() || !folder.isDir())
        return false;
    const QString sCanonicalFolder = folder.canonicalFilePath();
    return !sCanonicalFolder.isEmpty() && file.canonicalPath() == sCanonicalFolder;
}

bool TwainSessionPrivate::isBridgeTemporary(const QString& sFileName) const
{
    // Only files in the bridge's temporary folder are ever removed, whatever name a bridge reports.
    return fileIsInFolder(sFileName, m_bridge.bridgeTempPath());
}

void TwainSessionPrivate::onImageFileReceived(int iId, const QString& sFileName)
{
    Image image;
    image.id = iId;
    image.fileName = sFileName;
    image.mechanism = m_mechanism;
    // Ids -1 and -2 are files the bridge made; a source's file (0) is ours
    // to remove only when it lies in the bridge's folder.
    image.temporary = (iId != 0 || m_mechanism != TWSX_FILE) && isBridgeTemporary(sFileName);
    image.index = ++m_current.imageCount;
    // Only the bridge's own temporary files are mapped, and then as a private
    // copy: a file that shrinks later cannot take bytes from under the page.
    QString sMapError;
    if (m_bMapImages && image.temporary)
        image.mapping = mapImageFile(sFileName, sMapError);
    QFile file(sFileName);
    if (image.mapping) {
        // Mapped: the bytes stay where they are.
    } else if (sMapError == QLatin1String("empty")) {
        image.error = QStringLiteral("%1 is empty").arg(sFileName);
    } else if (file.open(QIODevice::ReadOnly)) {
        image.data = file.readAll();
        file.close();
        if (image.data.isEmpty())
            image.error = QStringLiteral("%1 is empty").arg(sFileName);
    } else {
        image.error = QStringLiteral("cannot read %1: %2").arg(sFileName, file.errorString());
    }
    if (!image.error.isEmpty())
        m_current.problems.append(image.error);
    m_current.byteCount += image.byteCount();
    updateActivity();

    emit q->imageReceived(image);
    if (m_bCollect)
        m_current.images.append(image);
    if (image.temporary)
        QFile::remove(sFileName);
}

void TwainSessionPrivate::onImageFailed(int iPage, const QString& sWhy)
{
    m_current.failures.append(QStringLiteral("page %1: %2").arg(iPage).arg(sWhy));
    updateActivity();
    emit q->imageFailed(iPage, sWhy);
}

} // namespace pelirand
