// Widens and narrows arbitrary wire blocks for every DAT, as the main
// application could send them, and lets a "source" scribble over the native
// block in between: nothing may be read or written outside either block.
#include "twain/wirelayout.h"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    // First two bytes pick the DAT (mapped onto the known ranges), the third
    // the byte a source writes over the whole native block.
    static const TW_UINT16 kDatBase[] = {0x0000, 0x0100, 0x0200, 0x0400};
    const TW_UINT16 dat = static_cast<TW_UINT16>(kDatBase[data[0] & 3] + (data[1] & 0x1f));
    const char fill = static_cast<char>(data[2]);
    const char* wire = reinterpret_cast<const char*>(data + 3);
    const std::size_t wireLength = size - 3;

    std::vector<char> native = TwainWire::widen(dat, wire, wireLength);
    if (native.size() != TwainWire::nativeLength(dat, wire, wireLength))
        __builtin_trap();
    std::vector<char> back = TwainWire::narrow(dat, native, wireLength);
    if (back.size() != wireLength)
        __builtin_trap();

    // A source may write anything into the structure it was given.
    if (!native.empty())
        std::memset(native.data(), fill, native.size());
    back = TwainWire::narrow(dat, native, wireLength);
    if (back.size() != wireLength)
        __builtin_trap();
    return 0;
}
