#include "client/bridgelistener.h"

#include "protocol/commands.h"
#include "protocol/naming.h"
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
    m_pServer = new VantHelper::VantIPCServer(QString(), protocol::serverVersion());
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
    switch (cmd.iCmd) {
    case cmdHello: {
        protocol::Params<cmdHello> hello;
        if (!protocol::decodeParams<cmdHello>(cmd.lstParams, hello) || hello.serverPrg.isEmpty())
            return false;
        emit si_hello(hello.serverPrg);
        return true;
    }
    case cmdCallbackMsg: {
        protocol::Params<cmdCallbackMsg> message;
        if (!protocol::decodeParams<cmdCallbackMsg>(cmd.lstParams, message))
            return false;
        if (message.msg == 0) {
            QMutexLocker lock(&m_mutex);
            m_sLoopCall.clear();
        }
        if (!message.faults.isEmpty())
            emit si_sourceFaults(message.faults.split(QLatin1Char('\n'), Qt::SkipEmptyParts));
        emit si_callbackMsg(message.msg, message.state);
        return true;
    }
    case cmdTwainCall: {
        protocol::Params<cmdTwainCall> call;
        if (!protocol::decodeParams<cmdTwainCall>(cmd.lstParams, call))
            return false;
        QMutexLocker lock(&m_mutex);
        m_sLoopCall = tripletName(call.dg, call.dat, call.msg);
        m_loopCallTimer.start();
        return true;
    }
    case cmdImageInFile: {
        protocol::Params<cmdImageInFile> image;
        if (!protocol::decodeParams<cmdImageInFile>(cmd.lstParams, image) || image.fileName.isEmpty())
            return false;
        emit si_imageInFile(image.id, image.fileName);
        return true;
    }
    case cmdImageFailed: {
        protocol::Params<cmdImageFailed> failure;
        if (!protocol::decodeParams<cmdImageFailed>(cmd.lstParams, failure))
            return false;
        emit si_imageFailed(failure.page, failure.why);
        return true;
    }
    default:
        return false;
    }
}

} // namespace pelirand
