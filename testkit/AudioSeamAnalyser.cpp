#include "testkit/AudioSeamAnalyser.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qb::test {

namespace {

// Frames compared to accept a position in the reference; long enough that noise never matches by chance.
constexpr std::int64_t kVerifyFrames = 64;
// Frames of the same value that make a frame useless for recognising a position (silence, clipping).
constexpr std::size_t kAmbiguous = 8;
// Unexplained frames kept while searching; older ones are only counted.
constexpr std::int64_t kMaxPending = 1 << 20;

std::uint64_t frameKey(const float* frame)
{
    std::uint32_t left = 0;
    std::uint32_t right = 0;
    std::memcpy(&left, &frame[0], sizeof left);
    std::memcpy(&right, &frame[1], sizeof right);
    return (std::uint64_t{left} << 32) | right;
}

} // namespace

AudioSeamAnalyser::AudioSeamAnalyser(std::vector<float> reference, float tolerance)
    : m_ref(std::move(reference)), m_length(static_cast<std::int64_t>(m_ref.size() / 2)),
      m_tolerance(tolerance)
{
    m_index.reserve(static_cast<std::size_t>(m_length));
    for (std::int64_t j = 0; j < m_length; ++j)
        m_index.emplace_back(frameKey(&m_ref[static_cast<std::size_t>(j * 2)]), j);
    std::sort(m_index.begin(), m_index.end());
    std::vector<std::pair<std::uint64_t, std::int64_t>> useful;
    useful.reserve(m_index.size());
    for (auto it = m_index.begin(); it != m_index.end();) {
        auto end =
            std::find_if(it, m_index.end(), [key = it->first](const auto& e) { return e.first != key; });
        if (static_cast<std::size_t>(end - it) <= kAmbiguous)
            useful.insert(useful.end(), it, end);
        it = end;
    }
    m_index = std::move(useful);
}

bool AudioSeamAnalyser::same(const float* a, std::int64_t refFrame) const
{
    const float* r = &m_ref[static_cast<std::size_t>(refFrame * 2)];
    if (m_tolerance <= 0.0f)
        return a[0] == r[0] && a[1] == r[1];
    return std::fabs(a[0] - r[0]) <= m_tolerance && std::fabs(a[1] - r[1]) <= m_tolerance;
}

std::int64_t AudioSeamAnalyser::recognise(std::int64_t at) const
{
    const float* frame = &m_pending[static_cast<std::size_t>(at * 2)];
    const std::uint64_t key = frameKey(frame);
    auto range = std::equal_range(m_index.begin(), m_index.end(), std::make_pair(key, std::int64_t{-1}),
                                  [](const auto& a, const auto& b) { return a.first < b.first; });
    const std::int64_t window = std::min(kVerifyFrames, m_length);
    for (auto it = range.first; it != range.second; ++it) {
        bool ok = true;
        for (std::int64_t i = 0; i < window && ok; ++i)
            ok = same(&m_pending[static_cast<std::size_t>((at + i) * 2)], (it->second + i) % m_length);
        if (ok)
            return it->second;
    }
    return -1;
}

void AudioSeamAnalyser::feed(const float* interleaved, std::int64_t frames)
{
    for (std::int64_t i = 0; i < frames; ++i)
        step(interleaved + i * 2);
}

void AudioSeamAnalyser::step(const float* frame)
{
    const std::int64_t index = m_position++;
    ++m_report.framesAnalysed;
    if (m_locked) {
        if (same(frame, m_expected)) {
            if (m_expected == 0 && m_wrapped)
                m_report.seams.push_back(index);
            m_wrapped = false;
            if (++m_expected == m_length) {
                m_expected = 0;
                m_wrapped = true;
            }
            return;
        }
        m_locked = false;
        m_lostAt = index;
        m_pending.clear();
        m_pendingStart = index;
        m_scan = 0;
    }
    m_pending.insert(m_pending.end(), frame, frame + 2);
    search();
}

void AudioSeamAnalyser::search()
{
    const std::int64_t window = std::min(kVerifyFrames, m_length);
    if (m_length == 0)
        return;
    while (static_cast<std::int64_t>(m_pending.size() / 2) - m_scan >= window) {
        const std::int64_t found = recognise(m_scan);
        if (found >= 0) {
            lockAt(m_scan, found);
            return;
        }
        ++m_scan;
    }
    if (m_scan > kMaxPending) {
        m_pending.erase(m_pending.begin(), m_pending.begin() + m_scan * 2);
        m_pendingStart += m_scan;
        m_scan = 0;
    }
}

void AudioSeamAnalyser::lockAt(std::int64_t pendingIndex, std::int64_t refFrame)
{
    const std::int64_t at = m_pendingStart + pendingIndex;
    if (!m_report.locked) {
        m_report.locked = true;
        m_report.offset = at;
        m_report.firstFrame = refFrame;
    } else {
        Event event;
        event.captureFrame = m_lostAt;
        event.inserted = at - m_lostAt;
        const std::int64_t advance = ((refFrame - m_expected) % m_length + m_length) % m_length;
        bool newPass = false;
        if (advance > m_length / 2) {
            // The file went back: what was played again counts as inserted.
            event.inserted += m_length - advance;
        } else {
            event.dropped = advance;
            newPass = (m_wrapped && m_expected == 0) || refFrame < m_expected;
        }
        event.atSeam = newPass || (m_wrapped && m_expected == 0);
        if (newPass)
            m_report.seams.push_back(at - refFrame);
        (event.atSeam ? m_report.insertedAtSeams : m_report.insertedInPasses) += event.inserted;
        (event.atSeam ? m_report.droppedAtSeams : m_report.droppedInPasses) += event.dropped;
        m_report.events.push_back(event);
    }
    m_locked = true;
    m_wrapped = false;
    m_expected = refFrame;

    // Replay the frames from the recognised one on through the lock.
    std::vector<float> rest(m_pending.begin() + pendingIndex * 2, m_pending.end());
    m_pending.clear();
    m_scan = 0;
    m_position = at;
    m_report.framesAnalysed -= static_cast<std::int64_t>(rest.size() / 2);
    for (std::size_t i = 0; i < rest.size(); i += 2)
        step(&rest[i]);
}

AudioSeamAnalyser::Report AudioSeamAnalyser::report() const
{
    Report report = m_report;
    report.unmatchedTail = m_locked ? 0 : m_position - m_pendingStart;
    return report;
}

AudioSeamAnalyser::Report AudioSeamAnalyser::analyse(const std::vector<float>& recording,
                                                     const std::vector<float>& reference, float tolerance)
{
    AudioSeamAnalyser analyser(reference, tolerance);
    analyser.feed(recording);
    return analyser.report();
}

std::pair<std::int64_t, std::int64_t> AudioSeamAnalyser::Report::worstSeam() const
{
    std::pair<std::int64_t, std::int64_t> worst{0, 0};
    for (const Event& e : events) {
        if (e.atSeam) {
            worst.first = std::max(worst.first, e.inserted);
            worst.second = std::max(worst.second, e.dropped);
        }
    }
    return worst;
}

QString AudioSeamAnalyser::Report::summary() const
{
    if (!locked)
        return QStringLiteral("file not found in %1 recorded frames").arg(framesAnalysed);
    const auto worst = worstSeam();
    return QStringLiteral("%1 seams: inserted %2, dropped %3 frames in total (worst seam +%4/-%5); "
                          "inside passes +%6/-%7; offset %8 frames (first file frame %9); unmatched tail %10 "
                          "of %11 frames")
        .arg(seams.size())
        .arg(insertedAtSeams)
        .arg(droppedAtSeams)
        .arg(worst.first)
        .arg(worst.second)
        .arg(insertedInPasses)
        .arg(droppedInPasses)
        .arg(offset)
        .arg(firstFrame)
        .arg(unmatchedTail)
        .arg(framesAnalysed);
}

} // namespace qb::test
