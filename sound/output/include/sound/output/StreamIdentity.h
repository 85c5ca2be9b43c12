#pragma once

#include <cstdint>
#include <string>

namespace qb::audio {

// How the sound server shows the player's stream: which application it comes from, the icon to draw
// beside it and what kind of sound it is. Plain UTF-8 texts, as PulseAudio's property lists and SDL's
// hints take them.
struct StreamIdentity
{
    std::string appName = "Quillbeat";                      // application.name
    std::string appId = "io.github.quillbeat.Quillbeat";    // application.id, the desktop entry's name
    std::string iconName = "io.github.quillbeat.Quillbeat"; // application.icon_name, an icon-theme name
    std::string role = "music";                             // media.role
    std::string streamName = "Quillbeat";                   // media.name, the stream's own title
};

// Makes `identity` the one every output uses from now on: SDL's audio hints and PulseAudio's
// environment properties (PULSE_PROP_*) are set here, so call it on the main thread before the first
// output opens a device, and before any other thread reads the environment.
void setStreamIdentity(const StreamIdentity& identity);
// The identity last set (the defaults above until then). An output reads it when it opens a stream.
// Not to be called while setStreamIdentity() runs on another thread.
const StreamIdentity& streamIdentity();

// The title of what plays now (a MIDI file's title or the file's name; empty when nothing is open),
// for an output that can rename its stream while it runs (PulseAudio's media.name). SDL 2 names its
// stream once, from streamName, when it opens the device. Thread-safe.
void setStreamTitle(const std::string& title);
std::string streamTitle();
// How many times the title has been set: an output that plays on compares it, cheaply and without a
// lock, to take a new title while its stream runs on (a file handed over while one plays).
std::uint64_t streamTitleChanges();

} // namespace qb::audio
