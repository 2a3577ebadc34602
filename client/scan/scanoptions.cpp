#include "client/scan/scanoptions.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QFileInfo>

#include <cmath>
#include <cstdio>
#include <vector>

#include <unistd.h>

#include "client/scan/pagewriter.h"
#include "client/scan/scanconsole.h"
#include <pelirand/sanetwain.h>

#include <pelirand/version.h>
#include "twain/twain.h"

namespace pelirand {

namespace {

struct Named
{
    const char* name;
    int value;
};

const Named kMechanisms[] = {
    {"native", TWSX_NATIVE},   {"file", TWSX_FILE},           {"memory", TWSX_MEMORY},
    {"memfile", TWSX_MEMFILE}, {"memory-file", TWSX_MEMFILE},
};

const Named kPixelTypes[] = {
    {"bw", TWPT_BW}, {"gray", TWPT_GRAY}, {"grey", TWPT_GRAY}, {"rgb", TWPT_RGB}, {"palette", TWPT_PALETTE},
};

// The scan modes as SANE (and so scanimage) names them.
const Named kModes[] = {
    {"Color", TWPT_RGB}, {"Gray", TWPT_GRAY}, {"Lineart", TWPT_BW}, {"Colour", TWPT_RGB}, {"Grey", TWPT_GRAY},
};

// What -o FILE's extension says about the format.
const struct
{
    const char* extension;
    const char* format;
} kFileExtensions[] = {
    {"png", "png"}, {"bmp", "bmp"},   {"pnm", "pnm"},  {"pbm", "pnm"},   {"pgm", "pnm"},  {"ppm", "pnm"},
    {"jpg", "jpeg"}, {"jpeg", "jpeg"}, {"tif", "tiff"}, {"tiff", "tiff"}, {"pdf", "pdf"},
};

QString formatOfExtension(const QString& sExtension)
{
    for (const auto& entry : kFileExtensions) {
        if (sExtension.compare(QLatin1String(entry.extension), Qt::CaseInsensitive) == 0)
            return QLatin1String(entry.format);
    }
    return QString();
}

template <size_t N>
int lookUp(const Named (&table)[N], const QString& sName)
{
    for (const Named& entry : table) {
        if (sName.compare(QLatin1String(entry.name), Qt::CaseInsensitive) == 0)
            return entry.value;
    }
    return -1;
}

template <size_t N>
QString nameOf(const Named (&table)[N], int iValue)
{
    for (const Named& entry : table) {
        if (entry.value == iValue)
            return QLatin1String(entry.name);
    }
    return QString::number(iValue);
}

const char* kDescription = "Lists the TWAIN sources or scans pages into image files, through the pelirand\n"
                           "bridge, which it starts itself. Takes scanimage's usual options (-d, -L, -A,\n"
                           "--mode, --resolution, -l -t -x -y, --brightness, --contrast, --batch-prompt,\n"
                           "-o FILE).\n"
                           "\n"
                           "Without --list-devices it scans: it opens the source, sets what the options\n"
                           "ask for (anything not given stays as the source has it), scans without the\n"
                           "source's dialog unless --dialog is given, and writes each page as it arrives to\n"
                           "<output>/<name>-001.png, -002.png, ... (all pages in <output>/<name>.pdf or\n"
                           ".tif with --format pdf or tiff), or to the file -o names. It tells each page\n"
                           "and a summary on standard error; standard output carries only what was asked\n"
                           "for (the lists, --json, --print-files, the image with -o -).\n"
                           "\n"
                           "Transfer mechanisms (--mechanism):\n"
                           "  native   the source hands over each page as a bitmap in memory (default)\n"
                           "  file     the source writes each page to a file itself\n"
                           "  memory   the page comes in strips of rows\n"
                           "  memfile  the source's image file comes in blocks\n"
                           "\n"
                           "Exit status: 0 when every requested page arrived and was written; 1 when\n"
                           "fewer pages arrived or the scanner failed (no paper, a jam, its cover open...);\n"
                           "2 bad options; 3 no TWAIN Data Source Manager; 4 no such source or device;\n"
                           "5 the bridge did not start or ended unexpectedly; 6 the source refused a\n"
                           "setting; 7 a file could not be written; 8 the scan made no progress within\n"
                           "--timeout (the scanner stopped answering); 9 the bridge could not write a page\n"
                           "it received (its folder is full...); 10 no source given and no scanner found.\n"
                           "Every failure prints one line saying why, in plain words (--verbose adds\n"
                           "TWAIN's names).\n"
                           "\n"
                           "SIGINT (Ctrl-C), SIGTERM and SIGHUP cancel the scan: the pages written so far\n"
                           "are kept, the bridge ends its batch and quits, no temporary file is left, and\n"
                           "the exit status is 128 + the signal's number (130, 143, 129). A second signal,\n"
                           "or a scanner that does not take the cancel within --call-timeout, ends the\n"
                           "bridge at once with the same status; the pages written so far are kept.";

// After the options in --help (and so in the man page).
const char* kEnvironment =
    "\n"
    "Environment:\n"
    "  PELIRAND_BRIDGE          The pelirand executable, unless --bridge is given.\n"
    "                           Default: the one beside pelirand-scan, else the one\n"
    "                           installed with the client library.\n"
    "  PELIRAND_TWAIN_DIR       The folder in which the stand-in DSM that comes with\n"
    "                           pelirand looks for sources (*.ds, also in subfolders).\n"
    "                           Other DSMs keep their own folder; on Linux\n"
    "                           /usr/local/lib/twain.\n"
    "  PELIRAND_DEFAULT_SOURCE  The product name of the source the stand-in DSM\n"
    "                           offers as its default.\n"
    "  PELIRAND_SANE_DEVICE     The SANE device the source \"pelirand SANE Scanner\"\n"
    "                           opens unless --device is given. Default: the first\n"
    "                           SANE lists.\n"
    "  PELIRAND_SANE_OPTIONS    Device options the SANE source sets whenever it opens\n"
    "                           a device, name=value pairs separated by ';' (the\n"
    "                           --sane-option values are set after them).\n"
    "  PELIRAND_SANE_LIBRARY    The SANE library that source loads (default\n"
    "                           libsane.so.1).\n"
    "  SANE_CONFIG_DIR          Where SANE reads its configuration (dll.conf,\n"
    "                           net.conf, test.conf...).\n"
    "  TMPDIR                   Where the bridge writes temporary image files.\n"
    "  PELIRAND_LOG             The bridge's log file, instead of the one below.\n"
    "  XDG_STATE_HOME           The folder of the bridge's log (default\n"
    "                           ~/.local/state).\n"
    "\n"
    "Files:\n"
    "  $XDG_STATE_HOME/pelirand/pelirand-scan.log\n"
    "                           The log of the bridges pelirand-scan starts\n"
    "                           (~/.local/state/pelirand/pelirand-scan.log without\n"
    "                           XDG_STATE_HOME).\n"
    "  TWAINDSM.dll, TWAIN_32.dll\n"
    "                           The DSM the bridge loads (--dsm), looked for beside\n"
    "                           the bridge first; on Linux then libtwaindsm.so and\n"
    "                           pelirand's own DSM, lib/pelirand/libpelirand-dsm.so.\n"
    "  /usr/local/lib/twain, <prefix>/lib/twain\n"
    "                           The folders searched for TWAIN sources (*.ds, one\n"
    "                           subfolder each): the first by every DSM, the second\n"
    "                           also by pelirand's own (only $PELIRAND_TWAIN_DIR\n"
    "                           when set), where the SANE source pelirand-sane.ds is.\n"
    "  $SANE_CONFIG_DIR/dll.conf, /etc/sane.d/dll.conf\n"
    "                           The SANE backends the SANE source may use.\n";

// --- Reading each option's value: empty when taken, otherwise why not. ----

QString readSource(const QString& sValue, ScanOptions& o)
{
    o.sSource = sValue;
    return QString();
}

QString readDevice(const QString& sValue, ScanOptions& o)
{
    o.sDevice = sValue;
    if (o.sDevice.isEmpty())
        return QStringLiteral("an empty device name");
    // SANE devices are reached through the SANE source.
    if (o.sSource.isEmpty())
        o.sSource = QString::fromLatin1(sanesource::kProductName);
    else if (o.sSource != QLatin1String(sanesource::kProductName))
        return QStringLiteral("--device needs the source \"%1\"")
            .arg(QLatin1String(sanesource::kProductName));
    return QString();
}

QString readMechanism(const QString& sValue, ScanOptions& o)
{
    const int iMech = lookUp(kMechanisms, sValue);
    if (iMech < 0)
        return QStringLiteral("unknown mechanism %1: use native, file, memory or memfile").arg(sValue);
    o.mechanism = quint16(iMech);
    return QString();
}

QString readPixelType(const QString& sValue, ScanOptions& o)
{
    o.iPixelType = lookUp(kPixelTypes, sValue);
    if (o.iPixelType < 0)
        return QStringLiteral("unknown pixel type %1: use bw, gray, rgb or palette").arg(sValue);
    return QString();
}

QString readBitDepth(const QString& sValue, ScanOptions& o)
{
    bool bOk = false;
    o.iBitDepth = sValue.toInt(&bOk);
    if (!bOk || o.iBitDepth <= 0 || o.iBitDepth > 64)
        return QStringLiteral("bad bit depth %1: a whole number of bits, such as 1, 8, 16 or 24").arg(sValue);
    return QString();
}

QString readResolution(const QString& sValue, ScanOptions& o)
{
    bool bOk = false;
    o.resolution = sValue.toDouble(&bOk);
    if (!bOk || !std::isfinite(o.resolution) || o.resolution <= 0 || o.resolution > 30000)
        return QStringLiteral("bad resolution %1: dots per inch, a number above 0 such as 300").arg(sValue);
    return QString();
}

QString readPages(const QString& sValue, ScanOptions& o)
{
    if (sValue.compare(QLatin1String("all"), Qt::CaseInsensitive) == 0)
        return QString();
    bool bOk = false;
    o.iPages = sValue.toInt(&bOk);
    if (!bOk || o.iPages <= 0 || o.iPages > 32767)
        return QStringLiteral("bad page count %1: a number from 1 to 32767, or all").arg(sValue);
    return QString();
}

QString readOutput(const QString& sValue, ScanOptions& o)
{
    o.sOutputDir = sValue;
    if (o.sOutputDir.isEmpty())
        return QStringLiteral("the output folder is empty; name a folder, such as -o .");
    o.bToStdout = o.sOutputDir == QLatin1String("-");
    // A name with an image file's extension is the file itself (as scanimage takes it), unless a
    // folder of that name is there already.
    const QFileInfo file(sValue);
    const QString sFormat = formatOfExtension(file.suffix());
    if (!o.bToStdout && !sFormat.isEmpty() && !file.isDir() && !sValue.endsWith(QLatin1Char('/'))) {
        if (file.completeBaseName().isEmpty())
            return QStringLiteral("bad file name %1: give a name before the extension").arg(sValue);
        o.bOutputFile = true;
        o.sOutputDir = file.path();
        o.sName = file.completeBaseName();
        o.sExtension = file.suffix();
        o.sFormat = sFormat;
    }
    return QString();
}

QString readMode(const QString& sValue, ScanOptions& o)
{
    o.iPixelType = lookUp(kModes, sValue);
    if (o.iPixelType < 0)
        return QStringLiteral("unknown mode %1: use Color, Gray or Lineart").arg(sValue);
    return QString();
}

// A length in millimetres for the scan area.
QString readMillimetres(const QString& sValue, double& target, const char* sWhat, bool bPositive)
{
    bool bOk = false;
    QString sNumber = sValue.trimmed();
    if (sNumber.endsWith(QLatin1String("mm"), Qt::CaseInsensitive))
        sNumber.chop(2);
    target = sNumber.toDouble(&bOk);
    if (!bOk || !std::isfinite(target) || target < 0 || (bPositive && target <= 0) || target > 10000)
        return QStringLiteral("bad %1 %2: millimetres, a number %3 such as 210")
            .arg(QLatin1String(sWhat), sValue, bPositive ? QStringLiteral("above 0") : QStringLiteral("from 0"));
    return QString();
}

QString readLeft(const QString& sValue, ScanOptions& o)
{
    return readMillimetres(sValue, o.areaLeft, "left edge", false);
}

QString readTop(const QString& sValue, ScanOptions& o)
{
    return readMillimetres(sValue, o.areaTop, "top edge", false);
}

QString readWidth(const QString& sValue, ScanOptions& o)
{
    return readMillimetres(sValue, o.areaWidth, "width", true);
}

QString readHeight(const QString& sValue, ScanOptions& o)
{
    return readMillimetres(sValue, o.areaHeight, "height", true);
}

// Brightness and contrast, -100 to 100 (per cent of the device's range either way).
QString readPercent(const QString& sValue, int& target, const char* sWhat)
{
    bool bOk = false;
    QString sNumber = sValue.trimmed();
    if (sNumber.endsWith(QLatin1Char('%')))
        sNumber.chop(1);
    target = sNumber.toInt(&bOk);
    if (!bOk || target < -100 || target > 100) {
        target = ScanOptions::kUnset;
        return QStringLiteral("bad %1 %2: a whole number from -100 to 100 (0 is the middle)")
            .arg(QLatin1String(sWhat), sValue);
    }
    return QString();
}

QString readBrightness(const QString& sValue, ScanOptions& o)
{
    return readPercent(sValue, o.iBrightness, "brightness");
}

QString readContrast(const QString& sValue, ScanOptions& o)
{
    return readPercent(sValue, o.iContrast, "contrast");
}

QString readDeviceOption(const QString& sValue, ScanOptions& o)
{
    const int iEquals = sValue.indexOf(QLatin1Char('='));
    if (iEquals <= 0)
        return QStringLiteral("bad device option \"%1\": give NAME=VALUE, such as test-picture=Color pattern")
            .arg(sValue);
    // The source takes names and values of up to 255 bytes each.
    if (sValue.left(iEquals).toUtf8().size() > 255 || sValue.mid(iEquals + 1).toUtf8().size() > 255)
        return QStringLiteral("device option \"%1\" is too long (255 bytes each for name and value)")
            .arg(sValue.left(40));
    o.lstDeviceOptions.append(sValue);
    return QString();
}

QString readFormat(const QString& sValue, ScanOptions& o)
{
    o.sFormat = sValue.toLower();
    if (o.sFormat == QLatin1String("jpg"))
        o.sFormat = QStringLiteral("jpeg");
    else if (o.sFormat == QLatin1String("tif"))
        o.sFormat = QStringLiteral("tiff");
    if (!pageFormatNames().contains(o.sFormat))
        return QStringLiteral("unknown format %1: use %2")
            .arg(sValue, pageFormatNames().join(QStringLiteral(", ")));
    return QString();
}

QString readJpegQuality(const QString& sValue, ScanOptions& o)
{
    const QString sQuality = sValue.toLower();
    bool bOk = false;
    o.iJpegQuality = sQuality == QLatin1String("lossless") ? 0 : sQuality.toInt(&bOk);
    if (sQuality != QLatin1String("lossless") && (!bOk || o.iJpegQuality < 1 || o.iJpegQuality > 100))
        return QStringLiteral("bad JPEG quality %1: 1 to 100, or lossless").arg(sValue);
    return QString();
}

QString readName(const QString& sValue, ScanOptions& o)
{
    o.sName = sValue;
    if (o.sName.isEmpty() || o.sName.contains(QLatin1Char('/')) || o.sName == QLatin1String(".") ||
        o.sName == QLatin1String(".."))
        return QStringLiteral("bad name \"%1\": give a file name prefix without /").arg(o.sName);
    return QString();
}

QString readDsm(const QString& sValue, ScanOptions& o)
{
    const QString sDsm = sValue.toLower();
    if (sDsm == QLatin1String("twain32"))
        o.dsm = DsmFile::Twain32;
    else if (sDsm != QLatin1String("twaindsm"))
        return QStringLiteral("unknown DSM %1: use twaindsm or twain32").arg(sValue);
    return QString();
}

QString readBridge(const QString& sValue, ScanOptions& o)
{
    o.sBridge = sValue;
    return QString();
}

QString readTimeout(const QString& sValue, ScanOptions& o)
{
    bool bOk = false;
    o.iTimeoutSeconds = sValue.toInt(&bOk);
    if (!bOk || o.iTimeoutSeconds < 0 || o.iTimeoutSeconds > 24 * 3600)
        return QStringLiteral("bad timeout %1: seconds from 0 (no limit) to 86400").arg(sValue);
    return QString();
}

QString readCallTimeout(const QString& sValue, ScanOptions& o)
{
    bool bOk = false;
    o.iCallTimeoutSeconds = sValue.toInt(&bOk);
    if (!bOk || o.iCallTimeoutSeconds < 0 || o.iCallTimeoutSeconds > 24 * 3600)
        return QStringLiteral("bad call timeout %1").arg(sValue);
    return QString();
}

// --- The table ----------------------------------------------------------

// What the bash completion offers for an option's value.
enum class Complete
{
    Nothing, // a value nobody can guess (a name, a number of seconds)
    Words,   // the row's words
    Formats, // the page formats the writers know
    Sources, // the product names --list prints
    Devices, // the SANE devices --list prints
    Folders,
    Files,
    EndsRun, // a switch after which nothing else is read
};

struct OptionRow
{
    const char* shortName; // nullptr: none
    const char* longName;
    const char* valueName; // nullptr: a switch
    const char* help;
    // Said after the help as "Default: <it>."; nullptr when the help says it or there is none.
    const char* defaultValue;
    // Said after the default.
    const char* helpAfter;
    Complete complete;
    const char* words; // for Complete::Words, space-separated
    // A switch sets this member; --help, --version and --completion set none.
    bool ScanOptions::*flag;
    // An option with a value reads it with this.
    QString (*read)(const QString& sValue, ScanOptions& o);
    // Another long name it goes by (an older one, or scanimage's); nullptr: none.
    const char* alias = nullptr;
};

// In the order --help lists them; values are read in this order too.
constexpr OptionRow kOptions[] = {
    {"h", "help", nullptr, "Shows this help and exits.", nullptr, nullptr, Complete::EndsRun, nullptr,
     nullptr, nullptr},
    {"v", "version", nullptr, "Shows the version and exits.", nullptr, nullptr, Complete::EndsRun, nullptr,
     nullptr, nullptr},
    {"L", "list-devices", nullptr,
     "Lists the sources the DSM knows (* marks the default) with the SANE devices behind the SANE source, "
     "and exits. Also --list.",
     nullptr, nullptr, Complete::Nothing, nullptr, &ScanOptions::bList, nullptr, "list"},
    {"A", "options", nullptr,
     "Lists every capability the source offers (its type, current and default value and the values it "
     "allows) and exits. Also --all-options.",
     nullptr, nullptr, Complete::Nothing, nullptr, &ScanOptions::bOptions, nullptr, "all-options"},
    {nullptr, "json", nullptr,
     "With --list-devices or --options: one JSON document on standard output, for programs.", nullptr,
     nullptr, Complete::Nothing, nullptr, &ScanOptions::bJson, nullptr},
    {"s", "source", "name", "The TWAIN source to scan with, by product name as --list-devices shows it.",
     "the first source that has a device (the SANE source with a SANE device), never the simulated "
     "scanner; $PELIRAND_DEFAULT_SOURCE chooses another", nullptr, Complete::Sources, nullptr, nullptr, readSource},
    {"d", "device", "name",
     "The SANE device to scan from, by name as --list-devices shows it (e.g. test:0 or net:host:device), "
     "through the source \"pelirand SANE Scanner\".",
     nullptr, nullptr, Complete::Devices, nullptr, nullptr, readDevice},
    {nullptr, "feeder", nullptr, "Takes the pages from the document feeder (ADF).", nullptr, nullptr,
     Complete::Nothing, nullptr, &ScanOptions::bFeeder, nullptr},
    {nullptr, "flatbed", nullptr, "Scans from the flatbed (the glass), not the feeder.", nullptr, nullptr,
     Complete::Nothing, nullptr, &ScanOptions::bFlatbed, nullptr},
    {nullptr, "duplex", nullptr, "Both sides of each sheet from the feeder (front and back as two pages).",
     nullptr, nullptr, Complete::Nothing, nullptr, &ScanOptions::bDuplex, nullptr},
    {nullptr, "batch-prompt", nullptr,
     "Several pages from a flatbed into one run (and one PDF or TIFF): after each page, press Enter to scan "
     "the next or any other key to finish.",
     nullptr, nullptr, Complete::Nothing, nullptr, &ScanOptions::bBatchPrompt, nullptr},
    {nullptr, "mode", "mode", "Scan mode: Color, Gray or Lineart (black and white).", "the source's", nullptr,
     Complete::Words, "Color Gray Lineart", nullptr, readMode},
    {nullptr, "pixel-type", "type", "Pixel type in TWAIN's terms: bw, gray, rgb or palette.", "the source's",
     nullptr, Complete::Words, "bw gray rgb palette", nullptr, readPixelType},
    {"b", "bit-depth", "bits",
     "Bits per pixel (per sample for gray), such as 1, 8, 16 or 24; set after the mode.", "the source's",
     nullptr, Complete::Words, "1 8 16 24 48", nullptr, readBitDepth},
    {"r", "resolution", "dpi", "Resolution in dots per inch, both directions.", "the source's", nullptr,
     Complete::Words, "75 100 150 200 300 600 1200", nullptr, readResolution},
    {"l", "left", "mm", "Scan area: left edge, in millimetres from the left of the bed.", "0", nullptr,
     Complete::Nothing, nullptr, nullptr, readLeft},
    {"t", "top", "mm", "Scan area: top edge, in millimetres from the top of the bed.", "0", nullptr,
     Complete::Nothing, nullptr, nullptr, readTop},
    {"x", "width", "mm", "Scan area: width in millimetres.", "to the right edge of the bed", nullptr,
     Complete::Nothing, nullptr, nullptr, readWidth},
    {"y", "height", "mm", "Scan area: height in millimetres.", "to the bottom of the bed", nullptr,
     Complete::Nothing, nullptr, nullptr, readHeight},
    {nullptr, "brightness", "-100..100", "Brightness, from -100 (darkest) to 100 (lightest).",
     "the source's", nullptr, Complete::Nothing, nullptr, nullptr, readBrightness},
    {nullptr, "contrast", "-100..100", "Contrast, from -100 (least) to 100 (most).", "the source's", nullptr,
     Complete::Nothing, nullptr, nullptr, readContrast},
    {nullptr, "sane-option", "name=value",
     "Sets one of the SANE device's own options (as --options lists them), such as test-picture=Color "
     "pattern; repeat it for several. The SANE source only.",
     nullptr, nullptr, Complete::Nothing, nullptr, nullptr, readDeviceOption},
    {"n", "pages", "count",
     "How many pages to scan, or \"all\" for every page the source has (its feeder's sheets).", "all",
     nullptr, Complete::Words, "all 1 2 3 5 10", nullptr, readPages},
    {nullptr, "dialog", nullptr,
     "Shows the source's own dialog; scanning starts when you start it there. Refused when nobody can see "
     "it (no display, or no window of the source's own on it).",
     nullptr, nullptr, Complete::Nothing, nullptr, &ScanOptions::bDialog, nullptr},
    {"m", "mechanism", "mechanism", "Transfer mechanism: native, file, memory or memfile.", "native", nullptr,
     Complete::Words, "native file memory memfile", nullptr, readMechanism},
    {"o", "output", "folder|file",
     "Folder for the image files, made if missing; or a file with an image extension (page.png, scan.pdf), "
     "whose extension gives the format and which is numbered (page-001.png, ...) when several pages come.",
     "./scans",
     "- writes the run's one file (a PDF or TIFF document, or a single page with -n 1) to standard output.",
     Complete::Folders, nullptr, nullptr, readOutput},
    {"f", "format", "format",
     "File format: png, bmp, pnm or jpeg (a file per page), or pdf or tiff (every page of the run in one "
     "file). PNG pages are zlib level 6, as scanimage's (measured on A4 pages at 300 dpi: level 1 would code "
     "1.5 to 8 times faster for files 10 to 17% larger); grey and colour TIFF pages are Deflate level 1 "
     "(measured: the run 1.8 times faster than at level 6 for files 6 to 12% larger, an eighth of "
     "scanimage's uncompressed TIFF).",
     "png", nullptr, Complete::Formats, nullptr, nullptr, readFormat},
    {nullptr, "jpeg-quality", "quality",
     "Quality of JPEG pages and of grey and colour pages in a PDF, 1 to 100, or lossless (Flate in a PDF).",
     "85", nullptr, Complete::Nothing, nullptr, nullptr, readJpegQuality},
    {nullptr, "name", "prefix", "File names start with this; a number and the format's extension follow.",
     "scan-, the date and time and the process's number", nullptr, Complete::Nothing, nullptr, nullptr, readName},
    {nullptr, "dsm", "file",
     "The DSM file the bridge loads: twaindsm (TWAINDSM.dll, default) or twain32 (TWAIN_32.dll).", nullptr,
     nullptr, Complete::Words, "twaindsm twain32", nullptr, readDsm},
    {nullptr, "bridge", "path", "The pelirand executable.",
     "$PELIRAND_BRIDGE, else the one beside pelirand-scan, else the one installed with the library", nullptr,
     Complete::Files, nullptr, nullptr, readBridge},
    {nullptr, "timeout", "seconds",
     "Gives up when the scan makes no progress (no page, no block of one, no step of the session) for this "
     "many seconds, also while the source is stuck inside a call: the pages before are kept. With "
     "--dialog, the wait for a scan to be started counts too. 0 waits for ever.",
     "600", nullptr, Complete::Nothing, nullptr, nullptr, readTimeout},
    {nullptr, "call-timeout", "seconds",
     "Ends the bridge when one TWAIN call has not answered after this many seconds (a hung driver), and "
     "says which; 0 waits for ever.",
     "120", nullptr, Complete::Nothing, nullptr, nullptr, readCallTimeout},
    {"q", "quiet", nullptr, "Prints nothing but errors.", nullptr, nullptr, Complete::Nothing, nullptr,
     &ScanOptions::bQuiet, nullptr},
    {nullptr, "print-files", nullptr,
     "Prints each file written, one path a line, on standard output.", nullptr, nullptr,
     Complete::Nothing, nullptr, &ScanOptions::bPrintFiles, nullptr},
    {nullptr, "verbose", nullptr,
     "Tells each step, adds TWAIN's own names to every error and shows the bridge's own messages.", nullptr,
     nullptr, Complete::Nothing, nullptr, &ScanOptions::bVerbose, nullptr},
};

constexpr bool rowIsWhole(const OptionRow& row)
{
    // A switch sets a flag or ends the run; an option with a value reads it; words go with Words only.
    return row.longName && row.help &&
           (row.valueName ? row.read && !row.flag && row.complete != Complete::EndsRun
                          : !row.read && (row.flag != nullptr) != (row.complete == Complete::EndsRun)) &&
           (row.complete == Complete::Words) == (row.words != nullptr);
}

constexpr bool tableIsWhole()
{
    for (const OptionRow& row : kOptions) {
        if (!rowIsWhole(row))
            return false;
    }
    return true;
}
static_assert(tableIsWhole(), "every option is a switch with a flag or an option with a reader");

// The option as QCommandLineParser takes it; the help is the row's sentences.
QCommandLineOption commandLineOption(const OptionRow& row)
{
    QStringList lstNames;
    if (row.shortName)
        lstNames << QLatin1String(row.shortName);
    lstNames << QLatin1String(row.longName);
    if (row.alias)
        lstNames << QLatin1String(row.alias);
    QString sHelp = QString::fromUtf8(row.help);
    if (row.defaultValue)
        sHelp += QStringLiteral(" Default: %1.").arg(QString::fromUtf8(row.defaultValue));
    if (row.helpAfter)
        sHelp += QLatin1Char(' ') + QString::fromUtf8(row.helpAfter);
    return QCommandLineOption(lstNames, sHelp, row.valueName ? QLatin1String(row.valueName) : QString());
}

int usage(const QString& sWhy)
{
    std::fprintf(stderr, "pelirand-scan: %s (see --help)\n", qUtf8Printable(sWhy));
    return kExitUsage;
}

// What the options ask for together, once each was read.
QString checkTogether(ScanOptions& o)
{
    if (o.iBitDepth == 16 && (o.iPixelType < 0 || o.iPixelType == TWPT_GRAY)) {
        // 16-bit grey: only the buffered and file mechanisms keep the 16 bits,
        // and BMP and JPEG cannot hold them. (Other pixel types are the source's to refuse.)
        if (o.mechanism == TWSX_NATIVE)
            return QStringLiteral("native transfers reduce 16-bit grey to 8 bits: use -m memory, "
                                  "memfile or file for 16 bits");
        if (o.sFormat == QLatin1String("bmp") || o.sFormat == QLatin1String("jpeg"))
            return QStringLiteral("a %1 file cannot hold 16-bit grey: use -f png, tiff, pnm or pdf")
                .arg(o.sFormat.toUpper());
        o.iPixelType = TWPT_GRAY;
    }
    if (o.bToStdout && !o.bList && !o.bOptions) {
        // One file, and nothing else, goes to standard output (-o ./- names a folder called -).
        if (o.bPrintFiles)
            return QStringLiteral("-o - writes the file itself to standard output: leave out "
                                  "--print-files, or name a folder");
        if (!isMultiPageFormat(o.sFormat) && o.iPages != 1)
            return QStringLiteral("-o - writes one file: give -n 1 for a single %1 page, or -f pdf or "
                                  "tiff for several pages (-o ./- names a folder called -)")
                .arg(o.sFormat.toUpper());
        if (isatty(STDOUT_FILENO))
            return QStringLiteral("-o - writes the image to standard output, which is a terminal: "
                                  "redirect it (-o - > scan.%1) or name a folder")
                .arg(o.sFormat == QLatin1String("jpeg") ? QStringLiteral("jpg") : o.sFormat);
    }
    return QString();
}

} // namespace

QString mechanismName(int iMechanism)
{
    return nameOf(kMechanisms, iMechanism);
}

QString pixelTypeName(int iPixelType)
{
    return nameOf(kPixelTypes, iPixelType);
}

int parseScanOptions(const QStringList& lstArguments, ScanOptions& o)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kDescription));
    std::vector<QCommandLineOption> options;
    options.reserve(std::size(kOptions));
    for (const OptionRow& row : kOptions) {
        options.push_back(commandLineOption(row));
        parser.addOption(options.back());
    }
    // For the build, which installs what it prints; not for people, hence not in --help.
    QCommandLineOption completion(QStringLiteral("completion"));
    completion.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(completion);

    if (!parser.parse(lstArguments))
        return usage(parser.errorText());
    const auto isSet = [&](const char* sLongName) { return parser.isSet(QLatin1String(sLongName)); };
    if (isSet("help")) {
        std::fputs(qUtf8Printable(parser.helpText()), stdout);
        std::fputs(kEnvironment, stdout);
        return kExitOk;
    }
    if (isSet("version")) {
        std::printf("pelirand-scan %s\n", PELIRAND_VERSION_STRING);
        return kExitOk;
    }
    if (parser.isSet(completion)) {
        std::fputs(qUtf8Printable(scanCompletionScript()), stdout);
        return kExitOk;
    }
    if (!parser.positionalArguments().isEmpty())
        return usage(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));

    for (const OptionRow& row : kOptions) {
        if (row.flag)
            o.*row.flag = isSet(row.longName);
    }
    if (o.bList && o.bOptions)
        return usage(QStringLiteral("--list and --options do not go together"));
    if (o.bJson && !o.bList && !o.bOptions)
        return usage(QStringLiteral("--json goes with --list or --options"));
    if (isSet("mode") && isSet("pixel-type"))
        return usage(QStringLiteral("--mode and --pixel-type say the same: give one"));
    for (const OptionRow& row : kOptions) {
        if (!row.read || !isSet(row.longName))
            continue;
        // Each time it is given (--sane-option is repeated; for the others the last one holds).
        for (const QString& sValue : parser.values(QLatin1String(row.longName))) {
            const QString sWhy = row.read(sValue, o);
            if (!sWhy.isEmpty())
                return usage(sWhy);
        }
    }
    if (o.bOutputFile) {
        // The file's extension says the format; --format and --name may only agree with it.
        const QString sFileFormat = formatOfExtension(o.sExtension);
        if (isSet("format") && o.sFormat != sFileFormat)
            return usage(QStringLiteral("-o %1 is a %2 file but --format asks for %3: give one of them")
                             .arg(parser.value(QStringLiteral("output")), sFileFormat, o.sFormat));
        if (isSet("name"))
            return usage(QStringLiteral("-o names the file itself: leave out --name"));
        o.sFormat = sFileFormat;
    }
    if (o.bFeeder && o.bFlatbed)
        return usage(QStringLiteral("--feeder and --flatbed do not go together"));
    if (o.bDuplex && o.bFlatbed)
        return usage(QStringLiteral("--duplex scans both sides from the feeder, not the flatbed"));
    if (o.bBatchPrompt && (o.bFeeder || o.bDuplex))
        return usage(QStringLiteral("--batch-prompt is for a flatbed: the feeder takes its pages itself"));
    if (o.bBatchPrompt && o.bDialog)
        return usage(QStringLiteral("--batch-prompt and --dialog do not go together"));
    if (!isSet("name") && !o.bOutputFile)
        // Two runs that start within one second get names of their own.
        o.sName = QStringLiteral("scan-%1-%2")
                      .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")))
                      .arg(qint64(::getpid()));
    const QString sWhy = checkTogether(o);
    if (!sWhy.isEmpty())
        return usage(sWhy);
    return -1;
}

QString scanCompletionScript()
{
    // One case per kind of value, the options in the table's order.
    QStringList lstEnds;
    QStringList lstNothing;
    QString sCases;
    const auto names = [](const OptionRow& row) {
        return row.shortName ? QStringLiteral("-%1 | --%2")
                                   .arg(QLatin1String(row.shortName), QLatin1String(row.longName))
                             : QStringLiteral("--%1").arg(QLatin1String(row.longName));
    };
    const auto words = [](const QString& sWords) {
        return QStringLiteral("            COMPREPLY=($(compgen -W '%1' -- \"$cur\"))\n").arg(sWords);
    };
    QStringList lstLongNames;
    for (const OptionRow& row : kOptions) {
        lstLongNames << QStringLiteral("--%1").arg(QLatin1String(row.longName));
        if (row.alias)
            lstLongNames << QStringLiteral("--%1").arg(QLatin1String(row.alias));
        QString sBody;
        switch (row.complete) {
        case Complete::EndsRun:
            lstEnds << names(row);
            continue;
        case Complete::Nothing:
            if (row.valueName)
                lstNothing << names(row);
            continue;
        case Complete::Words:
            sBody = words(QLatin1String(row.words));
            break;
        case Complete::Formats:
            sBody = words(pageFormatNames().join(QLatin1Char(' ')));
            break;
        case Complete::Sources:
            sBody = QStringLiteral(
                "            # The product names --list prints: \"* Name  (maker, family, version x)\".\n"
                "            local IFS=$'\\n'\n"
                "            local names\n"
                "            names=$(\"$1\" --list 2>/dev/null | sed -n 's/^[* ] \\([^ ].*\\)  (.*$/\\1/p')\n"
                "            COMPREPLY=($(compgen -W \"$names\" -- \"$cur\"))\n"
                "            # Names with spaces stay one word.\n"
                "            COMPREPLY=(\"${COMPREPLY[@]// /\\\\ }\")\n");
            break;
        case Complete::Devices:
            sBody = QStringLiteral(
                "            # The devices --list prints below the SANE source: \"    * --device test:0  (...)\".\n"
                "            local names\n"
                "            names=$(\"$1\" --list 2>/dev/null | sed -n 's/^    [* ] --device \\([^ ]*\\).*$/\\1/p')\n"
                "            COMPREPLY=($(compgen -W \"$names\" -- \"$cur\"))\n"
                "            # SANE names hold colons, which bash splits words at.\n"
                "            __ltrim_colon_completions \"$cur\"\n");
            break;
        case Complete::Folders:
            sBody = QStringLiteral("            _filedir -d\n");
            break;
        case Complete::Files:
            sBody = QStringLiteral("            _filedir\n");
            break;
        }
        sCases +=
            QStringLiteral("        %1)\n%2            return\n            ;;\n").arg(names(row), sBody);
    }
    lstLongNames.removeDuplicates();
    const QString sEnds = QStringLiteral("        %1)\n            return\n            ;;\n")
                              .arg(lstEnds.join(QStringLiteral(" | ")));
    const QString sNothing = QStringLiteral("        %1)\n            return\n            ;;\n")
                                 .arg(lstNothing.join(QStringLiteral(" | ")));
    return QStringLiteral(
               "# bash completion for pelirand-scan                              -*- shell-script -*-\n"
               "# Made by pelirand-scan --completion from its table of options.\n"
               "\n"
               "_pelirand_scan()\n"
               "{\n"
               "    local cur prev words cword split\n"
               "    _init_completion -s -n : || return\n"
               "\n"
               "    case $prev in\n"
               "%1%2%3"
               "    esac\n"
               "\n"
               "    $split && return\n"
               "\n"
               "    if [[ $cur == -* ]]; then\n"
               "        COMPREPLY=($(compgen -W '%4' -- \"$cur\"))\n"
               "    fi\n"
               "} &&\n"
               "    complete -F _pelirand_scan pelirand-scan\n"
               "\n"
               "# ex: filetype=sh\n")
        .arg(sEnds, sCases, sNothing, lstLongNames.join(QLatin1Char(' ')));
}

} // namespace pelirand
