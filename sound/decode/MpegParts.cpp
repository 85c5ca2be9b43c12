#include "MpegParts.h"

#include "Backends.h"
#include "ChainedParts.h"
#include "SourceDecoder.h"

#include <array>
#include <cstring>

namespace qb::audio {

namespace {

std::uint32_t bigEndian(const unsigned char* p)
{
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// The size of the ID3v2 tag (header, body and footer) at `p`; 0 when none starts there.
std::int64_t id3v2Size(const unsigned char* p, std::size_t size)
{
    if (size < 10 || std::memcmp(p, "ID3", 3) != 0 || ((p[6] | p[7] | p[8] | p[9]) & 0x80) != 0)
        return 0;
    return 10 + ((p[5] & 0x10) != 0 ? 10 : 0) + (std::int64_t{p[6]} << 21 | p[7] << 14 | p[8] << 7 | p[9]);
}

// The bytes of the stream whose first frame, a Layer III frame with a Xing or Info tag giving a frame
// count and a size, starts at `p`; 0 when no such frame starts there or the size could not hold that
// many frames (a damaged tag).
std::int64_t announcedBytes(const unsigned char* p, std::size_t size)
{
    if (size < 4 || p[0] != 0xff || (p[1] & 0xe0) != 0xe0)
        return 0;
    const int version = (p[1] >> 3) & 3; // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    if (version == 1 || ((p[1] >> 1) & 3) != 1 || (p[2] >> 4) == 15 || (p[2] & 0x0c) == 0x0c)
        return 0;
    // The tag follows the header, its checksum and the side information.
    const bool mono = (p[3] >> 6) == 3;
    const std::size_t tag =
        4 + ((p[1] & 1) != 0 ? 0 : 2) + (version == 3 ? (mono ? 17 : 32) : (mono ? 9 : 17));
    if (size < tag + 16 || (std::memcmp(p + tag, "Xing", 4) != 0 && std::memcmp(p + tag, "Info", 4) != 0))
        return 0;
    const std::uint32_t frames = bigEndian(p + tag + 8);
    const std::uint32_t bytes = bigEndian(p + tag + 12);
    if ((bigEndian(p + tag + 4) & 3) != 3 || frames == 0 || frames > bytes)
        return 0;
    return bytes;
}

// Where the sound of `file` ends: before an ID3v1 tag and an APEv2 tag ahead of it.
std::int64_t soundEnd(FileReader& file)
{
    std::int64_t end = file.size();
    std::array<unsigned char, 32> footer{};
    if (end >= 128 && file.readAt(static_cast<std::uint64_t>(end - 128), footer.data(), 3) == 3 &&
        std::memcmp(footer.data(), "TAG", 3) == 0)
        end -= 128;
    if (end >= 32 && file.readAt(static_cast<std::uint64_t>(end - 32), footer.data(), 32) == 32 &&
        std::memcmp(footer.data(), "APETAGEX", 8) == 0) {
        const auto little = [&footer](std::size_t at) {
            return std::uint32_t{footer[at]} | std::uint32_t{footer[at + 1]} << 8 |
                   std::uint32_t{footer[at + 2]} << 16 | std::uint32_t{footer[at + 3]} << 24;
        };
        // The size counts the items and the footer; a header, when the flags say so, comes before.
        end -= std::int64_t{little(12)} + ((little(20) & 0x80000000U) != 0 ? 32 : 0);
    }
    return end;
}

// The parts as one stream. Only the part being read has libsndfile open on it (a handle of MPEG audio
// holds about 70 KB: a thousand parts open at once would hold 70 MB); the next opens as one ends.
class MpegPartsSource final : public FrameSource
{
public:
    explicit MpegPartsSource(std::unique_ptr<FileReader> file) : m_file(std::move(file)) {}

    bool open(const std::vector<MpegPart>& parts, std::string* why)
    {
        std::vector<ChainedParts::Part> chain;
        std::int64_t first = 0;
        for (const MpegPart& part : parts) {
            m_parts.push_back(part);
            if (!openPart(m_parts.size() - 1, why))
                return false;
            if (m_current->length() <= 0) {
                *why = "a part of the stream has no length";
                return false;
            }
            chain.push_back({first, m_current->length(), m_current->rate(), 0, 0});
            first += m_current->length();
        }
        m_chain = std::make_unique<ChainedParts>(
            chain, [this](float* out, int frames, int* part) { return decode(out, frames, part); },
            [this](std::int64_t at) { return seekTo(at); });
        m_firsts.reserve(chain.size());
        for (const ChainedParts::Part& part : chain)
            m_firsts.push_back(part.first);
        return openPart(0, why);
    }

    int rate() const override { return m_chain->rate(); }
    std::int64_t length() const override { return m_chain->length(); }
    int read(float* out, int frames) override { return m_chain->read(out, frames); }
    bool seek(std::int64_t frame) override { return m_chain->seek(frame); }

private:
    bool openPart(std::size_t index, std::string* why)
    {
        m_current.reset();
        m_current = openSoundFilePart(*m_file, m_parts[index].offset, m_parts[index].bytes, why);
        m_index = index;
        return m_current != nullptr;
    }

    int decode(float* out, int frames, int* part)
    {
        std::string why;
        for (;;) {
            const int got = m_current ? m_current->read(out, frames) : 0;
            if (got > 0) {
                *part = static_cast<int>(m_index);
                return got;
            }
            if (m_index + 1 >= m_parts.size())
                return 0;
            if (!openPart(m_index + 1, &why))
                return -1;
        }
    }

    // Frame `at` of the parts' own frames, one after the other. A part entered at its start is opened
    // afresh, as a pass played through enters it: mpg123 decodes MPEG-2 a little differently after a
    // seek.
    bool seekTo(std::int64_t at)
    {
        std::size_t index = m_firsts.size() - 1;
        while (index > 0 && m_firsts[index] > at)
            --index;
        std::string why;
        if ((index != m_index || at == m_firsts[index]) && !openPart(index, &why))
            return false;
        return m_current && (at == m_firsts[index] || m_current->seek(at - m_firsts[index]));
    }

    std::unique_ptr<FileReader> m_file; // read by every part
    std::vector<MpegPart> m_parts;
    std::vector<std::int64_t> m_firsts; // each part's first frame in the parts' own frames
    std::unique_ptr<FrameSource> m_current;
    std::size_t m_index = 0; // m_current's part
    std::unique_ptr<ChainedParts> m_chain;
};

} // namespace

std::vector<MpegPart> announcedMpegParts(FileReader& file)
{
    const std::int64_t end = soundEnd(file);
    std::vector<MpegPart> parts;
    // Each part with a tag before it and one after, at most: a file of tags and nothing else ends here.
    for (std::int64_t at = 0, steps = 0; at < end; ++steps) {
        if (steps == 3 * static_cast<std::int64_t>(kMostMpegParts))
            return {};
        std::array<unsigned char, 64> head{};
        const std::int64_t got =
            file.readAt(static_cast<std::uint64_t>(at), head.data(), std::min<std::int64_t>(64, end - at));
        if (got <= 0)
            return {};
        const auto size = static_cast<std::size_t>(got);
        if (const std::int64_t tag = id3v2Size(head.data(), size)) {
            at += tag;
            continue;
        }
        // An ID3v1 tag ends each file joined as it was.
        if (size >= 3 && std::memcmp(head.data(), "TAG", 3) == 0 && end - at >= 128 && !parts.empty()) {
            at += 128;
            continue;
        }
        const std::int64_t bytes = announcedBytes(head.data(), size);
        if (bytes <= 0 || bytes > end - at || parts.size() == kMostMpegParts)
            return {};
        parts.push_back({at, bytes});
        at += bytes;
    }
    return parts;
}

std::unique_ptr<FrameSource> openMpegParts(std::unique_ptr<FileReader> file,
                                           const std::vector<MpegPart>& parts, std::string* why)
{
    auto source = std::make_unique<MpegPartsSource>(std::move(file));
    if (!source->open(parts, why))
        return nullptr;
    return source;
}

OpenResult openMpegAudio(std::unique_ptr<FileReader> file)
{
    const std::vector<MpegPart> parts = announcedMpegParts(*file);
    if (parts.empty())
        return openUnannouncedMpeg(std::move(file));
    if (parts.size() == 1)
        return openSoundFile(std::move(file));
    OpenResult result;
    const std::string path = file->path();
    std::string why;
    if (std::unique_ptr<FrameSource> joined = openMpegParts(std::move(file), parts, &why)) {
        result.decoder = std::make_unique<SourceDecoder>(std::move(joined));
    } else {
        result.error = OpenError::InvalidFile;
        result.message = path + ": " + why;
    }
    return result;
}

} // namespace qb::audio
