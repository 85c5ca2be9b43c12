#pragma once

#include <QString>
#include <vector>

namespace qb::bench {

// Reads any file libsndfile reads (WAV of any sample format, also one whose length field was never
// filled in) as interleaved stereo float at the file's rate; mono is doubled. Empty on failure, with
// the reason in `why`. `rate` receives the file's sample rate when not null.
std::vector<float> readStereo(const QString& path, QString* why = nullptr, int* rate = nullptr);

} // namespace qb::bench
