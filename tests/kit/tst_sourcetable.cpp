// The triplets both shipped sources answer, and how: state refusals, identity,
// status, the capability rules. Each row runs against the simulated scanner
// and against the SANE source (on the fake libsane), loaded as the DSM loads
// them and called through DS_Entry without a DSM in between, so their
// notifications wait for MSG_PROCESSEVENT.

#include "platform/win32.h"
#include "twain/twain.h"

#include <QElapsedTimer>
#include <QLibrary>
#include <QThread>
#include <QtTest>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

namespace {

using DsEntry = TW_UINT16(TW_CALLINGSTYLE*)(pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16, TW_MEMREF);

// What a row's call carries.
enum class Payload
{
    None,        // a null data pointer
    Zeroed,      // a zeroed block, large enough for any structure
    SetUiControllable, // TW_ONEVALUE TW_BOOL TRUE (its value) for CAP_UICONTROLLABLE
    SetXferCount0,     // TW_ONEVALUE TW_INT16 0 for CAP_XFERCOUNT
    SetXferCount1,     // TW_ONEVALUE TW_INT16 1
    Capability,        // a TW_CAPABILITY of `cap` without a container
    AudioGroup,        // DAT_XFERGROUP with DG_AUDIO
    BadEntryPoint,     // a TW_ENTRYPOINT of the wrong size
    PictFile,          // DAT_SETUPFILEXFER with TWFF_PICT
};

struct Call
{
    TW_UINT32 dg;
    TW_UINT16 dat;
    TW_UINT16 msg;
    Payload payload;
    TW_UINT16 cap; // for the capability payloads
};

constexpr TW_UINT16 kUnknownCap = 0x7777;

// A DSM of the test's own: it keeps the messages sources send it. Its memory
// handles are small numbers, not the blocks' addresses, so a source cannot
// learn a block's size from them; a handle that is a block's address (one
// from malloc) is locked as itself, as a DSM on the C heap does.
std::mutex g_dsmLock;
std::deque<TW_UINT16> g_dsmMessages;
std::vector<std::vector<unsigned char>> g_blocks;

TW_UINT16 TW_CALLINGSTYLE dsmEntry(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF)
{
    if (dg != DG_CONTROL || dat != DAT_NULL)
        return TWRC_FAILURE;
    std::lock_guard<std::mutex> lock(g_dsmLock);
    g_dsmMessages.push_back(msg);
    return TWRC_SUCCESS;
}

TW_HANDLE TW_CALLINGSTYLE dsmAllocate(TW_UINT32 size)
{
    std::lock_guard<std::mutex> lock(g_dsmLock);
    g_blocks.emplace_back(size);
    return reinterpret_cast<TW_HANDLE>(static_cast<std::uintptr_t>(g_blocks.size()));
}

void TW_CALLINGSTYLE dsmFree(TW_HANDLE) {} // the blocks live as long as the test

TW_MEMREF TW_CALLINGSTYLE dsmLock(TW_HANDLE h)
{
    std::lock_guard<std::mutex> lock(g_dsmLock);
    const std::uintptr_t n = reinterpret_cast<std::uintptr_t>(h);
    if (n >= 1 && n <= g_blocks.size())
        return g_blocks[n - 1].data();
    return h;
}

void TW_CALLINGSTYLE dsmUnlock(TW_HANDLE) {}

bool takeDsmMessage(TW_UINT16 wanted)
{
    std::lock_guard<std::mutex> lock(g_dsmLock);
    for (auto it = g_dsmMessages.begin(); it != g_dsmMessages.end(); ++it) {
        if (*it == wanted) {
            g_dsmMessages.erase(it);
            return true;
        }
    }
    return false;
}

} // namespace

Q_DECLARE_METATYPE(Call)

class TestSourceTable : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void triplets_data();
    void triplets();
    void identity_data();
    void identity();
    void foreignApplication_data();
    void foreignApplication();
    void bufferOfUnknownSize_data();
    void bufferOfUnknownSize();
    void resolutionPerUnit_data();
    void resolutionPerUnit();

private:
    bool load(const QString& which);
    bool reach(int state);
    void close();
    TW_UINT16 call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data, pTW_IDENTITY origin = nullptr);
    TW_UINT16 condition(pTW_IDENTITY origin = nullptr);
    double currentFix32(TW_UINT16 cap);
    TW_UINT16 setUint16(TW_UINT16 cap, TW_UINT16 value);

    QLibrary m_library;
    DsEntry m_entry = nullptr;
    TW_IDENTITY m_app{};
    TW_IDENTITY m_source{};
    int m_state = 3;
};

void TestSourceTable::init()
{
    // The SANE source opens the fake libsane's one device.
    qputenv("PELIRAND_SANE_LIBRARY", FAKESANE_PATH);
    qunsetenv("PELIRAND_SANE_DEVICE");
    qunsetenv("PELIRAND_SANE_OPTIONS");
    qunsetenv("PELIRAND_SIM_CONTROLS");
    m_app = TW_IDENTITY{};
    m_app.Id = 1;
    m_app.ProtocolMajor = TWON_PROTOCOLMAJOR;
    m_app.ProtocolMinor = TWON_PROTOCOLMINOR;
    m_app.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
    std::strcpy(m_app.ProductName, "table");
    m_source = TW_IDENTITY{};
    m_source.Id = 2;
    m_state = 3;
}

void TestSourceTable::cleanup()
{
    if (m_entry)
        close();
    m_entry = nullptr;
    // The library stays loaded: the sources are unloaded with the process.
}

bool TestSourceTable::load(const QString& which)
{
    m_library.setFileName(which == QLatin1String("sim") ? QStringLiteral(SIM_SOURCE_PATH)
                                                        : QStringLiteral(SANE_SOURCE_PATH));
    m_library.setLoadHints(QLibrary::ResolveAllSymbolsHint);
    if (!m_library.load())
        return false;
    m_entry = reinterpret_cast<DsEntry>(m_library.resolve("DS_Entry"));
    return m_entry != nullptr;
}

TW_UINT16 TestSourceTable::call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data, pTW_IDENTITY origin)
{
    return m_entry(origin ? origin : &m_app, dg, dat, msg, data);
}

TW_UINT16 TestSourceTable::condition(pTW_IDENTITY origin)
{
    TW_STATUS status{};
    if (call(DG_CONTROL, DAT_STATUS, MSG_GET, &status, origin) != TWRC_SUCCESS)
        return 0xFFFF;
    return status.ConditionCode;
}

// Takes the source from where it is to `state`: 4 opened, 6 a page waiting,
// 7 the page transferred.
bool TestSourceTable::reach(int state)
{
    if (state >= 4 && m_state < 4) {
        if (call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &m_source) != TWRC_SUCCESS)
            return false;
        m_state = 4;
    }
    if (state >= 6 && m_state < 6) {
        TW_USERINTERFACE ui{FALSE, FALSE, nullptr};
        if (call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) != TWRC_SUCCESS)
            return false;
        m_state = 5;
        // Without a DSM the source keeps MSG_XFERREADY for MSG_PROCESSEVENT.
        QElapsedTimer waited;
        waited.start();
        while (m_state < 6 && waited.elapsed() < 30000) {
            TW_EVENT event{nullptr, MSG_NULL};
            const TW_UINT16 rc = call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
            if ((rc == TWRC_DSEVENT && event.TWMessage == MSG_XFERREADY) || takeDsmMessage(MSG_XFERREADY))
                m_state = 6;
            else
                QThread::msleep(5);
        }
        if (m_state < 6)
            return false;
    }
    if (state >= 7 && m_state < 7) {
        // The page handed over natively: the source waits for MSG_ENDXFER.
        TW_HANDLE image = nullptr;
        if (call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &image) != TWRC_XFERDONE || !image)
            return false;
        GlobalFree(image);
        m_state = 7;
    }
    return true;
}

void TestSourceTable::close()
{
    if (m_state >= 6) {
        TW_PENDINGXFERS pending{};
        call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending);
        m_state = 5;
    }
    if (m_state == 5) {
        TW_USERINTERFACE ui{};
        call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
        m_state = 4;
    }
    if (m_state == 4)
        call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr);
    m_state = 3;
}

void TestSourceTable::triplets_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("state");
    QTest::addColumn<Call>("request");
    QTest::addColumn<int>("rc");
    QTest::addColumn<int>("cc");

    struct Row
    {
        const char* name;
        int state;
        Call request;
        int rc;
        int cc;
    };
    const Payload Z = Payload::Zeroed;
    const Payload N = Payload::None;
    const int F = TWRC_FAILURE;
    const int S = TWRC_SUCCESS;
    const Row rows[] = {
        // Closed: only identity, entry point and status.
        {"closed: capability", 3, {DG_CONTROL, DAT_CAPABILITY, MSG_GET, Payload::Capability, CAP_XFERCOUNT}, F,
         TWCC_SEQERROR},
        {"closed: enable", 3, {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, Z, 0}, F, TWCC_SEQERROR},
        {"closed: close", 3, {DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, N, 0}, F, TWCC_SEQERROR},
        {"closed: pending", 3, {DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, Z, 0}, F, TWCC_SEQERROR},
        {"closed: transfer group", 3, {DG_CONTROL, DAT_XFERGROUP, MSG_GET, Z, 0}, F, TWCC_SEQERROR},
        {"closed: image info", 3, {DG_IMAGE, DAT_IMAGEINFO, MSG_GET, Z, 0}, F, TWCC_SEQERROR},
        {"closed: status", 3, {DG_CONTROL, DAT_STATUS, MSG_GET, Z, 0}, S, TWCC_SUCCESS},
        {"closed: bad entry point", 3, {DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, Payload::BadEntryPoint, 0}, F,
         TWCC_BADVALUE},
        // Order of the refusals: protocol, then state, then data.
        {"closed: unknown DAT", 3, {DG_CONTROL, 0x7F00, MSG_GET, Z, 0}, F, TWCC_BADPROTOCOL},
        {"closed: unknown MSG", 3, {DG_CONTROL, DAT_USERINTERFACE, MSG_GET, Z, 0}, F, TWCC_BADPROTOCOL},
        {"closed: audio group", 3, {DG_AUDIO, DAT_AUDIOINFO, MSG_GET, Z, 0}, F, TWCC_BADPROTOCOL},
        {"closed: null capability", 3, {DG_CONTROL, DAT_CAPABILITY, MSG_GET, N, 0}, F, TWCC_SEQERROR},
        {"closed: null status", 3, {DG_CONTROL, DAT_STATUS, MSG_GET, N, 0}, F, TWCC_BADVALUE},

        // Open (state 4): negotiation.
        {"open: open again", 4, {DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, Z, 0}, F, TWCC_SEQERROR},
        {"open: image info", 4, {DG_IMAGE, DAT_IMAGEINFO, MSG_GET, Z, 0}, F, TWCC_SEQERROR},
        {"open: native transfer", 4, {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, Z, 0}, F, TWCC_SEQERROR},
        {"open: memory transfer", 4, {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, Z, 0}, F, TWCC_SEQERROR},
        {"open: end transfer", 4, {DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, Z, 0}, F, TWCC_SEQERROR},
        {"open: disable", 4, {DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, Z, 0}, F, TWCC_SEQERROR},
        {"open: process event", 4, {DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, Z, 0}, F, TWCC_SEQERROR},
        {"open: pending", 4, {DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, Z, 0}, S, TWCC_SUCCESS},
        {"open: null pending", 4, {DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, N, 0}, F, TWCC_BADVALUE},
        {"open: null enable", 4, {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, N, 0}, F, TWCC_BADVALUE},
        {"open: transfer group", 4, {DG_CONTROL, DAT_XFERGROUP, MSG_GET, Z, 0}, S, TWCC_SUCCESS},
        {"open: audio transfers", 4, {DG_CONTROL, DAT_XFERGROUP, MSG_SET, Payload::AudioGroup, 0}, F,
         TWCC_BADVALUE},
        {"open: callback", 4, {DG_CONTROL, DAT_CALLBACK2, MSG_REGISTER_CALLBACK, Z, 0}, S, TWCC_SUCCESS},
        {"open: setup memory", 4, {DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, Z, 0}, S, TWCC_SUCCESS},
        {"open: setup file", 4, {DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, Z, 0}, S, TWCC_SUCCESS},
        {"open: PICT file", 4, {DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, Payload::PictFile, 0}, F, TWCC_BADVALUE},
        {"open: null capability", 4, {DG_CONTROL, DAT_CAPABILITY, MSG_GET, N, 0}, F, TWCC_BADVALUE},
        {"open: unknown capability", 4, {DG_CONTROL, DAT_CAPABILITY, MSG_GET, Payload::Capability, kUnknownCap}, F,
         TWCC_CAPUNSUPPORTED},
        {"open: unknown capability message", 4,
         {DG_CONTROL, DAT_CAPABILITY, MSG_GETFIRST, Payload::Capability, CAP_XFERCOUNT}, F, TWCC_CAPBADOPERATION},
        {"open: supported capabilities", 4,
         {DG_CONTROL, DAT_CAPABILITY, MSG_GET, Payload::Capability, CAP_SUPPORTEDCAPS}, S, TWCC_SUCCESS},
        {"open: query support", 4,
         {DG_CONTROL, DAT_CAPABILITY, MSG_QUERYSUPPORT, Payload::Capability, CAP_XFERCOUNT}, S, TWCC_SUCCESS},
        {"open: transfer count 0", 4,
         {DG_CONTROL, DAT_CAPABILITY, MSG_SET, Payload::SetXferCount0, CAP_XFERCOUNT}, F, TWCC_BADVALUE},
        {"open: transfer count 1", 4,
         {DG_CONTROL, DAT_CAPABILITY, MSG_SET, Payload::SetXferCount1, CAP_XFERCOUNT}, S, TWCC_SUCCESS},
        // A read-only capability supports no MSG_SET, not even of the value it has.
        {"open: read-only set to its value", 4,
         {DG_CONTROL, DAT_CAPABILITY, MSG_SET, Payload::SetUiControllable, CAP_UICONTROLLABLE}, F,
         TWCC_CAPBADOPERATION},
        {"open: read-only reset", 4, {DG_CONTROL, DAT_CAPABILITY, MSG_RESET, Payload::Capability, CAP_DEVICEONLINE},
         F, TWCC_CAPBADOPERATION},
        {"open: reset all", 4, {DG_CONTROL, DAT_CAPABILITY, MSG_RESETALL, Payload::Capability, 0}, S, TWCC_SUCCESS},

        // A page waiting (state 6): negotiation is over.
        {"page: set capability", 6,
         {DG_CONTROL, DAT_CAPABILITY, MSG_SET, Payload::SetXferCount1, CAP_XFERCOUNT}, F, TWCC_SEQERROR},
        {"page: read-only set", 6,
         {DG_CONTROL, DAT_CAPABILITY, MSG_SET, Payload::SetUiControllable, CAP_UICONTROLLABLE}, F, TWCC_SEQERROR},
        {"page: reset all", 6, {DG_CONTROL, DAT_CAPABILITY, MSG_RESETALL, Payload::Capability, 0}, F,
         TWCC_SEQERROR},
        {"page: get capability", 6,
         {DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, Payload::Capability, CAP_XFERCOUNT}, S, TWCC_SUCCESS},
        {"page: enable", 6, {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, Z, 0}, F, TWCC_SEQERROR},
        {"page: close", 6, {DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, N, 0}, F, TWCC_SEQERROR},
        {"page: disable", 6, {DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, Z, 0}, F, TWCC_SEQERROR},
        {"page: reset file setup", 6, {DG_CONTROL, DAT_SETUPFILEXFER, MSG_RESET, Z, 0}, F, TWCC_SEQERROR},
        {"page: set layout", 6, {DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, Z, 0}, F, TWCC_SEQERROR},
        {"page: transfer group set", 6, {DG_CONTROL, DAT_XFERGROUP, MSG_SET, Z, 0}, F, TWCC_SEQERROR},
        {"page: callback", 6, {DG_CONTROL, DAT_CALLBACK, MSG_REGISTER_CALLBACK, Z, 0}, F, TWCC_SEQERROR},
        {"page: another mechanism", 6, {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, Z, 0}, F, TWCC_SEQERROR},
        {"page: file transfer", 6, {DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, N, 0}, F, TWCC_SEQERROR},
        {"page: image info", 6, {DG_IMAGE, DAT_IMAGEINFO, MSG_GET, Z, 0}, S, TWCC_SUCCESS},
        {"page: null image info", 6, {DG_IMAGE, DAT_IMAGEINFO, MSG_GET, N, 0}, F, TWCC_BADVALUE},
        {"page: pending", 6, {DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, Z, 0}, S, TWCC_SUCCESS},
        {"page: null native transfer", 6, {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, N, 0}, F, TWCC_BADVALUE},
        {"page: memory file transfer", 6, {DG_IMAGE, DAT_IMAGEMEMFILEXFER, MSG_GET, Z, 0}, F, TWCC_SEQERROR},
        {"page: stop feeder", 6, {DG_CONTROL, DAT_PENDINGXFERS, MSG_STOPFEEDER, Z, 0}, S, TWCC_SUCCESS},

        // The page transferred (state 7): only its end is left.
        {"done: native again", 7, {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, Z, 0}, F, TWCC_SEQERROR},
        {"done: memory transfer", 7, {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, Z, 0}, F, TWCC_SEQERROR},
        {"done: file transfer", 7, {DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, N, 0}, F, TWCC_SEQERROR},
        {"done: set capability", 7,
         {DG_CONTROL, DAT_CAPABILITY, MSG_SET, Payload::SetXferCount1, CAP_XFERCOUNT}, F, TWCC_SEQERROR},
        {"done: setup memory", 7, {DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, Z, 0}, F, TWCC_SEQERROR},
        {"done: layout", 7, {DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, Z, 0}, F, TWCC_SEQERROR},
        {"done: disable", 7, {DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, Z, 0}, F, TWCC_SEQERROR},
        {"done: pending", 7, {DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, Z, 0}, S, TWCC_SUCCESS},
        {"done: transfer group", 7, {DG_CONTROL, DAT_XFERGROUP, MSG_GET, Z, 0}, S, TWCC_SUCCESS},
    };
    for (const char* source : {"sim", "sane"}) {
        for (const Row& r : rows) {
            QTest::addRow("%s: %s", source, r.name)
                << QString::fromLatin1(source) << r.state << r.request << r.rc << r.cc;
        }
    }
}

void TestSourceTable::triplets()
{
    QFETCH(QString, source);
    QFETCH(int, state);
    QFETCH(Call, request);
    QFETCH(int, rc);
    QFETCH(int, cc);

    QVERIFY2(load(source), qPrintable(m_library.errorString()));
    QVERIFY(reach(state));

    // A block for any structure, and one container the application owns.
    alignas(8) unsigned char block[4096] = {};
    TW_CAPABILITY capability{request.cap, TWON_DONTCARE16, nullptr};
    struct OneValue
    {
        TW_UINT16 ItemType;
        TW_UINT32 Item;
    };
    TW_HANDLE container = nullptr;
    auto oneValue = [&](TW_UINT16 type, TW_UINT32 item) {
        container = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 6);
        auto* p = static_cast<unsigned char*>(GlobalLock(container));
        std::memcpy(p, &type, 2);
        std::memcpy(p + 2, &item, 4);
        GlobalUnlock(container);
        capability.ConType = TWON_ONEVALUE;
        capability.hContainer = container;
    };
    TW_MEMREF data = block;
    switch (request.payload) {
    case Payload::None:
        data = nullptr;
        break;
    case Payload::Zeroed:
        break;
    case Payload::SetUiControllable:
        oneValue(TWTY_BOOL, TRUE);
        data = &capability;
        break;
    case Payload::SetXferCount0:
        oneValue(TWTY_INT16, 0);
        data = &capability;
        break;
    case Payload::SetXferCount1:
        oneValue(TWTY_INT16, 1);
        data = &capability;
        break;
    case Payload::Capability:
        data = &capability;
        break;
    case Payload::AudioGroup: {
        const TW_UINT32 group = DG_AUDIO;
        std::memcpy(block, &group, sizeof group);
        break;
    }
    case Payload::BadEntryPoint: {
        const TW_UINT32 size = 4;
        std::memcpy(block, &size, sizeof size);
        break;
    }
    case Payload::PictFile: {
        auto* setup = reinterpret_cast<pTW_SETUPFILEXFER>(block);
        std::strcpy(setup->FileName, "page.pict");
        setup->Format = TWFF_PICT;
        break;
    }
    }

    const TW_UINT16 got = call(request.dg, request.dat, request.msg, data);
    // What a source hands over in a container is the application's to free.
    if (capability.hContainer && capability.hContainer != container)
        GlobalFree(capability.hContainer);
    if (container)
        GlobalFree(container);
    QCOMPARE(int(got), rc);
    if (request.dat != DAT_STATUS)
        QCOMPARE(int(condition()), cc);
}

void TestSourceTable::identity_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("family");
    QTest::newRow("sim") << QStringLiteral("sim") << QStringLiteral("Simulated");
    QTest::newRow("sane") << QStringLiteral("sane") << QStringLiteral("SANE");
}

// What the DSM learns before anything is open, without an origin.
void TestSourceTable::identity()
{
    QFETCH(QString, source);
    QFETCH(QString, family);
    QVERIFY(load(source));
    TW_IDENTITY id{};
    id.Id = 77;
    QCOMPARE(m_entry(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GET, &id), TW_UINT16(TWRC_SUCCESS));
    QCOMPARE(id.Id, TW_UINT32(77)); // the DSM's to give
    QCOMPARE(id.ProtocolMajor, TW_UINT16(TWON_PROTOCOLMAJOR));
    QCOMPARE(id.ProtocolMinor, TW_UINT16(TWON_PROTOCOLMINOR));
    QCOMPARE(id.SupportedGroups, TW_UINT32(DG_CONTROL | DG_IMAGE | DF_DS2));
    QCOMPARE(QString::fromLatin1(id.Manufacturer), QStringLiteral("pelirand"));
    QCOMPARE(QString::fromLatin1(id.ProductFamily), family);
    // Nothing else is answered without an origin.
    TW_STATUS status{};
    QCOMPARE(m_entry(nullptr, DG_CONTROL, DAT_STATUS, MSG_GET, &status), TW_UINT16(TWRC_FAILURE));
}

void TestSourceTable::foreignApplication_data()
{
    QTest::addColumn<QString>("source");
    QTest::newRow("sim") << QStringLiteral("sim");
    QTest::newRow("sane") << QStringLiteral("sane");
}

// A second application is refused and cannot disturb the owner's status.
void TestSourceTable::foreignApplication()
{
    QFETCH(QString, source);
    QVERIFY(load(source));
    QVERIFY(reach(4));
    TW_IDENTITY other = m_app;
    other.Id = 9;
    TW_IDENTITY again = m_source;
    QCOMPARE(call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &again, &other), TW_UINT16(TWRC_FAILURE));

    TW_UINT32 group = 0;
    QCOMPARE(call(DG_CONTROL, DAT_XFERGROUP, MSG_SET, &group), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(condition(), TW_UINT16(TWCC_BADVALUE));
    QCOMPARE(call(DG_CONTROL, DAT_XFERGROUP, MSG_GET, &group, &other), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(condition(), TW_UINT16(TWCC_BADVALUE)); // still the owner's
}

void TestSourceTable::bufferOfUnknownSize_data()
{
    QTest::addColumn<QString>("source");
    QTest::newRow("sim") << QStringLiteral("sim");
    QTest::newRow("sane") << QStringLiteral("sane");
}

// A memory-file transfer into the application's handle from a DSM whose
// blocks cannot be measured: the source takes the buffer's Length and the
// page's bytes come, block after block, until the transfer is done.
void TestSourceTable::bufferOfUnknownSize()
{
    QFETCH(QString, source);
    QVERIFY(load(source));
    TW_ENTRYPOINT entry{};
    entry.Size = sizeof entry;
    entry.DSM_Entry = dsmEntry;
    entry.DSM_MemAllocate = dsmAllocate;
    entry.DSM_MemFree = dsmFree;
    entry.DSM_MemLock = dsmLock;
    entry.DSM_MemUnlock = dsmUnlock;
    QCOMPARE(call(DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &entry), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(reach(4));

    // A container the source can measure: a heap block, its own handle.
    auto* container = static_cast<unsigned char*>(std::calloc(1, 8));
    const TW_UINT16 type = TWTY_UINT16;
    const TW_UINT32 memfile = TWSX_MEMFILE;
    std::memcpy(container, &type, 2);
    std::memcpy(container + 2, &memfile, 4);
    TW_CAPABILITY cap{ICAP_XFERMECH, TWON_ONEVALUE, container};
    const TW_UINT16 set = call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap);
    std::free(container);
    QCOMPARE(set, TW_UINT16(TWRC_SUCCESS));
    QVERIFY(reach(6));

    TW_HANDLE buffer = dsmAllocate(4096);
    std::uint64_t total = 0;
    TW_UINT16 rc = TWRC_SUCCESS;
    for (int block = 0; block < 100000 && rc == TWRC_SUCCESS; ++block) {
        TW_IMAGEMEMXFER xfer{};
        xfer.Memory.Flags = TWMF_APPOWNS | TWMF_HANDLE;
        xfer.Memory.Length = 4096;
        xfer.Memory.TheMem = buffer;
        rc = call(DG_IMAGE, DAT_IMAGEMEMFILEXFER, MSG_GET, &xfer);
        if (rc == TWRC_SUCCESS)
            QVERIFY2(xfer.BytesWritten > 0, "a block without bytes");
        QVERIFY(xfer.BytesWritten <= 4096);
        total += xfer.BytesWritten;
    }
    QCOMPARE(rc, TW_UINT16(TWRC_XFERDONE));
    QVERIFY(total > 54); // at least a BMP's headers
    m_state = 7;
    // The page is finished: a block more is out of sequence, and no block of another mechanism either.
    TW_IMAGEMEMXFER more{};
    more.Memory.Flags = TWMF_APPOWNS | TWMF_HANDLE;
    more.Memory.Length = 4096;
    more.Memory.TheMem = buffer;
    QCOMPARE(call(DG_IMAGE, DAT_IMAGEMEMFILEXFER, MSG_GET, &more), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(condition(), TW_UINT16(TWCC_SEQERROR));
    QCOMPARE(call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &more), TW_UINT16(TWRC_FAILURE));
    QCOMPARE(condition(), TW_UINT16(TWCC_SEQERROR));
}

// A FIX32 capability's current value (TW_ONEVALUE), NaN when it cannot be
// read; the source's container comes from the test's DSM.
double TestSourceTable::currentFix32(TW_UINT16 capId)
{
    TW_CAPABILITY cap{capId, TWON_DONTCARE16, nullptr};
    if (call(DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, &cap) != TWRC_SUCCESS || cap.ConType != TWON_ONEVALUE)
        return std::nan("");
    const auto* p = static_cast<const unsigned char*>(dsmLock(cap.hContainer));
    double value = std::nan("");
    TW_UINT16 type = 0;
    if (p) {
        std::memcpy(&type, p, 2);
        TW_FIX32 fix{};
        std::memcpy(&fix, p + 2, sizeof fix);
        if (type == TWTY_FIX32)
            value = fix.Whole + fix.Frac / 65536.0;
    }
    return value;
}

TW_UINT16 TestSourceTable::setUint16(TW_UINT16 capId, TW_UINT16 value)
{
    // A heap block, its own handle, as from a DSM on the C heap.
    auto* container = static_cast<unsigned char*>(std::calloc(1, 8));
    const TW_UINT16 type = TWTY_UINT16;
    const TW_UINT32 item = value;
    std::memcpy(container, &type, 2);
    std::memcpy(container + 2, &item, 4);
    TW_CAPABILITY cap{capId, TWON_ONEVALUE, container};
    const TW_UINT16 rc = call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap);
    std::free(container);
    return rc;
}

void TestSourceTable::resolutionPerUnit_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("units");
    QTest::addColumn<double>("perInch"); // the unit's count in an inch; resolutions are per unit
    for (const char* source : {"sim", "sane"}) {
        const QString name = QString::fromLatin1(source);
        QTest::addRow("%s-centimeters", source) << name << int(TWUN_CENTIMETERS) << 2.54;
        QTest::addRow("%s-millimeters", source) << name << int(TWUN_MILLIMETERS) << 25.4;
        QTest::addRow("%s-picas", source) << name << int(TWUN_PICAS) << 6.0;
        QTest::addRow("%s-points", source) << name << int(TWUN_POINTS) << 72.0;
        QTest::addRow("%s-twips", source) << name << int(TWUN_TWIPS) << 1440.0;
        QTest::addRow("%s-pixels", source) << name << int(TWUN_PIXELS) << 1.0; // stays per inch
    }
}

// Both sources convert ICAP_UNITS the same way: a resolution per inch is
// divided by the unit's count in an inch.
void TestSourceTable::resolutionPerUnit()
{
    QFETCH(QString, source);
    QFETCH(int, units);
    QFETCH(double, perInch);
    QVERIFY(load(source));
    TW_ENTRYPOINT entry{};
    entry.Size = sizeof entry;
    entry.DSM_Entry = dsmEntry;
    entry.DSM_MemAllocate = dsmAllocate;
    entry.DSM_MemFree = dsmFree;
    entry.DSM_MemLock = dsmLock;
    entry.DSM_MemUnlock = dsmUnlock;
    QCOMPARE(call(DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &entry), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(reach(4));
    const double inches = currentFix32(ICAP_XRESOLUTION);
    QVERIFY(inches > 0);
    QCOMPARE(setUint16(ICAP_UNITS, TW_UINT16(units)), TW_UINT16(TWRC_SUCCESS));
    QVERIFY(std::fabs(currentFix32(ICAP_XRESOLUTION) - inches / perInch) < 1.0 / 65536 + 1e-9);
}

QTEST_GUILESS_MAIN(TestSourceTable)
#include "tst_sourcetable.moc"
