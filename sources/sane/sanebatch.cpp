// The SANE source's batch: enabling, the worker's page queue (it starts
// and reads the pages, the transfers take their lines), the bounds on every
// wait for the device, pending transfers.

#include "sources/sane/sanesource.h"

#include "sources/sane/sanecaps.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace sanesource {

namespace {

constexpr std::size_t kReadBlock = 128 * 1024;       // one sane_read at most
constexpr std::size_t kQueueLimit = 8 * 1024 * 1024; // SANE bytes held per page
constexpr std::size_t kReserveLimit = 64 * 1024 * 1024; // memory set aside ahead for a three-pass frame
constexpr int kStopWaitMs = 15000;                   // a cancelled scan has this long to wind down
// A transfer waits this long for the device's next byte; a device that sends
// nothing for so long (a stopped server, a broken backend) is given up.
constexpr std::chrono::seconds kNoDataLimit(5);
// The next sheet has this long to start (a lamp warming up, a slow feeder).
constexpr std::chrono::seconds kSheetStartLimit(60);

} // namespace

// ---------------------------------------------------------------------------
// Enabling, notifications and the batch

SaneSource::Result SaneSource::enable(const TW_USERINTERFACE&, bool uiOnly)
{
    if (uiOnly)
        return Result::failure(TWCC_BADPROTOCOL); // there is no dialog
    if (!m_device || m_device->broken())
        return {TWRC_FAILURE, TWCC_OPERATIONERROR};
    // There is no dialog: with ShowUI the scan starts as without it.
    startBatch();
    return {TWRC_SUCCESS, TWCC_SUCCESS};
}

void SaneSource::disable()
{
    stopBatch();
    m_closeCondition = TWCC_SUCCESS;
    std::lock_guard<std::mutex> lock(m_q);
    m_pages.clear();
}

void SaneSource::startBatch()
{
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(m_q);
        m_pages.clear();
        m_cancel = false;
        m_stopFeeder = false;
        m_batchRunning = true;
        m_closeCondition = TWCC_SUCCESS;
        m_xferLeft = m_xferCount;
        setState(5);
        generation = ++m_generation;
    }
    worker().post([this, generation] { runBatch(generation); });
}

void SaneSource::runBatch(std::uint64_t generation)
{
    // The device this batch scans. A worker given up as stuck that comes back
    // later finds it broken and leaves it; it never touches the device that
    // is current by then (closing a broken device keeps it for such workers).
    Device* const device = m_device.get();
    const bool feeder = m_dev.source.present() && isFeeder(m_dev.source.value);
    int started = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_q);
            if (m_cancel || generation != m_generation || (m_stopFeeder && started > 0))
                break;
        }
        const bool first = started == 0;
        {
            // One sheet ahead at most: the next starts once the page before
            // it is being taken.
            std::unique_lock<std::mutex> lock(m_q);
            m_qChanged.wait(lock,
                            [&] { return m_cancel || generation != m_generation || m_pages.size() < 2; });
            if (m_cancel || generation != m_generation || (m_stopFeeder && started > 0))
                break;
        }
        std::shared_ptr<Page> page = device ? startPage(*device, first) : nullptr;
        if (!page)
            break; // the feeder is empty (later pages), or cancelled
        bool xferReady = false;
        {
            std::lock_guard<std::mutex> lock(m_q);
            if (m_cancel || generation != m_generation)
                break;
            m_pages.push_back(page);
            if (first && state() == 5) {
                setState(6);
                xferReady = true;
            }
            m_qChanged.notify_all();
        }
        if (first && page->startStatus != SANE_STATUS_GOOD) {
            // Nothing to scan: the application is asked to close the source.
            {
                std::lock_guard<std::mutex> lock(m_q);
                if (generation != m_generation)
                    break; // this worker was given up meanwhile: the batch is not its own
                m_pages.clear();
                if (state() == 6)
                    setState(5);
            }
            m_closeCondition = conditionFor(page->startStatus) == TWCC_SUCCESS
                                   ? TWCC_OPERATIONERROR
                                   : conditionFor(page->startStatus);
            log("the scan did not start: " + statusName(page->startStatus));
            notify(MSG_CLOSEDSREQ);
            break;
        }
        if (xferReady)
            notify(MSG_XFERREADY);
        if (page->startStatus != SANE_STATUS_GOOD)
            break; // its transfer reports the failure
        ++started;
        if (!readPage(*device, page))
            break;
        if (!feeder)
            break; // the flatbed holds one page
        if (m_xferCount > 0 && started >= m_xferCount)
            break;
    }
    // The batch is over for SANE too.
    if (device)
        device->cancel();
    std::lock_guard<std::mutex> lock(m_q);
    if (generation == m_generation)
        m_batchRunning = false;
    m_qChanged.notify_all();
}

std::shared_ptr<Page> SaneSource::startPage(Device& device, bool first)
{
    auto page = std::make_shared<Page>();
    const SANE_Status status = device.start();
    if (status == SANE_STATUS_NO_DOCS && !first)
        return nullptr; // the end of the batch
    if (status != SANE_STATUS_GOOD) {
        if (!first)
            log("the next page did not start: " + statusName(status));
        if (status == SANE_STATUS_CANCELLED) {
            std::lock_guard<std::mutex> lock(m_q);
            if (m_cancel)
                return nullptr;
        }
        page->startStatus = status;
        return page;
    }
    SANE_Parameters& p = page->params;
    SANE_Status ps = device.parameters(p);
    const bool valid = ps == SANE_STATUS_GOOD && usableParameters(p);
    const bool threePass = valid && p.format >= SANE_FRAME_RED;
    if (!valid) {
        log("the device's image parameters are unusable (" + statusName(ps) + ")");
        page->startStatus = ps == SANE_STATUS_GOOD ? SANE_STATUS_INVAL : ps;
        if (ps == SANE_STATUS_GOOD || !device.broken())
            device.cancel();
        return page;
    }
    ImageShape& shape = page->shape;
    const bool colour = p.format != SANE_FRAME_GRAY;
    shape.kind = p.depth == 1 ? PixelKind::Bw
                 : colour     ? (p.depth == 16 ? PixelKind::Rgb48 : PixelKind::Rgb24)
                              : (p.depth == 16 ? PixelKind::Gray16 : PixelKind::Gray8);
    shape.width = p.pixels_per_line;
    shape.height = p.lines;
    // The resolution the page is scanned with (options cannot be read while
    // the device scans).
    shape.xdpi = dpi(true);
    shape.ydpi = dpi(false);
    if (threePass && !readThreePass(device, page))
        return page; // ended with the page's status
    return page;
}

bool SaneSource::readThreePass(Device& device, const std::shared_ptr<Page>& page)
{
    // Three frames, one per colour: the page is put together before it is
    // handed on, as one RGB frame.
    const SANE_Parameters first = page->params;
    const std::uint64_t plane =
        static_cast<std::uint64_t>(first.bytes_per_line) * static_cast<std::uint64_t>(std::max(0, first.lines));
    const std::size_t bytesPerSample = first.depth == 16 ? 2 : 1;
    const std::size_t ppl = static_cast<std::size_t>(first.pixels_per_line);
    std::vector<std::uint8_t> rgb;
    std::vector<std::uint8_t> frame;
    std::vector<std::uint8_t> buffer(kReadBlock);
    SANE_Parameters p = first;
    std::int32_t lines = first.lines;
    for (int pass = 0; pass < 3; ++pass) {
        if (pass > 0) {
            SANE_Status s = device.start();
            if (s == SANE_STATUS_GOOD)
                s = device.parameters(p);
            if (s != SANE_STATUS_GOOD || p.bytes_per_line != first.bytes_per_line ||
                p.pixels_per_line != first.pixels_per_line || p.depth != first.depth ||
                formatOf(p) < SANE_FRAME_RED || formatOf(p) > SANE_FRAME_BLUE) {
                std::lock_guard<std::mutex> lock(m_q);
                page->ended = true;
                page->endStatus = s == SANE_STATUS_GOOD ? SANE_STATUS_INVAL : s;
                return false;
            }
        }
        frame.clear();
        // Announced, not yet delivered: only so much is set aside ahead.
        frame.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(plane, kReserveLimit)));
        SANE_Status s = SANE_STATUS_GOOD;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(m_q);
                if (m_cancel)
                    device.cancel();
            }
            SANE_Int n = 0;
            s = device.read(buffer.data(), static_cast<SANE_Int>(buffer.size()), n);
            if (n > 0)
                frame.insert(frame.end(), buffer.begin(), buffer.begin() + n);
            if (s != SANE_STATUS_GOOD)
                break;
        }
        const std::size_t bpl = static_cast<std::size_t>(first.bytes_per_line);
        if (lines < 0)
            lines = static_cast<std::int32_t>(frame.size() / bpl);
        const std::uint64_t want = static_cast<std::uint64_t>(bpl) * static_cast<std::uint64_t>(lines);
        if (s != SANE_STATUS_EOF || frame.size() != want) {
            std::lock_guard<std::mutex> lock(m_q);
            page->ended = true;
            page->endStatus = s == SANE_STATUS_EOF ? SANE_STATUS_CANCELLED : s;
            return false;
        }
        if (rgb.empty())
            rgb.assign(ppl * 3 * bytesPerSample * static_cast<std::size_t>(lines), 0);
        const std::size_t channel = p.format == SANE_FRAME_RED ? 0 : p.format == SANE_FRAME_GREEN ? 1 : 2;
        for (std::size_t y = 0; y < static_cast<std::size_t>(lines); ++y) {
            const std::uint8_t* src = frame.data() + y * bpl;
            std::uint8_t* dst = rgb.data() + y * ppl * 3 * bytesPerSample;
            for (std::size_t x = 0; x < ppl; ++x)
                std::memcpy(dst + (3 * x + channel) * bytesPerSample, src + x * bytesPerSample,
                            bytesPerSample);
        }
        if (p.last_frame)
            break;
    }
    std::lock_guard<std::mutex> lock(m_q);
    page->params.format = SANE_FRAME_RGB;
    page->params.bytes_per_line = static_cast<SANE_Int>(ppl * 3 * bytesPerSample);
    page->params.lines = lines;
    page->params.last_frame = SANE_TRUE;
    page->shape.height = lines;
    page->received = rgb.size();
    page->queued = rgb.size();
    page->chunks.push_back(std::move(rgb));
    page->ended = true;
    page->endStatus = SANE_STATUS_EOF;
    m_qChanged.notify_all();
    return true;
}

void SaneSource::pushData(const std::shared_ptr<Page>& page, const std::uint8_t* data, std::size_t n)
{
    std::unique_lock<std::mutex> lock(m_q);
    // Bounded: wait while the application has not taken enough, unless it
    // wants the whole page first.
    m_qChanged.wait(
        lock, [&] { return m_cancel || page->discard || page->unbounded || page->queued < kQueueLimit; });
    if (m_cancel)
        return;
    page->received += n;
    if (page->discard)
        return;
    page->chunks.emplace_back(data, data + n);
    page->queued += n;
    m_qChanged.notify_all();
}

bool SaneSource::readPage(Device& device, const std::shared_ptr<Page>& page)
{
    if (page->ended)
        return page->complete(); // three-pass pages come whole
    std::vector<std::uint8_t> buffer(kReadBlock);
    SANE_Status status = SANE_STATUS_GOOD;
    const std::int64_t expected = page->expectedBytes();
    bool cancelled = false;
    bool idle = false;
    std::chrono::steady_clock::time_point idleSince;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_q);
            cancelled = m_cancel;
        }
        if (cancelled) {
            device.cancel();
            // Drain what the backend still has, a bounded number of times.
            for (int i = 0; i < 10000 && !device.broken(); ++i) {
                SANE_Int n = 0;
                if (device.read(buffer.data(), static_cast<SANE_Int>(buffer.size()), n) !=
                    SANE_STATUS_GOOD)
                    break;
            }
            status = SANE_STATUS_CANCELLED;
            break;
        }
        SANE_Int max = static_cast<SANE_Int>(buffer.size());
        SANE_Int n = 0;
        status = device.read(buffer.data(), max, n);
        if (status == SANE_STATUS_GOOD && n == 0) {
            // Now and then a network read brings nothing; a device that only
            // ever does (its daemon gone) is given up.
            const auto now = std::chrono::steady_clock::now();
            if (!idle)
                idleSince = now;
            idle = true;
            if (now - idleSince > kNoDataLimit) {
                log("the device sends no data; it is not used again");
                device.markBroken();
                status = SANE_STATUS_IO_ERROR;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        idle = false;
        if (n > 0) {
            // More than the page holds is not the page's.
            std::size_t keep = static_cast<std::size_t>(n);
            if (expected >= 0) {
                const std::uint64_t room =
                    static_cast<std::uint64_t>(expected) -
                    std::min<std::uint64_t>(page->received, static_cast<std::uint64_t>(expected));
                keep = static_cast<std::size_t>(std::min<std::uint64_t>(keep, room));
            }
            if (keep)
                pushData(page, buffer.data(), keep);
        }
        if (status != SANE_STATUS_GOOD)
            break;
    }
    std::lock_guard<std::mutex> lock(m_q);
    page->ended = true;
    page->endStatus = status;
    if (status != SANE_STATUS_EOF)
        log("the page ended with " + statusName(status));
    else if (!page->complete())
        log("the page ended early: " + std::to_string(page->received) + " bytes");
    m_qChanged.notify_all();
    return page->complete();
}

void SaneSource::stopBatch(bool interrupt)
{
    bool running = false;
    {
        std::lock_guard<std::mutex> lock(m_q);
        running = m_batchRunning;
        m_cancel = true;
        m_qChanged.notify_all();
    }
    if (running && interrupt && m_device)
        m_device->cancel(); // interrupts a start or a read that waits for the device
    waitBatchIdle();
}

bool SaneSource::waitBatchIdle()
{
    std::unique_lock<std::mutex> lock(m_q);
    if (!m_qChanged.wait_for(lock, std::chrono::milliseconds(kStopWaitMs),
                             [this] { return !m_batchRunning; })) {
        log("the device did not stop; it is not used again");
        lock.unlock();
        abandonWorker();
        return false;
    }
    return true;
}

std::shared_ptr<Page> SaneSource::frontPage()
{
    std::unique_lock<std::mutex> lock(m_q);
    m_qChanged.wait_for(lock, kSheetStartLimit, [this] { return !m_pages.empty() || !m_batchRunning; });
    return m_pages.empty() ? nullptr : m_pages.front();
}

bool SaneSource::readLine(Page& page, std::uint8_t* line)
{
    const std::size_t want = static_cast<std::size_t>(page.params.bytes_per_line);
    std::unique_lock<std::mutex> lock(m_q);
    if (!awaitData(lock, page, [&] { return page.queued >= want || page.ended; }))
        return false;
    if (page.queued < want)
        return false;
    std::size_t got = 0;
    while (got < want) {
        std::vector<std::uint8_t>& chunk = page.chunks.front();
        const std::size_t n = std::min(want - got, chunk.size() - page.headOffset);
        std::memcpy(line + got, chunk.data() + page.headOffset, n);
        got += n;
        page.headOffset += n;
        if (page.headOffset == chunk.size()) {
            page.chunks.pop_front();
            page.headOffset = 0;
        }
    }
    page.queued -= want;
    m_qChanged.notify_all();
    return true;
}

bool SaneSource::moreData(Page& page)
{
    // Whether another line follows: known from the length, else wait and see.
    if (page.params.lines >= 0)
        return page.rowsOut < page.params.lines;
    std::unique_lock<std::mutex> lock(m_q);
    awaitData(lock, page, [&] { return page.queued > 0 || page.ended; });
    return page.queued >= static_cast<std::size_t>(page.params.bytes_per_line);
}

SaneSource::Result SaneSource::pageStartFailure(const Page& page)
{
    const TW_UINT16 cc = conditionFor(page.startStatus);
    return {TWRC_FAILURE, cc == TWCC_SUCCESS ? TWCC_OPERATIONERROR : cc};
}

bool SaneSource::awaitData(std::unique_lock<std::mutex>& lock, Page& page, const std::function<bool()>& ready)
{
    // Counted from the last byte that came, so a long page of a slow device
    // is never cut short.
    std::uint64_t seen = page.received;
    auto deadline = std::chrono::steady_clock::now() + kNoDataLimit;
    while (!ready()) {
        if (page.stalled)
            return false;
        const bool late = m_qChanged.wait_until(lock, deadline) == std::cv_status::timeout;
        if (page.received != seen) {
            seen = page.received;
            deadline = std::chrono::steady_clock::now() + kNoDataLimit;
        } else if (late && !ready()) {
            page.stalled = true;
            return false;
        }
    }
    return true;
}

void SaneSource::giveUp(const std::string& why)
{
    // The worker may be inside SANE for good, waiting for a server that does
    // not answer; a cancel would wait the same. Neither is used again, and
    // nothing waits for them: the batch ends here.
    log(why + "; it is not used again");
    bool running = false;
    {
        std::lock_guard<std::mutex> lock(m_q);
        running = m_batchRunning;
        m_cancel = true;
        m_qChanged.notify_all();
    }
    if (m_device)
        m_device->markBroken();
    if (running)
        abandonWorker();
}

SaneSource::Result SaneSource::pageFailure(Page& page)
{
    // A page that did not come whole is never handed over as complete.
    page.done = true;
    bool stalled = false;
    {
        std::lock_guard<std::mutex> lock(m_q);
        stalled = page.stalled;
    }
    if (stalled) {
        giveUp("the device sent no data for " + std::to_string(kNoDataLimit.count()) + " seconds");
        return {TWRC_FAILURE, TWCC_CHECKDEVICEONLINE};
    }
    bool cancelled = false;
    {
        std::unique_lock<std::mutex> lock(m_q);
        cancelled = m_cancel;
        if (!page.ended) {
            lock.unlock();
            stopBatch();
            lock.lock();
        }
    }
    if (cancelled || page.endStatus == SANE_STATUS_CANCELLED)
        return {TWRC_CANCEL, TWCC_SUCCESS};
    const TW_UINT16 cc = conditionFor(page.endStatus);
    return {TWRC_FAILURE, cc == TWCC_SUCCESS ? TWCC_OPERATIONERROR : cc};
}

TW_UINT16 SaneSource::pendingCount()
{
    std::unique_lock<std::mutex> lock(m_q);
    // The next page's start decides: wait for it.
    if (!m_qChanged.wait_for(lock, kSheetStartLimit, [this] { return !m_pages.empty() || !m_batchRunning; })) {
        lock.unlock();
        // A cancel could wait as long for a device that does not answer.
        giveUp("the next sheet did not start within " + std::to_string(kSheetStartLimit.count()) + " seconds");
        return 0;
    }
    if (m_pages.empty())
        return 0;
    if (m_xferCount > 0)
        return static_cast<TW_UINT16>(std::max<TW_INT32>(1, m_xferLeft));
    return 0xFFFF; // -1: more may follow, as the feeder decides
}

TW_UINT16 SaneSource::transfersPending()
{
    if (state() < 6)
        return 0;
    return m_xferCount > 0 ? static_cast<TW_UINT16>(std::max<TW_INT32>(1, m_xferLeft)) : 0xFFFF;
}

SaneSource::Result SaneSource::endXfer(TW_PENDINGXFERS& pending, bool& more)
{
    std::shared_ptr<Page> page;
    {
        std::lock_guard<std::mutex> lock(m_q);
        if (!m_pages.empty())
            page = m_pages.front();
    }
    if (page && !page->done && page->startStatus == SANE_STATUS_GOOD) {
        // The rest of this page is not wanted; the sheet still has to go
        // through, and the next one comes as usual.
        std::lock_guard<std::mutex> lock(m_q);
        page->discard = true;
        page->chunks.clear();
        page->headOffset = 0;
        page->queued = 0;
        m_qChanged.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(m_q);
        if (!m_pages.empty())
            m_pages.pop_front();
        if (m_xferLeft > 0)
            --m_xferLeft;
        m_qChanged.notify_all();
    }
    const bool wanted = m_xferCount != 0 && !(m_xferCount > 0 && m_xferLeft <= 0);
    pending.Count = wanted ? pendingCount() : 0;
    more = pending.Count != 0;
    if (!more) {
        // The batch winds down on the worker, which cancels the device itself:
        // a cancel from here could wait for good on a server that stopped.
        stopBatch(false);
        std::lock_guard<std::mutex> lock(m_q);
        m_pages.clear();
    }
    return Result::success();
}

void SaneSource::resetXfers()
{
    stopBatch();
    std::lock_guard<std::mutex> lock(m_q);
    m_pages.clear();
}

TW_UINT16 SaneSource::stopFeeder()
{
    std::lock_guard<std::mutex> lock(m_q);
    m_stopFeeder = true;
    return m_batchRunning ? 0xFFFF : static_cast<TW_UINT16>(m_pages.size());
}

} // namespace sanesource
