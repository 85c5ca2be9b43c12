#include "sound/soundfont/SoundFontTables.h"

#include "FileReads.h"
#include "posix/UniqueFd.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <sys/stat.h>

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

// What reading a font takes from its chunks: the "pdta" sub-chunks, whole, by tag, where the sample
// data ("smpl") and their low bytes ("sm24") lie, and the version ("ifil").
struct Chunks
{
    std::map<std::string, std::vector<std::uint8_t>> pdta;
    bool haveSamples = false;
    bool havePdta = false;
    std::uint64_t sampleDataOffset = 0;
    std::uint64_t sampleDataBytes = 0;
    std::uint64_t sample24Offset = 0;
    std::uint64_t sample24Bytes = 0;
    Tables::Version version;
};

struct Failure
{
    SoundFontFault fault;
    const char* what;
};
using Walk = std::optional<Failure>; // nothing: read on

// A font has a handful of chunks in each list; more than this is not a font's structure but a run of
// junk, and walking it would take time for nothing.
constexpr int kMaxChunksPerList = 64;

// Whether `tag` can name a chunk: four printable ASCII characters. A run of zeros or other junk read
// as chunks would be walked eight bytes at a time.
bool isChunkTag(const std::uint8_t* tag)
{
    return std::all_of(tag, tag + 4, [](std::uint8_t c) { return c >= 0x20 && c < 0x7F; });
}

// Where the chunk after the one of `size` bytes at `at` starts: after the zero byte that pads an odd
// size, unless the font left it out (some compressed fonts do, and FluidSynth reads them so) and the
// next chunk starts right away.
std::uint64_t nextChunk(int fd, std::uint64_t at, std::uint64_t size)
{
    const std::uint64_t next = at + 8 + size;
    if ((size & 1) == 0)
        return next;
    std::uint8_t tag[4];
    if (readFully(fd, next, tag, sizeof tag) && tag[0] != 0 && isChunkTag(tag))
        return next;
    return next + 1;
}

// The largest size each "pdta" table can have: as many records as its 16-bit indices address.
std::uint64_t largestTable(const std::string& tag)
{
    // A constant table, not a static object: a reading given up at the limit may still be running
    // while the program's static objects are destroyed at its exit.
    struct Record
    {
        std::string_view tag;
        std::uint64_t bytes;
    };
    static constexpr Record kRecords[] = {{"phdr", 38}, {"pbag", 4},  {"pmod", 10}, {"pgen", 4}, {"inst", 22},
                                          {"ibag", 4},  {"imod", 10}, {"igen", 4},  {"shdr", 46}};
    for (const Record& record : kRecords) {
        if (record.tag == tag)
            return record.bytes * Tables::kMaxRecords;
    }
    return 0;
}

// The sub-chunks of the list `type` ("INFO", "sdta" or "pdta") whose sub-chunks start at `at` and end
// at `listEnd`.
Walk readList(int fd, std::uint64_t at, std::uint64_t listEnd, const std::string& type, Chunks& out)
{
    for (int count = 0; at + 8 <= listEnd; ++count) {
        std::uint8_t header[8];
        if (!readFully(fd, at, header, sizeof header))
            return Failure{SoundFontFault::Unreadable, "a read failed"};
        if (!isChunkTag(header) || count == kMaxChunksPerList) {
            // What follows the sample data, or the font's description, is never read: a synthesiser
            // skips it too. Junk among the tables is damage.
            if (type != "pdta")
                return std::nullopt;
            return Failure{SoundFontFault::Damaged, "junk where its chunks should be"};
        }
        const std::uint64_t size = u32(header + 4);
        const std::string tag(reinterpret_cast<const char*>(header), 4);
        if (at + 8 + size > listEnd)
            return Failure{SoundFontFault::Damaged, "a chunk runs past its list or the file's end"};
        if (type == "INFO" && tag == "ifil" && size == 4) {
            std::uint8_t version[4];
            if (!readFully(fd, at + 8, version, sizeof version))
                return Failure{SoundFontFault::Unreadable, "a read failed"};
            out.version = {u16(version), u16(version + 2)};
        } else if (type == "sdta" && tag == "smpl") {
            out.sampleDataOffset = at + 8;
            out.sampleDataBytes = size;
            out.haveSamples = true;
        } else if (type == "sdta" && tag == "sm24") {
            out.sample24Offset = at + 8;
            out.sample24Bytes = size;
        } else if (type == "pdta") {
            if (size > largestTable(tag))
                return Failure{SoundFontFault::Damaged, "a table larger than its indices can address"};
            std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
            if (!readFully(fd, at + 8, bytes.data(), bytes.size()))
                return Failure{SoundFontFault::Unreadable, "a read failed"};
            out.pdta[tag] = std::move(bytes);
            // The nine tables are all a synthesiser reads of the list: whatever follows them is not.
            if (out.pdta.size() == 9 && tag == "shdr")
                return std::nullopt;
        }
        at = nextChunk(fd, at, size);
    }
    return std::nullopt;
}

// The chunks of the RIFF form, whose first chunk starts at byte 12 and which ends at `riffEnd`, up to
// the "pdta" list (the last a SoundFont has; what follows it is never read).
Walk readChunks(int fd, std::uint64_t riffEnd, Chunks& out)
{
    std::uint64_t at = 12;
    for (int count = 0; at + 12 <= riffEnd && !out.havePdta; ++count) {
        std::uint8_t header[12];
        if (!readFully(fd, at, header, sizeof header))
            return Failure{SoundFontFault::Unreadable, "a read failed"};
        if (!isChunkTag(header) || count == kMaxChunksPerList)
            return Failure{SoundFontFault::Damaged, "junk where its chunks should be"};
        const std::uint64_t size = u32(header + 4);
        if (std::memcmp(header, "LIST", 4) == 0) {
            const std::string type(reinterpret_cast<const char*>(header + 8), 4);
            if (at + 8 + size > riffEnd)
                return Failure{SoundFontFault::Damaged, "a list runs past the file's end"};
            if (type == "INFO" || type == "sdta" || type == "pdta") {
                if (Walk failed = readList(fd, at + 12, at + 8 + size, type, out))
                    return failed;
                out.havePdta = out.havePdta || type == "pdta";
            }
        }
        at = nextChunk(fd, at, size);
    }
    return std::nullopt;
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

std::shared_ptr<const SoundFontTables> SoundFontTables::read(const std::string& path, std::string* why,
                                                             SoundFontFault* fault)
{
    auto fail = [&](SoundFontFault kind,
                    const std::string& reason) -> std::shared_ptr<const SoundFontTables> {
        if (why)
            *why = reason + ": " + path;
        if (fault)
            *fault = kind;
        return nullptr;
    };
    // Not blocking: a FIFO would otherwise wait here for a writer that never comes.
    const posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st
    {
    };
    if (!fd || ::fstat(fd.get(), &st) != 0)
        return fail(SoundFontFault::Unreadable, "SoundFont not readable");
    if (!S_ISREG(st.st_mode))
        return fail(SoundFontFault::Unreadable, "SoundFont not a regular file");
    std::uint8_t header[12];
    if (!readFully(fd.get(), 0, header, sizeof header) || std::memcmp(header, "RIFF", 4) != 0 ||
        std::memcmp(header + 8, "sfbk", 4) != 0)
        return fail(SoundFontFault::NotSoundFont, "not a SoundFont");
    // Sizes are trusted no further than the file goes (as it was when opened: one that grows meanwhile
    // is read as it was), so a damaged header cannot ask for gigabytes.
    const std::uint64_t riffEnd =
        std::min<std::uint64_t>(8 + std::uint64_t{u32(header + 4)}, static_cast<std::uint64_t>(st.st_size));
    Chunks chunks;
    if (const Walk failed = readChunks(fd.get(), riffEnd, chunks))
        return fail(failed->fault, std::string("damaged SoundFont (") + failed->what + ")");

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
        return fail(SoundFontFault::NotUnderstood, "SoundFont tables missing or not whole records");
    const Version version = chunks.version;
    if (version.major < 2 || version.major > 3)
        return fail(SoundFontFault::NotUnderstood, "SoundFont version " + std::to_string(version.major) +
                                                       "." + std::to_string(version.minor));
    bool compressed = false;
    std::optional<std::uint16_t> unknownType;
    for (const SampleHeader& h : *samples) {
        if (&h != &samples->back() && (h.type & ~kKnownSampleTypes) != 0 && !unknownType)
            unknownType = h.type;
        compressed = compressed || (&h != &samples->back() && h.compressed());
    }

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
    tables->m_sampleDataBytes = chunks.sampleDataBytes;
    tables->m_version = version;
    tables->m_compressed = compressed;
    // The low bytes count only where a synthesiser takes them: a font of version 2.04 or later whose
    // "sm24" holds one byte per point (rounded up to an even size).
    const std::uint64_t points = chunks.sampleDataBytes / 2;
    if (version.major >= 2 && version.minor >= 4 && chunks.sample24Bytes == points + points % 2) {
        tables->m_sample24Offset = chunks.sample24Offset;
        tables->m_sample24Bytes = chunks.sample24Bytes;
    }
    if (!tables->indicesInRange())
        return fail(SoundFontFault::NotUnderstood,
                    "SoundFont tables whose indices are out of range or order");
    if (unknownType) {
        // FluidSynth's own loader takes such a font, but refuses it whole when a preset reaches a
        // sample the font does not have (a subset leaves that zone out), and then leaves the instrument
        // it was building allocated. It is told so here instead.
        if (tables->reachesMissingSample())
            return fail(SoundFontFault::Damaged, "a preset whose instrument names a sample the font lacks");
        return fail(SoundFontFault::NotUnderstood,
                    "a sample of an unknown type (" + std::to_string(*unknownType) + ")");
    }
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

bool SoundFontTables::reachesMissingSample() const
{
    // As FluidSynth reads a zone: the first instrument or sample generator names what it plays.
    const auto target = [](std::span<const Generator> gens,
                           std::uint16_t oper) -> std::optional<std::size_t> {
        for (const Generator& g : gens) {
            if (g.oper == oper)
                return g.amount;
        }
        return std::nullopt;
    };
    std::vector<bool> checked(instrumentCount(), false);
    for (std::size_t p = 0; p < presetCount(); ++p) {
        for (std::size_t pz = presetZones(p).begin; pz < presetZones(p).end; ++pz) {
            const auto instrument = target(presetGenerators(pz), kInstrument);
            if (!instrument || *instrument >= instrumentCount() || checked[*instrument])
                continue;
            checked[*instrument] = true;
            for (std::size_t iz = instrumentZones(*instrument).begin; iz < instrumentZones(*instrument).end;
                 ++iz) {
                const auto sample = target(instrumentGenerators(iz), kSampleId);
                if (sample && *sample >= sampleCount())
                    return true;
            }
        }
    }
    return false;
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
