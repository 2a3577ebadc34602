#pragma once

#include "platform/win32.h"
#include "twain/twain.h"

#include <string>
#include <vector>

namespace peerdsm {

// One data source file, loaded, with the identity it reported.
struct SourceLibrary
{
    std::string path;
    HMODULE module = nullptr;
    DSENTRYPROC entry = nullptr;
    TW_IDENTITY identity{};
};

// Loads every `*.ds` file below each of `folders`, folder by folder and sorted
// by path within one (so the order and the Ids are the same on every run), and
// asks each for its identity. Ids are given in that order from `firstId` on.
// Files that do not load, lack DS_Entry or refuse the identity query are
// skipped with a line on standard error, and so is a source whose ProductName
// an earlier one already has (the same source installed twice).
std::vector<SourceLibrary> loadSourceLibraries(const std::vector<std::string>& folders, TW_UINT32 firstId);

void unloadSourceLibraries(std::vector<SourceLibrary>& libraries);

} // namespace peerdsm
