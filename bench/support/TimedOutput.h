#pragma once

#include "sound/engine/AudioOutput.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace qb::bench {

// A silent real-time output, like the one the program falls back to without a sound card, that
// notes when the first sound goes out: the time it pulled the period holding the first non-silent
// frame, plus that frame's place in the period at the output's rate.
class TimedOutput : public audio::AudioOutput
{
public:
    explicit TimedOutput(int periodFrames = 512);
    ~TimedOutput() override;

    bool start(Source source) override;
    void stop() override;
    int periodFrames() const override { return m_periodFrames; }
    const char* name() const override { return "timed"; }

    // Forgets the last sound heard; the next non-silent frame is noted again.
    void rearm();
    // True once a non-silent frame has gone out since the last rearm(); `at` receives its time.
    bool firstSound(std::chrono::steady_clock::time_point* at) const;

private:
    void pull();

    const int m_periodFrames;
    RenderFn m_render;
    std::vector<float> m_buffer;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_heard{false};
    std::atomic<std::int64_t> m_heardAtNs{0};
    std::thread m_thread;
};

} // namespace qb::bench
