#pragma once

// The outcome of one operation through the bridge: whether a reply came, the
// TWAIN return code and, where known, the condition code and state, each with
// its name, and the data block the call left.

#include <QByteArray>
#include <QMetaType>
#include <QSharedDataPointer>
#include <QString>

#include "pelirand/global.h"

namespace pelirand {

class TwainResultPrivate;

class PELIRAND_EXPORT TwainResult
{
public:
    enum Kind
    {
        Ok,          // the operation succeeded
        TwainFailed, // the bridge answered with a return code other than success
        BridgeLost,  // no reply: the bridge is gone or the connection broke
        Refused,     // the library refused the operation (bad argument, nothing open, ...)
    };

    // Refused, with the reason "nothing was done".
    TwainResult();
    TwainResult(const TwainResult& other);
    TwainResult(TwainResult&& other) noexcept;
    TwainResult& operator=(const TwainResult& other);
    TwainResult& operator=(TwainResult&& other) noexcept;
    ~TwainResult();

    static TwainResult ok(const QString& operation, quint16 rc = 0);
    static TwainResult twainFailed(const QString& operation, quint16 rc);
    static TwainResult bridgeLost(const QString& operation, const QString& why);
    static TwainResult refused(const QString& operation, const QString& why);

    Kind kind() const;
    bool isOk() const { return kind() == Ok; }
    explicit operator bool() const { return isOk(); }

    // What was attempted, e.g. "DG_CONTROL / DAT_IDENTITY / MSG_OPENDS".
    QString operation() const;
    // TWRC_ code (the bridge's iResult).
    quint16 returnCode() const;
    QString returnCodeName() const;
    bool hasConditionCode() const;
    quint16 conditionCode() const;
    QString conditionCodeName() const;
    bool hasState() const;
    quint16 state() const;
    // The data block after the call (cmdTwainCmd), or the value of a capability read.
    QByteArray data() const;
    // Why the bridge was lost or the library refused; for a TWAIN failure an
    // optional explanation.
    QString reason() const;
    void setReason(const QString& reason);

    void setConditionCode(quint16 cc);
    void setState(quint16 state);
    void setData(const QByteArray& data);
    void setOperation(const QString& operation);

    // One line: "<operation> failed: TWRC_FAILURE (1), condition TWCC_NODS (3), state 3",
    // followed by the explanation if there is one.
    QString message() const;

private:
    // Shared between copies until one of them changes.
    QSharedDataPointer<TwainResultPrivate> d;
};

// A TWAIN condition code by name ("TWCC_NODS"); a code without one is named by its number.
PELIRAND_EXPORT QString conditionCodeName(quint16 conditionCode);

} // namespace pelirand

Q_DECLARE_METATYPE(pelirand::TwainResult)
