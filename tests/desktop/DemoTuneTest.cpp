// The demo tune the build composes, as the player treats it: Select's header scan shows its Japanese
// title and a header that describes the file; it plays for 20 to 40 seconds, sounds all through, and
// ends in time so that it loops without a stumble.
#include "media/MidiHeader.h"
#include "sound/decode/Decoder.h"
#include "sound/midi/MidiDecoder.h"
#include "sound/midi/MidiFileParser.h"
#include "sound/midi/MidiSynthCache.h"

#include <QFile>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

using qb::audio::kChannels;
using qb::audio::kEngineRate;

namespace {

std::optional<qb::audio::MidiSequence> parseTune(std::string* why)
{
    QFile file(QStringLiteral(QUILLBEAT_DEMO_TUNE));
    if (!file.open(QIODevice::ReadOnly)) {
        *why = "cannot read the tune";
        return std::nullopt;
    }
    const QByteArray bytes = file.readAll();
    return qb::audio::parseMidiFile(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                              static_cast<std::size_t>(bytes.size())),
                                    why);
}

// The loudest sample of frames [from, to) of interleaved stereo audio.
float peak(const std::vector<float>& audio, std::int64_t from, std::int64_t to)
{
    float p = 0;
    for (std::int64_t f = from; f < to; ++f)
        p = std::max({p, std::fabs(audio[std::size_t(f * kChannels)]),
                      std::fabs(audio[std::size_t(f * kChannels + 1)])});
    return p;
}

} // namespace

class DemoTuneTest : public QObject
{
    Q_OBJECT

private slots:
    void selectShowsItsTitleAndHeader()
    {
        const qb::media::MidiHeaderInfo info = qb::media::ReadMidiHeader(QStringLiteral(QUILLBEAT_DEMO_TUNE));
        QCOMPARE(info.Title, QStringLiteral("はじめのループ"));
        QCOMPARE(info.Format, 1);
        QCOMPARE(info.TrackCount, 6);
        QCOMPARE(info.Division, 480);
        // The header describes the file as the player reads it: its format, and every track it holds.
        std::string why;
        const auto sequence = parseTune(&why);
        QVERIFY2(sequence, why.c_str());
        QCOMPARE(int(info.Format), sequence->format);
        QCOMPARE(int(info.TrackCount), sequence->trackCount);
    }

    void itLoopsInTimeAndSoundsAllThrough()
    {
        std::string why;
        const auto sequence = parseTune(&why);
        QVERIFY2(sequence, why.c_str());
        const std::int64_t length = sequence->lengthFrames;
        QCOMPARE(length, std::int64_t(32) * kEngineRate);

        // Every drum hit lies on one grid, and the grid runs on across the seam: the tune ends a whole
        // number of steps after its first hit, so the next pass comes in time.
        std::vector<std::int64_t> hits;
        for (const qb::audio::MidiEvent& event : sequence->events)
            if (event.kind() == 0x90 && event.channel() == 9 && event.data2 > 0)
                hits.push_back(event.frame);
        hits.erase(std::unique(hits.begin(), hits.end()), hits.end());
        QVERIFY(hits.size() > 16);
        std::int64_t step = length;
        for (std::size_t i = 1; i < hits.size(); ++i)
            step = std::min(step, hits[i] - hits[i - 1]);
        for (std::int64_t hit : hits)
            QVERIFY2((hit - hits.front()) % step == 0, qPrintable(QString::number(hit)));
        QCOMPARE(length - hits.back() + hits.front(), step);

        if (!QFile::exists(qb::audio::kDefaultSoundFont))
            QSKIP("the General MIDI SoundFont is not installed");
        auto opened =
            qb::audio::openMidiDecoder(QUILLBEAT_DEMO_TUNE, std::make_shared<qb::audio::MidiSynthCache>());
        QVERIFY2(opened.decoder, opened.message.c_str());
        qb::audio::Decoder& decoder = *opened.decoder;
        QCOMPARE(decoder.lengthFrames(), length);
        // A pass and the first seconds of the next one, as the loop plays them.
        std::vector<float> audio;
        std::vector<float> chunk(std::size_t(1024) * kChannels);
        const auto read = [&](std::int64_t limit) {
            std::int64_t total = 0;
            while (total < limit) {
                const int got = decoder.read(chunk.data(), int(std::min<std::int64_t>(1024, limit - total)));
                audio.insert(audio.end(), chunk.begin(), chunk.begin() + got * kChannels);
                total += got;
                if (got == 0)
                    break;
            }
            return total;
        };
        const std::int64_t pass = read(2 * length);
        QVERIFY2(std::abs(pass - length) <= 32, qPrintable(QString::number(pass)));
        QVERIFY(decoder.seek(0));
        QCOMPARE(read(2 * kEngineRate), std::int64_t(2) * kEngineRate);

        // It sounds all through, across the seam too: no tenth of a second falls silent.
        const std::int64_t heard = std::int64_t(audio.size()) / kChannels;
        for (std::int64_t from = 0; from + kEngineRate / 10 <= heard; from += kEngineRate / 10) {
            const float level = peak(audio, from, from + kEngineRate / 10);
            QVERIFY2(level > 0.01f,
                     qPrintable(QStringLiteral("%1 s: %2").arg(double(from) / kEngineRate).arg(level)));
        }
    }
};

QTEST_MAIN(DemoTuneTest)
#include "DemoTuneTest.moc"
