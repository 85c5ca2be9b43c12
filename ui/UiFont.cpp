#include "ui/UiFont.h"

#include "fonts/FontSubset.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QSaveFile>
#include <QStringList>
#include <algorithm>

namespace qb::ui {

namespace {

// The faces the window draws with, in the order it prefers them.
const QStringList kInstalledFamilies = {QStringLiteral("IPAPGothic"), QStringLiteral("Noto Sans CJK JP")};

// Every character beyond ASCII in the program's sources: its window texts and messages.
constexpr char32_t kProgramCharacters[] = {
#include "WindowCharacters.inc"
};

// The ideographs FreeType's auto-hinter measures a face by (its blue zones and standard widths):
// with them in the cut, the cut's glyphs are hinted to the pixel as the whole face's are.
constexpr char kHinterReference[] =
    "他们你來們到和地对對就席我时時會来為能舰說说这這齊军同已愿既星是景民照现現理用置要"
    "軍那配里開雷露面顾个为人以個大有要主些因它想意生當看着者自著裡过还进進過道還田囗";

// What the window's own font holds, once registered: its characters (sorted), and whether every cut
// registered is free of layout rules.
struct WindowFont
{
    std::vector<char32_t> characters;
    bool plain = true;
};
WindowFont& windowFont()
{
    static WindowFont font;
    return font;
}

std::vector<char32_t> windowCharacters()
{
    std::vector<char32_t> characters;
    for (char32_t c = 0x20; c < 0x7f; ++c)
        characters.push_back(c);
    characters.insert(characters.end(), std::begin(kProgramCharacters), std::end(kProgramCharacters));
    const QList<uint> reference = QString::fromUtf8(kHinterReference).toUcs4();
    characters.insert(characters.end(), reference.begin(), reference.end());
    return characters;
}

// The cut's file name changes with everything the cut depends on, so a stale one is never read.
QString cachedCutPath(const QString& folder, const fonts::FontFace& source, const QString& style,
                      const std::vector<char32_t>& characters)
{
    const QFileInfo file(QString::fromStdString(source.file));
    QCryptographicHash key(QCryptographicHash::Sha256);
    const QStringList parts = {QStringLiteral("2"),
                               file.absoluteFilePath(),
                               QString::number(source.index),
                               QString::number(file.size()),
                               QString::number(file.lastModified().toMSecsSinceEpoch()),
                               kWindowFontFamily,
                               style};
    key.addData(parts.join(QChar(u'|')).toUtf8());
    key.addData(QByteArrayView(reinterpret_cast<const char*>(characters.data()),
                               static_cast<qsizetype>(characters.size() * sizeof(char32_t))));
    return QDir(folder).filePath(
        QStringLiteral("window-font-%1-%2.ttf")
            .arg(style.toLower(), QString::fromLatin1(key.result().toHex().left(16))));
}

// A font file that Qt can read and that is the window's font, not some other one left in its place.
bool registerCut(const QByteArray& font)
{
    const int id = QFontDatabase::addApplicationFontFromData(font);
    if (id < 0)
        return false;
    if (QFontDatabase::applicationFontFamilies(id).contains(kWindowFontFamily)) {
        windowFont().plain = windowFont().plain &&
                             !fonts::hasLayoutRules(font.constData(), static_cast<std::size_t>(font.size()));
        return true;
    }
    QFontDatabase::removeApplicationFont(id);
    return false;
}

// Removes the cuts of this style kept for an earlier face. The names are matched by hand: a name
// filter would start the regular-expression engine, and with it some 0.5 MB, at every start.
void forgetCuts(const QString& cacheFolder, const QString& style)
{
    QDir folder(cacheFolder);
    const QString prefix = QStringLiteral("window-font-%1-").arg(style.toLower());
    for (const QString& name : folder.entryList(QDir::Files)) {
        if (name.startsWith(prefix) && name.endsWith(QLatin1String(".ttf")))
            folder.remove(name);
    }
}

void keepCut(const QString& path, const QByteArray& font, const QString& style)
{
    const QFileInfo target(path);
    if (!target.dir().mkpath(QStringLiteral(".")))
        return;
    forgetCuts(target.path(), style);
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(font) == font.size())
        file.commit(); // a cut not kept is only made again at the next start
}

bool installCut(const fonts::FontFace& source, const QString& style, const std::vector<char32_t>& characters,
                const QString& cacheFolder)
{
    const QString cached = cachedCutPath(cacheFolder, source, style, characters);
    QFile file(cached);
    if (file.open(QIODevice::ReadOnly)) {
        QByteArray font(file.size(), Qt::Uninitialized); // no room to grow: it stays for the whole run
        if (file.read(font.data(), font.size()) == font.size() && registerCut(font))
            return true;
    }
    file.close();

    std::string why;
    const std::optional<std::vector<char>> cut =
        fonts::subsetFace(source, characters, kWindowFontFamily.toStdString(), style.toStdString(), &why);
    if (!cut) {
        qInfo("quillbeat: the window draws with the installed font (%s)", why.c_str());
        return false;
    }
    const QByteArray font(cut->data(), static_cast<qsizetype>(cut->size()));
    if (!registerCut(font))
        return false;
    keepCut(cached, font, style);
    return true;
}

} // namespace

bool installWindowFont(const QString& cacheFolder)
{
    const std::vector<char32_t> characters = windowCharacters();
    for (const QString& family : kInstalledFamilies) {
        const std::optional<fonts::FontFace> regular = fonts::installedFace(family.toStdString(), false);
        if (!regular)
            continue;
        if (!installCut(*regular, QStringLiteral("Regular"), characters, cacheFolder))
            return false;
        windowFont().characters = characters;
        std::sort(windowFont().characters.begin(), windowFont().characters.end());
        // A family without a bold face is drawn bold by thickening the regular one, cut or not.
        const std::optional<fonts::FontFace> bold = fonts::installedFace(family.toStdString(), true);
        if (bold && *bold != *regular)
            installCut(*bold, QStringLiteral("Bold"), characters, cacheFolder);
        else
            forgetCuts(cacheFolder, QStringLiteral("Bold"));
        return true;
    }
    return false;
}

bool drawsWithoutShaping(const QString& text)
{
    const WindowFont& font = windowFont();
    if (font.characters.empty() || !font.plain)
        return false;
    for (const char32_t c : text.toUcs4()) {
        if (c != QChar::LineSeparator &&
            !std::binary_search(font.characters.begin(), font.characters.end(), c))
            return false;
    }
    return true;
}

QFont defaultUiFont()
{
    // The window's own font comes first even before it is registered: Qt finds fonts when it first
    // draws, and goes on to the installed faces while the family is unknown.
    QStringList families = {kWindowFontFamily};
    families << kInstalledFamilies << QStringLiteral("DejaVu Sans");
    QFont font;
    font.setFamilies(families);
    font.setPixelSize(12);
    return font;
}

} // namespace qb::ui
