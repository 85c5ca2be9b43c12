// libFuzzer entry point: arbitrary bytes opened through the decoder front as a tracker module
// (libopenmpt) and played across the end of the song into its restart position, with seeks within the
// first pass and past it (which fold back into the part that repeats). Bytes that libopenmpt does not
// take for a module are left to the other decoder fuzzers.
//
// Beyond the sanitizers' findings it traps when a read breaks the Decoder contract (a count beyond
// what was asked, a sample that is not finite, a position that does not count on, frames after the
// end of a pass) or when a place told to the user does not fold into the pass (RenderedMusicFuzzing.h).
//
// Seeds: QUILLBEAT_FUZZ_WRITE_SEEDS=<folder> makes the program write small modules there, from the
// tests' writer, and exit; scripts/fuzz-seeds does so for an empty corpus.
#include "RenderedMusicFuzzing.h"
#include "sound/decode/Decoders.h"
#include "testkit/AudioFiles.h"
#include "testkit/RenderedMusicFiles.h"

#include <QDir>
#include <QString>
#include <libopenmpt/libopenmpt.h>

using namespace qb::audio;

namespace {

void writeSeeds(const char* folder)
{
    namespace t = qb::test;
    const QDir dir(QString::fromLocal8Bit(folder));
    if (!QDir().mkpath(dir.path()))
        std::exit(1);
    // The song that simply ends, restarting from its second order by the restart byte instead.
    t::ModSong restarting = t::jumpingModule(false);
    restarting.restart = 1;
    // A longer introduction (the first pattern twice), a pattern loop (E61: its rows twice) and a
    // pattern delay (EE2) in the part that repeats, and a tempo of 32 BPM.
    t::ModSong effects = t::jumpingModule(true);
    effects.orders = {0, 0, 1, 2};
    effects.patterns[1][2][2] = {0, 0, 0xE, 0x60};
    effects.patterns[1][5][2] = {0, 0, 0xE, 0x61};
    effects.patterns[2][4][2] = {0, 0, 0xE, 0xE2};
    effects.patterns[2][6][1] = {t::kPeriodC3, 1, t::kEffectSpeed, 0x20};
    effects.patterns[2][7][3] = {0, 0, t::kEffectJump, 2};
    const bool written =
        t::writeBytes(dir.filePath(QStringLiteral("jump.mod")), t::modFile(t::jumpingModule(true))) &&
        t::writeBytes(dir.filePath(QStringLiteral("ends.mod")), t::modFile(t::jumpingModule(false))) &&
        t::writeBytes(dir.filePath(QStringLiteral("restart.mod")), t::modFile(restarting)) &&
        t::writeBytes(dir.filePath(QStringLiteral("effects.mod")), t::modFile(effects));
    std::exit(written ? 0 : 1);
}

// Whether libopenmpt takes the bytes for a module, as the decoder front asks it.
bool looksLikeModule(const std::uint8_t* data, std::size_t size)
{
    return openmpt_probe_file_header(OPENMPT_PROBE_FILE_HEADER_FLAGS_DEFAULT, data,
                                     std::min<std::size_t>(size, 4096), size, openmpt_log_func_silent,
                                     nullptr, nullptr, nullptr, nullptr,
                                     nullptr) == OPENMPT_PROBE_FILE_HEADER_RESULT_SUCCESS;
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
    if (!looksLikeModule(data, size))
        return 0;
    OpenResult opened = openDecoder(fuzzing::writeInput(data, size, ".mod"));
    fuzzing::check((opened.decoder != nullptr) == (opened.error == OpenError::None), "a decoder or an error");
    if (!opened.decoder)
        return 0;
    // libopenmpt mixes in float: loud modules overshoot full scale, but not a hundredfold.
    fuzzing::exerciseLooping(*opened.decoder, {.loudest = 100.0f, .chunk = 256});
    return 0;
}
