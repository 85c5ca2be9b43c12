#pragma once

#include "sound/decode/Decoder.h"
#include "sound/engine/AudioOutput.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace qb::audio {

class Device;

// Owns the one output stream and the devices that feed it. A feeder decodes ahead of the output into
// each device's queue; the audio callback only mixes the queues (no locks it can wait on, no disk
// I/O, no allocation), whoever runs the feeder. The mix never leaves full scale: it is clamped to
// [-1, 1], and a sample that is not a finite number (NaN or infinity from a damaged file) is heard as
// silence.
class AudioEngine
{
public:
    struct Options
    {
        // How far the feeder decodes ahead of the output. The end of a file is reported as soon as its
        // last frame is queued, so this is also the time the loop monitor has to restart the file
        // without a gap.
        int queueMs = 500;
        // false: no feeder thread; the feeder's rounds run on the output's clock instead, each one
        // due before the render call that pulls the next period, in that call. For an output its
        // caller clocks (a render to memory), so that the caller drives the feeder's own code path
        // and stays deterministic; never for one that keeps real time, whose render must not decode.
        // An output that does not start is replaced by the silent one, with a feeder thread.
        bool feederThread = true;
    };

    explicit AudioEngine(std::unique_ptr<AudioOutput> output);
    AudioEngine(std::unique_ptr<AudioOutput> output, Options options);
    ~AudioEngine();
    AudioEngine(const AudioEngine&) = delete;
    AudioEngine& operator=(const AudioEngine&) = delete;

    // Adds a device that plays `decoder`. The device starts stopped at frame 0.
    std::shared_ptr<Device> addDevice(std::unique_ptr<Decoder> decoder);
    // Stops the device, silences it and takes it out of the mix. The device object stays valid.
    void removeDevice(const std::shared_ptr<Device>& device);

    // Tops up every playing device's queue at once, on the caller's thread (serialised with the feeder).
    // For a caller that waits for a device to finish without an output that keeps time ("play ... wait").
    void pump();

    // The volume of everything the engine plays, as a gain from 0 (silent) to 1 (as decoded, the
    // default); values outside are taken as the nearer end, and one that is not a number as 1. It is
    // the player's own volume, applied to the mix before the output: the same on every output, and
    // the sound server's volume for the stream stays the desktop mixer's. A change is heard within one
    // output period, gliding over it. Any thread.
    void setVolume(float volume);
    float volume() const;

    AudioOutput& output();

    // Counters since construction, in engine frames. Readable from any thread.
    struct Stats
    {
        std::int64_t framesRendered = 0; // frames handed to the output
        std::int64_t underrunFrames = 0; // frames a playing device could not supply (filled with silence)
        std::int64_t callbacks = 0;      // calls of the render function
    };
    Stats stats() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace qb::audio
