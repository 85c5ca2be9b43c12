#include "sound/engine/AudioEngine.h"

#include "sound/decode/Decoders.h"
#include "sound/engine/Device.h"
#include "testkit/AudioFiles.h"
#include "testkit/AudioSeamAnalyser.h"
#include "testkit/CaptureOutput.h"

#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <limits>
#include <mutex>
#include <random>

using namespace qb::audio;
using namespace qb::test;

namespace {

constexpr int kPeriod = 512;

// Frames whose values tell their position (frame i holds (i + 1) / 2^20 and its negative: no frame
// passes for silence), a tail that is a constant, and a count of silence() calls.
class CountingDecoder final : public Decoder
{
public:
    explicit CountingDecoder(std::int64_t length, int* silenced = nullptr, float tail = 0.0f)
        : m_length(length), m_silenced(silenced), m_tail(tail)
    {
    }
    static float valueOf(std::int64_t frame) { return static_cast<float>(frame + 1) / 1048576.0f; }

    int read(float* out, int frames) override
    {
        if (m_done)
            return 0;
        const int n = static_cast<int>(std::min<std::int64_t>(frames, m_length - m_position));
        for (int i = 0; i < n; ++i) {
            out[i * 2] = valueOf(m_position + i);
            out[i * 2 + 1] = -valueOf(m_position + i);
        }
        m_position += n;
        m_done = n < frames;
        return n;
    }
    bool seek(std::int64_t frame) override
    {
        m_position = std::clamp<std::int64_t>(frame, 0, m_length);
        m_done = false;
        return true;
    }
    void renderTail(float* out, int frames) override { std::fill_n(out, frames * 2, m_tail); }
    void silence() override
    {
        if (m_silenced)
            ++*m_silenced;
    }
    std::int64_t lengthFrames() const override { return m_length; }
    std::int64_t positionFrames() const override { return m_position; }

private:
    const std::int64_t m_length;
    std::int64_t m_position = 0;
    bool m_done = false;
    int* m_silenced;
    const float m_tail;
};

// Silence whose reads, once the gate is closed, wait inside read() until it opens again: a decoder
// caught in the middle of a long piece of work. Counts its reads.
class GatedDecoder final : public Decoder
{
public:
    int read(float* out, int frames) override
    {
        std::unique_lock lock(m_mutex);
        ++m_reads;
        m_inside = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_open; });
        m_inside = false;
        std::fill_n(out, frames * kChannels, 0.0f);
        return frames;
    }
    bool seek(std::int64_t) override { return true; }
    std::int64_t lengthFrames() const override { return -1; }
    std::int64_t positionFrames() const override { return 0; }

    void close()
    {
        std::lock_guard lock(m_mutex);
        m_open = false;
    }
    void open()
    {
        {
            std::lock_guard lock(m_mutex);
            m_open = true;
        }
        m_changed.notify_all();
    }
    // Waits (up to ten seconds) until a read is inside, held at the closed gate.
    bool waitUntilHeld()
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [this] { return m_inside && !m_open; });
    }
    int reads()
    {
        std::lock_guard lock(m_mutex);
        return m_reads;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = true;
    bool m_inside = false;
    int m_reads = 0;
};

// An engine on a manually clocked capture: everything happens on the test's thread.
struct Rig
{
    explicit Rig(int queueMs = 500, int period = kPeriod)
    {
        auto output = std::make_unique<CaptureOutput>(period, CaptureOutput::Clock::Manual);
        capture = output.get();
        engine = std::make_unique<AudioEngine>(std::move(output), AudioEngine::Options{queueMs, false});
    }
    CaptureOutput* capture = nullptr;
    std::unique_ptr<AudioEngine> engine;
};

// Frame `frame` of an interleaved recording, left channel.
float left(const std::vector<float>& recording, std::int64_t frame)
{
    return recording[static_cast<std::size_t>(frame * 2)];
}

bool allSilent(const std::vector<float>& samples, std::size_t from = 0)
{
    return std::all_of(samples.begin() + static_cast<std::ptrdiff_t>(from), samples.end(),
                       [](float v) { return v == 0.0f; });
}

// What the player's loop monitor does on each tick; true when it restarted the device.
bool monitorTick(Device& device)
{
    if (device.mode() == Device::Mode::Playing)
        return false;
    device.seek(0);
    device.play();
    return true;
}

} // namespace

class AudioEngineTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    std::unique_ptr<Decoder> open(const QString& kind, std::int64_t frames)
    {
        // "wav48": a WAVE file at 48 kHz, resampled by the decoder.
        const QString path = m_dir.filePath(
            QStringLiteral("loop-%1-%2.%3").arg(frames).arg(kind).arg(kind == "mp3" ? "mp3" : "wav"));
        if (!QFile::exists(path)) {
            const bool written = kind == "mp3" ? writeMp3(path, frames)
                                               : writeWav(path, frames, kind == "wav48" ? 48000 : 44100);
            if (!written)
                return nullptr;
        }
        return kind == "mp3" ? openDecoder(path.toStdString()).decoder
                             : openDecoder(path.toStdString()).decoder;
    }

private slots:
    // The player's loop: the monitor looks every `tickFrames` and restarts a stopped device from its
    // start. When it looks at least once per queue length, the restart lands right behind the end:
    // not a frame is added or lost at any seam. When it looks less often, the analyser must see the gap:
    // it holds the decoder's tail (silence for a file) for a few seconds, then silence, and the next
    // pass follows what was queued when the restart came: at once once the tail has run out.
    void aRestartBehindTheEndAddsAndLosesNothing_data()
    {
        QTest::addColumn<QString>("source"); // "counter": frames that tell their position, a tail of 0.25
        QTest::addColumn<int>("fileFrames");
        QTest::addColumn<int>("queueMs");
        QTest::addColumn<int>("tickFrames");
        QTest::addColumn<int>("passes");
        QTest::addColumn<bool>("inTime"); // the monitor looks at least once per queue length
        const int frames = 44100 + 4321;  // not a multiple of any period
        QTest::newRow("wav, tick every period") << "wav" << frames << 500 << kPeriod << 6 << true;
        QTest::newRow("wav, tick every 10 ms") << "wav" << frames << 500 << 441 << 6 << true;
        QTest::newRow("wav, 50 ms queue, tick every 10 ms") << "wav" << frames << 50 << 441 << 6 << true;
        QTest::newRow("wav at 48 kHz, tick every 10 ms") << "wav48" << frames << 500 << 441 << 6 << true;
        QTest::newRow("mp3, tick every period") << "mp3" << frames << 500 << kPeriod << 6 << true;
        QTest::newRow("mp3, tick every 10 ms") << "mp3" << frames << 500 << 441 << 6 << true;
        QTest::newRow("mp3, 50 ms queue, tick every 10 ms") << "mp3" << frames << 50 << 441 << 6 << true;
        QTest::newRow("wav, 100 ms queue, tick every 300 ms: gaps")
            << "wav" << 30000 << 100 << 13230 << 4 << false;
        QTest::newRow("nobody looks for five seconds: the tail, then silence")
            << "counter" << 3000 << 500 << 5 * 44100 + kPeriod << 2 << false;
    }
    void aRestartBehindTheEndAddsAndLosesNothing()
    {
        QFETCH(QString, source);
        QFETCH(int, fileFrames);
        QFETCH(int, queueMs);
        QFETCH(int, tickFrames);
        QFETCH(int, passes);
        QFETCH(bool, inTime);
        constexpr float kCounterTail = 0.25f;
        const float tail = source == QLatin1String("counter") ? kCounterTail : 0.0f;
        const auto make = [&]() -> std::unique_ptr<Decoder> {
            if (source == QLatin1String("counter"))
                return std::make_unique<CountingDecoder>(fileFrames, nullptr, kCounterTail);
            return open(source, fileFrames);
        };
        std::unique_ptr<Decoder> reference = make();
        QVERIFY(reference);
        // A pass as it sounds in a loop: a resampler looks back across the seam into the previous pass,
        // so the very first pass may differ in its first frame.
        decodePass(*reference);
        QVERIFY(reference->seek(0));
        const std::vector<float> pass = decodePass(*reference);
        const std::int64_t length = static_cast<std::int64_t>(pass.size() / 2);

        Rig rig(queueMs);
        auto device = rig.engine->addDevice(make());
        device->play();
        std::vector<std::int64_t> restarts; // the recording frame at which each restart was asked for
        while (rig.capture->capturedFrames() <
               passes * std::max<std::int64_t>(length, tickFrames) + length / 2) {
            if (monitorTick(*device))
                restarts.push_back(rig.capture->capturedFrames());
            rig.capture->advance(tickFrames);
        }

        const std::vector<float> heard = rig.capture->captured();
        const auto report = AudioSeamAnalyser::analyse(heard, pass);
        qInfo("%s: %s", qPrintable(source), qPrintable(report.summary()));
        QVERIFY(report.locked);
        QCOMPARE(report.droppedAtSeams, 0);
        QCOMPARE(report.droppedInPasses, 0);
        QCOMPARE(rig.engine->stats().underrunFrames, 0);
        if (inTime) {
            QVERIFY(report.offset <= 1);
            QCOMPARE(report.offset + report.firstFrame, report.offset == 0 ? 0 : 1);
            QCOMPARE(static_cast<int>(report.seams.size()), passes);
            for (std::size_t i = 0; i < report.seams.size(); ++i)
                QCOMPARE(report.seams[i], static_cast<std::int64_t>(i + 1) * length);
            QCOMPARE(report.insertedAtSeams, 0);
            QVERIFY(report.events.empty());
            QCOMPARE(report.unmatchedTail, 0);
            return;
        }
        QVERIFY(report.seams.size() >= 2);
        QVERIFY(report.insertedAtSeams > 0);
        for (const AudioSeamAnalyser::Event& gap : report.events) {
            const QString where = QStringLiteral("gap at %1").arg(gap.captureFrame);
            QVERIFY2(gap.atSeam && gap.dropped == 0, qPrintable(where));
            // The next pass follows what was queued when the restart came.
            const std::int64_t end = gap.captureFrame + gap.inserted;
            const auto restart = std::upper_bound(restarts.begin(), restarts.end(), end);
            QVERIFY2(restart != restarts.begin(), qPrintable(where));
            QVERIFY2(end - *std::prev(restart) <= std::int64_t{queueMs} * kEngineRate / 1000,
                     qPrintable(where));
            std::int64_t rings = 0;
            while (rings < gap.inserted && left(heard, gap.captureFrame + rings) == tail)
                ++rings;
            for (std::int64_t f = gap.captureFrame + rings; f < gap.captureFrame + gap.inserted; ++f)
                QVERIFY2(left(heard, f) == 0.0f, qPrintable(where));
            // The tail rings for a few seconds only.
            QVERIFY2(rings >= std::min<std::int64_t>(gap.inserted, 2 * kEngineRate + 1), qPrintable(where));
            QVERIFY2(gap.inserted < 4 * kEngineRate || rings < gap.inserted, qPrintable(where));
            // Once the tail has run out, nothing is queued: a restart plays at once.
            if (rings < gap.inserted)
                QCOMPARE(end, *std::prev(restart));
        }
    }

    void modesFollowThePass()
    {
        Rig rig;
        auto device = rig.engine->addDevice(std::make_unique<CountingDecoder>(10000));
        QCOMPARE(device->mode(), Device::Mode::Stopped);
        QCOMPARE(device->lengthFrames(), 10000);
        QCOMPARE(device->positionFrames(), 0);
        rig.capture->advance(kPeriod);
        QVERIFY(allSilent(rig.capture->takeCaptured()));

        device->play();
        QCOMPARE(device->mode(), Device::Mode::Playing);
        rig.capture->advance(kPeriod);
        // The end is reported as soon as the last frame is queued, long before it is heard.
        QCOMPARE(device->mode(), Device::Mode::Stopped);
        QCOMPARE(device->positionFrames(), 10000);
        rig.capture->advance(20000 - kPeriod);
        const std::vector<float> heard = rig.capture->takeCaptured();
        for (std::int64_t i = 0; i < 10000; ++i)
            QCOMPARE(left(heard, i), CountingDecoder::valueOf(i));
        // A plain file's tail is silence.
        QVERIFY(allSilent(heard, 20000));
        QCOMPARE(device->mode(), Device::Mode::Stopped);
        QCOMPARE(rig.engine->stats().underrunFrames, 0);
    }

    // Stop is heard at once: the output drops what it holds unplayed (here a server's buffer of 1500
    // frames) and gives it back. Play goes on with the first frame nobody heard, with no gap, and the
    // decoder is left as it was (a synthesiser's sounding notes go on).
    void stopHoldsWhatWasNotHeardAndPlayGoesOnFromIt()
    {
        constexpr std::int64_t kServerBuffer = 1500;
        int silenced = 0;
        Rig rig;
        rig.capture->setServerBuffer(kServerBuffer);
        auto device = rig.engine->addDevice(std::make_unique<CountingDecoder>(100000, &silenced));
        device->play();
        rig.capture->advance(10 * kPeriod);
        device->stop();
        QCOMPARE(device->mode(), Device::Mode::Stopped);
        rig.capture->advance(kPeriod);
        const std::int64_t heard = 10 * kPeriod - kServerBuffer;
        const std::vector<float> before = rig.capture->takeCaptured();
        QCOMPARE(static_cast<std::int64_t>(before.size() / 2), heard + kPeriod);
        QCOMPARE(left(before, heard - 1), CountingDecoder::valueOf(heard - 1));
        QVERIFY(allSilent(before, static_cast<std::size_t>(heard) * 2));
        QCOMPARE(device->positionFrames(), heard);
        QCOMPARE(silenced, 0);

        device->play();
        rig.capture->advance(4 * kPeriod);
        const std::vector<float> resumed = rig.capture->takeCaptured();
        for (std::int64_t i = 0; i < 4 * kPeriod; ++i)
            QCOMPARE(left(resumed, i), CountingDecoder::valueOf(heard + i));
        QCOMPARE(device->positionFrames(), heard + 4 * kPeriod);
        QCOMPARE(rig.engine->stats().underrunFrames, 0);

        // A seek after Stop drops what was held: the decoder moves, and falls silent first.
        device->stop();
        rig.capture->advance(kPeriod);
        device->seek(100);
        device->play();
        rig.capture->takeCaptured();
        rig.capture->advance(kPeriod);
        QCOMPARE(left(rig.capture->takeCaptured(), 0), CountingDecoder::valueOf(100));
        QCOMPARE(silenced, 1);
    }

    void readyIsWhatEveryPlayingDeviceHasQueued()
    {
        Rig rig;
        QCOMPARE(rig.capture->readyFrames(), 0);
        auto first = std::make_unique<CountingDecoder>(100000);
        const CountingDecoder* firstDecoder = first.get();
        auto device = rig.engine->addDevice(std::move(first));
        device->play();
        rig.capture->advance(kPeriod);
        const std::int64_t queued = firstDecoder->positionFrames() - device->positionFrames();
        QVERIFY(queued > kPeriod);
        QCOMPARE(rig.capture->readyFrames(), queued);

        // A device that has just started and has nothing decoded yet holds the mix back.
        auto second = rig.engine->addDevice(std::make_unique<CountingDecoder>(100000));
        rig.capture->advance(kPeriod);
        QCOMPARE(rig.capture->readyFrames(), firstDecoder->positionFrames() - device->positionFrames());
        second->play();
        QCOMPARE(rig.capture->readyFrames(), 0);
        // A stopped device is silent, not starved: it holds nothing back.
        device->stop();
        rig.capture->advance(kPeriod);
        QVERIFY(rig.capture->readyFrames() > 0);
        second->stop();
        QCOMPARE(rig.capture->readyFrames(), 0);
    }

    void pauseAndResume()
    {
        Rig rig;
        auto device = rig.engine->addDevice(std::make_unique<CountingDecoder>(100000));
        device->play();
        rig.capture->advance(2 * kPeriod + 100);
        device->pause();
        QCOMPARE(device->mode(), Device::Mode::Paused);
        QCOMPARE(device->positionFrames(), 2 * kPeriod + 100);
        rig.capture->takeCaptured();
        rig.capture->advance(kPeriod);
        QVERIFY(allSilent(rig.capture->takeCaptured()));
        device->resume();
        QCOMPARE(device->mode(), Device::Mode::Playing);
        rig.capture->advance(10);
        QCOMPARE(left(rig.capture->takeCaptured(), 0), CountingDecoder::valueOf(2 * kPeriod + 100));
        // Stop after pause stops; resume does nothing unless paused.
        device->pause();
        device->stop();
        QCOMPARE(device->mode(), Device::Mode::Stopped);
        device->resume();
        QCOMPARE(device->mode(), Device::Mode::Stopped);
    }

    void seekWhilePlayingStops()
    {
        Rig rig;
        auto device = rig.engine->addDevice(std::make_unique<CountingDecoder>(100000));
        device->play();
        rig.capture->advance(kPeriod);
        device->seek(50000);
        QCOMPARE(device->mode(), Device::Mode::Stopped);
        QCOMPARE(device->positionFrames(), 50000);
        rig.capture->takeCaptured();
        rig.capture->advance(kPeriod);
        QVERIFY(allSilent(rig.capture->takeCaptured()));
        device->play();
        rig.capture->advance(kPeriod);
        QCOMPARE(left(rig.capture->takeCaptured(), 0), CountingDecoder::valueOf(50000));
        // Seeking is clamped to the file.
        device->seek(1 << 30);
        QCOMPARE(device->positionFrames(), 100000);
        device->seek(-5);
        QCOMPARE(device->positionFrames(), 0);
    }

    void playFromTo()
    {
        Rig rig;
        auto device = rig.engine->addDevice(std::make_unique<CountingDecoder>(100000));
        device->play(1000, 1700);
        rig.capture->advance(2 * kPeriod);
        QCOMPARE(device->mode(), Device::Mode::Stopped);
        QCOMPARE(device->positionFrames(), 1700);
        const std::vector<float> heard = rig.capture->takeCaptured();
        for (std::int64_t i = 0; i < 700; ++i)
            QCOMPARE(left(heard, i), CountingDecoder::valueOf(1000 + i));
        QVERIFY(allSilent(heard, 1400));

        // A start position while playing starts over from there at once.
        device->play();
        rig.capture->advance(kPeriod);
        device->play(5);
        QCOMPARE(device->mode(), Device::Mode::Playing);
        rig.capture->takeCaptured();
        rig.capture->advance(kPeriod);
        QCOMPARE(left(rig.capture->takeCaptured(), 0), CountingDecoder::valueOf(5));
    }

    void removedDeviceFallsSilent()
    {
        Rig rig;
        auto device = rig.engine->addDevice(std::make_unique<CountingDecoder>(100000));
        device->play();
        rig.capture->advance(kPeriod);
        rig.engine->removeDevice(device);
        QCOMPARE(device->mode(), Device::Mode::Stopped);
        rig.capture->takeCaptured();
        rig.capture->advance(kPeriod);
        QVERIFY(allSilent(rig.capture->takeCaptured()));
        device->play();
        QCOMPARE(device->mode(), Device::Mode::Stopped);
        // A device let go without removeDevice() goes silent as well.
        auto other = rig.engine->addDevice(std::make_unique<CountingDecoder>(100000));
        other->play();
        rig.capture->advance(kPeriod);
        other.reset();
        rig.capture->takeCaptured();
        rig.capture->advance(kPeriod);
        QVERIFY(allSilent(rig.capture->takeCaptured()));
    }

    void devicesAreMixed()
    {
        Rig rig;
        auto a = rig.engine->addDevice(std::make_unique<CountingDecoder>(100000));
        auto b = rig.engine->addDevice(std::make_unique<CountingDecoder>(100000));
        a->play(100);
        b->play(200);
        rig.capture->advance(kPeriod);
        const std::vector<float> heard = rig.capture->takeCaptured();
        for (std::int64_t i = 0; i < kPeriod; ++i)
            QCOMPARE(left(heard, i), CountingDecoder::valueOf(100 + i) + CountingDecoder::valueOf(200 + i));
    }

    // A change of volume while playing is heard within one period, gliding there without a jump, and
    // holds exactly after it; values beyond the ends are the ends, and a set that is not a number is full.
    void theVolumeGlidesOverOnePeriodThenHolds()
    {
        Rig rig;
        auto device = rig.engine->addDevice(std::make_unique<CountingDecoder>(100000));
        device->play();
        rig.capture->advance(kPeriod);
        rig.capture->takeCaptured();
        rig.engine->setVolume(0.25f);
        rig.capture->advance(2 * kPeriod);
        const std::vector<float> heard = rig.capture->takeCaptured();
        float previous = 1.0f;
        for (std::int64_t i = 0; i < kPeriod; ++i) {
            const float gain = left(heard, i) / CountingDecoder::valueOf(kPeriod + i);
            QVERIFY2(gain <= previous + 1e-6f && gain >= 0.25f - 1e-6f, qPrintable(QString::number(i)));
            previous = gain;
        }
        for (std::int64_t i = kPeriod - 1; i < 2 * kPeriod; ++i)
            QCOMPARE(left(heard, i), CountingDecoder::valueOf(kPeriod + i) * 0.25f);

        rig.engine->setVolume(-3.0f);
        QCOMPARE(rig.engine->volume(), 0.0f);
        rig.engine->setVolume(7.0f);
        QCOMPARE(rig.engine->volume(), 1.0f);
        rig.engine->setVolume(0.5f);
        rig.engine->setVolume(std::nanf(""));
        QCOMPARE(rig.engine->volume(), 1.0f);
    }

    void theMixStaysWithinFullScale()
    {
        // A float WAVE file can hold anything: damaged values, and values far beyond full scale.
        constexpr int kFloatWav = 0x010000 | 0x0006; // libsndfile's WAV | FLOAT
        constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
        constexpr float kInf = std::numeric_limits<float>::infinity();
        const std::vector<float> damaged = {kNan,   0.25f, kInf, -0.25f, 1e30f,
                                            -1e30f, -kInf, 0.5f, 1.5f,   -1.0f};
        const std::vector<float> expected = {0.0f, 0.25f, 0.0f, -0.25f, 1.0f, -1.0f, 0.0f, 0.5f, 1.0f, -1.0f};
        // Loud on its own: two of these together reach 1.5 and -1.5; 0.4 twice stays 0.8.
        const std::vector<float> loud = {0.75f, -0.75f, 0.4f, -0.4f};
        const std::vector<float> loudTwice = {1.0f, -1.0f, 0.8f, -0.8f};
        const auto repeat = [](const std::vector<float>& frames, std::size_t times) {
            std::vector<float> out;
            for (std::size_t i = 0; i < times; ++i)
                out.insert(out.end(), frames.begin(), frames.end());
            return out;
        };
        const QString damagedPath = m_dir.filePath(QStringLiteral("damaged.wav"));
        const QString loudPath = m_dir.filePath(QStringLiteral("loud.wav"));
        QVERIFY(writeSoundFile(damagedPath, kFloatWav, kEngineRate, 2, repeat(damaged, 1000)));
        QVERIFY(writeSoundFile(loudPath, kFloatWav, kEngineRate, 2, repeat(loud, 2000)));

        Rig rig;
        auto file = rig.engine->addDevice(openDecoder(damagedPath.toStdString()).decoder);
        file->play();
        rig.capture->advance(5000);
        std::vector<float> heard = rig.capture->takeCaptured();
        for (std::size_t i = 0; i < heard.size(); ++i) {
            const float want = i < 10000 ? expected[i % expected.size()] : 0.0f;
            QVERIFY2(heard[i] == want, qPrintable(QStringLiteral("sample %1: %2").arg(i).arg(heard[i])));
        }
        rig.engine->removeDevice(file);

        auto a = rig.engine->addDevice(openDecoder(loudPath.toStdString()).decoder);
        auto b = rig.engine->addDevice(openDecoder(loudPath.toStdString()).decoder);
        a->play();
        b->play();
        rig.capture->advance(4000);
        heard = rig.capture->takeCaptured();
        for (std::size_t i = 0; i < heard.size(); ++i)
            QVERIFY2(heard[i] == loudTwice[i % loudTwice.size()],
                     qPrintable(QStringLiteral("sample %1: %2").arg(i).arg(heard[i])));
    }

    void playFromWhilePlayingLeavesAtMostOnePeriodOfSilence()
    {
        // The feeder sleeps a round (a fifth of the queue) between top-ups. "play ... from" while
        // playing discards the queue, whose room comes back only with the output's next period; the new
        // frames must follow then, not a round later. Tried at every point of the feeder's round.
        Rig rig;
        auto device = rig.engine->addDevice(std::make_unique<CountingDecoder>(1000000));
        device->play();
        constexpr int kHeardPeriods = 24; // longer than a round
        for (int offset = 1; offset <= 10; ++offset) {
            rig.capture->advance(offset * kPeriod);
            const std::int64_t from = 1000 * offset;
            device->play(from);
            rig.capture->takeCaptured();
            rig.capture->advance(kHeardPeriods * kPeriod);
            const std::vector<float> heard = rig.capture->takeCaptured();
            std::int64_t silent = 0;
            std::int64_t next = from;
            for (std::int64_t i = 0; i < kHeardPeriods * kPeriod; ++i) {
                if (left(heard, i) == 0.0f)
                    ++silent;
                else
                    QCOMPARE(left(heard, i), CountingDecoder::valueOf(next++));
            }
            QVERIFY2(silent <= kPeriod,
                     qPrintable(QStringLiteral("from %1: %2 frames of silence").arg(from).arg(silent)));
        }
    }

    void devicesOutliveTheEngine()
    {
        std::shared_ptr<Device> device;
        {
            Rig rig;
            device = rig.engine->addDevice(std::make_unique<CountingDecoder>(1000));
            device->play();
        }
        QCOMPARE(device->mode(), Device::Mode::Stopped);
        // With no engine to play on, play() changes nothing; the rest keeps answering.
        device->play();
        QCOMPARE(device->mode(), Device::Mode::Stopped);
        QCOMPARE(device->positionFrames(), std::int64_t(0));
        device->seek(10);
        QCOMPARE(device->positionFrames(), std::int64_t(10));
        QCOMPARE(device->lengthFrames(), std::int64_t(1000));
    }

    // Stop and close never wait for the decoder: with the feeder held inside a read, both come back,
    // and once the read ends the feeder reads the closed device no more. (A file that costs much to
    // decode costs each read a bounded time; the feeder is never stopped inside one.)
    void stopAndCloseDoNotWaitForARead()
    {
        auto decoder = std::make_unique<GatedDecoder>();
        GatedDecoder& gate = *decoder;
        auto engine = std::make_unique<AudioEngine>(
            std::make_unique<CaptureOutput>(kPeriod, CaptureOutput::Clock::RealTime),
            AudioEngine::Options{.queueMs = 200, .feederThread = true});
        auto device = engine->addDevice(std::move(decoder));
        gate.close();
        device->play();
        QVERIFY(gate.waitUntilHeld());

        // On another thread, so that a stop or close that waited for the read could not hang the test.
        auto closing = std::async(std::launch::async, [&] {
            device->stop();
            engine->removeDevice(device);
        });
        const bool returned = closing.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        const int readsWhenClosed = gate.reads();
        gate.open();
        closing.wait();
        QVERIFY2(returned, "stop and close waited for the decoder's read");
        QCOMPARE(device->mode(), Device::Mode::Stopped);
        engine.reset(); // joins the feeder, which has left the read
        QCOMPARE(gate.reads(), readsWhenClosed);
    }

    void feederThreadFillsARealTimeOutput()
    {
        auto output = std::make_unique<CaptureOutput>(kPeriod, CaptureOutput::Clock::RealTime);
        CaptureOutput* capture = output.get();
        AudioEngine engine(std::move(output));
        auto device = engine.addDevice(open("wav", 8820));
        device->play();
        QTRY_VERIFY_WITH_TIMEOUT(device->mode() == Device::Mode::Stopped, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(capture->capturedFrames() > 8820, 10000);
        QVERIFY(engine.stats().framesRendered > 0);
    }

    void controlCallsRaceTheFeederAndCallbackSafely()
    {
        auto output = std::make_unique<CaptureOutput>(64, CaptureOutput::Clock::RealTime);
        CaptureOutput* capture = output.get();
        capture->setRecording(false);
        AudioEngine engine(std::move(output), AudioEngine::Options{20, true});
        auto a = engine.addDevice(std::make_unique<CountingDecoder>(3000, nullptr, 0.1f));
        auto b = engine.addDevice(open("wav", 5000));
        std::mt19937 random(3);
        for (int i = 0; i < 20000; ++i) {
            Device& device = (random() & 1) ? *a : *b;
            switch (random() % 7) {
            case 0:
                device.play();
                break;
            case 1:
                device.stop();
                break;
            case 2:
                device.pause();
                break;
            case 3:
                device.resume();
                break;
            case 4:
                device.seek(static_cast<std::int64_t>(random() % 6000));
                break;
            case 5:
                device.play(static_cast<std::int64_t>(random() % 6000),
                            static_cast<std::int64_t>(random() % 6000));
                break;
            default:
                monitorTick(device);
                break;
            }
            const std::int64_t position = device.positionFrames();
            QVERIFY(position >= 0 && position <= device.lengthFrames());
            if (i % 5000 == 4999) {
                engine.removeDevice(b);
                b = engine.addDevice(open("wav", 5000));
            }
        }
        a->stop();
        b->stop();
        QTRY_VERIFY_WITH_TIMEOUT(engine.stats().callbacks > 10, 10000);
    }
};

QTEST_GUILESS_MAIN(AudioEngineTest)
#include "AudioEngineTest.moc"
