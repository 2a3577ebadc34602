#pragma once

// The tiny data source the DSM tests load: what it reports about the calls it
// received, and the knobs the tests turn. Shared by the source and the test.

#include "twain/twain.h"

extern "C" {

struct TestSourceInfo
{
    TW_IDENTITY self; // as handed over with MSG_OPENDS
    TW_UINT32 appId;  // Id of the application that opened it
    int open;
    int entryPointCalls;      // DAT_ENTRYPOINT / MSG_SET received
    int entryPointBeforeOpen; // the last of them arrived while closed
    TW_ENTRYPOINT entryPoint;
    TW_UINT32 lastOriginId; // the latest call with an origin
    TW_UINT32 lastDG;
    TW_UINT16 lastDAT;
    TW_UINT16 lastMSG;
    TW_UINT16 insideRc; // result of the notification sent from inside MSG_ENABLEDS
};

struct TestSourceConfig
{
    TW_UINT16 failOpenWith; // condition code to refuse MSG_OPENDS with; 0 = open
    TW_UINT16 eventRc;      // answer to MSG_PROCESSEVENT
    TW_UINT16 eventMsg;     // TWMessage when eventRc is TWRC_DSEVENT
    TW_UINT16 notifyInside; // sent from inside MSG_ENABLEDS; 0 = nothing
};

using TestSourceInfoProc = void (*)(TestSourceInfo*);
using TestSourceConfigureProc = void (*)(const TestSourceConfig*);
// Sends DG_CONTROL / DAT_NULL / msg through the DSM, from another thread if asked.
using TestSourceNotifyProc = TW_UINT16 (*)(TW_UINT16 msg, int fromThread);

} // extern "C"
