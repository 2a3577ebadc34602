#pragma once

#include "twain/twain.h"

namespace peerdsm {

// The entry-point record a TWAIN 2 source receives: DSM_Entry and the memory
// functions, which hand out Win32 global memory so that whoever receives a
// handle can lock and free it with GlobalLock / GlobalFree.
TW_ENTRYPOINT makeEntryPoint();

} // namespace peerdsm
