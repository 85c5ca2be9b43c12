#pragma once

#include "sound/loopfind/LoopFinder.h"

#include <atomic>
#include <cstdint>

namespace qb::loopfind {

// The reader as the search uses it: stretches that may run past either end of the file (read as
// silence), a read error or a cancel remembered once seen.
class Source
{
public:
    Source(FrameReader& reader, const std::atomic<bool>* cancel);

    int rate() const { return m_rate; }
    std::int64_t frames() const { return m_frames; }

    // Interleaved stereo frames [first, first + count) into `out` (2 * count floats), silence outside
    // the file. False once the reader has failed or the search is cancelled.
    bool read(std::int64_t first, std::int64_t count, float* out);

    bool cancelled() const { return m_cancel && m_cancel->load(std::memory_order_relaxed); }
    bool failed() const { return m_failed; }
    // Neither failed nor cancelled.
    bool ok() const { return !m_failed && !cancelled(); }

private:
    FrameReader& m_reader;
    const std::atomic<bool>* m_cancel;
    int m_rate;
    std::int64_t m_frames;
    bool m_failed = false;
};

} // namespace qb::loopfind
