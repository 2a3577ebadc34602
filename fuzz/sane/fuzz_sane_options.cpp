// The SANE device code against a libsane that lies: option descriptors of any
// type, size, capability and constraint (lists that count themselves wrong,
// ranges upside down), values of any bytes, statuses SANE lacks, descriptors
// that change between two calls, and image parameters of any numbers.
//
// The lying stays inside what the descriptors announce: a backend writes an
// option's value into the announced size and its lists hold the items they
// count (up to the source's own limit); beyond that no caller can defend.
//
// Input: [0] options (low 4 bits) and when the descriptors change (bit 4),
// then per option 16 bytes: name, type, size (4), cap, constraint type,
// status of reads, status of writes, info flags, 5 bytes for its value and
// list; the changed sizes and types (5 bytes per option); then image
// parameters (20 bytes); the rest is text for the options' values.

#include "sources/sane/saneapi.h"
#include "sources/sane/sanedevice.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using sanesource::Device;
using sanesource::DeviceState;
using sanesource::SaneApi;

const char* const kNames[] = {"",           SANE_NAME_SCAN_MODE,  SANE_NAME_SCAN_SOURCE, SANE_NAME_BIT_DEPTH,
                              SANE_NAME_SCAN_RESOLUTION, SANE_NAME_SCAN_X_RESOLUTION, SANE_NAME_SCAN_Y_RESOLUTION,
                              SANE_NAME_SCAN_TL_X, SANE_NAME_SCAN_TL_Y, SANE_NAME_SCAN_BR_X, SANE_NAME_SCAN_BR_Y,
                              SANE_NAME_BRIGHTNESS, SANE_NAME_CONTRAST, "page-loaded", "gamma-table", nullptr};
constexpr int kNameCount = sizeof kNames / sizeof *kNames;
constexpr int kMaxFuzzOptions = 16;

struct Option
{
    SANE_Option_Descriptor d{};
    SANE_Option_Descriptor changed{};
    SANE_Int readStatus = SANE_STATUS_GOOD;
    SANE_Int writeStatus = SANE_STATUS_GOOD;
    SANE_Int info = 0;
    std::uint8_t seed[5] = {};
    SANE_Range range{};
    std::vector<SANE_Word> words;          // word list: count, then the items
    std::vector<std::string> strings;      // string list
    std::vector<SANE_String_Const> list;   // pointers into strings, then nullptr
};

struct Backend
{
    std::vector<Option> options;
    bool changes = false;
    bool changed = false;
    SANE_Parameters params{};
} g;

// Any number in an enumeration's place, as a backend may put it.
template <typename Enum>
void setRaw(Enum& field, int value)
{
    static_assert(sizeof(Enum) == sizeof(int), "SANE's enumerations are ints");
    std::memcpy(&field, &value, sizeof value);
}

std::uint32_t take32(const std::uint8_t*& p, const std::uint8_t* end)
{
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v = v << 8 | (p < end ? *p++ : 0);
    return v;
}

std::uint8_t take8(const std::uint8_t*& p, const std::uint8_t* end)
{
    return p < end ? *p++ : 0;
}

// The bytes a value of this descriptor has, as the lying backend writes them.
std::size_t written(const SANE_Option_Descriptor& d)
{
    return d.size > 0 && d.size <= sanesource::kMaxOptionBytes ? static_cast<std::size_t>(d.size)
                                                               : sizeof(SANE_Word);
}

const SANE_Option_Descriptor* getDescriptor(SANE_Handle, SANE_Int n)
{
    if (n < 0 || n >= static_cast<SANE_Int>(g.options.size()))
        return nullptr;
    Option& o = g.options[static_cast<std::size_t>(n)];
    return g.changed ? &o.changed : &o.d;
}

SANE_Int control(SANE_Handle, SANE_Int n, SANE_Action action, void* value, SANE_Int* info)
{
    if (n < 0 || n >= static_cast<SANE_Int>(g.options.size()))
        return SANE_STATUS_INVAL;
    Option& o = g.options[static_cast<std::size_t>(n)];
    const SANE_Option_Descriptor& d = g.changed ? o.changed : o.d;
    if (info)
        *info = o.info;
    if (action == SANE_ACTION_GET_VALUE) {
        if (!value)
            return SANE_STATUS_INVAL;
        auto* out = static_cast<std::uint8_t*>(value);
        const std::size_t size = written(d);
        std::memset(out, o.seed[0], size);
        std::memcpy(out, o.seed, std::min(size, sizeof o.seed));
        out[size - 1] = o.seed[4]; // a string that fills its size has no end
        if (n == 0 && size >= sizeof(SANE_Word)) {
            // The option count: sometimes right, sometimes anything.
            const SANE_Word count = (o.seed[0] & 1) ? static_cast<SANE_Word>(g.options.size())
                                                    : static_cast<SANE_Word>(o.seed[1] << 24 | o.seed[2] << 16 |
                                                                             o.seed[3] << 8 | o.seed[4]);
            std::memcpy(out, &count, sizeof count);
        }
        return o.readStatus;
    }
    if (action == SANE_ACTION_SET_VALUE && value) {
        // Reads the value it announced: a buffer short of that is the caller's fault.
        const auto* in = static_cast<const volatile std::uint8_t*>(value);
        const std::uint8_t first = in[0], last = in[written(d) - 1];
        (void)first;
        (void)last;
    }
    g.changed = g.changes;
    return o.writeStatus;
}

SANE_Int open(SANE_String_Const, SANE_Handle* handle)
{
    *handle = &g;
    return SANE_STATUS_GOOD;
}

void close(SANE_Handle) {}

SANE_Int parameters(SANE_Handle, SANE_Parameters* p)
{
    *p = g.params;
    return SANE_STATUS_GOOD;
}

SANE_Int start(SANE_Handle)
{
    return SANE_STATUS_GOOD;
}

SANE_Int read(SANE_Handle, SANE_Byte*, SANE_Int, SANE_Int* length)
{
    *length = 0;
    return SANE_STATUS_EOF;
}

void cancel(SANE_Handle) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::uint8_t* p = data;
    const std::uint8_t* const end = data + size;
    g = Backend{};
    const std::uint8_t head = take8(p, end);
    const int count = 1 + (head & 0x0F) % kMaxFuzzOptions;
    g.changes = (head & 0x10) != 0;
    g.options.resize(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        Option& o = g.options[static_cast<std::size_t>(i)];
        SANE_Option_Descriptor& d = o.d;
        const std::uint8_t name = take8(p, end);
        d.name = i == 0 ? "" : kNames[name % kNameCount];
        d.title = d.desc = "fuzz";
        setRaw(d.type, take8(p, end) % 9);
        d.size = static_cast<SANE_Int>(take32(p, end));
        d.cap = take8(p, end);
        const int constraint = take8(p, end) % 5;
        setRaw(d.constraint_type, constraint);
        o.readStatus = take8(p, end) % 16 == 0 ? 9 : SANE_STATUS_GOOD;
        o.writeStatus = take8(p, end) % 18;
        o.info = take8(p, end);
        for (std::uint8_t& b : o.seed)
            b = take8(p, end);
        switch (constraint) {
        case SANE_CONSTRAINT_RANGE:
            o.range.min = static_cast<SANE_Word>(o.seed[0] << 24 | o.seed[1]);
            o.range.max = static_cast<SANE_Word>(o.seed[2] << 24 | o.seed[3]);
            o.range.quant = static_cast<SANE_Word>(static_cast<std::int8_t>(o.seed[4]));
            d.constraint.range = (o.seed[4] & 0x80) ? nullptr : &o.range;
            break;
        case SANE_CONSTRAINT_WORD_LIST: {
            // Counts itself as anything; holds as many items as the source reads at most.
            const SANE_Word listed = static_cast<SANE_Word>(static_cast<std::int16_t>(o.seed[0] << 8 | o.seed[1]));
            o.words.assign(static_cast<std::size_t>(sanesource::kMaxListItems) + 1, 0);
            o.words[0] = listed;
            for (std::size_t k = 1; k < 9; ++k)
                o.words[k] = static_cast<SANE_Word>(o.seed[k % 5] * 0x01010101u);
            d.constraint.word_list = o.words.data();
            break;
        }
        case SANE_CONSTRAINT_STRING_LIST: {
            const int n = o.seed[0] % 5;
            for (int k = 0; k < n; ++k)
                o.strings.push_back(std::string(1 + o.seed[k % 5] % 40, static_cast<char>('a' + k)));
            for (const std::string& s : o.strings)
                o.list.push_back(s.c_str());
            o.list.push_back(nullptr);
            d.constraint.string_list = o.list.data();
            break;
        }
        default:
            d.constraint.range = nullptr;
            break;
        }
        o.changed = d;
    }
    for (Option& o : g.options) {
        o.changed.size = static_cast<SANE_Int>(take32(p, end));
        setRaw(o.changed.type, take8(p, end) % 9);
    }
    setRaw(g.params.format, static_cast<int>(take32(p, end) % 9));
    g.params.last_frame = SANE_TRUE;
    g.params.bytes_per_line = static_cast<SANE_Int>(take32(p, end));
    g.params.pixels_per_line = static_cast<SANE_Int>(take32(p, end));
    g.params.lines = static_cast<SANE_Int>(take32(p, end));
    g.params.depth = static_cast<SANE_Int>(take32(p, end));
    const std::string text(reinterpret_cast<const char*>(p), static_cast<std::size_t>(end - p));

    SaneApi api;
    api.getOptionDescriptor = getDescriptor;
    api.controlOption = control;
    api.open = open;
    api.close = close;
    api.getParameters = parameters;
    api.start = start;
    api.read = read;
    api.cancel = cancel;
    Device device(api);
    if (device.open("fuzz") != SANE_STATUS_GOOD)
        return 0;
    DeviceState state;
    device.refresh(state);
    // Then every option set through the device's own view and by name.
    SANE_Int info = 0;
    for (const sanesource::NumOption* o : {&state.depth, &state.resolution, &state.tlx, &state.bry,
                                           &state.brightness, &state.contrast, &state.paperSensor}) {
        if (o->present())
            device.setNumber(*o, o->list.empty() ? o->max : o->list.back(), info);
    }
    for (const sanesource::StrOption* o : {&state.mode, &state.source}) {
        if (o->present())
            device.setString(*o, o->list.empty() ? text : o->list.front(), info);
    }
    for (int i = 1; i < kNameCount - 1; ++i) {
        std::string value;
        device.getText(kNames[i], value);
        device.setText(kNames[i], text, info);
    }
    double number = 0;
    device.readNumber(static_cast<int>(text.size() % 20), number);
    sanesource::usableParameters(g.params);
    SANE_Parameters announced{};
    device.parameters(announced);
    device.close();
    return 0;
}
