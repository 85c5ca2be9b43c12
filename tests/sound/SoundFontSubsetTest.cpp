#include "sound/soundfont/SoundFontSubset.h"

#include "MidiSynth.h"
#include "sound/decode/Decoders.h"
#include "sound/midi/MidiDecoder.h"
#include "sound/midi/MidiFileParser.h"
#include "sound/midi/MidiSynthCache.h"
#include "sound/midi/SoundFontSurvey.h"
#include "sound/soundfont/SoundFontTables.h"
#include "testkit/AudioFiles.h"
#include "testkit/FileAccessWatch.h"
#include "testkit/MidiFiles.h"
#include "testkit/SoundFontFiles.h"

#include <QTemporaryDir>
#include <QTest>
#include <QtDebug>
#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

using namespace qb::audio;
using qb::test::FileAccessWatch;
using qb::test::FontPreset;
using qb::test::midiFile;
using qb::test::MidiTrack;
using qb::test::SoundFontRecipe;

namespace {

constexpr int kPpq = 480; // half a second per quarter note at the default tempo

// Piano key 60 on channel 0 and the kick on the drums for a quarter note, parsed; with
// `programChange`, channel 0 chooses program 0 first.
std::optional<MidiSequence> pianoAndKick(bool programChange)
{
    MidiTrack track;
    if (programChange)
        track.programChange(0, 0, 0);
    const QByteArray song = midiFile(0, kPpq,
                                     {track.noteOn(0, 0, 60, 100)
                                          .noteOn(0, 9, 36, 100)
                                          .noteOff(kPpq, 0, 60)
                                          .noteOff(0, 9, 36)
                                          .endOfTrack()});
    return parseMidiFile(
        std::span(reinterpret_cast<const std::uint8_t*>(song.data()), std::size_t(song.size())));
}

QByteArray smallSoundFont(const std::vector<FontPreset>& more = {})
{
    SoundFontRecipe recipe = qb::test::smallSoundFontRecipe();
    recipe.presets.insert(recipe.presets.end(), more.begin(), more.end());
    return qb::test::soundFontBytes(recipe);
}

float peak(const std::vector<float>& samples, qint64 fromFrame, qint64 toFrame)
{
    float p = 0;
    for (qint64 i = fromFrame * 2; i < std::min<qint64>(toFrame * 2, qint64(samples.size())); ++i)
        p = std::max(p, std::fabs(samples[std::size_t(i)]));
    return p;
}

std::vector<float> render(Decoder& decoder, qint64 frames)
{
    std::vector<float> out(std::size_t(frames) * 2);
    qint64 done = 0;
    while (done < frames) {
        const int got = decoder.read(out.data() + done * 2, int(std::min<qint64>(512, frames - done)));
        if (got <= 0)
            break;
        done += got;
    }
    out.resize(std::size_t(done) * 2);
    return out;
}

// A font whose preset (0, 0) plays, for every key, one sample once through (no loop): three seconds
// of a falling tone at root key 60, with a half-second release that a note's velocity lengthens by
// up to another second (a modulator).
QByteArray onceThroughFont(SoundFontRecipe::Kind kind)
{
    SoundFontRecipe recipe;
    recipe.kind = kind;
    qb::test::FontSample sample;
    sample.name = "bell";
    for (int i = 0; i < 3 * 44100; ++i)
        sample.points.push_back(std::int16_t(12000 * std::exp(-i / 40000.0) * std::sin(i * 0.0627)));
    recipe.samples.push_back(sample);
    qb::test::FontZone zone{0, 127, 0};
    zone.sampleModes = 0;
    zone.generators = {{38, -1200}}; // release: half a second
    zone.modulators = {
        {0x0002, 38, 1200, 0, 0},     // note-on velocity to release, up to 1200 cents
        {0x0103, 38, 600, 0x0002, 0}, // lower keys longer, by velocity
        {0x0402, 52, 50, 0, 0},       // velocity (concave) to fine tune
    };
    recipe.instruments = {{"bell", {zone}}};
    recipe.presets = {{"Bell", 0, 0, {{0, 127, 0}}}};
    return qb::test::soundFontBytes(recipe);
}

// A song of one track that ends `tail` ticks after its last event.
QByteArray songOf(MidiTrack track, std::uint32_t tail = 0)
{
    return midiFile(0, kPpq, {track.endOfTrack(tail)});
}

std::optional<MidiSequence> parsed(const QByteArray& song)
{
    return parseMidiFile(
        std::span(reinterpret_cast<const std::uint8_t*>(song.data()), std::size_t(song.size())));
}

} // namespace

class SoundFontSubsetTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_soundFont;
    QString m_bankedFont; // the small font and (8, 1), a kit

    QString write(const QString& name, const QByteArray& bytes)
    {
        const QString path = m_dir.filePath(name);
        return qb::test::writeBytes(path, bytes) ? path : QString();
    }

private slots:
    void initTestCase()
    {
        m_soundFont = write("small.sf2", smallSoundFont());
        QVERIFY(!m_soundFont.isEmpty());
        m_bankedFont = write("banked.sf2", smallSoundFont({{"Kit 8", 8, 1, {{0, 127, 2}}}}));
        QVERIFY(!m_bankedFont.isEmpty());
    }

    void subsetHoldsWhatTheSongPlays()
    {
        // Piano key 60 (its low zone only) and the kick: not the organ, the high piano or the snare.
        const auto sequence = pianoAndKick(true);
        QVERIFY(sequence);
        std::string why;
        const auto tables = SoundFontTables::read(m_soundFont.toStdString(), &why);
        QVERIFY2(tables, why.c_str());

        const SoundFontUse use = collectSoundFontUse(*sequence, *tables);
        const SoundFontSubset subset = buildSoundFontSubset(*tables, use, false, &why);
        QVERIFY2(subset.size() > 0, why.c_str());
        QCOMPARE(subset.contents.presets, (std::vector<PresetKey>{{0, 0}, {128, 0}}));
        QVERIFY(subset.contents.headersOnly.empty());
        QCOMPARE(subset.contents.samples, (std::vector<std::string>{"piano-low", "kick"}));
        QCOMPARE(subset.contents.sampleDataBytes, std::uint64_t((1000 + 46) * 2 * 2 + 46 * 2));

        // With every other preset present without zones, so that programs resolve as in the full font.
        const SoundFontSubset withHeaders = buildSoundFontSubset(*tables, use, true, &why);
        QCOMPARE(withHeaders.contents.presets, (std::vector<PresetKey>{{0, 0}, {128, 0}}));
        QCOMPARE(withHeaders.contents.headersOnly, (std::vector<PresetKey>{{0, 1}}));
        QCOMPARE(withHeaders.contents.samples, subset.contents.samples);

        // The subset carries the font's sample points unchanged.
        std::vector<char> whole(std::size_t(subset.size()));
        QVERIFY(subset.read(0, whole.data(), whole.size()));
        const QByteArray font = smallSoundFont();
        const QByteArray firstSample = font.mid(font.indexOf("smpl") + 8, 2000);
        const auto at = std::search(whole.begin(), whole.end(), firstSample.begin(), firstSample.end());
        QVERIFY(at != whole.end());
        QVERIFY(!subset.read(subset.size() - 1, whole.data(), 2));
    }

    // Every note a song plays is loaded before it renders, however its channel came to its preset:
    // rendering reads nothing of the font, and the note sounds. Each song chooses a preset at 0 and
    // 0.25 s and plays one note at 0.5 s, on a preset whose zones no other choice would have loaded.
    void everyNoteIsLoadedBeforeItPlays_data()
    {
        QTest::addColumn<QString>("font");
        QTest::addColumn<QByteArray>("setup"); // events up to 0.25 s, ending there
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("key");
        auto gs = [](const char* hex) { return QByteArray::fromHex(hex); };
        auto row = [](const char* name, const QString& font, const MidiTrack& setup, int channel, int key) {
            QTest::newRow(name) << font << setup.bytes() << channel << key;
        };
        const int quarter = kPpq / 2;
        const QByteArray drumsOn1 = gs("411042124011150119f7"), drumsOff10 = gs("41104212401015001bf7");

        // Channel 1 becomes a drum part through a GS message: after the program change that follows,
        // it plays the kit, not the piano (whose zones start at key 48).
        row("part made drums by GS", m_soundFont,
            MidiTrack().programChange(0, 0, 0).sysex(quarter, drumsOn1).programChange(0, 0, 0), 0, 38);
        // Channel 10 made melodic: bank 0 program 1 is the organ, not a drum kit.
        row("drum part made melodic by GS", m_soundFont,
            MidiTrack().sysex(0, drumsOff10).controlChange(quarter, 9, 0, 0).programChange(0, 9, 1), 9, 30);
        // A bank select on a drum part is ignored, so made melodic it looks in the drum bank, whose
        // program 0 is the kit (the synthesiser does so).
        row("drum part made melodic keeps its bank", m_soundFont,
            MidiTrack().controlChange(0, 9, 0, 0).sysex(quarter, drumsOff10), 9, 36);
        // A GS message with a wrong checksum is dropped: channel 1 stays on the piano.
        row("GS message with a wrong checksum", m_soundFont,
            MidiTrack().sysex(quarter, gs("411042124011150118f7")), 0, 60);
        // A bank select takes effect at the next program change: (8, 1), a kit, stays chosen after
        // bank 0 comes back.
        row("bank select without a program change", m_bankedFont,
            MidiTrack().controlChange(0, 0, 0, 8).programChange(0, 0, 1).controlChange(quarter, 0, 0, 0), 0,
            36);
        row("bank the font lacks", m_soundFont,
            MidiTrack().controlChange(0, 0, 0, 5).programChange(quarter, 0, 1), 0, 30);
        row("program the font lacks", m_soundFont, MidiTrack().programChange(quarter, 0, 50), 0, 60);
        row("drum kit the font lacks", m_soundFont, MidiTrack().programChange(quarter, 9, 25), 9, 38);
        // The reset puts channel 1 back on the piano from the organ.
        row("GM reset mid-song", m_soundFont,
            MidiTrack().programChange(0, 0, 1).sysex(quarter, gs("7e7f0901f7")), 0, 60);
        // An XG reset to every device is a reset like any other, not a switch to XG banks (where bank
        // 127 would make channel 1 a drum part).
        row("XG reset to every device", m_soundFont,
            MidiTrack()
                .sysex(0, gs("437f4c00007e00f7"))
                .controlChange(quarter, 0, 0, 127)
                .programChange(0, 0, 0),
            0, 60);
    }

    void everyNoteIsLoadedBeforeItPlays()
    {
        QFETCH(QString, font);
        QFETCH(QByteArray, setup);
        QFETCH(int, channel);
        QFETCH(int, key);
        MidiTrack track;
        track.raw(setup).noteOn(kPpq / 2, channel, key, 110).noteOff(kPpq, channel, key).endOfTrack(kPpq);
        const QString path = write("song.mid", midiFile(0, kPpq, {track}));
        FileAccessWatch watch(font.toStdString());
        QVERIFY(watch.valid());
        OpenResult opened =
            openMidiDecoder(path.toStdString(), std::make_shared<MidiSynthCache>(), font.toStdString());
        QVERIFY2(opened.decoder, opened.message.c_str());
        const auto* midi = dynamic_cast<const MidiDecoder*>(opened.decoder.get());
        QVERIFY(midi);
        QTRY_VERIFY(midi->samplesLoaded());
        watch.take();

        const std::vector<float> audio = render(*opened.decoder, 3 * 22050);
        QCOMPARE(peak(audio, 0, 22050 - 64), 0.0f);
        QVERIFY2(peak(audio, 22050 + 64, 2 * 22050) > 0.01f,
                 qPrintable(QString::number(peak(audio, 22050, 44100))));
        // From a position after the choices, which the seek replays without their time.
        QVERIFY(opened.decoder->seek(17640));
        const std::vector<float> resumed = render(*opened.decoder, 3 * 22050);
        QVERIFY(peak(resumed, 22050 - 17640 + 64, 2 * 22050 - 17640) > 0.01f);
        const FileAccessWatch::Accesses rendering = watch.take();
        QCOMPARE(rendering.opens, 0);
        QCOMPARE(rendering.reads, 0);
    }

    // The subset keeps what a synthesiser needs of each kind of sample: a compressed sample's bytes as
    // the font has them (in a subset of version 3, which tells FluidSynth they are compressed), and a
    // 24-bit sample's low bytes beside its points.
    void subsetKeepsCompressedAndLowBytes()
    {
        const auto sequence = pianoAndKick(false);
        QVERIFY(sequence);
        auto subsetOf = [&](const QByteArray& font, const QString& name) {
            const QString path = write(name, font);
            std::string why;
            const auto tables = SoundFontTables::read(path.toStdString(), &why);
            if (!tables)
                qWarning() << why.c_str();
            std::vector<char> bytes;
            if (tables) {
                const SoundFontSubset subset =
                    buildSoundFontSubset(*tables, collectSoundFontUse(*sequence, *tables), false, &why);
                bytes.resize(std::size_t(subset.size()));
                if (!subset.read(0, bytes.data(), bytes.size()))
                    bytes.clear();
            }
            return QByteArray(bytes.data(), qsizetype(bytes.size()));
        };

        const QByteArray compressedFont =
            qb::test::soundFontBytes(qb::test::smallSoundFontRecipe(SoundFontRecipe::Kind::Sf3));
        QVERIFY(!compressedFont.isEmpty());
        const QByteArray compressed = subsetOf(compressedFont, "compressed.sf3");
        QVERIFY(!compressed.isEmpty());
        QCOMPARE(compressed.mid(qb::test::chunkPayload(compressed, "ifil"), 2), QByteArray("\x03\x00", 2));
        // piano-low's and kick's Ogg streams, whole, one after the other.
        const qsizetype fontData = qb::test::chunkPayload(compressedFont, "smpl");
        const qsizetype fontHeaders = qb::test::chunkPayload(compressedFont, "shdr");
        auto fontSample = [&](int s) {
            auto u32 = [&](qsizetype at) {
                return qsizetype(quint8(compressedFont[at]) | (quint8(compressedFont[at + 1]) << 8) |
                                 (quint8(compressedFont[at + 2]) << 16));
            };
            const qsizetype header = fontHeaders + 46 * s;
            return compressedFont.mid(fontData + u32(header + 20), u32(header + 24) - u32(header + 20));
        };
        const qsizetype data = qb::test::chunkPayload(compressed, "smpl");
        const QByteArray pianoLow = fontSample(0), kick = fontSample(3);
        QVERIFY(pianoLow.startsWith("OggS") && kick.startsWith("OggS"));
        QCOMPARE(compressed.mid(data, pianoLow.size()), pianoLow);
        QCOMPARE(compressed.mid(data + pianoLow.size() + pianoLow.size() % 2, kick.size()), kick);

        const QByteArray deep = subsetOf(
            qb::test::soundFontBytes(qb::test::smallSoundFontRecipe(SoundFontRecipe::Kind::Sf2With24)),
            "deep.sf2");
        const qsizetype low = qb::test::chunkPayload(deep, "sm24");
        QVERIFY(low > 0);
        QCOMPARE(deep.mid(qb::test::chunkPayload(deep, "ifil"), 4), QByteArray("\x02\x00\x04\x00", 4));
        for (int i : {0, 500, 999}) {
            QCOMPARE(quint8(deep[low + i]), qb::test::lowByte(0, std::size_t(i)));
            QCOMPARE(quint8(deep[low + 1046 + i]), qb::test::lowByte(3, std::size_t(i)));
        }
    }

    // Some compressed fonts (FluidR3Mono, MuseScore General Lite) leave out the pad byte after an
    // odd-sized sample chunk and start the next list right after it, and FluidSynth reads them so.
    void aFontWithoutThePadByteAfterAnOddChunkReads()
    {
        QByteArray font =
            qb::test::soundFontBytes(qb::test::smallSoundFontRecipe(SoundFontRecipe::Kind::Sf3));
        const qsizetype data = qb::test::chunkPayload(font, "smpl");
        const qsizetype sdtaSize = qb::test::chunkPayload(font, "sdta") - 8;
        auto get32 = [&font](qsizetype at) {
            return quint32(quint8(font[at])) | (quint32(quint8(font[at + 1])) << 8) |
                   (quint32(quint8(font[at + 2])) << 16) | (quint32(quint8(font[at + 3])) << 24);
        };
        auto add32 = [&](qsizetype at, int delta) {
            const quint32 v = get32(at) + quint32(delta);
            for (int i = 0; i < 4; ++i)
                font[at + i] = char((v >> (8 * i)) & 0xFF);
        };
        const quint32 size = get32(data - 4);
        // An odd size with nothing after it: one more byte after an even chunk, or its pad byte gone.
        const int delta = size % 2 == 0 ? 1 : -1;
        if (delta > 0)
            font.insert(data + size, 'x');
        else
            font.remove(data + size, 1);
        add32(data - 4, delta > 0 ? 1 : 0);
        add32(sdtaSize, delta);
        add32(4, delta);
        QVERIFY(get32(data - 4) % 2 == 1);
        QCOMPARE(font.mid(data + get32(data - 4), 4), QByteArray("LIST"));

        std::string why;
        const auto tables = SoundFontTables::read(write("unpadded.sf3", font).toStdString(), &why);
        QVERIFY2(tables, why.c_str());
        QCOMPARE(tables->presetCount(), std::size_t(3));
        QCOMPARE(tables->sampleCount(), std::size_t(5));
        QVERIFY(tables->hasCompressedSamples());
    }

    // A font of compressed or 24-bit samples sounds as the same font of 16-bit samples: at the same
    // level, with the same wave (compressed bytes played as points would be loud noise).
    void everyKindOfFontSoundsTheSame()
    {
        const QString song = write("piano.mid", midiFile(0, kPpq,
                                                         {MidiTrack()
                                                              .programChange(0, 0, 0)
                                                              .noteOn(0, 0, 60, 100)
                                                              .noteOff(kPpq, 0, 60)
                                                              .endOfTrack()}));
        auto renderWith = [&](SoundFontRecipe::Kind kind, const QString& name) {
            const QString font = write(name, qb::test::soundFontBytes(qb::test::smallSoundFontRecipe(kind)));
            OpenResult opened =
                openMidiDecoder(song.toStdString(), std::make_shared<MidiSynthCache>(), font.toStdString());
            return opened.decoder ? render(*opened.decoder, 11025) : std::vector<float>();
        };
        const std::vector<float> plain = renderWith(SoundFontRecipe::Kind::Sf2, "plain.sf2");
        QCOMPARE(plain.size(), std::size_t(2 * 11025));
        auto level = [](const std::vector<float>& x) {
            double sum = 0;
            for (float v : x)
                sum += double(v) * v;
            return 10 * std::log10(sum / double(x.size()) + 1e-20);
        };
        for (const auto& [kind, name] : {std::pair{SoundFontRecipe::Kind::Sf3, "compressed.sf3"},
                                         std::pair{SoundFontRecipe::Kind::Sf2With24, "deep.sf2"}}) {
            const std::vector<float> other = renderWith(kind, name);
            QCOMPARE(other.size(), plain.size());
            QVERIFY2(
                std::fabs(level(other) - level(plain)) < 0.5,
                qPrintable(
                    QStringLiteral("%1: %2 dB against %3 dB").arg(name).arg(level(other)).arg(level(plain))));
            double dot = 0, a = 0, b = 0;
            for (std::size_t i = 0; i < plain.size(); ++i) {
                dot += double(plain[i]) * other[i];
                a += double(plain[i]) * plain[i];
                b += double(other[i]) * other[i];
            }
            QVERIFY2(dot / std::sqrt(a * b) > 0.95,
                     qPrintable(QStringLiteral("%1: correlation %2").arg(name).arg(dot / std::sqrt(a * b))));
        }
    }

    // A song's beginning loads before it sounds and the rest beside playback: the organ that enters
    // after the first stage sounds as it does at the start of a song of its own, whether playback
    // reaches it (or a seek lands past it) before the rest has loaded or after.
    void theRestOfASongLoadsBesidePlayback()
    {
        const qint64 late = std::end(kMidiStageFrames)[-1] + 22050; // frames: where the organ enters
        const int lateTicks = int(late / 22050 * kPpq);
        const QString song = write("late organ.mid", midiFile(1, kPpq,
                                                              {MidiTrack()
                                                                   .programChange(0, 0, 0)
                                                                   .noteOn(0, 0, 60, 100)
                                                                   .noteOff(kPpq / 4, 0, 60)
                                                                   .endOfTrack(),
                                                               MidiTrack()
                                                                   .programChange(0, 1, 1)
                                                                   .noteOn(lateTicks, 1, 60, 100)
                                                                   .noteOff(kPpq, 1, 60)
                                                                   .endOfTrack()}));
        const QString alone = write("organ.mid", midiFile(0, kPpq,
                                                          {MidiTrack()
                                                               .programChange(0, 1, 1)
                                                               .noteOn(0, 1, 60, 100)
                                                               .noteOff(kPpq, 1, 60)
                                                               .endOfTrack()}));
        const std::string font = m_soundFont.toStdString();
        OpenResult reference = openMidiDecoder(alone.toStdString(), std::make_shared<MidiSynthCache>(), font);
        QVERIFY(reference.decoder);
        const float organ = peak(render(*reference.decoder, 22050), 0, 22050);
        QVERIFY(organ > 0.01f);

        OpenResult played = openMidiDecoder(song.toStdString(), std::make_shared<MidiSynthCache>(), font);
        QVERIFY(played.decoder);
        const std::vector<float> audio = render(*played.decoder, late + 22050);
        QVERIFY(peak(audio, 0, 11025) > 0.01f); // the piano at once
        const float heard = peak(audio, late, late + 22050);
        QVERIFY2(std::fabs(heard - organ) < 0.05f * organ,
                 qPrintable(QStringLiteral("%1 against %2").arg(heard).arg(organ)));

        OpenResult sought = openMidiDecoder(song.toStdString(), std::make_shared<MidiSynthCache>(), font);
        QVERIFY(sought.decoder);
        QVERIFY(sought.decoder->seek(late - 64));
        const float afterSeek = peak(render(*sought.decoder, 22050), 0, 22050);
        QVERIFY2(std::fabs(afterSeek - organ) < 0.05f * organ,
                 qPrintable(QStringLiteral("%1 against %2").arg(afterSeek).arg(organ)));
    }

    // Each stage holds all the notes so far of the presets it adds to, so a preset that the rest of the
    // song extends is loaded twice; once the rest is there, the earlier copy goes, and the note it
    // brought sounds from the newer one as before.
    void aPresetTheRestExtendsIsHeldOnce()
    {
        const qint64 late = std::end(kMidiStageFrames)[-1] + 22050;
        const int lateTicks = int(late / 22050 * kPpq);
        auto piano = [](int firstKey, int lateStart, int lateKey) {
            MidiTrack track;
            track.programChange(0, 0, 0).noteOn(0, 0, firstKey, 100).noteOff(kPpq, 0, firstKey);
            if (lateStart > 0)
                track.noteOn(lateStart - kPpq, 0, lateKey, 100).noteOff(kPpq, 0, lateKey);
            return midiFile(0, kPpq, {track.endOfTrack()});
        };
        const QString song = write("piano twice.mid", piano(60, lateTicks, 72));
        const QString alone = write("piano once.mid", piano(60, 0, 0));
        const std::string font = m_soundFont.toStdString();
        OpenResult reference = openMidiDecoder(alone.toStdString(), std::make_shared<MidiSynthCache>(), font);
        QVERIFY(reference.decoder);
        const qint64 noteFrames = 22050; // the note, before the song of one note starts again
        const float first = peak(render(*reference.decoder, noteFrames), 0, noteFrames);
        QVERIFY(first > 0.01f);

        auto cache = std::make_shared<MidiSynthCache>();
        OpenResult played = openMidiDecoder(song.toStdString(), cache, font);
        QVERIFY(played.decoder);
        QVERIFY(peak(render(*played.decoder, late + 22050), late, late + 22050) > 0.01f); // key 72
        // The first note again, now from the newer copy of the piano. (A seek does not give back the
        // effects' state of a fresh start, so its level is not the first pass's to the percent.)
        QVERIFY(played.decoder->seek(0));
        const float again = peak(render(*played.decoder, noteFrames), 0, noteFrames);
        QVERIFY2(again > first / 2, qPrintable(QStringLiteral("%1 against %2").arg(again).arg(first)));
        played.decoder.reset();

        std::string why;
        const std::unique_ptr<MidiSynth> synth = cache->acquire(font, &why);
        QVERIFY2(synth, why.c_str());
        QCOMPARE(synth->fontsHeld(), 2); // every preset without zones; the song's piano, once
    }

    // Notes sound as the sum of their halves, each played on its own, however many start at once: a
    // synthesiser whose voices were added after it was made (its queues sized for the few it began
    // with) lost a chord's later voices. Each note of the layered organ starts two.
    void manyNotesSoundAsTheirHalves_data()
    {
        QTest::addColumn<int>("program");
        QTest::addColumn<int>("notes");
        QTest::addColumn<int>("ticksApart");
        QTest::newRow("80 organ notes at once") << 1 << 80 << 0;
        QTest::newRow("40 layered organ notes at once") << 2 << 40 << 0;
        QTest::newRow("80 organ notes one after another") << 1 << 80 << kPpq / 32;
    }

    void manyNotesSoundAsTheirHalves()
    {
        QFETCH(int, program);
        QFETCH(int, notes);
        QFETCH(int, ticksApart);
        const std::string font =
            write("layered.sf2", smallSoundFont({{"Layered organ", 0, 2, {{0, 127, 1}, {0, 127, 1}}}}))
                .toStdString();
        // Every note held past the frames played; `part` 0 or 1 keeps every other note, -1 all of them.
        auto song = [&](int part) {
            MidiTrack track;
            track.programChange(0, 0, program);
            for (int n = 0; n < notes; ++n) {
                if (part < 0 || n % 2 == part)
                    track.noteOn(0, 0, 20 + n, 100);
                track.text(std::uint32_t(ticksApart), QByteArray()); // the step, kept note or not
            }
            return write(QStringLiteral("notes %1.mid").arg(part),
                         midiFile(0, kPpq, {track.endOfTrack(8 * kPpq)}));
        };
        const qint64 frames = 6 * 22050;
        auto play = [&](int part) {
            OpenResult opened =
                openMidiDecoder(song(part).toStdString(), std::make_shared<MidiSynthCache>(), font);
            return opened.decoder ? render(*opened.decoder, frames) : std::vector<float>();
        };
        const std::vector<float> all = play(-1);
        const std::vector<float> odd = play(1);
        const std::vector<float> even = play(0);
        QCOMPARE(qint64(all.size()), frames * 2);
        QCOMPARE(odd.size(), all.size());
        QCOMPARE(even.size(), all.size());
        double difference = 0, level = 0;
        for (std::size_t i = 0; i < all.size(); ++i) {
            const double sum = double(odd[i]) + even[i];
            difference += (all[i] - sum) * (all[i] - sum);
            level += sum * sum;
        }
        QVERIFY(level > 0);
        QVERIFY2(difference < 1e-8 * level,
                 qPrintable(QStringLiteral("%1 of %2").arg(std::sqrt(difference)).arg(std::sqrt(level))));
    }

    // A synthesiser made ahead (a start with a MIDI file has it made while its output starts) is the one
    // the open borrows: the font is opened as often as for one made at the open, not twice as often.
    // One that cannot be made leaves the open its reason.
    void aSynthesiserMadeAheadIsTheOneLent()
    {
        const std::string font = m_soundFont.toStdString();
        FileAccessWatch watch(font);
        QVERIFY(watch.valid());
        std::string why;
        QVERIFY(MidiSynthCache().acquire(font, &why));
        const int opensForOne = watch.take().opens;
        QVERIFY(opensForOne > 0);

        {
            MidiSynthCache cache;
            cache.makeAhead(font);
            QVERIFY2(cache.acquire(font, &why), why.c_str());
        }
        QCOMPARE(watch.take().opens, opensForOne);

        MidiSynthCache cache;
        const std::string missing = m_dir.filePath("gone.sf2").toStdString();
        cache.makeAhead(missing);
        QVERIFY(!cache.acquire(missing, &why));
        QVERIFY2(why.find("no SoundFont at") != std::string::npos, why.c_str());
    }

    // How long a song holds its notes and how far it bends them, as the synthesiser will: a key held
    // by a pedal until the pedal goes up, one never released until the end of the pass. What could
    // hold or move a voice otherwise leaves the song without a reach, its samples whole.
    void howFarASongPlaysEachPreset_data()
    {
        QTest::addColumn<QByteArray>("song");
        QTest::addColumn<double>("holdSeconds"); // of preset (0, 0); negative: no reach
        QTest::addColumn<int>("bendCents");
        const int q = kPpq; // half a second
        auto note = [](MidiTrack t, std::uint32_t at, std::uint32_t length) {
            return t.noteOn(at, 0, 60, 100).noteOff(length, 0, 60);
        };
        QTest::newRow("note-off") << songOf(note(MidiTrack(), 0, q)) << 0.5 << 0;
        QTest::newRow("sustain pedal")
            << songOf(note(MidiTrack().controlChange(0, 0, 64, 127), 0, q).controlChange(q, 0, 64, 0)) << 1.0
            << 0;
        QTest::newRow("sostenuto pedal")
            << songOf(note(MidiTrack().controlChange(0, 0, 66, 127), 0, q).controlChange(q, 0, 66, 0)) << 1.0
            << 0;
        QTest::newRow("released by the pass end")
            << songOf(MidiTrack().noteOn(0, 0, 60, 100).noteOn(2 * q, 0, 62, 100).noteOff(q, 0, 62)) << 1.5
            << 0;
        QTest::newRow("bent down only") << songOf(note(MidiTrack().pitchBend(0, 0, 0), 0, q)) << 0.5 << 0;
        QTest::newRow("bent up") << songOf(note(MidiTrack().pitchBend(0, 0, 16383), 0, q)) << 0.5 << 200;
        QTest::newRow("bent up an octave") << songOf(note(MidiTrack()
                                                              .controlChange(0, 0, 101, 0)
                                                              .controlChange(0, 0, 100, 0)
                                                              .controlChange(0, 0, 6, 12)
                                                              .pitchBend(0, 0, 9000),
                                                          0, q))
                                           << 0.5 << 1200;
        QTest::newRow("portamento") << songOf(note(MidiTrack().controlChange(0, 0, 65, 0), 0, q)) << -1.0
                                    << 0;
        QTest::newRow("fine tuning") << songOf(note(MidiTrack()
                                                        .controlChange(0, 0, 101, 0)
                                                        .controlChange(0, 0, 100, 1)
                                                        .controlChange(0, 0, 6, 80),
                                                    0, q))
                                     << -1.0 << 0;
        QTest::newRow("non-registered parameter") << songOf(note(MidiTrack()
                                                                     .controlChange(0, 0, 99, 120)
                                                                     .controlChange(0, 0, 98, 38)
                                                                     .controlChange(0, 0, 6, 100),
                                                                 0, q))
                                                  << -1.0 << 0;
        QTest::newRow("tuning message")
            << songOf(note(MidiTrack().sysex(0, QByteArray::fromHex("7f7f08020001003c0000f7")), 0, q)) << -1.0
            << 0;
    }

    void howFarASongPlaysEachPreset()
    {
        QFETCH(QByteArray, song);
        QFETCH(double, holdSeconds);
        QFETCH(int, bendCents);
        const auto sequence = parsed(song);
        QVERIFY(sequence);
        std::string why;
        const auto tables = SoundFontTables::read(m_soundFont.toStdString(), &why);
        QVERIFY2(tables, why.c_str());
        const SoundFontUse use = collectSoundFontUse(*sequence, *tables);
        QVERIFY(use.presets.count({0, 0}));
        if (holdSeconds < 0) {
            QVERIFY(use.reach.empty());
            return;
        }
        const PresetReach reach = use.reachOf({0, 0});
        QVERIFY2(std::fabs(reach.holdSeconds - holdSeconds) < 0.001,
                 qPrintable(QString::number(reach.holdSeconds)));
        QCOMPARE(reach.bendCents, bendCents);
    }

    // A sample that plays once through is kept only as far as the song's notes can play it: their
    // hold, the release as the modulators can lengthen it, the pitch. The song sounds exactly as
    // with the whole sample (the same song made to keep samples whole by a portamento switched off),
    // a compressed sample decoded as the synthesiser decodes it.
    void aSampleIsKeptAsFarAsTheSongPlaysIt_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("key");
        QTest::newRow("16-bit, at the root") << int(SoundFontRecipe::Kind::Sf2) << 60;
        QTest::newRow("16-bit, a third up") << int(SoundFontRecipe::Kind::Sf2) << 64;
        QTest::newRow("compressed") << int(SoundFontRecipe::Kind::Sf3) << 60;
    }

    void aSampleIsKeptAsFarAsTheSongPlaysIt()
    {
        QFETCH(int, kind);
        QFETCH(int, key);
        const QString font =
            write(QStringLiteral("bell%1.sf2").arg(kind), onceThroughFont(SoundFontRecipe::Kind(kind)));
        // One loud note for a quarter second, then its release.
        auto bell = [key](MidiTrack t) {
            return songOf(t.noteOn(0, 0, key, 127).noteOff(kPpq / 2, 0, key), 8 * kPpq);
        };
        const QByteArray cut = bell(MidiTrack());
        const QByteArray whole = bell(MidiTrack().controlChange(0, 0, 65, 0));

        std::string why;
        const auto tables = SoundFontTables::read(font.toStdString(), &why);
        QVERIFY2(tables, why.c_str());
        const SoundFontSubset cutSubset =
            buildSoundFontSubset(*tables, collectSoundFontUse(*parsed(cut), *tables), false, &why);
        QVERIFY2(cutSubset.size() > 0, why.c_str());
        // The release at most 1.2 s at this velocity: well under the 3 s sample even a third up.
        QVERIFY2(cutSubset.contents.sampleDataBytes < 0.8 * 3 * 44100 * 2,
                 qPrintable(QString::number(cutSubset.contents.sampleDataBytes)));

        auto renderSong = [&](const QByteArray& bytes, const QString& name) {
            const QString path = write(name, bytes);
            OpenResult opened =
                openMidiDecoder(path.toStdString(), std::make_shared<MidiSynthCache>(), font.toStdString());
            return opened.decoder ? render(*opened.decoder, 4 * 44100) : std::vector<float>();
        };
        const std::vector<float> heard = renderSong(cut, "cut.mid");
        QCOMPARE(heard.size(), std::size_t(2 * 4 * 44100));
        QVERIFY(peak(heard, 22050, 44100) > 0.001f); // its release rings on
        QVERIFY(heard == renderSong(whole, "whole.mid"));
    }

    // A later song on the same synthesiser that holds the preset longer than the samples were cut
    // for loads them again, and sounds as it does on a synthesiser of its own.
    void aSongThatPlaysFurtherLoadsTheSamplesAgain()
    {
        const QString font = write("bell-again.sf2", onceThroughFont(SoundFontRecipe::Kind::Sf2));
        const QString shortSong =
            write("short.mid", songOf(MidiTrack().noteOn(0, 0, 60, 100).noteOff(kPpq / 4, 0, 60)));
        const QString longSong =
            write("long.mid", songOf(MidiTrack().noteOn(0, 0, 60, 100).noteOff(4 * kPpq, 0, 60), 4 * kPpq));
        auto cache = std::make_shared<MidiSynthCache>();
        FileAccessWatch watch(font.toStdString());
        QVERIFY(watch.valid());
        OpenResult first = openMidiDecoder(shortSong.toStdString(), cache, font.toStdString());
        QVERIFY2(first.decoder, first.message.c_str());
        first.decoder.reset();
        watch.take();
        OpenResult second = openMidiDecoder(longSong.toStdString(), cache, font.toStdString());
        QVERIFY(second.decoder);
        const std::vector<float> again = render(*second.decoder, 4 * 44100);
        QCOMPARE(watch.take().opens, 1);
        OpenResult alone =
            openMidiDecoder(longSong.toStdString(), std::make_shared<MidiSynthCache>(), font.toStdString());
        QVERIFY(alone.decoder);
        // A synthesiser that played before carries rounding in its effects: alike to 1e-6, where
        // a sample cut too short would lose the last second of a note at a level of about 0.007.
        const std::vector<float> apart = render(*alone.decoder, 4 * 44100);
        QCOMPARE(again.size(), apart.size());
        QVERIFY(peak(apart, 2 * 44100, 3 * 44100) > 0.001f);
        float most = 0;
        for (std::size_t i = 0; i < again.size(); ++i)
            most = std::max(most, std::fabs(again[i] - apart[i]));
        QVERIFY2(most < 1e-6f, qPrintable(QString::number(most)));
    }

    void aSecondSongReusesWhatIsLoaded()
    {
        auto cache = std::make_shared<MidiSynthCache>();
        auto songWith = [](int program, int key) {
            return midiFile(0, kPpq,
                            {MidiTrack()
                                 .programChange(0, 0, program)
                                 .noteOn(0, 0, key, 100)
                                 .noteOff(kPpq, 0, key)
                                 .endOfTrack()});
        };
        const QString piano = write("piano.mid", songWith(0, 60));
        const QString pianoAgain = write("piano-again.mid", songWith(0, 61));
        const QString organ = write("organ.mid", songWith(1, 60));
        const std::string font = m_soundFont.toStdString();
        FileAccessWatch watch(font);
        QVERIFY(watch.valid());

        OpenResult first = openMidiDecoder(piano.toStdString(), cache, font);
        QVERIFY2(first.decoder, first.message.c_str());
        first.decoder.reset();
        watch.take();

        // The same preset and zone: the font is neither loaded again nor read for a subset.
        OpenResult second = openMidiDecoder(pianoAgain.toStdString(), cache, font);
        QVERIFY(second.decoder);
        const std::vector<float> audio = render(*second.decoder, 11025); // once the samples are there
        QCOMPARE(watch.take().opens, 0);
        // Key 61 is another note, but the zone that key 60 brought in plays it: nothing is missing.
        QVERIFY(peak(audio, 0, 11025) > 0.01f);
        second.decoder.reset();

        // Another preset: only it is added, on the same synthesiser, as one subset (one open of the
        // font, for its samples; loading the font again would read its tables too).
        OpenResult third = openMidiDecoder(organ.toStdString(), cache, font);
        QVERIFY(third.decoder);
        render(*third.decoder, 64);
        QCOMPARE(watch.take().opens, 1);
    }
};

QTEST_GUILESS_MAIN(SoundFontSubsetTest)
#include "SoundFontSubsetTest.moc"
