#pragma once

// Keeps the fuzz targets quiet and their log out of the way: every log line
// goes to a file that cannot be created, and Qt's messages are dropped.

#include <QString>
#include <QtGlobal>

#include <cstdlib>

#include "diag/log.h"
#include "platform/win32.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/allocator_interface.h>
#define PELIRAND_FUZZ_ASAN 1
#endif
#endif

inline void quietLogging()
{
    static QString s_sPath = QStringLiteral("/nonexistent-pelirand-fuzz/xfer.log");
    g_pLogFilePath = &s_sPath;
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
}

// Whether GlobalFree leaves the block's memory allocated. The platform's
// GlobalFree has done so, which fills the fuzzer's memory limit within a
// minute; the allocator says whether a freed block's memory is still live.
inline bool globalFreeLeaks()
{
#ifdef PELIRAND_FUZZ_ASAN
    static const bool s_bLeaks = [] {
        HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 64);
        void* p = GlobalLock(h);
        GlobalUnlock(h);
        GlobalFree(h);
        const bool bLeaks = p && __sanitizer_get_ownership(p) != 0;
        if (bLeaks)
            std::free(p);
        return bLeaks;
    }();
    return s_bLeaks;
#else
    return false;
#endif
}

// GlobalFree, and the memory behind the block released whatever GlobalFree does.
inline void freeGlobal(HGLOBAL h)
{
    void* p = GlobalLock(h);
    GlobalFree(h);
    if (p && globalFreeLeaks())
        std::free(p);
}
