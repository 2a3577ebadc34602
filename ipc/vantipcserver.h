#pragma once

#include "ipc/vantipccommand.h"

#include <QObject>
#include <QString>

class QLocalServer;

namespace VantHelper {

// Accepts the peer's connections on a named local endpoint, hands every command that arrives to the
// receiver of si_execCommand and sends the receiver's answer back on the same connection.
class VantIPCServer : public QObject
{
    Q_OBJECT

public:
    VantIPCServer(const QString& sServerPrg, const QString& sVersion, QObject* parent = nullptr);
    ~VantIPCServer() override;

    // Takes effect at the next startServer; registers nothing.
    void setServerPrg(const QString& sServerPrg);
    bool startServer();
    QString lastError() const;

signals:
    // The receiver must be connected directly: it fills cmd.iResult and cmd.lstResults before returning.
    void si_execCommand(VantHelper::VantIPCCommand& cmd);

protected slots:
    void on_newConnection();
    void on_handleIncomingData();

protected:
    QString m_sServerPrg;
    QString m_sVersion;
    QLocalServer* m_pServer;
    QString m_sLastError;

private:
    void registerServer();
};

} // namespace VantHelper
