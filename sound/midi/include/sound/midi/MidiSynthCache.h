#pragma once

#include "sound/decode/Decoders.h"

#include <memory>
#include <mutex>
#include <string>
#include <thread>
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
    // Starts making a synthesiser for `soundFontPath` on a thread of its own, for an open that is about
    // to come while other work goes on (a start with a MIDI file starts its sound output meanwhile):
    // the next acquire() of the same font waits for it and lends it. One that cannot be made is not
    // kept, and that acquire() tries again, with the reason.
    void makeAhead(const std::string& soundFontPath);
    // Takes back a synthesiser whose borrower has cut all sound and released what it pinned.
    void release(std::unique_ptr<MidiSynth> synth);

    // Frees every idle synthesiser.
    void clear();

    ~MidiSynthCache();

private:
    static constexpr std::size_t kMaxIdle = 2;

    mutable std::mutex m_mutex;
    std::vector<std::unique_ptr<MidiSynth>> m_idle; // most recently returned last

    std::mutex m_aheadMutex; // over the two below, taken before m_mutex
    std::string m_aheadPath;
    std::thread m_ahead; // joined by the acquire() it is for, or on destruction
};

} // namespace qb::audio
