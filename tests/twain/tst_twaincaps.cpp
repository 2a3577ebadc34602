// Capability containers: the builder's sizes, the set operations, and the
// readers for every container type, including containers that lie about
// their size, counts or indices.

#include <QtTest>

#include <cstdlib>
#include <cstring>

#include "tests/twain/twaintestsupport.h"
#include "twain/dsmlib.h"
#include "twain/twainiodirect.h"
#include "twain/twainmem.h"

namespace {

enum HandleKind
{
    Fixed,
    Moveable,
    NullHandle,
    Foreign,
    DsmHeap // from the DSM's memory functions: the C heap, exactly the container's bytes
};

// What the scripted source answers to DAT_CAPABILITY, and what it saw.
struct CapSource
{
    TW_UINT16 rc = TWRC_SUCCESS;
    TW_UINT16 conType = TWON_ONEVALUE;
    QByteArray bytes;
    HandleKind handle = Fixed;
    TW_HANDLE hGiven = nullptr;

    int nSets = 0;
    TW_UINT16 seenMsg = 0;
    TW_UINT16 seenCap = 0;
    TW_UINT16 seenConType = 0;
    pTW_IDENTITY seenDest = nullptr;
    TW_HANDLE seenHandle = nullptr;
    QByteArray seenBytes;
};

CapSource g_source;
char g_foreign[64];

TW_UINT16 capabilityHook(pTW_IDENTITY, pTW_IDENTITY pDest, TW_UINT32, TW_UINT16 DAT, TW_UINT16 MSG,
                         TW_MEMREF pData)
{
    if (DAT != DAT_CAPABILITY)
        return TWRC_FAILURE;
    auto* pCap = static_cast<TW_CAPABILITY*>(pData);
    g_source.seenMsg = MSG;
    g_source.seenDest = pDest;
    g_source.seenCap = pCap->Cap;
    g_source.seenConType = pCap->ConType;
    if (MSG == MSG_SET) {
        ++g_source.nSets;
        g_source.seenHandle = pCap->hContainer;
        if (void* p = GlobalLock(pCap->hContainer)) {
            g_source.seenBytes = QByteArray(static_cast<const char*>(p), int(GlobalSize(pCap->hContainer)));
            GlobalUnlock(pCap->hContainer);
        }
        return g_source.rc;
    }
    if (g_source.rc != TWRC_SUCCESS)
        return g_source.rc;
    TW_HANDLE h = nullptr;
    switch (g_source.handle) {
    case Fixed:
        h = GlobalAlloc(GMEM_FIXED, SIZE_T(g_source.bytes.size()));
        std::memcpy(h, g_source.bytes.constData(), size_t(g_source.bytes.size()));
        break;
    case Moveable:
        h = GlobalAlloc(GMEM_MOVEABLE, SIZE_T(g_source.bytes.size()));
        std::memcpy(GlobalLock(h), g_source.bytes.constData(), size_t(g_source.bytes.size()));
        GlobalUnlock(h);
        break;
    case NullHandle:
        break;
    case Foreign:
        h = g_foreign;
        break;
    case DsmHeap:
        h = std::malloc(size_t(qMax(1, g_source.bytes.size())));
        std::memcpy(h, g_source.bytes.constData(), size_t(g_source.bytes.size()));
        break;
    }
    pCap->ConType = g_source.conType;
    pCap->hContainer = h;
    g_source.hGiven = h;
    return TWRC_SUCCESS;
}

QByteArray le16(quint32 v)
{
    const TW_UINT16 x = TW_UINT16(v);
    return QByteArray(reinterpret_cast<const char*>(&x), 2);
}

QByteArray le32(quint32 v)
{
    return QByteArray(reinterpret_cast<const char*>(&v), 4);
}

QByteArray oneValue(TW_UINT16 type, QByteArray item)
{
    if (item.size() < 4)
        item.append(QByteArray(4 - item.size(), '\0'));
    return le16(type) + item;
}

QByteArray enumeration(TW_UINT16 type, quint32 n, quint32 current, quint32 def, const QByteArray& items)
{
    return le16(type) + le32(n) + le32(current) + le32(def) + items;
}

QByteArray array(TW_UINT16 type, quint32 n, const QByteArray& items)
{
    return le16(type) + le32(n) + items;
}

QByteArray range(TW_UINT16 type, quint32 def, quint32 current)
{
    return le16(type) + le32(0) + le32(0xFFFF) + le32(1) + le32(def) + le32(current);
}

QByteArray list16(std::initializer_list<quint16> values)
{
    QByteArray result;
    for (quint16 v : values)
        result += le16(v);
    return result;
}

QByteArray containerBytes(TW_HANDLE h)
{
    const SIZE_T n = GlobalSize(h);
    void* p = GlobalLock(h);
    QByteArray bytes(static_cast<const char*>(p), int(n));
    GlobalUnlock(h);
    return bytes;
}

bool isFreed(TW_HANDLE h)
{
    return GlobalSize(h) == 0;
}

// Stand-ins for the DSM's own memory functions, counting their calls.
int g_nAlloc = 0, g_nFree = 0, g_nLock = 0, g_nUnlock = 0;

TW_HANDLE TW_CALLINGSTYLE countingAlloc(TW_UINT32 n)
{
    ++g_nAlloc;
    return GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, n);
}

void TW_CALLINGSTYLE countingFree(TW_HANDLE h)
{
    ++g_nFree;
    GlobalFree(h);
}

TW_MEMREF TW_CALLINGSTYLE countingLock(TW_HANDLE h)
{
    ++g_nLock;
    return GlobalLock(h);
}

void TW_CALLINGSTYLE countingUnlock(TW_HANDLE h)
{
    ++g_nUnlock;
    GlobalUnlock(h);
}

// A TWAIN 2 DSM on Linux: the C heap, the handle being the block.
TW_HANDLE TW_CALLINGSTYLE heapAlloc(TW_UINT32 n)
{
    return std::calloc(n ? n : 1, 1);
}
void TW_CALLINGSTYLE heapFree(TW_HANDLE h)
{
    std::free(h);
}
TW_MEMREF TW_CALLINGSTYLE heapLock(TW_HANDLE h)
{
    return h;
}
void TW_CALLINGSTYLE heapUnlock(TW_HANDLE) {}
// A DSM whose handles are not the blocks they stand for.
char g_offsetBlock[64];
TW_MEMREF TW_CALLINGSTYLE offsetLock(TW_HANDLE)
{
    return g_offsetBlock + 8;
}

// The DSM's memory functions for one test.
class DsmMemory
{
public:
    explicit DsmMemory(DSM_MEMLOCK lock = heapLock) : m_saved(g_DSMEntryPoint)
    {
        g_DSMEntryPoint.DSM_MemAllocate = heapAlloc;
        g_DSMEntryPoint.DSM_MemFree = heapFree;
        g_DSMEntryPoint.DSM_MemLock = lock;
        g_DSMEntryPoint.DSM_MemUnlock = heapUnlock;
    }
    ~DsmMemory() { g_DSMEntryPoint = m_saved; }

private:
    TW_ENTRYPOINT m_saved;
};

} // namespace

Q_DECLARE_METATYPE(HandleKind)

class tst_TwainCaps : public QObject
{
    Q_OBJECT

private:
    LogCapture m_log;
    CTwainIODirect m_io;

    void answer(TW_UINT16 conType, const QByteArray& bytes, HandleKind handle = Fixed)
    {
        g_source.conType = conType;
        g_source.bytes = bytes;
        g_source.handle = handle;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(scriptedDsm(), "TWAINDSM.dll fixture beside the test");
        m_io.m_nDSM = 2;
        QCOMPARE(m_io.LoadDSM(), TW_UINT16(0));
        m_io.m_State = 4;
    }
    void init()
    {
        resetScript();
        scriptedDsm()->hook = capabilityHook;
        g_source = CapSource();
    }
    void cleanupTestCase() { m_io.UnloadDSM(); }

    void itemSize_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("size");
        const int sizes[] = {1, 2, 4, 1, 2, 4, 2, 4, 16, 34, 66, 130, 256, 1026, 1024, 4};
        for (int t = 0; t < 16; ++t)
            QTest::addRow("type %d", t) << t << sizes[t];
        QTest::newRow("16") << 16 << 0;
        QTest::newRow("0xFFFF") << 0xFFFF << 0;
    }
    void itemSize()
    {
        QFETCH(int, type);
        QFETCH(int, size);
        QCOMPARE(TwainItemSize(TW_UINT16(type)), size);
    }

    void build_data()
    {
        QTest::addColumn<TW_UINT16>("conType");
        QTest::addColumn<TW_UINT16>("itemType");
        QTest::addColumn<int>("n");
        QTest::addColumn<int>("size");

        auto row = [](const char* name, TW_UINT16 conType, TW_UINT16 itemType, int n, int size) {
            QTest::newRow(name) << conType << itemType << n << size;
        };
        row("enum of 3 uint16", TWON_ENUMERATION, TWTY_UINT16, 3, 22);
        row("enum of 0 str32", TWON_ENUMERATION, TWTY_STR32, 0, 16);
        row("array of 5 uint32", TWON_ARRAY, TWTY_UINT32, 5, 28);
        row("onevalue uint16", TWON_ONEVALUE, TWTY_UINT16, 1, 6);
        row("onevalue fix32", TWON_ONEVALUE, TWTY_FIX32, 1, 6);
        row("onevalue frame", TWON_ONEVALUE, TWTY_FRAME, 1, 22);
        row("onevalue str32", TWON_ONEVALUE, TWTY_STR32, 1, 40);
        row("onevalue str255", TWON_ONEVALUE, TWTY_STR255, 1, 262);
        // Long enough for the set operation's copy of the whole item.
        row("onevalue str1024", TWON_ONEVALUE, TWTY_STR1024, 1, 1032);
        row("onevalue uni512", TWON_ONEVALUE, TWTY_UNI512, 1, 1030);
        row("onevalue handle", TWON_ONEVALUE, TWTY_HANDLE, 1, 6);
        row("range", TWON_RANGE, TWTY_UINT16, 1, 22);
        row("contype 7", 7, TWTY_UINT16, 1, 0);
        row("contype dontcare", TWON_DONTCARE16, TWTY_UINT16, 1, 0);
        row("negative count", TWON_ENUMERATION, TWTY_UINT16, -1, 0);
    }
    void build()
    {
        QFETCH(TW_UINT16, conType);
        QFETCH(TW_UINT16, itemType);
        QFETCH(int, n);
        QFETCH(int, size);

        TW_CAPABILITY cap;
        std::memset(&cap, 0x5A, sizeof(cap));
        const bool bBuilt = m_io.BuildCapContainer(CAP_FEEDERENABLED, conType, itemType, &cap, n);
        QCOMPARE(cap.Cap, TW_UINT16(CAP_FEEDERENABLED));
        QCOMPARE(cap.ConType, conType);
        QCOMPARE(bBuilt, size != 0);
        if (!bBuilt) {
            QVERIFY(!cap.hContainer);
            return;
        }
        QByteArray expected(size, '\0');
        expected.replace(0, 2, le16(itemType));
        if (conType == TWON_ENUMERATION || conType == TWON_ARRAY)
            expected.replace(2, 4, le32(quint32(n)));
        QCOMPARE(containerBytes(cap.hContainer), expected);
        DSMFree(cap.hContainer);
    }

    void getOneValue_data()
    {
        QTest::addColumn<TW_UINT16>("conType");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<TW_UINT16>("msg");
        QTest::addColumn<TW_UINT16>("result");
        QTest::addColumn<QByteArray>("stored");

        auto row = [](const char* name, TW_UINT16 conType, const QByteArray& bytes, TW_UINT16 msg,
                      TW_UINT16 result, const QByteArray& stored) {
            QTest::newRow(name) << conType << bytes << msg << result << stored;
        };
        const QByteArray title = QByteArray("Flatbed").leftJustified(34, '\0');
        const QByteArray frame = QByteArray::fromHex("0100000002000000030000000400ffff");
        const QByteArray items = list16({10, 20, 30});

        row("onevalue int8", TWON_ONEVALUE, oneValue(TWTY_INT8, "\x7f\x01"), MSG_GET, 0, "\x7f");
        row("onevalue uint16", TWON_ONEVALUE, oneValue(TWTY_UINT16, le16(1)), MSG_GETCURRENT, 0, le16(1));
        row("onevalue bool", TWON_ONEVALUE, oneValue(TWTY_BOOL, le32(0x10001)), MSG_GET, 0, le16(1));
        row("onevalue uint32", TWON_ONEVALUE, oneValue(TWTY_UINT32, le32(0x12345678)), MSG_GET, 0,
            le32(0x12345678));
        row("onevalue fix32", TWON_ONEVALUE, oneValue(TWTY_FIX32, le32(0x80000064)), MSG_GET, 0,
            le32(0x80000064));
        row("onevalue frame", TWON_ONEVALUE, oneValue(TWTY_FRAME, frame), MSG_GET, 0, frame);
        row("onevalue str32", TWON_ONEVALUE, oneValue(TWTY_STR32, title), MSG_GET, 0, title);
        row("onevalue unknown type", TWON_ONEVALUE, oneValue(99, le32(7)), MSG_GET, 0, "");
        row("enum current", TWON_ENUMERATION, enumeration(TWTY_UINT16, 3, 1, 2, items), MSG_GETCURRENT, 0,
            le16(20));
        row("enum reset", TWON_ENUMERATION, enumeration(TWTY_UINT16, 3, 1, 2, items), MSG_RESET, 0, le16(20));
        row("enum default", TWON_ENUMERATION, enumeration(TWTY_UINT16, 3, 1, 2, items), MSG_GETDEFAULT, 0,
            le16(30));
        // A source may answer the whole list where one value was asked: its current item counts.
        row("enum get", TWON_ENUMERATION, enumeration(TWTY_UINT16, 3, 1, 2, items), MSG_GET, 0, le16(20));
        row("enum of strings", TWON_ENUMERATION,
            enumeration(TWTY_STR32, 2, 1, 0, QByteArray(34, 'a') + title), MSG_GETCURRENT, 0, title);
        row("range uint16 current", TWON_RANGE, range(TWTY_UINT16, 0x00050006, 0x00120034), MSG_GETCURRENT, 0,
            le16(0x0034));
        row("range uint16 default", TWON_RANGE, range(TWTY_UINT16, 0x00050006, 0x00120034), MSG_GETDEFAULT, 0,
            le16(0x0006));
        row("range int8", TWON_RANGE, range(TWTY_INT8, 0, 0x1FF), MSG_RESET, 0, "\xff");
        row("range int32", TWON_RANGE, range(TWTY_INT32, 0, 0xFFFFFFFE), MSG_GETCURRENT, 0, le32(0xFFFFFFFE));
        row("range fix32", TWON_RANGE, range(TWTY_FIX32, 0, 0x10000), MSG_GETCURRENT, 1, "");
        row("range get", TWON_RANGE, range(TWTY_UINT16, 0, 5), MSG_GET, 0, le16(5));
        row("array", TWON_ARRAY, array(TWTY_UINT16, 3, items), MSG_GETCURRENT, 1, "");
        row("unknown container", 0x1234, oneValue(TWTY_UINT16, le16(1)), MSG_GET, 1, "");

        // Containers that lie: every read stays inside the block.
        row("onevalue string past block", TWON_ONEVALUE, oneValue(TWTY_STR255, "abcd"), MSG_GET, 1, "");
        row("onevalue item past block", TWON_ONEVALUE, le16(TWTY_UINT32) + "\x01", MSG_GET, 1, "");
        row("onevalue without item type", TWON_ONEVALUE, QByteArray("\x04", 1), MSG_GET, 1, "");
        row("enum index past count", TWON_ENUMERATION, enumeration(TWTY_UINT16, 3, 3, 0, items),
            MSG_GETCURRENT, 1, "");
        row("enum huge index", TWON_ENUMERATION, enumeration(TWTY_UINT16, 3, 0, 0xFFFFFFFF, items),
            MSG_GETDEFAULT, 1, "");
        row("enum count past block", TWON_ENUMERATION, enumeration(TWTY_UINT16, 4, 0, 0, items),
            MSG_GETCURRENT, 1, "");
        row("enum huge count", TWON_ENUMERATION, enumeration(TWTY_STR255, 0xFFFFFFFF, 0x01000000, 0, items),
            MSG_GETCURRENT, 1, "");
        row("enum header cut", TWON_ENUMERATION, le16(TWTY_UINT16) + le32(1) + le16(0), MSG_GETCURRENT, 1,
            "");
        row("range cut", TWON_RANGE, range(TWTY_UINT16, 1, 2).left(20), MSG_GETCURRENT, 1, "");
    }
    void getOneValue()
    {
        QFETCH(TW_UINT16, conType);
        QFETCH(QByteArray, bytes);
        QFETCH(TW_UINT16, msg);
        QFETCH(TW_UINT16, result);
        QFETCH(QByteArray, stored);

        answer(conType, bytes);
        // Exactly as long as the longest item: a write past it shows under AddressSanitizer.
        QByteArray out(TWAIN_MAX_ITEM_SIZE, '\xcc');
        TW_CAPABILITY cap = {CAP_FEEDERENABLED, TWON_DONTCARE16, nullptr};
        QCOMPARE(m_io.TwainGetCapOneVal(cap, out.data(), msg), result);
        QCOMPARE(out.left(stored.size()), stored);
        QCOMPARE(out.mid(stored.size()), QByteArray(TWAIN_MAX_ITEM_SIZE - stored.size(), '\xcc'));
        QCOMPARE(g_source.seenMsg, msg);
        QCOMPARE(g_source.seenDest, &m_io.m_SourceID);
        QCOMPARE(g_source.seenCap, TW_UINT16(CAP_FEEDERENABLED));
        QCOMPARE(g_source.seenConType, TW_UINT16(TWON_DONTCARE16));
        QVERIFY(isFreed(g_source.hGiven));
    }

    void getOneValueHandles_data()
    {
        QTest::addColumn<HandleKind>("handle");
        QTest::addColumn<TW_UINT16>("result");
        QTest::newRow("fixed") << Fixed << TW_UINT16(0);
        QTest::newRow("moveable") << Moveable << TW_UINT16(0);
        QTest::newRow("null") << NullHandle << TW_UINT16(1);
        QTest::newRow("foreign") << Foreign << TW_UINT16(1);
    }
    void getOneValueHandles()
    {
        QFETCH(HandleKind, handle);
        QFETCH(TW_UINT16, result);
        answer(TWON_ONEVALUE, oneValue(TWTY_UINT16, le16(3)), handle);
        TW_UINT16 value = 0;
        QCOMPARE(m_io.GetCapOneValUINT16(ICAP_XFERMECH, &value, MSG_GETCURRENT), result);
        QCOMPARE(value, TW_UINT16(result == 0 ? 3 : 0));
        if (handle == Fixed || handle == Moveable)
            QVERIFY(isFreed(g_source.hGiven));

        // The same through the list reader.
        QVector<TW_UINT16> values{9};
        QCOMPARE(m_io.TwainGetCapEnum(ICAP_XFERMECH, values), result);
        QCOMPARE(values, result == 0 ? QVector<TW_UINT16>{3} : QVector<TW_UINT16>{9});
    }

    void getOneValueFailsAtSource()
    {
        g_source.rc = TWRC_CHECKSTATUS;
        QByteArray out(4, '\0');
        TW_CAPABILITY cap = {ICAP_XFERMECH, TWON_DONTCARE16, nullptr};
        QCOMPARE(m_io.TwainGetCapOneVal(cap, out.data(), MSG_GETCURRENT), TW_UINT16(1));
        QCOMPARE(out, QByteArray(4, '\0'));
    }

    void typedGettersStayInTheirBuffer()
    {
        // The source's item is longer than the caller's variable: only its first bytes arrive.
        answer(TWON_ONEVALUE, oneValue(TWTY_UINT32, le32(0x00050002)));
        auto* pValue = new TW_UINT16(0);
        QCOMPARE(m_io.GetCapOneValUINT16(ICAP_XFERMECH, pValue, MSG_GETCURRENT), TW_UINT16(0));
        QCOMPARE(*pValue, TW_UINT16(2));
        delete pValue;

        answer(TWON_ONEVALUE, oneValue(TWTY_STR255, QByteArray(256, 'x')));
        auto* pFix = new TW_FIX32{0, 0};
        QCOMPARE(m_io.GetCapOneValFIX32(ICAP_XRESOLUTION, pFix, MSG_GETCURRENT), TW_UINT16(0));
        QCOMPARE(pFix->Whole, TW_INT16(0x7878));
        delete pFix;

        answer(TWON_RANGE, range(TWTY_INT32, 0, 0xFFFF8000));
        auto* pInt = new TW_INT16(0);
        QCOMPARE(m_io.GetCapOneValINT16(ICAP_BRIGHTNESS, pInt, MSG_GETCURRENT), TW_UINT16(0));
        QCOMPARE(*pInt, TW_INT16(-32768));
        delete pInt;

        answer(TWON_ENUMERATION, enumeration(TWTY_UINT32, 2, 1, 0, le32(5) + le32(600)));
        auto* pU32 = new TW_UINT32(0);
        QCOMPARE(m_io.GetCapOneValUINT32(ICAP_XNATIVERESOLUTION, pU32, MSG_GETCURRENT), TW_UINT16(0));
        QCOMPARE(*pU32, TW_UINT32(600));
        delete pU32;
    }

    void getBool_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<TW_UINT16>("result");
        QTest::addColumn<int>("value");
        QTest::newRow("bool 1") << oneValue(TWTY_BOOL, le16(1)) << TW_UINT16(0) << 1;
        QTest::newRow("bool 0") << oneValue(TWTY_BOOL, le16(0)) << TW_UINT16(0) << 0;
        QTest::newRow("bool 2") << oneValue(TWTY_BOOL, le16(2)) << TW_UINT16(0) << 0;
        QTest::newRow("uint32 low half 1") << oneValue(TWTY_UINT32, le32(0x10001)) << TW_UINT16(0) << 1;
        QTest::newRow("uint8 1") << oneValue(TWTY_UINT8, "\x01\x01") << TW_UINT16(0) << 1;
        QTest::newRow("long string") << oneValue(TWTY_STR255, QByteArray(256, '\x01')) << TW_UINT16(0) << 0;
        QTest::newRow("cut container") << le16(TWTY_BOOL) << TW_UINT16(1) << -1;
    }
    void getBool()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(TW_UINT16, result);
        QFETCH(int, value);
        answer(TWON_ONEVALUE, bytes);
        for (bool bBefore : {false, true}) {
            bool b = bBefore;
            QCOMPARE(m_io.GetCapOneValBOOL(ICAP_UNDEFINEDIMAGESIZE, &b, MSG_GETCURRENT), result);
            QCOMPARE(b, value < 0 ? bBefore : value == 1);
        }
    }

    void getEnum_data()
    {
        QTest::addColumn<TW_UINT16>("conType");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<TW_UINT16>("result");
        QTest::addColumn<QVector<TW_UINT16>>("values");

        const QVector<TW_UINT16> untouched{0xBEEF};
        auto row = [](const char* name, TW_UINT16 conType, const QByteArray& bytes, TW_UINT16 result,
                      const QVector<TW_UINT16>& values) {
            QTest::newRow(name) << conType << bytes << result << values;
        };
        row("onevalue", TWON_ONEVALUE, oneValue(TWTY_UINT16, le16(4)), 0, {4});
        row("array of 5", TWON_ARRAY, array(TWTY_UINT16, 5, list16({5, 4, 3, 2, 1})), 0, {5, 4, 3, 2, 1});
        row("enum of bools", TWON_ENUMERATION, enumeration(TWTY_BOOL, 2, 1, 1, list16({0, 1})), 0, {0, 1});
        row("empty enum", TWON_ENUMERATION, enumeration(TWTY_INT16, 0, 0, 0, QByteArray()), 0, {});
        row("uint32 items", TWON_ARRAY, array(TWTY_UINT32, 2, le32(1) + le32(2)), 1, untouched);
        row("range", TWON_RANGE, range(TWTY_UINT16, 1, 2), 1, untouched);
        row("unknown container", 9, oneValue(TWTY_UINT16, le16(4)), 1, untouched);
        row("array count past block", TWON_ARRAY, array(TWTY_UINT16, 6, list16({5, 4, 3, 2, 1})), 1,
            untouched);
        row("enum huge count", TWON_ENUMERATION, enumeration(TWTY_UINT16, 0xFFFFFFFF, 0, 0, list16({1})), 1,
            untouched);
        row("enum header cut", TWON_ENUMERATION, le16(TWTY_UINT16) + le16(1), 1, untouched);
        row("onevalue cut", TWON_ONEVALUE, le16(TWTY_UINT16) + "\x01", 1, untouched);
    }
    void getEnum()
    {
        QFETCH(TW_UINT16, conType);
        QFETCH(QByteArray, bytes);
        QFETCH(TW_UINT16, result);
        QFETCH(QVector<TW_UINT16>, values);
        answer(conType, bytes);
        QVector<TW_UINT16> got{0xBEEF};
        QCOMPARE(m_io.TwainGetCapEnum(ICAP_PIXELTYPE, got), result);
        QCOMPARE(got, values);
        QCOMPARE(g_source.seenMsg, TW_UINT16(MSG_GET));
        QCOMPARE(g_source.seenConType, TW_UINT16(TWON_ENUMERATION));
        QVERIFY(isFreed(g_source.hGiven));
    }

    void getEnumPassesSourceCode()
    {
        g_source.rc = TWRC_CANCEL;
        QVector<TW_UINT16> got{7};
        QCOMPARE(m_io.TwainGetCapEnum(ICAP_PIXELTYPE, got), TW_UINT16(TWRC_CANCEL));
        QCOMPARE(got, QVector<TW_UINT16>{7});
    }

    void typedSetters_data()
    {
        QTest::addColumn<int>("op");
        QTest::addColumn<TW_UINT16>("itemType");
        QTest::addColumn<QByteArray>("item");
        QTest::newRow("fix32") << 0 << TW_UINT16(TWTY_FIX32) << le32(0x8000012C);
        QTest::newRow("uint32") << 1 << TW_UINT16(TWTY_UINT32) << le32(0xDEADBEEF);
        QTest::newRow("uint16") << 2 << TW_UINT16(TWTY_UINT16) << le16(0xCAFE);
        QTest::newRow("int16") << 3 << TW_UINT16(TWTY_INT16) << le16(0xFFFE);
        QTest::newRow("bool true") << 4 << TW_UINT16(TWTY_BOOL) << le16(1);
        QTest::newRow("bool false") << 5 << TW_UINT16(TWTY_BOOL) << le16(0);
    }
    void typedSetters()
    {
        QFETCH(int, op);
        QFETCH(TW_UINT16, itemType);
        QFETCH(QByteArray, item);
        g_source.rc = TWRC_CHECKSTATUS;
        const TW_UINT16 cap = 0x1234;
        TW_FIX32 fix;
        std::memcpy(&fix, "\x2c\x01\x00\x80", 4);
        const TW_UINT32 u32 = 0xDEADBEEF;
        const TW_UINT16 u16 = 0xCAFE;
        const TW_INT16 i16 = -2;
        const bool bTrue = true;
        const bool bFalse = false;
        TW_UINT16 rc = 0;
        switch (op) {
        case 0:
            rc = m_io.SetCapOneValFIX32(cap, &fix);
            break;
        case 1:
            rc = m_io.SetCapOneValUINT32(cap, &u32);
            break;
        case 2:
            rc = m_io.SetCapOneValUINT16(cap, &u16);
            break;
        case 3:
            rc = m_io.SetCapOneValINT16(cap, &i16);
            break;
        case 4:
            rc = m_io.SetCapOneValBOOL(cap, &bTrue);
            break;
        default:
            rc = m_io.SetCapOneValBOOL(cap, &bFalse);
            break;
        }
        QCOMPARE(rc, TW_UINT16(TWRC_CHECKSTATUS));
        QCOMPARE(g_source.nSets, 1);
        QCOMPARE(g_source.seenMsg, TW_UINT16(MSG_SET));
        QCOMPARE(g_source.seenCap, cap);
        QCOMPARE(g_source.seenConType, TW_UINT16(TWON_ONEVALUE));
        QCOMPARE(g_source.seenDest, &m_io.m_SourceID);
        QCOMPARE(g_source.seenBytes, oneValue(itemType, item));
        QVERIFY(isFreed(g_source.seenHandle));
    }

    void setOneValueLongItem()
    {
        TW_CAPABILITY cap;
        QVERIFY(m_io.BuildCapContainer(CAP_AUTHOR, TWON_ONEVALUE, TWTY_STR1024, &cap, 1));
        const QByteArray text = QByteArray(1025, 'w') + '\0';
        QCOMPARE(m_io.TwainSetCapOneVal(&cap, text.constData()), TW_UINT16(0));
        QVERIFY(!cap.hContainer);
        QCOMPARE(g_source.seenBytes, le16(TWTY_STR1024) + text + QByteArray(4, '\0'));
        QVERIFY(isFreed(g_source.seenHandle));
    }

    void setWithoutContainer()
    {
        TW_CAPABILITY cap = {CAP_AUTHOR, TWON_ONEVALUE, nullptr};
        const TW_UINT16 value = 1;
        QCOMPARE(m_io.TwainSetCapOneVal(&cap, &value), TW_UINT16(1));
        QCOMPARE(m_io.TwainSetCapEnum(&cap, &value, 2), TW_UINT16(1));
        QCOMPARE(g_source.nSets, 0);
    }

    void setIntoTooSmallContainer()
    {
        // A one-value block of 6 bytes cannot take a 256-byte item: not sent, freed.
        TW_CAPABILITY cap = {CAP_AUTHOR, TWON_ONEVALUE, DSMAlloc(6)};
        const TW_HANDLE h = cap.hContainer;
        TW_UINT16 type = TWTY_STR255;
        std::memcpy(DSMLock(h), &type, 2);
        DSMUnlock(h);
        const QByteArray text(256, 'a');
        QCOMPARE(m_io.TwainSetCapOneVal(&cap, text.constData()), TW_UINT16(1));
        QVERIFY(!cap.hContainer);
        QVERIFY(isFreed(h));
        QCOMPARE(g_source.nSets, 0);
    }

    void setEnum()
    {
        TW_CAPABILITY cap;
        QVERIFY(m_io.BuildCapContainer(ICAP_PIXELTYPE, TWON_ENUMERATION, TWTY_UINT16, &cap, 3));
        const QByteArray items = list16({2, 1, 0});
        g_source.rc = TWRC_FAILURE;
        QCOMPARE(m_io.TwainSetCapEnum(&cap, items.constData(), items.size()), TW_UINT16(TWRC_FAILURE));
        QVERIFY(!cap.hContainer);
        QCOMPARE(g_source.seenConType, TW_UINT16(TWON_ENUMERATION));
        QCOMPARE(g_source.seenBytes, enumeration(TWTY_UINT16, 3, 0, 0, items) + QByteArray(2, '\0'));
        QVERIFY(isFreed(g_source.seenHandle));
    }

    void setEnumRefusesOverlongItems_data()
    {
        QTest::addColumn<int>("bytes");
        QTest::newRow("past block") << 9;
        QTest::newRow("negative") << -1;
    }
    void setEnumRefusesOverlongItems()
    {
        QFETCH(int, bytes);
        TW_CAPABILITY cap;
        QVERIFY(m_io.BuildCapContainer(ICAP_PIXELTYPE, TWON_ENUMERATION, TWTY_UINT16, &cap, 3));
        const TW_HANDLE h = cap.hContainer;
        const QByteArray items(16, 'i');
        QCOMPARE(m_io.TwainSetCapEnum(&cap, items.constData(), bytes), TW_UINT16(1));
        QVERIFY(!cap.hContainer);
        QVERIFY(isFreed(h));
        QCOMPARE(g_source.nSets, 0);
    }

    void memoryUsesDsmFunctionsWhenSet()
    {
        const TW_ENTRYPOINT saved = g_DSMEntryPoint;
        g_DSMEntryPoint.DSM_MemAllocate = countingAlloc;
        g_DSMEntryPoint.DSM_MemFree = countingFree;
        g_DSMEntryPoint.DSM_MemLock = countingLock;
        g_DSMEntryPoint.DSM_MemUnlock = countingUnlock;
        const TW_HANDLE h = DSMAlloc(8);
        QVERIFY(DSMLock(h));
        DSMUnlock(h);
        QVERIFY(!DSMFree(h));
        g_DSMEntryPoint = saved;
        QCOMPARE(g_nAlloc, 1);
        QCOMPARE(g_nLock, 1);
        QCOMPARE(g_nUnlock, 1);
        QCOMPARE(g_nFree, 1);
        QVERIFY(isFreed(h));

        // Without them: fixed, zeroed Win32 memory whose handle is the block itself.
        const TW_HANDLE hFixed = DSMAlloc(8);
        QCOMPARE(DSMLock(hFixed), static_cast<TW_MEMREF>(hFixed));
        QCOMPARE(QByteArray(static_cast<const char*>(hFixed), 8), QByteArray(8, '\0'));
        DSMUnlock(hFixed);
        QCOMPARE(DSMFree(hFixed), TW_HANDLE(nullptr));
    }

    // A container in the DSM's memory is read within the bytes the heap holds
    // for it, whatever its counts and indices claim.
    void dsmHeapContainers_data()
    {
        QTest::addColumn<TW_UINT16>("conType");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<TW_UINT16>("result");
        QTest::addColumn<TW_UINT16>("value");
        QTest::newRow("one value") << TW_UINT16(TWON_ONEVALUE) << oneValue(TWTY_UINT16, le16(7))
                                   << TW_UINT16(0) << TW_UINT16(7);
        QTest::newRow("enumeration") << TW_UINT16(TWON_ENUMERATION)
                                     << enumeration(TWTY_UINT16, 3, 2, 0, le16(4) + le16(5) + le16(6))
                                     << TW_UINT16(0) << TW_UINT16(6);
        // Claims 4000 items, holds one; its current index lies far beyond the block.
        QTest::newRow("lying enumeration")
            << TW_UINT16(TWON_ENUMERATION) << enumeration(TWTY_UINT16, 4000, 3999, 0, le16(4)) << TW_UINT16(1)
            << TW_UINT16(0);
    }
    void dsmHeapContainers()
    {
        QFETCH(TW_UINT16, conType);
        QFETCH(QByteArray, bytes);
        QFETCH(TW_UINT16, result);
        QFETCH(TW_UINT16, value);
        DsmMemory dsm;
        QVERIFY(DSMOwnMemory());
        answer(conType, bytes, DsmHeap);
        TW_UINT32 got = 0;
        QCOMPARE(m_io.GetCapOneValUINT32(ICAP_XFERMECH, &got, MSG_GETCURRENT), result);
        QCOMPARE(TW_UINT16(got), value);
        // Never Win32 global memory.
        QCOMPARE(GlobalSize(g_source.hGiven), SIZE_T(0));
    }

    void dsmBlockSizes()
    {
        {
            DsmMemory dsm;
            const TW_HANDLE h = DSMAlloc(100);
            QVERIFY(DSMSize(h) >= 100);
            QCOMPARE(GlobalSize(h), SIZE_T(0));
            QVERIFY(!DSMFree(h));
            QCOMPARE(DSMSize(nullptr), std::size_t(0));
        }
        {
            // A block whose handle is not its address: no size can be known, nothing is read.
            DsmMemory dsm(offsetLock);
            QCOMPARE(DSMSize(g_offsetBlock), std::size_t(0));
            answer(TWON_ONEVALUE, oneValue(TWTY_UINT16, le16(7)), Fixed);
            TW_UINT16 got = 0;
            QCOMPARE(m_io.GetCapOneValUINT16(ICAP_XFERMECH, &got, MSG_GETCURRENT), TW_UINT16(1));
        }
        // Without the DSM's functions, Win32 global memory answers.
        QVERIFY(!DSMOwnMemory());
        const TW_HANDLE hGlobal = DSMAlloc(10);
        QCOMPARE(DSMSize(hGlobal), std::size_t(10));
        DSMFree(hGlobal);
    }

    void nativeImageCopiedOutOfDsmMemory()
    {
        DsmMemory dsm;
        const TW_HANDLE h = DSMAlloc(5);
        std::memcpy(DSMLock(h), "abcde", 5);
        DSMUnlock(h);
        const HGLOBAL hCopy = DSMToGlobal(h);
        QVERIFY(hCopy);
        QVERIFY(GlobalSize(hCopy) >= 5);
        QCOMPARE(QByteArray(static_cast<const char*>(GlobalLock(hCopy)), 5), QByteArray("abcde"));
        GlobalUnlock(hCopy);
        GlobalFree(hCopy);
        QCOMPARE(DSMToGlobal(nullptr), HGLOBAL(nullptr));
    }

    void setEnumVector()
    {
        QCOMPARE(m_io.SetCapEnumVector(ICAP_PIXELTYPE, {0, 2}), TW_UINT16(0));
        QCOMPARE(g_source.seenCap, TW_UINT16(ICAP_PIXELTYPE));
        QCOMPARE(g_source.seenBytes, enumeration(TWTY_UINT16, 2, 0, 0, list16({0, 2})) + QByteArray(2, '\0'));
    }
};

QTEST_APPLESS_MAIN(tst_TwainCaps)
#include "tst_twaincaps.moc"
