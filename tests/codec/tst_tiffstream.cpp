// TIFF files in memory: written, read back, read from the caller's bytes;
// seeks and writes that a memory file must refuse.

#include <QtTest>

#include <cstdio>
#include <vector>

#include "codec/tiffstream.h"

namespace {

void silence(const char*, const char*, va_list) {}

// A width x height 8-bit grey image whose pixel (x, y) is x + 10 * y.
bool writeGrey(TIFF* tif, quint32 width, quint32 height)
{
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 1);
    std::vector<unsigned char> row(width);
    for (quint32 y = 0; y < height; ++y) {
        for (quint32 x = 0; x < width; ++x)
            row[x] = static_cast<unsigned char>(x + 10 * y);
        if (TIFFWriteScanline(tif, row.data(), y, 0) != 1)
            return false;
    }
    return TIFFWriteDirectory(tif) == 1;
}

// Reads the image back; false unless it is the one writeGrey() made.
bool readGrey(TIFF* tif, quint32 width, quint32 height)
{
    quint32 w = 0, h = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    if (w != width || h != height)
        return false;
    std::vector<unsigned char> row(width);
    for (quint32 y = 0; y < height; ++y) {
        if (TIFFReadScanline(tif, row.data(), y, 0) != 1)
            return false;
        for (quint32 x = 0; x < width; ++x) {
            if (row[x] != static_cast<unsigned char>(x + 10 * y))
                return false;
        }
    }
    return true;
}

// Opens the protected calls for the seek table.
class OpenFile : public codec::TiffMemoryFile
{
public:
    using TiffMemoryFile::TiffMemoryFile;
    using TiffMemoryFile::read;
    using TiffMemoryFile::seek;
    using TiffMemoryFile::write;
};

} // namespace

class TestTiffStream : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void writeThenRead();
    void readCallersBytes();
    void notTiff();
    void seek_data();
    void seek();
    void writeLimits();
};

void TestTiffStream::initTestCase()
{
    TIFFSetErrorHandler(silence);
    TIFFSetWarningHandler(silence);
}

void TestTiffStream::writeThenRead()
{
    codec::TiffMemoryFile file;
    TIFF* tif = file.open("memory", "w");
    QVERIFY(tif);
    QVERIFY(writeGrey(tif, 7, 5));
    TIFFClose(tif);
    QVERIFY(file.byteCount() > 35);
    QCOMPARE(file.bytes().size(), file.byteCount());
    // The same file opened again reads from its start.
    tif = file.open("memory", "r");
    QVERIFY(tif);
    QVERIFY(readGrey(tif, 7, 5));
    TIFFClose(tif);
}

void TestTiffStream::readCallersBytes()
{
    codec::TiffMemoryFile written;
    TIFF* tif = written.open("memory", "w");
    QVERIFY(tif);
    QVERIFY(writeGrey(tif, 3, 4));
    TIFFClose(tif);
    const std::vector<unsigned char> copy = written.bytes();

    codec::TiffMemoryFile view(copy.data(), copy.size());
    QCOMPARE(view.data(), copy.data());
    tif = view.open("memory", "rm");
    QVERIFY(tif);
    QVERIFY(readGrey(tif, 3, 4));
    TIFFClose(tif);
    QVERIFY(view.bytes().empty());
}

void TestTiffStream::notTiff()
{
    const QByteArray junk("not a TIFF file at all");
    codec::TiffMemoryFile view(junk.constData(), std::size_t(junk.size()));
    QVERIFY(!view.open("memory", "r"));
    codec::TiffMemoryFile empty;
    QVERIFY(!empty.open("memory", "r"));
}

void TestTiffStream::seek_data()
{
    QTest::addColumn<qint64>("start");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<int>("whence");
    QTest::addColumn<qint64>("result");
    // A file of its own holding 10 bytes, at most 100.
    QTest::newRow("set") << qint64(0) << qint64(4) << SEEK_SET << qint64(4);
    QTest::newRow("current") << qint64(3) << qint64(4) << SEEK_CUR << qint64(7);
    QTest::newRow("back from the current") << qint64(3) << qint64(-3) << SEEK_CUR << qint64(0);
    QTest::newRow("end") << qint64(0) << qint64(0) << SEEK_END << qint64(10);
    QTest::newRow("before the end") << qint64(0) << qint64(-4) << SEEK_END << qint64(6);
    QTest::newRow("past the end, up to the limit") << qint64(0) << qint64(100) << SEEK_SET << qint64(100);
    QTest::newRow("before the start") << qint64(3) << qint64(-4) << SEEK_CUR << qint64(-1);
    QTest::newRow("beyond the limit") << qint64(0) << qint64(101) << SEEK_SET << qint64(-1);
    QTest::newRow("largest offset") << qint64(5) << std::numeric_limits<qint64>::max() << SEEK_CUR << qint64(-1);
    QTest::newRow("smallest offset") << qint64(5) << std::numeric_limits<qint64>::min() << SEEK_END << qint64(-1);
    QTest::newRow("unknown whence") << qint64(0) << qint64(1) << 7 << qint64(-1);
}

void TestTiffStream::seek()
{
    QFETCH(qint64, start);
    QFETCH(qint64, offset);
    QFETCH(int, whence);
    QFETCH(qint64, result);
    OpenFile file(100);
    QCOMPARE(file.write("0123456789", 10), qint64(10));
    QCOMPARE(file.seek(start, SEEK_SET), start);
    QCOMPARE(file.seek(offset, whence), result);
    // A refused seek leaves the position where it was.
    QCOMPARE(qint64(file.position()), result < 0 ? start : result);
}

void TestTiffStream::writeLimits()
{
    OpenFile file(8);
    QCOMPARE(file.write("abcdef", 6), qint64(6));
    QCOMPARE(file.write("ghi", 3), qint64(-1));
    QCOMPARE(file.byteCount(), std::size_t(6));
    // Writing after a seek past the end fills the gap with zeros.
    QCOMPARE(file.seek(7, SEEK_SET), qint64(7));
    QCOMPARE(file.write("z", 1), qint64(1));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(file.data()), int(file.byteCount())),
             QByteArray("abcdef\0z", 8));
    char buffer[4] = {};
    QCOMPARE(file.read(buffer, 4), qint64(0));

    // The caller's bytes are never written.
    const char text[] = "read only";
    OpenFile view(text, sizeof(text));
    QCOMPARE(view.write("x", 1), qint64(-1));
    QCOMPARE(view.read(buffer, 4), qint64(4));
    QCOMPARE(QByteArray(buffer, 4), QByteArray("read"));
}

QTEST_APPLESS_MAIN(TestTiffStream)
#include "tst_tiffstream.moc"
