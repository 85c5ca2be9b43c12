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
        long long value = 0;
        if (std::sscanf(line.c_str(), "VmHWM: %lld", &value) == 1)
            s.peakRssKb = value;
        else if (std::sscanf(line.c_str(), "VmRSS: %lld", &value) == 1)
            s.rssKb = value;
        else if (std::sscanf(line.c_str(), "Threads: %lld", &value) == 1)
            s.threads = static_cast<int>(value);
    }
    s.ok = true;
    return s;
}

double monotonicSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

} // namespace qb::bench
