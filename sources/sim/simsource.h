#ifndef PELIRAND_SOURCES_SIM_SIMSOURCE_H
#define PELIRAND_SOURCES_SIM_SIMSOURCE_H

#include "sources/sim/simcaps.h"
#include "sources/sim/simimage.h"
#include "sources/sim/simnotifier.h"

#include "platform/win32.h"

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace simscanner {

// The data source behind DS_Entry: the source's side of TWAIN states 3
// (closed) to 7. One per loaded library, serving one application at a time.
//
// Calls arrive on the application's thread, the dialog's window procedure on
// whichever thread dispatches its messages, and deliveries of notifications on
// the notifier's thread; one recursive lock serialises them, so an application
// that calls back from inside a notification on the same thread gets in.
class SimSource
{
public:
    static SimSource& instance();
    ~SimSource();

    TW_UINT16 entry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);
    LRESULT windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

private:
    struct Result
    {
        Result(unsigned returnCode, unsigned conditionCode)
            : rc(static_cast<TW_UINT16>(returnCode)), cc(static_cast<TW_UINT16>(conditionCode))
        {}
        TW_UINT16 rc;
        TW_UINT16 cc;
    };

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

    SimSource() = default;

    // Holds the lock and counts how deeply this thread is inside the source.
    class Guard
    {
    public:
        explicit Guard(SimSource& source) : m_source(source), m_lock(source.m_mutex) { ++m_source.m_depth; }
        ~Guard() { --m_source.m_depth; }
        bool outermost() const { return m_source.m_depth == 1; }

    private:
        SimSource& m_source;
        std::lock_guard<std::recursive_mutex> m_lock;
    };

    Result dispatch(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);
    bool injectFault(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data, Result& result);
    void delay(TW_UINT32 ms, bool pump);

    // DG_CONTROL
    Result identity(pTW_IDENTITY origin, TW_UINT16 msg, TW_MEMREF data);
    Result entryPoint(TW_UINT16 msg, TW_MEMREF data);
    Result capability(TW_UINT16 msg, TW_MEMREF data);
    Result registerCallback(TW_UINT16 dat, TW_UINT16 msg);
    Result event(TW_UINT16 msg, TW_MEMREF data);
    Result userInterface(TW_UINT16 msg, TW_MEMREF data);
    Result pendingXfers(TW_UINT16 msg, TW_MEMREF data);
    Result setupMemXfer(TW_UINT16 msg, TW_MEMREF data);
    Result setupFileXfer(TW_UINT16 msg, TW_MEMREF data);
    Result status(TW_UINT16 msg, TW_MEMREF data);
    Result xferGroup(TW_UINT16 msg, TW_MEMREF data);
    Result deviceEvent(TW_UINT16 msg, TW_MEMREF data);

    // DG_IMAGE
    Result imageInfo(TW_UINT16 msg, TW_MEMREF data);
    Result imageLayout(TW_UINT16 msg, TW_MEMREF data);
    Result nativeXfer(TW_UINT16 msg, TW_MEMREF data);
    bool pageFile(std::vector<TW_UINT8>& out) const;
    Result fileXfer(TW_UINT16 msg);
    Result memXfer(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);
    Result palette8(TW_UINT16 msg, TW_MEMREF data);
    Result extImageInfo(TW_UINT16 msg, TW_MEMREF data);

    Result setControl(TW_UINT16 cap, double value);
    void applyEnvironmentControls();
    bool quirk(TW_UINT16 which) const { return m_settings.quirk == which; }
    bool onQuirkPage() const { return m_page.spec.page == m_settings.quirkPage; }
    void botchDib(std::vector<TW_UINT8>& dib) const;
    Result trigger(TW_UINT16 what);
    bool transferStart(TW_UINT16 dat, Result& refusal);
    TW_UINT16 doneCode() const;

    // Scanning and notifications.
    void startScan();
    void pickPage();
    TW_UINT16 pendingCount() const;
    void endSession();
    void notify(TW_UINT16 msg);
    void notifyNow(TW_UINT16 msg);
    void deliverToQueue(TW_UINT16 msg);

    // Windows.
    bool registerClasses();
    void showDialog(HWND owner);
    void closeDialog();
    void destroyWindows();

    std::recursive_mutex m_mutex;
    int m_depth = 0; // nesting of the thread holding m_mutex
    int m_state = 3;
    TW_UINT16 m_conditionCode = TWCC_SUCCESS;
    TW_ENTRYPOINT m_dsm{};
    TW_IDENTITY m_self{};
    TW_IDENTITY m_app{};
    Settings m_settings;
    TW_UINT32 m_failSeen = 0; // matching calls since SIMCAP_FAILTRIPLET was set
    TW_UINT32 m_failDone = 0;

    bool m_showUI = false;
    bool m_uiOnly = false;
    HWND m_owner = nullptr; // disabled while a modal dialog shows
    HWND m_dialog = nullptr;
    HWND m_eventWindow = nullptr; // wakes the application's message loop
    bool m_classesRegistered = false;

    TW_UINT32 m_pageNumber = 0; // pages picked up this session
    TW_UINT32 m_xferLeft = 0;   // transfers CAP_XFERCOUNT still allows in this batch
    Page m_page;
    std::string m_fileName = kDefaultFileName;
    std::deque<TW_UINT16> m_events;       // messages held for MSG_PROCESSEVENT
    std::deque<TW_UINT32> m_deviceEvents; // for DAT_DEVICEEVENT

    Notifier m_notifier;
    bool m_joinNotify = false; // deliver the next notification from another thread and wait for it
};

} // namespace simscanner

#endif // PELIRAND_SOURCES_SIM_SIMSOURCE_H
