#include "WavFile.h"

#include <sndfile.h>

namespace qb::bench {

std::vector<float> readStereo(const QString& path, QString* why, int* rate)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(path.toLocal8Bit().constData(), SFM_READ, &info);
    if (!file) {
        if (why)
            *why = QString::fromLocal8Bit(sf_strerror(nullptr));
        return {};
    }
    if (rate)
        *rate = info.samplerate;
    // Files whose writer was killed can carry a bogus frame count: read until the data runs out.
    std::vector<float> out;
    std::vector<float> block(static_cast<std::size_t>(4096 * info.channels));
    for (;;) {
        const sf_count_t got = sf_readf_float(file, block.data(), 4096);
        if (got <= 0)
            break;
        for (sf_count_t i = 0; i < got; ++i) {
            const float* frame = &block[static_cast<std::size_t>(i * info.channels)];
            out.push_back(frame[0]);
            out.push_back(info.channels > 1 ? frame[1] : frame[0]);
        }
    }
    sf_close(file);
    if (out.empty() && why)
        *why = QStringLiteral("no audio in the file");
    return out;
}

} // namespace qb::bench
