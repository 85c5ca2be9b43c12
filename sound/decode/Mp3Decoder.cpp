#include "Backends.h"
#include "MpegParts.h"
#include "SourceDecoder.h"
#include "posix/Reads.h"

#include <atomic>
#include <mpg123.h>
#include <system_error>
#include <thread>

namespace qb::audio {

namespace {

// mpg123 reads through a FileReader, which must outlive the handle's use of it (mpg123_close).
mpg123_ssize_t readFile(void* reader, void* out, std::size_t bytes)
{
    return static_cast<mpg123_ssize_t>(static_cast<FileReader*>(reader)->read(out, bytes));
}

off_t seekFile(void* reader, off_t offset, int whence)
{
    return static_cast<off_t>(static_cast<FileReader*>(reader)->seek(offset, whence));
}

void closeHandle(mpg123_handle* handle)
{
    mpg123_close(handle);
    mpg123_delete(handle);
}
using Handle = std::unique_ptr<mpg123_handle, decltype(&closeHandle)>;

// A handle decoding `reader` to stereo float, gapless (the encoder delay and padding a LAME tag gives
// are cut); null when mpg123 finds no MPEG audio.
Handle openHandle(FileReader* reader)
{
    Handle handle(mpg123_new(nullptr, nullptr), closeHandle);
    if (handle && (mpg123_param(handle.get(), MPG123_ADD_FLAGS,
                                MPG123_GAPLESS | MPG123_FORCE_STEREO | MPG123_FORCE_FLOAT | MPG123_QUIET,
                                0.0) != MPG123_OK ||
                   mpg123_replace_reader_handle(handle.get(), readFile, seekFile, nullptr) != MPG123_OK ||
                   mpg123_open_handle(handle.get(), reader) != MPG123_OK))
        handle.reset();
    return handle;
}

// The stream's frames, all at its first frame's rate: mpg123 resamples a part at another rate (a
// stream dump's), so that positions count alike throughout.
class Mpg123Source final : public FrameSource
{
public:
    Mpg123Source(Handle handle, std::unique_ptr<FileReader> reader, int rate, std::int64_t length)
        : m_reader(std::move(reader)), m_handle(std::move(handle)), m_rate(rate), m_length(length)
    {
    }

    int rate() const override { return m_rate; }
    std::int64_t length() const override { return m_length; }

    int read(float* out, int frames) override
    {
        const std::size_t wanted = static_cast<std::size_t>(frames) * kChannels * sizeof(float);
        std::size_t filled = 0;
        int status = MPG123_OK;
        // MPG123_DONE, or a damaged or vanished file, ends the pass.
        while (filled < wanted && (status == MPG123_OK || status == MPG123_NEW_FORMAT)) {
            std::size_t done = 0;
            status = mpg123_read(m_handle.get(), reinterpret_cast<unsigned char*>(out) + filled,
                                 wanted - filled, &done);
            filled += done;
            if (status == MPG123_OK && done == 0)
                break;
        }
        return static_cast<int>(filled / (kChannels * sizeof(float)));
    }

    bool seek(std::int64_t frame) override
    {
        return mpg123_seek(m_handle.get(), static_cast<off_t>(frame), SEEK_SET) == frame;
    }

private:
    std::unique_ptr<FileReader> m_reader; // the handle's, until it closes
    Handle m_handle;
    const int m_rate;
    const std::int64_t m_length;
};

// The source decoder, with the exact length from a scan of every frame header standing in for the
// estimate until the first pass has reached the real end. The scan (4 s for a 10-hour file, which the
// open must not wait for) runs on a thread of its own through a reader of its own; destroying the
// decoder cancels it (the next read fails) and joins the thread, which takes at most a frame's parse.
class ScannedDecoder final : public Decoder
{
public:
    ScannedDecoder(std::unique_ptr<Decoder> inner, std::unique_ptr<FileReader> scanned, int rate)
        : m_inner(std::move(inner)), m_scanned(std::move(scanned)), m_rate(rate)
    {
        try {
            if (m_scanned)
                m_scan = std::thread([this] { scan(); });
        } catch (const std::system_error&) {
            // No thread to be had: the estimate stands until the first pass ends.
        }
    }
    ~ScannedDecoder() override
    {
        m_cancel.store(true, std::memory_order_relaxed);
        if (m_scan.joinable())
            m_scan.join();
    }
    ScannedDecoder(const ScannedDecoder&) = delete;
    ScannedDecoder& operator=(const ScannedDecoder&) = delete;

    int read(float* out, int frames) override
    {
        const int got = m_inner->read(out, frames);
        m_endSeen = m_endSeen || got < frames;
        return got;
    }
    bool seek(std::int64_t frame) override { return m_inner->seek(frame); }
    std::int64_t positionFrames() const override { return m_inner->positionFrames(); }

    std::int64_t lengthFrames() const override
    {
        const std::int64_t scanned = m_endSeen ? -1 : m_length.load(std::memory_order_acquire);
        if (scanned <= 0)
            return m_inner->lengthFrames(); // exact once a pass has ended: where it really ended
        return std::max((scanned * kEngineRate + m_rate - 1) / m_rate, positionFrames());
    }

private:
    void scan()
    {
        const posix::CancelReads reads(m_cancel);
        const Handle handle = openHandle(m_scanned.get());
        if (handle && mpg123_scan(handle.get()) == MPG123_OK && !m_cancel.load(std::memory_order_relaxed))
            m_length.store(mpg123_length(handle.get()), std::memory_order_release);
    }

    std::unique_ptr<Decoder> m_inner;
    std::unique_ptr<FileReader> m_scanned; // the scan's own reader
    const int m_rate;
    bool m_endSeen = false; // feeder thread, like every call but the first lengthFrames()
    std::atomic<bool> m_cancel{false};
    std::atomic<std::int64_t> m_length{-1}; // frames at m_rate, gapless; -1 until the scan has them
    std::thread m_scan;                     // last: it starts once everything it uses is there
};

} // namespace

OpenResult openUnannouncedMpeg(std::unique_ptr<FileReader> reader)
{
    OpenResult result;
    result.error = OpenError::InvalidFile;
    result.message = reader->path() + ": no MPEG audio frames that decode";
    Handle handle = openHandle(reader.get());
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    if (!handle || mpg123_getformat(handle.get(), &rate, &channels, &encoding) != MPG123_OK || rate <= 0)
        return result;
    mpg123_format_none(handle.get());
    mpg123_format(handle.get(), rate, MPG123_STEREO, MPG123_ENC_FLOAT_32);
    // Frames decoded ahead of a seek's target, as for libsndfile's (see SoundFileDecoder).
    mpg123_frameinfo info{};
    mpg123_info(handle.get(), &info);
    mpg123_param(handle.get(), MPG123_PREFRAMES, info.version == MPG123_1_0 ? 16 : 128, 0.0);
    // Estimated from the file's size (or a Xing frame count): a full scan would hold the open for
    // seconds on a long file. No frame holds more than 24 samples a byte (576 in the 24 bytes of
    // MPEG-2 at 24 kHz and 8 kbit/s), so the estimate is held to 32: a damaged count can claim
    // billions, and a seek near them, which resampling makes mpg123 count out frame by frame, would
    // take seconds.
    const std::int64_t length = std::min<std::int64_t>(mpg123_length(handle.get()), reader->size() * 32);
    // The first frame must decode, or a file of noise that happens to hold a frame header passes.
    off_t frameNumber = 0;
    unsigned char* audio = nullptr;
    std::size_t bytes = 0;
    const int first = mpg123_decode_frame(handle.get(), &frameNumber, &audio, &bytes);
    if (length <= 0 || (first != MPG123_OK && first != MPG123_NEW_FORMAT) ||
        mpg123_seek(handle.get(), 0, SEEK_SET) != 0)
        return result;

    OpenError error = OpenError::None;
    std::string why;
    std::unique_ptr<FileReader> scanned = FileReader::open(reader->path(), &error, &why);
    auto source =
        std::make_unique<Mpg123Source>(std::move(handle), std::move(reader), static_cast<int>(rate), length);
    result = OpenResult{};
    result.decoder = std::make_unique<ScannedDecoder>(std::make_unique<SourceDecoder>(std::move(source)),
                                                      std::move(scanned), static_cast<int>(rate));
    return result;
}

} // namespace qb::audio
