#pragma once

// The signals that end a scan in order (SIGINT, SIGTERM, SIGHUP): the handler
// tells on standard error that the scan is being cancelled, writes the
// signal's number to a pipe, which wakes the event loop, and arms an alarm; a second signal, or the alarm, kills the bridge at once, so
// that a hung driver cannot keep pelirand-scan from ending.
//
// One object at a time (the handlers are the process's); main thread only.

#include <QObject>

class QSocketNotifier;

namespace pelirand {

class ScanSignals : public QObject
{
    Q_OBJECT

public:
    explicit ScanSignals(QObject* pParent = nullptr);
    ~ScanSignals() override;

    // Takes over the signals; false when the pipe cannot be made (then they keep their default).
    bool install();
    // Gives them back; also done when the object goes.
    void remove();
    // The bridge a second signal kills; 0 when there is none (the alarm is off then too).
    void setBridgeProcess(qint64 nPid);
    // The signals received so far (the handler counts them, so a main thread that was busy still knows).
    static int count();

signals:
    // A signal arrived (each one, the first and any after it).
    void received(int iSignal);

private slots:
    void on_readable();

private:
    QSocketNotifier* m_pNotifier = nullptr;
};

} // namespace pelirand
