#include "sources/sim/simsource.h"

#include "sources/kit/appbuffer.h"
#include "sources/kit/container.h"
#include "sources/kit/memory.h"
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

using dskit::fromFix32;
using dskit::memAllocate;
using dskit::memFree;
using dskit::memLock;
using dskit::memSize;
using dskit::memUnlock;
using dskit::toFix32;

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

constexpr dskit::Identity kIdentity = {kManufacturer, kProductFamily, kProductName, "1.0 simulated"};

LRESULT CALLBACK simWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return SimSource::instance().windowProc(window, message, wParam, lParam);
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

SimSource::SimSource()
    : Source(kIdentity, {dskit::kSessionTriplets, dskit::kImageTriplets, dskit::kPaletteTriplets,
                         dskit::kExtImageInfoTriplets, dskit::kDeviceEventTriplets})
{}

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

SimSource::Result SimSource::call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data)
{
    (void)msg;
    if (dg == DG_CONTROL && dat == DAT_DEVICEEVENT)
        return deviceEvent(data);
    if (dg == DG_IMAGE && dat == DAT_PALETTE8)
        return palette8(data);
    if (dg == DG_IMAGE && dat == DAT_EXTIMAGEINFO)
        return extImageInfo(data);
    return Result::failure(TWCC_BADPROTOCOL);
}

void SimSource::afterCall()
{
    // A retired notifier thread may be waiting for our lock: join it only
    // once this thread holds the lock no more.
    m_notifier.reap();
}

// ---------------------------------------------------------------------------
// DG_CONTROL

SimSource::Result SimSource::open()
{
    m_settings = Settings{};
#if PELIRAND_SIM_FAULTS
    applyEnvironmentControls();
    if (quirk(SIM_QUIRK_OPENDS_CANCEL))
        return {TWRC_CANCEL, TWCC_SUCCESS};
    m_failSeen = m_failDone = 0;
#endif
    m_pageNumber = 0;
    m_xferLeft = 0;
    m_page = Page{};
    m_deviceEvents.clear();
    if (registerClasses()) {
        m_eventWindow =
            CreateWindowExW(0, kEventClassW, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    }
    return Result::success();
}

void SimSource::close()
{
    endSession();
}

// ---------------------------------------------------------------------------
// Capabilities

const dskit::CapRow* SimSource::rows(std::size_t& count) const
{
    return capabilityRows(count);
}

bool SimSource::describe(TW_UINT16 cap, CapInfo& info)
{
    return describeCap(m_settings, cap, info);
}

SimSource::Result SimSource::set(TW_UINT16 cap, double value)
{
    if (cap >= CAP_CUSTOMBASE)
        return setControl(cap, value);
    TW_UINT16 cc = TWCC_SUCCESS;
    const TW_UINT16 rc = setCap(m_settings, cap, value, cc);
    return {rc, cc};
}

SimSource::Result SimSource::reset(TW_UINT16 cap)
{
    resetCap(m_settings, cap);
#if PELIRAND_SIM_FAULTS
    if (cap == SIMCAP_FAILTRIPLET)
        m_failSeen = m_failDone = 0;
#endif
    return Result::success();
}

SimSource::Result SimSource::resetAll()
{
    const TW_UINT32 sheets = m_settings.feederPages; // paper, not a setting
    m_settings = Settings{};
    m_settings.feederPages = sheets;
#if PELIRAND_SIM_FAULTS
    m_failSeen = m_failDone = 0;
#endif
    return Result::success();
}

bool SimSource::answer(TW_UINT16 msg, pTW_CAPABILITY cap, int, Result& result)
{
    CapInfo info;
    if (cap->Cap >= CAP_CUSTOMBASE || msg != MSG_GETCURRENT || !quirk(SIM_QUIRK_NULL_CONTAINER) ||
        !describeCap(m_settings, cap->Cap, info))
        return false;
    cap->ConType = TWON_ONEVALUE;
    cap->hContainer = nullptr;
    result = Result::success();
    return true;
}

void SimSource::shape(TW_UINT16 msg, TW_UINT16 cap, CapInfo& info, TW_UINT16& answerMsg)
{
    if (cap >= CAP_CUSTOMBASE)
        return;
    if (quirk(SIM_QUIRK_ITEM_TYPE) && info.itemType == TWTY_UINT16)
        info.itemType = TWTY_UINT32;
    if (msg == MSG_GETCURRENT && quirk(SIM_QUIRK_GETCURRENT_ENUM) && info.form != TWON_ARRAY) {
        info.form = TWON_ENUMERATION;
        info.items = {info.current};
        answerMsg = MSG_GET;
    }
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
#if PELIRAND_SIM_FAULTS
    if (rc == TWRC_SUCCESS && cap == SIMCAP_FAILTRIPLET)
        m_failSeen = m_failDone = 0;
#endif
    return {rc, cc};
}

SimSource::Result SimSource::trigger(TW_UINT16 what)
{
    switch (what) {
    case SIM_TRIGGER_NONE:
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case SIM_TRIGGER_SCAN:
        if (state() != 5)
            return {TWRC_FAILURE, TWCC_SEQERROR};
        startScan();
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case SIM_TRIGGER_CLOSEDSREQ:
        if (!inState(state(), 5, 7))
            return {TWRC_FAILURE, TWCC_SEQERROR};
        notify(MSG_CLOSEDSREQ);
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case SIM_TRIGGER_CLOSEDSOK:
        if (state() != 5)
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

bool SimSource::acceptsCallbacks() const
{
    // Registrations are the DSM's; one that reaches a source without
    // callback support is refused.
    return m_settings.notifyRoute != SIM_ROUTE_NONE;
}

bool SimSource::claimEvent(TW_MEMREF event)
{
    const MSG* message = static_cast<const MSG*>(event);
    if (!message || !message->hwnd || (message->hwnd != m_dialog && message->hwnd != m_eventWindow))
        return false;
    DispatchMessageW(message);
    return true;
}

SimSource::Result SimSource::enable(const TW_USERINTERFACE& ui, bool uiOnly)
{
    m_uiOnly = uiOnly;
    m_showUI = m_uiOnly || ui.ShowUI != 0;
    m_xferLeft = 0;
    if (m_showUI) {
        showDialog(static_cast<HWND>(ui.hParent));
        if (ui.ModalUI && m_owner)
            EnableWindow(m_owner, FALSE);
        else
            m_owner = nullptr;
    } else if (!quirk(SIM_QUIRK_SILENT_STOP)) {
        m_joinNotify = quirk(SIM_QUIRK_READY_INSIDE_ENABLE);
        startScan();
        m_joinNotify = false;
    }
    return Result::success();
}

void SimSource::disable()
{
    closeDialog();
    m_notifier.stop();
}

SimSource::Result SimSource::endXfer(TW_PENDINGXFERS& pending, bool& more)
{
    const TW_UINT16 callers = pending.Count;
    const bool endFails = quirk(SIM_QUIRK_ENDXFER_FAILS) && onQuirkPage();
    if (m_xferLeft != kUnlimited)
        --m_xferLeft;
    more = !m_page.fake && m_xferLeft > 0 && m_settings.feederEnabled && m_settings.feederPages > 0;
    if (more) {
        pickPage();
        setState(6); // already, for the quirk's second MSG_XFERREADY
        if (quirk(SIM_QUIRK_XFERREADY_TWICE))
            notifyNow(MSG_XFERREADY);
    } else {
        m_page = Page{};
        m_xferLeft = 0;
    }
    pending.Count = more ? pendingCount() : 0;
    if (quirk(SIM_QUIRK_PENDING_ZERO))
        pending.Count = 0;
    else if (quirk(SIM_QUIRK_PENDING_DECREMENT))
        pending.Count = static_cast<TW_UINT16>(callers - 1);
    if (endFails)
        return {TWRC_FAILURE, TWCC_BUMMER};
    return {TWRC_SUCCESS, TWCC_SUCCESS};
}

void SimSource::resetXfers()
{
    m_page = Page{};
    m_xferLeft = 0;
}

TW_UINT16 SimSource::stopFeeder()
{
    m_xferLeft = 1; // the page already scanned is still delivered
    return pendingCount();
}

SimSource::Result SimSource::setupMemXfer(TW_SETUPMEMXFER& setup)
{
    PageSpec spec = state() == 6 ? m_page.spec : PageSpec{};
    if (state() != 6) {
        spec.width = std::max(1, pixelExtent(m_settings.right - m_settings.left, m_settings.xdpi));
        spec.height = std::max(1, pixelExtent(m_settings.bottom - m_settings.top, m_settings.ydpi));
        spec.pixelType = m_settings.pixelType;
        spec.bitDepth = m_settings.bitDepth;
    }
    const std::size_t align = m_settings.memRowAlign;
    const std::size_t row = (packedRowBytes(spec) + align - 1) / align * align;
    const std::size_t whole = row * static_cast<std::size_t>(spec.height);
    setup.MinBufSize = static_cast<TW_UINT32>(std::min<std::size_t>(row, 0xFFFFFFFFu));
    setup.MaxBufSize = static_cast<TW_UINT32>(
        std::min<std::size_t>(std::max<std::size_t>(whole, m_settings.memPreferred), 0xFFFFFFFFu));
    setup.Preferred = m_settings.memPreferred;
    return {TWRC_SUCCESS, TWCC_SUCCESS};
}

// 16-bit grey is written as TIFF only: a 16-bit BMP means 5-5-5 RGB.
bool SimSource::fileFormatAllowed(TW_UINT16 format) const
{
    return Source::fileFormatAllowed(format) && !(format == TWFF_BMP && grey16(m_settings));
}

TW_UINT16 SimSource::resetFileFormat() const
{
    return grey16(m_settings) ? TWFF_TIFF : TWFF_BMP;
}

SimSource::Result SimSource::deviceEvent(TW_MEMREF data)
{
    pTW_DEVICEEVENT ev = static_cast<pTW_DEVICEEVENT>(data);
    if (m_deviceEvents.empty())
        return Result::failure(TWCC_SEQERROR); // nothing happened
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

SimSource::Result SimSource::imageInfo(TW_IMAGEINFO& info)
{
    if (quirk(SIM_QUIRK_CANCEL_ILLEGAL) && onQuirkPage())
        return {TWRC_CANCEL, TWCC_SUCCESS};
    const PageSpec& spec = m_page.spec;
    const bool undefined = (m_settings.undefinedImageSize || m_settings.undefinedSize) && !m_page.finished;
    std::memset(&info, 0, sizeof info);
    // Resolutions are per unit of ICAP_UNITS, as the capabilities give them.
    CapInfo res;
    describeCap(m_settings, ICAP_XRESOLUTION, res);
    info.XResolution = toFix32(res.current);
    describeCap(m_settings, ICAP_YRESOLUTION, res);
    info.YResolution = toFix32(res.current);
    info.ImageWidth = spec.width;
    info.ImageLength = undefined ? -1 : spec.height;
    info.SamplesPerPixel = static_cast<TW_INT16>(samplesPerPixel(spec));
    for (int i = 0; i < info.SamplesPerPixel; ++i)
        info.BitsPerSample[i] = static_cast<TW_INT16>(spec.pixelType == TWPT_RGB ? 8 : spec.bitDepth);
    info.BitsPerPixel = static_cast<TW_INT16>(spec.bitDepth);
    info.Planar = FALSE;
    info.PixelType = static_cast<TW_INT16>(spec.pixelType);
    info.Compression =
        m_settings.xferMech == TWSX_MEMORY ? m_settings.compression : static_cast<TW_UINT16>(TWCP_NONE);
    if (quirk(SIM_QUIRK_INFO_UNKNOWN) && !m_page.finished)
        info.ImageWidth = info.ImageLength = -1;
    if (quirk(SIM_QUIRK_MEM_PAST_SIZE))
        info.ImageLength = std::max(1, spec.height - 10);
    if (quirk(SIM_QUIRK_INFO_ONE_BPS)) {
        for (int i = 1; i < 8; ++i)
            info.BitsPerSample[i] = 0;
    }
    return {TWRC_SUCCESS, TWCC_SUCCESS};
}

SimSource::Result SimSource::imageLayout(TW_UINT16 msg, TW_IMAGELAYOUT& layout)
{
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
        double left = fromUnits(s, fromFix32(layout.Frame.Left), true);
        double top = fromUnits(s, fromFix32(layout.Frame.Top), false);
        double right = fromUnits(s, fromFix32(layout.Frame.Right), true);
        double bottom = fromUnits(s, fromFix32(layout.Frame.Bottom), false);
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
    layout.Frame.Left = toFix32(toUnits(s, deflt ? 0 : s.left, true));
    layout.Frame.Top = toFix32(toUnits(s, deflt ? 0 : s.top, false));
    layout.Frame.Right = toFix32(toUnits(s, deflt ? kBedWidthInches : s.right, true));
    layout.Frame.Bottom = toFix32(toUnits(s, deflt ? kBedHeightInches : s.bottom, false));
    const TW_UINT32 page = state() == 6 ? m_pageNumber : m_pageNumber + 1;
    layout.DocumentNumber = page;
    layout.PageNumber = page;
    layout.FrameNumber = 1;
    return result;
}

void SimSource::transferStart()
{
    if (state() == 6 && onQuirkPage()) {
        // From inside the transfer, on the calling thread: certainly while it runs.
        if (quirk(SIM_QUIRK_CLOSE_DURING_XFER))
            notifyNow(MSG_CLOSEDSREQ);
        else if (quirk(SIM_QUIRK_XFERREADY_TWICE))
            notifyNow(MSG_XFERREADY);
    }
}

TW_UINT16 SimSource::doneCode() const
{
    return m_settings.successNotDone ? TWRC_SUCCESS : TWRC_XFERDONE;
}

SimSource::Result SimSource::nativeXfer(TW_HANDLE& image)
{
    transferStart();
    if (m_page.spec.page == m_settings.cancelPage || m_page.fake) {
        m_page.started = m_page.finished = true;
        setState(7);
        return {TWRC_CANCEL, TWCC_SUCCESS};
    }
    if (onQuirkPage() && (quirk(SIM_QUIRK_NATIVE_NULL) || quirk(SIM_QUIRK_NATIVE_FOREIGN))) {
        // No block at all, or the address of bytes nobody allocated.
        static TW_UINT8 s_notABlock[64];
        image = quirk(SIM_QUIRK_NATIVE_FOREIGN) ? static_cast<TW_HANDLE>(s_notABlock) : nullptr;
        m_page.started = m_page.finished = true;
        setState(7);
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
        image = h;
        m_page.started = m_page.finished = true;
        setState(7);
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
        image = h;
        m_page.started = m_page.finished = true;
        setState(7);
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
    image = h;
    m_page.started = m_page.finished = true;
    setState(7);
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

SimSource::Result SimSource::fileXfer()
{
    transferStart();
    if (m_page.spec.page == m_settings.cancelPage || m_page.fake) {
        m_page.started = m_page.finished = true;
        setState(7);
        return {TWRC_CANCEL, TWCC_SUCCESS};
    }
    std::vector<TW_UINT8> bmp;
    if (!pageFile(bmp)) {
        m_page.started = m_page.finished = true;
        setState(7);
        return {TWRC_FAILURE, TWCC_BADVALUE};
    }
    std::FILE* file = std::fopen(fileName().c_str(), "wb");
    bool written = file && std::fwrite(bmp.data(), 1, bmp.size(), file) == bmp.size();
    if (file && std::fclose(file) != 0)
        written = false;
    if (!written) {
        if (file)
            std::remove(fileName().c_str());
        return {TWRC_FAILURE, TWCC_FILEWRITEERROR};
    }
    m_page.started = m_page.finished = true;
    setState(7);
    return {doneCode(), TWCC_SUCCESS};
}

SimSource::Result SimSource::blockXfer(TW_UINT16 dat, TW_IMAGEMEMXFER& xfer, const dskit::AppBuffer& appBuffer)
{
    transferStart();

    TW_UINT8* const buffer = appBuffer.data();
    const std::size_t capacity = appBuffer.capacity();

    const PageSpec& spec = m_page.spec;
    if (quirk(SIM_QUIRK_MEM_FAIL_UNTOUCHED) && onQuirkPage() && state() == 7 && !m_page.fake &&
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

    xfer.Compression = jpeg ? static_cast<TW_UINT16>(TWCP_JPEG) : static_cast<TW_UINT16>(TWCP_NONE);
    xfer.BytesPerRow = static_cast<TW_UINT32>(rowBytes);
    xfer.Columns = quirk(SIM_QUIRK_MEM_NO_COLUMNS) ? 0u : static_cast<TW_UINT32>(spec.width);
    xfer.XOffset = 0;
    xfer.BytesWritten = 0;

    if (state() == 6) {
        setState(7);
        m_page.started = true;
        if (spec.page == m_settings.cancelPage || m_page.fake) {
            m_page.finished = true;
            xfer.Rows = 0;
            xfer.YOffset = 0;
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
        xfer.Rows = 0;
        xfer.YOffset = static_cast<TW_UINT32>(spec.height);
        return {TWRC_XFERDONE, TWCC_SUCCESS};
    }

    bool last = false;
    if (stream) {
        const std::size_t n = std::min(capacity, m_page.stream.size() - m_page.offset);
        std::memcpy(buffer, m_page.stream.data() + m_page.offset, n);
        m_page.offset += n;
        xfer.Rows = static_cast<TW_UINT32>(spec.height);
        xfer.YOffset = 0;
        xfer.BytesWritten = static_cast<TW_UINT32>(n);
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
        xfer.Rows = static_cast<TW_UINT32>(rows);
        xfer.YOffset = static_cast<TW_UINT32>(m_page.nextRow);
        xfer.BytesWritten = static_cast<TW_UINT32>(rows * rowBytes);
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

SimSource::Result SimSource::palette8(TW_MEMREF data)
{
    pTW_PALETTE8 palette = static_cast<pTW_PALETTE8>(data);
    const PageSpec spec = state() >= 6 ? m_page.spec : PageSpec{};
    const TW_UINT16 type = state() >= 6 ? spec.pixelType : m_settings.pixelType;
    const TW_UINT16 depth = state() >= 6 ? spec.bitDepth : m_settings.bitDepth;
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

SimSource::Result SimSource::extImageInfo(TW_MEMREF data)
{
    pTW_EXTIMAGEINFO ext = static_cast<pTW_EXTIMAGEINFO>(data);
    if (!m_settings.extImageInfo)
        return Result::failure(TWCC_SEQERROR); // not negotiated
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
    if (state() != 5)
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
    setState(6);
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
    if (state() < 6)
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
    clearEvents();
    m_deviceEvents.clear();
    m_page = Page{};
}

void SimSource::notify(TW_UINT16 msg)
{
    const Settings& s = m_settings;
    const bool viaDsm = notifiesThroughDsm() && hasDsm();
    if (m_joinNotify && viaDsm) {
        // From a thread of its own, and back before the call that caused it returns.
        std::thread(dsmDelivery(msg)).join();
        return;
    }
    if (!s.notifyThread) {
        notifyNow(msg);
        return;
    }
    if (viaDsm) {
        m_notifier.post(dsmDelivery(msg), s.notifyDelay);
    } else {
        m_notifier.post(
            [this, msg] {
                CallGuard guard(*this);
                postEvent(msg);
            },
            s.notifyDelay);
    }
}

void SimSource::notifyNow(TW_UINT16 msg)
{
    Source::notify(msg);
}

bool SimSource::notifiesThroughDsm() const
{
    return m_settings.notifyRoute != SIM_ROUTE_NONE;
}

void SimSource::eventPosted()
{
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
        CallGuard guard(*this);
        if (window == m_dialog && m_dialog) {
            switch (message) {
            case kWmScan:
                startScan();
                handled = true;
                break;
            case kWmCancel:
            case WM_CLOSE:
                if (inState(state(), 5, 7))
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
