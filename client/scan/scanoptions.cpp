#include "client/scan/scanoptions.h"

#include <QCommandLineParser>
#include <QDateTime>

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
                           "bridge, which it starts itself.\n"
                           "\n"
                           "Without --list it scans: it opens the source, sets what the options ask for\n"
                           "(anything not given stays as the source has it), scans without the source's\n"
                           "dialog unless --dialog is given, and writes each page as it arrives to\n"
                           "<output>/<name>-001.png, -002.png, ... (all pages in <output>/<name>.pdf or\n"
                           ".tif with --format pdf or tiff). It prints one line per page and a\n"
                           "summary.\n"
                           "\n"
                           "Transfer mechanisms (--mechanism):\n"
                           "  native   the source hands over each page as a bitmap in memory (default)\n"
                           "  file     the source writes each page to a file itself\n"
                           "  memory   the page comes in strips of rows\n"
                           "  memfile  the source's image file comes in blocks\n"
                           "\n"
                           "Exit status: 0 when every requested page arrived and was written; 1 when\n"
                           "fewer pages arrived or the source failed; 2 bad options; 3 no TWAIN Data\n"
                           "Source Manager; 4 no such source; 5 the bridge did not start or ended\n"
                           "unexpectedly; 6 the source refused a setting; 7 a file could not be written;\n"
                           "8 no batch of pages ended within --timeout; 9 the bridge could not write a\n"
                           "page it received (its folder is full...); 10 no source given and no scanner\n"
                           "found (no source with a device).\n"
                           "Every failure prints one line saying why.\n"
                           "\n"
                           "SIGINT (Ctrl-C), SIGTERM and SIGHUP cancel the scan: the pages written so far\n"
                           "are kept, the bridge ends its batch and quits, no temporary file is left, and\n"
                           "the exit status is 128 + the signal's number (130, 143, 129). A second signal\n"
                           "ends the bridge at once.";

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
    "  PELIRAND_SANE_LIBRARY    The SANE library that source loads (default\n"
    "                           libsane.so.1).\n"
    "  TMPDIR                   Where the bridge writes temporary image files.\n"
    "  PELIRAND_LOG             The bridge's log file, instead of the one below.\n"
    "\n"
    "Files:\n"
    "  ~/Documents/vantora-pelirand.log\n"
    "                           The bridge's log.\n";

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
};

// In the order --help lists them; values are read in this order too.
constexpr OptionRow kOptions[] = {
    {"h", "help", nullptr, "Shows this help and exits.", nullptr, nullptr, Complete::EndsRun, nullptr,
     nullptr, nullptr},
    {"v", "version", nullptr, "Shows the version and exits.", nullptr, nullptr, Complete::EndsRun, nullptr,
     nullptr, nullptr},
    {"l", "list", nullptr, "Lists the sources the DSM knows (* marks the default) and exits.", nullptr,
     nullptr, Complete::Nothing, nullptr, &ScanOptions::bList, nullptr},
    {"A", "options", nullptr,
     "Lists every capability the source offers: its type, current and default value and the values it "
     "allows, and exits.",
     nullptr, nullptr, Complete::Nothing, nullptr, &ScanOptions::bOptions, nullptr},
    {nullptr, "json", nullptr,
     "With --list or --options: one JSON document on standard output, for programs.", nullptr, nullptr,
     Complete::Nothing, nullptr, &ScanOptions::bJson, nullptr},
    {"s", "source", "name", "The source to scan with, by product name as --list shows it.",
     "the first source that has a device (the SANE source with a SANE device), never the simulated "
     "scanner; $PELIRAND_DEFAULT_SOURCE chooses another", nullptr, Complete::Sources, nullptr, nullptr, readSource},
    {nullptr, "device", "name",
     "The SANE device to scan from, by name as --list shows it (e.g. test:0 or net:host:device), through "
     "the source \"pelirand SANE Scanner\".",
     nullptr, nullptr, Complete::Nothing, nullptr, nullptr, readDevice},
    {"m", "mechanism", "mechanism", "Transfer mechanism: native, file, memory or memfile.", "native", nullptr,
     Complete::Words, "native file memory memfile", nullptr, readMechanism},
    {"t", "pixel-type", "type", "Pixel type: bw, gray, rgb or palette.", "the source's", nullptr,
     Complete::Words, "bw gray rgb palette", nullptr, readPixelType},
    {"b", "bit-depth", "bits",
     "Bits per pixel (per sample for gray), such as 1, 8, 16 or 24; set after the pixel type.",
     "the source's", nullptr, Complete::Words, "1 8 16 24 48", nullptr, readBitDepth},
    {"r", "resolution", "dpi", "Resolution in dots per inch, both directions.", "the source's", nullptr,
     Complete::Words, "75 100 150 200 300 600 1200", nullptr, readResolution},
    {"n", "pages", "count",
     "How many pages to scan, or \"all\" for every page the source has (its feeder's sheets).", "all",
     nullptr, Complete::Words, "all 1 2 3 5 10", nullptr, readPages},
    {"d", "dialog", nullptr,
     "Shows the source's own dialog; scanning starts when you start it there. Refused when nobody can see "
     "it (no display, or no window of the source's own on it).",
     nullptr, nullptr, Complete::Nothing, nullptr, &ScanOptions::bDialog, nullptr},
    {"o", "output", "folder", "Folder for the image files; made if missing.", "./scans",
     "- writes the run's one file (a PDF or TIFF document, or a single page with -n 1) to standard output.",
     Complete::Folders, nullptr, nullptr, readOutput},
    {"f", "format", "format",
     "File format: png, bmp, pnm or jpeg (a file per page), or pdf or tiff (every page of the run in one "
     "file).",
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
     "Gives up when no batch of pages has ended after this many seconds (with --dialog: after the dialog "
     "appeared); 0 waits for ever.",
     "600", nullptr, Complete::Nothing, nullptr, nullptr, readTimeout},
    {nullptr, "call-timeout", "seconds",
     "Ends the bridge when one TWAIN call has not answered after this many seconds (a hung driver), and "
     "says which; 0 waits for ever.",
     "120", nullptr, Complete::Nothing, nullptr, nullptr, readCallTimeout},
    {"q", "quiet", nullptr, "Prints nothing but errors.", nullptr, nullptr, Complete::Nothing, nullptr,
     &ScanOptions::bQuiet, nullptr},
    {nullptr, "print-files", nullptr,
     "Prints each file written, one path a line, and nothing else on standard output.", nullptr, nullptr,
     Complete::Nothing, nullptr, &ScanOptions::bPrintFiles, nullptr},
    {nullptr, "verbose", nullptr, "Tells each step and shows the bridge's own messages.", nullptr, nullptr,
     Complete::Nothing, nullptr, &ScanOptions::bVerbose, nullptr},
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
    for (const OptionRow& row : kOptions) {
        if (!row.read || !isSet(row.longName))
            continue;
        const QString sWhy = row.read(parser.value(QLatin1String(row.longName)), o);
        if (!sWhy.isEmpty())
            return usage(sWhy);
    }
    if (!isSet("name"))
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
                "            names=$(\"$1\" --list 2>/dev/null | sed -n 's/^[* ] \\(.*\\)  (.*$/\\1/p')\n"
                "            COMPREPLY=($(compgen -W \"$names\" -- \"$cur\"))\n"
                "            # Names with spaces stay one word.\n"
                "            COMPREPLY=(\"${COMPREPLY[@]// /\\\\ }\")\n");
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
               "    _init_completion -s || return\n"
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
