// Capability containers: building them for MSG_SET and reading the ones that a
// source hands back. A source's container is read only inside the block that
// its handle holds (DSMSize), whatever its counts and indices claim.

#include "twain/twainiodirect.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "codec/twaincontainer.h"
#include "platform/win32.h"
#include "twain/twainmem.h"

namespace {

// Byte offsets of the container fields.
constexpr std::size_t kOffItemType = codec::kContainerItemType;
constexpr std::size_t kOffNumItems = codec::kEnumNumItems;
constexpr std::size_t kOffOneValueItem = codec::kOneValueItem;
constexpr std::size_t kOffArrayList = codec::kArrayItemList;
constexpr std::size_t kOffEnumCurrentIndex = codec::kEnumCurrentIndex;
constexpr std::size_t kOffEnumDefaultIndex = codec::kEnumDefaultIndex;
constexpr std::size_t kOffEnumList = codec::kEnumItemList;
constexpr std::size_t kOffRangeDefault = codec::kRangeDefaultValue;
constexpr std::size_t kOffRangeCurrent = codec::kRangeCurrentValue;
constexpr std::size_t kRangeSize = codec::kRangeSize;

// A locked memory block with its size, read and written at explicit offsets.
class Block
{
public:
    explicit Block(TW_HANDLE hMem) : m_hMem(hMem)
    {
        if (!m_hMem)
            return;
        m_pData = static_cast<TW_UINT8*>(DSMLock(m_hMem));
        if (m_pData)
            m_nSize = DSMSize(m_hMem);
    }
    ~Block()
    {
        if (m_pData)
            DSMUnlock(m_hMem);
    }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    bool locked() const { return m_pData != nullptr; }
    bool contains(std::size_t nOffset, std::uint64_t nLength) const
    {
        return nOffset <= m_nSize && nLength <= m_nSize - nOffset;
    }
    bool read16(std::size_t nOffset, TW_UINT16& value) const
    {
        if (!contains(nOffset, sizeof(value)))
            return false;
        std::memcpy(&value, m_pData + nOffset, sizeof(value));
        return true;
    }
    bool read32(std::size_t nOffset, TW_UINT32& value) const
    {
        if (!contains(nOffset, sizeof(value)))
            return false;
        std::memcpy(&value, m_pData + nOffset, sizeof(value));
        return true;
    }
    const TW_UINT8* at(std::size_t nOffset) const { return m_pData + nOffset; }
    TW_UINT8* at(std::size_t nOffset) { return m_pData + nOffset; }

private:
    TW_HANDLE m_hMem;
    TW_UINT8* m_pData = nullptr;
    std::size_t m_nSize = 0;
};

// Frees a container on every way out of a reader.
class FreeOnExit
{
public:
    explicit FreeOnExit(TW_HANDLE hMem) : m_hMem(hMem) {}
    ~FreeOnExit()
    {
        if (m_hMem)
            DSMFree(m_hMem);
    }
    FreeOnExit(const FreeOnExit&) = delete;
    FreeOnExit& operator=(const FreeOnExit&) = delete;

private:
    TW_HANDLE m_hMem;
};

void store(void* pOut, std::size_t nOutSize, const void* pSrc, std::size_t nLength)
{
    const std::size_t n = nLength < nOutSize ? nLength : nOutSize;
    if (n)
        std::memcpy(pOut, pSrc, n);
}

// One value out of a container that the source filled; false if the
// container type, the message or the block does not give one.
bool readOneValue(const Block& block, TW_UINT16 conType, TW_UINT16 MSG, void* pOut, std::size_t nOutSize)
{
    TW_UINT16 itemType = 0;
    if (!block.read16(kOffItemType, itemType))
        return false;
    const std::size_t nItemSize = static_cast<std::size_t>(TwainItemSize(itemType));

    switch (conType) {
    case TWON_ENUMERATION: {
        std::size_t nIndexOffset = 0;
        // MSG_GET's whole list holds the current item too; some sources answer it where a value was asked.
        if (MSG == MSG_GETCURRENT || MSG == MSG_RESET || MSG == MSG_GET)
            nIndexOffset = kOffEnumCurrentIndex;
        else if (MSG == MSG_GETDEFAULT)
            nIndexOffset = kOffEnumDefaultIndex;
        else
            return false;
        TW_UINT32 nItems = 0;
        TW_UINT32 nIndex = 0;
        if (!block.read32(kOffNumItems, nItems) || !block.read32(nIndexOffset, nIndex))
            return false;
        // The index must name an item, and the whole list must lie in the block.
        if (nIndex >= nItems || !block.contains(kOffEnumList, std::uint64_t(nItems) * nItemSize))
            return false;
        store(pOut, nOutSize, block.at(kOffEnumList + std::size_t(nIndex) * nItemSize), nItemSize);
        return true;
    }
    case TWON_ONEVALUE:
        // Items longer than 4 bytes (frames, strings) are stored inline.
        if (!block.contains(kOffOneValueItem, nItemSize))
            return false;
        store(pOut, nOutSize, block.at(kOffOneValueItem), nItemSize);
        return true;
    case TWON_RANGE: {
        std::size_t nValueOffset = 0;
        if (MSG == MSG_GETCURRENT || MSG == MSG_RESET || MSG == MSG_GET)
            nValueOffset = kOffRangeCurrent;
        else if (MSG == MSG_GETDEFAULT)
            nValueOffset = kOffRangeDefault;
        else
            return false;
        TW_UINT32 value = 0;
        if (!block.contains(0, kRangeSize) || !block.read32(nValueOffset, value))
            return false;
        switch (itemType) {
        case TWTY_INT8:
        case TWTY_UINT8: {
            const TW_UINT8 v = static_cast<TW_UINT8>(value & 0xFFu);
            store(pOut, nOutSize, &v, sizeof(v));
            return true;
        }
        case TWTY_INT16:
        case TWTY_UINT16:
        case TWTY_BOOL: {
            const TW_UINT16 v = static_cast<TW_UINT16>(value & 0xFFFFu);
            store(pOut, nOutSize, &v, sizeof(v));
            return true;
        }
        case TWTY_INT32:
        case TWTY_UINT32:
            store(pOut, nOutSize, &value, sizeof(value));
            return true;
        default:
            return false;
        }
    }
    default:
        return false;
    }
}

// Outcome of writing the caller's bytes into a container built for MSG_SET.
enum class Fill
{
    NotLocked,
    DoesNotFit,
    Done
};

Fill fillOneValue(TW_HANDLE hMem, const void* pValue)
{
    Block block(hMem);
    if (!block.locked())
        return Fill::NotLocked;
    TW_UINT16 itemType = 0;
    if (!block.read16(kOffItemType, itemType))
        return Fill::DoesNotFit;
    const std::size_t nItemSize = static_cast<std::size_t>(TwainItemSize(itemType));
    if (!block.contains(kOffOneValueItem, nItemSize))
        return Fill::DoesNotFit;
    if (nItemSize)
        std::memcpy(block.at(kOffOneValueItem), pValue, nItemSize);
    return Fill::Done;
}

Fill fillEnumList(TW_HANDLE hMem, const void* pItems, int nBytes)
{
    Block block(hMem);
    if (!block.locked())
        return Fill::NotLocked;
    if (nBytes < 0 || !block.contains(kOffEnumList, static_cast<std::uint64_t>(nBytes)))
        return Fill::DoesNotFit;
    if (nBytes)
        std::memcpy(block.at(kOffEnumList), pItems, static_cast<std::size_t>(nBytes));
    return Fill::Done;
}

// Sends a filled container with MSG_SET and frees it; a container that the
// bytes do not fit is freed unsent. Either way the record's handle is cleared.
TW_UINT16 sendSetContainer(CTwainIODirect& io, TW_CAPABILITY* pCap, Fill fill)
{
    // The container built for this call is freed, even if the source replaced the handle.
    const TW_HANDLE hMem = pCap->hContainer;
    TW_UINT16 rc = 1;
    if (fill == Fill::Done)
        rc = io.TwainCmd(DG_CONTROL, DAT_CAPABILITY, MSG_SET, pCap, &io.m_SourceID);
    DSMFree(hMem);
    pCap->hContainer = nullptr;
    return rc;
}

} // namespace

int TwainItemSize(TW_UINT16 itemType)
{
    return static_cast<int>(codec::itemSize(itemType));
}

bool CTwainIODirect::BuildCapContainer(TW_UINT16 cap, TW_UINT16 conType, TW_UINT16 itemType,
                                       TW_CAPABILITY* pCap, int n)
{
    pCap->Cap = cap;
    pCap->ConType = conType;
    pCap->hContainer = nullptr;

    const bool bList = conType == TWON_ARRAY || conType == TWON_ENUMERATION;
    if (bList && n < 0)
        return false;
    // Lists hold n items; a one value holds a long item (frame, string) inline.
    const std::uint64_t nSize =
        codec::containerBytesToAllocate(conType, itemType, bList ? static_cast<std::uint64_t>(n) : 1);
    if (nSize == 0)
        return false;
    if (nSize > UINT32_MAX)
        return false;

    ReloadFreedDSM();
    TW_HANDLE hMem = DSMAlloc(static_cast<TW_UINT32>(nSize));
    if (!hMem)
        return false;
    if (TW_UINT8* p = static_cast<TW_UINT8*>(DSMLock(hMem))) {
        std::memcpy(p + kOffItemType, &itemType, sizeof(itemType));
        if (bList) {
            const TW_UINT32 nItems = static_cast<TW_UINT32>(n);
            std::memcpy(p + kOffNumItems, &nItems, sizeof(nItems));
        }
        DSMUnlock(hMem);
    }
    pCap->hContainer = hMem;
    return true;
}

TW_UINT16 CTwainIODirect::TwainSetCapOneVal(TW_CAPABILITY* pCap, const void* pValue)
{
    const Fill fill = fillOneValue(pCap->hContainer, pValue);
    if (fill == Fill::NotLocked)
        return 1;
    return sendSetContainer(*this, pCap, fill);
}

TW_UINT16 CTwainIODirect::TwainSetCapEnum(TW_CAPABILITY* pCap, const void* pItems, int nBytes)
{
    // CurrentIndex and DefaultIndex stay 0: the first item is current and default.
    const Fill fill = fillEnumList(pCap->hContainer, pItems, nBytes);
    if (fill == Fill::NotLocked)
        return 1;
    return sendSetContainer(*this, pCap, fill);
}

namespace {

TW_UINT16 setOneValue(CTwainIODirect& io, TW_UINT16 cap, TW_UINT16 itemType, const void* pValue)
{
    TW_CAPABILITY capability;
    std::memset(&capability, 0, sizeof(capability));
    if (!io.BuildCapContainer(cap, TWON_ONEVALUE, itemType, &capability, 1))
        return 1;
    return io.TwainSetCapOneVal(&capability, pValue);
}

} // namespace

TW_UINT16 CTwainIODirect::SetCapOneValFIX32(TW_UINT16 cap, const TW_FIX32* pValue)
{
    return setOneValue(*this, cap, TWTY_FIX32, pValue);
}

TW_UINT16 CTwainIODirect::SetCapOneValUINT32(TW_UINT16 cap, const TW_UINT32* pValue)
{
    return setOneValue(*this, cap, TWTY_UINT32, pValue);
}

TW_UINT16 CTwainIODirect::SetCapOneValUINT16(TW_UINT16 cap, const TW_UINT16* pValue)
{
    return setOneValue(*this, cap, TWTY_UINT16, pValue);
}

TW_UINT16 CTwainIODirect::SetCapOneValINT16(TW_UINT16 cap, const TW_INT16* pValue)
{
    return setOneValue(*this, cap, TWTY_INT16, pValue);
}

TW_UINT16 CTwainIODirect::SetCapOneValBOOL(TW_UINT16 cap, const bool* pValue)
{
    unsigned char byte = 0;
    std::memcpy(&byte, pValue, 1);
    const TW_BOOL value = byte == 1 ? 1 : 0;
    return setOneValue(*this, cap, TWTY_BOOL, &value);
}

TW_UINT16 CTwainIODirect::SetCapEnumVector(TW_UINT16 cap, const QVector<TW_UINT16>& values)
{
    TW_CAPABILITY capability;
    std::memset(&capability, 0, sizeof(capability));
    if (!BuildCapContainer(cap, TWON_ENUMERATION, TWTY_UINT16, &capability, values.size()))
        return 1;
    return TwainSetCapEnum(&capability, values.constData(), 2 * values.size());
}

TW_UINT16 CTwainIODirect::TwainGetCapOneValSized(TW_CAPABILITY cap, void* pValue, std::size_t nValueSize,
                                                 TW_UINT16 MSG)
{
    if (TwainCmd(DG_CONTROL, DAT_CAPABILITY, MSG, &cap, &m_SourceID) != TWRC_SUCCESS)
        return 1;
    FreeOnExit owner(cap.hContainer);
    Block block(cap.hContainer);
    if (!block.locked())
        return 1;
    if (!pValue)
        nValueSize = 0;
    return readOneValue(block, cap.ConType, MSG, pValue, nValueSize) ? 0 : 1;
}

TW_UINT16 CTwainIODirect::TwainGetCapOneVal(TW_CAPABILITY cap, void* pValue, TW_UINT16 MSG)
{
    return TwainGetCapOneValSized(cap, pValue, TWAIN_MAX_ITEM_SIZE, MSG);
}

namespace {

TW_UINT16 getOneValue(CTwainIODirect& io, TW_UINT16 cap, void* pValue, std::size_t nValueSize, TW_UINT16 MSG)
{
    TW_CAPABILITY capability;
    capability.Cap = cap;
    capability.ConType = TWON_DONTCARE16;
    capability.hContainer = nullptr;
    return io.TwainGetCapOneValSized(capability, pValue, nValueSize, MSG);
}

} // namespace

TW_UINT16 CTwainIODirect::GetCapOneValFIX32(TW_UINT16 cap, TW_FIX32* pValue, TW_UINT16 MSG)
{
    return getOneValue(*this, cap, pValue, sizeof(*pValue), MSG);
}

TW_UINT16 CTwainIODirect::GetCapOneValUINT32(TW_UINT16 cap, TW_UINT32* pValue, TW_UINT16 MSG)
{
    return getOneValue(*this, cap, pValue, sizeof(*pValue), MSG);
}

TW_UINT16 CTwainIODirect::GetCapOneValUINT16(TW_UINT16 cap, TW_UINT16* pValue, TW_UINT16 MSG)
{
    return getOneValue(*this, cap, pValue, sizeof(*pValue), MSG);
}

TW_UINT16 CTwainIODirect::GetCapOneValINT16(TW_UINT16 cap, TW_INT16* pValue, TW_UINT16 MSG)
{
    return getOneValue(*this, cap, pValue, sizeof(*pValue), MSG);
}

TW_UINT16 CTwainIODirect::GetCapOneValBOOL(TW_UINT16 cap, bool* pValue, TW_UINT16 MSG)
{
    TW_UINT8 buffer[4] = {0, 0, 0, 0};
    const TW_UINT16 rc = getOneValue(*this, cap, buffer, sizeof(buffer), MSG);
    if (rc == 0) {
        TW_UINT16 low = 0;
        std::memcpy(&low, buffer, sizeof(low));
        *pValue = low == 1;
    }
    return rc;
}

TW_UINT16 CTwainIODirect::TwainGetCapEnum(TW_UINT16 cap, QVector<TW_UINT16>& values)
{
    TW_CAPABILITY capability;
    capability.Cap = cap;
    capability.ConType = TWON_ENUMERATION;
    capability.hContainer = nullptr;
    const TW_UINT16 rc = TwainCmd(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &capability, &m_SourceID);
    if (rc != TWRC_SUCCESS)
        return rc;
    FreeOnExit owner(capability.hContainer);
    Block block(capability.hContainer);
    if (!block.locked())
        return 1;

    TW_UINT16 itemType = 0;
    TW_UINT32 nItems = 1;
    std::size_t nListOffset = 0;
    if (!block.read16(kOffItemType, itemType))
        return 1;
    switch (capability.ConType) {
    case TWON_ONEVALUE:
        nListOffset = kOffOneValueItem;
        break;
    case TWON_ENUMERATION:
        nListOffset = kOffEnumList;
        if (!block.read32(kOffNumItems, nItems))
            return 1;
        break;
    case TWON_ARRAY:
        nListOffset = kOffArrayList;
        if (!block.read32(kOffNumItems, nItems))
            return 1;
        break;
    default:
        return 1;
    }
    // Only lists of 16-bit items (TWTY_INT16, TWTY_UINT16, TWTY_BOOL) are taken.
    if (TwainItemSize(itemType) != 2)
        return 1;
    const std::uint64_t nBytes = std::uint64_t(nItems) * 2;
    if (nItems > static_cast<TW_UINT32>(INT_MAX) || !block.contains(nListOffset, nBytes))
        return 1;
    values.resize(static_cast<int>(nItems));
    if (nBytes)
        std::memcpy(values.data(), block.at(nListOffset), static_cast<std::size_t>(nBytes));
    return 0;
}

TW_UINT16 CTwainIODirect::TwainGetCapContainer(TW_UINT16 cap, TW_UINT16 msg, TW_UINT16& conType,
                                               QByteArray& bytes)
{
    TW_CAPABILITY capability;
    capability.Cap = cap;
    capability.ConType = TWON_DONTCARE16;
    capability.hContainer = nullptr;
    const TW_UINT16 rc = TwainCmd(DG_CONTROL, DAT_CAPABILITY, msg, &capability, &m_SourceID);
    if (rc != TWRC_SUCCESS)
        return rc;
    FreeOnExit owner(capability.hContainer);
    Block block(capability.hContainer);
    TW_UINT16 itemType = 0;
    if (!block.locked() || !block.read16(kOffItemType, itemType))
        return 1;
    const int nItemSize = TwainItemSize(itemType);
    if (nItemSize == 0)
        return 1;
    std::uint64_t nLength = 0;
    TW_UINT32 nItems = 0;
    switch (capability.ConType) {
    case TWON_ONEVALUE:
        // A short item still fills the 4 bytes of TW_ONEVALUE's Item.
        nLength = kOffOneValueItem + std::uint64_t(std::max(nItemSize, 4));
        break;
    case TWON_RANGE:
        nLength = kOffRangeCurrent + 4;
        break;
    case TWON_ENUMERATION:
        if (!block.read32(kOffNumItems, nItems))
            return 1;
        nLength = kOffEnumList + std::uint64_t(nItems) * std::uint64_t(nItemSize);
        break;
    case TWON_ARRAY:
        if (!block.read32(kOffNumItems, nItems))
            return 1;
        nLength = kOffArrayList + std::uint64_t(nItems) * std::uint64_t(nItemSize);
        break;
    default:
        return 1;
    }
    // A one-value item shorter than 4 bytes may come in a block cut after the item.
    if (capability.ConType == TWON_ONEVALUE && !block.contains(0, nLength))
        nLength = kOffOneValueItem + std::uint64_t(nItemSize);
    if (nLength > std::uint64_t(INT_MAX / 2) || !block.contains(0, nLength))
        return 1;
    conType = capability.ConType;
    bytes = QByteArray(reinterpret_cast<const char*>(block.at(0)), int(nLength));
    return TWRC_SUCCESS;
}
