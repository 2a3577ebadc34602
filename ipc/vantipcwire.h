#pragma once

#include <QByteArray>
#include <QString>

class QIODevice;
class QLocalSocket;

namespace VantHelper {

// Largest payload accepted from a peer: far above any TWAIN data block, small enough that a length
// prefix alone cannot make the process reserve unbounded memory.
constexpr qint32 kMaxFrameLength = 64 * 1024 * 1024;

// How long the bytes of one frame may take to arrive, counted from its first byte.
constexpr int kFrameStallMs = 30000;

enum class FrameWait
{
    Ready,     // the whole payload can be read
    Closed,    // the connection ended before the frame was complete
    Stalled,   // the frame was not complete within the allowed time
    BadLength, // the length prefix is negative or above kMaxFrameLength
};

// Full local-socket name of the server of program sServerPrg in version sVersion. An absolute program
// name (a folder, then the program) gives an endpoint in that folder.
QString makeServerName(const QString& sServerPrg, const QString& sVersion);

// Sends one frame: the payload's length (32 bits, little-endian), then the payload.
void writeFrame(QLocalSocket* socket, const QByteArray& payload);

// Consumes the length prefix of the next frame and returns once its whole payload can be read, or as
// soon as the frame can no longer be completed: the connection ended, the length is out of range, or
// the frame took longer than iStallMs from its first byte. With bAwaitReply the wait for that first
// byte is unbounded while the connection lives, since the peer may execute a request for as long as it
// needs. pnLength receives the payload length when the result is Ready.
FrameWait waitForFrame(QIODevice* device, qint32* pnLength = nullptr, int iStallMs = kFrameStallMs,
                       bool bAwaitReply = false);

// waitForFrame, then reads the payload, so that every byte of the frame is consumed whatever decoding
// later makes of it.
FrameWait readFrame(QIODevice* device, QByteArray& payload, int iStallMs = kFrameStallMs,
                    bool bAwaitReply = false);

} // namespace VantHelper
