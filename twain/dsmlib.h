#pragma once

// Binding to the TWAIN Data Source Manager library: the only code that loads
// it, resolves DSM_Entry and frees it again. One library per process.

#include "platform/win32.h"
#include "twain/twain.h"

// "TWAIN_32.dll" for selector 1, "TWAINDSM.dll" for every other value.
const char* DSMLibName(int nSelector);

// Loads the library and resolves DSM_Entry. True at once while a library is
// held (whatever its name). Errors go to standard error.
bool LoadDSMLib(const char* pszName);

// Frees the library; FreeLibrary's result, or 0 when none is held.
int UnloadDSMLib();

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
