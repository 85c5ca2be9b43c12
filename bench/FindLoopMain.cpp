// Finding the loop of real recordings, and what it costs.
//
//   qb_bench_find_loop arrange <render.wav> <out.wav> <intro s> <section s> <fade s>
//       arranges a recording as game music is kept: its first <intro s>, then the <section s> after
//       them twice, then the start of a third pass fading out over <fade s>; 16-bit WAVE. Prints the
//       loop the file repeats (truth_start, truth_end): from the first frame from which the samples
//       repeat, which is the introduction's end unless its last frames equal the section's.
//   qb_bench_find_loop find <file> <lossless|lossy> <prefix> [<truth start> <truth end> [<original>]]
//       finds the loop of <file> read through the player's own decoders (WAVE, FLAC, MP3 at 44.1 kHz),
//       libvorbisfile (Ogg Vorbis: libsndfile 1.2's Vorbis seeks can land a block off) or libopusfile
//       (Opus, at its own 48 kHz, the truth scaled to it), and prints the
//       loop, its error against the truth, the level of the difference across the jump (the finder's
//       and one measured here from the file), the CPU time of the search (reads and decoding
//       included) and of one plain decode of the file, and the private memory (USS) before the search
//       and at its peak, sampled every 2 ms from /proc/self/smaps_rollup by a thread of its own. With
//       the lossless <original> of a lossy file, also the level of the coder's own noise after the
//       jump, the least difference the jump could have.
//   qb_bench_find_loop midi <file.mid> <prefix>
//       the loop of a Standard MIDI File's events (findMidiLoop): the ticks, the events compared and
//       the CPU time.
#include "ProcessFigures.h"
#include "sound/decode/Decoders.h"
#include "sound/loopfind/LoopFinder.h"
#include "sound/loopfind/MidiLoopFinder.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <opusfile.h>
#include <sndfile.h>
#include <string>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>
#include <vorbis/vorbisfile.h>

using namespace qb;

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: qb_bench_find_loop arrange <render.wav> <out.wav> <intro s> <section s> <fade s>\n"
                 "       qb_bench_find_loop find <file> <lossless|lossy> <prefix> [<truth start> <truth end> "
                 "[<lossless original>]]\n");
    return 2;
}

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

bool endsWith(const std::string& s, const char* suffix)
{
    const std::string tail(suffix);
    return s.size() >= tail.size() && std::equal(tail.rbegin(), tail.rend(), s.rbegin(),
                                                 [](char a, char b) { return std::tolower(a) == b; });
}

std::unique_ptr<audio::Decoder> openDecoder(const std::string& path)
{
    return audio::openDecoder(path).decoder;
}

// A reader that counts what its reads cost.
class CountingReader : public loopfind::FrameReader
{
public:
    std::int64_t read(std::int64_t first, float* out, std::int64_t count) final
    {
        const double before = threadCpuSeconds();
        const std::int64_t done = readFrames(first, out, count);
        readSeconds += threadCpuSeconds() - before;
        framesRead += std::max<std::int64_t>(done, 0);
        ++reads;
        return done;
    }
    virtual bool ok() const = 0;
    // Reads [from, from + count) into `out`, or as much as there is.
    bool readAt(std::int64_t from, std::int64_t count, std::vector<float>& out)
    {
        out.assign(std::size_t(count) * 2, 0.0f);
        return readFrames(from, out.data(), count) == count;
    }

    double readSeconds = 0;
    std::int64_t framesRead = 0;
    int reads = 0;

protected:
    virtual std::int64_t readFrames(std::int64_t first, float* out, std::int64_t count) = 0;
};

// The player's decoder as the finder's reader: a seek wherever the finder reads out of order.
class DecoderReader : public CountingReader
{
public:
    explicit DecoderReader(const std::string& path) : m_decoder(openDecoder(path)) {}
    bool ok() const override { return m_decoder && m_decoder->lengthFrames() > 0; }
    int sampleRate() const override { return audio::kEngineRate; }
    std::int64_t lengthFrames() const override { return m_decoder->lengthFrames(); }

protected:
    std::int64_t readFrames(std::int64_t first, float* out, std::int64_t count) override
    {
        if (first != m_decoder->positionFrames() && !m_decoder->seek(first))
            return -1;
        std::int64_t done = 0;
        while (done < count) {
            const int want = int(std::min<std::int64_t>(count - done, 1 << 16));
            const int got = m_decoder->read(out + done * 2, want);
            done += got;
            if (got < want)
                break;
        }
        return done;
    }

private:
    std::unique_ptr<audio::Decoder> m_decoder;
};

// Ogg Vorbis through libvorbisfile, whose seeks are exact.
class VorbisReader : public CountingReader
{
public:
    explicit VorbisReader(const std::string& path)
    {
        m_open = ov_fopen(path.c_str(), &m_file) == 0 && ov_info(&m_file, -1)->channels == 2;
    }
    ~VorbisReader() override { ov_clear(&m_file); }
    bool ok() const override { return m_open; }
    int sampleRate() const override { return int(ov_info(const_cast<OggVorbis_File*>(&m_file), -1)->rate); }
    std::int64_t lengthFrames() const override
    {
        return ov_pcm_total(const_cast<OggVorbis_File*>(&m_file), -1);
    }

protected:
    std::int64_t readFrames(std::int64_t first, float* out, std::int64_t count) override
    {
        if (ov_pcm_tell(&m_file) != first && ov_pcm_seek(&m_file, first) != 0)
            return -1;
        std::int64_t done = 0;
        while (done < count) {
            float** pcm = nullptr;
            int section = 0;
            const long got =
                ov_read_float(&m_file, &pcm, int(std::min<std::int64_t>(count - done, 4096)), &section);
            if (got < 0)
                return -1;
            if (got == 0)
                break;
            for (long i = 0; i < got; ++i) {
                out[(done + i) * 2] = pcm[0][i];
                out[(done + i) * 2 + 1] = pcm[1][i];
            }
            done += got;
        }
        return done;
    }

private:
    OggVorbis_File m_file{};
    bool m_open = false;
};

// Opus through libopusfile at its own 48 kHz.
class OpusReader : public CountingReader
{
public:
    explicit OpusReader(const std::string& path) : m_file(op_open_file(path.c_str(), nullptr)) {}
    ~OpusReader() override
    {
        if (m_file)
            op_free(m_file);
    }
    bool ok() const override { return m_file; }
    int sampleRate() const override { return 48000; }
    std::int64_t lengthFrames() const override { return op_pcm_total(m_file, -1); }

protected:
    std::int64_t readFrames(std::int64_t first, float* out, std::int64_t count) override
    {
        if (op_pcm_tell(m_file) != first && op_pcm_seek(m_file, first) != 0)
            return -1;
        std::int64_t done = 0;
        while (done < count) {
            const int want = int(std::min<std::int64_t>(count - done, 5760));
            const int got = op_read_float_stereo(m_file, out + done * 2, want * 2);
            if (got < 0)
                return -1;
            if (got == 0)
                break;
            done += got;
        }
        return done;
    }

private:
    OggOpusFile* m_file;
};

std::unique_ptr<CountingReader> openReader(const std::string& path)
{
    if (endsWith(path, ".ogg"))
        return std::make_unique<VorbisReader>(path);
    if (endsWith(path, ".opus"))
        return std::make_unique<OpusReader>(path);
    return std::make_unique<DecoderReader>(path);
}

int arrange(const char* renderPath, const char* outPath, double introS, double sectionS, double fadeS)
{
    SF_INFO info{};
    SNDFILE* in = sf_open(renderPath, SFM_READ, &info);
    if (!in || info.channels != 2)
        return std::fprintf(stderr, "cannot read %s as stereo\n", renderPath), 1;
    std::vector<short> render(std::size_t(info.frames) * 2);
    const sf_count_t got = sf_readf_short(in, render.data(), info.frames);
    sf_close(in);
    const auto intro = std::int64_t(std::llround(introS * info.samplerate));
    const auto section = std::int64_t(std::llround(sectionS * info.samplerate));
    const auto fade = std::int64_t(std::llround(fadeS * info.samplerate));
    if (got < intro + section + fade)
        return std::fprintf(stderr, "%s is %.1f s long, too short for the arrangement\n", renderPath,
                            double(got) / info.samplerate),
               1;
    std::vector<short> out(render.begin(), render.begin() + (intro + section) * 2);
    out.insert(out.end(), render.begin() + intro * 2, render.begin() + (intro + section) * 2);
    for (std::int64_t i = 0; i < fade; ++i)
        for (int ch = 0; ch < 2; ++ch)
            out.push_back(short(
                std::lround(render[std::size_t((intro + i) * 2 + ch)] * double(fade - i) / double(fade))));
    SF_INFO outInfo{};
    outInfo.samplerate = info.samplerate;
    outInfo.channels = 2;
    outInfo.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(outPath, SFM_WRITE, &outInfo);
    const auto frames = sf_count_t(out.size() / 2);
    if (!file || sf_writef_short(file, out.data(), frames) != frames || sf_close(file) != 0)
        return std::fprintf(stderr, "cannot write %s\n", outPath), 1;
    // Where the samples start to repeat: back from the introduction's end while they are equal.
    std::int64_t start = intro;
    while (start > 0 && out[std::size_t((start - 1) * 2)] == out[std::size_t((start - 1 + section) * 2)] &&
           out[std::size_t((start - 1) * 2 + 1)] == out[std::size_t((start - 1 + section) * 2 + 1)])
        --start;
    std::printf("truth_start=%lld\ntruth_end=%lld\nseconds=%.1f\n", static_cast<long long>(start),
                static_cast<long long>(start + section), double(frames) / info.samplerate);
    return 0;
}

const char* outcomeName(loopfind::Outcome outcome)
{
    switch (outcome) {
    case loopfind::Outcome::Found:
        return "found";
    case loopfind::Outcome::None:
        return "none";
    case loopfind::Outcome::TooShort:
        return "too-short";
    case loopfind::Outcome::TooLong:
        return "too-long";
    case loopfind::Outcome::Cancelled:
        return "cancelled";
    case loopfind::Outcome::Failed:
        return "failed";
    }
    return "?";
}

// The level of what the jump from `end` to `start` puts in place of the file's own sound, over the
// second after it, read by a reader of its own.
double measuredJumpDb(const std::string& path, std::int64_t start, std::int64_t end)
{
    auto reader = openReader(path);
    const std::int64_t frames = std::min<std::int64_t>(reader->sampleRate(), reader->lengthFrames() - end);
    std::vector<float> a, b;
    if (!reader->ok() || frames <= 0 || !reader->readAt(start, frames, a) || !reader->readAt(end, frames, b))
        return NAN;
    double difference = 0, music = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
        music += double(b[i]) * b[i];
    }
    return difference == 0 ? -INFINITY : 10 * std::log10(difference / music);
}

// The level of the coder's own noise after the jump: the decoded file against the lossless file it
// was made from, over the same second. The jump cannot agree better than the two passes' noise.
double coderNoiseDb(const std::string& path, const std::string& reference, std::int64_t end)
{
    auto coded = openReader(path);
    auto original = openReader(reference);
    if (!coded->ok() || !original->ok())
        return NAN;
    const double scale = double(original->sampleRate()) / coded->sampleRate();
    const auto at = std::int64_t(std::llround(double(end) * scale));
    const std::int64_t frames = std::min<std::int64_t>(original->sampleRate(), original->lengthFrames() - at);
    std::vector<float> a, b;
    if (coded->sampleRate() != original->sampleRate() || frames <= 0 || !coded->readAt(end, frames, a) ||
        !original->readAt(at, frames, b))
        return NAN;
    double difference = 0, music = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
        music += double(b[i]) * b[i];
    }
    return 10 * std::log10(difference / music);
}

int find(const std::string& path, bool lossless, const char* prefix, long long truthStart, long long truthEnd,
         const std::string& reference)
{
    auto reader = openReader(path);
    if (!reader->ok())
        return std::fprintf(stderr, "cannot open %s\n", path.c_str()), 1;
    const std::int64_t length = reader->lengthFrames();
    const int rate = reader->sampleRate();
    // The truth is in frames at 44.1 kHz, the rate the corpus was arranged at.
    const double scale = rate / 44100.0;

    // One plain decode of the whole file, for what reading alone costs.
    {
        std::vector<float> buffer(std::size_t(rate) * 2);
        for (std::int64_t at = 0; at < length; at += rate)
            reader->read(at, buffer.data(), std::min<std::int64_t>(rate, length - at));
        std::printf("%s.decode_cpu_s=%.3f\n", prefix, reader->readSeconds);
        reader->readSeconds = 0;
        reader->framesRead = 0;
        reader->reads = 0;
    }

    // The baseline: the reader open and warm, nothing of the search yet.
    const bench::MemorySample base = bench::sampleMemory(getpid());
    std::atomic<bool> done{false};
    std::atomic<std::int64_t> peakKb{base.ussKb};
    std::thread sampler([&] {
        while (!done.load()) {
            const bench::MemorySample m = bench::sampleMemory(getpid());
            if (m.ok && m.ussKb > peakKb.load())
                peakKb = m.ussKb;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    loopfind::Options options;
    options.fidelity = lossless ? loopfind::Fidelity::Lossless : loopfind::Fidelity::Lossy;
    const double before = threadCpuSeconds();
    const loopfind::Result result = loopfind::findLoop(*reader, options);
    const double cpu = threadCpuSeconds() - before;
    const bench::MemorySample after = bench::sampleMemory(getpid());
    done = true;
    sampler.join();
    const std::int64_t peak = std::max(peakKb.load(), after.ussKb);

    std::printf("%s.rate=%d\n%s.seconds=%.1f\n", prefix, rate, prefix, double(length) / rate);
    std::printf("%s.outcome=%s\n", prefix, outcomeName(result.outcome));
    std::printf("%s.cpu_s=%.3f\n%s.read_cpu_s=%.3f\n%s.read_s_of_audio=%.1f\n%s.reads=%d\n", prefix, cpu,
                prefix, reader->readSeconds, prefix, double(reader->framesRead) / rate, prefix,
                reader->reads);
    std::printf("%s.uss_base_mb=%.1f\n%s.uss_peak_mb=%.1f\n%s.uss_extra_mb=%.1f\n", prefix,
                double(base.ussKb) / 1024, prefix, double(peak) / 1024, prefix,
                double(peak - base.ussKb) / 1024);
    if (result.loop) {
        const loopfind::FoundLoop& loop = *result.loop;
        std::printf("%s.start=%lld\n%s.end=%lld\n%s.jump_db=%.1f\n%s.exact=%d\n%s.repeat_s=%.1f\n", prefix,
                    static_cast<long long>(loop.start), prefix, static_cast<long long>(loop.end), prefix,
                    loop.jumpDifferenceDb, prefix, loop.exact ? 1 : 0, prefix, loop.repeatSeconds);
        std::printf("%s.jump_db_measured=%.1f\n", prefix, measuredJumpDb(path, loop.start, loop.end));
        if (!reference.empty())
            std::printf("%s.coder_noise_db=%.1f\n", prefix, coderNoiseDb(path, reference, loop.end));
        if (truthEnd > 0) {
            const double errorStart = double(loop.start) - double(truthStart) * scale;
            const double errorEnd = double(loop.end) - double(truthEnd) * scale;
            std::printf("%s.error_start=%.1f\n%s.error_end=%.1f\n%s.error_ms=%.3f\n", prefix, errorStart,
                        prefix, errorEnd, prefix,
                        1000 * std::max(std::abs(errorStart), std::abs(errorEnd)) / rate);
        }
    }
    std::fflush(stdout);
    return 0;
}

// The tracks of a Standard MIDI File as (tick, event bytes), running status resolved. Empty when the
// file is not one; a damaged track keeps what was read before the damage.
std::vector<std::vector<loopfind::MidiTrackEvent>> readMidiTracks(const std::string& path, int& division)
{
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    const auto be = [&](std::size_t at, int n) {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i)
            v = (v << 8) | bytes[at + std::size_t(i)];
        return v;
    };
    std::vector<std::vector<loopfind::MidiTrackEvent>> tracks;
    if (bytes.size() < 14 || std::string(bytes.begin(), bytes.begin() + 4) != "MThd")
        return tracks;
    division = int(be(12, 2));
    for (std::size_t at = 8 + be(4, 4); at + 8 <= bytes.size();) {
        const std::size_t end = std::min<std::size_t>(bytes.size(), at + 8 + be(at + 4, 4));
        const bool track =
            std::string(bytes.begin() + std::ptrdiff_t(at), bytes.begin() + std::ptrdiff_t(at) + 4) == "MTrk";
        std::size_t p = at + 8;
        at = end;
        if (!track)
            continue;
        std::vector<loopfind::MidiTrackEvent> events;
        std::uint32_t tick = 0;
        std::uint8_t running = 0;
        const auto varLen = [&](std::uint32_t& v) {
            v = 0;
            for (int i = 0; i < 4 && p < end; ++i) {
                v = (v << 7) | (bytes[p] & 0x7F);
                if (!(bytes[p++] & 0x80))
                    return true;
            }
            return false;
        };
        std::uint32_t delta = 0;
        while (p < end && varLen(delta)) {
            tick += delta;
            if (p >= end)
                break;
            std::uint8_t status = bytes[p];
            const std::size_t first = p;
            std::vector<std::uint8_t> event;
            if (status == 0xFF || status == 0xF0 || status == 0xF7) {
                ++p;
                if (status == 0xFF)
                    ++p;
                std::uint32_t length = 0;
                if (!varLen(length) || p + length > end)
                    break;
                p += length;
                event.assign(bytes.begin() + std::ptrdiff_t(first), bytes.begin() + std::ptrdiff_t(p));
            } else {
                if (status & 0x80)
                    ++p;
                else
                    status = running;
                if (!(status & 0x80))
                    break;
                running = status;
                const std::size_t data = (status & 0xE0) == 0xC0 ? 1 : 2;
                if (p + data > end)
                    break;
                event.push_back(status);
                event.insert(event.end(), bytes.begin() + std::ptrdiff_t(p),
                             bytes.begin() + std::ptrdiff_t(p + data));
                p += data;
            }
            events.push_back({tick, std::move(event)});
        }
        tracks.push_back(std::move(events));
    }
    return tracks;
}

int findMidi(const std::string& path, const char* prefix)
{
    int division = 0;
    const auto tracks = readMidiTracks(path, division);
    if (tracks.empty())
        return std::fprintf(stderr, "cannot read %s as MIDI\n", path.c_str()), 1;
    std::size_t events = 0;
    std::uint32_t last = 0;
    for (const auto& t : tracks) {
        events += t.size();
        if (!t.empty())
            last = std::max(last, t.back().tick);
    }
    const double before = threadCpuSeconds();
    const auto loop = loopfind::findMidiLoop(tracks);
    const double cpu = threadCpuSeconds() - before;
    std::printf("%s.division=%d\n%s.events=%zu\n%s.ticks=%u\n%s.cpu_s=%.3f\n%s.outcome=%s\n", prefix,
                division, prefix, events, prefix, last, prefix, cpu, prefix, loop ? "found" : "none");
    if (loop)
        std::printf("%s.start=%u\n%s.end=%u\n%s.repeat_ticks=%u\n", prefix, loop->start, prefix, loop->end,
                    prefix, loop->repeatTicks);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "arrange" && argc == 7)
        return arrange(argv[2], argv[3], std::atof(argv[4]), std::atof(argv[5]), std::atof(argv[6]));
    if (mode == "find" && argc >= 5 && argc <= 8) {
        const std::string kind = argv[3];
        if (kind != "lossless" && kind != "lossy")
            return usage();
        return find(argv[2], kind == "lossless", argv[4], argc >= 7 ? std::atoll(argv[5]) : 0,
                    argc >= 7 ? std::atoll(argv[6]) : 0, argc == 8 ? argv[7] : "");
    }
    if (mode == "midi" && argc == 4)
        return findMidi(argv[2], argv[3]);
    return usage();
}
