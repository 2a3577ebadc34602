// What a later start removes of what killed bridges and applications left: only left-overs of this
// user whose owner is gone, never through a link, never what a living process holds or is making.

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "ipc/leftovers.h"
#include "tests/filetimes.h"
#include "ipc/vantipcpaths.h"

using namespace VantHelper;

namespace {

bool makeFile(const QString& sPath)
{
    QFile file(sPath);
    return file.open(QIODevice::WriteOnly) && file.write("page") == 4;
}

// An endpoint whose server was killed: the socket file stays, nobody listens.
bool makeDeadEndpoint(const QString& sPath)
{
    const int iSocket = ::socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(sPath);
    std::memcpy(address.sun_path, path.constData(), size_t(qMin(path.size(), int(sizeof(address.sun_path)) - 1)));
    const bool bOk = iSocket >= 0 && ::bind(iSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    if (iSocket >= 0)
        ::close(iSocket);
    return bOk;
}

// The id of a process that has ended.
qint64 deadPid()
{
    QProcess process;
    process.start(QStringLiteral("true"), QStringList());
    process.waitForFinished();
    return process.processId() > 0 ? process.processId() : 0x7ffffff0;
}

} // namespace

class TestLeftovers : public QObject
{
    Q_OBJECT

private slots:
    void sweep_data();
    void sweep();
    void linkIsNeverFollowed();
};

void TestLeftovers::sweep_data()
{
    QTest::addColumn<QString>("sKind");
    QTest::addColumn<bool>("bAged");
    QTest::addColumn<bool>("bRemoved");

    QTest::newRow("bridge folder, bridge gone") << "bridge folder" << true << true;
    QTest::newRow("bridge folder, bridge alive") << "held bridge folder" << true << false;
    QTest::newRow("bridge folder being made") << "bridge folder" << false << false;
    QTest::newRow("folder of another name") << "other folder" << true << false;
    QTest::newRow("bridge folder of another user") << "foreign bridge folder" << true << false;
    QTest::newRow("bridge endpoint, nobody answers") << "bridge endpoint" << true << true;
    QTest::newRow("bridge endpoint, just made") << "bridge endpoint" << false << false;
    QTest::newRow("bridge endpoint, answering") << "live bridge endpoint" << true << false;
    QTest::newRow("application endpoint, application gone") << "dead application endpoint" << false << true;
    QTest::newRow("application endpoint, application alive") << "live application endpoint" << true << false;
    QTest::newRow("bridge output, application gone") << "dead application stderr" << false << true;
    QTest::newRow("bridge output, application alive") << "live application stderr" << true << false;
    QTest::newRow("endpoint folder, endpoint left over") << "endpoint folder" << true << true;
}

void TestLeftovers::sweep()
{
    QFETCH(QString, sKind);
    QFETCH(bool, bAged);
    QFETCH(bool, bRemoved);

    QTemporaryDir tmp(QStringLiteral("/tmp/tlo-XXXXXX"));
    QVERIFY(tmp.isValid());
    const QString sDead = QString::number(deadPid(), 16);
    const QString sLive = QString::number(QCoreApplication::applicationPid(), 16);
    int iHold = -1;
    QLocalServer server;
    QString sPath;
    if (sKind.endsWith(QLatin1String("bridge folder")) || sKind == QLatin1String("other folder")) {
        sPath = tmp.filePath(sKind == QLatin1String("other folder") ? QStringLiteral("pelirand-kept")
                                                                     : QStringLiteral("pelirand0123abcd"));
        QVERIFY(QDir().mkdir(sPath));
        QVERIFY(makeFile(sPath + QStringLiteral("/pelirand.Ab12Cd")));
        QVERIFY(QDir().mkdir(sPath + QStringLiteral("/files-x")));
        QVERIFY(makeFile(sPath + QStringLiteral("/files-x/page.bmp")));
        if (sKind.startsWith(QLatin1String("held")))
            QVERIFY((iHold = holdPrivateFolder(sPath)) >= 0);
        if (sKind.startsWith(QLatin1String("foreign"))) {
            if (::geteuid() != 0)
                QSKIP("making a folder of another user needs root");
            QVERIFY(::chown(QFile::encodeName(sPath).constData(), 65534, 65534) == 0);
        }
    } else if (sKind.endsWith(QLatin1String("endpoint"))) {
        const QString sServer = sKind.contains(QLatin1String("application"))
                                    ? QStringLiteral("pelirandscan%1x0123456789ab")
                                          .arg(sKind.startsWith(QLatin1String("dead")) ? sDead : sLive)
                                    : QStringLiteral("pelirand0123abcd");
        sPath = tmp.filePath(QStringLiteral("vantora-software.%1.1.0").arg(sServer));
        QVERIFY(sKind.startsWith(QLatin1String("live")) ? server.listen(sPath) : makeDeadEndpoint(sPath));
    } else if (sKind.endsWith(QLatin1String("stderr"))) {
        sPath = tmp.filePath(QStringLiteral("pelirandscan%1x0123456789ab.stderr")
                                 .arg(sKind.startsWith(QLatin1String("dead")) ? sDead : sLive));
        QVERIFY(makeFile(sPath));
    } else if (sKind == QLatin1String("endpoint folder")) {
        sPath = tmp.filePath(QStringLiteral("pelirand-a1B2c3"));
        QVERIFY(QDir().mkdir(sPath));
        const QString sEndpoint = sPath + QStringLiteral("/vantora-software.pelirandscan%1x0123456789ab.1.0").arg(sDead);
        QVERIFY(makeDeadEndpoint(sEndpoint));
    }
    QVERIFY(QFileInfo::exists(sPath));
    if (bAged)
        QVERIFY(testfiles::setBackAnHour(sPath));

    QCOMPARE(sweepLeftovers({tmp.path()}), bRemoved ? 1 : 0);
    QCOMPARE(QFileInfo::exists(sPath), !bRemoved);
    releasePrivateFolder(iHold);
}

void TestLeftovers::linkIsNeverFollowed()
{
    QTemporaryDir tmp(QStringLiteral("/tmp/tlo-XXXXXX"));
    QTemporaryDir elsewhere;
    QVERIFY(tmp.isValid() && elsewhere.isValid());
    const QString sKept = elsewhere.filePath(QStringLiteral("pelirand.keep"));
    QVERIFY(makeFile(sKept));
    // A link with a bridge folder's name, and a left-over folder that holds links out of it.
    const QString sLinkFolder = tmp.filePath(QStringLiteral("pelirand0000abcd"));
    QVERIFY(QFile::link(elsewhere.path(), sLinkFolder));
    const QString sStale = tmp.filePath(QStringLiteral("pelirand1111abcd"));
    QVERIFY(QDir().mkdir(sStale));
    QVERIFY(QFile::link(elsewhere.path(), sStale + QStringLiteral("/folder")));
    QVERIFY(QFile::link(sKept, sStale + QStringLiteral("/pelirand.link")));
    QVERIFY(testfiles::setBackAnHour(sLinkFolder) && testfiles::setBackAnHour(sStale));

    QCOMPARE(sweepLeftovers({tmp.path()}), 1);
    QVERIFY(!QFileInfo::exists(sStale));
    QVERIFY(QFileInfo(sLinkFolder).isSymLink());
    QVERIFY(QFileInfo::exists(sKept));
}

QTEST_GUILESS_MAIN(TestLeftovers)
#include "tst_leftovers.moc"
