// libFuzzer entry point: arbitrary bytes opened as a MIDI file and played through FluidSynth for a
// few blocks. The SoundFont is the distribution's default (QUILLBEAT_FUZZ_SOUNDFONT overrides it),
// loaded once for the whole run. Beyond the sanitizers' findings it traps when a read or a position
// breaks the Decoder contract.
#include "sound/decode/Decoders.h"
#include "sound/midi/MidiDecoder.h"
#include "sound/midi/MidiSynthCache.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

const std::string& inputPath()
{
    static const std::string path = [] {
        const char* folder = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        const std::string p = std::string(folder) + "/quillbeat-fuzz-" + std::to_string(::getpid()) + ".mid";
        return p;
    }();
    return path;
}

void removeInput()
{
    ::unlink(inputPath().c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::atexit(removeInput);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace qb::audio;
    static const auto cache = std::make_shared<MidiSynthCache>();
    static const std::string soundFont = [] {
        const char* chosen = std::getenv("QUILLBEAT_FUZZ_SOUNDFONT");
        return std::string(chosen && *chosen ? chosen : kDefaultSoundFont);
    }();

    std::FILE* file = std::fopen(inputPath().c_str(), "wb");
    check(file != nullptr);
    check(size == 0 || std::fwrite(data, 1, size, file) == size);
    check(std::fclose(file) == 0);

    OpenResult opened = openMidiDecoder(inputPath(), cache, soundFont);
    if (opened.error == OpenError::SoundFontMissing) {
        std::fprintf(stderr, "midi fuzzer: %s\n", opened.message.c_str());
        std::abort();
    }
    check((opened.decoder != nullptr) == (opened.error == OpenError::None));
    if (!opened.decoder)
        return 0;
    Decoder& decoder = *opened.decoder;

    // A few blocks of each pass, not the whole song: the parse, the first events, a chase after a seek,
    // the tail and the cut are what a file can get wrong; the rest is FluidSynth rendering.
    constexpr int kChunk = 256;
    std::vector<float> buffer(std::size_t{kChunk} * kChannels);
    const std::int64_t length = decoder.lengthFrames();
    check(length >= MidiDecoder::kMinimumLength);
    auto readSome = [&](int count) {
        for (int i = 0; i < count; ++i) {
            const int got = decoder.read(buffer.data(), kChunk);
            check(got >= 0 && got <= kChunk);
            check(decoder.positionFrames() >= 0 && decoder.positionFrames() <= length);
            if (got < kChunk)
                break;
        }
    };
    readSome(4);
    decoder.seek(length / 2);
    readSome(2);
    decoder.renderTail(buffer.data(), kChunk);
    decoder.silence();
    decoder.seek(length - 1);
    readSome(2);
    return 0;
}
