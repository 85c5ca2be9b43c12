#pragma once

#include "Soxr.h"

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace qb::audio {

// The frames of a stream made of parts one after the other (the links of a chained Ogg stream, MPEG
// audio files joined into one), as one stream at the first part's rate: a part at another rate is
// resampled to it, part by part, and lasts round(L * rate / its rate) frames for L frames of its own,
// exactly, so the parts' places in the stream do not depend on how they were read. One resampler is
// set up per rate, however many parts share it. Feeder or opening thread; one thread at a time.
class ChainedParts
{
public:
    struct Part
    {
        std::int64_t first = 0;  // the part's first frame in the library's own count (its own rates)
        std::int64_t frames = 0; // its length at its own rate
        int rate = 0;
        std::int64_t start = 0;  // its first frame in the stream (at the stream's rate)
        std::int64_t length = 0; // its length in the stream
    };

    // Decodes up to `frames` frames of the part the library is in into `out` (stereo, at that part's
    // rate) and says which part they belong to: the count, 0 at the end of the stream, -1 when the file
    // can no longer be read.
    using Decode = std::function<int(float* out, int frames, int* part)>;
    // Places the library at frame `first` (its own count): true when it got there.
    using Seek = std::function<bool(std::int64_t first)>;

    // `parts` as the library lists them (first and frames filled in, in order), with at least one part.
    ChainedParts(std::vector<Part> parts, Decode decode, Seek seek);

    int rate() const { return m_parts.front().rate; }
    std::int64_t length() const { return m_length; }
    int read(float* out, int frames);
    bool seek(std::int64_t frame);

private:
    // Fills m_pending from the library; false at the end of the stream or when reading fails.
    bool refill();
    // The part holding stream frame `frame` (the last one for the end).
    std::size_t partAt(std::int64_t frame) const;
    // Ends the part being resampled: the resampler's rest, cut or padded to the part's length.
    void endResampledPart();
    // Takes `count` frames of the part being read: counted as made, the seek's skip dropped first.
    void append(const float* frames, std::int64_t count);

    std::vector<Part> m_parts;
    Decode m_decode;
    Seek m_seek;
    std::int64_t m_length = 0;
    std::int64_t m_position = 0; // the stream frame read() hands out next
    std::size_t m_part = 0;      // the part the library reads in
    std::int64_t m_partMade = 0; // frames of that part made so far (at the stream's rate)
    std::int64_t m_skip = 0;     // frames still to drop after a seek into a resampled part
    bool m_ended = false;
    std::map<int, SoxrStream> m_resamplers; // by the rate they convert from
    soxr_t m_soxr = nullptr;                // the part being read's, from m_resamplers, once it starts
    int m_soxrRate = 0;
    std::vector<float> m_decoded; // the library's frames on their way through the resampler
    std::vector<float> m_pending; // stream frames not yet handed out, from m_pendingUsed on
    std::size_t m_pendingUsed = 0;
};

} // namespace qb::audio
