#include "client/scan/scanconsole.h"

#include <cstdio>

#include "twain/twain.h"

namespace pelirand {

int scanFailure(int iExit, const QString& sWhy)
{
    std::fprintf(stderr, "pelirand-scan: %s\n", qUtf8Printable(sWhy));
    return iExit;
}

QString saneNetHost(const QString& sDevice)
{
    if (!sDevice.startsWith(QLatin1String("net:")))
        return QString();
    const QString sRest = sDevice.mid(4);
    if (sRest.startsWith(QLatin1Char('['))) {
        // An IPv6 address keeps its colons inside brackets.
        const int iEnd = sRest.indexOf(QLatin1Char(']'));
        return iEnd > 1 ? sRest.mid(1, iEnd - 1) : QString();
    }
    return sRest.section(QLatin1Char(':'), 0, 0);
}

QString conditionSentence(quint16 conditionCode, const QString& sDevice)
{
    switch (conditionCode) {
    case TWCC_SUCCESS:
        // Asked for a failure, this code means the source said nothing about it.
        return QStringLiteral("the scanner gave no reason");
    case TWCC_PAPERJAM:
        return QStringLiteral("paper jam in the feeder");
    case TWCC_PAPERDOUBLEFEED:
        return QStringLiteral("the feeder took two sheets at once");
    case TWCC_INTERLOCK:
        return QStringLiteral("the scanner's cover is open");
    case TWCC_NOMEDIA:
        return QStringLiteral("no paper in the feeder");
    case TWCC_CHECKDEVICEONLINE:
        if (!saneNetHost(sDevice).isEmpty())
            return QStringLiteral("lost the connection to the scanner at %1").arg(saneNetHost(sDevice));
        return QStringLiteral("the scanner is not connected or switched off");
    case TWCC_MAXCONNECTIONS:
        return QStringLiteral("the scanner is busy: another program is using it");
    case TWCC_LOWMEMORY:
        return QStringLiteral("not enough memory for the scan");
    case TWCC_DENIED:
        return QStringLiteral("access to the scanner was denied (see the device's permissions)");
    case TWCC_DAMAGEDCORNER:
        return QStringLiteral("a sheet has a damaged corner");
    case TWCC_FOCUSERROR:
        return QStringLiteral("the scanner could not focus");
    case TWCC_DOCTOOLIGHT:
        return QStringLiteral("the page is too light to scan");
    case TWCC_DOCTOODARK:
        return QStringLiteral("the page is too dark to scan");
    case TWCC_FILEWRITEERROR:
        return QStringLiteral("the scanner could not write its file (is the disk full?)");
    case TWCC_BADVALUE:
        return QStringLiteral("the scanner refused a value it was given");
    case TWCC_CAPUNSUPPORTED:
    case TWCC_BADPROTOCOL:
    case TWCC_BADCAP:
        return QStringLiteral("the scanner does not support that");
    case TWCC_OPERATIONERROR: {
        // A SANE network device fails this way when its server went away.
        const QString sHost = saneNetHost(sDevice);
        if (!sHost.isEmpty())
            return QStringLiteral("lost the connection to the scanner at %1").arg(sHost);
        return QStringLiteral("the scanner failed (a device or connection error)");
    }
    case TWCC_BUMMER:
        return QStringLiteral("the scanner failed");
    default:
        return QString();
    }
}

QString plainFailure(const TwainResult& result, const QString& sFallback, bool bVerbose, const QString& sDevice)
{
    QString sWhy = result.hasConditionCode() ? conditionSentence(result.conditionCode(), sDevice) : QString();
    if (sWhy.isEmpty())
        sWhy = sFallback;
    if (bVerbose)
        sWhy += QStringLiteral(" (%1)").arg(result.message());
    return sWhy;
}

void scanVerbose(bool bVerbose, const QString& sLine)
{
    if (bVerbose)
        std::fprintf(stderr, "pelirand-scan: %s\n", qUtf8Printable(sLine));
}

} // namespace pelirand
