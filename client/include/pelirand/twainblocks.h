#pragma once

// TWAIN data blocks in the 32-bit layout the bridge expects (2-byte packing,
// 4-byte handles), built and read at fixed offsets in little-endian order, so
// that the main application's side is the same on every host width.

#include <QByteArray>
#include <QString>

#include "pelirand/global.h"

namespace pelirand {

// Sizes of the 32-bit blocks used here.
constexpr int kIdentitySize = 156;
constexpr int kUserInterfaceSize = 8;
constexpr int kStatusSize = 4;
constexpr int kPendingXfersSize = 6;
constexpr int kSetupFileXferSize = 260;
constexpr int kImageLayoutSize = 28;
constexpr int kImageInfoSize = 42;
constexpr int kParentSize = 4;

// Bytes of one item of a TWTY_ type, 0 for an unknown type.
PELIRAND_EXPORT int itemSize(quint16 itemType);

// Little-endian reads that answer 0 for bytes the block does not hold.
PELIRAND_EXPORT quint16 readU16(const QByteArray& block, int offset);
PELIRAND_EXPORT quint32 readU32(const QByteArray& block, int offset);
PELIRAND_EXPORT void writeU16(QByteArray& block, int offset, quint16 value);
PELIRAND_EXPORT void writeU32(QByteArray& block, int offset, quint32 value);

// TW_FIX32 {Whole, Frac} as its 4 bytes, and back.
PELIRAND_EXPORT QByteArray fix32(double value);
PELIRAND_EXPORT double fromFix32(const QByteArray& bytes, int offset = 0);

// The item bytes of an integer or TW_FIX32 value of the given type; empty for
// a type that is neither (strings, frames, handles).
PELIRAND_EXPORT QByteArray itemBytes(quint16 itemType, double value);
// The value of an integer or TW_FIX32 item, sign-extended for signed types.
PELIRAND_EXPORT double itemValue(quint16 itemType, const QByteArray& bytes);

// TW_IDENTITY fields (Id at 0, Version 4..45, ProtocolMajor 46, ProtocolMinor
// 48, SupportedGroups 50, Manufacturer 54, ProductFamily 88, ProductName 122).
struct PELIRAND_EXPORT SourceIdentity
{
    QByteArray block; // the whole 156-byte identity, as the DSM gave it
    quint32 id = 0;
    quint16 versionMajor = 0;
    quint16 versionMinor = 0;
    QString versionInfo;
    quint16 protocolMajor = 0;
    quint16 protocolMinor = 0;
    quint32 supportedGroups = 0;
    QString manufacturer;
    QString productFamily;
    QString productName;

    bool isValid() const { return block.size() == kIdentitySize; }
    static SourceIdentity fromBlock(const QByteArray& block);
    // An identity that names a source by product name only (Id 0).
    static SourceIdentity byName(const QString& productName);
};

PELIRAND_EXPORT QByteArray userInterface(bool showDialog, bool modal);
PELIRAND_EXPORT QByteArray setupFileXfer(const QString& fileName, quint16 format);
// Frame in inches: left, top, right, bottom.
PELIRAND_EXPORT QByteArray imageLayout(double left, double top, double right, double bottom);

// Readable names for messages and errors.
PELIRAND_EXPORT QString capabilityName(quint16 cap);
PELIRAND_EXPORT QString tripletName(quint32 dg, quint16 dat, quint16 msg);

} // namespace pelirand
