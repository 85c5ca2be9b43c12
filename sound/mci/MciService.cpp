#include "sound/mci/MciService.h"

#include "LoopSearch.h"
#include "sound/MciErrorText.h"
#include "sound/MciErrors.h"
#include "sound/MediaFormats.h"
#include "sound/decode/Decoders.h"
#include "sound/engine/AudioEngine.h"
#include "sound/engine/Device.h"
#include "sound/midi/MidiDecoder.h"
#include "sound/midi/MidiSynthCache.h"
#include "system/MessageBox.h"
#include "system/WorkBeside.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <utility>
#include <vector>

namespace qb::mci {
namespace {

std::string asciiLower(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// The kinds of file a device type named by "type" plays: the sequencer MIDI files, the others the rest.
MCIERROR kindsOfType(const std::string& type, FileOpening& file)
{
    const std::string name = asciiLower(type);
    if (name == "sequencer") {
        file.othersAllowed = false;
        return 0;
    }
    if (name == "waveaudio" || name == "mpegvideo") {
        file.midiAllowed = false;
        return 0;
    }
    // MCI's other standard device types exist in name but have no driver here.
    static constexpr std::string_view kKnownTypes[] = {"animation",    "avivideo", "cdaudio",  "dat",
                                                       "digitalvideo", "mmmovie",  "other",    "overlay",
                                                       "scanner",      "vcr",      "videodisc"};
    for (std::string_view known : kKnownTypes) {
        if (name == known)
            return MCIERR_DEVICE_NOT_INSTALLED;
    }
    return MCIERR_INVALID_DEVICE_NAME;
}

MCIERROR errorOf(audio::OpenError error)
{
    switch (error) {
    case audio::OpenError::None:
        return 0;
    case audio::OpenError::FileNotFound:
        return MCIERR_FILE_NOT_FOUND;
    case audio::OpenError::InvalidFile:
        return MCIERR_INVALID_FILE;
    case audio::OpenError::SoundFontMissing:
        return MCIERR_CANNOT_LOAD_DRIVER;
    case audio::OpenError::OutOfMemory:
    case audio::OpenError::TooLarge:
        return MCIERR_OUT_OF_MEMORY;
    }
    return MCIERR_INTERNAL;
}

SoundFontProblem problemOf(audio::SoundFontProblem problem)
{
    switch (problem) {
    case audio::SoundFontProblem::Missing:
        return SoundFontProblem::Missing;
    case audio::SoundFontProblem::Unreadable:
        return SoundFontProblem::Unreadable;
    case audio::SoundFontProblem::NotSoundFont:
        return SoundFontProblem::NotSoundFont;
    case audio::SoundFontProblem::None:
    case audio::SoundFontProblem::Rejected:
        break;
    }
    return SoundFontProblem::Rejected;
}

// The player's decoders for one file, chosen by its content. Runs on the opening thread: it owns what
// it uses.
audio::OpenResult openFile(const FileOpening& file)
{
    audio::OpenRequest request;
    request.midi = [&file](const std::string& path) {
        return audio::openMidiDecoder(path, file.synthCache, file.soundFont);
    };
    request.midiAllowed = file.midiAllowed;
    request.othersAllowed = file.othersAllowed;
    request.track = file.track;
    audio::OpenResult result = audio::openDecoder(file.path, request);
    if (file.loopPoints && result.decoder) {
        const audio::Decoder* own = result.decoder.get();
        result.decoder = audio::playingLoopPoints(std::move(result.decoder), file.path);
        result.marksPlay = result.decoder.get() != own;
    }
    return result;
}

// How long the service's end waits for an open it gave up: a cancelled open ends at its next read,
// within milliseconds; one stuck in the kernel or a library is left to end by itself.
constexpr std::chrono::milliseconds kGivenUpOpenEnds{250};

// How long "info ... loop wait" waits for a search: the finder takes about a second of CPU for four
// minutes of music, much longer on a busy machine at the lowest priority.
constexpr std::chrono::minutes kLongestLoopSearch{5};

std::int64_t msToFrames(std::uint32_t ms)
{
    return static_cast<std::int64_t>(ms) * audio::kEngineRate / 1000;
}

// Replies carry 32-bit numbers, as MCI's status values do, and the commands take no larger ones.
constexpr std::int64_t kLargestReply = std::numeric_limits<std::uint32_t>::max();
// "setaudio ... volume to" and "status ... volume": full volume, the most there is.
constexpr std::uint32_t kFullVolume = 1000;

// Whole milliseconds in `frames`, held at the largest number a reply carries. A file can place its
// events years apart, so frames * 1000 is not safe: whole seconds and the rest are converted apart.
std::int64_t framesToMs(std::int64_t frames)
{
    if (frames <= 0)
        return 0;
    const std::int64_t seconds = frames / audio::kEngineRate;
    if (seconds >= kLargestReply / 1000 + 1)
        return kLargestReply;
    const std::int64_t ms = seconds * 1000 + frames % audio::kEngineRate * 1000 / audio::kEngineRate;
    return std::min(ms, kLargestReply);
}

} // namespace

std::string MciServiceOptions::soundFont() const
{
    std::string chosen = soundFontChoice ? soundFontChoice() : std::string();
    if (chosen.empty())
        chosen = soundFontPath.empty() ? std::string(audio::kDefaultSoundFont) : soundFontPath;
    return chosen;
}

std::shared_ptr<audio::MidiSynthCache> synthCacheAhead(const MciServiceOptions& options,
                                                       const std::string& firstFile)
{
    auto cache = std::make_shared<audio::MidiSynthCache>();
    if (!firstFile.empty() && audio::isMidiFile(firstFile))
        cache->makeAhead(options.soundFont());
    return cache;
}

MciService::MciService(audio::AudioEngine& engine, platform::MessageBoxPresenter& errorBox)
    : MciService(engine, errorBox, Options{})
{
}

MciService::MciService(audio::AudioEngine& engine, platform::MessageBoxPresenter& errorBox, Options options)
    : m_engine(engine), m_errorBox(errorBox), m_options(std::move(options))
{
    if (!m_options.synthCache)
        m_options.synthCache = std::make_shared<audio::MidiSynthCache>();
    m_loopCacheFolder =
        m_options.loopCacheFolder.empty() ? defaultLoopCacheFolder() : m_options.loopCacheFolder;
}

MciService::~MciService()
{
    {
        const std::lock_guard lock(m_mutex);
        for (auto& [key, entry] : m_devices)
            m_engine.removeDevice(entry.device);
        m_devices.clear();
    }
    if (m_givenUp)
        m_givenUp->endsWithin(kGivenUpOpenEnds);
}

// Tells the options' soundFontFailed and fileTooLarge about a refusal recorded during one command, when the
// command has returned and no lock is held.
struct SoundFontFailureReport
{
    MciService& service;
    explicit SoundFontFailureReport(MciService& owner) : service(owner) {}
    SoundFontFailureReport(const SoundFontFailureReport&) = delete;
    SoundFontFailureReport& operator=(const SoundFontFailureReport&) = delete;
    ~SoundFontFailureReport()
    {
        try {
            if (auto failure = std::exchange(service.m_soundFontFailure, std::nullopt);
                failure && service.m_options.soundFontFailed)
                service.m_options.soundFontFailed(failure->path, static_cast<int>(failure->problem),
                                                  failure->why);
            if (auto file = std::exchange(service.m_tooLargeFile, std::nullopt);
                file && service.m_options.fileTooLarge)
                service.m_options.fileTooLarge(file->path, static_cast<int>(file->kind), file->amount,
                                               file->limit);
        } catch (...) {
            // A C-style service: nothing may escape to the caller.
        }
    }
};

MCIERROR MciService::mciSendStringA(const char* command, char* returnString, unsigned returnLength,
                                    void* /*callbackWindow*/)
{
    const SoundFontFailureReport report(*this);
    const bool hasBuffer = returnString != nullptr && returnLength > 0;
    if (hasBuffer)
        returnString[0] = '\0';
    if (command == nullptr)
        return MCIERR_MISSING_COMMAND_STRING;

    std::string reply;
    try {
        const MciParseResult parsed = parseMciCommand(command);
        if (!parsed.ok())
            return parsed.error;
        if (const MCIERROR error = execute(parsed.command, reply); error != 0)
            return error;
    } catch (const std::bad_alloc&) {
        return MCIERR_OUT_OF_MEMORY;
    } catch (...) {
        // A C-style service: nothing may escape to the caller.
        return MCIERR_INTERNAL;
    }

    if (!hasBuffer)
        return 0;
    if (reply.size() + 1 > returnLength)
        return MCIERR_PARAM_OVERFLOW;
    std::memcpy(returnString, reply.c_str(), reply.size() + 1);
    return 0;
}

bool MciService::mciExecute(const char* command)
{
    const MCIERROR error = mciSendStringA(command, nullptr, 0, nullptr);
    if (error == 0)
        return true;
    m_errorBox.show(mciErrorText(error), QStringLiteral("MCI"));
    return false;
}

MCIERROR MciService::execute(const ParsedCommand& cmd, std::string& reply)
{
    switch (cmd.verb) {
    case MciVerb::Open:
        return open(cmd);
    case MciVerb::Close:
        return close(cmd);
    case MciVerb::Play:
        return play(cmd);
    case MciVerb::Stop:
    case MciVerb::Pause:
    case MciVerb::Resume:
        return control(cmd);
    case MciVerb::Seek:
        return seek(cmd);
    case MciVerb::Status:
        return status(cmd, reply);
    case MciVerb::SetAudio:
        return setAudio(cmd);
    case MciVerb::Info:
        return info(cmd, reply);
    }
    return MCIERR_UNRECOGNIZED_COMMAND;
}

MCIERROR MciService::findOne(const ParsedCommand& cmd, std::shared_ptr<audio::Device>& device) const
{
    if (cmd.all)
        return MCIERR_CANNOT_USE_ALL;
    device = find(cmd.device);
    return device ? 0 : MCIERR_INVALID_DEVICE_NAME;
}

std::shared_ptr<audio::Device> MciService::find(const std::string& name) const
{
    const auto it = m_devices.find(asciiLower(name));
    return it == m_devices.end() ? nullptr : it->second.device;
}

MCIERROR MciService::open(const ParsedCommand& cmd)
{
    const std::string& name = cmd.alias ? *cmd.alias : cmd.device;
    const std::string key = asciiLower(name);
    FileOpening file;
    file.path = cmd.device;
    {
        const std::lock_guard lock(m_mutex);
        if (key == "all")
            return MCIERR_CANNOT_USE_ALL;
        if (m_devices.count(key) != 0)
            return cmd.alias ? MCIERR_DUPLICATE_ALIAS : MCIERR_DEVICE_OPEN;
        if (cmd.type) {
            if (const MCIERROR error = kindsOfType(*cmd.type, file))
                return error;
        }
    }

    // Decoders report a missing file too, but a folder or a dangling link gets the same answer whatever
    // the file would have been.
    struct stat st
    {
    };
    if (::stat(cmd.device.c_str(), &st) != 0)
        return MCIERR_FILE_NOT_FOUND;
    if (S_ISDIR(st.st_mode))
        return MCIERR_INVALID_FILE;

    // What the file is, only its content tells, on the opening thread: the SoundFont is asked for on
    // every open (a MIDI file then takes it), as the other choices are.
    const std::string soundFont = m_options.soundFont();
    file.soundFont = soundFont;
    file.synthCache = m_options.synthCache;
    file.loopPoints = m_options.loopPointsWanted && m_options.loopPointsWanted();
    file.track = m_options.trackWanted ? m_options.trackWanted(cmd.device) : 0;
    const bool findLoop = m_options.findLoopWanted && m_options.findLoopWanted();
    std::optional<audio::OpenResult> opened = openBeside(std::move(file));
    if (!opened)
        return MCIERR_INVALID_FILE;
    if (opened->error != audio::OpenError::None || !opened->decoder) {
        // The reply is only a number: someone running the player from a terminal learns why here.
        std::fprintf(stderr, "quillbeat: cannot open %s: %s\n", cmd.device.c_str(),
                     opened->message.empty() ? "no decoder" : opened->message.c_str());
        if (opened->error == audio::OpenError::SoundFontMissing)
            m_soundFontFailure =
                SoundFontFailure{soundFont, problemOf(opened->soundFontProblem), opened->message};
        if (opened->error == audio::OpenError::TooLarge)
            m_tooLargeFile =
                TooLargeFile{cmd.device,
                             opened->tooLarge.kind == audio::FileLimit::FileSize ? FileLimitKind::FileSize
                                                                                 : FileLimitKind::EventMemory,
                             opened->tooLarge.amount, opened->tooLarge.limit};
        return opened->error != audio::OpenError::None ? errorOf(opened->error) : MCIERR_INTERNAL;
    }

    const std::lock_guard lock(m_mutex);
    // Another open of the same name may have come in while this one waited.
    if (m_devices.count(key) != 0)
        return cmd.alias ? MCIERR_DUPLICATE_ALIAS : MCIERR_DEVICE_OPEN;
    OpenDevice entry;
    entry.name = name;
    entry.element = cmd.device;
    entry.title = opened->decoder->title();
    entry.fileRate = opened->decoder->fileRate();
    entry.fileLength = opened->decoder->fileLengthFrames();
    if (opened->marksPlay)
        entry.marks = opened->decoder->fileLoopMarks();
    else if (findLoop) {
        // The file starts at once; its loop is looked for beside it and plays once found.
        auto slot = std::make_shared<audio::LoopSlot>();
        opened->decoder = audio::playingFoundLoop(std::move(opened->decoder), slot);
        entry.search = std::make_shared<LoopSearch>(cmd.device, std::move(slot), m_loopCacheFolder);
    }
    entry.device = m_engine.addDevice(std::move(opened->decoder));
    if (!entry.device)
        return MCIERR_HARDWARE;
    m_devices.emplace(key, std::move(entry));
    return 0;
}

std::optional<audio::OpenResult> MciService::openBeside(FileOpening file)
{
    const auto deadline = std::chrono::steady_clock::now() + m_options.openLimit;
    // One open at a time: one given up before (it has been told to stop) must have ended first, so that
    // selecting a file that cannot open in time again and again never piles up threads and memory.
    if (m_givenUp) {
        if (m_givenUp->wait(deadline) != platform::WorkBeside::Outcome::Done) {
            std::fprintf(stderr,
                         "quillbeat: cannot open %s: the file given up before has not let go yet, and this "
                         "one is not opened\n",
                         file.path.c_str());
            return std::nullopt;
        }
        m_givenUp.reset();
    }

    // The result is the work's until it has ended, then the caller's; if the open is given up it is
    // closed on the opening thread, with everything else the open holds.
    auto result = std::make_shared<audio::OpenResult>();
    MciServiceOptions::Opener opener =
        m_options.opener ? m_options.opener : MciServiceOptions::Opener(openFile);
    auto work = std::make_unique<platform::WorkBeside>([result, opener, file] {
        try {
            *result = opener(file);
        } catch (const std::bad_alloc&) {
            *result = {nullptr, audio::OpenError::OutOfMemory, "out of memory"};
        } catch (...) {
            *result = {nullptr, audio::OpenError::InvalidFile, "the open failed"};
        }
    });
    // No lock is held meanwhile: on the main thread the wait keeps the caller's event loop running.
    switch (work->wait(deadline)) {
    case platform::WorkBeside::Outcome::Done:
        return std::move(*result);
    case platform::WorkBeside::Outcome::TimedOut:
        std::fprintf(stderr, "quillbeat: cannot open %s: it did not open within %lld ms, and is given up\n",
                     file.path.c_str(), static_cast<long long>(m_options.openLimit.count()));
        break;
    case platform::WorkBeside::Outcome::Leaving:
        std::fprintf(stderr, "quillbeat: the open of %s is given up: the program is ending\n",
                     file.path.c_str());
        break;
    }
    work->giveUp();
    m_givenUp = std::move(work);
    return std::nullopt;
}

MCIERROR MciService::close(const ParsedCommand& cmd)
{
    const std::lock_guard lock(m_mutex);
    if (cmd.all) {
        for (auto& [key, entry] : m_devices)
            m_engine.removeDevice(entry.device);
        m_devices.clear();
        return 0;
    }
    const auto it = m_devices.find(asciiLower(cmd.device));
    if (it == m_devices.end())
        return MCIERR_INVALID_DEVICE_NAME;
    m_engine.removeDevice(it->second.device);
    m_devices.erase(it);
    return 0;
}

MCIERROR MciService::play(const ParsedCommand& cmd)
{
    std::shared_ptr<audio::Device> device;
    {
        const std::lock_guard lock(m_mutex);
        if (const MCIERROR error = findOne(cmd, device))
            return error;
        // The loop's last pass found an empty or unreadable file: refused once, as a file that cannot
        // be read is at the open, so the window stops looping silence; the next play tries again.
        if (device->takeFileLost()) {
            std::fprintf(
                stderr,
                "quillbeat: cannot play %s: the file has changed, become empty or become unreadable\n",
                m_devices.at(asciiLower(cmd.device)).element.c_str());
            return MCIERR_FILE_READ;
        }

        std::optional<std::int64_t> from;
        std::optional<std::int64_t> to;
        if (cmd.fromMs)
            from = msToFrames(*cmd.fromMs);
        if (cmd.toMs)
            to = msToFrames(*cmd.toMs);
        const std::int64_t length = device->lengthFrames();
        if (length >= 0 && ((from && *from > length) || (to && *to > length)))
            return MCIERR_OUTOFRANGE;
        if (from && to && *from > *to)
            return MCIERR_OUTOFRANGE;
        device->play(from, to);
    }
    if (cmd.wait)
        waitWhilePlaying(device);
    return 0;
}

void MciService::waitWhilePlaying(const std::shared_ptr<audio::Device>& device)
{
    using Clock = std::chrono::steady_clock;
    constexpr auto kStall = std::chrono::seconds(1);
    std::int64_t lastPosition = device->positionFrames();
    auto lastProgress = Clock::now();
    while (device->mode() == audio::Device::Mode::Playing) {
        // pump() is serialised inside the engine, so this is safe next to a feeder thread too.
        m_engine.pump();
        const std::int64_t position = device->positionFrames();
        const auto now = Clock::now();
        if (position != lastPosition) {
            lastPosition = position;
            lastProgress = now;
        } else if (now - lastProgress > kStall) {
            return;
        }
        if (device->mode() != audio::Device::Mode::Playing)
            return;
        // The engine has no completion signal to wait on; a short sleep keeps this loop cheap.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

MCIERROR MciService::control(const ParsedCommand& cmd)
{
    const std::lock_guard lock(m_mutex);
    std::vector<std::shared_ptr<audio::Device>> targets;
    if (cmd.all) {
        for (const auto& [key, entry] : m_devices)
            targets.push_back(entry.device);
    } else {
        auto device = find(cmd.device);
        if (!device)
            return MCIERR_INVALID_DEVICE_NAME;
        targets.push_back(std::move(device));
    }
    for (const auto& device : targets) {
        switch (cmd.verb) {
        case MciVerb::Stop:
            device->stop();
            break;
        case MciVerb::Pause:
            device->pause();
            break;
        case MciVerb::Resume:
            device->resume();
            break;
        default:
            return MCIERR_INTERNAL;
        }
    }
    return 0;
}

MCIERROR MciService::seek(const ParsedCommand& cmd)
{
    const std::lock_guard lock(m_mutex);
    std::shared_ptr<audio::Device> device;
    if (const MCIERROR error = findOne(cmd, device))
        return error;
    const std::int64_t length = device->lengthFrames();
    std::int64_t frame = 0;
    switch (cmd.seekTarget.value_or(SeekTarget::Start)) {
    case SeekTarget::Start:
        frame = 0;
        break;
    case SeekTarget::End:
        frame = length >= 0 ? length : std::numeric_limits<std::int64_t>::max();
        break;
    case SeekTarget::Position:
        frame = msToFrames(cmd.seekMs);
        if (length >= 0 && frame > length)
            return MCIERR_OUTOFRANGE;
        break;
    }
    device->seek(frame);
    return 0;
}

MCIERROR MciService::status(const ParsedCommand& cmd, std::string& reply)
{
    const std::lock_guard lock(m_mutex);
    std::shared_ptr<audio::Device> device;
    if (const MCIERROR error = findOne(cmd, device))
        return error;
    switch (cmd.statusItem.value_or(StatusItem::Mode)) {
    case StatusItem::Mode:
        switch (device->mode()) {
        case audio::Device::Mode::Playing:
            reply = "playing";
            break;
        case audio::Device::Mode::Paused:
            reply = "paused";
            break;
        case audio::Device::Mode::Stopped:
            reply = "stopped";
            break;
        }
        break;
    case StatusItem::Length:
        reply = std::to_string(framesToMs(device->lengthFrames()));
        break;
    case StatusItem::Position:
        reply = std::to_string(framesToMs(device->positionFrames()));
        break;
    case StatusItem::Ready:
        reply = "true";
        break;
    case StatusItem::Volume:
        reply = std::to_string(std::lround(m_engine.volume() * kFullVolume));
        break;
    }
    return 0;
}

MCIERROR MciService::info(const ParsedCommand& cmd, std::string& reply)
{
    std::unique_lock lock(m_mutex);
    if (cmd.all)
        return MCIERR_CANNOT_USE_ALL;
    const auto it = m_devices.find(asciiLower(cmd.device));
    if (it == m_devices.end())
        return MCIERR_INVALID_DEVICE_NAME;
    const OpenDevice& entry = it->second;
    switch (cmd.infoItem.value_or(InfoItem::File)) {
    case InfoItem::File:
        reply = entry.element;
        break;
    case InfoItem::Title:
        reply = entry.title;
        break;
    case InfoItem::Loop: {
        const auto line = [&entry](std::int64_t start, std::int64_t end, const char* source) {
            return std::to_string(start) + ' ' + std::to_string(end) + ' ' + std::to_string(entry.fileRate) +
                   ' ' + source;
        };
        if (entry.marks) {
            reply = line(entry.marks->start, entry.marks->end, "marks");
            break;
        }
        LoopSearch::State found;
        if (entry.search) {
            // The search needs no lock of the service, which other commands may want meanwhile.
            const std::shared_ptr<LoopSearch> search = entry.search;
            lock.unlock();
            found = cmd.wait ? search->waitDone(kLongestLoopSearch) : search->state();
        }
        reply = found.loop ? line(found.loop->start, found.loop->end, "found")
                           : line(0, std::max<std::int64_t>(entry.fileLength, 0), "whole");
        break;
    }
    }
    return 0;
}

MCIERROR MciService::setAudio(const ParsedCommand& cmd)
{
    const std::lock_guard lock(m_mutex);
    std::shared_ptr<audio::Device> device;
    if (const MCIERROR error = findOne(cmd, device))
        return error;
    const std::uint32_t volume = cmd.volume.value_or(kFullVolume);
    if (volume > kFullVolume)
        return MCIERR_OUTOFRANGE;
    m_engine.setVolume(static_cast<float>(volume) / kFullVolume);
    return 0;
}

} // namespace qb::mci
