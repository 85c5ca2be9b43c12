#include "sound/MediaFormats.h"

#include <array>

namespace qb::formats {

namespace {

constexpr std::array kFormats = {
    MediaFormat{"mid", MediaKind::Sequencer, "", "MIDI"},
    MediaFormat{"rmi", MediaKind::Sequencer, "", "MIDI"},
    MediaFormat{"wav", MediaKind::WaveAudio, "WAV", "WAV"},
    MediaFormat{"mp3", MediaKind::MpegVideo, "MP3", "MP3"},
    MediaFormat{"midi", MediaKind::Sequencer, "", "MIDI"},
    MediaFormat{"kar", MediaKind::Sequencer, "", "MIDI"},
    MediaFormat{"flac", MediaKind::WaveAudio, "FLAC", "FLAC"},
    MediaFormat{"ogg", MediaKind::WaveAudio, "Ogg", "Ogg"},
    MediaFormat{"oga", MediaKind::WaveAudio, "Ogg", "Ogg"},
    MediaFormat{"opus", MediaKind::WaveAudio, "Opus", "Opus"},
    // Tracker modules, as libopenmpt lists the endings it reads.
    MediaFormat{"mptm", MediaKind::WaveAudio, "MPTM", "MPTM"},
    MediaFormat{"mod", MediaKind::WaveAudio, "MOD", "MOD"},
    MediaFormat{"s3m", MediaKind::WaveAudio, "S3M", "S3M"},
    MediaFormat{"xm", MediaKind::WaveAudio, "XM", "XM"},
    MediaFormat{"it", MediaKind::WaveAudio, "IT", "IT"},
    MediaFormat{"669", MediaKind::WaveAudio, "669", "MOD"},
    MediaFormat{"amf", MediaKind::WaveAudio, "AMF", "MOD"},
    MediaFormat{"ams", MediaKind::WaveAudio, "AMS", "MOD"},
    MediaFormat{"c67", MediaKind::WaveAudio, "C67", "MOD"},
    MediaFormat{"dbm", MediaKind::WaveAudio, "DBM", "MOD"},
    MediaFormat{"digi", MediaKind::WaveAudio, "DIGI", "MOD"},
    MediaFormat{"dmf", MediaKind::WaveAudio, "DMF", "MOD"},
    MediaFormat{"dsm", MediaKind::WaveAudio, "DSM", "MOD"},
    MediaFormat{"dsym", MediaKind::WaveAudio, "DSYM", "MOD"},
    MediaFormat{"dtm", MediaKind::WaveAudio, "DTM", "MOD"},
    MediaFormat{"far", MediaKind::WaveAudio, "FAR", "MOD"},
    MediaFormat{"fmt", MediaKind::WaveAudio, "FMT", "MOD"},
    MediaFormat{"imf", MediaKind::WaveAudio, "IMF", "MOD"},
    MediaFormat{"ice", MediaKind::WaveAudio, "ICE", "MOD"},
    MediaFormat{"j2b", MediaKind::WaveAudio, "J2B", "MOD"},
    MediaFormat{"m15", MediaKind::WaveAudio, "M15", "MOD"},
    MediaFormat{"mdl", MediaKind::WaveAudio, "MDL", "MOD"},
    MediaFormat{"med", MediaKind::WaveAudio, "MED", "MOD"},
    MediaFormat{"mms", MediaKind::WaveAudio, "MMS", "MOD"},
    MediaFormat{"mt2", MediaKind::WaveAudio, "MT2", "MOD"},
    MediaFormat{"mtm", MediaKind::WaveAudio, "MTM", "MOD"},
    MediaFormat{"mus", MediaKind::WaveAudio, "MUS", "MOD"},
    MediaFormat{"nst", MediaKind::WaveAudio, "NST", "MOD"},
    MediaFormat{"okt", MediaKind::WaveAudio, "OKT", "MOD"},
    MediaFormat{"plm", MediaKind::WaveAudio, "PLM", "MOD"},
    MediaFormat{"psm", MediaKind::WaveAudio, "PSM", "MOD"},
    MediaFormat{"pt36", MediaKind::WaveAudio, "PT36", "MOD"},
    MediaFormat{"ptm", MediaKind::WaveAudio, "PTM", "MOD"},
    MediaFormat{"sfx", MediaKind::WaveAudio, "SFX", "MOD"},
    MediaFormat{"sfx2", MediaKind::WaveAudio, "SFX2", "MOD"},
    MediaFormat{"st26", MediaKind::WaveAudio, "ST26", "MOD"},
    MediaFormat{"stk", MediaKind::WaveAudio, "STK", "MOD"},
    MediaFormat{"stm", MediaKind::WaveAudio, "STM", "MOD"},
    MediaFormat{"stx", MediaKind::WaveAudio, "STX", "MOD"},
    MediaFormat{"stp", MediaKind::WaveAudio, "STP", "MOD"},
    MediaFormat{"symmod", MediaKind::WaveAudio, "SYMMOD", "MOD"},
    MediaFormat{"ult", MediaKind::WaveAudio, "ULT", "MOD"},
    MediaFormat{"wow", MediaKind::WaveAudio, "WOW", "MOD"},
    MediaFormat{"gdm", MediaKind::WaveAudio, "GDM", "MOD"},
    MediaFormat{"mo3", MediaKind::WaveAudio, "MO3", "MOD"},
    MediaFormat{"oxm", MediaKind::WaveAudio, "OXM", "MOD"},
    MediaFormat{"umx", MediaKind::WaveAudio, "UMX", "MOD"},
    MediaFormat{"xpk", MediaKind::WaveAudio, "XPK", "MOD"},
    MediaFormat{"ppm", MediaKind::WaveAudio, "PPM", "MOD"},
    MediaFormat{"mmcmp", MediaKind::WaveAudio, "MMCMP", "MOD"},
    // Game-music files, as libgme lists the endings it reads.
    MediaFormat{"nsf", MediaKind::WaveAudio, "NSF", "NSF"},
    MediaFormat{"nsfe", MediaKind::WaveAudio, "NSFE", "NSF"},
    MediaFormat{"spc", MediaKind::WaveAudio, "SPC", "SPC"},
    MediaFormat{"vgm", MediaKind::WaveAudio, "VGM", "VGM"},
    MediaFormat{"vgz", MediaKind::WaveAudio, "VGZ", "VGM"},
    MediaFormat{"gbs", MediaKind::WaveAudio, "GBS", "GBS"},
    MediaFormat{"hes", MediaKind::WaveAudio, "HES", "HES"},
    MediaFormat{"kss", MediaKind::WaveAudio, "KSS", "KSS"},
    MediaFormat{"ay", MediaKind::WaveAudio, "AY", "AY"},
    MediaFormat{"sap", MediaKind::WaveAudio, "SAP", "SAP"},
    MediaFormat{"gym", MediaKind::WaveAudio, "GYM", "GYM"},
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
