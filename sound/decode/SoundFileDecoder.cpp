#include "Backends.h"
#include "FileReader.h"
#include "FrameSource.h"
#include "LoopComments.h"
#include "RiffWalk.h"
#include "SourceDecoder.h"
#include "sound/decode/Decoders.h"

#include <algorithm>
#include <sndfile.h>
#include <vector>

namespace qb::audio {

namespace {

// The bytes [start, start + size) of a file, as libsndfile reads a virtual file: a position of their
// own, so that several windows can share one reader (one reads at a time).
struct FileWindow
{
    FileReader* file;
    std::int64_t start;
    std::int64_t size;
    std::int64_t at = 0;
};

sf_count_t windowSize(void* window)
{
    return static_cast<FileWindow*>(window)->size;
}

sf_count_t seekWindow(sf_count_t offset, int whence, void* window)
{
    auto* w = static_cast<FileWindow*>(window);
    const std::int64_t base = whence == SEEK_CUR ? w->at : whence == SEEK_END ? w->size : 0;
    if (base + offset < 0)
        return -1;
    w->at = base + offset;
    return w->at;
}

sf_count_t readWindow(void* out, sf_count_t bytes, void* window)
{
    // libsndfile takes a short count for the end of the file, and a failed read ends there too.
    auto* w = static_cast<FileWindow*>(window);
    const std::int64_t want = std::clamp<std::int64_t>(w->size - w->at, 0, bytes);
    if (want == 0 || w->file->seek(w->start + w->at, SEEK_SET) < 0)
        return 0;
    const std::int64_t got = w->file->read(out, static_cast<std::size_t>(want));
    if (got <= 0)
        return 0;
    w->at += got;
    return got;
}

sf_count_t writeNothing(const void*, sf_count_t, void*)
{
    return 0;
}

sf_count_t tellWindow(void* window)
{
    return static_cast<FileWindow*>(window)->at;
}

// Frames decoded before a seek's target in MPEG audio, at the file's rate. mpg123 (which libsndfile
// decodes MPEG with) starts four frames early, which is not enough for a frame whose data lies in
// the bit reservoir of the frames before: measured on LAME's files, after a plain seek, VBR and the
// lowest bit rates give up to 0.1 s of silence or wrong sound. Exact from 6 frames of 1152 samples
// (MPEG-1) and from 96 of 576 (MPEG-2 and 2.5 at 8 kbit/s, where a frame holds 3 bytes of data).
std::int64_t mpegSeekMargin(int rate)
{
    return rate >= 32000 ? 16 * 1152 : 128 * 576;
}

// libsndfile's frames as stereo: mono goes to both sides, beyond two channels only the first two count.
class SoundFileSource final : public FrameSource
{
public:
    SoundFileSource(SNDFILE* file, std::unique_ptr<FileWindow> window, std::unique_ptr<FileReader> owned,
                    const SF_INFO& info)
        : m_owned(std::move(owned)), m_window(std::move(window)), m_file(file), m_channels(info.channels),
          m_rate(info.samplerate), m_length(info.frames > 0 && info.frames < SF_COUNT_MAX ? info.frames : -1),
          m_seekMargin((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG ? mpegSeekMargin(m_rate) : 0),
          m_loop(readLoop(file, m_window->file->fd(), info))
    {
    }
    ~SoundFileSource() override { sf_close(m_file); }

    int rate() const override { return m_rate; }
    std::int64_t length() const override { return m_length; }

    int read(float* out, int frames) override
    {
        if (m_channels == kChannels)
            return readFull(out, frames);
        int done = 0;
        while (done < frames) {
            const int want = std::min(frames - done, 1024);
            m_scratch.resize(static_cast<std::size_t>(want) * static_cast<std::size_t>(m_channels));
            const int got = readFull(m_scratch.data(), want);
            for (int i = 0; i < got; ++i) {
                const float* in = m_scratch.data() + static_cast<std::ptrdiff_t>(i) * m_channels;
                out[(done + i) * kChannels] = in[0];
                out[(done + i) * kChannels + 1] = m_channels == 1 ? in[0] : in[1];
            }
            done += got;
            if (got < want)
                break;
        }
        return done;
    }

    bool seek(std::int64_t frame) override
    {
        const std::int64_t from = std::max<std::int64_t>(frame - m_seekMargin, 0);
        if (sf_seek(m_file, from, SEEK_SET) != from)
            return false;
        std::vector<float> skipped(from < frame ? std::size_t{4096} * static_cast<std::size_t>(m_channels)
                                                : 0);
        for (std::int64_t at = from; at < frame;) {
            const int want = static_cast<int>(std::min<std::int64_t>(frame - at, 4096));
            if (readFull(skipped.data(), want) < want)
                return false;
            at += want;
        }
        return true;
    }
    std::optional<LoopSpan> loopMarks() const override { return m_loop; }

private:
    // The loop the file marks: a WAVE file's sampler chunk (smpl), its first forward loop (libsndfile
    // gives the end exclusive); the loop comments of a FLAC file.
    static std::optional<LoopSpan> readLoop(SNDFILE* file, int fd, const SF_INFO& info)
    {
        if ((info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_WAV)
            return loopFromComments(vorbisComments(fd, info.format), info.frames, info.samplerate,
                                    info.samplerate);
        SF_INSTRUMENT instrument{};
        if (sf_command(file, SFC_GET_INSTRUMENT, &instrument, sizeof instrument) != SF_TRUE)
            return std::nullopt;
        const int count = std::clamp(instrument.loop_count, 0, 16);
        for (int i = 0; i < count; ++i) {
            if (instrument.loops[i].mode == SF_LOOP_FORWARD)
                return LoopSpan{instrument.loops[i].start, instrument.loops[i].end, "the sampler chunk"};
        }
        return std::nullopt;
    }

    // sf_readf_float in the file's channel layout; short only at the end (or on a read error).
    int readFull(float* out, int frames)
    {
        int done = 0;
        while (done < frames) {
            const sf_count_t got =
                sf_readf_float(m_file, out + static_cast<std::ptrdiff_t>(done) * m_channels, frames - done);
            if (got <= 0)
                break;
            done += static_cast<int>(got);
        }
        return done;
    }

    std::unique_ptr<FileReader> m_owned;  // the reader, when this source alone reads it
    std::unique_ptr<FileWindow> m_window; // read by m_file until it closes
    SNDFILE* m_file;
    const int m_channels;
    const int m_rate;
    const std::int64_t m_length;
    const std::int64_t m_seekMargin; // frames decoded before a seek's target
    const std::optional<LoopSpan> m_loop;
    std::vector<float> m_scratch;
};

// Whether a file in libsndfile's `format` holds its sound without loss (PCM and FLAC rather than a
// lossy coding).
bool lossless(int format)
{
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
    case SF_FORMAT_ALAC_16:
    case SF_FORMAT_ALAC_20:
    case SF_FORMAT_ALAC_24:
    case SF_FORMAT_ALAC_32:
        return true;
    default:
        return false;
    }
}

std::unique_ptr<FrameSource> openWindow(FileReader& file, std::unique_ptr<FileReader> owned,
                                        std::int64_t start, std::int64_t size, std::string* why,
                                        bool* isLossless)
{
    auto window = std::make_unique<FileWindow>(FileWindow{&file, start, size});
    SF_VIRTUAL_IO io{windowSize, seekWindow, readWindow, writeNothing, tellWindow};
    SF_INFO info{};
    SNDFILE* sound = sf_open_virtual(&io, SFM_READ, &info, window.get());
    if (!sound) {
        *why = sf_strerror(nullptr);
        return nullptr;
    }
    if (info.channels < 1 || info.samplerate < 1000 || info.samplerate > 768000) {
        sf_close(sound);
        *why = "unsupported channel count or sample rate";
        return nullptr;
    }
    // mpg123 decodes MPEG-2 and 2.5 a little differently after a seek (by up to 3e-7) than after the
    // open: placed at frame 0 now, the first pass sounds bit for bit as every later one.
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG && sf_seek(sound, 0, SEEK_SET) != 0) {
        sf_close(sound);
        *why = "MPEG audio that cannot be sought";
        return nullptr;
    }
    if (isLossless != nullptr)
        *isLossless = lossless(info.format);
    return std::make_unique<SoundFileSource>(sound, std::move(window), std::move(owned), info);
}

OpenResult failure(OpenError error, std::string message)
{
    OpenResult result;
    result.error = error;
    result.message = std::move(message);
    return result;
}

} // namespace

std::unique_ptr<FrameSource> openSoundFileSource(std::unique_ptr<FileReader> file, bool* lossless,
                                                 std::string* why)
{
    if (!riffChunksAddUp(file->fd(), why))
        return nullptr;
    FileReader& reader = *file;
    return openWindow(reader, std::move(file), 0, reader.size(), why, lossless);
}

std::unique_ptr<FrameSource> openSoundFilePart(FileReader& file, std::int64_t start, std::int64_t size,
                                               std::string* why)
{
    return openWindow(file, nullptr, start, size, why, nullptr);
}

OpenResult openSoundFile(std::unique_ptr<FileReader> file)
{
    const std::string path = file->path();
    std::string why;
    std::unique_ptr<FrameSource> source = openSoundFileSource(std::move(file), nullptr, &why);
    if (!source)
        return failure(OpenError::InvalidFile, path + ": " + why);
    OpenResult result;
    result.decoder = std::make_unique<SourceDecoder>(std::move(source));
    return result;
}

} // namespace qb::audio
