#include "ipc/vantipcsettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QScopedPointer>
#include <QSettings>
#include <QStringList>

#include "protocol/naming.h"

namespace VantHelper {

namespace {

const QString kKeyServers = QStringLiteral("IPCServers");
const QString kKeyCurrentVersion = QStringLiteral("CurrentVersion");
const QString kKeyExePath = QStringLiteral("ExePath");

} // namespace

QSettings* openSettings(const QString& sServerPrg, const QString& sSubKey)
{
    const QString sApplication = sSubKey.isEmpty() ? sServerPrg : sServerPrg + QLatin1Char('\\') + sSubKey;
    return new QSettings(protocol::organisation(), sApplication);
}

void registerServerVersion(const QString& sServerPrg, const QString& sVersion)
{
    {
        QScopedPointer<QSettings> pSettings(openSettings(sServerPrg, QString()));
        QStringList lstVersions =
            pSettings->value(kKeyServers, QString()).toString().split(QLatin1Char(','), Qt::SkipEmptyParts);
        if (!lstVersions.contains(sVersion)) {
            lstVersions.append(sVersion);
            pSettings->setValue(kKeyServers, lstVersions.join(QLatin1Char(',')));
        }
        pSettings->setValue(kKeyCurrentVersion, sVersion);
    }
    QScopedPointer<QSettings> pSettings(openSettings(sServerPrg, sVersion));
    pSettings->setValue(kKeyExePath, QDir::toNativeSeparators(QCoreApplication::applicationFilePath()));
}

QString readServerVersion(const QString& sServerPrg)
{
    QScopedPointer<QSettings> pSettings(openSettings(sServerPrg, QString()));
    return pSettings->value(kKeyCurrentVersion, QString()).toString();
}

} // namespace VantHelper
