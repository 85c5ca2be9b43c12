#pragma once

#include "sound/decode/Decoders.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace qb::mci {

// A loop as a file's own frames count it, at the file's own rate.
struct FileLoop
{
    std::int64_t start = 0;
    std::int64_t end = 0;
    int rate = 0;
};

// Looks for the loop one file repeats (loopfind::findLoop), on a thread of its own at the lowest
// priority, while the file plays: first in the cache of loops found before, keyed by the file's
// content, then in the file itself. A loop found is handed to `slot`, in engine frames, and kept in
// the cache; so is the finding that the file repeats no loop, so that the next play needs no search.
// Destroying the search stops it and waits for its thread: the finder looks at its stop flag every few
// milliseconds and the thread's reads fail at once (posix/Reads.h).
class LoopSearch
{
public:
    // `cacheFolder` empty: no cache.
    LoopSearch(std::string path, std::shared_ptr<audio::LoopSlot> slot, std::string cacheFolder);
    ~LoopSearch();
    LoopSearch(const LoopSearch&) = delete;
    LoopSearch& operator=(const LoopSearch&) = delete;

    struct State
    {
        bool done = false;
        std::optional<FileLoop> loop; // when one was found
    };
    // Any thread.
    State state() const;
    // Waits until the search is done or `limit` has passed; the state then.
    State waitDone(std::chrono::milliseconds limit) const;

private:
    void run();
    void finish(std::optional<FileLoop> loop);

    const std::string m_path;
    const std::shared_ptr<audio::LoopSlot> m_slot;
    const std::string m_cacheFolder;
    std::atomic<bool> m_cancel{false};
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_doneChanged;
    State m_state;
    std::thread m_thread; // last: it starts once everything it uses is there
};

// Where found loops are kept: $XDG_CACHE_HOME/quillbeat/loops, or ~/.cache/quillbeat/loops. Empty when
// neither can be told.
std::string defaultLoopCacheFolder();

// The cache's entries: one small file per file searched, named by the SHA-256 of the file's content.
// An entry that does not read back exactly as written (damaged, cut, of another version, its checksum
// wrong) or that does not fit the file (another size, a loop outside it, another rate) is ignored,
// never trusted, and written anew. At most kMostLoopCacheEntries are kept; the oldest go first.
inline constexpr int kMostLoopCacheEntries = 1000;

} // namespace qb::mci
