#pragma once

#include "sound/soundfont/SoundFontSubset.h"
#include "sound/soundfont/SoundFontTables.h"

#include <string>
#include <vector>

namespace qb::audio {

class SubsetPlan;

// Writes the SoundFont file of a subset: what `plan` keeps of `tables`, renumbered. The kept samples'
// data are laid one run after another, a run being one sample's data or those of samples that overlap
// in the font (kept once, as the font holds them), followed by the zero padding a SoundFont puts after
// 16-bit samples; compressed samples keep their bytes as they are, and 24-bit samples their low bytes.
// The subset has the font's version (3 as soon as it holds a compressed sample), which tells a
// synthesiser how to read its samples. With `allHeaders`, every preset the plan does not keep is
// written too, without zones. Holds `tables` and `plan` by reference; writes once.
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
    // The file's pieces: the RIFF form up to the sample data, the sample data, the low bytes of 24-bit
    // samples, and the tables after them.
    void writePieces();

    const SoundFontTables& m_tables;
    const SubsetPlan& m_plan;
    const bool m_allHeaders;
    SoundFontSubset m_subset;
    std::vector<SoundFontTables::SampleHeader> m_sampleHeaders;
    SoundFontSubset::Piece m_sampleData, m_sample24Data;
    bool m_keepsCompressed = false;
    std::vector<char> m_phdr, m_pbag, m_pmod, m_pgen, m_inst, m_ibag, m_imod, m_igen, m_shdr;
};

} // namespace qb::audio
