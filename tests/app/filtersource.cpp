// A data source whose answer to MSG_PROCESSEVENT the test chooses through the
// window message it hands to the bridge's event filter: kWmClaim is claimed
// (TWRC_DSEVENT) with its wParam as TWMessage, every other message is not.

#include <cstring>

#include "platform/win32.h"
#include "tests/app/filtersource.h"
#include "twain/twain.h"

#define FILTERSOURCE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

int s_nEventCalls = 0;
TW_UINT16 s_conditionCode = TWCC_SUCCESS;

void setName(TW_STR32& field, const char* pszText)
{
    std::memset(field, 0, sizeof(field));
    std::memcpy(field, pszText, std::strlen(pszText));
}

TW_UINT16 refuse(TW_UINT16 conditionCode)
{
    s_conditionCode = conditionCode;
    return TWRC_FAILURE;
}

TW_UINT16 identity(TW_UINT16 MSG, pTW_IDENTITY pIdentity)
{
    switch (MSG) {
    case MSG_GET: {
        const TW_UINT32 id = pIdentity->Id;
        std::memset(pIdentity, 0, sizeof(*pIdentity));
        pIdentity->Id = id;
        pIdentity->Version.MajorNum = 1;
        pIdentity->ProtocolMajor = 2;
        pIdentity->ProtocolMinor = 4;
        pIdentity->SupportedGroups = DG_CONTROL | DG_IMAGE | DF_DS2;
        setName(pIdentity->Manufacturer, "pelirand tests");
        setName(pIdentity->ProductFamily, "Filter");
        setName(pIdentity->ProductName, kFilterSourceName);
        return TWRC_SUCCESS;
    }
    case MSG_OPENDS:
    case MSG_CLOSEDS:
        return TWRC_SUCCESS;
    default:
        return refuse(TWCC_BADPROTOCOL);
    }
}

TW_UINT16 event(TW_MEMREF pData)
{
    ++s_nEventCalls;
    pTW_EVENT pEvent = static_cast<pTW_EVENT>(pData);
    const MSG* pMsg = static_cast<const MSG*>(pEvent->pEvent);
    if (!pMsg || pMsg->message != kWmClaim)
        return TWRC_NOTDSEVENT;
    pEvent->TWMessage = static_cast<TW_UINT16>(pMsg->wParam);
    return TWRC_DSEVENT;
}

} // namespace

FILTERSOURCE_EXPORT TW_UINT16 TW_CALLINGSTYLE DS_Entry(pTW_IDENTITY pOrigin, TW_UINT32 DG, TW_UINT16 DAT,
                                                       TW_UINT16 MSG, TW_MEMREF pData)
{
    (void)pOrigin;
    if (DG != DG_CONTROL || !pData)
        return refuse(TWCC_BADPROTOCOL);
    switch (DAT) {
    case DAT_IDENTITY:
        return identity(MSG, static_cast<pTW_IDENTITY>(pData));
    case DAT_ENTRYPOINT:
        return TWRC_SUCCESS;
    case DAT_STATUS:
        static_cast<pTW_STATUS>(pData)->ConditionCode = s_conditionCode;
        s_conditionCode = TWCC_SUCCESS;
        return TWRC_SUCCESS;
    case DAT_USERINTERFACE:
        return MSG == MSG_ENABLEDS || MSG == MSG_DISABLEDS ? TWRC_SUCCESS : refuse(TWCC_BADPROTOCOL);
    case DAT_EVENT:
        return MSG == MSG_PROCESSEVENT ? event(pData) : refuse(TWCC_BADPROTOCOL);
    default:
        return refuse(TWCC_BADPROTOCOL);
    }
}

FILTERSOURCE_EXPORT int FilterSource_EventCalls()
{
    return s_nEventCalls;
}
