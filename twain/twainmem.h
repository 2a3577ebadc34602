#pragma once

// Memory for capability containers and images. The DSM's own memory functions
// run when the entry-point record holds them (a TWAIN 2 DSM hands them out
// after MSG_OPENDSM), Win32 global memory otherwise.

#include <cstddef>

#include "platform/win32.h"
#include "twain/twain.h"

// Fixed, zero-initialised memory; null when none is left.
TW_HANDLE DSMAlloc(TW_UINT32 nSize);
// Null on success, as GlobalFree answers.
TW_HANDLE DSMFree(TW_HANDLE hMem);
TW_MEMREF DSMLock(TW_HANDLE hMem);
void DSMUnlock(TW_HANDLE hMem);

// True while the DSM's memory functions are in use: handles from the source
// or the DSM are then no Win32 global memory.
bool DSMOwnMemory();

// The bytes that may be read from a block of the current allocator: its
// GlobalSize, or for the DSM's blocks the size the system knows for them (Win32
// global memory on Windows, the C heap elsewhere). A DSM block whose size
// cannot be known (its handle is not its address, or the C library cannot tell)
// counts as 0 bytes: nothing is read from it.
std::size_t DSMSize(TW_HANDLE hMem);

// How many of a block's bytes to keep, given its bytes.
using DSMKeepFn = std::size_t (*)(const unsigned char* p, std::size_t nSize);

// A native image handed over in the DSM's memory, copied into moveable Win32
// global memory (which the image code resizes in place) and the DSM's block
// freed; pfnKeep, when given, may keep fewer bytes than the block holds. Null,
// with the DSM's block freed all the same, when it cannot be read or no
// memory is left. Without the DSM's memory functions the handle comes back as
// it is.
HGLOBAL DSMToGlobal(TW_HANDLE hMem, DSMKeepFn pfnKeep = nullptr);
