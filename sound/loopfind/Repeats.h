#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace qb::loopfind {

struct FeatureTrack;

// A stretch of steps [first, last] whose band levels come back `lag` steps later; `score` is the
// novelty it holds, so that a long stretch of moving music outranks a held chord or silence.
struct RepeatCandidate
{
    std::int64_t lag = 0;
    std::int64_t first = 0;
    std::int64_t last = 0;
    std::int64_t score = 0;
};

struct RepeatSearch
{
    std::int64_t minLag = 1;    // steps
    std::int64_t minLength = 1; // steps from first to last
    int maxCandidates = 8;
    const std::atomic<bool>* cancel = nullptr;
};

// Compares every step with every later one at least minLag away, and gives the stretches that come
// back, best first: for each lag the one of most novelty, at most one within two steps of a better
// lag's. Empty when cancelled.
std::vector<RepeatCandidate> findRepeats(const FeatureTrack& track, const RepeatSearch& search);

} // namespace qb::loopfind
