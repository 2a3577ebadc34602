// A full disk, for every mechanism: the bridge's temporary folder, and
// pelirand-scan's output folder, on a small tmpfs this test mounts. Nothing
// that is not intact is reported as a page; the cause is named ("No space
// left on device"), the batch ends, and nothing is left behind. Needs root
// to mount; without it every row is skipped with a message.

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "client/scan/pagewriter.h"
#include "sources/sim/simscanner.h"
#include "tests/client/mainapptestsupport.h"
#include "twain/twain.h"

using mainapptest::kWaitMs;

namespace {

using Run = mainapptest::ScanRun;

Run runScan(const QStringList& lstArgs, const QString& sBridgeTmp, const QString& sSimControls = QString())
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), sBridgeTmp);
    if (!sSimControls.isEmpty())
        env.insert(QStringLiteral("PELIRAND_SIM_CONTROLS"), sSimControls);
    process.setProcessEnvironment(env);
    process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/pelirand-scan"), lstArgs);
    return mainapptest::finishScan(process);
}

QString describe(const Run& run)
{
    return QStringLiteral("exit %1\nstdout:\n%2\nstderr:\n%3").arg(run.iExit).arg(run.sOut, run.sErr);
}

// A tmpfs of a few hundred kilobytes, unmounted again when the object goes.
class SmallTmpfs
{
public:
    explicit SmallTmpfs(const QString& sPath, const char* pSize = "300k") : m_sPath(sPath)
    {
        if (::geteuid() != 0) {
            m_sWhy = QStringLiteral("mounting a small tmpfs needs root");
            return;
        }
        const QByteArray options = QByteArray("size=") + pSize + ",mode=0700";
        if (::mount("tmpfs", QFile::encodeName(sPath).constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                    options.constData()) != 0) {
            m_sWhy =
                QStringLiteral("cannot mount a tmpfs: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        m_bMounted = true;
    }
    ~SmallTmpfs()
    {
        if (m_bMounted)
            ::umount2(QFile::encodeName(m_sPath).constData(), MNT_DETACH);
    }
    bool mounted() const { return m_bMounted; }
    QString why() const { return m_sWhy; }

private:
    QString m_sPath;
    QString m_sWhy;
    bool m_bMounted = false;
};

} // namespace

class TestFullDisk : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void bridgeFolderFull_data();
    void bridgeFolderFull();
    void outputFolderFull_data();
    void outputFolderFull();
    void outputFullMidRun_data();
    void outputFullMidRun();

private:
    QTemporaryDir m_dir;
};

void TestFullDisk::initTestCase()
{
    mainapptest::useTemporaryTmpDir();
    QVERIFY(m_dir.isValid());
}

void TestFullDisk::bridgeFolderFull_data()
{
    QTest::addColumn<QString>("sMechanism");
    QTest::addColumn<int>("iExit");
    QTest::addColumn<QString>("sReason");
    const QString sNoSpace = QString::fromLocal8Bit(std::strerror(ENOSPC));
    QTest::newRow("native") << "native" << 9 << sNoSpace;
    QTest::newRow("memory") << "memory" << 9 << sNoSpace;
    QTest::newRow("memory, 16-bit grey as TIFF") << "memory16" << 9 << sNoSpace;
    QTest::newRow("memfile") << "memfile" << 9 << sNoSpace;
    // The source writes the file itself: it can only report its condition, in plain words.
    QTest::newRow("file") << "file" << 1 << QStringLiteral("the scanner could not write its file (is the disk full?)");
}

// Pages of about 1 MB against 300 KB: the first page cannot be written.
void TestFullDisk::bridgeFolderFull()
{
    QFETCH(QString, sMechanism);
    QFETCH(int, iExit);
    QFETCH(QString, sReason);
    const QString sTmp = m_dir.filePath(QStringLiteral("tmp-") + sMechanism);
    QVERIFY(QDir().mkpath(sTmp));
    SmallTmpfs tmpfs(sTmp);
    if (!tmpfs.mounted())
        QSKIP(qPrintable(tmpfs.why()));
    const QString sOut = m_dir.filePath(QStringLiteral("out-") + sMechanism);
    QStringList lstArgs{QStringLiteral("-n"),     QStringLiteral("3"),  QStringLiteral("-r"),
                        QStringLiteral("60"),     QStringLiteral("-o"), sOut,
                        QStringLiteral("--name"), QStringLiteral("p")};
    if (sMechanism == QLatin1String("memory16"))
        lstArgs << QStringLiteral("-m") << QStringLiteral("memory") << QStringLiteral("-b")
                << QStringLiteral("16");
    else
        lstArgs << QStringLiteral("-m") << sMechanism << QStringLiteral("--pixel-type") << QStringLiteral("rgb");
    const Run run = runScan(lstArgs, sTmp);
    QVERIFY2(run.iExit == iExit, qPrintable(describe(run)));
    QVERIFY2(run.sErr.contains(sReason), qPrintable(describe(run)));
    // Nothing was written as a page, nothing is left behind in the full folder.
    QCOMPARE(QDir(sOut).entryList(QDir::Files), QStringList());
    QCOMPARE(QDir(sTmp).entryList({QStringLiteral("pelirand.*")}, QDir::Files), QStringList());
    if (iExit == 9)
        QVERIFY2(
            run.sErr.contains(QStringLiteral("page 1 was scanned but the bridge could not hand it over")),
            qPrintable(describe(run)));
}

void TestFullDisk::outputFolderFull_data()
{
    QTest::addColumn<QString>("sMechanism");
    for (const char* mech : {"native", "memory", "memfile", "file"})
        QTest::newRow(mech) << QString::fromLatin1(mech);
}

// pelirand-scan's own folder full: exit 7 with the system's error, and the
// pages received still counted as received.
void TestFullDisk::outputFolderFull()
{
    QFETCH(QString, sMechanism);
    const QString sOut = m_dir.filePath(QStringLiteral("full-out-") + sMechanism);
    QVERIFY(QDir().mkpath(sOut));
    SmallTmpfs tmpfs(sOut);
    if (!tmpfs.mounted())
        QSKIP(qPrintable(tmpfs.why()));
    const Run run = runScan({QStringLiteral("-n"), QStringLiteral("3"), QStringLiteral("-r"),
                             QStringLiteral("60"), QStringLiteral("-m"), sMechanism, QStringLiteral("--pixel-type"),
                             QStringLiteral("rgb"), QStringLiteral("-f"), QStringLiteral("bmp"),
                             QStringLiteral("-o"), sOut, QStringLiteral("--name"), QStringLiteral("p")},
                            qEnvironmentVariable("TMPDIR"));
    QVERIFY2(run.iExit == 7, qPrintable(describe(run)));
    QVERIFY2(run.sErr.contains(QString::fromLocal8Bit(std::strerror(ENOSPC))), qPrintable(describe(run)));
    // The batch ends at the first page that cannot be written: the pages in
    // flight by then are received, none is written.
    QVERIFY2(run.sErr.contains(QRegularExpression(QStringLiteral("(^|\\n)[123] pages?, [^\\n]* received, 0 pages, "))),
             qPrintable(describe(run)));
    // No partial file stays in the folder.
    QCOMPARE(QDir(sOut).entryList(QDir::Files), QStringList());
}

void TestFullDisk::outputFullMidRun_data()
{
    QTest::addColumn<QString>("sFormat");
    for (const char* format : {"pdf", "tiff", "pnm", "png", "jpeg", "bmp"})
        QTest::newRow(format) << QString::fromLatin1(format);
}

// The output folder fills after two pages and a half of ten: the batch ends
// there (the feeder stops), every page the output named is in the folder
// whole (a document of just those pages), the cause is named, exit 7.
void TestFullDisk::outputFullMidRun()
{
    QFETCH(QString, sFormat);
    const QStringList lstScan{QStringLiteral("-r"), QStringLiteral("60"), QStringLiteral("--pixel-type"), QStringLiteral("rgb"),
                              QStringLiteral("-f"), sFormat,           QStringLiteral("--name"), QStringLiteral("p")};
    // The size of one page (or a one-page document) in this format.
    const QString sMeasure = m_dir.filePath(QStringLiteral("measure-") + sFormat);
    const Run one = runScan(QStringList{QStringLiteral("-n"), QStringLiteral("1"), QStringLiteral("-o"), sMeasure} + lstScan,
                            qEnvironmentVariable("TMPDIR"));
    QVERIFY2(one.iExit == 0, qPrintable(describe(one)));
    const QFileInfoList measured = QDir(sMeasure).entryInfoList(QDir::Files);
    QCOMPARE(measured.size(), 1);
    const qint64 nPage = measured.first().size();

    const QString sOut = m_dir.filePath(QStringLiteral("mid-out-") + sFormat);
    QVERIFY(QDir().mkpath(sOut));
    SmallTmpfs tmpfs(sOut, "16m");
    if (!tmpfs.mounted())
        QSKIP(qPrintable(tmpfs.why()));
    // Room for two pages and a half.
    struct statvfs fs;
    QVERIFY(::statvfs(QFile::encodeName(sOut).constData(), &fs) == 0);
    const qint64 nFree = qint64(fs.f_bavail) * qint64(fs.f_bsize);
    QFile filler(QDir(sOut).filePath(QStringLiteral("filler")));
    QVERIFY(filler.open(QIODevice::WriteOnly));
    QVERIFY(filler.write(QByteArray(int(nFree - nPage * 5 / 2), '\0')) == nFree - nPage * 5 / 2);
    filler.close();

    // The scanner takes its time between pages, as a feeder does.
    const QString sDelay = QStringLiteral("0x%1=%2,0x%3=300,0x%4=1")
                               .arg(simscanner::SIMCAP_DELAYTRIPLET, 0, 16)
                               .arg(simscanner::simTriplet(DAT_PENDINGXFERS, MSG_ENDXFER))
                               .arg(simscanner::SIMCAP_DELAYMS, 0, 16)
                               .arg(simscanner::SIMCAP_DELAYPUMP, 0, 16);
    const Run run = runScan(QStringList{QStringLiteral("-n"), QStringLiteral("10"), QStringLiteral("-o"), sOut} + lstScan,
                            qEnvironmentVariable("TMPDIR"), sDelay);
    QVERIFY2(run.iExit == 7, qPrintable(describe(run)));
    QVERIFY2(run.sErr.contains(QString::fromLocal8Bit(std::strerror(ENOSPC))), qPrintable(describe(run)));
    QVERIFY2(!run.sErr.contains(QStringLiteral("Unknown error")), qPrintable(describe(run)));
    const QRegularExpressionMatch received =
        QRegularExpression(QStringLiteral("(\\d+) pages?, [^\\n]* received")).match(run.sErr);
    QVERIFY2(received.hasMatch() && received.captured(1).toInt() < 10, qPrintable(describe(run)));

    // Every page named as written is there, and nothing else.
    const int nNamed = run.sErr.count(QRegularExpression(QStringLiteral("(^|\\n)page \\d+: (into )?/")));
    QVERIFY2(nNamed >= 1, qPrintable(describe(run)));
    QFileInfoList files = QDir(sOut).entryInfoList(QDir::Files | QDir::Hidden, QDir::Name);
    files.erase(std::remove_if(files.begin(), files.end(),
                               [](const QFileInfo& info) { return info.fileName() == QLatin1String("filler"); }),
                files.end());
    if (pelirand::isMultiPageFormat(sFormat)) {
        QCOMPARE(files.size(), 1);
        QCOMPARE(files.first().fileName(), QStringLiteral("p.") + pelirand::pageFormatExtension(sFormat));
        QFile document(files.first().filePath());
        QVERIFY(document.open(QIODevice::ReadOnly));
        const QByteArray bytes = document.readAll();
        if (sFormat == QLatin1String("tiff")) {
            QString sError;
            QCOMPARE(pelirand::readTiffPages(bytes, &sError).size(), nNamed);
        } else {
            // A whole PDF: its last table names the pages written.
            QVERIFY(bytes.endsWith("%%EOF\n"));
            const int nAt = bytes.lastIndexOf("/Type /Pages ");
            QVERIFY(nAt > 0);
            QVERIFY2(bytes.mid(nAt, 4000).contains("/Count " + QByteArray::number(nNamed) + " >>"),
                     bytes.mid(nAt, 200).constData());
            const QString sPdfInfo = QStandardPaths::findExecutable(QStringLiteral("pdfinfo"));
            if (!sPdfInfo.isEmpty()) {
                QProcess info;
                info.start(sPdfInfo, {document.fileName()});
                QVERIFY(info.waitForFinished(kWaitMs));
                QCOMPARE(info.exitCode(), 0);
                QVERIFY(QString::fromUtf8(info.readAllStandardOutput())
                            .contains(QRegularExpression(QStringLiteral("Pages: +%1\\n").arg(nNamed))));
            }
        }
    } else {
        QCOMPARE(files.size(), nNamed);
        for (const QFileInfo& info : qAsConst(files)) {
            QFile page(info.filePath());
            QVERIFY(page.open(QIODevice::ReadOnly));
            const QByteArray bytes = page.readAll();
            const QImage image = sFormat == QLatin1String("pnm") ? pelirand::readPnm(bytes) : QImage::fromData(bytes);
            QVERIFY2(image.size() == QSize(510, 840), qPrintable(info.fileName()));
        }
    }
}

QTEST_GUILESS_MAIN(TestFullDisk)
#include "tst_fulldisk.moc"
