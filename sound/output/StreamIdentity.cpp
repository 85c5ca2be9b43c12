#include "sound/output/StreamIdentity.h"

#include <SDL.h>
#include <atomic>
#include <cstdlib>
#include <mutex>

namespace qb::audio {

namespace {

StreamIdentity& current()
{
    static StreamIdentity identity;
    return identity;
}

struct Title
{
    std::mutex mutex;
    std::string text;
    std::atomic<std::uint64_t> changes{0};
};

Title& title()
{
    static Title t;
    return t;
}

} // namespace

void setStreamIdentity(const StreamIdentity& identity)
{
    current() = identity;
    // SDL reads its hints when it opens the device; its PulseAudio backend turns them into the
    // stream's application name, media name and role.
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, identity.appName.c_str());
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, identity.streamName.c_str());
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_STREAM_ROLE, identity.role.c_str());
    // libpulse adds PULSE_PROP_<key> variables to every context's properties: the icon and the id
    // have no SDL hint. A value the user set already wins.
    ::setenv("PULSE_PROP_application.icon_name", identity.iconName.c_str(), 0);
    ::setenv("PULSE_PROP_application.id", identity.appId.c_str(), 0);
    ::setenv("PULSE_PROP_media.role", identity.role.c_str(), 0);
}

const StreamIdentity& streamIdentity()
{
    return current();
}

void setStreamTitle(const std::string& text)
{
    Title& t = title();
    const std::lock_guard lock(t.mutex);
    t.text = text;
    t.changes.fetch_add(1, std::memory_order_release);
}

std::uint64_t streamTitleChanges()
{
    return title().changes.load(std::memory_order_acquire);
}

std::string streamTitle()
{
    Title& t = title();
    const std::lock_guard lock(t.mutex);
    return t.text;
}

} // namespace qb::audio
