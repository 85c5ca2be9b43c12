#pragma once

#include "FrameSource.h"
#include "audio/decode/Decoder.h"

#include <memory>
#include <vector>

namespace qb::audio {

// A Decoder over a FrameSource, resampled to kEngineRate when the file has another rate.
//
// Resampling is a 4-point cubic interpolation at exact rational positions (engine frame k reads source
// position k * rate / kEngineRate), so the same frame always comes out the same, whatever seeks came
// before. Across the end of a pass it interpolates into the start of the next one (and, after the first
// full pass, back from the end), which keeps a looped file continuous at the seam.
class SourceDecoder final : public Decoder
{
public:
    explicit SourceDecoder(std::unique_ptr<FrameSource> source);

    int read(float* out, int frames) override;
    bool seek(std::int64_t frame) override;
    std::int64_t lengthFrames() const override;
    std::int64_t positionFrames() const override { return m_position; }

private:
    int readDirect(float* out, int frames);
    int readResampled(float* out, int frames);
    // Source frame `index` of the pass for interpolation, wrapping past either end.
    const float* sourceFrame(std::int64_t index);
    bool fillTo(std::int64_t index);
    std::int64_t toEngine(std::int64_t sourceFrames) const;
    std::int64_t sourceIndexOf(std::int64_t engineFrame) const;

    std::unique_ptr<FrameSource> m_source;
    const int m_rate;
    std::int64_t m_sourceLength; // -1 until known; exact once a pass has reached the end
    bool m_lengthExact = false;
    std::int64_t m_position = 0; // engine frames
    bool m_passDone = false;

    // Resampling only: source frames [m_bufStart, m_bufStart + m_buf.size() / 2).
    std::vector<float> m_buf;
    std::int64_t m_bufStart = 0;
    bool m_sourceEnded = false;
    float m_head[6] = {}; // the first three frames of the pass
    int m_headFrames = 0;
    float m_last[2] = {}; // the last frame of the pass, once seen
    bool m_haveLast = false;
    std::vector<float> m_chunk;
};

} // namespace qb::audio
