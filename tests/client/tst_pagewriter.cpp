// Pages written in every format and read back by another reader: pixel for
// pixel where the format is lossless, page count for the multi-page formats,
// and the resolution in each. PDF files are read with poppler's pdfimages.

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cstring>

#include "client/imagemapping_p.h"
#include "client/scan/pagewriter.h"
#include "client/scan/pnmdirect.h"

using pelirand::readPnm;
using pelirand::readTiffPages;

namespace {

constexpr int kDpi = 300;
constexpr int kWidth = 61; // rows that need padding in every depth
constexpr int kHeight = 23;

int dpm(int iDpi)
{
    return qRound(iDpi / 0.0254);
}

QImage makePage(const QString& sKind, int iPage)
{
    QImage img;
    if (sKind == QLatin1String("bw")) {
        img = QImage(kWidth, kHeight, QImage::Format_Mono);
        img.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
    } else if (sKind == QLatin1String("grey8")) {
        img = QImage(kWidth, kHeight, QImage::Format_Grayscale8);
    } else if (sKind == QLatin1String("grey16")) {
        img = QImage(kWidth, kHeight, QImage::Format_Grayscale16);
    } else if (sKind == QLatin1String("rgb16")) {
        img = QImage(kWidth, kHeight, QImage::Format_RGBX64);
    } else if (sKind == QLatin1String("palette")) {
        img = QImage(kWidth, kHeight, QImage::Format_Indexed8);
        QVector<QRgb> table;
        for (int i = 0; i < 256; ++i)
            table.append(qRgb(i, 255 - i, (7 * i + 64) & 0xFF));
        img.setColorTable(table);
    } else {
        img = QImage(kWidth, kHeight, QImage::Format_RGB888);
    }
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const int v = (x * 37 + y * 11 + iPage * 53) & 0xFF;
            if (sKind == QLatin1String("bw")) {
                img.setPixel(x, y, v >= 128 ? 1 : 0);
            } else if (sKind == QLatin1String("grey8")) {
                img.scanLine(y)[x] = uchar(v);
            } else if (sKind == QLatin1String("grey16")) {
                reinterpret_cast<quint16*>(img.scanLine(y))[x] = quint16(v * 256 + ((x * 7 + y) & 0xFF));
            } else if (sKind == QLatin1String("rgb16")) {
                reinterpret_cast<QRgba64*>(img.scanLine(y))[x] = QRgba64::fromRgba64(
                    quint16(v * 257 + x), quint16((255 - v) * 256 + y), quint16(x * 999), 0xFFFF);
            } else if (sKind == QLatin1String("palette")) {
                img.setPixel(x, y, uint(v));
            } else {
                uchar* p = img.scanLine(y) + 3 * x;
                p[0] = uchar(v);
                p[1] = uchar(255 - v);
                p[2] = uchar(x * 4);
            }
        }
    }
    img.setDotsPerMeterX(dpm(kDpi));
    img.setDotsPerMeterY(dpm(kDpi / 2));
    return img;
}

// Empty when both show the same pixels (16 bits compared where both hold 16).
QString samePixels(const QImage& got, const QImage& want)
{
    if (got.size() != want.size())
        return QStringLiteral("%1 x %2").arg(got.width()).arg(got.height());
    const bool b16 = (got.format() == QImage::Format_Grayscale16 || got.format() == QImage::Format_RGBX64 ||
                      got.format() == QImage::Format_RGBA64) &&
                     (want.format() == QImage::Format_Grayscale16 || want.format() == QImage::Format_RGBX64);
    for (int y = 0; y < want.height(); ++y) {
        for (int x = 0; x < want.width(); ++x) {
            if (b16) {
                const QRgba64 a = got.pixelColor(x, y).rgba64();
                const QRgba64 b = want.pixelColor(x, y).rgba64();
                if (a.red() != b.red() || a.green() != b.green() || a.blue() != b.blue())
                    return QStringLiteral("16-bit pixel (%1, %2)").arg(x).arg(y);
            } else if ((got.pixel(x, y) | 0xFF000000u) != (want.pixel(x, y) | 0xFF000000u)) {
                return QStringLiteral("pixel (%1, %2) is %3, not %4")
                    .arg(x)
                    .arg(y)
                    .arg(got.pixel(x, y), 8, 16)
                    .arg(want.pixel(x, y), 8, 16);
            }
        }
    }
    return QString();
}

// makePage's first grey8 or rgb8 page as a bitmap: a BMP file, or a DIB as
// the bridge delivers it (the height's sign inverted, rows not moved).
QByteArray makeBitmap(bool bRgb, bool bFile, bool bTopDown, bool bInvertedTable = false,
                      int iPelsPerMeter = dpm(kDpi))
{
    const QImage page = makePage(bRgb ? QStringLiteral("rgb8") : QStringLiteral("grey8"), 1);
    const int nBits = bRgb ? 24 : 8;
    const int nStride = (kWidth * nBits + 31) / 32 * 4;
    const int nTable = bRgb ? 0 : 256;
    QByteArray dib(40 + 4 * nTable + nStride * kHeight, '\0');
    auto put32 = [&dib](int iOff, quint32 v) { qToLittleEndian<quint32>(v, dib.data() + iOff); };
    const qint32 nFileHeight = bTopDown ? -kHeight : kHeight;
    put32(0, 40);
    put32(4, quint32(kWidth));
    put32(8, quint32(bFile ? nFileHeight : -nFileHeight));
    qToLittleEndian<quint16>(1, dib.data() + 12);
    qToLittleEndian<quint16>(quint16(nBits), dib.data() + 14);
    put32(20, quint32(nStride * kHeight));
    put32(24, quint32(iPelsPerMeter));
    put32(28, quint32(iPelsPerMeter));
    put32(32, quint32(nTable));
    for (int i = 0; i < nTable; ++i) {
        const char c = char(bInvertedTable ? 255 - i : i);
        dib[40 + 4 * i] = dib[41 + 4 * i] = dib[42 + 4 * i] = c;
    }
    for (int r = 0; r < kHeight; ++r) {
        const int y = bTopDown ? r : kHeight - 1 - r;
        char* pRow = dib.data() + 40 + 4 * nTable + r * nStride;
        for (int x = 0; x < kWidth; ++x) {
            if (!bRgb) {
                pRow[x] = char(page.constScanLine(y)[x]);
                continue;
            }
            const QRgb c = page.pixel(x, y);
            pRow[3 * x] = char(qBlue(c));
            pRow[3 * x + 1] = char(qGreen(c));
            pRow[3 * x + 2] = char(qRed(c));
        }
    }
    if (!bFile)
        return dib;
    QByteArray bmp(14, '\0');
    bmp[0] = 'B';
    bmp[1] = 'M';
    qToLittleEndian<quint32>(quint32(14 + dib.size()), bmp.data() + 2);
    qToLittleEndian<quint32>(quint32(14 + 40 + 4 * nTable), bmp.data() + 10);
    return bmp + dib;
}

// makePage's first black-and-white page as a 1-bit bitmap, its table black
// then white or white then black.
QByteArray makeBwBitmap(bool bBlackFirst, bool bFile, bool bTopDown)
{
    const QImage page = makePage(QStringLiteral("bw"), 1);
    const int nStride = (kWidth + 31) / 32 * 4;
    QByteArray dib(40 + 8 + nStride * kHeight, '\0');
    auto put32 = [&dib](int iOff, quint32 v) { qToLittleEndian<quint32>(v, dib.data() + iOff); };
    const qint32 nFileHeight = bTopDown ? -kHeight : kHeight;
    put32(0, 40);
    put32(4, quint32(kWidth));
    put32(8, quint32(bFile ? nFileHeight : -nFileHeight));
    qToLittleEndian<quint16>(1, dib.data() + 12);
    qToLittleEndian<quint16>(1, dib.data() + 14);
    put32(20, quint32(nStride * kHeight));
    put32(24, quint32(dpm(kDpi)));
    put32(28, quint32(dpm(kDpi)));
    put32(32, 2);
    const int iWhite = bBlackFirst ? 1 : 0;
    dib[40 + 4 * iWhite] = dib[41 + 4 * iWhite] = dib[42 + 4 * iWhite] = char(0xFF);
    for (int r = 0; r < kHeight; ++r) {
        const int y = bTopDown ? r : kHeight - 1 - r;
        char* pRow = dib.data() + 48 + r * nStride;
        for (int x = 0; x < kWidth; ++x) {
            const bool bWhite = page.pixel(x, y) == qRgb(255, 255, 255);
            if ((bWhite ? iWhite : 1 - iWhite) == 1)
                pRow[x / 8] = char(pRow[x / 8] | (0x80 >> (x % 8)));
        }
    }
    if (!bFile)
        return dib;
    QByteArray bmp(14, '\0');
    bmp[0] = 'B';
    bmp[1] = 'M';
    qToLittleEndian<quint32>(quint32(14 + dib.size()), bmp.data() + 2);
    qToLittleEndian<quint32>(quint32(14 + 48), bmp.data() + 10);
    return bmp + dib;
}

QByteArray readFile(const QString& sName)
{
    QFile file(sName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestPageWriter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void onePageFormats_data();
    void onePageFormats();
    void tiffDocument_data();
    void tiffDocument();
    void tiffRowsFromBitmap_data();
    void tiffRowsFromBitmap();
    void tiffRowsFromMappedPage();
    void mappedPageFileChanged_data();
    void mappedPageFileChanged();
    void bitmapsThatNeedDecoding_data();
    void bitmapsThatNeedDecoding();
    void pdfDocument_data();
    void pdfDocument();
    void rowsFromBitmap_data();
    void rowsFromBitmap();
    void pageTheCoderRefuses();
    void unwritableFolder();

private:
    QTemporaryDir m_dir;
};

void TestPageWriter::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void TestPageWriter::onePageFormats_data()
{
    QTest::addColumn<QString>("sFormat");
    QTest::addColumn<QString>("sKind");
    QTest::addColumn<bool>("bExact");
    QTest::addColumn<bool>("b16");

    for (const char* kind : {"bw", "grey8", "rgb8", "palette", "grey16", "rgb16"}) {
        const bool b16 = QByteArray(kind).endsWith("16");
        QTest::addRow("png %s", kind) << "png" << kind << true << b16;
        QTest::addRow("pnm %s", kind) << "pnm" << kind << (QByteArray(kind) != "palette") << b16;
        QTest::addRow("bmp %s", kind) << "bmp" << kind << !b16 << false;
        QTest::addRow("jpeg %s", kind) << "jpeg" << kind << false << false;
    }
}

void TestPageWriter::onePageFormats()
{
    QFETCH(QString, sFormat);
    QFETCH(QString, sKind);
    QFETCH(bool, bExact);
    QFETCH(bool, b16);

    const QImage page = makePage(sKind, 1);
    const QString sFile = m_dir.filePath(
        QStringLiteral("%1-%2.%3").arg(sKind, sFormat, pelirand::pageFormatExtension(sFormat)));
    QString sError;
    QVERIFY2(pelirand::writePageFile(page, sFile, sFormat, 90, &sError), qPrintable(sError));

    QFile file(sFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QImage back;
    if (sFormat == QLatin1String("pnm")) {
        back = readPnm(bytes, &sError);
    } else {
        QImageReader reader(sFile);
        back = reader.read();
        sError = reader.errorString();
    }
    QVERIFY2(!back.isNull(), qPrintable(sError));
    QCOMPARE(back.size(), page.size());
    // The resolution is kept, both directions (JPEG's density is whole dots per inch).
    QCOMPARE(qRound(back.dotsPerMeterX() * 0.0254), kDpi);
    QCOMPARE(qRound(back.dotsPerMeterY() * 0.0254), kDpi / 2);
    if (b16 && sFormat != QLatin1String("bmp") && sFormat != QLatin1String("jpeg"))
        QVERIFY2(back.depth() >= 16 && back.format() != QImage::Format_RGB16,
                 qPrintable(QString::number(back.format())));
    if (bExact) {
        sError = samePixels(back, page);
        QVERIFY2(sError.isEmpty(), qPrintable(sError));
    } else if (sFormat == QLatin1String("pnm")) {
        // A palette becomes its colours.
        sError = samePixels(back, page.convertToFormat(QImage::Format_RGB888));
        QVERIFY2(sError.isEmpty(), qPrintable(sError));
    }
}

void TestPageWriter::tiffDocument_data()
{
    QTest::addColumn<QString>("sKind");
    QTest::addColumn<int>("iBits");
    QTest::addColumn<int>("iCompression");
    for (const char* kind : {"bw", "grey8", "grey16", "rgb8", "rgb16", "palette"}) {
        const QByteArray k(kind);
        QTest::newRow(kind) << QString::fromLatin1(kind)
                            << (k == "bw"          ? 1
                                : k.endsWith("16") ? 16
                                                   : 8)
                            << (k == "bw" ? 4 /* COMPRESSION_CCITTFAX4 */ : 32946 /* COMPRESSION_DEFLATE */);
    }
}

void TestPageWriter::tiffDocument()
{
    QFETCH(QString, sKind);
    QFETCH(int, iBits);
    QFETCH(int, iCompression);
    Q_UNUSED(iCompression);

    const QString sFile = m_dir.filePath(sKind + QStringLiteral(".tif"));
    auto writer = pelirand::MultiPageWriter::create(QStringLiteral("tiff"), 85);
    QVERIFY(writer);
    QString sError;
    QVERIFY2(writer->open(sFile, &sError), qPrintable(sError));
    // Not there under its name until it is complete.
    QVERIFY(!QFileInfo::exists(sFile));
    for (int i = 1; i <= 3; ++i)
        QVERIFY2(writer->addPage(makePage(sKind, i), &sError), qPrintable(sError));
    QVERIFY2(writer->finish(&sError), qPrintable(sError));
    QCOMPARE(writer->pageCount(), 3);
    QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral("*.part")}, QDir::Files), QStringList());

    QFile file(sFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QImage> pages = readTiffPages(file.readAll(), &sError);
    QCOMPARE(pages.size(), 3);
    for (int i = 0; i < 3; ++i) {
        const QImage want = makePage(sKind, i + 1);
        QCOMPARE(pages[i].depth() >= iBits, true);
        QCOMPARE(qRound(pages[i].dotsPerMeterX() * 0.0254), kDpi);
        QCOMPARE(qRound(pages[i].dotsPerMeterY() * 0.0254), kDpi / 2);
        sError = samePixels(pages[i], want);
        QVERIFY2(sError.isEmpty(), qPrintable(QStringLiteral("page %1: %2").arg(i + 1).arg(sError)));
    }
}

void TestPageWriter::tiffRowsFromBitmap_data()
{
    QTest::addColumn<bool>("bRgb");
    QTest::addColumn<bool>("bFile");
    QTest::addColumn<bool>("bTopDown");

    QTest::newRow("DIB, colour, bottom row first") << true << false << false;
    QTest::newRow("DIB, colour, top row first") << true << false << true;
    QTest::newRow("DIB, grey") << false << false << false;
    QTest::newRow("BMP file, colour") << true << true << false;
    QTest::newRow("BMP file, grey, top row first") << false << true << true;
}

// A delivered bitmap that needs no conversion goes into a TIFF document row by
// row, without a decoded image: the same file as through its QImage.
void TestPageWriter::tiffRowsFromBitmap()
{
    QFETCH(bool, bRgb);
    QFETCH(bool, bFile);
    QFETCH(bool, bTopDown);

    pelirand::Image image;
    image.id = bFile ? 0 : -1;
    image.data = makeBitmap(bRgb, bFile, bTopDown);
    pelirand::PageRows rows;
    QVERIFY(pelirand::pageRowsOf(image, rows));
    QCOMPARE(QSize(rows.iWidth, rows.iHeight), QSize(kWidth, kHeight));
    QCOMPARE(rows.bRgb, bRgb);

    QString sError;
    const QString sTag = QString::fromLatin1(QTest::currentDataTag());
    const QString sByRows = m_dir.filePath(sTag + QStringLiteral(" rows.tif"));
    const QString sByImage = m_dir.filePath(sTag + QStringLiteral(" image.tif"));
    auto byRows = pelirand::MultiPageWriter::create(QStringLiteral("tiff"), 85);
    auto byImage = pelirand::MultiPageWriter::create(QStringLiteral("tiff"), 85);
    QVERIFY(byRows->open(sByRows, &sError) && byImage->open(sByImage, &sError));
    for (int i = 0; i < 2; ++i) {
        QVERIFY2(byRows->addRows(rows, &sError), qPrintable(sError));
        QVERIFY2(byImage->addPage(image.toQImage(), &sError), qPrintable(sError));
    }
    QVERIFY(byRows->finish(&sError) && byImage->finish(&sError));
    const QByteArray tiff = readFile(sByRows);
    QVERIFY(!tiff.isEmpty());
    QCOMPARE(tiff, readFile(sByImage));
    const QList<QImage> pages = readTiffPages(tiff, &sError);
    QCOMPARE(pages.size(), 2);
    sError = samePixels(pages[1], makePage(bRgb ? QStringLiteral("rgb8") : QStringLiteral("grey8"), 1));
    QVERIFY2(sError.isEmpty(), qPrintable(sError));
    QCOMPARE(qRound(pages[1].dotsPerMeterX() * 0.0254), kDpi);
}

// A mapped page larger than the steps in which its read rows are let go:
// the rows still come out whole, as from the same bytes in memory.
void TestPageWriter::tiffRowsFromMappedPage()
{
    const int w = 2400, h = 1800, nStride = w * 3;
    QByteArray dib(40 + nStride * h, '\0');
    qToLittleEndian<quint32>(40, dib.data());
    qToLittleEndian<quint32>(quint32(w), dib.data() + 4);
    qToLittleEndian<quint32>(quint32(-h), dib.data() + 8); // bottom row first, as the bridge delivers it
    qToLittleEndian<quint16>(1, dib.data() + 12);
    qToLittleEndian<quint16>(24, dib.data() + 14);
    qToLittleEndian<quint32>(quint32(dpm(kDpi)), dib.data() + 24);
    qToLittleEndian<quint32>(quint32(dpm(kDpi)), dib.data() + 28);
    for (int i = 40; i < dib.size(); ++i)
        dib[i] = char((i * 7) ^ (i >> 11));
    const QString sDelivered = m_dir.filePath(QStringLiteral("delivered.dib"));
    QFile delivered(sDelivered);
    QVERIFY(delivered.open(QIODevice::WriteOnly) && delivered.write(dib) == dib.size());
    delivered.close();

    pelirand::Image inMemory;
    inMemory.id = -1;
    inMemory.data = dib;
    pelirand::Image mapped;
    mapped.id = -1;
    QString sError;
    mapped.mapping = pelirand::mapImageFile(sDelivered, sError);
    QVERIFY2(mapped.mapping, qPrintable(sError));
    QVERIFY(QFile::remove(sDelivered));

    QByteArray files[2];
    int i = 0;
    for (const pelirand::Image* pImage : {&inMemory, &mapped}) {
        pelirand::PageRows rows;
        QVERIFY(pelirand::pageRowsOf(*pImage, rows));
        const QString sFile = m_dir.filePath(QStringLiteral("large %1.tif").arg(i));
        auto writer = pelirand::MultiPageWriter::create(QStringLiteral("tiff"), 85);
        QVERIFY(writer->open(sFile, &sError));
        QVERIFY2(writer->addRows(rows, &sError), qPrintable(sError));
        QVERIFY2(writer->finish(&sError), qPrintable(sError));
        files[i++] = readFile(sFile);
    }
    QVERIFY(!files[0].isEmpty());
    QVERIFY(files[0] == files[1]);
    QVERIFY(mapped.bytes() == dib);
}

void TestPageWriter::mappedPageFileChanged_data()
{
    QTest::addColumn<QString>("sFormat");
    QTest::addColumn<bool>("bTruncate");
    for (const char* format : {"png", "bmp", "pnm", "tiff"}) {
        QTest::addRow("%s, truncated", format) << QString::fromLatin1(format) << true;
        QTest::addRow("%s, rewritten", format) << QString::fromLatin1(format) << false;
    }
}

// pelirand-scan's writers on a mapped page whose file another process cuts
// short or writes over meanwhile: the page written is the page delivered.
void TestPageWriter::mappedPageFileChanged()
{
    QFETCH(QString, sFormat);
    QFETCH(bool, bTruncate);
    const QByteArray dib = makeBitmap(true, false, false);
    const QString sDelivered = m_dir.filePath(QStringLiteral("changed.dib"));
    QFile delivered(sDelivered);
    QVERIFY(delivered.open(QIODevice::WriteOnly) && delivered.write(dib) == dib.size());
    delivered.close();
    pelirand::Image mapped;
    mapped.id = -1;
    QString sError;
    mapped.mapping = pelirand::mapImageFile(sDelivered, sError);
    QVERIFY2(mapped.mapping, qPrintable(sError));
    QVERIFY(delivered.open(QIODevice::ReadWrite));
    QVERIFY(bTruncate ? delivered.resize(0) : delivered.write(QByteArray(dib.size(), '\x33')) == dib.size());
    delivered.close();

    const QString sFile = m_dir.filePath(QStringLiteral("changed-%1.%2").arg(QTest::currentDataTag()).arg(sFormat));
    QImage back;
    if (sFormat == QLatin1String("tiff")) {
        pelirand::PageRows rows;
        QVERIFY(pelirand::pageRowsOf(mapped, rows));
        auto writer = pelirand::MultiPageWriter::create(sFormat, 85);
        QVERIFY2(writer->open(sFile, &sError) && writer->addRows(rows, &sError) && writer->finish(&sError),
                 qPrintable(sError));
        back = readTiffPages(readFile(sFile), &sError).value(0);
    } else if (sFormat == QLatin1String("pnm")) {
        QVERIFY2(pelirand::writePnmDirectly(mapped, sFile, &sError), qPrintable(sError));
        back = readPnm(readFile(sFile), &sError);
    } else {
        QVERIFY2(pelirand::writeImageFile(mapped, sFile, sFormat, &sError), qPrintable(sError));
        back = QImage(sFile);
    }
    sError = samePixels(back, makePage(QStringLiteral("rgb8"), 1));
    QVERIFY2(sError.isEmpty(), qPrintable(sError));
}

void TestPageWriter::bitmapsThatNeedDecoding_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("iId");

    QTest::newRow("grey table falling from white") << makeBitmap(false, false, false, true) << -1;
    QTest::newRow("no resolution") << makeBitmap(true, false, false, false, 0) << -1;
    QTest::newRow("rows cut short") << makeBitmap(true, false, false).left(1000) << -1;
    QByteArray bits16 = makeBitmap(true, false, false);
    qToLittleEndian<quint16>(16, bits16.data() + 14);
    QTest::newRow("16 bits") << bits16 << -1;
    QByteArray compressed = makeBitmap(false, true, false);
    qToLittleEndian<quint32>(1, compressed.data() + 14 + 16);
    QTest::newRow("RLE compressed") << compressed << 0;
    QTest::newRow("a PNG file") << QByteArray(
                                       "\x89PNG\r\n\x1a\n0000000000000000000000000000000000000000000000")
                                << -2;
}

// Anything else is decoded as before.
void TestPageWriter::bitmapsThatNeedDecoding()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, iId);

    pelirand::Image image;
    image.id = iId;
    image.data = bytes;
    pelirand::PageRows rows;
    QVERIFY(!pelirand::pageRowsOf(image, rows));
}

void TestPageWriter::pdfDocument_data()
{
    QTest::addColumn<QString>("sKind");
    QTest::addColumn<int>("iQuality");
    QTest::addColumn<QString>("sEncoding");
    QTest::addColumn<int>("iBpc");

    QTest::newRow("bw as Group 4") << "bw" << 85 << "ccitt" << 1;
    QTest::newRow("grey as JPEG") << "grey8" << 85 << "jpeg" << 8;
    QTest::newRow("colour as JPEG") << "rgb8" << 85 << "jpeg" << 8;
    QTest::newRow("colour lossless") << "rgb8" << 0 << "image" << 8;
    QTest::newRow("grey lossless") << "grey8" << 0 << "image" << 8;
    QTest::newRow("palette") << "palette" << 85 << "image" << 8;
    QTest::newRow("grey 16") << "grey16" << 85 << "image" << 16;
}

void TestPageWriter::pdfDocument()
{
    QFETCH(QString, sKind);
    QFETCH(int, iQuality);
    QFETCH(QString, sEncoding);
    QFETCH(int, iBpc);

    const QString sPdfImages = QStandardPaths::findExecutable(QStringLiteral("pdfimages"));
    if (sPdfImages.isEmpty())
        QSKIP("pdfimages (poppler-utils) is not installed");

    const QString sFile = m_dir.filePath(QStringLiteral("%1-%2.pdf").arg(sKind).arg(iQuality));
    auto writer = pelirand::MultiPageWriter::create(QStringLiteral("pdf"), iQuality);
    QVERIFY(writer);
    QString sError;
    QVERIFY2(writer->open(sFile, &sError), qPrintable(sError));
    for (int i = 1; i <= 3; ++i)
        QVERIFY2(writer->addPage(makePage(sKind, i), &sError), qPrintable(sError));
    QVERIFY2(writer->finish(&sError), qPrintable(sError));

    QProcess list;
    list.start(sPdfImages, {QStringLiteral("-list"), sFile});
    QVERIFY(list.waitForFinished(60000));
    const QString sList = QString::fromUtf8(list.readAllStandardOutput());
    QCOMPARE(list.exitCode(), 0);
    // page num type width height color comp bpc enc interp object ID x-ppi y-ppi size ratio
    QStringList lstRows = sList.split(QLatin1Char('\n'), Qt::SkipEmptyParts).mid(2);
    QCOMPARE(lstRows.size(), 3);
    for (int i = 0; i < 3; ++i) {
        const QStringList f = lstRows[i].simplified().split(QLatin1Char(' '));
        QCOMPARE(f.value(0).toInt(), i + 1);
        QCOMPARE(f.value(3).toInt(), kWidth);
        QCOMPARE(f.value(4).toInt(), kHeight);
        QCOMPARE(f.value(7).toInt(), iBpc);
        QCOMPARE(f.value(8), sEncoding);
        QCOMPARE(f.value(12).toInt(), kDpi);
        QCOMPARE(f.value(13).toInt(), kDpi / 2);
    }
    if (sEncoding == QLatin1String("jpeg") || iBpc == 16)
        return;
    // Lossless pages come back pixel for pixel.
    const QString sPrefix = m_dir.filePath(QStringLiteral("x-%1-%2").arg(sKind).arg(iQuality));
    QProcess extract;
    extract.start(sPdfImages, {QStringLiteral("-png"), sFile, sPrefix});
    QVERIFY(extract.waitForFinished(60000));
    QCOMPARE(extract.exitCode(), 0);
    for (int i = 0; i < 3; ++i) {
        const QImage back(QStringLiteral("%1-%2.png").arg(sPrefix).arg(i, 3, 10, QLatin1Char('0')));
        QVERIFY(!back.isNull());
        sError = samePixels(back, makePage(sKind, i + 1));
        QVERIFY2(sError.isEmpty(), qPrintable(QStringLiteral("page %1: %2").arg(i + 1).arg(sError)));
    }
}

void TestPageWriter::rowsFromBitmap_data()
{
    QTest::addColumn<QString>("sFormat");
    QTest::addColumn<QByteArray>("bitmap");
    QTest::addColumn<QString>("sKind");

    const struct
    {
        const char* name;
        QByteArray bytes;
        const char* kind;
    } bitmaps[] = {
        {"DIB, colour", makeBitmap(true, false, false), "rgb8"},
        {"BMP file, grey, top row first", makeBitmap(false, true, true), "grey8"},
        {"DIB, black and white, black first", makeBwBitmap(true, false, false), "bw"},
        {"BMP file, black and white, white first", makeBwBitmap(false, true, true), "bw"},
    };
    for (const char* format : {"png", "jpeg", "tiff", "pdf"}) {
        for (const auto& bitmap : bitmaps)
            QTest::addRow("%s, %s", format, bitmap.name) << format << bitmap.bytes << bitmap.kind;
    }
}

// A delivered bitmap that needs no conversion is coded row by row into every
// format that takes rows: the same file as through its decoded image, and
// the same pixels where the format keeps them.
void TestPageWriter::rowsFromBitmap()
{
    QFETCH(QString, sFormat);
    QFETCH(QByteArray, bitmap);
    QFETCH(QString, sKind);

    pelirand::Image image;
    image.id = bitmap.startsWith("BM") ? 0 : -1;
    image.data = bitmap;
    pelirand::PageRows rows;
    QVERIFY(pelirand::pageRowsOf(image, rows));
    QCOMPARE(rows.bBlackWhite, sKind == QLatin1String("bw"));
    const QImage decoded = image.toQImage();
    QVERIFY(!decoded.isNull());

    QString sError;
    const QString sTag = QString::fromLatin1(QTest::currentDataTag());
    const QString sExt = pelirand::pageFormatExtension(sFormat);
    const QString sByRows = m_dir.filePath(sTag + QStringLiteral(" rows.") + sExt);
    const QString sByImage = m_dir.filePath(sTag + QStringLiteral(" image.") + sExt);
    if (pelirand::isMultiPageFormat(sFormat)) {
        auto byRows = pelirand::MultiPageWriter::create(sFormat, 85);
        auto byImage = pelirand::MultiPageWriter::create(sFormat, 85);
        QVERIFY(byRows->open(sByRows, &sError) && byImage->open(sByImage, &sError));
        for (int i = 0; i < 2; ++i) {
            QVERIFY2(byRows->addRows(rows, &sError), qPrintable(sError));
            QVERIFY2(byImage->addPage(decoded, &sError), qPrintable(sError));
        }
        QVERIFY(byRows->finish(&sError) && byImage->finish(&sError));
    } else {
        QVERIFY2(pelirand::writePageRows(rows, sByRows, sFormat, 85, &sError), qPrintable(sError));
        QVERIFY2(pelirand::writePageFile(decoded, sByImage, sFormat, 85, &sError), qPrintable(sError));
    }
    const QByteArray written = readFile(sByRows);
    QVERIFY(!written.isEmpty());
    QCOMPARE(written, readFile(sByImage));

    QImage back;
    if (sFormat == QLatin1String("tiff"))
        back = readTiffPages(written, &sError).value(1);
    else if (sFormat != QLatin1String("pdf"))
        back = QImage::fromData(written);
    if (sFormat == QLatin1String("pdf"))
        return; // pdfDocument reads the pages of a PDF file back
    QVERIFY2(!back.isNull(), qPrintable(sError));
    QCOMPARE(back.size(), QSize(kWidth, kHeight));
    QCOMPARE(qRound(back.dotsPerMeterX() * 0.0254), kDpi);
    if (sFormat == QLatin1String("jpeg"))
        return;
    sError = samePixels(back, makePage(sKind, 1));
    QVERIFY2(sError.isEmpty(), qPrintable(sError));
}

// A page the coder cannot take (wider than JPEG allows) is refused with the
// reason; a one-page file is not left behind, and a document goes on as it
// was, the next page after the last whole one.
void TestPageWriter::pageTheCoderRefuses()
{
    pelirand::PageRows wide;
    wide.iWidth = 70000;
    wide.iHeight = 2;
    wide.dpiX = wide.dpiY = kDpi;
    wide.row = [](int, uchar* pOut) { std::memset(pOut, 0x80, 70000); };

    QString sError;
    const QString sJpeg = m_dir.filePath(QStringLiteral("wide.jpg"));
    QVERIFY(!pelirand::writePageRows(wide, sJpeg, QStringLiteral("jpeg"), 85, &sError));
    QVERIFY2(sError.contains(QStringLiteral("JPEG")), qPrintable(sError));
    QVERIFY(!QFileInfo::exists(sJpeg));

    const QString sPdf = m_dir.filePath(QStringLiteral("refused.pdf"));
    auto writer = pelirand::MultiPageWriter::create(QStringLiteral("pdf"), 85);
    QVERIFY(writer->open(sPdf, &sError));
    QVERIFY2(writer->addPage(makePage(QStringLiteral("grey8"), 1), &sError), qPrintable(sError));
    QVERIFY(!writer->addRows(wide, &sError));
    QVERIFY2(sError.contains(QStringLiteral("page 2")), qPrintable(sError));
    QVERIFY2(writer->addPage(makePage(QStringLiteral("rgb8"), 2), &sError), qPrintable(sError));
    QVERIFY2(writer->finish(&sError), qPrintable(sError));
    QCOMPARE(writer->pageCount(), 2);

    const QString sPdfImages = QStandardPaths::findExecutable(QStringLiteral("pdfimages"));
    if (sPdfImages.isEmpty())
        QSKIP("pdfimages (poppler-utils) is not installed to read the document back");
    QProcess list;
    list.start(sPdfImages, {QStringLiteral("-list"), sPdf});
    QVERIFY(list.waitForFinished(60000));
    QCOMPARE(list.exitCode(), 0);
    const QString sErrors = QString::fromUtf8(list.readAllStandardError());
    QVERIFY2(sErrors.isEmpty(), qPrintable(sErrors));
    const QStringList lstRows =
        QString::fromUtf8(list.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts).mid(2);
    QCOMPARE(lstRows.size(), 2);
    QCOMPARE(lstRows[1].simplified().split(QLatin1Char(' ')).value(5), QStringLiteral("rgb"));
}

void TestPageWriter::unwritableFolder()
{
    const QString sFile = m_dir.filePath(QStringLiteral("missing/folder/doc.pdf"));
    for (const QString& sFormat : {QStringLiteral("pdf"), QStringLiteral("tiff")}) {
        auto writer = pelirand::MultiPageWriter::create(sFormat, 85);
        QString sError;
        QVERIFY(!writer->open(sFile, &sError));
        QVERIFY2(sError.contains(QStringLiteral("cannot write")), qPrintable(sError));
    }
    QString sError;
    QVERIFY(!pelirand::writePageFile(makePage(QStringLiteral("rgb8"), 1),
                                     m_dir.filePath(QStringLiteral("missing/p.pnm")), QStringLiteral("pnm"),
                                     85, &sError));
    QVERIFY(!sError.isEmpty());
}

QTEST_GUILESS_MAIN(TestPageWriter)
#include "tst_pagewriter.moc"
