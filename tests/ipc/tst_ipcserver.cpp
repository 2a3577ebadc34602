// VantIPCServer against raw local sockets and VantIPCClient; the server runs on a thread of its own.

#include "ipc/vantipcclient.h"
#include "ipc/vantipcserver.h"
#include "ipc/vantipcwire.h"
#include "ipcpeers.h"

#include <QDataStream>
#include <QDirIterator>
#include <QFileInfo>
#include <QLocalSocket>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <memory>
#include <vector>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace VantHelper;
using ipctest::frameOf;
using ipctest::lengthPrefix;
using ipctest::readExactly;
using ipctest::ServerThread;
using ipctest::uniquePrg;

namespace {

QByteArray hex(const char* pText)
{
    return QByteArray::fromHex(pText);
}

bool connectTo(QLocalSocket& socket, const QString& sPrg)
{
    socket.connectToServer(makeServerName(sPrg, QStringLiteral("1.0")));
    return socket.waitForConnected(5000);
}

// The reply the echo receiver gives: iCmd + 100 and the parameters.
QByteArray echoFrame(qint32 iCmd, const QVariantList& lstParams)
{
    return frameOf(encodePayload(iCmd + 100, lstParams));
}

QByteArray requestFrame(qint32 iCmd, const QVariantList& lstParams)
{
    return frameOf(encodePayload(iCmd, lstParams));
}

QByteArray qtElement(const QVariant& value)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_5_6);
    out << value;
    return bytes;
}

int filesBelow(const QString& sPath)
{
    int nFiles = 0;
    QDirIterator it(sPath, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++nFiles;
    }
    return nFiles;
}

} // namespace

class TestIpcServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void metaObjectInterface();
    void goldenReplyWithoutReceiver();
    void goldenRequestDecoded();
    void twoFramesInOneRead();
    void frameSplitAcrossWrites();
    void threeWaitingRequestsInOneCall();
    void twoClientsOnTheirOwnConnections();

    void startTwice();
    void startFailure();
    void emptyProgramNameRegistersNothing();
    void endpointOnlyForTheUser();
    void closedConnectionsAreDeleted();

    void malformedFrames_data();
    void malformedFrames();

    void partialFrameDelaysNobody();
    void connectionsBeyondTheCapAreClosed();
    void outOfDescriptorsKeepsTheEndpoint();
    void liveServerKeepsItsName();
    void staleEndpointIsCleared();

private:
    QTemporaryDir m_settingsDir;
};

void TestIpcServer::initTestCase()
{
    QVERIFY(m_settingsDir.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settingsDir.path());
}

void TestIpcServer::metaObjectInterface()
{
    // Receivers connect by these signatures.
    const QMetaObject& server = VantIPCServer::staticMetaObject;
    QCOMPARE(server.className(), "VantHelper::VantIPCServer");
    QVERIFY(server.indexOfSignal("si_execCommand(VantHelper::VantIPCCommand&)") >= 0);
    QVERIFY(server.indexOfSlot("on_newConnection()") >= 0);
    QVERIFY(server.indexOfSlot("on_handleIncomingData()") >= 0);

    const QMetaObject& client = VantIPCClient::staticMetaObject;
    QCOMPARE(client.className(), "VantHelper::VantIPCClient");
    QVERIFY(client.indexOfSignal("si_connectedChanged(bool)") >= 0);
    QVERIFY(client.indexOfSignal("si_ready(bool)") >= 0);
    QVERIFY(client.indexOfSlot("on_socketStateChanged(QLocalSocket::LocalSocketState)") >= 0);
    QVERIFY(client.indexOfSlot("on_timerTestReady()") >= 0);
    QVERIFY(client.indexOfSlot("readCurrentVersion(QString)") >= 0);
}

void TestIpcServer::goldenReplyWithoutReceiver()
{
    const QString sPrg = uniquePrg();
    ServerThread server(sPrg, false);
    QVERIFY(server.started());
    QLocalSocket socket;
    QVERIFY(connectTo(socket, sPrg));
    socket.write(hex("080000000000000100000000"));
    socket.flush();
    QCOMPARE(readExactly(socket, 12), hex("080000000000000000000000"));
}

void TestIpcServer::goldenRequestDecoded()
{
    const QString sPrg = uniquePrg();
    ServerThread server(sPrg);
    QVERIFY(server.started());
    QLocalSocket socket;
    QVERIFY(connectTo(socket, sPrg));
    socket.write(hex("110000000000000300000001000000020000000007"));
    socket.flush();
    QCOMPARE(readExactly(socket, 21), hex("110000000000006700000001000000020000000007"));
    const QList<VantIPCCommand> lstReceived = server.received();
    QCOMPARE(lstReceived.size(), 1);
    QCOMPARE(lstReceived.at(0).iCmd, 3);
    QCOMPARE(lstReceived.at(0).lstParams.size(), 1);
    QCOMPARE(lstReceived.at(0).lstParams.at(0).userType(), int(QMetaType::Int));
    QCOMPARE(lstReceived.at(0).lstParams.at(0).toInt(), 7);
}

void TestIpcServer::twoFramesInOneRead()
{
    const QString sPrg = uniquePrg();
    ServerThread server(sPrg);
    QLocalSocket socket;
    QVERIFY(connectTo(socket, sPrg));
    socket.write(requestFrame(1, {}) + requestFrame(2, {QStringLiteral("b")}));
    socket.flush();
    const QByteArray expected = echoFrame(1, {}) + echoFrame(2, {QStringLiteral("b")});
    QCOMPARE(readExactly(socket, expected.size()), expected);
}

void TestIpcServer::frameSplitAcrossWrites()
{
    const QString sPrg = uniquePrg();
    ServerThread server(sPrg);
    QLocalSocket socket;
    QVERIFY(connectTo(socket, sPrg));
    const QByteArray frame = requestFrame(4, {QByteArray(1000, 'x')});
    socket.write(frame.left(30));
    socket.flush();
    QTest::qSleep(50);
    socket.write(frame.mid(30));
    socket.flush();
    const QByteArray expected = echoFrame(4, {QByteArray(1000, 'x')});
    QCOMPARE(readExactly(socket, expected.size()), expected);
}

void TestIpcServer::threeWaitingRequestsInOneCall()
{
    const QString sPrg = uniquePrg();
    ServerThread server(sPrg);
    QLocalSocket socket;
    QVERIFY(connectTo(socket, sPrg));
    // The server holds on the first request while the other three arrive together.
    socket.write(requestFrame(ServerThread::kGateCmd, {}));
    socket.flush();
    QTRY_COMPARE(server.received().size(), 1);
    socket.write(requestFrame(1, {1}) + requestFrame(2, {2}) + requestFrame(3, {3}));
    socket.flush();
    QVERIFY(socket.waitForBytesWritten(5000) || socket.bytesToWrite() == 0);
    server.release();

    const QByteArray expected =
        echoFrame(ServerThread::kGateCmd, {}) + echoFrame(1, {1}) + echoFrame(2, {2}) + echoFrame(3, {3});
    QCOMPARE(readExactly(socket, expected.size()), expected);
    const QList<VantIPCCommand> lstReceived = server.received();
    QCOMPARE(lstReceived.size(), 4);
    for (int i = 1; i < 4; ++i)
        QCOMPARE(lstReceived.at(i).iCmd, i);
    // No pass of the server's event loop came between the three.
    const QList<int> lstMarkers = server.markers();
    QCOMPARE(lstMarkers.at(2), lstMarkers.at(1));
    QCOMPARE(lstMarkers.at(3), lstMarkers.at(1));
}

void TestIpcServer::twoClientsOnTheirOwnConnections()
{
    const QString sPrg = uniquePrg();
    ServerThread server(sPrg);
    QLocalSocket first;
    QLocalSocket second;
    QVERIFY(connectTo(first, sPrg));
    QVERIFY(connectTo(second, sPrg));
    first.write(requestFrame(1, {QStringLiteral("first")}));
    second.write(requestFrame(2, {QStringLiteral("second")}));
    first.flush();
    second.flush();
    const QByteArray secondReply = echoFrame(2, {QStringLiteral("second")});
    const QByteArray firstReply = echoFrame(1, {QStringLiteral("first")});
    QCOMPARE(readExactly(second, secondReply.size()), secondReply);
    QCOMPARE(readExactly(first, firstReply.size()), firstReply);
    QCOMPARE(first.bytesAvailable(), qint64(0));
    QCOMPARE(second.bytesAvailable(), qint64(0));
}

void TestIpcServer::startTwice()
{
    const QString sPrg = uniquePrg();
    ServerThread server(sPrg);
    QVERIFY(server.started());
    const QString sFullName = server.fullServerName();
    QVERIFY(!sFullName.isEmpty());
    QVERIFY(server.query<bool>([](ipctest::TestServer* pServer) { return pServer->startServer(); }));
    QCOMPARE(server.fullServerName(), sFullName);
    QVERIFY(server.query<bool>([](ipctest::TestServer* pServer) { return pServer->lastError().isEmpty(); }));
}

void TestIpcServer::startFailure()
{
    // Far longer than any local-socket path may be.
    const QString sPrg = QString(300, QLatin1Char('p'));
    VantIPCServer server(sPrg, QStringLiteral("1.0"));
    QVERIFY(!server.startServer());
    const QString sPrefix = QStringLiteral("Fehler beim Starten des IPC-Servers von '%1 1.0': ").arg(sPrg);
    QVERIFY2(server.lastError().startsWith(sPrefix), qPrintable(server.lastError()));
    QVERIFY(server.lastError().size() > sPrefix.size());
    // No half-made server stays behind: the next call tries again and fails the same way.
    server.setServerPrg(sPrg);
    QVERIFY(!server.startServer());
    QVERIFY(server.lastError().startsWith(sPrefix));
}

void TestIpcServer::emptyProgramNameRegistersNothing()
{
    QTemporaryDir settingsDir;
    QVERIFY(settingsDir.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    const QString sPrg = uniquePrg();
    {
        VantIPCServer server(QString(), QStringLiteral("1.0"));
        server.setServerPrg(sPrg);
        QVERIFY(server.startServer());
        // The endpoint carries the name that was current when listening began.
        QLocalSocket socket;
        QVERIFY(connectTo(socket, sPrg));
    }
    QCOMPARE(filesBelow(settingsDir.path()), 0);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settingsDir.path());
}

void TestIpcServer::endpointOnlyForTheUser()
{
    const QString sPrg = uniquePrg();
    ServerThread server(sPrg);
    const QFileInfo info(server.fullServerName());
    QVERIFY(info.exists());
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                      QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    QCOMPARE(info.permissions() & others, QFile::Permissions());
    QVERIFY(info.permissions() & QFile::WriteOwner);
}

void TestIpcServer::closedConnectionsAreDeleted()
{
    const QString sPrg = uniquePrg();
    ServerThread server(sPrg);
    for (int i = 0; i < 3; ++i) {
        QLocalSocket socket;
        QVERIFY(connectTo(socket, sPrg));
        socket.write(requestFrame(i, {}));
        socket.flush();
        QCOMPARE(readExactly(socket, 12).size(), 12);
    }
    QTRY_COMPARE(server.connectionCount(), 0);
}

void TestIpcServer::malformedFrames_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("bPeerCloses");
    QTest::addColumn<QByteArray>("reply"); // empty: the server drops the connection

    QTest::newRow("negative length") << lengthPrefix(-1) + hex("00000001") << false << QByteArray();
    QTest::newRow("most negative length")
        << lengthPrefix(std::numeric_limits<qint32>::min()) << false << QByteArray();
    QTest::newRow("length above the limit")
        << lengthPrefix(kMaxFrameLength + 1) + hex("00000001") << false << QByteArray();
    QTest::newRow("half a frame, then close") << requestFrame(3, {7}).left(10) << true << QByteArray();
    QTest::newRow("half a length, then close") << hex("1100") << true << QByteArray();

    // Frames whose lists do not decode are executed with no parameters, and the connection stays.
    const QByteArray nested = encodePayload(5, {}).left(4) + hex("00000002") + qtElement(1) +
                              qtElement(QVariantList{1, QVariantList{2}});
    QTest::newRow("nested list") << frameOf(nested) << false << echoFrame(5, {});
    QTest::newRow("count beyond the bytes") << frameOf(hex("00000006ffffffff")) << false << echoFrame(6, {});
    QTest::newRow("unknown type") << frameOf(hex("0000000700000001000000400000")) << false
                                  << echoFrame(7, {});
    QTest::newRow("zero length") << frameOf(QByteArray()) << false << echoFrame(0, {});
    // Bytes a frame holds beyond its list do not become the start of the next frame.
    QTest::newRow("trailing bytes") << frameOf(encodePayload(8, {1}) + hex("0c000000")) + requestFrame(9, {2})
                                    << false << echoFrame(8, {1}) + echoFrame(9, {2});
}

void TestIpcServer::malformedFrames()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, bPeerCloses);
    QFETCH(QByteArray, reply);

    const QString sPrg = uniquePrg();
    ServerThread server(sPrg);
    VantIPCClient good(sPrg, QStringLiteral("1.0"));
    QVERIFY(good.connectServer());
    QLocalSocket bad;
    QVERIFY(connectTo(bad, sPrg));
    QTRY_COMPARE(server.connectionCount(), 2);

    bad.write(bytes);
    bad.flush();
    if (bPeerCloses) {
        bad.disconnectFromServer();
    } else if (reply.isEmpty()) {
        QVERIFY(bad.waitForDisconnected(10000));
    } else {
        QCOMPARE(readExactly(bad, reply.size()), reply);
        QCOMPARE(bad.state(), QLocalSocket::ConnectedState);
    }
    if (reply.isEmpty())
        QTRY_COMPARE(server.connectionCount(), 1);

    // The other connection is served as before.
    VantIPCCommand cmd;
    cmd.iCmd = 42;
    cmd.lstParams = {QStringLiteral("still here")};
    QVERIFY2(good.sendCommand(cmd), qPrintable(good.lastError()));
    QCOMPARE(cmd.iResult, 142);
    QCOMPARE(cmd.lstResults, cmd.lstParams);
}

void TestIpcServer::partialFrameDelaysNobody()
{
    const QString sPrg = uniquePrg();
    ServerThread server(sPrg);
    QLocalSocket stalled;
    QVERIFY(connectTo(stalled, sPrg));
    const QByteArray frame = requestFrame(3, {7});
    stalled.write(frame.left(10));
    stalled.flush();
    QTRY_COMPARE(server.connectionCount(), 1);

    // Answered while the other connection still holds half a frame.
    VantIPCClient good(sPrg, QStringLiteral("1.0"));
    QVERIFY(good.connectServer());
    VantIPCCommand cmd;
    cmd.iCmd = 42;
    QVERIFY2(good.sendCommand(cmd), qPrintable(good.lastError()));
    QCOMPARE(cmd.iResult, 142);
    QCOMPARE(server.received().size(), 1);
    QCOMPARE(stalled.state(), QLocalSocket::ConnectedState);

    // The held frame completes as its bytes come.
    stalled.write(frame.mid(10));
    stalled.flush();
    const QByteArray reply = echoFrame(3, {7});
    QCOMPARE(readExactly(stalled, reply.size()), reply);
}

void TestIpcServer::connectionsBeyondTheCapAreClosed()
{
    const QString sPrg = uniquePrg();
    ServerThread server(sPrg);
    constexpr int kExtra = 3;
    std::vector<std::unique_ptr<QLocalSocket>> sockets;
    for (int i = 0; i < VantIPCServer::kMaxConnections + kExtra; ++i) {
        sockets.emplace_back(new QLocalSocket);
        QVERIFY(connectTo(*sockets.back(), sPrg));
        QTRY_COMPARE(server.connectionCount(), qMin(i + 1, int(VantIPCServer::kMaxConnections)));
    }
    for (int i = VantIPCServer::kMaxConnections; i < int(sockets.size()); ++i) {
        QLocalSocket& extra = *sockets.at(size_t(i));
        QVERIFY(extra.state() == QLocalSocket::UnconnectedState || extra.waitForDisconnected(10000));
    }
    // Those taken are served.
    QLocalSocket& first = *sockets.front();
    first.write(requestFrame(1, {1}));
    first.flush();
    QCOMPARE(readExactly(first, echoFrame(1, {1}).size()), echoFrame(1, {1}));
    // A place that comes free is taken again.
    sockets.front().reset();
    QTRY_COMPARE(server.connectionCount(), VantIPCServer::kMaxConnections - 1);
    QLocalSocket again;
    QVERIFY(connectTo(again, sPrg));
    again.write(requestFrame(2, {2}));
    again.flush();
    QCOMPARE(readExactly(again, echoFrame(2, {2}).size()), echoFrame(2, {2}));
}

void TestIpcServer::outOfDescriptorsKeepsTheEndpoint()
{
    const QString sPrg = uniquePrg();
    ServerThread server(sPrg);
    const QString sEndpoint = server.fullServerName();
    QVERIFY(QFileInfo::exists(sEndpoint));

    rlimit saved;
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    // A few descriptors above those in use: the clients and the server's accepts use them up.
    const int iProbe = ::dup(0);
    QVERIFY(iProbe >= 0);
    ::close(iProbe);
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(iProbe + 6);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<int> clients;
    for (int i = 0; i < 12; ++i) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            break;
        sockaddr_un addr;
        std::memset(&addr, 0, sizeof(addr));
        addr.sun_family = AF_UNIX;
        const QByteArray path = QFile::encodeName(sEndpoint);
        std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            ::close(fd);
            break;
        }
        clients.push_back(fd);
    }
    // The server meets the limit while the connections wait to be taken.
    QTest::qWait(300);
    for (int fd : clients)
        ::close(fd);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    QVERIFY(clients.size() >= 3);

    // Still listening at the same endpoint.
    QVERIFY(QFileInfo::exists(sEndpoint));
    VantIPCClient client(sPrg, QStringLiteral("1.0"));
    QVERIFY(QTest::qWaitFor([&] { return client.connectServer(); }, 10000));
    VantIPCCommand cmd;
    cmd.iCmd = 5;
    QVERIFY2(client.sendCommand(cmd), qPrintable(client.lastError()));
    QCOMPARE(cmd.iResult, 105);
}

void TestIpcServer::liveServerKeepsItsName()
{
    const QString sPrg = uniquePrg();
    ServerThread first(sPrg);
    QVERIFY(first.started());
    VantIPCServer second(QString(), QStringLiteral("1.0"));
    second.setServerPrg(sPrg);
    QVERIFY(!second.startServer());
    QVERIFY(second.nameInUse());
    QVERIFY2(second.lastError().startsWith(
                 QStringLiteral("Fehler beim Starten des IPC-Servers von '%1 1.0': ").arg(sPrg)),
             qPrintable(second.lastError()));

    // The first server still answers under its name.
    VantIPCClient client(sPrg, QStringLiteral("1.0"));
    QVERIFY(client.connectServer());
    VantIPCCommand cmd;
    cmd.iCmd = 7;
    QVERIFY(client.sendCommand(cmd));
    QCOMPARE(cmd.iResult, 107);
}

void TestIpcServer::staleEndpointIsCleared()
{
    const QString sPrg = uniquePrg();
    const QString sEndpoint =
        QDir::tempPath() + QLatin1Char('/') + makeServerName(sPrg, QStringLiteral("1.0"));
    // An endpoint whose process is gone: bound, never unlinked.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(sEndpoint);
    std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ::close(fd);
    QVERIFY(QFileInfo::exists(sEndpoint));

    ServerThread server(sPrg);
    QVERIFY(server.started());
    VantIPCClient client(sPrg, QStringLiteral("1.0"));
    QVERIFY(client.connectServer());
}

QTEST_GUILESS_MAIN(TestIpcServer)
#include "tst_ipcserver.moc"
