// Start-up, greeting and the ways the bridge ends, seen from the main application.

#include <QRegularExpression>
#include <QtTest>

#include "app/commandcodes.h"
#include "tests/app/mainappfixture.h"

using apptest::MainApp;

class TestAppStartup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void normalStartLog();
    void startFailure_data();
    void startFailure();
    void quitCommand();
    void connectionClosed();
};

void TestAppStartup::initTestCase()
{
    apptest::useTemporaryTmpDir();
}

void TestAppStartup::normalStartLog()
{
    MainApp app;
    QVERIFY(app.startAndConnect());
    QVERIFY(app.waitForLogLine(QStringLiteral("running")));

    const QStringList lines = app.logLines();
    QVERIFY2(lines.size() >= 7, qPrintable(lines.join('\n')));
    QCOMPARE(lines.mid(0, 5),
             QStringList({QStringLiteral("pelirand"),
                          QStringLiteral("connecting to mainAppServer '%1'").arg(app.serverPrg()),
                          QStringLiteral("connecting client"), QStringLiteral("connected to mainAppServer"),
                          QStringLiteral("sending hello")}));
    QVERIFY2(QRegularExpression(QStringLiteral("^window handle=[0-9a-f]{8}$")).match(lines.at(5)).hasMatch(),
             qPrintable(lines.at(5)));
    QVERIFY(app.hiddenWindow() != 0);
    QCOMPARE(lines.at(6), QStringLiteral("running"));

    // The greeting names the bridge's own server, which answers.
    const VantHelper::VantIPCCommand hello = app.received().at(0);
    QCOMPARE(hello.iCmd, int(cmdHello));
    QCOMPARE(hello.lstParams.size(), 1);
    QCOMPARE(hello.lstParams.at(0).userType(), int(QMetaType::QString));
    QVERIFY(QRegularExpression(QStringLiteral("^pelirand[0-9a-f]{8}$")).match(app.bridgePrg()).hasMatch());
    QCOMPARE(app.send(cmdGetNumCommands, {}).iResult, 10);

    QCOMPARE(app.send(cmdQuit, {}).iResult, 0);
    QVERIFY(app.waitForExit());
}

void TestAppStartup::startFailure_data()
{
    QTest::addColumn<bool>("bWithArgument");
    QTest::addColumn<int>("iExitCode");
    QTest::addColumn<QStringList>("lstLog");

    QTest::newRow("no argument") << false << -1
                                 << QStringList({QStringLiteral("pelirand"),
                                                 QStringLiteral("missing command line argument")});
    QTest::newRow("no main application server")
        << true << -5
        << QStringList({QStringLiteral("pelirand"),
                        QStringLiteral("connecting to mainAppServer 'tstnosuchserver'"),
                        QStringLiteral("connecting client"), QStringLiteral("client did not connect")});
}

void TestAppStartup::startFailure()
{
    QFETCH(bool, bWithArgument);
    QFETCH(int, iExitCode);
    QFETCH(QStringList, lstLog);

    MainApp app;
    QVERIFY(app.startWithArguments(bWithArgument ? QStringList({QStringLiteral("tstnosuchserver")})
                                                 : QStringList()));
    QVERIFY(app.waitForExit());
    QCOMPARE(app.process().exitStatus(), QProcess::NormalExit);
    // The process's exit status keeps the low 8 bits of the code.
    QCOMPARE(app.process().exitCode(), iExitCode & 0xFF);
    QCOMPARE(app.logLines(), lstLog);
    QVERIFY(app.received().isEmpty());
}

void TestAppStartup::quitCommand()
{
    MainApp app;
    QVERIFY(app.startAndConnect());

    // The reply still arrives although the bridge ends with this command.
    VantHelper::VantIPCCommand quit;
    quit.iCmd = cmdQuit;
    quit.iResult = -1;
    QVERIFY(app.send(quit));
    QCOMPARE(quit.iResult, 0);
    QVERIFY(quit.lstResults.isEmpty());

    QVERIFY(app.waitForExit());
    QCOMPARE(app.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.process().exitCode(), 0);
    const QStringList lines = app.logLines();
    QCOMPARE(lines.mid(lines.size() - 2), QStringList({QStringLiteral("cmd received: cmd=1, cnt=0 "),
                                                       QStringLiteral("quitting regularly")}));
}

void TestAppStartup::connectionClosed()
{
    MainApp app;
    QVERIFY(app.startAndConnect());
    QVERIFY(app.waitForLogLine(QStringLiteral("running")));

    app.closeServer();
    QVERIFY(app.waitForExit());
    QCOMPARE(app.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.process().exitCode(), 0);
    QCOMPARE(app.logLines().last(), QStringLiteral("quitting, connection to mainAppServer was closed"));
}

QTEST_GUILESS_MAIN(TestAppStartup)
#include "tst_appstartup.moc"
