#include "sound/mci/MciService.h"

#include "OpenWithin.h"
#include "sound/MciErrorText.h"
#include "sound/MciErrors.h"
#include "sound/MediaFormats.h"
#include "sound/decode/Decoders.h"
#include "sound/engine/AudioEngine.h"
#include "sound/engine/Device.h"
#include "sound/midi/MidiDecoder.h"
#include "sound/midi/MidiSynthCache.h"
#include "system/MessageBox.h"

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

using DeviceKind = formats::MediaKind;

std::string asciiLower(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

MCIERROR kindFromExtension(const std::string& element, DeviceKind& kind)
{
    const std::optional<formats::MediaFormat> format = formats::formatOfPath(element);
    if (!format)
        return MCIERR_EXTENSION_NOT_FOUND;
    kind = format->kind;
    return 0;
}

MCIERROR kindFromType(const std::string& type, DeviceKind& kind)
{
    const std::string name = asciiLower(type);
    if (name == "sequencer") {
        kind = DeviceKind::Sequencer;
        return 0;
    }
    if (name == "waveaudio") {
        kind = DeviceKind::WaveAudio;
        return 0;
    }
    if (name == "mpegvideo") {
        kind = DeviceKind::MpegVideo;
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

// The decoder of `kind` for `path`. Runs on the opening thread (see openWithin): it owns what it uses.
audio::OpenResult openDecoder(DeviceKind kind, const std::string& path, bool typed,
                              const std::string& soundFont,
                              const std::shared_ptr<audio::MidiSynthCache>& cache)
{
    switch (kind) {
    case DeviceKind::Sequencer:
        return audio::openMidiDecoder(path, cache, soundFont);
    case DeviceKind::WaveAudio:
        return audio::openSoundFileDecoder(path);
    case DeviceKind::MpegVideo: {
        audio::OpenResult opened = audio::openMp3Decoder(path);
        // The MPEG device plays any audio file it is given, as the media player behind it does.
        if (opened.error == audio::OpenError::InvalidFile && typed) {
            audio::OpenResult other = audio::openSoundFileDecoder(path);
            if (other.error == audio::OpenError::None)
                return other;
        }
        return opened;
    }
    }
    return {};
}

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

MciService::MciService(audio::AudioEngine& engine, platform::MessageBoxPresenter& errorBox)
    : MciService(engine, errorBox, Options{})
{
}

MciService::MciService(audio::AudioEngine& engine, platform::MessageBoxPresenter& errorBox, Options options)
    : m_engine(engine), m_errorBox(errorBox), m_options(std::move(options))
{
    if (!m_options.synthCache)
        m_options.synthCache = std::make_shared<audio::MidiSynthCache>();
}

MciService::~MciService()
{
    const std::lock_guard lock(m_mutex);
    for (auto& [key, entry] : m_devices)
        m_engine.removeDevice(entry.device);
    m_devices.clear();
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
    DeviceKind kind = DeviceKind::WaveAudio;
    {
        const std::lock_guard lock(m_mutex);
        if (key == "all")
            return MCIERR_CANNOT_USE_ALL;
        if (m_devices.count(key) != 0)
            return cmd.alias ? MCIERR_DUPLICATE_ALIAS : MCIERR_DEVICE_OPEN;
        if (const MCIERROR error =
                cmd.type ? kindFromType(*cmd.type, kind) : kindFromExtension(cmd.device, kind))
            return error;
    }

    // Decoders report a missing file too, but a folder or a dangling link should give the same answer
    // whichever decoder the extension picked.
    struct stat st
    {
    };
    if (::stat(cmd.device.c_str(), &st) != 0)
        return MCIERR_FILE_NOT_FOUND;
    if (S_ISDIR(st.st_mode))
        return MCIERR_INVALID_FILE;

    std::string soundFont;
    if (kind == DeviceKind::Sequencer) {
        soundFont = m_options.soundFontChoice ? m_options.soundFontChoice() : std::string();
        if (soundFont.empty())
            soundFont = m_options.soundFontPath.empty() ? std::string(audio::kDefaultSoundFont)
                                                        : m_options.soundFontPath;
    }
    const bool loopPoints = m_options.loopPointsWanted && m_options.loopPointsWanted();
    // No lock is held meanwhile: the wait keeps the caller's event loop running.
    std::optional<audio::OpenResult> opened =
        openWithin(m_options.openLimit, [kind, path = cmd.device, typed = cmd.type.has_value(), soundFont,
                                         cache = m_options.synthCache, loopPoints] {
            audio::OpenResult result = openDecoder(kind, path, typed, soundFont, cache);
            if (loopPoints)
                result.decoder = audio::playingLoopPoints(std::move(result.decoder), path);
            return result;
        });
    if (!opened) {
        std::fprintf(stderr, "quillbeat: cannot open %s: it did not open within %lld ms, and is given up\n",
                     cmd.device.c_str(), static_cast<long long>(m_options.openLimit.count()));
        return MCIERR_INVALID_FILE;
    }
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
    std::shared_ptr<audio::Device> device = m_engine.addDevice(std::move(opened->decoder));
    if (!device)
        return MCIERR_HARDWARE;
    m_devices.emplace(key, OpenDevice{name, cmd.device, std::move(device)});
    return 0;
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
            std::fprintf(stderr, "quillbeat: cannot play %s: the file has become empty or unreadable\n",
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
