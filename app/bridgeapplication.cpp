#include "app/bridgeapplication.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLibrary>
#include <QVariant>

#include "app/widgets/widgetsapplication.h"
#include "diag/log.h"

#include <cstring>

#ifdef Q_OS_UNIX
#include <elf.h>
#endif

namespace {

PelirandWidgetsVisibleWindowsFn s_pfnVisibleWindows = nullptr;

QString programFolder()
{
#ifdef Q_OS_UNIX
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
#else
    return QString();
#endif
}

#ifdef Q_OS_UNIX
// The libraries an ELF file names as needed, from its dynamic section; empty for anything else.
template <typename Ehdr, typename Shdr, typename Dyn>
QList<QByteArray> neededOf(const uchar* pData, qint64 nSize)
{
    QList<QByteArray> lstNeeded;
    if (nSize < qint64(sizeof(Ehdr)))
        return lstNeeded;
    Ehdr header;
    std::memcpy(&header, pData, sizeof(header));
    const qint64 nSections = header.e_shnum;
    if (header.e_shentsize != sizeof(Shdr) || qint64(header.e_shoff) + nSections * qint64(sizeof(Shdr)) > nSize)
        return lstNeeded;
    const auto section = [&](qint64 i) {
        Shdr s;
        std::memcpy(&s, pData + header.e_shoff + i * qint64(sizeof(Shdr)), sizeof(s));
        return s;
    };
    for (qint64 i = 0; i < nSections; ++i) {
        const Shdr dynamic = section(i);
        if (dynamic.sh_type != SHT_DYNAMIC || qint64(dynamic.sh_link) >= nSections)
            continue;
        const Shdr strings = section(dynamic.sh_link);
        if (qint64(dynamic.sh_offset) + qint64(dynamic.sh_size) > nSize ||
            qint64(strings.sh_offset) + qint64(strings.sh_size) > nSize)
            return lstNeeded;
        for (qint64 d = 0; d + qint64(sizeof(Dyn)) <= qint64(dynamic.sh_size); d += sizeof(Dyn)) {
            Dyn entry;
            std::memcpy(&entry, pData + dynamic.sh_offset + d, sizeof(entry));
            if (entry.d_tag == DT_NULL)
                break;
            if (entry.d_tag != DT_NEEDED || qint64(entry.d_un.d_val) >= qint64(strings.sh_size))
                continue;
            const char* pszName = reinterpret_cast<const char*>(pData + strings.sh_offset + entry.d_un.d_val);
            lstNeeded.append(QByteArray(pszName, int(qstrnlen(pszName, uint(strings.sh_size - entry.d_un.d_val)))));
        }
        break;
    }
    return lstNeeded;
}

bool needsWidgets(const QString& sFile)
{
    QFile file(sFile);
    if (!file.open(QIODevice::ReadOnly) || file.size() < EI_NIDENT)
        return false;
    const uchar* pData = file.map(0, file.size());
    if (!pData || std::memcmp(pData, ELFMAG, SELFMAG) != 0)
        return false;
    const QList<QByteArray> lstNeeded = pData[EI_CLASS] == ELFCLASS64
                                            ? neededOf<Elf64_Ehdr, Elf64_Shdr, Elf64_Dyn>(pData, file.size())
                                            : neededOf<Elf32_Ehdr, Elf32_Shdr, Elf32_Dyn>(pData, file.size());
    for (const QByteArray& needed : lstNeeded) {
        if (needed.startsWith("libQt5Widgets.") || needed.startsWith("libQt5Gui.") ||
            needed.startsWith("libQt6Widgets.") || needed.startsWith("libQt6Gui."))
            return true;
    }
    return false;
}
#endif

QCoreApplication* widgetsApplication(int& argc, char** argv)
{
#ifdef Q_OS_WIN
    const QString sModule = QStringLiteral("pelirand-widgets");
#else
    const QString sModule = programFolder() + QStringLiteral("/" PELIRAND_WIDGETS_MODULE);
#endif
    QLibrary module(sModule);
    const auto pfnMake = reinterpret_cast<PelirandWidgetsApplicationFn>(module.resolve("pelirandWidgetsApplication"));
    s_pfnVisibleWindows =
        reinterpret_cast<PelirandWidgetsVisibleWindowsFn>(module.resolve("pelirandWidgetsVisibleWindows"));
    if (!pfnMake || !s_pfnVisibleWindows) {
        logPrintf("cannot load the Qt Widgets module %s (%s): sources' Qt dialogs cannot show",
                  sModule.toUtf8().constData(), module.errorString().toUtf8().constData());
        s_pfnVisibleWindows = nullptr;
        return nullptr;
    }
    // Stays loaded: the application object lives until the process ends.
    return pfnMake(&argc, argv);
}

} // namespace

BridgeApplication::BridgeApplication(int& argc, char** argv)
{
    const QByteArray asked = qgetenv("PELIRAND_WIDGETS");
    bool bWidgets = asked == "1";
#ifdef Q_OS_WIN
    // Sources there are Win32 programs; a Qt one finds what it takes for granted as before.
    bWidgets = asked != "0";
#else
    if (asked.isEmpty())
        bWidgets = sourcesNeedWidgets(sourceFolders());
#endif
    if (bWidgets)
        m_pApplication.reset(widgetsApplication(argc, argv));
    if (!m_pApplication)
        m_pApplication.reset(new QCoreApplication(argc, argv));
}

BridgeApplication::~BridgeApplication() = default;

bool BridgeApplication::hasWidgets()
{
    return s_pfnVisibleWindows && QCoreApplication::instance() &&
           QCoreApplication::instance()->inherits("QApplication");
}

QString BridgeApplication::platformName()
{
    return hasWidgets() ? QCoreApplication::instance()->property("platformName").toString() : QString();
}

int BridgeApplication::visibleWindows()
{
    return hasWidgets() ? s_pfnVisibleWindows() : 0;
}

// The Qt platforms to try for sources' dialogs, in order: the one asked for or the display's, and
// the offscreen platform whenever that one cannot start, so that no display ends the bridge.
QByteArray BridgeApplication::dialogPlatforms()
{
    QByteArray platforms = qgetenv("QT_QPA_PLATFORM");
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    if (platforms.isEmpty() && !qEnvironmentVariableIsEmpty("DISPLAY"))
        platforms = "xcb";
    else if (platforms.isEmpty() && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        platforms = "wayland;xcb";
    else if (platforms.isEmpty())
        return "offscreen";
#else
    if (platforms.isEmpty())
        return platforms; // the system's own, which needs no display server
#endif
    if (!platforms.split(';').contains("offscreen"))
        platforms += ";offscreen";
    return platforms;
}

QStringList BridgeApplication::sourceFolders()
{
    // As the DSMs have it: the folder given, else the build's own beside the bridge, the standard
    // folder and the installed prefix's.
    const QString sGiven = qEnvironmentVariable("PELIRAND_TWAIN_DIR");
    if (!sGiven.isEmpty())
        return {sGiven};
    const QString sProgram = programFolder();
    return {sProgram + QStringLiteral("/twain_32"), QStringLiteral(PELIRAND_STANDARD_TWAINDIR),
            QDir::cleanPath(sProgram + QStringLiteral("/" PELIRAND_BIN_TO_TWAINDIR))};
}

bool BridgeApplication::sourcesNeedWidgets(const QStringList& lstFolders)
{
#ifdef Q_OS_UNIX
    for (const QString& sFolder : lstFolders) {
        QDirIterator it(sFolder, {QStringLiteral("*.ds")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString sFile = it.next();
            if (needsWidgets(sFile)) {
                logPrintf("%s is built with Qt Widgets: the bridge loads them", sFile.toUtf8().constData());
                return true;
            }
        }
    }
    return false;
#else
    Q_UNUSED(lstFolders);
    return true;
#endif
}
