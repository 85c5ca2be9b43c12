#pragma once

#include "sound/decode/Decoders.h"

#include <chrono>
#include <functional>
#include <optional>

namespace qb::mci {

// Runs `open` on a thread of its own and waits for it at most `limit`: a decoder's open walks a file
// the user chose, and a damaged or hostile one can take minutes, or never return from inside a
// library. While it waits on the application's main thread, that thread's event loop keeps running
// (paints, timers, sockets; user input is held back until the open is done), so the window stays
// alive; on any other thread it simply blocks.
//
// Returns the open's result, or nothing when the limit passed first. The open is then abandoned: it
// runs on by itself at the lowest scheduling priority (it only takes time no one else wants), and
// what it opens is closed, on its own thread, when it ends. `open` must therefore own everything it
// uses (capture by value).
std::optional<audio::OpenResult> openWithin(std::chrono::milliseconds limit,
                                            std::function<audio::OpenResult()> open);

} // namespace qb::mci
