#pragma once

#include <QString>
#include <cstdint>
#include <utility>
#include <vector>

namespace qb::test {

// Follows a recording of a file played in a loop and reports, at every boundary between passes, how
// many frames were inserted (silence or anything that is not the file) and how many frames of the file
// were dropped. The reference is one pass exactly as the decoder produces it; with a deterministic
// decoder and a single device the recording holds those very samples, so the analyser compares
// exactly (or within `tolerance`). Works on the fly: feed() the recording in pieces of any size.
//
// Frames before the first recognised frame are the constant offset (output latency, silence before
// play), not insertions. The reference must not be mostly silent: frames are recognised by their values.
class AudioSeamAnalyser
{
public:
    struct Event
    {
        std::int64_t captureFrame = 0; // where the recording stops following the file
        std::int64_t inserted = 0;     // recorded frames that are not the file
        std::int64_t dropped = 0;      // frames of the file that never came
        bool atSeam = false;           // at a boundary between passes (else inside a pass)
    };
    struct Report
    {
        bool locked = false;             // the file was found in the recording at all
        std::int64_t offset = 0;         // recording frames before the first pass started
        std::int64_t firstFrame = 0;     // the file's frame that the recording first matched (0 normally)
        std::vector<std::int64_t> seams; // recording frame where each further pass starts
        std::vector<Event> events;
        std::int64_t insertedAtSeams = 0;
        std::int64_t droppedAtSeams = 0;
        std::int64_t insertedInPasses = 0;
        std::int64_t droppedInPasses = 0;
        std::int64_t unmatchedTail = 0; // recording frames at the end that match nothing (yet)
        std::int64_t framesAnalysed = 0;

        // Largest insertion and drop at a single seam.
        std::pair<std::int64_t, std::int64_t> worstSeam() const;
        QString summary() const;
    };

    // `reference`: one pass, interleaved stereo.
    explicit AudioSeamAnalyser(std::vector<float> reference, float tolerance = 0.0f);

    void feed(const float* interleaved, std::int64_t frames);
    void feed(const std::vector<float>& interleaved)
    {
        feed(interleaved.data(), static_cast<std::int64_t>(interleaved.size() / 2));
    }
    // The report so far; frames still being searched count as the unmatched tail.
    Report report() const;

    static Report analyse(const std::vector<float>& recording, const std::vector<float>& reference,
                          float tolerance = 0.0f);

private:
    bool same(const float* a, std::int64_t refFrame) const;
    // Looks for the reference at pending frame `at`; returns its reference frame or -1.
    std::int64_t recognise(std::int64_t at) const;
    void search();
    void lockAt(std::int64_t pendingIndex, std::int64_t refFrame);
    void step(const float* frame);

    std::vector<float> m_ref;
    std::int64_t m_length;
    float m_tolerance;
    std::vector<std::pair<std::uint64_t, std::int64_t>> m_index; // frame key -> reference frame, sorted

    Report m_report;
    bool m_locked = false;
    std::int64_t m_expected = 0; // the reference frame the next recorded frame should be
    std::int64_t m_position = 0; // recording frames consumed into the lock/search so far
    bool m_wrapped = false;      // the last matched frame ended a pass
    // Searching: recording frames from m_pendingStart on, not yet explained.
    std::vector<float> m_pending;
    std::int64_t m_pendingStart = 0;
    std::int64_t m_scan = 0;   // next pending index to try
    std::int64_t m_lostAt = 0; // recording frame where the lock was lost
};

} // namespace qb::test
