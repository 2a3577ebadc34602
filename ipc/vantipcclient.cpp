#include "ipc/vantipcclient.h"

#include "ipc/vantipcsettings.h"
#include "ipc/vantipcwire.h"

#include <QElapsedTimer>
#include <QTimer>

namespace VantHelper {

VantIPCClient::VantIPCClient(const QString& sServerPrg, const QString& sVersion, QObject* parent)
    : QObject(parent), m_sServerPrg(sServerPrg), m_sVersion(sVersion), m_pSocket(new QLocalSocket()),
      m_bConnected(false), m_pTimerTestReady(nullptr), m_iTestReadyMax(0), m_iTestReadyCount(0)
{
    connect(m_pSocket, &QLocalSocket::stateChanged, this, &VantIPCClient::on_socketStateChanged);
}

VantIPCClient::~VantIPCClient()
{
    // No signal may leave an object that is half destroyed.
    disconnect(m_pSocket, nullptr, this, nullptr);
    m_pSocket->abort();
    delete m_pSocket;
}

bool VantIPCClient::connectServer()
{
    if (m_bConnected)
        return true;
    m_pSocket->connectToServer(makeServerName(m_sServerPrg, m_sVersion), QIODevice::ReadWrite);
    if (m_pSocket->waitForConnected(200))
        return true;
    const QString sError = m_pSocket->errorString();
    m_pSocket->abort();
    m_sLastError =
        tr("Fehler beim Verbinden mit IPC-Server '%1 %2': %3").arg(m_sServerPrg).arg(m_sVersion).arg(sError);
    return false;
}

bool VantIPCClient::sendCommand(VantIPCCommand& cmd)
{
    if (!m_bConnected) {
        m_sLastError = tr("Fehler beim Senden eines Kommandos an IPC-Server '%1 %2': Keine Verbindung.")
                           .arg(m_sServerPrg)
                           .arg(m_sVersion);
        return false;
    }
    const QByteArray request = encodeRequest(cmd);
    // The peer would drop the connection on a frame above the limit; refuse it here instead.
    if (request.size() > kMaxFrameLength) {
        m_sLastError =
            tr("Fehler beim Senden eines Kommandos an IPC-Server '%1 %2': Kommando zu groß (%3 Bytes).")
                .arg(m_sServerPrg)
                .arg(m_sVersion)
                .arg(request.size());
        return false;
    }
    writeFrame(m_pSocket, request);

    m_bReplyTimedOut = false;
    if (m_iReplyTimeoutMs >= 0) {
        QElapsedTimer timer;
        timer.start();
        while (m_pSocket->bytesAvailable() == 0 && m_pSocket->state() == QLocalSocket::ConnectedState) {
            const qint64 nLeftMs = m_iReplyTimeoutMs - timer.elapsed();
            if (nLeftMs <= 0) {
                m_bReplyTimedOut = true;
                m_pSocket->abort();
                m_sLastError = tr("Keine Antwort von IPC-Server '%1 %2' innerhalb von %3 ms.")
                                   .arg(m_sServerPrg)
                                   .arg(m_sVersion)
                                   .arg(m_iReplyTimeoutMs);
                return false;
            }
            m_pSocket->waitForReadyRead(int(nLeftMs));
        }
    }

    QByteArray reply;
    const FrameWait result = readFrame(m_pSocket, reply, kFrameStallMs, true);
    if (result != FrameWait::Ready) {
        QString sReason;
        switch (result) {
        case FrameWait::Closed:
            sReason = tr("Die Verbindung wurde getrennt.");
            break;
        case FrameWait::Stalled:
            sReason = tr("Die Antwort blieb %1 ms lang unvollständig.").arg(kFrameStallMs);
            break;
        default:
            sReason = tr("Die Antwort hat eine ungültige Länge.");
            break;
        }
        // Whatever follows on this connection can no longer be matched to a request.
        m_pSocket->abort();
        m_sLastError = tr("Fehler beim Empfangen der Antwort von IPC-Server '%1 %2': %3")
                           .arg(m_sServerPrg)
                           .arg(m_sVersion)
                           .arg(sReason);
        return false;
    }
    decodeReply(reply, cmd);
    return true;
}

void VantIPCClient::pollConnection()
{
    if (m_bConnected && m_pSocket->bytesAvailable() == 0)
        m_pSocket->waitForReadyRead(0);
}

QString VantIPCClient::lastError() const
{
    return m_sLastError;
}

void VantIPCClient::startTestReady(int iIntervalMs, int iMaxAttempts)
{
    if (!m_pTimerTestReady) {
        m_pTimerTestReady = new QTimer(this);
        connect(m_pTimerTestReady, &QTimer::timeout, this, &VantIPCClient::on_timerTestReady);
    }
    m_pTimerTestReady->setInterval(iIntervalMs);
    m_iTestReadyMax = iMaxAttempts;
    m_iTestReadyCount = 0;
    m_pTimerTestReady->start();
}

void VantIPCClient::on_socketStateChanged(QLocalSocket::LocalSocketState newState)
{
    if (newState != QLocalSocket::ConnectedState && newState != QLocalSocket::UnconnectedState)
        return;
    const bool bConnected = newState == QLocalSocket::ConnectedState;
    if (bConnected == m_bConnected)
        return;
    m_bConnected = bConnected;
    emit si_connectedChanged(m_bConnected);
}

void VantIPCClient::on_timerTestReady()
{
    if (!m_pTimerTestReady || !m_pTimerTestReady->isActive())
        return;
    if (connectServer()) {
        m_pTimerTestReady->stop();
        emit si_ready(true);
        return;
    }
    ++m_iTestReadyCount;
    if (m_iTestReadyCount >= m_iTestReadyMax) {
        m_pTimerTestReady->stop();
        emit si_ready(false);
    }
}

QString VantIPCClient::readCurrentVersion(QString sServerPrg)
{
    return readServerVersion(sServerPrg);
}

} // namespace VantHelper
