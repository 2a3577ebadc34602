#ifndef PELIRAND_SOURCES_KIT_APPBUFFER_H
#define PELIRAND_SOURCES_KIT_APPBUFFER_H

// The application's buffer of a memory or memory-file transfer
// (TW_IMAGEMEMXFER.Memory), locked for one call and unlocked when it ends.
//
// A pointer is taken as it is; a handle is locked through memory.h (the DSM's
// functions or global memory). A handle's own size bounds what is written,
// whatever Length claims; when the size cannot be known (a DSM block whose
// handle is not its address) Length is taken. A buffer without memory, of
// length 0, or marked TWMF_DSOWNS is unusable: data() is null and the call
// answers TWCC_BADVALUE. One call's object, on the calling thread.

#include "twain/twain.h"

#include <cstddef>
#include <cstdint>

namespace dskit {

class AppBuffer
{
public:
    explicit AppBuffer(const TW_MEMORY& memory);
    ~AppBuffer();
    AppBuffer(const AppBuffer&) = delete;
    AppBuffer& operator=(const AppBuffer&) = delete;

    std::uint8_t* data() const { return m_data; }
    std::size_t capacity() const { return m_capacity; }

private:
    TW_HANDLE m_handle = nullptr; // locked here, unlocked at the end of the call
    std::uint8_t* m_data = nullptr;
    std::size_t m_capacity = 0;
};

} // namespace dskit

#endif // PELIRAND_SOURCES_KIT_APPBUFFER_H
