#include "codec/fix32.h"

#include <cmath>

namespace codec {

static_assert(sizeof(TW_FIX32) == 4, "TW_FIX32 is Whole and Frac, 2 bytes each");

std::int32_t fix32Raw(double value)
{
    if (std::isnan(value))
        return 0;
    const double scaled = std::round(value * 65536.0);
    if (scaled >= 2147483647.0)
        return INT32_MAX;
    if (scaled <= -2147483648.0)
        return INT32_MIN;
    return static_cast<std::int32_t>(scaled);
}

TW_FIX32 toFix32(double value)
{
    const std::uint32_t raw = static_cast<std::uint32_t>(fix32Raw(value));
    TW_FIX32 fix;
    // The high half keeps its sign as a 16-bit two's complement number.
    fix.Whole = static_cast<TW_INT16>(static_cast<std::int32_t>(raw >> 16) - ((raw & 0x80000000u) ? 0x10000 : 0));
    fix.Frac = static_cast<TW_UINT16>(raw & 0xFFFFu);
    return fix;
}

double fromFix32(const TW_FIX32& value)
{
    return static_cast<double>(value.Whole) + static_cast<double>(value.Frac) / 65536.0;
}

void fix32ToBytes(double value, unsigned char* out)
{
    const TW_FIX32 fix = toFix32(value);
    const std::uint16_t whole = static_cast<std::uint16_t>(fix.Whole);
    out[0] = static_cast<unsigned char>(whole & 0xFFu);
    out[1] = static_cast<unsigned char>(whole >> 8);
    out[2] = static_cast<unsigned char>(fix.Frac & 0xFFu);
    out[3] = static_cast<unsigned char>(fix.Frac >> 8);
}

double fix32FromBytes(const unsigned char* bytes)
{
    TW_FIX32 fix;
    fix.Whole = static_cast<TW_INT16>(static_cast<std::int32_t>(bytes[0] | bytes[1] << 8) -
                                      ((bytes[1] & 0x80u) ? 0x10000 : 0));
    fix.Frac = static_cast<TW_UINT16>(bytes[2] | bytes[3] << 8);
    return fromFix32(fix);
}

} // namespace codec
