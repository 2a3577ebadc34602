#include "codec/tiffstream.h"

#include <cstdio>
#include <cstring>
#include <limits>

namespace codec {

TIFF* TiffStream::open(const char* name, const char* mode)
{
    return TIFFClientOpen(name, mode, this, readProc, writeProc, seekProc, closeProc, sizeProc, mapProc,
                          unmapProc);
}

tmsize_t TiffStream::readProc(thandle_t h, void* buffer, tmsize_t size)
{
    if (size < 0)
        return -1;
    return static_cast<tmsize_t>(static_cast<TiffStream*>(h)->read(buffer, static_cast<std::size_t>(size)));
}

tmsize_t TiffStream::writeProc(thandle_t h, void* buffer, tmsize_t size)
{
    if (size < 0)
        return -1;
    return static_cast<tmsize_t>(static_cast<TiffStream*>(h)->write(buffer, static_cast<std::size_t>(size)));
}

toff_t TiffStream::seekProc(thandle_t h, toff_t offset, int whence)
{
    // libtiff hands negative offsets over as large unsigned ones; two's complement brings them back.
    const std::int64_t signedOffset =
        offset <= static_cast<toff_t>(std::numeric_limits<std::int64_t>::max())
            ? static_cast<std::int64_t>(offset)
            : -static_cast<std::int64_t>(~offset) - 1;
    const std::int64_t to = static_cast<TiffStream*>(h)->seek(signedOffset, whence);
    return to < 0 ? static_cast<toff_t>(-1) : static_cast<toff_t>(to);
}

int TiffStream::closeProc(thandle_t)
{
    return 0;
}

toff_t TiffStream::sizeProc(thandle_t h)
{
    return static_cast<toff_t>(static_cast<TiffStream*>(h)->size());
}

int TiffStream::mapProc(thandle_t, void**, toff_t*)
{
    return 0;
}

void TiffStream::unmapProc(thandle_t, void*, toff_t) {}

TiffMemoryFile::TiffMemoryFile(std::uint64_t maxBytes) : m_nMaxBytes(maxBytes) {}

TiffMemoryFile::TiffMemoryFile(const void* data, std::size_t size)
    : m_pView(static_cast<const unsigned char*>(data)), m_nViewSize(size), m_nMaxBytes(size)
{
}

TIFF* TiffMemoryFile::open(const char* name, const char* mode)
{
    m_position = 0;
    return TiffStream::open(name, mode);
}

const unsigned char* TiffMemoryFile::data() const
{
    return m_pView ? m_pView : m_bytes.data();
}

std::size_t TiffMemoryFile::byteCount() const
{
    return m_pView ? m_nViewSize : m_bytes.size();
}

std::int64_t TiffMemoryFile::read(void* buffer, std::size_t size)
{
    const std::uint64_t total = byteCount();
    const std::uint64_t left = m_position < total ? total - m_position : 0;
    const std::uint64_t n = size < left ? size : left;
    if (n > 0)
        std::memcpy(buffer, data() + m_position, static_cast<std::size_t>(n));
    m_position += n;
    return static_cast<std::int64_t>(n);
}

std::int64_t TiffMemoryFile::write(const void* buffer, std::size_t size)
{
    if (m_pView || size > m_nMaxBytes || m_position > m_nMaxBytes - size)
        return -1;
    const std::uint64_t end = m_position + size;
    if (end > m_bytes.size())
        m_bytes.resize(static_cast<std::size_t>(end));
    if (size > 0)
        std::memcpy(m_bytes.data() + m_position, buffer, size);
    m_position = end;
    return static_cast<std::int64_t>(size);
}

std::int64_t TiffMemoryFile::seek(std::int64_t offset, int whence)
{
    std::int64_t base = 0;
    if (whence == SEEK_CUR)
        base = static_cast<std::int64_t>(m_position);
    else if (whence == SEEK_END)
        base = static_cast<std::int64_t>(byteCount());
    else if (whence != SEEK_SET)
        return -1;
    // Anywhere from the start up to the largest size the file may have.
    const std::int64_t limit = static_cast<std::int64_t>(
        m_nMaxBytes < std::uint64_t(std::numeric_limits<std::int64_t>::max()) ? m_nMaxBytes
                                                                                : std::numeric_limits<std::int64_t>::max());
    if ((offset < 0 && base + offset < 0) || (offset > 0 && offset > limit - base))
        return -1;
    m_position = static_cast<std::uint64_t>(base + offset);
    return base + offset;
}

std::uint64_t TiffMemoryFile::size()
{
    return byteCount();
}

} // namespace codec
