// The command dispatcher: executes each command of the main application
// against the TWAIN I/O part and leaves the reply in the same record.

#include "app/pelirandapp.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "protocol/commands.h"
#include "diag/log.h"
#include "diag/twnames.h"
#include "twain/dsmlib.h"
#include "twain/wirelayout.h"
#include "xfer/twainxfer.h"

namespace {

// Number of codes that on_cmdReceived executes.
constexpr int kNumCommands = 10;

// A command that arrives while a source runs its own message loop inside a
// call must not free the library whose code that call is still running.
constexpr const char* kDsmStaysLoaded = "a TWAIN call is in progress: the DSM stays loaded";
// Nor while a source is enabled: its pages (a batch may be running, with
// commands read between its pages) and its calls back need the library.
constexpr const char* kDsmStaysLoadedEnabled = "a source is enabled: the DSM stays loaded";

// Triplets that go to the DSM itself, never to a source.
bool addressedToDsm(TW_UINT32 DG, TW_UINT16 DAT)
{
    return DG == DG_CONTROL && (DAT == DAT_PARENT || DAT == DAT_IDENTITY || DAT == DAT_ENTRYPOINT);
}

// The product name of an identity as a terminated string, even when the main
// application filled all 34 bytes.
QByteArray productName(const TW_IDENTITY& identity)
{
    const char* p = identity.ProductName;
    return QByteArray(p, static_cast<int>(qstrnlen(p, sizeof(identity.ProductName))));
}

// Writes the hidden window into the native block that the DSM receives.
void patchWindow(std::vector<char>& native, std::size_t offset, HWND hWnd)
{
    if (native.size() < offset + sizeof(hWnd))
        native.resize(offset + sizeof(hWnd), 0);
    std::memcpy(native.data() + offset, &hWnd, sizeof(hWnd));
}

} // namespace

void pelirandApp::on_cmdReceived(VantHelper::VantIPCCommand& cmd)
{
    logPrintf("cmd received: cmd=%1i, cnt=%1i ", cmd.iCmd, static_cast<int>(cmd.lstParams.size()));
    cmd.iResult = 1;
    // A failed batch's status is kept for the next TWAIN call only (round
    // trips that only ask whether the bridge is there do not count).
    if (cmd.iCmd != cmdGetNumCommands && cmd.iCmd != cmdAnnounceCalls && cmd.iCmd != cmdTwainCmd)
        m_bKeepXferFailStatus = false;

    switch (cmd.iCmd) {
    case cmdGetNumCommands: {
        cmd.iResult = kNumCommands;
        protocol::Params<cmdGetNumCommands> params;
        int nListed = 0;
        if (protocol::decodeParams<cmdGetNumCommands>(cmd.lstParams, params, &nListed) && nListed >= 1)
            logPrintf("GetNumCommands, teststring=%s", params.testText.constData());
        break;
    }

    case cmdQuit:
        logPrintf("quitting regularly");
        if (m_pXFer)
            m_pXFer->RequestBatchEnd(CTwainXFer::EndBatch);
        if (m_bInCall)
            logPrintf("%s", kDsmStaysLoaded);
        else if (!InBatch())
            closeTwainSession(); // the source and the DSM closed before they are unloaded
        // (A running batch ends at its next page or block; the session is closed after the event loop.)
        QCoreApplication::quit();
        cmd.iResult = 0;
        break;

    case cmdLoadDSM: {
        logPrintf("loading DSM");
        protocol::Params<cmdLoadDSM> params;
        if (!protocol::decodeParams<cmdLoadDSM>(cmd.lstParams, params))
            break;
        m_nDSM = static_cast<int>(params.dsm);
        cmd.iResult = LoadDSM();
        cmd.lstResults = protocol::encodeResults<cmdLoadDSM>({m_State});
        logPrintf("ret=%1i, state=%1i", cmd.iResult, m_State);
        break;
    }

    case cmdUnloadDSM:
        logPrintf("unloading DSM");
        if (m_bInCall) {
            logPrintf("%s", kDsmStaysLoaded);
            break;
        }
        if (InBatch() || m_State >= 5) {
            logPrintf("%s", kDsmStaysLoadedEnabled);
            break;
        }
        UnloadDSMLib();
        cmd.iResult = 0;
        break;

    case cmdTwainCmd:
        execTwainCmd(cmd);
        break;

    case cmdTwainSetCapEnum:
        execTwainSetCapEnum(cmd);
        break;

    case cmdTwainGetCapEnum:
        execTwainGetCapEnum(cmd);
        break;

    case cmdTwainSetCapOneVal:
        execTwainSetCapOneVal(cmd);
        break;

    case cmdTwainGetCapOneVal:
        execTwainGetCapOneVal(cmd);
        break;

    case cmdShowLastGUI:
        logPrintf("ShowLastGUI");
        cmd.iResult = ShowLastGUI() ? 1 : 0;
        cmd.lstResults = protocol::encodeResults<cmdShowLastGUI>({SourceDialogView()});
        logPrintf("ShowLastGUI: dlgwindow=%x, ret=%1i",
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(m_hDSWindow)), cmd.iResult);
        break;

    case cmdEndBatch:
        execEndBatch(cmd);
        break;

    case cmdTwainGetCap:
        execTwainGetCap(cmd);
        break;

    case cmdAnnounceCalls: {
        protocol::Params<cmdAnnounceCalls> params;
        if (!protocol::decodeParams<cmdAnnounceCalls>(cmd.lstParams, params))
            break;
        m_bAnnounceCalls = params.announce != 0;
        logPrintf("announcing the transfer loop's calls: %1i", m_bAnnounceCalls ? 1 : 0);
        cmd.iResult = 0;
        break;
    }

    default:
        break;
    }
    // A request taken for a batch that will not come any more must not end a later one.
    if (m_State < 5 && m_pXFer)
        m_pXFer->ClearBatchEnd();
}

void pelirandApp::execEndBatch(VantHelper::VantIPCCommand& cmd)
{
    logPrintf("EndBatch");
    protocol::Params<cmdEndBatch> params;
    if (!protocol::decodeParams<cmdEndBatch>(cmd.lstParams, params))
        return;
    const uint uiWhat = params.what;
    if (uiWhat != CTwainXFer::EndPage && uiWhat != CTwainXFer::EndBatch) {
        logPrintf("EndBatch: unknown request %1i", uiWhat);
        return;
    }
    protocol::Results<cmdEndBatch> results;
    results.state = m_State;
    if (m_State < 5 || !m_pXFer) {
        cmd.lstResults = protocol::encodeResults<cmdEndBatch>(results, 1);
        return;
    }
    m_pXFer->RequestBatchEnd(static_cast<CTwainXFer::BatchEnd>(uiWhat));
    // Inside a running batch, or inside a call that lets events in, our own
    // TWAIN calls would be nested: the batch carries the request out.
    const bool bWaits = InBatch() || m_bInCall || m_State == 5;
    if (!bWaits)
        m_pXFer->HonourBatchEnd();
    logPrintf("EndBatch: what=%1i, %s, state=%1i", uiWhat, bWaits ? "recorded" : "carried out", m_State);
    cmd.iResult = 0;
    results.state = m_State;
    results.waits = bWaits ? 1u : 0u;
    cmd.lstResults = protocol::encodeResults<cmdEndBatch>(results);
}

void pelirandApp::execTwainGetCap(VantHelper::VantIPCCommand& cmd)
{
    logPrintf("TwainGetCap");
    protocol::Params<cmdTwainGetCap> params;
    if (!protocol::decodeParams<cmdTwainGetCap>(cmd.lstParams, params))
        return;
    copySourceIdentity(params.identity);
    const TW_UINT16 cap = params.cap;
    const TW_UINT16 MSG = params.msg;
    TW_UINT16 conType = 0;
    QByteArray baContainer;
    cmd.iResult = TwainGetCapContainer(cap, MSG, conType, baContainer);
    logPrintf("TwainGetCap: cap=0x%x, MSG=0x%04x, ret=%1i, ConType=%1i, size=%1i", cap, MSG, cmd.iResult,
              conType, static_cast<int>(baContainer.size()));
    const protocol::Results<cmdTwainGetCap> results{m_State, m_Status.ConditionCode, conType, baContainer};
    // The container only after success.
    cmd.lstResults = protocol::encodeResults<cmdTwainGetCap>(results, cmd.iResult != 0 ? 2 : 4);
}

void pelirandApp::execTwainCmd(VantHelper::VantIPCCommand& cmd)
{
    logPrintf("Twain Cmd");
    protocol::Params<cmdTwainCmd> params;
    if (!protocol::decodeParams<cmdTwainCmd>(cmd.lstParams, params))
        return;

    pTW_IDENTITY pDest = nullptr;
    const TW_UINT32 DG = params.dg;
    const TW_UINT16 DAT = params.dat;
    const TW_UINT16 MSG = params.msg;
    const QByteArray& baIdentity = params.identity;
    if (!baIdentity.isEmpty()) {
        copySourceIdentity(baIdentity);
        // The DSM answers these itself only without a destination; with one it
        // looks for a source that is not open yet and fails.
        if (!addressedToDsm(DG, DAT))
            pDest = &m_SourceID;
    }
    QByteArray& baBlock = params.block;

    logPrintf("Twain Cmd: DG=%1i DAT=0x%04x MSG=0x%04x datsize32=%1i datsize64=%1i src=%s",
              static_cast<int>(DG), DAT, MSG, TwainWire::datSize32(DAT), static_cast<int>(baBlock.size()),
              productName(m_SourceID).constData());

    // The block arrives in the 32-bit layout; the DSM gets the native structure,
    // never shorter than the structure itself, and the reply goes back in the
    // length that came in.
    std::vector<char> native;
    TW_MEMREF pData = nullptr;
    if (!baBlock.isEmpty()) {
        native = TwainWire::widen(DAT, baBlock.constData(), static_cast<std::size_t>(baBlock.size()));
        if (DAT == DAT_PARENT)
            patchWindow(native, 0, m_hParentWnd);
        else if (DAT == DAT_USERINTERFACE)
            patchWindow(native, offsetof(TW_USERINTERFACE, hParent), m_hParentWnd);
        pData = native.data();
    }

    const TW_UINT16 oldState = m_State;
    if (MSG == MSG_ENABLEDS)
        SetForegroundWindow(m_hParentWnd);

    if (answerKeptStatus(DG, DAT, MSG, pDest, native))
        cmd.iResult = TWRC_SUCCESS;
    else
        cmd.iResult = TwainCmd(DG, DAT, MSG, pData, pDest);
    logPrintf("ret=%1i, state=%1i", cmd.iResult, m_State);
    protocol::Results<cmdTwainCmd> results{m_State, m_Status.ConditionCode, {}};
    cmd.lstResults = protocol::encodeResults<cmdTwainCmd>(results, 2);
    // An enable answered TWRC_CHECKSTATUS enabled the source all the same.
    const bool bEnabled = cmd.iResult == TWRC_CHECKSTATUS && MSG == MSG_ENABLEDS && m_State >= 5;
    if (cmd.iResult != TWRC_SUCCESS && !bEnabled)
        return;

    if (MSG == MSG_OPENDS && m_State == 4) {
        // The DSM names the source it opened in the block; that is the
        // destination of every later call, the callback's first.
        if (DAT == DAT_IDENTITY && native.size() >= sizeof(m_SourceID))
            std::memcpy(&m_SourceID, native.data(), sizeof(m_SourceID));
        installCallback();
    } else if (MSG == MSG_ENABLEDS) {
        m_hDSWindow = FindLastDSWindow();
        ShowLastGUI();
    }

    if (m_State != oldState)
        logPrintf("state changed from %1i to %1i", oldState, m_State);

    if (!baBlock.isEmpty()) {
        TwainWire::narrow(DAT, native.data(), native.size(), baBlock.data(),
                          static_cast<std::size_t>(baBlock.size()));
        results.block = baBlock;
        cmd.lstResults = protocol::encodeResults<cmdTwainCmd>(results);
    }
}

bool pelirandApp::answerKeptStatus(TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG, pTW_IDENTITY pDest,
                                   std::vector<char>& native)
{
    const bool bKept = m_bKeepXferFailStatus;
    m_bKeepXferFailStatus = false;
    if (!bKept || !pDest || DG != DG_CONTROL || DAT != DAT_STATUS || MSG != MSG_GET ||
        native.size() < sizeof(TW_STATUS))
        return false;
    logPrintf("DAT_STATUS: the condition of the transfer that failed, %s",
              TwccName(m_xferFailStatus.ConditionCode));
    m_Status = m_xferFailStatus;
    std::memcpy(native.data(), &m_xferFailStatus, sizeof(m_xferFailStatus));
    return true;
}

void pelirandApp::installCallback()
{
    logPrintf("installing callback");
    TW_CALLBACK2 callback2;
    std::memset(&callback2, 0, sizeof(callback2));
    callback2.CallBackProc = reinterpret_cast<TW_MEMREF>(&DSMCallback);
    callback2.RefCon = 1;
    callback2.Message = 0;
    if (TwainCmd(DG_CONTROL, DAT_CALLBACK2, MSG_REGISTER_CALLBACK, &callback2, &m_SourceID) == TWRC_SUCCESS) {
        logPrintf("callback2 installed");
        return;
    }
    TW_CALLBACK callback;
    std::memset(&callback, 0, sizeof(callback));
    callback.CallBackProc = reinterpret_cast<TW_MEMREF>(&DSMCallback);
    callback.RefCon = 1;
    callback.Message = 0;
    if (TwainCmd(DG_CONTROL, DAT_CALLBACK, MSG_REGISTER_CALLBACK, &callback, &m_SourceID) == TWRC_SUCCESS) {
        logPrintf("callback installed");
        return;
    }
    // Both refused: the source's messages can still come as events the
    // bridge hands to DAT_EVENT / MSG_PROCESSEVENT, where the DSM routes them so.
    logPrintf("no callback: the source's messages can come only through MSG_PROCESSEVENT");
}

void pelirandApp::execTwainSetCapEnum(VantHelper::VantIPCCommand& cmd)
{
    logPrintf("TwainSetCapEnum");
    protocol::Params<cmdTwainSetCapEnum> params;
    if (!protocol::decodeParams<cmdTwainSetCapEnum>(cmd.lstParams, params))
        return;
    copySourceIdentity(params.identity);
    const TW_UINT16 cap = params.cap;
    const TW_UINT16 itemType = params.itemType;
    const QByteArray& baItems = params.items;

    const int nItemSize = TwainItemSize(itemType);
    // The container holds whole items only: anything else would either lose
    // bytes or make the source read an item that is not there.
    if (nItemSize == 0 && !baItems.isEmpty()) {
        logPrintf("TwainSetCapEnum: unknown item type 0x%x with %1i bytes of items, refused", itemType,
                  static_cast<int>(baItems.size()));
        return;
    }
    if (nItemSize != 0 && baItems.size() % nItemSize != 0) {
        logPrintf("TwainSetCapEnum: %1i bytes of items are not whole items of %1i bytes, refused",
                  static_cast<int>(baItems.size()), nItemSize);
        return;
    }
    const int nCount = nItemSize == 0 ? 0 : baItems.size() / nItemSize;

    TW_CAPABILITY capability;
    std::memset(&capability, 0, sizeof(capability));
    if (!BuildCapContainer(cap, TWON_ENUMERATION, itemType, &capability, nCount))
        return;
    cmd.iResult = TwainSetCapEnum(&capability, baItems.constData(), baItems.size());
}

void pelirandApp::execTwainGetCapEnum(VantHelper::VantIPCCommand& cmd)
{
    logPrintf("TwainGetCapEnum");
    protocol::Params<cmdTwainGetCapEnum> params;
    if (!protocol::decodeParams<cmdTwainGetCapEnum>(cmd.lstParams, params))
        return;
    copySourceIdentity(params.identity);
    const TW_UINT16 cap = params.cap;

    QVector<TW_UINT16> values;
    cmd.iResult = TwainGetCapEnum(cap, values);
    if (cmd.iResult != 0)
        return;
    QByteArray baValues;
    baValues.reserve(2 * values.size());
    for (const TW_UINT16 value : values) {
        baValues.append(static_cast<char>(value & 0xFF));
        baValues.append(static_cast<char>(value >> 8));
    }
    cmd.lstResults = protocol::encodeResults<cmdTwainGetCapEnum>({baValues});
}

void pelirandApp::execTwainSetCapOneVal(VantHelper::VantIPCCommand& cmd)
{
    logPrintf("TwainSetCapOneVal");
    protocol::Params<cmdTwainSetCapOneVal> params;
    if (!protocol::decodeParams<cmdTwainSetCapOneVal>(cmd.lstParams, params))
        return;
    copySourceIdentity(params.identity);
    const TW_UINT16 cap = params.cap;
    const TW_UINT16 itemType = params.itemType;
    const QByteArray& baValue = params.value;

    const int nItemSize = TwainItemSize(itemType);
    if (baValue.size() < nItemSize) {
        logPrintf("TwainSetCapOneVal: value of %1i bytes is shorter than its item of %1i bytes, refused",
                  static_cast<int>(baValue.size()), nItemSize);
        return;
    }

    TW_CAPABILITY capability;
    std::memset(&capability, 0, sizeof(capability));
    if (!BuildCapContainer(cap, TWON_ONEVALUE, itemType, &capability, 1))
        return;
    cmd.iResult = TwainSetCapOneVal(&capability, baValue.constData());
}

void pelirandApp::execTwainGetCapOneVal(VantHelper::VantIPCCommand& cmd)
{
    logPrintf("TwainGetCapOneVal");
    protocol::Params<cmdTwainGetCapOneVal> params;
    if (!protocol::decodeParams<cmdTwainGetCapOneVal>(cmd.lstParams, params))
        return;
    copySourceIdentity(params.identity);
    const TW_UINT16 cap = params.cap;
    const TW_UINT16 itemType = params.itemType;
    const TW_UINT16 MSG = params.msg;

    const int nSize = TwainItemSize(itemType);
    logPrintf("cap=0x%x, ConType=0x%x, DataType=0x%x, typesize=%1i ", cap, 0xffffu, itemType, nSize);

    // The source decides the item type of its answer; the buffer holds the
    // longest item of any type, and the reply carries the size the command named.
    QByteArray baBuffer(TWAIN_MAX_ITEM_SIZE, '\0');
    TW_CAPABILITY capability;
    capability.Cap = cap;
    capability.ConType = TWON_DONTCARE16;
    capability.hContainer = nullptr;
    cmd.iResult =
        TwainGetCapOneValSized(capability, baBuffer.data(), static_cast<std::size_t>(baBuffer.size()), MSG);
    if (cmd.iResult != 0)
        return;
    baBuffer.truncate(nSize);
    logHexDump(baBuffer.constData(), baBuffer.size(),
               "returned: datasize=%1i data = ", static_cast<int>(baBuffer.size()));
    cmd.lstResults = protocol::encodeResults<cmdTwainGetCapOneVal>({baBuffer});
}
