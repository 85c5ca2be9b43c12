// libFuzzer entry point: arbitrary bytes as a SoundFont. Its tables are read, a subset is planned for
// a short song of a few programs and drums and written as the virtual file FluidSynth reads, and the
// song is opened on the font as the player opens it (the subset, or the whole font through FluidSynth's
// own loader) and rendered for a few blocks. Beyond the sanitizers' findings it traps when the virtual
// file cannot be read whole or its RIFF size does not match it, or when an open neither plays nor says
// why.
//
// Seeds: QUILLBEAT_FUZZ_WRITE_SEEDS=<folder> makes the program write small valid SoundFonts there (16-bit,
// 24-bit and compressed, from the tests' font writer) and exit; scripts/fuzz does so for an empty corpus.
#include "DecoderFuzzing.h"
#include "sound/decode/Decoders.h"
#include "sound/midi/MidiDecoder.h"
#include "sound/midi/MidiFileParser.h"
#include "sound/midi/MidiSynthCache.h"
#include "sound/midi/SoundFontSurvey.h"
#include "sound/soundfont/SoundFontSubset.h"
#include "sound/soundfont/SoundFontTables.h"
#include "testkit/MidiFiles.h"
#include "testkit/SoundFontFiles.h"

#include <QDir>
#include <QFile>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

using namespace qb::audio;

namespace {

QByteArray songBytes()
{
    // Two melodic programs, a bank select to a bank fonts rarely have, and the drums.
    return qb::test::midiFile(0, 96,
                              {qb::test::MidiTrack()
                                   .programChange(0, 0, 1)
                                   .controlChange(0, 1, 0, 8)
                                   .programChange(0, 1, 0)
                                   .noteOn(0, 0, 60, 100)
                                   .noteOn(0, 1, 50, 40)
                                   .noteOn(0, 9, 36, 127)
                                   .noteOn(10, 9, 38, 90)
                                   .noteOff(40, 0, 60)
                                   .noteOff(0, 1, 50)
                                   .endOfTrack(10)});
}

const std::string& songPath()
{
    static const std::string path = [] {
        const char* folder = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        const std::string p =
            std::string(folder) + "/quillbeat-fuzz-song-" + std::to_string(::getpid()) + ".mid";
        QFile file(QString::fromStdString(p));
        const QByteArray bytes = songBytes();
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            std::abort();
        return p;
    }();
    return path;
}

std::uint32_t u32(const char* p)
{
    return static_cast<std::uint32_t>(static_cast<std::uint8_t>(p[0])) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(p[1])) << 8) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(p[2])) << 16) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(p[3])) << 24);
}

// The subset a song's notes reach, read back whole: a RIFF form whose size is the file's.
void checkSubset(const SoundFontTables& tables, const MidiSequence& sequence, bool allHeaders)
{
    std::string why;
    const SoundFontSubset subset =
        buildSoundFontSubset(tables, collectSoundFontUse(sequence, tables), allHeaders, &why);
    if (subset.size() == 0)
        return; // the font file went away
    // Subsets hold no more sample data than their font: a fuzzed input is small, and so are they.
    fuzzing::check(subset.size() < (std::uint64_t{64} << 20), "a subset no larger than its font",
                   static_cast<std::int64_t>(subset.size()));
    std::vector<char> bytes(static_cast<std::size_t>(subset.size()));
    fuzzing::check(subset.read(0, bytes.data(), bytes.size()), "the subset reads whole");
    fuzzing::check(std::memcmp(bytes.data(), "RIFF", 4) == 0 && u32(bytes.data() + 4) + 8 == bytes.size(),
                   "a RIFF form of the subset's size", u32(bytes.data() + 4),
                   static_cast<std::int64_t>(bytes.size()));
}

void writeSeeds(const char* folder)
{
    using Kind = qb::test::SoundFontRecipe::Kind;
    QDir().mkpath(QString::fromLocal8Bit(folder));
    const std::pair<Kind, const char*> kinds[] = {
        {Kind::Sf2, "small.sf2"}, {Kind::Sf2With24, "small-24.sf2"}, {Kind::Sf3, "small.sf3"}};
    for (const auto& [kind, name] : kinds) {
        QFile file(QDir(QString::fromLocal8Bit(folder)).filePath(QString::fromLatin1(name)));
        const QByteArray bytes = qb::test::soundFontBytes(qb::test::smallSoundFontRecipe(kind));
        if (bytes.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            std::exit(1);
    }
    std::exit(0);
}

} // namespace

// FluidSynth decodes a compressed sample of a font it loads whole into a buffer of the length
// libsndfile reports, which for a damaged stream is the largest count there is: the allocation fails
// and FluidSynth refuses the sample, as it should, where AddressSanitizer would stop at the request.
// Our own allocations stay bounded by libFuzzer's -malloc_limit_mb.
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1";
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (const char* folder = std::getenv("QUILLBEAT_FUZZ_WRITE_SEEDS"))
        writeSeeds(folder);
    std::atexit([] { ::unlink(songPath().c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const MidiSequence sequence = [] {
        const QByteArray bytes = songBytes();
        auto parsed = parseMidiFile(
            std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), std::size_t(bytes.size())));
        if (!parsed)
            std::abort();
        return std::move(*parsed);
    }();
    const std::string& font = fuzzing::writeInput(data, size, ".sf2");

    std::string why;
    if (const auto tables = SoundFontTables::read(font, &why)) {
        checkSubset(*tables, sequence, false);
        checkSubset(*tables, sequence, true);
    }

    // A new cache each time: the file at the same path is another font.
    OpenResult opened = openMidiDecoder(songPath(), std::make_shared<MidiSynthCache>(), font);
    fuzzing::check((opened.decoder != nullptr) == (opened.error == OpenError::None), "a decoder or an error");
    if (!opened.decoder) {
        fuzzing::check(opened.error == OpenError::SoundFontMissing &&
                           opened.soundFontProblem != SoundFontProblem::None,
                       "a refused font says why");
        return 0;
    }
    fuzzing::exercise(*opened.decoder, 4);
    return 0;
}
