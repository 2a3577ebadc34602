#pragma once

// What pelirand-scan shows while pages arrive: one line per page, and on a
// terminal a live bar beneath them.

#include <QElapsedTimer>
#include <QString>
#include <QTimer>

#include <cstdio>

namespace pelirand {

class ScanProgress : public QObject
{
    Q_OBJECT

public:
    // iExpected < 0: the number of pages is not known in advance. out null: silent.
    ScanProgress(std::FILE* out, bool bTerminal, int iExpected);

    void start();
    // A page has arrived and was written: its line, and the bar moves on.
    void page(qint64 nBytes, const QString& sLine);
    // A line that is not a page (a note while scanning).
    void note(const QString& sLine);
    void stop();
    // The bar goes away while pelirand-scan asks something (the clock runs on), and comes back.
    void pause();
    void resume();

    int pages() const { return m_nPages; }
    qint64 bytes() const { return m_nBytes; }
    double seconds() const;

private slots:
    void on_tick();

private:
    void clearBar();
    void drawBar();

    std::FILE* m_out;
    bool m_bTerminal;
    int m_iExpected;
    int m_nPages = 0;
    qint64 m_nBytes = 0;
    int m_nTicks = 0;
    bool m_bBarShown = false;
    QElapsedTimer m_clock;
    qint64 m_nStoppedMs = -1;
    QTimer m_timer;
};

// "1.5 MB", "740 KB", "12 bytes".
QString formatBytes(qint64 nBytes);

} // namespace pelirand
