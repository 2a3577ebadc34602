#pragma once

// The bridge process seen from the main application: starts `pelirand` with a
// fresh server name of its own, serves that server (on a thread of its own, so
// the bridge's requests are answered at once even while this side waits for a
// reply), connects its client when the bridge says hello, watches it, and
// ends the bridge when done. TwainSession drives the TWAIN session through it.
//
// Threads: create and use a Bridge on one thread with a Qt event loop (the
// application's main thread). Commands block that thread until the reply has
// arrived and deliver no signals meanwhile; notifications from the bridge
// arrive as signals whenever the event loop runs (start() and the session's
// waits run it).

#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <memory>

#include "pelirand/global.h"
#include "pelirand/twainresult.h"

namespace pelirand {

class BridgePrivate;

// Which DSM file the bridge loads (cmdLoadDSM's choice).
enum class DsmFile
{
    TwainDsm, // "TWAINDSM.dll"
    Twain32,  // "TWAIN_32.dll"
};

class PELIRAND_EXPORT Bridge : public QObject
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
    void setHelloTimeout(int milliseconds);
    // Bound for every command's reply (0, the default: none). A TWAIN call
    // that has not answered within it ends the bridge: see hasHung().
    void setCallTimeout(int milliseconds);
    int callTimeout() const;
    // The bridge's standard error goes to ours (true) or is kept for bridgeStandardError() (default).
    void setForwardStandardError(bool forward);

    // Starts the bridge and waits for its greeting; false with lastError() set.
    // Runs the event loop while it waits.
    bool start();
    // Ends the bridge: cmdQuit, or closing its connection when it does not
    // answer; kills it if it has not ended after a bound. Safe to call twice.
    void stop();

    bool isConnected() const;
    // The bridge ended or was lost without stop() having been called.
    bool hasEndedUnexpectedly() const;
    // Why: exit code or signal, and what was in progress.
    QString endReason() const;
    // The bridge was ended because a call did not answer within callTimeout():
    // which TWAIN call (or command) hung and for how long.
    bool hasHung() const;
    QString hungCall() const;
    qint64 hungMilliseconds() const;
    // The triplet the bridge's transfer loop is in, empty outside a batch.
    QString loopCall() const;
    // A round trip with a running bridge, bounded like every call.
    TwainResult checkAlive();
    // With a call timeout: ends the bridge when the call its transfer loop
    // announced last has been running longer than the bound (a source may
    // keep the bridge answering while it waits in a dialog of its own), else
    // checks that the bridge answers. False once the bridge has been ended.
    bool watchTransferLoop();
    QString lastError() const;
    qint64 processId() const;
    QString serverName() const;
    QString bridgeName() const;
    // What the bridge wrote to standard error so far (when not forwarded).
    QString bridgeStandardError() const;
    // The folder where the bridge writes the temporary files it reports.
    QString bridgeTempPath() const;
    // Notifications the bridge has sent so far (pages, blocks, messages): a count that moves while a
    // batch makes progress. Their signals are queued to this thread before the count goes up.
    int notificationCount() const;

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

private:
    friend class BridgePrivate;
    std::unique_ptr<BridgePrivate> d;
};

} // namespace pelirand
