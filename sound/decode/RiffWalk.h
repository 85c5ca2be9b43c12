#pragma once

#include <string>

namespace qb::audio {

// Walks the chunks of a RIFF (or RIFX) WAVE file open at `fd` up to its "data" chunk, without
// reading their contents: every chunk before it must lie within the file. False, with the reason in
// `why`, when one runs past the end or the file ends without sound data; true for any other file,
// which is left to the decoder to judge. The sound data itself may run past the end: a recording cut
// short plays what is there.
//
// libsndfile 1.2.0 trusts the sizes of the chunks before the data, and a chunk that claims more than
// the file holds can keep its sf_open_fd from ever returning; a file whose chunks do not add up is
// damaged whatever a decoder makes of it, so it never reaches libsndfile.
bool riffChunksAddUp(int fd, std::string* why);

} // namespace qb::audio
