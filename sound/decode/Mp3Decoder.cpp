#include "FileReader.h"
#include "FrameSource.h"
#include "SourceDecoder.h"
#include "Soxr.h"
#include "posix/Reads.h"
#include "sound/decode/Decoders.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <mpg123.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qb::audio {

namespace {

// mpg123 reads through a FileReader (its reads stop when the open is given up, and fail once the file
// has changed), which must outlive the handle's use of it (mpg123_close).
mpg123_ssize_t readFile(void* reader, void* out, std::size_t bytes)
{
    return static_cast<mpg123_ssize_t>(static_cast<FileReader*>(reader)->read(out, bytes));
}

off_t seekFile(void* reader, off_t offset, int whence)
{
    return static_cast<off_t>(static_cast<FileReader*>(reader)->seek(offset, whence));
}

bool openOn(mpg123_handle* handle, FileReader* reader)
{
    return mpg123_replace_reader_handle(handle, readFile, seekFile, nullptr) == MPG123_OK &&
           mpg123_open_handle(handle, reader) == MPG123_OK;
}

// mpg123 decoding to stereo float. Gapless: the encoder delay and padding that a LAME/Xing header
// announces are cut, so frame 0 is the first frame of the music and length() its exact end.
class Mp3Source final : public FrameSource
{
public:
    Mp3Source(mpg123_handle* handle, std::unique_ptr<FileReader> reader, int rate, std::int64_t length)
        : m_handle(handle), m_reader(std::move(reader)), m_rate(rate), m_length(length)
    {
    }
    ~Mp3Source() override
    {
        mpg123_close(m_handle);
        mpg123_delete(m_handle);
    }

    int rate() const override { return m_rate; }
    std::int64_t length() const override { return m_length; }

    int read(float* out, int frames) override
    {
        int done = 0;
        while (done < frames) {
            done += takePending(out + static_cast<std::ptrdiff_t>(done) * kChannels, frames - done);
            if (done == frames || m_ended)
                break;
            if (m_partRate == m_rate) {
                done += decode(out + static_cast<std::ptrdiff_t>(done) * kChannels, frames - done);
            } else {
                convertPart(frames - done);
            }
        }
        m_position += done;
        return done;
    }

    bool seek(std::int64_t frame) override
    {
        m_pending.clear();
        m_pendingUsed = 0;
        m_converter = nullptr;
        m_partRate = m_rate;
        m_ended = false;
        if (m_otherRateFrom < 0 || frame < m_otherRateFrom) {
            m_position = frame;
            return seekFirstPart(frame);
        }
        // mpg123 counts positions in samples of whatever part they fall in, so a position past the
        // first change of rate is reached by decoding from the start.
        m_position = 0;
        if (!seekFirstPart(0))
            return false;
        std::vector<float> scratch(static_cast<std::size_t>(4096) * kChannels);
        while (m_position < frame) {
            const int want = static_cast<int>(std::min<std::int64_t>(frame - m_position, 4096));
            if (read(scratch.data(), want) < want)
                return false;
        }
        return true;
    }

private:
    bool seekFirstPart(std::int64_t frame)
    {
        const auto target = static_cast<off_t>(frame);
        if (mpg123_seek(m_handle, target, SEEK_SET) == target)
            return true;
        // Seeking back from a part at another rate, mpg123 first counts in that part's frame size; the
        // second seek, made from the first part, lands right.
        return m_otherRateFrom >= 0 && mpg123_seek(m_handle, target, SEEK_SET) == target;
    }

    // Frames of mpg123's output at the current part's rate, up to `frames`; fewer at the end of the
    // stream or where the rate changes (m_partRate then holds the new rate).
    int decode(float* out, int frames)
    {
        auto* bytes = reinterpret_cast<unsigned char*>(out);
        const std::size_t wanted = static_cast<std::size_t>(frames) * kChannels * sizeof(float);
        std::size_t filled = 0;
        while (filled < wanted) {
            std::size_t done = 0;
            const int status = mpg123_read(m_handle, bytes + filled, wanted - filled, &done);
            filled += done;
            if (status == MPG123_NEW_FORMAT) {
                // Only the rate can change (channels and encoding are fixed); frames already decoded
                // are at the old rate, the next ones at the new.
                long rate = 0;
                int channels = 0;
                int encoding = 0;
                mpg123_getformat(m_handle, &rate, &channels, &encoding);
                if (rate > 0 && rate != m_partRate) {
                    m_partRate = static_cast<int>(rate);
                    if (m_partRate != m_rate && m_otherRateFrom < 0)
                        m_otherRateFrom = m_position + static_cast<std::int64_t>(filled / kFrameBytes);
                    break;
                }
                continue;
            }
            if (status != MPG123_OK || done == 0) {
                m_ended = true; // MPG123_DONE, or a damaged or vanished file: the pass ends here
                break;
            }
        }
        return static_cast<int>(filled / kFrameBytes);
    }

    // Decodes a part at another rate than the stream's first and resamples it to the first rate into
    // m_pending, about `frames` frames of it.
    void convertPart(int frames)
    {
        if (!m_converter || m_converterRate != m_partRate) {
            // A part starts: the resampler for its rate, made once and cleared for every later part at
            // that rate (a damaged stream can switch rates at every frame).
            SoxrStream& converter = m_converters[m_partRate];
            if (converter)
                soxr_clear(converter.get());
            else
                converter = makeSoxrStream(m_partRate, m_rate);
            m_converter = converter.get();
            m_converterRate = m_partRate;
            if (!m_converter) {
                m_ended = true;
                return;
            }
        }
        const int want = std::clamp(frames, 256, kPartChunk);
        if (m_partInput.empty())
            m_partInput.resize(std::size_t{kPartChunk} * kChannels);
        const int got = decode(m_partInput.data(), want);
        // At a change of rate or the end, the resampler gives out what it still holds.
        const bool partEnds = got < want;
        const std::size_t room = static_cast<std::size_t>(got) * m_rate / m_converterRate + 64;
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(m_pendingUsed));
        m_pendingUsed = 0;
        std::size_t used = 0;
        std::size_t made = 0;
        std::size_t at = m_pending.size();
        m_pending.resize(at + room * kChannels);
        soxr_process(m_converter, m_partInput.data(), static_cast<std::size_t>(got), &used,
                     m_pending.data() + at, room, &made);
        at += made * kChannels;
        if (partEnds) {
            do {
                m_pending.resize(at + room * kChannels);
                soxr_process(m_converter, nullptr, 0, nullptr, m_pending.data() + at, room, &made);
                at += made * kChannels;
            } while (made > 0);
            m_converter = nullptr;
        }
        m_pending.resize(at);
    }

    int takePending(float* out, int frames)
    {
        const int have = static_cast<int>((m_pending.size() - m_pendingUsed) / kChannels);
        const int take = std::min(have, frames);
        std::copy_n(m_pending.data() + m_pendingUsed, static_cast<std::size_t>(take) * kChannels, out);
        m_pendingUsed += static_cast<std::size_t>(take) * kChannels;
        return take;
    }

    static constexpr std::size_t kFrameBytes = kChannels * sizeof(float);
    static constexpr int kPartChunk = 4096; // most frames decoded at once from a part at another rate

    mpg123_handle* m_handle;
    std::unique_ptr<FileReader> m_reader; // the handle's, until it closes
    const int m_rate; // the rate of the stream's first frames, which times the whole stream
    const std::int64_t m_length;
    std::int64_t m_position = 0; // in frames at m_rate
    bool m_ended = false;
    // A stream whose MPEG frames change rate part way (joined files): the parts at another rate
    // are resampled to the first rate here, so the whole stream plays at its own speed.
    int m_partRate = m_rate;
    std::int64_t m_otherRateFrom = -1;      // the first frame at another rate, once met
    std::map<int, SoxrStream> m_converters; // by the rate they convert from
    soxr_t m_converter = nullptr;           // the current part's, from m_converters
    int m_converterRate = 0;
    std::vector<float> m_partInput; // decoded frames of such a part on their way into the resampler
    std::vector<float> m_pending;   // resampled frames not yet handed out, from m_pendingUsed on
    std::size_t m_pendingUsed = 0;
};

// The decoding flags and output format every handle here uses, so lengths agree between them.
void configure(mpg123_handle* handle)
{
    mpg123_param(handle, MPG123_ADD_FLAGS,
                 MPG123_GAPLESS | MPG123_FORCE_STEREO | MPG123_FORCE_FLOAT | MPG123_QUIET, 0.0);
    mpg123_format_none(handle);
    const long* rates = nullptr;
    std::size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (std::size_t i = 0; i < rateCount; ++i)
        mpg123_format(handle, rates[i], MPG123_STEREO, MPG123_ENC_FLOAT_32);
}

// The exact length of the stream, found by a full scan of every frame header on a thread of its own:
// 4 s for a 10-hour file, which the open must not wait for. The scan reads through a reader of its
// own. Destroying it cancels the scan (the next read reports an error) and joins the thread, which
// takes at most one frame's parse.
class BackgroundScan
{
public:
    explicit BackgroundScan(std::unique_ptr<FileReader> reader) : m_reader(std::move(reader))
    {
        m_thread = std::thread([this] { run(); });
    }
    ~BackgroundScan()
    {
        m_cancel.store(true, std::memory_order_relaxed);
        m_thread.join();
    }
    BackgroundScan(const BackgroundScan&) = delete;
    BackgroundScan& operator=(const BackgroundScan&) = delete;

    // Frames at the stream's rate, gapless; -1 while the scan runs and when it failed. Any thread.
    std::int64_t length() const { return m_length.load(std::memory_order_acquire); }

private:
    void run()
    {
        const posix::CancelReads reads(m_cancel);
        int error = MPG123_OK;
        mpg123_handle* handle = mpg123_new(nullptr, &error);
        if (!handle)
            return;
        configure(handle);
        if (openOn(handle, m_reader.get())) {
            long rate = 0;
            int channels = 0;
            int encoding = 0;
            if (mpg123_getformat(handle, &rate, &channels, &encoding) == MPG123_OK &&
                mpg123_scan(handle) == MPG123_OK && !m_cancel.load(std::memory_order_relaxed)) {
                const off_t length = mpg123_length(handle);
                if (length > 0)
                    m_length.store(static_cast<std::int64_t>(length), std::memory_order_release);
            }
            mpg123_close(handle);
        }
        mpg123_delete(handle);
    }

    std::unique_ptr<FileReader> m_reader;
    std::atomic<bool> m_cancel{false};
    std::atomic<std::int64_t> m_length{-1};
    std::thread m_thread; // last: it starts once everything it uses is there
};

// The MP3 decoder: the resampling decoder over the mpg123 source, with the length the background
// scan found (when there is one) standing in for the estimate until the first pass has reached the
// real end. Frames, seeks and the seam are the source decoder's own, so looping is exactly as
// without the scan.
class Mp3Decoder final : public Decoder
{
public:
    Mp3Decoder(std::unique_ptr<Decoder> inner, std::unique_ptr<BackgroundScan> scan, int rate)
        : m_inner(std::move(inner)), m_scan(std::move(scan)), m_rate(rate)
    {
    }

    int read(float* out, int frames) override
    {
        const int got = m_inner->read(out, frames);
        if (got < frames)
            m_endSeen = true;
        return got;
    }
    bool seek(std::int64_t frame) override { return m_inner->seek(frame); }
    void renderTail(float* out, int frames) override { m_inner->renderTail(out, frames); }
    void silence() override { m_inner->silence(); }
    std::int64_t positionFrames() const override { return m_inner->positionFrames(); }

    std::int64_t lengthFrames() const override
    {
        const std::int64_t header = m_inner->lengthFrames();
        if (m_endSeen)
            return header; // exact now: where the pass really ended
        const std::int64_t scanned = m_scan ? m_scan->length() : -1;
        if (scanned <= 0)
            return header;
        const std::int64_t engine = (scanned * kEngineRate + m_rate - 1) / m_rate;
        return std::max(engine, positionFrames());
    }

private:
    std::unique_ptr<Decoder> m_inner;
    std::unique_ptr<BackgroundScan> m_scan;
    const int m_rate;
    bool m_endSeen = false; // feeder thread, like every call but the first lengthFrames()
};

OpenResult failure(OpenError error, std::string message)
{
    OpenResult result;
    result.error = error;
    result.message = std::move(message);
    return result;
}

} // namespace

OpenResult openMpegAudio(std::unique_ptr<FileReader> reader)
{
    const std::string path = reader->path();
    OpenError opening = OpenError::None;
    std::string why;
    int error = MPG123_OK;
    mpg123_handle* handle = mpg123_new(nullptr, &error);
    if (!handle) {
        return failure(OpenError::OutOfMemory, path + ": " + mpg123_plain_strerror(error));
    }
    auto fail = [&](OpenError kind, const std::string& reason) {
        mpg123_close(handle);
        mpg123_delete(handle);
        return failure(kind, path + ": " + reason);
    };

    configure(handle);
    if (!openOn(handle, reader.get()))
        return fail(OpenError::InvalidFile, mpg123_strerror(handle));
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    if (mpg123_getformat(handle, &rate, &channels, &encoding) != MPG123_OK || rate <= 0)
        return fail(OpenError::InvalidFile, "no MPEG audio frames");
    // The length from the Xing/Info or VBRI header (with the LAME tag's delay and padding taken off),
    // or estimated from the file's size when there is none: a full scan of the frames would hold the
    // open for seconds on a long file.
    const off_t length = mpg123_length(handle);
    if (length <= 0)
        return fail(OpenError::InvalidFile, "no MPEG audio frames");
    // The first frame must decode, or a file of noise that happens to hold a frame header passes.
    {
        off_t frameNumber = 0;
        unsigned char* audio = nullptr;
        std::size_t bytes = 0;
        const int status = mpg123_decode_frame(handle, &frameNumber, &audio, &bytes);
        if (status != MPG123_OK && status != MPG123_NEW_FORMAT)
            return fail(OpenError::InvalidFile, mpg123_strerror(handle));
    }
    if (mpg123_seek(handle, 0, SEEK_SET) != 0)
        return fail(OpenError::InvalidFile, mpg123_strerror(handle));

    // Without a frame count in a header the length above is an estimate, and a header can be wrong:
    // the exact count comes from a scan on a descriptor of its own.
    std::unique_ptr<BackgroundScan> scan;
    if (std::unique_ptr<FileReader> scanReader = FileReader::open(path, &opening, &why)) {
        try {
            scan = std::make_unique<BackgroundScan>(std::move(scanReader));
        } catch (const std::system_error&) {
            // No thread to be had: the estimate stands until the first pass ends.
        }
    }

    auto source = std::make_unique<Mp3Source>(handle, std::move(reader), static_cast<int>(rate),
                                              static_cast<std::int64_t>(length));
    OpenResult result;
    result.decoder = std::make_unique<Mp3Decoder>(std::make_unique<SourceDecoder>(std::move(source)),
                                                  std::move(scan), static_cast<int>(rate));
    return result;
}

} // namespace qb::audio
