#pragma once

// Peers for the IPC tests. The IPC classes block in waitForReadyRead, so whatever they talk to runs on
// a thread of its own with its own event loop.

#include "ipc/vantipccommand.h"
#include "ipc/vantipcserver.h"
#include "ipc/vantipcwire.h"

#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMutex>
#include <QMutexLocker>
#include <QQueue>
#include <QSemaphore>
#include <QThread>
#include <QtEndian>

#include <memory>

#include <sys/socket.h>
#include <unistd.h>

namespace ipctest {

// Endpoint names of their own, so that test programs running side by side never meet.
inline QString uniquePrg()
{
    static int s_iCount = 0;
    return QStringLiteral("tstipc%1x%2").arg(QCoreApplication::applicationPid()).arg(++s_iCount);
}

// A frame built independently of writeFrame, as the oracle of the tests.
inline QByteArray frameOf(const QByteArray& payload)
{
    QByteArray frame(4, '\0');
    qToLittleEndian<qint32>(payload.size(), frame.data());
    return frame + payload;
}

inline QByteArray lengthPrefix(qint32 nLength)
{
    QByteArray prefix(4, '\0');
    qToLittleEndian<qint32>(nLength, prefix.data());
    return prefix;
}

// Reads exactly nBytes from the socket, or what came before it closed or 10 s passed.
inline QByteArray readExactly(QLocalSocket& socket, qint64 nBytes)
{
    while (socket.bytesAvailable() < nBytes && socket.waitForReadyRead(10000)) {
    }
    return socket.read(nBytes);
}

// A connected pair of local sockets on one thread; the kernel buffers what one end writes.
struct SocketPair
{
    QLocalSocket reader;
    QLocalSocket writer;

    SocketPair()
    {
        int fds[2] = {-1, -1};
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            reader.setSocketDescriptor(fds[0]);
            writer.setSocketDescriptor(fds[1]);
        }
    }

    // Writes straight to the kernel, so another thread may feed the reader while it waits.
    bool writeRaw(const QByteArray& bytes)
    {
        return ::write(int(writer.socketDescriptor()), bytes.constData(), size_t(bytes.size())) ==
               ssize_t(bytes.size());
    }

    // The reader sees the end of the stream; the writer's object stays intact.
    void shutdownWriter() { ::shutdown(int(writer.socketDescriptor()), SHUT_WR); }
};

// Runs functions on a worker thread with an event loop of its own.
class Worker
{
public:
    Worker()
    {
        m_thread.start();
        m_pContext = new QObject();
        m_pContext->moveToThread(&m_thread);
    }

    ~Worker()
    {
        m_thread.quit();
        m_thread.wait();
        delete m_pContext;
    }

    template <typename F>
    void run(F function)
    {
        QMetaObject::invokeMethod(m_pContext, function, Qt::BlockingQueuedConnection);
    }

    template <typename F>
    void post(F function)
    {
        QMetaObject::invokeMethod(m_pContext, function, Qt::QueuedConnection);
    }

private:
    QThread m_thread;
    QObject* m_pContext;
};

// A VantIPCServer whose internals the tests may look at.
class TestServer : public VantHelper::VantIPCServer
{
public:
    using VantIPCServer::VantIPCServer;
};

// A VantIPCServer on its own thread. With bEcho its receiver answers iCmd + 100 and the parameters; a
// request with kGateCmd holds the thread until release().
class ServerThread
{
public:
    static constexpr qint32 kGateCmd = 99;

    explicit ServerThread(const QString& sPrg, bool bEcho = true)
    {
        m_worker.run([&] {
            m_pServer = new TestServer(sPrg, QStringLiteral("1.0"));
            if (bEcho) {
                QObject::connect(
                    m_pServer, &VantHelper::VantIPCServer::si_execCommand, m_pServer,
                    [this](VantHelper::VantIPCCommand& cmd) { execute(cmd); }, Qt::DirectConnection);
            }
            m_bStarted = m_pServer->startServer();
        });
    }

    ~ServerThread() { stop(); }

    bool started() const { return m_bStarted; }

    // Destroys the server, which closes every connection.
    void stop()
    {
        m_worker.run([&] {
            delete m_pServer;
            m_pServer = nullptr;
        });
    }

    template <typename R, typename F>
    R query(F function)
    {
        R result{};
        m_worker.run([&] { result = m_pServer ? function(m_pServer) : R{}; });
        return result;
    }

    int connectionCount()
    {
        return query<int>([](TestServer* pServer) { return pServer->connectionCount(); });
    }

    QString fullServerName()
    {
        return query<QString>([](TestServer* pServer) { return pServer->fullServerName(); });
    }

    QList<VantHelper::VantIPCCommand> received()
    {
        QMutexLocker lock(&m_mutex);
        return m_lstReceived;
    }

    // Event-loop passes the server thread had made when each command was executed.
    QList<int> markers()
    {
        QMutexLocker lock(&m_mutex);
        return m_lstMarkers;
    }

    void release() { m_gate.release(); }

private:
    void execute(VantHelper::VantIPCCommand& cmd)
    {
        {
            QMutexLocker lock(&m_mutex);
            m_lstReceived.append(cmd);
            m_lstMarkers.append(m_iMarker);
        }
        // Runs only when the server thread returns to its event loop.
        m_worker.post([this] { ++m_iMarker; });
        if (cmd.iCmd == kGateCmd)
            m_gate.acquire();
        cmd.iResult = cmd.iCmd + 100;
        cmd.lstResults = cmd.lstParams;
    }

    Worker m_worker;
    TestServer* m_pServer = nullptr;
    bool m_bStarted = false;
    QMutex m_mutex;
    QList<VantHelper::VantIPCCommand> m_lstReceived;
    QList<int> m_lstMarkers;
    int m_iMarker = 0; // server thread only
    QSemaphore m_gate;
};

// A raw peer on its own thread: records every complete frame that arrives and answers each with the
// next scripted reply (or the empty reply when none is left), closing afterwards if told to.
class RawPeerThread
{
public:
    struct Reply
    {
        QByteArray bytes;
        bool bClose = false;
    };

    explicit RawPeerThread(const QString& sPrg)
    {
        m_worker.run([&] {
            const QString sName = VantHelper::makeServerName(sPrg, QStringLiteral("1.0"));
            QLocalServer::removeServer(sName);
            m_pServer = new QLocalServer();
            QObject::connect(m_pServer, &QLocalServer::newConnection, m_pServer, [this] { accept(); });
            m_bStarted = m_pServer->listen(sName);
        });
    }

    ~RawPeerThread()
    {
        m_worker.run([&] { delete m_pServer; });
    }

    bool started() const { return m_bStarted; }

    void script(const QByteArray& bytes, bool bClose = false)
    {
        QMutexLocker lock(&m_mutex);
        m_queue.enqueue(Reply{bytes, bClose});
    }

    QList<QByteArray> frames()
    {
        QMutexLocker lock(&m_mutex);
        return m_lstFrames;
    }

private:
    void accept()
    {
        QLocalSocket* pSocket = m_pServer->nextPendingConnection();
        if (!pSocket)
            return;
        auto pBuffer = std::make_shared<QByteArray>();
        QObject::connect(pSocket, &QLocalSocket::readyRead, pSocket, [this, pSocket, pBuffer] {
            pBuffer->append(pSocket->readAll());
            while (pBuffer->size() >= 4) {
                const qint32 nLength = qFromLittleEndian<qint32>(pBuffer->constData());
                if (pBuffer->size() < 4 + nLength)
                    return;
                Reply reply{frameOf(QByteArray(8, '\0')), false};
                {
                    QMutexLocker lock(&m_mutex);
                    m_lstFrames.append(pBuffer->left(4 + nLength));
                    if (!m_queue.isEmpty())
                        reply = m_queue.dequeue();
                }
                pBuffer->remove(0, 4 + nLength);
                pSocket->write(reply.bytes);
                pSocket->flush();
                if (reply.bClose) {
                    pSocket->disconnectFromServer();
                    return;
                }
            }
        });
    }

    Worker m_worker;
    QLocalServer* m_pServer = nullptr;
    bool m_bStarted = false;
    QMutex m_mutex;
    QQueue<Reply> m_queue;
    QList<QByteArray> m_lstFrames;
};

} // namespace ipctest
