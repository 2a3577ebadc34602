// pelirand-scan with the options scanimage users know, against SANE's test
// device: what each option leaves in force on the device (as the scan reads
// it back), the same picture as scanimage's where scanimage has the option,
// feeder batches, a flatbed batch driven by keys on a pseudo-terminal, and
// each failure the device can be made to report, in its plain words.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>

#include "tests/sane/sanetestsupport.h"

using namespace sanetest;

namespace {

constexpr int kWaitMs = 120000;

struct Run
{
    int iExit = -1;
    QString sOut;
    QString sErr;
};

QString describe(const Run& run)
{
    return QStringLiteral("exit %1\nstdout:\n%2\nstderr:\n%3").arg(run.iExit).arg(run.sOut, run.sErr);
}

QString scanProgram()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/pelirand-scan");
}

Run runScan(const QStringList& lstArgs)
{
    QProcess process;
    process.start(scanProgram(), lstArgs);
    Run run;
    if (!process.waitForFinished(kWaitMs)) {
        process.kill();
        process.waitForFinished(kWaitMs);
        run.sErr = QStringLiteral("did not end");
        return run;
    }
    run.iExit = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.sOut = QString::fromUtf8(process.readAllStandardOutput());
    run.sErr = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// Pages in a PDF: its page objects, not the page tree.
int pdfPages(const QString& sPath)
{
    QFile file(sPath);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    // With its size: the image streams hold zero bytes.
    const QByteArray bytes = file.readAll();
    return QString::fromLatin1(bytes.constData(), bytes.size())
        .count(QRegularExpression(QStringLiteral("/Type\\s*/Page(?!s)")));
}

} // namespace

class TestScanimageHabits : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void listDevices();
    void habits_data();
    void habits();
    void feeder_data();
    void feeder();
    void batchPrompt_data();
    void batchPrompt();
    void conditions_data();
    void conditions();
    void deviceOptionsListed();

private:
    std::unique_ptr<SaneConfig> m_config;
    QTemporaryDir m_dir;
};

void TestScanimageHabits::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("scanimage")).isEmpty())
        QSKIP("scanimage (sane-utils) is not installed");
    qunsetenv("PELIRAND_SANE_DEVICE");
    qunsetenv("PELIRAND_SANE_OPTIONS");
    m_config = std::make_unique<SaneConfig>();
    QVERIFY(m_config->isValid());
    QVERIFY(m_dir.isValid());
    // Without SANE's test backend there is no device to scan from.
    QProcess list;
    list.start(QStringLiteral("scanimage"), {QStringLiteral("-L")});
    QVERIFY(list.waitForFinished(60000));
    if (!list.readAllStandardOutput().contains("`test:0'"))
        QSKIP("SANE's test backend (libsane1) is not installed");
}

void TestScanimageHabits::listDevices()
{
    const Run run = runScan({QStringLiteral("-L")});
    QVERIFY2(run.iExit == 0, qPrintable(describe(run)));
    QVERIFY2(run.sOut.contains(QStringLiteral("--device test:0  (")), qPrintable(describe(run)));
}

void TestScanimageHabits::habits_data()
{
    QTest::addColumn<QStringList>("lstArgs");
    // The same scan as scanimage takes it; empty where scanimage has no such option.
    QTest::addColumn<QStringList>("lstScanimage");
    // Device options in force after the settings, as --verbose reads them back.
    QTest::addColumn<QStringList>("lstInForce");

    QTest::newRow("--mode Color") << QStringList{QStringLiteral("--mode"), QStringLiteral("Color")}
                                  << QStringList{QStringLiteral("--mode"), QStringLiteral("Color")}
                                  << QStringList{QStringLiteral("mode=Color")};
    QTest::newRow("--mode Gray") << QStringList{QStringLiteral("--mode"), QStringLiteral("Gray")}
                                 << QStringList{QStringLiteral("--mode"), QStringLiteral("Gray")}
                                 << QStringList{QStringLiteral("mode=Gray"), QStringLiteral("depth=8")};
    // The test device has no Lineart: one-bit grey is its black and white.
    QTest::newRow("--mode Lineart") << QStringList{QStringLiteral("--mode"), QStringLiteral("Lineart")}
                                    << QStringList{QStringLiteral("--mode"), QStringLiteral("Gray"),
                                                   QStringLiteral("--depth"), QStringLiteral("1")}
                                    << QStringList{QStringLiteral("mode=Gray"), QStringLiteral("depth=1")};
    QTest::newRow("--resolution") << QStringList{QStringLiteral("--resolution"), QStringLiteral("75")}
                                  << QStringList{QStringLiteral("--resolution"), QStringLiteral("75")}
                                  << QStringList{QStringLiteral("resolution=75")};
    QTest::newRow("-l -t -x -y")
        << QStringList{QStringLiteral("-l"), QStringLiteral("10"), QStringLiteral("-t"), QStringLiteral("20"),
                       QStringLiteral("-x"), QStringLiteral("30"), QStringLiteral("-y"), QStringLiteral("40")}
        << QStringList{QStringLiteral("-l"), QStringLiteral("10"), QStringLiteral("-t"), QStringLiteral("20"),
                       QStringLiteral("-x"), QStringLiteral("30"), QStringLiteral("-y"), QStringLiteral("40")}
        << QStringList{QStringLiteral("tl-x=10"), QStringLiteral("tl-y=20"), QStringLiteral("br-x=40"),
                       QStringLiteral("br-y=60")};
    QTest::newRow("--width --height alone")
        << QStringList{QStringLiteral("--width"), QStringLiteral("25"), QStringLiteral("--height"),
                       QStringLiteral("15")}
        << QStringList{QStringLiteral("-x"), QStringLiteral("25"), QStringLiteral("-y"), QStringLiteral("15")}
        << QStringList{QStringLiteral("tl-x=0"), QStringLiteral("br-x=25"), QStringLiteral("br-y=15")};
    QTest::newRow("--flatbed") << QStringList{QStringLiteral("--flatbed")}
                               << QStringList{QStringLiteral("--source"), QStringLiteral("Flatbed")}
                               << QStringList{QStringLiteral("source=Flatbed")};
    QTest::newRow("--feeder -n 1") << QStringList{QStringLiteral("--feeder"), QStringLiteral("-n"),
                                                  QStringLiteral("1")}
                                   << QStringList{QStringLiteral("--source"),
                                                  QStringLiteral("Automatic Document Feeder")}
                                   << QStringList{QStringLiteral("source=Automatic Document Feeder")};
    QTest::newRow("--sane-option twice")
        << QStringList{QStringLiteral("--sane-option"), QStringLiteral("test-picture=Grid"),
                       QStringLiteral("--sane-option"), QStringLiteral("read-limit=no")}
        << QStringList{QStringLiteral("--test-picture"), QStringLiteral("Grid")}
        << QStringList{QStringLiteral("test-picture=Grid"), QStringLiteral("read-limit=no")};
}

void TestScanimageHabits::habits()
{
    QFETCH(QStringList, lstArgs);
    QFETCH(QStringList, lstScanimage);
    QFETCH(QStringList, lstInForce);

    // A real picture, small and quick: 50 dpi unless the row says otherwise.
    QStringList lstOurs{QStringLiteral("-d"), QStringLiteral("test:0"), QStringLiteral("--verbose"),
                        QStringLiteral("-m"), QStringLiteral("memory")};
    QStringList lstTheirs;
    if (!lstArgs.contains(QStringLiteral("--resolution"))) {
        lstOurs << QStringLiteral("-r") << QStringLiteral("50");
        lstTheirs << QStringLiteral("--resolution") << QStringLiteral("50");
    }
    if (!lstArgs.contains(QStringLiteral("--sane-option"))) {
        lstOurs << QStringLiteral("--sane-option") << QStringLiteral("test-picture=Color pattern");
        lstTheirs << QStringLiteral("--test-picture") << QStringLiteral("Color pattern");
    }
    const QString sFile = m_dir.filePath(
        QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('_')) +
        QStringLiteral(".pnm"));
    const Run run = runScan(lstOurs + lstArgs + QStringList{QStringLiteral("-o"), sFile});
    QVERIFY2(run.iExit == 0, qPrintable(describe(run)));
    // Only what was asked for on standard output: nothing.
    QVERIFY2(run.sOut.isEmpty(), qPrintable(describe(run)));
    const QRegularExpression inForce(QStringLiteral("device options in force: (.*)$"),
                                     QRegularExpression::MultilineOption);
    const QString sInForce = inForce.match(run.sErr).captured(1);
    QVERIFY2(!sInForce.isEmpty(), qPrintable(describe(run)));
    const QStringList lstPairs = sInForce.split(QStringLiteral(", "));
    for (const QString& sWanted : qAsConst(lstInForce))
        QVERIFY2(lstPairs.contains(sWanted), qPrintable(sWanted + QStringLiteral(" not in ") + sInForce));

    // The picture scanimage makes with the same options.
    QFile file(sFile);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(sFile));
    const Picture got = fromPnm(file.readAll());
    QString sError;
    const Picture want = scanimage(QStringLiteral("test:0"), lstTheirs + lstScanimage, &sError);
    QVERIFY2(want.width > 0, qPrintable(sError));
    QVERIFY2(got == want, difference(got, want).constData());
}

void TestScanimageHabits::feeder_data()
{
    QTest::addColumn<QStringList>("lstArgs");
    QTest::addColumn<int>("iExit");
    QTest::addColumn<QStringList>("lstFiles");
    QTest::addColumn<QString>("sSays");

    QStringList lstTen;
    for (int i = 1; i <= 10; ++i)
        lstTen << QStringLiteral("page-%1.png").arg(i, 3, 10, QLatin1Char('0'));
    // The test device's feeder holds 10 sheets.
    QTest::newRow("every sheet, numbered files")
        << QStringList{QStringLiteral("--feeder"), QStringLiteral("-o"), QStringLiteral("page.png")} << 0
        << lstTen << QString();
    QTest::newRow("every sheet into one PDF")
        << QStringList{QStringLiteral("--feeder"), QStringLiteral("-o"), QStringLiteral("doc.pdf")} << 0
        << QStringList{QStringLiteral("doc.pdf")} << QString();
    QTest::newRow("three sheets") << QStringList{QStringLiteral("--feeder"), QStringLiteral("-n"),
                                                 QStringLiteral("3"), QStringLiteral("-o"),
                                                 QStringLiteral("page.png")}
                                  << 0
                                  << QStringList{QStringLiteral("page-001.png"),
                                                 QStringLiteral("page-002.png"),
                                                 QStringLiteral("page-003.png")}
                                  << QString();
    QTest::newRow("more than the feeder holds")
        << QStringList{QStringLiteral("--feeder"), QStringLiteral("-n"), QStringLiteral("12"),
                       QStringLiteral("-o"), QStringLiteral("doc.pdf")}
        << 1 << QStringList{QStringLiteral("doc.pdf")} << QStringLiteral("only 10 of 12 pages arrived");
    // Its feeder scans one side only.
    QTest::newRow("no duplex") << QStringList{QStringLiteral("--duplex"), QStringLiteral("-o"),
                                              QStringLiteral("page.png")}
                               << 6 << QStringList{} << QStringLiteral("the scanner cannot scan both sides");
    QTest::newRow("one page from the flatbed")
        << QStringList{QStringLiteral("--flatbed"), QStringLiteral("-o"), QStringLiteral("page.png")} << 0
        << QStringList{QStringLiteral("page.png")} << QString();
}

void TestScanimageHabits::feeder()
{
    QFETCH(QStringList, lstArgs);
    QFETCH(int, iExit);
    QFETCH(QStringList, lstFiles);
    QFETCH(QString, sSays);

    QTemporaryDir out(m_dir.filePath(QStringLiteral("feeder-XXXXXX")));
    QStringList lstAll{
        QStringLiteral("-d"), QStringLiteral("test:0"),        QStringLiteral("-r"),
        QStringLiteral("50"), QStringLiteral("--sane-option"), QStringLiteral("test-picture=Grid")};
    for (const QString& sArg : lstArgs)
        lstAll << (sArg.contains(QLatin1Char('.')) ? out.filePath(sArg) : sArg);
    const Run run = runScan(lstAll);
    QVERIFY2(run.iExit == iExit, qPrintable(describe(run)));
    QVERIFY2(sSays.isEmpty() || run.sErr.contains(sSays), qPrintable(describe(run)));
    QVERIFY2(run.sOut.isEmpty(), qPrintable(describe(run)));
    QCOMPARE(QDir(out.path()).entryList(QDir::Files, QDir::Name), lstFiles);
    if (lstFiles == QStringList{QStringLiteral("doc.pdf")})
        QCOMPARE(pdfPages(out.filePath(QStringLiteral("doc.pdf"))), 10);
}

void TestScanimageHabits::batchPrompt_data()
{
    QTest::addColumn<QByteArray>("keys");
    QTest::addColumn<int>("iPages");

    // After each page the person answers: Enter scans the next, any other key finishes.
    QTest::newRow("one page, then q") << QByteArray("q") << 1;
    QTest::newRow("three pages") << QByteArray("\n\nx") << 3;
    QTest::newRow("carriage return counts as Enter") << QByteArray("\r ") << 2;
}

void TestScanimageHabits::batchPrompt()
{
    QFETCH(QByteArray, keys);
    QFETCH(int, iPages);

    // A pseudo-terminal stands for the person's terminal.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(master >= 0);
    QVERIFY(::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const QString sSlave = QString::fromLocal8Bit(::ptsname(master));
    QTemporaryDir out(m_dir.filePath(QStringLiteral("prompt-XXXXXX")));
    const QString sPdf = out.filePath(QStringLiteral("book.pdf"));
    QProcess scan;
    scan.setStandardInputFile(sSlave);
    scan.start(scanProgram(),
               {QStringLiteral("-d"), QStringLiteral("test:0"), QStringLiteral("-r"), QStringLiteral("50"),
                QStringLiteral("--sane-option"), QStringLiteral("test-picture=Grid"),
                QStringLiteral("--batch-prompt"), QStringLiteral("-o"), sPdf});
    QVERIFY(scan.waitForStarted(kWaitMs));
    QByteArray err;
    for (const char key : keys) {
        // Each key once pelirand-scan asks for it.
        const int nAsked = err.count("press Enter");
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         err += scan.readAllStandardError();
                         return err.count("press Enter") > nAsked || scan.state() != QProcess::Running;
                     },
                     kWaitMs),
                 err.constData());
        QVERIFY2(scan.state() == QProcess::Running, err.constData());
        QCOMPARE(::write(master, &key, 1), ssize_t(1));
    }
    const bool bEnded = scan.waitForFinished(kWaitMs);
    ::close(master);
    if (!bEnded)
        scan.kill();
    QVERIFY(bEnded || scan.waitForFinished(kWaitMs));
    err += scan.readAllStandardError();
    QVERIFY2(bEnded && scan.exitCode() == 0, err.constData());
    QVERIFY2(scan.readAllStandardOutput().isEmpty(), err.constData());
    QCOMPARE(err.count("press Enter"), iPages);
    QCOMPARE(pdfPages(sPdf), iPages);
}

void TestScanimageHabits::conditions_data()
{
    QTest::addColumn<QString>("sStatus");
    QTest::addColumn<QString>("sSays");

    // What the test device's first read returns, and the sentence a person reads.
    QTest::newRow("JAMMED") << "SANE_STATUS_JAMMED"
                            << "paper jam in the feeder";
    QTest::newRow("COVER_OPEN") << "SANE_STATUS_COVER_OPEN"
                                << "the scanner's cover is open";
    QTest::newRow("NO_DOCS") << "SANE_STATUS_NO_DOCS"
                             << "no paper in the feeder";
    QTest::newRow("DEVICE_BUSY") << "SANE_STATUS_DEVICE_BUSY"
                                 << "the scanner is busy: another program is using it";
    QTest::newRow("NO_MEM") << "SANE_STATUS_NO_MEM"
                            << "not enough memory for the scan";
    QTest::newRow("ACCESS_DENIED") << "SANE_STATUS_ACCESS_DENIED"
                                   << "access to the scanner was denied (see the device's permissions)";
    QTest::newRow("IO_ERROR") << "SANE_STATUS_IO_ERROR"
                              << "the scanner failed (a device or connection error)";
    QTest::newRow("EOF") << "SANE_STATUS_EOF"
                         << "the scanner failed (a device or connection error)";
    QTest::newRow("INVAL") << "SANE_STATUS_INVAL"
                           << "the scanner refused a value it was given";
    QTest::newRow("UNSUPPORTED") << "SANE_STATUS_UNSUPPORTED"
                                 << "the scanner does not support that";
    QTest::newRow("CANCELLED") << "SANE_STATUS_CANCELLED"
                               << "page 1 was cancelled by the scanner";
}

void TestScanimageHabits::conditions()
{
    QFETCH(QString, sStatus);
    QFETCH(QString, sSays);

    QTemporaryDir out(m_dir.filePath(QStringLiteral("condition-XXXXXX")));
    const QStringList lstArgs{QStringLiteral("-d"),
                              QStringLiteral("test:0"),
                              QStringLiteral("-r"),
                              QStringLiteral("50"),
                              QStringLiteral("--sane-option"),
                              QStringLiteral("read-return-value=") + sStatus,
                              QStringLiteral("-o"),
                              out.path()};
    const Run run = runScan(lstArgs);
    QVERIFY2(run.iExit == 1, qPrintable(describe(run)));
    QVERIFY2(run.sErr.contains(QStringLiteral("pelirand-scan: ") + sSays), qPrintable(describe(run)));
    // TWAIN's own words only when asked for.
    QVERIFY2(!run.sErr.contains(QStringLiteral("TWCC_")), qPrintable(describe(run)));
    const Run verbose = runScan(lstArgs + QStringList{QStringLiteral("--verbose")});
    QVERIFY2(verbose.iExit == 1 && verbose.sErr.contains(sSays), qPrintable(describe(verbose)));
    QCOMPARE(QDir(out.path()).entryList(QDir::Files), QStringList());
}

void TestScanimageHabits::deviceOptionsListed()
{
    const Run run = runScan({QStringLiteral("-d"), QStringLiteral("test:0"), QStringLiteral("-A")});
    QVERIFY2(run.iExit == 0, qPrintable(describe(run)));
    // Every custom capability by a name, the device's options by theirs with what they allow.
    QVERIFY2(!run.sOut.contains(QStringLiteral("capability 0x")), qPrintable(run.sOut));
    QVERIFY2(run.sOut.contains(QStringLiteral("SANECAP_DEVICE")), qPrintable(run.sOut));
    QVERIFY2(run.sOut.contains(QRegularExpression(QStringLiteral(
                 "\n  test-picture +Solid black +one of Solid black\\|Solid white\\|Color pattern\\|Grid"))),
             qPrintable(run.sOut));
    QVERIFY2(run.sOut.contains(QRegularExpression(QStringLiteral("\n  tl-x +0 mm +range 0\\.\\.[0-9]+"))),
             qPrintable(run.sOut));
}

QTEST_GUILESS_MAIN(TestScanimageHabits)
#include "tst_scanimagehabits.moc"
