#include "pelirand/twainresult.h"

#include "diag/twnames.h"

namespace pelirand {

TwainResult TwainResult::ok(const QString& sOperation, quint16 rc)
{
    TwainResult result;
    result.m_kind = Ok;
    result.m_sOperation = sOperation;
    result.m_rc = rc;
    result.m_sReason.clear();
    return result;
}

TwainResult TwainResult::twainFailed(const QString& sOperation, quint16 rc)
{
    TwainResult result;
    result.m_kind = TwainFailed;
    result.m_sOperation = sOperation;
    result.m_rc = rc;
    result.m_sReason.clear();
    return result;
}

TwainResult TwainResult::bridgeLost(const QString& sOperation, const QString& sWhy)
{
    TwainResult result;
    result.m_kind = BridgeLost;
    result.m_sOperation = sOperation;
    result.m_sReason = sWhy;
    return result;
}

TwainResult TwainResult::refused(const QString& sOperation, const QString& sWhy)
{
    TwainResult result;
    result.m_kind = Refused;
    result.m_sOperation = sOperation;
    result.m_sReason = sWhy;
    return result;
}

QString TwainResult::returnCodeName() const
{
    return QString::fromLatin1(TwrcName(m_rc));
}

QString TwainResult::conditionCodeName() const
{
    return m_bHasCc ? pelirand::conditionCodeName(m_cc) : QString();
}

QString conditionCodeName(quint16 conditionCode)
{
    return QString::fromLatin1(TwccName(conditionCode));
}

void TwainResult::setConditionCode(quint16 cc)
{
    m_cc = cc;
    m_bHasCc = true;
}

void TwainResult::setState(quint16 state)
{
    m_state = state;
    m_bHasState = true;
}

QString TwainResult::message() const
{
    switch (m_kind) {
    case Ok:
        return QStringLiteral("%1: %2 (%3)").arg(m_sOperation, returnCodeName()).arg(m_rc);
    case TwainFailed: {
        QString sText = QStringLiteral("%1 failed: %2 (%3)").arg(m_sOperation, returnCodeName()).arg(m_rc);
        // A failure is never put down to a success code: without one the scanner gave no reason.
        if (m_bHasCc && m_cc == 0) // TWCC_SUCCESS
            sText += QStringLiteral(", the scanner gave no reason");
        else if (m_bHasCc)
            sText += QStringLiteral(", condition %1 (%2)").arg(conditionCodeName()).arg(m_cc);
        if (m_bHasState)
            sText += QStringLiteral(", state %1").arg(m_state);
        if (!m_sReason.isEmpty())
            sText += QStringLiteral(": ") + m_sReason;
        return sText;
    }
    case BridgeLost:
    case Refused:
        break;
    }
    return QStringLiteral("%1 failed: %2").arg(m_sOperation, m_sReason);
}

} // namespace pelirand
