#include "diag/twnames.h"

#include <atomic>
#include <cstddef>
#include <cstdio>

namespace {

struct CodeName
{
    unsigned short uiCode;
    const char* pName;
};

// clang-format off
const CodeName kReturnCodes[] = {
    {0x0000, "TWRC_SUCCESS"},
    {0x0001, "TWRC_FAILURE"},
    {0x0002, "TWRC_CHECKSTATUS"},
    {0x0003, "TWRC_CANCEL"},
    {0x0004, "TWRC_DSEVENT"},
    {0x0005, "TWRC_NOTDSEVENT"},
    {0x0006, "TWRC_XFERDONE"},
    {0x0007, "TWRC_ENDOFLIST"},
    {0x0008, "TWRC_INFONOTSUPPORTED"},
    {0x0009, "TWRC_DATANOTAVAILABLE"},
};

// The standard leaves 7 and 8 unnamed.
const CodeName kConditionCodes[] = {
    {0x0000, "TWCC_SUCCESS"},
    {0x0001, "TWCC_BUMMER"},
    {0x0002, "TWCC_LOWMEMORY"},
    {0x0003, "TWCC_NODS"},
    {0x0004, "TWCC_MAXCONNECTIONS"},
    {0x0005, "TWCC_OPERATIONERROR"},
    {0x0006, "TWCC_BADCAP"},
    {0x0009, "TWCC_BADPROTOCOL"},
    {0x000A, "TWCC_BADVALUE"},
    {0x000B, "TWCC_SEQERROR"},
    {0x000C, "TWCC_BADDEST"},
    {0x000D, "TWCC_CAPUNSUPPORTED"},
    {0x000E, "TWCC_CAPBADOPERATION"},
    {0x000F, "TWCC_CAPSEQERROR"},
    {0x0010, "TWCC_DENIED"},
    {0x0011, "TWCC_FILEEXISTS"},
    {0x0012, "TWCC_FILENOTFOUND"},
    {0x0013, "TWCC_NOTEMPTY"},
    {0x0014, "TWCC_PAPERJAM"},
    {0x0015, "TWCC_PAPERDOUBLEFEED"},
    {0x0016, "TWCC_FILEWRITEERROR"},
    {0x0017, "TWCC_CHECKDEVICEONLINE"},
    {0x0018, "TWCC_INTERLOCK"},
    {0x0019, "TWCC_DAMAGEDCORNER"},
    {0x001A, "TWCC_FOCUSERROR"},
    {0x001B, "TWCC_DOCTOOLIGHT"},
    {0x001C, "TWCC_DOCTOODARK"},
    {0x001D, "TWCC_NOMEDIA"},
};

const CodeName kDataGroups[] = {
    {0x0001, "DG_CONTROL"},
    {0x0002, "DG_IMAGE"},
    {0x0004, "DG_AUDIO"},
};

const CodeName kDataArgumentTypes[] = {
    {0x0000, "DAT_NULL"},
    {0x0001, "DAT_CAPABILITY"},
    {0x0002, "DAT_EVENT"},
    {0x0003, "DAT_IDENTITY"},
    {0x0004, "DAT_PARENT"},
    {0x0005, "DAT_PENDINGXFERS"},
    {0x0006, "DAT_SETUPMEMXFER"},
    {0x0007, "DAT_SETUPFILEXFER"},
    {0x0008, "DAT_STATUS"},
    {0x0009, "DAT_USERINTERFACE"},
    {0x000A, "DAT_XFERGROUP"},
    {0x000C, "DAT_CUSTOMDSDATA"},
    {0x000D, "DAT_DEVICEEVENT"},
    {0x000E, "DAT_FILESYSTEM"},
    {0x000F, "DAT_PASSTHRU"},
    {0x0010, "DAT_CALLBACK"},
    {0x0011, "DAT_STATUSUTF8"},
    {0x0012, "DAT_CALLBACK2"},
    {0x0101, "DAT_IMAGEINFO"},
    {0x0102, "DAT_IMAGELAYOUT"},
    {0x0103, "DAT_IMAGEMEMXFER"},
    {0x0104, "DAT_IMAGENATIVEXFER"},
    {0x0105, "DAT_IMAGEFILEXFER"},
    {0x0106, "DAT_CIECOLOR"},
    {0x0107, "DAT_GRAYRESPONSE"},
    {0x0108, "DAT_RGBRESPONSE"},
    {0x0109, "DAT_JPEGCOMPRESSION"},
    {0x010A, "DAT_PALETTE8"},
    {0x010B, "DAT_EXTIMAGEINFO"},
    {0x0201, "DAT_AUDIOFILEXFER"},
    {0x0202, "DAT_AUDIOINFO"},
    {0x0203, "DAT_AUDIONATIVEXFER"},
    {0x0401, "DAT_ICCPROFILE"},
    {0x0402, "DAT_IMAGEMEMFILEXFER"},
    {0x0403, "DAT_ENTRYPOINT"},
};

const CodeName kMessages[] = {
    {0x0001, "MSG_GET"},
    {0x0002, "MSG_GETCURRENT"},
    {0x0003, "MSG_GETDEFAULT"},
    {0x0004, "MSG_GETFIRST"},
    {0x0005, "MSG_GETNEXT"},
    {0x0006, "MSG_SET"},
    {0x0007, "MSG_RESET"},
    {0x0008, "MSG_QUERYSUPPORT"},
    {0x0009, "MSG_GETHELP"},
    {0x000A, "MSG_GETLABEL"},
    {0x000B, "MSG_GETLABELENUM"},
    {0x0101, "MSG_XFERREADY"},
    {0x0102, "MSG_CLOSEDSREQ"},
    {0x0103, "MSG_CLOSEDSOK"},
    {0x0104, "MSG_DEVICEEVENT"},
    {0x0301, "MSG_OPENDSM"},
    {0x0302, "MSG_CLOSEDSM"},
    {0x0401, "MSG_OPENDS"},
    {0x0402, "MSG_CLOSEDS"},
    {0x0403, "MSG_USERSELECT"},
    {0x0501, "MSG_DISABLEDS"},
    {0x0502, "MSG_ENABLEDS"},
    {0x0503, "MSG_ENABLEDSUIONLY"},
    {0x0601, "MSG_PROCESSEVENT"},
    {0x0701, "MSG_ENDXFER"},
    {0x0702, "MSG_STOPFEEDER"},
    {0x0801, "MSG_CHANGEDIRECTORY"},
    {0x0802, "MSG_CREATEDIRECTORY"},
    {0x0803, "MSG_DELETE"},
    {0x0804, "MSG_FORMATMEDIA"},
    {0x0805, "MSG_GETCLOSE"},
    {0x0806, "MSG_GETFIRSTFILE"},
    {0x0807, "MSG_GETINFO"},
    {0x0808, "MSG_GETNEXTFILE"},
    {0x0809, "MSG_RENAME"},
    {0x080A, "MSG_COPY"},
    {0x080B, "MSG_AUTOMATICCAPTUREDIRECTORY"},
    {0x0901, "MSG_PASSTHRU"},
    {0x0902, "MSG_REGISTER_CALLBACK"},
    {0x0A01, "MSG_RESETALL"},
};
// clang-format on

template <std::size_t N>
const char* findName(const CodeName (&table)[N], unsigned short uiCode)
{
    for (const CodeName& entry : table) {
        if (entry.uiCode == uiCode)
            return entry.pName;
    }
    return nullptr;
}

const int kFallbackCount = 3;
const int kFallbackSize = 1024;
char g_acFallback[kFallbackCount][kFallbackSize];
// Atomic so that concurrent callers at least take distinct buffers.
std::atomic<unsigned> g_uiFallbackIndex{0};

const char* fallbackText(const char* pKind, unsigned short uiCode)
{
    unsigned uiIndex = g_uiFallbackIndex.load(std::memory_order_relaxed);
    unsigned uiNext;
    do {
        uiNext = (uiIndex + 1) % kFallbackCount;
    } while (!g_uiFallbackIndex.compare_exchange_weak(uiIndex, uiNext, std::memory_order_relaxed));
    char* pBuffer = g_acFallback[uiNext];
    pBuffer[0] = '\0';
    std::snprintf(pBuffer, kFallbackSize, "%s 0x:%04X", pKind, static_cast<unsigned>(uiCode));
    return pBuffer;
}

const char* nameOr(const char* pName, const char* pKind, unsigned short uiCode)
{
    return pName ? pName : fallbackText(pKind, uiCode);
}

} // namespace

const char* TwrcName(unsigned short uiCode)
{
    return nameOr(findName(kReturnCodes, uiCode), "ReturnCode", uiCode);
}

const char* TwccName(unsigned short uiCode)
{
    return nameOr(findName(kConditionCodes, uiCode), "ConditionCode", uiCode);
}

const char* DgName(unsigned short uiCode)
{
    return nameOr(findName(kDataGroups, uiCode), "DataGroup", uiCode);
}

const char* DatName(unsigned short uiCode)
{
    return nameOr(findName(kDataArgumentTypes, uiCode), "DataArgumentType", uiCode);
}

const char* MsgName(unsigned short uiCode)
{
    return nameOr(findName(kMessages, uiCode), "Message", uiCode);
}
