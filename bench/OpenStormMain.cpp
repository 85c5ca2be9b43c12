// What a file that cannot be opened in time costs when a user selects it again and again.
//
//   qb_bench_opens chain <out.ogg> <links> <good.wav>
//       writes a chained Ogg Vorbis stream of <links> links of 50 ms each (a stream dump's shape; 20,000
//       links make 88 MB) and a 3-second WAVE file to play after it.
//   qb_bench_opens <slow file> <count> <good file> [<seconds after>]
//       the MCI service over the audio engine (silent real-time output) on the application's main
//       thread, as the window has it: opens <slow file> <count> times under the alias "midi" (each
//       one waits up to the service's open limit, keeping the event loop running), then <good file>,
//       then watches the process for <seconds after> (10). Prints, as "key=value" lines: each open's
//       result and wall time; the process's threads, CPU seconds and memory (USS, PSS, RSS) after each
//       open and at the end; the largest of each seen (sampled every 100 ms); the time the good file
//       took to open.
#include "ProcessFigures.h"
#include "sound/MciErrors.h"
#include "sound/engine/AudioEngine.h"
#include "sound/engine/SilentOutput.h"
#include "sound/mci/MciService.h"
#include "testkit/AudioFiles.h"
#include "testkit/Fakes.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sndfile.h>
#include <string>
#include <unistd.h>

using namespace qb;

namespace {

struct Peaks
{
    int threads = 0;
    std::int64_t ussKb = 0;
    std::int64_t pssKb = 0;
    std::int64_t rssKb = 0;

    void take()
    {
        const bench::ProcessSample process = bench::sampleProcess(getpid());
        const bench::MemorySample memory = bench::sampleMemory(getpid());
        threads = std::max(threads, process.threads);
        ussKb = std::max(ussKb, memory.ussKb);
        pssKb = std::max(pssKb, memory.pssKb);
        rssKb = std::max(rssKb, memory.rssKb);
    }
};

void printNow(const std::string& prefix)
{
    const bench::ProcessSample process = bench::sampleProcess(getpid());
    std::printf("%s.threads=%d\n%s.cpu_s=%.2f\n", prefix.c_str(), process.threads, prefix.c_str(),
                process.cpuSeconds);
    bench::printMemory(prefix.c_str(), bench::sampleMemory(getpid()));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 5 && std::string(argv[1]) == "chain") {
        const QString out = QString::fromLocal8Bit(argv[2]);
        const QString link = out + QStringLiteral(".link.ogg");
        const int links = std::stoi(argv[3]);
        std::vector<float> tone(2205 * 2);
        for (std::size_t i = 0; i < tone.size(); ++i)
            tone[i] = 0.25f * static_cast<float>(std::sin(static_cast<double>(i / 2) * 0.0627));
        const bool written = test::writeSoundFile(link, SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, 2, tone) &&
                             test::chainOggFiles(out, QStringList(links, link)) &&
                             test::writeWav(QString::fromLocal8Bit(argv[4]), 3 * 44100);
        QFile::remove(link);
        return written ? 0 : 1;
    }
    if (argc < 4) {
        std::fprintf(stderr, "usage: qb_bench_opens <slow file> <count> <good file> [<seconds after>]\n");
        return 2;
    }
    const std::string slow = argv[1];
    const int count = std::stoi(argv[2]);
    const std::string good = argv[3];
    const int after = argc > 4 ? std::stoi(argv[4]) : 10;

    audio::AudioEngine engine(audio::makeSilentOutput());
    test::RecordingMessageBox box;
    mci::MciService service(engine, box);

    Peaks peaks;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&peaks] { peaks.take(); });
    sampler.start(100);

    const auto send = [&service](const std::string& command) {
        return service.mciSendStringA(command.c_str(), nullptr, 0, nullptr);
    };
    const double begin = bench::monotonicSeconds();
    for (int i = 1; i <= count; ++i) {
        const double start = bench::monotonicSeconds();
        const mci::MCIERROR error = send("open " + slow + " alias midi");
        const double took = bench::monotonicSeconds() - start;
        std::printf("open.%d.error=%u\nopen.%d.s=%.2f\n", i, error, i, took);
        printNow("after." + std::to_string(i));
        send("close midi");
    }
    const double start = bench::monotonicSeconds();
    const mci::MCIERROR error = send("open " + good + " alias midi");
    std::printf("good.error=%u\ngood.open_ms=%.1f\n", error, (bench::monotonicSeconds() - start) * 1e3);
    send("play midi");
    printNow("good");

    QTimer::singleShot(after * 1000, &app, &QCoreApplication::quit);
    app.exec();
    peaks.take();
    printNow("end");
    std::printf("total_s=%.1f\npeak.threads=%d\npeak.uss_mb=%.1f\npeak.pss_mb=%.1f\npeak.rss_mb=%.1f\n",
                bench::monotonicSeconds() - begin, peaks.threads, static_cast<double>(peaks.ussKb) / 1024,
                static_cast<double>(peaks.pssKb) / 1024, static_cast<double>(peaks.rssKb) / 1024);
    send("close midi");
    return 0;
}
