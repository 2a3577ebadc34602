// The readers of a delivered page against every layout a scanner's TIFF may
// have (chunky and planar, strips and tiles, 1, 8 and 16 bits, 1, 3 and 4
// samples), against pages that claim more than any scanner gives, and
// against headers whose numbers do not fit: each page decodes pixel for
// pixel or is refused with a reason, and nothing is allocated for a claim.

#include <QBuffer>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <tiffio.h>

#include <cstring>
#include <vector>

#include "client/scan/pagewriter.h"
#include "pelirand/image.h"

using pelirand::readPnm;
using pelirand::readTiffPages;

namespace {

constexpr int kWidth = 37; // neither a whole number of tiles nor of bytes
constexpr int kHeight = 21;
constexpr int kTile = 16;

// The sample a test page holds at (x, y) in plane s.
quint32 sampleAt(int x, int y, int s, int nBits)
{
    if (nBits == 1)
        return ((x + y + s) % 3) == 0 ? 1 : 0;
    const quint32 v = quint32(x * 7 + y * 13 + s * 50);
    return nBits == 8 ? (v & 0xFF) : ((v * 257 + quint32(x)) & 0xFFFF);
}

// One row of packed samples: every sample of a pixel (plane -1) or one plane's.
std::vector<unsigned char> packedRow(int y, int nSpp, int nBits, int iPlane, int nWidth)
{
    const int nPerPixel = iPlane < 0 ? nSpp : 1;
    std::vector<unsigned char> row(size_t((nWidth * nPerPixel * nBits + 7) / 8), 0);
    for (int x = 0; x < nWidth; ++x) {
        for (int i = 0; i < nPerPixel; ++i) {
            const int s = iPlane < 0 ? i : iPlane;
            const quint32 v = sampleAt(x, y, s, nBits);
            const size_t n = size_t(x * nPerPixel + i);
            if (nBits == 1)
                row[n / 8] = uchar(row[n / 8] | (v << (7 - n % 8)));
            else if (nBits == 8)
                row[n] = uchar(v);
            else
                std::memcpy(row.data() + 2 * n, &v, 2); // libtiff takes the machine's order
        }
    }
    return row;
}

// A TIFF of the test page in the layout asked for, written by libtiff.
QByteArray makeTiff(const QString& sPath, int nSpp, int nBits, bool bPlanar, bool bTiled, quint16 compression)
{
    TIFF* tif = TIFFOpen(QFile::encodeName(sPath).constData(), "w");
    if (!tif)
        return QByteArray();
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(kWidth));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(kHeight));
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, uint16_t(nSpp));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, uint16_t(nBits));
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, nSpp == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
    if (nSpp == 4) {
        const uint16_t extra = EXTRASAMPLE_UNSPECIFIED; // infrared, say
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, uint16_t(1), &extra);
    }
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, bPlanar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, 300.0f);
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, 150.0f);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    const int nPlanes = bPlanar ? nSpp : 1;
    bool bOk = true;
    if (bTiled) {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, uint32_t(kTile));
        TIFFSetField(tif, TIFFTAG_TILELENGTH, uint32_t(kTile));
        std::vector<unsigned char> tile(size_t(TIFFTileSize(tif)));
        const size_t nTileRow = size_t(TIFFTileRowSize(tif));
        for (int s = 0; s < nPlanes; ++s) {
            for (int y0 = 0; y0 < kHeight; y0 += kTile) {
                for (int x0 = 0; x0 < kWidth; x0 += kTile) {
                    std::fill(tile.begin(), tile.end(), 0);
                    for (int r = 0; r < kTile && y0 + r < kHeight; ++r) {
                        // The row from x0 on: whole bytes, as tiles are 16 pixels wide.
                        const auto row = packedRow(y0 + r, nSpp, nBits, bPlanar ? s : -1, kWidth + kTile);
                        const size_t nAt = size_t(x0) * size_t(bPlanar ? 1 : nSpp) * size_t(nBits) / 8;
                        std::memcpy(tile.data() + size_t(r) * nTileRow, row.data() + nAt, nTileRow);
                    }
                    bOk = bOk && TIFFWriteTile(tif, tile.data(), uint32_t(x0), uint32_t(y0), 0, uint16_t(s)) > 0;
                }
            }
        }
    } else {
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, uint32_t(5));
        for (int s = 0; s < nPlanes; ++s) {
            for (int y = 0; y < kHeight; ++y) {
                auto row = packedRow(y, nSpp, nBits, bPlanar ? s : -1, kWidth);
                bOk = bOk && TIFFWriteScanline(tif, row.data(), uint32_t(y), uint16_t(s)) >= 0;
            }
        }
    }
    TIFFClose(tif);
    QFile file(sPath);
    return bOk && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Empty when the decoded page holds the test page's samples: all 16 bits
// where bSixteen, otherwise 8 bits of them (libtiff rounds, hence one off).
QString checkPage(const QImage& page, int nSpp, int nBits, bool bSixteen)
{
    if (page.size() != QSize(kWidth, kHeight))
        return QStringLiteral("a page of %1 x %2").arg(page.width()).arg(page.height());
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const QRgba64 c = page.pixelColor(x, y).rgba64();
            for (int s = 0; s < (nSpp == 1 ? 1 : 3); ++s) {
                const quint32 want = sampleAt(x, y, s, nBits);
                const quint16 v16 = s == 0 ? c.red() : s == 1 ? c.green() : c.blue();
                bool bRight = false;
                if (nBits == 1)
                    bRight = (v16 >= 0x8000 ? 1u : 0u) == want;
                else if (nBits == 8)
                    bRight = v16 == want * 257;
                else if (bSixteen)
                    bRight = v16 == want;
                else
                    bRight = qAbs(int(v16 >> 8) - int(want >> 8)) <= 1;
                if (!bRight)
                    return QStringLiteral("sample %1 of pixel (%2, %3) is %4, not %5")
                        .arg(s)
                        .arg(x)
                        .arg(y)
                        .arg(v16)
                        .arg(want);
            }
        }
    }
    return QString();
}

// A little-endian TIFF of one strip that claims a page of any size.
QByteArray claimTiff(quint32 nWidth, quint32 nHeight, quint16 nSpp, quint16 nBits, quint16 compression)
{
    struct Entry
    {
        quint16 tag, type;
        quint32 count, value;
    };
    const QByteArray strip(16, '\x55');
    const quint32 nStripAt = 8;
    const std::vector<Entry> entries = {
        {256, 4, 1, nWidth},        {257, 4, 1, nHeight},  {258, 3, 1, nBits},
        {259, 3, 1, compression},   {262, 3, 1, nSpp == 1 ? 1u : 2u},
        {273, 4, 1, nStripAt},      {277, 3, 1, nSpp},     {278, 4, 1, nHeight},
        {279, 4, 1, quint32(strip.size())},
    };
    QByteArray tiff("II*\0", 4);
    tiff.append(4, '\0');
    qToLittleEndian<quint32>(quint32(8 + strip.size()), tiff.data() + 4);
    tiff += strip;
    QByteArray ifd(2 + 12 * int(entries.size()) + 4, '\0');
    qToLittleEndian<quint16>(quint16(entries.size()), ifd.data());
    for (size_t i = 0; i < entries.size(); ++i) {
        char* p = ifd.data() + 2 + 12 * i;
        qToLittleEndian<quint16>(entries[i].tag, p);
        qToLittleEndian<quint16>(entries[i].type, p + 2);
        qToLittleEndian<quint32>(entries[i].count, p + 4);
        if (entries[i].type == 3)
            qToLittleEndian<quint16>(quint16(entries[i].value), p + 8);
        else
            qToLittleEndian<quint32>(entries[i].value, p + 8);
    }
    return tiff + ifd;
}

} // namespace

class TestPageReaders : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void tiffLayouts_data();
    void tiffLayouts();
    void claimsRefused_data();
    void claimsRefused();
    void pnmSamples_data();
    void pnmSamples();
    void resolutionsOutOfRange_data();
    void resolutionsOutOfRange();
    void dibExtents_data();
    void dibExtents();

private:
    QTemporaryDir m_dir;
};

void TestPageReaders::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void TestPageReaders::tiffLayouts_data()
{
    QTest::addColumn<int>("nSpp");
    QTest::addColumn<int>("nBits");
    QTest::addColumn<bool>("bPlanar");
    QTest::addColumn<bool>("bTiled");
    QTest::addColumn<int>("compression");
    for (int nSpp : {1, 3, 4}) {
        for (int nBits : {1, 8, 16}) {
            if (nBits == 1 && nSpp != 1)
                continue;
            for (bool bPlanar : {false, true}) {
                if (bPlanar && nSpp == 1)
                    continue;
                for (bool bTiled : {false, true}) {
                    for (int compression : {COMPRESSION_NONE, COMPRESSION_ADOBE_DEFLATE}) {
                        QTest::addRow("%d x %d bits, %s, %s, %s", nSpp, nBits, bPlanar ? "planar" : "chunky",
                                      bTiled ? "tiles" : "strips", compression == COMPRESSION_NONE ? "raw" : "deflate")
                            << nSpp << nBits << bPlanar << bTiled << compression;
                    }
                }
            }
        }
    }
}

// Both readers: pelirand-scan's (16 bits kept) and the library's Image::toQImage.
void TestPageReaders::tiffLayouts()
{
    QFETCH(int, nSpp);
    QFETCH(int, nBits);
    QFETCH(bool, bPlanar);
    QFETCH(bool, bTiled);
    QFETCH(int, compression);
    const QByteArray tiff = makeTiff(m_dir.filePath(QStringLiteral("%1.tif").arg(QTest::currentDataTag())), nSpp,
                                     nBits, bPlanar, bTiled, quint16(compression));
    QVERIFY(!tiff.isEmpty());
    QString sError;
    const QList<QImage> pages = readTiffPages(tiff, &sError);
    QVERIFY2(pages.size() == 1, qPrintable(sError));
    QString sWrong = checkPage(pages.first(), nSpp, nBits, true);
    QVERIFY2(sWrong.isEmpty(), qPrintable(sWrong));
    QCOMPARE(pages.first().dotsPerMeterX(), qRound(300 / 0.0254));
    QCOMPARE(pages.first().dotsPerMeterY(), qRound(150 / 0.0254));

    pelirand::Image image;
    image.data = tiff;
    const QImage decoded = image.toQImage(&sError);
    QVERIFY2(!decoded.isNull(), qPrintable(sError));
    // The library keeps 16 bits of grey only.
    sWrong = checkPage(decoded, nSpp, nBits, nSpp == 1);
    QVERIFY2(sWrong.isEmpty(), qPrintable(sWrong));
}

void TestPageReaders::claimsRefused_data()
{
    QTest::addColumn<QByteArray>("tiff");
    QTest::addColumn<QString>("sWhy");
    const QString sTooLarge = QStringLiteral("more than any scanner gives");
    // 1.6 GB of colour from 16 bytes of Deflate.
    QTest::newRow("compressed colour") << claimTiff(20000, 20000, 3, 8, COMPRESSION_ADOBE_DEFLATE) << sTooLarge;
    QTest::newRow("compressed 16-bit grey") << claimTiff(30000, 30000, 1, 16, COMPRESSION_ADOBE_DEFLATE)
                                            << sTooLarge;
    QTest::newRow("compressed, every factor at its top")
        << claimTiff(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFF, 0xFFFF, COMPRESSION_ADOBE_DEFLATE) << QStringLiteral("TIFF");
    // Raw samples must lie in the file.
    QTest::newRow("raw beyond the file") << claimTiff(1000, 1000, 1, 8, COMPRESSION_NONE)
                                         << QStringLiteral("in a file of");
}

void TestPageReaders::claimsRefused()
{
    QFETCH(QByteArray, tiff);
    QFETCH(QString, sWhy);
    QString sError;
    QVERIFY(readTiffPages(tiff, &sError).isEmpty());
    QVERIFY2(sError.contains(sWhy), qPrintable(sError));
    pelirand::Image image;
    image.data = tiff;
    sError.clear();
    QVERIFY(image.toQImage(&sError).isNull());
    QVERIFY2(sError.contains(sWhy), qPrintable(sError));
}

void TestPageReaders::pnmSamples_data()
{
    QTest::addColumn<QByteArray>("pnm");
    QTest::addColumn<int>("iFirst");
    QTest::addColumn<int>("iLast");
    QTest::newRow("8 bits") << QByteArray("P5 2 1 255\n\x00\xFF", 13) << 0 << 255;
    // Samples of a smaller maxval cover the whole range.
    QTest::newRow("maxval 15") << QByteArray("P5 2 1 15\n\x07\x0F", 12) << 119 << 255;
    QTest::newRow("above maxval") << QByteArray("P5 2 1 15\n\x00\xFF", 12) << 0 << 255;
    QTest::newRow("16 bits, maxval 4095") << QByteArray("P5 2 1 4095\n\x08\x00\x0F\xFF", 16) << 32776 << 65535;
}

void TestPageReaders::pnmSamples()
{
    QFETCH(QByteArray, pnm);
    QFETCH(int, iFirst);
    QFETCH(int, iLast);
    QString sError;
    const QImage img = readPnm(pnm, &sError);
    QVERIFY2(!img.isNull(), qPrintable(sError));
    const bool b16 = img.format() == QImage::Format_Grayscale16;
    const auto sample = [&](int x) {
        return b16 ? int(reinterpret_cast<const quint16*>(img.constScanLine(0))[x]) : int(img.constScanLine(0)[x]);
    };
    QCOMPARE(sample(0), iFirst);
    QCOMPARE(sample(1), iLast);
}

void TestPageReaders::resolutionsOutOfRange_data()
{
    QTest::addColumn<QByteArray>("pnm");
    QTest::newRow("huge") << QByteArray("P5\n# resolution 1e300x1e300 dpi\n1 1 255\n\x80", 41);
    QTest::newRow("infinite") << QByteArray("P5\n# resolution infxnan dpi\n1 1 255\n\x80", 37);
    QTest::newRow("negative") << QByteArray("P5\n# resolution -1e30x-5 dpi\n1 1 255\n\x80", 38);
}

// A resolution no page has is left out, never converted past an int's range.
void TestPageReaders::resolutionsOutOfRange()
{
    QFETCH(QByteArray, pnm);
    QString sError;
    const QImage img = readPnm(pnm, &sError);
    QVERIFY2(!img.isNull(), qPrintable(sError));
    QCOMPARE(img.dotsPerMeterX(), QImage(1, 1, QImage::Format_Grayscale8).dotsPerMeterX());

    // The same in a TIFF: the largest float there is.
    const QString sPath = m_dir.filePath(QStringLiteral("resolution.tif"));
    TIFF* tif = TIFFOpen(QFile::encodeName(sPath).constData(), "w");
    QVERIFY(tif);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(1));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(1));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, uint16_t(8));
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, 3.0e38f);
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, 3.0e38f);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_CENTIMETER);
    unsigned char sample = 0x80;
    QVERIFY(TIFFWriteScanline(tif, &sample, 0, 0) >= 0);
    TIFFClose(tif);
    QFile file(sPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QImage> pages = readTiffPages(file.readAll(), &sError);
    QVERIFY2(pages.size() == 1, qPrintable(sError));
    QCOMPARE(pages.first().dotsPerMeterX(), QImage(1, 1, QImage::Format_Grayscale8).dotsPerMeterX());
}

void TestPageReaders::dibExtents_data()
{
    QTest::addColumn<qint32>("iWidth");
    QTest::addColumn<qint32>("iHeight");
    QTest::addColumn<quint16>("nBits");
    QTest::newRow("widest and tallest, 32 bits") << INT32_MAX << INT32_MAX << quint16(32);
    QTest::newRow("widest, tallest upward") << INT32_MAX << -INT32_MAX << quint16(24);
    QTest::newRow("negative width") << qint32(-5) << qint32(3) << quint16(8);
}

// Extents whose rows' size does not fit in 64 bits are refused before the size is computed.
void TestPageReaders::dibExtents()
{
    QFETCH(qint32, iWidth);
    QFETCH(qint32, iHeight);
    QFETCH(quint16, nBits);
    QByteArray dib(40 + 64, '\0');
    qToLittleEndian<quint32>(40, dib.data());
    qToLittleEndian<qint32>(iWidth, dib.data() + 4);
    qToLittleEndian<qint32>(iHeight, dib.data() + 8);
    qToLittleEndian<quint16>(1, dib.data() + 12);
    qToLittleEndian<quint16>(nBits, dib.data() + 14);
    QString sError;
    QVERIFY(pelirand::dibToBmp(dib, &sError).isEmpty());
    QVERIFY2(sError.contains(QStringLiteral("pixels")), qPrintable(sError));
}

QTEST_GUILESS_MAIN(TestPageReaders)
#include "tst_pagereaders.moc"
