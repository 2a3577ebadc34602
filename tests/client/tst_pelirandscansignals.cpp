// pelirand-scan ended by SIGINT, SIGTERM or SIGHUP as a process: the status,
// the pages kept, and nothing left behind: no file in its temporary folder, no
// bridge still running.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>

#include "tests/client/mainapptestsupport.h"

using mainapptest::kWaitMs;

class TestPelirandScanSignals : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void endedBySignal_data();
    void endedBySignal();
};

void TestPelirandScanSignals::initTestCase()
{
    mainapptest::useTemporaryTmpDir();
}

void TestPelirandScanSignals::endedBySignal_data()
{
    QTest::addColumn<QStringList>("lstArgs");
    QTest::addColumn<QString>("sWaitFor");
    QTest::addColumn<QList<int>>("lstSignals");
    QTest::addColumn<int>("iExit");

    // A dialog a person could see (a Qt window on a VNC display) that nobody answers.
    const QStringList dialog{QStringLiteral("--dialog"), QStringLiteral("--source"),
                             QStringLiteral("pelirand Widget Source")};
    const QString sDialogLine = QStringLiteral("source's dialog");
    QTest::newRow("SIGINT in the dialog") << dialog << sDialogLine << QList<int>{SIGINT} << 130;
    QTest::newRow("SIGTERM in the dialog") << dialog << sDialogLine << QList<int>{SIGTERM} << 143;
    QTest::newRow("SIGHUP in the dialog") << dialog << sDialogLine << QList<int>{SIGHUP} << 129;
    QTest::newRow("SIGINT twice") << dialog << sDialogLine << QList<int>{SIGINT, SIGINT} << 130;
    // Large pages, so that the signal comes while more are to come.
    QTest::newRow("SIGINT while pages arrive") << QStringList{QStringLiteral("-r"), QStringLiteral("150"),
                                                              QStringLiteral("--pixel-type"), QStringLiteral("rgb")}
                                               << QStringLiteral("page 1:") << QList<int>{SIGINT} << 130;
    QTest::newRow("SIGTERM while pages arrive, memory")
        << QStringList{QStringLiteral("-r"), QStringLiteral("150"), QStringLiteral("-m"),
                       QStringLiteral("memory")}
        << QStringLiteral("page 1:") << QList<int>{SIGTERM} << 143;
}

void TestPelirandScanSignals::endedBySignal()
{
    QFETCH(QStringList, lstArgs);
    QFETCH(QString, sWaitFor);
    QFETCH(QList<int>, lstSignals);
    QFETCH(int, iExit);

    // Short: socket names must fit a socket address.
    QTemporaryDir tmp(QStringLiteral("/tmp/psig-XXXXXX"));
    QTemporaryDir runtime(QStringLiteral("/tmp/psrun-XXXXXX"));
    QTemporaryDir out;
    QVERIFY(tmp.isValid() && runtime.isValid() && out.isValid());
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), tmp.path());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    if (lstArgs.contains(QStringLiteral("--dialog"))) {
        env.insert(QStringLiteral("PELIRAND_TWAIN_DIR"), QStringLiteral(WIDGET_SOURCE_DIR));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("vnc:port=0"));
    }
    process.setProcessEnvironment(env);
    process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/pelirand-scan"),
                  lstArgs + QStringList{QStringLiteral("-o"), out.path(), QStringLiteral("--name"),
                                        QStringLiteral("p")});
    QVERIFY(process.waitForStarted(kWaitMs));
    // People's lines (the pages, the notes) are on standard error.
    QByteArray stderrText;
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     stderrText += process.readAllStandardError();
                     return stderrText.contains(sWaitFor.toUtf8()) || process.state() == QProcess::NotRunning;
                 },
                 kWaitMs),
             stderrText.constData());
    QVERIFY2(process.state() == QProcess::Running,
             qPrintable(
                 QStringLiteral("ended early, exit %1\nstdout:\n%2\nstderr:\n%3")
                     .arg(process.exitCode())
                     .arg(QString::fromUtf8(process.readAllStandardOutput()),
                          QString::fromUtf8(stderrText + process.readAllStandardError()))));
    for (int iSignal : lstSignals)
        ::kill(pid_t(process.processId()), iSignal);
    QVERIFY(process.waitForFinished(kWaitMs));
    stderrText += process.readAllStandardError();
    const QString sErr = QString::fromUtf8(stderrText);
    const QString sOut = QString::fromUtf8(process.readAllStandardOutput());
    const QString sDescribe = QStringLiteral("stdout:\n%1\nstderr:\n%2").arg(sOut, sErr);
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(process.exitCode() == iExit,
             qPrintable(QStringLiteral("exit %1\n").arg(process.exitCode()) + sDescribe));
    QVERIFY2(sErr.contains(QStringLiteral("received signal %1").arg(lstSignals.first())),
             qPrintable(sDescribe));
    // Standard output carries only what was asked for: nothing here.
    QVERIFY2(sOut.isEmpty(), qPrintable(sDescribe));

    // Every page it announced is there and complete; nothing else is.
    const QRegularExpression pageLine(QStringLiteral("^page (\\d+): (\\S+)"),
                                      QRegularExpression::MultilineOption);
    QStringList lstAnnounced;
    for (auto it = pageLine.globalMatch(sErr); it.hasNext();)
        lstAnnounced.append(QFileInfo(it.next().captured(2)).fileName());
    const QStringList lstWritten = QDir(out.path()).entryList(QDir::Files, QDir::Name);
    QCOMPARE(lstWritten, lstAnnounced);
    for (const QString& sName : lstWritten)
        QVERIFY2(!QImage(out.filePath(sName)).isNull(), qPrintable(sName));
    QVERIFY2(sErr.contains(QStringLiteral("%1 %2 written")
                               .arg(lstWritten.size())
                               .arg(lstWritten.size() == 1 ? QStringLiteral("page was")
                                                           : QStringLiteral("pages were"))),
             qPrintable(sDescribe));

    // The bridge ends too, and neither leaves anything in the temporary folder.
    QVERIFY(QTest::qWaitFor([&] { return mainapptest::processesUsing(tmp.path()).isEmpty(); }, kWaitMs));
    for (const QString& sFolder : {tmp.path(), runtime.path()}) {
        const QStringList lstLeft =
            QDir(sFolder).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
        QVERIFY2(lstLeft.isEmpty(), qPrintable(sFolder + QStringLiteral(": ") + lstLeft.join(' ')));
    }
}

QTEST_GUILESS_MAIN(TestPelirandScanSignals)
#include "tst_pelirandscansignals.moc"
