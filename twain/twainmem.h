#pragma once

// Global memory for capability containers and images. The DSM's own memory
// functions run when the entry-point record holds them, Win32 global memory
// otherwise.

#include "twain/twain.h"

// Fixed, zero-initialised memory; null when none is left.
TW_HANDLE DSMAlloc(TW_UINT32 nSize);
// Null on success, as GlobalFree answers.
TW_HANDLE DSMFree(TW_HANDLE hMem);
TW_MEMREF DSMLock(TW_HANDLE hMem);
void DSMUnlock(TW_HANDLE hMem);
