#include "Backends.h"

#include <algorithm>
#include <gme/gme.h>
#include <vector>

namespace qb::audio {

namespace {

// Game-music files are small (a console's program and its samples); a larger one is not one.
constexpr std::size_t kLargestTune = std::size_t{64} << 20;

std::int64_t msToFrames(int ms)
{
    return static_cast<std::int64_t>(ms) * kEngineRate / 1000;
}

class GameMusicDecoder final : public Decoder
{
public:
    GameMusicDecoder(Music_Emu* emu, int track) : m_emu(emu), m_track(track)
    {
        gme_info_t* info = nullptr;
        if (gme_track_info(emu, &info, track) == nullptr && info != nullptr) {
            // A tune that states its loop (a VGM loop offset) repeats from the end of its introduction.
            if (info->loop_length > 0 && info->intro_length >= 0) {
                m_loopStart = msToFrames(info->intro_length);
                m_length = msToFrames(info->intro_length + info->loop_length);
            } else if (info->length > 0) {
                m_length = msToFrames(info->length);
            }
            m_title = info->song != nullptr ? info->song : "";
            if (m_title.empty() && info->game != nullptr)
                m_title = info->game;
            gme_free_info(info);
        }
    }
    ~GameMusicDecoder() override { gme_delete(m_emu); }
    GameMusicDecoder(const GameMusicDecoder&) = delete;
    GameMusicDecoder& operator=(const GameMusicDecoder&) = delete;

    // Starts the track (again) with nothing that would end it: the emulator plays for ever, through the
    // file's own loop where it has one. False when the emulator refuses.
    bool start()
    {
        gme_set_autoload_playback_limit(m_emu, 0);
        gme_ignore_silence(m_emu, 1);
        if (gme_start_track(m_emu, m_track) != nullptr)
            return false;
        m_position = 0;
        return true;
    }

    int read(float* out, int frames) override
    {
        // A tune that ends by itself (a VGM without a loop) ends the pass, and loops whole.
        if (gme_track_ended(m_emu) != 0)
            return 0;
        m_samples.resize(static_cast<std::size_t>(frames) * kChannels);
        if (gme_play(m_emu, frames * kChannels, m_samples.data()) != nullptr)
            return 0;
        for (std::size_t i = 0; i < m_samples.size(); ++i)
            out[i] = static_cast<float>(m_samples[i]) / 32768.0f;
        m_position += frames;
        return frames;
    }

    bool seek(std::int64_t frame) override
    {
        const std::int64_t to = foldPosition(std::max<std::int64_t>(frame, 0));
        if (!start())
            return false;
        // The emulator gets there by running its program, quickly and without output.
        if (to > 0 && gme_seek_samples(m_emu, static_cast<int>(std::min<std::int64_t>(to, 1 << 30) *
                                                               kChannels)) != nullptr)
            return false;
        m_position = frame;
        return true;
    }

    std::int64_t lengthFrames() const override { return m_length; }
    std::int64_t positionFrames() const override { return m_position; }
    std::string title() const override { return m_title; }

    std::int64_t foldPosition(std::int64_t frame) const override
    {
        if (m_loopStart < 0 || m_length <= m_loopStart || frame < m_length)
            return frame;
        return m_loopStart + (frame - m_loopStart) % (m_length - m_loopStart);
    }

private:
    Music_Emu* m_emu;
    const int m_track;
    std::int64_t m_length = -1;
    std::int64_t m_loopStart = -1;
    std::string m_title;
    std::int64_t m_position = 0;
    std::vector<short> m_samples;
};

} // namespace

bool isGameMusic(std::span<const unsigned char> head)
{
    if (head.size() < 4)
        return false;
    // A gzip stream: libgme reads compressed VGM (VGZ) and nothing else so.
    if (head[0] == 0x1f && head[1] == 0x8b)
        return true;
    const char* type = gme_identify_header(head.data());
    return type != nullptr && *type != '\0';
}

OpenResult openGameMusicDecoder(std::unique_ptr<FileReader> file, int track)
{
    OpenResult result;
    result.error = OpenError::InvalidFile;
    std::vector<unsigned char> bytes;
    std::string why;
    if (!file->readWhole(bytes, kLargestTune, &why)) {
        result.message = file->path() + ": " + why;
        return result;
    }
    Music_Emu* emu = nullptr;
    if (const char* error = gme_open_data(bytes.data(), static_cast<long>(bytes.size()), &emu, kEngineRate)) {
        result.message = file->path() + ": " + error;
        return result;
    }
    const int tracks = gme_track_count(emu);
    if (track < 0 || track >= tracks) {
        result.message = file->path() + ": it holds " + std::to_string(tracks) + " tracks, not a track " +
                         std::to_string(track + 1);
        gme_delete(emu);
        return result;
    }
    auto decoder = std::make_unique<GameMusicDecoder>(emu, track);
    // A tune whose program ends before it has played a block (data that lies past the file's end)
    // would loop nothing for ever: it is refused, as a file that cannot be played.
    std::vector<float> block(std::size_t{1024} * kChannels);
    if (!decoder->start() || decoder->read(block.data(), 1024) < 1024 || gme_track_ended(emu) != 0 ||
        !decoder->start()) {
        const char* warning = gme_warning(emu);
        result.message = file->path() + ": the track ends before it plays" +
                         (warning != nullptr ? std::string(" (") + warning + ")" : std::string());
        return result;
    }
    result.error = OpenError::None;
    result.decoder = std::move(decoder);
    return result;
}

} // namespace qb::audio
