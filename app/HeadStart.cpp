#include "app/HeadStart.h"

#include "app/CommandLine.h"
#include "app/PlayerSettings.h"
#include "playback/Playback.h"
#include "session/Mpris.h"
#include "sound/SoundModuleLoader.h"
#include "system/CodePage.h"
#include "system/SettingsStore.h"

#include <algorithm>

namespace qb::app {

HeadStart::HeadStart(const CommandLine& line)
{
    if (line.action != CommandLine::Action::Run || line.file.isEmpty())
        return;
    // The choices are this start's, read once: the window reads them again at its own opens.
    const platform::QSettingsStore settings;
    mci::SoundStackSetup setup; // no error box: the window's open tells of a failure
    setup.soundFontChoice = [soundFont = soundFontSetting(settings)] { return soundFont; };
    setup.loopPointsWanted = [wanted = line.loopPoints || loopPointsSetting(settings)] { return wanted; };
    setup.findLoopWanted = [wanted = line.findLoop || findLoopSetting(settings)] { return wanted; };
    setup.trackWanted = [track = std::max(line.track - 1, 0)](const std::string&) { return track; };

    const QString file = platform::fromAnsi(line.file.toStdString());
    setup.firstFile = platform::toAnsi(file);

    mci::SoundModuleLoader::Ahead ahead;
    ahead.open = playback::Playback::openCommand(file);
    const double volume = session::Mpris::keptVolume(settings);
    if (volume != 1.0)
        ahead.then.push_back(session::Mpris::volumeCommand(volume));
    if (line.play)
        ahead.play = playback::Playback::playCommand();
    ahead.close = playback::Playback::closeCommand();

    m_loader = std::make_unique<mci::SoundModuleLoader>(std::move(setup));
    m_loader->startAhead(std::move(ahead));
}

HeadStart::~HeadStart() = default;

void HeadStart::awaitSoundModule()
{
    if (m_loader)
        m_loader->awaitModule();
}

void HeadStart::keep()
{
    if (m_loader)
        m_loader->release();
}

void HeadStart::handOver()
{
    if (m_loader)
        m_loader->drop();
}

} // namespace qb::app
