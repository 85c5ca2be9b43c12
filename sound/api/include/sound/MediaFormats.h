#pragma once

#include <optional>
#include <span>
#include <string_view>

namespace qb::formats {

// The three kinds of device a file is played by.
enum class MediaKind
{
    Sequencer, // Standard MIDI Files, synthesised
    WaveAudio, // sampled sound that libsndfile reads
    MpegVideo, // MPEG audio (MP3)
};

// One file ending we play. `label` names the kind of file in the window's information line; it is
// empty for MIDI files, whose header is shown instead. `family` is the name the desktop's texts give
// the kind (the menu entry, the package's description): the less known tracker formats go by "MOD",
// compressed VGM by "VGM".
struct MediaFormat
{
    std::string_view ending; // lower case, without the dot
    MediaKind kind;
    std::string_view label;
    std::string_view family;
};

// Every ending we play, in the order the open-file dialog lists them.
std::span<const MediaFormat> mediaFormats();

// The format of `path` by the ending after its last dot (ASCII case ignored), or none. A dot in a
// folder name does not count.
std::optional<MediaFormat> formatOfPath(std::string_view path);

} // namespace qb::formats
