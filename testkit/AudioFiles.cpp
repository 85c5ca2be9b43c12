#include "testkit/AudioFiles.h"

#include <QByteArray>
#include <QFile>
#include <QtDebug>
#include <random>
#include <sndfile.h>

namespace qb::test {

std::vector<float> noiseSignal(std::int64_t frames, int channels, std::uint32_t seed, float amplitude)
{
    std::mt19937 engine(seed);
    std::uniform_real_distribution<float> dist(-amplitude, amplitude);
    std::vector<float> samples(static_cast<std::size_t>(frames * channels));
    for (float& s : samples)
        s = dist(engine);
    return samples;
}

bool writeSoundFile(const QString& path, int format, int rate, int channels,
                    const std::vector<float>& interleaved)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file) {
        qWarning() << "cannot write" << path << sf_strerror(nullptr);
        return false;
    }
    if ((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG) {
        int mode = SF_BITRATE_MODE_CONSTANT;
        sf_command(file, SFC_SET_BITRATE_MODE, &mode, sizeof(mode));
        double level = 0.0;
        sf_command(file, SFC_SET_COMPRESSION_LEVEL, &level, sizeof(level));
    }
    const sf_count_t frames = static_cast<sf_count_t>(interleaved.size()) / channels;
    const sf_count_t written = sf_writef_float(file, interleaved.data(), frames);
    const int closed = sf_close(file);
    if (written != frames || closed != 0) {
        qWarning() << "short write to" << path;
        return false;
    }
    return true;
}

bool writeSoundFile(const QString& path, const SoundFileParams& params)
{
    return writeSoundFile(path, params.format, params.rate, params.channels,
                          noiseSignal(params.frames, params.channels, params.seed));
}

bool writeWav(const QString& path, std::int64_t frames, int rate, int channels, std::uint32_t seed)
{
    return writeSoundFile(path, {rate, channels, frames, seed, SF_FORMAT_WAV | SF_FORMAT_PCM_16});
}

bool writeMp3(const QString& path, std::int64_t frames, int rate, int channels, std::uint32_t seed)
{
    return writeSoundFile(path, {rate, channels, frames, seed, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III});
}

Mp3GaplessInfo readMp3GaplessInfo(const QString& path)
{
    Mp3GaplessInfo info;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return info;
    const QByteArray head = file.read(8192);
    qsizetype tag = head.indexOf("Xing");
    if (tag < 0)
        tag = head.indexOf("Info");
    if (tag < 0 || tag + 8 > head.size())
        return info;
    info.infoTag = true;
    auto byte = [&](qsizetype i) { return i < head.size() ? static_cast<std::uint8_t>(head[i]) : 0u; };
    auto be32 = [&](qsizetype i) {
        return (std::uint32_t{byte(i)} << 24) | (std::uint32_t{byte(i + 1)} << 16) |
               (std::uint32_t{byte(i + 2)} << 8) | byte(i + 3);
    };
    const std::uint32_t flags = be32(tag + 4);
    qsizetype at = tag + 8;
    if (flags & 1) {
        info.mpegFrames = be32(at);
        at += 4;
    }
    if (flags & 2)
        at += 4;
    if (flags & 4)
        at += 100;
    if (flags & 8)
        at += 4;
    if (head.mid(at, 4) != "LAME" && head.mid(at, 4) != "Lavf")
        return info;
    info.lameTag = true;
    // The LAME extension: 9 bytes of version, then 12 bytes of levels and flags, then 24 bits holding
    // the delay and the padding, 12 bits each.
    const qsizetype gapless = at + 21;
    info.encoderDelay = static_cast<int>((byte(gapless) << 4) | (byte(gapless + 1) >> 4));
    info.padding = static_cast<int>(((byte(gapless + 1) & 0x0F) << 8) | byte(gapless + 2));
    return info;
}

std::vector<float> decodePass(qb::audio::Decoder& decoder, int chunkFrames)
{
    std::vector<float> pass;
    std::vector<float> chunk(static_cast<std::size_t>(chunkFrames) * qb::audio::kChannels);
    for (;;) {
        const int got = decoder.read(chunk.data(), chunkFrames);
        pass.insert(pass.end(), chunk.begin(), chunk.begin() + got * qb::audio::kChannels);
        if (got < chunkFrames)
            break;
    }
    return pass;
}

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

namespace {

// The Ogg page checksum: CRC-32 with the polynomial 0x04c11db7, most significant bit first, no
// reflection, computed with the checksum field zeroed.
std::uint32_t oggCrc(const QByteArray& page)
{
    std::uint32_t crc = 0;
    for (const char byte : page) {
        crc ^= static_cast<std::uint32_t>(static_cast<unsigned char>(byte)) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04c11db7u : crc << 1;
    }
    return crc;
}

void putLe32(QByteArray& bytes, int at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

} // namespace

bool chainOggFiles(const QString& path, const QStringList& links)
{
    QByteArray chain;
    std::uint32_t serial = 0x51b00000;
    for (const QString& link : links) {
        QFile file(link);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        const QByteArray bytes = file.readAll();
        ++serial;
        for (int at = 0; at < bytes.size();) {
            if (bytes.size() - at < 27 || !bytes.mid(at, 4).startsWith("OggS"))
                return false;
            const int segments = static_cast<unsigned char>(bytes[at + 26]);
            int body = 0;
            for (int i = 0; i < segments && at + 27 + i < bytes.size(); ++i)
                body += static_cast<unsigned char>(bytes[at + 27 + i]);
            QByteArray page = bytes.mid(at, 27 + segments + body);
            putLe32(page, 14, serial);
            putLe32(page, 22, 0);
            putLe32(page, 22, oggCrc(page));
            chain += page;
            at += 27 + segments + body;
        }
    }
    return writeBytes(path, chain);
}

} // namespace qb::test
