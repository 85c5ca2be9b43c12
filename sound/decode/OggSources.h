#pragma once

#include "FileReader.h"
#include "FrameSource.h"

#include <memory>
#include <string>

namespace qb::audio {

// An Ogg Vorbis stream through libvorbisfile, chained streams (links one after the other, as stream
// dumps are) whole: every link in turn, a link at another rate than the first resampled to it (see
// ChainedParts), mono links on both sides, more channels as their left and right. The loop comments
// are the first link's. Null, with the reason in `why`, when libvorbisfile refuses the file.
std::unique_ptr<FrameSource> openVorbisSource(std::unique_ptr<FileReader> file, std::string* why);

// An Ogg Opus stream through libopusfile, chained too: every link at 48 kHz, mixed down to stereo as
// libopusfile does. The loop comments are the first link's, in 48 kHz samples.
std::unique_ptr<FrameSource> openOpusSource(std::unique_ptr<FileReader> file, std::string* why);

} // namespace qb::audio
