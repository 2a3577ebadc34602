#include "app/pelirandapp.h"

#include <QAbstractEventDispatcher>
#include <QDir>
#include <QMetaObject>
#include <QMutexLocker>
#include <QThread>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "protocol/commandcodes.h"
#include "diag/log.h"
#include "ipc/vantipcclient.h"
#include "ipc/vantipcserver.h"
#include "xfer/twainxfer.h"

pelirandApp* g_pApp = nullptr;
eventTWFilterClass g_twEventFilter;

namespace {

// A TW_STR32 field: at most its 34 bytes of the text, the rest zero.
void setStr32(TW_STR32& field, const char* pszText)
{
    std::memset(field, 0, sizeof(field));
    std::memcpy(field, pszText, qMin(std::strlen(pszText), sizeof(field)));
}

} // namespace

pelirandApp::pelirandApp(int& argc, char** argv)
    : QObject(), BridgeApplication(argc, argv), m_bMainAppConnected(false), m_hParentWnd(nullptr), m_pXFer(nullptr),
      m_pIPCServer(nullptr), m_pIPCClient(nullptr)
{
    std::memset(&m_dsUI, 0, sizeof(m_dsUI));
}

pelirandApp::~pelirandApp()
{
    // Nothing may reach the object once it is gone: a source thread's callback
    // or a posted window message finds no application then.
    removeMessagePump();
    {
        // Waits for a callback that is emitting on this object right now.
        QMutexLocker lock(&g_appLock);
        if (g_pApp == this)
            g_pApp = nullptr;
    }
    endSession();
    if (m_hParentWnd) {
        DestroyWindow(m_hParentWnd);
        UnregisterClassW(L"pelirand", GetModuleHandleW(nullptr));
        m_hParentWnd = nullptr;
    }
    delete m_pXFer;
    m_pXFer = nullptr;
}

void pelirandApp::endSession()
{
    if (!m_bInCall)
        closeTwainSession();
    // The endpoint goes before its folder.
    delete m_pIPCServer;
    m_pIPCServer = nullptr;
    delete m_pIPCClient;
    m_pIPCClient = nullptr;
    if (!m_sSocketFolder.isEmpty() && QDir().rmdir(m_sSocketFolder))
        m_sSocketFolder.clear();
    const qint64 nRemoved = m_tempFolder.cleanUp();
    if (nRemoved > 0)
        logPrintf("removed %lld bytes of image files nobody was told about",
                  static_cast<long long>(nRemoved));
}

void pelirandApp::closeTwainSession()
{
    if (m_State >= 5) {
        // An image in progress, then the pending ones, then the source's user interface.
        TW_PENDINGXFERS pending;
        std::memset(&pending, 0, sizeof(pending));
        if (m_State == 7)
            TwainCmd(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending, &m_SourceID);
        if (m_State == 6)
            TwainCmd(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending, &m_SourceID);
        if (m_State == 5) {
            TW_USERINTERFACE ui = m_dsUI;
            ui.hParent = m_hParentWnd;
            TwainCmd(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui, &m_SourceID);
        }
    }
    if (m_State == 4)
        TwainCmd(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &m_SourceID, nullptr);
    if (m_State == 3) {
        TW_MEMREF hParent = m_hParentWnd;
        TwainCmd(DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &hParent, nullptr);
    }
    if (m_State > 1)
        UnloadDSM();
}

void pelirandApp::initApp()
{
    std::memset(&m_AppID, 0, sizeof(m_AppID));
    m_AppID.Version.MajorNum = 1;
    m_AppID.Version.MinorNum = 0;
    m_AppID.Version.Language = TWLG_ENGLISH_CANADIAN;
    m_AppID.Version.Country = TWCY_CANADA;
    std::snprintf(m_AppID.Version.Info, sizeof(m_AppID.Version.Info), "%1i.%1i.%1i", 1, 0, 1);
    m_AppID.ProtocolMajor = 2;
    m_AppID.ProtocolMinor = 3;
    m_AppID.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
    setStr32(m_AppID.Manufacturer, "vantora software");
    setStr32(m_AppID.ProductFamily, "vantora-scan");
    setStr32(m_AppID.ProductName, "vantora-scan pelirand");
    m_nDSM = 2;

    m_pXFer = new CTwainXFer(this);

    connect(m_pXFer, &CTwainXFer::si_ImageInMemory, this, &pelirandApp::on_ImageInMemory);
    connect(m_pXFer, &CTwainXFer::si_ImageInFile, this, &pelirandApp::on_ImageInFile);
    connect(m_pXFer, &CTwainXFer::si_ImageFailed, this, &pelirandApp::on_ImageFailed);
    connect(this, &pelirandApp::si_CallbackMsg, this, &pelirandApp::on_CallbackMsg, Qt::QueuedConnection);
    connect(this, &pelirandApp::si_EnableDS, this, &pelirandApp::on_EnableDS, Qt::QueuedConnection);
    connect(this, &pelirandApp::si_LoadDS, this, &pelirandApp::on_LoadDS, Qt::QueuedConnection);

    {
        QMutexLocker lock(&g_appLock);
        g_pApp = this;
    }

    QAbstractEventDispatcher::instance()->installNativeEventFilter(&g_twEventFilter);
    installMessagePump();

    const HINSTANCE hInstance = GetModuleHandleW(nullptr);
    WNDCLASSW wc;
    std::memset(&wc, 0, sizeof(wc));
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = hInstance;
    wc.lpszClassName = L"pelirand";
    RegisterClassW(&wc);
    m_hParentWnd =
        CreateWindowExW(0, L"pelirand", L"pelirand", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, hInstance, nullptr);
    logPrintf("window handle=%08x", static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(m_hParentWnd)));

    // What a deferred enable (si_EnableDS) would ask for: the source's own dialog, modeless,
    // owned by the hidden window.
    m_dsUI.ShowUI = 1;
    m_dsUI.ModalUI = 0;
    m_dsUI.hParent = m_hParentWnd;
}

TW_UINT16 pelirandApp::TwainCapCmd(TW_CAPABILITY* pCap, TW_UINT16 MSG)
{
    return TwainCmd(DG_CONTROL, DAT_CAPABILITY, MSG, pCap, &m_SourceID);
}

TW_UINT16 pelirandApp::TwainCapSet(TW_CAPABILITY* pCap)
{
    return TwainCapCmd(pCap, MSG_SET);
}

void pelirandApp::quitifnotused()
{
    if (m_bMainAppConnected)
        return;
    logPrintf("quitting (no client)");
    QCoreApplication::quit();
}

bool pelirandApp::on_mainAppSrvReady(bool)
{
    return true;
}

void pelirandApp::on_mainAppSrvChg(bool bConnected)
{
    if (bConnected) {
        m_bMainAppConnected = true;
        logPrintf("connected to mainAppServer");
        return;
    }
    // Nobody is left to take the rest of a running batch, nor the files it was told about.
    m_tempFolder.forgetTold();
    if (m_pXFer)
        m_pXFer->RequestBatchEnd(CTwainXFer::EndBatch);
    // Lost while the greeting waited for its reply, before the event loop runs:
    // quit() would find no loop to end, so the loop ends as soon as it starts.
    if (QThread::currentThread()->loopLevel() == 0)
        QMetaObject::invokeMethod(
            this, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    else
        QCoreApplication::quit();
    logPrintf("quitting, connection to mainAppServer was closed");
}

void pelirandApp::sendToMainApp(int iCmd, const QList<QVariant>& lstParams)
{
    // The main application's answer carries nothing; a lost connection ends
    // the process through on_mainAppSrvChg.
    if (!m_pIPCClient)
        return;
    VantHelper::VantIPCCommand cmd;
    cmd.iCmd = iCmd;
    cmd.lstParams = lstParams;
    cmd.iResult = 0;
    // A file the main application has heard of is its own; the others go when the bridge ends.
    protocol::Params<cmdImageInFile> image;
    if (m_pIPCClient->sendCommand(cmd) && iCmd == cmdImageInFile &&
        protocol::decodeParams<cmdImageInFile>(lstParams, image))
        m_tempFolder.markTold(image.fileName);
}

void pelirandApp::copySourceIdentity(const QByteArray& baIdentity)
{
    const int nCopy = qMin(baIdentity.size(), static_cast<int>(sizeof(m_SourceID)));
    if (nCopy > 0)
        std::memcpy(&m_SourceID, baIdentity.constData(), static_cast<size_t>(nCopy));
}
