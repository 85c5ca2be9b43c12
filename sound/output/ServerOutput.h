#pragma once

#include "sound/engine/AudioOutput.h"

#include <functional>

namespace qb::audio {

// An output on a sound server, which can go away under it (the server exits or restarts, the device is
// unplugged). Once lost, an output pulls no more and stays lost: a new one must be opened.
class ServerOutput : public AudioOutput
{
public:
    // Called at most once, on any thread (often the output's own), when the output finds itself lost.
    // Must not block and must not call back into the output. Set before start().
    void setLostHandler(std::function<void()> handler) { m_onLost = std::move(handler); }
    // Whether the stream is gone. Some losses are only seen by looking (no callback for a while), so
    // an owner polls this every lostPollMs() while the output is active; 0: the handler is enough.
    virtual bool lost() const = 0;
    virtual int lostPollMs() const { return 0; }

protected:
    void reportLost() const
    {
        if (m_onLost)
            m_onLost();
    }

private:
    std::function<void()> m_onLost;
};

} // namespace qb::audio
