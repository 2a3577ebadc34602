#ifndef PELIRAND_CODEC_FIX32_H
#define PELIRAND_CODEC_FIX32_H

// TW_FIX32, TWAIN's fixed-point number: a signed Whole and an unsigned Frac
// in 1/65536, value = Whole + Frac / 65536 (so -0.25 is Whole -1, Frac 49152).
// Conversion from a double rounds value * 65536 to the nearest step, halves
// away from zero, and clamps to what the type holds (-32768 up to
// 32767 + 65535/65536); NaN gives 0. Conversion to a double is exact. The
// 4 bytes on the wire are Whole then Frac, each little-endian.

#include <cstdint>

#include "twain/twain.h"

namespace codec {

// The 32-bit raw value (Whole in the high half, Frac in the low).
std::int32_t fix32Raw(double value);

TW_FIX32 toFix32(double value);
double fromFix32(const TW_FIX32& value);

// The 4 bytes of the wire form, and back.
void fix32ToBytes(double value, unsigned char* out);
double fix32FromBytes(const unsigned char* bytes);

} // namespace codec

#endif
