// The BMP headers and colour table of a buffered transfer, built from the
// image information alone, and the check of a finished file.

#include <QtTest>

#include <climits>

#include "tests/xfer/xfertestsupport.h"
#include "xfer/bmpfile.h"

namespace {

TW_FIX32 fix(TW_INT16 nWhole, TW_UINT16 nFrac = 0)
{
    TW_FIX32 f;
    f.Whole = nWhole;
    f.Frac = nFrac;
    return f;
}

TW_IMAGEINFO imageInfo(TW_INT32 nWidth, TW_INT32 nLength, TW_INT16 nBits, TW_INT16 nPixelType, int nDpi = 300)
{
    TW_IMAGEINFO info;
    std::memset(&info, 0, sizeof(info));
    info.XResolution = fix(TW_INT16(nDpi));
    info.YResolution = fix(TW_INT16(nDpi));
    info.ImageWidth = nWidth;
    info.ImageLength = nLength;
    info.BitsPerPixel = nBits;
    info.PixelType = nPixelType;
    return info;
}

// The palette a source answers with, or none (the request fails).
struct FakePalette
{
    bool bAnswer = false;
    TW_UINT16 nColors = 0;
    TW_UINT16 nType = TWPA_RGB;
    int nRequests = 0;

    XferDetail::PaletteSource source()
    {
        return [this](TW_PALETTE8& pal) {
            ++nRequests;
            if (!bAnswer)
                return false;
            pal.NumColors = nColors;
            pal.PaletteType = nType;
            for (int i = 0; i < 256; ++i) {
                pal.Colors[i].Index = TW_UINT8(i);
                pal.Colors[i].Channel1 = TW_UINT8(i);       // red
                pal.Colors[i].Channel2 = TW_UINT8(255 - i); // green
                pal.Colors[i].Channel3 = TW_UINT8(i / 2);   // blue
            }
            return true;
        };
    }
};

QByteArray paletteTable(int nEntries)
{
    QByteArray t(4 * nEntries, '\0');
    for (int i = 0; i < nEntries; ++i) {
        t[4 * i] = char(i / 2);
        t[4 * i + 1] = char(255 - i);
        t[4 * i + 2] = char(i);
    }
    return t;
}

QByteArray ramp(const QList<int>& values)
{
    QByteArray t;
    for (int v : values)
        t += QByteArray(3, char(v)) + QByteArray(1, '\0');
    return t;
}

} // namespace

class TestBmpFile : public QObject
{
    Q_OBJECT

private slots:
    void fix32ToFloat();
    void pelsPerMeter_data();
    void pelsPerMeter();
    void headers_data();
    void headers();
    void paletteTables_data();
    void paletteTables();
    void undefinedSizeIsCompletedLater();
    void greyRamps_data();
    void greyRamps();
    void headerBytesAreLittleEndianInFileOrder();
    void lyingSizesDoNotOverflow();
    void completeness_data();
    void completeness();
};

void TestBmpFile::fix32ToFloat()
{
    QCOMPARE(Fix32ToFloat(fix(300)), 300.0f);
    QCOMPARE(Fix32ToFloat(fix(-1, 0x8000)), -0.5f);
    QCOMPARE(Fix32ToFloat(fix(2, 0x4000)), 2.25f);
}

void TestBmpFile::pelsPerMeter_data()
{
    QTest::addColumn<int>("dpi");
    QTest::addColumn<int>("frac");
    QTest::addColumn<int>("expected");
    QTest::newRow("300") << 300 << 0 << 11811;
    QTest::newRow("72") << 72 << 0 << 2835;
    QTest::newRow("150") << 150 << 0 << 5906;
    QTest::newRow("600") << 600 << 0 << 23622;
    QTest::newRow("0") << 0 << 0 << 0;
    QTest::newRow("-300") << -300 << 0 << -11810;
}

void TestBmpFile::pelsPerMeter()
{
    QFETCH(int, dpi);
    QFETCH(int, frac);
    QFETCH(int, expected);
    QCOMPARE(int(XferDetail::PelsPerMeter(fix(TW_INT16(dpi), TW_UINT16(frac)))), expected);
}

void TestBmpFile::headers_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("pixelType");
    QTest::addColumn<int>("sizeImage");
    QTest::addColumn<int>("clrUsed");
    QTest::addColumn<QByteArray>("table");

    QTest::newRow("8-bit grey 100 x 50")
        << 100 << 50 << 8 << int(TWPT_GRAY) << 5000 << 256 << XferDetail::GreyRamp(256, false);
    QTest::newRow("8-bit grey 99 x 50")
        << 99 << 50 << 8 << int(TWPT_GRAY) << 5000 << 256 << XferDetail::GreyRamp(256, false);
    QTest::newRow("1-bit") << 100 << 10 << 1 << int(TWPT_BW) << 160 << 2 << ramp({0, 255});
    QTest::newRow("4-bit grey") << 8 << 2 << 4 << int(TWPT_GRAY) << 8 << 16
                                << ramp({0, 17, 34, 51, 68, 85, 102, 119, 136, 153, 170, 187, 204, 221, 238,
                                         255});
    QTest::newRow("RGB") << 10 << 3 << 24 << int(TWPT_RGB) << 96 << 0 << QByteArray();
    QTest::newRow("16-bit grey") << 10 << 3 << 16 << int(TWPT_GRAY) << 60 << 65536
                                 << QByteArray(4 * 65536, '\0');
    QTest::newRow("0 bits, one entry") << 10 << 3 << 0 << int(TWPT_GRAY) << 0 << 1 << ramp({0});
    QTest::newRow("CMYK") << 10 << 3 << 32 << int(TWPT_CMYK) << 120 << 0 << QByteArray();
}

void TestBmpFile::headers()
{
    QFETCH(int, width);
    QFETCH(int, length);
    QFETCH(int, bits);
    QFETCH(int, pixelType);
    QFETCH(int, sizeImage);
    QFETCH(int, clrUsed);
    QFETCH(QByteArray, table);

    FakePalette palette;
    BITMAPFILEHEADER bmfh;
    BITMAPINFOHEADER bmih;
    QByteArray colourTable;
    QVERIFY(XferDetail::BuildBmpHeaders(imageInfo(width, length, TW_INT16(bits), TW_INT16(pixelType)), false,
                                        palette.source(), bmfh, bmih, colourTable));
    QCOMPARE(palette.nRequests, 0);
    QCOMPARE(bmfh.bfType, WORD(0x4D42));
    QCOMPARE(bmih.biSize, DWORD(40));
    QCOMPARE(bmih.biPlanes, WORD(1));
    QCOMPARE(int(bmih.biBitCount), bits);
    QCOMPARE(bmih.biCompression, DWORD(BI_RGB));
    QCOMPARE(int(bmih.biWidth), width);
    QCOMPARE(int(bmih.biHeight), -length);
    QCOMPARE(int(bmih.biSizeImage), sizeImage);
    QCOMPARE(int(bmih.biXPelsPerMeter), 11811);
    QCOMPARE(int(bmih.biYPelsPerMeter), 11811);
    QCOMPARE(int(bmih.biClrUsed), clrUsed);
    QCOMPARE(int(bmih.biClrImportant), clrUsed);
    QCOMPARE(int(bmfh.bfOffBits), 54 + 4 * clrUsed);
    QCOMPARE(int(bmfh.bfSize), 54 + 4 * clrUsed + sizeImage);
    QCOMPARE(colourTable, table);
}

void TestBmpFile::paletteTables_data()
{
    QTest::addColumn<bool>("answer");
    QTest::addColumn<int>("numColors");
    QTest::addColumn<int>("paletteType");
    QTest::addColumn<int>("clrUsed");
    QTest::addColumn<QByteArray>("table");

    QTest::newRow("256 RGB colours") << true << 256 << int(TWPA_RGB) << 256 << paletteTable(256);
    QTest::newRow("16 grey colours") << true << 16 << int(TWPA_GRAY) << 16 << paletteTable(16);
    QTest::newRow("300 colours read as 256") << true << 300 << int(TWPA_RGB) << 256 << paletteTable(256);
    // A palette that cannot be had gives grey, never an all-black table.
    QTest::newRow("CMY palette") << true << 256 << int(TWPA_CMY) << 256 << XferDetail::GreyRamp(256, false);
    QTest::newRow("request fails") << false << 0 << 0 << 256 << XferDetail::GreyRamp(256, false);
    QTest::newRow("0 colours") << true << 0 << int(TWPA_RGB) << 0 << QByteArray();
}

void TestBmpFile::paletteTables()
{
    QFETCH(bool, answer);
    QFETCH(int, numColors);
    QFETCH(int, paletteType);
    QFETCH(int, clrUsed);
    QFETCH(QByteArray, table);

    FakePalette palette;
    palette.bAnswer = answer;
    palette.nColors = TW_UINT16(numColors);
    palette.nType = TW_UINT16(paletteType);
    BITMAPFILEHEADER bmfh;
    BITMAPINFOHEADER bmih;
    QByteArray colourTable;
    QVERIFY(XferDetail::BuildBmpHeaders(imageInfo(4, 4, 8, TWPT_PALETTE), false, palette.source(), bmfh, bmih,
                                        colourTable));
    QCOMPARE(palette.nRequests, 1);
    QCOMPARE(int(bmih.biClrUsed), clrUsed);
    QCOMPARE(int(bmih.biClrImportant), clrUsed);
    QCOMPARE(int(bmfh.bfOffBits), 54 + 4 * clrUsed);
    QCOMPARE(colourTable, table);
}

void TestBmpFile::undefinedSizeIsCompletedLater()
{
    BITMAPFILEHEADER bmfh;
    BITMAPINFOHEADER bmih;
    QByteArray colourTable;
    TW_IMAGEINFO info = imageInfo(100, -1, 8, TWPT_GRAY);
    QVERIFY(XferDetail::BuildBmpHeaders(info, true, {}, bmfh, bmih, colourTable));
    QCOMPARE(bmih.biWidth, LONG(0));
    QCOMPARE(bmih.biHeight, LONG(0));
    QCOMPARE(bmih.biSizeImage, DWORD(0));
    QCOMPARE(bmfh.bfSize, DWORD(0));
    QCOMPARE(bmfh.bfOffBits, DWORD(1078));

    info.ImageLength = 50;
    XferDetail::SetBmpImageSize(info, bmfh, bmih);
    QCOMPARE(bmih.biWidth, LONG(100));
    QCOMPARE(bmih.biHeight, LONG(-50));
    QCOMPARE(bmih.biSizeImage, DWORD(5000));
    QCOMPARE(bmfh.bfSize, DWORD(6078));
}

void TestBmpFile::greyRamps_data()
{
    QTest::addColumn<int>("entries");
    QTest::addColumn<bool>("falling");
    QTest::addColumn<QByteArray>("table");
    QTest::newRow("2 rising") << 2 << false << ramp({0, 255});
    QTest::newRow("2 falling") << 2 << true << ramp({255, 0});
    QTest::newRow("1 rising") << 1 << false << ramp({0});
    QTest::newRow("1 falling") << 1 << true << ramp({255});
    QTest::newRow("0") << 0 << false << QByteArray();
    QTest::newRow("3 rising") << 3 << false << ramp({0, 127, 254});
}

void TestBmpFile::greyRamps()
{
    QFETCH(int, entries);
    QFETCH(bool, falling);
    QFETCH(QByteArray, table);
    QCOMPARE(XferDetail::GreyRamp(DWORD(entries), falling), table);
}

void TestBmpFile::headerBytesAreLittleEndianInFileOrder()
{
    BITMAPFILEHEADER bmfh;
    BITMAPINFOHEADER bmih;
    QByteArray colourTable;
    QVERIFY(
        XferDetail::BuildBmpHeaders(imageInfo(100, 50, 8, TWPT_GRAY), false, {}, bmfh, bmih, colourTable));
    const QByteArray bytes = XferDetail::BmpHeaderBytes(bmfh, bmih);
    QCOMPARE(bytes.size(), 54);
    QCOMPARE(bytes.left(2), QByteArray("BM"));
    QCOMPARE(le32(bytes, 2), 6078u);
    QCOMPARE(le32(bytes, 10), 1078u);
    QCOMPARE(le32(bytes, 14), 40u);
    QCOMPARE(le32(bytes, 18), 100u);
    QCOMPARE(int(le32(bytes, 22)), -50);
    QCOMPARE(le16(bytes, 26), quint16(1));
    QCOMPARE(le16(bytes, 28), quint16(8));
    QCOMPARE(le32(bytes, 34), 5000u);
    QCOMPARE(le32(bytes, 38), 11811u);
    QCOMPARE(le32(bytes, 46), 256u);
    QCOMPARE(le32(bytes, 50), 256u);
}

void TestBmpFile::lyingSizesDoNotOverflow()
{
    BITMAPFILEHEADER bmfh;
    BITMAPINFOHEADER bmih;
    QByteArray colourTable;
    // Width and length at their limits: 32-bit arithmetic that wraps.
    QVERIFY(XferDetail::BuildBmpHeaders(imageInfo(INT_MAX, INT_MIN, 24, TWPT_RGB), false, {}, bmfh, bmih,
                                        colourTable));
    QCOMPARE(bmih.biHeight, LONG(INT_MIN));
    // A table of 2^31 entries is not built.
    FakePalette palette;
    QVERIFY(!XferDetail::BuildBmpHeaders(imageInfo(10, 10, -1, TWPT_GRAY), false, palette.source(), bmfh,
                                         bmih, colourTable));
    QCOMPARE(bmih.biClrUsed, DWORD(0x80000000u));
    QVERIFY(colourTable.isEmpty());
    QVERIFY(!XferDetail::BuildBmpHeaders(imageInfo(10, 10, 24, TWPT_PALETTE), false, palette.source(), bmfh,
                                         bmih, colourTable));
    QCOMPARE(palette.nRequests, 1);
}

void TestBmpFile::completeness_data()
{
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("pixelType");
    QTest::addColumn<int>("extraBytes");
    QTest::addColumn<bool>("complete");
    QTest::newRow("8-bit grey") << 8 << int(TWPT_GRAY) << 0 << true;
    QTest::newRow("8-bit grey, trailing bytes") << 8 << int(TWPT_GRAY) << 7 << true;
    QTest::newRow("8-bit grey, one byte short") << 8 << int(TWPT_GRAY) << -1 << false;
    QTest::newRow("1-bit") << 1 << int(TWPT_BW) << 0 << true;
    QTest::newRow("4-bit") << 4 << int(TWPT_GRAY) << 0 << true;
    QTest::newRow("RGB") << 24 << int(TWPT_RGB) << 0 << true;
    QTest::newRow("16-bit grey") << 16 << int(TWPT_GRAY) << 0 << false;
    QTest::newRow("48-bit RGB") << 48 << int(TWPT_RGB) << 0 << false;
    QTest::newRow("8-bit RGB without table") << 8 << int(TWPT_RGB) << 0 << false;
}

void TestBmpFile::completeness()
{
    QFETCH(int, bits);
    QFETCH(int, pixelType);
    QFETCH(int, extraBytes);
    QFETCH(bool, complete);
    BITMAPFILEHEADER bmfh;
    BITMAPINFOHEADER bmih;
    QByteArray colourTable;
    XferDetail::BuildBmpHeaders(imageInfo(33, 7, TW_INT16(bits), TW_INT16(pixelType)), false, {}, bmfh, bmih,
                                colourTable);
    QString sWhy;
    QCOMPARE(XferDetail::BmpIsComplete(bmfh, bmih, qint64(bmfh.bfSize) + extraBytes, sWhy), complete);
    QCOMPARE(sWhy.isEmpty(), complete);
}

QTEST_GUILESS_MAIN(TestBmpFile)
#include "tst_bmpfile.moc"
