// Real drivers' faults, played by the simulated scanner: for each one, what
// the main application's library is told and keeps, whether the bridge lives
// on or was ended, and what pelirand-scan says and exits with. Hangs are
// bounded by the library's own call timeout, set small here.

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "client/bridge_p.h"
#include "tests/client/mainapptestsupport.h"
#include "twain/twain.h"

using mainapptest::kWaitMs;

namespace {

// The simulated scanner's controls as PELIRAND_SIM_CONTROLS gives them.
QString control(TW_UINT16 cap, double value)
{
    return QStringLiteral("0x%1=%2").arg(cap, 0, 16).arg(QString::number(value, 'f', 0));
}

QString quirk(TW_UINT16 which, TW_UINT32 page = 2)
{
    return control(simscanner::SIMCAP_QUIRK, which) + QLatin1Char(',') +
           control(simscanner::SIMCAP_QUIRKPAGE, page);
}

const char* mechanismName(quint16 mechanism)
{
    switch (mechanism) {
    case TWSX_MEMORY:
        return "memory";
    case TWSX_FILE:
        return "file";
    case TWSX_MEMFILE:
        return "memfile";
    default:
        return "native";
    }
}

struct Row
{
    QStringList lstEnv; // NAME=VALUE for the bridge (and the scanner in it)
    quint16 mechanism = TWSX_NATIVE;
    int iPixelType = -1;
    int iPages = -1;        // CAP_XFERCOUNT / --pages
    int iCallTimeoutMs = 0; // 0: none for the library, pelirand-scan's default
    int iBatchWaitMs = -1;  // bound of the wait for the batch (--timeout)
    bool bCrashes = false;  // the source kills the process
};

} // namespace

Q_DECLARE_METATYPE(Row)

class TestDriverQuirks : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void quirks_data();
    void quirks();
    void cleanup();

private:
    QTemporaryDir m_dir;
};

void TestDriverQuirks::initTestCase()
{
    mainapptest::useTemporaryTmpDir();
    QVERIFY(m_dir.isValid());
}

void TestDriverQuirks::cleanup()
{
    // A leak or any other sanitizer report of a child fails the row that ran it.
    const QString sReports = mainapptest::takeSanitizerReports();
    QVERIFY2(sReports.isEmpty(), qPrintable(sReports));
}

void TestDriverQuirks::quirks_data()
{
    using namespace simscanner;
    QTest::addColumn<Row>("row");
    QTest::addColumn<int>("iDelivered");    // pages the application gets
    QTest::addColumn<QString>("sTold");     // what the library says (part of it), empty: nothing
    QTest::addColumn<bool>("bEnded");       // the bridge was ended (else it lives until stopped)
    QTest::addColumn<int>("iExit");         // pelirand-scan's exit status
    QTest::addColumn<QString>("sScanLine"); // what pelirand-scan says (part of a line)

    auto row = [](const char* name, QStringList lstEnv, quint16 mechanism = TWSX_NATIVE) -> QTestData& {
        Row r;
        r.lstEnv = lstEnv;
        r.mechanism = mechanism;
        return QTest::newRow(name) << r;
    };
    const QString sControls = QStringLiteral("PELIRAND_SIM_CONTROLS=");
    auto sim = [&](const QString& sWhat) { return QStringList{sControls + sWhat}; };

    row("none", {}) << 3 << QString() << false << 0 << QString();
    row("2 count 0 while sheets remain", sim(quirk(SIM_QUIRK_PENDING_ZERO)))
        << 3 << "the scanner reported no more pages but kept feeding" << false << 0
        << "the scanner reported no more pages but kept feeding; 3 pages kept";
    row("2 count from the caller's value", sim(quirk(SIM_QUIRK_PENDING_DECREMENT)))
        << 3 << "the scanner counted more pages than it had" << false << 0
        << "the scanner counted more pages than it had; 3 pages kept";
    row("2 MSG_ENDXFER fails", sim(quirk(SIM_QUIRK_ENDXFER_FAILS)))
        << 3 << "the scanner reported a failure ending page 2 but went on" << false << 0
        << "failure ending page 2 but went on; 3 pages kept";
    row("3 close request before XFERREADY", sim(quirk(SIM_QUIRK_CLOSE_BEFORE_READY)))
        << 3 << "asked to be closed before it announced its pages" << false << 0
        << "asked to be closed before it announced its pages; they were transferred first; 3 pages kept";
    row("3 close request during a native transfer", sim(quirk(SIM_QUIRK_CLOSE_DURING_XFER)))
        << 3 << "asked to be closed during the transfer" << false << 0
        << "the request waited for the last page; 3 pages kept";
    row("3 close request during a memory transfer", sim(quirk(SIM_QUIRK_CLOSE_DURING_XFER)), TWSX_MEMORY)
        << 3 << "asked to be closed during the transfer" << false << 0
        << "the request waited for the last page; 3 pages kept";
    {
        Row r;
        r.lstEnv = sim(quirk(SIM_QUIRK_SILENT_STOP));
        r.iBatchWaitMs = 1000;
        QTest::newRow("4 silent stop") << r << 0 << "no batch ended within" << false << 8
                                       << "the scan made no progress for 1 seconds while waiting for the first page (--timeout); 0 pages kept";
    }
    // A lenient source that answers where the standard lets it refuse changes nothing.
    row("4 DAT_IMAGEINFO answered in state 5", sim(quirk(SIM_QUIRK_INFO_ANY_STATE)))
        << 3 << QString() << false << 0 << QString();
    row("4 DAT_IMAGEINFO answered in state 5, memory", sim(quirk(SIM_QUIRK_INFO_ANY_STATE)), TWSX_MEMORY)
        << 3 << QString() << false << 0 << QString();
    // Enabled all the same, though it could not honour the user interface asked for.
    row("4 MSG_ENABLEDS answers TWRC_CHECKSTATUS", sim(quirk(SIM_QUIRK_ENABLE_CHECKSTATUS)))
        << 3 << QString() << false << 0 << QString();
    row("4 MSG_ENABLEDS answers TWRC_CHECKSTATUS, message route",
        sim(quirk(SIM_QUIRK_ENABLE_CHECKSTATUS)) +
            QStringList{QStringLiteral("PELIRAND_DSM_NO_CALLBACK=1"), QStringLiteral("PELIRAND_DSM_MESSAGE_ROUTE=1")})
        << 3 << QString() << false << 0 << QString();
    row("4 TWRC_CANCEL from DAT_IMAGEINFO", sim(quirk(SIM_QUIRK_CANCEL_ILLEGAL)))
        << 1 << "the scanner cancelled where it may not (page 2)" << false << 1
        << "the remaining pages were dropped; 1 page kept";
    row("8 XFERDONE with a null handle", sim(quirk(SIM_QUIRK_NATIVE_NULL)))
        << 2 << "page 2 was dropped: the scanner handed over no usable image" << false << 1
        << "page 2 was dropped: the scanner handed over no usable image; 2 pages kept";
    row("8 XFERDONE with a foreign handle", sim(quirk(SIM_QUIRK_NATIVE_FOREIGN)))
        << 2 << "page 2 was dropped: the scanner handed over no usable image" << false << 1
        << "page 2 was dropped: the scanner handed over no usable image; 2 pages kept";
    row("8 header of 56 bytes", sim(quirk(SIM_QUIRK_DIB_HEADER_SIZE)))
        << 3 << QString() << false << 0 << QString();
    row("8 biSizeImage against the stride", sim(quirk(SIM_QUIRK_DIB_STRIDE)))
        << 3 << QString() << false << 0 << QString();
    row("9 Columns 0", sim(quirk(SIM_QUIRK_MEM_NO_COLUMNS)), TWSX_MEMORY)
        << 3 << "the scanner's strips said 0 columns" << false << 0 << "0 columns; the row length was used";
    row("9 strips past the declared size", sim(quirk(SIM_QUIRK_MEM_PAST_SIZE)), TWSX_MEMORY)
        << 3 << QString() << false << 0 << QString();
    row("9 only BitsPerSample[0]", sim(quirk(SIM_QUIRK_INFO_ONE_BPS)), TWSX_MEMORY)
        << 3 << QString() << false << 0 << QString();
    row("9 failure mid-image, structure untouched",
        sim(quirk(SIM_QUIRK_MEM_FAIL_UNTOUCHED) + QLatin1Char(',') + control(SIMCAP_MEMPREFERRED, 1500)),
        TWSX_MEMORY)
        << 2 << "page 2 was dropped: the scanner failed in the middle of it (the scanner gave no reason)" << false
        << 1 << "page 2 was dropped: the scanner failed in the middle of it (the scanner gave no reason); 2 pages kept";
    row("10 size -1 until transferred, memory", sim(quirk(SIM_QUIRK_INFO_UNKNOWN)), TWSX_MEMORY)
        << 3 << QString() << false << 0 << QString();
    row("10 size -1 until transferred, native", sim(quirk(SIM_QUIRK_INFO_UNKNOWN)))
        << 3 << QString() << false << 0 << QString();
    row("11 XFERREADY repeated, native", sim(quirk(SIM_QUIRK_XFERREADY_TWICE)))
        << 3 << "the scanner announced its pages again during the transfer" << false << 0
        << "the repeat was ignored; 3 pages kept";
    row("11 XFERREADY repeated, memory", sim(quirk(SIM_QUIRK_XFERREADY_TWICE)), TWSX_MEMORY)
        << 3 << "the scanner announced its pages again during the transfer" << false << 0
        << "the repeat was ignored; 3 pages kept";
    row("11 fake XFERREADY, then TWRC_CANCEL", sim(quirk(SIM_QUIRK_FAKE_XFERREADY)))
        << 0 << "page 1 was cancelled by the scanner" << false << 1
        << "page 1 was cancelled by the scanner; 0 pages kept";
    row("12 XFERREADY inside MSG_ENABLEDS, same thread", sim(control(SIMCAP_NOTIFYTHREAD, 0)))
        << 3 << QString() << false << 0 << QString();
    row("12 XFERREADY inside MSG_ENABLEDS, another thread", sim(quirk(SIM_QUIRK_READY_INSIDE_ENABLE)))
        << 3 << QString() << false << 0 << QString();
    const QString sDelayNative = control(SIMCAP_DELAYTRIPLET, simTriplet(DAT_IMAGENATIVEXFER, MSG_GET));
    row("13 slow transfer within the bound",
        sim(sDelayNative + QLatin1Char(',') + control(SIMCAP_DELAYMS, 50) + QLatin1Char(',') +
            quirk(SIM_QUIRK_FAULTS_ON_PAGE)))
        << 3 << QString() << false << 0 << QString();
    const auto hang = [&](const char* name, TW_UINT16 dat, TW_UINT16 msg, bool bPump, int iKept) {
        Row r;
        r.lstEnv = sim(control(SIMCAP_DELAYTRIPLET, simTriplet(dat, msg)) + QLatin1Char(',') +
                       control(SIMCAP_DELAYMS, 600000) + QLatin1Char(',') + control(SIMCAP_DELAYPUMP, bPump) +
                       QLatin1Char(',') + quirk(SIM_QUIRK_FAULTS_ON_PAGE));
        r.iCallTimeoutMs = 1000;
        const QString sCall =
            pelirand::tripletName(dat == DAT_PENDINGXFERS ? DG_CONTROL : DG_IMAGE, dat, msg);
        QTest::newRow(name) << r << iKept << sCall + QStringLiteral(" did not answer for") << true << 5
                            << QStringLiteral("%1 did not answer for").arg(sCall);
    };
    hang("13 transfer hangs (modal wait)", DAT_IMAGENATIVEXFER, MSG_GET, true, 1);
    hang("13 transfer hangs (sleeps)", DAT_IMAGENATIVEXFER, MSG_GET, false, 1);
    hang("13 MSG_ENDXFER hangs", DAT_PENDINGXFERS, MSG_ENDXFER, false, 2);
    {
        Row r;
        r.lstEnv = sim(control(SIMCAP_DELAYTRIPLET, simTriplet(DAT_USERINTERFACE, MSG_ENABLEDS)) +
                       QLatin1Char(',') + control(SIMCAP_DELAYMS, 600000));
        r.iCallTimeoutMs = 1000;
        QTest::newRow("5 MSG_ENABLEDS hangs")
            << r << 0 << "DG_CONTROL / DAT_USERINTERFACE / MSG_ENABLEDS did not answer for" << true << 5
            << "DG_CONTROL / DAT_USERINTERFACE / MSG_ENABLEDS did not answer for";
    }
    {
        // A watching application learns the triplet the process died in.
        Row r;
        r.lstEnv = sim(control(SIMCAP_CRASHTRIPLET, simTriplet(DAT_IMAGENATIVEXFER, MSG_GET)) +
                       QLatin1Char(',') + quirk(SIM_QUIRK_FAULTS_ON_PAGE));
        r.iCallTimeoutMs = 60000;
        r.bCrashes = true;
        QTest::newRow("6 crash during a transfer")
            << r << 1
            << "(killed by signal 11, Segmentation fault) during DG_IMAGE / DAT_IMAGENATIVEXFER / MSG_GET"
            << true << 5 << "during DG_IMAGE / DAT_IMAGENATIVEXFER / MSG_GET in the batch of transfers";
    }
    row("16 TWRC_FAILURE with condition success",
        sim(control(SIMCAP_FAILTRIPLET, simTriplet(DAT_IMAGENATIVEXFER, MSG_GET)) + QLatin1Char(',') +
            control(SIMCAP_FAILCONDITION, TWCC_SUCCESS) + QLatin1Char(',') + control(SIMCAP_FAILSKIP, 1)))
        << 1 << QString() << false << 1 << "the scanner gave no reason; the scan stopped after 1 of all pages";
    row("16 TWRC_CANCEL from MSG_OPENDS", sim(quirk(SIM_QUIRK_OPENDS_CANCEL)))
        << 0 << "DG_CONTROL / DAT_IDENTITY / MSG_OPENDS failed" << false << 4 << "the source did not open";
    row("17 DAT_CALLBACK2 refused", {QStringLiteral("PELIRAND_DSM_NO_CALLBACK2=1")})
        << 3 << QString() << false << 0 << QString();
    row("17 both callbacks refused, message route",
        {QStringLiteral("PELIRAND_DSM_NO_CALLBACK=1"), QStringLiteral("PELIRAND_DSM_MESSAGE_ROUTE=1")})
        << 3 << QString() << false << 0 << QString();
    {
        // Without the message route the source's notices are lost: bounded by the batch wait.
        Row r;
        r.lstEnv = QStringList{QStringLiteral("PELIRAND_DSM_NO_CALLBACK=1")};
        r.iBatchWaitMs = 1000;
        QTest::newRow("17 both callbacks refused, no message route")
            << r << 0 << "no batch ended within" << false << 8
            << "the scan made no progress for 1 seconds while waiting for the first page (--timeout); 0 pages kept";
    }
    row("18 MSG_GETCURRENT answers an enumeration", sim(quirk(SIM_QUIRK_GETCURRENT_ENUM)), TWSX_MEMORY)
        << 3 << QString() << false << 0 << QString();
    row("18 item types", sim(quirk(SIM_QUIRK_ITEM_TYPE)), TWSX_MEMORY)
        << 3 << QString() << false << 0 << QString();
    row("18 null container", sim(quirk(SIM_QUIRK_NULL_CONTAINER)), TWSX_MEMORY)
        << 3 << QString() << false << 0 << QString();
    row("19 ICAP_XFERMECH ignored", sim(quirk(SIM_QUIRK_XFERMECH_IGNORED)), TWSX_MEMORY)
        << 3 << "ICAP_XFERMECH: asked 2, the source has 0" << false << 0
        << "the scanner accepted memory transfers but used native transfers; 3 pages kept";
    {
        Row r;
        r.lstEnv = sim(quirk(SIM_QUIRK_XFERCOUNT_IGNORED));
        r.iPages = 1;
        QTest::newRow("19 CAP_XFERCOUNT ignored")
            << r << 3 << "CAP_XFERCOUNT: asked 1, the source has -1" << false << 0
            << "the scanner ignored the page count of 1 and sent 3 pages; 3 pages kept";
    }
    {
        Row r;
        r.lstEnv = sim(quirk(SIM_QUIRK_NO_DEFAULT_DEPTH));
        r.mechanism = TWSX_MEMORY;
        r.iPixelType = TWPT_GRAY;
        QTest::newRow("20 no default bit depth") << r << 3 << QString() << false << 0 << QString();
    }
}

void TestDriverQuirks::quirks()
{
    QFETCH(Row, row);
    QFETCH(int, iDelivered);
    QFETCH(QString, sTold);
    QFETCH(bool, bEnded);
    QFETCH(int, iExit);
    QFETCH(QString, sScanLine);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (row.bCrashes) {
        // The source's fault kills the process as it would without the sanitizers, whose
        // own fault handler would report it and abort instead.
        env = mainapptest::crashingChildEnvironment();
        for (const QString& sName : {QStringLiteral("ASAN_OPTIONS"), QStringLiteral("UBSAN_OPTIONS")})
            env.insert(sName, env.value(sName) + QStringLiteral(":handle_segv=0"));
    }
    for (const QString& sPair : qAsConst(row.lstEnv))
        env.insert(sPair.section(QLatin1Char('='), 0, 0), sPair.section(QLatin1Char('='), 1));

    // --- The library.
    QStringList lstTold;
    {
        pelirand::Bridge bridge;
        bridge.setProcessEnvironment(env);
        bridge.setCallTimeout(row.iCallTimeoutMs);
        QVERIFY2(bridge.start(), qPrintable(bridge.lastError()));
        pelirand::TwainSession session(bridge);
        int nDelivered = 0;
        connect(&session, &pelirand::TwainSession::imageReceived, this,
                [&nDelivered](const pelirand::Image& image) {
                    if (image.error.isEmpty())
                        ++nDelivered;
                });
        pelirand::TwainResult r = mainapptest::openScanner(session);
        if (r)
            r = session.setCapability(ICAP_XFERMECH, TWTY_UINT16, row.mechanism);
        if (r && row.iPixelType >= 0) {
            r = session.setPixelType(quint16(row.iPixelType));
            double depth = 0;
            QVERIFY(session.readBack(ICAP_BITDEPTH, depth));
            QCOMPARE(depth, row.iPixelType == TWPT_GRAY ? 8.0 : depth);
        }
        if (r)
            r = session.setCapability(CAP_XFERCOUNT, TWTY_INT16, row.iPages);
        pelirand::BatchResult batch;
        if (r)
            r = session.enable(false);
        if (r)
            r = session.waitForBatch(batch, row.iBatchWaitMs);
        if (!r)
            lstTold.append(r.message());
        lstTold += batch.sourceFaults + session.differences();
        lstTold.append(bridge.endReason());
        const QString sTheLibrarySays = lstTold.join(QLatin1Char('\n'));
        // A bridge that died where the row expects it alive says why on its standard error.
        QVERIFY2(bEnded || !bridge.hasEndedUnexpectedly(),
                 qPrintable(sTheLibrarySays + QLatin1Char('\n') + bridge.bridgeStandardError()));

        QCOMPARE(nDelivered, iDelivered);
        QCOMPARE(batch.imageCount, iDelivered);
        if (sTold.isEmpty())
            QVERIFY2(batch.sourceFaults.isEmpty() && session.differences().isEmpty() && r,
                     qPrintable(sTheLibrarySays));
        else
            QVERIFY2(sTheLibrarySays.contains(sTold), qPrintable(sTheLibrarySays));
        QCOMPARE(bridge.hasEndedUnexpectedly(), bEnded);
        QCOMPARE(bridge.hasHung(), bEnded && sTold.contains(QLatin1String("did not answer")));
        if (!bEnded) {
            // Alive and answering: the session can be closed in order.
            QVERIFY(pelirand::BridgePrivate::get(bridge)->getNumCommands());
            const pelirand::TwainResult closed = session.close();
            QVERIFY2(closed,
                     qPrintable(closed.message() + QLatin1Char('\n') + lstTold.join(QLatin1Char('\n'))));
        }
        bridge.stop();
    }
    QVERIFY2(mainapptest::bridgeTemporaries().isEmpty(),
             qPrintable(mainapptest::bridgeTemporaries().join(QLatin1Char(' '))));

    if (bEnded) {
        // A new bridge scans at once.
        pelirand::Bridge bridge;
        QVERIFY2(bridge.start(), qPrintable(bridge.lastError()));
        pelirand::TwainSession session(bridge);
        QVERIFY(mainapptest::openScanner(session));
        QVERIFY(session.enable(false));
        pelirand::BatchResult batch;
        QVERIFY(session.waitForBatch(batch));
        QCOMPARE(batch.imageCount, 3);
        QVERIFY(session.close());
        bridge.stop();
    }

    // --- pelirand-scan.
    const QString sOut = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_'));
    QStringList lstArgs{QStringLiteral("-m"),     QLatin1String(mechanismName(row.mechanism)),
                        QStringLiteral("-r"),     QStringLiteral("50"),
                        QStringLiteral("-o"),     sOut,
                        QStringLiteral("--name"), QStringLiteral("p")};
    if (row.iPixelType == TWPT_GRAY)
        lstArgs << QStringLiteral("--pixel-type") << QStringLiteral("gray");
    if (row.iPages > 0)
        lstArgs << QStringLiteral("-n") << QString::number(row.iPages);
    if (row.iCallTimeoutMs > 0)
        lstArgs << QStringLiteral("--call-timeout") << QString::number((row.iCallTimeoutMs + 999) / 1000);
    if (row.iBatchWaitMs > 0)
        lstArgs << QStringLiteral("--timeout") << QString::number((row.iBatchWaitMs + 999) / 1000);
    QProcess scan;
    scan.setProcessEnvironment(env);
    scan.start(QCoreApplication::applicationDirPath() + QStringLiteral("/pelirand-scan"), lstArgs);
    QVERIFY(scan.waitForFinished(kWaitMs));
    const QString sOutput =
        QString::fromUtf8(scan.readAllStandardOutput()) + QString::fromUtf8(scan.readAllStandardError());
    const QString sDescribe = QStringLiteral("exit %1:\n%2").arg(scan.exitCode()).arg(sOutput);
    QCOMPARE(scan.exitStatus(), QProcess::NormalExit);
    QVERIFY2(scan.exitCode() == iExit, qPrintable(sDescribe));
    QVERIFY2(sScanLine.isEmpty() || sOutput.contains(sScanLine), qPrintable(sDescribe));
    QCOMPARE(QDir(sOut).entryList(QDir::Files).size(), iDelivered);
    QVERIFY2(mainapptest::bridgeTemporaries().isEmpty(),
             qPrintable(mainapptest::bridgeTemporaries().join(QLatin1Char(' '))));
}

QTEST_GUILESS_MAIN(TestDriverQuirks)
#include "tst_driverquirks.moc"
