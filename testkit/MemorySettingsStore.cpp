#include "testkit/MemorySettingsStore.h"

namespace qb::test {

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

} // namespace qb::test
