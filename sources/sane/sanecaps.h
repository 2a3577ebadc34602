#ifndef PELIRAND_SOURCES_SANE_SANECAPS_H
#define PELIRAND_SOURCES_SANE_SANECAPS_H

#include "sources/sane/sanedevice.h"
#include "twain/twain.h"

#include <cstring>
#include <string>
#include <vector>

namespace sanesource {

// How SANE's options map onto TWAIN's capabilities: scan modes onto pixel
// types, scan sources onto feeder and duplex, bit depths, and TWAIN's
// -1000..1000 of brightness and contrast onto an option's own range. Pure
// functions of what the device had when its options were last read
// (DeviceState); they never call the device. Any thread.

// What a scan mode delivers, as a TWAIN pixel type; 0xFFFF: unknown.
TW_UINT16 modeType(const std::string& mode);
bool isFeeder(const std::string& source);
bool isDuplex(const std::string& source);
// Two option values that are the same setting.
bool near(double a, double b);

// TWAIN's -1000..1000 onto an option's range, and back.
double toDevice(const NumOption& o, double twain);
double fromDevice(const NumOption& o, double v);
// The smallest and largest value an option takes (its range, its list, or its value).
void rangeOf(const NumOption& o, double& min, double& max);

// The pixel type the device delivers now, the ones it can, and the bit
// depths (per pixel) of a pixel type.
TW_UINT16 currentPixelType(const DeviceState& dev);
std::vector<double> pixelTypes(const DeviceState& dev);
std::vector<double> bitDepths(const DeviceState& dev, TW_UINT16 pixelType);

// A name into a fixed TWAIN text field, cut to fit and always ended.
template <std::size_t N>
void copyText(char (&to)[N], const std::string& from)
{
    std::strncpy(to, from.c_str(), N - 1);
    to[N - 1] = '\0';
}

} // namespace sanesource

#endif // PELIRAND_SOURCES_SANE_SANECAPS_H
