#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <vector>

namespace qb::test {

// Files of music that a library renders from a description, written byte by byte: a four-channel
// ProTracker module, a VGM file of the SN76489 sound chip, an NSF and an SPC file.

// One cell of a MOD pattern: an Amiga period (0: no note), a sample number (1-31, 0: none), an effect
// (0x0-0xF) and its parameter.
struct ModCell
{
    int period = 0;
    int sample = 0;
    int effect = 0;
    int param = 0;
};
using ModRow = std::array<ModCell, 4>;

struct ModSong
{
    QByteArray title;                              // at most 20 bytes
    std::vector<std::vector<ModRow>> patterns;     // each of at most 64 rows, empty rows after
    std::vector<int> orders;                       // the patterns in the order they play
    int restart = 0;                               // the restart position byte
    std::vector<std::vector<std::int8_t>> samples; // signed 8-bit, even lengths, each looped whole
};

// The song as a "M.K." module: 1084 bytes of header, 1 KiB per pattern, then the samples.
QByteArray modFile(const ModSong& song);

// Periods of some notes, and effects.
inline constexpr int kPeriodC2 = 428, kPeriodE2 = 339, kPeriodG2 = 285, kPeriodC3 = 214;
inline constexpr int kEffectJump = 0xB, kEffectBreak = 0xD, kEffectSpeed = 0xF;

// A module that tells where it is: an introduction (order 0, one pattern), then two patterns (orders
// 1 and 2) whose last row jumps back to order 1, so the song repeats from its second pattern. Each
// pattern is 8 rows of 3 ticks at 125 BPM: 21,168 frames at 44.1 kHz. With `jumpBack` false the song
// simply ends after order 2 (and restarts from its start).
ModSong jumpingModule(bool jumpBack = true);
inline constexpr std::int64_t kJumpingModulePatternFrames = 21168;

// One SN76489 event of a VGM file: `wait` samples of 44.1 kHz, then tone `hz` on channel 0 at full
// volume (0: silence).
struct VgmStep
{
    double hz = 0;
    int wait = 0;
};

struct VgmSong
{
    std::vector<VgmStep> steps;
    int loopFrom = -1; // the step the file's loop starts at; -1: no loop
    QString title;     // the GD3 tag's track name; empty: no tag
};

// The song as a VGM 1.50 file: header, the chip's writes and waits, the loop offset and the sample
// counts, and a GD3 tag.
QByteArray vgmFile(const VgmSong& song);
// `data` as a gzip stream of stored (uncompressed) deflate blocks: a VGM file so is a VGZ file.
QByteArray gzipped(const QByteArray& data);

// A tune that tells where it is: an introduction of a quarter second of 440 Hz and a quarter second
// of silence, then a loop of 660 Hz and 880 Hz bursts (an eighth of a second each, an eighth of
// silence after each): intro 22,050 samples, loop 22,050.
VgmSong loopingTune(bool withLoop = true);
inline constexpr std::int64_t kLoopingTuneIntroFrames = 22050;
inline constexpr std::int64_t kLoopingTuneLoopFrames = 22050;

// An NSF file of `tracks` tracks whose init routine sounds the first square wave at a pitch that tells
// the track: period 64 + 32 * index of the track (0 first), about 1721, 1150, 867 Hz...
QByteArray nsfFile(int tracks);
// The pitch of track `index` of nsfFile(), in Hz.
double nsfTrackHz(int index);

// An SPC file (the SPC700's memory and DSP registers as a game left them) whose program waits for ever
// in silence, with an ID666 tag: title "Quillbeat SPC", ten seconds to play. libgme never ends it.
QByteArray spcFile();

// What libopenmpt renders of `module` straight through at `rate`, repeating for ever: `frames` stereo
// frames, interleaved (fewer when it renders nothing more; empty when it takes no module).
std::vector<float> moduleRender(const QByteArray& module, int rate, std::int64_t frames);

// Reading what these tunes sound like, in the first channel of `channels` interleaved: the first frame
// from `from` on louder than `level` after at least `quiet` frames below it (the start of `audio`
// counts as quiet); -1 when none.
std::int64_t burstOnset(const std::vector<float>& audio, int channels, std::int64_t from, float level = 0.05f,
                        std::int64_t quiet = 2000);
// The tone's frequency from its zero crossings over `frames` frames from `from` (fewer at the end).
double toneHz(const std::vector<float>& audio, int channels, int rate, std::int64_t from,
              std::int64_t frames);

} // namespace qb::test
