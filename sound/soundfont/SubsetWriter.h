#pragma once

#include "sound/soundfont/SoundFontSubset.h"
#include "sound/soundfont/SoundFontTables.h"

#include <string>
#include <vector>

namespace qb::audio {

class SubsetPlan;

// Writes the SoundFont 2 file of a subset: what `plan` keeps of `tables`, renumbered, each kept
// sample laid after the one before with the zero padding a SoundFont puts after every sample. With
// `allHeaders`, every preset the plan does not keep is written too, without zones. Holds `tables`
// and `plan` by reference; writes once.
class SubsetWriter
{
public:
    SubsetWriter(const SoundFontTables& tables, const SubsetPlan& plan, bool allHeaders);
    // The subset; empty, with a reason in `why`, when the font file cannot be opened.
    SoundFontSubset write(std::string* why);

private:
    // Where each kept sample's data come from in the font file, and its header moved to its place.
    void placeSamples();
    void writePresets();
    void writePresetZone(std::size_t bag);
    void writeInstruments();
    void writeInstrumentZone(std::size_t bag);
    void writeSampleHeaders();
    void writeTerminalRecords();
    // The RIFF form up to the sample data, and the tables after them.
    void writeHead();
    void writeTail();

    const SoundFontTables& m_tables;
    const SubsetPlan& m_plan;
    const bool m_allHeaders;
    SoundFontSubset m_subset;
    std::vector<SoundFontTables::SampleHeader> m_sampleHeaders;
    std::vector<char> m_phdr, m_pbag, m_pmod, m_pgen, m_inst, m_ibag, m_imod, m_igen, m_shdr;
};

} // namespace qb::audio
