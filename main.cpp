#include "audio/engine/AudioEngine.h"
#include "audio/output/Outputs.h"
#include "dialogs/OpenFileDialog.h"
#include "dialogs/QtMessageBox.h"
#include "mci/MciService.h"
#include "system/SettingsStore.h"
#include "ui/Form1.h"
#include "ui/UiFont.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillbeat"));
    QApplication::setFont(qb::ui::defaultUiFont());

    qb::audio::AudioEngine engine(qb::audio::makeDefaultOutput());
    qb::platform::QtMessageBoxPresenter messages;
    qb::mci::MciService mci(engine, messages);
    qb::platform::QSettingsStore settings;

    qb::ui::Form1 form({mci, messages, settings, qb::platform::modalFileDialogHost()});
    form.Form_Load();
    form.show();
    return app.exec();
}
