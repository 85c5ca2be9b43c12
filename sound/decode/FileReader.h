#pragma once

#include "posix/UniqueFd.h"
#include "sound/decode/Decoders.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace qb::audio {

// A sound file as a decoding library reads it: a read position, reads, seeks and the size, through
// posix::readAt(). So every library's reads
// - stop when the open that made the reader is given up (posix/Reads.h), and
// - fail once the file has changed under the player: rewritten or cut (its size or modification time
//   differ from when it opened), or replaced (its path names another file). A file deleted while it
//   plays is whole all the same, and reads on. What a
//   decoder would make of a file written over while it plays is noise; a read that fails ends the pass
//   instead, and the engine reports a file that can no longer be read.
// Small reads (a decoder looking for its next frame) go through a 4 KiB buffer: one pread for several
// of them. Whoever reads owns the reader; one thread at a time.
class FileReader
{
public:
    // The regular file at `path`, open read-only; null with `error` and `message` set when it is
    // missing, unreadable or not a regular file (never blocks on a FIFO).
    static std::unique_ptr<FileReader> open(const std::string& path, OpenError* error, std::string* message);

    // `bytes` bytes at the read position, which moves past them: the count, short only at the end of
    // the file (or where a read failed after some bytes), or -1 when the read failed (see changed()).
    std::int64_t read(void* out, std::size_t bytes);
    // Moves the read position as lseek(2) would (SEEK_SET, SEEK_CUR, SEEK_END); the new position, or -1.
    std::int64_t seek(std::int64_t offset, int whence);
    std::int64_t tell() const { return m_offset; }
    // The size the file had when it opened.
    std::int64_t size() const { return static_cast<std::int64_t>(m_opened.st_size); }
    // True once a read found the file changed since it opened; every later read fails.
    bool changed() const { return m_changed; }
    // Up to `bytes` bytes at `offset`, leaving the read position alone: the count, or -1.
    std::int64_t readAt(std::uint64_t offset, void* out, std::size_t bytes);
    // The whole file, for a library that takes it from memory; false, with the reason in `why`, when it
    // is larger than `limit` bytes or cannot be read.
    bool readWhole(std::vector<unsigned char>& out, std::size_t limit, std::string* why);

    const std::string& path() const { return m_path; }
    // The descriptor, for a library that opens its own view of the same file.
    int fd() const { return m_fd.get(); }

private:
    FileReader(posix::UniqueFd fd, std::string path, const struct stat& opened);
    // False (and changed() true from now on) when the file is not as it was when it opened.
    bool stillAsOpened();
    // What one buffered or direct read gives at the read position.
    std::int64_t readSome(unsigned char* out, std::size_t bytes);

    posix::UniqueFd m_fd;
    const std::string m_path;
    const struct stat m_opened;
    bool m_changed = false;
    std::int64_t m_offset = 0;
    std::int64_t m_bufferAt = 0; // the file offset of m_buffer[0]
    std::size_t m_filled = 0;
    std::array<unsigned char, 4096> m_buffer{};
};

} // namespace qb::audio
