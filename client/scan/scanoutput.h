#pragma once

// Where pelirand-scan's pages go: a file per page, named <name>-001.<ext> and
// on, never over an earlier scan's; or one PDF or TIFF document for the run;
// or, with -o -, the run's one file on standard output. Counts what arrived
// and what was written, and keeps the first reason a page was not.
//
// Lives on the main thread: pages come from the session's signals there.

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

#include "client/scan/pagewriter.h"
#include "client/scan/scanoptions.h"
#include "pelirand/image.h"

namespace pelirand {

class ScanProgress;

class ScanOutput
{
public:
    explicit ScanOutput(const ScanOptions& options);
    ~ScanOutput();

    // With -o -: the private folder the run's file is written in before it
    // goes to standard output; its path, or empty with sError set.
    QString makeStdoutFolder(QString& sError);
    // Copies the one file the run wrote to standard output, then lets the
    // folder go; kExitOk, or kExitOutput with the reason printed.
    int copyToStdout();

    // The folder pages go to (absolute), and the folder a file transfer's
    // source writes into (empty without one): its pages are removed once written.
    void setOutputFolder(const QString& sFolder) { m_sOutputDir = sFolder; }
    const QString& outputFolder() const { return m_sOutputDir; }
    void setSourceFilesFolder(const QString& sFolder) { m_sSourceFiles = sFolder; }
    const QString& sourceFilesFolder() const { return m_sSourceFiles; }
    // Where notes on pages go while scanning; null when nothing shows them.
    void setProgress(ScanProgress* pProgress) { m_pProgress = pProgress; }

    void pageReceived(const Image& image);
    void pageFailed(int iPage, const QString& sWhy);
    // The document holds every page that arrived, however the scan ended.
    void finish();

    int received() const { return m_nReceived; }
    int written() const { return m_nWritten; }
    int notWritten() const { return m_nNotWritten; }
    // The first page that could not be written here, the bridge's first, and the first lost otherwise.
    const QString& writeError() const { return m_sWriteError; }
    const QString& bridgeError() const { return m_sBridgeError; }
    const QString& pageLost() const { return m_sPageLost; }
    // "1 page kept", "3 pages kept".
    QString pagesKept() const;
    // The path as people read it, or "standard output" with -o -.
    QString shownPath(const QString& sPath) const;
    void printSummary(std::FILE* pOut, double seconds) const;

private:
    QString nextOutputName();
    // The document's name: <name>.<ext>, then <name>-2.<ext> and on.
    QString documentName(int n) const;
    // The document under the first free name; false with sError.
    bool openDocument(QString& sError);
    // The files' extension: as -o FILE spells it, else the format's.
    QString extension() const;
    // The options ask for more than one page (a feeder, a count, a batch prompt).
    bool severalPagesAsked() const;
    bool finishDocument();

    const ScanOptions& m_options;
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
    std::unique_ptr<QTemporaryDir> m_pStdoutDir;
};

} // namespace pelirand
