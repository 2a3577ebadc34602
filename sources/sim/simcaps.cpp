#include "sources/sim/simcaps.h"

#include "sources/kit/units.h"

#include <cmath>

namespace simscanner {

namespace {

constexpr double kTolerance = 1.0 / 65536; // one step of TW_FIX32

using dskit::unitsPerInch;

double resolutionFactor(const Settings& s)
{
    return dskit::resolutionFactor(s.units);
}

TW_UINT16 defaultBitDepth(TW_UINT16 pixelType)
{
    switch (pixelType) {
    case TWPT_BW:
        return 1;
    case TWPT_RGB:
        return 24;
    default:
        return 8;
    }
}

std::vector<double> bitDepthsFor(TW_UINT16 pixelType)
{
    switch (pixelType) {
    case TWPT_BW:
        return {1};
    case TWPT_GRAY:
        return {8, 16};
    case TWPT_RGB:
        return {24};
    default:
        return {8};
    }
}

bool jpegAllowed(const Settings& s)
{
    return s.xferMech == TWSX_MEMORY &&
           ((s.pixelType == TWPT_GRAY && s.bitDepth == 8) || (s.pixelType == TWPT_RGB && s.bitDepth == 24));
}

// A BMP file of 16 bits per pixel means 5-5-5 RGB to every reader: 16-bit
// grey goes into files as TIFF only.
bool bmpAllowed(const Settings& s)
{
    return !(s.pixelType == TWPT_GRAY && s.bitDepth == 16);
}

// Settings that depend on others fall back to what is still possible.
void settle(Settings& s)
{
    if (s.compression == TWCP_JPEG && !jpegAllowed(s))
        s.compression = TWCP_NONE;
    if (s.fileFormat == TWFF_BMP && !bmpAllowed(s))
        s.fileFormat = TWFF_TIFF;
}

bool contains(const std::vector<double>& items, double v)
{
    for (double item : items) {
        if (std::fabs(item - v) < kTolerance)
            return true;
    }
    return false;
}

bool isBool(double v)
{
    return v == 0 || v == 1;
}

void oneValue(CapInfo& info, TW_UINT16 type, double current, double deflt, bool settable,
              bool extended = false)
{
    info.itemType = type;
    info.form = TWON_ONEVALUE;
    info.current = current;
    info.deflt = deflt;
    info.settable = settable;
    info.extended = extended;
}

void enumeration(CapInfo& info, TW_UINT16 type, std::vector<double> items, double current, double deflt)
{
    info.itemType = type;
    info.form = TWON_ENUMERATION;
    info.items = std::move(items);
    info.current = current;
    info.deflt = deflt;
    info.settable = true;
}

void control(CapInfo& info, TW_UINT16 type, double current, double deflt)
{
    oneValue(info, type, current, deflt, true, true);
}

const Settings kDefaults;

} // namespace

double toUnits(const Settings& s, double inches, bool x)
{
    const double f = unitsPerInch(s.units);
    return f > 0 ? inches * f : inches * (x ? s.xdpi : s.ydpi);
}

double fromUnits(const Settings& s, double value, bool x)
{
    const double f = unitsPerInch(s.units);
    return f > 0 ? value / f : value / (x ? s.xdpi : s.ydpi);
}

namespace {

using dskit::Access;
using dskit::CapRow;

constexpr auto kRead = Access::ReadOnly;
constexpr auto kSet = Access::Settable;
constexpr auto kControl = Access::Extended; // the custom controls work in every open state
constexpr TW_UINT8 kOne = dskit::kOneValue;
constexpr TW_UINT8 kEnum = dskit::kEnumeration;

constexpr CapRow kRows[] = {
    {CAP_SUPPORTEDCAPS, TWTY_UINT16, dskit::kArray, kRead},
    {CAP_EXTENDEDCAPS, TWTY_UINT16, dskit::kArray, kRead},
    {CAP_XFERCOUNT, TWTY_INT16, kOne, kSet},
    {CAP_UICONTROLLABLE, TWTY_BOOL, kOne, kRead},
    {CAP_ENABLEDSUIONLY, TWTY_BOOL, kOne, kRead},
    {CAP_INDICATORS, TWTY_BOOL, kOne, kSet},
    {CAP_FEEDERENABLED, TWTY_BOOL, kOne, kSet},
    {CAP_FEEDERLOADED, TWTY_BOOL, kOne, kRead},
    {CAP_DEVICEONLINE, TWTY_BOOL, kOne, kRead},
    {ICAP_XFERMECH, TWTY_UINT16, kEnum, kSet},
    {ICAP_PIXELTYPE, TWTY_UINT16, kEnum, kSet},
    {ICAP_BITDEPTH, TWTY_UINT16, kEnum, kSet},
    {ICAP_XRESOLUTION, TWTY_FIX32, dskit::kRange, kSet},
    {ICAP_YRESOLUTION, TWTY_FIX32, dskit::kRange, kSet},
    {ICAP_UNITS, TWTY_UINT16, kEnum, kSet},
    {ICAP_PHYSICALWIDTH, TWTY_FIX32, kOne, kRead},
    {ICAP_PHYSICALHEIGHT, TWTY_FIX32, kOne, kRead},
    {ICAP_COMPRESSION, TWTY_UINT16, kEnum, kSet},
    {ICAP_IMAGEFILEFORMAT, TWTY_UINT16, kEnum, kSet},
    {ICAP_PIXELFLAVOR, TWTY_UINT16, kEnum, kSet},
    {ICAP_UNDEFINEDIMAGESIZE, TWTY_BOOL, kOne, kSet},
    {ICAP_EXTIMAGEINFO, TWTY_BOOL, kOne, kSet},
    {SIMCAP_FEEDERPAGES, TWTY_UINT32, kOne, kControl},
    {SIMCAP_PENDINGUNKNOWN, TWTY_BOOL, kOne, kControl},
    {SIMCAP_MEMPREFERRED, TWTY_UINT32, kOne, kControl},
    {SIMCAP_MEMROWALIGN, TWTY_UINT16, kOne, kControl},
#if PELIRAND_SIM_FAULTS
    // The fault plan: in the scanner the tests load only.
    {SIMCAP_FAILTRIPLET, TWTY_UINT32, kOne, kControl},
    {SIMCAP_FAILCONDITION, TWTY_UINT16, kOne, kControl},
    {SIMCAP_FAILRETURN, TWTY_UINT16, kOne, kControl},
    {SIMCAP_FAILSKIP, TWTY_UINT32, kOne, kControl},
    {SIMCAP_FAILCOUNT, TWTY_UINT32, kOne, kControl},
    {SIMCAP_CANCELPAGE, TWTY_UINT32, kOne, kControl},
    {SIMCAP_SUCCESSNOTDONE, TWTY_BOOL, kOne, kControl},
    {SIMCAP_UNDEFINEDSIZE, TWTY_BOOL, kOne, kControl},
    {SIMCAP_DIBSIGBITS, TWTY_UINT16, kOne, kControl},
    {SIMCAP_DIB16PACKED, TWTY_BOOL, kOne, kControl},
    {SIMCAP_DIBGREYTABLE, TWTY_UINT16, kOne, kControl},
    {SIMCAP_DIBMEMORY, TWTY_UINT16, kOne, kControl},
    {SIMCAP_NOTIFYROUTE, TWTY_UINT16, kOne, kControl},
    {SIMCAP_NOTIFYTHREAD, TWTY_BOOL, kOne, kControl},
    {SIMCAP_NOTIFYDELAY, TWTY_UINT32, kOne, kControl},
    {SIMCAP_TRIGGER, TWTY_UINT16, kOne, kControl},
    {SIMCAP_DELAYTRIPLET, TWTY_UINT32, kOne, kControl},
    {SIMCAP_DELAYMS, TWTY_UINT32, kOne, kControl},
    {SIMCAP_DELAYPUMP, TWTY_BOOL, kOne, kControl},
    {SIMCAP_CRASHTRIPLET, TWTY_UINT32, kOne, kControl},
    {SIMCAP_NATIVETIFF, TWTY_BOOL, kOne, kControl},
    {SIMCAP_QUIRK, TWTY_UINT16, kOne, kControl},
    {SIMCAP_QUIRKPAGE, TWTY_UINT32, kOne, kControl},
#endif
};
static_assert(dskit::wellFormed(kRows, sizeof kRows / sizeof *kRows), "capability rows");

} // namespace

const dskit::CapRow* capabilityRows(std::size_t& count)
{
    count = sizeof kRows / sizeof *kRows;
    return kRows;
}

bool describeCap(const Settings& s, TW_UINT16 cap, CapInfo& info)
{
    info = CapInfo{};
    const Settings& d = kDefaults;
    switch (cap) {
    case CAP_XFERCOUNT:
        oneValue(info, TWTY_INT16, s.xferCount, d.xferCount, true);
        return true;
    case CAP_UICONTROLLABLE:
        oneValue(info, TWTY_BOOL, 1, 1, false);
        return true;
    case CAP_ENABLEDSUIONLY:
        oneValue(info, TWTY_BOOL, 1, 1, false);
        return true;
    case CAP_INDICATORS:
        oneValue(info, TWTY_BOOL, s.indicators, d.indicators, true);
        return true;
    case CAP_FEEDERENABLED:
        oneValue(info, TWTY_BOOL, s.feederEnabled, d.feederEnabled, true);
        return true;
    case CAP_FEEDERLOADED: {
        const bool loaded = s.feederEnabled && s.feederPages > 0;
        oneValue(info, TWTY_BOOL, loaded, loaded, false);
        return true;
    }
    case CAP_DEVICEONLINE:
        oneValue(info, TWTY_BOOL, 1, 1, false);
        return true;
    case ICAP_XFERMECH:
        enumeration(info, TWTY_UINT16, {TWSX_NATIVE, TWSX_FILE, TWSX_MEMORY, TWSX_MEMFILE}, s.xferMech,
                    d.xferMech);
        return true;
    case ICAP_PIXELTYPE:
        enumeration(info, TWTY_UINT16, {TWPT_BW, TWPT_GRAY, TWPT_RGB, TWPT_PALETTE}, s.pixelType,
                    d.pixelType);
        return true;
    case ICAP_BITDEPTH:
        enumeration(info, TWTY_UINT16, bitDepthsFor(s.pixelType), s.bitDepth, defaultBitDepth(s.pixelType));
        return true;
    case ICAP_XRESOLUTION:
    case ICAP_YRESOLUTION: {
        const double f = resolutionFactor(s);
        info.itemType = TWTY_FIX32;
        info.form = TWON_RANGE;
        info.min = kMinResolution / f;
        info.max = kMaxResolution / f;
        info.step = 1 / f;
        info.current = (cap == ICAP_XRESOLUTION ? s.xdpi : s.ydpi) / f;
        info.deflt = kDefaultResolution / f;
        info.settable = true;
        return true;
    }
    case ICAP_UNITS:
        enumeration(info, TWTY_UINT16,
                    {TWUN_INCHES, TWUN_CENTIMETERS, TWUN_PICAS, TWUN_POINTS, TWUN_TWIPS, TWUN_PIXELS,
                     TWUN_MILLIMETERS},
                    s.units, d.units);
        return true;
    case ICAP_PHYSICALWIDTH: {
        const double v = toUnits(s, kBedWidthInches, true);
        oneValue(info, TWTY_FIX32, v, v, false);
        return true;
    }
    case ICAP_PHYSICALHEIGHT: {
        const double v = toUnits(s, kBedHeightInches, false);
        oneValue(info, TWTY_FIX32, v, v, false);
        return true;
    }
    case ICAP_COMPRESSION: {
        std::vector<double> items{TWCP_NONE};
        if (jpegAllowed(s))
            items.push_back(TWCP_JPEG);
        enumeration(info, TWTY_UINT16, items, s.compression, d.compression);
        return true;
    }
    case ICAP_IMAGEFILEFORMAT:
        if (bmpAllowed(s))
            enumeration(info, TWTY_UINT16, {TWFF_BMP, TWFF_TIFF}, s.fileFormat, d.fileFormat);
        else
            enumeration(info, TWTY_UINT16, {TWFF_TIFF}, s.fileFormat, d.fileFormat);
        return true;
    case ICAP_PIXELFLAVOR:
        enumeration(info, TWTY_UINT16, {TWPF_CHOCOLATE, TWPF_VANILLA}, s.pixelFlavor, d.pixelFlavor);
        return true;
    case ICAP_UNDEFINEDIMAGESIZE:
        oneValue(info, TWTY_BOOL, s.undefinedImageSize, d.undefinedImageSize, true);
        return true;
    case ICAP_EXTIMAGEINFO:
        oneValue(info, TWTY_BOOL, s.extImageInfo, d.extImageInfo, true);
        return true;

    case SIMCAP_FEEDERPAGES:
        control(info, TWTY_UINT32, s.feederPages, d.feederPages);
        return true;
    case SIMCAP_PENDINGUNKNOWN:
        control(info, TWTY_BOOL, s.pendingUnknown, d.pendingUnknown);
        return true;
    case SIMCAP_MEMPREFERRED:
        control(info, TWTY_UINT32, s.memPreferred, d.memPreferred);
        return true;
    case SIMCAP_MEMROWALIGN:
        control(info, TWTY_UINT16, s.memRowAlign, d.memRowAlign);
        return true;
    case SIMCAP_FAILTRIPLET:
        control(info, TWTY_UINT32, s.failTriplet, d.failTriplet);
        return true;
    case SIMCAP_FAILCONDITION:
        control(info, TWTY_UINT16, s.failCondition, d.failCondition);
        return true;
    case SIMCAP_FAILRETURN:
        control(info, TWTY_UINT16, s.failReturn, d.failReturn);
        return true;
    case SIMCAP_FAILSKIP:
        control(info, TWTY_UINT32, s.failSkip, d.failSkip);
        return true;
    case SIMCAP_FAILCOUNT:
        control(info, TWTY_UINT32, s.failCount, d.failCount);
        return true;
    case SIMCAP_CANCELPAGE:
        control(info, TWTY_UINT32, s.cancelPage, d.cancelPage);
        return true;
    case SIMCAP_SUCCESSNOTDONE:
        control(info, TWTY_BOOL, s.successNotDone, d.successNotDone);
        return true;
    case SIMCAP_UNDEFINEDSIZE:
        control(info, TWTY_BOOL, s.undefinedSize, d.undefinedSize);
        return true;
    case SIMCAP_DIBSIGBITS:
        control(info, TWTY_UINT16, s.dibSigBits, d.dibSigBits);
        return true;
    case SIMCAP_DIB16PACKED:
        control(info, TWTY_BOOL, s.dib16Packed, d.dib16Packed);
        return true;
    case SIMCAP_DIBGREYTABLE:
        control(info, TWTY_UINT16, s.dibGreyTable, d.dibGreyTable);
        return true;
    case SIMCAP_DIBMEMORY:
        control(info, TWTY_UINT16, s.dibMemory, d.dibMemory);
        return true;
    case SIMCAP_NATIVETIFF:
        control(info, TWTY_BOOL, s.nativeTiff, d.nativeTiff);
        return true;
    case SIMCAP_NOTIFYROUTE:
        control(info, TWTY_UINT16, s.notifyRoute, d.notifyRoute);
        return true;
    case SIMCAP_NOTIFYTHREAD:
        control(info, TWTY_BOOL, s.notifyThread, d.notifyThread);
        return true;
    case SIMCAP_NOTIFYDELAY:
        control(info, TWTY_UINT32, s.notifyDelay, d.notifyDelay);
        return true;
    case SIMCAP_TRIGGER:
        control(info, TWTY_UINT16, s.trigger, d.trigger);
        return true;
    case SIMCAP_DELAYTRIPLET:
        control(info, TWTY_UINT32, s.delayTriplet, d.delayTriplet);
        return true;
    case SIMCAP_DELAYMS:
        control(info, TWTY_UINT32, s.delayMs, d.delayMs);
        return true;
    case SIMCAP_DELAYPUMP:
        control(info, TWTY_BOOL, s.delayPump, d.delayPump);
        return true;
    case SIMCAP_CRASHTRIPLET:
        control(info, TWTY_UINT32, s.crashTriplet, d.crashTriplet);
        return true;
    case SIMCAP_QUIRK:
        control(info, TWTY_UINT16, s.quirk, d.quirk);
        return true;
    case SIMCAP_QUIRKPAGE:
        control(info, TWTY_UINT32, s.quirkPage, d.quirkPage);
        return true;
    default:
        return false;
    }
}

namespace {

TW_UINT16 badValue(TW_UINT16& cc)
{
    cc = TWCC_BADVALUE;
    return TWRC_FAILURE;
}

// A resolution in the current units, taken to whole dots per inch.
TW_UINT16 setResolution(const Settings& s, double value, double& dpi, TW_UINT16& cc)
{
    const double wanted = value * resolutionFactor(s);
    const double rounded = std::floor(wanted + 0.5);
    if (rounded < kMinResolution || rounded > kMaxResolution)
        return badValue(cc);
    dpi = rounded;
    if (std::fabs(rounded - wanted) * 65536 > 1) {
        cc = TWCC_BADVALUE;
        return TWRC_CHECKSTATUS;
    }
    return TWRC_SUCCESS;
}

template <typename T>
TW_UINT16 setFrom(const std::vector<double>& allowed, double value, T& target, TW_UINT16& cc)
{
    if (!contains(allowed, value))
        return badValue(cc);
    target = static_cast<T>(value);
    return TWRC_SUCCESS;
}

TW_UINT16 setBool(double value, bool& target, TW_UINT16& cc)
{
    if (!isBool(value))
        return badValue(cc);
    target = value != 0;
    return TWRC_SUCCESS;
}

template <typename T>
TW_UINT16 setRange(double value, double lo, double hi, T& target, TW_UINT16& cc)
{
    if (value < lo || value > hi || value != std::floor(value))
        return badValue(cc);
    target = static_cast<T>(value);
    return TWRC_SUCCESS;
}

} // namespace

TW_UINT16 setCap(Settings& s, TW_UINT16 cap, double v, TW_UINT16& cc)
{
    cc = TWCC_SUCCESS;
    CapInfo info;
    if (!describeCap(s, cap, info)) {
        cc = TWCC_CAPUNSUPPORTED;
        return TWRC_FAILURE;
    }
    if (!info.settable) {
        cc = TWCC_CAPBADOPERATION;
        return TWRC_FAILURE;
    }
    TW_UINT16 rc = TWRC_SUCCESS;
    switch (cap) {
    case CAP_XFERCOUNT:
        if (v != -1 && (v < 1 || v > 32767 || v != std::floor(v)))
            return badValue(cc);
        if (s.quirk != SIM_QUIRK_XFERCOUNT_IGNORED)
            s.xferCount = static_cast<TW_INT16>(v);
        break;
    case CAP_INDICATORS:
        rc = setBool(v, s.indicators, cc);
        break;
    case CAP_FEEDERENABLED:
        rc = setBool(v, s.feederEnabled, cc);
        break;
    case ICAP_XFERMECH: {
        TW_UINT16 mech = s.xferMech;
        rc = setFrom(info.items, v, mech, cc);
        if (s.quirk != SIM_QUIRK_XFERMECH_IGNORED)
            s.xferMech = mech;
        break;
    }
    case ICAP_PIXELTYPE:
        rc = setFrom(info.items, v, s.pixelType, cc);
        if (rc == TWRC_SUCCESS)
            s.bitDepth = s.quirk == SIM_QUIRK_NO_DEFAULT_DEPTH && s.pixelType == TWPT_GRAY
                             ? TW_UINT16(16)
                             : defaultBitDepth(s.pixelType);
        break;
    case ICAP_BITDEPTH:
        rc = setFrom(info.items, v, s.bitDepth, cc);
        break;
    case ICAP_XRESOLUTION:
        rc = setResolution(s, v, s.xdpi, cc);
        break;
    case ICAP_YRESOLUTION:
        rc = setResolution(s, v, s.ydpi, cc);
        break;
    case ICAP_UNITS:
        rc = setFrom(info.items, v, s.units, cc);
        break;
    case ICAP_COMPRESSION:
        rc = setFrom(info.items, v, s.compression, cc);
        break;
    case ICAP_IMAGEFILEFORMAT:
        rc = setFrom(info.items, v, s.fileFormat, cc);
        break;
    case ICAP_PIXELFLAVOR:
        rc = setFrom(info.items, v, s.pixelFlavor, cc);
        break;
    case ICAP_UNDEFINEDIMAGESIZE:
        rc = setBool(v, s.undefinedImageSize, cc);
        break;
    case ICAP_EXTIMAGEINFO:
        rc = setBool(v, s.extImageInfo, cc);
        break;

    case SIMCAP_FEEDERPAGES:
        rc = setRange(v, 0, 0xFFFFFFFFu, s.feederPages, cc);
        break;
    case SIMCAP_PENDINGUNKNOWN:
        rc = setBool(v, s.pendingUnknown, cc);
        break;
    case SIMCAP_MEMPREFERRED:
        rc = setRange(v, 1, 0x7FFFFFFF, s.memPreferred, cc);
        break;
    case SIMCAP_MEMROWALIGN:
        rc = setFrom({1, 2, 4, 8, 16}, v, s.memRowAlign, cc);
        break;
    case SIMCAP_FAILTRIPLET:
        rc = setRange(v, 0, 0xFFFFFFFFu, s.failTriplet, cc);
        break;
    case SIMCAP_FAILCONDITION:
        rc = setRange(v, 0, 0xFFFF, s.failCondition, cc);
        break;
    case SIMCAP_FAILRETURN:
        rc = setRange(v, 0, 0xFFFF, s.failReturn, cc);
        break;
    case SIMCAP_FAILSKIP:
        rc = setRange(v, 0, 0xFFFFFFFFu, s.failSkip, cc);
        break;
    case SIMCAP_FAILCOUNT:
        rc = setRange(v, 0, 0xFFFFFFFFu, s.failCount, cc);
        break;
    case SIMCAP_CANCELPAGE:
        rc = setRange(v, 0, 0xFFFFFFFFu, s.cancelPage, cc);
        break;
    case SIMCAP_SUCCESSNOTDONE:
        rc = setBool(v, s.successNotDone, cc);
        break;
    case SIMCAP_UNDEFINEDSIZE:
        rc = setBool(v, s.undefinedSize, cc);
        break;
    case SIMCAP_DIBSIGBITS:
        rc = setFrom({8, 12, 16}, v, s.dibSigBits, cc);
        break;
    case SIMCAP_DIB16PACKED:
        rc = setBool(v, s.dib16Packed, cc);
        break;
    case SIMCAP_DIBGREYTABLE:
        rc = setFrom({SIM_GREYTABLE_PRESENT, SIM_GREYTABLE_NONE, SIM_GREYTABLE_IMPLIED}, v, s.dibGreyTable,
                     cc);
        break;
    case SIMCAP_DIBMEMORY:
        rc = setFrom({SIM_DIBMEM_MOVEABLE, SIM_DIBMEM_FIXED}, v, s.dibMemory, cc);
        break;
    case SIMCAP_NATIVETIFF:
        rc = setBool(v, s.nativeTiff, cc);
        break;
    case SIMCAP_NOTIFYROUTE:
        rc = setFrom({SIM_ROUTE_DSM, SIM_ROUTE_NONE}, v, s.notifyRoute, cc);
        break;
    case SIMCAP_NOTIFYTHREAD:
        rc = setBool(v, s.notifyThread, cc);
        break;
    case SIMCAP_NOTIFYDELAY:
        rc = setRange(v, 0, 600000, s.notifyDelay, cc);
        break;
    case SIMCAP_TRIGGER:
        rc = setFrom({SIM_TRIGGER_NONE, SIM_TRIGGER_SCAN, SIM_TRIGGER_CLOSEDSREQ, SIM_TRIGGER_CLOSEDSOK,
                      SIM_TRIGGER_DEVICEEVENT},
                     v, s.trigger, cc);
        break;
    case SIMCAP_DELAYTRIPLET:
        rc = setRange(v, 0, 0xFFFFFFFFu, s.delayTriplet, cc);
        break;
    case SIMCAP_DELAYMS:
        rc = setRange(v, 0, 600000, s.delayMs, cc);
        break;
    case SIMCAP_DELAYPUMP:
        rc = setBool(v, s.delayPump, cc);
        break;
    case SIMCAP_CRASHTRIPLET:
        rc = setRange(v, 0, 0xFFFFFFFFu, s.crashTriplet, cc);
        break;
    case SIMCAP_QUIRK:
        rc = setRange(v, SIM_QUIRK_NONE, SIM_QUIRK_SCAN_AFTER_COUNT, s.quirk, cc);
        break;
    case SIMCAP_QUIRKPAGE:
        rc = setRange(v, 1, 0xFFFFFFFFu, s.quirkPage, cc);
        break;
    default:
        cc = TWCC_CAPBADOPERATION;
        return TWRC_FAILURE;
    }
    settle(s);
    return rc;
}

void resetCap(Settings& s, TW_UINT16 cap)
{
    CapInfo info;
    if (!describeCap(s, cap, info) || !info.settable)
        return;
    TW_UINT16 cc = TWCC_SUCCESS;
    if (cap == ICAP_XRESOLUTION)
        s.xdpi = kDefaults.xdpi;
    else if (cap == ICAP_YRESOLUTION)
        s.ydpi = kDefaults.ydpi;
    else if (cap == ICAP_COMPRESSION)
        s.compression = kDefaults.compression;
    else
        setCap(s, cap, info.deflt, cc);
    settle(s);
}

} // namespace simscanner
