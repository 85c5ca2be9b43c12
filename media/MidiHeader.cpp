#include "media/MidiHeader.h"

#include "system/CodePage.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <array>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
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
    const auto it = std::search(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(),
                                pattern.begin(), pattern.end());
    if (it == bytes.end())
        return std::nullopt;
    return static_cast<std::size_t>(it - bytes.begin());
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
    const std::size_t from = firstTrack + kTrackHeaderSize;
    const auto text = find(bytes, kTextEvent, from);
    const auto name = find(bytes, kTrackNameEvent, from);
    if (!text && !name)
        return std::nullopt;
    const std::size_t at = text && name ? std::min(*text, *name) : text ? *text : *name;
    const auto secondTrack = find(bytes, kTrackTag, firstTrack + 1);
    if (secondTrack && at > *secondTrack)
        return std::nullopt;
    return at;
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

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

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

struct FileBytes
{
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;
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

std::optional<FileBytes> readOrdinaryFile(const QString& path)
{
    if (path.isEmpty() || isHiddenName(path))
        return std::nullopt;
    const QByteArray native = QFile::encodeName(path);
    struct stat info
    {
    };
    // Checked before opening, as opening a device can itself have effects.
    if (::stat(native.constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    // Non-blocking, so a path swapped for a FIFO after the check cannot hang the open.
    const FileDescriptor fd(::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0)
        return std::nullopt;
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (!fitsInMemory(size))
        return std::nullopt;
    FileBytes file;
    file.size = static_cast<std::size_t>(size);
    file.data.reset(new (std::nothrow) std::uint8_t[file.size == 0 ? 1 : file.size]);
    if (!file.data || !readAll(fd.get(), file.data.get(), file.size))
        return std::nullopt;
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
        return scanMidiHeader(Bytes(file->data.get(), file->size));
    } catch (const std::exception&) {
        // Out of memory while decoding a title that runs to the end of a large file.
        return {};
    }
}

} // namespace qb::media
