#include "Repeats.h"

#include "Features.h"

#include <algorithm>

namespace qb::loopfind {

namespace {

// Two steps whose band levels differ by 2.5 dB a band on average or less sound alike: a repeat
// shifted by half a step, or through a lossy coder, stays well within it; different notes do not.
constexpr int kMatchDistance = FeatureTrack::kBands * 5;
// A stretch goes on over up to this many steps that do not match (a click, a coder's glitch).
constexpr std::int64_t kGapSteps = 4;
// Candidates within this many steps of lag of a better one are the same repeat seen through the
// rounding of its lag to whole steps.
constexpr std::int64_t kSameLag = 2;

} // namespace

std::vector<RepeatCandidate> findRepeats(const FeatureTrack& track, const RepeatSearch& search)
{
    const std::int64_t steps = track.steps;
    std::vector<RepeatCandidate> best;
    for (std::int64_t lag = std::max<std::int64_t>(search.minLag, 1); lag + search.minLength < steps; ++lag) {
        if ((lag & 63) == 0 && search.cancel && search.cancel->load(std::memory_order_relaxed))
            return {};
        RepeatCandidate top{lag, 0, -1, 0};
        std::int64_t first = -1, last = -1, score = 0;
        const auto finish = [&] {
            if (first >= 0 && last - first >= search.minLength && score > top.score)
                top = {lag, first, last, score};
        };
        const std::uint8_t* a = track.at(0);
        const std::uint8_t* b = track.at(lag);
        for (std::int64_t t = 0; t + lag < steps; ++t, a += FeatureTrack::kBands, b += FeatureTrack::kBands) {
            if (levelDistance(a, b) > kMatchDistance)
                continue;
            if (first < 0 || t - last > kGapSteps + 1) {
                finish();
                first = t;
                score = 0;
            }
            score += track.novelty[std::size_t(t)];
            last = t;
        }
        finish();
        if (top.last >= 0)
            best.push_back(top);
    }
    std::sort(best.begin(), best.end(),
              [](const RepeatCandidate& x, const RepeatCandidate& y) { return x.score > y.score; });
    std::vector<RepeatCandidate> chosen;
    for (const RepeatCandidate& c : best) {
        if (int(chosen.size()) >= search.maxCandidates)
            break;
        const bool near = std::any_of(chosen.begin(), chosen.end(), [&](const RepeatCandidate& o) {
            return std::abs(o.lag - c.lag) <= kSameLag;
        });
        if (!near && c.score > 0)
            chosen.push_back(c);
    }
    return chosen;
}

} // namespace qb::loopfind
