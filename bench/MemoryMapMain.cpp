// Where a process's memory is: USS (private pages) and PSS of each mapped file (libraries, fonts) and
// of its anonymous memory, RSS beside, largest USS first, from /proc/<pid>/smaps.
//
//   qb_bench_memory_map <warm-up s> -- <command...>
//       starts the command, waits the warm-up, prints the breakdown, then stops it.
//
// With the player idle (`qb_bench_memory_map 3 -- quillbeat`) and a bare window beside it
// (`qb_bench_memory_map 3 -- qb_bench_bare_timer`), the difference names what a start costs.
//
//   qb_bench_memory_map largest <prefix> [<at most s>] -- <command...>
//       runs the command to its end (or stops it after <at most s>) and prints its memory
//       (<prefix>.uss_mb, .pss_mb, .rss_mb) at the sample of the largest USS, sampled every 20 ms from
//       /proc/<pid>/smaps_rollup: for a program that ends by itself. This program maps no library but the C
//       and C++ runtimes, so it shares no other page with the command and lowers none of its USS, as a user's
//       shell would.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

struct Figures
{
    long uss = 0;
    long pss = 0;
    long rss = 0;
};

// The value of a "Name:   123 kB" line of smaps when the line has that name, else -1.
long field(const std::string& line, const char* name)
{
    const std::string prefix = std::string(name) + ':';
    return line.rfind(prefix, 0) == 0 ? std::stol(line.substr(prefix.size())) : -1;
}

// The command's memory at its largest USS, until it ends.
int largest(const char* prefix, double atMost, char** command)
{
    const auto stopAt = std::chrono::steady_clock::now() + std::chrono::duration<double>(atMost);
    pid_t pid = -1;
    if (posix_spawnp(&pid, command[0], nullptr, nullptr, command, environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", command[0]);
        return 1;
    }
    Figures most;
    while (waitpid(pid, nullptr, WNOHANG) == 0) {
        std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
        Figures now;
        std::string line;
        long kb = 0;
        while (std::getline(rollup, line)) {
            if ((kb = field(line, "Rss")) >= 0)
                now.rss = kb;
            else if ((kb = field(line, "Pss")) >= 0)
                now.pss = kb;
            else if ((kb = std::max(field(line, "Private_Clean"), field(line, "Private_Dirty"))) >= 0)
                now.uss += kb;
        }
        if (now.uss > most.uss)
            most = now;
        if (atMost > 0 && std::chrono::steady_clock::now() >= stopAt) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::printf("%s.uss_mb=%.1f\n%s.pss_mb=%.1f\n%s.rss_mb=%.1f\n", prefix, most.uss / 1024.0, prefix,
                most.pss / 1024.0, prefix, most.rss / 1024.0);
    return most.uss > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 5 && std::string(argv[1]) == "largest") {
        const bool limited = std::string(argv[3]) != "--";
        if (argc >= (limited ? 6 : 5) && std::string(argv[limited ? 4 : 3]) == "--")
            return largest(argv[2], limited ? std::stod(argv[3]) : 0.0, argv + (limited ? 5 : 4));
    }
    if (argc < 4 || std::string(argv[2]) != "--") {
        std::fprintf(stderr, "usage: qb_bench_memory_map <warm-up s> -- <command...>\n"
                             "       qb_bench_memory_map largest <prefix> [<at most s>] -- <command...>\n");
        return 2;
    }
    const double warmup = std::stod(argv[1]);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[3], nullptr, nullptr, argv + 3, environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[3]);
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(warmup));

    std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
    std::map<std::string, Figures> byMapping;
    Figures total;
    std::string line;
    std::string name;
    while (std::getline(smaps, line)) {
        if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') < 16) {
            std::istringstream fields(line);
            std::string range, perms, offset, device, inode;
            fields >> range >> perms >> offset >> device >> inode;
            std::getline(fields, name);
            const auto start = name.find_first_not_of(' ');
            name = start == std::string::npos ? "[anonymous]" : name.substr(start);
            continue;
        }
        Figures& f = byMapping[name];
        long kb = 0;
        if ((kb = field(line, "Rss")) >= 0) {
            f.rss += kb;
            total.rss += kb;
        } else if ((kb = field(line, "Pss")) >= 0) {
            f.pss += kb;
            total.pss += kb;
        } else if ((kb = std::max(field(line, "Private_Clean"), field(line, "Private_Dirty"))) >= 0) {
            f.uss += kb;
            total.uss += kb;
        }
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);

    std::vector<std::pair<Figures, std::string>> sorted;
    for (const auto& [mapping, f] : byMapping)
        sorted.emplace_back(f, mapping);
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
        return std::tie(a.first.uss, a.first.pss, a.second) > std::tie(b.first.uss, b.first.pss, b.second);
    });
    std::printf("uss_total_kb=%ld\npss_total_kb=%ld\nrss_total_kb=%ld\n", total.uss, total.pss, total.rss);
    std::printf("%8s %8s %8s\n", "USS kB", "PSS kB", "RSS kB");
    for (const auto& [f, mapping] : sorted)
        if (f.uss >= 64 || f.pss >= 64)
            std::printf("%8ld %8ld %8ld  %s\n", f.uss, f.pss, f.rss, mapping.c_str());
    return 0;
}
