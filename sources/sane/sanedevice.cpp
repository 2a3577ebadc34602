#include "sources/sane/sanedevice.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#ifdef __linux__
#include <dirent.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace sanesource {

namespace {

// Backends that read in a thread of their own (SANE's thread helper, the
// test backend among them) cancel that thread asynchronously in sane_cancel.
// Caught inside malloc as it starts, it leaves the C library's allocator
// locked and the whole process hangs. A page that ends at once (a status on
// the first read, a cancel at once) is cancelled only once that thread is
// past its start; a page read to its end has no such thread any more.
// Under load the thread may wait that long to be scheduled at all, hence
// a margin well above its few milliseconds of start.
constexpr std::chrono::milliseconds kReaderSettle(100);

// A reader thread ending on its own is done within microseconds of its last
// write; this bounds the wait for one that does not end.
constexpr std::chrono::milliseconds kReaderExit(100);

#ifdef __linux__
// The threads of this process that carry the calling thread's name, except
// itself: the backend's threads started from the worker inherit its name.
std::vector<long> namedLikeMe()
{
    std::vector<long> found;
    char own[16] = {};
    if (pthread_getname_np(pthread_self(), own, sizeof own) != 0)
        return found;
    const long self = static_cast<long>(syscall(SYS_gettid));
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return found;
    while (const dirent* entry = readdir(tasks)) {
        char* end = nullptr;
        const long tid = std::strtol(entry->d_name, &end, 10);
        if (tid <= 0 || *end || tid == self)
            continue;
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/task/%ld/comm", tid);
        FILE* f = std::fopen(path, "re");
        if (!f)
            continue; // ended meanwhile
        char name[32] = {};
        const bool read = std::fgets(name, sizeof name, f) != nullptr;
        std::fclose(f);
        name[std::strcspn(name, "\n")] = '\0';
        if (read && std::strcmp(name, own) == 0)
            found.push_back(tid);
    }
    closedir(tasks);
    return found;
}

bool threadAlive(long tid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%ld", tid);
    return access(path, F_OK) == 0;
}
#else
std::vector<long> namedLikeMe()
{
    return {};
}

bool threadAlive(long)
{
    return false;
}
#endif

bool sameName(const char* a, const char* b)
{
    return a && b && std::strcmp(a, b) == 0;
}

double wordValue(int type, SANE_Word w)
{
    return type == SANE_TYPE_FIXED ? SANE_UNFIX(w) : static_cast<double>(w);
}

std::string numberText(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

SANE_Word toWord(int type, double v)
{
    // Clamped to what a word holds: a value out of range must not wrap.
    double scaled = std::round(type == SANE_TYPE_FIXED ? v * (1 << SANE_FIXED_SCALE_SHIFT) : v);
    if (std::isnan(scaled))
        scaled = 0;
    scaled = std::max(-2147483648.0, std::min(2147483647.0, scaled));
    return static_cast<SANE_Word>(scaled);
}

bool numeric(int type)
{
    return type == SANE_TYPE_INT || type == SANE_TYPE_FIXED || type == SANE_TYPE_BOOL;
}

// A zeroed buffer for an option's value: whole words, one more than the
// value needs, so that a string the backend fills to its size still ends.
std::vector<SANE_Word> valueBuffer(std::size_t bytes)
{
    return std::vector<SANE_Word>(bytes / sizeof(SANE_Word) + 2, 0);
}

} // namespace

namespace {

// The raw number in an enumeration's place (loading a number the type lacks
// as the enumeration would be undefined).
template <typename Enum>
int rawEnum(const Enum& field)
{
    static_assert(sizeof(Enum) == sizeof(int), "SANE's enumerations are ints");
    int raw = 0;
    std::memcpy(&raw, &field, sizeof raw);
    return raw;
}

// A unit as people write it after a number; empty for none and for a number SANE lacks.
const char* unitText(int unit)
{
    switch (unit) {
    case SANE_UNIT_PIXEL:
        return "px";
    case SANE_UNIT_BIT:
        return "bit";
    case SANE_UNIT_MM:
        return "mm";
    case SANE_UNIT_DPI:
        return "dpi";
    case SANE_UNIT_PERCENT:
        return "%";
    case SANE_UNIT_MICROSECOND:
        return "us";
    default:
        return "";
    }
}

} // namespace

int typeOf(const SANE_Option_Descriptor& d)
{
    return rawEnum(d.type);
}

int constraintOf(const SANE_Option_Descriptor& d)
{
    return rawEnum(d.constraint_type);
}

int formatOf(const SANE_Parameters& p)
{
    return rawEnum(p.format);
}

std::size_t valueBytes(const SANE_Option_Descriptor& d)
{
    if (d.size <= 0 || d.size > kMaxOptionBytes)
        return 0;
    const std::size_t size = static_cast<std::size_t>(d.size);
    switch (typeOf(d)) {
    case SANE_TYPE_BOOL:
    case SANE_TYPE_INT:
    case SANE_TYPE_FIXED:
        return size >= sizeof(SANE_Word) ? size : 0;
    case SANE_TYPE_STRING:
        return size;
    default:
        return 0; // buttons and groups have no value; other types are not SANE's
    }
}

bool usableParameters(const SANE_Parameters& p)
{
    if (formatOf(p) < SANE_FRAME_GRAY || formatOf(p) > SANE_FRAME_BLUE)
        return false;
    if (p.depth != 1 && p.depth != 8 && p.depth != 16)
        return false;
    if (p.pixels_per_line <= 0 || p.bytes_per_line <= 0 || p.bytes_per_line > kMaxLineBytes || p.lines < -1)
        return false;
    const std::int64_t channels = formatOf(p) == SANE_FRAME_RGB ? 3 : 1;
    if (static_cast<std::int64_t>(p.bytes_per_line) * 8 <
        static_cast<std::int64_t>(p.pixels_per_line) * p.depth * channels)
        return false;
    // One-bit colour has no TWAIN pixel type here.
    return formatOf(p) == SANE_FRAME_GRAY || p.depth != 1;
}

TW_UINT16 conditionFor(SANE_Status status)
{
    switch (status) {
    case SANE_STATUS_GOOD:
    case SANE_STATUS_EOF:
    case SANE_STATUS_CANCELLED:
        return TWCC_SUCCESS;
    case SANE_STATUS_NO_DOCS:
        return TWCC_NOMEDIA;
    case SANE_STATUS_JAMMED:
        return TWCC_PAPERJAM;
    case SANE_STATUS_COVER_OPEN:
        return TWCC_INTERLOCK;
    case SANE_STATUS_DEVICE_BUSY:
        return TWCC_MAXCONNECTIONS;
    case SANE_STATUS_INVAL:
        return TWCC_BADVALUE;
    case SANE_STATUS_UNSUPPORTED:
        return TWCC_CAPUNSUPPORTED;
    case SANE_STATUS_IO_ERROR:
        return TWCC_OPERATIONERROR;
    case SANE_STATUS_NO_MEM:
        return TWCC_LOWMEMORY;
    case SANE_STATUS_ACCESS_DENIED:
        return TWCC_DENIED;
    default:
        return TWCC_BUMMER;
    }
}

SANE_Status Device::note(SANE_Int raw)
{
    const SANE_Status status = statusOf(raw);
    if (status == kStatusUnknown)
        std::fprintf(
            stderr, "pelirand SANE Scanner: the device answered with status %d, which SANE does not define\n",
            static_cast<int>(raw));
    if (status == SANE_STATUS_IO_ERROR || status == kStatusUnknown)
        m_broken = true;
    return status;
}

SANE_Status Device::open(const std::string& name)
{
    m_broken = false;
    m_name = name;
    SANE_Handle handle = nullptr;
    const SANE_Status status = statusOf(m_api.open(name.c_str(), &handle));
    if (status == SANE_STATUS_GOOD && handle) {
        m_handle = handle;
        std::lock_guard<std::mutex> lock(m_cancelMutex);
        m_cancelSent = true; // nothing started yet
        return status;
    }
    return status == SANE_STATUS_GOOD ? SANE_STATUS_INVAL : status;
}

void Device::close()
{
    if (m_handle && !m_broken)
        m_api.close(m_handle);
    m_handle = nullptr;
}

const SANE_Option_Descriptor* Device::descriptor(int index)
{
    if (!m_handle || m_broken)
        return nullptr;
    return m_api.getOptionDescriptor(m_handle, index);
}

int Device::optionCount()
{
    // A word whatever the descriptor says (as every frontend reads it), in
    // room for what the descriptor announces.
    const SANE_Option_Descriptor* first = descriptor(0);
    if (!first)
        return 0;
    const std::size_t announced =
        first->size > 0 && first->size <= kMaxOptionBytes ? static_cast<std::size_t>(first->size) : 0;
    std::vector<SANE_Word> count = valueBuffer(std::max(announced, sizeof(SANE_Word)));
    if (note(m_api.controlOption(m_handle, 0, SANE_ACTION_GET_VALUE, count.data(), nullptr)) != SANE_STATUS_GOOD)
        return 0;
    return std::max<SANE_Word>(0, std::min<SANE_Word>(count[0], kMaxOptions));
}

void Device::readNum(int index, NumOption& o)
{
    o = NumOption{};
    const SANE_Option_Descriptor* d = descriptor(index);
    if (!d || !SANE_OPTION_IS_ACTIVE(d->cap) || !numeric(typeOf(*d)) || valueBytes(*d) == 0)
        return;
    if (!(d->cap & SANE_CAP_SOFT_DETECT))
        return;
    std::vector<SANE_Word> words = valueBuffer(valueBytes(*d));
    if (note(m_api.controlOption(m_handle, index, SANE_ACTION_GET_VALUE, words.data(), nullptr)) !=
        SANE_STATUS_GOOD)
        return;
    o.index = index;
    o.settable = SANE_OPTION_IS_SETTABLE(d->cap);
    o.value = wordValue(typeOf(*d), words[0]);
    if (constraintOf(*d) == SANE_CONSTRAINT_RANGE && d->constraint.range && typeOf(*d) != SANE_TYPE_BOOL) {
        o.range = true;
        o.min = wordValue(typeOf(*d), d->constraint.range->min);
        o.max = wordValue(typeOf(*d), d->constraint.range->max);
        o.quant = std::max(0.0, wordValue(typeOf(*d), d->constraint.range->quant));
        if (o.max < o.min)
            std::swap(o.min, o.max);
    } else if (constraintOf(*d) == SANE_CONSTRAINT_WORD_LIST && d->constraint.word_list) {
        const SANE_Word n = d->constraint.word_list[0];
        for (SANE_Word i = 1; i <= n && i <= kMaxListItems; ++i)
            o.list.push_back(wordValue(typeOf(*d), d->constraint.word_list[i]));
    } else if (typeOf(*d) == SANE_TYPE_BOOL) {
        o.list = {0, 1};
    }
}

void Device::readStr(int index, StrOption& o)
{
    o = StrOption{};
    const SANE_Option_Descriptor* d = descriptor(index);
    if (!d || !SANE_OPTION_IS_ACTIVE(d->cap) || typeOf(*d) != SANE_TYPE_STRING || valueBytes(*d) == 0 ||
        !(d->cap & SANE_CAP_SOFT_DETECT))
        return;
    const std::size_t size = valueBytes(*d);
    std::vector<SANE_Word> words = valueBuffer(size);
    if (note(m_api.controlOption(m_handle, index, SANE_ACTION_GET_VALUE, words.data(), nullptr)) !=
        SANE_STATUS_GOOD)
        return;
    const char* text = reinterpret_cast<const char*>(words.data());
    o.index = index;
    o.settable = SANE_OPTION_IS_SETTABLE(d->cap);
    o.value.assign(text, strnlen(text, size));
    if (constraintOf(*d) == SANE_CONSTRAINT_STRING_LIST && d->constraint.string_list) {
        for (int i = 0; i < 256 && d->constraint.string_list[i]; ++i)
            o.list.push_back(d->constraint.string_list[i]);
    }
}

void Device::refresh(DeviceState& s)
{
    s = DeviceState{};
    if (!m_handle || m_broken)
        return;
    const int count = optionCount();
    for (int i = 1; i < count; ++i) {
        const SANE_Option_Descriptor* d = descriptor(i);
        if (!d || !d->name)
            continue;
        const char* n = d->name;
        if (sameName(n, SANE_NAME_SCAN_MODE))
            readStr(i, s.mode);
        else if (sameName(n, SANE_NAME_SCAN_SOURCE))
            readStr(i, s.source);
        else if (sameName(n, SANE_NAME_BIT_DEPTH))
            readNum(i, s.depth);
        else if (sameName(n, SANE_NAME_SCAN_RESOLUTION))
            readNum(i, s.resolution);
        else if (sameName(n, SANE_NAME_SCAN_X_RESOLUTION))
            readNum(i, s.xResolution);
        else if (sameName(n, SANE_NAME_SCAN_Y_RESOLUTION))
            readNum(i, s.yResolution);
        else if (sameName(n, SANE_NAME_SCAN_TL_X))
            readNum(i, s.tlx);
        else if (sameName(n, SANE_NAME_SCAN_TL_Y))
            readNum(i, s.tly);
        else if (sameName(n, SANE_NAME_SCAN_BR_X))
            readNum(i, s.brx);
        else if (sameName(n, SANE_NAME_SCAN_BR_Y))
            readNum(i, s.bry);
        else if (sameName(n, SANE_NAME_BRIGHTNESS))
            readNum(i, s.brightness);
        else if (sameName(n, SANE_NAME_CONTRAST))
            readNum(i, s.contrast);
        else if (sameName(n, "page-loaded") || sameName(n, "adf-loaded") || sameName(n, "document-loaded"))
            readNum(i, s.paperSensor);
    }
    if (m_broken)
        return;
    SANE_Parameters p{};
    if (note(m_api.getParameters(m_handle, &p)) == SANE_STATUS_GOOD) {
        s.params = p;
        s.paramsValid = true;
    }
}

SANE_Status Device::setNumber(const NumOption& option, double value, SANE_Int& info)
{
    info = 0;
    const SANE_Option_Descriptor* d = descriptor(option.index);
    // The descriptor may have changed since the option was read.
    if (!d || !numeric(typeOf(*d)) || valueBytes(*d) == 0)
        return SANE_STATUS_INVAL;
    if (!SANE_OPTION_IS_SETTABLE(d->cap) || !SANE_OPTION_IS_ACTIVE(d->cap))
        return SANE_STATUS_UNSUPPORTED;
    // Arrays (one value per colour, for example) get the value in every element.
    std::vector<SANE_Word> words = valueBuffer(valueBytes(*d));
    std::fill(words.begin(), words.end(), toWord(typeOf(*d), value));
    return note(m_api.controlOption(m_handle, option.index, SANE_ACTION_SET_VALUE, words.data(), &info));
}

SANE_Status Device::setString(const StrOption& option, const std::string& value, SANE_Int& info)
{
    info = 0;
    const SANE_Option_Descriptor* d = descriptor(option.index);
    if (!d || typeOf(*d) != SANE_TYPE_STRING || valueBytes(*d) == 0)
        return SANE_STATUS_INVAL;
    if (!SANE_OPTION_IS_SETTABLE(d->cap) || !SANE_OPTION_IS_ACTIVE(d->cap))
        return SANE_STATUS_UNSUPPORTED;
    if (value.size() + 1 > valueBytes(*d))
        return SANE_STATUS_INVAL;
    std::vector<SANE_Word> words = valueBuffer(valueBytes(*d));
    std::memcpy(words.data(), value.c_str(), value.size());
    return note(m_api.controlOption(m_handle, option.index, SANE_ACTION_SET_VALUE, words.data(), &info));
}

bool Device::readNumber(int index, double& value)
{
    NumOption o;
    readNum(index, o);
    value = o.value;
    return o.present();
}

int Device::find(const std::string& name)
{
    const int count = optionCount();
    for (int i = 1; i < count; ++i) {
        const SANE_Option_Descriptor* d = descriptor(i);
        if (d && sameName(d->name, name.c_str()))
            return i;
    }
    return -1;
}

SANE_Status Device::getText(const std::string& name, std::string& value)
{
    const int index = find(name);
    return index >= 0 ? textAt(index, value) : SANE_STATUS_UNSUPPORTED;
}

SANE_Status Device::textAt(int index, std::string& value)
{
    const SANE_Option_Descriptor* d = descriptor(index);
    if (!d)
        return SANE_STATUS_UNSUPPORTED;
    const std::size_t size = valueBytes(*d);
    if (!SANE_OPTION_IS_ACTIVE(d->cap) || !(d->cap & SANE_CAP_SOFT_DETECT) || size == 0)
        return SANE_STATUS_INVAL;
    const int type = typeOf(*d);
    std::vector<SANE_Word> words = valueBuffer(size);
    const SANE_Status status =
        note(m_api.controlOption(m_handle, index, SANE_ACTION_GET_VALUE, words.data(), nullptr));
    if (status != SANE_STATUS_GOOD)
        return status;
    if (type == SANE_TYPE_STRING) {
        const char* text = reinterpret_cast<const char*>(words.data());
        value.assign(text, strnlen(text, size));
    } else if (type == SANE_TYPE_BOOL) {
        value = words[0] ? "yes" : "no";
    } else {
        value = numberText(wordValue(type, words[0]));
    }
    return SANE_STATUS_GOOD;
}

std::vector<Device::OptionInfo> Device::options()
{
    // Bounded whatever the backend's descriptors say: each text, each list.
    constexpr std::size_t kMaxText = 1024;
    const auto bounded = [](const char* text) {
        return text ? std::string(text, strnlen(text, kMaxText)) : std::string();
    };
    std::vector<OptionInfo> all;
    const int count = optionCount();
    for (int i = 1; i < count && !m_broken; ++i) {
        const SANE_Option_Descriptor* d = descriptor(i);
        if (!d || typeOf(*d) == SANE_TYPE_GROUP || !d->name || !*d->name)
            continue;
        const int type = typeOf(*d);
        OptionInfo info;
        info.name = bounded(d->name);
        info.title = bounded(d->title);
        info.settable = SANE_OPTION_IS_ACTIVE(d->cap) && SANE_OPTION_IS_SETTABLE(d->cap);
        info.unit = unitText(rawEnum(d->unit));
        const auto add = [&info](const std::string& item) {
            if (info.allowed.size() < kMaxText)
                info.allowed += (info.allowed.empty() ? "" : "|") + item;
        };
        if (type == SANE_TYPE_BOOL) {
            info.allowed = "yes|no";
        } else if (type == SANE_TYPE_BUTTON) {
            info.allowed = "(a button: any value presses it)";
        } else if (constraintOf(*d) == SANE_CONSTRAINT_RANGE && d->constraint.range &&
                   (type == SANE_TYPE_INT || type == SANE_TYPE_FIXED)) {
            const SANE_Range* r = d->constraint.range;
            info.allowed = numberText(wordValue(type, r->min)) + ".." + numberText(wordValue(type, r->max));
            if (r->quant > 0)
                info.allowed += " step " + numberText(wordValue(type, r->quant));
        } else if (constraintOf(*d) == SANE_CONSTRAINT_WORD_LIST && d->constraint.word_list &&
                   (type == SANE_TYPE_INT || type == SANE_TYPE_FIXED)) {
            // The first word is the list's length.
            const SANE_Word n = d->constraint.word_list[0];
            for (SANE_Word k = 1; k <= n && k <= kMaxListItems; ++k)
                add(numberText(wordValue(type, d->constraint.word_list[k])));
        } else if (constraintOf(*d) == SANE_CONSTRAINT_STRING_LIST && d->constraint.string_list &&
                   type == SANE_TYPE_STRING) {
            for (int k = 0; k < kMaxListItems && d->constraint.string_list[k]; ++k)
                add(bounded(d->constraint.string_list[k]));
        }
        if (textAt(i, info.value) != SANE_STATUS_GOOD)
            info.value.clear();
        all.push_back(std::move(info));
    }
    return all;
}

SANE_Status Device::setText(const std::string& name, const std::string& value, SANE_Int& info)
{
    info = 0;
    const int index = find(name);
    const SANE_Option_Descriptor* d = index >= 0 ? descriptor(index) : nullptr;
    if (!d)
        return SANE_STATUS_UNSUPPORTED;
    if (!SANE_OPTION_IS_ACTIVE(d->cap) || !SANE_OPTION_IS_SETTABLE(d->cap))
        return SANE_STATUS_INVAL;
    if (typeOf(*d) == SANE_TYPE_BUTTON)
        return note(m_api.controlOption(m_handle, index, SANE_ACTION_SET_VALUE, nullptr, &info));
    if (typeOf(*d) == SANE_TYPE_STRING) {
        StrOption o;
        o.index = index;
        return setString(o, value, info);
    }
    double number = 0;
    if (typeOf(*d) == SANE_TYPE_BOOL) {
        const std::string v = value;
        if (v == "yes" || v == "true" || v == "1" || v == "on")
            number = 1;
        else if (v == "no" || v == "false" || v == "0" || v == "off")
            number = 0;
        else
            return SANE_STATUS_INVAL;
    } else if (typeOf(*d) == SANE_TYPE_INT || typeOf(*d) == SANE_TYPE_FIXED) {
        char* end = nullptr;
        number = std::strtod(value.c_str(), &end);
        if (value.empty() || !end || *end)
            return SANE_STATUS_INVAL;
    } else {
        return SANE_STATUS_INVAL;
    }
    NumOption o;
    o.index = index;
    return setNumber(o, number, info);
}

SANE_Status Device::start()
{
    if (!m_handle || m_broken)
        return SANE_STATUS_IO_ERROR;
    {
        std::lock_guard<std::mutex> lock(m_cancelMutex);
        m_cancelSent = false;
        m_cancelWhileStarting = false;
        m_started = {};
        m_endOfPage = false;
    }
    const std::vector<long> before = m_readersLinger ? std::vector<long>() : namedLikeMe();
    const SANE_Status status = note(m_api.start(m_handle));
    m_pageBytes = -1;
    m_pageRead = 0;
    m_readers.clear();
    if (status == SANE_STATUS_GOOD && !m_readersLinger) {
        for (long tid : namedLikeMe())
            if (std::find(before.begin(), before.end(), tid) == before.end())
                m_readers.push_back(tid);
    }
    bool again = false;
    {
        std::lock_guard<std::mutex> lock(m_cancelMutex);
        m_started = std::chrono::steady_clock::now();
        // A cancel that came while the device started may have found no
        // scan to stop (SANE's test backend ignores it): a scan that started
        // anyway is cancelled now, or its reader thread would outlive it.
        if (m_cancelWhileStarting && status == SANE_STATUS_GOOD) {
            m_cancelSent = false;
            again = true;
        }
    }
    if (again)
        cancel();
    return status;
}

void Device::awaitReaders()
{
    // Backends that read in a thread of their own (SANE's thread helper)
    // cancel it asynchronously in the read that ends the page. Caught in
    // free() after its last write, it leaves the allocator locked and the
    // process hangs. Held back, that read comes once the thread has ended.
    if (m_readers.empty())
        return;
    const auto until = std::chrono::steady_clock::now() + kReaderExit;
    for (;;) {
        m_readers.erase(
            std::remove_if(m_readers.begin(), m_readers.end(), [](long tid) { return !threadAlive(tid); }),
            m_readers.end());
        if (m_readers.empty())
            return;
        if (std::chrono::steady_clock::now() >= until) {
            m_readersLinger = true;
            m_readers.clear();
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

SANE_Status Device::parameters(SANE_Parameters& params)
{
    if (!m_handle || m_broken)
        return SANE_STATUS_IO_ERROR;
    const SANE_Status status = note(m_api.getParameters(m_handle, &params));
    // The page's size, as announced once it has started.
    if (status == SANE_STATUS_GOOD && m_pageRead == 0)
        m_pageBytes = params.lines > 0 && params.bytes_per_line > 0
                          ? static_cast<std::int64_t>(params.lines) * params.bytes_per_line
                          : -1;
    return status;
}

SANE_Status Device::read(SANE_Byte* buffer, SANE_Int max, SANE_Int& length)
{
    length = 0;
    if (!m_handle || m_broken)
        return SANE_STATUS_IO_ERROR;
    if (m_pageBytes > 0) {
        // The page's last byte is read on its own, after the reader ended.
        const std::int64_t remaining = m_pageBytes - m_pageRead;
        if (remaining > 1 && max >= remaining)
            max = static_cast<SANE_Int>(remaining - 1);
        else if (remaining <= 1)
            awaitReaders();
    }
    const SANE_Status status = note(m_api.read(m_handle, buffer, max, &length));
    if (length < 0 || length > max)
        length = 0;
    m_pageRead += length;
    if (status == SANE_STATUS_EOF && m_pageRead > 0)
        m_endOfPage = true;
    return status;
}

void Device::cancel()
{
    // Two cancels at once deadlock a network backend and its daemon: one
    // at a time, and one per scan.
    std::lock_guard<std::mutex> lock(m_cancelMutex);
    if (!m_handle || m_broken || m_cancelSent)
        return;
    m_cancelSent = true;
    if (m_started == std::chrono::steady_clock::time_point())
        m_cancelWhileStarting = true;
    else if (!m_endOfPage) {
        const auto settled = m_started + kReaderSettle;
        if (std::chrono::steady_clock::now() < settled)
            std::this_thread::sleep_until(settled);
    }
    m_api.cancel(m_handle);
}

} // namespace sanesource
