#include "sound/SoundModuleLoader.h"

#include "sound/MciErrors.h"
#include "system/MessageBox.h"

#include <climits>
#include <cstdio>
#include <cstring>
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

void SoundModuleLoader::refuse(const std::string& path, const QString& why, const std::string& detail)
{
    std::fprintf(stderr, "quillbeat: the sound module %s cannot be used: %s\n", path.c_str(), detail.c_str());
    if (m_setup.errorBox == nullptr)
        return;
    m_setup.errorBox->show(QStringLiteral("このプログラムの音源モジュール\n%1\n%2\n\n"
                                          "音を出せません。Quillbeatをインストールし直してください。")
                               .arg(QString::fromLocal8Bit(path.c_str()), why),
                           QStringLiteral("Quillbeat"));
}

bool SoundModuleLoader::load()
{
    if (m_stack)
        return true;
    const std::string* found = nullptr;
    for (const std::string& path : m_modulePaths) {
        if (::access(path.c_str(), F_OK) == 0) {
            found = &path;
            break;
        }
    }
    if (found == nullptr) {
        const std::string& expected = m_modulePaths.empty() ? kSoundModuleFileName : m_modulePaths.front();
        refuse(expected, QStringLiteral("が見つかりません。"), "missing");
        return false;
    }
    const std::string& path = *found;
    // Never closed once used: see the destructor.
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* error = ::dlerror();
        refuse(path, QStringLiteral("を読み込めません（壊れているか、別のファイルです）。"),
               error ? error : "dlopen failed");
        return false;
    }
    const auto build = reinterpret_cast<SoundModuleBuild>(::dlsym(module, kSoundModuleBuildSymbol));
    const char* moduleBuild = build ? build() : nullptr;
    if (moduleBuild == nullptr) {
        refuse(path, QStringLiteral("は、このプログラムの音源モジュールではありません。"),
               "it names no build");
        ::dlclose(module);
        return false;
    }
    if (std::strcmp(moduleBuild, kSoundModuleBuild) != 0) {
        refuse(path,
               QStringLiteral("は、このプログラムと別のビルドのものです（モジュール %1、プログラム %2）。")
                   .arg(QString::fromLocal8Bit(moduleBuild), QString::fromLatin1(kSoundModuleBuild)),
               std::string("built as ") + moduleBuild + ", the program as " + kSoundModuleBuild);
        ::dlclose(module);
        return false;
    }
    const auto make = reinterpret_cast<MakeSoundStack>(::dlsym(module, kMakeSoundStackSymbol));
    if (make != nullptr)
        m_stack.reset(make(m_setup));
    if (!m_stack) {
        refuse(path, QStringLiteral("で、音の出力を始められませんでした。"), "its sound stack did not start");
        return false;
    }
    if (!m_title.empty())
        m_stack->setStreamTitle(m_title);
    return true;
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
    return load() && m_stack->mciExecute(command);
}

void SoundModuleLoader::setStreamTitle(const std::string& title)
{
    m_title = title;
    if (m_stack)
        m_stack->setStreamTitle(title);
}

} // namespace qb::mci
