#pragma once

#include "FeederWake.h"
#include "FrameQueue.h"
#include "sound/decode/Decoder.h"
#include "sound/engine/Device.h"

#include <deque>
#include <mutex>

namespace qb::audio {

// The engine's Device: control state shared by the UI thread and the feeder, a decoder that only the
// feeder touches, and the frame queue that the audio callback reads.
//
// Locking: m_mutex guards the control state. The UI holds it for a few field updates; the feeder holds
// it only to snapshot commands and to publish frames it has already decoded, never while decoding. The
// audio callback never takes it.
class EngineDevice final : public Device
{
public:
    EngineDevice(std::unique_ptr<Decoder> decoder, std::int64_t queueFrames,
                 std::shared_ptr<FeederWake> wake);
    ~EngineDevice() override;

    Mode mode() const override;
    void play(std::optional<std::int64_t> fromFrame, std::optional<std::int64_t> toFrame) override;
    void stop() override;
    void pause() override;
    void resume() override;
    void seek(std::int64_t frame) override;
    std::int64_t lengthFrames() const override;
    std::int64_t positionFrames() const override;
    bool takeFileLost() override;

    // What the device needs from the feeder after a round.
    enum class Need
    {
        // Nothing until the next command.
        Nothing,
        // The feeder's regular round: it plays, a tail may still be due, or frames are queued.
        Round,
        // A round after one output period: it plays, but its room is held by frames that a pending
        // discard drops, and the output frees them when it next takes a period.
        Period,
    };
    // Feeder: applies pending commands to the decoder and tops up the queue.
    Need feed();
    // Taken out of the engine: stops for good; later play() calls are ignored.
    void detach();

    const std::shared_ptr<FrameQueue>& queue() const { return m_queue; }

    // After the end of a pass, how long the feeder keeps rendering the decoder's tail while nobody
    // restarts, and how little may be queued before it does.
    static constexpr std::int64_t kTailFrames = 3 * kEngineRate;
    static constexpr std::int64_t kLowWaterFrames = kEngineRate / 8;
    static constexpr int kChunkFrames = 1024;
    // What an output may hold unheard and drop at Stop (a sound server's buffer, grown after underruns
    // to half a second): the queue keeps that much behind what the output took, so that Play goes on
    // from what was heard.
    static constexpr std::int64_t kKeptFrames = kEngineRate * 3 / 5;

private:
    // Queued frames [queueStart, queueStart + count) hold decoder frames from `frame` on; a tail segment
    // holds sound after the end of the pass that ended at `frame`.
    struct Segment
    {
        std::int64_t queueStart;
        std::int64_t frame;
        std::int64_t count;
        bool tail;
    };

    std::int64_t heardFrameLocked() const;
    std::int64_t clampLocked(std::int64_t frame) const;
    // Stop and pause: the queued frames, and the decoder (a synthesiser's sounding notes with it), wait
    // for the next play() or resume() as they are.
    void holdLocked(Mode newMode);
    // Everything queued or held becomes void: the decoder goes back to what was heard and falls silent.
    void haltLocked(Mode newMode);
    void releaseHeldLocked();
    void addSegmentLocked(const Segment& segment);
    void updateLengthLocked(std::int64_t decoderLength, std::int64_t seen);

    mutable std::mutex m_mutex;
    Mode m_mode = Mode::Stopped;
    bool m_ended = false; // the pass ended by itself; its queued frames still play
    bool m_held = false;  // stopped or paused with the queued frames waiting (see holdLocked())
    bool m_detached = false;
    std::uint64_t m_generation = 0; // bumped whenever queued and in-flight frames become invalid
    std::optional<std::int64_t> m_pendingSeek;
    bool m_pendingSilence = false;
    std::optional<std::int64_t> m_to;
    std::int64_t m_position = 0;   // where play() goes on from when not playing
    std::int64_t m_writeFrame = 0; // decoder frame of the next frame to be queued
    std::int64_t m_length = -1;
    std::int64_t m_seenFrames = 0;
    std::int64_t m_tailQueued = 0;
    std::deque<Segment> m_segments;
    bool m_fileLost = false;

    // Feeder only.
    std::unique_ptr<Decoder> m_decoder;
    std::int64_t m_decoderPos = 0;
    std::int64_t m_passEnd = 0;   // where the last pass ended, for the tail's segments
    std::int64_t m_passStart = 0; // where the pass being read started, and what it has read so far
    std::int64_t m_passRead = 0;

    std::shared_ptr<FrameQueue> m_queue;
    std::shared_ptr<FeederWake> m_wake;
};

} // namespace qb::audio
