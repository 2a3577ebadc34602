#pragma once

// One image the bridge delivered, as the main application holds it once the
// library has taken the file over, and what it takes to make a proper image
// file of it.

#include <QByteArray>
#include <QImage>
#include <QMetaType>
#include <QString>

#include <memory>

#include "pelirand/global.h"

namespace pelirand {

// A delivered file mapped into memory, read-only.
class ImageFileMapping;

struct PELIRAND_EXPORT Image
{
    // -1: a DIB the bridge wrote without file header (a native image, or
    // uncompressed memory strips), its height's sign inverted; 0: a file a
    // source wrote; -2: an image file the bridge made (BMP, TIFF, JPEG...).
    int id = 0;
    // The name the bridge reported. A temporary file is gone once the signal
    // that carries the image has returned.
    QString fileName;
    bool temporary = false;
    // 1 for the first image of a batch.
    int index = 0;
    // ICAP_XFERMECH of the batch.
    quint16 mechanism = 0;
    // The file's bytes, unless the session mapped the file instead of reading
    // it (TwainSession::setMapImages): then data is empty and bytes() has them.
    // A mapped page is a private copy of the file taken when it arrived: the
    // file may be truncated, rewritten or removed afterwards without changing
    // the page or ending the application.
    QByteArray data;
    // Why the file could not be read; data is empty then.
    QString error;

    bool isDib() const { return id == -1; }
    bool isValid() const { return error.isEmpty() && byteCount() > 0; }

    // The file's bytes, from data or from the mapping, without a copy. The
    // array refers to the mapping: it is valid while this Image or a copy of
    // it lives. Keep the Image (copies share the mapping), or copy the bytes
    // (QByteArray(bytes().constData(), bytes().size())) to keep them longer.
    QByteArray bytes() const;
    qint64 byteCount() const;
    // Lets this process's memory go of bytes of a mapped file at [p, p + byteCount)
    // (whole pages around them) once they were read, so that a large page is
    // never resident at once: the file keeps them, and they are read again
    // from it if needed. Nothing when data holds the bytes, or for bytes that
    // are not the mapping's.
    void releaseBytes(const char* p, qint64 byteCount) const;

    // A file a viewer opens: a DIB becomes a BMP file (its rows' order
    // restored, a file header in front); any other file is returned as it came.
    QByteArray fileBytes(QString* error = nullptr) const;
    // "bmp", "png", "jpg", "tif" or "" by the file's first bytes.
    QString fileFormat() const;
    // The decoded image (Qt's image readers), null with error set if it cannot be decoded.
    QImage toQImage(QString* error = nullptr) const;

    // The mapped file, shared by every copy of this Image (null when data holds the bytes).
    std::shared_ptr<const ImageFileMapping> mapping;
};

// A DIB as the bridge delivers it, made a BMP file. Checks that the header,
// colour table and rows fit in the block; empty with error set otherwise.
PELIRAND_EXPORT QByteArray dibToBmp(const QByteArray& dib, QString* error = nullptr);

// Writes an image as "png" or "bmp". A BMP that arrived as one is written as
// it came, a DIB with a file header in front (no copy of its pixels);
// everything else goes through QImage.
PELIRAND_EXPORT bool writeImageFile(const Image& image, const QString& fileName, const QString& format, QString* error,
                    QSize* size = nullptr);

} // namespace pelirand

Q_DECLARE_METATYPE(pelirand::Image)
