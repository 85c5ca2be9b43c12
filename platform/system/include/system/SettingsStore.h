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

// Keeps each application's settings through QSettings::IniFormat in the file QSettings uses in user
// scope: $XDG_CONFIG_HOME/<app>/<app>.ini (~/.config/Quillbeat/Quillbeat.ini for "Quillbeat"). A
// section and a key are one QSettings key "section/key", so '/' and '\\' in them nest groups.
//
// Saving rewrites the whole file in QSettings' INI dialect, so the comments and the order of a
// hand-edited file are not kept. The new file replaces the old one whole (QSaveFile), so a crash or a
// full disk midway leaves the old file as it was. It fails, writing nothing, when the file is not
// INI text: not UTF-8, control characters other than tab, CR, LF and DEL, or a line QSettings cannot parse
// (a '#' comment, for one). It also fails for a value QSettings would read back changed (one holding
// U+FEFF or a lone UTF-16 surrogate) and for one that would make the file too large to be read (see
// kMaxFileSize), leaving the value stored before. So every value that is saved reads back exactly.
//
// Only a regular file (a symbolic link is followed) of at most kMaxFileSize bytes is opened. Anything
// else at the path (a FIFO, a device, a folder, a larger file) reads as absent values and is never
// written. A file without write permission is read but never written, whoever runs the program. A
// save touches no other file: it leaves none beside the settings file and removes none. GUI thread
// only.
class QSettingsStore : public SettingsStore
{
public:
    QSettingsStore() = default;
    // Every application's settings go to the one INI file `filePath` instead.
    explicit QSettingsStore(QString filePath);

    QString GetSetting(const QString& app, const QString& section, const QString& key) const override;
    bool SaveSetting(const QString& app, const QString& section, const QString& key,
                     const QString& value) override;

    // The INI file that holds `app`'s settings. Does not touch the file.
    QString fileFor(const QString& app) const;

    // Far more than this program's settings take (a section and a line or two) even with a user's
    // notes. It bounds what a start reads and parses on the GUI thread, before the window shows, when
    // some other file (a log, a picture) stands at the settings path by mistake.
    static constexpr qint64 kMaxFileSize = 64 * 1024;

private:
    QString m_filePath;
};

} // namespace qb::platform
