#include "system/SettingsStore.h"

#include <QSettings>
#include <QStringList>
#include <QVariant>
#include <utility>

namespace qb::platform {
namespace {

QString settingKey(const QString& section, const QString& key)
{
    return section + QLatin1Char('/') + key;
}

// A value edited by hand with a comma in it comes back from the INI reader as a list; the store
// deals in plain text, so give it back as it was written.
QString asText(const QVariant& value)
{
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}

} // namespace

QSettingsStore::QSettingsStore(QString filePath) : m_filePath(std::move(filePath)) {}

QString QSettingsStore::fileFor(const QString& app) const
{
    if (!m_filePath.isEmpty())
        return m_filePath;
    return QSettings(QSettings::IniFormat, QSettings::UserScope, app, app).fileName();
}

QString QSettingsStore::GetSetting(const QString& app, const QString& section, const QString& key) const
{
    const QSettings settings(fileFor(app), QSettings::IniFormat);
    return asText(settings.value(settingKey(section, key)));
}

bool QSettingsStore::SaveSetting(const QString& app, const QString& section, const QString& key,
                                 const QString& value)
{
    QSettings settings(fileFor(app), QSettings::IniFormat);
    // Rewriting a file the reader could not understand would throw away whatever it holds.
    if (settings.status() == QSettings::FormatError)
        return false;

    const QString name = settingKey(section, key);
    const QVariant previous = settings.value(name);
    settings.setValue(name, value);
    settings.sync();
    if (settings.status() == QSettings::NoError)
        return true;

    // QSettings writes through a temporary file and a rename, so the file on disk is untouched. Its
    // in-memory copy is shared with later QSettings objects on the same file, though: take the failed
    // value back out, so that reads keep reporting what is really stored.
    if (previous.isValid())
        settings.setValue(name, previous);
    else
        settings.remove(name);
    return false;
}

QString MemorySettingsStore::keyOf(const QString& app, const QString& section, const QString& key)
{
    return app + QChar(0) + section + QChar(0) + key;
}

QString MemorySettingsStore::GetSetting(const QString& app, const QString& section, const QString& key) const
{
    return m_values.value(keyOf(app, section, key));
}

bool MemorySettingsStore::SaveSetting(const QString& app, const QString& section, const QString& key,
                                      const QString& value)
{
    ++m_saveCount;
    if (!m_writable)
        return false;
    m_values.insert(keyOf(app, section, key), value);
    return true;
}

} // namespace qb::platform
