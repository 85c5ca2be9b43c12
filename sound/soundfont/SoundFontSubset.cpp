#include "sound/soundfont/SoundFontSubset.h"

#include "FileReads.h"
#include "SubsetWriter.h"
#include "sound/soundfont/SubsetPlan.h"

#include <algorithm>
#include <cstring>

namespace qb::audio {

std::uint64_t SoundFontSubset::size() const
{
    return m_head.empty() ? 0 : m_head.size() + m_sampleBytes + m_tail.size();
}

bool SoundFontSubset::read(std::uint64_t offset, char* out, std::size_t bytes) const
{
    if (offset + bytes > size())
        return false;
    const std::uint64_t dataStart = m_head.size();
    const std::uint64_t dataEnd = dataStart + m_sampleBytes;
    while (bytes > 0) {
        std::size_t piece = 0;
        if (offset < dataStart) {
            piece = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, dataStart - offset));
            std::memcpy(out, m_head.data() + offset, piece);
        } else if (offset >= dataEnd) {
            piece = bytes;
            std::memcpy(out, m_tail.data() + (offset - dataEnd), piece);
        } else {
            piece = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, dataEnd - offset));
            if (!readSampleData(offset - dataStart, out, piece))
                return false;
        }
        out += piece;
        offset += piece;
        bytes -= piece;
    }
    return true;
}

bool SoundFontSubset::readSampleData(std::uint64_t from, char* out, std::size_t bytes) const
{
    const std::uint64_t to = from + bytes;
    std::memset(out, 0, bytes);
    auto extent = std::upper_bound(m_extents.begin(), m_extents.end(), from,
                                   [](std::uint64_t at, const Extent& e) { return at < e.at; });
    if (extent != m_extents.begin())
        --extent;
    for (; extent != m_extents.end() && extent->at < to; ++extent) {
        const std::uint64_t begin = std::max(from, extent->at);
        const std::uint64_t end = std::min(to, extent->at + extent->bytes);
        if (begin < end && !readFully(m_fd.get(), extent->from + (begin - extent->at), out + (begin - from),
                                      static_cast<std::size_t>(end - begin)))
            return false;
    }
    return true;
}

SoundFontSubset buildSoundFontSubset(const SoundFontTables& tables, const SoundFontUse& use, bool allHeaders,
                                     std::string* why)
{
    const SubsetPlan plan(tables, use);
    return SubsetWriter(tables, plan, allHeaders).write(why);
}

} // namespace qb::audio
