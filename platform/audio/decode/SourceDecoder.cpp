#include "SourceDecoder.h"

#include <algorithm>

namespace qb::audio {

namespace {
constexpr int kReadChunk = 1024;
// Consumed source frames kept in the buffer before it is compacted.
constexpr std::int64_t kCompactFrames = 8192;
} // namespace

SourceDecoder::SourceDecoder(std::unique_ptr<FrameSource> source)
    : m_source(std::move(source)), m_rate(m_source->rate()), m_sourceLength(m_source->length())
{
    if (m_rate != kEngineRate) {
        m_headFrames = std::max(0, m_source->read(m_head, 3));
        m_source->seek(0);
        m_chunk.resize(static_cast<std::size_t>(kReadChunk) * kChannels);
    }
}

std::int64_t SourceDecoder::toEngine(std::int64_t sourceFrames) const
{
    return (sourceFrames * kEngineRate + m_rate - 1) / m_rate;
}

std::int64_t SourceDecoder::sourceIndexOf(std::int64_t engineFrame) const
{
    return engineFrame * m_rate / kEngineRate;
}

std::int64_t SourceDecoder::lengthFrames() const
{
    if (m_sourceLength < 0)
        return -1;
    const std::int64_t length = toEngine(m_sourceLength);
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
    const int wanted =
        m_lengthExact ? static_cast<int>(std::clamp<std::int64_t>(m_sourceLength - m_position, 0, frames))
                      : frames;
    const int got = std::clamp(m_source->read(out, wanted), 0, wanted);
    m_position += got;
    if (got < frames) {
        m_passDone = true;
        m_sourceLength = m_position;
        m_lengthExact = true;
    }
    return got;
}

bool SourceDecoder::fillTo(std::int64_t index)
{
    while (!m_sourceEnded && m_bufStart + static_cast<std::int64_t>(m_buf.size() / kChannels) <= index) {
        const int got = std::clamp(m_source->read(m_chunk.data(), kReadChunk), 0, kReadChunk);
        m_buf.insert(m_buf.end(), m_chunk.begin(), m_chunk.begin() + got * kChannels);
        if (got < kReadChunk) {
            m_sourceEnded = true;
            m_sourceLength = m_bufStart + static_cast<std::int64_t>(m_buf.size() / kChannels);
            m_lengthExact = true;
            if (!m_buf.empty()) {
                std::copy_n(m_buf.end() - kChannels, kChannels, m_last);
                m_haveLast = true;
            }
        }
    }
    return !m_sourceEnded || index < m_sourceLength;
}

const float* SourceDecoder::sourceFrame(std::int64_t index)
{
    static const float kSilence[kChannels] = {};
    if (index < 0)
        return m_haveLast ? m_last : (m_headFrames > 0 ? m_head : kSilence);
    if (m_sourceEnded && index >= m_sourceLength) {
        if (m_headFrames == 0)
            return kSilence;
        const std::int64_t wrapped = std::min<std::int64_t>(index - m_sourceLength, m_headFrames - 1);
        return m_head + wrapped * kChannels;
    }
    const std::int64_t offset = std::max<std::int64_t>(index - m_bufStart, 0);
    return m_buf.data() + offset * kChannels;
}

int SourceDecoder::readResampled(float* out, int frames)
{
    for (int j = 0; j < frames; ++j) {
        const std::int64_t numerator = m_position * m_rate;
        const std::int64_t n = numerator / kEngineRate;
        const float t = static_cast<float>(numerator % kEngineRate) / static_cast<float>(kEngineRate);
        fillTo(n + 2);
        // Once a pass has reached the end, no pass runs past it (a damaged file can decode further
        // after a seek than it did from the start).
        if ((m_sourceEnded || m_lengthExact) && n >= m_sourceLength) {
            m_passDone = true;
            // A seek past the end of a file that holds fewer frames than its header claimed lands
            // beyond the length now known: the pass ends at that length.
            m_position = std::min(m_position, toEngine(m_sourceLength));
            return j;
        }
        const float* x0 = sourceFrame(n - 1);
        const float* x1 = sourceFrame(n);
        const float* x2 = sourceFrame(n + 1);
        const float* x3 = sourceFrame(n + 2);
        for (int c = 0; c < kChannels; ++c) {
            // Catmull-Rom spline through x1 (t = 0) and x2 (t = 1).
            const float a = x0[c], b = x1[c], d = x2[c], e = x3[c];
            out[j * kChannels + c] =
                b +
                0.5f * t * (d - a + t * (2.0f * a - 5.0f * b + 4.0f * d - e + t * (3.0f * (b - d) + e - a)));
        }
        ++m_position;
        const std::int64_t consumed = n - 1 - m_bufStart;
        if (consumed > kCompactFrames) {
            m_buf.erase(m_buf.begin(), m_buf.begin() + consumed * kChannels);
            m_bufStart += consumed;
        }
    }
    return frames;
}

bool SourceDecoder::seek(std::int64_t frame)
{
    frame = std::max<std::int64_t>(frame, 0);
    if (m_sourceLength >= 0)
        frame = std::min(frame, lengthFrames());
    m_position = frame;
    bool ok = true;
    if (m_rate == kEngineRate) {
        ok = m_source->seek(frame);
    } else {
        // One frame before the position, for the interpolation's look-back.
        const std::int64_t start = std::max<std::int64_t>(sourceIndexOf(frame) - 1, 0);
        ok = m_source->seek(start);
        m_buf.clear();
        m_bufStart = start;
        m_sourceEnded = false;
    }
    // A source that cannot get there (file truncated or gone) ends the pass at once.
    m_passDone = !ok;
    return ok;
}

} // namespace qb::audio
