#pragma once

// Coders that take a page row by row (PageRows) and hand their bytes on as
// they make them: PNG (libpng), JPEG (libjpeg) and a zlib stream. None holds
// more than a row of the page and its own buffers, whatever the page's size.
//
// Not thread-safe per object; separate calls may run on separate threads.

#include <QString>

#include <cstddef>
#include <memory>

#include "client/scan/pagewriter.h"

namespace pelirand {

// Where a coder's bytes go. write() takes every byte or fails; after a
// failure the coder stops and says so (the sink keeps its own reason).
class ByteSink
{
public:
    virtual ~ByteSink();
    virtual bool write(const char* p, std::size_t nBytes) = 0;
};

// The page as a PNG file: 8-bit grey, 8-bit RGB or 1-bit grey (black and
// white), its resolution in pHYs, zlib at iLevel (0 to 9). False with
// pError set (the coder's message; empty when the sink failed).
bool encodePng(const PageRows& rows, int iLevel, ByteSink& sink, QString* pError);

// The page as a JFIF file at iQuality (1 to 100), its resolution as the
// density in dots per inch; black and white pages as grey of 0 and 255.
bool encodeJpeg(const PageRows& rows, int iQuality, ByteSink& sink, QString* pError);

// A zlib stream (PDF's FlateDecode) of the bytes put in.
class FlateWriter
{
public:
    FlateWriter(ByteSink& sink, int iLevel);
    ~FlateWriter();
    FlateWriter(const FlateWriter&) = delete;
    FlateWriter& operator=(const FlateWriter&) = delete;
    bool put(const void* p, std::size_t nBytes);
    // Ends the stream; false when anything failed.
    bool finish();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace pelirand
