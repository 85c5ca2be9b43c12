// libFuzzer entry point: arbitrary bytes opened through the decoder front as a game-music file (libgme:
// VGM, VGZ, NSF, NSFE, SPC, GBS, HES, KSS, AY, SAP, GYM) and played across the end of its first pass,
// with seeks within it and past it (which fold back into the tune's loop where it states one). Each
// input is opened as its first track and as one more, chosen by a byte of the input (-1 to 3: a track
// the file may not hold, and a negative one, which must be refused). Bytes that libgme does not take
// for a tune are left to the other decoder fuzzers.
//
// Beyond the sanitizers' findings it traps when a read breaks the Decoder contract or when a place told
// to the user does not fold into the pass (RenderedMusicFuzzing.h).
//
// Seeds: QUILLBEAT_FUZZ_WRITE_SEEDS=<folder> makes the program write small tunes there, from the tests'
// writers (a VGM with a loop and one without, the same gzipped as VGZ, an NSF of three tracks, an SPC),
// and exit; scripts/fuzz-seeds does so for an empty corpus.
#include "RenderedMusicFuzzing.h"
#include "sound/decode/Decoders.h"
#include "testkit/AudioFiles.h"
#include "testkit/RenderedMusicFiles.h"

#include <QByteArray>
#include <QDir>
#include <QString>
#include <gme/gme.h>

// Debian's gme.h brings in blargg_source.h, whose check() macro would swallow the fuzzer's own.
#undef check

using namespace qb::audio;

namespace {

void writeSeeds(const char* folder)
{
    namespace t = qb::test;
    const QDir dir(QString::fromLocal8Bit(folder));
    if (!QDir().mkpath(dir.path()))
        std::exit(1);
    const QByteArray loop = t::vgmFile(t::loopingTune(true));
    const auto path = [&dir](const char* name) { return dir.filePath(QString::fromLatin1(name)); };
    const bool written = t::writeBytes(path("loop.vgm"), loop) &&
                         t::writeBytes(path("once.vgm"), t::vgmFile(t::loopingTune(false))) &&
                         t::writeBytes(path("loop.vgz"), t::gzipped(loop)) &&
                         t::writeBytes(path("three.nsf"), t::nsfFile(3)) &&
                         t::writeBytes(path("wait.spc"), t::spcFile());
    std::exit(written ? 0 : 1);
}

// Whether libgme takes the bytes for a tune by their header, as the decoder front asks it (a gzip stream
// is taken for a VGZ).
bool looksLikeTune(const std::uint8_t* data, std::size_t size)
{
    if (size < 4)
        return false;
    if (data[0] == 0x1f && data[1] == 0x8b)
        return true;
    const char* type = gme_identify_header(data);
    return type != nullptr && *type != '\0';
}

// libgme reaches a place by playing up to it, so a seek costs the music it passes over: ten seconds
// at most here, a few milliseconds for a real tune. (A damaged VGM that states a 22-hour introduction
// makes a seek to its end emulate for many seconds: that is libgme's way, and the decoder's too.)
constexpr std::int64_t kFarthestSeek = 10 * kEngineRate;

void play(const std::string& path, int track)
{
    OpenRequest request;
    request.track = track;
    OpenResult opened = openDecoder(path, request);
    fuzzing::check((opened.decoder != nullptr) == (opened.error == OpenError::None), "a decoder or an error");
    fuzzing::check(track >= 0 || opened.decoder == nullptr, "a negative track is refused", track);
    if (opened.decoder)
        fuzzing::exerciseLooping(*opened.decoder,
                                 {.loudest = 1.0f, .chunk = 256, .farthestSeek = kFarthestSeek});
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (const char* folder = std::getenv("QUILLBEAT_FUZZ_WRITE_SEEDS"))
        writeSeeds(folder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (!looksLikeTune(data, size))
        return 0;
    const std::string& path = fuzzing::writeInput(data, size, ".vgm");
    play(path, 0);
    const int other = data[size / 2] % 5 - 1;
    if (other != 0)
        play(path, other);
    return 0;
}
