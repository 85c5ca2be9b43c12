#include "testkit/RenderedMusicFiles.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <libopenmpt/libopenmpt.h>

namespace qb::test {

namespace {

void putBe16(QByteArray& bytes, int at, int value)
{
    bytes[at] = static_cast<char>((value >> 8) & 0xff);
    bytes[at + 1] = static_cast<char>(value & 0xff);
}

void appendLe32(QByteArray& bytes, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes.append(static_cast<char>((value >> (8 * i)) & 0xff));
}

void putLe32(QByteArray& bytes, int at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

void appendUtf16(QByteArray& bytes, const QString& text)
{
    for (const QChar c : text) {
        bytes.append(static_cast<char>(c.unicode() & 0xff));
        bytes.append(static_cast<char>(c.unicode() >> 8));
    }
    bytes.append(2, '\0');
}

void appendLeBytes(QByteArray& bytes, std::uint32_t value, int size)
{
    for (int i = 0; i < size; ++i)
        bytes.append(static_cast<char>((value >> (8 * i)) & 0xff));
}

} // namespace

QByteArray modFile(const ModSong& song)
{
    QByteArray bytes(1084, '\0');
    bytes.replace(0, static_cast<int>(std::min<qsizetype>(song.title.size(), 20)), song.title.left(20));
    for (std::size_t i = 0; i < song.samples.size() && i < 31; ++i) {
        const int header = 20 + static_cast<int>(i) * 30;
        const int words = static_cast<int>(song.samples[i].size() / 2);
        putBe16(bytes, header + 22, words);
        bytes[header + 25] = 64; // full volume
        putBe16(bytes, header + 26, 0);
        putBe16(bytes, header + 28, words); // looped whole
    }
    bytes[950] = static_cast<char>(song.orders.size());
    bytes[951] = static_cast<char>(song.restart);
    int patterns = 0;
    for (std::size_t i = 0; i < song.orders.size(); ++i) {
        bytes[952 + static_cast<int>(i)] = static_cast<char>(song.orders[i]);
        patterns = std::max(patterns, song.orders[i] + 1);
    }
    bytes.replace(1080, 4, "M.K.");
    for (int p = 0; p < patterns; ++p) {
        QByteArray pattern(1024, '\0');
        if (static_cast<std::size_t>(p) < song.patterns.size()) {
            const std::vector<ModRow>& rows = song.patterns[static_cast<std::size_t>(p)];
            for (std::size_t r = 0; r < rows.size() && r < 64; ++r) {
                for (int c = 0; c < 4; ++c) {
                    const ModCell& cell = rows[r][static_cast<std::size_t>(c)];
                    const int at = static_cast<int>(r) * 16 + c * 4;
                    pattern[at] = static_cast<char>((cell.sample & 0xf0) | ((cell.period >> 8) & 0x0f));
                    pattern[at + 1] = static_cast<char>(cell.period & 0xff);
                    pattern[at + 2] = static_cast<char>(((cell.sample & 0x0f) << 4) | (cell.effect & 0x0f));
                    pattern[at + 3] = static_cast<char>(cell.param);
                }
            }
        }
        bytes += pattern;
    }
    for (const std::vector<std::int8_t>& sample : song.samples)
        bytes.append(reinterpret_cast<const char*>(sample.data()), static_cast<qsizetype>(sample.size()));
    return bytes;
}

ModSong jumpingModule(bool jumpBack)
{
    ModSong song;
    song.title = "Quillbeat jump";
    std::vector<std::int8_t> square(32);
    std::vector<std::int8_t> saw(64);
    for (std::size_t i = 0; i < square.size(); ++i)
        square[i] = i < 16 ? 64 : -64;
    for (std::size_t i = 0; i < saw.size(); ++i)
        saw[i] = static_cast<std::int8_t>(static_cast<int>(i) * 4 - 128);
    song.samples = {square, saw};

    const auto pattern = [](int period, int period2, int lastEffect, int lastParam) {
        std::vector<ModRow> rows(8);
        rows[0][0] = {period, 1, kEffectSpeed, 3};
        rows[3][1] = {period2, 2, 0, 0};
        rows[7][3] = {0, 0, lastEffect, lastParam};
        return rows;
    };
    song.patterns = {pattern(kPeriodC2, kPeriodG2, kEffectBreak, 0),
                     pattern(kPeriodE2, kPeriodC3, kEffectBreak, 0),
                     pattern(kPeriodG2, kPeriodE2, jumpBack ? kEffectJump : kEffectBreak, jumpBack ? 1 : 0)};
    song.orders = {0, 1, 2};
    return song;
}

QByteArray vgmFile(const VgmSong& song)
{
    constexpr double kClock = 3579545.0;
    QByteArray data;
    std::uint32_t total = 0;
    std::uint32_t loopSamples = 0;
    int loopAt = -1;
    for (std::size_t i = 0; i < song.steps.size(); ++i) {
        if (static_cast<int>(i) == song.loopFrom)
            loopAt = static_cast<int>(data.size());
        const VgmStep& step = song.steps[i];
        if (step.hz > 0) {
            const int n = std::clamp(static_cast<int>(std::lround(kClock / (32.0 * step.hz))), 1, 1023);
            data.append(char(0x50)).append(static_cast<char>(0x80 | (n & 0x0f)));
            data.append(char(0x50)).append(static_cast<char>((n >> 4) & 0x3f));
            data.append(char(0x50)).append(static_cast<char>(0x90)); // channel 0, loudest
        } else {
            data.append(char(0x50)).append(static_cast<char>(0x9f)); // channel 0, silent
        }
        for (int left = step.wait; left > 0;) {
            const int wait = std::min(left, 0xffff);
            data.append(char(0x61))
                .append(static_cast<char>(wait & 0xff))
                .append(static_cast<char>(wait >> 8));
            left -= wait;
        }
        total += static_cast<std::uint32_t>(step.wait);
        if (song.loopFrom >= 0 && static_cast<int>(i) >= song.loopFrom)
            loopSamples += static_cast<std::uint32_t>(step.wait);
    }
    data.append(char(0x66));

    QByteArray bytes(0x40, '\0');
    bytes.replace(0, 4, "Vgm ");
    putLe32(bytes, 0x08, 0x150);
    putLe32(bytes, 0x0c, static_cast<std::uint32_t>(kClock));
    putLe32(bytes, 0x18, total);
    if (loopAt >= 0) {
        putLe32(bytes, 0x1c, static_cast<std::uint32_t>(0x40 + loopAt - 0x1c));
        putLe32(bytes, 0x20, loopSamples);
    }
    bytes[0x28] = 0x09; // SN76489 feedback and shift register width, as the Sega chips have them
    bytes[0x2a] = 16;
    putLe32(bytes, 0x34, 0x40 - 0x34);
    bytes += data;
    if (!song.title.isEmpty()) {
        putLe32(bytes, 0x14, static_cast<std::uint32_t>(bytes.size() - 0x14));
        QByteArray strings;
        appendUtf16(strings, song.title);                        // track name
        appendUtf16(strings, QString());                         // in Japanese
        appendUtf16(strings, QStringLiteral("Quillbeat tests")); // game
        for (int i = 0; i < 8; ++i)
            appendUtf16(strings, QString());
        bytes += "Gd3 ";
        appendLe32(bytes, 0x100);
        appendLe32(bytes, static_cast<std::uint32_t>(strings.size()));
        bytes += strings;
    }
    putLe32(bytes, 0x04, static_cast<std::uint32_t>(bytes.size() - 4));
    return bytes;
}

VgmSong loopingTune(bool withLoop)
{
    VgmSong song;
    song.steps = {{440.0, 11025}, {0, 11025}, {660.0, 5512}, {0, 5513}, {880.0, 5512}, {0, 5513}};
    song.loopFrom = withLoop ? 2 : -1;
    song.title = QStringLiteral("Quillbeat loop");
    return song;
}

QByteArray nsfFile(int tracks)
{
    QByteArray bytes(0x80, '\0');
    bytes.replace(0, 5, QByteArray("NESM\x1a", 5));
    bytes[0x05] = 1;
    bytes[0x06] = static_cast<char>(tracks);
    bytes[0x07] = 1;
    const auto put16 = [&bytes](int at, int value) {
        bytes[at] = static_cast<char>(value & 0xff);
        bytes[at + 1] = static_cast<char>(value >> 8);
    };
    put16(0x08, 0x8000); // load
    put16(0x0a, 0x8000); // init
    put16(0x0c, 0x801d); // play: returns at once
    bytes.replace(0x0e, 14, "Quillbeat NSF ");
    put16(0x6e, 16639); // NTSC frame period, microseconds
    put16(0x78, 19997);
    // init (A = the track's index): enable the first square, set its period from the index, sound it.
    const unsigned char code[] = {
        0x48,                         // PHA
        0xa9, 0x01, 0x8d, 0x15, 0x40, // LDA #1; STA $4015
        0x68,                         // PLA
        0x0a, 0x0a, 0x0a, 0x0a, 0x0a, // ASL A x5: index * 32
        0x18, 0x69, 0x40,             // CLC; ADC #$40
        0x8d, 0x02, 0x40,             // STA $4002: period, low byte
        0xa9, 0x00, 0x8d, 0x03, 0x40, // LDA #0; STA $4003: period, high bits
        0xa9, 0xbf, 0x8d, 0x00, 0x40, // LDA #$BF; STA $4000: duty 50 %, held, constant volume 15
        0x60,                         // RTS (init ends)
        0x60,                         // $801D: RTS (play)
    };
    bytes.append(reinterpret_cast<const char*>(code), sizeof code);
    return bytes;
}

double nsfTrackHz(int index)
{
    return 1789773.0 / (16.0 * (64 + 32 * index + 1));
}

QByteArray gzipped(const QByteArray& data)
{
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t r = i;
            for (int bit = 0; bit < 8; ++bit)
                r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
            t[i] = r;
        }
        return t;
    }();
    std::uint32_t crc = 0xffffffffu;
    for (const char c : data)
        crc = (crc >> 8) ^ table[(crc ^ static_cast<unsigned char>(c)) & 0xff];
    QByteArray out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    for (qsizetype at = 0; at < data.size() || at == 0;) {
        const auto part = static_cast<std::uint32_t>(std::min<qsizetype>(data.size() - at, 0xffff));
        out.append(at + static_cast<qsizetype>(part) >= data.size() ? '\x01' : '\x00');
        appendLeBytes(out, part, 2);
        appendLeBytes(out, ~part & 0xffff, 2);
        out += data.mid(at, part);
        at += part;
        if (part == 0)
            break;
    }
    appendLeBytes(out, ~crc, 4);
    appendLeBytes(out, static_cast<std::uint32_t>(data.size()), 4);
    return out;
}

QByteArray spcFile()
{
    QByteArray bytes(0x10200, '\0');
    bytes.replace(0, 33, "SNES-SPC700 Sound File Data v0.30");
    bytes[0x21] = 0x1a;
    bytes[0x22] = 0x1a;
    bytes[0x23] = 26; // an ID666 tag follows
    bytes[0x24] = 30;
    bytes[0x25] = 0x00; // PC = $0200
    bytes[0x26] = 0x02;
    bytes[0x2b] = static_cast<char>(0xef); // SP
    bytes.replace(0x2e, 13, "Quillbeat SPC");
    bytes.replace(0xa9, 3, "010"); // seconds to play, as text
    bytes.replace(0xac, 5, "01000");
    bytes[0x100 + 0x200] = 0x2f; // BRA -2: the program waits for ever
    bytes[0x100 + 0x201] = static_cast<char>(0xfe);
    bytes[0x10100 + 0x6c] = 0x20; // DSP FLG: echo writes off
    return bytes;
}

std::vector<float> moduleRender(const QByteArray& module, int rate, std::int64_t frames)
{
    openmpt_module* mod = openmpt_module_create_from_memory2(
        module.constData(), static_cast<std::size_t>(module.size()), openmpt_log_func_silent, nullptr,
        nullptr, nullptr, nullptr, nullptr, nullptr);
    if (mod == nullptr)
        return {};
    openmpt_module_set_repeat_count(mod, -1);
    std::vector<float> out(static_cast<std::size_t>(frames) * 2);
    std::size_t done = 0;
    while (done < static_cast<std::size_t>(frames)) {
        const std::size_t got = openmpt_module_read_interleaved_float_stereo(
            mod, rate, static_cast<std::size_t>(frames) - done, out.data() + done * 2);
        if (got == 0)
            break;
        done += got;
    }
    openmpt_module_destroy(mod);
    out.resize(done * 2);
    return out;
}

std::int64_t burstOnset(const std::vector<float>& audio, int channels, std::int64_t from, float level,
                        std::int64_t quiet)
{
    const auto frames = static_cast<std::int64_t>(audio.size()) / channels;
    std::int64_t below = from <= 0 ? quiet : 0;
    for (std::int64_t f = std::max<std::int64_t>(from, 0); f < frames; ++f) {
        if (std::fabs(audio[static_cast<std::size_t>(f * channels)]) > level) {
            if (below >= quiet)
                return f;
            below = 0;
        } else {
            ++below;
        }
    }
    return -1;
}

double toneHz(const std::vector<float>& audio, int channels, int rate, std::int64_t from, std::int64_t frames)
{
    const std::int64_t end = std::min(from + frames, static_cast<std::int64_t>(audio.size()) / channels);
    int crossings = 0;
    for (std::int64_t f = std::max<std::int64_t>(from, 0) + 1; f < end; ++f)
        crossings += static_cast<int>((audio[static_cast<std::size_t>(f * channels)] < 0) !=
                                      (audio[static_cast<std::size_t>((f - 1) * channels)] < 0));
    return crossings * static_cast<double>(rate) / 2.0 / static_cast<double>(frames);
}

} // namespace qb::test
