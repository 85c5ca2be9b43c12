#include "Features.h"

#include "Fft.h"
#include "Source.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qb::loopfind {

namespace {

constexpr double kLowestBandHz = 100;
constexpr double kHighestBandHz = 12000;
constexpr std::uint8_t kNoveltyCap = 24; // 12 dB: one loud hit must not outweigh seconds of music
constexpr int kStepsPerRead = 64;

} // namespace

int levelDistance(const std::uint8_t* a, const std::uint8_t* b)
{
#if defined(__SSE2__)
    static_assert(FeatureTrack::kBands == 16);
    const __m128i sums = _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a)),
                                      _mm_loadu_si128(reinterpret_cast<const __m128i*>(b)));
    return _mm_cvtsi128_si32(_mm_add_epi32(sums, _mm_unpackhi_epi64(sums, sums)));
#else
    int sum = 0;
    for (int i = 0; i < FeatureTrack::kBands; ++i)
        sum += std::abs(int(a[i]) - int(b[i]));
    return sum;
#endif
}

bool computeFeatures(Source& source, int step, FeatureTrack& track)
{
    constexpr int kBands = FeatureTrack::kBands;
    const int size = 2 * step;
    track.step = step;
    track.steps = source.frames() / step;
    const auto steps = std::size_t(track.steps);
    track.levels.assign(steps * kBands, 0);
    track.novelty.assign(steps, 0);
    if (steps == 0)
        return source.ok();

    // Log-spaced bands over the range where music has its notes and its timbre; above it the lossy
    // coders cut and fill, and below it a shift of a few milliseconds changes too little to see.
    const double top = std::min(kHighestBandHz, 0.45 * source.rate());
    int edges[kBands + 1];
    for (int b = 0; b <= kBands; ++b) {
        const double hz = kLowestBandHz * std::pow(top / kLowestBandHz, double(b) / kBands);
        edges[b] = std::clamp(int(std::lround(hz * size / source.rate())), 1, size / 2);
    }
    for (int b = 1; b <= kBands; ++b)
        edges[b] = std::max(edges[b], edges[b - 1] + 1);

    std::vector<float> window(static_cast<std::size_t>(size));
    for (int i = 0; i < size; ++i)
        window[std::size_t(i)] = float(0.5 - 0.5 * std::cos(2 * std::numbers::pi * (i + 0.5) / size));
    PowerSpectrum spectrum(size);
    std::vector<float> power(std::size_t(size / 2 + 1));
    std::vector<float> energies(steps * kBands);
    std::vector<float> stereo(std::size_t(kStepsPerRead + 1) * std::size_t(step) * 2);
    // Full scale in a band comes out near 0 dB whatever the window's size.
    const double scale = 1.0 / (double(size) * size);

    for (std::size_t first = 0; first < steps; first += kStepsPerRead) {
        const std::size_t count = std::min<std::size_t>(kStepsPerRead, steps - first);
        const std::int64_t frames = std::int64_t(count + 1) * step;
        if (!source.read(std::int64_t(first) * step, frames, stereo.data()))
            return false;
        for (std::size_t s = 0; s < count; ++s) {
            const float* in = stereo.data() + s * std::size_t(step) * 2;
            float* block = spectrum.input();
            for (int i = 0; i < size; ++i)
                block[i] = (in[2 * i] + in[2 * i + 1]) * window[std::size_t(i)];
            spectrum.run(power.data());
            float* e = energies.data() + (first + s) * kBands;
            for (int b = 0; b < kBands; ++b) {
                double sum = 0;
                for (int k = edges[b]; k < edges[b + 1]; ++k)
                    sum += power[std::size_t(k)];
                e[b] = float(sum * scale);
            }
        }
    }

    // Each step's levels are those of the step and the next: a repeat shifted by part of a step then
    // still shows nearly the same levels.
    for (std::size_t s = 0; s < steps; ++s) {
        const float* e = energies.data() + s * kBands;
        const float* next = s + 1 < steps ? e + kBands : e;
        for (int b = 0; b < kBands; ++b) {
            const double db = 10 * std::log10(double(e[b]) + next[b] + 1e-10);
            track.levels[s * kBands + std::size_t(b)] =
                std::uint8_t(std::clamp(std::lround((db + 100) * 2), 0L, 255L));
        }
    }
    for (std::size_t s = 0; s + 2 < steps; ++s) {
        const int change = levelDistance(track.at(std::int64_t(s)), track.at(std::int64_t(s + 2))) / kBands;
        track.novelty[s] = std::uint8_t(std::min<int>(change, kNoveltyCap));
    }
    return source.ok();
}

} // namespace qb::loopfind
