#include "sources/kit/container.h"
#include "sources/kit/memory.h"

#include "platform/win32.h"

#include <cmath>
#include <cstddef>
#include <cstring>

namespace dskit {

namespace {

// Offsets of the container layouts (2-byte packing, no pointers inside).
constexpr std::size_t kOneValueItem = 2;
constexpr std::size_t kOneValueSize = 6;
constexpr std::size_t kEnumNumItems = 2;
constexpr std::size_t kEnumCurrent = 6;
constexpr std::size_t kEnumDefault = 10;
constexpr std::size_t kEnumItems = 14;
constexpr std::size_t kRangeMin = 2;
constexpr std::size_t kRangeMax = 6;
constexpr std::size_t kRangeStep = 10;
constexpr std::size_t kRangeDefault = 14;
constexpr std::size_t kRangeCurrent = 18;
constexpr std::size_t kRangeSize = 22;
constexpr std::size_t kArrayItems = 6;

std::size_t itemSize(TW_UINT16 type)
{
    switch (type) {
    case TWTY_INT8:
    case TWTY_UINT8:
        return 1;
    case TWTY_INT16:
    case TWTY_UINT16:
    case TWTY_BOOL:
        return 2;
    case TWTY_INT32:
    case TWTY_UINT32:
    case TWTY_FIX32:
        return 4;
    default:
        return 0; // not an item type this source reads or writes
    }
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

void putItem(TW_UINT8* at, TW_UINT16 type, double v)
{
    switch (type) {
    case TWTY_INT8:
        put(at, static_cast<TW_INT8>(v));
        break;
    case TWTY_UINT8:
        put(at, static_cast<TW_UINT8>(v));
        break;
    case TWTY_INT16:
        put(at, static_cast<TW_INT16>(v));
        break;
    case TWTY_UINT16:
    case TWTY_BOOL:
        put(at, static_cast<TW_UINT16>(v));
        break;
    case TWTY_INT32:
        put(at, static_cast<TW_INT32>(v));
        break;
    case TWTY_UINT32:
        put(at, static_cast<TW_UINT32>(v));
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
    double scaled = std::floor(value * 65536.0 + 0.5);
    if (scaled > 2147483647.0)
        scaled = 2147483647.0;
    if (scaled < -2147483648.0)
        scaled = -2147483648.0;
    const TW_INT32 raw = static_cast<TW_INT32>(scaled);
    TW_FIX32 f;
    f.Whole = static_cast<TW_INT16>(raw >> 16);
    f.Frac = static_cast<TW_UINT16>(raw & 0xFFFF);
    return f;
}

double fromFix32(const TW_FIX32& value)
{
    return value.Whole + value.Frac / 65536.0;
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
        h = allocate(kArrayItems + n * isz, p);
        if (!p)
            return nullptr;
        put(p + kEnumNumItems, static_cast<TW_UINT32>(n));
        for (std::size_t i = 0; i < n; ++i)
            putItem(p + kArrayItems + i * isz, info.itemType, info.items[i]);
        break;
    case TWON_ENUMERATION: {
        h = allocate(kEnumItems + n * isz, p);
        if (!p)
            return nullptr;
        TW_UINT32 current = 0, deflt = 0;
        for (std::size_t i = 0; i < n; ++i) {
            putItem(p + kEnumItems + i * isz, info.itemType, info.items[i]);
            if (info.items[i] == info.current)
                current = static_cast<TW_UINT32>(i);
            if (info.items[i] == info.deflt)
                deflt = static_cast<TW_UINT32>(i);
        }
        put(p + kEnumNumItems, static_cast<TW_UINT32>(n));
        put(p + kEnumCurrent, current);
        put(p + kEnumDefault, deflt);
        break;
    }
    case TWON_RANGE:
        h = allocate(kRangeSize, p);
        if (!p)
            return nullptr;
        putSlot(p + kRangeMin, info.itemType, info.min);
        putSlot(p + kRangeMax, info.itemType, info.max);
        putSlot(p + kRangeStep, info.itemType, info.step);
        putSlot(p + kRangeDefault, info.itemType, info.deflt);
        putSlot(p + kRangeCurrent, info.itemType, info.current);
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
        if (size >= kEnumItems) {
            const TW_UINT32 n = get<TW_UINT32>(p + kEnumNumItems);
            const TW_UINT32 current = get<TW_UINT32>(p + kEnumCurrent);
            ok = current < n && kEnumItems + (static_cast<std::size_t>(current) + 1) * isz <= size &&
                 getItem(p + kEnumItems + current * isz, type, value);
        }
    } else if (conType == TWON_RANGE) {
        ok = size >= kRangeSize && getItem(p + kRangeCurrent, type, value);
    }
    memUnlock(container);
    return ok;
}

} // namespace dskit
