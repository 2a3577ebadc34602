#pragma once

// What pelirand-scan lists instead of scanning: the sources the DSM knows
// (--list), with the SANE devices behind the SANE source, and the
// capabilities of one source with a SANE device's own options (--options);
// as lines for people or as one JSON document (--json). Also opens the
// source the options name, which a scan does the same way.
//
// Runs on the main thread, on a session whose DSM is open.

#include <QList>
#include <QString>

#include "client/scan/scanoptions.h"
#include "pelirand/bridge.h"
#include "pelirand/twainsession.h"

namespace pelirand {

// The source --source (or --device) names, else the DSM's default: -1 when
// it is open, otherwise the exit code with the reason printed.
int openScanSource(TwainSession& session, Bridge& bridge, const ScanOptions& options);

class ScanListing
{
public:
    ScanListing(TwainSession& session, Bridge& bridge, const ScanOptions& options);

    // --list and --options: the exit code.
    int listSources();
    int listCapabilities();

    // One of a SANE device's own options, by the name --sane-option takes.
    struct DeviceOption
    {
        QString sName;
        QString sTitle;
        QString sUnit;
        QString sValue;   // empty when it has none now
        QString sAllowed; // "0..200 step 0.5", "Gray|Color"; empty: any
        bool bSettable = false;
    };
    // The SANE device's own options in its order (state 4); empty for any
    // other source. *pUnread: the failed call when they cannot be read,
    // else left as it is.
    QList<DeviceOption> deviceOptions(TwainResult* pUnread = nullptr);

private:
    struct SaneDevice
    {
        QString sName;
        QString sVendor;
        QString sModel;
        QString sType;
        bool bCurrent = false;
    };
    // The devices SANE offers behind the SANE source; empty with sWhy saying why when none.
    QList<SaneDevice> saneDevices(const QString& sProductName, QString& sWhy);

    TwainSession& m_session;
    Bridge& m_bridge;
    const ScanOptions& m_options;
};

} // namespace pelirand
