#ifndef PELIRAND_XFER_TWAINXFER_H
#define PELIRAND_XFER_TWAINXFER_H

// The transfer engine: moves one image per DoTransfer from the open source
// with its transfer mechanism (native, file, memory strips, memory file) and
// announces what it received.

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVector>

#include "platform/win32.h"
#include "twain/twain.h"
#include "xfer/bmpfile.h"

class QDataStream;
class QTemporaryFile;
class CTwainIOBase;
class CTwainIODirect;

class CTwainXFer : public QObject
{
    Q_OBJECT

public:
    // io must be the process's CTwainIODirect (the engine reads its state).
    explicit CTwainXFer(CTwainIOBase* io);
    ~CTwainXFer() override;

signals:
    // A native image, normalised; hImage is locked once during the emission.
    // A receiver that takes the handle over clears bFree.
    void si_ImageInMemory(void* hImage, int size, bool& bFree);
    // An image file: one a source wrote, or one a buffered transfer assembled.
    void si_ImageInFile(int id, QString filename, int rot);

public slots:
    TW_UINT16 DoTransfer();
    TW_UINT16 DoEndXfer();

public:
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

    CTwainIODirect* io() const;
    TW_UINT16 ReadCapUINT16(TW_UINT16 cap, TW_UINT16& value);
    TW_UINT16 TransferFile();
    // A native image that is a TIFF stream (as sources on Linux hand over)
    // goes out as a TIFF file (id -2); true when hImage held one.
    bool DeliverNativeTiff(HGLOBAL hImage);
    void GiveFileUniqueName(TW_SETUPFILEXFER& setup, QString& sFileName);
    TW_UINT16 RunBlockLoop(const TW_IMAGEINFO& info, TW_SETUPMEMXFER& setup, TW_IMAGEMEMXFER& block);
    void StoreBlock(const TW_IMAGEINFO& info, TW_IMAGEMEMXFER& block, unsigned char* pBuffer,
                    TW_UINT32 nBufferSize);
    void WriteBytes(const void* pData, TW_UINT32 nBytes);
    void RefuseBufferedImage(const QString& sWhy);
    QString BufferedImageProblem();
    void DropXferFile();

    CTwainIOBase* m_pTwainIO;
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
    BatchEnd m_batchEnd;
    bool m_bStoppedByRequest;
    QString m_sFileTemplate;
};

#endif
