#pragma once

// The TWAIN values the library's interface takes and reports, in a namespace of their own, so that a
// program may include the standard's own TWAIN header beside the library's in either order: the
// standard header defines its names as macros, so none of them appears here, not even as a member of
// a namespace. The values are those of the standard; every parameter that takes one is a plain
// integer, so the standard's macros work as well where a program has them.

#include <QtGlobal>

namespace pelirand {
namespace Twain {

// Data groups of a triplet.
enum DataGroup : quint32
{
    ControlGroup = 0x0001,
    ImageGroup = 0x0002,
    AudioGroup = 0x0004,
};

// Data argument types of a triplet (the ones a main application sends).
enum DataArgument : quint16
{
    CapabilityData = 0x0001,
    EventData = 0x0002,
    IdentityData = 0x0003,
    ParentData = 0x0004,
    PendingTransfersData = 0x0005,
    SetupMemoryTransferData = 0x0006,
    SetupFileTransferData = 0x0007,
    StatusData = 0x0008,
    UserInterfaceData = 0x0009,
    TransferGroupData = 0x000A,
    CustomDsData = 0x000C,
    DeviceEventData = 0x000D,
    FileSystemData = 0x000E,
    PassThroughData = 0x000F,
    StatusUtf8Data = 0x0011,
    ImageInfoData = 0x0101,
    ImageLayoutData = 0x0102,
    ImageMemoryTransferData = 0x0103,
    ImageNativeTransferData = 0x0104,
    ImageFileTransferData = 0x0105,
    ExtImageInfoData = 0x010B,
    IccProfileData = 0x0401,
    ImageMemoryFileTransferData = 0x0402,
};

// Messages: those of a triplet, and those a source sends.
enum Message : quint16
{
    GetMessage = 0x0001,
    GetCurrentMessage = 0x0002,
    GetDefaultMessage = 0x0003,
    GetFirstMessage = 0x0004,
    GetNextMessage = 0x0005,
    SetMessage = 0x0006,
    ResetMessage = 0x0007,
    QuerySupportMessage = 0x0008,
    XferReadyMessage = 0x0101,
    CloseDsRequestMessage = 0x0102,
    CloseDsOkMessage = 0x0103,
    DeviceEventMessage = 0x0104,
    OpenDsmMessage = 0x0301,
    CloseDsmMessage = 0x0302,
    OpenDsMessage = 0x0401,
    CloseDsMessage = 0x0402,
    DisableDsMessage = 0x0501,
    EnableDsMessage = 0x0502,
    EnableDsUiOnlyMessage = 0x0503,
    ProcessEventMessage = 0x0601,
    EndTransferMessage = 0x0701,
    StopFeederMessage = 0x0702,
};

// Return codes of a triplet.
enum ReturnCode : quint16
{
    SuccessCode = 0,
    FailureCode = 1,
    CheckStatusCode = 2,
    CancelCode = 3,
    DsEventCode = 4,
    NotDsEventCode = 5,
    TransferDoneCode = 6,
    EndOfListCode = 7,
    InfoNotSupportedCode = 8,
    DataNotAvailableCode = 9,
    BusyCode = 10,
    ScannerLockedCode = 11,
};

// Condition codes (DAT_STATUS) that the library itself tells apart.
enum ConditionCode : quint16
{
    NoCondition = 0,
    BummerCondition = 1,
    LowMemoryCondition = 2,
    NoDsCondition = 3,
    OperationErrorCondition = 5,
    BadCapabilityCondition = 6,
    BadValueCondition = 10,
    SequenceErrorCondition = 11,
    CapabilityUnsupportedCondition = 13,
    CapabilityBadOperationCondition = 14,
    DeniedCondition = 16,
    PaperJamCondition = 20,
    PaperDoubleFeedCondition = 21,
    FileWriteErrorCondition = 22,
    CheckDeviceOnlineCondition = 23,
    NoMediaCondition = 29,
};

// Item types of a capability's values.
enum ItemType : quint16
{
    Int8Item = 0x0000,
    Int16Item = 0x0001,
    Int32Item = 0x0002,
    UInt8Item = 0x0003,
    UInt16Item = 0x0004,
    UInt32Item = 0x0005,
    BoolItem = 0x0006,
    Fix32Item = 0x0007,
    FrameItem = 0x0008,
    Str32Item = 0x0009,
    Str64Item = 0x000A,
    Str128Item = 0x000B,
    Str255Item = 0x000C,
    Str1024Item = 0x000D,
    Uni512Item = 0x000E,
    HandleItem = 0x000F,
};

// Containers of a capability.
enum ContainerType : quint16
{
    ArrayContainer = 3,
    EnumerationContainer = 4,
    OneValueContainer = 5,
    RangeContainer = 6,
};

// Capabilities an application sets most often; any other is its number.
enum CapabilityId : quint16
{
    TransferCountCapability = 0x0001,
    CompressionCapability = 0x0100,
    PixelTypeCapability = 0x0101,
    UnitsCapability = 0x0102,
    TransferMechanismCapability = 0x0103,
    FeederEnabledCapability = 0x1002,
    SupportedCapabilitiesCapability = 0x1005,
    AutoFeedCapability = 0x1007,
    IndicatorsCapability = 0x100B,
    UiControllableCapability = 0x100E,
    DuplexEnabledCapability = 0x1013,
    ImageFileFormatCapability = 0x110C,
    FramesCapability = 0x1114,
    XResolutionCapability = 0x1118,
    YResolutionCapability = 0x1119,
    BitDepthCapability = 0x112B,
    // The first number a source may give a capability of its own.
    CustomCapabilityBase = 0x8000,
};

// Values of the pixel type capability.
enum PixelType : quint16
{
    BlackWhitePixels = 0,
    GrayPixels = 1,
    RgbPixels = 2,
    PalettePixels = 3,
};

// Values of the transfer mechanism capability.
enum TransferMechanism : quint16
{
    NativeTransfer = 0,
    FileTransfer = 1,
    MemoryTransfer = 2,
    MemoryFileTransfer = 4,
};

// File formats of a file transfer.
enum FileFormat : quint16
{
    TiffFormat = 0,
    BmpFormat = 2,
    JfifFormat = 4,
    TiffMultiFormat = 6,
    PngFormat = 7,
    PdfFormat = 10,
};

} // namespace Twain
} // namespace pelirand
