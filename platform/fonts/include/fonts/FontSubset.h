#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace qb::fonts {

// One face of an installed font file (a collection file holds several).
struct FontFace
{
    std::string file;
    int index = 0;

    bool operator==(const FontFace&) const = default;
};

// The face fontconfig draws for this family, regular or bold and upright; nothing when the family
// is not installed (the face fontconfig would put in its place does not count).
std::optional<FontFace> installedFace(const std::string& family, bool bold);

// A font file holding only the glyphs of `characters` from `source` (with what they are built from
// and the layout rules between them), with the source's metrics and hinting, named `family` and
// `style` so that it is never taken for the source. When no rule a shaper applies by default
// (composition, ligatures, kerning, marks) takes any of the cut's glyphs, the cut has no layout
// rules at all. Nothing when the source cannot be read as a font
// or the subsetter library is not installed; `why` then says which.
std::optional<std::vector<char>> subsetFace(const FontFace& source, const std::vector<char32_t>& characters,
                                            const std::string& family, const std::string& style,
                                            std::string* why = nullptr);

// Whether a font file (not a collection) has layout rules: OpenType substitutions or positioning, or
// a kerning table. Without them, shaping text the font holds gives its glyphs and advances as they
// are, and can be skipped.
bool hasLayoutRules(const char* font, std::size_t size);

} // namespace qb::fonts
