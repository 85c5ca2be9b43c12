#pragma once

#include "FileReader.h"
#include "FrameSource.h"
#include "sound/decode/Decoders.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qb::audio {

// One MPEG audio stream that announces itself: its first frame is a Xing or Info frame (what LAME and
// most encoders write) giving its frame count and its size in bytes, so libsndfile knows its exact
// length, and its encoder delay and padding from the LAME tag.
struct MpegPart
{
    std::int64_t offset = 0; // of its first frame in the file
    std::int64_t bytes = 0;  // from there to its end
};

// The most parts a file joined from announced streams is played as such (each costs a libsndfile open
// of a tenth of a millisecond when the file opens); a file of more plays through mpg123 as one stream.
inline constexpr std::size_t kMostMpegParts = 1024;

// The announced streams that make up the MPEG audio file `file`, one after the other, from their first
// frames alone (a read of 64 bytes each): ID3v2 tags before or between them and ID3v1 and APEv2 tags
// at the end are passed over. Empty when some part of the file is not such a stream (no Xing/Info
// frame count where a stream begins, or bytes after one that no frame announces), a stream announces
// more bytes than the file holds (a file cut short: its frame count is no longer its length), or the
// file holds more than kMostMpegParts of them.
std::vector<MpegPart> announcedMpegParts(FileReader& file);

// The parts of `file` (two or more) as one stream, each decoded by libsndfile on its own bytes: each
// gapless, with its exact length, at the first part's rate (see ChainedParts). Null, with the reason in
// `why`, when libsndfile refuses a part.
std::unique_ptr<FrameSource> openMpegParts(std::unique_ptr<FileReader> file,
                                           const std::vector<MpegPart>& parts, std::string* why);

// MPEG audio that does not announce its length, or with frames after the announced streams: through
// mpg123, which decodes what libsndfile cuts short (libsndfile stops at its estimate of the length, the
// file's size over the first frame's, and at a change of rate). The length is that estimate until a
// scan of the frames on a thread of its own finds the exact one; parts at another rate than the first
// frame's are resampled by mpg123.
OpenResult openUnannouncedMpeg(std::unique_ptr<FileReader> file);

} // namespace qb::audio
