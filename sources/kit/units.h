#ifndef PELIRAND_SOURCES_KIT_UNITS_H
#define PELIRAND_SOURCES_KIT_UNITS_H

#include "twain/twain.h"

namespace dskit {

// The length units of ICAP_UNITS, as every source converts them: lengths
// (frames, physical sizes) in the unit, resolutions per the unit. Pure
// functions, any thread.

// How many of the unit make an inch; 0 for TWUN_PIXELS, 1 for inches and for
// a unit TWAIN does not define.
double unitsPerInch(TW_UINT16 units);

// What a resolution per inch is divided by to be per the unit: with pixels
// resolutions stay per inch.
double resolutionFactor(TW_UINT16 units);

} // namespace dskit

#endif // PELIRAND_SOURCES_KIT_UNITS_H
