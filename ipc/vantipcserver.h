#pragma once

#include "ipc/vantipccommand.h"

#include <QObject>
#include <QPointer>
#include <QString>

class QLocalServer;
class QLocalSocket;
class QSocketNotifier;

namespace VantHelper {

// Accepts the peer's connections on a named local endpoint, hands every command that arrives to the
// receiver of si_execCommand and sends the receiver's answer back on the same connection.
//
// Each connection's frames are assembled as their bytes come, so a peer that sends half a frame delays
// nobody else. A server takes a bounded number of connections and keeps a bounded number of reply bytes
// that a peer has not read; a connection beyond either bound is closed. Running out of descriptors only
// pauses accepting: the endpoint stays and accepting resumes.
class VantIPCServer : public QObject
{
    Q_OBJECT

public:
    VantIPCServer(const QString& sServerPrg, const QString& sVersion, QObject* parent = nullptr);
    ~VantIPCServer() override;

    // Takes effect at the next startServer; registers nothing.
    void setServerPrg(const QString& sServerPrg);
    bool startServer();
    QString lastError() const;
    // The last startServer failed because a live server answers at the name.
    bool nameInUse() const { return m_bNameInUse; }
    // True when a server answers at the full endpoint name sName (or the endpoint is not ours to reach).
    static bool liveServerAt(const QString& sName);

    // The endpoint's path while listening, else empty.
    QString fullServerName() const;
    // Connections open now.
    int connectionCount() const;

    // Simultaneous connections taken; further ones are closed at once.
    static constexpr int kMaxConnections = 16;
    // Reply bytes a connection may leave unread: one reply of the largest frame.
    static constexpr qint64 kMaxUnreadReplyBytes = qint64(64) * 1024 * 1024 + 4;

signals:
    // The receiver must be connected directly: it fills cmd.iResult and cmd.lstResults before returning.
    void si_execCommand(VantHelper::VantIPCCommand& cmd);

protected slots:
    void on_newConnection();
    void on_handleIncomingData();

protected:
    QString m_sServerPrg;
    QString m_sVersion;
    // Where Qt's own server is used (named pipes); on Unix the endpoint is served directly below.
    QLocalServer* m_pServer;
    QString m_sLastError;
    bool m_bNameInUse = false;

private:
    void registerServer();
    bool isListening() const;
    void adoptConnection(QLocalSocket* pSocket);
    void serveConnection(const QPointer<QLocalSocket>& pSocket);
    void dropConnection(QLocalSocket* pSocket);
    void watchStall(QLocalSocket* pSocket);
#ifdef Q_OS_UNIX
    bool listenAt(const QString& sPath, QString& sError);
    void closeListener();
    void resumeAccepting();

    int m_iListenFd = -1;
    QString m_sListenPath;
    unsigned long long m_nListenInode = 0;
    QSocketNotifier* m_pAcceptNotifier = nullptr;
#endif
};

} // namespace VantHelper
