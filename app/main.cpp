// pelirand: the bridge between a scanning application and TWAIN sources.
// Started with one argument, the program name of the main application's IPC server.

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QString>
#include <QTimer>

#include <cstdio>

#include "app/commandcodes.h"
#include "app/commandline.h"
#include "app/pelirandapp.h"
#include "diag/log.h"
#include "ipc/vantipcclient.h"
#include "ipc/vantipcserver.h"

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
    // dialog live on the offscreen platform instead of ending the process.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    pelirandApp app(argc, argv);
    if (argc < 2) {
        logPrintf("missing command line argument");
        return -1;
    }

    const QString sMainAppPrg = QString::fromUtf8(argv[1]);
    char szOwnPrg[32];
    std::snprintf(szOwnPrg, sizeof(szOwnPrg), "pelirand%08x", static_cast<unsigned>(GetTickCount()));
    const QString sOwnPrg = QString::fromLatin1(szOwnPrg);

    app.m_pIPCServer = new VantHelper::VantIPCServer(QString(), QStringLiteral("1.0"), &app);
    app.m_pIPCServer->setServerPrg(sOwnPrg);
    QObject::connect(app.m_pIPCServer, &VantHelper::VantIPCServer::si_execCommand, &app,
                     &pelirandApp::on_cmdReceived);
    if (!app.m_pIPCServer->startServer()) {
        logPrintf("server didn't start");
        return -2;
    }

    logPrintf("connecting to mainAppServer '%s'", sMainAppPrg.toUtf8().constData());
    app.m_pIPCClient = new VantHelper::VantIPCClient(sMainAppPrg, QStringLiteral("1.0"), nullptr);
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
    hello.lstParams.append(QVariant(sOwnPrg));
    app.m_pIPCClient->sendCommand(hello);

    app.initApp();

    QTimer::singleShot(5000, &app, &pelirandApp::quitifnotused);

    logPrintf("running");
    return app.exec();
}
