#include "app/PlayerSettings.h"

#include "system/CodePage.h"
#include "system/SettingsStore.h"

namespace qb::app {

namespace {

QString setting(const platform::SettingsStore& settings, const QString& key)
{
    return settings.GetSetting(QStringLiteral("Quillbeat"), QStringLiteral("Settings"), key).trimmed();
}

} // namespace

std::string soundFontSetting(const platform::SettingsStore& settings)
{
    return platform::toAnsi(setting(settings, QStringLiteral("SoundFont")));
}

bool loopPointsSetting(const platform::SettingsStore& settings)
{
    return setting(settings, QStringLiteral("LoopPoints")) == QLatin1String("1");
}

bool findLoopSetting(const platform::SettingsStore& settings)
{
    return setting(settings, QStringLiteral("FindLoop")) == QLatin1String("1");
}

} // namespace qb::app
