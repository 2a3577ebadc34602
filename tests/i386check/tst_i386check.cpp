// Proves the toolchain and Qt's local sockets work at the build's own pointer
// width: scripts/test-i386.sh runs this as an i386 program, scripts/test.sh as a
// 64-bit one.

#include <QByteArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <cstddef>
#include <cstdint>

class tst_I386Check : public QObject
{
    Q_OBJECT

private slots:
    void pointerWidth();
    void localSocketExchange_data();
    void localSocketExchange();
};

void tst_I386Check::pointerWidth()
{
    const int bits = int(sizeof(void*) * 8);
    qInfo("pointer width %d bits, size_t %d bits, built for %s, running on %s", bits,
          int(sizeof(std::size_t) * 8), qPrintable(QSysInfo::buildCpuArchitecture()),
          qPrintable(QSysInfo::currentCpuArchitecture()));

    QVERIFY(bits == 32 || bits == 64);
    QCOMPARE(sizeof(std::uintptr_t), sizeof(void*));
    QCOMPARE(sizeof(quintptr), sizeof(void*));
    QCOMPARE(sizeof(std::size_t), sizeof(void*));

    // The 32-bit script sets this, so a build that silently came out 64-bit fails.
    const QByteArray expected = qgetenv("PELIRAND_EXPECT_POINTER_BITS");
    if (!expected.isEmpty())
        QCOMPARE(bits, expected.toInt());
}

void tst_I386Check::localSocketExchange_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("one byte") << 1;
    QTest::newRow("64 KiB") << 64 * 1024;
    // Larger than the socket buffers, so both ends must read and write in pieces.
    QTest::newRow("3 MiB") << 3 * 1024 * 1024;
}

// The client sends a patterned block, the server echoes it back as it arrives.
void tst_I386Check::localSocketExchange()
{
    QFETCH(int, size);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QLocalServer server;
    QVERIFY2(server.listen(dir.filePath("echo")), qPrintable(server.errorString()));

    QByteArray payload(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        payload[i] = char((i * 31 + i / 251) & 0xff);

    QLocalSocket* peer = nullptr;
    connect(&server, &QLocalServer::newConnection, this, [&] {
        peer = server.nextPendingConnection();
        connect(peer, &QLocalSocket::readyRead, peer, [peer] { peer->write(peer->readAll()); });
    });

    QLocalSocket client;
    QByteArray received;
    connect(&client, &QLocalSocket::readyRead, &client, [&] { received += client.readAll(); });
    client.connectToServer(server.fullServerName());
    QTRY_VERIFY_WITH_TIMEOUT(client.state() == QLocalSocket::ConnectedState, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(peer != nullptr, 10000);

    QCOMPARE(client.write(payload), qint64(size));
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), size, 60000);
    QVERIFY(received == payload);

    client.disconnectFromServer();
    QTRY_COMPARE_WITH_TIMEOUT(peer->state(), QLocalSocket::UnconnectedState, 10000);
}

QTEST_GUILESS_MAIN(tst_I386Check)
#include "tst_i386check.moc"
