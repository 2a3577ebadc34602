#include "sources/kit/triplets.h"

namespace dskit {

namespace {

constexpr Data kNeeds = Data::Required;
constexpr Data kNone = Data::Optional;

constexpr Triplet kSession[] = {
    // MSG_GET without an origin (the DSM asking who we are) never gets here.
    {DG_CONTROL, DAT_IDENTITY, MSG_GET, 3, 7, kNeeds},
    // Opening while open is answered by the kit: another application or a sequence error.
    {DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, 3, 7, kNone},
    {DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, 4, 4, kNone},
    {DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, 3, 7, kNeeds},
    {DG_CONTROL, DAT_STATUS, MSG_GET, 3, 7, kNeeds},
    {DG_CONTROL, DAT_CAPABILITY, kAnyMsg, 4, 7, kNeeds},
    {DG_CONTROL, DAT_CALLBACK, MSG_REGISTER_CALLBACK, 4, 4, kNone},
    {DG_CONTROL, DAT_CALLBACK2, MSG_REGISTER_CALLBACK, 4, 4, kNone},
    {DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, 5, 7, kNeeds},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, 4, 4, kNeeds},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDSUIONLY, 4, 4, kNeeds},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, 5, 5, kNone},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, 4, 7, kNeeds},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, 6, 7, kNeeds},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, 6, 7, kNeeds},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_STOPFEEDER, 6, 7, kNeeds},
    {DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, 4, 6, kNeeds},
    {DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, 4, 6, kNeeds},
    {DG_CONTROL, DAT_SETUPFILEXFER, MSG_GETDEFAULT, 4, 6, kNeeds},
    {DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, 4, 6, kNeeds},
    {DG_CONTROL, DAT_SETUPFILEXFER, MSG_RESET, 4, 4, kNeeds},
    {DG_CONTROL, DAT_XFERGROUP, MSG_GET, 4, 7, kNeeds},
    {DG_CONTROL, DAT_XFERGROUP, MSG_SET, 4, 4, kNeeds},
};

constexpr Triplet kImage[] = {
    {DG_IMAGE, DAT_IMAGEINFO, MSG_GET, 6, 7, kNeeds},
    {DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, 4, 6, kNeeds},
    {DG_IMAGE, DAT_IMAGELAYOUT, MSG_GETDEFAULT, 4, 6, kNeeds},
    {DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, 4, 4, kNeeds},
    {DG_IMAGE, DAT_IMAGELAYOUT, MSG_RESET, 4, 4, kNeeds},
    // A native or file transfer is one call; a buffered one goes on in state 7.
    {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, 6, 6, kNeeds},
    {DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, 6, 6, kNone},
    {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, 6, 7, kNeeds},
    {DG_IMAGE, DAT_IMAGEMEMFILEXFER, MSG_GET, 6, 7, kNeeds},
};

constexpr Triplet kPalette[] = {
    {DG_IMAGE, DAT_PALETTE8, MSG_GET, 4, 7, kNeeds},
    {DG_IMAGE, DAT_PALETTE8, MSG_GETDEFAULT, 4, 7, kNeeds},
};

constexpr Triplet kExtImageInfo[] = {
    {DG_IMAGE, DAT_EXTIMAGEINFO, MSG_GET, 7, 7, kNeeds},
};

constexpr Triplet kDeviceEvent[] = {
    {DG_CONTROL, DAT_DEVICEEVENT, MSG_GET, 4, 7, kNeeds},
};

static_assert(wellFormed(kSession, sizeof kSession / sizeof *kSession), "session triplets");
static_assert(wellFormed(kImage, sizeof kImage / sizeof *kImage), "image triplets");
static_assert(wellFormed(kPalette, sizeof kPalette / sizeof *kPalette), "palette triplets");

} // namespace

const TripletTable kSessionTriplets{kSession};
const TripletTable kImageTriplets{kImage};
const TripletTable kPaletteTriplets{kPalette};
const TripletTable kExtImageInfoTriplets{kExtImageInfo};
const TripletTable kDeviceEventTriplets{kDeviceEvent};

} // namespace dskit
