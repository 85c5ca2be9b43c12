#include "LoopAnalysis.h"

#include "testkit/AudioSeamAnalyser.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace qb::bench {

namespace {

constexpr double kSilentDb = -120.0;

// Root mean square of one channel (0 left, 1 right) over `frames` frames from `from`.
double rms(const std::vector<float>& audio, int channel, std::int64_t from, std::int64_t frames)
{
    const std::int64_t total = static_cast<std::int64_t>(audio.size() / 2);
    from = std::max<std::int64_t>(from, 0);
    const std::int64_t to = std::min(from + frames, total);
    if (to <= from)
        return 0;
    double sum = 0;
    for (std::int64_t i = from; i < to; ++i) {
        const double s = audio[static_cast<std::size_t>(2 * i + channel)];
        sum += s * s;
    }
    return std::sqrt(sum / static_cast<double>(to - from));
}

double ratioDb(double a, double b)
{
    if (b <= 0)
        return 0;
    if (a <= 0)
        return kSilentDb;
    return std::max(kSilentDb, 20.0 * std::log10(a / b));
}

} // namespace

SeamFigures seamFigures(const std::vector<float>& recording, const std::vector<float>& reference,
                        float tolerance)
{
    const auto report = test::AudioSeamAnalyser::analyse(recording, reference, tolerance);
    SeamFigures f;
    f.locked = report.locked;
    f.seams = static_cast<int>(report.seams.size());
    const auto worst = report.worstSeam();
    f.maxInserted = worst.first;
    f.maxDropped = worst.second;
    if (f.seams > 0) {
        f.meanInserted = static_cast<double>(report.insertedAtSeams) / f.seams;
        f.meanDropped = static_cast<double>(report.droppedAtSeams) / f.seams;
    }
    f.insertedInPasses = report.insertedInPasses;
    f.droppedInPasses = report.droppedInPasses;
    f.dropouts = static_cast<int>(
        std::count_if(report.events.begin(), report.events.end(), [](const auto& e) { return !e.atSeam; }));
    f.minutes =
        static_cast<double>(report.framesAnalysed - report.offset - report.unmatchedTail) / 44100.0 / 60.0;
    f.summary = report.summary();
    return f;
}

std::vector<float> peerReference(const std::vector<float>& peerPass, const std::vector<float>& ourPass,
                                 std::int64_t* offset, QString* note)
{
    const std::int64_t length = static_cast<std::int64_t>(ourPass.size() / 2);
    const std::int64_t peerFrames = static_cast<std::int64_t>(peerPass.size() / 2);
    // Compare a stretch well inside the music, away from the decoders' start-up.
    const std::int64_t probe = std::min<std::int64_t>(8192, length / 4);
    const std::int64_t window = std::min<std::int64_t>(4096, length / 4);
    std::int64_t best = 0;
    double bestError = std::numeric_limits<double>::max();
    for (std::int64_t o = 0; o <= std::min<std::int64_t>(16384, peerFrames - probe - window); ++o) {
        double error = 0;
        for (std::int64_t i = probe * 2; i < (probe + window) * 2 && error < bestError; ++i) {
            const double d = static_cast<double>(peerPass[static_cast<std::size_t>(o * 2 + i)]) -
                             ourPass[static_cast<std::size_t>(i)];
            error += d * d;
        }
        if (error < bestError) {
            bestError = error;
            best = o;
        }
    }
    *offset = best;
    std::vector<float> ref(peerPass.begin() + best * 2,
                           peerPass.begin() + std::min(peerFrames, best + length) * 2);
    const std::int64_t missing = length - static_cast<std::int64_t>(ref.size() / 2);
    if (missing > 0) {
        // The peer's single pass ends early: the rest of the music comes from our decoder.
        ref.insert(ref.end(), ourPass.end() - missing * 2, ourPass.end());
        *note = QStringLiteral("single pass %1 frames short of the music").arg(missing);
    }
    return ref;
}

MidiLoopFigures midiLoopFigures(const std::vector<float>& recording, std::int64_t songFrames,
                                std::int64_t markerFrame)
{
    MidiLoopFigures f;
    const std::int64_t total = static_cast<std::int64_t>(recording.size() / 2);
    float peak = 0;
    for (float s : recording)
        peak = std::max(peak, std::fabs(s));
    if (peak <= 0) {
        f.why = QStringLiteral("silent recording");
        return f;
    }
    // The marker is by far the loudest sound: its first frame above a third of the peak is its onset.
    const float threshold = peak * 0.3f;
    auto loud = [&](std::int64_t i) {
        return std::max(std::fabs(recording[static_cast<std::size_t>(2 * i)]),
                        std::fabs(recording[static_cast<std::size_t>(2 * i + 1)])) >= threshold;
    };
    std::vector<std::int64_t> onsets;
    for (std::int64_t i = 0; i < total; ++i) {
        if (loud(i)) {
            onsets.push_back(i);
            // No pass is shorter than the song, and the notes other than the marker, which come later
            // in the song, are quieter than it only by so much.
            i += songFrames * 9 / 10;
        }
    }
    // The last onset needs room after it for the seam windows; one cut off by the end is dropped.
    f.passes = static_cast<int>(onsets.size());
    if (f.passes < 2) {
        f.why = QStringLiteral("fewer than two passes found");
        return f;
    }
    f.minDrift = std::numeric_limits<std::int64_t>::max();
    f.maxDrift = std::numeric_limits<std::int64_t>::min();
    double sumAbs = 0;
    for (std::size_t k = 1; k < onsets.size(); ++k) {
        const std::int64_t d = onsets[k] - onsets[0] - static_cast<std::int64_t>(k) * songFrames;
        f.drift.push_back(d);
        f.minDrift = std::min(f.minDrift, d);
        f.maxDrift = std::max(f.maxDrift, d);
        f.maxAbsDrift = std::max(f.maxAbsDrift, d < 0 ? -d : d);
        sumAbs += static_cast<double>(d < 0 ? -d : d);
        const std::int64_t step = onsets[k] - onsets[k - 1] - songFrames;
        f.minStep = k == 1 ? step : std::min(f.minStep, step);
        f.maxStep = k == 1 ? step : std::max(f.maxStep, step);
        f.maxAbsStep = std::max(f.maxAbsStep, step < 0 ? -step : step);
    }
    f.meanAbsDrift = sumAbs / static_cast<double>(f.drift.size());

    // Windows around each seam, kept clear of the block-grid uncertainty of where a pass starts.
    constexpr std::int64_t kGuard = 256;
    constexpr std::int64_t kWindow = 2205;
    double sumDb[2] = {0, 0};
    double sumBefore[2] = {0, 0};
    MidiLoopFigures::Tail* tails[2] = {&f.release, &f.reverb};
    for (std::size_t k = 1; k < onsets.size(); ++k) {
        const std::int64_t seam = onsets[k] - markerFrame;
        if (seam + kGuard + kWindow > total)
            break;
        double before[2];
        double after[2];
        for (int c = 0; c < 2; ++c) {
            before[c] = rms(recording, c, seam - kGuard - kWindow, kWindow);
            after[c] = rms(recording, c, seam + kGuard, kWindow);
        }
        if (before[0] < 1e-5 || before[1] < 1e-5)
            continue; // the previous pass had fallen silent: a gap, nothing to carry over
        ++f.seamsMeasured;
        for (int c = 0; c < 2; ++c) {
            const double db = ratioDb(after[c], before[c]);
            sumDb[c] += db;
            sumBefore[c] += before[c];
            tails[c]->minDb = f.seamsMeasured == 1 ? db : std::min(tails[c]->minDb, db);
            if (db >= -12.0)
                ++tails[c]->kept;
        }
    }
    if (f.seamsMeasured > 0) {
        for (int c = 0; c < 2; ++c) {
            tails[c]->meanDb = sumDb[c] / f.seamsMeasured;
            tails[c]->firstPassDb = ratioDb(rms(recording, c, onsets[0] - markerFrame + kGuard, kWindow),
                                            sumBefore[c] / f.seamsMeasured);
        }
    }
    f.ok = true;
    return f;
}

void printValue(const QString& key, const QString& value)
{
    std::printf("%s=%s\n", qPrintable(key), qPrintable(value));
    std::fflush(stdout);
}

void printValue(const QString& key, double value, int decimals)
{
    printValue(key, QString::number(value, 'f', decimals));
}

void printSeam(const QString& prefix, const SeamFigures& f)
{
    printValue(prefix + QStringLiteral(".locked"), f.locked ? QStringLiteral("yes") : QStringLiteral("no"));
    printValue(prefix + QStringLiteral(".seams"), f.seams, 0);
    printValue(prefix + QStringLiteral(".ins_mean"), f.meanInserted, 1);
    printValue(prefix + QStringLiteral(".ins_max"), static_cast<double>(f.maxInserted), 0);
    printValue(prefix + QStringLiteral(".drop_mean"), f.meanDropped, 1);
    printValue(prefix + QStringLiteral(".drop_max"), static_cast<double>(f.maxDropped), 0);
    printValue(prefix + QStringLiteral(".ins_in_passes"), static_cast<double>(f.insertedInPasses), 0);
    printValue(prefix + QStringLiteral(".drop_in_passes"), static_cast<double>(f.droppedInPasses), 0);
    printValue(prefix + QStringLiteral(".dropouts"), f.dropouts, 0);
    printValue(prefix + QStringLiteral(".minutes"), f.minutes, 3);
    printValue(prefix + QStringLiteral(".summary"), f.summary);
}

void printMidi(const QString& prefix, const MidiLoopFigures& f)
{
    printValue(prefix + QStringLiteral(".ok"), f.ok ? QStringLiteral("yes") : QStringLiteral("no: ") + f.why);
    if (!f.ok)
        return;
    printValue(prefix + QStringLiteral(".passes"), f.passes, 0);
    printValue(prefix + QStringLiteral(".drift_min"), static_cast<double>(f.minDrift), 0);
    printValue(prefix + QStringLiteral(".drift_max"), static_cast<double>(f.maxDrift), 0);
    printValue(prefix + QStringLiteral(".drift_absmax"), static_cast<double>(f.maxAbsDrift), 0);
    printValue(prefix + QStringLiteral(".drift_absmean"), f.meanAbsDrift, 1);
    printValue(prefix + QStringLiteral(".step_min"), static_cast<double>(f.minStep), 0);
    printValue(prefix + QStringLiteral(".step_max"), static_cast<double>(f.maxStep), 0);
    printValue(prefix + QStringLiteral(".step_absmax"), static_cast<double>(f.maxAbsStep), 0);
    const std::pair<const char*, const MidiLoopFigures::Tail*> tails[] = {{"release", &f.release},
                                                                          {"reverb", &f.reverb}};
    for (const auto& [name, tail] : tails) {
        const QString p = prefix + QLatin1Char('.') + QLatin1String(name);
        printValue(p + QStringLiteral("_seams"),
                   QStringLiteral("%1/%2").arg(tail->kept).arg(f.seamsMeasured));
        printValue(p + QStringLiteral("_min_db"), tail->minDb, 1);
        printValue(p + QStringLiteral("_mean_db"), tail->meanDb, 1);
        printValue(p + QStringLiteral("_first_pass_db"), tail->firstPassDb, 1);
    }
    QString drifts;
    for (std::int64_t d : f.drift)
        drifts += QString::number(d) + QLatin1Char(' ');
    printValue(prefix + QStringLiteral(".drifts"), drifts.trimmed());
}

} // namespace qb::bench
