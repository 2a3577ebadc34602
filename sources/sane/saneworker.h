#ifndef PELIRAND_SOURCES_SANE_SANEWORKER_H
#define PELIRAND_SOURCES_SANE_SANEWORKER_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace sanesource {

// The one thread that makes SANE calls on a device. Jobs run in order; run()
// waits for its job, post() does not. stop() lets queued jobs finish, then
// joins the thread.
class Worker
{
public:
    ~Worker();

    void start();
    void stop();
    bool running() const { return m_thread.joinable(); }
    bool onWorker() const { return std::this_thread::get_id() == m_thread.get_id(); }

    void post(std::function<void()> job);
    void run(const std::function<void()>& job);
    // Waits until no job is queued or running; false after timeoutMs.
    bool waitIdle(int timeoutMs);

private:
    void loop();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<std::function<void()>> m_jobs;
    bool m_busy = false;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace sanesource

#endif // PELIRAND_SOURCES_SANE_SANEWORKER_H
