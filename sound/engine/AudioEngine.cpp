#include "sound/engine/AudioEngine.h"

#include "EngineDevice.h"
#include "FeederWake.h"
#include "sound/engine/SilentOutput.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace qb::audio {

namespace {
constexpr int kMaxSlots = 32;
} // namespace

struct AudioEngine::Impl
{
    struct Entry
    {
        std::weak_ptr<EngineDevice> device;
        int slot; // -1: not mixed (all slots taken)
    };
    // A queue taken out of the mix; freed once no callback can still be reading it.
    struct Retired
    {
        std::shared_ptr<FrameQueue> queue;
        std::uint64_t callbackSeq;
    };

    std::unique_ptr<AudioOutput> output;
    Options options;
    std::int64_t queueFrames = 0;
    std::shared_ptr<FeederWake> wake = std::make_shared<FeederWake>();

    // Serialises pump(): the feeder thread and a manual clock never decode at the same time.
    std::mutex pumpMutex;

    // Guards entries, owners and retired; never taken by the audio callback.
    std::mutex devicesMutex;
    std::vector<Entry> entries;
    std::array<std::shared_ptr<FrameQueue>, kMaxSlots> owners;
    std::vector<Retired> retired;

    // What the audio callback mixes. Odd callbackSeq: a callback is running.
    std::array<std::atomic<FrameQueue*>, kMaxSlots> slots{};
    std::atomic<std::uint64_t> callbackSeq{0};

    // The volume asked for, and the one the last render call ended on (touched by render() alone; an
    // atomic because the thread that renders may change when the output does).
    std::atomic<float> volume{1.0f};
    std::atomic<float> heardVolume{1.0f};

    std::atomic<std::int64_t> framesRendered{0};
    std::atomic<std::int64_t> underrunFrames{0};
    std::atomic<std::int64_t> callbacks{0};

    // The feeder's schedule, in engine frames: its regular round while anything needs it, and the
    // retry after one output period when a discard holds a playing device's room.
    std::int64_t roundFrames = 0;
    std::int64_t periodFrames = 0;
    // Touched only by whoever runs the feeder (its thread, or the output's clock).
    bool outputActive = false;
    std::optional<std::int64_t> nextRoundAt; // output clock of the next round when the output runs it

    std::thread feeder;

    void render(float* out, int frames);
    // Scales the mix by the volume.
    void applyVolume(float* out, int frames);
    // The frames every playing device has queued: what render() can supply without running dry.
    std::int64_t ready();
    // The output dropped the last `frames` frames it pulled: every queue takes back what it supplied.
    void unheard(std::int64_t frames);
    // Feeds every device; what the neediest of them needs next.
    EngineDevice::Need pump();
    // One round of the feeder: wakes the output when something plays, feeds, lets the output rest when
    // nothing needs it. Returns how long the feeder may sleep, in frames; none: until woken.
    std::optional<std::int64_t> feederRound();
    // The feeder on the output's clock (Options::feederThread false).
    void feedOnClock(std::int64_t clockFrames);
    bool anyPlaying();
    void releaseSlotLocked(int slot);
    void reclaimLocked();
};

void AudioEngine::Impl::render(float* out, int frames)
{
    callbackSeq.fetch_add(1, std::memory_order_seq_cst);
    const std::size_t samples = static_cast<std::size_t>(frames) * kChannels;
    std::fill_n(out, samples, 0.0f);
    std::int64_t underrun = 0;
    const std::int64_t clock = framesRendered.load(std::memory_order_relaxed);
    for (auto& slot : slots) {
        if (FrameQueue* queue = slot.load(std::memory_order_seq_cst))
            underrun += queue->mixInto(out, frames, clock);
    }
    callbackSeq.fetch_add(1, std::memory_order_seq_cst);
    applyVolume(out, frames);
    // Everything the speakers get passes here. Devices that are loud together, or a float file holding
    // values far beyond full scale, must not reach the sound server unclamped; sums that overflow to
    // infinity are silenced like the damaged samples the queues already dropped.
    for (std::size_t i = 0; i < samples; ++i) {
        const float v = out[i];
        out[i] = std::isfinite(v) ? std::clamp(v, -1.0f, 1.0f) : 0.0f;
    }
    framesRendered.fetch_add(frames, std::memory_order_relaxed);
    underrunFrames.fetch_add(underrun, std::memory_order_relaxed);
    callbacks.fetch_add(1, std::memory_order_relaxed);
}

void AudioEngine::Impl::applyVolume(float* out, int frames)
{
    const float target = volume.load(std::memory_order_relaxed);
    const float from = heardVolume.load(std::memory_order_relaxed);
    if ((from == target && target == 1.0f) || frames <= 0)
        return;
    // A change glides over this one call, so that it is heard without a click.
    const float step = (target - from) / static_cast<float>(frames);
    for (int f = 0; f < frames; ++f) {
        const float gain = f + 1 == frames ? target : from + step * static_cast<float>(f + 1);
        for (int c = 0; c < kChannels; ++c)
            out[static_cast<std::size_t>(f) * kChannels + static_cast<std::size_t>(c)] *= gain;
    }
    heardVolume.store(target, std::memory_order_relaxed);
}

std::int64_t AudioEngine::Impl::ready()
{
    // Reads the slots as a callback does, so that a queue being retired stays until it is done.
    callbackSeq.fetch_add(1, std::memory_order_seq_cst);
    std::optional<std::int64_t> least;
    for (auto& slot : slots) {
        const FrameQueue* queue = slot.load(std::memory_order_seq_cst);
        if (queue && queue->live())
            least = std::min(least.value_or(queue->queuedFrames()), queue->queuedFrames());
    }
    callbackSeq.fetch_add(1, std::memory_order_seq_cst);
    return least.value_or(0);
}

void AudioEngine::Impl::unheard(std::int64_t frames)
{
    // Outside any render call, by the output's promise; the slots are read as a callback reads them.
    callbackSeq.fetch_add(1, std::memory_order_seq_cst);
    const std::int64_t clock = framesRendered.load(std::memory_order_relaxed);
    for (auto& slot : slots) {
        if (FrameQueue* queue = slot.load(std::memory_order_seq_cst))
            queue->giveBack(clock, frames);
    }
    callbackSeq.fetch_add(1, std::memory_order_seq_cst);
}

EngineDevice::Need AudioEngine::Impl::pump()
{
    std::lock_guard pumpLock(pumpMutex);
    std::vector<std::shared_ptr<EngineDevice>> live;
    {
        std::lock_guard lock(devicesMutex);
        live.reserve(entries.size());
        for (auto it = entries.begin(); it != entries.end();) {
            if (auto device = it->device.lock()) {
                live.push_back(std::move(device));
                ++it;
            } else {
                releaseSlotLocked(it->slot);
                it = entries.erase(it);
            }
        }
        reclaimLocked();
    }
    EngineDevice::Need need = EngineDevice::Need::Nothing;
    for (const auto& device : live)
        need = std::max(need, device->feed());
    // The last owner of a closed device may be this snapshot: the decoder is then destroyed here, on
    // the feeder, which is fine for a decoder.
    return need;
}

std::optional<std::int64_t> AudioEngine::Impl::feederRound()
{
    const auto activate = [this](bool on) {
        if (on != outputActive)
            output->setActive(outputActive = on);
    };
    // A device that starts playing is heard from its first queued chunk on, not only once its whole
    // queue is full.
    if (anyPlaying())
        activate(true);
    const EngineDevice::Need need = pump();
    activate(need != EngineDevice::Need::Nothing);
    switch (need) {
    case EngineDevice::Need::Nothing:
        return std::nullopt;
    case EngineDevice::Need::Round:
        return roundFrames;
    case EngineDevice::Need::Period:
        // "play ... from" while playing: the room comes back with the output's next period. Sleeping a
        // whole round here would leave the listener a gap of up to a round.
        return periodFrames;
    }
    return roundFrames;
}

void AudioEngine::Impl::feedOnClock(std::int64_t clockFrames)
{
    // The same schedule as the feeder thread, kept on the output's clock instead of the wall clock.
    const bool woken = wake->takePending();
    if (!woken && !(nextRoundAt && clockFrames >= *nextRoundAt))
        return;
    const std::optional<std::int64_t> sleep = feederRound();
    nextRoundAt = sleep ? std::optional(clockFrames + *sleep) : std::nullopt;
}

bool AudioEngine::Impl::anyPlaying()
{
    std::lock_guard lock(devicesMutex);
    return std::any_of(entries.begin(), entries.end(), [](const Entry& entry) {
        const auto device = entry.device.lock();
        return device && device->mode() == Device::Mode::Playing;
    });
}

void AudioEngine::Impl::releaseSlotLocked(int slot)
{
    if (slot < 0)
        return;
    slots[static_cast<std::size_t>(slot)].store(nullptr, std::memory_order_seq_cst);
    const std::uint64_t seq = callbackSeq.load(std::memory_order_seq_cst);
    retired.push_back({std::move(owners[static_cast<std::size_t>(slot)]), seq});
    owners[static_cast<std::size_t>(slot)].reset();
    reclaimLocked();
}

void AudioEngine::Impl::reclaimLocked()
{
    // Even sequence at retirement: no callback was running, and any later one sees the empty slot.
    // Odd: the callback that was running may still read the queue until the sequence moves on.
    const std::uint64_t now = callbackSeq.load(std::memory_order_seq_cst);
    std::erase_if(retired, [now](const Retired& r) { return r.callbackSeq % 2 == 0 || now > r.callbackSeq; });
}

AudioEngine::AudioEngine(std::unique_ptr<AudioOutput> output) : AudioEngine(std::move(output), Options{}) {}

AudioEngine::AudioEngine(std::unique_ptr<AudioOutput> output, Options options)
    : m_impl(std::make_unique<Impl>())
{
    Impl& impl = *m_impl;
    impl.options = options;
    impl.queueFrames =
        std::max<std::int64_t>(static_cast<std::int64_t>(options.queueMs) * kEngineRate / 1000, 1024);
    impl.output = output ? std::move(output) : makeSilentOutput();

    // While anything plays, rounds a fifth of the queue apart keep it topped up (play() wakes the feeder
    // at once); with nothing to do, the feeder and the output sleep until the next play().
    impl.roundFrames =
        static_cast<std::int64_t>(std::clamp(options.queueMs / 5, 1, 100)) * kEngineRate / 1000;

    const auto startOutput = [&impl](bool feedsOnClock) {
        impl.periodFrames = std::max(impl.output->periodFrames(), 1);
        AudioOutput::RenderFn render = [&impl](float* out, int frames) { impl.render(out, frames); };
        if (feedsOnClock) {
            // The output's clock is the frames it has pulled; each period's round comes before it.
            render = [&impl](float* out, int frames) {
                impl.feedOnClock(impl.framesRendered.load(std::memory_order_relaxed));
                impl.render(out, frames);
            };
        }
        return impl.output->start({std::move(render), [&impl] { return impl.ready(); },
                                   [&impl](std::int64_t frames) { impl.unheard(frames); }});
    };
    bool feederThread = impl.options.feederThread;
    if (!startOutput(!feederThread)) {
        std::fprintf(stderr, "quillbeat: audio output '%s' did not start; playing on a silent output\n",
                     impl.output->name());
        // The silent output keeps real time on a thread of its own, which must not decode.
        impl.output = makeSilentOutput();
        feederThread = true;
        startOutput(false);
    }

    impl.output->setActive(false);
    if (feederThread) {
        impl.feeder = std::thread([&impl] {
            using Micros = std::chrono::microseconds;
            std::optional<Micros> sleep;
            while (impl.wake->wait(sleep)) {
                const std::optional<std::int64_t> frames = impl.feederRound();
                sleep = frames ? std::optional(Micros(*frames * 1000000 / kEngineRate)) : std::nullopt;
            }
        });
    }
}

AudioEngine::~AudioEngine()
{
    // The feeder first: it switches the output on and off, so it must be gone before the output stops.
    m_impl->wake->quit();
    if (m_impl->feeder.joinable())
        m_impl->feeder.join();
    m_impl->output->stop();
    std::lock_guard lock(m_impl->devicesMutex);
    for (const auto& entry : m_impl->entries) {
        if (auto device = entry.device.lock())
            device->detach();
    }
}

std::shared_ptr<Device> AudioEngine::addDevice(std::unique_ptr<Decoder> decoder)
{
    auto device = std::make_shared<EngineDevice>(std::move(decoder), m_impl->queueFrames, m_impl->wake);
    std::lock_guard lock(m_impl->devicesMutex);
    m_impl->reclaimLocked();
    int slot = -1;
    for (int i = 0; i < kMaxSlots; ++i) {
        if (!m_impl->owners[static_cast<std::size_t>(i)]) {
            slot = i;
            break;
        }
    }
    if (slot >= 0) {
        m_impl->owners[static_cast<std::size_t>(slot)] = device->queue();
        m_impl->slots[static_cast<std::size_t>(slot)].store(device->queue().get(), std::memory_order_seq_cst);
    } else {
        std::fprintf(stderr, "quillbeat: more than %d audio devices open; the newest one is not heard\n",
                     kMaxSlots);
    }
    m_impl->entries.push_back({device, slot});
    return device;
}

void AudioEngine::removeDevice(const std::shared_ptr<Device>& device)
{
    if (!device)
        return;
    std::lock_guard lock(m_impl->devicesMutex);
    auto& entries = m_impl->entries;
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        auto known = it->device.lock();
        if (known && known.get() == device.get()) {
            known->detach();
            m_impl->releaseSlotLocked(it->slot);
            entries.erase(it);
            return;
        }
    }
}

void AudioEngine::pump()
{
    m_impl->pump();
}

void AudioEngine::setVolume(float volume)
{
    const float v = std::isfinite(volume) ? std::clamp(volume, 0.0f, 1.0f) : 1.0f;
    m_impl->volume.store(v, std::memory_order_relaxed);
}

float AudioEngine::volume() const
{
    return m_impl->volume.load(std::memory_order_relaxed);
}

AudioOutput& AudioEngine::output()
{
    return *m_impl->output;
}

AudioEngine::Stats AudioEngine::stats() const
{
    return {m_impl->framesRendered.load(std::memory_order_relaxed),
            m_impl->underrunFrames.load(std::memory_order_relaxed),
            m_impl->callbacks.load(std::memory_order_relaxed)};
}

} // namespace qb::audio
