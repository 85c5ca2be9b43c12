#include "app/Program.h"

#include "dialogs/OpenFileDialog.h"
#include "dialogs/QtMessageBox.h"
#include "session/Mpris.h"
#include "session/SingleWindow.h"
#include "session/WindowActions.h"
#include "sound/SoundModuleLoader.h"
#include "system/CodePage.h"
#include "system/SettingsStore.h"
#include "ui/Form1.h"
#include "ui/Translations.h"
#include "ui/UiFont.h"

#include <QApplication>
#include <QDBusConnection>

namespace qb::app {

namespace {

const QString kApp = QStringLiteral("Quillbeat");

// Takes the lent part, or makes the program's own in `own`.
template <typename Part, typename Own, typename... Args>
Part& lentOrOwn(Part* lent, std::unique_ptr<Own>& own, Args&&... args)
{
    if (lent != nullptr)
        return *lent;
    own = std::make_unique<Own>(std::forward<Args>(args)...);
    return *own;
}

} // namespace

struct Program::Impl
{
    std::unique_ptr<platform::QtMessageBoxPresenter> ownMessages;
    std::unique_ptr<platform::QSettingsStore> ownSettings;
    std::unique_ptr<mci::SoundModuleLoader> ownMci;
    platform::MessageBoxPresenter& messages;
    platform::SettingsStore& settings;
    mci::MciApi& mci;
    ui::Form1 form;
    std::unique_ptr<session::Mpris> mpris;

    explicit Impl(Parts& parts)
        : messages(lentOrOwn(parts.messages, ownMessages)), settings(lentOrOwn(parts.settings, ownSettings)),
          mci(parts.mci ? *parts.mci : ownSoundStack(std::move(parts.soundModulePaths))),
          form({mci, messages, settings, parts.dialogs ? *parts.dialogs : platform::modalFileDialogHost()})
    {
        if (ownMci) {
            QObject::connect(&form, &ui::Form1::playbackStateChanged, &form,
                             [this] { ownMci->setStreamTitle(session::currentTitle(form).toStdString()); });
        }
    }

    // The sound module, loaded at the first command, with the user's SoundFont.
    mci::MciApi& ownSoundStack(std::vector<std::string> modulePaths)
    {
        mci::SoundStackSetup sound;
        sound.errorBox = &messages;
        sound.soundFontChoice = [this] {
            return platform::toAnsi(
                settings.GetSetting(kApp, QStringLiteral("Settings"), QStringLiteral("SoundFont")).trimmed());
        };
        sound.soundFontFailed = [this](const std::string& soundFont, int problem, const std::string&) {
            // Where the user names another SoundFont: the settings file, lent settings or not.
            const QString file =
                ownSettings ? ownSettings->fileFor(kApp) : platform::QSettingsStore().fileFor(kApp);
            // The user chose none: the SoundFont is the distribution's default.
            const bool isDefault =
                settings.GetSetting(kApp, QStringLiteral("Settings"), QStringLiteral("SoundFont"))
                    .trimmed()
                    .isEmpty();
            messages.show(session::soundFontMessage(platform::fromAnsi(soundFont),
                                                    static_cast<mci::SoundFontProblem>(problem), isDefault,
                                                    file),
                          kApp);
        };
        ownMci = std::make_unique<mci::SoundModuleLoader>(std::move(sound), std::move(modulePaths));
        return *ownMci;
    }
};

Program::Program(Parts parts) : m(std::make_unique<Impl>(parts)) {}

Program::~Program() = default;

void Program::setUpApplication(QApplication& app)
{
    QApplication::setApplicationName(kApp);
    QApplication::setDesktopFileName(QStringLiteral("io.github.quillbeat.Quillbeat"));
    QApplication::setFont(ui::defaultUiFont());
    ui::installQtTranslations(app); // the toolkit's dialogs and buttons speak Japanese too
    ui::keepQtDialogStateUnsaved(); // and its file dialog writes no settings file of its own
}

ui::Form1& Program::window()
{
    return m->form;
}

platform::SettingsStore& Program::settings()
{
    return m->settings;
}

platform::MessageBoxPresenter& Program::messages()
{
    return m->messages;
}

void Program::start()
{
    m->form.Form_Load();
    m->form.show();
}

void Program::open(const QByteArray& file, bool play)
{
    ui::Form1& form = m->form;
    const QString path = platform::fromAnsi(file.toStdString());
    session::whenWindowFree(form, [&form, path, play] { session::openRequestedFile(form, path, play); });
}

void Program::takeRequests(session::SingleWindow& singleWindow)
{
    ui::Form1& form = m->form;
    QObject::connect(&singleWindow, &session::SingleWindow::requested, &form,
                     [&form](const session::WindowRequest& handed) {
                         if (QWidget* modal = QApplication::activeModalWidget()) {
                             modal->raise();
                             modal->activateWindow();
                         } else {
                             session::raiseWindow(form);
                         }
                         if (handed.file.isEmpty())
                             return;
                         const QString path = platform::fromAnsi(handed.file.toStdString());
                         const bool play = handed.play;
                         session::whenWindowFree(form, [&form, path, play] {
                             // A file handed over while one plays goes on playing, as the user expects
                             // of the background music.
                             const bool wasPlaying = form.state().IsPlaying;
                             session::openRequestedFile(form, path, play || wasPlaying);
                         });
                     });
}

bool Program::registerMediaControls(const QDBusConnection& bus)
{
    if (!m->mpris)
        m->mpris = std::make_unique<session::Mpris>(m->form);
    return m->mpris->registerOn(bus);
}

} // namespace qb::app
