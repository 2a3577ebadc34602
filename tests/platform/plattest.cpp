// A small library with a Windows-style file name (plattest.dll), loaded by the
// library test from the executables' folder.

#include "platform/win32.h"

extern "C" {

__attribute__((visibility("default"))) int plattest_answer(void)
{
    return 42;
}

// Memory allocated inside the library belongs to the same table as the caller's.
__attribute__((visibility("default"))) HGLOBAL plattest_alloc(SIZE_T nSize)
{
    HGLOBAL hMem = GlobalAlloc(GMEM_MOVEABLE, nSize);
    if (auto* p = static_cast<unsigned char*>(GlobalLock(hMem))) {
        for (SIZE_T i = 0; i < nSize; ++i)
            p[i] = 0x5A;
        GlobalUnlock(hMem);
    }
    return hMem;
}

} // extern "C"
