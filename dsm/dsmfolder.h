#pragma once

#include <string>

namespace peerdsm {

// The folder that holds the DSM library file itself, without a trailing slash;
// empty when it cannot be told.
std::string dsmFolder();

// Where the sources are looked for: $PELIRAND_TWAIN_DIR when set (tests point
// the DSM at a folder of their own), otherwise twain_32/ beside the DSM.
std::string sourcesFolder();

} // namespace peerdsm
