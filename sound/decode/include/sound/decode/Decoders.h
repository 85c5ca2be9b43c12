#pragma once

#include "sound/decode/Decoder.h"
#include "sound/loopfind/LoopFinder.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
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
    // The loop the file marks plays (see playingLoopPoints).
    bool marksPlay = false;
    FileLimit tooLarge = {}; // OpenError::TooLarge only
};

// What the decoder front needs besides a file's path.
struct OpenRequest
{
    // Opens a Standard MIDI File: the synthesiser lives above the decoders, so its opener is lent.
    // Null: MIDI files are refused as files of a kind not played here.
    std::function<OpenResult(const std::string& path)> midi;
    // The kinds a device of a given type plays: a sequencer MIDI files only, the others the rest.
    bool midiAllowed = true;
    bool othersAllowed = true;
    // The track to play of a file that holds several (game-music files); 0 is the first.
    int track = 0;
};

// The decoder front: opens the file at `path` with the decoder its content calls for, whatever its
// name says. The leading bytes choose, as follows:
// - "MThd", or a RIFF "RMID" file: a Standard MIDI File, through request.midi;
// - an Ogg stream of Vorbis or Opus: libvorbisfile or libopusfile (chained streams whole);
// - a game-music file libgme identifies (NSF, NSFE, SPC, VGM, VGZ, GBS, HES, KSS, AY, SAP, GYM):
//   libgme, track request.track;
// - RIFF WAVE, RF64, Wave64, AIFF, FLAC, CAF, Sun/NeXT audio: libsndfile;
// - a tracker module libopenmpt recognises (MOD, XM, S3M, IT, MPTM and its other formats): libopenmpt;
// - MPEG audio (an ID3 tag, or a frame header): MP3;
// - anything else: libsndfile, which refuses what it does not know.
// Refused (InvalidFile) when the content's kind is not allowed. Runs on the caller's thread and reads
// the file: see the MCI service for the thread it opens on.
OpenResult openDecoder(const std::string& path, const OpenRequest& request = {});

// Whether the file at `path` starts as a Standard MIDI File does ("MThd", or a RIFF "RMID" file): what
// openDecoder() hands to request.midi. False when it cannot be read.
bool isMidiFile(const std::string& path);

// The shortest loop that is played as one: 50 ms (2,205 engine frames), a sixteenth note at 75 beats a
// minute. Anything shorter repeats as a buzz or as silence (a loop of 0 to 0 is what sample editors
// write for "no loop") and costs a jump every few frames, whatever the format marked it.
inline constexpr std::int64_t kShortestLoopFrames = kEngineRate / 20;

// `decoder` playing the loop points its file marks (Decoder::loopMarks): from its start to the loop's
// end once, then from the loop's start to its end for ever, the jump costing no frame. The pass never
// ends while the file reads. Marks that make no sense (start at or after the end, past the file's end,
// a loop shorter than kShortestLoopFrames) are ignored with a note on standard error naming `path`,
// and `decoder` is returned as it is, as it is when it has no marks.
std::unique_ptr<Decoder> playingLoopPoints(std::unique_ptr<Decoder> decoder, const std::string& path);

// A loop handed to the decoder that plays it by the thread that found it, at any time while it plays.
// Set once (later sets are ignored); read by the feeder and by any thread that folds a position.
class LoopSlot
{
public:
    // `span` in engine frames.
    void set(const LoopSpan& span);
    std::optional<LoopSpan> get() const;

private:
    mutable std::mutex m_mutex;
    std::optional<LoopSpan> m_span;
};

// `decoder` playing the loop its slot is given, whenever that comes: until then the file plays whole,
// pass after pass. A loop that comes before the pass reaches its end is played from this pass on: the
// pass plays from its start to the loop's end, then the loop for ever, the jump costing no frame; one
// that comes later is played from the next pass on. Once the loop plays, the length is its end (one
// pass up to where the music repeats) and positions fold into it.
std::unique_ptr<Decoder> playingFoundLoop(std::unique_ptr<Decoder> decoder,
                                          std::shared_ptr<const LoopSlot> slot);

// A file as the loop finder reads it (loopfind::FrameReader): its own frames at its own rate, with
// seeks exact to the frame, and how it was stored.
struct LoopSearchAudio
{
    std::unique_ptr<loopfind::FrameReader> reader;
    loopfind::Fidelity fidelity = loopfind::Fidelity::Lossy;
};
// Opens the file at `path` for the loop finder: WAVE and the other files libsndfile reads (FLAC, MP3)
// through libsndfile, Ogg Vorbis and Opus through their libraries, chosen by content as openDecoder
// chooses. None, with the reason in `why`, for a file that is not sampled sound (MIDI, tracker modules
// and game-music files know their own loop) or that cannot be opened. Its reads stop when the calling
// thread's reads are cancelled (posix/Reads.h).
std::optional<LoopSearchAudio> openForLoopSearch(const std::string& path, std::string* why);

} // namespace qb::audio
