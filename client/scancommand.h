#pragma once

// pelirand-scan: lists the TWAIN sources or scans pages into image files
// through the bridge.

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

#include "pelirand/bridge.h"
#include "client/pagewriter.h"
#include "pelirand/twainsession.h"

namespace pelirand {

class ScanProgress;

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
    // Ended by a signal: 128 + its number (130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP).
    kExitSignalBase = 128,
};

struct ScanOptions
{
    bool bList = false;
    bool bOptions = false; // --options: the source's capabilities
    bool bJson = false;
    bool bQuiet = false;
    bool bPrintFiles = false;
    bool bToStdout = false; // -o -: the one file of the run goes to standard output
    QString sSource;
    QString sDevice; // a SANE device behind the SANE source
    quint16 mechanism = TWSX_NATIVE;
    int iPixelType = -1; // -1: the source's own
    int iBitDepth = 0;   // 0: the source's own
    double resolution = 0;
    int iPages = -1; // -1: every page the source has
    bool bDialog = false;
    QString sOutputDir = QStringLiteral("scans");
    QString sFormat = QStringLiteral("png");
    int iJpegQuality = 85; // 0: lossless
    QString sName;
    DsmFile dsm = DsmFile::TwainDsm;
    QString sBridge;
    int iTimeoutSeconds = 600;
    int iCallTimeoutSeconds = 120; // 0: calls may take as long as they take
    bool bVerbose = false;
};

class ScanCommand : public QObject
{
    Q_OBJECT

public:
    ScanCommand();
    ~ScanCommand() override;

    // The whole run; the process's exit code.
    int run(const QStringList& lstArguments);

    // One request to end (a signal's number), on this object's thread: the
    // first cancels the batch.
    void endRequested(int iSignal);

private slots:
    void on_imageReceived(const pelirand::Image& image);
    void on_imageFailed(int iPage, QString sWhy);
    void on_signal();

private:
    int parse(const QStringList& lstArguments);
    int list();
    int options();
    int openSource();
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
    int scan();
    // Why nobody can see the enabled source's dialog; empty when somebody can.
    QString dialogUnseen();
    QString allowedValues(quint16 cap);
    void printSettingsInForce();
    int fail(int iExit, const QString& sWhy);
    int failSetting(const QString& sWhat, const TwainResult& result, const QString& sAllowed = QString());
    int applySettings();
    QString nextOutputName();
    QString documentName() const;
    bool finishDocument();
    void verbose(const QString& sLine);
    QString pagesKept() const;
    void reportQuirks(const BatchResult& batch);
    int failBridge();
    // The system's requests to end (signals; Ctrl-C and the console's close
    // on Windows): scansignals_unix.cpp, scansignals_win.cpp.
    bool installSignalHandlers();
    void removeSignalHandlers();
    int interrupted();
    TwainResult waitForScan(BatchResult& batch, bool& bTimedOut);
    void printSummary(const ScanProgress& progress);
    void removeBridgeLeftovers();
    int copyToStdout();
    QString shownPath(const QString& sPath) const;

    ScanOptions m_options;
    Bridge m_bridge;
    TwainSession m_session;
    ScanProgress* m_pProgress = nullptr;
    QString m_sOutputDir;
    QString m_sSourceFiles;
    int m_nNamed = 0;
    int m_nWritten = 0;
    qint64 m_nWrittenBytes = 0;
    QStringList m_lstOutputs;
    QString m_sWriteError;
    // The first page the bridge could not write, and why.
    QString m_sBridgeError;
    // The first page the bridge could not hand over for another reason.
    QString m_sPageLost;
    int m_nNotWritten = 0;
    // Pages that reached pelirand-scan, whether or not they could be written.
    int m_nReceived = 0;
    qint64 m_nReceivedBytes = 0;
    // PDF and TIFF: the one document every page of the run goes into.
    std::unique_ptr<MultiPageWriter> m_pDocument;
    QString m_sDocument;
    // The first SIGINT, SIGTERM or SIGHUP received, 0 while none.
    int m_iSignal = 0;
    // The cancel found the source enabled but not scanning (waiting in its dialog).
    bool m_bCancelledIdle = false;
    QSocketNotifier* m_pSignalNotifier = nullptr;
    qint64 m_bridgeStartMs = 0;
    std::FILE* m_pOut = stdout;
    // With -o -: the private folder the run's file is written in before it goes to standard output.
    std::unique_ptr<QTemporaryDir> m_pStdoutDir;
};

} // namespace pelirand
