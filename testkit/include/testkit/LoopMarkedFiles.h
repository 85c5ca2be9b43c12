#pragma once

#include <QString>
#include <QStringList>
#include <vector>

namespace qb::test {

// Sound files that mark their own loop, as game music does, from interleaved stereo samples.

// 16-bit PCM WAVE with a sampler chunk (smpl) holding one forward loop [start, end) (libsndfile's
// exclusive end); none when `start` is negative.
bool writeSamplerLoopWav(const QString& path, const std::vector<float>& stereo, int rate, int start, int end);

// 16-bit FLAC whose Vorbis comment block holds `comments` ("LOOPSTART=4000", ...), added by libFLAC.
bool writeCommentedFlac(const QString& path, const std::vector<float>& stereo, int rate,
                        const QStringList& comments);

// Ogg Vorbis with `comments`, encoded by libvorbisenc (libsndfile writes comments of a few names only).
bool writeCommentedOgg(const QString& path, const std::vector<float>& stereo, int rate,
                       const QStringList& comments);

// Ogg Opus with `comments` ("NAME=value"), encoded by libopusenc from `stereo` at `rate`. Opus plays
// at 48 kHz: a file of 44.1 kHz samples decodes to 48000 frames a second.
bool writeCommentedOpus(const QString& path, const std::vector<float>& stereo, int rate,
                        const QStringList& comments);

} // namespace qb::test
