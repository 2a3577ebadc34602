#include "twain/dsmlib.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef _WIN32
#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

TW_ENTRYPOINT g_DSMEntryPoint;

const char* const kOwnDSMName = "pelirand's DSM";

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

// Where no "TWAINDSM.dll" exists, the DSM of the TWAIN standard as installed
// on Linux (by its major version first), then pelirand's own: the standard's
// DSM, when the user installed it, is the one other TWAIN programs use too.
// But that DSM looks for sources in one folder only (/usr/local/lib/twain);
// where the sources installed with this bridge lie elsewhere (the packages'
// /usr/lib/twain) it would find none of them, so pelirand's own DSM, which
// looks in both folders, comes first there.
const char* const kInstalledDSMNames[] = {"libtwaindsm.so.2", "libtwaindsm.so"};

const char* s_pszLoadedName = nullptr;
std::string s_sLoadedFile;

#ifndef _WIN32
std::string programFolder()
{
    char szPath[PATH_MAX];
    const ssize_t nLen = readlink("/proc/self/exe", szPath, sizeof(szPath) - 1);
    if (nLen <= 0)
        return std::string();
    const std::string sPath(szPath, size_t(nLen));
    const size_t nSlash = sPath.rfind('/');
    return nSlash == std::string::npos ? std::string() : sPath.substr(0, nSlash);
}

// The installed standard DSM under its name: found by the library search path,
// or, in builds with tests, only in the folder a test names (so that a test
// decides whether the machine's DSM exists).
std::string installedDSMPath(const char* pszName)
{
#ifdef PELIRAND_TEST_SWITCHES
    const char* pszDir = std::getenv("PELIRAND_TEST_SYSTEM_DSM_DIR");
    if (pszDir && *pszDir)
        return std::string(pszDir) + '/' + pszName;
#endif
    return pszName;
}

// The canonical form of a folder; empty when it does not exist.
std::string canonicalFolder(const std::string& sPath)
{
    char szReal[PATH_MAX];
    struct stat st{};
    if (!realpath(sPath.c_str(), szReal) || stat(szReal, &st) != 0 || !S_ISDIR(st.st_mode))
        return std::string();
    return szReal;
}

// Whether sources were installed with this bridge in a folder other than the
// one the standard's DSM searches (a build tree has no such folder).
bool ownSourcesOutsideStandardFolder()
{
#if defined(PELIRAND_OWN_SOURCES_DIR) && defined(PELIRAND_STANDARD_SOURCES_DIR)
    const char* const pszOwn = PELIRAND_OWN_SOURCES_DIR;
    const std::string sOwn = canonicalFolder(pszOwn[0] == '/' ? std::string(pszOwn)
                                                              : programFolder() + '/' + pszOwn);
    return !sOwn.empty() && sOwn != canonicalFolder(PELIRAND_STANDARD_SOURCES_DIR);
#else
    return false;
#endif
}

HMODULE loadOwnDSM(const char** ppszLoaded)
{
    const std::string sOwn = OwnDSMFile();
    HMODULE hLib = sOwn.empty() ? nullptr : LoadLibraryA(sOwn.c_str());
    if (hLib)
        *ppszLoaded = kOwnDSMName;
    return hLib;
}

// The file the loaded library came from, as the loader found it.
std::string fileOf(DSMENTRYPROC pEntry)
{
    Dl_info info{};
    void* pAddress = nullptr;
    static_assert(sizeof(pAddress) == sizeof(pEntry), "function and data pointers differ in size");
    std::memcpy(&pAddress, &pEntry, sizeof(pAddress));
    if (!pEntry || dladdr(pAddress, &info) == 0 || !info.dli_fname)
        return std::string();
    char szReal[PATH_MAX];
    return realpath(info.dli_fname, szReal) ? std::string(szReal) : std::string(info.dli_fname);
}
#endif

// Loads the first that exists of the names a request for pszName stands for,
// and tells which one it was.
HMODULE loadLib(const char* pszName, const char** ppszLoaded)
{
    // A null name would hand dlopen the main program on non-Windows hosts.
    if (!pszName)
        return nullptr;
    *ppszLoaded = pszName;
    HMODULE hLib = LoadLibraryA(pszName);
    // Only when there is no such file at all: one that is there but does not
    // load is the DSM the user put there, and its error is the one to report.
    if (hLib || std::strcmp(pszName, "TWAINDSM.dll") != 0 || GetLastError() != ERROR_MOD_NOT_FOUND)
        return hLib;
#ifndef _WIN32
    const bool bOwnFirst = ownSourcesOutsideStandardFolder();
    if (bOwnFirst && (hLib = loadOwnDSM(ppszLoaded)) != nullptr)
        return hLib;
    for (const char* pszInstalled : kInstalledDSMNames) {
        hLib = LoadLibraryA(installedDSMPath(pszInstalled).c_str());
        if (hLib) {
            *ppszLoaded = pszInstalled;
            return hLib;
        }
    }
    if (!bOwnFirst)
        hLib = loadOwnDSM(ppszLoaded);
#endif
    return hLib;
}

// Loads pszName and resolves DSM_Entry; a library without the export stays held.
bool openLib(const char* pszName)
{
    const char* pszLoaded = pszName;
    s_hDSMLib = loadLib(pszName, &pszLoaded);
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
    s_pszLoadedName = pszLoaded;
#ifndef _WIN32
    s_sLoadedFile = fileOf(s_pDSMEntry);
#endif
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
    s_pszLoadedName = nullptr;
    s_sLoadedFile.clear();
    // Its memory functions went with the library.
    ResetDSMEntryPoint();
    return nResult;
}

bool DSMLibHeld()
{
    return s_hDSMLib != nullptr;
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

const char* LoadedDSMName()
{
    return s_pszLoadedName;
}

std::string LoadedDSMFile()
{
    return s_sLoadedFile;
}

std::string OwnDSMFile()
{
#if defined(_WIN32) || !defined(PELIRAND_OWN_DSM_FILE)
    return std::string();
#else
    const std::string sFolder = programFolder();
    if (sFolder.empty())
        return std::string();
    const std::string sFile = sFolder + "/" PELIRAND_OWN_DSM_FILE;
    char szReal[PATH_MAX];
    return realpath(sFile.c_str(), szReal) ? std::string(szReal) : sFile;
#endif
}

bool ProbeDSMLib(const char* pszName, std::string* psLoadedName, std::string* psFile)
{
    const char* pszLoaded = pszName;
    HMODULE hLib = loadLib(pszName, &pszLoaded);
    if (!hLib)
        return false;
    const DSMENTRYPROC pEntry =
        reinterpret_cast<DSMENTRYPROC>(reinterpret_cast<void (*)()>(GetProcAddress(hLib, "DSM_Entry")));
    if (pEntry) {
        *psLoadedName = pszLoaded;
#ifndef _WIN32
        *psFile = fileOf(pEntry);
#endif
    }
    FreeLibrary(hLib);
    return pEntry != nullptr;
}
