// The SANE source through saned on 127.0.0.1, as a user runs it:
// pelirand-scan scanning net:127.0.0.1:test:0 through the bridge, every
// mechanism, and saned killed in the middle of a page: pelirand-scan says why
// and ends, nothing hangs. saned is started by the test (bounded by
// timeout), listens on the loopback only, and is ended by its process ids.

#include "sanetestsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <signal.h>
#include <sys/types.h>

using namespace sanetest;

namespace {

constexpr int kSanePort = 6566; // the net backend knows no other

// The processes whose parent is pid (from /proc).
QList<qint64> childrenOf(qint64 pid)
{
    QList<qint64> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool ok = false;
        const qint64 child = entry.toLongLong(&ok);
        if (!ok)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(child));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        // pid (comm) state ppid ...: the command may hold spaces, so read after ')'.
        const int close = text.lastIndexOf(')');
        const QList<QByteArray> fields = text.mid(close + 2).split(' ');
        if (fields.size() > 1 && fields.at(1).toLongLong() == pid)
            found << child;
    }
    return found;
}

bool writeFile(const QString& path, const QByteArray& text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
}

Picture fromImage(const QImage& image)
{
    Picture pic;
    if (image.isNull())
        return pic;
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    pic.width = rgb.width();
    pic.height = rgb.height();
    for (int y = 0; y < rgb.height(); ++y) {
        const uchar* row = rgb.constScanLine(y);
        for (int x = 0; x < rgb.width(); ++x)
            pic.values.push_back((std::uint64_t(row[3 * x]) << 16) | (row[3 * x + 1] << 8) | row[3 * x + 2]);
    }
    return pic;
}

} // namespace

class TestSaneNet : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void mechanisms_data();
    void mechanisms();
    void sanedKilledMidPage();

private:
    bool startSaned();
    void killSaned();
    QProcessEnvironment scanEnvironment(const QByteArray& options) const;

    QTemporaryDir m_daemonConfig;
    QTemporaryDir m_clientConfig;
    QTemporaryDir m_out;
    QProcess m_saned;
    QString m_scan;
};

void TestSaneNet::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("saned")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("scanimage")).isEmpty())
        QSKIP("saned and scanimage (sane-utils) are not installed");
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, kSanePort))
            QSKIP("port 6566 on 127.0.0.1 is taken: saned cannot listen there");
    }
    m_scan = QCoreApplication::applicationDirPath() + QStringLiteral("/pelirand-scan");
    QVERIFY(QFile::exists(m_scan));
    const QByteArray test = "number_of_devices 2\ngeometry_max 300\n";
    // saned serves the test backend; the client reaches it only through net.
    QVERIFY(writeFile(m_daemonConfig.filePath(QStringLiteral("dll.conf")), "test\n"));
    QVERIFY(writeFile(m_daemonConfig.filePath(QStringLiteral("test.conf")), test));
    QVERIFY(writeFile(m_daemonConfig.filePath(QStringLiteral("saned.conf")), "127.0.0.1\n"));
    QVERIFY(writeFile(m_clientConfig.filePath(QStringLiteral("dll.conf")), "test\nnet\n"));
    QVERIFY(writeFile(m_clientConfig.filePath(QStringLiteral("test.conf")), test));
    QVERIFY(
        writeFile(m_clientConfig.filePath(QStringLiteral("net.conf")), "connect_timeout = 5\n127.0.0.1\n"));
    qputenv("SANE_CONFIG_DIR", m_clientConfig.path().toUtf8()); // for scanimage, locally
    QVERIFY(startSaned());
}

void TestSaneNet::cleanupTestCase()
{
    killSaned();
}

bool TestSaneNet::startSaned()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SANE_CONFIG_DIR"), m_daemonConfig.path());
    m_saned.setProcessEnvironment(env);
    m_saned.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_saned.setStandardOutputFile(QProcess::nullDevice());
    // Bounded whatever happens to this test.
    m_saned.start(QStringLiteral("timeout"),
                  {QStringLiteral("120"), QStringLiteral("saned"), QStringLiteral("-l"), QStringLiteral("-b"),
                   QStringLiteral("127.0.0.1"), QStringLiteral("-d"), QStringLiteral("0")});
    if (!m_saned.waitForStarted(5000))
        return false;
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 10000) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, kSanePort);
        if (probe.waitForConnected(200)) {
            probe.abort();
            return true;
        }
        QTest::qWait(50);
    }
    return false;
}

void TestSaneNet::killSaned()
{
    if (m_saned.state() == QProcess::NotRunning)
        return;
    // timeout -> saned -> one saned per connection: all of them, by id.
    const qint64 timeoutPid = m_saned.processId();
    for (qint64 saned : childrenOf(timeoutPid)) {
        for (qint64 server : childrenOf(saned))
            ::kill(pid_t(server), SIGKILL);
        ::kill(pid_t(saned), SIGKILL);
    }
    m_saned.kill();
    m_saned.waitForFinished(5000);
}

QProcessEnvironment TestSaneNet::scanEnvironment(const QByteArray& options) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SANE_CONFIG_DIR"), m_clientConfig.path());
    env.insert(QLatin1String(sanesource::kOptionsVariable), QString::fromUtf8(options));
    env.remove(QLatin1String(sanesource::kDeviceVariable));
    return env;
}

void TestSaneNet::mechanisms_data()
{
    QTest::addColumn<QString>("mechanism");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("pixelType");
    for (const char* m : {"native", "memory", "file", "memfile"})
        QTest::addRow("%s bmp", m) << QString::fromLatin1(m) << QStringLiteral("bmp")
                                   << QStringLiteral("rgb");
    // PNM, as scanimage writes it, is made from the delivered rows without decoding them.
    for (const char* m : {"native", "memory"})
        QTest::addRow("%s pnm", m) << QString::fromLatin1(m) << QStringLiteral("pnm")
                                   << QStringLiteral("rgb");
    QTest::newRow("memory pnm gray") << "memory"
                                     << "pnm"
                                     << "gray";
    QTest::newRow("native pnm bw") << "native"
                                   << "pnm"
                                   << "bw";
}

void TestSaneNet::mechanisms()
{
    QFETCH(QString, mechanism);
    QFETCH(QString, format);
    QFETCH(QString, pixelType);
    // A name of its own: a file of an earlier row is never read instead.
    const QString name = mechanism + QLatin1Char('-') + format + QLatin1Char('-') + pixelType;
    QString error;
    // The test backend has grey and colour; black and white is grey at one bit.
    const QStringList mode =
        pixelType == QLatin1String("rgb")    ? QStringList{QStringLiteral("--mode"), QStringLiteral("Color")}
        : pixelType == QLatin1String("gray") ? QStringList{QStringLiteral("--mode"), QStringLiteral("Gray")}
                                             : QStringList{QStringLiteral("--mode"), QStringLiteral("Gray"),
                                                           QStringLiteral("--depth"), QStringLiteral("1")};
    const Picture want =
        scanimage(QStringLiteral("test:0"),
                  mode + QStringList{QStringLiteral("--resolution"), QStringLiteral("75"),
                                     QStringLiteral("--test-picture"), QStringLiteral("Color pattern"),
                                     QStringLiteral("-x"), QStringLiteral("25"), QStringLiteral("-y"),
                                     QStringLiteral("20")},
                  &error);
    QVERIFY2(want.width > 0, qPrintable(error));

    QProcess scan;
    scan.setProcessEnvironment(scanEnvironment("test-picture=Color pattern;br-x=25;br-y=20"));
    scan.start(m_scan,
               {QStringLiteral("--device"), QStringLiteral("net:127.0.0.1:test:0"), QStringLiteral("-m"),
                mechanism, QStringLiteral("--pixel-type"), pixelType, QStringLiteral("-r"), QStringLiteral("75"),
                QStringLiteral("-f"), format, QStringLiteral("-o"), m_out.path(), QStringLiteral("--name"),
                name, QStringLiteral("--timeout"), QStringLiteral("60")});
    QVERIFY(scan.waitForFinished(90000));
    QVERIFY2(scan.exitCode() == 0, scan.readAllStandardError().constData());
    const QString file = m_out.filePath(name + QStringLiteral("-001.") + format);
    Picture got;
    if (format == QLatin1String("pnm")) {
        QFile pnm(file);
        QVERIFY(pnm.open(QIODevice::ReadOnly));
        got = fromPnm(pnm.readAll());
    } else {
        got = fromImage(QImage(file));
    }
    QVERIFY2(got == want, difference(got, want).constData());
}

void TestSaneNet::sanedKilledMidPage()
{
    // A slow page: with its delays the test backend takes about a millisecond
    // a line, and this page has 14,000 lines.
    QProcess scan;
    scan.setProcessEnvironment(
        scanEnvironment("test-picture=Grid;read-delay=yes;read-delay-duration=200000;br-x=10;br-y=300"));
    scan.start(m_scan,
               {QStringLiteral("--device"), QStringLiteral("net:127.0.0.1:test:1"), QStringLiteral("-m"),
                QStringLiteral("memory"), QStringLiteral("--pixel-type"), QStringLiteral("rgb"), QStringLiteral("-r"),
                QStringLiteral("1200"), QStringLiteral("-o"), m_out.path(), QStringLiteral("--name"),
                QStringLiteral("killed"), QStringLiteral("--timeout"), QStringLiteral("60")});
    QVERIFY(scan.waitForStarted());
    // Once the page flows, saned goes away.
    QElapsedTimer waited;
    waited.start();
    QByteArray out;
    while (waited.elapsed() < 30000 && !out.contains("Scanning with") && scan.state() == QProcess::Running) {
        scan.waitForReadyRead(100);
        out += scan.readAllStandardError();
    }
    QVERIFY2(out.contains("Scanning with"), out.constData());
    QTest::qWait(1500);
    QVERIFY2(scan.state() == QProcess::Running, scan.readAllStandardError().constData());
    killSaned();
    // pelirand-scan is told and ends; bounded only so that a hang fails the test.
    QVERIFY2(scan.waitForFinished(60000), "pelirand-scan hangs after saned died");
    const QByteArray err = out + scan.readAllStandardError();
    QCOMPARE(scan.exitStatus(), QProcess::NormalExit);
    QVERIFY2(scan.exitCode() == 1, err.constData());
    // The page in flight is dropped with the source's condition; the batch ends as the source has no more.
    QVERIFY2(
        err.contains("pelirand-scan: page 1 was dropped: the scanner failed in the middle of it (TWCC_") &&
            err.contains("0 pages kept"),
        err.constData());
    // In plain words: which scanner went away.
    QVERIFY2(err.contains("lost the connection to the scanner at 127.0.0.1"), err.constData());
    QVERIFY(!QFile::exists(m_out.filePath(QStringLiteral("killed-001.png")))); // no partial page
    QVERIFY(startSaned());                                                     // for whatever runs next
}

QTEST_GUILESS_MAIN(TestSaneNet)
#include "tst_sanenet.moc"
