#include "SubsetWriter.h"

#include "sound/soundfont/SubsetPlan.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <utility>

namespace qb::audio {

namespace {

// A SoundFont puts this many zero sample points after every sample, for interpolation.
constexpr std::uint32_t kSamplePadding = 46;
constexpr std::size_t kModulatorBytes = SoundFontTables::kModulatorBytes;

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
void putBytes(std::vector<char>& out, const char* bytes, std::size_t count)
{
    out.insert(out.end(), bytes, bytes + count);
}
// A record's count so far in a table of `size`-byte records: the index the next one gets.
std::uint32_t records(const std::vector<char>& table, std::size_t size)
{
    return static_cast<std::uint32_t>(table.size() / size);
}
// Starts a chunk; returns where its size goes.
std::size_t openChunk(std::vector<char>& out, const char* tag)
{
    putBytes(out, tag, 4);
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

SubsetWriter::SubsetWriter(const SoundFontTables& tables, const SubsetPlan& plan, bool allHeaders)
    : m_tables(tables), m_plan(plan), m_allHeaders(allHeaders)
{
}

SoundFontSubset SubsetWriter::write(std::string* why)
{
    // The sample data are read from the font file when the synthesiser reads the subset, straight
    // into its own memory.
    m_subset.m_fd.reset(::open(m_tables.path().c_str(), O_RDONLY | O_CLOEXEC));
    if (!m_subset.m_fd) {
        if (why)
            *why = "cannot read the samples of " + m_tables.path();
        return {};
    }
    placeSamples();
    m_subset.complete = m_plan.complete();
    writePresets();
    writeInstruments();
    writeSampleHeaders();
    writeTerminalRecords();
    writeHead();
    writeTail();
    return std::move(m_subset);
}

void SubsetWriter::placeSamples()
{
    const std::uint64_t frames = m_tables.sampleDataFrames();
    std::uint64_t points = 0;
    for (std::size_t s : m_plan.samples()) {
        SoundFontTables::SampleHeader h = m_tables.sample(s);
        const std::uint64_t start = std::min<std::uint64_t>(h.start, frames);
        const std::uint64_t end = std::clamp<std::uint64_t>(h.end, start, frames);
        const std::uint64_t offset = points;
        const std::uint64_t length = end - start;
        if (length > 0)
            m_subset.m_extents.push_back({offset * 2, m_tables.sampleDataOffset() + start * 2, length * 2});
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
        h.link = h.link < m_tables.sampleCount() && m_plan.sampleIndex(h.link) >= 0
                     ? static_cast<std::uint16_t>(m_plan.sampleIndex(h.link))
                     : 0;
        m_sampleHeaders.push_back(h);
        m_subset.contents.samples.emplace_back(h.name, strnlen(h.name, 20));
    }
    points += kSamplePadding; // never an empty sample chunk
    m_subset.m_sampleBytes = points * 2;
    m_subset.contents.sampleDataBytes = m_subset.m_sampleBytes;
}

void SubsetWriter::writePresets()
{
    for (std::size_t p = 0; p < m_tables.presetCount(); ++p) {
        const bool kept = m_plan.keepsPreset(p);
        if (!kept && !m_allHeaders)
            continue;
        const SoundFontTables::PresetHeader& h = m_tables.preset(p);
        putBytes(m_phdr, h.name, 20);
        put16(m_phdr, h.program);
        put16(m_phdr, h.bank);
        put16(m_phdr, records(m_pbag, 4));
        put32(m_phdr, h.library);
        put32(m_phdr, h.genre);
        put32(m_phdr, h.morphology);
        (kept ? m_subset.contents.presets : m_subset.contents.headersOnly).emplace_back(h.bank, h.program);
        for (std::size_t z : m_plan.presetZones(p))
            writePresetZone(z);
    }
}

void SubsetWriter::writePresetZone(std::size_t bag)
{
    put16(m_pbag, records(m_pgen, 4));
    put16(m_pbag, records(m_pmod, kModulatorBytes));
    for (SoundFontTables::Generator gen : m_tables.presetGenerators(bag)) {
        if (gen.oper == SoundFontTables::kInstrument) {
            // Only a zone's last generator names its instrument; one elsewhere is damage.
            if (gen.amount >= m_tables.instrumentCount() || m_plan.instrumentIndex(gen.amount) < 0)
                continue;
            gen.amount = static_cast<std::uint16_t>(m_plan.instrumentIndex(gen.amount));
        }
        put16(m_pgen, gen.oper);
        put16(m_pgen, gen.amount);
    }
    const auto mods = m_tables.presetModulators(bag);
    m_pmod.insert(m_pmod.end(), mods.begin(), mods.end());
}

void SubsetWriter::writeInstruments()
{
    for (std::size_t i = 0; i < m_tables.instrumentCount(); ++i) {
        if (m_plan.instrumentIndex(i) < 0)
            continue;
        putBytes(m_inst, m_tables.instrument(i).name, 20);
        put16(m_inst, records(m_ibag, 4));
        for (std::size_t z : m_plan.instrumentZones(i))
            writeInstrumentZone(z);
    }
}

void SubsetWriter::writeInstrumentZone(std::size_t bag)
{
    put16(m_ibag, records(m_igen, 4));
    put16(m_ibag, records(m_imod, kModulatorBytes));
    for (SoundFontTables::Generator gen : m_tables.instrumentGenerators(bag)) {
        if (gen.oper == SoundFontTables::kSampleId) {
            if (gen.amount >= m_tables.sampleCount() || m_plan.sampleIndex(gen.amount) < 0)
                continue;
            gen.amount = static_cast<std::uint16_t>(m_plan.sampleIndex(gen.amount));
        }
        put16(m_igen, gen.oper);
        put16(m_igen, gen.amount);
    }
    const auto mods = m_tables.instrumentModulators(bag);
    m_imod.insert(m_imod.end(), mods.begin(), mods.end());
}

void SubsetWriter::writeSampleHeaders()
{
    for (const SoundFontTables::SampleHeader& h : m_sampleHeaders) {
        putBytes(m_shdr, h.name, 20);
        for (std::uint32_t v : {h.start, h.end, h.loopStart, h.loopEnd, h.rate})
            put32(m_shdr, v);
        m_shdr.push_back(static_cast<char>(h.pitch));
        m_shdr.push_back(static_cast<char>(h.correction));
        put16(m_shdr, h.link);
        put16(m_shdr, h.type);
    }
}

void SubsetWriter::writeTerminalRecords()
{
    const char eop[20] = "EOP";
    putBytes(m_phdr, eop, 20);
    put16(m_phdr, 0);
    put16(m_phdr, 0);
    put16(m_phdr, records(m_pbag, 4));
    put32(m_phdr, 0);
    put32(m_phdr, 0);
    put32(m_phdr, 0);
    put16(m_pbag, records(m_pgen, 4));
    put16(m_pbag, records(m_pmod, kModulatorBytes));
    m_pmod.resize(m_pmod.size() + kModulatorBytes, 0);
    put32(m_pgen, 0);
    const char eoi[20] = "EOI";
    putBytes(m_inst, eoi, 20);
    put16(m_inst, records(m_ibag, 4));
    put16(m_ibag, records(m_igen, 4));
    put16(m_ibag, records(m_imod, kModulatorBytes));
    m_imod.resize(m_imod.size() + kModulatorBytes, 0);
    put32(m_igen, 0);
    const char eos[20] = "EOS";
    putBytes(m_shdr, eos, 20);
    m_shdr.resize(m_shdr.size() + 26, 0);
}

void SubsetWriter::writeHead()
{
    // The RIFF size is written at the end, once the tables after the sample data are known.
    std::vector<char>& out = m_subset.m_head;
    openChunk(out, "RIFF");
    putBytes(out, "sfbk", 4);
    const std::size_t info = openChunk(out, "LIST");
    putBytes(out, "INFO", 4);
    const std::size_t ifil = openChunk(out, "ifil");
    put16(out, 2);
    put16(out, 1);
    closeChunk(out, ifil);
    const std::size_t inam = openChunk(out, "INAM");
    const char name[] = "Quillbeat subset\0"; // an even size, terminated
    putBytes(out, name, sizeof name);
    closeChunk(out, inam);
    closeChunk(out, info);
    putBytes(out, "LIST", 4);
    put32(out, static_cast<std::uint32_t>(4 + 8 + m_subset.m_sampleBytes));
    putBytes(out, "sdta", 4);
    putBytes(out, "smpl", 4);
    put32(out, static_cast<std::uint32_t>(m_subset.m_sampleBytes));
}

void SubsetWriter::writeTail()
{
    std::vector<char>& tail = m_subset.m_tail;
    const std::size_t pdta = openChunk(tail, "LIST");
    putBytes(tail, "pdta", 4);
    const std::pair<const char*, const std::vector<char>*> parts[] = {
        {"phdr", &m_phdr}, {"pbag", &m_pbag}, {"pmod", &m_pmod}, {"pgen", &m_pgen}, {"inst", &m_inst},
        {"ibag", &m_ibag}, {"imod", &m_imod}, {"igen", &m_igen}, {"shdr", &m_shdr}};
    for (const auto& [tag, bytes] : parts) {
        const std::size_t chunk = openChunk(tail, tag);
        tail.insert(tail.end(), bytes->begin(), bytes->end());
        closeChunk(tail, chunk);
    }
    closeChunk(tail, pdta);
    std::vector<char>& head = m_subset.m_head;
    const auto riffSize = static_cast<std::uint32_t>(head.size() - 8 + m_subset.m_sampleBytes + tail.size());
    for (int i = 0; i < 4; ++i)
        head[4 + static_cast<std::size_t>(i)] = static_cast<char>((riffSize >> (8 * i)) & 0xFF);
}

} // namespace qb::audio
