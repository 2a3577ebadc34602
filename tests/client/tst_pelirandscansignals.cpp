// pelirand-scan ended by SIGINT, SIGTERM or SIGHUP as a process, or by its
// --timeout while the scanner is stuck inside a call: the status, the pages
// kept, and nothing left behind: no file in its temporary folder, no bridge
// still running.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>

#include "sources/sim/simscanner.h"
#include "tests/client/mainapptestsupport.h"

using mainapptest::kWaitMs;

namespace {

// The simulated scanner sleeps for ten minutes inside a call on its second
// page: a scanner that stopped answering, with one page delivered before it.
QString stallOnPageTwo(TW_UINT16 dg, TW_UINT16 dat, TW_UINT16 msg)
{
    Q_UNUSED(dg);
    using namespace simscanner;
    return QStringLiteral("0x%1=%2,0x%3=600000,0x%4=%5")
        .arg(SIMCAP_DELAYTRIPLET, 0, 16)
        .arg(simTriplet(dat, msg))
        .arg(SIMCAP_DELAYMS, 0, 16)
        .arg(SIMCAP_QUIRK, 0, 16)
        .arg(SIM_QUIRK_FAULTS_ON_PAGE);
}

// Every page pelirand-scan announced is in the folder, whole, and nothing else is.
void checkAnnouncedPages(const QString& sErr, const QString& sFolder, const QString& sDescribe)
{
    // "page N: not delivered: ..." names no file.
    const QRegularExpression pageLine(QStringLiteral("^page (\\d+): (?!not delivered)(\\S+)"),
                                      QRegularExpression::MultilineOption);
    QStringList lstAnnounced;
    for (auto it = pageLine.globalMatch(sErr); it.hasNext();)
        lstAnnounced.append(QFileInfo(it.next().captured(2)).fileName());
    const QStringList lstWritten = QDir(sFolder).entryList(QDir::Files, QDir::Name);
    QVERIFY2(lstWritten == lstAnnounced,
             qPrintable(QStringLiteral("written [%1], announced [%2]\n%3")
                            .arg(lstWritten.join(' '), lstAnnounced.join(' '), sDescribe)));
    for (const QString& sName : lstWritten)
        QVERIFY2(!QImage(QDir(sFolder).filePath(sName)).isNull(), qPrintable(sName));
}

// The bridge ends too, and neither leaves anything in the temporary folders.
void checkNothingLeft(const QString& sTmp, const QString& sRuntime)
{
    QVERIFY(QTest::qWaitFor([&] { return mainapptest::processesUsing(sTmp).isEmpty(); }, kWaitMs));
    for (const QString& sFolder : {sTmp, sRuntime}) {
        const QStringList lstLeft =
            QDir(sFolder).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
        QVERIFY2(lstLeft.isEmpty(), qPrintable(sFolder + QStringLiteral(": ") + lstLeft.join(' ')));
    }
}

} // namespace

class TestPelirandScanSignals : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void endedBySignal_data();
    void endedBySignal();
    void stalledPastTimeout_data();
    void stalledPastTimeout();
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
    // The scanner's faults (PELIRAND_SIM_CONTROLS), and what more the end says.
    QTest::addColumn<QString>("sSimControls");
    QTest::addColumn<QString>("sAlso");

    // A dialog a person could see (a Qt window on a VNC display) that nobody answers.
    const QStringList dialog{QStringLiteral("--dialog"), QStringLiteral("--source"),
                             QStringLiteral("pelirand Widget Source")};
    const QString sDialogLine = QStringLiteral("source's dialog");
    QTest::newRow("SIGINT in the dialog")
        << dialog << sDialogLine << QList<int>{SIGINT} << 130 << QString() << QString();
    QTest::newRow("SIGTERM in the dialog")
        << dialog << sDialogLine << QList<int>{SIGTERM} << 143 << QString() << QString();
    QTest::newRow("SIGHUP in the dialog")
        << dialog << sDialogLine << QList<int>{SIGHUP} << 129 << QString() << QString();
    QTest::newRow("SIGINT twice") << dialog << sDialogLine << QList<int>{SIGINT, SIGINT} << 130 << QString()
                                  << QString();
    // Large pages, so that the signal comes while more are to come.
    QTest::newRow("SIGINT while pages arrive")
        << QStringList{QStringLiteral("-r"), QStringLiteral("150"), QStringLiteral("--pixel-type"),
                       QStringLiteral("rgb")}
        << QStringLiteral("page 1:") << QList<int>{SIGINT} << 130 << QString() << QString();
    QTest::newRow("SIGTERM while pages arrive, memory")
        << QStringList{QStringLiteral("-r"), QStringLiteral("150"), QStringLiteral("-m"),
                       QStringLiteral("memory")}
        << QStringLiteral("page 1:") << QList<int>{SIGTERM} << 143 << QString() << QString();
    // The scanner is stuck inside the transfer of page 2 and never takes the
    // cancel: the second Ctrl-C ends the bridge, page 1 stays.
    QTest::newRow("SIGINT twice while the scanner is stuck")
        << QStringList{QStringLiteral("-n"), QStringLiteral("3")} << QStringLiteral("page 1:")
        << QList<int>{SIGINT, SIGINT} << 130 << stallOnPageTwo(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET)
        << QStringLiteral("the scanner did not answer the cancel, so the bridge was ended");
}

void TestPelirandScanSignals::endedBySignal()
{
    QFETCH(QStringList, lstArgs);
    QFETCH(QString, sWaitFor);
    QFETCH(QList<int>, lstSignals);
    QFETCH(int, iExit);
    QFETCH(QString, sSimControls);
    QFETCH(QString, sAlso);

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
    if (!sSimControls.isEmpty())
        env.insert(QString::fromLatin1(simscanner::kControlsVariable), sSimControls);
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
             qPrintable(QStringLiteral("ended early, exit %1\nstdout:\n%2\nstderr:\n%3")
                            .arg(process.exitCode())
                            .arg(QString::fromUtf8(process.readAllStandardOutput()),
                                 QString::fromUtf8(stderrText + process.readAllStandardError()))));
    for (int i = 0; i < lstSignals.size(); ++i) {
        // At a stuck scanner, the next signal once the one before has been
        // taken (in the dialog they also come back to back).
        if (i > 0 && !sSimControls.isEmpty())
            QVERIFY2(QTest::qWaitFor(
                         [&] {
                             stderrText += process.readAllStandardError();
                             return stderrText.count("received signal") >= i ||
                                    process.state() != QProcess::Running;
                         },
                         kWaitMs),
                     stderrText.constData());
        ::kill(pid_t(process.processId()), lstSignals.at(i));
    }
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
    QVERIFY2(sErr.contains(sAlso), qPrintable(sDescribe));
    // Standard output carries only what was asked for: nothing here.
    QVERIFY2(sOut.isEmpty(), qPrintable(sDescribe));

    // Every page it announced is there and complete; nothing else is.
    checkAnnouncedPages(sErr, out.path(), sDescribe);
    if (QTest::currentTestFailed())
        return;
    const int nWritten = QDir(out.path()).entryList(QDir::Files).size();
    QVERIFY2(
        sErr.contains(QStringLiteral("%1 %2 written")
                          .arg(nWritten)
                          .arg(nWritten == 1 ? QStringLiteral("page was") : QStringLiteral("pages were"))),
        qPrintable(sDescribe));
    checkNothingLeft(tmp.path(), runtime.path());
}

void TestPelirandScanSignals::stalledPastTimeout_data()
{
    QTest::addColumn<QString>("sSimControls");
    QTest::addColumn<int>("iKept");
    QTest::addColumn<QString>("sDoing");

    // --timeout is the longest time without progress, whatever the scanner does inside a call.
    // (Whether the call's bound or the wait for progress notices first, the end says the same.)
    QTest::newRow("stuck in a page's transfer") << stallOnPageTwo(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET) << 1
                                                << QStringLiteral("for 2 seconds while transferring page 2");
    QTest::newRow("stuck ending a page") << stallOnPageTwo(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER) << 2
                                         << QStringLiteral("for 2 seconds while ending page 2");
}

void TestPelirandScanSignals::stalledPastTimeout()
{
    QFETCH(QString, sSimControls);
    QFETCH(int, iKept);
    QFETCH(QString, sDoing);

    QTemporaryDir tmp(QStringLiteral("/tmp/psig-XXXXXX"));
    QTemporaryDir runtime(QStringLiteral("/tmp/psrun-XXXXXX"));
    QTemporaryDir out;
    QVERIFY(tmp.isValid() && runtime.isValid() && out.isValid());
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), tmp.path());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    env.insert(QString::fromLatin1(simscanner::kControlsVariable), sSimControls);
    process.setProcessEnvironment(env);
    // The call bound is left at its default, far above --timeout.
    process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/pelirand-scan"),
                  {QStringLiteral("-n"), QStringLiteral("3"), QStringLiteral("--timeout"),
                   QStringLiteral("2"), QStringLiteral("-o"), out.path(), QStringLiteral("--name"),
                   QStringLiteral("p")});
    QVERIFY(process.waitForStarted(kWaitMs));
    const bool bEnded = process.waitForFinished(kWaitMs);
    if (!bEnded) {
        process.kill();
        process.waitForFinished(kWaitMs);
    }
    const QString sErr = QString::fromUtf8(process.readAllStandardError());
    const QString sOut = QString::fromUtf8(process.readAllStandardOutput());
    const QString sDescribe =
        QStringLiteral("exit %1\nstdout:\n%2\nstderr:\n%3").arg(process.exitCode()).arg(sOut, sErr);
    QVERIFY2(bEnded && process.exitStatus() == QProcess::NormalExit, qPrintable(sDescribe));
    QVERIFY2(process.exitCode() == 8, qPrintable(sDescribe));
    QVERIFY2(sErr.contains(sDoing + QStringLiteral(" (--timeout)")), qPrintable(sDescribe));
    QVERIFY2(sErr.contains(QStringLiteral("%1 %2 kept").arg(iKept).arg(iKept == 1 ? "page" : "pages")),
             qPrintable(sDescribe));
    QVERIFY2(sOut.isEmpty(), qPrintable(sDescribe));
    checkAnnouncedPages(sErr, out.path(), sDescribe);
    QCOMPARE(QDir(out.path()).entryList(QDir::Files).size(), iKept);
    checkNothingLeft(tmp.path(), runtime.path());
}

QTEST_GUILESS_MAIN(TestPelirandScanSignals)
#include "tst_pelirandscansignals.moc"
