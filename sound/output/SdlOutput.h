#pragma once

#include "ServerOutput.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace qb::audio {

// The desktop's sound server through SDL2: interleaved stereo float at kEngineRate, 512-frame periods
// (SDL converts if the device wants something else). The render function runs on SDL's audio thread.
// Lost when SDL reports the device gone, or when no callback has come for kStallMs while active.
class SdlOutput final : public ServerOutput
{
public:
    static constexpr int kStallMs = 500;

    // Null when SDL has no working audio driver or no device opens; says why on stderr unless `quiet`
    // (a retry every few seconds while there is no device).
    static std::unique_ptr<SdlOutput> open(int periodFrames = 512, bool quiet = false);
    ~SdlOutput() override;
    SdlOutput(const SdlOutput&) = delete;
    SdlOutput& operator=(const SdlOutput&) = delete;

    bool start(Source source) override;
    void stop() override;
    void setActive(bool active) override;
    int periodFrames() const override { return m_periodFrames; }
    const char* name() const override { return m_name.c_str(); }
    bool lost() const override;
    int lostPollMs() const override { return kStallMs / 2; }

private:
    SdlOutput() = default;
    static void callback(void* self, std::uint8_t* stream, int bytes);
    static std::int64_t nowMs();

    std::uint32_t m_device = 0;
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_active{false};
    // When the last callback came, or when the device was last made active (ms, steady clock).
    std::atomic<std::int64_t> m_lastPullMs{0};
    int m_periodFrames = 0;
    std::string m_name;
    RenderFn m_render;
};

} // namespace qb::audio
