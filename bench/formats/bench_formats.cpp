// Document formats against SANE's own front end: the same A4 page of SANE's
// test backend ("Color pattern") in colour, grey and black and white, written
// by scanimage --format=pdf / --format=tiff and by pelirand-scan --format pdf /
// tiff through the bridge and the SANE source, in one run. Prints the sizes,
// the median times and the ratios of pelirand-scan to scanimage; it is not a
// test.
//
//   bench_formats [runs] [dpi]      (defaults 3 and 300)

#include "bench/benchsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>

namespace {

struct Kind
{
    const char* pszName;
    const char* pszSaneMode;  // scanimage's --mode
    int iDepth;               // scanimage's --depth
    const char* pszPixelType; // pelirand-scan's --pixel-type
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int nRuns = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 3;
    const int iDpi = argc > 2 ? std::max(50, QByteArray(argv[2]).toInt()) : 300;
    const QString sScan = QCoreApplication::applicationDirPath() + QStringLiteral("/pelirand-scan");
    if (QStandardPaths::findExecutable(QStringLiteral("scanimage")).isEmpty() || !QFileInfo::exists(sScan)) {
        std::fprintf(stderr, "bench_formats: needs scanimage (sane-utils) and %s\n", qPrintable(sScan));
        return 2;
    }
    QTemporaryDir config, work, home;
    QProcessEnvironment env = saneTestEnvironment(config.path(), home.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // The same page for both: A4 and the test backend's colour bars.
    env.insert(QStringLiteral("PELIRAND_SANE_OPTIONS"),
               QStringLiteral("test-picture=Color pattern;br-x=210;br-y=297"));
    const QStringList lstSaneArea{QStringLiteral("-x"),
                                  QStringLiteral("210"),
                                  QStringLiteral("-y"),
                                  QStringLiteral("297"),
                                  QStringLiteral("--test-picture"),
                                  QStringLiteral("Color pattern")};

    const Kind kinds[] = {
        {"colour", "Color", 8, "rgb"}, {"grey", "Gray", 8, "gray"}, {"bw", "Gray", 1, "bw"}};
    struct Variant
    {
        const char* pszFormat;  // scanimage's --format
        const char* pszOurs;    // pelirand-scan's --format
        const char* pszQuality; // pelirand-scan's --jpeg-quality, or none
        const char* pszLabel;
    };
    // PNM first: the way of the page without a document format, for both.
    const Variant variants[] = {{"pnm", "pnm", nullptr, "pnm"},
                                {"pdf", "pdf", nullptr, "pdf"},
                                {"pdf", "pdf", "75", "pdf q75"},
                                {"tiff", "tiff", nullptr, "tiff"}};

    std::printf("A4 page of SANE's test backend at %d dpi, median of %d runs; ratios: pelirand-scan / "
                "scanimage\n",
                iDpi, nRuns);
    std::printf("%-7s %-8s %12s %12s %7s %10s %10s %7s\n", "page", "format", "scanimage B", "ours B", "size",
                "scanimg ms", "ours ms", "time");
    QByteArray error;
    bool bOk = true;
    for (const Kind& kind : kinds) {
        for (const Variant& variant : variants) {
            if (variant.pszQuality && kind.iDepth == 1)
                continue; // black and white pages are not JPEG
            const QString sTheirs = work.filePath(QStringLiteral("scanimage.out"));
            const double theirMs = medianMs(nRuns, nullptr, [&] {
                bOk = bOk &&
                      runProgram(
                          QStringLiteral("scanimage"),
                          QStringList{QStringLiteral("-d"), QStringLiteral("test:0"),
                                      QStringLiteral("--mode"), QLatin1String(kind.pszSaneMode),
                                      QStringLiteral("--depth"), QString::number(kind.iDepth),
                                      QStringLiteral("--resolution"), QString::number(iDpi),
                                      QStringLiteral("--format=%1").arg(QLatin1String(variant.pszFormat))} +
                              lstSaneArea,
                          env, sTheirs, &error, 60000, 2);
            });
            const QString sOut = work.filePath(QStringLiteral("ours"));
            QStringList lstOurs{QStringLiteral("-q"),
                                QStringLiteral("--device"),
                                QStringLiteral("test:0"),
                                QStringLiteral("-m"),
                                QStringLiteral("memory"),
                                QStringLiteral("--pixel-type"),
                                QLatin1String(kind.pszPixelType),
                                QStringLiteral("-r"),
                                QString::number(iDpi),
                                QStringLiteral("-n"),
                                QStringLiteral("1"),
                                QStringLiteral("-f"),
                                QLatin1String(variant.pszOurs),
                                QStringLiteral("-o"),
                                sOut,
                                QStringLiteral("--name"),
                                QStringLiteral("page")};
            if (variant.pszQuality)
                lstOurs << QStringLiteral("--jpeg-quality") << QLatin1String(variant.pszQuality);
            const double ourMs = medianMs(
                nRuns, [&] { QDir(sOut).removeRecursively(); },
                [&] { bOk = bOk && runProgram(sScan, lstOurs, env, QString(), &error, 600000); });
            if (!bOk) {
                std::fprintf(stderr, "bench_formats: a scan failed: %s\n", error.constData());
                return 1;
            }
            const qint64 nTheirs = QFileInfo(sTheirs).size();
            const QFileInfoList lstWritten = QDir(sOut).entryInfoList(QDir::Files);
            const qint64 nOurs = lstWritten.isEmpty() ? 0 : lstWritten.first().size();
            std::printf("%-7s %-8s %12lld %12lld %6.2fx %10.0f %10.0f %6.2fx\n", kind.pszName,
                        variant.pszLabel, static_cast<long long>(nTheirs), static_cast<long long>(nOurs),
                        nTheirs > 0 ? double(nOurs) / double(nTheirs) : 0.0, theirMs, ourMs,
                        theirMs > 0 ? ourMs / theirMs : 0.0);
        }
    }
    std::printf(
        "pelirand-scan's times include starting the bridge and the page's way through it (the pnm\n"
        "rows). scanimage writes TIFF uncompressed and every PDF page as JPEG (black and white too, as\n"
        "colour); pelirand-scan writes JPEG at quality 85 (75 in the q75 rows), CCITT G4 for black and\n"
        "white, Deflate with a predictor in TIFF.\n");
    return 0;
}
