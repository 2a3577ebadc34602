#include "sources/kit/capabilities.h"

#include <cmath>

namespace dskit {

namespace {

constexpr double kTolerance = 1.0 / 65536; // one step of TW_FIX32

// A row's values now, the two lists of capabilities included.
bool describeRow(CapabilityModel& model, const CapRow& row, CapInfo& info)
{
    info = CapInfo{};
    if (row.cap == CAP_SUPPORTEDCAPS || row.cap == CAP_EXTENDEDCAPS) {
        info.itemType = TWTY_UINT16;
        info.form = TWON_ARRAY;
        std::size_t count = 0;
        const CapRow* rows = model.rows(count);
        for (std::size_t i = 0; i < count; ++i) {
            const CapRow& r = rows[i];
            CapInfo probe;
            if (row.cap == CAP_EXTENDEDCAPS ? r.access == Access::Extended
                                            : (r.cap == CAP_SUPPORTEDCAPS || r.cap == CAP_EXTENDEDCAPS ||
                                               model.describe(r.cap, probe)))
                info.items.push_back(r.cap);
        }
        return true;
    }
    if (!model.describe(row.cap, info))
        return false;
    info.extended = row.access == Access::Extended;
    if (row.access == Access::ReadOnly)
        info.settable = false;
    return true;
}

Result answerWith(const CapInfo& info, TW_UINT16 msg, pTW_CAPABILITY cap)
{
    TW_UINT16 conType = TWON_ONEVALUE;
    TW_HANDLE h = buildContainer(info, msg, conType);
    if (!h)
        return Result::failure(TWCC_LOWMEMORY);
    cap->ConType = conType;
    cap->hContainer = h;
    return Result::success();
}

} // namespace

const CapRow* findRow(const CapabilityModel& model, TW_UINT16 cap)
{
    std::size_t count = 0;
    const CapRow* rows = model.rows(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (rows[i].cap == cap)
            return &rows[i];
    }
    return nullptr;
}

Result negotiate(CapabilityModel& model, TW_UINT16 msg, pTW_CAPABILITY cap, int state)
{
    if (msg == MSG_RESETALL) {
        if (state != 4)
            return Result::failure(TWCC_SEQERROR);
        return model.resetAll();
    }
    const CapRow* row = findRow(model, cap->Cap);
    // Negotiation ends with MSG_ENABLEDS, for a capability the model
    // answers itself as well.
    if ((msg == MSG_SET || msg == MSG_RESET) && row && row->access == Access::Settable && state != 4)
        return Result::failure(TWCC_SEQERROR);
    Result own = Result::success();
    if (model.answer(msg, cap, state, own))
        return own;
    CapInfo info;
    if (!row || !describeRow(model, *row, info))
        return Result::failure(TWCC_CAPUNSUPPORTED);

    switch (msg) {
    case MSG_GET:
    case MSG_GETCURRENT:
    case MSG_GETDEFAULT: {
        TW_UINT16 answerMsg = msg;
        model.shape(msg, cap->Cap, info, answerMsg);
        return answerWith(info, answerMsg, cap);
    }
    case MSG_QUERYSUPPORT: {
        TW_INT32 flags = TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT;
        if (info.settable)
            flags |= TWQC_SET | TWQC_RESET;
        TW_HANDLE h = buildQuerySupport(flags);
        if (!h)
            return Result::failure(TWCC_LOWMEMORY);
        cap->ConType = TWON_ONEVALUE;
        cap->hContainer = h;
        return Result::success();
    }
    case MSG_SET:
    case MSG_RESET:
        break;
    default:
        return Result::failure(TWCC_CAPBADOPERATION);
    }

    // Negotiation ends with MSG_ENABLEDS, except for the extended capabilities.
    if (state != 4 && !info.extended)
        return Result::failure(TWCC_SEQERROR);
    if (row->access == Access::ReadOnly)
        return Result::failure(TWCC_CAPBADOPERATION);
    if (!info.settable) {
        // The device holds it at one value now: that value may be set.
        double value = 0;
        if (msg == MSG_SET && readContainer(cap->hContainer, cap->ConType, value) &&
            std::fabs(value - info.current) < kTolerance)
            return Result::success();
        return Result::failure(msg == MSG_RESET ? TWCC_CAPBADOPERATION : TWCC_BADVALUE);
    }
    if (msg == MSG_RESET) {
        const Result r = model.reset(cap->Cap);
        if (r.rc != TWRC_SUCCESS)
            return r;
        if (!describeRow(model, *row, info))
            return Result::failure(TWCC_CAPUNSUPPORTED);
        return answerWith(info, MSG_RESET, cap);
    }
    double value = 0;
    if (!readContainer(cap->hContainer, cap->ConType, value))
        return Result::failure(TWCC_BADVALUE);
    return model.set(cap->Cap, value);
}

} // namespace dskit
