#ifndef PELIRAND_SOURCES_KIT_MEMORY_H
#define PELIRAND_SOURCES_KIT_MEMORY_H

// The memory a data source hands over and reads: through the DSM's memory
// functions once a TWAIN 2 DSM gave them (DAT_ENTRYPOINT) to a TWAIN 2
// application's session, Win32 global memory before that or with an older
// DSM or application. One choice per loaded source, made at MSG_OPENDS on the
// calling thread; any thread may allocate, lock and free afterwards.

#include <cstddef>

#include "twain/twain.h"

namespace dskit {

// The DSM's functions from now on (null, or a record without all four memory
// functions: Win32 global memory).
void useDsmMemory(const TW_ENTRYPOINT* ep);
bool dsmMemory();

// Zero-filled unless told otherwise; moveable asks for a moveable global
// block (ignored for the DSM's memory). Null without memory.
TW_HANDLE memAllocate(std::size_t size, bool moveable = true, bool zeroed = true);
void memFree(TW_HANDLE h);
void* memLock(TW_HANDLE h);
void memUnlock(TW_HANDLE h);
// The bytes the block holds; 0 when that cannot be known (a DSM block whose
// handle is not its address): such a block is not read.
std::size_t memSize(TW_HANDLE h);

} // namespace dskit

#endif // PELIRAND_SOURCES_KIT_MEMORY_H
