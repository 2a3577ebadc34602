#include "dsm/manager.h"

// The library's one export.
extern "C" __attribute__((visibility("default"))) TW_UINT16 TW_CALLINGSTYLE DSM_Entry(
    pTW_IDENTITY pOrigin, pTW_IDENTITY pDest, TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG, TW_MEMREF pData)
{
    return peerdsm::dsmEntry(pOrigin, pDest, DG, DAT, MSG, pData);
}
