#pragma once

#include "ipc/vantipccommand.h"

#include <QLocalSocket>
#include <QObject>
#include <QString>

class QTimer;

namespace VantHelper {

// Connects to a peer's IPC server and sends it commands one at a time, each returning only once the
// peer's reply has arrived.
class VantIPCClient : public QObject
{
    Q_OBJECT

public:
    VantIPCClient(const QString& sServerPrg, const QString& sVersion, QObject* parent = nullptr);
    ~VantIPCClient() override;

    bool connectServer();
    // Blocks until the reply is there and writes it into cmd; the request half stays as it was.
    bool sendCommand(VantHelper::VantIPCCommand& cmd);
    // Notices at once, without the event loop, that the peer has closed the connection
    // (si_connectedChanged(false) follows then).
    void pollConnection();
    QString lastError() const;
    // Bound for the wait for a reply's first byte (-1, the default: as long as the connection lives).
    // A reply that does not come in time fails sendCommand and aborts the connection, since a late
    // reply could no longer be matched to its request.
    void setReplyTimeout(int iMs) { m_iReplyTimeoutMs = iMs; }
    bool replyTimedOut() const { return m_bReplyTimedOut; }

    // Tries to connect every iIntervalMs until it succeeds or iMaxAttempts attempts have failed, then
    // reports the outcome with si_ready. A test that is running starts over.
    void startTestReady(int iIntervalMs, int iMaxAttempts);

signals:
    bool si_connectedChanged(bool bConnected);
    bool si_ready(bool bConnected);

protected slots:
    void on_socketStateChanged(QLocalSocket::LocalSocketState newState);
    void on_timerTestReady();
    QString readCurrentVersion(QString sServerPrg);

protected:
    QString m_sServerPrg;
    QString m_sVersion;
    QLocalSocket* m_pSocket;
    bool m_bConnected;
    QTimer* m_pTimerTestReady;
    int m_iTestReadyMax;
    int m_iTestReadyCount;
    QString m_sLastError;
    int m_iReplyTimeoutMs = -1;
    bool m_bReplyTimedOut = false;
};

} // namespace VantHelper
