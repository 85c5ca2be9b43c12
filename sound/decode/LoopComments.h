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

// The rate the loop comments of a file of libsndfile's `format` count samples at, for a file
// libsndfile decodes at `fileRate`: 48 kHz for Opus, which counts every place at 48 kHz whatever rate
// it is decoded at (libsndfile decodes one made from 8, 12, 16 or 24 kHz sound at that rate); the
// file's own rate for FLAC and Vorbis.
int loopCommentRate(int format, int fileRate);

// The Vorbis comments of the FLAC, Ogg Vorbis or Ogg Opus file open at `fd` (libFLAC, libvorbisfile,
// libopusfile); `format` is libsndfile's format word for it. Empty for other formats and when the file
// has none.
std::vector<std::string> vorbisComments(int fd, int format);

} // namespace qb::audio
