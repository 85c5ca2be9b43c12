// The program's objects as main.cpp makes them, driven without a user.
//
//   qb_bench_player cost <file>|-
//       main.cpp's objects (audio engine on the silent real-time output the program falls back to
//       without a sound card, MCI service, message boxes, the settings store, the main window), then
//       Select (the real open-file dialog, answered with <file>) and Play; prints "ready" and loops
//       until killed. "-" opens nothing. The tips dialog follows the settings store, as in the program.
//   qb_bench_player server <file>|- [<stop after ms>]
//       as cost, on the output the program chooses (a PulseAudio-compatible server when one answers);
//       with a delay, clicks Stop that long after Play and stays open.
//   qb_bench_player server-latency <dir> <monitor source> [<SoundFont>]
//       the window on the sound module as main.cpp makes it (loaded at the first Select, on the output
//       it chooses), recording <monitor source> (the monitor of the sink it plays on): Select-confirm to
//       ready, Play to the first sound that leaves the sink, Stop to the last (a MIDI file the first and
//       the second time, a WAV, an MP3, a song of fifteen instruments), in ms. The MIDI files play on
//       <SoundFont> when given, set as a user sets it.
//   qb_bench_player latency <dir>
//       what a user waits for, with an output that notes when the first sound goes out:
//       Select-confirm to ready-to-play (a MIDI file the first and the second time in this process,
//       a WAV, an MP3) and Play to the first non-silent frame at the output, in milliseconds.
#include "BenchFiles.h"
#include "BenchWindow.h"
#include "LoopAnalysis.h"
#include "MonitorRecorder.h"
#include "SelectDriver.h"
#include "TimedOutput.h"
#include "dialogs/QtMessageBox.h"
#include "sound/engine/AudioEngine.h"
#include "sound/engine/Device.h"
#include "sound/engine/SilentOutput.h"
#include "sound/mci/MciService.h"
#include "sound/output/Outputs.h"
#include "testkit/AudioFiles.h"
#include "testkit/Fakes.h"
#include "testkit/MemorySettingsStore.h"
#include "testkit/MidiFiles.h"
#include "ui/Form1.h"
#include "ui/UiFont.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>
#include <chrono>
#include <cstdio>

using namespace qb;
using Clock = std::chrono::steady_clock;

namespace {

// The same window on the sound module, loaded at the first command as main.cpp loads it: the first
// Select then pays for the module, the engine and the connection to the sound server, as a user's does.
struct ModuleBenchWindow
{
    test::RecordingMessageBox messages;
    test::MemorySettingsStore settings;
    bench::SelectDriver select;
    app::Program program;
    ui::Form1& form;

    ModuleBenchWindow()
        : program({nullptr, &messages, &settings, &select, {QUILLBEAT_BENCH_SOUND_MODULE}}),
          form(program.window())
    {
        bench::BenchWindow::startWithoutTips(settings, program);
    }
};

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

void waitMs(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

int runCost(int argc, char** argv, bool server)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillbeat"));
    QApplication::setFont(ui::defaultUiFont());

    // Without a server: what the program plays on without a sound card.
    audio::AudioEngine engine(server ? audio::makeDefaultOutput() : audio::makeSilentOutput());
    const int stopAfterMs = argc > 3 ? QString::fromLocal8Bit(argv[3]).toInt() : -1;
    platform::QtMessageBoxPresenter messages;
    mci::MciService mci(engine, messages);
    bench::SelectDriver select;
    // The program's own settings file: the tips dialog follows it, as in the program.
    app::Program program({&mci, &messages, nullptr, &select, {}});
    ui::Form1& form = program.window();
    program.start();

    const QString file = QString::fromLocal8Bit(argv[2]);
    QTimer::singleShot(0, [&] {
        if (file != QLatin1String("-")) {
            select.choose(QFileInfo(file).absoluteFilePath());
            form.Command3_Click();
            form.Command1_Click();
            if (stopAfterMs >= 0)
                QTimer::singleShot(stopAfterMs, [&] { form.Command2_Click(); });
        }
        std::printf("ready playing=%d output=%s\n", form.state().IsPlaying ? 1 : 0, engine.output().name());
        std::fflush(stdout);
    });
    return app.exec();
}

struct Step
{
    double selectMs = -1;
    double playMs = -1;
};

Step selectAndPlay(ui::Form1& form, bench::SelectDriver& select, bench::TimedOutput& output,
                   const QString& path)
{
    Step step;
    select.choose(path);
    form.Command3_Click();
    step.selectMs = msBetween(select.confirmedAt(), Clock::now());
    if (!form.state().IsOpen)
        return step;
    waitMs(300);
    output.rearm();
    const auto play = Clock::now();
    form.Command1_Click();
    Clock::time_point heard;
    while (!output.firstSound(&heard) && msBetween(play, Clock::now()) < 3000)
        waitMs(1);
    if (output.firstSound(&heard))
        step.playMs = msBetween(play, heard);
    waitMs(300);
    form.Command2_Click();
    waitMs(300);
    return step;
}

struct ServerStep
{
    double selectMs = -1;
    double playMs = -1;
    double stopMs = -1;
};

ServerStep serverSelectPlayStop(ui::Form1& form, bench::SelectDriver& select,
                                bench::MonitorRecorder& recorder, const QString& path)
{
    ServerStep step;
    select.choose(path);
    form.Command3_Click();
    step.selectMs = msBetween(select.confirmedAt(), Clock::now());
    if (!form.state().IsOpen)
        return step;
    waitMs(300);
    const auto play = Clock::now();
    form.Command1_Click();
    Clock::time_point at;
    while (!recorder.firstSoundAfter(play, &at) && msBetween(play, Clock::now()) < 3000)
        waitMs(1);
    if (recorder.firstSoundAfter(play, &at))
        step.playMs = msBetween(play, at);
    waitMs(500);
    const auto stop = Clock::now();
    form.Command2_Click();
    while (!recorder.silenceAfter(stop, 300, &at) && msBetween(stop, Clock::now()) < 3000)
        waitMs(5);
    if (recorder.silenceAfter(stop, 300, &at))
        step.stopMs = msBetween(stop, at);
    waitMs(200);
    return step;
}

// What the latency runs play: the loop files, two songs that sound from their first tick (so that Play
// to first sound is the program's delay) and the band song.
struct LatencyFiles
{
    bench::LoopFiles loop;
    QString first;
    QString second;
    QString band;

    bool write(const QString& folder)
    {
        const QDir dir(QFileInfo(folder).absoluteFilePath());
        if (!bench::writeLoopFiles(dir.path(), &loop))
            return false;
        first = dir.filePath(QStringLiteral("first.mid"));
        second = dir.filePath(QStringLiteral("second.mid"));
        band = dir.filePath(QStringLiteral("band.mid"));
        for (const auto& [path, program] : {std::pair{first, 0}, std::pair{second, 24}}) {
            test::MidiTrack track;
            track.tempo(0, 500000)
                .programChange(0, 0, program)
                .noteOn(0, 0, 64, 100)
                .noteOff(480, 0, 64)
                .endOfTrack(0);
            if (!test::writeBytes(path, test::midiFile(0, 480, {track})))
                return false;
        }
        return bench::writeBandSong(band);
    }
};

int runServerLatency(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillbeat"));
    QApplication::setFont(ui::defaultUiFont());
    LatencyFiles songs;
    if (!songs.write(QString::fromLocal8Bit(argv[2])))
        return 1;
    bench::MonitorRecorder recorder;
    if (!recorder.start(argv[3])) {
        std::fprintf(stderr, "qb_bench_player: cannot record %s\n", argv[3]);
        return 1;
    }
    ModuleBenchWindow program;
    if (argc == 5)
        program.settings.SaveSetting(QStringLiteral("Quillbeat"), QStringLiteral("Settings"),
                                     QStringLiteral("SoundFont"), QString::fromLocal8Bit(argv[4]));
    QTimer::singleShot(0, [&] {
        // Half a second of recording in real time before the first step: until then the sink's monitor
        // may not deliver at all, and the first Play would be timed by when the recording began.
        const auto began = Clock::now();
        while (recorder.recordedMs() < 500 && msBetween(began, Clock::now()) < 10000)
            waitMs(10);
        // Last, a song whose fifteen instruments and drums all sound from the first tick.
        const char* names[] = {"midi_first", "midi_second", "wav", "mp3", "midi_band"};
        const QString paths[] = {songs.first, songs.second, songs.loop.wav, songs.loop.mp3, songs.band};
        for (int i = 0; i < 5; ++i) {
            const ServerStep step = serverSelectPlayStop(program.form, program.select, recorder, paths[i]);
            const QString key = QStringLiteral("server_latency.") + QString::fromLatin1(names[i]);
            bench::printValue(key + QStringLiteral("_select_ms"), step.selectMs);
            bench::printValue(key + QStringLiteral("_play_ms"), step.playMs);
            bench::printValue(key + QStringLiteral("_stop_ms"), step.stopMs);
        }
        app.quit();
    });
    const int result = app.exec();
    recorder.stop();
    return result;
}

int runLatency(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillbeat"));
    QApplication::setFont(ui::defaultUiFont());
    LatencyFiles songs;
    if (!songs.write(QString::fromLocal8Bit(argv[2])))
        return 1;

    auto output = std::make_unique<bench::TimedOutput>(512);
    bench::TimedOutput* timed = output.get();
    bench::BenchWindow program(std::move(output));
    test::RecordingMessageBox& messages = program.messages;
    ui::Form1& form = program.form;
    bench::SelectDriver& select = program.select;

    QTimer::singleShot(200, [&] {
        const Step midi1 = selectAndPlay(form, select, *timed, songs.first);
        const Step midi2 = selectAndPlay(form, select, *timed, songs.second);
        const Step wav = selectAndPlay(form, select, *timed, songs.loop.wav);
        const Step mp3 = selectAndPlay(form, select, *timed, songs.loop.mp3);
        bench::printValue(QStringLiteral("latency.select_midi_first_ms"), midi1.selectMs);
        bench::printValue(QStringLiteral("latency.select_midi_second_ms"), midi2.selectMs);
        bench::printValue(QStringLiteral("latency.select_wav_ms"), wav.selectMs);
        bench::printValue(QStringLiteral("latency.select_mp3_ms"), mp3.selectMs);
        bench::printValue(QStringLiteral("latency.play_midi_first_ms"), midi1.playMs);
        bench::printValue(QStringLiteral("latency.play_midi_second_ms"), midi2.playMs);
        bench::printValue(QStringLiteral("latency.play_wav_ms"), wav.playMs);
        bench::printValue(QStringLiteral("latency.play_mp3_ms"), mp3.playMs);
        bench::printValue(QStringLiteral("latency.messages"), static_cast<double>(messages.shown.size()), 0);
        app.quit();
    });
    return app.exec();
}

} // namespace

int main(int argc, char** argv)
{
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (mode == QLatin1String("cost") && argc == 3)
        return runCost(argc, argv, false);
    if (mode == QLatin1String("server") && (argc == 3 || argc == 4))
        return runCost(argc, argv, true);
    if (mode == QLatin1String("server-latency") && (argc == 4 || argc == 5))
        return runServerLatency(argc, argv);
    if (mode == QLatin1String("latency") && argc == 3)
        return runLatency(argc, argv);
    std::fprintf(stderr,
                 "usage: qb_bench_player cost <file>|- | server <file>|- [<stop ms>] | latency <dir> |\n"
                 "       server-latency <dir> <monitor source> [<SoundFont>]\n");
    return 2;
}
