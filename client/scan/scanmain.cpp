// pelirand-scan: the command-line scanner on top of the main application's library.

#include <QCoreApplication>

#include "client/scan/scancommand.h"

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pelirand-scan"));
    pelirand::ScanCommand command;
    return command.run(QCoreApplication::arguments());
}
