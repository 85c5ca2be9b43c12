#include "SourceDecoder.h"

#include <algorithm>
#include <limits>
#include <numeric>

namespace qb::audio {

namespace {
constexpr int kInputChunk = 1024;
// About two seconds per segment, and at least this much source before each segment for the
// resampler's filter to settle: a segment then costs about 2 % more than resampling straight through.
constexpr std::int64_t kSegmentTarget = 2 * kEngineRate;
constexpr std::int64_t kPrerollTarget = 2048;
// Frames of the file's start kept for the resampler to look past the end of a pass. Far more than
// the filter reaches at any rate a file can have.
constexpr std::int64_t kHeadFrames = 8192;

std::int64_t roundUp(std::int64_t value, std::int64_t step)
{
    return (value + step - 1) / step * step;
}
} // namespace

SourceDecoder::SourceDecoder(std::unique_ptr<FrameSource> source)
    : m_source(std::move(source)), m_rate(m_source->rate()), m_hintLength(m_source->length())
{
    if (m_rate != kEngineRate) {
        // Engine frame k falls on a source frame exactly when k is a multiple of periodOut.
        const std::int64_t common = std::gcd<std::int64_t>(m_rate, kEngineRate);
        const std::int64_t periodOut = kEngineRate / common;
        const std::int64_t periodIn = m_rate / common;
        m_segmentOut = roundUp(kSegmentTarget, periodOut);
        m_segmentIn = m_segmentOut / periodOut * periodIn;
        m_prerollIn = roundUp(kPrerollTarget, periodIn);
        m_input.resize(static_cast<std::size_t>(kInputChunk) * kChannels);
        m_cursor = 0;
    }
}

std::int64_t SourceDecoder::toEngine(std::int64_t sourceFrames) const
{
    return (sourceFrames * kEngineRate + m_rate - 1) / m_rate;
}

std::optional<LoopSpan> SourceDecoder::loopMarks() const
{
    std::optional<LoopSpan> marks = m_source->loopMarks();
    // A start of -1 (marks that are no numbers) stays one. Marks beyond any file (a comment can say
    // anything) are held where the conversion cannot overflow: they still lie past the file's end.
    if (marks && marks->start >= 0) {
        const std::int64_t largest = (std::numeric_limits<std::int64_t>::max() - m_rate) / kEngineRate;
        marks->start = toEngine(std::min(marks->start, largest));
        marks->end = toEngine(std::min(marks->end, largest));
    }
    return marks;
}

std::int64_t SourceDecoder::lengthFrames() const
{
    const std::int64_t source = sourceLength();
    if (source < 0)
        return -1;
    const std::int64_t length = toEngine(source);
    // A header can claim fewer frames than the file holds; until the end is seen, trust what was read.
    return m_lengthExact ? length : std::max(length, m_position);
}

int SourceDecoder::read(float* out, int frames)
{
    if (m_passDone || frames <= 0)
        return 0;
    return m_rate == kEngineRate ? readDirect(out, frames) : readResampled(out, frames);
}

int SourceDecoder::readDirect(float* out, int frames)
{
    // Once a pass has reached the end, no pass runs past it: a damaged file can decode further after a
    // seek than it did from the start, and the length already reported must stay true.
    const int wanted = m_lengthExact
                           ? static_cast<int>(std::clamp<std::int64_t>(m_exactLength - m_position, 0, frames))
                           : frames;
    const int got = std::clamp(m_source->read(out, wanted), 0, wanted);
    m_position += got;
    if (got < frames) {
        m_passDone = true;
        m_exactLength = m_position;
        m_lengthExact = true;
    }
    return got;
}

void SourceDecoder::endFound(std::int64_t length)
{
    if (m_lengthExact)
        return;
    m_exactLength = length;
    m_lengthExact = true;
}

int SourceDecoder::readSource(std::int64_t index, float* out, int frames)
{
    if (m_cursor != index) {
        if (!m_source->seek(index)) {
            m_cursor = -1;
            endFound(index);
            return 0;
        }
        m_cursor = index;
    }
    const int got = std::clamp(m_source->read(out, frames), 0, frames);
    m_cursor += got;
    if (got < frames)
        endFound(index + got);
    return got;
}

void SourceDecoder::ensureHead()
{
    if (m_headValid)
        return;
    m_headValid = true;
    const std::int64_t length = sourceLength();
    const int want = static_cast<int>(length < 0 ? kHeadFrames : std::min(length, kHeadFrames));
    m_head.resize(static_cast<std::size_t>(want) * kChannels);
    const int got = readSource(0, m_head.data(), want);
    m_head.resize(static_cast<std::size_t>(got) * kChannels);
}

void SourceDecoder::ensureTail()
{
    const std::int64_t length = sourceLength();
    if (length <= 0 || m_tailEnd == length)
        return;
    m_tailEnd = length;
    const std::int64_t from = std::max<std::int64_t>(length - m_prerollIn, 0);
    const int want = static_cast<int>(length - from);
    m_tail.resize(static_cast<std::size_t>(want) * kChannels);
    const int got = readSource(from, m_tail.data(), want);
    if (got < want) {
        // The header promised more than the file holds: the real end is known now, take its frames.
        // When the length stands and its last frames still cannot be read (the file was cut short
        // after its end was found, or it cannot be sought), the pass starts out of silence; trying
        // again for every frame before the pass would read the file over and over.
        m_tail.clear();
        if (m_lengthExact && sourceLength() != length)
            ensureTail();
    }
}

void SourceDecoder::loopFrame(std::int64_t index, float* out)
{
    out[0] = out[1] = 0.0f;
    const std::int64_t length = sourceLength();
    if (length <= 0)
        return;
    const std::int64_t wrapped = ((index % length) + length) % length;
    if (index < 0) {
        // Before the first pass, while the end is not known, the music starts out of silence.
        ensureTail();
        const std::int64_t tailFrames = static_cast<std::int64_t>(m_tail.size() / kChannels);
        const std::int64_t at = wrapped - (m_tailEnd - tailFrames);
        if (m_tailEnd == length && at >= 0 && at < tailFrames)
            std::copy_n(m_tail.data() + at * kChannels, kChannels, out);
    } else {
        ensureHead();
        if (wrapped < static_cast<std::int64_t>(m_head.size() / kChannels))
            std::copy_n(m_head.data() + wrapped * kChannels, kChannels, out);
    }
}

void SourceDecoder::loopFrames(std::int64_t index, float* out, std::int64_t count)
{
    // Runs of frames that stay on one side of frame 0 and inside one pass are copied at once; a frame
    // at which the length may still change (the end is being looked for) goes through loopFrame().
    while (count > 0) {
        const std::int64_t length = sourceLength();
        const bool settled = length > 0 && (index < 0 ? m_tailEnd == length : m_headValid);
        if (!settled) {
            loopFrame(index++, out);
            out += kChannels;
            --count;
            continue;
        }
        const std::int64_t wrapped = ((index % length) + length) % length;
        std::int64_t run = std::min(count, length - wrapped);
        if (index < 0)
            run = std::min(run, -index);
        const float* from = m_head.data();
        std::int64_t first = 0;                                                     // pass frame of from[0]
        std::int64_t frames = static_cast<std::int64_t>(m_head.size() / kChannels); // held from there
        if (index < 0) {
            from = m_tail.data();
            frames = static_cast<std::int64_t>(m_tail.size() / kChannels);
            first = m_tailEnd - frames;
        }
        std::fill_n(out, run * kChannels, 0.0f);
        const std::int64_t begin = std::max(wrapped, first);
        const std::int64_t end = std::min(wrapped + run, first + frames);
        if (begin < end)
            std::copy_n(from + (begin - first) * kChannels, (end - begin) * kChannels,
                        out + (begin - wrapped) * kChannels);
        index += run;
        out += run * kChannels;
        count -= run;
    }
}

void SourceDecoder::refillInput()
{
    m_inputUsed = 0;
    m_inputFill = 0;
    float* in = m_input.data();
    while (m_inputFill < kInputChunk) {
        const std::int64_t length = sourceLength();
        const bool inFile = m_feedIndex >= 0 && (!m_lengthExact || m_feedIndex < length);
        if (inFile) {
            std::int64_t want = kInputChunk - m_inputFill;
            if (m_lengthExact)
                want = std::min(want, length - m_feedIndex);
            const int got = readSource(m_feedIndex, in + m_inputFill * kChannels, static_cast<int>(want));
            m_inputFill += got;
            m_feedIndex += got;
            if (got == 0) {
                // A source that can give nothing here ends here, even short of a length it reported
                // (a damaged file decodes less after a seek than its scan promised).
                m_exactLength = m_lengthExact ? std::min(m_exactLength, m_feedIndex) : m_feedIndex;
                m_lengthExact = true;
            }
            continue;
        }
        // Outside the file: its end before frame 0, its start after the end.
        const std::int64_t stop = m_feedIndex < 0 ? 0 : m_feedIndex + (kInputChunk - m_inputFill);
        const std::int64_t frames = std::min<std::int64_t>(kInputChunk - m_inputFill, stop - m_feedIndex);
        loopFrames(m_feedIndex, in + m_inputFill * kChannels, frames);
        m_inputFill += static_cast<int>(frames);
        m_feedIndex += frames;
    }
}

bool SourceDecoder::startSegment()
{
    const std::int64_t segment = m_position / m_segmentOut;
    if (!m_soxr) {
        m_soxr = makeSoxrStream(m_rate, kEngineRate);
        if (!m_soxr)
            return false;
    } else {
        soxrCalls()->soxr_clear(m_soxr.get());
    }
    m_feedIndex = segment * m_segmentIn - m_prerollIn;
    m_inputUsed = m_inputFill = 0;
    m_segmentEnd = (segment + 1) * m_segmentOut;
    // Output frame 0 of the cleared resampler is at source frame m_feedIndex: drop what comes before
    // the position.
    const std::int64_t firstOut = segment * m_segmentOut - m_prerollIn * kEngineRate / m_rate;
    std::int64_t drop = m_position - firstOut;
    m_discard.resize(static_cast<std::size_t>(kInputChunk) * kChannels);
    while (drop > 0) {
        if (m_inputUsed == m_inputFill)
            refillInput();
        std::size_t used = 0;
        std::size_t made = 0;
        const std::size_t room = static_cast<std::size_t>(std::min<std::int64_t>(drop, kInputChunk));
        soxrCalls()->soxr_process(m_soxr.get(), m_input.data() + m_inputUsed * kChannels,
                                  static_cast<std::size_t>(m_inputFill - m_inputUsed), &used,
                                  m_discard.data(), room, &made);
        m_inputUsed += static_cast<int>(used);
        drop -= static_cast<std::int64_t>(made);
    }
    return true;
}

int SourceDecoder::readResampled(float* out, int frames)
{
    int done = 0;
    while (done < frames) {
        if (m_lengthExact && m_position >= toEngine(m_exactLength)) {
            m_passDone = true;
            // A seek past the end of a file that holds fewer frames than its header claimed lands
            // beyond the length now known: the pass ends at that length.
            m_position = std::min(m_position, toEngine(m_exactLength));
            break;
        }
        if (m_segmentEnd < 0 || m_position >= m_segmentEnd) {
            if (!startSegment()) {
                m_passDone = true;
                break;
            }
        }
        if (m_inputUsed == m_inputFill)
            refillInput();
        // Reading may have found the end short of where it was thought to be: then the pass ends here.
        std::int64_t want = std::min<std::int64_t>(frames - done, m_segmentEnd - m_position);
        if (m_lengthExact)
            want = std::min(want, toEngine(m_exactLength) - m_position);
        if (want <= 0)
            continue;
        std::size_t used = 0;
        std::size_t made = 0;
        soxrCalls()->soxr_process(m_soxr.get(), m_input.data() + m_inputUsed * kChannels,
                                  static_cast<std::size_t>(m_inputFill - m_inputUsed), &used,
                                  out + static_cast<std::ptrdiff_t>(done) * kChannels,
                                  static_cast<std::size_t>(want), &made);
        m_inputUsed += static_cast<int>(used);
        m_position += static_cast<std::int64_t>(made);
        done += static_cast<int>(made);
    }
    return done;
}

bool SourceDecoder::seek(std::int64_t frame)
{
    frame = std::max<std::int64_t>(frame, 0);
    if (sourceLength() >= 0)
        frame = std::min(frame, lengthFrames());
    m_position = frame;
    bool ok = true;
    if (m_rate == kEngineRate) {
        ok = m_source->seek(frame);
    } else {
        // The next read starts the segment holding the position from its beginning, so every frame
        // comes out as it does in a pass played straight through.
        m_segmentEnd = -1;
    }
    // A source that cannot get there (file truncated or gone) ends the pass at once.
    m_passDone = !ok;
    return ok;
}

} // namespace qb::audio
