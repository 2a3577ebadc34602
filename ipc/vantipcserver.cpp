#include "ipc/vantipcserver.h"

#include "ipc/vantipcsettings.h"
#include "ipc/vantipcwire.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>

namespace VantHelper {

VantIPCServer::VantIPCServer(const QString& sServerPrg, const QString& sVersion, QObject* parent)
    : QObject(parent), m_sServerPrg(sServerPrg), m_sVersion(sVersion), m_pServer(nullptr)
{
    if (!m_sServerPrg.isEmpty())
        registerServer();
}

VantIPCServer::~VantIPCServer()
{
    delete m_pServer;
}

void VantIPCServer::setServerPrg(const QString& sServerPrg)
{
    m_sServerPrg = sServerPrg;
}

bool VantIPCServer::startServer()
{
    if (m_pServer)
        return true;
    const QString sName = makeServerName(m_sServerPrg, m_sVersion);
    // Clears an endpoint that an earlier process left behind.
    QLocalServer::removeServer(sName);
    m_pServer = new QLocalServer();
    connect(m_pServer, &QLocalServer::newConnection, this, &VantIPCServer::on_newConnection);
    // Only processes of the current user may connect.
    m_pServer->setSocketOptions(QLocalServer::UserAccessOption);
    if (m_pServer->listen(sName))
        return true;
    const QString sError = m_pServer->errorString();
    delete m_pServer;
    m_pServer = nullptr;
    m_sLastError = tr("Fehler beim Starten des IPC-Servers von '%1 %2': %3")
                       .arg(m_sServerPrg)
                       .arg(m_sVersion)
                       .arg(sError);
    return false;
}

QString VantIPCServer::lastError() const
{
    return m_sLastError;
}

void VantIPCServer::on_newConnection()
{
    QLocalSocket* pSocket = m_pServer->nextPendingConnection();
    if (!pSocket)
        return;
    connect(pSocket, &QLocalSocket::readyRead, this, &VantIPCServer::on_handleIncomingData);
    // A long run must not collect the objects of connections that are gone.
    connect(pSocket, &QLocalSocket::disconnected, pSocket, &QObject::deleteLater);
}

void VantIPCServer::on_handleIncomingData()
{
    // The receiver may run a nested event loop; the guard notices if the connection went meanwhile.
    QPointer<QLocalSocket> pSocket = qobject_cast<QLocalSocket*>(sender());
    if (!pSocket)
        return;
    while (pSocket && pSocket->bytesAvailable() > 0) {
        QByteArray payload;
        if (readFrame(pSocket, payload) != FrameWait::Ready) {
            // What is left of this connection cannot be framed any more.
            pSocket->abort();
            pSocket->deleteLater();
            return;
        }
        VantIPCCommand cmd;
        decodeRequest(payload, cmd);
        emit si_execCommand(cmd);
        if (!pSocket)
            return;
        writeFrame(pSocket, encodeReply(cmd));
    }
}

void VantIPCServer::registerServer()
{
    registerServerVersion(m_sServerPrg, m_sVersion);
}

} // namespace VantHelper
