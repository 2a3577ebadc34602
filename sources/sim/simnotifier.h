#ifndef PELIRAND_SOURCES_SIM_SIMNOTIFIER_H
#define PELIRAND_SOURCES_SIM_SIMNOTIFIER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace simscanner {

// Runs deliveries on a thread of its own, each after its delay, in order.
// stop() drops what is queued and lets the thread end without waiting for
// it; reap() joins ended threads, and is called where no lock of the source
// is held, because a delivery may call back into the source.
class Notifier
{
public:
    ~Notifier();

    void post(std::function<void()> delivery, unsigned delayMs);
    void stop();
    void reap();
    void shutdown(); // stop and join everything (the library is unloading)

private:
    struct Item
    {
        std::function<void()> delivery;
        std::chrono::steady_clock::time_point due;
    };

    void run(std::uint64_t generation);
    std::vector<std::thread> takeJoinable();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Item> m_queue;
    std::uint64_t m_generation = 0; // a thread ends when it no longer matches
    bool m_running = false;
    std::thread m_thread;
    std::vector<std::thread> m_retired;
};

} // namespace simscanner

#endif // PELIRAND_SOURCES_SIM_SIMNOTIFIER_H
