#pragma once

#include "sound/decode/Decoder.h"

#include <optional>
#include <string>
#include <vector>

namespace qb::audio {

// The loop that Vorbis comments mark, as many game engines write them into their music: LOOPSTART,
// and LOOPLENGTH (or, without it, LOOPEND, exclusive), in samples of the file's rate; names in any
// case. A start without a length or end loops to `length`. A number that is not one gives a start of
// -1, so the marks are reported as making no sense. None without LOOPSTART.
std::optional<LoopSpan> loopFromComments(const std::vector<std::string>& comments, std::int64_t length);

// The Vorbis comments of the FLAC, Ogg Vorbis or Ogg Opus file open at `fd` (libFLAC, libvorbisfile,
// libopusfile); `format` is libsndfile's format word for it. Empty for other formats and when the file
// has none. (An Opus file's samples are at 48 kHz, as libsndfile decodes it and its comments count.)
std::vector<std::string> vorbisComments(int fd, int format);

} // namespace qb::audio
