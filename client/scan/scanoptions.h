#pragma once

// pelirand-scan's command line: one table of options from which the command
// line is read, --help (and so the man page) is written and the bash
// completion is made (the hidden option --completion prints it; the build
// installs what it prints). A new option is a row of that table and, if it
// takes a value, the function that reads it.

#include <QString>
#include <QStringList>

#include "pelirand/twainsession.h"
#include "twain/twain.h"

namespace pelirand {

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
    // Where the paper comes from: as the source has it unless one is given.
    bool bFeeder = false;
    bool bFlatbed = false;
    bool bDuplex = false;
    // Scan area in millimetres from the top left corner; < 0: as the source has it.
    double areaLeft = -1;
    double areaTop = -1;
    double areaWidth = -1;
    double areaHeight = -1;
    // -100 to 100; kUnset: as the source has it.
    static constexpr int kUnset = -10000;
    int iBrightness = kUnset;
    int iContrast = kUnset;
    // The device's own options, NAME=VALUE, set in this order (the SANE source).
    QStringList lstDeviceOptions;
    // A flatbed's pages one by one into one run, the next when Enter is pressed.
    bool bBatchPrompt = false;
    // -o FILE: the run's file (the first page's with several) is named exactly so.
    bool bOutputFile = false;
    QString sExtension; // as -o FILE spells it (pgm, jpeg...); empty: the format's own
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

// Reads the command line (the program's name first) into options. -1 when
// the run goes on; otherwise the exit code: kExitOk after --help, --version
// or --completion (printed on standard output), kExitUsage with the reason
// printed on standard error.
int parseScanOptions(const QStringList& lstArguments, ScanOptions& options);

// The bash completion script for pelirand-scan, made from the table.
QString scanCompletionScript();

// A transfer mechanism (TWSX_...) and a pixel type (TWPT_...) by the names
// the command line takes; the number when it has no name.
QString mechanismName(int iMechanism);
QString pixelTypeName(int iPixelType);
// The scan mode a pixel type is, as SANE names it (Color, Gray, Lineart).
QString modeName(int iPixelType);

} // namespace pelirand
