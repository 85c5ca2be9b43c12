#include "LoopSearch.h"

#include "posix/Reads.h"
#include "posix/UniqueFd.h"

#include <QCryptographicHash>
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sstream>
#include <string_view>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qb::mci {

namespace {

constexpr const char* kEntryVersion = "quillbeat loop cache 1";

// What the cache says of a file: its size when searched, and the loop found (none: it repeats none).
struct Entry
{
    std::int64_t size = 0;
    std::optional<FileLoop> loop;
};

// The SHA-256 of the file's content, in hex; empty when it cannot be read.
std::string contentKey(const std::string& path, std::int64_t* size)
{
    const posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info
    {
    };
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    std::vector<char> buffer(std::size_t{1} << 20);
    std::uint64_t at = 0;
    for (;;) {
        const ssize_t got = posix::readAt(fd.get(), buffer.data(), buffer.size(), at);
        if (got < 0)
            return {};
        if (got == 0)
            break;
        hash.addData(QByteArrayView(buffer.data(), got));
        at += static_cast<std::uint64_t>(got);
    }
    *size = static_cast<std::int64_t>(at);
    return hash.result().toHex().toStdString();
}

std::string entryText(const Entry& entry)
{
    std::ostringstream body;
    body << kEntryVersion << '\n' << "size " << entry.size << '\n';
    if (entry.loop)
        body << "loop " << entry.loop->start << ' ' << entry.loop->end << ' ' << entry.loop->rate << '\n';
    else
        body << "none\n";
    const std::string text = body.str();
    const QByteArray sum =
        QCryptographicHash::hash(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())),
                                 QCryptographicHash::Sha256)
            .toHex()
            .left(16);
    return text + "check " + sum.toStdString() + '\n';
}

// The entry at `file`, exactly as entryText() writes one; none when it is not.
std::optional<Entry> readEntry(const std::string& file)
{
    const posix::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    char bytes[512];
    const ssize_t got = fd ? posix::readAt(fd.get(), bytes, sizeof bytes, 0) : -1;
    if (got <= 0 || got == static_cast<ssize_t>(sizeof bytes))
        return std::nullopt;
    const std::string text(bytes, static_cast<std::size_t>(got));
    std::istringstream lines(text);
    std::string version;
    std::getline(lines, version);
    Entry entry;
    std::string word;
    if (version != kEntryVersion || !(lines >> word) || word != "size" || !(lines >> entry.size) ||
        !(lines >> word))
        return std::nullopt;
    if (word == "loop") {
        FileLoop loop;
        if (!(lines >> loop.start >> loop.end >> loop.rate))
            return std::nullopt;
        entry.loop = loop;
    } else if (word != "none") {
        return std::nullopt;
    }
    // The entry must be what would be written for what it says, to the byte and its checksum.
    return entryText(entry) == text ? std::optional<Entry>(entry) : std::nullopt;
}

// Writes the entry whole or not at all (a temporary renamed over it), then lets go of the oldest
// entries beyond the most kept.
void writeEntry(const std::string& folder, const std::string& key, const Entry& entry)
{
    std::string made;
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        made = folder.substr(0, slash);
        if (::mkdir(made.c_str(), 0700) != 0 && errno != EEXIST)
            return;
        if (slash == std::string::npos)
            break;
    }
    const std::string file = folder + '/' + key;
    const std::string temporary = file + ".new";
    const std::string text = entryText(entry);
    {
        const posix::UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (!fd || ::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            return;
    }
    if (::rename(temporary.c_str(), file.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return;
    }
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return;
    std::vector<std::pair<std::int64_t, std::string>> entries; // modified, name
    while (const dirent* item = ::readdir(dir)) {
        const std::string name = item->d_name;
        struct stat info
        {
        };
        if (name.size() == 64 && ::stat((folder + '/' + name).c_str(), &info) == 0)
            entries.emplace_back(static_cast<std::int64_t>(info.st_mtim.tv_sec), name);
    }
    ::closedir(dir);
    if (entries.size() <= static_cast<std::size_t>(kMostLoopCacheEntries))
        return;
    std::sort(entries.begin(), entries.end());
    for (std::size_t i = 0; i < entries.size() - kMostLoopCacheEntries; ++i)
        ::unlink((folder + '/' + entries[i].second).c_str());
}

} // namespace

std::string defaultLoopCacheFolder()
{
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache != nullptr && cache[0] == '/')
        return std::string(cache) + "/quillbeat/loops";
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/')
        return std::string(home) + "/.cache/quillbeat/loops";
    return {};
}

LoopSearch::LoopSearch(std::string path, std::shared_ptr<audio::LoopSlot> slot, std::string cacheFolder)
    : m_path(std::move(path)), m_slot(std::move(slot)), m_cacheFolder(std::move(cacheFolder)),
      m_thread([this] { run(); })
{
}

LoopSearch::~LoopSearch()
{
    m_cancel.store(true, std::memory_order_relaxed);
    m_thread.join();
}

LoopSearch::State LoopSearch::state() const
{
    const std::lock_guard lock(m_mutex);
    return m_state;
}

LoopSearch::State LoopSearch::waitDone(std::chrono::milliseconds limit) const
{
    std::unique_lock lock(m_mutex);
    m_doneChanged.wait_for(lock, limit, [this] { return m_state.done; });
    return m_state;
}

void LoopSearch::finish(std::optional<FileLoop> loop)
{
    if (loop) {
        // In engine frames, as the decoder plays them.
        const auto toEngine = [&loop](std::int64_t frames) {
            return (frames * audio::kEngineRate + loop->rate / 2) / loop->rate;
        };
        m_slot->set(audio::LoopSpan{toEngine(loop->start), toEngine(loop->end), "the loop found"});
    }
    const std::lock_guard lock(m_mutex);
    m_state.done = true;
    m_state.loop = loop;
    m_doneChanged.notify_all();
}

void LoopSearch::run()
{
    // Beside the music, taking only time the machine can spare; told to stop, its reads fail at once.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
    const posix::CancelReads reads(m_cancel);
    std::string why;
    std::optional<audio::LoopSearchAudio> audio = audio::openForLoopSearch(m_path, &why);
    if (!audio) {
        finish(std::nullopt);
        return;
    }
    const int rate = audio->reader->sampleRate();
    const std::int64_t length = audio->reader->lengthFrames();
    std::int64_t size = 0;
    const std::string key = m_cacheFolder.empty() ? std::string() : contentKey(m_path, &size);
    if (!key.empty()) {
        const std::optional<Entry> cached = readEntry(m_cacheFolder + '/' + key);
        const bool fits =
            cached && cached->size == size &&
            (!cached->loop || (cached->loop->rate == rate && cached->loop->start >= 0 &&
                               cached->loop->start < cached->loop->end && cached->loop->end <= length));
        if (fits) {
            finish(cached->loop);
            return;
        }
    }
    loopfind::Options options;
    options.fidelity = audio->fidelity;
    options.cancel = &m_cancel;
    const loopfind::Result result = loopfind::findLoop(*audio->reader, options);
    std::optional<FileLoop> loop;
    if (result.loop)
        loop = FileLoop{result.loop->start, result.loop->end, rate};
    switch (result.outcome) {
    case loopfind::Outcome::Found:
        std::fprintf(stderr, "quillbeat: %s: found its loop, frames %" PRId64 " to %" PRId64 " at %d Hz\n",
                     m_path.c_str(), loop->start, loop->end, rate);
        [[fallthrough]];
    case loopfind::Outcome::None:
    case loopfind::Outcome::TooShort:
    case loopfind::Outcome::TooLong:
        if (!key.empty())
            writeEntry(m_cacheFolder, key, Entry{size, loop});
        break;
    case loopfind::Outcome::Cancelled:
    case loopfind::Outcome::Failed:
        break;
    }
    finish(loop);
}

} // namespace qb::mci
