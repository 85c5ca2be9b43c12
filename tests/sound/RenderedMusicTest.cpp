// Music a library renders, through the MCI service and the engine onto a capture output: tracker
// modules run into their restart position frame for frame as libopenmpt renders them straight through,
// game-music tunes keep their own loop, tracks are chosen, titles told, and damaged files refused. And
// the decoders' own seeks and places, which the engine relies on.
#include "sound/MciErrors.h"
#include "sound/decode/Decoders.h"
#include "sound/engine/AudioEngine.h"
#include "sound/mci/MciService.h"
#include "support/CapturedMci.h"
#include "testkit/AudioFiles.h"
#include "testkit/CaptureOutput.h"
#include "testkit/Fakes.h"
#include "testkit/RenderedMusicFiles.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

using namespace qb;
using namespace qb::mci;

namespace {

constexpr int kRate = audio::kEngineRate;

std::vector<float> straightRender(const QByteArray& module, std::int64_t frames)
{
    return test::moduleRender(module, kRate, frames);
}

std::int64_t onsetAfter(const std::vector<float>& audio, std::int64_t from, float level = 0.05f,
                        std::int64_t quiet = 2000)
{
    return test::burstOnset(audio, 2, from, level, quiet);
}

double frequencyAt(const std::vector<float>& audio, std::int64_t from, std::int64_t frames)
{
    return test::toneHz(audio, 2, kRate, from, frames);
}

} // namespace

class RenderedMusicTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    test::CapturedMci m_service;
    audio::CaptureOutput* m_capture = nullptr;
    int m_track = 0;

    MCIERROR send(const QString& command) { return m_service.send(command); }
    QString ask(const QString& command) { return m_service.ask(command); }
    QString write(const QString& name, const QByteArray& bytes)
    {
        const QString path = m_dir.filePath(name);
        return test::writeBytes(path, bytes) ? path : QString();
    }
    // Plays `path` from its start and records `frames` frames of what the output took.
    std::vector<float> play(const QString& path, std::int64_t frames)
    {
        if (send("open " + path + " alias midi") != 0 || send(QStringLiteral("play midi")) != 0)
            return {};
        m_capture->advance(static_cast<int>(frames));
        std::vector<float> heard = m_capture->takeCaptured();
        heard.resize(std::min(heard.size(), static_cast<std::size_t>(frames) * 2));
        return heard;
    }

private slots:
    void init()
    {
        m_track = 0;
        MciService::Options options;
        options.trackWanted = [this](const std::string&) { return m_track; };
        m_service.make(options);
        m_capture = m_service.capture;
    }
    void cleanup() { m_service.reset(); }

    // A module whose last pattern jumps back to its second: every frame of four passes is the frame
    // libopenmpt renders straight through, so nothing is added or lost at any jump; a pass is one
    // run up to the jump, and the position folds back into the part that repeats.
    void aModuleRunsIntoItsRestartPositionFrameForFrame_data()
    {
        QTest::addColumn<bool>("jumpBack");
        QTest::newRow("jumping back to its second pattern") << true;
        QTest::newRow("that simply ends") << false;
    }
    void aModuleRunsIntoItsRestartPositionFrameForFrame()
    {
        QFETCH(bool, jumpBack);
        const QByteArray module = test::modFile(test::jumpingModule(jumpBack));
        const QString path = write(QStringLiteral("song.mod"), module);
        const std::int64_t pass = 3 * test::kJumpingModulePatternFrames;
        const std::int64_t frames = pass + 4 * (pass - test::kJumpingModulePatternFrames);
        const std::vector<float> heard = play(path, frames);
        const std::vector<float> straight = straightRender(module, frames);
        QCOMPARE(heard.size(), static_cast<std::size_t>(frames) * 2);
        QCOMPARE(straight.size(), heard.size());
        for (std::size_t i = 0; i < heard.size(); ++i) {
            if (heard[i] != straight[i])
                QFAIL(qPrintable(QStringLiteral("frame %1 differs from the straight render").arg(i / 2)));
        }
        QVERIFY(onsetAfter(heard, 0, 0.01f, 0) >= 0);
        QCOMPARE(ask(QStringLiteral("status midi mode")), QStringLiteral("playing"));
        QCOMPARE(ask(QStringLiteral("status midi length")).toLongLong(), pass * 1000 / kRate);
        const qint64 position = ask(QStringLiteral("status midi position")).toLongLong();
        QVERIFY2(position < pass * 1000 / kRate, qPrintable(QString::number(position)));
        QCOMPARE(ask(QStringLiteral("info midi title")), QStringLiteral("Quillbeat jump"));
    }

    // A VGM tune with a loop offset plays its introduction once and its loop for ever: each repeat
    // starts one loop after the one before, to the frame, as loud as the first time (no fade). (libgme
    // times the chip's clock to one part in 2,000, so a loop of 22,050 samples lasts 22,039.5 frames:
    // the repeats alternate between 22,039 and 22,040 frames, with no frame added or lost at the jump.)
    void aTuneKeepsItsOwnLoopExactlyAndNeverFades()
    {
        const QString path = write(QStringLiteral("tune.vgm"), test::vgmFile(test::loopingTune()));
        const std::int64_t intro = test::kLoopingTuneIntroFrames;
        const std::int64_t loop = test::kLoopingTuneLoopFrames;
        const int passes = 8;
        const std::vector<float> heard = play(path, intro + passes * loop);
        QCOMPARE(ask(QStringLiteral("status midi length")).toLongLong(), (intro + loop) * 1000 / kRate);
        QCOMPARE(ask(QStringLiteral("info midi title")), QStringLiteral("Quillbeat loop"));
        // Every burst's onset: the introduction's, then the loop's two in each repeat.
        std::vector<std::int64_t> bursts{onsetAfter(heard, 0, 0.05f, 0)};
        while (bursts.back() >= 0)
            bursts.push_back(onsetAfter(heard, bursts.back() + 100));
        bursts.pop_back();
        QVERIFY(bursts.size() >= static_cast<std::size_t>(2 * passes - 1));
        std::vector<std::int64_t> onsets; // each repeat's first burst
        for (std::size_t i = 1; i + 1 < bursts.size(); i += 2)
            onsets.push_back(bursts[i]);
        QVERIFY(std::llabs(onsets.front() - intro) < 100);
        const double period =
            static_cast<double>(onsets.back() - onsets.front()) / static_cast<double>(onsets.size() - 1);
        QVERIFY2(std::fabs(period - static_cast<double>(loop)) < 0.001 * static_cast<double>(loop),
                 qPrintable(QString::number(period)));
        const auto levelFrom = [&heard](std::int64_t onset) {
            double sum = 0;
            for (std::int64_t f = onset; f < onset + 4000; ++f)
                sum += static_cast<double>(heard[static_cast<std::size_t>(f * 2)]) *
                       heard[static_cast<std::size_t>(f * 2)];
            return std::sqrt(sum / 4000);
        };
        const double firstHz = frequencyAt(heard, onsets.front() + 100, 4000);
        for (int n = 1; n < static_cast<int>(onsets.size()); ++n) {
            const double expected = static_cast<double>(onsets.front()) + n * period;
            QVERIFY2(std::fabs(static_cast<double>(onsets[static_cast<std::size_t>(n)]) - expected) <= 1.0,
                     qPrintable(QStringLiteral("repeat %1 starts at %2")
                                    .arg(n)
                                    .arg(onsets[static_cast<std::size_t>(n)])));
            QVERIFY(std::fabs(frequencyAt(heard, onsets[static_cast<std::size_t>(n)] + 100, 4000) - firstHz) <
                    10.0);
            const double level = levelFrom(onsets[static_cast<std::size_t>(n)]);
            QVERIFY2(std::fabs(level - levelFrom(onsets.front())) < 0.02 * levelFrom(onsets.front()),
                     qPrintable(QStringLiteral("%1 against %2").arg(level).arg(levelFrom(onsets.front()))));
        }
    }

    // A tune that states no loop ends its pass where its data ends, and the loop starts it again.
    void aTuneWithoutALoopLoopsWhole()
    {
        const QString path = write(QStringLiteral("once.vgm"), test::vgmFile(test::loopingTune(false)));
        QCOMPARE(send("open " + path + " alias midi"), MCIERROR(0));
        QCOMPARE(send(QStringLiteral("play midi")), MCIERROR(0));
        for (int i = 0; i < 200 && ask(QStringLiteral("status midi mode")) == QLatin1String("playing"); ++i)
            m_capture->advance(kRate / 10);
        QCOMPARE(ask(QStringLiteral("status midi mode")), QStringLiteral("stopped"));
        QCOMPARE(send(QStringLiteral("seek midi to start")), MCIERROR(0));
        QCOMPARE(send(QStringLiteral("play midi")), MCIERROR(0));
        m_capture->advance(2 * kRate);
        const std::vector<float> heard = m_capture->takeCaptured();
        // The introduction's 440 Hz twice: once in each pass.
        const std::int64_t first = onsetAfter(heard, 0, 0.05f, 0);
        const std::int64_t second =
            onsetAfter(heard, first + test::kLoopingTuneIntroFrames + test::kLoopingTuneLoopFrames - 1000);
        QVERIFY(first >= 0 && second > first);
        QVERIFY(std::fabs(frequencyAt(heard, second + 100, 4000) - 440.0) < 10.0);
    }

    // A seek lands on the frame asked, between two rows too (libopenmpt itself lands on the later one,
    // and from inside the last row on the end of the song), and plays on frame for frame as the module
    // straight through. Once a whole repeat has played the part that repeats is known to the frame, and
    // a place past the pass folds into it: it plays as the song first played that place (libopenmpt
    // seeks by time, and sets a note that rang on into it sounding to within its rounding), so a note
    // that rings across the jump sounds as the one that rang there from the introduction.
    void aModuleSeeksToTheFrameAskedAndFoldsPlacesPastItsPass()
    {
        const QByteArray module = test::modFile(test::jumpingModule());
        const std::int64_t intro = test::kJumpingModulePatternFrames;
        const std::int64_t pass = 3 * intro;
        const std::int64_t loop = pass - intro;
        const std::vector<float> straight = straightRender(module, pass + 4 * loop);
        audio::OpenResult opened =
            audio::openDecoder(write(QStringLiteral("seek.mod"), module).toStdString());
        QVERIFY(opened.decoder);
        audio::Decoder& decoder = *opened.decoder;
        std::vector<float> heard(std::size_t{4096} * 2);
        const auto playsOnAsStraight = [&](std::int64_t from, float tolerance = 0.0f) {
            if (decoder.read(heard.data(), 4096) != 4096)
                return false;
            return std::equal(heard.begin(), heard.end(), straight.begin() + from * 2,
                              [tolerance](float a, float b) { return std::fabs(a - b) <= tolerance; });
        };
        QVERIFY(playsOnAsStraight(0));
        for (const std::int64_t frame : {std::int64_t{30000}, pass - 500}) {
            QVERIFY(decoder.seek(frame));
            QCOMPARE(decoder.positionFrames(), frame);
            QVERIFY2(playsOnAsStraight(frame), qPrintable(QStringLiteral("from %1").arg(frame)));
        }
        // Across the end and on through a whole repeat, to the next end.
        for (std::int64_t read = 0; read < loop; read += 4096)
            QVERIFY(decoder.read(heard.data(), 4096) == 4096);
        QCOMPARE(decoder.lengthFrames(), pass);
        QCOMPARE(decoder.foldPosition(pass), intro);
        for (const std::int64_t frame : {pass + 10000, pass + 3 * loop + 777}) {
            QVERIFY(decoder.seek(frame));
            QCOMPARE(decoder.foldPosition(decoder.positionFrames()), intro + (frame - intro) % loop);
            QVERIFY2(playsOnAsStraight(intro + (frame - intro) % loop, 1e-4f),
                     qPrintable(QStringLiteral("from %1").arg(frame)));
        }
    }

    // A module's title may begin with what reads as an MPEG audio frame's header (a ProTracker module
    // names itself only at byte 1080): named as an MP3, it still plays as the module it is.
    void aModuleWhoseTitleReadsAsMpegAudioPlaysAsAModule()
    {
        test::ModSong song = test::jumpingModule();
        song.title = QByteArray("\xff\xfb\x90\x64jump");
        const QByteArray module = test::modFile(song);
        const std::vector<float> heard = play(write(QStringLiteral("song.mp3"), module), 4096);
        QCOMPARE(heard, straightRender(module, 4096));
        QCOMPARE(ask(QStringLiteral("status midi length")).toLongLong(),
                 3 * test::kJumpingModulePatternFrames * 1000 / kRate);
    }

    // A tune that states no loop plays until its program ends, which may be past the length its file
    // states (the VGM's emulator runs on a little; an SPC never ends): the place it tells never lies
    // past its length. And an SPC tune seeks, at our rate, right after it starts (libgme 0.6.3 fails an
    // assertion there, which would end the program).
    void aTuneTellsNoPlacePastItsLengthAndAnSpcSeeks()
    {
        audio::OpenResult once = audio::openDecoder(
            write(QStringLiteral("once.vgm"), test::vgmFile(test::loopingTune(false))).toStdString());
        QVERIFY(once.decoder);
        std::vector<float> block(std::size_t{1024} * 2);
        int got = 1024;
        for (int i = 0; i < 200 && got == 1024; ++i) {
            got = once.decoder->read(block.data(), 1024);
            QVERIFY2(once.decoder->positionFrames() <= once.decoder->lengthFrames(),
                     qPrintable(QStringLiteral("%1 of %2")
                                    .arg(once.decoder->positionFrames())
                                    .arg(once.decoder->lengthFrames())));
        }
        QVERIFY(got < 1024);
        QCOMPARE(once.decoder->lengthFrames(), once.decoder->positionFrames());

        audio::OpenResult spc =
            audio::openDecoder(write(QStringLiteral("wait.spc"), test::spcFile()).toStdString());
        QVERIFY(spc.decoder);
        QCOMPARE(QString::fromStdString(spc.decoder->title()), QStringLiteral("Quillbeat SPC"));
        QCOMPARE(spc.decoder->lengthFrames(), 10 * kRate);
        for (const std::int64_t frame : {std::int64_t{kRate}, std::int64_t{20}, 11 * std::int64_t{kRate}}) {
            QVERIFY(spc.decoder->seek(frame));
            QCOMPARE(spc.decoder->read(block.data(), 1024), 1024);
            QCOMPARE(spc.decoder->positionFrames(), frame + 1024);
            QVERIFY(spc.decoder->lengthFrames() >= spc.decoder->positionFrames());
        }
    }

    // The track a request names plays; one the file does not hold is refused.
    void theTrackAskedForPlays()
    {
        const QString path = write(QStringLiteral("game.nsf"), test::nsfFile(3));
        for (int track : {0, 2, 1}) {
            m_track = track;
            const std::vector<float> heard = play(path, kRate / 2);
            QVERIFY2(std::fabs(frequencyAt(heard, kRate / 10, kRate / 4) - test::nsfTrackHz(track)) <
                         0.05 * test::nsfTrackHz(track),
                     qPrintable(QStringLiteral("track %1").arg(track)));
            QCOMPARE(send(QStringLiteral("close midi")), MCIERROR(0));
        }
        m_track = 3;
        QCOMPARE(send("open " + path + " alias midi"), MCIERR_INVALID_FILE);
    }

    void damagedModulesAndTunesAreRefused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray module = test::modFile(test::jumpingModule());
        const QByteArray tune = test::vgmFile(test::loopingTune());
        QTest::newRow("empty module") << QStringLiteral("empty.mod") << QByteArray();
        QTest::newRow("module cut in its header") << QStringLiteral("cut.mod") << module.left(600);
        QTest::newRow("module of random bytes") << QStringLiteral("random.mod") << QByteArray(4000, '\x93');
        // libopenmpt reads its first order, 255, as the end of the song: nothing plays from the start.
        QByteArray endFirst = module;
        endFirst[952] = '\xff';
        QTest::newRow("module that ends before it starts") << QStringLiteral("end.mod") << endFirst;
        QTest::newRow("tune cut in its header") << QStringLiteral("cut.vgm") << tune.left(0x20);
        QByteArray farData = tune;
        farData[0x34] = '\x7f';
        farData[0x35] = '\x7f';
        QTest::newRow("tune whose data lies past its end") << QStringLiteral("far.vgm") << farData;
        // libgme fails an assertion on the first samples of such a tune, which would end the program.
        QByteArray fastChip = tune;
        fastChip[0x0e] = '\x31'; // the SN76489 clock: 3,579,545 Hz becomes 20,029,081
        fastChip[0x0f] = '\x01';
        QTest::newRow("tune of a chip clocked at 20 MHz") << QStringLiteral("fast.vgm") << fastChip;
        QTest::newRow("the same gzipped") << QStringLiteral("fast.vgz") << test::gzipped(fastChip);
        QTest::newRow("gzip of nothing")
            << QStringLiteral("junk.vgz") << QByteArray("\x1f\x8b\x08\x00junkjunk", 12);
        // libgme never comes back from playing a loop without a wait: it would hang the player.
        test::VgmSong waitless = test::loopingTune();
        waitless.steps.push_back({880.0, 0});
        waitless.loopFrom = static_cast<int>(waitless.steps.size()) - 1;
        QTest::newRow("tune whose loop takes no time")
            << QStringLiteral("waitless.vgm") << test::vgmFile(waitless);
        // Its init code and the vectors it runs into are zeros: libgme's emulator crashes on it.
        QTest::newRow("HES of nothing but zeros")
            << QStringLiteral("zeros.hes") << QByteArray("HESM").append(0x3c, '\0');
        QTest::newRow("NSF without its code") << QStringLiteral("bare.nsf") << test::nsfFile(2).left(0x80);
    }
    void damagedModulesAndTunesAreRefused()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        const QString path = write(name, bytes);
        QCOMPARE(send("open " + path + " alias midi"), MCIERR_INVALID_FILE);
        QVERIFY(m_service.box.shown.empty());
    }
};

QTEST_GUILESS_MAIN(RenderedMusicTest)
#include "RenderedMusicTest.moc"
