#include "MidiSynth.h"

#include "audio/decode/Decoder.h"

#include <fluidsynth.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace qb::audio {

namespace {

// FluidSynth warns on stderr about things a MIDI file may do on every pass (a program its SoundFont
// lacks, an unknown controller), which would fill a log over a day of looping. Errors stay on.
void quietLibraryWarnings()
{
    static std::once_flag once;
    std::call_once(once, [] {
        fluid_set_log_function(FLUID_WARN, nullptr, nullptr);
        fluid_set_log_function(FLUID_INFO, nullptr, nullptr);
        fluid_set_log_function(FLUID_DBG, nullptr, nullptr);
    });
}

} // namespace

std::unique_ptr<MidiSynth> MidiSynth::create(const std::string& soundFontPath, std::string* why)
{
    auto fail = [why](std::string reason) -> std::unique_ptr<MidiSynth> {
        if (why)
            *why = std::move(reason);
        return nullptr;
    };

    // FluidSynth reports a missing file only through its log; checking first gives a clear reason.
    std::string identity = fileIdentity(soundFontPath);
    if (identity.empty())
        return fail("SoundFont not readable: " + soundFontPath);

    quietLibraryWarnings();
    std::unique_ptr<MidiSynth> self(new MidiSynth);
    self->m_soundFontPath = soundFontPath;
    self->m_soundFontIdentity = std::move(identity);
    self->m_settings = new_fluid_settings();
    if (!self->m_settings)
        return fail("cannot create FluidSynth settings");
    fluid_settings_setnum(self->m_settings, "synth.sample-rate", kEngineRate);
    fluid_settings_setint(self->m_settings, "synth.audio-channels", 1);
    fluid_settings_setint(self->m_settings, "synth.lock-memory", 0);
    fluid_settings_setint(self->m_settings, "synth.dynamic-sample-loading", 1);
    // The owner calls it from one thread at a time, so FluidSynth's own locking is only overhead.
    fluid_settings_setint(self->m_settings, "synth.threadsafe-api", 0);
    fluid_settings_setint(self->m_settings, "synth.reverb.active", 1);
    fluid_settings_setint(self->m_settings, "synth.chorus.active", 1);

    self->m_synth = new_fluid_synth(self->m_settings);
    if (!self->m_synth)
        return fail("cannot create the FluidSynth synthesiser");
    for (int cc = 0; cc < 128; ++cc)
        fluid_synth_get_cc(self->m_synth, 0, cc, &self->m_defaultControllers[cc]);

    // Without resetting presets no channel selects an instrument yet, so no sample is read here.
    self->m_soundFontId = fluid_synth_sfload(self->m_synth, soundFontPath.c_str(), 0);
    if (self->m_soundFontId == FLUID_FAILED)
        return fail("not a usable SoundFont: " + soundFontPath);
    return self;
}

std::string MidiSynth::fileIdentity(const std::string& path)
{
    struct stat st
    {
    };
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(path.c_str(), R_OK) != 0)
        return {};
    return std::to_string(st.st_dev) + ':' + std::to_string(st.st_ino) + ':' + std::to_string(st.st_size) +
           ':' + std::to_string(st.st_mtim.tv_sec) + '.' + std::to_string(st.st_mtim.tv_nsec);
}

MidiSynth::~MidiSynth()
{
    if (m_synth)
        delete_fluid_synth(m_synth);
    if (m_settings)
        delete_fluid_settings(m_settings);
}

void MidiSynth::render(float* out, int frames)
{
    if (frames <= 0)
        return;
    fluid_synth_write_float(m_synth, frames, out, 0, kChannels, out, 1, kChannels);
    m_renderedFrames += frames;
}

} // namespace qb::audio
