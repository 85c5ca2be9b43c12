#include "sound/engine/AudioOutput.h"

#include "sound/decode/Decoders.h"
#include "sound/engine/AudioEngine.h"
#include "sound/engine/Device.h"
#include "sound/engine/RealTimePace.h"
#include "sound/engine/SilentOutput.h"
#include "sound/output/Outputs.h"
#include "testkit/AudioFiles.h"
#include "testkit/CaptureOutput.h"

#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <optional>

using namespace qb::audio;

namespace {

// Counts the frames an output pulls and checks what it hands over.
struct Counter
{
    std::atomic<std::int64_t> frames{0};
    std::atomic<int> badCalls{0};

    AudioOutput::RenderFn render()
    {
        return [this](float* out, int n) {
            if (!out || n <= 0)
                ++badCalls;
            else
                std::fill_n(out, n * kChannels, 0.5f);
            frames += n;
        };
    }
};

// A clock that moves only when the test moves it. A pace's thread sleeps in it until the time has
// reached its deadline; sleepingAhead() tells that the thread waits on a deadline still to come, having
// done everything due before it. release() lets every sleep return, so the thread can be joined.
class ManualPaceClock final : public PaceClock
{
public:
    TimePoint now() override
    {
        std::lock_guard lock(m_mutex);
        return m_now;
    }
    void sleepUntil(TimePoint deadline) override
    {
        std::unique_lock lock(m_mutex);
        m_sleepingUntil = deadline;
        m_moved.wait(lock, [&] { return m_now >= deadline || m_released; });
        m_sleepingUntil.reset();
    }
    void advance(std::chrono::nanoseconds by)
    {
        {
            std::lock_guard lock(m_mutex);
            m_now += by;
        }
        m_moved.notify_all();
    }
    bool sleepingAhead()
    {
        std::lock_guard lock(m_mutex);
        return m_sleepingUntil && *m_sleepingUntil > m_now;
    }
    void release()
    {
        {
            std::lock_guard lock(m_mutex);
            m_released = true;
        }
        m_moved.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_moved;
    TimePoint m_now{};
    std::optional<TimePoint> m_sleepingUntil;
    bool m_released = false;
};

void setDriver(const char* driver)
{
    if (driver)
        qputenv("SDL_AUDIODRIVER", driver);
    else
        qunsetenv("SDL_AUDIODRIVER");
}

// Passes everything to the output it wraps and reports whether the engine has let it rest.
class RestWatch final : public AudioOutput
{
public:
    explicit RestWatch(std::unique_ptr<AudioOutput> inner) : m_inner(std::move(inner)) {}

    bool start(Source source) override
    {
        return m_inner->start({[this, render = std::move(source.render)](float* out, int frames) {
                                   ++m_inRender;
                                   render(out, frames);
                                   --m_inRender;
                               },
                               std::move(source.ready)});
    }
    void stop() override { m_inner->stop(); }
    void setActive(bool active) override
    {
        m_inner->setActive(active);
        m_resting = !active;
        if (active)
            ++m_wakes;
    }
    int periodFrames() const override { return m_inner->periodFrames(); }
    const char* name() const override { return m_inner->name(); }

    bool resting() const { return m_resting; }
    int inRender() const { return m_inRender; }
    int wakes() const { return m_wakes; }

private:
    std::unique_ptr<AudioOutput> m_inner;
    std::atomic<bool> m_resting{false};
    std::atomic<int> m_inRender{0};
    std::atomic<int> m_wakes{0};
};

} // namespace

class AudioOutputTest : public QObject
{
    Q_OBJECT

private slots:
    void manualCaptureRecordsWhatItPulls()
    {
        CaptureOutput capture(100);
        Counter counter;
        capture.advance(50); // not started: nothing happens
        QCOMPARE(counter.frames.load(), 0);
        QVERIFY(capture.start(counter.render()));
        capture.advance(250);
        QCOMPARE(counter.frames.load(), 250);
        QCOMPARE(capture.capturedFrames(), 250);
        const std::vector<float> recorded = capture.takeCaptured();
        QCOMPARE(recorded.size(), std::size_t{500});
        QVERIFY(std::all_of(recorded.begin(), recorded.end(), [](float v) { return v == 0.5f; }));
        QCOMPARE(capture.capturedFrames(), 0);
        capture.setRecording(false);
        capture.advance(100);
        QCOMPARE(capture.capturedFrames(), 0);
        QCOMPARE(counter.frames.load(), 350);
        capture.stop();
        capture.advance(100);
        QCOMPARE(counter.frames.load(), 350);
    }

    void realTimeCapturePullsOnItsOwn()
    {
        CaptureOutput capture(256, CaptureOutput::Clock::RealTime);
        Counter counter;
        QVERIFY(capture.start(counter.render()));
        QTRY_VERIFY_WITH_TIMEOUT(capture.capturedFrames() >= 1024, 10000);
        capture.stop();
        const std::int64_t pulled = counter.frames.load();
        QCOMPARE(pulled % 256, 0);
        QCOMPARE(capture.capturedFrames(), pulled);
        QCOMPARE(counter.badCalls.load(), 0);
    }

    void silentOutputPullsOnItsOwn()
    {
        auto output = makeSilentOutput(128);
        QCOMPARE(QString(output->name()), QString("silent"));
        QCOMPARE(output->periodFrames(), 128);
        Counter counter;
        QVERIFY(output->start(counter.render()));
        QTRY_VERIFY_WITH_TIMEOUT(counter.frames.load() >= 512, 10000);
        output->stop();
        const std::int64_t pulled = counter.frames.load();
        output->stop();
        QCOMPARE(counter.frames.load(), pulled);
        // It can start again.
        QVERIFY(output->start(counter.render()));
        QTRY_VERIFY_WITH_TIMEOUT(counter.frames.load() > pulled, 10000);
    }

    // The silent output keeps a sound card's pace on a clock the test moves: a period at once, then one
    // per period of time; a short stall is made up; after a wait with nothing to play it starts afresh,
    // as a sound card would, instead of catching up on the wait in a burst. Counts, not timings: the
    // clock moves only when the test moves it, however busy the machine is.
    void silentOutputKeepsThePaceAndStartsAfreshAfterAnIdleWait()
    {
        constexpr int kPeriod = 2048;
        const auto period = std::chrono::nanoseconds(std::int64_t(kPeriod) * 1000000000 / kEngineRate + 1);
        ManualPaceClock clock;
        Counter counter;
        auto output = makeSilentOutput(kPeriod, clock);
        const auto releaseFirst = qScopeGuard([&] { clock.release(); }); // so the output's thread ends
        QVERIFY(output->start(counter.render()));
        // The periods taken once the output has taken what is due and waits for a deadline ahead.
        auto periodsTaken = [&]() -> std::int64_t {
            return QTest::qWaitFor([&] { return clock.sleepingAhead(); }, 10000)
                       ? counter.frames.load() / kPeriod
                       : -1;
        };
        QCOMPARE(periodsTaken(), 1);
        clock.advance(period);
        QCOMPARE(periodsTaken(), 2);
        clock.advance(period);
        QCOMPARE(periodsTaken(), 3);
        clock.advance(3 * period); // a stall: made up, as a sound card's buffer would
        QCOMPARE(periodsTaken(), 6);

        output->setActive(false);
        clock.advance(5 * period);
        output->setActive(true);
        QCOMPARE(periodsTaken(), 7); // one period at once, nothing of the wait
        clock.advance(period);
        QCOMPARE(periodsTaken(), 8);
        QCOMPARE(counter.badCalls.load(), 0);
    }

    void defaultOutputOnSdlsDummyDriver()
    {
        setDriver("dummy");
        auto output = makeDefaultOutput();
        QVERIFY(output);
        QCOMPARE(QString(output->name()), QString("sdl:dummy"));
        QVERIFY(output->periodFrames() > 0);
        Counter counter;
        QVERIFY(output->start(counter.render()));
        QTRY_VERIFY_WITH_TIMEOUT(counter.frames.load() > 0, 10000);
        output->stop();
        const std::int64_t pulled = counter.frames.load();
        QCOMPARE(counter.frames.load(), pulled);
        QCOMPARE(counter.badCalls.load(), 0);
    }

    void defaultOutputWithoutAnyDeviceFallsBackToSilence()
    {
        setDriver("no-such-driver");
        auto output = makeDefaultOutput();
        QVERIFY(output);
        QCOMPARE(QString(output->name()), QString("silent"));
        Counter counter;
        QVERIFY(output->start(counter.render()));
        QTRY_VERIFY_WITH_TIMEOUT(counter.frames.load() > 0, 10000);
        setDriver("dummy");
    }

    void engineKeepsTimeOnTheDefaultOutputWhilePlaying_data()
    {
        QTest::addColumn<QByteArray>("driver");
        QTest::newRow("SDL's dummy driver") << QByteArray("dummy");
        QTest::newRow("no device: silent output") << QByteArray("no-such-driver");
    }

    void engineKeepsTimeOnTheDefaultOutputWhilePlaying()
    {
        QFETCH(QByteArray, driver);
        setDriver(driver.constData());
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("a.wav"));
        QVERIFY(qb::test::writeWav(path, 44100));
        AudioEngine engine(makeDefaultOutput());
        auto device = engine.addDevice(openDecoder(path.toStdString()).decoder);
        device->play();
        QTRY_VERIFY_WITH_TIMEOUT(engine.stats().framesRendered > 0, 10000);
        QVERIFY(engine.stats().callbacks > 0);
        QTRY_VERIFY_WITH_TIMEOUT(device->positionFrames() > 0, 10000);
        setDriver("dummy");
    }

    void idleEngineLetsTheOutputRest()
    {
        setDriver("no-such-driver"); // the silent output, whose pulls we can count
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("short.wav"));
        QVERIFY(qb::test::writeWav(path, 2205));
        auto watched = std::make_unique<RestWatch>(makeDefaultOutput());
        RestWatch& watch = *watched;
        AudioEngine engine(std::move(watched));
        auto device = engine.addDevice(openDecoder(path.toStdString()).decoder);
        device->play();
        QTRY_VERIFY_WITH_TIMEOUT(watch.wakes() > 0, 10000); // the engine woke the output to play
        QTRY_VERIFY_WITH_TIMEOUT(engine.stats().framesRendered >= 2205, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(device->mode() == Device::Mode::Stopped, 10000); // the pass is queued
        device->stop();
        // Once the queue is empty and nothing plays, the engine lets the output rest...
        QTRY_VERIFY_WITH_TIMEOUT(watch.resting() && watch.inRender() == 0, 10000);

        // ...and no more periods are pulled, for as long as a second silent output, running beside
        // it as a clock, takes to pull six periods of its own. A pull that had already begun when
        // the rest came is let through first: one period of the clock.
        Counter clock;
        auto reference = makeSilentOutput();
        QVERIFY(reference->start(clock.render()));
        const int period = reference->periodFrames();
        QTRY_VERIFY_WITH_TIMEOUT(clock.frames.load() >= 2 * period, 10000);
        const auto callbacks = engine.stats().callbacks;
        const std::int64_t from = clock.frames.load();
        QTRY_VERIFY_WITH_TIMEOUT(clock.frames.load() >= from + 6 * period, 20000);
        reference->stop();
        QCOMPARE(engine.stats().callbacks, callbacks);
        QVERIFY(watch.resting());
        setDriver("dummy");
    }
};

QTEST_GUILESS_MAIN(AudioOutputTest)
#include "AudioOutputTest.moc"
