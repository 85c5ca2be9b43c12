#include "RiffWalk.h"

#include "posix/Reads.h"

#include <cstdint>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace qb::audio {

namespace {

std::uint32_t size32(const unsigned char* p, bool bigEndian)
{
    return bigEndian
               ? (std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3])
               : (std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0]);
}

bool readAt(int fd, unsigned char* out, std::size_t bytes, std::uint64_t at)
{
    return posix::readFully(fd, at, out, bytes);
}

} // namespace

bool riffChunksAddUp(int fd, std::string* why)
{
    struct stat info
    {
    };
    unsigned char header[12];
    if (::fstat(fd, &info) != 0 || !readAt(fd, header, sizeof header, 0))
        return true;
    const bool riff = std::memcmp(header, "RIFF", 4) == 0;
    const bool rifx = std::memcmp(header, "RIFX", 4) == 0;
    if ((!riff && !rifx) || std::memcmp(header + 8, "WAVE", 4) != 0)
        return true;
    const auto fileSize = static_cast<std::uint64_t>(info.st_size);
    // Each step moves at least eight bytes on, so the walk ends within the file.
    for (std::uint64_t at = 12; at + 8 <= fileSize;) {
        unsigned char chunk[8];
        if (!readAt(fd, chunk, sizeof chunk, at))
            break;
        if (std::memcmp(chunk, "data", 4) == 0)
            return true;
        const std::uint64_t size = size32(chunk + 4, rifx);
        if (at + 8 + size > fileSize) {
            if (why)
                *why = "the chunk \"" + std::string(reinterpret_cast<const char*>(chunk), 4) + "\" at byte " +
                       std::to_string(at) + " claims " + std::to_string(size) +
                       " bytes, more than the file holds";
            return false;
        }
        at += 8 + size + (size & 1); // chunks are padded to an even length
    }
    if (why)
        *why = "the file ends before its sound data";
    return false;
}

} // namespace qb::audio
