#pragma once

#include <cstdint>
#include <sys/types.h>

namespace qb::bench {

// CPU time of a running process, from /proc. Linux only.
struct ProcessSample
{
    bool ok = false;
    double cpuSeconds = 0; // user + system time of all its threads so far
    int threads = 0;
};

ProcessSample sampleProcess(pid_t pid);

// What a running process costs in memory at the moment of the call, from /proc/<pid>/smaps_rollup,
// in KiB. USS and PSS are the project's memory figures; RSS is only shown beside them.
struct MemorySample
{
    bool ok = false;
    std::int64_t ussKb = 0; // Private_Clean + Private_Dirty: what ending the process gives back
    std::int64_t pssKb = 0; // Pss: private pages plus each shared page divided among its sharers
    std::int64_t rssKb = 0; // Rss: every page mapped in, shared clean pages of fonts and libraries too
};

// Walks the process's page tables (a few milliseconds for a large one, in the caller's time); the
// caller needs the right to read the process's maps (same user). Linux 4.14 or later.
MemorySample sampleMemory(pid_t pid);

// Prints `<prefix>.uss_mb=`, `.pss_mb=` and `.rss_mb=` lines (MiB, one decimal) to standard output.
void printMemory(const char* prefix, const MemorySample& memory);

// Seconds on the monotonic clock.
double monotonicSeconds();

} // namespace qb::bench
