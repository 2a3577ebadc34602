// Feeds arbitrary bytes to the server's side of a connection: frame by frame, each payload decoded as a
// request, as VantIPCServer does with what a peer sends.

#include "ipc/vantipccommand.h"
#include "ipc/vantipcwire.h"

#include <QBuffer>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace VantHelper;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    const QByteArray stream = QByteArray::fromRawData(reinterpret_cast<const char*>(pData), int(nSize));
    QBuffer connection;
    connection.setData(stream);
    connection.open(QIODevice::ReadOnly);

    while (connection.bytesAvailable() > 0) {
        QByteArray payload;
        // A buffer never grows: an incomplete frame ends the connection as a closing peer would.
        if (readFrame(&connection, payload) != FrameWait::Ready)
            break;
        VantIPCCommand cmd;
        decodeRequest(payload, cmd);

        // What was decoded must survive a round trip unchanged, byte for byte.
        const QByteArray once = encodeRequest(cmd);
        VantIPCCommand again;
        if (!decodeRequest(once, again) || encodeRequest(again) != once)
            std::abort();

        cmd.iResult = cmd.iCmd;
        cmd.lstResults = cmd.lstParams;
        encodeReply(cmd);
    }
    return 0;
}
