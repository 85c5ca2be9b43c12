// Tracker modules and game-music tunes repeating, as recorded from a sound server's sink.
//
//   qb_bench_rendered files <dir>
//       writes song.mod (the tests' module that jumps back from its third pattern to its second:
//       introduction 21,168 frames, repeat 42,336) and tune.vgm (the tests' SN76489 tune with a loop
//       offset: introduction and loop of 22,050 samples each, a 660 Hz burst opening each repeat).
//   qb_bench_rendered module <song.mod> <recording.wav> <prefix>
//       where the module's repeating part starts in the recording, each time, against libopenmpt's own
//       render straight through (repeat count -1): frames added or lost at each repeat against the
//       period of the repeat, whether the repeat is the part that repeats (entered from the jump) or the
//       whole song again (a restart from the top), and the seam analyser's frames added and lost at
//       each jump against one repeat of libopenmpt's render, sample by sample.
//   qb_bench_rendered tune <tune.vgm> <recording.wav> <prefix>
//       the recording against libgme's render straight through, sample by sample (the seam analyser:
//       frames added and lost anywhere), and where each repeat of the tune's loop starts (the onset of
//       its 660 Hz burst, to a frame or two) against libgme's own period of the loop (measured from its
//       render: libgme times the chip's clock to one part in 2,000, so 22,050 samples last 22,039.5 frames),
//       restarts from the top (the 440 Hz burst of the introduction again) and how loud each repeat is
//       against the first (a fade).
#include "LoopAnalysis.h"
#include "WavFile.h"
#include "sound/decode/Decoders.h"
#include "testkit/AudioFiles.h"
#include "testkit/RenderedMusicFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <vector>

using namespace qb;

namespace {

constexpr int kRate = audio::kEngineRate;
constexpr std::int64_t kIntro = test::kJumpingModulePatternFrames;
constexpr std::int64_t kPass = 3 * kIntro;
constexpr std::int64_t kRepeat = kPass - kIntro;
constexpr std::size_t kSignature = 1024; // frames matched to find a place in a recording

int usage()
{
    std::fprintf(stderr,
                 "usage: qb_bench_rendered files <dir> | module <song.mod> <recording.wav> <prefix> |\n"
                 "       tune <tune.vgm> <recording.wav> <prefix>\n");
    return 2;
}

std::vector<float> mono(const std::vector<float>& stereo)
{
    std::vector<float> out(stereo.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = 0.5f * (stereo[2 * i] + stereo[2 * i + 1]);
    return out;
}

// Where `signature` (mono) lies in `audio` (mono): every frame where the normalised correlation reaches
// `threshold` and is the highest within half a signature either side.
std::vector<std::int64_t> matches(const std::vector<float>& audio, const std::vector<float>& signature,
                                  double threshold = 0.9)
{
    const std::size_t n = signature.size();
    if (audio.size() < n)
        return {};
    double sigNorm = 0;
    for (const float s : signature)
        sigNorm += static_cast<double>(s) * s;
    sigNorm = std::sqrt(sigNorm);
    std::vector<double> windowEnergy(audio.size() - n + 1);
    double energy = 0;
    for (std::size_t i = 0; i < n; ++i)
        energy += static_cast<double>(audio[i]) * audio[i];
    for (std::size_t o = 0; o < windowEnergy.size(); ++o) {
        windowEnergy[o] = energy;
        if (o + n < audio.size())
            energy +=
                static_cast<double>(audio[o + n]) * audio[o + n] - static_cast<double>(audio[o]) * audio[o];
    }
    std::vector<float> score(windowEnergy.size(), 0.0f);
    for (std::size_t o = 0; o < score.size(); ++o) {
        if (windowEnergy[o] <= 1e-9)
            continue;
        float dot = 0;
        for (std::size_t i = 0; i < n; ++i)
            dot += signature[i] * audio[o + i];
        score[o] = static_cast<float>(dot / (sigNorm * std::sqrt(windowEnergy[o])));
    }
    std::vector<std::int64_t> found;
    const auto half = static_cast<std::int64_t>(n / 2);
    for (std::int64_t o = 0; o < static_cast<std::int64_t>(score.size()); ++o) {
        if (score[static_cast<std::size_t>(o)] < threshold)
            continue;
        bool best = true;
        for (std::int64_t k = std::max<std::int64_t>(o - half, 0);
             best && k <= std::min<std::int64_t>(o + half, static_cast<std::int64_t>(score.size()) - 1); ++k)
            best = score[static_cast<std::size_t>(k)] < score[static_cast<std::size_t>(o)] ||
                   (score[static_cast<std::size_t>(k)] == score[static_cast<std::size_t>(o)] && k >= o);
        if (best)
            found.push_back(o);
    }
    return found;
}

// Prints "<key>_min", "_max" and "_count" of the differences between neighbours of `places` less
// `period`.
void printSteps(const QString& key, const std::vector<std::int64_t>& places, double period)
{
    double low = 0, high = 0;
    for (std::size_t i = 1; i < places.size(); ++i) {
        const double step = static_cast<double>(places[i] - places[i - 1]) - period;
        low = i == 1 ? step : std::min(low, step);
        high = i == 1 ? step : std::max(high, step);
    }
    bench::printValue(key + QStringLiteral("_count"),
                      static_cast<double>(places.size() > 1 ? places.size() - 1 : 0), 0);
    bench::printValue(key + QStringLiteral("_min"), low, 1);
    bench::printValue(key + QStringLiteral("_max"), high, 1);
}

std::vector<float> moduleStraight(const QByteArray& module, std::int64_t frames)
{
    return test::moduleRender(module, kRate, frames);
}

int runModule(const QString& path, const QString& recordingPath, const QString& prefix)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    const std::vector<float> straight = moduleStraight(file.readAll(), kPass + 2 * kRepeat);
    QString why;
    int rate = 0;
    const std::vector<float> recording = bench::readStereo(recordingPath, &why, &rate);
    if (straight.size() < static_cast<std::size_t>(kPass + 2 * kRepeat) * 2 || recording.empty() ||
        rate != kRate) {
        bench::printValue(prefix + QStringLiteral(".locked"), QStringLiteral("no: ") + why);
        return 1;
    }
    const std::vector<float> heard = mono(recording);
    const std::vector<float> plain = mono(straight);
    // A stretch of 2,048 frames across the change of notes at `at`, found wherever the recording holds
    // it: a stretch of one held note would be found again every period of the note. The frames of the
    // change where the recording holds it.
    const auto changesAt = [&plain, &heard](std::int64_t at) {
        const auto from = plain.begin() + at - static_cast<std::int64_t>(kSignature);
        std::vector<std::int64_t> found =
            matches(heard, std::vector<float>(from, from + 2 * static_cast<std::int64_t>(kSignature)), 0.95);
        for (std::int64_t& place : found)
            place += static_cast<std::int64_t>(kSignature);
        return found;
    };
    // The start of the part that repeats, as the song first reaches it (after the introduction) and
    // as the jump reaches it (after the third pattern): each start of a repeat is one or the other.
    std::vector<std::int64_t> starts = changesAt(kIntro);
    const std::vector<std::int64_t> jumps = changesAt(kPass);
    starts.insert(starts.end(), jumps.begin(), jumps.end());
    std::sort(starts.begin(), starts.end());
    printSteps(prefix + QStringLiteral(".repeat_step"), starts, static_cast<double>(kRepeat));
    // The song from its top: the second voice's first note, three rows in, is heard only there.
    const std::vector<std::int64_t> songStarts = changesAt(3 * kIntro / 8);
    bench::printValue(prefix + QStringLiteral(".song_starts"), static_cast<double>(songStarts.size()), 0);
    bench::printValue(prefix + QStringLiteral(".jumps_heard"), static_cast<double>(jumps.size()), 0);
    if (!starts.empty())
        bench::printValue(prefix + QStringLiteral(".minutes"),
                          static_cast<double>(std::ssize(heard) - starts.front()) / kRate / 60.0, 2);
    // Sample by sample against one repeat as libopenmpt renders it after the jump.
    const std::vector<float> repeat(straight.begin() + 2 * kPass, straight.begin() + 2 * (kPass + kRepeat));
    bench::printSeam(prefix + QStringLiteral(".seam"), bench::seamFigures(recording, repeat, 1e-5f));
    return 0;
}

std::int64_t onsetAfter(const std::vector<float>& audio, std::int64_t from, float level = 0.05f,
                        std::int64_t quiet = 2000)
{
    return test::burstOnset(audio, 1, from, level, quiet);
}

double frequencyAt(const std::vector<float>& audio, std::int64_t from, std::int64_t frames)
{
    return test::toneHz(audio, 1, kRate, from, frames);
}

double rmsAt(const std::vector<float>& audio, std::int64_t from, std::int64_t frames)
{
    double sum = 0;
    for (std::int64_t f = from; f < std::min<std::int64_t>(from + frames, std::ssize(audio)); ++f)
        sum += static_cast<double>(audio[static_cast<std::size_t>(f)]) * audio[static_cast<std::size_t>(f)];
    return std::sqrt(sum / static_cast<double>(frames));
}

struct Bursts
{
    std::vector<std::int64_t> intro;  // 440 Hz: the tune from the top
    std::vector<std::int64_t> repeat; // 660 Hz: a repeat of the loop
    std::vector<double> repeatLevel;
};

// Every burst's onset, sorted by its pitch. A quiet burst (a fade's end) is found down to -46 dBFS.
Bursts bursts(const std::vector<float>& audio)
{
    Bursts b;
    for (std::int64_t at = onsetAfter(audio, 0, 0.005f); at >= 0; at = onsetAfter(audio, at + 500, 0.005f)) {
        if (at + 4200 > std::ssize(audio))
            break;
        const double hz = frequencyAt(audio, at + 100, 4000);
        if (std::fabs(hz - 440.0) < 20.0)
            b.intro.push_back(at);
        else if (std::fabs(hz - 660.0) < 20.0) {
            b.repeat.push_back(at);
            b.repeatLevel.push_back(rmsAt(audio, at + 100, 4000));
        }
    }
    return b;
}

int runTune(const QString& path, const QString& recordingPath, const QString& prefix)
{
    // libgme's own period of the loop: from its render of eight repeats through the decoder.
    audio::OpenResult opened = audio::openDecoder(path.toStdString());
    if (!opened.decoder)
        return 1;
    const std::int64_t frames = test::kLoopingTuneIntroFrames + 9 * test::kLoopingTuneLoopFrames;
    std::vector<float> rendered(static_cast<std::size_t>(frames) * 2);
    if (opened.decoder->read(rendered.data(), static_cast<int>(frames)) != frames)
        return 1;
    const Bursts own = bursts(mono(rendered));
    if (own.repeat.size() < 3)
        return 1;
    const double period = static_cast<double>(own.repeat.back() - own.repeat.front()) /
                          static_cast<double>(own.repeat.size() - 1);
    bench::printValue(prefix + QStringLiteral(".period"), period, 2);

    QString why;
    int rate = 0;
    const std::vector<float> recording = bench::readStereo(recordingPath, &why, &rate);
    if (recording.empty() || rate != kRate) {
        bench::printValue(prefix + QStringLiteral(".error"), QStringLiteral("no recording: ") + why);
        return 1;
    }
    // Sample by sample against libgme's render straight through, as long as the recording: a program
    // that plays the tune as libgme renders it adds and loses nothing anywhere.
    audio::OpenResult straight = audio::openDecoder(path.toStdString());
    std::vector<float> whole(recording.size() + static_cast<std::size_t>(kRate) * 2);
    if (!straight.decoder ||
        straight.decoder->read(whole.data(), static_cast<int>(whole.size() / 2)) != std::ssize(whole) / 2)
        return 1;
    bench::printSeam(prefix + QStringLiteral(".seam"), bench::seamFigures(recording, whole, 1e-5f));
    const Bursts heard = bursts(mono(recording));
    if (heard.repeat.empty()) {
        bench::printValue(prefix + QStringLiteral(".error"), QStringLiteral("no repeat heard"));
        return 1;
    }
    // Repeats in a row (no restart from the top between them): each against the one before, and
    // against k periods after the first of the row.
    std::vector<std::int64_t> row;
    double low = 0, high = 0, driftLow = 0, driftHigh = 0;
    int steps = 0;
    std::size_t nextIntro = 0;
    for (const std::int64_t at : heard.repeat) {
        while (nextIntro < heard.intro.size() && heard.intro[nextIntro] < at) {
            row.clear(); // the tune started again from the top
            ++nextIntro;
        }
        row.push_back(at);
        if (row.size() < 2)
            continue;
        const double step = static_cast<double>(row.back() - row[row.size() - 2]) - period;
        const double drift =
            static_cast<double>(row.back() - row.front()) - period * static_cast<double>(row.size() - 1);
        low = steps == 0 ? step : std::min(low, step);
        high = steps == 0 ? step : std::max(high, step);
        driftLow = steps == 0 ? drift : std::min(driftLow, drift);
        driftHigh = steps == 0 ? drift : std::max(driftHigh, drift);
        ++steps;
    }
    bench::printValue(prefix + QStringLiteral(".repeat_step_count"), steps, 0);
    bench::printValue(prefix + QStringLiteral(".repeat_step_min"), low, 1);
    bench::printValue(prefix + QStringLiteral(".repeat_step_max"), high, 1);
    bench::printValue(prefix + QStringLiteral(".drift_min"), driftLow, 1);
    bench::printValue(prefix + QStringLiteral(".drift_max"), driftHigh, 1);
    bench::printValue(prefix + QStringLiteral(".repeats"), static_cast<double>(heard.repeat.size()), 0);
    // Restarts from the top after the first start, and what each adds against the loop's period: the
    // frames from the last repeat before it to the first repeat after it, less one period.
    bench::printValue(prefix + QStringLiteral(".restarts"),
                      static_cast<double>(heard.intro.empty() ? 0 : heard.intro.size() - 1), 0);
    std::vector<double> added;
    for (std::size_t i = 1; i < heard.intro.size(); ++i) {
        const auto after = std::lower_bound(heard.repeat.begin(), heard.repeat.end(), heard.intro[i]);
        if (after == heard.repeat.begin() || after == heard.repeat.end())
            continue;
        added.push_back(static_cast<double>(*after - *(after - 1)) - period);
    }
    if (!added.empty())
        bench::printValue(prefix + QStringLiteral(".restart_added"), added[added.size() / 2], 0);
    const double first = heard.repeatLevel.front();
    const double quietest = *std::min_element(heard.repeatLevel.begin(), heard.repeatLevel.end());
    bench::printValue(prefix + QStringLiteral(".quietest_repeat_db"), 20.0 * std::log10(quietest / first), 1);
    bench::printValue(prefix + QStringLiteral(".minutes"),
                      static_cast<double>(std::ssize(recording) / 2 - heard.repeat.front()) / kRate / 60.0,
                      2);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (mode == QLatin1String("files") && argc == 3) {
        const QDir dir(QFileInfo(QString::fromLocal8Bit(argv[2])).absoluteFilePath());
        dir.mkpath(QStringLiteral("."));
        const bool written =
            test::writeBytes(dir.filePath(QStringLiteral("song.mod")),
                             test::modFile(test::jumpingModule())) &&
            test::writeBytes(dir.filePath(QStringLiteral("tune.vgm")), test::vgmFile(test::loopingTune()));
        return written ? 0 : 1;
    }
    if (mode == QLatin1String("module") && argc == 5)
        return runModule(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                         QString::fromLocal8Bit(argv[4]));
    if (mode == QLatin1String("tune") && argc == 5)
        return runTune(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                       QString::fromLocal8Bit(argv[4]));
    return usage();
}
