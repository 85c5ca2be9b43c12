#include "app/ShowLoop.h"

#include "app/PlayerSettings.h"
#include "sound/MciErrorText.h"
#include "sound/SoundModuleLoader.h"
#include "system/CodePage.h"
#include "system/MessageBox.h"
#include "system/SettingsStore.h"
#include "system/ShortPath.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace qb::app {

namespace {

// Without a window, what would be a message box goes to standard error.
class StandardErrorBox final : public platform::MessageBoxPresenter
{
public:
    void show(const QString& text, const QString& caption) override
    {
        std::fprintf(stderr, "quillbeat: %s: %s\n", qPrintable(caption), qPrintable(text));
    }
};

// As the window's Select, for a command that names the file.
constexpr std::size_t kShortPathCapacity = 4096;

} // namespace

QString showLoop(const QByteArray& file, bool loopPoints, bool findLoop, int track, QString* error,
                 const platform::SettingsStore* lentSettings, std::vector<std::string> modulePaths)
{
    const platform::QSettingsStore ownSettings;
    const platform::SettingsStore& settings = lentSettings != nullptr ? *lentSettings : ownSettings;
    StandardErrorBox box;
    mci::SoundStackSetup setup;
    setup.errorBox = &box;
    setup.silentOutput = true;
    setup.soundFontChoice = [&settings] { return soundFontSetting(settings); };
    setup.loopPointsWanted = [&] { return loopPoints || loopPointsSetting(settings); };
    setup.findLoopWanted = [&] { return findLoop || findLoopSetting(settings); };
    setup.trackWanted = [track](const std::string&) { return std::max(track - 1, 0); };
    mci::SoundModuleLoader mci(std::move(setup), std::move(modulePaths));

    std::array<char, kShortPathCapacity> shortPath{};
    if (platform::GetShortPathNameA(file.constData(), shortPath.data(),
                                    static_cast<std::uint32_t>(shortPath.size())) == 0) {
        *error = QStringLiteral("no file at %1")
                     .arg(platform::readablePath(platform::fromAnsi(file.toStdString())));
        return {};
    }
    const std::string open = "open " + std::string(shortPath.data()) + " alias loop";
    if (const mci::MCIERROR failed = mci.mciSendStringA(open.c_str(), nullptr, 0, nullptr)) {
        *error = QStringLiteral("cannot open %1: %2")
                     .arg(platform::readablePath(platform::fromAnsi(file.toStdString())),
                          mci::mciErrorText(failed));
        return {};
    }
    std::array<char, 256> reply{};
    const mci::MCIERROR asked =
        mci.mciSendStringA("info loop loop wait", reply.data(), static_cast<unsigned>(reply.size()), nullptr);
    mci.mciSendStringA("close loop", nullptr, 0, nullptr);
    if (asked != 0) {
        *error = mci::mciErrorText(asked);
        return {};
    }
    return QStringLiteral("loop ") + QString::fromLatin1(reply.data());
}

} // namespace qb::app
