#include "sound/decode/Decoders.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace qb::audio {

namespace {

// Plays [0, end) once, then [start, end) for ever: at the end it seeks its inner decoder to the start
// without cutting anything, as the loop monitor's restart would, so a synthesiser releases its notes
// as at a song's end and chases the channels' state to the loop's start.
//
// Its position counts on through the jumps (the engine keeps its queue's frames in one line); seek()
// and foldPosition() map such a position back into the loop.
class LoopPointDecoder final : public Decoder
{
public:
    LoopPointDecoder(std::unique_ptr<Decoder> inner, LoopSpan span) : m_inner(std::move(inner)), m_span(span)
    {
        m_position = m_inner->positionFrames();
    }

    int read(float* out, int frames) override
    {
        int done = 0;
        while (done < frames) {
            const std::int64_t at = m_inner->positionFrames();
            if (at >= m_span.end) {
                if (!jump())
                    break;
                continue;
            }
            const int want = static_cast<int>(std::min<std::int64_t>(frames - done, m_span.end - at));
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
        m_position = foldPosition(std::max<std::int64_t>(frame, 0));
        m_sinceJump = 1; // a fresh start, not a jump that found nothing
        return m_inner->seek(m_position);
    }

    void renderTail(float* out, int frames) override { m_inner->renderTail(out, frames); }
    void silence() override { m_inner->silence(); }
    std::int64_t lengthFrames() const override { return m_inner->lengthFrames(); }
    std::int64_t positionFrames() const override { return m_position; }
    std::optional<LoopSpan> loopMarks() const override { return m_span; }

    std::int64_t foldPosition(std::int64_t frame) const override
    {
        if (frame < m_span.end)
            return frame;
        return m_span.start + (frame - m_span.start) % (m_span.end - m_span.start);
    }

private:
    // False when the file gave nothing since the last jump (it can no longer be read) or the start
    // cannot be reached: the pass then ends.
    bool jump()
    {
        if (m_sinceJump == 0)
            return false;
        m_sinceJump = 0;
        return m_inner->seek(m_span.start) && m_inner->positionFrames() == m_span.start;
    }

    std::unique_ptr<Decoder> m_inner;
    const LoopSpan m_span;
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
    return std::make_unique<LoopPointDecoder>(std::move(decoder), *marks);
}

} // namespace qb::audio
