// The DSM binding: loading by name, the missing export, the on-demand reload
// after the library was freed, and the lines it writes to standard error.

#include <QtTest>

#include "tests/twain/twaintestsupport.h"
#include "twain/dsmlib.h"

namespace {

TW_IDENTITY g_origin;
TW_IDENTITY g_dest;
TW_UINT32 g_data;

TW_UINT16 callOnce(int nSelector = 0)
{
    return CallDSMEntry(&g_origin, &g_dest, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &g_data, nSelector);
}

} // namespace

class tst_DsmLib : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(scriptedDsm(), "TWAINDSM.dll fixture beside the test"); }
    void init()
    {
        resetScript();
        scriptedDsm()->rc = TWRC_CANCEL;
    }
    void cleanup() { UnloadDSMLib(); }

    void libName_data()
    {
        QTest::addColumn<int>("selector");
        QTest::addColumn<QString>("name");
        QTest::newRow("1") << 1 << "TWAIN_32.dll";
        QTest::newRow("0") << 0 << "TWAINDSM.dll";
        QTest::newRow("2") << 2 << "TWAINDSM.dll";
        QTest::newRow("-1") << -1 << "TWAINDSM.dll";
    }
    void libName()
    {
        QFETCH(int, selector);
        QFETCH(QString, name);
        QCOMPARE(QString::fromLatin1(DSMLibName(selector)), name);
    }

    void loadForwardsCalls()
    {
        // Junk in the record shows that the load resets it.
        std::memset(&g_DSMEntryPoint, 0x5A, sizeof(g_DSMEntryPoint));
        StderrCapture err;
        QVERIFY(LoadDSMLib("TWAINDSM.dll"));
        QCOMPARE(callOnce(), TW_UINT16(TWRC_CANCEL));
        QCOMPARE(err.take(), QByteArray());

        QCOMPARE(g_DSMEntryPoint.Size, TW_UINT32(24));
        QVERIFY(!g_DSMEntryPoint.DSM_Entry);
        QVERIFY(!g_DSMEntryPoint.DSM_MemAllocate);
        QVERIFY(!g_DSMEntryPoint.DSM_MemFree);
        QVERIFY(!g_DSMEntryPoint.DSM_MemLock);
        QVERIFY(!g_DSMEntryPoint.DSM_MemUnlock);

        const ScriptedDsmScript* s = scriptedDsm();
        QCOMPARE(s->nCalls, 1);
        QCOMPARE(s->calls[0].pOrigin, &g_origin);
        QCOMPARE(s->calls[0].pDest, &g_dest);
        QCOMPARE(s->calls[0].DG, TW_UINT32(DG_IMAGE));
        QCOMPARE(s->calls[0].DAT, TW_UINT16(DAT_IMAGEINFO));
        QCOMPARE(s->calls[0].MSG, TW_UINT16(MSG_GET));
        QCOMPARE(s->calls[0].pData, static_cast<TW_MEMREF>(&g_data));
    }

    void secondLoadKeepsFirstLibrary()
    {
        QVERIFY(LoadDSMLib("TWAINDSM.dll"));
        StderrCapture err;
        // TWAIN_32.dll has no DSM_Entry: loading it would fail.
        QVERIFY(LoadDSMLib("TWAIN_32.dll"));
        QCOMPARE(callOnce(), TW_UINT16(TWRC_CANCEL));
        QCOMPARE(err.take(), QByteArray());
    }

    void missingLibrary()
    {
        StderrCapture err;
        QVERIFY(!LoadDSMLib("NoSuchDsm.dll"));
        QCOMPARE(err.take(), QByteArray("Error - Could not load DSM: NoSuchDsm.dll\n"));
        QCOMPARE(UnloadDSMLib(), 0);
    }

    void missingExport()
    {
        StderrCapture err;
        QVERIFY(!LoadDSMLib("TWAIN_32.dll"));
        // The library stays held: the next load succeeds at once, calls fail.
        QVERIFY(LoadDSMLib("TWAINDSM.dll"));
        QCOMPARE(callOnce(), TW_UINT16(TWRC_FAILURE));
        QCOMPARE(err.take(), QByteArray("Error - Could not find DSM_Entry function in DSM: TWAIN_32.dll\n"));
        QCOMPARE(scriptedDsm()->nCalls, 0);
        QVERIFY(UnloadDSMLib() != 0);
    }

    void unloadWithNothingLoaded() { QCOMPARE(UnloadDSMLib(), 0); }

    void reloadOnDemandAfterUnload()
    {
        QVERIFY(!LoadDSMLib("TWAIN_32.dll"));
        QVERIFY(UnloadDSMLib() != 0);
        std::memset(&g_DSMEntryPoint, 0x5A, sizeof(g_DSMEntryPoint));
        StderrCapture err;
        // Selector 0 takes TWAINDSM.dll, whatever was loaded before.
        QCOMPARE(callOnce(0), TW_UINT16(TWRC_CANCEL));
        QCOMPARE(err.take(), QByteArray());
        QCOMPARE(scriptedDsm()->nCalls, 1);
        QCOMPARE(g_DSMEntryPoint.Size, TW_UINT32(24));
        QVERIFY(!g_DSMEntryPoint.DSM_MemLock);
    }

    void reloadOnDemandFails()
    {
        StderrCapture err;
        QCOMPARE(callOnce(1), TW_UINT16(TWRC_FAILURE));
        QCOMPARE(err.take(), QByteArray("Error - Could not find DSM_Entry function in DSM: TWAIN_32.dll\n"
                                        "Could not load the DSM: TWAIN_32.dll\n"));
        // Held without an entry: later calls fail without a word and load nothing.
        StderrCapture err2;
        QCOMPARE(callOnce(0), TW_UINT16(TWRC_FAILURE));
        QCOMPARE(err2.take(), QByteArray());
        QCOMPARE(scriptedDsm()->nCalls, 0);
    }
};

QTEST_APPLESS_MAIN(tst_DsmLib)
#include "tst_dsmlib.moc"
