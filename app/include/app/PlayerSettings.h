#pragma once

#include <QString>
#include <string>

namespace qb::platform {
class SettingsStore;
}

namespace qb::app {

// What the player reads of its settings file's [Settings] at each open, as the window and
// --show-loop both use it.

// SoundFont=: the SoundFont MIDI files play on, in the system's code page; empty: the default.
std::string soundFontSetting(const platform::SettingsStore& settings);
// LoopPoints=1: files play the loop points they mark.
bool loopPointsSetting(const platform::SettingsStore& settings);
// FindLoop=1: files that play no loop of their own have the loop they repeat looked for.
bool findLoopSetting(const platform::SettingsStore& settings);

} // namespace qb::app
