#include "ui/Translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QSettings>
#include <QTranslator>

namespace qb::ui {

bool installQtTranslations(QCoreApplication& app)
{
    auto* translator = new QTranslator(&app);
    // Japanese whatever the locale: the whole window is Japanese, and so should be Qt's parts of it.
    if (!translator->load(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

void keepQtDialogStateUnsaved()
{
    // /dev/null is a file, so the folder QSettings would create for the file cannot exist: a store
    // fails quietly with QSettings::AccessError, and a read finds nothing.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("/dev/null"));
}

} // namespace qb::ui
