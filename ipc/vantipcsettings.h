#pragma once

#include <QString>

class QSettings;

namespace VantHelper {

// Settings of program sServerPrg, or of its sub-key sSubKey when that is not empty. The caller deletes
// the object, which writes pending changes.
QSettings* openSettings(const QString& sServerPrg, const QString& sSubKey);

// Records that a server of program sServerPrg in version sVersion exists and which executable runs it.
void registerServerVersion(const QString& sServerPrg, const QString& sVersion);

// The version that program sServerPrg registered last; empty if it never did.
QString readServerVersion(const QString& sServerPrg);

} // namespace VantHelper
