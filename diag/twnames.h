#ifndef PELIRAND_DIAG_TWNAMES_H
#define PELIRAND_DIAG_TWNAMES_H

// Readable names of TWAIN codes for log lines. Each returns the code's name as
// the TWAIN header spells it, or for an unnamed code a text such as
// "Message 0x:000C" in one of three rotating buffers: the last three such texts
// stay valid together (enough for one log line), a fourth reuses the first.
// Never null. Meant for the event-loop thread.

const char* TwrcName(unsigned short uiCode);
const char* TwccName(unsigned short uiCode);
const char* DgName(unsigned short uiCode);
const char* DatName(unsigned short uiCode);
const char* MsgName(unsigned short uiCode);

#endif
