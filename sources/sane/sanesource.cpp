#include "sources/sane/sanesource.h"

#include "sources/kit/appbuffer.h"
#include "sources/kit/container.h"
#include "sources/kit/memory.h"

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

using dskit::AppBuffer;
using dskit::CapInfo;
using dskit::fromFix32;
using dskit::toFix32;

namespace {

constexpr std::size_t kReadBlock = 128 * 1024;       // one sane_read at most
constexpr std::size_t kQueueLimit = 8 * 1024 * 1024; // SANE bytes held per page
constexpr std::size_t kPreferredBlock = 1024 * 1024; // DAT_SETUPMEMXFER's Preferred
constexpr std::size_t kReserveLimit = 64 * 1024 * 1024; // memory set aside ahead for a three-pass frame
constexpr int kStopWaitMs = 15000;                   // a cancelled scan has this long to wind down
// A transfer waits this long for the device's next byte; a device that sends
// nothing for so long (a stopped server, a broken backend) is given up.
constexpr std::chrono::seconds kNoDataLimit(5);
// The next sheet has this long to start (a lamp warming up, a slow feeder).
constexpr std::chrono::seconds kSheetStartLimit(60);
constexpr double kTolerance = 1.0 / 65536;

template <std::size_t N>
void copyText(char (&to)[N], const std::string& from)
{
    std::strncpy(to, from.c_str(), N - 1);
    to[N - 1] = '\0';
}

std::string lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool contains(const std::string& s, const char* what)
{
    return lower(s).find(what) != std::string::npos;
}

// What a SANE scan mode delivers, as a TWAIN pixel type; 0xFFFF: unknown.
TW_UINT16 modeType(const std::string& mode)
{
    if (contains(mode, "lineart") || contains(mode, "halftone") || contains(mode, "binary") ||
        contains(mode, "black"))
        return TWPT_BW;
    if (contains(mode, "gray") || contains(mode, "grey"))
        return TWPT_GRAY;
    if (contains(mode, "color") || contains(mode, "colour"))
        return TWPT_RGB;
    return 0xFFFF;
}

bool isFeeder(const std::string& source)
{
    return contains(source, "adf") || contains(source, "feeder") || contains(source, "document") ||
           contains(source, "duplex");
}

bool isDuplex(const std::string& source)
{
    return contains(source, "duplex");
}

bool near(double a, double b)
{
    return std::fabs(a - b) < 0.01;
}

// TWAIN's -1000..1000 onto an option's range and back.
double toDevice(const NumOption& o, double twain)
{
    double v = o.min + (twain + 1000.0) / 2000.0 * (o.max - o.min);
    if (o.quant > 0)
        v = o.min + std::round((v - o.min) / o.quant) * o.quant;
    return std::min(o.max, std::max(o.min, v));
}

double fromDevice(const NumOption& o, double v)
{
    return o.max > o.min ? std::round((v - o.min) / (o.max - o.min) * 2000.0 - 1000.0) : 0;
}

void rangeOf(const NumOption& o, double& min, double& max)
{
    if (o.range) {
        min = o.min;
        max = o.max;
    } else if (!o.list.empty()) {
        min = *std::min_element(o.list.begin(), o.list.end());
        max = *std::max_element(o.list.begin(), o.list.end());
    } else {
        min = max = o.value;
    }
}

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
};
static_assert(dskit::wellFormed(kSaneTriplets, sizeof kSaneTriplets / sizeof *kSaneTriplets), "SANE triplets");

using dskit::Access;
constexpr TW_UINT8 kOne = dskit::kOneValue;
constexpr TW_UINT8 kEnum = dskit::kEnumeration;
constexpr TW_UINT8 kRangeOrList = dskit::kRange | dskit::kEnumeration;

// What the source answers when the device has it (describe() says).
constexpr dskit::CapRow kRows[] = {
    {CAP_SUPPORTEDCAPS, TWTY_UINT16, dskit::kArray, Access::ReadOnly},
    {CAP_EXTENDEDCAPS, TWTY_UINT16, dskit::kArray, Access::ReadOnly},
    {CAP_XFERCOUNT, TWTY_INT16, kOne, Access::Settable},
    {CAP_UICONTROLLABLE, TWTY_BOOL, kOne, Access::ReadOnly},
    {CAP_ENABLEDSUIONLY, TWTY_BOOL, kOne, Access::ReadOnly},
    {CAP_INDICATORS, TWTY_BOOL, kOne, Access::Settable},
    {CAP_DEVICEONLINE, TWTY_BOOL, kOne, Access::ReadOnly},
    {CAP_FEEDERENABLED, TWTY_BOOL, kOne, Access::Settable},
    {CAP_FEEDERLOADED, TWTY_BOOL, kOne, Access::ReadOnly},
    {CAP_DUPLEXENABLED, TWTY_BOOL, kOne, Access::Settable},
    {ICAP_XFERMECH, TWTY_UINT16, kEnum, Access::Settable},
    {ICAP_PIXELTYPE, TWTY_UINT16, kEnum, Access::Settable},
    {ICAP_BITDEPTH, TWTY_UINT16, kEnum, Access::Settable},
    {ICAP_XRESOLUTION, TWTY_FIX32, kRangeOrList, Access::Settable},
    {ICAP_YRESOLUTION, TWTY_FIX32, kRangeOrList, Access::Settable},
    {ICAP_UNITS, TWTY_UINT16, kEnum, Access::Settable},
    {ICAP_PHYSICALWIDTH, TWTY_FIX32, kOne, Access::ReadOnly},
    {ICAP_PHYSICALHEIGHT, TWTY_FIX32, kOne, Access::ReadOnly},
    {ICAP_FRAMES, TWTY_FRAME, kOne, Access::Settable},
    {ICAP_COMPRESSION, TWTY_UINT16, kEnum, Access::Settable},
    {ICAP_IMAGEFILEFORMAT, TWTY_UINT16, kEnum, Access::Settable},
    {ICAP_PIXELFLAVOR, TWTY_UINT16, kEnum, Access::Settable},
    {ICAP_UNDEFINEDIMAGESIZE, TWTY_BOOL, kOne, Access::Settable},
    {ICAP_BRIGHTNESS, TWTY_FIX32, dskit::kRange, Access::Settable},
    {ICAP_CONTRAST, TWTY_FIX32, dskit::kRange, Access::Settable},
    {SANECAP_DEVICE, TWTY_UINT16, kEnum, Access::Extended},
};
static_assert(dskit::wellFormed(kRows, sizeof kRows / sizeof *kRows), "SANE capability rows");

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
    if (dg == DG_CONTROL) {
        switch (dat) {
        case DAT_USERINTERFACE:
            return userInterface(msg, data);
        case DAT_PENDINGXFERS:
            return pendingXfers(msg, data);
        case DAT_SETUPMEMXFER:
            return setupMemXfer(data);
        case SANEDAT_DEVICE:
            return deviceInfo(msg, data);
        case SANEDAT_OPTION:
            return deviceOption(msg, data);
        default:
            break;
        }
    } else if (dg == DG_IMAGE) {
        switch (dat) {
        case DAT_IMAGEINFO:
            return imageInfo(data);
        case DAT_IMAGELAYOUT:
            return imageLayout(msg, data);
        case DAT_IMAGENATIVEXFER:
            return nativeXfer(data);
        case DAT_IMAGEFILEXFER:
            return fileXfer();
        case DAT_IMAGEMEMXFER:
            return memXfer(data);
        case DAT_IMAGEMEMFILEXFER:
            return memFileXfer(data);
        default:
            break;
        }
    }
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

// ---------------------------------------------------------------------------
// Capabilities

double SaneSource::unitsPerInch() const
{
    switch (m_units) {
    case TWUN_CENTIMETERS:
        return 2.54;
    case TWUN_PICAS:
        return 6;
    case TWUN_POINTS:
        return 72;
    case TWUN_TWIPS:
        return 1440;
    case TWUN_MILLIMETERS:
        return 25.4;
    case TWUN_PIXELS:
        return 0;
    default:
        return 1;
    }
}

double SaneSource::dpi(bool x) const
{
    const NumOption& own = x ? m_dev.xResolution : m_dev.yResolution;
    if (own.present())
        return own.value;
    if (m_dev.resolution.present())
        return m_dev.resolution.value;
    return 0;
}

double SaneSource::mmToUnits(double mm, bool x) const
{
    const double f = unitsPerInch();
    const double inches = mm / 25.4;
    return f > 0 ? inches * f : inches * dpi(x);
}

double SaneSource::unitsToMm(double units, bool x) const
{
    const double f = unitsPerInch();
    if (f > 0)
        return units / f * 25.4;
    const double d = dpi(x);
    return d > 0 ? units / d * 25.4 : 0;
}

TW_UINT16 SaneSource::currentPixelType() const
{
    TW_UINT16 type = 0xFFFF;
    if (m_dev.mode.present())
        type = modeType(m_dev.mode.value);
    if (type == 0xFFFF && m_dev.paramsValid)
        type = formatOf(m_dev.params) == SANE_FRAME_GRAY ? TWPT_GRAY : TWPT_RGB;
    if (type == TWPT_GRAY && m_dev.depth.present() && near(m_dev.depth.value, 1))
        type = TWPT_BW;
    if (type == TWPT_GRAY && !m_dev.depth.present() && m_dev.paramsValid && m_dev.params.depth == 1)
        type = TWPT_BW;
    return type == 0xFFFF ? static_cast<TW_UINT16>(TWPT_GRAY) : type;
}

std::vector<double> SaneSource::pixelTypes() const
{
    std::vector<double> types;
    auto add = [&](double t) {
        if (std::find(types.begin(), types.end(), t) == types.end())
            types.push_back(t);
    };
    for (const std::string& m : m_dev.mode.list) {
        const TW_UINT16 t = modeType(m);
        if (t != 0xFFFF)
            add(t);
        if (t == TWPT_GRAY && m_dev.depth.present() &&
            std::find(m_dev.depth.list.begin(), m_dev.depth.list.end(), 1.0) != m_dev.depth.list.end())
            add(TWPT_BW);
    }
    add(currentPixelType());
    std::sort(types.begin(), types.end());
    return types;
}

std::vector<double> SaneSource::bitDepths(TW_UINT16 type) const
{
    if (type == TWPT_BW)
        return {1};
    std::vector<double> depths;
    const double factor = type == TWPT_RGB ? 3 : 1;
    if (m_dev.depth.present()) {
        for (double d : m_dev.depth.list) {
            if (near(d, 8) || near(d, 16))
                depths.push_back(d * factor);
        }
        if (m_dev.depth.range) {
            for (double d : {8.0, 16.0}) {
                if (d >= m_dev.depth.min && d <= m_dev.depth.max)
                    depths.push_back(d * factor);
            }
        }
    }
    if (depths.empty())
        depths.push_back(8 * factor);
    return depths;
}

bool SaneSource::describe(TW_UINT16 cap, CapInfo& info)
{
    info = CapInfo{};
    auto oneValue = [&](TW_UINT16 type, double current, double deflt, bool settable) {
        info.itemType = type;
        info.form = TWON_ONEVALUE;
        info.current = current;
        info.deflt = deflt;
        info.settable = settable;
    };
    auto enumeration = [&](TW_UINT16 type, std::vector<double> items, double current, double deflt) {
        info.itemType = type;
        info.form = TWON_ENUMERATION;
        info.items = std::move(items);
        info.current = current;
        info.deflt = deflt;
        info.settable = info.items.size() > 1;
    };
    const bool online = m_device && !m_device->broken();
    switch (cap) {
    case CAP_XFERCOUNT:
        oneValue(TWTY_INT16, m_xferCount, -1, true);
        return true;
    case CAP_UICONTROLLABLE:
        oneValue(TWTY_BOOL, 1, 1, false);
        return true;
    case CAP_ENABLEDSUIONLY:
        oneValue(TWTY_BOOL, 0, 0, false);
        return true;
    case CAP_INDICATORS:
        oneValue(TWTY_BOOL, m_indicators, 1, true);
        return true;
    case CAP_DEVICEONLINE:
        oneValue(TWTY_BOOL, online, online, false);
        return true;
    case CAP_FEEDERENABLED: {
        bool hasFeeder = false, hasFlatbed = false;
        for (const std::string& s : m_dev.source.list)
            (isFeeder(s) ? hasFeeder : hasFlatbed) = true;
        const bool current = m_dev.source.present() && isFeeder(m_dev.source.value);
        const bool deflt = m_defaults.source.present() && isFeeder(m_defaults.source.value);
        oneValue(TWTY_BOOL, current, deflt, hasFeeder && hasFlatbed && m_dev.source.settable);
        return true;
    }
    case CAP_FEEDERLOADED:
        if (!m_dev.paperSensor.present())
            return false;
        oneValue(TWTY_BOOL, m_dev.paperSensor.value != 0, 0, false);
        return true;
    case CAP_DUPLEXENABLED: {
        bool has = false;
        for (const std::string& s : m_dev.source.list)
            has = has || isDuplex(s);
        if (!has)
            return false;
        oneValue(TWTY_BOOL, isDuplex(m_dev.source.value), isDuplex(m_defaults.source.value),
                 m_dev.source.settable);
        return true;
    }
    case ICAP_XFERMECH:
        enumeration(TWTY_UINT16, {TWSX_NATIVE, TWSX_FILE, TWSX_MEMORY, TWSX_MEMFILE}, m_xferMech,
                    TWSX_NATIVE);
        return true;
    case ICAP_PIXELTYPE:
        enumeration(TWTY_UINT16, pixelTypes(), currentPixelType(),
                    m_defaults.mode.present() ? modeType(m_defaults.mode.value) : currentPixelType());
        info.settable = m_dev.mode.settable || m_dev.depth.settable;
        return true;
    case ICAP_BITDEPTH: {
        const TW_UINT16 type = currentPixelType();
        const std::vector<double> depths = bitDepths(type);
        double current = depths.front();
        if (type != TWPT_BW && m_dev.depth.present())
            current = m_dev.depth.value * (type == TWPT_RGB ? 3 : 1);
        else if (type != TWPT_BW && m_dev.paramsValid)
            current = m_dev.params.depth * (type == TWPT_RGB ? 3 : 1);
        enumeration(TWTY_UINT16, depths, current, depths.front());
        info.settable = m_dev.depth.settable;
        return true;
    }
    case ICAP_XRESOLUTION:
    case ICAP_YRESOLUTION: {
        const bool x = cap == ICAP_XRESOLUTION;
        const NumOption& o = (x ? m_dev.xResolution : m_dev.yResolution).present()
                                 ? (x ? m_dev.xResolution : m_dev.yResolution)
                                 : m_dev.resolution;
        const NumOption& d = (x ? m_defaults.xResolution : m_defaults.yResolution).present()
                                 ? (x ? m_defaults.xResolution : m_defaults.yResolution)
                                 : m_defaults.resolution;
        if (!o.present())
            return false;
        const double f = unitsPerInch() > 0 ? unitsPerInch() : 1;
        info.itemType = TWTY_FIX32;
        info.settable = o.settable;
        info.current = o.value / f;
        info.deflt = d.value / f;
        if (o.range) {
            info.form = TWON_RANGE;
            info.min = o.min / f;
            info.max = o.max / f;
            info.step = (o.quant > 0 ? o.quant : 1) / f;
        } else {
            info.form = TWON_ENUMERATION;
            for (double v : o.list)
                info.items.push_back(v / f);
            if (info.items.empty())
                info.items.push_back(info.current);
        }
        return true;
    }
    case ICAP_UNITS:
        enumeration(TWTY_UINT16,
                    {TWUN_INCHES, TWUN_CENTIMETERS, TWUN_PICAS, TWUN_POINTS, TWUN_TWIPS, TWUN_PIXELS,
                     TWUN_MILLIMETERS},
                    m_units, TWUN_INCHES);
        return true;
    case ICAP_PHYSICALWIDTH:
    case ICAP_PHYSICALHEIGHT: {
        const NumOption& o = cap == ICAP_PHYSICALWIDTH ? m_dev.brx : m_dev.bry;
        if (!o.present())
            return false;
        double min = 0, max = 0;
        rangeOf(o, min, max);
        const double v = mmToUnits(max, cap == ICAP_PHYSICALWIDTH);
        oneValue(TWTY_FIX32, v, v, false);
        return true;
    }
    case ICAP_FRAMES:
        return m_dev.tlx.present() && m_dev.brx.present() && m_dev.tly.present() && m_dev.bry.present();
    case ICAP_COMPRESSION:
        enumeration(TWTY_UINT16, {TWCP_NONE}, TWCP_NONE, TWCP_NONE);
        info.settable = true;
        return true;
    case ICAP_IMAGEFILEFORMAT:
        enumeration(TWTY_UINT16, {TWFF_TIFF, TWFF_BMP}, m_fileFormat, TWFF_BMP);
        return true;
    case ICAP_PIXELFLAVOR:
        enumeration(TWTY_UINT16, {TWPF_CHOCOLATE}, TWPF_CHOCOLATE, TWPF_CHOCOLATE);
        info.settable = true;
        return true;
    case ICAP_UNDEFINEDIMAGESIZE:
        oneValue(TWTY_BOOL, m_undefinedSize, 0, true);
        return true;
    case ICAP_BRIGHTNESS:
    case ICAP_CONTRAST: {
        const NumOption& o = cap == ICAP_BRIGHTNESS ? m_dev.brightness : m_dev.contrast;
        const NumOption& d = cap == ICAP_BRIGHTNESS ? m_defaults.brightness : m_defaults.contrast;
        if (!o.present())
            return false;
        NumOption r = o;
        rangeOf(o, r.min, r.max);
        info.itemType = TWTY_FIX32;
        info.form = TWON_RANGE;
        info.min = -1000;
        info.max = 1000;
        info.step = 1;
        info.current = fromDevice(r, o.value);
        info.deflt = fromDevice(r, d.value);
        info.settable = o.settable;
        return true;
    }
    case SANECAP_DEVICE: {
        std::size_t current = m_devices.size();
        for (std::size_t i = 0; i < m_devices.size(); ++i) {
            if (m_device && m_devices[i].name == m_device->name())
                current = i;
        }
        const std::size_t count = m_devices.size() + (current == m_devices.size() ? 1 : 0);
        std::vector<double> items;
        for (std::size_t i = 0; i < count; ++i)
            items.push_back(static_cast<double>(i));
        enumeration(TWTY_UINT16, items, static_cast<double>(current), 0);
        info.settable = true;
        info.extended = true;
        return true;
    }
    default:
        return false;
    }
}

SaneSource::Result SaneSource::deviceCall(const std::function<SANE_Status(SANE_Int&)>& call, bool& inexact)
{
    Result result{TWRC_SUCCESS, TWCC_SUCCESS};
    worker().run([&] {
        if (!m_device || m_device->broken()) {
            result = {TWRC_FAILURE, TWCC_OPERATIONERROR};
            return;
        }
        SANE_Int info = 0;
        const SANE_Status status = call(info);
        if (status != SANE_STATUS_GOOD) {
            log("setting an option failed: " + statusName(status));
            TW_UINT16 cc = conditionFor(status);
            result = {TWRC_FAILURE, cc == TWCC_SUCCESS ? TWCC_BADVALUE : cc};
        }
        if (info & SANE_INFO_INEXACT)
            inexact = true;
        refresh();
    });
    return result;
}

SaneSource::Result SaneSource::setCap(TW_UINT16 cap, double value)
{
    bool inexact = false;
    auto done = [&](Result r) {
        if (r.rc == TWRC_SUCCESS && inexact)
            return Result(TWRC_CHECKSTATUS, TWCC_SUCCESS);
        return r;
    };
    switch (cap) {
    case CAP_XFERCOUNT:
        if (value == 0 || value < -1 || value > 32767)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        m_xferCount = static_cast<TW_INT16>(value);
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case CAP_INDICATORS:
        if (value != 0 && value != 1)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        m_indicators = value != 0;
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case ICAP_UNDEFINEDIMAGESIZE:
        if (value != 0 && value != 1)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        m_undefinedSize = value != 0;
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case ICAP_XFERMECH:
        if (value != TWSX_NATIVE && value != TWSX_FILE && value != TWSX_MEMORY && value != TWSX_MEMFILE)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        m_xferMech = static_cast<TW_UINT16>(value);
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case ICAP_UNITS:
        if (value < TWUN_INCHES || value > TWUN_MILLIMETERS)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        m_units = static_cast<TW_UINT16>(value);
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case ICAP_IMAGEFILEFORMAT:
        if (value != TWFF_BMP && value != TWFF_TIFF)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        m_fileFormat = static_cast<TW_UINT16>(value);
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case ICAP_COMPRESSION:
        return value == TWCP_NONE ? Result(TWRC_SUCCESS, TWCC_SUCCESS) : Result(TWRC_FAILURE, TWCC_BADVALUE);
    case ICAP_PIXELFLAVOR:
        return value == TWPF_CHOCOLATE ? Result(TWRC_SUCCESS, TWCC_SUCCESS)
                                       : Result(TWRC_FAILURE, TWCC_BADVALUE);
    case ICAP_PIXELTYPE: {
        const std::vector<double> types = pixelTypes();
        if (std::find(types.begin(), types.end(), value) == types.end())
            return {TWRC_FAILURE, TWCC_BADVALUE};
        const TW_UINT16 type = static_cast<TW_UINT16>(value);
        return done(deviceCall(
            [&](SANE_Int& info) {
                SANE_Status status = SANE_STATUS_GOOD;
                // The mode whose kind matches; BW may be grey at one bit.
                std::string mode;
                for (const std::string& m : m_dev.mode.list) {
                    if (modeType(m) == type && mode.empty())
                        mode = m;
                }
                bool greyBits = false;
                if (mode.empty() && type == TWPT_BW) {
                    for (const std::string& m : m_dev.mode.list) {
                        if (modeType(m) == TWPT_GRAY && mode.empty())
                            mode = m;
                    }
                    greyBits = true;
                }
                if (!mode.empty() && m_dev.mode.present() && mode != m_dev.mode.value) {
                    status = m_device->setString(m_dev.mode, mode, info);
                    if (status != SANE_STATUS_GOOD)
                        return status;
                    if (info & SANE_INFO_RELOAD_OPTIONS)
                        m_device->refresh(m_dev);
                }
                if (m_dev.depth.present() && m_dev.depth.settable) {
                    const bool one = near(m_dev.depth.value, 1);
                    SANE_Int more = 0;
                    if (greyBits && !one)
                        status = m_device->setNumber(m_dev.depth, 1, more);
                    else if (!greyBits && type != TWPT_BW && one)
                        status = m_device->setNumber(m_dev.depth, 8, more);
                    info |= more & ~SANE_INFO_INEXACT;
                }
                return status;
            },
            inexact));
    }
    case ICAP_BITDEPTH: {
        const TW_UINT16 type = currentPixelType();
        const std::vector<double> depths = bitDepths(type);
        if (std::find(depths.begin(), depths.end(), value) == depths.end())
            return {TWRC_FAILURE, TWCC_BADVALUE};
        if (type == TWPT_BW || !m_dev.depth.present())
            return {TWRC_SUCCESS, TWCC_SUCCESS};
        const double depth = type == TWPT_RGB ? value / 3 : value;
        return done(deviceCall([&](SANE_Int& info) { return m_device->setNumber(m_dev.depth, depth, info); },
                               inexact));
    }
    case ICAP_XRESOLUTION:
    case ICAP_YRESOLUTION: {
        const bool x = cap == ICAP_XRESOLUTION;
        const NumOption& own = x ? m_dev.xResolution : m_dev.yResolution;
        const NumOption& o = own.present() ? own : m_dev.resolution;
        if (!o.present())
            return {TWRC_FAILURE, TWCC_CAPUNSUPPORTED};
        if (value <= 0)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        const double f = unitsPerInch() > 0 ? unitsPerInch() : 1;
        const double wanted = value * f;
        Result r = deviceCall([&](SANE_Int& info) { return m_device->setNumber(o, wanted, info); }, inexact);
        if (r.rc == TWRC_SUCCESS && !near(dpi(x), wanted))
            inexact = true;
        return done(r);
    }
    case ICAP_BRIGHTNESS:
    case ICAP_CONTRAST: {
        const NumOption& o = cap == ICAP_BRIGHTNESS ? m_dev.brightness : m_dev.contrast;
        if (!o.present())
            return {TWRC_FAILURE, TWCC_CAPUNSUPPORTED};
        if (value < -1000 || value > 1000)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        NumOption r = o;
        rangeOf(o, r.min, r.max);
        double v = toDevice(r, value);
        if (!o.range && !o.list.empty()) {
            v = o.list.front();
            for (double item : o.list) {
                if (std::fabs(item - toDevice(r, value)) < std::fabs(v - toDevice(r, value)))
                    v = item;
            }
        }
        Result result = deviceCall([&](SANE_Int& info) { return m_device->setNumber(o, v, info); }, inexact);
        const NumOption& now = cap == ICAP_BRIGHTNESS ? m_dev.brightness : m_dev.contrast;
        if (result.rc == TWRC_SUCCESS && std::fabs(fromDevice(r, now.value) - value) > 0.5)
            inexact = true;
        return done(result);
    }
    case CAP_FEEDERENABLED:
    case CAP_DUPLEXENABLED: {
        if (value != 0 && value != 1)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        const bool duplex = cap == CAP_DUPLEXENABLED;
        std::string target;
        for (const std::string& s : m_dev.source.list) {
            const bool match = duplex ? (value != 0 ? isDuplex(s) : isFeeder(s) && !isDuplex(s))
                                      : (value != 0 ? isFeeder(s) && !isDuplex(s) : !isFeeder(s));
            if (match && target.empty())
                target = s;
        }
        if (value != 0 && !duplex && isFeeder(m_dev.source.value))
            return {TWRC_SUCCESS, TWCC_SUCCESS}; // a duplex feeder is a feeder too
        if (value == 0 && duplex && !isDuplex(m_dev.source.value))
            return {TWRC_SUCCESS, TWCC_SUCCESS};
        if (target.empty())
            return {TWRC_FAILURE, TWCC_BADVALUE};
        if (target == m_dev.source.value)
            return {TWRC_SUCCESS, TWCC_SUCCESS};
        return done(deviceCall(
            [&](SANE_Int& info) { return m_device->setString(m_dev.source, target, info); }, inexact));
    }
    case SANECAP_DEVICE: {
        if (value < 0)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        const std::size_t index = static_cast<std::size_t>(value);
        if (index >= m_devices.size()) {
            // The open device itself, when SANE does not list it.
            return m_device && index == m_devices.size() ? Result(TWRC_SUCCESS, TWCC_SUCCESS)
                                                         : Result(TWRC_FAILURE, TWCC_BADVALUE);
        }
        SANE_TW_DEVICE block{};
        copyText(block.Name, m_devices[index].name);
        if (m_device && m_device->name() == m_devices[index].name)
            return {TWRC_SUCCESS, TWCC_SUCCESS};
        return deviceInfo(MSG_SET, &block);
    }
    default:
        return {TWRC_FAILURE, TWCC_CAPBADOPERATION};
    }
}

SaneSource::Result SaneSource::resetCap(TW_UINT16 cap)
{
    CapInfo info;
    if (!describe(cap, info))
        return {TWRC_FAILURE, TWCC_CAPUNSUPPORTED};
    switch (cap) {
    case ICAP_PIXELTYPE: {
        // The mode and depth the device opened with.
        bool inexact = false;
        return deviceCall(
            [&](SANE_Int& info) {
                SANE_Status status = SANE_STATUS_GOOD;
                if (m_defaults.mode.present() && m_dev.mode.present())
                    status = m_device->setString(m_dev.mode, m_defaults.mode.value, info);
                if (status == SANE_STATUS_GOOD && m_defaults.depth.present()) {
                    m_device->refresh(m_dev);
                    if (m_dev.depth.present())
                        status = m_device->setNumber(m_dev.depth, m_defaults.depth.value, info);
                }
                return status;
            },
            inexact);
    }
    case ICAP_BITDEPTH:
        if (!m_defaults.depth.present() || !m_dev.depth.present() || currentPixelType() == TWPT_BW)
            return {TWRC_SUCCESS, TWCC_SUCCESS};
        return setCap(cap, m_defaults.depth.value * (currentPixelType() == TWPT_RGB ? 3 : 1)).rc ==
                       TWRC_FAILURE
                   ? Result(TWRC_FAILURE, TWCC_BADVALUE)
                   : Result(TWRC_SUCCESS, TWCC_SUCCESS);
    case SANECAP_DEVICE:
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    default: {
        const Result r = setCap(cap, info.deflt);
        return r.rc == TWRC_CHECKSTATUS ? Result(TWRC_SUCCESS, TWCC_SUCCESS) : r;
    }
    }
}

const dskit::CapRow* SaneSource::rows(std::size_t& count) const
{
    count = sizeof kRows / sizeof *kRows;
    return kRows;
}

SaneSource::Result SaneSource::set(TW_UINT16 cap, double value)
{
    return setCap(cap, value);
}

SaneSource::Result SaneSource::reset(TW_UINT16 cap)
{
    return resetCap(cap);
}

SaneSource::Result SaneSource::resetAll()
{
    for (TW_UINT16 c : {ICAP_PIXELTYPE, ICAP_BITDEPTH, ICAP_XRESOLUTION, ICAP_YRESOLUTION, CAP_FEEDERENABLED,
                        ICAP_BRIGHTNESS, ICAP_CONTRAST, CAP_XFERCOUNT, ICAP_XFERMECH, ICAP_IMAGEFILEFORMAT,
                        ICAP_UNDEFINEDIMAGESIZE, CAP_INDICATORS, ICAP_UNITS}) {
        CapInfo info;
        if (describe(c, info))
            resetCap(c);
    }
    if (m_defaults.tlx.present())
        setFrame(m_defaults.tlx.value, m_defaults.tly.value, m_defaults.brx.value, m_defaults.bry.value);
    return Result::success();
}

bool SaneSource::answer(TW_UINT16 msg, pTW_CAPABILITY cap, int, Result& result)
{
    if (cap->Cap == ICAP_FRAMES) {
        result = frames(msg, cap);
        return true;
    }
    if (cap->Cap == SANECAP_DEVICE && !m_listed && state() == 4)
        worker().run([&] { listDevices(); });
    return false;
}

SaneSource::Result SaneSource::setFrame(double left, double top, double right, double bottom)
{
    if (!m_dev.tlx.present() || !m_dev.tly.present() || !m_dev.brx.present() || !m_dev.bry.present())
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    if (right <= left || bottom <= top)
        return {TWRC_FAILURE, TWCC_BADVALUE};
    bool inexact = false;
    const Result r = deviceCall(
        [&](SANE_Int& info) {
            // Coordinates, not sizes: move the corner that makes room first,
            // so neither is clamped by the other's old value.
            auto pair = [&](const NumOption& lo, const NumOption& hi, double a, double b) {
                SANE_Int i1 = 0, i2 = 0;
                SANE_Status s = SANE_STATUS_GOOD;
                if (a >= hi.value) {
                    s = m_device->setNumber(hi, b, i1);
                    if (s == SANE_STATUS_GOOD)
                        s = m_device->setNumber(lo, a, i2);
                } else {
                    s = m_device->setNumber(lo, a, i1);
                    if (s == SANE_STATUS_GOOD)
                        s = m_device->setNumber(hi, b, i2);
                }
                info |= i1 | i2;
                return s;
            };
            SANE_Status s = pair(m_dev.tlx, m_dev.brx, left, right);
            if (s == SANE_STATUS_GOOD)
                s = pair(m_dev.tly, m_dev.bry, top, bottom);
            return s;
        },
        inexact);
    if (r.rc != TWRC_SUCCESS)
        return r;
    const double tol = 0.05;
    if (inexact || std::fabs(m_dev.tlx.value - left) > tol || std::fabs(m_dev.tly.value - top) > tol ||
        std::fabs(m_dev.brx.value - right) > tol || std::fabs(m_dev.bry.value - bottom) > tol)
        return {TWRC_CHECKSTATUS, TWCC_SUCCESS};
    return {TWRC_SUCCESS, TWCC_SUCCESS};
}

SaneSource::Result SaneSource::frames(TW_UINT16 msg, pTW_CAPABILITY cap)
{
    CapInfo probe;
    if (!describe(ICAP_FRAMES, probe))
        return {TWRC_FAILURE, TWCC_CAPUNSUPPORTED};
    // A TW_ONEVALUE of one TW_FRAME: item type, then four TW_FIX32.
    constexpr std::size_t kSize = 2 + 16;
    auto answer = [&](bool deflt) -> Result {
        const DeviceState& s = deflt ? m_defaults : m_dev;
        TW_HANDLE h = dskit::memAllocate(kSize);
        TW_UINT8* p = h ? static_cast<TW_UINT8*>(dskit::memLock(h)) : nullptr;
        if (!p) {
            dskit::memFree(h);
            return {TWRC_FAILURE, TWCC_LOWMEMORY};
        }
        const TW_UINT16 type = TWTY_FRAME;
        std::memcpy(p, &type, 2);
        const TW_FIX32 v[4] = {toFix32(mmToUnits(s.tlx.value, true)), toFix32(mmToUnits(s.tly.value, false)),
                               toFix32(mmToUnits(s.brx.value, true)), toFix32(mmToUnits(s.bry.value, false))};
        std::memcpy(p + 2, v, 16);
        dskit::memUnlock(h);
        cap->ConType = TWON_ONEVALUE;
        cap->hContainer = h;
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    };
    switch (msg) {
    case MSG_GET:
    case MSG_GETCURRENT:
        return answer(false);
    case MSG_GETDEFAULT:
        return answer(true);
    case MSG_QUERYSUPPORT: {
        TW_HANDLE h = dskit::buildQuerySupport(TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT | TWQC_SET |
                                                    TWQC_RESET);
        if (!h)
            return {TWRC_FAILURE, TWCC_LOWMEMORY};
        cap->ConType = TWON_ONEVALUE;
        cap->hContainer = h;
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    }
    case MSG_RESET: {
        if (state() != 4)
            return {TWRC_FAILURE, TWCC_SEQERROR};
        const Result r =
            setFrame(m_defaults.tlx.value, m_defaults.tly.value, m_defaults.brx.value, m_defaults.bry.value);
        if (r.rc == TWRC_FAILURE)
            return r;
        return answer(false);
    }
    case MSG_SET: {
        if (state() != 4)
            return {TWRC_FAILURE, TWCC_SEQERROR};
        if (!cap->hContainer)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        const std::size_t size = dskit::memSize(cap->hContainer);
        const TW_UINT8* p = static_cast<const TW_UINT8*>(dskit::memLock(cap->hContainer));
        if (!p)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        TW_UINT16 type = 0;
        std::size_t at = 0;
        if (size >= 2)
            std::memcpy(&type, p, 2);
        if (cap->ConType == TWON_ONEVALUE) {
            at = 2;
        } else if (cap->ConType == TWON_ENUMERATION && size >= 14) {
            TW_UINT32 n = 0, current = 0;
            std::memcpy(&n, p + 2, 4);
            std::memcpy(&current, p + 6, 4);
            at = current < n ? 14 + static_cast<std::size_t>(current) * 16 : size;
        } else {
            at = size;
        }
        TW_FIX32 v[4]{};
        const bool ok = type == TWTY_FRAME && at + 16 <= size;
        if (ok)
            std::memcpy(v, p + at, 16);
        dskit::memUnlock(cap->hContainer);
        if (!ok)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        return setFrame(unitsToMm(fromFix32(v[0]), true), unitsToMm(fromFix32(v[1]), false),
                        unitsToMm(fromFix32(v[2]), true), unitsToMm(fromFix32(v[3]), false));
    }
    default:
        return {TWRC_FAILURE, TWCC_CAPBADOPERATION};
    }
}

SaneSource::Result SaneSource::imageLayout(TW_UINT16 msg, TW_MEMREF data)
{
    pTW_IMAGELAYOUT layout = static_cast<pTW_IMAGELAYOUT>(data);
    Result result{TWRC_SUCCESS, TWCC_SUCCESS};
    bool deflt = false;
    switch (msg) {
    case MSG_GET:
        break;
    case MSG_GETDEFAULT:
        deflt = true;
        break;
    case MSG_RESET:
        if (m_defaults.tlx.present())
            result = setFrame(m_defaults.tlx.value, m_defaults.tly.value, m_defaults.brx.value,
                              m_defaults.bry.value);
        if (result.rc == TWRC_CHECKSTATUS)
            result = {TWRC_SUCCESS, TWCC_SUCCESS};
        break;
    case MSG_SET:
        result = setFrame(unitsToMm(fromFix32(layout->Frame.Left), true),
                          unitsToMm(fromFix32(layout->Frame.Top), false),
                          unitsToMm(fromFix32(layout->Frame.Right), true),
                          unitsToMm(fromFix32(layout->Frame.Bottom), false));
        break;
    default:
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    }
    if (result.rc == TWRC_FAILURE)
        return result;
    const DeviceState& s = deflt ? m_defaults : m_dev;
    if (s.tlx.present() && s.brx.present() && s.tly.present() && s.bry.present()) {
        layout->Frame.Left = toFix32(mmToUnits(s.tlx.value, true));
        layout->Frame.Top = toFix32(mmToUnits(s.tly.value, false));
        layout->Frame.Right = toFix32(mmToUnits(s.brx.value, true));
        layout->Frame.Bottom = toFix32(mmToUnits(s.bry.value, false));
    } else if (s.paramsValid) {
        const double f = unitsPerInch();
        const double xd = dpi(true) > 0 ? dpi(true) : 1, yd = dpi(false) > 0 ? dpi(false) : 1;
        layout->Frame.Left = layout->Frame.Top = toFix32(0);
        layout->Frame.Right = toFix32(f > 0 ? s.params.pixels_per_line / xd * f : s.params.pixels_per_line);
        layout->Frame.Bottom =
            toFix32(f > 0 ? std::max(0, s.params.lines) / yd * f : std::max(0, s.params.lines));
    }
    layout->DocumentNumber = 1;
    layout->PageNumber = 1;
    layout->FrameNumber = 1;
    return result;
}

// ---------------------------------------------------------------------------
// Enabling, notifications and the batch

SaneSource::Result SaneSource::userInterface(TW_UINT16 msg, TW_MEMREF data)
{
    pTW_USERINTERFACE ui = static_cast<pTW_USERINTERFACE>(data);
    switch (msg) {
    case MSG_ENABLEDS: {
        (void)ui;
        if (!m_device || m_device->broken())
            return {TWRC_FAILURE, TWCC_OPERATIONERROR};
        // There is no dialog: with ShowUI the scan starts as without it.
        startBatch();
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    }
    case MSG_ENABLEDSUIONLY:
        return Result::failure(TWCC_BADPROTOCOL); // there is no dialog
    case MSG_DISABLEDS: {
        stopBatch();
        m_closeCondition = TWCC_SUCCESS;
        clearEvents();
        std::lock_guard<std::mutex> lock(m_q);
        m_pages.clear();
        setState(4);
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    }
    default:
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    }
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
        std::shared_ptr<Page> page = startPage(first);
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
        if (!readPage(page))
            break;
        if (!feeder)
            break; // the flatbed holds one page
        if (m_xferCount > 0 && started >= m_xferCount)
            break;
    }
    // The batch is over for SANE too.
    if (m_device)
        m_device->cancel();
    std::lock_guard<std::mutex> lock(m_q);
    if (generation == m_generation)
        m_batchRunning = false;
    m_qChanged.notify_all();
}

std::shared_ptr<Page> SaneSource::startPage(bool first)
{
    auto page = std::make_shared<Page>();
    const SANE_Status status = m_device->start();
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
    SANE_Status ps = m_device->parameters(p);
    const bool valid = ps == SANE_STATUS_GOOD && usableParameters(p);
    const bool threePass = valid && p.format >= SANE_FRAME_RED;
    if (!valid) {
        log("the device's image parameters are unusable (" + statusName(ps) + ")");
        page->startStatus = ps == SANE_STATUS_GOOD ? SANE_STATUS_INVAL : ps;
        if (ps == SANE_STATUS_GOOD || !m_device->broken())
            m_device->cancel();
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
    if (threePass && !readThreePass(page))
        return page; // ended with the page's status
    return page;
}

bool SaneSource::readThreePass(const std::shared_ptr<Page>& page)
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
            SANE_Status s = m_device->start();
            if (s == SANE_STATUS_GOOD)
                s = m_device->parameters(p);
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
                    m_device->cancel();
            }
            SANE_Int n = 0;
            s = m_device->read(buffer.data(), static_cast<SANE_Int>(buffer.size()), n);
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

bool SaneSource::readPage(const std::shared_ptr<Page>& page)
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
            m_device->cancel();
            // Drain what the backend still has, a bounded number of times.
            for (int i = 0; i < 10000 && !m_device->broken(); ++i) {
                SANE_Int n = 0;
                if (m_device->read(buffer.data(), static_cast<SANE_Int>(buffer.size()), n) !=
                    SANE_STATUS_GOOD)
                    break;
            }
            status = SANE_STATUS_CANCELLED;
            break;
        }
        SANE_Int max = static_cast<SANE_Int>(buffer.size());
        SANE_Int n = 0;
        status = m_device->read(buffer.data(), max, n);
        if (status == SANE_STATUS_GOOD && n == 0) {
            // Now and then a network read brings nothing; a device that only
            // ever does (its daemon gone) is given up.
            const auto now = std::chrono::steady_clock::now();
            if (!idle)
                idleSince = now;
            idle = true;
            if (now - idleSince > kNoDataLimit) {
                log("the device sends no data; it is not used again");
                m_device->markBroken();
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

void SaneSource::stopBatch()
{
    bool running = false;
    {
        std::lock_guard<std::mutex> lock(m_q);
        running = m_batchRunning;
        m_cancel = true;
        m_qChanged.notify_all();
    }
    if (running && m_device)
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

SaneSource::Result SaneSource::pendingXfers(TW_UINT16 msg, TW_MEMREF data)
{
    pTW_PENDINGXFERS pending = static_cast<pTW_PENDINGXFERS>(data);
    switch (msg) {
    case MSG_GET:
        pending->Count =
            state() >= 6
                ? (m_xferCount > 0 ? static_cast<TW_UINT16>(std::max<TW_INT32>(1, m_xferLeft)) : 0xFFFF)
                : 0;
        break;
    case MSG_ENDXFER: {
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
        const bool more = m_xferCount != 0 && !(m_xferCount > 0 && m_xferLeft <= 0);
        pending->Count = more ? pendingCount() : 0;
        if (pending->Count == 0)
            stopBatch();
        std::lock_guard<std::mutex> lock(m_q);
        if (pending->Count == 0)
            m_pages.clear();
        setState(pending->Count == 0 ? 5 : 6);
        break;
    }
    case MSG_RESET: {
        stopBatch();
        std::lock_guard<std::mutex> lock(m_q);
        m_pages.clear();
        setState(5);
        pending->Count = 0;
        break;
    }
    case MSG_STOPFEEDER: {
        std::lock_guard<std::mutex> lock(m_q);
        m_stopFeeder = true;
        pending->Count = m_batchRunning ? 0xFFFF : static_cast<TW_UINT16>(m_pages.size());
        break;
    }
    default:
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    }
    pending->EOJ = 0;
    return {TWRC_SUCCESS, TWCC_SUCCESS};
}

// ---------------------------------------------------------------------------
// Transfers

SaneSource::Result SaneSource::setupMemXfer(TW_MEMREF data)
{
    pTW_SETUPMEMXFER setup = static_cast<pTW_SETUPMEMXFER>(data);
    std::size_t row = 0;
    std::shared_ptr<Page> page = state() == 6 ? frontPage() : nullptr;
    if (page && page->startStatus == SANE_STATUS_GOOD) {
        row = rowBytes(page->shape);
    } else if (m_dev.paramsValid) {
        ImageShape shape;
        shape.width = m_dev.params.pixels_per_line;
        const TW_UINT16 type = currentPixelType();
        const int depth = m_dev.params.depth;
        shape.kind = type == TWPT_BW    ? PixelKind::Bw
                     : type == TWPT_RGB ? (depth == 16 ? PixelKind::Rgb48 : PixelKind::Rgb24)
                                        : (depth == 16 ? PixelKind::Gray16 : PixelKind::Gray8);
        row = rowBytes(shape);
    }
    row = std::max<std::size_t>(row, 1);
    setup->MinBufSize = static_cast<TW_UINT32>(row);
    setup->MaxBufSize = static_cast<TW_UINT32>(std::max<std::size_t>(row, 64u * 1024 * 1024));
    setup->Preferred = static_cast<TW_UINT32>(std::max<std::size_t>(1, kPreferredBlock / row) * row);
    return {TWRC_SUCCESS, TWCC_SUCCESS};
}

SaneSource::Result SaneSource::imageInfo(TW_MEMREF data)
{
    pTW_IMAGEINFO info = static_cast<pTW_IMAGEINFO>(data);
    std::shared_ptr<Page> page = frontPage();
    if (!page)
        return {TWRC_FAILURE, TWCC_SEQERROR};
    if (page->startStatus != SANE_STATUS_GOOD)
        return pageStartFailure(*page);
    std::int32_t length = page->params.lines;
    if (length < 0) {
        if (!m_undefinedSize || page->done) {
            // The application needs the length before the transfer: take the
            // whole page first.
            std::unique_lock<std::mutex> lock(m_q);
            page->unbounded = true;
            m_qChanged.notify_all();
            if (!awaitData(lock, *page, [&] { return page->ended; })) {
                lock.unlock();
                return pageFailure(*page);
            }
            length = page->lines();
            if (page->done)
                length = page->rowsOut;
        }
    }
    std::memset(info, 0, sizeof *info);
    const double f = unitsPerInch() > 0 ? unitsPerInch() : 1;
    info->XResolution = toFix32(page->shape.xdpi / f);
    info->YResolution = toFix32(page->shape.ydpi / f);
    info->ImageWidth = page->shape.width;
    info->ImageLength = length;
    const PixelKind kind = page->shape.kind;
    info->SamplesPerPixel = static_cast<TW_INT16>(samplesPerPixel(kind));
    for (int i = 0; i < info->SamplesPerPixel; ++i)
        info->BitsPerSample[i] = static_cast<TW_INT16>(bitsPerSample(kind));
    info->BitsPerPixel = static_cast<TW_INT16>(bitsPerPixel(kind));
    info->Planar = FALSE;
    info->PixelType = static_cast<TW_INT16>(pixelType(kind));
    info->Compression = TWCP_NONE;
    return {TWRC_SUCCESS, TWCC_SUCCESS};
}

TW_HANDLE SaneSource::allocate(std::size_t size)
{
    return dskit::memAllocate(size, true, false);
}

void* SaneSource::lock(TW_HANDLE h)
{
    return dskit::memLock(h);
}

void SaneSource::unlock(TW_HANDLE h)
{
    dskit::memUnlock(h);
}

void SaneSource::release(TW_HANDLE h)
{
    dskit::memFree(h);
}

SaneSource::Result SaneSource::nativeXfer(TW_MEMREF data)
{
    TW_HANDLE* out = static_cast<TW_HANDLE*>(data);
    if (!dskit::transfersBy(DAT_IMAGENATIVEXFER, m_xferMech))
        return Result::failure(TWCC_SEQERROR);
    *out = nullptr;
    std::shared_ptr<Page> page = frontPage();
    if (!page)
        return {TWRC_FAILURE, TWCC_SEQERROR};
    if (page->startStatus != SANE_STATUS_GOOD)
        return pageStartFailure(*page);
    Page& pg = *page;
    const ImageShape& shape = pg.shape;
    std::vector<std::uint8_t> line(static_cast<std::size_t>(pg.params.bytes_per_line));
    std::vector<std::uint8_t> row(rowBytes(shape));
    const std::size_t stride = dibRowBytes(shape);
    TW_HANDLE h = nullptr;
    setState(7);
    pg.transferring = true;
    if (shape.height >= 0) {
        // Rows go straight into their place, bottom-up.
        const std::vector<std::uint8_t> header = dibHeader(shape, shape.height);
        // Announced by the device: a size this machine cannot address is no memory to ask for.
        const std::uint64_t size =
            header.size() + static_cast<std::uint64_t>(stride) * static_cast<std::uint64_t>(shape.height);
        h = size <= std::numeric_limits<std::size_t>::max() / 2 ? allocate(static_cast<std::size_t>(size))
                                                                : nullptr;
        std::uint8_t* p = h ? static_cast<std::uint8_t*>(lock(h)) : nullptr;
        if (!p) {
            if (h)
                release(h);
            pageFailure(pg);
            setState(6);
            return {TWRC_FAILURE, TWCC_LOWMEMORY};
        }
        std::memcpy(p, header.data(), header.size());
        for (std::int32_t y = 0; y < shape.height; ++y) {
            if (!readLine(pg, line.data())) {
                unlock(h);
                release(h);
                return pageFailure(pg);
            }
            fromSane(shape, line.data(), row.data());
            toDibRow(shape, row.data(),
                     p + header.size() + stride * static_cast<std::size_t>(shape.height - 1 - y));
        }
        unlock(h);
    } else {
        std::vector<std::uint8_t> rows;
        std::int32_t n = 0;
        while (readLine(pg, line.data())) {
            fromSane(shape, line.data(), row.data());
            rows.resize(rows.size() + stride);
            toDibRow(shape, row.data(), rows.data() + rows.size() - stride);
            ++n;
        }
        std::unique_lock<std::mutex> lock0(m_q);
        const bool ok = pg.complete();
        lock0.unlock();
        if (!ok || n == 0)
            return pageFailure(pg);
        const std::vector<std::uint8_t> header = dibHeader(shape, n);
        h = allocate(header.size() + rows.size());
        std::uint8_t* p = h ? static_cast<std::uint8_t*>(lock(h)) : nullptr;
        if (!p) {
            if (h)
                release(h);
            pageFailure(pg);
            return {TWRC_FAILURE, TWCC_LOWMEMORY};
        }
        std::memcpy(p, header.data(), header.size());
        for (std::int32_t y = 0; y < n; ++y)
            std::memcpy(p + header.size() + stride * static_cast<std::size_t>(y),
                        rows.data() + stride * static_cast<std::size_t>(n - 1 - y), stride);
        unlock(h);
        pg.rowsOut = n;
    }
    {
        std::unique_lock<std::mutex> lock0(m_q);
        awaitData(lock0, pg, [&] { return pg.ended; });
        if (!pg.complete()) {
            lock0.unlock();
            release(h);
            return pageFailure(pg);
        }
    }
    if (shape.height >= 0)
        pg.rowsOut = shape.height;
    pg.done = true;
    *out = h;
    return {TWRC_XFERDONE, TWCC_SUCCESS};
}

SaneSource::Result SaneSource::fileXfer()
{
    if (!dskit::transfersBy(DAT_IMAGEFILEXFER, m_xferMech))
        return Result::failure(TWCC_SEQERROR);
    std::shared_ptr<Page> page = frontPage();
    if (!page)
        return {TWRC_FAILURE, TWCC_SEQERROR};
    if (page->startStatus != SANE_STATUS_GOOD)
        return pageStartFailure(*page);
    Page& pg = *page;
    const ImageShape shape = pg.shape;
    std::vector<std::uint8_t> line(static_cast<std::size_t>(pg.params.bytes_per_line));
    std::vector<std::uint8_t> row(rowBytes(shape));
    setState(7);
    pg.transferring = true;
    bool written = true;
    std::int32_t rows = 0;
    auto drain = [&](const std::function<bool()>& writeRow) {
        while ((shape.height < 0 || rows < shape.height) && readLine(pg, line.data())) {
            fromSane(shape, line.data(), row.data());
            if (written && !writeRow())
                written = false;
            ++rows;
        }
    };
    if (m_fileFormat == TWFF_TIFF) {
        TiffWriter tiff;
        written = tiff.openFile(fileName(), shape);
        drain([&] { return tiff.writeRow(row.data()); });
        written = tiff.finish() && written;
    } else {
        std::FILE* file = std::fopen(fileName().c_str(), "wb");
        written = file != nullptr;
        BmpWriter bmp(shape);
        if (file) {
            const std::vector<std::uint8_t> header = bmp.header();
            written = std::fwrite(header.data(), 1, header.size(), file) == header.size();
            drain([&] {
                const std::vector<std::uint8_t> out = bmp.row(row.data());
                return std::fwrite(out.data(), 1, out.size(), file) == out.size();
            });
            if (written && shape.height < 0) {
                const std::vector<std::uint8_t> fin = bmp.finalHeader(rows);
                written = std::fseek(file, 0, SEEK_SET) == 0 &&
                          std::fwrite(fin.data(), 1, fin.size(), file) == fin.size();
            }
            if (std::fclose(file) != 0)
                written = false;
        } else {
            drain([] { return true; });
        }
    }
    bool complete = false;
    {
        std::unique_lock<std::mutex> lock0(m_q);
        awaitData(lock0, pg, [&] { return pg.ended; });
        complete = pg.complete();
    }
    if (!complete || !written)
        std::remove(fileName().c_str()); // a partial page is no page
    if (!complete)
        return pageFailure(pg);
    pg.done = true;
    pg.rowsOut = rows;
    if (!written) {
        log("cannot write " + fileName());
        return {TWRC_FAILURE, TWCC_FILEWRITEERROR};
    }
    return {TWRC_XFERDONE, TWCC_SUCCESS};
}

SaneSource::Result SaneSource::memXfer(TW_MEMREF data)
{
    pTW_IMAGEMEMXFER xfer = static_cast<pTW_IMAGEMEMXFER>(data);
    if (!dskit::transfersBy(DAT_IMAGEMEMXFER, m_xferMech))
        return Result::failure(TWCC_SEQERROR);
    std::shared_ptr<Page> page = frontPage();
    if (!page)
        return {TWRC_FAILURE, TWCC_SEQERROR};
    if (page->startStatus != SANE_STATUS_GOOD)
        return pageStartFailure(*page);
    Page& pg = *page;
    if (state() == 7 && (!pg.transferring || pg.done))
        return {TWRC_FAILURE, TWCC_SEQERROR};
    const AppBuffer appBuffer(xfer->Memory);
    if (!appBuffer.data())
        return {TWRC_FAILURE, TWCC_BADVALUE};
    std::uint8_t* const buffer = appBuffer.data();
    const std::size_t capacity = appBuffer.capacity();

    const ImageShape& shape = pg.shape;
    const std::size_t bytes = rowBytes(shape);
    if (capacity < bytes)
        return {TWRC_FAILURE, TWCC_BADVALUE};
    setState(7);
    pg.transferring = true;
    xfer->Compression = TWCP_NONE;
    xfer->BytesPerRow = static_cast<TW_UINT32>(bytes);
    xfer->Columns = static_cast<TW_UINT32>(shape.width);
    xfer->XOffset = 0;
    xfer->YOffset = static_cast<TW_UINT32>(pg.rowsOut);
    xfer->Rows = 0;
    xfer->BytesWritten = 0;

    std::vector<std::uint8_t> line(static_cast<std::size_t>(pg.params.bytes_per_line));
    const std::size_t fit = capacity / bytes;
    std::size_t rows = 0;
    bool ran = false; // the data ended before the strip was full
    while (rows < fit && (shape.height < 0 || pg.rowsOut < shape.height)) {
        if (!readLine(pg, line.data())) {
            ran = true;
            break;
        }
        fromSane(shape, line.data(), buffer + rows * bytes);
        ++rows;
        ++pg.rowsOut;
    }
    xfer->Rows = static_cast<TW_UINT32>(rows);
    xfer->BytesWritten = static_cast<TW_UINT32>(rows * bytes);
    if (!ran && moreData(pg))
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    bool complete = false;
    {
        std::unique_lock<std::mutex> lock0(m_q);
        awaitData(lock0, pg, [&] { return pg.ended; });
        complete = pg.complete() && pg.queued == 0;
    }
    if (!complete) {
        xfer->Rows = 0;
        xfer->BytesWritten = 0;
        return pageFailure(pg);
    }
    pg.done = true;
    return {TWRC_XFERDONE, TWCC_SUCCESS};
}

SaneSource::Result SaneSource::memFileXfer(TW_MEMREF data)
{
    pTW_IMAGEMEMXFER xfer = static_cast<pTW_IMAGEMEMXFER>(data);
    if (!dskit::transfersBy(DAT_IMAGEMEMFILEXFER, m_xferMech))
        return Result::failure(TWCC_SEQERROR);
    std::shared_ptr<Page> page = frontPage();
    if (!page)
        return {TWRC_FAILURE, TWCC_SEQERROR};
    if (page->startStatus != SANE_STATUS_GOOD)
        return pageStartFailure(*page);
    Page& pg = *page;
    if (state() == 7 && (!pg.transferring || pg.done))
        return {TWRC_FAILURE, TWCC_SEQERROR};
    const AppBuffer appBuffer(xfer->Memory);
    if (!appBuffer.data())
        return {TWRC_FAILURE, TWCC_BADVALUE};
    std::uint8_t* const buffer = appBuffer.data();
    const std::size_t capacity = appBuffer.capacity();

    const ImageShape& shape = pg.shape;
    std::vector<std::uint8_t> line(static_cast<std::size_t>(pg.params.bytes_per_line));
    std::vector<std::uint8_t> row(rowBytes(shape));
    if (state() == 6) {
        setState(7);
        pg.transferring = true;
        // A BMP of known height goes out as the rows come; otherwise the
        // whole file is made first, since its header needs the final size.
        pg.streamWhole = m_fileFormat == TWFF_TIFF || shape.height < 0;
        if (pg.streamWhole) {
            std::int32_t rows = 0;
            if (m_fileFormat == TWFF_TIFF) {
                TiffWriter tiff;
                bool ok = tiff.openMemory(shape);
                while ((shape.height < 0 || rows < shape.height) && readLine(pg, line.data())) {
                    fromSane(shape, line.data(), row.data());
                    ok = tiff.writeRow(row.data()) && ok;
                    ++rows;
                }
                ok = tiff.finish() && ok;
                pg.stream = tiff.bytes();
                if (!ok)
                    pg.stream.clear();
            } else {
                BmpWriter bmp(shape);
                pg.stream = bmp.header();
                while (readLine(pg, line.data())) {
                    fromSane(shape, line.data(), row.data());
                    const std::vector<std::uint8_t> out = bmp.row(row.data());
                    pg.stream.insert(pg.stream.end(), out.begin(), out.end());
                    ++rows;
                }
                const std::vector<std::uint8_t> fin = bmp.finalHeader(rows);
                std::copy(fin.begin(), fin.end(), pg.stream.begin());
            }
            pg.rowsOut = rows;
            bool complete = false;
            {
                std::unique_lock<std::mutex> lock0(m_q);
                awaitData(lock0, pg, [&] { return pg.ended; });
                complete = pg.complete();
            }
            if (!complete)
                return pageFailure(pg);
            if (pg.stream.empty())
                return {TWRC_FAILURE, TWCC_LOWMEMORY};
        } else {
            pg.stream = BmpWriter(shape).header();
        }
        pg.streamOffset = 0;
    }
    std::size_t written = 0;
    BmpWriter bmp(shape);
    while (written < capacity) {
        if (pg.streamOffset == pg.stream.size()) {
            pg.stream.clear();
            pg.streamOffset = 0;
            if (pg.streamWhole || pg.rowsOut >= shape.height)
                break;
            if (!readLine(pg, line.data())) {
                xfer->BytesWritten = 0;
                return pageFailure(pg);
            }
            fromSane(shape, line.data(), row.data());
            pg.stream = bmp.row(row.data());
            ++pg.rowsOut;
        }
        const std::size_t n = std::min(capacity - written, pg.stream.size() - pg.streamOffset);
        std::memcpy(buffer + written, pg.stream.data() + pg.streamOffset, n);
        written += n;
        pg.streamOffset += n;
    }
    xfer->Compression = TWCP_NONE;
    xfer->BytesPerRow = static_cast<TW_UINT32>(dibRowBytes(shape));
    xfer->Columns = static_cast<TW_UINT32>(shape.width);
    xfer->Rows = static_cast<TW_UINT32>(std::max(0, shape.height));
    xfer->XOffset = 0;
    xfer->YOffset = 0;
    xfer->BytesWritten = static_cast<TW_UINT32>(written);
    const bool last = pg.streamOffset == pg.stream.size() && (pg.streamWhole || pg.rowsOut >= shape.height);
    if (!last)
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    bool complete = false;
    {
        std::unique_lock<std::mutex> lock0(m_q);
        awaitData(lock0, pg, [&] { return pg.ended; });
        complete = pg.complete();
    }
    if (!complete) {
        xfer->BytesWritten = 0;
        return pageFailure(pg);
    }
    pg.done = true;
    return {TWRC_XFERDONE, TWCC_SUCCESS};
}

} // namespace sanesource
