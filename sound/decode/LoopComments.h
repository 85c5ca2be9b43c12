#pragma once

#include "sound/decode/Decoder.h"

#include <optional>
#include <string>
#include <vector>

namespace qb::audio {

// The loop that Vorbis comments mark, as many game engines write them into their music: LOOPSTART,
// and LOOPLENGTH (or, without it, LOOPEND, exclusive), in samples at `commentRate`; names in any case.
// The span is in the file's frames at `fileRate` (the nearest one), as is `length`: a start without a
// length or end loops to it. A number that is not one gives a start of -1, so the marks are reported
// as making no sense; numbers beyond any file stay beyond it. None without LOOPSTART.
std::optional<LoopSpan> loopFromComments(const std::vector<std::string>& comments, std::int64_t length,
                                         int commentRate, int fileRate);

// The Vorbis comments of the FLAC file open at `fd` (libFLAC, which reads what libsndfile drops);
// `format` is libsndfile's format word for it. Empty for other formats and when the file has none. (Ogg
// Vorbis and Opus files are read by their own libraries, which give their comments.)
std::vector<std::string> vorbisComments(int fd, int format);

} // namespace qb::audio
