#include "FrameQueue.h"

#include "sound/decode/Decoder.h"

#include <algorithm>
#include <cmath>

namespace qb::audio {

FrameQueue::FrameQueue(std::int64_t capacityFrames)
    : m_capacity(std::max<std::int64_t>(capacityFrames, 64)),
      m_ring(new float[static_cast<std::size_t>(m_capacity) * kChannels]())
{
}

int FrameQueue::writeSpan(std::int64_t at, int maxFrames, float** span) const
{
    // Free space is measured against what the consumer has really finished with (m_read), not against a
    // pending discard: the consumer may still be copying out of the discarded slots.
    const std::int64_t read = m_read.load(std::memory_order_acquire);
    const std::int64_t free = m_capacity - (at - read);
    const std::int64_t offset = at % m_capacity;
    const std::int64_t n = std::min({free, m_capacity - offset, static_cast<std::int64_t>(maxFrames)});
    if (n <= 0)
        return 0;
    *span = m_ring.get() + offset * kChannels;
    return static_cast<int>(n);
}

std::int64_t FrameQueue::readIndex() const
{
    return std::max(m_read.load(std::memory_order_acquire), m_discard.load(std::memory_order_acquire));
}

int FrameQueue::mixInto(float* out, int frames)
{
    std::int64_t read =
        std::max(m_read.load(std::memory_order_relaxed), m_discard.load(std::memory_order_acquire));
    const std::int64_t write = m_write.load(std::memory_order_acquire);
    const std::int64_t available = std::min<std::int64_t>(write - read, frames);
    std::int64_t done = 0;
    while (done < available) {
        const std::int64_t offset = (read + done) % m_capacity;
        const std::int64_t n = std::min(available - done, m_capacity - offset);
        const float* src = m_ring.get() + offset * kChannels;
        float* dst = out + done * kChannels;
        // One device's damaged samples must not poison what the others add to the same frame.
        for (std::int64_t i = 0; i < n * kChannels; ++i)
            dst[i] += std::isfinite(src[i]) ? src[i] : 0.0f;
        done += n;
    }
    read += done;
    m_read.store(read, std::memory_order_release);
    if (done < frames && m_live.load(std::memory_order_relaxed))
        return frames - static_cast<int>(done);
    return 0;
}

} // namespace qb::audio
