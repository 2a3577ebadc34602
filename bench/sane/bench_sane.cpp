// The SANE source against SANE's own front end: the same A4 colour pages
// from the test backend, scanned by scanimage into a PNM file and by
// pelirand-scan through the bridge (memory strips) into a PNM file (the same
// output) and into a BMP file, in one run; and the source alone in this
// process. Prints the times and their ratios to scanimage; it is not a test:
// it fails only when a scan fails, never on a ratio.
//
//   bench_sane [runs] [--dpi 300,600]   (default 3 runs; medians are printed)

#include "bench/benchsupport.h"
#include "platform/win32.h"
#include <pelirand/sanetwain.h>
#include "twain/twain.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// The source alone, in this process through the stand-in DSM: one page in
// memory strips into a buffer of the source's preferred size, nothing
// written. Returns the bytes, 0 on failure.
qint64 sourceAlone(int dpi)
{
    HMODULE dsm = LoadLibraryA("TWAINDSM.dll");
    auto entry =
        dsm ? reinterpret_cast<DSMENTRYPROC>(reinterpret_cast<void (*)()>(GetProcAddress(dsm, "DSM_Entry")))
            : nullptr;
    if (!entry)
        return 0;
    TW_IDENTITY app{};
    app.ProtocolMajor = 2;
    app.ProtocolMinor = 4;
    app.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
    std::strcpy(app.ProductName, "bench_sane");
    TW_IDENTITY source{};
    std::strcpy(source.ProductName, sanesource::kProductName);
    qint64 bytes = 0;
    if (entry(&app, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, nullptr) == TWRC_SUCCESS &&
        entry(&app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source) == TWRC_SUCCESS) {
        auto set = [&](TW_UINT16 cap, TW_UINT16 type, TW_UINT32 value) {
            TW_ENTRYPOINT ep{};
            ep.Size = sizeof ep;
            entry(&app, nullptr, DG_CONTROL, DAT_ENTRYPOINT, MSG_GET, &ep);
            TW_CAPABILITY c{cap, TWON_ONEVALUE, ep.DSM_MemAllocate(8)};
            auto* p = static_cast<TW_UINT8*>(ep.DSM_MemLock(c.hContainer));
            std::memcpy(p, &type, 2);
            std::memcpy(p + 2, &value, 4);
            ep.DSM_MemUnlock(c.hContainer);
            entry(&app, &source, DG_CONTROL, DAT_CAPABILITY, MSG_SET, &c);
            ep.DSM_MemFree(c.hContainer);
        };
        set(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY);
        set(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_RGB);
        set(ICAP_XRESOLUTION, TWTY_FIX32, TW_UINT32(dpi)); // TW_FIX32: the whole part first
        TW_USERINTERFACE ui{};
        // No callback: the transfer simply starts in state 6, which the
        // source reaches once the page has started.
        if (entry(&app, &source, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) == TWRC_SUCCESS) {
            TW_SETUPMEMXFER setup{};
            TW_IMAGEINFO info{};
            for (int i = 0;
                 i < 5000 && entry(&app, &source, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info) != TWRC_SUCCESS;
                 ++i)
                QThread::msleep(1);
            entry(&app, &source, DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup);
            std::vector<char> block(setup.Preferred);
            TW_UINT16 rc = TWRC_SUCCESS;
            while (rc == TWRC_SUCCESS) {
                TW_IMAGEMEMXFER x{};
                x.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
                x.Memory.Length = TW_UINT32(block.size());
                x.Memory.TheMem = block.data();
                rc = entry(&app, &source, DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x);
                bytes += x.BytesWritten;
            }
            if (rc != TWRC_XFERDONE)
                bytes = 0;
            TW_PENDINGXFERS pending{};
            entry(&app, &source, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
            entry(&app, &source, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
        }
        entry(&app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source);
    }
    entry(&app, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, nullptr);
    FreeLibrary(dsm);
    return bytes;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int runs = 3;
    QList<int> resolutions{300, 600};
    const QStringList args = QCoreApplication::arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--dpi") && i + 1 < args.size()) {
            resolutions.clear();
            for (const QString& dpi : args[++i].split(QLatin1Char(',')))
                resolutions.append(std::max(25, dpi.toInt()));
        } else {
            runs = std::max(1, args[i].toInt());
        }
    }
    const QString scan = QCoreApplication::applicationDirPath() + QStringLiteral("/pelirand-scan");
    if (QStandardPaths::findExecutable(QStringLiteral("scanimage")).isEmpty() || !QFileInfo::exists(scan)) {
        std::fprintf(stderr, "bench_sane: needs scanimage (sane-utils) and %s\n", qPrintable(scan));
        return 2;
    }
    QTemporaryDir config, work;
    QTemporaryDir home;
    QProcessEnvironment env = saneTestEnvironment(config.path(), home.path());
    env.remove(QStringLiteral("PELIRAND_LOG"));
    // A4, the test backend's default picture (solid black) for both.
    env.insert(QLatin1String(sanesource::kOptionsVariable), QStringLiteral("br-x=210;br-y=297"));

    // The source in this process reads the same configuration.
    qputenv("SANE_CONFIG_DIR", config.path().toUtf8());
    qputenv(sanesource::kOptionsVariable, "br-x=210;br-y=297");

    std::printf("A4 colour pages from SANE's test backend, median of %d runs; ratios to scanimage\n", runs);
    std::printf("%-5s %7s %10s %20s %20s %20s\n", "dpi", "MB", "scanimage", "pelirand-scan", "pelirand-scan",
                "source alone");
    std::printf("%-5s %7s %10s %20s %20s %20s\n", "", "", "-> PNM", "memory -> PNM", "memory -> BMP",
                "memory, no file");
    for (int dpi : resolutions) {
        QByteArray error;
        const QString pnm = work.filePath(QStringLiteral("page.pnm"));
        bool ok = true;
        const double sane = medianMs(runs, nullptr, [&] {
            ok = ok && runProgram(QStringLiteral("scanimage"),
                                  {QStringLiteral("-d"), QStringLiteral("test:0"), QStringLiteral("--mode"),
                                   QStringLiteral("Color"), QStringLiteral("--depth"), QStringLiteral("8"),
                                   QStringLiteral("--resolution"), QString::number(dpi), QStringLiteral("-x"),
                                   QStringLiteral("210"), QStringLiteral("-y"), QStringLiteral("297"),
                                   QStringLiteral("--format=pnm")},
                                  env, pnm, &error, 30000, 2);
        });
        const qint64 bytes = QFileInfo(pnm).size();
        const QString out = work.filePath(QStringLiteral("out"));
        auto ours = [&](const char* format) {
            return medianMs(
                runs, [&] { QDir(out).removeRecursively(); },
                [&] {
                    ok = ok &&
                         runProgram(scan,
                                    {QStringLiteral("--device"), QStringLiteral("test:0"),
                                     QStringLiteral("-m"), QStringLiteral("memory"), QStringLiteral("--pixel-type"),
                                     QStringLiteral("rgb"), QStringLiteral("-r"), QString::number(dpi),
                                     QStringLiteral("-f"), QLatin1String(format), QStringLiteral("-o"), out,
                                     QStringLiteral("--name"), QStringLiteral("page"), QStringLiteral("-q")},
                                    env, QString(), &error, 120000);
                });
        };
        const double toPnm = ours("pnm");
        const double toBmp = ours("bmp");
        bool alone = true;
        const double source = medianMs(runs, nullptr, [&] { alone = sourceAlone(dpi) > 0 && alone; });
        if (!ok || !alone) {
            std::fprintf(stderr, "bench_sane: a scan failed: %s\n",
                         error.isEmpty() ? "the source alone delivered no page" : error.constData());
            return 1;
        }
        auto cell = [&](double ms) {
            return QByteArray::number(ms, 'f', 0) + " ms " +
                   QByteArray::number(sane > 0 ? ms / sane : 0, 'f', 2) + "x";
        };
        std::printf("%-5d %7.1f %7.0f ms %20s %20s %20s\n", dpi, bytes / 1e6, sane, cell(toPnm).constData(),
                    cell(toBmp).constData(), cell(source).constData());
        std::fflush(stdout);
    }
    std::printf("aim: pelirand-scan within 1.5x of scanimage (compare the PNM column: the same output).\n"
                "pelirand-scan's figures include starting the bridge, the page's way through it into a\n"
                "file and the client writing its own file; the source alone is the page in memory strips\n"
                "in this process, nothing written.\n");
    return 0;
}
