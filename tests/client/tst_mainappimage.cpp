// The main application's side in process: 32-bit TWAIN blocks, DIBs as the
// bridge delivers them made into BMP files, and image files written as PNG or BMP.

#include <QBuffer>
#include <QImageReader>
#include <QTemporaryDir>
#include <QtTest>

#include "pelirand/image.h"
#include "client/imagemapping_p.h"
#include "pelirand/twainblocks.h"
#include "pelirand/twainresult.h"
#include "pelirand/twainsession.h"
#include "twain/twain.h"

using pelirand::Image;

namespace {

QRgb patternPixel(int x, int y)
{
    return qRgb((7 * x + 3 * y) & 0xFF, (11 * x + 5 * y + 40) & 0xFF, (x * y + 90) & 0xFF);
}

// A packed DIB of the pattern with 24 or 8 bits per pixel (8: grey table, the
// pattern's red as index), rows bottom-up or top-down, height sign as a
// standard DIB has it; then as the bridge delivers it: the sign inverted.
// The DIB delivered in sDelivered and mapped; no mapping with sError on failure.
Image mappedDib(const QString& sDelivered, const QByteArray& dib, QString& sError)
{
    Image image;
    image.id = -1;
    QFile delivered(sDelivered);
    if (!delivered.open(QIODevice::WriteOnly) || delivered.write(dib) != dib.size()) {
        sError = delivered.errorString();
        return image;
    }
    delivered.close();
    image.mapping = pelirand::mapImageFile(sDelivered, sError);
    return image;
}

QByteArray deliveredDib(int w, int h, int bpp, bool bTopDown, int nTrailing = 0)
{
    const int stride = (w * bpp + 31) / 32 * 4;
    const int nTable = bpp == 8 ? 256 : 0;
    QByteArray dib(40 + 4 * nTable + stride * h + nTrailing, '\0');
    pelirand::writeU32(dib, 0, 40);
    pelirand::writeU32(dib, 4, quint32(w));
    pelirand::writeU32(dib, 8, quint32(-(bTopDown ? -h : h))); // inverted by the bridge
    pelirand::writeU16(dib, 12, 1);
    pelirand::writeU16(dib, 14, quint16(bpp));
    pelirand::writeU32(dib, 20, quint32(stride * h));
    pelirand::writeU32(dib, 32, quint32(nTable));
    for (int i = 0; i < nTable; ++i)
        pelirand::writeU32(dib, 40 + 4 * i, quint32(i * 0x010101));
    char* rows = dib.data() + 40 + 4 * nTable;
    for (int y = 0; y < h; ++y) {
        char* row = rows + stride * (bTopDown ? y : h - 1 - y);
        for (int x = 0; x < w; ++x) {
            const QRgb c = patternPixel(x, y);
            if (bpp == 8) {
                row[x] = char(qRed(c));
            } else {
                row[3 * x] = char(qBlue(c));
                row[3 * x + 1] = char(qGreen(c));
                row[3 * x + 2] = char(qRed(c));
            }
        }
    }
    return dib;
}

QString comparePattern(const QImage& image, int w, int h, bool bGrey)
{
    if (image.width() != w || image.height() != h)
        return QStringLiteral("%1 x %2").arg(image.width()).arg(image.height());
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            QRgb want = patternPixel(x, y);
            if (bGrey)
                want = qRgb(qRed(want), qRed(want), qRed(want));
            if ((image.pixel(x, y) | 0xFF000000u) != want)
                return QStringLiteral("pixel (%1, %2)").arg(x).arg(y);
        }
    }
    return QString();
}

QImage decode(const QByteArray& bytes)
{
    QByteArray copy = bytes;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    return QImageReader(&buffer).read();
}

} // namespace

class TestMainAppImage : public QObject
{
    Q_OBJECT

private slots:
    void items_data();
    void items();
    void identity();
    void blocks();
    void dibToBmp_data();
    void dibToBmp();
    void coreDibKeepsItsOrder();
    void badDibs_data();
    void badDibs();
    void writeImageFile_data();
    void writeImageFile();
    void unmappableFiles();
    void largeMappedDibAsBmp();
    void releasedBytesReadAgain_data();
    void releasedBytesReadAgain();
    void fileChangedUnderMapping_data();
    void fileChangedUnderMapping();
    void resultMessages();
    void fileInFolder_data();
    void fileInFolder();
};

void TestMainAppImage::items_data()
{
    QTest::addColumn<int>("iType");
    QTest::addColumn<double>("value");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("INT16 -1") << int(TWTY_INT16) << -1.0 << QByteArray::fromHex("ffff");
    QTest::newRow("UINT16") << int(TWTY_UINT16) << 258.0 << QByteArray::fromHex("0201");
    QTest::newRow("BOOL") << int(TWTY_BOOL) << 1.0 << QByteArray::fromHex("0100");
    QTest::newRow("UINT32") << int(TWTY_UINT32) << 16777217.0 << QByteArray::fromHex("01000001");
    QTest::newRow("INT8") << int(TWTY_INT8) << -2.0 << QByteArray::fromHex("fe");
    QTest::newRow("FIX32 600") << int(TWTY_FIX32) << 600.0 << QByteArray::fromHex("58020000");
    QTest::newRow("FIX32 0.125") << int(TWTY_FIX32) << 0.125 << QByteArray::fromHex("00000020");
    QTest::newRow("FIX32 -1.5") << int(TWTY_FIX32) << -1.5 << QByteArray::fromHex("feff0080");
    QTest::newRow("a string is no number") << int(TWTY_STR32) << 1.0 << QByteArray();
}

void TestMainAppImage::items()
{
    QFETCH(int, iType);
    QFETCH(double, value);
    QFETCH(QByteArray, bytes);

    QCOMPARE(pelirand::itemBytes(quint16(iType), value), bytes);
    if (!bytes.isEmpty()) {
        QCOMPARE(pelirand::itemValue(quint16(iType), bytes), value);
        QCOMPARE(bytes.size(), pelirand::itemSize(quint16(iType)));
    }
}

void TestMainAppImage::identity()
{
    // A name longer than TW_STR32 holds is cut to 33 bytes and stays terminated.
    const QString sLong = QString(40, QLatin1Char('x'));
    const pelirand::SourceIdentity named = pelirand::SourceIdentity::byName(sLong);
    QVERIFY(named.isValid());
    QCOMPARE(named.productName, QString(33, QLatin1Char('x')));
    QCOMPARE(named.block.at(122 + 33), '\0');
    QCOMPARE(named.id, 0u);

    QByteArray block(156, '\0');
    pelirand::writeU32(block, 0, 7);
    pelirand::writeU16(block, 4, 2);
    pelirand::writeU16(block, 6, 3);
    block.replace(12, 5, "2.3.1");
    pelirand::writeU16(block, 46, 2);
    pelirand::writeU16(block, 48, 4);
    pelirand::writeU32(block, 50, 0x40000003);
    block.replace(54, 4, "Acme");
    block.replace(88, 6, "Family");
    block.replace(122, 7, "Scanner");
    const pelirand::SourceIdentity parsed = pelirand::SourceIdentity::fromBlock(block);
    QCOMPARE(parsed.id, 7u);
    QCOMPARE(parsed.versionMajor, quint16(2));
    QCOMPARE(parsed.versionMinor, quint16(3));
    QCOMPARE(parsed.versionInfo, QStringLiteral("2.3.1"));
    QCOMPARE(parsed.protocolMinor, quint16(4));
    QCOMPARE(parsed.supportedGroups, 0x40000003u);
    QCOMPARE(parsed.manufacturer, QStringLiteral("Acme"));
    QCOMPARE(parsed.productFamily, QStringLiteral("Family"));
    QCOMPARE(parsed.productName, QStringLiteral("Scanner"));
    QVERIFY(!pelirand::SourceIdentity::fromBlock(block.left(155)).isValid());
}

void TestMainAppImage::blocks()
{
    QCOMPARE(pelirand::userInterface(true, false), QByteArray::fromHex("0100000000000000"));
    const QByteArray setup = pelirand::setupFileXfer(QStringLiteral("/t/ä.bmp"), TWFF_BMP);
    QCOMPARE(setup.size(), 260);
    QVERIFY(setup.startsWith(QStringLiteral("/t/ä.bmp").toUtf8() + '\0'));
    QCOMPARE(pelirand::readU16(setup, 256), quint16(TWFF_BMP));
    // A name too long for TW_STR255 is cut before a whole character.
    const QByteArray longSetup = pelirand::setupFileXfer(QString(200, QChar(0x00E4)), TWFF_BMP);
    QCOMPARE(longSetup.indexOf('\0'), 254);
    const QByteArray layout = pelirand::imageLayout(0, 0.5, 8.5, 11);
    QCOMPARE(layout.size(), 28);
    QCOMPARE(layout.mid(4, 4), QByteArray::fromHex("00000080"));
    QCOMPARE(pelirand::fromFix32(layout, 8), 8.5);
    QCOMPARE(pelirand::fromFix32(layout, 12), 11.0);
    // Reads beyond the block are 0, never past its end.
    QCOMPARE(pelirand::readU32(QByteArray(3, '\xff'), 0), 0u);
    QCOMPARE(pelirand::readU16(QByteArray(3, '\xff'), -1), quint16(0));
}

void TestMainAppImage::dibToBmp_data()
{
    QTest::addColumn<int>("iBpp");
    QTest::addColumn<bool>("bTopDown");
    QTest::addColumn<int>("nTrailing");

    QTest::newRow("24 bits, bottom-up") << 24 << false << 0;
    QTest::newRow("24 bits, top-down") << 24 << true << 0;
    QTest::newRow("8 bits with table, bottom-up") << 8 << false << 0;
    QTest::newRow("bytes beyond the DIB in its block") << 24 << false << 13;
}

void TestMainAppImage::dibToBmp()
{
    QFETCH(int, iBpp);
    QFETCH(bool, bTopDown);
    QFETCH(int, nTrailing);

    const int w = 7, h = 5;
    const QByteArray dib = deliveredDib(w, h, iBpp, bTopDown, nTrailing);
    QString sError;
    const QByteArray bmp = pelirand::dibToBmp(dib, &sError);
    QVERIFY2(!bmp.isEmpty(), qPrintable(sError));
    QVERIFY(bmp.startsWith("BM"));
    QCOMPARE(bmp.size(), 14 + dib.size() - nTrailing);
    QCOMPARE(pelirand::readU32(bmp, 2), quint32(bmp.size()));
    QCOMPARE(pelirand::readU32(bmp, 10), quint32(14 + 40 + (iBpp == 8 ? 1024 : 0)));
    // The height has its sign back; nothing else of the DIB changed.
    QCOMPARE(qint32(pelirand::readU32(bmp, 14 + 8)), bTopDown ? -h : h);
    QCOMPARE(bmp.mid(14 + 12), dib.mid(12, dib.size() - 12 - nTrailing));
    QString sWhy = comparePattern(decode(bmp), w, h, iBpp == 8);
    QVERIFY2(sWhy.isEmpty(), qPrintable(sWhy));

    Image image;
    image.id = -1;
    image.data = dib;
    QCOMPARE(image.fileFormat(), QStringLiteral("dib"));
    QCOMPARE(image.fileBytes(), bmp);
    sWhy = comparePattern(image.toQImage(), w, h, iBpp == 8);
    QVERIFY2(sWhy.isEmpty(), qPrintable(sWhy));
}

void TestMainAppImage::coreDibKeepsItsOrder()
{
    // A core header passes the bridge unchanged, so its height keeps its sign.
    const int w = 3, h = 2, stride = 12;
    QByteArray dib(12 + stride * h, '\0');
    pelirand::writeU32(dib, 0, 12);
    pelirand::writeU16(dib, 4, w);
    pelirand::writeU16(dib, 6, h);
    pelirand::writeU16(dib, 8, 1);
    pelirand::writeU16(dib, 10, 24);
    dib[12] = char(0x30); // bottom row, first pixel, blue
    const QByteArray bmp = pelirand::dibToBmp(dib);
    QCOMPARE(bmp.mid(14), dib);
    QCOMPARE(pelirand::readU32(bmp, 10), 26u);
    const QImage image = decode(bmp);
    QCOMPARE(image.size(), QSize(w, h));
    QCOMPARE(image.pixel(0, h - 1) | 0xFF000000u, qRgb(0, 0, 0x30));
}

void TestMainAppImage::badDibs_data()
{
    QTest::addColumn<QByteArray>("dib");
    QTest::addColumn<QString>("sWhy");

    const QByteArray good = deliveredDib(4, 4, 24, false);
    QTest::newRow("empty") << QByteArray() << QStringLiteral("no DIB header");
    QTest::newRow("header size 20") << QByteArray::fromHex("14000000") + QByteArray(40, '\0')
                                    << QStringLiteral("no DIB header");
    QTest::newRow("a row short") << good.left(good.size() - 1) << QStringLiteral("holds only");
    QByteArray wide = good;
    pelirand::writeU32(wide, 4, 0x7FFFFFFF);
    QTest::newRow("absurd width") << wide << QStringLiteral("pixels");
    QByteArray zero = good;
    pelirand::writeU32(zero, 8, 0);
    QTest::newRow("no rows") << zero << QStringLiteral("4 x 0");
    QByteArray bits = good;
    pelirand::writeU16(bits, 14, 7);
    QTest::newRow("7 bits per pixel") << bits << QStringLiteral("7 bits");
    QByteArray colours = good;
    pelirand::writeU32(colours, 32, 0xFFFFFFFF);
    QTest::newRow("four billion colours") << colours << QStringLiteral("colours");
    QByteArray lowest = good;
    pelirand::writeU32(lowest, 8, 0x80000000u);
    QTest::newRow("height INT32_MIN") << lowest << QStringLiteral("height");
}

void TestMainAppImage::badDibs()
{
    QFETCH(QByteArray, dib);
    QFETCH(QString, sWhy);

    QString sError;
    QVERIFY(pelirand::dibToBmp(dib, &sError).isEmpty());
    QVERIFY2(sError.contains(sWhy), qPrintable(sError));
    Image image;
    image.id = -1;
    image.data = dib;
    QVERIFY(image.toQImage().isNull());
    QTemporaryDir dir;
    QVERIFY(!pelirand::writeImageFile(image, dir.filePath(QStringLiteral("x.png")), QStringLiteral("png"),
                                      &sError));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("x.png"))));
}

void TestMainAppImage::writeImageFile_data()
{
    QTest::addColumn<bool>("bDib");
    QTest::addColumn<QString>("sFormat");
    // The file mapped instead of read (and removed before the image is written).
    QTest::addColumn<bool>("bMapped");

    QTest::newRow("DIB as PNG") << true << QStringLiteral("png") << false;
    QTest::newRow("DIB as BMP") << true << QStringLiteral("bmp") << false;
    QTest::newRow("BMP file as PNG") << false << QStringLiteral("png") << false;
    QTest::newRow("BMP file as BMP") << false << QStringLiteral("bmp") << false;
    QTest::newRow("mapped DIB as PNG") << true << QStringLiteral("png") << true;
    QTest::newRow("mapped DIB as BMP") << true << QStringLiteral("bmp") << true;
    QTest::newRow("mapped BMP file as BMP") << false << QStringLiteral("bmp") << true;
}

void TestMainAppImage::writeImageFile()
{
    QFETCH(bool, bDib);
    QFETCH(QString, sFormat);
    QFETCH(bool, bMapped);

    const int w = 9, h = 4;
    const QByteArray dib = deliveredDib(w, h, 24, false);
    QTemporaryDir dir;
    Image image;
    image.id = bDib ? -1 : 0;
    image.data = bDib ? dib : pelirand::dibToBmp(dib);
    if (bMapped) {
        const QString sDelivered = dir.filePath(QStringLiteral("delivered"));
        QFile delivered(sDelivered);
        QVERIFY(delivered.open(QIODevice::WriteOnly) && delivered.write(image.data) == image.data.size());
        delivered.close();
        QString sMapError;
        Image mapped = image;
        mapped.data.clear();
        mapped.mapping = pelirand::mapImageFile(sDelivered, sMapError);
        QVERIFY2(mapped.mapping, qPrintable(sMapError));
        // The bytes outlive the file, and the Image they came with is gone.
        QVERIFY(QFile::remove(sDelivered));
        {
            const Image copy = mapped;
            image = copy;
        }
        mapped = Image();
        QVERIFY(image.data.isEmpty());
        QCOMPARE(image.bytes(), bDib ? dib : pelirand::dibToBmp(dib));
        QCOMPARE(image.byteCount(), qint64(image.bytes().size()));
        QVERIFY(image.isValid());
    }
    QCOMPARE(image.fileFormat(), bDib ? QStringLiteral("dib") : QStringLiteral("bmp"));

    const QString sName = dir.filePath(QStringLiteral("page.") + sFormat);
    QVERIFY(!QFile::exists(sName));
    QString sError;
    QSize size;
    QVERIFY2(pelirand::writeImageFile(image, sName, sFormat, &sError, &size), qPrintable(sError));
    QCOMPARE(size, QSize(w, h));
    QFile file(sName);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    // A BMP is written byte for byte as the bridge's DIB makes it.
    if (sFormat == QLatin1String("bmp"))
        QCOMPARE(written, pelirand::dibToBmp(dib));
    else
        QVERIFY(written.startsWith("\x89PNG"));
    const QString sWhy = comparePattern(decode(written), w, h, false);
    QVERIFY2(sWhy.isEmpty(), qPrintable(sWhy));

    QVERIFY(!pelirand::writeImageFile(image, sName, QStringLiteral("gif"), &sError));
    QVERIFY(!pelirand::writeImageFile(image, dir.filePath(QStringLiteral("no/such/folder/x.png")),
                                      QStringLiteral("png"), &sError));
}

// A mapped page larger than the pieces it is written in: the file is the
// DIB's BMP byte for byte, and the image's bytes are still all there after.
void TestMainAppImage::largeMappedDibAsBmp()
{
    const QByteArray dib = deliveredDib(2400, 2000, 24, false);
    QTemporaryDir dir;
    const QString sDelivered = dir.filePath(QStringLiteral("delivered"));
    QString sError;
    const Image image = mappedDib(sDelivered, dib, sError);
    QVERIFY2(image.mapping, qPrintable(sError));
    QVERIFY(QFile::remove(sDelivered));
    const QString sName = dir.filePath(QStringLiteral("page.bmp"));
    QSize size;
    QVERIFY2(pelirand::writeImageFile(image, sName, QStringLiteral("bmp"), &sError, &size), qPrintable(sError));
    QCOMPARE(size, QSize(2400, 2000));
    QFile file(sName);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == pelirand::dibToBmp(dib));
    QVERIFY(image.bytes() == dib);
}

// Bytes let go are read again from the file; a range that is not the
// mapping's, or an image that holds its bytes, is left alone.
void TestMainAppImage::releasedBytesReadAgain_data()
{
    QTest::addColumn<bool>("bMapped");
    QTest::addColumn<qint64>("nFrom");
    QTest::addColumn<qint64>("nBytes"); // -1: the size of the file
    QTest::newRow("whole file") << true << qint64(0) << qint64(-1);
    QTest::newRow("a piece within") << true << qint64(5000) << qint64(70000);
    QTest::newRow("starts before it") << true << qint64(-4096) << qint64(8192);
    QTest::newRow("ends past it") << true << qint64(4096) << qint64(-1);
    QTest::newRow("nothing") << true << qint64(0) << qint64(0);
    QTest::newRow("bytes in data") << false << qint64(0) << qint64(-1);
}

void TestMainAppImage::releasedBytesReadAgain()
{
    QFETCH(bool, bMapped);
    QFETCH(qint64, nFrom);
    QFETCH(qint64, nBytes);
    const QByteArray dib = deliveredDib(600, 400, 24, false);
    QTemporaryDir dir;
    const QString sDelivered = dir.filePath(QStringLiteral("delivered"));
    QFile delivered(sDelivered);
    QVERIFY(delivered.open(QIODevice::WriteOnly) && delivered.write(dib) == dib.size());
    delivered.close();
    Image image;
    image.id = -1;
    QString sError;
    if (bMapped) {
        image.mapping = pelirand::mapImageFile(sDelivered, sError);
        QVERIFY2(image.mapping, qPrintable(sError));
    } else {
        image.data = dib;
    }
    const QByteArray bytes = image.bytes();
    image.releaseBytes(bytes.constData() + nFrom, nBytes < 0 ? bytes.size() : nBytes);
    QVERIFY(image.bytes() == dib);
    QVERIFY(image.toQImage().size() == QSize(600, 400));
}

// Another process of the same user truncates, rewrites or replaces the
// delivered file while the page is held: the page stays as it arrived, and
// reading all of it never ends the process.
void TestMainAppImage::fileChangedUnderMapping_data()
{
    QTest::addColumn<QString>("sChange");
    QTest::newRow("truncated to nothing") << "empty";
    QTest::newRow("truncated to half") << "half";
    QTest::newRow("rewritten in place") << "rewrite";
    QTest::newRow("removed and written again") << "replace";
}

void TestMainAppImage::fileChangedUnderMapping()
{
    QFETCH(QString, sChange);
    const QByteArray dib = deliveredDib(300, 200, 24, false);
    QTemporaryDir dir;
    const QString sDelivered = dir.filePath(QStringLiteral("delivered"));
    QString sError;
    const Image image = mappedDib(sDelivered, dib, sError);
    QVERIFY2(image.mapping, qPrintable(sError));

    QFile file(sDelivered);
    if (sChange == QLatin1String("empty") || sChange == QLatin1String("half")) {
        QVERIFY(file.resize(sChange == QLatin1String("empty") ? 0 : dib.size() / 2));
    } else {
        if (sChange == QLatin1String("replace"))
            QVERIFY(file.remove());
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.write(QByteArray(dib.size(), '\x5A')) == dib.size());
        file.close();
    }
    QVERIFY(image.bytes() == dib);
    QCOMPARE(image.toQImage(&sError).size(), QSize(300, 200));
    // Nothing is left in the folder but the delivered file.
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("delivered")});
}

// A file that cannot be mapped says why; an empty one says so, which the
// session reports as it does for a file it reads.
void TestMainAppImage::unmappableFiles()
{
    QTemporaryDir dir;
    const QString sEmpty = dir.filePath(QStringLiteral("empty"));
    QFile empty(sEmpty);
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();
    QString sError;
    QVERIFY(!pelirand::mapImageFile(sEmpty, sError));
    QCOMPARE(sError, QStringLiteral("empty"));
    sError.clear();
    QVERIFY(!pelirand::mapImageFile(dir.filePath(QStringLiteral("missing")), sError));
    QVERIFY(!sError.isEmpty() && sError != QLatin1String("empty"));
    sError.clear();
    QVERIFY(!pelirand::mapImageFile(dir.path(), sError));
    QCOMPARE(sError, QStringLiteral("not a regular file"));
}

void TestMainAppImage::resultMessages()
{
    pelirand::TwainResult failed = pelirand::TwainResult::twainFailed(
        QStringLiteral("DG_CONTROL / DAT_IDENTITY / MSG_OPENDS"), TWRC_FAILURE);
    failed.setConditionCode(TWCC_NODS);
    failed.setState(3);
    QCOMPARE(failed.message(),
             QStringLiteral(
                 "DG_CONTROL / DAT_IDENTITY / MSG_OPENDS failed: TWRC_FAILURE (1), condition TWCC_NODS (3), "
                 "state 3"));
    QVERIFY(!failed);
    // A failure is never put down to a success code.
    pelirand::TwainResult noReason =
        pelirand::TwainResult::twainFailed(QStringLiteral("DG_IMAGE / DAT_IMAGENATIVEXFER / MSG_GET"), TWRC_FAILURE);
    noReason.setConditionCode(TWCC_SUCCESS);
    noReason.setState(6);
    QCOMPARE(noReason.message(), QStringLiteral("DG_IMAGE / DAT_IMAGENATIVEXFER / MSG_GET failed: TWRC_FAILURE (1), "
                                                "the scanner gave no reason, state 6"));
    const pelirand::TwainResult lost =
        pelirand::TwainResult::bridgeLost(QStringLiteral("cmdQuit"), QStringLiteral("gone"));
    QCOMPARE(lost.message(), QStringLiteral("cmdQuit failed: gone"));
    QVERIFY(pelirand::TwainResult::ok(QStringLiteral("x")));
    // A default result is no success.
    QVERIFY(!pelirand::TwainResult());
}

void TestMainAppImage::fileInFolder_data()
{
    // Paths below a fresh folder holding "folder/page.bmp", "folder/sub/page.bmp", "victim.bmp" beside
    // the folder, "folder/link.bmp" leading to the victim and "alias" leading to the folder.
    QTest::addColumn<QString>("sFile");
    QTest::addColumn<QString>("sFolder");
    QTest::addColumn<bool>("bInside");

    QTest::newRow("in the folder") << "folder/page.bmp"
                                   << "folder" << true;
    QTest::newRow("climbs out with ..") << "folder/../victim.bmp"
                                        << "folder" << false;
    QTest::newRow("climbs out from a subfolder") << "folder/sub/../../victim.bmp"
                                                 << "folder" << false;
    QTest::newRow("out and back in") << "folder/../folder/page.bmp"
                                     << "folder" << true;
    QTest::newRow("a link leading out") << "folder/link.bmp"
                                        << "folder" << false;
    QTest::newRow("the folder through a link") << "alias/page.bmp"
                                               << "folder" << true;
    QTest::newRow("in a subfolder") << "folder/sub/page.bmp"
                                    << "folder" << false;
    QTest::newRow("no such file") << "folder/none.bmp"
                                  << "folder" << false;
}

void TestMainAppImage::fileInFolder()
{
    QFETCH(QString, sFile);
    QFETCH(QString, sFolder);
    QFETCH(bool, bInside);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("folder/sub")));
    for (const QString& sName : {QStringLiteral("folder/page.bmp"), QStringLiteral("folder/sub/page.bmp"),
                                 QStringLiteral("victim.bmp")}) {
        QFile file(dir.filePath(sName));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("victim.bmp")),
                        dir.filePath(QStringLiteral("folder/link.bmp"))));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("folder")), dir.filePath(QStringLiteral("alias"))));

    // Names as a bridge or a source reports them: absolute, not cleaned.
    const QString sPath = dir.path() + QLatin1Char('/') + sFile;
    QCOMPARE(pelirand::fileIsInFolder(sPath, dir.filePath(sFolder)), bInside);
}

QTEST_GUILESS_MAIN(TestMainAppImage)
#include "tst_mainappimage.moc"
