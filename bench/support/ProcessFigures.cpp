#include "ProcessFigures.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace qb::bench {

ProcessSample sampleProcess(pid_t pid)
{
    ProcessSample s;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return s;
    // The command name may hold spaces and parentheses: the fields start after the last ')'.
    const auto close = line.rfind(')');
    if (close == std::string::npos)
        return s;
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    // Field 3 (state) is the first after the name; utime and stime are fields 14 and 15.
    for (int index = 3; fields >> field; ++index) {
        if (index == 14)
            utime = std::stoull(field);
        else if (index == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    s.cpuSeconds = static_cast<double>(utime + stime) / ticks;

    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    while (std::getline(status, line)) {
        int value = 0;
        if (std::sscanf(line.c_str(), "Threads: %d", &value) == 1)
            s.threads = value;
    }
    s.ok = true;
    return s;
}

MemorySample sampleMemory(pid_t pid)
{
    MemorySample m;
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    bool seen = false;
    while (std::getline(rollup, line)) {
        long long value = 0;
        if (std::sscanf(line.c_str(), "Rss: %lld", &value) == 1) {
            m.rssKb = value;
            seen = true;
        } else if (std::sscanf(line.c_str(), "Pss: %lld", &value) == 1)
            m.pssKb = value;
        else if (std::sscanf(line.c_str(), "Private_Clean: %lld", &value) == 1 ||
                 std::sscanf(line.c_str(), "Private_Dirty: %lld", &value) == 1)
            m.ussKb += value;
    }
    m.ok = seen;
    return m;
}

void printMemory(const char* prefix, const MemorySample& memory)
{
    std::printf("%s.uss_mb=%.1f\n", prefix, static_cast<double>(memory.ussKb) / 1024.0);
    std::printf("%s.pss_mb=%.1f\n", prefix, static_cast<double>(memory.pssKb) / 1024.0);
    std::printf("%s.rss_mb=%.1f\n", prefix, static_cast<double>(memory.rssKb) / 1024.0);
    std::fflush(stdout);
}

double monotonicSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

} // namespace qb::bench
