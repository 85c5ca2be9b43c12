#pragma once

#include "sound/decode/Decoders.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qb::audio {

class MidiSynth;

// Keeps loaded synthesisers between MIDI files, so that opening another file with the same SoundFont
// does not load it again. Each synthesiser is lent to one decoder at a time. Thread-safe.
class MidiSynthCache
{
public:
    MidiSynthCache();
    MidiSynthCache(const MidiSynthCache&) = delete;
    MidiSynthCache& operator=(const MidiSynthCache&) = delete;

    // An idle synthesiser with `soundFontPath` loaded, or a new one. Null, with a reason in `why` and
    // its kind in `problem`, when the SoundFont cannot be loaded (a cached one whose file has gone or
    // changed is dropped).
    std::unique_ptr<MidiSynth> acquire(const std::string& soundFontPath, std::string* why,
                                       SoundFontProblem* problem = nullptr);
    // Takes back a synthesiser whose borrower has cut all sound and released what it pinned.
    void release(std::unique_ptr<MidiSynth> synth);

    // Frees every idle synthesiser.
    void clear();

    ~MidiSynthCache();

private:
    static constexpr std::size_t kMaxIdle = 2;

    mutable std::mutex m_mutex;
    std::vector<std::unique_ptr<MidiSynth>> m_idle; // most recently returned last
};

} // namespace qb::audio
