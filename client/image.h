#pragma once

// One image the bridge delivered, as the main application holds it once the
// library has taken the file over, and what it takes to make a proper image
// file of it.

#include <QByteArray>
#include <QImage>
#include <QMetaType>
#include <QString>

namespace pelirand {

struct Image
{
    // -1: a DIB the bridge wrote without file header (a native image, or
    // uncompressed memory strips), its height's sign inverted; 0: a file a
    // source wrote; -2: an image file the bridge made (BMP, TIFF, JPEG...).
    int iId = 0;
    // The name the bridge reported. A temporary file is gone once the signal
    // that carries the image has returned.
    QString sFileName;
    bool bTemporary = false;
    // 1 for the first image of a batch.
    int iIndex = 0;
    // ICAP_XFERMECH of the batch.
    quint16 mechanism = 0;
    // The file's bytes.
    QByteArray data;
    // Why the file could not be read; data is empty then.
    QString sError;

    bool isDib() const { return iId == -1; }
    bool isValid() const { return sError.isEmpty() && !data.isEmpty(); }

    // A file a viewer opens: a DIB becomes a BMP file (its rows' order
    // restored, a file header in front); any other file is returned as it came.
    QByteArray fileBytes(QString* pError = nullptr) const;
    // "bmp", "png", "jpg", "tif" or "" by the file's first bytes.
    QString fileFormat() const;
    // The decoded image (Qt's image readers), null with pError set if it cannot be decoded.
    QImage toQImage(QString* pError = nullptr) const;
};

// A DIB as the bridge delivers it, made a BMP file. Checks that the header,
// colour table and rows fit in the block; empty with pError set otherwise.
QByteArray dibToBmp(const QByteArray& dib, QString* pError = nullptr);

// Writes an image as "png" or "bmp". A BMP that arrived as one is written as
// it came; everything else goes through QImage.
bool writeImageFile(const Image& image, const QString& sFileName, const QString& sFormat, QString* pError,
                    QSize* pSize = nullptr);

} // namespace pelirand

Q_DECLARE_METATYPE(pelirand::Image)
