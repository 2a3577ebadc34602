#ifndef PELIRAND_SOURCES_SIM_SIMTIFF_H
#define PELIRAND_SOURCES_SIM_SIMTIFF_H

#include "sources/sim/simimage.h"

#include <vector>

namespace simscanner {

// An uncompressed TIFF file of a page (TWFF_TIFF): rows top-down as memory
// transfers send them, the flavour told by the photometric interpretation
// (vanilla: min-is-white), a palette page with its colour map, 16-bit samples
// kept whole. False on error.
bool encodeTiff(const PageSpec& spec, std::vector<TW_UINT8>& out);

} // namespace simscanner

#endif // PELIRAND_SOURCES_SIM_SIMTIFF_H
