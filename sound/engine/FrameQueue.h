#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace qb::audio {

// A single-producer / single-consumer ring of interleaved stereo frames between the feeder (producer)
// and the audio callback (consumer). Indices are monotonic 64-bit frame counts, never wrapped, so they
// also serve as timestamps of the stream.
//
// Threading: writeSpan()/publish() on the producer only; mixInto() on the consumer only; discardQueued(),
// the index getters and setLive() from any thread. Nothing here locks or allocates after construction.
class FrameQueue
{
public:
    explicit FrameQueue(std::int64_t capacityFrames);

    std::int64_t capacity() const { return m_capacity; }

    // Producer: a contiguous area at the (unpublished) write position `at` with room for up to `maxFrames`
    // frames, limited by free space and by the end of the ring. Returns its length in frames (maybe 0).
    int writeSpan(std::int64_t at, int maxFrames, float** span) const;
    // Producer: makes everything below `newWriteIndex` visible to the consumer.
    void publish(std::int64_t newWriteIndex) { m_write.store(newWriteIndex, std::memory_order_release); }

    // Consumer: adds up to `frames` queued frames into `out`; a queued sample that is not a finite number
    // adds nothing. Returns the number of frames it could not supply while the queue was live (an
    // underrun); a queue that is not live is silent, not starved.
    int mixInto(float* out, int frames);

    // Any thread: everything published so far is dropped; the consumer skips it on its next call.
    void discardQueued()
    {
        m_discard.store(m_write.load(std::memory_order_acquire), std::memory_order_release);
    }
    // Any thread: whether a discard is still waiting for the consumer. Until the consumer's next call the
    // discarded frames still take up room, so the producer may find the queue full.
    bool discardPending() const
    {
        return m_discard.load(std::memory_order_acquire) > m_read.load(std::memory_order_acquire);
    }
    // Any thread: whether an empty queue counts as an underrun.
    void setLive(bool live) { m_live.store(live, std::memory_order_relaxed); }
    bool live() const { return m_live.load(std::memory_order_relaxed); }

    std::int64_t writeIndex() const { return m_write.load(std::memory_order_acquire); }
    // The next frame the consumer will take, with a pending discard already applied.
    std::int64_t readIndex() const;
    std::int64_t queuedFrames() const { return writeIndex() - readIndex(); }

private:
    const std::int64_t m_capacity;
    std::unique_ptr<float[]> m_ring;
    alignas(64) std::atomic<std::int64_t> m_write{0};
    alignas(64) std::atomic<std::int64_t> m_read{0};
    std::atomic<std::int64_t> m_discard{0};
    std::atomic<bool> m_live{false};
};

} // namespace qb::audio
