#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace qb::platform {

// Work on a thread of its own beside the thread that starts it, which waits for it at most until a
// deadline and may give it up.
//
// The work must own everything it uses (capture by value, shared pointers): once given up it runs on
// by itself, possibly while the program ends, so it must touch nothing its starter or a static object
// owns. Giving it up cancels it: its reads through posix::readAt() and posix::readFully() fail from
// then on (posix/Reads.h), so work that reads a file ends at its next read and frees what it holds
// (and the memory goes back to the system).
//
// Worked example: a file opens beside the window; wait(now + 5 s) keeps the window painting meanwhile.
// If the open is still running at the deadline, the caller drops or keeps the WorkBeside (giving the
// work up); the open's next read fails, the library it is in returns an error, and the thread frees
// the half-opened file and ends, a few milliseconds later, on its own.
class WorkBeside
{
public:
    // Starts `work` on a new thread. Throws std::system_error when no thread can be had.
    explicit WorkBeside(std::function<void()> work);
    // Gives the work up if it has not ended (see giveUp()); never waits for it.
    ~WorkBeside();
    WorkBeside(const WorkBeside&) = delete;
    WorkBeside& operator=(const WorkBeside&) = delete;

    enum class Outcome
    {
        Done,     // the work has ended
        TimedOut, // the deadline passed first
        Leaving,  // the application was told to quit meanwhile (main thread only)
    };
    // Waits until the work has ended or `deadline` has passed. On the application's main thread its
    // event loop keeps running meanwhile, user input held back (paints, timers and sockets go on), and
    // the wait ends at once when the application is told to quit. On any other thread it blocks.
    Outcome wait(std::chrono::steady_clock::time_point deadline);
    // Cancels the work's reads. Any thread.
    void giveUp();
    // True once the work has ended. Any thread.
    bool done() const;
    // Blocks, without an event loop, until the work has ended or `limit` has passed; true when it ended.
    bool endsWithin(std::chrono::milliseconds limit);

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
};

} // namespace qb::platform
