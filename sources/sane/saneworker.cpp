#include "sources/sane/saneworker.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <pthread.h>

namespace sanesource {

namespace {

// Whatever a backend hands over is checked before use; should anything still
// throw (memory running out), the job fails and the thread and its callers
// go on: an exception leaving a thread would end the process.
void guarded(const std::function<void()>& job)
{
    try {
        job();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pelirand SANE Scanner: a device call failed: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "pelirand SANE Scanner: a device call failed\n");
    }
}

} // namespace

Worker::~Worker()
{
    stop();
}

void Worker::start()
{
    if (m_thread.joinable())
        return;
    m_stopping = false;
    m_thread = std::thread(&Worker::loop, this);
}

void Worker::stop()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (onWorker())
        m_thread.detach();
    else
        m_thread.join();
}

void Worker::post(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_all();
}

void Worker::run(const std::function<void()>& job)
{
    if (onWorker() || !m_thread.joinable()) {
        job();
        return;
    }
    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    post([&] {
        guarded(job);
        std::lock_guard<std::mutex> lock(doneMutex);
        done = true;
        doneCv.notify_all();
    });
    std::unique_lock<std::mutex> lock(doneMutex);
    doneCv.wait(lock, [&] { return done; });
}

bool Worker::waitIdle(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_idle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return m_jobs.empty() && !m_busy; });
}

void Worker::loop()
{
    // A network backend writes to sockets whose peer may be gone: that must
    // fail the call, not end the process.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    // Named, so that the threads a backend starts from here are known by
    // the name they inherit (and the worker is known in a debugger).
    pthread_setname_np(pthread_self(), "pelirand-sane");

    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
        if (m_jobs.empty())
            break; // stopping, and nothing left
        std::function<void()> job = std::move(m_jobs.front());
        m_jobs.pop_front();
        m_busy = true;
        lock.unlock();
        guarded(job);
        lock.lock();
        m_busy = false;
        if (m_jobs.empty())
            m_idle.notify_all();
    }
    m_idle.notify_all();
}

} // namespace sanesource
