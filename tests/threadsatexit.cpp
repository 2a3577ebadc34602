// Linked into every test program of a sanitizer build.
//
// LeakSanitizer looks for leaks when the process exits. Qt Test's watchdog
// thread is joined before that, but QThread::wait() returns before the thread
// has run its thread-specific destructors, and one of those drops the last
// reference to the thread's QThreadData. On a loaded machine the check can come
// first and report Qt's own 120 bytes as our leak. So a test lets the threads
// that are on their way out finish before the check; a thread that never ends
// delays the exit by at most a second and is then checked as it stands.

#include <chrono>
#include <thread>

#include <dirent.h>

namespace {

int threadCount()
{
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return 1;
    int count = 0;
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(tasks);
    return count;
}

// Constructed after the sanitizer runtime registered its exit check, so
// destroyed before that check runs.
struct AwaitThreadsAtExit
{
    ~AwaitThreadsAtExit()
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (threadCount() > 1 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
} awaitThreadsAtExit;

} // namespace
