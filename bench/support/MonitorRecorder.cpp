#include "MonitorRecorder.h"

#include <cmath>
#include <pulse/simple.h>

namespace qb::bench {

namespace {
constexpr int kRate = 44100;
constexpr int kChunkFrames = 128;
constexpr float kLoud = 1e-3f;
} // namespace

MonitorRecorder::~MonitorRecorder()
{
    stop();
}

bool MonitorRecorder::start(const std::string& source, bool keepSamples)
{
    m_keepSamples = keepSamples;
    const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, kRate, 2};
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.fragsize = kChunkFrames * 2 * sizeof(float);
    int error = 0;
    pa_simple* simple = pa_simple_new(nullptr, "qb_bench", PA_STREAM_RECORD, source.c_str(), "monitor",
                                      &format, nullptr, &attr, &error);
    if (!simple)
        return false;
    m_simple = simple;
    m_running = true;
    m_thread = std::thread([this] { run(); });
    return true;
}

void MonitorRecorder::stop()
{
    m_running = false;
    if (m_thread.joinable())
        m_thread.join();
    if (m_simple)
        pa_simple_free(static_cast<pa_simple*>(m_simple));
    m_simple = nullptr;
}

void MonitorRecorder::run()
{
    auto* simple = static_cast<pa_simple*>(m_simple);
    std::vector<float> buffer(kChunkFrames * 2);
    while (m_running) {
        int error = 0;
        if (pa_simple_read(simple, buffer.data(), buffer.size() * sizeof(float), &error) < 0)
            return;
        Chunk chunk;
        chunk.readAt = Clock::now();
        chunk.frames = kChunkFrames;
        for (int i = 0; i < kChunkFrames; ++i) {
            if (std::fabs(buffer[2 * i]) > kLoud || std::fabs(buffer[2 * i + 1]) > kLoud) {
                if (chunk.firstLoud < 0)
                    chunk.firstLoud = i;
                chunk.lastLoud = i;
            }
        }
        std::lock_guard lock(m_mutex);
        if (m_keepSamples)
            m_samples.insert(m_samples.end(), buffer.begin(), buffer.end());
        chunk.index = m_frames;
        m_frames += chunk.frames;
        const auto origin = chunk.readAt - std::chrono::microseconds(m_frames * 1000000 / kRate);
        if (m_chunks.empty() || origin < m_origin)
            m_origin = origin;
        m_chunks.push_back(chunk);
    }
}

std::vector<float> MonitorRecorder::samples() const
{
    std::lock_guard lock(m_mutex);
    return m_samples;
}

std::int64_t MonitorRecorder::frameAt(Clock::time_point at) const
{
    std::lock_guard lock(m_mutex);
    return std::chrono::duration_cast<std::chrono::microseconds>(at - m_origin).count() * kRate / 1000000;
}

double MonitorRecorder::recordedMs() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<double>(m_frames) * 1000.0 / kRate;
}

MonitorRecorder::Clock::time_point MonitorRecorder::frameTime(const Chunk& chunk, int frame) const
{
    return m_origin + std::chrono::microseconds((chunk.index + frame) * 1000000 / kRate);
}

bool MonitorRecorder::firstSoundAfter(Clock::time_point from, Clock::time_point* at) const
{
    std::lock_guard lock(m_mutex);
    for (const Chunk& chunk : m_chunks) {
        if (chunk.firstLoud < 0 || frameTime(chunk, chunk.lastLoud) < from)
            continue;
        for (int i = chunk.firstLoud; i <= chunk.lastLoud; ++i) {
            // Frames in between may be quiet, but the first loud one at or after `from` is what counts;
            // a chunk is 3 ms, so the first loud frame of the chunk is close enough.
            if (frameTime(chunk, i) >= from) {
                *at = frameTime(chunk, i);
                return true;
            }
        }
    }
    return false;
}

bool MonitorRecorder::silenceAfter(Clock::time_point from, int quietMs, Clock::time_point* at) const
{
    std::lock_guard lock(m_mutex);
    Clock::time_point lastLoud = from;
    for (const Chunk& chunk : m_chunks) {
        if (chunk.lastLoud >= 0 && frameTime(chunk, chunk.lastLoud) >= from)
            lastLoud = frameTime(chunk, chunk.lastLoud + 1);
    }
    if (m_chunks.empty())
        return false;
    const Chunk& last = m_chunks.back();
    if (frameTime(last, last.frames) < lastLoud + std::chrono::milliseconds(quietMs))
        return false;
    *at = lastLoud;
    return true;
}

} // namespace qb::bench
