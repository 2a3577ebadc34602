// Cancelling through the library against the real bridge and the simulated
// scanner: before the first page, in the middle of a page, between two pages;
// what is delivered, the state the source is left in, and what stays on disk.

#include <QCoreApplication>
#include <QFile>
#include <QtTest>

#include "client/bridge_p.h"
#include "pelirand/bridge.h"
#include "pelirand/twainsession.h"
#include "tests/client/mainapptestsupport.h"
#include "twain/twain.h"

using mainapptest::kWaitMs;
using pelirand::BatchResult;
using pelirand::CancelScope;
using pelirand::Image;
using pelirand::TwainResult;
using pelirand::TwainSession;

namespace {

// Long enough for our request to cross to the bridge while the source is
// busy with the triplet, which pumps window messages meanwhile as a driver's
// modal loop does (so the bridge reads its commands during the call).
constexpr quint32 kBusyMs = 400;

enum Point
{
    BeforeFirstPage,
    MidPage,
    BetweenPages,
};

} // namespace

Q_DECLARE_METATYPE(CancelScope)

class TestMainAppCancel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cancelAt_data();
    void cancelAt();
    void cancelWithoutSource();
};

void TestMainAppCancel::initTestCase()
{
    mainapptest::useTemporaryTmpDir();
}

void TestMainAppCancel::cancelAt_data()
{
    QTest::addColumn<int>("iMechanism");
    QTest::addColumn<int>("iPoint");
    QTest::addColumn<CancelScope>("scope");
    QTest::addColumn<QList<int>>("lstDelivered");

    const CancelScope page = CancelScope::CurrentPage;
    const CancelScope rest = CancelScope::RestOfBatch;
    // Before the first page: the source starts its batch and it ends at once
    // (or without its first page).
    QTest::newRow("before, native, rest") << int(TWSX_NATIVE) << int(BeforeFirstPage) << rest << QList<int>();
    QTest::newRow("before, native, page")
        << int(TWSX_NATIVE) << int(BeforeFirstPage) << page << QList<int>{2, 3};
    QTest::newRow("before, memory, rest") << int(TWSX_MEMORY) << int(BeforeFirstPage) << rest << QList<int>();
    // In the middle of the first page: a native page cannot be stopped, it
    // arrives whole (and a request for it is then moot); a buffered one stops
    // at the next block and nothing of it is delivered.
    QTest::newRow("mid-page, native, rest") << int(TWSX_NATIVE) << int(MidPage) << rest << QList<int>{1};
    QTest::newRow("mid-page, native, page")
        << int(TWSX_NATIVE) << int(MidPage) << page << QList<int>{1, 2, 3};
    QTest::newRow("mid-page, memory, rest") << int(TWSX_MEMORY) << int(MidPage) << rest << QList<int>();
    QTest::newRow("mid-page, memory, page") << int(TWSX_MEMORY) << int(MidPage) << page << QList<int>{2, 3};
    QTest::newRow("mid-page, memfile, page") << int(TWSX_MEMFILE) << int(MidPage) << page << QList<int>{2, 3};
    // After the first page has arrived.
    QTest::newRow("between, native, rest") << int(TWSX_NATIVE) << int(BetweenPages) << rest << QList<int>{1};
    QTest::newRow("between, native, page")
        << int(TWSX_NATIVE) << int(BetweenPages) << page << QList<int>{1, 3};
    QTest::newRow("between, memory, rest") << int(TWSX_MEMORY) << int(BetweenPages) << rest << QList<int>{1};
}

void TestMainAppCancel::cancelAt()
{
    QFETCH(int, iMechanism);
    QFETCH(int, iPoint);
    QFETCH(CancelScope, scope);
    QFETCH(QList<int>, lstDelivered);

    pelirand::Bridge bridge;
    bridge.setHelloTimeout(kWaitMs);
    QVERIFY2(bridge.start(), qPrintable(bridge.lastError()));
    TwainSession session(bridge);
    TwainResult r = mainapptest::openScanner(session);
    QVERIFY2(r, qPrintable(r.message()));
    QVERIFY(session.setCapability(ICAP_XFERMECH, TWTY_UINT16, iMechanism));
    QVERIFY(session.setCapability(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_RGB));
    // Two blocks per buffered page (50 x 13 pixels, 150 bytes a row).
    QVERIFY(session.setCapability(simscanner::SIMCAP_MEMPREFERRED, TWTY_UINT32, 150 * 7));
    // Told inside the call that starts the scan, the bridge starts the batch
    // before it reads our next request.
    QVERIFY(session.setCapability(simscanner::SIMCAP_NOTIFYTHREAD, TWTY_BOOL, 0));

    quint32 busyTriplet = 0;
    if (iPoint == MidPage) {
        const quint16 dat = iMechanism == TWSX_NATIVE   ? quint16(DAT_IMAGENATIVEXFER)
                            : iMechanism == TWSX_MEMORY ? quint16(DAT_IMAGEMEMXFER)
                                                        : quint16(DAT_IMAGEMEMFILEXFER);
        busyTriplet = simscanner::simTriplet(dat, MSG_GET);
    } else if (iPoint == BetweenPages) {
        busyTriplet = simscanner::simTriplet(DAT_PENDINGXFERS, MSG_ENDXFER);
    }
    if (busyTriplet) {
        QVERIFY(session.setCapability(simscanner::SIMCAP_DELAYTRIPLET, TWTY_UINT32, busyTriplet));
        QVERIFY(session.setCapability(simscanner::SIMCAP_DELAYMS, TWTY_UINT32, kBusyMs));
        QVERIFY(session.setCapability(simscanner::SIMCAP_DELAYPUMP, TWTY_BOOL, 1));
    }

    QList<int> lstPages;
    bool bCancelled = false;
    connect(&session, &TwainSession::imageReceived, this, [&](const Image& image) {
        // Which of the scanner's pages this is.
        for (int iPage = 1; iPage <= 3; ++iPage) {
            if (mainapptest::compareWithPage(image.toQImage(), iPage, TWPT_RGB).isEmpty()) {
                lstPages.append(iPage);
                break;
            }
        }
        if (iPoint == BetweenPages && !bCancelled) {
            bCancelled = true;
            QVERIFY(session.cancel(scope));
        }
    });

    // With its dialog the source waits for its Scan button (our trigger).
    r = session.enable(true);
    QVERIFY2(r, qPrintable(r.message()));
    if (iPoint == BeforeFirstPage) {
        r = session.cancel(scope);
        QVERIFY2(r, qPrintable(r.message()));
        QCOMPARE(r.data(), QByteArray("1")); // kept for the batch to come
        QCOMPARE(r.state(), quint16(5));
    }
    r = session.setCapability(simscanner::SIMCAP_TRIGGER, TWTY_UINT16, simscanner::SIM_TRIGGER_SCAN);
    QVERIFY2(r, qPrintable(r.message()));
    if (iPoint == MidPage) {
        r = session.cancel(scope);
        QVERIFY2(r, qPrintable(r.message()));
    }
    BatchResult batch;
    r = session.waitForBatch(batch, kWaitMs);
    QVERIFY2(r, qPrintable(r.message()));

    QVERIFY(batch.transferred);
    QVERIFY(batch.cancelled);
    QCOMPARE(batch.endState, 5u);
    QVERIFY(!batch.transferFailed());
    QVERIFY2(batch.problems.isEmpty(), qPrintable(batch.problems.join('\n')));
    QCOMPARE(lstPages, lstDelivered);
    QCOMPARE(batch.imageCount, lstDelivered.size());
    // Nothing of a dropped page, nothing of a delivered one, is left behind.
    QVERIFY2(mainapptest::bridgeTemporaries().isEmpty(),
             qPrintable(mainapptest::bridgeTemporaries().join(' ')));

    // The source is ready for another scan, and a stale request does not end it.
    QVERIFY(session.setCapability(simscanner::SIMCAP_DELAYTRIPLET, TWTY_UINT32, 0));
    QVERIFY(session.setCapability(simscanner::SIMCAP_FEEDERPAGES, TWTY_UINT32, 2));
    r = session.setCapability(simscanner::SIMCAP_TRIGGER, TWTY_UINT16, simscanner::SIM_TRIGGER_SCAN);
    QVERIFY2(r, qPrintable(r.message()));
    BatchResult again;
    r = session.waitForBatch(again, kWaitMs);
    QVERIFY2(r, qPrintable(r.message()));
    QVERIFY(!again.cancelled);
    QCOMPARE(again.imageCount, 2);
    QCOMPARE(again.endState, 5u);

    r = session.close();
    QVERIFY2(r, qPrintable(r.message()));
    bridge.stop();
}

void TestMainAppCancel::cancelWithoutSource()
{
    pelirand::Bridge bridge;
    bridge.setHelloTimeout(kWaitMs);
    QVERIFY2(bridge.start(), qPrintable(bridge.lastError()));
    TwainSession session(bridge);
    // Nothing to end: fine for the session, refused by the bridge.
    QVERIFY(session.cancel(CancelScope::RestOfBatch));
    QVERIFY(mainapptest::openScanner(session));
    QVERIFY(session.cancel(CancelScope::CurrentPage));
    const TwainResult r = pelirand::BridgePrivate::get(bridge)->endBatch(true);
    QVERIFY(!r);
    QCOMPARE(r.state(), quint16(4));
    // An enabled source that is told to scan afterwards is not affected.
    QVERIFY(session.setCapability(ICAP_XFERMECH, TWTY_UINT16, TWSX_NATIVE));
    QVERIFY(session.enable(false));
    BatchResult batch;
    QVERIFY(session.waitForBatch(batch, kWaitMs));
    QCOMPARE(batch.imageCount, 3);
    QVERIFY(!batch.cancelled);
    QVERIFY(session.close());
    bridge.stop();
}

QTEST_GUILESS_MAIN(TestMainAppCancel)
#include "tst_mainappcancel.moc"
