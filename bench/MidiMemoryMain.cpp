// What MIDI playback costs in memory.
//
//   qb_bench_midi_memory files <dir>
//       writes band.mid: 15 melodic programs (one per channel, a chord each) and a drum pattern of
//       nine kit pieces, eight seconds, for a song with many instruments; and large.mid, 65 tracks and
//       5.2 million events in about 20 MB (BenchFiles.h).
//   qb_bench_midi_memory ours <song.mid> [<sf2>]
//       opens the song on the audio stack alone (no window), renders ten seconds as fast as it can and
//       prints the open times and its memory (USS, PSS, RSS beside) before the open, after it and after
//       the ten seconds.
//   qb_bench_midi_memory render <song.mid> <sf2> <seconds> <out.wav>
//       renders the song's first <seconds> on the audio stack alone, as fast as it can, to a 32-bit
//       float WAVE file: the frames the decoder hands the output. Prints the time from the open to the
//       first sound rendered (the song's samples loaded and its first note reached), in ms.
//   qb_bench_midi_memory reopen <song.mid> <sf2> <count> [fresh]
//       opens the song <count> times on one synthesiser cache, as selecting MIDI files one after another
//       does, rendering a tenth of a second each time, and prints the memory after the first open, after
//       half of them and after all: what selecting files costs over a long session. "fresh": a new
//       cache, and so a new synthesiser and font load, for every open (a SoundFont change each time).
//   qb_bench_midi_memory compare <ours.wav> <peer.wav>
//       the level of each (RMS over the whole, in dBFS), their difference, and the correlation of
//       their long-term spectra (power averaged over 4096-point Hann frames, in dB, 50 Hz to 16 kHz).
//   qb_bench_midi_memory peer <song.mid> [<sf2> [<at most s>]]
//       runs `fluidsynth -ni` on the same song and SoundFont (file driver to /dev/null, real time,
//       one pass, or its first <at most s>: the program loads the whole font before it plays) and prints its
//       memory at the sample of the largest USS (sampled every 20 ms: the program ends by itself, so there is
//       no end of a window to sample at), through `qb_bench_memory_map largest`, which shares none of the
//       program's libraries with it.
//
// Whole-program figures (the window included) come from
//   qb_bench_proc cost 3 10 ours.mid -- qb_bench_player cost <song.mid>
#include "BenchFiles.h"
#include "ProcessFigures.h"
#include "WavFile.h"
#include "sound/decode/Decoders.h"
#include "sound/midi/MidiDecoder.h"
#include "sound/midi/MidiSynthCache.h"
#include "testkit/AudioFiles.h"
#include "testkit/MidiFiles.h"

#include <QString>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <ctime>
#include <sndfile.h>
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
    const QString band = dir + QStringLiteral("/band.mid");
    const QString large = dir + QStringLiteral("/large.mid");
    if (!bench::writeBandSong(band) || !bench::writeLargeSong(large))
        return 1;
    std::printf("wrote %s and %s\n", qPrintable(band), qPrintable(large));
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

int runPeer(const std::string& song, const std::string& soundFont, const std::string& atMost)
{
    // This process maps FluidSynth and every library it brings: the program would share their pages
    // with it, and its USS would leave them out. It is measured by qb_bench_memory_map, which maps
    // none of them, in this process's place.
    char self[4096] = {};
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string exe(self, length > 0 ? static_cast<std::size_t>(length) : 0);
    const std::string sampler = exe.substr(0, exe.rfind('/') + 1) + "qb_bench_memory_map";
    std::vector<std::string> args = {sampler, "largest", "peer.fluidsynth"};
    if (!atMost.empty())
        args.push_back(atMost);
    for (const char* arg :
         {"--", "fluidsynth", "-q", "-n", "-i", "-a", "file", "-o", "audio.file.name=/dev/null"})
        args.emplace_back(arg);
    args.push_back(soundFont);
    args.push_back(song);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::fflush(stdout);
    ::execv(sampler.c_str(), argv.data());
    std::fprintf(stderr, "cannot start %s\n", sampler.c_str());
    return 1;
}

int renderOurs(const std::string& song, const std::string& soundFont, double seconds, const QString& out)
{
    const double start = bench::monotonicSeconds();
    audio::OpenResult opened =
        audio::openMidiDecoder(song, std::make_shared<audio::MidiSynthCache>(), soundFont);
    if (!opened.decoder) {
        std::fprintf(stderr, "cannot open %s: %s\n", song.c_str(), opened.message.c_str());
        return 1;
    }
    bool sounded = false;
    const auto frames = static_cast<std::int64_t>(seconds * audio::kEngineRate);
    std::vector<float> audioOut(static_cast<std::size_t>(frames) * audio::kChannels);
    std::int64_t done = 0;
    while (done < frames) {
        const int got = opened.decoder->read(audioOut.data() + done * audio::kChannels,
                                             static_cast<int>(std::min<std::int64_t>(512, frames - done)));
        if (got <= 0)
            break;
        const float* chunk = audioOut.data() + done * audio::kChannels;
        if (!sounded &&
            std::any_of(chunk, chunk + got * audio::kChannels, [](float v) { return v != 0.0f; })) {
            sounded = true;
            std::printf("render.first_sound_ms=%.1f\n", (bench::monotonicSeconds() - start) * 1000.0);
        }
        done += got;
    }
    audioOut.resize(static_cast<std::size_t>(done) * audio::kChannels);
    return test::writeSoundFile(out, SF_FORMAT_WAV | SF_FORMAT_FLOAT, audio::kEngineRate, audio::kChannels,
                                audioOut)
               ? 0
               : 1;
}

int reopen(const std::string& song, const std::string& soundFont, int count, bool fresh)
{
    auto cache = std::make_shared<audio::MidiSynthCache>();
    std::vector<float> out(static_cast<std::size_t>(audio::kEngineRate / 10) * audio::kChannels);
    for (int i = 1; i <= count; ++i) {
        if (fresh)
            cache = std::make_shared<audio::MidiSynthCache>();
        audio::OpenResult opened = audio::openMidiDecoder(song, cache, soundFont);
        if (!opened.decoder) {
            std::fprintf(stderr, "cannot open %s: %s\n", song.c_str(), opened.message.c_str());
            return 1;
        }
        opened.decoder->read(out.data(), audio::kEngineRate / 10);
        opened.decoder.reset();
        if (i == 1 || i == count / 2 || i == count) {
            const std::string prefix = "reopen." + std::to_string(i);
            bench::printMemory(prefix.c_str(), bench::sampleMemory(getpid()));
        }
    }
    return 0;
}

void fft(std::vector<std::complex<double>>& x)
{
    const std::size_t n = x.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(x[i], x[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const std::complex<double> w = std::polar(1.0, -2 * M_PI / static_cast<double>(len));
        for (std::size_t i = 0; i < n; i += len) {
            std::complex<double> wn(1);
            for (std::size_t k = 0; k < len / 2; ++k, wn *= w) {
                const std::complex<double> u = x[i + k], v = x[i + k + len / 2] * wn;
                x[i + k] = u + v;
                x[i + k + len / 2] = u - v;
            }
        }
    }
}

// The long-term power spectrum of the mid channel, in dB per bin.
std::vector<double> longTermSpectrum(const std::vector<float>& stereo)
{
    constexpr std::size_t kSize = 4096;
    std::vector<double> power(kSize / 2, 0.0);
    std::vector<std::complex<double>> frame(kSize);
    const std::size_t frames = stereo.size() / 2;
    int count = 0;
    for (std::size_t at = 0; at + kSize <= frames; at += kSize / 2, ++count) {
        for (std::size_t i = 0; i < kSize; ++i) {
            const double hann = 0.5 - 0.5 * std::cos(2 * M_PI * static_cast<double>(i) / kSize);
            frame[i] = hann * 0.5 * (stereo[2 * (at + i)] + stereo[2 * (at + i) + 1]);
        }
        fft(frame);
        for (std::size_t k = 0; k < kSize / 2; ++k)
            power[k] += std::norm(frame[k]);
    }
    for (double& p : power)
        p = 10 * std::log10(p / std::max(count, 1) + 1e-20);
    return power;
}

double levelDb(const std::vector<float>& x)
{
    double sum = 0;
    for (float v : x)
        sum += static_cast<double>(v) * v;
    return 10 * std::log10(sum / static_cast<double>(std::max<std::size_t>(x.size(), 1)) + 1e-20);
}

int compare(const QString& oursPath, const QString& peerPath)
{
    QString why;
    int rate = 0;
    const std::vector<float> ours = bench::readStereo(oursPath, &why, &rate);
    const std::vector<float> peer = bench::readStereo(peerPath, &why);
    if (ours.empty() || peer.empty()) {
        std::fprintf(stderr, "cannot read: %s\n", qPrintable(why));
        return 1;
    }
    // Over the same stretch: the shorter of the two.
    const std::size_t n = std::min(ours.size(), peer.size());
    const std::vector<float> a(ours.begin(), ours.begin() + static_cast<std::ptrdiff_t>(n));
    const std::vector<float> b(peer.begin(), peer.begin() + static_cast<std::ptrdiff_t>(n));
    const std::vector<double> sa = longTermSpectrum(a), sb = longTermSpectrum(b);
    const auto bin = [rate](double hz) { return static_cast<std::size_t>(hz * 4096 / std::max(rate, 1)); };
    double ma = 0, mb = 0;
    const std::size_t from = bin(50), to = std::min(bin(16000), sa.size());
    for (std::size_t k = from; k < to; ++k) {
        ma += sa[k];
        mb += sb[k];
    }
    ma /= static_cast<double>(to - from);
    mb /= static_cast<double>(to - from);
    double cab = 0, caa = 0, cbb = 0;
    for (std::size_t k = from; k < to; ++k) {
        cab += (sa[k] - ma) * (sb[k] - mb);
        caa += (sa[k] - ma) * (sa[k] - ma);
        cbb += (sb[k] - mb) * (sb[k] - mb);
    }
    std::printf("compare.ours_db=%.2f\n", levelDb(a));
    std::printf("compare.peer_db=%.2f\n", levelDb(b));
    std::printf("compare.difference_db=%.2f\n", levelDb(a) - levelDb(b));
    std::printf("compare.spectrum_correlation=%.4f\n", cab / std::sqrt(caa * cbb));
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
        return runPeer(argv[2], soundFont, argc > 4 ? argv[4] : "");
    if (mode == "render" && argc == 6)
        return renderOurs(argv[2], argv[3], std::atof(argv[4]), QString::fromLocal8Bit(argv[5]));
    if (mode == "reopen" && (argc == 5 || (argc == 6 && std::string(argv[5]) == "fresh")))
        return reopen(argv[2], argv[3], std::atoi(argv[4]), argc == 6);
    if (mode == "compare" && argc == 4)
        return compare(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    std::fprintf(
        stderr,
        "usage: qb_bench_midi_memory files <dir> | ours <song.mid> [sf2] | peer <song.mid> [sf2 [s]] |\n"
        "       render <song.mid> <sf2> <seconds> <out.wav> | compare <ours.wav> <peer.wav>\n");
    return 2;
}
