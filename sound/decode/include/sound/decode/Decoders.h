#pragma once

#include "sound/decode/Decoder.h"

#include <cstdint>
#include <memory>
#include <string>

namespace qb::audio {

enum class OpenError
{
    None,
    FileNotFound,     // no readable file at the path
    InvalidFile,      // the file is there but is not of the decoder's kind, or is damaged
    SoundFontMissing, // MIDI only: the General MIDI SoundFont cannot be loaded
    OutOfMemory,
    TooLarge, // a valid file beyond a limit of this machine (OpenResult::tooLarge says which)
};

// The limit a file that is too large goes beyond.
struct FileLimit
{
    enum Kind
    {
        FileSize,    // the file's size in bytes
        EventMemory, // the memory a MIDI file's events take, in bytes
    };
    Kind kind = FileSize;
    std::uint64_t amount = 0; // what the file has or needs
    std::uint64_t limit = 0;  // the most this machine takes
};

// Why a SoundFont could not be loaded (OpenError::SoundFontMissing).
enum class SoundFontProblem
{
    None,
    Missing,      // no file at its path
    Unreadable,   // a file that cannot be read (no permission, not a regular file)
    NotSoundFont, // a file of another kind
    Rejected,     // a SoundFont that is damaged or that FluidSynth refuses
};

struct OpenResult
{
    std::unique_ptr<Decoder> decoder; // null exactly when error != None
    OpenError error = OpenError::None;
    std::string message; // for logs and tests, English
    SoundFontProblem soundFontProblem = SoundFontProblem::None;
    FileLimit tooLarge = {}; // OpenError::TooLarge only
};

// WAVE and whatever else libsndfile reads (FLAC, Ogg Vorbis, Opus), resampled to kEngineRate.
OpenResult openSoundFileDecoder(const std::string& path);
// MPEG audio through mpg123, gapless (encoder delay and padding removed), resampled to kEngineRate.
OpenResult openMp3Decoder(const std::string& path);

// `decoder` playing the loop points its file marks (Decoder::loopMarks): from its start to the loop's
// end once, then from the loop's start to its end for ever, the jump costing no frame. The pass never
// ends while the file reads. Marks that make no sense (start at or after the end, past the file's end,
// an empty loop) are ignored with a note on standard error naming `path`, and `decoder` is returned
// as it is, as it is when it has no marks.
std::unique_ptr<Decoder> playingLoopPoints(std::unique_ptr<Decoder> decoder, const std::string& path);

} // namespace qb::audio
