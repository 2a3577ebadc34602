#include "twain/wirelayout.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "TWAIN wire blocks are little-endian; this conversion assumes a little-endian host"
#endif

namespace TwainWire {
namespace {

// ---------------------------------------------------------------------------
// Field tables. offset32/size32 are the 32-bit wire layout; the native offsets
// come from the structures themselves, and the checks below make sure both
// forms are covered back to back up to the structure's size.
// ---------------------------------------------------------------------------

constexpr std::uint16_t kPtr = sizeof(void*);

constexpr Field field(const char* name, std::uint16_t offset32, std::size_t offsetNative,
                      std::uint16_t size32, std::uint16_t sizeNative, FieldKind kind)
{
    return Field{name, offset32, static_cast<std::uint16_t>(offsetNative), size32, sizeNative, kind};
}

// The tables keep one entry per line, like the standard's own.
// clang-format off
#define WIRE_BYTES(T, m, o32, s) field(#m, o32, offsetof(T, m), s, s, FieldKind::Bytes)
#define WIRE_HANDLE(T, m, o32) field(#m, o32, offsetof(T, m), 4, kPtr, FieldKind::Handle)
#define WIRE_UINTPTR(T, m, o32) field(#m, o32, offsetof(T, m), 4, kPtr, FieldKind::UintPtr)
#define WIRE_SIZEOF(T, m, o32) field(#m, o32, offsetof(T, m), 4, 4, FieldKind::SizeOf)
// A TW_MEMORY inside another structure.
#define WIRE_MEMORY(T, m, o32)                                                                     \
    WIRE_BYTES(T, m.Flags, o32, 4), WIRE_BYTES(T, m.Length, (o32) + 4, 4), WIRE_HANDLE(T, m.TheMem, (o32) + 8)

// DAT_PARENT, DAT_IMAGENATIVEXFER, DAT_AUDIONATIVEXFER: the block is one handle.
constexpr Field kHandleBlock[] = {{"handle", 0, 0, 4, kPtr, FieldKind::Handle}};
// DAT_XFERGROUP: one TW_UINT32 (a DG_ value).
constexpr Field kUint32Block[] = {{"DG", 0, 0, 4, 4, FieldKind::Bytes}};

constexpr Field kCapability[] = {
    WIRE_BYTES(TW_CAPABILITY, Cap, 0, 2),
    WIRE_BYTES(TW_CAPABILITY, ConType, 2, 2),
    WIRE_HANDLE(TW_CAPABILITY, hContainer, 4),
};

constexpr Field kEvent[] = {
    WIRE_HANDLE(TW_EVENT, pEvent, 0),
    WIRE_BYTES(TW_EVENT, TWMessage, 4, 2),
};

constexpr Field kIdentity[] = {
    WIRE_BYTES(TW_IDENTITY, Id, 0, 4),
    WIRE_BYTES(TW_IDENTITY, Version, 4, 42),
    WIRE_BYTES(TW_IDENTITY, ProtocolMajor, 46, 2),
    WIRE_BYTES(TW_IDENTITY, ProtocolMinor, 48, 2),
    WIRE_BYTES(TW_IDENTITY, SupportedGroups, 50, 4),
    WIRE_BYTES(TW_IDENTITY, Manufacturer, 54, 34),
    WIRE_BYTES(TW_IDENTITY, ProductFamily, 88, 34),
    WIRE_BYTES(TW_IDENTITY, ProductName, 122, 34),
};

constexpr Field kPendingXfers[] = {
    WIRE_BYTES(TW_PENDINGXFERS, Count, 0, 2),
    WIRE_BYTES(TW_PENDINGXFERS, EOJ, 2, 4),
};

constexpr Field kSetupMemXfer[] = {
    WIRE_BYTES(TW_SETUPMEMXFER, MinBufSize, 0, 4),
    WIRE_BYTES(TW_SETUPMEMXFER, MaxBufSize, 4, 4),
    WIRE_BYTES(TW_SETUPMEMXFER, Preferred, 8, 4),
};

constexpr Field kSetupFileXfer[] = {
    WIRE_BYTES(TW_SETUPFILEXFER, FileName, 0, 256),
    WIRE_BYTES(TW_SETUPFILEXFER, Format, 256, 2),
    WIRE_BYTES(TW_SETUPFILEXFER, VRefNum, 258, 2),
};

constexpr Field kStatus[] = {
    WIRE_BYTES(TW_STATUS, ConditionCode, 0, 2),
    WIRE_BYTES(TW_STATUS, Data, 2, 2),
};

constexpr Field kUserInterface[] = {
    WIRE_BYTES(TW_USERINTERFACE, ShowUI, 0, 2),
    WIRE_BYTES(TW_USERINTERFACE, ModalUI, 2, 2),
    WIRE_HANDLE(TW_USERINTERFACE, hParent, 4),
};

constexpr Field kCustomDsData[] = {
    WIRE_BYTES(TW_CUSTOMDSDATA, InfoLength, 0, 4),
    WIRE_HANDLE(TW_CUSTOMDSDATA, hData, 4),
};

constexpr Field kDeviceEvent[] = {
    WIRE_BYTES(TW_DEVICEEVENT, Event, 0, 4),
    WIRE_BYTES(TW_DEVICEEVENT, DeviceName, 4, 256),
    WIRE_BYTES(TW_DEVICEEVENT, BatteryMinutes, 260, 4),
    WIRE_BYTES(TW_DEVICEEVENT, BatteryPercentage, 264, 2),
    WIRE_BYTES(TW_DEVICEEVENT, PowerSupply, 266, 4),
    WIRE_BYTES(TW_DEVICEEVENT, XResolution, 270, 4),
    WIRE_BYTES(TW_DEVICEEVENT, YResolution, 274, 4),
    WIRE_BYTES(TW_DEVICEEVENT, FlashUsed2, 278, 4),
    WIRE_BYTES(TW_DEVICEEVENT, AutomaticCapture, 282, 4),
    WIRE_BYTES(TW_DEVICEEVENT, TimeBeforeFirstCapture, 286, 4),
    WIRE_BYTES(TW_DEVICEEVENT, TimeBetweenCaptures, 290, 4),
};

constexpr Field kFileSystem[] = {
    WIRE_BYTES(TW_FILESYSTEM, InputName, 0, 256),
    WIRE_BYTES(TW_FILESYSTEM, OutputName, 256, 256),
    WIRE_HANDLE(TW_FILESYSTEM, Context, 512),
    WIRE_BYTES(TW_FILESYSTEM, Recursive, 516, 4),
    WIRE_BYTES(TW_FILESYSTEM, FileType, 520, 4),
    WIRE_BYTES(TW_FILESYSTEM, Size, 524, 4),
    WIRE_BYTES(TW_FILESYSTEM, CreateTimeDate, 528, 34),
    WIRE_BYTES(TW_FILESYSTEM, ModifiedTimeDate, 562, 34),
    WIRE_BYTES(TW_FILESYSTEM, FreeSpace, 596, 4),
    WIRE_BYTES(TW_FILESYSTEM, NewImageSize, 600, 4),
    WIRE_BYTES(TW_FILESYSTEM, NumberOfFiles, 604, 4),
    WIRE_BYTES(TW_FILESYSTEM, NumberOfSnippets, 608, 4),
    WIRE_BYTES(TW_FILESYSTEM, DeviceGroupMask, 612, 4),
    WIRE_BYTES(TW_FILESYSTEM, Reserved, 616, 508),
};

constexpr Field kPassThru[] = {
    WIRE_HANDLE(TW_PASSTHRU, pCommand, 0),
    WIRE_BYTES(TW_PASSTHRU, CommandBytes, 4, 4),
    WIRE_BYTES(TW_PASSTHRU, Direction, 8, 4),
    WIRE_HANDLE(TW_PASSTHRU, pData, 12),
    WIRE_BYTES(TW_PASSTHRU, DataBytes, 16, 4),
    WIRE_BYTES(TW_PASSTHRU, DataBytesXfered, 20, 4),
};

constexpr Field kCallback[] = {
    WIRE_HANDLE(TW_CALLBACK, CallBackProc, 0),
    WIRE_BYTES(TW_CALLBACK, RefCon, 4, 4),
    WIRE_BYTES(TW_CALLBACK, Message, 8, 2),
};

constexpr Field kStatusUtf8[] = {
    WIRE_BYTES(TW_STATUSUTF8, Status, 0, 4),
    WIRE_BYTES(TW_STATUSUTF8, Size, 4, 4),
    WIRE_HANDLE(TW_STATUSUTF8, UTF8string, 8),
};

constexpr Field kCallback2[] = {
    WIRE_HANDLE(TW_CALLBACK2, CallBackProc, 0),
    WIRE_UINTPTR(TW_CALLBACK2, RefCon, 4),
    WIRE_BYTES(TW_CALLBACK2, Message, 8, 2),
};

constexpr Field kMetrics[] = {
    WIRE_BYTES(TW_METRICS, SizeOf, 0, 4),
    WIRE_BYTES(TW_METRICS, ImageCount, 4, 4),
    WIRE_BYTES(TW_METRICS, SheetCount, 8, 4),
};

constexpr Field kTwainDirect[] = {
    WIRE_BYTES(TW_TWAINDIRECT, SizeOf, 0, 4),
    WIRE_BYTES(TW_TWAINDIRECT, CommunicationManager, 4, 2),
    WIRE_HANDLE(TW_TWAINDIRECT, Send, 6),
    WIRE_BYTES(TW_TWAINDIRECT, SendSize, 10, 4),
    WIRE_HANDLE(TW_TWAINDIRECT, Receive, 14),
    WIRE_BYTES(TW_TWAINDIRECT, ReceiveSize, 18, 4),
};

constexpr Field kImageInfo[] = {
    WIRE_BYTES(TW_IMAGEINFO, XResolution, 0, 4),
    WIRE_BYTES(TW_IMAGEINFO, YResolution, 4, 4),
    WIRE_BYTES(TW_IMAGEINFO, ImageWidth, 8, 4),
    WIRE_BYTES(TW_IMAGEINFO, ImageLength, 12, 4),
    WIRE_BYTES(TW_IMAGEINFO, SamplesPerPixel, 16, 2),
    WIRE_BYTES(TW_IMAGEINFO, BitsPerSample, 18, 16),
    WIRE_BYTES(TW_IMAGEINFO, BitsPerPixel, 34, 2),
    WIRE_BYTES(TW_IMAGEINFO, Planar, 36, 2),
    WIRE_BYTES(TW_IMAGEINFO, PixelType, 38, 2),
    WIRE_BYTES(TW_IMAGEINFO, Compression, 40, 2),
};

constexpr Field kImageLayout[] = {
    WIRE_BYTES(TW_IMAGELAYOUT, Frame, 0, 16),
    WIRE_BYTES(TW_IMAGELAYOUT, DocumentNumber, 16, 4),
    WIRE_BYTES(TW_IMAGELAYOUT, PageNumber, 20, 4),
    WIRE_BYTES(TW_IMAGELAYOUT, FrameNumber, 24, 4),
};

constexpr Field kImageMemXfer[] = {
    WIRE_BYTES(TW_IMAGEMEMXFER, Compression, 0, 2),
    WIRE_BYTES(TW_IMAGEMEMXFER, BytesPerRow, 2, 4),
    WIRE_BYTES(TW_IMAGEMEMXFER, Columns, 6, 4),
    WIRE_BYTES(TW_IMAGEMEMXFER, Rows, 10, 4),
    WIRE_BYTES(TW_IMAGEMEMXFER, XOffset, 14, 4),
    WIRE_BYTES(TW_IMAGEMEMXFER, YOffset, 18, 4),
    WIRE_BYTES(TW_IMAGEMEMXFER, BytesWritten, 22, 4),
    WIRE_MEMORY(TW_IMAGEMEMXFER, Memory, 26),
};

constexpr Field kCieColor[] = {
    WIRE_BYTES(TW_CIECOLOR, ColorSpace, 0, 2),
    WIRE_BYTES(TW_CIECOLOR, LowEndian, 2, 2),
    WIRE_BYTES(TW_CIECOLOR, DeviceDependent, 4, 2),
    WIRE_BYTES(TW_CIECOLOR, VersionNumber, 6, 4),
    WIRE_BYTES(TW_CIECOLOR, StageABC, 10, 132),
    WIRE_BYTES(TW_CIECOLOR, StageLMN, 142, 132),
    WIRE_BYTES(TW_CIECOLOR, WhitePoint, 274, 12),
    WIRE_BYTES(TW_CIECOLOR, BlackPoint, 286, 12),
    WIRE_BYTES(TW_CIECOLOR, WhitePaper, 298, 12),
    WIRE_BYTES(TW_CIECOLOR, BlackInk, 310, 12),
};

constexpr Field kFix32[] = {
    WIRE_BYTES(TW_FIX32, Whole, 0, 2),
    WIRE_BYTES(TW_FIX32, Frac, 2, 2),
};

constexpr Field kElement8[] = {
    WIRE_BYTES(TW_ELEMENT8, Index, 0, 1),
    WIRE_BYTES(TW_ELEMENT8, Channel1, 1, 1),
    WIRE_BYTES(TW_ELEMENT8, Channel2, 2, 1),
    WIRE_BYTES(TW_ELEMENT8, Channel3, 3, 1),
};

constexpr Field kJpegCompression[] = {
    WIRE_BYTES(TW_JPEGCOMPRESSION, ColorSpace, 0, 2),
    WIRE_BYTES(TW_JPEGCOMPRESSION, SubSampling, 2, 4),
    WIRE_BYTES(TW_JPEGCOMPRESSION, NumComponents, 6, 2),
    WIRE_BYTES(TW_JPEGCOMPRESSION, RestartFrequency, 8, 2),
    WIRE_BYTES(TW_JPEGCOMPRESSION, QuantMap, 10, 8),
    WIRE_MEMORY(TW_JPEGCOMPRESSION, QuantTable[0], 18),
    WIRE_MEMORY(TW_JPEGCOMPRESSION, QuantTable[1], 30),
    WIRE_MEMORY(TW_JPEGCOMPRESSION, QuantTable[2], 42),
    WIRE_MEMORY(TW_JPEGCOMPRESSION, QuantTable[3], 54),
    WIRE_BYTES(TW_JPEGCOMPRESSION, HuffmanMap, 66, 8),
    WIRE_MEMORY(TW_JPEGCOMPRESSION, HuffmanDC[0], 74),
    WIRE_MEMORY(TW_JPEGCOMPRESSION, HuffmanDC[1], 86),
    WIRE_MEMORY(TW_JPEGCOMPRESSION, HuffmanAC[0], 98),
    WIRE_MEMORY(TW_JPEGCOMPRESSION, HuffmanAC[1], 110),
};

constexpr Field kPalette8[] = {
    WIRE_BYTES(TW_PALETTE8, NumColors, 0, 2),
    WIRE_BYTES(TW_PALETTE8, PaletteType, 2, 2),
    WIRE_BYTES(TW_PALETTE8, Colors, 4, 1024),
};

constexpr Field kExtImageInfo[] = {
    WIRE_BYTES(TW_EXTIMAGEINFO, NumInfos, 0, 4),
};

constexpr Field kInfo[] = {
    WIRE_BYTES(TW_INFO, InfoID, 0, 2),
    WIRE_BYTES(TW_INFO, ItemType, 2, 2),
    WIRE_BYTES(TW_INFO, NumItems, 4, 2),
    WIRE_BYTES(TW_INFO, ReturnCode, 6, 2),
    WIRE_UINTPTR(TW_INFO, Item, 8),
};

constexpr Field kFilter[] = {
    WIRE_BYTES(TW_FILTER, Size, 0, 4),
    WIRE_BYTES(TW_FILTER, DescriptorCount, 4, 4),
    WIRE_BYTES(TW_FILTER, MaxDescriptorCount, 8, 4),
    WIRE_BYTES(TW_FILTER, Condition, 12, 4),
    WIRE_HANDLE(TW_FILTER, hDescriptors, 16),
};

constexpr Field kAudioInfo[] = {
    WIRE_BYTES(TW_AUDIOINFO, Name, 0, 256),
    WIRE_BYTES(TW_AUDIOINFO, Reserved, 256, 4),
};

constexpr Field kMemory[] = {
    WIRE_BYTES(TW_MEMORY, Flags, 0, 4),
    WIRE_BYTES(TW_MEMORY, Length, 4, 4),
    WIRE_HANDLE(TW_MEMORY, TheMem, 8),
};

// A 64-bit DSM accepts DAT_ENTRYPOINT only with Size equal to its own sizeof.
constexpr Field kEntryPoint[] = {
    WIRE_SIZEOF(TW_ENTRYPOINT, Size, 0),
    WIRE_HANDLE(TW_ENTRYPOINT, DSM_Entry, 4),
    WIRE_HANDLE(TW_ENTRYPOINT, DSM_MemAllocate, 8),
    WIRE_HANDLE(TW_ENTRYPOINT, DSM_MemFree, 12),
    WIRE_HANDLE(TW_ENTRYPOINT, DSM_MemLock, 16),
    WIRE_HANDLE(TW_ENTRYPOINT, DSM_MemUnlock, 20),
};

#undef WIRE_MEMORY
#undef WIRE_SIZEOF
#undef WIRE_UINTPTR
#undef WIRE_HANDLE
#undef WIRE_BYTES

// ---------------------------------------------------------------------------
// Compile-time checks of the tables
// ---------------------------------------------------------------------------

template <std::size_t N>
constexpr bool backToBack(const Field (&fields)[N], std::size_t end32, std::size_t endNative)
{
    std::size_t o32 = 0;
    std::size_t oNative = 0;
    for (const Field& f : fields) {
        if (f.offset32 != o32 || f.offsetNative != oNative)
            return false;
        const bool wide = f.kind == FieldKind::Handle || f.kind == FieldKind::UintPtr;
        if (wide ? (f.size32 != 4 || f.sizeNative != kPtr) : f.size32 != f.sizeNative)
            return false;
        o32 += f.size32;
        oNative += f.sizeNative;
    }
    return o32 == end32 && oNative == endNative;
}

template <std::size_t N>
constexpr bool anyWide(const Field (&fields)[N])
{
    for (const Field& f : fields)
        if (f.kind != FieldKind::Bytes)
            return true;
    return false;
}

// s32 is the 32-bit size of the whole structure as the standard gives it.
#define CHECK_FIELDS(fields, T, s32)                                                   \
    static_assert(backToBack(fields, s32, sizeof(T)), "field table of " #T);           \
    static_assert(kWireIsNative ? sizeof(T) == (s32) : sizeof(T) >= (s32), "size of " #T)
// The fields cover everything before the one declared trailing element.
#define CHECK_HEAD(fields, T, s32, E, e32)                                               \
    static_assert(backToBack(fields, (s32) - (e32), sizeof(T) - sizeof(E)), "field table of " #T); \
    static_assert(kWireIsNative ? sizeof(T) == (s32) : sizeof(T) >= (s32), "size of " #T)

CHECK_FIELDS(kHandleBlock, TW_HANDLE, 4);
CHECK_FIELDS(kUint32Block, TW_UINT32, 4);
CHECK_FIELDS(kCapability, TW_CAPABILITY, 8);
CHECK_FIELDS(kEvent, TW_EVENT, 6);
CHECK_FIELDS(kIdentity, TW_IDENTITY, 156);
CHECK_FIELDS(kPendingXfers, TW_PENDINGXFERS, 6);
CHECK_FIELDS(kSetupMemXfer, TW_SETUPMEMXFER, 12);
CHECK_FIELDS(kSetupFileXfer, TW_SETUPFILEXFER, 260);
CHECK_FIELDS(kStatus, TW_STATUS, 4);
CHECK_FIELDS(kUserInterface, TW_USERINTERFACE, 8);
CHECK_FIELDS(kCustomDsData, TW_CUSTOMDSDATA, 8);
CHECK_FIELDS(kDeviceEvent, TW_DEVICEEVENT, 294);
CHECK_FIELDS(kFileSystem, TW_FILESYSTEM, 1124);
CHECK_FIELDS(kPassThru, TW_PASSTHRU, 24);
CHECK_FIELDS(kCallback, TW_CALLBACK, 10);
CHECK_FIELDS(kStatusUtf8, TW_STATUSUTF8, 12);
CHECK_FIELDS(kCallback2, TW_CALLBACK2, 10);
CHECK_FIELDS(kMetrics, TW_METRICS, 12);
CHECK_FIELDS(kTwainDirect, TW_TWAINDIRECT, 22);
CHECK_FIELDS(kImageInfo, TW_IMAGEINFO, 42);
CHECK_FIELDS(kImageLayout, TW_IMAGELAYOUT, 28);
CHECK_FIELDS(kImageMemXfer, TW_IMAGEMEMXFER, 38);
CHECK_HEAD(kCieColor, TW_CIECOLOR, 326, TW_FIX32, 4);
CHECK_FIELDS(kFix32, TW_FIX32, 4);
CHECK_FIELDS(kElement8, TW_ELEMENT8, 4);
CHECK_FIELDS(kJpegCompression, TW_JPEGCOMPRESSION, 122);
CHECK_FIELDS(kPalette8, TW_PALETTE8, 1028);
CHECK_HEAD(kExtImageInfo, TW_EXTIMAGEINFO, 16, TW_INFO, 12);
CHECK_FIELDS(kInfo, TW_INFO, 12);
CHECK_FIELDS(kFilter, TW_FILTER, 20);
CHECK_FIELDS(kAudioInfo, TW_AUDIOINFO, 260);
CHECK_FIELDS(kMemory, TW_MEMORY, 12);
CHECK_FIELDS(kEntryPoint, TW_ENTRYPOINT, 24);

#undef CHECK_HEAD
#undef CHECK_FIELDS

// ---------------------------------------------------------------------------
// Layouts
// ---------------------------------------------------------------------------

#define LAYOUT(var, name, fields, s32, T) \
    constexpr Layout var{name, fields, std::size(fields), s32, sizeof(T), nullptr, -1, anyWide(fields)}

LAYOUT(lyHandle, "TW_HANDLE", kHandleBlock, 4, TW_HANDLE);
LAYOUT(lyUint32, "TW_UINT32", kUint32Block, 4, TW_UINT32);
LAYOUT(lyCapability, "TW_CAPABILITY", kCapability, 8, TW_CAPABILITY);
LAYOUT(lyEvent, "TW_EVENT", kEvent, 6, TW_EVENT);
LAYOUT(lyIdentity, "TW_IDENTITY", kIdentity, 156, TW_IDENTITY);
LAYOUT(lyPendingXfers, "TW_PENDINGXFERS", kPendingXfers, 6, TW_PENDINGXFERS);
LAYOUT(lySetupMemXfer, "TW_SETUPMEMXFER", kSetupMemXfer, 12, TW_SETUPMEMXFER);
LAYOUT(lySetupFileXfer, "TW_SETUPFILEXFER", kSetupFileXfer, 260, TW_SETUPFILEXFER);
LAYOUT(lyStatus, "TW_STATUS", kStatus, 4, TW_STATUS);
LAYOUT(lyUserInterface, "TW_USERINTERFACE", kUserInterface, 8, TW_USERINTERFACE);
LAYOUT(lyCustomDsData, "TW_CUSTOMDSDATA", kCustomDsData, 8, TW_CUSTOMDSDATA);
LAYOUT(lyDeviceEvent, "TW_DEVICEEVENT", kDeviceEvent, 294, TW_DEVICEEVENT);
LAYOUT(lyFileSystem, "TW_FILESYSTEM", kFileSystem, 1124, TW_FILESYSTEM);
LAYOUT(lyPassThru, "TW_PASSTHRU", kPassThru, 24, TW_PASSTHRU);
LAYOUT(lyCallback, "TW_CALLBACK", kCallback, 10, TW_CALLBACK);
LAYOUT(lyStatusUtf8, "TW_STATUSUTF8", kStatusUtf8, 12, TW_STATUSUTF8);
LAYOUT(lyCallback2, "TW_CALLBACK2", kCallback2, 10, TW_CALLBACK2);
LAYOUT(lyMetrics, "TW_METRICS", kMetrics, 12, TW_METRICS);
LAYOUT(lyTwainDirect, "TW_TWAINDIRECT", kTwainDirect, 22, TW_TWAINDIRECT);
LAYOUT(lyImageInfo, "TW_IMAGEINFO", kImageInfo, 42, TW_IMAGEINFO);
LAYOUT(lyImageLayout, "TW_IMAGELAYOUT", kImageLayout, 28, TW_IMAGELAYOUT);
LAYOUT(lyImageMemXfer, "TW_IMAGEMEMXFER", kImageMemXfer, 38, TW_IMAGEMEMXFER);
LAYOUT(lyFix32, "TW_FIX32", kFix32, 4, TW_FIX32);
LAYOUT(lyElement8, "TW_ELEMENT8", kElement8, 4, TW_ELEMENT8);
LAYOUT(lyJpegCompression, "TW_JPEGCOMPRESSION", kJpegCompression, 122, TW_JPEGCOMPRESSION);
LAYOUT(lyPalette8, "TW_PALETTE8", kPalette8, 1028, TW_PALETTE8);
LAYOUT(lyInfo, "TW_INFO", kInfo, 12, TW_INFO);
LAYOUT(lyFilter, "TW_FILTER", kFilter, 20, TW_FILTER);
LAYOUT(lyAudioInfo, "TW_AUDIOINFO", kAudioInfo, 260, TW_AUDIOINFO);
LAYOUT(lyMemory, "TW_MEMORY", kMemory, 12, TW_MEMORY);
LAYOUT(lyEntryPoint, "TW_ENTRYPOINT", kEntryPoint, 24, TW_ENTRYPOINT);

#undef LAYOUT

constexpr Layout lyCieColor{"TW_CIECOLOR", kCieColor, std::size(kCieColor), 326, sizeof(TW_CIECOLOR),
                            &lyFix32, -1, false};
// The response tables have nothing before their elements.
constexpr Layout lyGrayResponse{"TW_GRAYRESPONSE", nullptr, 0, 4, sizeof(TW_GRAYRESPONSE), &lyElement8, -1, false};
constexpr Layout lyRgbResponse{"TW_RGBRESPONSE", nullptr, 0, 4, sizeof(TW_RGBRESPONSE), &lyElement8, -1, false};
constexpr Layout lyExtImageInfo{"TW_EXTIMAGEINFO", kExtImageInfo, std::size(kExtImageInfo), 16,
                                sizeof(TW_EXTIMAGEINFO), &lyInfo, 0, true};

static_assert(sizeof(TW_GRAYRESPONSE) == sizeof(TW_ELEMENT8) && sizeof(TW_RGBRESPONSE) == sizeof(TW_ELEMENT8),
              "response tables are their elements");
static_assert(lyInfo.widthDependent && !lyFix32.widthDependent && !lyElement8.widthDependent,
              "element flags above match their tables");

struct DatLayout {
    TW_UINT16 dat;
    const Layout* layout;
};

constexpr DatLayout kDatLayouts[] = {
    {DAT_CAPABILITY, &lyCapability},
    {DAT_EVENT, &lyEvent},
    {DAT_IDENTITY, &lyIdentity},
    {DAT_PARENT, &lyHandle},
    {DAT_PENDINGXFERS, &lyPendingXfers},
    {DAT_SETUPMEMXFER, &lySetupMemXfer},
    {DAT_SETUPFILEXFER, &lySetupFileXfer},
    {DAT_STATUS, &lyStatus},
    {DAT_USERINTERFACE, &lyUserInterface},
    {DAT_XFERGROUP, &lyUint32},
    {DAT_CUSTOMDSDATA, &lyCustomDsData},
    {DAT_DEVICEEVENT, &lyDeviceEvent},
    {DAT_FILESYSTEM, &lyFileSystem},
    {DAT_PASSTHRU, &lyPassThru},
    {DAT_CALLBACK, &lyCallback},
    {DAT_STATUSUTF8, &lyStatusUtf8},
    {DAT_CALLBACK2, &lyCallback2},
    {DAT_METRICS, &lyMetrics},
    {DAT_TWAINDIRECT, &lyTwainDirect},
    {DAT_IMAGEINFO, &lyImageInfo},
    {DAT_IMAGELAYOUT, &lyImageLayout},
    {DAT_IMAGEMEMXFER, &lyImageMemXfer},
    {DAT_IMAGENATIVEXFER, &lyHandle},
    {DAT_CIECOLOR, &lyCieColor},
    {DAT_GRAYRESPONSE, &lyGrayResponse},
    {DAT_RGBRESPONSE, &lyRgbResponse},
    {DAT_JPEGCOMPRESSION, &lyJpegCompression},
    {DAT_PALETTE8, &lyPalette8},
    {DAT_EXTIMAGEINFO, &lyExtImageInfo},
    {DAT_FILTER, &lyFilter},
    {DAT_AUDIOINFO, &lyAudioInfo},
    {DAT_AUDIONATIVEXFER, &lyHandle},
    {DAT_ICCPROFILE, &lyMemory},
    {DAT_IMAGEMEMFILEXFER, &lyImageMemXfer},
    {DAT_ENTRYPOINT, &lyEntryPoint},
};

// The sizes the dispatcher's log reports; every listed non-zero size is the
// 32-bit size of the DAT's layout above (checked below).
struct DatSize {
    TW_UINT16 dat;
    int size32;
};

constexpr DatSize kDatSize32[] = {
    {DAT_NULL, 0},
    {DAT_CAPABILITY, 8},
    {DAT_EVENT, 6},
    {DAT_IDENTITY, 156},
    {DAT_PARENT, 4},
    {DAT_PENDINGXFERS, 6},
    {DAT_SETUPMEMXFER, 12},
    {DAT_SETUPFILEXFER, 260},
    {DAT_STATUS, 4},
    {DAT_USERINTERFACE, 8},
    {DAT_XFERGROUP, 4},
    {DAT_DEVICEEVENT, 294},
    {DAT_FILESYSTEM, 1124},
    {DAT_PASSTHRU, 24},
    {DAT_CALLBACK, -1},
    {DAT_STATUSUTF8, 12},
    {DAT_CALLBACK2, 10},
    {DAT_IMAGEINFO, 42},
    {DAT_IMAGELAYOUT, 28},
    {DAT_IMAGEMEMXFER, 38},
    {DAT_IMAGEFILEXFER, 0},
    {DAT_CIECOLOR, 326},
    {DAT_GRAYRESPONSE, 4},
    {DAT_RGBRESPONSE, 4},
    {DAT_JPEGCOMPRESSION, 122},
    {DAT_PALETTE8, 1028},
    {DAT_EXTIMAGEINFO, 16},
    {DAT_FILTER, 20},
    {DAT_AUDIOFILEXFER, 0},
    {DAT_AUDIOINFO, 260},
    {DAT_AUDIONATIVEXFER, 4},
    {DAT_ICCPROFILE, 12},
    {DAT_IMAGEMEMFILEXFER, 38},
    {DAT_ENTRYPOINT, 24},
};

constexpr const Layout* findLayout(TW_UINT16 dat)
{
    for (const DatLayout& d : kDatLayouts)
        if (d.dat == dat)
            return d.layout;
    return nullptr;
}

constexpr bool sizeTableMatchesLayouts()
{
    for (const DatSize& d : kDatSize32) {
        const Layout* l = findLayout(d.dat);
        if (d.size32 > 0 && (l == nullptr || l->size32 != d.size32))
            return false;
        if (d.size32 == 0 && l != nullptr)
            return false;
    }
    return true;
}
static_assert(sizeTableMatchesLayouts(), "datsize32 table agrees with the layouts");

// clang-format on

// ---------------------------------------------------------------------------
// Conversion
// ---------------------------------------------------------------------------

// Bounded little-endian access: bytes past the end of a block read as zero and
// are not written.
std::uint64_t load(const char* block, std::size_t blockLength, std::size_t offset, std::size_t width)
{
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width && offset + i < blockLength; ++i)
        v |= std::uint64_t(static_cast<unsigned char>(block[offset + i])) << (8 * i);
    return v;
}

void store(char* block, std::size_t blockLength, std::size_t offset, std::size_t width, std::uint64_t v)
{
    for (std::size_t i = 0; i < width && offset + i < blockLength; ++i)
        block[offset + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

struct Span
{
    const char* data;
    std::size_t length;
};

struct MutableSpan
{
    char* data;
    std::size_t length;
};

enum class Direction
{
    Widen,
    Narrow
};

// Moves one structure's fields between the forms; srcBase/dstBase locate the
// structure (or element) inside the blocks.
void moveFields(const Layout& layout, Direction dir, Span src, std::size_t srcBase, MutableSpan dst,
                std::size_t dstBase)
{
    const bool widening = dir == Direction::Widen;
    for (std::uint16_t i = 0; i < layout.fieldCount; ++i) {
        const Field& f = layout.fields[i];
        const std::size_t srcOff = srcBase + (widening ? f.offset32 : f.offsetNative);
        const std::size_t dstOff = dstBase + (widening ? f.offsetNative : f.offset32);
        if (f.kind == FieldKind::Bytes) {
            for (std::size_t b = 0; b < f.size32 && dstOff + b < dst.length; ++b)
                dst.data[dstOff + b] = srcOff + b < src.length ? src.data[srcOff + b] : 0;
            continue;
        }
        const std::size_t srcSize = widening ? f.size32 : f.sizeNative;
        const std::size_t dstSize = widening ? f.sizeNative : f.size32;
        // Handles and TW_UINTPTR are zero-extended by load and cut to 32 bits by store.
        std::uint64_t v = load(src.data, src.length, srcOff, srcSize);
        if (f.kind == FieldKind::SizeOf) {
            if (widening && v == layout.size32)
                v = layout.sizeNative;
            else if (!widening && v == layout.sizeNative)
                v = layout.size32;
        }
        store(dst.data, dst.length, dstOff, dstSize, v);
    }
}

std::size_t fixedPart32(const Layout& l)
{
    return l.element ? l.size32 - l.element->size32 : l.size32;
}

std::size_t fixedPartNative(const Layout& l)
{
    return l.element ? l.sizeNative - l.element->sizeNative : l.sizeNative;
}

// The element count a count field asks for, capped.
std::size_t countedElements(const Layout& l, const char* wire, std::size_t wireLength)
{
    if (l.countField < 0)
        return 0;
    const Field& f = l.fields[l.countField];
    return std::size_t(
        std::min<std::uint64_t>(load(wire, wireLength, f.offset32, f.size32), kMaxCountedElements));
}

// Number of trailing elements the native block holds for a wire block.
std::size_t nativeElements(const Layout& l, const char* wire, std::size_t wireLength)
{
    const std::size_t fixed = fixedPart32(l);
    const std::size_t e32 = l.element->size32;
    const std::size_t inWire = wireLength > fixed ? (wireLength - fixed + e32 - 1) / e32 : 0;
    return std::max({std::size_t(1), inWire, countedElements(l, wire, wireLength)});
}

// A count beyond the cap would let a source write past the block; it is cut down.
void capCount(const Layout& l, const char* wire, std::size_t wireLength, std::vector<char>& native)
{
    if (l.countField < 0)
        return;
    const Field& f = l.fields[l.countField];
    if (load(wire, wireLength, f.offset32, f.size32) > kMaxCountedElements)
        store(native.data(), native.size(), f.offsetNative, f.sizeNative, kMaxCountedElements);
}

} // namespace

const Layout* layoutOf(TW_UINT16 dat)
{
    return findLayout(dat);
}

int datSize32(TW_UINT16 dat)
{
    for (const DatSize& d : kDatSize32)
        if (d.dat == dat)
            return d.size32;
    return -1;
}

bool needsConversion(TW_UINT16 dat)
{
    if constexpr (kWireIsNative) {
        (void)dat;
        return false;
    } else {
        const Layout* l = findLayout(dat);
        return l != nullptr && l->widthDependent;
    }
}

std::size_t nativeLength(TW_UINT16 dat, const char* wire, std::size_t wireLength)
{
    const Layout* l = findLayout(dat);
    if (wireLength == 0 || l == nullptr)
        return wireLength;
    if (l->element)
        return fixedPartNative(*l) + nativeElements(*l, wire, wireLength) * l->element->sizeNative;
    return l->sizeNative + (wireLength > l->size32 ? wireLength - l->size32 : 0);
}

std::vector<char> widen(TW_UINT16 dat, const char* wire, std::size_t wireLength)
{
    std::vector<char> native(nativeLength(dat, wire, wireLength), 0);
    const Layout* l = findLayout(dat);
    if (native.empty())
        return native;
    if (kWireIsNative || l == nullptr || !l->widthDependent) {
        std::memcpy(native.data(), wire, wireLength);
    } else {
        const Span src{wire, wireLength};
        const MutableSpan dst{native.data(), native.size()};
        moveFields(*l, Direction::Widen, src, 0, dst, 0);
        if (l->element) {
            // Elements beyond the wire block stay zero.
            for (std::size_t i = 0; fixedPart32(*l) + i * l->element->size32 < wireLength; ++i)
                moveFields(*l->element, Direction::Widen, src, fixedPart32(*l) + i * l->element->size32, dst,
                           fixedPartNative(*l) + i * l->element->sizeNative);
        } else if (wireLength > l->size32) {
            std::memcpy(native.data() + l->sizeNative, wire + l->size32, wireLength - l->size32);
        }
    }
    if (l != nullptr)
        capCount(*l, wire, wireLength, native);
    return native;
}

std::vector<char> widen(TW_UINT16 dat, const std::vector<char>& wire)
{
    return widen(dat, wire.data(), wire.size());
}

void narrow(TW_UINT16 dat, const char* native, std::size_t nativeBlockLength, char* wire,
            std::size_t wireLength)
{
    const Layout* l = findLayout(dat);
    if (kWireIsNative || l == nullptr || !l->widthDependent) {
        const std::size_t n = std::min(nativeBlockLength, wireLength);
        if (n > 0)
            std::memmove(wire, native, n);
        std::fill(wire + n, wire + wireLength, char(0));
        return;
    }
    const Span src{native, nativeBlockLength};
    const MutableSpan dst{wire, wireLength};
    moveFields(*l, Direction::Narrow, src, 0, dst, 0);
    if (l->element) {
        const std::size_t fixed32 = fixedPart32(*l);
        for (std::size_t i = 0; fixed32 + i * l->element->size32 < wireLength; ++i)
            moveFields(*l->element, Direction::Narrow, src, fixedPartNative(*l) + i * l->element->sizeNative,
                       dst, fixed32 + i * l->element->size32);
    } else {
        for (std::size_t i = l->size32; i < wireLength; ++i) {
            const std::size_t from = l->sizeNative + (i - l->size32);
            wire[i] = from < nativeBlockLength ? native[from] : 0;
        }
    }
}

std::vector<char> narrow(TW_UINT16 dat, const std::vector<char>& native, std::size_t wireLength)
{
    std::vector<char> wire(wireLength, 0);
    narrow(dat, native.data(), native.size(), wire.data(), wire.size());
    return wire;
}

} // namespace TwainWire
