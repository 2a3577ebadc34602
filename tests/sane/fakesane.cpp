// A stand-in libsane for what SANE's test backend cannot do: failures of
// sane_open and sane_start, failures in the middle of a page, a slow start,
// garbage parameters, a sensor and brightness options, a server that stops
// sending, descriptors and parameters no backend should hand out. Controlled by the
// environment at every call (FAKESANE_*, see fakesane.h). It aborts the
// process when a handle is used after it reported an I/O error, or when two
// sane_cancel calls overlap: both hang real network scanners. With
// FAKESANE_READER_START_MS it also aborts on a cancel that catches its
// reader thread starting, and with FAKESANE_READER_MS on a read that ends the
// page while its reader thread still runs: SANE's thread helper cancels that
// thread there, and caught in the allocator it hangs the process.

#include "fakesane.h"

#include <sane/sane.h>
#include <sane/saneopts.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

struct Fake
{
    bool open = false;
    bool broken = false;
    bool scanning = false;
    std::atomic<bool> cancelled{false};
    std::atomic<int> inCancel{0};
    int starts = 0;
    long long sent = 0;
    std::chrono::steady_clock::time_point started;
    std::thread reader;
    std::atomic<bool> readerRunning{false};
    std::atomic<bool> stalled{false}; // the server stopped (FAKESANE_READ_STALL_AT)
    SANE_Word resolution = 75;
    SANE_Word brightness = 0;
    SANE_Word contrast = SANE_FIX(1.0);
    SANE_Word geometry[4] = {0, 0, SANE_FIX(20.0), SANE_FIX(10.0)};
    char mode[32] = "Gray";
    char source[32] = "Flatbed";
};

Fake g_fake;

const SANE_String_Const kModes[] = {"Lineart", "Gray", "Color", nullptr};
const SANE_String_Const kSources[] = {"Flatbed", "ADF Front", "ADF Duplex", nullptr};
const SANE_Word kResolutions[] = {3, 75, 150, 300};
const SANE_Range kBrightness = {-100, 100, 1};
const SANE_Range kContrast = {0, SANE_FIX(2.0), 0};
const SANE_Range kWidth = {0, SANE_FIX(215.0), 0};
const SANE_Range kHeight = {0, SANE_FIX(297.0), 0};

enum
{
    kCount,
    kMode,
    kResolution,
    kSource,
    kBrightness_,
    kContrast_,
    kPaper,
    kTlx,
    kTly,
    kBrx,
    kBry,
    kOptions
};

SANE_Option_Descriptor g_options[kOptions];
SANE_Option_Descriptor g_handedOut[kOptions]; // as changed by FAKESANE_OPTION

SANE_Status statusFrom(const char* text, SANE_Status otherwise)
{
    if (!text || !*text)
        return otherwise;
    static const char* const names[] = {"GOOD",       "UNSUPPORTED", "CANCELLED", "DEVICE_BUSY",
                                        "INVAL",      "EOF",         "JAMMED",    "NO_DOCS",
                                        "COVER_OPEN", "IO_ERROR",    "NO_MEM",    "ACCESS_DENIED"};
    for (int i = 0; i < 12; ++i)
        if (std::strcmp(text, names[i]) == 0)
            return static_cast<SANE_Status>(i);
    return static_cast<SANE_Status>(std::atoi(text)); // any number, also ones SANE lacks
}

// The n-th (0-based) item of a comma-separated list, else the last one.
std::string nth(const char* list, int n)
{
    if (!list)
        return {};
    std::string all(list), item;
    std::size_t at = 0;
    for (int i = 0;; ++i) {
        const std::size_t comma = all.find(',', at);
        item = all.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        if (i == n || comma == std::string::npos)
            return item;
        at = comma + 1;
    }
}

// Notes the call in FAKESANE_LOG, if set.
void logCall(const char* name)
{
    const char* path = std::getenv("FAKESANE_LOG");
    if (!path || !*path)
        return;
    if (FILE* f = std::fopen(path, "a")) {
        std::fprintf(f, "%s\n", name);
        std::fclose(f);
    }
}

// The value of field in a list of field=value items split by separator.
bool field(const char* list, const std::string& name, char separator, std::string& value)
{
    if (!list)
        return false;
    const std::string all(list);
    for (std::size_t at = 0; at <= all.size();) {
        std::size_t end = all.find(separator, at);
        if (end == std::string::npos)
            end = all.size();
        const std::string item = all.substr(at, end - at);
        const std::size_t eq = item.find('=');
        if (eq != std::string::npos && item.compare(0, eq, name) == 0) {
            value = item.substr(eq + 1);
            return true;
        }
        at = end + 1;
    }
    return false;
}

void overrideInt(const char* list, const char* name, SANE_Int& target)
{
    std::string value;
    if (field(list, name, ',', value))
        target = static_cast<SANE_Int>(std::strtol(value.c_str(), nullptr, 10));
}

SANE_Value_Type typeFrom(const std::string& text)
{
    static const char* const names[] = {"BOOL", "INT", "FIXED", "STRING", "BUTTON", "GROUP"};
    for (int i = 0; i < 6; ++i)
        if (text == names[i])
            return static_cast<SANE_Value_Type>(i);
    return static_cast<SANE_Value_Type>(std::atoi(text.c_str()));
}

// Option n's descriptor as FAKESANE_OPTION has it now.
const SANE_Option_Descriptor* handOut(int n)
{
    SANE_Option_Descriptor& d = g_handedOut[n];
    d = g_options[n];
    const char* list = std::getenv("FAKESANE_OPTION");
    const std::string name = n == kCount ? "count" : g_options[n].name;
    std::string value;
    if (field(list, name + ":size", ';', value))
        d.size = static_cast<SANE_Int>(std::strtol(value.c_str(), nullptr, 10));
    if (field(list, name + ":type", ';', value))
        d.type = typeFrom(value);
    return &d;
}

// Blocks for good: a stopped server answers nothing, not even a cancel.
[[noreturn]] void stopped()
{
    for (;;)
        std::this_thread::sleep_for(std::chrono::seconds(1));
}

void joinReader()
{
    if (g_fake.reader.joinable())
        g_fake.reader.join();
}

void touch()
{
    if (g_fake.broken) {
        // The caller went on with a handle that said it was broken.
        std::abort();
    }
}

int envInt(const char* name, int otherwise)
{
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : otherwise;
}

int width()
{
    const double mm = SANE_UNFIX(g_fake.geometry[2] - g_fake.geometry[0]);
    return static_cast<int>(mm / 25.4 * g_fake.resolution);
}

int lines()
{
    const double mm = SANE_UNFIX(g_fake.geometry[3] - g_fake.geometry[1]);
    return static_cast<int>(mm / 25.4 * g_fake.resolution);
}

void describe()
{
    auto set = [](int i, const char* name, SANE_Value_Type type, SANE_Int size, SANE_Int cap) {
        SANE_Option_Descriptor& d = g_options[i];
        d = SANE_Option_Descriptor{};
        d.name = name;
        d.title = name;
        d.desc = name;
        d.type = type;
        d.unit = SANE_UNIT_NONE;
        d.size = size;
        d.cap = cap;
        d.constraint_type = SANE_CONSTRAINT_NONE;
    };
    const SANE_Int soft = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
    set(kCount, "", SANE_TYPE_INT, sizeof(SANE_Word), SANE_CAP_SOFT_DETECT);
    set(kMode, SANE_NAME_SCAN_MODE, SANE_TYPE_STRING, 32, soft);
    g_options[kMode].constraint_type = SANE_CONSTRAINT_STRING_LIST;
    g_options[kMode].constraint.string_list = kModes;
    set(kResolution, SANE_NAME_SCAN_RESOLUTION, SANE_TYPE_INT, sizeof(SANE_Word), soft);
    g_options[kResolution].constraint_type = SANE_CONSTRAINT_WORD_LIST;
    g_options[kResolution].constraint.word_list = kResolutions;
    set(kSource, SANE_NAME_SCAN_SOURCE, SANE_TYPE_STRING, 32, soft);
    g_options[kSource].constraint_type = SANE_CONSTRAINT_STRING_LIST;
    g_options[kSource].constraint.string_list = kSources;
    set(kBrightness_, SANE_NAME_BRIGHTNESS, SANE_TYPE_INT, sizeof(SANE_Word), soft);
    g_options[kBrightness_].constraint_type = SANE_CONSTRAINT_RANGE;
    g_options[kBrightness_].constraint.range = &kBrightness;
    set(kContrast_, SANE_NAME_CONTRAST, SANE_TYPE_FIXED, sizeof(SANE_Word), soft);
    g_options[kContrast_].constraint_type = SANE_CONSTRAINT_RANGE;
    g_options[kContrast_].constraint.range = &kContrast;
    set(kPaper, "page-loaded", SANE_TYPE_BOOL, sizeof(SANE_Word),
        SANE_CAP_SOFT_DETECT | SANE_CAP_HARD_SELECT);
    const char* names[] = {SANE_NAME_SCAN_TL_X, SANE_NAME_SCAN_TL_Y, SANE_NAME_SCAN_BR_X,
                           SANE_NAME_SCAN_BR_Y};
    for (int i = 0; i < 4; ++i) {
        set(kTlx + i, names[i], SANE_TYPE_FIXED, sizeof(SANE_Word), soft);
        g_options[kTlx + i].unit = SANE_UNIT_MM;
        g_options[kTlx + i].constraint_type = SANE_CONSTRAINT_RANGE;
        g_options[kTlx + i].constraint.range = i % 2 == 0 ? &kWidth : &kHeight;
    }
}

const SANE_Device kDevice = {"fake:0", "pelirand", "fake scanner", "virtual device"};
const SANE_Device* kDevices[] = {&kDevice, nullptr};

} // namespace

extern "C" {

SANE_Status sane_init(SANE_Int* version, SANE_Auth_Callback)
{
    logCall("sane_init");
    if (version)
        *version = SANE_VERSION_CODE(1, 0, 0);
    describe();
    return SANE_STATUS_GOOD;
}

void sane_exit()
{
    if (g_fake.scanning)
        std::abort(); // a backend's reader thread, left running, would outlive its code
    joinReader();
}

SANE_Status sane_get_devices(const SANE_Device*** list, SANE_Bool)
{
    logCall("sane_get_devices");
    *list = kDevices;
    return SANE_STATUS_GOOD;
}

SANE_Status sane_open(SANE_String_Const name, SANE_Handle* handle)
{
    logCall("sane_open");
    const SANE_Status s = statusFrom(std::getenv("FAKESANE_OPEN"), SANE_STATUS_GOOD);
    if (s != SANE_STATUS_GOOD)
        return s;
    if (std::strcmp(name, "fake:0") != 0 && *name)
        return SANE_STATUS_INVAL;
    Fake fresh;
    g_fake.open = true;
    g_fake.broken = false;
    g_fake.scanning = false;
    g_fake.starts = 0;
    g_fake.sent = 0;
    g_fake.stalled = false; // a server stopped before stays stopped for its old handle only
    g_fake.resolution = fresh.resolution;
    g_fake.brightness = fresh.brightness;
    g_fake.contrast = fresh.contrast;
    std::memcpy(g_fake.geometry, fresh.geometry, sizeof fresh.geometry);
    std::strcpy(g_fake.mode, "Gray");
    std::strcpy(g_fake.source, envInt("FAKESANE_ADF", 0) ? "ADF Front" : "Flatbed");
    *handle = &g_fake;
    return SANE_STATUS_GOOD;
}

void sane_close(SANE_Handle)
{
    touch();
    joinReader();
    g_fake.open = false;
}

const SANE_Option_Descriptor* sane_get_option_descriptor(SANE_Handle, SANE_Int n)
{
    touch();
    return n >= 0 && n < kOptions ? handOut(n) : nullptr;
}

SANE_Status sane_control_option(SANE_Handle, SANE_Int n, SANE_Action action, void* value, SANE_Int* info)
{
    touch();
    if (info)
        *info = 0;
    if (n < 0 || n >= kOptions || !value)
        return SANE_STATUS_INVAL;
    SANE_Word* word = static_cast<SANE_Word*>(value);
    char* text = static_cast<char*>(value);
    if (action == SANE_ACTION_GET_VALUE) {
        switch (n) {
        case kCount:
            *word = kOptions;
            break;
        case kMode:
            std::strcpy(text, g_fake.mode);
            break;
        case kResolution:
            *word = g_fake.resolution;
            break;
        case kSource:
            std::strcpy(text, g_fake.source);
            break;
        case kBrightness_:
            *word = g_fake.brightness;
            break;
        case kContrast_:
            *word = g_fake.contrast;
            break;
        case kPaper:
            *word = envInt("FAKESANE_PAPER", 1) ? SANE_TRUE : SANE_FALSE;
            break;
        default:
            *word = g_fake.geometry[n - kTlx];
            break;
        }
        return SANE_STATUS_GOOD;
    }
    if (action != SANE_ACTION_SET_VALUE || n == kCount || n == kPaper)
        return SANE_STATUS_INVAL;
    switch (n) {
    case kMode:
    case kSource: {
        const SANE_String_Const* list = n == kMode ? kModes : kSources;
        for (int i = 0; list[i]; ++i) {
            if (std::strcmp(list[i], text) == 0) {
                std::strcpy(n == kMode ? g_fake.mode : g_fake.source, text);
                if (info)
                    *info = SANE_INFO_RELOAD_OPTIONS | SANE_INFO_RELOAD_PARAMS;
                return SANE_STATUS_GOOD;
            }
        }
        return SANE_STATUS_INVAL;
    }
    case kResolution: {
        // The nearest of the list.
        SANE_Word best = kResolutions[1];
        for (int i = 1; i <= kResolutions[0]; ++i)
            if (std::abs(kResolutions[i] - *word) < std::abs(best - *word))
                best = kResolutions[i];
        if (best != *word && info)
            *info |= SANE_INFO_INEXACT;
        g_fake.resolution = best;
        return SANE_STATUS_GOOD;
    }
    case kBrightness_:
        g_fake.brightness = *word < -100 ? -100 : *word > 100 ? 100 : *word;
        return SANE_STATUS_GOOD;
    case kContrast_:
        g_fake.contrast = *word < 0 ? 0 : *word > SANE_FIX(2.0) ? SANE_FIX(2.0) : *word;
        return SANE_STATUS_GOOD;
    default:
        g_fake.geometry[n - kTlx] = *word;
        return SANE_STATUS_GOOD;
    }
}

SANE_Status sane_get_parameters(SANE_Handle, SANE_Parameters* p)
{
    touch();
    const SANE_Status s = statusFrom(std::getenv("FAKESANE_PARAMETERS"), SANE_STATUS_GOOD);
    const bool colour = std::strcmp(g_fake.mode, "Color") == 0;
    const bool lineart = std::strcmp(g_fake.mode, "Lineart") == 0;
    p->format = colour ? SANE_FRAME_RGB : SANE_FRAME_GRAY;
    p->last_frame = SANE_TRUE;
    p->depth = lineart ? 1 : 8;
    p->pixels_per_line = width();
    p->lines = lines();
    p->bytes_per_line = lineart ? (p->pixels_per_line + 7) / 8 : p->pixels_per_line * (colour ? 3 : 1);
    if (const char* lying = std::getenv("FAKESANE_PARAMS")) {
        SANE_Int format = p->format;
        overrideInt(lying, "format", format);
        p->format = static_cast<SANE_Frame>(format);
        overrideInt(lying, "depth", p->depth);
        overrideInt(lying, "pixels_per_line", p->pixels_per_line);
        overrideInt(lying, "bytes_per_line", p->bytes_per_line);
        overrideInt(lying, "lines", p->lines);
    }
    if (s != SANE_STATUS_GOOD)
        g_fake.broken = s == SANE_STATUS_IO_ERROR || s > SANE_STATUS_ACCESS_DENIED;
    return s;
}

SANE_Status sane_start(SANE_Handle)
{
    touch();
    g_fake.cancelled = false;
    const int delay = envInt("FAKESANE_START_DELAY_MS", 0);
    const bool deaf = envInt("FAKESANE_START_IGNORES_CANCEL", 0) != 0;
    for (int waited = 0; waited < delay; waited += 5) {
        if (g_fake.cancelled && !deaf)
            return SANE_STATUS_CANCELLED;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const SANE_Status s =
        statusFrom(nth(std::getenv("FAKESANE_START"), g_fake.starts++).c_str(), SANE_STATUS_GOOD);
    if (s == SANE_STATUS_IO_ERROR || s > SANE_STATUS_ACCESS_DENIED)
        g_fake.broken = true;
    g_fake.scanning = s == SANE_STATUS_GOOD;
    g_fake.sent = 0;
    g_fake.started = std::chrono::steady_clock::now();
    const int readerMs = envInt("FAKESANE_READER_MS", 0);
    if (g_fake.scanning && readerMs > 0) {
        // Started from the caller's thread, as a backend's reader is.
        joinReader();
        g_fake.readerRunning = true;
        g_fake.reader = std::thread([readerMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(readerMs));
            g_fake.readerRunning = false;
        });
    }
    return s;
}

SANE_Status sane_read(SANE_Handle, SANE_Byte* data, SANE_Int max, SANE_Int* length)
{
    touch();
    *length = 0;
    if (g_fake.cancelled)
        return SANE_STATUS_CANCELLED;
    if (!g_fake.scanning)
        return SANE_STATUS_INVAL;
    SANE_Parameters p;
    sane_get_parameters(&g_fake, &p);
    const long long total = static_cast<long long>(p.bytes_per_line) * p.lines;
    const long long stallAt = envInt("FAKESANE_READ_STALL_AT", -1);
    if (stallAt >= 0 && g_fake.sent >= stallAt) {
        g_fake.stalled = true;
        logCall("stalled");
        stopped();
    }
    const long long failAt = envInt("FAKESANE_READ_FAIL_AT", -1);
    if (failAt >= 0 && g_fake.sent >= failAt) {
        const SANE_Status s = statusFrom(std::getenv("FAKESANE_READ_FAIL"), SANE_STATUS_IO_ERROR);
        if (s == SANE_STATUS_IO_ERROR || s > SANE_STATUS_ACCESS_DENIED)
            g_fake.broken = true;
        return s;
    }
    if (g_fake.sent >= total) {
        g_fake.scanning = false;
        return SANE_STATUS_EOF;
    }
    long long n = total - g_fake.sent;
    if (n > max)
        n = max;
    if (failAt >= 0 && g_fake.sent + n > failAt)
        n = failAt - g_fake.sent;
    if (stallAt >= 0 && g_fake.sent + n > stallAt)
        n = stallAt - g_fake.sent;
    if (g_fake.sent + n >= total && g_fake.readerRunning)
        std::abort(); // the page's end would cancel a reader that still runs
    const int delay = envInt("FAKESANE_READ_DELAY_MS", 0);
    if (delay)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    for (long long i = 0; i < n; ++i) {
        const long long at = g_fake.sent + i;
        data[i] = fakesane::sample(static_cast<int>(at % p.bytes_per_line),
                                   static_cast<int>(at / p.bytes_per_line));
    }
    g_fake.sent += n;
    *length = static_cast<SANE_Int>(n);
    return SANE_STATUS_GOOD;
}

void sane_cancel(SANE_Handle)
{
    touch();
    if (g_fake.stalled)
        stopped();
    if (g_fake.inCancel.fetch_add(1) != 0)
        std::abort(); // two at once
    const int readerStart = envInt("FAKESANE_READER_START_MS", 0);
    if (g_fake.scanning && g_fake.sent == 0 &&
        std::chrono::steady_clock::now() < g_fake.started + std::chrono::milliseconds(readerStart))
        std::abort(); // the reader thread, cancelled asynchronously, would hold the allocator
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    g_fake.cancelled = true;
    g_fake.scanning = false;
    joinReader();
    g_fake.inCancel.fetch_sub(1);
}

SANE_Status sane_set_io_mode(SANE_Handle, SANE_Bool)
{
    return SANE_STATUS_UNSUPPORTED;
}

SANE_Status sane_get_select_fd(SANE_Handle, SANE_Int*)
{
    return SANE_STATUS_UNSUPPORTED;
}

SANE_String_Const sane_strstatus(SANE_Status)
{
    return "fake";
}

} // extern "C"
