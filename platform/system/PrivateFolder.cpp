#include "system/PrivateFolder.h"

#include "system/ShortPath.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace qb::platform {
namespace {

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

bool usableBase(const std::string& path)
{
    if (path.empty() || path.front() != '/' || pathNeedsShortAlias(path))
        return false;
    struct stat st
    {
    };
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// XDG_RUNTIME_DIR is only trusted when it is a real folder of ours that nobody else can write.
bool privateExisting(const std::string& path)
{
    struct stat st
    {
    };
    if (::lstat(path.c_str(), &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// mkdir, then lstat: whatever is there now must be a real folder (a link is refused, never
// followed), owned by us and closed to everyone else. mkdir never widens 0700, so a folder with looser
// rights was not made here and is not trusted.
bool makePrivate(const std::string& path)
{
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st
    {
    };
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 0077) == 0;
}

bool validPurpose(std::string_view purpose)
{
    return !purpose.empty() && purpose != "." && purpose != ".." &&
           purpose.find('/') == std::string_view::npos && !pathNeedsShortAlias(purpose);
}

std::optional<std::string> under(const std::string& base, std::string_view purpose)
{
    if (!makePrivate(base))
        return std::nullopt;
    std::string folder = base + '/' + std::string(purpose);
    if (!makePrivate(folder))
        return std::nullopt;
    return folder;
}

} // namespace

std::optional<std::string> privateRuntimeFolder(std::string_view purpose)
{
    if (!validPurpose(purpose))
        return std::nullopt;

    const std::string runtime = environment("XDG_RUNTIME_DIR");
    if (usableBase(runtime) && privateExisting(runtime)) {
        if (auto folder = under(runtime + "/quillbeat", purpose))
            return folder;
    }

    // The system's temporary folder is shared, so the folder in it carries our user id and is checked
    // for owner and type after creation; the sticky bit keeps others from renaming it away.
    const std::string name = "/quillbeat-" + std::to_string(::geteuid());
    std::string tmp = environment("TMPDIR");
    while (tmp.size() > 1 && tmp.back() == '/')
        tmp.pop_back();
    if (tmp != "/tmp" && usableBase(tmp)) {
        if (auto folder = under(tmp + name, purpose))
            return folder;
    }
    return under("/tmp" + name, purpose);
}

} // namespace qb::platform
