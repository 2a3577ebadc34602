#pragma once

// The bridge's application object: the Qt application (its second base, a
// QApplication only where a source built with Qt Widgets may create its
// dialogs in the bridge's process) and, through its third base, the process's
// one TWAIN I/O object.

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QVector>

#include <vector>

#include "app/bridgeapplication.h"
#include "app/bridgetempfolder.h"
#include "ipc/vantipccommand.h"
#include "protocol/commands.h"
#include "platform/win32.h"
#include "twain/twain.h"
#include "twain/twainiodirect.h"

class CTwainXFer;
class QTimer;

namespace VantHelper {
class VantIPCServer;
class VantIPCClient;
} // namespace VantHelper

class pelirandApp : public QObject, private BridgeApplication, public CTwainIODirect
{
    Q_OBJECT

public:
    pelirandApp(int& argc, char** argv);
    ~pelirandApp() override;

    // The event loop of the process's application object: run, ended.
    int exec() { return QCoreApplication::exec(); }
    void exit(int iCode) { QCoreApplication::exit(iCode); }

    // TWAIN side of start-up: identity, transfer object, signal wiring, native
    // event filter and the hidden parent window.
    void initApp();

    // The window to treat as the enabled source's dialog, possibly null.
    HWND FindLastDSWindow();
    // Whether a person can see the enabled source's dialog (a DialogView value).
    int SourceDialogView() const;

    // Every triplet of the transfer loop is announced to the main application first; source
    // messages that arrived during a call run once the call is over.
    TW_UINT16 TwainCmd(TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG, TW_MEMREF pData,
                       pTW_IDENTITY pDest) override;
    // A batch of transfers runs (its loop may let commands in between pages and blocks).
    static bool InBatch();

    virtual TW_UINT16 TwainCapCmd(TW_CAPABILITY* pCap, TW_UINT16 MSG);
    virtual TW_UINT16 TwainCapSet(TW_CAPABILITY* pCap);

    bool m_bMainAppConnected;
    HWND m_hParentWnd;
    CTwainXFer* m_pXFer;
    VantHelper::VantIPCServer* m_pIPCServer;
    VantHelper::VantIPCClient* m_pIPCClient;
    TW_USERINTERFACE m_dsUI;
    QVector<HWND> m_lstWindows;
    // The private folder of the image files this bridge writes.
    BridgeTempFolder m_tempFolder;
    // A private folder holding the server's endpoint where the temporary folder is too long for one.
    QString m_sSocketFolder;

    // The orderly end of a run, whatever ended it: the source and the DSM are closed and unloaded, the
    // server's endpoint goes, and files nobody was told about are removed.
    void endSession();
    // Steps the TWAIN session down from whatever state it is in and unloads the DSM.
    void closeTwainSession();

signals:
    TW_UINT16 si_CallbackMsg(uint uiMSG);
    void si_EnableDS();
    void si_LoadDS();

public slots:
    void quitifnotused();
    void on_cmdReceived(VantHelper::VantIPCCommand& cmd);
    bool on_mainAppSrvReady(bool);
    void on_mainAppSrvChg(bool bConnected);
    void on_ImageInFile(int id, QString fileName);
    void on_ImageInMemory(void* hImage, qint64 size, bool& bFree);
    void on_ImageInFileQueued(int id, QString fileName);
    void on_ImageFailed(int nPage, QString sWhy);
    TW_UINT16 on_CallbackMsg(uint uiMSG);
    void on_EnableDS();
    void on_LoadDS();

private:
    void copySourceIdentity(const QByteArray& baIdentity);
    // Sends a notification with its first nParams parameters (all by default).
    template <MainAppCmd kCode>
    void sendToMainApp(const protocol::Params<kCode>& params, int nParams = protocol::paramCount<kCode>())
    {
        sendToMainApp(kCode, protocol::encodeParams<kCode>(params, nParams));
    }
    void sendToMainApp(int iCmd, const QList<QVariant>& lstParams);
    void execTwainCmd(VantHelper::VantIPCCommand& cmd);
    void execTwainSetCapEnum(VantHelper::VantIPCCommand& cmd);
    void execTwainGetCapEnum(VantHelper::VantIPCCommand& cmd);
    void execTwainSetCapOneVal(VantHelper::VantIPCCommand& cmd);
    void execTwainGetCapOneVal(VantHelper::VantIPCCommand& cmd);
    void installCallback();
    void runBatch();
    bool sourceHasPage();
    bool pendingCountAfterFailedEnd();
    void noteSourceFault(const QString& sNote);

    // Images announced to the main application, and what the source did
    // wrong during the running batch (sent along with its end).
    int m_nImagesAnnounced = 0;
    bool m_bAnnounceCalls = false;
    QStringList m_lstBatchNotes;
    void postDeferredMessages();
    void execEndBatch(VantHelper::VantIPCCommand& cmd);
    // Reads and executes the commands waiting on the main application's connections, and nothing else.
    void readWaitingCommands();
    void execTwainGetCap(VantHelper::VantIPCCommand& cmd);

    // Source messages that came while a TWAIN call or a batch ran, and a
    // slow check for the end of that call where nothing else notices it.
    QVector<uint> m_deferredMsgs;
    QTimer* m_pDeferTimer = nullptr;

    // The status the source gave for the transfer call that failed in the
    // running batch. After a batch that such a failure ended, the main
    // application's first DAT_STATUS gets it: the bridge's own later calls
    // (ending the page, giving back a file name) would have replaced it.
    TW_STATUS m_xferFailStatus = {};
    bool m_bXferFailed = false;
    bool m_bKeepXferFailStatus = false;
    // True when the command was DAT_STATUS / MSG_GET and answered with it.
    bool answerKeptStatus(TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG, pTW_IDENTITY pDest,
                          std::vector<char>& native);
};

// Hands the messages of an enabled source to it (DAT_EVENT / MSG_PROCESSEVENT)
// and turns the ones it reports into si_CallbackMsg.
class eventTWFilterClass : public QAbstractNativeEventFilter
{
public:
    ~eventTWFilterClass() override;
    bool nativeEventFilter(const QByteArray& eventType, void* message, long* result) override;
};

// Set and cleared on the event loop's thread; DSMCallback, which sources may
// call from threads of their own, reads it under g_appLock.
extern pelirandApp* g_pApp;
extern QMutex g_appLock;
extern eventTWFilterClass g_twEventFilter;

// Registered with the source after MSG_OPENDS; may be called on any thread.
TW_UINT16 TW_CALLINGSTYLE DSMCallback(pTW_IDENTITY pOrigin, pTW_IDENTITY pDest, TW_UINT32 DG, TW_UINT16 DAT,
                                      TW_UINT16 MSG, TW_MEMREF pData);

// EnumWindows callback: collects the windows of the process given in lParam.
BOOL CALLBACK CollectProcessWindow(HWND hWnd, LPARAM lParam);

// Lets window messages of this thread reach the event filter and their window
// procedures from the Qt event loop, and lets a source's own message loop run
// the Qt event loop, as on Windows. Nothing to do where Windows does it.
void installMessagePump();
void removeMessagePump();
