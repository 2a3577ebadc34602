#pragma once

// pelirand-scan's run: starts the bridge, opens the DSM, then lists
// (ScanListing) or scans: opens the source, applies the options' settings,
// runs the batch with its time-out, shows progress, cancels on a signal and
// says how the scan ended. The pages themselves go to ScanOutput; the
// command line is read by parseScanOptions.
//
// Main thread only.

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdio>

#include "client/scan/scanconsole.h"
#include "client/scan/scanoptions.h"
#include "client/scan/scanoutput.h"
#include "client/scan/scansignals.h"
#include "pelirand/bridge.h"
#include "pelirand/twainsession.h"

namespace pelirand {

class ScanProgress;

class ScanCommand : public QObject
{
    Q_OBJECT

public:
    ScanCommand();
    ~ScanCommand() override;

    // The whole run; the process's exit code.
    int run(const QStringList& lstArguments);

private slots:
    void on_signal(int iSignal);
    // The first page that could not be written ends the batch with the
    // source (a feeder stops); the pages written stay.
    void on_writeFailed();

private:
    int scan();
    int applySettings();
    // Each step of the settings: -1 when done, else the exit code with the reason told.
    int setDeviceOptions();
    int setPaperSource();
    int setScanArea();
    int setLevel(quint16 cap, int iPercent, const char* sWhat);
    // Why nobody can see the enabled source's dialog; empty when somebody can.
    QString dialogUnseen();
    QString allowedValues(quint16 cap);
    void printSettingsInForce();
    // Waits for the batch; bTimedOut when nothing moved for --timeout.
    TwainResult waitForScan(BatchResult& batch, bool& bTimedOut);
    void noteProgress();
    // What the scan was doing, for a line about a scanner that stopped answering.
    QString doingNow() const;
    // One batch from enabling to disabling the source; the exit code, or -1 to go on.
    int runBatch(BatchResult& total, bool bFirst);
    // --batch-prompt: true when the person asks for another page.
    bool promptForNextPage();
    // The scan's end, once the batch is over and the document finished.
    int scanResult(const BatchResult& batch);
    void reportQuirks(const BatchResult& batch);
    int fail(int iExit, const QString& sWhy);
    int failSetting(const QString& sWhat, const TwainResult& result, const QString& sAllowed = QString());
    int failBridge();
    int interrupted(bool bBridgeKilled = false);
    void removeBridgeLeftovers();
    void verbose(const QString& sLine);

    ScanOptions m_options;
    Bridge m_bridge;
    TwainSession m_session;
    ScanOutput m_output;
    ScanSignals m_signals;
    ScanProgress* m_pProgress = nullptr;
    // The first SIGINT, SIGTERM or SIGHUP received, 0 while none.
    int m_iSignal = 0;
    // The cancel found the source enabled but not scanning (waiting in its dialog).
    bool m_bCancelledIdle = false;
    // The batch was ended because a page could not be written.
    bool m_bStoppedForWrite = false;
    qint64 m_bridgeStartMs = 0;
    // Since the last sign of progress (a page, a block, a message from the bridge).
    QElapsedTimer m_sinceProgress;
    // Signals received, the first included.
    int m_nSignals = 0;
    bool m_bMadeFolder = false;
    std::FILE* m_pOut = stdout;
};

} // namespace pelirand
