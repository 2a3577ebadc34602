#ifndef PELIRAND_SOURCES_SIM_SIMSOURCE_H
#define PELIRAND_SOURCES_SIM_SIMSOURCE_H

#include "sources/kit/source.h"
#include "sources/sim/simcaps.h"
#include "sources/sim/simimage.h"
#include "sources/sim/simnotifier.h"

#include "platform/win32.h"

#include <cstddef>
#include <deque>
#include <vector>

namespace simscanner {

// The simulated scanner on the data-source kit: the device behind DS_Entry,
// its capability rows and its dialog. One per loaded library, serving one
// application at a time.
//
// Calls arrive on the application's thread, the dialog's window procedure on
// whichever thread dispatches its messages, and deliveries of notifications on
// the notifier's thread; the kit's recursive call lock serialises them, so an
// application that calls back from inside a notification on the same thread
// gets in.
class SimSource : public dskit::Source, private dskit::CapabilityModel
{
public:
    static SimSource& instance();
    ~SimSource() override;

    LRESULT windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

private:
    using Result = dskit::Result;

    // The page being transferred.
    struct Page
    {
        PageSpec spec;
        bool started = false;         // a transfer triplet took it to state 7
        bool finished = false;        // all its data has gone out (or it was cancelled)
        bool owesDone = false;        // the TWRC_SUCCESS quirk owes one empty TWRC_XFERDONE block
        bool fake = false;            // announced by a fake MSG_XFERREADY: it is cancelled
        TW_INT32 nextRow = 0;         // uncompressed memory transfer
        std::vector<TW_UINT8> stream; // JPEG or BMP bytes of a block transfer
        std::size_t offset = 0;
    };

    SimSource();

    // The kit's seams
    Result open() override;
    void close() override;
    Result call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) override;
    dskit::CapabilityModel& capabilities() override { return *this; }
    TW_UINT16 fileFormat() const override { return m_settings.fileFormat; }
    void setFileFormat(TW_UINT16 format) override { m_settings.fileFormat = format; }
    bool fileFormatAllowed(TW_UINT16 format) const override;
    TW_UINT16 resetFileFormat() const override;
    bool acceptsCallbacks() const override;
    bool claimEvent(TW_MEMREF event) override;
    void eventPosted() override;
    bool notifiesThroughDsm() const override;
    void afterCall() override;

    // Capabilities
    const dskit::CapRow* rows(std::size_t& count) const override;
    bool describe(TW_UINT16 cap, dskit::CapInfo& info) override;
    Result set(TW_UINT16 cap, double value) override;
    Result reset(TW_UINT16 cap) override;
    Result resetAll() override;
    bool answer(TW_UINT16 msg, pTW_CAPABILITY cap, int state, Result& result) override;
    void shape(TW_UINT16 msg, TW_UINT16 cap, dskit::CapInfo& info, TW_UINT16& answerMsg) override;

#if PELIRAND_SIM_FAULTS
    // The fault plan (simfaults.cpp), in the scanner the tests load only.
    bool intercept(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data, Result& result) override;
    void delay(TW_UINT32 ms, bool pump);
    void applyEnvironmentControls();
#endif

    // DG_CONTROL
    Result enable(const TW_USERINTERFACE& ui, bool uiOnly) override;
    void disable() override;
    TW_UINT16 transfersPending() override { return pendingCount(); }
    Result endXfer(TW_PENDINGXFERS& pending, bool& more) override;
    void resetXfers() override;
    TW_UINT16 stopFeeder() override;
    Result setupMemXfer(TW_SETUPMEMXFER& setup) override;
    Result deviceEvent(TW_MEMREF data);

    // DG_IMAGE
    Result imageInfo(TW_IMAGEINFO& info) override;
    Result imageLayout(TW_UINT16 msg, TW_IMAGELAYOUT& layout) override;
    Result nativeXfer(TW_HANDLE& image) override;
    bool pageFile(std::vector<TW_UINT8>& out) const;
    Result fileXfer() override;
    Result memXfer(TW_IMAGEMEMXFER& xfer, const dskit::AppBuffer& buffer) override
    {
        return blockXfer(DAT_IMAGEMEMXFER, xfer, buffer);
    }
    Result memFileXfer(TW_IMAGEMEMXFER& xfer, const dskit::AppBuffer& buffer) override
    {
        return blockXfer(DAT_IMAGEMEMFILEXFER, xfer, buffer);
    }
    Result blockXfer(TW_UINT16 dat, TW_IMAGEMEMXFER& xfer, const dskit::AppBuffer& appBuffer);
    TW_UINT16 transferMechanism() const override { return m_settings.xferMech; }
    bool transferUnderway() override { return m_page.started && !m_page.finished; }
    Result palette8(TW_MEMREF data);
    Result extImageInfo(TW_MEMREF data);

    Result setControl(TW_UINT16 cap, double value);
#if PELIRAND_SIM_FAULTS
    bool quirk(TW_UINT16 which) const { return m_settings.quirk == which; }
#else
    bool quirk(TW_UINT16) const { return false; }
#endif
    bool onQuirkPage() const { return m_page.spec.page == m_settings.quirkPage; }
    void botchDib(std::vector<TW_UINT8>& dib) const;
    Result trigger(TW_UINT16 what);
    void transferStart();
    TW_UINT16 doneCode() const;

    // Scanning and notifications.
    void startScan();
    void pickPage();
    TW_UINT16 pendingCount() const;
    void endSession();
    void notify(TW_UINT16 msg);
    void notifyNow(TW_UINT16 msg);

    // Windows.
    bool registerClasses();
    void showDialog(HWND owner);
    void closeDialog();
    void destroyWindows();

    Settings m_settings;
#if PELIRAND_SIM_FAULTS
    TW_UINT32 m_failSeen = 0; // matching calls since SIMCAP_FAILTRIPLET was set
    TW_UINT32 m_failDone = 0;
#endif

    bool m_showUI = false;
    bool m_uiOnly = false;
    HWND m_owner = nullptr; // disabled while a modal dialog shows
    HWND m_dialog = nullptr;
    HWND m_eventWindow = nullptr; // wakes the application's message loop
    bool m_classesRegistered = false;

    TW_UINT32 m_pageNumber = 0; // pages picked up this session
    TW_UINT32 m_xferLeft = 0;   // transfers CAP_XFERCOUNT still allows in this batch
    Page m_page;
    std::deque<TW_UINT32> m_deviceEvents; // for DAT_DEVICEEVENT

    Notifier m_notifier;
    bool m_joinNotify = false; // deliver the next notification from another thread and wait for it
};

} // namespace simscanner

#endif // PELIRAND_SOURCES_SIM_SIMSOURCE_H
