#include "ipc/vantipcserver.h"

#include "ipc/vantipcpaths.h"
#include "ipc/vantipcsettings.h"
#include "ipc/vantipcwire.h"

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QtEndian>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace VantHelper {

namespace {

// How long an endpoint may take to accept a probing connection before it counts as taken.
constexpr int kLiveServerProbeMs = 1000;
// Pause before accepting again after the process ran out of descriptors.
constexpr int kAcceptRetryMs = 100;
// Per connection: set while a pass serves it, so that a receiver's nested event loop does not start a
// second pass that would answer out of order.
const char kServingProperty[] = "vantipcServing";
// Per connection: the timer that closes it when a frame or a reply stops making progress.
const char kStallTimerName[] = "vantipcStall";

} // namespace

VantIPCServer::VantIPCServer(const QString& sServerPrg, const QString& sVersion, QObject* parent)
    : QObject(parent), m_sServerPrg(sServerPrg), m_sVersion(sVersion), m_pServer(nullptr)
{
    if (!m_sServerPrg.isEmpty())
        registerServer();
}

VantIPCServer::~VantIPCServer()
{
#ifdef Q_OS_UNIX
    closeListener();
#endif
    // No signal of a connection may reach a server that is half destroyed.
    const QList<QLocalSocket*> lstConnections =
        findChildren<QLocalSocket*>(QString(), Qt::FindDirectChildrenOnly);
    for (QLocalSocket* pSocket : lstConnections) {
        disconnect(pSocket, nullptr, this, nullptr);
        pSocket->abort();
        delete pSocket;
    }
    delete m_pServer;
}

void VantIPCServer::setServerPrg(const QString& sServerPrg)
{
    m_sServerPrg = sServerPrg;
}

bool VantIPCServer::isListening() const
{
#ifdef Q_OS_UNIX
    return m_iListenFd >= 0;
#else
    return m_pServer != nullptr;
#endif
}

bool VantIPCServer::startServer()
{
    if (isListening())
        return true;
    const QString sName = makeServerName(m_sServerPrg, m_sVersion);
    const auto fail = [this](const QString& sWhy) {
        m_sLastError = tr("Fehler beim Starten des IPC-Servers von '%1 %2': %3")
                           .arg(m_sServerPrg)
                           .arg(m_sVersion)
                           .arg(sWhy);
        return false;
    };
    m_bNameInUse = false;
    if (!fitsLocalSocket(sName))
        return fail(socketPathTooLongError(localSocketPath(sName)));
    // Another process's live server keeps its endpoint; only one that nobody answers at is cleared.
    if (liveServerAt(sName)) {
        m_bNameInUse = true;
        return fail(tr("Unter diesem Namen antwortet bereits ein Server."));
    }
    QLocalServer::removeServer(sName);
#ifdef Q_OS_UNIX
    QString sError;
    if (!listenAt(localSocketPath(sName), sError))
        return fail(sError);
    return true;
#else
    m_pServer = new QLocalServer();
    connect(m_pServer, &QLocalServer::newConnection, this, &VantIPCServer::on_newConnection);
    // Only processes of the current user may connect.
    m_pServer->setSocketOptions(QLocalServer::UserAccessOption);
    if (m_pServer->listen(sName))
        return true;
    m_bNameInUse = m_pServer->serverError() == QAbstractSocket::AddressInUseError;
    const QString sError = m_pServer->errorString();
    delete m_pServer;
    m_pServer = nullptr;
    return fail(sError);
#endif
}

QString VantIPCServer::lastError() const
{
    return m_sLastError;
}

bool VantIPCServer::liveServerAt(const QString& sName)
{
    QLocalSocket probe;
    probe.connectToServer(sName, QIODevice::ReadWrite);
    if (probe.waitForConnected(kLiveServerProbeMs)) {
        probe.abort();
        return true;
    }
    switch (probe.error()) {
    case QLocalSocket::ServerNotFoundError:
    case QLocalSocket::ConnectionRefusedError:
        return false;
    default:
        // Not ours to reach (another user's endpoint) or too busy to answer: not free either way.
        return true;
    }
}

QString VantIPCServer::fullServerName() const
{
#ifdef Q_OS_UNIX
    return m_sListenPath;
#else
    return m_pServer ? m_pServer->fullServerName() : QString();
#endif
}

int VantIPCServer::connectionCount() const
{
    return findChildren<QLocalSocket*>(QString(), Qt::FindDirectChildrenOnly).size();
}

#ifdef Q_OS_UNIX

bool VantIPCServer::listenAt(const QString& sPath, QString& sError)
{
    const QByteArray path = QFile::encodeName(sPath);
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof(addr.sun_path)) {
        sError = socketPathTooLongError(sPath);
        return false;
    }
    std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        sError = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        const int iErr = errno;
        ::close(fd);
        m_bNameInUse = iErr == EADDRINUSE;
        sError = QString::fromLocal8Bit(std::strerror(iErr));
        return false;
    }
    // Only processes of the current user may connect: set before listening, when nobody can yet.
    struct stat st;
    if (::chmod(path.constData(), S_IRUSR | S_IWUSR) != 0 || ::lstat(path.constData(), &st) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        const int iErr = errno;
        ::close(fd);
        ::unlink(path.constData());
        sError = QString::fromLocal8Bit(std::strerror(iErr));
        return false;
    }
    m_iListenFd = fd;
    m_sListenPath = sPath;
    m_nListenInode = st.st_ino;
    m_pAcceptNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_pAcceptNotifier, &QSocketNotifier::activated, this, &VantIPCServer::on_newConnection);
    return true;
}

void VantIPCServer::closeListener()
{
    if (m_iListenFd < 0)
        return;
    delete m_pAcceptNotifier;
    m_pAcceptNotifier = nullptr;
    ::close(m_iListenFd);
    m_iListenFd = -1;
    // Only our own endpoint: whatever has taken the path since stays.
    const QByteArray path = QFile::encodeName(m_sListenPath);
    struct stat st;
    if (::lstat(path.constData(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_ino == m_nListenInode)
        ::unlink(path.constData());
    m_sListenPath.clear();
}

void VantIPCServer::resumeAccepting()
{
    if (!m_pAcceptNotifier)
        return;
    m_pAcceptNotifier->setEnabled(true);
    on_newConnection();
}

#endif

void VantIPCServer::on_newConnection()
{
#ifdef Q_OS_UNIX
    if (m_iListenFd < 0)
        return;
    for (;;) {
        const int fd = ::accept4(m_iListenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            // Out of descriptors or memory: the waiting connection stays queued, the endpoint stays, and
            // accepting resumes shortly.
            m_pAcceptNotifier->setEnabled(false);
            QTimer::singleShot(kAcceptRetryMs, this, &VantIPCServer::resumeAccepting);
            return;
        }
        if (connectionCount() >= kMaxConnections) {
            ::close(fd);
            continue;
        }
        auto* pSocket = new QLocalSocket(this);
        if (!pSocket->setSocketDescriptor(fd, QLocalSocket::ConnectedState, QIODevice::ReadWrite)) {
            delete pSocket;
            ::close(fd);
            continue;
        }
        adoptConnection(pSocket);
    }
#else
    QLocalSocket* pSocket = m_pServer->nextPendingConnection();
    if (!pSocket)
        return;
    if (connectionCount() >= kMaxConnections) {
        pSocket->abort();
        pSocket->deleteLater();
        return;
    }
    pSocket->setParent(this);
    adoptConnection(pSocket);
#endif
}

void VantIPCServer::adoptConnection(QLocalSocket* pSocket)
{
    auto* pStall = new QTimer(pSocket);
    pStall->setObjectName(QLatin1String(kStallTimerName));
    pStall->setSingleShot(true);
    pStall->setInterval(kFrameStallMs);
    QPointer<QLocalSocket> pGuard(pSocket);
    connect(pStall, &QTimer::timeout, this, [this, pGuard] {
        // Half a frame or an unread reply that made no progress for the whole bound.
        if (pGuard)
            dropConnection(pGuard);
    });
    connect(pSocket, &QLocalSocket::readyRead, this, &VantIPCServer::on_handleIncomingData);
    connect(pSocket, &QLocalSocket::bytesWritten, this, [this, pGuard] {
        if (pGuard)
            watchStall(pGuard);
    });
    // A long run must not collect the objects of connections that are gone.
    connect(pSocket, &QLocalSocket::disconnected, pSocket, &QObject::deleteLater);
    if (pSocket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(
            this, [this, pGuard] { serveConnection(pGuard); }, Qt::QueuedConnection);
}

void VantIPCServer::on_handleIncomingData()
{
    // The receiver may run a nested event loop; the guard notices if the connection went meanwhile.
    QPointer<QLocalSocket> pSocket = qobject_cast<QLocalSocket*>(sender());
    if (!pSocket)
        return;
    serveConnection(pSocket);
}

void VantIPCServer::serveConnection(const QPointer<QLocalSocket>& pSocket)
{
    if (!pSocket || pSocket->property(kServingProperty).toBool())
        return;
    pSocket->setProperty(kServingProperty, true);
    // Every complete frame waiting on this connection, in arrival order; a partial one waits for its
    // next bytes without holding anybody up.
    while (pSocket) {
        const qint64 nHave = pSocket->bytesAvailable();
        if (nHave < 4)
            break;
        char prefix[4];
        if (pSocket->peek(prefix, 4) != 4)
            break;
        const qint32 nLength = qFromLittleEndian<qint32>(prefix);
        if (nLength < 0 || nLength > kMaxFrameLength) {
            // What is left of this connection cannot be framed any more.
            dropConnection(pSocket);
            return;
        }
        if (nHave < 4 + qint64(nLength))
            break;
        pSocket->read(prefix, 4);
        const QByteArray payload = pSocket->read(nLength);
        // A command may run as long as it needs (a source's dialog): no bound while it does.
        watchStall(pSocket);
        VantIPCCommand cmd;
        decodeRequest(payload, cmd);
        emit si_execCommand(cmd);
        if (!pSocket)
            return;
        writeFrame(pSocket, encodeReply(cmd));
        if (pSocket->bytesToWrite() > kMaxUnreadReplyBytes) {
            // The peer sends requests but does not read the replies.
            dropConnection(pSocket);
            return;
        }
    }
    if (!pSocket)
        return;
    pSocket->setProperty(kServingProperty, false);
    watchStall(pSocket);
}

void VantIPCServer::watchStall(QLocalSocket* pSocket)
{
    auto* pStall = pSocket->findChild<QTimer*>(QLatin1String(kStallTimerName), Qt::FindDirectChildrenOnly);
    if (!pStall)
        return;
    const bool bPending = !pSocket->property(kServingProperty).toBool() &&
                          (pSocket->bytesAvailable() > 0 || pSocket->bytesToWrite() > 0);
    // Restarted on every bit of progress: the bound counts time without any.
    if (bPending)
        pStall->start();
    else
        pStall->stop();
}

void VantIPCServer::dropConnection(QLocalSocket* pSocket)
{
    disconnect(pSocket, nullptr, this, nullptr);
    pSocket->abort();
    pSocket->deleteLater();
}

void VantIPCServer::registerServer()
{
    registerServerVersion(m_sServerPrg, m_sVersion);
}

} // namespace VantHelper
