#include "sources/sane/sanesource.h"

#include "sources/sane/sanecaps.h"


#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>

namespace sanesource {

namespace {

// What a worker stuck in SANE may still use: kept, never freed nor
// destroyed (destroying a worker would wait for it).
struct Abandoned
{
    void push_back(Worker* worker) { workers.push_back(worker); }
    void push_back(Device* device) { devices.push_back(device); }
    std::vector<Worker*> workers;
    std::vector<Device*> devices;
};

Abandoned& abandoned()
{
    static Abandoned* kept = new Abandoned;
    return *kept;
}

constexpr dskit::Identity kIdentity = {kManufacturer, kProductFamily, kProductName, "1.0 SANE"};

// The device's own triplets.
constexpr dskit::Triplet kSaneTriplets[] = {
    {DG_CONTROL, SANEDAT_DEVICE, MSG_GET, 4, 7, dskit::Data::Required},
    {DG_CONTROL, SANEDAT_DEVICE, MSG_SET, 4, 4, dskit::Data::Required},
    // The worker owns the device while it scans: options wait for state 4.
    {DG_CONTROL, SANEDAT_OPTION, MSG_GET, 4, 4, dskit::Data::Required},
    {DG_CONTROL, SANEDAT_OPTION, MSG_SET, 4, 4, dskit::Data::Required},
    {DG_CONTROL, SANEDAT_OPTIONINFO, MSG_GET, 4, 4, dskit::Data::Required},
};
static_assert(dskit::wellFormed(kSaneTriplets, sizeof kSaneTriplets / sizeof *kSaneTriplets), "SANE triplets");

} // namespace

SaneSource& SaneSource::instance()
{
    static SaneSource source;
    return source;
}

SaneSource::SaneSource()
    : Source(kIdentity, {dskit::kSessionTriplets, dskit::kImageTriplets, dskit::TripletTable(kSaneTriplets)})
{}

SaneSource::~SaneSource()
{
    // The library is being unloaded: the worker must not outlive its code.
    stopBatch();
    worker().stop();
}

void SaneSource::abandonWorker()
{
    // The worker is stuck inside SANE: it and its device are left to
    // themselves (never freed, never called again), a new worker serves on.
    if (m_device)
        m_device->markBroken();
    abandoned().push_back(m_worker.release());
    m_worker.reset(new Worker);
    std::lock_guard<std::mutex> lock(m_q);
    ++m_generation;
    m_batchRunning = false;
    m_qChanged.notify_all();
}

void SaneSource::log(const std::string& line) const
{
    std::fprintf(stderr, "%s: %s\n", kProductName, line.c_str());
    std::fflush(stderr);
}

SaneSource::Result SaneSource::call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data)
{
    if (dg == DG_CONTROL && dat == SANEDAT_DEVICE)
        return deviceInfo(msg, data);
    if (dg == DG_CONTROL && dat == SANEDAT_OPTION)
        return deviceOption(msg, data);
    if (dg == DG_CONTROL && dat == SANEDAT_OPTIONINFO)
        return deviceOptionInfo(data);
    return Result::failure(TWCC_BADPROTOCOL);
}

TW_UINT16 SaneSource::statusCondition(TW_UINT16 stored)
{
    // Why the worker asked to be closed is told once, before anything else.
    const TW_UINT16 closing = m_closeCondition.exchange(TWCC_SUCCESS);
    return closing != TWCC_SUCCESS ? closing : stored;
}

// ---------------------------------------------------------------------------
// Opening and closing

SaneSource::Result SaneSource::open()
{
    std::string error;
    m_api = SaneApi::load(error);
    if (!m_api) {
        log(error + "; install libsane1 to scan with SANE");
        return {TWRC_FAILURE, TWCC_OPERATIONERROR};
    }
    // A network backend writes to sockets whose peer may have gone.
    struct sigaction current;
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        std::signal(SIGPIPE, SIG_IGN);

    worker().start();
    Result result{TWRC_SUCCESS, TWCC_SUCCESS};
    worker().run([&] {
        if (!m_saneUp) {
            SANE_Int version = 0;
            const SANE_Status status = statusOf(m_api->init(&version, nullptr));
            if (status != SANE_STATUS_GOOD) {
                log("sane_init failed: " + statusName(status));
                result = {TWRC_FAILURE,
                          conditionFor(status) == TWCC_SUCCESS ? TWCC_OPERATIONERROR : conditionFor(status)};
                return;
            }
            m_saneUp = true;
        }
        m_listed = false;
        m_devices.clear();
        const char* wanted = std::getenv(kDeviceVariable);
        std::string name = wanted && *wanted ? wanted : "";
        if (name.empty()) {
            listDevices();
            if (m_devices.empty()) {
                log("SANE lists no device");
                result = {TWRC_FAILURE, TWCC_CHECKDEVICEONLINE};
                return;
            }
            name = m_devices.front().name;
        }
        result = openDevice(name);
    });
    if (result.rc != TWRC_SUCCESS) {
        worker().run([&] {
            if (m_saneUp && !(m_device && m_device->broken())) {
                m_api->exit();
                m_saneUp = false;
            }
        });
        worker().stop();
        return result;
    }
    m_xferCount = -1;
    m_xferMech = TWSX_NATIVE;
    m_units = TWUN_INCHES;
    m_fileFormat = TWFF_BMP;
    m_undefinedSize = false;
    m_indicators = true;
    {
        std::lock_guard<std::mutex> lock(m_q);
        m_pages.clear();
    }
    return {TWRC_SUCCESS, TWCC_SUCCESS};
}

void SaneSource::close()
{
    stopBatch();
    worker().run([&] {
        const bool broken = m_device && m_device->broken();
        closeDevice();
        // A broken network handle may crash sane_exit too: leave SANE as it is.
        if (m_saneUp && !broken) {
            m_api->exit();
            m_saneUp = false;
        }
    });
    worker().stop();
    std::lock_guard<std::mutex> lock(m_q);
    m_pages.clear();
}

void SaneSource::listDevices()
{
    m_devices.clear();
    const SANE_Device** list = nullptr;
    const SANE_Status status = statusOf(m_api->getDevices(&list, SANE_FALSE));
    if (status == SANE_STATUS_GOOD && list) {
        for (int i = 0; list[i] && i < 1000; ++i) {
            const SANE_Device* d = list[i];
            m_devices.push_back({d->name ? d->name : "", d->vendor ? d->vendor : "", d->model ? d->model : "",
                                 d->type ? d->type : ""});
        }
    } else if (status != SANE_STATUS_GOOD) {
        log("sane_get_devices failed: " + statusName(status));
    }
    m_listed = true;
}

SaneSource::Result SaneSource::openDevice(const std::string& name)
{
    closeDevice();
    m_device.reset(new Device(*m_api));
    const SANE_Status status = m_device->open(name);
    if (status != SANE_STATUS_GOOD) {
        log("cannot open the SANE device " + name + ": " + statusName(status));
        m_device.reset();
        TW_UINT16 cc = conditionFor(status);
        if (status == SANE_STATUS_INVAL || cc == TWCC_SUCCESS || cc == TWCC_OPERATIONERROR)
            cc = TWCC_CHECKDEVICEONLINE;
        return {TWRC_FAILURE, cc};
    }
    // Options the user asked for, before the defaults are taken.
    const char* options = std::getenv(kOptionsVariable);
    std::string list = options ? options : "";
    for (std::size_t at = 0; at < list.size();) {
        std::size_t end = list.find(';', at);
        if (end == std::string::npos)
            end = list.size();
        const std::string item = list.substr(at, end - at);
        at = end + 1;
        const std::size_t eq = item.find('=');
        if (item.empty() || eq == std::string::npos || eq == 0) {
            if (!item.empty())
                log("ignoring \"" + item + "\" in " + kOptionsVariable + ": not name=value");
            continue;
        }
        SANE_Int info = 0;
        const SANE_Status set = m_device->setText(item.substr(0, eq), item.substr(eq + 1), info);
        if (set != SANE_STATUS_GOOD)
            log("cannot set " + item + ": " + statusName(set));
    }
    m_device->refresh(m_dev);
    m_defaults = m_dev;
    return {TWRC_SUCCESS, TWCC_SUCCESS};
}

void SaneSource::closeDevice()
{
    // A broken device may still be in use by a worker stuck in SANE.
    if (m_device && m_device->broken())
        abandoned().push_back(m_device.release());
    if (m_device)
        m_device->close();
    m_device.reset();
    m_dev = DeviceState{};
}

void SaneSource::refresh()
{
    if (m_device)
        m_device->refresh(m_dev);
}

SaneSource::Result SaneSource::deviceInfo(TW_UINT16 msg, TW_MEMREF data)
{
    SANE_TW_DEVICE* info = static_cast<SANE_TW_DEVICE*>(data);
    if (msg == MSG_GET) {
        if (!m_listed && state() == 4)
            worker().run([&] { listDevices(); });
        std::vector<Listed> all = m_devices;
        std::size_t current = all.size();
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (m_device && all[i].name == m_device->name())
                current = i;
        }
        if (current == all.size() && m_device)
            all.push_back({m_device->name(), "", "", ""});
        const TW_UINT16 index = info->Index;
        std::memset(info, 0, sizeof *info);
        info->Index = index;
        info->Count = static_cast<TW_UINT16>(all.size());
        info->Current = static_cast<TW_UINT16>(current);
        if (index >= all.size())
            return {TWRC_FAILURE, TWCC_BADVALUE};
        copyText(info->Name, all[index].name);
        copyText(info->Vendor, all[index].vendor);
        copyText(info->Model, all[index].model);
        copyText(info->Type, all[index].type);
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    }
    if (msg == MSG_SET) {
        const void* end = std::memchr(info->Name, 0, sizeof info->Name);
        if (!end || end == info->Name)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        const std::string name(static_cast<const char*>(info->Name), static_cast<const char*>(end));
        Result result{TWRC_SUCCESS, TWCC_SUCCESS};
        const std::string before = m_device ? m_device->name() : "";
        worker().run([&] {
            result = openDevice(name);
            if (result.rc != TWRC_SUCCESS && !before.empty())
                openDevice(before); // stay with the device we had
        });
        return result;
    }
    return {TWRC_FAILURE, TWCC_BADPROTOCOL};
}

SaneSource::Result SaneSource::deviceOption(TW_UINT16 msg, TW_MEMREF data)
{
    SANE_TW_OPTION* option = static_cast<SANE_TW_OPTION*>(data);
    const void* nameEnd = std::memchr(option->Name, 0, sizeof option->Name);
    const void* valueEnd = std::memchr(option->Value, 0, sizeof option->Value);
    if (!nameEnd || !valueEnd || nameEnd == option->Name)
        return {TWRC_FAILURE, TWCC_BADVALUE};
    const std::string name(static_cast<const char*>(option->Name), static_cast<const char*>(nameEnd));
    const std::string wanted(static_cast<const char*>(option->Value), static_cast<const char*>(valueEnd));
    Result result{TWRC_SUCCESS, TWCC_SUCCESS};
    std::string value;
    worker().run([&] {
        if (!m_device || m_device->broken()) {
            result = {TWRC_FAILURE, TWCC_OPERATIONERROR};
            return;
        }
        SANE_Status status = SANE_STATUS_GOOD;
        SANE_Int info = 0;
        if (msg == MSG_SET) {
            status = m_device->setText(name, wanted, info);
            if (status == SANE_STATUS_GOOD)
                refresh();
        }
        if (status == SANE_STATUS_GOOD)
            status = m_device->getText(name, value);
        if (status != SANE_STATUS_GOOD) {
            const TW_UINT16 cc = conditionFor(status);
            result = {TWRC_FAILURE, cc == TWCC_SUCCESS ? TWCC_BADVALUE : cc};
        } else if (msg == MSG_SET && ((info & SANE_INFO_INEXACT) || value != wanted)) {
            result = {TWRC_CHECKSTATUS, TWCC_SUCCESS};
        }
    });
    if (result.rc != TWRC_FAILURE)
        copyText(option->Value, value);
    return result;
}

SaneSource::Result SaneSource::deviceOptionInfo(TW_MEMREF data)
{
    SANE_TW_OPTIONINFO* info = static_cast<SANE_TW_OPTIONINFO*>(data);
    const TW_UINT16 index = info->Index;
    Result result{TWRC_SUCCESS, TWCC_SUCCESS};
    if (index == 0 || m_optionInfos.empty()) {
        worker().run([&] {
            if (!m_device || m_device->broken()) {
                result = {TWRC_FAILURE, TWCC_OPERATIONERROR};
                return;
            }
            m_optionInfos = m_device->options();
        });
    }
    if (result.rc != TWRC_SUCCESS)
        return result;
    const std::vector<Device::OptionInfo>& all = m_optionInfos;
    std::memset(info, 0, sizeof *info);
    info->Index = index;
    info->Count = static_cast<TW_UINT16>(std::min<std::size_t>(all.size(), 0xFFFF));
    if (index >= all.size())
        return {TWRC_FAILURE, TWCC_BADVALUE};
    const Device::OptionInfo& option = all[index];
    info->Settable = option.settable ? 1 : 0;
    copyText(info->Name, option.name);
    copyText(info->Title, option.title);
    copyText(info->Unit, option.unit);
    copyText(info->Value, option.value);
    // A list too long for its room ends after its last whole value.
    std::string allowed = option.allowed;
    if (allowed.size() >= sizeof info->Allowed) {
        allowed.resize(sizeof info->Allowed - 4);
        const std::size_t last = allowed.rfind('|');
        if (last != std::string::npos)
            allowed.resize(last + 1);
        allowed += "...";
    }
    copyText(info->Allowed, allowed);
    return result;
}

} // namespace sanesource
