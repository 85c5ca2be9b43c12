// libFuzzer entry point: a sequence of MCI commands against the real service, over the engine on a
// manually clocked capture output. One command per line (at most 32); a line "~N" advances the
// clock by N hundredths of a second (at most a fifth of a second, to keep each run quick), and a line
// starting with '!' goes through mciExecute instead of mciSendStringA. Commands with "wait" are skipped: on a
// manual clock they return only after a second without progress, which would only slow the search down.
//
// The commands name the files of a private folder that is the working directory: song.mid,
// tone.wav, tone.mp3 and "two words.wav". Beyond the sanitizers' findings it traps when a reply
// overruns its buffer or is not terminated.
#include "sound/engine/AudioEngine.h"
#include "sound/mci/MciCommand.h"
#include "sound/mci/MciService.h"
#include "sound/midi/MidiSynthCache.h"
#include "system/MessageBox.h"
#include "testkit/CaptureOutput.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sndfile.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class SilentBox : public qb::platform::MessageBoxPresenter
{
public:
    void show(const QString&, const QString&) override {}
};

bool writeFile(const char* name, const std::vector<std::uint8_t>& bytes)
{
    std::FILE* file = std::fopen(name, "wb");
    if (!file)
        return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

// A second of a 440 Hz tone through libsndfile in `format`.
bool writeTone(const char* name, int format)
{
    SF_INFO info{};
    info.samplerate = 22050;
    info.channels = 1;
    info.format = format;
    SNDFILE* file = sf_open(name, SFM_WRITE, &info);
    if (!file)
        return false;
    std::vector<float> samples(22050);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = 0.3f * std::sin(2.0f * 3.14159265f * 440.0f * float(i) / 22050.0f);
    const bool ok =
        sf_writef_float(file, samples.data(), sf_count_t(samples.size())) == sf_count_t(samples.size());
    return sf_close(file) == 0 && ok;
}

// Two notes over a second, with a program change and a controller.
std::vector<std::uint8_t> song()
{
    const std::uint8_t track[] = {0x00, 0xC0, 0x00, 0x00, 0xB0, 0x07, 0x64, 0x00, 0x90, 0x3C,
                                  0x64, 0x83, 0x60, 0x80, 0x3C, 0x00, 0x00, 0x90, 0x43, 0x64,
                                  0x83, 0x60, 0x80, 0x43, 0x00, 0x00, 0xFF, 0x2F, 0x00};
    std::vector<std::uint8_t> bytes = {
        'M', 'T',  'h',  'd', 0,   0,   0,   6, 0, 0, 0,
        1,   0x01, 0xE0, 'M', 'T', 'r', 'k', 0, 0, 0, std::uint8_t(sizeof track)};
    bytes.insert(bytes.end(), std::begin(track), std::end(track));
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char folder[] = "/tmp/quillbeat-mci-fuzz-XXXXXX";
    if (!::mkdtemp(folder) || ::chdir(folder) != 0) {
        std::perror("quillbeat mci fuzzer: cannot make its folder");
        std::abort();
    }
    if (!writeFile("song.mid", song()) || !writeTone("tone.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16) ||
        !writeTone("two words.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16)) {
        std::fprintf(stderr, "quillbeat mci fuzzer: cannot write its files in %s\n", folder);
        std::abort();
    }
    if (!writeTone("tone.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III))
        std::fprintf(stderr, "quillbeat mci fuzzer: this libsndfile writes no MP3; tone.mp3 is missing\n");
    std::fprintf(stderr, "quillbeat mci fuzzer: files in %s\n", folder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Loaded once: the SoundFont load is what a MIDI open costs most.
    static const auto synthCache = std::make_shared<qb::audio::MidiSynthCache>();
    static SilentBox box;

    auto capture = std::make_unique<qb::audio::CaptureOutput>(512, qb::audio::CaptureOutput::Clock::Manual);
    qb::audio::CaptureOutput& clock = *capture;
    clock.setRecording(false);
    qb::audio::AudioEngine engine(std::move(capture),
                                  qb::audio::AudioEngine::Options{.queueMs = 200, .feederThread = false});
    qb::mci::MciService service(engine, box,
                                qb::mci::MciServiceOptions{.soundFontPath = {}, .synthCache = synthCache});

    const std::string text(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    for (int lines = 0; start <= text.size() && lines < 32; ++lines) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;

        if (!line.empty() && line[0] == '~') {
            const long hundredths = std::strtol(line.c_str() + 1, nullptr, 10);
            if (hundredths > 0)
                clock.advance(std::min<long>(hundredths, 20) * 441);
            continue;
        }
        const bool execute = !line.empty() && line[0] == '!';
        const std::string command = execute ? line.substr(1) : line;
        const qb::mci::MciParseResult parsed = qb::mci::parseMciCommand(command);
        if (parsed.ok() && parsed.command.wait)
            continue;
        if (execute) {
            service.mciExecute(command.c_str());
            continue;
        }
        // A short reply buffer now and then, with a guard after it.
        const unsigned length = (lines % 3 == 2) ? 4 : 128;
        char reply[129 + 8];
        std::memset(reply, 0x5A, sizeof reply);
        service.mciSendStringA(command.c_str(), reply, length, nullptr);
        if (::strnlen(reply, length) >= length)
            std::abort(); // not terminated within the buffer
        for (std::size_t i = length; i < sizeof reply; ++i) {
            if (reply[i] != 0x5A)
                std::abort(); // written past the buffer
        }
    }
    return 0;
}
