#include "Backends.h"
#include "Libraries.h"
#include "LoopComments.h"
#include "OggLinks.h"

#include <opusfile.h>

namespace qb::audio {

namespace {

constexpr int kOpusRate = 48000;

// libopusfile's calls, once openOpusSource has loaded the library.
const OpusFileCalls& lib()
{
    return *opusFileCalls();
}

int readCallback(void* source, unsigned char* out, int bytes)
{
    const std::int64_t got = static_cast<FileReader*>(source)->read(out, static_cast<std::size_t>(bytes));
    return got < 0 ? -1 : static_cast<int>(got);
}

int seekCallback(void* source, opus_int64 offset, int whence)
{
    return static_cast<FileReader*>(source)->seek(offset, whence) < 0 ? -1 : 0;
}

opus_int64 tellCallback(void* source)
{
    return static_cast<FileReader*>(source)->tell();
}

class OpusSource final : public FrameSource
{
public:
    explicit OpusSource(std::unique_ptr<FileReader> file) : m_file(std::move(file)) {}
    ~OpusSource() override
    {
        if (m_opus)
            lib().op_free(m_opus);
    }
    OpusSource(const OpusSource&) = delete;
    OpusSource& operator=(const OpusSource&) = delete;

    bool open(std::string* why)
    {
        if (const int links = countOggLinks(*m_file); links > kMostOggLinks) {
            *why = "a chained stream of more than " + std::to_string(kMostOggLinks) + " links";
            return false;
        }
        const OpusFileCallbacks callbacks{readCallback, seekCallback, tellCallback, nullptr};
        int error = 0;
        m_opus = lib().op_open_callbacks(m_file.get(), &callbacks, nullptr, 0, &error);
        if (!m_opus) {
            *why = error == OP_ENOTFORMAT ? "not Ogg Opus" : "damaged or unreadable Ogg Opus";
            return false;
        }
        m_length = lib().op_pcm_total(m_opus, -1);
        if (lib().op_seekable(m_opus) == 0 || m_length < 0) {
            *why = "an Ogg Opus stream that cannot be sought";
            return false;
        }
        if (const OpusTags* tags = lib().op_tags(m_opus, 0)) {
            std::vector<std::string> comments;
            for (int i = 0; i < tags->comments; ++i)
                comments.emplace_back(tags->user_comments[i],
                                      static_cast<std::size_t>(tags->comment_lengths[i]));
            m_loop = loopFromComments(comments, m_length, kOpusRate, kOpusRate);
        }
        return true;
    }

    int rate() const override { return kOpusRate; }
    std::int64_t length() const override { return m_length; }
    std::optional<LoopSpan> loopMarks() const override { return m_loop; }

    int read(float* out, int frames) override
    {
        int done = 0;
        while (done < frames) {
            const int got = lib().op_read_float_stereo(
                m_opus, out + static_cast<std::ptrdiff_t>(done) * kChannels, (frames - done) * kChannels);
            if (got == OP_HOLE)
                continue; // a gap in the pages (a damaged stream): what follows still decodes
            if (got <= 0)
                break;
            done += got;
        }
        return done;
    }

    bool seek(std::int64_t frame) override { return lib().op_pcm_seek(m_opus, frame) == 0; }

private:
    std::unique_ptr<FileReader> m_file; // read by m_opus until it is freed
    OggOpusFile* m_opus = nullptr;
    std::int64_t m_length = 0;
    std::optional<LoopSpan> m_loop;
};

} // namespace

std::unique_ptr<FrameSource> openOpusSource(std::unique_ptr<FileReader> file, std::string* why)
{
    if (!opusFileCalls(why))
        return nullptr;
    auto source = std::make_unique<OpusSource>(std::move(file));
    if (!source->open(why))
        return nullptr;
    return source;
}

} // namespace qb::audio
