// The SANE data source as an application sees it: its identity, the
// environment it reads, and its custom capability and triplets.
//
// The source is `pelirand-sane.ds` in a TWAIN sources folder (beside the DSM
// in the build tree). It is a TWAIN 2 data source (DG_CONTROL | DG_IMAGE |
// DF_DS2) that drives one SANE device. libsane is loaded only when the source
// is opened (MSG_OPENDS), never while the DSM merely lists the sources, so the
// source lists where libsane is missing and fails to open there with
// TWCC_OPERATIONERROR and a line on standard error.
//
// Device: MSG_OPENDS opens the device named by PELIRAND_SANE_DEVICE, else the
// first device SANE lists. SANECAP_DEVICE lists the devices and switches to
// another in state 4; SANEDAT_DEVICE tells their names.
//
// Scanning runs while the application takes the pages, so MSG_ENABLEDS
// returns at once and MSG_XFERREADY follows through the DSM once the first
// page has started.
//
// The header needs no TWAIN header: values are the TWAIN numbers, types
// fixed-size integers and 256-byte strings laid out as TW_UINT16 and
// TW_STR255, so it can be included beside any TWAIN header.

#ifndef PELIRAND_SANETWAIN_H
#define PELIRAND_SANETWAIN_H

#include <cstdint>

namespace sanesource {

constexpr const char* kManufacturer = "pelirand";
constexpr const char* kProductFamily = "SANE";
constexpr const char* kProductName = "pelirand SANE Scanner";
constexpr const char* kFileName = "pelirand-sane.ds";

// Environment: the device to open, and the library to load in place of
// libsane.so.1 (tests put a fake one there).
constexpr const char* kDeviceVariable = "PELIRAND_SANE_DEVICE";
constexpr const char* kLibraryVariable = "PELIRAND_SANE_LIBRARY";
constexpr const char* kDefaultLibrary = "libsane.so.1";
// Device options to set whenever a device is opened, as name=value pairs
// separated by ';' (values as SANEDAT_OPTION takes them), for backend
// options no capability covers: "test-picture=Grid;read-delay=yes".
constexpr const char* kOptionsVariable = "PELIRAND_SANE_OPTIONS";

// TWAIN's CAP_CUSTOMBASE and DAT_CUSTOMBASE.
constexpr std::uint16_t kCustomCapabilityBase = 0x8000;
constexpr std::uint16_t kCustomDatBase = 0x8000;

// TW_UINT16 enumeration: the indexes 0 .. n-1 of the devices SANE lists (the
// open device is added at the end if SANE does not list it); the current item
// is the open device. MSG_SET in state 4 closes the device and opens the one
// with that index; every setting starts again from that device's defaults.
// Listed in CAP_EXTENDEDCAPS.
constexpr std::uint16_t SANECAP_DEVICE = kCustomCapabilityBase + 0x101;

// DG_CONTROL / SANEDAT_DEVICE: one device's names.
//   MSG_GET (states 4 to 7): Index in, the rest out: Count devices, Current
//     the index of the open device, the device's SANE names.
//   MSG_SET (state 4): Name in: opens that device as SANECAP_DEVICE does;
//     it need not be listed (a net: device, for example).
// The block holds no pointer, so it is the same in 32-bit and 64-bit builds.
constexpr std::uint16_t SANEDAT_DEVICE = kCustomDatBase + 0x101;

#pragma pack(push, 2)
struct SANE_TW_DEVICE
{
    std::uint16_t Index;
    std::uint16_t Count;
    std::uint16_t Current;
    char Name[256]; // as sane_open takes it, e.g. "test:0"
    char Vendor[256];
    char Model[256];
    char Type[256];
};
#pragma pack(pop)
static_assert(sizeof(SANE_TW_DEVICE) == 6 + 4 * 256, "SANE_TW_DEVICE is packed");

// DG_CONTROL / SANEDAT_OPTION: any of the device's own options by its SANE
// name, the value as text ("yes"/"no" for booleans, numbers for integer and
// fixed options, the string itself for string options; a button is pressed
// by any value). For what has no capability (a test picture, a lamp...).
// In state 4 only (while the source scans, the device is busy).
//   MSG_GET: Name in, Value out.
//   MSG_SET: Name and Value in; Value out as the device took it,
//     TWRC_CHECKSTATUS when the device changed the value.
constexpr std::uint16_t SANEDAT_OPTION = kCustomDatBase + 0x102;

#pragma pack(push, 2)
struct SANE_TW_OPTION
{
    char Name[256];
    char Value[256];
};
#pragma pack(pop)
static_assert(sizeof(SANE_TW_OPTION) == 2 * 256, "SANE_TW_OPTION is packed");

// DG_CONTROL / SANEDAT_OPTIONINFO / MSG_GET (state 4): one of the device's
// own options by its place among them (Index 0 .. Count - 1 in the device's
// order; groups and unnamed options left out), with what a person needs to
// set it through SANEDAT_OPTION. Index in, the rest out; an Index past the
// end fails with TWCC_BADVALUE and still tells Count. Index 0 reads the
// options afresh; the others tell that reading. Texts are UTF-8 and end
// with a zero; a list of allowed values too long for its room ends in "...".
constexpr std::uint16_t SANEDAT_OPTIONINFO = kCustomDatBase + 0x103;

#pragma pack(push, 2)
struct SANE_TW_OPTIONINFO
{
    std::uint16_t Index;
    std::uint16_t Count;
    std::uint16_t Settable; // 1 when it can be set now (active, and settable by software)
    char Name[256];         // as SANEDAT_OPTION takes it
    char Title[256];
    char Unit[32];     // "mm", "dpi", "%", "us", "bit", "px", or empty
    char Value[256];   // as SANEDAT_OPTION gives it; empty when it has none now
    char Allowed[1024]; // "0..200", "0..200 step 0.5", "Gray|Color", "yes|no"; empty: any
};
#pragma pack(pop)
static_assert(sizeof(SANE_TW_OPTIONINFO) == 6 + 3 * 256 + 32 + 1024, "SANE_TW_OPTIONINFO is packed");

} // namespace sanesource

#endif // PELIRAND_SANETWAIN_H
