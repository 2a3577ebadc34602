// VantIPCClient against VantIPCServer and against a raw peer; the peers run on threads of their own.

#include "ipc/vantipcclient.h"
#include "ipc/vantipcwire.h"
#include "ipcpeers.h"

#include <QDataStream>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace VantHelper;
using ipctest::frameOf;
using ipctest::lengthPrefix;
using ipctest::RawPeerThread;
using ipctest::ServerThread;
using ipctest::uniquePrg;

namespace {

QByteArray hex(const char* pText)
{
    return QByteArray::fromHex(pText);
}

const QString kVersion = QStringLiteral("1.0");

QString receiveError(const QString& sPrg, const QString& sReason)
{
    return QStringLiteral("Fehler beim Empfangen der Antwort von IPC-Server '%1 1.0': %2").arg(sPrg, sReason);
}

QString notConnectedError(const QString& sPrg)
{
    return QStringLiteral("Fehler beim Senden eines Kommandos an IPC-Server '%1 1.0': Keine Verbindung.")
        .arg(sPrg);
}

} // namespace

class TestIpcClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void connectFailure();
    void connectTwice();
    void sendWithoutConnection();
    void sendWritesReplyOnly();
    void goldenFrames_data();
    void goldenFrames();

    void peerGoesWhileIdle();
    void malformedReplies_data();
    void malformedReplies();
    void trailingBytesOfReplySkipped();

    void readinessTest_data();
    void readinessTest();
    void readCurrentVersion();

private:
    QTemporaryDir m_settingsDir;
};

void TestIpcClient::initTestCase()
{
    QVERIFY(m_settingsDir.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settingsDir.path());
}

void TestIpcClient::connectFailure()
{
    const QString sPrg = uniquePrg();
    VantIPCClient client(sPrg, kVersion);
    QSignalSpy spy(&client, &VantIPCClient::si_connectedChanged);
    QVERIFY(!client.connectServer());
    const QString sPrefix = QStringLiteral("Fehler beim Verbinden mit IPC-Server '%1 1.0': ").arg(sPrg);
    QVERIFY2(client.lastError().startsWith(sPrefix), qPrintable(client.lastError()));
    QVERIFY(client.lastError().size() > sPrefix.size());
    QCOMPARE(spy.count(), 0);

    // The socket was reset: once the server is there, the next attempt succeeds.
    ServerThread server(sPrg);
    QVERIFY(client.connectServer());
    QCOMPARE(spy.count(), 1);
}

void TestIpcClient::connectTwice()
{
    const QString sPrg = uniquePrg();
    ServerThread server(sPrg);
    VantIPCClient client(sPrg, kVersion);
    QSignalSpy spy(&client, &VantIPCClient::si_connectedChanged);
    QVERIFY(client.connectServer());
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toBool(), true);
    QVERIFY(client.connectServer());
    QCOMPARE(spy.count(), 1);
    QTRY_COMPARE(server.connectionCount(), 1);
}

void TestIpcClient::sendWithoutConnection()
{
    const QString sPrg = uniquePrg();
    VantIPCClient client(sPrg, kVersion);
    VantIPCCommand cmd;
    cmd.iCmd = 2;
    cmd.lstParams = {1};
    cmd.iResult = 9;
    cmd.lstResults = {QStringLiteral("kept")};
    QVERIFY(!client.sendCommand(cmd));
    QCOMPARE(client.lastError(), notConnectedError(sPrg));
    QCOMPARE(cmd.iCmd, 2);
    QCOMPARE(cmd.lstParams, QVariantList{1});
    QCOMPARE(cmd.iResult, 9);
    QCOMPARE(cmd.lstResults, QVariantList{QStringLiteral("kept")});
}

void TestIpcClient::sendWritesReplyOnly()
{
    const QString sPrg = uniquePrg();
    ServerThread server(sPrg);
    VantIPCClient client(sPrg, kVersion);
    QVERIFY(client.connectServer());
    const QVariantList lstParams{4u, QByteArray("\x01\x02", 2), QStringLiteral("name")};
    VantIPCCommand cmd;
    cmd.iCmd = 4;
    cmd.lstParams = lstParams;
    cmd.lstResults = {1, 2, 3, 4, 5};
    QVERIFY(client.sendCommand(cmd));
    QCOMPARE(cmd.iCmd, 4);
    QCOMPARE(cmd.lstParams, lstParams);
    QCOMPARE(cmd.iResult, 104);
    QCOMPARE(cmd.lstResults, lstParams);
    // Replies keep to their requests.
    for (int i = 0; i < 5; ++i) {
        VantIPCCommand next;
        next.iCmd = i;
        QVERIFY(client.sendCommand(next));
        QCOMPARE(next.iResult, 100 + i);
    }
}

void TestIpcClient::goldenFrames_data()
{
    QTest::addColumn<qint32>("iCmd");
    QTest::addColumn<QVariantList>("lstParams");
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("code 1, no parameters") << 1 << QVariantList() << hex("080000000000000100000000");
    QTest::newRow("code 3, integer 7")
        << 3 << QVariantList{7} << hex("110000000000000300000001000000020000000007");
}

void TestIpcClient::goldenFrames()
{
    QFETCH(qint32, iCmd);
    QFETCH(QVariantList, lstParams);
    QFETCH(QByteArray, request);
    const QString sPrg = uniquePrg();
    RawPeerThread peer(sPrg);
    QVERIFY(peer.started());
    peer.script(hex("080000000000000000000000"));
    VantIPCClient client(sPrg, kVersion);
    QVERIFY(client.connectServer());
    VantIPCCommand cmd;
    cmd.iCmd = iCmd;
    cmd.lstParams = lstParams;
    cmd.iResult = 5;
    cmd.lstResults = {5};
    QVERIFY(client.sendCommand(cmd));
    QCOMPARE(peer.frames(), QList<QByteArray>{request});
    QCOMPARE(cmd.iResult, 0);
    QVERIFY(cmd.lstResults.isEmpty());
}

void TestIpcClient::peerGoesWhileIdle()
{
    const QString sPrg = uniquePrg();
    ServerThread server(sPrg);
    VantIPCClient client(sPrg, kVersion);
    QSignalSpy spy(&client, &VantIPCClient::si_connectedChanged);
    QVERIFY(client.connectServer());
    server.stop();
    QTRY_COMPARE(spy.count(), 2);
    QCOMPARE(spy.at(1).at(0).toBool(), false);
    for (int i = 0; i < 2; ++i) {
        VantIPCCommand cmd;
        QVERIFY(!client.sendCommand(cmd));
        QCOMPARE(client.lastError(), notConnectedError(sPrg));
    }
    QTest::qWait(50);
    QCOMPARE(spy.count(), 2);
}

void TestIpcClient::malformedReplies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("bPeerCloses");
    QTest::addColumn<QString>("sReason"); // empty: the send succeeds with no results

    const QByteArray golden = hex("080000000000000000000000");
    QTest::newRow("closed before the reply") << QByteArray() << true << "Die Verbindung wurde getrennt.";
    QTest::newRow("closed inside the length") << golden.left(2) << true << "Die Verbindung wurde getrennt.";
    QTest::newRow("closed inside the payload") << golden.left(7) << true << "Die Verbindung wurde getrennt.";
    QTest::newRow("negative length") << lengthPrefix(-8) + golden.mid(4) << false
                                     << "Die Antwort hat eine ungültige Länge.";
    QTest::newRow("length above the limit")
        << lengthPrefix(kMaxFrameLength + 1) << false << "Die Antwort hat eine ungültige Länge.";
    QTest::newRow("undecodable results")
        << frameOf(hex("0000000000000001000000090000000000")) << false << QString();
}

void TestIpcClient::malformedReplies()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, bPeerCloses);
    QFETCH(QString, sReason);

    const QString sPrg = uniquePrg();
    RawPeerThread peer(sPrg);
    peer.script(reply, bPeerCloses);
    VantIPCClient client(sPrg, kVersion);
    QSignalSpy spy(&client, &VantIPCClient::si_connectedChanged);
    QVERIFY(client.connectServer());

    VantIPCCommand cmd;
    cmd.iCmd = 1;
    cmd.lstResults = {QStringLiteral("before")};
    if (sReason.isEmpty()) {
        QVERIFY(client.sendCommand(cmd));
        QVERIFY(cmd.lstResults.isEmpty());
        QCOMPARE(spy.count(), 1);
        return;
    }
    QVERIFY(!client.sendCommand(cmd));
    QCOMPARE(client.lastError(), receiveError(sPrg, sReason));
    QCOMPARE(cmd.lstResults, QVariantList{QStringLiteral("before")});
    // The connection is given up, and that is reported once.
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(1).at(0).toBool(), false);
    QVERIFY(!client.sendCommand(cmd));
    QCOMPARE(client.lastError(), notConnectedError(sPrg));
    QTest::qWait(50);
    QCOMPARE(spy.count(), 2);
}

void TestIpcClient::trailingBytesOfReplySkipped()
{
    const QString sPrg = uniquePrg();
    RawPeerThread peer(sPrg);
    // A reply whose payload holds more than its two fields, then an ordinary one.
    peer.script(frameOf(encodePayload(3, {QStringLiteral("x")}) + hex("08000000000000")));
    peer.script(frameOf(encodePayload(4, {2})));
    VantIPCClient client(sPrg, kVersion);
    QVERIFY(client.connectServer());
    VantIPCCommand first;
    QVERIFY(client.sendCommand(first));
    QCOMPARE(first.iResult, 3);
    QCOMPARE(first.lstResults, QVariantList{QStringLiteral("x")});
    VantIPCCommand second;
    QVERIFY(client.sendCommand(second));
    QCOMPARE(second.iResult, 4);
    QCOMPARE(second.lstResults, QVariantList{2});
}

void TestIpcClient::readinessTest_data()
{
    QTest::addColumn<bool>("bServer");
    QTest::newRow("server there") << true;
    QTest::newRow("no server") << false;
}

void TestIpcClient::readinessTest()
{
    QFETCH(bool, bServer);
    const QString sPrg = uniquePrg();
    QScopedPointer<ServerThread> pServer(bServer ? new ServerThread(sPrg) : nullptr);
    VantIPCClient client(sPrg, kVersion);
    QSignalSpy spy(&client, &VantIPCClient::si_ready);
    client.startTestReady(10, 3);
    QVERIFY(spy.wait(10000));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toBool(), bServer);
    // The test ended: no further outcome follows.
    QTest::qWait(100);
    QCOMPARE(spy.count(), 1);
    VantIPCCommand cmd;
    QCOMPARE(client.sendCommand(cmd), bServer);
}

void TestIpcClient::readCurrentVersion()
{
    const QString sPrg = uniquePrg();
    VantIPCClient client(QStringLiteral("any"), kVersion);
    QString sVersion = QStringLiteral("unset");
    QVERIFY(QMetaObject::invokeMethod(&client, "readCurrentVersion", Q_RETURN_ARG(QString, sVersion),
                                      Q_ARG(QString, sPrg)));
    QCOMPARE(sVersion, QString());

    ServerThread server(sPrg);
    QVERIFY(QMetaObject::invokeMethod(&client, "readCurrentVersion", Q_RETURN_ARG(QString, sVersion),
                                      Q_ARG(QString, sPrg)));
    QCOMPARE(sVersion, kVersion);
}

QTEST_GUILESS_MAIN(TestIpcClient)
#include "tst_ipcclient.moc"
