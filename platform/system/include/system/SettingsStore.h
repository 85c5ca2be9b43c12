#pragma once

#include <QString>

namespace qb::platform {

// The per-user application settings store: text values addressed by application, section and key.
class SettingsStore
{
public:
    virtual ~SettingsStore() = default;

    // The stored text; the empty text when the application, section or key is absent.
    virtual QString GetSetting(const QString& app, const QString& section, const QString& key) const = 0;
    // Stores `value`. False when it could not be written; the other stored values are then unchanged.
    virtual bool SaveSetting(const QString& app, const QString& section, const QString& key,
                             const QString& value) = 0;
};

// Keeps each application's settings in an INI file in the user's XDG config location:
// $XDG_CONFIG_HOME/<app>/<app>.ini (~/.config/Quillbeat/Quillbeat.ini for "Quillbeat"), in the INI
// dialect QSettings reads and writes (sections and keys %-encoded, values quoted and escaped).
// Saving changes only the one line of the key (or adds it), so comments, blank lines and the order of
// a hand-edited file stay; the file is written to a temporary file beside it and renamed over it, so
// a crash midway leaves the old file. A file that is not INI text (not UTF-8, control characters, a
// line that is neither blank, a comment, a [section] nor key=value) is never rewritten: SaveSetting
// fails and leaves it as it is. Reading passes over lines that do not parse. GUI thread only.
class QSettingsStore : public SettingsStore
{
public:
    QSettingsStore() = default;
    // Every application's settings go to the one INI file `filePath` instead.
    explicit QSettingsStore(QString filePath);

    QString GetSetting(const QString& app, const QString& section, const QString& key) const override;
    bool SaveSetting(const QString& app, const QString& section, const QString& key,
                     const QString& value) override;

    // The INI file that holds `app`'s settings.
    QString fileFor(const QString& app) const;

private:
    QString m_filePath;
};

} // namespace qb::platform
