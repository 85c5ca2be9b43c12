#include "sound/SoundModuleLoader.h"

#include "sound/MciErrorText.h"
#include "sound/MciErrors.h"
#include "system/MessageBox.h"

#include <QString>
#include <climits>
#include <cstdio>
#include <dlfcn.h>
#include <unistd.h>

namespace qb::mci {

SoundModuleLoader::SoundModuleLoader(SoundStackSetup setup, std::vector<std::string> modulePaths)
    : m_setup(std::move(setup)),
      m_modulePaths(modulePaths.empty() ? defaultModulePaths() : std::move(modulePaths))
{
}

SoundModuleLoader::~SoundModuleLoader() = default;

std::vector<std::string> SoundModuleLoader::defaultModulePaths()
{
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string folder = ".";
    if (length > 0) {
        folder.assign(self, static_cast<std::size_t>(length));
        folder.erase(folder.find_last_of('/'));
    }
    return {folder + "/" QUILLBEAT_SOUND_MODULE_DIR "/" + kSoundModuleFileName,
            folder + "/" + kSoundModuleFileName};
}

bool SoundModuleLoader::load()
{
    if (m_stack)
        return true;
    for (const std::string& path : m_modulePaths) {
        if (::access(path.c_str(), F_OK) != 0)
            continue;
        // Never closed: see the destructor.
        void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            std::fprintf(stderr, "quillbeat: cannot load the sound module: %s\n", ::dlerror());
            return false;
        }
        const auto make = reinterpret_cast<MakeSoundStack>(::dlsym(module, kMakeSoundStackSymbol));
        if (make == nullptr) {
            std::fprintf(stderr, "quillbeat: %s is not a sound module of this program\n", path.c_str());
            return false;
        }
        m_stack.reset(make(m_setup));
        if (!m_stack)
            return false;
        if (!m_title.empty())
            m_stack->setStreamTitle(m_title);
        return true;
    }
    std::fprintf(stderr, "quillbeat: the sound module %s is missing (looked in %s)\n", kSoundModuleFileName,
                 m_modulePaths.empty() ? "no folder" : m_modulePaths.front().c_str());
    return false;
}

MCIERROR SoundModuleLoader::mciSendStringA(const char* command, char* returnString, unsigned returnLength,
                                           void* callbackWindow)
{
    if (!load())
        return MCIERR_CANNOT_LOAD_DRIVER;
    return m_stack->mciSendStringA(command, returnString, returnLength, callbackWindow);
}

bool SoundModuleLoader::mciExecute(const char* command)
{
    if (load())
        return m_stack->mciExecute(command);
    if (m_setup.errorBox != nullptr)
        m_setup.errorBox->show(mciErrorText(MCIERR_CANNOT_LOAD_DRIVER), QStringLiteral("MCI"));
    return false;
}

void SoundModuleLoader::setStreamTitle(const std::string& title)
{
    m_title = title;
    if (m_stack)
        m_stack->setStreamTitle(title);
}

} // namespace qb::mci
