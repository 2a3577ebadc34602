// The application object in this test's own process: its meta-object, the
// lifetime slots, the native event filter, the DSM callback, the window search
// and the image file. The stand-in DSM runs here too, with a source of the
// test's own whose answers to MSG_PROCESSEVENT the test chooses.

#include <QAbstractEventDispatcher>
#include <QFile>
#include <QFileInfo>
#include <QMetaMethod>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "protocol/commandcodes.h"
#include "app/pelirandapp.h"
#include "diag/log.h"
#include "tests/app/filtersource.h"
#include "twain/dsmlib.h"
#include "twain/twainmem.h"

using VantHelper::VantIPCCommand;

namespace {

constexpr int kWaitMs = 30000;
// imageInMemory's row for a block of the DSM's memory.
constexpr uint kDsmBlock = 0xFFFFFFFFu;

// The DSM choice and the identity right after initApp, before the DSM has seen them.
int s_nDsmAfterInit = -1;
TW_IDENTITY s_appIdAfterInit;

QByteArray le16(quint16 v)
{
    QByteArray ba(2, '\0');
    qToLittleEndian<quint16>(v, ba.data());
    return ba;
}

QByteArray le32(quint32 v)
{
    QByteArray ba(4, '\0');
    qToLittleEndian<quint32>(v, ba.data());
    return ba;
}

// For one test, the memory the transfer engine's images come in: Win32 global
// memory (no memory functions of the DSM), or a DSM's own, strict about its
// handles (the C heap; the handle is the block).
class ImageMemory
{
public:
    explicit ImageMemory(bool bDsm) : m_saved(g_DSMEntryPoint)
    {
        g_DSMEntryPoint.DSM_MemAllocate = bDsm ? &allocate : nullptr;
        g_DSMEntryPoint.DSM_MemFree = bDsm ? &release : nullptr;
        g_DSMEntryPoint.DSM_MemLock = bDsm ? &lock : nullptr;
        g_DSMEntryPoint.DSM_MemUnlock = bDsm ? &unlock : nullptr;
    }
    ~ImageMemory() { g_DSMEntryPoint = m_saved; }

private:
    static TW_HANDLE TW_CALLINGSTYLE allocate(TW_UINT32 nSize) { return std::calloc(nSize ? nSize : 1, 1); }
    static void TW_CALLINGSTYLE release(TW_HANDLE h) { std::free(h); }
    static TW_MEMREF TW_CALLINGSTYLE lock(TW_HANDLE h) { return h; }
    static void TW_CALLINGSTYLE unlock(TW_HANDLE) {}
    const TW_ENTRYPOINT m_saved;
};

unsigned handleValue(HWND hWnd)
{
    return static_cast<unsigned>(reinterpret_cast<quintptr>(hWnd));
}

LRESULT CALLBACK recordingWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
QList<UINT> s_lstDispatched;

LRESULT CALLBACK recordingWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg >= WM_USER)
        s_lstDispatched.append(uMsg);
    return DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

} // namespace

class TestAppInProc : public QObject
{
    Q_OBJECT

public:
    TestAppInProc(pelirandApp& app, const QString& sLogPath) : m_app(app), m_sLogPath(sLogPath) {}

private slots:
    void initTestCase();
    void cleanup();
    void metaObject();
    void initialisation();
    void quitIfNotUsed_data();
    void quitIfNotUsed();
    void connectionSlots();
    void connectionLostBeforeLoop();
    void callbackFromAnotherThread();
    void callbackWaitsForCallToReturn();
    void waitingCallbackIsNotBusy();
    void nativeFilter_data();
    void nativeFilter();
    void postedMessagesReachFilter();
    void lastVisibleWindow();
    void fallbackToChild_data();
    void fallbackToChild();
    void longTitle();
    void showLastGUI();
    void enableFindsDialog();
    void imageInMemory_data();
    void imageInMemory();
    void imageInMemoryUnknownHandle();
    void imageInFileIsQueued();

private:
    VantIPCCommand exec(int iCmd, const QList<QVariant>& lstParams);
    QStringList logLines() const;
    // Waits for the line among those after the first nAfter lines.
    bool waitForLogLine(const QString& sLine, int nAfter);
    HWND createWindow(const wchar_t* pszTitle, bool bVisible, HWND hParent = nullptr, DWORD dwStyle = 0);
    int sourceEventCalls() const;

    pelirandApp& m_app;
    QString m_sLogPath;
    QByteArray m_identity;
    QList<HWND> m_lstCreated;
    FilterSourceEventCallsProc m_pfnEventCalls = nullptr;
};

VantIPCCommand TestAppInProc::exec(int iCmd, const QList<QVariant>& lstParams)
{
    VantIPCCommand cmd;
    cmd.iCmd = iCmd;
    cmd.lstParams = lstParams;
    m_app.on_cmdReceived(cmd);
    return cmd;
}

QStringList TestAppInProc::logLines() const
{
    QFile file(m_sLogPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"));
    lines.removeLast();
    if (!lines.isEmpty())
        lines.removeFirst();
    static const QRegularExpression prefix(QStringLiteral("^\\(\\d{6,}\\): "));
    for (QString& line : lines)
        line.remove(prefix);
    return lines;
}

bool TestAppInProc::waitForLogLine(const QString& sLine, int nAfter)
{
    return QTest::qWaitFor([&] { return logLines().mid(nAfter).contains(sLine); }, kWaitMs);
}

HWND TestAppInProc::createWindow(const wchar_t* pszTitle, bool bVisible, HWND hParent, DWORD dwStyle)
{
    const HWND hWnd =
        CreateWindowExW(0, L"tst_appinproc", pszTitle, dwStyle | (bVisible ? WS_VISIBLE : 0), CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hParent, nullptr, nullptr, nullptr);
    m_lstCreated.append(hWnd);
    return hWnd;
}

int TestAppInProc::sourceEventCalls() const
{
    return m_pfnEventCalls ? m_pfnEventCalls() : -1;
}

void TestAppInProc::initTestCase()
{
    WNDCLASSW wc;
    std::memset(&wc, 0, sizeof(wc));
    wc.lpfnWndProc = recordingWindowProc;
    wc.lpszClassName = L"tst_appinproc";
    QVERIFY(RegisterClassW(&wc) != 0);

    // The DSM finds only the test's source (PELIRAND_TWAIN_DIR, set in main).
    QCOMPARE(exec(cmdLoadDSM, {0u}).iResult, 0);
    QCOMPARE(
        exec(cmdTwainCmd, {QByteArray(), DG_CONTROL, DAT_PARENT, MSG_OPENDSM, QByteArray(4, '\0')}).iResult,
        int(TWRC_SUCCESS));
    const VantIPCCommand first =
        exec(cmdTwainCmd, {QByteArray(), DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, QByteArray(156, '\0')});
    QCOMPARE(first.iResult, int(TWRC_SUCCESS));
    m_identity = first.lstResults.at(2).toByteArray();
    QVERIFY(m_identity.mid(122).startsWith(kFilterSourceName));
    QCOMPARE(exec(cmdTwainCmd, {m_identity, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, m_identity}).iResult,
             int(TWRC_SUCCESS));
    QCOMPARE(exec(cmdTwainCmd,
                  {m_identity, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, le16(0) + le16(0) + le32(0)})
                 .iResult,
             int(TWRC_SUCCESS));
    QCOMPARE(int(m_app.m_State), 5);

    const HMODULE hSource = LoadLibraryA(FILTER_SOURCE_FILE);
    QVERIFY(hSource);
    // Through void* as Win32 code does: FARPROC has no parameters to match.
    m_pfnEventCalls = reinterpret_cast<FilterSourceEventCallsProc>(
        reinterpret_cast<void*>(GetProcAddress(hSource, "FilterSource_EventCalls")));
    QVERIFY(m_pfnEventCalls);
}

void TestAppInProc::cleanup()
{
    for (const HWND hWnd : qAsConst(m_lstCreated))
        DestroyWindow(hWnd);
    m_lstCreated.clear();
    QCoreApplication::processEvents();
    m_app.m_State = 5;
    m_app.m_bInCall = false;
}

void TestAppInProc::metaObject()
{
    const QMetaObject* pMeta = m_app.metaObject();
    QStringList lstMethods;
    for (int i = pMeta->methodOffset(); i < pMeta->methodCount(); ++i)
        lstMethods.append(QString::fromLatin1(pMeta->method(i).methodSignature()));
    QCOMPARE(lstMethods, QStringList({"si_CallbackMsg(uint)", "si_EnableDS()", "si_LoadDS()",
                                      "quitifnotused()", "on_cmdReceived(VantHelper::VantIPCCommand&)",
                                      "on_mainAppSrvReady(bool)", "on_mainAppSrvChg(bool)",
                                      "on_ImageInFile(int,QString)", "on_ImageInMemory(void*,qlonglong,bool&)",
                                      "on_ImageInFileQueued(int,QString)", "on_ImageFailed(int,QString)",
                                      "on_CallbackMsg(uint)", "on_EnableDS()", "on_LoadDS()"}));
    QCOMPARE(QString::fromLatin1(pMeta->method(pMeta->methodOffset()).typeName()),
             QStringLiteral("TW_UINT16"));
    QCOMPARE(m_app.qt_metacast("CTwainIODirect"), static_cast<void*>(static_cast<CTwainIODirect*>(&m_app)));
    QCOMPARE(g_pApp, &m_app);
}

void TestAppInProc::initialisation()
{
    const TW_IDENTITY& id = s_appIdAfterInit;
    QCOMPARE(id.Id, TW_UINT32(0));
    QCOMPARE(int(id.Version.MajorNum), 1);
    QCOMPARE(int(id.Version.MinorNum), 0);
    QCOMPARE(int(id.Version.Language), TWLG_ENGLISH_CANADIAN);
    QCOMPARE(int(id.Version.Country), TWCY_CANADA);
    QCOMPARE(QByteArray(id.Version.Info), QByteArray("1.0.1"));
    QCOMPARE(int(id.ProtocolMajor), 2);
    QCOMPARE(int(id.ProtocolMinor), 3);
    QCOMPARE(id.SupportedGroups, TW_UINT32(0x20000003));
    QCOMPARE(QByteArray(id.Manufacturer), QByteArray("vantora software"));
    QCOMPARE(QByteArray(id.ProductFamily), QByteArray("vantora-scan"));
    QCOMPARE(QByteArray(id.ProductName), QByteArray("vantora-scan pelirand"));
    QCOMPARE(s_nDsmAfterInit, 2);
    QCOMPARE(m_app.m_nDSM, 0); // the load command of initTestCase chose 0

    QVERIFY(IsWindow(m_app.m_hParentWnd));
    QVERIFY(!IsWindowVisible(m_app.m_hParentWnd));
    char szTitle[32] = "";
    GetWindowTextA(m_app.m_hParentWnd, szTitle, sizeof(szTitle));
    QCOMPARE(QByteArray(szTitle), QByteArray("pelirand"));
    QVERIFY(logLines().contains(
        QStringLiteral("window handle=%1").arg(handleValue(m_app.m_hParentWnd), 8, 16, QLatin1Char('0'))));

    QCOMPARE(int(m_app.m_dsUI.ShowUI), 1);
    QCOMPARE(int(m_app.m_dsUI.ModalUI), 0);
    QCOMPARE(m_app.m_dsUI.hParent, static_cast<TW_HANDLE>(m_app.m_hParentWnd));
}

void TestAppInProc::quitIfNotUsed_data()
{
    QTest::addColumn<bool>("bConnected");
    QTest::newRow("no connection reported") << false;
    QTest::newRow("connected") << true;
}

void TestAppInProc::quitIfNotUsed()
{
    QFETCH(bool, bConnected);
    m_app.m_bMainAppConnected = bConnected;
    const int nLines = logLines().size();

    // As start-up arms it, with the check's delay shortened.
    QTimer::singleShot(0, &m_app, &pelirandApp::quitifnotused);
    if (bConnected)
        QMetaObject::invokeMethod(
            &m_app, [this] { m_app.exit(7); }, Qt::QueuedConnection);
    QTimer safety;
    safety.setSingleShot(true);
    connect(&safety, &QTimer::timeout, &m_app, [this] { m_app.exit(99); });
    safety.start(kWaitMs);
    const int iResult = m_app.exec();

    QCOMPARE(iResult, bConnected ? 7 : 0);
    QCOMPARE(logLines().mid(nLines),
             bConnected ? QStringList() : QStringList({QStringLiteral("quitting (no client)")}));
    m_app.m_bMainAppConnected = false;
}

void TestAppInProc::connectionSlots()
{
    QVERIFY(m_app.on_mainAppSrvReady(false));
    QVERIFY(m_app.on_mainAppSrvReady(true));

    m_app.on_mainAppSrvChg(true);
    QVERIFY(m_app.m_bMainAppConnected);
    QCOMPARE(logLines().last(), QStringLiteral("connected to mainAppServer"));

    QTimer::singleShot(0, &m_app, [this] { m_app.on_mainAppSrvChg(false); });
    QTimer safety;
    connect(&safety, &QTimer::timeout, &m_app, [this] { m_app.exit(99); });
    safety.start(kWaitMs);
    QCOMPARE(m_app.exec(), 0);
    QCOMPARE(logLines().last(), QStringLiteral("quitting, connection to mainAppServer was closed"));
    m_app.m_bMainAppConnected = false;
}

void TestAppInProc::connectionLostBeforeLoop()
{
    // As when the main application goes away while the greeting waits for its reply.
    m_app.on_mainAppSrvChg(false);
    QCOMPARE(logLines().last(), QStringLiteral("quitting, connection to mainAppServer was closed"));
    QTimer safety;
    connect(&safety, &QTimer::timeout, &m_app, [this] { m_app.exit(99); });
    safety.start(kWaitMs);
    QCOMPARE(m_app.exec(), 0);
}

void TestAppInProc::callbackFromAnotherThread()
{
    QSignalSpy spy(&m_app, &pelirandApp::si_CallbackMsg);
    TW_UINT16 rc = 0xFFFF;
    std::thread source(
        [&rc] { rc = DSMCallback(nullptr, nullptr, DG_CONTROL, DAT_NULL, MSG_DEVICEEVENT, nullptr); });
    source.join();
    QCOMPARE(rc, TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toUInt(), uint(MSG_DEVICEEVENT));

    // The reaction waits for this thread's event loop.
    const QString sLine = QStringLiteral("DSMCallback or ProcessTwainEvent: msg=260");
    const int nLines = logLines().size();
    QVERIFY(!logLines().contains(sLine));
    QVERIFY(waitForLogLine(sLine, nLines));
}

void TestAppInProc::callbackWaitsForCallToReturn()
{
    // As when a source pumps messages inside a call: the reaction is held back
    // until the call has returned.
    const QString sLine = QStringLiteral("DSMCallback or ProcessTwainEvent: msg=259");
    const int nLines = logLines().size();
    m_app.m_bInCall = true;
    emit m_app.si_CallbackMsg(MSG_CLOSEDSOK);
    for (int i = 0; i < 10; ++i)
        QCoreApplication::processEvents();
    QVERIFY(!logLines().mid(nLines).contains(sLine));
    m_app.m_bInCall = false;
    QVERIFY(waitForLogLine(sLine, nLines));
    QCOMPARE(logLines().mid(nLines).count(sLine), 1);
}

void TestAppInProc::nativeFilter_data()
{
    QTest::addColumn<int>("iState");
    QTest::addColumn<bool>("bInCall");
    QTest::addColumn<uint>("uMessage");
    QTest::addColumn<uint>("uReported");
    QTest::addColumn<bool>("bConsumed");
    QTest::addColumn<bool>("bSourceAsked");
    QTest::addColumn<int>("iEmitted");
    QTest::addColumn<QString>("sLine");

    QTest::newRow("state 1") << 1 << false << kWmClaim << uint(MSG_XFERREADY) << false << false << -1
                             << QString();
    QTest::newRow("state 4") << 4 << false << kWmClaim << uint(MSG_XFERREADY) << false << false << -1
                             << QString();
    QTest::newRow("call in progress")
        << 5 << true << kWmClaim << uint(MSG_XFERREADY) << false << false << -1 << QString();
    QTest::newRow("not claimed") << 5 << false << kWmOther << 0u << false << true << -1 << QString();
    QTest::newRow("claimed, MSG_NULL")
        << 5 << false << kWmClaim << uint(MSG_NULL) << true << true << -1 << QString();
    QTest::newRow("claimed, 0x0105") << 6 << false << kWmClaim << 0x0105u << true << true << -1
                                     << QStringLiteral("ProcessTwainEvent: msg=261");
    QTest::newRow("MSG_XFERREADY") << 5 << false << kWmClaim << uint(MSG_XFERREADY) << true << true
                                   << int(MSG_XFERREADY) << QString();
    QTest::newRow("MSG_CLOSEDSREQ") << 7 << false << kWmClaim << uint(MSG_CLOSEDSREQ) << true << true
                                    << int(MSG_CLOSEDSREQ) << QString();
    QTest::newRow("MSG_CLOSEDSOK") << 5 << false << kWmClaim << uint(MSG_CLOSEDSOK) << true << true
                                   << int(MSG_CLOSEDSOK) << QString();
    QTest::newRow("MSG_DEVICEEVENT") << 5 << false << kWmClaim << uint(MSG_DEVICEEVENT) << true << true
                                     << int(MSG_DEVICEEVENT) << QString();
}

void TestAppInProc::nativeFilter()
{
    QFETCH(int, iState);
    QFETCH(bool, bInCall);
    QFETCH(uint, uMessage);
    QFETCH(uint, uReported);
    QFETCH(bool, bConsumed);
    QFETCH(bool, bSourceAsked);
    QFETCH(int, iEmitted);
    QFETCH(QString, sLine);

    m_app.m_State = static_cast<TW_UINT16>(iState);
    m_app.m_bInCall = bInCall;
    QSignalSpy spy(&m_app, &pelirandApp::si_CallbackMsg);
    const int nCalls = sourceEventCalls();
    const int nLines = logLines().size();

    MSG msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.hwnd = m_app.m_hParentWnd;
    msg.message = uMessage;
    msg.wParam = uReported;
    long lResult = 12345;
    const bool bResult = QAbstractEventDispatcher::instance()->filterNativeEvent(
        QByteArrayLiteral("windows_generic_MSG"), &msg, &lResult);
    m_app.m_bInCall = false;

    QCOMPARE(bResult, bConsumed);
    QCOMPARE(lResult, 12345L);
    QCOMPARE(sourceEventCalls() - nCalls, bSourceAsked ? 1 : 0);
    QCOMPARE(logLines().mid(nLines), sLine.isEmpty() ? QStringList() : QStringList({sLine}));
    QCOMPARE(spy.count(), iEmitted < 0 ? 0 : 1);
    if (iEmitted >= 0)
        QCOMPARE(spy.at(0).at(0).toUInt(), uint(iEmitted));
    // The queued reactions run now, outside the filter.
    QCoreApplication::processEvents();
}

void TestAppInProc::postedMessagesReachFilter()
{
    s_lstDispatched.clear();
    const HWND hWnd = createWindow(L"posted", false);

    // Claimed: the source's message reaches on_CallbackMsg, not the window.
    const int nLines = logLines().size();
    QVERIFY(PostMessageW(hWnd, kWmClaim, MSG_CLOSEDSREQ, 0));
    QVERIFY(waitForLogLine(QStringLiteral("DSMCallback or ProcessTwainEvent: msg=258"), nLines));

    // Not claimed, and no source enabled: both go on to the window procedure.
    const int nCalls = sourceEventCalls();
    QVERIFY(PostMessageW(hWnd, kWmOther, 0, 0));
    QVERIFY(QTest::qWaitFor([] { return s_lstDispatched.size() == 1; }, kWaitMs));
    QCOMPARE(sourceEventCalls(), nCalls + 1);
    m_app.m_State = 4;
    QVERIFY(PostMessageW(hWnd, kWmClaim, MSG_XFERREADY, 0));
    QVERIFY(QTest::qWaitFor([] { return s_lstDispatched.size() == 2; }, kWaitMs));
    QCOMPARE(sourceEventCalls(), nCalls + 1);
    QCOMPARE(s_lstDispatched, QList<UINT>({kWmOther, kWmClaim}));
}

void TestAppInProc::lastVisibleWindow()
{
    const HWND hFirst = createWindow(L"dialog one", true);
    const HWND hHidden = createWindow(L"hidden one", false);
    const HWND hSecond = createWindow(L"dialog two", true);
    Q_UNUSED(hFirst);
    Q_UNUSED(hHidden);
    Q_UNUSED(hSecond);

    // The platform's own enumeration order decides which one is last.
    QVector<HWND> lstOrder;
    EnumWindows(
        [](HWND hWnd, LPARAM lParam) -> BOOL {
            DWORD dwPid = 0;
            GetWindowThreadProcessId(hWnd, &dwPid);
            if (dwPid == GetCurrentProcessId())
                reinterpret_cast<QVector<HWND>*>(lParam)->append(hWnd);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&lstOrder));
    HWND hExpected = nullptr;
    QStringList lstExpected({QStringLiteral("child window 0")});
    for (const HWND hWnd : lstOrder) {
        char szTitle[256] = "";
        GetWindowTextA(hWnd, szTitle, sizeof(szTitle));
        lstExpected.append(QStringLiteral("windows %1, name=%2, isvisible=%3")
                               .arg(handleValue(hWnd), 0, 16)
                               .arg(QString::fromUtf8(szTitle))
                               .arg(IsWindowVisible(hWnd) ? 1 : 0));
        if (IsWindowVisible(hWnd))
            hExpected = hWnd;
    }
    QVERIFY(lstOrder.contains(m_app.m_hParentWnd));

    const int nLines = logLines().size();
    QCOMPARE(m_app.FindLastDSWindow(), hExpected);
    QCOMPARE(logLines().mid(nLines), lstExpected);
    QCOMPARE(m_app.m_lstWindows, lstOrder);
}

void TestAppInProc::fallbackToChild_data()
{
    QTest::addColumn<bool>("bChild");
    QTest::newRow("first child of the hidden window") << true;
    QTest::newRow("no child") << false;
}

void TestAppInProc::fallbackToChild()
{
    QFETCH(bool, bChild);
    createWindow(L"invisible", false);
    const HWND hChild = bChild ? createWindow(L"child", true, m_app.m_hParentWnd, WS_CHILD) : nullptr;

    const int nLines = logLines().size();
    QCOMPARE(m_app.FindLastDSWindow(), hChild);
    QCOMPARE(logLines().at(nLines), QStringLiteral("child window %1").arg(handleValue(hChild), 0, 16));
}

void TestAppInProc::longTitle()
{
    const std::wstring title(300, L'x');
    const HWND hWnd = createWindow(title.c_str(), true);
    const int nLines = logLines().size();
    QCOMPARE(m_app.FindLastDSWindow(), hWnd);
    QVERIFY(logLines().mid(nLines).contains(QStringLiteral("windows %1, name=%2, isvisible=1")
                                                .arg(handleValue(hWnd), 0, 16)
                                                .arg(QString(248, QLatin1Char('x')))));
}

void TestAppInProc::showLastGUI()
{
    const HWND hDialog = createWindow(L"minimised dialog", true);
    ShowWindow(hDialog, SW_MINIMIZE);
    QVERIFY(IsIconic(hDialog));
    SetForegroundWindow(m_app.m_hParentWnd);
    m_app.m_hDSWindow = hDialog;

    VantIPCCommand cmd = exec(cmdShowLastGUI, {});
    QCOMPARE(cmd.iResult, 1);
    // Shown, but on the offscreen platform: nobody sees it.
    QCOMPARE(cmd.lstResults, QList<QVariant>{int(dialogNoDisplay)});
    QVERIFY(!IsIconic(hDialog));
    QCOMPARE(GetForegroundWindow(), hDialog);
    QCOMPARE(logLines().last(),
             QStringLiteral("ShowLastGUI: dlgwindow=%1, ret=1").arg(handleValue(hDialog), 0, 16));

    // Gone without a disable: remembered, but no longer shown.
    DestroyWindow(hDialog);
    m_lstCreated.removeAll(hDialog);
    cmd = exec(cmdShowLastGUI, {});
    QCOMPARE(cmd.iResult, 0);
    QCOMPARE(logLines().last(),
             QStringLiteral("ShowLastGUI: dlgwindow=%1, ret=0").arg(handleValue(hDialog), 0, 16));
    m_app.m_hDSWindow = nullptr;
}

void TestAppInProc::enableFindsDialog()
{
    QCOMPARE(exec(cmdTwainCmd,
                  {m_identity, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, le16(0) + le16(0) + le32(0)})
                 .iResult,
             int(TWRC_SUCCESS));
    QCOMPARE(int(m_app.m_State), 4);
    const HWND hDialog = createWindow(L"source dialog", true);
    SetForegroundWindow(m_app.m_hParentWnd);

    const VantIPCCommand cmd = exec(
        cmdTwainCmd, {m_identity, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, le16(1) + le16(0) + le32(0)});
    QCOMPARE(cmd.iResult, int(TWRC_SUCCESS));
    QCOMPARE(m_app.m_hDSWindow, hDialog);
    QCOMPARE(GetForegroundWindow(), hDialog);
    // The block comes back with the hidden window as its parent.
    QCOMPARE(cmd.lstResults.at(2).toByteArray(), le16(1) + le16(0) + le32(handleValue(m_app.m_hParentWnd)));
    QCOMPARE(logLines().last(), QStringLiteral("state changed from 4 to 5"));
}

void TestAppInProc::imageInMemory_data()
{
    QTest::addColumn<uint>("uFlags");
    QTest::addColumn<int>("iReported");

    QTest::newRow("fixed block") << uint(GMEM_FIXED) << 1000;
    QTest::newRow("moveable block") << uint(GMEM_MOVEABLE) << 1000;
    // A size beyond the block is not read past its end.
    QTest::newRow("size beyond the block") << uint(GMEM_MOVEABLE) << 1500;
    // A TWAIN 2 DSM's memory: the block is read through the DSM, not as global memory.
    QTest::newRow("DSM's block") << uint(kDsmBlock) << 1000;
    QTest::newRow("DSM's block, size beyond it") << uint(kDsmBlock) << (1 << 20);
}

void TestAppInProc::imageInMemory()
{
    QFETCH(uint, uFlags);
    QFETCH(int, iReported);

    const bool bDsm = uFlags == kDsmBlock;
    const ImageMemory memory(bDsm);
    const HGLOBAL hImage = bDsm ? DSMAlloc(1000) : GlobalAlloc(uFlags, 1000);
    QVERIFY(hImage);
    char* pImage = static_cast<char*>(DSMLock(hImage));
    QByteArray expected(1000, '\0');
    for (int i = 0; i < expected.size(); ++i)
        expected[i] = static_cast<char>(i * 7 + 3);
    std::memcpy(pImage, expected.constData(), 1000);
    // Locked once during the emission, as the transfer engine does.
    bool bFree = true;
    const int nLines = logLines().size();
    // The heap may round a DSM block up; the bridge may write that slack, never more.
    const qint64 nBlock = bDsm ? qint64(DSMSize(hImage)) : 1000;
    QVERIFY(nBlock >= 1000);
    m_app.on_ImageInMemory(hImage, iReported, bFree);
    QVERIFY(bFree);
    if (bDsm) {
        DSMUnlock(hImage);
        DSMFree(hImage);
    } else {
        const bool bStillLocked = GlobalUnlock(hImage);
        QVERIFY(!bStillLocked || uFlags == GMEM_FIXED);
        GlobalFree(hImage);
    }

    const QStringList lines = logLines().mid(nLines);
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.mid(0, 3), QStringList({QStringLiteral("on_ImageInMemory,, size=%1").arg(iReported),
                                           QStringLiteral("creating file"), QStringLiteral("file created")}));
    QVERIFY(lines.at(3).startsWith(QLatin1String("on_ImageInFileQueued ")));
    const QString sFile = lines.at(3).mid(int(qstrlen("on_ImageInFileQueued ")));
    const QFileInfo info(sFile);
    QCOMPARE(info.absolutePath(), QDir(QDir::tempPath()).absolutePath());
    QVERIFY(info.fileName().startsWith(QCoreApplication::applicationName() + QLatin1Char('.')));
    QFile file(sFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    QCOMPARE(written.left(1000), expected);
    QCOMPARE(qint64(written.size()), iReported > 1000 ? nBlock : qint64(iReported));
    file.remove();
}

// While a source pumps messages inside a long call, a held-back reaction is
// not re-posted on every pass of the event loop (that keeps a CPU busy for as
// long as the call lasts).
void TestAppInProc::waitingCallbackIsNotBusy()
{
    struct Counter : QObject
    {
        int nEvents = 0;
        bool eventFilter(QObject*, QEvent* pEvent) override
        {
            if (pEvent->type() == QEvent::Timer || pEvent->type() == QEvent::MetaCall)
                ++nEvents;
            return false;
        }
    } counter;
    const QString sLine = QStringLiteral("DSMCallback or ProcessTwainEvent: msg=259");
    const int nLines = logLines().size();
    m_app.m_bInCall = true;
    emit m_app.si_CallbackMsg(MSG_CLOSEDSOK);
    QCoreApplication::processEvents();
    // On the application object the filter sees every object's events.
    m_app.installEventFilter(&counter);
    for (int i = 0; i < 200; ++i)
        QCoreApplication::processEvents();
    m_app.removeEventFilter(&counter);
    // A slow check now and then is fine; one wake-up per pass is not.
    QVERIFY2(counter.nEvents < 50, qPrintable(QString::number(counter.nEvents)));
    m_app.m_bInCall = false;
    QVERIFY(waitForLogLine(sLine, nLines));
    QCOMPARE(logLines().mid(nLines).count(sLine), 1);
}

void TestAppInProc::imageInMemoryUnknownHandle()
{
    const ImageMemory memory(false);
    const HGLOBAL hGone = GlobalAlloc(GMEM_MOVEABLE, 100);
    GlobalFree(hGone);
    const QStringList lstBefore = QDir(QDir::tempPath()).entryList(QDir::Files);
    const int nLines = logLines().size();
    bool bFree = true;
    m_app.on_ImageInMemory(hGone, 100, bFree);
    QVERIFY(bFree);
    const QStringList lines = logLines().mid(nLines);
    QCOMPARE(lines.mid(0, 3),
             QStringList({QStringLiteral("on_ImageInMemory,, size=100"), QStringLiteral("creating file"),
                          QStringLiteral("cannot lock image memory")}));
    // The page is reported as failed, with why; no file is announced and nothing is left behind.
    QVERIFY2(lines.mid(3).filter(QRegularExpression(QStringLiteral(
                                     "^image of page \\d+ failed: the image memory cannot be locked$")))
                     .size() == 1,
             qPrintable(lines.join('\n')));
    QVERIFY(lines.filter(QStringLiteral("on_ImageInFileQueued")).isEmpty());
    QCOMPARE(QDir(QDir::tempPath()).entryList(QDir::Files), lstBefore);
}

void TestAppInProc::imageInFileIsQueued()
{
    // A file the source wrote (id 0) is announced from the event loop.
    const QString sName = QStringLiteral("/scans/page \u00e9.bmp");
    int nLines = logLines().size();
    m_app.on_ImageInFile(0, sName);
    QCOMPARE(logLines().mid(nLines), QStringList({QStringLiteral("on_ImageInFile ") + sName}));
    QVERIFY(waitForLogLine(QStringLiteral("on_ImageInFileQueued ") + sName, nLines));
    // A file the bridge made is announced at once, before the batch goes on.
    nLines = logLines().size();
    m_app.on_ImageInFile(-2, sName);
    QCOMPARE(logLines().mid(nLines), QStringList({QStringLiteral("on_ImageInFile ") + sName,
                                                  QStringLiteral("on_ImageInFileQueued ") + sName}));
}

int main(int argc, char* argv[])
{
    QTemporaryDir tmp;
    if (!tmp.isValid())
        return 1;
    qputenv("TMPDIR", QFile::encodeName(tmp.path()));
    qputenv("PELIRAND_TWAIN_DIR", FILTER_SOURCE_DIR);
    static QString s_sLogPath = tmp.path() + QStringLiteral("/vantora-pelirand.log");
    g_pLogFilePath = &s_sLogPath;

    pelirandApp app(argc, argv);
    app.initApp();
    s_nDsmAfterInit = app.m_nDSM;
    s_appIdAfterInit = app.m_AppID;
    TestAppInProc test(app, s_sLogPath);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_appinproc.moc"
