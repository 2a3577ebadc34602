#ifndef PELIRAND_SOURCES_SIM_SIMCONTAINER_H
#define PELIRAND_SOURCES_SIM_SIMCONTAINER_H

#include "sources/sim/simcaps.h"

namespace simscanner {

TW_FIX32 toFix32(double value);
double fromFix32(const TW_FIX32& value);

// A block (simmemory.h) holding the container that answers msg:
// MSG_GET and MSG_RESET the capability's own form, MSG_GETCURRENT and
// MSG_GETDEFAULT a TW_ONEVALUE (arrays stay arrays). Null without memory.
TW_HANDLE buildContainer(const CapInfo& info, TW_UINT16 msg, TW_UINT16& conType);

// A TW_ONEVALUE answering MSG_QUERYSUPPORT.
TW_HANDLE buildQuerySupport(TW_INT32 flags);

// The value an application's MSG_SET container asks for: the item of a
// one-value, the current item of an enumeration, the current value of a range.
// False for anything unreadable (too small, unknown type, bad index).
bool readContainer(TW_HANDLE container, TW_UINT16 conType, double& value);

} // namespace simscanner

#endif // PELIRAND_SOURCES_SIM_SIMCONTAINER_H
