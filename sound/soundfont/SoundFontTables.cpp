#include "sound/soundfont/SoundFontTables.h"

#include "FileReads.h"
#include "posix/UniqueFd.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <optional>

namespace qb::audio {

namespace {

using Tables = SoundFontTables;

std::uint16_t u16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t u32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// What reading a font takes from its chunks: the "pdta" sub-chunks, whole, by tag, and where the
// sample data ("smpl") lie.
struct Chunks
{
    std::map<std::string, std::vector<std::uint8_t>> pdta;
    bool haveSamples = false;
    std::uint64_t sampleDataOffset = 0;
    std::uint64_t sampleDataBytes = 0;
};

enum class Walk
{
    Done,
    Damaged
};

// The sub-chunks of the "sdta" or "pdta" list whose sub-chunks start at `at` and end at `listEnd`.
Walk readList(int fd, std::uint64_t at, std::uint64_t listEnd, bool isPdta, Chunks& out)
{
    while (at + 8 <= listEnd) {
        std::uint8_t header[8];
        if (!readFully(fd, at, header, sizeof header))
            break;
        const std::uint64_t size = u32(header + 4);
        if (at + 8 + size > listEnd)
            return Walk::Damaged;
        const std::string tag(reinterpret_cast<const char*>(header), 4);
        if (!isPdta && tag == "smpl") {
            out.sampleDataOffset = at + 8;
            out.sampleDataBytes = size;
            out.haveSamples = true;
        } else if (isPdta) {
            std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
            if (!readFully(fd, at + 8, bytes.data(), bytes.size()))
                return Walk::Damaged;
            out.pdta[tag] = std::move(bytes);
        }
        at += 8 + size + (size & 1);
    }
    return Walk::Done;
}

// The chunks of the RIFF form, whose first chunk starts at byte 12 and which ends at `riffEnd`.
Walk readChunks(int fd, std::uint64_t riffEnd, Chunks& out)
{
    std::uint64_t at = 12;
    while (at + 12 <= riffEnd) {
        std::uint8_t header[12];
        if (!readFully(fd, at, header, sizeof header))
            break;
        const std::uint64_t size = u32(header + 4);
        const bool isSdta = std::memcmp(header + 8, "sdta", 4) == 0;
        const bool isPdta = std::memcmp(header + 8, "pdta", 4) == 0;
        if (std::memcmp(header, "LIST", 4) == 0 && (isSdta || isPdta) &&
            readList(fd, at + 12, std::min(at + 8 + size, riffEnd), isPdta, out) == Walk::Damaged)
            return Walk::Damaged;
        at += 8 + size + (size & 1);
    }
    return Walk::Done;
}

// Whether the table holds whole records of `size` bytes, at least one (its terminal record).
bool holdsRecords(const Chunks& chunks, const char* tag, std::size_t size)
{
    const auto it = chunks.pdta.find(tag);
    return it != chunks.pdta.end() && it->second.size() >= size && it->second.size() % size == 0;
}

// The records of a table whose records are `size` bytes each, decoded by `decode`; nothing when the
// table does not hold whole records.
template <class Record, class Decode>
std::optional<std::vector<Record>> decodeTable(const Chunks& chunks, const char* tag, std::size_t size,
                                               Decode decode)
{
    if (!holdsRecords(chunks, tag, size))
        return std::nullopt;
    const auto it = chunks.pdta.find(tag);
    std::vector<Record> records;
    records.reserve(it->second.size() / size);
    for (std::size_t at = 0; at < it->second.size(); at += size)
        records.push_back(decode(it->second.data() + at));
    return records;
}

Tables::PresetHeader decodePreset(const std::uint8_t* p)
{
    Tables::PresetHeader h{};
    std::memcpy(h.name, p, 20);
    h.program = u16(p + 20);
    h.bank = u16(p + 22);
    h.bag = u16(p + 24);
    h.library = u32(p + 26);
    h.genre = u32(p + 30);
    h.morphology = u32(p + 34);
    return h;
}

Tables::Instrument decodeInstrument(const std::uint8_t* p)
{
    Tables::Instrument in{};
    std::memcpy(in.name, p, 20);
    in.bag = u16(p + 20);
    return in;
}

Tables::SampleHeader decodeSample(const std::uint8_t* p)
{
    Tables::SampleHeader s{};
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
    return s;
}

Tables::Bag decodeBag(const std::uint8_t* p)
{
    return {u16(p), u16(p + 2)};
}

Tables::Generator decodeGenerator(const std::uint8_t* p)
{
    return {u16(p), u16(p + 2)};
}

// Each bag's first generator and modulator lie inside their tables, in order.
bool bagsInRange(const std::vector<Tables::Bag>& bags, std::size_t gens, std::size_t mods)
{
    for (std::size_t i = 0; i < bags.size(); ++i) {
        if (bags[i].gen > gens - 1 || bags[i].mod > mods - 1)
            return false;
        if (i > 0 && (bags[i].gen < bags[i - 1].gen || bags[i].mod < bags[i - 1].mod))
            return false;
    }
    return true;
}

// Each header's first bag lies inside the bags, in order.
template <class Header> bool headersInRange(const std::vector<Header>& headers, std::size_t bags)
{
    for (std::size_t i = 0; i < headers.size(); ++i)
        if (headers[i].bag >= bags || (i > 0 && headers[i].bag < headers[i - 1].bag))
            return false;
    return true;
}

} // namespace

std::shared_ptr<const SoundFontTables> SoundFontTables::read(const std::string& path, std::string* why)
{
    auto fail = [why](std::string reason) -> std::shared_ptr<const SoundFontTables> {
        if (why)
            *why = std::move(reason);
        return nullptr;
    };
    const posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return fail("SoundFont not readable: " + path);
    std::uint8_t header[12];
    if (!readFully(fd.get(), 0, header, sizeof header) || std::memcmp(header, "RIFF", 4) != 0 ||
        std::memcmp(header + 8, "sfbk", 4) != 0)
        return fail("not a SoundFont: " + path);
    // Sizes are trusted no further than the file goes, so a damaged header cannot ask for gigabytes.
    const std::uint64_t riffEnd =
        std::min<std::uint64_t>(8 + std::uint64_t{u32(header + 4)}, fileSize(fd.get()));
    Chunks chunks;
    if (readChunks(fd.get(), riffEnd, chunks) == Walk::Damaged)
        return fail("damaged SoundFont: " + path);

    auto presets = decodeTable<PresetHeader>(chunks, "phdr", 38, decodePreset);
    auto presetBags = decodeTable<Bag>(chunks, "pbag", 4, decodeBag);
    auto presetGens = decodeTable<Generator>(chunks, "pgen", 4, decodeGenerator);
    auto instruments = decodeTable<Instrument>(chunks, "inst", 22, decodeInstrument);
    auto instrumentBags = decodeTable<Bag>(chunks, "ibag", 4, decodeBag);
    auto instrumentGens = decodeTable<Generator>(chunks, "igen", 4, decodeGenerator);
    auto samples = decodeTable<SampleHeader>(chunks, "shdr", 46, decodeSample);
    const bool modulators =
        holdsRecords(chunks, "pmod", kModulatorBytes) && holdsRecords(chunks, "imod", kModulatorBytes);
    if (!chunks.haveSamples || !presets || !presetBags || !presetGens || !instruments || !instrumentBags ||
        !instrumentGens || !samples || !modulators)
        return fail("not a usable SoundFont: " + path);

    auto tables = std::make_shared<SoundFontTables>();
    tables->m_path = path;
    tables->m_presets = std::move(*presets);
    tables->m_presetBags = std::move(*presetBags);
    tables->m_presetMods = std::move(chunks.pdta["pmod"]);
    tables->m_presetGens = std::move(*presetGens);
    tables->m_instruments = std::move(*instruments);
    tables->m_instrumentBags = std::move(*instrumentBags);
    tables->m_instrumentMods = std::move(chunks.pdta["imod"]);
    tables->m_instrumentGens = std::move(*instrumentGens);
    tables->m_samples = std::move(*samples);
    tables->m_sampleDataOffset = chunks.sampleDataOffset;
    tables->m_sampleDataFrames = chunks.sampleDataBytes / 2;
    if (!tables->indicesInRange())
        return fail("damaged SoundFont tables: " + path);
    for (std::size_t p = 0; p < tables->presetCount(); ++p) {
        const PresetHeader& h = tables->m_presets[p];
        tables->m_presetIndex.emplace(PresetKey{h.bank, h.program}, static_cast<int>(p));
    }
    return tables;
}

bool SoundFontTables::indicesInRange() const
{
    return bagsInRange(m_presetBags, m_presetGens.size(), m_presetMods.size() / kModulatorBytes) &&
           bagsInRange(m_instrumentBags, m_instrumentGens.size(),
                       m_instrumentMods.size() / kModulatorBytes) &&
           headersInRange(m_presets, m_presetBags.size()) &&
           headersInRange(m_instruments, m_instrumentBags.size());
}

int SoundFontTables::presetIndex(PresetKey key) const
{
    const auto found = m_presetIndex.find(key);
    return found == m_presetIndex.end() ? -1 : found->second;
}

std::span<const SoundFontTables::Generator> SoundFontTables::presetGenerators(std::size_t bag) const
{
    return std::span(m_presetGens)
        .subspan(m_presetBags[bag].gen, m_presetBags[bag + 1].gen - m_presetBags[bag].gen);
}

std::span<const std::uint8_t> SoundFontTables::presetModulators(std::size_t bag) const
{
    const std::size_t first = m_presetBags[bag].mod, end = m_presetBags[bag + 1].mod;
    return std::span(m_presetMods).subspan(first * kModulatorBytes, (end - first) * kModulatorBytes);
}

std::span<const SoundFontTables::Generator> SoundFontTables::instrumentGenerators(std::size_t bag) const
{
    return std::span(m_instrumentGens)
        .subspan(m_instrumentBags[bag].gen, m_instrumentBags[bag + 1].gen - m_instrumentBags[bag].gen);
}

std::span<const std::uint8_t> SoundFontTables::instrumentModulators(std::size_t bag) const
{
    const std::size_t first = m_instrumentBags[bag].mod, end = m_instrumentBags[bag + 1].mod;
    return std::span(m_instrumentMods).subspan(first * kModulatorBytes, (end - first) * kModulatorBytes);
}

} // namespace qb::audio
