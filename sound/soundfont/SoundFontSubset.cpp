#include "sound/soundfont/SoundFontSubset.h"

#include "CompressedSample.h"
#include "FileReads.h"
#include "SubsetWriter.h"
#include "sound/soundfont/SubsetPlan.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace qb::audio {

std::uint64_t SoundFontSubset::size() const
{
    return m_pieces.empty() ? 0 : m_pieces.back().at + m_pieces.back().bytes;
}

bool SoundFontSubset::read(std::uint64_t offset, char* out, std::size_t bytes) const
{
    if (offset > size() || bytes > size() - offset)
        return false;
    auto piece = std::upper_bound(m_pieces.begin(), m_pieces.end(), offset,
                                  [](std::uint64_t at, const Piece& p) { return at < p.at; });
    for (--piece; bytes > 0; ++piece) {
        const std::uint64_t into = offset - piece->at;
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, piece->bytes - into));
        if (!readPiece(*piece, into, out, n))
            return false;
        out += n;
        offset += n;
        bytes -= n;
    }
    return true;
}

bool SoundFontSubset::readPiece(const Piece& piece, std::uint64_t from, char* out, std::size_t bytes) const
{
    if (piece.extents.empty() && !piece.made.empty()) {
        std::memcpy(out, piece.made.data() + from, bytes);
        return true;
    }
    const std::uint64_t to = from + bytes;
    std::memset(out, 0, bytes);
    auto extent = std::upper_bound(piece.extents.begin(), piece.extents.end(), from,
                                   [](std::uint64_t at, const Extent& e) { return at < e.at; });
    if (extent != piece.extents.begin())
        --extent;
    for (; extent != piece.extents.end() && extent->at < to; ++extent) {
        const std::uint64_t begin = std::max(from, extent->at);
        const std::uint64_t end = std::min(to, extent->at + extent->bytes);
        if (begin >= end)
            continue;
        if (extent->streamBytes > 0
                ? !readDecoded(*extent, begin - extent->at, end - extent->at, out + (begin - from))
                : !readFully(m_fd.get(), extent->from + (begin - extent->at), out + (begin - from),
                             static_cast<std::size_t>(end - begin)))
            return false;
    }
    return true;
}

bool SoundFontSubset::readDecoded(const Extent& extent, std::uint64_t begin, std::uint64_t end,
                                  char* out) const
{
    static_assert(std::endian::native == std::endian::little, "a SoundFont's points are little-endian");
    const std::uint64_t first = begin / 2, last = (end + 1) / 2;
    std::vector<std::int16_t> points(static_cast<std::size_t>(last - first));
    if (!decodeCompressedSample(m_fd.get(), extent.from, extent.streamBytes, first, points.data(),
                                points.size()))
        return false;
    std::memcpy(out, reinterpret_cast<const char*>(points.data()) + (begin - first * 2),
                static_cast<std::size_t>(end - begin));
    return true;
}

SoundFontSubset buildSoundFontSubset(const SoundFontTables& tables, const SoundFontUse& use, bool allHeaders,
                                     std::string* why)
{
    const SubsetPlan plan(tables, use);
    return SubsetWriter(tables, plan, allHeaders).write(why);
}

} // namespace qb::audio
