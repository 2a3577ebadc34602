#include "dsm/dsmfolder.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace peerdsm {

std::string dsmFolder()
{
    Dl_info info{};
    // Any address inside this library names the file it was loaded from.
    if (dladdr(reinterpret_cast<const void*>(&dsmFolder), &info) == 0 || !info.dli_fname)
        return std::string();
    const std::string file(info.dli_fname);
    const std::string::size_type slash = file.rfind('/');
    if (slash == std::string::npos)
        return std::string(".");
    if (slash == 0)
        return std::string("/");
    return file.substr(0, slash);
}

std::vector<std::string> sourcesFolders()
{
    const char* overridden = std::getenv("PELIRAND_TWAIN_DIR");
    if (overridden && *overridden)
        return {std::string(overridden)};
    std::vector<std::string> folders;
    const std::string dsm = dsmFolder();
#ifdef PELIRAND_DSM_BESIDE_FOLDER
    if (!dsm.empty())
        folders.push_back(dsm + "/" PELIRAND_DSM_BESIDE_FOLDER);
#else
    folders.push_back(PELIRAND_DSM_STANDARD_FOLDER);
    const std::string prefixFolder = PELIRAND_DSM_PREFIX_FOLDER;
    if (!prefixFolder.empty() && prefixFolder[0] == '/')
        folders.push_back(prefixFolder);
    else if (!dsm.empty())
        folders.push_back(dsm + "/" + prefixFolder);
#endif
    // The same folder under two names (the prefix /usr/local) is searched once.
    std::vector<std::string> unique;
    std::vector<std::string> seen;
    for (const std::string& folder : folders) {
        std::error_code ec;
        const std::filesystem::path canonical = std::filesystem::weakly_canonical(folder, ec);
        const std::string key = ec ? folder : canonical.string();
        if (std::find(seen.begin(), seen.end(), key) != seen.end())
            continue;
        seen.push_back(key);
        unique.push_back(folder);
    }
    return unique;
}

} // namespace peerdsm
