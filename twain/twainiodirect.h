#pragma once

// In-process TWAIN I/O: every triplet goes through TwainCmd, which calls the
// DSM, keeps the TWAIN state (1 to 7) and the last condition code, logs each
// call and refuses calls that arrive while another one is inside the DSM.

#include <cstddef>

#include <QByteArray>

#include "platform/win32.h"
#include "twain/twain.h"
#include "twain/twainiobase.h"
#include "twain/twainxferlink.h"

// The longest item of any TWAIN type (TWTY_STR1024): an output buffer of this
// size holds every value that TwainGetCapOneVal may store.
constexpr int TWAIN_MAX_ITEM_SIZE = 1026;

// Bytes of one item of a TWTY_ type; 0 for unknown types.
int TwainItemSize(TW_UINT16 itemType);

class CTwainIODirect : public CTwainIOBase, public CTwainXferLink
{
public:
    CTwainIODirect();

    void ReservedOp0() override;
    int ReservedOp1() override;
    TW_UINT16 LoadDSM() override;
    void UnloadDSM() override;
    TW_UINT16 TwainCmd(TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG, TW_MEMREF pData,
                       pTW_IDENTITY pDest) override;
    TW_UINT16 SetCapOneValFIX32(TW_UINT16 cap, const TW_FIX32* pValue) override;
    TW_UINT16 SetCapOneValUINT32(TW_UINT16 cap, const TW_UINT32* pValue) override;
    TW_UINT16 SetCapOneValUINT16(TW_UINT16 cap, const TW_UINT16* pValue) override;
    TW_UINT16 SetCapOneValINT16(TW_UINT16 cap, const TW_INT16* pValue) override;
    TW_UINT16 SetCapOneValBOOL(TW_UINT16 cap, const bool* pValue) override;
    TW_UINT16 GetCapOneValFIX32(TW_UINT16 cap, TW_FIX32* pValue, TW_UINT16 MSG) override;
    TW_UINT16 GetCapOneValUINT32(TW_UINT16 cap, TW_UINT32* pValue, TW_UINT16 MSG) override;
    TW_UINT16 GetCapOneValUINT16(TW_UINT16 cap, TW_UINT16* pValue, TW_UINT16 MSG) override;
    TW_UINT16 GetCapOneValINT16(TW_UINT16 cap, TW_INT16* pValue, TW_UINT16 MSG) override;
    TW_UINT16 GetCapOneValBOOL(TW_UINT16 cap, bool* pValue, TW_UINT16 MSG) override;
    TW_UINT16 TwainSetCapOneVal(TW_CAPABILITY* pCap, const void* pValue) override;
    // Stores up to TWAIN_MAX_ITEM_SIZE bytes, as many as the source's item type has.
    TW_UINT16 TwainGetCapOneVal(TW_CAPABILITY cap, void* pValue, TW_UINT16 MSG) override;
    TW_UINT16 SetCapEnumVector(TW_UINT16 cap, const QVector<TW_UINT16>& values) override;
    TW_UINT16 TwainSetCapEnum(TW_CAPABILITY* pCap, const void* pItems, int nBytes) override;
    TW_UINT16 TwainGetCapEnum(TW_UINT16 cap, QVector<TW_UINT16>& values) override;
    void NotifyDSMsg(TW_UINT16 uiMSG) override;
    bool ShowLastGUI() override;

    // The transfer engine's view of the fields below.
    TW_UINT16 TwainState() const override { return m_State; }
    pTW_IDENTITY TwainSource() override { return &m_SourceID; }
    bool TwainFirstXfer() const override { return m_bFirstXfer; }

    // TwainGetCapOneVal that never stores more than nValueSize bytes: an item
    // longer than the buffer is cut to the buffer's size.
    TW_UINT16 TwainGetCapOneValSized(TW_CAPABILITY cap, void* pValue, std::size_t nValueSize, TW_UINT16 MSG);

    // The whole container the source answers to DAT_CAPABILITY with msg
    // (MSG_GET, MSG_GETCURRENT, MSG_GETDEFAULT...), copied out of its memory:
    // a TW_ONEVALUE, TW_ENUMERATION, TW_ARRAY or TW_RANGE, as many bytes as
    // its fields say it holds. Not TWRC_SUCCESS: the source's code, or 1 when
    // the container is malformed (cut short, unknown type or item type).
    TW_UINT16 TwainGetCapContainer(TW_UINT16 cap, TW_UINT16 msg, TW_UINT16& conType, QByteArray& bytes);

    // Allocates a zeroed container of conType for n items of itemType into
    // pCap->hContainer; false (and a null handle) when conType is not one of
    // the four container types, n is negative, or no memory is left.
    bool BuildCapContainer(TW_UINT16 cap, TW_UINT16 conType, TW_UINT16 itemType, TW_CAPABILITY* pCap, int n);

    int m_nDSM;
    TW_UINT16 m_State;
    bool m_bModalUI;
    bool m_bInCall;
    TW_STATUS m_Status;
    TW_IDENTITY m_AppID;
    TW_IDENTITY m_SourceID;
    HWND m_hDSWindow;
    bool m_bFirstXfer;

    // One of the four image transfer triplets (DG_IMAGE, MSG_GET).
    static bool isTransferTriplet(TW_UINT16 DAT, TW_UINT16 MSG);

private:
    // After MSG_OPENDSM: the DSM's memory functions when it is a TWAIN 2 DSM.
    void FetchDSMEntryPoint();
    // The unload command frees the library without a change of state; while
    // the state says the DSM is open, whatever reaches the DSM or allocates
    // memory for it loads the library again first and takes its memory
    // functions as MSG_OPENDSM did: a source's containers and pages come from
    // the functions of the library now loaded.
    void ReloadFreedDSM();
    void applyTransition(TW_UINT16 DAT, TW_UINT16 MSG, TW_MEMREF pData);
};
