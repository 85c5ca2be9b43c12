#pragma once

#include "FrameSource.h"
#include "Soxr.h"
#include "sound/decode/Decoder.h"

#include <memory>
#include <vector>

namespace qb::audio {

// A Decoder over a FrameSource, resampled to kEngineRate by libsoxr when the file has another rate.
//
// A pass lasts ceil(L * kEngineRate / rate) engine frames for a file of L source frames, and engine
// frame k of a pass is the band-limited value at source time k * rate / kEngineRate. The resampler is
// fed the file as it sounds in a loop: before frame 0 come the last frames of the file and after its
// end its first frames, so the seam is filtered like the middle of the music and nothing is inserted
// or dropped there.
//
// The pass is resampled in segments of a whole number of rate periods (a segment starts on a source
// frame that falls exactly on an engine frame); each segment starts a cleared resampler a little
// before its first frame. Every frame therefore comes out the same, bit for bit, whatever seeks and
// passes came before; the first pass too, once the file's length is known from its header.
class SourceDecoder final : public Decoder
{
public:
    explicit SourceDecoder(std::unique_ptr<FrameSource> source);

    int read(float* out, int frames) override;
    bool seek(std::int64_t frame) override;
    std::int64_t lengthFrames() const override;
    std::int64_t positionFrames() const override { return m_position; }
    std::optional<LoopSpan> loopMarks() const override;
    int fileRate() const override { return m_rate; }
    std::int64_t fileLengthFrames() const override { return sourceLength(); }
    std::optional<LoopSpan> fileLoopMarks() const override { return m_source->loopMarks(); }

private:
    int readDirect(float* out, int frames);
    int readResampled(float* out, int frames);
    // Prepares the resampler for the segment holding engine frame m_position.
    bool startSegment();
    // Source frames of the looped file from pass index m_feedIndex on, into m_input.
    void refillInput();
    // Reads up to `frames` frames of the file proper starting at `index`; learns the end on a short read.
    int readSource(std::int64_t index, float* out, int frames);
    // Frame `index` (outside [0, length)) of the file as it sounds in a loop, or silence if not known.
    void loopFrame(std::int64_t index, float* out);
    // loopFrame() for `count` frames from `index` on.
    void loopFrames(std::int64_t index, float* out, std::int64_t count);
    void endFound(std::int64_t length);
    void ensureHead();
    void ensureTail();
    std::int64_t toEngine(std::int64_t sourceFrames) const;
    // Source frames, the exact length once known, else the header's hint (-1 when none).
    std::int64_t sourceLength() const { return m_lengthExact ? m_exactLength : m_hintLength; }

    std::unique_ptr<FrameSource> m_source;
    const int m_rate;
    const std::int64_t m_hintLength;
    std::int64_t m_exactLength = -1;
    bool m_lengthExact = false;
    std::int64_t m_position = 0; // engine frames
    bool m_passDone = false;

    // Resampling only. One segment is m_segmentOut engine frames, m_segmentIn source frames.
    std::int64_t m_segmentOut = 0;
    std::int64_t m_segmentIn = 0;
    std::int64_t m_prerollIn = 0; // source frames fed before a segment's first frame
    SoxrStream m_soxr;
    std::int64_t m_segmentEnd = -1; // engine frame where the running segment ends; -1: none running
    std::int64_t m_feedIndex = 0;   // pass index of the next source frame for the resampler
    std::int64_t m_cursor = -1;     // where the source is positioned; -1 when unknown
    std::vector<float> m_input;     // frames [m_inputUsed, m_inputFill) are still to be fed
    int m_inputUsed = 0;
    int m_inputFill = 0;
    std::vector<float> m_discard;
    std::vector<float> m_head; // the first frames of the file
    bool m_headValid = false;
    std::vector<float> m_tail; // the last frames of the file, ending at m_tailEnd
    std::int64_t m_tailEnd = -1;
};

} // namespace qb::audio
