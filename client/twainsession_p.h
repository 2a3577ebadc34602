#pragma once

// The inside of a TwainSession: the state as the bridge last reported it, the
// open source, the batch being collected and the settings read back. Not an
// installed header. Threads: the session's thread only.

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QStringList>

#include "client/bridge_p.h"
#include "pelirand/twainsession.h"

namespace pelirand {

class TwainSessionPrivate
{
public:
    TwainSessionPrivate(TwainSession* q, Bridge& bridge) : q(q), m_bridge(bridge) {}

    // The bridge's commands.
    BridgePrivate* commands() { return BridgePrivate::get(m_bridge); }

    TwainResult sourceCall(quint32 dg, quint16 dat, quint16 msg, const QByteArray& block);
    TwainResult needSource(const QString& sOperation) const;
    void addConditionCode(TwainResult& result);
    void noteState(const TwainResult& result);
    TwainResult endTransfers();
    void settleBatch();
    void finishBatch();
    bool isBridgeTemporary(const QString& sFileName) const;
    void updateActivity();

    void onMessageRelayed(uint uiMsg, uint uiState);
    void onImageFileReceived(int iId, const QString& sFileName);
    void onSourceFaults(const QStringList& lstFaults);
    void onImageFailed(int iPage, const QString& sWhy);

    TwainSession* const q;
    Bridge& m_bridge;
    uint m_uiState = 1;
    SourceIdentity m_source;
    bool m_bShowUI = false;
    bool m_bModalUI = false;
    bool m_bCollect = true;
    bool m_bMapImages = false;
    quint16 m_mechanism = Twain::NativeTransfer;
    BatchResult m_current;
    QList<BatchResult> m_lstFinished;
    bool m_bSettling = false;
    bool m_bWaiting = false;
    QList<BatchResult> m_lstAfterBatch; // close requests that came during the batch's settling
    QStringList m_lstDifferences;
    QHash<quint16, double> m_hashReadBack;
    QElapsedTimer m_lastWatch; // the last check that the bridge still answers
};

} // namespace pelirand
