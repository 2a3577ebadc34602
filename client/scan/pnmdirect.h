#pragma once

// A delivered page into a PNM file straight from its rows: the bitmaps that
// scanners deliver most (black and white, 8-bit grey, 24-bit colour) need no
// decoded copy of the page, which for an A4 colour page at 600 dpi is 140 MB
// and most of the time pelirand-scan spends on it.

#include <QSize>
#include <QString>

#include "pelirand/image.h"

namespace pelirand {

// True for an uncompressed DIB or BMP file whose rows a PNM file takes as
// they are: 1 bit with a black and a white entry, 8 bits with the identity
// grey table, 24 bits; and whose rows the block holds whole. Anything else
// (palettes, 16 bits, odd headers, no resolution) is decoded as before.
bool canWritePnmDirectly(const Image& image);

// Writes such an image as P4, P5 or P6 with the resolution comment
// writePageFile puts in: the same bytes, written through a temporary file so
// that a failed write leaves nothing behind. False with pError set on failure.
bool writePnmDirectly(const Image& image, const QString& sFileName, QString* pError, QSize* pSize = nullptr);

} // namespace pelirand
