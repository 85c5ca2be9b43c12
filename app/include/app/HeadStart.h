#pragma once

#include <memory>

namespace qb::mci {
class SoundModuleLoader;
}

namespace qb::app {

struct CommandLine;

// A start with a file begins its sound while the window is made: before the toolkit, the sound module
// is loaded on a thread of its own and the file opened there as the window would open it, with this
// start's choices and the settings (SoundFont, loop points, a found loop, the track, the kept volume).
// With --play it plays once keep() says this start keeps its window. The window's own open of the file
// is then answered with the one made ahead (see mci::SoundModuleLoader::startAhead()). What fails ahead
// is not told there: the window's open tries again and tells of it as ever.
class HeadStart
{
public:
    // Starts nothing unless `line` runs the window with a file.
    explicit HeadStart(const CommandLine& line);
    // Waits for the thread ahead; what it opened closes with the loader.
    ~HeadStart();
    HeadStart(const HeadStart&) = delete;
    HeadStart& operator=(const HeadStart&) = delete;

    // Waits until the sound module is loaded (or failed to load), so that the window's libraries load
    // after it rather than before it; at once when nothing was started.
    void awaitSoundModule();
    // This start keeps its window: the file plays (with --play).
    void keep();
    // This start hands its file to a running window: nothing plays, and the file is closed.
    void handOver();
    // The loader to lend the program (Parts::soundLoader); null when nothing was started.
    mci::SoundModuleLoader* loader() const { return m_loader.get(); }

private:
    std::unique_ptr<mci::SoundModuleLoader> m_loader;
};

} // namespace qb::app
