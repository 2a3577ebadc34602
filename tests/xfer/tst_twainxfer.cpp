// The transfer engine in one process with CTwainIODirect, the stand-in DSM and
// the simulated scanner: native, file, memory and memory-file pages, faults
// the scanner injects; and against a scripted source for what the scanner
// never does (mechanism 3, Group 4 strips, lying block descriptors).

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

#include <csignal>
#include <sys/resource.h>
#include <tiffio.h>

#include "diag/twnames.h"
#include "sources/sim/simscanner.h"
#include "tests/xfer/scannersession.h"
#include "tests/xfer/xfertestsupport.h"
#include "twain/dsmlib.h"
#include "twain/twainmem.h"
#include "xfer/twainxfer.h"
#include "twain/twain.h"

using namespace simscanner;

namespace {

// Qt's messages, for the one the engine sends to the debug output.
QStringList g_qtMessages;
QtMessageHandler g_previousHandler = nullptr;

void captureMessage(QtMsgType type, const QMessageLogContext& context, const QString& sText)
{
    g_qtMessages << sText;
    if (g_previousHandler)
        g_previousHandler(type, context, sText);
}

const QString kNotSupported = QStringLiteral("m_pMemoryDataStream not yet supported");

struct Rgb
{
    int r = 0, g = 0, b = 0;
    bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};

// The colour a page shows at (x, y), as the scanner's pattern defines it.
Rgb sceneColour(TW_UINT16 nPixelType, TW_UINT32 nPage, int x, int y)
{
    switch (nPixelType) {
    case TWPT_BW: {
        const int v = isWhite(nPage, TW_UINT32(x), TW_UINT32(y)) ? 255 : 0;
        return {v, v, v};
    }
    case TWPT_GRAY: {
        const int v = grey8(nPage, TW_UINT32(x), TW_UINT32(y));
        return {v, v, v};
    }
    case TWPT_PALETTE: {
        const TW_UINT8 i = paletteIndex(nPage, TW_UINT32(x), TW_UINT32(y));
        return {paletteColour(i, 0), paletteColour(i, 1), paletteColour(i, 2)};
    }
    default:
        return {rgb8(nPage, TW_UINT32(x), TW_UINT32(y), 0), rgb8(nPage, TW_UINT32(x), TW_UINT32(y), 1),
                rgb8(nPage, TW_UINT32(x), TW_UINT32(y), 2)};
    }
}

// A packed DIB (info header, table, rows) as a reader sees it.
struct Dib
{
    QByteArray bytes; // from the info header on
    int nWidth = 0;
    int nHeight = 0;
    int nBits = 0;
    quint32 nClrUsed = 0;
    quint32 nSizeImage = 0;

    static Dib fromInfoHeader(const QByteArray& data)
    {
        Dib d;
        d.bytes = data;
        if (data.size() < 40)
            return d;
        d.nWidth = int(le32(data, 4));
        d.nHeight = int(le32(data, 8));
        d.nBits = le16(data, 14);
        d.nSizeImage = le32(data, 20);
        d.nClrUsed = le32(data, 32);
        return d;
    }
    int stride() const { return ((nBits * nWidth + 31) / 32) * 4; }
    int pixelOffset() const { return 40 + 4 * int(nClrUsed); }

    Rgb colourAt(int x, int y) const
    {
        const int nRow = nHeight < 0 ? y : nHeight - 1 - y;
        const int nOff = pixelOffset() + nRow * stride();
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData()) + nOff;
        if (nBits == 24)
            return {p[3 * x + 2], p[3 * x + 1], p[3 * x]};
        const int nIndex = nBits == 1 ? (p[x / 8] >> (7 - x % 8)) & 1 : p[x];
        const auto* t = reinterpret_cast<const unsigned char*>(bytes.constData()) + 40 + 4 * nIndex;
        return {t[2], t[1], t[0]};
    }
};

// A BMP file: its file header, then the DIB.
struct BmpFile
{
    QByteArray bytes;
    Dib dib;
    quint32 bfSize = 0;
    quint32 bfOffBits = 0;

    static BmpFile read(const QString& sPath)
    {
        BmpFile f;
        QFile file(sPath);
        if (!file.open(QIODevice::ReadOnly))
            return f;
        f.bytes = file.readAll();
        if (f.bytes.size() < 54 || !f.bytes.startsWith("BM"))
            return f;
        f.bfSize = le32(f.bytes, 2);
        f.bfOffBits = le32(f.bytes, 10);
        f.dib = Dib::fromInfoHeader(f.bytes.mid(14));
        return f;
    }
};

// Compares every pixel of an image with the page.
bool showsPage(const Dib& dib, TW_UINT16 nPixelType, TW_UINT32 nPage, int nWidth, int nHeight, QString& sWhy)
{
    if (dib.nWidth != nWidth || qAbs(dib.nHeight) != nHeight) {
        sWhy = QStringLiteral("size %1 x %2").arg(dib.nWidth).arg(dib.nHeight);
        return false;
    }
    if (dib.bytes.size() < dib.pixelOffset() + dib.stride() * nHeight) {
        sWhy = QStringLiteral("only %1 bytes").arg(dib.bytes.size());
        return false;
    }
    for (int y = 0; y < nHeight; ++y) {
        for (int x = 0; x < nWidth; ++x) {
            const Rgb want = sceneColour(nPixelType, nPage, x, y);
            const Rgb got = dib.colourAt(x, y);
            if (!(want == got)) {
                sWhy = QStringLiteral("pixel (%1,%2) of page %3: %4,%5,%6 instead of %7,%8,%9")
                           .arg(x)
                           .arg(y)
                           .arg(nPage)
                           .arg(got.r)
                           .arg(got.g)
                           .arg(got.b)
                           .arg(want.r)
                           .arg(want.g)
                           .arg(want.b);
                return false;
            }
        }
    }
    return true;
}

struct NativeImage
{
    HGLOBAL hImage = nullptr;
    qint64 nSize = 0;
    int nLocks = 0;
    // The handle was a block of the DSM's memory, not Win32 global memory.
    bool bDsm = false;
    // Blocks the bridge had given back to the DSM before the emission.
    int nFreedBefore = 0;
    QByteArray bytes;
};

// Records the blocks the bridge frees through the DSM's memory functions, in
// order, for as long as it lives.
class DsmFreeRecorder
{
public:
    DsmFreeRecorder()
    {
        s_free = g_DSMEntryPoint.DSM_MemFree;
        s_freed.clear();
        if (s_free)
            g_DSMEntryPoint.DSM_MemFree = &record;
    }
    ~DsmFreeRecorder()
    {
        if (s_free)
            g_DSMEntryPoint.DSM_MemFree = s_free;
        s_free = nullptr;
    }
    static int count() { return s_freed.size(); }
    // hBlock was freed between the nFrom-th and the nTo-th free (nTo -1: up to now).
    static bool freedBetween(void* hBlock, int nFrom, int nTo = -1)
    {
        return s_freed.mid(nFrom, nTo < 0 ? -1 : nTo - nFrom).contains(hBlock);
    }

private:
    static void TW_CALLINGSTYLE record(TW_HANDLE hBlock)
    {
        s_freed << hBlock;
        s_free(hBlock);
    }
    static inline DSM_MEMFREE s_free = nullptr;
    static inline QVector<void*> s_freed;
};

struct Announced
{
    int nId = -1;
    QString sFileName;
    int nRot = -1;
};

// Records what the engine announces. Native images are read during the
// emission; takeOver lists the images (from 1) whose handle the receiver keeps.
class Receiver
{
public:
    explicit Receiver(CTwainXFer& xfer, QSet<int> takeOver = {})
    {
        QObject::connect(
            &xfer, &CTwainXFer::si_ImageInMemory, [this, takeOver](void* hImage, qint64 nSize, bool& bFree) {
                NativeImage image;
                image.hImage = hImage;
                image.nSize = nSize;
                image.bDsm = DSMOwnMemory();
                image.nFreedBefore = DsmFreeRecorder::count();
                // The DSM's blocks keep no lock count; their heap may round them up.
                image.nLocks = image.bDsm ? 0 : int(GlobalFlags(hImage) & GMEM_LOCKCOUNT);
                const int nBytes =
                    image.bDsm ? int(std::min<std::size_t>(DSMSize(hImage), std::size_t(nSize))) : int(GlobalSize(hImage));
                const void* p = DSMLock(hImage);
                image.bytes = QByteArray(static_cast<const char*>(p), nBytes);
                DSMUnlock(hImage);
                images << image;
                if (takeOver.contains(images.size()))
                    bFree = false;
            });
        QObject::connect(&xfer, &CTwainXFer::si_ImageInFile, [this](int nId, QString sFileName, int nRot) {
            files << Announced{nId, sFileName, nRot};
        });
    }

    QVector<NativeImage> images;
    QVector<Announced> files;
};

int countLines(const QStringList& lines, const QString& sStart)
{
    int n = 0;
    for (const QString& line : lines)
        n += line.startsWith(sStart) ? 1 : 0;
    return n;
}

// A source that answers from a script: image information, memory setup and
// blocks, and the two settings the engine reads.
class ScriptedIO : public CTwainIODirect
{
public:
    struct Block
    {
        TW_UINT16 rc = TWRC_SUCCESS;
        TW_UINT16 compression = TWCP_NONE;
        TW_UINT32 bytesPerRow = 0;
        TW_UINT32 columns = 0;
        TW_UINT32 rows = 0;
        TW_UINT32 bytesWritten = 0;
        char fill = 0;
    };

    ScriptedIO()
    {
        m_State = 6;
        m_bFirstXfer = true;
        std::memset(&info, 0, sizeof(info));
        std::memset(&setup, 0, sizeof(setup));
    }

    TW_UINT16 TwainCmd(TW_UINT32, TW_UINT16 DAT, TW_UINT16 MSG, TW_MEMREF pData, pTW_IDENTITY) override
    {
        calls << QStringLiteral("%1 %2").arg(QLatin1String(DatName(DAT)), QLatin1String(MsgName(MSG)));
        switch (DAT) {
        case DAT_IMAGEINFO:
            std::memcpy(pData, &info, sizeof(info));
            return TWRC_SUCCESS;
        case DAT_SETUPMEMXFER:
            std::memcpy(pData, &setup, sizeof(setup));
            return TWRC_SUCCESS;
        case DAT_IMAGEMEMXFER:
        case DAT_IMAGEMEMFILEXFER: {
            auto* pXfer = static_cast<TW_IMAGEMEMXFER*>(pData);
            lengthsSeen << TW_UINT32(pXfer->Memory.Length);
            if (nextBlock >= blocks.size())
                return TWRC_FAILURE;
            const Block& b = blocks[nextBlock++];
            m_State = 7;
            pXfer->Compression = b.compression;
            pXfer->BytesPerRow = b.bytesPerRow;
            pXfer->Columns = b.columns;
            pXfer->Rows = b.rows;
            pXfer->BytesWritten = b.bytesWritten;
            if (pXfer->Memory.TheMem)
                std::memset(pXfer->Memory.TheMem, b.fill,
                            qMin<TW_UINT32>(b.bytesWritten, TW_UINT32(pXfer->Memory.Length)));
            return b.rc;
        }
        default:
            return TWRC_FAILURE;
        }
    }

    TW_UINT16 GetCapOneValUINT16(TW_UINT16 cap, TW_UINT16* pValue, TW_UINT16) override
    {
        if (cap == ICAP_XFERMECH && bMechReadable)
            *pValue = mech;
        else if (cap == ICAP_IMAGEFILEFORMAT)
            *pValue = fileFormat;
        else
            return 1;
        return 0;
    }

    TW_UINT16 GetCapOneValBOOL(TW_UINT16, bool*, TW_UINT16) override { return 1; }

    TW_IMAGEINFO info;
    TW_SETUPMEMXFER setup;
    TW_UINT16 mech = TWSX_MEMORY;
    bool bMechReadable = true;
    TW_UINT16 fileFormat = TWFF_BMP;
    QVector<Block> blocks;
    int nextBlock = 0;
    QVector<TW_UINT32> lengthsSeen;
    QStringList calls;
};

} // namespace

class TestTwainXfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void nativeBatchOfThree();
    void nativeNormalised_data();
    void nativeNormalised();
    void filePagesGetFilesOfTheirOwn_data();
    void filePagesGetFilesOfTheirOwn();
    void memoryPagesAsBmp_data();
    void memoryPagesAsBmp();
    void jpegMemoryPages();
    void memoryFilePagesMatchFileTransfers();
    void brokenBufferedTransferIsNotDelivered_data();
    void brokenBufferedTransferIsNotDelivered();
    void cancelledNativePageEndsTheBatch();
    void imageInfoFailing();
    void extendedImageInfoAfterEveryImage_data();
    void extendedImageInfoAfterEveryImage();
    void temporaryFileCannotBeOpened();

    void mechanismThreeSendsNoTransfer();
    void mechanismIsReadOncePerBatch();
    void unreadableMechanismStaysNative();
    void fileFormatStartsAsBmp();
    void groupFourStripsAreNotDelivered();
    void blockBufferSize_data();
    void blockBufferSize();
    void blockBeyondItsBufferIsCut();
    void rowsThatCannotHoldTheirPixels();
    void transferEndedBetweenBlocks();
    void nestedDoTransferIsRefused();
    void grey16MemoryPagesAsTiff_data();
    void grey16MemoryPagesAsTiff();
    void unreadablePaletteGivesGreyTable();
    void planarStripsAreRefused();
    void failedWriteIsNeverAnnounced_data();
    void failedWriteIsNeverAnnounced();

private:
    bool openSession(ScannerSession& session);
    QStringList tempFiles() const;

    XferLog m_log;
    QTemporaryDir* m_pTempDir = nullptr;
    QTemporaryDir m_workDir;
};

void TestTwainXfer::initTestCase()
{
    QVERIFY(m_workDir.isValid());
    g_previousHandler = qInstallMessageHandler(captureMessage);
}

void TestTwainXfer::init()
{
    m_log.clear();
    g_qtMessages.clear();
    // Temporary files of buffered images land in a folder of this test's own.
    m_pTempDir = new QTemporaryDir(m_workDir.filePath(QStringLiteral("tmp-XXXXXX")));
    QVERIFY(m_pTempDir->isValid());
    qputenv("TMPDIR", QFile::encodeName(m_pTempDir->path()));
}

void TestTwainXfer::cleanup()
{
    qputenv("TMPDIR", QFile::encodeName(m_workDir.path()));
    delete m_pTempDir;
    m_pTempDir = nullptr;
}

bool TestTwainXfer::openSession(ScannerSession& session)
{
    return session.open();
}

QStringList TestTwainXfer::tempFiles() const
{
    return QDir(m_pTempDir->path()).entryList(QDir::Files);
}

void TestTwainXfer::nativeBatchOfThree()
{
    ScannerSession session;
    QVERIFY(openSession(session));
    QVERIFY(session.setU16(ICAP_XFERMECH, TWSX_NATIVE));
    QVERIFY(session.setPixels(TWPT_RGB, 24));
    QVERIFY(session.setFrame(40, 30, 50));
    CTwainXFer xfer(&session.io());
    Receiver receiver(xfer, {2});
    DsmFreeRecorder freed;
    QVERIFY(session.startScan());
    m_log.clear();

    const ScannerSession::Batch batch = session.runBatch(xfer);
    QCOMPARE(batch.transferResults, QVector<int>({0, 0, 0}));
    QCOMPARE(batch.endResults, QVector<int>({0, 0, 0}));
    QCOMPARE(batch.statesAfterEnd, QVector<int>({6, 6, 5}));
    const QStringList lines = m_log.lines();
    QVERIFY(lines.contains(QStringLiteral("state=6, pending=2")));
    QVERIFY(lines.contains(QStringLiteral("state=6, pending=1")));
    QVERIFY(lines.contains(QStringLiteral("state=5, pending=0")));
    QCOMPARE(countLines(lines, QStringLiteral("DoEndTransfer")), 3);

    QCOMPARE(receiver.images.size(), 3);
    QVERIFY(receiver.files.isEmpty());
    for (int i = 0; i < 3; ++i) {
        const NativeImage& image = receiver.images[i];
        QCOMPARE(image.nSize, qint64(image.bytes.size()));
        QVERIFY(image.nLocks >= 1 || image.bDsm);
        const Dib dib = Dib::fromInfoHeader(image.bytes);
        QCOMPARE(dib.nHeight, -30); // sign inverted, rows still bottom-up
        QString sWhy;
        // The rows stay where the source put them: bottom-up, read as such.
        Dib asDelivered = dib;
        asDelivered.nHeight = 30;
        QVERIFY2(showsPage(asDelivered, TWPT_RGB, TW_UINT32(i + 1), 40, 30, sWhy), qPrintable(sWhy));
    }
    // Freed unless the receiver took the handle over; a block of the DSM's
    // memory reaches the receiver as such (no copy in global memory) and is
    // freed through the DSM.
    if (receiver.images[0].bDsm) {
        const QVector<NativeImage>& images = receiver.images;
        QVERIFY(
            DsmFreeRecorder::freedBetween(images[0].hImage, images[0].nFreedBefore, images[1].nFreedBefore));
        QVERIFY(!DsmFreeRecorder::freedBetween(images[1].hImage, images[1].nFreedBefore));
        QVERIFY(DsmFreeRecorder::freedBetween(images[2].hImage, images[2].nFreedBefore));
        for (const NativeImage& image : images)
            QCOMPARE(GlobalSize(image.hImage), SIZE_T(0));
        DSMFree(images[1].hImage);
        return;
    }
    QCOMPARE(GlobalSize(receiver.images[0].hImage), SIZE_T(0));
    QCOMPARE(GlobalSize(receiver.images[1].hImage), SIZE_T(receiver.images[1].nSize));
    QCOMPARE(GlobalSize(receiver.images[2].hImage), SIZE_T(0));
    QCOMPARE(int(GlobalFlags(receiver.images[1].hImage) & GMEM_LOCKCOUNT), 0);
    GlobalFree(receiver.images[1].hImage);
}

void TestTwainXfer::nativeNormalised_data()
{
    QTest::addColumn<int>("pixelType");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("greyTable");
    QTest::addColumn<int>("memory");
    QTest::addColumn<bool>("successNotDone");

    QTest::newRow("16-bit grey, moveable") << int(TWPT_GRAY) << 16 << 0 << int(SIM_DIBMEM_MOVEABLE) << false;
    QTest::newRow("16-bit grey, fixed") << int(TWPT_GRAY) << 16 << 0 << int(SIM_DIBMEM_FIXED) << false;
    QTest::newRow("8-bit grey without table, moveable")
        << int(TWPT_GRAY) << 8 << int(SIM_GREYTABLE_NONE) << int(SIM_DIBMEM_MOVEABLE) << false;
    QTest::newRow("8-bit grey without table, fixed")
        << int(TWPT_GRAY) << 8 << int(SIM_GREYTABLE_NONE) << int(SIM_DIBMEM_FIXED) << false;
    QTest::newRow("8-bit grey, table implied")
        << int(TWPT_GRAY) << 8 << int(SIM_GREYTABLE_IMPLIED) << int(SIM_DIBMEM_MOVEABLE) << false;
    QTest::newRow("1-bit, success instead of done")
        << int(TWPT_BW) << 1 << 0 << int(SIM_DIBMEM_MOVEABLE) << true;
    QTest::newRow("palette") << int(TWPT_PALETTE) << 8 << 0 << int(SIM_DIBMEM_MOVEABLE) << false;
}

void TestTwainXfer::nativeNormalised()
{
    QFETCH(int, pixelType);
    QFETCH(int, bits);
    QFETCH(int, greyTable);
    QFETCH(int, memory);
    QFETCH(bool, successNotDone);

    ScannerSession session;
    QVERIFY(openSession(session));
    QVERIFY(session.setU16(ICAP_XFERMECH, TWSX_NATIVE));
    QVERIFY(session.setPixels(TW_UINT16(pixelType), TW_UINT16(bits)));
    QVERIFY(session.setFrame(45, 20, 50));
    QVERIFY(session.setU32(SIMCAP_FEEDERPAGES, 1));
    QVERIFY(session.setU16(SIMCAP_DIBGREYTABLE, TW_UINT16(greyTable)));
    QVERIFY(session.setU16(SIMCAP_DIBMEMORY, TW_UINT16(memory)));
    QVERIFY(session.setBool(SIMCAP_SUCCESSNOTDONE, successNotDone));
    CTwainXFer xfer(&session.io());
    Receiver receiver(xfer);
    QVERIFY(session.startScan());

    const ScannerSession::Batch batch = session.runBatch(xfer);
    QCOMPARE(batch.transferResults, QVector<int>({0}));
    QCOMPARE(batch.statesAfterEnd, QVector<int>({5}));
    QCOMPARE(receiver.images.size(), 1);
    const Dib dib = Dib::fromInfoHeader(receiver.images[0].bytes);
    QCOMPARE(dib.nBits, bits == 16 ? 8 : bits);
    QCOMPARE(dib.nHeight, -20);
    if (pixelType == TWPT_GRAY) {
        QCOMPARE(dib.nClrUsed, 256u);
        QCOMPARE(receiver.images[0].bytes.mid(40, 1024), greyTable256());
    }
    Dib asDelivered = dib;
    asDelivered.nHeight = 20;
    QString sWhy;
    QVERIFY2(showsPage(asDelivered, TW_UINT16(pixelType), 1, 45, 20, sWhy), qPrintable(sWhy));
}

void TestTwainXfer::filePagesGetFilesOfTheirOwn_data()
{
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("one name for the batch")
        << QStringList()
        << QStringList{QStringLiteral("scan.bmp"), QStringLiteral("scan-2.bmp"),
                       QStringLiteral("scan-3.bmp")};
    QTest::newRow("a -2 file exists already")
        << QStringList{QStringLiteral("scan-2.bmp")}
        << QStringList{QStringLiteral("scan.bmp"), QStringLiteral("scan-3.bmp"),
                       QStringLiteral("scan-4.bmp")};
    // An earlier batch's page is never overwritten, the first page's name included.
    QTest::newRow("the batch's own name exists already")
        << QStringList{QStringLiteral("scan.bmp")}
        << QStringList{QStringLiteral("scan-2.bmp"), QStringLiteral("scan-3.bmp"),
                       QStringLiteral("scan-4.bmp")};
}

void TestTwainXfer::filePagesGetFilesOfTheirOwn()
{
    QFETCH(QStringList, existing);
    QFETCH(QStringList, expected);

    QTemporaryDir dir;
    for (const QString& sName : existing) {
        QFile file(dir.filePath(sName));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not a page");
    }
    ScannerSession session;
    QVERIFY(openSession(session));
    QVERIFY(session.setU16(ICAP_XFERMECH, TWSX_FILE));
    QVERIFY(session.setPixels(TWPT_RGB, 24));
    QVERIFY(session.setFrame(30, 20, 50));
    QVERIFY(session.setFileName(dir.filePath(QStringLiteral("scan.bmp"))));
    CTwainXFer xfer(&session.io());
    Receiver receiver(xfer);
    QVERIFY(session.startScan());

    const ScannerSession::Batch batch = session.runBatch(xfer);
    QCOMPARE(batch.transferResults, QVector<int>({0, 0, 0}));
    QCOMPARE(batch.statesAfterEnd, QVector<int>({6, 6, 5}));
    QCOMPARE(receiver.files.size(), 3);
    for (int i = 0; i < 3; ++i) {
        const Announced& a = receiver.files[i];
        QCOMPARE(a.nId, 0);
        QCOMPARE(a.nRot, 0);
        QCOMPARE(a.sFileName, dir.filePath(expected[i]));
        const BmpFile bmp = BmpFile::read(a.sFileName);
        QString sWhy;
        QVERIFY2(showsPage(bmp.dib, TWPT_RGB, TW_UINT32(i + 1), 30, 20, sWhy), qPrintable(sWhy));
    }
    for (const QString& sName : existing) {
        QFile file(dir.filePath(sName));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("not a page"));
    }
    int nRenames = 0;
    for (const QString& line : m_log.lines())
        nRenames += line.contains(QStringLiteral(" holds an earlier page: this page goes to ")) ? 1 : 0;
    QCOMPARE(nRenames, existing.contains(QStringLiteral("scan.bmp")) ? 3 : 2);

    // The source has the application's own name back once the batch is over.
    TW_SETUPFILEXFER setup;
    std::memset(&setup, 0, sizeof(setup));
    QCOMPARE(int(session.cmd(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, &setup)), int(TWRC_SUCCESS));
    QCOMPARE(QString::fromUtf8(setup.FileName), dir.filePath(QStringLiteral("scan.bmp")));
}

void TestTwainXfer::memoryPagesAsBmp_data()
{
    QTest::addColumn<int>("pixelType");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("dpi");
    QTest::addColumn<bool>("undefinedSize");
    QTest::addColumn<bool>("vanilla");
    QTest::addColumn<bool>("successNotDone");
    QTest::addColumn<int>("preferred");
    QTest::addColumn<int>("clrUsed");
    QTest::addColumn<int>("pelsPerMeter");
    QTest::addColumn<int>("rowAlign");

    QTest::newRow("8-bit grey 100 x 50 at 300 dpi")
        << int(TWPT_GRAY) << 8 << 100 << 50 << 300 << false << false << false << 65536 << 256 << 11811 << 1;
    QTest::newRow("8-bit grey, rows of 99 pixels")
        << int(TWPT_GRAY) << 8 << 99 << 50 << 300 << false << false << false << 65536 << 256 << 11811 << 1;
    QTest::newRow("8-bit grey in blocks of 1000 bytes")
        << int(TWPT_GRAY) << 8 << 99 << 50 << 150 << false << false << false << 1000 << 256 << 5906 << 1;
    QTest::newRow("8-bit grey, undefined size")
        << int(TWPT_GRAY) << 8 << 64 << 40 << 72 << true << false << false << 65536 << 256 << 2835 << 1;
    QTest::newRow("1-bit") << int(TWPT_BW) << 1 << 100 << 30 << 300 << false << false << false << 65536 << 2
                           << 11811 << 1;
    QTest::newRow("1-bit, undefined size, vanilla")
        << int(TWPT_BW) << 1 << 100 << 30 << 300 << true << true << false << 65536 << 2 << 11811 << 1;
    // Vanilla with a known size: the table falls from white as well.
    QTest::newRow("1-bit, vanilla") << int(TWPT_BW) << 1 << 100 << 30 << 300 << false << true << false
                                    << 65536 << 2 << 11811 << 1;
    QTest::newRow("8-bit grey, vanilla")
        << int(TWPT_GRAY) << 8 << 99 << 50 << 300 << false << true << false << 1000 << 256 << 11811 << 1;
    QTest::newRow("RGB") << int(TWPT_RGB) << 24 << 41 << 30 << 300 << false << false << false << 65536 << 0
                         << 11811 << 1;
    QTest::newRow("palette") << int(TWPT_PALETTE) << 8 << 50 << 20 << 300 << false << false << false << 65536
                             << 256 << 11811 << 1;
    QTest::newRow("8-bit grey, success instead of done")
        << int(TWPT_GRAY) << 8 << 100 << 50 << 300 << false << false << true << 2000 << 256 << 11811 << 1;
    // Rows the source pads past the DIB's own stride, or not to it: the file
    // has the DIB's stride whatever BytesPerRow says.
    QTest::newRow("8-bit grey, rows padded to 8")
        << int(TWPT_GRAY) << 8 << 50 << 20 << 300 << false << false << false << 1000 << 256 << 11811 << 8;
    QTest::newRow("8-bit grey, undefined size, rows padded to 16")
        << int(TWPT_GRAY) << 8 << 50 << 20 << 300 << true << false << false << 1000 << 256 << 11811 << 16;
    QTest::newRow("8-bit grey, rows padded to 2")
        << int(TWPT_GRAY) << 8 << 99 << 20 << 300 << false << false << false << 1000 << 256 << 11811 << 2;
    QTest::newRow("1-bit, rows padded to 16")
        << int(TWPT_BW) << 1 << 90 << 30 << 300 << false << false << false << 65536 << 2 << 11811 << 16;
    QTest::newRow("1-bit, vanilla, rows padded to 8")
        << int(TWPT_BW) << 1 << 100 << 30 << 300 << false << true << false << 65536 << 2 << 11811 << 8;
    QTest::newRow("RGB, rows padded to 16")
        << int(TWPT_RGB) << 24 << 41 << 30 << 300 << false << false << false << 1000 << 0 << 11811 << 16;
    QTest::newRow("palette, rows padded to 8")
        << int(TWPT_PALETTE) << 8 << 50 << 20 << 300 << false << false << false << 65536 << 256 << 11811 << 8;
}

void TestTwainXfer::memoryPagesAsBmp()
{
    QFETCH(int, pixelType);
    QFETCH(int, bits);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, dpi);
    QFETCH(bool, undefinedSize);
    QFETCH(bool, vanilla);
    QFETCH(bool, successNotDone);
    QFETCH(int, preferred);
    QFETCH(int, clrUsed);
    QFETCH(int, pelsPerMeter);
    QFETCH(int, rowAlign);

    ScannerSession session;
    QVERIFY(openSession(session));
    QVERIFY(session.setU16(ICAP_XFERMECH, TWSX_MEMORY));
    QVERIFY(session.setPixels(TW_UINT16(pixelType), TW_UINT16(bits)));
    QVERIFY(session.setFrame(width, height, dpi));
    QVERIFY(session.setU32(SIMCAP_FEEDERPAGES, 1));
    QVERIFY(session.setBool(ICAP_UNDEFINEDIMAGESIZE, undefinedSize));
    QVERIFY(session.setU16(ICAP_PIXELFLAVOR, vanilla ? TWPF_VANILLA : TWPF_CHOCOLATE));
    QVERIFY(session.setBool(SIMCAP_SUCCESSNOTDONE, successNotDone));
    QVERIFY(session.setU32(SIMCAP_MEMPREFERRED, TW_UINT32(preferred)));
    QVERIFY(session.setU16(SIMCAP_MEMROWALIGN, TW_UINT16(rowAlign)));
    CTwainXFer xfer(&session.io());
    Receiver receiver(xfer);
    QVERIFY(session.startScan());

    const ScannerSession::Batch batch = session.runBatch(xfer);
    QCOMPARE(batch.transferResults, QVector<int>({0}));
    QCOMPARE(batch.statesAfterEnd, QVector<int>({5}));
    QVERIFY(receiver.images.isEmpty());
    QCOMPARE(receiver.files.size(), 1);
    QVERIFY(!g_qtMessages.contains(kNotSupported));
    const Announced& a = receiver.files[0];
    // A DIB without file header, as a native image is delivered.
    QCOMPARE(a.nId, int(kImageIdDib));
    QCOMPARE(a.nRot, 0);
    QCOMPARE(QFileInfo(a.sFileName).absolutePath(), QFileInfo(m_pTempDir->path()).absoluteFilePath());
    QCOMPARE(tempFiles().size(), 1);

    QFile file(a.sFileName);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    Dib dib = Dib::fromInfoHeader(bytes);
    const int nStride = ((bits * width + 31) / 32) * 4;
    QCOMPARE(bytes.size(), 40 + 4 * clrUsed + nStride * height);
    QCOMPARE(int(le32(bytes, 0)), 40);
    QCOMPARE(dib.nWidth, width);
    // Top-down rows, the height's sign inverted as for native images.
    QCOMPARE(dib.nHeight, height);
    QCOMPARE(dib.nBits, bits);
    QCOMPARE(int(dib.nSizeImage), nStride * height);
    QCOMPARE(int(dib.nClrUsed), clrUsed);
    QCOMPARE(int(le32(bytes, 24)), pelsPerMeter);
    QCOMPARE(int(le32(bytes, 28)), pelsPerMeter);
    QCOMPARE(int(le32(bytes, 36)), clrUsed);
    dib.nHeight = -dib.nHeight;
    QString sWhy;
    QVERIFY2(showsPage(dib, TW_UINT16(pixelType), 1, width, height, sWhy), qPrintable(sWhy));
    file.close();
    QFile::remove(a.sFileName);
}

void TestTwainXfer::jpegMemoryPages()
{
    ScannerSession session;
    QVERIFY(openSession(session));
    QVERIFY(session.setU16(ICAP_XFERMECH, TWSX_MEMORY));
    QVERIFY(session.setPixels(TWPT_GRAY, 8));
    QVERIFY(session.setU16(ICAP_COMPRESSION, TWCP_JPEG));
    QVERIFY(session.setFrame(200, 120, 100));
    QVERIFY(session.setU32(SIMCAP_FEEDERPAGES, 2));
    QVERIFY(session.setU32(SIMCAP_MEMPREFERRED, 512));
    CTwainXFer xfer(&session.io());
    Receiver receiver(xfer);
    QVERIFY(session.startScan());

    const ScannerSession::Batch batch = session.runBatch(xfer);
    QCOMPARE(batch.transferResults, QVector<int>({0, 0}));
    QCOMPARE(receiver.files.size(), 2);
    QVERIFY(receiver.files[0].sFileName != receiver.files[1].sFileName);
    for (const Announced& a : receiver.files) {
        QCOMPARE(a.nId, int(kImageIdBridgeFile));
        QFile file(a.sFileName);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray data = file.readAll();
        QVERIFY(data.size() > 512); // several blocks
        QVERIFY(data.startsWith("\xFF\xD8"));
        QVERIFY(data.endsWith("\xFF\xD9"));
    }
    QVERIFY(!g_qtMessages.contains(kNotSupported));
}

void TestTwainXfer::memoryFilePagesMatchFileTransfers()
{
    QTemporaryDir dir;
    QByteArray fromFileTransfer;
    {
        ScannerSession session;
        QVERIFY(openSession(session));
        QVERIFY(session.setU16(ICAP_XFERMECH, TWSX_FILE));
        QVERIFY(session.setPixels(TWPT_GRAY, 8));
        QVERIFY(session.setFrame(61, 33, 75));
        QVERIFY(session.setU32(SIMCAP_FEEDERPAGES, 1));
        QVERIFY(session.setFileName(dir.filePath(QStringLiteral("page.bmp"))));
        CTwainXFer xfer(&session.io());
        Receiver receiver(xfer);
        QVERIFY(session.startScan());
        QCOMPARE(session.runBatch(xfer).transferResults, QVector<int>({0}));
        QFile file(dir.filePath(QStringLiteral("page.bmp")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        fromFileTransfer = file.readAll();
    }
    QVERIFY(fromFileTransfer.startsWith("BM"));

    ScannerSession session;
    QVERIFY(openSession(session));
    QVERIFY(session.setU16(ICAP_XFERMECH, TWSX_MEMFILE));
    QVERIFY(session.setPixels(TWPT_GRAY, 8));
    QVERIFY(session.setFrame(61, 33, 75));
    QVERIFY(session.setU32(SIMCAP_FEEDERPAGES, 2));
    QVERIFY(session.setU32(SIMCAP_MEMPREFERRED, 700));
    CTwainXFer xfer(&session.io());
    Receiver receiver(xfer);
    QVERIFY(session.startScan());
    m_log.clear();
    const ScannerSession::Batch batch = session.runBatch(xfer);
    QCOMPARE(batch.transferResults, QVector<int>({0, 0}));
    QCOMPARE(receiver.files.size(), 2);
    QCOMPARE(receiver.files[0].nId, int(kImageIdBridgeFile));
    // The memory-file triplet, as the standard names it.
    QVERIFY(countLines(m_log.lines(), QStringLiteral("DG_IMAGE, DAT_IMAGEMEMFILEXFER, MSG_GET")) > 2);
    QCOMPARE(countLines(m_log.lines(), QStringLiteral("DG_IMAGE, DAT_IMAGEMEMXFER")), 0);
    QFile file(receiver.files[0].sFileName);
    QVERIFY(file.open(QIODevice::ReadOnly));
    // The blocks are the whole file: no header of the bridge's own in front.
    QCOMPARE(file.readAll(), fromFileTransfer);
    const BmpFile second = BmpFile::read(receiver.files[1].sFileName);
    QString sWhy;
    QVERIFY2(showsPage(second.dib, TWPT_GRAY, 2, 61, 33, sWhy), qPrintable(sWhy));
}

void TestTwainXfer::brokenBufferedTransferIsNotDelivered_data()
{
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("cancelPage");
    QTest::addColumn<int>("failSkip");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("why");
    QTest::newRow("cancelled") << 8 << 1 << -1 << int(TWRC_CANCEL)
                               << QStringLiteral("ended with TWRC_CANCEL");
    QTest::newRow("failing part-way")
        << 8 << 0 << 1 << int(TWRC_FAILURE) << QStringLiteral("ended with TWRC_FAILURE");
}

void TestTwainXfer::brokenBufferedTransferIsNotDelivered()
{
    QFETCH(int, bits);
    QFETCH(int, cancelPage);
    QFETCH(int, failSkip);
    QFETCH(int, result);
    QFETCH(QString, why);

    ScannerSession session;
    QVERIFY(openSession(session));
    QVERIFY(session.setU16(ICAP_XFERMECH, TWSX_MEMORY));
    QVERIFY(session.setPixels(TWPT_GRAY, TW_UINT16(bits)));
    QVERIFY(session.setFrame(100, 50, 300));
    QVERIFY(session.setU32(SIMCAP_FEEDERPAGES, 1));
    QVERIFY(session.setU32(SIMCAP_MEMPREFERRED, 1000));
    QVERIFY(session.setU32(SIMCAP_CANCELPAGE, TW_UINT32(cancelPage)));
    if (failSkip >= 0) {
        QVERIFY(session.setU32(SIMCAP_FAILSKIP, TW_UINT32(failSkip)));
        QVERIFY(session.setU32(SIMCAP_FAILTRIPLET, simTriplet(DAT_IMAGEMEMXFER, MSG_GET)));
    }
    CTwainXFer xfer(&session.io());
    Receiver receiver(xfer);
    QVERIFY(session.startScan());
    m_log.clear();

    QCOMPARE(int(xfer.DoTransfer()), result);
    QCOMPARE(int(session.io().m_State), 7);
    QVERIFY(receiver.files.isEmpty());
    QVERIFY(tempFiles().isEmpty());
    QVERIFY(g_qtMessages.contains(kNotSupported));
    QVERIFY2(m_log.contains(QStringLiteral("page 1 not delivered: ")) && m_log.contains(why),
             qPrintable(m_log.lines().join(QLatin1Char('\n'))));
}

void TestTwainXfer::cancelledNativePageEndsTheBatch()
{
    ScannerSession session;
    QVERIFY(openSession(session));
    QVERIFY(session.setU16(ICAP_XFERMECH, TWSX_NATIVE));
    QVERIFY(session.setPixels(TWPT_GRAY, 8));
    QVERIFY(session.setFrame(20, 10, 50));
    QVERIFY(session.setU32(SIMCAP_CANCELPAGE, 2));
    CTwainXFer xfer(&session.io());
    Receiver receiver(xfer);
    QVERIFY(session.startScan());

    const ScannerSession::Batch batch = session.runBatch(xfer);
    QCOMPARE(batch.transferResults, QVector<int>({0, int(TWRC_CANCEL)}));
    QCOMPARE(batch.endResults, QVector<int>({0}));
    QCOMPARE(int(session.io().m_State), 7);
    QCOMPARE(receiver.images.size(), 1);
}

void TestTwainXfer::imageInfoFailing()
{
    ScannerSession session;
    QVERIFY(openSession(session));
    QVERIFY(session.setU16(ICAP_XFERMECH, TWSX_NATIVE));
    QVERIFY(session.setFrame(20, 10, 50));
    QVERIFY(session.setU32(SIMCAP_FAILRETURN, TWRC_CHECKSTATUS));
    QVERIFY(session.setU32(SIMCAP_FAILTRIPLET, simTriplet(DAT_IMAGEINFO, MSG_GET)));
    CTwainXFer xfer(&session.io());
    Receiver receiver(xfer);
    QVERIFY(session.startScan());
    m_log.clear();

    QCOMPARE(int(xfer.DoTransfer()), int(TWRC_FAILURE));
    QCOMPARE(int(session.io().m_State), 6);
    QVERIFY(receiver.images.isEmpty());
    QCOMPARE(countLines(m_log.lines(), QStringLiteral("DG_IMAGE, DAT_IMAGENATIVEXFER")), 0);
    QCOMPARE(countLines(m_log.lines(), QStringLiteral("DG_IMAGE, DAT_IMAGEINFO, MSG_GET")), 1);
}

void TestTwainXfer::extendedImageInfoAfterEveryImage_data()
{
    QTest::addColumn<int>("mechanism");
    QTest::newRow("native") << int(TWSX_NATIVE);
    QTest::newRow("memory") << int(TWSX_MEMORY);
}

void TestTwainXfer::extendedImageInfoAfterEveryImage()
{
    QFETCH(int, mechanism);
    ScannerSession session;
    QVERIFY(openSession(session));
    QVERIFY(session.setU16(ICAP_XFERMECH, TW_UINT16(mechanism)));
    QVERIFY(session.setFrame(20, 10, 50));
    QVERIFY(session.setU32(SIMCAP_FEEDERPAGES, 2));
    QVERIFY(session.setBool(ICAP_EXTIMAGEINFO, true));
    CTwainXFer xfer(&session.io());
    Receiver receiver(xfer);
    QVERIFY(session.startScan());
    m_log.clear();

    QCOMPARE(session.runBatch(xfer).transferResults, QVector<int>({0, 0}));
    const QStringList lines = m_log.lines();
    QCOMPARE(countLines(lines, QStringLiteral("DG_IMAGE, DAT_EXTIMAGEINFO, MSG_GET")), 2);
    // Each request comes after its image's transfer and before its MSG_ENDXFER.
    int nTransfers = 0;
    for (const QString& line : lines) {
        if (line.startsWith(QStringLiteral("DG_IMAGE, DAT_IMAGENATIVEXFER")) ||
            (line.startsWith(QStringLiteral("DG_CONTROL, DAT_SETUPMEMXFER"))))
            ++nTransfers;
        if (line.startsWith(QStringLiteral("DG_IMAGE, DAT_EXTIMAGEINFO")))
            QVERIFY(nTransfers > 0);
    }
    QCOMPARE(receiver.images.size() + receiver.files.size(), 2);
}

void TestTwainXfer::temporaryFileCannotBeOpened()
{
    ScannerSession session;
    QVERIFY(openSession(session));
    QVERIFY(session.setU16(ICAP_XFERMECH, TWSX_MEMORY));
    QVERIFY(session.setFrame(100, 50, 300));
    QVERIFY(session.setU32(SIMCAP_FEEDERPAGES, 1));
    QVERIFY(session.setU32(SIMCAP_MEMPREFERRED, 1000));
    CTwainXFer xfer(&session.io());
    Receiver receiver(xfer);
    QVERIFY(session.startScan());
    // The default template's file name is the application's name: one too
    // long for the file system makes every temporary file fail to open.
    const QString sAppName = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName(QString(300, QLatin1Char('n')));
    m_log.clear();

    const ScannerSession::Batch batch = session.runBatch(xfer);
    QCoreApplication::setApplicationName(sAppName);
    QCOMPARE(batch.transferResults, QVector<int>({0}));
    QCOMPARE(batch.statesAfterEnd, QVector<int>({5}));
    QVERIFY2(receiver.files.isEmpty(), qPrintable(receiver.files.value(0).sFileName));
    QVERIFY(!g_qtMessages.contains(kNotSupported));
    QVERIFY(m_log.contains(QStringLiteral("cannot open a temporary file")));
    QVERIFY(m_log.contains(QStringLiteral("no temporary file could be opened")));
    // Every block was still fetched.
    QVERIFY(countLines(m_log.lines(), QStringLiteral("DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET")) >= 5);
}

// ---------------------------------------------------------------------------
// Against a scripted source

void TestTwainXfer::mechanismThreeSendsNoTransfer()
{
    ScriptedIO io;
    io.mech = TWSX_FILE2;
    io.info.ImageWidth = 10;
    io.info.ImageLength = 10;
    CTwainXFer xfer(&io);
    Receiver receiver(xfer);
    QCOMPARE(int(xfer.DoTransfer()), int(TWRC_FAILURE));
    QCOMPARE(io.calls, QStringList{QStringLiteral("DAT_IMAGEINFO MSG_GET")});
    QCOMPARE(int(io.m_State), 6);
    QVERIFY(receiver.files.isEmpty());
}

void TestTwainXfer::mechanismIsReadOncePerBatch()
{
    ScriptedIO io;
    io.mech = TWSX_MEMFILE;
    io.setup.Preferred = 64;
    ScriptedIO::Block block;
    block.bytesWritten = 10;
    block.rc = TWRC_XFERDONE;
    io.blocks << block << block;
    CTwainXFer xfer(&io);
    Receiver receiver(xfer);
    QCOMPARE(int(xfer.DoTransfer()), 0);

    // A change within the batch waits for the next batch.
    io.mech = TWSX_FILE2;
    io.m_State = 6;
    io.m_bFirstXfer = false;
    QCOMPARE(int(xfer.DoTransfer()), 0);
    QCOMPARE(receiver.files.size(), 2);
    io.m_State = 6;
    io.m_bFirstXfer = true;
    QCOMPARE(int(xfer.DoTransfer()), int(TWRC_FAILURE));
    QCOMPARE(io.nextBlock, 2);
}

void TestTwainXfer::unreadableMechanismStaysNative()
{
    ScriptedIO io;
    io.bMechReadable = false;
    CTwainXFer xfer(&io);
    QCOMPARE(int(xfer.DoTransfer()), int(TWRC_FAILURE));
    QCOMPARE(io.calls, QStringList({QStringLiteral("DAT_IMAGEINFO MSG_GET"),
                                    QStringLiteral("DAT_IMAGENATIVEXFER MSG_GET")}));
}

void TestTwainXfer::fileFormatStartsAsBmp()
{
    // Strips of a compression without a file format of their own go into the
    // format the engine starts with: a BMP, which stays without its pixels.
    ScriptedIO io;
    io.info.ImageWidth = 8;
    io.info.ImageLength = 8;
    io.info.BitsPerPixel = 8;
    io.info.PixelType = TWPT_GRAY;
    io.info.Compression = TWCP_PACKBITS;
    io.setup.Preferred = 64;
    ScriptedIO::Block block;
    block.compression = TWCP_PACKBITS;
    block.bytesWritten = 20;
    block.rc = TWRC_XFERDONE;
    io.blocks << block;
    CTwainXFer xfer(&io);
    Receiver receiver(xfer);
    QCOMPARE(int(xfer.DoTransfer()), 0);
    QVERIFY(receiver.files.isEmpty());
    QVERIFY2(m_log.contains(QStringLiteral("not delivered: the source delivered no image data")),
             qPrintable(m_log.lines().join(QLatin1Char('\n'))));
}

void TestTwainXfer::groupFourStripsAreNotDelivered()
{
    ScriptedIO io;
    io.info.ImageWidth = 64;
    io.info.ImageLength = 16;
    io.info.BitsPerPixel = 1;
    io.info.PixelType = TWPT_BW;
    io.info.Compression = TWCP_GROUP4;
    io.setup.Preferred = 256;
    ScriptedIO::Block block;
    block.compression = TWCP_GROUP4;
    block.bytesWritten = 100;
    block.rc = TWRC_SUCCESS;
    io.blocks << block;
    block.rc = TWRC_XFERDONE;
    io.blocks << block;
    CTwainXFer xfer(&io);
    Receiver receiver(xfer);

    QCOMPARE(int(xfer.DoTransfer()), 0);
    QVERIFY(receiver.files.isEmpty());
    QVERIFY(tempFiles().isEmpty());
    QVERIFY(g_qtMessages.contains(kNotSupported));
    QVERIFY(m_log.contains(QStringLiteral("Group 4")));
}

void TestTwainXfer::blockBufferSize_data()
{
    QTest::addColumn<uint>("minSize");
    QTest::addColumn<uint>("maxSize");
    QTest::addColumn<uint>("preferred");
    QTest::addColumn<uint>("used");
    const uint dontCare = TWON_DONTCARE32;
    QTest::newRow("no preference, no limits") << 0u << 0u << dontCare << 65536u;
    QTest::newRow("no preference, limits not stated") << dontCare << dontCare << dontCare << 65536u;
    QTest::newRow("no preference, larger minimum") << 100000u << dontCare << dontCare << 100000u;
    QTest::newRow("no preference, smaller maximum") << 0u << 1000u << dontCare << 1000u;
    QTest::newRow("no preference, within limits") << 100u << 200000u << dontCare << 65536u;
    QTest::newRow("preferred below the minimum") << 100u << 200000u << 10u << 10u;
    QTest::newRow("preferred too large") << 0u << 0u << 0xF0000000u << 256u * 1024 * 1024;
}

void TestTwainXfer::blockBufferSize()
{
    QFETCH(uint, minSize);
    QFETCH(uint, maxSize);
    QFETCH(uint, preferred);
    QFETCH(uint, used);
    ScriptedIO io;
    io.mech = TWSX_MEMFILE;
    io.setup.MinBufSize = minSize;
    io.setup.MaxBufSize = maxSize;
    io.setup.Preferred = preferred;
    ScriptedIO::Block block;
    block.rc = TWRC_XFERDONE;
    block.bytesWritten = 5;
    io.blocks << block;
    CTwainXFer xfer(&io);
    Receiver receiver(xfer);
    QCOMPARE(int(xfer.DoTransfer()), 0);
    QCOMPARE(io.lengthsSeen, QVector<TW_UINT32>({TW_UINT32(used)}));
    QCOMPARE(receiver.files.size(), 1);
}

void TestTwainXfer::blockBeyondItsBufferIsCut()
{
    ScriptedIO io;
    io.mech = TWSX_MEMFILE;
    io.setup.Preferred = 64;
    ScriptedIO::Block block;
    block.bytesWritten = 1000;
    block.fill = 'a';
    block.rc = TWRC_SUCCESS;
    io.blocks << block;
    block.fill = 'b';
    block.rc = TWRC_XFERDONE;
    io.blocks << block;
    CTwainXFer xfer(&io);
    Receiver receiver(xfer);
    QCOMPARE(int(xfer.DoTransfer()), 0);
    QCOMPARE(receiver.files.size(), 1);
    QFile file(receiver.files[0].sFileName);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray(64, 'a') + QByteArray(64, 'b'));
    QCOMPARE(countLines(m_log.lines(), QStringLiteral("block of 1000 bytes cut to its buffer of 64 bytes")),
             2);
}

void TestTwainXfer::rowsThatCannotHoldTheirPixels()
{
    ScriptedIO io;
    io.info.ImageWidth = 1000;
    io.info.ImageLength = 4;
    io.info.BitsPerPixel = 8;
    io.info.PixelType = TWPT_GRAY;
    io.setup.Preferred = 4096;
    ScriptedIO::Block block;
    block.bytesPerRow = 3;
    block.columns = 1000;
    block.rows = 0xFFFFFFFFu;
    block.bytesWritten = 4096;
    block.rc = TWRC_XFERDONE;
    io.blocks << block;
    CTwainXFer xfer(&io);
    Receiver receiver(xfer);
    QCOMPARE(int(xfer.DoTransfer()), 0);
    QVERIFY(receiver.files.isEmpty());
    QVERIFY(m_log.contains(QStringLiteral("rows of 3 bytes cannot hold 1000 pixels")));
}

void TestTwainXfer::transferEndedBetweenBlocks()
{
    ScriptedIO io;
    io.mech = TWSX_MEMFILE;
    io.setup.Preferred = 64;
    ScriptedIO::Block block;
    block.bytesWritten = 10;
    io.blocks << block << block << block;
    CTwainXFer xfer(&io);
    Receiver receiver(xfer);
    // Runs between the first two blocks, as a command from the main application would.
    QMetaObject::invokeMethod(
        &xfer, [&io] { io.m_State = 5; }, Qt::QueuedConnection);
    QCOMPARE(int(xfer.DoTransfer()), int(TWRC_FAILURE));
    QCOMPARE(io.nextBlock, 1);
    QVERIFY(m_log.contains(QStringLiteral("ended from outside between two blocks")));
    QVERIFY(receiver.files.isEmpty());
}

void TestTwainXfer::nestedDoTransferIsRefused()
{
    ScriptedIO io;
    io.mech = TWSX_MEMFILE;
    io.setup.Preferred = 64;
    ScriptedIO::Block block;
    block.bytesWritten = 10;
    io.blocks << block;
    block.rc = TWRC_XFERDONE;
    io.blocks << block;
    CTwainXFer xfer(&io);
    Receiver receiver(xfer);
    TW_UINT16 nNested = 0xFFFF;
    QMetaObject::invokeMethod(
        &xfer, [&] { nNested = xfer.DoTransfer(); }, Qt::QueuedConnection);
    QCOMPARE(int(xfer.DoTransfer()), 0);
    QCOMPARE(int(nNested), int(TWRC_FAILURE));
    QVERIFY(m_log.contains(QStringLiteral("DoTransfer called while a transfer runs, refused")));
    QCOMPARE(receiver.files.size(), 1);
}

void TestTwainXfer::grey16MemoryPagesAsTiff_data()
{
    QTest::addColumn<bool>("vanilla");
    QTest::addColumn<int>("rowAlign");
    QTest::newRow("chocolate") << false << 1;
    QTest::newRow("vanilla, rows padded to 8") << true << 8;
}

// 16-bit strips keep every bit: a TIFF (id -2), never a 16-bit BMP.
void TestTwainXfer::grey16MemoryPagesAsTiff()
{
    QFETCH(bool, vanilla);
    QFETCH(int, rowAlign);
    const int nWidth = 37, nHeight = 21;
    ScannerSession session;
    QVERIFY(openSession(session));
    QVERIFY(session.setU16(ICAP_XFERMECH, TWSX_MEMORY));
    QVERIFY(session.setPixels(TWPT_GRAY, 16));
    QVERIFY(session.setFrame(nWidth, nHeight, 100));
    QVERIFY(session.setU32(SIMCAP_FEEDERPAGES, 1));
    QVERIFY(session.setU32(SIMCAP_MEMPREFERRED, 300));
    QVERIFY(session.setU16(SIMCAP_MEMROWALIGN, TW_UINT16(rowAlign)));
    QVERIFY(session.setU16(ICAP_PIXELFLAVOR, vanilla ? TWPF_VANILLA : TWPF_CHOCOLATE));
    CTwainXFer xfer(&session.io());
    Receiver receiver(xfer);
    QVERIFY(session.startScan());
    const ScannerSession::Batch batch = session.runBatch(xfer);
    QCOMPARE(batch.transferResults, QVector<int>({0}));
    QCOMPARE(receiver.files.size(), 1);
    QCOMPARE(receiver.files[0].nId, int(kImageIdBridgeFile));

    TIFF* pTiff = TIFFOpen(QFile::encodeName(receiver.files[0].sFileName).constData(), "r");
    QVERIFY(pTiff);
    uint32_t w = 0, h = 0;
    uint16_t bps = 0, spp = 0, photometric = 0;
    TIFFGetField(pTiff, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(pTiff, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetField(pTiff, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(pTiff, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetField(pTiff, TIFFTAG_PHOTOMETRIC, &photometric);
    QCOMPARE(int(w), nWidth);
    QCOMPARE(int(h), nHeight);
    QCOMPARE(int(bps), 16);
    QCOMPARE(int(spp), 1);
    QCOMPARE(int(photometric), vanilla ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK);
    QVector<quint16> row(nWidth);
    for (int y = 0; y < nHeight; ++y) {
        QCOMPARE(TIFFReadScanline(pTiff, row.data(), uint32_t(y), 0), 1);
        for (int x = 0; x < nWidth; ++x) {
            const quint16 want = grey16(1, TW_UINT32(x), TW_UINT32(y));
            QCOMPARE(row[x], vanilla ? quint16(65535 - want) : want);
        }
    }
    TIFFClose(pTiff);
    QFile::remove(receiver.files[0].sFileName);
}

// A palette that cannot be read gives a grey table (and a log line), never an
// all-black one that hides the image.
void TestTwainXfer::unreadablePaletteGivesGreyTable()
{
    ScriptedIO io;
    io.info.ImageWidth = 8;
    io.info.ImageLength = 2;
    io.info.BitsPerPixel = 8;
    io.info.SamplesPerPixel = 1;
    io.info.PixelType = TWPT_PALETTE;
    io.setup.Preferred = 64;
    ScriptedIO::Block block;
    block.bytesPerRow = 8;
    block.columns = 8;
    block.rows = 2;
    block.bytesWritten = 16;
    block.fill = 7;
    block.rc = TWRC_XFERDONE;
    io.blocks << block;
    CTwainXFer xfer(&io);
    Receiver receiver(xfer);
    QCOMPARE(int(xfer.DoTransfer()), 0);
    QCOMPARE(receiver.files.size(), 1);
    QFile file(receiver.files[0].sFileName);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray dib = file.readAll();
    QCOMPARE(dib.size(), 40 + 1024 + 16);
    QCOMPARE(dib.mid(40, 1024), XferDetail::GreyRamp(256, false));
    QVERIFY(m_log.contains(QStringLiteral("palette cannot be read")));
    file.close();
    QFile::remove(receiver.files[0].sFileName);
}

void TestTwainXfer::planarStripsAreRefused()
{
    ScriptedIO io;
    io.info.ImageWidth = 4;
    io.info.ImageLength = 2;
    io.info.BitsPerPixel = 24;
    io.info.SamplesPerPixel = 3;
    io.info.Planar = TRUE;
    io.info.PixelType = TWPT_RGB;
    io.setup.Preferred = 64;
    ScriptedIO::Block block;
    block.bytesPerRow = 4;
    block.columns = 4;
    block.rows = 6;
    block.bytesWritten = 24;
    block.rc = TWRC_XFERDONE;
    io.blocks << block;
    CTwainXFer xfer(&io);
    Receiver receiver(xfer);
    QVector<int> failedPages;
    QObject::connect(&xfer, &CTwainXFer::si_ImageFailed, [&](int nPage, QString) { failedPages << nPage; });
    xfer.DoTransfer();
    QVERIFY(receiver.files.isEmpty());
    QVERIFY(tempFiles().isEmpty());
    QCOMPARE(failedPages, QVector<int>({1}));
    QVERIFY2(m_log.contains(QStringLiteral("planar strips")),
             qPrintable(m_log.lines().join(QLatin1Char('\n'))));
}

void TestTwainXfer::failedWriteIsNeverAnnounced_data()
{
    QTest::addColumn<int>("mech");
    QTest::addColumn<int>("pixelType");
    QTest::addColumn<int>("bits");
    QTest::newRow("memory strips as a DIB") << int(TWSX_MEMORY) << int(TWPT_RGB) << 24;
    QTest::newRow("16-bit strips as a TIFF") << int(TWSX_MEMORY) << int(TWPT_GRAY) << 16;
    QTest::newRow("memory file") << int(TWSX_MEMFILE) << int(TWPT_RGB) << 24;
}

// A file that cannot grow beyond 64 KB stands for a full disk: the page is
// never announced, the failure names the system's error, the batch ends.
void TestTwainXfer::failedWriteIsNeverAnnounced()
{
    QFETCH(int, mech);
    QFETCH(int, pixelType);
    QFETCH(int, bits);
    ScannerSession session;
    QVERIFY(openSession(session));
    QVERIFY(session.setU16(ICAP_XFERMECH, TW_UINT16(mech)));
    QVERIFY(session.setPixels(TW_UINT16(pixelType), TW_UINT16(bits)));
    QVERIFY(session.setFrame(200, 200, 100));
    QVERIFY(session.setU32(SIMCAP_FEEDERPAGES, 3));
    CTwainXFer xfer(&session.io());
    Receiver receiver(xfer);
    QStringList failures;
    QObject::connect(&xfer, &CTwainXFer::si_ImageFailed, [&](int nPage, QString sWhy) {
        failures << QStringLiteral("%1: %2").arg(nPage).arg(sWhy);
    });
    QVERIFY(session.startScan());

    rlimit old;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 64 * 1024;
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    const ScannerSession::Batch batch = session.runBatch(xfer);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);

    QCOMPARE(batch.transferResults, QVector<int>({int(TWRC_FAILURE)}));
    QVERIFY2(receiver.files.isEmpty(), qPrintable(receiver.files.value(0).sFileName));
    QVERIFY(tempFiles().isEmpty());
    QCOMPARE(failures.size(), 1);
    QVERIFY2(failures[0].startsWith(QStringLiteral("1: cannot write ")) &&
                 failures[0].endsWith(QString::fromLocal8Bit(std::strerror(EFBIG))),
             qPrintable(failures[0]));
    QVERIFY(m_log.contains(QStringLiteral("page 1 not delivered: cannot write")));
    QVERIFY(xfer.BatchMustEnd());
    QCOMPARE(int(xfer.PendingBatchEnd()), int(CTwainXFer::EndBatch));
    xfer.HonourBatchEnd();
    QCOMPARE(int(session.io().m_State), 5);
}

QTEST_GUILESS_MAIN(TestTwainXfer)
#include "tst_twainxfer.moc"
