#pragma once

#include <QByteArray>
#include <QList>
#include <QVariant>

namespace VantHelper {

// One command and, once executed, its reply. The sender fills the request half; only that half travels
// to the executing side, and only the reply half comes back.
struct VantIPCCommand
{
    qint32 iCmd = 0;
    QList<QVariant> lstParams;
    qint32 iResult = 0;
    QList<QVariant> lstResults;
};

// Payload of a frame: a 32-bit integer, then a list of values, in QDataStream format (version 17,
// big-endian).
QByteArray encodePayload(qint32 iValue, const QList<QVariant>& lstValues);

// Decodes a payload without touching any device, so that every byte a peer can send is checked here.
// iValue is 0 when the payload is too short to hold it. lstValues is emptied first and stays empty
// unless the whole list decodes; the result tells whether it did. Only integers of every width, bool,
// double, QString and QByteArray are accepted as elements. Bytes after the list are ignored.
bool decodePayload(const QByteArray& payload, qint32& iValue, QList<QVariant>& lstValues);

inline QByteArray encodeRequest(const VantIPCCommand& cmd)
{
    return encodePayload(cmd.iCmd, cmd.lstParams);
}

inline QByteArray encodeReply(const VantIPCCommand& cmd)
{
    return encodePayload(cmd.iResult, cmd.lstResults);
}

inline bool decodeRequest(const QByteArray& payload, VantIPCCommand& cmd)
{
    return decodePayload(payload, cmd.iCmd, cmd.lstParams);
}

inline bool decodeReply(const QByteArray& payload, VantIPCCommand& cmd)
{
    return decodePayload(payload, cmd.iResult, cmd.lstResults);
}

} // namespace VantHelper
