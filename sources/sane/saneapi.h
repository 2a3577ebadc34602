#ifndef PELIRAND_SOURCES_SANE_SANEAPI_H
#define PELIRAND_SOURCES_SANE_SANEAPI_H

#include <sane/sane.h>
#include <sane/saneopts.h>

#include <string>

namespace sanesource {

// libsane's entry points, looked up once with dlopen/dlsym. The library stays
// loaded until the process ends: backends may leave threads and handlers
// behind that must not lose their code. Statuses come back as plain
// integers: a broken backend returns values SANE_Status does not have.
struct SaneApi
{
    SANE_Int (*init)(SANE_Int*, SANE_Auth_Callback) = nullptr;
    void (*exit)() = nullptr;
    SANE_Int (*getDevices)(const SANE_Device***, SANE_Bool) = nullptr;
    SANE_Int (*open)(SANE_String_Const, SANE_Handle*) = nullptr;
    void (*close)(SANE_Handle) = nullptr;
    const SANE_Option_Descriptor* (*getOptionDescriptor)(SANE_Handle, SANE_Int) = nullptr;
    SANE_Int (*controlOption)(SANE_Handle, SANE_Int, SANE_Action, void*, SANE_Int*) = nullptr;
    SANE_Int (*getParameters)(SANE_Handle, SANE_Parameters*) = nullptr;
    SANE_Int (*start)(SANE_Handle) = nullptr;
    SANE_Int (*read)(SANE_Handle, SANE_Byte*, SANE_Int, SANE_Int*) = nullptr;
    void (*cancel)(SANE_Handle) = nullptr;
    SANE_String_Const (*strstatus)(SANE_Status) = nullptr;

    // The library named by PELIRAND_SANE_LIBRARY, else libsane.so.1. False
    // with the reason in error when it or one of its functions is missing.
    static const SaneApi* load(std::string& error);
};

// Any status SANE does not define (the raw value is logged where it came).
constexpr SANE_Status kStatusUnknown = static_cast<SANE_Status>(15);

// A raw status as SANE_Status, kStatusUnknown for values SANE lacks.
SANE_Status statusOf(SANE_Int raw);

// A status's name for log lines.
std::string statusName(SANE_Status status);

} // namespace sanesource

#endif // PELIRAND_SOURCES_SANE_SANEAPI_H
