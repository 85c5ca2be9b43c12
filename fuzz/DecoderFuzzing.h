#pragma once

// What the decoder fuzzers share: the fuzzer's bytes as a file, and a bounded workout of the decoder
// that opened it. Each check that fails traps, so libFuzzer keeps the input.

#include "sound/decode/Decoder.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace qb::audio::fuzzing {

// Writes `data` over one file of this process (in memory-backed /dev/shm when there is one) and
// returns its path. The file goes when the process exits.
inline const std::string& writeInput(const std::uint8_t* data, std::size_t size, const char* suffix)
{
    static const std::string path = [suffix] {
        const char* folder = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        return std::string(folder) + "/quillbeat-fuzz-" + std::to_string(::getpid()) + suffix;
    }();
    static const bool removed = [] { return std::atexit([] { ::unlink(path.c_str()); }) == 0; }();
    (void)removed;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size)
        std::abort();
    if (std::fclose(file) != 0)
        std::abort();
    return path;
}

inline void check(bool condition, const char* what = "a Decoder promise", std::int64_t a = 0,
                  std::int64_t b = 0)
{
    if (!condition) {
        std::fprintf(stderr, "decoder fuzzer: broken: %s (%lld, %lld)\n", what, static_cast<long long>(a),
                     static_cast<long long>(b));
        std::abort();
    }
}

// Reads at most `chunks` chunks of a pass, then seeks to the middle and reads on, renders a tail,
// cuts the sound and starts again: every entry point of Decoder with bounded work.
inline void exercise(Decoder& decoder, int chunks)
{
    constexpr int kChunk = 64;
    std::vector<float> buffer(std::size_t{kChunk} * kChannels);
    const std::int64_t length = decoder.lengthFrames();
    check(length >= -1, "length >= -1", length);
    auto readSome = [&](int count) {
        for (int i = 0; i < count; ++i) {
            const int got = decoder.read(buffer.data(), kChunk);
            check(got >= 0 && got <= kChunk, "0 <= read() <= frames asked", got, kChunk);
            check(decoder.positionFrames() >= 0, "position >= 0", decoder.positionFrames());
            // A length taken from a header may grow once more frames turn up; it never falls behind.
            const std::int64_t now = decoder.lengthFrames();
            if (now >= 0)
                check(decoder.positionFrames() <= now, "position <= length", decoder.positionFrames(), now);
            if (got < kChunk)
                break;
        }
    };
    readSome(chunks);
    decoder.seek(length > 0 ? length / 2 : 0);
    readSome(2);
    decoder.renderTail(buffer.data(), kChunk / 2);
    decoder.silence();
    decoder.seek(0);
    readSome(1);
}

} // namespace qb::audio::fuzzing
