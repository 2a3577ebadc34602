#pragma once

// A capability as the source answers it: its container (one value,
// enumeration, array or range) with items of any TWAIN item type, read from
// the container's bytes in the 32-bit layout.

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include "pelirand/global.h"

namespace pelirand {

struct PELIRAND_EXPORT Capability
{
    quint16 cap = 0;
    quint16 containerType = 0;  // a Twain::ContainerType
    quint16 itemType = 0; // a Twain::ItemType
    // TWON_ONEVALUE: the one item; TWON_ENUMERATION and TWON_ARRAY: the list.
    // Integers are qint64, TW_BOOL bool, TW_FIX32 double, TW_FRAME a list of
    // four doubles (left, top, right, bottom), strings QString, handles quint64.
    QVariantList items;
    // TWON_ENUMERATION only.
    int currentIndex = -1;
    int defaultIndex = -1;
    // TWON_RANGE only.
    QVariant minValue;
    QVariant maxValue;
    QVariant stepSize;
    QVariant rangeDefault;
    QVariant rangeCurrent;

    bool isValid() const { return containerType != 0; }
    // The value in force: the one-value's item, the enumeration's current
    // item, the range's current value; the array as a list.
    QVariant current() const;
    // The value the source starts with, where the container tells it.
    QVariant defaultValue() const;
    // Whether the value is among the allowed ones (the enumeration's items,
    // within the range on its steps); true for one-values and arrays.
    bool allows(double value) const;
    // "50..600 step 1", "bw, gray, rgb" or the one value, for messages.
    QString allowedText() const;

    // Reads a container's bytes; false with why when they are malformed.
    static bool fromContainer(quint16 cap, quint16 conType, const QByteArray& bytes, Capability& result,
                              QString* why = nullptr);
};

// Names of capabilities ("ICAP_XRESOLUTION", or "capability 0x8001"), item
// types ("TWTY_FIX32"), container types ("TWON_RANGE") and of a capability's
// values where the standard names them ("TWPT_RGB"; empty otherwise).
PELIRAND_EXPORT QString capabilityIdName(quint16 cap);
PELIRAND_EXPORT QString itemTypeName(quint16 itemType);
PELIRAND_EXPORT QString containerName(quint16 conType);
PELIRAND_EXPORT QString capabilityValueName(quint16 cap, qint64 value);
// A value as people read it: its name where it has one, numbers without
// needless decimals, TW_BOOL as TRUE/FALSE, frames as l,t,r,b.
PELIRAND_EXPORT QString valueText(quint16 cap, const QVariant& value);

} // namespace pelirand
