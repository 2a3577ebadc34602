#pragma once

// Command codes of the two directions. They share their numbers, so each direction has an enumeration
// of its own: the same value means different things depending on which server receives it.
//
// Values in lstParams and lstResults:
// - An integer parameter is any QVariant that converts with toUInt(). DG uses all 32 bits; DAT, MSG,
//   capability ids, item types and messages use the low 16 bits.
// - A byte block is a QVariant holding a QByteArray; an empty block stands for "none" where noted.
// - A source identity is a byte block holding a TW_IDENTITY in the 32-bit TWAIN layout (156 bytes).
// - TWAIN data blocks travel in the 32-bit TWAIN layout (packed to 2 bytes, handles and pointers
//   4 bytes wide).
// - Integer results are unsigned int QVariants, byte results QByteArray QVariants.

// Commands the bridge executes, sent by the main application to the bridge's server. A code not listed
// here, or a command with fewer parameters than its minimum, is answered with iResult 1 and no results
// (cmdGetNumCommands always answers 10).
enum BridgeCmd : int
{
    // Min 0. Params: optional test text (byte block). iResult: 10. Results: none.
    cmdGetNumCommands = 0,
    // Min 0. Params: none. iResult: 0. Results: none.
    cmdQuit = 1,
    // Min 1. Params: DSM choice (1 = "TWAIN_32.dll", any other value = "TWAINDSM.dll").
    // iResult: 0 loaded, 1 failed. Results: TWAIN state.
    cmdLoadDSM = 2,
    // Min 0. Params: none. iResult: 0; 1 (the DSM stays loaded) while a TWAIN call is in progress or a
    // source is enabled. Results: none.
    cmdUnloadDSM = 3,
    // Min 5. Params: source identity (empty: none); DG; DAT; MSG; data block (empty: none).
    // iResult: TWAIN return code. Results: TWAIN state, condition code; after success with a data block
    // also the block as the call left it. After a batch that a failed transfer ended, the next command
    // of this kind, if it is DAT_STATUS / MSG_GET to the source, answers that transfer's status.
    cmdTwainCmd = 4,
    // Min 4. Params: source identity; capability id; item type (TWTY_); items (packed item values).
    // iResult: TWAIN return code, 1 if no container. Results: none.
    cmdTwainSetCapEnum = 5,
    // Min 2. Params: source identity; capability id.
    // iResult: TWAIN return code or 1. Results: after success the items as a byte block of 16-bit values.
    cmdTwainGetCapEnum = 6,
    // Min 4. Params: source identity; capability id; item type; value (the item's bytes).
    // iResult: TWAIN return code, 1 if no container. Results: none.
    cmdTwainSetCapOneVal = 7,
    // Min 4. Params: source identity; capability id; item type; message of the get call (such as
    // MSG_GETCURRENT or MSG_GETDEFAULT).
    // iResult: 0, or 1 on any failure. Results: after success the value as a byte block of the item
    // type's size.
    cmdTwainGetCapOneVal = 8,
    // Min 0. Params: none. iResult: 1 if the source's dialog was brought to the front, else 0.
    // Results: whether anyone can see the source's dialog (DialogView); peers that do not ask ignore it.
    cmdShowLastGUI = 9,
    // Min 1. Params: what to end (1 = the page at hand, 2 = that page and every pending one).
    // Ends transfers early: during a batch the request is recorded and carried out at the next page or
    // block (DAT_PENDINGXFERS MSG_ENDXFER / MSG_RESET as the state allows); outside a batch in state 6 or
    // 7 at once; in state 5 it waits for the source's next batch. Pages delivered before stay delivered.
    // iResult: 0 taken, 1 nothing to end (state below 5) or a bad parameter.
    // Results: TWAIN state, then 1 if the request waits for the batch, 0 if it was carried out.
    cmdEndBatch = 10,
    // Min 3. Params: source identity; capability id; message of the get call (MSG_GET, MSG_GETCURRENT,
    // MSG_GETDEFAULT, MSG_QUERYSUPPORT...).
    // iResult: TWAIN return code, 1 when the source's container is malformed.
    // Results: TWAIN state, condition code; after success the container type (TWON_) and the container
    // as the source filled it (TW_ONEVALUE, TW_ENUMERATION, TW_ARRAY or TW_RANGE, packed to 2 bytes),
    // whatever its item type.
    cmdTwainGetCap = 11,
    // Min 1. Params: 1 to have each triplet of the transfer loop announced with cmdTwainCall, 0 not
    // to (the default). iResult: 0. Results: none.
    cmdAnnounceCalls = 20,
};

// The result of cmdShowLastGUI: whether a person can see the source's dialog.
enum DialogView : int
{
    // A window of the source's own toolkit is shown on a display.
    dialogOnDisplay = 0,
    // The bridge has no display (Qt's offscreen or minimal platform): nothing it shows can be seen.
    dialogNoDisplay = 1,
    // A display, but no window of the source is drawn on it: at most a window of the process's own
    // window table, which no display shows.
    dialogNotDrawn = 2,
};

// Notifications the bridge sends to the main application's server, each with iResult 0 and no results;
// the reply is not used.
enum MainAppCmd : int
{
    // Params: the bridge's own server program name (QString, "pelirand%08x"). Sent once at start-up.
    cmdHello = 1,
    // Params: message (unsigned int; 0 instead of MSG_XFERREADY, sent after the batch of transfers that
    // MSG_XFERREADY starts), TWAIN state after handling it (unsigned int). Sent per source message.
    cmdCallbackMsg = 2,
    // Params: image id (int), file name (QString). Sent per delivered image. Ids: -1 a DIB without
    // file header that the bridge wrote (native images, uncompressed memory strips); 0 a file that the
    // source wrote (file transfers, announced after the batch's cmdCallbackMsg, in transfer order);
    // -2 a complete image file in a standard format that the bridge made (memory files, JPEG strips,
    // 16-bit strips as TIFF). Files of ids -1 and -2 are the receiver's to move or remove; both are
    // announced as soon as the page is complete, before the batch's cmdCallbackMsg.
    cmdImageInFile = 3,
    // Params: page number in the batch (int, 1 for the first), why it was not delivered (QString; for
    // a failed write it ends with the system's error text, such as "No space left on device"). Sent
    // for a page that was transferred but could not be handed over; after a failed write the bridge
    // ends the batch, and its cmdCallbackMsg follows.
    cmdImageFailed = 4,
    // Params: DG, DAT, MSG (unsigned ints) of the triplet the bridge's own transfer loop sends next
    // (further blocks of a buffered image at most every 500 ms). Sent during a batch, after
    // cmdAnnounceCalls asked for it, so that the main application can tell which call hangs.
    cmdTwainCall = 5,
    // cmdCallbackMsg after a batch may carry a third parameter: what the source did wrong during the
    // batch and how the bridge came through it, one line each (QString, lines separated by '\n').
};
