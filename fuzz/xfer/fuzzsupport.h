#pragma once

// Keeps the fuzz targets quiet and their log out of the way: every log line
// goes to a file that cannot be created, and Qt's messages are dropped.

#include <QString>
#include <QtGlobal>

#include "diag/log.h"

inline void quietLogging()
{
    static QString s_sPath = QStringLiteral("/nonexistent-pelirand-fuzz/xfer.log");
    g_pLogFilePath = &s_sPath;
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
}
