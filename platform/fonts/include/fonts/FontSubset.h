#pragma once

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
// `style` so that it is never taken for the source. Nothing when the source cannot be read as a font
// or the subsetter library is not installed; `why` then says which.
std::optional<std::vector<char>> subsetFace(const FontFace& source, const std::vector<char32_t>& characters,
                                            const std::string& family, const std::string& style,
                                            std::string* why = nullptr);

} // namespace qb::fonts
