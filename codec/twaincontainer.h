#ifndef PELIRAND_CODEC_TWAINCONTAINER_H
#define PELIRAND_CODEC_TWAINCONTAINER_H

// Where things lie in a TWAIN capability container (TW_ONEVALUE, TW_ARRAY,
// TW_ENUMERATION, TW_RANGE) and how large its items are, as the container
// stands in its memory block: 2-byte packing and no pointers, so one layout
// on every host. Offsets and sizes only: reading and writing the bytes stays
// with the caller, who knows whether they lie in a DSM handle, a byte array or
// a peer's message. The numbers are checked against our TWAIN header's
// structures when this library is compiled.

#include <cstddef>
#include <cstdint>

namespace codec {

// ItemType leads every container form.
constexpr std::size_t kContainerItemType = 0;

constexpr std::size_t kOneValueItem = 2;
constexpr std::size_t kOneValueSize = 6; // with the 4-byte item slot

constexpr std::size_t kArrayNumItems = 2;
constexpr std::size_t kArrayItemList = 6;
constexpr std::size_t kArraySize = 8; // with room for one byte of the list

constexpr std::size_t kEnumNumItems = 2;
constexpr std::size_t kEnumCurrentIndex = 6;
constexpr std::size_t kEnumDefaultIndex = 10;
constexpr std::size_t kEnumItemList = 14;
constexpr std::size_t kEnumSize = 16; // with room for one byte of the list

// The five values of a range are 4-byte slots, whatever the item type.
constexpr std::size_t kRangeMinValue = 2;
constexpr std::size_t kRangeMaxValue = 6;
constexpr std::size_t kRangeStepSize = 10;
constexpr std::size_t kRangeDefaultValue = 14;
constexpr std::size_t kRangeCurrentValue = 18;
constexpr std::size_t kRangeSize = 22;

// Bytes of one item of a TWTY_ type inside a container, 0 for a type that is
// not one. TWTY_HANDLE counts 4 bytes and TWTY_UNI512 1024, as on the 32-bit
// wire, whatever the host.
constexpr std::size_t kItemSizes[] = {1, 2, 4, 1, 2, 4, 2, 4, 16, 34, 66, 130, 256, 1026, 1024, 4};

constexpr std::size_t itemSize(std::uint16_t itemType)
{
    return itemType < sizeof(kItemSizes) / sizeof(kItemSizes[0]) ? kItemSizes[itemType] : 0;
}

// One container form: where its items start, and the size of its structure.
struct ContainerForm
{
    std::uint16_t conType;
    const char* name;
    std::size_t itemsAt;    // the one item, the first list item, or MinValue
    std::size_t structSize; // sizeof the structure
    bool counted;           // holds NumItems and a list
};

// The form of a TWON_ value, or null for one that is not a container form.
const ContainerForm* containerForm(std::uint16_t conType);

// The bytes a container of this form must hold so that all it claims lies
// inside: the one item, the count items of a list, or the whole range. An
// unknown item type counts as items of 0 bytes; 0 for an unknown form; the
// largest number when the count cannot be held at all.
std::uint64_t containerBytesNeeded(std::uint16_t conType, std::uint16_t itemType, std::uint64_t count);

// The bytes to allocate for a new container: the structure and count items
// (lists), the structure or the structure and an item longer than its 4-byte
// slot (one value), the structure (range). Unknown item types and forms as
// for containerBytesNeeded().
std::uint64_t containerBytesToAllocate(std::uint16_t conType, std::uint16_t itemType, std::uint64_t count);

} // namespace codec

#endif
