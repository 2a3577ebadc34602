#pragma once

#include "twain/twain.h"

namespace peerdsm {

// The entry-point record a TWAIN 2 party receives: DSM_Entry and the memory
// functions, which allocate from the C heap (the handle is the pointer), not
// Win32 global memory: whoever receives such a handle must lock and free it
// through these functions. A handle the DSM did not allocate is refused:
// DSM_MemLock gives null, DSM_MemFree leaves it alone.
TW_ENTRYPOINT makeEntryPoint();

} // namespace peerdsm
