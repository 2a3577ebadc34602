#ifndef PELIRAND_SOURCES_KIT_CAPABILITIES_H
#define PELIRAND_SOURCES_KIT_CAPABILITIES_H

// A data source's capabilities: a declarative table of rows, and the one
// negotiation every source on the kit answers the same way.
//
// A row names a capability, its item type, the container forms its MSG_GET
// may answer, and its access:
//   ReadOnly  the capability reports, nothing sets it: MSG_SET and MSG_RESET
//             fail with TWCC_CAPBADOPERATION whatever the value (the same
//             answer as for a set to its current value: the operation is
//             not supported, MSG_QUERYSUPPORT says so);
//   Settable  negotiated in state 4 (TWCC_SEQERROR in states 5 to 7);
//   Extended  negotiated in states 4 to 7, listed in CAP_EXTENDEDCAPS.
// The row table is the list CAP_SUPPORTEDCAPS answers (rows the device lacks
// now are left out) and the kit answers CAP_SUPPORTEDCAPS and
// CAP_EXTENDEDCAPS itself.
//
// The model gives a row's values now (describe), sets and resets them. A
// settable row the device holds at one value now (CapInfo::settable false)
// takes a MSG_SET of that value and refuses others with TWCC_BADVALUE.
//
// Called with the source's call lock held, from Source's DAT_CAPABILITY.

#include "sources/kit/container.h"
#include "sources/kit/result.h"

#include <cstddef>

namespace dskit {

enum class Access : TW_UINT8
{
    ReadOnly,
    Settable,
    Extended,
};

enum Forms : TW_UINT8
{
    kOneValue = 1,
    kEnumeration = 2,
    kRange = 4,
    kArray = 8,
};

struct CapRow
{
    TW_UINT16 cap;
    TW_UINT16 itemType;
    TW_UINT8 forms; // Forms
    Access access;
};

// The rows checked at compile time: each capability once, a known form, an
// item type the containers hold.
constexpr bool wellFormed(const CapRow* rows, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (rows[i].forms == 0 || (rows[i].forms & ~0x0F) != 0)
            return false;
        for (std::size_t j = i + 1; j < count; ++j) {
            if (rows[j].cap == rows[i].cap)
                return false;
        }
    }
    return true;
}

class CapabilityModel
{
public:
    virtual ~CapabilityModel() = default;

    // The rows, in the order CAP_SUPPORTEDCAPS lists them.
    virtual const CapRow* rows(std::size_t& count) const = 0;

    // The values of a row now; false when the device lacks it now.
    virtual bool describe(TW_UINT16 cap, CapInfo& info) = 0;
    // MSG_SET of a settable row, the value read from the application's container.
    virtual Result set(TW_UINT16 cap, double value) = 0;
    // MSG_RESET of a settable row; the kit answers the value afterwards.
    virtual Result reset(TW_UINT16 cap) = 0;
    // MSG_RESETALL (state 4).
    virtual Result resetAll() = 0;

    // A capability the model answers wholly itself (a TW_FRAME, a device's
    // fault): true with the answer in result. Asked before anything else
    // but MSG_RESETALL and the state check of a settable row's MSG_SET and
    // MSG_RESET.
    virtual bool answer(TW_UINT16 msg, pTW_CAPABILITY cap, int state, Result& result)
    {
        (void)msg;
        (void)cap;
        (void)state;
        (void)result;
        return false;
    }
    // The answer to a MSG_GET* just before it is built: the model may change
    // it (answerMsg: which message's container form is built).
    virtual void shape(TW_UINT16 msg, TW_UINT16 cap, CapInfo& info, TW_UINT16& answerMsg)
    {
        (void)msg;
        (void)cap;
        (void)info;
        (void)answerMsg;
    }
};

// DG_CONTROL / DAT_CAPABILITY, cap not null, state 4 to 7.
Result negotiate(CapabilityModel& model, TW_UINT16 msg, pTW_CAPABILITY cap, int state);

// The row of a capability, or null.
const CapRow* findRow(const CapabilityModel& model, TW_UINT16 cap);

} // namespace dskit

#endif // PELIRAND_SOURCES_KIT_CAPABILITIES_H
