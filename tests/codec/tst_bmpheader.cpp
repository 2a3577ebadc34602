// BMP file and info headers: the bytes as they stand in a file, and the
// headers of images of the usual depths, bottom-up and top-down.

#include <QtTest>

#include "codec/bmpheader.h"

class TestBmpHeader : public QObject
{
    Q_OBJECT

private slots:
    void headersFor_data();
    void headersFor();
    void bytes();
    void tooLarge_data();
    void tooLarge();
};

void TestBmpHeader::headersFor_data()
{
    QTest::addColumn<uint>("width");
    QTest::addColumn<uint>("rows");
    QTest::addColumn<int>("bitCount");
    QTest::addColumn<bool>("topDown");
    QTest::addColumn<uint>("colours");
    QTest::addColumn<uint>("rowBytes");
    QTest::addColumn<uint>("pixelsAt");
    QTest::addColumn<int>("height");
    // Rows are padded to 4 bytes; the pixels follow the 54 bytes of headers and the table.
    QTest::newRow("1-bit, 33 pixels wide") << 33u << 10u << 1 << false << 2u << 8u << 62u << 10;
    QTest::newRow("1-bit, 32 pixels wide") << 32u << 3u << 1 << false << 2u << 4u << 62u << 3;
    QTest::newRow("4-bit") << 9u << 2u << 4 << false << 16u << 8u << 118u << 2;
    QTest::newRow("8-bit grey") << 5u << 4u << 8 << false << 256u << 8u << 1078u << 4;
    QTest::newRow("8-bit, top-down") << 5u << 4u << 8 << true << 256u << 8u << 1078u << -4;
    QTest::newRow("24-bit") << 3u << 2u << 24 << false << 0u << 12u << 54u << 2;
    QTest::newRow("24-bit, top-down") << 4u << 7u << 24 << true << 0u << 12u << 54u << -7;
    QTest::newRow("no rows") << 4u << 0u << 24 << true << 0u << 12u << 54u << 0;
}

void TestBmpHeader::headersFor()
{
    QFETCH(uint, width);
    QFETCH(uint, rows);
    QFETCH(int, bitCount);
    QFETCH(bool, topDown);
    QFETCH(uint, colours);
    QFETCH(uint, rowBytes);
    QFETCH(uint, pixelsAt);
    QFETCH(int, height);
    codec::BmpImage image;
    image.width = width;
    image.rows = rows;
    image.bitCount = quint16(bitCount);
    image.topDown = topDown;
    image.colours = colours;
    image.xPelsPerMeter = 11811;
    image.yPelsPerMeter = 2835;
    QCOMPARE(codec::bmpRowBytes(width, quint16(bitCount)), quint64(rowBytes));
    codec::BmpFileHeader file;
    codec::BmpInfoHeader info;
    QVERIFY(codec::bmpHeadersFor(image, file, info));
    QCOMPARE(file.type, quint16(0x4D42));
    QCOMPARE(file.pixelsAt, pixelsAt);
    QCOMPARE(file.fileSize, pixelsAt + rowBytes * rows);
    QCOMPARE(info.headerSize, 40u);
    QCOMPARE(info.width, qint32(width));
    QCOMPARE(info.height, height);
    QCOMPARE(info.planes, quint16(1));
    QCOMPARE(int(info.bitCount), bitCount);
    QCOMPARE(info.compression, 0u);
    QCOMPARE(info.imageSize, rowBytes * rows);
    QCOMPARE(info.coloursUsed, colours);
    QCOMPARE(info.coloursImportant, 0u);

    // Written and read back field by field.
    unsigned char bytes[codec::kBmpFileHeaderSize + codec::kBmpInfoHeaderSize] = {};
    codec::writeBmpFileHeader(file, bytes);
    codec::writeBmpInfoHeader(info, bytes + codec::kBmpFileHeaderSize);
    QCOMPARE(bytes[0], uchar('B'));
    QCOMPARE(bytes[1], uchar('M'));
    const codec::BmpInfoHeader back = codec::readBmpInfoHeader(bytes + codec::kBmpFileHeaderSize);
    QCOMPARE(back.height, height);
    QCOMPARE(back.imageSize, info.imageSize);
    QCOMPARE(back.xPelsPerMeter, 11811);
    QCOMPARE(back.yPelsPerMeter, 2835);
    QCOMPARE(codec::readBmpFileHeader(bytes).fileSize, file.fileSize);
}

void TestBmpHeader::bytes()
{
    // A 2 x 1 top-down 24-bit image at 300 dpi, byte for byte.
    codec::BmpImage image;
    image.width = 2;
    image.rows = 1;
    image.bitCount = 24;
    image.topDown = true;
    image.xPelsPerMeter = 11811;
    image.yPelsPerMeter = 11811;
    codec::BmpFileHeader file;
    codec::BmpInfoHeader info;
    QVERIFY(codec::bmpHeadersFor(image, file, info));
    unsigned char out[54] = {};
    codec::writeBmpFileHeader(file, out);
    codec::writeBmpInfoHeader(info, out + 14);
    const QByteArray expected = QByteArray::fromHex("424d"        // BM
                                                    "3e000000"    // 62 bytes
                                                    "00000000"    // reserved
                                                    "36000000"    // pixels at 54
                                                    "28000000"    // header size 40
                                                    "02000000"    // width 2
                                                    "ffffffff"    // height -1
                                                    "0100"        // planes
                                                    "1800"        // 24 bits
                                                    "00000000"    // BI_RGB
                                                    "08000000"    // 8 bytes of pixels
                                                    "232e0000"    // 11811
                                                    "232e0000"    // 11811
                                                    "00000000"    // no table
                                                    "00000000");  // all important
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(out), 54), expected);
}

void TestBmpHeader::tooLarge_data()
{
    QTest::addColumn<uint>("width");
    QTest::addColumn<uint>("rows");
    QTest::addColumn<int>("bitCount");
    QTest::newRow("file above 4 GiB") << 65536u << 65536u << 24;
    QTest::newRow("width beyond the signed field") << 0x80000000u << 1u << 1;
    QTest::newRow("rows beyond the signed field") << 1u << 0x80000000u << 1;
    QTest::newRow("row bytes times rows overflow") << 0x7FFFFFFFu << 0x7FFFFFFFu << 48;
}

void TestBmpHeader::tooLarge()
{
    QFETCH(uint, width);
    QFETCH(uint, rows);
    QFETCH(int, bitCount);
    codec::BmpImage image;
    image.width = width;
    image.rows = rows;
    image.bitCount = quint16(bitCount);
    codec::BmpFileHeader file;
    codec::BmpInfoHeader info;
    QVERIFY(!codec::bmpHeadersFor(image, file, info));
}

QTEST_APPLESS_MAIN(TestBmpHeader)
#include "tst_bmpheader.moc"
