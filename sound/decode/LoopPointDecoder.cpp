#include "sound/decode/Decoders.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <utility>

namespace qb::audio {

namespace {

// Plays [0, end) once, then [start, end) for ever: at the end it seeks its inner decoder to the start
// without cutting anything, as the loop monitor's restart would, so a synthesiser releases its notes
// as at a song's end and chases the channels' state to the loop's start.
//
// The loop is a file's own marks, known from the start, or one found while the file plays, taken from
// its slot when it comes: while the pass has not reached the loop's end, it is played in this pass;
// otherwise the pass ends with the file and the loop is played from the next one, which starts with a
// seek.
//
// Its position counts on through the jumps (the engine keeps its queue's frames in one line); seek()
// and foldPosition() map such a position back into the loop.
class LoopingDecoder final : public Decoder
{
public:
    // `found`: the loop was found rather than marked, and its end is then told as the length.
    LoopingDecoder(std::unique_ptr<Decoder> inner, std::shared_ptr<const LoopSlot> slot, bool found)
        : m_inner(std::move(inner)), m_slot(std::move(slot)), m_found(found)
    {
        m_position = m_inner->positionFrames();
        take();
    }

    int read(float* out, int frames) override
    {
        if (!m_span && !take())
            return readWhole(out, frames);
        int done = 0;
        while (done < frames) {
            const std::int64_t at = m_inner->positionFrames();
            if (at >= m_span->end) {
                if (!jump())
                    break;
                continue;
            }
            const int want = static_cast<int>(std::min<std::int64_t>(frames - done, m_span->end - at));
            const int got =
                std::clamp(m_inner->read(out + static_cast<std::ptrdiff_t>(done) * kChannels, want), 0, want);
            done += got;
            m_position += got;
            m_sinceJump += got;
            // A synthesiser may end its pass a little before the loop's end (on its block grid); a
            // file cut shorter than its marks ends early too. Either way the loop goes on from its
            // start, unless the file gave nothing since the last jump: then it cannot be read.
            if (got < want && !jump())
                break;
        }
        return done;
    }

    bool seek(std::int64_t frame) override
    {
        // A seek starts a pass: a loop found meanwhile plays from here on.
        if (!m_span)
            take(true);
        m_position = foldPosition(std::max<std::int64_t>(frame, 0));
        m_sinceJump = 1; // a fresh start, not a jump that found nothing
        return m_inner->seek(m_position);
    }

    void renderTail(float* out, int frames) override { m_inner->renderTail(out, frames); }
    void silence() override { m_inner->silence(); }
    std::int64_t positionFrames() const override { return m_position; }
    std::optional<LoopSpan> loopMarks() const override { return m_found ? std::nullopt : m_slot->get(); }
    std::string title() const override { return m_inner->title(); }
    int fileRate() const override { return m_inner->fileRate(); }
    std::int64_t fileLengthFrames() const override { return m_inner->fileLengthFrames(); }
    std::optional<LoopSpan> fileLoopMarks() const override { return m_inner->fileLoopMarks(); }

    std::int64_t lengthFrames() const override
    {
        const std::int64_t end = m_playingEnd.load(std::memory_order_acquire);
        return m_found && end > 0 ? end : m_inner->lengthFrames();
    }

    std::int64_t foldPosition(std::int64_t frame) const override
    {
        // Any thread: only a loop that plays folds, and it does not change once it plays. Until then the
        // file folds as it does by itself (a tracker module into its restart position).
        if (m_playingEnd.load(std::memory_order_acquire) <= 0)
            return m_inner->foldPosition(frame);
        const std::optional<LoopSpan> span = m_slot->get();
        if (!span || frame < span->end)
            return frame;
        return span->start + (frame - span->start) % (span->end - span->start);
    }

private:
    // Takes the slot's loop when there is one and this pass has not passed its end (or `atSeek`: a new
    // pass starts). True when a loop plays now.
    bool take(bool atSeek = false)
    {
        const std::optional<LoopSpan> span = m_slot->get();
        if (!span || (!atSeek && m_inner->positionFrames() > span->end))
            return false;
        m_span = span;
        m_playingEnd.store(span->end, std::memory_order_release);
        return true;
    }

    int readWhole(float* out, int frames)
    {
        const int got = m_inner->read(out, frames);
        m_position += std::max(got, 0);
        return got;
    }

    // False when the file gave nothing since the last jump (it can no longer be read) or the start
    // cannot be reached: the pass then ends.
    bool jump()
    {
        if (m_sinceJump == 0)
            return false;
        m_sinceJump = 0;
        return m_inner->seek(m_span->start) && m_inner->positionFrames() == m_span->start;
    }

    std::unique_ptr<Decoder> m_inner;
    const std::shared_ptr<const LoopSlot> m_slot;
    const bool m_found;
    std::optional<LoopSpan> m_span;            // the loop that plays; feeder thread
    std::atomic<std::int64_t> m_playingEnd{0}; // its end once it plays, for any thread
    std::int64_t m_position = 0;
    std::int64_t m_sinceJump = 1;
};

} // namespace

static_assert(kShortestLoopFrames * 1000 / kEngineRate == 50, "the note below names the shortest loop");

std::unique_ptr<Decoder> playingLoopPoints(std::unique_ptr<Decoder> decoder, const std::string& path)
{
    if (!decoder)
        return decoder;
    const std::optional<LoopSpan> marks = decoder->loopMarks();
    if (!marks)
        return decoder;
    const std::int64_t length = decoder->lengthFrames();
    const char* why = nullptr;
    if (marks->start < 0)
        why = "its loop start or length is not a number of frames";
    else if (marks->start >= marks->end)
        why = "its loop starts at or after its end";
    else if (length >= 0 && marks->end > length)
        why = "its loop ends past the end of the file";
    else if (marks->end - marks->start < kShortestLoopFrames)
        why = "its loop is shorter than 50 ms";
    if (why) {
        std::fprintf(
            stderr,
            "quillbeat: %s: the loop points (%s, frames %lld to %lld) are ignored: %s; it loops from "
            "its start\n",
            path.c_str(), marks->source, static_cast<long long>(marks->start),
            static_cast<long long>(marks->end), why);
        return decoder;
    }
    std::fprintf(stderr, "quillbeat: %s: loops from frame %lld to %lld (%s)\n", path.c_str(),
                 static_cast<long long>(marks->start), static_cast<long long>(marks->end), marks->source);
    auto slot = std::make_shared<LoopSlot>();
    slot->set(*marks);
    return std::make_unique<LoopingDecoder>(std::move(decoder), std::move(slot), false);
}

void LoopSlot::set(const LoopSpan& span)
{
    const std::lock_guard lock(m_mutex);
    if (!m_span)
        m_span = span;
}

std::optional<LoopSpan> LoopSlot::get() const
{
    const std::lock_guard lock(m_mutex);
    return m_span;
}

std::unique_ptr<Decoder> playingFoundLoop(std::unique_ptr<Decoder> decoder,
                                          std::shared_ptr<const LoopSlot> slot)
{
    if (!decoder)
        return decoder;
    return std::make_unique<LoopingDecoder>(std::move(decoder), std::move(slot), true);
}

} // namespace qb::audio
