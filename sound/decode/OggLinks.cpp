#include "OggLinks.h"

#include <array>
#include <cstring>

namespace qb::audio {

int countOggLinks(FileReader& file, int most)
{
    int links = 0;
    std::uint64_t at = 0;
    std::array<unsigned char, 27 + 255> header{};
    bool previousBegan = false;
    while (links <= most) {
        if (file.readAt(at, header.data(), 27) != 27 || std::memcmp(header.data(), "OggS", 4) != 0)
            break;
        const int segments = header[26];
        if (file.readAt(at + 27, header.data() + 27, static_cast<std::size_t>(segments)) != segments)
            break;
        std::uint64_t body = 0;
        for (int i = 0; i < segments; ++i)
            body += header[27 + static_cast<std::size_t>(i)];
        // A page that begins a logical stream begins a link (several beginning together are one link
        // of a multiplexed stream, which a page of another kind ends).
        const bool begins = (header[5] & 0x02) != 0;
        if (begins && !previousBegan)
            ++links;
        previousBegan = begins;
        at += 27 + static_cast<std::uint64_t>(segments) + body;
    }
    return links;
}

} // namespace qb::audio
