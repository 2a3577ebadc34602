#pragma once

// Binding to the TWAIN Data Source Manager library: the only code that loads
// it, resolves DSM_Entry and frees it again. One library per process.

#include "platform/win32.h"
#include "twain/twain.h"

#include <string>

// "TWAIN_32.dll" for selector 1, "TWAINDSM.dll" for every other value.
const char* DSMLibName(int nSelector);

// Loads the library and resolves DSM_Entry. True at once while a library is
// held (whatever its name). Errors go to standard error. On Linux, where no
// "TWAINDSM.dll" exists (beside the program or in the library path), that
// name stands for the installed DSM of the TWAIN standard
// ("libtwaindsm.so.2", then "libtwaindsm.so") and then for pelirand's own DSM
// (OwnDSMFile()), the first that loads; pelirand's own comes first where the
// sources installed with the program lie outside the one folder the
// standard's DSM searches (/usr/local/lib/twain), which it would not see.
bool LoadDSMLib(const char* pszName);

// Frees the library; FreeLibrary's result, or 0 when none is held.
int UnloadDSMLib();

// Whether a library is held (one whose DSM_Entry is missing counts).
bool DSMLibHeld();

// Forwards one call to DSM_Entry, loading DSMLibName(nSelector) first when no
// library is held. TWRC_FAILURE when the library or its entry is missing.
TW_UINT16 CallDSMEntry(pTW_IDENTITY pOrigin, pTW_IDENTITY pDest, TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG,
                       TW_MEMREF pData, int nSelector);

// Reset on every load and unload (Size 24, no functions); filled from a
// TWAIN 2 DSM after MSG_OPENDSM. The memory operations use its functions
// when they are set.
extern TW_ENTRYPOINT g_DSMEntryPoint;

// Size 24, no functions: Win32 global memory again.
void ResetDSMEntryPoint();

// The name under which the held library was found: the one asked for, one of
// the installed DSM's names, or kOwnDSMName; null while none is held.
const char* LoadedDSMName();
extern const char* const kOwnDSMName;

// The file the held library was loaded from; empty while none is held or
// where it cannot be told.
std::string LoadedDSMFile();

// pelirand's own DSM: its file in the installed layout relative to the
// program; empty where there is none.
std::string OwnDSMFile();

// Which library LoadDSMLib(pszName) would hold now, found the same way but
// loaded only for the look and freed again, and nothing on standard error.
// False when none would load with its DSM_Entry.
bool ProbeDSMLib(const char* pszName, std::string* psLoadedName, std::string* psFile);
