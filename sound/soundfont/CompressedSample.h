#pragma once

#include <cstdint>

namespace qb::audio {

// The most frames a compressed sample may decode to: a synthesiser allocates them all at once, so a
// damaged stream's length (libsndfile may report its largest count for one it cannot measure) is not
// taken on trust. About 25 minutes at 44.1 kHz, 128 MB of 16-bit points.
inline constexpr std::int64_t kMaxCompressedFrames = std::int64_t{1} << 26;

// The frames of the mono Ogg Vorbis stream in the `bytes` bytes at `offset` of the file open as `fd`,
// as libsndfile (what FluidSynth decodes a compressed sample with) counts them; 0 when it cannot open
// the stream, the stream is not mono, or it holds more than kMaxCompressedFrames. Reads the stream's
// headers and its last page only.
std::int64_t compressedSampleFrames(int fd, std::uint64_t offset, std::uint64_t bytes);

// Decodes frames [first, first + count) of that stream to 16-bit points in `out`, as FluidSynth
// decodes it (libsndfile's conversion), decoding from the stream's start; what a damaged stream does
// not give is silence. False only when the file cannot be read (a given-up open stops there).
bool decodeCompressedSample(int fd, std::uint64_t offset, std::uint64_t bytes, std::uint64_t first,
                            std::int16_t* out, std::uint64_t count);

} // namespace qb::audio
