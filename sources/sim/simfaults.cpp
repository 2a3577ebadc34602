// The simulated scanner's fault plan: failing, delaying or crashing a chosen
// triplet and the controls read from PELIRAND_SIM_CONTROLS. Built only into
// the scanner the tests load (PELIRAND_SIM_FAULTS); the installed scanner has
// none of it. It acts through the kit's intercept() seam, before a call is
// admitted, with the kit's call lock held.

#include "sources/sim/simsource.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace simscanner {

namespace {

[[noreturn]] void crash()
{
    std::fflush(nullptr);
    std::raise(SIGSEGV);
    std::abort(); // in case a handler returned
}

} // namespace

bool SimSource::intercept(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data, Result& result)
{
    // The controls themselves always work, or a test could lock itself out.
    if (dat == DAT_CAPABILITY && data && static_cast<pTW_CAPABILITY>(data)->Cap >= CAP_CUSTOMBASE)
        return false;
    if (state() < 4)
        return false;
    if (quirk(SIM_QUIRK_INFO_ANY_STATE) && dat == DAT_IMAGEINFO && msg == MSG_GET && data && state() < 6) {
        result = imageInfo(*static_cast<pTW_IMAGEINFO>(data));
        return true;
    }
    if (quirk(SIM_QUIRK_ENABLE_CHECKSTATUS) && dat == DAT_USERINTERFACE && msg == MSG_ENABLEDS && data &&
        state() == 4) {
        // Enabled as the kit enables (the simulated scanner's enable never fails).
        setState(5);
        result = enable(*static_cast<pTW_USERINTERFACE>(data), false);
        if (result.rc == TWRC_SUCCESS)
            result = {TWRC_CHECKSTATUS, TWCC_BADVALUE};
        return true;
    }
    if (quirk(SIM_QUIRK_SCAN_AFTER_COUNT) && dat == DAT_PENDINGXFERS && msg == MSG_GET && data && state() == 5) {
        auto* pending = static_cast<pTW_PENDINGXFERS>(data);
        pending->Count = 0;
        pending->EOJ = 0;
        m_settings.quirk = SIM_QUIRK_NONE; // once
        startScan();
        result = {TWRC_SUCCESS, TWCC_SUCCESS};
        return true;
    }
    const TW_UINT32 triplet = simTriplet(dat, msg);
    const bool pageAllows = !quirk(SIM_QUIRK_FAULTS_ON_PAGE) || (state() >= 6 && onQuirkPage());
    if (m_settings.crashTriplet == triplet && pageAllows)
        crash();
    if (m_settings.delayTriplet == triplet && m_settings.delayMs > 0 && pageAllows)
        delay(m_settings.delayMs, m_settings.delayPump);
    if (m_settings.failTriplet != triplet || triplet == 0)
        return false;
    if (m_failSeen < m_settings.failSkip) {
        ++m_failSeen;
        return false;
    }
    result = {m_settings.failReturn, m_settings.failCondition};
    ++m_failDone;
    if (m_settings.failCount != 0 && m_failDone >= m_settings.failCount)
        m_settings.failTriplet = 0;
    return true;
}

void SimSource::delay(TW_UINT32 ms, bool pump)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        MSG message;
        if (pump && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void SimSource::applyEnvironmentControls()
{
    const char* controls = std::getenv(kControlsVariable);
    if (!controls)
        return;
    const std::string text(controls);
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(',', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string pair = text.substr(at, end - at);
        at = end + 1;
        const std::size_t eq = pair.find('=');
        if (eq == std::string::npos)
            continue;
        const unsigned long cap = std::strtoul(pair.substr(0, eq).c_str(), nullptr, 0);
        const double value = std::strtod(pair.substr(eq + 1).c_str(), nullptr);
        if (cap < CAP_CUSTOMBASE || cap > 0xFFFF || cap == SIMCAP_TRIGGER)
            continue;
        TW_UINT16 cc = TWCC_SUCCESS;
        setCap(m_settings, static_cast<TW_UINT16>(cap), value, cc);
    }
}

} // namespace simscanner
