#include "sources/sim/simsource.h"

#include "sources/sim/simcontainer.h"
#include "sources/sim/simmemory.h"
#include "sources/sim/simtiff.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>

namespace simscanner {

namespace {

constexpr const wchar_t* kDialogClassW = L"pelirand-sim-dialog";
constexpr const wchar_t* kDialogTitleW = L"pelirand Simulated Scanner";
constexpr const wchar_t* kEventClassW = L"pelirand-sim-events";
constexpr UINT kWmWake = WM_USER + 0x50; // a message is waiting for MSG_PROCESSEVENT

constexpr TW_UINT32 kUnlimited = std::numeric_limits<TW_UINT32>::max();

bool grey16(const Settings& s)
{
    return s.pixelType == TWPT_GRAY && s.bitDepth == 16;
}

template <std::size_t N>
void copyText(char (&to)[N], const char* from)
{
    std::strncpy(to, from, N - 1);
    to[N - 1] = '\0';
}

LRESULT CALLBACK simWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return SimSource::instance().windowProc(window, message, wParam, lParam);
}

[[noreturn]] void crash()
{
    std::fflush(nullptr);
    std::raise(SIGSEGV);
    std::abort(); // in case a handler returned
}

bool inState(int state, int lo, int hi)
{
    return state >= lo && state <= hi;
}

} // namespace

SimSource& SimSource::instance()
{
    static SimSource source;
    return source;
}

SimSource::~SimSource()
{
    // The library is being unloaded: nothing of ours may outlive it.
    m_notifier.shutdown();
    destroyWindows();
    if (m_classesRegistered) {
        UnregisterClassW(kDialogClassW, nullptr);
        UnregisterClassW(kEventClassW, nullptr);
    }
}

TW_UINT16 SimSource::entry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data)
{
    Result result{TWRC_FAILURE, TWCC_BUMMER};
    bool outermost = false;
    {
        Guard guard(*this);
        // Another application's call is refused without touching the owner's status.
        const bool foreign =
            origin && m_state >= 4 && origin->Id != m_app.Id && !(dat == DAT_IDENTITY && msg == MSG_OPENDS);
        result = foreign ? Result(TWRC_FAILURE, TWCC_DENIED) : dispatch(origin, dg, dat, msg, data);
        // Status queries and event polling must not hide the code of the call
        // the application is asking about.
        const bool keepStatus =
            foreign || dat == DAT_STATUS || !origin || (dat == DAT_EVENT && result.rc != TWRC_FAILURE);
        if (!keepStatus)
            m_conditionCode = result.cc;
        outermost = guard.outermost();
    }
    // A retired notifier thread may be waiting for our lock: join it only
    // once this thread holds the lock no more.
    if (outermost)
        m_notifier.reap();
    return result.rc;
}

SimSource::Result SimSource::dispatch(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                                      TW_MEMREF data)
{
    if (!origin) {
        // Only the DSM calls without an origin, to learn who we are.
        if (dg == DG_CONTROL && dat == DAT_IDENTITY && msg == MSG_GET)
            return identity(origin, msg, data);
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    }
    Result fault{TWRC_SUCCESS, TWCC_SUCCESS};
    if (injectFault(dat, msg, data, fault))
        return fault;

    if (dg == DG_CONTROL) {
        switch (dat) {
        case DAT_IDENTITY:
            return identity(origin, msg, data);
        case DAT_ENTRYPOINT:
            return entryPoint(msg, data);
        case DAT_CAPABILITY:
            return capability(msg, data);
        case DAT_CALLBACK:
        case DAT_CALLBACK2:
            return registerCallback(dat, msg);
        case DAT_EVENT:
            return event(msg, data);
        case DAT_USERINTERFACE:
            return userInterface(msg, data);
        case DAT_PENDINGXFERS:
            return pendingXfers(msg, data);
        case DAT_SETUPMEMXFER:
            return setupMemXfer(msg, data);
        case DAT_SETUPFILEXFER:
            return setupFileXfer(msg, data);
        case DAT_STATUS:
            return status(msg, data);
        case DAT_XFERGROUP:
            return xferGroup(msg, data);
        case DAT_DEVICEEVENT:
            return deviceEvent(msg, data);
        default:
            break;
        }
    } else if (dg == DG_IMAGE) {
        switch (dat) {
        case DAT_IMAGEINFO:
            return imageInfo(msg, data);
        case DAT_IMAGELAYOUT:
            return imageLayout(msg, data);
        case DAT_IMAGENATIVEXFER:
            return nativeXfer(msg, data);
        case DAT_IMAGEFILEXFER:
            return fileXfer(msg);
        case DAT_IMAGEMEMXFER:
        case DAT_IMAGEMEMFILEXFER:
            return memXfer(dat, msg, data);
        case DAT_PALETTE8:
            return palette8(msg, data);
        case DAT_EXTIMAGEINFO:
            return extImageInfo(msg, data);
        default:
            break;
        }
    }
    return {TWRC_FAILURE, TWCC_BADPROTOCOL};
}

// ---------------------------------------------------------------------------
// Fault injection

bool SimSource::injectFault(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data, Result& result)
{
    // The controls themselves always work, or a test could lock itself out.
    if (dat == DAT_CAPABILITY && data && static_cast<pTW_CAPABILITY>(data)->Cap >= CAP_CUSTOMBASE)
        return false;
    if (m_state < 4)
        return false;
    const TW_UINT32 triplet = simTriplet(dat, msg);
    const bool pageAllows = !quirk(SIM_QUIRK_FAULTS_ON_PAGE) || (m_state >= 6 && onQuirkPage());
    if (m_settings.crashTriplet == triplet && pageAllows)
        crash();
    if (m_settings.delayTriplet == triplet && m_settings.delayMs > 0 && pageAllows)
        delay(m_settings.delayMs, m_settings.delayPump);
    if (m_settings.failTriplet != triplet || triplet == 0)
        return false;
    if (m_failSeen < m_settings.failSkip) {
        ++m_failSeen;
        return false;
    }
    result = {m_settings.failReturn, m_settings.failCondition};
    ++m_failDone;
    if (m_settings.failCount != 0 && m_failDone >= m_settings.failCount)
        m_settings.failTriplet = 0;
    return true;
}

void SimSource::delay(TW_UINT32 ms, bool pump)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        MSG message;
        if (pump && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// ---------------------------------------------------------------------------
// DG_CONTROL

SimSource::Result SimSource::identity(pTW_IDENTITY origin, TW_UINT16 msg, TW_MEMREF data)
{
    pTW_IDENTITY id = static_cast<pTW_IDENTITY>(data);
    switch (msg) {
    case MSG_GET: {
        if (!id)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        const TW_UINT32 keep = id->Id; // the DSM's to give
        std::memset(id, 0, sizeof *id);
        id->Id = keep;
        id->Version.MajorNum = 1;
        id->Version.MinorNum = 0;
        id->Version.Language = TWLG_USA;
        id->Version.Country = TWCY_USA;
        copyText(id->Version.Info, "1.0 simulated");
        id->ProtocolMajor = TWON_PROTOCOLMAJOR;
        id->ProtocolMinor = TWON_PROTOCOLMINOR;
        id->SupportedGroups = DG_CONTROL | DG_IMAGE | DF_DS2;
        copyText(id->Manufacturer, kManufacturer);
        copyText(id->ProductFamily, kProductFamily);
        copyText(id->ProductName, kProductName);
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    }
    case MSG_OPENDS: {
        if (m_state >= 4)
            return Result(TWRC_FAILURE, origin->Id == m_app.Id ? TWCC_SEQERROR : TWCC_MAXCONNECTIONS);
        if (!id)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        m_app = *origin;
        // A TWAIN 2 application frees and locks what it receives through the
        // DSM as well; an older one knows only global memory.
        useDsmMemory(m_dsm.DSM_Entry && (m_app.SupportedGroups & DF_APP2) ? &m_dsm : nullptr);
        TW_IDENTITY self{};
        self.Id = id->Id;
        identity(nullptr, MSG_GET, &self);
        m_self = self;
        m_settings = Settings{};
        applyEnvironmentControls();
        if (quirk(SIM_QUIRK_OPENDS_CANCEL))
            return {TWRC_CANCEL, TWCC_SUCCESS};
        m_failSeen = m_failDone = 0;
        m_pageNumber = 0;
        m_xferLeft = 0;
        m_page = Page{};
        m_fileName = kDefaultFileName;
        m_events.clear();
        m_deviceEvents.clear();
        if (registerClasses()) {
            m_eventWindow = CreateWindowExW(0, kEventClassW, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                            nullptr, nullptr);
        }
        m_state = 4;
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    }
    case MSG_CLOSEDS:
        if (m_state != 4)
            return {TWRC_FAILURE, TWCC_SEQERROR};
        endSession();
        m_state = 3;
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    default:
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    }
}

SimSource::Result SimSource::entryPoint(TW_UINT16 msg, TW_MEMREF data)
{
    pTW_ENTRYPOINT ep = static_cast<pTW_ENTRYPOINT>(data);
    if (msg != MSG_SET)
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    if (!ep || ep->Size != sizeof(TW_ENTRYPOINT) || !ep->DSM_Entry)
        return {TWRC_FAILURE, TWCC_BADVALUE};
    m_dsm = *ep;
    return {TWRC_SUCCESS, TWCC_SUCCESS};
}

SimSource::Result SimSource::capability(TW_UINT16 msg, TW_MEMREF data)
{
    pTW_CAPABILITY cap = static_cast<pTW_CAPABILITY>(data);
    if (m_state < 4)
        return {TWRC_FAILURE, TWCC_SEQERROR};
    if (!cap)
        return {TWRC_FAILURE, TWCC_BADVALUE};
    if (msg == MSG_RESETALL) {
        if (m_state != 4)
            return {TWRC_FAILURE, TWCC_SEQERROR};
        const TW_UINT32 sheets = m_settings.feederPages; // paper, not a setting
        m_settings = Settings{};
        m_settings.feederPages = sheets;
        m_failSeen = m_failDone = 0;
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    }
    CapInfo info;
    if (!describeCap(m_settings, cap->Cap, info))
        return {TWRC_FAILURE, TWCC_CAPUNSUPPORTED};

    switch (msg) {
    case MSG_GET:
    case MSG_GETCURRENT:
    case MSG_GETDEFAULT: {
        const bool standard = cap->Cap < CAP_CUSTOMBASE;
        if (standard && msg == MSG_GETCURRENT && quirk(SIM_QUIRK_NULL_CONTAINER)) {
            cap->ConType = TWON_ONEVALUE;
            cap->hContainer = nullptr;
            return {TWRC_SUCCESS, TWCC_SUCCESS};
        }
        if (standard && quirk(SIM_QUIRK_ITEM_TYPE) && info.itemType == TWTY_UINT16)
            info.itemType = TWTY_UINT32;
        TW_UINT16 answer = msg;
        if (standard && msg == MSG_GETCURRENT && quirk(SIM_QUIRK_GETCURRENT_ENUM) &&
            info.form != TWON_ARRAY) {
            info.form = TWON_ENUMERATION;
            info.items = {info.current};
            answer = MSG_GET;
        }
        TW_UINT16 conType = TWON_ONEVALUE;
        TW_HANDLE h = buildContainer(info, answer, conType);
        if (!h)
            return {TWRC_FAILURE, TWCC_LOWMEMORY};
        cap->ConType = conType;
        cap->hContainer = h;
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    }
    case MSG_QUERYSUPPORT: {
        TW_INT32 flags = TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT;
        if (info.settable)
            flags |= TWQC_SET | TWQC_RESET;
        TW_HANDLE h = buildQuerySupport(flags);
        if (!h)
            return {TWRC_FAILURE, TWCC_LOWMEMORY};
        cap->ConType = TWON_ONEVALUE;
        cap->hContainer = h;
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    }
    case MSG_SET:
    case MSG_RESET:
        break;
    default:
        return {TWRC_FAILURE, TWCC_CAPBADOPERATION};
    }

    // Negotiation ends with MSG_ENABLEDS, except for the extended capabilities.
    if (m_state != 4 && !info.extended)
        return {TWRC_FAILURE, TWCC_SEQERROR};
    if (!info.settable)
        return {TWRC_FAILURE, TWCC_CAPBADOPERATION};

    if (msg == MSG_RESET) {
        resetCap(m_settings, cap->Cap);
        if (cap->Cap == SIMCAP_FAILTRIPLET)
            m_failSeen = m_failDone = 0;
        describeCap(m_settings, cap->Cap, info);
        TW_UINT16 conType = TWON_ONEVALUE;
        TW_HANDLE h = buildContainer(info, MSG_RESET, conType);
        if (!h)
            return {TWRC_FAILURE, TWCC_LOWMEMORY};
        cap->ConType = conType;
        cap->hContainer = h;
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    }

    double value = 0;
    if (!readContainer(cap->hContainer, cap->ConType, value))
        return {TWRC_FAILURE, TWCC_BADVALUE};
    if (cap->Cap >= CAP_CUSTOMBASE)
        return setControl(cap->Cap, value);
    TW_UINT16 cc = TWCC_SUCCESS;
    const TW_UINT16 rc = setCap(m_settings, cap->Cap, value, cc);
    return {rc, cc};
}

SimSource::Result SimSource::setControl(TW_UINT16 cap, double value)
{
    if (cap == SIMCAP_TRIGGER) {
        // Refuse a trigger that cannot happen now before remembering it.
        const Result acted = trigger(static_cast<TW_UINT16>(value));
        if (acted.rc != TWRC_SUCCESS)
            return acted;
    }
    TW_UINT16 cc = TWCC_SUCCESS;
    const TW_UINT16 rc = setCap(m_settings, cap, value, cc);
    if (rc == TWRC_SUCCESS && cap == SIMCAP_FAILTRIPLET)
        m_failSeen = m_failDone = 0;
    return {rc, cc};
}

void SimSource::applyEnvironmentControls()
{
    const char* controls = std::getenv(kControlsVariable);
    if (!controls)
        return;
    const std::string text(controls);
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(',', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string pair = text.substr(at, end - at);
        at = end + 1;
        const std::size_t eq = pair.find('=');
        if (eq == std::string::npos)
            continue;
        const unsigned long cap = std::strtoul(pair.substr(0, eq).c_str(), nullptr, 0);
        const double value = std::strtod(pair.substr(eq + 1).c_str(), nullptr);
        if (cap < CAP_CUSTOMBASE || cap > 0xFFFF || cap == SIMCAP_TRIGGER)
            continue;
        TW_UINT16 cc = TWCC_SUCCESS;
        setCap(m_settings, static_cast<TW_UINT16>(cap), value, cc);
    }
}

SimSource::Result SimSource::trigger(TW_UINT16 what)
{
    switch (what) {
    case SIM_TRIGGER_NONE:
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case SIM_TRIGGER_SCAN:
        if (m_state != 5)
            return {TWRC_FAILURE, TWCC_SEQERROR};
        startScan();
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case SIM_TRIGGER_CLOSEDSREQ:
        if (!inState(m_state, 5, 7))
            return {TWRC_FAILURE, TWCC_SEQERROR};
        notify(MSG_CLOSEDSREQ);
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case SIM_TRIGGER_CLOSEDSOK:
        if (m_state != 5)
            return {TWRC_FAILURE, TWCC_SEQERROR};
        notify(MSG_CLOSEDSOK);
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case SIM_TRIGGER_DEVICEEVENT:
        m_deviceEvents.push_back(TWDE_DEVICEREADY);
        notify(MSG_DEVICEEVENT);
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    default:
        return {TWRC_FAILURE, TWCC_BADVALUE};
    }
}

SimSource::Result SimSource::registerCallback(TW_UINT16 dat, TW_UINT16 msg)
{
    if (msg != MSG_REGISTER_CALLBACK)
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    if (m_state != 4)
        return {TWRC_FAILURE, TWCC_SEQERROR};
    // Registrations are the DSM's; one that reaches a source without
    // callback support is refused.
    (void)dat;
    if (m_settings.notifyRoute == SIM_ROUTE_NONE)
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    return {TWRC_SUCCESS, TWCC_SUCCESS};
}

SimSource::Result SimSource::event(TW_UINT16 msg, TW_MEMREF data)
{
    pTW_EVENT ev = static_cast<pTW_EVENT>(data);
    if (msg != MSG_PROCESSEVENT)
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    if (!ev)
        return {TWRC_FAILURE, TWCC_BADVALUE};
    if (!inState(m_state, 5, 7))
        return {TWRC_FAILURE, TWCC_SEQERROR};
    ev->TWMessage = MSG_NULL;
    bool ours = false;
    const MSG* message = static_cast<const MSG*>(ev->pEvent);
    if (message && message->hwnd && (message->hwnd == m_dialog || message->hwnd == m_eventWindow)) {
        ours = true;
        DispatchMessageW(message);
    }
    if (!m_events.empty()) {
        ev->TWMessage = m_events.front();
        m_events.pop_front();
        return {TWRC_DSEVENT, TWCC_SUCCESS};
    }
    return {ours ? static_cast<TW_UINT16>(TWRC_DSEVENT) : static_cast<TW_UINT16>(TWRC_NOTDSEVENT),
            TWCC_SUCCESS};
}

SimSource::Result SimSource::userInterface(TW_UINT16 msg, TW_MEMREF data)
{
    pTW_USERINTERFACE ui = static_cast<pTW_USERINTERFACE>(data);
    switch (msg) {
    case MSG_ENABLEDS:
    case MSG_ENABLEDSUIONLY:
        if (m_state != 4)
            return {TWRC_FAILURE, TWCC_SEQERROR};
        if (!ui)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        m_uiOnly = msg == MSG_ENABLEDSUIONLY;
        m_showUI = m_uiOnly || ui->ShowUI != 0;
        m_xferLeft = 0;
        m_state = 5;
        if (m_showUI) {
            showDialog(static_cast<HWND>(ui->hParent));
            if (ui->ModalUI && m_owner)
                EnableWindow(m_owner, FALSE);
            else
                m_owner = nullptr;
        } else if (!quirk(SIM_QUIRK_SILENT_STOP)) {
            m_joinNotify = quirk(SIM_QUIRK_READY_INSIDE_ENABLE);
            startScan();
            m_joinNotify = false;
        }
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case MSG_DISABLEDS:
        if (m_state != 5)
            return {TWRC_FAILURE, TWCC_SEQERROR};
        closeDialog();
        m_notifier.stop();
        m_events.clear();
        m_state = 4;
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    default:
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    }
}

SimSource::Result SimSource::pendingXfers(TW_UINT16 msg, TW_MEMREF data)
{
    pTW_PENDINGXFERS pending = static_cast<pTW_PENDINGXFERS>(data);
    if (!pending)
        return {TWRC_FAILURE, TWCC_BADVALUE};
    switch (msg) {
    case MSG_GET:
        if (m_state < 4)
            return {TWRC_FAILURE, TWCC_SEQERROR};
        break;
    case MSG_ENDXFER: {
        if (!inState(m_state, 6, 7))
            return {TWRC_FAILURE, TWCC_SEQERROR};
        const TW_UINT16 callers = pending->Count;
        const bool endFails = quirk(SIM_QUIRK_ENDXFER_FAILS) && onQuirkPage();
        if (m_xferLeft != kUnlimited)
            --m_xferLeft;
        const bool more =
            !m_page.fake && m_xferLeft > 0 && m_settings.feederEnabled && m_settings.feederPages > 0;
        if (more) {
            pickPage();
            m_state = 6;
            if (quirk(SIM_QUIRK_XFERREADY_TWICE))
                notifyNow(MSG_XFERREADY);
        } else {
            m_page = Page{};
            m_xferLeft = 0;
            m_state = 5;
        }
        pending->Count = pendingCount();
        pending->EOJ = 0;
        if (quirk(SIM_QUIRK_PENDING_ZERO))
            pending->Count = 0;
        else if (quirk(SIM_QUIRK_PENDING_DECREMENT))
            pending->Count = static_cast<TW_UINT16>(callers - 1);
        if (endFails)
            return {TWRC_FAILURE, TWCC_BUMMER};
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    }
    case MSG_RESET:
        if (!inState(m_state, 6, 7))
            return {TWRC_FAILURE, TWCC_SEQERROR};
        m_page = Page{};
        m_xferLeft = 0;
        m_state = 5;
        break;
    case MSG_STOPFEEDER:
        if (!inState(m_state, 6, 7))
            return {TWRC_FAILURE, TWCC_SEQERROR};
        m_xferLeft = 1; // the page already scanned is still delivered
        break;
    default:
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    }
    pending->Count = pendingCount();
    pending->EOJ = 0;
    return {TWRC_SUCCESS, TWCC_SUCCESS};
}

SimSource::Result SimSource::setupMemXfer(TW_UINT16 msg, TW_MEMREF data)
{
    pTW_SETUPMEMXFER setup = static_cast<pTW_SETUPMEMXFER>(data);
    if (msg != MSG_GET)
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    if (!inState(m_state, 4, 6))
        return {TWRC_FAILURE, TWCC_SEQERROR};
    if (!setup)
        return {TWRC_FAILURE, TWCC_BADVALUE};
    PageSpec spec = m_state == 6 ? m_page.spec : PageSpec{};
    if (m_state != 6) {
        spec.width = std::max(1, pixelExtent(m_settings.right - m_settings.left, m_settings.xdpi));
        spec.height = std::max(1, pixelExtent(m_settings.bottom - m_settings.top, m_settings.ydpi));
        spec.pixelType = m_settings.pixelType;
        spec.bitDepth = m_settings.bitDepth;
    }
    const std::size_t align = m_settings.memRowAlign;
    const std::size_t row = (packedRowBytes(spec) + align - 1) / align * align;
    const std::size_t whole = row * static_cast<std::size_t>(spec.height);
    setup->MinBufSize = static_cast<TW_UINT32>(std::min<std::size_t>(row, 0xFFFFFFFFu));
    setup->MaxBufSize = static_cast<TW_UINT32>(
        std::min<std::size_t>(std::max<std::size_t>(whole, m_settings.memPreferred), 0xFFFFFFFFu));
    setup->Preferred = m_settings.memPreferred;
    return {TWRC_SUCCESS, TWCC_SUCCESS};
}

SimSource::Result SimSource::setupFileXfer(TW_UINT16 msg, TW_MEMREF data)
{
    pTW_SETUPFILEXFER setup = static_cast<pTW_SETUPFILEXFER>(data);
    if (!inState(m_state, 4, 6))
        return {TWRC_FAILURE, TWCC_SEQERROR};
    if (!setup)
        return {TWRC_FAILURE, TWCC_BADVALUE};
    switch (msg) {
    case MSG_GET:
        copyText(setup->FileName, m_fileName.c_str());
        setup->Format = m_settings.fileFormat;
        setup->VRefNum = 0;
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case MSG_GETDEFAULT:
        copyText(setup->FileName, kDefaultFileName);
        setup->Format = TWFF_BMP;
        setup->VRefNum = 0;
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case MSG_SET: {
        // 16-bit grey is written as TIFF only: a 16-bit BMP means 5-5-5 RGB.
        if (setup->Format != TWFF_BMP && setup->Format != TWFF_TIFF)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        if (setup->Format == TWFF_BMP && grey16(m_settings))
            return {TWRC_FAILURE, TWCC_BADVALUE};
        const void* end = std::memchr(setup->FileName, 0, sizeof setup->FileName);
        if (!end || end == setup->FileName)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        m_fileName.assign(static_cast<const char*>(setup->FileName), static_cast<const char*>(end));
        m_settings.fileFormat = setup->Format;
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    }
    case MSG_RESET:
        if (m_state != 4)
            return {TWRC_FAILURE, TWCC_SEQERROR};
        m_fileName = kDefaultFileName;
        m_settings.fileFormat = grey16(m_settings) ? TWFF_TIFF : TWFF_BMP;
        copyText(setup->FileName, kDefaultFileName);
        setup->Format = m_settings.fileFormat;
        setup->VRefNum = 0;
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    default:
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    }
}

SimSource::Result SimSource::status(TW_UINT16 msg, TW_MEMREF data)
{
    pTW_STATUS st = static_cast<pTW_STATUS>(data);
    if (msg != MSG_GET)
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    if (!st)
        return {TWRC_FAILURE, TWCC_BADVALUE};
    st->ConditionCode = m_conditionCode;
    st->Data = 0;
    return {TWRC_SUCCESS, TWCC_SUCCESS};
}

SimSource::Result SimSource::xferGroup(TW_UINT16 msg, TW_MEMREF data)
{
    TW_UINT32* group = static_cast<TW_UINT32*>(data);
    if (!group)
        return {TWRC_FAILURE, TWCC_BADVALUE};
    switch (msg) {
    case MSG_GET:
        if (m_state < 4)
            return {TWRC_FAILURE, TWCC_SEQERROR};
        *group = DG_IMAGE;
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case MSG_SET:
        if (m_state != 4)
            return {TWRC_FAILURE, TWCC_SEQERROR};
        return *group == DG_IMAGE ? Result{TWRC_SUCCESS, TWCC_SUCCESS} : Result{TWRC_FAILURE, TWCC_BADVALUE};
    default:
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    }
}

SimSource::Result SimSource::deviceEvent(TW_UINT16 msg, TW_MEMREF data)
{
    pTW_DEVICEEVENT ev = static_cast<pTW_DEVICEEVENT>(data);
    if (msg != MSG_GET)
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    if (!ev)
        return {TWRC_FAILURE, TWCC_BADVALUE};
    if (m_state < 4 || m_deviceEvents.empty())
        return {TWRC_FAILURE, TWCC_SEQERROR};
    std::memset(ev, 0, sizeof *ev);
    ev->Event = m_deviceEvents.front();
    m_deviceEvents.pop_front();
    copyText(ev->DeviceName, kProductName);
    ev->XResolution = toFix32(m_settings.xdpi);
    ev->YResolution = toFix32(m_settings.ydpi);
    return {TWRC_SUCCESS, TWCC_SUCCESS};
}

// ---------------------------------------------------------------------------
// DG_IMAGE

SimSource::Result SimSource::imageInfo(TW_UINT16 msg, TW_MEMREF data)
{
    pTW_IMAGEINFO info = static_cast<pTW_IMAGEINFO>(data);
    if (msg != MSG_GET)
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    if (!inState(m_state, 6, 7))
        return {TWRC_FAILURE, TWCC_SEQERROR};
    if (!info)
        return {TWRC_FAILURE, TWCC_BADVALUE};
    if (quirk(SIM_QUIRK_CANCEL_ILLEGAL) && onQuirkPage())
        return {TWRC_CANCEL, TWCC_SUCCESS};
    const PageSpec& spec = m_page.spec;
    const bool undefined = (m_settings.undefinedImageSize || m_settings.undefinedSize) && !m_page.finished;
    std::memset(info, 0, sizeof *info);
    // Resolutions are per unit of ICAP_UNITS, as the capabilities give them.
    CapInfo res;
    describeCap(m_settings, ICAP_XRESOLUTION, res);
    info->XResolution = toFix32(res.current);
    describeCap(m_settings, ICAP_YRESOLUTION, res);
    info->YResolution = toFix32(res.current);
    info->ImageWidth = spec.width;
    info->ImageLength = undefined ? -1 : spec.height;
    info->SamplesPerPixel = static_cast<TW_INT16>(samplesPerPixel(spec));
    for (int i = 0; i < info->SamplesPerPixel; ++i)
        info->BitsPerSample[i] = static_cast<TW_INT16>(spec.pixelType == TWPT_RGB ? 8 : spec.bitDepth);
    info->BitsPerPixel = static_cast<TW_INT16>(spec.bitDepth);
    info->Planar = FALSE;
    info->PixelType = static_cast<TW_INT16>(spec.pixelType);
    info->Compression =
        m_settings.xferMech == TWSX_MEMORY ? m_settings.compression : static_cast<TW_UINT16>(TWCP_NONE);
    if (quirk(SIM_QUIRK_INFO_UNKNOWN) && !m_page.finished)
        info->ImageWidth = info->ImageLength = -1;
    if (quirk(SIM_QUIRK_MEM_PAST_SIZE))
        info->ImageLength = std::max(1, spec.height - 10);
    if (quirk(SIM_QUIRK_INFO_ONE_BPS)) {
        for (int i = 1; i < 8; ++i)
            info->BitsPerSample[i] = 0;
    }
    return {TWRC_SUCCESS, TWCC_SUCCESS};
}

SimSource::Result SimSource::imageLayout(TW_UINT16 msg, TW_MEMREF data)
{
    pTW_IMAGELAYOUT layout = static_cast<pTW_IMAGELAYOUT>(data);
    if (!layout)
        return {TWRC_FAILURE, TWCC_BADVALUE};
    const bool change = msg == MSG_SET || msg == MSG_RESET;
    if (change ? m_state != 4 : !inState(m_state, 4, 6))
        return {TWRC_FAILURE, TWCC_SEQERROR};
    Result result{TWRC_SUCCESS, TWCC_SUCCESS};
    Settings& s = m_settings;
    switch (msg) {
    case MSG_GET:
        break;
    case MSG_GETDEFAULT:
    case MSG_RESET:
        if (msg == MSG_RESET) {
            s.left = s.top = 0;
            s.right = kBedWidthInches;
            s.bottom = kBedHeightInches;
        }
        break;
    case MSG_SET: {
        double left = fromUnits(s, fromFix32(layout->Frame.Left), true);
        double top = fromUnits(s, fromFix32(layout->Frame.Top), false);
        double right = fromUnits(s, fromFix32(layout->Frame.Right), true);
        double bottom = fromUnits(s, fromFix32(layout->Frame.Bottom), false);
        if (right <= left || bottom <= top)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        // A frame reaching beyond the bed is cut to it.
        const double l = std::max(left, 0.0), t = std::max(top, 0.0);
        const double r = std::min(right, kBedWidthInches), b = std::min(bottom, kBedHeightInches);
        if (pixelExtent(r - l, s.xdpi) < 1 || pixelExtent(b - t, s.ydpi) < 1)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        if (l != left || t != top || r != right || b != bottom)
            result = {TWRC_CHECKSTATUS, TWCC_BADVALUE};
        s.left = l;
        s.top = t;
        s.right = r;
        s.bottom = b;
        break;
    }
    default:
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    }
    const bool deflt = msg == MSG_GETDEFAULT;
    layout->Frame.Left = toFix32(toUnits(s, deflt ? 0 : s.left, true));
    layout->Frame.Top = toFix32(toUnits(s, deflt ? 0 : s.top, false));
    layout->Frame.Right = toFix32(toUnits(s, deflt ? kBedWidthInches : s.right, true));
    layout->Frame.Bottom = toFix32(toUnits(s, deflt ? kBedHeightInches : s.bottom, false));
    const TW_UINT32 page = m_state == 6 ? m_pageNumber : m_pageNumber + 1;
    layout->DocumentNumber = page;
    layout->PageNumber = page;
    layout->FrameNumber = 1;
    return result;
}

bool SimSource::transferStart(TW_UINT16 dat, Result& refusal)
{
    static const struct
    {
        TW_UINT16 dat;
        TW_UINT16 mech;
    } kMechanisms[] = {{DAT_IMAGENATIVEXFER, TWSX_NATIVE},
                       {DAT_IMAGEFILEXFER, TWSX_FILE},
                       {DAT_IMAGEMEMXFER, TWSX_MEMORY},
                       {DAT_IMAGEMEMFILEXFER, TWSX_MEMFILE}};
    for (const auto& m : kMechanisms) {
        if (m.dat == dat && m.mech != m_settings.xferMech) {
            refusal = {TWRC_FAILURE, TWCC_SEQERROR}; // not the negotiated mechanism
            return false;
        }
    }
    const bool buffered = dat == DAT_IMAGEMEMXFER || dat == DAT_IMAGEMEMFILEXFER;
    const bool continuing = m_state == 7 && buffered && m_page.started && !m_page.finished;
    if (m_state != 6 && !continuing) {
        refusal = {TWRC_FAILURE, TWCC_SEQERROR};
        return false;
    }
    if (m_state == 6 && onQuirkPage()) {
        // From inside the transfer, on the calling thread: certainly while it runs.
        if (quirk(SIM_QUIRK_CLOSE_DURING_XFER))
            notifyNow(MSG_CLOSEDSREQ);
        else if (quirk(SIM_QUIRK_XFERREADY_TWICE))
            notifyNow(MSG_XFERREADY);
    }
    return true;
}

TW_UINT16 SimSource::doneCode() const
{
    return m_settings.successNotDone ? TWRC_SUCCESS : TWRC_XFERDONE;
}

SimSource::Result SimSource::nativeXfer(TW_UINT16 msg, TW_MEMREF data)
{
    TW_HANDLE* out = static_cast<TW_HANDLE*>(data);
    Result refusal{TWRC_SUCCESS, TWCC_SUCCESS};
    if (msg != MSG_GET)
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    if (!transferStart(DAT_IMAGENATIVEXFER, refusal))
        return refusal;
    if (!out)
        return {TWRC_FAILURE, TWCC_BADVALUE};
    *out = nullptr;
    if (m_page.spec.page == m_settings.cancelPage || m_page.fake) {
        m_page.started = m_page.finished = true;
        m_state = 7;
        return {TWRC_CANCEL, TWCC_SUCCESS};
    }
    if (onQuirkPage() && (quirk(SIM_QUIRK_NATIVE_NULL) || quirk(SIM_QUIRK_NATIVE_FOREIGN))) {
        // No block at all, or the address of bytes nobody allocated.
        static TW_UINT8 s_notABlock[64];
        *out = quirk(SIM_QUIRK_NATIVE_FOREIGN) ? static_cast<TW_HANDLE>(s_notABlock) : nullptr;
        m_page.started = m_page.finished = true;
        m_state = 7;
        return {doneCode(), TWCC_SUCCESS};
    }
    DibQuirks quirks;
    quirks.sigBits = m_settings.dibSigBits;
    quirks.packed16 = m_settings.dib16Packed;
    quirks.greyTable = m_settings.dibGreyTable;
    if (m_settings.nativeTiff) {
        const std::vector<TW_UINT8> tiff = buildTiff(m_page.spec);
        TW_HANDLE h = memAllocate(tiff.size(), true, false);
        void* p = h ? memLock(h) : nullptr;
        if (!p) {
            memFree(h);
            return {TWRC_FAILURE, TWCC_LOWMEMORY};
        }
        std::memcpy(p, tiff.data(), tiff.size());
        memUnlock(h);
        *out = h;
        m_page.started = m_page.finished = true;
        m_state = 7;
        return {doneCode(), TWCC_SUCCESS};
    }
    if (quirk(SIM_QUIRK_DIB_HEADER_SIZE) || quirk(SIM_QUIRK_DIB_STRIDE)) {
        // Rendered aside first, so that the header can be botched.
        std::vector<TW_UINT8> dib(dibSize(m_page.spec, quirks));
        buildDibInto(m_page.spec, quirks, dib.data());
        botchDib(dib);
        TW_HANDLE h = memAllocate(dib.size(), m_settings.dibMemory != SIM_DIBMEM_FIXED, false);
        void* p = h ? memLock(h) : nullptr;
        if (!p) {
            memFree(h);
            return {TWRC_FAILURE, TWCC_LOWMEMORY};
        }
        std::memcpy(p, dib.data(), dib.size());
        memUnlock(h);
        *out = h;
        m_page.started = m_page.finished = true;
        m_state = 7;
        return {doneCode(), TWCC_SUCCESS};
    }
    const std::size_t nDib = dibSize(m_page.spec, quirks);
    // Every byte is rendered below: no need to clear the block first.
    TW_HANDLE h = memAllocate(nDib, m_settings.dibMemory != SIM_DIBMEM_FIXED, false);
    void* p = h ? memLock(h) : nullptr;
    if (!p) {
        memFree(h);
        return {TWRC_FAILURE, TWCC_LOWMEMORY};
    }
    // Rendered into the block handed over: no second copy of the page.
    buildDibInto(m_page.spec, quirks, static_cast<TW_UINT8*>(p));
    memUnlock(h);
    *out = h;
    m_page.started = m_page.finished = true;
    m_state = 7;
    return {doneCode(), TWCC_SUCCESS};
}

void SimSource::botchDib(std::vector<TW_UINT8>& dib) const
{
    constexpr std::size_t kInfoHeader = 40;
    if (dib.size() < kInfoHeader)
        return;
    auto read32 = [&dib](std::size_t at) {
        return TW_UINT32(dib[at]) | TW_UINT32(dib[at + 1]) << 8 | TW_UINT32(dib[at + 2]) << 16 |
               TW_UINT32(dib[at + 3]) << 24;
    };
    auto write32 = [&dib](std::size_t at, TW_UINT32 v) {
        for (int i = 0; i < 4; ++i)
            dib[at + i] = static_cast<TW_UINT8>(v >> (8 * i));
    };
    if (quirk(SIM_QUIRK_DIB_HEADER_SIZE) && read32(0) == kInfoHeader) {
        // A longer header: 16 more bytes (colour masks, unused with BI_RGB).
        dib.insert(dib.begin() + kInfoHeader, 16, 0);
        write32(0, kInfoHeader + 16);
    } else if (quirk(SIM_QUIRK_DIB_STRIDE)) {
        const TW_UINT32 width = read32(4);
        const TW_INT32 height = static_cast<TW_INT32>(read32(8));
        const TW_UINT32 bits = TW_UINT32(dib[14]) | TW_UINT32(dib[15]) << 8;
        const TW_UINT32 rows = static_cast<TW_UINT32>(height < 0 ? -height : height);
        write32(20, (width * bits + 7) / 8 * rows);
    }
}

// The page as a file in ICAP_IMAGEFILEFORMAT; never a 16-bit BMP.
bool SimSource::pageFile(std::vector<TW_UINT8>& out) const
{
    if (m_settings.fileFormat == TWFF_TIFF)
        return encodeTiff(m_page.spec, out);
    if (m_settings.fileFormat != TWFF_BMP || grey16(m_settings))
        return false;
    out = buildBmpFile(m_page.spec);
    return true;
}

SimSource::Result SimSource::fileXfer(TW_UINT16 msg)
{
    Result refusal{TWRC_SUCCESS, TWCC_SUCCESS};
    if (msg != MSG_GET)
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    if (!transferStart(DAT_IMAGEFILEXFER, refusal))
        return refusal;
    if (m_page.spec.page == m_settings.cancelPage || m_page.fake) {
        m_page.started = m_page.finished = true;
        m_state = 7;
        return {TWRC_CANCEL, TWCC_SUCCESS};
    }
    std::vector<TW_UINT8> bmp;
    if (!pageFile(bmp)) {
        m_page.started = m_page.finished = true;
        m_state = 7;
        return {TWRC_FAILURE, TWCC_BADVALUE};
    }
    std::FILE* file = std::fopen(m_fileName.c_str(), "wb");
    bool written = file && std::fwrite(bmp.data(), 1, bmp.size(), file) == bmp.size();
    if (file && std::fclose(file) != 0)
        written = false;
    if (!written) {
        if (file)
            std::remove(m_fileName.c_str());
        return {TWRC_FAILURE, TWCC_FILEWRITEERROR};
    }
    m_page.started = m_page.finished = true;
    m_state = 7;
    return {doneCode(), TWCC_SUCCESS};
}

SimSource::Result SimSource::memXfer(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data)
{
    pTW_IMAGEMEMXFER xfer = static_cast<pTW_IMAGEMEMXFER>(data);
    Result refusal{TWRC_SUCCESS, TWCC_SUCCESS};
    if (msg != MSG_GET)
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    if (!transferStart(dat, refusal))
        return refusal;
    if (!xfer)
        return {TWRC_FAILURE, TWCC_BADVALUE};

    // The application's buffer: a pointer, or a handle to lock for the call.
    const TW_MEMORY memory = xfer->Memory;
    if (!memory.TheMem || memory.Length == 0 || (memory.Flags & TWMF_DSOWNS))
        return {TWRC_FAILURE, TWCC_BADVALUE};
    const bool isHandle = (memory.Flags & TWMF_HANDLE) != 0;
    std::size_t capacity = memory.Length;
    TW_UINT8* buffer = nullptr;
    if (isHandle) {
        buffer = static_cast<TW_UINT8*>(memLock(memory.TheMem));
        if (!buffer)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        capacity = std::min<std::size_t>(capacity, memSize(memory.TheMem));
    } else {
        buffer = static_cast<TW_UINT8*>(memory.TheMem);
    }
    struct Unlock
    {
        TW_HANDLE h;
        ~Unlock() { memUnlock(h); }
    } unlock{isHandle ? memory.TheMem : nullptr};

    const PageSpec& spec = m_page.spec;
    if (quirk(SIM_QUIRK_MEM_FAIL_UNTOUCHED) && onQuirkPage() && m_state == 7 && !m_page.fake &&
        (m_page.nextRow > 0 || m_page.offset > 0)) {
        // The structure is left as it came; the rest of the page is gone.
        m_page.finished = true;
        return {TWRC_FAILURE, TWCC_SUCCESS};
    }
    const bool jpeg = dat == DAT_IMAGEMEMXFER && m_settings.compression == TWCP_JPEG;
    const bool stream = jpeg || dat == DAT_IMAGEMEMFILEXFER;
    const std::size_t align = m_settings.memRowAlign;
    const std::size_t rowBytes = (packedRowBytes(spec) + align - 1) / align * align;
    if (!stream && capacity < rowBytes)
        return {TWRC_FAILURE, TWCC_BADVALUE};

    xfer->Compression = jpeg ? static_cast<TW_UINT16>(TWCP_JPEG) : static_cast<TW_UINT16>(TWCP_NONE);
    xfer->BytesPerRow = static_cast<TW_UINT32>(rowBytes);
    xfer->Columns = quirk(SIM_QUIRK_MEM_NO_COLUMNS) ? 0u : static_cast<TW_UINT32>(spec.width);
    xfer->XOffset = 0;
    xfer->BytesWritten = 0;

    if (m_state == 6) {
        m_state = 7;
        m_page.started = true;
        if (spec.page == m_settings.cancelPage || m_page.fake) {
            m_page.finished = true;
            xfer->Rows = 0;
            xfer->YOffset = 0;
            return {TWRC_CANCEL, TWCC_SUCCESS};
        }
        if (jpeg && !encodeJpeg(spec, kJpegQuality, m_page.stream)) {
            m_page.finished = true;
            return {TWRC_FAILURE, TWCC_OPERATIONERROR};
        }
        if (dat == DAT_IMAGEMEMFILEXFER && !pageFile(m_page.stream)) {
            m_page.finished = true;
            return {TWRC_FAILURE, TWCC_BADVALUE};
        }
    }

    if (m_page.owesDone) {
        // The quirk's data went out with TWRC_SUCCESS; this empty block ends it.
        m_page.owesDone = false;
        m_page.finished = true;
        xfer->Rows = 0;
        xfer->YOffset = static_cast<TW_UINT32>(spec.height);
        return {TWRC_XFERDONE, TWCC_SUCCESS};
    }

    bool last = false;
    if (stream) {
        const std::size_t n = std::min(capacity, m_page.stream.size() - m_page.offset);
        std::memcpy(buffer, m_page.stream.data() + m_page.offset, n);
        m_page.offset += n;
        xfer->Rows = static_cast<TW_UINT32>(spec.height);
        xfer->YOffset = 0;
        xfer->BytesWritten = static_cast<TW_UINT32>(n);
        last = m_page.offset == m_page.stream.size();
    } else {
        const std::size_t fit = capacity / rowBytes;
        const std::size_t left = static_cast<std::size_t>(spec.height - m_page.nextRow);
        const std::size_t rows = std::min(fit, left);
        for (std::size_t i = 0; i < rows; ++i) {
            TW_UINT8* row = buffer + i * rowBytes;
            std::memset(row, 0, rowBytes);
            renderRow(spec, m_page.nextRow + static_cast<TW_INT32>(i), row);
        }
        xfer->Rows = static_cast<TW_UINT32>(rows);
        xfer->YOffset = static_cast<TW_UINT32>(m_page.nextRow);
        xfer->BytesWritten = static_cast<TW_UINT32>(rows * rowBytes);
        m_page.nextRow += static_cast<TW_INT32>(rows);
        last = m_page.nextRow == spec.height;
    }
    if (!last)
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    if (m_settings.successNotDone) {
        m_page.owesDone = true;
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    }
    m_page.finished = true;
    return {TWRC_XFERDONE, TWCC_SUCCESS};
}

SimSource::Result SimSource::palette8(TW_UINT16 msg, TW_MEMREF data)
{
    pTW_PALETTE8 palette = static_cast<pTW_PALETTE8>(data);
    if (msg != MSG_GET && msg != MSG_GETDEFAULT)
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    if (!inState(m_state, 4, 7))
        return {TWRC_FAILURE, TWCC_SEQERROR};
    if (!palette)
        return {TWRC_FAILURE, TWCC_BADVALUE};
    const PageSpec spec = m_state >= 6 ? m_page.spec : PageSpec{};
    const TW_UINT16 type = m_state >= 6 ? spec.pixelType : m_settings.pixelType;
    const TW_UINT16 depth = m_state >= 6 ? spec.bitDepth : m_settings.bitDepth;
    const bool vanilla = m_settings.pixelFlavor == TWPF_VANILLA;
    std::memset(palette, 0, sizeof *palette);
    if (type == TWPT_PALETTE) {
        palette->NumColors = 256;
        palette->PaletteType = TWPA_RGB;
        for (unsigned i = 0; i < 256; ++i) {
            palette->Colors[i].Index = static_cast<TW_UINT8>(i);
            palette->Colors[i].Channel1 = paletteColour(i, 0);
            palette->Colors[i].Channel2 = paletteColour(i, 1);
            palette->Colors[i].Channel3 = paletteColour(i, 2);
        }
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    }
    if (type == TWPT_GRAY && depth == 8) {
        palette->NumColors = 256;
        palette->PaletteType = TWPA_GRAY;
        for (unsigned i = 0; i < 256; ++i) {
            const TW_UINT8 level = static_cast<TW_UINT8>(vanilla ? 255 - i : i);
            palette->Colors[i] = {static_cast<TW_UINT8>(i), level, level, level};
        }
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    }
    return {TWRC_FAILURE, TWCC_BADPROTOCOL};
}

SimSource::Result SimSource::extImageInfo(TW_UINT16 msg, TW_MEMREF data)
{
    pTW_EXTIMAGEINFO ext = static_cast<pTW_EXTIMAGEINFO>(data);
    if (msg != MSG_GET)
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    if (m_state != 7 || !m_settings.extImageInfo)
        return {TWRC_FAILURE, TWCC_SEQERROR};
    if (!ext)
        return {TWRC_FAILURE, TWCC_BADVALUE};
    for (TW_UINT32 i = 0; i < ext->NumInfos; ++i) {
        TW_INFO& info = ext->Info[i];
        info.NumItems = 1;
        info.ReturnCode = TWRC_SUCCESS;
        switch (info.InfoID) {
        case TWEI_DOCUMENTNUMBER:
        case TWEI_PAGENUMBER:
            info.ItemType = TWTY_UINT32;
            info.Item = m_page.spec.page;
            break;
        case TWEI_FRAMENUMBER:
            info.ItemType = TWTY_UINT32;
            info.Item = 1;
            break;
        case TWEI_PIXELFLAVOR:
            info.ItemType = TWTY_UINT16;
            info.Item = m_settings.pixelFlavor;
            break;
        case TWEI_PAGESIDE:
            info.ItemType = TWTY_UINT16;
            info.Item = TWCS_TOP;
            break;
        default:
            info.NumItems = 0;
            info.Item = 0;
            info.ReturnCode = TWRC_INFONOTSUPPORTED;
            break;
        }
    }
    return {TWRC_SUCCESS, TWCC_SUCCESS};
}

// ---------------------------------------------------------------------------
// Scanning and notifications

void SimSource::startScan()
{
    if (m_state != 5)
        return;
    if (m_uiOnly) {
        notify(MSG_CLOSEDSOK); // "OK": the settings are kept
        return;
    }
    const bool paper = !m_settings.feederEnabled || m_settings.feederPages > 0;
    if (!paper || m_settings.xferCount == 0) {
        notify(MSG_CLOSEDSREQ); // nothing to scan: the user is told and gives up
        return;
    }
    m_xferLeft = m_settings.xferCount < 0 ? kUnlimited : static_cast<TW_UINT32>(m_settings.xferCount);
    if (!m_settings.feederEnabled)
        m_xferLeft = 1; // the flatbed holds one page
    pickPage();
    m_state = 6;
    m_page.fake = quirk(SIM_QUIRK_FAKE_XFERREADY);
    if (quirk(SIM_QUIRK_CLOSE_BEFORE_READY))
        notify(MSG_CLOSEDSREQ);
    notify(MSG_XFERREADY);
}

void SimSource::pickPage()
{
    if (m_settings.feederEnabled && m_settings.feederPages > 0)
        --m_settings.feederPages;
    m_page = Page{};
    PageSpec& spec = m_page.spec;
    spec.page = ++m_pageNumber;
    spec.width = std::max(1, pixelExtent(m_settings.right - m_settings.left, m_settings.xdpi));
    spec.height = std::max(1, pixelExtent(m_settings.bottom - m_settings.top, m_settings.ydpi));
    spec.pixelType = m_settings.pixelType;
    spec.bitDepth = m_settings.bitDepth;
    spec.vanilla = m_settings.pixelFlavor == TWPF_VANILLA && m_settings.pixelType != TWPT_RGB &&
                   m_settings.pixelType != TWPT_PALETTE;
    spec.xdpi = m_settings.xdpi;
    spec.ydpi = m_settings.ydpi;
}

TW_UINT16 SimSource::pendingCount() const
{
    if (m_state < 6)
        return 0;
    const TW_UINT32 more = m_settings.feederEnabled ? m_settings.feederPages : 0;
    const TW_UINT32 count = std::min<TW_UINT32>(m_xferLeft, more + 1);
    if (m_settings.pendingUnknown && count > 1)
        return 0xFFFF;
    return static_cast<TW_UINT16>(std::min<TW_UINT32>(count, 0x7FFF));
}

void SimSource::endSession()
{
    m_notifier.stop();
    destroyWindows();
    m_events.clear();
    m_deviceEvents.clear();
    m_page = Page{};
}

void SimSource::notify(TW_UINT16 msg)
{
    const Settings& s = m_settings;
    const bool viaDsm = s.notifyRoute != SIM_ROUTE_NONE && m_dsm.DSM_Entry;
    if (m_joinNotify && viaDsm) {
        // From a thread of its own, and back before the call that caused it returns.
        const DSMENTRYPROC dsm = m_dsm.DSM_Entry;
        TW_IDENTITY self = m_self;
        TW_IDENTITY app = m_app;
        std::thread([&] { dsm(&self, &app, DG_CONTROL, DAT_NULL, msg, nullptr); }).join();
        return;
    }
    if (!s.notifyThread) {
        if (viaDsm)
            m_dsm.DSM_Entry(&m_self, &m_app, DG_CONTROL, DAT_NULL, msg, nullptr);
        else
            deliverToQueue(msg);
        return;
    }
    if (viaDsm) {
        const DSMENTRYPROC dsm = m_dsm.DSM_Entry;
        TW_IDENTITY self = m_self;
        TW_IDENTITY app = m_app;
        m_notifier.post(
            [dsm, self, app, msg]() mutable { dsm(&self, &app, DG_CONTROL, DAT_NULL, msg, nullptr); },
            s.notifyDelay);
    } else {
        m_notifier.post(
            [this, msg] {
                std::lock_guard<std::recursive_mutex> lock(m_mutex);
                deliverToQueue(msg);
            },
            s.notifyDelay);
    }
}

void SimSource::notifyNow(TW_UINT16 msg)
{
    if (m_settings.notifyRoute != SIM_ROUTE_NONE && m_dsm.DSM_Entry)
        m_dsm.DSM_Entry(&m_self, &m_app, DG_CONTROL, DAT_NULL, msg, nullptr);
    else
        deliverToQueue(msg);
}

void SimSource::deliverToQueue(TW_UINT16 msg)
{
    m_events.push_back(msg);
    // The application hands its window messages to MSG_PROCESSEVENT; give it one.
    if (m_eventWindow)
        PostMessageW(m_eventWindow, kWmWake, 0, 0);
}

// ---------------------------------------------------------------------------
// Windows

bool SimSource::registerClasses()
{
    if (m_classesRegistered)
        return true;
    WNDCLASSW wc{};
    wc.lpfnWndProc = simWindowProc;
    wc.lpszClassName = kDialogClassW;
    const bool dialog = RegisterClassW(&wc) != 0;
    wc.lpszClassName = kEventClassW;
    const bool events = RegisterClassW(&wc) != 0;
    m_classesRegistered = dialog && events;
    return m_classesRegistered;
}

void SimSource::showDialog(HWND owner)
{
    closeDialog();
    if (!registerClasses())
        return;
    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE;
    m_owner = owner && IsWindow(owner) ? owner : nullptr;
    m_dialog = CreateWindowExW(WS_EX_DLGMODALFRAME, kDialogClassW, kDialogTitleW, style, CW_USEDEFAULT,
                               CW_USEDEFAULT, 400, 300, m_owner, nullptr, nullptr, nullptr);
    if (m_dialog)
        ShowWindow(m_dialog, SW_SHOW);
}

void SimSource::closeDialog()
{
    if (m_owner) {
        EnableWindow(m_owner, TRUE);
        m_owner = nullptr;
    }
    if (m_dialog) {
        HWND dialog = m_dialog;
        m_dialog = nullptr;
        DestroyWindow(dialog);
    }
}

void SimSource::destroyWindows()
{
    closeDialog();
    if (m_eventWindow) {
        HWND window = m_eventWindow;
        m_eventWindow = nullptr;
        DestroyWindow(window);
    }
}

LRESULT SimSource::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    bool handled = false;
    bool outermost = false;
    {
        Guard guard(*this);
        if (window == m_dialog && m_dialog) {
            switch (message) {
            case kWmScan:
                startScan();
                handled = true;
                break;
            case kWmCancel:
            case WM_CLOSE:
                if (inState(m_state, 5, 7))
                    notify(MSG_CLOSEDSREQ);
                handled = true;
                break;
            default:
                break;
            }
        }
        handled = handled || message == kWmWake;
        outermost = guard.outermost();
    }
    if (outermost)
        m_notifier.reap();
    return handled ? 0 : DefWindowProcW(window, message, wParam, lParam);
}

} // namespace simscanner
