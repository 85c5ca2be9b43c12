#include "fonts/FontSubset.h"

#include <algorithm>
#include <cstdint>
#include <dlfcn.h>
#include <fontconfig/fontconfig.h>
#include <hb-ot.h>
#include <hb-subset.h>
#include <hb.h>
#include <memory>
#include <tuple>

namespace qb::fonts {

std::optional<FontFace> installedFace(const std::string& family, bool bold)
{
    FcPattern* wanted = FcPatternCreate();
    if (!wanted)
        return std::nullopt;
    FcPatternAddString(wanted, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    FcPatternAddInteger(wanted, FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
    FcPatternAddInteger(wanted, FC_SLANT, FC_SLANT_ROMAN);
    FcConfigSubstitute(nullptr, wanted, FcMatchPattern);
    FcDefaultSubstitute(wanted);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, wanted, &result);
    FcPatternDestroy(wanted);
    if (!match)
        return std::nullopt;

    std::optional<FontFace> face;
    bool sameFamily = false;
    FcChar8* name = nullptr;
    for (int i = 0; FcPatternGetString(match, FC_FAMILY, i, &name) == FcResultMatch; ++i)
        sameFamily =
            sameFamily || FcStrCmpIgnoreCase(name, reinterpret_cast<const FcChar8*>(family.c_str())) == 0;
    FcChar8* file = nullptr;
    int index = 0;
    if (sameFamily && FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch) {
        FcPatternGetInteger(match, FC_INDEX, 0, &index);
        face = FontFace{reinterpret_cast<const char*>(file), index};
    }
    FcPatternDestroy(match);
    return face;
}

namespace {

// The part of libharfbuzz-subset this file calls. It is opened for one cut and closed after, so a
// process that has its font pays nothing for it.
class Subsetter
{
public:
    Subsetter() : m_library(dlopen("libharfbuzz-subset.so.0", RTLD_NOW | RTLD_LOCAL))
    {
        if (!m_library)
            return;
        createInput = symbol<decltype(&hb_subset_input_create_or_fail)>("hb_subset_input_create_or_fail");
        destroyInput = symbol<decltype(&hb_subset_input_destroy)>("hb_subset_input_destroy");
        inputSet = symbol<decltype(&hb_subset_input_set)>("hb_subset_input_set");
        subset = symbol<decltype(&hb_subset_or_fail)>("hb_subset_or_fail");
    }
    ~Subsetter()
    {
        if (m_library)
            dlclose(m_library);
    }
    Subsetter(const Subsetter&) = delete;
    Subsetter& operator=(const Subsetter&) = delete;

    bool ready() const { return createInput && destroyInput && inputSet && subset; }

    decltype(&hb_subset_input_create_or_fail) createInput = nullptr;
    decltype(&hb_subset_input_destroy) destroyInput = nullptr;
    decltype(&hb_subset_input_set) inputSet = nullptr;
    decltype(&hb_subset_or_fail) subset = nullptr;

private:
    template <typename Function> Function symbol(const char* name)
    {
        return reinterpret_cast<Function>(dlsym(m_library, name));
    }

    void* m_library;
};

struct BlobRelease
{
    void operator()(hb_blob_t* blob) const { hb_blob_destroy(blob); }
};
struct FaceRelease
{
    void operator()(hb_face_t* face) const { hb_face_destroy(face); }
};
using Blob = std::unique_ptr<hb_blob_t, BlobRelease>;
using Face = std::unique_ptr<hb_face_t, FaceRelease>;

constexpr hb_tag_t kNameTag = HB_TAG('n', 'a', 'm', 'e');

// The names a cut font keeps from its source: the copyright, trademark, maker and licence notices.
constexpr unsigned kKeptNameIds[] = {0, 7, 8, 9, 11, 12, 13, 14};

unsigned read16(const char* at)
{
    return (static_cast<unsigned>(static_cast<unsigned char>(at[0])) << 8) |
           static_cast<unsigned char>(at[1]);
}

void put16(std::string& out, unsigned value)
{
    out.push_back(static_cast<char>((value >> 8) & 0xff));
    out.push_back(static_cast<char>(value & 0xff));
}

struct NameRecord
{
    unsigned platform, encoding, language, id;
    std::string text; // as stored: UTF-16BE for the Windows platform

    auto key() const { return std::tie(platform, encoding, language, id); }
};

// The records of a name table (format 0 or 1), skipping any that point outside it.
std::vector<NameRecord> nameRecords(const char* data, unsigned length)
{
    std::vector<NameRecord> records;
    if (length < 6)
        return records;
    const unsigned count = read16(data + 2);
    const unsigned strings = read16(data + 4);
    for (unsigned i = 0; i < count && 6 + 12 * (i + 1) <= length; ++i) {
        const char* record = data + 6 + 12 * i;
        const unsigned size = read16(record + 8);
        const unsigned offset = strings + read16(record + 10);
        if (offset > length || size > length - offset)
            continue;
        records.push_back({read16(record), read16(record + 2), read16(record + 4), read16(record + 6),
                           std::string(data + offset, size)});
    }
    return records;
}

std::string nameTable(std::vector<NameRecord> records)
{
    std::sort(records.begin(), records.end(),
              [](const NameRecord& a, const NameRecord& b) { return a.key() < b.key(); });
    std::string table;
    std::string strings;
    put16(table, 0);
    put16(table, static_cast<unsigned>(records.size()));
    put16(table, static_cast<unsigned>(6 + 12 * records.size()));
    for (const NameRecord& record : records) {
        put16(table, record.platform);
        put16(table, record.encoding);
        put16(table, record.language);
        put16(table, record.id);
        put16(table, static_cast<unsigned>(record.text.size()));
        put16(table, static_cast<unsigned>(strings.size()));
        strings += record.text;
    }
    return table + strings;
}

// The source's notices, and the new names in English for Windows (which fontconfig and FreeType read).
std::string renamedNameTable(hb_face_t* subset, const std::string& family, const std::string& style)
{
    std::vector<NameRecord> records;
    const Blob source(hb_face_reference_table(subset, kNameTag));
    unsigned length = 0;
    const char* data = hb_blob_get_data(source.get(), &length);
    for (NameRecord& record : nameRecords(data, length)) {
        if (std::find(std::begin(kKeptNameIds), std::end(kKeptNameIds), record.id) != std::end(kKeptNameIds))
            records.push_back(std::move(record));
    }
    const auto utf16 = [](const std::string& ascii) {
        std::string text;
        for (const char c : ascii)
            put16(text, static_cast<unsigned char>(c));
        return text;
    };
    std::string postScript = family + "-" + style;
    postScript.erase(std::remove(postScript.begin(), postScript.end(), ' '), postScript.end());
    const std::string fullName = style == "Regular" ? family : family + " " + style;
    for (const auto& [id, text] : {std::pair<unsigned, std::string>{1, family},
                                   {2, style},
                                   {3, postScript},
                                   {4, fullName},
                                   {6, postScript}})
        records.push_back({3, 1, 0x409, id, utf16(text)});
    return nameTable(std::move(records));
}

// Whether any OpenType rule a shaper applies to horizontal text by default (substitutions such as
// composition and ligatures, positioning such as kerning and marks) takes one of the face's glyphs
// as input. When none does, shaping any text the face holds gives its glyphs and advances as they
// are, and the rules are left out of the cut.
bool layoutRulesApply(hb_face_t* face)
{
    static const hb_tag_t kDefaultFeatures[] = {HB_TAG('r', 'v', 'r', 'n'), HB_TAG('l', 't', 'r', 'a'),
                                                HB_TAG('l', 't', 'r', 'm'), HB_TAG('c', 'c', 'm', 'p'),
                                                HB_TAG('l', 'o', 'c', 'l'), HB_TAG('r', 'l', 'i', 'g'),
                                                HB_TAG('r', 'c', 'l', 't'), HB_TAG('c', 'a', 'l', 't'),
                                                HB_TAG('c', 'l', 'i', 'g'), HB_TAG('l', 'i', 'g', 'a'),
                                                HB_TAG('k', 'e', 'r', 'n'), HB_TAG('m', 'a', 'r', 'k'),
                                                HB_TAG('m', 'k', 'm', 'k'), HB_TAG('c', 'u', 'r', 's'),
                                                HB_TAG('d', 'i', 's', 't'), HB_TAG_NONE};
    const Blob kern(hb_face_reference_table(face, HB_TAG('k', 'e', 'r', 'n')));
    bool apply = hb_blob_get_length(kern.get()) > 0;
    for (const hb_tag_t table : {HB_OT_TAG_GSUB, HB_OT_TAG_GPOS}) {
        hb_set_t* lookups = hb_set_create();
        hb_set_t* input = hb_set_create();
        hb_ot_layout_collect_lookups(face, table, nullptr, nullptr, kDefaultFeatures, lookups);
        for (hb_codepoint_t lookup = HB_SET_VALUE_INVALID; hb_set_next(lookups, &lookup);)
            hb_ot_layout_lookup_collect_glyphs(face, table, lookup, nullptr, input, nullptr, nullptr);
        apply = apply || !hb_set_is_empty(input);
        hb_set_destroy(input);
        hb_set_destroy(lookups);
    }
    return apply;
}

// The cut font again, with its name table replaced, and without its layout rules when none applies.
Blob rebuilt(hb_blob_t* font, const std::string& nameTable)
{
    const Face face(hb_face_create(font, 0));
    const bool keepLayout = layoutRulesApply(face.get());
    const Face builder(hb_face_builder_create());
    unsigned count = hb_face_get_table_tags(face.get(), 0, nullptr, nullptr);
    std::vector<hb_tag_t> tags(count);
    hb_face_get_table_tags(face.get(), 0, &count, tags.data());
    for (unsigned i = 0; i < count; ++i) {
        const bool layout =
            tags[i] == HB_OT_TAG_GSUB || tags[i] == HB_OT_TAG_GPOS || tags[i] == HB_OT_TAG_GDEF;
        if (tags[i] == kNameTag || (layout && !keepLayout))
            continue;
        const Blob data(hb_face_reference_table(face.get(), tags[i]));
        hb_face_builder_add_table(builder.get(), tags[i], data.get());
    }
    const Blob name(hb_blob_create(nameTable.data(), static_cast<unsigned>(nameTable.size()),
                                   HB_MEMORY_MODE_DUPLICATE, nullptr, nullptr));
    hb_face_builder_add_table(builder.get(), kNameTag, name.get());
    return Blob(hb_face_reference_blob(builder.get()));
}

} // namespace

std::optional<std::vector<char>> subsetFace(const FontFace& source, const std::vector<char32_t>& characters,
                                            const std::string& family, const std::string& style,
                                            std::string* why)
{
    const auto fail = [why](const std::string& reason) -> std::optional<std::vector<char>> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    const Subsetter subsetter;
    if (!subsetter.ready())
        return fail("libharfbuzz-subset.so.0 is not installed");

    // Only the tables the cut needs are read, through a map of the file that ends with this call.
    const Blob file(hb_blob_create_from_file_or_fail(source.file.c_str()));
    if (!file)
        return fail("cannot read " + source.file);
    const Face face(hb_face_create(file.get(), static_cast<unsigned>(source.index)));
    if (hb_face_get_glyph_count(face.get()) == 0)
        return fail(source.file + " is not a font");

    hb_subset_input_t* input = subsetter.createInput();
    if (!input)
        return fail("out of memory");
    hb_set_t* unicodes = subsetter.inputSet(input, HB_SUBSET_SETS_UNICODE);
    for (const char32_t c : characters)
        hb_set_add(unicodes, c);
    hb_set_t* names = subsetter.inputSet(input, HB_SUBSET_SETS_NAME_ID);
    hb_set_clear(names);
    for (const unsigned id : kKeptNameIds)
        hb_set_add(names, id);
    const Face cut(subsetter.subset(face.get(), input));
    subsetter.destroyInput(input);
    if (!cut || hb_face_get_glyph_count(cut.get()) < 2)
        return fail("the font has none of the characters");

    const Blob cutFile(hb_face_reference_blob(cut.get()));
    const Blob renamed = rebuilt(cutFile.get(), renamedNameTable(cut.get(), family, style));
    unsigned length = 0;
    const char* data = hb_blob_get_data(renamed.get(), &length);
    if (length == 0)
        return fail("the cut font could not be written");
    return std::vector<char>(data, data + length);
}

bool hasLayoutRules(const char* font, std::size_t size)
{
    if (size < 12)
        return true;
    const unsigned tables = read16(font + 4);
    for (unsigned i = 0; i < tables && 12 + 16 * (i + 1) <= size; ++i) {
        const std::string tag(font + 12 + 16 * i, 4);
        if (tag == "GSUB" || tag == "GPOS" || tag == "kern" || tag == "morx" || tag == "kerx")
            return true;
    }
    return false;
}

} // namespace qb::fonts
