#pragma once

#include "system/SettingsStore.h"

#include <QHash>
#include <QString>

namespace qb::test {

// Keeps settings in memory only; for tests of the parts that read and write settings.
class MemorySettingsStore : public platform::SettingsStore
{
public:
    QString GetSetting(const QString& app, const QString& section, const QString& key) const override;
    bool SaveSetting(const QString& app, const QString& section, const QString& key,
                     const QString& value) override;

    // When false, every SaveSetting fails and stores nothing.
    void setWritable(bool writable) { m_writable = writable; }
    int saveCount() const { return m_saveCount; }

private:
    static QString keyOf(const QString& app, const QString& section, const QString& key);

    QHash<QString, QString> m_values;
    bool m_writable = true;
    int m_saveCount = 0;
};

} // namespace qb::test
