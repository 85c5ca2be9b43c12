#include "sound/midi/SoundFontSubset.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace qb::audio {

namespace {

constexpr int kDrumBank = 128;
constexpr int kDrumChannel = 9;
// Generators that matter to subsetting.
constexpr std::uint16_t kKeyRange = 43;
constexpr std::uint16_t kVelocityRange = 44;
constexpr std::uint16_t kInstrument = 41;
constexpr std::uint16_t kSampleId = 53;
// A SoundFont puts this many zero sample points after every sample, for interpolation.
constexpr std::uint32_t kSamplePadding = 46;

std::atomic<int> g_subsetsBuilt{0};

std::uint16_t u16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t u32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

class File
{
public:
    explicit File(const std::string& path) : m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    bool ok() const { return m_fd.valid(); }
    std::uint64_t size() const
    {
        struct stat st
        {
        };
        return ::fstat(m_fd.get(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    }
    bool readAt(std::uint64_t offset, void* out, std::size_t bytes) const
    {
        auto* to = static_cast<char*>(out);
        while (bytes > 0) {
            const ssize_t got = ::pread(m_fd.get(), to, bytes, static_cast<off_t>(offset));
            if (got <= 0)
                return false;
            to += got;
            offset += static_cast<std::uint64_t>(got);
            bytes -= static_cast<std::size_t>(got);
        }
        return true;
    }

private:
    posix::UniqueFd m_fd;
};

// Bits [from, to) of a note set.
NoteSet bitRange(std::size_t from, std::size_t to)
{
    if (to <= from)
        return {};
    return (NoteSet().set() >> (NoteSet().size() - (to - from))) << from;
}

// Key and velocity range of a zone's generators, as a set of notes. Built with whole-set shifts, not
// bit by bit: a General MIDI font has thousands of zones.
NoteSet zoneNotes(const SoundFontTables::Generator* gens, std::size_t count)
{
    std::size_t keyLow = 0, keyHigh = 127, velLow = 0, velHigh = 127;
    for (std::size_t i = 0; i < count; ++i) {
        if (gens[i].oper == kKeyRange) {
            keyLow = gens[i].amount & 0x7F;
            keyHigh = (gens[i].amount >> 8) & 0x7F;
        } else if (gens[i].oper == kVelocityRange) {
            velLow = gens[i].amount & 0x7F;
            velHigh = (gens[i].amount >> 8) & 0x7F;
        }
    }
    NoteSet velocities = bitRange(velLow, velHigh + 1);
    for (std::size_t shift = 128; shift < velocities.size(); shift *= 2)
        velocities |= velocities << shift;
    return velocities & bitRange(keyLow * 128, (keyHigh + 1) * 128);
}

void put16(std::vector<char>& out, std::uint32_t v)
{
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void put32(std::vector<char>& out, std::uint32_t v)
{
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}
void putTag(std::vector<char>& out, const char* tag)
{
    out.insert(out.end(), tag, tag + 4);
}
// Starts a chunk; returns where its size goes.
std::size_t openChunk(std::vector<char>& out, const char* tag)
{
    putTag(out, tag);
    put32(out, 0);
    return out.size();
}
void closeChunk(std::vector<char>& out, std::size_t start)
{
    const auto size = static_cast<std::uint32_t>(out.size() - start);
    for (int i = 0; i < 4; ++i)
        out[start - 4 + static_cast<std::size_t>(i)] = static_cast<char>((size >> (8 * i)) & 0xFF);
    if (size % 2)
        out.push_back(0);
}

} // namespace

std::shared_ptr<const SoundFontTables> SoundFontTables::read(const std::string& path, std::string* why)
{
    auto fail = [why](std::string reason) -> std::shared_ptr<const SoundFontTables> {
        if (why)
            *why = std::move(reason);
        return nullptr;
    };
    File file(path);
    if (!file.ok())
        return fail("SoundFont not readable: " + path);
    std::uint8_t header[12];
    if (!file.readAt(0, header, sizeof header) || std::memcmp(header, "RIFF", 4) != 0 ||
        std::memcmp(header + 8, "sfbk", 4) != 0)
        return fail("not a SoundFont: " + path);
    // Sizes are trusted no further than the file goes, so a damaged header cannot ask for gigabytes.
    const std::uint64_t riffEnd =
        std::min<std::uint64_t>(8 + static_cast<std::uint64_t>(u32(header + 4)), file.size());

    auto tables = std::make_shared<SoundFontTables>();
    tables->m_path = path;
    std::map<std::string, std::vector<std::uint8_t>> pdta;
    bool haveSamples = false;
    std::uint64_t at = 12;
    while (at + 12 <= riffEnd) {
        std::uint8_t chunk[12];
        if (!file.readAt(at, chunk, sizeof chunk))
            break;
        const std::uint64_t size = u32(chunk + 4);
        const std::uint64_t next = at + 8 + size + (size & 1);
        if (std::memcmp(chunk, "LIST", 4) == 0) {
            const bool isSdta = std::memcmp(chunk + 8, "sdta", 4) == 0;
            const bool isPdta = std::memcmp(chunk + 8, "pdta", 4) == 0;
            std::uint64_t sub = at + 12;
            const std::uint64_t listEnd = std::min(at + 8 + size, riffEnd);
            while ((isSdta || isPdta) && sub + 8 <= listEnd) {
                std::uint8_t subHeader[8];
                if (!file.readAt(sub, subHeader, sizeof subHeader))
                    break;
                const std::uint64_t subSize = u32(subHeader + 4);
                if (sub + 8 + subSize > listEnd)
                    return fail("damaged SoundFont: " + path);
                const std::string tag(reinterpret_cast<const char*>(subHeader), 4);
                if (isSdta && tag == "smpl") {
                    tables->m_sampleDataOffset = sub + 8;
                    tables->m_sampleDataFrames = subSize / 2;
                    haveSamples = true;
                } else if (isPdta) {
                    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(subSize));
                    if (!file.readAt(sub + 8, bytes.data(), bytes.size()))
                        return fail("damaged SoundFont: " + path);
                    pdta[tag] = std::move(bytes);
                }
                sub += 8 + subSize + (subSize & 1);
            }
        }
        at = next;
    }

    auto records = [&pdta](const char* tag, std::size_t size) -> std::optional<std::size_t> {
        auto it = pdta.find(tag);
        if (it == pdta.end() || it->second.size() < size || it->second.size() % size != 0)
            return std::nullopt;
        return it->second.size() / size;
    };
    const auto phdr = records("phdr", 38), pbag = records("pbag", 4), pmod = records("pmod", 10),
               pgen = records("pgen", 4), inst = records("inst", 22), ibag = records("ibag", 4),
               imod = records("imod", 10), igen = records("igen", 4), shdr = records("shdr", 46);
    if (!haveSamples || !phdr || !pbag || !pmod || !pgen || !inst || !ibag || !imod || !igen || !shdr)
        return fail("not a usable SoundFont: " + path);

    for (std::size_t i = 0; i < *phdr; ++i) {
        const std::uint8_t* p = pdta["phdr"].data() + i * 38;
        PresetHeader h{};
        std::memcpy(h.name, p, 20);
        h.program = u16(p + 20);
        h.bank = u16(p + 22);
        h.bag = u16(p + 24);
        h.library = u32(p + 26);
        h.genre = u32(p + 30);
        h.morphology = u32(p + 34);
        tables->m_presets.push_back(h);
    }
    auto readBags = [&pdta](const char* tag, std::size_t count, std::vector<Bag>& out) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t* p = pdta[tag].data() + i * 4;
            out.push_back({u16(p), u16(p + 2)});
        }
    };
    auto readGens = [&pdta](const char* tag, std::size_t count, std::vector<Generator>& out) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t* p = pdta[tag].data() + i * 4;
            out.push_back({u16(p), u16(p + 2)});
        }
    };
    readBags("pbag", *pbag, tables->m_presetBags);
    readBags("ibag", *ibag, tables->m_instrumentBags);
    readGens("pgen", *pgen, tables->m_presetGens);
    readGens("igen", *igen, tables->m_instrumentGens);
    tables->m_presetMods = std::move(pdta["pmod"]);
    tables->m_instrumentMods = std::move(pdta["imod"]);
    for (std::size_t i = 0; i < *inst; ++i) {
        const std::uint8_t* p = pdta["inst"].data() + i * 22;
        Instrument in{};
        std::memcpy(in.name, p, 20);
        in.bag = u16(p + 20);
        tables->m_instruments.push_back(in);
    }
    for (std::size_t i = 0; i < *shdr; ++i) {
        const std::uint8_t* p = pdta["shdr"].data() + i * 46;
        SampleHeader s{};
        std::memcpy(s.name, p, 20);
        s.start = u32(p + 20);
        s.end = u32(p + 24);
        s.loopStart = u32(p + 28);
        s.loopEnd = u32(p + 32);
        s.rate = u32(p + 36);
        s.pitch = p[40];
        s.correction = static_cast<std::int8_t>(p[41]);
        s.link = u16(p + 42);
        s.type = u16(p + 44);
        tables->m_samples.push_back(s);
    }

    // Every index must stay inside its table, so that building a subset never reads out of bounds.
    auto bagsOk = [](const std::vector<Bag>& bags, std::size_t gens, std::size_t mods) {
        for (std::size_t i = 0; i < bags.size(); ++i) {
            if (bags[i].gen > gens - 1 || bags[i].mod > mods - 1)
                return false;
            if (i > 0 && (bags[i].gen < bags[i - 1].gen || bags[i].mod < bags[i - 1].mod))
                return false;
        }
        return true;
    };
    bool ok = bagsOk(tables->m_presetBags, tables->m_presetGens.size(), tables->m_presetMods.size() / 10) &&
              bagsOk(tables->m_instrumentBags, tables->m_instrumentGens.size(),
                     tables->m_instrumentMods.size() / 10);
    for (std::size_t i = 0; ok && i < tables->m_presets.size(); ++i)
        ok = tables->m_presets[i].bag < tables->m_presetBags.size() &&
             (i == 0 || tables->m_presets[i].bag >= tables->m_presets[i - 1].bag);
    for (std::size_t i = 0; ok && i < tables->m_instruments.size(); ++i)
        ok = tables->m_instruments[i].bag < tables->m_instrumentBags.size() &&
             (i == 0 || tables->m_instruments[i].bag >= tables->m_instruments[i - 1].bag);
    if (!ok)
        return fail("damaged SoundFont tables: " + path);

    for (std::size_t i = 0; i + 1 < tables->m_presets.size(); ++i) {
        const PresetHeader& h = tables->m_presets[i];
        tables->m_presetIndex.emplace(PresetKey{h.bank, h.program}, static_cast<int>(i));
    }
    return tables;
}

PresetKey SoundFontTables::resolve(int bank, int program, bool drums) const
{
    if (drums) {
        if (hasPreset(kDrumBank, program))
            return {kDrumBank, program};
        if (hasPreset(kDrumBank, 0))
            return {kDrumBank, 0};
        return {-1, -1};
    }
    if (hasPreset(bank, program))
        return {bank, program};
    if (hasPreset(0, program))
        return {0, program};
    if (hasPreset(0, 0))
        return {0, 0};
    return {-1, -1};
}

SoundFontUse collectSoundFontUse(const MidiSequence& sequence, const SoundFontTables& tables)
{
    struct Channel
    {
        int bank = 0;
        int program = 0;
    };
    Channel channels[16];
    SoundFontUse use;
    // Parts switched to drums by system-exclusive messages are not followed here: a preset met only
    // that way is loaded when its first note comes.
    for (const MidiEvent& e : sequence.events) {
        const int ch = e.channel();
        switch (e.kind()) {
        case 0x90:
            if (e.data2 > 0) {
                const PresetKey key =
                    tables.resolve(channels[ch].bank, channels[ch].program, ch == kDrumChannel);
                if (key.first >= 0)
                    use.presets[key].set(static_cast<std::size_t>(e.data1 * 128 + e.data2));
            }
            break;
        case 0xB0:
            if (e.data1 == 0)
                channels[ch].bank = e.data2;
            break;
        case 0xC0:
            channels[ch].program = e.data1;
            break;
        case 0xF0: {
            // GM, GS and XG resets put every channel back to bank 0, program 0.
            const std::uint8_t* d = sequence.sysexData.data() + e.sysexOffset;
            const std::uint32_t n = e.sysexLength();
            const bool reset = (n >= 4 && d[0] == 0x7E && d[2] == 0x09 && (d[3] == 0x01 || d[3] == 0x03)) ||
                               (n >= 8 && d[0] == 0x41 && d[2] == 0x42 && d[3] == 0x12 && d[4] == 0x40 &&
                                d[5] == 0x00 && d[6] == 0x7F) ||
                               (n >= 7 && d[0] == 0x43 && (d[1] & 0xF0) == 0x10 && d[2] == 0x4C &&
                                d[3] == 0x00 && d[4] == 0x00 && (d[5] == 0x7E || d[5] == 0x7F));
            if (reset)
                std::fill(std::begin(channels), std::end(channels), Channel{});
            break;
        }
        default:
            break;
        }
    }
    return use;
}

class SoundFontSubsetBuilder
{
public:
    static SoundFontSubset build(const SoundFontTables& t, const SoundFontUse& use, bool allHeaders,
                                 std::string* why);
};

SoundFontSubset SoundFontSubsetBuilder::build(const SoundFontTables& t, const SoundFontUse& use,
                                              bool allHeaders, std::string* why)
{
    using Generator = SoundFontTables::Generator;
    SoundFontSubset subset;
    const std::size_t presetCount = t.m_presets.size() - 1;
    const std::size_t instrumentCount = t.m_instruments.size() - 1;
    const std::size_t sampleCount = t.m_samples.size() - 1;

    // Which preset zones, instrument zones and samples the notes reach.
    std::vector<std::vector<std::size_t>> presetZones(presetCount);
    std::vector<bool> presetUsed(presetCount, false);
    std::map<std::size_t, NoteSet> instrumentNotes; // only the instruments reached
    for (const auto& [key, notes] : use.presets) {
        const auto found = t.m_presetIndex.find(key);
        if (found == t.m_presetIndex.end() || notes.none())
            continue;
        const auto p = static_cast<std::size_t>(found->second);
        presetUsed[p] = true;
        for (std::size_t z = t.m_presets[p].bag; z < t.m_presets[p + 1].bag; ++z) {
            const Generator* gens = t.m_presetGens.data() + t.m_presetBags[z].gen;
            const std::size_t count = t.m_presetBags[z + 1].gen - t.m_presetBags[z].gen;
            const bool hasInstrument = count > 0 && gens[count - 1].oper == kInstrument;
            if (!hasInstrument) {
                if (z == t.m_presets[p].bag)
                    presetZones[p].push_back(z); // the global zone
                continue;
            }
            const std::size_t instrument = gens[count - 1].amount;
            if (instrument >= instrumentCount)
                continue;
            const NoteSet reached = zoneNotes(gens, count) & notes;
            if (reached.none())
                continue;
            presetZones[p].push_back(z);
            instrumentNotes[instrument] |= reached;
        }
    }
    std::vector<int> newInstrument(instrumentCount, -1);
    std::vector<std::vector<std::size_t>> instrumentZones(instrumentCount);
    std::vector<int> newSample(sampleCount, -1);
    std::vector<std::size_t> samples;
    int instruments = 0;
    for (std::size_t i = 0; i < instrumentCount; ++i) {
        const auto reachedNotes = instrumentNotes.find(i);
        if (reachedNotes == instrumentNotes.end())
            continue;
        newInstrument[i] = instruments++;
        for (std::size_t z = t.m_instruments[i].bag; z < t.m_instruments[i + 1].bag; ++z) {
            const Generator* gens = t.m_instrumentGens.data() + t.m_instrumentBags[z].gen;
            const std::size_t count = t.m_instrumentBags[z + 1].gen - t.m_instrumentBags[z].gen;
            const bool hasSample = count > 0 && gens[count - 1].oper == kSampleId;
            if (!hasSample) {
                if (z == t.m_instruments[i].bag)
                    instrumentZones[i].push_back(z);
                continue;
            }
            const std::size_t sample = gens[count - 1].amount;
            if (sample >= sampleCount || (zoneNotes(gens, count) & reachedNotes->second).none())
                continue;
            instrumentZones[i].push_back(z);
            if (newSample[sample] < 0) {
                newSample[sample] = 0;
                samples.push_back(sample);
            }
        }
    }
    std::sort(samples.begin(), samples.end());
    for (std::size_t n = 0; n < samples.size(); ++n)
        newSample[samples[n]] = static_cast<int>(n);

    // The sample data, each sample followed by its zero padding: where each comes from in the file.
    // It is read from there when the synthesiser reads the subset, straight into its own memory.
    subset.m_fd.reset(::open(t.m_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!subset.m_fd) {
        if (why)
            *why = "cannot read the samples of " + t.m_path;
        return {};
    }
    std::uint64_t points = 0;
    std::vector<SoundFontTables::SampleHeader> headers;
    for (std::size_t s : samples) {
        SoundFontTables::SampleHeader h = t.m_samples[s];
        const std::uint64_t start = std::min<std::uint64_t>(h.start, t.m_sampleDataFrames);
        const std::uint64_t end = std::clamp<std::uint64_t>(h.end, start, t.m_sampleDataFrames);
        const std::uint64_t offset = points;
        const std::uint64_t length = end - start;
        if (length > 0)
            subset.m_extents.push_back({offset * 2, t.m_sampleDataOffset + start * 2, length * 2});
        points += length + kSamplePadding;
        auto place = [&](std::uint32_t point) {
            const std::int64_t relative = static_cast<std::int64_t>(point) - static_cast<std::int64_t>(start);
            return static_cast<std::uint32_t>(offset + static_cast<std::uint64_t>(std::clamp<std::int64_t>(
                                                           relative, 0, static_cast<std::int64_t>(length))));
        };
        h.loopStart = place(h.loopStart);
        h.loopEnd = place(h.loopEnd);
        h.start = static_cast<std::uint32_t>(offset);
        h.end = static_cast<std::uint32_t>(offset + length);
        h.link = h.link < sampleCount && newSample[h.link] >= 0
                     ? static_cast<std::uint16_t>(newSample[h.link])
                     : 0;
        headers.push_back(h);
        subset.contents.samples.emplace_back(h.name, strnlen(h.name, 20));
    }
    points += kSamplePadding; // never an empty sample chunk
    subset.m_sampleBytes = points * 2;
    subset.contents.sampleDataBytes = subset.m_sampleBytes;

    // What each preset sounds as in the full font: every note but those reaching a zone left out.
    for (std::size_t p = 0; p < presetCount; ++p) {
        if (!presetUsed[p])
            continue;
        NoteSet complete = NoteSet().set();
        for (std::size_t z = t.m_presets[p].bag; z < t.m_presets[p + 1].bag; ++z) {
            const Generator* gens = t.m_presetGens.data() + t.m_presetBags[z].gen;
            const std::size_t count = t.m_presetBags[z + 1].gen - t.m_presetBags[z].gen;
            if (count == 0 || gens[count - 1].oper != kInstrument ||
                gens[count - 1].amount >= instrumentCount)
                continue;
            const NoteSet zone = zoneNotes(gens, count);
            if (std::find(presetZones[p].begin(), presetZones[p].end(), z) == presetZones[p].end()) {
                complete &= ~zone;
                continue;
            }
            const std::size_t i = gens[count - 1].amount;
            for (std::size_t iz = t.m_instruments[i].bag; iz < t.m_instruments[i + 1].bag; ++iz) {
                const Generator* igens = t.m_instrumentGens.data() + t.m_instrumentBags[iz].gen;
                const std::size_t icount = t.m_instrumentBags[iz + 1].gen - t.m_instrumentBags[iz].gen;
                if (icount == 0 || igens[icount - 1].oper != kSampleId)
                    continue;
                if (std::find(instrumentZones[i].begin(), instrumentZones[i].end(), iz) ==
                    instrumentZones[i].end())
                    complete &= ~(zone & zoneNotes(igens, icount));
            }
        }
        const SoundFontTables::PresetHeader& h = t.m_presets[p];
        subset.complete.emplace(PresetKey{h.bank, h.program}, complete);
    }

    std::vector<char> phdr, pbag, pmod, pgen, inst, ibag, imod, igen, shdr;
    for (std::size_t p = 0; p < presetCount; ++p) {
        if (!presetUsed[p] && !allHeaders)
            continue;
        const SoundFontTables::PresetHeader& h = t.m_presets[p];
        phdr.insert(phdr.end(), h.name, h.name + 20);
        put16(phdr, h.program);
        put16(phdr, h.bank);
        put16(phdr, static_cast<std::uint32_t>(pbag.size() / 4));
        put32(phdr, h.library);
        put32(phdr, h.genre);
        put32(phdr, h.morphology);
        (presetUsed[p] ? subset.contents.presets : subset.contents.headersOnly)
            .emplace_back(h.bank, h.program);
        for (std::size_t z : presetZones[p]) {
            put16(pbag, static_cast<std::uint32_t>(pgen.size() / 4));
            put16(pbag, static_cast<std::uint32_t>(pmod.size() / 10));
            for (std::uint16_t g = t.m_presetBags[z].gen; g < t.m_presetBags[z + 1].gen; ++g) {
                Generator gen = t.m_presetGens[g];
                if (gen.oper == kInstrument) {
                    // Only a zone's last generator names its instrument; one elsewhere is damage.
                    if (gen.amount >= instrumentCount || newInstrument[gen.amount] < 0)
                        continue;
                    gen.amount = static_cast<std::uint16_t>(newInstrument[gen.amount]);
                }
                put16(pgen, gen.oper);
                put16(pgen, gen.amount);
            }
            pmod.insert(pmod.end(), t.m_presetMods.begin() + t.m_presetBags[z].mod * 10,
                        t.m_presetMods.begin() + t.m_presetBags[z + 1].mod * 10);
        }
    }
    for (std::size_t i = 0; i < instrumentCount; ++i) {
        if (newInstrument[i] < 0)
            continue;
        inst.insert(inst.end(), t.m_instruments[i].name, t.m_instruments[i].name + 20);
        put16(inst, static_cast<std::uint32_t>(ibag.size() / 4));
        for (std::size_t z : instrumentZones[i]) {
            put16(ibag, static_cast<std::uint32_t>(igen.size() / 4));
            put16(ibag, static_cast<std::uint32_t>(imod.size() / 10));
            for (std::uint16_t g = t.m_instrumentBags[z].gen; g < t.m_instrumentBags[z + 1].gen; ++g) {
                Generator gen = t.m_instrumentGens[g];
                if (gen.oper == kSampleId) {
                    if (gen.amount >= sampleCount || newSample[gen.amount] < 0)
                        continue;
                    gen.amount = static_cast<std::uint16_t>(newSample[gen.amount]);
                }
                put16(igen, gen.oper);
                put16(igen, gen.amount);
            }
            imod.insert(imod.end(), t.m_instrumentMods.begin() + t.m_instrumentBags[z].mod * 10,
                        t.m_instrumentMods.begin() + t.m_instrumentBags[z + 1].mod * 10);
        }
    }
    for (const SoundFontTables::SampleHeader& h : headers) {
        shdr.insert(shdr.end(), h.name, h.name + 20);
        for (std::uint32_t v : {h.start, h.end, h.loopStart, h.loopEnd, h.rate})
            put32(shdr, v);
        shdr.push_back(static_cast<char>(h.pitch));
        shdr.push_back(static_cast<char>(h.correction));
        put16(shdr, h.link);
        put16(shdr, h.type);
    }
    // The terminal records.
    const char eop[20] = "EOP";
    phdr.insert(phdr.end(), eop, eop + 20);
    put16(phdr, 0);
    put16(phdr, 0);
    put16(phdr, static_cast<std::uint32_t>(pbag.size() / 4));
    put32(phdr, 0);
    put32(phdr, 0);
    put32(phdr, 0);
    put16(pbag, static_cast<std::uint32_t>(pgen.size() / 4));
    put16(pbag, static_cast<std::uint32_t>(pmod.size() / 10));
    pmod.resize(pmod.size() + 10, 0);
    put32(pgen, 0);
    const char eoi[20] = "EOI";
    inst.insert(inst.end(), eoi, eoi + 20);
    put16(inst, static_cast<std::uint32_t>(ibag.size() / 4));
    put16(ibag, static_cast<std::uint32_t>(igen.size() / 4));
    put16(ibag, static_cast<std::uint32_t>(imod.size() / 10));
    imod.resize(imod.size() + 10, 0);
    put32(igen, 0);
    const char eos[20] = "EOS";
    shdr.insert(shdr.end(), eos, eos + 20);
    shdr.resize(shdr.size() + 26, 0);

    // RIFF sizes are written as they are known; the sample data sits between m_head and m_tail.
    std::vector<char>& out = subset.m_head;
    const std::size_t riff = openChunk(out, "RIFF");
    putTag(out, "sfbk");
    const std::size_t info = openChunk(out, "LIST");
    putTag(out, "INFO");
    const std::size_t ifil = openChunk(out, "ifil");
    put16(out, 2);
    put16(out, 1);
    closeChunk(out, ifil);
    const std::size_t inam = openChunk(out, "INAM");
    const char name[] = "Quillbeat subset\0"; // an even size, terminated
    out.insert(out.end(), name, name + sizeof name);
    closeChunk(out, inam);
    closeChunk(out, info);
    putTag(out, "LIST");
    put32(out, static_cast<std::uint32_t>(4 + 8 + subset.m_sampleBytes));
    putTag(out, "sdta");
    putTag(out, "smpl");
    put32(out, static_cast<std::uint32_t>(subset.m_sampleBytes));

    std::vector<char>& tail = subset.m_tail;
    const std::size_t pdtaList = openChunk(tail, "LIST");
    putTag(tail, "pdta");
    const std::pair<const char*, const std::vector<char>*> parts[] = {
        {"phdr", &phdr}, {"pbag", &pbag}, {"pmod", &pmod}, {"pgen", &pgen}, {"inst", &inst},
        {"ibag", &ibag}, {"imod", &imod}, {"igen", &igen}, {"shdr", &shdr}};
    for (const auto& [tag, bytes] : parts) {
        const std::size_t c = openChunk(tail, tag);
        tail.insert(tail.end(), bytes->begin(), bytes->end());
        closeChunk(tail, c);
    }
    closeChunk(tail, pdtaList);
    const auto riffSize = static_cast<std::uint32_t>(out.size() - riff + subset.m_sampleBytes + tail.size());
    for (int i = 0; i < 4; ++i)
        out[riff - 4 + static_cast<std::size_t>(i)] = static_cast<char>((riffSize >> (8 * i)) & 0xFF);
    ++g_subsetsBuilt;
    return subset;
}

SoundFontSubset::~SoundFontSubset() = default;

SoundFontSubset::SoundFontSubset(SoundFontSubset&& other) noexcept
    : contents(std::move(other.contents)), complete(std::move(other.complete)),
      m_head(std::move(other.m_head)), m_tail(std::move(other.m_tail)), m_extents(std::move(other.m_extents)),
      m_sampleBytes(other.m_sampleBytes), m_fd(std::move(other.m_fd))
{
}

std::uint64_t SoundFontSubset::size() const
{
    return m_head.empty() ? 0 : m_head.size() + m_sampleBytes + m_tail.size();
}

bool SoundFontSubset::read(std::uint64_t offset, char* out, std::size_t bytes) const
{
    if (offset + bytes > size())
        return false;
    const std::uint64_t dataStart = m_head.size();
    const std::uint64_t dataEnd = dataStart + m_sampleBytes;
    while (bytes > 0) {
        std::size_t piece = 0;
        if (offset < dataStart) {
            piece = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, dataStart - offset));
            std::memcpy(out, m_head.data() + offset, piece);
        } else if (offset >= dataEnd) {
            piece = bytes;
            std::memcpy(out, m_tail.data() + (offset - dataEnd), piece);
        } else {
            // Zeros (the padding), with each sample that falls in the range read over them.
            piece = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, dataEnd - offset));
            const std::uint64_t from = offset - dataStart;
            const std::uint64_t to = from + piece;
            std::memset(out, 0, piece);
            auto extent = std::upper_bound(m_extents.begin(), m_extents.end(), from,
                                           [](std::uint64_t at, const Extent& e) { return at < e.at; });
            if (extent != m_extents.begin())
                --extent;
            for (; extent != m_extents.end() && extent->at < to; ++extent) {
                const std::uint64_t begin = std::max(from, extent->at);
                const std::uint64_t end = std::min(to, extent->at + extent->bytes);
                if (begin >= end)
                    continue;
                char* target = out + (begin - from);
                std::uint64_t fileAt = extent->from + (begin - extent->at);
                std::size_t left = static_cast<std::size_t>(end - begin);
                while (left > 0) {
                    const ssize_t got = ::pread(m_fd.get(), target, left, static_cast<off_t>(fileAt));
                    if (got <= 0)
                        return false;
                    target += got;
                    fileAt += static_cast<std::uint64_t>(got);
                    left -= static_cast<std::size_t>(got);
                }
            }
        }
        out += piece;
        offset += piece;
        bytes -= piece;
    }
    return true;
}

SoundFontSubset buildSoundFontSubset(const SoundFontTables& tables, const SoundFontUse& use, bool allHeaders,
                                     std::string* why)
{
    return SoundFontSubsetBuilder::build(tables, use, allHeaders, why);
}

int soundFontSubsetsBuilt()
{
    return g_subsetsBuilt.load();
}

} // namespace qb::audio
