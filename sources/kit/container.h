#ifndef PELIRAND_SOURCES_KIT_CONTAINER_H
#define PELIRAND_SOURCES_KIT_CONTAINER_H

// Capability containers as a data source builds and reads them.
//
// A capability's answer is held as a CapInfo: values are doubles, which hold
// every item type a source here uses (integers, TW_BOOL, TW_FIX32) exactly.
// The blocks come from memory.h, so they are the DSM's when a TWAIN 2 DSM gave
// its memory functions. Called with the source's call lock held; no state of
// its own.

#include "twain/twain.h"

#include <vector>

namespace dskit {

// One capability as the source answers it right now.
struct CapInfo
{
    TW_UINT16 itemType = TWTY_UINT16;
    TW_UINT16 form = TWON_ONEVALUE; // container of MSG_GET
    std::vector<double> items;      // enumeration or array items
    double current = 0;
    double deflt = 0;
    double min = 0, max = 0, step = 0; // ranges
    bool settable = false;             // the device takes other values now
    bool extended = false;             // negotiable in states 5 to 7 as well
};

TW_FIX32 toFix32(double value);
double fromFix32(const TW_FIX32& value);

// A block holding the container that answers msg: MSG_GET and MSG_RESET the
// capability's own form, MSG_GETCURRENT and MSG_GETDEFAULT a TW_ONEVALUE
// (arrays stay arrays). Null without memory.
TW_HANDLE buildContainer(const CapInfo& info, TW_UINT16 msg, TW_UINT16& conType);

// A TW_ONEVALUE answering MSG_QUERYSUPPORT.
TW_HANDLE buildQuerySupport(TW_INT32 flags);

// The value an application's MSG_SET container asks for: the item of a
// one-value, the current item of an enumeration, the current value of a range.
// False for anything unreadable (too small, unknown type, bad index).
bool readContainer(TW_HANDLE container, TW_UINT16 conType, double& value);

} // namespace dskit

#endif // PELIRAND_SOURCES_KIT_CONTAINER_H
