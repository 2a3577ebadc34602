// The SANE source against SANE's own front end: the same A4 colour pages
// from the test backend, scanned by scanimage into a PNM file and by
// pelirand-scan through the bridge (memory strips) into a BMP file, in one
// run. Prints both times and their ratio; it is not a test.
//
//   bench_sane [runs]      (default 3; medians are printed)

#include "bench/benchsupport.h"
#include "platform/win32.h"
#include "sources/sane/saneds.h"
#include "twain/twain.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

bool writeText(const QString& path, const QByteArray& text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
}

// Runs the program to the end; false (with its error output) if it failed.
bool run(const QString& program, const QStringList& args, const QProcessEnvironment& env, const QString& out,
         QByteArray* error)
{
    QProcess p;
    p.setProcessEnvironment(env);
    if (!out.isEmpty())
        p.setStandardOutputFile(out);
    else
        p.setStandardOutputFile(QProcess::nullDevice());
    p.start(program, args);
    if (!p.waitForFinished(600000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        if (error)
            *error = p.readAllStandardError();
        return false;
    }
    return true;
}

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
    const int runs = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 3;
    const QString scan = QCoreApplication::applicationDirPath() + QStringLiteral("/pelirand-scan");
    if (QStandardPaths::findExecutable(QStringLiteral("scanimage")).isEmpty() || !QFileInfo::exists(scan)) {
        std::fprintf(stderr, "bench_sane: needs scanimage (sane-utils) and %s\n", qPrintable(scan));
        return 2;
    }
    QTemporaryDir config, work;
    writeText(config.filePath(QStringLiteral("dll.conf")), "test\n");
    writeText(config.filePath(QStringLiteral("test.conf")), "number_of_devices 1\ngeometry_max 300\n");
    QTemporaryDir home;
    QDir(home.path()).mkpath(QStringLiteral("Documents"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SANE_CONFIG_DIR"), config.path());
    env.insert(QStringLiteral("HOME"), home.path()); // the bridge's log goes there
    // A4, the test backend's default picture (solid black) for both.
    env.insert(QLatin1String(sanesource::kOptionsVariable), QStringLiteral("br-x=210;br-y=297"));

    // The source in this process reads the same configuration.
    qputenv("SANE_CONFIG_DIR", config.path().toUtf8());
    qputenv(sanesource::kOptionsVariable, "br-x=210;br-y=297");

    std::printf("A4 colour pages from SANE's test backend, median of %d runs\n", runs);
    std::printf("%-6s %8s %14s %18s %8s %20s %8s\n", "dpi", "MB", "scanimage ms", "pelirand-scan ms", "ratio",
                "source alone ms", "ratio");
    for (int dpi : {300, 600}) {
        QByteArray error;
        const QString pnm = work.filePath(QStringLiteral("page.pnm"));
        bool ok = true;
        const double sane = medianMs(runs, nullptr, [&] {
            ok = ok && run(QStringLiteral("scanimage"),
                           {QStringLiteral("-d"), QStringLiteral("test:0"), QStringLiteral("--mode"),
                            QStringLiteral("Color"), QStringLiteral("--depth"), QStringLiteral("8"),
                            QStringLiteral("--resolution"), QString::number(dpi), QStringLiteral("-x"),
                            QStringLiteral("210"), QStringLiteral("-y"), QStringLiteral("297"),
                            QStringLiteral("--format=pnm")},
                           env, pnm, &error);
        });
        const qint64 bytes = QFileInfo(pnm).size();
        const QString out = work.filePath(QStringLiteral("out"));
        const double ours = medianMs(
            runs, [&] { QDir(out).removeRecursively(); },
            [&] {
                ok = ok && run(scan,
                               {QStringLiteral("--device"), QStringLiteral("test:0"), QStringLiteral("-m"),
                                QStringLiteral("memory"), QStringLiteral("-t"), QStringLiteral("rgb"),
                                QStringLiteral("-r"), QString::number(dpi), QStringLiteral("-f"),
                                QStringLiteral("bmp"), QStringLiteral("-o"), out, QStringLiteral("--name"),
                                QStringLiteral("page")},
                               env, QString(), &error);
            });
        qint64 alone = 0;
        const double source = medianMs(runs, nullptr, [&] { alone = sourceAlone(dpi); });
        if (!ok || alone == 0) {
            std::fprintf(stderr, "bench_sane: a scan failed: %s\n", error.constData());
            return 1;
        }
        std::printf("%-6d %8.1f %14.0f %18.0f %7.2fx %20.0f %7.2fx\n", dpi, bytes / 1e6, sane, ours,
                    sane > 0 ? ours / sane : 0, source, sane > 0 ? source / sane : 0);
    }
    std::printf("aim: pelirand-scan within 1.5x of scanimage. pelirand-scan's figure includes starting\n"
                "the bridge and the page's way through it into a file and on into the BMP; the source\n"
                "alone is the page in memory strips in this process, nothing written.\n");
    return 0;
}
