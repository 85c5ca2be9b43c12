// Where a process's resident memory is: the resident kilobytes of each mapped file (libraries, fonts)
// and of its anonymous memory, largest first, from /proc/<pid>/smaps.
//
//   qb_bench_rss_map <warm-up s> -- <command...>
//       starts the command, waits the warm-up, prints the breakdown, then stops it.
//
// With the player idle (`qb_bench_rss_map 3 -- quillbeat`) and a bare window beside it
// (`qb_bench_rss_map 3 -- qb_bench_bare_timer`), the difference names what a start costs.
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
#include <unistd.h>
#include <vector>

extern char** environ;

int main(int argc, char** argv)
{
    if (argc < 4 || std::string(argv[2]) != "--") {
        std::fprintf(stderr, "usage: qb_bench_rss_map <warm-up s> -- <command...>\n");
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
    std::map<std::string, long> rssKb;
    std::string line;
    std::string name;
    long total = 0;
    while (std::getline(smaps, line)) {
        if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') < 16) {
            std::istringstream fields(line);
            std::string range, perms, offset, device, inode;
            fields >> range >> perms >> offset >> device >> inode;
            std::getline(fields, name);
            const auto start = name.find_first_not_of(' ');
            name = start == std::string::npos ? "[anonymous]" : name.substr(start);
        } else if (line.rfind("Rss:", 0) == 0) {
            const long kb = std::stol(line.substr(4));
            rssKb[name] += kb;
            total += kb;
        }
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);

    std::vector<std::pair<long, std::string>> sorted;
    for (const auto& [mapping, kb] : rssKb)
        sorted.emplace_back(kb, mapping);
    std::sort(sorted.rbegin(), sorted.rend());
    std::printf("rss_total_kb=%ld\n", total);
    for (const auto& [kb, mapping] : sorted)
        if (kb >= 64)
            std::printf("%8ld kB  %s\n", kb, mapping.c_str());
    return 0;
}
