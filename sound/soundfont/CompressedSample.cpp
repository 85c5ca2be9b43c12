#include "CompressedSample.h"

#include "FileReads.h"

#include <algorithm>
#include <iterator>
#include <sndfile.h>

namespace qb::audio {

namespace {

// The stream as a file of its own, for libsndfile.
struct Stream
{
    int fd;
    std::uint64_t offset, bytes, at;
    bool failed = false; // a read of the file failed
};

sf_count_t streamLength(void* data)
{
    return static_cast<sf_count_t>(static_cast<Stream*>(data)->bytes);
}

sf_count_t streamSeek(sf_count_t offset, int whence, void* data)
{
    auto* s = static_cast<Stream*>(data);
    const sf_count_t base = whence == SEEK_CUR   ? static_cast<sf_count_t>(s->at)
                            : whence == SEEK_END ? static_cast<sf_count_t>(s->bytes)
                                                 : 0;
    const sf_count_t to = base + offset;
    if (to < 0 || to > static_cast<sf_count_t>(s->bytes))
        return -1;
    s->at = static_cast<std::uint64_t>(to);
    return to;
}

sf_count_t streamRead(void* out, sf_count_t count, void* data)
{
    auto* s = static_cast<Stream*>(data);
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(
        static_cast<std::uint64_t>(std::max<sf_count_t>(count, 0)), s->bytes - s->at));
    if (n == 0)
        return 0;
    if (!readFully(s->fd, s->offset + s->at, out, n)) {
        s->failed = true;
        return 0;
    }
    s->at += n;
    return static_cast<sf_count_t>(n);
}

sf_count_t streamWrite(const void*, sf_count_t, void*)
{
    return 0;
}

sf_count_t streamTell(void* data)
{
    return static_cast<sf_count_t>(static_cast<Stream*>(data)->at);
}

// The stream opened through libsndfile; `file` is null when libsndfile does not take it.
class OpenStream
{
public:
    OpenStream(int fd, std::uint64_t offset, std::uint64_t bytes)
        : m_stream{fd, offset, bytes, 0}, m_file(sf_open_virtual(&m_io, SFM_READ, &m_info, &m_stream))
    {
    }
    ~OpenStream()
    {
        if (m_file)
            sf_close(m_file);
    }
    OpenStream(const OpenStream&) = delete;
    OpenStream& operator=(const OpenStream&) = delete;

    SNDFILE* file() const { return m_file; }
    const SF_INFO& info() const { return m_info; }
    bool readFailed() const { return m_stream.failed; }

private:
    SF_VIRTUAL_IO m_io{streamLength, streamSeek, streamRead, streamWrite, streamTell};
    Stream m_stream; // moved on by libsndfile as it reads
    SF_INFO m_info{};
    SNDFILE* m_file;
};

} // namespace

std::int64_t compressedSampleFrames(int fd, std::uint64_t offset, std::uint64_t bytes)
{
    OpenStream stream(fd, offset, bytes);
    const SF_INFO& info = stream.info();
    return stream.file() && info.channels == 1 && info.frames > 0 && info.frames <= kMaxCompressedFrames
               ? info.frames
               : 0;
}

bool decodeCompressedSample(int fd, std::uint64_t offset, std::uint64_t bytes, std::uint64_t first,
                            std::int16_t* out, std::uint64_t count)
{
    std::fill(out, out + count, std::int16_t{0});
    OpenStream stream(fd, offset, bytes);
    SNDFILE* file = stream.file();
    // What comes before `first` is decoded and dropped: a seek in a Vorbis stream need not land on
    // the very frame a decode from the start gives. A stream that ends early leaves silence.
    std::int16_t skipped[4096];
    bool decoding = file && stream.info().channels == 1;
    for (std::uint64_t left = first; decoding && left > 0;) {
        const auto n = static_cast<sf_count_t>(std::min<std::uint64_t>(left, std::size(skipped)));
        decoding = sf_readf_short(file, skipped, n) == n;
        left -= static_cast<std::uint64_t>(n);
    }
    if (decoding)
        sf_readf_short(file, out, static_cast<sf_count_t>(count));
    return !stream.readFailed();
}

} // namespace qb::audio
