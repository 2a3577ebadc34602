#pragma once

// The fake libsane's picture and controls, shared with its test.
//
// One device, "fake:0": Gray (8 bits), Color and Lineart; resolution 75, 150
// or 300 (others are moved to the nearest, inexact); source Flatbed, "ADF
// Front", "ADF Duplex"; brightness -100..100; contrast 0..2 (fixed); a
// read-only "page-loaded" sensor; geometry in millimetres, 20 x 10 by default.
//
// Environment, read at every call:
//   FAKESANE_OPEN            status of sane_open (GOOD, DEVICE_BUSY, ... or a number)
//   FAKESANE_START           statuses of successive sane_start calls, comma-separated
//                            (the last one repeats)
//   FAKESANE_START_DELAY_MS  sane_start takes this long (sane_cancel ends it,
//                            unless FAKESANE_START_IGNORES_CANCEL is 1)
//   FAKESANE_PARAMETERS      status of sane_get_parameters
//   FAKESANE_READ_FAIL_AT    after this many bytes of a page, sane_read fails with
//   FAKESANE_READ_FAIL       this status (default IO_ERROR)
//   FAKESANE_READ_DELAY_MS   each sane_read with data takes this long
//   FAKESANE_READER_START_MS a reader thread starts for this long after sane_start:
//                            a sane_cancel before then, with no data read, aborts
//   FAKESANE_READER_MS       sane_start starts a thread that runs this long: a
//                            sane_read that ends the page before then aborts
//   FAKESANE_PAPER           the sensor: 1 (default) paper loaded, 0 none
//   FAKESANE_ADF             1: the device opens with "ADF Front" as its source
//   FAKESANE_LOG             a file that gets a line for each sane_init,
//                            sane_get_devices and sane_open, and "stalled"
//                            when the server stops (FAKESANE_READ_STALL_AT)
//   FAKESANE_READ_STALL_AT   after this many bytes of a page the server stops:
//                            sane_read, and a sane_cancel meanwhile, never return
//
// A hostile server's descriptors and parameters:
//   FAKESANE_OPTION          option:field=value;... changes descriptors as they are
//                            handed out: option is an option's name ("count" for
//                            option 0), field size or type (INT, FIXED, BOOL,
//                            STRING, BUTTON, GROUP or a number)
//   FAKESANE_PARAMS          field=value,... over sane_get_parameters' answer:
//                            format, depth, pixels_per_line, bytes_per_line, lines

namespace fakesane {

// Byte `column` of line `line` (bytes of a line, whatever the mode).
inline unsigned char sample(int column, int line)
{
    return static_cast<unsigned char>((column * 7 + line * 13) & 0xFF);
}

} // namespace fakesane
