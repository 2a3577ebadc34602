#ifndef PELIRAND_SOURCES_KIT_TRIPLETS_H
#define PELIRAND_SOURCES_KIT_TRIPLETS_H

// The triplets a data source answers, and in which TWAIN states.
//
// A source lists every triplet it answers as a row: group, DAT, MSG, the
// lowest and highest state the triplet is allowed in, and whether it needs
// its data structure. Source::entry() admits a call by its row before any of
// the source's own code runs, always in this order:
//   - no row for the group and DAT, or none for the MSG: TWCC_BADPROTOCOL;
//   - a state outside the row's: TWCC_SEQERROR;
//   - a null data pointer where the row needs one: TWCC_BADVALUE.
// A row whose MSG is kAnyMsg takes every message of its DAT; the handler
// answers the messages it does not know (DAT_CAPABILITY does, with
// TWCC_CAPBADOPERATION). A handler may refuse more (a transfer of another
// mechanism than the negotiated one), never less.
//
// The tables below are constant data, checked at compile time; the kit's
// tables are the standard triplets, a source adds its own custom ones.

#include "twain/twain.h"

#include <cstddef>

namespace dskit {

constexpr TW_UINT16 kAnyMsg = 0xFFFF;

enum class Data : TW_UINT8
{
    Optional,
    Required,
};

struct Triplet
{
    TW_UINT32 dg;
    TW_UINT16 dat;
    TW_UINT16 msg;
    TW_UINT8 lowest; // TWAIN states 3 (closed) to 7 (transferring)
    TW_UINT8 highest;
    Data data;
};

// A table of rows, as a source passes it to the kit.
struct TripletTable
{
    const Triplet* rows;
    std::size_t count;

    template <std::size_t N>
    constexpr TripletTable(const Triplet (&table)[N]) : rows(table), count(N)
    {}
};

// Rows are within states 3 to 7, each range in order, no triplet twice.
constexpr bool wellFormed(const Triplet* rows, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        const Triplet& t = rows[i];
        if (t.lowest < 3 || t.highest > 7 || t.lowest > t.highest)
            return false;
        for (std::size_t j = i + 1; j < count; ++j) {
            if (rows[j].dg == t.dg && rows[j].dat == t.dat &&
                (rows[j].msg == t.msg || rows[j].msg == kAnyMsg || t.msg == kAnyMsg))
                return false;
        }
    }
    return true;
}

// Whether dat is the transfer triplet of an ICAP_XFERMECH: a transfer by
// another mechanism than the negotiated one fails with TWCC_SEQERROR.
constexpr bool transfersBy(TW_UINT16 dat, TW_UINT16 mechanism)
{
    return (dat == DAT_IMAGENATIVEXFER && mechanism == TWSX_NATIVE) ||
           (dat == DAT_IMAGEFILEXFER && mechanism == TWSX_FILE) ||
           (dat == DAT_IMAGEMEMXFER && mechanism == TWSX_MEMORY) ||
           (dat == DAT_IMAGEMEMFILEXFER && mechanism == TWSX_MEMFILE);
}

// The session: identity, entry point, status, capabilities, callbacks,
// events, the user interface, pending transfers, the setup triplets and the
// transfer group.
extern const TripletTable kSessionTriplets;
// Image information, layout and the four transfer mechanisms.
extern const TripletTable kImageTriplets;
// Optional triplets a source may add: DAT_PALETTE8, DAT_EXTIMAGEINFO, DAT_DEVICEEVENT.
extern const TripletTable kPaletteTriplets;
extern const TripletTable kExtImageInfoTriplets;
extern const TripletTable kDeviceEventTriplets;

} // namespace dskit

#endif // PELIRAND_SOURCES_KIT_TRIPLETS_H
