#pragma once

// The TWAIN I/O interface through which the bridge talks TWAIN. Operations in
// a fixed order; no data. Results: 0 for success, otherwise a TWAIN return
// code or the plain failure value 1.

#include <QVector>

#include "twain/twain.h"

class CTwainIOBase
{
public:
    virtual void ReservedOp0() = 0;
    virtual int ReservedOp1() = 0;
    virtual TW_UINT16 LoadDSM() = 0;
    virtual void UnloadDSM() = 0;
    virtual TW_UINT16 TwainCmd(TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG, TW_MEMREF pData,
                               pTW_IDENTITY pDest) = 0;
    virtual TW_UINT16 SetCapOneValFIX32(TW_UINT16 cap, const TW_FIX32* pValue) = 0;
    virtual TW_UINT16 SetCapOneValUINT32(TW_UINT16 cap, const TW_UINT32* pValue) = 0;
    virtual TW_UINT16 SetCapOneValUINT16(TW_UINT16 cap, const TW_UINT16* pValue) = 0;
    virtual TW_UINT16 SetCapOneValINT16(TW_UINT16 cap, const TW_INT16* pValue) = 0;
    virtual TW_UINT16 SetCapOneValBOOL(TW_UINT16 cap, const bool* pValue) = 0;
    virtual TW_UINT16 GetCapOneValFIX32(TW_UINT16 cap, TW_FIX32* pValue, TW_UINT16 MSG) = 0;
    virtual TW_UINT16 GetCapOneValUINT32(TW_UINT16 cap, TW_UINT32* pValue, TW_UINT16 MSG) = 0;
    virtual TW_UINT16 GetCapOneValUINT16(TW_UINT16 cap, TW_UINT16* pValue, TW_UINT16 MSG) = 0;
    virtual TW_UINT16 GetCapOneValINT16(TW_UINT16 cap, TW_INT16* pValue, TW_UINT16 MSG) = 0;
    virtual TW_UINT16 GetCapOneValBOOL(TW_UINT16 cap, bool* pValue, TW_UINT16 MSG) = 0;
    virtual TW_UINT16 TwainSetCapOneVal(TW_CAPABILITY* pCap, const void* pValue) = 0;
    virtual TW_UINT16 TwainGetCapOneVal(TW_CAPABILITY cap, void* pValue, TW_UINT16 MSG) = 0;
    virtual TW_UINT16 SetCapEnumVector(TW_UINT16 cap, const QVector<TW_UINT16>& values) = 0;
    virtual TW_UINT16 TwainSetCapEnum(TW_CAPABILITY* pCap, const void* pItems, int nBytes) = 0;
    virtual TW_UINT16 TwainGetCapEnum(TW_UINT16 cap, QVector<TW_UINT16>& values) = 0;
    virtual void NotifyDSMsg(TW_UINT16 uiMSG) = 0;
    virtual bool ShowLastGUI() = 0;

protected:
    // Never deleted through this interface: the object that implements it
    // is destroyed as a whole.
    ~CTwainIOBase() = default;
};
