#include "dsm/dsmfolder.h"

#include <dlfcn.h>

#include <cstdlib>

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

std::string sourcesFolder()
{
    const char* overridden = std::getenv("PELIRAND_TWAIN_DIR");
    if (overridden && *overridden)
        return std::string(overridden);
    const std::string folder = dsmFolder();
    if (folder.empty())
        return std::string();
    return folder + "/twain_32";
}

} // namespace peerdsm
