// The MCI service over the real audio engine, driven by a manual capture clock: every device opens,
// plays, reports its mode, seeks and closes on files the test writes; errors; reply buffers; the error
// box of mciExecute; awkward file names through their short paths.
#include "sound/mci/MciService.h"

#include "posix/Reads.h"
#include "posix/UniqueFd.h"
#include "sound/MciErrorText.h"
#include "sound/MciErrors.h"
#include "sound/engine/AudioEngine.h"
#include "sound/engine/Device.h"
#include "system/MessageBox.h"
#include "system/ShortPath.h"
#include "testkit/AudioFiles.h"
#include "testkit/CaptureOutput.h"
#include "testkit/MidiFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <latch>
#include <limits>
#include <memory>
#include <random>
#include <sndfile.h>
#include <sys/stat.h>
#include <vector>

using namespace qb;
using namespace qb::mci;

namespace {

constexpr int kRate = audio::kEngineRate;

class RecordingBox : public platform::MessageBoxPresenter
{
public:
    void show(const QString& text, const QString& caption) override
    {
        texts << text;
        captions << caption;
    }
    QStringList texts;
    QStringList captions;
};

// Stereo 16-bit frames whose left sample counts 1, 2, 3, ... so every frame of a pass is recognisable.
bool writeRampFile(const QString& path, int frames, int format)
{
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = format;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    std::vector<short> samples(static_cast<std::size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        samples[2 * static_cast<std::size_t>(i)] = static_cast<short>(i % 30000 + 1);
        samples[2 * static_cast<std::size_t>(i) + 1] = static_cast<short>(-(i % 30000 + 1));
    }
    const sf_count_t written = sf_writef_short(file, samples.data(), frames);
    sf_close(file);
    return written == frames;
}

bool writeWav(const QString& path, int frames)
{
    return writeRampFile(path, frames, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
}

// A tone, for lossy formats where a ramp would not survive.
bool writeTone(const QString& path, int frames, int format)
{
    std::vector<float> samples(static_cast<std::size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        const float v = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * 440.0 * i / kRate));
        samples[2 * static_cast<std::size_t>(i)] = v;
        samples[2 * static_cast<std::size_t>(i) + 1] = v;
    }
    return test::writeSoundFile(path, format, kRate, 2, samples);
}

// One and a half seconds: three quarter notes at 120 beats per minute, longer than the engine's queue.
QByteArray shortMidi()
{
    test::MidiTrack track;
    track.tempo(0, 500000).programChange(0, 0, 0);
    for (int key : {60, 64, 67})
        track.noteOn(0, 0, key, 100).noteOff(480, 0, key);
    track.endOfTrack(0);
    return test::midiFile(0, 480, {track});
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Writes a song in the format its extension names: a ramp of `frames` frames for WAVE, a tone for the
// compressed formats, and shortMidi() for MIDI, plain or wrapped. False when it cannot be written;
// `noMp3Encoder` is set when this libsndfile cannot write MP3.
bool writeSong(const QString& path, int frames, bool* noMp3Encoder)
{
    const QString ext = QFileInfo(path).suffix().toLower();
    if (ext == QLatin1String("wav"))
        return writeWav(path, frames);
    if (ext == QLatin1String("flac"))
        return writeTone(path, frames, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    if (ext == QLatin1String("ogg"))
        return writeTone(path, frames, SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    if (ext == QLatin1String("mp3")) {
        *noMp3Encoder = !writeTone(path, frames, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
        return !*noMp3Encoder;
    }
    if (ext == QLatin1String("mid"))
        return writeFile(path, shortMidi());
    return writeFile(path, test::riffMidi(shortMidi()));
}

} // namespace

class MciServiceTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<audio::AudioEngine> m_engine;
    audio::CaptureOutput* m_capture = nullptr;
    std::unique_ptr<RecordingBox> m_box;
    std::unique_ptr<MciService> m_mci;

    void makeService(MciService::Options options = {})
    {
        m_mci.reset();
        auto capture = std::make_unique<audio::CaptureOutput>(512, audio::CaptureOutput::Clock::Manual);
        m_capture = capture.get();
        audio::AudioEngine::Options engineOptions;
        engineOptions.feederThread = false;
        m_engine = std::make_unique<audio::AudioEngine>(std::move(capture), engineOptions);
        m_box = std::make_unique<RecordingBox>();
        m_mci = std::make_unique<MciService>(*m_engine, *m_box, std::move(options));
    }

    MCIERROR send(const QString& command)
    {
        return m_mci->mciSendStringA(command.toUtf8().constData(), nullptr, 0, nullptr);
    }

    QString ask(const QString& command, MCIERROR* error = nullptr)
    {
        char reply[128];
        std::memset(reply, 'x', sizeof reply);
        const MCIERROR e = m_mci->mciSendStringA(command.toUtf8().constData(), reply, sizeof reply, nullptr);
        if (error)
            *error = e;
        return e == 0 ? QString::fromUtf8(reply) : QStringLiteral("error %1").arg(e);
    }

    QString mode() { return ask(QStringLiteral("status midi mode")); }

    // Advances the output until the device is no longer playing; false if it never stops.
    bool runToEnd(std::int64_t limitFrames)
    {
        for (std::int64_t done = 0; done < limitFrames; done += 512) {
            if (mode() != QLatin1String("playing"))
                return true;
            m_capture->advance(512);
        }
        return mode() != QLatin1String("playing");
    }

    static double peak(const std::vector<float>& samples)
    {
        double p = 0;
        for (float s : samples)
            p = std::max(p, static_cast<double>(std::fabs(s)));
        return p;
    }

    QString path(const QString& name) const { return m_dir.filePath(name); }

    // The left samples of a ramp file (see writeRampFile) heard so far, from the first frame of the
    // ramp on; empty when it was not heard.
    std::vector<int> rampHeard()
    {
        const std::vector<float> captured = m_capture->takeCaptured();
        std::vector<int> left;
        for (std::size_t i = 0; i < captured.size(); i += 2)
            left.push_back(static_cast<int>(std::lround(captured[i] * 32768.0f)));
        left.erase(left.begin(), std::find(left.begin(), left.end(), 1));
        return left;
    }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        makeService();
    }

    void cleanup()
    {
        m_mci.reset();
        m_engine.reset();
    }

    void everyDeviceOpensPlaysSeeksAndCloses_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("expectedMs");
        QTest::newRow("wav") << QStringLiteral("a.wav") << 1500;
        QTest::newRow("wav upper-case extension") << QStringLiteral("B.WAV") << 1500;
        QTest::newRow("flac") << QStringLiteral("c.flac") << 1500;
        QTest::newRow("ogg") << QStringLiteral("d.ogg") << 1500;
        QTest::newRow("mp3") << QStringLiteral("e.mp3") << 1500;
        QTest::newRow("mid") << QStringLiteral("f.mid") << 1500;
        QTest::newRow("rmi") << QStringLiteral("g.rmi") << 1500;
    }

    void everyDeviceOpensPlaysSeeksAndCloses()
    {
        QFETCH(QString, file);
        QFETCH(int, expectedMs);
        const QString p = path(file);
        bool noMp3Encoder = false;
        if (!writeSong(p, expectedMs * kRate / 1000, &noMp3Encoder)) {
            if (noMp3Encoder)
                QSKIP("this libsndfile cannot write MP3");
            QFAIL("cannot write the song");
        }

        QCOMPARE(send("open " + p + " alias midi"), MCIERROR(0));
        QCOMPARE(mode(), QStringLiteral("stopped"));
        QCOMPARE(ask(QStringLiteral("status midi ready")), QStringLiteral("true"));
        const int length = ask(QStringLiteral("status midi length")).toInt();
        QVERIFY2(std::abs(length - expectedMs) <= 60, qPrintable(QString::number(length)));
        QCOMPARE(ask(QStringLiteral("status midi position")), QStringLiteral("0"));

        QCOMPARE(send(QStringLiteral("play midi notify")), MCIERROR(0));
        QCOMPARE(mode(), QStringLiteral("playing"));
        m_capture->takeCaptured();
        m_capture->advance(kRate / 5);
        QVERIFY2(peak(m_capture->takeCaptured()) > 0.01, "nothing was heard");
        const int position = ask(QStringLiteral("status midi position")).toInt();
        QVERIFY2(position > 0 && position <= 250, qPrintable(QString::number(position)));

        QCOMPARE(send(QStringLiteral("pause midi")), MCIERROR(0));
        QCOMPARE(mode(), QStringLiteral("paused"));
        QCOMPARE(send(QStringLiteral("resume midi")), MCIERROR(0));
        QCOMPARE(mode(), QStringLiteral("playing"));
        QCOMPARE(send(QStringLiteral("stop midi")), MCIERROR(0));
        QCOMPARE(mode(), QStringLiteral("stopped"));
        m_capture->advance(1024);
        m_capture->takeCaptured();
        m_capture->advance(2048);
        QCOMPARE(peak(m_capture->takeCaptured()), 0.0); // stop is silent at once

        QCOMPARE(send(QStringLiteral("seek midi to 100")), MCIERROR(0));
        QCOMPARE(ask(QStringLiteral("status midi position")), QStringLiteral("100"));
        QCOMPARE(send(QStringLiteral("seek midi to start")), MCIERROR(0));
        QCOMPARE(ask(QStringLiteral("status midi position")), QStringLiteral("0"));

        // Played to its end, the device reports "stopped" (the loop's restart from there: see
        // seekToStartAndPlayAfterTheEndIsSeamless).
        QCOMPARE(send(QStringLiteral("play midi notify")), MCIERROR(0));
        QVERIFY(runToEnd(10 * kRate));
        QCOMPARE(mode(), QStringLiteral("stopped"));

        QCOMPARE(send(QStringLiteral("close midi")), MCIERROR(0));
        MCIERROR error = 0;
        ask(QStringLiteral("status midi mode"), &error);
        QCOMPARE(error, MCIERR_INVALID_DEVICE_NAME);
        // Closed means silent.
        m_capture->advance(4096);
        m_capture->takeCaptured();
        m_capture->advance(2048);
        QCOMPARE(peak(m_capture->takeCaptured()), 0.0);
    }

    // A file truncated to nothing while it loops: the pass from its start finds no frame, and the
    // restart after that pass is refused as a file that cannot be read. Once: the next play tries the
    // file again.
    void aFileEmptiedWhileItLoopsRefusesOneRestart_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("wav") << QStringLiteral("emptied.wav");
        QTest::newRow("mp3") << QStringLiteral("emptied.mp3");
    }
    void aFileEmptiedWhileItLoopsRefusesOneRestart()
    {
        QFETCH(QString, file);
        const QString p = path(file);
        bool noMp3Encoder = false;
        if (!writeSong(p, kRate / 4, &noMp3Encoder)) {
            if (noMp3Encoder)
                QSKIP("this libsndfile cannot write MP3");
            QFAIL("cannot write the song");
        }
        QCOMPARE(send("open " + p + " alias midi"), MCIERROR(0));
        QCOMPARE(send(QStringLiteral("play midi notify")), MCIERROR(0));
        QVERIFY(runToEnd(kRate));
        QVERIFY(QFile::resize(p, 0));
        const auto restart = [this] {
            const MCIERROR seek = send(QStringLiteral("seek midi to start"));
            const MCIERROR play = send(QStringLiteral("play midi notify"));
            return seek != 0 ? seek : play;
        };
        QCOMPARE(restart(), MCIERROR(0)); // the pass that finds the file empty
        QVERIFY(runToEnd(kRate));
        QCOMPARE(restart(), MCIERR_FILE_READ);
        QCOMPARE(mode(), QStringLiteral("stopped"));
        QCOMPARE(restart(), MCIERROR(0)); // tried again, still empty
        QVERIFY(runToEnd(kRate));
        QCOMPARE(restart(), MCIERR_FILE_READ);

        QVERIFY(m_box->texts.isEmpty());
    }

    // A file written over while it plays (random bytes in place, the same size) is never played as what
    // a decoder makes of those bytes: the pass ends at the decoder's next read, and the restart is
    // refused as for a file that can no longer be read.
    void aFileWrittenOverWhileItPlaysIsNotPlayedAsNoise_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("format");
        QTest::newRow("wav") << QStringLiteral("over.wav") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        QTest::newRow("mp3") << QStringLiteral("over.mp3") << (SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
        QTest::newRow("flac") << QStringLiteral("over.flac") << (SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
        QTest::newRow("ogg") << QStringLiteral("over.ogg") << (SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    }
    void aFileWrittenOverWhileItPlaysIsNotPlayedAsNoise()
    {
        QFETCH(QString, file);
        QFETCH(int, format);
        const QString p = path(file);
        if (!writeTone(p, 2 * kRate, format)) {
            if ((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG)
                QSKIP("this libsndfile cannot write MP3");
            QFAIL("cannot write the song");
        }
        // Written an hour ago, so that the write below surely changes its time of modification.
        const timespec hourAgo{::time(nullptr) - 3600, 0};
        const timespec times[2] = {hourAgo, hourAgo};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(p).constData(), times, 0), 0);
        QCOMPARE(send("open " + p + " alias midi"), MCIERROR(0));
        QCOMPARE(send(QStringLiteral("play midi notify")), MCIERROR(0));
        m_capture->advance(kRate / 4);

        QFile over(p);
        QVERIFY(over.open(QIODevice::ReadWrite));
        const qint64 size = over.size();
        std::mt19937 random(7);
        QByteArray noise(static_cast<int>(size - size / 4), '\0');
        for (char& byte : noise)
            byte = static_cast<char>(random());
        QVERIFY(over.seek(size / 4));
        QCOMPARE(over.write(noise), noise.size());
        over.close();

        QVERIFY(runToEnd(10 * kRate));
        const auto restart = [this] {
            const MCIERROR seek = send(QStringLiteral("seek midi to start"));
            const MCIERROR play = send(QStringLiteral("play midi notify"));
            return seek != 0 ? seek : play;
        };
        QCOMPARE(restart(), MCIERROR(0)); // the pass that finds the file changed
        QVERIFY(runToEnd(kRate));
        QCOMPARE(restart(), MCIERR_FILE_READ);
        // What was heard is the tone (its peak is 0.5) and silence: bytes of noise decode far louder.
        QVERIFY2(peak(m_capture->takeCaptured()) < 0.6, qPrintable(file));
    }

    // The loop as the player runs it through the command strings: once per output period its timer
    // asks for the mode and, when the pass has ended ("stopped"), sends "seek midi to start" and
    // "play midi notify" while the end of the pass is still queued. The next pass follows without a
    // seam, in every format, and also when the file's name is deleted while it plays: the open file is
    // the device's own.
    void seekToStartAndPlayAfterTheEndIsSeamless_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("frames");
        QTest::addColumn<bool>("deleteWhilePlaying");
        QTest::newRow("wav of a quarter second") << QStringLiteral("ramp.wav") << kRate / 4 << false;
        QTest::newRow("wav deleted while it plays") << QStringLiteral("doomed.wav") << 3 * kRate << true;
        QTest::newRow("wav") << QStringLiteral("a.wav") << 3 * kRate / 2 << false;
        QTest::newRow("wav upper-case extension") << QStringLiteral("B.WAV") << 3 * kRate / 2 << false;
        QTest::newRow("flac") << QStringLiteral("c.flac") << 3 * kRate / 2 << false;
        QTest::newRow("ogg") << QStringLiteral("d.ogg") << 3 * kRate / 2 << false;
        QTest::newRow("mp3") << QStringLiteral("e.mp3") << 3 * kRate / 2 << false;
        QTest::newRow("mid") << QStringLiteral("f.mid") << 3 * kRate / 2 << false;
        QTest::newRow("rmi") << QStringLiteral("g.rmi") << 3 * kRate / 2 << false;
    }

    void seekToStartAndPlayAfterTheEndIsSeamless()
    {
        QFETCH(QString, file);
        QFETCH(int, frames);
        QFETCH(bool, deleteWhilePlaying);
        const QString p = path(file);
        bool noMp3Encoder = false;
        if (!writeSong(p, frames, &noMp3Encoder)) {
            if (noMp3Encoder)
                QSKIP("this libsndfile cannot write MP3");
            QFAIL("cannot write the song");
        }
        QCOMPARE(send("open " + p + " alias midi"), MCIERROR(0));
        QCOMPARE(send(QStringLiteral("play midi notify")), MCIERROR(0));

        constexpr int kRestarts = 2;
        int restarts = 0;
        bool deleted = false;
        for (std::int64_t done = 0; restarts < kRestarts && done < 20 * kRate; done += 512) {
            if (deleteWhilePlaying && !deleted && done >= kRate / 10) {
                QVERIFY(QFile::remove(p));
                deleted = true;
            }
            const QString now = mode();
            if (now != QLatin1String("playing")) {
                QCOMPARE(now, QStringLiteral("stopped"));
                QVERIFY(m_mci->mciExecute("seek midi to start"));
                QVERIFY(m_mci->mciExecute("play midi notify"));
                QCOMPARE(mode(), QStringLiteral("playing"));
                ++restarts;
            }
            m_capture->advance(512);
        }
        QCOMPARE(restarts, kRestarts);
        QCOMPARE(deleted, deleteWhilePlaying);
        if (deleteWhilePlaying)
            QCOMPARE(ask(QStringLiteral("status midi length")),
                     QString::number(std::int64_t{frames} * 1000 / kRate));
        m_capture->advance(kRate); // what is still queued, and the start of the last pass
        QVERIFY(m_box->texts.isEmpty());

        if (QFileInfo(file).suffix().toLower() == QLatin1String("wav")) {
            // Every pass was heard whole, and the next one right behind it: the ramp from 1 to its
            // last frame, over and over.
            const std::vector<int> left = rampHeard();
            const int heard = kRestarts * frames + 1;
            QVERIFY(left.size() >= static_cast<std::size_t>(heard));
            for (int i = 0; i < heard; ++i)
                QCOMPARE(left[static_cast<std::size_t>(i)], i % frames % 30000 + 1);
        } else {
            // A tone, or notes that follow each other and ring across the seam: from the first sound
            // on, a restart that came late would leave a stretch of silence.
            const std::vector<float> heard = m_capture->takeCaptured();
            std::size_t from = 0;
            while (from < heard.size() && std::fabs(heard[from]) < 1e-3f)
                ++from;
            QVERIFY2(from < heard.size(), "nothing was heard");
            std::size_t quiet = 0, longestQuiet = 0;
            for (std::size_t i = from; i + 1 < heard.size(); i += 2) {
                const bool silent = std::max(std::fabs(heard[i]), std::fabs(heard[i + 1])) < 1e-3f;
                quiet = silent ? quiet + 1 : 0;
                longestQuiet = std::max(longestQuiet, quiet);
            }
            QVERIFY2(longestQuiet < 256, qPrintable(QStringLiteral("%1 silent frames").arg(longestQuiet)));
        }
        QCOMPARE(send(QStringLiteral("close midi")), MCIERROR(0));
    }

    // setaudio scales what is heard, exactly once its glide is over, and the volume stays for the files
    // opened after; what is out of range or names no device changes nothing.
    void theVolumeScalesWhatIsHeardAndOutlivesItsDevice()
    {
        const QString p = path(QStringLiteral("ramp.wav"));
        QVERIFY(writeRampFile(p, kRate, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        QCOMPARE(send("open " + p + " alias midi"), MCIERROR(0));
        QCOMPARE(ask(QStringLiteral("status midi volume")), QStringLiteral("1000"));
        QCOMPARE(send(QStringLiteral("setaudio midi volume to 500")), MCIERROR(0));
        QCOMPARE(ask(QStringLiteral("status midi volume")), QStringLiteral("500"));
        QCOMPARE(send(QStringLiteral("setaudio midi volume to 1001")), MCIERR_OUTOFRANGE);
        QCOMPARE(send(QStringLiteral("setaudio other volume to 0")), MCIERR_INVALID_DEVICE_NAME);
        QCOMPARE(send(QStringLiteral("setaudio all volume to 0")), MCIERR_CANNOT_USE_ALL);
        QCOMPARE(ask(QStringLiteral("status midi volume")), QStringLiteral("500"));

        QCOMPARE(send(QStringLiteral("play midi")), MCIERROR(0));
        m_capture->advance(8 * 512);
        const std::vector<float> captured = m_capture->takeCaptured();
        // Frame i of the ramp is (i % 30000 + 1) / 32768; at half volume, twice that is the ramp again.
        std::vector<int> doubled;
        for (std::size_t i = 2 * 512; i < captured.size(); i += 2)
            doubled.push_back(static_cast<int>(captured[i] * 65536.0f));
        QVERIFY(doubled.size() > 1000);
        for (std::size_t i = 1; i < doubled.size(); ++i)
            QCOMPARE(doubled[i], doubled[i - 1] + 1);

        QCOMPARE(send(QStringLiteral("close midi")), MCIERROR(0));
        QCOMPARE(send("open " + p + " alias again"), MCIERROR(0));
        QCOMPARE(ask(QStringLiteral("status again volume")), QStringLiteral("500"));
        QCOMPARE(send(QStringLiteral("setaudio again volume to 0")), MCIERROR(0));
        QCOMPARE(send(QStringLiteral("play again")), MCIERROR(0));
        m_capture->advance(4 * 512);
        const std::vector<float> silent = m_capture->takeCaptured();
        QVERIFY(peak(std::vector<float>(silent.begin() + 2 * 512, silent.end())) == 0.0);
    }

    void namesCompareWithoutCase()
    {
        QVERIFY(writeWav(path(QStringLiteral("Case.WaV")), 4410));
        QCOMPARE(send("OPEN " + path(QStringLiteral("Case.WaV")) + " ALIAS MiDi"), MCIERROR(0));
        QCOMPARE(ask(QStringLiteral("Status MIDI Mode")), QStringLiteral("stopped"));
        QCOMPARE(send(QStringLiteral("PLAY midi NOTIFY")), MCIERROR(0));
        QCOMPARE(ask(QStringLiteral("status mIdI mode")), QStringLiteral("playing"));
        QCOMPARE(send(QStringLiteral("Close MIDI")), MCIERROR(0));
    }

    void deviceNamedByItsElement()
    {
        const QString p = path(QStringLiteral("element.wav"));
        QVERIFY(writeWav(p, 4410));
        QCOMPARE(send("open " + p), MCIERROR(0));
        QCOMPARE(send("open " + p), MCIERR_DEVICE_OPEN);
        QCOMPARE(ask("status " + p + " mode"), QStringLiteral("stopped"));
        QCOMPARE(send("play " + p), MCIERROR(0));
        QCOMPARE(ask("status " + p.toUpper() + " mode"), QStringLiteral("playing"));
        // The same file again under an alias is a second device.
        QCOMPARE(send("open " + p + " alias second"), MCIERROR(0));
        QCOMPARE(ask(QStringLiteral("status second mode")), QStringLiteral("stopped"));
        QCOMPARE(send("close " + p), MCIERROR(0));
        QCOMPARE(ask(QStringLiteral("status second mode")), QStringLiteral("stopped"));
    }

    void explicitType_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<MCIERROR>("error");
        QTest::newRow("waveaudio") << QStringLiteral("open %1 type waveaudio alias midi") << MCIERROR(0);
        QTest::newRow("WaveAudio") << QStringLiteral("open %1 type WaveAudio alias midi") << MCIERROR(0);
        QTest::newRow("mpegvideo plays it too")
            << QStringLiteral("open %1 type mpegvideo alias midi") << MCIERROR(0);
        QTest::newRow("sequencer refuses it")
            << QStringLiteral("open %1 type sequencer alias midi") << MCIERR_INVALID_FILE;
        QTest::newRow("known type, no driver")
            << QStringLiteral("open %1 type cdaudio alias midi") << MCIERR_DEVICE_NOT_INSTALLED;
        QTest::newRow("unknown type")
            << QStringLiteral("open %1 type gramophone alias midi") << MCIERR_INVALID_DEVICE_NAME;
    }

    void explicitType()
    {
        QFETCH(QString, command);
        QFETCH(MCIERROR, error);
        // The extension says nothing; the type decides.
        const QString p = path(QStringLiteral("sound.dat"));
        QVERIFY(writeWav(p, 4410));
        QCOMPARE(send(command.arg(p)), error);
        if (error == 0) {
            QCOMPARE(send(QStringLiteral("play midi")), MCIERROR(0));
            QCOMPARE(mode(), QStringLiteral("playing"));
        }
    }

    // What a file is, its content says, not its name: each opens and plays as what it holds, for as long
    // as that lasts; the sequencer takes a MIDI file whatever its name, and nothing else.
    void theContentChoosesTheDecoderWhateverTheName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("holds");
        QTest::addColumn<int>("lengthMs");
        QTest::newRow("WAVE named .mid") << QStringLiteral("wave.mid") << QStringLiteral("wav") << 250;
        QTest::newRow("MIDI named .wav") << QStringLiteral("song.wav") << QStringLiteral("mid") << 1500;
        QTest::newRow("FLAC named .mp3") << QStringLiteral("lossless.mp3") << QStringLiteral("flac") << 250;
        QTest::newRow("Ogg named .xyz") << QStringLiteral("sound.xyz") << QStringLiteral("ogg") << 250;
        QTest::newRow("WAVE without ending") << QStringLiteral("sound") << QStringLiteral("wav") << 250;
    }
    void theContentChoosesTheDecoderWhateverTheName()
    {
        QFETCH(QString, name);
        QFETCH(QString, holds);
        QFETCH(int, lengthMs);
        const QString written = path(QStringLiteral("written.") + holds);
        bool noMp3Encoder = false;
        QVERIFY(writeSong(written, kRate / 4, &noMp3Encoder));
        QVERIFY(QFile::rename(written, path(name)));
        QCOMPARE(send("open " + path(name) + " alias midi"), MCIERROR(0));
        QCOMPARE(ask(QStringLiteral("status midi length")).toInt(), lengthMs);
        QCOMPARE(send(QStringLiteral("play midi")), MCIERROR(0));
        QVERIFY(runToEnd(4 * kRate));
        m_capture->advance(kRate); // what is still queued
        QVERIFY(peak(m_capture->takeCaptured()) > 0.01);
        QCOMPARE(send(QStringLiteral("close midi")), MCIERROR(0));
        const bool midi = holds == QLatin1String("mid");
        QCOMPARE(send("open " + path(name) + " type sequencer alias midi"),
                 midi ? MCIERROR(0) : MCIERR_INVALID_FILE);
        QCOMPARE(send(QStringLiteral("close midi")), midi ? MCIERROR(0) : MCIERR_INVALID_DEVICE_NAME);
        QCOMPARE(send("open " + path(name) + " type waveaudio alias midi"),
                 midi ? MCIERR_INVALID_FILE : MCIERROR(0));
    }

    void openErrors_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<MCIERROR>("error");
        QTest::newRow("text, unknown ending")
            << QStringLiteral("notes.txt") << QByteArray("hello") << MCIERR_INVALID_FILE;
        QTest::newRow("text, no ending")
            << QStringLiteral("noext") << QByteArray("hello") << MCIERR_INVALID_FILE;
        QTest::newRow("missing wav") << QStringLiteral("missing.wav") << QByteArray()
                                     << MCIERR_FILE_NOT_FOUND;
        QTest::newRow("missing mid") << QStringLiteral("missing.mid") << QByteArray()
                                     << MCIERR_FILE_NOT_FOUND;
        QTest::newRow("missing mp3") << QStringLiteral("missing.mp3") << QByteArray()
                                     << MCIERR_FILE_NOT_FOUND;
        QTest::newRow("random wav") << QStringLiteral("random.wav") << QByteArray(3000, '\x5a')
                                    << MCIERR_INVALID_FILE;
        QTest::newRow("random mid") << QStringLiteral("random.mid") << QByteArray(3000, '\x5a')
                                    << MCIERR_INVALID_FILE;
        QTest::newRow("empty wav") << QStringLiteral("empty.wav") << QByteArray("") << MCIERR_INVALID_FILE;
        QTest::newRow("empty mid") << QStringLiteral("empty.mid") << QByteArray("") << MCIERR_INVALID_FILE;
        QTest::newRow("empty mp3") << QStringLiteral("empty.mp3") << QByteArray("") << MCIERR_INVALID_FILE;
        // libsndfile 1.2.0 never returns from opening this one (a chunk before the data claims 1.3 GB).
        QTest::newRow("wav whose chunks do not add up")
            << QStringLiteral("list.wav")
            << QByteArray::fromHex("524946460000000057415645666d7420100000000100000000000000000000000000"
                                   "00004c4953540000004d0000003100000000000000ffefffffff")
            << MCIERR_INVALID_FILE;
    }

    void openErrors()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(MCIERROR, error);
        const QString p = path(name);
        if (!name.startsWith(QLatin1String("missing")))
            QVERIFY(writeFile(p, content));
        QCOMPARE(send("open " + p + " alias midi"), error);
        // Nothing was opened: the alias is free.
        QCOMPARE(send(QStringLiteral("play midi")), MCIERR_INVALID_DEVICE_NAME);
    }

    void folderNamedLikeAFile()
    {
        QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("x.mid")));
        QCOMPARE(send("open " + path(QStringLiteral("x.mid")) + " alias midi"), MCIERR_INVALID_FILE);
    }

    void aliasErrors()
    {
        QVERIFY(writeWav(path(QStringLiteral("a.wav")), 4410));
        QVERIFY(writeWav(path(QStringLiteral("b.wav")), 4410));
        QCOMPARE(send("open " + path(QStringLiteral("a.wav")) + " alias midi"), MCIERROR(0));
        QCOMPARE(send("open " + path(QStringLiteral("b.wav")) + " alias MIDI"), MCIERR_DUPLICATE_ALIAS);
        QCOMPARE(send("open " + path(QStringLiteral("b.wav")) + " alias all"), MCIERR_CANNOT_USE_ALL);
        // The first device is untouched by the refused opens.
        QCOMPARE(mode(), QStringLiteral("stopped"));

        for (const char* command : {"play other", "stop other", "pause other", "resume other",
                                    "seek other to start", "status other mode", "close other"})
            QCOMPARE(send(QString::fromLatin1(command)), MCIERR_INVALID_DEVICE_NAME);
        QCOMPARE(send(QStringLiteral("play midi loudly")), MCIERR_UNRECOGNIZED_KEYWORD);
        QCOMPARE(send(QStringLiteral("fly midi")), MCIERR_UNRECOGNIZED_COMMAND);
        QCOMPARE(send(QStringLiteral("status all mode")), MCIERR_CANNOT_USE_ALL);
        QCOMPARE(send(QStringLiteral("play midi from 600")), MCIERR_OUTOFRANGE);
        QCOMPARE(send(QStringLiteral("play midi from 50 to 20")), MCIERR_OUTOFRANGE);
        QCOMPARE(send(QStringLiteral("seek midi to 100000")), MCIERR_OUTOFRANGE);
        QCOMPARE(send(QStringLiteral("seek midi to end")), MCIERROR(0));
        QCOMPARE(ask(QStringLiteral("status midi position")), QStringLiteral("100"));
        QCOMPARE(send(QStringLiteral("play midi from 20 to 60 notify")), MCIERROR(0));
        QVERIFY(runToEnd(kRate));
        QCOMPARE(send(QStringLiteral("close midi")), MCIERROR(0));
        QCOMPARE(send(QStringLiteral("close midi")), MCIERR_INVALID_DEVICE_NAME);
    }

    void missingSoundFontFailsMidiOnly()
    {
        MciService::Options options;
        options.soundFontPath = path(QStringLiteral("no-such.sf2")).toStdString();
        makeService(options);
        QVERIFY(writeFile(path(QStringLiteral("s.mid")), shortMidi()));
        QVERIFY(writeWav(path(QStringLiteral("w.wav")), 4410));
        QCOMPARE(send("open " + path(QStringLiteral("s.mid")) + " alias midi"), MCIERR_CANNOT_LOAD_DRIVER);
        QCOMPARE(send("open " + path(QStringLiteral("w.wav")) + " alias midi"), MCIERROR(0));
        QCOMPARE(send(QStringLiteral("play midi")), MCIERROR(0));
        QCOMPARE(mode(), QStringLiteral("playing"));
    }

    // A file opens on a thread of its own, within the service's limit. An open blocked for good (a
    // double that waits on a latch never released) is refused as a file that cannot be opened is, while
    // the caller's event loop keeps running; its name is free again at once; the next open is refused
    // without a second opening thread, since opens run one at a time; and the service still ends. The
    // blocked thread stays to the end of this program, which must end cleanly all the same.
    void anOpenBlockedForGoodIsGivenUpAndRunsAlone()
    {
        auto opens = std::make_shared<std::atomic<int>>(0);
        auto never = std::make_shared<std::latch>(1);
        MciService::Options options;
        options.openLimit = std::chrono::milliseconds(50);
        options.opener = [opens, never](const FileOpening&) {
            ++*opens;
            never->wait();
            return audio::OpenResult{};
        };
        makeService(options);
        QVERIFY(writeWav(path(QStringLiteral("stuck.wav")), 4410));
        int ticks = 0;
        QTimer::singleShot(0, this, [&ticks] { ++ticks; });
        QCOMPARE(send("open " + path(QStringLiteral("stuck.wav")) + " alias midi"), MCIERR_INVALID_FILE);
        QCOMPARE(ticks, 1);
        QCOMPARE(send(QStringLiteral("play midi")), MCIERR_INVALID_DEVICE_NAME);
        QCOMPARE(send("open " + path(QStringLiteral("stuck.wav")) + " alias midi"), MCIERR_INVALID_FILE);
        QCOMPARE(opens->load(), 1);
        makeService();
        QCOMPARE(send("open " + path(QStringLiteral("stuck.wav")) + " alias midi"), MCIERROR(0));
    }

    // A given-up open is told to stop: its next read fails, so it ends and lets go of what it holds,
    // and the next file opens as usual.
    void aGivenUpOpenEndsAtItsNextRead()
    {
        QVERIFY(writeWav(path(QStringLiteral("endless.wav")), 4410));
        QVERIFY(writeWav(path(QStringLiteral("next.wav")), 4410));
        auto readFailedWith = std::make_shared<std::atomic<int>>(0);
        MciService::Options options;
        options.openLimit = std::chrono::milliseconds(50);
        // Reads its file over and over, as a library walking an endless chain of links would; any other
        // file opens as the player opens it.
        options.opener = [readFailedWith](const FileOpening& file) {
            if (!file.path.ends_with("endless.wav"))
                return audio::openDecoder(file.path);
            const posix::UniqueFd fd(::open(file.path.c_str(), O_RDONLY | O_CLOEXEC));
            char buffer[4096];
            while (posix::readAt(fd.get(), buffer, sizeof buffer, 0) >= 0) {
            }
            readFailedWith->store(errno);
            return audio::OpenResult{nullptr, audio::OpenError::InvalidFile, "a read failed"};
        };
        makeService(options);
        QCOMPARE(send("open " + path(QStringLiteral("endless.wav")) + " alias midi"), MCIERR_INVALID_FILE);
        QTRY_COMPARE_WITH_TIMEOUT(readFailedWith->load(), ECANCELED, 60000);
        QCOMPARE(send("open " + path(QStringLiteral("next.wav")) + " alias midi"), MCIERROR(0));
    }

    void replyBuffer()
    {
        QVERIFY(writeWav(path(QStringLiteral("a.wav")), 4410));
        QCOMPARE(send("open " + path(QStringLiteral("a.wav")) + " alias midi"), MCIERROR(0));

        char exact[8];
        std::memset(exact, 'x', sizeof exact);
        QCOMPARE(m_mci->mciSendStringA("status midi mode", exact, 8, nullptr), MCIERROR(0));
        QCOMPARE(QByteArray(exact, 8), QByteArray("stopped\0", 8));

        char small[7];
        std::memset(small, 'x', sizeof small);
        QCOMPARE(m_mci->mciSendStringA("status midi mode", small, 7, nullptr), MCIERR_PARAM_OVERFLOW);
        QCOMPARE(small[0], '\0');

        char one[1] = {'x'};
        QCOMPARE(m_mci->mciSendStringA("status midi mode", one, 1, nullptr), MCIERR_PARAM_OVERFLOW);
        QCOMPARE(one[0], '\0');

        char untouched[4] = {'a', 'b', 'c', 'd'};
        QCOMPARE(m_mci->mciSendStringA("status midi mode", untouched, 0, nullptr), MCIERROR(0));
        QCOMPARE(QByteArray(untouched, 4), QByteArray("abcd"));
        QCOMPARE(m_mci->mciSendStringA("status midi mode", nullptr, 80, nullptr), MCIERROR(0));

        // The player's buffer of 80 spaces: after an accepted command it starts with the reply.
        char spaces[80];
        std::memset(spaces, ' ', sizeof spaces);
        QCOMPARE(m_mci->mciSendStringA("status midi mode", spaces, 80, nullptr), MCIERROR(0));
        QCOMPARE(QByteArray(spaces, 7), QByteArray("stopped"));

        // A command without a reply leaves the empty text; so does a refused one.
        char text[16];
        std::memset(text, 'x', sizeof text);
        QCOMPARE(m_mci->mciSendStringA("seek midi to start", text, sizeof text, nullptr), MCIERROR(0));
        QCOMPARE(text[0], '\0');
        std::memset(text, 'x', sizeof text);
        QCOMPARE(m_mci->mciSendStringA("status nothing mode", text, sizeof text, nullptr),
                 MCIERR_INVALID_DEVICE_NAME);
        QCOMPARE(text[0], '\0');

        // A callback window is accepted with notify.
        int window = 0;
        QCOMPARE(m_mci->mciSendStringA("play midi notify", nullptr, 0, &window), MCIERROR(0));
        QCOMPARE(m_mci->mciSendStringA(nullptr, nullptr, 0, nullptr), MCIERR_MISSING_COMMAND_STRING);
    }

    void executeShowsOneBoxOnFailure()
    {
        QVERIFY(!m_mci->mciExecute("stop midi"));
        QCOMPARE(m_box->texts, QStringList{mciErrorText(MCIERR_INVALID_DEVICE_NAME)});
        QCOMPARE(m_box->captions, QStringList{QStringLiteral("MCI")});

        QVERIFY(!m_mci->mciExecute(
            ("open " + path(QStringLiteral("gone.wav")) + " alias midi").toUtf8().constData()));
        QCOMPARE(m_box->texts.size(), 2);
        QCOMPARE(m_box->texts.last(), mciErrorText(MCIERR_FILE_NOT_FOUND));

        QVERIFY(writeWav(path(QStringLiteral("a.wav")), 4410));
        QVERIFY(m_mci->mciExecute(
            ("open " + path(QStringLiteral("a.wav")) + " alias midi").toUtf8().constData()));
        QVERIFY(m_mci->mciExecute("play midi notify"));
        QVERIFY(m_mci->mciExecute("close midi"));
        QCOMPARE(m_box->texts.size(), 2);
    }

    void awkwardNamesOpenThroughShortPaths_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("spaces") << QStringLiteral("my favourite song.mid");
        QTest::newRow("double quotes") << QStringLiteral("the \"best\" one.wav");
        QTest::newRow("single quote") << QStringLiteral("it's here.mid");
        QTest::newRow("japanese") << QString::fromUtf8("夜明けの歌.mid");
        QTest::newRow("japanese with blanks") << QString::fromUtf8("夜明け　の 歌.wav");
        QTest::newRow("alias words") << QStringLiteral("song alias x.mid");
        QTest::newRow("type words") << QStringLiteral("song type waveaudio.mid");
        QTest::newRow("keywords and quote") << QStringLiteral("a\" alias x type y.wav");
        QTest::newRow("folder with blanks") << QStringLiteral("sub dir/piece.rmi");
    }

    void awkwardNamesOpenThroughShortPaths()
    {
        QFETCH(QString, name);
        const QString p = path(name);
        QVERIFY(QDir().mkpath(QFileInfo(p).path()));
        if (name.endsWith(QLatin1String(".wav")))
            QVERIFY(writeWav(p, 22050));
        else if (name.endsWith(QLatin1String(".rmi")))
            QVERIFY(writeFile(p, test::riffMidi(shortMidi())));
        else
            QVERIFY(writeFile(p, shortMidi()));

        // As the player does it: a zero-filled buffer of fixed capacity, the result ignored.
        std::vector<char> buffer(4096, '\0');
        platform::GetShortPathNameA(QFile::encodeName(p).constData(), buffer.data(),
                                    static_cast<std::uint32_t>(buffer.size()));
        const std::string shortPath(buffer.data());
        QVERIFY(!shortPath.empty());
        const std::string command = "open " + shortPath + " alias midi";
        QCOMPARE(m_mci->mciSendStringA(command.c_str(), nullptr, 0, nullptr), MCIERROR(0));
        QCOMPARE(send(QStringLiteral("play midi notify")), MCIERROR(0));
        QCOMPARE(mode(), QStringLiteral("playing"));
        m_capture->advance(kRate / 5);
        QVERIFY(peak(m_capture->takeCaptured()) > 0.01);
        QCOMPARE(send(QStringLiteral("close midi")), MCIERROR(0));
    }

    void playWaitReturnsAtTheEnd()
    {
        // Shorter than the engine's queue: pumping alone gets its last frame queued.
        QVERIFY(writeWav(path(QStringLiteral("short.wav")), 4410));
        QCOMPARE(send("open " + path(QStringLiteral("short.wav")) + " alias midi"), MCIERROR(0));
        QCOMPARE(send(QStringLiteral("play midi wait")), MCIERROR(0));
        QCOMPARE(mode(), QStringLiteral("stopped"));
    }

    void playWaitWithARealTimeOutput()
    {
        m_mci.reset();
        m_engine = std::make_unique<audio::AudioEngine>(
            std::make_unique<audio::CaptureOutput>(512, audio::CaptureOutput::Clock::RealTime));
        m_capture = nullptr;
        m_mci = std::make_unique<MciService>(*m_engine, *m_box);
        QVERIFY(writeWav(path(QStringLiteral("rt.wav")), kRate * 7 / 10));
        QCOMPARE(send("open " + path(QStringLiteral("rt.wav")) + " alias midi"), MCIERROR(0));
        QCOMPARE(send(QStringLiteral("play midi wait")), MCIERROR(0));
        QCOMPARE(mode(), QStringLiteral("stopped"));
    }

    void lengthsAndPositionsOfFilesThatLastForDaysOrYears()
    {
        // One maximal delta time at 120 beats per minute: three days, which a reply carries exactly.
        test::MidiTrack days;
        days.noteOn(0, 0, 60, 100).noteOff(0x0FFFFFFF, 0, 60).endOfTrack();
        QVERIFY(writeFile(path(QStringLiteral("days.mid")), test::midiFile(0, 480, {days})));
        QCOMPARE(send("open " + path(QStringLiteral("days.mid")) + " alias midi"), MCIERROR(0));
        QCOMPARE(ask(QStringLiteral("status midi length")), QStringLiteral("279620265"));
        QCOMPARE(send(QStringLiteral("seek midi to end")), MCIERROR(0));
        QCOMPARE(ask(QStringLiteral("status midi position")), QStringLiteral("279620265"));
        QCOMPARE(send(QStringLiteral("close midi")), MCIERROR(0));

        // A thousand maximal delta times at the slowest tempo, one tick per quarter note: 7 KB that
        // last 140,000 years. Its milliseconds times 1000 would not fit in 64 bits; the reply is held
        // at the largest number it carries.
        test::MidiTrack years;
        years.tempo(0, 0xFFFFFF).noteOn(0, 0, 60, 100);
        for (int i = 0; i < 1000; ++i)
            years.noteOff(0x0FFFFFFF, 0, 60);
        const QByteArray bytes = test::midiFile(0, 1, {years.endOfTrack()});
        QVERIFY(bytes.size() > 7000 && bytes.size() < 7200);
        QVERIFY(writeFile(path(QStringLiteral("years.mid")), bytes));
        QCOMPARE(send("open " + path(QStringLiteral("years.mid")) + " alias midi"), MCIERROR(0));
        const QString largest = QString::number(std::numeric_limits<std::uint32_t>::max());
        QCOMPARE(ask(QStringLiteral("status midi length")), largest);
        QCOMPARE(ask(QStringLiteral("status midi position")), QStringLiteral("0"));

        // Playing it counts in milliseconds from the start like any other file.
        QCOMPARE(send(QStringLiteral("play midi")), MCIERROR(0));
        m_capture->advance(kRate / 5);
        const int position = ask(QStringLiteral("status midi position")).toInt();
        QVERIFY2(position > 0 && position <= 250, qPrintable(QString::number(position)));
        // From the last millisecond a reply can name, the position runs past it and is held there.
        QCOMPARE(send(QStringLiteral("play midi from ") + largest), MCIERROR(0));
        m_capture->advance(kRate / 10);
        QCOMPARE(mode(), QStringLiteral("playing"));
        QCOMPARE(ask(QStringLiteral("status midi position")), largest);
        QCOMPARE(send(QStringLiteral("seek midi to end")), MCIERROR(0));
        QCOMPARE(ask(QStringLiteral("status midi position")), largest);
        // Played from its very end, the pass is over at once.
        QCOMPARE(send(QStringLiteral("play midi")), MCIERROR(0));
        m_capture->advance(kRate / 10);
        QCOMPARE(mode(), QStringLiteral("stopped"));
        QCOMPARE(ask(QStringLiteral("status midi position")), largest);
    }

    void closeAllAndDestructorCloseEverything()
    {
        QVERIFY(writeWav(path(QStringLiteral("a.wav")), kRate));
        QVERIFY(writeWav(path(QStringLiteral("b.wav")), kRate));
        QCOMPARE(send("open " + path(QStringLiteral("a.wav")) + " alias one"), MCIERROR(0));
        QCOMPARE(send("open " + path(QStringLiteral("b.wav")) + " alias two"), MCIERROR(0));
        QCOMPARE(send(QStringLiteral("play one")), MCIERROR(0));
        QCOMPARE(send(QStringLiteral("play two")), MCIERROR(0));
        QCOMPARE(send(QStringLiteral("close all")), MCIERROR(0));
        QCOMPARE(send(QStringLiteral("status one mode")), MCIERR_INVALID_DEVICE_NAME);
        QCOMPARE(send(QStringLiteral("status two mode")), MCIERR_INVALID_DEVICE_NAME);
        QCOMPARE(send(QStringLiteral("close all")), MCIERROR(0));
        QCOMPARE(send("open " + path(QStringLiteral("a.wav")) + " alias one"), MCIERROR(0));

        QCOMPARE(send(QStringLiteral("play one")), MCIERROR(0));
        m_capture->advance(2048);
        QVERIFY(peak(m_capture->takeCaptured()) > 0);
        m_mci.reset();
        m_capture->advance(4096);
        m_capture->takeCaptured();
        m_capture->advance(2048);
        QCOMPARE(peak(m_capture->takeCaptured()), 0.0);
    }
};

QTEST_GUILESS_MAIN(MciServiceTest)
#include "MciServiceTest.moc"
