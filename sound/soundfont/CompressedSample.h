#pragma once

#include <cstdint>

namespace qb::audio {

// The most frames a compressed sample may decode to: a synthesiser allocates them all at once, so a
// damaged stream's length (libsndfile may report its largest count for one it cannot measure) is not
// taken on trust. About 25 minutes at 44.1 kHz, 128 MB of 16-bit points.
inline constexpr std::int64_t kMaxCompressedFrames = std::int64_t{1} << 26;

// Whether the `bytes` bytes at `offset` of the file open as `fd` are a mono Ogg Vorbis stream that
// libsndfile opens, of at least one frame and at most kMaxCompressedFrames: what FluidSynth decodes a
// compressed sample with. Reads the stream's headers and its last page only.
bool decodableSample(int fd, std::uint64_t offset, std::uint64_t bytes);

} // namespace qb::audio
