// The SANE data source: what an application or a test needs to know of it.
//
// The source is `pelirand-sane.ds` in `twain_32/` beside the DSM. It is a
// TWAIN 2 data source (DG_CONTROL | DG_IMAGE | DF_DS2) that drives one SANE
// device. libsane is loaded with dlopen only when the source is opened
// (MSG_OPENDS), never while the DSM merely lists the sources, so the source
// lists where libsane is missing and fails to open there with
// TWCC_OPERATIONERROR and a line on standard error.
//
// Device: MSG_OPENDS opens the device named by PELIRAND_SANE_DEVICE, else the
// first device SANE lists. SANECAP_DEVICE lists the devices and switches to
// another in state 4; SANEDAT_DEVICE tells their names.
//
// One worker thread makes every SANE call on the device; scanning runs there
// while the application takes the pages, so MSG_ENABLEDS returns at once and
// MSG_XFERREADY follows through the DSM once the first page has started.

#ifndef PELIRAND_SOURCES_SANE_SANEDS_H
#define PELIRAND_SOURCES_SANE_SANEDS_H

#include "twain/twain.h"

namespace sanesource {

constexpr const char* kManufacturer = "pelirand";
constexpr const char* kProductFamily = "SANE";
constexpr const char* kProductName = "pelirand SANE Scanner";
constexpr const char* kFileName = "pelirand-sane.ds"; // in twain_32/ beside the DSM

// Environment: the device to open, and the library to load in place of
// libsane.so.1 (tests put a fake one there).
constexpr const char* kDeviceVariable = "PELIRAND_SANE_DEVICE";
constexpr const char* kLibraryVariable = "PELIRAND_SANE_LIBRARY";
constexpr const char* kDefaultLibrary = "libsane.so.1";
// Device options to set whenever a device is opened, as name=value pairs
// separated by ';' (values as SANEDAT_OPTION takes them), for backend
// options no capability covers: "test-picture=Grid;read-delay=yes".
constexpr const char* kOptionsVariable = "PELIRAND_SANE_OPTIONS";

enum : TW_UINT16
{
    // TW_UINT16 enumeration: the indexes 0 .. n-1 of the devices SANE lists
    // (the open device is added at the end if SANE does not list it); the
    // current item is the open device. MSG_SET in state 4 closes the device
    // and opens the one with that index; every setting starts again from
    // that device's defaults. Listed in CAP_EXTENDEDCAPS.
    SANECAP_DEVICE = CAP_CUSTOMBASE + 0x101,
};

// DG_CONTROL / SANEDAT_DEVICE: one device's names.
//   MSG_GET (states 4 to 7): Index in, the rest out: Count devices, Current
//     the index of the open device, the device's SANE names.
//   MSG_SET (state 4): Name in: opens that device as SANECAP_DEVICE does;
//     it need not be listed (a net: device, for example).
// The block holds no pointer, so it is the same in 32-bit and 64-bit builds.
constexpr TW_UINT16 SANEDAT_DEVICE = DAT_CUSTOMBASE + 0x101;

#pragma pack(push, 2)
struct SANE_TW_DEVICE
{
    TW_UINT16 Index;
    TW_UINT16 Count;
    TW_UINT16 Current;
    TW_STR255 Name; // as sane_open takes it, e.g. "test:0"
    TW_STR255 Vendor;
    TW_STR255 Model;
    TW_STR255 Type;
};
#pragma pack(pop)
static_assert(sizeof(SANE_TW_DEVICE) == 6 + 4 * 256, "SANE_TW_DEVICE is packed");

// DG_CONTROL / SANEDAT_OPTION: any of the device's own options by its SANE
// name, the value as text ("yes"/"no" for booleans, numbers for integer and
// fixed options, the string itself for string options; a button is pressed
// by any value). For what has no capability (a test picture, a lamp...).
//   MSG_GET (states 4 to 7): Name in, Value out.
//   MSG_SET (state 4): Name and Value in; Value out as the device took it,
//     TWRC_CHECKSTATUS when the device changed the value.
constexpr TW_UINT16 SANEDAT_OPTION = DAT_CUSTOMBASE + 0x102;

#pragma pack(push, 2)
struct SANE_TW_OPTION
{
    TW_STR255 Name;
    TW_STR255 Value;
};
#pragma pack(pop)
static_assert(sizeof(SANE_TW_OPTION) == 2 * 256, "SANE_TW_OPTION is packed");

} // namespace sanesource

#endif // PELIRAND_SOURCES_SANE_SANEDS_H
