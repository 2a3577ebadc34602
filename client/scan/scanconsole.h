#pragma once

// What every part of pelirand-scan says to the person running it: the exit
// codes, and the one line each failure prints.

#include <QString>

#include "pelirand/twainresult.h"

namespace pelirand {

// Exit codes; each failure also prints one line saying why.
enum ScanExit
{
    kExitOk = 0,
    kExitIncomplete = 1,  // not every requested page arrived
    kExitUsage = 2,       // bad command line
    kExitNoDsm = 3,       // no TWAIN Data Source Manager
    kExitNoSource = 4,    // no source, or none of that name
    kExitBridge = 5,      // the bridge did not start or ended unexpectedly
    kExitSetting = 6,     // the source refused a setting
    kExitOutput = 7,      // an image file could not be written
    kExitTimeout = 8,     // no batch ended within --timeout
    kExitBridgeWrite = 9, // the bridge could not write a page it received (its folder full...)
    kExitNoScanner = 10,  // no source named and none has a device
    // Ended by a signal: 128 + its number (130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP).
    kExitSignalBase = 128,
};

// Prints "pelirand-scan: <why>" on standard error; returns iExit.
int scanFailure(int iExit, const QString& sWhy);

// A failure's condition code as the person at the scanner would say it
// ("paper jam in the feeder"; TWCC_SUCCESS: the scanner gave no reason);
// empty for a code that means nothing to them. sDevice is the
// SANE device in use, if any: a lost net: device names its host.
QString conditionSentence(quint16 conditionCode, const QString& sDevice = QString());

// A failed step in plain words: the condition's sentence (else sFallback),
// and with bVerbose TWAIN's own account in brackets after it.
QString plainFailure(const TwainResult& result, const QString& sFallback, bool bVerbose,
                     const QString& sDevice = QString());

// The host of a SANE net: device ("net:127.0.0.1:test:0"); empty for any other.
QString saneNetHost(const QString& sDevice);

// A step told on standard error with --verbose.
void scanVerbose(bool bVerbose, const QString& sLine);

} // namespace pelirand
