#pragma once

#include "sound/MciApi.h"
#include "sound/SoundStack.h"

#include <memory>
#include <string>
#include <vector>

namespace qb::mci {

// The MCI service as the window holds it: the sound module is loaded, and its stack made, at the
// first command, so that a window without a file carries no audio library, no FluidSynth and no
// sound-server client. When the module cannot be loaded, every command fails with
// MCIERR_CANNOT_LOAD_DRIVER (the reason goes to standard error) and is tried again at the next
// command. UI thread only, as the service.
class SoundModuleLoader final : public MciApi
{
public:
    // `modulePaths`: the files tried in turn; empty: defaultModulePaths().
    explicit SoundModuleLoader(SoundStackSetup setup, std::vector<std::string> modulePaths = {});
    // Deletes the stack (closing every device). The module itself stays mapped: the libraries it
    // brought may have threads and exit handlers of their own.
    ~SoundModuleLoader() override;
    SoundModuleLoader(const SoundModuleLoader&) = delete;
    SoundModuleLoader& operator=(const SoundModuleLoader&) = delete;

    MCIERROR mciSendStringA(const char* command, char* returnString, unsigned returnLength,
                            void* callbackWindow) override;
    // On failure shows the service's error box, or, when the module is missing, the same box with the
    // text of MCIERR_CANNOT_LOAD_DRIVER.
    bool mciExecute(const char* command) override;

    // Kept until the stack is made, then handed to it.
    void setStreamTitle(const std::string& title);

    // True once the stack is made.
    bool loaded() const { return m_stack != nullptr; }

    // <the program's folder>/<the installed module folder, relative to the installed program>/, then
    // the program's own folder (the build folder), each with kSoundModuleFileName.
    static std::vector<std::string> defaultModulePaths();

private:
    bool load();

    SoundStackSetup m_setup;
    std::vector<std::string> m_modulePaths;
    std::unique_ptr<SoundStack> m_stack;
    std::string m_title;
};

} // namespace qb::mci
