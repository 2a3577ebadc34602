#include "dsm/manager.h"

#include "dsm/dsmfolder.h"
#include "dsm/dsmmemory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace peerdsm {

namespace {

// A source that notifies faster than the application asks is not worth more.
constexpr std::size_t kMaxPending = 64;

bool isNotification(TW_UINT16 msg)
{
    return msg == MSG_XFERREADY || msg == MSG_CLOSEDSREQ || msg == MSG_CLOSEDSOK || msg == MSG_DEVICEEVENT;
}

// Triplets the DSM answers itself, but only when they carry no destination.
// MSG_CLOSEDS is the DSM's whatever the destination.
bool addressedToDsm(TW_UINT16 dat, TW_UINT16 msg)
{
    return dat == DAT_PARENT || dat == DAT_ENTRYPOINT || (dat == DAT_IDENTITY && msg != MSG_CLOSEDS);
}

#ifdef PELIRAND_DSM_TEST_SWITCHES
bool envFlag(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value && std::strcmp(value, "0") != 0;
}
#endif

// Blocks from applications need not be aligned for their structure.
template <typename T>
T readBlock(const void* data)
{
    T value;
    std::memcpy(&value, data, sizeof value);
    return value;
}

template <typename T>
void writeBlock(void* data, const T& value)
{
    std::memcpy(data, &value, sizeof value);
}

// Product names are compared within their field, whether terminated or not.
bool sameName(const char* a, const char* b)
{
    return std::strncmp(a, b, sizeof(TW_STR32)) == 0;
}

} // namespace

void Manager::Source::dropSession()
{
    link = Link::Closed;
    owner = 0;
    callbackProc = nullptr;
    callbackRefCon = 0;
    pending.clear();
}

Manager& Manager::instance()
{
    static Manager manager;
    return manager;
}

TW_UINT16 Manager::entry(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                         TW_MEMREF data)
{
    if (dg == DG_CONTROL && dat == DAT_NULL)
        return notify(origin, dest, msg);
    if (!origin) {
        Lock lock(m_mutex);
        return fail(nullptr, TWCC_BADVALUE);
    }
    if (dg == DG_CONTROL && addressedToDsm(dat, msg) && dest) {
        // With a destination these go to that source as any other triplet;
        // one that is not open yet cannot be found.
        return forward(*origin, dest, dg, dat, msg, data, TWCC_OPERATIONERROR);
    }
    if (dg == DG_CONTROL) {
        switch (dat) {
        case DAT_PARENT:
            return parent(*origin, msg, data);
        case DAT_STATUS:
            return status(*origin, dest, msg, data);
        case DAT_IDENTITY:
            return identity(*origin, dest, msg, data);
        case DAT_ENTRYPOINT:
            return entryPoint(*origin, msg, data);
        case DAT_CALLBACK:
        case DAT_CALLBACK2:
            return registerCallback(*origin, dest, dat, msg, data);
        default:
            break;
        }
    }
    return forward(*origin, dest, dg, dat, msg, data);
}

// ---- DAT_PARENT: the DSM states 2 and 3 of each application ----

TW_UINT16 Manager::parent(TW_IDENTITY& origin, TW_UINT16 msg, TW_MEMREF data)
{
    switch (msg) {
    case MSG_OPENDSM:
        return openDsm(origin, data);
    case MSG_CLOSEDSM:
        return closeDsm(origin);
    default: {
        Lock lock(m_mutex);
        return fail(findApp(origin.Id), TWCC_BADPROTOCOL);
    }
    }
}

TW_UINT16 Manager::openDsm(TW_IDENTITY& origin, TW_MEMREF data)
{
    std::lock_guard<std::mutex> session(m_sessionMutex);
    bool first = false;
    {
        Lock lock(m_mutex);
        if (App* app = findApp(origin.Id))
            return fail(app, TWCC_SEQERROR);
        first = m_apps.empty();
    }
    if (first) {
        // Sources run their own code when asked for their identity: not under the lock.
        std::vector<SourceLibrary> found = loadSourceLibraries(sourcesFolders(), 1);
        Lock lock(m_mutex);
        m_sources.clear();
        for (SourceLibrary& lib : found) {
            auto source = std::make_unique<Source>();
            source->lib = lib;
            m_sources.push_back(std::move(source));
        }
        m_defaultId = 0;
    }

    Lock lock(m_mutex);
    TW_UINT32 id = 1;
    while (findApp(id))
        ++id;
    origin.Id = id;
    origin.SupportedGroups |= DF_DSM2;
    auto app = std::make_unique<App>();
    app->identity = origin;
    if (data)
        app->parent = readBlock<HWND>(data);
#ifdef PELIRAND_DSM_TEST_SWITCHES
    // Only in the build tree's DSM of builds with tests: they stand for older
    // DSMs and for the Windows route, which tests must reach on any host.
    app->noCallback2 = envFlag("PELIRAND_DSM_NO_CALLBACK2");
    app->noCallback = envFlag("PELIRAND_DSM_NO_CALLBACK");
    app->messageRoute = envFlag("PELIRAND_DSM_MESSAGE_ROUTE");
#endif
    m_apps.push_back(std::move(app));
    m_conditionCode = TWCC_SUCCESS;
    return TWRC_SUCCESS;
}

TW_UINT16 Manager::closeDsm(const TW_IDENTITY& origin)
{
    std::lock_guard<std::mutex> session(m_sessionMutex);
    std::vector<SourceLibrary> unload;
    {
        Lock lock(m_mutex);
        App* app = findApp(origin.Id);
        if (!app)
            return fail(nullptr, TWCC_SEQERROR);
        for (const auto& source : m_sources) {
            if (source->link != Link::Closed && source->owner == app->identity.Id)
                return fail(app, TWCC_SEQERROR);
        }
        m_apps.erase(std::find_if(m_apps.begin(), m_apps.end(),
                                  [app](const std::unique_ptr<App>& a) { return a.get() == app; }));
        m_conditionCode = TWCC_SUCCESS;
        if (m_apps.empty()) {
            for (const auto& source : m_sources)
                unload.push_back(source->lib);
            m_sources.clear();
            m_defaultId = 0;
        }
    }
    unloadSourceLibraries(unload);
    return TWRC_SUCCESS;
}

// ---- DAT_STATUS ----

TW_UINT16 Manager::status(const TW_IDENTITY& origin, pTW_IDENTITY dest, TW_UINT16 msg, TW_MEMREF data)
{
    Lock lock(m_mutex);
    App* app = findApp(origin.Id);
    if (msg != MSG_GET)
        return fail(app, TWCC_BADPROTOCOL);
    if (!data)
        return fail(app, TWCC_BADVALUE);
    TW_STATUS status{};
    if (!app) {
        status.ConditionCode = m_conditionCode;
        writeBlock(data, status);
        return TWRC_SUCCESS;
    }
    // The source answers for its own failures; when the DSM refused the
    // latest call itself, only the DSM knows why.
    Source* source = nullptr;
    if (dest && !app->lastRefusedByDsm && route(*app, dest, source) == TWCC_SUCCESS) {
        DSENTRYPROC entry = source->lib.entry;
        pTW_IDENTITY appIdentity = &app->identity;
        lock.unlock();
        return entry(appIdentity, DG_CONTROL, DAT_STATUS, MSG_GET, data);
    }
    status.ConditionCode = app->conditionCode;
    writeBlock(data, status);
    return TWRC_SUCCESS;
}

// ---- DAT_IDENTITY: listing, default, opening and closing sources ----

TW_UINT16 Manager::identity(const TW_IDENTITY& origin, pTW_IDENTITY dest, TW_UINT16 msg, TW_MEMREF data)
{
    Lock lock(m_mutex);
    App* app = findApp(origin.Id);
    if (!app)
        return fail(nullptr, TWCC_SEQERROR);
    auto* target = static_cast<pTW_IDENTITY>(data);
    switch (msg) {
    case MSG_GETFIRST:
        if (!data)
            return fail(app, TWCC_BADVALUE);
        app->listing = true;
        app->next = 0;
        [[fallthrough]];
    case MSG_GETNEXT:
        if (!data)
            return fail(app, TWCC_BADVALUE);
        if (!app->listing || app->next >= m_sources.size())
            return succeed(*app, TWRC_ENDOFLIST);
        writeBlock(data, m_sources[app->next++]->lib.identity);
        return succeed(*app);
    case MSG_GETDEFAULT:
    case MSG_USERSELECT: {
        // No dialog: the user always accepts the default.
        if (!data)
            return fail(app, TWCC_BADVALUE);
        Source* source = defaultSource();
        if (!source)
            return fail(app, TWCC_NODS);
        writeBlock(data, source->lib.identity);
        return succeed(*app);
    }
    case MSG_SET: {
        if (!data)
            return fail(app, TWCC_BADVALUE);
        Source* source = matchSource(readBlock<TW_IDENTITY>(data), false);
        if (!source)
            return fail(app, TWCC_NODS);
        m_defaultId = source->lib.identity.Id;
        return succeed(*app);
    }
    case MSG_OPENDS:
        return openSource(lock, *app, target);
    case MSG_CLOSEDS:
        return closeSource(lock, *app, target ? target : dest);
    default:
        return fail(app, TWCC_BADPROTOCOL);
    }
}

TW_UINT16 Manager::openSource(Lock& lock, App& app, pTW_IDENTITY target)
{
    if (!target)
        return fail(&app, TWCC_BADVALUE);
    Source* source = matchSource(readBlock<TW_IDENTITY>(target), true);
    if (!source)
        return fail(&app, TWCC_NODS);
    if (source->link != Link::Closed)
        return fail(&app, TWCC_MAXCONNECTIONS);
    source->dropSession();
    source->link = Link::Opening;
    source->owner = app.identity.Id;
    const DSENTRYPROC entry = source->lib.entry;
    const TW_IDENTITY dsIdentity = source->lib.identity;
    pTW_IDENTITY appIdentity = &app.identity;
    lock.unlock();

    // The application cannot close the DSM while this source is not closed,
    // so `app` and `source` stay valid while the lock is released.
    TW_UINT16 rc = TWRC_SUCCESS;
    TW_UINT16 cc = TWCC_SUCCESS;
    if (dsIdentity.SupportedGroups & DF_DS2) {
        TW_ENTRYPOINT ep = makeEntryPoint();
        if (entry(appIdentity, DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &ep) != TWRC_SUCCESS) {
            rc = TWRC_FAILURE;
            cc = TWCC_OPERATIONERROR;
        }
    }
    if (rc == TWRC_SUCCESS) {
        TW_IDENTITY handed = dsIdentity;
        rc = entry(appIdentity, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &handed);
        if (rc != TWRC_SUCCESS) {
            // Once the open failed the source is no destination for DAT_STATUS,
            // so the DSM passes on why.
            TW_STATUS status{};
            cc = entry(appIdentity, DG_CONTROL, DAT_STATUS, MSG_GET, &status) == TWRC_SUCCESS &&
                         status.ConditionCode != TWCC_SUCCESS
                     ? status.ConditionCode
                     : TWCC_OPERATIONERROR;
        }
    }

    lock.lock();
    if (rc != TWRC_SUCCESS) {
        source->dropSession();
        return fail(&app, cc);
    }
    source->link = Link::Open;
    writeBlock(target, dsIdentity);
    return succeed(app);
}

TW_UINT16 Manager::closeSource(Lock& lock, App& app, pTW_IDENTITY target)
{
    if (!target)
        return fail(&app, TWCC_BADVALUE);
    Source* source = matchSource(readBlock<TW_IDENTITY>(target), false);
    if (!source)
        return fail(&app, TWCC_BADDEST);
    if (source->link != Link::Open || source->owner != app.identity.Id)
        return fail(&app, TWCC_SEQERROR);
    source->link = Link::Closing;
    const DSENTRYPROC entry = source->lib.entry;
    TW_IDENTITY dsIdentity = source->lib.identity;
    pTW_IDENTITY appIdentity = &app.identity;
    lock.unlock();

    const TW_UINT16 rc = entry(appIdentity, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &dsIdentity);

    lock.lock();
    if (rc != TWRC_SUCCESS) {
        // Still open; the source tells why through DAT_STATUS.
        source->link = Link::Open;
        return succeed(app, rc);
    }
    source->dropSession();
    return succeed(app);
}

// ---- DAT_ENTRYPOINT for TWAIN 2 applications ----

TW_UINT16 Manager::entryPoint(const TW_IDENTITY& origin, TW_UINT16 msg, TW_MEMREF data)
{
    Lock lock(m_mutex);
    App* app = findApp(origin.Id);
    if (!app)
        return fail(nullptr, TWCC_SEQERROR);
    if (msg != MSG_GET || !(app->identity.SupportedGroups & DF_APP2))
        return fail(app, TWCC_BADPROTOCOL);
    // Size tells how much the application's block can hold.
    if (!data || readBlock<TW_UINT32>(data) != sizeof(TW_ENTRYPOINT))
        return fail(app, TWCC_BADVALUE);
    writeBlock(data, makeEntryPoint());
    return succeed(*app);
}

// ---- DAT_CALLBACK / DAT_CALLBACK2 ----

TW_UINT16 Manager::registerCallback(const TW_IDENTITY& origin, pTW_IDENTITY dest, TW_UINT16 dat,
                                    TW_UINT16 msg, TW_MEMREF data)
{
    Lock lock(m_mutex);
    App* app = findApp(origin.Id);
    if (!app)
        return fail(nullptr, TWCC_SEQERROR);
    if (msg != MSG_REGISTER_CALLBACK || app->noCallback || (dat == DAT_CALLBACK2 && app->noCallback2))
        return fail(app, TWCC_BADPROTOCOL);
    if (!data)
        return fail(app, TWCC_BADVALUE);
    Source* source = nullptr;
    if (const TW_UINT16 cc = route(*app, dest, source))
        return fail(app, cc);
    if (dat == DAT_CALLBACK2) {
        const auto callback = readBlock<TW_CALLBACK2>(data);
        source->callbackProc = callback.CallBackProc;
        source->callbackRefCon = callback.RefCon;
    } else {
        const auto callback = readBlock<TW_CALLBACK>(data);
        source->callbackProc = callback.CallBackProc;
        source->callbackRefCon = callback.RefCon;
    }
    return succeed(*app);
}

// ---- Everything else goes to the source ----

TW_UINT16 Manager::forward(const TW_IDENTITY& origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat,
                           TW_UINT16 msg, TW_MEMREF data, TW_UINT16 unreachable)
{
    Lock lock(m_mutex);
    App* app = findApp(origin.Id);
    if (!app)
        return fail(nullptr, TWCC_SEQERROR);
    if (!dest)
        return fail(app, TWCC_BADPROTOCOL); // addressed to the DSM, which has no such triplet
    Source* source = nullptr;
    if (const TW_UINT16 cc = route(*app, dest, source))
        return fail(app, unreachable != TWCC_SUCCESS ? unreachable : cc);
    const DSENTRYPROC entry = source->lib.entry;
    const TW_UINT32 sourceId = source->lib.identity.Id;
    const TW_UINT32 appId = app->identity.Id;
    pTW_IDENTITY appIdentity = &app->identity;
    succeed(*app);
    lock.unlock();

    TW_UINT16 rc = entry(appIdentity, dg, dat, msg, data);

    const bool processEvent = dg == DG_CONTROL && dat == DAT_EVENT && msg == MSG_PROCESSEVENT;
    if (!processEvent || rc == TWRC_DSEVENT || !data)
        return rc;
    // An event the source did not claim carries a notification that waited
    // for the application to ask.
    lock.lock();
    source = findSource(sourceId);
    if (source && source->reachable() && source->owner == appId && !source->pending.empty()) {
        auto event = readBlock<TW_EVENT>(data);
        event.TWMessage = source->pending.front();
        source->pending.pop_front();
        writeBlock(data, event);
        rc = TWRC_DSEVENT;
    }
    return rc;
}

// ---- DAT_NULL from a source ----

TW_UINT16 Manager::notify(const TW_IDENTITY* origin, const TW_IDENTITY* dest, TW_UINT16 msg)
{
    // A source has no condition code to read back from the DSM: the return
    // code alone says whether the notification was taken.
    if (!origin || !isNotification(msg))
        return TWRC_FAILURE;
    Lock lock(m_mutex);
    Source* source = findSource(origin->Id);
    if (!source || !source->reachable())
        return TWRC_FAILURE;
    App* app = findApp(source->owner);
    if (!app || (dest && dest->Id != app->identity.Id))
        return TWRC_FAILURE;

    if (source->callbackProc) {
        const auto callback = reinterpret_cast<TWAINCALLBACKPROC>(source->callbackProc);
        // Copies: the callback runs without the lock and must not reach our tables.
        TW_IDENTITY dsIdentity = source->lib.identity;
        TW_IDENTITY appIdentity = app->identity;
        const auto refCon = reinterpret_cast<TW_MEMREF>(source->callbackRefCon);
        lock.unlock();
        return callback(&dsIdentity, &appIdentity, DG_CONTROL, DAT_NULL, msg, refCon);
    }

    // Without a message route (as on Linux) only a callback reaches the
    // application: the notification is lost.
    if (!app->messageRoute || source->pending.size() >= kMaxPending)
        return TWRC_FAILURE;
    source->pending.push_back(msg);
    const HWND parent = app->parent;
    lock.unlock();
    // Wakes an application that waits for window messages, as on Windows.
    if (parent)
        PostMessageW(parent, WM_NULL, 0, 0);
    return TWRC_SUCCESS;
}

// ---- Tables ----

Manager::App* Manager::findApp(TW_UINT32 id)
{
    if (id == 0)
        return nullptr;
    for (const auto& app : m_apps) {
        if (app->identity.Id == id)
            return app.get();
    }
    return nullptr;
}

Manager::Source* Manager::findSource(TW_UINT32 id)
{
    for (const auto& source : m_sources) {
        if (source->lib.identity.Id == id)
            return source.get();
    }
    return nullptr;
}

Manager::Source* Manager::matchSource(const TW_IDENTITY& wanted, bool orDefault)
{
    if (wanted.Id != 0)
        return findSource(wanted.Id);
    if (wanted.ProductName[0] != '\0') {
        for (const auto& source : m_sources) {
            if (sameName(source->lib.identity.ProductName, wanted.ProductName))
                return source.get();
        }
        return nullptr;
    }
    return orDefault ? defaultSource() : nullptr;
}

Manager::Source* Manager::defaultSource()
{
    if (Source* chosen = m_defaultId ? findSource(m_defaultId) : nullptr)
        return chosen;
    const char* named = std::getenv("PELIRAND_DEFAULT_SOURCE");
    if (named && *named) {
        for (const auto& source : m_sources) {
            if (sameName(source->lib.identity.ProductName, named))
                return source.get();
        }
    }
    return m_sources.empty() ? nullptr : m_sources.front().get();
}

// The source that `dest` names, if `app` may talk to it; otherwise the
// condition code for the refusal.
TW_UINT16 Manager::route(const App& app, const TW_IDENTITY* dest, Source*& source)
{
    source = dest ? findSource(dest->Id) : nullptr;
    if (!source)
        return TWCC_BADDEST;
    if (!source->reachable() || source->owner != app.identity.Id)
        return TWCC_SEQERROR;
    return TWCC_SUCCESS;
}

TW_UINT16 Manager::fail(App* app, TW_UINT16 conditionCode)
{
    if (app) {
        app->conditionCode = conditionCode;
        app->lastRefusedByDsm = true;
    } else {
        m_conditionCode = conditionCode;
    }
    return TWRC_FAILURE;
}

TW_UINT16 Manager::succeed(App& app, TW_UINT16 rc)
{
    app.conditionCode = TWCC_SUCCESS;
    app.lastRefusedByDsm = false;
    return rc;
}

TW_UINT16 TW_CALLINGSTYLE dsmEntry(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat,
                                   TW_UINT16 msg, TW_MEMREF data)
{
    return Manager::instance().entry(origin, dest, dg, dat, msg, data);
}

} // namespace peerdsm
