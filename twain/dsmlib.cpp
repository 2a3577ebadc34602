#include "twain/dsmlib.h"

#include <cstdio>
#include <cstring>

TW_ENTRYPOINT g_DSMEntryPoint;

namespace {

HMODULE s_hDSMLib = nullptr;
DSMENTRYPROC s_pDSMEntry = nullptr;

void reportError(const char* pszText, const char* pszName)
{
    std::fprintf(stderr, "%s%s\n", pszText, pszName ? pszName : "");
    std::fflush(stderr);
}

} // namespace

void ResetDSMEntryPoint()
{
    std::memset(&g_DSMEntryPoint, 0, sizeof(g_DSMEntryPoint));
    // The record's size in the 32-bit layout, whatever this build's width.
    g_DSMEntryPoint.Size = 24;
}

namespace {

// The names an installed DSM has where no "TWAINDSM.dll" exists: the shared
// library of the TWAIN 2 DSM on Linux, by its major version first.
const char* const kInstalledDSMNames[] = {"libtwaindsm.so.2", "libtwaindsm.so"};

HMODULE loadLib(const char* pszName)
{
    // A null name would hand dlopen the main program on non-Windows hosts.
    if (!pszName)
        return nullptr;
    HMODULE hLib = LoadLibraryA(pszName);
    // Only when there is no such file at all: one that is there but does not
    // load is the DSM the user put there, and its error is the one to report.
    if (!hLib && std::strcmp(pszName, "TWAINDSM.dll") == 0 && GetLastError() == ERROR_MOD_NOT_FOUND) {
        for (const char* pszInstalled : kInstalledDSMNames) {
            hLib = LoadLibraryA(pszInstalled);
            if (hLib)
                break;
        }
    }
    return hLib;
}

// Loads pszName and resolves DSM_Entry; a library without the export stays held.
bool openLib(const char* pszName)
{
    s_hDSMLib = loadLib(pszName);
    if (!s_hDSMLib) {
        reportError("Error - Could not load DSM: ", pszName);
        return false;
    }
    ResetDSMEntryPoint();
    // Through void (*)(), the generic function pointer, to the entry's real type.
    s_pDSMEntry =
        reinterpret_cast<DSMENTRYPROC>(reinterpret_cast<void (*)()>(GetProcAddress(s_hDSMLib, "DSM_Entry")));
    if (!s_pDSMEntry) {
        reportError("Error - Could not find DSM_Entry function in DSM: ", pszName);
        return false;
    }
    return true;
}

} // namespace

const char* DSMLibName(int nSelector)
{
    return nSelector == 1 ? "TWAIN_32.dll" : "TWAINDSM.dll";
}

bool LoadDSMLib(const char* pszName)
{
    if (s_hDSMLib)
        return true;
    return openLib(pszName);
}

int UnloadDSMLib()
{
    if (!s_hDSMLib)
        return 0;
    const int nResult = FreeLibrary(s_hDSMLib);
    s_hDSMLib = nullptr;
    s_pDSMEntry = nullptr;
    // Its memory functions went with the library.
    ResetDSMEntryPoint();
    return nResult;
}

TW_UINT16 CallDSMEntry(pTW_IDENTITY pOrigin, pTW_IDENTITY pDest, TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG,
                       TW_MEMREF pData, int nSelector)
{
    if (!s_hDSMLib) {
        // The library was freed behind the state machine's back: load it again.
        const char* pszName = DSMLibName(nSelector);
        if (!openLib(pszName)) {
            reportError("Could not load the DSM: ", pszName);
            return TWRC_FAILURE;
        }
    }
    if (!s_pDSMEntry)
        return TWRC_FAILURE;
    return s_pDSMEntry(pOrigin, pDest, DG, DAT, MSG, pData);
}
