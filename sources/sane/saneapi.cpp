#include "sources/sane/saneapi.h"

#include <pelirand/sanetwain.h>

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>

namespace sanesource {

namespace {

template <typename F>
bool resolve(void* library, const char* name, F& out, std::string& missing)
{
    out = reinterpret_cast<F>(dlsym(library, name));
    if (!out && missing.empty())
        missing = name;
    return out != nullptr;
}

} // namespace

const SaneApi* SaneApi::load(std::string& error)
{
    static std::mutex mutex;
    static SaneApi api;
    static bool loaded = false;
    std::lock_guard<std::mutex> lock(mutex);
    if (loaded)
        return &api;
    const char* name = std::getenv(kLibraryVariable);
    if (!name || !*name)
        name = kDefaultLibrary;
    void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* why = dlerror();
        error = std::string("cannot load ") + name + ": " + (why ? why : "not found");
        return nullptr;
    }
    SaneApi found;
    std::string missing;
    resolve(library, "sane_init", found.init, missing);
    resolve(library, "sane_exit", found.exit, missing);
    resolve(library, "sane_get_devices", found.getDevices, missing);
    resolve(library, "sane_open", found.open, missing);
    resolve(library, "sane_close", found.close, missing);
    resolve(library, "sane_get_option_descriptor", found.getOptionDescriptor, missing);
    resolve(library, "sane_control_option", found.controlOption, missing);
    resolve(library, "sane_get_parameters", found.getParameters, missing);
    resolve(library, "sane_start", found.start, missing);
    resolve(library, "sane_read", found.read, missing);
    resolve(library, "sane_cancel", found.cancel, missing);
    if (!missing.empty()) {
        error = std::string(name) + " has no " + missing;
        dlclose(library);
        return nullptr;
    }
    resolve(library, "sane_strstatus", found.strstatus, missing); // optional
    api = found;
    loaded = true; // never unloaded, see the header
    return &api;
}

SANE_Status statusOf(SANE_Int raw)
{
    if (raw >= SANE_STATUS_GOOD && raw <= SANE_STATUS_ACCESS_DENIED)
        return static_cast<SANE_Status>(raw);
    return kStatusUnknown;
}

std::string statusName(SANE_Status status)
{
    static const char* const kNames[] = {
        "SANE_STATUS_GOOD",        "SANE_STATUS_UNSUPPORTED", "SANE_STATUS_CANCELLED",
        "SANE_STATUS_DEVICE_BUSY", "SANE_STATUS_INVAL",       "SANE_STATUS_EOF",
        "SANE_STATUS_JAMMED",      "SANE_STATUS_NO_DOCS",     "SANE_STATUS_COVER_OPEN",
        "SANE_STATUS_IO_ERROR",    "SANE_STATUS_NO_MEM",      "SANE_STATUS_ACCESS_DENIED",
    };
    const int i = static_cast<int>(status);
    if (i >= 0 && i < static_cast<int>(sizeof kNames / sizeof kNames[0]))
        return kNames[i];
    return "a status SANE does not define";
}

} // namespace sanesource
