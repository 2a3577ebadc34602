// pelirand-scan as a process: what it lists, the files it writes, and the exit
// status and one-line reason of each way it fails.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "tests/client/mainapptestsupport.h"
#include "twain/twain.h"

using mainapptest::kWaitMs;

namespace {

// The whole bed at 50 dpi.
constexpr int kPageWidth = 425;
constexpr int kPageHeight = 700;

using Run = mainapptest::ScanRun;

Run runScan(const QStringList& lstArgs, const QList<QPair<QString, QString>>& lstEnv = {})
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto& pair : lstEnv)
        env.insert(pair.first, pair.second);
    process.setProcessEnvironment(env);
    process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/pelirand-scan"), lstArgs);
    return mainapptest::finishScan(process);
}

QString describe(const Run& run)
{
    return QStringLiteral("exit %1\nstdout:\n%2\nstderr:\n%3").arg(run.iExit).arg(run.sOut, run.sErr);
}

} // namespace

class TestPelirandScan : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void help();
    void list();
    void scans_data();
    void scans();
    void failures_data();
    void failures();
    void grey16_data();
    void grey16();
    void longTemporaryFolder_data();
    void longTemporaryFolder();

private:
    QTemporaryDir m_dir;
};

void TestPelirandScan::initTestCase()
{
    mainapptest::useTemporaryTmpDir();
    QVERIFY(m_dir.isValid());
}

void TestPelirandScan::cleanup()
{
    // A leak or any other sanitizer report of a child fails the test that ran it.
    const QString sReports = mainapptest::takeSanitizerReports();
    QVERIFY2(sReports.isEmpty(), qPrintable(sReports));
}

void TestPelirandScan::help()
{
    const Run run = runScan({QStringLiteral("--help")});
    QCOMPARE(run.iExit, 0);
    for (const char* text : {"--list", "--source", "--mechanism", "memfile", "--pixel-type", "--bit-depth",
                             "--resolution", "--pages", "--dialog", "--output", "--format", "Exit status"})
        QVERIFY2(run.sOut.contains(QLatin1String(text)), text);
}

void TestPelirandScan::list()
{
    const Run run = runScan({QStringLiteral("--list")});
    QVERIFY2(run.iExit == 0, qPrintable(describe(run)));
    // The SANE source comes first in the folder, with its devices (none in
    // the tests' empty SANE configuration) below it.
    const QStringList lines = run.sOut.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines.at(0).startsWith(QStringLiteral("  pelirand SANE Scanner  (pelirand, SANE, version ")),
             qPrintable(run.sOut));
    QVERIFY2(lines.at(1).startsWith(QStringLiteral("      (no SANE device: ")), qPrintable(run.sOut));
    QVERIFY2(lines.at(2).startsWith(QStringLiteral("* %1  (pelirand, Simulated, version ")
                                        .arg(QLatin1String(simscanner::kProductName))),
             qPrintable(run.sOut));
}

void TestPelirandScan::scans_data()
{
    QTest::addColumn<QString>("sMechanism");
    QTest::addColumn<QString>("sPixelType");
    QTest::addColumn<int>("iPixelType");
    QTest::addColumn<QString>("sFormat");

    QTest::newRow("native RGB as PNG") << "native"
                                       << "rgb" << int(TWPT_RGB) << "png";
    QTest::newRow("file grey as BMP") << "file"
                                      << "gray" << int(TWPT_GRAY) << "bmp";
    QTest::newRow("memory BW as PNG") << "memory"
                                      << "bw" << int(TWPT_BW) << "png";
    QTest::newRow("memory file palette as PNG") << "memfile"
                                                << "palette" << int(TWPT_PALETTE) << "png";
}

void TestPelirandScan::scans()
{
    QFETCH(QString, sMechanism);
    QFETCH(QString, sPixelType);
    QFETCH(int, iPixelType);
    QFETCH(QString, sFormat);

    const QString sOut = m_dir.filePath(QStringLiteral("scans-") + sMechanism);
    const Run run =
        runScan({QStringLiteral("-n"), QStringLiteral("3"), QStringLiteral("-r"), QStringLiteral("50"),
                 QStringLiteral("-m"), sMechanism, QStringLiteral("--pixel-type"), sPixelType, QStringLiteral("-f"),
                 sFormat, QStringLiteral("-o"), sOut, QStringLiteral("--name"), QStringLiteral("t")});
    QVERIFY2(run.iExit == 0, qPrintable(describe(run)));
    QVERIFY2(mainapptest::scanMessages(run.sErr).isEmpty(), qPrintable(run.sErr));
    // Standard output carries only what was asked for: here nothing.
    QVERIFY2(run.sOut.isEmpty(), qPrintable(describe(run)));

    const QStringList lstFiles = QDir(sOut).entryList(QDir::Files, QDir::Name);
    QCOMPARE(lstFiles, QStringList({QStringLiteral("t-001.") + sFormat, QStringLiteral("t-002.") + sFormat,
                                    QStringLiteral("t-003.") + sFormat}));
    for (int i = 0; i < lstFiles.size(); ++i) {
        const QString sFile = QDir(sOut).filePath(lstFiles.at(i));
        QImageReader reader(sFile);
        QCOMPARE(reader.format(), sFormat.toLatin1());
        const QString sWhy =
            mainapptest::compareWithPage(reader.read(), i + 1, iPixelType, kPageWidth, kPageHeight);
        QVERIFY2(sWhy.isEmpty(), qPrintable(QStringLiteral("%1: %2").arg(lstFiles.at(i), sWhy)));
        QVERIFY2(run.sErr.contains(QStringLiteral("page %1: %2  425 x 700, ").arg(i + 1).arg(sFile)),
                 qPrintable(run.sErr));
    }
    QVERIFY2(run.sErr.contains(
                 QRegularExpression(QStringLiteral("\n3 pages, [0-9.]+ [KM]B received, [0-9.]+ [KM]?B "
                                                   "written, [0-9.]+ s, [0-9]+ pages per minute\n"))),
             qPrintable(run.sErr));
    QVERIFY2(run.sErr.endsWith(QStringLiteral("The pages are in %1\n").arg(sOut)), qPrintable(run.sErr));
    QVERIFY2(mainapptest::bridgeTemporaries().isEmpty(),
             qPrintable(mainapptest::bridgeTemporaries().join(' ')));
}

void TestPelirandScan::failures_data()
{
    QTest::addColumn<QStringList>("lstArgs");
    QTest::addColumn<QString>("sEnv"); // NAME=VALUE or empty
    QTest::addColumn<int>("iExit");
    QTest::addColumn<QString>("sReason");

    const QString sOut = m_dir.filePath(QStringLiteral("failed"));
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--bogus")} << QString() << 2
                                    << "Unknown option 'bogus'";
    QTest::newRow("no page") << QStringList{QStringLiteral("-n"), QStringLiteral("0")} << QString() << 2
                             << "bad page count 0";
    QTest::newRow("unknown mechanism") << QStringList{QStringLiteral("-m"), QStringLiteral("fax")}
                                       << QString() << 2 << "unknown mechanism fax";
    QTest::newRow("unknown source") << QStringList{QStringLiteral("-s"), QStringLiteral("No Such"),
                                                   QStringLiteral("-o"), sOut}
                                    << QString() << 4
                                    << "no source is named \"No Such\" (the DSM lists \"pelirand SANE "
                                       "Scanner\", \"pelirand Simulated Scanner\")";
    QTest::newRow("more pages than sheets")
        << QStringList{QStringLiteral("-n"), QStringLiteral("5"),  QStringLiteral("-r"),
                       QStringLiteral("50"), QStringLiteral("-o"), sOut}
        << QString() << 1 << "only 3 of 5 pages arrived: the source had no more";
    QTest::newRow("refused setting")
        << QStringList{QStringLiteral("--pixel-type"), QStringLiteral("palette"), QStringLiteral("-b"),
                       QStringLiteral("16"), QStringLiteral("-o"),      sOut}
        << QString() << 6 << "the source refused the bit depth 16: TWRC_FAILURE, condition TWCC_BADVALUE";
    QTest::newRow("no sources, list")
        << QStringList{QStringLiteral("--list")}
        << QStringLiteral("PELIRAND_TWAIN_DIR=") + m_dir.filePath(QStringLiteral("empty")) << 4
        << "no TWAIN source found (the DSM lists none)";
    QTest::newRow("no sources, scan")
        << QStringList{QStringLiteral("-o"), sOut}
        << QStringLiteral("PELIRAND_TWAIN_DIR=") + m_dir.filePath(QStringLiteral("empty")) << 4
        << "no TWAIN source found (the DSM has no default source)";
    QTest::newRow("output folder cannot be made")
        << QStringList{QStringLiteral("-o"), m_dir.filePath(QStringLiteral("blocker/sub"))} << QString() << 7
        << "cannot make the folder";
    QTest::newRow("missing DSM") << QStringList{QStringLiteral("--bridge"),
                                                m_dir.filePath(QStringLiteral("alone/pelirand"))}
                                 << QString() << 3
                                 << "no TWAIN Data Source Manager: the bridge could not load TWAINDSM.dll";
    QTest::newRow("16-bit grey by native transfer")
        << QStringList{QStringLiteral("-b"), QStringLiteral("16"), QStringLiteral("-o"), sOut} << QString()
        << 2 << "native transfers reduce 16-bit grey to 8 bits";
    QTest::newRow("16-bit grey as BMP") << QStringList{QStringLiteral("-b"), QStringLiteral("16"),
                                                       QStringLiteral("-m"), QStringLiteral("memory"),
                                                       QStringLiteral("-f"), QStringLiteral("bmp"),
                                                       QStringLiteral("-o"), sOut}
                                        << QString() << 2 << "a BMP file cannot hold 16-bit grey";
    QTest::newRow("bridge crashes")
        << QStringList{QStringLiteral("--bridge"), QStringLiteral("crash")} << QString() << 5
        << "the bridge could not be started: the bridge ended before it said hello: "
           "killed by signal 11";
}

void TestPelirandScan::failures()
{
    QFETCH(QStringList, lstArgs);
    QFETCH(QString, sEnv);
    QFETCH(int, iExit);
    QFETCH(QString, sReason);

    QVERIFY(QDir().mkpath(m_dir.filePath(QStringLiteral("empty"))));
    QFile blocker(m_dir.filePath(QStringLiteral("blocker")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString sAlone = m_dir.filePath(QStringLiteral("alone"));
    if (!QFile::exists(sAlone)) {
        // The bridge alone in a folder: it finds no DSM beside itself.
        QVERIFY(QDir().mkpath(sAlone));
        const QString sBin = QCoreApplication::applicationDirPath();
        for (const QString& sFile : {QStringLiteral("pelirand"), QStringLiteral("libpelirand-platform.so")})
            QVERIFY(QFile::copy(sBin + QLatin1Char('/') + sFile, sAlone + QLatin1Char('/') + sFile));
    }
    QTemporaryDir scripts;
    const int iBridge = lstArgs.indexOf(QStringLiteral("--bridge"));
    if (iBridge >= 0 && lstArgs.value(iBridge + 1) == QLatin1String("crash"))
        lstArgs[iBridge + 1] = mainapptest::writeScript(scripts, "kill -SEGV $$");

    QList<QPair<QString, QString>> lstEnv;
    if (!sEnv.isEmpty())
        lstEnv.append(qMakePair(sEnv.section(QLatin1Char('='), 0, 0), sEnv.section(QLatin1Char('='), 1)));
    const Run run = runScan(lstArgs, lstEnv);
    QVERIFY2(run.iExit == iExit, qPrintable(describe(run)));
    // One line that says why, the last one.
    const QStringList lstMessages = mainapptest::scanMessages(run.sErr);
    QVERIFY2(lstMessages.size() == 1 && run.sErr.endsWith(lstMessages.first() + QLatin1Char('\n')),
             qPrintable(describe(run)));
    QVERIFY2(run.sErr.contains(sReason), qPrintable(describe(run)));
}

void TestPelirandScan::grey16_data()
{
    QTest::addColumn<QString>("sMechanism");
    QTest::newRow("memory") << "memory";
    QTest::newRow("memfile") << "memfile";
    QTest::newRow("file") << "file";
}

// -b 16 writes PNG files that hold every one of the 16 bits.
void TestPelirandScan::grey16()
{
    QFETCH(QString, sMechanism);
    const QString sOut = m_dir.filePath(QStringLiteral("grey16-") + sMechanism);
    const Run run =
        runScan({QStringLiteral("-n"), QStringLiteral("2"), QStringLiteral("-r"), QStringLiteral("50"),
                 QStringLiteral("-m"), sMechanism, QStringLiteral("-b"), QStringLiteral("16"),
                 QStringLiteral("-o"), sOut, QStringLiteral("--name"), QStringLiteral("g")});
    QVERIFY2(run.iExit == 0, qPrintable(describe(run)));
    const QStringList lstFiles = QDir(sOut).entryList(QDir::Files, QDir::Name);
    QCOMPARE(lstFiles, QStringList({QStringLiteral("g-001.png"), QStringLiteral("g-002.png")}));
    for (int i = 0; i < lstFiles.size(); ++i) {
        const QImage image(QDir(sOut).filePath(lstFiles.at(i)));
        QCOMPARE(image.format(), QImage::Format_Grayscale16);
        QCOMPARE(image.size(), QSize(kPageWidth, kPageHeight));
        for (int y = 0; y < kPageHeight; y += 7) {
            const auto* pRow = reinterpret_cast<const quint16*>(image.constScanLine(y));
            for (int x = 0; x < kPageWidth; x += 3)
                QCOMPARE(pRow[x], simscanner::grey16(TW_UINT32(i + 1), TW_UINT32(x), TW_UINT32(y)));
        }
    }
}

void TestPelirandScan::longTemporaryFolder_data()
{
    QTest::addColumn<QString>("sMechanism");
    QTest::newRow("native") << "native";
    QTest::newRow("file") << "file";
}

void TestPelirandScan::longTemporaryFolder()
{
    QFETCH(QString, sMechanism);
    // 90 characters: with an endpoint's name the path passes what a local socket address holds.
    QString sLong = m_dir.filePath(QStringLiteral("long-") + sMechanism);
    sLong += QLatin1Char('/') + QString(90 - sLong.size() - 1, QLatin1Char('t'));
    QCOMPARE(sLong.size(), 90);
    QVERIFY(QDir().mkpath(sLong));

    const QString sOut = m_dir.filePath(QStringLiteral("long-scans-") + sMechanism);
    const Run run =
        runScan({QStringLiteral("-n"), QStringLiteral("2"), QStringLiteral("-r"), QStringLiteral("50"),
                 QStringLiteral("-m"), sMechanism, QStringLiteral("-o"), sOut},
                {qMakePair(QStringLiteral("TMPDIR"), sLong)});
    QVERIFY2(run.iExit == 0, qPrintable(describe(run)));
    QCOMPARE(QDir(sOut).entryList(QDir::Files).size(), 2);
    // Nothing is left in the temporary folder, Qt's own runtime folder (made where no XDG_RUNTIME_DIR
    // is set) aside.
    QStringList lstLeft = QDir(sLong).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    lstLeft = lstLeft.filter(QRegularExpression(QStringLiteral("^(?!runtime-)")));
    QVERIFY2(lstLeft.isEmpty(), qPrintable(lstLeft.join(' ')));
}

QTEST_GUILESS_MAIN(TestPelirandScan)
#include "tst_pelirandscan.moc"
