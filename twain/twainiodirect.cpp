#include "twain/twainiodirect.h"

#include <cstdint>
#include <cstring>

#include "diag/log.h"
#include "diag/twnames.h"
#include "twain/dsmlib.h"

namespace {

// Clears the in-call flag on every way out of TwainCmd.
class InCallGuard
{
public:
    explicit InCallGuard(bool& bFlag) : m_bFlag(bFlag) { m_bFlag = true; }
    ~InCallGuard() { m_bFlag = false; }
    InCallGuard(const InCallGuard&) = delete;
    InCallGuard& operator=(const InCallGuard&) = delete;

private:
    bool& m_bFlag;
};

unsigned ptrValue(const void* p)
{
    // The log shows 32-bit values; a 64-bit build prints the low half.
    return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(p));
}

} // namespace

CTwainIODirect::CTwainIODirect()
    : m_nDSM(0), m_State(1), m_bModalUI(false), m_bInCall(false), m_hDSWindow(nullptr), m_bFirstXfer(true)
{
    std::memset(&m_Status, 0, sizeof(m_Status));
    std::memset(&m_AppID, 0, sizeof(m_AppID));
    std::memset(&m_SourceID, 0, sizeof(m_SourceID));
}

void CTwainIODirect::ReservedOp0() {}

int CTwainIODirect::ReservedOp1()
{
    return 0;
}

TW_UINT16 CTwainIODirect::LoadDSM()
{
    if (!LoadDSMLib(DSMLibName(m_nDSM)))
        return 1;
    logPrintf("DSM loaded: %s from %s", LoadedDSMName(), LoadedDSMFile().c_str());
    m_State = 2;
    return 0;
}

void CTwainIODirect::UnloadDSM()
{
    UnloadDSMLib();
    m_State = 1;
}

TW_UINT16 CTwainIODirect::TwainCmd(TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG, TW_MEMREF pData,
                                   pTW_IDENTITY pDest)
{
    // The event filter sends MSG_PROCESSEVENT for every window message; it stays out of the log.
    const bool bLog = MSG != MSG_PROCESSEVENT;
    m_Status.ConditionCode = TWCC_SUCCESS;
    if (bLog)
        logPrintf("%s, %s, %s, pData=0x%08X, pSrc=0x%08X", DgName(DG), DatName(DAT), MsgName(MSG),
                  ptrValue(pData), ptrValue(pDest));

    if (m_bInCall) {
        // A source's own message loop let another call in while one is inside the DSM.
        m_Status.ConditionCode = TWCC_DENIED;
        if (bLog) {
            logPrintf("*** Attempt to make re-entrant TWAIN call rejected");
            logPrintf("Result = %s, Condition Code = %s", TwrcName(TWRC_FAILURE),
                      TwccName(m_Status.ConditionCode));
        }
        return TWRC_FAILURE;
    }

    TW_UINT16 rc = TWRC_FAILURE;
    {
        InCallGuard guard(m_bInCall);
        if (m_State < 2) {
            m_Status.ConditionCode = TWCC_SEQERROR;
        } else {
            const TW_UINT16 oldState = m_State;
            ReloadFreedDSM();
            rc = CallDSMEntry(&m_AppID, pDest, DG, DAT, MSG, pData, 0);
            if (rc == TWRC_FAILURE || rc == TWRC_CHECKSTATUS) {
                // The condition is the one the source gives for this call; a
                // source that gives none (or whose status cannot be read) gave
                // no reason, which TWCC_SUCCESS says, never a code of its own.
                m_Status.ConditionCode = TWCC_SUCCESS;
                if (CallDSMEntry(&m_AppID, pDest, DG_CONTROL, DAT_STATUS, MSG_GET, &m_Status, 0) != TWRC_SUCCESS)
                    m_Status.ConditionCode = TWCC_SUCCESS;
                if (rc == TWRC_CHECKSTATUS && DAT == DAT_USERINTERFACE && MSG == MSG_ENABLEDS) {
                    // Enabled all the same: the source only could not honour ShowUI.
                    applyTransition(DAT, MSG, pData);
                    if (m_State != oldState)
                        logPrintf("* State transition %d -> %d *", oldState, m_State);
                }
            } else {
                // A call refused while this one was inside the DSM wrote its
                // TWCC_DENIED here; this call's own outcome is success.
                m_Status.ConditionCode = TWCC_SUCCESS;
                // TWRC_CANCEL is a transfer's code; from any other triplet it
                // is a source outside the standard, and nothing happened.
                if (rc != TWRC_CANCEL || isTransferTriplet(DAT, MSG))
                    applyTransition(DAT, MSG, pData);
                else
                    logPrintf("TWRC_CANCEL is no answer to this triplet: the state stays %d", oldState);
                if (DAT == DAT_PARENT && MSG == MSG_OPENDSM)
                    FetchDSMEntryPoint();
                else if (DAT == DAT_PARENT && MSG == MSG_CLOSEDSM)
                    ResetDSMEntryPoint();
                if (m_State != oldState) {
                    logPrintf("* State transition %d -> %d *", oldState, m_State);
                    if (oldState == 6 && m_State == 7)
                        m_bFirstXfer = false;
                    else if (oldState < 6 && m_State == 6)
                        m_bFirstXfer = true;
                }
            }
        }
    }

    if (bLog)
        logPrintf("Result = %s, Condition Code = %s", TwrcName(rc), TwccName(m_Status.ConditionCode));
    return rc;
}

bool CTwainIODirect::isTransferTriplet(TW_UINT16 DAT, TW_UINT16 MSG)
{
    return MSG == MSG_GET && (DAT == DAT_IMAGEMEMXFER || DAT == DAT_IMAGENATIVEXFER ||
                              DAT == DAT_IMAGEFILEXFER || DAT == DAT_IMAGEMEMFILEXFER);
}

void CTwainIODirect::ReloadFreedDSM()
{
    if (DSMLibHeld() || m_State < 3)
        return;
    // The library the on-demand load of a call would take.
    if (!LoadDSMLib(DSMLibName(0)))
        return;
    logPrintf("DSM loaded again: %s from %s", LoadedDSMName(), LoadedDSMFile().c_str());
    FetchDSMEntryPoint();
}

void CTwainIODirect::FetchDSMEntryPoint()
{
    ResetDSMEntryPoint();
    // A TWAIN 2 DSM says so in our identity; its sources then allocate what
    // they hand over through its memory functions, and so must we.
    if (!(m_AppID.SupportedGroups & DF_DSM2))
        return;
    TW_ENTRYPOINT ep;
    std::memset(&ep, 0, sizeof(ep));
    // The native size: a 64-bit DSM refuses the 32-bit one.
    ep.Size = sizeof(TW_ENTRYPOINT);
    const TW_UINT16 rc = CallDSMEntry(&m_AppID, nullptr, DG_CONTROL, DAT_ENTRYPOINT, MSG_GET, &ep, 0);
    if (rc == TWRC_SUCCESS && ep.DSM_MemAllocate && ep.DSM_MemFree && ep.DSM_MemLock && ep.DSM_MemUnlock) {
        g_DSMEntryPoint = ep;
        logPrintf("DSM entry points: memory functions of the DSM in use");
    } else {
        logPrintf("DSM entry points: not available (rc=%1i), global memory in use", rc);
    }
}

void CTwainIODirect::applyTransition(TW_UINT16 DAT, TW_UINT16 MSG, TW_MEMREF pData)
{
    if (DAT == DAT_PENDINGXFERS && MSG == MSG_RESET) {
        m_State = 5;
        return;
    }
    if ((DAT == DAT_IMAGEMEMXFER || DAT == DAT_IMAGENATIVEXFER || DAT == DAT_IMAGEFILEXFER ||
         DAT == DAT_IMAGEMEMFILEXFER) &&
        MSG == MSG_GET) {
        m_State = 7;
        return;
    }
    switch (MSG) {
    case MSG_OPENDSM:
        m_State = 3;
        break;
    case MSG_CLOSEDSM:
        m_State = 2;
        break;
    case MSG_OPENDS:
        m_State = 4;
        break;
    case MSG_CLOSEDS:
        m_State = 3;
        break;
    case MSG_DISABLEDS:
        m_State = 4;
        m_hDSWindow = nullptr;
        break;
    case MSG_ENABLEDS:
    case MSG_ENABLEDSUIONLY:
        if (m_State < 5)
            m_State = 5;
        if (pData)
            m_bModalUI = static_cast<const TW_USERINTERFACE*>(pData)->ModalUI != 0;
        logPrintf("isModal=%1i  ", m_bModalUI ? 1 : 0);
        break;
    case MSG_ENDXFER:
        // A count of -1 (unknown number of images to come) is not 0.
        m_State = (!pData || static_cast<const TW_PENDINGXFERS*>(pData)->Count != 0) ? 6 : 5;
        break;
    default:
        break;
    }
}

void CTwainIODirect::NotifyDSMsg(TW_UINT16 uiMSG)
{
    if (uiMSG != MSG_XFERREADY)
        return;
    if (m_State < 6)
        m_bFirstXfer = true;
    m_State = 6;
}

bool CTwainIODirect::ShowLastGUI()
{
    if (!IsWindow(m_hDSWindow))
        return false;
    if (IsIconic(m_hDSWindow))
        ShowWindow(m_hDSWindow, SW_RESTORE);
    SetForegroundWindow(m_hDSWindow);
    SetActiveWindow(m_hDSWindow);
    SetFocus(m_hDSWindow);
    return true;
}
