// CTwainIODirect against a DSM whose answers the test decides: the state
// table, the failure and status path, the refusals, the log lines.

#include <QtTest>

#include "tests/twain/twaintestsupport.h"
#include "twain/dsmlib.h"
#include "twain/twainiodirect.h"

namespace {

enum DataKind
{
    NoData,
    UiModal,
    UiModeless,
    Pending0,
    Pending2,
    PendingUnknown
};

CTwainIODirect* g_pIO = nullptr;
TW_UINT16 g_nestedMsg = 0;
TW_UINT16 g_nestedRc = 0;
TW_UINT16 g_nestedCode = 0;
bool g_bNestedInCall = false;
TW_EVENT g_nestedEvent;

// Makes one nested call from inside the DSM, as a source's message loop could.
TW_UINT16 nestingHook(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16, TW_MEMREF)
{
    static bool s_bInside = false;
    if (s_bInside)
        return TWRC_SUCCESS;
    s_bInside = true;
    g_bNestedInCall = g_pIO->m_bInCall;
    g_nestedRc = g_pIO->TwainCmd(DG_CONTROL, DAT_EVENT, g_nestedMsg, &g_nestedEvent, &g_pIO->m_SourceID);
    g_nestedCode = g_pIO->m_Status.ConditionCode;
    s_bInside = false;
    return TWRC_SUCCESS;
}

struct Payload
{
    TW_USERINTERFACE ui;
    TW_PENDINGXFERS pending;
};

TW_MEMREF payloadFor(DataKind kind, Payload& payload)
{
    std::memset(&payload, 0, sizeof(payload));
    switch (kind) {
    case NoData:
        return nullptr;
    case UiModal:
    case UiModeless:
        payload.ui.ShowUI = 1;
        payload.ui.ModalUI = kind == UiModal ? 1 : 0;
        return &payload.ui;
    case Pending0:
    case Pending2:
    case PendingUnknown:
        payload.pending.Count = kind == Pending0 ? 0 : kind == Pending2 ? 2 : TW_UINT16(0xFFFF);
        return &payload.pending;
    }
    return nullptr;
}

} // namespace

Q_DECLARE_METATYPE(DataKind)

class tst_TwainIODirect : public QObject
{
    Q_OBJECT

private:
    LogCapture m_log;

    // An I/O object in the given state with the scripted DSM loaded.
    void prepare(CTwainIODirect& io, TW_UINT16 state)
    {
        io.m_nDSM = 2;
        QCOMPARE(io.LoadDSM(), TW_UINT16(0));
        io.m_State = state;
        resetScript();
        m_log.clear();
    }

private slots:
    void initTestCase() { QVERIFY2(scriptedDsm(), "TWAINDSM.dll fixture beside the test"); }
    void init()
    {
        resetScript();
        m_log.clear();
    }
    void cleanup() { UnloadDSMLib(); }

    void construction()
    {
        CTwainIODirect io;
        QCOMPARE(io.m_nDSM, 0);
        QCOMPARE(io.m_State, TW_UINT16(1));
        QVERIFY(!io.m_bModalUI);
        QVERIFY(!io.m_bInCall);
        QVERIFY(io.m_bFirstXfer);
        QVERIFY(!io.m_hDSWindow);
        QCOMPARE(io.m_Status.ConditionCode, TW_UINT16(0));
        QCOMPARE(io.m_AppID.Id, TW_UINT32(0));
        QCOMPARE(io.m_SourceID.ProductName[0], '\0');
        io.ReservedOp0();
        QCOMPARE(io.ReservedOp1(), 0);
    }

    void refusedBelowState2()
    {
        CTwainIODirect io;
        QVERIFY(LoadDSMLib("TWAINDSM.dll"));
        QCOMPARE(io.TwainCmd(DG_CONTROL, DAT_PARENT, MSG_OPENDSM, nullptr, nullptr), TW_UINT16(TWRC_FAILURE));
        QCOMPARE(io.m_Status.ConditionCode, TW_UINT16(TWCC_SEQERROR));
        QCOMPARE(io.m_State, TW_UINT16(1));
        QVERIFY(!io.m_bInCall);
        QCOMPARE(scriptedDsm()->nCalls, 0);
        QCOMPARE(m_log.lines(),
                 QStringList({"DG_CONTROL, DAT_PARENT, MSG_OPENDSM, pData=0x00000000, pSrc=0x00000000",
                              "Result = TWRC_FAILURE, Condition Code = TWCC_SEQERROR"}));
    }

    void loadAndUnload()
    {
        CTwainIODirect io;
        io.m_nDSM = 1;
        {
            StderrCapture err;
            QCOMPARE(io.LoadDSM(), TW_UINT16(1));
            QCOMPARE(err.take(),
                     QByteArray("Error - Could not find DSM_Entry function in DSM: TWAIN_32.dll\n"));
        }
        QCOMPARE(io.m_State, TW_UINT16(1));
        UnloadDSMLib();

        io.m_nDSM = 2;
        QCOMPARE(io.LoadDSM(), TW_UINT16(0));
        QCOMPARE(io.m_State, TW_UINT16(2));
        // A held library: LoadDSM answers 0 and puts the state to 2 from anywhere.
        io.m_State = 5;
        QCOMPARE(io.LoadDSM(), TW_UINT16(0));
        QCOMPARE(io.m_State, TW_UINT16(2));

        io.m_State = 4;
        io.UnloadDSM();
        QCOMPARE(io.m_State, TW_UINT16(1));
        QCOMPARE(scriptedDsm()->nCalls, 0);
        QCOMPARE(UnloadDSMLib(), 0);
    }

    void transition_data()
    {
        QTest::addColumn<TW_UINT32>("dg");
        QTest::addColumn<TW_UINT16>("dat");
        QTest::addColumn<TW_UINT16>("msg");
        QTest::addColumn<DataKind>("data");
        QTest::addColumn<TW_UINT16>("rc");
        QTest::addColumn<TW_UINT16>("from");
        QTest::addColumn<TW_UINT16>("to");

        auto row = [](const char* name, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, DataKind data,
                      TW_UINT16 rc, TW_UINT16 from,
                      TW_UINT16 to) { QTest::newRow(name) << dg << dat << msg << data << rc << from << to; };
        row("reset from 6", DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, Pending0, TWRC_SUCCESS, 6, 5);
        row("reset from 7", DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, Pending0, TWRC_SUCCESS, 7, 5);
        row("native get", DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, NoData, TWRC_XFERDONE, 6, 7);
        row("native cancel", DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, NoData, TWRC_CANCEL, 6, 7);
        row("memory get", DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, NoData, TWRC_SUCCESS, 6, 7);
        row("file get", DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, NoData, TWRC_XFERDONE, 6, 7);
        row("memfile get", DG_IMAGE, DAT_IMAGEMEMFILEXFER, MSG_GET, NoData, TWRC_SUCCESS, 7, 7);
        row("open dsm", DG_CONTROL, DAT_PARENT, MSG_OPENDSM, NoData, TWRC_SUCCESS, 2, 3);
        row("open dsm, DG ignored", DG_AUDIO, DAT_PARENT, MSG_OPENDSM, NoData, TWRC_SUCCESS, 2, 3);
        row("close dsm", DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, NoData, TWRC_SUCCESS, 3, 2);
        row("open ds", DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, NoData, TWRC_SUCCESS, 3, 4);
        row("close ds", DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, NoData, TWRC_SUCCESS, 4, 3);
        row("disable", DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, UiModal, TWRC_SUCCESS, 5, 4);
        row("enable from 4", DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, UiModal, TWRC_SUCCESS, 4, 5);
        row("enable in 6", DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, UiModeless, TWRC_SUCCESS, 6, 6);
        row("enable ui only", DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDSUIONLY, UiModeless, TWRC_SUCCESS, 4,
            5);
        row("endxfer count 0", DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, Pending0, TWRC_SUCCESS, 7, 5);
        row("endxfer count 2", DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, Pending2, TWRC_SUCCESS, 7, 6);
        row("endxfer count -1", DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, PendingUnknown, TWRC_SUCCESS, 7,
            6);
        row("endxfer no data", DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, NoData, TWRC_SUCCESS, 7, 6);
        row("pending get", DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, Pending2, TWRC_SUCCESS, 6, 6);
        row("capability get", DG_CONTROL, DAT_CAPABILITY, MSG_GET, NoData, TWRC_SUCCESS, 4, 4);
        row("image info", DG_IMAGE, DAT_IMAGEINFO, MSG_GET, NoData, TWRC_SUCCESS, 6, 6);
        row("process event", DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, NoData, TWRC_DSEVENT, 5, 5);
        row("end of list", DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, NoData, TWRC_ENDOFLIST, 3, 3);
    }
    void transition()
    {
        QFETCH(TW_UINT32, dg);
        QFETCH(TW_UINT16, dat);
        QFETCH(TW_UINT16, msg);
        QFETCH(DataKind, data);
        QFETCH(TW_UINT16, rc);
        QFETCH(TW_UINT16, from);
        QFETCH(TW_UINT16, to);

        CTwainIODirect io;
        prepare(io, from);
        io.m_hDSWindow = reinterpret_cast<HWND>(quintptr(0x4321));
        scriptedDsm()->rc = rc;
        Payload payload;
        TW_MEMREF pData = payloadFor(data, payload);

        QCOMPARE(io.TwainCmd(dg, dat, msg, pData, &io.m_SourceID), rc);
        QCOMPARE(io.m_State, to);
        QCOMPARE(io.m_Status.ConditionCode, TW_UINT16(TWCC_SUCCESS));
        QVERIFY(!io.m_bInCall);
        QCOMPARE(io.m_hDSWindow == nullptr, msg == MSG_DISABLEDS);
        QCOMPARE(scriptedDsm()->nCalls, 1);
        const ScriptedDsmCall& call = scriptedDsm()->calls[0];
        QCOMPARE(call.pOrigin, &io.m_AppID);
        QCOMPARE(call.pDest, &io.m_SourceID);
        QCOMPARE(call.DG, dg);
        QCOMPARE(call.DAT, dat);
        QCOMPARE(call.MSG, msg);
        QCOMPARE(call.pData, pData);

        const bool bTransition = from != to;
        const bool bEnable = msg == MSG_ENABLEDS || msg == MSG_ENABLEDSUIONLY;
        const QStringList lines = m_log.lines();
        if (msg == MSG_PROCESSEVENT) {
            QCOMPARE(lines, QStringList());
            return;
        }
        QCOMPARE(lines.size(), 2 + (bTransition ? 1 : 0) + (bEnable ? 1 : 0));
        if (bTransition)
            QCOMPARE(lines.at(lines.size() - 2),
                     QString::asprintf("* State transition %d -> %d *", from, to));
        if (bEnable)
            QCOMPARE(lines.at(1), data == UiModal ? QString("isModal=1  ") : QString("isModal=0  "));
    }

    void logLinesOfOneCall()
    {
        CTwainIODirect io;
        prepare(io, 2);
        TW_UINT32 parent = 0;
        QCOMPARE(io.TwainCmd(DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &parent, nullptr), TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(m_log.lines(), QStringList({"DG_CONTROL, DAT_PARENT, MSG_OPENDSM, pData=0x" + hex8(&parent) +
                                                 ", pSrc=0x00000000",
                                             "* State transition 2 -> 3 *",
                                             "Result = TWRC_SUCCESS, Condition Code = TWCC_SUCCESS"}));

        m_log.clear();
        TW_USERINTERFACE ui = {1, 1, nullptr};
        io.m_State = 4;
        QCOMPARE(io.TwainCmd(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui, &io.m_SourceID),
                 TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(m_log.lines(), QStringList({"DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, pData=0x" +
                                                 hex8(&ui) + ", pSrc=0x" + hex8(&io.m_SourceID),
                                             "isModal=1  ", "* State transition 4 -> 5 *",
                                             "Result = TWRC_SUCCESS, Condition Code = TWCC_SUCCESS"}));
    }

    void failureAsksForStatus_data()
    {
        QTest::addColumn<TW_UINT16>("rc");
        QTest::addColumn<TW_UINT16>("statusRc");
        QTest::addColumn<TW_UINT16>("code");
        QTest::addColumn<QString>("codeName");
        // The condition the status query writes: what the source says, never the call's own code.
        QTest::addColumn<TW_UINT16>("statusWrites");
        QTest::newRow("failure") << TW_UINT16(TWRC_FAILURE) << TW_UINT16(TWRC_SUCCESS)
                                 << TW_UINT16(TWCC_BADCAP) << "TWCC_BADCAP" << TW_UINT16(TWCC_BADCAP);
        QTest::newRow("checkstatus") << TW_UINT16(TWRC_CHECKSTATUS) << TW_UINT16(TWRC_SUCCESS)
                                     << TW_UINT16(TWCC_BADVALUE) << "TWCC_BADVALUE" << TW_UINT16(TWCC_BADVALUE);
        // A source that gives no reason: none is made up.
        QTest::newRow("failure, status fails") << TW_UINT16(TWRC_FAILURE) << TW_UINT16(TWRC_FAILURE)
                                               << TW_UINT16(0) << "TWCC_SUCCESS" << TW_UINT16(TWCC_BUMMER);
        QTest::newRow("checkstatus, status fails") << TW_UINT16(TWRC_CHECKSTATUS) << TW_UINT16(TWRC_FAILURE)
                                                   << TW_UINT16(0) << "TWCC_SUCCESS" << TW_UINT16(TWCC_BUMMER);
        QTest::newRow("failure, the source says success") << TW_UINT16(TWRC_FAILURE) << TW_UINT16(TWRC_SUCCESS)
                                                          << TW_UINT16(0) << "TWCC_SUCCESS" << TW_UINT16(0);
    }
    void failureAsksForStatus()
    {
        QFETCH(TW_UINT16, rc);
        QFETCH(TW_UINT16, statusRc);
        QFETCH(TW_UINT16, code);
        QFETCH(QString, codeName);
        QFETCH(TW_UINT16, statusWrites);

        CTwainIODirect io;
        prepare(io, 4);
        io.m_bFirstXfer = false;
        io.m_hDSWindow = reinterpret_cast<HWND>(quintptr(0x4321));
        ScriptedDsmScript* s = scriptedDsm();
        s->rc = rc;
        s->statusRc = statusRc;
        s->statusCode = statusWrites;
        TW_USERINTERFACE ui = {1, 1, nullptr};

        // A failed enable changes neither the state nor any of the flags; an
        // enable answered TWRC_CHECKSTATUS enabled the source all the same.
        const bool bEnabled = rc == TWRC_CHECKSTATUS;
        QCOMPARE(io.TwainCmd(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui, &io.m_SourceID), rc);
        QCOMPARE(io.m_Status.ConditionCode, code);
        QCOMPARE(io.m_State, TW_UINT16(bEnabled ? 5 : 4));
        QCOMPARE(io.m_bModalUI, bEnabled);
        QVERIFY(!io.m_bFirstXfer);
        QCOMPARE(io.m_hDSWindow, reinterpret_cast<HWND>(quintptr(0x4321)));
        QCOMPARE(s->nCalls, 2);
        QCOMPARE(s->calls[1].pOrigin, &io.m_AppID);
        QCOMPARE(s->calls[1].pDest, &io.m_SourceID);
        QCOMPARE(s->calls[1].DG, TW_UINT32(DG_CONTROL));
        QCOMPARE(s->calls[1].DAT, TW_UINT16(DAT_STATUS));
        QCOMPARE(s->calls[1].MSG, TW_UINT16(MSG_GET));
        QCOMPARE(s->calls[1].pData, static_cast<TW_MEMREF>(&io.m_Status));

        const QStringList lines = m_log.lines();
        QCOMPARE(lines.size(), bEnabled ? 4 : 2);
        if (bEnabled)
            QCOMPARE(lines.mid(1, 2), QStringList({"isModal=1  ", "* State transition 4 -> 5 *"}));
        QCOMPARE(lines.last(), QString("Result = %1, Condition Code = %2")
                                  .arg(rc == TWRC_FAILURE ? "TWRC_FAILURE" : "TWRC_CHECKSTATUS", codeName));
    }

    void failedOpenDsmKeepsState()
    {
        CTwainIODirect io;
        prepare(io, 2);
        scriptedDsm()->rc = TWRC_FAILURE;
        scriptedDsm()->statusCode = TWCC_OPERATIONERROR;
        QCOMPARE(io.TwainCmd(DG_CONTROL, DAT_PARENT, MSG_OPENDSM, nullptr, nullptr), TW_UINT16(TWRC_FAILURE));
        QCOMPARE(io.m_State, TW_UINT16(2));
        QCOMPARE(io.m_Status.ConditionCode, TW_UINT16(TWCC_OPERATIONERROR));
        QCOMPARE(scriptedDsm()->calls[1].pDest, pTW_IDENTITY(nullptr));
    }

    void reentrantCallRefused_data()
    {
        QTest::addColumn<TW_UINT16>("nestedMsg");
        QTest::newRow("process event") << TW_UINT16(MSG_PROCESSEVENT);
        QTest::newRow("other message") << TW_UINT16(MSG_GET);
    }
    void reentrantCallRefused()
    {
        QFETCH(TW_UINT16, nestedMsg);
        CTwainIODirect io;
        prepare(io, 5);
        g_pIO = &io;
        g_nestedMsg = nestedMsg;
        g_nestedRc = 0xFFFF;
        scriptedDsm()->hook = nestingHook;

        QCOMPARE(io.TwainCmd(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, nullptr, &io.m_SourceID),
                 TW_UINT16(TWRC_SUCCESS));
        QVERIFY(g_bNestedInCall);
        QCOMPARE(g_nestedRc, TW_UINT16(TWRC_FAILURE));
        QCOMPARE(g_nestedCode, TW_UINT16(TWCC_DENIED));
        // Only the outer call reached the DSM, and it still reports its own success.
        QCOMPARE(scriptedDsm()->nCalls, 1);
        QVERIFY(!io.m_bInCall);
        QCOMPARE(io.m_State, TW_UINT16(4));
        QCOMPARE(io.m_Status.ConditionCode, TW_UINT16(TWCC_SUCCESS));

        QStringList expected{"DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, pData=0x00000000, pSrc=0x" +
                             hex8(&io.m_SourceID)};
        if (nestedMsg != MSG_PROCESSEVENT)
            expected << "DG_CONTROL, DAT_EVENT, MSG_GET, pData=0x" + hex8(&g_nestedEvent) + ", pSrc=0x" +
                            hex8(&io.m_SourceID)
                     << "*** Attempt to make re-entrant TWAIN call rejected"
                     << "Result = TWRC_FAILURE, Condition Code = TWCC_DENIED";
        expected << "* State transition 5 -> 4 *"
                 << "Result = TWRC_SUCCESS, Condition Code = TWCC_SUCCESS";
        QCOMPARE(m_log.lines(), expected);
        g_pIO = nullptr;
    }

    void firstXferFollowsTransferReady()
    {
        CTwainIODirect io;
        prepare(io, 5);
        io.m_bFirstXfer = false;

        io.NotifyDSMsg(MSG_CLOSEDSREQ);
        QCOMPARE(io.m_State, TW_UINT16(5));
        QVERIFY(!io.m_bFirstXfer);

        io.NotifyDSMsg(MSG_XFERREADY);
        QCOMPARE(io.m_State, TW_UINT16(6));
        QVERIFY(io.m_bFirstXfer);

        TW_MEMREF hImage = nullptr;
        QCOMPARE(io.TwainCmd(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &hImage, &io.m_SourceID),
                 TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(io.m_State, TW_UINT16(7));
        QVERIFY(!io.m_bFirstXfer);

        // Back to 6 within the batch: the flag stays clear.
        TW_PENDINGXFERS pending = {1, {0}};
        io.TwainCmd(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending, &io.m_SourceID);
        QCOMPARE(io.m_State, TW_UINT16(6));
        QVERIFY(!io.m_bFirstXfer);

        io.m_State = 7;
        io.NotifyDSMsg(MSG_XFERREADY);
        QCOMPARE(io.m_State, TW_UINT16(6));
        QVERIFY(!io.m_bFirstXfer);

        // Entering 6 from below through TwainCmd sets it again.
        io.m_State = 5;
        io.TwainCmd(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending, &io.m_SourceID);
        QCOMPARE(io.m_State, TW_UINT16(6));
        QVERIFY(io.m_bFirstXfer);
    }

    void modalUiFollowsEnable()
    {
        CTwainIODirect io;
        prepare(io, 4);
        TW_USERINTERFACE ui = {1, 1, nullptr};
        io.TwainCmd(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui, &io.m_SourceID);
        QVERIFY(io.m_bModalUI);

        // Without data the flag stays, and its line still shows it.
        m_log.clear();
        io.TwainCmd(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDSUIONLY, nullptr, &io.m_SourceID);
        QVERIFY(io.m_bModalUI);
        QVERIFY(m_log.lines().contains("isModal=1  "));

        ui.ModalUI = 0;
        io.TwainCmd(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDSUIONLY, &ui, &io.m_SourceID);
        QVERIFY(!io.m_bModalUI);
    }

    void showLastGui()
    {
        WNDCLASSW wc;
        std::memset(&wc, 0, sizeof(wc));
        wc.lpfnWndProc = DefWindowProcW;
        wc.lpszClassName = L"tst_twainiodirect";
        QVERIFY(RegisterClassW(&wc));
        const HWND hOther = CreateWindowExW(0, L"tst_twainiodirect", L"other", WS_VISIBLE, 0, 0, 10, 10,
                                            nullptr, nullptr, nullptr, nullptr);
        const HWND hDialog = CreateWindowExW(0, L"tst_twainiodirect", L"dialog", WS_VISIBLE | WS_MINIMIZE, 0,
                                             0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        QVERIFY(hOther && hDialog);
        SetForegroundWindow(hOther);

        CTwainIODirect io;
        io.m_hDSWindow = hDialog;
        QVERIFY(IsIconic(hDialog));
        // A minimised dialog is restored before it is raised and given the focus.
        QVERIFY(io.ShowLastGUI());
        QVERIFY(!IsIconic(hDialog));
        QCOMPARE(GetForegroundWindow(), hDialog);
        QCOMPARE(GetActiveWindow(), hDialog);
        QCOMPARE(GetFocus(), hDialog);

        // A destroyed or null window: false, and nothing is touched.
        SetForegroundWindow(hOther);
        DestroyWindow(hDialog);
        QVERIFY(!io.ShowLastGUI());
        QCOMPARE(GetForegroundWindow(), hOther);
        io.m_hDSWindow = nullptr;
        QVERIFY(!io.ShowLastGUI());
        QCOMPARE(GetForegroundWindow(), hOther);
        DestroyWindow(hOther);
        QVERIFY(m_log.lines().isEmpty());
    }
};

QTEST_APPLESS_MAIN(tst_TwainIODirect)
#include "tst_twainiodirect.moc"
