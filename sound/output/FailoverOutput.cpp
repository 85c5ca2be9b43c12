#include "FailoverOutput.h"

#include "sound/engine/SilentOutput.h"

#include <cstdio>

namespace qb::audio {

namespace {
// The silent output's period while no server output has said its own.
constexpr int kSilentPeriodFrames = 2048;
} // namespace

FailoverOutput::FailoverOutput(std::unique_ptr<ServerOutput> first, Opener reopen)
    : m_reopen(std::move(reopen)),
      m_silent(makeSilentOutput(first ? first->periodFrames() : kSilentPeriodFrames))
{
    if (first) {
        watch(*first);
        m_names.emplace_back(first->name());
        m_server = std::move(first);
        m_hadServer = true;
    }
}

FailoverOutput::~FailoverOutput()
{
    stop();
}

void FailoverOutput::signal()
{
    {
        std::lock_guard lock(m_signalMutex);
        m_signalled = true;
    }
    m_wake.notify_all();
}

void FailoverOutput::watch(ServerOutput& server)
{
    server.setLostHandler([this] { signal(); });
}

bool FailoverOutput::start(Source source)
{
    stop();
    {
        std::lock_guard lock(m_mutex);
        m_source = std::move(source);
        m_started = true;
        m_active = true;
        if (!m_server || !m_server->start(*m_source)) {
            m_dropped = std::move(m_server);
            m_silent->start(*m_source);
        }
    }
    {
        std::lock_guard lock(m_signalMutex);
        m_quit = false;
    }
    m_thread = std::thread([this] { supervise(); });
    return true;
}

void FailoverOutput::stop()
{
    {
        std::lock_guard lock(m_signalMutex);
        m_quit = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard lock(m_mutex);
    if (!m_started)
        return;
    if (m_server)
        m_server->stop();
    m_silent->stop();
    m_started = false;
}

void FailoverOutput::setActive(bool active)
{
    {
        std::lock_guard lock(m_mutex);
        m_active = active;
        if (m_server)
            m_server->setActive(active);
        else
            m_silent->setActive(active);
    }
    // A server output that can only be watched is watched while active.
    signal();
}

void FailoverOutput::flush()
{
    std::lock_guard lock(m_mutex);
    if (m_server)
        m_server->flush();
}

int FailoverOutput::periodFrames() const
{
    std::lock_guard lock(m_mutex);
    return m_server ? m_server->periodFrames() : m_silent->periodFrames();
}

const char* FailoverOutput::name() const
{
    std::lock_guard lock(m_mutex);
    return m_server ? m_names.back().c_str() : "silent";
}

void FailoverOutput::useSilentLocked()
{
    // The lost output stops first: the render function is never called by two outputs at once.
    m_server->stop();
    m_dropped = std::move(m_server);
    m_silent->start(*m_source);
    m_silent->setActive(m_active);
    std::fprintf(stderr, "quillbeat: playing silently until the sound server is back\n");
}

void FailoverOutput::useServerLocked(std::unique_ptr<ServerOutput> server)
{
    m_silent->stop();
    watch(*server);
    if (!server->start(*m_source)) {
        m_dropped = std::move(server);
        m_silent->start(*m_source);
        m_silent->setActive(m_active);
        return;
    }
    server->setActive(m_active);
    if (m_names.empty() || m_names.back() != server->name())
        m_names.emplace_back(server->name());
    m_server = std::move(server);
    std::fprintf(stderr, "quillbeat: %s\n",
                 m_hadServer ? "the sound server is back" : "found a sound server");
    m_hadServer = true;
}

void FailoverOutput::supervise()
{
    using Clock = std::chrono::steady_clock;
    auto nextTry = Clock::now() + kRetry;
    for (;;) {
        bool onServer = false;
        int pollMs = 0;
        bool active = false;
        std::unique_ptr<ServerOutput> dropped;
        {
            std::lock_guard lock(m_mutex);
            if (m_server && m_server->lost()) {
                useSilentLocked();
                nextTry = Clock::now() + kRetry;
            }
            dropped = std::move(m_dropped);
            onServer = m_server != nullptr;
            pollMs = onServer ? m_server->lostPollMs() : 0;
            active = m_active;
        }
        dropped.reset(); // tearing a connection down may take a moment: not under the lock

        if (!onServer && Clock::now() >= nextTry) {
            // Opening may wait for a server that is slow to answer: nobody waits on the lock meanwhile.
            auto server = m_reopen ? m_reopen() : nullptr;
            nextTry = Clock::now() + kRetry;
            if (server) {
                std::lock_guard lock(m_mutex);
                useServerLocked(std::move(server));
                dropped = std::move(m_dropped);
            }
            dropped.reset();
            continue;
        }

        std::unique_lock lock(m_signalMutex);
        const auto woken = [this] { return m_quit || m_signalled; };
        if (!onServer)
            m_wake.wait_until(lock, nextTry, woken);
        else if (pollMs > 0 && active)
            m_wake.wait_for(lock, std::chrono::milliseconds(pollMs), woken);
        else
            m_wake.wait(lock, woken);
        if (m_quit)
            return;
        m_signalled = false;
    }
}

} // namespace qb::audio
