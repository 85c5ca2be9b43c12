#include "SubsetWriter.h"

#include "CompressedSample.h"
#include "sound/soundfont/SubsetPlan.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <tuple>
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
    writePieces();
    return std::move(m_subset);
}

void SubsetWriter::placeSamples()
{
    // Each kept sample's bytes in the font's sample data, held inside the data: 16-bit points, a
    // compressed stream, or a compressed stream the subset holds decoded, as far as the song plays it.
    enum class Kind
    {
        points,
        decoded,
        compressed
    };
    struct Source
    {
        Kind kind;
        std::uint64_t begin, end; // in the font's data; for a decoded stream, the stream
        std::uint64_t frames = 0; // decoded: the points the subset holds
        std::size_t run = 0;
    };
    const std::vector<std::size_t>& kept = m_plan.samples();
    const std::uint64_t dataBytes = m_tables.sampleDataBytes();
    // The low bytes of 24-bit points are kept whole, so their samples are too.
    const bool cuttable = m_tables.sample24Bytes() == 0;
    std::vector<Source> sources;
    sources.reserve(kept.size());
    for (std::size_t s : kept) {
        const SoundFontTables::SampleHeader& h = m_tables.sample(s);
        // Compressed samples count bytes, 16-bit ones points.
        const std::uint64_t unit = h.compressed() ? 1 : 2;
        const std::uint64_t begin = std::min<std::uint64_t>(h.start * unit, dataBytes / unit * unit);
        std::uint64_t end = std::clamp<std::uint64_t>(h.end * unit, begin, dataBytes / unit * unit);
        const std::uint64_t played = m_plan.playedFrames(s);
        if (!h.compressed()) {
            if (cuttable && played < (end - begin) / 2)
                end = begin + 2 * played;
            sources.push_back({Kind::points, begin, end});
            continue;
        }
        // A compressed sample FluidSynth could not decode would refuse the whole subset, and one whose
        // length is unknown would have it allocate without bound: such a sample is kept empty (silent).
        const std::int64_t frames =
            end > begin ? compressedSampleFrames(m_subset.m_fd.get(), m_tables.sampleDataOffset() + begin,
                                                 end - begin)
                        : 0;
        if (frames == 0)
            end = begin;
        if (frames > 0 && played < static_cast<std::uint64_t>(frames)) {
            sources.push_back({Kind::decoded, begin, end, played});
        } else {
            sources.push_back({Kind::compressed, begin, end});
            m_keepsCompressed = true;
        }
    }

    // Samples that overlap in the font share one run, so the subset never holds more data than the
    // font whatever its headers claim. A decoded stream is a run of its own.
    struct Run
    {
        Kind kind;
        std::uint64_t begin, end;
        std::uint64_t frames; // a decoded run's
        std::uint64_t at = 0;
    };
    std::vector<std::size_t> order(sources.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return std::tie(sources[a].kind, sources[a].begin) < std::tie(sources[b].kind, sources[b].begin);
    });
    std::vector<Run> runs;
    for (std::size_t i : order) {
        Source& source = sources[i];
        if (runs.empty() || runs.back().kind != source.kind || source.kind == Kind::decoded ||
            source.begin >= runs.back().end)
            runs.push_back({source.kind, source.begin, source.end, source.frames});
        else
            runs.back().end = std::max(runs.back().end, source.end);
        source.run = runs.size() - 1;
    }
    std::uint64_t at = 0;
    for (Run& run : runs) {
        run.at = at;
        const bool compressed = run.kind == Kind::compressed;
        std::uint64_t bytes = run.end - run.begin;
        if (run.kind == Kind::decoded) {
            m_sampleData.extents.push_back(
                {at, m_tables.sampleDataOffset() + run.begin, 2 * run.frames, bytes});
            bytes = 2 * run.frames;
        } else if (bytes > 0) {
            m_sampleData.extents.push_back({at, m_tables.sampleDataOffset() + run.begin, bytes});
            if (!compressed && m_tables.sample24Bytes() > 0)
                m_sample24Data.extents.push_back(
                    {at / 2, m_tables.sample24Offset() + run.begin / 2, bytes / 2});
        }
        at += bytes + (compressed ? 0 : 2 * kSamplePadding);
        at += at % 2; // 16-bit points after a compressed sample stay on whole points
    }
    at += 2 * kSamplePadding; // never an empty sample chunk
    m_sampleData.bytes = at;
    const std::uint64_t points = at / 2;
    m_sample24Data.bytes = m_tables.sample24Bytes() > 0 ? points + points % 2 : 0;

    for (std::size_t n = 0; n < kept.size(); ++n) {
        SoundFontTables::SampleHeader h = m_tables.sample(kept[n]);
        const Source& source = sources[n];
        const std::uint64_t offset = runs[source.run].at + (source.begin - runs[source.run].begin);
        if (source.kind == Kind::compressed) {
            // Loop points count from the sample's own start: they stay as they are.
            h.start = static_cast<std::uint32_t>(offset);
            h.end = static_cast<std::uint32_t>(offset + (source.end - source.begin));
        } else {
            // Points: loop points count from the start of the sample data, a compressed sample's from
            // its own start. A loop cut off with the sample is never reached by the song's notes.
            const bool decoded = source.kind == Kind::decoded;
            const std::uint64_t first = (decoded ? runs[source.run].at : offset) / 2;
            const std::uint64_t count = decoded ? source.frames : (source.end - source.begin) / 2;
            const std::int64_t fontFirst = decoded ? 0 : static_cast<std::int64_t>(source.begin / 2);
            auto place = [&](std::uint32_t point) {
                const std::int64_t relative = static_cast<std::int64_t>(point) - fontFirst;
                return static_cast<std::uint32_t>(
                    first + static_cast<std::uint64_t>(std::clamp<std::int64_t>(relative, 0, count)));
            };
            h.loopStart = place(h.loopStart);
            h.loopEnd = place(h.loopEnd);
            h.start = static_cast<std::uint32_t>(first);
            h.end = static_cast<std::uint32_t>(first + count);
            h.type = static_cast<std::uint16_t>(h.type & ~SoundFontTables::kCompressedSample);
        }
        h.link = h.link < m_tables.sampleCount() && m_plan.sampleIndex(h.link) >= 0
                     ? static_cast<std::uint16_t>(m_plan.sampleIndex(h.link))
                     : 0;
        m_sampleHeaders.push_back(h);
        m_subset.contents.samples.emplace_back(h.name, strnlen(h.name, 20));
    }
    m_subset.contents.sampleDataBytes = m_sampleData.bytes;
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

void SubsetWriter::writePieces()
{
    using Piece = SoundFontSubset::Piece;
    Piece head;
    std::vector<char>& out = head.made;
    openChunk(out, "RIFF"); // its size is set once the whole is known
    putBytes(out, "sfbk", 4);
    const std::size_t info = openChunk(out, "LIST");
    putBytes(out, "INFO", 4);
    const std::size_t ifil = openChunk(out, "ifil");
    const SoundFontTables::Version version = m_tables.version();
    // A synthesiser reads compressed samples only from a font of version 3.
    put16(out, m_keepsCompressed ? 3 : version.major);
    put16(out, version.minor);
    closeChunk(out, ifil);
    const std::size_t inam = openChunk(out, "INAM");
    const char name[] = "Quillbeat subset\0"; // an even size, terminated
    putBytes(out, name, sizeof name);
    closeChunk(out, inam);
    closeChunk(out, info);
    const bool low = m_sample24Data.bytes > 0;
    putBytes(out, "LIST", 4);
    put32(out, static_cast<std::uint32_t>(4 + 8 + m_sampleData.bytes + (low ? 8 + m_sample24Data.bytes : 0)));
    putBytes(out, "sdta", 4);
    putBytes(out, "smpl", 4);
    put32(out, static_cast<std::uint32_t>(m_sampleData.bytes));
    head.bytes = out.size();

    Piece tail;
    const std::size_t pdta = openChunk(tail.made, "LIST");
    putBytes(tail.made, "pdta", 4);
    const std::pair<const char*, const std::vector<char>*> parts[] = {
        {"phdr", &m_phdr}, {"pbag", &m_pbag}, {"pmod", &m_pmod}, {"pgen", &m_pgen}, {"inst", &m_inst},
        {"ibag", &m_ibag}, {"imod", &m_imod}, {"igen", &m_igen}, {"shdr", &m_shdr}};
    for (const auto& [tag, bytes] : parts) {
        const std::size_t chunk = openChunk(tail.made, tag);
        tail.made.insert(tail.made.end(), bytes->begin(), bytes->end());
        closeChunk(tail.made, chunk);
    }
    closeChunk(tail.made, pdta);
    tail.bytes = tail.made.size();

    std::vector<Piece>& pieces = m_subset.m_pieces;
    pieces.push_back(std::move(head));
    pieces.push_back(std::move(m_sampleData));
    if (low) {
        Piece header;
        putBytes(header.made, "sm24", 4);
        put32(header.made, static_cast<std::uint32_t>(m_sample24Data.bytes));
        header.bytes = header.made.size();
        pieces.push_back(std::move(header));
        pieces.push_back(std::move(m_sample24Data));
    }
    pieces.push_back(std::move(tail));
    std::uint64_t at = 0;
    for (Piece& piece : pieces) {
        piece.at = at;
        at += piece.bytes;
    }
    const auto riffSize = static_cast<std::uint32_t>(at - 8);
    for (int i = 0; i < 4; ++i)
        pieces.front().made[4 + static_cast<std::size_t>(i)] =
            static_cast<char>((riffSize >> (8 * i)) & 0xFF);
}

} // namespace qb::audio
