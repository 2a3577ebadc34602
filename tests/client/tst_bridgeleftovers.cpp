// What a main application that is killed leaves behind: its bridge removes every file of its private
// folder and ends; what only the dead application could have removed (its endpoint, the copy of the
// bridge's output) goes at the library's next start, and nothing of a living bridge does.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "client/bridge_p.h"
#include "pelirand/bridge.h"
#include "pelirand/twainsession.h"
#include "tests/client/mainapptestsupport.h"
#include "tests/filetimes.h"

using namespace pelirand;
using mainapptest::kWaitMs;

namespace {

constexpr char kChildVariable[] = "PELIRAND_TEST_KILLED_APPLICATION";

// Our names left in a folder.
QStringList ourEntries(const QString& sFolder)
{
    return QDir(sFolder).entryList({QStringLiteral("*pelirand*")},
                                   QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
}

// The killed application: scans until the bridge tells it of a page, says where the page is and
// waits there, the page untaken, for the end the test gives it.
int runKilledApplication()
{
    Bridge bridge;
    TwainSession session(bridge);
    bridge.setHelloTimeout(kWaitMs);
    if (!bridge.start() || !mainapptest::openScanner(session) || !session.enable(false))
        return 2;
    QObject::connect(&session, &TwainSession::imageReceived, [](const Image& image) {
        std::printf("told %s\n", qPrintable(image.fileName));
        std::fflush(stdout);
        for (;;)
            ::pause();
    });
    BatchResult batch;
    session.waitForBatch(batch, kWaitMs);
    return 3;
}

} // namespace

class TestBridgeLeftovers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void killedApplicationLeavesNoFile();
    void startRemovesOnlyWhatTheDeadLeft();

private:
    QString m_sTmp;
};

void TestBridgeLeftovers::initTestCase()
{
    m_sTmp = mainapptest::useTemporaryTmpDir();
}

void TestBridgeLeftovers::cleanup()
{
    // No process is left behind, whatever failed.
    for (qint64 pid : mainapptest::processesUsing(m_sTmp))
        ::kill(pid_t(pid), SIGKILL);
}

void TestBridgeLeftovers::killedApplicationLeavesNoFile()
{
    QProcess application;
    QProcessEnvironment env = mainapptest::crashingChildEnvironment();
    env.insert(QLatin1String(kChildVariable), QStringLiteral("1"));
    application.setProcessEnvironment(env);
    application.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    application.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(application.waitForStarted(kWaitMs));
    QByteArray out;
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     out += application.readAllStandardOutput();
                     return out.contains('\n') || application.state() == QProcess::NotRunning;
                 },
                 kWaitMs),
             out.constData());
    QVERIFY2(out.startsWith("told "), out.constData());
    const QString sPage = QString::fromLocal8Bit(out.mid(5).trimmed());
    QVERIFY2(QFileInfo::exists(sPage), qPrintable(sPage));
    const QString sFolder = QFileInfo(sPage).path();
    QCOMPARE(QFileInfo(sFolder).path(), m_sTmp);

    ::kill(pid_t(application.processId()), SIGKILL);
    QVERIFY(application.waitForFinished(kWaitMs));
    // The bridge ends by itself, its folder and the page it had told of removed.
    QVERIFY(QTest::qWaitFor([&] { return mainapptest::processesUsing(m_sTmp).isEmpty(); }, kWaitMs));
    QVERIFY(!QFileInfo::exists(sPage));
    QVERIFY(!QFileInfo::exists(sFolder));

    // The dead application's endpoint and its copy of the bridge's output go at the next start.
    QVERIFY(!ourEntries(m_sTmp).isEmpty());
    {
        Bridge bridge;
        bridge.setHelloTimeout(kWaitMs);
        QVERIFY2(bridge.start(), qPrintable(bridge.lastError()));
    }
    QCOMPARE(ourEntries(m_sTmp), QStringList());
}

void TestBridgeLeftovers::startRemovesOnlyWhatTheDeadLeft()
{
    // A bridge that runs, its folder as old as a stale one; and the folder of a bridge that was killed.
    Bridge living;
    living.setHelloTimeout(kWaitMs);
    QVERIFY2(living.start(), qPrintable(living.lastError()));
    const QString sLiving = living.bridgeTempPath();
    QVERIFY(QFileInfo(sLiving).isDir());
    QVERIFY(testfiles::setBackAnHour(sLiving));
    const QString sStale = m_sTmp + QStringLiteral("/pelirand0badf00d");
    QVERIFY(QDir().mkdir(sStale));
    QFile page(sStale + QStringLiteral("/pelirand.x1y2z3"));
    QVERIFY(page.open(QIODevice::WriteOnly) && page.write(QByteArray(4096, 'p')) == 4096);
    page.close();
    QVERIFY(testfiles::setBackAnHour(sStale));

    Bridge next;
    next.setHelloTimeout(kWaitMs);
    QVERIFY2(next.start(), qPrintable(next.lastError()));
    QVERIFY(!QFileInfo::exists(sStale));
    QVERIFY(QFileInfo(sLiving).isDir());
    QVERIFY(pelirand::BridgePrivate::get(living)->getNumCommands());
    next.stop();
    living.stop();
}

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet(kChildVariable))
        return runKilledApplication();
    TestBridgeLeftovers test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_bridgeleftovers.moc"
