#include "sound/soundfont/SoundFontSubset.h"

#include "sound/decode/Decoders.h"
#include "sound/midi/MidiDecoder.h"
#include "sound/midi/MidiFileParser.h"
#include "sound/midi/MidiSynthCache.h"
#include "sound/midi/SoundFontSurvey.h"
#include "sound/soundfont/SoundFontTables.h"
#include "testkit/AudioFiles.h"
#include "testkit/FileAccessWatch.h"
#include "testkit/MidiFiles.h"

#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

using namespace qb::audio;
using qb::test::FileAccessWatch;
using qb::test::midiFile;
using qb::test::MidiTrack;

namespace {

constexpr int kPpq = 480; // half a second per quarter note at the default tempo

void put16(QByteArray& out, int v)
{
    out.append(char(v & 0xFF));
    out.append(char((v >> 8) & 0xFF));
}
void put32(QByteArray& out, quint32 v)
{
    put16(out, int(v & 0xFFFF));
    put16(out, int(v >> 16));
}
QByteArray name20(const char* name)
{
    QByteArray n(name);
    n.resize(20, '\0');
    return n;
}
QByteArray chunk(const char* tag, const QByteArray& payload)
{
    QByteArray out(tag, 4);
    put32(out, quint32(payload.size()));
    out += payload;
    if (payload.size() % 2)
        out.append('\0');
    return out;
}
QByteArray list(const char* type, const QByteArray& payload)
{
    return chunk("LIST", QByteArray(type, 4) + payload);
}

struct Zone
{
    int keyLow = 0, keyHigh = 127;
    int target = 0; // instrument (preset zones) or sample (instrument zones)
};

struct Preset
{
    const char* name;
    int bank, program, instrument;
};

// A small SoundFont whose every sample is a looped square wave:
//   (0,0) "Piano": keys 48..63 play "piano-low", 64..127 "piano-high" (nothing below 48)
//   (0,1) "Organ": every key plays "organ"
//   (128,0) "Kit": key 36 plays "kick", 38 "snare"
// and `more` presets after them, on those instruments (0 piano, 1 organ, 2 kit).
QByteArray smallSoundFont(const std::vector<Preset>& more = {})
{
    const char* samples[] = {"piano-low", "piano-high", "organ", "kick", "snare"};
    constexpr int kPoints = 1000;
    QByteArray smpl;
    QByteArray shdr;
    for (int s = 0; s < 5; ++s) {
        const int start = int(smpl.size() / 2);
        for (int i = 0; i < kPoints; ++i)
            put16(smpl, ((i / (10 + s)) % 2) ? 8000 : -8000);
        for (int i = 0; i < 46; ++i)
            put16(smpl, 0);
        shdr += name20(samples[s]);
        put32(shdr, quint32(start));
        put32(shdr, quint32(start + kPoints));
        put32(shdr, quint32(start + 100));
        put32(shdr, quint32(start + 900));
        put32(shdr, 44100);
        shdr.append(char(60));
        shdr.append('\0');
        put16(shdr, 0);
        put16(shdr, 1); // mono
    }
    shdr += name20("EOS") + QByteArray(26, '\0');

    const std::vector<std::vector<Zone>> instruments = {
        {{48, 63, 0}, {64, 127, 1}}, {{0, 127, 2}}, {{36, 36, 3}, {38, 38, 4}}};
    const char* instrumentNames[] = {"piano", "organ", "kit"};
    QByteArray inst, ibag, igen;
    int bags = 0, gens = 0;
    for (std::size_t i = 0; i < instruments.size(); ++i) {
        inst += name20(instrumentNames[i]);
        put16(inst, bags);
        for (const Zone& z : instruments[i]) {
            put16(ibag, gens);
            put16(ibag, 0);
            ++bags;
            put16(igen, 43);
            put16(igen, z.keyLow | (z.keyHigh << 8));
            put16(igen, 54); // sample modes: loop
            put16(igen, 1);
            put16(igen, 53);
            put16(igen, z.target);
            gens += 3;
        }
    }
    inst += name20("EOI");
    put16(inst, bags);
    put16(ibag, gens);
    put16(ibag, 0);
    put32(igen, 0);

    std::vector<Preset> presets = {{"Piano", 0, 0, 0}, {"Organ", 0, 1, 1}, {"Kit", 128, 0, 2}};
    presets.insert(presets.end(), more.begin(), more.end());
    QByteArray phdr, pbag, pgen;
    int pbags = 0;
    // A preset header: name, program, bank, first bag; library, genre and morphology unused.
    const auto putPreset = [&phdr](const char* name, int program, int bank, int bag) {
        phdr += name20(name);
        put16(phdr, program);
        put16(phdr, bank);
        put16(phdr, bag);
        put32(phdr, 0);
        put32(phdr, 0);
        put32(phdr, 0);
    };
    for (const Preset& p : presets) {
        putPreset(p.name, p.program, p.bank, pbags);
        put16(pbag, pbags);
        put16(pbag, 0);
        put16(pgen, 41);
        put16(pgen, p.instrument);
        ++pbags;
    }
    putPreset("EOP", 0, 0, pbags);
    put16(pbag, pbags);
    put16(pbag, 0);
    put32(pgen, 0);
    const QByteArray mod(10, '\0');

    QByteArray ifil;
    put16(ifil, 2);
    put16(ifil, 1);
    const QByteArray body = list("INFO", chunk("ifil", ifil) + chunk("INAM", QByteArray("small\0", 6))) +
                            list("sdta", chunk("smpl", smpl)) +
                            list("pdta", chunk("phdr", phdr) + chunk("pbag", pbag) + chunk("pmod", mod) +
                                             chunk("pgen", pgen) + chunk("inst", inst) + chunk("ibag", ibag) +
                                             chunk("imod", mod) + chunk("igen", igen) + chunk("shdr", shdr));
    return chunk("RIFF", QByteArray("sfbk", 4) + body);
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
        m_bankedFont = write("banked.sf2", smallSoundFont({{"Kit 8", 8, 1, 2}}));
        QVERIFY(!m_bankedFont.isEmpty());
    }

    void subsetHoldsWhatTheSongPlays()
    {
        // Piano key 60 (its low zone only) and the kick: not the organ, the high piano or the snare.
        const QByteArray song = midiFile(0, kPpq,
                                         {MidiTrack()
                                              .programChange(0, 0, 0)
                                              .noteOn(0, 0, 60, 100)
                                              .noteOn(0, 9, 36, 100)
                                              .noteOff(kPpq, 0, 60)
                                              .noteOff(0, 9, 36)
                                              .endOfTrack()});
        const auto sequence = parseMidiFile(
            std::span(reinterpret_cast<const std::uint8_t*>(song.data()), std::size_t(song.size())));
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
