#pragma once

#include "ServerOutput.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace qb::audio {

// Keeps playback going when the sound server goes away. Owns the output on the server and a silent
// real-time one, and hands both the same render function: when the server output is lost, the silent
// one takes over at once (the engine's clock, and so the position and the loop, go on), and every
// kRetry a new server output is opened off the caller's threads; once one opens, it takes over from
// the silent one, and the music goes on from wherever it has got to.
//
// Threading: start/stop/setActive/flush from any thread, as for any output; the switching happens on
// a thread of its own, which sleeps while the server output is healthy and idle.
class FailoverOutput final : public AudioOutput
{
public:
    using Opener = std::function<std::unique_ptr<ServerOutput>()>;
    static constexpr std::chrono::milliseconds kRetry{2000};

    // `first` is the server output already open, or null when no server answered yet (the player starts
    // with the session, before its sound server): then the silent output plays until one does. `reopen`
    // opens another one, or returns null while the server is still away. `reopen` runs on the switching
    // thread and may block briefly.
    FailoverOutput(std::unique_ptr<ServerOutput> first, Opener reopen);
    ~FailoverOutput() override;
    FailoverOutput(const FailoverOutput&) = delete;
    FailoverOutput& operator=(const FailoverOutput&) = delete;

    bool start(Source source) override;
    void stop() override;
    void setActive(bool active) override;
    void flush() override;
    int periodFrames() const override;
    // The server output's name while it plays, "silent" while the server is away.
    const char* name() const override;

private:
    void supervise();
    // m_mutex held. Swaps the playing output; the old one has stopped rendering when it returns.
    void useServerLocked(std::unique_ptr<ServerOutput> server);
    void useSilentLocked();
    void watch(ServerOutput& server);
    void signal();

    const Opener m_reopen;
    std::unique_ptr<AudioOutput> m_silent;

    // Guards the outputs. Taken before an output's own locks, never while holding m_signalMutex.
    mutable std::mutex m_mutex;
    std::unique_ptr<ServerOutput> m_server;  // null while the server is away
    std::unique_ptr<ServerOutput> m_dropped; // a lost output, destroyed off the lock
    std::deque<std::string> m_names;         // every server output's name so far: name()'s texts stay
    bool m_hadServer = false;
    std::optional<Source> m_source; // once started
    bool m_started = false;
    bool m_active = true;

    // What wakes the switching thread. A lost handler runs on the output's thread under the output's
    // own lock, so it only ever takes this one.
    std::mutex m_signalMutex;
    std::condition_variable m_wake;
    bool m_quit = false;
    bool m_signalled = false;
    std::thread m_thread;
};

} // namespace qb::audio
