// Image delivery: every image reaches the main application as a file name.

#include "app/pelirandapp.h"

#include <QMetaObject>
#include <QTemporaryFile>

#include "protocol/commandcodes.h"
#include "diag/log.h"
#include "twain/twainmem.h"
#include "xfer/filewrite.h"
#include "xfer/twainxfer.h"

void pelirandApp::on_ImageInMemory(void* hImage, qint64 size, bool& bFree)
{
    Q_UNUSED(bFree);
    logPrintf("on_ImageInMemory,, size=%1lld", static_cast<long long>(size));

    // In the bridge's private folder, where one was made.
    QTemporaryFile file;
    if (m_tempFolder.isValid())
        file.setFileTemplate(m_tempFolder.fileTemplate());
    logPrintf("creating file");
    if (!file.open()) {
        logPrintf("cannot create temporary file");
        if (m_pXFer)
            m_pXFer->ImageNotDelivered(
                QStringLiteral("cannot create a temporary file: %1").arg(file.errorString()));
        return;
    }

    // Never read past the block, whatever size the engine reports. The block
    // is the DSM's while its memory functions are in use.
    const qint64 nBlock = static_cast<qint64>(DSMSize(hImage));
    const qint64 nWrite = qBound<qint64>(0, size, nBlock);
    const void* pImage = DSMLock(hImage);
    if (!pImage) {
        logPrintf("cannot lock image memory");
        // The page is lost: the main application hears of it like of any other page that could not be
        // delivered.
        if (m_pXFer)
            m_pXFer->ImageNotDelivered(QStringLiteral("the image memory cannot be locked"));
        return; // the temporary file is removed with the object
    }
    // Every byte must reach the file; a short file is never announced.
    QString sError;
    const bool bWritten = XferDetail::WriteAll(file.handle(), pImage, nWrite, sError);
    DSMUnlock(hImage);
    if (!bWritten) {
        const QString sWhy = QStringLiteral("cannot write %1: %2").arg(file.fileName(), sError);
        logPrintf("%s", sWhy.toUtf8().constData());
        if (m_pXFer)
            m_pXFer->ImageNotDelivered(sWhy);
        return; // the temporary file is removed with the object
    }
    file.setAutoRemove(false);
    file.close();

    logPrintf("file created");
    const QString fileName = file.fileName();
    logPrintf("on_ImageInFileQueued %s", fileName.toUtf8().constData());
    ++m_nImagesAnnounced;
    sendToMainApp<cmdImageInFile>({-1, fileName});
}

void pelirandApp::on_ImageInFile(int id, QString fileName)
{
    logPrintf("on_ImageInFile %s", fileName.toUtf8().constData());
    ++m_nImagesAnnounced;
    // A file the bridge made (-2, a native TIFF among them) is announced at
    // once, while its page is still open: the main application has it before
    // the batch's end, and a source that dies later cannot take it along. A
    // file the source wrote (0) follows the batch.
    if (id != 0) {
        on_ImageInFileQueued(id, fileName);
        return;
    }
    QMetaObject::invokeMethod(this, "on_ImageInFileQueued", Qt::QueuedConnection, Q_ARG(int, 0),
                              Q_ARG(QString, fileName));
}

void pelirandApp::on_ImageInFileQueued(int id, QString fileName)
{
    logPrintf("on_ImageInFileQueued %s", fileName.toUtf8().constData());
    sendToMainApp<cmdImageInFile>({id, fileName});
}

void pelirandApp::on_ImageFailed(int nPage, QString sWhy)
{
    logPrintf("image of page %1i failed: %s", nPage, sWhy.toUtf8().constData());
    sendToMainApp<cmdImageFailed>({nPage, sWhy});
}
