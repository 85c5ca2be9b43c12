#include "system/ShortPath.h"

#include "system/PrivateFolder.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace qb::platform {
namespace {

std::uint64_t fnv1a64(std::string_view text)
{
    std::uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    return hash;
}

// The extension of the last path component, dot included; empty when there is none or when it could
// not stand unquoted itself (such an extension names no device anyway).
std::string cleanExtension(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size())
        return {};
    const std::string_view ext = name.substr(dot);
    if (pathNeedsShortAlias(ext) || ext.size() > 16)
        return {};
    return std::string(ext);
}

std::string absolutePath(const char* path)
{
    if (path[0] == '/')
        return path;
    std::vector<char> cwd(4096);
    while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
        if (errno != ERANGE)
            return {};
        cwd.resize(cwd.size() * 2);
    }
    std::string result(cwd.data());
    if (result.empty() || result.back() != '/')
        result += '/';
    return result + path;
}

std::string readLink(const std::string& link)
{
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t n = ::readlink(link.c_str(), buffer.data(), buffer.size());
        if (n < 0)
            return {};
        if (static_cast<std::size_t>(n) < buffer.size())
            return std::string(buffer.data(), static_cast<std::size_t>(n));
        buffer.resize(buffer.size() * 2);
    }
}

std::string makeAlias(const char* longPath)
{
    const std::string folder = shortPathAliasFolder();
    if (folder.empty())
        return {};
    const std::string target = absolutePath(longPath);
    if (target.empty())
        return {};

    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(fnv1a64(target)));
    const std::string link = folder + "/" + hex + cleanExtension(target);

    if (readLink(link) == target)
        return link;

    // Build the link under a temporary name and rename it into place, so a stale link with the same
    // name is replaced atomically and a reader never sees a half-made one.
    static std::atomic<unsigned> counter{0};
    char tmpName[64];
    std::snprintf(tmpName, sizeof tmpName, "/.tmp-%ld-%u", static_cast<long>(::getpid()),
                  counter.fetch_add(1));
    const std::string tmp = folder + tmpName;
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0)
        return {};
    if (::rename(tmp.c_str(), link.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return {};
    }
    return link;
}

} // namespace

bool pathNeedsShortAlias(std::string_view path)
{
    for (unsigned char c : path) {
        if (c <= 0x20 || c == 0x7F || c == '"' || c == '\'')
            return true;
    }
    return false;
}

std::string shortPathAliasFolder()
{
    return privateRuntimeFolder("links").value_or(std::string());
}

std::uint32_t GetShortPathNameA(const char* longPath, char* shortPath, std::uint32_t bufferLength)
{
    if (longPath == nullptr || longPath[0] == '\0')
        return 0;
    struct stat st
    {
    };
    if (::stat(longPath, &st) != 0)
        return 0;

    const std::string result = pathNeedsShortAlias(longPath) ? makeAlias(longPath) : std::string(longPath);
    if (result.empty() || result.size() >= 0xFFFFFFFFu)
        return 0;

    const auto needed = static_cast<std::uint32_t>(result.size() + 1);
    if (shortPath == nullptr || bufferLength < needed)
        return needed;
    std::memcpy(shortPath, result.c_str(), needed);
    return needed - 1;
}

} // namespace qb::platform
