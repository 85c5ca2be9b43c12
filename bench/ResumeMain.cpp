// Stop and Play again, and the start of a program, as heard at a sound server's sink.
//
//   qb_bench_resume resume <dir> <monitor source> [<runs>]
//       the audio engine on the output the program chooses (a PulseAudio-compatible server), for a WAV
//       and an MP3 of noise and a legato organ song whose notes change every beat: Play, 1.5 s, Stop,
//       0.7 s, Play, 1.5 s, Stop, recorded from <monitor source> (the monitor of the sink it plays on).
//       Per format and run: Play to first sound and Play-again to first sound (ms), the first frame
//       heard after Play-again against the frame after the last one heard before Stop (frames of the
//       file skipped, + or repeated, -), and any break in the music after Play-again (frames).
//   qb_bench_resume files <dir>
//       writes what the runs play: resume.wav, resume.mp3, resume.mid (above) and start.mid, a piano
//       note from the first tick (so that a program's start to sound is the program's own delay).
//   qb_bench_resume start-to-sound <monitor source> <label> <runs> <program> [<argument>...]
//       starts <program> <runs> times and measures from its start to the first sound that leaves the
//       sink (ms); the program is ended after each run, at once or, with BENCH_HOLD_MS in the
//       environment, that many ms after its first sound (so that what it reports while it starts, such
//       as underflows of its stream on standard error, is all there). A program with no sound after
//       BENCH_WAIT_MS (10000) counts as -1.
#include "LoopAnalysis.h"
#include "MonitorRecorder.h"
#include "sound/decode/Decoders.h"
#include "sound/engine/AudioEngine.h"
#include "sound/engine/Device.h"
#include "sound/midi/MidiDecoder.h"
#include "sound/midi/MidiSynthCache.h"
#include "sound/output/Outputs.h"
#include "testkit/AudioFiles.h"
#include "testkit/AudioSeamAnalyser.h"
#include "testkit/MidiFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QString>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace qb;
using Clock = std::chrono::steady_clock;

namespace {

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Waits until the recording runs (an idle null sink may deliver nothing for a second or two).
bool recording(const bench::MonitorRecorder& recorder)
{
    const auto began = Clock::now();
    while (recorder.recordedMs() < 500 && msBetween(began, Clock::now()) < 10000)
        sleepMs(10);
    return recorder.recordedMs() >= 500;
}

// The first sound after `from`, in ms from it; -1 when none came within three seconds.
double firstSoundMs(const bench::MonitorRecorder& recorder, Clock::time_point from)
{
    Clock::time_point at;
    while (!recorder.firstSoundAfter(from, &at) && msBetween(from, Clock::now()) < 3000)
        sleepMs(1);
    return recorder.firstSoundAfter(from, &at) ? msBetween(from, at) : -1;
}

// An organ playing legato, a new note on every beat (no two neighbours alike), for ten seconds: every
// frame differs from every other, and a note always sounds across a Stop.
QByteArray legatoOrgan()
{
    test::MidiTrack track;
    track.tempo(0, 500000).programChange(0, 0, 19);
    const int keys[] = {60, 64, 67, 72, 71, 67, 62, 65, 69, 74, 72, 69, 64, 67, 71, 76, 74, 71, 65, 69};
    // Each note starts on the beat where the one before it ends, before that one is released.
    int previous = -1;
    for (int key : keys) {
        track.noteOn(previous < 0 ? 0 : 480, 0, key, 100);
        if (previous >= 0)
            track.noteOff(0, 0, previous);
        previous = key;
    }
    track.noteOff(480, 0, previous);
    track.endOfTrack(0);
    return test::midiFile(0, 480, {track});
}

std::unique_ptr<audio::Decoder> openFile(const QString& path)
{
    if (path.endsWith(QLatin1String(".mid")))
        return audio::openMidiDecoder(path.toStdString(), std::make_shared<audio::MidiSynthCache>()).decoder;
    if (path.endsWith(QLatin1String(".mp3")))
        return audio::openDecoder(path.toStdString()).decoder;
    return audio::openDecoder(path.toStdString()).decoder;
}

bool writeFiles(const QDir& dir)
{
    dir.mkpath(QStringLiteral("."));
    test::MidiTrack note;
    note.tempo(0, 500000).programChange(0, 0, 0).noteOn(0, 0, 64, 110).noteOff(960, 0, 64).endOfTrack(0);
    return test::writeWav(dir.filePath(QStringLiteral("resume.wav")), 10 * audio::kEngineRate) &&
           test::writeMp3(dir.filePath(QStringLiteral("resume.mp3")), 10 * audio::kEngineRate) &&
           test::writeBytes(dir.filePath(QStringLiteral("resume.mid")), legatoOrgan()) &&
           test::writeBytes(dir.filePath(QStringLiteral("start.mid")), test::midiFile(0, 480, {note}));
}

int runResume(const QString& dirPath, const std::string& monitor, int runs)
{
    const QDir dir(QFileInfo(dirPath).absoluteFilePath());
    if (!writeFiles(dir))
        return 1;
    const QString wav = dir.filePath(QStringLiteral("resume.wav"));
    const QString mp3 = dir.filePath(QStringLiteral("resume.mp3"));
    const QString mid = dir.filePath(QStringLiteral("resume.mid"));
    const std::pair<const char*, QString> files[] = {{"wav", wav}, {"mp3", mp3}, {"midi", mid}};
    for (int run = 1; run <= runs; ++run) {
        for (const auto& [name, path] : files) {
            bench::MonitorRecorder recorder;
            if (!recorder.start(monitor, true) || !recording(recorder)) {
                std::fprintf(stderr, "qb_bench_resume: cannot record %s\n", monitor.c_str());
                return 1;
            }
            auto reference = openFile(path);
            auto decoder = openFile(path);
            if (!reference || !decoder)
                return 1;
            const std::vector<float> pass = test::decodePass(*reference);
            audio::AudioEngine engine(audio::makeDefaultOutput());
            auto device = engine.addDevice(std::move(decoder));
            sleepMs(300);
            const auto play = Clock::now();
            device->play();
            const double playMs = firstSoundMs(recorder, play);
            sleepMs(1500);
            device->stop();
            sleepMs(700);
            const auto again = Clock::now();
            device->play();
            const double againMs = firstSoundMs(recorder, again);
            sleepMs(1500);
            device->stop();
            sleepMs(500);
            recorder.stop();

            // From Play on: the silence before it is no part of the music.
            std::vector<float> heard = recorder.samples();
            const std::int64_t from = std::max<std::int64_t>(recorder.frameAt(play), 0) * 2;
            heard.erase(heard.begin(), heard.begin() + std::min<std::int64_t>(from, std::ssize(heard)));
            // Two synthesisers rendering the same song are compared within a small tolerance.
            const float tolerance = path.endsWith(QLatin1String(".mid")) ? 1e-4f : 0.0f;
            const auto report = test::AudioSeamAnalyser::analyse(heard, pass, tolerance);
            const QString key = QStringLiteral("resume.%1.%2").arg(QLatin1String(name)).arg(run);
            bench::printValue(key + QStringLiteral("_play_ms"), playMs);
            bench::printValue(key + QStringLiteral("_again_ms"), againMs);
            if (!report.locked || report.events.empty()) {
                std::fprintf(stderr, "qb_bench_resume: %s: %s\n", name, qPrintable(report.summary()));
                continue;
            }
            // The first break is the Stop: the silence of the stop, and the file's frames it skipped
            // (or, inserted beyond that silence, played twice).
            const auto& stop = report.events.front();
            std::int64_t silent = 0;
            for (std::int64_t i = stop.captureFrame; i < stop.captureFrame + stop.inserted; ++i)
                silent += heard[std::size_t(i * 2)] == 0.0f && heard[std::size_t(i * 2 + 1)] == 0.0f;
            const std::int64_t offset = stop.dropped - (stop.inserted - silent);
            // Every later break lies after Play-again: a stutter or a dropout.
            std::int64_t after = 0;
            for (std::size_t i = 1; i < report.events.size(); ++i)
                after += report.events[i].inserted + report.events[i].dropped;
            bench::printValue(key + QStringLiteral("_offset_frames"), static_cast<double>(offset), 0);
            bench::printValue(key + QStringLiteral("_gap_frames"), static_cast<double>(after), 0);
            bench::printValue(key + QStringLiteral("_breaks_after"),
                              static_cast<double>(report.events.size() - 1), 0);
        }
    }
    return 0;
}

int runStartToSound(const std::string& monitor, const QString& label, int runs, char** argv)
{
    for (int run = 1; run <= runs; ++run) {
        bench::MonitorRecorder recorder;
        if (!recorder.start(monitor) || !recording(recorder)) {
            std::fprintf(stderr, "qb_bench_resume: cannot record %s\n", monitor.c_str());
            return 1;
        }
        const auto start = Clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            execvp(argv[0], argv);
            _exit(127);
        }
        if (pid < 0)
            return 1;
        Clock::time_point at;
        const char* patience = std::getenv("BENCH_WAIT_MS");
        const double waitMs = patience ? std::atof(patience) : 10000;
        while (!recorder.firstSoundAfter(start, &at) && msBetween(start, Clock::now()) < waitMs)
            sleepMs(1);
        const double ms = recorder.firstSoundAfter(start, &at) ? msBetween(start, at) : -1;
        if (const char* hold = std::getenv("BENCH_HOLD_MS"); hold && ms >= 0)
            sleepMs(std::atoi(hold));
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        recorder.stop();
        bench::printValue(QStringLiteral("start_to_sound.%1.%2_ms").arg(label).arg(run), ms);
        sleepMs(500);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (mode == QLatin1String("resume") && (argc == 4 || argc == 5))
        return runResume(QString::fromLocal8Bit(argv[2]), argv[3], argc == 5 ? std::atoi(argv[4]) : 3);
    if (mode == QLatin1String("files") && argc == 3)
        return writeFiles(QDir(QFileInfo(QString::fromLocal8Bit(argv[2])).absoluteFilePath())) ? 0 : 1;
    if (mode == QLatin1String("start-to-sound") && argc >= 6)
        return runStartToSound(argv[2], QString::fromLocal8Bit(argv[3]), std::atoi(argv[4]), argv + 5);
    std::fprintf(stderr, "usage: qb_bench_resume files <dir> | resume <dir> <monitor source> [<runs>] |\n"
                         "       start-to-sound <monitor source> <label> <runs> <program> [<argument>...]\n");
    return 2;
}
