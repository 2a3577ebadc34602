// Every transfer the simulated scanner offers, end to end through the real
// bridge: mechanism x pixel type x bit depth x pixel flavour x compression x
// file format, each page compared pixel by pixel with the scanner's pattern
// (JPEG within a bound), then written as pelirand-scan writes it (PNG, BMP)
// and compared again; uncompressed memory strips also with the source's rows
// padded to 1, 2, 4, 8 and 16 bytes. Combinations the scanner refuses are
// refused with a TWAIN condition that names why.

#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>

#include "pelirand/image.h"
#include "client/tiffimage.h"
#include "pelirand/twainsession.h"
#include "tests/client/mainapptestsupport.h"
#include "twain/twain.h"

using namespace pelirand;
using namespace mainapptest;

namespace {

const char* mechName(quint16 mech)
{
    switch (mech) {
    case TWSX_NATIVE:
        return "native";
    case TWSX_FILE:
        return "file";
    case TWSX_MEMORY:
        return "memory";
    default:
        return "memfile";
    }
}

const char* typeName(int iType, int iBits)
{
    switch (iType) {
    case TWPT_BW:
        return "bw1";
    case TWPT_GRAY:
        return iBits == 16 ? "gray16" : "gray8";
    case TWPT_RGB:
        return "rgb24";
    default:
        return "palette8";
    }
}

// The id the contract gives each kind of delivery.
int expectedId(quint16 mech, int iBits, int iCompression)
{
    if (mech == TWSX_FILE)
        return 0;
    if (mech == TWSX_NATIVE)
        return -1;
    if (mech == TWSX_MEMFILE || iCompression == TWCP_JPEG || iBits == 16)
        return -2;
    return -1;
}

// Empty when a 16-bit grey image holds the page's 16-bit samples exactly.
QString compareGrey16(const QImage& image, int iPage)
{
    if (image.format() != QImage::Format_Grayscale16)
        return QStringLiteral("not 16-bit grey (format %1)").arg(int(image.format()));
    if (image.width() != kWidth || image.height() != kHeight)
        return QStringLiteral("%1 x %2 pixels").arg(image.width()).arg(image.height());
    for (int y = 0; y < kHeight; ++y) {
        const auto* pRow = reinterpret_cast<const quint16*>(image.constScanLine(y));
        for (int x = 0; x < kWidth; ++x)
            if (pRow[x] != simscanner::grey16(TW_UINT32(iPage), TW_UINT32(x), TW_UINT32(y)))
                return QStringLiteral("pixel (%1, %2) is %3, the page has %4")
                    .arg(x)
                    .arg(y)
                    .arg(pRow[x])
                    .arg(simscanner::grey16(TW_UINT32(iPage), TW_UINT32(x), TW_UINT32(y)));
    }
    return QString();
}

// JPEG: every channel within a bound of the page, and close on average.
QString compareLossy(const QImage& image, int iPage, int iPixelType)
{
    if (image.width() != kWidth || image.height() != kHeight)
        return QStringLiteral("%1 x %2 pixels").arg(image.width()).arg(image.height());
    qint64 nSum = 0;
    int nMax = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const QRgb want = expectedPixel(iPage, iPixelType, x, y);
            const QRgb got = image.pixel(x, y);
            for (int d : {qRed(got) - qRed(want), qGreen(got) - qGreen(want), qBlue(got) - qBlue(want)}) {
                nSum += std::abs(d);
                nMax = qMax(nMax, std::abs(d));
            }
        }
    const double mean = double(nSum) / (3.0 * kWidth * kHeight);
    if (nMax > 48 || mean > 6)
        return QStringLiteral("JPEG error too large: max %1, mean %2").arg(nMax).arg(mean);
    return QString();
}

} // namespace

class tst_TransferMatrix : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void matrix_data();
    void matrix();

private:
    QString compareImage(const QImage& image, quint16 mech, int iType, int iBits, int iCompression) const;

    Bridge* m_pBridge = nullptr;
    TwainSession* m_pSession = nullptr;
    QTemporaryDir m_out;
    int m_nPage = 0;
};

void tst_TransferMatrix::initTestCase()
{
    useTemporaryTmpDir();
    QVERIFY(m_out.isValid());
    m_pBridge = new Bridge;
    QVERIFY2(m_pBridge->start(), qPrintable(m_pBridge->lastError()));
    m_pSession = new TwainSession(*m_pBridge);
    const TwainResult r = openScanner(*m_pSession);
    QVERIFY2(r, qPrintable(r.message()));
    // The flatbed: one page per scan, whatever was scanned before.
    QVERIFY(m_pSession->setCapability(CAP_FEEDERENABLED, TWTY_BOOL, 0));
    QVERIFY(m_pSession->setCapability(CAP_XFERCOUNT, TWTY_INT16, 1));
}

void tst_TransferMatrix::cleanupTestCase()
{
    if (m_pSession)
        m_pSession->close();
    delete m_pSession;
    if (m_pBridge)
        m_pBridge->stop();
    delete m_pBridge;
    QVERIFY2(bridgeTemporaries().isEmpty(), qPrintable(bridgeTemporaries().join(QLatin1Char(' '))));
}

void tst_TransferMatrix::matrix_data()
{
    QTest::addColumn<quint16>("mech");
    QTest::addColumn<int>("pixelType");
    QTest::addColumn<int>("bitDepth");
    QTest::addColumn<bool>("vanilla");
    QTest::addColumn<int>("compression");
    QTest::addColumn<int>("fileFormat");
    // The setting the scanner refuses ("" when it scans).
    QTest::addColumn<QString>("refused");
    // The multiple the scanner pads memory strip rows to.
    QTest::addColumn<int>("rowAlign");

    const QVector<QPair<int, int>> types = {
        {TWPT_BW, 1}, {TWPT_GRAY, 8}, {TWPT_GRAY, 16}, {TWPT_RGB, 24}, {TWPT_PALETTE, 8}};
    for (quint16 mech :
         {quint16(TWSX_NATIVE), quint16(TWSX_MEMORY), quint16(TWSX_FILE), quint16(TWSX_MEMFILE)}) {
        for (const auto& type : types) {
            for (bool bVanilla : {false, true}) {
                const bool bFileFormats = mech == TWSX_FILE || mech == TWSX_MEMFILE;
                for (int iFormat : bFileFormats ? QVector<int>{TWFF_BMP, TWFF_TIFF} : QVector<int>{-1}) {
                    const QString sRefused =
                        iFormat == TWFF_BMP && type.second == 16 ? QStringLiteral("file format") : QString();
                    QTest::addRow("%s/%s/%s/none%s", mechName(mech), typeName(type.first, type.second),
                                  bVanilla ? "vanilla" : "chocolate",
                                  iFormat < 0 ? "" : (iFormat == TWFF_BMP ? "/bmp" : "/tiff"))
                        << mech << type.first << type.second << bVanilla << int(TWCP_NONE) << iFormat
                        << sRefused << 1;
                }
                if (mech == TWSX_MEMORY) {
                    for (int iAlign : bVanilla ? QVector<int>{8} : QVector<int>{2, 4, 8, 16})
                        QTest::addRow("memory/%s/%s/none/rows%d", typeName(type.first, type.second),
                                      bVanilla ? "vanilla" : "chocolate", iAlign)
                            << mech << type.first << type.second << bVanilla << int(TWCP_NONE) << -1
                            << QString() << iAlign;
                }
                // JPEG: memory strips of 8-bit grey and 24-bit colour only.
                const bool bJpeg = mech == TWSX_MEMORY && (type.second == 8 || type.second == 24) &&
                                   type.first != TWPT_PALETTE;
                if (bJpeg || (!bVanilla && (mech == TWSX_NATIVE || type.first == TWPT_BW)))
                    QTest::addRow("%s/%s/%s/jpeg", mechName(mech), typeName(type.first, type.second),
                                  bVanilla ? "vanilla" : "chocolate")
                        << mech << type.first << type.second << bVanilla << int(TWCP_JPEG)
                        << (mech == TWSX_FILE || mech == TWSX_MEMFILE ? int(TWFF_BMP) : -1)
                        << (bJpeg ? QString() : QStringLiteral("compression")) << 1;
            }
        }
    }
}

QString tst_TransferMatrix::compareImage(const QImage& image, quint16 mech, int iType, int iBits,
                                         int iCompression) const
{
    if (iCompression == TWCP_JPEG)
        return compareLossy(image, m_nPage, iType);
    if (iBits == 16 && mech != TWSX_NATIVE)
        return compareGrey16(image, m_nPage);
    return compareWithPage(image, m_nPage, iType);
}

void tst_TransferMatrix::matrix()
{
    QFETCH(quint16, mech);
    QFETCH(int, pixelType);
    QFETCH(int, bitDepth);
    QFETCH(bool, vanilla);
    QFETCH(int, compression);
    QFETCH(int, fileFormat);
    QFETCH(QString, refused);
    QFETCH(int, rowAlign);

    TwainSession& session = *m_pSession;
    QVERIFY(session.setCapability(ICAP_XFERMECH, TWTY_UINT16, mech));
    QVERIFY(session.setCapability(ICAP_PIXELTYPE, TWTY_UINT16, pixelType));
    QVERIFY(session.setCapability(ICAP_BITDEPTH, TWTY_UINT16, bitDepth));
    QVERIFY(session.setCapability(ICAP_PIXELFLAVOR, TWTY_UINT16, vanilla ? TWPF_VANILLA : TWPF_CHOCOLATE));
    QVERIFY(session.setCapability(simscanner::SIMCAP_MEMROWALIGN, TWTY_UINT16, rowAlign));

    TwainResult r = session.setCapability(ICAP_COMPRESSION, TWTY_UINT16, compression);
    if (refused == QLatin1String("compression")) {
        QVERIFY2(!r, "the scanner took a compression it cannot deliver");
        QVERIFY2(r.message().contains(QLatin1String("TWCC_")), qPrintable(r.message()));
        return;
    }
    QVERIFY2(r, qPrintable(r.message()));
    if (fileFormat >= 0) {
        const QString sName =
            m_out.filePath(QStringLiteral("page-%1.%2")
                               .arg(m_nPage + 1)
                               .arg(fileFormat == TWFF_BMP ? QStringLiteral("bmp") : QStringLiteral("tif")));
        r = mech == TWSX_FILE ? session.setFileTransfer(sName, quint16(fileFormat))
                              : session.setCapability(ICAP_IMAGEFILEFORMAT, TWTY_UINT16, fileFormat);
        if (refused == QLatin1String("file format")) {
            QVERIFY2(!r, "the scanner took a 16-bit BMP");
            QVERIFY2(r.hasConditionCode() && r.conditionCode() == TWCC_BADVALUE, qPrintable(r.message()));
            return;
        }
        QVERIFY2(r, qPrintable(r.message()));
    }
    QVERIFY(refused.isEmpty());

    QList<Image> images;
    QStringList failures;
    const QMetaObject::Connection c1 = connect(&session, &TwainSession::imageReceived, this,
                                               [&](const Image& image) { images.append(image); });
    BatchResult batch;
    r = session.enable(false);
    if (r)
        r = session.waitForBatch(batch, kWaitMs);
    disconnect(c1);
    ++m_nPage;
    QVERIFY2(r, qPrintable(r.message()));
    QVERIFY2(session.disable(), "disable");
    QVERIFY2(batch.failures.isEmpty(), qPrintable(batch.failures.join(QLatin1Char('\n'))));
    QCOMPARE(batch.endState, 5u);
    QCOMPARE(images.size(), 1);
    const Image& image = images.first();
    QCOMPARE(image.id, expectedId(mech, bitDepth, compression));
    QVERIFY2(image.isValid(), qPrintable(image.error));

    QString sError;
    const QImage decoded = image.toQImage(&sError);
    QVERIFY2(!decoded.isNull(), qPrintable(sError));
    QString sWhy = compareImage(decoded, mech, pixelType, bitDepth, compression);
    QVERIFY2(sWhy.isEmpty(), qPrintable(sWhy));

    // As pelirand-scan writes it.
    for (const QString& sFormat : {QStringLiteral("png"), QStringLiteral("bmp")}) {
        const QString sOut = m_out.filePath(QStringLiteral("out-%1.%2").arg(m_nPage).arg(sFormat));
        sError.clear();
        const bool bWritten = writeImageFile(image, sOut, sFormat, &sError);
        if (bitDepth == 16 && mech != TWSX_NATIVE && sFormat == QLatin1String("bmp")) {
            QVERIFY2(!bWritten && sError.contains(QLatin1String("16-bit")), qPrintable(sError));
            continue;
        }
        QVERIFY2(bWritten, qPrintable(sError));
        const QImage reread(sOut);
        QVERIFY2(!reread.isNull(), qPrintable(sOut));
        sWhy = compareImage(reread, mech, pixelType, bitDepth, compression);
        QVERIFY2(sWhy.isEmpty(), qPrintable(QStringLiteral("%1: %2").arg(sFormat, sWhy)));
        QFile::remove(sOut);
    }
    if (mech == TWSX_FILE)
        QFile::remove(image.fileName);
}

QTEST_GUILESS_MAIN(tst_TransferMatrix)
#include "tst_transfermatrix.moc"
