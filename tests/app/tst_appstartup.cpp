// Start-up, greeting and the ways the bridge ends, seen from the main application.

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "protocol/commandcodes.h"
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
    void simultaneousStartups();
    void longTemporaryFolder();
    void unreachableDisplay_data();
    void unreachableDisplay();
    void widgetsOnlyForTheirSources_data();
    void widgetsOnlyForTheirSources();
    void logPlace_data();
    void logPlace();
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

void TestAppStartup::simultaneousStartups()
{
    // Bridges started at the same moment: each has a server of its own, and each main application
    // drives its own bridge.
    constexpr int kPairs = 12;
    std::vector<std::unique_ptr<MainApp>> apps;
    for (int i = 0; i < kPairs; ++i)
        apps.emplace_back(new MainApp);
    for (auto& pApp : apps)
        QVERIFY(pApp->start());
    QSet<QString> setNames;
    for (int i = 0; i < kPairs; ++i) {
        MainApp& app = *apps.at(size_t(i));
        QVERIFY(app.waitForReceived(1));
        const VantHelper::VantIPCCommand hello = app.received().at(0);
        QCOMPARE(hello.iCmd, int(cmdHello));
        const QString sName = hello.lstParams.value(0).toString();
        QVERIFY2(QRegularExpression(QStringLiteral("^pelirand[0-9a-f]{8}$")).match(sName).hasMatch(),
                 qPrintable(sName));
        setNames.insert(sName);
    }
    QCOMPARE(setNames.size(), kPairs);
    for (int i = 0; i < kPairs; ++i) {
        MainApp& app = *apps.at(size_t(i));
        QVERIFY(app.startAndConnectClient());
        const QByteArray mark = "pair " + QByteArray::number(i);
        QCOMPARE(app.send(cmdGetNumCommands, {mark}).iResult, 10);
        // The command reached this pair's bridge: its own log has it.
        QVERIFY(
            app.waitForLogLine(QStringLiteral("GetNumCommands, teststring=") + QString::fromLatin1(mark)));
    }
    for (auto& pApp : apps) {
        QCOMPARE(pApp->send(cmdQuit, {}).iResult, 0);
        QVERIFY(pApp->waitForExit());
        QCOMPARE(pApp->process().exitCode(), 0);
    }
    // Nothing of theirs is left in the temporary folder.
    for (const QString& sName : qAsConst(setNames))
        QVERIFY(!QFileInfo::exists(apptest::temporaryTmpDir() + QLatin1Char('/') + sName));
}

void TestAppStartup::longTemporaryFolder()
{
    // 90 characters: with the endpoint's name the path passes what a local socket address holds.
    QString sLong = apptest::temporaryTmpDir() + QStringLiteral("/long");
    sLong += QLatin1Char('/') + QString(90 - sLong.size() - 1, QLatin1Char('t'));
    QCOMPARE(sLong.size(), 90);
    QVERIFY(QDir().mkpath(sLong));

    MainApp app;
    app.setEnv(QStringLiteral("TMPDIR"), sLong);
    app.listenIn(apptest::temporaryTmpDir());
    QVERIFY(app.startAndConnect());
    // The bridge listens in a short private folder and names it in its greeting.
    const QFileInfo prg(app.bridgePrg());
    QVERIFY2(prg.isAbsolute(), qPrintable(app.bridgePrg()));
    QVERIFY2(QRegularExpression(QStringLiteral("^pelirand[0-9a-f]{8}$")).match(prg.fileName()).hasMatch(),
             qPrintable(app.bridgePrg()));
    QVERIFY(!prg.path().startsWith(sLong));
    QCOMPARE(app.send(cmdGetNumCommands, {}).iResult, 10);
    QCOMPARE(app.send(cmdQuit, {}).iResult, 0);
    QVERIFY(app.waitForExit());
    QCOMPARE(app.process().exitCode(), 0);
    // Its folders went with it.
    QVERIFY(!QFileInfo::exists(prg.path()));
    // Qt's own runtime folder (made where no XDG_RUNTIME_DIR is set) aside.
    QStringList lstLeft = QDir(sLong).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    lstLeft = lstLeft.filter(QRegularExpression(QStringLiteral("^(?!runtime-)")));
    QVERIFY2(lstLeft.isEmpty(), qPrintable(lstLeft.join(' ')));
}

void TestAppStartup::unreachableDisplay_data()
{
    QTest::addColumn<QString>("sPlatform");
    QTest::newRow("the display's platform") << QString();
    QTest::newRow("platform named") << QStringLiteral("xcb");
}

// A display nobody serves: the bridge greets all the same, on the offscreen platform, and says why.
void TestAppStartup::unreachableDisplay()
{
    QFETCH(QString, sPlatform);
    const QString sDisplay = QStringLiteral(":9999");
    if (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X9999")))
        QSKIP("display :9999 exists on this machine");
    MainApp app;
    // Only the widgets of a source reach for the display.
    app.setEnv(QStringLiteral("PELIRAND_WIDGETS"), QStringLiteral("1"));
    app.setEnv(QStringLiteral("DISPLAY"), sDisplay);
    app.setEnv(QStringLiteral("WAYLAND_DISPLAY"), QString());
    app.setEnv(QStringLiteral("QT_QPA_PLATFORM"), sPlatform);
    QVERIFY(app.startAndConnect());
    QCOMPARE(app.send(cmdGetNumCommands, {}).iResult, 10);
    const QStringList lstReason = app.logLines().filter(QStringLiteral("cannot reach the display"));
    QCOMPARE(lstReason.size(), 1);
    QVERIFY2(lstReason.first().contains(sDisplay), qPrintable(lstReason.first()));
    QCOMPARE(app.send(cmdQuit, {}).iResult, 0);
    QVERIFY(app.waitForExit());
    QCOMPARE(app.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.process().exitCode(), 0);
}

void TestAppStartup::widgetsOnlyForTheirSources_data()
{
    QTest::addColumn<QString>("sSources");
    QTest::addColumn<QString>("sWidgets");
    QTest::addColumn<bool>("bLoaded");
    QTest::newRow("sources without Qt") << QString() << QString() << false;
    QTest::newRow("a source built with Qt Widgets") << QStringLiteral(WIDGET_SOURCE_DIR) << QString() << true;
    QTest::newRow("asked for") << QString() << QStringLiteral("1") << true;
    QTest::newRow("refused") << QStringLiteral(WIDGET_SOURCE_DIR) << QStringLiteral("0") << false;
}

// Qt Gui and Widgets (with their display platform) are in the bridge only where a source may need them.
void TestAppStartup::widgetsOnlyForTheirSources()
{
    QFETCH(QString, sSources);
    QFETCH(QString, sWidgets);
    QFETCH(bool, bLoaded);
    MainApp app;
    if (!sSources.isEmpty())
        app.setEnv(QStringLiteral("PELIRAND_TWAIN_DIR"), sSources);
    app.setEnv(QStringLiteral("PELIRAND_WIDGETS"), sWidgets);
    app.setEnv(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QVERIFY(app.startAndConnect());
    QCOMPARE(app.send(cmdGetNumCommands, {}).iResult, 10);
    QFile maps(QStringLiteral("/proc/%1/maps").arg(app.process().processId()));
    QVERIFY(maps.open(QIODevice::ReadOnly));
    const QByteArray mapped = maps.readAll();
    QCOMPARE(mapped.contains("libQt5Gui.so"), bLoaded);
    QCOMPARE(mapped.contains("libQt5Widgets.so"), bLoaded);
    QCOMPARE(app.send(cmdQuit, {}).iResult, 0);
    QVERIFY(app.waitForExit());
    QCOMPARE(app.process().exitCode(), 0);
}

void TestAppStartup::logPlace_data()
{
    QTest::addColumn<QString>("sLogName"); // PELIRAND_LOG below the home folder, or none
    QTest::addColumn<QString>("sKind");    // what lies there before the bridge starts
    QTest::addColumn<bool>("bHomeMissing");

    QTest::newRow("named log") << QStringLiteral("elsewhere/bridge.log") << QString() << false;
    QTest::newRow("named log is a fifo") << QStringLiteral("bridge.log") << QStringLiteral("fifo") << false;
    QTest::newRow("named log is a symlink")
        << QStringLiteral("bridge.log") << QStringLiteral("symlink") << false;
    QTest::newRow("home folder missing") << QString() << QString() << true;
}

// Wherever the log is to go, the bridge starts and answers; it creates no home
// folder, follows no link and waits on no FIFO.
void TestAppStartup::logPlace()
{
    QFETCH(QString, sLogName);
    QFETCH(QString, sKind);
    QFETCH(bool, bHomeMissing);

    MainApp app;
    const QString sMissingHome = app.home() + QStringLiteral("/no-such-home");
    if (bHomeMissing)
        app.setEnv(QStringLiteral("HOME"), sMissingHome);
    const QString sLog = sLogName.isEmpty() ? QString() : app.home() + QLatin1Char('/') + sLogName;
    const QString sTarget = app.home() + QStringLiteral("/target");
    if (!sLog.isEmpty()) {
        app.setEnv(QStringLiteral("PELIRAND_LOG"), sLog);
        QVERIFY(QDir().mkpath(QFileInfo(sLog).path()));
    }
    if (sKind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(sLog).constData(), 0600), 0);
    if (sKind == QLatin1String("symlink")) {
        QFile target(sTarget);
        QVERIFY(target.open(QIODevice::WriteOnly));
        target.write("kept\n");
        target.close();
        QVERIFY(QFile::link(sTarget, sLog));
    }
    // Without a reader the FIFO could not be opened for writing anyway; with one
    // a blocking open would pass, so the bridge must not wait on it in either case.
    int fdReader = -1;
    if (sKind == QLatin1String("fifo"))
        fdReader = ::open(QFile::encodeName(sLog).constData(), O_RDONLY | O_NONBLOCK);

    QVERIFY(app.startAndConnect());
    QCOMPARE(app.send(cmdGetNumCommands, {}).iResult, 10);
    QCOMPARE(app.send(cmdQuit, {}).iResult, 0);
    QVERIFY(app.waitForExit());

    const QString sDefaultLog = app.home() + QStringLiteral("/Documents/vantora-pelirand.log");
    if (bHomeMissing)
        QVERIFY(!QFileInfo::exists(sMissingHome));
    if (!sLog.isEmpty())
        QVERIFY(!QFileInfo::exists(sDefaultLog));
    if (sKind.isEmpty() && !sLog.isEmpty()) {
        QFile log(sLog);
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("quitting regularly\r\n"));
        QCOMPARE(log.permissions() & (QFileDevice::ReadOther | QFileDevice::WriteOther |
                                      QFileDevice::ReadGroup | QFileDevice::WriteGroup),
                 QFileDevice::Permissions());
    }
    if (sKind == QLatin1String("symlink")) {
        QFile target(sTarget);
        QVERIFY(target.open(QIODevice::ReadOnly));
        QCOMPARE(target.readAll(), QByteArray("kept\n"));
    }
    if (fdReader >= 0) {
        char c;
        QCOMPARE(::read(fdReader, &c, 1), ssize_t(0));
        ::close(fdReader);
    }
}

QTEST_GUILESS_MAIN(TestAppStartup)
#include "tst_appstartup.moc"
