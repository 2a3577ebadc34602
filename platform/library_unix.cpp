// Libraries: LoadLibraryA, GetProcAddress, FreeLibrary over dlopen.

#include "platform/win32.h"
#include "platform/win32_unix_p.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <unistd.h>

#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <unordered_map>

namespace {

struct Module
{
    long nRefs = 0;
    std::string sName; // file name part, for GetModuleHandleW
};

class ModuleTable
{
public:
    static ModuleTable& instance()
    {
        static ModuleTable* s_pTable = new ModuleTable; // never destroyed, see memory_unix.cpp
        return *s_pTable;
    }

    std::mutex m_mutex;
    std::unordered_map<void*, Module> m_modules;
    void* m_pExe = nullptr;
};

thread_local std::string t_sLoadError;

std::string executableFolder()
{
    char szPath[PATH_MAX];
    const ssize_t nLen = readlink("/proc/self/exe", szPath, sizeof(szPath) - 1);
    if (nLen <= 0)
        return std::string();
    std::string sPath(szPath, size_t(nLen));
    const size_t nSlash = sPath.rfind('/');
    return nSlash == std::string::npos ? std::string() : sPath.substr(0, nSlash);
}

std::string fileNamePart(const std::string& sPath)
{
    const size_t nSlash = sPath.rfind('/');
    return nSlash == std::string::npos ? sPath : sPath.substr(nSlash + 1);
}

void* executableHandle(ModuleTable& table)
{
    std::lock_guard<std::mutex> lock(table.m_mutex);
    if (!table.m_pExe)
        table.m_pExe = dlopen(nullptr, RTLD_NOW);
    return table.m_pExe;
}

bool isKnown(ModuleTable& table, void* pHandle)
{
    std::lock_guard<std::mutex> lock(table.m_mutex);
    return pHandle == table.m_pExe || table.m_modules.count(pHandle) != 0;
}

// dlsym also searches a library's dependencies; GetProcAddress only the
// module's own exports.
bool definedIn(void* pHandle, void* pSymbol)
{
    link_map* pModuleMap = nullptr;
    link_map* pSymbolMap = nullptr;
    Dl_info info{};
    if (dlinfo(pHandle, RTLD_DI_LINKMAP, &pModuleMap) != 0 || !pModuleMap)
        return true;
    if (!dladdr1(pSymbol, &info, reinterpret_cast<void**>(&pSymbolMap), RTLD_DL_LINKMAP) || !pSymbolMap)
        return true;
    return pSymbolMap == pModuleMap;
}

} // namespace

extern "C" {

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName)
{
    if (!lpLibFileName || !*lpLibFileName) {
        t_sLoadError = "empty library name";
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string sName(lpLibFileName);
    std::string sPath = sName;
    bool bFileFound = false;
    if (sName.find('/') != std::string::npos) {
        bFileFound = access(sName.c_str(), F_OK) == 0;
    } else {
        // The executable's own folder first, as Windows searches it first.
        const std::string sBeside = executableFolder() + '/' + sName;
        if (access(sBeside.c_str(), F_OK) == 0) {
            sPath = sBeside;
            bFileFound = true;
        }
    }
    void* pHandle = dlopen(sPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!pHandle) {
        const char* pszError = dlerror();
        t_sLoadError = pszError ? pszError : "cannot load " + sName;
        // A file that is there but does not load is a bad image, not a missing one.
        SetLastError(bFileFound ? ERROR_BAD_EXE_FORMAT : ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    ModuleTable& table = ModuleTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    Module& module = table.m_modules[pHandle];
    ++module.nRefs;
    if (module.sName.empty())
        module.sName = fileNamePart(sName);
    t_sLoadError.clear();
    return static_cast<HMODULE>(pHandle);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    ModuleTable& table = ModuleTable::instance();
    void* pHandle = hLibModule;
    {
        std::lock_guard<std::mutex> lock(table.m_mutex);
        if (pHandle && pHandle == table.m_pExe)
            return TRUE;
        const auto it = table.m_modules.find(pHandle);
        if (it == table.m_modules.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (--it->second.nRefs == 0)
            table.m_modules.erase(it);
    }
    // Outside the lock: the library's destructors may free other libraries.
    return dlclose(pHandle) == 0 ? TRUE : FALSE;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    ModuleTable& table = ModuleTable::instance();
    // Names only: a value below 0x10000 is an ordinal on Windows.
    if (!lpProcName || reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    if (!hModule || !isKnown(table, hModule)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    dlerror();
    void* pSymbol = dlsym(hModule, lpProcName);
    if (!pSymbol || !definedIn(hModule, pSymbol)) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    FARPROC pfn;
    static_assert(sizeof(pfn) == sizeof(pSymbol), "function and data pointers differ in size");
    std::memcpy(&pfn, &pSymbol, sizeof(pfn));
    return pfn;
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName)
{
    ModuleTable& table = ModuleTable::instance();
    if (!lpModuleName)
        return static_cast<HMODULE>(executableHandle(table));
    // Only libraries loaded through LoadLibraryA are known by name.
    std::string sName;
    for (const wchar_t* p = lpModuleName; *p; ++p)
        sName += (*p > 0 && *p < 0x80) ? char(*p) : '?';
    sName = fileNamePart(sName);
    std::lock_guard<std::mutex> lock(table.m_mutex);
    for (const auto& entry : table.m_modules) {
        if (entry.second.sName == sName)
            return static_cast<HMODULE>(entry.first);
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

const char* WINAPI PelirandLoadErrorText(void)
{
    return t_sLoadError.c_str();
}

} // extern "C"
