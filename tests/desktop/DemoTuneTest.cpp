// The demo tune the build composes: a MIDI file whose header shows its Japanese title, 20 to 40
// seconds long, that ends on a whole bar so that it loops in time.
#include "media/MidiHeader.h"
#include "sound/decode/Decoder.h"
#include "sound/midi/MidiFileParser.h"

#include <QFile>
#include <QTest>

class DemoTuneTest : public QObject
{
    Q_OBJECT

private slots:
    void theHeaderShowsTheJapaneseTitle()
    {
        const qb::media::MidiHeaderInfo info = qb::media::ReadMidiHeader(QStringLiteral(QUILLBEAT_DEMO_TUNE));
        QCOMPARE(info.Title, QStringLiteral("はじめのループ"));
        QCOMPARE(info.Format, 1);
        QCOMPARE(info.TrackCount, 6);
        QCOMPARE(info.Division, 480);
    }

    void itLastsSixteenBarsOfTwoSeconds()
    {
        QFile file(QStringLiteral(QUILLBEAT_DEMO_TUNE));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        std::string why;
        const auto sequence =
            qb::audio::parseMidiFile(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                               static_cast<std::size_t>(bytes.size())),
                                     &why);
        QVERIFY2(sequence, why.c_str());
        QCOMPARE(sequence->lengthFrames, std::int64_t(32) * qb::audio::kEngineRate);
    }
};

QTEST_MAIN(DemoTuneTest)
#include "DemoTuneTest.moc"
