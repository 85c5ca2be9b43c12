#include "FrameQueue.h"

#include "sound/decode/Decoder.h"

#include <algorithm>
#include <cmath>

namespace qb::audio {

FrameQueue::FrameQueue(std::int64_t capacityFrames, std::int64_t keptFrames)
    : m_capacity(std::max<std::int64_t>(capacityFrames, 64)), m_kept(std::max<std::int64_t>(keptFrames, 0)),
      m_ringFrames(m_capacity + m_kept),
      m_ring(new float[static_cast<std::size_t>(m_ringFrames) * kChannels]())
{
}

int FrameQueue::writeSpan(std::int64_t at, int maxFrames, float** span) const
{
    // Free space is measured against what the consumer has really finished with (m_read), not against a
    // pending discard: the consumer may still be copying out of the discarded slots. The ring is longer
    // than the capacity by the frames kept behind the read position, which this never reaches.
    const std::int64_t read = m_read.load(std::memory_order_acquire);
    const std::int64_t free = m_capacity - (at - read);
    const std::int64_t offset = at % m_ringFrames;
    const std::int64_t n = std::min({free, m_ringFrames - offset, static_cast<std::int64_t>(maxFrames)});
    if (n <= 0)
        return 0;
    *span = m_ring.get() + offset * kChannels;
    return static_cast<int>(n);
}

std::int64_t FrameQueue::readIndex() const
{
    return std::max(m_read.load(std::memory_order_acquire), m_discard.load(std::memory_order_acquire));
}

int FrameQueue::mixInto(float* out, int frames, std::int64_t clock)
{
    if (m_held.load(std::memory_order_acquire))
        return 0;
    std::int64_t read =
        std::max(m_read.load(std::memory_order_relaxed), m_discard.load(std::memory_order_acquire));
    const std::int64_t write = m_write.load(std::memory_order_acquire);
    const std::int64_t available = std::min<std::int64_t>(write - read, frames);
    std::int64_t done = 0;
    while (done < available) {
        const std::int64_t offset = (read + done) % m_ringFrames;
        const std::int64_t n = std::min(available - done, m_ringFrames - offset);
        const float* src = m_ring.get() + offset * kChannels;
        float* dst = out + done * kChannels;
        // One device's damaged samples must not poison what the others add to the same frame.
        for (std::int64_t i = 0; i < n * kChannels; ++i)
            dst[i] += std::isfinite(src[i]) ? src[i] : 0.0f;
        done += n;
    }
    read += done;
    m_read.store(read, std::memory_order_release);
    if (done > 0)
        m_takenUntil = clock + done;
    if (done < frames && m_live.load(std::memory_order_relaxed))
        return frames - static_cast<int>(done);
    return 0;
}

std::int64_t FrameQueue::giveBack(std::int64_t clock, std::int64_t unheard)
{
    // Frames this queue supplied to the output's last `unheard` frames. The queue supplied a contiguous
    // run up to m_takenUntil; periods after it (held, stopped or starved) held none of its frames.
    const std::int64_t from = clock - std::max<std::int64_t>(unheard, 0);
    const std::int64_t taken = std::max<std::int64_t>(m_takenUntil - from, 0);
    const std::int64_t read = m_read.load(std::memory_order_acquire);
    const std::int64_t discard = m_discard.load(std::memory_order_acquire);
    // Never before a discard (those frames were dropped on purpose) nor before what the ring still keeps.
    const std::int64_t lowest = std::max({discard, read - m_kept, std::int64_t{0}});
    const std::int64_t back = std::clamp<std::int64_t>(taken, 0, std::max<std::int64_t>(read - lowest, 0));
    m_read.store(read - back, std::memory_order_release);
    m_takenUntil = std::min(m_takenUntil, from);
    return back;
}

} // namespace qb::audio
