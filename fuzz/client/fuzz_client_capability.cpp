// A capability's container as the bridge relays a source's answer: any
// capability, container type and bytes, read into a Capability and shown.
//
// Input: [0..1] capability, [2..3] ConType (little-endian); then the container's bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <QByteArray>
#include <QString>
#include <QVariant>

#include "pelirand/capability.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
    if (nSize < 4)
        return 0;
    const quint16 cap = quint16(pData[0] | (pData[1] << 8));
    const quint16 conType = quint16(pData[2] | (pData[3] << 8));
    const QByteArray bytes(reinterpret_cast<const char*>(pData + 4), int(nSize - 4));
    pelirand::Capability capability;
    QString sWhy;
    if (!pelirand::Capability::fromContainer(cap, conType, bytes, capability, &sWhy))
        return 0;
    const QVariant current = capability.current();
    (void)capability.defaultValue();
    (void)capability.allowedText();
    (void)capability.allows(current.toDouble());
    (void)pelirand::valueText(cap, current);
    return 0;
}
