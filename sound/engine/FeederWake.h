#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

namespace qb::audio {

// Wakes the engine's feeder thread ahead of its regular round, e.g. on play so that the first frames are
// queued within one output period. Shared by the engine and its devices, which may outlive it.
class FeederWake
{
public:
    void wake()
    {
        {
            std::lock_guard lock(m_mutex);
            m_pending = true;
        }
        m_cv.notify_one();
    }

    void quit()
    {
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_cv.notify_one();
    }

    // Feeder thread: waits for a wake-up or for `interval` (without one, for a wake-up only); false once
    // quit() was called.
    bool wait(std::optional<std::chrono::microseconds> interval)
    {
        std::unique_lock lock(m_mutex);
        const auto woken = [this] { return m_pending || m_quit; };
        if (interval)
            m_cv.wait_for(lock, *interval, woken);
        else
            m_cv.wait(lock, woken);
        m_pending = false;
        return !m_quit;
    }

    // A feeder run by an output's clock: whether a wake-up came since the last call. Never waits long (the
    // lock is held by wake() for one store only).
    bool takePending()
    {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_pending, false);
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_pending = false;
    bool m_quit = false;
};

} // namespace qb::audio
