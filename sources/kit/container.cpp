#include "sources/kit/container.h"
#include "sources/kit/memory.h"

#include "codec/fix32.h"
#include "codec/twaincontainer.h"
#include "platform/win32.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

namespace dskit {

namespace {

using codec::kArrayItemList;
using codec::kEnumCurrentIndex;
using codec::kEnumDefaultIndex;
using codec::kEnumItemList;
using codec::kEnumNumItems;
using codec::kOneValueItem;
using codec::kOneValueSize;
using codec::kRangeCurrentValue;
using codec::kRangeDefaultValue;
using codec::kRangeMaxValue;
using codec::kRangeMinValue;
using codec::kRangeSize;
using codec::kRangeStepSize;

// The numeric item types a source answers and reads; 0 for the others.
std::size_t itemSize(TW_UINT16 type)
{
    return type <= TWTY_FIX32 ? codec::itemSize(type) : 0;
}

template <typename T>
void put(TW_UINT8* at, T value)
{
    std::memcpy(at, &value, sizeof value);
}

template <typename T>
T get(const TW_UINT8* at)
{
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// A value as the item type holds it: out of range it saturates (a device's
// value may be anything; a conversion that cannot hold it is undefined).
template <typename T>
T item(double v)
{
    if (std::isnan(v))
        return 0;
    const double lo = static_cast<double>(std::numeric_limits<T>::min());
    const double hi = static_cast<double>(std::numeric_limits<T>::max());
    return static_cast<T>(v < lo ? lo : v > hi ? hi : v);
}

void putItem(TW_UINT8* at, TW_UINT16 type, double v)
{
    switch (type) {
    case TWTY_INT8:
        put(at, item<TW_INT8>(v));
        break;
    case TWTY_UINT8:
        put(at, item<TW_UINT8>(v));
        break;
    case TWTY_INT16:
        put(at, item<TW_INT16>(v));
        break;
    case TWTY_UINT16:
    case TWTY_BOOL:
        put(at, item<TW_UINT16>(v));
        break;
    case TWTY_INT32:
        put(at, item<TW_INT32>(v));
        break;
    case TWTY_UINT32:
        put(at, item<TW_UINT32>(v));
        break;
    case TWTY_FIX32:
        put(at, toFix32(v));
        break;
    default:
        break;
    }
}

// A 4-byte slot (TW_ONEVALUE.Item, TW_RANGE values): narrow signed items are
// sign-extended, so the slot reads right both as the item and as 32 bits.
void putSlot(TW_UINT8* at, TW_UINT16 type, double v)
{
    if (type == TWTY_INT8 || type == TWTY_INT16)
        put(at, static_cast<TW_INT32>(v));
    else if (itemSize(type) < 4)
        put(at, static_cast<TW_UINT32>(v));
    else
        putItem(at, type, v);
}

bool getItem(const TW_UINT8* at, TW_UINT16 type, double& v)
{
    switch (type) {
    case TWTY_INT8:
        v = static_cast<signed char>(get<TW_INT8>(at));
        return true;
    case TWTY_UINT8:
        v = get<TW_UINT8>(at);
        return true;
    case TWTY_INT16:
        v = get<TW_INT16>(at);
        return true;
    case TWTY_UINT16:
    case TWTY_BOOL:
        v = get<TW_UINT16>(at);
        return true;
    case TWTY_INT32:
        v = get<TW_INT32>(at);
        return true;
    case TWTY_UINT32:
        v = get<TW_UINT32>(at);
        return true;
    case TWTY_FIX32:
        v = fromFix32(get<TW_FIX32>(at));
        return true;
    default:
        return false;
    }
}

TW_HANDLE allocate(std::size_t size, TW_UINT8*& p)
{
    TW_HANDLE h = memAllocate(size);
    p = h ? static_cast<TW_UINT8*>(memLock(h)) : nullptr;
    if (h && !p) {
        memFree(h);
        h = nullptr;
    }
    return h;
}

} // namespace

TW_FIX32 toFix32(double value)
{
    return codec::toFix32(value);
}

double fromFix32(const TW_FIX32& value)
{
    return codec::fromFix32(value);
}

TW_HANDLE buildContainer(const CapInfo& info, TW_UINT16 msg, TW_UINT16& conType)
{
    const bool whole = msg == MSG_GET || msg == MSG_RESET || info.form == TWON_ARRAY;
    conType = whole ? info.form : static_cast<TW_UINT16>(TWON_ONEVALUE);
    const std::size_t isz = itemSize(info.itemType);
    const std::size_t n = info.items.size();
    TW_UINT8* p = nullptr;
    TW_HANDLE h = nullptr;
    switch (conType) {
    case TWON_ARRAY:
        h = allocate(kArrayItemList + n * isz, p);
        if (!p)
            return nullptr;
        put(p + kEnumNumItems, static_cast<TW_UINT32>(n));
        for (std::size_t i = 0; i < n; ++i)
            putItem(p + kArrayItemList + i * isz, info.itemType, info.items[i]);
        break;
    case TWON_ENUMERATION: {
        h = allocate(kEnumItemList + n * isz, p);
        if (!p)
            return nullptr;
        TW_UINT32 current = 0, deflt = 0;
        for (std::size_t i = 0; i < n; ++i) {
            putItem(p + kEnumItemList + i * isz, info.itemType, info.items[i]);
            if (info.items[i] == info.current)
                current = static_cast<TW_UINT32>(i);
            if (info.items[i] == info.deflt)
                deflt = static_cast<TW_UINT32>(i);
        }
        put(p + kEnumNumItems, static_cast<TW_UINT32>(n));
        put(p + kEnumCurrentIndex, current);
        put(p + kEnumDefaultIndex, deflt);
        break;
    }
    case TWON_RANGE:
        h = allocate(kRangeSize, p);
        if (!p)
            return nullptr;
        putSlot(p + kRangeMinValue, info.itemType, info.min);
        putSlot(p + kRangeMaxValue, info.itemType, info.max);
        putSlot(p + kRangeStepSize, info.itemType, info.step);
        putSlot(p + kRangeDefaultValue, info.itemType, info.deflt);
        putSlot(p + kRangeCurrentValue, info.itemType, info.current);
        break;
    default:
        h = allocate(kOneValueSize, p);
        if (!p)
            return nullptr;
        putSlot(p + kOneValueItem, info.itemType, msg == MSG_GETDEFAULT ? info.deflt : info.current);
        break;
    }
    put(p, info.itemType);
    memUnlock(h);
    return h;
}

TW_HANDLE buildQuerySupport(TW_INT32 flags)
{
    TW_UINT8* p = nullptr;
    TW_HANDLE h = allocate(kOneValueSize, p);
    if (!p)
        return nullptr;
    put(p, static_cast<TW_UINT16>(TWTY_INT32));
    put(p + kOneValueItem, flags);
    memUnlock(h);
    return h;
}

bool readContainer(TW_HANDLE container, TW_UINT16 conType, double& value)
{
    if (!container)
        return false;
    const std::size_t size = memSize(container);
    const TW_UINT8* p = static_cast<const TW_UINT8*>(memLock(container));
    if (!p)
        return false;
    bool ok = false;
    const TW_UINT16 type = size >= 2 ? get<TW_UINT16>(p) : TWTY_STR255;
    const std::size_t isz = itemSize(type);
    if (isz == 0) {
        ok = false;
    } else if (conType == TWON_ONEVALUE) {
        ok = size >= kOneValueItem + isz && getItem(p + kOneValueItem, type, value);
    } else if (conType == TWON_ENUMERATION) {
        if (size >= kEnumItemList) {
            const TW_UINT32 n = get<TW_UINT32>(p + kEnumNumItems);
            const TW_UINT32 current = get<TW_UINT32>(p + kEnumCurrentIndex);
            ok = current < n && kEnumItemList + (static_cast<std::size_t>(current) + 1) * isz <= size &&
                 getItem(p + kEnumItemList + current * isz, type, value);
        }
    } else if (conType == TWON_RANGE) {
        ok = size >= kRangeSize && getItem(p + kRangeCurrentValue, type, value);
    }
    memUnlock(container);
    return ok;
}

} // namespace dskit
