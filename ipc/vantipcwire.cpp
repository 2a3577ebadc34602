#include "ipc/vantipcwire.h"

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QtEndian>

#include <algorithm>

#include "protocol/naming.h"

namespace VantHelper {

namespace {

constexpr int kLengthSize = 4;

// True when no more bytes can come from the device.
bool connectionGone(QIODevice* device)
{
    if (!device->isOpen())
        return true;
    if (auto* pLocal = qobject_cast<QLocalSocket*>(device))
        return pLocal->state() != QLocalSocket::ConnectedState;
    if (auto* pSocket = qobject_cast<QAbstractSocket*>(device))
        return pSocket->state() != QAbstractSocket::ConnectedState;
    // Any other device that has no more to give now never will.
    return true;
}

// Waits for the bytes of one frame. The clock starts with the frame's first byte.
class FrameWaiter
{
public:
    FrameWaiter(QIODevice* device, int iStallMs, bool bAwaitReply) : m_pDevice(device), m_iStallMs(iStallMs)
    {
        if (!bAwaitReply || device->bytesAvailable() > 0)
            m_timer.start();
    }

    FrameWait waitFor(qint64 nBytes)
    {
        qint64 nHave = m_pDevice->bytesAvailable();
        while (nHave < nBytes) {
            int iStepMs = kFrameStallMs;
            if (m_timer.isValid()) {
                const qint64 nLeftMs = m_iStallMs - m_timer.elapsed();
                if (nLeftMs <= 0)
                    return FrameWait::Stalled;
                iStepMs = int(qMin<qint64>(nLeftMs, kFrameStallMs));
            }
            m_pDevice->waitForReadyRead(iStepMs);
            const qint64 nNow = m_pDevice->bytesAvailable();
            if (nNow > nHave) {
                if (!m_timer.isValid())
                    m_timer.start();
                nHave = nNow;
            } else if (connectionGone(m_pDevice)) {
                return FrameWait::Closed;
            }
        }
        return FrameWait::Ready;
    }

private:
    QIODevice* m_pDevice;
    int m_iStallMs;
    QElapsedTimer m_timer;
};

} // namespace

QString makeServerName(const QString& sServerPrg, const QString& sVersion)
{
    return protocol::endpointName(sServerPrg, sVersion);
}

void writeFrame(QLocalSocket* socket, const QByteArray& payload)
{
    QByteArray frame(kLengthSize + payload.size(), Qt::Uninitialized);
    qToLittleEndian<qint32>(payload.size(), frame.data());
    std::copy(payload.constBegin(), payload.constEnd(), frame.begin() + kLengthSize);
    socket->write(frame);
    socket->flush();
}

FrameWait waitForFrame(QIODevice* device, qint32* pnLength, int iStallMs, bool bAwaitReply)
{
    FrameWaiter waiter(device, iStallMs, bAwaitReply);
    FrameWait result = waiter.waitFor(kLengthSize);
    if (result != FrameWait::Ready)
        return result;
    char prefix[kLengthSize];
    if (device->read(prefix, kLengthSize) != kLengthSize)
        return FrameWait::Closed;
    const qint32 nLength = qFromLittleEndian<qint32>(prefix);
    if (nLength < 0 || nLength > kMaxFrameLength)
        return FrameWait::BadLength;
    result = waiter.waitFor(nLength);
    if (result == FrameWait::Ready && pnLength)
        *pnLength = nLength;
    return result;
}

FrameWait readFrame(QIODevice* device, QByteArray& payload, int iStallMs, bool bAwaitReply)
{
    qint32 nLength = 0;
    const FrameWait result = waitForFrame(device, &nLength, iStallMs, bAwaitReply);
    if (result != FrameWait::Ready)
        return result;
    payload = device->read(nLength);
    return payload.size() == nLength ? FrameWait::Ready : FrameWait::Closed;
}

} // namespace VantHelper
