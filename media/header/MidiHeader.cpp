#include "media/MidiHeader.h"

#include "posix/UniqueFd.h"
#include "system/CodePage.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qb::media {
namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::array<std::uint8_t, 4> kHeaderTag{0x4D, 0x54, 0x68, 0x64}; // "MThd"
constexpr std::array<std::uint8_t, 4> kTrackTag{0x4D, 0x54, 0x72, 0x6B};  // "MTrk"
constexpr std::array<std::uint8_t, 2> kTextEvent{0xFF, 0x01};
constexpr std::array<std::uint8_t, 2> kTrackNameEvent{0xFF, 0x03};
constexpr std::size_t kTrackHeaderSize = 8; // tag and 32-bit length
constexpr std::size_t kMaxLengthBytes = 4;

template <std::size_t N>
std::optional<std::size_t> find(Bytes bytes, const std::array<std::uint8_t, N>& pattern, std::size_t from)
{
    if (from >= bytes.size())
        return std::nullopt;
    const void* hit = ::memmem(bytes.data() + from, bytes.size() - from, pattern.data(), N);
    if (!hit)
        return std::nullopt;
    return static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - bytes.data());
}

// The first FF 01 or FF 03 pair that starts in [from, to): one pass over the bytes, however far
// apart the two kinds lie.
std::optional<std::size_t> findTitleEvent(Bytes bytes, std::size_t from, std::size_t to)
{
    const std::uint8_t* data = bytes.data();
    for (std::size_t at = from; at < to;) {
        const void* hit = std::memchr(data + at, kTextEvent[0], to - at);
        if (!hit)
            return std::nullopt;
        at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data);
        if (at + 1 < bytes.size() && (data[at + 1] == kTextEvent[1] || data[at + 1] == kTrackNameEvent[1]))
            return at;
        ++at;
    }
    return std::nullopt;
}

// A signed 16-bit header word; none when it is cut off or would not fit (0x8000 and above).
std::optional<std::int16_t> word(Bytes bytes, std::size_t at)
{
    if (at + 1 >= bytes.size())
        return std::nullopt;
    const unsigned value = 256u * bytes[at] + bytes[at + 1];
    if (value > 0x7FFF)
        return std::nullopt;
    return static_cast<std::int16_t>(value);
}

std::optional<std::size_t> titlePosition(Bytes bytes, std::size_t firstTrack)
{
    // A text event or track name counts only up to the second track, so the search stops there; the
    // second tag is "MTrk", which no FF pair can overlap.
    const std::size_t from = firstTrack + kTrackHeaderSize;
    const auto secondTrack = find(bytes, kTrackTag, firstTrack + 1);
    const std::size_t to = secondTrack ? *secondTrack : bytes.size();
    if (from >= to)
        return std::nullopt;
    return findTitleEvent(bytes, from, to);
}

// The title text of the meta event at `event` (FF, type, length, data); none when no length byte
// follows. A length cut off by the end counts as what was read of it, and data past the end is
// dropped, as the byte search trusts whatever it matched.
std::optional<QString> titleAt(Bytes bytes, std::size_t event)
{
    std::size_t at = event + 2;
    if (at >= bytes.size())
        return std::nullopt;
    std::size_t length = 0;
    for (std::size_t n = 0; n < kMaxLengthBytes && at < bytes.size(); ++n) {
        const std::uint8_t b = bytes[at++];
        length = (length << 7) | (b & 0x7Fu);
        if ((b & 0x80u) == 0)
            break;
    }
    const std::size_t count = std::min(length, bytes.size() - at);
    const auto* data = reinterpret_cast<const char*>(bytes.data() + at);
    return platform::fromCodePage932(std::string_view(data, count));
}

bool isHiddenName(const QString& path)
{
    return QFileInfo(path).fileName().startsWith(QLatin1Char('.'));
}

// A file larger than the machine's memory cannot be held whole; with overcommit the allocation
// alone would not tell, and touching it would get the process killed.
bool fitsInMemory(std::uint64_t size)
{
    if (size > std::numeric_limits<std::size_t>::max() / 2)
        return false;
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return true;
    return size <= static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

// The whole file in memory. A large one goes into huge pages: reading half a gigabyte into ordinary
// pages spends more time on page faults than on copying.
class FileBytes
{
public:
    explicit FileBytes(std::size_t size) : m_size(size)
    {
        if (size < kLargeFile) {
            m_small.reset(new (std::nothrow) std::uint8_t[size == 0 ? 1 : size]);
            m_data = m_small.get();
            return;
        }
        void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED)
            return;
        ::madvise(mapped, size, MADV_HUGEPAGE);
        m_data = static_cast<std::uint8_t*>(mapped);
    }
    ~FileBytes()
    {
        if (m_data && !m_small)
            ::munmap(m_data, m_size);
    }
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;

    std::uint8_t* data() const { return m_data; }
    std::size_t size() const { return m_size; }

private:
    static constexpr std::size_t kLargeFile = std::size_t{4} << 20;

    std::size_t m_size;
    std::unique_ptr<std::uint8_t[]> m_small;
    std::uint8_t* m_data = nullptr;
};

bool readAll(int fd, std::uint8_t* into, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, into + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false; // an error, or the file got shorter than its length said
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::unique_ptr<FileBytes> readOrdinaryFile(const QString& path)
{
    if (path.isEmpty() || isHiddenName(path))
        return nullptr;
    const QByteArray native = QFile::encodeName(path);
    struct stat info
    {
    };
    // Checked before opening, as opening a device can itself have effects.
    if (::stat(native.constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return nullptr;
    // Non-blocking, so a path swapped for a FIFO after the check cannot hang the open.
    const posix::UniqueFd fd(::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0)
        return nullptr;
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (!fitsInMemory(size))
        return nullptr;
    auto file = std::make_unique<FileBytes>(static_cast<std::size_t>(size));
    if (!file->data() || !readAll(fd.get(), file->data(), file->size()))
        return nullptr;
    return file;
}

} // namespace

MidiHeaderInfo scanMidiHeader(Bytes bytes)
{
    const auto header = find(bytes, kHeaderTag, 0);
    if (!header)
        return {};
    const auto format = word(bytes, *header + 8);
    const auto trackCount = word(bytes, *header + 10);
    const auto division = word(bytes, *header + 12);
    if (!format || !trackCount || !division)
        return {};
    const auto firstTrack = find(bytes, kTrackTag, 0);
    if (!firstTrack)
        return {};

    QString title = QStringLiteral("NoTitle");
    if (const auto event = titlePosition(bytes, *firstTrack)) {
        auto text = titleAt(bytes, *event);
        if (!text)
            return {};
        title = std::move(*text);
    }
    return MidiHeaderInfo{*format, *trackCount, *division, std::move(title)};
}

MidiHeaderInfo ReadMidiHeader(const QString& path)
{
    try {
        const auto file = readOrdinaryFile(path);
        if (!file)
            return {};
        return scanMidiHeader(Bytes(file->data(), file->size()));
    } catch (const std::exception&) {
        // Out of memory while decoding a title that runs to the end of a large file.
        return {};
    }
}

} // namespace qb::media
