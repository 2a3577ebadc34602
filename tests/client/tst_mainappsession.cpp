// The main application's library against the real bridge, the stand-in DSM and
// the simulated scanner: sessions in every mechanism, the source's dialog and
// messages, and the ways a session fails.

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>

#include "protocol/commandcodes.h"
#include "client/bridge_p.h"
#include "pelirand/bridge.h"
#include "client/bridgelistener.h"
#include "pelirand/twainsession.h"
#include "ipc/vantipcclient.h"
#include "tests/client/mainapptestsupport.h"
#include "twain/twain.h"

using mainapptest::kHeight;
using mainapptest::kWaitMs;
using mainapptest::kWidth;
using pelirand::BatchResult;
using pelirand::Bridge;
using pelirand::Image;
using pelirand::TwainResult;
using pelirand::TwainSession;

namespace {

constexpr int kPages = 3; // the simulated feeder's sheets

// A bridge started for one test, its session on top.
struct Fixture
{
    Bridge bridge;
    TwainSession session{bridge};
    bool start()
    {
        bridge.setHelloTimeout(kWaitMs);
        return bridge.start();
    }
};

} // namespace

class TestMainAppSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void listenerAnswersEveryRequest_data();
    void listenerAnswersEveryRequest();
    void startAndStop();
    void bridgeThatNeverGreets_data();
    void bridgeThatNeverGreets();
    void scanEachMechanism_data();
    void scanEachMechanism();
    void requestsWhileTheBridgeDelivers();
    void dialogAndMessages();
    void sourceFailure();
    void failedTransferCondition_data();
    void failedTransferCondition();
    void newBatchAtTheEndOfOne();
    void unloadWhileEnabled_data();
    void unloadWhileEnabled();
    void reloadedDsmServesTheSource();
    void refusedCapabilityNamesCondition();
    void unknownSource();
    void missingDsm();
    void bridgeCrashes_data();
    void bridgeCrashes();
    void bridgeKilledWhileIdle();
    void deadBridgesFolderRemoved();
};

void TestMainAppSession::initTestCase()
{
    mainapptest::useTemporaryTmpDir();
}

void TestMainAppSession::cleanup()
{
    // A leak or any other sanitizer report of a child fails the test that ran it.
    const QString sReports = mainapptest::takeSanitizerReports();
    QVERIFY2(sReports.isEmpty(), qPrintable(sReports));
}

void TestMainAppSession::listenerAnswersEveryRequest_data()
{
    QTest::addColumn<int>("iCmd");
    QTest::addColumn<QVariantList>("params");
    QTest::addColumn<int>("iResult");
    QTest::addColumn<QString>("sSignal");

    QTest::newRow("hello") << int(cmdHello) << QVariantList{QStringLiteral("pelirand0001")} << 0
                           << QStringLiteral("hello pelirand0001");
    QTest::newRow("message") << int(cmdCallbackMsg) << QVariantList{0u, 5u} << 0
                             << QStringLiteral("message 0 5");
    QTest::newRow("image") << int(cmdImageInFile) << QVariantList{-1, QStringLiteral("/tmp/x")} << 0
                           << QStringLiteral("image -1 /tmp/x");
    QTest::newRow("hello without a name") << int(cmdHello) << QVariantList{} << 1 << QStringLiteral("bad");
    QTest::newRow("image without a name")
        << int(cmdImageInFile) << QVariantList{0} << 1 << QStringLiteral("bad");
    QTest::newRow("message without a state")
        << int(cmdCallbackMsg) << QVariantList{258u} << 1 << QStringLiteral("bad");
    QTest::newRow("unknown code") << 9 << QVariantList{1, 2, 3} << 1 << QStringLiteral("bad");
}

void TestMainAppSession::listenerAnswersEveryRequest()
{
    QFETCH(int, iCmd);
    QFETCH(QVariantList, params);
    QFETCH(int, iResult);
    QFETCH(QString, sSignal);

    // The listener on a thread of its own, as the library runs it; a client plays the bridge.
    QThread thread;
    auto* pListener = new pelirand::BridgeListener;
    pListener->moveToThread(&thread);
    QStringList lstSignals;
    connect(pListener, &pelirand::BridgeListener::si_hello, this,
            [&](const QString& sName) { lstSignals << QStringLiteral("hello ") + sName; });
    connect(pListener, &pelirand::BridgeListener::si_callbackMsg, this, [&](uint uiMsg, uint uiState) {
        lstSignals << QStringLiteral("message %1 %2").arg(uiMsg).arg(uiState);
    });
    connect(pListener, &pelirand::BridgeListener::si_imageInFile, this, [&](int iId, const QString& sName) {
        lstSignals << QStringLiteral("image %1 %2").arg(iId).arg(sName);
    });
    connect(pListener, &pelirand::BridgeListener::si_badRequest, this,
            [&] { lstSignals << QStringLiteral("bad"); });
    thread.start();
    const QString sName = QStringLiteral("tstlistener%1").arg(QCoreApplication::applicationPid());
    bool bStarted = false;
    QString sError;
    QMetaObject::invokeMethod(
        pListener, [&] { bStarted = pListener->startServer(sName, sError); }, Qt::BlockingQueuedConnection);
    QVERIFY2(bStarted, qPrintable(sError));

    VantHelper::VantIPCClient client(sName, QStringLiteral("1.0"));
    QVERIFY(client.connectServer());
    VantHelper::VantIPCCommand cmd;
    cmd.iCmd = iCmd;
    cmd.lstParams = params;
    cmd.iResult = -7;
    QVERIFY(client.sendCommand(cmd));
    QCOMPARE(cmd.iResult, iResult);
    QVERIFY(cmd.lstResults.isEmpty());
    QCOMPARE(pListener->requestCount(), 1);
    // The signal was queued before the reply went out.
    QCoreApplication::processEvents();
    QCOMPARE(lstSignals, QStringList{sSignal});

    QMetaObject::invokeMethod(
        pListener, [&] { delete pListener; }, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
}

void TestMainAppSession::startAndStop()
{
    Bridge bridge;
    bridge.setHelloTimeout(kWaitMs);
    QVERIFY2(bridge.start(), qPrintable(bridge.lastError()));
    QVERIFY(bridge.isConnected());
    QVERIFY(bridge.bridgeName().startsWith(QLatin1String("pelirand")));
    QVERIFY(bridge.serverName() != bridge.bridgeName());
    const TwainResult num = pelirand::BridgePrivate::get(bridge)->getNumCommands(QByteArrayLiteral("hello"));
    QVERIFY2(num, qPrintable(num.message()));
    QCOMPARE(num.data(), QByteArrayLiteral("10"));
    const qint64 pid = bridge.processId();
    QVERIFY(pid > 0);

    QSignalSpy ended(&bridge, &Bridge::endedUnexpectedly);
    bridge.stop();
    QVERIFY(!bridge.isConnected());
    QVERIFY(!bridge.hasEndedUnexpectedly());
    QCOMPARE(ended.count(), 0);
    // The process is gone and reaped.
    QCOMPARE(::kill(pid_t(pid), 0), -1);
    const TwainResult after = pelirand::BridgePrivate::get(bridge)->getNumCommands();
    QCOMPARE(after.kind(), TwainResult::BridgeLost);
}

void TestMainAppSession::bridgeThatNeverGreets_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("sReason");

    QTest::newRow("exits at once") << QByteArrayLiteral("exit 3") << QStringLiteral("exit code 3");
    QTest::newRow("no server (the bridge's -5)")
        << QByteArrayLiteral("exit 251") << QStringLiteral("could not connect");
    QTest::newRow("dies of a signal") << QByteArrayLiteral("kill -SEGV $$") << QStringLiteral("signal 11");
    QTest::newRow("not there") << QByteArray() << QStringLiteral("not found");
}

void TestMainAppSession::bridgeThatNeverGreets()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, sReason);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Bridge bridge;
    bridge.setHelloTimeout(kWaitMs);
    bridge.setProgram(script.isEmpty() ? dir.filePath(QStringLiteral("nothing"))
                                       : mainapptest::writeScript(dir, script));
    QVERIFY(!bridge.start());
    QVERIFY2(bridge.lastError().contains(sReason), qPrintable(bridge.lastError()));
    QVERIFY(!bridge.isConnected());
}

void TestMainAppSession::scanEachMechanism_data()
{
    QTest::addColumn<int>("iMechanism");
    QTest::addColumn<int>("iPixelType");
    QTest::addColumn<int>("iBitDepth");
    QTest::addColumn<bool>("bTiff");
    // The session maps the bridge's files instead of reading them.
    QTest::addColumn<bool>("bMapped");

    const struct
    {
        const char* name;
        int mech;
        bool tiff; // native images as TIFF streams, as Linux sources hand them over
    } mechanisms[] = {{"native", TWSX_NATIVE, false},
                      {"native TIFF", TWSX_NATIVE, true},
                      {"file", TWSX_FILE, false},
                      {"memory", TWSX_MEMORY, false},
                      {"memory file", TWSX_MEMFILE, false}};
    const struct
    {
        const char* name;
        int type;
        int depth;
    } types[] = {{"RGB 24", TWPT_RGB, 24},
                 {"grey 8", TWPT_GRAY, 8},
                 {"BW 1", TWPT_BW, 1},
                 {"palette 8", TWPT_PALETTE, 8}};
    for (const auto& m : mechanisms) {
        for (const auto& t : types)
            QTest::addRow("%s, %s", m.name, t.name) << m.mech << t.type << t.depth << m.tiff << false;
    }
    // Reduced to 8 bits by the bridge.
    QTest::newRow("native, grey 16") << int(TWSX_NATIVE) << int(TWPT_GRAY) << 16 << false << false;
    QTest::newRow("mapped native, RGB 24") << int(TWSX_NATIVE) << int(TWPT_RGB) << 24 << false << true;
    QTest::newRow("mapped native TIFF, grey 8") << int(TWSX_NATIVE) << int(TWPT_GRAY) << 8 << true << true;
    QTest::newRow("mapped memory, BW 1") << int(TWSX_MEMORY) << int(TWPT_BW) << 1 << false << true;
    // The source's own files are read: only the bridge's are mapped.
    QTest::newRow("mapped file, RGB 24") << int(TWSX_FILE) << int(TWPT_RGB) << 24 << false << true;
}

void TestMainAppSession::scanEachMechanism()
{
    QFETCH(int, iMechanism);
    QFETCH(int, iPixelType);
    QFETCH(int, iBitDepth);
    QFETCH(bool, bTiff);
    QFETCH(bool, bMapped);

    Fixture f;
    QVERIFY2(f.start(), qPrintable(f.bridge.lastError()));
    f.session.setMapImages(bMapped);
    TwainResult r = mainapptest::openScanner(f.session);
    QVERIFY2(r, qPrintable(r.message()));
    QCOMPARE(f.session.state(), 4u);
    QCOMPARE(f.session.source().productName, QString::fromLatin1(simscanner::kProductName));
    r = f.session.setCapability(ICAP_XFERMECH, TWTY_UINT16, iMechanism);
    QVERIFY2(r, qPrintable(r.message()));
    r = f.session.setCapability(ICAP_PIXELTYPE, TWTY_UINT16, iPixelType);
    QVERIFY2(r, qPrintable(r.message()));
    r = f.session.setCapability(ICAP_BITDEPTH, TWTY_UINT16, iBitDepth);
    QVERIFY2(r, qPrintable(r.message()));
    double depth = 0;
    QVERIFY(f.session.capability(ICAP_BITDEPTH, TWTY_UINT16, depth));
    QCOMPARE(int(depth), iBitDepth);
    if (bTiff)
        QVERIFY(f.session.setCapability(simscanner::SIMCAP_NATIVETIFF, TWTY_BOOL, 1));
    QTemporaryDir files;
    QVERIFY(files.isValid());
    if (iMechanism == TWSX_FILE) {
        r = f.session.setFileTransfer(files.filePath(QStringLiteral("page.bmp")), TWFF_BMP);
        QVERIFY2(r, qPrintable(r.message()));
    }

    QList<Image> lstSignalled;
    connect(&f.session, &TwainSession::imageReceived, this, [&lstSignalled](const Image& image) {
        // While the signal runs, the file is still there.
        QVERIFY(QFile::exists(image.fileName));
        lstSignalled.append(image);
    });
    r = f.session.enable(false);
    QVERIFY2(r, qPrintable(r.message()));
    BatchResult batch;
    r = f.session.waitForBatch(batch, kWaitMs);
    QVERIFY2(r, qPrintable(r.message()));

    QVERIFY(batch.transferred);
    QCOMPARE(batch.endState, 5u);
    QVERIFY(!batch.transferFailed());
    QVERIFY2(batch.problems.isEmpty(), qPrintable(batch.problems.join('\n')));
    QCOMPARE(batch.imageCount, kPages);
    QCOMPARE(batch.images.size(), kPages);
    QCOMPARE(lstSignalled.size(), kPages);
    for (int i = 0; i < kPages; ++i) {
        const Image& image = batch.images.at(i);
        QCOMPARE(image.index, i + 1);
        QCOMPARE(int(image.mechanism), iMechanism);
        // -1: a DIB the bridge wrote (native, memory strips); 0: the source's
        // file; -2: a file the bridge made (memory file, native TIFF).
        QCOMPARE(image.id, bTiff                     ? -2
                            : iMechanism == TWSX_FILE ? 0
                                                      : (iMechanism == TWSX_MEMFILE ? -2 : -1));
        QCOMPARE(image.fileFormat(), bTiff ? QStringLiteral("tif") : image.fileFormat());
        QCOMPARE(image.data.isEmpty(), bMapped && iMechanism != TWSX_FILE);
        QVERIFY(image.byteCount() > 0);
        QString sWhy;
        const QImage decoded = image.toQImage(&sWhy);
        QVERIFY2(!decoded.isNull(), qPrintable(sWhy));
        sWhy = mainapptest::compareWithPage(decoded, i + 1, iPixelType);
        QVERIFY2(sWhy.isEmpty(), qPrintable(QStringLiteral("page %1: %2").arg(i + 1).arg(sWhy)));
        // The library removes what the bridge made for it and leaves a file transfer's files alone.
        QCOMPARE(image.temporary, iMechanism != TWSX_FILE);
        QCOMPARE(QFile::exists(image.fileName), iMechanism == TWSX_FILE);
    }
    QVERIFY2(mainapptest::bridgeTemporaries().isEmpty(),
             qPrintable(mainapptest::bridgeTemporaries().join(' ')));

    r = f.session.close();
    QVERIFY2(r, qPrintable(r.message()));
    QCOMPARE(f.session.state(), 1u);
}

void TestMainAppSession::requestsWhileTheBridgeDelivers()
{
    // Our requests cross the bridge's image notifications on the way: neither side may wait for the other.
    Fixture f;
    QVERIFY2(f.start(), qPrintable(f.bridge.lastError()));
    QVERIFY(mainapptest::openScanner(f.session));
    QVERIFY(f.session.setCapability(simscanner::SIMCAP_FEEDERPAGES, TWTY_UINT32, 20));
    // Told inside MSG_ENABLEDS, the bridge starts the batch before it reads our next request.
    QVERIFY(f.session.setCapability(simscanner::SIMCAP_NOTIFYTHREAD, TWTY_BOOL, 0));
    QVERIFY(f.session.enable(false));
    for (int i = 0; i < 200; ++i)
        QVERIFY(pelirand::BridgePrivate::get(f.bridge)->getNumCommands());
    BatchResult batch;
    const TwainResult r = f.session.waitForBatch(batch, kWaitMs);
    QVERIFY2(r, qPrintable(r.message()));
    QCOMPARE(batch.imageCount, 20);
    for (int i = 0; i < batch.images.size(); ++i)
        QVERIFY(mainapptest::compareWithPage(batch.images.at(i).toQImage(), i + 1, TWPT_RGB).isEmpty());
}

void TestMainAppSession::dialogAndMessages()
{
    Fixture f;
    QVERIFY2(f.start(), qPrintable(f.bridge.lastError()));
    QVERIFY(mainapptest::openScanner(f.session));
    QVERIFY(f.session.setCapability(CAP_XFERCOUNT, TWTY_INT16, 2));
    QSignalSpy messages(&f.session, &TwainSession::sourceMessageReceived);
    TwainResult r = f.session.enable(true);
    QVERIFY2(r, qPrintable(r.message()));
    QCOMPARE(f.session.state(), 5u);
    r = f.bridge.showLastGui();
    QVERIFY2(r, qPrintable(r.message()));

    // The dialog's Scan.
    QVERIFY(f.session.setCapability(simscanner::SIMCAP_TRIGGER, TWTY_UINT16, simscanner::SIM_TRIGGER_SCAN));
    BatchResult batch;
    r = f.session.waitForBatch(batch, kWaitMs);
    QVERIFY2(r, qPrintable(r.message()));
    QCOMPARE(batch.imageCount, 2);
    QCOMPARE(batch.endState, 5u);

    // A device event is passed on; the dialog's Cancel ends the wait.
    QVERIFY(f.session.setCapability(simscanner::SIMCAP_TRIGGER, TWTY_UINT16,
                                    simscanner::SIM_TRIGGER_DEVICEEVENT));
    QVERIFY(
        f.session.setCapability(simscanner::SIMCAP_TRIGGER, TWTY_UINT16, simscanner::SIM_TRIGGER_CLOSEDSREQ));
    r = f.session.waitForBatch(batch, kWaitMs);
    QVERIFY2(r, qPrintable(r.message()));
    QVERIFY(!batch.transferred);
    QCOMPARE(batch.closeMessage, uint(MSG_CLOSEDSREQ));
    QCOMPARE(batch.imageCount, 0);
    QCOMPARE(messages.count(), 2);
    QCOMPARE(messages.at(0).at(0).toUInt(), uint(MSG_DEVICEEVENT));
    QCOMPARE(messages.at(1).at(0).toUInt(), uint(MSG_CLOSEDSREQ));
    QCOMPARE(messages.at(1).at(1).toUInt(), 5u);

    r = f.session.disable();
    QVERIFY2(r, qPrintable(r.message()));
    QCOMPARE(f.session.state(), 4u);
    // Waiting without an enabled source is refused at once.
    r = f.session.waitForBatch(batch, kWaitMs);
    QCOMPARE(r.kind(), TwainResult::Refused);
}

void TestMainAppSession::sourceFailure()
{
    Fixture f;
    QVERIFY2(f.start(), qPrintable(f.bridge.lastError()));
    QVERIFY(mainapptest::openScanner(f.session));
    // The second page jams.
    QVERIFY(f.session.setCapability(simscanner::SIMCAP_FAILCONDITION, TWTY_UINT16, TWCC_PAPERJAM));
    QVERIFY(f.session.setCapability(simscanner::SIMCAP_FAILSKIP, TWTY_UINT32, 1));
    QVERIFY(f.session.setCapability(simscanner::SIMCAP_FAILTRIPLET, TWTY_UINT32,
                                    simscanner::simTriplet(DAT_IMAGENATIVEXFER, MSG_GET)));
    QVERIFY(f.session.enable(false));
    BatchResult batch;
    TwainResult r = f.session.waitForBatch(batch, kWaitMs);
    QVERIFY2(r, qPrintable(r.message()));
    QVERIFY(batch.transferFailed());
    QCOMPARE(batch.endState, 6u);
    QCOMPARE(batch.imageCount, 1);
    QVERIFY(batch.hasConditionCode);
    QCOMPARE(batch.conditionCode, quint16(TWCC_PAPERJAM));
    QVERIFY(mainapptest::compareWithPage(batch.images.at(0).toQImage(), 1, TWPT_RGB).isEmpty());
    // The session ended the pending transfers; the source can be disabled and closed.
    QCOMPARE(f.session.state(), 5u);
    r = f.session.close();
    QVERIFY2(r, qPrintable(r.message()));
}

void TestMainAppSession::failedTransferCondition_data()
{
    QTest::addColumn<int>("iMechanism");
    QTest::addColumn<quint16>("dat");
    QTest::newRow("native") << int(TWSX_NATIVE) << quint16(DAT_IMAGENATIVEXFER);
    // The bridge gives the source the application's file name back after the
    // batch, a call of its own that the source's status then describes.
    QTest::newRow("file") << int(TWSX_FILE) << quint16(DAT_IMAGEFILEXFER);
}

// The condition of a batch that a transfer ended is the one the source gave
// for that transfer, whatever the bridge called after it.
void TestMainAppSession::failedTransferCondition()
{
    QFETCH(int, iMechanism);
    QFETCH(quint16, dat);

    Fixture f;
    QVERIFY2(f.start(), qPrintable(f.bridge.lastError()));
    QVERIFY(mainapptest::openScanner(f.session));
    QVERIFY(f.session.setCapability(ICAP_XFERMECH, TWTY_UINT16, iMechanism));
    QTemporaryDir files;
    if (iMechanism == TWSX_FILE)
        QVERIFY(f.session.setFileTransfer(files.filePath(QStringLiteral("page.bmp")), TWFF_BMP));
    QVERIFY(f.session.setCapability(simscanner::SIMCAP_FAILCONDITION, TWTY_UINT16, TWCC_PAPERJAM));
    QVERIFY(f.session.setCapability(simscanner::SIMCAP_FAILSKIP, TWTY_UINT32, 1));
    QVERIFY(f.session.setCapability(simscanner::SIMCAP_FAILTRIPLET, TWTY_UINT32, simscanner::simTriplet(dat, MSG_GET)));
    QVERIFY(f.session.enable(false));
    BatchResult batch;
    TwainResult r = f.session.waitForBatch(batch, kWaitMs);
    QVERIFY2(r, qPrintable(r.message()));
    QVERIFY(batch.transferFailed());
    QCOMPARE(batch.imageCount, 1);
    QVERIFY(batch.hasConditionCode);
    QCOMPARE(batch.conditionCode, quint16(TWCC_PAPERJAM));
    // Told once: the next status is the source's own again.
    quint16 cc = TWCC_BUMMER;
    r = f.session.conditionCode(cc);
    QVERIFY2(r, qPrintable(r.message()));
    QCOMPARE(cc, quint16(TWCC_SUCCESS));
    r = f.session.close();
    QVERIFY2(r, qPrintable(r.message()));
}

// A source that announces its next batch while the bridge still ends the last
// one (here: from inside the bridge's last question of the batch) has it run.
void TestMainAppSession::newBatchAtTheEndOfOne()
{
    Fixture f;
    QVERIFY2(f.start(), qPrintable(f.bridge.lastError()));
    QVERIFY(mainapptest::openScanner(f.session));
    // Two of the three sheets, then the third in a batch of its own.
    QVERIFY(f.session.setCapability(CAP_XFERCOUNT, TWTY_INT16, 2));
    QVERIFY(f.session.setCapability(simscanner::SIMCAP_NOTIFYTHREAD, TWTY_BOOL, 0));
    QVERIFY(f.session.setCapability(simscanner::SIMCAP_QUIRK, TWTY_UINT16,
                                    simscanner::SIM_QUIRK_SCAN_AFTER_COUNT));
    QSignalSpy images(&f.session, &TwainSession::imageReceived);
    TwainResult r = f.session.enable(false);
    QVERIFY2(r, qPrintable(r.message()));
    // The second batch may follow so closely that its page counts with the first.
    while (images.count() < kPages) {
        BatchResult batch;
        r = f.session.waitForBatch(batch, kWaitMs);
        QVERIFY2(r, qPrintable(r.message()));
        QVERIFY2(batch.problems.isEmpty() && batch.sourceFaults.isEmpty(),
                 qPrintable((batch.problems + batch.sourceFaults).join('\n')));
        QCOMPARE(batch.endState, 5u);
    }
    QCOMPARE(images.count(), kPages);
    for (int i = 0; i < kPages; ++i) {
        const Image image = images.at(i).at(0).value<Image>();
        QVERIFY(mainapptest::compareWithPage(image.toQImage(), i + 1, TWPT_RGB).isEmpty());
    }
    r = f.session.close();
    QVERIFY2(r, qPrintable(r.message()));
}

void TestMainAppSession::unloadWhileEnabled_data()
{
    QTest::addColumn<bool>("bDuringBatch");
    QTest::newRow("between two pages") << true;
    QTest::newRow("enabled, no batch yet") << false;
}

// The enabled source's pages and calls need the DSM loaded: an unload request
// then is refused, and nothing of the batch or the session is lost.
void TestMainAppSession::unloadWhileEnabled()
{
    QFETCH(bool, bDuringBatch);

    Fixture f;
    QVERIFY2(f.start(), qPrintable(f.bridge.lastError()));
    QVERIFY(mainapptest::openScanner(f.session));
    QVERIFY(f.session.setCapability(ICAP_XFERMECH, TWTY_UINT16, TWSX_NATIVE));
    // Ending a page takes a while without pumping messages: our request
    // waits on the connection and is read between the pages.
    QVERIFY(f.session.setCapability(simscanner::SIMCAP_DELAYTRIPLET, TWTY_UINT32,
                                    simscanner::simTriplet(DAT_PENDINGXFERS, MSG_ENDXFER)));
    QVERIFY(f.session.setCapability(simscanner::SIMCAP_DELAYMS, TWTY_UINT32, 300));
    QVERIFY(f.session.setCapability(simscanner::SIMCAP_DELAYPUMP, TWTY_BOOL, 0));
    QVERIFY(f.session.setCapability(simscanner::SIMCAP_NOTIFYTHREAD, TWTY_BOOL, 0));

    TwainResult unload;
    bool bAsked = false;
    connect(&f.session, &TwainSession::imageReceived, this, [&](const Image&) {
        if (bDuringBatch && !bAsked) {
            bAsked = true;
            unload = pelirand::BridgePrivate::get(f.bridge)->unloadDsm();
        }
    });
    TwainResult r = f.session.enable(true);
    QVERIFY2(r, qPrintable(r.message()));
    if (!bDuringBatch)
        unload = pelirand::BridgePrivate::get(f.bridge)->unloadDsm();
    r = f.session.setCapability(simscanner::SIMCAP_TRIGGER, TWTY_UINT16, simscanner::SIM_TRIGGER_SCAN);
    QVERIFY2(r, qPrintable(r.message()));
    BatchResult batch;
    r = f.session.waitForBatch(batch, kWaitMs);
    QVERIFY2(r, qPrintable(r.message()));
    QVERIFY(!unload);
    QCOMPARE(unload.returnCode(), quint16(1));

    QVERIFY2(batch.problems.isEmpty(), qPrintable(batch.problems.join('\n')));
    QCOMPARE(batch.endState, 5u);
    QCOMPARE(batch.imageCount, kPages);
    for (int i = 0; i < batch.images.size(); ++i)
        QVERIFY(mainapptest::compareWithPage(batch.images.at(i).toQImage(), i + 1, TWPT_RGB).isEmpty());
    double value = 0;
    r = f.session.capability(ICAP_XFERMECH, TWTY_UINT16, value);
    QVERIFY2(r, qPrintable(r.message()));
    QCOMPARE(value, double(TWSX_NATIVE));
    r = f.session.close();
    QVERIFY2(r, qPrintable(r.message()));
}

// A DSM unloaded while only a source is open is loaded again by the next call:
// its memory functions are the new library's, so containers and pages still come.
void TestMainAppSession::reloadedDsmServesTheSource()
{
    Fixture f;
    QVERIFY2(f.start(), qPrintable(f.bridge.lastError()));
    QVERIFY(mainapptest::openScanner(f.session));
    TwainResult r = pelirand::BridgePrivate::get(f.bridge)->unloadDsm();
    QVERIFY2(r, qPrintable(r.message()));

    double value = 0;
    r = f.session.capability(ICAP_PIXELTYPE, TWTY_UINT16, value);
    QVERIFY2(r, qPrintable(r.message()));
    QCOMPARE(value, double(TWPT_RGB));
    QVERIFY(f.session.setCapability(ICAP_XFERMECH, TWTY_UINT16, TWSX_NATIVE));
    r = f.session.enable(false);
    QVERIFY2(r, qPrintable(r.message()));
    BatchResult batch;
    r = f.session.waitForBatch(batch, kWaitMs);
    QVERIFY2(r, qPrintable(r.message()));
    QVERIFY2(batch.problems.isEmpty(), qPrintable(batch.problems.join('\n')));
    QCOMPARE(batch.imageCount, kPages);
    for (int i = 0; i < batch.images.size(); ++i)
        QVERIFY(mainapptest::compareWithPage(batch.images.at(i).toQImage(), i + 1, TWPT_RGB).isEmpty());
    r = f.session.close();
    QVERIFY2(r, qPrintable(r.message()));
}

void TestMainAppSession::refusedCapabilityNamesCondition()
{
    Fixture f;
    QVERIFY2(f.start(), qPrintable(f.bridge.lastError()));
    QVERIFY(mainapptest::openScanner(f.session));
    const TwainResult r = f.session.setCapability(ICAP_PIXELTYPE, TWTY_UINT16, 99);
    QCOMPARE(r.kind(), TwainResult::TwainFailed);
    QCOMPARE(r.returnCode(), quint16(TWRC_FAILURE));
    QVERIFY(r.hasConditionCode());
    QCOMPARE(r.conditionCode(), quint16(TWCC_BADVALUE));
    QVERIFY2(r.message().contains(QLatin1String("ICAP_PIXELTYPE")) &&
                 r.message().contains(QLatin1String("TWRC_FAILURE")) &&
                 r.message().contains(QLatin1String("TWCC_BADVALUE")),
             qPrintable(r.message()));
    // A refused triplet carries the codes the bridge returned with it.
    QByteArray block(8, '\0');
    const TwainResult enable = f.session.call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, block);
    QCOMPARE(enable.kind(), TwainResult::TwainFailed);
    QCOMPARE(enable.conditionCode(), quint16(TWCC_SEQERROR));
    QCOMPARE(enable.state(), quint16(4));
    QVERIFY2(
        enable.message().contains(QLatin1String("DG_CONTROL / DAT_USERINTERFACE / MSG_DISABLEDS failed")),
        qPrintable(enable.message()));
}

void TestMainAppSession::unknownSource()
{
    Fixture f;
    QVERIFY2(f.start(), qPrintable(f.bridge.lastError()));
    QVERIFY(f.session.openDsm());
    QList<pelirand::SourceIdentity> lstSources;
    QVERIFY(f.session.listSources(lstSources));
    // The sources folder's files in name order: the SANE source, then ours.
    QCOMPARE(lstSources.size(), 2);
    QCOMPARE(lstSources.at(0).productName, QStringLiteral("pelirand SANE Scanner"));
    QCOMPARE(lstSources.at(1).productName, QString::fromLatin1(simscanner::kProductName));

    const TwainResult r = f.session.openSource(QStringLiteral("No Such Scanner"));
    QCOMPARE(r.kind(), TwainResult::TwainFailed);
    QCOMPARE(r.conditionCode(), quint16(TWCC_NODS));
    QVERIFY2(r.message().contains(QLatin1String("TWCC_NODS")) &&
                 r.reason().contains(QString::fromLatin1(simscanner::kProductName)),
             qPrintable(r.message()));
    QCOMPARE(f.session.state(), 3u);
    // A name in other letter case still finds the source.
    QVERIFY(f.session.openSource(QString::fromLatin1(simscanner::kProductName).toUpper()));
    QCOMPARE(f.session.state(), 4u);
}

void TestMainAppSession::missingDsm()
{
    // The bridge alone in a folder: it finds no DSM beside itself.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString sBin = QCoreApplication::applicationDirPath();
    for (const QString& sFile : {QStringLiteral("pelirand"), QStringLiteral("libpelirand-platform.so")})
        QVERIFY(QFile::copy(sBin + QLatin1Char('/') + sFile, dir.filePath(sFile)));
    Fixture f;
    f.bridge.setProgram(dir.filePath(QStringLiteral("pelirand")));
    QVERIFY2(f.start(), qPrintable(f.bridge.lastError()));
    const TwainResult r = f.session.openDsm();
    QCOMPARE(r.kind(), TwainResult::TwainFailed);
    QCOMPARE(r.operation(), QStringLiteral("loading TWAINDSM.dll"));
    QCOMPARE(f.session.state(), 1u);
    QVERIFY2(r.message().contains(QLatin1String("no TWAIN Data Source Manager")), qPrintable(r.message()));
    // Still alive and answering.
    QVERIFY(pelirand::BridgePrivate::get(f.bridge)->getNumCommands());
}

void TestMainAppSession::bridgeCrashes_data()
{
    QTest::addColumn<bool>("bDuringBatch");
    QTest::newRow("during a command") << false;
    QTest::newRow("during a batch") << true;
}

void TestMainAppSession::bridgeCrashes()
{
    QFETCH(bool, bDuringBatch);

    Fixture f;
    f.bridge.setProcessEnvironment(mainapptest::crashingChildEnvironment());
    QVERIFY2(f.start(), qPrintable(f.bridge.lastError()));
    QVERIFY(mainapptest::openScanner(f.session));
    const TW_UINT32 triplet = bDuringBatch ? simscanner::simTriplet(DAT_IMAGENATIVEXFER, MSG_GET)
                                           : simscanner::simTriplet(DAT_IMAGELAYOUT, MSG_GET);
    QVERIFY(f.session.setCapability(simscanner::SIMCAP_CRASHTRIPLET, TWTY_UINT32, triplet));
    QSignalSpy ended(&f.bridge, &Bridge::endedUnexpectedly);

    TwainResult r;
    QString sDuring;
    if (bDuringBatch) {
        QVERIFY(f.session.enable(false));
        BatchResult batch;
        r = f.session.waitForBatch(batch, kWaitMs);
        sDuring = QStringLiteral("during the batch of transfers (0 images received)");
    } else {
        QByteArray layout(pelirand::kImageLayoutSize, '\0');
        r = f.session.call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, layout);
        sDuring = QStringLiteral("during DG_IMAGE / DAT_IMAGELAYOUT / MSG_GET");
    }
    QCOMPARE(r.kind(), TwainResult::BridgeLost);
    QVERIFY(f.bridge.hasEndedUnexpectedly());
    QCOMPARE(ended.count(), 1);
    const QString sReason = f.bridge.endReason();
    QCOMPARE(ended.at(0).at(0).toString(), sReason);
    QVERIFY2(sReason.startsWith(QLatin1String("the bridge ended unexpectedly (")), qPrintable(sReason));
    // A sanitizer build may catch the crash and exit with an error code instead.
    QVERIFY2(sReason.contains(QLatin1String("killed by signal")) ||
                 sReason.contains(QLatin1String("exit code")),
             qPrintable(sReason));
    QVERIFY2(sReason.endsWith(sDuring), qPrintable(sReason));
    QVERIFY2(r.message().contains(sReason), qPrintable(r.message()));
    // Everything after it fails at once, naming the same reason.
    QCOMPARE(f.session.close().kind(), TwainResult::BridgeLost);
    QCOMPARE(pelirand::BridgePrivate::get(f.bridge)->getNumCommands().reason(), sReason);
}

void TestMainAppSession::bridgeKilledWhileIdle()
{
    Fixture f;
    QVERIFY2(f.start(), qPrintable(f.bridge.lastError()));
    QVERIFY(f.session.openDsm());
    QSignalSpy ended(&f.bridge, &Bridge::endedUnexpectedly);
    QCOMPARE(::kill(pid_t(f.bridge.processId()), SIGKILL), 0);
    // Noticed from the event loop, without a command in flight.
    QVERIFY(ended.wait(kWaitMs));
    QCOMPARE(ended.count(), 1);
    const QString sReason = ended.at(0).at(0).toString();
    QVERIFY2(sReason.startsWith(QLatin1String("the bridge ended unexpectedly (killed by signal 9")),
             qPrintable(sReason));
    QVERIFY2(sReason.endsWith(QLatin1String("after DG_CONTROL / DAT_PARENT / MSG_OPENDSM")),
             qPrintable(sReason));
    QCOMPARE(f.session.close().kind(), TwainResult::BridgeLost);
    QCOMPARE(ended.count(), 1);
}

void TestMainAppSession::deadBridgesFolderRemoved()
{
    Fixture f;
    QVERIFY2(f.start(), qPrintable(f.bridge.lastError()));
    // The bridge's own folder, owner only, with a page it was writing when it died.
    const QString sFolder = f.bridge.bridgeTempPath();
    const QFileInfo folder(sFolder);
    QVERIFY2(folder.isDir() && folder.fileName() == QFileInfo(f.bridge.bridgeName()).fileName(),
             qPrintable(sFolder));
    QCOMPARE(folder.permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::ExeOther),
             QFile::Permissions());
    QFile page(sFolder + QStringLiteral("/pelirand.half"));
    QVERIFY(page.open(QIODevice::WriteOnly));
    page.write(QByteArray(4096, 'x'));
    page.close();

    QSignalSpy ended(&f.bridge, &Bridge::endedUnexpectedly);
    QCOMPARE(::kill(pid_t(f.bridge.processId()), SIGKILL), 0);
    QVERIFY(ended.wait(kWaitMs));
    QVERIFY2(!QFileInfo::exists(sFolder), qPrintable(sFolder));
}

QTEST_GUILESS_MAIN(TestMainAppSession)
#include "tst_mainappsession.moc"
