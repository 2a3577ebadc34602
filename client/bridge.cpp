#include "pelirand/bridge.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QStringList>
#include <QTimer>

#include <cstring>

#include "protocol/commands.h"
#include "protocol/naming.h"
#include "client/bridgelistener.h"
#include "client/bridge_p.h"
#include "pelirand/twainblocks.h"
#include "ipc/leftovers.h"
#include "ipc/vantipcclient.h"
#include "ipc/vantipcpaths.h"
#include "ipc/vantipcserver.h"
#include "ipc/vantipcwire.h"
#include "twain/twain.h"

namespace pelirand {

// The public names of what the bridge says about its dialog are the protocol's values.
static_assert(int(Bridge::DialogOnDisplay) == int(dialogOnDisplay) &&
                  int(Bridge::DialogNoDisplay) == int(dialogNoDisplay) &&
                  int(Bridge::DialogNotDrawn) == int(dialogNotDrawn),
              "Bridge::DialogView follows the protocol's DialogView");

namespace {

constexpr int kQuitWaitMs = 10000;
constexpr int kKillWaitMs = 10000;
// Once the connection has broken, how long the process may take to end.
constexpr int kEndWaitMs = 10000;

// Attempts at an unused server name before start() gives up.
constexpr int kMaxNameAttempts = 8;

// A command the bridge executes, its first nParams parameters (all by default) encoded.
template <BridgeCmd kCode>
VantHelper::VantIPCCommand request(const protocol::Params<kCode>& params,
                                   int nParams = protocol::paramCount<kCode>())
{
    VantHelper::VantIPCCommand cmd;
    cmd.iCmd = kCode;
    cmd.lstParams = protocol::encodeParams<kCode>(params, nParams);
    return cmd;
}

// QDir::tempPath()'s rule, applied to an environment.
QString tempPathOf(const QProcessEnvironment& env)
{
    const QString sTmp = env.value(QStringLiteral("TMPDIR"));
    return QDir::cleanPath(sTmp.isEmpty() ? QStringLiteral("/tmp") : sTmp);
}

QString freshServerPrg()
{
    // Unique per process and per bridge: the pid and 48 random bits.
    const quint32 uiRandom1 = QRandomGenerator::global()->generate();
    const quint32 uiRandom2 = QRandomGenerator::global()->generate();
    return protocol::clientServerName(QCoreApplication::applicationPid(), uiRandom1, uiRandom2);
}

// Exit codes of the bridge's start-up failures (-1, -2, -5 as a process status).
QString startupFailure(int iExitCode)
{
    switch (qint8(iExitCode & 0xFF)) {
    case -1:
        return QStringLiteral("it was started without a server name");
    case -2:
        return QStringLiteral("its own IPC server did not start");
    case -5:
        return QStringLiteral("it could not connect to the main application's server");
    default:
        return QString();
    }
}

} // namespace

BridgePrivate::BridgePrivate(Bridge* q) : q(q) {}

BridgePrivate::~BridgePrivate() = default;

Bridge::Bridge(QObject* parent) : QObject(parent), d(new BridgePrivate(this))
{
    connect(&d->m_process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this] { d->onProcessFinished(); });
}

Bridge::~Bridge()
{
    stop();
    // Kept until now so that bridgeStandardError() can tell what a dying bridge said.
    if (!d->m_sStderrFile.isEmpty())
        QFile::remove(d->m_sStderrFile);
}

void Bridge::setProgram(const QString& sProgram)
{
    d->m_sProgram = sProgram;
}

QString Bridge::program() const
{
    return d->m_sProgram.isEmpty() ? defaultProgram() : d->m_sProgram;
}

QString Bridge::defaultProgram()
{
    const QString sEnv = qEnvironmentVariable("PELIRAND_BRIDGE");
    if (!sEnv.isEmpty())
        return sEnv;
    const QString sBesideApp = QCoreApplication::applicationDirPath() + QStringLiteral("/" PELIRAND_BRIDGE_FILE);
    QStringList lstCandidates{sBesideApp};
    // An application built elsewhere finds the bridge that came with the library:
    // beside it in a build tree, in the installed programs' folder once installed.
    const QString sLibraryDir = libraryDirPath();
    if (!sLibraryDir.isEmpty()) {
        lstCandidates << sLibraryDir + QStringLiteral("/" PELIRAND_BRIDGE_FILE);
#if defined(PELIRAND_BRIDGE_FROM_LIBRARY)
        lstCandidates << QDir::cleanPath(sLibraryDir +
                                         QStringLiteral("/" PELIRAND_BRIDGE_FROM_LIBRARY "/" PELIRAND_BRIDGE_FILE));
#endif
    }
    for (const QString& sCandidate : qAsConst(lstCandidates)) {
        // A folder of that name (lib/pelirand holds the bridge's DSM) is no program.
        const QFileInfo candidate(sCandidate);
        if (candidate.isFile() && candidate.isExecutable())
            return sCandidate;
    }
    // Named in the error start() reports.
    return sBesideApp;
}

void Bridge::setProcessEnvironment(const QProcessEnvironment& env)
{
    d->m_env = env;
    d->m_bHasEnv = true;
}

QProcessEnvironment Bridge::processEnvironment() const
{
    return d->m_bHasEnv ? d->m_env : QProcessEnvironment::systemEnvironment();
}

void Bridge::setHelloTimeout(int milliseconds)
{
    d->m_iHelloTimeoutMs = milliseconds;
}

int Bridge::callTimeout() const
{
    return d->m_iCallTimeoutMs;
}

void Bridge::setForwardStandardError(bool forward)
{
    d->m_bForwardStderr = forward;
}

bool Bridge::hasEndedUnexpectedly() const
{
    return d->m_bEndedUnexpectedly;
}

QString Bridge::endReason() const
{
    return d->m_sEndReason;
}

bool Bridge::hasHung() const
{
    return d->m_bHung;
}

QString Bridge::hungCall() const
{
    return d->m_sHungCall;
}

qint64 Bridge::hungMilliseconds() const
{
    return d->m_nHungMs;
}

QString Bridge::lastError() const
{
    return d->m_sLastError;
}

QString Bridge::serverName() const
{
    return d->m_sServerPrg;
}

QString Bridge::bridgeName() const
{
    return d->m_sBridgePrg;
}

bool Bridge::isConnected() const
{
    return d->m_pClient && !d->m_bEndedUnexpectedly && !d->m_bStopping && d->m_process.state() == QProcess::Running;
}

qint64 Bridge::processId() const
{
    return d->m_process.processId();
}

QString Bridge::bridgeTempPath() const
{
    // The bridge's private folder: named after its server, where its environment puts private folders.
    const QProcessEnvironment env = processEnvironment();
    const QString sBase = VantHelper::privateFolderBase(tempPathOf(env));
    if (d->m_sBridgePrg.isEmpty())
        return sBase;
    return sBase + QLatin1Char('/') + QFileInfo(d->m_sBridgePrg).fileName();
}

void BridgePrivate::removeSocketFolder()
{
    if (m_sSocketFolder.isEmpty())
        return;
    QDir().rmdir(m_sSocketFolder);
    m_sSocketFolder.clear();
}

void BridgePrivate::removeBridgeFolders()
{
    if (m_sBridgePrg.isEmpty() || m_process.state() != QProcess::NotRunning)
        return;
    // Only what the bridge made: a real folder of ours with the bridge's name, never through a link.
    const auto isOurFolder = [](const QString& sPath) {
        const QFileInfo info(sPath);
        return info.isDir() && !info.isSymLink() && isOwnedByUser(info);
    };
    const QString sFolder = q->bridgeTempPath();
    if (protocol::isBridgeFolderName(QFileInfo(sFolder).fileName()) && isOurFolder(sFolder)) {
        QSet<QString> setReported;
        {
            QMutexLocker lock(&m_reportedMutex);
            setReported = m_setReported;
        }
        QDir dir(sFolder);
        const QFileInfoList lstEntries =
            dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        for (const QFileInfo& entry : lstEntries) {
            // Files the bridge reported are the receiver's.
            if (setReported.contains(entry.absoluteFilePath()))
                continue;
            if (entry.isDir() && !entry.isSymLink())
                QDir(entry.absoluteFilePath()).removeRecursively();
            else
                QFile::remove(entry.absoluteFilePath());
        }
        dir.rmdir(sFolder);
    }
    // The endpoint of a bridge that could not remove it (killed), where nobody answers any more.
    const QFileInfo prg(m_sBridgePrg);
    const QString sEndpoint = prg.isAbsolute()
                                  ? VantHelper::makeServerName(m_sBridgePrg, protocol::serverVersion())
                                  : tempPathOf(q->processEnvironment()) + QLatin1Char('/') +
                                        VantHelper::makeServerName(m_sBridgePrg, protocol::serverVersion());
    const QFileInfo endpoint(sEndpoint);
    if (endpoint.exists() && !endpoint.isSymLink() && !endpoint.isDir() &&
        isOwnedByUser(endpoint) && !VantHelper::VantIPCServer::liveServerAt(sEndpoint))
        QFile::remove(sEndpoint);
    // The folder of a bridge that listened in a folder of its own.
    if (prg.isAbsolute() && protocol::inSocketFolder(prg.path()) && isOurFolder(prg.path()))
        QDir().rmdir(prg.path());
}

int BridgePrivate::notificationCount() const
{
    return m_pListener ? m_pListener->requestCount() : 0;
}

int Bridge::notificationCount() const
{
    return d->notificationCount();
}

QString Bridge::bridgeStandardError() const
{
    if (d->m_sStderrFile.isEmpty())
        return QString();
    QFile file(d->m_sStderrFile);
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

bool Bridge::start()
{
    if (d->m_bStarted) {
        d->m_sLastError = QStringLiteral("the bridge was already started");
        return false;
    }
    d->m_bStarted = true;

    const QString sProgram = program();
    if (!QFileInfo(sProgram).isExecutable()) {
        d->m_sLastError = QStringLiteral("the bridge %1 was not found or cannot be run").arg(sProgram);
        return false;
    }

    d->m_pListener = new BridgeListener;
    d->m_pListener->moveToThread(&d->m_listenerThread);
    connect(d->m_pListener, &BridgeListener::si_hello, this, [this](const QString& sBridgePrg) { d->onHello(sBridgePrg); });
    connect(d->m_pListener, &BridgeListener::si_sourceFaults, this, &Bridge::sourceFaultsReported);
    connect(d->m_pListener, &BridgeListener::si_callbackMsg, this, &Bridge::messageRelayed);
    connect(d->m_pListener, &BridgeListener::si_imageInFile, this, &Bridge::imageFileReceived);
    connect(d->m_pListener, &BridgeListener::si_imageFailed, this, &Bridge::imageFailed);
    // Noted on the listener's thread, before anything queued can be lost with a dying bridge.
    connect(
        d->m_pListener, &BridgeListener::si_imageInFile, this,
        [this](int, const QString& sFileName) {
            QMutexLocker lock(&d->m_reportedMutex);
            d->m_setReported.insert(QFileInfo(sFileName).absoluteFilePath());
        },
        Qt::DirectConnection);
    d->m_listenerThread.setObjectName(QStringLiteral("pelirand-listener"));
    d->m_listenerThread.start();
    bool bListening = false;
    QString sError;
    for (int nAttempt = 0; nAttempt < kMaxNameAttempts && !bListening; ++nAttempt) {
        d->removeSocketFolder();
        d->m_sServerPrg = freshServerPrg();
        // Where the temporary folder leaves no room for the endpoint's path, it goes in a short private
        // folder and the bridge is given the folder with the name.
        const QString sEndpoint = VantHelper::makeServerName(d->m_sServerPrg, protocol::serverVersion());
        if (!VantHelper::fitsLocalSocket(sEndpoint)) {
            d->m_sSocketFolder =
                VantHelper::makeSocketFolder(sEndpoint, VantHelper::socketFolderCandidates(), &sError);
            if (d->m_sSocketFolder.isEmpty())
                break;
            d->m_sServerPrg = d->m_sSocketFolder + QLatin1Char('/') + d->m_sServerPrg;
        } else if (tempPathOf(processEnvironment()) != QDir::cleanPath(QDir::tempPath())) {
            // The bridge looks for a plain name in its own temporary folder: name ours in full.
            d->m_sServerPrg = QDir::cleanPath(QDir::tempPath()) + QLatin1Char('/') + d->m_sServerPrg;
        }
        bool bInUse = false;
        QMetaObject::invokeMethod(
            d->m_pListener,
            [this, &bListening, &sError, &bInUse] {
                bListening = d->m_pListener->startServer(d->m_sServerPrg, sError, &bInUse);
            },
            Qt::BlockingQueuedConnection);
        if (!bInUse)
            break;
    }
    if (!bListening) {
        d->m_sLastError = QStringLiteral("the main application's server did not start: %1").arg(sError);
        d->shutDownListener();
        d->removeSocketFolder();
        return false;
    }

    QProcessEnvironment env = processEnvironment();
    d->m_process.setProcessEnvironment(env);
    d->m_process.setStandardOutputFile(QProcess::nullDevice());
    if (d->m_bForwardStderr) {
        d->m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    } else {
        // A file, not a pipe: a pipe nobody reads during a long blocking call could stall the bridge.
        d->m_sStderrFile = tempPathOf(processEnvironment()) +
                        QStringLiteral("/%1.stderr").arg(QFileInfo(d->m_sServerPrg).fileName());
        d->m_process.setStandardErrorFile(d->m_sStderrFile);
    }

    QEventLoop loop;
    connect(this, &Bridge::endedUnexpectedly, &loop, &QEventLoop::quit);
    connect(&d->m_process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    connect(&d->m_process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
            &QEventLoop::quit);
    QTimer helloTimer;
    helloTimer.setSingleShot(true);
    connect(&helloTimer, &QTimer::timeout, &loop, &QEventLoop::quit);
    // onHello() connects the client and then ends the wait.
    connect(d->m_pListener, &BridgeListener::si_hello, &loop, &QEventLoop::quit, Qt::QueuedConnection);

    d->m_sActivity = QStringLiteral("starting");
    d->m_process.start(sProgram, {d->m_sServerPrg});
    if (!d->m_process.waitForStarted(d->m_iHelloTimeoutMs)) {
        d->m_sLastError =
            QStringLiteral("the bridge %1 did not start: %2").arg(sProgram, d->m_process.errorString());
        d->shutDownListener();
        d->removeSocketFolder();
        return false;
    }
    helloTimer.start(d->m_iHelloTimeoutMs);
    // While the bridge starts: what bridges and applications of this user left behind when they were
    // killed (their private folders, endpoints and files) goes.
    VantHelper::sweepLeftovers(VantHelper::socketFolderCandidates()
                               << tempPathOf(env)
                               << VantHelper::userRuntimeDir(env.value(QStringLiteral("XDG_RUNTIME_DIR"))));
    while (!d->m_pClient && !d->m_bHelloFailed && helloTimer.isActive() && d->m_process.state() == QProcess::Running)
        loop.exec();
    d->m_sActivity.clear();

    if (d->m_pClient) {
        if (d->m_iCallTimeoutMs > 0)
            d->announceCalls();
        return isConnected();
    }
    if (d->m_bHelloFailed) {
        // onHello() said why.
    } else if (d->m_process.state() != QProcess::Running) {
        d->m_process.waitForFinished(kEndWaitMs);
        d->m_sLastError = QStringLiteral("the bridge ended before it said hello: %1").arg(d->describeExit());
    } else {
        d->m_sLastError = QStringLiteral("the bridge did not say hello within %1 ms").arg(d->m_iHelloTimeoutMs);
    }
    d->m_bStopping = true;
    d->m_process.kill();
    d->m_process.waitForFinished(kKillWaitMs);
    d->shutDownListener();
    d->removeSocketFolder();
    d->removeBridgeFolders();
    return false;
}

void BridgePrivate::onHello(const QString& sBridgePrg)
{
    if (m_pClient || m_bStopping)
        return; // a second greeting changes nothing
    m_sBridgePrg = sBridgePrg;
    std::unique_ptr<VantHelper::VantIPCClient> pClient(
        new VantHelper::VantIPCClient(sBridgePrg, protocol::serverVersion()));
    // The bridge listens before it greets; a few attempts cover a busy machine.
    QElapsedTimer timer;
    timer.start();
    while (!pClient->connectServer()) {
        if (timer.elapsed() > m_iHelloTimeoutMs || m_process.state() != QProcess::Running) {
            m_sLastError =
                QStringLiteral("cannot connect to the bridge's server: %1").arg(pClient->lastError());
            m_bHelloFailed = true;
            return;
        }
        QThread::msleep(20);
    }
    QObject::connect(pClient.get(), &VantHelper::VantIPCClient::si_connectedChanged, q,
            [this](bool bConnected) { onClientConnectedChanged(bConnected); });
    m_pClient = std::move(pClient);
}

void BridgePrivate::onClientConnectedChanged(bool bConnected)
{
    // Runs inside a blocking send as well; the send reports the loss itself.
    if (bConnected || m_bStopping || m_bEndedUnexpectedly || m_bInSend)
        return;
    QTimer::singleShot(0, q, [this] {
        if (!m_bStopping && !m_bEndedUnexpectedly)
            bridgeLost(QString());
    });
}

void BridgePrivate::onProcessFinished()
{
    // Before the greeting, start() reports the end itself.
    if (m_bStopping || m_bEndedUnexpectedly || !m_pClient)
        return;
    bridgeLost(QString());
}

void BridgePrivate::bridgeLost(const QString& sDuring)
{
    if (m_bEndedUnexpectedly)
        return;
    m_bEndedUnexpectedly = true;
    // The connection breaks first; the exit status follows a moment later.
    if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(kEndWaitMs)) {
        m_process.kill();
        m_process.waitForFinished(kKillWaitMs);
        m_sEndReason = QStringLiteral("the connection to the bridge broke and it was ended");
    } else {
        m_sEndReason = QStringLiteral("the bridge ended unexpectedly (%1)").arg(describeExit());
    }
    removeBridgeFolders();
    QString sWhat = sDuring.isEmpty() ? m_sActivity : sDuring;
    const QString sLoopCall = q->loopCall();
    if (!sLoopCall.isEmpty())
        sWhat = sWhat.isEmpty() ? sLoopCall : QStringLiteral("%1 in %2").arg(sLoopCall, sWhat);
    if (!sWhat.isEmpty())
        m_sEndReason += QStringLiteral(" during %1").arg(sWhat);
    else if (!m_sLastOperation.isEmpty())
        m_sEndReason += QStringLiteral(" after %1").arg(m_sLastOperation);
    m_sLastError = m_sEndReason;
    emit q->endedUnexpectedly(m_sEndReason);
}

QString BridgePrivate::describeExit() const
{
    if (m_process.state() != QProcess::NotRunning)
        return QStringLiteral("still running");
    if (m_process.error() == QProcess::FailedToStart)
        return m_process.errorString();
    const int iCode = m_process.exitCode();
    if (m_process.exitStatus() == QProcess::CrashExit) {
#ifdef Q_OS_UNIX
        if (iCode > 0)
            return QStringLiteral("killed by signal %1, %2")
                .arg(iCode)
                .arg(QString::fromLocal8Bit(strsignal(iCode)));
#elif defined(Q_OS_WIN)
        // The exception that ended it, as Windows reports it (0xC0000005: access violation).
        return QStringLiteral("crashed, exception 0x%1").arg(uint(iCode), 8, 16, QLatin1Char('0'));
#endif
        return QStringLiteral("crashed");
    }
    const QString sWhy = startupFailure(iCode);
    if (!sWhy.isEmpty())
        return QStringLiteral("exit code %1: %2").arg(qint8(iCode & 0xFF)).arg(sWhy);
    return QStringLiteral("exit code %1").arg(iCode);
}

void Bridge::stop()
{
    if (!d->m_bStarted || d->m_bStopped)
        return;
    d->m_bStopped = true;
    const bool bWasConnected = isConnected();
    d->m_bStopping = true;
    if (bWasConnected) {
        VantHelper::VantIPCCommand cmd = request<cmdQuit>({});
        d->m_pClient->sendCommand(cmd);
    }
    d->m_pClient.reset();
    if (d->m_process.state() != QProcess::NotRunning &&
        !d->m_process.waitForFinished(bWasConnected ? kQuitWaitMs : 0)) {
        // Closing its connection to our server ends the bridge's event loop too.
        d->shutDownListener();
        if (!d->m_process.waitForFinished(kQuitWaitMs)) {
            d->m_process.kill();
            d->m_process.waitForFinished(kKillWaitMs);
        }
    }
    d->shutDownListener();
    d->removeSocketFolder();
    d->removeBridgeFolders();
}

void BridgePrivate::shutDownListener()
{
    if (!m_pListener)
        return;
    if (m_listenerThread.isRunning()) {
        QMetaObject::invokeMethod(
            m_pListener,
            [this] {
                m_pListener->stopServer();
                delete m_pListener;
            },
            Qt::BlockingQueuedConnection);
        m_listenerThread.quit();
        m_listenerThread.wait();
    } else {
        delete m_pListener;
    }
    m_pListener = nullptr;
}

void Bridge::setCallTimeout(int iMs)
{
    const bool bWasWatching = d->m_iCallTimeoutMs > 0;
    d->m_iCallTimeoutMs = iMs;
    if (isConnected() && bWasWatching != (iMs > 0))
        d->announceCalls();
}

void BridgePrivate::announceCalls()
{
    // The transfer loop's calls are announced only to a watching application.
    VantHelper::VantIPCCommand cmd = request<cmdAnnounceCalls>({m_iCallTimeoutMs > 0 ? 1u : 0u});
    simpleCommand(cmd, QStringLiteral("asking the bridge to announce its calls"));
}

QString Bridge::loopCall() const
{
    return d->m_pListener ? d->m_pListener->loopCall() : QString();
}

TwainResult Bridge::checkAlive()
{
    VantHelper::VantIPCCommand cmd = request<cmdGetNumCommands>({}, 0);
    return d->simpleCommand(cmd, QStringLiteral("checking that the bridge answers"));
}

bool Bridge::watchTransferLoop()
{
    if (d->m_iCallTimeoutMs <= 0 || !isConnected())
        return isConnected();
    qint64 nAgeMs = 0;
    const QString sCall = d->m_pListener ? d->m_pListener->loopCall(&nAgeMs) : QString();
    if (!sCall.isEmpty() && nAgeMs > d->m_iCallTimeoutMs) {
        d->callHung(sCall, nAgeMs);
        return false;
    }
    return bool(checkAlive());
}

void BridgePrivate::callHung(const QString& sOperation, qint64 nMs)
{
    // The call the bridge is stuck in: the library's own, or one its transfer loop made.
    qint64 nLoopMs = 0;
    const QString sLoopCall = m_pListener ? m_pListener->loopCall(&nLoopMs) : QString();
    m_bHung = true;
    m_sHungCall = sLoopCall.isEmpty() ? sOperation : sLoopCall;
    m_nHungMs = sLoopCall.isEmpty() ? nMs : qMax(nMs, nLoopMs);
    m_bEndedUnexpectedly = true;
    m_process.kill();
    m_process.waitForFinished(kKillWaitMs);
    removeBridgeFolders();
    m_sEndReason = QStringLiteral("%1 did not answer for %2 s; the bridge was ended")
                       .arg(m_sHungCall)
                       .arg(double(m_nHungMs) / 1000.0, 0, 'f', 1);
    if (!m_sActivity.isEmpty())
        m_sEndReason += QStringLiteral(" during %1").arg(m_sActivity);
    m_sLastError = m_sEndReason;
    emit q->endedUnexpectedly(m_sEndReason);
}

bool BridgePrivate::sendCommand(VantHelper::VantIPCCommand& cmd, const QString& sOperation)
{
    if (m_bEndedUnexpectedly) {
        m_sLastError = m_sEndReason;
        return false;
    }
    if (!m_pClient || m_bStopping) {
        m_sLastError = QStringLiteral("the bridge is not running");
        return false;
    }
    m_sLastOperation = sOperation;
    const QString sPrevious = m_sActivity;
    m_sActivity = sOperation;
    m_bInSend = true;
    m_pClient->setReplyTimeout(m_iCallTimeoutMs > 0 ? m_iCallTimeoutMs : -1);
    QElapsedTimer timer;
    timer.start();
    const bool bOk = m_pClient->sendCommand(cmd);
    m_bInSend = false;
    if (!bOk && m_pClient->replyTimedOut()) {
        m_sActivity = sPrevious;
        callHung(sOperation, timer.elapsed());
        return false;
    }
    m_sActivity = sPrevious;
    if (!bOk) {
        m_sLastError = m_pClient->lastError();
        bridgeLost(sOperation);
    }
    return bOk;
}

TwainResult BridgePrivate::simpleCommand(VantHelper::VantIPCCommand& cmd, const QString& sOperation)
{
    if (!sendCommand(cmd, sOperation))
        return TwainResult::bridgeLost(sOperation, m_sLastError);
    TwainResult result = cmd.iResult == 0 ? TwainResult::ok(sOperation)
                                          : TwainResult::twainFailed(sOperation, quint16(cmd.iResult));
    return result;
}

TwainResult BridgePrivate::getNumCommands(const QByteArray& testText)
{
    const QString sOperation = QStringLiteral("cmdGetNumCommands");
    // The test text travels only when there is one.
    VantHelper::VantIPCCommand cmd = request<cmdGetNumCommands>({testText}, testText.isEmpty() ? 0 : 1);
    if (!sendCommand(cmd, sOperation))
        return TwainResult::bridgeLost(sOperation, m_sLastError);
    TwainResult result = TwainResult::ok(sOperation);
    result.setData(QByteArray::number(cmd.iResult));
    return result;
}

TwainResult BridgePrivate::quit()
{
    VantHelper::VantIPCCommand cmd = request<cmdQuit>({});
    TwainResult result = simpleCommand(cmd, QStringLiteral("cmdQuit"));
    if (result)
        m_bStopping = true;
    return result;
}

TwainResult BridgePrivate::loadDsm(DsmFile file)
{
    const QString sOperation = file == DsmFile::Twain32 ? QStringLiteral("loading TWAIN_32.dll")
                                                        : QStringLiteral("loading TWAINDSM.dll");
    VantHelper::VantIPCCommand cmd = request<cmdLoadDSM>({file == DsmFile::Twain32 ? 1u : 2u});
    if (!sendCommand(cmd, sOperation))
        return TwainResult::bridgeLost(sOperation, m_sLastError);
    TwainResult result = cmd.iResult == 0 ? TwainResult::ok(sOperation)
                                          : TwainResult::twainFailed(sOperation, quint16(cmd.iResult));
    protocol::Results<cmdLoadDSM> results;
    if (protocol::decodeResults<cmdLoadDSM>(cmd.lstResults, results) >= 1)
        result.setState(quint16(results.state));
    return result;
}

TwainResult BridgePrivate::unloadDsm()
{
    VantHelper::VantIPCCommand cmd = request<cmdUnloadDSM>({});
    return simpleCommand(cmd, QStringLiteral("cmdUnloadDSM"));
}

TwainResult BridgePrivate::twainCmd(const QByteArray& identity, quint32 dg, quint16 dat, quint16 msg,
                             const QByteArray& block)
{
    const QString sOperation = tripletName(dg, dat, msg);
    VantHelper::VantIPCCommand cmd = request<cmdTwainCmd>({identity, dg, dat, msg, block});
    if (!sendCommand(cmd, sOperation))
        return TwainResult::bridgeLost(sOperation, m_sLastError);
    TwainResult result = cmd.iResult == TWRC_SUCCESS
                             ? TwainResult::ok(sOperation)
                             : TwainResult::twainFailed(sOperation, quint16(cmd.iResult));
    protocol::Results<cmdTwainCmd> results;
    const int nResults = protocol::decodeResults<cmdTwainCmd>(cmd.lstResults, results);
    if (nResults >= 2) {
        result.setState(quint16(results.state));
        result.setConditionCode(quint16(results.conditionCode));
    }
    if (nResults >= 3)
        result.setData(results.block);
    return result;
}

TwainResult BridgePrivate::setCapEnum(const QByteArray& identity, quint16 cap, quint16 itemType,
                               const QByteArray& items)
{
    VantHelper::VantIPCCommand cmd = request<cmdTwainSetCapEnum>({identity, cap, itemType, items});
    return simpleCommand(cmd, QStringLiteral("setting %1").arg(capabilityName(cap)));
}

TwainResult BridgePrivate::getCapEnum(const QByteArray& identity, quint16 cap)
{
    const QString sOperation = QStringLiteral("reading %1").arg(capabilityName(cap));
    VantHelper::VantIPCCommand cmd = request<cmdTwainGetCapEnum>({identity, cap});
    if (!sendCommand(cmd, sOperation))
        return TwainResult::bridgeLost(sOperation, m_sLastError);
    TwainResult result = cmd.iResult == 0 ? TwainResult::ok(sOperation)
                                          : TwainResult::twainFailed(sOperation, quint16(cmd.iResult));
    protocol::Results<cmdTwainGetCapEnum> results;
    if (protocol::decodeResults<cmdTwainGetCapEnum>(cmd.lstResults, results) >= 1)
        result.setData(results.items);
    return result;
}

TwainResult BridgePrivate::setCapOneValue(const QByteArray& identity, quint16 cap, quint16 itemType,
                                   const QByteArray& value)
{
    VantHelper::VantIPCCommand cmd = request<cmdTwainSetCapOneVal>({identity, cap, itemType, value});
    return simpleCommand(cmd, QStringLiteral("setting %1").arg(capabilityName(cap)));
}

TwainResult BridgePrivate::getCapOneValue(const QByteArray& identity, quint16 cap, quint16 itemType, quint16 msg)
{
    const QString sOperation = QStringLiteral("reading %1").arg(capabilityName(cap));
    VantHelper::VantIPCCommand cmd = request<cmdTwainGetCapOneVal>({identity, cap, itemType, msg});
    if (!sendCommand(cmd, sOperation))
        return TwainResult::bridgeLost(sOperation, m_sLastError);
    TwainResult result = cmd.iResult == 0 ? TwainResult::ok(sOperation)
                                          : TwainResult::twainFailed(sOperation, quint16(cmd.iResult));
    protocol::Results<cmdTwainGetCapOneVal> results;
    if (protocol::decodeResults<cmdTwainGetCapOneVal>(cmd.lstResults, results) >= 1)
        result.setData(results.value);
    return result;
}

TwainResult Bridge::showLastGui(int* pView)
{
    const QString sOperation = QStringLiteral("bringing the source's dialog to the front");
    VantHelper::VantIPCCommand cmd = request<cmdShowLastGUI>({});
    if (pView)
        *pView = DialogUnknown;
    if (!d->sendCommand(cmd, sOperation))
        return TwainResult::bridgeLost(sOperation, d->m_sLastError);
    protocol::Results<cmdShowLastGUI> results;
    // A bridge that does not say, or says something that is no number, leaves the view unknown.
    bool bOk = false;
    cmd.lstResults.value(0).toInt(&bOk);
    if (pView && bOk && protocol::decodeResults<cmdShowLastGUI>(cmd.lstResults, results) >= 1)
        *pView = results.view;
    // iResult 1 means the dialog came to the front.
    return cmd.iResult == 1 ? TwainResult::ok(sOperation)
                            : TwainResult::refused(sOperation, QStringLiteral("the source shows no dialog"));
}

TwainResult BridgePrivate::endBatch(bool bWholeBatch)
{
    const QString sOperation =
        bWholeBatch ? QStringLiteral("ending the batch") : QStringLiteral("ending the page at hand");
    VantHelper::VantIPCCommand cmd = request<cmdEndBatch>({bWholeBatch ? 2u : 1u});
    if (!sendCommand(cmd, sOperation))
        return TwainResult::bridgeLost(sOperation, m_sLastError);
    TwainResult result = cmd.iResult == 0
                             ? TwainResult::ok(sOperation)
                             : TwainResult::refused(sOperation, QStringLiteral("no source is enabled"));
    protocol::Results<cmdEndBatch> results;
    const int nResults = protocol::decodeResults<cmdEndBatch>(cmd.lstResults, results);
    if (nResults >= 1)
        result.setState(quint16(results.state));
    if (nResults >= 2)
        result.setData(QByteArray::number(results.waits));
    return result;
}

TwainResult BridgePrivate::getCap(const QByteArray& identity, quint16 cap, quint16 msg, quint16& conType)
{
    const QString sOperation = QStringLiteral("reading %1").arg(capabilityName(cap));
    VantHelper::VantIPCCommand cmd = request<cmdTwainGetCap>({identity, cap, msg});
    if (!sendCommand(cmd, sOperation))
        return TwainResult::bridgeLost(sOperation, m_sLastError);
    TwainResult result = cmd.iResult == 0 ? TwainResult::ok(sOperation)
                                          : TwainResult::twainFailed(sOperation, quint16(cmd.iResult));
    protocol::Results<cmdTwainGetCap> results;
    const int nResults = protocol::decodeResults<cmdTwainGetCap>(cmd.lstResults, results);
    if (nResults >= 2) {
        result.setState(quint16(results.state));
        const quint16 cc = quint16(results.conditionCode);
        if (cmd.iResult != 0 && cc == TWCC_SUCCESS)
            return TwainResult::refused(sOperation,
                                        QStringLiteral("the source's answer is not a proper container"));
        if (cmd.iResult != 0)
            result.setConditionCode(cc);
    }
    if (cmd.iResult == 0 && nResults >= 4) {
        conType = quint16(results.conType);
        result.setData(results.container);
    } else if (cmd.iResult == 0) {
        return TwainResult::refused(sOperation, QStringLiteral("the bridge does not read whole containers"));
    }
    return result;
}

} // namespace pelirand
