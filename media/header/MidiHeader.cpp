#include "media/MidiHeader.h"

#include "posix/UniqueFd.h"
#include "system/CodePage.h"

#include <QFileInfo>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qb::media {
namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::array<std::uint8_t, 4> kHeaderTag{0x4D, 0x54, 0x68, 0x64}; // "MThd"
constexpr std::array<std::uint8_t, 4> kTrackTag{0x4D, 0x54, 0x72, 0x6B};  // "MTrk"
constexpr std::uint8_t kMetaEvent = 0xFF;
constexpr std::uint8_t kTextEvent = 0x01;
constexpr std::uint8_t kTrackNameEvent = 0x03;
constexpr std::size_t kTrackHeaderSize = 8; // tag and 32-bit length
constexpr std::size_t kMaxLengthBytes = 4;

// The first FF 01 or FF 03 pair that starts in data[0, count); `data` holds at least one byte more
// than `count` when `hasNext`, so a pair whose second byte lies just past `count` is seen.
std::optional<std::size_t> findTitleEventIn(const std::uint8_t* data, std::size_t count, bool hasNext)
{
    for (std::size_t at = 0; at < count;) {
        const void* hit = std::memchr(data + at, kMetaEvent, count - at);
        if (!hit)
            return std::nullopt;
        at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data);
        if ((at + 1 < count || hasNext) && (data[at + 1] == kTextEvent || data[at + 1] == kTrackNameEvent))
            return at;
        ++at;
    }
    return std::nullopt;
}

// Bytes held in memory.
class MemorySource
{
public:
    explicit MemorySource(Bytes bytes) : m_bytes(bytes) {}

    std::uint64_t size() const { return m_bytes.size(); }

    std::optional<std::uint64_t> find(const std::array<std::uint8_t, 4>& pattern, std::uint64_t from) const
    {
        if (from >= m_bytes.size())
            return std::nullopt;
        const void* hit =
            ::memmem(m_bytes.data() + from, m_bytes.size() - from, pattern.data(), pattern.size());
        if (!hit)
            return std::nullopt;
        return static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hit) - m_bytes.data());
    }

    std::optional<std::uint64_t> findTitleEvent(std::uint64_t from, std::uint64_t to) const
    {
        const auto hit = findTitleEventIn(m_bytes.data() + from, to - from, to < m_bytes.size());
        if (!hit)
            return std::nullopt;
        return from + *hit;
    }

    // Up to `count` bytes from `at`, fewer at the end. None when the source fails.
    std::optional<std::string> read(std::uint64_t at, std::uint64_t count) const
    {
        if (at >= m_bytes.size())
            return std::string();
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, m_bytes.size() - at));
        return std::string(reinterpret_cast<const char*>(m_bytes.data() + at), n);
    }

private:
    Bytes m_bytes;
};

// An open ordinary file, read a chunk at a time where the search is: a file of any length costs one
// chunk of memory. Holes of a sparse file hold only zero bytes, which no searched pattern contains,
// so they are skipped without reading.
class FileSource
{
public:
    FileSource(int fd, std::uint64_t size) : m_fd(fd), m_size(size) {}

    std::uint64_t size() const { return m_size; }
    bool failed() const { return m_failed; }

    std::optional<std::uint64_t> find(const std::array<std::uint8_t, 4>& pattern, std::uint64_t from)
    {
        return search(
            from, m_size, pattern.size() - 1,
            [&](const std::uint8_t* data, std::size_t count, std::size_t held) -> std::optional<std::size_t> {
                const void* hit = ::memmem(data, held, pattern.data(), pattern.size());
                if (!hit)
                    return std::nullopt;
                const auto at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data);
                return at < count ? std::optional<std::size_t>(at) : std::nullopt;
            });
    }

    std::optional<std::uint64_t> findTitleEvent(std::uint64_t from, std::uint64_t to)
    {
        return search(from, to, 1, [](const std::uint8_t* data, std::size_t count, std::size_t held) {
            return findTitleEventIn(data, count, held > count);
        });
    }

    std::optional<std::string> read(std::uint64_t at, std::uint64_t count)
    {
        if (at >= m_size)
            return std::string();
        std::string out(static_cast<std::size_t>(std::min<std::uint64_t>(count, m_size - at)), '\0');
        if (!readAt(at, reinterpret_cast<std::uint8_t*>(out.data()), out.size()))
            return std::nullopt;
        return out;
    }

private:
    static constexpr std::size_t kChunk = std::size_t{1} << 20;

    // Calls `match(data, count, held)` on successive chunks of [from, to): a hit must start in
    // data[0, count), and data holds up to `overlap` bytes more (`held` in all) so that a pattern
    // crossing the chunk's end is whole. Returns the file offset of the first hit.
    template <typename Match>
    std::optional<std::uint64_t> search(std::uint64_t from, std::uint64_t to, std::size_t overlap,
                                        Match match)
    {
        if (m_buffer.empty())
            m_buffer.resize(kChunk + overlap + 8);
        std::uint64_t at = from;
        while (at < to && !m_failed) {
            at = nextData(at);
            if (at >= to)
                break;
            const std::uint64_t dataEnd = std::min(to, endOfData(at));
            while (at < dataEnd) {
                const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, dataEnd - at));
                const auto held =
                    static_cast<std::size_t>(std::min<std::uint64_t>(count + overlap, m_size - at));
                if (!readAt(at, m_buffer.data(), held))
                    return std::nullopt;
                if (const auto hit = match(m_buffer.data(), count, held))
                    return at + *hit;
                at += count;
            }
        }
        return std::nullopt;
    }

    // The first offset at or after `at` that may hold data; the size when only a hole follows.
    std::uint64_t nextData(std::uint64_t at) const
    {
        const off_t next = ::lseek(m_fd, static_cast<off_t>(at), SEEK_DATA);
        if (next < 0)
            return errno == ENXIO ? m_size : at; // ENXIO: nothing but a hole up to the end
        return static_cast<std::uint64_t>(next);
    }

    std::uint64_t endOfData(std::uint64_t at) const
    {
        const off_t hole = ::lseek(m_fd, static_cast<off_t>(at), SEEK_HOLE);
        if (hole < 0 || static_cast<std::uint64_t>(hole) <= at)
            return m_size;
        return std::min(m_size, static_cast<std::uint64_t>(hole));
    }

    bool readAt(std::uint64_t at, std::uint8_t* into, std::size_t count)
    {
        std::size_t done = 0;
        while (done < count) {
            const ssize_t n = ::pread(m_fd, into + done, count - done, static_cast<off_t>(at + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                m_failed = true; // an error, or the file got shorter than its length said
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    int m_fd;
    std::uint64_t m_size;
    std::vector<std::uint8_t> m_buffer;
    bool m_failed = false;
};

// A signed 16-bit header word from the bytes read at the word's place; none when it is cut off or
// would not fit (0x8000 and above).
std::optional<std::int16_t> word(const std::string& words, std::size_t at)
{
    if (at + 1 >= words.size())
        return std::nullopt;
    const unsigned value =
        256u * static_cast<unsigned char>(words[at]) + static_cast<unsigned char>(words[at + 1]);
    if (value > 0x7FFF)
        return std::nullopt;
    return static_cast<std::int16_t>(value);
}

// The title text of the meta event at `event` (FF, type, length, data); none when no length byte
// follows. A length cut off by the end counts as what was read of it, and data past the end is
// dropped, as the byte search trusts whatever it matched.
template <typename Source>
std::optional<QString> titleAt(Source& source, std::uint64_t event, TitleText decoding)
{
    const std::uint64_t at = event + 2;
    if (at >= source.size())
        return std::nullopt;
    const std::optional<std::string> lengthBytes = source.read(at, kMaxLengthBytes);
    if (!lengthBytes)
        return std::nullopt;
    std::uint64_t length = 0;
    std::size_t used = 0;
    while (used < lengthBytes->size()) {
        const auto b = static_cast<std::uint8_t>((*lengthBytes)[used++]);
        length = (length << 7) | (b & 0x7Fu);
        if ((b & 0x80u) == 0)
            break;
    }
    const std::optional<std::string> text = source.read(at + used, length);
    if (!text)
        return std::nullopt;
    return decoding == TitleText::Readable ? platform::readableText(*text) : platform::fromCodePage932(*text);
}

// The one scan, over bytes in memory or a file read as it goes.
template <typename Source> MidiHeaderInfo scan(Source& source, TitleText decoding)
{
    const auto header = source.find(kHeaderTag, 0);
    if (!header)
        return {};
    const std::optional<std::string> words = source.read(*header + 8, 6);
    if (!words)
        return {};
    const auto format = word(*words, 0);
    const auto trackCount = word(*words, 2);
    const auto division = word(*words, 4);
    if (!format || !trackCount || !division)
        return {};
    const auto firstTrack = source.find(kTrackTag, 0);
    if (!firstTrack)
        return {};

    // A text event or track name counts only up to the second track, so the search stops there; the
    // second tag is "MTrk", which no FF pair can overlap.
    QString title = QStringLiteral("NoTitle");
    const std::uint64_t from = *firstTrack + kTrackHeaderSize;
    const auto secondTrack = source.find(kTrackTag, *firstTrack + 1);
    const std::uint64_t to = secondTrack ? *secondTrack : source.size();
    if (from < to) {
        if (const auto event = source.findTitleEvent(from, to)) {
            auto text = titleAt(source, *event, decoding);
            if (!text)
                return {};
            title = std::move(*text);
        }
    }
    return MidiHeaderInfo{*format, *trackCount, *division, std::move(title)};
}

bool isHiddenName(const QString& path)
{
    return QFileInfo(path).fileName().startsWith(QLatin1Char('.'));
}

} // namespace

MidiHeaderInfo scanMidiHeader(Bytes bytes, TitleText decoding)
{
    MemorySource source(bytes);
    return scan(source, decoding);
}

MidiHeaderInfo ReadMidiHeader(const QString& path, TitleText decoding)
{
    if (path.isEmpty() || isHiddenName(path))
        return {};
    try {
        // The program's one conversion between text and file names, so a name in any code page (kept
        // as escaped bytes in the text) names the file it came from.
        const std::string native = platform::toAnsi(path);
        struct stat info
        {
        };
        // Checked before opening, as opening a device can itself have effects.
        if (::stat(native.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            return {};
        // Non-blocking, so a path swapped for a FIFO after the check cannot hang the open.
        const posix::UniqueFd fd(::open(native.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0)
            return {};
        FileSource source(fd.get(), static_cast<std::uint64_t>(info.st_size));
        MidiHeaderInfo result = scan(source, decoding);
        if (source.failed())
            return {};
        return result;
    } catch (const std::exception&) {
        // Out of memory while decoding a title that runs far into a large file.
        return {};
    }
}

} // namespace qb::media
