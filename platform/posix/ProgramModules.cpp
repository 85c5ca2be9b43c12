#include "posix/ProgramModules.h"

#include <climits>
#include <unistd.h>

namespace qb::posix {

std::vector<std::string> programModulePaths(const char* fileName)
{
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string folder = ".";
    if (length > 0) {
        folder.assign(self, static_cast<std::size_t>(length));
        folder.erase(folder.find_last_of('/'));
    }
    return {folder + "/" QUILLBEAT_MODULE_DIR "/" + fileName, folder + "/" + fileName};
}

} // namespace qb::posix
