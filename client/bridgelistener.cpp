#include "client/bridgelistener.h"

#include "protocol/commandcodes.h"
#include "pelirand/twainblocks.h"
#include "ipc/vantipcserver.h"

namespace pelirand {

BridgeListener::~BridgeListener()
{
    delete m_pServer;
}

bool BridgeListener::startServer(const QString& sServerPrg, QString& sError, bool* pbNameInUse)
{
    // Named after construction, so that no fresh name is ever entered in the
    // settings store's server registry.
    m_pServer = new VantHelper::VantIPCServer(QString(), QStringLiteral("1.0"));
    m_pServer->setServerPrg(sServerPrg);
    connect(m_pServer, &VantHelper::VantIPCServer::si_execCommand, this, &BridgeListener::on_execCommand,
            Qt::DirectConnection);
    if (m_pServer->startServer())
        return true;
    sError = m_pServer->lastError();
    if (pbNameInUse)
        *pbNameInUse = m_pServer->nameInUse();
    delete m_pServer;
    m_pServer = nullptr;
    return false;
}

void BridgeListener::stopServer()
{
    // Closes the endpoint and every connection on it.
    delete m_pServer;
    m_pServer = nullptr;
}

void BridgeListener::on_execCommand(VantHelper::VantIPCCommand& cmd)
{
    // The bridge does not read the reply; 1 marks a request we could not use.
    cmd.iResult = 0;
    cmd.lstResults.clear();
    if (!dispatch(cmd)) {
        cmd.iResult = 1;
        emit si_badRequest(
            QStringLiteral("request %1 with %2 parameters").arg(cmd.iCmd).arg(cmd.lstParams.size()));
    }
    m_nRequests.fetchAndAddRelease(1);
}

QString BridgeListener::loopCall(qint64* pnAgeMs) const
{
    QMutexLocker lock(&m_mutex);
    if (pnAgeMs)
        *pnAgeMs = m_sLoopCall.isEmpty() ? 0 : m_loopCallTimer.elapsed();
    return m_sLoopCall;
}

bool BridgeListener::dispatch(const VantHelper::VantIPCCommand& cmd)
{
    const QList<QVariant>& params = cmd.lstParams;
    switch (cmd.iCmd) {
    case cmdHello:
        if (params.size() < 1 || params.at(0).toString().isEmpty())
            return false;
        emit si_hello(params.at(0).toString());
        return true;
    case cmdCallbackMsg:
        if (params.size() < 2)
            return false;
        if (params.at(0).toUInt() == 0) {
            QMutexLocker lock(&m_mutex);
            m_sLoopCall.clear();
        }
        if (params.size() >= 3 && !params.at(2).toString().isEmpty())
            emit si_sourceFaults(params.at(2).toString().split(QLatin1Char('\n'), Qt::SkipEmptyParts));
        emit si_callbackMsg(params.at(0).toUInt(), params.at(1).toUInt());
        return true;
    case cmdTwainCall: {
        if (params.size() < 3)
            return false;
        QMutexLocker lock(&m_mutex);
        m_sLoopCall = tripletName(params.at(0).toUInt(), quint16(params.at(1).toUInt()),
                                  quint16(params.at(2).toUInt()));
        m_loopCallTimer.start();
        return true;
    }
    case cmdImageInFile:
        if (params.size() < 2 || params.at(1).toString().isEmpty())
            return false;
        emit si_imageInFile(params.at(0).toInt(), params.at(1).toString());
        return true;
    case cmdImageFailed:
        if (params.size() < 2)
            return false;
        emit si_imageFailed(params.at(0).toInt(), params.at(1).toString());
        return true;
    default:
        return false;
    }
}

} // namespace pelirand
