// libFuzzer entry point: arbitrary bytes as a file whose loop marks are read and judged as the player
// does with loop points on. A MIDI file (or RIFF MIDI) goes through the MIDI parser's loop markers
// and control change 111; anything else through libsndfile and the readers of a WAVE sampler chunk
// and of FLAC, Ogg Vorbis and Opus comments. The Ogg pages' checksums are set right first, so that a
// changed comment reaches the comment reader instead of being dropped as a damaged page.
//
// Beyond the sanitizers' findings it traps when marks the judge accepts break its promise (a loop of
// at least kShortestLoopFrames within the file) or when the decoder that plays them, read across the
// jump, breaks the Decoder contract.
//
// Seeds: QUILLBEAT_FUZZ_WRITE_SEEDS=<folder> makes the program write small files that mark loops
// there, from the tests' writers, and exit; scripts/fuzz-seeds does so for an empty corpus.
#include "DecoderFuzzing.h"
#include "sound/decode/Decoders.h"
#include "sound/midi/MidiDecoder.h"
#include "sound/midi/MidiFileParser.h"
#include "testkit/AudioFiles.h"
#include "testkit/LoopMarkedFiles.h"
#include "testkit/MidiFiles.h"

#include <QDir>
#include <QString>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>

using namespace qb::audio;

namespace {

// A MIDI sequence's length and loop marks as the MIDI decoder reports them, over silence: the marks
// are what is fuzzed here, not FluidSynth (the MIDI decoder fuzzer plays files).
class MarkedSilence final : public Decoder
{
public:
    explicit MarkedSilence(const MidiSequence& sequence)
        : m_length(std::max(sequence.lengthFrames, MidiDecoder::kMinimumLength))
    {
        if (sequence.loopStartFrame && sequence.loopEndFrame)
            m_marks = LoopSpan{*sequence.loopStartFrame, *sequence.loopEndFrame, sequence.loopSource};
    }

    int read(float* out, int frames) override
    {
        const int n = static_cast<int>(std::clamp<std::int64_t>(m_length - m_position, 0, frames));
        std::fill_n(out, static_cast<std::size_t>(n) * kChannels, 0.0f);
        m_position += n;
        return n;
    }
    bool seek(std::int64_t frame) override
    {
        m_position = std::clamp<std::int64_t>(frame, 0, m_length);
        return true;
    }
    std::int64_t lengthFrames() const override { return m_length; }
    std::int64_t positionFrames() const override { return m_position; }
    std::optional<LoopSpan> loopMarks() const override { return m_marks; }

private:
    const std::int64_t m_length;
    std::int64_t m_position = 0;
    std::optional<LoopSpan> m_marks;
};

// Ogg's page checksum: CRC-32 with the polynomial 0x04C11DB7, not reflected, starting from 0.
std::uint32_t oggCrc(const std::uint8_t* data, std::size_t size)
{
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t r = i << 24;
            for (int bit = 0; bit < 8; ++bit)
                r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
            t[i] = r;
        }
        return t;
    }();
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < size; ++i)
        crc = (crc << 8) ^ table[((crc >> 24) ^ data[i]) & 0xFF];
    return crc;
}

// Sets the checksum of every whole Ogg page that starts where the last one ended.
void fixOggChecksums(std::vector<std::uint8_t>& bytes)
{
    std::size_t at = 0;
    while (at + 27 <= bytes.size() && std::memcmp(bytes.data() + at, "OggS", 4) == 0) {
        const std::size_t segments = bytes[at + 26];
        if (at + 27 + segments > bytes.size())
            return;
        std::size_t body = 0;
        for (std::size_t i = 0; i < segments; ++i)
            body += bytes[at + 27 + i];
        const std::size_t size = 27 + segments + body;
        if (at + size > bytes.size())
            return;
        std::memset(bytes.data() + at + 22, 0, 4);
        const std::uint32_t crc = oggCrc(bytes.data() + at, size);
        for (int i = 0; i < 4; ++i)
            bytes[at + 22 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (8 * i));
        at += size;
    }
}

// Judges the decoder's marks as an open with loop points does, checks what was accepted, and reads
// the playing decoder from its start and across its jump.
void judgeAndPlay(std::unique_ptr<Decoder> decoder, const std::string& path)
{
    const std::optional<LoopSpan> marks = decoder->loopMarks();
    const std::int64_t length = decoder->lengthFrames();
    const Decoder* plain = decoder.get();
    std::unique_ptr<Decoder> played = playingLoopPoints(std::move(decoder), path);
    fuzzing::check(played != nullptr, "a decoder back");
    if (played.get() == plain)
        return; // no marks, or marks ignored: the file plays as the wave decoder fuzzer plays it
    fuzzing::check(marks.has_value(), "a loop played only where marks were read");
    const std::int64_t start = marks->start;
    const std::int64_t end = marks->end;
    fuzzing::check(start >= 0, "a loop from frame 0 on", start);
    fuzzing::check(end - start >= kShortestLoopFrames, "a loop no shorter than the shortest", start, end);
    fuzzing::check(length < 0 || end <= length, "a loop within the file", end, length);
    fuzzing::check(played->lengthFrames() == length, "the file's own length", played->lengthFrames(), length);
    // Positions counted on through the jumps: at the loop's ends, and a few rounds on.
    const std::int64_t rounds =
        end < std::numeric_limits<std::int64_t>::max() / 8 ? end + (end - start) * 3 + 7 : end;
    for (const std::int64_t frame : {start, end - 1, end, rounds}) {
        const std::int64_t folded = played->foldPosition(frame);
        fuzzing::check(folded >= 0 && folded < end && (frame < end || folded >= start),
                       "a position folds into the loop", frame, folded);
    }

    constexpr int kChunk = 64;
    std::vector<float> buffer(std::size_t{kChunk} * kChannels);
    auto readSome = [&](int count) {
        for (int i = 0; i < count; ++i) {
            const std::int64_t before = played->positionFrames();
            const int got = played->read(buffer.data(), kChunk);
            fuzzing::check(got >= 0 && got <= kChunk, "0 <= read() <= frames asked", got, kChunk);
            fuzzing::check(played->positionFrames() == before + got, "the position counts on through jumps",
                           played->positionFrames(), before + got);
            fuzzing::check(std::all_of(buffer.begin(), buffer.begin() + 2 * got,
                                       [](float v) { return std::isfinite(v); }),
                           "finite samples");
            if (got < kChunk)
                break;
        }
    };
    readSome(2);
    // A file of unknown length loops to an end it learns only by reading there: there is no place near
    // it to seek to. And libsndfile 1.2.0 can seek for ever in a damaged Ogg stream whose length it
    // cannot tell (after a read, even back to frame 0), a hang of its own that any decoder of such a
    // file meets: it is read from its start only.
    if (length < 0)
        return;
    // Round the loop's end: a few chunks before it, the jump, a few after.
    played->seek(std::max<std::int64_t>(end - 2 * kChunk, 0));
    readSome(5);
    played->silence();
}

void writeSeeds(const char* folder)
{
    const QDir dir(QString::fromLocal8Bit(folder));
    if (!QDir().mkpath(dir.path()))
        std::exit(1);
    // Short and quiet enough to stay a few kilobytes: 1,600 frames at 8 kHz (8,820 engine frames).
    constexpr int kRate = 8000;
    constexpr int kFrames = 1600;
    std::vector<float> stereo(2 * kFrames);
    for (int i = 0; i < kFrames; ++i)
        stereo[2 * static_cast<std::size_t>(i)] = stereo[2 * static_cast<std::size_t>(i) + 1] =
            0.3f * static_cast<float>(std::sin(2 * M_PI * 440.0 * i / kRate));
    auto path = [&](const char* name) { return dir.filePath(QString::fromLatin1(name)); };
    using qb::test::MidiTrack;
    const QByteArray markers = qb::test::midiFile(0, 96,
                                                  {MidiTrack()
                                                       .noteOn(0, 0, 60, 100)
                                                       .meta(48, 6, "loopStart")
                                                       .noteOff(48, 0, 60)
                                                       .meta(96, 6, "loopEnd")
                                                       .endOfTrack(48)});
    const QByteArray controller = qb::test::midiFile(
        1, 96,
        {MidiTrack().tempo(0, 400000).endOfTrack(0),
         MidiTrack().noteOn(0, 1, 64, 90).controlChange(96, 1, 111, 0).noteOff(96, 1, 64).endOfTrack(0)});
    MidiTrack ticks;
    ticks.noteOn(0, 0, 60, 100).noteOff(96, 0, 60);
    for (int i = 0; i < 8; ++i)
        ticks.meta(0, 6, "loopStart").meta(1, 6, "LOOPEND");
    // And one at the engine's rate, which plays without resampling: 3,000 frames, a loop of 2,400.
    std::vector<float> direct(2 * 3000);
    for (std::size_t i = 0; i < direct.size(); ++i)
        direct[i] = 0.2f * static_cast<float>(std::sin(0.05 * static_cast<double>(i / 2)));
    const bool written =
        qb::test::writeSamplerLoopWav(path("loop.wav"), stereo, kRate, 400, 1200) &&
        qb::test::writeSamplerLoopWav(path("direct.wav"), direct, kEngineRate, 300, 2700) &&
        qb::test::writeSamplerLoopWav(path("no-loop.wav"), stereo, kRate, 0, 1) &&
        qb::test::writeCommentedFlac(path("length.flac"), stereo, kRate,
                                     {"LOOPSTART=400", "LOOPLENGTH=800"}) &&
        qb::test::writeCommentedFlac(path("end.flac"), stereo, kRate, {"loopstart=400", "LoopEnd=1200"}) &&
        qb::test::writeCommentedOgg(path("start.ogg"), stereo, kRate, {"LOOPSTART=400"}) &&
        qb::test::writeCommentedOpus(path("length.opus"), stereo, kRate,
                                     {"LOOPSTART=2400", "LOOPLENGTH=4800"}) &&
        qb::test::writeBytes(path("markers.mid"), markers) &&
        qb::test::writeBytes(path("controller.mid"), controller) &&
        qb::test::writeBytes(path("ticks.mid"), qb::test::midiFile(0, 96, {ticks.endOfTrack(0)}));
    std::exit(written ? 0 : 1);
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
    if (auto sequence = parseMidiFile(std::span(data, size))) {
        judgeAndPlay(std::make_unique<MarkedSilence>(*sequence), "fuzzed.mid");
        return 0;
    }
    std::vector<std::uint8_t> bytes(data, data + size);
    fixOggChecksums(bytes);
    const std::string& path = fuzzing::writeInput(bytes.data(), bytes.size(), ".snd");
    OpenResult opened = openDecoder(path);
    fuzzing::check((opened.decoder != nullptr) == (opened.error == OpenError::None), "a decoder or an error");
    if (opened.decoder)
        judgeAndPlay(std::move(opened.decoder), path);
    return 0;
}
