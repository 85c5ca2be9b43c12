// The commands a start ahead of the window sends as the window would, apart from the rest of playback
// (which brings the Select dialog and its toolkit).
#include "playback/Playback.h"
#include "system/CodePage.h"
#include "system/ShortPath.h"

#include <array>
#include <string>

namespace qb::playback {

namespace {

// Holds the longest path Linux hands out (PATH_MAX, NUL included); our short form is never longer
// than the path itself.
constexpr std::size_t kShortPathCapacity = 4096;

} // namespace

std::string Playback::openCommand(const QString& path)
{
    // A path whose short form does not fit leaves the buffer all NULs, so the open is refused.
    std::array<char, kShortPathCapacity> shortPath{};
    const std::string longPath = platform::toAnsi(path);
    platform::GetShortPathNameA(longPath.c_str(), shortPath.data(),
                                static_cast<std::uint32_t>(shortPath.size()));
    return "open " + std::string(shortPath.data()) + " alias midi";
}

const char* Playback::playCommand()
{
    return "play midi notify";
}

const char* Playback::closeCommand()
{
    return "close midi";
}

} // namespace qb::playback
