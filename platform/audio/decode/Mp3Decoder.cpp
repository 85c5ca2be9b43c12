#include "FrameSource.h"
#include "OpenFile.h"
#include "SourceDecoder.h"
#include "audio/decode/Decoders.h"

#include <mpg123.h>
#include <unistd.h>

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
        auto* bytes = reinterpret_cast<unsigned char*>(out);
        const std::size_t wanted = static_cast<std::size_t>(frames) * kChannels * sizeof(float);
        std::size_t filled = 0;
        while (filled < wanted) {
            std::size_t done = 0;
            const int status = mpg123_read(m_handle, bytes + filled, wanted - filled, &done);
            filled += done;
            // A new format can only be another rate (the channels and encoding are fixed); the first
            // rate stays, as the whole stream is timed by it.
            if (status == MPG123_NEW_FORMAT)
                continue;
            if (status != MPG123_OK)
                break; // MPG123_DONE, or a damaged or vanished file: the pass ends here
            if (done == 0)
                break;
        }
        return static_cast<int>(filled / (kChannels * sizeof(float)));
    }

    bool seek(std::int64_t frame) override
    {
        return mpg123_seek(m_handle, static_cast<off_t>(frame), SEEK_SET) == static_cast<off_t>(frame);
    }

private:
    mpg123_handle* m_handle;
    posix::UniqueFd m_fd; // closed after the handle that reads it
    const int m_rate;
    const std::int64_t m_length;
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
