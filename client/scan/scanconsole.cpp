#include "client/scan/scanconsole.h"

#include <cstdio>

namespace pelirand {

int scanFailure(int iExit, const QString& sWhy)
{
    std::fprintf(stderr, "pelirand-scan: %s\n", qUtf8Printable(sWhy));
    return iExit;
}

void scanVerbose(bool bVerbose, const QString& sLine)
{
    if (bVerbose)
        std::fprintf(stderr, "pelirand-scan: %s\n", qUtf8Printable(sLine));
}

} // namespace pelirand
