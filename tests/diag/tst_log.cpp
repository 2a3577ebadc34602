#include "diag/log.h"
#include "diag/log_p.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <vector>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

QMutex g_debugMutex;
QStringList g_debugMessages;
QtMessageHandler g_previousHandler = nullptr;

void captureDebug(QtMsgType type, const QMessageLogContext& context, const QString& msg)
{
    if (type == QtDebugMsg) {
        QMutexLocker locker(&g_debugMutex);
        g_debugMessages << msg;
    } else if (g_previousHandler) {
        g_previousHandler(type, context, msg);
    }
}

QStringList takeDebugMessages()
{
    QMutexLocker locker(&g_debugMutex);
    QStringList messages;
    messages.swap(g_debugMessages);
    return messages;
}

// The log's clock, under the test's control; only changed between messages.
qint64 g_iFakeNowMs = 0;
qint64 fakeClock()
{
    return g_iFakeNowMs;
}

using LogCall = void (*)();

} // namespace

Q_DECLARE_METATYPE(LogCall)

class tst_Log : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void firstMessageTruncatesEarlierLog();
    void everyLineIsOnDiskAtOnce();
    void messageText_data();
    void messageText();
    void elapsedPrefix_data();
    void elapsedPrefix();
    void linesBeforeCreationPrintZero();
    void newFileIsOwnerOnly();
    void rotatedFileIsOpenedAgain_data();
    void rotatedFileIsOpenedAgain();
    void unsafePathIsNotWritten_data();
    void unsafePathIsNotWritten();
    void unwritableFolder_data();
    void unwritableFolder();
    void lockedFileHoldsFirstLineAndCountsTheRest();
    void lockNotObtainedCountsLine();
    void concurrentWritersLoseNothing();
    void writeErrorIsReported();
    void hexDump_data();
    void hexDump();
    void hexDumpStaysInBuffer_data();
    void hexDumpStaysInBuffer();
    void hexDumpTextIsNotAFormat();

private:
    QByteArray logContent() const;
    // The file split into lines; checks that it ends with "\r\n".
    QStringList logLines() const;

    std::unique_ptr<QTemporaryDir> m_pDir;
    QString m_sPath;
};

void tst_Log::initTestCase()
{
    QCOMPARE(*g_pLogFilePath, QStringLiteral("c:\\program.log"));
}

void tst_Log::init()
{
    m_pDir.reset(new QTemporaryDir);
    QVERIFY(m_pDir->isValid());
    m_sPath = m_pDir->filePath(QStringLiteral("vantora-pelirand.log"));
    g_pLogFilePath = &m_sPath;
    logTestReset();
    logTestSetLockWait(-1);
    g_iFakeNowMs = 1000;
    logTestSetClock(fakeClock);
    takeDebugMessages();
    g_previousHandler = qInstallMessageHandler(captureDebug);
}

void tst_Log::cleanup()
{
    qInstallMessageHandler(g_previousHandler);
    logTestSetClock(nullptr);
}

QByteArray tst_Log::logContent() const
{
    QFile file(m_sPath);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QStringList tst_Log::logLines() const
{
    const QByteArray content = logContent();
    if (!content.endsWith("\r\n"))
        return QStringList() << QStringLiteral("<no line end>") << QString::fromUtf8(content);
    QStringList lines = QString::fromUtf8(content).split(QStringLiteral("\r\n"));
    lines.removeLast();
    return lines;
}

void tst_Log::firstMessageTruncatesEarlierLog()
{
    {
        QFile old(m_sPath);
        QVERIFY(old.open(QIODevice::WriteOnly));
        for (int i = 0; i < 100; ++i)
            old.write("a line from the earlier run\r\n");
    }
    const QDateTime before = QDateTime::currentDateTime().addMSecs(-1);
    logPrintf("first of this run");
    const QDateTime after = QDateTime::currentDateTime().addMSecs(1);

    const QStringList lines = logLines();
    QCOMPARE(lines.size(), 2);
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}$"))
                 .match(lines[0])
                 .hasMatch(),
             qPrintable(lines[0]));
    const QDateTime header = QDateTime::fromString(lines[0], QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    QVERIFY(header >= before && header <= after);
    QCOMPARE(lines[1], QStringLiteral("(000000): first of this run"));
    QCOMPARE(takeDebugMessages(), QStringList() << QStringLiteral("creating log file: ") + m_sPath);

    // The earlier run's file was readable by others; this run's is not.
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                            QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                            QFileDevice::WriteOther | QFileDevice::ExeOther;
    QCOMPARE(QFileInfo(m_sPath).permissions() & others, QFileDevice::Permissions());
    QVERIFY(QFileInfo(m_sPath).permissions() & QFileDevice::WriteOwner);
}

void tst_Log::newFileIsOwnerOnly()
{
    const mode_t previous = ::umask(0);
    logPrintf("first");
    ::umask(previous);
    QCOMPARE(QFileInfo(m_sPath).permissions() & ~(QFileDevice::ReadUser | QFileDevice::WriteUser),
             QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void tst_Log::rotatedFileIsOpenedAgain_data()
{
    QTest::addColumn<bool>("bMoved");
    QTest::addColumn<bool>("bReplaced");
    QTest::newRow("removed") << false << false;
    QTest::newRow("moved aside") << true << false;
    QTest::newRow("replaced by another file") << true << true;
    QTest::newRow("another file renamed over it") << false << true;
    QTest::newRow("hard link, then removed") << false << false;
}

// A log rotated while the bridge runs: the lines after it land in the file the
// path names, none in the file that went.
void tst_Log::rotatedFileIsOpenedAgain()
{
    QFETCH(bool, bMoved);
    QFETCH(bool, bReplaced);
    logPrintf("before");
    const QString sAside = m_sPath + QStringLiteral(".1");
    const QString sTag = QString::fromLatin1(QTest::currentDataTag());
    if (bMoved) {
        QVERIFY(QFile::rename(m_sPath, sAside));
    } else if (!bReplaced) {
        if (sTag.startsWith(QLatin1String("hard link")))
            QCOMPARE(::link(QFile::encodeName(m_sPath).constData(), QFile::encodeName(sAside).constData()),
                     0);
        QVERIFY(QFile::remove(m_sPath));
    }
    if (bReplaced) {
        // Written beside it and renamed over it, as an editor saves, or made anew.
        const QString sFresh = bMoved ? m_sPath : m_sPath + QStringLiteral(".new");
        QFile fresh(sFresh);
        QVERIFY(fresh.open(QIODevice::WriteOnly));
        fresh.write("fresh\r\n");
        fresh.close();
        if (!bMoved)
            QCOMPARE(::rename(QFile::encodeName(sFresh).constData(), QFile::encodeName(m_sPath).constData()),
                     0);
    }
    logPrintf("after");
    logPrintf("later");

    QStringList expected;
    if (bReplaced)
        expected << QStringLiteral("fresh");
    expected << QStringLiteral("(000000): after") << QStringLiteral("(000000): later");
    QCOMPARE(logLines(), expected);
    if (bMoved) {
        QFile aside(sAside);
        QVERIFY(aside.open(QIODevice::ReadOnly));
        QVERIFY(aside.readAll().endsWith("(000000): before\r\n"));
    }
    QCOMPARE(takeDebugMessages().size(), 1);
}

void tst_Log::unsafePathIsNotWritten_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("symlink to a file") << QStringLiteral("symlink");
    QTest::newRow("dangling symlink") << QStringLiteral("dangling");
    QTest::newRow("fifo") << QStringLiteral("fifo");
    QTest::newRow("fifo with a reader") << QStringLiteral("fifo-read");
    QTest::newRow("directory") << QStringLiteral("directory");
}

// Whatever someone placed at the log path, start-up neither follows it, nor
// waits on it, nor touches what lies behind it: the log says on standard error
// that it cannot log, and the process goes on.
void tst_Log::unsafePathIsNotWritten()
{
    QFETCH(QString, kind);
    const QString sTarget = m_pDir->filePath(QStringLiteral("target"));
    const QByteArray targetContent("not the log\n");
    int fdReader = -1;
    if (kind == QLatin1String("symlink") || kind == QLatin1String("dangling")) {
        if (kind == QLatin1String("symlink")) {
            QFile target(sTarget);
            QVERIFY(target.open(QIODevice::WriteOnly));
            target.write(targetContent);
            target.close();
            QVERIFY(target.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        }
        QVERIFY(QFile::link(sTarget, m_sPath));
    } else if (kind.startsWith(QLatin1String("fifo"))) {
        QCOMPARE(::mkfifo(QFile::encodeName(m_sPath).constData(), 0600), 0);
        if (kind == QLatin1String("fifo-read")) {
            fdReader = ::open(QFile::encodeName(m_sPath).constData(), O_RDONLY | O_NONBLOCK);
            QVERIFY(fdReader >= 0);
        }
    } else {
        QVERIFY(QDir().mkdir(m_sPath));
    }

    logPrintf("first");
    logPrintf("second");

    const QStringList messages = takeDebugMessages();
    QCOMPARE(messages.size(), 4);
    for (int i = 0; i < 4; i += 2) {
        QCOMPARE(messages[i], QStringLiteral("creating log file: ") + m_sPath);
        QVERIFY2(messages[i + 1].startsWith(QStringLiteral("log file error: ")) &&
                     messages[i + 1].size() > 16,
                 qPrintable(messages[i + 1]));
    }
    if (kind == QLatin1String("symlink")) {
        QFile target(sTarget);
        QVERIFY(target.open(QIODevice::ReadOnly));
        QCOMPARE(target.readAll(), targetContent);
        QCOMPARE(target.permissions() & ~(QFileDevice::ReadUser | QFileDevice::WriteUser),
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    } else if (kind == QLatin1String("dangling")) {
        QVERIFY(!QFileInfo::exists(sTarget));
    } else if (fdReader >= 0) {
        char c;
        QCOMPARE(::read(fdReader, &c, 1), ssize_t(0)); // nothing written into it
        ::close(fdReader);
    }
}

void tst_Log::everyLineIsOnDiskAtOnce()
{
    QStringList expected;
    for (int i = 0; i < 3; ++i) {
        logPrintf("line %1i", i);
        expected << QStringLiteral("(000000): line %1").arg(i);
        QCOMPARE(logLines().mid(1), expected);
    }
    QCOMPARE(takeDebugMessages().size(), 1);
}

void tst_Log::messageText_data()
{
    QTest::addColumn<LogCall>("call");
    QTest::addColumn<QString>("message");

    QTest::newRow("no conversions") << LogCall([] { logPrintf("DSM loaded"); })
                                    << QStringLiteral("DSM loaded");
    QTest::newRow("escaped percent") << LogCall([] { logPrintf("100%% done"); })
                                     << QStringLiteral("100% done");
    QTest::newRow("integers") << LogCall([] { logPrintf("state=%1i cc=%d", 4, -3); })
                              << QStringLiteral("state=4 cc=-3");
    QTest::newRow("hex") << LogCall([] { logPrintf("%x %04x %08x %08X", 0xabu, 0x1fu, 0x1234u, 0xbeefu); })
                         << QStringLiteral("ab 001f 00001234 0000BEEF");
    QTest::newRow("utf-8") << LogCall([] {
        logPrintf("source %s", "Gr\xc3\xbc\xc3\x9f"
                               "e");
    }) << QStringLiteral("source Gr\u00fc\u00dfe");
    QTest::newRow("null format") << LogCall([] { logPrintf(nullptr); }) << QString();
    // Cut to what the 5000-byte buffer holds.
    QTest::newRow("too long") << LogCall([] { logPrintf("%s", QByteArray(6000, 'a').constData()); })
                              << QString(4999, QLatin1Char('a'));
}

void tst_Log::messageText()
{
    QFETCH(LogCall, call);
    QFETCH(QString, message);
    call();
    QCOMPARE(logLines().mid(1), QStringList() << QStringLiteral("(000000): ") + message);
}

void tst_Log::elapsedPrefix_data()
{
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<QString>("prefix");

    QTest::newRow("0") << qint64(0) << QStringLiteral("(000000): ");
    QTest::newRow("42") << qint64(42) << QStringLiteral("(000042): ");
    QTest::newRow("six digits") << qint64(999999) << QStringLiteral("(999999): ");
    QTest::newRow("seven digits") << qint64(1234567) << QStringLiteral("(1234567): ");
    QTest::newRow("32-bit maximum") << qint64(0xFFFFFFFF) << QStringLiteral("(4294967295): ");
    QTest::newRow("low 32 bits") << (qint64(1) << 32) + 42 << QStringLiteral("(000042): ");
}

void tst_Log::elapsedPrefix()
{
    QFETCH(qint64, elapsedMs);
    QFETCH(QString, prefix);

    g_iFakeNowMs = 0xFFFFFF00; // the low 32 bits wrap while the run goes on
    logPrintf("created");
    g_iFakeNowMs += elapsedMs;
    logPrintf("later");
    QCOMPARE(logLines().value(2), prefix + QStringLiteral("later"));
}

// The clock starts only when the file is created, so lines formatted before
// that, the first of every run included, print 0.
void tst_Log::linesBeforeCreationPrintZero()
{
    g_iFakeNowMs = 777777;
    logPrintf("first");
    g_iFakeNowMs += 5;
    logPrintf("second");
    QCOMPARE(logLines().mid(1),
             QStringList() << QStringLiteral("(000000): first") << QStringLiteral("(000005): second"));

    logTestReset(); // a new run
    logPrintf("first again");
    QCOMPARE(logLines().mid(1), QStringList() << QStringLiteral("(000000): first again"));
}

void tst_Log::unwritableFolder_data()
{
    QTest::addColumn<QString>("blocker");
    // Both hold for root as well, unlike missing write permission.
    QTest::newRow("folder missing") << QString();
    QTest::newRow("folder is a file") << QStringLiteral("blocker");
}

void tst_Log::unwritableFolder()
{
    QFETCH(QString, blocker);
    QString sFolder = m_pDir->filePath(QStringLiteral("missing"));
    if (!blocker.isEmpty()) {
        sFolder = m_pDir->filePath(blocker);
        QFile file(sFolder);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QString sBadPath = sFolder + QStringLiteral("/vantora-pelirand.log");
    g_pLogFilePath = &sBadPath;

    logPrintf("first");
    logPrintf("second %1i", 2);
    QVERIFY(!QFileInfo::exists(sBadPath));
    const QStringList messages = takeDebugMessages();
    QCOMPARE(messages.size(), 4);
    for (int i = 0; i < 4; i += 2) {
        QCOMPARE(messages[i], QStringLiteral("creating log file: ") + sBadPath);
        QVERIFY2(messages[i + 1].startsWith(QStringLiteral("log file error: ")) &&
                     messages[i + 1].size() > 16,
                 qPrintable(messages[i + 1]));
    }

    // Every message tries again, so the log starts once the path is usable.
    g_pLogFilePath = &m_sPath;
    logPrintf("third");
    QCOMPARE(logLines().mid(1), QStringList() << QStringLiteral("(000000): third"));
}

void tst_Log::lockedFileHoldsFirstLineAndCountsTheRest()
{
    logPrintf("before");

    // A folder in the file's place cannot be opened for appending, even by root.
    const QString sAside = m_sPath + QStringLiteral(".aside");
    QVERIFY(QFile::rename(m_sPath, sAside));
    QVERIFY(QDir().mkdir(m_sPath));
    logPrintf("held back");
    logPrintf("dropped %1i", 1);
    logPrintf("dropped %1i", 2);
    logPrintf("dropped %1i", 3);
    QVERIFY(QDir().rmdir(m_sPath));
    QVERIFY(QFile::rename(sAside, m_sPath));

    logPrintf("writable again");
    QCOMPARE(logLines().mid(1), QStringList() << QStringLiteral("(000000): before")
                                              << QStringLiteral("(000000): held back")
                                              << QStringLiteral("3 entries skipped")
                                              << QStringLiteral("(000000): writable again"));
    QCOMPARE(takeDebugMessages().size(), 1);

    logPrintf("plain");
    QCOMPARE(logLines().last(), QStringLiteral("(000000): plain"));
}

void tst_Log::lockNotObtainedCountsLine()
{
    logPrintf("first");
    logTestSetLockWait(0);
    logTestLock().lock();
    logPrintf("dropped");
    logPrintf("dropped too");
    logTestLock().unlock();
    logTestSetLockWait(-1);

    logPrintf("after");
    QCOMPARE(logLines().mid(1), QStringList() << QStringLiteral("(000000): first")
                                              << QStringLiteral("2 entries skipped")
                                              << QStringLiteral("(000000): after"));
}

void tst_Log::concurrentWritersLoseNothing()
{
    const int kThreads = 4;
    const int kLines = 200;
    std::atomic<int> iReady{0};
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back(QThread::create([t, &iReady] {
            // All start together, so that several race for the first message.
            iReady.fetch_add(1);
            while (iReady.load() < kThreads)
                QThread::yieldCurrentThread();
            for (int i = 0; i < kLines; ++i)
                logPrintf("thread %1i line %1i", t, i);
        }));
    }
    for (auto& pThread : threads)
        pThread->start();
    for (auto& pThread : threads)
        QVERIFY(pThread->wait());

    // Only one writer creates the file; a line is written or counted, never lost.
    QCOMPARE(takeDebugMessages().size(), 1);
    const QStringList lines = logLines();
    const QRegularExpression lineForm(QStringLiteral("^\\(000000\\): thread (\\d) line (\\d+)$"));
    const QRegularExpression skippedForm(QStringLiteral("^(\\d+) entries skipped$"));
    QVector<int> nextLine(kThreads, 0);
    int iAccounted = 0;
    for (const QString& line : lines.mid(1)) {
        const QRegularExpressionMatch skipped = skippedForm.match(line);
        if (skipped.hasMatch()) {
            iAccounted += skipped.captured(1).toInt();
            continue;
        }
        const QRegularExpressionMatch match = lineForm.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        const int t = match.captured(1).toInt();
        QVERIFY(match.captured(2).toInt() >= nextLine[t]); // each thread's order kept
        nextLine[t] = match.captured(2).toInt() + 1;
        ++iAccounted;
    }
    QCOMPARE(iAccounted, kThreads * kLines);
}

void tst_Log::writeErrorIsReported()
{
#ifdef Q_OS_UNIX
    logPrintf("first");
    takeDebugMessages();

    // A file-size limit at the current size makes the next write fail, even for root.
    rlimit previous;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousSignal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = previous;
    limited.rlim_cur = static_cast<rlim_t>(QFileInfo(m_sPath).size());
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    logPrintf("does not fit");
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousSignal);

    const QStringList messages = takeDebugMessages();
    QCOMPARE(messages.size(), 1);
    QVERIFY2(messages[0].startsWith(QStringLiteral("log file writing error: ")), qPrintable(messages[0]));

    // The failed line counts as written: nothing is held back or reported skipped.
    logPrintf("next");
    QCOMPARE(logLines().mid(1), QStringList()
                                    << QStringLiteral("(000000): first") << QStringLiteral("(000000): next"));
#else
    QSKIP("needs a file-size limit");
#endif
}

void tst_Log::hexDump_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("message");

    QTest::newRow("none") << QByteArray() << 0 << QStringLiteral("returned: datasize=0 data =   {}");
    QTest::newRow("one value") << QByteArray("\x01\x00\x00\x00", 4) << 4
                               << QStringLiteral("returned: datasize=4 data =   {01000000}");
    QTest::newRow("five bytes") << QByteArray("\x00\x01\x02\x03\x04", 5) << 5
                                << QStringLiteral("returned: datasize=5 data =   {00010203 04}");
    QTest::newRow("two groups") << QByteArray("\x01\x00\x00\x00\x02\x00\x00\x00", 8) << 8
                                << QStringLiteral("returned: datasize=8 data =   {01000000 02000000}");
    QTest::newRow("lower-case digits") << QByteArray("\xff\xa0\x7f\x0b", 4) << 4
                                       << QStringLiteral("returned: datasize=4 data =   {ffa07f0b}");
    QTest::newRow("first bytes only")
        << QByteArray("\x01\x02\x03", 3) << 2 << QStringLiteral("returned: datasize=2 data =   {0102}");
    QTest::newRow("negative count") << QByteArray("\x01\x02", 2) << -1
                                    << QStringLiteral("returned: datasize=-1 data =   {}");
    QTest::newRow("no data") << QByteArray() << 4 << QStringLiteral("returned: datasize=4 data =   {}");
}

void tst_Log::hexDump()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, count);
    QFETCH(QString, message);

    logHexDump(bytes.isNull() ? nullptr : bytes.constData(), count, "returned: datasize=%1i data = ", count);
    QCOMPARE(logLines().mid(1), QStringList() << QStringLiteral("(000000): ") + message);
}

void tst_Log::hexDumpStaysInBuffer_data()
{
    QTest::addColumn<int>("textLength");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("messageLength");
    QTest::addColumn<int>("bytesShown");

    QTest::newRow("all bytes fit") << 1 << 451 << 1019 << 451;
    QTest::newRow("bytes cut") << 1 << 2000 << 1021 << 452;
    QTest::newRow("last group fills the buffer") << 0 << 2000 << 1023 << 453;
    QTest::newRow("text near the end") << 1016 << 10 << 1022 << 1;
    QTest::newRow("text cut") << 2000 << 10 << 1023 << 0;
}

void tst_Log::hexDumpStaysInBuffer()
{
    QFETCH(int, textLength);
    QFETCH(int, count);
    QFETCH(int, messageLength);
    QFETCH(int, bytesShown);

    const QByteArray text(textLength, 't');
    const QByteArray bytes(count, '\x5a');
    logHexDump(bytes.constData(), count, "%s", text.constData());

    const QString line = logLines().value(1);
    const QString prefix = QStringLiteral("(000000): ");
    QVERIFY(line.startsWith(prefix));
    const QString message = line.mid(prefix.size());
    QCOMPARE(message.size(), messageLength);

    const int iShownText = qMin(textLength, 1019);
    QCOMPARE(message.left(iShownText), QString(iShownText, QLatin1Char('t')));
    QString dump;
    for (int i = 0; i < bytesShown; ++i)
        dump += QLatin1String(i > 0 && i % 4 == 0 ? " 5a" : "5a");
    QCOMPARE(message.mid(iShownText), QStringLiteral("  {") + dump + QStringLiteral("}"));
}

void tst_Log::hexDumpTextIsNotAFormat()
{
    const char acByte[] = {0x2a};
    logHexDump(acByte, 1, "%s", "100% sure %s%n");
    QCOMPARE(logLines().value(1), QStringLiteral("(000000): 100% sure %s%n  {2a}"));
}

QTEST_GUILESS_MAIN(tst_Log)
#include "tst_log.moc"
