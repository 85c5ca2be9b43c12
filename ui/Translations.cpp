#include "ui/Translations.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QSettings>
#include <QTranslator>
#include <mutex>

namespace qb::ui {

namespace {

// A catalogue read the first time Qt asks it for a text: Qt's own texts are those of its dialogs and
// standard buttons, so a window that opens none never maps the file: a rule the idle memory figure
// guards (bench/README.md). Qt may ask from any thread.
class CatalogueOnFirstUse final : public QTranslator
{
public:
    CatalogueOnFirstUse(QString file, QObject* parent) : QTranslator(parent), m_file(std::move(file)) {}

    bool isEmpty() const override { return false; }

    QString translate(const char* context, const char* sourceText, const char* disambiguation,
                      int n) const override
    {
        // Qt asks this of every catalogue as it is installed; Japanese reads left to right.
        if (qstrcmp(sourceText, "QT_LAYOUT_DIRECTION") == 0)
            return QStringLiteral("LTR");
        // A catalogue that cannot be read leaves Qt's English texts, as when none is installed.
        std::call_once(m_loaded, [this] { m_available = m_catalogue.load(m_file); });
        if (!m_available)
            return {};
        return m_catalogue.translate(context, sourceText, disambiguation, n);
    }

private:
    const QString m_file;
    mutable std::once_flag m_loaded;
    mutable bool m_available = false;
    mutable QTranslator m_catalogue;
};

} // namespace

bool installQtTranslations(QCoreApplication& app)
{
    // Japanese whatever the locale: the whole window is Japanese, and so should be Qt's parts of it.
    const QString file =
        QDir(QLibraryInfo::path(QLibraryInfo::TranslationsPath)).filePath(QStringLiteral("qtbase_ja.qm"));
    if (!QFileInfo(file).isReadable())
        return false;
    return QCoreApplication::installTranslator(new CatalogueOnFirstUse(file, &app));
}

void keepQtDialogStateUnsaved()
{
    // /dev/null is a file, so the folder QSettings would create for the file cannot exist: a store
    // fails quietly with QSettings::AccessError, and a read finds nothing.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("/dev/null"));
}

} // namespace qb::ui
