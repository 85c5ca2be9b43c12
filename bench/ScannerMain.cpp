// Throughput of the MIDI header scanner on a large file that it must read and search to the end:
// a header and a track chunk at the start, then bytes in which no title event or second track
// occurs, and the title event at the very end.
//
//   qb_bench_scanner [--file=<path>] [--mb=<size>] [benchmark flags]
// Prints Google Benchmark's table, then "scanner.<name>_gbps=<GB/s>" lines (GB = 10^9 bytes).
#include "LoopAnalysis.h"
#include "media/MidiHeader.h"

#include <QFile>
#include <QFileInfo>
#include <benchmark/benchmark.h>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

using namespace qb;

namespace {

QString g_path = QStringLiteral("/tmp/quillbeat-scanner-bench.mid");
std::int64_t g_megabytes = 512;

std::vector<std::uint8_t> contents()
{
    const std::size_t size = static_cast<std::size_t>(g_megabytes) << 20;
    std::vector<std::uint8_t> bytes(size);
    std::mt19937 random(42);
    for (std::size_t i = 0; i < size; i += 4) {
        std::uint32_t word = random();
        std::memcpy(&bytes[i], &word, std::min<std::size_t>(4, size - i));
    }
    // No FF anywhere (so no title event) and no 'M' (so no second "MTrk") until the end.
    for (auto& b : bytes) {
        if (b == 0xFF)
            b = 0xFE;
        if (b == 'M')
            b = 'N';
    }
    const std::uint8_t head[] = {'M', 'T',  'h',  'd', 0,   0,   0,   6,    0,    1,    0,
                                 1,   0x01, 0xE0, 'M', 'T', 'r', 'k', 0x7F, 0xFF, 0xFF, 0xFF};
    std::memcpy(bytes.data(), head, sizeof head);
    const std::uint8_t tail[] = {0x00, 0xFF, 0x03, 0x05, 'T', 'i', 't', 'l', 'e'};
    std::memcpy(bytes.data() + size - sizeof tail, tail, sizeof tail);
    return bytes;
}

const std::vector<std::uint8_t>& memoryCopy()
{
    static const std::vector<std::uint8_t> bytes = contents();
    return bytes;
}

void prepareFile()
{
    const std::vector<std::uint8_t>& bytes = memoryCopy();
    if (QFileInfo(g_path).size() != static_cast<qint64>(bytes.size())) {
        QFile file(g_path);
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size())) !=
                static_cast<qint64>(bytes.size()))
            qFatal("cannot write %s", qPrintable(g_path));
    }
    // Once through, so that the measured reads come from the page cache.
    benchmark::DoNotOptimize(media::ReadMidiHeader(g_path));
}

void readMidiHeaderFromPageCache(benchmark::State& state)
{
    prepareFile();
    const std::int64_t size = QFileInfo(g_path).size();
    for (auto _ : state) {
        const media::MidiHeaderInfo info = media::ReadMidiHeader(g_path);
        if (info.Title != QLatin1String("Title"))
            state.SkipWithError("the scan did not reach the title at the end");
        benchmark::DoNotOptimize(info);
    }
    state.SetBytesProcessed(state.iterations() * size);
}

void scanMidiHeaderInMemory(benchmark::State& state)
{
    const std::vector<std::uint8_t>& bytes = memoryCopy();
    for (auto _ : state) {
        const media::MidiHeaderInfo info = media::scanMidiHeader(bytes);
        if (info.Title != QLatin1String("Title"))
            state.SkipWithError("the scan did not reach the title at the end");
        benchmark::DoNotOptimize(info);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}

BENCHMARK(readMidiHeaderFromPageCache)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
BENCHMARK(scanMidiHeaderInMemory)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

// Keeps the throughput of each benchmark for the key=value lines.
class Reporter : public benchmark::ConsoleReporter
{
public:
    std::map<std::string, double> bytesPerSecond;

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            const auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end())
                bytesPerSecond[run.benchmark_name()] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char** argv)
{
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--file=", 7) == 0)
            g_path = QString::fromLocal8Bit(argv[i] + 7);
        else if (std::strncmp(argv[i], "--mb=", 5) == 0)
            g_megabytes = std::atoll(argv[i] + 5);
        else
            rest.push_back(argv[i]);
    }
    int count = static_cast<int>(rest.size());
    benchmark::Initialize(&count, rest.data());
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const auto& [name, bps] : reporter.bytesPerSecond) {
        const std::string key = name.substr(0, name.find('/'));
        bench::printValue(QStringLiteral("scanner.%1_gbps").arg(QString::fromStdString(key)), bps / 1e9, 2);
    }
    bench::printValue(QStringLiteral("scanner.file_mb"), static_cast<double>(g_megabytes), 0);
    return 0;
}
