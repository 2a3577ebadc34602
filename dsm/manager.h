#pragma once

#include "dsm/sourcelibrary.h"

#include "platform/win32.h"
#include "twain/twain.h"

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace peerdsm {

// The Data Source Manager behind DSM_Entry: applications (each in its DSM
// state 2 or 3), the sources found when the first application opened the DSM,
// which application has which source open, callbacks and pending notifications.
//
// Sources may notify from threads of their own, and may call DSM_Entry from
// inside their DS_Entry, so the tables sit behind one lock that is never held
// while a source or an application's callback runs.
class Manager
{
public:
    static Manager& instance();

    TW_UINT16 entry(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                    TW_MEMREF data);

private:
    struct App
    {
        TW_IDENTITY identity{}; // as the application presented it, with our Id
        HWND parent = nullptr;  // woken when a notification is queued
        TW_UINT16 conditionCode = TWCC_SUCCESS;
        bool lastRefusedByDsm = false; // the DSM itself failed the latest call
        bool listing = false;          // MSG_GETFIRST started a listing
        std::size_t next = 0;          // index for MSG_GETNEXT
        bool noCallback2 = false;      // acts as a DSM that predates DAT_CALLBACK2
        bool noCallback = false;       // refuses callbacks altogether
        bool messageRoute = false;     // notifications also through MSG_PROCESSEVENT, as on Windows
    };

    enum class Link
    {
        Closed,
        Opening,
        Open,
        Closing
    };

    struct Source
    {
        SourceLibrary lib;
        Link link = Link::Closed;
        TW_UINT32 owner = 0; // Id of the application that opened it
        TW_MEMREF callbackProc = nullptr;
        TW_UINTPTR callbackRefCon = 0;
        std::deque<TW_UINT16> pending; // notifications waiting for MSG_PROCESSEVENT

        // Reachable for calls and notifications (also while it is being closed).
        bool reachable() const { return link == Link::Open || link == Link::Closing; }
        void dropSession();
    };

    using Lock = std::unique_lock<std::mutex>;

    TW_UINT16 parent(TW_IDENTITY& origin, TW_UINT16 msg, TW_MEMREF data);
    TW_UINT16 openDsm(TW_IDENTITY& origin, TW_MEMREF data);
    TW_UINT16 closeDsm(const TW_IDENTITY& origin);
    TW_UINT16 status(const TW_IDENTITY& origin, pTW_IDENTITY dest, TW_UINT16 msg, TW_MEMREF data);
    TW_UINT16 identity(const TW_IDENTITY& origin, pTW_IDENTITY dest, TW_UINT16 msg, TW_MEMREF data);
    TW_UINT16 openSource(Lock& lock, App& app, pTW_IDENTITY target);
    TW_UINT16 closeSource(Lock& lock, App& app, pTW_IDENTITY target);
    TW_UINT16 entryPoint(const TW_IDENTITY& origin, TW_UINT16 msg, TW_MEMREF data);
    TW_UINT16 registerCallback(const TW_IDENTITY& origin, pTW_IDENTITY dest, TW_UINT16 dat, TW_UINT16 msg,
                               TW_MEMREF data);
    TW_UINT16 forward(const TW_IDENTITY& origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat,
                      TW_UINT16 msg, TW_MEMREF data, TW_UINT16 unreachable = TWCC_SUCCESS);
    TW_UINT16 notify(const TW_IDENTITY* origin, const TW_IDENTITY* dest, TW_UINT16 msg);

    App* findApp(TW_UINT32 id);
    Source* findSource(TW_UINT32 id);
    Source* matchSource(const TW_IDENTITY& wanted, bool orDefault);
    Source* defaultSource();
    TW_UINT16 route(const App& app, const TW_IDENTITY* dest, Source*& source);

    TW_UINT16 fail(App* app, TW_UINT16 conditionCode);
    static TW_UINT16 succeed(App& app, TW_UINT16 rc = TWRC_SUCCESS);

    std::mutex m_mutex;        // guards everything below
    std::mutex m_sessionMutex; // serialises MSG_OPENDSM / MSG_CLOSEDSM
    std::vector<std::unique_ptr<App>> m_apps;
    std::vector<std::unique_ptr<Source>> m_sources;
    TW_UINT32 m_defaultId = 0;                // chosen with MSG_SET, 0 = none
    TW_UINT16 m_conditionCode = TWCC_SUCCESS; // for callers without an open DSM
};

// DSM_Entry as this library's own code reaches it: what it hands to sources,
// so that each DSM file gives out its own entry even when both are loaded.
TW_UINT16 TW_CALLINGSTYLE dsmEntry(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat,
                                   TW_UINT16 msg, TW_MEMREF data);

} // namespace peerdsm
