#include "MidiSynth.h"

#include "MidiSysex.h"
#include "sound/decode/Decoder.h"
#include "sound/midi/MidiDecoder.h"
#include "sound/midi/SoundFontSurvey.h"
#include "sound/soundfont/SoundFontSubset.h"
#include "sound/soundfont/SoundFontTables.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fluidsynth.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <system_error>
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

// Subsets are handed to FluidSynth's own SoundFont parser as files that live in memory: the loader's
// file callbacks carry no context, so the bytes wait here under a name made for them while
// fluid_synth_sfload() reads them. With dynamic sample loading off the parser reads everything
// while loading and never opens the file again.
constexpr const char* kSubsetPrefix = "quillbeat-soundfont-subset:";
std::mutex g_filesMutex;
std::map<std::string, const SoundFontSubset*> g_files;
std::atomic<unsigned> g_nextName{0};

struct OpenSubset
{
    const SoundFontSubset* subset;
    fluid_long_long_t position = 0;
};

void* openSubset(const char* name)
{
    std::lock_guard lock(g_filesMutex);
    const auto it = g_files.find(name);
    return it == g_files.end() ? nullptr : new OpenSubset{it->second};
}

int readSubset(void* buffer, fluid_long_long_t count, void* handle)
{
    auto* file = static_cast<OpenSubset*>(handle);
    if (count < 0 || !file->subset->read(static_cast<std::uint64_t>(file->position),
                                         static_cast<char*>(buffer), static_cast<std::size_t>(count)))
        return FLUID_FAILED;
    file->position += count;
    return FLUID_OK;
}

int seekSubset(void* handle, fluid_long_long_t offset, int origin)
{
    auto* file = static_cast<OpenSubset*>(handle);
    const auto size = static_cast<fluid_long_long_t>(file->subset->size());
    const fluid_long_long_t base = origin == SEEK_CUR ? file->position : origin == SEEK_END ? size : 0;
    if (base + offset < 0 || base + offset > size)
        return FLUID_FAILED;
    file->position = base + offset;
    return FLUID_OK;
}

fluid_long_long_t tellSubset(void* handle)
{
    return static_cast<OpenSubset*>(handle)->position;
}

int closeSubset(void* handle)
{
    delete static_cast<OpenSubset*>(handle);
    return FLUID_OK;
}

// A subset loaded beside playback by the loading synthesiser reaches the playing one through a loader
// of its own, which hands over the loaded font under a name made for it: fluid_synth_sfload() without a
// preset reset leaves every channel as it is, where fluid_synth_add_sfont() would choose each one's
// preset again, bank selects that wait for their program change included.
constexpr const char* kLoadedPrefix = "quillbeat-soundfont-loaded:";
std::map<std::string, fluid_sfont_t*> g_loaded; // under g_filesMutex

fluid_sfont_t* takeLoadedFont(fluid_sfloader_t*, const char* name)
{
    std::lock_guard lock(g_filesMutex);
    const auto it = g_loaded.find(name);
    if (it == g_loaded.end())
        return nullptr;
    fluid_sfont_t* font = it->second;
    g_loaded.erase(it);
    return font;
}

void freeLoader(fluid_sfloader_t* loader)
{
    delete_fluid_sfloader(loader);
}

// The loader of subsets from memory, on `synth`.
bool addSubsetLoader(fluid_settings_t* settings, fluid_synth_t* synth)
{
    fluid_sfloader_t* loader = new_fluid_defsfloader(settings);
    if (!loader)
        return false;
    fluid_sfloader_set_callbacks(loader, openSubset, readSubset, seekSubset, tellSubset, closeSubset);
    fluid_synth_add_sfloader(synth, loader); // the synthesiser owns it from here
    return true;
}

// Loads `subset` into `synth` as a font of its own; its id, or FLUID_FAILED.
int loadFromMemory(fluid_synth_t* synth, const SoundFontSubset& subset)
{
    const std::string name = kSubsetPrefix + std::to_string(g_nextName++);
    {
        std::lock_guard lock(g_filesMutex);
        g_files[name] = &subset;
    }
    const int id = fluid_synth_sfload(synth, name.c_str(), 0);
    {
        std::lock_guard lock(g_filesMutex);
        g_files.erase(name);
    }
    return id;
}

// Subsets loaded on top of the first are dropped, all at once, when a new song finds this many.
constexpr std::size_t kMaxSubsets = 8;

} // namespace

std::unique_ptr<MidiSynth> MidiSynth::create(const std::string& soundFontPath, std::string* why,
                                             SoundFontProblem* problem)
{
    auto fail = [why, problem](SoundFontProblem kind, std::string reason) -> std::unique_ptr<MidiSynth> {
        if (why)
            *why = std::move(reason);
        if (problem)
            *problem = kind;
        return nullptr;
    };

    // FluidSynth reports a missing file only through its log; checking first gives a clear reason.
    struct stat st
    {
    };
    if (::stat(soundFontPath.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR))
        return fail(SoundFontProblem::Missing, "no SoundFont at " + soundFontPath);
    std::string identity = fileIdentity(soundFontPath);
    if (identity.empty())
        return fail(SoundFontProblem::Unreadable, "SoundFont not readable: " + soundFontPath);

    std::string reason;
    SoundFontFault fault = SoundFontFault::None;
    std::shared_ptr<const SoundFontTables> tables = SoundFontTables::read(soundFontPath, &reason, &fault);
    switch (fault) {
    case SoundFontFault::None:
    case SoundFontFault::NotUnderstood:
        break;
    case SoundFontFault::Unreadable:
        return fail(SoundFontProblem::Unreadable, reason);
    case SoundFontFault::NotSoundFont:
        return fail(SoundFontProblem::NotSoundFont, reason);
    case SoundFontFault::Damaged:
        // Its sizes promise more than the file holds: FluidSynth's loader is not given it either.
        return fail(SoundFontProblem::Rejected, reason);
    }

    quietLibraryWarnings();
    std::unique_ptr<MidiSynth> self(new MidiSynth);
    self->m_soundFontPath = soundFontPath;
    self->m_soundFontIdentity = std::move(identity);
    self->m_tables = std::move(tables);
    self->m_settings = new_fluid_settings();
    if (!self->m_settings)
        return fail(SoundFontProblem::Rejected, "cannot create FluidSynth settings");
    fluid_settings_setnum(self->m_settings, "synth.sample-rate", kEngineRate);
    fluid_settings_setint(self->m_settings, "synth.audio-channels", 1);
    fluid_settings_setint(self->m_settings, "synth.lock-memory", 0);
    // Subsets hold only samples that are meant to play: load them with the font. A font loaded whole
    // loads the samples of a preset when it is chosen.
    fluid_settings_setint(self->m_settings, "synth.dynamic-sample-loading", self->m_tables ? 0 : 1);
    // The owner calls it from one thread at a time, so FluidSynth's own locking is only overhead.
    fluid_settings_setint(self->m_settings, "synth.threadsafe-api", 0);
    // GS and XG files address their messages to device 16 (Roland's and Yamaha's default); FluidSynth
    // answers only device 0 and "all" unless told, and would drop a GS drum-part switch.
    fluid_settings_setint(self->m_settings, "synth.device-id", kSysexDeviceId);
    fluid_settings_setint(self->m_settings, "synth.reverb.active", 1);
    fluid_settings_setint(self->m_settings, "synth.chorus.active", 1);

    self->m_synth = new_fluid_synth(self->m_settings);
    if (!self->m_synth)
        return fail(SoundFontProblem::Rejected, "cannot create the FluidSynth synthesiser");
    for (int cc = 0; cc < 128; ++cc)
        fluid_synth_get_cc(self->m_synth, 0, cc, &self->m_defaultControllers[cc]);

    if (!self->m_tables) {
        std::string whole;
        if (!self->loadWhole(&whole))
            return fail(SoundFontProblem::Rejected, reason + "; " + whole);
        std::fprintf(
            stderr,
            "quillbeat: SoundFont %s: loaded whole by FluidSynth, samples as presets are chosen (%s)\n",
            soundFontPath.c_str(), reason.c_str());
        return self;
    }
    fluid_sfloader_t* loaded = new_fluid_sfloader(takeLoadedFont, freeLoader);
    if (!addSubsetLoader(self->m_settings, self->m_synth) || !loaded)
        return fail(SoundFontProblem::Rejected, "cannot create a FluidSynth SoundFont loader");
    // Added last, so asked first: it answers only the names it handed out, at once.
    fluid_synth_add_sfloader(self->m_synth, loaded);
    // Every preset, without zones: channels find what the full font has and sound nothing yet.
    if (!self->loadSubset(SoundFontUse{}, true, &reason))
        return fail(SoundFontProblem::Rejected, "not a usable SoundFont: " + soundFontPath + ": " + reason);
    const SoundFontTables::Version version = self->m_tables->version();
    std::fprintf(stderr, "quillbeat: SoundFont %s: version %u.%02u%s, each song loads the samples it plays\n",
                 soundFontPath.c_str(), unsigned{version.major}, unsigned{version.minor},
                 self->m_tables->hasCompressedSamples() ? ", compressed samples"
                 : self->m_tables->sample24Bytes() > 0  ? ", 24-bit samples"
                                                        : "");
    return self;
}

bool MidiSynth::loadWhole(std::string* why)
{
    const int id = fluid_synth_sfload(m_synth, m_soundFontPath.c_str(), 0);
    if (id == FLUID_FAILED) {
        if (why)
            *why = "FluidSynth refuses it too";
        return false;
    }
    m_baseFontId = id;
    m_loaded.push_back(id);
    return true;
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
    // A stage not taken over goes with the loading synthesiser, which holds it.
    if (m_rest.valid())
        m_rest.wait();
    if (m_synth)
        delete_fluid_synth(m_synth);
    if (m_settings)
        delete_fluid_settings(m_settings);
    // After the playing synthesiser: the fonts it took over were loaded here.
    if (m_loader)
        delete_fluid_synth(m_loader);
    if (m_loaderSettings)
        delete_fluid_settings(m_loaderSettings);
}

bool MidiSynth::loadSubset(const SoundFontUse& use, bool allHeaders, std::string* why)
{
    SoundFontSubset subset = buildSoundFontSubset(*m_tables, use, allHeaders, why);
    if (subset.size() == 0)
        return false;
    const int id = loadFromMemory(m_synth, subset);
    if (id == FLUID_FAILED) {
        if (why)
            *why = "FluidSynth refused a subset of " + m_soundFontPath;
        return false;
    }
    if (allHeaders && m_baseFontId < 0)
        m_baseFontId = id;
    noteLoaded(id, subset.contents.presets, subset.complete);
    return true;
}

void MidiSynth::noteLoaded(int fontId, const std::vector<PresetKey>& presets,
                           const std::map<PresetKey, NoteSet>& complete)
{
    for (const PresetKey& key : presets) {
        const auto found = complete.find(key);
        m_presets[key] = found != complete.end() ? found->second : NoteSet();
    }
    m_loaded.push_back(fontId);
}

SoundFontUse MidiSynth::missingFrom(const SoundFontUse& use) const
{
    SoundFontUse missing;
    for (const auto& [key, notes] : use.presets) {
        const auto loaded = m_presets.find(key);
        if (loaded == m_presets.end())
            missing.presets[key] = notes;
        else if ((notes & ~loaded->second).any())
            missing.presets[key] = notes | loaded->second;
    }
    return missing;
}

MidiSynth::Stage MidiSynth::loadStage(const SoundFontTables& tables, const SoundFontUse& use,
                                      fluid_settings_t** loaderSettings, fluid_synth_t** loader)
{
    Stage stage;
    if (!*loader) {
        // A synthesiser that only loads: no voices to speak of, no effects.
        *loaderSettings = new_fluid_settings();
        if (*loaderSettings) {
            fluid_settings_setint(*loaderSettings, "synth.polyphony", 1);
            fluid_settings_setint(*loaderSettings, "synth.lock-memory", 0);
            fluid_settings_setint(*loaderSettings, "synth.dynamic-sample-loading", 0);
            fluid_settings_setint(*loaderSettings, "synth.threadsafe-api", 0);
            fluid_settings_setint(*loaderSettings, "synth.reverb.active", 0);
            fluid_settings_setint(*loaderSettings, "synth.chorus.active", 0);
            *loader = new_fluid_synth(*loaderSettings);
        }
        if (!*loader || !addSubsetLoader(*loaderSettings, *loader)) {
            stage.error = "cannot create a FluidSynth synthesiser to load samples with";
            return stage;
        }
    }
    SoundFontSubset subset = buildSoundFontSubset(tables, use, false, &stage.error);
    if (subset.size() == 0)
        return stage;
    const int id = loadFromMemory(*loader, subset);
    if (id == FLUID_FAILED) {
        stage.error = "FluidSynth refused a subset of " + tables.path();
        return stage;
    }
    stage.sfont = fluid_synth_get_sfont_by_id(*loader, id);
    stage.presets = std::move(subset.contents.presets);
    stage.complete = std::move(subset.complete);
    return stage;
}

bool MidiSynth::takeLoaded(bool wait)
{
    if (!m_rest.valid())
        return false;
    if (!wait && m_rest.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return false;
    Stage stage = m_rest.get();
    m_loadedUntil = std::numeric_limits<std::int64_t>::max();
    if (!stage.sfont) {
        std::fprintf(stderr, "quillbeat: %s\n", stage.error.c_str());
        return false;
    }
    const std::string name = kLoadedPrefix + std::to_string(g_nextName++);
    {
        std::lock_guard lock(g_filesMutex);
        g_loaded[name] = stage.sfont;
    }
    const int id = fluid_synth_sfload(m_synth, name.c_str(), 0);
    {
        std::lock_guard lock(g_filesMutex);
        g_loaded.erase(name);
    }
    // The loading synthesiser lets go of its reference (the font now has the playing synthesiser's id;
    // it is the only one the loader holds), or, if the playing one refused it, of the font.
    fluid_synth_sfunload(m_loader, fluid_sfont_get_id(stage.sfont), 0);
    if (id == FLUID_FAILED) {
        std::fprintf(stderr, "quillbeat: FluidSynth refused a subset of %s\n", m_soundFontPath.c_str());
        return false;
    }
    // Channels on a preset the new font holds move to it, as a program change now would; the bank a
    // bank select set since (or the one the program change asked for, when the font had to fall back)
    // is put back.
    for (int ch = 0; ch < 16; ++ch) {
        fluid_preset_t* preset = fluid_synth_get_channel_preset(m_synth, ch);
        if (!preset)
            continue;
        const int bank = fluid_preset_get_banknum(preset);
        const int program = fluid_preset_get_num(preset);
        if (!fluid_sfont_get_preset(stage.sfont, bank, program))
            continue;
        int font = 0, channelBank = 0, channelProgram = 0;
        fluid_synth_get_program(m_synth, ch, &font, &channelBank, &channelProgram);
        fluid_synth_program_select(m_synth, ch, id, bank, program);
        fluid_synth_bank_select(m_synth, ch, channelBank);
    }
    noteLoaded(id, stage.presets, stage.complete);
    return true;
}

bool MidiSynth::prepare(const MidiSequence& sequence, std::string* why)
{
    takeLoaded(true); // what the song before left loading
    if (!m_tables) {
        // Pinning a preset loads its samples now, not when a channel first chooses it while rendering.
        fluid_sfont_t* font = fluid_synth_get_sfont_by_id(m_synth, m_baseFontId);
        const SoundFontUse song = collectSoundFontUse(sequence, [font](int bank, int program) {
            return font && fluid_sfont_get_preset(font, bank, program) != nullptr;
        });
        bool loaded = true;
        for (const auto& [key, notes] : song.presets) {
            if (m_pinnedWhole.insert(key).second &&
                fluid_synth_pin_preset(m_synth, m_baseFontId, key.first, key.second) != FLUID_OK)
                loaded = false;
        }
        if (!loaded && why)
            *why = "cannot load the samples of a preset of " + m_soundFontPath;
        return loaded;
    }
    const SoundFontUse song = collectSoundFontUse(sequence, *m_tables);
    if (m_loaded.size() > kMaxSubsets) {
        // Many songs have each added a little: start again from the song at hand, so memory follows
        // what plays rather than everything that ever played.
        for (int id : m_loaded)
            if (id != m_baseFontId)
                fluid_synth_sfunload(m_synth, id, 1);
        std::erase_if(m_loaded, [this](int id) { return id != m_baseFontId; });
        m_presets.clear();
    }
    const SoundFontUse missing = missingFrom(song);
    if (missing.presets.empty())
        return true;

    // What the song's first seconds sound loads here; if that is less than the whole, the rest loads
    // beside playback.
    std::int64_t firstNote = 0;
    for (const MidiEvent& e : sequence.events) {
        if (e.kind() == 0x90 && e.data2 > 0) {
            firstNote = e.frame;
            break;
        }
    }
    const std::int64_t horizon = firstNote + kMidiFirstStageFrames;
    const SoundFontUse first = missingFrom(collectSoundFontUse(sequence, *m_tables, horizon));
    if (first.presets == missing.presets)
        return loadSubset(missing, false, why);
    if (!first.presets.empty() && !loadSubset(first, false, why))
        return false;
    SoundFontUse rest = missingFrom(song);
    try {
        m_rest = std::async(std::launch::async,
                            [tables = m_tables, rest = std::move(rest), settings = &m_loaderSettings,
                             loader = &m_loader] { return loadStage(*tables, rest, settings, loader); });
        m_loadedUntil = horizon;
    } catch (const std::system_error&) {
        return loadSubset(rest, false, why); // no thread to be had: load it here
    }
    return true;
}

void MidiSynth::render(float* out, int frames)
{
    if (frames <= 0)
        return;
    fluid_synth_write_float(m_synth, frames, out, 0, kChannels, out, 1, kChannels);
    m_renderedFrames += frames;
}

} // namespace qb::audio
