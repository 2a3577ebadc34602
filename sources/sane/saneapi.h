#ifndef PELIRAND_SOURCES_SANE_SANEAPI_H
#define PELIRAND_SOURCES_SANE_SANEAPI_H

#include <sane/sane.h>
#include <sane/saneopts.h>

#include <string>

namespace sanesource {

// libsane's entry points, looked up once with dlopen/dlsym. The library stays
// loaded until the process ends: backends may leave threads and handlers
// behind that must not lose their code.
struct SaneApi
{
    SANE_Status (*init)(SANE_Int*, SANE_Auth_Callback) = nullptr;
    void (*exit)() = nullptr;
    SANE_Status (*getDevices)(const SANE_Device***, SANE_Bool) = nullptr;
    SANE_Status (*open)(SANE_String_Const, SANE_Handle*) = nullptr;
    void (*close)(SANE_Handle) = nullptr;
    const SANE_Option_Descriptor* (*getOptionDescriptor)(SANE_Handle, SANE_Int) = nullptr;
    SANE_Status (*controlOption)(SANE_Handle, SANE_Int, SANE_Action, void*, SANE_Int*) = nullptr;
    SANE_Status (*getParameters)(SANE_Handle, SANE_Parameters*) = nullptr;
    SANE_Status (*start)(SANE_Handle) = nullptr;
    SANE_Status (*read)(SANE_Handle, SANE_Byte*, SANE_Int, SANE_Int*) = nullptr;
    void (*cancel)(SANE_Handle) = nullptr;
    SANE_String_Const (*strstatus)(SANE_Status) = nullptr;

    // The library named by PELIRAND_SANE_LIBRARY, else libsane.so.1. False
    // with the reason in error when it or one of its functions is missing.
    static const SaneApi* load(std::string& error);
};

// A status's name for log lines, also for values no SANE version defines.
std::string statusName(SANE_Status status);

} // namespace sanesource

#endif // PELIRAND_SOURCES_SANE_SANEAPI_H
