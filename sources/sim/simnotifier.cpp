#include "sources/sim/simnotifier.h"

namespace simscanner {

Notifier::~Notifier()
{
    shutdown();
}

void Notifier::post(std::function<void()> delivery, unsigned delayMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(
        {std::move(delivery), std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs)});
    if (!m_running) {
        if (m_thread.joinable())
            m_retired.push_back(std::move(m_thread));
        m_running = true;
        m_thread = std::thread(&Notifier::run, this, m_generation);
    }
    m_wake.notify_all();
}

void Notifier::stop()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.clear();
    ++m_generation;
    m_running = false;
    if (m_thread.joinable())
        m_retired.push_back(std::move(m_thread));
    m_wake.notify_all();
}

std::vector<std::thread> Notifier::takeJoinable()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::thread> joinable;
    std::vector<std::thread> keep;
    for (std::thread& t : m_retired) {
        // A delivery that ends the session runs on the thread being retired;
        // that thread is joined later, from elsewhere.
        if (t.get_id() == std::this_thread::get_id())
            keep.push_back(std::move(t));
        else
            joinable.push_back(std::move(t));
    }
    m_retired = std::move(keep);
    return joinable;
}

void Notifier::reap()
{
    for (std::thread& t : takeJoinable())
        t.join();
}

void Notifier::shutdown()
{
    stop();
    reap();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (std::thread& t : m_retired)
        t.detach(); // only the thread running this very call can be left here
    m_retired.clear();
}

void Notifier::run(std::uint64_t generation)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (generation == m_generation) {
        if (m_queue.empty()) {
            m_wake.wait(lock);
            continue;
        }
        if (std::chrono::steady_clock::now() < m_queue.front().due) {
            m_wake.wait_until(lock, m_queue.front().due);
            continue;
        }
        std::function<void()> delivery = std::move(m_queue.front().delivery);
        m_queue.pop_front();
        lock.unlock();
        delivery();
        lock.lock();
    }
}

} // namespace simscanner
