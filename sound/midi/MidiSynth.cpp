#include "MidiSynth.h"

#include "MidiSysex.h"
#include "sound/decode/Decoder.h"
#include "sound/midi/MidiDecoder.h"
#include "sound/midi/SoundFontSurvey.h"
#include "sound/soundfont/SoundFontSubset.h"
#include "sound/soundfont/SoundFontTables.h"
#include "sound/soundfont/SubsetPlan.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fluidsynth.h>
#include <functional>
#include <malloc.h>
#include <map>
#include <mutex>
#include <omp.h>
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

// FluidSynth decodes a compressed font's samples with OpenMP, starting a team of threads for each
// thread that loads. The loads here come in two halves on two threads already: a team each only adds
// threads that start, then spin a while once done, beside the window being made and the song's first
// notes. Each load decodes on its own thread.
class DecodingAlone
{
public:
    DecodingAlone() : m_saved(omp_get_max_threads()) { omp_set_num_threads(1); }
    ~DecodingAlone() { omp_set_num_threads(m_saved); }
    DecodingAlone(const DecodingAlone&) = delete;
    DecodingAlone& operator=(const DecodingAlone&) = delete;

private:
    int m_saved;
};

// Loads `subset` into `synth` as a font of its own; its id, or FLUID_FAILED.
int loadFromMemory(fluid_synth_t* synth, const SoundFontSubset& subset)
{
    const std::string name = kSubsetPrefix + std::to_string(g_nextName++);
    {
        std::lock_guard lock(g_filesMutex);
        g_files[name] = &subset;
    }
    int id = FLUID_FAILED;
    {
        const DecodingAlone alone;
        id = fluid_synth_sfload(synth, name.c_str(), 0);
    }
    {
        std::lock_guard lock(g_filesMutex);
        g_files.erase(name);
    }
    return id;
}

// Making a synthesiser runs FluidSynth's start-up of its libraries (libinstpatch's) the first time,
// which is not one to run twice at once: synthesisers are made one at a time.
std::mutex g_makingSynth;

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
    std::unique_lock making(g_makingSynth);
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
    fluid_settings_setint(self->m_settings, "synth.polyphony", kVoices);

    self->m_synth = new_fluid_synth(self->m_settings);
    making.unlock();
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
    if (!addSubsetLoader(self->m_settings, self->m_synth))
        return fail(SoundFontProblem::Rejected, "cannot create a FluidSynth SoundFont loader");
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

int MidiSynth::fontsHeld() const
{
    return fluid_synth_sfcount(m_synth);
}

MidiSynth::~MidiSynth()
{
    joinLoading();
    // Fonts loaded but never taken over belong to nobody: they go here.
    if (m_pipeline) {
        for (std::size_t i = m_pipeline->taken; i < m_pipeline->stages.size(); ++i)
            for (fluid_sfont_t* font : m_pipeline->stages[i].fonts)
                if (font && m_synth)
                    fluid_synth_add_sfont(m_synth, font);
    }
    if (m_synth)
        delete_fluid_synth(m_synth);
    if (m_settings)
        delete_fluid_settings(m_settings);
}

void MidiSynth::Loader::reset()
{
    if (synth)
        delete_fluid_synth(synth);
    if (settings)
        delete_fluid_settings(settings);
    synth = nullptr;
    settings = nullptr;
}

void MidiSynth::joinLoading()
{
    if (m_pipeline && m_pipeline->thread.joinable())
        m_pipeline->thread.join();
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
    noteLoaded(id, subset.contents.presets, subset.complete, use);
    return true;
}

void MidiSynth::noteLoaded(int fontId, const std::vector<PresetKey>& presets,
                           const std::map<PresetKey, NoteSet>& complete, const SoundFontUse& use)
{
    for (const PresetKey& key : presets) {
        const auto found = complete.find(key);
        m_presets[key] = found != complete.end() ? found->second : NoteSet();
        m_presetReach[key] = use.reachOf(key);
    }
    m_loaded.push_back(fontId);
    m_fontPresets[fontId] = presets;
}

namespace {

// What of `use` (played as far as `song` says) a synthesiser that holds `notes`, cut to `reach`,
// lacks: each preset it does not hold, or holds with fewer notes or cut shorter, with every note and
// the farther reach of both, so that the newer subset serves what the older one did.
SoundFontUse lacking(const SoundFontUse& use, const SoundFontUse& song,
                     const std::map<PresetKey, NoteSet>& notes, const std::map<PresetKey, PresetReach>& reach)
{
    SoundFontUse missing;
    for (const auto& [key, played] : use.presets) {
        const PresetReach needed = song.reachOf(key);
        const auto held = notes.find(key);
        if (held == notes.end()) {
            missing.presets[key] = played;
            missing.reach[key] = needed;
            continue;
        }
        const auto cut = reach.find(key);
        const PresetReach heldReach = cut != reach.end() ? cut->second : PresetReach{};
        if ((played & ~held->second).any() || !heldReach.covers(needed)) {
            missing.presets[key] = played | held->second;
            missing.reach[key] = heldReach.joined(needed);
        }
    }
    return missing;
}

} // namespace

SoundFontUse MidiSynth::missingFrom(const SoundFontUse& use) const
{
    return lacking(use, use, m_presets, m_presetReach);
}

fluid_sfont_t* MidiSynth::loadApart(const SoundFontTables& tables, const SoundFontUse& use, Loader& loader,
                                    std::vector<PresetKey>& presets, std::map<PresetKey, NoteSet>& complete,
                                    std::string& error)
{
    if (use.presets.empty())
        return nullptr;
    if (!loader.synth) {
        // A synthesiser that only loads: no voices to speak of, no effects.
        const std::lock_guard lock(g_makingSynth);
        loader.settings = new_fluid_settings();
        if (loader.settings) {
            fluid_settings_setint(loader.settings, "synth.polyphony", 1);
            fluid_settings_setint(loader.settings, "synth.lock-memory", 0);
            fluid_settings_setint(loader.settings, "synth.dynamic-sample-loading", 0);
            fluid_settings_setint(loader.settings, "synth.threadsafe-api", 0);
            fluid_settings_setint(loader.settings, "synth.reverb.active", 0);
            fluid_settings_setint(loader.settings, "synth.chorus.active", 0);
            loader.synth = new_fluid_synth(loader.settings);
        }
        if (!loader.synth || !addSubsetLoader(loader.settings, loader.synth)) {
            error = "cannot create a FluidSynth synthesiser to load samples with";
            return nullptr;
        }
    }
    SoundFontSubset subset = buildSoundFontSubset(tables, use, false, &error);
    if (subset.size() == 0)
        return nullptr;
    const int id = loadFromMemory(loader.synth, subset);
    if (id == FLUID_FAILED) {
        error = "FluidSynth refused a subset of " + tables.path();
        return nullptr;
    }
    // Out of the loading synthesiser's list without a release: the list's reference goes with the
    // font to the synthesiser that takes it over (fluid_synth_add_sfont() takes ownership).
    fluid_sfont_t* font = fluid_synth_get_sfont_by_id(loader.synth, id);
    fluid_synth_remove_sfont(loader.synth, font);
    presets.insert(presets.end(), subset.contents.presets.begin(), subset.contents.presets.end());
    complete.insert(subset.complete.begin(), subset.complete.end());
    return font;
}

void MidiSynth::loadStages(std::shared_ptr<const SoundFontTables> tables, Pipeline* pipeline, Loader* loaders)
{
    for (std::size_t i = 0; i < pipeline->stages.size(); ++i) {
        Stage& stage = pipeline->stages[i];
        std::string otherError;
        std::map<PresetKey, NoteSet> otherComplete;
        std::thread other;
        try {
            other = std::thread([&] {
                stage.fonts[1] = loadApart(*tables, stage.halves[1], loaders[1], stage.presets[1],
                                           otherComplete, otherError);
            });
        } catch (const std::system_error&) {
            stage.fonts[1] =
                loadApart(*tables, stage.halves[1], loaders[1], stage.presets[1], otherComplete, otherError);
        }
        stage.fonts[0] =
            loadApart(*tables, stage.halves[0], loaders[0], stage.presets[0], stage.complete, stage.error);
        if (other.joinable())
            other.join();
        stage.complete.insert(otherComplete.begin(), otherComplete.end());
        if (stage.error.empty())
            stage.error = otherError;
        {
            std::lock_guard lock(pipeline->mutex);
            pipeline->done = i + 1;
        }
        pipeline->loaded.notify_all();
    }
}

void MidiSynth::keepingChannels(const std::function<void()>& change)
{
    // FluidSynth chooses every channel's preset again after a font comes or goes, from the channel's
    // bank and program: first each channel is set on the preset it plays, so that the choice lands on
    // that preset in the newest font that has it; then the bank it had (a bank select since the
    // program change, or the bank the program change asked for when the font had to fall back) is put
    // back.
    int banks[16];
    bool chosen[16] = {};
    for (int ch = 0; ch < 16; ++ch) {
        int fontId = 0, program = 0;
        fluid_synth_get_program(m_synth, ch, &fontId, &banks[ch], &program);
        fluid_preset_t* preset = fluid_synth_get_channel_preset(m_synth, ch);
        if (!preset)
            continue;
        chosen[ch] = true;
        fluid_synth_program_select(m_synth, ch, fluid_sfont_get_id(fluid_preset_get_sfont(preset)),
                                   fluid_preset_get_banknum(preset), fluid_preset_get_num(preset));
    }
    change();
    for (int ch = 0; ch < 16; ++ch)
        if (chosen[ch])
            fluid_synth_bank_select(m_synth, ch, banks[ch]);
}

int MidiSynth::takeOver(fluid_sfont_t* font)
{
    int id = FLUID_FAILED;
    keepingChannels([&] { id = fluid_synth_add_sfont(m_synth, font); });
    return id;
}

void MidiSynth::dropShadowed()
{
    // A program change finds a preset in the newest font that has it: a font whose every preset a
    // newer one also holds (with all its notes, since each stage holds all of a preset's notes so far)
    // is never chosen again. No channel plays it either, since each taking over moved the channels to
    // the newest fonts. FluidSynth frees it once the voices still sounding its samples have ended.
    std::set<PresetKey> newer;
    std::vector<int> shadowed;
    for (auto id = m_loaded.rbegin(); id != m_loaded.rend(); ++id) {
        if (*id == m_baseFontId)
            continue;
        const std::vector<PresetKey>& presets = m_fontPresets[*id];
        if (std::all_of(presets.begin(), presets.end(),
                        [&](const PresetKey& key) { return newer.count(key); }))
            shadowed.push_back(*id);
        else
            newer.insert(presets.begin(), presets.end());
    }
    if (shadowed.empty())
        return;
    keepingChannels([&] {
        for (int id : shadowed)
            fluid_synth_sfunload(m_synth, id, 0);
    });
    for (int id : shadowed) {
        std::erase(m_loaded, id);
        m_fontPresets.erase(id);
    }
}

bool MidiSynth::takeLoaded(bool wait)
{
    if (!m_pipeline)
        return false;
    Pipeline& pipeline = *m_pipeline;
    std::size_t done = 0;
    {
        std::unique_lock lock(pipeline.mutex);
        if (wait)
            pipeline.loaded.wait(lock, [&] { return pipeline.done > pipeline.taken; });
        done = pipeline.done;
    }
    if (done == pipeline.taken)
        return false;
    for (; pipeline.taken < done; ++pipeline.taken) {
        Stage& stage = pipeline.stages[pipeline.taken];
        if (!stage.error.empty())
            std::fprintf(stderr, "quillbeat: %s\n", stage.error.c_str());
        for (int half = 0; half < 2; ++half) {
            fluid_sfont_t* font = std::exchange(stage.fonts[half], nullptr);
            if (!font)
                continue;
            const int id = takeOver(font);
            if (id != FLUID_FAILED)
                noteLoaded(id, stage.presets[half], stage.complete, stage.halves[half]);
        }
        m_loadedUntil = stage.until;
    }
    dropShadowed();
    if (pipeline.taken == pipeline.stages.size()) {
        joinLoading();
        m_pipeline.reset();
        // The song is loaded: the loading synthesisers go until a song needs them again, and what the
        // dropped fonts and the loading freed goes back to the system (the loading threads' pools
        // would otherwise keep it).
        for (Loader& loader : m_loaders)
            loader.reset();
        ::malloc_trim(0);
        m_loadedUntil = std::numeric_limits<std::int64_t>::max();
    }
    return true;
}

bool MidiSynth::prepare(const MidiSequence& sequence, std::string* why)
{
    // What the song before left loading.
    while (m_pipeline)
        takeLoaded(true);
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
        std::erase_if(m_fontPresets, [this](const auto& font) { return font.first != m_baseFontId; });
        m_presets.clear();
        m_presetReach.clear();
    }
    const SoundFontUse missing = missingFrom(song);
    if (missing.presets.empty())
        return true;

    // The song loads in stages by the time its notes start (kMidiStageFrames), then the rest. The
    // first is there before this returns; the others load beside playback. Each stage holds, for every
    // preset it adds notes to, all the preset's notes so far, since a channel takes the newest font's
    // preset.
    std::int64_t firstNote = 0;
    for (const MidiEvent& e : sequence.events) {
        if (e.kind() == 0x90 && e.data2 > 0) {
            firstNote = e.frame;
            break;
        }
    }
    auto pipeline = std::make_unique<Pipeline>();
    std::int64_t coveredUntil = firstNote;
    std::map<PresetKey, NoteSet> loaded = m_presets;
    std::map<PresetKey, PresetReach> loadedReach = m_presetReach;
    std::vector<std::int64_t> stageEnds;
    for (std::int64_t frames : kMidiStageFrames)
        stageEnds.push_back(firstNote + frames);
    stageEnds.push_back(std::numeric_limits<std::int64_t>::max());
    for (std::int64_t until : stageEnds) {
        const SoundFontUse use = lacking(until == std::numeric_limits<std::int64_t>::max()
                                             ? song
                                             : collectSoundFontUse(sequence, *m_tables, until),
                                         song, loaded, loadedReach);
        if (use.presets.empty()) {
            if (pipeline->stages.empty())
                coveredUntil = until; // already there, from the songs before
            continue;
        }
        // Halves of about equal sample data, the largest presets first.
        std::vector<std::pair<std::uint64_t, PresetKey>> sizes;
        for (const auto& [key, notes] : use.presets) {
            SoundFontUse one;
            one.presets[key] = notes;
            const SubsetPlan plan(*m_tables, one);
            std::uint64_t bytes = 0;
            for (std::size_t sample : plan.samples())
                bytes += m_tables->sample(sample).end - m_tables->sample(sample).start;
            sizes.emplace_back(bytes, key);
            const auto complete = plan.complete().find(key);
            loaded[key] = complete != plan.complete().end() ? complete->second : NoteSet();
            loadedReach[key] = use.reachOf(key);
        }
        std::sort(sizes.begin(), sizes.end(), std::greater<>());
        Stage stage;
        stage.until = until;
        std::uint64_t weight[2] = {0, 0};
        for (const auto& [bytes, key] : sizes) {
            const int half = weight[1] < weight[0] ? 1 : 0;
            weight[half] += bytes;
            stage.halves[half].presets[key] = use.presets.at(key);
            stage.halves[half].reach[key] = use.reachOf(key);
        }
        pipeline->stages.push_back(std::move(stage));
    }
    if (pipeline->stages.empty())
        return true;
    // The first half of the first stage loads here, straight into this synthesiser (which renders
    // nothing until prepare() returns), beside the loading thread's second half.
    SoundFontUse here;
    if (coveredUntil <= firstNote)
        std::swap(here, pipeline->stages.front().halves[0]);
    m_pipeline = std::move(pipeline);
    try {
        m_pipeline->thread = std::thread(loadStages, m_tables, m_pipeline.get(), m_loaders);
    } catch (const std::system_error&) {
        loadStages(m_tables, m_pipeline.get(), m_loaders); // no thread to be had: load here
    }
    const bool loadedHere = here.presets.empty() || loadSubset(here, false, why);
    m_loadedUntil = coveredUntil;
    if (coveredUntil <= firstNote)
        takeLoaded(true); // the song's first notes are loaded before it sounds
    return loadedHere;
}

void MidiSynth::render(float* out, int frames)
{
    if (frames > 0) {
        fluid_synth_write_float(m_synth, frames, out, 0, kChannels, out, 1, kChannels);
        m_renderedFrames += frames;
    }
}

} // namespace qb::audio
