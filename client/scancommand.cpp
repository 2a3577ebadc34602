#include "client/scancommand.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cmath>
#include <cstring>
#include <memory>

#include "protocol/commandcodes.h"
#include "client/pnmdirect.h"
#include "client/scansignals_p.h"
#include "client/scanprogress.h"
#include "diag/twnames.h"
#include "sources/sane/saneds.h"

#include <pelirand/version.h>

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

// After the first end request the bridge has this long to end its batch
// before it is ended (scansignals_*.cpp); the scan itself waits less.
constexpr int kInterruptWaitMs = 5000;
// The wait for the batch in slices, so that a request is seen between two.
constexpr int kWaitSliceMs = 200;

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
                           "page it received (its folder is full...).\n"
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

} // namespace

ScanCommand::ScanCommand() : m_session(m_bridge)
{
    m_session.setCollectImages(false);
    // Pages are written from the bridge's files where they lie.
    m_session.setMapImages(true);
    connect(&m_session, &TwainSession::si_imageReceived, this, &ScanCommand::on_imageReceived);
    connect(&m_session, &TwainSession::si_imageFailed, this, &ScanCommand::on_imageFailed);
}

ScanCommand::~ScanCommand()
{
    removeSignalHandlers();
}

void ScanCommand::endRequested(int iSignal)
{
    if (m_iSignal != 0) {
        std::fprintf(stderr, "pelirand-scan: received signal %d again, ending at once\n", iSignal);
        return;
    }
    m_iSignal = iSignal;
    if (m_pProgress)
        m_pProgress->stop();
    std::fprintf(stderr, "pelirand-scan: received signal %d (%s), cancelling the scan\n", iSignal,
                 endRequestName(iSignal));
    std::fflush(stderr);
    if (m_session.state() >= 5 && !m_bridge.hasEndedUnexpectedly()) {
        const TwainResult r = m_session.cancel(CancelScope::RestOfBatch);
        if (!r)
            verbose(QStringLiteral("the cancel was not taken: %1").arg(r.message()));
        else
            m_bCancelledIdle = r.hasState() && r.state() == 5;
    }
}

void ScanCommand::removeBridgeLeftovers()
{
    // A bridge that was killed could not remove what it had not reported
    // yet (an image being written) nor its server's socket. Only its own
    // kinds of names, made since it started, are taken.
    const QDir dir(m_bridge.bridgeTempPath());
    const QFileInfoList entries =
        dir.entryInfoList({QStringLiteral("pelirand.*")}, QDir::Files | QDir::System);
    for (const QFileInfo& entry : entries) {
        if (entry.lastModified().toMSecsSinceEpoch() + 1000 >= m_bridgeStartMs && !entry.isSymLink())
            QFile::remove(entry.filePath());
    }
    if (!m_bridge.bridgePrg().isEmpty()) {
        // Its server's socket carries its name, with the organisation and version around it.
        const QFileInfoList sockets = dir.entryInfoList(
            {QLatin1Char('*') + m_bridge.bridgePrg() + QLatin1Char('*')}, QDir::System | QDir::Files);
        for (const QFileInfo& socket : sockets) {
            if (!socket.isSymLink())
                QFile::remove(socket.filePath());
        }
    }
}

int ScanCommand::interrupted()
{
    std::fprintf(stderr, "pelirand-scan: cancelled by signal %d; %d %s written\n", m_iSignal, m_nWritten,
                 m_nWritten == 1 ? "page was" : "pages were");
    return kExitSignalBase + m_iSignal;
}

int ScanCommand::fail(int iExit, const QString& sWhy)
{
    if (m_pProgress)
        m_pProgress->stop();
    std::fprintf(stderr, "pelirand-scan: %s\n", qUtf8Printable(sWhy));
    return iExit;
}

int ScanCommand::failSetting(const QString& sWhat, const TwainResult& result, const QString& sAllowed)
{
    if (result.kind() == TwainResult::BridgeLost)
        return fail(kExitBridge, m_bridge.endReason().isEmpty() ? result.message() : m_bridge.endReason());
    QString sWhy = QStringLiteral("the source refused %1: %2").arg(sWhat, result.returnCodeName());
    if (result.hasConditionCode())
        sWhy += QStringLiteral(", condition %1").arg(result.conditionCodeName());
    if (result.kind() == TwainResult::Refused)
        sWhy = QStringLiteral("%1: %2").arg(sWhat, result.reason());
    if (!sAllowed.isEmpty())
        sWhy += QStringLiteral("; it allows %1").arg(sAllowed);
    return fail(kExitSetting, sWhy);
}

void ScanCommand::verbose(const QString& sLine)
{
    if (m_options.bVerbose)
        std::fprintf(stderr, "pelirand-scan: %s\n", qUtf8Printable(sLine));
}

int ScanCommand::parse(const QStringList& lstArguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kDescription));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help and exits."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Shows the version and exits."));
    const QCommandLineOption list(
        {QStringLiteral("l"), QStringLiteral("list")},
        QStringLiteral("Lists the sources the DSM knows (* marks the default) and exits."));
    const QCommandLineOption source(
        {QStringLiteral("s"), QStringLiteral("source")},
        QStringLiteral("The source to scan with, by product name as --list shows it. Default: the DSM's "
                       "default source."),
        QStringLiteral("name"));
    const QCommandLineOption device(
        QStringLiteral("device"),
        QStringLiteral("The SANE device to scan from, by name as --list shows it (e.g. test:0 or "
                       "net:host:device), through the source \"pelirand SANE Scanner\"."),
        QStringLiteral("name"));
    const QCommandLineOption mechanism({QStringLiteral("m"), QStringLiteral("mechanism")},
                                       QStringLiteral("Transfer mechanism: native, file, memory or memfile. "
                                                      "Default: native."),
                                       QStringLiteral("mechanism"));
    const QCommandLineOption pixelType({QStringLiteral("t"), QStringLiteral("pixel-type")},
                                       QStringLiteral("Pixel type: bw, gray, rgb or palette. Default: the "
                                                      "source's."),
                                       QStringLiteral("type"));
    const QCommandLineOption bitDepth(
        {QStringLiteral("b"), QStringLiteral("bit-depth")},
        QStringLiteral("Bits per pixel (per sample for gray), such as 1, 8, 16 or "
                       "24; set after the pixel type. Default: the source's."),
        QStringLiteral("bits"));
    const QCommandLineOption resolution(
        {QStringLiteral("r"), QStringLiteral("resolution")},
        QStringLiteral("Resolution in dots per inch, both directions. Default: "
                       "the source's."),
        QStringLiteral("dpi"));
    const QCommandLineOption pages(
        {QStringLiteral("n"), QStringLiteral("pages")},
        QStringLiteral("How many pages to scan, or \"all\" for every page the source "
                       "has (its feeder's sheets). Default: all."),
        QStringLiteral("count"));
    const QCommandLineOption dialog(
        {QStringLiteral("d"), QStringLiteral("dialog")},
        QStringLiteral("Shows the source's own dialog; scanning starts when you start it there. Refused "
                       "when nobody can see it (no display, or no window of the source's own on it)."));
    const QCommandLineOption output(
        {QStringLiteral("o"), QStringLiteral("output")},
        QStringLiteral(
            "Folder for the image files; made if missing. Default: ./scans. - writes the run's one "
            "file (a PDF or TIFF document, or a single page with -n 1) to standard output."),
        QStringLiteral("folder"));
    const QCommandLineOption format(
        {QStringLiteral("f"), QStringLiteral("format")},
        QStringLiteral(
            "File format: png, bmp, pnm or jpeg (a file per page), or pdf or tiff (every page of the "
            "run in one file). Default: png."),
        QStringLiteral("format"));
    const QCommandLineOption jpegQuality(
        QStringLiteral("jpeg-quality"),
        QStringLiteral("Quality of JPEG pages and of grey and colour pages in a PDF, 1 to 100, or lossless "
                       "(Flate in a PDF). Default: 85."),
        QStringLiteral("quality"));
    const QCommandLineOption name(
        QStringLiteral("name"),
        QStringLiteral("File names start with this; a number and the format's extension "
                       "follow. Default: scan- and the date and time."),
        QStringLiteral("prefix"));
    const QCommandLineOption dsm(
        QStringLiteral("dsm"),
        QStringLiteral("The DSM file the bridge loads: twaindsm (TWAINDSM.dll, default) "
                       "or twain32 (TWAIN_32.dll)."),
        QStringLiteral("file"));
    const QCommandLineOption bridge(
        QStringLiteral("bridge"),
        QStringLiteral("The pelirand executable. Default: $PELIRAND_BRIDGE, else the "
                       "one beside pelirand-scan, else the one installed with the library."),
        QStringLiteral("path"));
    const QCommandLineOption timeout(
        QStringLiteral("timeout"),
        QStringLiteral("Gives up when no batch of pages has ended after this many "
                       "seconds (with --dialog: after the dialog appeared); 0 waits for ever. Default: 600."),
        QStringLiteral("seconds"));
    const QCommandLineOption callTimeout(
        QStringLiteral("call-timeout"),
        QStringLiteral("Ends the bridge when one TWAIN call has not answered after this many "
                       "seconds (a hung driver), and says which; 0 waits for ever. Default: 120."),
        QStringLiteral("seconds"));
    const QCommandLineOption optionsOption(
        {QStringLiteral("A"), QStringLiteral("options")},
        QStringLiteral(
            "Lists every capability the source offers: its type, current and default value and the "
            "values it allows, and exits."));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("With --list or --options: one JSON document on standard "
                                                 "output, for programs."));
    const QCommandLineOption quiet({QStringLiteral("q"), QStringLiteral("quiet")},
                                   QStringLiteral("Prints nothing but errors."));
    const QCommandLineOption printFiles(
        QStringLiteral("print-files"),
        QStringLiteral("Prints each file written, one path a line, and nothing "
                       "else on standard output."));
    const QCommandLineOption verboseOption(
        QStringLiteral("verbose"), QStringLiteral("Tells each step and shows the bridge's own messages."));
    parser.addOptions({help,   version,   list,        optionsOption, json,       source,
                       device, mechanism, pixelType,   bitDepth,      resolution, pages,
                       dialog, output,    format,      jpegQuality,   name,       dsm,
                       bridge, timeout,   callTimeout, quiet,         printFiles, verboseOption});

    if (!parser.parse(lstArguments)) {
        std::fprintf(stderr, "pelirand-scan: %s (see --help)\n", qUtf8Printable(parser.errorText()));
        return kExitUsage;
    }
    if (parser.isSet(help)) {
        std::fputs(qUtf8Printable(parser.helpText()), stdout);
        std::fputs(kEnvironment, stdout);
        return kExitOk;
    }
    if (parser.isSet(version)) {
        std::printf("pelirand-scan %s\n", PELIRAND_VERSION_STRING);
        return kExitOk;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "pelirand-scan: unexpected argument %s (see --help)\n",
                     qUtf8Printable(parser.positionalArguments().first()));
        return kExitUsage;
    }
    auto usage = [](const QString& sWhy) {
        std::fprintf(stderr, "pelirand-scan: %s (see --help)\n", qUtf8Printable(sWhy));
        return int(kExitUsage);
    };

    ScanOptions& o = m_options;
    o.bList = parser.isSet(list);
    o.bOptions = parser.isSet(optionsOption);
    o.bJson = parser.isSet(json);
    o.bQuiet = parser.isSet(quiet);
    o.bPrintFiles = parser.isSet(printFiles);
    if (o.bList && o.bOptions)
        return usage(QStringLiteral("--list and --options do not go together"));
    if (o.bJson && !o.bList && !o.bOptions)
        return usage(QStringLiteral("--json goes with --list or --options"));
    o.sSource = parser.value(source);
    o.sDevice = parser.value(device);
    if (parser.isSet(device)) {
        if (o.sDevice.isEmpty())
            return usage(QStringLiteral("an empty device name"));
        // SANE devices are reached through the SANE source.
        if (o.sSource.isEmpty())
            o.sSource = QString::fromLatin1(sanesource::kProductName);
        else if (o.sSource != QLatin1String(sanesource::kProductName))
            return usage(QStringLiteral("--device needs the source \"%1\"")
                             .arg(QLatin1String(sanesource::kProductName)));
    }
    o.bDialog = parser.isSet(dialog);
    o.bVerbose = parser.isSet(verboseOption);
    o.sBridge = parser.value(bridge);
    if (parser.isSet(mechanism)) {
        const int iMech = lookUp(kMechanisms, parser.value(mechanism));
        if (iMech < 0)
            return usage(QStringLiteral("unknown mechanism %1: use native, file, memory or memfile")
                             .arg(parser.value(mechanism)));
        o.mechanism = quint16(iMech);
    }
    if (parser.isSet(pixelType)) {
        o.iPixelType = lookUp(kPixelTypes, parser.value(pixelType));
        if (o.iPixelType < 0)
            return usage(QStringLiteral("unknown pixel type %1: use bw, gray, rgb or palette")
                             .arg(parser.value(pixelType)));
    }
    bool bOk = true;
    if (parser.isSet(bitDepth)) {
        o.iBitDepth = parser.value(bitDepth).toInt(&bOk);
        if (!bOk || o.iBitDepth <= 0 || o.iBitDepth > 64)
            return usage(QStringLiteral("bad bit depth %1: a whole number of bits, such as 1, 8, 16 or 24")
                             .arg(parser.value(bitDepth)));
    }
    if (parser.isSet(resolution)) {
        o.resolution = parser.value(resolution).toDouble(&bOk);
        if (!bOk || !std::isfinite(o.resolution) || o.resolution <= 0 || o.resolution > 30000)
            return usage(QStringLiteral("bad resolution %1: dots per inch, a number above 0 such as 300")
                             .arg(parser.value(resolution)));
    }
    if (parser.isSet(pages) && parser.value(pages).compare(QLatin1String("all"), Qt::CaseInsensitive) != 0) {
        o.iPages = parser.value(pages).toInt(&bOk);
        if (!bOk || o.iPages <= 0 || o.iPages > 32767)
            return usage(QStringLiteral("bad page count %1: a number from 1 to 32767, or all")
                             .arg(parser.value(pages)));
    }
    if (parser.isSet(output)) {
        o.sOutputDir = parser.value(output);
        if (o.sOutputDir.isEmpty())
            return usage(QStringLiteral("the output folder is empty; name a folder, such as -o ."));
        o.bToStdout = o.sOutputDir == QLatin1String("-");
    }
    if (parser.isSet(format)) {
        o.sFormat = parser.value(format).toLower();
        if (o.sFormat == QLatin1String("jpg"))
            o.sFormat = QStringLiteral("jpeg");
        else if (o.sFormat == QLatin1String("tif"))
            o.sFormat = QStringLiteral("tiff");
        if (!pageFormatNames().contains(o.sFormat))
            return usage(QStringLiteral("unknown format %1: use %2")
                             .arg(parser.value(format), pageFormatNames().join(QStringLiteral(", "))));
    }
    if (parser.isSet(jpegQuality)) {
        const QString sQuality = parser.value(jpegQuality).toLower();
        o.iJpegQuality = sQuality == QLatin1String("lossless") ? 0 : sQuality.toInt(&bOk);
        if (sQuality != QLatin1String("lossless") && (!bOk || o.iJpegQuality < 1 || o.iJpegQuality > 100))
            return usage(
                QStringLiteral("bad JPEG quality %1: 1 to 100, or lossless").arg(parser.value(jpegQuality)));
    }
    if (o.iBitDepth == 16 && (o.iPixelType < 0 || o.iPixelType == TWPT_GRAY)) {
        // 16-bit grey: only the buffered and file mechanisms keep the 16 bits,
        // and BMP and JPEG cannot hold them. (Other pixel types are the source's to refuse.)
        if (o.mechanism == TWSX_NATIVE)
            return usage(QStringLiteral("native transfers reduce 16-bit grey to 8 bits: use -m memory, "
                                        "memfile or file for 16 bits"));
        if (o.sFormat == QLatin1String("bmp") || o.sFormat == QLatin1String("jpeg"))
            return usage(QStringLiteral("a %1 file cannot hold 16-bit grey: use -f png, tiff, pnm or pdf")
                             .arg(o.sFormat.toUpper()));
        o.iPixelType = TWPT_GRAY;
    }
    o.sName = parser.isSet(name)
                  ? parser.value(name)
                  : QStringLiteral("scan-") +
                        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    if (o.sName.isEmpty() || o.sName.contains(QLatin1Char('/')) || o.sName == QLatin1String(".") ||
        o.sName == QLatin1String(".."))
        return usage(QStringLiteral("bad name \"%1\": give a file name prefix without /").arg(o.sName));
    if (parser.isSet(dsm)) {
        const QString sDsm = parser.value(dsm).toLower();
        if (sDsm == QLatin1String("twain32"))
            o.dsm = DsmFile::Twain32;
        else if (sDsm != QLatin1String("twaindsm"))
            return usage(QStringLiteral("unknown DSM %1: use twaindsm or twain32").arg(parser.value(dsm)));
    }
    if (o.bToStdout && !o.bList && !o.bOptions) {
        // One file, and nothing else, goes to standard output (-o ./- names a folder called -).
        if (o.bPrintFiles)
            return usage(QStringLiteral("-o - writes the file itself to standard output: leave out "
                                        "--print-files, or name a folder"));
        if (!isMultiPageFormat(o.sFormat) && o.iPages != 1)
            return usage(QStringLiteral("-o - writes one file: give -n 1 for a single %1 page, or -f pdf or "
                                        "tiff for several pages (-o ./- names a folder called -)")
                             .arg(o.sFormat.toUpper()));
        if (isTerminal(stdout))
            return usage(QStringLiteral("-o - writes the image to standard output, which is a terminal: "
                                        "redirect it (-o - > scan.%1) or name a folder")
                             .arg(o.sFormat == QLatin1String("jpeg") ? QStringLiteral("jpg") : o.sFormat));
    }
    if (parser.isSet(timeout)) {
        o.iTimeoutSeconds = parser.value(timeout).toInt(&bOk);
        if (!bOk || o.iTimeoutSeconds < 0 || o.iTimeoutSeconds > 24 * 3600)
            return usage(QStringLiteral("bad timeout %1: seconds from 0 (no limit) to 86400")
                             .arg(parser.value(timeout)));
    }
    if (parser.isSet(callTimeout)) {
        o.iCallTimeoutSeconds = parser.value(callTimeout).toInt(&bOk);
        if (!bOk || o.iCallTimeoutSeconds < 0 || o.iCallTimeoutSeconds > 24 * 3600)
            return usage(QStringLiteral("bad call timeout %1").arg(parser.value(callTimeout)));
    }
    return -1;
}

int ScanCommand::run(const QStringList& lstArguments)
{
    const int iParsed = parse(lstArguments);
    if (iParsed >= 0)
        return iParsed;

    // People's lines: on standard output, or standard error when that lists the files; none when quiet.
    m_pOut = m_options.bQuiet ? nullptr : m_options.bPrintFiles || m_options.bToStdout ? stderr : stdout;
    if (m_options.bToStdout && !m_options.bList && !m_options.bOptions) {
        m_pStdoutDir.reset(new QTemporaryDir(QDir::tempPath() + QStringLiteral("/pelirand-scan-XXXXXX")));
        if (!m_pStdoutDir->isValid())
            return fail(kExitOutput, QStringLiteral("cannot make a temporary folder for the file: %1")
                                         .arg(m_pStdoutDir->errorString()));
        m_options.sOutputDir = m_pStdoutDir->path();
    }
    installSignalHandlers();
    if (!m_options.sBridge.isEmpty())
        m_bridge.setProgram(m_options.sBridge);
    if (!m_options.sDevice.isEmpty()) {
        // The SANE source opens the device named here when it is opened.
        QProcessEnvironment env = m_bridge.processEnvironment();
        env.insert(QLatin1String(sanesource::kDeviceVariable), m_options.sDevice);
        m_bridge.setProcessEnvironment(env);
    }
    m_bridge.setForwardStandardError(m_options.bVerbose);
    m_bridge.setCallTimeout(m_options.iCallTimeoutSeconds * 1000);
    verbose(QStringLiteral("starting %1").arg(m_bridge.program()));
    m_bridgeStartMs = QDateTime::currentMSecsSinceEpoch();
    const bool bStarted = m_bridge.start();
    watchBridgeForEndRequests(m_bridge.processId());
    if (!bStarted) {
        m_bridge.stop();
        watchBridgeForEndRequests(0);
        if (m_iSignal)
            return interrupted();
        return fail(kExitBridge,
                    QStringLiteral("the bridge could not be started: %1").arg(m_bridge.lastError()));
    }
    verbose(QStringLiteral("the bridge said hello as %1").arg(m_bridge.bridgePrg()));

    const TwainResult opened = m_session.openDsm(m_options.dsm);
    int iExit = kExitOk;
    if (!opened) {
        if (opened.kind() == TwainResult::BridgeLost)
            iExit = fail(kExitBridge, m_bridge.endReason());
        else if (opened.operation().startsWith(QLatin1String("loading")))
            iExit = fail(kExitNoDsm,
                         QStringLiteral("no TWAIN Data Source Manager: the bridge could not load %1 "
                                        "(it looks beside itself first)")
                             .arg(m_options.dsm == DsmFile::Twain32 ? QStringLiteral("TWAIN_32.dll")
                                                                    : QStringLiteral("TWAINDSM.dll")));
        else
            iExit =
                fail(kExitNoDsm,
                     QStringLiteral("the TWAIN Data Source Manager did not open: %1").arg(opened.message()));
    } else if (!m_iSignal) {
        iExit = m_options.bList ? list() : m_options.bOptions ? options() : scan();
    }

    // Leaving: whatever is open is closed; the bridge unloads the DSM as it quits.
    if (!m_bridge.hasEndedUnexpectedly())
        m_session.close();
    m_bridge.stop();
    const bool bKilled = m_bridge.hasEndedUnexpectedly();
    watchBridgeForEndRequests(0);
    if (bKilled)
        removeBridgeLeftovers();
    if (m_pStdoutDir) {
        // What was written, also by a cancelled run, goes out; the folder goes with this object.
        const int iCopied = copyToStdout();
        if (iExit == kExitOk)
            iExit = iCopied;
        m_pStdoutDir.reset();
    }
    if (m_iSignal)
        return interrupted();
    return iExit;
}

int ScanCommand::copyToStdout()
{
    QStringList lstFiles;
    for (const QString& sPath : qAsConst(m_lstOutputs)) {
        if (QFileInfo::exists(sPath) && !lstFiles.contains(sPath))
            lstFiles.append(sPath);
    }
    if (lstFiles.size() != 1)
        return kExitOk; // nothing was written (the reason is told already)
    QFile file(lstFiles.first());
    if (!file.open(QIODevice::ReadOnly))
        return fail(kExitOutput,
                    QStringLiteral("cannot read %1 back: %2").arg(file.fileName(), file.errorString()));
    const QString sError = copyFileToStdout(file);
    if (!sError.isEmpty())
        return fail(kExitOutput, QStringLiteral("cannot write to standard output: %1").arg(sError));
    return kExitOk;
}

QString ScanCommand::shownPath(const QString& sPath) const
{
    return m_options.bToStdout ? QStringLiteral("standard output") : QDir::toNativeSeparators(sPath);
}

int ScanCommand::list()
{
    QList<SourceIdentity> lstSources;
    const TwainResult listed = m_session.listSources(lstSources);
    if (!listed) {
        if (listed.kind() == TwainResult::BridgeLost)
            return fail(kExitBridge, m_bridge.endReason());
        return fail(kExitNoSource, QStringLiteral("the sources cannot be listed: %1").arg(listed.message()));
    }
    SourceIdentity def;
    if (!lstSources.isEmpty())
        m_session.defaultSource(def);
    if (m_options.bJson) {
        QJsonArray sources;
        for (const SourceIdentity& source : qAsConst(lstSources)) {
            QJsonObject entry{
                {QStringLiteral("productName"), source.productName},
                {QStringLiteral("manufacturer"), source.manufacturer},
                {QStringLiteral("productFamily"), source.productFamily},
                {QStringLiteral("version"), source.versionInfo},
                {QStringLiteral("protocol"),
                 QStringLiteral("%1.%2").arg(source.protocolMajor).arg(source.protocolMinor)},
                {QStringLiteral("default"), def.isValid() && def.id == source.id},
            };
            if (source.productName == QLatin1String(sanesource::kProductName)) {
                // The devices behind the SANE source, as --device takes them; why there are none otherwise.
                QString sWhy;
                QJsonArray devices;
                for (const SaneDevice& device : saneDevices(source.productName, sWhy)) {
                    devices.append(QJsonObject{{QStringLiteral("name"), device.sName},
                                               {QStringLiteral("vendor"), device.sVendor},
                                               {QStringLiteral("model"), device.sModel},
                                               {QStringLiteral("type"), device.sType},
                                               {QStringLiteral("current"), device.bCurrent}});
                }
                entry.insert(QStringLiteral("devices"), devices);
                if (devices.isEmpty())
                    entry.insert(QStringLiteral("noDevice"), sWhy);
            }
            sources.append(entry);
        }
        std::fputs(QJsonDocument(QJsonObject{{QStringLiteral("sources"), sources}}).toJson().constData(),
                   stdout);
        std::fflush(stdout);
    }
    if (lstSources.isEmpty())
        return fail(kExitNoSource, QStringLiteral("no TWAIN source found (the DSM lists none)"));
    if (m_options.bJson)
        return kExitOk;
    for (const SourceIdentity& source : qAsConst(lstSources)) {
        const bool bDefault = def.isValid() && def.id == source.id;
        std::printf("%s %s  (%s, %s, version %s)\n", bDefault ? "*" : " ", qUtf8Printable(source.productName),
                    qUtf8Printable(source.manufacturer), qUtf8Printable(source.productFamily),
                    qUtf8Printable(source.versionInfo));
        if (source.productName != QLatin1String(sanesource::kProductName))
            continue;
        // Its devices follow it, indented.
        std::fflush(stdout);
        QString sWhy;
        const QList<SaneDevice> lstDevices = saneDevices(source.productName, sWhy);
        if (lstDevices.isEmpty())
            std::printf("      (no SANE device: %s)\n", qUtf8Printable(sWhy));
        for (const SaneDevice& device : lstDevices) {
            QString sWhat = QStringLiteral("%1 %2").arg(device.sVendor, device.sModel).trimmed();
            if (!device.sType.isEmpty())
                sWhat += QStringLiteral(", %1").arg(device.sType);
            std::printf("    %s --device %s%s\n", device.bCurrent ? "*" : " ", qUtf8Printable(device.sName),
                        sWhat.isEmpty() ? "" : qUtf8Printable(QStringLiteral("  (%1)").arg(sWhat)));
        }
        std::fflush(stdout);
    }
    return kExitOk;
}

QList<ScanCommand::SaneDevice> ScanCommand::saneDevices(const QString& sProductName, QString& sWhy)
{
    // The SANE source is opened to ask SANE for its devices.
    QList<SaneDevice> lstDevices;
    const TwainResult opened = m_session.openSource(sProductName);
    if (!opened) {
        sWhy = opened.message();
        if (opened.conditionCode() == TWCC_OPERATIONERROR)
            sWhy = QStringLiteral("SANE cannot be used here (is libsane1 installed?)");
        else if (opened.conditionCode() == TWCC_CHECKDEVICEONLINE)
            sWhy = m_options.sDevice.isEmpty()
                       ? QStringLiteral("SANE finds no device")
                       : QStringLiteral("the device %1 cannot be opened").arg(m_options.sDevice);
        return lstDevices;
    }
    for (quint16 i = 0; i < 1000; ++i) {
        sanesource::SANE_TW_DEVICE device{};
        device.Index = i;
        QByteArray block(reinterpret_cast<const char*>(&device), int(sizeof device));
        if (!m_session.call(DG_CONTROL, sanesource::SANEDAT_DEVICE, MSG_GET, block) ||
            block.size() < int(sizeof device))
            break;
        std::memcpy(&device, block.constData(), sizeof device);
        if (device.Count == 0)
            break;
        device.Name[sizeof device.Name - 1] = device.Vendor[sizeof device.Vendor - 1] = '\0';
        device.Model[sizeof device.Model - 1] = device.Type[sizeof device.Type - 1] = '\0';
        SaneDevice entry;
        entry.sName = QString::fromUtf8(device.Name);
        entry.sVendor = QString::fromUtf8(device.Vendor);
        entry.sModel = QString::fromUtf8(device.Model);
        entry.sType = QString::fromUtf8(device.Type);
        entry.bCurrent = device.Index == device.Current;
        lstDevices.append(entry);
        if (i + 1 >= device.Count)
            break;
    }
    m_session.closeSource();
    if (lstDevices.isEmpty())
        sWhy = QStringLiteral("SANE finds no device");
    return lstDevices;
}

QString ScanCommand::dialogUnseen()
{
    int iView = -1;
    const bool bFront = bool(m_bridge.showLastGui(&iView));
    switch (iView) {
    case dialogOnDisplay:
        return QString();
    case dialogNoDisplay:
        return QStringLiteral("the bridge has no display (DISPLAY and WAYLAND_DISPLAY are unset, or "
                              "QT_QPA_PLATFORM names offscreen or minimal)");
    case dialogNotDrawn:
        return bFront ? QStringLiteral("no display shows the source's window (it draws no window of its own)")
                      : QStringLiteral("no window of it appeared");
    default:
        // A bridge that does not tell: a dialog it can bring to the front is taken as seen.
        return bFront ? QString() : QStringLiteral("no window of it appeared");
    }
}

int ScanCommand::applySettings()
{
    const ScanOptions& o = m_options;
    TwainResult r = m_session.setCapability(ICAP_XFERMECH, TWTY_UINT16, o.mechanism);
    if (!r)
        return failSetting(QStringLiteral("the transfer mechanism %1").arg(nameOf(kMechanisms, o.mechanism)),
                           r);
    bool bDepthDone = false;
    if (o.iPixelType >= 0) {
        // With its bit depth: a source may keep the depth of the type it had.
        r = m_session.setPixelType(quint16(o.iPixelType), o.iBitDepth);
        const bool bDepthRefused = !r && r.operation().contains(QLatin1String("ICAP_BITDEPTH"));
        if (bDepthRefused && o.iBitDepth <= 0)
            return failSetting(QStringLiteral("the usual bit depth of the pixel type %1")
                                   .arg(nameOf(kPixelTypes, o.iPixelType)),
                               r);
        if (bDepthRefused) {
            // Said below, with the depths the source allows.
        } else if (!r)
            return failSetting(QStringLiteral("the pixel type %1").arg(nameOf(kPixelTypes, o.iPixelType)), r,
                               allowedValues(ICAP_PIXELTYPE));
        else
            bDepthDone = true;
    }
    if (o.iBitDepth > 0 && !bDepthDone) {
        r = m_session.setCapability(ICAP_BITDEPTH, TWTY_UINT16, o.iBitDepth);
        if (!r) {
            // Bit depths belong to the pixel type in force: say which one that is.
            QString sAllowed = allowedValues(ICAP_BITDEPTH);
            double pixelType = -1;
            if (m_session.capability(ICAP_PIXELTYPE, TWTY_UINT16, pixelType)) {
                const QString sType = nameOf(kPixelTypes, int(pixelType));
                sAllowed =
                    QStringLiteral("%1 with the pixel type %2%3")
                        .arg(sAllowed.isEmpty() ? QStringLiteral("other bit depths") : sAllowed, sType,
                             o.iPixelType < 0 ? QStringLiteral(" (the source's default; choose another "
                                                               "with -t)")
                                              : QString());
            }
            return failSetting(QStringLiteral("the bit depth %1").arg(o.iBitDepth), r, sAllowed);
        }
    }
    if (o.resolution > 0) {
        r = m_session.setCapability(ICAP_UNITS, TWTY_UINT16, TWUN_INCHES);
        if (!r)
            return failSetting(QStringLiteral("inches as units"), r);
        for (quint16 cap : {quint16(ICAP_XRESOLUTION), quint16(ICAP_YRESOLUTION)}) {
            // A value between the source's steps is refused here rather than rounded by the source unseen.
            Capability allowed;
            if (m_session.getCapability(cap, allowed, MSG_GET) && !allowed.allows(o.resolution))
                return fail(kExitSetting,
                            QStringLiteral("the source does not offer the resolution %1 dpi; it "
                                           "allows %2")
                                .arg(o.resolution)
                                .arg(allowedValues(cap)));
            r = m_session.setCapability(cap, TWTY_FIX32, o.resolution);
            if (!r)
                return failSetting(QStringLiteral("the resolution %1 dpi").arg(o.resolution), r,
                                   allowedValues(cap));
            double actual = 0;
            if (m_session.capability(cap, TWTY_FIX32, actual) && std::fabs(actual - o.resolution) > 1e-3)
                return fail(kExitSetting,
                            QStringLiteral("the source set %1 dpi instead of %2 dpi; it allows %3")
                                .arg(actual)
                                .arg(o.resolution)
                                .arg(allowedValues(cap)));
        }
    }
    r = m_session.setCapability(CAP_XFERCOUNT, TWTY_INT16, o.iPages);
    if (!r)
        return failSetting(o.iPages < 0 ? QStringLiteral("all pages")
                                        : QStringLiteral("a page count of %1").arg(o.iPages),
                           r);
    if (o.mechanism == TWSX_FILE) {
        // The source writes into a folder of ours; each page is then written as asked.
        // 16-bit grey needs TIFF: a 16-bit BMP would be read as 5-5-5 RGB.
        const bool bTiff = o.iBitDepth == 16 && o.iPixelType == TWPT_GRAY;
        r = m_session.setFileTransfer(m_sSourceFiles +
                                          (bTiff ? QStringLiteral("/page.tif") : QStringLiteral("/page.bmp")),
                                      bTiff ? TWFF_TIFF : TWFF_BMP);
        if (!r)
            return failSetting(bTiff ? QStringLiteral("TIFF files for the file transfer")
                                     : QStringLiteral("BMP files for the file transfer"),
                               r);
    }
    return -1;
}

QString ScanCommand::nextOutputName()
{
    const QDir dir(m_sOutputDir);
    for (;;) {
        ++m_nNamed;
        // The prefix as given: a dash goes in only when it does not end with a separator of its own.
        const QString& sPrefix = m_options.sName;
        const bool bSeparated = sPrefix.endsWith(QLatin1Char('-')) || sPrefix.endsWith(QLatin1Char('_')) ||
                                sPrefix.endsWith(QLatin1Char('.')) || sPrefix.endsWith(QLatin1Char(' '));
        const QString sBase = QStringLiteral("%1%2%3")
                                  .arg(sPrefix, bSeparated ? QString() : QStringLiteral("-"))
                                  .arg(m_nNamed, 3, 10, QLatin1Char('0'));
        const QString sExtension = pageFormatExtension(m_options.sFormat);
        QString sName = dir.filePath(sBase + QLatin1Char('.') + sExtension);
        // Never overwrite a page of an earlier scan.
        for (int n = 2; QFileInfo::exists(sName); ++n)
            sName = dir.filePath(QStringLiteral("%1-%2.%3").arg(sBase).arg(n).arg(sExtension));
        return sName;
    }
}

void ScanCommand::on_imageFailed(int iPage, QString sWhy)
{
    // Only a page the bridge could not write is the bridge's failure; a page the
    // source left unfinished is reported with the source's own failure below.
    const bool bBridgeWrite = sWhy.startsWith(QLatin1String("cannot write"));
    QString& sError = bBridgeWrite ? m_sBridgeError : m_sPageLost;
    if (sError.isEmpty())
        sError = QStringLiteral("page %1 was scanned but the bridge could not hand it over: %2")
                     .arg(iPage)
                     .arg(sWhy);
    if (m_pProgress)
        m_pProgress->note(QStringLiteral("page %1: not delivered: %2").arg(iPage).arg(sWhy));
}

QString ScanCommand::documentName() const
{
    const QDir dir(m_sOutputDir);
    const QString sExtension = pageFormatExtension(m_options.sFormat);
    QString sName = dir.filePath(m_options.sName + QLatin1Char('.') + sExtension);
    for (int n = 2; QFileInfo::exists(sName); ++n)
        sName = dir.filePath(QStringLiteral("%1-%2.%3").arg(m_options.sName).arg(n).arg(sExtension));
    return sName;
}

bool ScanCommand::finishDocument()
{
    if (!m_pDocument)
        return true;
    QString sError;
    const bool bOk = m_pDocument->finish(&sError);
    m_pDocument.reset();
    if (!bOk) {
        if (m_sWriteError.isEmpty())
            m_sWriteError = sError;
        return false;
    }
    m_nWrittenBytes = QFileInfo(m_sDocument).size();
    m_lstOutputs.append(m_sDocument);
    if (m_options.bPrintFiles) {
        std::printf("%s\n", qUtf8Printable(m_sDocument));
        std::fflush(stdout);
    }
    return true;
}

namespace {

// A delivered page as an image: TIFF files through libtiff (16 bits kept), the rest through Qt.
QImage decodePage(const Image& image, QString* pError)
{
    if (image.fileFormat() == QLatin1String("tif"))
        return readTiffPages(image.bytes(), pError).value(0);
    return image.toQImage(pError);
}

} // namespace

void ScanCommand::on_imageReceived(const Image& image)
{
    ++m_nReceived;
    m_nReceivedBytes += image.byteCount();
    // After the first failed write the folder is taken as full: later pages
    // are counted as received, not tried again.
    if (!m_sWriteError.isEmpty()) {
        ++m_nNotWritten;
        if (!image.bTemporary && !m_sSourceFiles.isEmpty() &&
            image.sFileName.startsWith(m_sSourceFiles + QLatin1Char('/')))
            QFile::remove(image.sFileName);
        return;
    }
    const bool bDocument = isMultiPageFormat(m_options.sFormat);
    const bool bAsItCame =
        m_options.sFormat == QLatin1String("png") || m_options.sFormat == QLatin1String("bmp");
    QString sOut = bDocument ? m_sDocument : nextOutputName();
    QString sError;
    QSize size;
    if (!image.isValid()) {
        sError = image.sError;
    } else if (bAsItCame) {
        if (!writeImageFile(image, sOut, m_options.sFormat, &sError, &size))
            sError = sError.isEmpty() ? QStringLiteral("cannot write %1").arg(sOut) : sError;
    } else if (m_options.sFormat == QLatin1String("pnm") && canWritePnmDirectly(image)) {
        // Rows straight from the delivered bitmap: no decoded copy of the page.
        if (!writePnmDirectly(image, sOut, &sError, &size))
            sError = sError.isEmpty() ? QStringLiteral("cannot write %1").arg(sOut) : sError;
    } else {
        // A TIFF document takes grey and colour rows straight from the delivered bitmap.
        PageRows rows;
        const bool bRows = m_options.sFormat == QLatin1String("tiff") && pageRowsOf(image, rows);
        const QImage page = bRows ? QImage() : decodePage(image, &sError);
        size = bRows ? QSize(rows.iWidth, rows.iHeight) : page.size();
        if (!bRows && page.isNull()) {
            if (sError.isEmpty())
                sError = QStringLiteral("the page cannot be decoded");
        } else if (bDocument) {
            if (!m_pDocument && m_sWriteError.isEmpty()) {
                m_sDocument = documentName();
                m_pDocument = MultiPageWriter::create(m_options.sFormat, m_options.iJpegQuality);
                if (!m_pDocument->open(m_sDocument, &sError))
                    m_pDocument.reset();
            }
            sOut = m_sDocument;
            if (m_pDocument &&
                !(bRows ? m_pDocument->addRows(rows, &sError) : m_pDocument->addPage(page, &sError)))
                m_pDocument.reset();
            else if (!m_pDocument && sError.isEmpty())
                sError = QStringLiteral("%1 could not be written").arg(m_sDocument);
        } else if (!writePageFile(page, sOut, m_options.sFormat, m_options.iJpegQuality, &sError)) {
            sError = sError.isEmpty() ? QStringLiteral("cannot write %1").arg(sOut) : sError;
        }
    }
    // A file transfer's page is the source's file in our folder: written out, it is not needed any more.
    // A name the source made climb out of that folder is left alone.
    if (!image.bTemporary && !m_sSourceFiles.isEmpty() && QFileInfo::exists(image.sFileName)) {
        if (fileIsInFolder(image.sFileName, m_sSourceFiles))
            QFile::remove(image.sFileName);
        else if (m_pProgress)
            m_pProgress->note(
                QStringLiteral("page %1: %2 is outside the folder for the source's files: left alone")
                    .arg(image.iIndex)
                    .arg(QDir::toNativeSeparators(image.sFileName)));
    }

    if (!sError.isEmpty()) {
        ++m_nNotWritten;
        if (m_sWriteError.isEmpty())
            m_sWriteError = QStringLiteral("page %1: %2").arg(image.iIndex).arg(sError);
        if (m_pProgress)
            m_pProgress->note(QStringLiteral("page %1: not written: %2").arg(image.iIndex).arg(sError));
        return;
    }
    ++m_nWritten;
    if (bDocument) {
        if (m_pProgress)
            m_pProgress->page(image.byteCount(), QStringLiteral("page %1: into %2  %3 x %4")
                                                     .arg(image.iIndex)
                                                     .arg(shownPath(sOut))
                                                     .arg(size.width())
                                                     .arg(size.height()));
        return;
    }
    if (m_options.bPrintFiles) {
        std::printf("%s\n", qUtf8Printable(sOut));
        std::fflush(stdout);
    }
    const qint64 nSize = QFileInfo(sOut).size();
    m_nWrittenBytes += nSize;
    m_lstOutputs.append(sOut);
    if (m_pProgress)
        m_pProgress->page(
            image.byteCount(),
            QStringLiteral("page %1: %2  %3 x %4, %5")
                .arg(image.iIndex)
                .arg(m_options.bToStdout ? QStringLiteral("to standard output") : shownPath(sOut))
                .arg(size.width())
                .arg(size.height())
                .arg(formatBytes(nSize)));
}

QString ScanCommand::pagesKept() const
{
    return m_nWritten == 1 ? QStringLiteral("1 page kept") : QStringLiteral("%1 pages kept").arg(m_nWritten);
}

int ScanCommand::failBridge()
{
    return fail(kExitBridge, QStringLiteral("%1; %2").arg(m_bridge.endReason(), pagesKept()));
}

void ScanCommand::reportQuirks(const BatchResult& batch)
{
    // One line each, in words a user understands, for what the scanner did wrong.
    QStringList lstLines = batch.sourceFaults;
    double actual = 0;
    if (m_session.readBack(ICAP_XFERMECH, actual) && quint16(actual) != m_options.mechanism)
        lstLines.append(QStringLiteral("the scanner accepted %1 transfers but used %2 transfers")
                            .arg(nameOf(kMechanisms, m_options.mechanism), nameOf(kMechanisms, int(actual))));
    if (m_options.iPages > 0 && batch.nImages > m_options.iPages)
        lstLines.append(QStringLiteral("the scanner ignored the page count of %1 and sent %2 pages")
                            .arg(m_options.iPages)
                            .arg(batch.nImages));
    if (!m_pOut)
        return;
    for (const QString& sLine : qAsConst(lstLines))
        std::fprintf(m_pOut, "%s; %s\n", qUtf8Printable(sLine), qUtf8Printable(pagesKept()));
    std::fflush(m_pOut);
}

void ScanCommand::printSummary(const ScanProgress& progress)
{
    const double seconds = progress.seconds();
    const double perMinute = seconds > 0 ? m_nReceived * 60.0 / seconds : 0;
    if (m_nReceived > 0 && m_pOut) {
        // Pages written are named apart when not every page received was.
        const QString sWritten =
            m_nWritten == m_nReceived
                ? formatBytes(m_nWrittenBytes)
                : QStringLiteral("%1 %2, %3")
                      .arg(m_nWritten)
                      .arg(m_nWritten == 1 ? QStringLiteral("page") : QStringLiteral("pages"))
                      .arg(formatBytes(m_nWrittenBytes));
        std::fprintf(m_pOut, "%d %s, %s received, %s written, %.*f s, %.0f pages per minute\n", m_nReceived,
                     m_nReceived == 1 ? "page" : "pages", qUtf8Printable(formatBytes(m_nReceivedBytes)),
                     qUtf8Printable(sWritten), seconds < 10 ? 2 : 1, seconds, perMinute);
        if (m_options.bToStdout)
            std::fprintf(m_pOut, "The file goes to standard output\n");
        else
            std::fprintf(m_pOut, "The pages are in %s\n",
                         qUtf8Printable(QDir::toNativeSeparators(m_sOutputDir)));
        std::fflush(m_pOut);
    }
}

TwainResult ScanCommand::waitForScan(BatchResult& batch, bool& bTimedOut)
{
    const qint64 nTimeoutMs = qint64(m_options.iTimeoutSeconds) * 1000;
    QElapsedTimer waited;
    waited.start();
    qint64 nInterruptedAt = -1;
    for (;;) {
        const TwainResult r = m_session.waitForBatch(batch, kWaitSliceMs);
        if (r || r.kind() == TwainResult::BridgeLost || m_session.state() < 5)
            return r;
        if (m_iSignal) {
            if (m_bCancelledIdle)
                return r;
            if (nInterruptedAt < 0)
                nInterruptedAt = waited.elapsed();
            // The source never started its batch (a dialog nobody answers): the scan ends without it.
            if (waited.elapsed() - nInterruptedAt >= kInterruptWaitMs)
                return r;
        } else if (nTimeoutMs > 0 && waited.elapsed() >= nTimeoutMs) {
            bTimedOut = true;
            return r;
        }
    }
}

int ScanCommand::openSource()
{
    const ScanOptions& o = m_options;
    const TwainResult r = m_session.openSource(o.sSource);
    if (!r) {
        if (r.kind() == TwainResult::BridgeLost)
            return fail(kExitBridge, m_bridge.endReason());
        if (!o.sSource.isEmpty() && r.conditionCode() == TWCC_NODS)
            return fail(kExitNoSource, r.reason().isEmpty()
                                           ? QStringLiteral("no source is named \"%1\"").arg(o.sSource)
                                           : r.reason());
        if (!o.sDevice.isEmpty() && r.conditionCode() == TWCC_CHECKDEVICEONLINE)
            return fail(kExitNoSource, QStringLiteral("the SANE device %1 cannot be opened").arg(o.sDevice));
        if (!o.sDevice.isEmpty() && r.conditionCode() == TWCC_OPERATIONERROR)
            return fail(kExitNoSource, QStringLiteral("SANE cannot be used here (is libsane1 installed?)"));
        if (o.sSource.isEmpty() && r.conditionCode() == TWCC_NODS)
            return fail(kExitNoSource,
                        QStringLiteral("no TWAIN source found (the DSM has no default source)"));
        return fail(kExitNoSource, QStringLiteral("the source did not open: %1").arg(r.message()));
    }
    verbose(QStringLiteral("opened %1").arg(m_session.source().productName));
    return -1;
}

namespace {

QJsonValue jsonValue(const QVariant& value)
{
    if (value.type() == QVariant::List) {
        QJsonArray parts;
        for (const QVariant& part : value.toList())
            parts.append(jsonValue(part));
        return parts;
    }
    if (value.type() == QVariant::LongLong)
        return double(value.toLongLong());
    return QJsonValue::fromVariant(value);
}

// The capabilities to list when the source does not list its own.
const quint16 kCommonCaps[] = {CAP_XFERCOUNT,     ICAP_XFERMECH,      ICAP_PIXELTYPE,
                               ICAP_BITDEPTH,     ICAP_XRESOLUTION,   ICAP_YRESOLUTION,
                               ICAP_UNITS,        ICAP_COMPRESSION,   ICAP_IMAGEFILEFORMAT,
                               CAP_FEEDERENABLED, ICAP_PHYSICALWIDTH, ICAP_PHYSICALHEIGHT};

} // namespace

int ScanCommand::options()
{
    const int iOpened = openSource();
    if (iOpened >= 0)
        return iOpened;
    QList<quint16> lstCaps;
    Capability supported;
    if (m_session.getCapability(CAP_SUPPORTEDCAPS, supported) && supported.itemType == TWTY_UINT16) {
        for (const QVariant& item : qAsConst(supported.items))
            lstCaps.append(quint16(item.toLongLong()));
    }
    Capability extended;
    if (m_session.getCapability(CAP_EXTENDEDCAPS, extended) && extended.itemType == TWTY_UINT16) {
        for (const QVariant& item : qAsConst(extended.items)) {
            if (!lstCaps.contains(quint16(item.toLongLong())))
                lstCaps.append(quint16(item.toLongLong()));
        }
    }
    if (lstCaps.isEmpty()) {
        verbose(QStringLiteral("the source does not list its capabilities; trying the common ones"));
        for (quint16 cap : kCommonCaps)
            lstCaps.append(cap);
    }

    QJsonArray jsonCaps;
    for (quint16 cap : qAsConst(lstCaps)) {
        Capability all;
        const TwainResult got = m_session.getCapability(cap, all, MSG_GET);
        if (got.kind() == TwainResult::BridgeLost)
            return fail(kExitBridge, m_bridge.endReason());
        if (!got) {
            verbose(QStringLiteral("%1 cannot be read: %2").arg(capabilityIdName(cap), got.message()));
            continue;
        }
        QVariant current = all.current();
        QVariant def = all.defaultValue();
        if (all.conType == TWON_ONEVALUE || all.conType == TWON_ARRAY) {
            Capability value;
            if (m_session.getCapability(cap, value, MSG_GETDEFAULT))
                def = value.current();
        }
        if (m_options.bJson) {
            QJsonObject entry{{QStringLiteral("name"), capabilityIdName(cap)},
                              {QStringLiteral("id"), int(cap)},
                              {QStringLiteral("type"), itemTypeName(all.itemType)},
                              {QStringLiteral("container"), containerName(all.conType)},
                              {QStringLiteral("current"), jsonValue(current)}};
            if (def.isValid())
                entry.insert(QStringLiteral("default"), jsonValue(def));
            if (all.conType == TWON_RANGE) {
                entry.insert(QStringLiteral("allowed"),
                             QJsonObject{{QStringLiteral("min"), jsonValue(all.minValue)},
                                         {QStringLiteral("max"), jsonValue(all.maxValue)},
                                         {QStringLiteral("step"), jsonValue(all.stepSize)}});
            } else if (all.conType == TWON_ENUMERATION) {
                QJsonArray allowed;
                QJsonArray names;
                for (const QVariant& item : qAsConst(all.items)) {
                    allowed.append(jsonValue(item));
                    names.append(valueText(cap, item));
                }
                entry.insert(QStringLiteral("allowed"), allowed);
                entry.insert(QStringLiteral("allowedNames"), names);
            }
            jsonCaps.append(entry);
            continue;
        }
        QString sLine =
            QStringLiteral("%1  %2").arg(capabilityIdName(cap), -22).arg(itemTypeName(all.itemType), -12);
        sLine += QStringLiteral("  current %1")
                     .arg(all.conType == TWON_ARRAY ? all.allowedText() : valueText(cap, current));
        if (def.isValid() && all.conType != TWON_ARRAY)
            sLine += QStringLiteral("  default %1").arg(valueText(cap, def));
        if (all.conType == TWON_RANGE)
            sLine += QStringLiteral("  range %1").arg(all.allowedText());
        else if (all.conType == TWON_ENUMERATION)
            sLine += QStringLiteral("  one of %1").arg(all.allowedText());
        std::printf("%s\n", qUtf8Printable(sLine));
    }
    if (m_options.bJson) {
        const QJsonObject doc{{QStringLiteral("source"), m_session.source().productName},
                              {QStringLiteral("capabilities"), jsonCaps}};
        std::fputs(QJsonDocument(doc).toJson().constData(), stdout);
    }
    std::fflush(stdout);
    return kExitOk;
}

QString ScanCommand::allowedValues(quint16 cap)
{
    Capability all;
    if (!m_session.getCapability(cap, all, MSG_GET))
        return QString();
    if (all.conType == TWON_RANGE)
        return QStringLiteral("%1 to %2%3")
            .arg(valueText(cap, all.minValue), valueText(cap, all.maxValue),
                 // A step of 1 goes without saying for whole numbers, not for fractional ones.
                 all.stepSize.toDouble() > 1 || (all.itemType == TWTY_FIX32 && all.stepSize.toDouble() > 0)
                     ? QStringLiteral(" in steps of %1").arg(valueText(0, all.stepSize))
                     : QString());
    if (all.conType == TWON_ENUMERATION)
        return all.allowedText();
    return QString();
}

void ScanCommand::printSettingsInForce()
{
    if (!m_options.bVerbose)
        return;
    QStringList lstSettings;
    for (quint16 cap : {quint16(ICAP_XFERMECH), quint16(ICAP_PIXELTYPE), quint16(ICAP_BITDEPTH),
                        quint16(ICAP_XRESOLUTION), quint16(ICAP_YRESOLUTION), quint16(ICAP_UNITS),
                        quint16(CAP_XFERCOUNT), quint16(CAP_FEEDERENABLED), quint16(ICAP_COMPRESSION)}) {
        Capability value;
        if (m_session.getCapability(cap, value, MSG_GETCURRENT))
            lstSettings.append(
                QStringLiteral("%1 %2").arg(capabilityIdName(cap), valueText(cap, value.current())));
    }
    verbose(QStringLiteral("settings in force, as the source reads them back: %1")
                .arg(lstSettings.join(QStringLiteral(", "))));
}

int ScanCommand::scan()
{
    const ScanOptions& o = m_options;
    const int iOpened = openSource();
    if (iOpened >= 0)
        return iOpened;
    TwainResult r;

    // Only a file transfer needs a folder for the source's files; it goes on every way out of here.
    std::unique_ptr<QTemporaryDir> pSourceFiles;
    if (o.mechanism == TWSX_FILE) {
        pSourceFiles.reset(new QTemporaryDir);
        if (!pSourceFiles->isValid())
            return fail(kExitOutput, QStringLiteral("cannot make a temporary folder for the source's files"));
        m_sSourceFiles = pSourceFiles->path();
    }
    const int iSettings = applySettings();
    if (iSettings >= 0)
        return iSettings;
    printSettingsInForce();
    // Made only once the source has taken every setting.
    const bool bMadeFolder = !QFileInfo::exists(o.sOutputDir);
    if (!QDir().mkpath(o.sOutputDir))
        return fail(kExitOutput, QStringLiteral("cannot make the folder %1").arg(o.sOutputDir));
    m_sOutputDir = QFileInfo(o.sOutputDir).absoluteFilePath();

    ScanProgress progress(m_pOut, m_pOut && isTerminal(m_pOut), o.iPages);
    m_pProgress = &progress;
    if (m_pOut)
        std::fprintf(m_pOut, "Scanning with %s into %s\n", qUtf8Printable(m_session.source().productName),
                     qUtf8Printable(shownPath(m_sOutputDir)));
    if (m_pOut)
        std::fflush(m_pOut);
    progress.start();
    BatchResult batch;
    bool bTimedOut = false;
    r = m_iSignal ? TwainResult::refused(QStringLiteral("scanning"), QStringLiteral("cancelled"))
                  : m_session.enable(o.bDialog);
    if (r && o.bDialog) {
        // Waiting for a dialog nobody can see would end only with the time-out.
        const QString sWhy = dialogUnseen();
        if (!sWhy.isEmpty()) {
            progress.stop();
            m_pProgress = nullptr;
            m_session.disable();
            // Nothing was scanned: a folder made for this run goes again (rmdir leaves a non-empty one).
            if (bMadeFolder)
                QDir().rmdir(m_sOutputDir);
            return fail(kExitSetting, QStringLiteral("the source's dialog cannot be seen here: %1 (scan "
                                                     "without --dialog)")
                                          .arg(sWhy));
        }
    }
    if (r) {
        if (o.bDialog)
            progress.note(QStringLiteral("Start the scan in the source's dialog."));
        r = waitForScan(batch, bTimedOut);
    }
    progress.stop();
    m_pProgress = nullptr;
    // The pages that arrived are a complete document, however the scan ended.
    finishDocument();
    if (isMultiPageFormat(o.sFormat) && !m_lstOutputs.isEmpty())
        m_nWrittenBytes = QFileInfo(m_lstOutputs.last()).size();
    if (m_iSignal) {
        // What was kept; run() ends the bridge and gives the signal's status.
        printSummary(progress);
        return kExitIncomplete;
    }
    if (!r) {
        if (r.kind() == TwainResult::BridgeLost) {
            reportQuirks(batch);
            return failBridge();
        }
        if (r.operation().contains(QLatin1String("MSG_ENABLEDS")))
            return fail(kExitIncomplete, QStringLiteral("the source did not start: %1").arg(r.message()));
        if (bTimedOut && o.bDialog && progress.pages() == 0)
            return fail(kExitTimeout, QStringLiteral("nobody started a scan in the source's dialog within %1 "
                                                     "seconds (--timeout)")
                                          .arg(o.iTimeoutSeconds));
        return fail(bTimedOut ? kExitTimeout : kExitIncomplete,
                    QStringLiteral("the scan did not end within %1 seconds (%2 pages arrived)")
                        .arg(o.iTimeoutSeconds)
                        .arg(m_nReceived));
    }
    m_session.disable();

    printSummary(progress);
    reportQuirks(batch);

    if (!batch.bTransferred) {
        return fail(kExitIncomplete,
                    batch.uiCloseMessage == MSG_CLOSEDSOK
                        ? QStringLiteral("the source's dialog was closed with OK before a scan")
                        : QStringLiteral("the source's dialog was closed before a scan"));
    }
    if (!m_sBridgeError.isEmpty())
        return fail(kExitBridgeWrite, m_sBridgeError);
    if (!m_sWriteError.isEmpty())
        return fail(kExitOutput,
                    m_nNotWritten > 1
                        ? QStringLiteral("%1 (%2 pages not written)").arg(m_sWriteError).arg(m_nNotWritten)
                        : m_sWriteError);
    if (batch.transferFailed()) {
        QString sWhy = QStringLiteral("the source stopped after %1 of %2 pages")
                           .arg(batch.nImages)
                           .arg(o.iPages > 0 ? QString::number(o.iPages) : QStringLiteral("all"));
        if (batch.bHasConditionCode)
            sWhy += QStringLiteral(": condition %1 (%2)")
                        .arg(QLatin1String(TwccName(batch.conditionCode)))
                        .arg(batch.conditionCode);
        return fail(kExitIncomplete, sWhy);
    }
    for (const QString& sFault : qAsConst(batch.sourceFaults)) {
        // A page the scanner botched or cancelled is a page the user does not have.
        if (sFault.startsWith(QLatin1String("page ")) || sFault.contains(QLatin1String("pages were dropped")))
            return fail(kExitIncomplete, QStringLiteral("%1; %2").arg(sFault, pagesKept()));
    }
    if (!m_sPageLost.isEmpty())
        return fail(kExitIncomplete, m_sPageLost);
    if (o.iPages > 0 && batch.nImages < o.iPages)
        return fail(kExitIncomplete, QStringLiteral("only %1 of %2 pages arrived: the source had no more")
                                         .arg(batch.nImages)
                                         .arg(o.iPages));
    if (batch.nImages == 0)
        return fail(kExitIncomplete, QStringLiteral("the source delivered no page"));
    return kExitOk;
}

} // namespace pelirand
