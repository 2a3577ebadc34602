#ifndef PELIRAND_SOURCES_KIT_SOURCE_H
#define PELIRAND_SOURCES_KIT_SOURCE_H

// The TWAIN side of a data source, the same for every source on the kit:
// DS_Entry's state machine, driven by the source's triplet table
// (triplets.h), and the triplets every source answers alike.
//
// The kit answers: DAT_IDENTITY (MSG_GET, MSG_OPENDS, MSG_CLOSEDS),
// DAT_ENTRYPOINT, DAT_STATUS, DAT_CAPABILITY (through the source's
// CapabilityModel), DAT_CALLBACK / DAT_CALLBACK2 registrations, DAT_EVENT,
// DAT_SETUPFILEXFER and DAT_XFERGROUP. It hands the other common triplets to
// the device's handler of each, with the data they need:
//   - DAT_USERINTERFACE: the kit moves to state 5 before enable() (a device
//     may start its scan, and notify, from inside it) and back to 4 when
//     enable() fails; after disable() it drops waiting events and moves to 4;
//   - the four transfers: a transfer by another mechanism than
//     transferMechanism() fails with TWCC_SEQERROR, and so does a buffered
//     transfer in state 7 unless transferUnderway() (the page it began is
//     not finished); a native transfer's handle is null until the device
//     hands over its image; a buffered one's buffer is locked (appbuffer.h)
//     and refused with TWCC_BADVALUE when unusable;
//   - DAT_PENDINGXFERS: the kit moves the state as the device answers
//     (MSG_ENDXFER: to 6 when another page follows, else to 5; MSG_RESET:
//     to 5 with no transfer pending) and clears EOJ;
//   - DAT_SETUPMEMXFER, DAT_IMAGEINFO, DAT_IMAGELAYOUT.
// Every other admitted triplet (a source's own) goes to the device's call().
// Around every call:
//   - a call without an origin may only be DAT_IDENTITY / MSG_GET (the DSM
//     asking who we are); anything else fails with TWCC_BADPROTOCOL;
//   - in states 4 to 7 another application than the one that opened the
//     source is refused with TWCC_DENIED;
//   - intercept() may answer first (a test build's fault plan);
//   - the triplet table admits the call (BADPROTOCOL, SEQERROR, BADVALUE);
//   - the condition code of the answer is stored for DAT_STATUS, except for
//     DAT_STATUS itself, refused foreign calls, calls without an origin and
//     DAT_EVENT calls that did not fail (event polling must not hide the code
//     of the call the application asks about).
// MSG_OPENDS in states 4 to 7 fails with TWCC_SEQERROR from the same
// application and TWCC_MAXCONNECTIONS from another.
//
// Notifications (MSG_XFERREADY, MSG_CLOSEDSREQ...) go to the DSM as
// DG_CONTROL / DAT_NULL through the DSM_Entry of DAT_ENTRYPOINT, or, without
// one, wait in the event queue for the application's MSG_PROCESSEVENT.
//
// Threads: TWAIN calls arrive on the application's thread and are serialised
// by one recursive call lock, so a call made back into the source from inside
// a notification on the same thread gets in. A source's own threads take the
// lock (CallGuard) when they touch what calls touch. The state is atomic: a
// source's worker may move it. The event queue has a lock of its own; any
// thread may post. notify() and dsmDelivery() may be used from any thread.

#include "sources/kit/appbuffer.h"
#include "sources/kit/capabilities.h"
#include "sources/kit/result.h"
#include "sources/kit/triplets.h"

#include <atomic>
#include <deque>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

namespace dskit {

// What DAT_IDENTITY / MSG_GET tells of the source.
struct Identity
{
    const char* manufacturer;
    const char* productFamily;
    const char* productName;
    const char* versionInfo;
};

// DAT_SETUPFILEXFER's default file name.
constexpr const char* kDefaultFileName = "twain.bmp";

class Source
{
public:
    TW_UINT16 entry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);

    int state() const { return m_state.load(); }

protected:
    Source(const Identity& identity, std::initializer_list<TripletTable> tables);
    virtual ~Source();
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    // Holds the call lock and counts how deeply this thread is inside the source.
    class CallGuard
    {
    public:
        explicit CallGuard(Source& source);
        ~CallGuard();
        bool outermost() const;

    private:
        Source& m_source;
        std::lock_guard<std::recursive_mutex> m_lock;
    };

    void setState(int state) { m_state.store(state); }

    // --- the device's part

    // MSG_OPENDS: the application, the memory and self() are known; success
    // takes the source to state 4.
    virtual Result open() = 0;
    // MSG_CLOSEDS, before the source returns to state 3.
    virtual void close() = 0;
    // MSG_ENABLEDS / MSG_ENABLEDSUIONLY, in state 5 already; MSG_DISABLEDS.
    virtual Result enable(const TW_USERINTERFACE& ui, bool uiOnly) = 0;
    virtual void disable() = 0;
    // DAT_PENDINGXFERS: the transfers still to come (MSG_GET, MSG_STOPFEEDER
    // after the feeder was told to stop); the page ended with or without its
    // transfer, `more` when another page is waiting; every page dropped.
    virtual TW_UINT16 transfersPending() = 0;
    virtual Result endXfer(TW_PENDINGXFERS& pending, bool& more) = 0;
    virtual void resetXfers() = 0;
    virtual TW_UINT16 stopFeeder() = 0;
    virtual Result setupMemXfer(TW_SETUPMEMXFER& setup) = 0;
    virtual Result imageInfo(TW_IMAGEINFO& info) = 0;
    virtual Result imageLayout(TW_UINT16 msg, TW_IMAGELAYOUT& layout) = 0;
    // The transfers, admitted as the contract above says.
    virtual Result nativeXfer(TW_HANDLE& image) = 0;
    virtual Result fileXfer() = 0;
    // A buffered transfer gets the application's buffer locked for the call
    // (a buffer the kit cannot use fails with TWCC_BADVALUE first).
    virtual Result memXfer(TW_IMAGEMEMXFER& xfer, const AppBuffer& buffer) = 0;
    virtual Result memFileXfer(TW_IMAGEMEMXFER& xfer, const AppBuffer& buffer) = 0;
    // ICAP_XFERMECH now, and whether a buffered transfer goes on in state 7.
    virtual TW_UINT16 transferMechanism() const = 0;
    virtual bool transferUnderway() = 0;
    // An admitted triplet of the source's own (default: TWCC_BADPROTOCOL).
    virtual Result call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);
    virtual CapabilityModel& capabilities() = 0;
    // ICAP_IMAGEFILEFORMAT, which DAT_SETUPFILEXFER sets as well.
    virtual TW_UINT16 fileFormat() const = 0;
    virtual void setFileFormat(TW_UINT16 format) = 0;

    // A call answered before admission: true with the answer in result.
    virtual bool intercept(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data, Result& result);
    // A file format DAT_SETUPFILEXFER / MSG_SET takes (default: BMP and TIFF),
    // and the one MSG_RESET goes back to (default: BMP).
    virtual bool fileFormatAllowed(TW_UINT16 format) const;
    virtual TW_UINT16 resetFileFormat() const;
    // Whether DAT_CALLBACK / DAT_CALLBACK2 registrations reaching the source
    // are taken (they are the DSM's business; a source without callback
    // support refuses them with TWCC_BADPROTOCOL).
    virtual bool acceptsCallbacks() const;
    // The condition DAT_STATUS reports, given the stored one.
    virtual TW_UINT16 statusCondition(TW_UINT16 stored);
    // The event of a MSG_PROCESSEVENT (a window message): true when it was
    // the source's own and has been handled.
    virtual bool claimEvent(TW_MEMREF event);
    // A message went into the event queue (a source may wake the
    // application's message loop). Any thread, the queue's lock not held.
    virtual void eventPosted();
    // Whether notify() goes through the DSM when it can.
    virtual bool notifiesThroughDsm() const;
    // The outermost call of this thread has returned and released the lock.
    virtual void afterCall();

    // --- what the kit offers

    const TW_IDENTITY& self() const { return m_self; }
    const TW_IDENTITY& application() const { return m_app; }
    bool hasDsm() const { return m_dsm.DSM_Entry != nullptr; }
    const std::string& fileName() const { return m_fileName; }

    // Through the DSM when it can and the source wants it, else the event queue.
    void notify(TW_UINT16 msg);
    // DG_CONTROL / DAT_NULL to the DSM now, on this thread (requires hasDsm()).
    void sendToDsm(TW_UINT16 msg);
    // The same as a callable for another thread: self, application and the
    // DSM as they are now.
    std::function<void()> dsmDelivery(TW_UINT16 msg) const;
    void postEvent(TW_UINT16 msg);
    void clearEvents();

    std::recursive_mutex& callLock() { return m_mutex; }

private:
    Result dispatch(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);
    const Triplet* find(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, bool& datKnown) const;
    void describe(TW_IDENTITY& id) const;
    Result identity(pTW_IDENTITY origin, TW_UINT16 msg, TW_MEMREF data);
    Result entryPoint(TW_MEMREF data);
    Result status(TW_MEMREF data);
    Result event(TW_MEMREF data);
    Result setupFileXfer(TW_UINT16 msg, TW_MEMREF data);
    Result xferGroup(TW_UINT16 msg, TW_MEMREF data);
    Result userInterface(TW_UINT16 msg, TW_MEMREF data);
    Result pendingXfers(TW_UINT16 msg, TW_PENDINGXFERS& pending);
    Result transfer(TW_UINT16 dat, TW_MEMREF data);

    const Identity m_identity;
    std::vector<Triplet> m_triplets;

    std::recursive_mutex m_mutex;
    int m_depth = 0; // nesting of the thread holding m_mutex
    std::atomic<int> m_state{3};
    TW_UINT16 m_conditionCode = TWCC_SUCCESS;
    TW_ENTRYPOINT m_dsm{};
    TW_IDENTITY m_self{};
    TW_IDENTITY m_app{};
    std::string m_fileName = kDefaultFileName;

    std::mutex m_eventsLock;
    std::deque<TW_UINT16> m_events; // messages held for MSG_PROCESSEVENT
};

} // namespace dskit

#endif // PELIRAND_SOURCES_KIT_SOURCE_H
