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

// libsndfile's frames as stereo: mono goes to both sides, beyond two channels only the first two count.
class SoundFileSource final : public FrameSource
{
public:
    SoundFileSource(SNDFILE* file, std::unique_ptr<FileReader> reader, const SF_INFO& info)
        : m_file(file), m_reader(std::move(reader)), m_channels(info.channels), m_rate(info.samplerate),
          m_length(info.frames > 0 && info.frames < SF_COUNT_MAX ? info.frames : -1),
          m_loop(readLoop(file, m_reader->fd(), info))
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

    bool seek(std::int64_t frame) override { return sf_seek(m_file, frame, SEEK_SET) == frame; }
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

    SNDFILE* m_file;
    std::unique_ptr<FileReader> m_reader; // closed after the handle that reads it
    const int m_channels;
    const int m_rate;
    const std::int64_t m_length;
    const std::optional<LoopSpan> m_loop;
    std::vector<float> m_scratch;
};

sf_count_t fileLength(void* reader)
{
    return static_cast<FileReader*>(reader)->size();
}

sf_count_t seekFile(sf_count_t offset, int whence, void* reader)
{
    return static_cast<FileReader*>(reader)->seek(offset, whence);
}

sf_count_t readFile(void* out, sf_count_t bytes, void* reader)
{
    // libsndfile takes a short count for the end of the file, and a failed read ends there too.
    const std::int64_t got = static_cast<FileReader*>(reader)->read(out, static_cast<std::size_t>(bytes));
    return got < 0 ? 0 : got;
}

sf_count_t writeNothing(const void*, sf_count_t, void*)
{
    return 0;
}

sf_count_t tellFile(void* reader)
{
    return static_cast<FileReader*>(reader)->tell();
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
    SF_VIRTUAL_IO io{fileLength, seekFile, readFile, writeNothing, tellFile};
    SF_INFO info{};
    SNDFILE* sound = sf_open_virtual(&io, SFM_READ, &info, file.get());
    if (!sound) {
        *why = sf_strerror(nullptr);
        return nullptr;
    }
    if (info.channels < 1 || info.samplerate < 1000 || info.samplerate > 768000) {
        sf_close(sound);
        *why = "unsupported channel count or sample rate";
        return nullptr;
    }
    if (lossless != nullptr) {
        switch (info.format & SF_FORMAT_SUBMASK) {
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
            *lossless = true;
            break;
        default:
            *lossless = false;
        }
    }
    return std::make_unique<SoundFileSource>(sound, std::move(file), info);
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
