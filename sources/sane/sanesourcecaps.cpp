// The SANE source's capabilities: its rows, what each answers from the
// device's options (sanecaps.h maps them), setting them on the worker, the
// frame and the image layout.

#include "sources/sane/sanesource.h"

#include "sources/sane/sanecaps.h"

#include "sources/kit/container.h"
#include "sources/kit/memory.h"
#include "sources/kit/units.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sanesource {

using dskit::CapInfo;
using dskit::fromFix32;
using dskit::toFix32;

namespace {

using dskit::Access;
constexpr TW_UINT8 kOne = dskit::kOneValue;
constexpr TW_UINT8 kEnum = dskit::kEnumeration;
constexpr TW_UINT8 kRangeOrList = dskit::kRange | dskit::kEnumeration;

// What the source answers when the device has it (describe() says).
constexpr dskit::CapRow kRows[] = {
    {CAP_SUPPORTEDCAPS, TWTY_UINT16, dskit::kArray, Access::ReadOnly},
    {CAP_EXTENDEDCAPS, TWTY_UINT16, dskit::kArray, Access::ReadOnly},
    {CAP_XFERCOUNT, TWTY_INT16, kOne, Access::Settable},
    {CAP_UICONTROLLABLE, TWTY_BOOL, kOne, Access::ReadOnly},
    {CAP_ENABLEDSUIONLY, TWTY_BOOL, kOne, Access::ReadOnly},
    {CAP_INDICATORS, TWTY_BOOL, kOne, Access::Settable},
    {CAP_DEVICEONLINE, TWTY_BOOL, kOne, Access::ReadOnly},
    {CAP_FEEDERENABLED, TWTY_BOOL, kOne, Access::Settable},
    {CAP_FEEDERLOADED, TWTY_BOOL, kOne, Access::ReadOnly},
    {CAP_DUPLEXENABLED, TWTY_BOOL, kOne, Access::Settable},
    {ICAP_XFERMECH, TWTY_UINT16, kEnum, Access::Settable},
    {ICAP_PIXELTYPE, TWTY_UINT16, kEnum, Access::Settable},
    {ICAP_BITDEPTH, TWTY_UINT16, kEnum, Access::Settable},
    {ICAP_XRESOLUTION, TWTY_FIX32, kRangeOrList, Access::Settable},
    {ICAP_YRESOLUTION, TWTY_FIX32, kRangeOrList, Access::Settable},
    {ICAP_UNITS, TWTY_UINT16, kEnum, Access::Settable},
    {ICAP_PHYSICALWIDTH, TWTY_FIX32, kOne, Access::ReadOnly},
    {ICAP_PHYSICALHEIGHT, TWTY_FIX32, kOne, Access::ReadOnly},
    {ICAP_FRAMES, TWTY_FRAME, kOne, Access::Settable},
    {ICAP_COMPRESSION, TWTY_UINT16, kEnum, Access::Settable},
    {ICAP_IMAGEFILEFORMAT, TWTY_UINT16, kEnum, Access::Settable},
    {ICAP_PIXELFLAVOR, TWTY_UINT16, kEnum, Access::Settable},
    {ICAP_UNDEFINEDIMAGESIZE, TWTY_BOOL, kOne, Access::Settable},
    {ICAP_BRIGHTNESS, TWTY_FIX32, dskit::kRange, Access::Settable},
    {ICAP_CONTRAST, TWTY_FIX32, dskit::kRange, Access::Settable},
    {SANECAP_DEVICE, TWTY_UINT16, kEnum, Access::Extended},
};
static_assert(dskit::wellFormed(kRows, sizeof kRows / sizeof *kRows), "SANE capability rows");

} // namespace

// ---------------------------------------------------------------------------
// Capabilities

double SaneSource::unitsPerInch() const
{
    return dskit::unitsPerInch(m_units);
}

double SaneSource::dpi(bool x) const
{
    const NumOption& own = x ? m_dev.xResolution : m_dev.yResolution;
    if (own.present())
        return own.value;
    if (m_dev.resolution.present())
        return m_dev.resolution.value;
    return 0;
}

double SaneSource::mmToUnits(double mm, bool x) const
{
    const double f = unitsPerInch();
    const double inches = mm / 25.4;
    return f > 0 ? inches * f : inches * dpi(x);
}

double SaneSource::unitsToMm(double units, bool x) const
{
    const double f = unitsPerInch();
    if (f > 0)
        return units / f * 25.4;
    const double d = dpi(x);
    return d > 0 ? units / d * 25.4 : 0;
}

bool SaneSource::describe(TW_UINT16 cap, CapInfo& info)
{
    info = CapInfo{};
    auto oneValue = [&](TW_UINT16 type, double current, double deflt, bool settable) {
        info.itemType = type;
        info.form = TWON_ONEVALUE;
        info.current = current;
        info.deflt = deflt;
        info.settable = settable;
    };
    auto enumeration = [&](TW_UINT16 type, std::vector<double> items, double current, double deflt) {
        info.itemType = type;
        info.form = TWON_ENUMERATION;
        info.items = std::move(items);
        info.current = current;
        info.deflt = deflt;
        info.settable = info.items.size() > 1;
    };
    const bool online = m_device && !m_device->broken();
    switch (cap) {
    case CAP_XFERCOUNT:
        oneValue(TWTY_INT16, m_xferCount, -1, true);
        return true;
    case CAP_UICONTROLLABLE:
        oneValue(TWTY_BOOL, 1, 1, false);
        return true;
    case CAP_ENABLEDSUIONLY:
        oneValue(TWTY_BOOL, 0, 0, false);
        return true;
    case CAP_INDICATORS:
        oneValue(TWTY_BOOL, m_indicators, 1, true);
        return true;
    case CAP_DEVICEONLINE:
        oneValue(TWTY_BOOL, online, online, false);
        return true;
    case CAP_FEEDERENABLED: {
        bool hasFeeder = false, hasFlatbed = false;
        for (const std::string& s : m_dev.source.list)
            (isFeeder(s) ? hasFeeder : hasFlatbed) = true;
        const bool current = m_dev.source.present() && isFeeder(m_dev.source.value);
        const bool deflt = m_defaults.source.present() && isFeeder(m_defaults.source.value);
        oneValue(TWTY_BOOL, current, deflt, hasFeeder && hasFlatbed && m_dev.source.settable);
        return true;
    }
    case CAP_FEEDERLOADED:
        if (!m_dev.paperSensor.present())
            return false;
        oneValue(TWTY_BOOL, m_dev.paperSensor.value != 0, 0, false);
        return true;
    case CAP_DUPLEXENABLED: {
        bool has = false;
        for (const std::string& s : m_dev.source.list)
            has = has || isDuplex(s);
        if (!has)
            return false;
        oneValue(TWTY_BOOL, isDuplex(m_dev.source.value), isDuplex(m_defaults.source.value),
                 m_dev.source.settable);
        return true;
    }
    case ICAP_XFERMECH:
        enumeration(TWTY_UINT16, {TWSX_NATIVE, TWSX_FILE, TWSX_MEMORY, TWSX_MEMFILE}, m_xferMech,
                    TWSX_NATIVE);
        return true;
    case ICAP_PIXELTYPE:
        enumeration(TWTY_UINT16, pixelTypes(m_dev), currentPixelType(m_dev),
                    m_defaults.mode.present() ? modeType(m_defaults.mode.value) : currentPixelType(m_dev));
        info.settable = m_dev.mode.settable || m_dev.depth.settable;
        return true;
    case ICAP_BITDEPTH: {
        const TW_UINT16 type = currentPixelType(m_dev);
        const std::vector<double> depths = bitDepths(m_dev, type);
        double current = depths.front();
        if (type != TWPT_BW && m_dev.depth.present())
            current = m_dev.depth.value * (type == TWPT_RGB ? 3 : 1);
        else if (type != TWPT_BW && m_dev.paramsValid)
            current = m_dev.params.depth * (type == TWPT_RGB ? 3 : 1);
        enumeration(TWTY_UINT16, depths, current, depths.front());
        info.settable = m_dev.depth.settable;
        return true;
    }
    case ICAP_XRESOLUTION:
    case ICAP_YRESOLUTION: {
        const bool x = cap == ICAP_XRESOLUTION;
        const NumOption& o = (x ? m_dev.xResolution : m_dev.yResolution).present()
                                 ? (x ? m_dev.xResolution : m_dev.yResolution)
                                 : m_dev.resolution;
        const NumOption& d = (x ? m_defaults.xResolution : m_defaults.yResolution).present()
                                 ? (x ? m_defaults.xResolution : m_defaults.yResolution)
                                 : m_defaults.resolution;
        if (!o.present())
            return false;
        const double f = dskit::resolutionFactor(m_units);
        info.itemType = TWTY_FIX32;
        info.settable = o.settable;
        info.current = o.value / f;
        info.deflt = d.value / f;
        if (o.range) {
            info.form = TWON_RANGE;
            info.min = o.min / f;
            info.max = o.max / f;
            info.step = (o.quant > 0 ? o.quant : 1) / f;
        } else {
            info.form = TWON_ENUMERATION;
            for (double v : o.list)
                info.items.push_back(v / f);
            if (info.items.empty())
                info.items.push_back(info.current);
        }
        return true;
    }
    case ICAP_UNITS:
        enumeration(TWTY_UINT16,
                    {TWUN_INCHES, TWUN_CENTIMETERS, TWUN_PICAS, TWUN_POINTS, TWUN_TWIPS, TWUN_PIXELS,
                     TWUN_MILLIMETERS},
                    m_units, TWUN_INCHES);
        return true;
    case ICAP_PHYSICALWIDTH:
    case ICAP_PHYSICALHEIGHT: {
        const NumOption& o = cap == ICAP_PHYSICALWIDTH ? m_dev.brx : m_dev.bry;
        if (!o.present())
            return false;
        double min = 0, max = 0;
        rangeOf(o, min, max);
        const double v = mmToUnits(max, cap == ICAP_PHYSICALWIDTH);
        oneValue(TWTY_FIX32, v, v, false);
        return true;
    }
    case ICAP_FRAMES:
        return m_dev.tlx.present() && m_dev.brx.present() && m_dev.tly.present() && m_dev.bry.present();
    case ICAP_COMPRESSION:
        enumeration(TWTY_UINT16, {TWCP_NONE}, TWCP_NONE, TWCP_NONE);
        info.settable = true;
        return true;
    case ICAP_IMAGEFILEFORMAT:
        enumeration(TWTY_UINT16, {TWFF_TIFF, TWFF_BMP}, m_fileFormat, TWFF_BMP);
        return true;
    case ICAP_PIXELFLAVOR:
        enumeration(TWTY_UINT16, {TWPF_CHOCOLATE}, TWPF_CHOCOLATE, TWPF_CHOCOLATE);
        info.settable = true;
        return true;
    case ICAP_UNDEFINEDIMAGESIZE:
        oneValue(TWTY_BOOL, m_undefinedSize, 0, true);
        return true;
    case ICAP_BRIGHTNESS:
    case ICAP_CONTRAST: {
        const NumOption& o = cap == ICAP_BRIGHTNESS ? m_dev.brightness : m_dev.contrast;
        const NumOption& d = cap == ICAP_BRIGHTNESS ? m_defaults.brightness : m_defaults.contrast;
        if (!o.present())
            return false;
        NumOption r = o;
        rangeOf(o, r.min, r.max);
        info.itemType = TWTY_FIX32;
        info.form = TWON_RANGE;
        info.min = -1000;
        info.max = 1000;
        info.step = 1;
        info.current = fromDevice(r, o.value);
        info.deflt = fromDevice(r, d.value);
        info.settable = o.settable;
        return true;
    }
    case SANECAP_DEVICE: {
        std::size_t current = m_devices.size();
        for (std::size_t i = 0; i < m_devices.size(); ++i) {
            if (m_device && m_devices[i].name == m_device->name())
                current = i;
        }
        const std::size_t count = m_devices.size() + (current == m_devices.size() ? 1 : 0);
        std::vector<double> items;
        for (std::size_t i = 0; i < count; ++i)
            items.push_back(static_cast<double>(i));
        enumeration(TWTY_UINT16, items, static_cast<double>(current), 0);
        info.settable = true;
        info.extended = true;
        return true;
    }
    default:
        return false;
    }
}

SaneSource::Result SaneSource::deviceCall(const std::function<SANE_Status(SANE_Int&)>& call, bool& inexact)
{
    Result result{TWRC_SUCCESS, TWCC_SUCCESS};
    worker().run([&] {
        if (!m_device || m_device->broken()) {
            result = {TWRC_FAILURE, TWCC_OPERATIONERROR};
            return;
        }
        SANE_Int info = 0;
        const SANE_Status status = call(info);
        if (status != SANE_STATUS_GOOD) {
            log("setting an option failed: " + statusName(status));
            TW_UINT16 cc = conditionFor(status);
            result = {TWRC_FAILURE, cc == TWCC_SUCCESS ? TWCC_BADVALUE : cc};
        }
        if (info & SANE_INFO_INEXACT)
            inexact = true;
        refresh();
    });
    return result;
}

SaneSource::Result SaneSource::setCap(TW_UINT16 cap, double value)
{
    bool inexact = false;
    auto done = [&](Result r) {
        if (r.rc == TWRC_SUCCESS && inexact)
            return Result(TWRC_CHECKSTATUS, TWCC_SUCCESS);
        return r;
    };
    switch (cap) {
    case CAP_XFERCOUNT:
        if (value == 0 || value < -1 || value > 32767)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        m_xferCount = static_cast<TW_INT16>(value);
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case CAP_INDICATORS:
        if (value != 0 && value != 1)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        m_indicators = value != 0;
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case ICAP_UNDEFINEDIMAGESIZE:
        if (value != 0 && value != 1)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        m_undefinedSize = value != 0;
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case ICAP_XFERMECH:
        if (value != TWSX_NATIVE && value != TWSX_FILE && value != TWSX_MEMORY && value != TWSX_MEMFILE)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        m_xferMech = static_cast<TW_UINT16>(value);
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case ICAP_UNITS:
        if (value < TWUN_INCHES || value > TWUN_MILLIMETERS)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        m_units = static_cast<TW_UINT16>(value);
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case ICAP_IMAGEFILEFORMAT:
        if (value != TWFF_BMP && value != TWFF_TIFF)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        m_fileFormat = static_cast<TW_UINT16>(value);
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    case ICAP_COMPRESSION:
        return value == TWCP_NONE ? Result(TWRC_SUCCESS, TWCC_SUCCESS) : Result(TWRC_FAILURE, TWCC_BADVALUE);
    case ICAP_PIXELFLAVOR:
        return value == TWPF_CHOCOLATE ? Result(TWRC_SUCCESS, TWCC_SUCCESS)
                                       : Result(TWRC_FAILURE, TWCC_BADVALUE);
    case ICAP_PIXELTYPE: {
        const std::vector<double> types = pixelTypes(m_dev);
        if (std::find(types.begin(), types.end(), value) == types.end())
            return {TWRC_FAILURE, TWCC_BADVALUE};
        const TW_UINT16 type = static_cast<TW_UINT16>(value);
        return done(deviceCall(
            [&](SANE_Int& info) {
                SANE_Status status = SANE_STATUS_GOOD;
                // The mode whose kind matches; BW may be grey at one bit.
                std::string mode;
                for (const std::string& m : m_dev.mode.list) {
                    if (modeType(m) == type && mode.empty())
                        mode = m;
                }
                bool greyBits = false;
                if (mode.empty() && type == TWPT_BW) {
                    for (const std::string& m : m_dev.mode.list) {
                        if (modeType(m) == TWPT_GRAY && mode.empty())
                            mode = m;
                    }
                    greyBits = true;
                }
                if (!mode.empty() && m_dev.mode.present() && mode != m_dev.mode.value) {
                    status = m_device->setString(m_dev.mode, mode, info);
                    if (status != SANE_STATUS_GOOD)
                        return status;
                    if (info & SANE_INFO_RELOAD_OPTIONS)
                        m_device->refresh(m_dev);
                }
                if (m_dev.depth.present() && m_dev.depth.settable) {
                    const bool one = near(m_dev.depth.value, 1);
                    SANE_Int more = 0;
                    if (greyBits && !one)
                        status = m_device->setNumber(m_dev.depth, 1, more);
                    else if (!greyBits && type != TWPT_BW && one)
                        status = m_device->setNumber(m_dev.depth, 8, more);
                    info |= more & ~SANE_INFO_INEXACT;
                }
                return status;
            },
            inexact));
    }
    case ICAP_BITDEPTH: {
        const TW_UINT16 type = currentPixelType(m_dev);
        const std::vector<double> depths = bitDepths(m_dev, type);
        if (std::find(depths.begin(), depths.end(), value) == depths.end())
            return {TWRC_FAILURE, TWCC_BADVALUE};
        if (type == TWPT_BW || !m_dev.depth.present())
            return {TWRC_SUCCESS, TWCC_SUCCESS};
        const double depth = type == TWPT_RGB ? value / 3 : value;
        return done(deviceCall([&](SANE_Int& info) { return m_device->setNumber(m_dev.depth, depth, info); },
                               inexact));
    }
    case ICAP_XRESOLUTION:
    case ICAP_YRESOLUTION: {
        const bool x = cap == ICAP_XRESOLUTION;
        const NumOption& own = x ? m_dev.xResolution : m_dev.yResolution;
        const NumOption& o = own.present() ? own : m_dev.resolution;
        if (!o.present())
            return {TWRC_FAILURE, TWCC_CAPUNSUPPORTED};
        if (value <= 0)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        const double f = dskit::resolutionFactor(m_units);
        const double wanted = value * f;
        Result r = deviceCall([&](SANE_Int& info) { return m_device->setNumber(o, wanted, info); }, inexact);
        if (r.rc == TWRC_SUCCESS && !near(dpi(x), wanted))
            inexact = true;
        return done(r);
    }
    case ICAP_BRIGHTNESS:
    case ICAP_CONTRAST: {
        const NumOption& o = cap == ICAP_BRIGHTNESS ? m_dev.brightness : m_dev.contrast;
        if (!o.present())
            return {TWRC_FAILURE, TWCC_CAPUNSUPPORTED};
        if (value < -1000 || value > 1000)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        NumOption r = o;
        rangeOf(o, r.min, r.max);
        double v = toDevice(r, value);
        if (!o.range && !o.list.empty()) {
            v = o.list.front();
            for (double item : o.list) {
                if (std::fabs(item - toDevice(r, value)) < std::fabs(v - toDevice(r, value)))
                    v = item;
            }
        }
        Result result = deviceCall([&](SANE_Int& info) { return m_device->setNumber(o, v, info); }, inexact);
        const NumOption& now = cap == ICAP_BRIGHTNESS ? m_dev.brightness : m_dev.contrast;
        if (result.rc == TWRC_SUCCESS && std::fabs(fromDevice(r, now.value) - value) > 0.5)
            inexact = true;
        return done(result);
    }
    case CAP_FEEDERENABLED:
    case CAP_DUPLEXENABLED: {
        if (value != 0 && value != 1)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        const bool duplex = cap == CAP_DUPLEXENABLED;
        std::string target;
        for (const std::string& s : m_dev.source.list) {
            const bool match = duplex ? (value != 0 ? isDuplex(s) : isFeeder(s) && !isDuplex(s))
                                      : (value != 0 ? isFeeder(s) && !isDuplex(s) : !isFeeder(s));
            if (match && target.empty())
                target = s;
        }
        if (value != 0 && !duplex && isFeeder(m_dev.source.value))
            return {TWRC_SUCCESS, TWCC_SUCCESS}; // a duplex feeder is a feeder too
        if (value == 0 && duplex && !isDuplex(m_dev.source.value))
            return {TWRC_SUCCESS, TWCC_SUCCESS};
        if (target.empty())
            return {TWRC_FAILURE, TWCC_BADVALUE};
        if (target == m_dev.source.value)
            return {TWRC_SUCCESS, TWCC_SUCCESS};
        return done(deviceCall(
            [&](SANE_Int& info) { return m_device->setString(m_dev.source, target, info); }, inexact));
    }
    case SANECAP_DEVICE: {
        if (value < 0)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        const std::size_t index = static_cast<std::size_t>(value);
        if (index >= m_devices.size()) {
            // The open device itself, when SANE does not list it.
            return m_device && index == m_devices.size() ? Result(TWRC_SUCCESS, TWCC_SUCCESS)
                                                         : Result(TWRC_FAILURE, TWCC_BADVALUE);
        }
        SANE_TW_DEVICE block{};
        copyText(block.Name, m_devices[index].name);
        if (m_device && m_device->name() == m_devices[index].name)
            return {TWRC_SUCCESS, TWCC_SUCCESS};
        return deviceInfo(MSG_SET, &block);
    }
    default:
        return {TWRC_FAILURE, TWCC_CAPBADOPERATION};
    }
}

SaneSource::Result SaneSource::resetCap(TW_UINT16 cap)
{
    CapInfo info;
    if (!describe(cap, info))
        return {TWRC_FAILURE, TWCC_CAPUNSUPPORTED};
    switch (cap) {
    case ICAP_PIXELTYPE: {
        // The mode and depth the device opened with.
        bool inexact = false;
        return deviceCall(
            [&](SANE_Int& info) {
                SANE_Status status = SANE_STATUS_GOOD;
                if (m_defaults.mode.present() && m_dev.mode.present())
                    status = m_device->setString(m_dev.mode, m_defaults.mode.value, info);
                if (status == SANE_STATUS_GOOD && m_defaults.depth.present()) {
                    m_device->refresh(m_dev);
                    if (m_dev.depth.present())
                        status = m_device->setNumber(m_dev.depth, m_defaults.depth.value, info);
                }
                return status;
            },
            inexact);
    }
    case ICAP_BITDEPTH:
        if (!m_defaults.depth.present() || !m_dev.depth.present() || currentPixelType(m_dev) == TWPT_BW)
            return {TWRC_SUCCESS, TWCC_SUCCESS};
        return setCap(cap, m_defaults.depth.value * (currentPixelType(m_dev) == TWPT_RGB ? 3 : 1)).rc ==
                       TWRC_FAILURE
                   ? Result(TWRC_FAILURE, TWCC_BADVALUE)
                   : Result(TWRC_SUCCESS, TWCC_SUCCESS);
    case SANECAP_DEVICE:
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    default: {
        const Result r = setCap(cap, info.deflt);
        return r.rc == TWRC_CHECKSTATUS ? Result(TWRC_SUCCESS, TWCC_SUCCESS) : r;
    }
    }
}

const dskit::CapRow* SaneSource::rows(std::size_t& count) const
{
    count = sizeof kRows / sizeof *kRows;
    return kRows;
}

SaneSource::Result SaneSource::set(TW_UINT16 cap, double value)
{
    return setCap(cap, value);
}

SaneSource::Result SaneSource::reset(TW_UINT16 cap)
{
    return resetCap(cap);
}

SaneSource::Result SaneSource::resetAll()
{
    for (TW_UINT16 c : {ICAP_PIXELTYPE, ICAP_BITDEPTH, ICAP_XRESOLUTION, ICAP_YRESOLUTION, CAP_FEEDERENABLED,
                        ICAP_BRIGHTNESS, ICAP_CONTRAST, CAP_XFERCOUNT, ICAP_XFERMECH, ICAP_IMAGEFILEFORMAT,
                        ICAP_UNDEFINEDIMAGESIZE, CAP_INDICATORS, ICAP_UNITS}) {
        CapInfo info;
        if (describe(c, info))
            resetCap(c);
    }
    if (m_defaults.tlx.present())
        setFrame(m_defaults.tlx.value, m_defaults.tly.value, m_defaults.brx.value, m_defaults.bry.value);
    return Result::success();
}

bool SaneSource::answer(TW_UINT16 msg, pTW_CAPABILITY cap, int, Result& result)
{
    if (cap->Cap == ICAP_FRAMES) {
        result = frames(msg, cap);
        return true;
    }
    if (cap->Cap == SANECAP_DEVICE && !m_listed && state() == 4)
        worker().run([&] { listDevices(); });
    return false;
}

SaneSource::Result SaneSource::setFrame(double left, double top, double right, double bottom)
{
    if (!m_dev.tlx.present() || !m_dev.tly.present() || !m_dev.brx.present() || !m_dev.bry.present())
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    if (right <= left || bottom <= top)
        return {TWRC_FAILURE, TWCC_BADVALUE};
    bool inexact = false;
    const Result r = deviceCall(
        [&](SANE_Int& info) {
            // Coordinates, not sizes: move the corner that makes room first,
            // so neither is clamped by the other's old value.
            auto pair = [&](const NumOption& lo, const NumOption& hi, double a, double b) {
                SANE_Int i1 = 0, i2 = 0;
                SANE_Status s = SANE_STATUS_GOOD;
                if (a >= hi.value) {
                    s = m_device->setNumber(hi, b, i1);
                    if (s == SANE_STATUS_GOOD)
                        s = m_device->setNumber(lo, a, i2);
                } else {
                    s = m_device->setNumber(lo, a, i1);
                    if (s == SANE_STATUS_GOOD)
                        s = m_device->setNumber(hi, b, i2);
                }
                info |= i1 | i2;
                return s;
            };
            SANE_Status s = pair(m_dev.tlx, m_dev.brx, left, right);
            if (s == SANE_STATUS_GOOD)
                s = pair(m_dev.tly, m_dev.bry, top, bottom);
            return s;
        },
        inexact);
    if (r.rc != TWRC_SUCCESS)
        return r;
    const double tol = 0.05;
    if (inexact || std::fabs(m_dev.tlx.value - left) > tol || std::fabs(m_dev.tly.value - top) > tol ||
        std::fabs(m_dev.brx.value - right) > tol || std::fabs(m_dev.bry.value - bottom) > tol)
        return {TWRC_CHECKSTATUS, TWCC_SUCCESS};
    return {TWRC_SUCCESS, TWCC_SUCCESS};
}

SaneSource::Result SaneSource::frames(TW_UINT16 msg, pTW_CAPABILITY cap)
{
    CapInfo probe;
    if (!describe(ICAP_FRAMES, probe))
        return {TWRC_FAILURE, TWCC_CAPUNSUPPORTED};
    // A TW_ONEVALUE of one TW_FRAME: item type, then four TW_FIX32.
    constexpr std::size_t kSize = 2 + 16;
    auto answer = [&](bool deflt) -> Result {
        const DeviceState& s = deflt ? m_defaults : m_dev;
        TW_HANDLE h = dskit::memAllocate(kSize);
        TW_UINT8* p = h ? static_cast<TW_UINT8*>(dskit::memLock(h)) : nullptr;
        if (!p) {
            dskit::memFree(h);
            return {TWRC_FAILURE, TWCC_LOWMEMORY};
        }
        const TW_UINT16 type = TWTY_FRAME;
        std::memcpy(p, &type, 2);
        const TW_FIX32 v[4] = {toFix32(mmToUnits(s.tlx.value, true)), toFix32(mmToUnits(s.tly.value, false)),
                               toFix32(mmToUnits(s.brx.value, true)), toFix32(mmToUnits(s.bry.value, false))};
        std::memcpy(p + 2, v, 16);
        dskit::memUnlock(h);
        cap->ConType = TWON_ONEVALUE;
        cap->hContainer = h;
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    };
    switch (msg) {
    case MSG_GET:
    case MSG_GETCURRENT:
        return answer(false);
    case MSG_GETDEFAULT:
        return answer(true);
    case MSG_QUERYSUPPORT: {
        TW_HANDLE h = dskit::buildQuerySupport(TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT | TWQC_SET |
                                                    TWQC_RESET);
        if (!h)
            return {TWRC_FAILURE, TWCC_LOWMEMORY};
        cap->ConType = TWON_ONEVALUE;
        cap->hContainer = h;
        return {TWRC_SUCCESS, TWCC_SUCCESS};
    }
    case MSG_RESET: {
        const Result r =
            setFrame(m_defaults.tlx.value, m_defaults.tly.value, m_defaults.brx.value, m_defaults.bry.value);
        if (r.rc == TWRC_FAILURE)
            return r;
        return answer(false);
    }
    case MSG_SET: {
        if (!cap->hContainer)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        const std::size_t size = dskit::memSize(cap->hContainer);
        const TW_UINT8* p = static_cast<const TW_UINT8*>(dskit::memLock(cap->hContainer));
        if (!p)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        TW_UINT16 type = 0;
        std::size_t at = 0;
        if (size >= 2)
            std::memcpy(&type, p, 2);
        if (cap->ConType == TWON_ONEVALUE) {
            at = 2;
        } else if (cap->ConType == TWON_ENUMERATION && size >= 14) {
            TW_UINT32 n = 0, current = 0;
            std::memcpy(&n, p + 2, 4);
            std::memcpy(&current, p + 6, 4);
            at = current < n ? 14 + static_cast<std::size_t>(current) * 16 : size;
        } else {
            at = size;
        }
        TW_FIX32 v[4]{};
        const bool ok = type == TWTY_FRAME && at + 16 <= size;
        if (ok)
            std::memcpy(v, p + at, 16);
        dskit::memUnlock(cap->hContainer);
        if (!ok)
            return {TWRC_FAILURE, TWCC_BADVALUE};
        return setFrame(unitsToMm(fromFix32(v[0]), true), unitsToMm(fromFix32(v[1]), false),
                        unitsToMm(fromFix32(v[2]), true), unitsToMm(fromFix32(v[3]), false));
    }
    default:
        return {TWRC_FAILURE, TWCC_CAPBADOPERATION};
    }
}

SaneSource::Result SaneSource::imageLayout(TW_UINT16 msg, TW_IMAGELAYOUT& layout)
{
    Result result{TWRC_SUCCESS, TWCC_SUCCESS};
    bool deflt = false;
    switch (msg) {
    case MSG_GET:
        break;
    case MSG_GETDEFAULT:
        deflt = true;
        break;
    case MSG_RESET:
        if (m_defaults.tlx.present())
            result = setFrame(m_defaults.tlx.value, m_defaults.tly.value, m_defaults.brx.value,
                              m_defaults.bry.value);
        if (result.rc == TWRC_CHECKSTATUS)
            result = {TWRC_SUCCESS, TWCC_SUCCESS};
        break;
    case MSG_SET:
        result = setFrame(unitsToMm(fromFix32(layout.Frame.Left), true),
                          unitsToMm(fromFix32(layout.Frame.Top), false),
                          unitsToMm(fromFix32(layout.Frame.Right), true),
                          unitsToMm(fromFix32(layout.Frame.Bottom), false));
        break;
    default:
        return {TWRC_FAILURE, TWCC_BADPROTOCOL};
    }
    if (result.rc == TWRC_FAILURE)
        return result;
    const DeviceState& s = deflt ? m_defaults : m_dev;
    if (s.tlx.present() && s.brx.present() && s.tly.present() && s.bry.present()) {
        layout.Frame.Left = toFix32(mmToUnits(s.tlx.value, true));
        layout.Frame.Top = toFix32(mmToUnits(s.tly.value, false));
        layout.Frame.Right = toFix32(mmToUnits(s.brx.value, true));
        layout.Frame.Bottom = toFix32(mmToUnits(s.bry.value, false));
    } else if (s.paramsValid) {
        const double f = unitsPerInch();
        const double xd = dpi(true) > 0 ? dpi(true) : 1, yd = dpi(false) > 0 ? dpi(false) : 1;
        layout.Frame.Left = layout.Frame.Top = toFix32(0);
        layout.Frame.Right = toFix32(f > 0 ? s.params.pixels_per_line / xd * f : s.params.pixels_per_line);
        layout.Frame.Bottom =
            toFix32(f > 0 ? std::max(0, s.params.lines) / yd * f : std::max(0, s.params.lines));
    }
    layout.DocumentNumber = 1;
    layout.PageNumber = 1;
    layout.FrameNumber = 1;
    return result;
}

} // namespace sanesource
