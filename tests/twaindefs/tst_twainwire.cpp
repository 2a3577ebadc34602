#include "twain/wirelayout.h"

#include <QtTest>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

extern "C" int twainIdentitySizeInC(void);
extern "C" int twainCapabilitySizeInC(void);

using Bytes = std::vector<char>;
using namespace TwainWire;

namespace {

// Every DAT with a data block: its 32-bit and 64-bit structure sizes as the
// standard's layouts give them, and whether the two forms differ.
struct DatRow
{
    TW_UINT16 dat;
    const char* name;
    int size32;
    int size64;
    bool differs;
};

const DatRow kDats[] = {
    {DAT_CAPABILITY, "DAT_CAPABILITY", 8, 12, true},
    {DAT_EVENT, "DAT_EVENT", 6, 10, true},
    {DAT_IDENTITY, "DAT_IDENTITY", 156, 156, false},
    {DAT_PARENT, "DAT_PARENT", 4, 8, true},
    {DAT_PENDINGXFERS, "DAT_PENDINGXFERS", 6, 6, false},
    {DAT_SETUPMEMXFER, "DAT_SETUPMEMXFER", 12, 12, false},
    {DAT_SETUPFILEXFER, "DAT_SETUPFILEXFER", 260, 260, false},
    {DAT_STATUS, "DAT_STATUS", 4, 4, false},
    {DAT_USERINTERFACE, "DAT_USERINTERFACE", 8, 12, true},
    {DAT_XFERGROUP, "DAT_XFERGROUP", 4, 4, false},
    {DAT_CUSTOMDSDATA, "DAT_CUSTOMDSDATA", 8, 12, true},
    {DAT_DEVICEEVENT, "DAT_DEVICEEVENT", 294, 294, false},
    {DAT_FILESYSTEM, "DAT_FILESYSTEM", 1124, 1128, true},
    {DAT_PASSTHRU, "DAT_PASSTHRU", 24, 32, true},
    {DAT_CALLBACK, "DAT_CALLBACK", 10, 14, true},
    {DAT_STATUSUTF8, "DAT_STATUSUTF8", 12, 16, true},
    {DAT_CALLBACK2, "DAT_CALLBACK2", 10, 18, true},
    {DAT_METRICS, "DAT_METRICS", 12, 12, false},
    {DAT_TWAINDIRECT, "DAT_TWAINDIRECT", 22, 30, true},
    {DAT_IMAGEINFO, "DAT_IMAGEINFO", 42, 42, false},
    {DAT_IMAGELAYOUT, "DAT_IMAGELAYOUT", 28, 28, false},
    {DAT_IMAGEMEMXFER, "DAT_IMAGEMEMXFER", 38, 42, true},
    {DAT_IMAGENATIVEXFER, "DAT_IMAGENATIVEXFER", 4, 8, true},
    {DAT_CIECOLOR, "DAT_CIECOLOR", 326, 326, false},
    {DAT_GRAYRESPONSE, "DAT_GRAYRESPONSE", 4, 4, false},
    {DAT_RGBRESPONSE, "DAT_RGBRESPONSE", 4, 4, false},
    {DAT_JPEGCOMPRESSION, "DAT_JPEGCOMPRESSION", 122, 154, true},
    {DAT_PALETTE8, "DAT_PALETTE8", 1028, 1028, false},
    {DAT_EXTIMAGEINFO, "DAT_EXTIMAGEINFO", 16, 20, true},
    {DAT_FILTER, "DAT_FILTER", 20, 24, true},
    {DAT_AUDIOINFO, "DAT_AUDIOINFO", 260, 260, false},
    {DAT_AUDIONATIVEXFER, "DAT_AUDIONATIVEXFER", 4, 8, true},
    {DAT_ICCPROFILE, "DAT_ICCPROFILE", 12, 16, true},
    {DAT_IMAGEMEMFILEXFER, "DAT_IMAGEMEMFILEXFER", 38, 42, true},
    {DAT_ENTRYPOINT, "DAT_ENTRYPOINT", 24, 44, true},
};

int nativeSizeOf(const DatRow& row)
{
    return kWireIsNative ? row.size32 : row.size64;
}

void addDatRows()
{
    QTest::addColumn<int>("dat");
    for (const DatRow& row : kDats)
        QTest::newRow(row.name) << int(row.dat);
}

const DatRow& rowOf(int dat)
{
    for (const DatRow& row : kDats)
        if (row.dat == dat)
            return row;
    qFatal("no row for DAT 0x%04x", dat);
}

Bytes pattern(std::size_t n, int seed = 11)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = char((i * 37 + std::size_t(seed)) & 0xFF);
    return b;
}

std::uint64_t readLE(const Bytes& b, std::size_t off, std::size_t width)
{
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i)
        v |= std::uint64_t(static_cast<unsigned char>(b.at(off + i))) << (8 * i);
    return v;
}

void writeLE(Bytes& b, std::size_t off, std::size_t width, std::uint64_t v)
{
    for (std::size_t i = 0; i < width; ++i)
        b.at(off + i) = char((v >> (8 * i)) & 0xFF);
}

// Visits the fields of the fixed part and of every element a block of the
// given 32-bit length holds; the callback gets the field and the element's
// offsets in both forms.
template <typename F>
void forEachField(const Layout& l, std::size_t length32, F f)
{
    for (std::uint16_t i = 0; i < l.fieldCount; ++i)
        f(l.fields[i], std::size_t(0), std::size_t(0));
    if (!l.element)
        return;
    const std::size_t fixed32 = l.size32 - l.element->size32;
    const std::size_t fixedNative = l.sizeNative - l.element->sizeNative;
    for (std::size_t e = 0; fixed32 + (e + 1) * l.element->size32 <= length32; ++e)
        for (std::uint16_t i = 0; i < l.element->fieldCount; ++i)
            f(l.element->fields[i], fixed32 + e * l.element->size32, fixedNative + e * l.element->sizeNative);
}

bool isWide(FieldKind k)
{
    return k == FieldKind::Handle || k == FieldKind::UintPtr;
}

// A wire block whose element count field (if any) agrees with its length.
Bytes wireBlock(TW_UINT16 dat, std::size_t length, int seed = 11)
{
    Bytes b = pattern(length, seed);
    const Layout* l = layoutOf(dat);
    if (l && l->countField >= 0 && length >= 4) {
        const std::size_t fixed32 = l->size32 - l->element->size32;
        writeLE(b, l->fields[l->countField].offset32, 4, (length - fixed32) / l->element->size32);
    }
    return b;
}

} // namespace

class tst_TwainWire : public QObject
{
    Q_OBJECT

private slots:
    void headerUsableFromC();
    void sizes_data();
    void sizes();
    void logSizeTable_data();
    void logSizeTable();
    void conversionNeeded_data();
    void conversionNeeded();
    void roundTripKeepsEveryByte_data();
    void roundTripKeepsEveryByte();
    void fieldsLandAtNativeOffsets_data();
    void fieldsLandAtNativeOffsets();
    void handlesZeroExtendedAndTruncated_data();
    void handlesZeroExtendedAndTruncated();
    void shortBlock_data();
    void shortBlock();
    void longerBlock_data();
    void longerBlock();
    void extImageInfoConvertsEachElement();
    void extImageInfoCountSizesTheBlock_data();
    void extImageInfoCountSizesTheBlock();
    void entryPointSize_data();
    void entryPointSize();
    void blocksWithoutLayout_data();
    void blocksWithoutLayout();
};

void tst_TwainWire::headerUsableFromC()
{
    QCOMPARE(twainIdentitySizeInC(), 156);
    QCOMPARE(twainCapabilitySizeInC(), int(sizeof(TW_CAPABILITY)));
}

void tst_TwainWire::sizes_data()
{
    addDatRows();
}

void tst_TwainWire::sizes()
{
    QFETCH(int, dat);
    const DatRow& row = rowOf(dat);
    const Layout* l = layoutOf(TW_UINT16(dat));
    QVERIFY(l);
    QCOMPARE(int(l->size32), row.size32);
    QCOMPARE(int(l->sizeNative), nativeSizeOf(row));
    QCOMPARE(l->widthDependent, row.differs);

    // The fields lie back to back in both forms.
    std::size_t end32 = 0;
    std::size_t endNative = 0;
    forEachField(*l, l->size32, [&](const Field& f, std::size_t base32, std::size_t baseNative) {
        QCOMPARE(base32 + f.offset32, end32);
        QCOMPARE(baseNative + f.offsetNative, endNative);
        end32 += f.size32;
        endNative += f.sizeNative;
    });
    QCOMPARE(end32, std::size_t(row.size32));
    QCOMPARE(endNative, std::size_t(nativeSizeOf(row)));

    const Bytes zeros(std::size_t(row.size32), 0);
    QCOMPARE(nativeLength(TW_UINT16(dat), zeros.data(), zeros.size()), std::size_t(nativeSizeOf(row)));
    QCOMPARE(widen(TW_UINT16(dat), zeros).size(), std::size_t(nativeSizeOf(row)));
}

void tst_TwainWire::logSizeTable_data()
{
    QTest::addColumn<int>("dat");
    QTest::addColumn<int>("expected");
    for (const DatRow& row : kDats) {
        // The log's table leaves these out.
        const bool unlisted = row.dat == DAT_CALLBACK || row.dat == DAT_CUSTOMDSDATA ||
                              row.dat == DAT_IMAGENATIVEXFER || row.dat == DAT_METRICS ||
                              row.dat == DAT_TWAINDIRECT;
        QTest::newRow(row.name) << int(row.dat) << (unlisted ? -1 : row.size32);
    }
    QTest::newRow("DAT_NULL") << int(DAT_NULL) << 0;
    QTest::newRow("DAT_IMAGEFILEXFER") << int(DAT_IMAGEFILEXFER) << 0;
    QTest::newRow("DAT_AUDIOFILEXFER") << int(DAT_AUDIOFILEXFER) << 0;
    QTest::newRow("DAT_TWUNKIDENTITY") << int(DAT_TWUNKIDENTITY) << -1;
    QTest::newRow("DAT_SETUPFILEXFER2") << int(DAT_SETUPFILEXFER2) << -1;
    QTest::newRow("DAT_CUSTOMBASE") << int(DAT_CUSTOMBASE) << -1;
}

void tst_TwainWire::logSizeTable()
{
    QFETCH(int, dat);
    QFETCH(int, expected);
    QCOMPARE(datSize32(TW_UINT16(dat)), expected);
    if (expected > 0)
        QCOMPARE(int(layoutOf(TW_UINT16(dat))->size32), expected);
    if (expected == 0)
        QVERIFY(!layoutOf(TW_UINT16(dat)));
}

void tst_TwainWire::conversionNeeded_data()
{
    addDatRows();
    QTest::newRow("DAT_NULL") << int(DAT_NULL);
    QTest::newRow("DAT_CUSTOMBASE") << int(DAT_CUSTOMBASE);
}

void tst_TwainWire::conversionNeeded()
{
    QFETCH(int, dat);
    const Layout* l = layoutOf(TW_UINT16(dat));
    const bool differs = l && rowOf(dat).differs;
    // A 32-bit build reads the wire form natively.
    QCOMPARE(needsConversion(TW_UINT16(dat)), !kWireIsNative && differs);
}

void tst_TwainWire::roundTripKeepsEveryByte_data()
{
    addDatRows();
}

void tst_TwainWire::roundTripKeepsEveryByte()
{
    QFETCH(int, dat);
    const DatRow& row = rowOf(dat);
    const Bytes wire = wireBlock(row.dat, std::size_t(row.size32));
    const Bytes native = widen(row.dat, wire);
    QCOMPARE(native.size(), std::size_t(nativeSizeOf(row)));
    if (!needsConversion(row.dat))
        QVERIFY(native == wire);
    QVERIFY(narrow(row.dat, native, wire.size()) == wire);

    // In place, into a block that held something else.
    Bytes back = pattern(wire.size(), 99);
    narrow(row.dat, native.data(), native.size(), back.data(), back.size());
    QVERIFY(back == wire);
}

void tst_TwainWire::fieldsLandAtNativeOffsets_data()
{
    addDatRows();
}

void tst_TwainWire::fieldsLandAtNativeOffsets()
{
    QFETCH(int, dat);
    const Layout* l = layoutOf(TW_UINT16(dat));
    // Two elements where the structure has them, so the second element's position is checked too.
    const std::size_t length = l->size32 + (l->element ? l->element->size32 : 0);
    const Bytes wire = wireBlock(TW_UINT16(dat), length);
    const Bytes native = widen(TW_UINT16(dat), wire);
    forEachField(*l, length, [&](const Field& f, std::size_t base32, std::size_t baseNative) {
        const std::size_t at32 = base32 + f.offset32;
        const std::size_t atNative = baseNative + f.offsetNative;
        if (f.kind == FieldKind::Bytes) {
            QVERIFY2(std::memcmp(native.data() + atNative, wire.data() + at32, f.size32) == 0, f.name);
        } else if (f.kind == FieldKind::SizeOf) {
            // Only the structure's own 32-bit size is translated (entryPointSize).
            QVERIFY(readLE(wire, at32, 4) != l->size32);
            QCOMPARE(readLE(native, atNative, 4), readLE(wire, at32, 4));
        } else {
            QVERIFY2(f.sizeNative == sizeof(void*), f.name);
            const std::uint64_t value = readLE(wire, at32, 4);
            QCOMPARE(readLE(native, atNative, f.sizeNative), value);
        }
    });
}

void tst_TwainWire::handlesZeroExtendedAndTruncated_data()
{
    QTest::addColumn<int>("dat");
    for (const DatRow& row : kDats)
        if (row.differs)
            QTest::newRow(row.name) << int(row.dat);
}

void tst_TwainWire::handlesZeroExtendedAndTruncated()
{
    QFETCH(int, dat);
    const Layout* l = layoutOf(TW_UINT16(dat));
    const std::size_t length = l->size32 + (l->element ? 2 * l->element->size32 : 0);
    Bytes wire = wireBlock(TW_UINT16(dat), length);
    // The high bit set: a handle must not be sign-extended.
    forEachField(*l, length, [&](const Field& f, std::size_t base32, std::size_t) {
        if (isWide(f.kind))
            writeLE(wire, base32 + f.offset32, 4, 0x89ABCDEFu);
    });

    Bytes native = widen(TW_UINT16(dat), wire);
    int handles = 0;
    forEachField(*l, length, [&](const Field& f, std::size_t, std::size_t baseNative) {
        if (!isWide(f.kind))
            return;
        ++handles;
        QCOMPARE(readLE(native, baseNative + f.offsetNative, f.sizeNative), std::uint64_t(0x89ABCDEFu));
        // What a 64-bit source may write back.
        const std::uint64_t written = kWireIsNative ? 0x01234567u : 0xFEDCBA9801234567ull;
        writeLE(native, baseNative + f.offsetNative, f.sizeNative, written);
    });
    QVERIFY(handles > 0);

    const Bytes back = narrow(TW_UINT16(dat), native, wire.size());
    QCOMPARE(back.size(), wire.size());
    forEachField(*l, length, [&](const Field& f, std::size_t base32, std::size_t) {
        const std::size_t at = base32 + f.offset32;
        if (isWide(f.kind))
            QCOMPARE(readLE(back, at, 4), std::uint64_t(0x01234567u));
        else
            QVERIFY2(std::memcmp(back.data() + at, wire.data() + at, f.size32) == 0, f.name);
    });
}

void tst_TwainWire::shortBlock_data()
{
    QTest::addColumn<int>("dat");
    QTest::addColumn<int>("length");
    QTest::newRow("capability, half a handle") << int(DAT_CAPABILITY) << 6;
    QTest::newRow("capability, 1 byte") << int(DAT_CAPABILITY) << 1;
    QTest::newRow("user interface, no handle") << int(DAT_USERINTERFACE) << 4;
    QTest::newRow("parent, 3 bytes") << int(DAT_PARENT) << 3;
    QTest::newRow("passthru, 1 byte of pData") << int(DAT_PASSTHRU) << 13;
    QTest::newRow("memory transfer, no TheMem") << int(DAT_IMAGEMEMXFER) << 30;
    QTest::newRow("jpeg, up to HuffmanMap") << int(DAT_JPEGCOMPRESSION) << 70;
    QTest::newRow("ext image info, no Item") << int(DAT_EXTIMAGEINFO) << 10;
    QTest::newRow("file system, odd length") << int(DAT_FILESYSTEM) << 601;
    QTest::newRow("entry point") << int(DAT_ENTRYPOINT) << 2;
    QTest::newRow("identity") << int(DAT_IDENTITY) << 100;
    QTest::newRow("gray response") << int(DAT_GRAYRESPONSE) << 2;
}

void tst_TwainWire::shortBlock()
{
    QFETCH(int, dat);
    QFETCH(int, length);
    const DatRow& row = rowOf(dat);
    const Bytes source = wireBlock(row.dat, std::size_t(length));
    // Exactly as long as the data, so that a read past its end is caught.
    std::unique_ptr<char[]> wire(new char[std::size_t(length)]);
    std::memcpy(wire.get(), source.data(), source.size());

    const Bytes native = widen(row.dat, wire.get(), std::size_t(length));
    QCOMPARE(native.size(), std::size_t(nativeSizeOf(row)));
    // Missing fields are zero: the same as widening the whole structure with zeros after the data.
    Bytes full = source;
    full.resize(std::size_t(row.size32), 0);
    QVERIFY(native == widen(row.dat, full));

    // Back to its own length only.
    std::unique_ptr<char[]> back(new char[std::size_t(length)]);
    narrow(row.dat, native.data(), native.size(), back.get(), std::size_t(length));
    QVERIFY(std::memcmp(back.get(), source.data(), source.size()) == 0);
}

void tst_TwainWire::longerBlock_data()
{
    QTest::addColumn<int>("dat");
    QTest::addColumn<int>("extra");
    QTest::newRow("capability + 5 bytes") << int(DAT_CAPABILITY) << 5;
    QTest::newRow("passthru + 3 bytes") << int(DAT_PASSTHRU) << 3;
    QTest::newRow("entry point + 8 bytes") << int(DAT_ENTRYPOINT) << 8;
    QTest::newRow("identity + 10 bytes") << int(DAT_IDENTITY) << 10;
    QTest::newRow("cie color + 3 samples") << int(DAT_CIECOLOR) << 12;
    QTest::newRow("gray response, 256 entries") << int(DAT_GRAYRESPONSE) << 255 * 4;
    QTest::newRow("rgb response, 256 entries") << int(DAT_RGBRESPONSE) << 255 * 4;
    QTest::newRow("ext image info + 1 info") << int(DAT_EXTIMAGEINFO) << 12;
    QTest::newRow("ext image info + 1 info and 5 bytes") << int(DAT_EXTIMAGEINFO) << 17;
}

void tst_TwainWire::longerBlock()
{
    QFETCH(int, dat);
    QFETCH(int, extra);
    const DatRow& row = rowOf(dat);
    const Layout* l = layoutOf(row.dat);
    const std::size_t length = std::size_t(row.size32 + extra);
    const Bytes wire = wireBlock(row.dat, length);
    const Bytes native = widen(row.dat, wire);

    if (l->element) {
        // Every started element gets a whole native element.
        const std::size_t fixed32 = l->size32 - l->element->size32;
        const std::size_t elements = (length - fixed32 + l->element->size32 - 1) / l->element->size32;
        QCOMPARE(native.size(), l->sizeNative - l->element->sizeNative + elements * l->element->sizeNative);
    } else {
        // The bytes beyond the structure follow the native structure unchanged.
        QCOMPARE(native.size(), std::size_t(nativeSizeOf(row) + extra));
        QVERIFY(std::memcmp(native.data() + nativeSizeOf(row), wire.data() + row.size32,
                            std::size_t(extra)) == 0);
    }
    QVERIFY(narrow(row.dat, native, length) == wire);
}

void tst_TwainWire::extImageInfoConvertsEachElement()
{
    // Three infos, each in 12 bytes: InfoID, ItemType, NumItems, ReturnCode, Item.
    Bytes wire(4 + 3 * 12, 0);
    writeLE(wire, 0, 4, 3);
    for (std::size_t i = 0; i < 3; ++i) {
        const std::size_t at = 4 + i * 12;
        writeLE(wire, at, 2, TWEI_BARCODEX + i);
        writeLE(wire, at + 2, 2, TWTY_UINT32);
        writeLE(wire, at + 4, 2, 1);
        writeLE(wire, at + 6, 2, TWRC_INFONOTSUPPORTED);
        writeLE(wire, at + 8, 4, 0x80000000u + i);
    }

    Bytes native = widen(DAT_EXTIMAGEINFO, wire);
    QCOMPARE(native.size(), sizeof(TW_EXTIMAGEINFO) + 2 * sizeof(TW_INFO));
    TW_UINT32 numInfos = 0;
    std::memcpy(&numInfos, native.data() + offsetof(TW_EXTIMAGEINFO, NumInfos), sizeof numInfos);
    QCOMPARE(numInfos, TW_UINT32(3));
    for (std::size_t i = 0; i < 3; ++i) {
        TW_INFO info;
        char* at = native.data() + offsetof(TW_EXTIMAGEINFO, Info) + i * sizeof(TW_INFO);
        std::memcpy(&info, at, sizeof info);
        QCOMPARE(std::size_t(info.InfoID), TWEI_BARCODEX + i);
        QCOMPARE(info.ItemType, TW_UINT16(TWTY_UINT32));
        QCOMPARE(info.NumItems, TW_UINT16(1));
        QCOMPARE(info.ReturnCode, TW_UINT16(TWRC_INFONOTSUPPORTED));
        QCOMPARE(std::uint64_t(info.Item), std::uint64_t(0x80000000u + i));

        // A source answers each info.
        info.ReturnCode = TWRC_SUCCESS;
        info.Item = TW_UINTPTR(0x1000 + i);
        std::memcpy(at, &info, sizeof info);
    }

    const Bytes back = narrow(DAT_EXTIMAGEINFO, native, wire.size());
    QCOMPARE(readLE(back, 0, 4), std::uint64_t(3));
    for (std::size_t i = 0; i < 3; ++i) {
        const std::size_t at = 4 + i * 12;
        QCOMPARE(readLE(back, at, 2), std::uint64_t(TWEI_BARCODEX + i));
        QCOMPARE(readLE(back, at + 2, 2), std::uint64_t(TWTY_UINT32));
        QCOMPARE(readLE(back, at + 4, 2), std::uint64_t(1));
        QCOMPARE(readLE(back, at + 6, 2), std::uint64_t(TWRC_SUCCESS));
        QCOMPARE(readLE(back, at + 8, 4), std::uint64_t(0x1000 + i));
    }
}

void tst_TwainWire::extImageInfoCountSizesTheBlock_data()
{
    QTest::addColumn<quint32>("numInfos");
    QTest::addColumn<quint32>("elements");
    QTest::addColumn<quint32>("nativeCount");
    QTest::newRow("none") << 0u << 1u << 0u;
    QTest::newRow("one") << 1u << 1u << 1u;
    QTest::newRow("three in a one-info block") << 3u << 3u << 3u;
    QTest::newRow("at the cap") << quint32(kMaxCountedElements) << quint32(kMaxCountedElements)
                                << quint32(kMaxCountedElements);
    QTest::newRow("beyond the cap") << 0xFFFFFFFFu << quint32(kMaxCountedElements)
                                    << quint32(kMaxCountedElements);
}

void tst_TwainWire::extImageInfoCountSizesTheBlock()
{
    QFETCH(quint32, numInfos);
    QFETCH(quint32, elements);
    QFETCH(quint32, nativeCount);
    Bytes wire = pattern(16);
    writeLE(wire, 0, 4, numInfos);

    // A source writes NumInfos entries: the native block has room for all of them.
    const Bytes native = widen(DAT_EXTIMAGEINFO, wire);
    QCOMPARE(native.size(), offsetof(TW_EXTIMAGEINFO, Info) + elements * sizeof(TW_INFO));
    QCOMPARE(readLE(native, 0, 4), std::uint64_t(nativeCount));
    // The entries beyond the block start out zero.
    for (std::size_t i = offsetof(TW_EXTIMAGEINFO, Info) + sizeof(TW_INFO); i < native.size(); ++i)
        QCOMPARE(int(native[i]), 0);

    const Bytes back = narrow(DAT_EXTIMAGEINFO, native, wire.size());
    QCOMPARE(back.size(), wire.size());
    QCOMPARE(readLE(back, 0, 4), std::uint64_t(nativeCount));
    QVERIFY(std::memcmp(back.data() + 4, wire.data() + 4, 12) == 0);
}

void tst_TwainWire::entryPointSize_data()
{
    QTest::addColumn<quint32>("wireSize");
    QTest::addColumn<quint32>("nativeSize");
    QTest::newRow("32-bit size") << 24u << quint32(sizeof(TW_ENTRYPOINT));
    QTest::newRow("other value") << 7u << 7u;
}

void tst_TwainWire::entryPointSize()
{
    QFETCH(quint32, wireSize);
    QFETCH(quint32, nativeSize);
    Bytes wire(24, 0);
    writeLE(wire, 0, 4, wireSize);
    const Bytes native = widen(DAT_ENTRYPOINT, wire);
    TW_ENTRYPOINT entry;
    QCOMPARE(native.size(), sizeof entry);
    std::memcpy(&entry, native.data(), sizeof entry);
    QCOMPARE(entry.Size, nativeSize);
    QVERIFY(narrow(DAT_ENTRYPOINT, native, wire.size()) == wire);
}

void tst_TwainWire::blocksWithoutLayout_data()
{
    QTest::addColumn<int>("dat");
    QTest::addColumn<int>("length");
    QTest::newRow("no data") << int(DAT_CAPABILITY) << 0;
    QTest::newRow("DAT_NULL with bytes") << int(DAT_NULL) << 3;
    QTest::newRow("file transfer with bytes") << int(DAT_IMAGEFILEXFER) << 5;
    QTest::newRow("custom DAT") << int(DAT_CUSTOMBASE + 1) << 9;
}

void tst_TwainWire::blocksWithoutLayout()
{
    QFETCH(int, dat);
    QFETCH(int, length);
    const Bytes wire = pattern(std::size_t(length));
    const Bytes native = widen(TW_UINT16(dat), wire);
    QVERIFY(native == wire);
    QVERIFY(narrow(TW_UINT16(dat), native, wire.size()) == wire);
}

QTEST_APPLESS_MAIN(tst_TwainWire)
#include "tst_twainwire.moc"
