#pragma once

#include <cstdint>
#include <sys/types.h>

namespace qb::bench {

// CPU time and memory of a running process, from /proc. Linux only.
struct ProcessSample
{
    bool ok = false;
    double cpuSeconds = 0;      // user + system time of all its threads so far
    std::int64_t peakRssKb = 0; // VmHWM: the largest resident set so far
    std::int64_t rssKb = 0;     // VmRSS now
    int threads = 0;
};

ProcessSample sampleProcess(pid_t pid);

// Seconds on the monotonic clock.
double monotonicSeconds();

} // namespace qb::bench
