#include "app/commandline.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "twain/dsmlib.h"

#include <pelirand/version.h>

namespace {

const char* const kUsage =
    "Usage: pelirand SERVER-NAME\n"
    "  or:  pelirand --help | --version\n"
    "\n"
    "The TWAIN bridge. A scanning application starts it with the name of the\n"
    "application's local IPC server as its one argument; pelirand connects to\n"
    "that server, greets it with the name of a server of its own, and then loads\n"
    "the TWAIN Data Source Manager (DSM), relays TWAIN calls and capability reads\n"
    "and writes, runs the image transfers and hands every image over as a file,\n"
    "as the application asks. It is not meant to be run by hand: the client\n"
    "library and pelirand-scan(1) start it.\n"
    "\n"
    "Options:\n"
    "  -h, --help     Shows this help and exits.\n"
    "  -v, --version  Shows the version and exits.\n"
    "\n"
    "Environment:\n"
    "  PELIRAND_TWAIN_DIR       The folder in which the stand-in DSM that comes with\n"
    "                           pelirand looks for sources (*.ds, also in subfolders),\n"
    "                           instead of twain_32/ beside itself. Other DSMs keep\n"
    "                           their own folder; on Linux /usr/local/lib/twain.\n"
    "  PELIRAND_DEFAULT_SOURCE  The product name of the source that the stand-in DSM\n"
    "                           offers as its default.\n"
    "  PELIRAND_SANE_DEVICE     The SANE device the source \"pelirand SANE Scanner\"\n"
    "                           opens. Default: the first SANE lists.\n"
    "  PELIRAND_SANE_LIBRARY    The SANE library that source loads (default\n"
    "                           libsane.so.1).\n"
    "  TMPDIR                   Where the private folder of the image files is\n"
    "                           made (default /tmp). Its local socket may be in\n"
    "                           XDG_RUNTIME_DIR when the path is too long there.\n"
    "  DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM\n"
    "                           Where a source's Qt dialog shows. Without a\n"
    "                           display, or when it cannot be reached, the bridge\n"
    "                           runs on Qt's offscreen platform and logs why.\n"
    "  PELIRAND_WIDGETS         1 loads Qt Widgets (for a source's Qt dialog) at\n"
    "                           start, 0 never; by default only when a source in\n"
    "                           the DSMs' folders is built with Qt Gui or Widgets.\n"
    "  PELIRAND_LOG             The log file to write instead of the one in the\n"
    "                           documents folder.\n"
    "  HOME, XDG_CONFIG_HOME    The log file goes to the documents folder: ~/Documents\n"
    "                           or the one $XDG_CONFIG_HOME/user-dirs.dirs names.\n"
    "\n"
    "Files:\n"
    "  ~/Documents/vantora-pelirand.log\n"
    "                           The log (unless PELIRAND_LOG names another): each\n"
    "                           command, TWAIN call and transfer.\n"
    "  TWAINDSM.dll, TWAIN_32.dll\n"
    "                           The DSM the application asks for, looked for beside\n"
    "                           pelirand first, then in the library path.\n"
    "\n"
    "Exit status:\n"
    "  0 after the application ended the bridge; 255 without a server name;\n"
    "  254 when its own server did not start; 251 when it could not connect to\n"
    "  the application's server.\n";

// The DSM this pelirand would load, so that a user who wonders which one is
// used can tell. A manual describes no machine: help2man asks for it without.
void printLoadedDsm()
{
    const char* pszManual = std::getenv("PELIRAND_HELP_FOR_MANUAL");
    if (pszManual && *pszManual)
        return;
    std::string sName;
    std::string sFile;
    std::fputs("\nDSM here:\n", stdout);
    if (ProbeDSMLib(DSMLibName(0), &sName, &sFile))
        std::printf("  %s, %s\n", sName.c_str(), sFile.empty() ? "file unknown" : sFile.c_str());
    else
        std::printf("  none loads: reinstall pelirand (its package holds a DSM of its own, %s)\n",
                    OwnDSMFile().c_str());
}

bool is(const char* arg, const char* shortName, const char* longName)
{
    return std::strcmp(arg, shortName) == 0 || std::strcmp(arg, longName) == 0;
}

} // namespace

int handleInfoOptions(int argc, char* argv[])
{
    if (argc != 2 || !argv[1])
        return -1;
    if (is(argv[1], "-h", "--help")) {
        std::fputs(kUsage, stdout);
        printLoadedDsm();
        return 0;
    }
    if (is(argv[1], "-v", "--version")) {
        std::printf("pelirand %s\n", PELIRAND_VERSION_STRING);
        return 0;
    }
    return -1;
}
