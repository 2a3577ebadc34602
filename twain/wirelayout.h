// The 32-bit wire form of TWAIN data blocks and its conversion to the native form.
//
// The main application sends every TWAIN data block in the standard's 32-bit
// layout (2-byte packing, 4-byte handles and pointers). A 32-bit build reads
// that layout natively; a 64-bit DSM and its sources expect 8-byte handles, so
// each block is widened into the native structure before the call and narrowed
// back after it, field by field, from one table of field layouts.
//
// Plain bytes and pointer+length in, std::vector<char> out, so that code
// without Qt (the stand-in DSM, the simulated scanner) can use it too; callers
// holding a QByteArray pass constData()/size() and narrow straight back into
// data().
//
// The wire form is in the host's (little-endian) byte order, as the native
// structures are.

#ifndef PELIRAND_TWAIN_WIRELAYOUT_H
#define PELIRAND_TWAIN_WIRELAYOUT_H

#include "twain/twain.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace TwainWire {

// In a 32-bit build the wire form is the native form and nothing is converted.
constexpr bool kWireIsNative = sizeof(void*) == 4;

// At most this many trailing elements are made room for on the strength of a
// count field alone (TW_EXTIMAGEINFO.NumInfos); a larger count is cut down to it.
constexpr std::size_t kMaxCountedElements = 4096;

enum class FieldKind : std::uint8_t
{
    Bytes,   // the same bytes in both forms
    Handle,  // TW_HANDLE, TW_MEMREF, window handle or function pointer: 4 bytes on the wire
    UintPtr, // TW_UINTPTR: 4 bytes on the wire
    SizeOf,  // TW_UINT32 that holds the structure's own size: 32-bit size on the wire, native size here
};

struct Field
{
    const char* name;
    std::uint16_t offset32;     // in the 32-bit wire form
    std::uint16_t offsetNative; // in this build's structure
    std::uint16_t size32;
    std::uint16_t sizeNative;
    FieldKind kind;
};

// A structure in both forms. The fields lie back to back from offset 0 in both
// forms. A structure with a trailing repeated element (TW_EXTIMAGEINFO.Info[],
// TW_CIECOLOR.Samples[], TW_GRAYRESPONSE.Response[], ...) declares one element:
// its fields describe the part before the array, which starts at
// size - element->size in either form.
struct Layout
{
    const char* name;
    const Field* fields;
    std::uint16_t fieldCount;
    std::uint16_t size32; // the declared structure, one trailing element included
    std::uint16_t sizeNative;
    const Layout* element; // trailing repeated element, or nullptr
    int countField;        // index in fields of the element count, or -1
    bool widthDependent;   // has a handle, pointer or TW_UINTPTR (directly or in its element)
};

// The layout of DAT's data block; nullptr for DATs without a block (DAT_NULL,
// DAT_IMAGEFILEXFER, DAT_AUDIOFILEXFER) and for those not known here.
const Layout* layoutOf(TW_UINT16 dat);

// The 32-bit structure size that the dispatcher logs as "datsize32": -1 for
// DATs that its table does not list (DAT_CALLBACK, DAT_CUSTOMDSDATA,
// DAT_IMAGENATIVEXFER, ...), 0 for those without a block.
int datSize32(TW_UINT16 dat);

// Whether widening changes DAT's bytes beyond padding. Always false in a 32-bit build.
bool needsConversion(TW_UINT16 dat);

// Length of the native block that widen() makes from a wire block: at least the
// native structure, plus whatever the wire block carries beyond its structure
// (extra bytes, further elements) and room for the elements a count field names.
// An empty block (no data) stays empty.
std::size_t nativeLength(TW_UINT16 dat, const char* wire, std::size_t wireLength);

// The native block for a wire block. Fields missing from a short block are
// zero; nothing past wireLength is read. Handles are zero-extended.
std::vector<char> widen(TW_UINT16 dat, const char* wire, std::size_t wireLength);
std::vector<char> widen(TW_UINT16 dat, const std::vector<char>& wire);

// Writes exactly wireLength bytes of the wire form of a native block into wire,
// typically the very block that was widened (the two must not overlap).
// Handles keep their low 32 bits; wire bytes the native block does not cover
// become zero.
void narrow(TW_UINT16 dat, const char* native, std::size_t nativeBlockLength, char* wire,
            std::size_t wireLength);
std::vector<char> narrow(TW_UINT16 dat, const std::vector<char>& native, std::size_t wireLength);

} // namespace TwainWire

#endif // PELIRAND_TWAIN_WIRELAYOUT_H
