#include "sources/sane/sanecaps.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace sanesource {

namespace {

std::string lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool contains(const std::string& s, const char* what)
{
    return lower(s).find(what) != std::string::npos;
}

} // namespace

TW_UINT16 modeType(const std::string& mode)
{
    if (contains(mode, "lineart") || contains(mode, "halftone") || contains(mode, "binary") ||
        contains(mode, "black"))
        return TWPT_BW;
    if (contains(mode, "gray") || contains(mode, "grey"))
        return TWPT_GRAY;
    if (contains(mode, "color") || contains(mode, "colour"))
        return TWPT_RGB;
    return 0xFFFF;
}

bool isFeeder(const std::string& source)
{
    return contains(source, "adf") || contains(source, "feeder") || contains(source, "document") ||
           contains(source, "duplex");
}

bool isDuplex(const std::string& source)
{
    return contains(source, "duplex");
}

bool near(double a, double b)
{
    return std::fabs(a - b) < 0.01;
}

double toDevice(const NumOption& o, double twain)
{
    double v = o.min + (twain + 1000.0) / 2000.0 * (o.max - o.min);
    if (o.quant > 0)
        v = o.min + std::round((v - o.min) / o.quant) * o.quant;
    return std::min(o.max, std::max(o.min, v));
}

double fromDevice(const NumOption& o, double v)
{
    return o.max > o.min ? std::round((v - o.min) / (o.max - o.min) * 2000.0 - 1000.0) : 0;
}

void rangeOf(const NumOption& o, double& min, double& max)
{
    if (o.range) {
        min = o.min;
        max = o.max;
    } else if (!o.list.empty()) {
        min = *std::min_element(o.list.begin(), o.list.end());
        max = *std::max_element(o.list.begin(), o.list.end());
    } else {
        min = max = o.value;
    }
}

TW_UINT16 currentPixelType(const DeviceState& dev)
{
    TW_UINT16 type = 0xFFFF;
    if (dev.mode.present())
        type = modeType(dev.mode.value);
    if (type == 0xFFFF && dev.paramsValid)
        type = formatOf(dev.params) == SANE_FRAME_GRAY ? TWPT_GRAY : TWPT_RGB;
    if (type == TWPT_GRAY && dev.depth.present() && near(dev.depth.value, 1))
        type = TWPT_BW;
    if (type == TWPT_GRAY && !dev.depth.present() && dev.paramsValid && dev.params.depth == 1)
        type = TWPT_BW;
    return type == 0xFFFF ? static_cast<TW_UINT16>(TWPT_GRAY) : type;
}

std::vector<double> pixelTypes(const DeviceState& dev)
{
    std::vector<double> types;
    auto add = [&](double t) {
        if (std::find(types.begin(), types.end(), t) == types.end())
            types.push_back(t);
    };
    for (const std::string& m : dev.mode.list) {
        const TW_UINT16 t = modeType(m);
        if (t != 0xFFFF)
            add(t);
        if (t == TWPT_GRAY && dev.depth.present() &&
            std::find(dev.depth.list.begin(), dev.depth.list.end(), 1.0) != dev.depth.list.end())
            add(TWPT_BW);
    }
    add(currentPixelType(dev));
    std::sort(types.begin(), types.end());
    return types;
}

std::vector<double> bitDepths(const DeviceState& dev, TW_UINT16 type)
{
    if (type == TWPT_BW)
        return {1};
    std::vector<double> depths;
    const double factor = type == TWPT_RGB ? 3 : 1;
    if (dev.depth.present()) {
        for (double d : dev.depth.list) {
            if (near(d, 8) || near(d, 16))
                depths.push_back(d * factor);
        }
        if (dev.depth.range) {
            for (double d : {8.0, 16.0}) {
                if (d >= dev.depth.min && d <= dev.depth.max)
                    depths.push_back(d * factor);
            }
        }
    }
    if (depths.empty())
        depths.push_back(8 * factor);
    return depths;
}

} // namespace sanesource
