// The stand-in DSM, driven through DSM_Entry as an application drives it, with
// two tiny sources copied into a folder of the test's own.

#include "platform/win32.h"
#include "tests/dsm/testsource.h"
#include "twain/twain.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// What the application's callback saw.
struct CallbackLog
{
    std::mutex mutex;
    int calls = 0;
    TW_UINT32 originId = 0;
    TW_UINT32 destId = 0;
    TW_UINT32 dg = 0;
    TW_UINT16 dat = 0;
    TW_UINT16 msg = 0;
    TW_MEMREF data = nullptr;
    std::thread::id thread;
    TW_UINT16 result = TWRC_SUCCESS;

    void reset(TW_UINT16 answer = TWRC_SUCCESS)
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls = 0;
        originId = destId = dg = 0;
        dat = msg = 0;
        data = nullptr;
        thread = std::thread::id();
        result = answer;
    }
};

CallbackLog g_callback;

TW_UINT16 TW_CALLINGSTYLE appCallback(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat,
                                      TW_UINT16 msg, TW_MEMREF data)
{
    std::lock_guard<std::mutex> lock(g_callback.mutex);
    ++g_callback.calls;
    g_callback.originId = origin ? origin->Id : 0;
    g_callback.destId = dest ? dest->Id : 0;
    g_callback.dg = dg;
    g_callback.dat = dat;
    g_callback.msg = msg;
    g_callback.data = data;
    g_callback.thread = std::this_thread::get_id();
    return g_callback.result;
}

TW_IDENTITY named(const char* name, TW_UINT32 id = 0)
{
    TW_IDENTITY identity{};
    identity.Id = id;
    std::strncpy(identity.ProductName, name, sizeof identity.ProductName - 1);
    return identity;
}

QByteArray nameOf(const TW_IDENTITY& identity)
{
    return QByteArray(identity.ProductName, int(strnlen(identity.ProductName, sizeof identity.ProductName)));
}

struct TestSource
{
    HMODULE module = nullptr;
    TestSourceInfoProc info = nullptr;
    TestSourceConfigureProc configure = nullptr;
    TestSourceNotifyProc notify = nullptr;

    TestSourceInfo read() const
    {
        TestSourceInfo result{};
        info(&result);
        return result;
    }

    void set(TW_UINT16 failOpenWith, TW_UINT16 eventRc = TWRC_NOTDSEVENT, TW_UINT16 eventMsg = MSG_NULL,
             TW_UINT16 notifyInside = 0) const
    {
        const TestSourceConfig config{failOpenWith, eventRc, eventMsg, notifyInside};
        configure(&config);
    }
};

template <typename Proc>
Proc resolve(HMODULE module, const char* name)
{
    return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

} // namespace

class TestDsm : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void openAndCloseDsm_data();
    void openAndCloseDsm();
    void refusedBeforeOpenDsm_data();
    void refusedBeforeOpenDsm();
    void listsSources();
    void withoutSources_data();
    void withoutSources();
    void defaultSource_data();
    void defaultSource();
    void opensSource_data();
    void opensSource();
    void refusesToOpen_data();
    void refusesToOpen();
    void givesEntryPointToTwain2Sources();
    void entryPointForApplications_data();
    void entryPointForApplications();
    void routesByDestination_data();
    void routesByDestination();
    void dsmTripletsWithDestination_data();
    void dsmTripletsWithDestination();
    void callbackOnlyByDefault();
    void forwardsToSource();
    void registersCallback_data();
    void registersCallback();
    void refusesEveryCallback();
    void relaysToCallback_data();
    void relaysToCallback();
    void queuesWithoutCallback_data();
    void queuesWithoutCallback();
    void sourceClaimsEventFirst();
    void wakesApplicationWindow_data();
    void wakesApplicationWindow();
    void refusesBadNotifications_data();
    void refusesBadNotifications();
    void notificationFromInsideSourceCall_data();
    void notificationFromInsideSourceCall();
    void notificationsFromManyThreads();
    void closesSource();
    void staysUsableAfterBeingFreed();

private:
    TW_UINT16 call(pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data)
    {
        return m_entry(&m_app, dest, dg, dat, msg, data);
    }
    // DAT_STATUS as the application asks it after a failure.
    TW_UINT16 condition(pTW_IDENTITY dest = nullptr)
    {
        TW_STATUS status{};
        status.ConditionCode = 0xBEEF;
        if (call(dest, DG_CONTROL, DAT_STATUS, MSG_GET, &status) != TWRC_SUCCESS)
            return 0xDEAD;
        return status.ConditionCode;
    }
    TW_UINT16 openDsm() { return call(nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, nullptr); }
    TW_UINT16 openSource(TW_IDENTITY& source)
    {
        return call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source);
    }
    TW_UINT16 processEvent(TW_IDENTITY& source, TW_UINT16& message)
    {
        TW_EVENT event{};
        event.pEvent = &event;
        event.TWMessage = MSG_NULL;
        const TW_UINT16 rc = call(&source, DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
        message = event.TWMessage;
        return rc;
    }
    TW_UINT16 registerCallback(TW_IDENTITY& source, TW_UINT16 dat, TW_UINTPTR refCon)
    {
        if (dat == DAT_CALLBACK2) {
            TW_CALLBACK2 callback{};
            callback.CallBackProc = reinterpret_cast<TW_MEMREF>(&appCallback);
            callback.RefCon = refCon;
            return call(&source, DG_CONTROL, DAT_CALLBACK2, MSG_REGISTER_CALLBACK, &callback);
        }
        TW_CALLBACK callback{};
        callback.CallBackProc = reinterpret_cast<TW_MEMREF>(&appCallback);
        callback.RefCon = TW_UINT32(refCon);
        return call(&source, DG_CONTROL, DAT_CALLBACK, MSG_REGISTER_CALLBACK, &callback);
    }
    static TestSource loadSource(const QString& path)
    {
        TestSource source;
        source.module = LoadLibraryA(QFile::encodeName(path).constData());
        if (source.module) {
            source.info = resolve<TestSourceInfoProc>(source.module, "TestSource_Info");
            source.configure = resolve<TestSourceConfigureProc>(source.module, "TestSource_Configure");
            source.notify = resolve<TestSourceNotifyProc>(source.module, "TestSource_Notify");
        }
        return source;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    HMODULE m_dsm = nullptr;
    DSMENTRYPROC m_entry = nullptr;
    TW_IDENTITY m_app{};
    TestSource m_alpha;
    TestSource m_beta;
};

void TestDsm::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    const QString folder = m_dir->path();
    // Sorted by path: alpha.ds (Id 1), junk.ds (skipped), vendor/beta.ds (Id 2).
    QVERIFY(QDir(folder).mkpath("vendor"));
    QVERIFY(QDir(folder).mkpath("empty"));
    QVERIFY(QFile::copy(QStringLiteral(TESTSOURCE_ALPHA), folder + "/alpha.ds"));
    QVERIFY(QFile::copy(QStringLiteral(TESTSOURCE_BETA), folder + "/vendor/beta.ds"));
    QFile junk(folder + "/junk.ds");
    QVERIFY(junk.open(QIODevice::WriteOnly));
    junk.write("not a library");
    junk.close();
    QVERIFY(QFile::copy(QStringLiteral(TESTSOURCE_ALPHA), folder + "/alpha.ds.txt"));

    qputenv("PELIRAND_TWAIN_DIR", QFile::encodeName(folder));
    qunsetenv("PELIRAND_DEFAULT_SOURCE");
    qunsetenv("PELIRAND_DSM_NO_CALLBACK2");
    qunsetenv("PELIRAND_DSM_NO_CALLBACK");
    // Most tests here watch both ways a notification can take; the default
    // without the message route has tests of its own.
    qputenv("PELIRAND_DSM_MESSAGE_ROUTE", "1");

    m_dsm = LoadLibraryA("TWAINDSM.dll");
    QVERIFY(m_dsm);
    m_entry = resolve<DSMENTRYPROC>(m_dsm, "DSM_Entry");
    QVERIFY(m_entry);
    m_alpha = loadSource(folder + "/alpha.ds");
    m_beta = loadSource(folder + "/vendor/beta.ds");
    QVERIFY(m_alpha.info && m_alpha.configure && m_alpha.notify);
    QVERIFY(m_beta.info && m_beta.configure && m_beta.notify);

    m_app = named("tst_dsm");
    m_app.Version.MajorNum = 1;
    m_app.ProtocolMajor = 2;
    m_app.ProtocolMinor = 4;
    m_app.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
    g_callback.reset();
}

void TestDsm::cleanup()
{
    // The DSM stays loaded from test to test: close whatever a test left open,
    // so that the next one starts from a DSM without applications.
    if (m_entry) {
        for (TW_UINT32 appId = 1; appId <= 3; ++appId) {
            TW_IDENTITY app = named("", appId);
            for (TW_UINT32 sourceId : {1u, 2u}) {
                TW_IDENTITY source = named("", sourceId);
                m_entry(&app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source);
            }
            m_entry(&app, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, nullptr);
        }
    }
    if (m_dsm)
        FreeLibrary(m_dsm);
    for (TestSource* source : {&m_alpha, &m_beta}) {
        if (source->module)
            FreeLibrary(source->module);
        *source = TestSource();
    }
    m_dsm = nullptr;
    m_entry = nullptr;
    m_dir.reset();
    qunsetenv("PELIRAND_TWAIN_DIR");
    qunsetenv("PELIRAND_DEFAULT_SOURCE");
    qunsetenv("PELIRAND_DSM_NO_CALLBACK2");
    qunsetenv("PELIRAND_DSM_NO_CALLBACK");
    qunsetenv("PELIRAND_DSM_MESSAGE_ROUTE");
}

void TestDsm::openAndCloseDsm_data()
{
    QTest::addColumn<QByteArray>("library");
    QTest::newRow("TWAINDSM.dll") << QByteArray("TWAINDSM.dll");
    // Loaded beside TWAINDSM.dll: each file keeps its own tables.
    QTest::newRow("TWAIN_32.dll") << QByteArray("TWAIN_32.dll");
}

void TestDsm::openAndCloseDsm()
{
    QFETCH(QByteArray, library);
    HMODULE module = LoadLibraryA(library.constData());
    QVERIFY(module);
    const auto entry = resolve<DSMENTRYPROC>(module, "DSM_Entry");
    QVERIFY(entry);
    auto statusOf = [entry](TW_IDENTITY& app) {
        TW_STATUS status{};
        entry(&app, nullptr, DG_CONTROL, DAT_STATUS, MSG_GET, &status);
        return status.ConditionCode;
    };

    TW_IDENTITY first = m_app;
    TW_IDENTITY second = named("second");
    second.SupportedGroups = DG_CONTROL | DG_IMAGE;
    QCOMPARE(entry(&first, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, nullptr), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(first.Id, TW_UINT32(1));
    QCOMPARE(first.SupportedGroups, TW_UINT32(DG_CONTROL | DG_IMAGE | DF_APP2 | DF_DSM2));
    QCOMPARE(entry(&first, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, nullptr), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(statusOf(first), TW_UINT16(TWCC_SEQERROR));

    QCOMPARE(entry(&second, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, nullptr), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(second.Id, TW_UINT32(2));
    QVERIFY(second.SupportedGroups & DF_DSM2);

    QCOMPARE(entry(&first, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, nullptr), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(entry(&first, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, nullptr), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(statusOf(first), TW_UINT16(TWCC_SEQERROR));
    QCOMPARE(entry(&second, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, nullptr), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(statusOf(second), TW_UINT16(TWCC_SUCCESS));
    FreeLibrary(module);
}

void TestDsm::refusedBeforeOpenDsm_data()
{
    QTest::addColumn<ushort>("dat");
    QTest::addColumn<ushort>("msg");
    QTest::addColumn<uint>("destId");
    QTest::newRow("GETFIRST") << ushort(DAT_IDENTITY) << ushort(MSG_GETFIRST) << 0u;
    QTest::newRow("GETDEFAULT") << ushort(DAT_IDENTITY) << ushort(MSG_GETDEFAULT) << 0u;
    QTest::newRow("USERSELECT") << ushort(DAT_IDENTITY) << ushort(MSG_USERSELECT) << 0u;
    QTest::newRow("OPENDS") << ushort(DAT_IDENTITY) << ushort(MSG_OPENDS) << 0u;
    QTest::newRow("CLOSEDSM") << ushort(DAT_PARENT) << ushort(MSG_CLOSEDSM) << 0u;
    QTest::newRow("ENTRYPOINT") << ushort(DAT_ENTRYPOINT) << ushort(MSG_GET) << 0u;
    QTest::newRow("CALLBACK2") << ushort(DAT_CALLBACK2) << ushort(MSG_REGISTER_CALLBACK) << 1u;
    QTest::newRow("capability to a source") << ushort(DAT_CAPABILITY) << ushort(MSG_GET) << 1u;
}

void TestDsm::refusedBeforeOpenDsm()
{
    QFETCH(ushort, dat);
    QFETCH(ushort, msg);
    QFETCH(uint, destId);
    TW_IDENTITY dest = named("", destId);
    std::vector<char> block(512, 0);
    QCOMPARE(call(destId ? &dest : nullptr, DG_CONTROL, dat, msg, block.data()), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(condition(), TW_UINT16(TWCC_SEQERROR));
    QCOMPARE(m_alpha.read().lastOriginId, TW_UINT32(0));
}

void TestDsm::listsSources()
{
    QCOMPARE(openDsm(), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY source{};
    QCOMPARE(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, &source), TW_UINT16(TWRC_ENDOFLIST));

    for (int round = 0; round < 2; ++round) {
        QCOMPARE(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &source), TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(source.Id, TW_UINT32(1));
        QCOMPARE(nameOf(source), QByteArray("Alpha"));
        QCOMPARE(source.SupportedGroups, TW_UINT32(DG_CONTROL | DG_IMAGE | DF_DS2));
        QCOMPARE(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, &source), TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(source.Id, TW_UINT32(2));
        QCOMPARE(nameOf(source), QByteArray("Beta"));
        QCOMPARE(QByteArray(source.Manufacturer), QByteArray("pelirand tests"));
        QCOMPARE(source.ProtocolMajor, TW_UINT16(1));
        QCOMPARE(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, &source), TW_UINT16(TWRC_ENDOFLIST));
        QCOMPARE(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, &source), TW_UINT16(TWRC_ENDOFLIST));
    }
    QCOMPARE(condition(), TW_UINT16(TWCC_SUCCESS));
}

void TestDsm::withoutSources_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<ushort>("msg");
    QTest::addColumn<ushort>("rc");
    QTest::addColumn<ushort>("cc");
    for (const char* folder : {"empty", "missing"}) {
        const QString f = QString::fromLatin1(folder);
        QTest::addRow("%s, GETFIRST", folder)
            << f << ushort(MSG_GETFIRST) << ushort(TWRC_ENDOFLIST) << ushort(TWCC_SUCCESS);
        QTest::addRow("%s, GETDEFAULT", folder)
            << f << ushort(MSG_GETDEFAULT) << ushort(TWRC_FAILURE) << ushort(TWCC_NODS);
        QTest::addRow("%s, USERSELECT", folder)
            << f << ushort(MSG_USERSELECT) << ushort(TWRC_FAILURE) << ushort(TWCC_NODS);
        QTest::addRow("%s, OPENDS", folder)
            << f << ushort(MSG_OPENDS) << ushort(TWRC_FAILURE) << ushort(TWCC_NODS);
    }
}

void TestDsm::withoutSources()
{
    QFETCH(QString, folder);
    QFETCH(ushort, msg);
    QFETCH(ushort, rc);
    QFETCH(ushort, cc);
    qputenv("PELIRAND_TWAIN_DIR", QFile::encodeName(m_dir->filePath(folder)));
    QCOMPARE(openDsm(), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY source{};
    QCOMPARE(call(nullptr, DG_CONTROL, DAT_IDENTITY, msg, &source), TW_UINT16(rc));
    QCOMPARE(condition(), TW_UINT16(cc));
}

void TestDsm::defaultSource_data()
{
    QTest::addColumn<QByteArray>("environment");
    QTest::addColumn<QByteArray>("chosen");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("first found") << QByteArray() << QByteArray() << QByteArray("Alpha");
    QTest::newRow("named by PELIRAND_DEFAULT_SOURCE")
        << QByteArray("Beta") << QByteArray() << QByteArray("Beta");
    QTest::newRow("unknown name in PELIRAND_DEFAULT_SOURCE")
        << QByteArray("Gamma") << QByteArray() << QByteArray("Alpha");
    QTest::newRow("chosen with MSG_SET") << QByteArray() << QByteArray("Beta") << QByteArray("Beta");
    QTest::newRow("MSG_SET over the environment")
        << QByteArray("Alpha") << QByteArray("Beta") << QByteArray("Beta");
}

void TestDsm::defaultSource()
{
    QFETCH(QByteArray, environment);
    QFETCH(QByteArray, chosen);
    QFETCH(QByteArray, expected);
    if (!environment.isEmpty())
        qputenv("PELIRAND_DEFAULT_SOURCE", environment);
    QCOMPARE(openDsm(), TW_UINT16(TWRC_SUCCESS));
    if (!chosen.isEmpty()) {
        TW_IDENTITY choice = named(chosen.constData());
        QCOMPARE(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_SET, &choice), TW_UINT16(TWRC_SUCCESS));
    }
    for (TW_UINT16 msg : {TW_UINT16(MSG_GETDEFAULT), TW_UINT16(MSG_USERSELECT)}) {
        TW_IDENTITY source{};
        QCOMPARE(call(nullptr, DG_CONTROL, DAT_IDENTITY, msg, &source), TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(nameOf(source), expected);
        QVERIFY(source.Id != 0);
    }
    // An identity without Id and name opens the default source.
    TW_IDENTITY any{};
    QCOMPARE(openSource(any), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(nameOf(any), expected);
}

void TestDsm::opensSource_data()
{
    QTest::addColumn<uint>("id");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("by Id") << 2u << QByteArray() << QByteArray("Beta");
    QTest::newRow("Id before name") << 1u << QByteArray("Beta") << QByteArray("Alpha");
    QTest::newRow("by name") << 0u << QByteArray("Beta") << QByteArray("Beta");
    QTest::newRow("default for an empty identity") << 0u << QByteArray() << QByteArray("Alpha");
}

void TestDsm::opensSource()
{
    QFETCH(uint, id);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, expected);
    QCOMPARE(openDsm(), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY source = named(name.constData(), id);
    QCOMPARE(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(nameOf(source), expected);
    const TW_UINT32 expectedId = expected == "Alpha" ? 1 : 2;
    QCOMPARE(source.Id, expectedId);

    const TestSourceInfo info = (expected == "Alpha" ? m_alpha : m_beta).read();
    QCOMPARE(info.open, 1);
    QCOMPARE(info.appId, m_app.Id);
    QCOMPARE(info.self.Id, expectedId);
    QCOMPARE(nameOf(info.self), expected);

    // One application at a time per source.
    TW_IDENTITY again = named("", expectedId);
    QCOMPARE(openSource(again), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(condition(), TW_UINT16(TWCC_MAXCONNECTIONS));
    TW_IDENTITY other = named("other");
    QCOMPARE(m_entry(&other, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, nullptr), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(m_entry(&other, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &again), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(m_entry(&other, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, nullptr),
             TW_UINT16(TWRC_SUCCESS));
}

void TestDsm::refusesToOpen_data()
{
    QTest::addColumn<uint>("id");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("withIdentity");
    QTest::addColumn<ushort>("sourceRefusal");
    QTest::addColumn<ushort>("cc");
    QTest::newRow("unknown Id") << 99u << QByteArray() << true << ushort(0) << ushort(TWCC_NODS);
    QTest::newRow("unknown name") << 0u << QByteArray("Gamma") << true << ushort(0) << ushort(TWCC_NODS);
    QTest::newRow("no identity") << 0u << QByteArray() << false << ushort(0) << ushort(TWCC_BADVALUE);
    QTest::newRow("source refuses") << 1u << QByteArray() << true << ushort(TWCC_LOWMEMORY)
                                    << ushort(TWCC_LOWMEMORY);
}

void TestDsm::refusesToOpen()
{
    QFETCH(uint, id);
    QFETCH(QByteArray, name);
    QFETCH(bool, withIdentity);
    QFETCH(ushort, sourceRefusal);
    QFETCH(ushort, cc);
    m_alpha.set(sourceRefusal);
    QCOMPARE(openDsm(), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY source = named(name.constData(), id);
    QCOMPARE(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, withIdentity ? &source : nullptr),
             TW_UINT16(TWRC_FAILURE));
    QCOMPARE(condition(), TW_UINT16(cc));
    // Asked with the source as destination, the DSM still answers: it refused.
    QCOMPARE(condition(&source), TW_UINT16(cc));

    // Nothing is left half open.
    m_alpha.set(0);
    TW_IDENTITY alpha = named("Alpha");
    QCOMPARE(openSource(alpha), TW_UINT16(TWRC_SUCCESS));
}

void TestDsm::givesEntryPointToTwain2Sources()
{
    QCOMPARE(openDsm(), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY alpha = named("Alpha");
    TW_IDENTITY beta = named("Beta");
    QCOMPARE(openSource(alpha), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(openSource(beta), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(m_beta.read().entryPointCalls, 0);

    const TestSourceInfo info = m_alpha.read();
    QCOMPARE(info.entryPointCalls, 1);
    QCOMPARE(info.entryPointBeforeOpen, 1);
    const TW_ENTRYPOINT& ep = info.entryPoint;
    QCOMPARE(ep.Size, TW_UINT32(sizeof(TW_ENTRYPOINT)));
    QVERIFY(ep.DSM_Entry && ep.DSM_MemAllocate && ep.DSM_MemFree && ep.DSM_MemLock && ep.DSM_MemUnlock);

    // The entry reaches this DSM.
    TW_STATUS status{};
    status.ConditionCode = 0xBEEF;
    QCOMPARE(ep.DSM_Entry(&m_app, nullptr, DG_CONTROL, DAT_STATUS, MSG_GET, &status),
             TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(status.ConditionCode, TW_UINT16(TWCC_SUCCESS));

    // The memory is the C heap (the handle is the block), which Win32 global
    // memory does not know: a party that mixes the two fails here.
    TW_HANDLE handle = ep.DSM_MemAllocate(100);
    QVERIFY(handle);
    QCOMPARE(GlobalSize(static_cast<HGLOBAL>(handle)), SIZE_T(0));
    QVERIFY(!GlobalLock(static_cast<HGLOBAL>(handle)));
    auto* bytes = static_cast<unsigned char*>(ep.DSM_MemLock(handle));
    QCOMPARE(static_cast<void*>(bytes), handle);
    QCOMPARE(int(bytes[0]) + int(bytes[99]), 0);
    bytes[99] = 0x5A;
    ep.DSM_MemUnlock(handle);
    QCOMPARE(int(static_cast<unsigned char*>(ep.DSM_MemLock(handle))[99]), 0x5A);
    ep.DSM_MemUnlock(handle);
    ep.DSM_MemFree(handle);
    QVERIFY(!ep.DSM_MemLock(handle)); // freed: no block any more
    ep.DSM_MemFree(nullptr);
    QVERIFY(!ep.DSM_MemLock(nullptr));

    // Handles it did not hand out are refused, not locked or freed.
    static unsigned char s_notABlock[16];
    QVERIFY(!ep.DSM_MemLock(s_notABlock));
    ep.DSM_MemFree(s_notABlock);
    TW_HANDLE heap = std::malloc(8);
    QVERIFY(!ep.DSM_MemLock(heap));
    ep.DSM_MemFree(heap);
    std::free(heap); // still ours: the DSM left it alone
}

void TestDsm::entryPointForApplications_data()
{
    QTest::addColumn<uint>("size");
    QTest::addColumn<bool>("twain2App");
    QTest::addColumn<ushort>("cc");
    QTest::newRow("TWAIN 2 application") << uint(sizeof(TW_ENTRYPOINT)) << true << ushort(TWCC_SUCCESS);
    QTest::newRow("Size does not match") << uint(sizeof(TW_ENTRYPOINT) + 4) << true << ushort(TWCC_BADVALUE);
    QTest::newRow("application without DF_APP2")
        << uint(sizeof(TW_ENTRYPOINT)) << false << ushort(TWCC_BADPROTOCOL);
}

void TestDsm::entryPointForApplications()
{
    QFETCH(uint, size);
    QFETCH(bool, twain2App);
    QFETCH(ushort, cc);
    if (!twain2App)
        m_app.SupportedGroups &= ~TW_UINT32(DF_APP2);
    QCOMPARE(openDsm(), TW_UINT16(TWRC_SUCCESS));
    TW_ENTRYPOINT ep{};
    ep.Size = size;
    const TW_UINT16 rc = call(nullptr, DG_CONTROL, DAT_ENTRYPOINT, MSG_GET, &ep);
    QCOMPARE(condition(), TW_UINT16(cc));
    QCOMPARE(rc, TW_UINT16(cc == TWCC_SUCCESS ? TWRC_SUCCESS : TWRC_FAILURE));
    QCOMPARE(bool(ep.DSM_Entry && ep.DSM_MemAllocate && ep.DSM_MemFree && ep.DSM_MemLock && ep.DSM_MemUnlock),
             cc == TWCC_SUCCESS);
}

void TestDsm::routesByDestination_data()
{
    QTest::addColumn<uint>("destId");
    QTest::addColumn<bool>("betaOpenedByOther");
    QTest::addColumn<ushort>("cc");
    QTest::newRow("unknown source") << 99u << false << ushort(TWCC_BADDEST);
    QTest::newRow("source not open") << 2u << false << ushort(TWCC_SEQERROR);
    QTest::newRow("source open for another application") << 2u << true << ushort(TWCC_SEQERROR);
    QTest::newRow("no destination") << 0u << false << ushort(TWCC_BADPROTOCOL);
}

void TestDsm::routesByDestination()
{
    QFETCH(uint, destId);
    QFETCH(bool, betaOpenedByOther);
    QFETCH(ushort, cc);
    QCOMPARE(openDsm(), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY alpha = named("Alpha");
    QCOMPARE(openSource(alpha), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY other = named("other");
    TW_IDENTITY beta = named("Beta");
    if (betaOpenedByOther) {
        QCOMPARE(m_entry(&other, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, nullptr),
                 TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(m_entry(&other, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &beta),
                 TW_UINT16(TWRC_SUCCESS));
    }

    TW_IDENTITY dest = named("", destId);
    pTW_IDENTITY destPtr = destId ? &dest : nullptr;
    TW_UINT32 group = 0;
    QCOMPARE(call(destPtr, DG_CONTROL, DAT_XFERGROUP, MSG_GET, &group), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(condition(destPtr), TW_UINT16(cc));
    QCOMPARE(condition(), TW_UINT16(cc));
    QCOMPARE(m_alpha.read().lastDAT, TW_UINT16(DAT_IDENTITY));
    QCOMPARE(m_beta.read().lastDAT, TW_UINT16(betaOpenedByOther ? DAT_IDENTITY : 0));

    if (betaOpenedByOther) {
        QCOMPARE(m_entry(&other, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &beta),
                 TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(m_entry(&other, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, nullptr),
                 TW_UINT16(TWRC_SUCCESS));
    }
}

void TestDsm::dsmTripletsWithDestination_data()
{
    QTest::addColumn<ushort>("dat");
    QTest::addColumn<ushort>("msg");
    QTest::addColumn<bool>("destination");
    QTest::addColumn<ushort>("rc");
    QTest::addColumn<ushort>("cc");
    const struct
    {
        const char* name;
        TW_UINT16 dat;
        TW_UINT16 msg;
        TW_UINT16 rc;
    } triplets[] = {
        {"MSG_OPENDS", DAT_IDENTITY, MSG_OPENDS, TWRC_SUCCESS},
        {"MSG_GETFIRST", DAT_IDENTITY, MSG_GETFIRST, TWRC_SUCCESS},
        {"MSG_GETNEXT", DAT_IDENTITY, MSG_GETNEXT, TWRC_ENDOFLIST},
        {"MSG_GETDEFAULT", DAT_IDENTITY, MSG_GETDEFAULT, TWRC_SUCCESS},
        {"MSG_USERSELECT", DAT_IDENTITY, MSG_USERSELECT, TWRC_SUCCESS},
        {"MSG_SET", DAT_IDENTITY, MSG_SET, TWRC_SUCCESS},
        {"DAT_ENTRYPOINT", DAT_ENTRYPOINT, MSG_GET, TWRC_SUCCESS},
        {"DAT_PARENT MSG_CLOSEDSM", DAT_PARENT, MSG_CLOSEDSM, TWRC_SUCCESS},
    };
    for (const auto& t : triplets) {
        QTest::newRow(QByteArray(t.name).append(", no destination").constData())
            << ushort(t.dat) << ushort(t.msg) << false << ushort(t.rc) << ushort(TWCC_SUCCESS);
        // The source named as destination is not open: nothing answers.
        QTest::newRow(QByteArray(t.name).append(", source as destination").constData())
            << ushort(t.dat) << ushort(t.msg) << true << ushort(TWRC_FAILURE) << ushort(TWCC_OPERATIONERROR);
    }
}

void TestDsm::dsmTripletsWithDestination()
{
    QFETCH(ushort, dat);
    QFETCH(ushort, msg);
    QFETCH(bool, destination);
    QFETCH(ushort, rc);
    QFETCH(ushort, cc);
    QCOMPARE(openDsm(), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY alpha = named("Alpha", 1);
    std::vector<char> block(sizeof(TW_ENTRYPOINT) + sizeof(TW_IDENTITY), 0);
    if (dat == DAT_IDENTITY)
        std::memcpy(block.data(), &alpha, sizeof alpha);
    else if (dat == DAT_ENTRYPOINT) {
        const TW_UINT32 size = sizeof(TW_ENTRYPOINT);
        std::memcpy(block.data(), &size, sizeof size);
    }
    QCOMPARE(call(destination ? &alpha : nullptr, DG_CONTROL, dat, msg, block.data()), TW_UINT16(rc));
    QCOMPARE(condition(), TW_UINT16(cc));
    QCOMPARE(m_alpha.read().open, dat == DAT_IDENTITY && msg == MSG_OPENDS && !destination ? 1 : 0);
    if (destination) {
        // The DSM is still open for the application, and no source is.
        TW_IDENTITY next = named("");
        QCOMPARE(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &next), TW_UINT16(TWRC_SUCCESS));
        QCOMPARE(m_alpha.read().open, 0);
    }
}

void TestDsm::callbackOnlyByDefault()
{
    qunsetenv("PELIRAND_DSM_MESSAGE_ROUTE");
    QCOMPARE(openDsm(), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY alpha = named("Alpha");
    QCOMPARE(openSource(alpha), TW_UINT16(TWRC_SUCCESS));

    // No message route: without a callback a notification reaches nobody.
    QCOMPARE(m_alpha.notify(MSG_XFERREADY, 0), TW_UINT16(TWRC_FAILURE));
    TW_UINT16 message = 0xFFFF;
    QCOMPARE(processEvent(alpha, message), TW_UINT16(TWRC_NOTDSEVENT));
    QCOMPARE(message, TW_UINT16(MSG_NULL));

    QCOMPARE(registerCallback(alpha, DAT_CALLBACK2, 7), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(m_alpha.notify(MSG_XFERREADY, 1), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(g_callback.calls, 1);
    QCOMPARE(g_callback.msg, TW_UINT16(MSG_XFERREADY));
}

void TestDsm::forwardsToSource()
{
    QCOMPARE(openDsm(), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY alpha = named("Alpha");
    QCOMPARE(openSource(alpha), TW_UINT16(TWRC_SUCCESS));

    TW_UINT32 group = 0;
    QCOMPARE(call(&alpha, DG_CONTROL, DAT_XFERGROUP, MSG_GET, &group), TW_UINT16(TWRC_FAILURE));
    TestSourceInfo info = m_alpha.read();
    QCOMPARE(info.lastOriginId, m_app.Id);
    QCOMPARE(info.lastDG, TW_UINT32(DG_CONTROL));
    QCOMPARE(info.lastDAT, TW_UINT16(DAT_XFERGROUP));
    QCOMPARE(info.lastMSG, TW_UINT16(MSG_GET));
    // The source failed, so the source says why; the DSM itself did fine.
    QCOMPARE(condition(&alpha), TW_UINT16(TWCC_BADPROTOCOL));
    QCOMPARE(m_alpha.read().lastDAT, TW_UINT16(DAT_STATUS));
    QCOMPARE(condition(), TW_UINT16(TWCC_SUCCESS));

    std::vector<char> block(64, 0);
    QCOMPARE(call(&alpha, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, block.data()), TW_UINT16(TWRC_FAILURE));
    info = m_alpha.read();
    QCOMPARE(info.lastDG, TW_UINT32(DG_IMAGE));
    QCOMPARE(info.lastDAT, TW_UINT16(DAT_IMAGEINFO));
}

void TestDsm::registersCallback_data()
{
    QTest::addColumn<ushort>("dat");
    QTest::addColumn<ushort>("msg");
    QTest::addColumn<bool>("withData");
    QTest::addColumn<uint>("destId");
    QTest::addColumn<bool>("olderDsm");
    QTest::addColumn<ushort>("cc");
    const auto reg = ushort(MSG_REGISTER_CALLBACK);
    QTest::newRow("DAT_CALLBACK2") << ushort(DAT_CALLBACK2) << reg << true << 1u << false
                                   << ushort(TWCC_SUCCESS);
    QTest::newRow("DAT_CALLBACK") << ushort(DAT_CALLBACK) << reg << true << 1u << false
                                  << ushort(TWCC_SUCCESS);
    QTest::newRow("no record") << ushort(DAT_CALLBACK2) << reg << false << 1u << false
                               << ushort(TWCC_BADVALUE);
    QTest::newRow("other message") << ushort(DAT_CALLBACK2) << ushort(MSG_GET) << true << 1u << false
                                   << ushort(TWCC_BADPROTOCOL);
    QTest::newRow("unknown source") << ushort(DAT_CALLBACK2) << reg << true << 99u << false
                                    << ushort(TWCC_BADDEST);
    QTest::newRow("source not open") << ushort(DAT_CALLBACK2) << reg << true << 2u << false
                                     << ushort(TWCC_SEQERROR);
    QTest::newRow("no destination") << ushort(DAT_CALLBACK2) << reg << true << 0u << false
                                    << ushort(TWCC_BADDEST);
    // PELIRAND_DSM_NO_CALLBACK2: a DSM from before DAT_CALLBACK2 existed.
    QTest::newRow("older DSM, DAT_CALLBACK2")
        << ushort(DAT_CALLBACK2) << reg << true << 1u << true << ushort(TWCC_BADPROTOCOL);
    QTest::newRow("older DSM, DAT_CALLBACK")
        << ushort(DAT_CALLBACK) << reg << true << 1u << true << ushort(TWCC_SUCCESS);
}

void TestDsm::registersCallback()
{
    QFETCH(ushort, dat);
    QFETCH(ushort, msg);
    QFETCH(bool, withData);
    QFETCH(uint, destId);
    QFETCH(bool, olderDsm);
    QFETCH(ushort, cc);
    if (olderDsm)
        qputenv("PELIRAND_DSM_NO_CALLBACK2", "1");
    QCOMPARE(openDsm(), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY alpha = named("Alpha");
    QCOMPARE(openSource(alpha), TW_UINT16(TWRC_SUCCESS));

    TW_IDENTITY dest = named("", destId);
    pTW_IDENTITY destPtr = destId ? &dest : nullptr;
    TW_CALLBACK2 callback2{};
    callback2.CallBackProc = reinterpret_cast<TW_MEMREF>(&appCallback);
    TW_CALLBACK callback{};
    callback.CallBackProc = callback2.CallBackProc;
    TW_MEMREF data = !withData              ? nullptr
                     : dat == DAT_CALLBACK2 ? static_cast<TW_MEMREF>(&callback2)
                                            : static_cast<TW_MEMREF>(&callback);
    const TW_UINT16 rc = call(destPtr, DG_CONTROL, dat, msg, data);
    QCOMPARE(rc, TW_UINT16(cc == TWCC_SUCCESS ? TWRC_SUCCESS : TWRC_FAILURE));
    QCOMPARE(condition(destPtr), TW_UINT16(cc));

    // A registered callback takes the source's next notification.
    QCOMPARE(m_alpha.notify(MSG_XFERREADY, 0), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(g_callback.calls, cc == TWCC_SUCCESS ? 1 : 0);
}

void TestDsm::refusesEveryCallback()
{
    // PELIRAND_DSM_NO_CALLBACK: a DSM that refuses both registrations.
    qputenv("PELIRAND_DSM_NO_CALLBACK", "1");
    QCOMPARE(openDsm(), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY alpha = named("Alpha");
    QCOMPARE(openSource(alpha), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY dest = named("", 1);
    TW_CALLBACK2 callback2{};
    callback2.CallBackProc = reinterpret_cast<TW_MEMREF>(&appCallback);
    TW_CALLBACK callback{};
    callback.CallBackProc = callback2.CallBackProc;
    QCOMPARE(call(&dest, DG_CONTROL, DAT_CALLBACK2, MSG_REGISTER_CALLBACK, &callback2),
             TW_UINT16(TWRC_FAILURE));
    QCOMPARE(condition(&dest), TW_UINT16(TWCC_BADPROTOCOL));
    QCOMPARE(call(&dest, DG_CONTROL, DAT_CALLBACK, MSG_REGISTER_CALLBACK, &callback),
             TW_UINT16(TWRC_FAILURE));
    QCOMPARE(condition(&dest), TW_UINT16(TWCC_BADPROTOCOL));

    // The notification takes the message route instead.
    QCOMPARE(m_alpha.notify(MSG_XFERREADY, 0), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(g_callback.calls, 0);
}

void TestDsm::relaysToCallback_data()
{
    QTest::addColumn<ushort>("dat");
    QTest::addColumn<bool>("fromThread");
    QTest::addColumn<ushort>("answer");
    QTest::newRow("DAT_CALLBACK2") << ushort(DAT_CALLBACK2) << false << ushort(TWRC_SUCCESS);
    QTest::newRow("DAT_CALLBACK") << ushort(DAT_CALLBACK) << false << ushort(TWRC_SUCCESS);
    QTest::newRow("DAT_CALLBACK2, source's thread") << ushort(DAT_CALLBACK2) << true << ushort(TWRC_SUCCESS);
    QTest::newRow("DAT_CALLBACK, source's thread") << ushort(DAT_CALLBACK) << true << ushort(TWRC_SUCCESS);
    QTest::newRow("callback's answer goes back") << ushort(DAT_CALLBACK2) << false << ushort(TWRC_FAILURE);
}

void TestDsm::relaysToCallback()
{
    QFETCH(ushort, dat);
    QFETCH(bool, fromThread);
    QFETCH(ushort, answer);
    QCOMPARE(openDsm(), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY alpha = named("Alpha");
    QCOMPARE(openSource(alpha), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(registerCallback(alpha, dat, 0x1234), TW_UINT16(TWRC_SUCCESS));
    g_callback.reset(answer);

    QCOMPARE(m_alpha.notify(MSG_XFERREADY, fromThread), TW_UINT16(answer));
    QCOMPARE(g_callback.calls, 1);
    QCOMPARE(g_callback.originId, alpha.Id);
    QCOMPARE(g_callback.destId, m_app.Id);
    QCOMPARE(g_callback.dg, TW_UINT32(DG_CONTROL));
    QCOMPARE(g_callback.dat, TW_UINT16(DAT_NULL));
    QCOMPARE(g_callback.msg, TW_UINT16(MSG_XFERREADY));
    QCOMPARE(g_callback.data, reinterpret_cast<TW_MEMREF>(TW_UINTPTR(0x1234)));
    QCOMPARE(g_callback.thread != std::this_thread::get_id(), fromThread);

    // Nothing waits for MSG_PROCESSEVENT.
    TW_UINT16 message = 0xFFFF;
    QCOMPARE(processEvent(alpha, message), TW_UINT16(TWRC_NOTDSEVENT));
    QCOMPARE(message, TW_UINT16(MSG_NULL));
}

void TestDsm::queuesWithoutCallback_data()
{
    QTest::addColumn<ushort>("msg");
    QTest::addColumn<bool>("fromThread");
    QTest::newRow("MSG_XFERREADY") << ushort(MSG_XFERREADY) << false;
    QTest::newRow("MSG_CLOSEDSREQ") << ushort(MSG_CLOSEDSREQ) << false;
    QTest::newRow("MSG_CLOSEDSOK") << ushort(MSG_CLOSEDSOK) << false;
    QTest::newRow("MSG_DEVICEEVENT") << ushort(MSG_DEVICEEVENT) << false;
    QTest::newRow("MSG_XFERREADY, source's thread") << ushort(MSG_XFERREADY) << true;
}

void TestDsm::queuesWithoutCallback()
{
    QFETCH(ushort, msg);
    QFETCH(bool, fromThread);
    QCOMPARE(openDsm(), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY alpha = named("Alpha");
    QCOMPARE(openSource(alpha), TW_UINT16(TWRC_SUCCESS));

    QCOMPARE(m_alpha.notify(msg, fromThread), TW_UINT16(TWRC_SUCCESS));
    TW_UINT16 message = 0;
    QCOMPARE(processEvent(alpha, message), TW_UINT16(TWRC_DSEVENT));
    QCOMPARE(message, TW_UINT16(msg));
    QCOMPARE(m_alpha.read().lastDAT, TW_UINT16(DAT_EVENT)); // the source was asked first
    QCOMPARE(processEvent(alpha, message), TW_UINT16(TWRC_NOTDSEVENT));
    QCOMPARE(message, TW_UINT16(MSG_NULL));
}

void TestDsm::sourceClaimsEventFirst()
{
    QCOMPARE(openDsm(), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY alpha = named("Alpha");
    QCOMPARE(openSource(alpha), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(m_alpha.notify(MSG_XFERREADY, 0), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(m_alpha.notify(MSG_CLOSEDSREQ, 0), TW_UINT16(TWRC_SUCCESS));

    m_alpha.set(0, TWRC_DSEVENT, MSG_NULL);
    TW_UINT16 message = 0xFFFF;
    QCOMPARE(processEvent(alpha, message), TW_UINT16(TWRC_DSEVENT));
    QCOMPARE(message, TW_UINT16(MSG_NULL));

    m_alpha.set(0);
    QCOMPARE(processEvent(alpha, message), TW_UINT16(TWRC_DSEVENT));
    QCOMPARE(message, TW_UINT16(MSG_XFERREADY));
    QCOMPARE(processEvent(alpha, message), TW_UINT16(TWRC_DSEVENT));
    QCOMPARE(message, TW_UINT16(MSG_CLOSEDSREQ));
    QCOMPARE(processEvent(alpha, message), TW_UINT16(TWRC_NOTDSEVENT));
}

void TestDsm::wakesApplicationWindow_data()
{
    QTest::addColumn<bool>("withCallback");
    QTest::newRow("queued: window woken") << false;
    QTest::newRow("callback: nothing posted") << true;
}

void TestDsm::wakesApplicationWindow()
{
    QFETCH(bool, withCallback);
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = L"tst_dsm parent";
    RegisterClassW(&wc); // fails harmlessly when a previous row registered it
    HWND window =
        CreateWindowExW(0, wc.lpszClassName, L"parent", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    QVERIFY(window);
    QCOMPARE(call(nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &window), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY alpha = named("Alpha");
    QCOMPARE(openSource(alpha), TW_UINT16(TWRC_SUCCESS));
    if (withCallback)
        QCOMPARE(registerCallback(alpha, DAT_CALLBACK2, 1), TW_UINT16(TWRC_SUCCESS));

    QCOMPARE(m_alpha.notify(MSG_XFERREADY, 1), TW_UINT16(TWRC_SUCCESS));
    MSG message{};
    const bool posted = PeekMessageW(&message, window, 0, 0, PM_REMOVE);
    QCOMPARE(posted, !withCallback);
    if (posted) {
        QCOMPARE(message.hwnd, window);
        QCOMPARE(message.message, UINT(WM_NULL));
    }
    DestroyWindow(window);
}

void TestDsm::refusesBadNotifications_data()
{
    QTest::addColumn<uint>("originId");
    QTest::addColumn<ushort>("msg");
    QTest::addColumn<int>("dest"); // 0 the application, 1 none, 2 another Id
    QTest::addColumn<ushort>("rc");
    QTest::newRow("MSG_NULL") << 1u << ushort(MSG_NULL) << 0 << ushort(TWRC_FAILURE);
    QTest::newRow("not a notification") << 1u << ushort(MSG_XFERREADY + 4) << 0 << ushort(TWRC_FAILURE);
    QTest::newRow("source not open") << 2u << ushort(MSG_XFERREADY) << 0 << ushort(TWRC_FAILURE);
    QTest::newRow("unknown source") << 99u << ushort(MSG_XFERREADY) << 0 << ushort(TWRC_FAILURE);
    QTest::newRow("another application") << 1u << ushort(MSG_XFERREADY) << 2 << ushort(TWRC_FAILURE);
    QTest::newRow("to the application that opened it")
        << 1u << ushort(MSG_XFERREADY) << 0 << ushort(TWRC_SUCCESS);
    QTest::newRow("no destination: the opener") << 1u << ushort(MSG_XFERREADY) << 1 << ushort(TWRC_SUCCESS);
}

void TestDsm::refusesBadNotifications()
{
    QFETCH(uint, originId);
    QFETCH(ushort, msg);
    QFETCH(int, dest);
    QFETCH(ushort, rc);
    QCOMPARE(openDsm(), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY alpha = named("Alpha");
    QCOMPARE(openSource(alpha), TW_UINT16(TWRC_SUCCESS));

    TW_IDENTITY origin = named("", originId);
    TW_IDENTITY app = m_app;
    TW_IDENTITY stranger = named("", 77);
    pTW_IDENTITY destPtr = dest == 0 ? &app : dest == 1 ? nullptr : &stranger;
    QCOMPARE(m_entry(&origin, destPtr, DG_CONTROL, DAT_NULL, msg, nullptr), TW_UINT16(rc));

    TW_UINT16 message = 0;
    QCOMPARE(processEvent(alpha, message), TW_UINT16(rc == TWRC_SUCCESS ? TWRC_DSEVENT : TWRC_NOTDSEVENT));
    QCOMPARE(message, TW_UINT16(rc == TWRC_SUCCESS ? msg : MSG_NULL));
}

void TestDsm::notificationFromInsideSourceCall_data()
{
    QTest::addColumn<bool>("withCallback");
    QTest::newRow("to the callback") << true;
    QTest::newRow("queued") << false;
}

void TestDsm::notificationFromInsideSourceCall()
{
    QFETCH(bool, withCallback);
    QCOMPARE(openDsm(), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY alpha = named("Alpha");
    QCOMPARE(openSource(alpha), TW_UINT16(TWRC_SUCCESS));
    if (withCallback)
        QCOMPARE(registerCallback(alpha, DAT_CALLBACK2, 1), TW_UINT16(TWRC_SUCCESS));
    m_alpha.set(0, TWRC_NOTDSEVENT, MSG_NULL, MSG_XFERREADY);

    TW_USERINTERFACE ui{};
    QCOMPARE(call(&alpha, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(m_alpha.read().insideRc, TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(g_callback.calls, withCallback ? 1 : 0);
    TW_UINT16 message = 0;
    QCOMPARE(processEvent(alpha, message), TW_UINT16(withCallback ? TWRC_NOTDSEVENT : TWRC_DSEVENT));
    QCOMPARE(message, TW_UINT16(withCallback ? MSG_NULL : MSG_XFERREADY));
}

void TestDsm::notificationsFromManyThreads()
{
    QCOMPARE(openDsm(), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY alpha = named("Alpha");
    QCOMPARE(openSource(alpha), TW_UINT16(TWRC_SUCCESS));

    // Sources notify from their threads while the application asks for events.
    constexpr int kThreads = 4;
    constexpr int kEach = 40;
    std::vector<int> taken(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t, &taken] {
            for (int i = 0; i < kEach; ++i) {
                if (m_alpha.notify(MSG_DEVICEEVENT, 0) == TWRC_SUCCESS)
                    ++taken[size_t(t)];
            }
        });
    }
    int delivered = 0;
    TW_UINT16 message = 0;
    for (int i = 0; i < kThreads * kEach; ++i) {
        if (processEvent(alpha, message) == TWRC_DSEVENT)
            ++delivered;
    }
    for (std::thread& thread : threads)
        thread.join();
    while (processEvent(alpha, message) == TWRC_DSEVENT)
        ++delivered;
    int accepted = 0;
    for (int n : taken)
        accepted += n;
    QVERIFY(accepted > 0);
    QCOMPARE(delivered, accepted);

    // Notifications nobody asks for pile up only so far.
    int queued = 0;
    while (m_alpha.notify(MSG_XFERREADY, 0) == TWRC_SUCCESS && queued <= 1000)
        ++queued;
    QCOMPARE(queued, 64);
    int drained = 0;
    while (processEvent(alpha, message) == TWRC_DSEVENT)
        ++drained;
    QCOMPARE(drained, queued);
}

void TestDsm::closesSource()
{
    QCOMPARE(openDsm(), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY alpha = named("Alpha");
    QCOMPARE(openSource(alpha), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(registerCallback(alpha, DAT_CALLBACK2, 1), TW_UINT16(TWRC_SUCCESS));

    // The DSM stays open while a source is.
    QCOMPARE(call(nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, nullptr), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(condition(), TW_UINT16(TWCC_SEQERROR));

    QCOMPARE(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &alpha), TW_UINT16(TWRC_SUCCESS));
    TestSourceInfo info = m_alpha.read();
    QCOMPARE(info.open, 0);
    QCOMPARE(info.lastMSG, TW_UINT16(MSG_CLOSEDS));
    QCOMPARE(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &alpha), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(condition(), TW_UINT16(TWCC_SEQERROR));
    TW_UINT32 group = 0;
    QCOMPARE(call(&alpha, DG_CONTROL, DAT_XFERGROUP, MSG_GET, &group), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(condition(&alpha), TW_UINT16(TWCC_SEQERROR));
    QCOMPARE(m_alpha.notify(MSG_XFERREADY, 0), TW_UINT16(TWRC_FAILURE));

    // Opened again, it starts without the old callback.
    QCOMPARE(openSource(alpha), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(m_alpha.notify(MSG_XFERREADY, 0), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(g_callback.calls, 0);
    TW_UINT16 message = 0;
    QCOMPARE(processEvent(alpha, message), TW_UINT16(TWRC_DSEVENT));
    QCOMPARE(message, TW_UINT16(MSG_XFERREADY));

    QCOMPARE(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &alpha), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(call(nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, nullptr), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(m_alpha.notify(MSG_XFERREADY, 0), TW_UINT16(TWRC_FAILURE));
}

void TestDsm::staysUsableAfterBeingFreed()
{
    QCOMPARE(openDsm(), TW_UINT16(TWRC_SUCCESS));
    TW_IDENTITY alpha = named("Alpha");
    QCOMPARE(openSource(alpha), TW_UINT16(TWRC_SUCCESS));

    // The application frees the DSM while a source still holds its entry.
    FreeLibrary(m_dsm);
    m_dsm = nullptr;
    QCOMPARE(m_alpha.notify(MSG_XFERREADY, 1), TW_UINT16(TWRC_SUCCESS));

    // Loaded again, it has its tables as it left them.
    m_dsm = LoadLibraryA("TWAINDSM.dll");
    QVERIFY(m_dsm);
    m_entry = resolve<DSMENTRYPROC>(m_dsm, "DSM_Entry");
    QVERIFY(m_entry);
    TW_UINT16 message = 0;
    QCOMPARE(processEvent(alpha, message), TW_UINT16(TWRC_DSEVENT));
    QCOMPARE(message, TW_UINT16(MSG_XFERREADY));
    QCOMPARE(openDsm(), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(condition(), TW_UINT16(TWCC_SEQERROR));
}

QTEST_GUILESS_MAIN(TestDsm)
#include "tst_dsm.moc"
