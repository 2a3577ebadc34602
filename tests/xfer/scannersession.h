#pragma once

// One session with the simulated scanner through the stand-in DSM, in this
// process, driven through a CTwainIODirect as the bridge drives it: DSM and
// source opened, capabilities set, the source enabled without its dialog,
// MSG_XFERREADY passed on, and the batch run as the event routing runs it.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <cstring>
#include <functional>

#include "codec/fix32.h"
#include "sources/sim/simscanner.h"
#include "platform/win32.h"
#include "twain/twainiodirect.h"
#include "xfer/twainxfer.h"

// The direct I/O object with a hook around every call, for timings.
class HookedIO : public CTwainIODirect
{
public:
    std::function<void(TW_UINT16 DAT, TW_UINT16 MSG, bool bDone)> hook;

    TW_UINT16 TwainCmd(TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG, TW_MEMREF pData,
                       pTW_IDENTITY pDest) override
    {
        if (hook)
            hook(DAT, MSG, false);
        const TW_UINT16 rc = CTwainIODirect::TwainCmd(DG, DAT, MSG, pData, pDest);
        if (hook)
            hook(DAT, MSG, true);
        return rc;
    }
};

class ScannerSession
{
public:
    // What the batch of one MSG_XFERREADY did.
    struct Batch
    {
        QVector<int> transferResults;
        QVector<int> endResults;
        QVector<int> statesAfterEnd;
    };

    ScannerSession()
    {
        s_nMessage.store(0);
        m_io.m_nDSM = 2;
        TW_IDENTITY& app = m_io.m_AppID;
        app.Version.MajorNum = 1;
        app.ProtocolMajor = TWON_PROTOCOLMAJOR;
        app.ProtocolMinor = 4;
        app.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
        std::strcpy(app.Manufacturer, "pelirand");
        std::strcpy(app.ProductFamily, "tests");
        std::strcpy(app.ProductName, "tst_twainxfer");
    }

    ~ScannerSession() { close(); }

    HookedIO& io() { return m_io; }

    TW_UINT16 cmd(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF pData, bool bToSource = true)
    {
        return m_io.TwainCmd(dg, dat, msg, pData, bToSource ? &m_io.m_SourceID : nullptr);
    }

    // DSM and source open (state 4), messages reported synchronously.
    bool open()
    {
        if (m_io.LoadDSM() != 0)
            return false;
        HWND hParent = nullptr;
        if (cmd(DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &hParent, false) != TWRC_SUCCESS)
            return false;
        m_bDsmOpen = true;
        TW_IDENTITY source;
        std::memset(&source, 0, sizeof(source));
        TW_UINT16 rc = cmd(DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &source, false);
        while (rc == TWRC_SUCCESS && std::strcmp(source.ProductName, simscanner::kProductName) != 0)
            rc = cmd(DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, &source, false);
        if (rc != TWRC_SUCCESS)
            return false;
        m_io.m_SourceID = source;
        if (cmd(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &m_io.m_SourceID, false) != TWRC_SUCCESS)
            return false;
        m_bSourceOpen = true;
        TW_CALLBACK2 callback;
        std::memset(&callback, 0, sizeof(callback));
        callback.CallBackProc = reinterpret_cast<TW_MEMREF>(&onMessage);
        if (cmd(DG_CONTROL, DAT_CALLBACK2, MSG_REGISTER_CALLBACK, &callback) != TWRC_SUCCESS)
            return false;
        return setBool(simscanner::SIMCAP_NOTIFYTHREAD, false);
    }

    bool setU16(TW_UINT16 cap, TW_UINT16 value)
    {
        return m_io.SetCapOneValUINT16(cap, &value) == TWRC_SUCCESS;
    }
    bool setU32(TW_UINT16 cap, TW_UINT32 value)
    {
        return m_io.SetCapOneValUINT32(cap, &value) == TWRC_SUCCESS;
    }
    bool setBool(TW_UINT16 cap, bool value) { return m_io.SetCapOneValBOOL(cap, &value) == TWRC_SUCCESS; }
    bool setDpi(int nDpi)
    {
        TW_FIX32 fix;
        fix.Whole = TW_INT16(nDpi);
        fix.Frac = 0;
        return m_io.SetCapOneValFIX32(ICAP_XRESOLUTION, &fix) == TWRC_SUCCESS &&
               m_io.SetCapOneValFIX32(ICAP_YRESOLUTION, &fix) == TWRC_SUCCESS;
    }
    bool setPixels(TW_UINT16 nPixelType, TW_UINT16 nBitDepth)
    {
        return setU16(ICAP_PIXELTYPE, nPixelType) && setU16(ICAP_BITDEPTH, nBitDepth);
    }
    // A frame of nWidth x nHeight pixels at nDpi (inches, rounded to TW_FIX32).
    bool setFrame(int nWidth, int nHeight, int nDpi)
    {
        TW_IMAGELAYOUT layout;
        std::memset(&layout, 0, sizeof(layout));
        layout.Frame.Right = fix32(double(nWidth) / nDpi);
        layout.Frame.Bottom = fix32(double(nHeight) / nDpi);
        return setDpi(nDpi) && cmd(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &layout) == TWRC_SUCCESS;
    }
    bool setFileName(const QString& sName)
    {
        TW_SETUPFILEXFER setup;
        std::memset(&setup, 0, sizeof(setup));
        const QByteArray name = sName.toUtf8();
        std::memcpy(setup.FileName, name.constData(), size_t(qMin(name.size(), 255)));
        setup.Format = TWFF_BMP;
        return cmd(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup) == TWRC_SUCCESS;
    }

    // Enables the source without its dialog; true once the source reported
    // MSG_XFERREADY, which then goes to the I/O object as the routing does it.
    bool startScan()
    {
        s_nMessage.store(0);
        TW_USERINTERFACE ui;
        std::memset(&ui, 0, sizeof(ui));
        if (cmd(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) != TWRC_SUCCESS)
            return false;
        m_bEnabled = true;
        QElapsedTimer timer;
        timer.start();
        while (s_nMessage.load() != MSG_XFERREADY && timer.elapsed() < 10000) {
            QCoreApplication::processEvents();
            QThread::msleep(1);
        }
        if (s_nMessage.load() != MSG_XFERREADY)
            return false;
        m_io.NotifyDSMsg(MSG_XFERREADY);
        return m_io.m_State == 6;
    }

    // DoTransfer, then DoEndXfer, while both answer 0 and the state is 6.
    Batch runBatch(CTwainXFer& xfer)
    {
        Batch batch;
        for (;;) {
            const TW_UINT16 rc = xfer.DoTransfer();
            batch.transferResults << rc;
            if (rc != TWRC_SUCCESS)
                break;
            const TW_UINT16 rcEnd = xfer.DoEndXfer();
            batch.endResults << rcEnd;
            batch.statesAfterEnd << m_io.m_State;
            if (rcEnd != TWRC_SUCCESS || m_io.m_State != 6)
                break;
        }
        return batch;
    }

    void close()
    {
        if (m_io.m_State >= 6) {
            TW_PENDINGXFERS pending;
            std::memset(&pending, 0, sizeof(pending));
            if (m_io.m_State == 7)
                cmd(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
            cmd(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending);
        }
        if (m_bEnabled) {
            TW_USERINTERFACE ui;
            std::memset(&ui, 0, sizeof(ui));
            cmd(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
            m_bEnabled = false;
        }
        if (m_bSourceOpen) {
            cmd(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &m_io.m_SourceID, false);
            m_bSourceOpen = false;
        }
        if (m_bDsmOpen) {
            HWND hParent = nullptr;
            cmd(DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &hParent, false);
            m_bDsmOpen = false;
        }
        if (m_io.m_State >= 2)
            m_io.UnloadDSM();
    }

    static TW_FIX32 fix32(double value) { return codec::toFix32(value); }

private:
    static TW_UINT16 TW_CALLINGSTYLE onMessage(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32, TW_UINT16,
                                               TW_UINT16 msg, TW_MEMREF)
    {
        s_nMessage.store(msg);
        return TWRC_SUCCESS;
    }

    static inline std::atomic<int> s_nMessage{0};
    HookedIO m_io;
    bool m_bDsmOpen = false;
    bool m_bSourceOpen = false;
    bool m_bEnabled = false;
};
