#pragma once

#include "sound/decode/Decoder.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

namespace qb::test {

// Seeded white noise, interleaved, `channels` per frame: every frame differs from every other, so a
// frame found in a recording tells where in the file it came from.
std::vector<float> noiseSignal(std::int64_t frames, int channels, std::uint32_t seed, float amplitude = 0.5f);

struct SoundFileParams
{
    int rate = 44100;
    int channels = 2;
    std::int64_t frames = 44100;
    std::uint32_t seed = 1;
    // libsndfile major and minor format; the default is 16-bit PCM WAVE.
    int format = 0x010000 | 0x0002;
};

// Writes noiseSignal(params) to `path` through libsndfile. False (with a qWarning) on failure.
bool writeSoundFile(const QString& path, const SoundFileParams& params);
bool writeSoundFile(const QString& path, int format, int rate, int channels,
                    const std::vector<float>& interleaved);
// 16-bit PCM WAVE of noise.
bool writeWav(const QString& path, std::int64_t frames, int rate = 44100, int channels = 2,
              std::uint32_t seed = 1);

// MPEG-1 Layer III through libsndfile's LAME encoder, constant bit rate at its best quality.
bool writeMp3(const QString& path, std::int64_t frames, int rate = 44100, int channels = 2,
              std::uint32_t seed = 1);

// What the first frame's Xing/Info and LAME tags say about gapless playback.
struct Mp3GaplessInfo
{
    bool infoTag = false;  // a "Xing" or "Info" tag is there
    bool lameTag = false;  // with a LAME extension
    int encoderDelay = -1; // samples the encoder put before the music
    int padding = -1;      // samples it put after
    std::int64_t mpegFrames = -1;
};
Mp3GaplessInfo readMp3GaplessInfo(const QString& path);

// Reads one whole pass from where `decoder` is (normally frame 0), interleaved stereo.
std::vector<float> decodePass(qb::audio::Decoder& decoder, int chunkFrames = 1000);

// Writes `bytes` to `path`; false on failure.
bool writeBytes(const QString& path, const QByteArray& bytes);

// Writes the Ogg files `links` one after the other to `path` as one chained stream, as stream dumps
// are: each link's pages get a serial number of their own (and their checksums anew). False when a
// link cannot be read or is not Ogg.
bool chainOggFiles(const QString& path, const QStringList& links);

} // namespace qb::test
