// Round trip of a small command through VantIPCClient to a VantIPCServer that answers at once, against
// a raw QLocalSocket echo of the same bytes and a plain Unix-socket ping-pong in C, all in one run.

#include "bench/ipc/pingpong.h"
#include "ipc/vantipcclient.h"
#include "ipc/vantipcserver.h"
#include "ipc/vantipcwire.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace VantHelper;

namespace {

constexpr int kWarmUp = 2000;
constexpr int kRounds = 5;
constexpr int kPerRound = 4000;

// Runs functions on a thread with an event loop of its own, where the peers live.
class PeerThread
{
public:
    PeerThread()
    {
        m_thread.start();
        m_context.moveToThread(&m_thread);
    }
    ~PeerThread()
    {
        m_thread.quit();
        m_thread.wait();
    }
    template <typename F>
    void run(F function)
    {
        QMetaObject::invokeMethod(&m_context, function, Qt::BlockingQueuedConnection);
    }

private:
    QThread m_thread;
    QObject m_context;
};

double medianMicros(std::vector<qint64> samples)
{
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    const double nanos = n % 2 ? double(samples[n / 2]) : (samples[n / 2 - 1] + samples[n / 2]) / 2.0;
    return nanos / 1000.0;
}

class IpcCase
{
public:
    explicit IpcCase(const QString& sPrg)
    {
        m_peer.run([&] {
            m_pServer = new VantIPCServer(sPrg, QStringLiteral("1.0"));
            QObject::connect(
                m_pServer, &VantIPCServer::si_execCommand, m_pServer,
                [](VantIPCCommand& cmd) { cmd.lstResults = cmd.lstParams; }, Qt::DirectConnection);
            m_bOk = m_pServer->startServer();
        });
        m_pClient = new VantIPCClient(sPrg, QStringLiteral("1.0"));
        m_bOk = m_bOk && m_pClient->connectServer();
    }
    ~IpcCase()
    {
        delete m_pClient;
        m_peer.run([&] { delete m_pServer; });
    }
    bool ok() const { return m_bOk; }

    bool roundTrip()
    {
        VantIPCCommand cmd;
        cmd.iCmd = 3;
        cmd.lstParams = {7};
        return m_pClient->sendCommand(cmd) && cmd.lstResults.size() == 1;
    }

private:
    PeerThread m_peer;
    VantIPCServer* m_pServer = nullptr;
    VantIPCClient* m_pClient = nullptr;
    bool m_bOk = false;
};

class EchoCase
{
public:
    EchoCase(const QString& sName, const QByteArray& frame) : m_frame(frame)
    {
        m_peer.run([&] {
            QLocalServer::removeServer(sName);
            m_pServer = new QLocalServer();
            QObject::connect(m_pServer, &QLocalServer::newConnection, m_pServer, [this] {
                QLocalSocket* pSocket = m_pServer->nextPendingConnection();
                QObject::connect(pSocket, &QLocalSocket::readyRead, pSocket, [pSocket] {
                    pSocket->write(pSocket->readAll());
                    pSocket->flush();
                });
            });
            m_bOk = m_pServer->listen(sName);
        });
        m_socket.connectToServer(sName);
        m_bOk = m_bOk && m_socket.waitForConnected(1000);
    }
    ~EchoCase()
    {
        m_socket.abort();
        m_peer.run([&] { delete m_pServer; });
    }
    bool ok() const { return m_bOk; }

    bool roundTrip()
    {
        m_socket.write(m_frame);
        m_socket.flush();
        qint64 nGot = 0;
        while (nGot < m_frame.size()) {
            if (m_socket.bytesAvailable() == 0 && !m_socket.waitForReadyRead(30000))
                return false;
            nGot += m_socket.read(m_buffer, sizeof m_buffer);
        }
        return nGot == m_frame.size();
    }

private:
    PeerThread m_peer;
    QLocalServer* m_pServer = nullptr;
    QLocalSocket m_socket;
    QByteArray m_frame;
    char m_buffer[256];
    bool m_bOk = false;
};

template <typename Case>
bool measure(Case& c, int nTrips, std::vector<qint64>& samples)
{
    QElapsedTimer timer;
    for (int i = 0; i < nTrips; ++i) {
        timer.start();
        if (!c.roundTrip())
            return false;
        samples.push_back(timer.nsecsElapsed());
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // The server registers itself; keep that away from the user's settings.
    QTemporaryDir settingsDir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());

    const QString sPrg = QStringLiteral("benchipc%1").arg(QCoreApplication::applicationPid());
    const QByteArray frame = QByteArray::fromHex("110000000000000300000001000000020000000007");

    IpcCase ipc(sPrg);
    EchoCase echo(makeServerName(sPrg + QStringLiteral("echo"), QStringLiteral("1.0")), frame);
    if (!ipc.ok() || !echo.ok()) {
        std::fprintf(stderr, "bench_ipc: could not set up the peers\n");
        return 1;
    }

    std::vector<qint64> ipcSamples, echoSamples, cSamples, discard;
    std::vector<long long> cRound(kPerRound);
    if (!measure(ipc, kWarmUp, discard) || !measure(echo, kWarmUp, discard)) {
        std::fprintf(stderr, "bench_ipc: warm-up failed\n");
        return 1;
    }
    // Rounds alternate, so that a change in the machine's load touches all three alike.
    for (int r = 0; r < kRounds; ++r) {
        bool bOk = measure(ipc, kPerRound, ipcSamples) && measure(echo, kPerRound, echoSamples);
        bOk = bOk && pingpong_run(reinterpret_cast<const unsigned char*>(frame.constData()),
                                  size_t(frame.size()), cRound.data(), kPerRound) == 0;
        if (!bOk) {
            std::fprintf(stderr, "bench_ipc: a round trip failed\n");
            return 1;
        }
        cSamples.insert(cSamples.end(), cRound.begin(), cRound.end());
    }

    const double ipcUs = medianMicros(ipcSamples);
    const double echoUs = medianMicros(echoSamples);
    const double cUs = medianMicros(cSamples);
    std::printf("IPC round trip of a %d-byte request and reply, median of %d round trips each\n",
                int(frame.size()), kRounds * kPerRound);
    std::printf("  VantIPCClient -> VantIPCServer      %8.2f us\n", ipcUs);
    std::printf("  raw QLocalSocket echo               %8.2f us\n", echoUs);
    std::printf("  C Unix-socket ping-pong             %8.2f us\n", cUs);
    std::printf("  ratio VantIPC / QLocalSocket echo   %8.2f   (aim: at most 1.30)\n", ipcUs / echoUs);
    std::printf("  ratio VantIPC / C ping-pong         %8.2f\n", ipcUs / cUs);
    return 0;
}
