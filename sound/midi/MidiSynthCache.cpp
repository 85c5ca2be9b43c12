#include "sound/midi/MidiSynthCache.h"

#include "MidiSynth.h"

#include <algorithm>
#include <system_error>

namespace qb::audio {

MidiSynthCache::MidiSynthCache() = default;

MidiSynthCache::~MidiSynthCache()
{
    const std::lock_guard lock(m_aheadMutex);
    if (m_ahead.joinable())
        m_ahead.join();
}

void MidiSynthCache::makeAhead(const std::string& soundFontPath)
{
    const std::lock_guard lock(m_aheadMutex);
    if (m_ahead.joinable())
        m_ahead.join();
    m_aheadPath = soundFontPath;
    try {
        m_ahead = std::thread([this, soundFontPath] {
            std::string why;
            release(MidiSynth::create(soundFontPath, &why));
        });
    } catch (const std::system_error&) {
        // No thread to be had: the open makes it, as without this.
    }
}

std::unique_ptr<MidiSynth> MidiSynthCache::acquire(const std::string& soundFontPath, std::string* why,
                                                   SoundFontProblem* problem)
{
    {
        const std::lock_guard lock(m_aheadMutex);
        if (m_ahead.joinable() && m_aheadPath == soundFontPath)
            m_ahead.join();
    }
    const std::string identity = MidiSynth::fileIdentity(soundFontPath);
    {
        std::lock_guard lock(m_mutex);
        // Samples are read from the file on demand, so a synthesiser whose file has gone or changed
        // cannot be used any more.
        std::erase_if(m_idle, [&](const std::unique_ptr<MidiSynth>& s) {
            return s->soundFontPath() == soundFontPath && s->soundFontIdentity() != identity;
        });
        for (auto it = m_idle.rbegin(); it != m_idle.rend(); ++it) {
            if ((*it)->soundFontPath() == soundFontPath) {
                std::unique_ptr<MidiSynth> synth = std::move(*it);
                m_idle.erase(std::next(it).base());
                return synth;
            }
        }
    }
    // Loaded outside the lock: it takes a while, and other opens need not wait for it.
    return MidiSynth::create(soundFontPath, why, problem);
}

void MidiSynthCache::release(std::unique_ptr<MidiSynth> synth)
{
    if (!synth)
        return;
    std::unique_ptr<MidiSynth> evicted;
    std::lock_guard lock(m_mutex);
    m_idle.push_back(std::move(synth));
    if (m_idle.size() > kMaxIdle) {
        evicted = std::move(m_idle.front());
        m_idle.erase(m_idle.begin());
    }
}

void MidiSynthCache::clear()
{
    std::vector<std::unique_ptr<MidiSynth>> idle;
    std::lock_guard lock(m_mutex);
    idle.swap(m_idle);
}

} // namespace qb::audio
