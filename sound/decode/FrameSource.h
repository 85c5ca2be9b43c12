#pragma once

#include "sound/decode/Decoder.h"

#include <cstdint>
#include <optional>

namespace qb::audio {

// A file's frames at its own sample rate, already interleaved stereo float. Feeder thread only.
class FrameSource
{
public:
    virtual ~FrameSource() = default;

    virtual int rate() const = 0;
    // Frames at the source's rate as the file's header tells; -1 when unknown. Only a hint: the end is
    // where read() comes back short.
    virtual std::int64_t length() const = 0;
    // Fills up to `frames` frames; fewer only at the end of the file (or when it can no longer be read).
    virtual int read(float* out, int frames) = 0;
    // False when the position cannot be reached (beyond the end, file gone).
    virtual bool seek(std::int64_t frame) = 0;
    // The loop points the file marks, in source frames; see Decoder::loopMarks.
    virtual std::optional<LoopSpan> loopMarks() const { return std::nullopt; }
};

} // namespace qb::audio
