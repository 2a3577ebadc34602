// The simulated scanner: what a test needs to drive it and to predict its pages.
//
// The source is `pelirand-sim.ds` in `twain_32/` beside the stand-in DSM. It is
// a TWAIN 2.4 data source (DG_CONTROL | DG_IMAGE | DF_DS2) with a feeder, the
// four transfer mechanisms, BW/GRAY/RGB/PALETTE pages and fault injection. Every
// control below is a custom capability, negotiated with DG_CONTROL /
// DAT_CAPABILITY like any other, so tests drive the source through TWAIN alone.
// The fault plan (SIMCAP_FAILTRIPLET to SIMCAP_QUIRKPAGE below, and
// PELIRAND_SIM_CONTROLS) is built only into the scanner the tests and
// benchmarks load (bin/twain_32/ of a build with them); the installed scanner
// answers those capabilities TWCC_CAPUNSUPPORTED and reads no environment.
//
// Sessions
//   MSG_OPENDS resets every capability, every control below and the page
//   counter to their defaults: each session starts from the same scanner.
//   (So MSG_OPENDS and DAT_ENTRYPOINT, which come before any control can be
//   set, cannot be made to fail.) One application at a time; a second
//   MSG_OPENDS fails (TWCC_MAXCONNECTIONS). A triplet in the wrong state fails
//   with TWCC_SEQERROR, so does a transfer triplet of another mechanism than
//   ICAP_XFERMECH's; an unknown triplet with TWCC_BADPROTOCOL.
//
// Capabilities
//   MSG_SET takes a TW_ONEVALUE of any integer type or TW_FIX32, or a
//   TW_ENUMERATION or TW_RANGE whose current item is taken (the list does not
//   constrain anything). Values out of range fail with TWCC_BADVALUE; a
//   resolution between whole dots per inch is rounded, and a frame reaching
//   beyond the bed is cut to it, both with TWRC_CHECKSTATUS. Sets of the
//   standard capabilities are refused in states 5 to 7 (TWCC_SEQERROR).
//   MSG_RESETALL resets all but SIMCAP_FEEDERPAGES (that is paper, not a setting).
//
// Custom capabilities (all TW_ONEVALUE)
//   They answer MSG_GET, MSG_GETCURRENT, MSG_GETDEFAULT, MSG_QUERYSUPPORT,
//   MSG_SET and MSG_RESET, in TWAIN states 4 to 7 (they are listed in
//   CAP_EXTENDEDCAPS), and are exempt from the fault injection they control.
//
// Pages
//   A page's content depends only on its page number, the pixel position in
//   the delivered image (x from the left, y from the top, both from 0) and the
//   channel; see sample16() and friends below. Page numbers start at 1 with
//   every session and count every page the scanner picks up, delivered,
//   cancelled or discarded. The image is the frame of DAT_IMAGELAYOUT at the
//   current resolution: width = pixelExtent(Right - Left, XResolution),
//   height = pixelExtent(Bottom - Top, YResolution), all in inches.
//
// Scanning
//   A scan starts with MSG_ENABLEDS without user interface, with the dialog's
//   Scan, or with SIM_TRIGGER_SCAN (state 5). With CAP_FEEDERENABLED TRUE it
//   takes a batch of min(CAP_XFERCOUNT, sheets in the feeder) pages (-1: all
//   sheets), one sheet at a time; with the flatbed (FALSE) one page. The
//   source goes to state 6 with the first page and sends one MSG_XFERREADY
//   for the batch. TW_PENDINGXFERS.Count counts the page at hand and those
//   still to come; MSG_ENDXFER moves to the next page (state 6) or ends the
//   batch (state 5, Count 0); the dialog, if shown, stays for more scans.
//   MSG_RESET drops the page at hand and ends the batch, the sheets not yet
//   taken stay in the feeder; MSG_STOPFEEDER lets only the page at hand come.
//   A scan with nothing to scan (empty feeder) sends MSG_CLOSEDSREQ instead.
//   DAT_IMAGEINFO and DAT_IMAGELAYOUT report the page at hand; resolutions
//   are per ICAP_UNITS (per inch for TWUN_PIXELS), as the capabilities give them.
//
// What each mechanism delivers for a page (chocolate flavour, the default):
//   BW (1 bit):      bit = isWhite() (1 = white); TWPF_VANILLA inverts the bit.
//   GRAY 8:          grey8();  TWPF_VANILLA gives 255 - grey8().
//   GRAY 16:         grey16(); TWPF_VANILLA gives 65535 - grey16().
//   RGB 24:          red, green, blue = rgb8(channel 0, 1, 2); flavour ignored.
//   PALETTE 8:       index = paletteIndex(); colours from paletteColour().
//   Memory strips (TWSX_MEMORY): rows top-down, BytesPerRow = the packed row
//   length rounded up to SIMCAP_MEMROWALIGN, samples in the order above (red
//   first), 16-bit samples little-endian, bits most significant first.
//   Native (TWSX_NATIVE): a packed DIB (BITMAPINFOHEADER, colour table, rows
//   bottom-up, each padded to 4 bytes, RGB stored blue first); see the DIB
//   quirks below. BW has the 2-entry table {black, white} (reversed for
//   vanilla), GRAY 8 a 256-entry grey ramp (falling for vanilla), PALETTE the
//   palette, GRAY 16 no table and biBitCount 16.
//   File (TWSX_FILE, TWFF_BMP): the same DIB without quirks behind a
//   BITMAPFILEHEADER, written to the name of DAT_SETUPFILEXFER. TWFF_TIFF: an
//   uncompressed TIFF, rows top-down as memory strips carry them, vanilla as
//   min-is-white, PALETTE with its colour map, GRAY 16 with 16-bit samples.
//   GRAY 16 is never written as BMP (a 16-bit BMP means 5-5-5 RGB): with it,
//   ICAP_IMAGEFILEFORMAT offers TWFF_TIFF only (a current TWFF_BMP becomes
//   TWFF_TIFF) and DAT_SETUPFILEXFER / MSG_SET with TWFF_BMP fails with
//   TWCC_BADVALUE.
//   Memory file (TWSX_MEMFILE): the bytes of that file (ICAP_IMAGEFILEFORMAT),
//   in consecutive blocks of the application's buffer size.
//   JPEG (TWCP_JPEG, memory transfers of GRAY 8 and RGB 24 only): one JFIF
//   stream of quality kJpegQuality without chroma subsampling, cut into
//   consecutive blocks (each with Compression TWCP_JPEG, Rows the whole height).
//   JFIF defines its samples (0 is black), so the pixel flavour does not
//   apply to JPEG pages.
//
// Notifications
//   MSG_XFERREADY (and MSG_CLOSEDSREQ, MSG_CLOSEDSOK, MSG_DEVICEEVENT) go to
//   the DSM as DG_CONTROL / DAT_NULL with the DSM_Entry of DAT_ENTRYPOINT, by
//   default from a thread of the source's own, after SIMCAP_NOTIFYDELAY ms.
//
// Dialog
//   MSG_ENABLEDS with ShowUI TRUE and MSG_ENABLEDSUIONLY show a visible
//   top-level window of class kDialogClass titled kDialogTitle, owned by the
//   TW_USERINTERFACE's hParent (ModalUI TRUE disables the owner meanwhile).
//   Sending kWmScan to it presses "Scan" (in UI-only mode: "OK", which sends
//   MSG_CLOSEDSOK); kWmCancel or WM_CLOSE asks to be closed (MSG_CLOSEDSREQ).
//   Posted, these reach the queue of the thread that enabled the source; the
//   source claims them in MSG_PROCESSEVENT (TWRC_DSEVENT, MSG_NULL) and
//   dispatches them itself, and DispatchMessageW works as well.
//   MSG_DISABLEDS destroys the dialog. sources/sim/README.md lists what the
//   source does not model.

#ifndef PELIRAND_SOURCES_SIM_SIMSCANNER_H
#define PELIRAND_SOURCES_SIM_SIMSCANNER_H

#include "twain/twain.h"

namespace simscanner {

// ---------------------------------------------------------------------------
// Identity and files

constexpr const char* kManufacturer = "pelirand";
constexpr const char* kProductFamily = "Simulated";
constexpr const char* kProductName = "pelirand Simulated Scanner";
constexpr const char* kFileName = "pelirand-sim.ds"; // in twain_32/ beside the DSM

constexpr const char* kDialogTitle = "pelirand Simulated Scanner";
constexpr const char* kDialogClass = "pelirand-sim-dialog"; // registered as a wide string

// Window messages the dialog understands (WM_USER + n).
constexpr unsigned kWmScan = 0x0400 + 0x51;
constexpr unsigned kWmCancel = 0x0400 + 0x52;

// ---------------------------------------------------------------------------
// The device and its defaults

constexpr double kBedWidthInches = 8.5;   // ICAP_PHYSICALWIDTH
constexpr double kBedHeightInches = 14.0; // ICAP_PHYSICALHEIGHT
constexpr int kMinResolution = 50;        // X/Y resolution: TW_RANGE of FIX32,
constexpr int kMaxResolution = 1200;      // whole dots per inch
constexpr int kDefaultResolution = 100;
constexpr TW_UINT32 kDefaultFeederPages = 3;
constexpr TW_UINT32 kDefaultMemPreferred = 64 * 1024;
constexpr int kJpegQuality = 95;
constexpr const char* kDefaultFileName = "twain.bmp"; // DAT_SETUPFILEXFER default

// Defaults of the standard capabilities:
//   CAP_XFERCOUNT -1, CAP_FEEDERENABLED TRUE, CAP_INDICATORS TRUE,
//   ICAP_XFERMECH TWSX_NATIVE, ICAP_PIXELTYPE TWPT_RGB (ICAP_BITDEPTH follows the
//   pixel type: BW 1, GRAY 8 (or 16), RGB 24, PALETTE 8), ICAP_UNITS TWUN_INCHES,
//   ICAP_COMPRESSION TWCP_NONE, ICAP_IMAGEFILEFORMAT TWFF_BMP,
//   ICAP_PIXELFLAVOR TWPF_CHOCOLATE, ICAP_UNDEFINEDIMAGESIZE FALSE,
//   ICAP_EXTIMAGEINFO FALSE, frame = the whole bed.

// Pixels covered by an extent in inches at a resolution in dots per inch.
inline TW_INT32 pixelExtent(double inches, double dpi)
{
    const double px = inches * dpi + 0.5;
    return px < 0 ? 0 : static_cast<TW_INT32>(px);
}

// ---------------------------------------------------------------------------
// The page pattern

// The one sample everything derives from: 16 bits per page, position and
// channel. The high byte rises by 5 per column, so in every row of at least
// 27 pixels some sample has bit 15 set.
inline TW_UINT16 sample16(TW_UINT32 page, TW_UINT32 x, TW_UINT32 y, TW_UINT32 channel)
{
    const TW_UINT32 hi = (5u * x + 3u * y + 50u * page + 85u * channel) & 0xFFu;
    const TW_UINT32 lo = (x + 7u * y + 11u * page + 29u * channel) & 0xFFu;
    return static_cast<TW_UINT16>((hi << 8) | lo);
}

inline TW_UINT8 sample8(TW_UINT32 page, TW_UINT32 x, TW_UINT32 y, TW_UINT32 channel)
{
    return static_cast<TW_UINT8>(sample16(page, x, y, channel) >> 8);
}

inline TW_UINT16 grey16(TW_UINT32 page, TW_UINT32 x, TW_UINT32 y)
{
    return sample16(page, x, y, 0);
}
inline TW_UINT8 grey8(TW_UINT32 page, TW_UINT32 x, TW_UINT32 y)
{
    return sample8(page, x, y, 0);
}
inline bool isWhite(TW_UINT32 page, TW_UINT32 x, TW_UINT32 y)
{
    return grey8(page, x, y) >= 128;
}

// channel 0 red, 1 green, 2 blue
inline TW_UINT8 rgb8(TW_UINT32 page, TW_UINT32 x, TW_UINT32 y, TW_UINT32 channel)
{
    return sample8(page, x, y, channel);
}

inline TW_UINT8 paletteIndex(TW_UINT32 page, TW_UINT32 x, TW_UINT32 y)
{
    return grey8(page, x, y);
}

// Colour of a palette entry (DAT_PALETTE8, TWPA_RGB, 256 colours; the DIB's table).
// channel 0 red (TW_ELEMENT8.Channel1), 1 green (Channel2), 2 blue (Channel3).
inline TW_UINT8 paletteColour(TW_UINT32 index, TW_UINT32 channel)
{
    index &= 0xFFu;
    switch (channel) {
    case 0:
        return static_cast<TW_UINT8>(index);
    case 1:
        return static_cast<TW_UINT8>(255u - index);
    default:
        return static_cast<TW_UINT8>((7u * index + 64u) & 0xFFu);
    }
}

// A 16-bit grey sample as a native DIB holds it with SIMCAP_DIBSIGBITS bits.
inline TW_UINT16 dibGrey16(TW_UINT32 page, TW_UINT32 x, TW_UINT32 y, unsigned significantBits)
{
    return static_cast<TW_UINT16>(grey16(page, x, y) >> (16u - significantBits));
}

// ---------------------------------------------------------------------------
// Custom capabilities (CAP_CUSTOMBASE and up). Type, default, meaning.

// Fault and delay controls name a triplet by its DAT and MSG (the DAT fixes
// the DG): simTriplet(DAT_IMAGENATIVEXFER, MSG_GET).
constexpr TW_UINT32 simTriplet(TW_UINT16 dat, TW_UINT16 msg)
{
    return (static_cast<TW_UINT32>(dat) << 16) | msg;
}

enum : TW_UINT16
{
    // --- the feeder and the pages
    // TW_UINT32, 3: sheets in the feeder; setting it (re)loads the feeder.
    // With CAP_FEEDERENABLED FALSE the flatbed delivers one page per scan.
    SIMCAP_FEEDERPAGES = CAP_CUSTOMBASE + 0x01,
    // TW_BOOL, FALSE: TW_PENDINGXFERS.Count is -1 (0xFFFF) while more pages
    // follow, as a feeder that cannot count its sheets reports.
    SIMCAP_PENDINGUNKNOWN = CAP_CUSTOMBASE + 0x02,
    // TW_UINT32, 65536: DAT_SETUPMEMXFER's Preferred (MinBufSize is one row,
    // MaxBufSize the whole image or Preferred if larger).
    SIMCAP_MEMPREFERRED = CAP_CUSTOMBASE + 0x03,
    // TW_UINT16, 1: memory-transfer rows are padded to a multiple of this
    // (1, 2, 4, 8 or 16); 1 leaves rows unaligned.
    SIMCAP_MEMROWALIGN = CAP_CUSTOMBASE + 0x04,

    // --- failing a triplet: returns SIMCAP_FAILRETURN with condition code
    // SIMCAP_FAILCONDITION and does nothing else. Setting SIMCAP_FAILTRIPLET
    // arms the fault: it lets SIMCAP_FAILSKIP matching calls pass, then fails
    // SIMCAP_FAILCOUNT calls (0 = every call from then on), then disarms.
    SIMCAP_FAILTRIPLET = CAP_CUSTOMBASE + 0x10,   // TW_UINT32, 0 (none)
    SIMCAP_FAILCONDITION = CAP_CUSTOMBASE + 0x11, // TW_UINT16, TWCC_BUMMER
    SIMCAP_FAILRETURN = CAP_CUSTOMBASE + 0x12,    // TW_UINT16, TWRC_FAILURE
    SIMCAP_FAILSKIP = CAP_CUSTOMBASE + 0x13,      // TW_UINT32, 0
    SIMCAP_FAILCOUNT = CAP_CUSTOMBASE + 0x14,     // TW_UINT32, 1

    // --- transfers
    // TW_UINT32, 0: the page with this number is cancelled: its transfer
    // triplet answers TWRC_CANCEL (state 7, MSG_ENDXFER follows as usual).
    SIMCAP_CANCELPAGE = CAP_CUSTOMBASE + 0x18,
    // TW_BOOL, FALSE: native and file transfers answer TWRC_SUCCESS instead
    // of TWRC_XFERDONE; a memory or memory-file transfer answers TWRC_SUCCESS
    // for its last block of data and then TWRC_XFERDONE for one empty block.
    SIMCAP_SUCCESSNOTDONE = CAP_CUSTOMBASE + 0x19,
    // TW_BOOL, FALSE: DAT_IMAGEINFO reports ImageLength -1 until the image is
    // transferred, whatever ICAP_UNDEFINEDIMAGESIZE says (TRUE there does the same).
    SIMCAP_UNDEFINEDSIZE = CAP_CUSTOMBASE + 0x1A,

    // --- native DIB quirks
    // TW_UINT16, 16: significant bits of 16-bit grey samples: 8, 12 or 16
    // (samples are dibGrey16()).
    SIMCAP_DIBSIGBITS = CAP_CUSTOMBASE + 0x20,
    // TW_BOOL, FALSE: 16-bit rows are 2 * width bytes, not padded to 4.
    SIMCAP_DIB16PACKED = CAP_CUSTOMBASE + 0x21,
    // TW_UINT16, SIM_GREYTABLE_PRESENT: the colour table of an 8-bit grey DIB.
    SIMCAP_DIBGREYTABLE = CAP_CUSTOMBASE + 0x22,
    // TW_UINT16, SIM_DIBMEM_MOVEABLE: the global memory block of a native DIB.
    SIMCAP_DIBMEMORY = CAP_CUSTOMBASE + 0x23,
    // TW_BOOL, FALSE: a native transfer hands over a TIFF stream instead of a
    // DIB, as sources on Linux do: little-endian baseline TIFF ("II*\0"), one
    // uncompressed strip of the rows memory transfers deliver (top-down), the
    // pixel type as PhotometricInterpretation (BW and GRAY BlackIsZero,
    // vanilla WhiteIsZero; RGB; PALETTE with its ColorMap), resolution in dpi.
    SIMCAP_NATIVETIFF = CAP_CUSTOMBASE + 0x24,

    // --- notifications
    // TW_UINT16, SIM_ROUTE_DSM: how messages reach the application.
    SIMCAP_NOTIFYROUTE = CAP_CUSTOMBASE + 0x28,
    // TW_BOOL, TRUE: from a thread of the source, later; FALSE: at once,
    // inside the call that caused them (MSG_ENABLEDS, the dialog's Scan, the
    // SIMCAP_TRIGGER set, MSG_ENDXFER's closing request...).
    SIMCAP_NOTIFYTHREAD = CAP_CUSTOMBASE + 0x29,
    // TW_UINT32, 0: milliseconds the thread waits before each message.
    SIMCAP_NOTIFYDELAY = CAP_CUSTOMBASE + 0x2A,
    // TW_UINT16, SIM_TRIGGER_NONE: setting it acts at once (see the values);
    // a get answers the last trigger set.
    SIMCAP_TRIGGER = CAP_CUSTOMBASE + 0x2B,

    // --- delays and crashes
    // TW_UINT32, 0: the triplet that waits SIMCAP_DELAYMS milliseconds on
    // entry, before doing anything else.
    SIMCAP_DELAYTRIPLET = CAP_CUSTOMBASE + 0x30,
    SIMCAP_DELAYMS =
        CAP_CUSTOMBASE + 0x31, // TW_UINT32, 0
                               // TW_BOOL, TRUE: the delay pumps window messages (PeekMessageW /
                               // DispatchMessageW), as a driver's modal loop does; FALSE: it just sleeps.
    SIMCAP_DELAYPUMP = CAP_CUSTOMBASE + 0x32,
    // TW_UINT32, 0: the process dies inside this triplet (SIGSEGV).
    SIMCAP_CRASHTRIPLET = CAP_CUSTOMBASE + 0x38,

    // --- real drivers' faults, one at a time (the rows of the catalogue of
    // driver quirks; see the SIM_QUIRK_ values). Controls that already play a
    // row: SIMCAP_DELAYTRIPLET / SIMCAP_DELAYMS (rows 5 and 13: a call that
    // blocks for a chosen time; with SIMCAP_DELAYPUMP TRUE a modal wait),
    // SIMCAP_CRASHTRIPLET (row 6), SIMCAP_NOTIFYTHREAD FALSE (row 12:
    // MSG_XFERREADY inside MSG_ENABLEDS, from the calling thread),
    // SIMCAP_FAILTRIPLET with SIMCAP_FAILCONDITION TWCC_SUCCESS (row 16:
    // TWRC_FAILURE with condition success), SIM_ROUTE_NONE (row 17: a source
    // that refuses callback registrations reaching it).
    // TW_UINT16, SIM_QUIRK_NONE: the fault the source plays.
    SIMCAP_QUIRK = CAP_CUSTOMBASE + 0x40,
    // TW_UINT32, 2: the page that a page-bound fault hits.
    SIMCAP_QUIRKPAGE = CAP_CUSTOMBASE + 0x41,
};

// SIMCAP_QUIRK values, by catalogue row. "The quirk page" is SIMCAP_QUIRKPAGE.
enum : TW_UINT16
{
    SIM_QUIRK_NONE = 0,
    // Row 2, pending count lies: MSG_ENDXFER reports Count 0 while sheets
    // remain (the source goes on to the next page, state 6, all the same).
    SIM_QUIRK_PENDING_ZERO = 1,
    // Row 2: MSG_ENDXFER answers the caller's Count minus one, whatever remains.
    SIM_QUIRK_PENDING_DECREMENT = 2,
    // Row 2: the MSG_ENDXFER that ends the quirk page does its work and then
    // answers TWRC_FAILURE (TWCC_BUMMER).
    SIM_QUIRK_ENDXFER_FAILS = 3,
    // Row 3, early close request: a scan sends MSG_CLOSEDSREQ just before its MSG_XFERREADY.
    SIM_QUIRK_CLOSE_BEFORE_READY = 4,
    // Row 3: the transfer triplet of the quirk page sends MSG_CLOSEDSREQ (state 7),
    // from inside the call on the calling thread.
    SIM_QUIRK_CLOSE_DURING_XFER = 5,
    // Row 4, silent stop: MSG_ENABLEDS without dialog starts no scan and
    // nothing is ever sent (the source closed its own dialog and said nothing).
    SIM_QUIRK_SILENT_STOP = 6,
    // Row 4: DAT_IMAGEINFO of the quirk page answers TWRC_CANCEL, where it is no legal code.
    SIM_QUIRK_CANCEL_ILLEGAL = 7,
    // Row 8, native image surprises: the quirk page's DAT_IMAGENATIVEXFER
    // answers TWRC_XFERDONE with a null handle.
    SIM_QUIRK_NATIVE_NULL = 8,
    // Row 8: ... with a handle that is no memory block of anybody's (the
    // address of the source's own static bytes). Win32 global memory and the
    // stand-in DSM's memory functions refuse it; a DSM whose functions are
    // plain malloc/free could not tell.
    SIM_QUIRK_NATIVE_FOREIGN = 9,
    // Row 8: every native DIB has a header of 56 bytes (biSize 56, BI_RGB).
    SIM_QUIRK_DIB_HEADER_SIZE = 10,
    // Row 8: every native DIB's biSizeImage counts unpadded rows, so it
    // disagrees with the stride the rows really have.
    SIM_QUIRK_DIB_STRIDE = 11,
    // Row 9, memory strips wrong: every block says Columns 0 (BytesPerRow is right).
    SIM_QUIRK_MEM_NO_COLUMNS = 12,
    // Row 9: DAT_IMAGEINFO declares 10 rows fewer than the strips then bring.
    SIM_QUIRK_MEM_PAST_SIZE = 13,
    // Row 9: DAT_IMAGEINFO fills only BitsPerSample[0].
    SIM_QUIRK_INFO_ONE_BPS = 14,
    // Row 9: the second block of the quirk page answers TWRC_FAILURE with
    // condition TWCC_SUCCESS and the structure untouched; the page is lost.
    SIM_QUIRK_MEM_FAIL_UNTOUCHED = 15,
    // Row 10, image info unreliable: DAT_IMAGEINFO reports width and length
    // -1 until the page has been transferred.
    SIM_QUIRK_INFO_UNKNOWN = 16,
    // Row 11, repeated XFERREADY: MSG_XFERREADY again from every MSG_ENDXFER
    // that goes on to a page (state 6) and from the quirk page's transfer
    // (state 7), from inside those calls on the calling thread.
    SIM_QUIRK_XFERREADY_TWICE = 17,
    // Row 11: a scan's MSG_XFERREADY is fake: DAT_IMAGEINFO answers, the
    // transfer answers TWRC_CANCEL, and MSG_ENDXFER ends the batch (Count 0).
    SIM_QUIRK_FAKE_XFERREADY = 18,
    // Row 12: MSG_ENABLEDS sends MSG_XFERREADY from another thread and
    // returns only once that delivery has returned.
    SIM_QUIRK_READY_INSIDE_ENABLE = 19,
    // Row 16, codes outside the standard: MSG_OPENDS answers TWRC_CANCEL and
    // opens nothing (settable only through PELIRAND_SIM_CONTROLS, below).
    SIM_QUIRK_OPENDS_CANCEL = 20,
    // Row 18, wrong container types: MSG_GETCURRENT of a standard capability
    // answers a TW_ENUMERATION (one item, the current one).
    SIM_QUIRK_GETCURRENT_ENUM = 21,
    // Row 18: standard capabilities of TWTY_UINT16 items answer them as TWTY_UINT32.
    SIM_QUIRK_ITEM_TYPE = 22,
    // Row 18: MSG_GETCURRENT of a standard capability answers TWRC_SUCCESS with a null container.
    SIM_QUIRK_NULL_CONTAINER = 23,
    // Row 19, settings accepted but ignored: setting ICAP_XFERMECH succeeds
    // and changes nothing (native transfers, as MSG_GETCURRENT tells).
    SIM_QUIRK_XFERMECH_IGNORED = 24,
    // Row 19: setting CAP_XFERCOUNT succeeds and changes nothing (-1: every sheet).
    SIM_QUIRK_XFERCOUNT_IGNORED = 25,
    // Row 20, no default bit depth: setting ICAP_PIXELTYPE to TWPT_GRAY
    // leaves a bit depth of 16, not 8.
    SIM_QUIRK_NO_DEFAULT_DEPTH = 26,
    // Rows 5, 6 and 13 on a later page: SIMCAP_DELAYTRIPLET and
    // SIMCAP_CRASHTRIPLET act only while the quirk page is at hand, so the
    // pages before it have been delivered when the call hangs or the process dies.
    SIM_QUIRK_FAULTS_ON_PAGE = 27,
    // MSG_ENABLEDS does its work as usual and then answers TWRC_CHECKSTATUS
    // (TWCC_BADVALUE), as a source that could not honour ShowUI or ModalUI as
    // asked: it is enabled (state 5) all the same.
    SIM_QUIRK_ENABLE_CHECKSTATUS = 28,
    // A lenient source: DAT_IMAGEINFO answers TWRC_SUCCESS in states 4 and 5
    // as well (the last page's information), where the standard allows it in
    // states 6 and 7 only.
    SIM_QUIRK_INFO_ANY_STATE = 29,
    // DAT_PENDINGXFERS / MSG_GET in state 5 answers Count 0 and then presses
    // Scan, as a feeder that takes new paper right after it said it had none:
    // the next batch is announced from inside the call that ended the last.
    // Once: the quirk is SIM_QUIRK_NONE afterwards.
    SIM_QUIRK_SCAN_AFTER_COUNT = 30,
};

// Controls set from the environment: PELIRAND_SIM_CONTROLS holds
// "cap=value" pairs separated by commas (numbers, decimal or 0x-hex), applied
// to the custom capabilities at every MSG_OPENDS after the reset. So a program
// that cannot negotiate custom capabilities (pelirand-scan) can be given a
// faulty scanner, and MSG_OPENDS itself can misbehave.
constexpr const char* kControlsVariable = "PELIRAND_SIM_CONTROLS";

// SIMCAP_DIBGREYTABLE values
enum : TW_UINT16
{
    SIM_GREYTABLE_PRESENT = 0, // biClrUsed 256, the grey ramp after the header
    SIM_GREYTABLE_NONE = 1,    // biClrUsed 0, no table: rows right after the
                               // header, block = header + rows exactly
    SIM_GREYTABLE_IMPLIED = 2, // biClrUsed 0, but the 256-entry ramp is there
                               // (block = header + 1024 + rows)
};

// SIMCAP_DIBMEMORY values
enum : TW_UINT16
{
    SIM_DIBMEM_MOVEABLE = 0, // GMEM_MOVEABLE: the handle is not a pointer
    SIM_DIBMEM_FIXED = 1,    // GMEM_FIXED: the handle is the pointer
};

// SIMCAP_NOTIFYROUTE values
enum : TW_UINT16
{
    // DG_CONTROL / DAT_NULL through the DSM, which calls the callback the
    // application registered with it (DAT_CALLBACK2 or DAT_CALLBACK; which one
    // the DSM accepts is the DSM's business) or keeps the message for the
    // application's next MSG_PROCESSEVENT.
    SIM_ROUTE_DSM = 0,
    // No DSM call at all, as a source without callback support: the source
    // keeps its messages, posts a window message to a hidden window of its own
    // (created at MSG_OPENDS on the opening thread) to wake the application's
    // message loop, and answers the next DG_CONTROL / DAT_EVENT /
    // MSG_PROCESSEVENT that reaches it with TWRC_DSEVENT and the message.
    // It also refuses DAT_CALLBACK / DAT_CALLBACK2 registrations that reach it.
    SIM_ROUTE_NONE = 1,
};

// SIMCAP_TRIGGER values
enum : TW_UINT16
{
    SIM_TRIGGER_NONE = 0,
    SIM_TRIGGER_SCAN = 1,        // press Scan (state 5, also without dialog)
    SIM_TRIGGER_CLOSEDSREQ = 2,  // send MSG_CLOSEDSREQ (states 5 to 7)
    SIM_TRIGGER_CLOSEDSOK = 3,   // send MSG_CLOSEDSOK (state 5)
    SIM_TRIGGER_DEVICEEVENT = 4, // send MSG_DEVICEEVENT (states 4 to 7); then
                                 // DAT_DEVICEEVENT / MSG_GET answers
                                 // TWDE_DEVICEREADY with kProductName
};

} // namespace simscanner

#endif // PELIRAND_SOURCES_SIM_SIMSCANNER_H
