#include "sound/decode/Decoders.h"
#include "testkit/AudioFiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <cmath>
#include <dlfcn.h>
#include <mpg123.h>
#include <numbers>
#include <random>
#include <sndfile.h>
#include <unistd.h>

using namespace qb::audio;
using namespace qb::test;

namespace {

// The resamplers the decoders have set up so far: setting one up designs its filter, the costly part of
// resampling, so a decoder sets up one per rate it meets however often it meets it. Counted by a
// stand-in for libsoxr that the decoders load in its place (see initTestCase).
std::int64_t (*g_resamplerSetups)() = nullptr;

std::int64_t resamplerSetups()
{
    return g_resamplerSetups ? g_resamplerSetups() : -1;
}

constexpr float kPcm16Step = 1.0f / 32768.0f;

std::vector<float> sine(std::int64_t frames, int rate, double hz)
{
    std::vector<float> samples(static_cast<std::size_t>(frames * 2));
    for (std::int64_t i = 0; i < frames; ++i) {
        const float v =
            static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(i) / rate));
        samples[static_cast<std::size_t>(i * 2)] = v;
        samples[static_cast<std::size_t>(i * 2 + 1)] = -v;
    }
    return samples;
}

float maxDifference(const std::vector<float>& a, std::size_t aFrom, const std::vector<float>& b,
                    std::size_t count)
{
    float worst = 0.0f;
    for (std::size_t i = 0; i < count; ++i)
        worst = std::max(worst, std::fabs(a[aFrom + i] - b[i]));
    return worst;
}

std::vector<float> readFrames(Decoder& decoder, int frames)
{
    std::vector<float> out(static_cast<std::size_t>(frames) * 2);
    out.resize(static_cast<std::size_t>(std::max(decoder.read(out.data(), frames), 0)) * 2);
    return out;
}

// Bytes this process has read through read(2) and pread(2), all threads.
std::int64_t bytesReadSoFar()
{
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : io.readAll().split('\n')) {
        if (line.startsWith("rchar:"))
            return line.mid(6).trimmed().toLongLong();
    }
    return -1;
}

// The bytes of one MPEG-1 Layer III frame at `at`, or 0 when none starts there.
qsizetype mp3FrameSize(const QByteArray& bytes, qsizetype at)
{
    static constexpr int kKbps[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    static constexpr int kRates[4] = {44100, 48000, 32000, 0};
    if (at + 4 > bytes.size())
        return 0;
    const auto b1 = static_cast<std::uint8_t>(bytes[at + 1]);
    const auto b2 = static_cast<std::uint8_t>(bytes[at + 2]);
    if (static_cast<std::uint8_t>(bytes[at]) != 0xFF || (b1 & 0xFE) != 0xFA)
        return 0; // not the sync of MPEG-1 Layer III
    const int kbps = kKbps[b2 >> 4];
    const int rate = kRates[(b2 >> 2) & 3];
    if (kbps == 0 || rate == 0)
        return 0;
    return 144000 * kbps / rate + ((b2 >> 1) & 1);
}

// A long MP3 made of `copies` copies of the audio frames of a short one, behind the short one's
// Info frame with its frame count and size set to the whole stream's, or with no Info frame. Encoding
// a long file would take minutes; this takes the time of writing it. `frames`, when given, is set to
// the MPEG frames of sound in it.
QByteArray tiledMp3(const QByteArray& shortMp3, int copies, bool withInfoFrame, int* frames = nullptr)
{
    qsizetype at = 0;
    if (shortMp3.startsWith("ID3") && shortMp3.size() >= 10) {
        at = 10;
        for (int i = 6; i < 10; ++i)
            at += qsizetype(shortMp3[i] & 0x7F) << (7 * (9 - i));
    }
    const qsizetype infoSize = mp3FrameSize(shortMp3, at);
    if (infoSize == 0)
        return {};
    QByteArray info = shortMp3.mid(at, infoSize);
    const qsizetype first = at + infoSize;
    qsizetype end = first;
    int audioFrames = 0;
    while (const qsizetype size = mp3FrameSize(shortMp3, end)) {
        end += size;
        ++audioFrames;
    }
    qsizetype tag = info.indexOf("Info");
    if (tag < 0)
        tag = info.indexOf("Xing");
    if (tag < 0 || (info[tag + 7] & 3) != 3)
        return {};
    const auto setField = [&info, tag](int field, qsizetype value) {
        for (int i = 0; i < 4; ++i)
            info[tag + 8 + 4 * field + i] =
                static_cast<char>((static_cast<std::uint32_t>(value) >> (24 - 8 * i)) & 0xFF);
    };
    setField(0, qsizetype{audioFrames} * copies);
    setField(1, info.size() + (end - first) * copies);
    if (frames)
        *frames = audioFrames * copies;
    return (withInfoFrame ? info : QByteArray()) + shortMp3.mid(first, end - first).repeated(copies);
}

// An MP3 of `samples` at variable bit rate through libsndfile's LAME, at its compression `level`
// (1 is its lowest bit rate): small frames that lean on the bit reservoir of the frames before.
bool writeVbrMp3(const QString& path, int rate, const std::vector<float>& samples, double level)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    int mode = SF_BITRATE_MODE_VARIABLE;
    sf_command(file, SFC_SET_BITRATE_MODE, &mode, sizeof mode);
    sf_command(file, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
    const auto frames = static_cast<sf_count_t>(samples.size() / 2);
    const bool written = sf_writef_float(file, samples.data(), frames) == frames;
    return sf_close(file) == 0 && written;
}

// Every frame of the MP3 at `path` as libsndfile decodes it straight through, written to `wav` as
// 32-bit float WAVE at the MP3's rate.
bool straightDecodeToWav(const QString& path, const QString& wav)
{
    SF_INFO info{};
    SNDFILE* in = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!in)
        return false;
    std::vector<float> samples(static_cast<std::size_t>(info.frames * info.channels));
    const sf_count_t got = sf_readf_float(in, samples.data(), info.frames);
    sf_close(in);
    return got == info.frames && info.channels == 2 &&
           writeSoundFile(wav, SF_FORMAT_WAV | SF_FORMAT_FLOAT, info.samplerate, 2, samples);
}

// How long mpg123 takes to scan every frame of `file`, as an open that waits for the exact length does.
qint64 fullScanNanoseconds(const QString& file)
{
    QElapsedTimer timer;
    timer.start();
    mpg123_handle* handle = mpg123_new(nullptr, nullptr);
    if (!handle)
        return -1;
    mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_GAPLESS | MPG123_QUIET, 0.0);
    const bool scanned = mpg123_open(handle, QFile::encodeName(file).constData()) == MPG123_OK &&
                         mpg123_scan(handle) == MPG123_OK && mpg123_length(handle) > 0;
    mpg123_close(handle);
    mpg123_delete(handle);
    return scanned ? timer.nsecsElapsed() : -1;
}

// The length mpg123 tells for `file` before any scan: what a header says, or a guess from the size.
std::int64_t unscannedLength(const QString& file)
{
    mpg123_handle* handle = mpg123_new(nullptr, nullptr);
    if (!handle)
        return -1;
    mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_GAPLESS | MPG123_QUIET, 0.0);
    std::int64_t length = -1;
    if (mpg123_open(handle, QFile::encodeName(file).constData()) == MPG123_OK)
        length = mpg123_length(handle);
    mpg123_close(handle);
    mpg123_delete(handle);
    return length;
}

} // namespace

class AudioDecoderTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }

    // MP3 files at `rates`, `seconds` each, joined into `name`: MPEG frames stand alone, so this is one
    // stream whose rate changes at each join. Empty on failure.
    QString joinedMp3(const QString& name, const std::vector<int>& rates, double seconds = 1.0) const
    {
        const int mp3 = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
        QByteArray bytes;
        for (const int rate : rates) {
            const QString part = path(QStringLiteral("part%1.mp3").arg(rate));
            const auto frames = static_cast<std::int64_t>(rate * seconds);
            QFile file(part);
            if (!writeSoundFile(part, mp3, rate, 2, sine(frames, rate, 441.0)) ||
                !file.open(QIODevice::ReadOnly))
                return {};
            bytes += file.readAll();
        }
        return writeBytes(path(name), bytes) ? path(name) : QString();
    }

private slots:
    void initTestCase()
    {
        // Loaded before any file needs libsoxr, under its soname: the decoders' load finds it.
        void* counting = ::dlopen(QUILLBEAT_TEST_COUNTING_SOXR, RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(counting, ::dlerror());
        g_resamplerSetups =
            reinterpret_cast<std::int64_t (*)()>(::dlsym(counting, "qb_test_resampler_setups"));
        QVERIFY(g_resamplerSetups);
    }

    void stereoWavIsReadFrameForFrame()
    {
        const QString file = path("stereo.wav");
        QVERIFY(writeWav(file, 10000));
        OpenResult opened = openDecoder(file.toStdString());
        QCOMPARE(opened.error, OpenError::None);
        Decoder& decoder = *opened.decoder;
        QCOMPARE(decoder.lengthFrames(), 10000);

        const std::vector<float> expected = noiseSignal(10000, 2, 1);
        const std::vector<float> pass = decodePass(decoder, 999);
        QCOMPARE(pass.size(), expected.size());
        QVERIFY(maxDifference(pass, 0, expected, expected.size()) <= kPcm16Step);
        QCOMPARE(decoder.positionFrames(), 10000);
        float scratch[8];
        QCOMPARE(decoder.read(scratch, 4), 0);

        QVERIFY(decoder.seek(0));
        QCOMPARE(decodePass(decoder), pass);
        QVERIFY(decoder.seek(7777));
        QCOMPARE(decoder.positionFrames(), 7777);
        const std::vector<float> tail = decodePass(decoder);
        QCOMPARE(tail, std::vector<float>(pass.begin() + 7777 * 2, pass.end()));
    }

    void monoGoesToBothChannels()
    {
        const QString file = path("mono.wav");
        QVERIFY(writeSoundFile(file, {44100, 1, 3000, 5, SF_FORMAT_WAV | SF_FORMAT_FLOAT}));
        OpenResult opened = openDecoder(file.toStdString());
        QVERIFY(opened.decoder);
        const std::vector<float> pass = decodePass(*opened.decoder);
        const std::vector<float> mono = noiseSignal(3000, 1, 5);
        QCOMPARE(pass.size(), std::size_t{6000});
        for (std::size_t i = 0; i < mono.size(); ++i) {
            QCOMPARE(pass[i * 2], mono[i]);
            QCOMPARE(pass[i * 2 + 1], mono[i]);
        }
    }

    void moreThanTwoChannelsKeepTheFirstTwo()
    {
        const QString file = path("quad.wav");
        QVERIFY(writeSoundFile(file, {44100, 4, 2000, 9, SF_FORMAT_WAV | SF_FORMAT_FLOAT}));
        OpenResult opened = openDecoder(file.toStdString());
        QVERIFY(opened.decoder);
        const std::vector<float> pass = decodePass(*opened.decoder);
        const std::vector<float> quad = noiseSignal(2000, 4, 9);
        QCOMPARE(pass.size(), std::size_t{4000});
        for (std::size_t i = 0; i < 2000; ++i) {
            QCOMPARE(pass[i * 2], quad[i * 4]);
            QCOMPARE(pass[i * 2 + 1], quad[i * 4 + 1]);
        }
    }

    void otherRatesAreResampled_data()
    {
        QTest::addColumn<int>("rate");
        QTest::newRow("22050") << 22050;
        QTest::newRow("32000") << 32000;
        QTest::newRow("48000") << 48000;
        QTest::newRow("96000") << 96000;
    }
    void otherRatesAreResampled()
    {
        QFETCH(int, rate);
        const std::int64_t frames = rate; // one second
        const QString file = path(QStringLiteral("sine%1.wav").arg(rate));
        QVERIFY(writeSoundFile(file, SF_FORMAT_WAV | SF_FORMAT_FLOAT, rate, 2, sine(frames, rate, 441.0)));
        OpenResult opened = openDecoder(file.toStdString());
        QVERIFY(opened.decoder);
        Decoder& decoder = *opened.decoder;
        QCOMPARE(decoder.lengthFrames(), 44100);
        const std::vector<float> pass = decodePass(decoder, 777);
        QCOMPARE(pass.size(), std::size_t{44100 * 2});
        // The same tone at the engine's rate, away from the first and last frames.
        const std::vector<float> expected = sine(44100, 44100, 441.0);
        QVERIFY2(maxDifference(pass, 200, expected, 2 * 44100 - 400) < 2e-3f,
                 qPrintable(QString::number(maxDifference(pass, 200, expected, 2 * 44100 - 400))));

        // Seeking lands on exactly the frames a straight read gave.
        QVERIFY(decoder.seek(12345));
        QCOMPARE(readFrames(decoder, 500),
                 std::vector<float>(pass.begin() + 12345 * 2, pass.begin() + 12845 * 2));
        // The next pass joins the previous one: the seam sounds like the middle of the tone.
        QVERIFY(decoder.seek(0));
        const std::vector<float> second = decodePass(decoder);
        QCOMPARE(second.size(), pass.size());
        QCOMPARE(std::vector<float>(second.begin() + 8, second.end()),
                 std::vector<float>(pass.begin() + 8, pass.end()));
    }

    void flacAndOggOpen_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("format");
        QTest::newRow("flac") << "a.flac" << (SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
        QTest::newRow("ogg") << "a.ogg" << (SF_FORMAT_OGG | SF_FORMAT_VORBIS);
        QTest::newRow("opus") << "a.opus" << (SF_FORMAT_OGG | SF_FORMAT_OPUS);
    }
    void flacAndOggOpen()
    {
        QFETCH(QString, name);
        QFETCH(int, format);
        const int rate = format == (SF_FORMAT_OGG | SF_FORMAT_OPUS) ? 48000 : 44100;
        QVERIFY(writeSoundFile(path(name), format, rate, 2, sine(rate, rate, 441.0)));
        OpenResult opened = openDecoder(path(name).toStdString());
        QVERIFY2(opened.decoder, opened.message.c_str());
        const std::vector<float> pass = decodePass(*opened.decoder);
        QVERIFY(std::llabs(static_cast<long long>(pass.size() / 2) - 44100) < 2000);
        QCOMPARE(static_cast<std::int64_t>(pass.size() / 2), opened.decoder->lengthFrames());
    }

    // A chained Ogg stream (links one after the other, as stream dumps are) plays whole: every link in
    // turn, a link at another rate resampled and a mono one on both sides; the length is the sum of the
    // links, and the next pass starts again with the first link.
    void chainedOggPlaysEveryLink_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QList<int>>("rates");
        QTest::newRow("vorbis") << (SF_FORMAT_OGG | SF_FORMAT_VORBIS) << QList<int>{44100, 22050, 44100};
        QTest::newRow("opus") << (SF_FORMAT_OGG | SF_FORMAT_OPUS) << QList<int>{48000, 48000, 48000};
    }
    void chainedOggPlaysEveryLink()
    {
        QFETCH(int, format);
        QFETCH(QList<int>, rates);
        const double seconds[] = {0.3, 0.2, 0.25};
        const double hz[] = {441.0, 882.0, 1764.0};
        const int channels[] = {2, 1, 2};
        QStringList links;
        std::int64_t expected = 0;
        for (int i = 0; i < 3; ++i) {
            const auto frames = static_cast<std::int64_t>(std::lround(seconds[i] * rates[i]));
            std::vector<float> tone = sine(frames, rates[i], hz[i]);
            if (channels[i] == 1) {
                for (std::int64_t f = 0; f < frames; ++f)
                    tone[static_cast<std::size_t>(f)] = tone[static_cast<std::size_t>(f * 2)];
                tone.resize(static_cast<std::size_t>(frames));
            }
            links << path(QStringLiteral("link%1.ogg").arg(i));
            QVERIFY(writeSoundFile(links.last(), format, rates[i], channels[i], tone));
            expected += static_cast<std::int64_t>(std::lround(seconds[i] * 44100));
        }
        const QString chain = path(QStringLiteral("chain.ogg"));
        QVERIFY(chainOggFiles(chain, links));

        OpenResult opened = openDecoder(chain.toStdString());
        QVERIFY2(opened.decoder, opened.message.c_str());
        Decoder& decoder = *opened.decoder;
        QCOMPARE(decoder.lengthFrames(), expected);
        const std::vector<float> pass = decodePass(decoder);
        QCOMPARE(static_cast<std::int64_t>(pass.size() / 2), expected);
        // Each link where it belongs: its tone's zero crossings, in 2,000 frames from its middle.
        std::int64_t start = 0;
        for (int i = 0; i < 3; ++i) {
            const auto length = static_cast<std::int64_t>(std::lround(seconds[i] * 44100));
            const std::int64_t from = start + length / 2 - 1000;
            int crossings = 0;
            for (std::int64_t f = from + 1; f < from + 2000; ++f)
                crossings += static_cast<int>((pass[static_cast<std::size_t>(f * 2)] < 0) !=
                                              (pass[static_cast<std::size_t>(f * 2 - 2)] < 0));
            const double heard = crossings * 44100.0 / 2.0 / 2000.0;
            QVERIFY2(std::fabs(heard - hz[i]) < 0.05 * hz[i],
                     qPrintable(QStringLiteral("link %1: %2 Hz").arg(i).arg(heard)));
            start += length;
        }
        // The last link from a seek, as the pass played it; then the first link again.
        const std::int64_t into = expected - 5000;
        QVERIFY(decoder.seek(into));
        const std::vector<float> last = readFrames(decoder, 1000);
        QCOMPARE(last.size(), std::size_t{2000});
        QVERIFY(maxDifference(pass, static_cast<std::size_t>(into * 2), last, last.size()) < 0.01f);
        QVERIFY(decoder.seek(0));
        const std::vector<float> first = readFrames(decoder, 1000);
        QCOMPARE(first.size(), std::size_t{2000});
        QVERIFY(maxDifference(pass, 0, first, first.size()) < 0.01f);
    }

    // A chain longer than the player opens is refused from its pages alone, naming the limit, before a
    // library reads its headers (thousands of them).
    void aChainOfTooManyLinksIsRefusedNamingTheLimit()
    {
        const QString link = path(QStringLiteral("tiny.ogg"));
        QVERIFY(
            writeSoundFile(link, SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, 1, std::vector<float>(441, 0.1f)));
        const QString chain = path(QStringLiteral("long chain.ogg"));
        QVERIFY(chainOggFiles(chain, QStringList(4097, link)));
        const OpenResult opened = openDecoder(chain.toStdString());
        QCOMPARE(opened.error, OpenError::InvalidFile);
        QVERIFY2(opened.message.find("more than 4096 links") != std::string::npos, opened.message.c_str());
    }

    // A chain whose later link is not Vorbis (an Opus link after a Vorbis one) is refused whole
    // (libvorbisfile refuses it), as damaged rather than as a file that is not Vorbis.
    void aChainWithALinkOfAnotherCodecIsRefused()
    {
        const QString vorbis = path(QStringLiteral("vorbis link.ogg"));
        const QString opus = path(QStringLiteral("opus link.ogg"));
        QVERIFY(writeSoundFile(vorbis, SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, 2, sine(4410, 44100, 441.0)));
        QVERIFY(writeSoundFile(opus, SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000, 2, sine(4800, 48000, 441.0)));
        const QString chain = path(QStringLiteral("mixed chain.ogg"));
        QVERIFY(chainOggFiles(chain, {vorbis, opus}));
        const OpenResult opened = openDecoder(chain.toStdString());
        QCOMPARE(opened.error, OpenError::InvalidFile);
        QVERIFY2(opened.message.find("damaged or unreadable Ogg Vorbis") != std::string::npos,
                 opened.message.c_str());
    }

    // A loop found while the file plays: before the pass reaches the loop's end it plays in this pass;
    // after, the pass ends with the file and the next pass, which starts with a seek, plays it.
    void aLoopFoundLatePlaysFromTheNextPass()
    {
        const QString file = path(QStringLiteral("late.wav"));
        QVERIFY(writeSoundFile(file, {44100, 2, 20000, 3, SF_FORMAT_WAV | SF_FORMAT_FLOAT}));
        const std::vector<float> noise = noiseSignal(20000, 2, 3);
        auto slot = std::make_shared<LoopSlot>();
        std::unique_ptr<Decoder> decoder = playingFoundLoop(openDecoder(file.toStdString()).decoder, slot);
        QVERIFY(decoder);
        QCOMPARE(readFrames(*decoder, 15000).size(), std::size_t{30000});
        slot->set({5000, 12000, "found"});
        // Past the loop's end already: this pass plays on to the end of the file.
        const std::vector<float> rest = decodePass(*decoder);
        QCOMPARE(rest.size(), std::size_t{10000});
        QCOMPARE(decoder->foldPosition(16000), std::int64_t{16000});
        QVERIFY(decoder->seek(0));
        const std::vector<float> next = readFrames(*decoder, 19000);
        QCOMPARE(next.size(), std::size_t{38000});
        QCOMPARE(maxDifference(noise, 0, next, 24000), 0.0f);
        QCOMPARE(maxDifference(noise, 10000, std::vector<float>(next.begin() + 24000, next.end()), 14000),
                 0.0f);
        QCOMPARE(decoder->lengthFrames(), std::int64_t{12000});
        QCOMPARE(decoder->foldPosition(16000), std::int64_t{9000});
    }

    void mp3IsGapless()
    {
        const QString file = path("noise.mp3");
        const std::int64_t frames = 3 * 44100 + 123;
        QVERIFY(writeMp3(file, frames));
        const Mp3GaplessInfo info = readMp3GaplessInfo(file);
        qInfo("libsndfile's MP3: Info/Xing tag %d, LAME tag %d, encoder delay %d, padding %d", info.infoTag,
              info.lameTag, info.encoderDelay, info.padding);
        QVERIFY(info.infoTag);
        QVERIFY(info.lameTag);

        OpenResult opened = openDecoder(file.toStdString());
        QVERIFY2(opened.decoder, opened.message.c_str());
        Decoder& decoder = *opened.decoder;
        QCOMPARE(decoder.lengthFrames(), frames);
        const std::vector<float> pass = decodePass(decoder, 1000);
        QCOMPARE(static_cast<std::int64_t>(pass.size() / 2), frames);

        // The decoded music starts at frame 0: the encoder delay is gone. Lossy, so compare loosely:
        // the correlation with the signal that went in, at no shift, is high.
        const std::vector<float> input = noiseSignal(frames, 2, 1);
        double dot = 0;
        double energy = 0;
        for (std::size_t i = 0; i < input.size(); ++i) {
            dot += double(input[i]) * pass[i];
            energy += double(input[i]) * input[i];
        }
        QVERIFY2(dot / energy > 0.8, qPrintable(QString::number(dot / energy)));

        // Seeking is sample-accurate and a new pass is the same as the first.
        for (std::int64_t at :
             {std::int64_t{0}, std::int64_t{1}, std::int64_t{1151}, std::int64_t{44100}, frames - 600}) {
            QVERIFY(decoder.seek(at));
            QCOMPARE(decoder.positionFrames(), at);
            QCOMPARE(readFrames(decoder, 500),
                     std::vector<float>(pass.begin() + at * 2, pass.begin() + (at + 500) * 2));
        }
        QVERIFY(decoder.seek(0));
        QCOMPARE(decodePass(decoder, 4096), pass);
    }

    void longMp3OpensWithoutScanningIt_data()
    {
        QTest::addColumn<bool>("withInfoFrame");
        QTest::newRow("Info header") << true;
        QTest::newRow("no header") << false;
    }

    // The open takes the length from the Info header, or estimates it, and leaves any full scan to
    // the background: it costs a small part of what scanning the file takes, however long the file.
    void longMp3OpensWithoutScanningIt()
    {
        QFETCH(bool, withInfoFrame);
        const QString shortFile = path("tile.mp3");
        QVERIFY(writeMp3(shortFile, 10 * 44100));
        QFile in(shortFile);
        QVERIFY(in.open(QIODevice::ReadOnly));
        // About half an hour of sound.
        const QByteArray longMp3 = tiledMp3(in.readAll(), 180, withInfoFrame);
        QVERIFY(!longMp3.isEmpty());
        const QString file = path("long.mp3");
        QVERIFY(writeBytes(file, longMp3));

        const qint64 scan = fullScanNanoseconds(file);
        QVERIFY(scan > 0);
        QElapsedTimer timer;
        timer.start();
        OpenResult opened = openDecoder(file.toStdString());
        const qint64 open = timer.nsecsElapsed();
        QVERIFY2(opened.decoder, opened.message.c_str());
        qInfo("full scan %.1f ms, open %.1f ms", double(scan) / 1e6, double(open) / 1e6);
        QVERIFY2(open * 4 <= scan, qPrintable(QStringLiteral("open %1 ms, full scan %2 ms")
                                                  .arg(double(open) / 1e6)
                                                  .arg(double(scan) / 1e6)));
        QVERIFY(opened.decoder->lengthFrames() > 30 * 60 * 44100 - 44100);
        QCOMPARE(readFrames(*opened.decoder, 4410).size(), std::size_t{4410 * 2});
        // Closing does not wait for the scan either.
        timer.restart();
        opened.decoder.reset();
        const qint64 close = timer.nsecsElapsed();
        QVERIFY2(close * 4 <= scan, qPrintable(QStringLiteral("close %1 ms, full scan %2 ms")
                                                   .arg(double(close) / 1e6)
                                                   .arg(double(scan) / 1e6)));
    }

    void backgroundScanGivesTheExactLength_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("no header, bytes after the sound") << "trailing";
        QTest::newRow("no header, variable bit rate") << "vbr";
        QTest::newRow("header of a file cut short") << "cut";
    }

    // Where no header gives the length (none, or one that announces more than the file holds), the
    // open estimates it from the file's size; the background scan then gives the exact one, without
    // any read waiting for it. The estimate is no bound: a VBR file whose first frames are small plays
    // whole, far beyond it.
    void backgroundScanGivesTheExactLength()
    {
        QFETCH(QString, kind);
        const QString shortFile = path("scan-tile.mp3");
        int mpegFrames = 0;
        QByteArray bytes;
        if (kind == "vbr") {
            // Quiet at first, loud at the end: the first frames are the smallest.
            std::vector<float> samples = sine(5 * 44100, 44100, 441.0);
            for (std::size_t i = 0; i < samples.size(); ++i)
                samples[i] *= static_cast<float>(i) / static_cast<float>(samples.size());
            QVERIFY(writeVbrMp3(shortFile, 44100, samples, 0.5));
        } else {
            QVERIFY(writeMp3(shortFile, 2 * 44100));
        }
        QFile in(shortFile);
        QVERIFY(in.open(QIODevice::ReadOnly));
        if (kind == "cut")
            bytes = in.readAll().first(in.size() / 3);
        else
            bytes = tiledMp3(in.readAll(), 3, false, &mpegFrames) +
                    (kind == "trailing" ? QByteArray(65536, '\0') : "");
        const QString file = path("scanned.mp3");
        QVERIFY(writeBytes(file, bytes));

        OpenResult other = openDecoder(file.toStdString());
        QVERIFY2(other.decoder, other.message.c_str());
        const auto pass = static_cast<std::int64_t>(decodePass(*other.decoder).size() / 2);
        if (kind == "vbr")
            QCOMPARE(pass, std::int64_t{mpegFrames} * 1152); // every frame, none of them trimmed
        // What the open can know without a scan is wrong for this file (read from mpg123 itself: the
        // decoder's own first answer may already be the scanned one on a slow machine).
        QVERIFY2(unscannedLength(file) != pass, "the estimate happens to be exact: nothing to correct");

        OpenResult opened = openDecoder(file.toStdString());
        QVERIFY2(opened.decoder, opened.message.c_str());
        if (kind == "cut") {
            // mpg123's scan of a stream cut short counts the encoder delay that its decoding cuts (1105
            // frames here); the header's length, three times the sound, is what libsndfile would give.
            QTRY_VERIFY2(std::abs(opened.decoder->lengthFrames() - pass) <= 2 * 1152,
                         qPrintable(QString::number(opened.decoder->lengthFrames())));
        } else {
            QTRY_COMPARE(opened.decoder->lengthFrames(), pass);
        }
        QCOMPARE(static_cast<std::int64_t>(decodePass(*opened.decoder).size() / 2), pass);
        QCOMPARE(opened.decoder->lengthFrames(), pass);
    }

    void mp3AtAnotherRateIsResampled()
    {
        const QString file = path("noise48.mp3");
        QVERIFY(writeMp3(file, 48000, 48000));
        OpenResult opened = openDecoder(file.toStdString());
        QVERIFY2(opened.decoder, opened.message.c_str());
        QCOMPARE(opened.decoder->lengthFrames(), 44100);
        QCOMPARE(decodePass(*opened.decoder).size(), std::size_t{44100 * 2});
    }

    void joinedMp3PlaysEveryPartGaplessly_data()
    {
        QTest::addColumn<int>("secondRate");
        QTest::newRow("one rate") << 44100;
        QTest::newRow("two rates") << 22050;
    }

    // Files joined into one (each with its own Info frame, encoder delay and padding): every part plays,
    // each at its own rate and gapless, one running into the next as the tone they share does.
    void joinedMp3PlaysEveryPartGaplessly()
    {
        QFETCH(int, secondRate);
        const QString joined = joinedMp3(QStringLiteral("joined.mp3"), {44100, secondRate});
        QVERIFY(!joined.isEmpty());

        OpenResult opened = openDecoder(joined.toStdString());
        QVERIFY2(opened.decoder, opened.message.c_str());
        QCOMPARE(opened.decoder->lengthFrames(), 88200); // one second each, known at the open
        const std::vector<float> pass = decodePass(*opened.decoder, 1000);
        QCOMPARE(pass.size(), std::size_t{88200 * 2});

        // The same tone in both parts: 882 zero crossings a second. Played at the wrong rate, the
        // second part would cross twice as often.
        auto crossingsPerSecond = [&pass](std::int64_t from, std::int64_t to) {
            int crossings = 0;
            for (std::int64_t i = from + 1; i < to; ++i)
                crossings += (pass[static_cast<std::size_t>(i * 2)] >= 0.0f) !=
                             (pass[static_cast<std::size_t>((i - 1) * 2)] >= 0.0f);
            return crossings * 44100.0 / static_cast<double>(to - from);
        };
        const double firstPart = crossingsPerSecond(4410, 39690);
        const double secondPart = crossingsPerSecond(88200 - 39690, 88200 - 4410);
        QVERIFY2(std::fabs(firstPart - 882.0) < 10.0, qPrintable(QString::number(firstPart)));
        QVERIFY2(std::fabs(secondPart - 882.0) < 10.0, qPrintable(QString::number(secondPart)));
        // A whole number of periods each: the tone runs on across the join, where a frame of silence
        // (the second file's Info frame, its delay or the first one's padding) would show.
        const std::vector<float> tone = sine(88200, 44100, 441.0);
        const float atJoin = maxDifference(
            pass, 43000 * 2, std::vector<float>(tone.begin() + 43000 * 2, tone.end()), 3000 * 2);
        QVERIFY2(atJoin < 0.05f, qPrintable(QString::number(atJoin)));

        // A position in the second part is reached as a straight read reaches it.
        QVERIFY(opened.decoder->seek(60000));
        QCOMPARE(readFrames(*opened.decoder, 500),
                 std::vector<float>(pass.begin() + 60000 * 2, pass.begin() + 60500 * 2));
    }

    void lowBitRateMp3SeeksLandOnTheSound_data()
    {
        QTest::addColumn<int>("rate");
        QTest::addColumn<double>("level");
        QTest::newRow("44100 Hz") << 44100 << 0.5;
        QTest::newRow("48000 Hz, resampled") << 48000 << 0.5;
        QTest::newRow("22050 Hz, resampled, lowest bit rate") << 22050 << 1.0;
    }

    // A quiet tone at a low variable bit rate: frames so small that their data lies in the frames
    // before. A seek (the resampler's every two seconds, a resume, a new pass) still gives the sound
    // a straight decode gives, not the silence of a frame decoded without its data.
    void lowBitRateMp3SeeksLandOnTheSound()
    {
        QFETCH(int, rate);
        QFETCH(double, level);
        const QString file = path(QStringLiteral("thin%1.mp3").arg(rate));
        std::vector<float> samples = sine(6 * rate, rate, 441.0);
        for (float& sample : samples)
            sample *= 0.2f;
        QVERIFY(writeVbrMp3(file, rate, samples, level));
        const QString straight = path(QStringLiteral("thin%1.wav").arg(rate));
        QVERIFY(straightDecodeToWav(file, straight));
        OpenResult reference = openDecoder(straight.toStdString());
        QVERIFY(reference.decoder);
        const std::vector<float> expected = decodePass(*reference.decoder);

        OpenResult opened = openDecoder(file.toStdString());
        QVERIFY2(opened.decoder, opened.message.c_str());
        Decoder& decoder = *opened.decoder;
        const std::vector<float> pass = decodePass(decoder);
        QCOMPARE(pass.size(), expected.size());
        // mpg123 decodes MPEG-2 after a seek within 3e-7 of a straight decode; a frame decoded
        // without its data is off by the tone's whole amplitude.
        constexpr float kSame = 1e-5f;
        QVERIFY2(maxDifference(pass, 0, expected, expected.size()) < kSame,
                 qPrintable(QString::number(maxDifference(pass, 0, expected, expected.size()))));
        const auto frames = static_cast<std::int64_t>(pass.size() / 2);
        for (const std::int64_t at : {std::int64_t{1}, std::int64_t{33333}, frames / 2, frames - 700}) {
            QVERIFY(decoder.seek(at));
            const std::vector<float> read = readFrames(decoder, 500);
            QCOMPARE(read.size(), std::size_t{1000});
            QVERIFY2(maxDifference(pass, static_cast<std::size_t>(at * 2), read, read.size()) < kSame,
                     qPrintable(
                         QStringLiteral("at %1: %2")
                             .arg(at)
                             .arg(maxDifference(pass, static_cast<std::size_t>(at * 2), read, read.size()))));
        }
    }

    void damagedResampledMp3EndsItsPassShortOfItsHeader()
    {
        // Found by the MP3 fuzzer: MPEG frames at another rate whose decoding stops short of the
        // length the stream announced. Reading and seeking must end the pass there, not spin on a
        // source that gives nothing, nor hand the resampler a negative count.
        const QByteArray bytes = QByteArray::fromBase64(
            "//"
            "OAxAAAAAAAAAAAAFhpbmcAAAAPAAAABgAABUsAUVFRUVFRUVFRUcHLBly2I0MpjTDRgoTJmlKJtYNJrpKZpAFgCBM7qgcxIO"
            "4y"
            "yPAzRFswyA0ECXBgApGeweZkBBtesGiTmY3qQ0LQgFGHAQaYQZldACA7mNTIYnCpgwJF+"
            "GVyOSGDi6ZKGBlcVmSRYYmIYUCxhxAm"
            "JieylAeJAtdlKZYLZhUsGIS8YzHpkwcGCAQFQqYBBSTpgccP/ATBFeP/Ufwy0KzMZMMUE8xkaTEh//"
            "MgxOsFCD7nAc8AATDJpLMf"
            "gowGFC/5ACFMW5AgLgAGwS47N4cp3fkj8N4ZSGJikZGLyv/zEMT9BaBW4wFRAADGDSKY2IQcVTI4cMUB//"
            "PQxPN6hBaKX53gKPMW"
            "EtHg/"
            "wMAALAJdp2QqDASBk5yUDWZfSO5JX7e+cl79xyKQifMBFgx2WRYtmWAyY9Dhj8tDJRMVFIw4ADJ4AgKBQDADAaMCMBp4hgG"
            "93jAAAhMH0H4wMiDzAeAqMkoY6DgsBsYq4GhgZgbGkGBgYMQARgtgNM5AQ4GggACALwWPg3N4fsGWgyMGyioCFuMaKBFAkOH"
            "KJcc"
            "0mfHOGWJkipATxeMnMflIixFjEul0yRZJTor/l4mjEul0yLxeR///LpdMi8XkS6ipJJaP///+XTIvF5EumqkklotS/////"
            "+rXpLm"
            "KSRkiiYpJGT4AFWgAA+Xvw+xjcJmAjhgtGxuU1X4AFTAAATcuWM1rTLhUBcBy5QN//"
            "OAxOAt+27LH56SYBDWfQVDgcDMbqNWuSOR"
            "yl0JhE8LBsZUCmZqmAbBywZctiNDKY0w0YKEyZpSibWDSa6SmaQBYAgTO6oHMSDuMsjwM0RbMMgNBAlwYAKRnsHmZAQbXrBo"
            "k5mN"
            "6kNC0IBRhwEGmEGZXQAgO5jUyGJwqYMCRfhlcjkhg4umShgZXFZkkWGJiGFAsYcQJiYnspQHiQLXZSmWC2YVLBiEvGMx6ZMH"
            "BggE"
            "BUKmAQUk6YHHD/wEwRXj/1H8MtCszGTDFBPMZGkxIf/"
            "zIMTrBQg+5wHPAAEwyaSzH4KMBhQv+QAhTFuQIC4ABsEuOzeHKd35I/De"
            "GUhiYpGRi8r/8xDE/QWgVuMBUQAAxg0imNiEHFUyOHDFAf/"
            "z0MTzeoQWil+d4CjzFhLR4P8DAACwCXadkKgwEgZOclA1mX0juSV+"
            "3vnJe/ccikInzARYMdlkWLZlgMmPQ4Y/LQyUTFRSMOAAyeBjHQNMeFERkqXKqpyvoqjdnWBK3Putqao6SKTc/"
            "R3qeLzFiiv0kUr2"
            "zD5NMIg0IRoGORjkjAAimEiMYEChMgho2mNh+YJIBgchg0NhxwFjW+rgyhnszYhpwptn0qtxl2Zhut/G3L6mGOVicr9y//"
            "OQZG8r"
            "BhMKAQMiAMEAGDhOJCQwgETAIUHQuSAsHBwIE5hEGGBAmWAoMgwDBsFCAwcCTA4QHAnKbFM+"
            "023aJU9mGZhusRpL8NXW5Q1T2ExB"
            "TUUzLjEwMFVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVV"
            "VVVV"
            "VVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVbKUB4kC12UplgtmFSwYhLxj"
            "MemT"
            "BwYIBAVCpgEFJOmBxw/8BMEV4/9R/DLQrMxkwxQTzGRpMSH/"
            "8yDE6wUIPucBzwABMMmks1VVVVVVVVVVVVVVVVVVVVVVVVVVVVVV"
            "VVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVVf/zEMTSAAAD/"
            "AHAAABVVVVVVVVV"
            "VVVVVVVV");
        const QString file = path(QStringLiteral("damaged.mp3"));
        QVERIFY(writeBytes(file, bytes));
        auto opened = qb::audio::openDecoder(file.toStdString());
        QVERIFY(opened.decoder);
        Decoder& decoder = *opened.decoder;
        std::vector<float> buffer(64 * 2);
        auto readPass = [&] {
            for (int i = 0; i < 100000; ++i) {
                if (decoder.read(buffer.data(), 64) < 64)
                    return true;
            }
            return false;
        };
        QVERIFY(readPass());
        const std::int64_t length = decoder.lengthFrames();
        QVERIFY(decoder.positionFrames() <= length);
        QVERIFY(decoder.seek(length > 0 ? length / 2 : 0));
        QVERIFY(readPass());
        QVERIFY(decoder.positionFrames() <= decoder.lengthFrames());
    }

    void badFiles_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("expected");
        QByteArray random;
        std::mt19937 engine(42);
        for (int i = 0; i < 65536; ++i)
            random.append(static_cast<char>(engine() & 0xFF));
        const int invalid = static_cast<int>(OpenError::InvalidFile);
        QTest::newRow("empty wav") << "empty.wav" << QByteArray() << invalid;
        QTest::newRow("empty mp3") << "empty.mp3" << QByteArray() << invalid;
        QTest::newRow("random wav") << "random.wav" << random << invalid;
        QTest::newRow("random mp3") << "random.mp3" << random << invalid;
        QTest::newRow("text mp3") << "text.mp3" << QByteArray("hello, this is not sound\n").repeated(100)
                                  << invalid;
        QTest::newRow("riff header only")
            << "riff.wav" << QByteArray("RIFF\x24\x00\x00\x00WAVEfmt ", 16) << invalid;
        QTest::newRow("id3 header only")
            << "id3.mp3" << QByteArray("ID3\x03\x00\x00\x00\x00\x00\x10", 10) << invalid;
        // Found by the WAVE fuzzer: a LIST chunk before the data that claims 1.3 GB of a 144-byte file.
        // libsndfile 1.2.0's sf_open_fd never returns on it.
        QTest::newRow("chunk past the end")
            << "list.wav"
            << QByteArray::fromHex(
                   "52494646b401000057415645666d74201000000001000100489f0600803e000002000c004c495354464f52"
                   "4d00000031000000005858ffffefffffffffffffffffffff006461746190feff01000000000100004c4953"
                   "54464f524d00000031000000005858ffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
                   "ffffffffffffffffffffffffffffffffdddddd11")
            << invalid;
        // The same fault made as small as it goes (60 bytes): a LIST chunk of 1.3 GB, no data chunk.
        QTest::newRow("chunk past the end, smallest")
            << "list-small.wav"
            << QByteArray::fromHex("524946460000000057415645666d7420100000000100000000000000000000000000"
                                   "00004c4953540000004d0000003100000000000000ffefffffff")
            << invalid;
        QTest::newRow("no data chunk")
            << "nodata.wav"
            << QByteArray::fromHex("524946461c00000057415645666d74201000000001000200"
                                   "44ac000010b1020004001000")
            << invalid;
    }

    void chunksThatAddUpOpen_data()
    {
        QTest::addColumn<QByteArray>("before"); // a chunk put before the sound data
        QTest::addColumn<int>("cut");           // bytes cut from the end of the file
        QTest::newRow("odd chunk, padded") << QByteArray::fromHex("4c4953540300000061626300") << 0;
        QTest::newRow("sound data cut short") << QByteArray() << 1000;
    }
    void chunksThatAddUpOpen()
    {
        QFETCH(QByteArray, before);
        QFETCH(int, cut);
        QVERIFY(writeWav(path("whole.wav"), 4410));
        QFile whole(path("whole.wav"));
        QVERIFY(whole.open(QIODevice::ReadOnly));
        QByteArray bytes = whole.readAll();
        const qsizetype data = bytes.indexOf("data");
        QVERIFY(data > 12);
        bytes.insert(data, before);
        bytes.chop(cut);
        QVERIFY(writeBytes(path("chunks.wav"), bytes));
        const OpenResult result = openDecoder(path("chunks.wav").toStdString());
        QVERIFY2(result.decoder, result.message.c_str());
        QVERIFY(result.decoder->lengthFrames() > 0);
    }
    void badFiles()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(int, expected);
        QVERIFY(writeBytes(path(name), bytes));
        const OpenResult result = openDecoder(path(name).toStdString());
        QCOMPARE(static_cast<int>(result.error), expected);
        QVERIFY(!result.decoder);
        QVERIFY(!result.message.empty());
    }

    void truncatedHeaders_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("keep");
        QTest::newRow("wav 12") << "cut.wav" << 12;
        QTest::newRow("wav 30") << "cut.wav" << 30;
        QTest::newRow("mp3 3") << "cut.mp3" << 3;
        QTest::newRow("mp3 100") << "cut.mp3" << 100;
    }
    void truncatedHeaders()
    {
        QFETCH(QString, name);
        QFETCH(int, keep);
        const bool mp3 = name.endsWith(".mp3");
        const QString whole = path("whole-" + name);
        QVERIFY(mp3 ? writeMp3(whole, 44100) : writeWav(whole, 44100));
        QFile in(whole);
        QVERIFY(in.open(QIODevice::ReadOnly));
        QVERIFY(writeBytes(path(name), in.read(keep)));
        const OpenResult result = openDecoder(path(name).toStdString());
        QCOMPARE(result.error, OpenError::InvalidFile);
    }

    void missingFolderAndUnreadable_data()
    {
        QTest::addColumn<bool>("mp3");
        QTest::newRow("wav") << false;
        QTest::newRow("mp3") << true;
    }
    void missingFolderAndUnreadable()
    {
        QFETCH(bool, mp3);
        const auto open = [](const std::string& file) { return openDecoder(file); };
        const QString ext = mp3 ? ".mp3" : ".wav";
        QCOMPARE(open(path("missing" + ext).toStdString()).error, OpenError::FileNotFound);
        QVERIFY(QDir(m_dir.path()).mkdir("x" + ext));
        QCOMPARE(open(path("x" + ext).toStdString()).error, OpenError::FileNotFound);

        if (::geteuid() == 0)
            QSKIP("root reads every file: audio_decoder_test_unprivileged tries this as another user");
        const QString locked = path("locked" + ext);
        QVERIFY(mp3 ? writeMp3(locked, 4410) : writeWav(locked, 4410));
        QVERIFY(QFile::setPermissions(locked, {}));
        QCOMPARE(open(locked.toStdString()).error, OpenError::FileNotFound);
    }

    void fileDeletedWhileOpenKeepsPlaying_data()
    {
        QTest::addColumn<bool>("mp3");
        QTest::newRow("wav") << false;
        QTest::newRow("mp3") << true;
    }
    void fileDeletedWhileOpenKeepsPlaying()
    {
        QFETCH(bool, mp3);
        const QString file = path(mp3 ? "deleted.mp3" : "deleted.wav");
        QVERIFY(mp3 ? writeMp3(file, 20000) : writeWav(file, 20000));
        OpenResult opened = openDecoder(file.toStdString());
        QVERIFY(opened.decoder);
        const std::vector<float> first = readFrames(*opened.decoder, 5000);
        QVERIFY(QFile::remove(file));
        const std::vector<float> rest = decodePass(*opened.decoder);
        QCOMPARE(static_cast<std::int64_t>((first.size() + rest.size()) / 2), 20000);
        QVERIFY(opened.decoder->seek(0));
        QCOMPARE(readFrames(*opened.decoder, 5000), first);
    }

    void fileTruncatedWhileOpenEndsThePass_data()
    {
        QTest::addColumn<bool>("mp3");
        QTest::newRow("wav") << false;
        QTest::newRow("mp3") << true;
    }
    void fileTruncatedWhileOpenEndsThePass()
    {
        QFETCH(bool, mp3);
        const QString file = path(mp3 ? "truncated.mp3" : "truncated.wav");
        QVERIFY(mp3 ? writeMp3(file, 88200) : writeWav(file, 88200));
        OpenResult opened = openDecoder(file.toStdString());
        QVERIFY(opened.decoder);
        Decoder& decoder = *opened.decoder;
        readFrames(decoder, 1000);
        QVERIFY(QFile::resize(file, QFileInfo(file).size() / 3));
        const std::int64_t played = 1000 + static_cast<std::int64_t>(decodePass(decoder).size() / 2);
        QVERIFY(played < 88200);
        // The pass that met the new end made it the length.
        QCOMPARE(decoder.lengthFrames(), played);
        // Whatever is left still plays from the start.
        QVERIFY(decoder.seek(0));
        QCOMPARE(readFrames(decoder, 100).size(), std::size_t(200));
        // A seek past the new end stops there, and the pass ends at once.
        decoder.seek(80000);
        QCOMPARE(decoder.positionFrames(), played);
        float scratch[2 * 64];
        QCOMPARE(decoder.read(scratch, 64), 0);
        QCOMPARE(decoder.lengthFrames(), played);
    }

    void streamThatKeepsSwitchingRatesSetsUpOneResamplerPerRate()
    {
        // Twenty joins between 48 and 22.05 kHz: each part was given a resampler of its own, and a seek
        // past the first join decodes from the start, so every pass and seek set up twenty again.
        std::vector<int> rates;
        for (int i = 0; i < 21; ++i)
            rates.push_back(i % 2 == 0 ? 48000 : 22050);
        const QString file = joinedMp3(QStringLiteral("switching.mp3"), rates, 0.1);
        QVERIFY(!file.isEmpty());
        OpenResult opened = openDecoder(file.toStdString());
        QVERIFY2(opened.decoder, opened.message.c_str());
        const std::int64_t before = resamplerSetups();
        decodePass(*opened.decoder, 1000);
        QVERIFY(opened.decoder->seek(opened.decoder->lengthFrames() / 2));
        readFrames(*opened.decoder, 1000);
        // The stream's own (48 to 44.1 kHz) and the one for its 22.05 kHz parts.
        QCOMPARE(resamplerSetups() - before, std::int64_t{2});
    }

    void fileCutShortAfterItsLengthIsKnownPlaysNoMore()
    {
        // A stream whose rate changes midway, resampled from its first part's 48 kHz; the file is cut
        // short once its length is known. A file changed under the player is not played any more: the
        // next pass gives nothing (the engine then reports a file that can no longer be read), and
        // finding that out does not read the file over and over, once for every frame of the
        // resampler's start.
        const QString joined = joinedMp3(QStringLiteral("cut.mp3"), {48000, 22050});
        QVERIFY(!joined.isEmpty());
        OpenResult opened = openDecoder(joined.toStdString());
        QVERIFY2(opened.decoder, opened.message.c_str());
        decodePass(*opened.decoder, 1000);
        QVERIFY(QFile::resize(joined, QFileInfo(joined).size() / 3));

        const std::int64_t before = bytesReadSoFar();
        opened.decoder->seek(0);
        QCOMPARE(readFrames(*opened.decoder, 1000).size(), std::size_t{0});
        const std::int64_t read = bytesReadSoFar() - before;
        QVERIFY2(read >= 0 && read < 4 * QFileInfo(joined).size(), qPrintable(QString::number(read)));
    }
};

QTEST_GUILESS_MAIN(AudioDecoderTest)
#include "AudioDecoderTest.moc"
