#pragma once

#include <string>
#include <vector>

namespace peerdsm {

// The folder that holds the DSM library file itself, without a trailing slash;
// empty when it cannot be told.
std::string dsmFolder();

// Where the sources are looked for, in this order: $PELIRAND_TWAIN_DIR alone
// when set (tests and users point the DSM at a folder of their own);
// otherwise, for the build tree's DSM files, twain_32/ beside the DSM, and
// for the installed DSM the TWAIN standard's folder on Linux
// (/usr/local/lib/twain), then lib/twain of the DSM's own prefix. A folder
// that two entries name is listed once.
std::vector<std::string> sourcesFolders();

} // namespace peerdsm
