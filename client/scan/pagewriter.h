#pragma once

// Scanned pages into files as people keep them: one file per page (PNG, BMP,
// PNM, JPEG) or every page of a run in one document (PDF, multi-page TIFF).
// Each keeps the page's resolution; PNG, PNM, TIFF and PDF keep 16-bit
// samples. PDF pages are embedded as CCITT Group 4 (black and white), JPEG
// (grey and colour) or Flate (palette, 16 bits, or lossless by choice); TIFF
// pages are Group 4 (black and white) or Deflate.

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

#include "pelirand/image.h"

namespace pelirand {

// The formats, by the names pelirand-scan takes: png, bmp, pnm, jpeg, tiff, pdf.
QStringList pageFormatNames();
// "jpg" for jpeg, "tif" for tiff, the name otherwise.
QString pageFormatExtension(const QString& sFormat);
// PDF and TIFF hold every page of a run; the others one page a file.
bool isMultiPageFormat(const QString& sFormat);

// How grey and colour pages are compressed where it is lossy (JPEG pages,
// and PDF pages): 1 to 100, or 0 for lossless (Flate in a PDF).
constexpr int kDefaultJpegQuality = 85;

// A page given row by row, top row first, without a decoded image: 8-bit
// grey or 8-bit RGB samples without padding, or black and white, a bit a
// pixel, the leftmost in the top bit, 1 for black (unused bits of a row's
// last byte are 0).
struct PageRows
{
    int iWidth = 0;
    int iHeight = 0;
    bool bRgb = false;
    bool bBlackWhite = false;
    // Dots per inch (72 when the page holds none), as a QImage of it would say.
    double dpiX = 72;
    double dpiY = 72;
    // Fills row iRow: iWidth (grey), 3 * iWidth (RGB) or (iWidth + 7) / 8
    // (black and white) bytes at pOut.
    std::function<void(int iRow, uchar* pOut)> row;

    // Bytes in a row.
    qint64 rowBytes() const { return bBlackWhite ? (qint64(iWidth) + 7) / 8 : qint64(iWidth) * (bRgb ? 3 : 1); }
};

// The rows of a delivered page that needs no conversion to be written: an
// uncompressed DIB or BMP file of 24-bit colour, 8-bit grey with the
// identity grey table or 1 bit with a black and a white entry, whose rows
// its bytes hold whole. The rows read the
// image's bytes: valid while the image lives. False for anything else.
bool pageRowsOf(const Image& image, PageRows& rows);

// One page into a file of a one-page format, written over sFileName (a name
// the caller holds); a failed write leaves no file and names the system's reason.
bool writePageFile(const QImage& page, const QString& sFileName, const QString& sFormat, int iJpegQuality,
                   QString* pError);
// The same for a page given row by row, in "png" or "jpeg": coded as the
// rows come, the file written as the coder gives its bytes; the same file
// as writePageFile with a QImage of those pixels.
bool writePageRows(const PageRows& rows, const QString& sFileName, const QString& sFormat, int iJpegQuality,
                   QString* pError);
// PNG's zlib level, scanimage's own, and TIFF's Deflate level, the fastest:
// the trade-off measured and stated in pelirand-scan's --help.
constexpr int kPngLevel = 6;
constexpr int kTiffDeflateLevel = 1;

// A document of several pages, written as pages come into <name>.part,
// which finish() names <name>. open() creates both exclusively: it fails
// when either exists, so no run ever replaces or joins another's file. A page
// is in the document once addPage() or addRows() returned true: a write
// failure at any point (the disk full) leaves the pages before it, and
// finish() then still gives a whole document of them (or none, with the
// reason, when no page was written). Failures name the system's reason
// ("No space left on device"). A writer dropped without finish() removes both.
class MultiPageWriter
{
public:
    virtual ~MultiPageWriter();
    // "pdf" or "tiff"; null for another format.
    static std::unique_ptr<MultiPageWriter> create(const QString& sFormat, int iJpegQuality);
    virtual bool open(const QString& sFileName, QString* pError) = 0;
    virtual bool addPage(const QImage& page, QString* pError) = 0;
    // The same page given row by row: the same file as addPage with a QImage
    // of those samples, coded as the rows come.
    virtual bool addRows(const PageRows& rows, QString* pError);
    virtual bool finish(QString* pError) = 0;
    virtual int pageCount() const = 0;
};

// Every page of a TIFF file (one-page or multi-page), decoded with libtiff;
// 16-bit grey and colour stay 16 bits (Grayscale16, RGBA64). Empty with
// pError set when the bytes are not a TIFF file it can read.
QList<QImage> readTiffPages(const QByteArray& tiff, QString* pError = nullptr);

// A PNM file (P1 to P6 with a maxval up to 65535) decoded, with the
// resolution of the comment writePageFile puts in.
QImage readPnm(const QByteArray& pnm, QString* pError = nullptr);

} // namespace pelirand
