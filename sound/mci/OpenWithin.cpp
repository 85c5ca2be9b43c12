#include "OpenWithin.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <thread>

namespace qb::mci {

namespace {

// What the opening thread and the waiting one share; the last of the two to let go frees it.
struct Job
{
    std::mutex mutex;
    std::condition_variable opened;
    bool done = false;
    pthread_t thread{};
    audio::OpenResult result;
};

bool isDone(Job& job)
{
    const std::lock_guard lock(job.mutex);
    return job.done;
}

void waitKeepingEventsFlowing(Job& job, std::chrono::steady_clock::time_point deadline)
{
    // Looked at every few milliseconds: an open takes tens of them, and nothing here must reach into
    // the event loop from the opening thread, which may outlive it.
    constexpr int kLookMs = 2;
    QEventLoop loop;
    QTimer look;
    look.setInterval(kLookMs);
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (isDone(job) || std::chrono::steady_clock::now() >= deadline)
            loop.quit();
    });
    look.start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

} // namespace

std::optional<audio::OpenResult> openWithin(std::chrono::milliseconds limit,
                                            std::function<audio::OpenResult()> open)
{
    auto job = std::make_shared<Job>();
    {
        const std::lock_guard lock(job->mutex);
        std::thread opener([job, open = std::move(open)] {
            audio::OpenResult result;
            try {
                result = open();
            } catch (const std::bad_alloc&) {
                result = {nullptr, audio::OpenError::OutOfMemory, "out of memory"};
            } catch (...) {
                result = {nullptr, audio::OpenError::InvalidFile, "the open failed"};
            }
            const std::lock_guard finished(job->mutex);
            job->result = std::move(result);
            job->done = true;
            job->opened.notify_all();
        });
        job->thread = opener.native_handle();
        opener.detach();
    }

    const auto deadline = std::chrono::steady_clock::now() + limit;
    const QCoreApplication* app = QCoreApplication::instance();
    if (app != nullptr && QThread::currentThread() == app->thread() && !isDone(*job))
        waitKeepingEventsFlowing(*job, deadline);

    std::unique_lock lock(job->mutex);
    job->opened.wait_until(lock, deadline, [&job] { return job->done; });
    if (job->done)
        return std::move(job->result);
    // Still running (and so still there, as it marks itself done under this lock before it ends).
    sched_param lowest{};
    pthread_setschedparam(job->thread, SCHED_IDLE, &lowest);
    return std::nullopt;
}

} // namespace qb::mci
