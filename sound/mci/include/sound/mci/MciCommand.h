#pragma once

#include "sound/MciApi.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qb::mci {

enum class MciVerb
{
    Open,
    Play,
    Stop,
    Pause,
    Resume,
    Seek,
    Status,
    Close,
    SetAudio,
    Info
};

enum class StatusItem
{
    Mode,
    Length,
    Position,
    Ready,
    Volume
};

// What "info" tells of a device: the file it plays, the title the file gives what it holds, or the
// loop it plays.
enum class InfoItem
{
    File,
    Title,
    Loop
};

// Where "seek ... to" goes: the start, the end, or `seekMs` milliseconds.
enum class SeekTarget
{
    Start,
    End,
    Position
};

// One command string taken apart. Positions are milliseconds, as MCI's default time format.
struct ParsedCommand
{
    MciVerb verb = MciVerb::Stop;
    // The device name or alias as written (quotes removed); for open, the element (the file path).
    std::string device;
    // The device name was the word "all" (never set for open).
    bool all = false;

    bool notify = false;
    bool wait = false;

    // open
    std::optional<std::string> type;
    std::optional<std::string> alias;
    bool shareable = false;

    // play
    std::optional<std::uint32_t> fromMs;
    std::optional<std::uint32_t> toMs;

    // seek (always set for a parsed seek)
    std::optional<SeekTarget> seekTarget;
    std::uint32_t seekMs = 0;

    // status (always set for a parsed status)
    std::optional<StatusItem> statusItem;

    // info (always set for a parsed info)
    std::optional<InfoItem> infoItem;

    // setaudio ... volume to N (always set for a parsed setaudio): 0 silent to 1000 full, as written;
    // the device decides what is in range.
    std::optional<std::uint32_t> volume;
};

// The outcome of parseMciCommand: `error` is 0 and `command` is filled, or `error` is the MCI code.
struct MciParseResult
{
    ParsedCommand command;
    MCIERROR error = 0;

    bool ok() const { return error == 0; }
};

// Takes an MCI command string apart, without looking at any device. Words are separated by blanks
// (space, tab, line breaks); a word that begins with '"' runs to the next '"' and may hold blanks.
// The verb, keywords and the words "all", "start" and "end" compare without regard to ASCII case.
// For open, the word after the verb is always the element, whatever it says, so a file name can
// never turn into a keyword.
MciParseResult parseMciCommand(std::string_view command);

} // namespace qb::mci
