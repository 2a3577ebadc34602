#include "xfer/twainxfer.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "diag/log.h"
#include "diag/twnames.h"
#include "twain/twainiodirect.h"
#include "twain/twainmem.h"
#include "xfer/dibnormalize.h"
#include "xfer/filewrite.h"
#include "xfer/tiffstrips.h"

namespace {

// Block buffer when the source states no preference and no limits.
constexpr TW_UINT32 kDefaultBlockBuffer = 64 * 1024;
// Larger buffers are not allocated, whatever the source prefers.
constexpr TW_UINT32 kMaxBlockBuffer = 256u * 1024 * 1024;
// Files longer than this cannot be named in TW_SETUPFILEXFER.
constexpr int kMaxFileNameBytes = int(sizeof(TW_STR255)) - 1;
constexpr int kMaxNameCandidates = 100000;
// Bytes of a buffered image collected before they are written.
constexpr int kWriteBlock = 256 * 1024;
// Pages dropped one by one when a source cannot reset its pending transfers;
// a source still pending after that many never stops.
constexpr int kMaxPagesLetGo = 10000;

bool isStated(TW_UINT32 nValue)
{
    return nValue != 0 && nValue != TWON_DONTCARE32;
}

TW_UINT32 blockBufferSize(const TW_SETUPMEMXFER& setup)
{
    TW_UINT32 nSize = setup.Preferred;
    if (nSize == TWON_DONTCARE32) {
        nSize = kDefaultBlockBuffer;
        if (isStated(setup.MaxBufSize) && nSize > setup.MaxBufSize)
            nSize = setup.MaxBufSize;
        if (isStated(setup.MinBufSize) && nSize < setup.MinBufSize)
            nSize = setup.MinBufSize;
    }
    if (nSize > kMaxBlockBuffer) {
        logPrintf("block buffer of %u bytes is too large, using %u bytes", nSize, kMaxBlockBuffer);
        nSize = kMaxBlockBuffer;
    }
    return nSize;
}

QString absoluteName(const QString& sName)
{
    return sName.isEmpty() ? sName : QFileInfo(sName).absoluteFilePath();
}

// TWAIN delivers chunky RGB red first; a BMP stores blue first.
void swapRedBlue(unsigned char* pData, TW_UINT32 nBytes, const TW_IMAGEMEMXFER& block)
{
    if (block.BytesPerRow == 0)
        return;
    for (TW_UINT32 nRow = 0; nRow < block.Rows; ++nRow) {
        const quint64 nOff = quint64(block.BytesPerRow) * nRow;
        if (nOff >= nBytes)
            break;
        const quint64 nAvail = std::min<quint64>(block.BytesPerRow, nBytes - nOff);
        const quint64 nPixels = std::min<quint64>(block.Columns, nAvail / 3);
        unsigned char* p = pData + nOff;
        for (quint64 i = 0; i < nPixels; ++i, p += 3)
            std::swap(p[0], p[2]);
    }
}

} // namespace

CTwainXFer::CTwainXFer(CTwainIODirect* io) : CTwainXFer(io, io) {}

CTwainXFer::CTwainXFer(CTwainIOBase* io, CTwainXferLink* link)
    : QObject(nullptr), m_pTwainIO(io), m_pLink(link), m_pTempFile(nullptr), m_pMemoryDataStream(nullptr),
      m_nFileFormat(TWFF_BMP), m_bExtImageInfo(false), m_bUndefinedImageSize(false), m_nXferMech(TWSX_NATIVE),
      m_nBlockResult(TWRC_FAILURE), m_nImageBytes(0), m_bInTransfer(false), m_nInfoResult(TWRC_SUCCESS),
      m_bColumnsDerived(false), m_batchEnd(EndNothing), m_bStoppedByRequest(false),
      m_delivery(Delivery::None), m_nTiffRowFill(0), m_nExpectedRows(0), m_nPage(0), m_bBatchMustEnd(false),
      m_bSetupRenamed(false)
{
    std::memset(&m_appFileSetup, 0, sizeof(m_appFileSetup));
    std::memset(&m_bmfh, 0, sizeof(m_bmfh));
    std::memset(&m_bmih, 0, sizeof(m_bmih));
    std::memset(&m_pendingXfers, 0, sizeof(m_pendingXfers));
}

CTwainXFer::~CTwainXFer()
{
    DropXferFile();
}

// Reads a 16-bit capability into a buffer that holds any item a source may
// report instead.
TW_UINT16 CTwainXFer::ReadCapUINT16(TW_UINT16 cap, TW_UINT16& value)
{
    union {
        TW_UINT16 nValue;
        unsigned char bytes[TWAIN_MAX_ITEM_SIZE + 2];
    } item;
    std::memset(&item, 0, sizeof(item));
    TW_UINT16 rc = m_pTwainIO->GetCapOneValUINT16(cap, &item.nValue, MSG_GETCURRENT);
    if (rc != 0) {
        // Some sources answer MSG_GETCURRENT with no container; MSG_GET's holds the current value too.
        std::memset(&item, 0, sizeof(item));
        rc = m_pTwainIO->GetCapOneValUINT16(cap, &item.nValue, MSG_GET);
    }
    if (rc == 0)
        value = item.nValue;
    return rc;
}

TW_UINT16 CTwainXFer::DoTransfer()
{
    if (m_bInTransfer) {
        logPrintf("DoTransfer called while a transfer runs, refused");
        return TWRC_FAILURE;
    }
    m_bInTransfer = true;
    m_bStoppedByRequest = false;
    CTwainXferLink* pLink = m_pLink;
    TW_UINT16 nResult = TWRC_FAILURE;
    TW_SETUPMEMXFER setupMem;
    TW_IMAGEMEMXFER block;
    std::memset(&setupMem, 0, sizeof(setupMem));
    std::memset(&block, 0, sizeof(block));

    if (pLink->TwainFirstXfer()) {
        m_setBatchFiles.clear();
        m_hashBatchRenames.clear();
        m_nPage = 0;
        m_bBatchMustEnd = false;
        ReadCapUINT16(ICAP_XFERMECH, m_nXferMech);
        m_pTwainIO->GetCapOneValBOOL(ICAP_UNDEFINEDIMAGESIZE, &m_bUndefinedImageSize, MSG_GETCURRENT);
        m_pTwainIO->GetCapOneValBOOL(ICAP_EXTIMAGEINFO, &m_bExtImageInfo, MSG_GETCURRENT);
    }

    ++m_nPage;
    TW_IMAGEINFO info;
    std::memset(&info, 0, sizeof(info));
    m_nInfoResult = m_pTwainIO->TwainCmd(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info, pLink->TwainSource());
    // A source that reports no size before the transfer is treated as one
    // that declared its size undefined, for this image.
    const bool bDeclaredUndefined = m_bUndefinedImageSize;
    if (m_nInfoResult == TWRC_SUCCESS && !m_bUndefinedImageSize &&
        (info.ImageWidth <= 0 || info.ImageLength <= 0)) {
        logPrintf("image size %1ix%1i unknown before the transfer: read again after it", info.ImageWidth,
                  info.ImageLength);
        m_bUndefinedImageSize = true;
    }
    if (m_nInfoResult == TWRC_SUCCESS) {
        OpenXferFile(info, m_nXferMech);
        switch (m_nXferMech) {
        case TWSX_NATIVE: {
            TW_HANDLE hImage = nullptr;
            const TW_UINT16 rc =
                m_pTwainIO->TwainCmd(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &hImage, pLink->TwainSource());
            if (rc == TWRC_XFERDONE || rc == TWRC_SUCCESS) {
                if (DSMOwnMemory())
                    DeliverDsmImage(hImage);
                else
                    DeliverGlobalImage(hImage);
                nResult = m_bBatchMustEnd ? TW_UINT16(TWRC_FAILURE) : TW_UINT16(TWRC_XFERDONE);
            } else {
                nResult = rc;
            }
            break;
        }
        case TWSX_FILE:
            nResult = TransferFile();
            break;
        case TWSX_MEMORY:
        case TWSX_MEMFILE:
            nResult = RunBlockLoop(info, setupMem, block);
            break;
        default:
            break;
        }
    }

    if (pLink->TwainState() == 7) {
        if (m_bUndefinedImageSize)
            m_pTwainIO->TwainCmd(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info, pLink->TwainSource());
        CloseXferFile(info, m_nXferMech);
    }
    m_bUndefinedImageSize = bDeclaredUndefined;
    // A page that could not be written ends the batch (later pages would meet
    // the same full disk): the batch carries out the request it made.
    if (m_bBatchMustEnd) {
        nResult = TWRC_FAILURE;
        m_bStoppedByRequest = true;
    }
    m_bInTransfer = false;
    return nResult == TWRC_XFERDONE ? TW_UINT16(TWRC_SUCCESS) : nResult;
}

TW_UINT16 CTwainXFer::DoEndXfer()
{
    CTwainXferLink* pLink = m_pLink;
    logPrintf("DoEndTransfer");
    // Some sources only count down the caller's value: -1 gives them nothing to count from.
    m_pendingXfers.Count = static_cast<TW_UINT16>(-1);
    const TW_UINT16 rc =
        m_pTwainIO->TwainCmd(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &m_pendingXfers, pLink->TwainSource());
    if (rc == TWRC_SUCCESS)
        logPrintf("state=%1i, pending=%1i", pLink->TwainState(), static_cast<TW_INT16>(m_pendingXfers.Count));
    if (pLink->TwainState() == 5)
        RestoreFileSetup();
    return rc;
}

void CTwainXFer::RequestBatchEnd(BatchEnd end)
{
    if (end > m_batchEnd)
        m_batchEnd = end;
}

CTwainXFer::BatchEnd CTwainXFer::HonourBatchEnd()
{
    const BatchEnd end = m_batchEnd;
    m_batchEnd = EndNothing;
    CTwainXferLink* pLink = m_pLink;
    if (end == EndNothing || pLink->TwainState() < 6)
        return end;
    logPrintf("ending %s on request (state %1i)", end == EndPage ? "the page at hand" : "the batch",
              pLink->TwainState());
    if (pLink->TwainState() == 7 || end == EndPage) {
        TW_UINT16 rc = m_pTwainIO->TwainCmd(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &m_pendingXfers,
                                            pLink->TwainSource());
        if (rc != TWRC_SUCCESS && pLink->TwainState() == 7) {
            // A source that will not end the image may still drop everything at once.
            rc = m_pTwainIO->TwainCmd(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &m_pendingXfers,
                                      pLink->TwainSource());
        }
    }
    if (end != EndBatch || pLink->TwainState() != 6)
        return end;
    if (m_pTwainIO->TwainCmd(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &m_pendingXfers, pLink->TwainSource()) ==
        TWRC_SUCCESS)
        return end;
    // No reset: stop the feeder, then let go of the pages it still has, one by one.
    m_pTwainIO->TwainCmd(DG_CONTROL, DAT_PENDINGXFERS, MSG_STOPFEEDER, &m_pendingXfers, pLink->TwainSource());
    for (int i = 0; i < kMaxPagesLetGo && pLink->TwainState() == 6; ++i) {
        if (m_pTwainIO->TwainCmd(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &m_pendingXfers,
                                 pLink->TwainSource()) != TWRC_SUCCESS)
            break;
    }
    return end;
}

void CTwainXFer::NormalizeDib(HGLOBAL& hDib, bool& bFree)
{
    const bool bVanilla = PixelFlavor() == TWPF_VANILLA;
    XferDetail::NormalizeDib(
        hDib, bFree,
        [this](HGLOBAL hImage, std::int64_t nSize, bool& bFreeImage) {
            emit si_ImageInMemory(hImage, nSize, bFreeImage);
        },
        XferDetail::kDiagMask, bVanilla);
}

void CTwainXFer::DeliverGlobalImage(HGLOBAL hImage)
{
    const SIZE_T nSize = hImage ? GlobalSize(hImage) : 0;
    const auto* p = nSize >= 8 ? static_cast<const char*>(GlobalLock(hImage)) : nullptr;
    const bool bTiff = p && DeliverNativeTiff(p, nSize);
    if (p)
        GlobalUnlock(hImage);
    bool bFree = true;
    if (!bTiff)
        NormalizeDib(hImage, bFree);
    if (bFree && hImage)
        GlobalFree(hImage);
}

// A TWAIN 2 source hands the image over in the DSM's memory, and the block is
// the bridge's from then on: normalised and written where it lies (a page can
// be hundreds of MB, a copy of it would double the bridge's memory), then
// freed through the DSM.
void CTwainXFer::DeliverDsmImage(TW_HANDLE hImage)
{
    if (!hImage) {
        logPrintf("native image: no block");
        return;
    }
    if (!DSMLock(hImage)) {
        // Not a block of the DSM's (an address of the source's own): nobody the
        // bridge may free it through, and nothing it may read.
        logPrintf("native image: the handle is no block of the DSM's, image lost (the handle is left alone)");
        return;
    }
    DSMUnlock(hImage);
    const std::size_t nBlock = DSMSize(hImage);
    const auto* p = nBlock > 0 ? static_cast<const unsigned char*>(DSMLock(hImage)) : nullptr;
    if (!p) {
        logPrintf("native image: the DSM's block could not be read, image lost");
        DSMFree(hImage);
        return;
    }
    const std::size_t nLength = std::min(nBlock, XferDetail::NativeImageLength(p, nBlock));
    const bool bTiff = nLength >= 8 && DeliverNativeTiff(reinterpret_cast<const char*>(p), nLength);
    DSMUnlock(hImage);
    bool bFree = true;
    if (!bTiff) {
        XferDetail::NormalizeDsmDib(
            hImage, nLength, bFree,
            [this](HGLOBAL hDib, std::int64_t nSize, bool& bFreeImage) {
                emit si_ImageInMemory(hDib, nSize, bFreeImage);
            },
            XferDetail::kDiagMask, PixelFlavor() == TWPF_VANILLA);
    }
    if (bFree && hImage)
        DSMFree(hImage);
}

bool CTwainXFer::DeliverNativeTiff(const char* p, std::size_t nSize)
{
    const bool bTiff = std::memcmp(p, "II*\0", 4) == 0 || std::memcmp(p, "MM\0*", 4) == 0;
    if (!bTiff)
        return false;
    // Where and how the bridge names its other temporary image files, with the format's suffix.
    const QString sTemplate = m_sFileTemplate.isEmpty()
                                  ? QDir::tempPath() + QLatin1Char('/') +
                                        QCoreApplication::applicationName() + QStringLiteral(".XXXXXX")
                                  : m_sFileTemplate;
    QTemporaryFile file(sTemplate + QStringLiteral(".tif"));
    QString sWhy;
    const bool bOpened = file.open();
    if (!bOpened)
        sWhy = QStringLiteral("cannot create a temporary file: %1").arg(file.errorString());
    else if (!XferDetail::WriteAll(file.handle(), p, static_cast<qint64>(nSize), sWhy))
        sWhy = QStringLiteral("cannot write %1: %2").arg(file.fileName(), sWhy);
    if (!sWhy.isEmpty()) {
        logPrintf("native TIFF image of %llu bytes could not be written, the image is lost",
                  static_cast<unsigned long long>(nSize));
        // Said as it is, and the batch ends: later pages would meet the same disk.
        ImageNotDelivered(sWhy);
        return true;
    }
    file.setAutoRemove(false);
    file.close();
    logPrintf("native TIFF image of %llu bytes written to %s", static_cast<unsigned long long>(nSize),
              file.fileName().toUtf8().constData());
    emit si_ImageInFile(-2, file.fileName(), 0);
    return true;
}

TW_UINT16 CTwainXFer::TransferFile()
{
    CTwainXferLink* pLink = m_pLink;
    TW_SETUPFILEXFER setup;
    std::memset(&setup, 0, sizeof(setup));
    TW_UINT16 rc = m_pTwainIO->TwainCmd(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, &setup, pLink->TwainSource());
    if (rc != TWRC_SUCCESS)
        return rc;
    QString sFileName =
        QString::fromUtf8(setup.FileName, int(qstrnlen(setup.FileName, sizeof(setup.FileName))));
    // Never over a file that exists: an earlier page of this batch, or one of
    // an earlier batch the application has not taken away yet.
    if (!sFileName.isEmpty() &&
        (m_setBatchFiles.contains(absoluteName(sFileName)) || QFileInfo::exists(sFileName)))
        GiveFileUniqueName(setup, sFileName);

    rc = m_pTwainIO->TwainCmd(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr, pLink->TwainSource());
    if (rc != TWRC_XFERDONE && rc != TWRC_SUCCESS)
        return rc;
    m_setBatchFiles.insert(absoluteName(sFileName));
    emit si_ImageInFile(0, sFileName, 0);
    return TWRC_XFERDONE;
}

// The source keeps the name of DAT_SETUPFILEXFER for every page, and the main
// application cannot change it during a batch: a page written to the name of
// an earlier page of the batch would replace it. Such a page gets a name of
// its own beside the first: "scan.bmp" -> "scan-2.bmp", "scan-3.bmp", ...
void CTwainXFer::GiveFileUniqueName(TW_SETUPFILEXFER& setup, QString& sFileName)
{
    // A name given to an earlier page still counts from the batch's own name.
    const QString sBase = m_hashBatchRenames.value(absoluteName(sFileName), sFileName);
    const int nSlash = std::max(sBase.lastIndexOf(QLatin1Char('/')), sBase.lastIndexOf(QLatin1Char('\\')));
    const QString sFolder = sBase.left(nSlash + 1);
    const QString sFile = sBase.mid(nSlash + 1);
    const int nDot = sFile.lastIndexOf(QLatin1Char('.'));
    const QString sStem = nDot > 0 ? sFile.left(nDot) : sFile;
    const QString sExtension = nDot > 0 ? sFile.mid(nDot) : QString();
    const QByteArray oldName = sFileName.toUtf8();

    for (int n = 2; n < kMaxNameCandidates; ++n) {
        const QString sCandidate = sFolder + sStem + QLatin1Char('-') + QString::number(n) + sExtension;
        if (QFileInfo::exists(sCandidate) || m_setBatchFiles.contains(absoluteName(sCandidate)))
            continue;
        const QByteArray name = sCandidate.toUtf8();
        if (name.size() > kMaxFileNameBytes) {
            logPrintf("no file name of its own fits for this page: it replaces %s", oldName.constData());
            return;
        }
        TW_SETUPFILEXFER renamed = setup;
        std::memset(renamed.FileName, 0, sizeof(renamed.FileName));
        std::memcpy(renamed.FileName, name.constData(), size_t(name.size()));
        const TW_UINT16 rc =
            m_pTwainIO->TwainCmd(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &renamed, m_pLink->TwainSource());
        if (rc != TWRC_SUCCESS) {
            logPrintf("source refused the file name %s: this page replaces %s", name.constData(),
                      oldName.constData());
            return;
        }
        logPrintf("%s holds an earlier page: this page goes to %s", oldName.constData(), name.constData());
        if (!m_bSetupRenamed) {
            m_appFileSetup = setup;
            m_bSetupRenamed = true;
        }
        setup = renamed;
        m_hashBatchRenames.insert(absoluteName(sCandidate), sBase);
        sFileName = sCandidate;
        return;
    }
    logPrintf("no free file name beside %s: this page replaces it", oldName.constData());
}

void CTwainXFer::OpenXferFile(const TW_IMAGEINFO& info, TW_UINT16 xferMech)
{
    DropXferFile();
    m_nBlockResult = TWRC_FAILURE;
    m_nImageBytes = 0;
    m_sBufferedProblem.clear();
    m_sWriteError.clear();
    m_delivery = Delivery::None;
    m_nTiffRowFill = 0;

    if (xferMech == TWSX_MEMORY) {
        switch (info.Compression) {
        case TWCP_NONE:
            m_nFileFormat = TWFF_BMP;
            break;
        case TWCP_GROUP4:
            m_nFileFormat = TWFF_TIFF;
            break;
        case TWCP_JPEG:
            m_nFileFormat = TWFF_JFIF;
            break;
        default:
            break;
        }
    } else if (xferMech == TWSX_MEMFILE) {
        ReadCapUINT16(ICAP_IMAGEFILEFORMAT, m_nFileFormat);
    } else {
        return;
    }

    m_pTempFile = m_sFileTemplate.isEmpty() ? new QTemporaryFile : new QTemporaryFile(m_sFileTemplate);
    // A file opened without a name gets it only now, and that may fail.
    if (!m_pTempFile->open() || m_pTempFile->fileName().isEmpty()) {
        const QString sError = m_pTempFile->errorString();
        m_pTempFile->close();
        logPrintf(
            "cannot open a temporary file for the buffered image (%s): its blocks are fetched and dropped",
            sError.toUtf8().constData());
        return;
    }
    m_pMemoryDataStream = new QDataStream(m_pTempFile);
    // A memory file's blocks are the whole file, its own headers included.
    if (xferMech == TWSX_MEMFILE || m_nFileFormat == TWFF_JFIF) {
        m_delivery = Delivery::Bytes;
        return;
    }
    if (m_nFileFormat != TWFF_BMP)
        return;

    const bool bVanilla = PixelFlavor() == TWPF_VANILLA;
    if (info.Planar && info.SamplesPerPixel > 1) {
        // Planar strips bring a whole plane before the next: assembling pixels
        // would hold the page in memory.
        logPrintf("planar strips (%1i samples per pixel) are not assembled: the image is refused",
                  info.SamplesPerPixel);
        RefuseBufferedImage(QStringLiteral("planar strips are not supported, chunky ones are"));
        return;
    }
    const int nBits = info.BitsPerPixel;
    const int nSamples = info.SamplesPerPixel > 0 ? info.SamplesPerPixel : 1;
    if ((nBits == 16 && nSamples == 1 && info.PixelType == TWPT_GRAY) ||
        (nBits == 48 && nSamples == 3 && info.PixelType == TWPT_RGB)) {
        // A DIB of 16 bits per pixel means 5-5-5 RGB to every reader: such
        // images keep their 16-bit samples in a TIFF file.
        m_delivery = Delivery::Tiff;
        m_pTempFile->flush();
        m_pTiff.reset(new XferDetail::TiffStripWriter);
        QString sWhy;
        const quint32 nRows = m_bUndefinedImageSize || info.ImageLength <= 0 ? 0u : quint32(info.ImageLength);
        m_nExpectedRows = nRows;
        if (info.ImageWidth <= 0 ||
            !m_pTiff->open(m_pTempFile->handle(), quint32(info.ImageWidth), nRows, quint16(nSamples), 16,
                           bVanilla, double(Fix32ToFloat(info.XResolution)),
                           double(Fix32ToFloat(info.YResolution)), sWhy)) {
            m_pTiff.reset();
            RefuseBufferedImage(
                sWhy.isEmpty() ? QStringLiteral("an image of width %1 cannot be written").arg(info.ImageWidth)
                               : sWhy);
        } else if (m_pTiff->rowBytes() > kMaxBlockBuffer) {
            RefuseBufferedImage(QStringLiteral("rows of %1 bytes are too long").arg(m_pTiff->rowBytes()));
        } else {
            m_tiffRow = QByteArray(int(m_pTiff->rowBytes()), '\0');
        }
        return;
    }

    m_delivery = Delivery::Dib;
    QByteArray colourTable;
    const XferDetail::PaletteSource palette = [this](TW_PALETTE8& pal) {
        return m_pTwainIO->TwainCmd(DG_IMAGE, DAT_PALETTE8, MSG_GET, &pal, m_pLink->TwainSource()) == TWRC_SUCCESS;
    };
    bool bNoPalette = false;
    if (!XferDetail::BuildBmpHeaders(info, m_bUndefinedImageSize, palette, m_bmfh, m_bmih, colourTable,
                                     bVanilla, &bNoPalette))
        RefuseBufferedImage(
            QStringLiteral("a colour table of %1 entries is too large").arg(m_bmih.biClrUsed));
    if (bNoPalette)
        logPrintf("the source's palette cannot be read: the image gets a grey table");
    // Rows go into the file top-down as they come. Like a native image's, the
    // delivered DIB carries the height's sign inverted: positive here, so a
    // receiver that inverts it back reads a top-down DIB.
    m_bmih.biHeight = -m_bmih.biHeight;
    const QByteArray header = XferDetail::InfoHeaderBytes(m_bmih);
    WriteBytes(header.constData(), TW_UINT32(header.size()));
    WriteBytes(colourTable.constData(), TW_UINT32(colourTable.size()));
    // Only the rows count as image data.
    m_nImageBytes = 0;
}

TW_UINT16 CTwainXFer::RunBlockLoop(const TW_IMAGEINFO& info, TW_SETUPMEMXFER& setup, TW_IMAGEMEMXFER& block)
{
    CTwainXferLink* pLink = m_pLink;
    const TW_UINT16 nDat = m_nXferMech == TWSX_MEMFILE ? DAT_IMAGEMEMFILEXFER : DAT_IMAGEMEMXFER;
    TW_UINT16 rc = TWRC_FAILURE;
    unsigned char* pBuffer = nullptr;
    TW_UINT32 nBufferSize = 0;
    bool bFirst = true;

    for (;;) {
        if (!bFirst && pLink->TwainState() != 7) {
            // Something that ran between two blocks ended the transfer.
            logPrintf("buffered transfer ended from outside between two blocks (state %1i)", pLink->TwainState());
            rc = TWRC_FAILURE;
            break;
        }
        if (pLink->TwainState() == 6) {
            rc = m_pTwainIO->TwainCmd(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup, pLink->TwainSource());
            if (rc == TWRC_SUCCESS) {
                nBufferSize = blockBufferSize(setup);
                pBuffer = static_cast<unsigned char*>(std::malloc(nBufferSize ? nBufferSize : 1));
                if (!pBuffer) {
                    logPrintf("cannot allocate a block buffer of %u bytes", nBufferSize);
                    nBufferSize = 0;
                }
            }
        }
        if (pLink->TwainState() >= 6) {
            // The descriptor is ours: a source that changed it is not followed.
            if (pBuffer) {
                block.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
                block.Memory.Length = nBufferSize;
                block.Memory.TheMem = pBuffer;
            }
            rc = m_pTwainIO->TwainCmd(DG_IMAGE, nDat, MSG_GET, &block, pLink->TwainSource());
        }
        bFirst = false;
        if (rc != TWRC_SUCCESS && rc != TWRC_XFERDONE)
            break;
        if (block.Columns == 0 && block.BytesPerRow > 0 && info.BitsPerPixel > 0) {
            // Some sources leave Columns 0; the row length tells how many pixels a row holds.
            // Computed in a local: the packed structure's fields may not be bound to references.
            TW_UINT32 nColumns = TW_UINT32(quint64(block.BytesPerRow) * 8 / TW_UINT32(info.BitsPerPixel));
            if (info.ImageWidth > 0)
                nColumns = std::min<TW_UINT32>(nColumns, TW_UINT32(info.ImageWidth));
            block.Columns = nColumns;
            if (!m_bColumnsDerived)
                logPrintf("block with Columns 0: %u columns taken from BytesPerRow %u", block.Columns,
                          block.BytesPerRow);
            m_bColumnsDerived = true;
        }
        if (pBuffer)
            StoreBlock(info, block, pBuffer, nBufferSize);
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (rc == TWRC_XFERDONE)
            break;
        if (m_batchEnd != EndNothing && pLink->TwainState() == 7) {
            // The rest of this image is not fetched; the batch ends it with the source.
            logPrintf("buffered transfer stopped between two blocks on request");
            m_bStoppedByRequest = true;
            rc = TWRC_CANCEL;
            break;
        }
    }
    std::free(pBuffer);
    block.Memory.TheMem = nullptr;
    m_nBlockResult = rc;
    return rc;
}

void CTwainXFer::StoreBlock(const TW_IMAGEINFO& info, TW_IMAGEMEMXFER& block, unsigned char* pBuffer,
                            TW_UINT32 nBufferSize)
{
    if (!m_pMemoryDataStream || block.BytesWritten == 0 || !m_sWriteError.isEmpty() ||
        !m_sBufferedProblem.isEmpty())
        return;
    TW_UINT32 nBytes = block.BytesWritten;
    if (nBytes > nBufferSize) {
        logPrintf("block of %u bytes cut to its buffer of %u bytes", nBytes, nBufferSize);
        nBytes = nBufferSize;
    }

    if (m_delivery == Delivery::Bytes) {
        if (m_nXferMech == TWSX_MEMFILE || block.Compression == TWCP_JPEG)
            WriteBytes(pBuffer, nBytes);
        return;
    }
    if (block.Compression != TWCP_NONE)
        return;
    if (m_delivery == Delivery::Tiff) {
        StoreTiffRows(block, pBuffer, nBytes);
        return;
    }
    if (m_delivery != Delivery::Dib)
        return;

    if (m_bmih.biBitCount == 24 && info.PixelType == TWPT_RGB)
        swapRedBlue(pBuffer, nBytes, block);
    // The source lays its rows out as it likes (BytesPerRow may be padded to
    // any multiple, or not at all); the file gets the DIB's own stride, with
    // the pixels of each row and zeros after them.
    const quint64 nBits = quint64(static_cast<TW_UINT32>(static_cast<TW_INT32>(info.BitsPerPixel)));
    const quint64 nPixelBytes = (nBits * block.Columns + 7) / 8;
    const quint64 nWidth = m_bmih.biWidth > 0 ? quint64(m_bmih.biWidth) : quint64(block.Columns);
    const quint64 nStride = (quint64(m_bmih.biBitCount) * nWidth + 31) / 32 * 4;
    const quint64 nSourceRow = block.BytesPerRow != 0 ? quint64(block.BytesPerRow) : nPixelBytes;
    if (nPixelBytes > nSourceRow) {
        RefuseBufferedImage(QStringLiteral("a block's rows of %1 bytes cannot hold %2 pixels")
                                .arg(block.BytesPerRow)
                                .arg(block.Columns));
        return;
    }
    if (nStride > kMaxBlockBuffer) {
        RefuseBufferedImage(QStringLiteral("rows of %1 bytes are too long").arg(nStride));
        return;
    }
    // Pixels beyond the image's width have no place in its rows.
    const quint64 nRowPixels = std::min(nPixelBytes, nStride);
    if (nSourceRow == nStride) {
        // Already laid out as the file needs it: only the source's padding is cleared.
        if (nRowPixels < nStride) {
            for (quint64 nOff = 0; nOff + nRowPixels < nBytes; nOff += nStride)
                std::memset(pBuffer + nOff + nRowPixels, 0,
                            std::size_t(std::min<quint64>(nStride - nRowPixels, nBytes - nOff - nRowPixels)));
        }
        WriteBytes(pBuffer, nBytes);
        return;
    }
    static const char s_fill[32] = {};
    for (TW_UINT32 nRow = 0; nRow < block.Rows && m_sWriteError.isEmpty(); ++nRow) {
        const quint64 nOff = nSourceRow * nRow;
        if (nOff >= nBytes)
            break;
        const quint64 nCopy = std::min<quint64>(nRowPixels, nBytes - nOff);
        WriteBytes(pBuffer + nOff, TW_UINT32(nCopy));
        for (quint64 nFill = nStride - nCopy; nFill > 0;) {
            const quint64 nPart = std::min<quint64>(nFill, sizeof(s_fill));
            WriteBytes(s_fill, TW_UINT32(nPart));
            nFill -= nPart;
        }
    }
}

// 16-bit strips: each row's samples (without the row's padding) become one
// TIFF row.
bool CTwainXFer::StoreTiffRows(TW_IMAGEMEMXFER& block, const unsigned char* pBuffer, TW_UINT32 nBytes)
{
    if (!m_pTiff || !m_pTiff->isOpen())
        return false;
    const quint64 nRowBytes = m_pTiff->rowBytes();
    const quint64 nPerRow = block.BytesPerRow ? block.BytesPerRow : nRowBytes;
    if (nPerRow < nRowBytes) {
        RefuseBufferedImage(QStringLiteral("a block's rows of %1 bytes cannot hold %2 bytes of samples")
                                .arg(nPerRow)
                                .arg(nRowBytes));
        return false;
    }
    for (TW_UINT32 nRow = 0; nRow < block.Rows; ++nRow) {
        const quint64 nOff = nPerRow * nRow;
        if (nOff + nRowBytes > nBytes) {
            RefuseBufferedImage(
                QStringLiteral("a block of %1 bytes does not hold its %2 rows").arg(nBytes).arg(block.Rows));
            return false;
        }
        QString sWhy;
        if (!m_pTiff->writeRow(pBuffer + nOff, sWhy)) {
            WriteFailed(sWhy);
            return false;
        }
        m_nImageBytes += qint64(nRowBytes);
    }
    return true;
}

void CTwainXFer::WriteBytes(const void* pData, TW_UINT32 nBytes)
{
    if (nBytes == 0 || !m_sWriteError.isEmpty())
        return;
    if (m_writeBuffer.isEmpty() && nBytes >= TW_UINT32(kWriteBlock) && m_pTempFile) {
        // A block as large as a write goes out as it is: gathering it would
        // copy every byte of the page once more, into fresh memory.
        m_nImageBytes += nBytes;
        QString sWhy;
        if (!XferDetail::WriteAll(m_pTempFile->handle(), pData, nBytes, sWhy))
            WriteFailed(sWhy);
        return;
    }
    m_writeBuffer.append(static_cast<const char*>(pData), int(nBytes));
    m_nImageBytes += nBytes;
    if (m_writeBuffer.size() >= kWriteBlock)
        FlushWrites();
}

void CTwainXFer::FlushWrites()
{
    if (m_writeBuffer.isEmpty() || !m_pTempFile)
        return;
    QString sWhy;
    if (m_sWriteError.isEmpty() &&
        !XferDetail::WriteAll(m_pTempFile->handle(), m_writeBuffer.constData(), m_writeBuffer.size(), sWhy))
        WriteFailed(sWhy);
    m_writeBuffer.clear();
}

void CTwainXFer::WriteAt(qint64 nOffset, const QByteArray& bytes)
{
    FlushWrites();
    QString sWhy;
    if (m_sWriteError.isEmpty() &&
        !XferDetail::WriteAll(m_pTempFile->handle(), bytes.constData(), bytes.size(), sWhy, nOffset))
        WriteFailed(sWhy);
}

void CTwainXFer::WriteFailed(const QString& sWhy)
{
    if (m_sWriteError.isEmpty())
        m_sWriteError = sWhy.isEmpty() ? QStringLiteral("write error") : sWhy;
    // No more blocks are fetched for a page that cannot be written.
    m_bBatchMustEnd = true;
    RequestBatchEnd(EndBatch);
}

void CTwainXFer::RefuseBufferedImage(const QString& sWhy)
{
    if (m_sBufferedProblem.isEmpty())
        m_sBufferedProblem = sWhy;
}

QString CTwainXFer::BufferedImageProblem()
{
    if (!m_pMemoryDataStream)
        return QStringLiteral("no temporary file could be opened, the blocks were dropped");
    if (!m_sWriteError.isEmpty())
        return QStringLiteral("cannot write %1: %2").arg(m_pTempFile->fileName(), m_sWriteError);
    if (!m_sBufferedProblem.isEmpty())
        return m_sBufferedProblem;
    if (m_bStoppedByRequest)
        return QStringLiteral("the transfer was stopped on request before the image was complete");
    if (m_nBlockResult != TWRC_XFERDONE)
        return QStringLiteral("the transfer ended with %1 before the image was complete")
            .arg(QLatin1String(TwrcName(m_nBlockResult)));
    if (m_nXferMech == TWSX_MEMORY) {
        if (m_nFileFormat == TWFF_TIFF)
            return QStringLiteral("a CCITT Group 4 image cannot be written as a file");
        if (m_nFileFormat != TWFF_BMP && m_nFileFormat != TWFF_JFIF)
            return QStringLiteral("memory strips in file format %1 cannot be written as a file")
                .arg(m_nFileFormat);
    }
    if (m_nImageBytes == 0)
        return QStringLiteral("the source delivered no image data");
    if (m_delivery == Delivery::Tiff) {
        QString sWhy;
        const quint32 nRows = m_pTiff ? m_pTiff->rowsWritten() : 0;
        if (!m_pTiff || !m_pTiff->close(sWhy))
            return QStringLiteral("cannot write %1: %2").arg(m_pTempFile->fileName(), sWhy);
        if (!m_bUndefinedImageSize && m_nExpectedRows > 0 && nRows < quint32(m_nExpectedRows))
            return QStringLiteral("the image data is incomplete (%1 of %2 rows)")
                .arg(nRows)
                .arg(m_nExpectedRows);
        return QString();
    }
    // Everything written must be on the disk before the file is announced.
    FlushWrites();
    if (!m_sWriteError.isEmpty())
        return QStringLiteral("cannot write %1: %2").arg(m_pTempFile->fileName(), m_sWriteError);
    if (m_delivery == Delivery::Bytes && m_nXferMech == TWSX_MEMFILE)
        return QString();
    if (m_delivery == Delivery::Dib) {
        QString sWhy;
        return XferDetail::DibIsComplete(m_bmih, m_pTempFile->size(), sWhy) ? QString() : sWhy;
    }
    char start[2] = {0, 0};
    m_pTempFile->seek(0);
    m_pTempFile->read(start, 2);
    if (static_cast<unsigned char>(start[0]) == 0xFF && static_cast<unsigned char>(start[1]) == 0xD8)
        return QString();
    return QStringLiteral("the JPEG data does not begin a JFIF stream");
}

TW_UINT16 CTwainXFer::CloseXferFile(const TW_IMAGEINFO& info, TW_UINT16 xferMech)
{
    CTwainXferLink* pLink = m_pLink;
    const int nIds = m_extImageInfoIds.size();
    std::vector<char> request;
    const std::size_t nInfoOffset = offsetof(TW_EXTIMAGEINFO, Info);
    if (m_bExtImageInfo) {
        // One entry more than the ids, as the structure declares one.
        request.assign(sizeof(TW_EXTIMAGEINFO) + std::size_t(nIds) * sizeof(TW_INFO), 0);
        const TW_UINT32 nNumInfos = TW_UINT32(nIds);
        std::memcpy(request.data() + offsetof(TW_EXTIMAGEINFO, NumInfos), &nNumInfos, sizeof(nNumInfos));
        for (int i = 0; i < nIds; ++i) {
            TW_INFO entry;
            std::memset(&entry, 0, sizeof(entry));
            entry.InfoID = m_extImageInfoIds[i];
            entry.ItemType = 0xFFFF;
            entry.NumItems = 0;
            entry.ReturnCode = TWRC_INFONOTSUPPORTED;
            entry.Item = 0;
            std::memcpy(request.data() + nInfoOffset + std::size_t(i) * sizeof(TW_INFO), &entry,
                        sizeof(entry));
        }
        m_pTwainIO->TwainCmd(DG_IMAGE, DAT_EXTIMAGEINFO, MSG_GET, request.data(), pLink->TwainSource());
    }

    if (xferMech == TWSX_MEMORY && m_bUndefinedImageSize && m_delivery == Delivery::Dib &&
        m_sWriteError.isEmpty()) {
        XferDetail::SetBmpImageSize(info, m_bmfh, m_bmih);
        // Top-down rows, the height's sign inverted as delivered DIBs carry it.
        m_bmih.biHeight = -m_bmih.biHeight;
        WriteAt(0, XferDetail::InfoHeaderBytes(m_bmih));
        if (m_bmih.biClrUsed != 0 && info.PixelType != TWPT_PALETTE) {
            TW_UINT16 nFlavor = TWPF_CHOCOLATE;
            bool bFromInfo = false;
            for (int i = 0; i < nIds && !request.empty(); ++i) {
                TW_INFO entry;
                std::memcpy(&entry, request.data() + nInfoOffset + std::size_t(i) * sizeof(TW_INFO),
                            sizeof(entry));
                if (entry.InfoID != TWEI_PIXELFLAVOR)
                    continue;
                if (entry.ReturnCode == TWRC_SUCCESS) {
                    nFlavor = static_cast<TW_UINT16>(entry.Item & 0xFFFF);
                    bFromInfo = true;
                }
                break;
            }
            if (!bFromInfo)
                ReadCapUINT16(ICAP_PIXELFLAVOR, nFlavor);
            if (m_bmih.biClrUsed <= XferDetail::kMaxColourTableEntries)
                WriteAt(XferDetail::kInfoHeaderBytes,
                        XferDetail::GreyRamp(m_bmih.biClrUsed, nFlavor != TWPF_CHOCOLATE));
        }
    }
    request.clear();

    if (!m_pTempFile)
        return TWRC_SUCCESS;
    const QString sProblem = BufferedImageProblem();
    if (sProblem.isEmpty() && m_pTempFile->error() == QFileDevice::NoError) {
        // The main application owns the file now.
        m_pTempFile->setAutoRemove(false);
        const QString sFileName = QFileInfo(m_pTempFile->fileName()).absoluteFilePath();
        m_pTempFile->close();
        const int nId = m_delivery == Delivery::Dib ? kImageIdDib : kImageIdBridgeFile;
        DropXferFile();
        emit si_ImageInFile(nId, sFileName, 0);
        return TWRC_SUCCESS;
    }
    if (m_pMemoryDataStream)
        qDebug("m_pMemoryDataStream not yet supported");
    m_pTempFile->close();
    const bool bWriteFailed = !m_sWriteError.isEmpty() || sProblem.startsWith(QLatin1String("cannot write"));
    DropXferFile();
    PageFailed(sProblem);
    if (bWriteFailed) {
        m_bBatchMustEnd = true;
        RequestBatchEnd(EndBatch);
    }
    return TWRC_FAILURE;
}

void CTwainXFer::DropXferFile()
{
    m_pTiff.reset();
    m_tiffRow.clear();
    m_writeBuffer.clear();
    delete m_pMemoryDataStream;
    m_pMemoryDataStream = nullptr;
    delete m_pTempFile;
    m_pTempFile = nullptr;
}

void CTwainXFer::PageFailed(const QString& sWhy)
{
    logPrintf("page %1i not delivered: %s", m_nPage, sWhy.toUtf8().constData());
    emit si_ImageFailed(m_nPage, sWhy);
}

void CTwainXFer::ImageNotDelivered(const QString& sWhy)
{
    PageFailed(sWhy);
    m_bBatchMustEnd = true;
    RequestBatchEnd(EndBatch);
}

TW_UINT16 CTwainXFer::PixelFlavor()
{
    TW_UINT16 nFlavor = TWPF_CHOCOLATE;
    if (ReadCapUINT16(ICAP_PIXELFLAVOR, nFlavor) != 0)
        nFlavor = TWPF_CHOCOLATE;
    return nFlavor;
}

// The source's file name is the main application's setting: once the batch
// is over, it gets back the name the application gave.
void CTwainXFer::RestoreFileSetup()
{
    if (!m_bSetupRenamed)
        return;
    CTwainXferLink* pLink = m_pLink;
    if (pLink->TwainState() < 4 || pLink->TwainState() > 6)
        return;
    m_bSetupRenamed = false;
    TW_SETUPFILEXFER setup = m_appFileSetup;
    if (m_pTwainIO->TwainCmd(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup, pLink->TwainSource()) !=
        TWRC_SUCCESS)
        // Bounded: a source may fill every byte of the name.
        logPrintf("the source refused its file name %.*s back",
                  int(qstrnlen(m_appFileSetup.FileName, sizeof(m_appFileSetup.FileName))), m_appFileSetup.FileName);
}
