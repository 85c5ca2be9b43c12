#include "sound/midi/MidiFileParser.h"

#include "testkit/MidiFiles.h"

#include <QRandomGenerator>
#include <QTest>

using qb::test::midiChunk;
using qb::test::midiFile;
using qb::test::midiHeader;
using qb::test::MidiTrack;

namespace {

std::span<const std::uint8_t> asBytes(const QByteArray& data)
{
    return {reinterpret_cast<const std::uint8_t*>(data.constData()), static_cast<std::size_t>(data.size())};
}

// 480 ticks per quarter at the default 120 beats per minute: 480 ticks are half a second.
constexpr int kPpq = 480;
constexpr qint64 kHalfSecond = 22050;

QByteArray oneNote()
{
    return midiFile(0, kPpq, {MidiTrack().noteOn(0, 0, 60, 100).noteOff(480, 0, 60).endOfTrack()});
}

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(static_cast<char>(v));
    return out;
}

} // namespace

class MidiFileParserTest : public QObject
{
    Q_OBJECT

private slots:
    void parses_data();
    void parses();
    void rejects_data();
    void rejects();
    void mergesTracksInTimeOrder();
    void keepsSysexBodies();
    void survivesRandomDamage();
    void holdsEachEventCompactly();
    void collapsesResetsOnOneFrame();
    void takesAsManyEventsAsTheMemoryLimitAllows();
    void readsTheLoopMarks_data();
    void readsTheLoopMarks();
};

void MidiFileParserTest::parses_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("tracks");
    QTest::addColumn<int>("events");       // channel and system-exclusive events kept
    QTest::addColumn<qint64>("lastEvent"); // frame of the last event kept
    QTest::addColumn<qint64>("length");

    QTest::newRow("format 0") << oneNote() << 0 << 1 << 2 << kHalfSecond << kHalfSecond;

    QTest::newRow("format 1, tempo in the first track")
        << midiFile(
               1, kPpq,
               {MidiTrack().trackName(0, "tempo").tempo(0, 250000).endOfTrack(),
                MidiTrack().programChange(0, 1, 19).noteOn(0, 1, 60, 100).noteOff(960, 1, 60).endOfTrack()})
        << 1 << 2 << 3 << kHalfSecond << kHalfSecond;

    QTest::newRow("format 2 tracks play together")
        << midiFile(2, kPpq,
                    {MidiTrack().noteOn(0, 0, 60, 100).noteOff(480, 0, 60).endOfTrack(),
                     MidiTrack().noteOn(0, 1, 64, 100).noteOff(960, 1, 64).endOfTrack()})
        << 2 << 2 << 4 << 2 * kHalfSecond << 2 * kHalfSecond;

    QTest::newRow("running status") << midiFile(0, kPpq,
                                                {MidiTrack()
                                                     .event(0, bytes({0x90, 60, 100}))
                                                     .event(240, bytes({64, 100}))
                                                     .event(240, bytes({60, 0}))
                                                     .event(0, bytes({64, 0}))
                                                     .endOfTrack()})
                                    << 0 << 1 << 4 << kHalfSecond << kHalfSecond;

    // Half a second at 120 bpm, then 480 ticks at 60 bpm: one second more.
    QTest::newRow("tempo change mid-song") << midiFile(0, kPpq,
                                                       {MidiTrack()
                                                            .tempo(0, 500000)
                                                            .noteOn(0, 0, 60, 100)
                                                            .tempo(480, 1000000)
                                                            .noteOff(240, 0, 60)
                                                            .endOfTrack(240)})
                                           << 0 << 1 << 2 << 2 * kHalfSecond << 3 * kHalfSecond;

    QTest::newRow("end of track later than the last note")
        << midiFile(0, kPpq, {MidiTrack().noteOn(0, 0, 60, 100).noteOff(480, 0, 60).endOfTrack(4800)}) << 0
        << 1 << 2 << kHalfSecond << 11 * kHalfSecond;

    QTest::newRow("system exclusive") << midiFile(0, kPpq,
                                                  {MidiTrack()
                                                       .sysex(0, bytes({0x7E, 0x7F, 0x09, 0x01, 0xF7}))
                                                       .noteOn(0, 0, 60, 100)
                                                       .noteOff(480, 0, 60)
                                                       .endOfTrack()})
                                      << 0 << 1 << 3 << kHalfSecond << kHalfSecond;

    QTest::newRow("sysex continuation packets are skipped")
        << midiFile(0, kPpq,
                    {MidiTrack()
                         .event(0, bytes({0xF7, 2, 0x43, 0x10}))
                         .noteOn(0, 0, 60, 100)
                         .noteOff(480, 0, 60)
                         .endOfTrack()})
        << 0 << 1 << 2 << kHalfSecond << kHalfSecond;

    // 25 frames per second x 40 ticks per frame: 1000 ticks a second, tempo events do not apply.
    QTest::newRow("SMPTE division")
        << midiFile(0, 0xE728,
                    {MidiTrack().tempo(0, 250000).noteOn(0, 0, 60, 100).noteOff(500, 0, 60).endOfTrack(500)})
        << 0 << 1 << 2 << kHalfSecond << 2 * kHalfSecond;

    QTest::newRow("missing end of track")
        << midiFile(0, kPpq, {MidiTrack().noteOn(0, 0, 60, 100).noteOff(480, 0, 60)}) << 0 << 1 << 2
        << kHalfSecond << kHalfSecond;

    QByteArray truncated = oneNote();
    truncated.chop(5); // end of track and half of the note-off
    QTest::newRow("truncated chunk") << truncated << 0 << 1 << 1 << qint64(0) << qint64(0);

    QByteArray pastEnd = midiHeader(0, 1, kPpq) + QByteArray("MTrk") + bytes({0x00, 0x10, 0x00, 0x00}) +
                         MidiTrack().noteOn(0, 0, 60, 100).noteOff(480, 0, 60).bytes();
    QTest::newRow("chunk length past the end") << pastEnd << 0 << 1 << 2 << kHalfSecond << kHalfSecond;

    QTest::newRow("garbage between chunks")
        << midiHeader(1, 2, kPpq) + midiChunk("MTrk", MidiTrack().tempo(0, 500000).endOfTrack().bytes()) +
               bytes({0x00, 0xFF, 0x13, 0x80, 0x00, 0x00, 0x00, 0x07, 0xE5}) +
               midiChunk("MTrk", MidiTrack().noteOn(0, 0, 60, 100).noteOff(480, 0, 60).endOfTrack().bytes())
        << 1 << 2 << 2 << kHalfSecond << kHalfSecond;

    QTest::newRow("unknown chunk skipped")
        << midiHeader(0, 1, kPpq) + midiChunk("XFIH", "MTrk is not here either") +
               midiChunk("MTrk", MidiTrack().noteOn(0, 0, 60, 100).noteOff(480, 0, 60).endOfTrack().bytes())
        << 0 << 1 << 2 << kHalfSecond << kHalfSecond;

    QTest::newRow("track length shorter than its events")
        << midiHeader(0, 1, kPpq) + QByteArray("MTrk") + bytes({0, 0, 0, 4}) +
               MidiTrack().noteOn(0, 0, 60, 100).noteOff(480, 0, 60).endOfTrack().bytes()
        << 0 << 1 << 1 << qint64(0) << qint64(0);

    QTest::newRow("data byte where a status belongs stops the track")
        << midiFile(0, kPpq,
                    {MidiTrack().noteOn(0, 0, 60, 100).event(480, bytes({0x80, 0x90, 0x00})).endOfTrack()})
        << 0 << 1 << 1 << qint64(0) << qint64(0);

    QTest::newRow("longer header chunk")
        << midiChunk("MThd", bytes({0, 0, 0, 1, kPpq >> 8, kPpq & 0xFF, 0, 0})) +
               midiChunk("MTrk", MidiTrack().noteOn(0, 0, 60, 100).noteOff(480, 0, 60).endOfTrack().bytes())
        << 0 << 1 << 2 << kHalfSecond << kHalfSecond;

    QTest::newRow("RIFF MIDI") << qb::test::riffMidi(oneNote()) << 0 << 1 << 2 << kHalfSecond << kHalfSecond;

    QByteArray odd = midiFile(0, kPpq, {MidiTrack().noteOn(0, 0, 60, 100).noteOff(480, 0, 60).endOfTrack(1)});
    QByteArray riffWithInfo = qb::test::riffMidi(odd);
    riffWithInfo.insert(12, QByteArray("LIST") + bytes({5, 0, 0, 0}) + QByteArray("INFOx") + bytes({0}));
    QTest::newRow("RIFF MIDI with a chunk before the data")
        << riffWithInfo << 0 << 1 << 2 << kHalfSecond << kHalfSecond + 46;

    // 0x0FFFFFFF ticks at 24 per quarter and 120 bpm: about 64 days, far past 32-bit frame counts.
    QTest::newRow("length beyond 32 bits")
        << midiFile(0, 24, {MidiTrack().noteOn(0, 0, 60, 100).noteOff(0x0FFFFFFF, 0, 60).endOfTrack()}) << 0
        << 1 << 2 << qint64(246625074281) << qint64(246625074281);

    // At the slowest tempo and one tick per quarter, 25000 maximal delta times would be 3.6 million
    // years: times are held at a bound that 64-bit frame arithmetic can still add to.
    MidiTrack absurd;
    absurd.tempo(0, 0xFFFFFF);
    for (int i = 0; i < 25000; ++i)
        absurd.noteOff(0x0FFFFFFF, 0, 60);
    QTest::newRow("absurd times are bounded") << midiFile(0, 1, {absurd.endOfTrack()}) << 0 << 1 << 25000
                                              << qint64(4000000000000000000) << qint64(4000000000000000000);
}

void MidiFileParserTest::parses()
{
    QFETCH(QByteArray, file);
    QFETCH(int, format);
    QFETCH(int, tracks);
    QFETCH(int, events);
    QFETCH(qint64, lastEvent);
    QFETCH(qint64, length);

    std::string why;
    const auto sequence = qb::audio::parseMidiFile(asBytes(file), &why);
    QVERIFY2(sequence.has_value(), why.c_str());
    QCOMPARE(sequence->format, format);
    QCOMPARE(sequence->trackCount, tracks);
    QCOMPARE(int(sequence->events.size()), events);
    if (!sequence->events.empty())
        QCOMPARE(qint64(sequence->events.back().frame), lastEvent);
    QCOMPARE(qint64(sequence->lengthFrames), length);
}

void MidiFileParserTest::rejects_data()
{
    QTest::addColumn<QByteArray>("file");

    QTest::newRow("empty") << QByteArray();
    QByteArray random(4096, '\0');
    QRandomGenerator generator(7);
    for (char& c : random)
        c = static_cast<char>(generator.bounded(256));
    QTest::newRow("random bytes") << random;
    QTest::newRow("header only") << midiHeader(0, 1, kPpq);
    QTest::newRow("header cut short") << oneNote().left(10);
    QTest::newRow("header not at the start") << QByteArray("junk") + oneNote();
    QTest::newRow("header chunk too short") << midiChunk("MThd", bytes({0, 0, 0, 1})) + oneNote().mid(14);
    QTest::newRow("division zero") << midiFile(0, 0, {MidiTrack().noteOn(0, 0, 60, 100).endOfTrack()});
    QTest::newRow("SMPTE with 0 ticks per frame") << midiFile(0, 0xE700, {MidiTrack().endOfTrack()});
    QTest::newRow("SMPTE with an unknown rate") << midiFile(0, 0xEC28, {MidiTrack().endOfTrack()});
    QByteArray wave = qb::test::riffMidi(oneNote());
    wave.replace(8, 4, "WAVE");
    QTest::newRow("RIFF of another kind") << wave;
    QByteArray noData = qb::test::riffMidi(oneNote());
    noData.replace(12, 4, "date");
    QTest::newRow("RIFF MIDI without data chunk") << noData;
}

void MidiFileParserTest::rejects()
{
    QFETCH(QByteArray, file);
    std::string why;
    QVERIFY(!qb::audio::parseMidiFile(asBytes(file), &why).has_value());
    QVERIFY(!why.empty());
}

void MidiFileParserTest::mergesTracksInTimeOrder()
{
    const QByteArray file = midiFile(1, kPpq,
                                     {MidiTrack().noteOn(0, 0, 60, 100).noteOff(480, 0, 60).endOfTrack(),
                                      MidiTrack().noteOn(240, 1, 64, 100).noteOff(480, 1, 64).endOfTrack(),
                                      MidiTrack().noteOn(0, 2, 67, 100).noteOff(480, 2, 67).endOfTrack()});
    const auto sequence = qb::audio::parseMidiFile(asBytes(file));
    QVERIFY(sequence.has_value());
    const std::vector<std::pair<int, qint64>> expected = {
        {0x90, 0},           {0x92, 0},           {0x91, kHalfSecond / 2},
        {0x80, kHalfSecond}, {0x82, kHalfSecond}, {0x81, 3 * kHalfSecond / 2}};
    QCOMPARE(sequence->events.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        QCOMPARE(int(sequence->events[i].status), expected[i].first);
        QCOMPARE(qint64(sequence->events[i].frame), expected[i].second);
    }
    QCOMPARE(qint64(sequence->lengthFrames), 3 * kHalfSecond / 2);
}

void MidiFileParserTest::keepsSysexBodies()
{
    const QByteArray file =
        midiFile(0, kPpq,
                 {MidiTrack()
                      .sysex(0, bytes({0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7}))
                      .sysex(10, bytes({0x7E, 0x7F, 0x09, 0x01}))
                      .endOfTrack()});
    const auto sequence = qb::audio::parseMidiFile(asBytes(file));
    QVERIFY(sequence.has_value());
    QCOMPARE(sequence->events.size(), std::size_t(2));
    const auto& gs = sequence->events[0];
    QCOMPARE(int(gs.status), 0xF0);
    QCOMPARE(gs.sysexLength(), 9u); // the closing F7 is not part of the message
    QCOMPARE(int(sequence->sysexData[gs.sysexOffset]), 0x41);
    QCOMPARE(int(sequence->sysexData[gs.sysexOffset + 8]), 0x41);
    const auto& gm = sequence->events[1];
    QCOMPARE(gm.sysexLength(), 4u); // no F7 to strip
    QCOMPARE(int(sequence->sysexData[gm.sysexOffset + 3]), 0x01);
}

// Damage anywhere in a real file: every prefix, and bytes flipped at random, never crash or hang.
void MidiFileParserTest::survivesRandomDamage()
{
    const QByteArray file =
        midiFile(1, kPpq,
                 {MidiTrack().trackName(0, "\x83\x65\x83\x58\x83\x67").tempo(0, 400000).endOfTrack(),
                  MidiTrack()
                      .programChange(0, 0, 48)
                      .controlChange(0, 0, 7, 90)
                      .noteOn(0, 0, 60, 100)
                      .pitchBend(120, 0, 9000)
                      .sysex(0, bytes({0x7E, 0x7F, 0x09, 0x01, 0xF7}))
                      .noteOff(360, 0, 60)
                      .endOfTrack()});
    for (int n = 0; n <= file.size(); ++n)
        (void)qb::audio::parseMidiFile(asBytes(file.left(n)));
    QRandomGenerator generator(12345);
    for (int round = 0; round < 2000; ++round) {
        QByteArray damaged = file;
        const int flips = 1 + generator.bounded(4);
        for (int i = 0; i < flips; ++i)
            damaged[generator.bounded(int(damaged.size()))] = static_cast<char>(generator.bounded(256));
        const auto sequence = qb::audio::parseMidiFile(asBytes(damaged));
        if (sequence) {
            QVERIFY(sequence->lengthFrames >= 0);
            for (const auto& e : sequence->events) {
                QVERIFY(e.frame >= 0 && e.frame <= sequence->lengthFrames);
                QVERIFY(std::size_t(e.sysexOffset) + e.sysexLength() <= sequence->sysexData.size());
            }
        }
    }
}

void MidiFileParserTest::holdsEachEventCompactly()
{
    // Two tracks of 50,000 notes each: what the sequence keeps, reserved capacity included, is the
    // events alone, 16 bytes each, and nothing of the file.
    MidiTrack melody;
    MidiTrack bass;
    for (int i = 0; i < 25000; ++i) {
        melody.noteOn(10, 0, 60 + i % 12, 100).noteOff(10, 0, 60 + i % 12);
        bass.noteOn(20, 1, 36 + i % 12, 100).noteOff(0, 1, 36 + i % 12);
    }
    const auto sequence = qb::audio::parseMidiFile(asBytes(midiFile(1, kPpq, {melody, bass})));
    QVERIFY(sequence.has_value());
    QCOMPARE(int(sequence->events.size()), 100000);
    QCOMPARE(sequence->bytesPerEvent(), 16.0);
}

void MidiFileParserTest::collapsesResetsOnOneFrame()
{
    const QByteArray gsReset = bytes({0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7});
    const QByteArray gmOn = bytes({0x7E, 0x7F, 0x09, 0x01, 0xF7});
    MidiTrack track;
    for (int i = 0; i < 1000; ++i)
        track.sysex(0, i % 2 ? gsReset : gmOn);
    track.controlChange(0, 0, 7, 90).sysex(0, gsReset).sysex(0, gmOn); // a controller between: kept
    track.sysex(480, gsReset).sysex(0, gsReset);
    const auto sequence = qb::audio::parseMidiFile(asBytes(midiFile(0, kPpq, {track.endOfTrack()})));
    QVERIFY(sequence.has_value());
    QCOMPARE(int(sequence->events.size()), 4);
    QCOMPARE(int(sequence->events[0].status), 0xF0);
    QCOMPARE(int(sequence->events[1].status), 0xB0);
    QCOMPARE(int(sequence->events[2].status), 0xF0);
    QCOMPARE(qint64(sequence->events[3].frame), kHalfSecond);
}

void MidiFileParserTest::takesAsManyEventsAsTheMemoryLimitAllows()
{
    // Two tracks of 400,000 notes each (more than the 524,288 events a sequence once held at most), and
    // a system-exclusive message: the limit counts every event of the file and the bodies' bytes.
    auto notes = [](std::size_t count) {
        QByteArray events;
        events.reserve(qsizetype(count) * 3 + 16);
        events.append(bytes({0x00, 0xF0, 0x04, 0x7E, 0x7F, 0x09, 0x01}));
        events.append(bytes({0x00, 0x90, 60, 100}));
        for (std::size_t i = 1; i < count; ++i)
            events.append(bytes({0x00, 60, i % 2 ? 0 : 100})); // running status
        return MidiTrack().raw(events).endOfTrack();
    };
    const QByteArray file = midiFile(1, kPpq, {notes(400000), notes(400000)});
    const std::uint64_t needed = 800002 * 16 + 2 * 4;
    std::string why;
    qb::audio::MidiEventBudget exact{needed};
    const auto sequence = qb::audio::parseMidiFile(asBytes(file), &why, &exact);
    QVERIFY2(sequence.has_value(), why.c_str());
    QCOMPARE(sequence->events.size(), std::size_t(800002));
    QCOMPARE(std::uint64_t(sequence->memoryBytes()), needed);
    QVERIFY(!exact.exceeded);

    qb::audio::MidiEventBudget tight{needed - 1};
    QVERIFY(!qb::audio::parseMidiFile(asBytes(file), &why, &tight));
    QVERIFY(tight.exceeded);
    QCOMPARE(tight.needed, needed);
    QVERIFY2(why.find(std::to_string(needed - 1)) != std::string::npos, why.c_str());
}

QTEST_GUILESS_MAIN(MidiFileParserTest)
#include "MidiFileParserTest.moc"

// Loop marks in frames, through the tempo map: markers (any case) win over control change 111, the
// earliest mark of any track counts, and a loop with no end marker runs to the end of the song.
void MidiFileParserTest::readsTheLoopMarks_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<qint64>("start"); // -1: no loop
    QTest::addColumn<qint64>("end");
    auto song = [](MidiTrack marks) {
        // Two seconds: the tempo halves after the first second (at tick 960), so later ticks last twice.
        MidiTrack notes;
        notes.tempo(0, 500000).noteOn(0, 0, 60, 100).tempo(960, 1000000).noteOff(480, 0, 60).endOfTrack();
        return midiFile(1, kPpq, {notes, marks.endOfTrack()});
    };
    const qint64 second = 2 * kHalfSecond;
    QTest::newRow("none") << song(MidiTrack()) << qint64(-1) << qint64(-1);
    QTest::newRow("control change 111 to the end of the song")
        << song(MidiTrack().controlChange(480, 3, 111, 0).controlChange(240, 0, 111, 0)) << kHalfSecond
        << 2 * second;
    QTest::newRow("markers, after the tempo change")
        << song(MidiTrack().meta(480, 6, "LoopStart").meta(720, 6, "loopend")) << kHalfSecond
        << second + second / 2;
    QTest::newRow("markers win over control change 111")
        << song(MidiTrack().controlChange(0, 0, 111, 0).meta(960, 6, "loopStart")) << second << 2 * second;
    QTest::newRow("an end marker alone is no loop")
        << song(MidiTrack().meta(480, 6, "loopEnd")) << qint64(-1) << qint64(-1);
    QTest::newRow("other markers and texts are not marks")
        << song(MidiTrack().meta(0, 6, "loopStarts").text(10, "loopStart").controlChange(0, 0, 110, 0))
        << qint64(-1) << qint64(-1);
    // Read as the file says; whether they make sense is for whoever plays them.
    QTest::newRow("an end before the start is kept")
        << song(MidiTrack().meta(0, 6, "loopEnd").meta(480, 6, "loopStart")) << kHalfSecond << qint64(0);
}

void MidiFileParserTest::readsTheLoopMarks()
{
    QFETCH(QByteArray, file);
    QFETCH(qint64, start);
    QFETCH(qint64, end);
    std::string why;
    const auto sequence = qb::audio::parseMidiFile(asBytes(file), &why);
    QVERIFY2(sequence.has_value(), why.c_str());
    QCOMPARE(qint64(sequence->loopStartFrame.value_or(-1)), start);
    QCOMPARE(qint64(sequence->loopEndFrame.value_or(-1)), end);
}
