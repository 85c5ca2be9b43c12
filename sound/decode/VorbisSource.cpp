#include "Backends.h"
#include "ChainedParts.h"
#include "LoopComments.h"
#include "OggLinks.h"

#include <cerrno>
#include <vorbis/vorbisfile.h>

namespace qb::audio {

namespace {

std::size_t readCallback(void* out, std::size_t size, std::size_t count, void* source)
{
    auto* file = static_cast<FileReader*>(source);
    if (size == 0)
        return 0;
    const std::int64_t got = file->read(out, size * count);
    if (got < 0) {
        // libvorbisfile tells a failed read from the end by errno.
        if (errno == 0)
            errno = EIO;
        return 0;
    }
    return static_cast<std::size_t>(got) / size;
}

int seekCallback(void* source, ogg_int64_t offset, int whence)
{
    return static_cast<FileReader*>(source)->seek(offset, whence) < 0 ? -1 : 0;
}

long tellCallback(void* source)
{
    return static_cast<long>(static_cast<FileReader*>(source)->tell());
}

class VorbisSource final : public FrameSource
{
public:
    explicit VorbisSource(std::unique_ptr<FileReader> file) : m_file(std::move(file)) {}
    ~VorbisSource() override
    {
        if (m_open)
            ov_clear(&m_vorbis);
    }
    VorbisSource(const VorbisSource&) = delete;
    VorbisSource& operator=(const VorbisSource&) = delete;

    bool open(std::string* why)
    {
        if (const int links = countOggLinks(*m_file); links > kMostOggLinks) {
            *why = "a chained stream of more than " + std::to_string(kMostOggLinks) + " links";
            return false;
        }
        const ov_callbacks callbacks{readCallback, seekCallback, nullptr, tellCallback};
        const int error = ov_open_callbacks(m_file.get(), &m_vorbis, nullptr, 0, callbacks);
        if (error != 0) {
            *why = error == OV_ENOTVORBIS ? "not Ogg Vorbis" : "damaged or unreadable Ogg Vorbis";
            return false;
        }
        m_open = true;
        const long links = ov_streams(&m_vorbis);
        // Placed at the first frame explicitly: libvorbisfile (1.3.7) leaves a chained stream whose first
        // link's sound fits in one page at the start of the second link after the open.
        if (ov_seekable(&m_vorbis) == 0 || links < 1 || ov_pcm_seek(&m_vorbis, 0) != 0) {
            *why = "an Ogg Vorbis stream that cannot be sought";
            return false;
        }
        std::vector<ChainedParts::Part> parts;
        std::int64_t first = 0;
        for (int link = 0; link < links; ++link) {
            const vorbis_info* info = ov_info(&m_vorbis, link);
            const ogg_int64_t frames = ov_pcm_total(&m_vorbis, link);
            if (info == nullptr || info->channels < 1 || info->rate < 1000 || info->rate > 768000 ||
                frames < 0) {
                *why = "a link of the chain has no usable sound";
                return false;
            }
            parts.push_back({first, frames, static_cast<int>(info->rate), 0, 0});
            first += frames;
        }
        m_parts = std::make_unique<ChainedParts>(
            std::move(parts), [this](float* out, int frames, int* part) { return decode(out, frames, part); },
            [this](std::int64_t frame) { return ov_pcm_seek(&m_vorbis, frame) == 0; });
        if (const vorbis_comment* block = ov_comment(&m_vorbis, 0)) {
            std::vector<std::string> comments;
            for (int i = 0; i < block->comments; ++i)
                comments.emplace_back(block->user_comments[i],
                                      static_cast<std::size_t>(block->comment_lengths[i]));
            m_loop = loopFromComments(comments, m_parts->length(), m_parts->rate(), m_parts->rate());
        }
        return true;
    }

    int rate() const override { return m_parts->rate(); }
    std::int64_t length() const override { return m_parts->length(); }
    int read(float* out, int frames) override { return m_parts->read(out, frames); }
    bool seek(std::int64_t frame) override { return m_parts->seek(frame); }
    std::optional<LoopSpan> loopMarks() const override { return m_loop; }

private:
    int decode(float* out, int frames, int* part)
    {
        for (;;) {
            float** pcm = nullptr;
            int link = 0;
            const long got = ov_read_float(&m_vorbis, &pcm, frames, &link);
            if (got == OV_HOLE)
                continue; // a gap in the pages (a damaged stream): what follows still decodes
            if (got <= 0)
                return got == 0 ? 0 : -1;
            const vorbis_info* info = ov_info(&m_vorbis, link);
            const int channels = info ? info->channels : 1;
            // Vorbis orders three and five or more channels left, centre, right...; four as two pairs.
            const int right = channels == 1 ? 0 : (channels == 3 || channels >= 5) ? 2 : 1;
            for (long i = 0; i < got; ++i) {
                out[i * kChannels] = pcm[0][i];
                out[i * kChannels + 1] = pcm[right][i];
            }
            *part = link;
            return static_cast<int>(got);
        }
    }

    std::unique_ptr<FileReader> m_file; // read by m_vorbis until it is cleared
    OggVorbis_File m_vorbis{};
    bool m_open = false;
    std::unique_ptr<ChainedParts> m_parts;
    std::optional<LoopSpan> m_loop;
};

} // namespace

std::unique_ptr<FrameSource> openVorbisSource(std::unique_ptr<FileReader> file, std::string* why)
{
    auto source = std::make_unique<VorbisSource>(std::move(file));
    if (!source->open(why))
        return nullptr;
    return source;
}

} // namespace qb::audio
