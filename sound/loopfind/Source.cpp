#include "Source.h"

#include <algorithm>

namespace qb::loopfind {

Source::Source(FrameReader& reader, const std::atomic<bool>* cancel)
    : m_reader(reader), m_cancel(cancel), m_rate(reader.sampleRate()),
      m_frames(std::max<std::int64_t>(reader.lengthFrames(), 0))
{
}

bool Source::read(std::int64_t first, std::int64_t count, float* out)
{
    if (!ok())
        return false;
    std::int64_t done = 0;
    if (first < 0) {
        done = std::min(count, -first);
        std::fill_n(out, done * 2, 0.0f);
    }
    while (done < count && first + done < m_frames) {
        const std::int64_t want = std::min(count - done, m_frames - (first + done));
        const std::int64_t got = m_reader.read(first + done, out + done * 2, want);
        if (got < 0 || got > want) {
            m_failed = true;
            return false;
        }
        if (got == 0)
            break; // the file ended early: what is left reads as silence
        done += got;
    }
    std::fill(out + done * 2, out + count * 2, 0.0f);
    return !cancelled();
}

} // namespace qb::loopfind
