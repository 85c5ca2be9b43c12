// The volume kept from one start to the next, apart from the media controls that keep it: a start
// with a file sets it before the window and the session's libraries are loaded.
#include "session/Mpris.h"
#include "system/SettingsStore.h"

#include <algorithm>
#include <cmath>

namespace qb::session {

namespace {

const QString kApp = QStringLiteral("Quillbeat");
const QString kSection = QStringLiteral("Settings");
const QString kVolumeKey = QStringLiteral("Volume");

} // namespace

double Mpris::keptVolume(const platform::SettingsStore& settings)
{
    bool stored = false;
    const double volume = settings.GetSetting(kApp, kSection, kVolumeKey).trimmed().toDouble(&stored);
    return stored && !std::isnan(volume) ? std::clamp(volume, 0.0, 1.0) : 1.0;
}

bool Mpris::keepVolume(platform::SettingsStore& settings, double volume)
{
    return settings.SaveSetting(kApp, kSection, kVolumeKey, QString::number(volume));
}

std::string Mpris::volumeCommand(double volume)
{
    return "setaudio midi volume to " + std::to_string(std::lround(volume * 1000.0));
}

} // namespace qb::session
