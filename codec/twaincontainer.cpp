#include "codec/twaincontainer.h"

#include <cstddef>
#include <cstdint>

#include "twain/twain.h"

namespace codec {
namespace {

constexpr ContainerForm kForms[] = {
    {TWON_ONEVALUE, "TWON_ONEVALUE", kOneValueItem, kOneValueSize, false},
    {TWON_ARRAY, "TWON_ARRAY", kArrayItemList, kArraySize, true},
    {TWON_ENUMERATION, "TWON_ENUMERATION", kEnumItemList, kEnumSize, true},
    {TWON_RANGE, "TWON_RANGE", kRangeMinValue, kRangeSize, false},
};

// --- The offsets against our TWAIN header's structures ----------------------

#define CHECK_AT(T, m, at) static_assert(offsetof(T, m) == (at), #T "." #m " is not where the table says")

CHECK_AT(TW_ONEVALUE, ItemType, kContainerItemType);
CHECK_AT(TW_ONEVALUE, Item, kOneValueItem);
CHECK_AT(TW_ARRAY, ItemType, kContainerItemType);
CHECK_AT(TW_ARRAY, NumItems, kArrayNumItems);
CHECK_AT(TW_ARRAY, ItemList, kArrayItemList);
CHECK_AT(TW_ENUMERATION, ItemType, kContainerItemType);
CHECK_AT(TW_ENUMERATION, NumItems, kEnumNumItems);
CHECK_AT(TW_ENUMERATION, CurrentIndex, kEnumCurrentIndex);
CHECK_AT(TW_ENUMERATION, DefaultIndex, kEnumDefaultIndex);
CHECK_AT(TW_ENUMERATION, ItemList, kEnumItemList);
CHECK_AT(TW_RANGE, ItemType, kContainerItemType);
CHECK_AT(TW_RANGE, MinValue, kRangeMinValue);
CHECK_AT(TW_RANGE, MaxValue, kRangeMaxValue);
CHECK_AT(TW_RANGE, StepSize, kRangeStepSize);
CHECK_AT(TW_RANGE, DefaultValue, kRangeDefaultValue);
CHECK_AT(TW_RANGE, CurrentValue, kRangeCurrentValue);

#undef CHECK_AT

static_assert(sizeof(TW_ONEVALUE) == kOneValueSize && sizeof(TW_ARRAY) == kArraySize &&
                  sizeof(TW_ENUMERATION) == kEnumSize && sizeof(TW_RANGE) == kRangeSize,
              "container sizes differ from the structures");
// Range values and the one-value slot are 4 bytes each, back to back.
static_assert(kRangeMaxValue - kRangeMinValue == 4 && kRangeStepSize - kRangeMaxValue == 4 &&
                  kRangeDefaultValue - kRangeStepSize == 4 && kRangeCurrentValue - kRangeDefaultValue == 4 &&
                  kRangeSize - kRangeCurrentValue == 4 && kOneValueSize - kOneValueItem == 4,
              "4-byte slots are not back to back");

constexpr bool formsMatch()
{
    for (const ContainerForm& f : kForms) {
        if (f.itemsAt >= f.structSize || f.itemsAt <= kContainerItemType)
            return false;
    }
    return kForms[0].itemsAt == kOneValueItem && kForms[1].itemsAt == kArrayItemList &&
           kForms[2].itemsAt == kEnumItemList && kForms[3].itemsAt == kRangeMinValue;
}
static_assert(formsMatch(), "the form table disagrees with the offsets");

// --- Item sizes against the item types ---------------------------------------

static_assert(sizeof(kItemSizes) / sizeof(kItemSizes[0]) == TWTY_HANDLE + 1, "one size per item type");
static_assert(itemSize(TWTY_INT8) == sizeof(TW_INT8) && itemSize(TWTY_INT16) == sizeof(TW_INT16) &&
                  itemSize(TWTY_INT32) == sizeof(TW_INT32) && itemSize(TWTY_UINT8) == sizeof(TW_UINT8) &&
                  itemSize(TWTY_UINT16) == sizeof(TW_UINT16) && itemSize(TWTY_UINT32) == sizeof(TW_UINT32) &&
                  itemSize(TWTY_BOOL) == sizeof(TW_BOOL) && itemSize(TWTY_FIX32) == sizeof(TW_FIX32) &&
                  itemSize(TWTY_FRAME) == sizeof(TW_FRAME),
              "numeric item sizes differ from the types");
static_assert(itemSize(TWTY_STR32) == sizeof(TW_STR32) && itemSize(TWTY_STR64) == sizeof(TW_STR64) &&
                  itemSize(TWTY_STR128) == sizeof(TW_STR128) && itemSize(TWTY_STR255) == sizeof(TW_STR255),
              "string item sizes differ from the types");
static_assert(itemSize(TWTY_STR1024) == 1026 && itemSize(TWTY_UNI512) == 1024 && itemSize(TWTY_HANDLE) == 4,
              "wire sizes of the deprecated strings and of handles");
static_assert(itemSize(TWTY_HANDLE + 1) == 0 && itemSize(0xFFFF) == 0, "unknown types have no size");

} // namespace

const ContainerForm* containerForm(std::uint16_t conType)
{
    for (const ContainerForm& f : kForms) {
        if (f.conType == conType)
            return &f;
    }
    return nullptr;
}

namespace {

// count items of size bytes after at bytes; the largest number when that does not fit.
std::uint64_t withItems(std::uint64_t at, std::uint64_t size, std::uint64_t count)
{
    if (size != 0 && count > (UINT64_MAX - at) / size)
        return UINT64_MAX;
    return at + count * size;
}

// A list's items follow its header; a one value's item takes the 4-byte slot,
// inline behind ItemType, so a longer one adds to the structure when allocated.
std::uint64_t containerBytes(std::uint16_t conType, std::uint16_t itemType, std::uint64_t count, bool bAllocate)
{
    const ContainerForm* form = containerForm(conType);
    if (!form)
        return 0;
    const std::uint64_t size = itemSize(itemType);
    if (form->counted)
        return withItems(bAllocate ? form->structSize : form->itemsAt, size, count);
    if (conType != TWON_ONEVALUE)
        return form->structSize;
    if (!bAllocate)
        return form->itemsAt + size;
    return size > kOneValueSize - kOneValueItem ? form->structSize + size : form->structSize;
}

} // namespace

std::uint64_t containerBytesNeeded(std::uint16_t conType, std::uint16_t itemType, std::uint64_t count)
{
    return containerBytes(conType, itemType, count, false);
}

std::uint64_t containerBytesToAllocate(std::uint16_t conType, std::uint16_t itemType, std::uint64_t count)
{
    return containerBytes(conType, itemType, count, true);
}

} // namespace codec
