#pragma once

// The main application's IPC server, on a thread of its own: it answers every
// request from the bridge at once, whatever the main thread is doing (the
// bridge blocks until its reply arrives, possibly while the main thread waits
// for the bridge's reply to a request of its own), and passes each
// notification on as a queued signal.

#include <QAtomicInt>
#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include "ipc/vantipccommand.h"

namespace VantHelper {
class VantIPCServer;
}

namespace pelirand {

class BridgeListener : public QObject
{
    Q_OBJECT

public:
    BridgeListener() = default;
    ~BridgeListener() override;

    // Both run on the listener's thread.
    // pbNameInUse: set when a live server already answers at that name.
    bool startServer(const QString& sServerPrg, QString& sError, bool* pbNameInUse = nullptr);
    void stopServer();

    // Requests answered so far; readable from any thread. Signals for them
    // were queued before the count went up.
    int requestCount() const { return m_nRequests.loadAcquire(); }
    // The triplet the bridge's transfer loop announced last, and how long ago
    // (ms); empty when no batch runs. Readable from any thread.
    QString loopCall(qint64* pnAgeMs = nullptr) const;

signals:
    void si_hello(QString sBridgePrg);
    void si_callbackMsg(uint uiMsg, uint uiState);
    // What the bridge noticed the source doing wrong in a batch; comes just before the batch's end.
    void si_sourceFaults(QStringList lstFaults);
    void si_imageInFile(int iId, QString sFileName);
    void si_imageFailed(int iPage, QString sWhy);
    // A request that is not one of the three notifications, or lacks parameters.
    void si_badRequest(QString sWhat);

private slots:
    void on_execCommand(VantHelper::VantIPCCommand& cmd);

private:
    bool dispatch(const VantHelper::VantIPCCommand& cmd);

    VantHelper::VantIPCServer* m_pServer = nullptr;
    QAtomicInt m_nRequests;
    mutable QMutex m_mutex;
    QString m_sLoopCall;
    QElapsedTimer m_loopCallTimer;
};

} // namespace pelirand
