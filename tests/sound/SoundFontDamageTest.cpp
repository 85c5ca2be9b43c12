// SoundFonts as a user's disk could hold them, damaged or strange: each one either plays (what of it
// can play) or is refused with the kind of problem it has, without hanging and without allocating what
// its chunks merely claim.
#include "sound/decode/Decoders.h"
#include "sound/midi/MidiDecoder.h"
#include "sound/midi/MidiSynthCache.h"
#include "testkit/AudioFiles.h"
#include "testkit/MidiFiles.h"
#include "testkit/SoundFontFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <cmath>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>

using namespace qb::audio;
using qb::test::FontZone;
using qb::test::SoundFontRecipe;

Q_DECLARE_METATYPE(SoundFontProblem)

namespace {

constexpr qint64 kHuge = qint64{4} << 30; // what a damaged size can claim: 4 GB

void set32(QByteArray& bytes, qsizetype at, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = char((v >> (8 * i)) & 0xFF);
}
void set16(QByteArray& bytes, qsizetype at, int v)
{
    bytes[at] = char(v & 0xFF);
    bytes[at + 1] = char((v >> 8) & 0xFF);
}

QByteArray fontOf(const std::function<void(SoundFontRecipe&)>& change)
{
    SoundFontRecipe recipe = qb::test::smallSoundFontRecipe();
    change(recipe);
    return qb::test::soundFontBytes(recipe);
}

// Peak memory of the process so far, in MB.
double peakMegabytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

} // namespace

class SoundFontDamageTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_song;

    // A font file made by `make` (bytes, then stretched to `size` with a hole when larger).
    QString fontFile(const QString& name, const QByteArray& bytes, qint64 size = 0)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() ||
            (size > bytes.size() && !file.resize(size)))
            return {};
        return path;
    }

    // The font with its RIFF form (and the lists or chunks whose sizes are at `sizesAt`) claiming up
    // to 4 GB, and a file of that size made of the font and a hole of zeros.
    QString claimingFile(const QString& name, QByteArray bytes, const QList<qsizetype>& sizesAt = {})
    {
        set32(bytes, 4, quint32(kHuge - 8));
        for (qsizetype at : sizesAt)
            set32(bytes, at, quint32(kHuge - at - 4));
        return fontFile(name, bytes, kHuge);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // The organ on channel 1, the piano on channel 2 and the kick, together for half a second.
        m_song = m_dir.filePath(QStringLiteral("song.mid"));
        QVERIFY(qb::test::writeBytes(m_song, qb::test::midiFile(0, 480,
                                                                {qb::test::MidiTrack()
                                                                     .programChange(0, 0, 1)
                                                                     .programChange(0, 1, 0)
                                                                     .noteOn(0, 0, 60, 100)
                                                                     .noteOn(0, 1, 60, 100)
                                                                     .noteOn(0, 9, 36, 100)
                                                                     .noteOff(480, 0, 60)
                                                                     .noteOff(0, 1, 60)
                                                                     .noteOff(0, 9, 36)
                                                                     .endOfTrack()})));
    }

    void damagedFontsPlayOrAreRefused_data()
    {
        using P = SoundFontProblem;
        QTest::addColumn<QString>("font");
        QTest::addColumn<SoundFontProblem>("problem"); // None: it plays

        auto row = [](const char* name, const QString& path, P problem) {
            QVERIFY2(!path.isEmpty(), name);
            QTest::newRow(name) << path << problem;
        };

        // Headers that point where they should not: the samples concerned are silent, the rest plays.
        row("sample offsets past the data", fontFile("past.sf2", fontOf([](SoundFontRecipe& s) {
                                                         s.samples[2].start = 10'000'000;
                                                         s.samples[2].end = 10'001'000;
                                                     })),
            P::None);
        row("overlapping samples", fontFile("overlap.sf2", fontOf([](SoundFontRecipe& s) {
                                                s.samples[0].start = 0;
                                                s.samples[0].end = 2000;
                                                s.samples[1].start = 500;
                                                s.samples[1].end = 1500;
                                            })),
            P::None);
        row("zero-length samples", fontFile("empty.sf2", fontOf([](SoundFontRecipe& s) {
                                                s.samples[2].start = 100;
                                                s.samples[2].end = 100;
                                            })),
            P::None);
        row("instrument index out of range",
            fontFile("instrument.sf2", fontOf([](SoundFontRecipe& s) { s.presets[0].zones[0].target = 99; })),
            P::None);
        row("sample index out of range",
            fontFile("sample.sf2", fontOf([](SoundFontRecipe& s) { s.instruments[1].zones[0].target = 99; })),
            P::None);
        // A kind of sample this reader does not know: FluidSynth's own loader plays the font, less it.
        row("a sample of an unknown type",
            fontFile("type.sf2", fontOf([](SoundFontRecipe& s) { s.samples[2].type = 0x20; })), P::None);
        // FluidSynth refuses that font when a preset also reaches a sample it lacks, and leaks as it does.
        row("a sample of an unknown type and a sample index out of range",
            fontFile("type-and-sample.sf2", fontOf([](SoundFontRecipe& s) {
                         s.samples[2].type = 0x20;
                         s.instruments[1].zones[0].target = 99;
                     })),
            P::Rejected);

        // A compressed sample that does not decode: FluidSynth would refuse every sample with it.
        QByteArray undecodable =
            qb::test::soundFontBytes(qb::test::smallSoundFontRecipe(SoundFontRecipe::Kind::Sf3));
        qsizetype organ = -1;
        for (int s = 0; s < 3; ++s)
            organ = undecodable.indexOf("OggS", organ + 1);
        QVERIFY(organ > 0);
        undecodable.replace(organ, 64, QByteArray(64, 'U'));
        row("a compressed sample that does not decode", fontFile("undecodable.sf3", undecodable), P::None);

        // Tables whose order FluidSynth refuses too.
        QByteArray presetBags = fontOf([](SoundFontRecipe&) {});
        set16(presetBags, qb::test::chunkPayload(presetBags, "pbag") + 4, 5); // zone 1 after zone 2
        row("preset bags out of order", fontFile("pbag.sf2", presetBags), P::Rejected);
        QByteArray instrumentBags = fontOf([](SoundFontRecipe&) {});
        set16(instrumentBags, qb::test::chunkPayload(instrumentBags, "ibag") + 4, 8);
        row("instrument bags out of order", fontFile("ibag.sf2", instrumentBags), P::Rejected);
        row("a version to come", fontFile("v4.sf2", fontOf([](SoundFontRecipe& s) { s.versionMajor = 4; })),
            P::Rejected);

        const QByteArray whole = fontOf([](SoundFontRecipe&) {});
        row("truncated", fontFile("truncated.sf2", whole.left(whole.size() - 300)), P::Rejected);
        row("missing", m_dir.filePath(QStringLiteral("none.sf2")), P::Missing);
        row("not a SoundFont", fontFile("text.sf2", "[Settings]\nSoundFont=\n"), P::NotSoundFont);
        const QString folder = m_dir.filePath(QStringLiteral("folder.sf2"));
        QVERIFY(QDir().mkpath(folder));
        row("a directory", folder, P::Unreadable);
        const QString fifo = m_dir.filePath(QStringLiteral("fifo.sf2"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        row("a FIFO", fifo, P::Unreadable);

        // Sizes that claim gigabytes, over a file of that size that is mostly a hole: reading walks no
        // zeros and allocates nothing they claim.
        QByteArray headerOnly("RIFF\0\0\0\0sfbk", 12);
        row("a header and 4 GB of zeros", claimingFile("zeros.sf2", headerOnly), P::Rejected);
        row("a font and 4 GB of zeros after it", claimingFile("after.sf2", whole), P::None);
        const qsizetype pdtaSize = qb::test::chunkPayload(whole, "pdta") - 8;
        row("a pdta list claiming 4 GB", claimingFile("pdta.sf2", whole, {pdtaSize}), P::None);
        row("a preset table claiming 4 GB",
            claimingFile("phdr.sf2", whole, {pdtaSize, qb::test::chunkPayload(whole, "phdr") - 4}),
            P::Rejected);

        // What costs time or memory in proportion to what the tables say.
        row("thousands of zones", fontFile("zones.sf2", fontOf([](SoundFontRecipe& s) {
                                               s.instruments[1].zones.clear();
                                               s.presets[1].zones.clear();
                                               for (int z = 0; z < 20000; ++z) {
                                                   s.instruments[1].zones.push_back({z % 128, z % 128, 2});
                                                   s.presets[1].zones.push_back({z % 128, z % 128, 1});
                                               }
                                           })),
            P::None);
        row("a thousand overlapping 4 MB samples",
            fontFile("samples.sf2", fontOf([](SoundFontRecipe& s) {
                         qb::test::FontSample big{"big", {}, 0, 1000};
                         big.points.assign(2 << 20, 4000);
                         s.samples.push_back(big);
                         const int first = int(s.samples.size());
                         s.instruments[1].zones.clear();
                         for (int n = 0; n < 1000; ++n) {
                             qb::test::FontSample copy{"copy", {}, 0, 1000};
                             copy.start = 5 * 1046;
                             copy.end = 5 * 1046 + (2 << 20);
                             s.samples.push_back(copy);
                             s.instruments[1].zones.push_back({0, 127, first + n});
                         }
                     })),
            P::None);
    }

    void damagedFontsPlayOrAreRefused()
    {
        QFETCH(QString, font);
        QFETCH(SoundFontProblem, problem);
        const double before = peakMegabytes();
        OpenResult opened =
            openMidiDecoder(m_song.toStdString(), std::make_shared<MidiSynthCache>(), font.toStdString());
        if (problem != SoundFontProblem::None) {
            QVERIFY(!opened.decoder);
            QCOMPARE(opened.error, OpenError::SoundFontMissing);
            QCOMPARE(opened.soundFontProblem, problem);
        } else {
            QVERIFY2(opened.decoder, opened.message.c_str());
            std::vector<float> audio(2 * 11025);
            QCOMPARE(opened.decoder->read(audio.data(), 11025), 11025);
            float peak = 0;
            for (float v : audio)
                peak = std::max(peak, std::fabs(v));
            QVERIFY2(peak > 0.01f, "what can play of the font sounds");
        }
        opened.decoder.reset();
        QVERIFY2(peakMegabytes() - before < 200,
                 qPrintable(QStringLiteral("peak memory grew by %1 MB").arg(peakMegabytes() - before)));
    }

    // A font that grows while it is read (a download, a copy in progress) is read as it was when
    // opened.
    void aFontThatGrowsWhileReadPlays()
    {
        const QString path = fontFile("growing.sf2", fontOf([](SoundFontRecipe&) {}));
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            QFile file(path);
            if (!file.open(QIODevice::Append))
                return;
            const QByteArray block(1 << 16, '\x55');
            while (!stop && file.size() < (qint64{256} << 20)) {
                file.write(block);
                file.flush();
            }
        });
        OpenResult opened =
            openMidiDecoder(m_song.toStdString(), std::make_shared<MidiSynthCache>(), path.toStdString());
        stop = true;
        writer.join();
        QVERIFY2(opened.decoder, opened.message.c_str());
        std::vector<float> audio(2 * 4410);
        QCOMPARE(opened.decoder->read(audio.data(), 4410), 4410);
    }
};

QTEST_GUILESS_MAIN(SoundFontDamageTest)
#include "SoundFontDamageTest.moc"
