#include "app/Program.h"

#include "app/PlayerSettings.h"
#include "dialogs/OpenFileDialog.h"
#include "dialogs/QtMessageBox.h"
#include "session/Mpris.h"
#include "session/SingleWindow.h"
#include "session/SleepInhibitor.h"
#include "session/WindowActions.h"
#include "sound/SoundModuleLoader.h"
#include "system/CodePage.h"
#include "system/SettingsStore.h"
#include "ui/Form1.h"
#include "ui/Translations.h"
#include "ui/UiFont.h"

#include <QApplication>
#include <QDBusConnection>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>

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
    mci::SoundModuleLoader* loader = nullptr; // the program's own MCI service, owned here or lent
    platform::MessageBoxPresenter& messages;
    platform::SettingsStore& settings;
    mci::MciApi& mci;
    // A loader lent by a head start outlives the program: once the window has gone (closing its file),
    // it keeps no callback into the program.
    struct LentLoader
    {
        mci::SoundModuleLoader* loader = nullptr;
        ~LentLoader()
        {
            if (loader != nullptr)
                loader->setSetup({});
        }
    } lentLoader;
    ui::Form1 form;
    std::unique_ptr<session::Mpris> mpris;
    std::unique_ptr<session::SleepInhibitor> inhibitor;
    bool loopPointsAsked = false;      // --loop-points, this start's or a later one's
    bool findLoopAsked = false;        // --find-loop, likewise
    std::map<std::string, int> tracks; // --track of a file, 0 the first, by the file's real path

    explicit Impl(Parts& parts)
        : messages(lentOrOwn(parts.messages, ownMessages)), settings(lentOrOwn(parts.settings, ownSettings)),
          mci(parts.mci ? *parts.mci : ownSoundStack(std::move(parts.soundModulePaths), parts.soundLoader)),
          form({mci, messages, settings, parts.dialogs ? *parts.dialogs : platform::modalFileDialogHost()})
    {
        if (!ownMci)
            lentLoader.loader = loader;
        // A dropped file follows the rules of a file handed over: it plays on if the window was playing,
        // and one that cannot be opened is named in the same message box.
        QObject::connect(&form, &ui::Form1::fileDropped, &form, [this](const QByteArray& path) {
            session::takeRequest(form, session::WindowRequest{path, false});
        });
        if (loader != nullptr) {
            QObject::connect(&form, &ui::Form1::playbackStateChanged, &form,
                             [this] { loader->setStreamTitle(session::currentTitle(form).toStdString()); });
        }
    }

    // The sound module, loaded at the first command (or ahead of the window: `started`), with the user's
    // SoundFont.
    mci::MciApi& ownSoundStack(std::vector<std::string> modulePaths, mci::SoundModuleLoader* started)
    {
        mci::SoundStackSetup sound;
        sound.errorBox = &messages;
        sound.soundFontChoice = [this] { return soundFontSetting(settings); };
        sound.soundFontFailed = [this](const std::string& soundFont, int problem, const std::string&) {
            // Where the user names another SoundFont: the settings file, lent settings or not.
            const QString file =
                ownSettings ? ownSettings->fileFor(kApp) : platform::QSettingsStore().fileFor(kApp);
            // The user chose none: the SoundFont is the distribution's default.
            const bool isDefault = soundFontSetting(settings).empty();
            form.playback().noteOpenFailureTold();
            messages.show(session::soundFontMessage(platform::fromAnsi(soundFont),
                                                    static_cast<mci::SoundFontProblem>(problem), isDefault,
                                                    file),
                          kApp);
        };
        sound.fileTooLarge = [this](const std::string&, int kind, std::uint64_t amount, std::uint64_t limit) {
            // The service knows the file by the short path it was opened with; the user by its own.
            form.playback().noteOpenFailureTold();
            messages.show(session::tooLargeMessage(platform::readablePath(form.state().FilePath),
                                                   static_cast<mci::FileLimitKind>(kind), amount, limit),
                          kApp);
        };
        sound.loopPointsWanted = [this] { return loopPointsWanted(); };
        sound.findLoopWanted = [this] { return findLoopWanted(); };
        sound.trackWanted = [this](const std::string& path) { return trackWanted(path); };
        if (started != nullptr) {
            started->setSetup(std::move(sound));
            loader = started;
        } else {
            ownMci = std::make_unique<mci::SoundModuleLoader>(std::move(sound), std::move(modulePaths));
            loader = ownMci.get();
        }
        return *loader;
    }

    // The file's real path: the open names it by its short form, which may be a link to it.
    static std::string realPath(const std::string& path)
    {
        char* real = ::realpath(path.c_str(), nullptr);
        if (real == nullptr)
            return path;
        std::string result(real);
        std::free(real);
        return result;
    }

    int trackWanted(const std::string& path) const
    {
        const auto it = tracks.find(realPath(path));
        return it == tracks.end() ? 0 : it->second;
    }

    // Off unless the user turns it on: --loop-points, or LoopPoints=1 under [Settings] (read at each
    // open, as the SoundFont is).
    bool loopPointsWanted() const { return loopPointsAsked || loopPointsSetting(settings); }

    // Off unless the user turns it on: --find-loop, or FindLoop=1 under [Settings] (read at each open).
    bool findLoopWanted() const { return findLoopAsked || findLoopSetting(settings); }
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

void Program::start(const QByteArray& file, bool play)
{
    if (file.isEmpty())
        m->form.Form_Load();
    m->form.show();
    if (!file.isEmpty())
        open(file, play);
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
                     [this, &form](const session::WindowRequest& handed) {
                         if (handed.loopPoints)
                             playLoopPoints();
                         if (handed.findLoop)
                             findLoops();
                         if (!handed.file.isEmpty())
                             chooseTrack(handed.file, handed.track);
                         session::takeRequest(form, handed);
                     });
    singleWindow.watch();
}

void Program::playLoopPoints()
{
    m->loopPointsAsked = true;
}

bool Program::loopPointsWanted() const
{
    return m->loopPointsWanted();
}

void Program::findLoops()
{
    m->findLoopAsked = true;
}

bool Program::findLoopWanted() const
{
    return m->findLoopWanted();
}

void Program::chooseTrack(const QByteArray& file, int track)
{
    m->tracks[Impl::realPath(file.toStdString())] = std::max(track - 1, 0);
}

int Program::trackWanted(const std::string& path) const
{
    return m->trackWanted(path);
}

bool Program::registerMediaControls(const QDBusConnection& bus)
{
    if (!m->mpris)
        m->mpris = std::make_unique<session::Mpris>(m->form, m->mci, m->settings);
    return m->mpris->registerOn(bus);
}

void Program::keepAwakeWhilePlaying(std::function<QDBusConnection()> systemBus)
{
    m->inhibitor = std::make_unique<session::SleepInhibitor>(m->form, std::move(systemBus));
}

} // namespace qb::app
