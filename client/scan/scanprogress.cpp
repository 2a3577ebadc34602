#include "client/scan/scanprogress.h"

namespace pelirand {

namespace {

constexpr int kBarWidth = 30;
constexpr int kTickMs = 200;

} // namespace

QString formatBytes(qint64 nBytes)
{
    if (nBytes >= 1024 * 1024)
        return QStringLiteral("%1 MB").arg(double(nBytes) / (1024.0 * 1024.0), 0, 'f', 1);
    if (nBytes >= 1024)
        return QStringLiteral("%1 KB").arg(double(nBytes) / 1024.0, 0, 'f', 1);
    return QStringLiteral("%1 bytes").arg(nBytes);
}

ScanProgress::ScanProgress(std::FILE* out, bool bTerminal, int iExpected)
    : m_out(out), m_bTerminal(bTerminal && out), m_iExpected(iExpected)
{
    m_timer.setInterval(kTickMs);
    connect(&m_timer, &QTimer::timeout, this, &ScanProgress::on_tick);
}

void ScanProgress::start()
{
    m_clock.start();
    if (m_bTerminal) {
        m_timer.start();
        drawBar();
    }
}

double ScanProgress::seconds() const
{
    if (!m_clock.isValid())
        return 0;
    return double(m_nStoppedMs >= 0 ? m_nStoppedMs : m_clock.elapsed()) / 1000.0;
}

void ScanProgress::page(qint64 nBytes, const QString& sLine)
{
    ++m_nPages;
    m_nBytes += nBytes;
    note(sLine);
}

static QString pagesText(int nPages)
{
    return nPages == 1 ? QStringLiteral("1 page") : QStringLiteral("%1 pages").arg(nPages);
}

void ScanProgress::note(const QString& sLine)
{
    if (!m_out)
        return;
    clearBar();
    std::fprintf(m_out, "%s\n", qUtf8Printable(sLine));
    if (m_bTerminal && m_nStoppedMs < 0)
        drawBar();
    std::fflush(m_out);
}

void ScanProgress::stop()
{
    if (m_nStoppedMs < 0 && m_clock.isValid())
        m_nStoppedMs = m_clock.elapsed();
    m_timer.stop();
    clearBar();
    if (m_out)
        std::fflush(m_out);
}

void ScanProgress::pause()
{
    m_timer.stop();
    clearBar();
    if (m_out)
        std::fflush(m_out);
}

void ScanProgress::resume()
{
    if (m_bTerminal && m_nStoppedMs < 0) {
        m_timer.start();
        drawBar();
    }
}

void ScanProgress::on_tick()
{
    ++m_nTicks;
    drawBar();
}

void ScanProgress::clearBar()
{
    if (!m_bBarShown)
        return;
    std::fputs("\r\033[K", m_out);
    m_bBarShown = false;
}

void ScanProgress::drawBar()
{
    QString sBar;
    if (m_iExpected > 0) {
        const int nFilled = qMin(kBarWidth, m_nPages * kBarWidth / m_iExpected);
        sBar = QStringLiteral("[%1%2] %3/%4")
                   .arg(QString(nFilled, QLatin1Char('#')), QString(kBarWidth - nFilled, QLatin1Char('.')))
                   .arg(m_nPages)
                   .arg(pagesText(m_iExpected));
    } else {
        // Without a total, a marker that runs back and forth shows that we are waiting.
        const int nPos = m_nTicks % (2 * kBarWidth - 2);
        const int nAt = nPos < kBarWidth ? nPos : 2 * kBarWidth - 2 - nPos;
        QString sTrack(kBarWidth, QLatin1Char('.'));
        sTrack[nAt] = QLatin1Char('#');
        sBar = QStringLiteral("[%1] %2").arg(sTrack, pagesText(m_nPages));
    }
    sBar += QStringLiteral("  %1  %2 s").arg(formatBytes(m_nBytes)).arg(seconds(), 0, 'f', 1);
    std::fprintf(m_out, "\r\033[K%s", qUtf8Printable(sBar));
    std::fflush(m_out);
    m_bBarShown = true;
}

} // namespace pelirand
