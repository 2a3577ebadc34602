#ifndef PELIRAND_SOURCES_KIT_RESULT_H
#define PELIRAND_SOURCES_KIT_RESULT_H

// What a data source's handler answers: the return code for the caller and
// the condition code DAT_STATUS reports afterwards. Handlers only return it;
// Source::entry() is the one place that stores the condition.

#include "twain/twain.h"

namespace dskit {

struct Result
{
    // Any integer type: the TWAIN codes come as plain ints and as TW_UINT16.
    template <typename R, typename C>
    constexpr Result(R returnCode, C conditionCode)
        : rc(static_cast<TW_UINT16>(returnCode)), cc(static_cast<TW_UINT16>(conditionCode))
    {}
    TW_UINT16 rc;
    TW_UINT16 cc;

    static constexpr Result success() { return {TWRC_SUCCESS, TWCC_SUCCESS}; }
    static constexpr Result failure(TW_UINT16 condition) { return {TWRC_FAILURE, condition}; }
};

} // namespace dskit

#endif // PELIRAND_SOURCES_KIT_RESULT_H
