#include "Backends.h"
#include "SourceDecoder.h"
#include "sound/decode/Decoders.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

namespace qb::audio {

namespace {

// Enough of the file for every backend to tell its own: libopenmpt asks for 2 KiB, and the first Ogg
// page (27 bytes, a segment table of up to 255) leads into the codec's own header.
constexpr std::size_t kHeadBytes = 4096;

OpenResult refused(const std::string& path, const char* why)
{
    OpenResult result;
    result.error = OpenError::InvalidFile;
    result.message = path + ": " + why;
    return result;
}

bool startsWith(std::string_view head, std::string_view magic, std::size_t at = 0)
{
    return head.size() >= at + magic.size() && head.substr(at, magic.size()) == magic;
}

// Whether the Ogg stream starting with `head` opens with the identification packet `id`: the first
// page's header (27 bytes and its segment table) is followed by the first packet.
bool oggStreamOf(std::string_view head, std::string_view id)
{
    if (head.size() < 27 || !startsWith(head, "OggS"))
        return false;
    const std::size_t packet = 27 + static_cast<unsigned char>(head[26]);
    return startsWith(head, id, packet);
}

bool isMidi(std::string_view head)
{
    return startsWith(head, "MThd") || (startsWith(head, "RIFF") && startsWith(head, "RMID", 8));
}

// Containers libsndfile reads that name themselves in their first bytes.
bool isSoundFile(std::string_view head)
{
    return (startsWith(head, "RIFF") && startsWith(head, "WAVE", 8)) || startsWith(head, "RIFX") ||
           startsWith(head, "RF64") || startsWith(head, "riff") || startsWith(head, "fLaC") ||
           (startsWith(head, "FORM") && (startsWith(head, "AIFF", 8) || startsWith(head, "AIFC", 8))) ||
           startsWith(head, "caff") || startsWith(head, ".snd") || startsWith(head, "OggS");
}

// An MPEG audio frame header: its version (0 MPEG 2.5, 2 MPEG 2, 3 MPEG 1), layer (1 III, 2 II, 3 I),
// sample rate index, and the bytes of its frame (0 when its bit rate is free, so not stated).
struct MpegFrame
{
    int version, layer, rate;
    std::size_t bytes;
};

// The frame whose header starts at `at` in `head`: the sync word and a valid layer, bit rate and
// sample rate.
std::optional<MpegFrame> mpegFrame(std::string_view head, std::size_t at)
{
    if (head.size() < at + 4)
        return std::nullopt;
    const auto byte = [&head, at](std::size_t i) { return static_cast<unsigned char>(head[at + i]); };
    const int version = (byte(1) >> 3) & 3, layer = (byte(1) >> 1) & 3;
    const int bitrate = byte(2) >> 4, rate = (byte(2) >> 2) & 3, padding = (byte(2) >> 1) & 1;
    if (byte(0) != 0xff || (byte(1) & 0xe0) != 0xe0 || layer == 0 || bitrate == 15 || rate == 3)
        return std::nullopt;
    // Bit rates in kbit/s by bit rate index: MPEG 1 layers I, II, III; MPEG 2 and 2.5 layer I, II and III.
    static constexpr std::array<std::array<int, 15>, 5> kKbps{{
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
    }};
    const bool mpeg1 = version == 3;
    const int table = mpeg1 ? 3 - layer : layer == 3 ? 3 : 4;
    const long bitsPerSecond =
        1000L * kKbps[static_cast<std::size_t>(table)][static_cast<std::size_t>(bitrate)];
    static constexpr std::array<long, 3> kHz{44100, 48000, 32000};
    const int halvings = mpeg1 ? 0 : version == 2 ? 1 : 2; // MPEG 2 halves the rates, MPEG 2.5 quarters them
    const long hz = kHz[static_cast<std::size_t>(rate)] >> halvings;
    const long bytes = layer == 3             ? (12 * bitsPerSecond / hz + padding) * 4
                       : layer == 1 && !mpeg1 ? 72 * bitsPerSecond / hz + padding
                                              : 144 * bitsPerSecond / hz + padding;
    return MpegFrame{version, layer, rate, bitsPerSecond == 0 ? 0 : static_cast<std::size_t>(bytes)};
}

// An ID3v2 tag, or an MPEG audio frame header.
bool isMpegAudio(std::string_view head)
{
    return startsWith(head, "ID3") || mpegFrame(head, 0).has_value();
}

// An ID3v2 tag, or two MPEG audio frames one after the other, of one version, layer and rate: no
// module or game-music file starts so (a module's title may begin as a frame header does).
bool isMpegStream(std::string_view head)
{
    if (startsWith(head, "ID3"))
        return true;
    const std::optional<MpegFrame> first = mpegFrame(head, 0);
    if (!first || first->bytes == 0)
        return false;
    const std::optional<MpegFrame> second = mpegFrame(head, first->bytes);
    return second && second->version == first->version && second->layer == first->layer &&
           second->rate == first->rate;
}

} // namespace

// A source's frames as the loop finder reads them, sought where it asks.
class SearchReader final : public loopfind::FrameReader
{
public:
    explicit SearchReader(std::unique_ptr<FrameSource> source) : m_source(std::move(source)) {}

    int sampleRate() const override { return m_source->rate(); }
    std::int64_t lengthFrames() const override { return std::max<std::int64_t>(m_source->length(), 0); }

    std::int64_t read(std::int64_t first, float* out, std::int64_t count) override
    {
        if (first != m_cursor) {
            m_cursor = -1;
            if (!m_source->seek(first))
                return -1;
            m_cursor = first;
        }
        std::int64_t done = 0;
        while (done < count) {
            const int want = static_cast<int>(std::min<std::int64_t>(count - done, 1 << 16));
            const int got = m_source->read(out + done * kChannels, want);
            if (got <= 0)
                break;
            done += got;
            if (got < want)
                break;
        }
        m_cursor += done;
        return done;
    }

private:
    std::unique_ptr<FrameSource> m_source;
    std::int64_t m_cursor = 0;
};

bool isMidiFile(const std::string& path)
{
    std::string why;
    OpenError error = OpenError::None;
    const std::unique_ptr<FileReader> file = FileReader::open(path, &error, &why);
    std::array<unsigned char, 12> bytes{};
    const std::int64_t got = file ? file->readAt(0, bytes.data(), bytes.size()) : -1;
    return got > 0 && isMidi(std::string_view(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::size_t>(got)));
}

OpenResult openDecoder(const std::string& path, const OpenRequest& request)
{
    OpenResult result;
    std::unique_ptr<FileReader> file = FileReader::open(path, &result.error, &result.message);
    if (!file)
        return result;
    std::array<unsigned char, kHeadBytes> bytes{};
    const std::int64_t got = file->readAt(0, bytes.data(), bytes.size());
    if (got < 0)
        return refused(path, "it cannot be read");
    const auto size = static_cast<std::size_t>(got);
    const std::string_view head(reinterpret_cast<const char*>(bytes.data()), size);

    if (isMidi(head)) {
        if (!request.midiAllowed || !request.midi)
            return refused(path, "a MIDI file, which this device does not play");
        file.reset();
        return request.midi(path);
    }
    if (!request.othersAllowed)
        return refused(path, "not a MIDI file");

    std::string why;
    std::unique_ptr<FrameSource> ogg;
    if (oggStreamOf(head, std::string_view("\x01vorbis", 7))) {
        ogg = openVorbisSource(std::move(file), &why);
    } else if (oggStreamOf(head, "OpusHead")) {
        ogg = openOpusSource(std::move(file), &why);
    } else if (isSoundFile(head)) {
        return openSoundFile(std::move(file));
    } else if (isMpegStream(head)) {
        // Before the probes for modules and game music, whose libraries would be loaded to say no.
        return openMpegAudio(std::move(file));
    } else if (isGameMusic(std::span(bytes.data(), size))) {
        // Asked after the sound files, whose leading bytes no game-music file shares, so that a WAVE
        // file does not load libgme to be told so.
        return openGameMusicDecoder(std::move(file), request.track);
    } else if (isTrackerModule(std::span(bytes.data(), size), static_cast<std::uint64_t>(file->size()))) {
        return openTrackerDecoder(std::move(file));
    } else if (isMpegAudio(head)) { // a lone frame header, or one of a free bit rate
        return openMpegAudio(std::move(file));
    } else {
        return openSoundFile(std::move(file));
    }
    if (!ogg)
        return refused(path, why.c_str());
    result.decoder = std::make_unique<SourceDecoder>(std::move(ogg));
    return result;
}

std::optional<LoopSearchAudio> openForLoopSearch(const std::string& path, std::string* why)
{
    OpenError error = OpenError::None;
    std::unique_ptr<FileReader> file = FileReader::open(path, &error, why);
    if (!file)
        return std::nullopt;
    std::array<unsigned char, kHeadBytes> bytes{};
    const std::int64_t got = file->readAt(0, bytes.data(), bytes.size());
    if (got < 0) {
        *why = "it cannot be read";
        return std::nullopt;
    }
    const auto size = static_cast<std::size_t>(got);
    const std::string_view head(reinterpret_cast<const char*>(bytes.data()), size);
    std::unique_ptr<FrameSource> source;
    bool lossless = false;
    if (isMidi(head)) {
        *why = "music that knows its own loop";
        return std::nullopt;
    }
    if (oggStreamOf(head, std::string_view("\x01vorbis", 7))) {
        source = openVorbisSource(std::move(file), why);
    } else if (oggStreamOf(head, "OpusHead")) {
        source = openOpusSource(std::move(file), why);
    } else if (isSoundFile(head) || isMpegAudio(head)) {
        source = openSoundFileSource(std::move(file), &lossless, why);
    } else {
        *why =
            isGameMusic(std::span(bytes.data(), size)) ||
                    isTrackerModule(std::span(bytes.data(), size), static_cast<std::uint64_t>(file->size()))
                ? "music that knows its own loop"
                : "not a kind of file the loop is looked for in";
        return std::nullopt;
    }
    if (!source)
        return std::nullopt;
    LoopSearchAudio audio;
    audio.reader = std::make_unique<SearchReader>(std::move(source));
    audio.fidelity = lossless ? loopfind::Fidelity::Lossless : loopfind::Fidelity::Lossy;
    return audio;
}

} // namespace qb::audio
