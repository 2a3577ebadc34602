// pelirand: the bridge between a scanning application and TWAIN sources.
// Started with one argument, the program name of the main application's IPC server.

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QString>
#include <QTimer>

#include <cstdio>

#include "protocol/commands.h"
#include "protocol/naming.h"
#include "app/commandline.h"
#include "app/pelirandapp.h"
#include "diag/log.h"
#include "ipc/vantipcclient.h"
#include "ipc/vantipcpaths.h"
#include "ipc/vantipcserver.h"
#include "ipc/vantipcwire.h"
#include "xfer/twainxfer.h"

namespace {

// Attempts at an unused name before start-up gives up.
constexpr int kMaxNameAttempts = 16;

// Starts the bridge's server under a random name "pelirand%08x" that no live server answers at, with
// the private image folder of the same name. sOwnPrg receives the name to greet with: the name alone,
// or a private folder and the name where the temporary folder is too long for the endpoint's path.
bool startOwnServer(pelirandApp& app, QString& sOwnPrg)
{
    const QString sBase = VantHelper::privateFolderBase(QDir::tempPath());
    for (int nAttempt = 0; nAttempt < kMaxNameAttempts; ++nAttempt) {
        const QString sName = protocol::bridgeServerName(QRandomGenerator::system()->generate());

        QString sError;
        const BridgeTempFolder::Made made = app.m_tempFolder.create(sBase, sName, &sError);
        if (made == BridgeTempFolder::Made::Exists)
            continue;
        if (made == BridgeTempFolder::Made::Failed)
            logPrintf("cannot make a private folder in %s (%s): image files go to the temporary folder",
                      sBase.toUtf8().constData(), sError.toUtf8().constData());

        QString sPrg = sName;
        const QString sEndpoint = VantHelper::makeServerName(sName, protocol::serverVersion());
        if (!VantHelper::fitsLocalSocket(sEndpoint)) {
            app.m_sSocketFolder =
                VantHelper::makeSocketFolder(sEndpoint, VantHelper::socketFolderCandidates(), &sError);
            if (app.m_sSocketFolder.isEmpty()) {
                logPrintf("%s", sError.toUtf8().constData());
                std::fprintf(stderr, "pelirand: %s\n", sError.toUtf8().constData());
                return false;
            }
            sPrg = app.m_sSocketFolder + QLatin1Char('/') + sName;
        }
        app.m_pIPCServer->setServerPrg(sPrg);
        if (app.m_pIPCServer->startServer()) {
            sOwnPrg = sPrg;
            return true;
        }
        logPrintf("%s", app.m_pIPCServer->lastError().toUtf8().constData());
        app.m_tempFolder.cleanUp();
        if (!app.m_sSocketFolder.isEmpty()) {
            QDir().rmdir(app.m_sSocketFolder);
            app.m_sSocketFolder.clear();
        }
        if (!app.m_pIPCServer->nameInUse())
            return false;
    }
    return false;
}

} // namespace

int main(int argc, char* argv[])
{
    // Before the log and the application exist: asking for help changes nothing.
    const int iInfoExit = handleInfoOptions(argc, argv);
    if (iInfoExit >= 0)
        return iInfoExit;

    // Lives until the process ends: the log may still be written while static
    // objects are destroyed.
    static QString sLogFilePath;
    const QString sLogOverride = qEnvironmentVariable("PELIRAND_LOG");
    if (!sLogOverride.isEmpty()) {
        sLogFilePath = sLogOverride;
    } else {
        const QString sDocuments = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        // A home folder that does not exist is not made into one by the log.
        if (QFileInfo(QDir::homePath()).isDir())
            QDir().mkpath(sDocuments);
        sLogFilePath = QDir::toNativeSeparators(sDocuments + QStringLiteral("/vantora-pelirand.log"));
    }
    g_pLogFilePath = &sLogFilePath;

    logPrintf("pelirand");

    // Without a display (a service, a CI machine) the widgets of a source's
    // dialog live on the offscreen platform instead of ending the process; so
    // they do when the display named cannot be reached.
    const QByteArray platforms = BridgeApplication::dialogPlatforms();
    if (!platforms.isEmpty())
        qputenv("QT_QPA_PLATFORM", platforms);

    pelirandApp app(argc, argv);
    if (!platforms.isEmpty() && !platforms.startsWith("offscreen") &&
        BridgeApplication::platformName() == QLatin1String("offscreen"))
        logPrintf("cannot reach the display (DISPLAY '%s', WAYLAND_DISPLAY '%s', platform '%s'): dialogs "
                  "go to the offscreen platform",
                  qgetenv("DISPLAY").constData(), qgetenv("WAYLAND_DISPLAY").constData(),
                  platforms.left(platforms.indexOf(';')).constData());
    if (argc < 2) {
        logPrintf("missing command line argument");
        // Someone who started it by hand learns what it wants.
        std::fputs("pelirand: missing the server name of the application that starts it\n"
                   "Usage: pelirand SERVER-NAME\n  or:  pelirand --help | --version\n",
                   stderr);
        return -1;
    }

    const QString sMainAppPrg = QString::fromUtf8(argv[1]);

    app.m_pIPCServer = new VantHelper::VantIPCServer(QString(), protocol::serverVersion(), &app);
    QObject::connect(app.m_pIPCServer, &VantHelper::VantIPCServer::si_execCommand, &app,
                     &pelirandApp::on_cmdReceived);
    QString sOwnPrg;
    if (!startOwnServer(app, sOwnPrg)) {
        logPrintf("server didn't start");
        return -2;
    }

    logPrintf("connecting to mainAppServer '%s'", sMainAppPrg.toUtf8().constData());
    app.m_pIPCClient = new VantHelper::VantIPCClient(sMainAppPrg, protocol::serverVersion(), nullptr);
    QObject::connect(app.m_pIPCClient, &VantHelper::VantIPCClient::si_ready, &app,
                     &pelirandApp::on_mainAppSrvReady);
    QObject::connect(app.m_pIPCClient, &VantHelper::VantIPCClient::si_connectedChanged, &app,
                     &pelirandApp::on_mainAppSrvChg);

    logPrintf("connecting client");
    if (!app.m_pIPCClient->connectServer()) {
        logPrintf("client did not connect");
        return -5;
    }

    logPrintf("sending hello");
    VantHelper::VantIPCCommand hello;
    hello.iCmd = cmdHello;
    hello.lstParams = protocol::encodeParams<cmdHello>({sOwnPrg});
    app.m_pIPCClient->sendCommand(hello);

    app.initApp();
    if (app.m_tempFolder.isValid())
        app.m_pXFer->SetFileTemplate(app.m_tempFolder.fileTemplate());

    QTimer::singleShot(5000, &app, &pelirandApp::quitifnotused);

    logPrintf("running");
    const int nResult = app.exec();
    app.endSession();
    return nResult;
}
