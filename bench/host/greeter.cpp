// A bare Qt process that does what the bridge does before its greeting and nothing else: connects to
// the server named as its argument and sends one greeting frame; it ends when the connection does.
// With --print it prints a line and ends at once (the floor of a process's end).

#include <QCoreApplication>
#include <QLocalSocket>

#include <cstdio>

#include "ipc/vantipccommand.h"
#include "ipc/vantipcwire.h"
#include "protocol/naming.h"

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    if (qstrcmp(argv[1], "--print") == 0) {
        std::printf("done\n");
        std::fflush(stdout);
        return 0;
    }
    QLocalSocket socket;
    socket.connectToServer(VantHelper::makeServerName(QString::fromUtf8(argv[1]), protocol::serverVersion()));
    if (!socket.waitForConnected(5000))
        return 1;
    VantHelper::VantIPCCommand hello;
    hello.iCmd = 1;
    hello.lstParams = {QStringLiteral("pelirand00000000")};
    VantHelper::writeFrame(&socket, VantHelper::encodeRequest(hello));
    QObject::connect(&socket, &QLocalSocket::disconnected, &app, &QCoreApplication::quit);
    return app.exec();
}
