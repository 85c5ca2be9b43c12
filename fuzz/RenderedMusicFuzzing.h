#pragma once

// What the fuzzers of rendered music (tracker modules, game-music tunes) share: a bounded workout of a
// decoder whose pass may never end, across the end of its first pass and to places past it. Each
// broken promise traps (DecoderFuzzing.h), so libFuzzer keeps the input.

#include "DecoderFuzzing.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qb::audio::fuzzing {

struct LoopingWorkout
{
    // Samples beyond this magnitude are broken (a library that renders 16-bit integers stays in
    // [-1, 1]; a float renderer may overshoot a little, never by much).
    float loudest = 1.0f;
    // The frames read by each read() call: the engine's feeder reads in chunks of this order.
    int chunk = 256;
    // Seeks beyond this place are left out: an emulator reaches a place by playing up to it.
    std::int64_t farthestSeek = std::numeric_limits<std::int64_t>::max();
};

// The positions the engine tells the user are folded ones: a place within the pass stays as it is, a
// place past it folds into it (or stays, for a decoder that does not jump), and a folded place stays.
inline void checkFolding(const Decoder& decoder)
{
    const std::int64_t length = decoder.lengthFrames();
    if (length <= 0)
        return;
    const std::int64_t far = std::numeric_limits<std::int64_t>::max() / 4;
    for (const std::int64_t frame : {std::int64_t{0}, length / 2, length - 1, length, length + 1,
                                     2 * length + 7, decoder.positionFrames(), far}) {
        const std::int64_t folded = decoder.foldPosition(frame);
        if (frame < length)
            check(folded == frame, "a place within the pass is its own", frame, folded);
        else
            check(folded == frame || (folded >= 0 && folded < length), "a place past the pass folds into it",
                  frame, folded);
        check(decoder.foldPosition(folded) == folded, "a folded place stays", folded,
              decoder.foldPosition(folded));
    }
}

// Reads `frames` frames in the workout's chunks and checks every read: a count within what was asked,
// finite samples within the workout's magnitude, the position counting on by the count, the position
// told within the pass, and nothing more after the pass ended (a short count). False when it ended.
inline bool readChecked(Decoder& decoder, std::int64_t frames, const LoopingWorkout& workout)
{
    std::vector<float> buffer(static_cast<std::size_t>(workout.chunk) * kChannels);
    for (std::int64_t done = 0; done < frames;) {
        const int want = static_cast<int>(std::min<std::int64_t>(workout.chunk, frames - done));
        const std::int64_t before = decoder.positionFrames();
        const int got = decoder.read(buffer.data(), want);
        check(got >= 0 && got <= want, "0 <= read() <= frames asked", got, want);
        check(decoder.positionFrames() == before + got, "the position counts on by the frames read",
              decoder.positionFrames(), before + got);
        for (std::size_t i = 0; i < static_cast<std::size_t>(got) * kChannels; ++i)
            check(std::isfinite(buffer[i]) && std::fabs(buffer[i]) <= workout.loudest,
                  "a finite, bounded sample", static_cast<std::int64_t>(i),
                  std::isfinite(buffer[i]) ? std::llround(buffer[i] * 1000) : -1);
        // A length may grow as more of the pass turns up, but the place told is always within it.
        const std::int64_t length = decoder.lengthFrames();
        check(length >= -1, "length >= -1", length);
        if (length >= 0)
            check(decoder.foldPosition(decoder.positionFrames()) <= length,
                  "the place told lies within the pass", decoder.foldPosition(decoder.positionFrames()),
                  length);
        if (got < want) {
            check(decoder.read(buffer.data(), want) == 0, "nothing after the end of the pass until a seek");
            return false;
        }
        done += got;
    }
    return true;
}

// From the start; across the end of the first pass (reached by a seek close to it when the length is
// known); to places past the first pass, which fold; and from the start again.
inline void exerciseLooping(Decoder& decoder, const LoopingWorkout& workout = {})
{
    check(decoder.positionFrames() == 0, "a new decoder stands at its start", decoder.positionFrames());
    readChecked(decoder, 4 * workout.chunk, workout);
    checkFolding(decoder);
    const std::int64_t length = decoder.lengthFrames();
    if (length > 0 && length - 2 * workout.chunk <= workout.farthestSeek) {
        decoder.seek(std::max<std::int64_t>(length - 2 * workout.chunk, 0));
        readChecked(decoder, 8 * workout.chunk, workout);
        checkFolding(decoder);
    }
    // Past the pass: within the repeat that follows it, and several repeats on. What the pass's length
    // is now (a module learns its own at the end) places them.
    const std::int64_t pass = decoder.lengthFrames();
    if (pass > 0) {
        const std::int64_t repeat = pass - decoder.foldPosition(pass);
        for (const std::int64_t frame :
             {pass + pass / 3, pass + 3 * std::max<std::int64_t>(repeat, 1) - workout.chunk}) {
            if (frame < 0 || decoder.foldPosition(frame) > workout.farthestSeek)
                continue;
            decoder.seek(frame);
            const std::int64_t at = decoder.positionFrames();
            check(at >= 0, "a position >= 0 after a seek", at);
            readChecked(decoder, 4 * workout.chunk, workout);
            checkFolding(decoder);
        }
    }
    decoder.silence();
    if (decoder.seek(0))
        check(decoder.foldPosition(decoder.positionFrames()) == 0, "a seek to the start lands there",
              decoder.positionFrames());
    readChecked(decoder, 2 * workout.chunk, workout);
}

} // namespace qb::audio::fuzzing
