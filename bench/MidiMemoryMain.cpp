// What MIDI playback costs in memory.
//
//   qb_bench_midi_memory files <dir>
//       writes band.mid: 15 melodic programs (one per channel, a chord each) and a drum pattern of
//       nine kit pieces, eight seconds, for a song with many instruments.
//   qb_bench_midi_memory ours <song.mid> [<sf2>]
//       opens the song on the audio stack alone (no window), renders ten seconds as fast as it can and
//       prints the open times and its memory (USS, PSS, RSS beside) before the open, after it and after
//       the ten seconds.
//   qb_bench_midi_memory peer <song.mid> [<sf2>]
//       runs `fluidsynth -ni` on the same song and SoundFont (file driver to /dev/null, real time,
//       one pass) and prints its memory at the sample of the largest USS (sampled every 20 ms: the
//       program ends by itself, so there is no end of a window to sample at).
//
// Whole-program figures (the window included) come from
//   qb_bench_proc cost 3 10 ours.mid -- qb_bench_player cost <song.mid>
#include "BenchFiles.h"
#include "ProcessFigures.h"
#include "sound/decode/Decoders.h"
#include "sound/midi/MidiDecoder.h"
#include "sound/midi/MidiSynthCache.h"
#include "testkit/AudioFiles.h"
#include "testkit/MidiFiles.h"

#include <QString>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace qb;

namespace {

// CPU time of the calling thread: on a busy machine the wall time of an open says little.
double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

int writeFiles(const QString& dir)
{
    const QString path = dir + QStringLiteral("/band.mid");
    if (!bench::writeBandSong(path))
        return 1;
    std::printf("wrote %s\n", qPrintable(path));
    return 0;
}

int runOurs(const std::string& song, const std::string& soundFont)
{
    const bench::MemorySample before = bench::sampleMemory(getpid());
    auto cache = std::make_shared<audio::MidiSynthCache>();
    const double start = bench::monotonicSeconds();
    const double startCpu = threadCpuMs();
    audio::OpenResult opened = audio::openMidiDecoder(song, cache, soundFont);
    const double openMs = (bench::monotonicSeconds() - start) * 1000.0;
    const double openCpuMs = threadCpuMs() - startCpu;
    if (!opened.decoder) {
        std::fprintf(stderr, "cannot open %s: %s\n", song.c_str(), opened.message.c_str());
        return 1;
    }
    const bench::MemorySample afterOpen = bench::sampleMemory(getpid());
    std::vector<float> block(static_cast<std::size_t>(512) * audio::kChannels);
    for (std::int64_t done = 0; done < 10 * audio::kEngineRate; done += 512) {
        if (opened.decoder->read(block.data(), 512) < 512)
            opened.decoder->seek(0);
    }
    const bench::MemorySample played = bench::sampleMemory(getpid());
    // The same song again on the synthesiser the cache keeps.
    opened.decoder.reset();
    const double again = bench::monotonicSeconds();
    audio::OpenResult second = audio::openMidiDecoder(song, cache, soundFont);
    const double secondMs = (bench::monotonicSeconds() - again) * 1000.0;
    std::printf("ours.midi.open_ms=%.1f\n", openMs);
    std::printf("ours.midi.open_cpu_ms=%.1f\n", openCpuMs);
    std::printf("ours.midi.second_open_ms=%.1f\n", secondMs);
    bench::printMemory("ours.midi.before", before);
    bench::printMemory("ours.midi.after_open", afterOpen);
    bench::printMemory("ours.midi.playing", played);
    return second.decoder ? 0 : 1;
}

int runPeer(const std::string& song, const std::string& soundFont)
{
    std::vector<std::string> args = {
        "fluidsynth", "-q", "-n", "-i", "-a", "file", "-o", "audio.file.name=/dev/null", soundFont, song};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start fluidsynth\n");
        return 1;
    }
    bench::MemorySample largest;
    for (;;) {
        const bench::MemorySample s = bench::sampleMemory(pid);
        if (s.ok && s.ussKb > largest.ussKb)
            largest = s;
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    bench::printMemory("peer.fluidsynth", largest);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 2 ? argv[1] : "";
    const std::string soundFont = argc > 3 ? argv[3] : audio::kDefaultSoundFont;
    if (mode == "files")
        return writeFiles(QString::fromLocal8Bit(argv[2]));
    if (mode == "ours")
        return runOurs(argv[2], soundFont);
    if (mode == "peer")
        return runPeer(argv[2], soundFont);
    std::fprintf(stderr,
                 "usage: qb_bench_midi_memory files <dir> | ours <song.mid> [sf2] | peer <song.mid> [sf2]\n");
    return 2;
}
