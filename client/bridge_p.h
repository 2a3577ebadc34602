#pragma once

// The inside of a Bridge: its process, the listener and the client to the
// bridge's server, what it knows of the bridge's state, and one typed
// operation per command the bridge executes, which TwainSession uses. Not an
// installed header; the tree's tests include it to reach the commands.
//
// Threads: the Bridge's thread only, like the Bridge.

#include <QByteArray>
#include <QMutex>
#include <QProcessEnvironment>
#include <QSet>
#include <QString>
#include <QThread>

#include <memory>

#include "client/bridgeprocess_p.h"
#include "pelirand/bridge.h"
#include "pelirand/twainresult.h"

namespace VantHelper {
class VantIPCClient;
class VantIPCCommand;
} // namespace VantHelper

namespace pelirand {

class BridgeListener;

class BridgePrivate
{
public:
    explicit BridgePrivate(Bridge* q);
    ~BridgePrivate();
    static BridgePrivate* get(Bridge& bridge) { return bridge.d.get(); }

    // Requests the bridge has sent so far (answered on the listener's thread;
    // their signals are queued to the Bridge's thread before the count goes up).
    int notificationCount() const;
    // What the library is waiting for, named in endReason() if the bridge dies
    // meanwhile; the session sets it around its waits.
    void setActivity(const QString& activity) { m_sActivity = activity; }

    // --- One operation per command the bridge executes --------------------
    // iResult 10 expected; the test text travels only when there is one.
    TwainResult getNumCommands(const QByteArray& testText = QByteArray());
    // Ends the bridge's event loop after the reply; stop() waits for the process.
    TwainResult quit();
    // The state after loading is in the result.
    TwainResult loadDsm(DsmFile file);
    TwainResult unloadDsm();
    // A generic triplet; identity empty: to the DSM. On success data() holds
    // the block as the call left it; state and condition code are set either way.
    TwainResult twainCmd(const QByteArray& identity, quint32 dg, quint16 dat, quint16 msg,
                         const QByteArray& block);
    TwainResult setCapEnum(const QByteArray& identity, quint16 cap, quint16 itemType,
                           const QByteArray& items);
    // data(): the items as 16-bit little-endian values.
    TwainResult getCapEnum(const QByteArray& identity, quint16 cap);
    TwainResult setCapOneValue(const QByteArray& identity, quint16 cap, quint16 itemType,
                               const QByteArray& value);
    // data(): the value's bytes (the item type's size).
    TwainResult getCapOneValue(const QByteArray& identity, quint16 cap, quint16 itemType, quint16 msg);
    // cmdEndBatch: ends the page at hand (bWholeBatch false) or it and every
    // pending page. The state is in the result; data() is "1" when the bridge
    // keeps the request for its running (or next) batch, "0" when it has
    // carried it out already. Refused when no source is enabled.
    TwainResult endBatch(bool bWholeBatch);
    // cmdTwainGetCap: the whole container the source answers (any container
    // and item type). On success data() holds the container's bytes and
    // conType its TWON_ type; state and condition code are set either way.
    TwainResult getCap(const QByteArray& identity, quint16 cap, quint16 msg, quint16& conType);

    // Sends any command; false when no reply came (see endReason()).
    bool sendCommand(VantHelper::VantIPCCommand& cmd, const QString& sOperation);
    TwainResult simpleCommand(VantHelper::VantIPCCommand& cmd, const QString& sOperation);

    void onHello(const QString& sBridgePrg);
    void onProcessFinished();
    void onClientConnectedChanged(bool bConnected);

    void shutDownListener();
    // Our server's private folder, where it needed one.
    void removeSocketFolder();
    // What an ended bridge left: its private folder with every file it never reported, and the folder
    // of its endpoint.
    void removeBridgeFolders();
    void bridgeLost(const QString& sDuring);
    void callHung(const QString& sOperation, qint64 nMs);
    void announceCalls();
    QString describeExit() const;

    Bridge* const q;

    QString m_sProgram;
    QProcessEnvironment m_env;
    bool m_bHasEnv = false;
    int m_iHelloTimeoutMs = 30000;
    bool m_bForwardStderr = false;

    QString m_sServerPrg;
    QString m_sBridgePrg;
    QThread m_listenerThread;
    BridgeListener* m_pListener = nullptr;
    std::unique_ptr<VantHelper::VantIPCClient> m_pClient;
    BridgeProcess m_process;
    QString m_sStderrFile;
    QString m_sSocketFolder;
    QMutex m_reportedMutex;
    QSet<QString> m_setReported;

    QString m_sActivity;
    QString m_sLastOperation;
    QString m_sLastError;
    QString m_sEndReason;
    bool m_bStarted = false;
    bool m_bStopping = false;
    bool m_bStopped = false;
    bool m_bInSend = false;
    bool m_bHelloFailed = false;
    bool m_bEndedUnexpectedly = false;
    int m_iCallTimeoutMs = 0;
    bool m_bHung = false;
    QString m_sHungCall;
    qint64 m_nHungMs = 0;
};

} // namespace pelirand
