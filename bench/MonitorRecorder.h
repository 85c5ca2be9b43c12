#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qb::bench {

// Records a PulseAudio source (a null sink's monitor) on a thread of its own and notes when sound is
// there: each recorded frame gets the time it left the sink, from the time its chunk was read and
// the position of the frame in it. Delays measured with it are upper bounds by the few milliseconds
// between the sink and this reader. Only loudness is kept, not the samples.
class MonitorRecorder
{
public:
    using Clock = std::chrono::steady_clock;

    ~MonitorRecorder();
    // Starts recording `source` on the server the environment names. False when it cannot.
    bool start(const std::string& source);
    void stop();

    // The time of the first frame louder than -60 dBFS at or after `from`.
    bool firstSoundAfter(Clock::time_point from, Clock::time_point* at) const;
    // The time just after the last loud frame at or after `from`, once `quietMs` of silence have been
    // recorded after it (`from` itself when nothing loud came).
    bool silenceAfter(Clock::time_point from, int quietMs, Clock::time_point* at) const;

private:
    struct Chunk
    {
        Clock::time_point first; // when the chunk's first frame left the sink
        int frames = 0;
        int firstLoud = -1;
        int lastLoud = -1;
    };
    Clock::time_point frameTime(const Chunk& chunk, int frame) const;
    void run();

    void* m_simple = nullptr;
    std::atomic<bool> m_running{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<Chunk> m_chunks;
};

} // namespace qb::bench
