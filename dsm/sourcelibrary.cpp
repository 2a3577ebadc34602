#include "dsm/sourcelibrary.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace peerdsm {

namespace {

// Vendors nest their sources in folders of their own; a few levels suffice and
// keep a looping tree from running away.
constexpr int kMaxDepth = 4;

bool hasSourceSuffix(const std::filesystem::path& file)
{
    std::string ext = file.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == ".ds";
}

std::vector<std::string> findSourceFiles(const std::string& folder)
{
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    const fs::recursive_directory_iterator end;
    while (!ec && it != end) {
        if (it.depth() >= kMaxDepth)
            it.disable_recursion_pending();
        std::error_code typeEc;
        if (it->is_regular_file(typeEc) && hasSourceSuffix(it->path()))
            files.push_back(it->path().string());
        it.increment(ec);
    }
    std::sort(files.begin(), files.end());
    return files;
}

DSENTRYPROC sourceEntry(HMODULE module)
{
    // Through void (*)(): the one function type a cast may pass through unwarned.
    return reinterpret_cast<DSENTRYPROC>(reinterpret_cast<void (*)()>(GetProcAddress(module, "DS_Entry")));
}

template <typename Char, std::size_t N>
void terminate(Char (&text)[N])
{
    text[N - 1] = '\0';
}

} // namespace

std::vector<SourceLibrary> loadSourceLibraries(const std::vector<std::string>& folders, TW_UINT32 firstId)
{
    std::vector<SourceLibrary> libraries;
    std::vector<std::string> files;
    for (const std::string& folder : folders) {
        if (folder.empty())
            continue;
        const std::vector<std::string> found = findSourceFiles(folder);
        files.insert(files.end(), found.begin(), found.end());
    }
    TW_UINT32 nextId = firstId;
    for (const std::string& path : files) {
        SourceLibrary lib;
        lib.path = path;
        lib.module = LoadLibraryA(path.c_str());
        if (!lib.module) {
            std::fprintf(stderr, "DSM: cannot load source %s: %s\n", path.c_str(), PelirandLoadErrorText());
            continue;
        }
        lib.entry = sourceEntry(lib.module);
        if (!lib.entry) {
            std::fprintf(stderr, "DSM: no DS_Entry in source %s\n", path.c_str());
            FreeLibrary(lib.module);
            continue;
        }
        // A null origin tells the source that the DSM itself is asking.
        lib.identity.Id = nextId;
        if (lib.entry(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GET, &lib.identity) != TWRC_SUCCESS) {
            std::fprintf(stderr, "DSM: source %s did not report its identity\n", path.c_str());
            FreeLibrary(lib.module);
            continue;
        }
        // The Id is ours to give, and the names must stay usable as C strings.
        lib.identity.Id = nextId;
        terminate(lib.identity.Version.Info);
        terminate(lib.identity.Manufacturer);
        terminate(lib.identity.ProductFamily);
        terminate(lib.identity.ProductName);
        const bool duplicate = std::any_of(libraries.begin(), libraries.end(), [&](const SourceLibrary& other) {
            return std::strcmp(other.identity.ProductName, lib.identity.ProductName) == 0;
        });
        if (duplicate) {
            // Installed twice (say under /usr/local and under /usr): the first one found serves.
            std::fprintf(stderr, "DSM: source %s skipped: one named \"%s\" is already listed\n", path.c_str(),
                         lib.identity.ProductName);
            FreeLibrary(lib.module);
            continue;
        }
        ++nextId;
        libraries.push_back(lib);
    }
    return libraries;
}

void unloadSourceLibraries(std::vector<SourceLibrary>& libraries)
{
    for (SourceLibrary& lib : libraries) {
        if (lib.module)
            FreeLibrary(lib.module);
    }
    libraries.clear();
}

} // namespace peerdsm
