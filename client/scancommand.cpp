#include "client/scancommand.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <unistd.h>

#include <cstring>

#include "client/scanprogress.h"
#include "diag/twnames.h"
#include "sources/sane/saneds.h"

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
                           "<output>/<name>-001.png, -002.png, ... It prints one line per page and a\n"
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
                           "8 the bridge could not write a page it received (its folder is full...).\n"
                           "Every failure prints one line saying why.";

} // namespace

ScanCommand::ScanCommand() : m_session(m_bridge)
{
    m_session.setCollectImages(false);
    connect(&m_session, &TwainSession::si_imageReceived, this, &ScanCommand::on_imageReceived);
    connect(&m_session, &TwainSession::si_imageFailed, this, &ScanCommand::on_imageFailed);
}

ScanCommand::~ScanCommand() = default;

int ScanCommand::fail(int iExit, const QString& sWhy)
{
    if (m_pProgress)
        m_pProgress->stop();
    std::fprintf(stderr, "pelirand-scan: %s\n", qUtf8Printable(sWhy));
    return iExit;
}

int ScanCommand::failSetting(const QString& sWhat, const TwainResult& result)
{
    if (result.kind() == TwainResult::BridgeLost)
        return fail(kExitBridge, m_bridge.endReason().isEmpty() ? result.message() : m_bridge.endReason());
    QString sWhy = QStringLiteral("the source refused %1: %2").arg(sWhat, result.returnCodeName());
    if (result.hasConditionCode())
        sWhy += QStringLiteral(", condition %1").arg(result.conditionCodeName());
    if (result.kind() == TwainResult::Refused)
        sWhy = QStringLiteral("%1: %2").arg(sWhat, result.reason());
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
        QStringLiteral("Shows the source's own dialog; scanning starts when you start it there."));
    const QCommandLineOption output(
        {QStringLiteral("o"), QStringLiteral("output")},
        QStringLiteral("Folder for the image files; made if missing. Default: ./scans."),
        QStringLiteral("folder"));
    const QCommandLineOption format({QStringLiteral("f"), QStringLiteral("format")},
                                    QStringLiteral("Image file format: png or bmp. Default: png."),
                                    QStringLiteral("format"));
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
                       "one beside pelirand-scan."),
        QStringLiteral("path"));
    const QCommandLineOption timeout(
        QStringLiteral("timeout"),
        QStringLiteral("Gives up when no batch of pages has ended after this many "
                       "seconds; 0 waits for ever. Default: 600, none with --dialog."),
        QStringLiteral("seconds"));
    const QCommandLineOption verboseOption(
        QStringLiteral("verbose"), QStringLiteral("Tells each step and shows the bridge's own messages."));
    parser.addOptions({help, list, source, device, mechanism, pixelType, bitDepth, resolution, pages, dialog,
                       output, format, name, dsm, bridge, timeout, verboseOption});

    if (!parser.parse(lstArguments)) {
        std::fprintf(stderr, "pelirand-scan: %s (see --help)\n", qUtf8Printable(parser.errorText()));
        return kExitUsage;
    }
    if (parser.isSet(help)) {
        std::fputs(qUtf8Printable(parser.helpText()), stdout);
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
            return usage(QStringLiteral("unknown mechanism %1").arg(parser.value(mechanism)));
        o.mechanism = quint16(iMech);
    }
    if (parser.isSet(pixelType)) {
        o.iPixelType = lookUp(kPixelTypes, parser.value(pixelType));
        if (o.iPixelType < 0)
            return usage(QStringLiteral("unknown pixel type %1").arg(parser.value(pixelType)));
    }
    bool bOk = true;
    if (parser.isSet(bitDepth)) {
        o.iBitDepth = parser.value(bitDepth).toInt(&bOk);
        if (!bOk || o.iBitDepth <= 0 || o.iBitDepth > 64)
            return usage(QStringLiteral("bad bit depth %1").arg(parser.value(bitDepth)));
    }
    if (parser.isSet(resolution)) {
        o.resolution = parser.value(resolution).toDouble(&bOk);
        if (!bOk || o.resolution <= 0 || o.resolution > 30000)
            return usage(QStringLiteral("bad resolution %1").arg(parser.value(resolution)));
    }
    if (parser.isSet(pages) && parser.value(pages).compare(QLatin1String("all"), Qt::CaseInsensitive) != 0) {
        o.iPages = parser.value(pages).toInt(&bOk);
        if (!bOk || o.iPages <= 0 || o.iPages > 32767)
            return usage(QStringLiteral("bad page count %1").arg(parser.value(pages)));
    }
    if (parser.isSet(output))
        o.sOutputDir = parser.value(output);
    if (parser.isSet(format)) {
        o.sFormat = parser.value(format).toLower();
        if (o.sFormat != QLatin1String("png") && o.sFormat != QLatin1String("bmp"))
            return usage(QStringLiteral("unknown format %1").arg(parser.value(format)));
    }
    if (o.iBitDepth == 16 && (o.iPixelType < 0 || o.iPixelType == TWPT_GRAY)) {
        // 16-bit grey: only the buffered and file mechanisms keep the 16 bits,
        // and only PNG holds them. (Other pixel types are the source's to refuse.)
        if (o.mechanism == TWSX_NATIVE)
            return usage(QStringLiteral("native transfers reduce 16-bit grey to 8 bits: use -m memory, "
                                        "memfile or file for 16 bits"));
        if (o.sFormat != QLatin1String("png"))
            return usage(
                QStringLiteral("a %1 file cannot hold 16-bit grey: use -f png").arg(o.sFormat.toUpper()));
        o.iPixelType = TWPT_GRAY;
    }
    o.sName = parser.isSet(name)
                  ? parser.value(name)
                  : QStringLiteral("scan-") +
                        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    if (o.sName.isEmpty() || o.sName.contains(QLatin1Char('/')))
        return usage(QStringLiteral("bad name %1").arg(o.sName));
    if (parser.isSet(dsm)) {
        const QString sDsm = parser.value(dsm).toLower();
        if (sDsm == QLatin1String("twain32"))
            o.dsm = DsmFile::Twain32;
        else if (sDsm != QLatin1String("twaindsm"))
            return usage(QStringLiteral("unknown DSM %1").arg(parser.value(dsm)));
    }
    if (parser.isSet(timeout)) {
        o.iTimeoutSeconds = parser.value(timeout).toInt(&bOk);
        if (!bOk || o.iTimeoutSeconds < 0 || o.iTimeoutSeconds > 24 * 3600)
            return usage(QStringLiteral("bad timeout %1").arg(parser.value(timeout)));
    } else if (o.bDialog) {
        o.iTimeoutSeconds = 0;
    }
    return -1;
}

int ScanCommand::run(const QStringList& lstArguments)
{
    const int iParsed = parse(lstArguments);
    if (iParsed >= 0)
        return iParsed;

    if (!m_options.sBridge.isEmpty())
        m_bridge.setProgram(m_options.sBridge);
    if (!m_options.sDevice.isEmpty()) {
        // The SANE source opens the device named here when it is opened.
        QProcessEnvironment env = m_bridge.processEnvironment();
        env.insert(QLatin1String(sanesource::kDeviceVariable), m_options.sDevice);
        m_bridge.setProcessEnvironment(env);
    }
    m_bridge.setForwardStandardError(m_options.bVerbose);
    verbose(QStringLiteral("starting %1").arg(m_bridge.program()));
    if (!m_bridge.start())
        return fail(kExitBridge,
                    QStringLiteral("the bridge could not be started: %1").arg(m_bridge.lastError()));
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
    } else {
        iExit = m_options.bList ? list() : scan();
    }

    // Leaving: whatever is open is closed; the bridge unloads the DSM as it quits.
    if (!m_bridge.hasEndedUnexpectedly())
        m_session.close();
    m_bridge.stop();
    return iExit;
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
    if (lstSources.isEmpty())
        return fail(kExitNoSource, QStringLiteral("no TWAIN source found (the DSM lists none)"));
    SourceIdentity def;
    m_session.defaultSource(def);
    for (const SourceIdentity& source : qAsConst(lstSources)) {
        const bool bDefault = def.isValid() && def.id == source.id;
        std::printf("%s %s  (%s, %s, version %s)\n", bDefault ? "*" : " ", qUtf8Printable(source.productName),
                    qUtf8Printable(source.manufacturer), qUtf8Printable(source.productFamily),
                    qUtf8Printable(source.versionInfo));
        if (source.productName == QLatin1String(sanesource::kProductName))
            listSaneDevices(source.productName);
    }
    return kExitOk;
}

void ScanCommand::listSaneDevices(const QString& sProductName)
{
    // The SANE source is opened to ask SANE; its devices follow it, indented.
    std::fflush(stdout);
    const TwainResult opened = m_session.openSource(sProductName);
    if (!opened) {
        QString sWhy = opened.message();
        if (opened.conditionCode() == TWCC_OPERATIONERROR)
            sWhy = QStringLiteral("SANE cannot be used here (is libsane1 installed?)");
        else if (opened.conditionCode() == TWCC_CHECKDEVICEONLINE)
            sWhy = m_options.sDevice.isEmpty()
                       ? QStringLiteral("SANE finds no device")
                       : QStringLiteral("the device %1 cannot be opened").arg(m_options.sDevice);
        std::printf("      (no SANE device: %s)\n", qUtf8Printable(sWhy));
        return;
    }
    for (quint16 i = 0; i < 1000; ++i) {
        sanesource::SANE_TW_DEVICE device{};
        device.Index = i;
        QByteArray block(reinterpret_cast<const char*>(&device), int(sizeof device));
        if (!m_session.call(DG_CONTROL, sanesource::SANEDAT_DEVICE, MSG_GET, block) ||
            block.size() < int(sizeof device))
            break;
        std::memcpy(&device, block.constData(), sizeof device);
        device.Name[sizeof device.Name - 1] = device.Vendor[sizeof device.Vendor - 1] = '\0';
        device.Model[sizeof device.Model - 1] = device.Type[sizeof device.Type - 1] = '\0';
        QString sWhat = QStringLiteral("%1 %2")
                            .arg(QString::fromUtf8(device.Vendor), QString::fromUtf8(device.Model))
                            .trimmed();
        if (device.Type[0])
            sWhat += QStringLiteral(", %1").arg(QString::fromUtf8(device.Type));
        std::printf("    %s --device %s%s\n", device.Index == device.Current ? "*" : " ", device.Name,
                    sWhat.isEmpty() ? "" : qUtf8Printable(QStringLiteral("  (%1)").arg(sWhat)));
        if (i + 1 >= device.Count)
            break;
    }
    std::fflush(stdout);
    m_session.closeSource();
}

int ScanCommand::applySettings()
{
    const ScanOptions& o = m_options;
    TwainResult r = m_session.setCapability(ICAP_XFERMECH, TWTY_UINT16, o.mechanism);
    if (!r)
        return failSetting(QStringLiteral("the transfer mechanism %1").arg(nameOf(kMechanisms, o.mechanism)),
                           r);
    if (o.iPixelType >= 0) {
        r = m_session.setCapability(ICAP_PIXELTYPE, TWTY_UINT16, o.iPixelType);
        if (!r)
            return failSetting(QStringLiteral("the pixel type %1").arg(nameOf(kPixelTypes, o.iPixelType)), r);
    }
    if (o.iBitDepth > 0) {
        r = m_session.setCapability(ICAP_BITDEPTH, TWTY_UINT16, o.iBitDepth);
        if (!r)
            return failSetting(QStringLiteral("the bit depth %1").arg(o.iBitDepth), r);
    }
    if (o.resolution > 0) {
        r = m_session.setCapability(ICAP_UNITS, TWTY_UINT16, TWUN_INCHES);
        if (!r)
            return failSetting(QStringLiteral("inches as units"), r);
        for (quint16 cap : {quint16(ICAP_XRESOLUTION), quint16(ICAP_YRESOLUTION)}) {
            r = m_session.setCapability(cap, TWTY_FIX32, o.resolution);
            if (!r)
                return failSetting(QStringLiteral("the resolution %1 dpi").arg(o.resolution), r);
            if (r.returnCode() == TWRC_CHECKSTATUS) {
                double actual = 0;
                if (m_session.capability(cap, TWTY_FIX32, actual))
                    verbose(QStringLiteral("the source chose %1 dpi").arg(actual));
            }
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
        const QString sBase =
            QStringLiteral("%1-%2").arg(m_options.sName).arg(m_nNamed, 3, 10, QLatin1Char('0'));
        QString sName = dir.filePath(sBase + QLatin1Char('.') + m_options.sFormat);
        // Never overwrite a page of an earlier scan.
        for (int n = 2; QFileInfo::exists(sName); ++n)
            sName = dir.filePath(QStringLiteral("%1-%2.%3").arg(sBase).arg(n).arg(m_options.sFormat));
        return sName;
    }
}

void ScanCommand::on_imageFailed(int iPage, QString sWhy)
{
    if (m_sBridgeError.isEmpty())
        m_sBridgeError = QStringLiteral("page %1 was scanned but the bridge could not hand it over: %2")
                             .arg(iPage)
                             .arg(sWhy);
    if (m_pProgress)
        m_pProgress->note(QStringLiteral("page %1: not delivered: %2").arg(iPage).arg(sWhy));
}

void ScanCommand::on_imageReceived(const Image& image)
{
    ++m_nReceived;
    m_nReceivedBytes += image.data.size();
    // After the first failed write the folder is taken as full: later pages
    // are counted as received, not tried again.
    if (!m_sWriteError.isEmpty()) {
        ++m_nNotWritten;
        if (!image.bTemporary && !m_sSourceFiles.isEmpty() &&
            image.sFileName.startsWith(m_sSourceFiles + QLatin1Char('/')))
            QFile::remove(image.sFileName);
        return;
    }
    const QString sOut = nextOutputName();
    QString sError;
    QSize size;
    if (!image.isValid())
        sError = image.sError;
    else if (!writeImageFile(image, sOut, m_options.sFormat, &sError, &size))
        sError = sError.isEmpty() ? QStringLiteral("cannot write %1").arg(sOut) : sError;
    // A file transfer's page is the source's file in our folder: written out, it is not needed any more.
    if (!image.bTemporary && image.sFileName.startsWith(m_sSourceFiles + QLatin1Char('/')) &&
        !m_sSourceFiles.isEmpty())
        QFile::remove(image.sFileName);

    if (!sError.isEmpty()) {
        ++m_nNotWritten;
        if (m_sWriteError.isEmpty())
            m_sWriteError = QStringLiteral("page %1: %2").arg(image.iIndex).arg(sError);
        if (m_pProgress)
            m_pProgress->note(QStringLiteral("page %1: not written: %2").arg(image.iIndex).arg(sError));
        return;
    }
    ++m_nWritten;
    const qint64 nSize = QFileInfo(sOut).size();
    m_nWrittenBytes += nSize;
    m_lstOutputs.append(sOut);
    if (m_pProgress)
        m_pProgress->page(image.data.size(), QStringLiteral("page %1: %2  %3 x %4, %5")
                                                 .arg(image.iIndex)
                                                 .arg(QDir::toNativeSeparators(sOut))
                                                 .arg(size.width())
                                                 .arg(size.height())
                                                 .arg(formatBytes(nSize)));
}

int ScanCommand::scan()
{
    const ScanOptions& o = m_options;
    TwainResult r = m_session.openSource(o.sSource);
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

    if (!QDir().mkpath(o.sOutputDir))
        return fail(kExitOutput, QStringLiteral("cannot make the folder %1").arg(o.sOutputDir));
    m_sOutputDir = QFileInfo(o.sOutputDir).absoluteFilePath();
    QTemporaryDir sourceFiles;
    if (o.mechanism == TWSX_FILE) {
        if (!sourceFiles.isValid())
            return fail(kExitOutput, QStringLiteral("cannot make a temporary folder for the source's files"));
        m_sSourceFiles = sourceFiles.path();
    }
    const int iSettings = applySettings();
    if (iSettings >= 0)
        return iSettings;

    ScanProgress progress(stdout, isatty(fileno(stdout)) != 0, o.iPages);
    m_pProgress = &progress;
    std::printf("Scanning with %s into %s\n", qUtf8Printable(m_session.source().productName),
                qUtf8Printable(QDir::toNativeSeparators(m_sOutputDir)));
    std::fflush(stdout);
    progress.start();
    BatchResult batch;
    r = m_session.enable(o.bDialog);
    if (r) {
        if (o.bDialog)
            progress.note(QStringLiteral("Start the scan in the source's dialog."));
        r = m_session.waitForBatch(batch, o.iTimeoutSeconds > 0 ? o.iTimeoutSeconds * 1000 : -1);
    }
    progress.stop();
    m_pProgress = nullptr;
    if (!r) {
        if (r.kind() == TwainResult::BridgeLost)
            return fail(kExitBridge, m_bridge.endReason());
        if (r.operation().contains(QLatin1String("MSG_ENABLEDS")))
            return fail(kExitIncomplete, QStringLiteral("the source did not start: %1").arg(r.message()));
        return fail(kExitIncomplete,
                    QStringLiteral("the scan did not end within %1 seconds (%2 pages arrived)")
                        .arg(o.iTimeoutSeconds)
                        .arg(m_nReceived));
    }
    m_session.disable();

    const double seconds = progress.seconds();
    const double perMinute = seconds > 0 ? m_nReceived * 60.0 / seconds : 0;
    if (m_nReceived > 0) {
        // Pages written are named apart when not every page received was.
        const QString sWritten =
            m_nWritten == m_nReceived
                ? formatBytes(m_nWrittenBytes)
                : QStringLiteral("%1 %2, %3")
                      .arg(m_nWritten)
                      .arg(m_nWritten == 1 ? QStringLiteral("page") : QStringLiteral("pages"))
                      .arg(formatBytes(m_nWrittenBytes));
        std::printf("%d %s, %s received, %s written, %.*f s, %.0f pages per minute\n", m_nReceived,
                    m_nReceived == 1 ? "page" : "pages", qUtf8Printable(formatBytes(m_nReceivedBytes)),
                    qUtf8Printable(sWritten), seconds < 10 ? 2 : 1, seconds, perMinute);
        std::printf("The pages are in %s\n", qUtf8Printable(QDir::toNativeSeparators(m_sOutputDir)));
        std::fflush(stdout);
    }

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
    if (o.iPages > 0 && batch.nImages < o.iPages)
        return fail(kExitIncomplete, QStringLiteral("only %1 of %2 pages arrived: the source had no more")
                                         .arg(batch.nImages)
                                         .arg(o.iPages));
    if (batch.nImages == 0)
        return fail(kExitIncomplete, QStringLiteral("the source delivered no page"));
    return kExitOk;
}

} // namespace pelirand
