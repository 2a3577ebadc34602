#ifndef PELIRAND_CODEC_TIFFSTREAM_H
#define PELIRAND_CODEC_TIFFSTREAM_H

// libtiff over something other than a named file: TiffStream hands libtiff's
// seven client procedures to four virtual calls, and TiffMemoryFile is the
// stream over bytes in memory, either the caller's (read only) or its own
// (grown by writes, readable again after a write). A TIFF opened on a stream
// keeps a pointer to it: the stream outlives the TIFF, and is used by one
// TIFF at a time. No memory mapping is offered. libtiff's message handlers
// are left to the caller.

#include <cstddef>
#include <cstdint>
#include <vector>

#include <tiffio.h>

namespace codec {

class TiffStream
{
public:
    TiffStream() = default;
    virtual ~TiffStream() = default;
    TiffStream(const TiffStream&) = delete;
    TiffStream& operator=(const TiffStream&) = delete;

    // TIFFClientOpen on this stream; null when libtiff refuses.
    TIFF* open(const char* name, const char* mode);

protected:
    // Bytes read (0 at the end) or written (all of them), -1 on failure.
    virtual std::int64_t read(void* buffer, std::size_t size) = 0;
    virtual std::int64_t write(const void* buffer, std::size_t size) = 0;
    // The new position, or -1 when it cannot be had.
    virtual std::int64_t seek(std::int64_t offset, int whence) = 0;
    virtual std::uint64_t size() = 0;

private:
    static tmsize_t readProc(thandle_t h, void* buffer, tmsize_t size);
    static tmsize_t writeProc(thandle_t h, void* buffer, tmsize_t size);
    static toff_t seekProc(thandle_t h, toff_t offset, int whence);
    static int closeProc(thandle_t h);
    static toff_t sizeProc(thandle_t h);
    static int mapProc(thandle_t h, void** base, toff_t* size);
    static void unmapProc(thandle_t h, void* base, toff_t size);
};

class TiffMemoryFile : public TiffStream
{
public:
    // An empty file of its own that writes may grow to maxBytes.
    explicit TiffMemoryFile(std::uint64_t maxBytes = kDefaultMaxBytes);
    // The caller's bytes, read only; they must outlive this file.
    TiffMemoryFile(const void* data, std::size_t size);

    static constexpr std::uint64_t kDefaultMaxBytes = 0x7FFFFFFF;

    // Opening starts at the beginning of the bytes.
    TIFF* open(const char* name, const char* mode);

    const unsigned char* data() const;
    std::size_t byteCount() const;
    // The file's own bytes (empty for a read-only file).
    std::vector<unsigned char>& bytes() { return m_bytes; }
    std::uint64_t position() const { return m_position; }

protected:
    std::int64_t read(void* buffer, std::size_t size) override;
    std::int64_t write(const void* buffer, std::size_t size) override;
    std::int64_t seek(std::int64_t offset, int whence) override;
    std::uint64_t size() override;

private:
    std::vector<unsigned char> m_bytes;
    const unsigned char* m_pView = nullptr; // the caller's bytes, or null
    std::size_t m_nViewSize = 0;
    std::uint64_t m_nMaxBytes;
    std::uint64_t m_position = 0;
};

} // namespace codec

#endif
