#pragma once

#include "posix/UniqueFd.h"
#include "sound/soundfont/SoundFontUse.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qb::audio {

class SoundFontTables;

// What a subset holds, as the writer built it.
struct SoundFontSubsetContents
{
    std::vector<PresetKey> presets;     // presets with their zones, in the font's order
    std::vector<PresetKey> headersOnly; // presets present without zones (they sound nothing)
    std::vector<std::string> samples;   // the names of the samples whose data it carries
    std::uint64_t sampleDataBytes = 0;
};

// A SoundFont file built in memory from a font, holding what a SubsetPlan keeps of it. Its tables
// are in memory; its sample data are read from the font file only as the subset is read (and a
// compressed sample cut short is decoded then). Empty
// (size 0) when the font file cannot be opened. Keeps the font file open while it lives. One thread
// at a time.
class SoundFontSubset
{
public:
    SoundFontSubset() = default;
    SoundFontSubset(SoundFontSubset&& other) noexcept = default;
    SoundFontSubset& operator=(SoundFontSubset&&) = delete;
    ~SoundFontSubset() = default;

    // The size of the whole file in bytes.
    std::uint64_t size() const;
    // Bytes [offset, offset + bytes) of the file; false when out of range or the font cannot be read.
    bool read(std::uint64_t offset, char* out, std::size_t bytes) const;

    SoundFontSubsetContents contents;
    // For each preset with zones, the notes it sounds as in the full font (SubsetPlan::complete()).
    std::map<PresetKey, NoteSet> complete;

private:
    friend class SubsetWriter;
    // A run of the font file's bytes placed in a piece; or, for a compressed sample the subset holds
    // as 16-bit points (`streamBytes` > 0), the points decoded from the stream at `from`.
    struct Extent
    {
        std::uint64_t at;   // in the piece
        std::uint64_t from; // in the font file
        std::uint64_t bytes;
        std::uint64_t streamBytes = 0;
    };
    // One stretch of the subset: bytes made in memory, or (sample data) runs of the font file over
    // zeros.
    struct Piece
    {
        std::uint64_t at = 0; // in the subset
        std::uint64_t bytes = 0;
        std::vector<char> made;
        std::vector<Extent> extents; // sorted, apart
    };
    bool readPiece(const Piece& piece, std::uint64_t from, char* out, std::size_t bytes) const;
    // Bytes [begin, end) of a decoded extent's points.
    bool readDecoded(const Extent& extent, std::uint64_t begin, std::uint64_t end, char* out) const;

    std::vector<Piece> m_pieces; // in order, each starting where the one before ends
    posix::UniqueFd m_fd;
};

// The subset of `tables`'s font that holds what `use` sounds: the zones of the presets in `use`
// that its notes reach, the instruments and zones those reach, and the samples they play. With
// `allHeaders` every other preset of the font is present too, without zones, so that a synthesiser
// finds every preset the full font has (and makes no fallback of its own). Empty, with a reason in
// `why`, when the font file cannot be opened.
SoundFontSubset buildSoundFontSubset(const SoundFontTables& tables, const SoundFontUse& use, bool allHeaders,
                                     std::string* why);

} // namespace qb::audio
