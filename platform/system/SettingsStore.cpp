#include "system/SettingsStore.h"

#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QVariant>
#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace qb::platform {
namespace {

enum class FileState
{
    Missing,
    Usable,
    Unusable
};

// QSettings opens the file by name: it waits for ever in open() on a FIFO, and a save replaces a FIFO,
// or a device behind a link (for root even /dev/zero), by a regular file. stat() follows a symbolic
// link, so a file kept elsewhere behind one is used.
FileState stateOf(const QString& path)
{
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return errno == ENOENT ? FileState::Missing : FileState::Unusable;
    return S_ISREG(st.st_mode) && st.st_size <= QSettingsStore::kMaxFileSize ? FileState::Usable
                                                                             : FileState::Unusable;
}

// UTF-8 without control characters other than tab, CR, LF and DEL. QSettings reads any bytes as some
// INI without complaint and would replace, say, a picture by the few "keys" it found there. DEL passes
// because QSettings writes it as it is (it escapes only the characters below U+0020): a value holding
// one must not make its own file unsavable.
bool isText(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8(file.read(QSettingsStore::kMaxFileSize));
    return !utf8.hasError() && std::none_of(text.begin(), text.end(), [](QChar c) {
        return c.unicode() < 0x20 && c != u'\t' && c != u'\r' && c != u'\n';
    });
}

// A file its owner made read-only stays as it is, also for root, whom the permission bits do not stop.
bool writable(const QString& path)
{
    struct stat st
    {
    };
    const QByteArray name = QFile::encodeName(path);
    if (::stat(name.constData(), &st) != 0)
        return true; // made anew
    return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 && ::access(name.constData(), W_OK) == 0;
}

// QSettings writes UTF-8, which has no form for a lone surrogate, and reads a U+FEFF back as nothing
// when it starts the value or follows a character written as an escape.
bool readsBackExactly(const QString& value)
{
    return value.isValidUtf16() && !value.contains(QChar(0xFEFF));
}

} // namespace

QSettingsStore::QSettingsStore(QString filePath) : m_filePath(std::move(filePath)) {}

QString QSettingsStore::fileFor(const QString& app) const
{
    if (!m_filePath.isEmpty())
        return m_filePath;
    // Where QSettings puts IniFormat settings in user scope. Asking a QSettings would read the file.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/') + app +
           QLatin1Char('/') + app + QLatin1String(".ini");
}

QString QSettingsStore::GetSetting(const QString& app, const QString& section, const QString& key) const
{
    const QString path = fileFor(app);
    if (stateOf(path) != FileState::Usable)
        return {};
    const QVariant value = QSettings(path, QSettings::IniFormat).value(section + QLatin1Char('/') + key);
    // Commas outside quotes make a hand-written value a list; the store deals in plain text.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}

bool QSettingsStore::SaveSetting(const QString& app, const QString& section, const QString& key,
                                 const QString& value)
{
    const QString path = fileFor(app);
    const FileState state = stateOf(path);
    if (!readsBackExactly(value) || state == FileState::Unusable ||
        (state == FileState::Usable && (!isText(path) || !writable(path))))
        return false;

    QSettings settings(path, QSettings::IniFormat);
    // QSettings parses a section when it is first used. allKeys() parses them all, so that a line it
    // cannot read anywhere, which saving would drop, shows as a FormatError before anything is written.
    settings.allKeys();
    if (settings.status() != QSettings::NoError)
        return false;
    const QString name = section + QLatin1Char('/') + key;
    const QVariant before = settings.value(name);
    settings.setValue(name, value);
    settings.sync();
    // QSettings writes through QSaveFile, whose temporary is nameless while it is written (O_TMPFILE)
    // and named only for the instant before the rename that replaces the file: nothing is left to
    // clear. And nothing beside the file, a user's "Quillbeat.ini.backup" for one, is ours to remove.
    if (settings.status() == QSettings::NoError && stateOf(path) == FileState::Usable)
        return true;
    // Take the change back. QSettings keeps what it read of a file for the rest of the process, with a
    // change it failed to write: later reads would return that value, and the next save would write it.
    if (before.isValid())
        settings.setValue(name, before);
    else
        settings.remove(name);
    settings.sync();
    return false;
}

} // namespace qb::platform
