#include "sound/loopfind/LoopFinder.h"

#include "Features.h"
#include "Fft.h"
#include "Repeats.h"
#include "Source.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

namespace qb::loopfind {

namespace {

// What counts as a loop. A file must hold two passes of it; a loop of less than two seconds is a
// phrase, not a section; the waveform must be seen to repeat for three seconds and for half the loop.
constexpr double kMinFileSeconds = 5;
constexpr double kMinLoopSeconds = 2;
constexpr double kMinRepeatSeconds = 3;
constexpr double kMinRepeatShare = 0.5;
// What the file plays once (the introduction, and the ending after the second pass) may not be
// longer than two passes and this: a short phrase repeated inside a long song is not its loop.
constexpr double kOnceSlackSeconds = 10;
// A sound that does not move (a held chord, a drone) repeats its waveform at every multiple of its
// period, but holds no section: the band levels of a repeat must change by this much on average
// from one step to the second next (in half decibels; music changes by 4 to 12).
constexpr double kMinMeanNovelty = 1.5;

// Agreement of the waveform. A window of a repeat agrees when the difference of the two passes is
// this far below the music; over all the windows checked it must be further still. Music performed
// twice differs by about as much as it is loud (0 to +3 dB); the best lag of a stretch that does not
// repeat is not even 3 dB below. A lossy coder's noise differs between the passes and leaves 15 to
// 35 dB (Ogg Vorbis at its middle qualities the least); a lossless file has none, so a repeat there
// that is not the same samples must agree far better.
constexpr double kLagAgreementDb = -3;
constexpr double kLossyWindowDb = -8;
constexpr double kLossyRepeatDb = -12;
constexpr double kLosslessWindowDb = -20;
constexpr double kLosslessRepeatDb = -25;
// Below this level (about -80 dBFS) a stretch is silence, which agrees with silence.
constexpr double kSilencePower = 1e-8;
// The start of a repeat that is not the same samples is found by going back at least this many
// frames past it, counting a frame as agreeing when its difference is below this share of its music.
constexpr std::int64_t kStartGiveUp = 1024;
constexpr double kStartShareDb = -10;
// Within a lossless repeat, samples this close are the same (a decoder's rounding, never music).
constexpr float kSameSample = 1e-6f;
constexpr double kJumpSeconds = 1;
constexpr int kMaxCandidates = 8;
constexpr int kMaxProbes = 32;

double toDb(double ratio)
{
    return ratio <= 0 ? -std::numeric_limits<double>::infinity() : 10 * std::log10(ratio);
}

double fromDb(double db)
{
    return std::pow(10.0, db / 10);
}

// The step of the coarse pass: about 23 ms, a power of two, coarser for files of more than maxSteps.
int stepFor(int rate, std::int64_t frames, int maxSteps)
{
    int step = 256;
    while (step * 2 <= rate / 32)
        step *= 2;
    while (frames / step > std::max(maxSteps, 1024))
        step *= 2;
    return step;
}

// The difference of two stretches of a file, frame by frame.
struct Comparison
{
    double difference = 0; // sum over both channels of the squared difference
    double music = 0;      // half the sum of the squares of both stretches
};

Comparison compare(const float* x, const float* y, std::int64_t frames)
{
    Comparison c;
    for (std::int64_t i = 0; i < frames * 2; ++i) {
        const double d = double(x[i]) - y[i];
        c.difference += d * d;
        c.music += 0.5 * (double(x[i]) * x[i] + double(y[i]) * y[i]);
    }
    return c;
}

class Finder
{
public:
    Finder(Source& source, const Options& options) : m_source(source), m_options(options) {}

    Result run();

private:
    struct Verified
    {
        FoundLoop loop;
        std::int64_t repeatEnd = 0; // the first frame after the stretch seen to repeat
        std::int64_t score = 0;
    };

    std::int64_t seconds(double s) const { return std::int64_t(std::llround(s * m_source.rate())); }
    bool verify(const RepeatCandidate& candidate, Verified& out);
    std::int64_t fineLag(const RepeatCandidate& candidate, double& agreementDb);
    std::int64_t exactStart(std::int64_t from, std::int64_t lag);
    std::int64_t exactEnd(std::int64_t from, std::int64_t lag);
    std::int64_t agreeingStart(std::int64_t from, std::int64_t lag);
    bool acceptable(std::int64_t start, std::int64_t lag, std::int64_t repeatEnd) const;

    Source& m_source;
    const Options& m_options;
    FeatureTrack m_track;
    std::vector<float> m_x, m_y;
};

Result Finder::run()
{
    const std::int64_t frames = m_source.frames();
    if (frames < seconds(kMinFileSeconds))
        return {Outcome::TooShort, std::nullopt};
    if (double(frames) > m_options.maxSeconds * m_source.rate())
        return {Outcome::TooLong, std::nullopt};

    const int step = stepFor(m_source.rate(), frames, m_options.maxSteps);
    const auto stopped = [this]() -> Result {
        return {m_source.failed() ? Outcome::Failed : Outcome::Cancelled, std::nullopt};
    };
    if (!computeFeatures(m_source, step, m_track))
        return stopped();

    RepeatSearch search;
    search.minLag = seconds(kMinLoopSeconds) / step;
    search.minLength = seconds(kMinRepeatSeconds) / step;
    search.maxCandidates = kMaxCandidates;
    search.cancel = m_options.cancel;
    const std::vector<RepeatCandidate> candidates = findRepeats(m_track, search);
    if (!m_source.ok())
        return stopped();

    std::optional<Verified> best;
    for (const RepeatCandidate& candidate : candidates) {
        // A stretch that shows less moving music than a loop already verified cannot beat it.
        if (best && candidate.score <= best->score)
            continue;
        Verified v;
        const bool found = verify(candidate, v);
        if (!m_source.ok())
            return stopped();
        if (found && (!best || v.score > best->score))
            best = v;
    }
    if (!best)
        return {Outcome::None, std::nullopt};
    return {Outcome::Found, best->loop};
}

// The lag, to the frame, at which the two passes agree best: the least squared difference over
// windows at three places of the stretch, found by cross-correlation within two steps of the coarse
// lag.
std::int64_t Finder::fineLag(const RepeatCandidate& candidate, double& agreementDb)
{
    const int step = m_track.step;
    const int window = 8 * step, reach = 2 * step, lags = 2 * reach + 1;
    const std::int64_t coarse = candidate.lag * step;
    CrossCorrelation correlation(16 * step);
    std::vector<double> total(static_cast<std::size_t>(lags), 0.0), c(static_cast<std::size_t>(lags));
    std::vector<double> energy(static_cast<std::size_t>(lags), 0.0);
    std::vector<float> a(static_cast<std::size_t>(window)), b(static_cast<std::size_t>(window + 2 * reach));
    int probes = 0;
    for (int q = 1; q <= 3; ++q) {
        // The step of most novelty around each quarter of the stretch: a note's attack fixes a lag
        // better than a held sound.
        const std::int64_t span = candidate.last - candidate.first;
        const std::int64_t centre = candidate.first + span * q / 4;
        std::int64_t pick = centre;
        for (std::int64_t s = std::max(candidate.first, centre - span / 8);
             s <= std::min(candidate.last, centre + span / 8); ++s)
            if (m_track.novelty[std::size_t(s)] > m_track.novelty[std::size_t(pick)])
                pick = s;
        const std::int64_t at = pick * step;
        if (at + coarse + window + reach > m_source.frames())
            continue;
        m_x.resize(std::size_t(window) * 2);
        m_y.resize(b.size() * 2);
        if (!m_source.read(at, window, m_x.data()) ||
            !m_source.read(at + coarse - reach, std::int64_t(b.size()), m_y.data()))
            return -1;
        for (std::size_t i = 0; i < a.size(); ++i)
            a[i] = m_x[2 * i] + m_x[2 * i + 1];
        for (std::size_t i = 0; i < b.size(); ++i)
            b[i] = m_y[2 * i] + m_y[2 * i + 1];
        correlation.run(a.data(), window, b.data(), int(b.size()), lags, c.data());
        double ea = 0, eb = 0;
        for (float v : a)
            ea += double(v) * v;
        for (int i = 0; i < window; ++i)
            eb += double(b[std::size_t(i)]) * b[std::size_t(i)];
        for (int j = 0; j < lags; ++j) {
            total[std::size_t(j)] += ea + eb - 2 * c[std::size_t(j)];
            energy[std::size_t(j)] += ea + eb;
            if (j + 1 < lags)
                eb += double(b[std::size_t(j + window)]) * b[std::size_t(j + window)] -
                      double(b[std::size_t(j)]) * b[std::size_t(j)];
        }
        ++probes;
    }
    if (probes == 0)
        return -1;
    const auto least = std::min_element(total.begin(), total.end());
    const auto j = std::size_t(least - total.begin());
    agreementDb = toDb(std::max(*least, 0.0) / std::max(energy[j], 1e-30));
    return coarse - reach + std::int64_t(j);
}

// The first frame of an exact repeat that holds at `from`: going back while the samples are equal.
std::int64_t Finder::exactStart(std::int64_t from, std::int64_t lag)
{
    constexpr std::int64_t kBlock = 4096;
    m_x.resize(kBlock * 2);
    m_y.resize(kBlock * 2);
    std::int64_t end = from;
    while (end > 0) {
        const std::int64_t begin = std::max<std::int64_t>(end - kBlock, 0);
        if (!m_source.read(begin, end - begin, m_x.data()) ||
            !m_source.read(begin + lag, end - begin, m_y.data()))
            return -1;
        for (std::int64_t f = end - begin - 1; f >= 0; --f)
            for (int ch = 0; ch < 2; ++ch)
                if (std::abs(m_x[std::size_t(2 * f + ch)] - m_y[std::size_t(2 * f + ch)]) > kSameSample)
                    return begin + f + 1;
        end = begin;
    }
    return 0;
}

// The first frame after an exact repeat that holds at `from - 1`: going on while the samples are
// equal, up to where the copy reaches the end of the file.
std::int64_t Finder::exactEnd(std::int64_t from, std::int64_t lag)
{
    constexpr std::int64_t kBlock = 4096;
    m_x.resize(kBlock * 2);
    m_y.resize(kBlock * 2);
    for (std::int64_t begin = from; begin + lag < m_source.frames();) {
        const std::int64_t count = std::min(kBlock, m_source.frames() - lag - begin);
        if (!m_source.read(begin, count, m_x.data()) || !m_source.read(begin + lag, count, m_y.data()))
            return -1;
        for (std::int64_t f = 0; f < count; ++f)
            for (int ch = 0; ch < 2; ++ch)
                if (std::abs(m_x[std::size_t(2 * f + ch)] - m_y[std::size_t(2 * f + ch)]) > kSameSample)
                    return begin + f;
        begin += count;
    }
    return m_source.frames() - lag;
}

// The first frame from which two lossy passes agree. Going back from `from`, each frame adds its
// difference less a tenth of its music to a running sum: the sum falls while the passes agree and
// climbs once they differ, and the repeat starts where it was least. A coder's burst of noise inside
// the repeat is a small bump, not an end; silence on both sides counts as agreeing, barely.
std::int64_t Finder::agreeingStart(std::int64_t from, std::int64_t lag)
{
    constexpr std::int64_t kBlock = 4096;
    const double share = fromDb(kStartShareDb);
    m_x.resize(kBlock * 2);
    m_y.resize(kBlock * 2);
    double sum = 0, least = 0, musicSince = 0;
    std::int64_t start = from;
    for (std::int64_t end = from; end > 0;) {
        const std::int64_t begin = std::max<std::int64_t>(end - kBlock, 0);
        if (!m_source.read(begin, end - begin, m_x.data()) ||
            !m_source.read(begin + lag, end - begin, m_y.data()))
            return -1;
        for (std::int64_t f = end - begin - 1; f >= 0; --f) {
            const Comparison c = compare(m_x.data() + 2 * f, m_y.data() + 2 * f, 1);
            sum += c.difference - share * c.music - kSilencePower * 1e-2;
            if (sum < least) {
                least = sum;
                start = begin + f;
                musicSince = 0;
                continue;
            }
            musicSince += c.music;
            // Half as much difference as music since the least: these frames are not a repeat.
            if (start - (begin + f) >= kStartGiveUp && sum - least > 0.5 * musicSince)
                return start;
        }
        end = begin;
    }
    return start;
}

bool Finder::acceptable(std::int64_t start, std::int64_t lag, std::int64_t repeatEnd) const
{
    const std::int64_t repeat = repeatEnd - start;
    if (lag < seconds(kMinLoopSeconds) || start + lag > m_source.frames())
        return false;
    if (repeat < seconds(kMinRepeatSeconds) || double(repeat) < kMinRepeatShare * double(lag))
        return false;
    const std::int64_t ending = std::max<std::int64_t>(m_source.frames() - (repeatEnd + lag), 0);
    return start + ending <= 2 * lag + seconds(kOnceSlackSeconds);
}

bool Finder::verify(const RepeatCandidate& candidate, Verified& out)
{
    const int step = m_track.step;
    const std::int64_t frames = m_source.frames();
    double lagAgreementDb = 0;
    const std::int64_t lag = fineLag(candidate, lagAgreementDb);
    if (lag <= 0 || lagAgreementDb > kLagAgreementDb)
        return false;

    // Windows spread over the stretch, each compared with its copy one lag later. Each pass is read
    // in order of position, so that a reader whose seeks are dear can read on over the gaps.
    const std::int64_t window = 4 * std::int64_t(step);
    const std::int64_t first = candidate.first * step, last = (candidate.last + 1) * step;
    const std::int64_t spacing = std::max((last - first) / kMaxProbes, seconds(0.5));
    std::vector<std::int64_t> positions;
    for (std::int64_t at = first; at + window <= last && at + lag + window <= frames; at += spacing)
        positions.push_back(at);
    m_x.resize(positions.size() * std::size_t(window) * 2);
    m_y.resize(std::size_t(window) * 2);
    for (std::size_t i = 0; i < positions.size(); ++i)
        if (!m_source.read(positions[i], window, m_x.data() + i * std::size_t(window) * 2))
            return false;
    struct Probe
    {
        std::int64_t at;
        Comparison c;
        bool silent, agrees;
    };
    std::vector<Probe> probes;
    for (std::size_t i = 0; i < positions.size(); ++i) {
        if (!m_source.read(positions[i] + lag, window, m_y.data()))
            return false;
        const Comparison c = compare(m_x.data() + i * std::size_t(window) * 2, m_y.data(), window);
        probes.push_back({positions[i], c, c.music < kSilencePower * double(window), false});
    }
    // The longest run of windows that agree within `limitDb` or are silent, by the number that
    // agree; one window alone that disagrees (a coder's burst of noise) does not end it.
    std::size_t bestFirst = 0, bestLast = 0, bestCount = 0;
    const auto longestRun = [&](double limitDb) {
        const double limit = fromDb(limitDb);
        for (Probe& p : probes)
            p.agrees = !p.silent && p.c.difference <= limit * p.c.music;
        const auto inRun = [&](std::size_t k) {
            return probes[k].agrees || probes[k].silent ||
                   (k > 0 && k + 1 < probes.size() && probes[k + 1].agrees);
        };
        bestFirst = bestLast = bestCount = 0;
        for (std::size_t i = 0; i < probes.size();) {
            if (!probes[i].agrees) {
                ++i;
                continue;
            }
            std::size_t j = i, lastAgreeing = i, count = 0;
            for (; j < probes.size() && inRun(j); ++j)
                if (probes[j].agrees) {
                    lastAgreeing = j;
                    ++count;
                }
            if (count > bestCount) {
                bestFirst = i;
                bestLast = lastAgreeing;
                bestCount = count;
            }
            i = j;
        }
    };
    const bool lossless = m_options.fidelity == Fidelity::Lossless;
    longestRun(lossless ? kLosslessWindowDb : kLossyWindowDb);
    if (bestCount < 3)
        return false;
    // Where most of a lossless file's repeat is the very same samples, the repeat is that copy and
    // nothing that merely resembles it. A lossy coder may decode stretches of the two passes to the
    // same samples too, but not from where they start to agree: there the agreement decides.
    std::size_t same = 0;
    for (std::size_t i = bestFirst; i <= bestLast; ++i)
        same += probes[i].agrees && probes[i].c.difference == 0 ? 1 : 0;
    const bool exact = lossless && 2 * same > bestCount;
    if (exact) {
        longestRun(-std::numeric_limits<double>::infinity());
        if (bestCount < 3)
            return false;
    }
    Comparison sum;
    for (std::size_t i = bestFirst; i <= bestLast; ++i) {
        sum.difference += probes[i].c.difference;
        sum.music += probes[i].c.music;
    }
    if (toDb(sum.difference / sum.music) > (lossless ? kLosslessRepeatDb : kLossyRepeatDb))
        return false;

    const std::int64_t from = probes[bestFirst].at;
    const std::int64_t start = exact ? exactStart(from, lag) : agreeingStart(from, lag);
    const std::int64_t repeatEnd =
        exact ? exactEnd(probes[bestLast].at + window, lag) : probes[bestLast].at + window;
    if (start < 0 || repeatEnd < 0 || !acceptable(start, lag, repeatEnd))
        return false;

    // What the jump puts in place of what the file would play.
    const std::int64_t jump = std::min(seconds(kJumpSeconds), frames - (start + lag));
    m_x.resize(std::size_t(jump) * 2);
    m_y.resize(std::size_t(jump) * 2);
    if (jump <= 0 || !m_source.read(start, jump, m_x.data()) || !m_source.read(start + lag, jump, m_y.data()))
        return false;
    const Comparison across = compare(m_x.data(), m_y.data(), jump);
    double heard = 0;
    for (std::size_t i = 0; i < m_y.size(); ++i)
        heard += double(m_y[i]) * m_y[i];

    out.loop.start = start;
    out.loop.end = start + lag;
    out.loop.exact = across.difference == 0;
    out.loop.jumpDifferenceDb = across.difference == 0 ? -std::numeric_limits<double>::infinity()
                                                       : toDb(across.difference / std::max(heard, 1e-30));
    out.loop.repeatSeconds = double(repeatEnd - start) / m_source.rate();
    out.repeatEnd = repeatEnd;
    out.score = 0;
    const std::int64_t firstStep = start / step, endStep = std::min(repeatEnd / step, m_track.steps);
    for (std::int64_t s = firstStep; s < endStep; ++s)
        out.score += m_track.novelty[std::size_t(s)];
    return double(out.score) >= kMinMeanNovelty * double(endStep - firstStep);
}

} // namespace

Result findLoop(FrameReader& reader, const Options& options)
{
    try {
        Source source(reader, options.cancel);
        if (source.rate() < 8000 || source.rate() > 384000)
            return {Outcome::None, std::nullopt};
        Finder finder(source, options);
        return finder.run();
    } catch (const std::bad_alloc&) {
        return {Outcome::Failed, std::nullopt};
    } catch (const std::runtime_error&) {
        return {Outcome::Failed, std::nullopt}; // FFTW cannot be loaded
    }
}

} // namespace qb::loopfind
