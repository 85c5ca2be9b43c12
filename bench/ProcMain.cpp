// Measures another program from outside, as a user's system monitor would.
//
//   qb_bench_proc cost <warm-up s> <seconds> <prefix> -- <command...>
//       starts the command, lets it settle for the warm-up, then prints the share of one core it used
//       over <seconds> (user + system time of all its threads from /proc/<pid>/stat, divided by the
//       wall time), and its memory at the end of those seconds: USS and PSS, with RSS beside (from
//       /proc/<pid>/smaps_rollup, see ProcessFigures.h); then stops it.
//   qb_bench_proc startup <runs> <prefix> -- <command...>
//       starts the command <runs> times on the X display in $DISPLAY and prints the time from the
//       start of the process to the mapping of its window titled "Quillbeat" (first run, median, min, max).
#include "LoopAnalysis.h"
#include "ProcessFigures.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <xcb/xcb.h>

extern char** environ;

using namespace qb;

namespace {

pid_t spawn(char** command)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The measured program's chatter would only interleave with the figures.
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, command[0], &actions, nullptr, command, environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void finish(pid_t pid)
{
    kill(pid, SIGTERM);
    for (int i = 0; i < 300; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

int runCost(double warmup, double seconds, const QString& prefix, char** command)
{
    const pid_t pid = spawn(command);
    if (pid < 0) {
        bench::printValue(prefix + QStringLiteral(".error"),
                          QStringLiteral("cannot start ") + QString::fromLocal8Bit(command[0]));
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(warmup));
    const bench::ProcessSample s0 = bench::sampleProcess(pid);
    const double t0 = bench::monotonicSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const bench::ProcessSample s1 = bench::sampleProcess(pid);
    const double t1 = bench::monotonicSeconds();
    const bench::MemorySample memory = bench::sampleMemory(pid);
    const bool alive = waitpid(pid, nullptr, WNOHANG) == 0;
    finish(pid);
    if (!s0.ok || !s1.ok || !memory.ok || !alive) {
        bench::printValue(prefix + QStringLiteral(".error"), QStringLiteral("the program ended early"));
        return 1;
    }
    bench::printValue(prefix + QStringLiteral(".cpu_pct"),
                      100.0 * (s1.cpuSeconds - s0.cpuSeconds) / (t1 - t0), 2);
    bench::printMemory(qPrintable(prefix), memory);
    bench::printValue(prefix + QStringLiteral(".threads"), s1.threads, 0);
    return 0;
}

std::string windowName(xcb_connection_t* x, xcb_window_t window)
{
    xcb_get_property_cookie_t cookie = xcb_get_property(x, 0, window, XCB_ATOM_WM_NAME, XCB_ATOM_ANY, 0, 64);
    xcb_get_property_reply_t* reply = xcb_get_property_reply(x, cookie, nullptr);
    std::string name;
    if (reply) {
        name.assign(static_cast<const char*>(xcb_get_property_value(reply)),
                    static_cast<std::size_t>(xcb_get_property_value_length(reply)));
        std::free(reply);
    }
    return name;
}

// Seconds from `start` until a window titled "Quillbeat" maps; negative after `timeout` seconds.
double waitForWindow(xcb_connection_t* x, double start, double timeout)
{
    const int fd = xcb_get_file_descriptor(x);
    for (;;) {
        while (xcb_generic_event_t* event = xcb_poll_for_event(x)) {
            const bool mapped = (event->response_type & 0x7F) == XCB_MAP_NOTIFY;
            const xcb_window_t window = mapped ? reinterpret_cast<xcb_map_notify_event_t*>(event)->window : 0;
            std::free(event);
            if (mapped && windowName(x, window) == "Quillbeat")
                return bench::monotonicSeconds() - start;
        }
        const double left = start + timeout - bench::monotonicSeconds();
        if (left <= 0)
            return -1;
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, static_cast<int>(left * 1000) + 1);
    }
}

int runStartup(int runs, const QString& prefix, char** command)
{
    xcb_connection_t* x = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(x)) {
        bench::printValue(prefix + QStringLiteral(".error"), QStringLiteral("no X display"));
        return 1;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(x);

    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        const double start = bench::monotonicSeconds();
        const pid_t pid = spawn(command);
        if (pid < 0)
            return 1;
        const double t = waitForWindow(x, start, 10.0);
        finish(pid);
        if (t < 0) {
            bench::printValue(prefix + QStringLiteral(".error"), QStringLiteral("no window within 10 s"));
            return 1;
        }
        times.push_back(t * 1000.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    xcb_disconnect(x);
    const double first = times.front();
    std::sort(times.begin(), times.end());
    bench::printValue(prefix + QStringLiteral(".first_ms"), first, 0);
    bench::printValue(prefix + QStringLiteral(".median_ms"), times[times.size() / 2], 0);
    bench::printValue(prefix + QStringLiteral(".min_ms"), times.front(), 0);
    bench::printValue(prefix + QStringLiteral(".max_ms"), times.back(), 0);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    int dashes = 0;
    while (dashes < argc && std::strcmp(argv[dashes], "--") != 0)
        ++dashes;
    if (dashes + 1 >= argc) {
        std::fprintf(stderr, "usage: qb_bench_proc cost <warm-up> <seconds> <prefix> -- <command...>\n"
                             "       qb_bench_proc startup <runs> <prefix> -- <command...>\n");
        return 2;
    }
    char** command = argv + dashes + 1;
    const std::string mode = argv[1];
    if (mode == "cost" && dashes == 5)
        return runCost(std::atof(argv[2]), std::atof(argv[3]), QString::fromLocal8Bit(argv[4]), command);
    if (mode == "startup" && dashes == 4)
        return runStartup(std::atoi(argv[2]), QString::fromLocal8Bit(argv[3]), command);
    std::fprintf(stderr, "qb_bench_proc: bad arguments\n");
    return 2;
}
