// TWAIN event routing: the native event filter and the DSM callback capture the
// source's messages; on_CallbackMsg reacts to them later from the event loop.

#include "app/pelirandapp.h"

#include <QLocalSocket>
#include <QPointer>
#include <QTimer>

#include "app/commandcodes.h"
#include "diag/log.h"
#include "ipc/vantipcclient.h"
#include "ipc/vantipcserver.h"
#include "xfer/twainxfer.h"

namespace {

// True while on_CallbackMsg runs a batch of transfers. A buffered transfer runs
// the event loop between blocks; a message that arrives then waits for the
// batch to end instead of starting a second batch inside the first.
bool s_bInBatch = false;

} // namespace

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
    return s_bInBatch;
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
    // loop's thread, whichever thread the source calls from.
    if (pelirandApp* pApp = g_pApp)
        emit pApp->si_CallbackMsg(MSG);
    return TWRC_SUCCESS;
}

TW_UINT16 pelirandApp::on_CallbackMsg(uint uiMSG)
{
    // A source that runs its own message loop inside a call lets queued calls
    // in; the reaction must still come after the call (and after a running
    // batch), where its TWAIN calls are not refused as re-entrant.
    if (m_bInCall || s_bInBatch) {
        QTimer::singleShot(0, this, [this, uiMSG] { on_CallbackMsg(uiMSG); });
        return 0;
    }

    logPrintf("DSMCallback or ProcessTwainEvent: msg=%1i", uiMSG);
    const TW_UINT16 oldState = m_State;
    NotifyDSMsg(static_cast<TW_UINT16>(uiMSG));
    if (m_State != oldState)
        logPrintf("state changed from %1i to %1i", oldState, m_State);

    if (uiMSG == MSG_XFERREADY) {
        s_bInBatch = true;
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
            if (m_pXFer->DoTransfer() != 0) {
                if (m_pXFer->StoppedByRequest() && m_State >= 6)
                    continue;
                break;
            }
            // A request for the page at hand that came while a page arrived
            // whole meant that page: it is delivered and the request is moot.
            if (m_pXFer->PendingBatchEnd() == CTwainXFer::EndPage)
                m_pXFer->ClearBatchEnd();
            if (m_pXFer->DoEndXfer() != 0)
                break;
            if (m_State != 6)
                break;
            // Between two pages: a request from the main application may be waiting.
            readWaitingCommands();
            // A file batch runs no event loop between pages: notice a lost main application here.
            if (m_pIPCClient)
                m_pIPCClient->pollConnection();
        }
        m_pXFer->ClearBatchEnd();
        s_bInBatch = false;
        sendToMainApp(cmdCallbackMsg, {QVariant(0u), QVariant(static_cast<uint>(m_State))});
    } else {
        sendToMainApp(cmdCallbackMsg, {QVariant(uiMSG), QVariant(static_cast<uint>(m_State))});
    }
    return 0;
}

void pelirandApp::on_EnableDS()
{
    TwainCmd(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &m_dsUI, &m_SourceID);
}

void pelirandApp::on_LoadDS()
{
    TwainCmd(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &m_SourceID, nullptr);
}
