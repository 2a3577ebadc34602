#pragma once

// The main application's side of the end-to-end tests: starts build/bin/pelirand
// as a child process, answers every command it sends at once (from a thread of
// its own, so that the bridge never waits for a test that is itself blocked in
// a request), and sends it commands through a VantIPCClient.

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QVariant>

#include <functional>
#include <memory>

#include "ipc/vantipccommand.h"
#include "twain/twain.h"

namespace VantHelper {
class VantIPCServer;
class VantIPCClient;
} // namespace VantHelper

namespace apptest {

// Waits for bounds generous enough for a loaded machine running sanitizer builds.
constexpr int kWaitMs = 60000;

// Gives this test process and every bridge it starts one temporary folder for
// local sockets and temporary files (the bridges' private folders too); call
// once before any fixture. In a sanitizer build the bridges write what the
// sanitizers report (leaks included) to files there.
void useTemporaryTmpDir();
QString temporaryTmpDir();

// What the sanitizers of the bridges reported since the last call; the
// reports are removed.
QString takeSanitizerReports();

// Records what the bridge sends and answers it with iResult 0.
class Recorder : public QObject
{
    Q_OBJECT

public:
    QList<VantHelper::VantIPCCommand> commands() const;

public slots:
    void on_cmd(VantHelper::VantIPCCommand& cmd);

private:
    mutable QMutex m_mutex;
    QList<VantHelper::VantIPCCommand> m_commands;
};

class MainApp
{
public:
    MainApp();
    ~MainApp();
    MainApp(const MainApp&) = delete;
    MainApp& operator=(const MainApp&) = delete;

    // Extra environment for the bridge (set before start).
    void setEnv(const QString& sName, const QString& sValue);
    // The server listens in this folder and the bridge gets the folder with the program name, as a
    // main application does whose temporary folder is too long for a socket path (before start).
    void listenIn(const QString& sFolder) { m_sServerPrg = sFolder + QLatin1Char('/') + m_sServerPrg; }
    // The test makes the bridge crash: the sanitizers report to its standard
    // error as usual, and their reports do not fail the test.
    void expectCrash();

    // Starts the server and the bridge with the server's name (or the given
    // arguments instead).
    bool start();
    bool startWithArguments(const QStringList& lstArgs);
    // start(), then waits for cmdHello and connects the client to the bridge.
    bool startAndConnect();
    // After start(): waits for cmdHello and connects the client to the bridge.
    bool startAndConnectClient();

    // Sends one command; false when no reply came.
    bool send(VantHelper::VantIPCCommand& cmd);
    VantHelper::VantIPCCommand send(int iCmd, const QList<QVariant>& lstParams);

    // Commands the bridge has sent so far.
    QList<VantHelper::VantIPCCommand> received() const;
    bool waitForReceived(int nCount, int iTimeoutMs = kWaitMs);

    // The bridge's log without date header and time prefixes.
    QStringList logLines() const;
    bool waitForLog(const std::function<bool(const QStringList&)>& pred, int iTimeoutMs = kWaitMs);
    bool waitForLogLine(const QString& sLine, int iTimeoutMs = kWaitMs);
    // The hidden window's handle, from the start-up log.
    quint32 hiddenWindow() const;

    // Closes the main application's server and with it the bridge's connection.
    void closeServer();
    // Waits for the bridge to end; false if it did not within the bound.
    bool waitForExit(int iTimeoutMs = kWaitMs);

    QProcess& process() { return m_process; }
    QString home() const { return m_home.path(); }
    QString serverPrg() const { return m_sServerPrg; }
    QString bridgePrg() const { return m_sBridgePrg; }
    VantHelper::VantIPCClient* client() const { return m_pClient.get(); }

private:
    QTemporaryDir m_home;
    QString m_sServerPrg;
    QString m_sBridgePrg;
    QThread m_serverThread;
    QObject* m_pAnchor = nullptr; // lives on m_serverThread
    VantHelper::VantIPCServer* m_pServer = nullptr;
    Recorder* m_pRecorder = nullptr;
    std::unique_ptr<VantHelper::VantIPCClient> m_pClient;
    QProcess m_process;
    QList<QPair<QString, QString>> m_lstEnv;
    bool m_bCrashExpected = false;
    QList<VantHelper::VantIPCCommand> m_lstClosedCommands;
};

// --- The simulated scanner through the bridge ----------------------------

// A 32-bit TW_USERINTERFACE block.
QByteArray userInterface(bool bShowUI, bool bModalUI);
// Little-endian bytes of an integer item.
QByteArray le16(quint16 v);
QByteArray le32(quint32 v);
quint32 readLe32(const QByteArray& ba, int offset);
quint16 readLe16(const QByteArray& ba, int offset);

// Parameter 0 of openScanner that stands for the scanner's own identity, as a
// main application that names the source in both places sends it.
const QByteArray kSourceAsParam0 = QByteArrayLiteral("<source>");

// Loads the DSM, opens it and opens the simulated scanner (MSG_OPENDS with
// param0 as parameter 0, by default none, and the listed identity in the
// block); the identity the DSM answered with, or an empty block on failure.
QByteArray openScanner(MainApp& app, const QByteArray& param0 = QByteArray());

// Sets a one-value capability; the command's iResult.
int setCap16(MainApp& app, const QByteArray& identity, quint16 cap, quint16 itemType, quint16 v);
int setCap32(MainApp& app, const QByteArray& identity, quint16 cap, quint16 itemType, quint32 v);

} // namespace apptest
