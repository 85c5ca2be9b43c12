#pragma once

#include "FileReader.h"
#include "FrameSource.h"
#include "sound/decode/Decoders.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace qb::audio {

// The backends behind the decoder front (openDecoder), each over a file already open. The front
// decides by the file's leading bytes which one opens it.

// Whatever libsndfile reads (WAVE, AIFF, FLAC, MPEG audio and its other formats), resampled to
// kEngineRate.
OpenResult openSoundFile(std::unique_ptr<FileReader> file);
// The same file's frames at its own rate, and whether it holds them without loss (PCM and FLAC rather
// than a lossy coding); null, with the reason in `why`, when libsndfile refuses it.
std::unique_ptr<FrameSource> openSoundFileSource(std::unique_ptr<FileReader> file, bool* lossless,
                                                 std::string* why);
// libsndfile on the bytes [start, start + size) of `file`, which must outlive the source; null, with
// the reason in `why`, when libsndfile refuses them. Seeks in MPEG audio land on the exact sound.
std::unique_ptr<FrameSource> openSoundFilePart(FileReader& file, std::int64_t start, std::int64_t size,
                                               std::string* why);
// MPEG audio, gapless (encoder delay and padding removed), resampled to kEngineRate: through libsndfile
// when its streams announce their lengths (see MpegParts.h), else through mpg123.
OpenResult openMpegAudio(std::unique_ptr<FileReader> file);

// An Ogg Vorbis stream through libvorbisfile, chained streams (links one after the other, as stream
// dumps are) whole: every link in turn, a link at another rate than the first resampled to it (see
// ChainedParts), mono links on both sides, more channels as their left and right. The loop comments
// are the first link's. Null, with the reason in `why`, when libvorbisfile refuses the file.
std::unique_ptr<FrameSource> openVorbisSource(std::unique_ptr<FileReader> file, std::string* why);

// An Ogg Opus stream through libopusfile, chained too: every link at 48 kHz, mixed down to stereo as
// libopusfile does. The loop comments are the first link's, in 48 kHz samples.
std::unique_ptr<FrameSource> openOpusSource(std::unique_ptr<FileReader> file, std::string* why);

// Music that a library renders from its own description of it, repeating as its composer wrote it.

// Whether libopenmpt reads the file that starts with `head` (`size` bytes in all): a tracker module.
bool isTrackerModule(std::span<const unsigned char> head, std::uint64_t size);
// A tracker module through libopenmpt, rendered at the engine's rate: it runs into its own restart
// position for ever (one that simply ends runs into its start), with no gap, fade or frame lost at
// the jump. Its pass never ends; lengthFrames() is one pass up to the jump, and positions beyond it
// fold back into the part that repeats.
OpenResult openTrackerDecoder(std::unique_ptr<FileReader> file);

// Whether libgme reads the file that starts with `head`: a game-music file (NSF, NSFE, SPC, VGM, VGZ,
// GBS, HES, KSS, AY, SAP, GYM with its header).
bool isGameMusic(std::span<const unsigned char> head);
// Track `track` (0 is the first) of a game-music file through libgme, at the engine's rate, played
// without end: no fade, no silence detection, no length limit; a file's own loop (a VGM loop offset)
// is the emulator's, kept exactly. A tune that ends by itself loops whole.
OpenResult openGameMusicDecoder(std::unique_ptr<FileReader> file, int track);

} // namespace qb::audio
