// PNM pages written straight from the delivered bitmap's rows: byte for byte
// what decoding the page and writing it gives, for every bitmap taken that
// way; everything else left to decoding; a failed write leaves no file.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

#include "pelirand/image.h"
#include "client/scan/pagewriter.h"
#include "client/scan/pnmdirect.h"

using pelirand::Image;

namespace {

void putU16(QByteArray& b, int at, quint16 v)
{
    b[at] = char(v & 0xFF);
    b[at + 1] = char(v >> 8);
}

void putU32(QByteArray& b, int at, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = char((v >> (8 * i)) & 0xFF);
}

struct Spec
{
    int width = 13;
    int height = 7;
    int bits = 24;
    bool topDown = false;
    bool file = false; // a BMP file (with its file header) instead of the bridge's DIB
    int ppm = 11811;   // 300 dpi
    quint32 compression = 0;
    quint32 clrUsed = 0;
    QVector<QRgb> table; // written as B, G, R, 0
    int cutRows = 0;     // bytes of rows missing at the end, in rows
};

// A bitmap as the bridge delivers it (a DIB with its height's sign inverted)
// or as a BMP file, filled with a pattern that has every value in each row.
Image makeImage(const Spec& s)
{
    const int nRowBytes = (s.width * s.bits + 31) / 32 * 4;
    const int nTable = 4 * s.table.size();
    const int nHdr = s.file ? 14 : 0;
    QByteArray b(nHdr + 40 + nTable + nRowBytes * (s.height - s.cutRows), '\0');
    if (s.file) {
        b[0] = 'B';
        b[1] = 'M';
        putU32(b, 2, quint32(b.size()));
        putU32(b, 10, quint32(14 + 40 + nTable));
    }
    const int height = s.topDown ? -s.height : s.height;
    putU32(b, nHdr, 40);
    putU32(b, nHdr + 4, quint32(s.width));
    putU32(b, nHdr + 8, quint32(s.file ? height : -height));
    putU16(b, nHdr + 12, 1);
    putU16(b, nHdr + 14, quint16(s.bits));
    putU32(b, nHdr + 16, s.compression);
    putU32(b, nHdr + 24, quint32(s.ppm));
    putU32(b, nHdr + 28, quint32(s.ppm / 2));
    putU32(b, nHdr + 32, s.clrUsed);
    for (int i = 0; i < s.table.size(); ++i) {
        b[nHdr + 40 + 4 * i] = char(qBlue(s.table[i]));
        b[nHdr + 41 + 4 * i] = char(qGreen(s.table[i]));
        b[nHdr + 42 + 4 * i] = char(qRed(s.table[i]));
    }
    char* pRows = b.data() + nHdr + 40 + nTable;
    for (int y = 0; y < s.height - s.cutRows; ++y)
        for (int x = 0; x < nRowBytes; ++x)
            pRows[y * nRowBytes + x] = char((x * 29 + y * 71 + 5) & 0xFF);
    Image image;
    image.id = s.file ? -2 : -1;
    image.data = b;
    return image;
}

QVector<QRgb> greyTable()
{
    QVector<QRgb> t;
    for (int i = 0; i < 256; ++i)
        t.append(qRgb(i, i, i));
    return t;
}

QByteArray readAll(const QString& sPath)
{
    QFile f(sPath);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TstPnmDirect : public QObject
{
    Q_OBJECT

private slots:
    void sameBytesAsDecoding_data();
    void sameBytesAsDecoding();
    void othersAreDecoded_data();
    void othersAreDecoded();
    void failedWriteLeavesNothing();

private:
    QTemporaryDir m_dir;
};

void TstPnmDirect::sameBytesAsDecoding_data()
{
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("width");
    QTest::addColumn<bool>("topDown");
    QTest::addColumn<bool>("file");
    QTest::addColumn<QVector<QRgb>>("table");

    const QVector<QRgb> whiteBlack{qRgb(255, 255, 255), qRgb(0, 0, 0)};
    const QVector<QRgb> blackWhite{qRgb(0, 0, 0), qRgb(255, 255, 255)};
    const QVector<QRgb> allBlack{qRgb(0, 0, 0), qRgb(0, 0, 0)};
    for (bool file : {false, true}) {
        for (bool topDown : {false, true}) {
            const QByteArray where =
                QByteArray(file ? "bmp file" : "dib") + (topDown ? " top-down" : " bottom-up");
            // Widths whose rows need padding, and one that needs none.
            QTest::addRow("rgb 13 %s", where.constData()) << 24 << 13 << topDown << file << QVector<QRgb>();
            QTest::addRow("rgb 8 %s", where.constData()) << 24 << 8 << topDown << file << QVector<QRgb>();
            QTest::addRow("grey 13 %s", where.constData()) << 8 << 13 << topDown << file << greyTable();
            QTest::addRow("bw 13 white-black %s", where.constData())
                << 1 << 13 << topDown << file << whiteBlack;
            QTest::addRow("bw 61 black-white %s", where.constData())
                << 1 << 61 << topDown << file << blackWhite;
            QTest::addRow("bw 16 black-white %s", where.constData())
                << 1 << 16 << topDown << file << blackWhite;
        }
    }
    QTest::addRow("bw both black") << 1 << 13 << false << false << allBlack;
}

void TstPnmDirect::sameBytesAsDecoding()
{
    QFETCH(int, bits);
    QFETCH(int, width);
    QFETCH(bool, topDown);
    QFETCH(bool, file);
    QFETCH(QVector<QRgb>, table);
    Spec s;
    s.bits = bits;
    s.width = width;
    s.topDown = topDown;
    s.file = file;
    s.table = table;
    const Image image = makeImage(s);
    QVERIFY(pelirand::canWritePnmDirectly(image));

    QString sError;
    const QImage decoded = image.toQImage(&sError);
    QVERIFY2(!decoded.isNull(), qPrintable(sError));
    const QString sExpected = m_dir.filePath(QStringLiteral("decoded.pnm"));
    QVERIFY2(pelirand::writePageFile(decoded, sExpected, QStringLiteral("pnm"), 85, &sError),
             qPrintable(sError));

    const QString sDirect = m_dir.filePath(QStringLiteral("direct.pnm"));
    QSize size;
    QVERIFY2(pelirand::writePnmDirectly(image, sDirect, &sError, &size), qPrintable(sError));
    QCOMPARE(size, decoded.size());
    const QByteArray expected = readAll(sExpected);
    QVERIFY(!expected.isEmpty());
    QCOMPARE(readAll(sDirect), expected);
}

void TstPnmDirect::othersAreDecoded_data()
{
    QTest::addColumn<int>("what");
    QTest::newRow("palette") << 0;
    QTest::newRow("grey table not the identity") << 1;
    QTest::newRow("bw with a grey entry") << 2;
    QTest::newRow("no resolution") << 3;
    QTest::newRow("bitfields") << 4;
    QTest::newRow("32 bits") << 5;
    QTest::newRow("rows cut short") << 6;
    QTest::newRow("colour table before 24-bit rows") << 7;
    QTest::newRow("png") << 8;
    QTest::newRow("read error") << 9;
    QTest::newRow("file header pointing into the table") << 10;
}

void TstPnmDirect::othersAreDecoded()
{
    QFETCH(int, what);
    Spec s;
    Image image;
    switch (what) {
    case 0:
        s.bits = 8;
        for (int i = 0; i < 256; ++i)
            s.table.append(qRgb(i, 255 - i, i / 2));
        break;
    case 1:
        s.bits = 8;
        for (int i = 0; i < 256; ++i)
            s.table.append(qRgb(255 - i, 255 - i, 255 - i));
        break;
    case 2:
        s.bits = 1;
        s.table = {qRgb(0, 0, 0), qRgb(200, 200, 200)};
        break;
    case 3:
        s.ppm = 0;
        break;
    case 4:
        s.compression = 3;
        break;
    case 5:
        s.bits = 32;
        break;
    case 6:
        s.cutRows = 1;
        break;
    case 7:
        s.clrUsed = 2;
        s.table = {qRgb(0, 0, 0), qRgb(1, 1, 1)};
        break;
    default:
        break;
    }
    image = makeImage(s);
    if (what == 8) {
        image.id = -2;
        image.data = QByteArray("\x89PNG\r\n\x1a\n", 8) + image.data;
    } else if (what == 9) {
        image.data.clear();
        image.error = QStringLiteral("cannot read");
    } else if (what == 10) {
        s.file = true;
        s.bits = 8;
        s.table = greyTable();
        image = makeImage(s);
        putU32(image.data, 10, 14 + 40 + 8);
    }
    QVERIFY(!pelirand::canWritePnmDirectly(image));
    QString sError;
    const QString sPath = m_dir.filePath(QStringLiteral("other.pnm"));
    QVERIFY(!pelirand::writePnmDirectly(image, sPath, &sError));
    QVERIFY(!sError.isEmpty());
    QVERIFY(!QFile::exists(sPath));
}

void TstPnmDirect::failedWriteLeavesNothing()
{
    QTemporaryDir dir;
    const Image image = makeImage(Spec());
    QString sError;
    QVERIFY(!pelirand::writePnmDirectly(image, dir.filePath(QStringLiteral("missing/p.pnm")), &sError));
    QVERIFY2(sError.contains(QLatin1String("missing/p.pnm")), qPrintable(sError));
    // A folder that takes no file.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("locked")));
    QFile::setPermissions(dir.filePath(QStringLiteral("locked")), QFile::ReadOwner | QFile::ExeOwner);
    if (QFileInfo(dir.filePath(QStringLiteral("locked"))).isWritable()) {
        qInfo("running as root: the read-only folder case is skipped");
    } else {
        sError.clear();
        QVERIFY(!pelirand::writePnmDirectly(image, dir.filePath(QStringLiteral("locked/p.pnm")), &sError));
        QVERIFY2(sError.contains(QLatin1String("locked/p.pnm")), qPrintable(sError));
        QVERIFY(QDir(dir.filePath(QStringLiteral("locked")))
                    .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
                    .isEmpty());
    }
    QFile::setPermissions(dir.filePath(QStringLiteral("locked")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 0);
}

QTEST_GUILESS_MAIN(TstPnmDirect)
#include "tst_pnmdirect.moc"
