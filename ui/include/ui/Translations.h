#pragma once

class QCoreApplication;

namespace qb::ui {

// Loads Qt's own Japanese texts (the qtbase_ja catalogue from Qt's translations folder; on Debian in
// qt6-translations-l10n) into `app`, so that the file dialog, message boxes and standard buttons speak
// Japanese like the rest of the program, whatever the user's locale. The program's own texts are
// given in Japanese and are not translated. The translator belongs to `app`. Returns false, leaving
// Qt's English texts, when the catalogue is not installed. Call once, on the UI thread, before the
// first window is created.
bool installQtTranslations(QCoreApplication& app);

// Qt's file and colour dialogs keep their own state (recent folders, sidebar, view mode) in a
// settings file of their own, QtProject.conf in the user's configuration folder, written whenever
// such a dialog closes. This turns that off for the rest of the process: the dialogs start from the
// folder the program gives them and remember nothing between runs. It does so by pointing the
// per-user settings of QSettings::NativeFormat at a path where no file can be made, so every
// QSettings of the process that uses the native format in user scope neither reads nor stores
// anything: the program's own settings must name QSettings::IniFormat (as platform::QSettingsStore
// does). Call before the first dialog is created.
void keepQtDialogStateUnsaved();

} // namespace qb::ui
