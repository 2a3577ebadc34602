#include "tests/app/mainappfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMetaObject>
#include <QMutexLocker>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>
#include <QtEndian>

#include "protocol/commandcodes.h"
#include "ipc/vantipcclient.h"
#include "ipc/vantipcserver.h"
#include "sources/sim/simscanner.h"
#include "twain/twain.h"

namespace apptest {

namespace {

QTemporaryDir& tmpDir()
{
    static QTemporaryDir s_tmp;
    return s_tmp;
}

const char kReportPrefix[] = "sanitizer-report";

} // namespace

void useTemporaryTmpDir()
{
    qputenv("TMPDIR", QFile::encodeName(tmpDir().path()));
    // The bridges' private folders go there as well, whatever the host has.
    qunsetenv("XDG_RUNTIME_DIR");
    // Read by the bridges only: this process's sanitizers have read their options already.
    const QByteArray logPath = ":log_path=" + QFile::encodeName(tmpDir().path()) + '/' + kReportPrefix;
    qputenv("ASAN_OPTIONS", qgetenv("ASAN_OPTIONS") + logPath);
    qputenv("UBSAN_OPTIONS", qgetenv("UBSAN_OPTIONS") + logPath);
}

QString temporaryTmpDir()
{
    return tmpDir().path();
}

QString takeSanitizerReports()
{
    QString sReports;
    QDir dir(tmpDir().path());
    for (const QString& sName :
         dir.entryList({QLatin1String(kReportPrefix) + QLatin1Char('*')}, QDir::Files)) {
        QFile file(dir.filePath(sName));
        if (file.open(QIODevice::ReadOnly))
            sReports += QString::fromLocal8Bit(file.readAll());
        file.remove();
    }
    return sReports;
}

// ---------------------------------------------------------------------------

QList<VantHelper::VantIPCCommand> Recorder::commands() const
{
    QMutexLocker lock(&m_mutex);
    return m_commands;
}

void Recorder::on_cmd(VantHelper::VantIPCCommand& cmd)
{
    QMutexLocker lock(&m_mutex);
    m_commands.append(cmd);
    cmd.iResult = 0;
    cmd.lstResults.clear();
}

// ---------------------------------------------------------------------------

MainApp::MainApp()
{
    m_sServerPrg = QStringLiteral("tstmain%1x%2")
                       .arg(QCoreApplication::applicationPid())
                       .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    m_pAnchor = new QObject;
    m_pAnchor->moveToThread(&m_serverThread);
    m_serverThread.start();
}

MainApp::~MainApp()
{
    // What the bridge did is the first thing to read when a test fails.
    if (QTest::currentTestFailed())
        qWarning("bridge log:\n%s", qPrintable(logLines().join(QLatin1Char('\n'))));
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(kWaitMs);
    }
    m_pClient.reset();
    closeServer();
    m_serverThread.quit();
    m_serverThread.wait();
    delete m_pAnchor;
    // A leak or any other sanitizer report of a bridge fails the test that ran it.
    const QString sReports = takeSanitizerReports();
    if (!m_bCrashExpected && !sReports.isEmpty())
        QTest::qFail(qPrintable(QStringLiteral("the bridge's sanitizers reported:\n") + sReports), __FILE__,
                     __LINE__);
}

void MainApp::expectCrash()
{
    m_bCrashExpected = true;
    // The test's own options, without the report file.
    QString sOptions = QString::fromLocal8Bit(qgetenv("ASAN_OPTIONS"));
    sOptions.remove(QRegularExpression(QStringLiteral(":log_path=[^:]*")));
    setEnv(QStringLiteral("ASAN_OPTIONS"), sOptions + QStringLiteral(":detect_leaks=0"));
    sOptions = QString::fromLocal8Bit(qgetenv("UBSAN_OPTIONS"));
    sOptions.remove(QRegularExpression(QStringLiteral(":log_path=[^:]*")));
    setEnv(QStringLiteral("UBSAN_OPTIONS"), sOptions);
}

void MainApp::setEnv(const QString& sName, const QString& sValue)
{
    m_lstEnv.append(qMakePair(sName, sValue));
}

bool MainApp::start()
{
    return startWithArguments({m_sServerPrg});
}

bool MainApp::startWithArguments(const QStringList& lstArgs)
{
    if (!m_home.isValid())
        return false;
    // The server lives on its own thread, created and started there.
    bool bStarted = false;
    QMetaObject::invokeMethod(
        m_pAnchor,
        [this, &bStarted] {
            m_pServer = new VantHelper::VantIPCServer(QString(), QStringLiteral("1.0"));
            m_pServer->setServerPrg(m_sServerPrg);
            m_pRecorder = new Recorder;
            QObject::connect(m_pServer, &VantHelper::VantIPCServer::si_execCommand, m_pRecorder,
                             &Recorder::on_cmd, Qt::DirectConnection);
            bStarted = m_pServer->startServer();
        },
        Qt::BlockingQueuedConnection);
    if (!bStarted)
        return false;

    const QString sHome = m_home.path();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), sHome);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), sHome + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), sHome + QStringLiteral("/.local/share"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), sHome + QStringLiteral("/.cache"));
    for (const auto& pair : qAsConst(m_lstEnv))
        env.insert(pair.first, pair.second);
    m_process.setProcessEnvironment(env);
    m_process.setWorkingDirectory(sHome);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/pelirand"), lstArgs);
    return m_process.waitForStarted(kWaitMs);
}

bool MainApp::startAndConnect()
{
    return start() && startAndConnectClient();
}

bool MainApp::startAndConnectClient()
{
    if (!waitForReceived(1))
        return false;
    const VantHelper::VantIPCCommand hello = received().at(0);
    if (hello.iCmd != cmdHello || hello.lstParams.size() != 1)
        return false;
    m_sBridgePrg = hello.lstParams.at(0).toString();
    m_pClient.reset(new VantHelper::VantIPCClient(m_sBridgePrg, QStringLiteral("1.0")));
    // The bridge answers only from its event loop, which it enters after the greeting.
    return QTest::qWaitFor([this] { return m_pClient->connectServer(); }, kWaitMs);
}

bool MainApp::send(VantHelper::VantIPCCommand& cmd)
{
    return m_pClient && m_pClient->sendCommand(cmd);
}

VantHelper::VantIPCCommand MainApp::send(int iCmd, const QList<QVariant>& lstParams)
{
    VantHelper::VantIPCCommand cmd;
    cmd.iCmd = iCmd;
    cmd.lstParams = lstParams;
    cmd.iResult = -12345; // no reply leaves this
    send(cmd);
    return cmd;
}

QList<VantHelper::VantIPCCommand> MainApp::received() const
{
    return m_pRecorder ? m_pRecorder->commands() : m_lstClosedCommands;
}

bool MainApp::waitForReceived(int nCount, int iTimeoutMs)
{
    return QTest::qWaitFor([this, nCount] { return received().size() >= nCount; }, iTimeoutMs);
}

QStringList MainApp::logLines() const
{
    QFile file(m_home.path() + QStringLiteral("/Documents/vantora-pelirand.log"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QString sText = QString::fromUtf8(file.readAll());
    QStringList lstLines = sText.split(QStringLiteral("\r\n"));
    if (!lstLines.isEmpty() && lstLines.last().isEmpty())
        lstLines.removeLast(); // after the last line break
    else if (!lstLines.isEmpty())
        lstLines.removeLast(); // a line still being written
    if (!lstLines.isEmpty())
        lstLines.removeFirst(); // date and time
    static const QRegularExpression prefix(QStringLiteral("^\\(\\d{6,}\\): "));
    for (QString& sLine : lstLines)
        sLine.remove(prefix);
    return lstLines;
}

bool MainApp::waitForLog(const std::function<bool(const QStringList&)>& pred, int iTimeoutMs)
{
    return QTest::qWaitFor([this, &pred] { return pred(logLines()); }, iTimeoutMs);
}

bool MainApp::waitForLogLine(const QString& sLine, int iTimeoutMs)
{
    return waitForLog([&sLine](const QStringList& lines) { return lines.contains(sLine); }, iTimeoutMs);
}

quint32 MainApp::hiddenWindow() const
{
    static const QRegularExpression re(QStringLiteral("^window handle=([0-9a-f]{8})$"));
    for (const QString& sLine : logLines()) {
        const QRegularExpressionMatch match = re.match(sLine);
        if (match.hasMatch())
            return match.captured(1).toUInt(nullptr, 16);
    }
    return 0;
}

void MainApp::closeServer()
{
    if (!m_pServer)
        return;
    QMetaObject::invokeMethod(
        m_pAnchor,
        [this] {
            delete m_pServer;
            // What was answered stays readable.
            m_lstClosedCommands = m_pRecorder->commands();
            delete m_pRecorder;
        },
        Qt::BlockingQueuedConnection);
    m_pServer = nullptr;
    m_pRecorder = nullptr;
}

bool MainApp::waitForExit(int iTimeoutMs)
{
    return m_process.state() == QProcess::NotRunning || m_process.waitForFinished(iTimeoutMs);
}

// ---------------------------------------------------------------------------

QByteArray le16(quint16 v)
{
    QByteArray ba(2, '\0');
    qToLittleEndian<quint16>(v, ba.data());
    return ba;
}

QByteArray le32(quint32 v)
{
    QByteArray ba(4, '\0');
    qToLittleEndian<quint32>(v, ba.data());
    return ba;
}

quint32 readLe32(const QByteArray& ba, int offset)
{
    return ba.size() >= offset + 4 ? qFromLittleEndian<quint32>(ba.constData() + offset) : 0;
}

quint16 readLe16(const QByteArray& ba, int offset)
{
    return ba.size() >= offset + 2 ? qFromLittleEndian<quint16>(ba.constData() + offset) : 0;
}

QByteArray userInterface(bool bShowUI, bool bModalUI)
{
    return le16(bShowUI ? 1 : 0) + le16(bModalUI ? 1 : 0) + le32(0);
}

QByteArray openScanner(MainApp& app, const QByteArray& param0)
{
    if (app.send(cmdLoadDSM, {0u}).iResult != 0)
        return {};
    if (app.send(cmdTwainCmd, {QByteArray(), DG_CONTROL, DAT_PARENT, MSG_OPENDSM, QByteArray(4, '\0')})
            .iResult != TWRC_SUCCESS)
        return {};
    // The identity's ProductName lies at offset 122 of the 32-bit layout.
    TW_UINT16 msg = MSG_GETFIRST;
    for (;;) {
        const VantHelper::VantIPCCommand next =
            app.send(cmdTwainCmd, {QByteArray(), DG_CONTROL, DAT_IDENTITY, msg, QByteArray(156, '\0')});
        if (next.iResult != TWRC_SUCCESS || next.lstResults.size() < 3)
            return {};
        const QByteArray identity = next.lstResults.at(2).toByteArray();
        if (identity.mid(122).startsWith(QByteArray(simscanner::kProductName) + '\0')) {
            const VantHelper::VantIPCCommand open =
                app.send(cmdTwainCmd, {param0 == kSourceAsParam0 ? identity : param0, DG_CONTROL,
                                       DAT_IDENTITY, MSG_OPENDS, identity});
            if (open.iResult != TWRC_SUCCESS || open.lstResults.size() < 3)
                return {};
            return open.lstResults.at(2).toByteArray();
        }
        msg = MSG_GETNEXT;
    }
}

int setCap16(MainApp& app, const QByteArray& identity, quint16 cap, quint16 itemType, quint16 v)
{
    return app.send(cmdTwainSetCapOneVal, {identity, cap, itemType, le16(v)}).iResult;
}

int setCap32(MainApp& app, const QByteArray& identity, quint16 cap, quint16 itemType, quint32 v)
{
    return app.send(cmdTwainSetCapOneVal, {identity, cap, itemType, le32(v)}).iResult;
}

} // namespace apptest
