#include "testkit/ComposedMusic.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

namespace qb::test {

namespace {

constexpr int kRate = 44100;

double keyHz(int key)
{
    return 440.0 * std::pow(2.0, (key - 69) / 12.0);
}

} // namespace

std::vector<Note> compose(std::uint32_t seed, double seconds)
{
    std::mt19937 rng(seed);
    const int scale[] = {0, 2, 4, 7, 9};
    const auto pick = [&](int low, int octaves) {
        return low + 12 * int(rng() % unsigned(octaves)) + scale[rng() % 5];
    };
    const double sixteenth = 0.125;
    std::vector<Note> notes;
    for (double t = 0; t < seconds; t += sixteenth * (1 + rng() % 4))
        notes.push_back({t, 0.4, keyHz(pick(36, 2)), 0.25f, 0});
    for (double t = 0; t < seconds; t += sixteenth * (1 + rng() % 3))
        if (rng() % 5)
            notes.push_back({t, 0.6, keyHz(pick(62, 2)), 0.18f, 1});
    for (double t = 0; t < seconds; t += 8 * sixteenth) {
        const int root = pick(50, 1);
        for (int k : {0, 4, 7})
            notes.push_back({t, 1.5, keyHz(root + k), 0.07f, 2});
    }
    for (double t = 0; t < seconds; t += 2 * sixteenth) {
        const int beat = int(std::lround(t / sixteenth)) % 16;
        if (beat % 8 == 0)
            notes.push_back({t, 0.3, 55, 0.5f, 3}); // kick
        else if (beat % 8 == 4)
            notes.push_back({t, 0.2, 0, 0.2f, 4}); // snare
        else if (rng() % 3)
            notes.push_back({t, 0.05, 0, 0.08f, 5}); // hat
    }
    return notes;
}

namespace {

// One cycle of each pitched voice's waveform: harmonics in different measures.
std::vector<float> cycle(int voice)
{
    constexpr int kSize = 2048;
    std::vector<float> table(kSize);
    for (int h = 1; h <= 12; ++h) {
        const double weight = voice == 0   ? 1.0 / h                          // bright, saw-like
                              : voice == 1 ? (h % 2 ? 1.0 / (h * h) : 0.0)    // hollow, odd harmonics
                              : voice == 2 ? (h <= 3 ? 1.0 / (h * h * h) : 0) // soft
                                           : (h == 1 ? 1.0 : 0.0);            // the kick's body
        for (int i = 0; i < kSize; ++i)
            table[std::size_t(i)] += float(weight * std::sin(2 * std::numbers::pi * h * i / kSize));
    }
    return table;
}

} // namespace

Samples render(const std::vector<Note>& notes, std::int64_t frames, std::uint32_t performance, bool humanise)
{
    Samples out(std::size_t(frames) * 2, 0.0f);
    const std::vector<float> tables[] = {cycle(0), cycle(1), cycle(2), cycle(3)};
    const float pans[] = {0.35f, 0.7f, 0.5f, 0.5f, 0.4f, 0.65f};
    std::mt19937 rng(performance);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    for (const Note& note : notes) {
        const double jitter = humanise ? 0.004 * unit(rng) : 0.0;
        const auto begin = std::int64_t(std::llround((note.start + jitter) * kRate));
        const auto length = std::int64_t(note.length * kRate);
        const double decay = 4.0 / double(length);
        double phase = (unit(rng) + 1) * 1024;
        for (std::int64_t i = 0; i < length && begin + i < frames; ++i) {
            if (begin + i < 0)
                continue;
            const double envelope = std::min(1.0, double(i) / 200) * std::exp(-decay * double(i));
            double v;
            if (note.voice <= 3) {
                const std::vector<float>& table = tables[std::min(note.voice, 3)];
                // The kick falls in pitch as it sounds.
                const double hz = note.voice == 3 ? note.hz * (1 + 2 * std::exp(-double(i) / 2000)) : note.hz;
                phase = std::fmod(phase + hz * 2048 / kRate, 2048.0);
                v = table[std::size_t(phase)];
            } else {
                v = unit(rng);
            }
            const auto s = float(v * envelope * note.level);
            out[std::size_t(begin + i) * 2] += s * (1 - pans[note.voice]);
            out[std::size_t(begin + i) * 2 + 1] += s * pans[note.voice];
        }
    }
    return out;
}

Samples slice(const Samples& s, std::int64_t from, std::int64_t to)
{
    return Samples(s.begin() + from * 2, s.begin() + to * 2);
}

Samples join(std::initializer_list<Samples> parts)
{
    Samples all;
    for (const Samples& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

Samples fadeOut(Samples s)
{
    const auto frames = std::int64_t(s.size() / 2);
    for (std::int64_t i = 0; i < frames; ++i)
        for (int ch = 0; ch < 2; ++ch)
            s[std::size_t(i * 2 + ch)] *= float(frames - i) / float(frames);
    return s;
}

Arranged arrange(std::uint32_t seed, std::int64_t intro, std::int64_t section, std::int64_t fade)
{
    const Samples song = render(compose(seed, double(intro + section + fade) / kRate), intro + section, seed);
    return {join({song, slice(song, intro, intro + section), fadeOut(slice(song, intro, intro + fade))}),
            intro, intro + section};
}

} // namespace qb::test
