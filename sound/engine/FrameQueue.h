#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace qb::audio {

// A single-producer / single-consumer ring of interleaved stereo frames between the feeder (producer)
// and the audio callback (consumer). Indices are monotonic 64-bit frame counts, never wrapped, so they
// also serve as timestamps of the stream.
//
// Behind the read position the ring keeps the last `keptFrames` frames the consumer took, untouched by
// the producer, so that frames an output took but never let anyone hear (a sound server's buffer dropped
// at Stop) can be given back and taken again.
//
// Threading: writeSpan()/publish() on the producer only; mixInto() on the consumer only; giveBack() while
// no consumer call runs; discardQueued(), hold(), the index getters and setLive() from any thread.
// Nothing here locks or allocates after construction.
class FrameQueue
{
public:
    explicit FrameQueue(std::int64_t capacityFrames, std::int64_t keptFrames = 0);

    std::int64_t capacity() const { return m_capacity; }

    // Producer: a contiguous area at the (unpublished) write position `at` with room for up to `maxFrames`
    // frames, limited by free space and by the end of the ring. Returns its length in frames (maybe 0).
    int writeSpan(std::int64_t at, int maxFrames, float** span) const;
    // Producer: makes everything below `newWriteIndex` visible to the consumer.
    void publish(std::int64_t newWriteIndex) { m_write.store(newWriteIndex, std::memory_order_release); }

    // Consumer: adds up to `frames` queued frames into `out`; a queued sample that is not a finite number
    // adds nothing. Returns the number of frames it could not supply while the queue was live (an
    // underrun); a queue that is not live is silent, not starved. `clock` is the output's count of
    // frames pulled before this call, which giveBack() is told in.
    int mixInto(float* out, int frames, std::int64_t clock = 0);
    // While held, the consumer takes nothing: the queued frames wait where they are.
    void hold(bool held) { m_held.store(held, std::memory_order_release); }
    // No consumer call running: the output pulled frames up to `clock`, and the last `unheard` of them
    // were never heard. What this queue supplied to them becomes queued again, as far as the ring still
    // keeps it and no discard came since. Returns the number of frames given back.
    std::int64_t giveBack(std::int64_t clock, std::int64_t unheard);

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
    const std::int64_t m_kept;
    const std::int64_t m_ringFrames;
    std::unique_ptr<float[]> m_ring;
    alignas(64) std::atomic<std::int64_t> m_write{0};
    alignas(64) std::atomic<std::int64_t> m_read{0};
    std::atomic<std::int64_t> m_discard{0};
    std::atomic<bool> m_live{false};
    std::atomic<bool> m_held{false};
    // The output's clock at the end of the last frame the consumer took; consumer (and giveBack()).
    std::int64_t m_takenUntil = 0;
};

} // namespace qb::audio
