#include "EngineDevice.h"

#include <algorithm>
#include <utility>

namespace qb::audio {

namespace {
// Bounds one feed() call even if the UI keeps changing the state under it.
constexpr int kMaxRounds = 256;
} // namespace

EngineDevice::EngineDevice(std::unique_ptr<Decoder> decoder, std::int64_t queueFrames,
                           std::shared_ptr<FeederWake> wake)
    : m_decoder(std::move(decoder)), m_queue(std::make_shared<FrameQueue>(queueFrames, kKeptFrames)),
      m_wake(std::move(wake))
{
    // The feeder has not seen the decoder yet, so reading it here is safe.
    m_length = m_decoder->lengthFrames();
    m_decoderPos = m_decoder->positionFrames();
    m_position = m_writeFrame = m_decoderPos;
}

EngineDevice::~EngineDevice()
{
    // The engine may still mix this queue until its next round notices the device is gone.
    m_queue->setLive(false);
    m_queue->discardQueued();
}

Device::Mode EngineDevice::mode() const
{
    std::lock_guard lock(m_mutex);
    return m_mode;
}

void EngineDevice::play(std::optional<std::int64_t> fromFrame, std::optional<std::int64_t> toFrame)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_detached)
            return;
        if (m_mode == Mode::Playing) {
            // Playing on without a start position changes only where the pass ends.
            if (fromFrame) {
                haltLocked(Mode::Stopped);
                m_position = m_writeFrame = clampLocked(*fromFrame);
                m_pendingSeek = m_position;
            }
        } else if (fromFrame) {
            // After the end of a pass the queued frames stay: the new pass is written right after them.
            // Frames held by a stop belong to where it stopped, not to the new start.
            releaseHeldLocked();
            m_position = m_writeFrame = clampLocked(*fromFrame);
            m_pendingSeek = m_position;
        }
        m_to = toFrame;
        m_mode = Mode::Playing;
        m_ended = false;
        m_held = false;
        m_queue->hold(false);
        m_queue->setLive(true);
    }
    m_wake->wake();
}

void EngineDevice::stop()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_mode == Mode::Playing || m_held)
            holdLocked(Mode::Stopped); // paused: the held frames wait on, now for a play()
        else
            haltLocked(Mode::Stopped);
    }
    // The feeder lets the output rest now rather than on its next round: the output drops what it
    // holds, so the stop is heard at once, and gives it back to the queue.
    m_wake->wake();
}

void EngineDevice::pause()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_mode != Mode::Playing)
            return;
        holdLocked(Mode::Paused);
    }
    m_wake->wake();
}

void EngineDevice::resume()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_mode != Mode::Paused || m_detached)
            return;
        m_mode = Mode::Playing;
        m_held = false;
        m_queue->hold(false);
        m_queue->setLive(true);
    }
    m_wake->wake();
}

void EngineDevice::seek(std::int64_t frame)
{
    bool halted = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_mode != Mode::Stopped || m_held) {
            haltLocked(Mode::Stopped);
            halted = true;
        }
        // Stopped, and when the pass ended by itself its frames keep playing (m_ended stays set), so a
        // following play() joins the next pass onto them.
        m_position = m_writeFrame = clampLocked(frame);
        m_pendingSeek = m_position;
    }
    // Only a halt is worth an early round. The loop monitor's seek(0) + play() after the end of a pass
    // must reach the feeder as one command, or a round between them could queue tail before the pass.
    if (halted)
        m_wake->wake();
}

std::int64_t EngineDevice::lengthFrames() const
{
    std::lock_guard lock(m_mutex);
    return m_length >= 0 ? m_length : m_seenFrames;
}

std::int64_t EngineDevice::positionFrames() const
{
    std::lock_guard lock(m_mutex);
    // Counted on through the jumps of a file that plays its own loop points; told as a place in the file.
    return m_decoder->foldPosition(m_mode == Mode::Playing || m_held ? heardFrameLocked() : m_position);
}

bool EngineDevice::takeFileLost()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_fileLost, false);
}

void EngineDevice::detach()
{
    std::lock_guard lock(m_mutex);
    haltLocked(Mode::Stopped);
    m_detached = true;
}

void EngineDevice::holdLocked(Mode newMode)
{
    // Nothing is dropped and the decoder is left alone: the frames the output took but did not let
    // anyone hear come back to the queue when it drops them, and a synthesiser's notes that were
    // sounding go on sounding on the next play. The position follows the queue's read position.
    m_queue->hold(true);
    m_queue->setLive(false);
    m_held = true;
    m_mode = newMode;
    m_ended = false;
}

void EngineDevice::releaseHeldLocked()
{
    if (!m_held)
        return;
    m_position = heardFrameLocked();
    m_pendingSeek = m_writeFrame = m_position;
    m_queue->discardQueued();
    m_queue->hold(false);
    ++m_generation;
    m_segments.clear();
    m_pendingSilence = true;
    m_held = false;
}

void EngineDevice::haltLocked(Mode newMode)
{
    releaseHeldLocked();
    if (m_mode == Mode::Playing) {
        m_position = heardFrameLocked();
        // The decoder has run ahead of the listener; it goes back to what was heard.
        m_pendingSeek = m_writeFrame = m_position;
    }
    m_queue->discardQueued();
    m_queue->setLive(false);
    ++m_generation;
    m_segments.clear();
    m_pendingSilence = true;
    m_mode = newMode;
    m_ended = false;
}

std::int64_t EngineDevice::clampLocked(std::int64_t frame) const
{
    frame = std::max<std::int64_t>(frame, 0);
    const std::int64_t length = m_length >= 0 ? m_length : -1;
    return length >= 0 ? std::min(frame, length) : frame;
}

std::int64_t EngineDevice::heardFrameLocked() const
{
    const std::int64_t read = m_queue->readIndex();
    for (const Segment& segment : m_segments) {
        if (read < segment.queueStart + segment.count) {
            if (segment.tail)
                return segment.frame;
            return segment.frame + std::max<std::int64_t>(read - segment.queueStart, 0);
        }
    }
    return m_writeFrame;
}

void EngineDevice::addSegmentLocked(const Segment& segment)
{
    // Segments behind the read position stay as long as the queue keeps their frames: they may be
    // given back.
    const std::int64_t read = m_queue->readIndex() - kKeptFrames;
    while (!m_segments.empty() && m_segments.front().queueStart + m_segments.front().count <= read)
        m_segments.pop_front();
    if (!m_segments.empty()) {
        Segment& last = m_segments.back();
        const bool adjacent = last.queueStart + last.count == segment.queueStart && last.tail == segment.tail;
        if (adjacent &&
            (segment.tail ? last.frame == segment.frame : last.frame + last.count == segment.frame)) {
            last.count += segment.count;
            return;
        }
    }
    m_segments.push_back(segment);
}

void EngineDevice::updateLengthLocked(std::int64_t decoderLength, std::int64_t seen)
{
    m_seenFrames = std::max(m_seenFrames, seen);
    if (decoderLength >= 0)
        m_length = decoderLength;
}

EngineDevice::Need EngineDevice::feed()
{
    for (int round = 0; round < kMaxRounds; ++round) {
        std::uint64_t generation = 0;
        Mode mode = Mode::Stopped;
        bool ended = false;
        bool detached = false;
        bool silence = false;
        bool held = false;
        std::optional<std::int64_t> seekTo;
        std::optional<std::int64_t> to;
        std::int64_t tailQueued = 0;
        {
            std::lock_guard lock(m_mutex);
            generation = m_generation;
            mode = m_mode;
            ended = m_ended;
            detached = m_detached;
            held = m_held;
            silence = std::exchange(m_pendingSilence, false);
            seekTo = std::exchange(m_pendingSeek, std::nullopt);
            to = m_to;
            tailQueued = m_tailQueued;
        }
        // Checked between chunks, before any decoder work: a closed device never waits for a seek's
        // chase or another chunk, so closing is quick whatever the file costs to decode.
        if (detached)
            return Need::Nothing;
        if (silence)
            m_decoder->silence();
        if (seekTo) {
            m_decoder->seek(*seekTo);
            m_decoderPos = m_decoder->positionFrames();
            m_passStart = m_decoderPos;
            m_passRead = 0;
        }
        const std::int64_t write = m_queue->writeIndex();
        float* span = nullptr;
        if (mode == Mode::Playing) {
            std::int64_t limit = kChunkFrames;
            if (to)
                limit = std::clamp<std::int64_t>(*to - m_decoderPos, 0, kChunkFrames);
            int room = 0;
            if (limit > 0) {
                room = m_queue->writeSpan(write, static_cast<int>(limit), &span);
                if (room == 0) // the queue is full, maybe only of frames that are being discarded
                    return m_queue->discardPending() ? Need::Period : Need::Round;
            }
            const int got = room > 0 ? std::clamp(m_decoder->read(span, room), 0, room) : 0;
            const std::int64_t first = m_decoderPos;
            m_decoderPos += got;
            m_passRead += got;
            const bool passEnded = got < room || room == 0 || (to && m_decoderPos >= *to);
            // Asked for frames from the very start and given none: there is no file left to loop.
            const bool fileLost = room > 0 && m_passStart == 0 && m_passRead == 0;
            const std::int64_t decoderLength = m_decoder->lengthFrames();

            std::lock_guard lock(m_mutex);
            if (m_generation != generation)
                continue; // stopped or moved meanwhile: these frames are void, the decoder is re-sought
            if (got > 0) {
                m_queue->publish(write + got);
                addSegmentLocked({write, first, got, false});
            }
            if (!m_pendingSeek)
                m_writeFrame = m_decoderPos;
            updateLengthLocked(decoderLength, m_decoderPos);
            if (passEnded) {
                m_passEnd = m_decoderPos;
                m_mode = Mode::Stopped;
                m_ended = true;
                m_position = m_decoderPos;
                m_tailQueued = 0;
                m_fileLost = fileLost;
            }
            continue;
        }

        if (ended && tailQueued < kTailFrames) {
            // Nobody restarted yet: keep the synthesiser's tail ringing instead of cutting it.
            // A short queue would reach any fixed mark at once; the tail is for a restart that is late.
            if (m_queue->queuedFrames() >= std::min(kLowWaterFrames, m_queue->capacity() / 4))
                return Need::Round;
            const int room = m_queue->writeSpan(
                write, static_cast<int>(std::min<std::int64_t>(kChunkFrames, kTailFrames - tailQueued)),
                &span);
            if (room == 0)
                return Need::Round;
            m_decoder->renderTail(span, room);

            std::lock_guard lock(m_mutex);
            if (m_generation != generation)
                continue;
            m_queue->publish(write + room);
            addSegmentLocked({write, m_passEnd, room, true});
            m_tailQueued += room;
            if (m_tailQueued >= kTailFrames && m_mode != Mode::Playing)
                m_queue->setLive(false);
            continue;
        }
        // Held frames wait for the next play; until then the output may rest.
        return m_queue->queuedFrames() > 0 && !held ? Need::Round : Need::Nothing;
    }
    return Need::Round;
}

} // namespace qb::audio
