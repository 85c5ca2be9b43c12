#include "system/WorkBeside.h"

#include "posix/Reads.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <malloc.h>
#include <mutex>
#include <thread>

namespace qb::platform {

// What the working thread and its starter share; the last of the two to let go frees it.
struct WorkBeside::Shared
{
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::atomic<bool> cancelled{false};
};

WorkBeside::WorkBeside(std::function<void()> work) : m_shared(std::make_shared<Shared>())
{
    std::thread worker([shared = m_shared, work = std::move(work)]() mutable {
        {
            const posix::CancelReads reads(shared->cancelled);
            work();
            // What the work holds goes with it, on this thread, before it counts as done.
            work = nullptr;
        }
        // Work given up may have grown this thread's heap by hundreds of megabytes (a chained stream
        // of thousands of links), all freed now but kept by the allocator for the next thread that
        // happens to use the same arena; without this, selecting such a file again and again keeps
        // gigabytes that nothing uses.
        if (shared->cancelled.load(std::memory_order_relaxed))
            malloc_trim(0);
        const std::lock_guard finished(shared->mutex);
        shared->done = true;
        shared->ended.notify_all();
    });
    worker.detach();
}

WorkBeside::~WorkBeside()
{
    if (!done())
        giveUp();
}

bool WorkBeside::done() const
{
    const std::lock_guard lock(m_shared->mutex);
    return m_shared->done;
}

void WorkBeside::giveUp()
{
    // The thread keeps its priority: told to stop, it should unwind at once, not wait for a core that
    // a busy machine never leaves idle.
    m_shared->cancelled.store(true, std::memory_order_relaxed);
}

bool WorkBeside::endsWithin(std::chrono::milliseconds limit)
{
    std::unique_lock lock(m_shared->mutex);
    return m_shared->ended.wait_for(lock, limit, [this] { return m_shared->done; });
}

WorkBeside::Outcome WorkBeside::wait(std::chrono::steady_clock::time_point deadline)
{
    const QCoreApplication* app = QCoreApplication::instance();
    if (app != nullptr && QThread::currentThread() == app->thread()) {
        if (done())
            return Outcome::Done;
        // Looked at every few milliseconds: work of this kind takes tens of them, and nothing here may
        // reach into the event loop from the working thread, which may outlive it.
        constexpr int kLookMs = 2;
        QEventLoop loop;
        QTimer look;
        bool lookedEnough = false;
        look.setInterval(kLookMs);
        QObject::connect(&look, &QTimer::timeout, &loop, [&] {
            if (done() || std::chrono::steady_clock::now() >= deadline) {
                lookedEnough = true;
                loop.quit();
            }
        });
        look.start();
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        // Ended by someone else: the application was told to quit (which ends every event loop), and
        // the window that waits is going; nothing is left to wait for.
        if (!lookedEnough && !done())
            return Outcome::Leaving;
    }
    std::unique_lock lock(m_shared->mutex);
    return m_shared->ended.wait_until(lock, deadline, [this] { return m_shared->done; }) ? Outcome::Done
                                                                                         : Outcome::TimedOut;
}

} // namespace qb::platform
