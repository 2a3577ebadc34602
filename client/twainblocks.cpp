#include "pelirand/twainblocks.h"

#include "pelirand/capability.h"
#include "pelirand/twainconstants.h"

#include <QtEndian>

#include "codec/fix32.h"
#include "codec/twaincontainer.h"
#include "diag/twnames.h"
#include "twain/twain.h"

namespace pelirand {

// The public names stand for the standard's values.
static_assert(Twain::ControlGroup == DG_CONTROL && Twain::ImageGroup == DG_IMAGE && Twain::AudioGroup == DG_AUDIO);
static_assert(Twain::CapabilityData == DAT_CAPABILITY && Twain::EventData == DAT_EVENT &&
              Twain::IdentityData == DAT_IDENTITY && Twain::ParentData == DAT_PARENT &&
              Twain::PendingTransfersData == DAT_PENDINGXFERS && Twain::SetupMemoryTransferData == DAT_SETUPMEMXFER &&
              Twain::SetupFileTransferData == DAT_SETUPFILEXFER && Twain::StatusData == DAT_STATUS &&
              Twain::UserInterfaceData == DAT_USERINTERFACE && Twain::TransferGroupData == DAT_XFERGROUP &&
              Twain::CustomDsData == DAT_CUSTOMDSDATA && Twain::DeviceEventData == DAT_DEVICEEVENT &&
              Twain::FileSystemData == DAT_FILESYSTEM && Twain::PassThroughData == DAT_PASSTHRU &&
              Twain::StatusUtf8Data == DAT_STATUSUTF8 && Twain::ImageInfoData == DAT_IMAGEINFO &&
              Twain::ImageLayoutData == DAT_IMAGELAYOUT && Twain::ImageMemoryTransferData == DAT_IMAGEMEMXFER &&
              Twain::ImageNativeTransferData == DAT_IMAGENATIVEXFER &&
              Twain::ImageFileTransferData == DAT_IMAGEFILEXFER && Twain::ExtImageInfoData == DAT_EXTIMAGEINFO &&
              Twain::IccProfileData == DAT_ICCPROFILE && Twain::ImageMemoryFileTransferData == DAT_IMAGEMEMFILEXFER);
static_assert(Twain::GetMessage == MSG_GET && Twain::GetCurrentMessage == MSG_GETCURRENT &&
              Twain::GetDefaultMessage == MSG_GETDEFAULT && Twain::GetFirstMessage == MSG_GETFIRST &&
              Twain::GetNextMessage == MSG_GETNEXT && Twain::SetMessage == MSG_SET &&
              Twain::ResetMessage == MSG_RESET && Twain::QuerySupportMessage == MSG_QUERYSUPPORT &&
              Twain::XferReadyMessage == MSG_XFERREADY && Twain::CloseDsRequestMessage == MSG_CLOSEDSREQ &&
              Twain::CloseDsOkMessage == MSG_CLOSEDSOK && Twain::DeviceEventMessage == MSG_DEVICEEVENT &&
              Twain::OpenDsmMessage == MSG_OPENDSM && Twain::CloseDsmMessage == MSG_CLOSEDSM &&
              Twain::OpenDsMessage == MSG_OPENDS && Twain::CloseDsMessage == MSG_CLOSEDS &&
              Twain::DisableDsMessage == MSG_DISABLEDS && Twain::EnableDsMessage == MSG_ENABLEDS &&
              Twain::EnableDsUiOnlyMessage == MSG_ENABLEDSUIONLY && Twain::ProcessEventMessage == MSG_PROCESSEVENT &&
              Twain::EndTransferMessage == MSG_ENDXFER && Twain::StopFeederMessage == MSG_STOPFEEDER);
static_assert(Twain::SuccessCode == TWRC_SUCCESS && Twain::FailureCode == TWRC_FAILURE &&
              Twain::CheckStatusCode == TWRC_CHECKSTATUS && Twain::CancelCode == TWRC_CANCEL &&
              Twain::DsEventCode == TWRC_DSEVENT && Twain::NotDsEventCode == TWRC_NOTDSEVENT &&
              Twain::TransferDoneCode == TWRC_XFERDONE && Twain::EndOfListCode == TWRC_ENDOFLIST &&
              Twain::InfoNotSupportedCode == TWRC_INFONOTSUPPORTED &&
              Twain::DataNotAvailableCode == TWRC_DATANOTAVAILABLE && Twain::BusyCode == TWRC_BUSY &&
              Twain::ScannerLockedCode == TWRC_SCANNERLOCKED);
static_assert(Twain::NoCondition == TWCC_SUCCESS && Twain::BummerCondition == TWCC_BUMMER &&
              Twain::LowMemoryCondition == TWCC_LOWMEMORY && Twain::NoDsCondition == TWCC_NODS &&
              Twain::OperationErrorCondition == TWCC_OPERATIONERROR && Twain::BadCapabilityCondition == TWCC_BADCAP &&
              Twain::BadValueCondition == TWCC_BADVALUE && Twain::SequenceErrorCondition == TWCC_SEQERROR &&
              Twain::CapabilityUnsupportedCondition == TWCC_CAPUNSUPPORTED &&
              Twain::CapabilityBadOperationCondition == TWCC_CAPBADOPERATION &&
              Twain::DeniedCondition == TWCC_DENIED && Twain::PaperJamCondition == TWCC_PAPERJAM &&
              Twain::PaperDoubleFeedCondition == TWCC_PAPERDOUBLEFEED &&
              Twain::FileWriteErrorCondition == TWCC_FILEWRITEERROR &&
              Twain::CheckDeviceOnlineCondition == TWCC_CHECKDEVICEONLINE && Twain::NoMediaCondition == TWCC_NOMEDIA);
static_assert(Twain::Int8Item == TWTY_INT8 && Twain::Int16Item == TWTY_INT16 && Twain::Int32Item == TWTY_INT32 &&
              Twain::UInt8Item == TWTY_UINT8 && Twain::UInt16Item == TWTY_UINT16 &&
              Twain::UInt32Item == TWTY_UINT32 && Twain::BoolItem == TWTY_BOOL && Twain::Fix32Item == TWTY_FIX32 &&
              Twain::FrameItem == TWTY_FRAME && Twain::Str32Item == TWTY_STR32 && Twain::Str64Item == TWTY_STR64 &&
              Twain::Str128Item == TWTY_STR128 && Twain::Str255Item == TWTY_STR255 &&
              Twain::Str1024Item == TWTY_STR1024 && Twain::Uni512Item == TWTY_UNI512 &&
              Twain::HandleItem == TWTY_HANDLE);
static_assert(Twain::ArrayContainer == TWON_ARRAY && Twain::EnumerationContainer == TWON_ENUMERATION &&
              Twain::OneValueContainer == TWON_ONEVALUE && Twain::RangeContainer == TWON_RANGE);
static_assert(Twain::TransferCountCapability == CAP_XFERCOUNT && Twain::CompressionCapability == ICAP_COMPRESSION &&
              Twain::PixelTypeCapability == ICAP_PIXELTYPE && Twain::UnitsCapability == ICAP_UNITS &&
              Twain::TransferMechanismCapability == ICAP_XFERMECH &&
              Twain::FeederEnabledCapability == CAP_FEEDERENABLED &&
              Twain::SupportedCapabilitiesCapability == CAP_SUPPORTEDCAPS &&
              Twain::AutoFeedCapability == CAP_AUTOFEED && Twain::IndicatorsCapability == CAP_INDICATORS &&
              Twain::UiControllableCapability == CAP_UICONTROLLABLE &&
              Twain::DuplexEnabledCapability == CAP_DUPLEXENABLED &&
              Twain::ImageFileFormatCapability == ICAP_IMAGEFILEFORMAT && Twain::FramesCapability == ICAP_FRAMES &&
              Twain::XResolutionCapability == ICAP_XRESOLUTION && Twain::YResolutionCapability == ICAP_YRESOLUTION &&
              Twain::BitDepthCapability == ICAP_BITDEPTH && Twain::CustomCapabilityBase == CAP_CUSTOMBASE);
static_assert(Twain::BlackWhitePixels == TWPT_BW && Twain::GrayPixels == TWPT_GRAY && Twain::RgbPixels == TWPT_RGB &&
              Twain::PalettePixels == TWPT_PALETTE);
static_assert(Twain::NativeTransfer == TWSX_NATIVE && Twain::FileTransfer == TWSX_FILE &&
              Twain::MemoryTransfer == TWSX_MEMORY && Twain::MemoryFileTransfer == TWSX_MEMFILE);
static_assert(Twain::TiffFormat == TWFF_TIFF && Twain::BmpFormat == TWFF_BMP && Twain::JfifFormat == TWFF_JFIF &&
              Twain::TiffMultiFormat == TWFF_TIFFMULTI && Twain::PngFormat == TWFF_PNG && Twain::PdfFormat == TWFF_PDF);

namespace {

QString readString(const QByteArray& block, int offset, int size)
{
    const QByteArray field = block.mid(offset, size);
    const int nEnd = field.indexOf('\0');
    return QString::fromUtf8(nEnd < 0 ? field : field.left(nEnd));
}

void writeString(QByteArray& block, int offset, int size, const QString& sText)
{
    // Leaves room for the terminating zero; a cut never splits a UTF-8 sequence.
    QByteArray bytes = sText.toUtf8();
    if (bytes.size() > size - 1) {
        int nCut = size - 1;
        while (nCut > 0 && (uchar(bytes.at(nCut)) & 0xC0) == 0x80)
            --nCut;
        bytes.truncate(nCut);
    }
    block.replace(offset, bytes.size(), bytes);
}

} // namespace

int itemSize(quint16 itemType)
{
    return int(codec::itemSize(itemType));
}

quint16 readU16(const QByteArray& block, int offset)
{
    return offset >= 0 && block.size() >= offset + 2 ? qFromLittleEndian<quint16>(block.constData() + offset)
                                                     : 0;
}

quint32 readU32(const QByteArray& block, int offset)
{
    return offset >= 0 && block.size() >= offset + 4 ? qFromLittleEndian<quint32>(block.constData() + offset)
                                                     : 0;
}

void writeU16(QByteArray& block, int offset, quint16 value)
{
    if (offset >= 0 && block.size() >= offset + 2)
        qToLittleEndian<quint16>(value, block.data() + offset);
}

void writeU32(QByteArray& block, int offset, quint32 value)
{
    if (offset >= 0 && block.size() >= offset + 4)
        qToLittleEndian<quint32>(value, block.data() + offset);
}

QByteArray fix32(double value)
{
    QByteArray bytes(4, '\0');
    codec::fix32ToBytes(value, reinterpret_cast<unsigned char*>(bytes.data()));
    return bytes;
}

double fromFix32(const QByteArray& bytes, int offset)
{
    // A half that the block does not hold reads as 0.
    QByteArray four(4, '\0');
    writeU16(four, 0, readU16(bytes, offset));
    writeU16(four, 2, readU16(bytes, offset + 2));
    return codec::fix32FromBytes(reinterpret_cast<const unsigned char*>(four.constData()));
}

QByteArray itemBytes(quint16 itemType, double value)
{
    if (itemType == TWTY_FIX32)
        return fix32(value);
    const int nSize = itemSize(itemType);
    if (itemType > TWTY_BOOL || nSize == 0)
        return {};
    const quint32 uValue = quint32(qint64(value));
    QByteArray bytes(nSize, '\0');
    if (nSize == 1)
        bytes[0] = char(uValue & 0xFF);
    else if (nSize == 2)
        writeU16(bytes, 0, quint16(uValue));
    else
        writeU32(bytes, 0, uValue);
    return bytes;
}

double itemValue(quint16 itemType, const QByteArray& bytes)
{
    switch (itemType) {
    case TWTY_INT8:
        return bytes.isEmpty() ? 0 : double(qint8(bytes.at(0)));
    case TWTY_UINT8:
        return bytes.isEmpty() ? 0 : double(uchar(bytes.at(0)));
    case TWTY_INT16:
        return double(qint16(readU16(bytes, 0)));
    case TWTY_UINT16:
    case TWTY_BOOL:
        return double(readU16(bytes, 0));
    case TWTY_INT32:
        return double(qint32(readU32(bytes, 0)));
    case TWTY_UINT32:
        return double(readU32(bytes, 0));
    case TWTY_FIX32:
        return fromFix32(bytes);
    default:
        return 0;
    }
}

SourceIdentity SourceIdentity::fromBlock(const QByteArray& block)
{
    SourceIdentity identity;
    if (block.size() < kIdentitySize)
        return identity;
    identity.block = block.left(kIdentitySize);
    identity.id = readU32(block, 0);
    identity.versionMajor = readU16(block, 4);
    identity.versionMinor = readU16(block, 6);
    identity.versionInfo = readString(block, 12, 34);
    identity.protocolMajor = readU16(block, 46);
    identity.protocolMinor = readU16(block, 48);
    identity.supportedGroups = readU32(block, 50);
    identity.manufacturer = readString(block, 54, 34);
    identity.productFamily = readString(block, 88, 34);
    identity.productName = readString(block, 122, 34);
    return identity;
}

SourceIdentity SourceIdentity::byName(const QString& sProductName)
{
    QByteArray block(kIdentitySize, '\0');
    writeString(block, 122, 34, sProductName);
    return fromBlock(block);
}

QByteArray userInterface(bool bShowUI, bool bModalUI)
{
    QByteArray block(kUserInterfaceSize, '\0');
    writeU16(block, 0, bShowUI ? 1 : 0);
    writeU16(block, 2, bModalUI ? 1 : 0);
    return block; // hParent: the bridge puts its own window there
}

QByteArray setupFileXfer(const QString& sFileName, quint16 format)
{
    QByteArray block(kSetupFileXferSize, '\0');
    writeString(block, 0, 256, sFileName);
    writeU16(block, 256, format);
    return block;
}

QByteArray imageLayout(double left, double top, double right, double bottom)
{
    QByteArray block(kImageLayoutSize, '\0');
    block.replace(0, 4, fix32(left));
    block.replace(4, 4, fix32(top));
    block.replace(8, 4, fix32(right));
    block.replace(12, 4, fix32(bottom));
    return block;
}

QString capabilityName(quint16 cap)
{
    switch (cap) {
    case CAP_XFERCOUNT:
        return QStringLiteral("CAP_XFERCOUNT");
    case ICAP_PIXELTYPE:
        return QStringLiteral("ICAP_PIXELTYPE");
    case ICAP_UNITS:
        return QStringLiteral("ICAP_UNITS");
    case ICAP_XFERMECH:
        return QStringLiteral("ICAP_XFERMECH");
    case CAP_FEEDERENABLED:
        return QStringLiteral("CAP_FEEDERENABLED");
    case ICAP_IMAGEFILEFORMAT:
        return QStringLiteral("ICAP_IMAGEFILEFORMAT");
    case ICAP_XRESOLUTION:
        return QStringLiteral("ICAP_XRESOLUTION");
    case ICAP_YRESOLUTION:
        return QStringLiteral("ICAP_YRESOLUTION");
    case ICAP_BITDEPTH:
        return QStringLiteral("ICAP_BITDEPTH");
    default:
        return capabilityIdName(cap);
    }
}

QString tripletName(quint32 dg, quint16 dat, quint16 msg)
{
    return QStringLiteral("%1 / %2 / %3")
        .arg(QLatin1String(DgName(quint16(dg))), QLatin1String(DatName(dat)), QLatin1String(MsgName(msg)));
}

} // namespace pelirand
