#include "FrameSource.h"
#include "OpenFile.h"
#include "SourceDecoder.h"
#include "Soxr.h"
#include "audio/decode/Decoders.h"

#include <algorithm>
#include <mpg123.h>
#include <unistd.h>
#include <vector>

namespace qb::audio {

namespace {

// mpg123 decoding to stereo float. Gapless: the encoder delay and padding that a LAME/Xing header
// announces are cut, so frame 0 is the first frame of the music and length() its exact end.
class Mp3Source final : public FrameSource
{
public:
    Mp3Source(mpg123_handle* handle, posix::UniqueFd fd, int rate, std::int64_t length)
        : m_handle(handle), m_fd(std::move(fd)), m_rate(rate), m_length(length)
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
        m_converter.reset();
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
            m_converter = makeSoxrStream(m_partRate, m_rate);
            m_converterRate = m_partRate;
            if (!m_converter) {
                m_ended = true;
                return;
            }
        }
        const int want = std::clamp(frames, 256, 4096);
        std::vector<float> in(static_cast<std::size_t>(want) * kChannels);
        const int got = decode(in.data(), want);
        // At a change of rate or the end, the resampler gives out what it still holds.
        const bool partEnds = got < want;
        const std::size_t room = static_cast<std::size_t>(got) * m_rate / m_converterRate + 64;
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(m_pendingUsed));
        m_pendingUsed = 0;
        std::size_t used = 0;
        std::size_t made = 0;
        std::size_t at = m_pending.size();
        m_pending.resize(at + room * kChannels);
        soxr_process(m_converter.get(), in.data(), static_cast<std::size_t>(got), &used,
                     m_pending.data() + at, room, &made);
        at += made * kChannels;
        if (partEnds) {
            do {
                m_pending.resize(at + room * kChannels);
                soxr_process(m_converter.get(), nullptr, 0, nullptr, m_pending.data() + at, room, &made);
                at += made * kChannels;
            } while (made > 0);
            m_converter.reset();
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

    mpg123_handle* m_handle;
    posix::UniqueFd m_fd; // closed after the handle that reads it
    const int m_rate;     // the rate of the stream's first frames, which times the whole stream
    const std::int64_t m_length;
    std::int64_t m_position = 0; // in frames at m_rate
    bool m_ended = false;
    // A stream whose MPEG frames change rate part way (joined files): the parts at another rate
    // are resampled to the first rate here, so the whole stream plays at its own speed.
    int m_partRate = m_rate;
    std::int64_t m_otherRateFrom = -1; // the first frame at another rate, once met
    SoxrStream m_converter;
    int m_converterRate = 0;
    std::vector<float> m_pending; // resampled frames not yet handed out, from m_pendingUsed on
    std::size_t m_pendingUsed = 0;
};

OpenResult failure(OpenError error, std::string message)
{
    OpenResult result;
    result.error = error;
    result.message = std::move(message);
    return result;
}

} // namespace

OpenResult openMp3Decoder(const std::string& path)
{
    OpenedFile file = openRegularFile(path);
    if (!file.fd)
        return failure(file.error, file.message);

    int error = MPG123_OK;
    mpg123_handle* handle = mpg123_new(nullptr, &error);
    if (!handle) {
        return failure(OpenError::OutOfMemory, path + ": " + mpg123_plain_strerror(error));
    }
    auto fail = [&](OpenError kind, const std::string& why) {
        mpg123_close(handle);
        mpg123_delete(handle);
        return failure(kind, path + ": " + why);
    };

    mpg123_param(handle, MPG123_ADD_FLAGS,
                 MPG123_GAPLESS | MPG123_FORCE_STEREO | MPG123_FORCE_FLOAT | MPG123_QUIET, 0.0);
    mpg123_format_none(handle);
    const long* rates = nullptr;
    std::size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (std::size_t i = 0; i < rateCount; ++i)
        mpg123_format(handle, rates[i], MPG123_STEREO, MPG123_ENC_FLOAT_32);

    if (mpg123_open_fd(handle, file.fd.get()) != MPG123_OK)
        return fail(OpenError::InvalidFile, mpg123_strerror(handle));
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    if (mpg123_getformat(handle, &rate, &channels, &encoding) != MPG123_OK || rate <= 0)
        return fail(OpenError::InvalidFile, "no MPEG audio frames");
    // A full scan gives the exact, gapless length and a seek index for sample-accurate seeks.
    if (mpg123_scan(handle) != MPG123_OK)
        return fail(OpenError::InvalidFile, mpg123_strerror(handle));
    const off_t length = mpg123_length(handle);
    if (length <= 0)
        return fail(OpenError::InvalidFile, "no MPEG audio frames");
    if (mpg123_seek(handle, 0, SEEK_SET) != 0)
        return fail(OpenError::InvalidFile, mpg123_strerror(handle));

    auto source = std::make_unique<Mp3Source>(handle, std::move(file.fd), static_cast<int>(rate),
                                              static_cast<std::int64_t>(length));
    OpenResult result;
    result.decoder = std::make_unique<SourceDecoder>(std::move(source));
    return result;
}

} // namespace qb::audio
