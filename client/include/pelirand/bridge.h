#pragma once

// The bridge process seen from the main application: starts `pelirand` with a
// fresh server name of its own, serves that server (on a thread of its own, so
// the bridge's requests are answered at once even while this side waits for a
// reply), connects its client when the bridge says hello, offers one typed
// operation per command the bridge executes, and ends the bridge when done.
//
// Threads: create and use a Bridge on one thread with a Qt event loop (the
// application's main thread). Commands block that thread until the reply has
// arrived and deliver no signals meanwhile; notifications from the bridge
// arrive as signals whenever the event loop runs (start() and the session's
// waits run it).

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVariant>

#include <memory>

#include "pelirand/twainresult.h"

// The transport's classes stay out of the installed headers: only the
// library's own code and the tree's tests build commands by hand.
namespace VantHelper {
class VantIPCClient;
class VantIPCCommand;
} // namespace VantHelper

namespace pelirand {

class BridgeListener;

// The bridge's process, in a process group of its own: a terminal's Ctrl-C
// reaches the application, which can then end the batch in order, instead of
// killing the bridge in the middle of a page. The bridge still ends when the
// application's connection goes away; on Windows also when the application
// ends in any way (the bridge is in a job that ends with the application).
class BridgeProcess : public QProcess
{
public:
    explicit BridgeProcess(QObject* parent = nullptr);

protected:
    void setupChildProcess() override;
};

// Which DSM file the bridge loads (cmdLoadDSM's choice).
enum class DsmFile
{
    TwainDsm, // "TWAINDSM.dll"
    Twain32,  // "TWAIN_32.dll"
};

class Bridge : public QObject
{
    Q_OBJECT

public:
    explicit Bridge(QObject* parent = nullptr);
    // Ends the bridge if it still runs.
    ~Bridge() override;

    // The bridge executable: the one set here, else $PELIRAND_BRIDGE, else
    // `pelirand` beside this application's executable.
    void setProgram(const QString& program);
    QString program() const;
    static QString defaultProgram();
    // The bridge's environment (default: this process's).
    void setProcessEnvironment(const QProcessEnvironment& env);
    QProcessEnvironment processEnvironment() const;
    // Bound for the greeting after the process has started (default 30000 ms).
    void setHelloTimeout(int milliseconds) { m_iHelloTimeoutMs = milliseconds; }
    // Bound for every command's reply (0, the default: none). A TWAIN call
    // that has not answered within it ends the bridge: see hasHung().
    void setCallTimeout(int milliseconds);
    int callTimeout() const { return m_iCallTimeoutMs; }
    // The bridge's standard error goes to ours (true) or is kept for bridgeStandardError() (default).
    void setForwardStandardError(bool forward) { m_bForwardStderr = forward; }

    // Starts the bridge and waits for its greeting; false with lastError() set.
    // Runs the event loop while it waits.
    bool start();
    // Ends the bridge: cmdQuit, or closing its connection when it does not
    // answer; kills it if it has not ended after a bound. Safe to call twice.
    void stop();

    bool isConnected() const;
    // The bridge ended or was lost without stop() having been called.
    bool hasEndedUnexpectedly() const { return m_bEndedUnexpectedly; }
    // Why: exit code or signal, and what was in progress.
    QString endReason() const { return m_sEndReason; }
    // The bridge was ended because a call did not answer within callTimeout():
    // which TWAIN call (or command) hung and for how long.
    bool hasHung() const { return m_bHung; }
    QString hungCall() const { return m_sHungCall; }
    qint64 hungMilliseconds() const { return m_nHungMs; }
    // The triplet the bridge's transfer loop is in, empty outside a batch.
    QString loopCall() const;
    // A round trip with a running bridge, bounded like every call.
    TwainResult checkAlive();
    // With a call timeout: ends the bridge when the call its transfer loop
    // announced last has been running longer than the bound (a source may
    // keep the bridge answering while it waits in a dialog of its own), else
    // checks that the bridge answers. False once the bridge has been ended.
    bool watchTransferLoop();
    QString lastError() const { return m_sLastError; }
    qint64 processId() const;
    QString serverName() const { return m_sServerPrg; }
    QString bridgeName() const { return m_sBridgePrg; }
    // What the bridge wrote to standard error so far (when not forwarded).
    QString bridgeStandardError() const;
    // The folder where the bridge writes the temporary files it reports.
    QString bridgeTempPath() const;
    // Requests the bridge has sent so far (answered on the listener's thread;
    // their signals are queued to this thread before the count goes up).
    int notificationCount() const;

    // What the library is waiting for, named in endReason() if the bridge dies
    // meanwhile; the session sets it around its waits.
    void setActivity(const QString& activity) { m_sActivity = activity; }

    // --- One operation per command the bridge executes --------------------
    // iResult 10 expected.
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
    // Whether a person can see the source's dialog, as showLastGui() tells it.
    enum DialogView
    {
        DialogUnknown = -1,  // a bridge that does not say
        DialogOnDisplay = 0, // a window of the source's own is shown on a display
        DialogNoDisplay = 1, // the bridge has no display: nothing it shows can be seen
        DialogNotDrawn = 2,  // a display, but no window of the source is drawn on it
    };
    // Ok when the source's dialog was brought to the front. view, when given, receives whether a
    // person can see the dialog (a DialogView value), or DialogUnknown from a bridge that does not say.
    TwainResult showLastGui(int* view = nullptr);
    // cmdEndBatch: ends the page at hand (wholeBatch false) or it and every
    // pending page. The state is in the result; data() is "1" when the bridge
    // keeps the request for its running (or next) batch, "0" when it has
    // carried it out already. Refused when no source is enabled.
    TwainResult endBatch(bool wholeBatch);
    // cmdTwainGetCap: the whole container the source answers (any container
    // and item type). On success data() holds the container's bytes and
    // containerType() its TWON_ type; state and condition code are set either way.
    TwainResult getCap(const QByteArray& identity, quint16 cap, quint16 msg, quint16& conType);

    // Sends any command; false when no reply came (see endReason()).
    bool sendCommand(VantHelper::VantIPCCommand& cmd, const QString& operation);

signals:
    // Each file the bridge reports (id -1: a DIB without file header the
    // bridge wrote; 0: a file the source wrote; -2: an image file the bridge
    // made). The file is the receiver's.
    void imageFileReceived(int id, QString fileName);
    // A page the bridge received but could not hand over (page 1 for the
    // batch's first), and why: for a failed write the system's error text.
    void imageFailed(int page, QString why);
    // Each message the bridge relays (0 after a batch of transfers) with the state.
    void messageRelayed(uint message, uint state);
    // What the source did wrong in a batch and how the bridge came through,
    // one line each; emitted just before the batch's messageRelayed.
    void sourceFaultsReported(QStringList faults);
    // The bridge ended without stop(), or the connection to it broke.
    void endedUnexpectedly(QString reason);

private slots:
    void on_hello(QString sBridgePrg);
    void on_processFinished(int iExitCode, QProcess::ExitStatus status);
    void on_clientConnectedChanged(bool bConnected);

private:
    void shutDownListener();
    // Our server's private folder, where it needed one.
    void removeSocketFolder();
    // What an ended bridge left: its private folder with every file it never reported, and the folder
    // of its endpoint.
    void removeBridgeFolders();
    void bridgeLost(const QString& sDuring);
    void callHung(const QString& operation, qint64 nMs);
    void announceCalls();
    QString describeExit() const;
    TwainResult simpleCommand(VantHelper::VantIPCCommand& cmd, const QString& operation);

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
