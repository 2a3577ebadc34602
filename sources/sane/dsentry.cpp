// The one symbol the DSM looks up in a source.
#include "sources/sane/sanesource.h"

extern "C" __attribute__((visibility("default"))) TW_UINT16 TW_CALLINGSTYLE
DS_Entry(pTW_IDENTITY pOrigin, TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG, TW_MEMREF pData)
{
    return sanesource::SaneSource::instance().entry(pOrigin, DG, DAT, MSG, pData);
}
