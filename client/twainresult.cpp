#include "pelirand/twainresult.h"

#include "diag/twnames.h"

namespace pelirand {

class TwainResultPrivate : public QSharedData
{
public:
    TwainResult::Kind kind = TwainResult::Refused;
    QString operation;
    quint16 rc = 1;
    quint16 cc = 0;
    bool hasCc = false;
    quint16 state = 0;
    bool hasState = false;
    QByteArray data;
    QString reason = QStringLiteral("nothing was done");
};

TwainResult::TwainResult() : d(new TwainResultPrivate) {}
TwainResult::TwainResult(const TwainResult& other) = default;
TwainResult::TwainResult(TwainResult&& other) noexcept = default;
TwainResult& TwainResult::operator=(const TwainResult& other) = default;
TwainResult& TwainResult::operator=(TwainResult&& other) noexcept = default;
TwainResult::~TwainResult() = default;

TwainResult TwainResult::ok(const QString& sOperation, quint16 rc)
{
    TwainResult result;
    result.d->kind = Ok;
    result.d->operation = sOperation;
    result.d->rc = rc;
    result.d->reason.clear();
    return result;
}

TwainResult TwainResult::twainFailed(const QString& sOperation, quint16 rc)
{
    TwainResult result;
    result.d->kind = TwainFailed;
    result.d->operation = sOperation;
    result.d->rc = rc;
    result.d->reason.clear();
    return result;
}

TwainResult TwainResult::bridgeLost(const QString& sOperation, const QString& sWhy)
{
    TwainResult result;
    result.d->kind = BridgeLost;
    result.d->operation = sOperation;
    result.d->reason = sWhy;
    return result;
}

TwainResult TwainResult::refused(const QString& sOperation, const QString& sWhy)
{
    TwainResult result;
    result.d->kind = Refused;
    result.d->operation = sOperation;
    result.d->reason = sWhy;
    return result;
}

TwainResult::Kind TwainResult::kind() const
{
    return d->kind;
}

QString TwainResult::operation() const
{
    return d->operation;
}

quint16 TwainResult::returnCode() const
{
    return d->rc;
}

bool TwainResult::hasConditionCode() const
{
    return d->hasCc;
}

quint16 TwainResult::conditionCode() const
{
    return d->cc;
}

bool TwainResult::hasState() const
{
    return d->hasState;
}

quint16 TwainResult::state() const
{
    return d->state;
}

QByteArray TwainResult::data() const
{
    return d->data;
}

QString TwainResult::reason() const
{
    return d->reason;
}

void TwainResult::setReason(const QString& reason)
{
    d->reason = reason;
}

void TwainResult::setData(const QByteArray& data)
{
    d->data = data;
}

void TwainResult::setOperation(const QString& operation)
{
    d->operation = operation;
}

QString TwainResult::returnCodeName() const
{
    return QString::fromLatin1(TwrcName(d->rc));
}

QString TwainResult::conditionCodeName() const
{
    return d->hasCc ? pelirand::conditionCodeName(d->cc) : QString();
}

QString conditionCodeName(quint16 conditionCode)
{
    return QString::fromLatin1(TwccName(conditionCode));
}

void TwainResult::setConditionCode(quint16 cc)
{
    d->cc = cc;
    d->hasCc = true;
}

void TwainResult::setState(quint16 state)
{
    d->state = state;
    d->hasState = true;
}

QString TwainResult::message() const
{
    switch (d->kind) {
    case Ok:
        return QStringLiteral("%1: %2 (%3)").arg(d->operation, returnCodeName()).arg(d->rc);
    case TwainFailed: {
        QString sText = QStringLiteral("%1 failed: %2 (%3)").arg(d->operation, returnCodeName()).arg(d->rc);
        // A failure is never put down to a success code: without one the scanner gave no reason.
        if (d->hasCc && d->cc == 0) // TWCC_SUCCESS
            sText += QStringLiteral(", the scanner gave no reason");
        else if (d->hasCc)
            sText += QStringLiteral(", condition %1 (%2)").arg(conditionCodeName()).arg(d->cc);
        if (d->hasState)
            sText += QStringLiteral(", state %1").arg(d->state);
        if (!d->reason.isEmpty())
            sText += QStringLiteral(": ") + d->reason;
        return sText;
    }
    case BridgeLost:
    case Refused:
        break;
    }
    return QStringLiteral("%1 failed: %2").arg(d->operation, d->reason);
}

} // namespace pelirand
