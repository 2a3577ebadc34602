#include "sources/kit/source.h"

#include "sources/kit/memory.h"

#include <cstring>
#include <new>

namespace dskit {

namespace {

template <std::size_t N>
void copyText(char (&to)[N], const char* from)
{
    std::strncpy(to, from, N - 1);
    to[N - 1] = '\0';
}

} // namespace

Source::CallGuard::CallGuard(Source& source) : m_source(source), m_lock(source.m_mutex)
{
    ++m_source.m_depth;
}

Source::CallGuard::~CallGuard()
{
    --m_source.m_depth;
}

bool Source::CallGuard::outermost() const
{
    return m_source.m_depth == 1;
}

Source::Source(const Identity& identity, std::initializer_list<TripletTable> tables) : m_identity(identity)
{
    for (const TripletTable& table : tables)
        m_triplets.insert(m_triplets.end(), table.rows, table.rows + table.count);
}

Source::~Source() = default;

TW_UINT16 Source::entry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data)
{
    Result result = Result::failure(TWCC_BUMMER);
    bool outermost = false;
    {
        CallGuard guard(*this);
        // Another application's call is refused without touching the owner's status.
        const bool foreign =
            origin && state() >= 4 && origin->Id != m_app.Id && !(dat == DAT_IDENTITY && msg == MSG_OPENDS);
        if (foreign) {
            result = Result::failure(TWCC_DENIED);
        } else {
            // No exception may leave DS_Entry: the caller is C, and it would end the process.
            try {
                result = dispatch(origin, dg, dat, msg, data);
            } catch (const std::bad_alloc&) {
                result = Result::failure(TWCC_LOWMEMORY);
            } catch (...) {
                result = Result::failure(TWCC_BUMMER);
            }
        }
        // Status queries and event polling must not hide the code of the call
        // the application is asking about.
        const bool keepStatus =
            foreign || dat == DAT_STATUS || !origin || (dat == DAT_EVENT && result.rc != TWRC_FAILURE);
        if (!keepStatus)
            m_conditionCode = result.cc;
        outermost = guard.outermost();
    }
    if (outermost)
        afterCall();
    return result.rc;
}

const Triplet* Source::find(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, bool& datKnown) const
{
    datKnown = false;
    for (const Triplet& t : m_triplets) {
        if (t.dg != dg || t.dat != dat)
            continue;
        datKnown = true;
        if (t.msg == msg || t.msg == kAnyMsg)
            return &t;
    }
    return nullptr;
}

Result Source::dispatch(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data)
{
    if (!origin) {
        // Only the DSM calls without an origin, to learn who we are.
        if (dg == DG_CONTROL && dat == DAT_IDENTITY && msg == MSG_GET)
            return identity(origin, msg, data);
        return Result::failure(TWCC_BADPROTOCOL);
    }
    Result early = Result::success();
    if (intercept(dat, msg, data, early))
        return early;

    bool datKnown = false;
    const Triplet* triplet = find(dg, dat, msg, datKnown);
    if (!triplet)
        return Result::failure(TWCC_BADPROTOCOL);
    const int now = state();
    if (now < triplet->lowest || now > triplet->highest)
        return Result::failure(TWCC_SEQERROR);
    if (triplet->data == Data::Required && !data)
        return Result::failure(TWCC_BADVALUE);

    if (dg == DG_CONTROL) {
        switch (dat) {
        case DAT_IDENTITY:
            return identity(origin, msg, data);
        case DAT_ENTRYPOINT:
            return entryPoint(data);
        case DAT_STATUS:
            return status(data);
        case DAT_CAPABILITY:
            return negotiate(capabilities(), msg, static_cast<pTW_CAPABILITY>(data), now);
        case DAT_CALLBACK:
        case DAT_CALLBACK2:
            return acceptsCallbacks() ? Result::success() : Result::failure(TWCC_BADPROTOCOL);
        case DAT_EVENT:
            return event(data);
        case DAT_SETUPFILEXFER:
            return setupFileXfer(msg, data);
        case DAT_XFERGROUP:
            return xferGroup(msg, data);
        case DAT_USERINTERFACE:
            return userInterface(msg, data);
        case DAT_PENDINGXFERS:
            return pendingXfers(msg, *static_cast<pTW_PENDINGXFERS>(data));
        case DAT_SETUPMEMXFER:
            return setupMemXfer(*static_cast<pTW_SETUPMEMXFER>(data));
        default:
            break;
        }
    } else if (dg == DG_IMAGE) {
        switch (dat) {
        case DAT_IMAGEINFO:
            return imageInfo(*static_cast<pTW_IMAGEINFO>(data));
        case DAT_IMAGELAYOUT:
            return imageLayout(msg, *static_cast<pTW_IMAGELAYOUT>(data));
        case DAT_IMAGENATIVEXFER:
        case DAT_IMAGEFILEXFER:
        case DAT_IMAGEMEMXFER:
        case DAT_IMAGEMEMFILEXFER:
            return transfer(dat, data);
        default:
            break;
        }
    }
    return call(dg, dat, msg, data);
}

Result Source::userInterface(TW_UINT16 msg, TW_MEMREF data)
{
    if (msg == MSG_DISABLEDS) {
        disable();
        clearEvents();
        setState(4);
        return Result::success();
    }
    // MSG_ENABLEDS or MSG_ENABLEDSUIONLY, the only others the table admits.
    setState(5);
    const Result enabled = enable(*static_cast<pTW_USERINTERFACE>(data), msg == MSG_ENABLEDSUIONLY);
    if (enabled.rc == TWRC_FAILURE)
        setState(4);
    return enabled;
}

Result Source::pendingXfers(TW_UINT16 msg, TW_PENDINGXFERS& pending)
{
    Result result = Result::success();
    switch (msg) {
    case MSG_GET:
        pending.Count = transfersPending();
        break;
    case MSG_ENDXFER: {
        bool more = false;
        result = endXfer(pending, more);
        setState(more ? 6 : 5);
        break;
    }
    case MSG_RESET:
        resetXfers();
        setState(5);
        pending.Count = 0;
        break;
    default: // MSG_STOPFEEDER, the last the table admits
        pending.Count = stopFeeder();
        break;
    }
    pending.EOJ = 0;
    return result;
}

Result Source::transfer(TW_UINT16 dat, TW_MEMREF data)
{
    if (!transfersBy(dat, transferMechanism()))
        return Result::failure(TWCC_SEQERROR);
    if (state() == 7 && !transferUnderway())
        return Result::failure(TWCC_SEQERROR);
    switch (dat) {
    case DAT_IMAGENATIVEXFER: {
        TW_HANDLE& image = *static_cast<TW_HANDLE*>(data);
        image = nullptr; // no image, whatever comes now
        return nativeXfer(image);
    }
    case DAT_IMAGEFILEXFER:
        return fileXfer();
    default:
        break;
    }
    TW_IMAGEMEMXFER& xfer = *static_cast<pTW_IMAGEMEMXFER>(data);
    const AppBuffer buffer(xfer.Memory);
    if (!buffer.data())
        return Result::failure(TWCC_BADVALUE);
    return dat == DAT_IMAGEMEMXFER ? memXfer(xfer, buffer) : memFileXfer(xfer, buffer);
}

Result Source::call(TW_UINT32, TW_UINT16, TW_UINT16, TW_MEMREF)
{
    return Result::failure(TWCC_BADPROTOCOL);
}

void Source::describe(TW_IDENTITY& id) const
{
    const TW_UINT32 keep = id.Id; // the DSM's to give
    std::memset(&id, 0, sizeof id);
    id.Id = keep;
    id.Version.MajorNum = 1;
    id.Version.MinorNum = 0;
    id.Version.Language = TWLG_USA;
    id.Version.Country = TWCY_USA;
    copyText(id.Version.Info, m_identity.versionInfo);
    id.ProtocolMajor = TWON_PROTOCOLMAJOR;
    id.ProtocolMinor = TWON_PROTOCOLMINOR;
    id.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_DS2;
    copyText(id.Manufacturer, m_identity.manufacturer);
    copyText(id.ProductFamily, m_identity.productFamily);
    copyText(id.ProductName, m_identity.productName);
}

Result Source::identity(pTW_IDENTITY origin, TW_UINT16 msg, TW_MEMREF data)
{
    pTW_IDENTITY id = static_cast<pTW_IDENTITY>(data);
    switch (msg) {
    case MSG_GET:
        if (!id)
            return Result::failure(TWCC_BADVALUE);
        describe(*id);
        return Result::success();
    case MSG_OPENDS: {
        if (state() >= 4)
            return Result::failure(origin->Id == m_app.Id ? TWCC_SEQERROR : TWCC_MAXCONNECTIONS);
        if (!id)
            return Result::failure(TWCC_BADVALUE);
        m_app = *origin;
        // A TWAIN 2 application frees and locks what it receives through the
        // DSM as well; an older one knows only global memory.
        useDsmMemory(m_dsm.DSM_Entry && (m_app.SupportedGroups & DF_APP2) ? &m_dsm : nullptr);
        TW_IDENTITY self{};
        self.Id = id->Id;
        describe(self);
        m_self = self;
        m_fileName = kDefaultFileName;
        clearEvents();
        const Result opened = open();
        if (opened.rc == TWRC_SUCCESS)
            setState(4);
        return opened;
    }
    case MSG_CLOSEDS:
        close();
        clearEvents();
        setState(3);
        return Result::success();
    default:
        return Result::failure(TWCC_BADPROTOCOL);
    }
}

Result Source::entryPoint(TW_MEMREF data)
{
    pTW_ENTRYPOINT ep = static_cast<pTW_ENTRYPOINT>(data);
    if (ep->Size != sizeof(TW_ENTRYPOINT) || !ep->DSM_Entry)
        return Result::failure(TWCC_BADVALUE);
    m_dsm = *ep;
    return Result::success();
}

Result Source::status(TW_MEMREF data)
{
    pTW_STATUS st = static_cast<pTW_STATUS>(data);
    st->ConditionCode = statusCondition(m_conditionCode);
    st->Data = 0;
    return Result::success();
}

Result Source::event(TW_MEMREF data)
{
    pTW_EVENT ev = static_cast<pTW_EVENT>(data);
    ev->TWMessage = MSG_NULL;
    const bool ours = claimEvent(ev->pEvent);
    {
        std::lock_guard<std::mutex> lock(m_eventsLock);
        if (!m_events.empty()) {
            ev->TWMessage = m_events.front();
            m_events.pop_front();
            return {TWRC_DSEVENT, TWCC_SUCCESS};
        }
    }
    return {ours ? TWRC_DSEVENT : TWRC_NOTDSEVENT, TWCC_SUCCESS};
}

Result Source::setupFileXfer(TW_UINT16 msg, TW_MEMREF data)
{
    pTW_SETUPFILEXFER setup = static_cast<pTW_SETUPFILEXFER>(data);
    switch (msg) {
    case MSG_GET:
        copyText(setup->FileName, m_fileName.c_str());
        setup->Format = fileFormat();
        setup->VRefNum = 0;
        return Result::success();
    case MSG_GETDEFAULT:
        copyText(setup->FileName, kDefaultFileName);
        setup->Format = TWFF_BMP;
        setup->VRefNum = 0;
        return Result::success();
    case MSG_SET: {
        if (!fileFormatAllowed(setup->Format))
            return Result::failure(TWCC_BADVALUE);
        const void* end = std::memchr(setup->FileName, 0, sizeof setup->FileName);
        if (!end || end == setup->FileName)
            return Result::failure(TWCC_BADVALUE);
        m_fileName.assign(static_cast<const char*>(setup->FileName), static_cast<const char*>(end));
        setFileFormat(setup->Format);
        return Result::success();
    }
    case MSG_RESET:
        m_fileName = kDefaultFileName;
        setFileFormat(resetFileFormat());
        copyText(setup->FileName, kDefaultFileName);
        setup->Format = fileFormat();
        setup->VRefNum = 0;
        return Result::success();
    default:
        return Result::failure(TWCC_BADPROTOCOL);
    }
}

Result Source::xferGroup(TW_UINT16 msg, TW_MEMREF data)
{
    TW_UINT32* group = static_cast<TW_UINT32*>(data);
    if (msg == MSG_GET) {
        *group = DG_IMAGE;
        return Result::success();
    }
    return *group == DG_IMAGE ? Result::success() : Result::failure(TWCC_BADVALUE);
}

bool Source::intercept(TW_UINT16, TW_UINT16, TW_MEMREF, Result&)
{
    return false;
}

bool Source::fileFormatAllowed(TW_UINT16 format) const
{
    return format == TWFF_BMP || format == TWFF_TIFF;
}

TW_UINT16 Source::resetFileFormat() const
{
    return TWFF_BMP;
}

bool Source::acceptsCallbacks() const
{
    return true;
}

TW_UINT16 Source::statusCondition(TW_UINT16 stored)
{
    return stored;
}

bool Source::claimEvent(TW_MEMREF)
{
    return false;
}

void Source::eventPosted() {}

bool Source::notifiesThroughDsm() const
{
    return true;
}

void Source::afterCall() {}

void Source::notify(TW_UINT16 msg)
{
    if (hasDsm() && notifiesThroughDsm())
        sendToDsm(msg);
    else
        postEvent(msg);
}

void Source::sendToDsm(TW_UINT16 msg)
{
    TW_IDENTITY self = m_self, app = m_app;
    m_dsm.DSM_Entry(&self, &app, DG_CONTROL, DAT_NULL, msg, nullptr);
}

std::function<void()> Source::dsmDelivery(TW_UINT16 msg) const
{
    const DSMENTRYPROC dsm = m_dsm.DSM_Entry;
    TW_IDENTITY self = m_self;
    TW_IDENTITY app = m_app;
    return [dsm, self, app, msg]() mutable { dsm(&self, &app, DG_CONTROL, DAT_NULL, msg, nullptr); };
}

void Source::postEvent(TW_UINT16 msg)
{
    {
        std::lock_guard<std::mutex> lock(m_eventsLock);
        m_events.push_back(msg);
    }
    eventPosted();
}

void Source::clearEvents()
{
    std::lock_guard<std::mutex> lock(m_eventsLock);
    m_events.clear();
}

} // namespace dskit
