#include "Backends.h"
#include "Libraries.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <libopenmpt/libopenmpt.h>
#include <map>
#include <vector>

namespace qb::audio {

namespace {

// Modules are read whole into memory: the largest with their samples are tens of megabytes.
constexpr std::size_t kLargestModule = std::size_t{512} << 20;
// What is rendered to see that a module plays at all.
constexpr std::size_t kProbeFrames = 256;

// libopenmpt's calls, once a module has been recognised (isTrackerModule loads the library).
const OpenMptCalls& mpt()
{
    return *openMptCalls();
}

class TrackerDecoder final : public Decoder
{
public:
    explicit TrackerDecoder(openmpt_module* module) : m_module(module)
    {
        const double seconds = mpt().openmpt_module_get_duration_seconds(module);
        m_length.store(std::isfinite(seconds) && seconds > 0 ? std::llround(seconds * kEngineRate) : -1);
        if (const char* title = mpt().openmpt_module_get_metadata(module, "title")) {
            m_title = title;
            mpt().openmpt_free_string(title);
        }
    }
    ~TrackerDecoder() override { mpt().openmpt_module_destroy(m_module); }
    TrackerDecoder(const TrackerDecoder&) = delete;
    TrackerDecoder& operator=(const TrackerDecoder&) = delete;

    int read(float* out, int frames) override
    {
        int done = 0;
        int emptyReads = 0;
        while (done < frames) {
            const auto got = static_cast<int>(mpt().openmpt_module_read_interleaved_float_stereo(
                m_module, kEngineRate, static_cast<std::size_t>(frames - done),
                out + static_cast<std::ptrdiff_t>(done) * kChannels));
            // libopenmpt ends the song with a read of nothing (after a short one, or after one that
            // ended exactly there), and the read after it goes on at the restart position.
            if (got == 0) {
                if (++emptyReads > 1)
                    break; // nothing comes after the jump either: a module with nothing to play
                songEnded();
                continue;
            }
            emptyReads = 0;
            done += got;
            m_position += got;
            noteRow();
        }
        return done;
    }

    bool seek(std::int64_t frame) override
    {
        const std::int64_t to = foldPosition(std::max<std::int64_t>(frame, 0));
        // libopenmpt seeks to the start of a row, and between two rows to the later one: the place
        // asked for would be passed by up to a row (and a place in the last row would land on the end
        // of the song). Asked earlier and earlier until it lands at or before the place, the frames
        // from there on are rendered and dropped.
        double landed = 0;
        for (double back = 0;; back = back > 0 ? back * 2 : 0.05) {
            const double asked = std::max(static_cast<double>(to) / kEngineRate - back, 0.0);
            landed = mpt().openmpt_module_set_position_seconds(m_module, asked);
            if (asked == 0 || std::llround(landed * kEngineRate) <= to)
                break;
        }
        std::int64_t at = std::clamp<std::int64_t>(std::llround(landed * kEngineRate), 0, to);
        std::vector<float> scratch(std::size_t{1024} * kChannels);
        while (at < to) {
            const auto want = static_cast<std::size_t>(std::min<std::int64_t>(to - at, 1024));
            const std::size_t got = mpt().openmpt_module_read_interleaved_float_stereo(m_module, kEngineRate,
                                                                                       want, scratch.data());
            if (got == 0) {
                // The place lies past the end of a song whose end had not been met: it is met here,
                // and the decoder stands there, as at the end of a read.
                m_position = at;
                m_lastEnd = -1;
                songEnded();
                return true;
            }
            at += static_cast<std::int64_t>(got);
        }
        m_position = frame;
        m_lastEnd = -1;
        return true;
    }

    // Until the song first ends, its length is libopenmpt's estimate, which a render can outlast by a
    // few frames: the pass is at least as long as what has been played of it.
    std::int64_t lengthFrames() const override
    {
        const std::int64_t length = m_length.load();
        return m_ends == 0 && length >= 0 ? std::max(length, m_position) : length;
    }
    std::int64_t positionFrames() const override { return m_position; }
    std::string title() const override { return m_title; }

    std::int64_t foldPosition(std::int64_t frame) const override
    {
        const std::int64_t end = m_length.load();
        const std::int64_t start = m_loopStart.load();
        if (start < 0 || end <= start || frame < end)
            return frame;
        return start + (frame - start) % (end - start);
    }

private:
    // Where each row of the first pass first sounded (to the read that reached it), so that the restart
    // position can be placed in time when the song first ends.
    void noteRow()
    {
        if (m_ends > 0)
            return;
        const std::int64_t row = std::int64_t{mpt().openmpt_module_get_current_order(m_module)} << 32 |
                                 static_cast<std::uint32_t>(mpt().openmpt_module_get_current_row(m_module));
        m_rowsSeen.try_emplace(row, m_position);
    }

    // Called on the read that met the end of the song. The first end gives the exact length of a pass,
    // and where the restart position first sounded starts the part that repeats; the next end reached
    // by playing on, one repeat later, gives that start exactly (a seek between them says nothing of
    // how long a repeat is).
    void songEnded()
    {
        // An end before anything was played ends no pass (a damaged module that renders nothing).
        if (m_ends == 0 && m_position == 0)
            return;
        ++m_ends;
        if (m_ends == 1) {
            m_firstEnd = m_position;
            m_length.store(m_position);
            const std::int64_t row =
                std::int64_t{mpt().openmpt_module_get_current_order(m_module)} << 32 |
                static_cast<std::uint32_t>(mpt().openmpt_module_get_current_row(m_module));
            const auto seen = m_rowsSeen.find(row);
            // A row first seen at the end itself was seen after the jump (the read that meets the end
            // leaves the song at its restart position), not in the first pass. Unseen (a seek went
            // past it), the repeat is taken as the whole song until the next end tells.
            m_loopStart.store(seen != m_rowsSeen.end() && seen->second < m_position ? seen->second : 0);
            m_rowsSeen.clear();
        } else if (!m_loopExact && m_lastEnd >= 0) {
            const std::int64_t repeat = m_position - m_lastEnd;
            if (repeat > 0 && repeat <= m_firstEnd) {
                m_loopStart.store(m_firstEnd - repeat);
                m_loopExact = true;
            }
        }
        m_lastEnd = m_position;
    }

    openmpt_module* m_module;
    std::string m_title;
    std::int64_t m_position = 0; // frames handed out, counted on through the jumps
    int m_ends = 0;              // how often the song has ended since the open
    std::int64_t m_firstEnd = 0;
    std::int64_t m_lastEnd = -1;                     // where the song last ended, when no seek came since
    bool m_loopExact = false;                        // m_loopStart measured from one whole repeat
    std::map<std::int64_t, std::int64_t> m_rowsSeen; // (order << 32 | row) -> first frame, first pass
    // Set on the feeder thread when the song first ends, read by any thread (foldPosition).
    std::atomic<std::int64_t> m_length{-1};
    std::atomic<std::int64_t> m_loopStart{-1};
};

} // namespace

bool isTrackerModule(std::span<const unsigned char> head, std::uint64_t size)
{
    if (!openMptCalls())
        return false;
    int error = 0;
    const char* message = nullptr;
    const int result = mpt().openmpt_probe_file_header(OPENMPT_PROBE_FILE_HEADER_FLAGS_DEFAULT, head.data(),
                                                       head.size(), size, mpt().openmpt_log_func_silent,
                                                       nullptr, nullptr, nullptr, &error, &message);
    if (message != nullptr)
        mpt().openmpt_free_string(message);
    return result == OPENMPT_PROBE_FILE_HEADER_RESULT_SUCCESS;
}

OpenResult openTrackerDecoder(std::unique_ptr<FileReader> file)
{
    OpenResult result;
    if (std::string why; !openMptCalls(&why)) {
        result.error = OpenError::InvalidFile;
        result.message = file->path() + ": " + why;
        return result;
    }
    std::vector<unsigned char> bytes;
    std::string why;
    if (!file->readWhole(bytes, kLargestModule, &why)) {
        result.error = OpenError::InvalidFile;
        result.message = file->path() + ": " + why;
        return result;
    }
    // "continue": the read that meets the end of the song stops there, and the next goes on from the
    // song's restart position, so the jump is the composer's and the decoder still sees where it is.
    const openmpt_module_initial_ctl ctls[] = {
        {"play.at_end", "continue"}, {"seek.sync_samples", "1"}, {nullptr, nullptr}};
    int error = 0;
    const char* message = nullptr;
    openmpt_module* module =
        mpt().openmpt_module_create_from_memory2(bytes.data(), bytes.size(), mpt().openmpt_log_func_silent,
                                                 nullptr, nullptr, nullptr, &error, &message, ctls);
    if (module == nullptr) {
        result.error = error == OPENMPT_ERROR_OUT_OF_MEMORY ? OpenError::OutOfMemory : OpenError::InvalidFile;
        result.message = file->path() + ": " + (message != nullptr ? message : "libopenmpt cannot read it");
        if (message != nullptr)
            mpt().openmpt_free_string(message);
        return result;
    }
    if (message != nullptr)
        mpt().openmpt_free_string(message);
    // libopenmpt takes some damaged modules that render nothing from their start (and then, after a
    // seek, play on from somewhere): such a file has nothing to loop. Tried on a module of its own, so
    // that the one that plays starts as fresh as a straight render.
    openmpt_module* probe =
        mpt().openmpt_module_create_from_memory2(bytes.data(), bytes.size(), mpt().openmpt_log_func_silent,
                                                 nullptr, nullptr, nullptr, nullptr, nullptr, ctls);
    std::vector<float> block(std::size_t{kProbeFrames} * kChannels);
    const bool plays = probe != nullptr && mpt().openmpt_module_read_interleaved_float_stereo(
                                               probe, kEngineRate, kProbeFrames, block.data()) > 0;
    if (probe != nullptr)
        mpt().openmpt_module_destroy(probe);
    if (!plays) {
        mpt().openmpt_module_destroy(module);
        result.error = OpenError::InvalidFile;
        result.message = file->path() + ": the module renders nothing from its start";
        return result;
    }
    result.decoder = std::make_unique<TrackerDecoder>(module);
    return result;
}

} // namespace qb::audio
