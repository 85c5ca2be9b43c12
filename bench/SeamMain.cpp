// The endless loop measured end to end.
//
//   qb_bench_seam files <dir>
//       writes the loop files (loop.wav, loop.mp3, loop.mid) that every program plays.
//   qb_bench_seam ours <file> <passes> <prefix>
//       plays <file> through the program's own stack for <passes> passes and prints the figures of
//       its seams: the real main window (its Timer1 polling the MCI service on a Qt event loop), the
//       real devices on an audio engine with its feeder thread, and a capture output that consumes
//       audio in real time in periods of 512 frames, as the sound card output does.
//   qb_bench_seam peer <file> <single-pass recording> <looped recording> <prefix>
//       the same analysis of another program's recordings of <file> (WAV or MP3).
//   qb_bench_seam recorded <file> <looped recording> <prefix>
//       the same analysis of a recording of the program playing <file> (through a sound server),
//       against one pass as our decoder produces it; also dropouts inside the passes.
//   qb_bench_seam loop-files <dir>
//       writes the files that mark their own loop (BenchFiles.h) and prints their paths.
//   qb_bench_seam recorded-loop <file> <looped recording> <prefix>
//       the jumps of a recording of the program playing such a file with loop points on.
//   qb_bench_seam peer-midi <looped recording> <prefix>
//       the same analysis of another program's recording of loop.mid.
#include "BenchFiles.h"
#include "BenchWindow.h"
#include "LoopAnalysis.h"
#include "SelectDriver.h"
#include "WavFile.h"
#include "sound/decode/Decoders.h"
#include "sound/engine/AudioEngine.h"
#include "sound/engine/Device.h"
#include "sound/mci/MciService.h"
#include "system/SettingsStore.h"
#include "testkit/AudioFiles.h"
#include "testkit/CaptureOutput.h"
#include "testkit/Fakes.h"
#include "ui/Form1.h"
#include "ui/Timer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>
#include <algorithm>
#include <cstdio>

using namespace qb;

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: qb_bench_seam files <dir> | ours <file> <passes> <prefix> |\n"
                 "       peer <file> <pass.wav> <loop.wav> <prefix> | recorded <file> <loop.wav> <prefix> |\n"
                 "       peer-midi <loop.wav> <prefix> | loop-files <dir> | recorded-loop <file> <loop.wav> "
                 "<prefix>\n");
    return 2;
}

bool isMidi(const QString& path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == QLatin1String("mid") || suffix == QLatin1String("rmi");
}

// One pass as our decoder produces it: the music's true length and samples.
std::vector<float> ourPass(const QString& path)
{
    const std::string p = path.toStdString();
    audio::OpenResult opened = QFileInfo(path).suffix().toLower() == QLatin1String("mp3")
                                   ? audio::openDecoder(p)
                                   : audio::openDecoder(p);
    if (!opened.decoder)
        return {};
    return test::decodePass(*opened.decoder);
}

int runOurs(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QString path = QFileInfo(QString::fromLocal8Bit(argv[2])).absoluteFilePath();
    const int passes = QString::fromLocal8Bit(argv[3]).toInt();
    const QString prefix = QString::fromLocal8Bit(argv[4]);

    auto output = std::make_unique<audio::CaptureOutput>(512, audio::CaptureOutput::Clock::RealTime);
    audio::CaptureOutput* capture = output.get();
    bench::BenchWindow program(std::move(output));
    audio::AudioEngine& engine = program.engine;
    test::RecordingMessageBox& messages = program.messages;
    ui::Form1& form = program.form;

    std::int64_t ticks = 0;
    QObject::connect(form.Timer1, &QTimer::timeout, [&ticks] { ++ticks; });

    bench::SelectDriver& select = program.select;
    select.choose(path);
    const double seconds = static_cast<double>(passes * bench::kSongFrames) / audio::kEngineRate + 0.6;
    QElapsedTimer clock;
    std::int64_t underrunAtStart = 0;
    QTimer::singleShot(200, [&] {
        form.Command3_Click();
        form.Command1_Click();
        clock.start();
        ticks = 0;
        // What went short while the first pass got going, apart from later damage.
        QTimer::singleShot(500, [&] { underrunAtStart = engine.stats().underrunFrames; });
        QTimer::singleShot(static_cast<int>(seconds * 1000), [&] {
            form.Command2_Click();
            app.quit();
        });
    });
    app.exec();

    const double elapsed = static_cast<double>(clock.elapsed()) / 1000.0;
    const auto stats = engine.stats();
    engine.output().stop();
    const std::vector<float> recording = capture->takeCaptured();

    bench::printValue(prefix + QStringLiteral(".timer1_hz"), static_cast<double>(ticks) / elapsed, 0);
    bench::printValue(prefix + QStringLiteral(".underrun_frames"), static_cast<double>(stats.underrunFrames),
                      0);
    bench::printValue(prefix + QStringLiteral(".underrun_first_500ms"), static_cast<double>(underrunAtStart),
                      0);
    bench::printValue(prefix + QStringLiteral(".messages"), static_cast<double>(messages.shown.size()), 0);
    if (isMidi(path)) {
        bench::printMidi(prefix, bench::midiLoopFigures(recording, bench::kSongFrames, bench::kMarkerFrame));
    } else {
        const std::vector<float> reference = ourPass(path);
        bench::printValue(prefix + QStringLiteral(".pass_frames"), static_cast<double>(reference.size() / 2),
                          0);
        bench::printSeam(prefix, bench::seamFigures(recording, reference));
    }
    return 0;
}

int runPeer(char** argv)
{
    const QString path = QString::fromLocal8Bit(argv[2]);
    const QString prefix = QString::fromLocal8Bit(argv[5]);
    QString why;
    const std::vector<float> single = bench::readStereo(QString::fromLocal8Bit(argv[3]), &why);
    const std::vector<float> looped = bench::readStereo(QString::fromLocal8Bit(argv[4]), &why);
    if (single.empty() || looped.empty()) {
        bench::printValue(prefix + QStringLiteral(".locked"), QStringLiteral("no recording: ") + why);
        return 1;
    }
    std::int64_t offset = 0;
    QString note;
    const std::vector<float> reference = bench::peerReference(single, ourPass(path), &offset, &note);
    bench::printValue(prefix + QStringLiteral(".pass_frames"), static_cast<double>(single.size() / 2), 0);
    bench::printValue(prefix + QStringLiteral(".music_offset"), static_cast<double>(offset), 0);
    if (!note.isEmpty())
        bench::printValue(prefix + QStringLiteral(".note"), note);
    bench::printSeam(prefix, bench::seamFigures(looped, reference));
    return 0;
}

// The loop a recording of the program should hold, one pass of it: the whole file as our decoder
// produces it or, with `loopPoints`, the loop the file marks (the introduction before it is skipped by
// the analysis, which locks on the loop's first frame). Empty, with `why`, when there is none.
std::vector<float> expectedLoop(const QString& path, bool loopPoints, QString* why)
{
    if (!loopPoints)
        return ourPass(path);
    audio::OpenResult opened = audio::openDecoder(path.toStdString());
    const std::optional<audio::LoopSpan> marks = opened.decoder ? opened.decoder->loopMarks() : std::nullopt;
    if (!marks) {
        *why = QStringLiteral("no loop marks in ") + path;
        return {};
    }
    const std::vector<float> straight = test::decodePass(*opened.decoder);
    std::vector<float> loop(straight.begin() + 2 * marks->start, straight.begin() + 2 * marks->end);
    for (float& sample : loop) // as the engine's mix clips it
        sample = std::clamp(sample, -1.0f, 1.0f);
    return loop;
}

// A recording of the program playing <file> (argv[2]): its seams against one pass, or with
// `loopPoints` the jumps of the loop the file marks; MIDI by the wood block that marks each pass.
int runRecorded(char** argv, bool loopPoints)
{
    const QString path = QString::fromLocal8Bit(argv[2]);
    const QString prefix = QString::fromLocal8Bit(argv[4]);
    QString why;
    int rate = 0;
    const std::vector<float> looped = bench::readStereo(QString::fromLocal8Bit(argv[3]), &why, &rate);
    if (looped.empty() || rate != audio::kEngineRate) {
        bench::printValue(prefix + QStringLiteral(".locked"), QStringLiteral("no recording: ") + why);
        return 1;
    }
    if (isMidi(path)) {
        bench::printMidi(prefix, bench::midiLoopFigures(looped, bench::kSongFrames, bench::kMarkerFrame));
        return 0;
    }
    const std::vector<float> reference = expectedLoop(path, loopPoints, &why);
    if (reference.empty()) {
        bench::printValue(prefix + QStringLiteral(".locked"), why);
        return 1;
    }
    bench::printValue(prefix + QStringLiteral(".pass_frames"), static_cast<double>(reference.size() / 2), 0);
    // The server mixes in float: a single stream at full volume comes out as it went in. A lossy
    // file's frames come back from the seek at a jump as they do straight through, to the decoder's
    // rounding.
    const QString suffix = QFileInfo(path).suffix().toLower();
    const bool lossy = loopPoints && (suffix == QLatin1String("ogg") || suffix == QLatin1String("opus"));
    bench::printSeam(prefix, bench::seamFigures(looped, reference, lossy ? 1e-4f : 1e-5f));
    return 0;
}

int runPeerMidi(char** argv)
{
    const QString prefix = QString::fromLocal8Bit(argv[3]);
    QString why;
    int rate = 0;
    const std::vector<float> looped = bench::readStereo(QString::fromLocal8Bit(argv[2]), &why, &rate);
    if (looped.empty() || rate != audio::kEngineRate) {
        bench::printValue(prefix + QStringLiteral(".ok"), QStringLiteral("no: no usable recording ") + why);
        return 1;
    }
    bench::printMidi(prefix, bench::midiLoopFigures(looped, bench::kSongFrames, bench::kMarkerFrame));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (mode == QLatin1String("files") && argc == 3) {
        bench::LoopFiles files;
        if (!bench::writeLoopFiles(QString::fromLocal8Bit(argv[2]), &files))
            return 1;
        std::printf("%s\n%s\n%s\n", qPrintable(files.wav), qPrintable(files.mp3), qPrintable(files.midi));
        return 0;
    }
    if (mode == QLatin1String("loop-files") && argc == 3) {
        bench::LoopPointFiles files;
        if (!bench::writeLoopPointFiles(QString::fromLocal8Bit(argv[2]), &files))
            return 1;
        for (const QString& file : {files.wav, files.flac, files.ogg, files.opus, files.midi})
            std::printf("%s\n", qPrintable(file));
        return 0;
    }
    if (mode == QLatin1String("recorded-loop") && argc == 5)
        return runRecorded(argv, true);
    if (mode == QLatin1String("ours") && argc == 5)
        return runOurs(argc, argv);
    if (mode == QLatin1String("peer") && argc == 6)
        return runPeer(argv);
    if (mode == QLatin1String("recorded") && argc == 5)
        return runRecorded(argv, false);
    if (mode == QLatin1String("peer-midi") && argc == 4)
        return runPeerMidi(argv);
    return usage();
}
