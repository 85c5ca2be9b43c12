#include "sound/SoundModuleLoader.h"

#include "posix/ProgramModules.h"
#include "sound/MciErrors.h"
#include "system/MessageBox.h"
#include "system/WorkBeside.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <system_error>
#include <unistd.h>

namespace qb::mci {

SoundModuleLoader::SoundModuleLoader(SoundStackSetup setup, std::vector<std::string> modulePaths)
    : m_setup(std::move(setup)),
      m_modulePaths(modulePaths.empty() ? defaultModulePaths() : std::move(modulePaths))
{
}

SoundModuleLoader::~SoundModuleLoader()
{
    // The ahead's thread uses the stack: it ends first, its play never sent.
    if (const std::shared_ptr<platform::WorkBeside> work = std::move(m_aheadWork)) {
        drop();
        while (!work->endsWithin(std::chrono::seconds(1))) {
        }
    }
}

void SoundModuleLoader::BoxForwarder::show(const QString& text, const QString& caption)
{
    if (m_loader.m_setup.errorBox != nullptr)
        m_loader.m_setup.errorBox->show(text, caption);
    else
        std::fprintf(stderr, "quillbeat: %s\n", qPrintable(text));
}

SoundStackSetup SoundModuleLoader::forwarders()
{
    SoundStackSetup lent;
    lent.errorBox = &m_box;
    lent.soundFontChoice = [this] {
        return m_setup.soundFontChoice ? m_setup.soundFontChoice() : std::string();
    };
    lent.soundFontFailed = [this](const std::string& soundFont, int problem, const std::string& why) {
        if (m_setup.soundFontFailed)
            m_setup.soundFontFailed(soundFont, problem, why);
    };
    lent.fileTooLarge = [this](const std::string& file, int kind, std::uint64_t amount, std::uint64_t limit) {
        if (m_setup.fileTooLarge)
            m_setup.fileTooLarge(file, kind, amount, limit);
    };
    lent.loopPointsWanted = [this] { return m_setup.loopPointsWanted && m_setup.loopPointsWanted(); };
    lent.trackWanted = [this](const std::string& path) {
        return m_setup.trackWanted ? m_setup.trackWanted(path) : 0;
    };
    lent.findLoopWanted = [this] { return m_setup.findLoopWanted && m_setup.findLoopWanted(); };
    lent.silentOutput = m_setup.silentOutput;
    lent.firstFile = m_setup.firstFile;
    return lent;
}

void SoundModuleLoader::startAhead(Ahead ahead)
{
    m_ahead = std::move(ahead);
    try {
        m_aheadWork = std::make_shared<platform::WorkBeside>([this] { runAhead(); });
    } catch (const std::system_error&) {
        // No thread to be had: the window's own commands do it all, as without a head start.
    }
}

void SoundModuleLoader::runAhead()
{
    const bool loadedHere = load();
    {
        const std::lock_guard lock(m_gateMutex);
        m_moduleTried = true;
    }
    m_gate.notify_all();
    if (!loadedHere || m_stack->mciSendStringA(m_ahead.open.c_str(), nullptr, 0, nullptr) != 0)
        return;
    m_aheadOpen = true;
    for (const std::string& command : m_ahead.then)
        m_stack->mciSendStringA(command.c_str(), nullptr, 0, nullptr);
    Gate gate = Gate::Held;
    {
        std::unique_lock lock(m_gateMutex);
        m_gate.wait(lock, [this] { return m_gateState != Gate::Held; });
        gate = m_gateState;
    }
    if (gate == Gate::Dropped) {
        m_stack->mciSendStringA(m_ahead.close.c_str(), nullptr, 0, nullptr);
        m_aheadOpen = false;
    } else if (!m_ahead.play.empty()) {
        m_stack->mciSendStringA(m_ahead.play.c_str(), nullptr, 0, nullptr);
    }
}

void SoundModuleLoader::awaitModule()
{
    if (!m_aheadWork)
        return;
    std::unique_lock lock(m_gateMutex);
    m_gate.wait(lock, [this] { return m_moduleTried; });
}

void SoundModuleLoader::release()
{
    {
        const std::lock_guard lock(m_gateMutex);
        if (m_gateState == Gate::Held)
            m_gateState = Gate::Released;
    }
    m_gate.notify_all();
}

void SoundModuleLoader::drop()
{
    {
        const std::lock_guard lock(m_gateMutex);
        if (m_gateState == Gate::Held)
            m_gateState = Gate::Dropped;
    }
    m_gate.notify_all();
}

void SoundModuleLoader::setSetup(SoundStackSetup setup)
{
    // The ahead's thread reads the setup until it ends.
    if (m_aheadWork)
        m_nextSetup = std::make_unique<SoundStackSetup>(std::move(setup));
    else
        m_setup = std::move(setup);
}

void SoundModuleLoader::settle()
{
    if (const std::shared_ptr<platform::WorkBeside> work = m_aheadWork) {
        // A command before the start said whether to play: the window goes its own way.
        drop();
        // Held here (a nested command during the wait waits for the same work) until the work is done.
        if (work->wait(std::chrono::steady_clock::now() + std::chrono::hours(1)) !=
            platform::WorkBeside::Outcome::Done) {
            while (!work->endsWithin(std::chrono::seconds(1))) {
            }
        }
        m_aheadWork.reset();
    }
    if (m_nextSetup) {
        m_setup = std::move(*m_nextSetup);
        m_nextSetup.reset();
    }
}

bool SoundModuleLoader::answeredAhead(const char* command)
{
    if (!m_aheadOpen)
        return false;
    if (m_ahead.open == command) {
        m_aheadOpen = false;
        return true;
    }
    std::string verb;
    for (const char* c = command; *c != '\0' && std::isspace(static_cast<unsigned char>(*c)) == 0; ++c)
        verb += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    if (verb == "open") {
        m_stack->mciSendStringA(m_ahead.close.c_str(), nullptr, 0, nullptr);
        m_aheadOpen = false;
    } else if (verb == "close") {
        m_aheadOpen = false;
    }
    return false;
}

std::vector<std::string> SoundModuleLoader::defaultModulePaths()
{
    return posix::programModulePaths(kSoundModuleFileName);
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
        m_stack.reset(make(forwarders()));
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
    settle();
    if (!load())
        return MCIERR_CANNOT_LOAD_DRIVER;
    if (answeredAhead(command)) {
        if (returnString != nullptr && returnLength > 0)
            returnString[0] = '\0';
        return 0;
    }
    return m_stack->mciSendStringA(command, returnString, returnLength, callbackWindow);
}

bool SoundModuleLoader::mciExecute(const char* command)
{
    settle();
    return load() && (answeredAhead(command) || m_stack->mciExecute(command));
}

bool SoundModuleLoader::loaded()
{
    settle();
    return m_stack != nullptr;
}

void SoundModuleLoader::setStreamTitle(const std::string& title)
{
    settle();
    m_title = title;
    if (m_stack)
        m_stack->setStreamTitle(title);
}

} // namespace qb::mci
