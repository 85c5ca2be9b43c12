#include "system/SettingsStore.h"

#include "posix/UniqueFd.h"
#include "system/CodePage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringDecoder>
#include <QStringList>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace qb::platform {
namespace {

// The settings file as lines. The file is read and written here rather than through QSettings, which
// turns any bytes into some INI (so a garbled file would be "repaired" into garbage) and drops the
// comments a user wrote whenever it saves.
struct IniFile
{
    QStringList lines; // without their line ends
    bool crlf = false; // lines end in CR LF
    bool valid = true; // every line is blank, a comment, a [section] or key=value
};

enum class LineKind
{
    Blank,
    Comment,
    Section,
    Entry,
    Invalid
};

LineKind kindOf(const QString& line)
{
    const QString t = line.trimmed();
    if (t.isEmpty())
        return LineKind::Blank;
    if (t.startsWith(QLatin1Char(';')) || t.startsWith(QLatin1Char('#')))
        return LineKind::Comment;
    if (t.startsWith(QLatin1Char('[')) && t.endsWith(QLatin1Char(']')) && t.size() >= 2)
        return LineKind::Section;
    const qsizetype eq = t.indexOf(QLatin1Char('='));
    if (eq > 0)
        return LineKind::Entry;
    return LineKind::Invalid;
}

// Text means UTF-8 without control characters other than tab, CR and LF.
bool isText(const QString& text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\t' && u != u'\r' && u != u'\n') || u == 0x7F)
            return false;
    }
    return true;
}

// None when the file exists but cannot be read.
std::optional<IniFile> readIni(const QString& path)
{
    IniFile ini;
    QFile file(path);
    if (!file.exists())
        return ini;
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder(bytes);
    ini.valid = !decoder.hasError() && isText(text);
    ini.crlf = bytes.contains("\r\n");
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    if (!text.isEmpty())
        ini.lines = text.split(QLatin1Char('\n'));
    for (QString& line : ini.lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (kindOf(line) == LineKind::Invalid)
            ini.valid = false;
    }
    return ini;
}

// Section and key names as QSettings writes them: letters, digits, '-', '_' and '.' as they are,
// other ASCII as %XX, the rest as %UXXXX. "General" is the top level to QSettings, so a section of
// that name is written "%General".
QString encodeName(const QString& name)
{
    if (name == QLatin1String("General"))
        return QStringLiteral("%General");
    QString out;
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-' ||
            u == '_' || u == '.')
            out += c;
        else if (u < 0x80)
            out += QStringLiteral("%%1").arg(static_cast<unsigned>(u), 2, 16, QLatin1Char('0')).toUpper();
        else
            out += QStringLiteral("%U%1").arg(static_cast<unsigned>(u), 4, 16, QLatin1Char('0')).toUpper();
    }
    return out;
}

QString decodeName(const QString& encoded)
{
    if (encoded == QLatin1String("%General"))
        return QStringLiteral("General");
    QString out;
    for (qsizetype i = 0; i < encoded.size(); ++i) {
        const QChar c = encoded.at(i);
        if (c != QLatin1Char('%')) {
            out += c;
            continue;
        }
        bool ok = false;
        if (i + 5 < encoded.size() && encoded.at(i + 1) == QLatin1Char('U')) {
            const auto u = encoded.mid(i + 2, 4).toUShort(&ok, 16);
            if (ok) {
                out += QChar(u);
                i += 5;
                continue;
            }
        }
        const auto b = encoded.mid(i + 1, 2).toUShort(&ok, 16);
        if (ok && encoded.mid(i + 1, 2).size() == 2) {
            out += QChar(b);
            i += 2;
        } else {
            out += c; // "%General" and other lone percent signs
        }
    }
    return out;
}

QString sectionName(const QString& line)
{
    const QString t = line.trimmed();
    return decodeName(t.mid(1, t.size() - 2).trimmed());
}

QString entryKey(const QString& line)
{
    const QString t = line.trimmed();
    return decodeName(t.left(t.indexOf(QLatin1Char('='))).trimmed());
}

bool isHex(QChar c)
{
    return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
           (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
}

// A value as QSettings reads it: quoted parts taken literally but for backslash escapes, ';' outside
// quotes starting a comment, and a comma outside quotes separating list items, which come back joined
// by ", " as the store deals in plain text.
QString entryValue(const QString& line)
{
    const QString raw = line.mid(line.indexOf(QLatin1Char('=')) + 1).trimmed();
    QStringList items;
    QString item;
    bool quoted = false;
    qsizetype looseSpaces = 0; // unquoted blanks at the end of `item`, which a comment leaves behind
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const QChar c = raw.at(i);
        const qsizetype spacesBefore = looseSpaces;
        looseSpaces = !quoted && c.isSpace() ? looseSpaces + 1 : 0;
        if (c == QLatin1Char('"')) {
            quoted = !quoted;
        } else if (c == QLatin1Char('\\') && i + 1 < raw.size()) {
            const QChar e = raw.at(++i);
            switch (e.unicode()) {
            case 'a':
                item += QChar(7);
                break;
            case 'b':
                item += QChar(8);
                break;
            case 'f':
                item += QChar(12);
                break;
            case 'n':
                item += QChar(10);
                break;
            case 'r':
                item += QChar(13);
                break;
            case 't':
                item += QChar(9);
                break;
            case 'v':
                item += QChar(11);
                break;
            case 'x': {
                qsizetype end = i + 1;
                while (end < raw.size() && isHex(raw.at(end)))
                    ++end;
                item += QChar(static_cast<char16_t>(raw.mid(i + 1, end - i - 1).toUInt(nullptr, 16)));
                i = end - 1;
                break;
            }
            default:
                if (e >= QLatin1Char('0') && e <= QLatin1Char('7')) {
                    qsizetype end = i;
                    while (end < raw.size() && end < i + 3 && raw.at(end) >= QLatin1Char('0') &&
                           raw.at(end) <= QLatin1Char('7'))
                        ++end;
                    item += QChar(static_cast<char16_t>(raw.mid(i, end - i).toUInt(nullptr, 8)));
                    i = end - 1;
                } else {
                    item += e; // \" \\ \' \? and anything else stand for themselves
                }
            }
        } else if (!quoted && c == QLatin1Char(';')) {
            item.chop(spacesBefore);
            break;
        } else if (!quoted && c == QLatin1Char(',')) {
            items << item.trimmed();
            item.clear();
        } else {
            item += c;
        }
    }
    if (!items.isEmpty()) {
        items << item.trimmed();
        return items.join(QStringLiteral(", "));
    }
    if (item.startsWith(QLatin1String("@@")))
        item.remove(0, 1);
    else if (item.startsWith(QLatin1String("@String(")) && item.endsWith(QLatin1Char(')')))
        item = item.mid(8, item.size() - 9);
    return item;
}

// Quoted whenever the bare text would not read back as itself; QSettings reads the result alike.
QString encodeValue(const QString& value)
{
    QString body = value.startsWith(QLatin1Char('@')) ? QLatin1Char('@') + value : value;
    bool needsQuotes = body != body.trimmed();
    QString out;
    for (const QChar c : std::as_const(body)) {
        switch (c.unicode()) {
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '"':
            out += QLatin1String("\\\"");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        case ',':
        case ';':
        case '=':
        case '#':
        case '[':
        case ']':
            needsQuotes = true;
            out += c;
            break;
        default:
            if (c.unicode() < 0x20 || c.unicode() == 0x7F)
                out +=
                    QStringLiteral("\\x%1").arg(static_cast<unsigned>(c.unicode()), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    return needsQuotes ? QLatin1Char('"') + out + QLatin1Char('"') : out;
}

struct Found
{
    qsizetype entry = -1;      // the line of the key, the last one when it is there twice
    qsizetype sectionEnd = -1; // where a new key of the section goes: after its last entry
};

Found locate(const IniFile& ini, const QString& section, const QString& key)
{
    Found found;
    bool inSection = false;
    for (qsizetype i = 0; i < ini.lines.size(); ++i) {
        const QString& line = ini.lines.at(i);
        switch (kindOf(line)) {
        case LineKind::Section:
            inSection = sectionName(line) == section;
            if (inSection)
                found.sectionEnd = i + 1;
            break;
        case LineKind::Entry:
            if (inSection) {
                found.sectionEnd = i + 1;
                if (entryKey(line) == key)
                    found.entry = i;
            }
            break;
        default:
            break;
        }
    }
    return found;
}

bool writeAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::write(fd, bytes.constData() + done, static_cast<std::size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// Writes `bytes` to a temporary file beside the file, flushes it to the disk and renames it over it,
// so a crash or a full disk midway leaves the old file whole. The new file keeps the old one's rights.
// Every step is checked here: QSaveFile reports success for a file it could not write (seen with the
// file-size limit).
bool replaceFile(const std::string& linkOrFile, const QByteArray& bytes)
{
    // A settings file kept elsewhere behind a symbolic link stays there: its target is replaced.
    std::string path = linkOrFile;
    if (char* real = ::realpath(linkOrFile.c_str(), nullptr)) {
        path = real;
        std::free(real);
    }
    mode_t mode = 0600;
    struct stat st
    {
    };
    if (::stat(path.c_str(), &st) == 0)
        mode = st.st_mode & 07777;
    std::string tmp = path + ".XXXXXX";
    posix::UniqueFd fd(::mkstemp(tmp.data()));
    if (!fd)
        return false;
    const bool written = writeAll(fd.get(), bytes) && ::fchmod(fd.get(), mode) == 0 && ::fsync(fd.get()) == 0;
    // Closing is checked too: a network file system may report a failed write only here.
    const bool closed = ::close(fd.release()) == 0;
    if (!written || !closed || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
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
    // Lines that do not parse are passed over, so one bad line does not hide the others.
    const std::optional<IniFile> ini = readIni(fileFor(app));
    if (!ini)
        return {};
    const Found found = locate(*ini, section, key);
    return found.entry >= 0 ? entryValue(ini->lines.at(found.entry)) : QString();
}

bool QSettingsStore::SaveSetting(const QString& app, const QString& section, const QString& key,
                                 const QString& value)
{
    const QString path = fileFor(app);
    std::optional<IniFile> ini = readIni(path);
    // Rewriting a file that is not INI text would throw away whatever it holds.
    if (!ini || !ini->valid)
        return false;

    const QString entry = encodeName(key) + QLatin1Char('=') + encodeValue(value);
    const Found found = locate(*ini, section, key);
    if (found.entry >= 0) {
        ini->lines[found.entry] = entry; // only this line changes; comments and order stay
    } else if (found.sectionEnd >= 0) {
        ini->lines.insert(found.sectionEnd, entry);
    } else {
        if (!ini->lines.isEmpty() && !ini->lines.constLast().trimmed().isEmpty())
            ini->lines << QString();
        ini->lines << QLatin1Char('[') + encodeName(section) + QLatin1Char(']') << entry;
    }

    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    const QString newline = ini->crlf ? QStringLiteral("\r\n") : QStringLiteral("\n");
    return replaceFile(toAnsi(path), (ini->lines.join(newline) + newline).toUtf8());
}

} // namespace qb::platform
