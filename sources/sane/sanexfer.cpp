// The SANE source's four transfers (native, file, memory, memory file) and
// its image information: lines from the page queue, encoded as DIB, BMP or
// TIFF (saneimage.h).

#include "sources/sane/sanesource.h"

#include "sources/sane/sanecaps.h"

#include "sources/kit/appbuffer.h"
#include "sources/kit/memory.h"
#include "sources/kit/units.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

namespace sanesource {

using dskit::AppBuffer;
using dskit::toFix32;

namespace {

constexpr std::size_t kPreferredBlock = 1024 * 1024; // DAT_SETUPMEMXFER's Preferred

} // namespace

// ---------------------------------------------------------------------------
// Transfers

SaneSource::Result SaneSource::setupMemXfer(TW_SETUPMEMXFER& setup)
{
    std::size_t row = 0;
    std::shared_ptr<Page> page = state() == 6 ? frontPage() : nullptr;
    if (page && page->startStatus == SANE_STATUS_GOOD) {
        row = rowBytes(page->shape);
    } else if (m_dev.paramsValid) {
        ImageShape shape;
        shape.width = m_dev.params.pixels_per_line;
        const TW_UINT16 type = currentPixelType(m_dev);
        const int depth = m_dev.params.depth;
        shape.kind = type == TWPT_BW    ? PixelKind::Bw
                     : type == TWPT_RGB ? (depth == 16 ? PixelKind::Rgb48 : PixelKind::Rgb24)
                                        : (depth == 16 ? PixelKind::Gray16 : PixelKind::Gray8);
        row = rowBytes(shape);
    }
    row = std::max<std::size_t>(row, 1);
    setup.MinBufSize = static_cast<TW_UINT32>(row);
    setup.MaxBufSize = static_cast<TW_UINT32>(std::max<std::size_t>(row, 64u * 1024 * 1024));
    setup.Preferred = static_cast<TW_UINT32>(std::max<std::size_t>(1, kPreferredBlock / row) * row);
    return {TWRC_SUCCESS, TWCC_SUCCESS};
}

SaneSource::Result SaneSource::imageInfo(TW_IMAGEINFO& info)
{
    std::shared_ptr<Page> page = frontPage();
    if (!page)
        return {TWRC_FAILURE, TWCC_SEQERROR};
    if (page->startStatus != SANE_STATUS_GOOD)
        return pageStartFailure(*page);
    std::int32_t length = page->params.lines;
    if (length < 0) {
        if (!m_undefinedSize || page->done) {
            // The application needs the length before the transfer: take the
            // whole page first.
            std::unique_lock<std::mutex> lock(m_q);
            page->unbounded = true;
            m_qChanged.notify_all();
            if (!awaitData(lock, *page, [&] { return page->ended; })) {
                lock.unlock();
                return pageFailure(*page);
            }
            length = page->lines();
            if (page->done)
                length = page->rowsOut;
        }
    }
    std::memset(&info, 0, sizeof info);
    const double f = dskit::resolutionFactor(m_units);
    info.XResolution = toFix32(page->shape.xdpi / f);
    info.YResolution = toFix32(page->shape.ydpi / f);
    info.ImageWidth = page->shape.width;
    info.ImageLength = length;
    const PixelKind kind = page->shape.kind;
    info.SamplesPerPixel = static_cast<TW_INT16>(samplesPerPixel(kind));
    for (int i = 0; i < info.SamplesPerPixel; ++i)
        info.BitsPerSample[i] = static_cast<TW_INT16>(bitsPerSample(kind));
    info.BitsPerPixel = static_cast<TW_INT16>(bitsPerPixel(kind));
    info.Planar = FALSE;
    info.PixelType = static_cast<TW_INT16>(pixelType(kind));
    info.Compression = TWCP_NONE;
    return {TWRC_SUCCESS, TWCC_SUCCESS};
}

TW_HANDLE SaneSource::allocate(std::size_t size)
{
    return dskit::memAllocate(size, true, false);
}

void* SaneSource::lock(TW_HANDLE h)
{
    return dskit::memLock(h);
}

void SaneSource::unlock(TW_HANDLE h)
{
    dskit::memUnlock(h);
}

void SaneSource::release(TW_HANDLE h)
{
    dskit::memFree(h);
}

bool SaneSource::transferPage(std::shared_ptr<Page>& page, Result& refusal)
{
    page = frontPage();
    if (!page) {
        refusal = {TWRC_FAILURE, TWCC_SEQERROR};
        return false;
    }
    if (page->startStatus != SANE_STATUS_GOOD) {
        refusal = pageStartFailure(*page);
        return false;
    }
    return true;
}

bool SaneSource::transferUnderway()
{
    // Memory transfers go on in state 7, with the page they began.
    std::lock_guard<std::mutex> lock(m_q);
    return !m_pages.empty() && m_pages.front()->transferring && !m_pages.front()->done;
}

bool SaneSource::pageCompleted(Page& page, bool allTaken)
{
    std::unique_lock<std::mutex> lock(m_q);
    awaitData(lock, page, [&] { return page.ended; });
    return page.complete() && (!allTaken || page.queued == 0);
}

SaneSource::Result SaneSource::nativeXfer(TW_HANDLE& image)
{
    std::shared_ptr<Page> page;
    Result refusal = Result::success();
    if (!transferPage(page, refusal))
        return refusal;
    Page& pg = *page;
    const ImageShape& shape = pg.shape;
    std::vector<std::uint8_t> line(static_cast<std::size_t>(pg.params.bytes_per_line));
    std::vector<std::uint8_t> row(rowBytes(shape));
    const std::size_t stride = dibRowBytes(shape);
    TW_HANDLE h = nullptr;
    setState(7);
    pg.transferring = true;
    if (shape.height >= 0) {
        // Rows go straight into their place, bottom-up.
        const std::vector<std::uint8_t> header = dibHeader(shape, shape.height);
        // Announced by the device: a size this machine cannot address is no memory to ask for.
        const std::uint64_t size =
            header.size() + static_cast<std::uint64_t>(stride) * static_cast<std::uint64_t>(shape.height);
        h = size <= std::numeric_limits<std::size_t>::max() / 2 ? allocate(static_cast<std::size_t>(size))
                                                                : nullptr;
        std::uint8_t* p = h ? static_cast<std::uint8_t*>(lock(h)) : nullptr;
        if (!p) {
            if (h)
                release(h);
            pageFailure(pg);
            setState(6);
            return {TWRC_FAILURE, TWCC_LOWMEMORY};
        }
        std::memcpy(p, header.data(), header.size());
        for (std::int32_t y = 0; y < shape.height; ++y) {
            if (!readLine(pg, line.data())) {
                unlock(h);
                release(h);
                return pageFailure(pg);
            }
            fromSane(shape, line.data(), row.data());
            toDibRow(shape, row.data(),
                     p + header.size() + stride * static_cast<std::size_t>(shape.height - 1 - y));
        }
        unlock(h);
    } else {
        std::vector<std::uint8_t> rows;
        std::int32_t n = 0;
        while (readLine(pg, line.data())) {
            fromSane(shape, line.data(), row.data());
            rows.resize(rows.size() + stride);
            toDibRow(shape, row.data(), rows.data() + rows.size() - stride);
            ++n;
        }
        std::unique_lock<std::mutex> lock0(m_q);
        const bool ok = pg.complete();
        lock0.unlock();
        if (!ok || n == 0)
            return pageFailure(pg);
        const std::vector<std::uint8_t> header = dibHeader(shape, n);
        h = allocate(header.size() + rows.size());
        std::uint8_t* p = h ? static_cast<std::uint8_t*>(lock(h)) : nullptr;
        if (!p) {
            if (h)
                release(h);
            pageFailure(pg);
            return {TWRC_FAILURE, TWCC_LOWMEMORY};
        }
        std::memcpy(p, header.data(), header.size());
        for (std::int32_t y = 0; y < n; ++y)
            std::memcpy(p + header.size() + stride * static_cast<std::size_t>(y),
                        rows.data() + stride * static_cast<std::size_t>(n - 1 - y), stride);
        unlock(h);
        pg.rowsOut = n;
    }
    if (!pageCompleted(pg)) {
        release(h);
        return pageFailure(pg);
    }
    if (shape.height >= 0)
        pg.rowsOut = shape.height;
    pg.done = true;
    image = h;
    return {TWRC_XFERDONE, TWCC_SUCCESS};
}

SaneSource::Result SaneSource::fileXfer()
{
    std::shared_ptr<Page> page;
    Result refusal = Result::success();
    if (!transferPage(page, refusal))
        return refusal;
    Page& pg = *page;
    const ImageShape shape = pg.shape;
    std::vector<std::uint8_t> line(static_cast<std::size_t>(pg.params.bytes_per_line));
    std::vector<std::uint8_t> row(rowBytes(shape));
    setState(7);
    pg.transferring = true;
    bool written = true;
    std::int32_t rows = 0;
    auto drain = [&](const std::function<bool()>& writeRow) {
        while ((shape.height < 0 || rows < shape.height) && readLine(pg, line.data())) {
            fromSane(shape, line.data(), row.data());
            if (written && !writeRow())
                written = false;
            ++rows;
        }
    };
    if (m_fileFormat == TWFF_TIFF) {
        TiffWriter tiff;
        written = tiff.openFile(fileName(), shape);
        drain([&] { return tiff.writeRow(row.data()); });
        written = tiff.finish() && written;
    } else {
        std::FILE* file = std::fopen(fileName().c_str(), "wb");
        written = file != nullptr;
        BmpWriter bmp(shape);
        if (file) {
            const std::vector<std::uint8_t> header = bmp.header();
            written = std::fwrite(header.data(), 1, header.size(), file) == header.size();
            drain([&] {
                const std::vector<std::uint8_t> out = bmp.row(row.data());
                return std::fwrite(out.data(), 1, out.size(), file) == out.size();
            });
            if (written && shape.height < 0) {
                const std::vector<std::uint8_t> fin = bmp.finalHeader(rows);
                written = std::fseek(file, 0, SEEK_SET) == 0 &&
                          std::fwrite(fin.data(), 1, fin.size(), file) == fin.size();
            }
            if (std::fclose(file) != 0)
                written = false;
        } else {
            drain([] { return true; });
        }
    }
    const bool complete = pageCompleted(pg);
    if (!complete || !written)
        std::remove(fileName().c_str()); // a partial page is no page
    if (!complete)
        return pageFailure(pg);
    pg.done = true;
    pg.rowsOut = rows;
    if (!written) {
        log("cannot write " + fileName());
        return {TWRC_FAILURE, TWCC_FILEWRITEERROR};
    }
    return {TWRC_XFERDONE, TWCC_SUCCESS};
}

SaneSource::Result SaneSource::memXfer(TW_IMAGEMEMXFER& xfer, const AppBuffer& appBuffer)
{
    std::shared_ptr<Page> page;
    Result refusal = Result::success();
    if (!transferPage(page, refusal))
        return refusal;
    Page& pg = *page;
    std::uint8_t* const buffer = appBuffer.data();
    const std::size_t capacity = appBuffer.capacity();

    const ImageShape& shape = pg.shape;
    const std::size_t bytes = rowBytes(shape);
    if (capacity < bytes)
        return {TWRC_FAILURE, TWCC_BADVALUE};
    setState(7);
    pg.transferring = true;
    xfer.Compression = TWCP_NONE;
    xfer.BytesPerRow = static_cast<TW_UINT32>(bytes);
    xfer.Columns = static_cast<TW_UINT32>(shape.width);
    xfer.XOffset = 0;
    xfer.YOffset = static_cast<TW_UINT32>(pg.rowsOut);
    xfer.Rows = 0;
    xfer.BytesWritten = 0;

    std::vector<std::uint8_t> line(static_cast<std::size_t>(pg.params.bytes_per_line));
    const std::size_t fit = capacity / bytes;
    std::size_t rows = 0;
    bool ran = false; // the data ended before the strip was full
    while (rows < fit && (shape.height < 0 || pg.rowsOut < shape.height)) {
        if (!readLine(pg, line.data())) {
            ran = true;
            break;
        }
        fromSane(shape, line.data(), buffer + rows * bytes);
        ++rows;
        ++pg.rowsOut;
    }
    xfer.Rows = static_cast<TW_UINT32>(rows);
    xfer.BytesWritten = static_cast<TW_UINT32>(rows * bytes);
    if (!ran && moreData(pg))
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    const bool complete = pageCompleted(pg, true);
    if (!complete) {
        xfer.Rows = 0;
        xfer.BytesWritten = 0;
        return pageFailure(pg);
    }
    pg.done = true;
    return {TWRC_XFERDONE, TWCC_SUCCESS};
}

SaneSource::Result SaneSource::memFileXfer(TW_IMAGEMEMXFER& xfer, const AppBuffer& appBuffer)
{
    std::shared_ptr<Page> page;
    Result refusal = Result::success();
    if (!transferPage(page, refusal))
        return refusal;
    Page& pg = *page;
    std::uint8_t* const buffer = appBuffer.data();
    const std::size_t capacity = appBuffer.capacity();

    const ImageShape& shape = pg.shape;
    std::vector<std::uint8_t> line(static_cast<std::size_t>(pg.params.bytes_per_line));
    std::vector<std::uint8_t> row(rowBytes(shape));
    if (state() == 6) {
        setState(7);
        pg.transferring = true;
        // A BMP of known height goes out as the rows come; otherwise the
        // whole file is made first, since its header needs the final size.
        pg.streamWhole = m_fileFormat == TWFF_TIFF || shape.height < 0;
        if (pg.streamWhole) {
            std::int32_t rows = 0;
            if (m_fileFormat == TWFF_TIFF) {
                TiffWriter tiff;
                bool ok = tiff.openMemory(shape);
                while ((shape.height < 0 || rows < shape.height) && readLine(pg, line.data())) {
                    fromSane(shape, line.data(), row.data());
                    ok = tiff.writeRow(row.data()) && ok;
                    ++rows;
                }
                ok = tiff.finish() && ok;
                pg.stream = tiff.bytes();
                if (!ok)
                    pg.stream.clear();
            } else {
                BmpWriter bmp(shape);
                pg.stream = bmp.header();
                while (readLine(pg, line.data())) {
                    fromSane(shape, line.data(), row.data());
                    const std::vector<std::uint8_t> out = bmp.row(row.data());
                    pg.stream.insert(pg.stream.end(), out.begin(), out.end());
                    ++rows;
                }
                const std::vector<std::uint8_t> fin = bmp.finalHeader(rows);
                std::copy(fin.begin(), fin.end(), pg.stream.begin());
            }
            pg.rowsOut = rows;
            if (!pageCompleted(pg))
                return pageFailure(pg);
            if (pg.stream.empty())
                return {TWRC_FAILURE, TWCC_LOWMEMORY};
        } else {
            pg.stream = BmpWriter(shape).header();
        }
        pg.streamOffset = 0;
    }
    std::size_t written = 0;
    BmpWriter bmp(shape);
    while (written < capacity) {
        if (pg.streamOffset == pg.stream.size()) {
            pg.stream.clear();
            pg.streamOffset = 0;
            if (pg.streamWhole || pg.rowsOut >= shape.height)
                break;
            if (!readLine(pg, line.data())) {
                xfer.BytesWritten = 0;
                return pageFailure(pg);
            }
            fromSane(shape, line.data(), row.data());
            pg.stream = bmp.row(row.data());
            ++pg.rowsOut;
        }
        const std::size_t n = std::min(capacity - written, pg.stream.size() - pg.streamOffset);
        std::memcpy(buffer + written, pg.stream.data() + pg.streamOffset, n);
        written += n;
        pg.streamOffset += n;
    }
    xfer.Compression = TWCP_NONE;
    xfer.BytesPerRow = static_cast<TW_UINT32>(dibRowBytes(shape));
    xfer.Columns = static_cast<TW_UINT32>(shape.width);
    xfer.Rows = static_cast<TW_UINT32>(std::max(0, shape.height));
    xfer.XOffset = 0;
    xfer.YOffset = 0;
    xfer.BytesWritten = static_cast<TW_UINT32>(written);
    const bool last = pg.streamOffset == pg.stream.size() && (pg.streamWhole || pg.rowsOut >= shape.height);
    if (!last)
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    const bool complete = pageCompleted(pg);
    if (!complete) {
        xfer.BytesWritten = 0;
        return pageFailure(pg);
    }
    pg.done = true;
    return {TWRC_XFERDONE, TWCC_SUCCESS};
}

} // namespace sanesource
