#ifndef PELIRAND_SOURCES_SIM_SIMCAPS_H
#define PELIRAND_SOURCES_SIM_SIMCAPS_H

#include "sources/kit/capabilities.h"
#include "sources/sim/simscanner.h"

#include <vector>

namespace simscanner {

// Everything a session negotiates; MSG_OPENDS starts from these defaults.
// Lengths are kept in inches and resolutions in dots per inch, whatever the
// application's ICAP_UNITS.
struct Settings
{
    TW_INT16 xferCount = -1;
    bool indicators = true;
    bool feederEnabled = true;
    TW_UINT16 xferMech = TWSX_NATIVE;
    TW_UINT16 pixelType = TWPT_RGB;
    TW_UINT16 bitDepth = 24;
    double xdpi = kDefaultResolution;
    double ydpi = kDefaultResolution;
    TW_UINT16 units = TWUN_INCHES;
    TW_UINT16 compression = TWCP_NONE;
    TW_UINT16 fileFormat = TWFF_BMP;
    TW_UINT16 pixelFlavor = TWPF_CHOCOLATE;
    bool undefinedImageSize = false;
    bool extImageInfo = false;
    double left = 0, top = 0, right = kBedWidthInches, bottom = kBedHeightInches;

    TW_UINT32 feederPages = kDefaultFeederPages; // sheets still in the feeder
    bool pendingUnknown = false;
    TW_UINT32 memPreferred = kDefaultMemPreferred;
    TW_UINT16 memRowAlign = 1;
    TW_UINT32 failTriplet = 0;
    TW_UINT16 failCondition = TWCC_BUMMER;
    TW_UINT16 failReturn = TWRC_FAILURE;
    TW_UINT32 failSkip = 0;
    TW_UINT32 failCount = 1;
    TW_UINT32 cancelPage = 0;
    bool successNotDone = false;
    bool undefinedSize = false;
    TW_UINT16 dibSigBits = 16;
    bool dib16Packed = false;
    TW_UINT16 dibGreyTable = SIM_GREYTABLE_PRESENT;
    TW_UINT16 dibMemory = SIM_DIBMEM_MOVEABLE;
    bool nativeTiff = false;
    TW_UINT16 notifyRoute = SIM_ROUTE_DSM;
    bool notifyThread = true;
    TW_UINT32 notifyDelay = 0;
    TW_UINT16 trigger = SIM_TRIGGER_NONE;
    TW_UINT32 delayTriplet = 0;
    TW_UINT32 delayMs = 0;
    bool delayPump = true;
    TW_UINT32 crashTriplet = 0;
    TW_UINT16 quirk = SIM_QUIRK_NONE;
    TW_UINT32 quirkPage = 2;
};

using dskit::CapInfo;

// The values of a row now (not CAP_SUPPORTEDCAPS nor CAP_EXTENDEDCAPS, which
// the kit answers from the rows).
bool describeCap(const Settings& s, TW_UINT16 cap, CapInfo& info);

// Sets one capability and whatever depends on it. Answers TWRC_SUCCESS,
// TWRC_CHECKSTATUS (a close value was taken) or TWRC_FAILURE, with the
// condition code in cc.
TW_UINT16 setCap(Settings& s, TW_UINT16 cap, double value, TW_UINT16& cc);

// Back to the power-on default, with whatever depends on it.
void resetCap(Settings& s, TW_UINT16 cap);

// The row of every capability the source answers, standard ones first.
const dskit::CapRow* capabilityRows(std::size_t& count);

// Frame and lengths in the current ICAP_UNITS (x: horizontal axis).
double toUnits(const Settings& s, double inches, bool x);
double fromUnits(const Settings& s, double value, bool x);

} // namespace simscanner

#endif // PELIRAND_SOURCES_SIM_SIMCAPS_H
