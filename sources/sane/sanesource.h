#ifndef PELIRAND_SOURCES_SANE_SANESOURCE_H
#define PELIRAND_SOURCES_SANE_SANESOURCE_H

#include "sources/sane/sanedevice.h"
#include <pelirand/sanetwain.h>
#include "sources/sane/saneimage.h"
#include "sources/sane/saneworker.h"
#include "sources/kit/source.h"

#include "platform/win32.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sanesource {

// One page as it comes from the device: the worker appends SANE's bytes,
// the transfer takes them line by line. Guarded by SaneSource::m_q.
struct Page
{
    SANE_Status startStatus = SANE_STATUS_GOOD; // not GOOD: the page never started
    SANE_Parameters params{};
    ImageShape shape;
    std::deque<std::vector<std::uint8_t>> chunks;
    std::size_t headOffset = 0;
    std::size_t queued = 0;
    std::uint64_t received = 0;
    bool ended = false;
    SANE_Status endStatus = SANE_STATUS_GOOD;
    bool unbounded = false; // the whole page is wanted before the transfer
    bool discard = false;   // the application ended it early: the rest is dropped
    bool stalled = false;   // a transfer waited in vain for the device's next byte

    std::int32_t rowsOut = 0;  // transfer rows handed over
    bool transferring = false; // a transfer triplet took it to state 7
    bool done = false;         // handed over completely

    // Memory-file transfers: bytes still to hand out, and how far.
    std::vector<std::uint8_t> stream;
    std::size_t streamOffset = 0;
    bool streamHeaderSent = false;
    bool streamWhole = false;

    std::int64_t expectedBytes() const
    {
        return params.lines >= 0 ? static_cast<std::int64_t>(params.bytes_per_line) * params.lines : -1;
    }
    std::int32_t lines() const
    {
        if (params.lines >= 0)
            return params.lines;
        return params.bytes_per_line > 0 ? static_cast<std::int32_t>(received / params.bytes_per_line) : 0;
    }
    // Every byte SANE announced came, and the device said EOF.
    bool complete() const
    {
        if (!ended || endStatus != SANE_STATUS_EOF || params.bytes_per_line <= 0)
            return false;
        const std::int64_t expected = expectedBytes();
        if (expected >= 0)
            return static_cast<std::int64_t>(received) == expected;
        return received > 0 && received % static_cast<std::uint64_t>(params.bytes_per_line) == 0;
    }
};

// The SANE source on the data-source kit: one SANE device behind DS_Entry,
// its capability rows, the worker's page queue and the four transfers. One
// class, its parts in files by job: sanesource.cpp (dispatch, opening,
// devices, options by name), sanesourcecaps.cpp (capabilities, frame and
// layout; the mapping itself is sanecaps.h), sanebatch.cpp (enabling, the
// worker's page queue, its waits and their bounds, pending transfers),
// sanexfer.cpp (image information, the four transfers and their encoders).
//
// TWAIN calls arrive on the application's thread, serialised by the kit's
// call lock. Every SANE call runs on the worker (saneworker.h); the batch it
// scans is shared through m_q, under which the worker also moves the state
// from 5 to 6 (and back when nothing could be scanned).
class SaneSource : public dskit::Source, private dskit::CapabilityModel
{
public:
    static SaneSource& instance();
    ~SaneSource() override;

private:
    using Result = dskit::Result;

    SaneSource();

    // The kit's seams
    Result open() override;
    void close() override;
    Result call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) override;
    dskit::CapabilityModel& capabilities() override { return *this; }
    TW_UINT16 fileFormat() const override { return m_fileFormat; }
    void setFileFormat(TW_UINT16 format) override { m_fileFormat = format; }
    TW_UINT16 statusCondition(TW_UINT16 stored) override;

    // Capabilities
    const dskit::CapRow* rows(std::size_t& count) const override;
    bool describe(TW_UINT16 cap, dskit::CapInfo& info) override;
    Result set(TW_UINT16 cap, double value) override;
    Result reset(TW_UINT16 cap) override;
    Result resetAll() override;
    bool answer(TW_UINT16 msg, pTW_CAPABILITY cap, int state, Result& result) override;

    // DG_CONTROL
    Result enable(const TW_USERINTERFACE& ui, bool uiOnly) override;
    void disable() override;
    TW_UINT16 transfersPending() override;
    Result endXfer(TW_PENDINGXFERS& pending, bool& more) override;
    void resetXfers() override;
    TW_UINT16 stopFeeder() override;
    Result setupMemXfer(TW_SETUPMEMXFER& setup) override;
    Result deviceInfo(TW_UINT16 msg, TW_MEMREF data);
    Result deviceOption(TW_UINT16 msg, TW_MEMREF data);
    Result deviceOptionInfo(TW_MEMREF data);

    // DG_IMAGE
    Result imageInfo(TW_IMAGEINFO& info) override;
    Result imageLayout(TW_UINT16 msg, TW_IMAGELAYOUT& layout) override;
    Result nativeXfer(TW_HANDLE& image) override;
    Result fileXfer() override;
    Result memXfer(TW_IMAGEMEMXFER& xfer, const dskit::AppBuffer& appBuffer) override;
    Result memFileXfer(TW_IMAGEMEMXFER& xfer, const dskit::AppBuffer& appBuffer) override;
    TW_UINT16 transferMechanism() const override { return m_xferMech; }
    bool transferUnderway() override;
    // The page a transfer takes: false with the refusal when no page is
    // there or it never started.
    bool transferPage(std::shared_ptr<Page>& page, Result& refusal);
    // Waits (bounded) for the device's end of the page: whether it came
    // whole, and with allTaken whether every line of it has been taken.
    bool pageCompleted(Page& page, bool allTaken = false);

    // Capabilities
    Result setCap(TW_UINT16 cap, double value);
    Result resetCap(TW_UINT16 cap);
    Result setFrame(double left, double top, double right, double bottom);
    Result frames(TW_UINT16 msg, pTW_CAPABILITY cap);
    double dpi(bool x) const;
    double unitsPerInch() const;
    double mmToUnits(double mm, bool x) const;
    double unitsToMm(double units, bool x) const;

    // The device, on the worker
    Result openDevice(const std::string& name);
    void closeDevice();
    void listDevices();
    Result deviceCall(const std::function<SANE_Status(SANE_Int&)>& call, bool& inexact);
    void refresh();

    // Scanning
    void startBatch();
    void runBatch(std::uint64_t generation);
    std::shared_ptr<Page> startPage(Device& device, bool first);
    bool readPage(Device& device, const std::shared_ptr<Page>& page);
    bool readThreePass(Device& device, const std::shared_ptr<Page>& page);
    void pushData(const std::shared_ptr<Page>& page, const std::uint8_t* data, std::size_t n);
    // Ends the batch and waits (bounded) for the worker; interrupt: cancel
    // the device from this thread too, for a start or read that waits for it.
    void stopBatch(bool interrupt = true);
    bool waitBatchIdle();
    std::shared_ptr<Page> frontPage();
    bool readLine(Page& page, std::uint8_t* line);
    bool moreData(Page& page);
    // Waits (m_q held through lock) until ready(); false once the device has
    // sent no byte of the page for a while, the page then being stalled.
    bool awaitData(std::unique_lock<std::mutex>& lock, Page& page, const std::function<bool()>& ready);
    // Ends the batch without a further call to a device that stopped
    // answering; the device is broken from then on.
    void giveUp(const std::string& why);
    Result pageFailure(Page& page);
    Result pageStartFailure(const Page& page);
    TW_UINT16 pendingCount();
    void log(const std::string& line) const;

    // Memory for the application: the DSM's, else global memory.
    TW_HANDLE allocate(std::size_t size);
    void* lock(TW_HANDLE h);
    void unlock(TW_HANDLE h);
    void release(TW_HANDLE h);

    // Why the worker asked to be closed; DAT_STATUS tells it once.
    std::atomic<TW_UINT16> m_closeCondition{TWCC_SUCCESS};

    const SaneApi* m_api = nullptr;
    bool m_saneUp = false;
    std::unique_ptr<Device> m_device;
    std::unique_ptr<Worker> m_worker{new Worker};
    Worker& worker() { return *m_worker; }
    void abandonWorker();
    DeviceState m_dev;      // the device's options as last read
    DeviceState m_defaults; // as the device was opened
    struct Listed
    {
        std::string name, vendor, model, type;
    };
    std::vector<Listed> m_devices;
    bool m_listed = false;
    // The device's options as SANEDAT_OPTIONINFO's Index 0 read them: one
    // reading serves the whole walk (through saned each value is a round trip).
    std::vector<Device::OptionInfo> m_optionInfos;

    // Settings kept by the source.
    TW_INT16 m_xferCount = -1;
    TW_UINT16 m_xferMech = TWSX_NATIVE;
    TW_UINT16 m_units = TWUN_INCHES;
    TW_UINT16 m_fileFormat = TWFF_BMP;
    bool m_undefinedSize = false;
    bool m_indicators = true;

    // The batch, shared with the worker.
    std::mutex m_q;
    std::condition_variable m_qChanged;
    std::deque<std::shared_ptr<Page>> m_pages;
    bool m_batchRunning = false;
    bool m_cancel = false;
    bool m_stopFeeder = false;
    std::uint64_t m_generation = 0;
    TW_INT32 m_xferLeft = 0;
};

} // namespace sanesource

#endif // PELIRAND_SOURCES_SANE_SANESOURCE_H
