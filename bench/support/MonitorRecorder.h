#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qb::bench {

// Records a PulseAudio source (a null sink's monitor) on a thread of its own and notes when sound is
// there. The sink runs on the system clock, so frame n left it at T0 + n / rate; no frame can be read
// before it left, so T0 is taken as the earliest time that agrees with every read (the quickest
// delivery), which does not depend on how the server bunches the reads. Delays measured with it are
// upper bounds by the quickest delivery's few milliseconds. Only loudness is kept, not the samples.
class MonitorRecorder
{
public:
    using Clock = std::chrono::steady_clock;

    ~MonitorRecorder();
    // Starts recording `source` on the server the environment names. False when it cannot. With
    // `keepSamples`, the samples are kept too (samples()).
    bool start(const std::string& source, bool keepSamples = false);
    void stop();

    // Milliseconds of sound recorded so far. A null sink that has been idle may deliver nothing for a
    // second or two after the recording starts (it finishes the long block it was rendering first), so
    // measurements wait until the recording runs.
    double recordedMs() const;

    // Every frame recorded so far, interleaved stereo (only when started with `keepSamples`).
    std::vector<float> samples() const;
    // The recording's frame that left the sink at `at` (may be beyond what is recorded yet).
    std::int64_t frameAt(Clock::time_point at) const;

    // The time of the first frame louder than -60 dBFS at or after `from`.
    bool firstSoundAfter(Clock::time_point from, Clock::time_point* at) const;
    // The time just after the last loud frame at or after `from`, once `quietMs` of silence have been
    // recorded after it (`from` itself when nothing loud came).
    bool silenceAfter(Clock::time_point from, int quietMs, Clock::time_point* at) const;

private:
    struct Chunk
    {
        std::int64_t index = 0; // the chunk's first frame, counted from the start of the recording
        Clock::time_point readAt;
        int frames = 0;
        int firstLoud = -1;
        int lastLoud = -1;
    };
    // m_mutex held.
    Clock::time_point frameTime(const Chunk& chunk, int frame) const;
    void run();

    void* m_simple = nullptr;
    std::atomic<bool> m_running{false};
    bool m_keepSamples = false;
    std::vector<float> m_samples; // under m_mutex
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<Chunk> m_chunks;
    std::int64_t m_frames = 0;
    Clock::time_point m_origin; // T0 so far
};

} // namespace qb::bench
