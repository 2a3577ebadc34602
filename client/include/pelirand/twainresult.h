#pragma once

// The outcome of one operation through the bridge: whether a reply came, the
// TWAIN return code and, where known, the condition code and state, each with
// its name, and the data block the call left.

#include <QByteArray>
#include <QMetaType>
#include <QString>

#include "pelirand/global.h"

namespace pelirand {

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

    TwainResult() = default;
    static TwainResult ok(const QString& operation, quint16 rc = 0);
    static TwainResult twainFailed(const QString& operation, quint16 rc);
    static TwainResult bridgeLost(const QString& operation, const QString& why);
    static TwainResult refused(const QString& operation, const QString& why);

    Kind kind() const { return m_kind; }
    bool isOk() const { return m_kind == Ok; }
    explicit operator bool() const { return isOk(); }

    // What was attempted, e.g. "DG_CONTROL / DAT_IDENTITY / MSG_OPENDS".
    QString operation() const { return m_sOperation; }
    // TWRC_ code (the bridge's iResult).
    quint16 returnCode() const { return m_rc; }
    QString returnCodeName() const;
    bool hasConditionCode() const { return m_bHasCc; }
    quint16 conditionCode() const { return m_cc; }
    QString conditionCodeName() const;
    bool hasState() const { return m_bHasState; }
    quint16 state() const { return m_state; }
    // The data block after the call (cmdTwainCmd), or the value of a capability read.
    QByteArray data() const { return m_data; }
    // Why the bridge was lost or the library refused; for a TWAIN failure an
    // optional explanation.
    QString reason() const { return m_sReason; }
    void setReason(const QString& reason) { m_sReason = reason; }

    void setConditionCode(quint16 cc);
    void setState(quint16 state);
    void setData(const QByteArray& data) { m_data = data; }
    void setOperation(const QString& operation) { m_sOperation = operation; }

    // One line: "<operation> failed: TWRC_FAILURE (1), condition TWCC_NODS (3), state 3",
    // followed by the explanation if there is one.
    QString message() const;

private:
    Kind m_kind = Refused;
    QString m_sOperation;
    quint16 m_rc = 1;
    quint16 m_cc = 0;
    bool m_bHasCc = false;
    quint16 m_state = 0;
    bool m_bHasState = false;
    QByteArray m_data;
    QString m_sReason = QStringLiteral("nothing was done");
};

// A TWAIN condition code by name ("TWCC_NODS"); a code without one is named by its number.
PELIRAND_EXPORT QString conditionCodeName(quint16 conditionCode);

} // namespace pelirand

Q_DECLARE_METATYPE(pelirand::TwainResult)
