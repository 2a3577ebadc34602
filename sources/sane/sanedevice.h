#ifndef PELIRAND_SOURCES_SANE_SANEDEVICE_H
#define PELIRAND_SOURCES_SANE_SANEDEVICE_H

#include "sources/sane/saneapi.h"
#include "twain/twain.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace sanesource {

// A numeric option (int, fixed or bool) as the device has it now.
struct NumOption
{
    int index = -1;
    bool settable = false;
    double value = 0;
    bool range = false; // else a word list (or no constraint)
    double min = 0, max = 0, quant = 0;
    std::vector<double> list;
    bool present() const { return index >= 0; }
};

struct StrOption
{
    int index = -1;
    bool settable = false;
    std::string value;
    std::vector<std::string> list;
    bool present() const { return index >= 0; }
};

// What the source knows of the device's options; taken on the worker after
// every change, read by the source's calls without touching the device.
struct DeviceState
{
    StrOption mode, source;
    NumOption depth, resolution, xResolution, yResolution;
    NumOption tlx, tly, brx, bry; // millimetres
    NumOption brightness, contrast;
    NumOption paperSensor; // a read-only "paper is loaded" option
    SANE_Parameters params{};
    bool paramsValid = false;
};

// What the source accepts from a backend. Everything SANE hands over (option
// descriptors, values, lists, parameters) is checked against these before
// it sizes a buffer or a loop: a broken or hostile backend (or a server
// behind the net backend) gets its option ignored or its page refused,
// never the process ended.
#ifndef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
constexpr SANE_Int kMaxOptionBytes = 1024 * 1024; // the largest option value (gamma tables are the big ones)
constexpr SANE_Int kMaxOptions = 4096;           // options a device may have
constexpr SANE_Int kMaxListItems = 4096;         // items of a word or string list
#else
// The same checks with limits a fuzzer reaches in microseconds, not milliseconds.
constexpr SANE_Int kMaxOptionBytes = 64 * 1024;
constexpr SANE_Int kMaxOptions = 64;
constexpr SANE_Int kMaxListItems = 64;
#endif
constexpr SANE_Int kMaxLineBytes = 4 * 1024 * 1024; // bytes of one SANE line

// A descriptor's type and constraint type, and a frame format, as the raw
// numbers the backend put there: it may put any.
int typeOf(const SANE_Option_Descriptor& d);
int constraintOf(const SANE_Option_Descriptor& d);
int formatOf(const SANE_Parameters& p);

// The bytes of an option's value as its descriptor announces them: 0 for an
// option without a value (a button, a group) and for a descriptor that cannot
// be right (a negative, too large or too small size, a type SANE lacks).
std::size_t valueBytes(const SANE_Option_Descriptor& d);

// Whether parameters describe a page the source can deliver: a known frame
// format, 1, 8 or 16 bits, lines that hold their pixels, sizes in bounds.
bool usableParameters(const SANE_Parameters& p);

// One open SANE device. Every call except cancel() is made on the worker.
// Once a call has failed with SANE_STATUS_IO_ERROR or a status SANE does not
// define, the handle is broken and never used again.
class Device
{
public:
    explicit Device(const SaneApi& api) : m_api(api) {}

    SANE_Status open(const std::string& name);
    void close();
    bool isOpen() const { return m_handle != nullptr; }
    bool broken() const { return m_broken.load(); }
    void markBroken() { m_broken = true; }
    const std::string& name() const { return m_name; }

    // Re-reads the options into state.
    void refresh(DeviceState& state);

    // Sets an option; info receives SANE's SANE_INFO_ flags.
    SANE_Status setNumber(const NumOption& option, double value, SANE_Int& info);
    SANE_Status setString(const StrOption& option, const std::string& value, SANE_Int& info);
    bool readNumber(int index, double& value);
    // Any option by name, its value as text (see SANEDAT_OPTION).
    SANE_Status getText(const std::string& name, std::string& value);
    SANE_Status setText(const std::string& name, const std::string& value, SANE_Int& info);

    // The device's named options in its order, groups left out, each as
    // SANEDAT_OPTIONINFO tells it: what a person needs to set it by name.
    struct OptionInfo
    {
        std::string name;
        std::string title;
        std::string unit;    // "mm", "dpi", "%", "us", "bit", "px" or empty
        std::string value;   // as getText gives it; empty when it has none now
        std::string allowed; // "0..200", "0..200 step 0.5", "Gray|Color", "yes|no"; empty: any
        bool settable = false;
    };
    std::vector<OptionInfo> options();

    SANE_Status start();
    SANE_Status parameters(SANE_Parameters& params);
    SANE_Status read(SANE_Byte* buffer, SANE_Int max, SANE_Int& length);
    // sane_cancel, from any thread; serialised, at most once per start (and
    // once more when it came during a start that went on to scan).
    void cancel();

    // Notes a status: IO errors and values SANE lacks break the handle.
    SANE_Status note(SANE_Int raw);

private:
    const SANE_Option_Descriptor* descriptor(int index);
    // The number of options (option 0), within kMaxOptions; 0 when unreadable.
    int optionCount();
    void readNum(int index, NumOption& option);
    void readStr(int index, StrOption& option);
    int find(const std::string& name);
    // The value of option index as text (see getText).
    SANE_Status textAt(int index, std::string& value);
    void awaitReaders();

    const SaneApi& m_api;
    SANE_Handle m_handle = nullptr;
    std::string m_name;
    std::atomic<bool> m_broken{false};
    std::mutex m_cancelMutex;
    bool m_cancelSent = false;
    bool m_cancelWhileStarting = false;
    // When the last sane_start returned (guarded by m_cancelMutex); none while one runs.
    std::chrono::steady_clock::time_point m_started;
    // The page of the last start has delivered data and then ended with
    // SANE_STATUS_EOF. An end without data (a backend told to fail its
    // reads) leaves the reader thread just started: not an end of page.
    std::atomic<bool> m_endOfPage{false};

    // The page's own reading, on the worker: its size as the parameters
    // announced it (-1 unknown), what came so far, and the threads the
    // backend started for it (see read()).
    std::int64_t m_pageBytes = -1;
    std::int64_t m_pageRead = 0;
    std::vector<long> m_readers;
    // A backend whose reader threads outlive their page is not waited for again.
    bool m_readersLinger = false;
};

// TWAIN's condition code for a SANE status.
TW_UINT16 conditionFor(SANE_Status status);

} // namespace sanesource

#endif // PELIRAND_SOURCES_SANE_SANEDEVICE_H
