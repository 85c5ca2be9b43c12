#include "sound/MediaFormats.h"

#include <array>

namespace qb::formats {

namespace {

constexpr std::array kFormats = {
    MediaFormat{"mid", MediaKind::Sequencer, ""},      MediaFormat{"rmi", MediaKind::Sequencer, ""},
    MediaFormat{"wav", MediaKind::WaveAudio, "WAV"},   MediaFormat{"mp3", MediaKind::MpegVideo, "MP3"},
    MediaFormat{"midi", MediaKind::Sequencer, ""},     MediaFormat{"kar", MediaKind::Sequencer, ""},
    MediaFormat{"flac", MediaKind::WaveAudio, "FLAC"}, MediaFormat{"ogg", MediaKind::WaveAudio, "Ogg"},
    MediaFormat{"oga", MediaKind::WaveAudio, "Ogg"},   MediaFormat{"opus", MediaKind::WaveAudio, "Opus"},
};

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view lower)
{
    if (a.size() != lower.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i])
            return false;
    }
    return true;
}

} // namespace

std::span<const MediaFormat> mediaFormats()
{
    return kFormats;
}

std::optional<MediaFormat> formatOfPath(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    const std::size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || dot < nameStart)
        return std::nullopt;
    const std::string_view ending = path.substr(dot + 1);
    for (const MediaFormat& format : kFormats) {
        if (equalsIgnoringAsciiCase(ending, format.ending))
            return format;
    }
    return std::nullopt;
}

} // namespace qb::formats
