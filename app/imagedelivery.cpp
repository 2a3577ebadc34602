// Image delivery: every image reaches the main application as a file name.

#include "app/pelirandapp.h"

#include <QMetaObject>
#include <QTemporaryFile>

#include "app/commandcodes.h"
#include "diag/log.h"

void pelirandApp::on_ImageInMemory(void* hImage, int size, bool& bFree)
{
    Q_UNUSED(bFree);
    logPrintf("on_ImageInMemory,, size=%1i", size);

    // In the bridge's private folder, where one was made.
    QTemporaryFile file;
    if (m_tempFolder.isValid())
        file.setFileTemplate(m_tempFolder.fileTemplate());
    logPrintf("creating file");
    if (!file.open()) {
        logPrintf("cannot create temporary file");
        return;
    }

    // Never read past the block, whatever size the engine reports.
    const qint64 nBlock = static_cast<qint64>(GlobalSize(hImage));
    const qint64 nWrite = qBound<qint64>(0, size, nBlock);
    const void* pImage = GlobalLock(hImage);
    if (!pImage) {
        logPrintf("cannot lock image memory");
        return; // the temporary file is removed with the object
    }
    file.write(static_cast<const char*>(pImage), nWrite);
    file.setAutoRemove(false);
    file.close();
    GlobalUnlock(hImage);

    logPrintf("file created");
    const QString fileName = file.fileName();
    logPrintf("on_ImageInFileQueued %s", fileName.toUtf8().constData());
    sendToMainApp(cmdImageInFile, {QVariant(-1), QVariant(fileName)});
}

void pelirandApp::on_ImageInFile(int id, QString fileName)
{
    logPrintf("on_ImageInFile %s", fileName.toUtf8().constData());
    // The id says what the file is: 0 a file the source wrote, -2 an image
    // file the bridge made (a native TIFF).
    QMetaObject::invokeMethod(this, "on_ImageInFileQueued", Qt::QueuedConnection, Q_ARG(int, id),
                              Q_ARG(QString, fileName));
}

void pelirandApp::on_ImageInFileQueued(int id, QString fileName)
{
    logPrintf("on_ImageInFileQueued %s", fileName.toUtf8().constData());
    sendToMainApp(cmdImageInFile, {QVariant(id), QVariant(fileName)});
}
