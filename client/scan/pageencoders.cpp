#include "client/scan/pageencoders.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>
#include <png.h>
#include <zlib.h>

namespace pelirand {

ByteSink::~ByteSink() = default;

namespace {

bool fail(QString* pError, const QString& sWhy)
{
    if (pError)
        *pError = sWhy;
    return false;
}

// Dots per metre as a QImage of the page says them.
int dotsPerMeter(double dpi)
{
    return dpi > 0 && dpi < 1e6 ? int(std::lround(dpi / 0.0254)) : 0;
}

// A black-and-white row (1 for black) as grey samples of 0 and 255.
void expandBits(const uchar* pBits, int iWidth, uchar* pGrey)
{
    for (int x = 0; x < iWidth; ++x)
        pGrey[x] = (pBits[x >> 3] & (0x80 >> (x & 7))) ? 0 : 255;
}

// --- PNG ------------------------------------------------------------------------

struct PngState
{
    ByteSink* pSink = nullptr;
    bool bSinkFailed = false;
    char message[200] = {};
};

extern "C" void pngWrite(png_structp png, png_bytep pData, png_size_t nBytes)
{
    auto* pState = static_cast<PngState*>(png_get_io_ptr(png));
    // A failed sink is noted here and seen after the row: libpng goes on harmlessly till then.
    if (!pState->bSinkFailed && !pState->pSink->write(reinterpret_cast<const char*>(pData), nBytes))
        pState->bSinkFailed = true;
}

extern "C" void pngFlush(png_structp) {}

extern "C" void pngError(png_structp png, png_const_charp pMessage)
{
    auto* pState = static_cast<PngState*>(png_get_error_ptr(png));
    std::snprintf(pState->message, sizeof(pState->message), "%s", pMessage ? pMessage : "libpng failed");
    png_longjmp(png, 1);
}

extern "C" void pngWarning(png_structp, png_const_charp) {}

// libpng's errors jump out of this frame: nothing in it has a destructor,
// and what it changes lives in the caller's.
bool pngRows(png_structp png, png_infop info, const PageRows& rows, int iLevel, uchar* pRow, PngState& state)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_write_fn(png, &state, pngWrite, pngFlush);
    png_set_compression_level(png, std::clamp(iLevel, 0, 9));
    // Fewer, larger writes.
    png_set_compression_buffer_size(png, 1 << 16);
    png_set_IHDR(png, info, png_uint_32(rows.iWidth), png_uint_32(rows.iHeight), rows.bBlackWhite ? 1 : 8,
                 rows.bRgb ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    const int iDpmX = dotsPerMeter(rows.dpiX);
    const int iDpmY = dotsPerMeter(rows.dpiY);
    if (iDpmX > 0 && iDpmY > 0)
        png_set_pHYs(png, info, png_uint_32(iDpmX), png_uint_32(iDpmY), PNG_RESOLUTION_METER);
    png_write_info(png, info);
    const qint64 nRowBytes = rows.rowBytes();
    for (int y = 0; y < rows.iHeight && !state.bSinkFailed; ++y) {
        rows.row(y, pRow);
        // PNG's 1-bit grey is 0 for black.
        if (rows.bBlackWhite) {
            for (qint64 i = 0; i < nRowBytes; ++i)
                pRow[i] = uchar(~pRow[i]);
        }
        png_write_row(png, pRow);
    }
    if (state.bSinkFailed)
        return false;
    png_write_end(png, info);
    return !state.bSinkFailed;
}

// --- JPEG -----------------------------------------------------------------------

struct JpegError
{
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

extern "C" void jpegErrorExit(j_common_ptr pInfo)
{
    auto* pError = reinterpret_cast<JpegError*>(pInfo->err);
    pInfo->err->format_message(pInfo, pError->message);
    std::longjmp(pError->jump, 1);
}

extern "C" void jpegOutputMessage(j_common_ptr) {}

constexpr std::size_t kJpegBuffer = 1 << 16;

struct JpegDestination
{
    jpeg_destination_mgr mgr;
    ByteSink* pSink = nullptr;
    bool bSinkFailed = false;
    std::vector<JOCTET> buffer;
};

extern "C" void jpegInitDestination(j_compress_ptr pInfo)
{
    auto* pDest = reinterpret_cast<JpegDestination*>(pInfo->dest);
    pDest->mgr.next_output_byte = pDest->buffer.data();
    pDest->mgr.free_in_buffer = pDest->buffer.size();
}

extern "C" boolean jpegEmptyBuffer(j_compress_ptr pInfo)
{
    auto* pDest = reinterpret_cast<JpegDestination*>(pInfo->dest);
    if (!pDest->bSinkFailed &&
        !pDest->pSink->write(reinterpret_cast<const char*>(pDest->buffer.data()), pDest->buffer.size()))
        pDest->bSinkFailed = true;
    pDest->mgr.next_output_byte = pDest->buffer.data();
    pDest->mgr.free_in_buffer = pDest->buffer.size();
    return TRUE;
}

extern "C" void jpegTermDestination(j_compress_ptr pInfo)
{
    auto* pDest = reinterpret_cast<JpegDestination*>(pInfo->dest);
    const std::size_t nBytes = pDest->buffer.size() - pDest->mgr.free_in_buffer;
    if (!pDest->bSinkFailed && nBytes > 0 &&
        !pDest->pSink->write(reinterpret_cast<const char*>(pDest->buffer.data()), nBytes))
        pDest->bSinkFailed = true;
}

// libjpeg's errors jump out of this frame: nothing in it has a destructor.
bool jpegRows(jpeg_compress_struct& info, JpegError& error, JpegDestination& dest, const PageRows& rows,
              int iQuality, uchar* pRow, uchar* pGrey)
{
    if (setjmp(error.jump))
        return false;
    jpeg_create_compress(&info);
    info.dest = &dest.mgr;
    info.image_width = JDIMENSION(rows.iWidth);
    info.image_height = JDIMENSION(rows.iHeight);
    info.input_components = rows.bRgb ? 3 : 1;
    info.in_color_space = rows.bRgb ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    // The density as whole dots per inch, as Qt's writer puts it.
    info.density_unit = 1;
    info.X_density = UINT16(std::max(1L, std::lround(dotsPerMeter(rows.dpiX) * 0.0254)));
    info.Y_density = UINT16(std::max(1L, std::lround(dotsPerMeter(rows.dpiY) * 0.0254)));
    jpeg_set_quality(&info, std::clamp(iQuality, 1, 100), TRUE);
    jpeg_start_compress(&info, TRUE);
    for (int y = 0; y < rows.iHeight && !dest.bSinkFailed; ++y) {
        rows.row(y, pRow);
        JSAMPROW pSamples = pRow;
        if (rows.bBlackWhite) {
            expandBits(pRow, rows.iWidth, pGrey);
            pSamples = pGrey;
        }
        jpeg_write_scanlines(&info, &pSamples, 1);
    }
    if (dest.bSinkFailed)
        return false;
    jpeg_finish_compress(&info);
    return !dest.bSinkFailed;
}

} // namespace

bool encodePng(const PageRows& rows, int iLevel, ByteSink& sink, QString* pError)
{
    if (rows.iWidth <= 0 || rows.iHeight <= 0 || !rows.row)
        return fail(pError, QStringLiteral("no page to code as PNG"));
    std::vector<uchar> row(size_t(rows.rowBytes()));
    PngState state;
    state.pSink = &sink;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, pngError, pngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    const bool bOk = png && info && pngRows(png, info, rows, iLevel, row.data(), state);
    png_destroy_write_struct(png ? &png : nullptr, info ? &info : nullptr);
    if (bOk)
        return true;
    return fail(pError, state.bSinkFailed ? QString()
                                          : QStringLiteral("libpng: %1").arg(QString::fromLocal8Bit(
                                                state.message[0] ? state.message : "out of memory")));
}

bool encodeJpeg(const PageRows& rows, int iQuality, ByteSink& sink, QString* pError)
{
    if (rows.iWidth <= 0 || rows.iHeight <= 0 || !rows.row)
        return fail(pError, QStringLiteral("no page to code as JPEG"));
    if (rows.iWidth > JPEG_MAX_DIMENSION || rows.iHeight > JPEG_MAX_DIMENSION)
        return fail(pError, QStringLiteral("a JPEG file holds at most %1 pixels a side").arg(JPEG_MAX_DIMENSION));
    std::vector<uchar> row(size_t(rows.rowBytes()));
    std::vector<uchar> grey(rows.bBlackWhite ? size_t(rows.iWidth) : 0);
    jpeg_compress_struct info{};
    JpegError error{};
    info.err = jpeg_std_error(&error.mgr);
    error.mgr.error_exit = jpegErrorExit;
    error.mgr.output_message = jpegOutputMessage;
    JpegDestination dest{};
    dest.pSink = &sink;
    dest.buffer.resize(kJpegBuffer);
    dest.mgr.init_destination = jpegInitDestination;
    dest.mgr.empty_output_buffer = jpegEmptyBuffer;
    dest.mgr.term_destination = jpegTermDestination;
    const bool bOk = jpegRows(info, error, dest, rows, iQuality, row.data(), grey.data());
    jpeg_destroy_compress(&info);
    if (bOk)
        return true;
    return fail(pError, dest.bSinkFailed ? QString()
                                         : QStringLiteral("libjpeg: %1").arg(QString::fromLocal8Bit(error.message)));
}

// --- zlib ---------------------------------------------------------------------------

struct FlateWriter::Private
{
    ByteSink& sink;
    z_stream stream{};
    bool bOpen = false;
    bool bFailed = false;
    std::vector<Bytef> out = std::vector<Bytef>(1 << 16);

    explicit Private(ByteSink& s) : sink(s) {}

    // Runs deflate with flush until it wants more input (or, finishing, until the end).
    bool pump(int iFlush)
    {
        for (;;) {
            stream.next_out = out.data();
            stream.avail_out = uInt(out.size());
            const int rc = deflate(&stream, iFlush);
            if (rc == Z_STREAM_ERROR)
                return false;
            const std::size_t nMade = out.size() - stream.avail_out;
            if (nMade > 0 && !sink.write(reinterpret_cast<const char*>(out.data()), nMade))
                return false;
            if (iFlush == Z_FINISH ? rc == Z_STREAM_END : stream.avail_out != 0)
                return true;
        }
    }
};

FlateWriter::FlateWriter(ByteSink& sink, int iLevel) : d(new Private(sink))
{
    d->bOpen = deflateInit(&d->stream, std::clamp(iLevel, 0, 9)) == Z_OK;
    d->bFailed = !d->bOpen;
}

FlateWriter::~FlateWriter()
{
    if (d->bOpen)
        deflateEnd(&d->stream);
}

bool FlateWriter::put(const void* p, std::size_t nBytes)
{
    const Bytef* pIn = static_cast<const Bytef*>(p);
    // zlib counts in uInt: large inputs go in pieces.
    while (!d->bFailed && nBytes > 0) {
        const std::size_t nPiece = std::min<std::size_t>(nBytes, 1u << 30);
        d->stream.next_in = const_cast<Bytef*>(pIn);
        d->stream.avail_in = uInt(nPiece);
        d->bFailed = !d->pump(Z_NO_FLUSH);
        pIn += nPiece;
        nBytes -= nPiece;
    }
    return !d->bFailed;
}

bool FlateWriter::finish()
{
    if (!d->bFailed) {
        d->stream.next_in = nullptr;
        d->stream.avail_in = 0;
        d->bFailed = !d->pump(Z_FINISH);
    }
    return !d->bFailed;
}

} // namespace pelirand
