#include "sources/kit/units.h"

namespace dskit {

double unitsPerInch(TW_UINT16 units)
{
    switch (units) {
    case TWUN_CENTIMETERS:
        return 2.54;
    case TWUN_PICAS:
        return 6;
    case TWUN_POINTS:
        return 72;
    case TWUN_TWIPS:
        return 1440;
    case TWUN_MILLIMETERS:
        return 25.4;
    case TWUN_PIXELS:
        return 0;
    default:
        return 1;
    }
}

double resolutionFactor(TW_UINT16 units)
{
    const double f = unitsPerInch(units);
    return f > 0 ? f : 1;
}

} // namespace dskit
