// TWAIN event routing: the native event filter and the DSM callback capture the
// source's messages; on_CallbackMsg reacts to them later from the event loop.

#include "app/pelirandapp.h"

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QMutexLocker>
#include <QPointer>
#include <QTimer>

#include <atomic>

#include <cstring>

#include "protocol/commandcodes.h"
#include "diag/log.h"
#include "diag/twnames.h"
#include "ipc/vantipcclient.h"
#include "ipc/vantipcserver.h"
#include "xfer/twainxfer.h"

namespace {

// True while on_CallbackMsg runs a batch of transfers. A buffered transfer runs
// the event loop between blocks; a message that arrives then waits for the
// batch to end instead of starting a second batch inside the first. Read by
// the DSM callback on any thread.
std::atomic<bool> s_bInBatch{false};
// True while the batch's pages are transferred (the source has a page at
// hand, state 6 or 7). Once the source said it has none left, a
// MSG_XFERREADY announces a new batch, even while this one still ends its
// business with the source: it waits for the batch's end like any other
// message instead of being dropped as a repeat.
std::atomic<bool> s_bTransfersRunning{false};
// Messages the source sent while the batch ran: repeated MSG_XFERREADY are
// dropped as they come, close requests wait for the batch's end.
std::atomic<int> s_nReadyInBatch{0};
std::atomic<int> s_nCloseInBatch{0};
// A buffered image's further blocks are announced only now and then.
constexpr qint64 kBlockAnnounceMs = 500;

// How often a deferred message looks whether the call it waits for is over
// (the end of every TWAIN call and of every batch posts it at once).
constexpr int kDeferCheckMs = 50;

// How a failure's condition reads in the bridge's own words: its name, or
// that the source gave none (never a success code).
QString conditionText(TW_UINT16 nCondition)
{
    if (nCondition == TWCC_SUCCESS)
        return QStringLiteral("the scanner gave no reason");
    return QString::fromLatin1(TwccName(nCondition));
}

} // namespace

QMutex g_appLock;

void pelirandApp::readWaitingCommands()
{
    // Only the connections are read: queued work (such as the names of files
    // a source wrote) keeps waiting for the end of the batch as usual.
    if (!m_pIPCServer)
        return;
    const QList<QLocalSocket*> lstSockets = m_pIPCServer->findChildren<QLocalSocket*>();
    for (QLocalSocket* pFound : lstSockets) {
        QPointer<QLocalSocket> pSocket = pFound;
        if (pSocket && pSocket->state() == QLocalSocket::ConnectedState)
            pSocket->waitForReadyRead(0);
    }
}

bool pelirandApp::InBatch()
{
    return s_bInBatch.load();
}

eventTWFilterClass::~eventTWFilterClass() = default;

bool eventTWFilterClass::nativeEventFilter(const QByteArray& eventType, void* message, long* result)
{
    Q_UNUSED(eventType);
    Q_UNUSED(result);
    pelirandApp* pApp = g_pApp;
    if (!pApp || pApp->m_State < 5)
        return false;

    TW_EVENT event;
    event.pEvent = message;
    event.TWMessage = MSG_NULL;
    const TW_UINT16 rc = pApp->TwainCmd(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event, &pApp->m_SourceID);
    if (rc != TWRC_DSEVENT)
        return false;

    switch (event.TWMessage) {
    case MSG_XFERREADY:
    case MSG_CLOSEDSREQ:
    case MSG_CLOSEDSOK:
    case MSG_DEVICEEVENT:
        emit pApp->si_CallbackMsg(event.TWMessage);
        break;
    case MSG_NULL:
        break;
    default:
        logPrintf("ProcessTwainEvent: msg=%1i", event.TWMessage);
        break;
    }
    return true;
}

TW_UINT16 TW_CALLINGSTYLE DSMCallback(pTW_IDENTITY pOrigin, pTW_IDENTITY pDest, TW_UINT32 DG, TW_UINT16 DAT,
                                      TW_UINT16 MSG, TW_MEMREF pData)
{
    Q_UNUSED(pOrigin);
    Q_UNUSED(pDest);
    Q_UNUSED(DG);
    Q_UNUSED(DAT);
    Q_UNUSED(pData);
    // The connection is queued: emitting only posts the call to the event
    // loop's thread, whichever thread the source calls from. The lock keeps
    // the application from going away while the call is posted.
    if (s_bInBatch) {
        // The pages it announces again are the ones being transferred.
        if (MSG == MSG_XFERREADY && s_bTransfersRunning) {
            ++s_nReadyInBatch;
            return TWRC_SUCCESS;
        }
        if (MSG == MSG_CLOSEDSREQ)
            ++s_nCloseInBatch;
    }
    QMutexLocker lock(&g_appLock);
    if (pelirandApp* pApp = g_pApp)
        emit pApp->si_CallbackMsg(MSG);
    return TWRC_SUCCESS;
}

TW_UINT16 pelirandApp::on_CallbackMsg(uint uiMSG)
{
    if (s_bTransfersRunning && uiMSG == MSG_XFERREADY) {
        // The pages it announces are the ones being transferred: a second
        // batch over them would only find them gone, or deliver them twice.
        ++s_nReadyInBatch;
        return 0;
    }
    // A source that runs its own message loop inside a call lets queued calls
    // in; the reaction must still come after the call (and after a running
    // batch), where its TWAIN calls are not refused as re-entrant.
    // Kept until that call or batch is over (not re-posted at once, which
    // would keep the thread busy for as long as a dialog stays open).
    if (m_bInCall || s_bInBatch) {
        m_deferredMsgs.append(uiMSG);
        if (!m_pDeferTimer) {
            m_pDeferTimer = new QTimer(this);
            m_pDeferTimer->setSingleShot(true);
            m_pDeferTimer->setInterval(kDeferCheckMs);
            connect(m_pDeferTimer, &QTimer::timeout, this, [this] {
                if (m_bInCall || s_bInBatch)
                    m_pDeferTimer->start();
                else
                    postDeferredMessages();
            });
        }
        if (!m_pDeferTimer->isActive())
            m_pDeferTimer->start();
        return 0;
    }

    logPrintf("DSMCallback or ProcessTwainEvent: msg=%1i", uiMSG);
    if (uiMSG == MSG_XFERREADY && m_State >= 6) {
        // A batch stopped in state 6 or 7 waits for the main application to end it.
        logPrintf("MSG_XFERREADY in state %1i, ignored", m_State);
        return 0;
    }
    if (uiMSG == MSG_CLOSEDSREQ && m_State == 5 && sourceHasPage()) {
        // The source asks to be closed but holds pages: they come first.
        logPrintf("MSG_CLOSEDSREQ while the source holds pages: they are transferred first");
        m_lstBatchNotes.clear();
        noteSourceFault(QStringLiteral("the scanner asked to be closed before it announced its pages; "
                                       "they were transferred first"));
        NotifyDSMsg(MSG_XFERREADY);
        runBatch();
        sendToMainApp<cmdCallbackMsg>({uiMSG, m_State, {}}, 2);
        return 0;
    }

    const TW_UINT16 oldState = m_State;
    NotifyDSMsg(static_cast<TW_UINT16>(uiMSG));
    if (m_State != oldState)
        logPrintf("state changed from %1i to %1i", oldState, m_State);

    if (uiMSG == MSG_XFERREADY) {
        m_lstBatchNotes.clear();
        runBatch();
    } else {
        sendToMainApp<cmdCallbackMsg>({uiMSG, m_State, {}}, 2);
    }
    return 0;
}

TW_UINT16 pelirandApp::TwainCmd(TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG, TW_MEMREF pData,
                                pTW_IDENTITY pDest)
{
    // Further blocks of a buffered image are not announced: the loop answers
    // the main application between them anyway.
    static QElapsedTimer s_lastAnnounced;
    const bool bNextBlock = m_State == 7 && (DAT == DAT_IMAGEMEMXFER || DAT == DAT_IMAGEMEMFILEXFER);
    if (m_bAnnounceCalls && s_bInBatch && !m_bInCall && MSG != MSG_PROCESSEVENT &&
        (!bNextBlock || !s_lastAnnounced.isValid() || s_lastAnnounced.elapsed() >= kBlockAnnounceMs)) {
        s_lastAnnounced.start();
        sendToMainApp<cmdTwainCall>({DG, DAT, MSG});
    }
    const TW_UINT16 rc = CTwainIODirect::TwainCmd(DG, DAT, MSG, pData, pDest);
    if (s_bInBatch && rc == TWRC_FAILURE && isTransferTriplet(DAT, MSG)) {
        m_xferFailStatus = m_Status;
        m_bXferFailed = true;
    }
    if (!m_bInCall && !s_bInBatch)
        postDeferredMessages();
    return rc;
}

void pelirandApp::noteSourceFault(const QString& sNote)
{
    if (!m_lstBatchNotes.contains(sNote))
        m_lstBatchNotes.append(sNote);
}

bool pelirandApp::sourceHasPage()
{
    // Asked in state 5, where DAT_IMAGEINFO is out of place (a lenient source
    // would answer it anyway): the pending count may be asked in any state
    // from 4 on, and a source that holds pages counts them.
    TW_PENDINGXFERS pending;
    std::memset(&pending, 0, sizeof(pending));
    return TwainCmd(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending, &m_SourceID) == TWRC_SUCCESS &&
           pending.Count != 0;
}

bool pelirandApp::pendingCountAfterFailedEnd()
{
    TW_PENDINGXFERS pending;
    std::memset(&pending, 0, sizeof(pending));
    pending.Count = static_cast<TW_UINT16>(-1);
    if (TwainCmd(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending, &m_SourceID) != TWRC_SUCCESS)
        return false;
    m_State = pending.Count != 0 ? 6 : 5;
    logPrintf("pending=%1i after a failed MSG_ENDXFER, state %1i", static_cast<TW_INT16>(pending.Count),
              m_State);
    return true;
}

void pelirandApp::runBatch()
{
    const TW_UINT16 nStartState = 5;
    s_nReadyInBatch = 0;
    s_nCloseInBatch = 0;
    m_bXferFailed = false;
    m_bKeepXferFailStatus = false;
    s_bInBatch = true;
    s_bTransfersRunning = true;
    m_pXFer->ResetBatchNotes();
    int nPage = 0;
    bool bReport = true;
    for (;;) {
        // A request to end the batch (taken before the first page, between
        // two pages or between two blocks) is carried out here, where our
        // own TWAIN calls are not nested in another.
        if (m_pXFer->PendingBatchEnd() != CTwainXFer::EndNothing) {
            m_pXFer->HonourBatchEnd();
            if (m_State != 6)
                break;
            continue;
        }
        ++nPage;
        const int nAnnounced = m_nImagesAnnounced;
        const TW_UINT16 rc = m_pXFer->DoTransfer();
        if (rc != 0 && m_pXFer->StoppedByRequest() && m_State >= 6)
            continue;
        if (rc == 0 && m_pXFer->PendingBatchEnd() == CTwainXFer::EndPage) {
            // A request for the page at hand that came while a page arrived
            // whole meant that page: it is delivered and the request is moot.
            m_pXFer->ClearBatchEnd();
        }
        if (rc != 0) {
            const TW_UINT16 infoRc = m_pXFer->ImageInfoResult();
            if (m_State == 6 && infoRc == TWRC_FAILURE && m_Status.ConditionCode == TWCC_SEQERROR) {
                // No page at hand: a stale or repeated announcement, or a count that was too high.
                logPrintf("the source has no page at hand, state %1i", nStartState);
                m_State = nStartState;
                if (nPage == 1) {
                    logPrintf("MSG_XFERREADY without a page, ignored");
                    bReport = false;
                } else {
                    noteSourceFault(QStringLiteral("the scanner counted more pages than it had"));
                }
                break;
            }
            if (m_State == 6 && infoRc == TWRC_CANCEL) {
                // Not a code DAT_IMAGEINFO may answer: the source gave up.
                logPrintf("DAT_IMAGEINFO answered TWRC_CANCEL: the remaining pages are dropped");
                noteSourceFault(QStringLiteral("the scanner cancelled where it may not (page %1); the "
                                               "remaining pages were dropped")
                                    .arg(nPage));
                TW_PENDINGXFERS pending;
                std::memset(&pending, 0, sizeof(pending));
                TwainCmd(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending, &m_SourceID);
                break;
            }
            if (m_State == 7 && (rc == TWRC_CANCEL || rc == TWRC_FAILURE)) {
                // The page is lost, not the batch: end it and go on with the next.
                if (rc == TWRC_CANCEL) {
                    logPrintf("page %1i dropped: the source cancelled it", nPage);
                    noteSourceFault(QStringLiteral("page %1 was cancelled by the scanner").arg(nPage));
                } else {
                    const TW_UINT16 nCondition =
                        m_bXferFailed ? m_xferFailStatus.ConditionCode : m_Status.ConditionCode;
                    logPrintf("page %1i dropped: the transfer failed in the middle (condition %s)", nPage,
                              TwccName(nCondition));
                    noteSourceFault(QStringLiteral("page %1 was dropped: the scanner failed in the middle of "
                                                   "it (%2)")
                                        .arg(nPage)
                                        .arg(conditionText(nCondition)));
                }
                // Dealt with: the batch goes on, and ends by its own outcome.
                m_bXferFailed = false;
            } else {
                break;
            }
        } else if (m_nImagesAnnounced == nAnnounced) {
            logPrintf("page %1i dropped: the source handed over no usable image", nPage);
            noteSourceFault(
                QStringLiteral("page %1 was dropped: the scanner handed over no usable image").arg(nPage));
        }
        if (m_pXFer->DoEndXfer() != 0) {
            // Some sources end the page and still answer a failure: ask where they stand.
            if (m_State != 7 || !pendingCountAfterFailedEnd())
                break;
            noteSourceFault(
                QStringLiteral("the scanner reported a failure ending page %1 but went on").arg(nPage));
        }
        s_bTransfersRunning = m_State >= 6;
        if (m_State == 5 && sourceHasPage()) {
            // A count of 0 while the source still holds a page.
            logPrintf("pending count 0, but the source holds a page: the batch goes on");
            noteSourceFault(QStringLiteral("the scanner reported no more pages but kept feeding"));
            m_State = 6;
            s_bTransfersRunning = true;
        }
        if (m_State != 6)
            break;
        // Between two pages: a request from the main application may be waiting.
        readWaitingCommands();
        // A file batch runs no event loop between pages: notice a lost main application here.
        if (m_pIPCClient)
            m_pIPCClient->pollConnection();
    }
    s_bTransfersRunning = false;
    m_pXFer->ClearBatchEnd();
    // A batch that a failed transfer ended keeps that failure's status for the main application.
    m_bKeepXferFailStatus = m_bXferFailed && m_State != 5;
    // The source gets the application's own file name back.
    m_pXFer->RestoreFileSetup();
    if (m_pXFer->ColumnsDerived())
        noteSourceFault(QStringLiteral("the scanner's strips said 0 columns; the row length was used"));
    s_bInBatch = false;
    if (s_nReadyInBatch > 0) {
        logPrintf("MSG_XFERREADY repeated %1i times during the batch, ignored", int(s_nReadyInBatch));
        noteSourceFault(QStringLiteral("the scanner announced its pages again during the transfer; "
                                       "the repeat was ignored"));
    }
    if (s_nCloseInBatch > 0) {
        logPrintf("MSG_CLOSEDSREQ during the batch: passed on after its end");
        noteSourceFault(QStringLiteral("the scanner asked to be closed during the transfer; "
                                       "the request waited for the last page"));
    }
    postDeferredMessages();
    if (!bReport)
        return;
    // The batch's notes go along only when there are any.
    sendToMainApp<cmdCallbackMsg>({0u, m_State, m_lstBatchNotes.join(QLatin1Char('\n'))},
                                  m_lstBatchNotes.isEmpty() ? 2 : 3);
    m_lstBatchNotes.clear();
}

void pelirandApp::postDeferredMessages()
{
    if (m_deferredMsgs.isEmpty())
        return;
    const QVector<uint> msgs = m_deferredMsgs;
    m_deferredMsgs.clear();
    for (const uint uiMSG : msgs)
        QMetaObject::invokeMethod(
            this, [this, uiMSG] { on_CallbackMsg(uiMSG); }, Qt::QueuedConnection);
}

void pelirandApp::on_EnableDS()
{
    TwainCmd(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &m_dsUI, &m_SourceID);
}

void pelirandApp::on_LoadDS()
{
    TwainCmd(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &m_SourceID, nullptr);
}
