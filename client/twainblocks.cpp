#include "pelirand/twainblocks.h"

#include "pelirand/capability.h"

#include <QtEndian>

#include "codec/fix32.h"
#include "codec/twaincontainer.h"
#include "diag/twnames.h"

namespace pelirand {

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
