#pragma once

#include "Decoder.h"

#include <memory>
#include <string>

namespace qb::audio {

enum class OpenError {
    None,
    FileNotFound,     // no readable file at the path
    InvalidFile,      // the file is there but is not of the decoder's kind, or is damaged
    SoundFontMissing, // MIDI only: the General MIDI SoundFont cannot be loaded
    OutOfMemory,
};

struct OpenResult
{
    std::unique_ptr<Decoder> decoder; // null exactly when error != None
    OpenError error = OpenError::None;
    std::string message;              // for logs and tests, English
};

// Debian's default General MIDI SoundFont.
inline constexpr const char* kDefaultSoundFont = "/usr/share/sounds/sf2/default-GM.sf2";

// WAVE and whatever else libsndfile reads (FLAC, Ogg Vorbis, Opus), resampled to kEngineRate.
OpenResult openSoundFileDecoder(const std::string& path);
// MPEG audio through mpg123, gapless (encoder delay and padding removed), resampled to kEngineRate.
OpenResult openMp3Decoder(const std::string& path);
// Standard MIDI Files and RIFF MIDI (.rmi), synthesised by FluidSynth with `soundFontPath`.
OpenResult openMidiDecoder(const std::string& path, const std::string& soundFontPath = kDefaultSoundFont);

} // namespace qb::audio
