#include "sources/kit/appbuffer.h"

#include "sources/kit/memory.h"

#include <algorithm>

namespace dskit {

AppBuffer::AppBuffer(const TW_MEMORY& memory)
{
    if (!memory.TheMem || memory.Length == 0 || (memory.Flags & TWMF_DSOWNS))
        return;
    m_capacity = memory.Length;
    if (!(memory.Flags & TWMF_HANDLE)) {
        m_data = static_cast<std::uint8_t*>(memory.TheMem);
        return;
    }
    m_data = static_cast<std::uint8_t*>(memLock(memory.TheMem));
    if (!m_data)
        return;
    m_handle = memory.TheMem;
    const std::size_t size = memSize(m_handle);
    if (size)
        m_capacity = std::min<std::size_t>(m_capacity, size);
}

AppBuffer::~AppBuffer()
{
    if (m_handle)
        memUnlock(m_handle);
}

} // namespace dskit
