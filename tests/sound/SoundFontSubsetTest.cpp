#include "sound/midi/SoundFontSubset.h"

#include "sound/decode/Decoders.h"
#include "sound/midi/MidiDecoder.h"
#include "sound/midi/MidiFileParser.h"
#include "sound/midi/MidiSynthCache.h"
#include "testkit/AudioFiles.h"
#include "testkit/MidiFiles.h"

#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

using namespace qb::audio;
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

// A small SoundFont whose every sample is a looped square wave:
//   (0,0) "Piano": keys 48..63 play "piano-low", 64..127 "piano-high" (nothing below 48)
//   (0,1) "Organ": every key plays "organ"
//   (128,0) "Kit": key 36 plays "kick", 38 "snare"
QByteArray smallSoundFont()
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

    struct Preset
    {
        const char* name;
        int bank, program, instrument;
    };
    const Preset presets[] = {{"Piano", 0, 0, 0}, {"Organ", 0, 1, 1}, {"Kit", 128, 0, 2}};
    QByteArray phdr, pbag, pgen;
    int pbags = 0;
    for (const Preset& p : presets) {
        phdr += name20(p.name);
        put16(phdr, p.program);
        put16(phdr, p.bank);
        put16(phdr, pbags);
        put32(phdr, 0);
        put32(phdr, 0);
        put32(phdr, 0);
        put16(pbag, pbags);
        put16(pbag, 0);
        put16(pgen, 41);
        put16(pgen, p.instrument);
        ++pbags;
    }
    phdr += name20("EOP");
    put16(phdr, 0);
    put16(phdr, 0);
    put16(phdr, pbags);
    put32(phdr, 0);
    put32(phdr, 0);
    put32(phdr, 0);
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

    void anUnforeseenPresetStillSounds()
    {
        // Channel 1 becomes a drum part through a GS message, which the song's survey does not follow:
        // after the program change that follows, it expects the piano, whose zones start at key 48.
        // Key 38 then sounds only if the kit's snare is loaded when the note comes.
        const QByteArray rhythmPart = QByteArray::fromHex("411042124011150119f7");
        const QByteArray song = midiFile(0, kPpq,
                                         {MidiTrack()
                                              .programChange(0, 0, 0)
                                              .sysex(kPpq / 2, rhythmPart)
                                              .programChange(0, 0, 0)
                                              .noteOn(kPpq / 2, 0, 38, 110)
                                              .noteOff(kPpq, 0, 38)
                                              .endOfTrack(kPpq)});
        const QString path = write("unforeseen.mid", song);
        auto cache = std::make_shared<MidiSynthCache>();
        OpenResult opened = openMidiDecoder(path.toStdString(), cache, m_soundFont.toStdString());
        QVERIFY2(opened.decoder, opened.message.c_str());
        const std::vector<float> audio = render(*opened.decoder, 3 * 22050);
        QCOMPARE(peak(audio, 0, 22050 - 64), 0.0f);
        QVERIFY2(peak(audio, 22050 + 64, 2 * 22050) > 0.01f,
                 qPrintable(QString::number(peak(audio, 22050, 44100))));
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

        OpenResult first = openMidiDecoder(piano.toStdString(), cache, font);
        QVERIFY2(first.decoder, first.message.c_str());
        first.decoder.reset();
        const int loads = cache->soundFontLoads();
        const int subsets = soundFontSubsetsBuilt();

        // The same preset and zone: nothing more is built or read.
        OpenResult second = openMidiDecoder(pianoAgain.toStdString(), cache, font);
        QVERIFY(second.decoder);
        QCOMPARE(cache->soundFontLoads(), loads);
        const std::vector<float> audio = render(*second.decoder, 11025); // once the samples are there
        QCOMPARE(soundFontSubsetsBuilt(), subsets);
        // Key 61 is another note, but the zone that key 60 brought in plays it: nothing is missing.
        QVERIFY(peak(audio, 0, 11025) > 0.01f);
        second.decoder.reset();

        // Another preset: only it is added, on the same synthesiser.
        OpenResult third = openMidiDecoder(organ.toStdString(), cache, font);
        QVERIFY(third.decoder);
        QCOMPARE(cache->soundFontLoads(), loads);
        render(*third.decoder, 64);
        QCOMPARE(soundFontSubsetsBuilt(), subsets + 1);
    }
};

QTEST_GUILESS_MAIN(SoundFontSubsetTest)
#include "SoundFontSubsetTest.moc"
