#include "client/scan/scanoutput.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <unistd.h>

#include "client/scan/pnmdirect.h"
#include "client/scan/scanconsole.h"
#include "client/scan/scanprogress.h"

namespace pelirand {

namespace {

// A delivered page as an image: TIFF files through libtiff (16 bits kept), the rest through Qt.
QImage decodePage(const Image& image, QString* pError)
{
    if (image.fileFormat() == QLatin1String("tif"))
        return readTiffPages(image.bytes(), pError).value(0);
    return image.toQImage(pError);
}

} // namespace

ScanOutput::ScanOutput(const ScanOptions& options) : m_options(options) {}

ScanOutput::~ScanOutput() = default;

QString ScanOutput::makeStdoutFolder(QString& sError)
{
    m_pStdoutDir.reset(new QTemporaryDir(QDir::tempPath() + QStringLiteral("/pelirand-scan-XXXXXX")));
    if (!m_pStdoutDir->isValid()) {
        sError = m_pStdoutDir->errorString();
        m_pStdoutDir.reset();
        return QString();
    }
    return m_pStdoutDir->path();
}

int ScanOutput::copyToStdout()
{
    if (!m_pStdoutDir)
        return kExitOk;
    // The folder goes once its file is out, whatever happens to it.
    const std::unique_ptr<QTemporaryDir> pFolder = std::move(m_pStdoutDir);
    QStringList lstFiles;
    for (const QString& sPath : qAsConst(m_lstOutputs)) {
        if (QFileInfo::exists(sPath) && !lstFiles.contains(sPath))
            lstFiles.append(sPath);
    }
    if (lstFiles.size() != 1)
        return kExitOk; // nothing was written (the reason is told already)
    QFile file(lstFiles.first());
    if (!file.open(QIODevice::ReadOnly))
        return scanFailure(
            kExitOutput, QStringLiteral("cannot read %1 back: %2").arg(file.fileName(), file.errorString()));
    // A reader that went away is an error to report, not a signal that ends the process.
    struct sigaction ignore = {};
    struct sigaction previous = {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous);
    QString sError;
    std::fflush(stdout);
    while (sError.isEmpty() && !file.atEnd()) {
        const QByteArray chunk = file.read(1 << 20);
        if (chunk.isEmpty()) {
            sError = file.errorString();
            break;
        }
        for (qint64 nDone = 0; nDone < chunk.size();) {
            const ssize_t n = ::write(STDOUT_FILENO, chunk.constData() + nDone, size_t(chunk.size() - nDone));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                sError = QString::fromLocal8Bit(std::strerror(errno));
                break;
            }
            nDone += n;
        }
    }
    ::sigaction(SIGPIPE, &previous, nullptr);
    file.close();
    if (!sError.isEmpty())
        return scanFailure(kExitOutput, QStringLiteral("cannot write to standard output: %1").arg(sError));
    return kExitOk;
}

QString ScanOutput::shownPath(const QString& sPath) const
{
    return m_options.bToStdout ? QStringLiteral("standard output") : QDir::toNativeSeparators(sPath);
}

QString ScanOutput::nextOutputName()
{
    const QDir dir(m_sOutputDir);
    ++m_nNamed;
    // The prefix as given: a dash goes in only when it does not end with a separator of its own.
    const QString& sPrefix = m_options.sName;
    const bool bSeparated = sPrefix.endsWith(QLatin1Char('-')) || sPrefix.endsWith(QLatin1Char('_')) ||
                            sPrefix.endsWith(QLatin1Char('.')) || sPrefix.endsWith(QLatin1Char(' '));
    const QString sBase = QStringLiteral("%1%2%3")
                              .arg(sPrefix, bSeparated ? QString() : QStringLiteral("-"))
                              .arg(m_nNamed, 3, 10, QLatin1Char('0'));
    const QString sExtension = extension();
    // -o FILE: that very file for a run of one page; numbered when several are asked for, and
    // from the second on when a run of one brings more.
    if (m_options.bOutputFile && m_nNamed == 1 && !severalPagesAsked()) {
        for (int n = 1; n < 10000; ++n) {
            const QString sName = documentName(n);
            QFile file(sName);
            if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
                return sName;
            if (!QFileInfo::exists(sName) && !QFileInfo(sName).isSymLink())
                return sName; // cannot be created: writing it says why
        }
    }
    // Never over a page of an earlier scan or another run's: the name is
    // taken by creating its file exclusively, and the page is written over
    // that file of ours.
    for (int n = 1; n < 10000; ++n) {
        const QString sName = dir.filePath(n == 1 ? sBase + QLatin1Char('.') + sExtension
                                                  : QStringLiteral("%1-%2.%3").arg(sBase).arg(n).arg(sExtension));
        QFile file(sName);
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return sName;
        if (!QFileInfo::exists(sName) && !QFileInfo(sName).isSymLink())
            return sName; // cannot be created: writing it says why
    }
    return dir.filePath(sBase + QLatin1Char('.') + sExtension);
}

QString ScanOutput::extension() const
{
    return m_options.bOutputFile ? m_options.sExtension : pageFormatExtension(m_options.sFormat);
}

bool ScanOutput::severalPagesAsked() const
{
    const ScanOptions& o = m_options;
    return o.iPages != 1 && (o.iPages > 1 || o.bFeeder || o.bDuplex || o.bBatchPrompt);
}

QString ScanOutput::documentName(int n) const
{
    const QDir dir(m_sOutputDir);
    const QString sExtension = extension();
    return dir.filePath(n == 1 ? m_options.sName + QLatin1Char('.') + sExtension
                               : QStringLiteral("%1-%2.%3").arg(m_options.sName).arg(n).arg(sExtension));
}

bool ScanOutput::openDocument(QString& sError)
{
    // A name whose file or .part is there belongs to another scan, finished or not.
    for (int n = 1; n < 10000; ++n) {
        m_sDocument = documentName(n);
        const QString sPart = m_sDocument + QStringLiteral(".part");
        if (QFileInfo::exists(m_sDocument) || QFileInfo(m_sDocument).isSymLink() || QFileInfo::exists(sPart) ||
            QFileInfo(sPart).isSymLink())
            continue;
        m_pDocument = MultiPageWriter::create(m_options.sFormat, m_options.iJpegQuality);
        if (m_pDocument->open(m_sDocument, &sError))
            return true;
        m_pDocument.reset();
        // Taken by another run meanwhile: the next name.
        if (!QFileInfo::exists(m_sDocument) && !QFileInfo::exists(sPart))
            return false;
    }
    sError = QStringLiteral("no free name for %1").arg(documentName(1));
    return false;
}

void ScanOutput::pageFailed(int iPage, const QString& sWhy)
{
    // Only a page the bridge could not write is the bridge's failure; a page the
    // source left unfinished is reported with the source's own failure.
    const bool bBridgeWrite = sWhy.startsWith(QLatin1String("cannot write"));
    QString& sError = bBridgeWrite ? m_sBridgeError : m_sPageLost;
    if (sError.isEmpty())
        sError = QStringLiteral("page %1 was scanned but the bridge could not hand it over: %2")
                     .arg(iPage)
                     .arg(sWhy);
    if (m_pProgress)
        m_pProgress->note(QStringLiteral("page %1: not delivered: %2").arg(iPage).arg(sWhy));
}

void ScanOutput::finish()
{
    finishDocument();
    if (isMultiPageFormat(m_options.sFormat) && !m_lstOutputs.isEmpty())
        m_nWrittenBytes = QFileInfo(m_lstOutputs.last()).size();
}

bool ScanOutput::finishDocument()
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

void ScanOutput::pageReceived(const Image& image)
{
    ++m_nReceived;
    m_nReceivedBytes += image.byteCount();
    // After the first failed write the folder is taken as full: later pages
    // are counted as received, not tried again.
    if (!m_sWriteError.isEmpty()) {
        ++m_nNotWritten;
        if (!image.temporary && !m_sSourceFiles.isEmpty() &&
            image.fileName.startsWith(m_sSourceFiles + QLatin1Char('/')))
            QFile::remove(image.fileName);
        return;
    }
    const bool bDocument = isMultiPageFormat(m_options.sFormat);
    // PNG, JPEG, TIFF and PDF take the rows straight from a delivered bitmap
    // that needs no conversion: no decoded copy of the page.
    PageRows rows;
    const bool bRows = image.isValid() && m_options.sFormat != QLatin1String("bmp") &&
                       m_options.sFormat != QLatin1String("pnm") && pageRowsOf(image, rows);
    const bool bAsItCame =
        !bRows && (m_options.sFormat == QLatin1String("png") || m_options.sFormat == QLatin1String("bmp"));
    QString sOut = bDocument ? m_sDocument : nextOutputName();
    QString sError;
    QSize size;
    if (!image.isValid()) {
        sError = image.error;
    } else if (bAsItCame) {
        if (!writeImageFile(image, sOut, m_options.sFormat, &sError, &size))
            sError = sError.isEmpty() ? QStringLiteral("cannot write %1").arg(sOut) : sError;
    } else if (m_options.sFormat == QLatin1String("pnm") && canWritePnmDirectly(image)) {
        // Rows straight from the delivered bitmap: no decoded copy of the page.
        if (!writePnmDirectly(image, sOut, &sError, &size))
            sError = sError.isEmpty() ? QStringLiteral("cannot write %1").arg(sOut) : sError;
    } else {
        const QImage page = bRows ? QImage() : decodePage(image, &sError);
        size = bRows ? QSize(rows.iWidth, rows.iHeight) : page.size();
        if (!bRows && page.isNull()) {
            if (sError.isEmpty())
                sError = QStringLiteral("the page cannot be decoded");
        } else if (bDocument) {
            if (!m_pDocument && m_sWriteError.isEmpty())
                openDocument(sError);
            sOut = m_sDocument;
            if (m_pDocument &&
                !(bRows ? m_pDocument->addRows(rows, &sError) : m_pDocument->addPage(page, &sError))) {
                // The document keeps the pages before this one.
                m_sWriteError = QStringLiteral("page %1: %2").arg(image.index).arg(sError);
                const int nKept = m_pDocument->pageCount();
                if (finishDocument() && nKept > 0) {
                    sError += QStringLiteral("; %1 holds the %2 before it")
                                  .arg(shownPath(m_sDocument),
                                       nKept == 1 ? QStringLiteral("page") : QStringLiteral("%1 pages").arg(nKept));
                    m_sWriteError = QStringLiteral("page %1: %2").arg(image.index).arg(sError);
                }
            } else if (!m_pDocument && sError.isEmpty()) {
                sError = QStringLiteral("%1 could not be written").arg(m_sDocument);
            }
        } else if (!(bRows ? writePageRows(rows, sOut, m_options.sFormat, m_options.iJpegQuality, &sError)
                           : writePageFile(page, sOut, m_options.sFormat, m_options.iJpegQuality, &sError))) {
            sError = sError.isEmpty() ? QStringLiteral("cannot write %1").arg(sOut) : sError;
        }
    }
    // A page's file of ours that holds no page goes again.
    if (!sError.isEmpty() && !bDocument && QFileInfo(sOut).size() == 0)
        QFile::remove(sOut);
    // A file transfer's page is the source's file in our folder: written out, it is not needed any more.
    // A name the source made climb out of that folder is left alone.
    if (!image.temporary && !m_sSourceFiles.isEmpty() && QFileInfo::exists(image.fileName)) {
        if (fileIsInFolder(image.fileName, m_sSourceFiles))
            QFile::remove(image.fileName);
        else if (m_pProgress)
            m_pProgress->note(
                QStringLiteral("page %1: %2 is outside the folder for the source's files: left alone")
                    .arg(image.index)
                    .arg(QDir::toNativeSeparators(image.fileName)));
    }

    if (!sError.isEmpty()) {
        ++m_nNotWritten;
        if (m_sWriteError.isEmpty())
            m_sWriteError = QStringLiteral("page %1: %2").arg(image.index).arg(sError);
        if (m_pProgress)
            m_pProgress->note(QStringLiteral("page %1: not written: %2").arg(image.index).arg(sError));
        return;
    }
    ++m_nWritten;
    if (bDocument) {
        if (m_pProgress)
            m_pProgress->page(image.byteCount(), QStringLiteral("page %1: into %2  %3 x %4")
                                                     .arg(image.index)
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
                .arg(image.index)
                .arg(m_options.bToStdout ? QStringLiteral("to standard output") : shownPath(sOut))
                .arg(size.width())
                .arg(size.height())
                .arg(formatBytes(nSize)));
}

QString ScanOutput::pagesKept() const
{
    return m_nWritten == 1 ? QStringLiteral("1 page kept") : QStringLiteral("%1 pages kept").arg(m_nWritten);
}

void ScanOutput::printSummary(std::FILE* pOut, double seconds) const
{
    const double perMinute = seconds > 0 ? m_nReceived * 60.0 / seconds : 0;
    if (m_nReceived > 0 && pOut) {
        // Pages written are named apart when not every page received was.
        const QString sWritten =
            m_nWritten == m_nReceived
                ? formatBytes(m_nWrittenBytes)
                : QStringLiteral("%1 %2, %3")
                      .arg(m_nWritten)
                      .arg(m_nWritten == 1 ? QStringLiteral("page") : QStringLiteral("pages"))
                      .arg(formatBytes(m_nWrittenBytes));
        std::fprintf(pOut, "%d %s, %s received, %s written, %.*f s, %.0f pages per minute\n", m_nReceived,
                     m_nReceived == 1 ? "page" : "pages", qUtf8Printable(formatBytes(m_nReceivedBytes)),
                     qUtf8Printable(sWritten), seconds < 10 ? 2 : 1, seconds, perMinute);
        if (m_options.bToStdout)
            std::fprintf(pOut, "The file goes to standard output\n");
        else
            std::fprintf(pOut, "The pages are in %s\n",
                         qUtf8Printable(QDir::toNativeSeparators(m_sOutputDir)));
        std::fflush(pOut);
    }
}

} // namespace pelirand
