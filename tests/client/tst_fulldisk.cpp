// A full disk, for every mechanism: the bridge's temporary folder, and
// pelirand-scan's output folder, on a small tmpfs this test mounts. Nothing
// that is not intact is reported as a page; the cause is named ("No space
// left on device"), the batch ends, and nothing is left behind. Needs root
// to mount; without it every row is skipped with a message.

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <unistd.h>

#include "tests/client/mainapptestsupport.h"
#include "twain/twain.h"

using mainapptest::kWaitMs;

namespace {

struct Run
{
    int iExit = -1;
    QString sOut;
    QString sErr;
};

Run runScan(const QStringList& lstArgs, const QString& sBridgeTmp)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), sBridgeTmp);
    process.setProcessEnvironment(env);
    process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/pelirand-scan"), lstArgs);
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

QString describe(const Run& run)
{
    return QStringLiteral("exit %1\nstdout:\n%2\nstderr:\n%3").arg(run.iExit).arg(run.sOut, run.sErr);
}

// A tmpfs of a few hundred kilobytes, unmounted again when the object goes.
class SmallTmpfs
{
public:
    explicit SmallTmpfs(const QString& sPath) : m_sPath(sPath)
    {
        if (::geteuid() != 0) {
            m_sWhy = QStringLiteral("mounting a small tmpfs needs root");
            return;
        }
        if (::mount("tmpfs", QFile::encodeName(sPath).constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                    "size=300k,mode=0700") != 0) {
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
    QVERIFY2(run.sErr.contains(QStringLiteral("3 pages, ")) &&
                 run.sErr.contains(QStringLiteral(" received, 0 pages, ")),
             qPrintable(describe(run)));
    // No partial file stays in the folder.
    QCOMPARE(QDir(sOut).entryList(QDir::Files), QStringList());
}

QTEST_GUILESS_MAIN(TestFullDisk)
#include "tst_fulldisk.moc"
