#ifndef PELIRAND_XFER_TWAINXFER_H
#define PELIRAND_XFER_TWAINXFER_H

// The transfer engine: moves one image per DoTransfer from the open source
// with its transfer mechanism (native, file, memory strips, memory file) and
// announces what it received.

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVector>

#include "platform/win32.h"
#include "twain/twain.h"
#include "xfer/bmpfile.h"

#include <cstddef>
#include <memory>

namespace XferDetail {
class TiffStripWriter;
}

class QDataStream;
class QTemporaryFile;
class CTwainIOBase;
class CTwainIODirect;
class CTwainXferLink;

// Image ids of si_ImageInFile, as the main application receives them.
enum ImageId : int
{
    // A DIB without file header that the bridge wrote (native images, and
    // uncompressed memory strips); the receiver moves or removes the file.
    kImageIdDib = -1,
    // A file that the source wrote (file transfers).
    kImageIdSourceFile = 0,
    // A complete image file in a standard format (BMP, TIFF, JPEG...) that
    // the bridge made; the receiver moves or removes the file.
    kImageIdBridgeFile = -2,
};

class CTwainXFer : public QObject
{
    Q_OBJECT

public:
    // Talks TWAIN through io and follows the connection's state through link;
    // both outlive the engine.
    CTwainXFer(CTwainIOBase* io, CTwainXferLink* link);
    // The process's I/O object, which is both.
    explicit CTwainXFer(CTwainIODirect* io);
    ~CTwainXFer() override;

    // The receiver of si_ImageInMemory could not deliver the image: the page
    // counts as failed and the batch ends after it.
    void ImageNotDelivered(const QString& sWhy);
    // True once a page of the current batch could not be delivered: the
    // batch must end instead of going on (an EndBatch request is pending
    // for HonourBatchEnd).
    bool BatchMustEnd() const { return m_bBatchMustEnd; }
    // Gives the source the main application's own DAT_SETUPFILEXFER back
    // after a batch in which a page was given a name of its own (states 4 to 6).
    void RestoreFileSetup();

signals:
    // A native image, normalised; hImage is locked once during the emission.
    // It is a block of the DSM's memory while the DSM's memory functions are
    // in use (DSMOwnMemory), else Win32 global memory: the receiver reads it
    // with DSMLock and DSMSize, and one that takes the handle over clears
    // bFree and frees it with DSMFree.
    void si_ImageInMemory(void* hImage, qint64 size, bool& bFree);
    // An image file: id 0 for one a source wrote (announced after the batch),
    // kImageIdDib or kImageIdBridgeFile for one the bridge made (announced at
    // once, while the page is still open with the source).
    void si_ImageInFile(int id, QString filename, int rot);
    // Page nPage (1 for the batch's first) was transferred but could not be
    // delivered; sWhy names the cause (for a failed write, the system's error).
    void si_ImageFailed(int nPage, QString sWhy);

public slots:
    TW_UINT16 DoTransfer();
    TW_UINT16 DoEndXfer();

public:
    // What DAT_IMAGEINFO answered in the last DoTransfer.
    TW_UINT16 ImageInfoResult() const { return m_nInfoResult; }
    // The count of the last successful DoEndXfer.
    TW_UINT16 PendingCount() const { return m_pendingXfers.Count; }
    // A block of this batch had Columns 0 and was read by its row length.
    bool ColumnsDerived() const { return m_bColumnsDerived; }
    void ResetBatchNotes() { m_bColumnsDerived = false; }
    // Where the temporary files of buffered and TIFF images go (a file template for QTemporaryFile);
    // empty: the temporary folder.
    void SetFileTemplate(const QString& sTemplate) { m_sFileTemplate = sTemplate; }

    // A request to end the batch early: from the main application (a cancel),
    // or from the bridge itself (a lost connection, the source's request to be
    // closed). It is only recorded here, whatever runs at the moment; the
    // batch carries it out at the next page or block, where TWAIN calls are
    // allowed again.
    enum BatchEnd
    {
        EndNothing = 0,
        // The page at hand: the one being transferred, or else the next one.
        EndPage = 1,
        // The page at hand and every page still pending.
        EndBatch = 2,
    };
    // A wider request replaces a narrower one, never the other way round.
    void RequestBatchEnd(BatchEnd end);
    BatchEnd PendingBatchEnd() const { return m_batchEnd; }
    void ClearBatchEnd() { m_batchEnd = EndNothing; }
    // Carries out the pending request as the TWAIN state allows and clears it:
    // MSG_ENDXFER for the page at hand (state 7, or 6 for EndPage), then
    // MSG_RESET for the rest (MSG_STOPFEEDER and MSG_ENDXFER per page when
    // the source refuses the reset). Returns the request it carried out.
    BatchEnd HonourBatchEnd();
    // The last buffered transfer was stopped between two blocks by a request.
    bool StoppedByRequest() const { return m_bStoppedByRequest; }

private:
    void NormalizeDib(HGLOBAL& hDib, bool& bFree);
    void OpenXferFile(const TW_IMAGEINFO& info, TW_UINT16 xferMech);
    TW_UINT16 CloseXferFile(const TW_IMAGEINFO& info, TW_UINT16 xferMech);

    TW_UINT16 ReadCapUINT16(TW_UINT16 cap, TW_UINT16& value);
    TW_UINT16 TransferFile();
    // A native image in Win32 global memory, or in the DSM's memory (TWAIN 2):
    // written as it is (TIFF) or normalised, delivered and freed.
    void DeliverGlobalImage(HGLOBAL hImage);
    void DeliverDsmImage(TW_HANDLE hImage);
    // A native image that is a TIFF stream (as sources on Linux hand over)
    // goes out as a TIFF file (id -2); true when the nSize bytes at p held one.
    bool DeliverNativeTiff(const char* p, std::size_t nSize);
    void GiveFileUniqueName(TW_SETUPFILEXFER& setup, QString& sFileName);
    TW_UINT16 RunBlockLoop(const TW_IMAGEINFO& info, TW_SETUPMEMXFER& setup, TW_IMAGEMEMXFER& block);
    void StoreBlock(const TW_IMAGEINFO& info, TW_IMAGEMEMXFER& block, unsigned char* pBuffer,
                    TW_UINT32 nBufferSize);
    bool StoreTiffRows(TW_IMAGEMEMXFER& block, const unsigned char* pBuffer, TW_UINT32 nBytes);
    void WriteBytes(const void* pData, TW_UINT32 nBytes);
    void FlushWrites();
    void WriteAt(qint64 nOffset, const QByteArray& bytes);
    void WriteFailed(const QString& sWhy);
    void RefuseBufferedImage(const QString& sWhy);
    QString BufferedImageProblem();
    void DropXferFile();
    void PageFailed(const QString& sWhy);
    TW_UINT16 PixelFlavor();

    CTwainIOBase* m_pTwainIO;
    CTwainXferLink* m_pLink;
    QTemporaryFile* m_pTempFile;
    QDataStream* m_pMemoryDataStream;
    TW_UINT16 m_nFileFormat;
    BITMAPFILEHEADER m_bmfh;
    BITMAPINFOHEADER m_bmih;
    TW_PENDINGXFERS m_pendingXfers;
    QVector<TW_UINT16> m_extImageInfoIds;
    bool m_bExtImageInfo;
    bool m_bUndefinedImageSize;
    TW_UINT16 m_nXferMech;

    // Files that the source wrote in the current batch, by absolute name, and
    // the names given to pages of the batch with the name each was made from.
    QSet<QString> m_setBatchFiles;
    QHash<QString, QString> m_hashBatchRenames;
    // The buffered image being assembled: the last block request's return
    // code, the bytes written after the headers, and why it cannot be
    // delivered (empty while it can).
    TW_UINT16 m_nBlockResult;
    qint64 m_nImageBytes;
    QString m_sBufferedProblem;
    bool m_bInTransfer;
    TW_UINT16 m_nInfoResult;
    bool m_bColumnsDerived;
    BatchEnd m_batchEnd;
    bool m_bStoppedByRequest;
    QString m_sFileTemplate;

    // What a buffered image becomes: a DIB (kImageIdDib), a TIFF written
    // from 16-bit strips, or the source's bytes as they come (JPEG strips,
    // memory files), all but the DIB delivered as kImageIdBridgeFile.
    enum class Delivery
    {
        None,
        Dib,
        Tiff,
        Bytes,
    };
    Delivery m_delivery;
    std::unique_ptr<XferDetail::TiffStripWriter> m_pTiff;
    QByteArray m_tiffRow;
    quint64 m_nTiffRowFill;
    // Rows the image information announced (0: unknown).
    qint64 m_nExpectedRows;
    // The first failed write of the image (the system's error text), and
    // bytes not yet written: writes go to the file's descriptor in blocks.
    QString m_sWriteError;
    QByteArray m_writeBuffer;
    // Page number in the batch, and whether the batch must end.
    int m_nPage;
    bool m_bBatchMustEnd;
    // The main application's DAT_SETUPFILEXFER, while a page of the batch
    // has been given a name of its own.
    bool m_bSetupRenamed;
    TW_SETUPFILEXFER m_appFileSetup;
};

#endif
