// Native image normalisation over small DIBs built directly in global memory,
// fixed and moveable: header fields and every byte of the delivered block.

#include <QtTest>

#include <climits>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <type_traits>

#if defined(Q_OS_UNIX)
#include <sys/mman.h>
#endif

#include "platform/win32.h"
#include "tests/xfer/xfertestsupport.h"
#include "twain/dsmlib.h"
#include "xfer/dibnormalize.h"
#include "xfer/twainxfer.h"

namespace {

constexpr int kOffWidth = 4;
constexpr int kOffHeight = 8;
constexpr int kOffBitCount = 14;
constexpr int kOffSizeImage = 20;
constexpr int kOffClrUsed = 32;

// A 40-byte BITMAPINFOHEADER whose biSize field says hsize.
QByteArray infoHeader(qint32 nWidth, qint32 nHeight, quint16 nBits, quint32 nSizeImage, quint32 nClrUsed,
                      quint32 nHeaderSize = 40)
{
    QByteArray h(40, '\0');
    putLe32(h, 0, nHeaderSize);
    putLe32(h, kOffWidth, quint32(nWidth));
    putLe32(h, kOffHeight, quint32(nHeight));
    putLe16(h, 12, 1);
    putLe16(h, kOffBitCount, nBits);
    putLe32(h, kOffSizeImage, nSizeImage);
    putLe32(h, 24, 3780);
    putLe32(h, 28, 3780);
    putLe32(h, kOffClrUsed, nClrUsed);
    return h;
}

QByteArray words(std::initializer_list<quint16> samples)
{
    QByteArray out;
    for (quint16 s : samples) {
        out.append(char(s & 0xFF));
        out.append(char(s >> 8));
    }
    return out;
}

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

QByteArray pattern(int nSize, int nSeed)
{
    QByteArray out(nSize, '\0');
    for (int i = 0; i < nSize; ++i)
        out[i] = char((i * 7 + nSeed) & 0xFF);
    return out;
}

// The block with the height sign inverted and nothing else changed.
QByteArray flipped(QByteArray block)
{
    putLe32(block, kOffHeight, 0u - le32(block, kOffHeight));
    return block;
}

// What a 16-bit reduction delivers: the header with 8 bits, the grey table,
// then the converted rows.
QByteArray reduced(const QByteArray& header, qint32 nWidth, const QByteArray& rows)
{
    QByteArray out = flipped(header);
    putLe32(out, kOffWidth, quint32(nWidth));
    putLe16(out, kOffBitCount, 8);
    putLe32(out, kOffClrUsed, 256);
    putLe32(out, kOffSizeImage, quint32(rows.size()));
    return out + greyTable256() + rows;
}

HGLOBAL makeBlock(const QByteArray& content, bool bMoveable, int nExtraLocks)
{
    HGLOBAL h = GlobalAlloc(bMoveable ? GMEM_MOVEABLE : GMEM_FIXED, SIZE_T(content.size()));
    void* p = GlobalLock(h);
    if (!content.isEmpty())
        std::memcpy(p, content.constData(), size_t(content.size()));
    GlobalUnlock(h);
    for (int i = 0; i < nExtraLocks; ++i)
        GlobalLock(h);
    return h;
}

QByteArray readBlock(HGLOBAL h)
{
    const SIZE_T nSize = GlobalSize(h);
    const void* p = GlobalLock(h);
    if (!p)
        return QByteArray();
    QByteArray out(static_cast<const char*>(p), int(nSize));
    GlobalUnlock(h);
    return out;
}

// A fixed block's handle is its address.
bool isMoveable(HGLOBAL h)
{
    void* p = GlobalLock(h);
    GlobalUnlock(h);
    return p != h;
}

int lockCount(HGLOBAL h)
{
    return int(GlobalFlags(h) & GMEM_LOCKCOUNT);
}

struct Emission
{
    int nCalls = 0;
    HGLOBAL hImage = nullptr;
    qint64 nSize = -1;
    int nLocks = 0;
    bool bFreeSeen = false;
    QByteArray content;
};

} // namespace

class TestDibNormalize : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_log.clear(); }
    void init() { m_log.clear(); }

    void normalize_data();
    void normalize();
    void detailLinesFollowTheMask_data();
    void detailLinesFollowTheMask();
    void nullOrDeadHandleIsNotDelivered();
    void vanillaGreyTableFallsFromWhite_data();
    void vanillaGreyTableFallsFromWhite();
    void nativeImageLength_data();
    void nativeImageLength();
    void imageOfMoreThan2GiB();

private:
    XferLog m_log;
};

void TestDibNormalize::normalize_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("moveable");
    QTest::addColumn<int>("extraLocks");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QString>("logPart");

    auto both = [](const char* name, const QByteArray& in, const QByteArray& out,
                   const QString& log = QString()) {
        QTest::addRow("%s, fixed", name) << in << false << 0 << out << log;
        QTest::addRow("%s, moveable", name) << in << true << 0 << out << log;
    };

    {
        const QByteArray in = infoHeader(1, 100, 24, 400, 0) + pattern(400, 3);
        both("24-bit, height 100", in, flipped(in));
    }
    {
        QByteArray core(12, '\0');
        putLe32(core, 0, 12);
        putLe16(core, 4, 2);
        putLe16(core, 6, 2);
        putLe16(core, 8, 1);
        putLe16(core, 10, 24);
        const QByteArray in = core + pattern(16, 5);
        both("core header", in, in);
    }
    {
        const QByteArray hdr = infoHeader(3, 2, 16, 16, 0);
        const QByteArray in = hdr + words({0x1000, 0x2000, 0x3000, 0x4000, 0x8000, 0x0100, 0xFF00, 0x0000});
        both("16-bit, rows aligned to 8, shift 8", in,
             reduced(hdr, 3, bytes({0x10, 0x20, 0x30, 0x40, 0x80, 0x01, 0xFF, 0x00})));
    }
    {
        const QByteArray hdr = infoHeader(3, 2, 16, 12, 0);
        const QByteArray in = hdr + words({0x0100, 0x0200, 0x0300, 0x0A00, 0x0B00, 0x0C00});
        both("16-bit, unaligned rows, 12 bits: shift 4", in,
             reduced(hdr, 3, bytes({0x10, 0x20, 0x30, 0, 0xA0, 0xB0, 0xC0, 0})));
    }
    {
        const QByteArray hdr = infoHeader(3, 2, 16, 10, 0);
        const QByteArray in = hdr + words({0x11, 0x22, 0x33, 0x44, 0x55});
        both("16-bit, data missing, 8 bits: shift 0", in,
             reduced(hdr, 2, bytes({0x11, 0x22, 0, 0, 0x33, 0x44, 0, 0})));
    }
    {
        const QByteArray hdr = infoHeader(3, 2, 16, 24, 0);
        const QByteArray in = hdr + words({1, 2, 3, 9, 9, 9, 4, 5, 6, 9, 9, 9});
        both("16-bit, rows longer than the width", in, reduced(hdr, 3, bytes({1, 2, 3, 0, 4, 5, 6, 0})),
             QStringLiteral("surplus is dropped"));
    }
    {
        // Output rows are wider than input rows: the write would overtake the read.
        const QByteArray hdr = infoHeader(1, 3, 16, 6, 0);
        const QByteArray in = hdr + words({0x1234, 0x5678, 0x9ABC});
        both("16-bit, width 1, packed rows", in,
             reduced(hdr, 1, bytes({0x12, 0, 0, 0, 0x56, 0, 0, 0, 0x9A, 0, 0, 0})));
    }
    {
        // Room to spare: nothing grows, the block shrinks to the image.
        const QByteArray hdr = infoHeader(4, 2, 16, 16, 256);
        const QByteArray in = hdr + QByteArray(1024, char(0xEE)) +
                              words({0x0010, 0x0020, 0x0030, 0x0040, 0x0050, 0x0060, 0x0070, 0x0080}) +
                              pattern(100, 9);
        both("16-bit with a 256-entry table and slack", in,
             reduced(hdr, 4, bytes({0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80})));
    }
    {
        const QByteArray hdr = infoHeader(2, 2, 16, 8, 300);
        const QByteArray in = hdr + pattern(1200, 1) + words({0x01, 0x02, 0x03, 0x04});
        both("16-bit with a 300-entry table", in, reduced(hdr, 2, bytes({1, 2, 0, 0, 3, 4, 0, 0})));
    }
    {
        const QByteArray in = infoHeader(4, 2, 8, 8, 0) + pattern(1024 + 8, 2);
        QByteArray out = flipped(in);
        putLe32(out, kOffClrUsed, 256);
        both("8-bit without table, block holds one", in, out);
    }
    {
        const QByteArray in = infoHeader(4, 2, 8, 0, 0) + pattern(1024 + 8, 2);
        QByteArray out = flipped(in);
        putLe32(out, kOffClrUsed, 256);
        both("8-bit without table, biSizeImage 0, block holds one", in, out);
    }
    {
        // The rows alone are 1024 bytes: computed from the header, they are no table.
        const QByteArray hdr = infoHeader(32, 32, 8, 0, 0);
        const QByteArray in = hdr + pattern(1024, 2);
        QByteArray out = flipped(hdr);
        putLe32(out, kOffClrUsed, 256);
        out += greyTable256() + pattern(1024, 2) + QByteArray(3, '\0');
        both("8-bit without table, biSizeImage 0, rows only", in, out);
        // Rows of 30 pixels padded to 32 bytes: biSizeImage without the padding says too little.
        const QByteArray hdr2 = infoHeader(30, 40, 8, 30 * 40, 0);
        const QByteArray in2 = hdr2 + pattern(32 * 40, 3);
        QByteArray out2 = flipped(hdr2);
        putLe32(out2, kOffClrUsed, 256);
        out2 += greyTable256() + pattern(32 * 40, 3) + QByteArray(3, '\0');
        both("8-bit without table, biSizeImage without row padding", in2, out2);
    }
    {
        const QByteArray hdr = infoHeader(4, 2, 8, 8, 0);
        const QByteArray in = hdr + pattern(8, 4);
        QByteArray out = flipped(hdr);
        putLe32(out, kOffClrUsed, 256);
        out += greyTable256() + pattern(8, 4) + QByteArray(3, '\0');
        both("8-bit without table, small block", in, out);
        QTest::newRow("8-bit without table, small block locked by the source")
            << in << true << 2 << out << QString();
    }
    {
        const QByteArray in = infoHeader(4, -2, 8, 8, 256) + pattern(1024 + 8, 6);
        both("8-bit with table, top-down", in, flipped(in));
        const QByteArray in1 = infoHeader(8, 2, 1, 8, 2) + pattern(8 + 8, 7);
        both("1-bit", in1, flipped(in1));
        const QByteArray in4 = infoHeader(8, 2, 4, 8, 16) + pattern(64 + 8, 8);
        both("4-bit", in4, flipped(in4));
    }

    // Headers that do not fit their blocks are delivered without conversion.
    {
        const QByteArray in = infoHeader(3, 0, 16, 0, 0) + pattern(8, 1);
        both("16-bit with 0 rows", in, in, QStringLiteral("0 rows"));
        const QByteArray in2 = infoHeader(3, 2, 16, 1000, 0) + pattern(16, 1);
        both("16-bit, biSizeImage beyond the block", in2, flipped(in2), QStringLiteral("do not fit"));
        const QByteArray in3 = infoHeader(100000, 2, 16, 10, 0) + pattern(10, 1);
        both("16-bit, width times rows beyond the block", in3, flipped(in3), QStringLiteral("does not fit"));
        // biSizeImage 0 is legal: the size follows from the header (rows of 8 bytes here).
        const QByteArray hdr4 = infoHeader(3, 2, 16, 0, 0);
        const QByteArray in4 = hdr4 + pattern(16, 1);
        both("16-bit without biSizeImage", in4, reduced(hdr4, 3, bytes({16, 44, 72, 100, 128, 156, 184, 212})),
             QStringLiteral("without biSizeImage"));
        const QByteArray in5 = infoHeader(-3, 2, 16, 12, 0) + pattern(12, 1);
        both("16-bit, negative width", in5, flipped(in5), QStringLiteral("width -3"));
        const QByteArray in5w = infoHeader(0, 1000000, 16, 0, 0) + pattern(12, 1);
        both("16-bit, width 0", in5w, flipped(in5w), QStringLiteral("width 0"));
        const QByteArray in6 = infoHeader(3, INT_MIN, 16, 12, 0) + pattern(12, 1);
        both("16-bit, height INT_MIN", in6, in6, QStringLiteral("does not fit"));
        const QByteArray in7 = infoHeader(3, 2, 8, 8, 0, 4000) + pattern(60, 1);
        both("header size beyond the block", in7, in7, QStringLiteral("does not fit a block"));
        // A short header still tells the rows' order by the height's sign.
        const QByteArray in8 = infoHeader(3, 2, 8, 8, 0, 20) + pattern(60, 1);
        both("header size 20", in8, flipped(in8), QStringLiteral("only the height's sign"));
        const QByteArray in8b = infoHeader(3, 2, 8, 8, 0, 13) + pattern(60, 1);
        both("header size 13", in8b, flipped(in8b), QStringLiteral("only the height's sign"));
        const QByteArray in9 = bytes({40, 0});
        both("block of 2 bytes", in9, in9, QStringLiteral("holds no DIB header"));
        const QByteArray in10 = bytes({40, 0, 0, 0, 1, 0});
        both("info header cut short", in10, in10, QStringLiteral("does not fit a block"));
    }
    // A block the source keeps locked cannot move, so it cannot grow.
    {
        const QByteArray in = infoHeader(3, 2, 16, 16, 0) + words({1, 2, 3, 4, 5, 6, 7, 8});
        QTest::newRow("16-bit, block cannot grow")
            << in << true << 12 << flipped(in) << QStringLiteral("cannot be enlarged");
        const QByteArray in2 = infoHeader(4, 2, 8, 8, 0) + pattern(8, 4);
        QTest::newRow("8-bit, block cannot grow")
            << in2 << true << 12 << flipped(in2) << QStringLiteral("cannot be enlarged");
    }
}

void TestDibNormalize::normalize()
{
    QFETCH(QByteArray, input);
    QFETCH(bool, moveable);
    QFETCH(int, extraLocks);
    QFETCH(QByteArray, expected);
    QFETCH(QString, logPart);

    HGLOBAL hDib = makeBlock(input, moveable, extraLocks);
    QVERIFY(hDib);
    bool bFree = true;
    Emission seen;
    XferDetail::NormalizeDib(hDib, bFree, [&](HGLOBAL hImage, std::int64_t nSize, bool& bFreeImage) {
        ++seen.nCalls;
        seen.hImage = hImage;
        seen.nSize = nSize;
        seen.nLocks = lockCount(hImage);
        seen.bFreeSeen = bFreeImage;
        seen.content = readBlock(hImage);
    });

    QCOMPARE(seen.nCalls, 1);
    QCOMPARE(seen.hImage, hDib);
    QVERIFY(seen.bFreeSeen);
    QVERIFY(bFree);
    QCOMPARE(seen.nSize, qint64(GlobalSize(hDib)));
    QCOMPARE(seen.content.size(), expected.size());
    QCOMPARE(seen.content.toHex(' '), expected.toHex(' '));
    QCOMPARE(readBlock(hDib), expected);
    if (isMoveable(hDib)) {
        // Locked once more during the emission, unlocked once after it.
        QVERIFY(seen.nLocks >= 1);
        QCOMPARE(lockCount(hDib), seen.nLocks - 1);
    }
    if (logPart.isEmpty())
        QCOMPARE(m_log.lines(), QStringList());
    else
        QVERIFY2(m_log.contains(logPart), qPrintable(m_log.lines().join(QLatin1Char('\n'))));
    while (lockCount(hDib) > 0)
        GlobalUnlock(hDib);
    QCOMPARE(GlobalFree(hDib), HGLOBAL(nullptr));
}

void TestDibNormalize::detailLinesFollowTheMask_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QStringList>("lines");

    const QByteArray in16 = infoHeader(3, 2, 16, 10, 0) + words({0x11, 0x22, 0x33, 0x44, 0x55});
    QTest::newRow("16-bit, data missing")
        << in16
        << QStringList{QStringLiteral("BITMAPINFO: hsize=40, (3x2), pl=1, bit=16"),
                       QStringLiteral("compr=0, datasize=10, res=(3780x3780), clr=0,0"),
                       QStringLiteral("handle="),
                       QStringLiteral("reducing 16bit to 8bit"),
                       QStringLiteral("bitmap data missing: wanted=12, found=10 lines"),
                       QStringLiteral("llen16=5, llen8=4, add=2, shift=0"),
                       QStringLiteral("tries=10, handle="),
                       QStringLiteral("initializing grayscale palette"),
                       QStringLiteral("BITMAPINFO: hsize=40, (2x-2), pl=1, bit=8"),
                       QStringLiteral("compr=0, datasize=8, res=(3780x3780), clr=256,0"),
                       QStringLiteral("handle=")};
    const QByteArray in8 = infoHeader(4, 2, 8, 8, 0) + pattern(1032, 1);
    QTest::newRow("8-bit, table in the block")
        << in8
        << QStringList{QStringLiteral("BITMAPINFO: hsize=40, (4x2), pl=1, bit=8"),
                       QStringLiteral("compr=0, datasize=8, res=(3780x3780), clr=0,0"),
                       QStringLiteral("handle="),
                       QStringLiteral("setting ClrUsed to 256"),
                       QStringLiteral("BITMAPINFO: hsize=40, (4x-2), pl=1, bit=8"),
                       QStringLiteral("compr=0, datasize=8, res=(3780x3780), clr=256,0"),
                       QStringLiteral("handle=")};
    QByteArray core(12, '\0');
    putLe32(core, 0, 12);
    putLe16(core, 4, 2);
    putLe16(core, 6, 3);
    putLe16(core, 8, 1);
    putLe16(core, 10, 24);
    QTest::newRow("core header") << core + pattern(24, 0)
                                 << QStringList{QStringLiteral("BITMAPCORE: hsize=12, (2x3), pl=1, bit=24")};
}

void TestDibNormalize::detailLinesFollowTheMask()
{
    QFETCH(QByteArray, input);
    QFETCH(QStringList, lines);

    auto sink = [](HGLOBAL, int, bool&) {};
    for (unsigned char nMask :
         {XferDetail::kDiagMask, static_cast<unsigned char>(XferDetail::kDiagMask | 0x10)}) {
        m_log.clear();
        HGLOBAL hDib = makeBlock(input, false, 0);
        bool bFree = true;
        XferDetail::NormalizeDib(hDib, bFree, sink, nMask);
        GlobalFree(hDib);
        const QStringList written = m_log.lines();
        if (!(nMask & XferDetail::kDiagDetail)) {
            QCOMPARE(written, QStringList());
            continue;
        }
        QCOMPARE(written.size(), lines.size());
        for (int i = 0; i < lines.size(); ++i)
            QVERIFY2(written[i].startsWith(lines[i]), qPrintable(written[i]));
    }
}

void TestDibNormalize::nullOrDeadHandleIsNotDelivered()
{
    int nCalls = 0;
    auto sink = [&](HGLOBAL, int, bool&) { ++nCalls; };
    HGLOBAL hNull = nullptr;
    bool bFree = true;
    XferDetail::NormalizeDib(hNull, bFree, sink);
    QCOMPARE(nCalls, 0);
    QVERIFY(m_log.contains(QStringLiteral("no image handle")));

    m_log.clear();
    HGLOBAL hDead = GlobalAlloc(GMEM_MOVEABLE, 64);
    GlobalFree(hDead);
    XferDetail::NormalizeDib(hDead, bFree, sink);
    QCOMPARE(nCalls, 0);
    QVERIFY(m_log.contains(QStringLiteral("cannot be locked")));
}

void TestDibNormalize::vanillaGreyTableFallsFromWhite_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::newRow("8-bit without table") << infoHeader(4, 2, 8, 8, 0) + pattern(8, 4);
    QTest::newRow("16-bit") << infoHeader(2, 2, 16, 8, 0) + words({0xFFFF, 0x8000, 0x7FFF, 0x0000});
}

// A vanilla source's 0 is white: the table the bridge adds falls from white.
void TestDibNormalize::vanillaGreyTableFallsFromWhite()
{
    QFETCH(QByteArray, input);
    HGLOBAL hDib = makeBlock(input, true, 0);
    bool bFree = true;
    QByteArray seen;
    XferDetail::NormalizeDib(
        hDib, bFree, [&](HGLOBAL hImage, int, bool&) { seen = readBlock(hImage); }, XferDetail::kDiagMask,
        true);
    QVERIFY(seen.size() >= 40 + 1024);
    QByteArray falling;
    for (int i = 0; i < 256; ++i)
        falling += bytes({255 - i, 255 - i, 255 - i, 0});
    QCOMPARE(seen.mid(40, 1024).toHex(' '), falling.toHex(' '));
    QCOMPARE(GlobalFree(hDib), HGLOBAL(nullptr));
}

// A C heap's block holds the image and its rounding; the image's own end
// counts the table that biClrUsed 0 implies.
void TestDibNormalize::nativeImageLength_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<int>("blockSize");
    QTest::addColumn<int>("length");

    // 1-bit 20 x 4: rows of 4 bytes; 4-bit 9 x 3: rows of 8 bytes; 8-bit 10 x 3: rows of 12 bytes.
    QTest::newRow("1-bit, 2 entries listed, heap slack") << infoHeader(20, 4, 1, 16, 2) << 40 + 8 + 16 + 8
                                                          << 40 + 8 + 16;
    QTest::newRow("1-bit, table implied, heap slack") << infoHeader(20, 4, 1, 16, 0) << 40 + 8 + 16 + 8
                                                       << 40 + 8 + 16;
    QTest::newRow("1-bit, table implied, biSizeImage 0")
        << infoHeader(20, 4, 1, 0, 0) << 40 + 8 + 16 + 24 << 40 + 8 + 16;
    QTest::newRow("4-bit, table implied, heap slack") << infoHeader(9, 3, 4, 24, 0) << 40 + 64 + 24 + 8
                                                       << 40 + 64 + 24;
    QTest::newRow("4-bit, table implied, no slack") << infoHeader(9, 3, 4, 24, 0) << 40 + 64 + 24
                                                     << 40 + 64 + 24;
    QTest::newRow("8-bit, table implied") << infoHeader(10, 3, 8, 36, 0) << 40 + 1024 + 36 + 12
                                           << 40 + 1024 + 36;
    QTest::newRow("8-bit without table") << infoHeader(10, 3, 8, 36, 0) << 40 + 36 + 12 << 40 + 36;
    QTest::newRow("8-bit, 256 entries, biSizeImage 0") << infoHeader(10, 3, 8, 0, 256) << 40 + 1024 + 36 + 4
                                                        << 40 + 1024 + 36;
    QTest::newRow("8-bit, biSizeImage without row padding")
        << infoHeader(10, 3, 8, 30, 256) << 40 + 1024 + 36 + 4 << 40 + 1024 + 36;
    QTest::newRow("24-bit, biSizeImage 0") << infoHeader(10, -3, 24, 0, 0) << 40 + 96 + 16 << 40 + 96;
    QTest::newRow("header of 56 bytes") << infoHeader(10, 3, 24, 96, 0, 56) << 56 + 96 + 8 << 56 + 96;
    QTest::newRow("header of 124 bytes") << infoHeader(10, 3, 24, 96, 0, 124) << 124 + 96 + 8 << 124 + 96;
    // Whatever the header cannot account for stays.
    QTest::newRow("slack as large as a table") << infoHeader(10, 3, 24, 96, 0) << 40 + 96 + 1024
                                                << 40 + 96 + 1024;
    QTest::newRow("rows beyond the block") << infoHeader(10, 3, 24, 96, 0) << 40 + 90 << 40 + 90;
    QTest::newRow("header beyond the block") << infoHeader(10, 3, 24, 0, 0, 4000) << 200 << 200;
    QTest::newRow("header of 12 bytes") << infoHeader(10, 3, 24, 96, 0, 12) << 200 << 200;
    QTest::newRow("more than 256 entries") << infoHeader(10, 3, 8, 36, 300) << 40 + 1200 + 36 + 8
                                            << 40 + 1200 + 36 + 8;
    QTest::newRow("width 0, biSizeImage 0") << infoHeader(0, 3, 24, 0, 0) << 100 << 100;
    QByteArray compressed = infoHeader(10, 3, 8, 20, 0);
    putLe32(compressed, 16, 1);
    QTest::newRow("compressed") << compressed << 40 + 1024 + 20 + 8 << 40 + 1024 + 20 + 8;
}

void TestDibNormalize::nativeImageLength()
{
    QFETCH(QByteArray, header);
    QFETCH(int, blockSize);
    QFETCH(int, length);
    QByteArray block = header;
    block.resize(blockSize);
    const auto* p = reinterpret_cast<const unsigned char*>(block.constData());
    QCOMPARE(int(XferDetail::NativeImageLength(p, std::size_t(block.size()))), length);
}

namespace {

// A DSM whose blocks are anonymous mappings: pages never written take no memory.
std::size_t g_nMappedSize = 0;
TW_HANDLE TW_CALLINGSTYLE mappedAlloc(TW_UINT32 nSize)
{
#if defined(Q_OS_UNIX)
    void* p = mmap(nullptr, nSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    g_nMappedSize = nSize;
    return p;
#else
    Q_UNUSED(nSize);
    return nullptr;
#endif
}
void TW_CALLINGSTYLE mappedFree(TW_HANDLE h)
{
#if defined(Q_OS_UNIX)
    if (h)
        munmap(h, g_nMappedSize);
#else
    Q_UNUSED(h);
#endif
}
TW_MEMREF TW_CALLINGSTYLE mappedLock(TW_HANDLE h)
{
    return h;
}
void TW_CALLINGSTYLE mappedUnlock(TW_HANDLE) {}

} // namespace

// Image sizes are 64-bit from the block to the receiver: a page of more than
// 2 GiB keeps its size.
void TestDibNormalize::imageOfMoreThan2GiB()
{
    static_assert(std::is_same<XferDetail::ImageSink,
                               std::function<void(HGLOBAL, std::int64_t, bool&)>>::value,
                  "the sink receives 64-bit sizes");
    const QMetaMethod signal = QMetaMethod::fromSignal(&CTwainXFer::si_ImageInMemory);
    QCOMPARE(signal.parameterType(1), int(QMetaType::LongLong));
    if (sizeof(void*) < 8)
        QSKIP("a 32-bit process cannot hold a block of more than 2 GiB");

    // 24 bits, 32768 x 24576: rows of 98304 bytes, 2.25 GiB of them.
    const std::uint64_t nPixels = std::uint64_t(98304) * 24576;
    const std::uint64_t nImage = 40 + nPixels;
    const TW_ENTRYPOINT saved = g_DSMEntryPoint;
    g_DSMEntryPoint.DSM_MemAllocate = &mappedAlloc;
    g_DSMEntryPoint.DSM_MemFree = &mappedFree;
    g_DSMEntryPoint.DSM_MemLock = &mappedLock;
    g_DSMEntryPoint.DSM_MemUnlock = &mappedUnlock;
    HGLOBAL hDib = mappedAlloc(TW_UINT32(nImage + 16));
    if (!hDib) {
        g_DSMEntryPoint = saved;
        QSKIP("no address space for a block of 2.25 GiB");
    }
    const QByteArray header = infoHeader(32768, 24576, 24, TW_UINT32(nPixels), 0);
    std::memcpy(hDib, header.constData(), std::size_t(header.size()));

    const auto* p = static_cast<const unsigned char*>(hDib);
    const std::size_t nLength = XferDetail::NativeImageLength(p, std::size_t(nImage + 16));
    bool bFree = true;
    std::int64_t nDelivered = 0;
    XferDetail::NormalizeDsmDib(hDib, nLength, bFree,
                                [&](HGLOBAL, std::int64_t nSize, bool&) { nDelivered = nSize; });
    mappedFree(hDib);
    g_DSMEntryPoint = saved;
    QCOMPARE(std::uint64_t(nLength), nImage);
    QCOMPARE(std::uint64_t(nDelivered), nImage);
    QVERIFY(nDelivered > std::int64_t(INT_MAX));
}

QTEST_GUILESS_MAIN(TestDibNormalize)
#include "tst_dibnormalize.moc"
