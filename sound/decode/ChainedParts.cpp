#include "ChainedParts.h"

#include <algorithm>

namespace qb::audio {

namespace {
constexpr int kChunk = 4096;
} // namespace

ChainedParts::ChainedParts(std::vector<Part> parts, Decode decode, Seek seek)
    : m_parts(std::move(parts)), m_decode(std::move(decode)), m_seek(std::move(seek))
{
    const int streamRate = m_parts.front().rate;
    for (Part& part : m_parts) {
        part.start = m_length;
        part.length =
            part.rate == streamRate ? part.frames : (part.frames * streamRate + part.rate / 2) / part.rate;
        m_length += part.length;
    }
    m_decoded.resize(std::size_t{kChunk} * kChannels);
}

std::size_t ChainedParts::partAt(std::int64_t frame) const
{
    const auto after = std::upper_bound(m_parts.begin(), m_parts.end(), frame,
                                        [](std::int64_t at, const Part& part) { return at < part.start; });
    return after == m_parts.begin() ? 0 : static_cast<std::size_t>(after - m_parts.begin() - 1);
}

int ChainedParts::read(float* out, int frames)
{
    int done = 0;
    while (done < frames) {
        const std::size_t have = (m_pending.size() - m_pendingUsed) / kChannels;
        const int take =
            static_cast<int>(std::min<std::size_t>(have, static_cast<std::size_t>(frames - done)));
        std::copy_n(m_pending.data() + m_pendingUsed, static_cast<std::size_t>(take) * kChannels,
                    out + static_cast<std::ptrdiff_t>(done) * kChannels);
        m_pendingUsed += static_cast<std::size_t>(take) * kChannels;
        done += take;
        if (done == frames || m_ended)
            break;
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(m_pendingUsed));
        m_pendingUsed = 0;
        if (!refill())
            m_ended = true;
    }
    m_position += done;
    return done;
}

void ChainedParts::endResampledPart()
{
    if (!m_soxr)
        return;
    const Part& part = m_parts[m_part];
    std::vector<float> rest(std::size_t{kChunk} * kChannels);
    std::size_t made = 0;
    do {
        soxrCalls()->soxr_process(m_soxr, nullptr, 0, nullptr, rest.data(), kChunk, &made);
        const std::int64_t keep =
            std::min<std::int64_t>(static_cast<std::int64_t>(made), part.length - m_partMade);
        append(rest.data(), keep);
    } while (made > 0);
    // Exactly the part's length, whatever the resampler's rounding left.
    if (m_partMade < part.length) {
        const std::vector<float> silence(static_cast<std::size_t>(part.length - m_partMade) * kChannels,
                                         0.0f);
        append(silence.data(), part.length - m_partMade);
    }
    m_soxr = nullptr;
}

bool ChainedParts::refill()
{
    int part = 0;
    const int got = m_decode(m_decoded.data(), kChunk, &part);
    if (got <= 0 || part < 0 || static_cast<std::size_t>(part) >= m_parts.size()) {
        endResampledPart();
        return got == 0 && !m_pending.empty();
    }
    if (static_cast<std::size_t>(part) != m_part) {
        endResampledPart();
        m_part = static_cast<std::size_t>(part);
        m_partMade = 0;
    }
    const Part& current = m_parts[m_part];
    const float* frames = m_decoded.data();
    std::int64_t count = got;
    std::vector<float> resampled;
    if (current.rate != rate()) {
        if (!m_soxr || m_soxrRate != current.rate) {
            // A part starts: the resampler for its rate, set up once (designing its filter is the
            // costly part) and cleared for every later part at that rate.
            SoxrStream& resampler = m_resamplers[current.rate];
            if (resampler)
                soxrCalls()->soxr_clear(resampler.get());
            else
                resampler = makeSoxrStream(current.rate, rate());
            m_soxr = resampler.get();
            m_soxrRate = current.rate;
            if (!m_soxr)
                return false;
        }
        const std::size_t room = static_cast<std::size_t>(got) * static_cast<std::size_t>(rate()) /
                                     static_cast<std::size_t>(current.rate) +
                                 64;
        resampled.resize(room * kChannels);
        std::size_t used = 0;
        std::size_t made = 0;
        soxrCalls()->soxr_process(m_soxr, m_decoded.data(), static_cast<std::size_t>(got), &used,
                                  resampled.data(), room, &made);
        frames = resampled.data();
        count = static_cast<std::int64_t>(made);
    }
    // A part gives no more than its length, and a seek's skip is dropped first.
    append(frames, std::min(count, current.length - m_partMade));
    return true;
}

void ChainedParts::append(const float* frames, std::int64_t count)
{
    if (count <= 0)
        return;
    m_partMade += count;
    const std::int64_t dropped = std::min(m_skip, count);
    m_skip -= dropped;
    m_pending.insert(m_pending.end(), frames + dropped * kChannels, frames + count * kChannels);
}

bool ChainedParts::seek(std::int64_t frame)
{
    frame = std::clamp<std::int64_t>(frame, 0, m_length);
    m_pending.clear();
    m_pendingUsed = 0;
    m_soxr = nullptr;
    m_ended = false;
    m_skip = 0;
    m_part = partAt(frame);
    const Part& part = m_parts[m_part];
    const std::int64_t into = frame - part.start;
    m_position = frame;
    if (part.rate == rate()) {
        m_partMade = into;
        return m_seek(part.first + into);
    }
    // A resampled part is reached from its start, its frames before the place dropped, so they come out
    // as they do when the part is played through.
    m_partMade = 0;
    m_skip = into;
    return m_seek(part.first);
}

} // namespace qb::audio
