#include "Backends.h"
#include "Libraries.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <gme/gme.h>
#include <limits>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace qb::audio {

namespace {

// libgme's calls, once isGameMusic or openGameMusicDecoder has loaded the library.
const GmeCalls& lib()
{
    return *gmeCalls();
}

// Game-music files are small (a console's program and its samples); a larger one is not one.
constexpr std::size_t kLargestTune = std::size_t{64} << 20;

// libgme counts a seek's samples in an int: the farthest place it can seek to, in frames (6.7 hours).
constexpr std::int64_t kFarthestSeek = std::numeric_limits<int>::max() / kChannels;
// What is played before a seek (below).
constexpr std::int64_t kPrimeFrames = 32;

std::int64_t msToFrames(std::int64_t ms)
{
    return ms * kEngineRate / 1000;
}

// The processor time the child may take for its two seconds of sound. libgme plays real tunes a hundred
// times faster than they sound or more; some damaged ones (a VGM whose header lies about its loop, an
// NSF whose code runs away) barely as fast as they sound, which would starve the output and make each seek
// cost as long as the music sought over.
constexpr double kProbeCpuSeconds = 0.25;
// And its wall-clock time: libgme never comes back from some (a VGM whose loop holds no wait at all).
constexpr unsigned kProbeSeconds = 2;
// The child's exit status when it stops early for taking too long.
constexpr int kTooSlow = 3;

// libgme 0.6.3 ends the program on some damaged files: a failed assertion (a VGM tune whose SN76489
// clock is far from any real chip's, below 10 kHz beside an FM chip or above 10,485,760 Hz, which the
// dual-chip flags of later VGM versions reach), or a stray access in an emulator (a HES tune whose
// init code runs into zeros). The tune is first played in a child process, from the bytes already
// read: opened, started, a second played, a seek a second on and a little more. A child that does
// not come back whole, or that takes more than kProbeCpuSeconds, refuses the file; what libgme does
// later in a long play is not covered. Empty when the child came back whole, else why not.
std::string failsInLibgme(const std::vector<unsigned char>& bytes, int track)
{
    const pid_t child = fork();
    if (child < 0)
        return {}; // cannot try: the file is opened as it is
    if (child == 0) {
        // Whatever handlers the program installed, a crash here only ends this child.
        for (const int signal : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL, SIGALRM})
            std::signal(signal, SIG_DFL);
        alarm(kProbeSeconds);
        Music_Emu* emu = nullptr;
        if (lib().gme_open_data(bytes.data(), static_cast<long>(bytes.size()), &emu, kEngineRate) ==
                nullptr &&
            track >= 0 && track < lib().gme_track_count(emu)) {
            lib().gme_set_autoload_playback_limit(emu, 0);
            lib().gme_ignore_silence(emu, 1);
            std::vector<short> block(std::size_t{1024} * kChannels);
            if (lib().gme_start_track(emu, track) == nullptr) {
                const auto tooSlow = [] {
                    timespec used{};
                    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
                    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9 >
                           kProbeCpuSeconds;
                };
                for (int i = 0; i < 44 && lib().gme_track_ended(emu) == 0; ++i) {
                    lib().gme_play(emu, static_cast<int>(block.size()), block.data());
                    if (tooSlow())
                        _exit(kTooSlow);
                }
                lib().gme_seek_samples(emu, 2 * kEngineRate * kChannels);
                lib().gme_play(emu, static_cast<int>(block.size()), block.data());
            }
        }
        _exit(0);
    }
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && cpu <= kProbeCpuSeconds)
        return {};
    if ((WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) ||
        (WIFEXITED(status) && WEXITSTATUS(status) == kTooSlow) || cpu > kProbeCpuSeconds) {
        char why[96];
        std::snprintf(why, sizeof why,
                      "libgme plays it too slowly (more than %.2f s of processor time for 2 s of sound)",
                      std::max(cpu, kProbeCpuSeconds));
        return why;
    }
    return "libgme fails on it (" +
           (WIFSIGNALED(status) ? std::string(strsignal(WTERMSIG(status)))
                                : "exit " + std::to_string(WEXITSTATUS(status))) +
           ")";
}

class GameMusicDecoder final : public Decoder
{
public:
    GameMusicDecoder(Music_Emu* emu, int track) : m_emu(emu), m_track(track)
    {
        gme_info_t* info = nullptr;
        if (lib().gme_track_info(emu, &info, track) == nullptr && info != nullptr) {
            // A tune that states its loop (a VGM loop offset) repeats from the end of its introduction.
            if (info->loop_length > 0 && info->intro_length >= 0) {
                m_loopStart = msToFrames(info->intro_length);
                m_length = msToFrames(std::int64_t{info->intro_length} + info->loop_length);
            } else if (info->length > 0) {
                m_length = msToFrames(info->length);
            }
            m_title = info->song != nullptr ? info->song : "";
            if (m_title.empty() && info->game != nullptr)
                m_title = info->game;
            lib().gme_free_info(info);
        }
    }
    ~GameMusicDecoder() override { lib().gme_delete(m_emu); }
    GameMusicDecoder(const GameMusicDecoder&) = delete;
    GameMusicDecoder& operator=(const GameMusicDecoder&) = delete;

    // Starts the track (again) with nothing that would end it: the emulator plays for ever, through the
    // file's own loop where it has one. False when the emulator refuses.
    bool start()
    {
        lib().gme_set_autoload_playback_limit(m_emu, 0);
        lib().gme_ignore_silence(m_emu, 1);
        if (lib().gme_start_track(m_emu, m_track) != nullptr)
            return false;
        m_position = 0;
        return true;
    }

    int read(float* out, int frames) override
    {
        // A tune that ends by itself (a VGM without a loop) ends the pass, and loops whole.
        if (lib().gme_track_ended(m_emu) != 0)
            return 0;
        m_samples.resize(static_cast<std::size_t>(frames) * kChannels);
        if (lib().gme_play(m_emu, frames * kChannels, m_samples.data()) != nullptr)
            return 0;
        for (std::size_t i = 0; i < m_samples.size(); ++i)
            out[i] = static_cast<float>(m_samples[i]) / 32768.0f;
        m_position += frames;
        m_farthest = std::max(m_farthest, m_position);
        return frames;
    }

    bool seek(std::int64_t frame) override
    {
        const std::int64_t to = std::min(foldPosition(std::max<std::int64_t>(frame, 0)), kFarthestSeek);
        if (!start())
            return false;
        // libgme 0.6.3 fails an assertion (and so ends the program) when an SPC tune skips at another
        // rate than its own before it has played a sample: a few frames are played before the skip.
        const int primed = static_cast<int>(std::min<std::int64_t>(to, kPrimeFrames));
        if (primed > 0) {
            m_samples.resize(static_cast<std::size_t>(primed) * kChannels);
            if (lib().gme_play(m_emu, primed * kChannels, m_samples.data()) != nullptr)
                return false;
        }
        // The emulator gets there by running its program, quickly and without output.
        if (to > primed && lib().gme_seek_samples(m_emu, static_cast<int>(to * kChannels)) != nullptr)
            return false;
        m_position = frame;
        m_farthest = std::max(m_farthest, m_position);
        return true;
    }

    // A tune that states no loop plays until its program ends, which may be after the length its file
    // states (a VGM's emulator runs a little past its last sample; an SPC never ends by itself): the
    // pass is at least as long as what has been played of it.
    std::int64_t lengthFrames() const override
    {
        return m_length < 0 || m_loopStart >= 0 ? m_length : std::max(m_length, m_farthest);
    }
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
    std::int64_t m_farthest = 0; // the farthest frame played or sought of the pass
    std::vector<short> m_samples;
};

} // namespace

bool isGameMusic(std::span<const unsigned char> head)
{
    if (head.size() < 4 || !gmeCalls())
        return false;
    // A gzip stream: libgme reads compressed VGM (VGZ) and nothing else so.
    if (head[0] == 0x1f && head[1] == 0x8b)
        return true;
    const char* type = lib().gme_identify_header(head.data());
    return type != nullptr && *type != '\0';
}

OpenResult openGameMusicDecoder(std::unique_ptr<FileReader> file, int track)
{
    OpenResult result;
    result.error = OpenError::InvalidFile;
    if (std::string why; !gmeCalls(&why)) {
        result.message = file->path() + ": " + why;
        return result;
    }
    std::vector<unsigned char> bytes;
    std::string why;
    if (!file->readWhole(bytes, kLargestTune, &why)) {
        result.message = file->path() + ": " + why;
        return result;
    }
    if (const std::string failure = failsInLibgme(bytes, track); !failure.empty()) {
        result.message = file->path() + ": " + failure;
        return result;
    }
    Music_Emu* emu = nullptr;
    if (const char* error =
            lib().gme_open_data(bytes.data(), static_cast<long>(bytes.size()), &emu, kEngineRate)) {
        result.message = file->path() + ": " + error;
        return result;
    }
    const int tracks = lib().gme_track_count(emu);
    if (track < 0 || track >= tracks) {
        result.message = file->path() + ": it holds " + std::to_string(tracks) + " tracks, not a track " +
                         std::to_string(track + 1);
        lib().gme_delete(emu);
        return result;
    }
    auto decoder = std::make_unique<GameMusicDecoder>(emu, track);
    // A tune whose program ends before it has played a block (data that lies past the file's end)
    // would loop nothing for ever: it is refused, as a file that cannot be played.
    std::vector<float> block(std::size_t{1024} * kChannels);
    if (!decoder->start() || decoder->read(block.data(), 1024) < 1024 || lib().gme_track_ended(emu) != 0 ||
        !decoder->start()) {
        const char* warning = lib().gme_warning(emu);
        result.message = file->path() + ": the track ends before it plays" +
                         (warning != nullptr ? std::string(" (") + warning + ")" : std::string());
        return result;
    }
    result.error = OpenError::None;
    result.decoder = std::move(decoder);
    return result;
}

} // namespace qb::audio
